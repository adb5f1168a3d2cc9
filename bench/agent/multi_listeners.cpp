// The multi-interface datagram listener as a receiver: one CKesListen3 with a
// receive thread per address.
#include "agent/receiver.h"

namespace bench {
namespace {

class MultiListenerReceiver : public Receiver {
public:
    bool Start(const Where &where, Tally *tally, std::string *why) override
    {
        tagParamListen3 param;
        param.nPort = where.port;
        param.nCount = static_cast<int>(where.addrs.size());
        for (size_t i = 0; i < where.addrs.size(); i++)
            param.dwLocalAddr[i] = where.addrs[i];
        param.pfnReceive = Tally::OnReceive;
        param.pUserData = tally;
        if (m_listener.InitInstance(&param))
            return true;
        *why = "CKesListen3::InitInstance failed";
        return false;
    }
    void Stop() override { m_listener.Release(); }

private:
    CKesListen3 m_listener;
};

}  // namespace

KESNET_BENCH_RECEIVER(ckeslisten3, "CKesListen3", "udp", 8, "raw-event-udp", MultiListenerReceiver);

}  // namespace bench
