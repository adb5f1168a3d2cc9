// kesnet version: the product version a module's version resource declares.
#include "kesnet.h"

#include <stdio.h>

#include "args.h"
#include "command.h"

namespace tool {
namespace {

int RunVersion(const std::vector<std::string> &argv)
{
    const char *name = "version";
    std::string module;
    int exitCode = kExitUsage;
    if (!SingleArgument(name, argv, "MODULE", &module, &exitCode))
        return exitCode;
    // KesGetDllVersion takes no buffer length. A version resource holds at most
    // 64 KiB, so no string in it is longer than this.
    std::vector<char> version(65536, '\0');
    if (!KesGetDllVersion(module.c_str(), version.data()))
        return Failure(name, module + ": no product version (not found, no version resource, or "
                                      "none for its first translation)");
    printf("%s: product version %s\n", module.c_str(), version.data());
    return kExitOk;
}

}  // namespace

KESNET_COMMAND(version, "version", "MODULE", "show the product version a module declares",
               "Shows the ProductVersion string of MODULE's version resource, as\n"
               "KesGetDllVersion reads it: that of the first translation listed only.\n"
               "(kesnet --version shows the tool's own version.)\n",
               {{"MODULE", "a path, or a file name searched for as modules are (so\n"
                           "\"kesnet version kesnet.dll\" shows the library's own)"}},
               {},
               "the product version was shown",
               "MODULE has none: not found, no version resource, or no product version\n"
               "for its first translation",
               RunVersion, 60);

}  // namespace tool
