// kesnet ping: acknowledged sends, each waiting for the receiver's echo.
#include "kesnet.h"

#include <stdio.h>

#include <algorithm>
#include <vector>

#include "args.h"
#include "command.h"

namespace tool {
namespace {

const long long kDefaultCount = 4;
const long long kDefaultTimeout = 1000;
const long long kDefaultSize = 32;

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void PrintSummary(DWORD dest, int port, int sent, const std::vector<double> &roundTrips)
{
    int acknowledged = static_cast<int>(roundTrips.size());
    printf("\n--- %s ---\n", Endpoint(dest, port).c_str());
    printf("%d sent, %d acknowledged, %d%% loss\n", sent, acknowledged,
           sent ? (sent - acknowledged) * 100 / sent : 0);
    if (acknowledged)
        printf("round trip min/median/max = %.2f/%.2f/%.2f ms\n",
               *std::min_element(roundTrips.begin(), roundTrips.end()), Median(roundTrips),
               *std::max_element(roundTrips.begin(), roundTrips.end()));
}

int RunPing(const std::vector<std::string> &argv)
{
    const char *name = "ping";
    Args args(argv, {"count", "timeout", "size", "from"}, {});
    if (!args.ok())
        return UsageError(name, args.error());
    if (args.positional().size() != 1)
        return UsageError(name, "expected ADDRESS:PORT");
    if (args.GetAll("from").size() > 1)
        return UsageError(name, "one --from at most");
    std::string error;
    DWORD dest = 0;
    int port = 0;
    long long count = kDefaultCount, timeout = kDefaultTimeout, size = kDefaultSize;
    tagParamSend param;
    if (!ParseEndpoint(args.positional()[0], &dest, &port, &error) ||
        (args.Has("count") && !ParseNumber(args.Get("count"), 1, 1000000, &count, &error)) ||
        (args.Has("timeout") && !ParseNumber(args.Get("timeout"), 0, 600000, &timeout, &error)) ||
        (args.Has("size") && !ParseNumber(args.Get("size"), 0, 65507, &size, &error)) ||
        (args.Has("from") && !ParseIPv4(args.Get("from"), &param.dwLocalAddr, &error)))
        return UsageError(name, error);
    param.dwDestAddr = dest;
    param.nDestPort = port;
    param.dwEchoTimeout = static_cast<DWORD>(timeout);

    Library library;
    if (!library.ok())
        return Failure(name, "Winsock 2.2 could not be started");
    CKesSend2 sender;
    if (!sender.InitInstance(&param))
        return Failure(name, "cannot listen for echoes on " + Endpoint(param.dwLocalAddr, ECHO_PORT) +
                                 " (is another acknowledged sender running on this host?)");

    std::vector<unsigned char> payload(static_cast<size_t>(size));
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<unsigned char>('a' + i % 26);
    printf("ping %s with %lld bytes: each send waits up to %lld ms for \"Echo\" on %s\n",
           Endpoint(dest, port).c_str(), size, timeout, Endpoint(param.dwLocalAddr, ECHO_PORT).c_str());

    std::vector<double> roundTrips;
    for (int i = 1; i <= count; ++i) {
        Stopwatch stopwatch;
        int acknowledged = sender.Send(payload.data(), static_cast<unsigned long>(payload.size()), 0, 0);
        double took = stopwatch.Milliseconds();
        if (acknowledged) {
            roundTrips.push_back(took);
            printf("[%d] acknowledged in %.2f ms\n", i, roundTrips.back());
        } else {
            printf("[%d] not acknowledged: no echo within %lld ms\n", i, timeout);
        }
    }
    sender.Release();
    PrintSummary(dest, port, static_cast<int>(count), roundTrips);
    return roundTrips.empty() ? kExitFailed : kExitOk;
}

}  // namespace

KESNET_COMMAND(ping, "ping", "ADDRESS:PORT [--count N] [--timeout MS] [--size BYTES] [--from LOCAL]",
               "acknowledged sends: does the listener answer?",
               "Sends datagrams with CKesSend2, one after the other, and reports for each\n"
               "whether the listener at ADDRESS:PORT acknowledged it with \"Echo\" (as\n"
               "`kesnet listen --echo` does) and how long the round trip took, then a\n"
               "summary: sent, acknowledged, loss, and min/median/max round trip.\n"
               "The echoes arrive on UDP port 37102 of this host, so only one acknowledged\n"
               "sender per local address should run at a time.\n",
               {{"ADDRESS:PORT", "the listener to send to"}},
               {{"--count N", "send N datagrams (default 4)"},
                {"--timeout MS", "wait up to MS milliseconds for each echo (default 1000)"},
                {"--size BYTES", "datagram size, 0 to 65507 (default 32)"},
                {"--from LOCAL", "send from, and hear echoes on, the local interface LOCAL"}},
               "at least one send was acknowledged",
               "no send was acknowledged, or the sender could not be set up",
               RunPing, 15);

}  // namespace tool
