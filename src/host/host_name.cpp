// The host name as Winsock knows it, and the computer name.
#include "kesnet.h"

namespace {
const int kHostNameBuffer = 64;  // what callers of KesGetHostName provide
}

extern "C" int __cdecl KesGetHostName(char *pszName)
{
    return gethostname(pszName, kHostNameBuffer) == 0;
}

extern "C" int __cdecl KesGetCompName(char *pszName, DWORD dwSize)
{
    // GetComputerNameA writes the name's length back into the size; callers find
    // the end of the name by its terminator, so the length stays here.
    DWORD size = dwSize;
    return GetComputerNameA(pszName, &size);
}
