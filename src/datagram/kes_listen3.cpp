// CKesListen3: the datagram listener on one port of up to eight local
// interfaces, one socket and one receive thread per interface. Each thread runs
// the same receive loop as CKesListen, without the echo.
#include "kesnet.h"

#include "common/host_pointers.h"
#include "common/object_heap.h"
#include "common/receive_thread.h"
#include "common/slots.h"
#include "datagram/open_socket.h"
#include "datagram/receive_loop.h"
#include "datagram/udp_socket.h"

KESNET_DEFINE_HEAP_OBJECT(CKesListen3)

CKesListen3::CKesListen3()
{
    ClearSlots(m_pSocket);
    ClearSlots(m_hThread);
}

// Member-wise: a copy shares the sockets and threads.
CKesListen3::CKesListen3(const CKesListen3 &other) = default;
CKesListen3 &CKesListen3::operator=(const CKesListen3 &other) = default;

CKesListen3::~CKesListen3() {}

int CKesListen3::InitInstance(tagParamListen3 *pParam)
{
    if (AnySlotHeld(m_pSocket) || AnySlotHeld(m_hThread))
        return 0;  // already running: leave it as it is
    if (!IsReadableBlock(pParam, sizeof *pParam))
        return 0;
    m_param = *pParam;
    if (!SlotCountAccepted(m_param.nCount))
        return 0;
    for (int i = 0; i < m_param.nCount; ++i) {
        m_pSocket[i] = OpenDatagramSocket(kReceiving, m_param.nPort, m_param.dwLocalAddr[i],
                                          m_param.nMode == KES_MODE_MULTICAST, m_param.dwGroupAddr);
        tagThreadParam *thread = nullptr;
        if (m_pSocket[i] != nullptr)
            thread = tagThreadParam::Start(InitThreadProc, this, i, m_pSocket[i]->StopSignal(),
                                           m_param.nPriority, m_param.dwStopTimeout);
        if (thread == nullptr) {
            // Slots before i have running threads: Release stops each of them
            // before it closes its socket.
            Release();
            return 0;
        }
        m_pSocket[i]->m_pReceiver = thread;
        m_hThread[i] = thread->ThreadHandle();
    }
    return 1;
}

void CKesListen3::Release()
{
    // One slot after the other, each thread stopped before its socket closes.
    // Every slot, not only the first nCount: the host may have changed the
    // count in m_param since the set-up.
    for (int i = 0; i < kMaxSlots; ++i) {
        StopReceivingAndClose(m_pSocket[i], m_param.dwStopTimeout);
        m_hThread[i] = nullptr;
    }
}

unsigned long CKesListen3::ThreadProc(int nIndex)
{
    // Only on the thread that InitInstance started for this slot (see
    // CKesListen::ThreadProc), which also keeps nIndex inside the slots.
    tagThreadParam *thread = tagThreadParam::Running(this, nIndex);
    if (thread == nullptr)
        return 0;
    DatagramReceiver receiver;  // never echoes
    receiver.ppSocket = &m_pSocket[nIndex];
    receiver.pfnReceive = &m_param.pfnReceive;
    receiver.ppUserData = &m_param.pUserData;
    return RunDatagramReceiveLoop(thread, receiver);
}

unsigned long __stdcall CKesListen3::InitThreadProc(void *pParam)
{
    tagThreadParam *thread = static_cast<tagThreadParam *>(pParam);
    return static_cast<CKesListen3 *>(thread->pThis)->ThreadProc(thread->nIndex);
}
