// Demo step: a roll-call of a small class, as `kesnet rollcall` makes it. The
// demo starts the students' echoing listeners itself, one on each address of
// this host; one more student, at an address where no listener runs, is away.
#include <stdio.h>

#include <memory>
#include <string>
#include <vector>

#include "args.h"
#include "demo.h"
#include "kesnet.h"
#include "rollcall.h"

namespace tool {
namespace {

const int kStudentPort = 47005;
const DWORD kTimeoutMs = 500;

Student MakeStudent(const char *name, DWORD addr, BYTE last)
{
    Student s = {name, addr, {0x02, 0x00, 0x5e, 0x00, 0x00, last}};
    return s;
}

std::string RoundTrip(double ms)
{
    char text[32];
    snprintf(text, sizeof text, "%.2f ms", ms);
    return text;
}

bool RollCallOfAClass(const DemoNetwork &net)
{
    // In the private network this host has two addresses; on loopback one.
    // The second host (or an address no one has) stands for a machine that
    // is switched off.
    std::vector<Student> students = {MakeStudent("anna", net.local, 1)};
    if (net.isPrivate)
        students.push_back(MakeStudent("ben", net.second, 2));
    DWORD away = net.isPrivate ? net.peer : inet_addr("127.0.0.9");
    students.push_back(MakeStudent("chris", away, 3));

    std::vector<std::unique_ptr<CKesListen>> listeners;
    bool ok = true;
    for (size_t i = 0; i + 1 < students.size(); ++i) {
        tagParamListen param;
        param.dwLocalAddr = students[i].addr;
        param.nPort = kStudentPort;
        param.bEcho = TRUE;
        listeners.emplace_back(new CKesListen);
        ok &= Check(listeners.back()->InitInstance(&param) == 1,
                    students[i].name + "'s listener: CKesListen on " + Endpoint(students[i].addr, kStudentPort) +
                        ", answering with \"Echo\"");
    }
    Say("away", students.back().name + " at " + Dotted(away) + ": nothing listens there");

    RollCall call(students);
    ok &= Check(call.Start(), "one CKesListen on UDP port 37102 hears every echo; one CKesSend asks");
    if (ok) {
        call.AskSilent(kStudentPort, kTimeoutMs);
        Say("asked", "one datagram to each of the " + std::to_string(students.size()) +
                         ", all at once, then one wait of at most " + std::to_string(kTimeoutMs) + " ms");
        for (size_t i = 0; i < students.size(); ++i) {
            bool expected = i + 1 < students.size();
            ok &= Check(call.Answered(i) == expected,
                        students[i].name + " (" + Dotted(students[i].addr) + "): " +
                            (call.Answered(i) ? "present, round trip " + RoundTrip(call.RoundTrip(i)) : "absent"));
        }
    }
    for (auto &listener : listeners)
        listener->Release();
    Say("note", "kesnet rollcall does this for a class list, and with --wake wakes the absent ones with\n"
                "             KesWakeUp and asks them again");
    return ok;
}

}  // namespace

KESNET_DEMO_STEP(rollcall, 84, "A roll-call of a class (echoing listeners, one CKesListen on the echo port)",
                 RollCallOfAClass);

}  // namespace tool
