#include "common/host_pointers.h"

#include <errno.h>
#include <stdint.h>
#include <string.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

// Pages asked about in one system call.
const size_t kPagesAtOnce = 64;

size_t PageSize()
{
    static const size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return size;
}

// Whether one byte of each page from pFirst up to pLast can be read, asked
// of the kernel: process_vm_readv on this process copies from each page and
// says EFAULT where it cannot, where touching the page would end the process.
// A kernel or sandbox that refuses the call itself (seccomp) leaves the block
// untested, as the DLL leaves a pointer it was told no length of.
bool PagesReadable(uintptr_t first, uintptr_t last)
{
    const size_t page = PageSize();
    uintptr_t at = first;
    while (at <= last) {
        iovec remote[kPagesAtOnce];
        size_t count = 0;
        for (; count < kPagesAtOnce && at <= last; ++count) {
            remote[count].iov_base = reinterpret_cast<void *>(at);
            remote[count].iov_len = 1;
            uintptr_t next = (at & ~(page - 1)) + page;
            if (next <= at)
                at = last + 1;  // the address space ends here
            else
                at = next;
        }
        char bytes[kPagesAtOnce];
        iovec local = {bytes, count};
        ssize_t copied = process_vm_readv(getpid(), &local, 1, remote, count, 0);
        if (copied < 0 && (errno == ENOSYS || errno == EPERM))
            return true;
        if (copied != static_cast<ssize_t>(count))
            return false;
    }
    return true;
}

}  // namespace

// A callback is tested for null only: which mappings hold code would take
// reading /proc/self/maps before every datagram.
bool IsCallable(const void *pCode)
{
    return pCode != nullptr;
}

bool IsReadableText(LPCSTR pszText)
{
    if (pszText == nullptr)
        return true;
    const size_t page = PageSize();
    uintptr_t at = reinterpret_cast<uintptr_t>(pszText);
    for (;;) {
        uintptr_t pageEnd = (at & ~(page - 1)) + page;
        if (!PagesReadable(at, at))
            return false;
        if (memchr(reinterpret_cast<const void *>(at), 0, pageEnd - at) != nullptr)
            return true;
        at = pageEnd;
    }
}

bool IsReadableBlock(const void *pBlock, size_t nBytes)
{
    if (nBytes == 0)
        return true;
    uintptr_t first = reinterpret_cast<uintptr_t>(pBlock);
    if (first == 0 || nBytes - 1 > UINTPTR_MAX - first)
        return false;
    return PagesReadable(first, first + (nBytes - 1));
}
