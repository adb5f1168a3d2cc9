// The listen agent: runs one receiver at a time for the bench driver, which
// sends the traffic from native programs and reads the agent's answers. It
// reads one command per line on standard input and answers on standard output:
//   kinds                              "kind NAME PROTO MAXADDRS BASELINE" per
//                                      receiver kind ("-": none), then "end"
//   start KIND PORT ADDR[,ADDR...] [CLIENTS]
//                                      "ready", or "failed REASON"
//   tally                              "tally COUNT BYTES FIRST LAST" (seconds)
//   stop                               "stopped SECONDS" (how long Stop took)
//   key HEX                            gives the process that class key (64 hex
//                                      digits), or none with "-": "keyed"
//                                      or "failed REASON"
//   refusals                           "refusals COUNT": the datagrams the
//                                      process refused since the last key
//   quit
#include <stdio.h>
#include <string.h>

#include <memory>
#include <sstream>
#include <string>

#include "agent/receiver.h"
#include "support/bench.h"

namespace {

void Answer(const std::string &line)
{
    printf("%s\n", line.c_str());
    fflush(stdout);
}

bench::Where ParseWhere(std::istringstream &in)
{
    bench::Where where;
    std::string addrs;
    in >> where.port >> addrs;
    std::istringstream list(addrs);
    std::string one;
    while (std::getline(list, one, ','))
        where.addrs.push_back(bench::Addr(one.c_str()));
    int clients = 0;
    if (in >> clients)
        where.clients = clients;
    return where;
}

const bench::ReceiverKind *FindKind(const std::string &name)
{
    for (const bench::ReceiverKind *k = bench::FirstReceiverKind(); k != nullptr; k = k->next)
        if (name == k->name)
            return k;
    return nullptr;
}

// 64 hex digits into the 32 bytes of a class key.
bool ParseClassKey(const std::string &hex, BYTE key[32])
{
    if (hex.size() != 64)
        return false;
    for (size_t i = 0; i < 32; i++) {
        unsigned int byte = 0;
        if (sscanf(hex.c_str() + 2 * i, "%2x", &byte) != 1)
            return false;
        key[i] = static_cast<BYTE>(byte);
    }
    return true;
}

// Clears the process's keys and counters, then sets the class key if given.
std::string SetKey(const std::string &hex)
{
    BYTE key[32];
    if (KesAuthClear() != KES_AUTH_OK)
        return "failed KesAuthClear";
    if (hex == "-")
        return "keyed";
    if (!ParseClassKey(hex, key))
        return "failed not a class key: " + hex;
    return KesAuthSetKey(KES_KEY_CLASS, key, sizeof key) == KES_AUTH_OK ? "keyed" : "failed KesAuthSetKey";
}

std::string Refusals()
{
    KES_AUTH_COUNTERS c = {};
    c.dwSize = sizeof c;
    if (KesAuthGetCounters(&c) != KES_AUTH_OK)
        return "failed KesAuthGetCounters";
    return "refusals " + std::to_string(c.dwUnknownSender + c.dwBadTag + c.dwReplay + c.dwNoSignature);
}

class Agent {
public:
    void Kinds()
    {
        for (const bench::ReceiverKind *k = bench::FirstReceiverKind(); k != nullptr; k = k->next)
            Answer(std::string("kind ") + k->name + " " + k->proto + " " + std::to_string(k->maxAddrs) + " " +
                   (*k->baseline ? k->baseline : "-"));
        Answer("end");
    }

    void Start(std::istringstream &in)
    {
        std::string name;
        in >> name;
        bench::Where where = ParseWhere(in);
        const bench::ReceiverKind *kind = FindKind(name);
        std::string why;
        if (m_receiver)
            why = "a receiver is running already";
        else if (kind == nullptr)
            why = "no receiver kind " + name;
        else if (where.addrs.empty() || static_cast<int>(where.addrs.size()) > kind->maxAddrs)
            why = name + " serves 1 to " + std::to_string(kind->maxAddrs) + " addresses";
        if (why.empty()) {
            m_tally.Reset();
            m_receiver = kind->make();
            if (m_receiver->Start(where, &m_tally, &why)) {
                Answer("ready");
                return;
            }
            m_receiver.reset();
        }
        Answer("failed " + why);
    }

    void Tally()
    {
        char line[160];
        snprintf(line, sizeof line, "tally %lld %lld %.6f %.6f", m_tally.Count(), m_tally.Bytes(), m_tally.First(),
                 m_tally.Last());
        Answer(line);
    }

    // Stops the running receiver, if any; how long its Stop took.
    double Stop()
    {
        if (!m_receiver)
            return 0;
        double start = bench::Seconds();
        m_receiver->Stop();
        double took = bench::Seconds() - start;
        m_receiver.reset();
        return took;
    }

private:
    bench::Tally m_tally;
    std::unique_ptr<bench::Receiver> m_receiver;
};

}  // namespace

int main()
{
    bench::Library library;
    Agent agent;
    char buffer[1024];
    while (fgets(buffer, sizeof buffer, stdin) != nullptr) {
        std::istringstream in(buffer);
        std::string command;
        in >> command;
        if (command == "kinds")
            agent.Kinds();
        else if (command == "start")
            agent.Start(in);
        else if (command == "tally")
            agent.Tally();
        else if (command == "stop")
            Answer("stopped " + std::to_string(agent.Stop()));
        else if (command == "key") {
            std::string hex;
            in >> hex;
            Answer(SetKey(hex));
        } else if (command == "refusals")
            Answer(Refusals());
        else if (command == "quit")
            break;
        else if (!command.empty())
            Answer("failed unknown command " + command);
    }
    agent.Stop();
    return 0;
}
