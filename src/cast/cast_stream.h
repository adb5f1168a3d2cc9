// A live stream over multicast: ordered messages (a screen's frames) from one
// sender to every receiver of a group. Each message is one coding group: its
// blocks, a few parity blocks sent with it at once, and on request more of
// them, for as long as the sender keeps the message (its window). A receiver
// starts at the first message it hears of, hands the messages over whole and
// in order, and skips a message it could not rebuild before the sender let
// it go: a message is delivered whole or not at all.
#ifndef KESNET_CAST_CAST_STREAM_H
#define KESNET_CAST_CAST_STREAM_H

#include <deque>
#include <map>
#include <vector>

#include "cast/cast_core.h"
#include "cast/cast_wire.h"
#include "cast/repair_ledger.h"

namespace cast {

struct StreamSenderConfig {
    uint32_t session = 1;
    uint32_t stream = 1;
    uint16_t blockSize = 1400;
    uint32_t window = 32;          // the newest messages kept for repair
    double proactiveParity = 0.05; // parity blocks sent with each message, a share of its blocks (rounded up)
    double maxRate = 11.6e6;       // bytes a second on the wire
    size_t burstBytes = 4 * 1500;
    Micros headEvery = 100000;     // how often the sender says how far the stream has come
    Micros inFlight = 50000;       // as for objects: a block this recent is not sent again for a request
    // Where it can sign, every message's digest goes signed before the
    // message, with those of the seven before it, and the newest 32 again
    // with every head. Must outlive the sender.
    Attestor *attestor = nullptr;
};

struct StreamSenderStats {
    uint64_t messages = 0;
    uint64_t dataPackets = 0;
    uint64_t parityPackets = 0;  // sent with their message
    uint64_t repairPackets = 0;  // sent on request
    uint64_t attestPackets = 0;
    uint64_t ignored = 0;
};

class StreamSender {
public:
    explicit StreamSender(const StreamSenderConfig &config);
    // The longest message: as many blocks as leave room for one parity block.
    size_t MaxMessage() const { return static_cast<size_t>(m_config.blockSize) * 254; }

    // Queues the next message (copied). false, with nothing queued, for an
    // empty one, one longer than MaxMessage(), or one that could not be
    // signed where the sender attests.
    bool Send(const uint8_t *bytes, size_t length, Micros now);
    void OnPacket(const uint8_t *bytes, size_t length, Micros now);
    void Poll(Micros now);
    Micros NextWakeUp() const;
    std::vector<Outgoing> TakeOutgoing() { return TakeAll(m_out); }
    const StreamSenderStats &Stats() const { return m_stats; }
    // Every message queued has gone.
    bool Idle() const { return m_fresh.empty() && m_repairQueue.empty(); }
    // Bytes of the messages queued that have not gone yet.
    size_t QueuedBytes() const { return m_fresh.size() * m_config.blockSize; }

private:
    struct Message {
        uint32_t seq;
        ObjectShape shape;
        std::vector<uint8_t> blocks;  // k blocks, the last padded
        RepairLedger ledger;
    };
    struct Fresh {
        uint32_t seq;
        std::vector<uint8_t> bytes;
        bool last;  // the message's last data block
    };

    Message *Find(uint32_t seq);
    bool NextPacket(Micros now, Outgoing *packet);
    bool RepairPacket(Micros now, Outgoing *packet);
    // An attestation of the newest `count` digests, queued to go next.
    bool QueueAttest(size_t count);

