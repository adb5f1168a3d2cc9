// The sending side of a multicast transfer: one object (a file or a buffer)
// to every receiver of a group at once. It paces its packets, sends the
// object's blocks once in order (the first pass), answers repair requests with
// parity blocks of the groups asked for (the most any receiver asked for, less
// what is already on its way), announces the object as it goes, and keeps a
// table of its receivers: who has it, who still lacks blocks, who fell away.
// It finishes when every receiver it knows of (and every one it expects) has
// the object, has been dropped, or never came.
#ifndef KESNET_CAST_CAST_SENDER_H
#define KESNET_CAST_CAST_SENDER_H

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "cast/cast_core.h"
#include "cast/cast_wire.h"
#include "cast/repair_ledger.h"

namespace cast {

struct SenderConfig {
    uint32_t session = 1;      // new at every start (the driver draws it at random)
    uint16_t blockSize = 1400; // bytes of a block: a packet of 1432 bytes, room left for a trailer
    uint8_t groupBlocks = 192; // k: data blocks per coding group (64 parity blocks to each)
    // Bytes a second on the wire (IP and UDP headers counted), the most and the
    // least: 11.6 MB/s is 93 Mbit/s, under a classroom's 100 Mbit/s link.
    double maxRate = 11.6e6;
    double minRate = 1.0e6;
    size_t burstBytes = 4 * 1500;  // how far ahead of the rate a burst may go
    Micros announceEvery = 200000;
    // Every ratePeriod the repair asked for is weighed against what was sent:
    // more than slowDownAt of it steps the rate down by a quarter, less than a
    // quarter of that steps it up by a tenth. The one receiver that asked most
    // is left out when there are three or more, so that one bad link does not
    // slow the class.
    Micros ratePeriod = 250000;
    double slowDownAt = 0.10;
    Micros silentDrop = 3000000;    // a receiver not heard from for this long has fallen away
    Micros expectedWait = 2000000;  // after the first pass, how long an expected receiver not yet heard is awaited
    Micros lateGrace = 3000000;     // once all others have it, the least time the slowest still get
    // A block sent less than this long ago may still be on its way to a
    // receiver that asks for its group: it is not sent again for it.
    Micros inFlight = 50000;
    // While the first pass runs, repairs take at most this share of what is
    // sent: a receiver that loses much cannot stall the pass for the class.
    double repairShareInPass = 0.25;
    std::vector<uint32_t> expected; // receiver ids of the class; empty: whoever announces itself
    std::string name;               // the object's name for the receivers (cast::ValidName), or none
    // Where it can sign, the object goes attested: its start, and the digest
    // of each group before the group's blocks. Must outlive the sender.
    Attestor *attestor = nullptr;
};

enum class ReceiverState { kReceiving, kComplete, kDropped, kAbsent };

struct ReceiverStatus {
    uint32_t id = 0;
    ReceiverState state = ReceiverState::kReceiving;
    uint32_t groupsMissing = 0;  // as it last said
    Micros lastHeard = 0;
    Micros completeAt = 0;
    const char *why = "";        // for kDropped and kAbsent
};

struct SenderEvent {
    enum Kind { kJoined, kComplete, kDropped, kAbsent, kFinished, kFailed } kind;  // kFailed: why says why
    uint32_t receiver;
    const char *why;
};

struct SenderStats {
    uint64_t dataPackets = 0;    // first-pass data blocks
    uint64_t repairPackets = 0;  // parity blocks (and data blocks resent)
    uint64_t announcePackets = 0;
    uint64_t attestPackets = 0;
    uint64_t bytesOnWire = 0;
    uint64_t nacksHeard = 0;
    uint64_t ignored = 0;        // packets not of this transfer, or malformed
    double rate = 0;             // bytes a second now
};

class CastSender {
public:
    explicit CastSender(const SenderConfig &config);

    // Starts sending object number `object`, size bytes read from source
    // (which must outlive the transfer). false, with nothing started, for an
    // empty object, one too large for the block and group sizes, or a
    // transfer already under way.
    bool Start(uint32_t object, uint64_t size, Source *source, Micros now);
    void OnPacket(const uint8_t *bytes, size_t length, Micros now);
    // Sends what the rate allows now, and does what is due.
    void Poll(Micros now);
    // When Poll next has something to do (kNever: only a packet can change that).
    Micros NextWakeUp() const;
    std::vector<Outgoing> TakeOutgoing();
    std::vector<SenderEvent> TakeEvents();

    bool Finished() const { return m_finished; }
    // Every receiver known or expected, by id.
    const std::map<uint32_t, ReceiverStatus> &Receivers() const { return m_receivers; }
    const SenderStats &Stats() const { return m_stats; }
    const ObjectShape &Shape() const { return m_shape; }
    // Groups the first pass has sent.
    uint32_t Position() const { return m_position; }

private:
    bool NextPacket(Micros now, Outgoing *packet);
    bool RepairPacket(Outgoing *packet);
    bool DataPacket(Outgoing *packet);
    bool AttestPacket(uint32_t first, Outgoing *packet);
    bool DigestGroup(uint32_t g, const uint8_t *group);
    void QueueRotation();
    // The group's blocks, each padded to a whole block; null if they cannot be read.
    const uint8_t *LoadGroup(uint32_t g);
    void OnNack(const Packet &p, Micros now);
    void OnStatus(const Packet &p, Micros now);
    ReceiverStatus &Heard(uint32_t id, Micros now);
    void CheckReceivers(Micros now);
    void AdaptRate(Micros now);
    void Fail(const char *why);
    void Finish();

    SenderConfig m_config;
    Random m_random;
    Source *m_source = nullptr;
    bool m_started = false;
    bool m_finished = false;
    uint32_t m_object = 0;
    ObjectShape m_shape;
    Micros m_startedAt = 0;
    uint32_t m_position = 0;  // next group of the first pass
    int m_nextIndex = 0;      // next block of that group
    Micros m_passDoneAt = kNever;
    Micros m_nextAnnounce = 0;
    std::vector<RepairLedger> m_groups;
    // Attesting: the digests of the groups the first pass has reached, and
    // the attestations due, each by the first group it names.
    bool m_attesting = false;
    std::vector<uint8_t> m_digests;
    uint32_t m_digested = 0;
    std::deque<uint32_t> m_attestQueue;
    uint32_t m_rotation = 0;
    std::vector<uint32_t> m_repairQueue;  // groups with repairs pending, oldest first
    size_t m_repairHead = 0;
    static const uint32_t kNoGroup = 0xFFFFFFFFu;
    struct GroupCache {
        uint32_t group = kNoGroup;
        uint64_t used = 0;
        std::vector<uint8_t> bytes;
    };
    GroupCache m_caches[2];
    uint64_t m_cacheClock = 0;
    Pacer m_pacer;
    Micros m_now = 0;  // of the latest Poll
    Micros m_periodStart = 0;
    uint64_t m_periodSent = 0;
    std::map<uint32_t, uint64_t> m_periodAsked;
    std::map<uint32_t, ReceiverStatus> m_receivers;
    Micros m_othersDoneAt = kNever;
    std::vector<Outgoing> m_out;
    std::vector<SenderEvent> m_events;
    SenderStats m_stats;
};

}  // namespace cast

#endif
