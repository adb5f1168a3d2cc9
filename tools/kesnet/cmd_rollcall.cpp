// kesnet rollcall: which machines of a class answer, and which can be woken.
#include "kesnet.h"

#include <stdio.h>

#include <algorithm>
#include <string>
#include <vector>

#include "args.h"
#include "command.h"
#include "hardware_address.h"
#include "rollcall.h"

namespace tool {
namespace {

const char *const kName = "rollcall";
const int kDefaultPort = 47100;  // the message port of the example teacher and students
const long long kDefaultTimeout = 1000;
const long long kDefaultWait = 60;
const int kWakeRounds = 3;            // magic packets get lost on busy switches
const double kAskAgainEveryMs = 1000;  // while the woken machines start

enum Status { kAbsent, kPresent, kWokeUp };
const char *const kStatusNames[] = {"absent", "present", "woke up"};

struct Outcome {
    Status status;
    double roundTrip;  // ms; only when it answered
};

std::string Milliseconds(double ms)
{
    char text[32];
    snprintf(text, sizeof text, "%.2f", ms);
    return text;
}

std::string JsonText(const std::string &text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

void PrintTable(const std::vector<Student> &students, const std::vector<Outcome> &outcomes)
{
    std::vector<std::vector<std::string>> rows = {{"NAME", "ADDRESS", "HARDWARE ADDRESS", "STATUS", "ROUND TRIP"}};
    for (size_t i = 0; i < students.size(); ++i)
        rows.push_back({students[i].name, Dotted(students[i].addr), FormatHardwareAddress(students[i].hardware),
                        kStatusNames[outcomes[i].status],
                        outcomes[i].status == kAbsent ? "-" : Milliseconds(outcomes[i].roundTrip) + " ms"});
    std::vector<size_t> width(rows[0].size(), 0);
    for (const auto &row : rows)
        for (size_t c = 0; c < row.size(); ++c)
            width[c] = std::max(width[c], row[c].size());
    for (const auto &row : rows) {
        std::string line;
        for (size_t c = 0; c < row.size(); ++c)
            line += c + 1 < row.size() ? row[c] + std::string(width[c] - row[c].size() + 2, ' ') : row[c];
        printf("%s\n", line.c_str());
    }
}

void PrintJson(const std::string &path, int port, long long timeout, int wakePackets,
               const std::vector<Student> &students, const std::vector<Outcome> &outcomes, const int (&count)[3])
{
    printf("{\n  \"class\": %s,\n  \"port\": %d,\n  \"timeout_ms\": %lld,\n", JsonText(path).c_str(), port, timeout);
    if (wakePackets >= 0)
        printf("  \"wake_packets\": %d,\n", wakePackets);
    printf("  \"machines\": [\n");
    for (size_t i = 0; i < students.size(); ++i)
        printf("    {\"name\": %s, \"address\": \"%s\", \"hardware_address\": \"%s\", \"status\": \"%s\", "
               "\"round_trip_ms\": %s}%s\n",
               JsonText(students[i].name).c_str(), Dotted(students[i].addr).c_str(),
               FormatHardwareAddress(students[i].hardware).c_str(), kStatusNames[outcomes[i].status],
               outcomes[i].status == kAbsent ? "null" : Milliseconds(outcomes[i].roundTrip).c_str(),
               i + 1 < students.size() ? "," : "");
    printf("  ],\n  \"present\": %d,\n  \"woke_up\": %d,\n  \"absent\": %d\n}\n", count[kPresent], count[kWokeUp],
           count[kAbsent]);
}

// Wakes the silent students through every interface, then asks them again
// every round (a second or the time-out, whichever is longer) until they all
// answered or waitMs passed. The first round only listens: an echo to the
// first question that comes late still counts as that question's answer (the
// machine was there all along), as it could not once the question was asked
// again. Returns how many magic packets went out.
int WakeAndAskAgain(RollCall *call, const std::vector<Student> &students, int port, DWORD timeoutMs, double waitMs,
                    bool quiet)
{
    std::vector<size_t> silent = call->Silent();
    std::vector<BYTE> list;
    for (size_t i : silent)
        list.insert(list.end(), students[i].hardware, students[i].hardware + kHardwareAddressBytes);
    tagParamWake param;
    param.nRepeat = kWakeRounds;
    int sent = KesWakeUp(&param, list.data(), static_cast<DWORD>(silent.size()));
    if (!quiet)
        printf("woke the %zu silent machine%s with KesWakeUp: %d magic packets through every interface, to port "
               "%d; asking again for up to %.0f s\n",
               silent.size(), silent.size() == 1 ? "" : "s", sent, param.nPort, waitMs / 1000);
    if (sent == 0) {
        fprintf(stderr, "kesnet %s: KesWakeUp sent no magic packet (is any network interface up?)\n", kName);
        return 0;
    }
    double round = std::max(kAskAgainEveryMs, static_cast<double>(timeoutMs));
    double until = call->Now() + waitMs;
    for (double left = waitMs; left > 0; left = until - call->Now()) {
        call->AwaitAnswers(static_cast<DWORD>(std::min(round, left)));
        if (call->Silent().empty() || call->Now() >= until)
            break;
        call->AskSilent(port, 0);
    }
    return sent;
}

int RunRollCall(const std::vector<std::string> &argv)
{
    Args args(argv, {"port", "timeout", "wait"}, {"wake", "json"});
    if (!args.ok())
        return UsageError(kName, args.error());
    if (args.positional().size() != 1)
        return UsageError(kName, "expected CLASSFILE");
    if (args.Has("wait") && !args.Has("wake"))
        return UsageError(kName, "--wait goes with --wake");
    std::string error;
    int port = kDefaultPort;
    long long timeout = kDefaultTimeout, wait = kDefaultWait;
    if ((args.Has("port") && !ParsePort(args.Get("port"), &port, &error)) ||
        (args.Has("timeout") && !ParseNumber(args.Get("timeout"), 1, 600000, &timeout, &error)) ||
        (args.Has("wait") && !ParseNumber(args.Get("wait"), 1, 3600, &wait, &error)))
        return UsageError(kName, error);
    const std::string &path = args.positional()[0];
    std::vector<Student> students;
    if (!ReadClassList(path, &students, &error))
        return UsageError(kName, error);
    bool json = args.Has("json");

    Library library;
    if (!library.ok())
        return Failure(kName, "Winsock 2.2 could not be started");
    RollCall call(students);
    if (!call.Start())
        return Failure(kName, "cannot listen for echoes on UDP port " + std::to_string(ECHO_PORT) +
                                  " (is an acknowledged sender running on this host?)");
    if (!json)
        printf("roll-call of %zu machine%s (%s): asking the listener on port %d of each for its echo, up to %lld ms\n",
               students.size(), students.size() == 1 ? "" : "s", path.c_str(), port, timeout);
    call.AskSilent(port, static_cast<DWORD>(timeout));
    int wakePackets = -1;
    if (args.Has("wake") && !call.Silent().empty()) {
        wakePackets = WakeAndAskAgain(&call, students, port, static_cast<DWORD>(timeout), wait * 1000.0, json);
    }

    std::vector<Outcome> outcomes;
    int count[3] = {};
    for (size_t i = 0; i < students.size(); ++i) {
        Status status = !call.Answered(i) ? kAbsent : call.AnsweredFirstQuestion(i) ? kPresent : kWokeUp;
        outcomes.push_back({status, call.Answered(i) ? call.RoundTrip(i) : 0});
        ++count[status];
    }
    if (json) {
        PrintJson(path, port, timeout, wakePackets, students, outcomes, count);
    } else {
        printf("\n");
        PrintTable(students, outcomes);
        printf("\n%zu machine%s: %d present, %d woke up, %d absent\n", students.size(),
               students.size() == 1 ? "" : "s", count[kPresent], count[kWokeUp], count[kAbsent]);
    }
    return count[kAbsent] == 0 ? kExitOk : kExitFailed;
}

}  // namespace

KESNET_COMMAND(rollcall, "rollcall", "CLASSFILE [--port N] [--timeout MS] [--wake] [--wait SECONDS] [--json]",
               "which machines of a class answer; wake the others",
               "Asks every machine in CLASSFILE whether it is there: its echoing listener\n"
               "(`kesnet listen PORT --echo`, or any host's CKesListen with bEcho) answers\n"
               "with \"Echo\". All at once, so that a whole class takes about one time-out:\n"
               "one datagram to each, then one wait for the echoes on UDP port 37102 (one\n"
               "CKesListen hears them all; a CKesSend2 per machine would steal each other's\n"
               "echoes). An echo counts when it comes from the machine's address after its\n"
               "question went out. With --wake it wakes the silent ones with KesWakeUp\n"
               "(through every interface, port 9, three rounds), asks them again every\n"
               "second (or time-out) until they answer or the wait is over, and calls\n"
               "those that answer then \"woke up\". A machine whose echo to the first\n"
               "question comes late, but before it is asked again (a second or a time-out\n"
               "after the wake-up), is present, with its round trip from that question.\n"
               "It prints who is present, who woke up and who is absent, with round trips,\n"
               "as a table or as JSON.\n"
               "\n"
               "CLASSFILE holds one machine a line, NAME ADDRESS MAC:\n"
               "  pc01  10.77.1.11  52:54:00:12:34:01\n"
               "'#' starts a comment, blank lines are skipped; each address may appear once.\n",
               {{"CLASSFILE", "the class list"}},
               {{"--port N", "the port the machines' listeners are on (default 47100)"},
                {"--timeout MS", "how long to wait for the echoes (default 1000)"},
                {"--wake", "wake the machines that did not answer, and ask them again"},
                {"--wait SECONDS", "with --wake: how long to keep asking (default 60)"},
                {"--json", "print the outcome as JSON instead of a table"}},
               "every machine answered",
               "a machine stayed absent, or the echo port could not be listened on",
               RunRollCall, 74);

}  // namespace tool
