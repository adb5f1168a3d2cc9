// Netbios, reached through netapi32 loaded at the first NetBIOS command rather
// than imported. Wine's netapi32 starts Winsock for the whole process as it
// loads and never stops it again; imported, it would make every host of this
// library look as if it had called KesInitInstance, and the calls that must
// fail before KesInitInstance would work under Wine. Loaded late, it does so
// only in a process that has asked for its adapters.
#include <windows.h>

#include <nb30.h>
#include <string.h>

namespace {

typedef UCHAR(WINAPI *NetbiosProc)(PNCB pncb);

NetbiosProc LoadNetbios()
{
    // From the system folder only, never a netapi32.dll that lies beside the host.
    const char kFile[] = "\\netapi32.dll";
    char path[MAX_PATH];
    UINT length = GetSystemDirectoryA(path, MAX_PATH);
    if (length == 0 || length + sizeof kFile > MAX_PATH)
        return nullptr;
    memcpy(path + length, kFile, sizeof kFile);
    HMODULE module = LoadLibraryA(path);
    if (module == nullptr)
        return nullptr;
    FARPROC proc = GetProcAddress(module, "Netbios");
    return reinterpret_cast<NetbiosProc>(reinterpret_cast<void (*)()>(proc));
}

}  // namespace

extern "C" UCHAR WINAPI Netbios(PNCB pncb)
{
    // Loaded once and kept: unloading it could pull the code from under a
    // command that another thread is running.
    static const NetbiosProc netbios = LoadNetbios();
    return netbios != nullptr ? netbios(pncb) : NRC_SYSTEM;
}
