#include "common/host_pointers.h"

namespace {

const DWORD kExecutable = PAGE_EXECUTE | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;

}  // namespace

bool IsCallable(const void *pCode)
{
    if (pCode == nullptr)
        return false;
    MEMORY_BASIC_INFORMATION region;
    if (VirtualQuery(pCode, &region, sizeof region) != sizeof region)
        return false;
    return region.State == MEM_COMMIT && (region.Protect & kExecutable) != 0 && (region.Protect & PAGE_GUARD) == 0;
}

bool IsReadableText(LPCSTR pszText)
{
    // No limit on the length: the test must reach the terminator wherever it is.
    return pszText == nullptr || !IsBadStringPtrA(pszText, static_cast<UINT_PTR>(-1));
}

bool IsReadableBlock(const void *pBlock, size_t nBytes)
{
    return !IsBadReadPtr(pBlock, nBytes);
}
