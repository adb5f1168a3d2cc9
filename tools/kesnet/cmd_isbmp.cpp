// kesnet isbmp: is a file a Windows bitmap?
#include "kesnet.h"

#include <stdio.h>

#include "args.h"
#include "command.h"

namespace tool {
namespace {

int RunIsbmp(const std::vector<std::string> &argv)
{
    const char *name = "isbmp";
    std::string file;
    int exitCode = kExitUsage;
    if (!SingleArgument(name, argv, "FILE", &file, &exitCode))
        return exitCode;
    if (SIsFileBmp(file.c_str())) {
        printf("%s: a bitmap (starts with \"BM\")\n", file.c_str());
        return kExitOk;
    }
    printf("%s: not a bitmap, or not readable (missing, a directory, under 4 bytes, or open "
           "elsewhere)\n",
           file.c_str());
    return kExitFailed;
}

}  // namespace

KESNET_COMMAND(isbmp, "isbmp", "FILE", "tell whether a file is a bitmap",
               "Asks SIsFileBmp whether FILE has at least 4 bytes and starts with \"BM\".\n"
               "The file is opened without sharing, so a file that is open elsewhere\n"
               "counts as no.\n",
               {{"FILE", "the file to look at"}},
               {},
               "FILE is a bitmap",
               "it is not, or it cannot be read (missing, a directory, under 4 bytes,\n"
               "open elsewhere)",
               RunIsbmp, 62);

}  // namespace tool
