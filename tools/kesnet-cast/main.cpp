// kesnet-cast: the multicast transfer on Linux. One sender gives a file to
// every receiver of a group at once:
//   kesnet-cast send FILE --group GROUP:PORT [--from LOCAL] [--rate MBIT] [--expect ID]... [--seconds S]
//   kesnet-cast receive FILE --group GROUP:PORT [--from LOCAL] [--id ID] [--seconds S]
// Exit codes: 0 done (send: every receiver has it; receive: the file is
// whole), 1 failed, 2 bad arguments.
#include <arpa/inet.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include <random>
#include <string>
#include <vector>

#include "cast/cast_receiver.h"
#include "cast/cast_sender.h"
#include "posix/cast_driver.h"

namespace {

const int kExitOk = 0, kExitFailed = 1, kExitUsage = 2;

struct Common {
    std::string file;
    std::string group;
    std::string from;
    double seconds = 600;
    uint32_t groupAddr = 0, local = 0;
    uint16_t port = 0;
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

uint32_t RandomId()
{
    std::random_device device;
    return device() | 1;
}

int Send(const Common &c, double rateMbit, const std::vector<uint32_t> &expect)
{
    int fd = open(c.file.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        fprintf(stderr, "kesnet-cast send: cannot read '%s'\n", c.file.c_str());
        return kExitFailed;
    }
    posixcast::GroupSocket socket;
    std::string error;
    if (!socket.Open(c.groupAddr, c.port, c.local, &error)) {
        fprintf(stderr, "kesnet-cast send: %s\n", error.c_str());
        return kExitFailed;
    }
    cast::SenderConfig config;
    config.session = RandomId();
    config.expected = expect;
    if (rateMbit > 0) {
        config.maxRate = rateMbit * 1e6 / 8;
        config.minRate = std::min(config.minRate, config.maxRate);
    }
    cast::CastSender sender(config);
    posixcast::FileSource source(fd);
    cast::Micros start = posixcast::Now();
    if (!sender.Start(1, static_cast<uint64_t>(st.st_size), &source, start)) {
        fprintf(stderr, "kesnet-cast send: '%s' cannot be sent (empty, or too large)\n", c.file.c_str());
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

int Receive(const Common &c, uint32_t id)
{
    int fd = open(c.file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        fprintf(stderr, "kesnet-cast receive: cannot write '%s'\n", c.file.c_str());
        return kExitFailed;
    }
    posixcast::GroupSocket socket;
    std::string error;
    if (!socket.Open(c.groupAddr, c.port, c.local, &error)) {
        fprintf(stderr, "kesnet-cast receive: %s\n", error.c_str());
        return kExitFailed;
    }
    posixcast::FileSink sink(fd);
    cast::ReceiverConfig config;
    config.id = id != 0 ? id : RandomId();
    config.seed = RandomId();
    cast::CastReceiver receiver(config, &sink);
    // Once whole, it stays while the sender still announces, to tell it so.
    posixcast::Machine machine = posixcast::MachineOf(
        receiver, [&](cast::Micros now, cast::Micros last) { return receiver.Complete() && now > last + 1000000; });
    printf("receiver %u waiting on %s\n", config.id, c.group.c_str());
    fflush(stdout);
    cast::Micros start = posixcast::Now();
    posixcast::RunUntilDone(socket, machine, start + static_cast<cast::Micros>(c.seconds * 1e6));
    bool whole = receiver.Complete() && sink.complete();
    printf("%s: %llu bytes%s\n", c.file.c_str(), static_cast<unsigned long long>(receiver.Shape().size),
           whole ? ", whole" : ", not whole");
    close(fd);
    return whole ? kExitOk : kExitFailed;
}

}  // namespace

int main(int argc, char **argv)
{
    CLI::App app("kesnet-cast: one file to every receiver of a multicast group at once");
    app.require_subcommand(1);
    Common common;
    double rate = 0;
    std::vector<uint32_t> expect;
    uint32_t id = 0;
    auto addCommon = [&](CLI::App *command, const char *file) {
        command->add_option("FILE", common.file, file)->required();
        command->add_option("--group", common.group, "GROUP:PORT, a multicast group")->required();
        command->add_option("--from", common.from, "the local interface's address");
        command->add_option("--seconds", common.seconds, "give up after this long (default 600)");
    };
    CLI::App *send = app.add_subcommand("send", "send FILE to the group");
    addCommon(send, "the file to send");
    send->add_option("--rate", rate, "the most Mbit/s to send at (default 93)");
    send->add_option("--expect", expect, "a receiver id of the class (repeat it); the others are absent");
    CLI::App *receive = app.add_subcommand("receive", "receive into FILE");
    addCommon(receive, "the file to write");
    receive->add_option("--id", id, "this receiver's id (default: at random)");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        int code = app.exit(e);
        return code == 0 ? kExitOk : kExitUsage;
    }
    std::string error;
    if (!Resolve(&common, &error)) {
        fprintf(stderr, "kesnet-cast: %s\n", error.c_str());
        return kExitUsage;
    }
    return send->parsed() ? Send(common, rate, expect) : Receive(common, id);
}
