// Clearing a block of memory on Linux: the C library's memset, which picks
// the fastest stores the processor has.
#ifndef KESNET_POSIX_CLEAR_BYTES_OS_H
#define KESNET_POSIX_CLEAR_BYTES_OS_H

#include <stddef.h>
#include <string.h>

inline void ClearBytes(void *pBytes, size_t nBytes)
{
    memset(pBytes, 0, nBytes);
}

#endif
