// kesnet send: one datagram, by unicast or multicast.
#include "kesnet.h"

#include <stdio.h>

#include <string>
#include <vector>

#include "args.h"
#include "command.h"

namespace tool {
namespace {

// Several interfaces: one CKesSend3 socket on each, the datagram sent through all.
bool SendThroughEach(int mode, std::vector<unsigned char> *payload, DWORD dest, int port,
                     const std::vector<DWORD> &locals, std::string *error)
{
    tagParamSend3 param;
    param.nMode = mode;
    for (size_t i = 0; i < locals.size(); ++i)
        param.dwLocalAddr[i] = locals[i];
    param.nCount = static_cast<int>(locals.size());
    param.dwDestAddr = dest;
    param.nDestPort = port;
    CKesSend3 sender;
    if (!sender.InitInstance(&param)) {
        *error = "cannot open a socket on each of " + DottedList(locals);
        return false;
    }
    bool sent = sender.Send(payload->data(), static_cast<unsigned long>(payload->size()), 0, 0) == 1;
    sender.Release();
    if (!sent)
        *error = "the datagram could not be sent to " + Endpoint(dest, port) + " through every one of " +
                 DottedList(locals) + " (it may have gone out through some of them)";
    return sent;
}

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
    std::vector<unsigned char> payload;
    if (!ParseEndpoint(args.positional()[0], &dest, &port, &error) ||
        !LoadPayload(args.positional()[1], &payload, &error))
        return UsageError(name, error);
    std::vector<DWORD> locals;
    if (!ParseLocalInterfaces(args, &locals, &error))
        return UsageError(name, error);
    if (payload.size() > 65507)
        return UsageError(name, "a datagram holds at most 65507 bytes, not " + std::to_string(payload.size()));

    Library library;
    if (!library.ok())
        return Failure(name, "Winsock 2.2 could not be started");
    int mode = args.Has("multicast") ? KES_MODE_MULTICAST : KES_MODE_UNICAST;
    if (locals.size() > 1) {
        if (!SendThroughEach(mode, &payload, dest, port, locals, &error))
            return Failure(name, error);
    } else {
        DWORD local = locals.empty() ? 0 : locals[0];
        if (!KesSend(mode, payload.data(), static_cast<DWORD>(payload.size()), dest, port, local))
            return Failure(name, "the datagram could not be sent to " + Endpoint(dest, port) +
                                     (local ? " from " + Dotted(local) : std::string()));
    }
    printf("sent %zu bytes to %s%s%s%s\n", payload.size(), Endpoint(dest, port).c_str(),
           mode == KES_MODE_MULTICAST ? " (multicast, time-to-live 10)" : "",
           locals.size() == 1 && locals[0] ? (" from " + Dotted(locals[0])).c_str() : "",
           locals.size() > 1 ? (" through each of " + DottedList(locals)).c_str() : "");
    return kExitOk;
}

}  // namespace

KESNET_COMMAND(send, "send", "ADDRESS:PORT TEXT|@FILE [--multicast] [--from LOCAL]...",
               "send one datagram",
               "Sends TEXT, or the bytes of FILE, as one datagram with KesSend, from a new\n"
               "socket on a port of the system's choice (at most 65507 bytes). With several\n"
               "--from it sends the datagram once through each of those interfaces with a\n"
               "CKesSend3.\n",
               {{"ADDRESS:PORT", "where to send it; with --multicast ADDRESS is the group"},
                {"TEXT|@FILE", "the datagram: TEXT as it stands, or the bytes of FILE"}},
               {{"--multicast", "join the group ADDRESS and send to it with time-to-live 10\n"
                                "(with several --from, each socket joins on its own interface)"},
                {"--from LOCAL", "send from the local interface LOCAL; up to eight times"}},
               "the datagram went out whole (through every interface)",
               "the socket could not be set up on LOCAL, the group could not be joined,\n"
               "or the send was refused",
               RunSend, 10);

}  // namespace tool
