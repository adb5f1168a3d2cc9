// kesnet host: the host's names and addresses, and the preferred address.
#include "kesnet.h"

#include <stdio.h>

#include "args.h"
#include "command.h"
#include "host_ip_setting.h"

namespace tool {
namespace {

int RunHost(const std::vector<std::string> &argv)
{
    const char *name = "host";
    Args args(argv, {}, {});
    if (!args.ok() || !args.positional().empty())
        return UsageError(name, args.ok() ? "takes no arguments" : args.error());
    Library library;
    if (!library.ok())
        return Failure(name, "Winsock 2.2 could not be started");

    char hostName[64] = {};
    char computerName[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD resolved[16], preferred[16];
    int count = VantixGetHostIP(resolved);
    KesGetHostIP(preferred, nullptr);
    printf("host name:       %s\n", KesGetHostName(hostName) ? hostName : "(not available)");
    printf("computer name:   %s\n", KesGetCompName(computerName, sizeof computerName) ? computerName : "(not available)");
    printf("addresses:       %s  (the resolver's order)\n", AddressList(resolved, count).c_str());
    printf("preferred order: %s\n", AddressList(preferred, count).c_str());
    printf("preferred:       %s\n", PreferredAddressAndSource(resolved, count, 17).c_str());
    return kExitOk;
}

}  // namespace

KESNET_COMMAND(host, "host", "", "show the host's names and addresses, and the preferred address",
               "Shows the host name (KesGetHostName), the computer name (KesGetCompName),\n"
               "the IPv4 addresses of the host name in the resolver's order (VantixGetHostIP),\n"
               "the same with the preferred address first (KesGetHostIP), and the address the\n"
               "network is to use (CorGetHostIP) with where it comes from: the host's only\n"
               "address, or with several the registry value HostIP (see: kesnet help config).\n",
               {},
               {},
               "the names and addresses were shown (a name that could not be read shows\n"
               "as \"(not available)\")",
               "Winsock 2.2 could not be started",
               RunHost, 70);

}  // namespace tool
