// Clearing a block of memory in the DLL: one string-store instruction.
#ifndef KESNET_WIN_CLEAR_BYTES_OS_H
#define KESNET_WIN_CLEAR_BYTES_OS_H

#include <intrin.h>
#include <stddef.h>

// rep stosb, inline. The library's memset is the system's msvcrt (under Wine,
// Wine's), reached through the import table and, in the 32-bit build, slower
// than the instruction itself; on every x86 processor with fast string
// operations (ERMSB, since 2012) rep stosb clears large blocks as fast as
// vector stores, and it needs no instruction beyond the i686 baseline.
inline void ClearBytes(void *pBytes, size_t nBytes)
{
    __stosb(static_cast<unsigned char *>(pBytes), 0, nBytes);
}

#endif
