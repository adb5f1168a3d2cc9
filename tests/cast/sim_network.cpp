#include "sim_network.h"

#include <string.h>

#include <algorithm>
#include <memory>
#include <queue>
#include <random>
#include <set>

namespace sim {

namespace {

const int kSender = -1;

class MemorySource : public cast::Source {
public:
    explicit MemorySource(const std::vector<uint8_t> &bytes) : m_bytes(bytes) {}
    bool Read(uint64_t offset, uint8_t *to, size_t n) override
    {
        if (offset > m_bytes.size() || n > m_bytes.size() - offset)
            return false;
        memcpy(to, m_bytes.data() + offset, n);
        return true;
    }

private:
    const std::vector<uint8_t> &m_bytes;
};

class MemorySink : public cast::Sink {
public:
    bool Begin(uint64_t size) override
    {
        bytes.assign(size, 0);
        ended = complete = false;
        return true;
    }
    bool Write(uint64_t offset, const uint8_t *from, size_t n) override
    {
        if (offset > bytes.size() || n > bytes.size() - offset)
            return false;
        memcpy(bytes.data() + offset, from, n);
        return true;
    }
    bool Read(uint64_t offset, uint8_t *to, size_t n) override
    {
        if (offset > bytes.size() || n > bytes.size() - offset)
            return false;
        memcpy(to, bytes.data() + offset, n);
        return true;
    }
    void End(bool whole) override
    {
        ended = true;
        complete = whole;
    }

    std::vector<uint8_t> bytes;
    bool ended = false;
    bool complete = false;
};

struct Delivery {
    Micros at;
    uint64_t order;  // ties keep the order of sending
    int to;
    std::vector<uint8_t> bytes;
    bool operator>(const Delivery &o) const { return at != o.at ? at > o.at : order > o.order; }
};

// The network itself: the sender's shaped link, each receiver's link, and the
// packets on their way. Receivers are numbered from 0; the sender is kSender.
class Wire {
public:
    explicit Wire(const Setup &setup) : m_setup(setup), m_random(setup.seed), m_inBurst(setup.receivers.size()) {}

    bool Alive(size_t i, Micros now) const
    {
        const Member &m = m_setup.receivers[i];
        return now >= m.joinAt && now < m.dieAt;
    }

    bool Deaf(size_t i, Micros now) const
    {
        const Member &m = m_setup.receivers[i];
        return now >= m.deafFrom && now < m.deafUntil;
    }

    // A packet from the sender: through its shaped link, then to every receiver.
    void FromSender(const std::vector<uint8_t> &bytes, Micros now)
    {
        double bitsPerMicro = m_setup.uplinkBitsPerSecond / 1e6;
        Micros start = std::max(now, m_uplinkFree);
        double queued = static_cast<double>(start - now) * bitsPerMicro / 8;
        if (queued + bytes.size() > m_setup.uplinkQueueBytes) {
            ++m_uplinkDrops;
            return;
        }
        m_uplinkFree = start + static_cast<Micros>((bytes.size() + 28) * 8 / bitsPerMicro) + 1;
        if (Chance(m_setup.sharedLoss)) {
            LoseForAll(bytes);
            return;
        }
        for (size_t i = 0; i < m_setup.receivers.size(); ++i)
            ToReceiver(i, bytes, m_uplinkFree + m_setup.oneWay);
        if (Chance(m_setup.garbage))
            Garbage(bytes, m_uplinkFree + m_setup.oneWay);
    }

    // A receiver's packet goes to the group: the sender and every other receiver.
    void FromReceiver(size_t from, const std::vector<uint8_t> &bytes, Micros now)
    {
        Micros at = now + 2 * m_setup.oneWay;
        Schedule(kSender, bytes, at);
        for (size_t i = 0; i < m_setup.receivers.size(); ++i)
            if (i != from)
                ToReceiver(i, bytes, at);
        if (Chance(m_setup.garbage))
            Garbage(bytes, at);
    }

