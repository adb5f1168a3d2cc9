#include "agent/receiver.h"

#include "support/bench.h"

namespace bench {

namespace {

ReceiverKind *g_firstKind = nullptr;

}  // namespace

void Tally::Add(int bytes)
{
    long long now = Ticks();
    long long none = 0;
    m_first.compare_exchange_strong(none, now);
    m_last = now;
    m_bytes += bytes;
    m_count++;
}

void Tally::Reset()
{
    m_count = m_bytes = m_first = m_last = 0;
}

double Tally::First() const
{
    return TicksToSeconds(m_first);
}

double Tally::Last() const
{
    return TicksToSeconds(m_last);
}

void __cdecl Tally::OnReceive(void *, int nLength, void *pUserData, unsigned long, int)
{
    static_cast<Tally *>(pUserData)->Add(nLength);
}

const ReceiverKind *FirstReceiverKind()
{
    return g_firstKind;
}

ReceiverRegistration::ReceiverRegistration(ReceiverKind *kind)
{
    // Kept in the order of registration within a file; files in link order.
    ReceiverKind **tail = &g_firstKind;
    while (*tail != nullptr)
        tail = const_cast<ReceiverKind **>(&(*tail)->next);
    *tail = kind;
}

}  // namespace bench
