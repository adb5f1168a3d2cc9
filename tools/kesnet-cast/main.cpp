// kesnet-cast: the multicast transfers on Linux, the same commands as the
// kesnet tool's. One sender gives a file to every receiver of a group at
// once; or sends a live stream of messages:
//   kesnet-cast cast FILE --group GROUP:PORT [--from LOCAL] [--rate MBIT] [--expect ID]... [--seconds S]
//   kesnet-cast catch FILE|FOLDER --group GROUP:PORT [--from LOCAL] [--id ID] [--seconds S]
//   kesnet-cast cast-stream FILE|- --group GROUP:PORT [--from LOCAL] [--rate MBIT] [--message BYTES] [--every MS]
//   kesnet-cast catch-stream FILE|- --group GROUP:PORT [--from LOCAL] [--id ID] [--count N] [--idle S] [--seconds S]
// (send and receive are other names of cast and catch). A receiver's id is
// --id, else the address of --from (as the DLL's receivers), else random.
// Every command takes --key FILE, a key file of `kesnet key new`: with the
// class key every packet sent carries its tag and every packet received
// without a valid one is refused, counted and shown when the command ends.
// With the teacher's private key a cast goes attested (its start and its
// groups' digests signed); with the teacher's public key a catch takes an
// attested file only with the bytes the teacher signed, and with
// --teacher-only nothing but the teacher's files; the same for a stream's
// messages.
// Exit codes: 0 done (cast: every receiver has it; catch: the file is whole;
// catch-stream: messages came, none skipped), 1 failed, 2 bad arguments.
#include <arpa/inet.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "auth/cast_attestor.h"
#include "auth/keys.h"
#include "auth/trailer.h"
#include "cast/cast_receiver.h"
#include "cast/cast_sender.h"
#include "cast/cast_stream.h"
#include "posix/cast_driver.h"

