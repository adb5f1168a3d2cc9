// The library's single-interface datagram listeners as receivers: a CKesListen
// of the host's own, and the process-wide one behind KesListen.
#include "agent/receiver.h"

namespace bench {
namespace {

tagParamListen ListenRecord(const Where &where, Tally *tally)
{
    tagParamListen param;
    param.dwLocalAddr = where.addrs[0];
    param.nPort = where.port;
    param.pfnReceive = Tally::OnReceive;
    param.pUserData = tally;
    return param;
}

class KesListenerReceiver : public Receiver {
public:
    bool Start(const Where &where, Tally *tally, std::string *why) override
    {
        tagParamListen param = ListenRecord(where, tally);
        if (m_listener.InitInstance(&param))
            return true;
        *why = "CKesListen::InitInstance failed";
        return false;
    }
    void Stop() override { m_listener.Release(); }

private:
    CKesListen m_listener;
};

class ProcessListenerReceiver : public Receiver {
public:
    bool Start(const Where &where, Tally *tally, std::string *why) override
    {
        if (KesListen(KES_MODE_UNICAST, Tally::OnReceive, where.port, 0, tally, where.addrs[0]))
            return true;
        *why = "KesListen failed";
        return false;
    }
    void Stop() override { KesStopListen(); }
};

}  // namespace

KESNET_BENCH_RECEIVER(ckeslisten, "CKesListen", "udp", 1, "raw-event-udp", KesListenerReceiver);
KESNET_BENCH_RECEIVER(keslisten, "KesListen", "udp", 1, "raw-event-udp", ProcessListenerReceiver);

}  // namespace bench
