// kesnet wake: Wake-on-LAN magic packets for one or more machines.
#include "kesnet.h"

#include <stdio.h>

#include <vector>

#include "args.h"
#include "command.h"
#include "hardware_address.h"

namespace tool {
namespace {

int RunWake(const std::vector<std::string> &argv)
{
    const char *name = "wake";
    Args args(argv, {"from"}, {});
    if (!args.ok())
        return UsageError(name, args.error());
    if (args.positional().empty())
        return UsageError(name, "expected at least one hardware address (aa:bb:cc:dd:ee:ff)");
    std::string error;
    DWORD local = 0;
    if (args.Has("from") && !ParseIPv4(args.Get("from"), &local, &error))
        return UsageError(name, error);
    std::vector<BYTE> list(args.positional().size() * kHardwareAddressBytes);
    for (size_t i = 0; i < args.positional().size(); ++i)
        if (!ParseHardwareAddress(args.positional()[i], &list[i * kHardwareAddressBytes], &error))
            return UsageError(name, error);

    Library library;
    if (!library.ok())
        return Failure(name, "Winsock 2.2 could not be started");
    DWORD count = static_cast<DWORD>(args.positional().size());
    std::string from = local ? Dotted(local) : "any interface";
    if (!KesLanWakeUp(local, list.data(), count))
        return Failure(name, "the magic packets could not all be broadcast from " + from);
    for (DWORD i = 0; i < count; ++i)
        printf("sent a magic packet (102 bytes) for %s to 255.255.255.255:2304 from %s\n",
               FormatHardwareAddress(&list[i * kHardwareAddressBytes]).c_str(), from.c_str());
    return kExitOk;
}

}  // namespace

KESNET_COMMAND(wake, "wake", "MAC [MAC ...] [--from LOCAL]", "wake machines by their hardware addresses",
               "Broadcasts a Wake-on-LAN magic packet (six bytes 0xFF, then the hardware\n"
               "address sixteen times) for each MAC to 255.255.255.255, UDP port 2304, with\n"
               "KesLanWakeUp. The broadcast reaches the network of the interface it leaves by.\n",
               {{"MAC", "aa:bb:cc:dd:ee:ff (or with '-'), as kesnet adapters prints it"}},
               {{"--from LOCAL", "broadcast from the local interface LOCAL"}},
               "every magic packet went out",
               "KesLanWakeUp failed (the socket could not be set up, or a send was refused);\n"
               "packets sent before the failure stay sent",
               RunWake, 73);

}  // namespace tool