namespace {

const int kExitOk = 0, kExitFailed = 1, kExitUsage = 2;

struct Common {
    std::string file;
    std::string group;
    std::string from;
    double seconds = 600;
    std::vector<std::string> keyFiles;
    bool teacherOnly = false;
    uint32_t groupAddr = 0, local = 0;
    uint16_t port = 0;
    std::shared_ptr<const auth::Settings> settings;  // null: no class key given
    auth::Counters *refusals = nullptr;
};

bool ParseAddress(const std::string &text, uint32_t *addr)
{
    in_addr a;
    if (inet_pton(AF_INET, text.c_str(), &a) != 1)
        return false;
    *addr = a.s_addr;
    return true;
}

// "GROUP:PORT", and the interface.
bool Resolve(Common *c, std::string *error)
{
    size_t colon = c->group.rfind(':');
    int port = colon == std::string::npos ? 0 : atoi(c->group.c_str() + colon + 1);
    if (colon == std::string::npos || port < 1 || port > 65535 || !ParseAddress(c->group.substr(0, colon), &c->groupAddr) ||
        (ntohl(c->groupAddr) >> 28) != 0xE) {
        *error = "'" + c->group + "' is not GROUP:PORT with a multicast group";
        return false;
    }
    c->port = static_cast<uint16_t>(port);
    if (!c->from.empty() && !ParseAddress(c->from, &c->local)) {
        *error = "'" + c->from + "' is not an IPv4 address";
        return false;
    }
    return true;
}

// Key bytes read from a file are wiped once used, where no compiler can leave
// them out.
void Wipe(void *bytes, size_t size)
{
    volatile unsigned char *p = static_cast<unsigned char *>(bytes);
    for (size_t i = 0; i < size; ++i)
        p[i] = 0;
}

// The settings of the --key files: the class key's and the teacher's (the
// last of each kind given).
bool LoadKeys(Common *c, std::string *error)
{
    auth::KeyFile classKey, teachers;
    bool haveClass = false, haveTeachers = false;
    for (const std::string &path : c->keyFiles) {
        auth::KeyFile key;
        if (!auth::ReadKeyFile(path, &key, error))
            return false;
        bool isClass = key.kind == auth::KeyKind::kClass;
        (isClass ? classKey : teachers) = key;
        (isClass ? haveClass : haveTeachers) = true;
        Wipe(&key, sizeof key);
    }
    if (c->keyFiles.empty() && !c->teacherOnly)
        return true;
    if (!haveClass) {
        *error = "--key: no class key file given (a teacher's key alone does not seal a cast)";
        return false;
    }
    if (c->teacherOnly && !haveTeachers) {
        *error = "--teacher-only needs the teacher's public key (--key FILE)";
        return false;
    }
    std::shared_ptr<auth::Settings> settings = auth::Settings::ForClassKey(classKey.classKey);
    if (settings != nullptr && haveTeachers) {
        settings->haveTeacherPublic = true;
        settings->teacherPublic = teachers.teacherPublic;
        settings->haveTeacherPrivate = teachers.kind == auth::KeyKind::kTeacherPrivate;
        settings->teacherPrivate = teachers.teacherPrivate;
    }
    if (settings != nullptr)
        settings->teacherOnly = c->teacherOnly;
    Wipe(&classKey, sizeof classKey);
    Wipe(&teachers, sizeof teachers);
    c->settings = settings;
    if (c->settings == nullptr) {
        *error = "--key: the system's cryptography failed";
        return false;
    }
    return true;
}

// The teacher's signature on the casts, by the --key files.
auth::CastAttestor AttestorOf(const Common &c)
{
    std::shared_ptr<const auth::Settings> settings = c.settings;
    return auth::CastAttestor([settings] { return settings; }, posixcast::WallNow, c.refusals);
}

// What was refused, on stderr: nothing when nothing was.
void ReportRefusals(const auth::Counters &refusals)
{
    std::string line = refusals.Describe();
    if (!line.empty())
        fprintf(stderr, "kesnet-cast: refused: %s\n", line.c_str());
}

const char *StateName(cast::ReceiverState s)
{
    switch (s) {
    case cast::ReceiverState::kComplete:
        return "has it";
    case cast::ReceiverState::kDropped:
        return "dropped";
    case cast::ReceiverState::kAbsent:
        return "absent";
    default:
        return "receiving";
    }
}

// A sender that the system keeps waiting a few milliseconds (a busy machine)
// may make up for them: its bucket holds 8 ms of its rate, where the
// classroom's link queues that much.
size_t BurstFor(double rate, size_t least)
{
    return std::max(least, static_cast<size_t>(rate * 0.008));
}

uint32_t RandomId()
{
    std::random_device device;
    return device() | 1;
}

// Opens the group's socket, or says why not (as kesnet-cast COMMAND).
bool JoinGroup(const Common &c, bool hearOwn, const char *command, posixcast::GroupSocket *socket)
{
    std::string error;
    if (socket->Open(c.groupAddr, c.port, c.local, hearOwn, &error) && socket->Key(c.settings, c.refusals, &error))
        return true;
    fprintf(stderr, "kesnet-cast %s: %s\n", command, error.c_str());
    return false;
}

int Send(const Common &c, double rateMbit, const std::vector<uint32_t> &expect)
{
    int fd = open(c.file.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        fprintf(stderr, "kesnet-cast cast: cannot read '%s'\n", c.file.c_str());
        return kExitFailed;
    }
    posixcast::GroupSocket socket;
    if (!JoinGroup(c, /*hearOwn=*/false, "cast", &socket)) {
        return kExitFailed;
    }
    cast::SenderConfig config;
    config.session = RandomId();
    config.expected = expect;
    // Receivers into a folder name the file after it (when the name is one
    // safe in any folder).
    const std::string base = c.file.substr(c.file.find_last_of('/') + 1);
    if (cast::ValidName(base))
        config.name = base;
    if (rateMbit > 0) {
        config.maxRate = rateMbit * 1e6 / 8;
        config.minRate = std::min(config.minRate, config.maxRate);
    }
    config.burstBytes = BurstFor(config.maxRate, config.burstBytes);
    auth::CastAttestor attestor = AttestorOf(c);
    config.attestor = &attestor;
    cast::CastSender sender(config);
    posixcast::FileSource source(fd);
    cast::Micros start = posixcast::Now();
    if (!sender.Start(1, static_cast<uint64_t>(st.st_size), &source, start)) {
        fprintf(stderr, "kesnet-cast cast: '%s' cannot be sent (empty, or too large)\n", c.file.c_str());
        return kExitFailed;
    }
    posixcast::Machine machine =
        posixcast::MachineOf(sender, [&](cast::Micros, cast::Micros) { return sender.Finished(); });
    bool finished = posixcast::RunUntilDone(socket, machine, start + static_cast<cast::Micros>(c.seconds * 1e6));
    double took = (posixcast::Now() - start) / 1e6;
    bool everyone = finished && !sender.Receivers().empty();
    printf("RECEIVER    STATE       WHY\n");
    for (const auto &entry : sender.Receivers()) {
        const cast::ReceiverStatus &r = entry.second;
        printf("%-10u  %-10s  %s\n", r.id, StateName(r.state), r.why);
        everyone &= r.state == cast::ReceiverState::kComplete;
    }
    const cast::SenderStats &s = sender.Stats();
    printf("%llu bytes in %.2f s; %llu data and %llu repair packets (%.1f %%); %s\n",
           static_cast<unsigned long long>(st.st_size), took, static_cast<unsigned long long>(s.dataPackets),
           static_cast<unsigned long long>(s.repairPackets),
           s.dataPackets ? 100.0 * s.repairPackets / s.dataPackets : 0.0,
           everyone ? "every receiver has it" : finished ? "not every receiver has it" : "time is up");
    close(fd);
    return everyone ? kExitOk : kExitFailed;
}

// The id a receiver goes by: --id, else its interface's address (so that a
// class list of addresses names it, as for the DLL's receivers), else random.
uint32_t ReceiverId(const Common &c, uint32_t id)
{
    return id != 0 ? id : c.local != 0 ? c.local : RandomId();
}

bool IsFolder(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Into the file, or into a file of the folder under the object's name, which
// it gets once whole (a temporary name until then).
int Receive(const Common &c, uint32_t id)
{
    const bool folder = IsFolder(c.file);
    const std::string path = folder ? c.file + "/.kesnet-cast-" + std::to_string(getpid()) + ".part" : c.file;
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        fprintf(stderr, "kesnet-cast catch: cannot write '%s'\n", path.c_str());
        return kExitFailed;
    }
    posixcast::GroupSocket socket;
    if (!JoinGroup(c, /*hearOwn=*/true, "catch", &socket)) {
        close(fd);
        return kExitFailed;
    }
    posixcast::FileSink sink(fd);
    cast::ReceiverConfig config;
    config.id = ReceiverId(c, id);
    config.seed = RandomId();
    auth::CastAttestor attestor = AttestorOf(c);
    config.attestor = &attestor;
    cast::CastReceiver receiver(config, &sink);
    // Once whole, it stays while the sender still announces, to tell it so.
    posixcast::Machine machine = posixcast::MachineOf(
        receiver, [&](cast::Micros now, cast::Micros last) { return receiver.Complete() && now > last + 1000000; });
    printf("receiver %u waiting on %s\n", config.id, c.group.c_str());
    fflush(stdout);
    cast::Micros start = posixcast::Now();
    posixcast::RunUntilDone(socket, machine, start + static_cast<cast::Micros>(c.seconds * 1e6));
    bool whole = receiver.Complete() && sink.complete();
    close(fd);
    std::string kept = path;
    if (folder) {
        char fallback[48];
        snprintf(fallback, sizeof fallback, "cast-%08x-%u", receiver.Session(), receiver.Object());
        kept = c.file + "/" + (receiver.Name().empty() ? std::string(fallback) : receiver.Name());
        if (!whole || rename(path.c_str(), kept.c_str()) != 0) {
            unlink(path.c_str());
            whole = false;
        }
    }
    printf("%s: %llu bytes%s%s\n", kept.c_str(), static_cast<unsigned long long>(receiver.Shape().size),
           whole ? ", whole" : ", not whole", whole && receiver.Teachers() ? ", the teacher's" : "");
    return whole ? kExitOk : kExitFailed;
}

struct StreamOptions {
    size_t message = 65536;
    double every = 33;  // milliseconds
    uint32_t id = 0;
    uint64_t count = 0;
    double idle = 3;
};

FILE *OpenStreamFile(const std::string &path, const char *mode)
{
    if (path == "-")
        return mode[0] == 'r' ? stdin : stdout;
    return fopen(path.c_str(), mode);
}

// Cuts the file in messages and sends one every so often; the last stay
// repairable for two seconds.
int CastStream(const Common &c, double rateMbit, const StreamOptions &o)
{
    FILE *in = OpenStreamFile(c.file, "rb");
    if (in == nullptr) {
        fprintf(stderr, "kesnet-cast cast-stream: cannot read '%s'\n", c.file.c_str());
        return kExitFailed;
    }
    posixcast::GroupSocket socket;
    if (!JoinGroup(c, /*hearOwn=*/false, "cast-stream", &socket)) {
        return kExitFailed;
    }
    cast::StreamSenderConfig config;
    config.session = RandomId();
    if (rateMbit > 0)
        config.maxRate = rateMbit * 1e6 / 8;
    config.burstBytes = BurstFor(config.maxRate, config.burstBytes);
    auth::CastAttestor attestor = AttestorOf(c);
    config.attestor = &attestor;
    cast::StreamSender sender(config);
    std::vector<uint8_t> message(std::min(o.message, sender.MaxMessage()));
    cast::Micros next = posixcast::Now(), endedAt = cast::kNever;
    uint64_t sent = 0, bytes = 0;
    bool failed = false;
    posixcast::Machine machine = posixcast::MachineOf(
        sender, [&](cast::Micros now, cast::Micros) { return endedAt != cast::kNever && now > endedAt + 2000000; });
    machine.poll = [&](cast::Micros now) {
        while (endedAt == cast::kNever && now >= next) {
            size_t n = fread(message.data(), 1, message.size(), in);
            if (n == 0) {
                endedAt = now;
                break;
            }
            if (!sender.Send(message.data(), n, now)) {
                fprintf(stderr, "kesnet-cast cast-stream: a message could not be signed\n");
                endedAt = now;
                failed = true;
                break;
            }
            ++sent;
            bytes += n;
            next += static_cast<cast::Micros>(o.every * 1000);
        }
        sender.Poll(now);
    };
    machine.nextWakeUp = [&] { return std::min(sender.NextWakeUp(), endedAt == cast::kNever ? next : cast::kNever); };
    posixcast::RunUntilDone(socket, machine, posixcast::Now() + static_cast<cast::Micros>(c.seconds * 1e6));
    if (in != stdin)
        fclose(in);
    fprintf(stderr, "sent %llu messages, %llu bytes, to %s\n", static_cast<unsigned long long>(sent),
            static_cast<unsigned long long>(bytes), c.group.c_str());
    return endedAt != cast::kNever && !failed ? kExitOk : kExitFailed;
}

// Writes each whole message in order; ends after --count messages or once
// the stream has been quiet for --idle seconds.
int CatchStream(const Common &c, const StreamOptions &o)
{
    FILE *out = OpenStreamFile(c.file, "wb");
    if (out == nullptr) {
        fprintf(stderr, "kesnet-cast catch-stream: cannot write '%s'\n", c.file.c_str());
        return kExitFailed;
    }
    posixcast::GroupSocket socket;
    if (!JoinGroup(c, /*hearOwn=*/true, "catch-stream", &socket)) {
        return kExitFailed;
    }
    cast::StreamReceiverConfig config;
    config.id = ReceiverId(c, o.id);
    config.seed = RandomId();
    auth::CastAttestor attestor = AttestorOf(c);
    config.attestor = &attestor;
    cast::StreamReceiver receiver(config);
    uint64_t delivered = 0, skipped = 0, teachers = 0;
    bool writeFailed = false;
    cast::Micros lastMessage = cast::kNever;
    auto hand = [&](cast::Micros now) {
        for (const cast::StreamEvent &e : receiver.TakeEvents()) {
            lastMessage = now;
            if (e.kind == cast::StreamEvent::kSkipped) {
                ++skipped;
                fprintf(stderr, "message %u skipped: it could not be repaired in time\n", e.seq);
            } else {
                ++delivered;
                teachers += e.teachers;
                writeFailed |= fwrite(e.bytes.data(), 1, e.bytes.size(), out) != e.bytes.size();
            }
        }
    };
    posixcast::Machine machine = posixcast::MachineOf(receiver, [&](cast::Micros now, cast::Micros) {
        return (o.count != 0 && delivered + skipped >= o.count) ||
               (lastMessage != cast::kNever && now > lastMessage + static_cast<cast::Micros>(o.idle * 1e6));
    });
    machine.onPacket = [&](const uint8_t *bytes, size_t n, cast::Micros now) {
        receiver.OnPacket(bytes, n, now);
        hand(now);
    };
    machine.poll = [&](cast::Micros now) {
        receiver.Poll(now);
        hand(now);
    };
    fprintf(stderr, "receiver %u waiting on %s for a stream\n", config.id, c.group.c_str());
    posixcast::RunUntilDone(socket, machine, posixcast::Now() + static_cast<cast::Micros>(c.seconds * 1e6));
    if (out != stdout)
        writeFailed |= fclose(out) != 0;
    else
        fflush(out);
    fprintf(stderr, "%llu messages whole and in order, %llu skipped", static_cast<unsigned long long>(delivered),
            static_cast<unsigned long long>(skipped));
    if (teachers != 0)
        fprintf(stderr, "; %llu of them the teacher's", static_cast<unsigned long long>(teachers));
    fprintf(stderr, "\n");
    return delivered > 0 && skipped == 0 && !writeFailed ? kExitOk : kExitFailed;
}

}  // namespace

