// kesnet cast / catch / cast-stream / catch-stream: the multicast transfers.
// One file to a whole class at once, received into a folder on each machine;
// and a live stream of messages (a file or standard input, cut in pieces).
#include "kesnet.h"

#include <fcntl.h>
#include <io.h>
#include <stdio.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "args.h"
#include "command.h"
#include "rollcall.h"

namespace tool {
namespace {

const char kDefaultGroup[] = "239.77.1.1:47200";
const DWORD kShowEveryMs = 200;

// What every cast command shares: the group and the interface.
struct Place {
    KES_CAST_PARAM param;
    std::string group;
};

bool ReadPlace(const Args &args, Place *place, std::string *error)
{
    place->param = KES_CAST_PARAM();
    place->param.dwSize = sizeof place->param;
    place->group = args.Get("group", kDefaultGroup);
    if (!ParseEndpoint(place->group, &place->param.dwGroupAddr, &place->param.nPort, error))
        return false;
    if ((ntohl(place->param.dwGroupAddr) >> 28) != 0xE) {
        *error = "'" + place->group + "' is not a multicast group (224.0.0.0 to 239.255.255.255)";
        return false;
    }
    if (args.Has("from") && !ParseIPv4(args.Get("from"), &place->param.dwLocalAddr, error))
        return false;
    long long mbit = 0;
    if (args.Has("rate")) {
        if (!ParseNumber(args.Get("rate"), 1, 4000, &mbit, error))
            return false;
        place->param.dwMaxRate = static_cast<DWORD>(mbit * 1000000);
    }
    return true;
}

bool ReadSeconds(const Args &args, long long fallback, long long *seconds, std::string *error)
{
    *seconds = fallback;
    return !args.Has("seconds") || ParseNumber(args.Get("seconds"), 1, 86400, seconds, error);
}

std::string CastFailure(int result)
{
    return KesCastErrorText(result);
}

unsigned long long Both(DWORD low, DWORD high)
{
    return static_cast<unsigned long long>(high) << 32 | low;
}

std::string Bar(unsigned long long done, unsigned long long total)
{
    const int width = 24;
    int filled = total ? static_cast<int>(done * width / total) : width;
    return "[" + std::string(filled, '#') + std::string(width - filled, '.') + "] " +
           std::to_string(total ? done * 100 / total : 100) + "%";
}

// ---------------------------------------------------------------- cast

const char *StateText(int state)
{
    switch (state) {
    case KES_CAST_RECEIVER_HAS_IT:
        return "has it";
    case KES_CAST_RECEIVER_DROPPED:
        return "dropped";
    case KES_CAST_RECEIVER_ABSENT:
        return "absent";
    default:
        return "receiving";
    }
}

std::vector<KES_CAST_RECEIVER_INFO> Receivers(HKESCAST h)
{
    DWORD count = 0;
    KesCastGetReceivers(h, nullptr, 0, &count);
    std::vector<KES_CAST_RECEIVER_INFO> list(count);
    if (count != 0)
        KesCastGetReceivers(h, list.data(), count, &count);
    list.resize(std::min<size_t>(count, list.size()));
    return list;
}

// The class's progress, and the receivers furthest behind.
std::string CastLine(HKESCAST h, const std::map<DWORD, std::string> &names)
{
    KES_CAST_STATUS s = {};
    s.dwSize = sizeof s;
    KesCastGetStatus(h, &s);
    std::vector<KES_CAST_RECEIVER_INFO> list = Receivers(h);
    std::stable_sort(list.begin(), list.end(), [](const KES_CAST_RECEIVER_INFO &a, const KES_CAST_RECEIVER_INFO &b) {
        return a.dwGroupsMissing > b.dwGroupsMissing;
    });
    std::string line = Bar(Both(s.dwDoneLow, s.dwDoneHigh), Both(s.dwSizeLow, s.dwSizeHigh)) + " " +
                       std::to_string(s.dwHaveIt) + "/" + std::to_string(s.dwReceivers) + " have it";
    std::string slowest;
    for (size_t i = 0; i < list.size() && slowest.size() < 40; ++i) {
        if (list[i].nState != KES_CAST_RECEIVER_RECEIVING || list[i].dwGroupsMissing == 0)
            break;
        auto name = names.find(list[i].dwId);
        slowest += (slowest.empty() ? "" : ", ") + (name != names.end() ? name->second : Dotted(list[i].dwId)) +
                   " (" + std::to_string(list[i].dwGroupsMissing) + ")";
    }
    return slowest.empty() ? line : line + "; behind: " + slowest;
}

void PrintCastTable(HKESCAST h, const std::map<DWORD, std::string> &names)
{
    printf("%-16s %-16s %-10s %s\n", "RECEIVER", "ID", "STATE", "WHY");
    for (const KES_CAST_RECEIVER_INFO &r : Receivers(h)) {
        auto name = names.find(r.dwId);
        printf("%-16s %-16s %-10s %s\n", name != names.end() ? name->second.c_str() : "-", Dotted(r.dwId).c_str(),
               StateText(r.nState), r.szWhy);
    }
}

bool EveryoneHasIt(HKESCAST h)
{
    std::vector<KES_CAST_RECEIVER_INFO> list = Receivers(h);
    return !list.empty() && std::all_of(list.begin(), list.end(), [](const KES_CAST_RECEIVER_INFO &r) {
        return r.nState == KES_CAST_RECEIVER_HAS_IT;
    });
}

int RunCast(const std::vector<std::string> &argv)
{
    const char *name = "cast";
    Args args(argv, {"group", "from", "rate", "class", "expect", "seconds"}, {});
    if (!args.ok())
        return UsageError(name, args.error());
    if (args.positional().size() != 1)
        return UsageError(name, "expected one FILE");
    Place place;
    long long seconds = 0;
    std::string error;
    if (!ReadPlace(args, &place, &error) || !ReadSeconds(args, 3600, &seconds, &error))
        return UsageError(name, error);
    std::map<DWORD, std::string> names;
    std::vector<DWORD> expected;
    if (args.Has("class")) {
        std::vector<Student> students;
        if (!ReadClassList(args.Get("class"), &students, &error))
            return UsageError(name, error);
        for (const Student &s : students) {
            expected.push_back(s.addr);
            names[s.addr] = s.name;
        }
    }
    for (const std::string &id : args.GetAll("expect")) {
        long long value = 0;
        if (!ParseNumber(id, 1, 0xFFFFFFFFll, &value, &error))
            return UsageError(name, error);
        expected.push_back(static_cast<DWORD>(value));
    }
    if (expected.size() > 4096)
        return UsageError(name, "a class of more than 4096 receivers");
    place.param.pdwExpected = expected.empty() ? nullptr : expected.data();
    place.param.dwExpected = static_cast<DWORD>(expected.size());
    const std::string &file = args.positional()[0];

    Library library;
    if (!library.ok())
        return Failure(name, "Winsock 2.2 could not be started");
    HKESCAST h = nullptr;
    int result = KesCastOpen(KES_CAST_SENDER, &place.param, &h);
    if (result != KES_CAST_OK)
        return Failure(name, "cannot open a sender on " + place.group + ": " + CastFailure(result));
    Stopwatch clock;
    result = KesCastSendFile(h, file.c_str());
    if (result != KES_CAST_OK) {
        KesCastClose(h);
        return Failure(name, "cannot send '" + file + "': " + CastFailure(result));
    }
    printf("casting %s to %s%s\n", file.c_str(), place.group.c_str(),
           expected.empty() ? "" : (" for a class of " + std::to_string(expected.size())).c_str());
    fflush(stdout);
    HANDLE interrupted = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SignalOnInterrupt(interrupted);
    StatusLine line;
    do {
        result = KesCastWait(h, kShowEveryMs);
        line.Show(CastLine(h, names));
    } while (result == KES_CAST_E_TIMEOUT && clock.Milliseconds() < seconds * 1000.0 &&
             WaitForSingleObject(interrupted, 0) != WAIT_OBJECT_0);
    line.End();
    const double took = clock.Milliseconds() / 1000;
    PrintCastTable(h, names);
    KES_CAST_STATUS s = {};
    s.dwSize = sizeof s;
    KesCastGetStatus(h, &s);
    const unsigned long long size = Both(s.dwSizeLow, s.dwSizeHigh);
    const bool everyone = result == KES_CAST_OK && EveryoneHasIt(h);
    printf("%llu bytes in %.2f s (%.1f Mbit/s); %lu data and %lu repair packets (%.1f %%); %s\n", size, took,
           took > 0 ? size * 8 / took / 1e6 : 0.0, s.dwDataPackets, s.dwRepairPackets,
           s.dwDataPackets ? 100.0 * s.dwRepairPackets / s.dwDataPackets : 0.0,
           everyone ? "every receiver has it"
           : result == KES_CAST_E_TIMEOUT ? "stopped before the end"
                                          : "not every receiver has it");
    KesCastClose(h);
    CloseHandle(interrupted);
    return everyone ? kExitOk : kExitFailed;
}

// ---------------------------------------------------------------- catch

// What a receiver's callback saw, for the command's thread to report.
struct Catches {
    std::mutex lock;
    HANDLE changed = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::vector<std::string> lines;  // to print, in order
    long long whole = 0, abandoned = 0;
    unsigned long long done = 0, size = 0;
    bool receiving = false;
    // catch-stream
    FILE *out = nullptr;
    long long messages = 0, skipped = 0, teachers = 0;
    bool writeFailed = false;

