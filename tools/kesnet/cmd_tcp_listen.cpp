// kesnet tcp-listen: serve TCP clients and print every read.
#include "kesnet.h"

#include <stdio.h>

#include <map>
#include <utility>

#include "args.h"
#include "command.h"

namespace tool {
namespace {

const size_t kShownBytes = 64;  // of each read, in the hex view

struct TcpListenState {
    long long wanted;  // stop after this many reads; 0: never
    LONG reads;
    long long bytes;
    std::map<std::pair<DWORD, int>, long long> perClient;
    HANDLE done;
    // The threads of several addresses may call back at the same time.
    CRITICAL_SECTION lock;
};

void __cdecl PrintRead(void *pData, int nLength, void *pUserData, unsigned long dwAddr, int nPort)
{
    TcpListenState *state = static_cast<TcpListenState *>(pUserData);
    EnterCriticalSection(&state->lock);
    LONG n = ++state->reads;
    state->bytes += nLength;
    state->perClient[std::make_pair(static_cast<DWORD>(dwAddr), nPort)] += nLength;
    printf("[%ld] from %s, %d bytes\n%s", n, Endpoint(dwAddr, nPort).c_str(), nLength,
           HexView(static_cast<unsigned char *>(pData), nLength, kShownBytes).c_str());
    LeaveCriticalSection(&state->lock);
    if (state->wanted > 0 && n >= state->wanted)
        SetEvent(state->done);
}

// The listener of either kind, started; null if it could not start.
struct Listener {
    CTcpListenObject *one = nullptr;
    CTcpListen3Object *several = nullptr;
    ~Listener()
    {
        if (one != nullptr) {
            one->Release();
            one->Delete();
        }
        if (several != nullptr) {
            several->Release();
            several->Delete();
        }
    }
};

bool StartListener(Listener *listener, const std::vector<DWORD> &locals, int port, long long backlog,
                   TcpListenState *state)
{
    tagParamListen param;
    param.dwLocalAddr = locals.empty() ? 0 : locals[0];
    param.nPort = port;
    param.pfnReceive = PrintRead;
    param.pUserData = state;
    if (locals.size() <= 1) {
        if (backlog)
            param.nBacklog = static_cast<int>(backlog);
        listener->one = static_cast<CTcpListenObject *>(KesCreateObject(KES_OBJECT_TCPLISTEN));
        return listener->one != nullptr && listener->one->InitInstance(&param) == 1;
    }
    // The backlog's default differs: 5 on one address, 100 on several.
    tagParamListen3 param3 = OnEachInterface(param, locals);
    if (backlog)
        param3.nBacklog = static_cast<int>(backlog);
    listener->several = static_cast<CTcpListen3Object *>(KesCreateObject(KES_OBJECT_TCPLISTEN3));
    return listener->several != nullptr && listener->several->InitInstance(&param3) == 1;
}

int RunTcpListen(const std::vector<std::string> &argv)
{
    const char *name = "tcp-listen";
    Args args(argv, {"from", "backlog", "count", "seconds"}, {});
    if (!args.ok())
        return UsageError(name, args.error());
    if (args.positional().size() != 1)
        return UsageError(name, "expected PORT");
    std::string error;
    int port = 0;
    long long backlog = 0, count = 0, seconds = 0;
    std::vector<DWORD> locals;
    if (!ParsePort(args.positional()[0], &port, &error) ||
        (args.Has("backlog") && !ParseNumber(args.Get("backlog"), 1, 1000, &backlog, &error)) ||
        !ParseStopAfter(args, &count, &seconds, &error) || !ParseLocalInterfaces(args, &locals, &error))
        return UsageError(name, error);

    TcpListenState state = {count, 0, 0, {}, CreateEventA(nullptr, TRUE, FALSE, nullptr), {}};
    InitializeCriticalSection(&state.lock);
    SignalOnInterrupt(state.done);

    Library library;
    if (!library.ok())
        return Failure(name, "Winsock 2.2 could not be started");
    std::string where;
    for (DWORD addr : locals)
        where += (where.empty() ? "" : ", ") + Endpoint(addr, port);
    if (where.empty())
        where = Endpoint(0, port);
    {
        Listener listener;
        if (!StartListener(&listener, locals, port, backlog, &state))
            return Failure(name, "cannot listen on " + where);
        printf("listening on %s with %s%s%s\n", where.c_str(), locals.size() > 1 ? "CTcpListen3" : "CTcpListen",
               backlog ? (", backlog " + std::to_string(backlog)).c_str() : "",
               count ? (", until " + std::to_string(count) + " reads arrived").c_str() : "");
        WaitForSingleObject(state.done, seconds ? static_cast<DWORD>(seconds * 1000) : INFINITE);
    }  // released here: no callback runs after this
    printf("%ld reads, %lld bytes from %zu clients\n", state.reads, state.bytes, state.perClient.size());
    for (const auto &client : state.perClient)
        printf("  %s: %lld bytes\n", Endpoint(client.first.first, client.first.second).c_str(), client.second);
    DeleteCriticalSection(&state.lock);
    CloseHandle(state.done);
    return kExitOk;
}

}  // namespace

KESNET_COMMAND(tcp_listen, "tcp-listen", "PORT [--from LOCAL ...] [--backlog N] [--count N] [--seconds S]",
               "serve TCP clients and print every read",
               "Listens on PORT with a CTcpListen (KesCreateObject(1)) and prints each read,\n"
               "at most 1536 bytes, with the client's address and port and a hex and text\n"
               "view of its first bytes. At the end it counts the bytes of every client.\n"
               "Without --count or --seconds it runs until interrupted (Ctrl+C).\n",
               {{"PORT", "the TCP port to listen on"}},
               {{"--from LOCAL", "listen on the local interface LOCAL only; given several\n"
                                 "times (up to eight), a CTcpListen3 (KesCreateObject(5))\n"
                                 "listens on all of them, with a thread for each"},
                {"--backlog N", "listen backlog and number of clients served at once (at\n"
                                "most 62 per address; default 5, or 100 with several\n"
                                "--from); a client beyond it is accepted and reset at once"},
                {"--count N", "stop after N reads"},
                {"--seconds S", "stop after S seconds"}},
               "it listened until --count, --seconds or Ctrl+C",
               "it could not listen (the port could not be taken)",
               RunTcpListen, 45);

}  // namespace tool
