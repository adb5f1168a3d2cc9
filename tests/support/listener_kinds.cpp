#include "listener_kinds.h"

#include <string.h>

#include <algorithm>

#include "datagram/udp_socket.h"
#include "new_threads.h"
#include "stream/tcp_listen.h"
#include "stream/tcp_listen3.h"
#include "stream_support.h"

namespace kt {

namespace {

const BYTE kFreed = 0xDD;

// Memory the host gives a datagram listener: its own block, filled with the
// pattern once the object in it is destroyed.
template <typename T>
class HostBlock {
public:
    HostBlock() : m_bytes(sizeof(T)) { m_object = new (m_bytes.data()) T; }
    T *get() { return m_object; }
    void Destroy()
    {
        if (m_object == nullptr)
            return;
        m_object->~T();
        m_object = nullptr;
        memset(m_bytes.data(), kFreed, m_bytes.size());
    }
    bool Untouched() const
    {
        return m_object == nullptr && std::all_of(m_bytes.begin(), m_bytes.end(), [](BYTE b) { return b == kFreed; });
    }

private:
    std::vector<BYTE> m_bytes;
    T *m_object;
};

class DatagramListener : public RunningListener {
public:
    bool Feed(const std::string &bytes) override
    {
        return m_sender.SendTo(bytes.data(), static_cast<int>(bytes.size()), Loopback(), m_port);
    }
    HANDLE FirstThread() override { return DuplicateThread(m_thread); }
    bool Closed() override { return UdpPortFree(0, m_port); }

protected:
    RawUdp m_sender;
    int m_port = 0;
    HANDLE m_thread = nullptr;  // the listener's own handle, valid until Release
};

class SingleListener : public DatagramListener {
public:
    static std::unique_ptr<RunningListener> Start(ReceiveProc proc, void *pUserData, DWORD dwStopTimeout)
    {
        std::unique_ptr<SingleListener> l(new SingleListener);
        tagParamListen record;
        record.dwLocalAddr = Loopback();
        record.bEcho = TRUE;
        record.pfnReceive = proc;
        record.pUserData = pUserData;
        record.dwStopTimeout = dwStopTimeout;
        if (l->m_block.get()->InitInstance(&record) != 1)
            return nullptr;
        l->m_port = BoundPort(l->m_block.get()->m_pSocket->GetSocket());
        l->m_thread = l->m_block.get()->m_hThread;
        return std::unique_ptr<RunningListener>(l.release());
    }
    ~SingleListener() override
    {
        if (m_block.get() != nullptr)
            m_block.get()->Release();
        m_block.Destroy();
    }
    void Release() override { m_block.get()->Release(); }
    void Destroy() override { m_block.Destroy(); }
    bool MemoryUntouched() const override { return m_block.Untouched(); }

private:
    HostBlock<CKesListen> m_block;
};

class MultiListener : public DatagramListener {
public:
    // Two interfaces: the datagrams go to the first.
    static std::unique_ptr<RunningListener> Start(ReceiveProc proc, void *pUserData, DWORD dwStopTimeout)
    {
        std::unique_ptr<MultiListener> l(new MultiListener);
        tagParamListen3 record;
        record.nPort = FreeUdpPort();
        record.dwLocalAddr[0] = Loopback();
        record.dwLocalAddr[1] = Addr("127.0.0.2");
        record.nCount = 2;
        record.pfnReceive = proc;
        record.pUserData = pUserData;
        record.dwStopTimeout = dwStopTimeout;
        if (l->m_block.get()->InitInstance(&record) != 1)
            return nullptr;
        l->m_port = record.nPort;
        l->m_thread = l->m_block.get()->m_hThread[0];
        l->m_sibling = l->m_block.get()->m_hThread[1];
        return std::unique_ptr<RunningListener>(l.release());
    }
    ~MultiListener() override
    {
        if (m_block.get() != nullptr)
            m_block.get()->Release();
        m_block.Destroy();
    }
    HANDLE SiblingThread() override { return DuplicateThread(m_sibling); }
    void Release() override { m_block.get()->Release(); }
    void Destroy() override { m_block.Destroy(); }
    bool MemoryUntouched() const override { return m_block.Untouched(); }

private:
    HostBlock<CKesListen3> m_block;
    HANDLE m_sibling = nullptr;
};

// The listener behind KesListen, which the library owns.
class ProcessWideListener : public DatagramListener {
public:
    static std::unique_ptr<RunningListener> Start(ReceiveProc proc, void *pUserData, DWORD)
    {
        std::unique_ptr<ProcessWideListener> l(new ProcessWideListener);
        l->m_port = FreeUdpPort();
        NewThreads threads;
        if (!KesListen(KES_MODE_UNICAST, proc, l->m_port, 0, pUserData, Loopback()))
            return nullptr;
        l->m_running = true;
        l->m_thread = threads.OnlyOne();
        return std::unique_ptr<RunningListener>(l.release());
    }
    ~ProcessWideListener() override
    {
        Release();
        if (m_thread != nullptr)
            CloseHandle(m_thread);
    }
    void Release() override
    {
        if (m_running)
            KesStopListen();
        m_running = false;
    }
    void Destroy() override {}
    bool MemoryUntouched() const override { return true; }

private:
    bool m_running = false;
};

// The stream objects come from the factory, on the library's heap: after
// Delete, a block of the same heap and size likely takes their memory.
template <typename Object, typename Listener>
class StreamListener : public RunningListener {
public:
    ~StreamListener() override
    {
        DeleteStreamObject(m_object);  // releases a listener still started
        for (HANDLE h : {m_thread, m_sibling})
            if (h != nullptr)
                CloseHandle(h);
    }
    bool Feed(const std::string &bytes) override
    {
        std::unique_ptr<RawTcp> client(new RawTcp);
        bool sent = client->Connect(Loopback(), m_port) && client->Send(bytes);
        m_clients.push_back(std::move(client));
        return sent;
    }
    HANDLE FirstThread() override { return DuplicateThread(m_thread); }
    HANDLE SiblingThread() override { return m_sibling != nullptr ? DuplicateThread(m_sibling) : nullptr; }
    void Release() override { m_object->Release(); }
    void Destroy() override
    {
        DeleteStreamObject(m_object);
        m_object = nullptr;
        m_reused.reset(new ReusedBlock<Listener>);
    }
    bool MemoryUntouched() const override { return m_object == nullptr && m_reused && m_reused->Untouched(); }
    bool Closed() override { return ConnectRefused(Loopback(), m_port); }

protected:
    Object *m_object = nullptr;
    int m_port = 0;
    HANDLE m_thread = nullptr;   // duplicates, closed by the destructor
    HANDLE m_sibling = nullptr;
    std::vector<std::unique_ptr<RawTcp>> m_clients;
    std::unique_ptr<ReusedBlock<Listener>> m_reused;
};

class OneAddressStreamListener : public StreamListener<CTcpListenObject, CTcpListen> {
public:
    static std::unique_ptr<RunningListener> Start(ReceiveProc proc, void *pUserData, DWORD dwStopTimeout)
    {
        std::unique_ptr<OneAddressStreamListener> l(new OneAddressStreamListener);
        CTcpListen *listener = static_cast<CTcpListen *>(KesCreateObject(KES_OBJECT_TCPLISTEN));
        l->m_object = listener;
        tagParamListen record;
        record.dwLocalAddr = Loopback();
        record.pfnReceive = proc;
        record.pUserData = pUserData;
        record.dwStopTimeout = dwStopTimeout;
        if (listener->InitInstance(&record) != 1)
            return nullptr;
        l->m_port = BoundPort(listener->m_server.m_sListen);
        l->m_thread = DuplicateThread(listener->m_server.m_pThread->ThreadHandle());
        return std::unique_ptr<RunningListener>(l.release());
    }
};

class MultiAddressStreamListener : public StreamListener<CTcpListen3Object, CTcpListen3> {
public:
    // Two addresses: the clients go to the first.
    static std::unique_ptr<RunningListener> Start(ReceiveProc proc, void *pUserData, DWORD dwStopTimeout)
    {
        std::unique_ptr<MultiAddressStreamListener> l(new MultiAddressStreamListener);
        CTcpListen3 *listener = static_cast<CTcpListen3 *>(KesCreateObject(KES_OBJECT_TCPLISTEN3));
        l->m_object = listener;
        tagParamListen3 record;
        record.nPort = FreeTcpPort();
        record.dwLocalAddr[0] = Loopback();
        record.dwLocalAddr[1] = Addr("127.0.0.2");
        record.nCount = 2;
        record.pfnReceive = proc;
        record.pUserData = pUserData;
        record.dwStopTimeout = dwStopTimeout;
        if (listener->InitInstance(&record) != 1)
            return nullptr;
        l->m_port = record.nPort;
        l->m_thread = DuplicateThread(listener->m_server[0].m_pThread->ThreadHandle());
        l->m_sibling = DuplicateThread(listener->m_server[1].m_pThread->ThreadHandle());
        return std::unique_ptr<RunningListener>(l.release());
    }
};

}  // namespace

const std::vector<ListenerKind> &ListenerKinds()
{
    static const std::vector<ListenerKind> kinds = {
        {"CKesListen", false, false, false, SingleListener::Start},
        {"KesListen", false, false, false, ProcessWideListener::Start},
        {"CKesListen3", false, false, true, MultiListener::Start},
        {"CTcpListen", true, true, false, OneAddressStreamListener::Start},
        {"CTcpListen3", true, false, true, MultiAddressStreamListener::Start},
    };
    return kinds;
}

}  // namespace kt
