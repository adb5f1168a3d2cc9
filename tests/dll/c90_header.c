/* The header as a host written in old C sees it: ISO C90, pedantic, every
 * warning an error (see tests/CMakeLists.txt). Compiling is the test; the
 * layout checks in the header then work without _Static_assert. */
#include "kesnet.h"

int kesnet_c90_record_size(void)
{
    tagParamListen3 param;
    param.dwSize = sizeof param;
    return (int)param.dwSize;
}
