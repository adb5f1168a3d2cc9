// A simulated classroom network in one process, for the multicast transfer's
// state machines: one sender behind a shaped link (a rate and a queue that
// drops what does not fit, as a token bucket filter does), receivers each
// behind a link of its own that loses, bursts, reorders or duplicates as told,
// receivers that join late or die, a sender that starts again. Time is
// virtual and every random choice comes from one seed: a run repeats exactly.
#ifndef KESNET_TESTS_CAST_SIM_NETWORK_H
#define KESNET_TESTS_CAST_SIM_NETWORK_H

#include <map>
#include <random>
#include <string>
#include <vector>

#include "cast/cast_receiver.h"
#include "cast/cast_sender.h"
#include "cast/cast_stream.h"

namespace sim {

using cast::Micros;

// What a receiver's input does to the packets that reach it.
struct Link {
    double loss = 0;        // each packet lost with this chance
    double burstStart = 0;  // chance, per packet, that a burst of losses starts
    double burstEnd = 0.2;  // chance, per packet, that it ends
    double reorder = 0;     // chance that a packet is held back...
    Micros reorderBy = 3000;  // ... by this long
    double duplicate = 0;   // chance that a packet comes twice
};

struct Member {
    Link link;
    Micros joinAt = 0;             // hears nothing before
    Micros dieAt = cast::kNever;   // hears and says nothing after
    Micros deafFrom = cast::kNever, deafUntil = 0;  // hears nothing in between (a link that is down)
};

struct Setup {
    uint64_t seed = 1;
    std::vector<Member> receivers;
    cast::SenderConfig sender;
    double uplinkBitsPerSecond = 100e6;
    size_t uplinkQueueBytes = 64 * 1024;
    Micros oneWay = 150;                 // propagation, each way
    Micros restartSenderAt = cast::kNever;  // a new sender (new session) takes over
    double garbage = 0;                  // chance, per packet sent, that a malformed one follows it
    double sharedLoss = 0;               // chance that a sender's packet is lost before it is copied to the receivers
    Micros limit = 120000000;
};

struct Outcome {
    bool finished = false;
    Micros finishedAt = 0;
    std::vector<bool> whole;          // each receiver's copy is the object, byte for byte
    std::vector<Micros> completeAt;   // when each receiver had it (kNever: never)
    std::vector<cast::ReceiverStats> receivers;
    std::vector<std::string> names;   // the object's name, as each receiver heard it
    cast::SenderStats sender;         // of the last sender
    std::map<uint32_t, cast::ReceiverStatus> table;  // the last sender's receiver table
    uint64_t uplinkDrops = 0;
    uint64_t linkDrops = 0;           // packets the receivers' links lost, all together
    uint64_t sharedDrops = 0;         // the sender's packets lost before they were copied (sharedLoss)
    size_t sharedLossGroups = 0;      // groups of the object that lost a data block so
    uint64_t nackPackets = 0;         // every receiver's
    // Receiver ids are 1000 + the receiver's index.
    static uint32_t IdOf(size_t i) { return static_cast<uint32_t>(1000 + i); }
};

// A class of `receivers` members, each link losing `loss` of the packets.
Setup Class(size_t receivers, double loss, uint64_t seed = 1);

Outcome Run(const Setup &setup, const std::vector<uint8_t> &object);

// A live stream: message i goes at i * every; the run lasts until drain after
// the last.
struct StreamSetup {
    cast::StreamSenderConfig sender;
    std::vector<std::vector<uint8_t>> messages;
    Micros every = 33333;  // 30 a second
    Micros drain = 2000000;
};

struct StreamOutcome {
    std::vector<std::vector<cast::StreamEvent>> events;  // each receiver's, in order
    std::vector<cast::StreamReceiverStats> receivers;
    cast::StreamSenderStats sender;
};

StreamOutcome RunStream(const Setup &setup, const StreamSetup &stream);

std::vector<uint8_t> RandomBytes(size_t n, uint64_t seed);

}  // namespace sim

#endif
