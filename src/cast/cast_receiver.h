// The receiving side of a multicast transfer. It writes each block of the
// object into its sink as it comes, and once the sender's first pass has gone
// past a group that it still lacks blocks of, asks for them: after a random
// back-off, and only if no other receiver asked for as many of that group in
// the meantime (it hears their requests on the group), so that a whole class
// missing the same blocks costs one request. Parity blocks rebuild whatever is
// missing, whichever blocks those are. It tells the sender it is there, how
// far it has come, and that it has the whole object.
#ifndef KESNET_CAST_CAST_RECEIVER_H
#define KESNET_CAST_CAST_RECEIVER_H

#include <set>
#include <string>
#include <vector>

#include "cast/cast_core.h"
#include "cast/cast_wire.h"

namespace cast {

struct ReceiverConfig {
    uint32_t id = 1;             // this receiver, among the sender's receivers
    uint64_t seed = 1;           // of the random back-offs
    Micros nackBackoff = 30000;  // the longest random wait before a request
    Micros nackHoldoff = 150000; // after a request, how long before the same group is asked for again
    Micros statusEvery = 1000000;
    Micros completeRepeat = 200000;  // the least time between two reports of completion
    // Where it can verify, an object the teacher attested is taken only with
    // the bytes the teacher signed, and where it takes only the teacher's,
    // nothing else is taken. Must outlive the receiver.
    Attestor *attestor = nullptr;
};

struct ReceiverEvent {
    enum Kind { kStarted, kComplete, kAbandoned } kind;
    uint32_t session;
    uint32_t object;
    uint64_t size;
    bool teachers = false;  // kComplete: the teacher attested the object, and every byte is what it signed
};

struct ReceiverStats {
    uint64_t packets = 0;
    uint64_t duplicates = 0;  // blocks it had already, or of groups already whole
    uint64_t ignored = 0;     // malformed, or of no transfer it takes part in
    uint64_t nackPackets = 0;
    uint64_t nackEntries = 0;
    uint64_t suppressed = 0;  // requests left unsent: another receiver asked for as much
    uint64_t rebuilt = 0;     // groups rebuilt from parity
    uint64_t refused = 0;     // attestations not the teacher's (or too old), groups not the bytes it signed
};

class CastReceiver {
public:
    // sink must outlive the receiver.
    CastReceiver(const ReceiverConfig &config, Sink *sink);

    void OnPacket(const uint8_t *bytes, size_t length, Micros now);
    void Poll(Micros now);
    Micros NextWakeUp() const { return m_wake; }
    std::vector<Outgoing> TakeOutgoing();
    std::vector<ReceiverEvent> TakeEvents();

    bool Complete() const { return m_active && m_complete; }
    uint32_t GroupsMissing() const { return m_groupsLeft; }
    const ObjectShape &Shape() const { return m_shape; }
    // The object's name, once an announcement of it came ("" until then, or
    // when the sender gave none).
    const std::string &Name() const { return m_name; }
    // The object is the teacher's (an attestation of it verified); once
    // Complete(), every byte is what the teacher signed.
    bool Teachers() const { return m_active && m_teachers; }
    uint32_t Session() const { return m_session; }
    uint32_t Object() const { return m_object; }
    const ReceiverStats &Stats() const { return m_stats; }

private:
    struct Group {
        std::vector<bool> have;  // data blocks written
        int haveData = 0;
        std::vector<int> parityIndex;
        std::vector<std::vector<uint8_t>> parity;
        int seen = -1;           // highest block index seen
        bool complete = false;
        bool verified = false;   // the teacher's digest of it matched
        Micros askAt = kNever;   // when its request goes, if one is due
        Micros quietUntil = 0;   // no request before this
    };

    bool TeachersOnly() const { return m_config.attestor != nullptr && m_config.attestor->TeachersOnly(); }
    void OnAttest(const Packet &p, const uint8_t *bytes, Micros now);
    bool BringsNews(const Packet &p, bool ours) const;
    void BecomeTeachers();
    void VerifyGroup(uint32_t g, Micros now);
    bool Begin(const Packet &p, Micros now);
    void Abandon();
    void OnBlock(const Packet &p, Micros now);
    void Rebuild(uint32_t g, Group &group);
    void GroupComplete(uint32_t g, Group &group, Micros now);
    void FinishWhenWhole(Micros now);
    void OnOthersNack(const Packet &p, Micros now);
    void PassedUpTo(uint32_t position, Micros now);
    int Need(uint32_t g, const Group &group) const;
    void SendNacks(Micros now);
    void SendStatus(Micros now);
    void UpdateWake();

    ReceiverConfig m_config;
    Sink *m_sink;
    Random m_random;
    bool m_active = false;
    bool m_complete = false;
    uint32_t m_session = 0;
    uint32_t m_object = 0;
    ObjectShape m_shape;
    std::string m_name;
    bool m_announced = false;  // an announcement of the object came (with its name, if any)
    std::vector<Group> m_groups;
    uint32_t m_groupsLeft = 0;
    // The object is the teacher's: an attestation of it verified. Then a
    // whole group counts only once its digest matched.
    bool m_teachers = false;
    std::vector<uint8_t> m_digests;
    std::vector<bool> m_digestKnown;
    uint32_t m_unverified = 0;       // groups whole, their digest not matched yet
    std::vector<uint8_t> m_checked;  // a group's bytes while its digest is taken
    uint32_t m_passed = 0;         // groups the first pass is known to have gone past
    std::set<uint32_t> m_missing;  // groups passed and not whole
    Micros m_nextStatus = kNever;
    Micros m_lastStatus = 0;
    Micros m_wake = kNever;
    std::vector<uint8_t> m_rebuilt;  // a group's blocks while it is rebuilt, kept for the next
    std::vector<Outgoing> m_out;
    std::vector<ReceiverEvent> m_events;
    ReceiverStats m_stats;
};

}  // namespace cast

#endif
