// The size of a directory tree: SFGetCatalogSize.
//
// The walk recurses once per directory level and keeps every path in a
// MAX_PATH buffer. Three things keep it finite and inside its buffers:
//   - a path that does not fit in MAX_PATH bytes is never built, so nothing
//     below it is searched; as every level adds at least two characters this
//     also bounds the depth, and so the stack, to about 130 levels;
//   - a directory entry the file system marks as a link (a reparse point:
//     junction, symbolic link, mounted folder; Wine marks a Unix symbolic link
//     to a directory the same way) is not followed, as disk-usage tools do;
//   - a directory that is the same one as a directory being walked above it
//     (an unmarked link back up the tree, as a file server that resolves its
//     own links presents them) is not walked again. Without this, two such
//     links in one directory would make the walk branch until the path limit,
//     which is bounded only in theory.
#include "kesnet.h"

#include <string.h>

#include "common/host_pointers.h"

namespace {

// Where a directory lies: its volume and its index on that volume. Known is
// false where the file system does not say. Wine reports serial 0 and index 1
// for every directory of a pseudo file system (/proc, /dev, /dev/shm alike), so
// a zero serial or index counts as not known rather than as the same directory.
struct DirectoryIdentity {
    bool bKnown;
    DWORD dwVolume;
    DWORD dwIndexHigh;
    DWORD dwIndexLow;
};

// The chain of directories being walked, innermost first.
struct WalkLevel {
    DirectoryIdentity identity;
    const WalkLevel *pParent;
};

DirectoryIdentity IdentityOf(LPCSTR pszDirectory)
{
    DirectoryIdentity identity = {};
    // Opening a directory needs FILE_FLAG_BACKUP_SEMANTICS; asking for no
    // access rights and sharing everything disturbs no one else's use of it.
    HANDLE hDirectory = CreateFileA(pszDirectory, 0,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (hDirectory == INVALID_HANDLE_VALUE)
        return identity;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(hDirectory, &info) && info.dwVolumeSerialNumber != 0 &&
        (info.nFileIndexHigh != 0 || info.nFileIndexLow != 0)) {
        identity.bKnown = true;
        identity.dwVolume = info.dwVolumeSerialNumber;
        identity.dwIndexHigh = info.nFileIndexHigh;
        identity.dwIndexLow = info.nFileIndexLow;
    }
    CloseHandle(hDirectory);
    return identity;
}

bool SameDirectory(const DirectoryIdentity &a, const DirectoryIdentity &b)
{
    return a.bKnown && b.bKnown && a.dwVolume == b.dwVolume && a.dwIndexHigh == b.dwIndexHigh &&
           a.dwIndexLow == b.dwIndexLow;
}

bool IsBeingWalked(const DirectoryIdentity &identity, const WalkLevel *pLevel)
{
    for (; pLevel != nullptr; pLevel = pLevel->pParent)
        if (SameDirectory(identity, pLevel->identity))
            return true;
    return false;
}

// pszPath, a backslash unless it already ends in one, then pszName, into a
// MAX_PATH buffer. false, with the buffer unchanged, if that does not fit.
bool JoinPath(char (&szOut)[MAX_PATH], LPCSTR pszPath, LPCSTR pszName)
{
    size_t nPath = strlen(pszPath);
    size_t nSeparator = (nPath > 0 && pszPath[nPath - 1] == '\\') ? 0 : 1;
    size_t nName = strlen(pszName);
    if (nPath + nSeparator + nName + 1 > MAX_PATH)
        return false;
    memcpy(szOut, pszPath, nPath);
    if (nSeparator)
        szOut[nPath] = '\\';
    memcpy(szOut + nPath + nSeparator, pszName, nName + 1);
    return true;
}

// A search yields the directory's own and its parent's entry first, except in
// the root directory of a volume, which has neither; so they are told by name.
bool IsSelfOrParent(LPCSTR pszName)
{
    return strcmp(pszName, ".") == 0 || strcmp(pszName, "..") == 0;
}

bool IsDirectory(DWORD dwAttributes)
{
    return (dwAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsLink(DWORD dwAttributes)
{
    return (dwAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// What one entry of the directory pszDirectory adds to the sum.
DWORD EntrySize(LPCSTR pszDirectory, const WIN32_FIND_DATAA &entry, const WalkLevel *pLevel);

DWORD SumDirectory(LPCSTR pszDirectory, const WalkLevel *pParent)
{
    DWORD dwAttributes = GetFileAttributesA(pszDirectory);
    if (dwAttributes == INVALID_FILE_ATTRIBUTES || !IsDirectory(dwAttributes))
        return 0;
    WalkLevel level = {IdentityOf(pszDirectory), pParent};
    if (IsBeingWalked(level.identity, pParent))
        return 0;
    char szPattern[MAX_PATH];
    if (!JoinPath(szPattern, pszDirectory, "*.*"))
        return 0;
    WIN32_FIND_DATAA entry;
    HANDLE hSearch = FindFirstFileA(szPattern, &entry);
    if (hSearch == INVALID_HANDLE_VALUE)
        return 0;
    DWORD dwSum = 0;
    do {
        dwSum += EntrySize(pszDirectory, entry, &level);
    } while (FindNextFileA(hSearch, &entry));
    FindClose(hSearch);
    return dwSum;
}

DWORD EntrySize(LPCSTR pszDirectory, const WIN32_FIND_DATAA &entry, const WalkLevel *pLevel)
{
    if (!IsDirectory(entry.dwFileAttributes))
        return entry.nFileSizeLow;  // sizes add up modulo 2^32, the high part is dropped
    if (IsSelfOrParent(entry.cFileName) || IsLink(entry.dwFileAttributes))
        return 0;
    char szChild[MAX_PATH];
    if (!JoinPath(szChild, pszDirectory, entry.cFileName))
        return 0;
    return SumDirectory(szChild, pLevel);
}

}  // namespace

extern "C" int __cdecl SFGetCatalogSize(LPCSTR pszPath)
{
    if (!IsReadableText(pszPath))
        return 0;
    return static_cast<int>(SumDirectory(pszPath, nullptr));
}
