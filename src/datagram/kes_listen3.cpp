// CKesListen3: the datagram listener on one port of up to eight local
// interfaces, one socket and one receive thread per interface. Each thread runs
// the same receive loop as CKesListen, without the echo.
#include "kesnet.h"

#include "datagram/receive_loop.h"
#include "datagram/slot_socket.h"
#include "datagram/udp_socket.h"
#include "util/object_heap.h"
#include "util/receive_thread.h"
#include "util/slots.h"

KESNET_DEFINE_HEAP_OBJECT(CKesListen3)

CKesListen3::CKesListen3()
{
    ClearSlots(m_pSocket);
    ClearSlots(m_hThread);
}

CKesListen3::CKesListen3(const CKesListen3 &other) : m_param(other.m_param)
{
    CopySlots(m_pSocket, other.m_pSocket);
    CopySlots(m_hThread, other.m_hThread);
}

CKesListen3 &CKesListen3::operator=(const CKesListen3 &other)
{
    CopySlots(m_pSocket, other.m_pSocket);
    CopySlots(m_hThread, other.m_hThread);
    m_param = other.m_param;
    return *this;
}

CKesListen3::~CKesListen3() {}

int CKesListen3::InitInstance(tagParamListen3 *pParam)
{
    if (AnySlotHeld(m_pSocket) || AnySlotHeld(m_hThread))
        return 0;  // already running: leave it as it is
    if (IsBadReadPtr(pParam, sizeof *pParam))
        return 0;
    m_param = *pParam;
    if (!SlotCountAccepted(m_param.nCount))
        return 0;
    for (int i = 0; i < m_param.nCount; ++i) {
        m_pSocket[i] = OpenSlotSocket(kReceivingSlot, m_param.nPort, m_param.dwLocalAddr[i],
                                      m_param.nMode == KES_MODE_MULTICAST, m_param.dwGroupAddr);
        tagThreadParam *thread = nullptr;
        if (m_pSocket[i] != nullptr)
            thread = tagThreadParam::Start(InitThreadProc, this, i, m_pSocket[i]->m_hStopEvent,
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
        CUdpSocket *socket = m_pSocket[i];
        if (socket == nullptr)
            continue;
        if (socket->m_pReceiver != nullptr) {
            socket->m_pReceiver->Stop(m_param.dwStopTimeout);
            socket->m_pReceiver = nullptr;
        }
        m_hThread[i] = nullptr;
        CloseSlotSocket(m_pSocket[i]);
    }
}

unsigned long CKesListen3::ThreadProc(int nIndex)
{
    // Only on the thread that InitInstance started for this slot (see
    // CKesListen::ThreadProc), which also keeps nIndex inside the slots.
    tagThreadParam *thread = tagThreadParam::Running(this, nIndex);
    if (thread == nullptr)
        return 0;
    DatagramReceiver receiver = {&m_pSocket[nIndex], &m_param.pfnReceive, &m_param.pUserData, nullptr,
                                 nullptr};
    return RunDatagramReceiveLoop(thread, receiver);
}

unsigned long __stdcall CKesListen3::InitThreadProc(void *pParam)
{
    tagThreadParam *thread = static_cast<tagThreadParam *>(pParam);
    return static_cast<CKesListen3 *>(thread->pThis)->ThreadProc(thread->nIndex);
}
