// Telling file types apart: SIsFileBmp and SIsFileWav.
#include "kesnet.h"
#include "common/host_pointers.h"

namespace {

// A bitmap starts with "BM"; anything under 4 bytes is not taken for one.
bool HoldsBitmapSignature(HANDLE hFile)
{
    DWORD dwSizeHigh = 0;
    DWORD dwSizeLow = GetFileSize(hFile, &dwSizeHigh);
    if (dwSizeLow == INVALID_FILE_SIZE && GetLastError() != NO_ERROR)
        return false;
    // The high part counts too: a file of 4 GiB and 2 bytes is not "under 4 bytes".
    if (dwSizeHigh == 0 && dwSizeLow < 4)
        return false;
    char signature[2] = {0, 0};
    DWORD dwRead = 0;
    if (!ReadFile(hFile, signature, sizeof signature, &dwRead, nullptr) ||
        dwRead != sizeof signature)
        return false;
    return signature[0] == 'B' && signature[1] == 'M';
}

}  // namespace

extern "C" int __cdecl SIsFileBmp(LPCSTR pszPath)
{
    if (!IsReadableText(pszPath) || GetFileAttributesA(pszPath) == INVALID_FILE_ATTRIBUTES)
        return 0;
    // No sharing: a file that someone else has open is not looked at.
    HANDLE hFile = CreateFileA(pszPath, GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        return 0;
    bool bBitmap = HoldsBitmapSignature(hFile);
    CloseHandle(hFile);
    return bBitmap ? 1 : 0;
}

extern "C" int __cdecl SIsFileWav(LPCSTR)
{
    return 1;
}