    StreamSenderConfig m_config;
    bool Attesting() const { return m_config.attestor != nullptr && m_config.attestor->CanSign(); }
    struct Digest {
        uint32_t seq;
        uint8_t bytes[kDigestBytes];
    };
    std::deque<Digest> m_digests;  // of the newest messages, kMaxAttestDigests at most
    std::deque<std::vector<uint8_t>> m_attestations;
    Pacer m_pacer;
    uint32_t m_next = 0;
    std::deque<Message> m_window;
    std::deque<Fresh> m_fresh;
    std::deque<uint32_t> m_repairQueue;
    Micros m_nextHead = 0;
    std::vector<Outgoing> m_out;
    StreamSenderStats m_stats;
};

struct StreamReceiverConfig {
    uint32_t id = 1;
    uint64_t seed = 1;
    Micros nackBackoff = 10000;  // shorter than an object's: a frame is worth little late
    Micros nackHoldoff = 60000;
    // Where it can verify, a stream the teacher attested hands over only the
    // messages the teacher signed, and where it takes only the teacher's,
    // nothing else. Must outlive the receiver.
    Attestor *attestor = nullptr;
};

struct StreamEvent {
    enum Kind { kMessage, kSkipped } kind;
    uint32_t seq;
    std::vector<uint8_t> bytes;  // kMessage: the whole message
    bool teachers = false;       // kMessage: the teacher signed it
};

struct StreamReceiverStats {
    uint64_t delivered = 0;
    uint64_t skipped = 0;
    uint64_t nackPackets = 0;
    uint64_t suppressed = 0;
    uint64_t duplicates = 0;
    uint64_t ignored = 0;
    uint64_t refused = 0;  // attestations not the teacher's (or too old), messages not the bytes it signed
};

class StreamReceiver {
public:
    explicit StreamReceiver(const StreamReceiverConfig &config);

    void OnPacket(const uint8_t *bytes, size_t length, Micros now);
    void Poll(Micros now);
    Micros NextWakeUp() const { return m_wake; }
    std::vector<Outgoing> TakeOutgoing() { return TakeAll(m_out); }
    std::vector<StreamEvent> TakeEvents() { return TakeAll(m_events); }
    const StreamReceiverStats &Stats() const { return m_stats; }

private:
    struct Message {
        bool known = false;  // a block of it came: its size is known
        ObjectShape shape;
        std::vector<uint8_t> blocks;
        std::vector<bool> have;
        int haveData = 0;
        std::vector<int> parityIndex;
        std::vector<std::vector<uint8_t>> parity;
        int seen = -1;
        bool complete = false;
        Micros askAt = kNever;
        Micros quietUntil = 0;
    };

    bool TeachersOnly() const { return m_config.attestor != nullptr && m_config.attestor->TeachersOnly(); }
    void OnAttest(const Packet &p, const uint8_t *bytes);
    bool BringsNews(const Packet &p, bool ours) const;
    enum Verdict { kHandOver, kWait, kAskAgain };
    Verdict Check(uint32_t seq, const std::vector<uint8_t> &bytes);
    void Start(const Packet &p);
    void OnBlock(const Packet &p);
    void Rebuild(Message &m);
    int Need(const Message &m) const;
    void ScheduleRequests(Micros now);
    void Deliver();
    void SendNacks(Micros now);
    void OnOthersNack(const Packet &p, Micros now);
    void UpdateWake();

    StreamReceiverConfig m_config;
    Random m_random;
    bool m_started = false;
    uint32_t m_session = 0;
    uint32_t m_next = 0;    // the next message to hand over
    uint32_t m_end = 0;     // one past the newest message heard of
    uint32_t m_oldest = 0;  // the oldest the sender can still repair
    bool m_oldestKnown = false;
    uint32_t m_headNext = 0;   // what the latest head said comes next
    uint32_t m_sameHeads = 0;  // how many heads in a row said so
    std::map<uint32_t, Message> m_messages;  // from m_next on
    // The stream is the teacher's: an attestation of it verified. Then a
    // message is handed over only once its digest came and matched.
    bool m_teachers = false;
    std::map<uint32_t, std::vector<uint8_t>> m_digests;  // from m_next on
    Micros m_wake = kNever;
    std::vector<Outgoing> m_out;
    std::vector<StreamEvent> m_events;
    StreamReceiverStats m_stats;
};

}  // namespace cast

#endif
