// kesnet send: one datagram, by unicast or multicast.
#include "kesnet.h"

#include <stdio.h>

#include "args.h"
#include "command.h"

namespace tool {
namespace {

int RunSend(const std::vector<std::string> &argv)
{
    const char *name = "send";
    Args args(argv, {"from"}, {"multicast"});
    if (!args.ok())
        return UsageError(name, args.error());
    if (args.positional().size() != 2)
        return UsageError(name, "expected ADDRESS:PORT and TEXT or @FILE");
    std::string error;
    DWORD dest = 0;
    int port = 0;
    DWORD local = 0;
    std::vector<unsigned char> payload;
    if (!ParseEndpoint(args.positional()[0], &dest, &port, &error) ||
        (args.Has("from") && !ParseIPv4(args.Get("from"), &local, &error)) ||
        !LoadPayload(args.positional()[1], &payload, &error))
        return UsageError(name, error);
    if (payload.size() > 65507)
        return UsageError(name, "a datagram holds at most 65507 bytes, not " + std::to_string(payload.size()));

    Library library;
    if (!library.ok())
        return Failure(name, "Winsock 2.2 could not be started");
    int mode = args.Has("multicast") ? KES_MODE_MULTICAST : KES_MODE_UNICAST;
    if (!KesSend(mode, payload.data(), static_cast<DWORD>(payload.size()), dest, port, local))
        return Failure(name, "the datagram could not be sent to " + Endpoint(dest, port) +
                                 (local ? " from " + Dotted(local) : std::string()));
    printf("sent %zu bytes to %s%s%s\n", payload.size(), Endpoint(dest, port).c_str(),
           mode == KES_MODE_MULTICAST ? " (multicast, time-to-live 10)" : "",
           local ? (" from " + Dotted(local)).c_str() : "");
    return kExitOk;
}

}  // namespace

KESNET_COMMAND(send, "send", "ADDRESS:PORT TEXT|@FILE [--multicast] [--from LOCAL]",
               "send one datagram",
               "Sends TEXT, or the bytes of FILE, as one datagram with KesSend, from a new\n"
               "socket on a port of the system's choice (at most 65507 bytes).\n",
               {{"ADDRESS:PORT", "where to send it; with --multicast ADDRESS is the group"},
                {"TEXT|@FILE", "the datagram: TEXT as it stands, or the bytes of FILE"}},
               {{"--multicast", "join the group ADDRESS and send to it with time-to-live 10"},
                {"--from LOCAL", "send from the local interface LOCAL"}},
               "the datagram went out whole",
               "KesSend failed: the socket could not be set up on LOCAL, the group could\n"
               "not be joined, or the send was refused",
               RunSend, 10);

}  // namespace tool