    // Hands every packet due by now to deliver(to, bytes): the sender's, and
    // those of the receivers alive then.
    template <typename Deliver>
    void DeliverDue(Micros now, Deliver deliver)
    {
        while (!m_queue.empty() && m_queue.top().at <= now) {
            Delivery d = m_queue.top();
            m_queue.pop();
            if (d.to == kSender || (Alive(d.to, now) && !Deaf(d.to, now)))
                deliver(d.to, d.bytes);
        }
    }

    Micros NextDelivery() const { return m_queue.empty() ? cast::kNever : m_queue.top().at; }
    uint64_t UplinkDrops() const { return m_uplinkDrops; }
    uint64_t LinkDrops() const { return m_linkDrops; }
    uint64_t SharedDrops() const { return m_sharedDrops; }
    size_t SharedLossGroups() const { return m_sharedLossGroups.size(); }

private:
    bool Chance(double p) { return p > 0 && std::uniform_real_distribution<double>(0, 1)(m_random) < p; }

    void ToReceiver(size_t i, const std::vector<uint8_t> &bytes, Micros at)
    {
        const Link &link = m_setup.receivers[i].link;
        if (m_inBurst[i] ? Chance(link.burstEnd) : Chance(link.burstStart))
            m_inBurst[i] = !m_inBurst[i];
        if (m_inBurst[i] || Chance(link.loss)) {
            ++m_linkDrops;
            return;
        }
        Micros when = at + (Chance(link.reorder) ? link.reorderBy : 0);
        Schedule(static_cast<int>(i), bytes, when);
        if (Chance(link.duplicate))
            Schedule(static_cast<int>(i), bytes, when + 50);
    }

    void LoseForAll(const std::vector<uint8_t> &bytes)
    {
        ++m_sharedDrops;
        cast::Packet p;
        if (cast::Parse(bytes.data(), bytes.size(), &p) && p.type == cast::kData)
            m_sharedLossGroups.insert(p.group);
    }

    // A copy of a packet with a byte changed, cut short or grown, to everyone.
    void Garbage(std::vector<uint8_t> bytes, Micros at)
    {
        switch (m_random() % 3) {
        case 0:
            bytes[m_random() % bytes.size()] ^= static_cast<uint8_t>(1 + m_random() % 255);
            break;
        case 1:
            bytes.resize(m_random() % bytes.size());
            break;
        default:
            bytes.push_back(static_cast<uint8_t>(m_random()));
        }
        Schedule(kSender, bytes, at);
        for (size_t i = 0; i < m_setup.receivers.size(); ++i)
            Schedule(static_cast<int>(i), bytes, at);
    }

    void Schedule(int to, const std::vector<uint8_t> &bytes, Micros at)
    {
        m_queue.push(Delivery{at, m_order++, to, bytes});
    }

    const Setup &m_setup;
    std::mt19937_64 m_random;
    std::vector<bool> m_inBurst;
    Micros m_uplinkFree = 0;
    uint64_t m_order = 0;
    uint64_t m_uplinkDrops = 0;
    uint64_t m_linkDrops = 0;
    uint64_t m_sharedDrops = 0;
    std::set<uint32_t> m_sharedLossGroups;
    std::priority_queue<Delivery, std::vector<Delivery>, std::greater<Delivery>> m_queue;
};

// The earliest of the receivers' deadlines (of those not dead by then).
template <typename Receivers>
Micros NextReceiverWakeUp(const Setup &setup, const Receivers &receivers, Micros now)
{
    Micros next = cast::kNever;
    for (size_t i = 0; i < receivers.size(); ++i) {
        const Member &m = setup.receivers[i];
        if (now < m.dieAt)
            next = std::min(next, std::max(receivers[i]->NextWakeUp(), m.joinAt));
    }
    return next;
}

class Network {
public:
    Network(const Setup &setup, const std::vector<uint8_t> &object)
        : m_setup(setup), m_object(object), m_source(object), m_wire(setup)
    {
        for (size_t i = 0; i < setup.receivers.size(); ++i) {
            cast::ReceiverConfig config;
            config.id = Outcome::IdOf(i);
            config.seed = setup.seed + 7919 * i;
            m_sinks.emplace_back(new MemorySink);
            m_receivers.emplace_back(new cast::CastReceiver(config, m_sinks.back().get()));
        }
        m_outcome.completeAt.assign(setup.receivers.size(), cast::kNever);
    }

