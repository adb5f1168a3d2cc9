// The exported registry functions: one key opened, one value read or written,
// the key closed, in each call.
#include "util/registry.h"

#include "kesnet.h"
#include "common/host_pointers.h"

namespace {

// The registry reads the key path and the value name without a guard.
bool NamesReadable(LPCSTR pszSubKey, LPCSTR pszValueName)
{
    return IsReadableText(pszSubKey) && IsReadableText(pszValueName);
}

// Opens the key for writing, or creates it with any missing keys on its path,
// and stores the value.
int SetRegistryValue(HKEY hRoot, LPCSTR pszSubKey, LPCSTR pszValueName, DWORD dwType,
                     const void *pData, DWORD dwSize)
{
    if (!NamesReadable(pszSubKey, pszValueName))
        return 0;
    HKEY hKey;
    if (RegOpenKeyExA(hRoot, pszSubKey, 0, KEY_ALL_ACCESS, &hKey) != ERROR_SUCCESS &&
        RegCreateKeyA(hRoot, pszSubKey, &hKey) != ERROR_SUCCESS)
        return 0;
    LONG result = RegSetValueExA(hKey, pszValueName, 0, dwType, static_cast<const BYTE *>(pData), dwSize);
    RegCloseKey(hKey);
    return result == ERROR_SUCCESS;
}

}  // namespace

int QueryRegistryValue(HKEY hRoot, LPCSTR pszSubKey, LPCSTR pszValueName, void *pData, DWORD dwSize)
{
    if (!NamesReadable(pszSubKey, pszValueName))
        return 0;
    HKEY hKey;
    if (RegOpenKeyExA(hRoot, pszSubKey, 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return 0;
    LONG result = RegQueryValueExA(hKey, pszValueName, nullptr, nullptr, static_cast<BYTE *>(pData), &dwSize);
    RegCloseKey(hKey);
    return result == ERROR_SUCCESS;
}

extern "C" int __cdecl RegReadDWORD(HKEY hRoot, LPCSTR pszSubKey, LPCSTR pszValueName, DWORD *pdwValue)
{
    // A null destination only asks whether the value exists; any other must
    // take the 4 bytes, which the registry copies without a guard.
    if (pdwValue != nullptr && IsBadWritePtr(pdwValue, sizeof *pdwValue))
        return 0;
    return QueryRegistryValue(hRoot, pszSubKey, pszValueName, pdwValue, sizeof(DWORD));
}

extern "C" int __cdecl RegReadString(HKEY hRoot, LPCSTR pszSubKey, LPCSTR pszValueName, char *pszBuffer,
                                     DWORD dwSize)
{
    if (IsBadWritePtr(pszBuffer, dwSize))
        return 0;
    return QueryRegistryValue(hRoot, pszSubKey, pszValueName, pszBuffer, dwSize);
}

extern "C" int __cdecl RegWriteDWORD(HKEY hRoot, LPCSTR pszSubKey, LPCSTR pszValueName, DWORD dwValue)
{
    return SetRegistryValue(hRoot, pszSubKey, pszValueName, REG_DWORD, &dwValue, sizeof dwValue);
}

extern "C" int __cdecl RegWriteString(HKEY hRoot, LPCSTR pszSubKey, LPCSTR pszValueName, const char *pData,
                                      DWORD dwSize)
{
    if (IsBadReadPtr(pData, dwSize))
        return 0;
    return SetRegistryValue(hRoot, pszSubKey, pszValueName, REG_SZ, pData, dwSize);
}
