#include "cast/cast_stream.h"

#include <string.h>

#include <algorithm>
#include <memory>

#include "cast/erasure_code.h"

namespace cast {

namespace {

// Message numbers wrap: a is before b when b is less than half the numbers ahead.
bool Before(uint32_t a, uint32_t b)
{
    return static_cast<int32_t>(a - b) < 0;
}

// A message far behind the newest is given up even before the sender says so.
const uint32_t kLongestLag = 1024;

// Each message's digest goes in this many attestations in a row.
const size_t kAttestRepeat = 8;

}  // namespace

// ---------------------------------------------------------------------------

StreamSender::StreamSender(const StreamSenderConfig &config)
    : m_config(config), m_pacer(config.maxRate, config.burstBytes)
{
}

bool StreamSender::Send(const uint8_t *bytes, size_t length, Micros now)
{
    if (bytes == nullptr || length == 0 || length > MaxMessage() || m_config.blockSize == 0)
        return false;
    if (Attesting()) {
        Digest digest;
        digest.seq = m_next;
        if (!m_config.attestor->Digest(bytes, length, digest.bytes))
            return false;
        m_digests.push_back(digest);
        if (m_digests.size() > kMaxAttestDigests)
            m_digests.pop_front();
        if (!QueueAttest(std::min(kAttestRepeat, m_digests.size()))) {
            m_digests.pop_back();
            return false;
        }
    }
    m_pacer.Refill(now);
    Message m;
    m.seq = m_next++;
    m.shape.size = length;
    m.shape.blockSize = m_config.blockSize;
    m.shape.groupBlocks = static_cast<uint8_t>(m.shape.Blocks());
    const int k = m.shape.groupBlocks;
    const size_t block = m_config.blockSize;
    m.blocks.assign(static_cast<size_t>(k) * block, 0);
    memcpy(m.blocks.data(), bytes, length);
    for (int i = 0; i < k; ++i) {
        const uint8_t *at = &m.blocks[static_cast<size_t>(i) * block];
        m_fresh.push_back({m.seq, EncodeStreamData(m_config.session, m.seq, m.shape, static_cast<uint8_t>(i), at,
                                                   m.shape.BytesOf(0, i)),
                           i == k - 1});
    }
    int parity = static_cast<int>(k * m_config.proactiveParity + 0.999);
    for (int j = 0; j < parity && j < 256 - k; ++j) {
        uint8_t index = 0;
        std::vector<uint8_t> block_;
        m.ledger.MakeNext(k, k, m.blocks.data(), block, [&](int i) { return m.shape.BytesOf(0, i); }, &index,
                          &block_, kNever - m_config.inFlight);  // counted as on its way until it goes
        m_fresh.push_back({m.seq, EncodeStreamData(m_config.session, m.seq, m.shape, index, block_.data(), block_.size()),
                           false});
        ++m_stats.parityPackets;
    }
    m_window.push_back(std::move(m));
    while (m_window.size() > m_config.window)
        m_window.pop_front();
    ++m_stats.messages;
    return true;
}

StreamSender::Message *StreamSender::Find(uint32_t seq)
{
    if (m_window.empty() || Before(seq, m_window.front().seq) || !Before(seq, m_next))
        return nullptr;
    return &m_window[seq - m_window.front().seq];
}

void StreamSender::OnPacket(const uint8_t *bytes, size_t length, Micros now)
{
    Packet p;
    if (!Parse(bytes, length, &p) || p.session != m_config.session || p.type != kNack) {
        ++m_stats.ignored;
        return;
    }
    for (const NackEntry &e : p.nacks) {
        Message *m = Find(e.group);
        if (m == nullptr)
            continue;  // gone from the window: the receivers skip it
        const int k = m->shape.groupBlocks;
        if (e.need > k && e.seen != 0xFFFF)
            continue;  // more than the message has, from a receiver that knows its size
        if (m->ledger.Ask(e.need, k, k, e.seen, now, m_config.inFlight) > 0 && !m->ledger.queued) {
            m->ledger.queued = true;
            m_repairQueue.push_back(m->seq);
        }
    }
}

void StreamSender::Poll(Micros now)
{
    m_pacer.Refill(now);
    Outgoing packet;
    while (m_pacer.Ready() && NextPacket(now, &packet)) {
        m_pacer.Spend(packet.bytes.size() + kWireOverhead);
        m_out.push_back(std::move(packet));
    }
}

Micros StreamSender::NextWakeUp() const
{
    Micros wake = m_nextHead;
    if (!Idle())
        wake = std::min(wake, m_pacer.ReadyAt());
    return wake;
}

bool StreamSender::QueueAttest(size_t count)
{
    std::vector<uint8_t> digests;
    for (size_t i = m_digests.size() - count; i < m_digests.size(); ++i)
        digests.insert(digests.end(), m_digests[i].bytes, m_digests[i].bytes + kDigestBytes);
    std::vector<uint8_t> packet = EncodeStreamAttestBody(m_config.session, m_config.stream,
                                                         m_digests[m_digests.size() - count].seq, digests.data(),
                                                         count, m_config.attestor->WallNow());
    const size_t body = packet.size();
    packet.resize(body + kSignatureBytes);
    if (!m_config.attestor->Sign(packet.data(), body, &packet[body]))
        return false;
    m_attestations.push_back(std::move(packet));
    return true;
}

// An attestation first, then a head when due, repairs, and the messages.
bool StreamSender::NextPacket(Micros now, Outgoing *packet)
{
    if (!m_attestations.empty()) {
        packet->bytes.swap(m_attestations.front());
        m_attestations.pop_front();
        ++m_stats.attestPackets;
        return true;
    }
    if (now >= m_nextHead) {
        uint32_t oldest = m_window.empty() ? m_next : m_window.front().seq;
        packet->bytes = EncodeStreamHead(m_config.session, m_config.stream, m_next, oldest);
        m_nextHead = now + m_config.headEvery;
        if (!m_digests.empty() && Attesting())
            QueueAttest(m_digests.size());  // a lost one is sent again with the next head
        return true;
    }
    if (RepairPacket(now, packet))
        return true;
    if (m_fresh.empty())
        return false;
    Fresh &fresh = m_fresh.front();
    if (Message *m = Find(fresh.seq)) {
        if (fresh.last)
            m->ledger.passedAt = now;
        // Parity sent with the message counts from when it goes.
        for (Micros &at : m->ledger.sentAt)
            if (at > now + m_config.inFlight)
                at = now;
    }
    packet->bytes.swap(fresh.bytes);
    m_fresh.pop_front();
    ++m_stats.dataPackets;
    return true;
}

bool StreamSender::RepairPacket(Micros now, Outgoing *packet)
{
    while (!m_repairQueue.empty()) {
        Message *m = Find(m_repairQueue.front());
        if (m == nullptr || m->ledger.pending == 0) {
            if (m != nullptr)
                m->ledger.queued = false;
            m_repairQueue.pop_front();
            continue;
        }
        uint8_t index = 0;
        std::vector<uint8_t> bytes;
        const int k = m->shape.groupBlocks;
        m->ledger.MakeNext(k, k, m->blocks.data(), m_config.blockSize, [&](int i) { return m->shape.BytesOf(0, i); },
                           &index, &bytes, now);
        packet->bytes = EncodeStreamData(m_config.session, m->seq, m->shape, index, bytes.data(), bytes.size());
        ++m_stats.repairPackets;
        return true;
    }
    return false;
}

// ---------------------------------------------------------------------------

StreamReceiver::StreamReceiver(const StreamReceiverConfig &config)
    : m_config(config), m_random(config.seed * 0x2545F4914F6CDD1Dull + config.id)
{
}

void StreamReceiver::OnPacket(const uint8_t *bytes, size_t length, Micros now)
{
    Packet p;
    if (!Parse(bytes, length, &p)) {
        ++m_stats.ignored;
        return;
    }
    const bool ours = m_started && p.session == m_session;
    if (p.type == kStreamAttest) {
        OnAttest(p, bytes);
        ScheduleRequests(now);
        Deliver();
    } else if (TeachersOnly() && !(ours && m_teachers)) {
        ++m_stats.ignored;
    } else if (!ours && m_teachers && (p.type == kStreamData || p.type == kStreamHead)) {
        ++m_stats.ignored;  // only the teacher moves a teacher's stream on to another session
    } else if (p.type == kStreamData || p.type == kStreamHead) {
        // A sender heard of the first time, or one that started again.
        if (!ours)
            Start(p);
        if (p.type == kStreamData) {
            OnBlock(p);
        } else {
            if (Before(m_end, p.next))
                m_end = p.next;
            m_oldest = p.oldest;
            m_oldestKnown = true;
            m_sameHeads = p.next == m_headNext ? m_sameHeads + 1 : 1;
            m_headNext = p.next;
        }
        ScheduleRequests(now);
        Deliver();
    } else if (p.type == kNack && m_started && p.session == m_session && p.receiver != m_config.id) {
        OnOthersNack(p, now);
    } else {
        ++m_stats.ignored;
    }
    UpdateWake();
}

// Starts at the message the packet is of, or, for a head, at the newest
// message (which may still be on its way): what came before is not waited for.
void StreamReceiver::Start(const Packet &p)
{
    m_started = true;
    m_session = p.session;
    if (p.type == kStreamData)
        m_next = p.object;
    else if (p.type == kStreamAttest)
        m_next = p.firstAttested + static_cast<uint32_t>(p.digestCount) - 1;  // the newest attested
    else
        m_next = p.next != p.oldest ? p.next - 1 : p.next;
    m_end = m_next;
    m_teachers = false;
    m_digests.clear();
    m_oldestKnown = false;
    m_headNext = 0;
    m_sameHeads = 0;
    m_messages.clear();
}

int StreamReceiver::Need(const Message &m) const
{
    if (!m.known)
        return 255;  // nothing of it came: it asks for the most, the sender gives it the whole message
    return m.shape.groupBlocks - m.haveData - static_cast<int>(m.parity.size());
}

void StreamReceiver::OnBlock(const Packet &p)
{
    const uint32_t seq = p.object;
    if (Before(seq, m_next)) {
        ++m_stats.duplicates;  // handed over or skipped already
        return;
    }
    if (!Before(seq, m_end))
        m_end = seq + 1;
    Message &m = m_messages[seq];
    if (!m.known) {
        m.known = true;
        m.shape = p.shape;
        m.blocks.assign(static_cast<size_t>(m.shape.groupBlocks) * m.shape.blockSize, 0);
        m.have.assign(m.shape.groupBlocks, false);
    } else if (!(m.shape == p.shape)) {
        ++m_stats.ignored;
        return;
    }
    m.seen = std::max(m.seen, static_cast<int>(p.index));
    if (m.complete) {
        ++m_stats.duplicates;
        return;
    }
    if (p.index < m.shape.groupBlocks) {
        if (m.have[p.index]) {
            ++m_stats.duplicates;
            return;
        }
        memcpy(&m.blocks[static_cast<size_t>(p.index) * m.shape.blockSize], p.payload, p.payloadBytes);
        m.have[p.index] = true;
        ++m.haveData;
    } else {
        int j = p.index - m.shape.groupBlocks;
        if (std::find(m.parityIndex.begin(), m.parityIndex.end(), j) != m.parityIndex.end()) {
            ++m_stats.duplicates;
            return;
        }
        m.parityIndex.push_back(j);
        m.parity.emplace_back(p.payload, p.payload + p.payloadBytes);
    }
    if (Need(m) <= 0)
        Rebuild(m);
}

void StreamReceiver::Rebuild(Message &m)
{
    const int k = m.shape.groupBlocks;
    if (m.haveData < k) {
        std::vector<uint8_t *> blocks(k);
        std::unique_ptr<bool[]> present(new bool[k]);
        for (int i = 0; i < k; ++i) {
            blocks[i] = &m.blocks[static_cast<size_t>(i) * m.shape.blockSize];
            present[i] = m.have[i];
        }
        std::vector<const uint8_t *> parity;
        for (const std::vector<uint8_t> &block : m.parity)
            parity.push_back(block.data());
        if (!ErasureCode::Decode(k, m.shape.blockSize, blocks.data(), present.get(), m.parityIndex, parity))
            return;
    }
    m.complete = true;
    m.askAt = kNever;
    m.parity.clear();
}

// Every message older than the newest heard of that is not whole gets a
// request, after its own random back-off; one whose request went waits out
// the hold-off first.
// Messages older than the newest may be asked for: a later one was sent. The
// newest only once two heads in a row have said that nothing followed it (the
// stream paused for a head's period, long enough for all of it to have gone),
// so that the last message before a pause, or the end, is repaired too.
void StreamReceiver::ScheduleRequests(Micros now)
{
    const uint32_t end = m_sameHeads >= 2 && m_headNext == m_end ? m_end : m_end - 1;
    for (uint32_t seq = m_next; Before(seq, end); ++seq) {
        Message &m = m_messages[seq];
        if (!m.complete && m.askAt == kNever && now >= m.quietUntil)
            m.askAt = now + m_random.Below(m_config.nackBackoff + 1);
    }
}

// Hands over the whole messages in order; one that can no longer come whole
// (the sender let it go, or it is far behind) is skipped.
void StreamReceiver::Deliver()
{
    while (Before(m_next, m_end)) {
        auto found = m_messages.find(m_next);
        Verdict verdict = kWait;
        if (found != m_messages.end() && found->second.complete) {
            Message &m = found->second;
            m.blocks.resize(m.shape.size);
            verdict = Check(m_next, m.blocks);
            if (verdict == kAskAgain) {
                m = Message();  // asked for whole again: not known, so the request is for every block
                continue;
            }
        }
        if (verdict == kHandOver) {
            m_events.push_back({StreamEvent::kMessage, m_next, std::move(found->second.blocks), m_teachers});
            ++m_stats.delivered;
        } else if ((m_oldestKnown && Before(m_next, m_oldest)) || m_end - m_next > kLongestLag) {
            m_events.push_back({StreamEvent::kSkipped, m_next, {}});
            ++m_stats.skipped;
        } else {
            return;
        }
        if (found != m_messages.end())
            m_messages.erase(found);
        m_digests.erase(m_next);
        ++m_next;
    }
}

// A whole message of a teacher's stream goes only with the teacher's digest.
StreamReceiver::Verdict StreamReceiver::Check(uint32_t seq, const std::vector<uint8_t> &bytes)
{
    if (!m_teachers)
        return kHandOver;
    auto digest = m_digests.find(seq);
    if (digest == m_digests.end())
        return kWait;
    uint8_t made[kDigestBytes];
    if (m_config.attestor->Digest(bytes.data(), bytes.size(), made) &&
        memcmp(made, digest->second.data(), kDigestBytes) == 0)
        return kHandOver;
    ++m_stats.refused;
    m_config.attestor->Refused(false);
    return kAskAgain;
}

void StreamReceiver::OnAttest(const Packet &p, const uint8_t *bytes)
{
    Attestor *attestor = m_config.attestor;
    const bool ours = m_started && p.session == m_session;
    if (attestor == nullptr || !attestor->CanVerify() || !BringsNews(p, ours)) {
        ++m_stats.ignored;
        return;
    }
    if (!TeachersAndRecent(*attestor, p, bytes)) {
        ++m_stats.refused;
        return;
    }
    if (!ours)
        Start(p);
    m_teachers = true;
    for (size_t i = 0; i < p.digestCount; ++i) {
        const uint32_t seq = p.firstAttested + static_cast<uint32_t>(i);
        if (!Before(seq, m_next) && m_digests.find(seq) == m_digests.end())
            m_digests[seq].assign(p.digests + i * kDigestBytes, p.digests + (i + 1) * kDigestBytes);
    }
}

// Whether the attestation could change anything: it starts a stream, makes
// ours the teacher's, or brings the digest of a message still to come.
bool StreamReceiver::BringsNews(const Packet &p, bool ours) const
{
    if (!ours || !m_teachers)
        return true;
    for (size_t i = 0; i < p.digestCount; ++i) {
        const uint32_t seq = p.firstAttested + static_cast<uint32_t>(i);
        if (!Before(seq, m_next) && m_digests.find(seq) == m_digests.end())
            return true;
    }
    return false;
}

void StreamReceiver::Poll(Micros now)
{
    if (m_started) {
        ScheduleRequests(now);
        SendNacks(now);
    }
    UpdateWake();
}

void StreamReceiver::SendNacks(Micros now)
{
    std::vector<NackEntry> entries;
    for (auto &entry : m_messages) {
        Message &m = entry.second;
        if (m.complete || m.askAt > now)
            continue;
        entries.push_back({entry.first, static_cast<uint16_t>(Need(m)),
                           static_cast<uint16_t>(m.seen < 0 ? 0xFFFF : m.seen)});
        m.askAt = kNever;
        m.quietUntil = now + m_config.nackHoldoff;
        if (entries.size() == kMaxNackEntries)
            break;
    }
    if (entries.empty())
        return;
    m_out.push_back({EncodeNack(m_session, 0, m_config.id, entries)});
    ++m_stats.nackPackets;
}

void StreamReceiver::OnOthersNack(const Packet &p, Micros now)
{
    for (const NackEntry &e : p.nacks) {
        auto found = m_messages.find(e.group);
        if (found == m_messages.end())
            continue;
        Message &m = found->second;
        if (m.complete || m.askAt == kNever || e.need < Need(m))
            continue;
        m.askAt = kNever;
        m.quietUntil = now + m_config.nackHoldoff;
        ++m_stats.suppressed;
    }
}

void StreamReceiver::UpdateWake()
{
    Micros wake = kNever;
    for (const auto &entry : m_messages) {
        const Message &m = entry.second;
        if (!m.complete)
            wake = std::min(wake, m.askAt != kNever ? m.askAt : m.quietUntil);
    }
    m_wake = wake;
}

}  // namespace cast
