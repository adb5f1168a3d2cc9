// One registry value read in one call: open the key for reading, query the
// value, close the key. Shared by the exported registry functions and the
// library's own read of the preferred address.
#ifndef KESNET_UTIL_REGISTRY_H
#define KESNET_UTIL_REGISTRY_H

#include <windows.h>

// Reads at most dwSize bytes of the value, of any type, into pData; a null pData
// only measures. 1 if the key opened and the query worked, else 0. pData is
// left as the registry left it.
int QueryRegistryValue(HKEY hRoot, LPCSTR pszSubKey, LPCSTR pszValueName, void *pData,
                       DWORD dwSize);

#endif
