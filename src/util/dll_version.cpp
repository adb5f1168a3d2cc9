// A module's product version: KesGetDllVersion.
#include "kesnet.h"
#include "common/host_pointers.h"

namespace {

// Copies the ProductVersion string of the first translation listed in the
// version data into pszVersion. false if either is missing.
bool CopyProductVersion(void *pData, char *pszVersion)
{
    void *pTranslation = nullptr;
    UINT nLength = 0;
    // Each translation is a DWORD: language in the low word, code page in the
    // high word. Only the first is looked at.
    if (!VerQueryValueA(pData, "\\VarFileInfo\\Translation", &pTranslation, &nLength) ||
        pTranslation == nullptr || nLength < sizeof(DWORD))
        return false;
    DWORD dwTranslation = *static_cast<const DWORD *>(pTranslation);
    char szSubBlock[64];
    wsprintfA(szSubBlock, "\\StringFileInfo\\%04x%04x\\ProductVersion", LOWORD(dwTranslation),
              HIWORD(dwTranslation));
    void *pProductVersion = nullptr;
    if (!VerQueryValueA(pData, szSubBlock, &pProductVersion, &nLength) || pProductVersion == nullptr)
        return false;
    // lstrcpyA stops at a fault in the destination and returns null, having
    // written part of the string: a buffer that cannot take the whole string
    // is refused before anything is written.
    const char *pszFound = static_cast<const char *>(pProductVersion);
    if (IsBadWritePtr(pszVersion, lstrlenA(pszFound) + 1))
        return false;
    return lstrcpyA(pszVersion, pszFound) != nullptr;
}

}  // namespace

extern "C" int __cdecl KesGetDllVersion(LPCSTR pszModule, char *pszVersion)
{
    if (!IsReadableText(pszModule))
        return 0;
    DWORD dwHandle = 0;
    DWORD dwSize = GetFileVersionInfoSizeA(pszModule, &dwHandle);
    if (dwSize == 0)
        return 0;
    // The buffer is as large as the system says the version data is; a fixed
    // one would be overrun by a module with a large version resource.
    void *pData = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, dwSize);
    if (pData == nullptr)
        return 0;
    bool bCopied = GetFileVersionInfoA(pszModule, dwHandle, dwSize, pData) &&
                   CopyProductVersion(pData, pszVersion);
    HeapFree(GetProcessHeap(), 0, pData);
    return bCopied ? 1 : 0;
}
