// Every C++ allocation of a test program from the process heap. Wine's heap
// checking (WINEDEBUG=warn+heap) watches the heaps made through its own heap
// functions; the C runtime's malloc of this toolchain keeps its blocks where
// those checks do not reach. Linked into the programs that run with the
// checking on, so that a block of the library freed twice, or a header
// overwritten, is reported.
#include <windows.h>

#include <new>

namespace {

void *Allocate(size_t size) noexcept
{
    return HeapAlloc(GetProcessHeap(), 0, size > 0 ? size : 1);
}

void Free(void *p) noexcept
{
    if (p != nullptr)
        HeapFree(GetProcessHeap(), 0, p);
}

void *AllocateOrThrow(size_t size)
{
    void *p = Allocate(size);
    if (p == nullptr)
        throw std::bad_alloc();
    return p;
}

}  // namespace

void *operator new(size_t size) { return AllocateOrThrow(size); }
void *operator new[](size_t size) { return AllocateOrThrow(size); }
void *operator new(size_t size, const std::nothrow_t &) noexcept { return Allocate(size); }
void *operator new[](size_t size, const std::nothrow_t &) noexcept { return Allocate(size); }
void operator delete(void *p) noexcept { Free(p); }
void operator delete[](void *p) noexcept { Free(p); }
void operator delete(void *p, size_t) noexcept { Free(p); }
void operator delete[](void *p, size_t) noexcept { Free(p); }
void operator delete(void *p, const std::nothrow_t &) noexcept { Free(p); }
void operator delete[](void *p, const std::nothrow_t &) noexcept { Free(p); }
