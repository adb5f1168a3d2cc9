// The library's TCP listeners as receivers, made by KesCreateObject and driven
// through their interfaces as hosts drive them.
#include "agent/receiver.h"

namespace bench {
namespace {

// Makes the object of the type code, starts it with the record, and releases
// and destroys it on Stop.
template <typename Object, typename Record, int Type>
class StreamListenerReceiver : public Receiver {
public:
    ~StreamListenerReceiver() override
    {
        if (m_object != nullptr)
            m_object->Delete();
    }

    bool Start(const Where &where, Tally *tally, std::string *why) override
    {
        m_object = static_cast<Object *>(KesCreateObject(Type));
        if (m_object == nullptr) {
            *why = "KesCreateObject(" + std::to_string(Type) + ") made no object";
            return false;
        }
        Record param = MakeRecord(where, tally);
        if (m_object->InitInstance(&param))
            return true;
        *why = "InitInstance failed";
        m_object->Delete();
        m_object = nullptr;
        return false;
    }

    void Stop() override
    {
        if (m_object == nullptr)
            return;
        m_object->Release();
        m_object->Delete();
        m_object = nullptr;
    }

private:
    static Record MakeRecord(const Where &where, Tally *tally);
    Object *m_object = nullptr;
};

template <>
tagParamListen StreamListenerReceiver<CTcpListenObject, tagParamListen, KES_OBJECT_TCPLISTEN>::MakeRecord(
    const Where &where, Tally *tally)
{
    tagParamListen param;
    param.dwLocalAddr = where.addrs[0];
    param.nPort = where.port;
    param.nBacklog = where.clients;  // also the number of clients served at once
    param.pfnReceive = Tally::OnReceive;
    param.pUserData = tally;
    return param;
}

template <>
tagParamListen3 StreamListenerReceiver<CTcpListen3Object, tagParamListen3, KES_OBJECT_TCPLISTEN3>::MakeRecord(
    const Where &where, Tally *tally)
{
    tagParamListen3 param;
    param.nPort = where.port;
    param.nCount = static_cast<int>(where.addrs.size());
    for (size_t i = 0; i < where.addrs.size(); i++)
        param.dwLocalAddr[i] = where.addrs[i];
    param.nBacklog = where.clients;
    param.pfnReceive = Tally::OnReceive;
    param.pUserData = tally;
    return param;
}

using TcpListenReceiver = StreamListenerReceiver<CTcpListenObject, tagParamListen, KES_OBJECT_TCPLISTEN>;
using TcpListen3Receiver = StreamListenerReceiver<CTcpListen3Object, tagParamListen3, KES_OBJECT_TCPLISTEN3>;

}  // namespace

KESNET_BENCH_RECEIVER(ctcplisten, "CTcpListen", "tcp", 1, "raw-tcp", TcpListenReceiver);
KESNET_BENCH_RECEIVER(ctcplisten3, "CTcpListen3", "tcp", 8, "raw-tcp", TcpListen3Receiver);

}  // namespace bench
