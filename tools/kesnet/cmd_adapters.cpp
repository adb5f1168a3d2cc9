// kesnet adapters: the hardware addresses of the NetBIOS LAN adapters.
#include "kesnet.h"

#include <stdio.h>

#include <vector>

#include "args.h"
#include "command.h"
#include "hardware_address.h"

namespace tool {
namespace {

int RunAdapters(const std::vector<std::string> &argv)
{
    const char *name = "adapters";
    Args args(argv, {}, {});
    if (!args.ok() || !args.positional().empty())
        return UsageError(name, args.ok() ? "takes no arguments" : args.error());
    // Room for every LAN adapter number NetBIOS can have, so that adapters that
    // appear between a counting call and a reading call cannot overrun it.
    std::vector<BYTE> list(255 * kHardwareAddressBytes);
    int count = KesGetNetCard(list.data());
    if (count == 0)
        return Failure(name, "NetBIOS lists no LAN adapter, or could not be asked");
    for (int i = 0; i < count; ++i)
        printf("%s\n", FormatHardwareAddress(&list[i * kHardwareAddressBytes]).c_str());
    return kExitOk;
}

}  // namespace

KESNET_COMMAND(adapters, "adapters", "", "list the adapters' hardware addresses, for kesnet wake",
               "Prints the 6-byte hardware address of each NetBIOS LAN adapter\n"
               "(KesGetNetCard), one per line, in the form that kesnet wake takes:\n"
               "keep them to wake this machine from another one.\n",
               {},
               {},
               "the adapters were listed",
               "NetBIOS lists no LAN adapter, or could not be asked",
               RunAdapters, 72);

}  // namespace tool