    Outcome Run()
    {
        StartSender(0, m_setup.sender.session);
        Micros now = 0;
        while (now < m_setup.limit && !m_sender->Finished()) {
            if (now >= m_setup.restartSenderAt && !m_restarted) {
                m_restarted = true;
                StartSender(now, m_setup.sender.session + 1);
            }
            m_wire.DeliverDue(now, [&](int to, const std::vector<uint8_t> &bytes) {
                if (to == kSender) {
                    m_sender->OnPacket(bytes.data(), bytes.size(), now);
                } else {
                    m_receivers[to]->OnPacket(bytes.data(), bytes.size(), now);
                    Collect(to, now);
                }
            });
            PollDue(now);
            Micros next = std::min({m_sender->NextWakeUp(), m_wire.NextDelivery(),
                                    NextReceiverWakeUp(m_setup, m_receivers, now)});
            if (!m_restarted && m_setup.restartSenderAt != cast::kNever)
                next = std::min(next, m_setup.restartSenderAt);
            if (next == cast::kNever)
                break;
            now = std::max(now + 1, next);
        }
        m_outcome.finished = m_sender->Finished();
        m_outcome.finishedAt = now;
        m_outcome.sender = m_sender->Stats();
        m_outcome.table = m_sender->Receivers();
        m_outcome.uplinkDrops = m_wire.UplinkDrops();
        m_outcome.linkDrops = m_wire.LinkDrops();
        m_outcome.sharedDrops = m_wire.SharedDrops();
        m_outcome.sharedLossGroups = m_wire.SharedLossGroups();
        for (size_t i = 0; i < m_receivers.size(); ++i) {
            m_outcome.whole.push_back(m_sinks[i]->complete && m_sinks[i]->bytes == m_object);
            m_outcome.names.push_back(m_receivers[i]->Name());
            m_outcome.receivers.push_back(m_receivers[i]->Stats());
            m_outcome.nackPackets += m_receivers[i]->Stats().nackPackets;
        }
        return m_outcome;
    }

private:
    void StartSender(Micros now, uint32_t session)
    {
        cast::SenderConfig config = m_setup.sender;
        config.session = session;
        m_sender.reset(new cast::CastSender(config));
        m_sender->Start(7, m_object.size(), &m_source, now);
    }

    void PollDue(Micros now)
    {
        if (m_sender->NextWakeUp() <= now)
            m_sender->Poll(now);
        for (cast::Outgoing &p : m_sender->TakeOutgoing())
            m_wire.FromSender(p.bytes, now);
        for (size_t i = 0; i < m_receivers.size(); ++i) {
            if (m_wire.Alive(i, now) && m_receivers[i]->NextWakeUp() <= now) {
                m_receivers[i]->Poll(now);
                Collect(i, now);
            }
        }
    }

    void Collect(size_t i, Micros now)
    {
        for (cast::Outgoing &p : m_receivers[i]->TakeOutgoing())
            m_wire.FromReceiver(i, p.bytes, now);
        for (const cast::ReceiverEvent &e : m_receivers[i]->TakeEvents())
            if (e.kind == cast::ReceiverEvent::kComplete && m_outcome.completeAt[i] == cast::kNever)
                m_outcome.completeAt[i] = now;
    }

