#include "cast/cast_receiver.h"

#include <string.h>

#include <algorithm>
#include <memory>

#include "cast/erasure_code.h"

namespace cast {

CastReceiver::CastReceiver(const ReceiverConfig &config, Sink *sink)
    : m_config(config), m_sink(sink), m_random(config.seed * 0x2545F4914F6CDD1Dull + config.id)
{
}

std::vector<Outgoing> CastReceiver::TakeOutgoing()
{
    return TakeAll(m_out);
}

std::vector<ReceiverEvent> CastReceiver::TakeEvents()
{
    return TakeAll(m_events);
}

void CastReceiver::OnPacket(const uint8_t *bytes, size_t length, Micros now)
{
    Packet p;
    ++m_stats.packets;
    if (!Parse(bytes, length, &p)) {
        ++m_stats.ignored;
        return;
    }
    bool ours = m_active && p.session == m_session && p.object == m_object;
    if (p.type == kAttest) {
        OnAttest(p, bytes, now);
    } else if (TeachersOnly() && !(ours && m_teachers)) {
        ++m_stats.ignored;
    } else if (p.type == kData || p.type == kAnnounce) {
        // A packet of another transfer from a sender: a new object, or the
        // sender started again (a new session), which leaves ours unfinished;
        // but only the teacher ends an object of the teacher's.
        const bool teachersUnderWay = m_active && !m_complete && m_teachers;
        if (!ours && !teachersUnderWay && (!m_active || m_complete || p.session != m_session)) {
            if (!Begin(p, now)) {
                ++m_stats.ignored;
                return;
            }
            ours = true;
        }
        if (!ours || !(p.shape == m_shape)) {
            ++m_stats.ignored;
            return;
        }
        if (p.type == kData) {
            OnBlock(p, now);
        } else {
            if (!m_teachers)
                m_name = p.name;  // a teacher's object is named by its attestations alone
            m_announced = true;
            PassedUpTo(p.position, now);
            FinishWhenWhole(now);
            if (m_complete && now >= m_lastStatus + m_config.completeRepeat)
                SendStatus(now);  // until the sender stops announcing, it may not have heard
        }
    } else if (p.type == kNack && ours && p.receiver != m_config.id) {
        OnOthersNack(p, now);
    } else if (!ours || p.type != kStatus) {
        ++m_stats.ignored;
    }
    UpdateWake();
}

bool CastReceiver::Begin(const Packet &p, Micros now)
{
    if (m_active && !m_complete)
        Abandon();
    m_active = false;
    if (!m_sink->Begin(p.shape.size))
        return false;
    m_active = true;
    m_complete = false;
    m_session = p.session;
    m_object = p.object;
    m_shape = p.shape;
    m_name = p.type == kAnnounce ? p.name : std::string();
    m_announced = p.type == kAnnounce;
    m_groups.assign(m_shape.Groups(), Group());
    m_groupsLeft = m_shape.Groups();
    m_teachers = false;
    m_digests.clear();
    m_digestKnown.clear();
    m_unverified = 0;
    m_passed = 0;
    m_missing.clear();
    m_events.push_back({ReceiverEvent::kStarted, m_session, m_object, m_shape.size});
    SendStatus(now);  // here: the sender counts on us from now on
    return true;
}

void CastReceiver::Abandon()
{
    m_sink->End(false);
    m_events.push_back({ReceiverEvent::kAbandoned, m_session, m_object, m_shape.size});
    m_active = false;
}

int CastReceiver::Need(uint32_t g, const Group &group) const
{
    return m_shape.BlocksIn(g) - group.haveData - static_cast<int>(group.parity.size());
}

void CastReceiver::OnBlock(const Packet &p, Micros now)
{
    // The first pass is past every group before this one.
    if (p.group > 0)
        PassedUpTo(p.group - 1 < m_shape.Groups() ? p.group - 1 : 0, now);
    Group &group = m_groups[p.group];
    group.seen = std::max(group.seen, static_cast<int>(p.index));
    if (group.complete) {
        ++m_stats.duplicates;
        return;
    }
    const int k = m_shape.BlocksIn(p.group);
    if (group.have.empty())
        group.have.assign(k, false);
    if (p.index < m_shape.groupBlocks) {
        if (group.have[p.index]) {
            ++m_stats.duplicates;
            return;
        }
        if (!m_sink->Write(m_shape.OffsetOf(p.group, p.index), p.payload, p.payloadBytes)) {
            Abandon();
            return;
        }
        group.have[p.index] = true;
        ++group.haveData;
    } else {
        int j = p.index - m_shape.groupBlocks;
        if (std::find(group.parityIndex.begin(), group.parityIndex.end(), j) != group.parityIndex.end()) {
            ++m_stats.duplicates;
            return;
        }
        group.parityIndex.push_back(j);
        group.parity.emplace_back(p.payload, p.payload + p.payloadBytes);
    }
    if (Need(p.group, group) <= 0)
        GroupComplete(p.group, group, now);
}

void CastReceiver::GroupComplete(uint32_t g, Group &group, Micros now)
{
    if (group.haveData < m_shape.BlocksIn(g)) {
        Rebuild(g, group);
        if (!m_active)
            return;
    }
    group.complete = true;
    group.askAt = kNever;
    group.parity.clear();
    group.parity.shrink_to_fit();
    group.parityIndex.clear();
    group.have.clear();
    group.have.shrink_to_fit();
    m_missing.erase(g);
    --m_groupsLeft;
    if (m_teachers) {
        ++m_unverified;
        if (m_digestKnown[g])
            VerifyGroup(g, now);
    }
    FinishWhenWhole(now);
}

// An attestation: the teacher's signature is checked only on one that brings
// something new, since each digest comes in several.
void CastReceiver::OnAttest(const Packet &p, const uint8_t *bytes, Micros now)
{
    Attestor *attestor = m_config.attestor;
    bool ours = m_active && p.session == m_session && p.object == m_object;
    if (attestor == nullptr || !attestor->CanVerify() || !BringsNews(p, ours)) {
        ++m_stats.ignored;
        return;
    }
    if (!TeachersAndRecent(*attestor, p, bytes)) {
        ++m_stats.refused;
        return;
    }
    if (!ours) {
        if (!Begin(p, now))
            return;
    } else if (!(p.shape == m_shape)) {
        ++m_stats.ignored;
        return;
    }
    m_name = p.name;
    m_announced = true;
    if (!m_teachers)
        BecomeTeachers();
    for (size_t i = 0; i < p.digestCount; ++i) {
        const uint32_t g = p.firstAttested + static_cast<uint32_t>(i);
        if (m_digestKnown[g])
            continue;
        memcpy(&m_digests[static_cast<size_t>(g) * kDigestBytes], p.digests + i * kDigestBytes, kDigestBytes);
        m_digestKnown[g] = true;
        if (m_groups[g].complete)
            VerifyGroup(g, now);
        if (!m_active)
            return;
    }
    FinishWhenWhole(now);
}

// Whether the attestation could change anything: it starts an object, makes
// ours the teacher's, or brings a digest not known yet.
bool CastReceiver::BringsNews(const Packet &p, bool ours) const
{
    if (!ours)
        return !m_active || m_complete || p.session != m_session || !m_teachers;
    if (m_complete)
        return false;
    if (!m_teachers)
        return true;
    for (size_t i = 0; i < p.digestCount; ++i) {
        if (!m_digestKnown[p.firstAttested + i])
            return true;
    }
    return false;
}

// Groups already whole wait for their digests like the rest.
void CastReceiver::BecomeTeachers()
{
    m_teachers = true;
    m_digests.assign(static_cast<size_t>(m_shape.Groups()) * kDigestBytes, 0);
    m_digestKnown.assign(m_shape.Groups(), false);
    m_unverified = m_shape.Groups() - m_groupsLeft;
}

// A whole group against the teacher's digest. Bytes that are not the
// teacher's (blocks or repairs someone else sent in its name) are dropped and
// the group is asked for again.
void CastReceiver::VerifyGroup(uint32_t g, Micros now)
{
    const size_t size = m_shape.BytesOfGroup(g);
    m_checked.resize(size);
    uint8_t digest[kDigestBytes];
    if (!m_sink->Read(m_shape.OffsetOf(g, 0), m_checked.data(), size) ||
        !m_config.attestor->Digest(m_checked.data(), size, digest)) {
        Abandon();
        return;
    }
    Group &group = m_groups[g];
    --m_unverified;
    if (memcmp(digest, &m_digests[static_cast<size_t>(g) * kDigestBytes], kDigestBytes) == 0) {
        group.verified = true;
        return;
    }
    ++m_stats.refused;
    m_config.attestor->Refused(false);
    group = Group();
    ++m_groupsLeft;
    if (g < m_passed) {
        m_missing.insert(g);
        group.askAt = now + m_random.Below(m_config.nackBackoff + 1);
    }
}

// Whole, and the object's name known: an object is not handed over nameless
// because its announcements were lost (the sender announces until everyone
// has it, so one comes).
void CastReceiver::FinishWhenWhole(Micros now)
{
    if (!m_active || m_complete || m_groupsLeft != 0 || !m_announced || m_unverified != 0)
        return;
    m_complete = true;
    m_sink->End(true);
    m_events.push_back({ReceiverEvent::kComplete, m_session, m_object, m_shape.size, m_teachers});
    SendStatus(now);
}

// The data blocks that came are read back from the sink, the missing ones
// rebuilt from the parity blocks and written.
void CastReceiver::Rebuild(uint32_t g, Group &group)
{
    const int k = m_shape.BlocksIn(g);
    const size_t block = m_shape.blockSize;
    // Zeroed, for the code sees a short last block padded with zeros.
    m_rebuilt.assign(static_cast<size_t>(k) * block, 0);
    std::vector<uint8_t *> blocks(k);
    std::unique_ptr<bool[]> present(new bool[k]);
    for (int i = 0; i < k; ++i) {
        blocks[i] = &m_rebuilt[static_cast<size_t>(i) * block];
        present[i] = group.have[i];
        if (present[i] && !m_sink->Read(m_shape.OffsetOf(g, i), blocks[i], m_shape.BytesOf(g, i))) {
            Abandon();
            return;
        }
    }
    std::vector<const uint8_t *> parity;
    for (const std::vector<uint8_t> &p : group.parity)
        parity.push_back(p.data());
    if (!ErasureCode::Decode(k, block, blocks.data(), present.get(), group.parityIndex, parity)) {
        Abandon();
        return;
    }
    for (int i = 0; i < k; ++i) {
        if (!present[i] && !m_sink->Write(m_shape.OffsetOf(g, i), blocks[i], m_shape.BytesOf(g, i))) {
            Abandon();
            return;
        }
    }
    group.haveData = k;
    ++m_stats.rebuilt;
}

// Groups before position have had their first pass: those not whole are to
// be asked for, each after its own random back-off.
void CastReceiver::PassedUpTo(uint32_t position, Micros now)
{
    position = std::min(position, m_shape.Groups());
    for (; m_passed < position; ++m_passed) {
        Group &group = m_groups[m_passed];
        if (group.complete)
            continue;
        m_missing.insert(m_passed);
        group.askAt = now + m_random.Below(m_config.nackBackoff + 1);
    }
}

void CastReceiver::OnOthersNack(const Packet &p, Micros now)
{
    for (const NackEntry &e : p.nacks) {
        if (e.group >= m_groups.size())
            continue;
        Group &group = m_groups[e.group];
        if (group.complete || group.askAt == kNever || e.need < Need(e.group, group))
            continue;
        // Another receiver asked for at least as many: the repair will do for us too.
        group.askAt = kNever;
        group.quietUntil = now + m_config.nackHoldoff;
        ++m_stats.suppressed;
    }
}

void CastReceiver::Poll(Micros now)
{
    if (m_active && !m_complete) {
        SendNacks(now);
        if (now >= m_nextStatus)
            SendStatus(now);
    }
    UpdateWake();
}

void CastReceiver::SendNacks(Micros now)
{
    std::vector<NackEntry> entries;
    for (uint32_t g : m_missing) {
        Group &group = m_groups[g];
        if (group.askAt == kNever) {
            if (now >= group.quietUntil)
                group.askAt = now + m_random.Below(m_config.nackBackoff + 1);
            continue;
        }
        if (group.askAt > now)
            continue;
        NackEntry e;
        e.group = g;
        e.need = static_cast<uint16_t>(Need(g, group));
        e.seen = group.seen < 0 ? 0xFFFF : static_cast<uint16_t>(group.seen);
        entries.push_back(e);
        group.askAt = kNever;
        group.quietUntil = now + m_config.nackHoldoff;
        if (entries.size() == kMaxNackEntries) {
            m_out.push_back({EncodeNack(m_session, m_object, m_config.id, entries)});
            m_stats.nackEntries += entries.size();
            ++m_stats.nackPackets;
            entries.clear();
        }
    }
    if (!entries.empty()) {
        m_out.push_back({EncodeNack(m_session, m_object, m_config.id, entries)});
        m_stats.nackEntries += entries.size();
        ++m_stats.nackPackets;
    }
}

void CastReceiver::SendStatus(Micros now)
{
    m_out.push_back({EncodeStatus(m_session, m_object, m_config.id, m_complete, m_groupsLeft)});
    m_lastStatus = now;
    m_nextStatus = m_complete ? kNever : now + m_config.statusEvery;
}

void CastReceiver::UpdateWake()
{
    Micros wake = kNever;
    if (m_active && !m_complete) {
        wake = m_nextStatus;
        for (uint32_t g : m_missing) {
            const Group &group = m_groups[g];
            wake = std::min(wake, group.askAt != kNever ? group.askAt : group.quietUntil);
        }
    }
    m_wake = wake;
}

}  // namespace cast
