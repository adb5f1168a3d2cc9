// The host name as Winsock knows it, and the computer name.
#include "kesnet.h"

namespace {
const int kHostNameBuffer = 64;  // what callers of KesGetHostName provide
}

extern "C" int __cdecl KesGetHostName(char *pszName)
{
    // gethostname copies the name without a guard: a buffer that cannot take
    // its 64 bytes would fault inside the system.
    if (IsBadWritePtr(pszName, kHostNameBuffer))
        return 0;
    return gethostname(pszName, kHostNameBuffer) == 0;
}

extern "C" int __cdecl KesGetCompName(char *pszName, DWORD dwSize)
{
    // GetComputerNameA reports success for a null buffer (it only measures
    // then) and writes as far as the size allows, so the buffer is tested over
    // the size first.
    if (IsBadWritePtr(pszName, dwSize))
        return 0;
    // GetComputerNameA writes the name's length back into the size; callers find
    // the end of the name by its terminator, so the length stays here.
    DWORD size = dwSize;
    return GetComputerNameA(pszName, &size);
}