    const Setup &m_setup;
    const std::vector<uint8_t> &m_object;
    MemorySource m_source;
    Wire m_wire;
    std::vector<std::unique_ptr<MemorySink>> m_sinks;
    std::vector<std::unique_ptr<cast::CastReceiver>> m_receivers;
    std::unique_ptr<cast::CastSender> m_sender;
    bool m_restarted = false;
    Outcome m_outcome;
};

// A live stream: the messages go at their times; every receiver's events are
// kept.
class StreamNetwork {
public:
    StreamNetwork(const Setup &setup, const StreamSetup &stream)
        : m_setup(setup), m_stream(stream), m_wire(setup), m_sender(stream.sender)
    {
        for (size_t i = 0; i < setup.receivers.size(); ++i) {
            cast::StreamReceiverConfig config;
            config.id = Outcome::IdOf(i);
            config.seed = setup.seed + 7919 * i;
            m_receivers.emplace_back(new cast::StreamReceiver(config));
        }
        m_outcome.events.resize(setup.receivers.size());
    }

    StreamOutcome Run()
    {
        size_t sent = 0;
        Micros now = 0;
        Micros end = m_stream.every * m_stream.messages.size() + m_stream.drain;
        while (now < end) {
            while (sent < m_stream.messages.size() && now >= sent * m_stream.every) {
                m_sender.Send(m_stream.messages[sent].data(), m_stream.messages[sent].size(), now);
                ++sent;
            }
            m_wire.DeliverDue(now, [&](int to, const std::vector<uint8_t> &bytes) {
                if (to == kSender) {
                    m_sender.OnPacket(bytes.data(), bytes.size(), now);
                } else {
                    m_receivers[to]->OnPacket(bytes.data(), bytes.size(), now);
                    Collect(to, now);
                }
            });
            if (m_sender.NextWakeUp() <= now)
                m_sender.Poll(now);
            for (cast::Outgoing &p : m_sender.TakeOutgoing())
                m_wire.FromSender(p.bytes, now);
            for (size_t i = 0; i < m_receivers.size(); ++i) {
                if (m_wire.Alive(i, now) && m_receivers[i]->NextWakeUp() <= now) {
                    m_receivers[i]->Poll(now);
                    Collect(i, now);
                }
            }
            Micros next = std::min({m_sender.NextWakeUp(), m_wire.NextDelivery(),
                                    NextReceiverWakeUp(m_setup, m_receivers, now), end});
            if (sent < m_stream.messages.size())
                next = std::min(next, sent * m_stream.every);
            now = std::max(now + 1, next);
        }
        m_outcome.sender = m_sender.Stats();
        for (auto &r : m_receivers)
            m_outcome.receivers.push_back(r->Stats());
        return m_outcome;
    }

private:
    void Collect(size_t i, Micros now)
    {
        for (cast::Outgoing &p : m_receivers[i]->TakeOutgoing())
            m_wire.FromReceiver(i, p.bytes, now);
        for (cast::StreamEvent &e : m_receivers[i]->TakeEvents())
            m_outcome.events[i].push_back(std::move(e));
    }

    const Setup &m_setup;
    const StreamSetup &m_stream;
    Wire m_wire;
    cast::StreamSender m_sender;
    std::vector<std::unique_ptr<cast::StreamReceiver>> m_receivers;
    StreamOutcome m_outcome;
};

}  // namespace

Setup Class(size_t receivers, double loss, uint64_t seed)
{
    Setup setup;
    setup.seed = seed;
    Member member;
    member.link.loss = loss;
    setup.receivers.assign(receivers, member);
    return setup;
}

Outcome Run(const Setup &setup, const std::vector<uint8_t> &object)
{
    Network network(setup, object);
    return network.Run();
}

StreamOutcome RunStream(const Setup &setup, const StreamSetup &stream)
{
    StreamNetwork network(setup, stream);
    return network.Run();
}

std::vector<uint8_t> RandomBytes(size_t n, uint64_t seed)
{
    std::mt19937_64 random(seed);
    std::vector<uint8_t> bytes(n);
    for (uint8_t &b : bytes)
        b = static_cast<uint8_t>(random());
    return bytes;
}

}  // namespace sim
