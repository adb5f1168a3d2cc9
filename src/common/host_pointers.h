// Tests of the pointers a host hands in: the receive callbacks and texts
// (paths, key and value names), whose length the library does not know, and
// blocks of a known length (records, data to send). In the DLL those are
// tested with IsBadReadPtr or IsBadWritePtr where they are used; the shared
// code asks IsReadableBlock. Each platform answers from its own file
// (src/win/host_pointers.cpp, src/posix/host_pointers.cpp).
#ifndef KESNET_COMMON_HOST_POINTERS_H
#define KESNET_COMMON_HOST_POINTERS_H

#include <stddef.h>

#include "kesnet.h"  // LPCSTR

// Whether a callback may be called: it points into memory that is committed
// and executable. IsBadCodePtr only asks whether the memory can be read, and
// a call into readable data that is not code faults wherever data execution
// prevention is on (Wine enforces it too).
bool IsCallable(const void *pCode);

// Whether a text can be read up to its terminating zero. The system reads
// such texts without a guard and faults on one that runs into memory that
// cannot be read. A null text passes: the calls that take one treat it as
// "none" or fail cleanly on it.
bool IsReadableText(LPCSTR pszText);

// Whether nBytes can be read from pBlock. Nothing is read for 0 bytes, and
// any pointer passes then.
bool IsReadableBlock(const void *pBlock, size_t nBytes);

#endif
