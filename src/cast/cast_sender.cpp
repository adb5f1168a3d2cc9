#include "cast/cast_sender.h"

#include <string.h>

#include <algorithm>

namespace cast {

namespace {

// Each group's digest goes in this many attestations in a row, so that a
// receiver rarely waits for the rotation to bring one it lost.
const uint32_t kAttestRepeat = 8;

}  // namespace

CastSender::CastSender(const SenderConfig &config)
    : m_config(config), m_random(config.session * 0x9E3779B97F4A7C15ull + 1), m_pacer(config.maxRate, config.burstBytes)
{
}

bool CastSender::Start(uint32_t object, uint64_t size, Source *source, Micros now)
{
    ObjectShape shape;
    shape.size = size;
    shape.blockSize = m_config.blockSize;
    shape.groupBlocks = m_config.groupBlocks;
    if (m_started || source == nullptr || !shape.Valid() || m_config.maxRate <= 0 ||
        m_config.minRate > m_config.maxRate)
        return false;
    m_started = true;
    m_source = source;
    m_object = object;
    m_shape = shape;
    m_startedAt = now;
    m_groups.assign(shape.Groups(), RepairLedger());
    m_pacer = Pacer(m_config.maxRate, m_config.burstBytes);
    m_pacer.Refill(now);
    m_now = now;
    m_periodStart = now;
    m_nextAnnounce = now;
    m_stats.rate = m_pacer.Rate();
    m_attesting = m_config.attestor != nullptr && m_config.attestor->CanSign();
    if (m_attesting) {
        m_digests.assign(static_cast<size_t>(shape.Groups()) * kDigestBytes, 0);
        m_attestQueue.push_back(0);  // the start, before any block
    }
    for (uint32_t id : m_config.expected) {
        ReceiverStatus status;
        status.id = id;
        m_receivers[id] = status;
    }
    return true;
}

void CastSender::Poll(Micros now)
{
    if (!m_started || m_finished)
        return;
    m_pacer.Refill(now);
    m_now = now;
    CheckReceivers(now);
    Outgoing packet;
    while (!m_finished && m_pacer.Ready() && NextPacket(now, &packet)) {
        const size_t cost = packet.bytes.size() + kWireOverhead;
        m_pacer.Spend(cost);
        m_stats.bytesOnWire += cost;
        ++m_periodSent;
        m_out.push_back(std::move(packet));
    }
    AdaptRate(now);
}

Micros CastSender::NextWakeUp() const
{
    if (!m_started || m_finished)
        return kNever;
    Micros wake = m_nextAnnounce;
    bool more = m_position < m_shape.Groups() || m_repairHead < m_repairQueue.size();
    if (more)
        wake = std::min(wake, m_pacer.ReadyAt());
    wake = std::min(wake, m_periodStart + m_config.ratePeriod);
    // Receivers fall silent, and graces run out, without a packet.
    return std::min(wake, m_now + 100000);
}

std::vector<Outgoing> CastSender::TakeOutgoing()
{
    return TakeAll(m_out);
}

std::vector<SenderEvent> CastSender::TakeEvents()
{
    return TakeAll(m_events);
}

// What goes next: an attestation or an announcement when due, then repairs,
// then the first pass.
bool CastSender::NextPacket(Micros now, Outgoing *packet)
{
    if (!m_attestQueue.empty()) {
        const uint32_t first = m_attestQueue.front();
        m_attestQueue.pop_front();
        if (AttestPacket(first, packet))
            return true;
        Fail("the object could not be signed");
        return false;
    }
    if (now >= m_nextAnnounce) {
        packet->bytes = EncodeAnnounce(m_config.session, m_object, m_shape, m_position, m_config.name);
        m_nextAnnounce = now + m_config.announceEvery;
        ++m_stats.announcePackets;
        if (m_attesting)
            QueueRotation();
        return true;
    }
    bool passRuns = m_position < m_shape.Groups();
    double sent = static_cast<double>(m_stats.dataPackets + m_stats.repairPackets);
    bool repairRoom = !passRuns || m_stats.repairPackets < m_config.repairShareInPass * (sent + 1);
    if (repairRoom && RepairPacket(packet))
        return true;
    return DataPacket(packet);
}

// Two groups are kept: the first pass's and the one being repaired, which
// alternate packet by packet while the pass runs. A group's bytes are one
// run of the object, read at once; only the object's last block is padded.
const uint8_t *CastSender::LoadGroup(uint32_t g)
{
    for (GroupCache &cache : m_caches) {
        if (cache.group == g) {
            cache.used = ++m_cacheClock;
            return cache.bytes.data();
        }
    }
    GroupCache &cache = m_caches[0].used <= m_caches[1].used ? m_caches[0] : m_caches[1];
    cache.bytes.assign(static_cast<size_t>(m_shape.BlocksIn(g)) * m_shape.blockSize, 0);
    if (!m_source->Read(m_shape.OffsetOf(g, 0), cache.bytes.data(), m_shape.BytesOfGroup(g))) {
        cache.group = kNoGroup;
        return nullptr;
    }
    cache.group = g;
    cache.used = ++m_cacheClock;
    return cache.bytes.data();
}

bool CastSender::DataPacket(Outgoing *packet)
{
    if (m_position >= m_shape.Groups())
        return false;
    const uint32_t g = m_position;
    const int i = m_nextIndex;
    const uint8_t *group = LoadGroup(g);
    if (group == nullptr) {
        Fail("the object could not be read");
        return false;
    }
    if (m_attesting && g == m_digested && !DigestGroup(g, group)) {
        Fail("the object could not be signed");
        return false;
    }
    packet->bytes = EncodeData(m_config.session, m_object, m_shape, g, static_cast<uint8_t>(i),
                               group + static_cast<size_t>(i) * m_shape.blockSize, m_shape.BytesOf(g, i));
    ++m_stats.dataPackets;
    if (++m_nextIndex >= m_shape.BlocksIn(g)) {
        m_groups[g].passedAt = m_now;
        m_nextIndex = 0;
        if (++m_position == m_shape.Groups()) {
            m_passDoneAt = m_now;
            m_nextAnnounce = m_now;  // say at once that the pass is over
        }
    }
    return true;
}

bool CastSender::RepairPacket(Outgoing *packet)
{
    while (m_repairHead < m_repairQueue.size()) {
        const uint32_t g = m_repairQueue[m_repairHead];
        RepairLedger &ledger = m_groups[g];
        if (ledger.pending == 0) {
            ledger.queued = false;
            ++m_repairHead;
            continue;
        }
        const uint8_t *group = LoadGroup(g);
        if (group == nullptr) {
            Fail("the object could not be read");
            return false;
        }
        uint8_t index = 0;
        std::vector<uint8_t> bytes;
        ledger.MakeNext(m_shape.BlocksIn(g), m_shape.groupBlocks, group, m_shape.blockSize,
                        [&](int i) { return m_shape.BytesOf(g, i); }, &index, &bytes, m_now);
        packet->bytes = EncodeData(m_config.session, m_object, m_shape, g, index, bytes.data(), bytes.size());
        ++m_stats.repairPackets;
        return true;
    }
    m_repairQueue.clear();
    m_repairHead = 0;
    return false;
}

// The group's digest, attested at once (with those of the groups just before
// it) as the group's first block goes.
bool CastSender::DigestGroup(uint32_t g, const uint8_t *group)
{
    if (!m_config.attestor->Digest(group, m_shape.BytesOfGroup(g), m_digests.data() + static_cast<size_t>(g) * kDigestBytes))
        return false;
    m_digested = g + 1;
    m_attestQueue.push_back(m_digested > kAttestRepeat ? m_digested - kAttestRepeat : 0);
    return true;
}

// With every announcement, the next digests in turn: a receiver that lost
// every attestation of a group still gets its digest, after the pass too.
void CastSender::QueueRotation()
{
    if (m_rotation >= m_digested)
        m_rotation = 0;
    m_attestQueue.push_back(m_rotation);
    m_rotation += kMaxAttestDigests;
}

bool CastSender::AttestPacket(uint32_t first, Outgoing *packet)
{
    const size_t count = std::min<size_t>(kMaxAttestDigests, m_digested - first);
    packet->bytes = EncodeAttestBody(m_config.session, m_object, m_shape, m_config.name, first,
                                     m_digests.data() + static_cast<size_t>(first) * kDigestBytes, count,
                                     m_config.attestor->WallNow());
    const size_t body = packet->bytes.size();
    packet->bytes.resize(body + kSignatureBytes);
    if (!m_config.attestor->Sign(packet->bytes.data(), body, &packet->bytes[body]))
        return false;
    ++m_stats.attestPackets;
    return true;
}

void CastSender::OnPacket(const uint8_t *bytes, size_t length, Micros now)
{
    Packet p;
    if (!m_started || m_finished || !Parse(bytes, length, &p) || p.session != m_config.session ||
        p.object != m_object) {
        ++m_stats.ignored;
        return;
    }
    if (p.type == kNack)
        OnNack(p, now);
    else if (p.type == kStatus)
        OnStatus(p, now);
    // The sender's own data and announcements come back from the group.
}

ReceiverStatus &CastSender::Heard(uint32_t id, Micros now)
{
    auto found = m_receivers.find(id);
    if (found == m_receivers.end()) {
        ReceiverStatus status;
        status.id = id;
        found = m_receivers.emplace(id, status).first;
    }
    ReceiverStatus &r = found->second;
    if (r.lastHeard == 0 && r.state == ReceiverState::kReceiving)
        m_events.push_back({SenderEvent::kJoined, id, ""});
    r.lastHeard = now == 0 ? 1 : now;
    return r;
}

void CastSender::OnNack(const Packet &p, Micros now)
{
    ReceiverStatus &r = Heard(p.receiver, now);
    ++m_stats.nacksHeard;
    if (r.state != ReceiverState::kReceiving)
        return;
    for (const NackEntry &e : p.nacks) {
        if (e.group >= m_position)
            continue;  // not wholly sent yet: the first pass brings it
        const int k = m_shape.BlocksIn(e.group);
        if (e.need > k || (e.seen != 0xFFFF && e.seen > 255))
            continue;
        m_periodAsked[p.receiver] += e.need;
        RepairLedger &ledger = m_groups[e.group];
        if (ledger.Ask(e.need, k, m_shape.groupBlocks, e.seen, now, m_config.inFlight) > 0 && !ledger.queued) {
            ledger.queued = true;
            m_repairQueue.push_back(e.group);
        }
    }
}

void CastSender::OnStatus(const Packet &p, Micros now)
{
    ReceiverStatus &r = Heard(p.receiver, now);
    if (r.state != ReceiverState::kReceiving)
        return;
    r.groupsMissing = p.groupsMissing;
    if (p.complete) {
        r.state = ReceiverState::kComplete;
        r.completeAt = now;
        r.groupsMissing = 0;
        m_events.push_back({SenderEvent::kComplete, r.id, ""});
    }
}

void CastSender::CheckReceivers(Micros now)
{
    const bool passDone = m_passDoneAt != kNever;
    size_t receiving = 0, heard = 0;
    for (auto &entry : m_receivers) {
        ReceiverStatus &r = entry.second;
        if (r.state != ReceiverState::kReceiving)
            continue;
        if (r.lastHeard == 0) {
            if (passDone && now >= m_passDoneAt + m_config.expectedWait) {
                r.state = ReceiverState::kAbsent;
                r.why = "never heard from";
                m_events.push_back({SenderEvent::kAbsent, r.id, r.why});
            }
            continue;
        }
        ++heard;
        if (now > r.lastHeard + m_config.silentDrop) {
            r.state = ReceiverState::kDropped;
            r.why = "fell silent";
            m_events.push_back({SenderEvent::kDropped, r.id, r.why});
            continue;
        }
        ++receiving;
    }
    if (!passDone)
        return;
    size_t unsettled = 0;
    for (auto &entry : m_receivers)
        unsettled += entry.second.state == ReceiverState::kReceiving;
    // The slowest get a grace once every other receiver has it, as long as
    // the first pass took at least; then they are dropped, so that nobody
    // waits for them for ever.
    bool othersDone = unsettled > 0 && unsettled == receiving && unsettled <= 1 + m_receivers.size() / 10;
    bool anyDone = false;
    for (auto &entry : m_receivers)
        anyDone |= entry.second.state == ReceiverState::kComplete;
    if (othersDone && anyDone && m_othersDoneAt == kNever)
        m_othersDoneAt = now;
    Micros grace = std::max(m_config.lateGrace, m_passDoneAt - m_startedAt);
    if (m_othersDoneAt != kNever && now >= m_othersDoneAt + grace) {
        for (auto &entry : m_receivers) {
            ReceiverStatus &r = entry.second;
            if (r.state == ReceiverState::kReceiving) {
                r.state = ReceiverState::kDropped;
                r.why = "could not keep up";
                m_events.push_back({SenderEvent::kDropped, r.id, r.why});
            }
        }
        unsettled = 0;
    }
    bool nobody = m_receivers.empty() && now >= m_passDoneAt + m_config.expectedWait;
    if ((unsettled == 0 && !m_receivers.empty()) || nobody)
        Finish();
}

void CastSender::AdaptRate(Micros now)
{
    if (now < m_periodStart + m_config.ratePeriod)
        return;
    std::vector<uint64_t> asked;
    for (auto &entry : m_periodAsked)
        asked.push_back(entry.second);
    std::sort(asked.begin(), asked.end());
    size_t known = 0;
    for (auto &entry : m_receivers)
        known += entry.second.lastHeard != 0;
    if (known >= 3 && !asked.empty())
        asked.pop_back();  // the one receiver that asked most
    double loss = asked.empty() || m_periodSent == 0 ? 0 : static_cast<double>(asked.back()) / m_periodSent;
    if (loss > m_config.slowDownAt)
        m_pacer.SetRate(std::max(m_config.minRate, m_pacer.Rate() * 0.75));
    else if (loss < m_config.slowDownAt / 4)
        m_pacer.SetRate(std::min(m_config.maxRate, m_pacer.Rate() * 1.1));
    m_stats.rate = m_pacer.Rate();
    m_periodStart = now;
    m_periodSent = 0;
    m_periodAsked.clear();
}

void CastSender::Fail(const char *why)
{
    m_events.push_back({SenderEvent::kFailed, 0, why});
    m_finished = true;
}

void CastSender::Finish()
{
    m_finished = true;
    m_events.push_back({SenderEvent::kFinished, 0, ""});
}

}  // namespace cast
