#include "common/object_heap.h"

#include <windows.h>

// The process heap: every thread may use it, it lives as long as the process
// (an object may outlive the library's unloading in a host's hands), and a
// block freed there twice or in error is caught by the system's checks of
// that heap.
void *AllocateObject(size_t nSize) noexcept
{
    return HeapAlloc(GetProcessHeap(), 0, nSize != 0 ? nSize : 1);
}

void FreeObject(void *pObject) noexcept
{
    if (pObject != nullptr)
        HeapFree(GetProcessHeap(), 0, pObject);
}
