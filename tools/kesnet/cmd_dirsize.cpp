// kesnet dirsize: the bytes in a directory tree.
#include "kesnet.h"

#include <stdio.h>

#include "args.h"
#include "command.h"

namespace tool {
namespace {

bool IsDirectory(const std::string &path)
{
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

int RunDirsize(const std::vector<std::string> &argv)
{
    const char *name = "dirsize";
    std::string dir;
    int exitCode = kExitUsage;
    if (!SingleArgument(name, argv, "DIR", &dir, &exitCode))
        return exitCode;
    // The library answers 0 for an empty directory and for what is none; tell
    // the two apart for the reader.
    DWORD bytes = static_cast<DWORD>(SFGetCatalogSize(dir.c_str()));
    if (bytes == 0 && !IsDirectory(dir))
        return Failure(name, dir + " is not a directory");
    printf("%lu bytes in %s\n", static_cast<unsigned long>(bytes), dir.c_str());
    return kExitOk;
}

}  // namespace

KESNET_COMMAND(dirsize, "dirsize", "DIR", "show how many bytes the files below a directory hold",
               "Sums the sizes of all files below DIR, at any depth, hidden and system\n"
               "files included, with SFGetCatalogSize. The sum is a 32-bit value: each\n"
               "file adds the low 32 bits of its size and the total wraps past 4 GiB.\n"
               "Directory links (junctions, symbolic links) are not followed, and\n"
               "nothing is counted where a path would not fit in 260 characters.\n",
               {{"DIR", "the directory, with or without a trailing backslash"}},
               {},
               "the sum was shown",
               "DIR is not a directory",
               RunDirsize, 61);

}  // namespace tool
