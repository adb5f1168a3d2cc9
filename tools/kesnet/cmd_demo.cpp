// kesnet demo: runs every registered step in order and reports the outcome.
#include "demo.h"

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <vector>

#include "args.h"
#include "command.h"
#include "kesnet.h"
#include "kesnet_version.h"

namespace tool {
namespace {

std::vector<DemoStep> &Steps()
{
    static std::vector<DemoStep> steps;
    return steps;
}

DWORD EnvAddress(const char *name)
{
    const char *value = getenv(name);
    DWORD addr = 0;
    std::string error;
    if (value != nullptr && *value != '\0' && !ParseIPv4(value, &addr, &error))
        addr = 0;
    return addr;
}

int RunDemo(const std::vector<std::string> &argv)
{
    Args args(argv, {}, {});
    if (!args.ok() || !args.positional().empty())
        return UsageError("demo", args.ok() ? "takes no arguments" : args.error());

    DemoNetwork net = {};
    const char *isPrivate = getenv("KESNET_DEMO_PRIVATE");
    net.isPrivate = isPrivate != nullptr && isPrivate[0] == '1';
    net.local = EnvAddress("KESNET_DEMO_LOCAL");
    if (net.local == 0)
        net.local = inet_addr("127.0.0.1");
    net.peer = EnvAddress("KESNET_DEMO_PEER");
    net.second = EnvAddress("KESNET_DEMO_SECOND");

    printf("kesnet demo %s: the library's capabilities one after the other, used the way a host\n"
           "program uses them. Every step checks what arrived.\n\n",
           KESNET_VERSION_STRING);
    if (net.isPrivate)
        printf("Network: a private network of two hosts made for this run. This host has %s and\n"
               "%s, the second host %s. Nothing leaves this machine.\n",
               Dotted(net.local).c_str(), Dotted(net.second).c_str(), Dotted(net.peer).c_str());
    else
        printf("Network: loopback only (%s). Multicast and Wake-on-LAN are left out: they would\n"
               "leave the machine. Run scripts/demo.sh as root for a private network of two hosts.\n",
               Dotted(net.local).c_str());

    printf("\n== Start ==\n");
    if (!Check(KesInitInstance() == 1, "KesInitInstance() = 1: Winsock 2.2 is running, for every step"))
        return kExitFailed;
    int passed = 0, failed = 0;
    int number = 0;
    for (const DemoStep &step : Steps()) {
        printf("\n== %d. %s ==\n", ++number, step.title);
        if (step.run(net))
            ++passed;
        else
            ++failed;
    }
    printf("\n== Stop ==\n");
    Check(KesExitInstance() == 1, "KesExitInstance() = 1, after every object was released");
    printf("\ndemo finished: %d of %d steps worked\n", passed, passed + failed);
    return failed == 0 ? kExitOk : kExitFailed;
}

}  // namespace

DemoStepRegistration::DemoStepRegistration(const DemoStep &step)
{
    std::vector<DemoStep> &steps = Steps();
    steps.push_back(step);
    std::stable_sort(steps.begin(), steps.end(), [](const DemoStep &a, const DemoStep &b) { return a.order < b.order; });
}

void Say(const char *label, const std::string &text)
{
    printf("  %-10s %s\n", label, text.c_str());
}

bool Check(bool ok, const std::string &what)
{
    printf("  %-10s %s\n", ok ? "ok" : "FAILED", what.c_str());
    return ok;
}

bool WaitSignalled(HANDLE event, DWORD ms)
{
    return WaitForSingleObject(event, ms) == WAIT_OBJECT_0;
}

KESNET_COMMAND(demo, "demo", "", "show every capability of the library, end to end",
               "Runs the library's capabilities one after the other and explains what\n"
               "happens. scripts/demo.sh runs it as root inside a private network of two\n"
               "hosts, so that multicast and broadcast stay on this machine; without it the\n"
               "demo uses loopback, says so, and leaves out multicast and Wake-on-LAN.\n",
               {},
               {},
               "every step worked",
               "a step failed (the output marks it FAILED)",
               RunDemo, 1);

}  // namespace tool
