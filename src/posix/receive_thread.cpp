#include "common/receive_thread.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <new>

namespace {

thread_local tagThreadParam *t_running = nullptr;

const DWORD kInfinite = 0xFFFFFFFF;

// The priorities that SetThreadPriority takes from a program of normal
// priority class (idle, lowest ... highest, time-critical). The Linux library
// takes the same and refuses the same, but runs every thread at the
// process's own priority: raising one takes a privilege that classroom
// programs do not have, and the order in which one process's threads run
// changes nothing of what they deliver.
bool IsThreadPriority(int nPriority)
{
    return nPriority == -15 || (nPriority >= -2 && nPriority <= 2) || nPriority == 15;
}

}  // namespace

tagThreadParam *tagThreadParam::Start(Entry entry, void *pOwner, int nIndex, HANDLE, int nPriority, DWORD)
{
    if (!IsThreadPriority(nPriority))
        return nullptr;
    tagThreadParam *t = new (std::nothrow) tagThreadParam;
    if (t == nullptr)
        return nullptr;
    t->nIndex = nIndex;
    t->pThis = pOwner;
    t->m_entry = entry;
    t->m_bEnded = false;
    t->m_bAbandoned = false;
    t->m_bStopRequested.store(false);
    t->m_nRefs.store(2);  // the owner's share and the thread's
    t->m_nStopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (t->m_nStopFd < 0) {
        delete t;
        return nullptr;
    }
    // Detached: no one joins it. The owner waits on m_ended instead, which
    // can be bounded, and a thread given up on frees itself.
    pthread_t thread;
    pthread_attr_t attributes;
    bool started = pthread_attr_init(&attributes) == 0;
    if (started) {
        started = pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED) == 0 &&
                  pthread_create(&thread, &attributes, ThreadEntry, t) == 0;
        pthread_attr_destroy(&attributes);
    }
    if (!started) {
        close(t->m_nStopFd);
        delete t;
        return nullptr;
    }
    return t;
}

void tagThreadParam::Stop(DWORD dwTimeout)
{
    m_bStopRequested.store(true, std::memory_order_release);
    const uint64_t one = 1;
    // The counter cannot overflow from one write per Stop; a failed write
    // leaves the flag, which the loop reads between any two datagrams.
    [[maybe_unused]] ssize_t written = write(m_nStopFd, &one, sizeof one);
    const bool onOwnThread = t_running == this;
    {
        std::unique_lock<std::mutex> hold(m_lock);
        if (!onOwnThread) {
            if (dwTimeout == kInfinite)
                m_ended.wait(hold, [this] { return m_bEnded; });
            else
                m_ended.wait_for(hold, std::chrono::milliseconds(dwTimeout), [this] { return m_bEnded; });
        }
        // Still running (a slow callback, or we are that callback): once this
        // returns the thread gets no further access to its owner.
        if (!m_bEnded)
            m_bAbandoned = true;
    }
    Unref();
}

bool tagThreadParam::Enter()
{
    m_lock.lock();
    if (m_bAbandoned) {
        m_lock.unlock();
        return false;
    }
    return true;
}

void tagThreadParam::Leave()
{
    m_lock.unlock();
}

void tagThreadParam::Unref()
{
    if (m_nRefs.fetch_sub(1, std::memory_order_acq_rel) != 1)
        return;
    close(m_nStopFd);
    delete this;
}

tagThreadParam *tagThreadParam::Running(const void *pOwner, int nIndex)
{
    tagThreadParam *t = t_running;
    return t != nullptr && t->pThis == pOwner && t->nIndex == nIndex ? t : nullptr;
}

void *tagThreadParam::ThreadEntry(void *pParam)
{
    tagThreadParam *t = static_cast<tagThreadParam *>(pParam);
    t_running = t;
    t->m_entry(t);
    t_running = nullptr;
    {
        std::lock_guard<std::mutex> hold(t->m_lock);
        t->m_bEnded = true;
        t->m_ended.notify_all();
    }
    t->Unref();
    return nullptr;
}
