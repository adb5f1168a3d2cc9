// Tests of the pointers a host hands in without telling their length: the
// receive callbacks and texts (paths, key and value names). Pointers whose
// length is known are tested with IsBadReadPtr or IsBadWritePtr where they
// are used.
#ifndef KESNET_COMMON_HOST_POINTERS_H
#define KESNET_COMMON_HOST_POINTERS_H

#include <windows.h>

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

#endif
