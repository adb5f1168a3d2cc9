// Starting and stopping the library on Linux. Sockets need no start there;
// the starts are counted so that KesExitInstance answers as in the DLL: 1 for
// each start it closes, 0 when none is open.
#include "kesnet.h"

#include <atomic>

namespace {

std::atomic<long> g_nStarts{0};

}  // namespace

extern "C" int __cdecl KesInitInstance(void)
{
    g_nStarts.fetch_add(1);
    return 1;
}

extern "C" int __cdecl KesExitInstance(void)
{
    long starts = g_nStarts.load();
    while (starts > 0)
        if (g_nStarts.compare_exchange_weak(starts, starts - 1))
            return 1;
    return 0;
}
