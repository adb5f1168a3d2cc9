// The listen agent: runs one receiver at a time for the bench driver, which
// sends the traffic from native programs and reads the agent's answers. It
// reads one command per line on standard input and answers on standard output:
//   kinds                              "kind NAME PROTO MAXADDRS BASELINE" per
//                                      receiver kind ("-": none), then "end"
//   start KIND PORT ADDR[,ADDR...] [CLIENTS]
//                                      "ready", or "failed REASON"
//   tally                              "tally COUNT BYTES FIRST LAST" (seconds)
//   stop                               "stopped SECONDS" (how long Stop took)
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
        else if (command == "quit")
            break;
        else if (!command.empty())
            Answer("failed unknown command " + command);
    }
    agent.Stop();
    return 0;
}
