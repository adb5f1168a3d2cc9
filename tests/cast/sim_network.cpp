#include "sim_network.h"

#include <string.h>

#include <algorithm>
#include <memory>
#include <queue>
#include <random>

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

class Network {
public:
    Network(const Setup &setup, const std::vector<uint8_t> &object)
        : m_setup(setup), m_object(object), m_source(object), m_random(setup.seed), m_inBurst(setup.receivers.size())
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
            DeliverDue(now);
            PollDue(now);
            Micros next = NextEvent(now);
            if (next == cast::kNever)
                break;
            now = std::max(now + 1, next);
        }
        m_outcome.finished = m_sender->Finished();
        m_outcome.finishedAt = now;
        m_outcome.sender = m_sender->Stats();
        m_outcome.table = m_sender->Receivers();
        for (size_t i = 0; i < m_receivers.size(); ++i) {
            m_outcome.whole.push_back(m_sinks[i]->complete && m_sinks[i]->bytes == m_object);
            m_outcome.receivers.push_back(m_receivers[i]->Stats());
            m_outcome.nackPackets += m_receivers[i]->Stats().nackPackets;
        }
        return m_outcome;
    }

private:
    bool Chance(double p) { return p > 0 && std::uniform_real_distribution<double>(0, 1)(m_random) < p; }

    bool Alive(size_t i, Micros now) const
    {
        const Member &m = m_setup.receivers[i];
        return now >= m.joinAt && now < m.dieAt;
    }

    void StartSender(Micros now, uint32_t session)
    {
        cast::SenderConfig config = m_setup.sender;
        config.session = session;
        m_sender.reset(new cast::CastSender(config));
        m_sender->Start(7, m_object.size(), &m_source, now);
    }

    // A packet from the sender: through its shaped link, then to every receiver.
    void FromSender(std::vector<uint8_t> bytes, Micros now)
    {
        double bitsPerMicro = m_setup.uplinkBitsPerSecond / 1e6;
        Micros start = std::max(now, m_uplinkFree);
        double queued = static_cast<double>(start - now) * bitsPerMicro / 8;
        if (queued + bytes.size() > m_setup.uplinkQueueBytes) {
            ++m_outcome.uplinkDrops;
            return;
        }
        m_uplinkFree = start + static_cast<Micros>((bytes.size() + 28) * 8 / bitsPerMicro) + 1;
        for (size_t i = 0; i < m_receivers.size(); ++i)
            ToReceiver(i, bytes, m_uplinkFree + m_setup.oneWay);
        if (Chance(m_setup.garbage))
            Garbage(bytes, m_uplinkFree + m_setup.oneWay);
    }

    void ToReceiver(size_t i, const std::vector<uint8_t> &bytes, Micros at)
    {
        const Link &link = m_setup.receivers[i].link;
        if (m_inBurst[i] ? Chance(link.burstEnd) : Chance(link.burstStart))
            m_inBurst[i] = !m_inBurst[i];
        if (m_inBurst[i] || Chance(link.loss))
            return;
        Micros when = at + (Chance(link.reorder) ? link.reorderBy : 0);
        Schedule(static_cast<int>(i), bytes, when);
        if (Chance(link.duplicate))
            Schedule(static_cast<int>(i), bytes, when + 50);
    }

    // A receiver's packet goes to the group: the sender and every other receiver.
    void FromReceiver(size_t from, const std::vector<uint8_t> &bytes, Micros now)
    {
        Micros at = now + 2 * m_setup.oneWay;
        Schedule(kSender, bytes, at);
        for (size_t i = 0; i < m_receivers.size(); ++i)
            if (i != from)
                ToReceiver(i, bytes, at);
        if (Chance(m_setup.garbage))
            Garbage(bytes, at);
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
        for (size_t i = 0; i < m_receivers.size(); ++i)
            Schedule(static_cast<int>(i), bytes, at);
    }

    void Schedule(int to, const std::vector<uint8_t> &bytes, Micros at)
    {
        m_queue.push(Delivery{at, m_order++, to, bytes});
    }

    void DeliverDue(Micros now)
    {
        while (!m_queue.empty() && m_queue.top().at <= now) {
            Delivery d = m_queue.top();
            m_queue.pop();
            if (d.to == kSender) {
                m_sender->OnPacket(d.bytes.data(), d.bytes.size(), now);
            } else if (Alive(d.to, now)) {
                m_receivers[d.to]->OnPacket(d.bytes.data(), d.bytes.size(), now);
                Collect(d.to, now);
            }
        }
    }

    void PollDue(Micros now)
    {
        if (m_sender->NextWakeUp() <= now)
            m_sender->Poll(now);
        for (cast::Outgoing &p : m_sender->TakeOutgoing())
            FromSender(std::move(p.bytes), now);
        for (size_t i = 0; i < m_receivers.size(); ++i) {
            if (Alive(i, now) && m_receivers[i]->NextWakeUp() <= now) {
                m_receivers[i]->Poll(now);
                Collect(i, now);
            }
        }
    }

    void Collect(size_t i, Micros now)
    {
        for (cast::Outgoing &p : m_receivers[i]->TakeOutgoing())
            FromReceiver(i, p.bytes, now);
        for (const cast::ReceiverEvent &e : m_receivers[i]->TakeEvents())
            if (e.kind == cast::ReceiverEvent::kComplete && m_outcome.completeAt[i] == cast::kNever)
                m_outcome.completeAt[i] = now;
    }

    Micros NextEvent(Micros now) const
    {
        Micros next = m_sender->NextWakeUp();
        if (!m_queue.empty())
            next = std::min(next, m_queue.top().at);
        for (size_t i = 0; i < m_receivers.size(); ++i) {
            const Member &m = m_setup.receivers[i];
            if (now < m.dieAt)
                next = std::min(next, std::max(m_receivers[i]->NextWakeUp(), m.joinAt));
        }
        if (!m_restarted && m_setup.restartSenderAt != cast::kNever)
            next = std::min(next, m_setup.restartSenderAt);
        return next;
    }

    const Setup &m_setup;
    const std::vector<uint8_t> &m_object;
    MemorySource m_source;
    std::mt19937_64 m_random;
    std::vector<bool> m_inBurst;
    std::vector<std::unique_ptr<MemorySink>> m_sinks;
    std::vector<std::unique_ptr<cast::CastReceiver>> m_receivers;
    std::unique_ptr<cast::CastSender> m_sender;
    bool m_restarted = false;
    Micros m_uplinkFree = 0;
    uint64_t m_order = 0;
    std::priority_queue<Delivery, std::vector<Delivery>, std::greater<Delivery>> m_queue;
    Outcome m_outcome;
};

}  // namespace

Outcome Run(const Setup &setup, const std::vector<uint8_t> &object)
{
    Network network(setup, object);
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
