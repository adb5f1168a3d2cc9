// Clearing a block of memory, as fast as the platform allows: ClearBytes(p, n)
// (src/win/clear_bytes_os.h, src/posix/clear_bytes_os.h).
#ifndef KESNET_COMMON_CLEAR_BYTES_H
#define KESNET_COMMON_CLEAR_BYTES_H

#include "clear_bytes_os.h"

#endif