    ~Catches() { CloseHandle(changed); }
    void Say(const std::string &text)
    {
        lines.push_back(text);
    }
};

void __cdecl OnCatch(const KES_CAST_EVENT *e, void *user)
{
    Catches *c = static_cast<Catches *>(user);
    {
        std::lock_guard<std::mutex> lock(c->lock);
        const unsigned long long size = Both(e->dwSizeLow, e->dwSizeHigh);
        switch (e->nEvent) {
        case KES_CAST_EVENT_STARTED:
            c->receiving = true;
            c->size = size;
            c->done = 0;
            c->Say("receiving object " + std::to_string(e->dwObject) + " (" + FormatBytes(static_cast<double>(size)) + ")");
            break;
        case KES_CAST_EVENT_PROGRESS:
            c->done = Both(e->dwDoneLow, e->dwDoneHigh);
            break;
        case KES_CAST_EVENT_OBJECT:
            c->receiving = false;
            ++c->whole;
            c->Say(std::string(e->pszName) + ": " + std::to_string(size) + " bytes, whole" +
                   (KesAuthFromTeacher() ? ", the teacher's" : ""));
            break;
        case KES_CAST_EVENT_ABANDONED:
            c->receiving = false;
            ++c->abandoned;
            c->Say("object " + std::to_string(e->dwObject) + " left unfinished: " + e->pszWhy);
            break;
        case KES_CAST_EVENT_MESSAGE:
            ++c->messages;
            c->teachers += KesAuthFromTeacher();
            if (c->out != nullptr && fwrite(e->pData, 1, e->dwSizeLow, c->out) != e->dwSizeLow)
                c->writeFailed = true;
            break;
        case KES_CAST_EVENT_SKIPPED:
            ++c->skipped;
            c->Say("message " + std::to_string(e->dwObject) + " skipped: " + e->pszWhy);
            break;
        default:
            break;
        }
    }
    SetEvent(c->changed);
}

// Waits for the receiver's events until done() or the time is up, printing
// what it says and, on a terminal, the object's progress.
template <typename Done>
void Follow(Catches *c, long long seconds, Done done, FILE *say)
{
    HANDLE interrupted = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SignalOnInterrupt(interrupted);
    Stopwatch clock;
    StatusLine line;
    for (;;) {
        HANDLE waits[2] = {interrupted, c->changed};
        WaitForMultipleObjects(2, waits, FALSE, kShowEveryMs);
        std::lock_guard<std::mutex> lock(c->lock);
        for (const std::string &text : c->lines) {
            line.End();
            fprintf(say, "%s\n", text.c_str());
        }
        fflush(say);
        c->lines.clear();
        if (c->receiving && say == stdout)
            line.Show(Bar(c->done, c->size));
        if (done(*c) || clock.Milliseconds() >= seconds * 1000.0 || WaitForSingleObject(interrupted, 0) == WAIT_OBJECT_0)
            break;
    }
    line.End();
    CloseHandle(interrupted);
}

bool ReadReceiverId(const Args &args, KES_CAST_PARAM *param, std::string *error)
{
    long long id = 0;
    if (args.Has("id") && !ParseNumber(args.Get("id"), 1, 0xFFFFFFFFll, &id, error))
        return false;
    param->dwReceiverId = static_cast<DWORD>(id);
    return true;
}

int RunCatch(const std::vector<std::string> &argv)
{
    const char *name = "catch";
    Args args(argv, {"group", "from", "id", "count", "seconds"}, {});
    if (!args.ok())
        return UsageError(name, args.error());
    if (args.positional().size() != 1)
        return UsageError(name, "expected one FOLDER");
    Place place;
    long long seconds = 0, count = 1;
    std::string error;
    if (!ReadPlace(args, &place, &error) || !ReadReceiverId(args, &place.param, &error) ||
        !ReadSeconds(args, 3600, &seconds, &error) ||
        (args.Has("count") && !ParseNumber(args.Get("count"), 1, 1000000, &count, &error)))
        return UsageError(name, error);
    const std::string &folder = args.positional()[0];
    Catches catches;
    place.param.pszFolder = folder.c_str();
    place.param.pfnEvent = OnCatch;
    place.param.pUserData = &catches;

    Library library;
    if (!library.ok())
        return Failure(name, "Winsock 2.2 could not be started");
    HKESCAST h = nullptr;
    int result = KesCastOpen(KES_CAST_RECEIVER, &place.param, &h);
    if (result != KES_CAST_OK)
        return Failure(name, "cannot receive into '" + folder + "' from " + place.group + ": " + CastFailure(result));
    printf("waiting on %s for %lld object%s into %s\n", place.group.c_str(), count, count == 1 ? "" : "s",
           folder.c_str());
    fflush(stdout);
    Follow(&catches, seconds, [count](const Catches &c) { return c.whole >= count; }, stdout);
    // Stays a moment so that the sender hears, again, that it has it.
    if (catches.whole >= count)
        Sleep(1000);
    KesCastClose(h);
    if (catches.whole < count)
        return Failure(name, std::to_string(catches.whole) + " of " + std::to_string(count) + " objects came whole");
    return kExitOk;
}

// ---------------------------------------------------------------- streams

FILE *OpenStreamFile(const std::string &path, const char *mode)
{
    if (path == "-") {
        FILE *standard = mode[0] == 'r' ? stdin : stdout;
        _setmode(_fileno(standard), _O_BINARY);
        return standard;
    }
    return fopen(path.c_str(), mode);
}

int RunCastStream(const std::vector<std::string> &argv)
{
    const char *name = "cast-stream";
    Args args(argv, {"group", "from", "rate", "message", "every"}, {});
    if (!args.ok())
        return UsageError(name, args.error());
    if (args.positional().size() != 1)
        return UsageError(name, "expected one FILE, or - for standard input");
    Place place;
    long long messageBytes = 65536, every = 33;
    std::string error;
    if (!ReadPlace(args, &place, &error) ||
        (args.Has("message") && !ParseNumber(args.Get("message"), 1, 355600, &messageBytes, &error)) ||
        (args.Has("every") && !ParseNumber(args.Get("every"), 0, 60000, &every, &error)))
        return UsageError(name, error);
    FILE *in = OpenStreamFile(args.positional()[0], "rb");
    if (in == nullptr)
        return UsageError(name, "cannot read '" + args.positional()[0] + "'");

    Library library;
    HKESCAST h = nullptr;
    int result = library.ok() ? KesCastOpen(KES_CAST_STREAM_SENDER, &place.param, &h) : KES_CAST_E_NETWORK;
    if (result != KES_CAST_OK) {
        if (in != stdin)
            fclose(in);
        return Failure(name, "cannot open a stream on " + place.group + ": " + CastFailure(result));
    }
    std::vector<unsigned char> message(static_cast<size_t>(messageBytes));
    long long sent = 0;
    unsigned long long bytes = 0;
    size_t n;
    while ((n = fread(message.data(), 1, message.size(), in)) != 0) {
        while ((result = KesCastSendMessage(h, message.data(), static_cast<DWORD>(n))) == KES_CAST_E_BUSY)
            Sleep(10);  // the link has not taken the queue yet
        if (result != KES_CAST_OK)
            break;
        ++sent;
        bytes += n;
        Sleep(static_cast<DWORD>(every));
    }
    // The last messages stay repairable for a while.
    Sleep(2000);
    KesCastClose(h);
    if (in != stdin)
        fclose(in);
    fprintf(stderr, "sent %lld messages, %llu bytes, to %s\n", sent, bytes, place.group.c_str());
    return result == KES_CAST_OK ? kExitOk : Failure(name, CastFailure(result));
}

int RunCatchStream(const std::vector<std::string> &argv)
{
    const char *name = "catch-stream";
    Args args(argv, {"group", "from", "id", "count", "seconds", "idle"}, {});
    if (!args.ok())
        return UsageError(name, args.error());
    if (args.positional().size() != 1)
        return UsageError(name, "expected one FILE, or - for standard output");
    Place place;
    long long seconds = 0, count = 0, idle = 3;
    std::string error;
    if (!ReadPlace(args, &place, &error) || !ReadReceiverId(args, &place.param, &error) ||
        !ReadSeconds(args, 3600, &seconds, &error) ||
        (args.Has("count") && !ParseNumber(args.Get("count"), 1, 100000000, &count, &error)) ||
        (args.Has("idle") && !ParseNumber(args.Get("idle"), 1, 3600, &idle, &error)))
        return UsageError(name, error);
    Catches catches;
    catches.out = OpenStreamFile(args.positional()[0], "wb");
    if (catches.out == nullptr)
        return UsageError(name, "cannot write '" + args.positional()[0] + "'");
    place.param.pfnEvent = OnCatch;
    place.param.pUserData = &catches;

    Library library;
    HKESCAST h = nullptr;
    int result = library.ok() ? KesCastOpen(KES_CAST_STREAM_RECEIVER, &place.param, &h) : KES_CAST_E_NETWORK;
    if (result != KES_CAST_OK)
        return Failure(name, "cannot join the stream on " + place.group + ": " + CastFailure(result));
    fprintf(stderr, "waiting on %s for a stream\n", place.group.c_str());
    fflush(stderr);
    // Ends after --count messages, or once the stream has been quiet for --idle seconds.
    long long heard = -1;
    Stopwatch quiet;
    Follow(&catches, seconds, [&](const Catches &c) {
        const long long now = c.messages + c.skipped;
        if (now != heard) {
            heard = now;
            quiet = Stopwatch();
        }
        return (count != 0 && now >= count) || (now > 0 && quiet.Milliseconds() >= idle * 1000.0);
    }, stderr);
    KesCastClose(h);
    if (catches.out != stdout)
        fclose(catches.out);
    else
        fflush(stdout);
    fprintf(stderr, "%lld messages whole and in order, %lld skipped", catches.messages, catches.skipped);
    if (catches.teachers != 0)
        fprintf(stderr, "; %lld of them the teacher's", catches.teachers);
    fprintf(stderr, "\n");
    if (catches.writeFailed)
        return Failure(name, "the messages could not all be written");
    return catches.messages > 0 && catches.skipped == 0 ? kExitOk : kExitFailed;
}

}  // namespace

KESNET_COMMAND(cast, "cast",
               "FILE [--group GROUP:PORT] [--from LOCAL] [--rate MBIT] [--class CLASSFILE] [--expect ID]... [--seconds S]",
               "send a file to every receiver of a multicast group at once",
               "Sends FILE once to the multicast group (KesCastOpen(KES_CAST_SENDER),\n"
               "KesCastSendFile): every `kesnet catch` (or kesnet-cast catch on Linux)\n"
               "on the group gets it whole. Receivers that miss blocks ask for them, and\n"
               "the sender repairs with parity blocks by multicast. A terminal shows the\n"
               "class's progress and the receivers furthest behind; at the end a table\n"
               "says, for each receiver, whether it has the file, and a line the time,\n"
               "rate and repair. With --class, the receivers are the machines of the class\n"
               "list (each `kesnet catch --from ADDRESS` is known by its address); one that\n"
               "never comes is absent. Without it, whoever announces itself counts.\n",
               {{"FILE", "the file to send, of any size"}},
               {{"--group GROUP:PORT", "the multicast group (default 239.77.1.1:47200)"},
                {"--from LOCAL", "the local interface to send through"},
                {"--rate MBIT", "the most megabits a second on the wire (default 93)"},
                {"--class CLASSFILE", "a class list, as rollcall reads it: the expected receivers"},
                {"--expect ID", "an expected receiver by its id (repeat it), as kesnet-cast takes it"},
                {"--seconds S", "give up after S seconds (default 3600)"}},
               "every receiver has the file",
               "a receiver is absent, was dropped or is still missing blocks, or the file\n"
               "could not be sent",
               RunCast, 50);

KESNET_COMMAND(catch_files, "catch", "FOLDER [--group GROUP:PORT] [--from LOCAL] [--id ID] [--count N] [--seconds S]",
               "receive files sent with kesnet cast into a folder",
               "Joins the multicast group (KesCastOpen(KES_CAST_RECEIVER)) and writes\n"
               "each whole file that a `kesnet cast` sends into FOLDER under its name\n"
               "(replacing a file of that name), showing the progress on a terminal. A\n"
               "file is written under a temporary name first and named only once whole.\n"
               "The receiver's id, by which the sender knows it, is --id, else the\n"
               "address of --from, else one at random.\n",
               {{"FOLDER", "where the files go (it must exist)"}},
               {{"--group GROUP:PORT", "the multicast group (default 239.77.1.1:47200)"},
                {"--from LOCAL", "the local interface to join on (and the id)"},
                {"--id ID", "this receiver's id, 1 to 4294967295"},
                {"--count N", "stop after N whole files (default 1)"},
                {"--seconds S", "give up after S seconds (default 3600)"}},
               "N files came whole",
               "fewer came before the time was up, or the group could not be joined",
               RunCatch, 51);

KESNET_COMMAND(cast_stream, "cast-stream",
               "FILE|- [--group GROUP:PORT] [--from LOCAL] [--rate MBIT] [--message BYTES] [--every MS]",
               "send a file or standard input as a live stream of messages",
               "Cuts FILE (or standard input) in messages of --message bytes and sends\n"
               "one every --every milliseconds as a live stream\n"
               "(KesCastOpen(KES_CAST_STREAM_SENDER), KesCastSendMessage): each receiver\n"
               "gets every message whole and in order, or is told it was skipped.\n",
               {{"FILE|-", "what to send; - reads standard input"}},
               {{"--group GROUP:PORT", "the multicast group (default 239.77.1.1:47200)"},
                {"--from LOCAL", "the local interface to send through"},
                {"--rate MBIT", "the most megabits a second on the wire (default 93)"},
                {"--message BYTES", "bytes a message, 1 to 355600 (default 65536)"},
                {"--every MS", "milliseconds between two messages (default 33)"}},
               "every message was sent",
               "the stream could not be opened, or a message not sent",
               RunCastStream, 52);

KESNET_COMMAND(catch_stream, "catch-stream",
               "FILE|- [--group GROUP:PORT] [--from LOCAL] [--id ID] [--count N] [--idle S] [--seconds S]",
               "receive a live stream into a file or standard output",
               "Joins a live stream (KesCastOpen(KES_CAST_STREAM_RECEIVER)) and writes\n"
               "each whole message, in order, to FILE (or standard output); a message\n"
               "that could not be repaired in time is skipped and said so on standard\n"
               "error. It starts at the message under way when it joins.\n",
               {{"FILE|-", "where the messages go; - writes standard output"}},
               {{"--group GROUP:PORT", "the multicast group (default 239.77.1.1:47200)"},
                {"--from LOCAL", "the local interface to join on"},
                {"--id ID", "this receiver's id"},
                {"--count N", "stop after N messages"},
                {"--idle S", "stop once the stream has been quiet S seconds (default 3)"},
                {"--seconds S", "give up after S seconds (default 3600)"}},
               "messages came, none skipped",
               "a message was skipped, none came, or they could not be written",
               RunCatchStream, 53);

}  // namespace tool