int main(int argc, char **argv)
{
    CLI::App app("kesnet-cast: files and live streams to every receiver of a multicast group at once");
    app.require_subcommand(1);
    Common common;
    double rate = 0;
    std::vector<uint32_t> expect;
    uint32_t id = 0;
    StreamOptions stream;
    auto addCommon = [&](CLI::App *command, const char *file) {
        command->add_option("FILE", common.file, file)->required();
        command->add_option("--group", common.group, "GROUP:PORT, a multicast group")->required();
        command->add_option("--from", common.from, "the local interface's address");
        command->add_option("--seconds", common.seconds, "give up after this long (default 600)");
        command->add_option("--key", common.keyFiles,
                            "a key file of `kesnet key new` (repeat it): the class key seals every packet; "
                            "the teacher's private key attests a cast, its public key checks one")
            ->allow_extra_args(false);
    };
    CLI::App *send = app.add_subcommand("cast", "send FILE to the group")->alias("send");
    addCommon(send, "the file to send");
    send->add_option("--rate", rate, "the most Mbit/s to send at (default 93)");
    send->add_option("--expect", expect, "a receiver id of the class (repeat it); the others are absent");
    CLI::App *receive = app.add_subcommand("catch", "receive into FILE, or into FOLDER under the file's name")->alias("receive");
    addCommon(receive, "the file to write, or a folder");
    receive->add_flag("--teacher-only", common.teacherOnly, "take only files the teacher attested");
    receive->add_option("--id", id, "this receiver's id (default: the address of --from, else at random)");
    CLI::App *castStream = app.add_subcommand("cast-stream", "send FILE (- for standard input) as a live stream");
    addCommon(castStream, "what to send, - for standard input");
    castStream->add_option("--rate", rate, "the most Mbit/s to send at (default 93)");
    castStream->add_option("--message", stream.message, "bytes a message (default 65536, at most 355600)")
        ->check(CLI::Range(1, 355600));
    castStream->add_option("--every", stream.every, "milliseconds between two messages (default 33)");
    CLI::App *catchStream = app.add_subcommand("catch-stream", "write a live stream's messages to FILE (- for standard output)");
    addCommon(catchStream, "where the messages go, - for standard output");
    catchStream->add_option("--id", stream.id, "this receiver's id");
    catchStream->add_flag("--teacher-only", common.teacherOnly, "take only messages the teacher attested");
    catchStream->add_option("--count", stream.count, "stop after this many messages");
    catchStream->add_option("--idle", stream.idle, "stop once the stream has been quiet this many seconds (default 3)");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        int code = app.exit(e);
        return code == 0 ? kExitOk : kExitUsage;
    }
    std::string error;
    if (!Resolve(&common, &error) || !LoadKeys(&common, &error)) {
        fprintf(stderr, "kesnet-cast: %s\n", error.c_str());
        return kExitUsage;
    }
    auth::Counters refusals;
    common.refusals = &refusals;
    int result = send->parsed()        ? Send(common, rate, expect)
                 : receive->parsed()    ? Receive(common, id)
                 : castStream->parsed() ? CastStream(common, rate, stream)
                                        : CatchStream(common, stream);
    if (common.settings != nullptr)
        ReportRefusals(refusals);
    return result;
}
