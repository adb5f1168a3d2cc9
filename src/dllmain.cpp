// The library's entry point. The process-wide listener is a static object,
// constructed before this runs and destroyed after it; nothing else is done
// here.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}
