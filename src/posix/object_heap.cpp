#include "common/object_heap.h"

#include <stdlib.h>

// The C library's heap: on Linux every program of the process shares it.
void *AllocateObject(size_t nSize) noexcept
{
    return malloc(nSize != 0 ? nSize : 1);
}

void FreeObject(void *pObject) noexcept
{
    free(pObject);
}
