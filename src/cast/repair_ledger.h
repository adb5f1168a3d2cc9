// What a sender keeps of the repairs of one coding group (an object's group,
// or a stream's message), and how it makes them.
#ifndef KESNET_CAST_REPAIR_LEDGER_H
#define KESNET_CAST_REPAIR_LEDGER_H

#include <vector>

#include "cast/cast_core.h"

namespace cast {

struct RepairLedger {
    uint16_t nextParity = 0;     // the next repair block to make
    uint16_t pending = 0;        // repairs asked for and not yet sent
    bool queued = false;         // in the sender's queue of repairs
    Micros passedAt = 0;         // when its last data block went
    std::vector<Micros> sentAt;  // when each repair went, in order

    // A receiver whose highest block of the group seen is `seen` (0xFFFF:
    // none) needs `need` more: the repairs it adds (kept in `pending`), which
    // leave out the blocks that may still be on their way to it (sent after
    // its `seen` less than inFlight ago, and those pending). firstRepair is
    // the block index of the first repair (the group's k for a full group).
    int Ask(int need, int k, int firstRepair, int seen, Micros now, Micros inFlight);

    // Makes the next repair of a group of k data blocks (block bytes each,
    // the last padded with zeros, one after the other in `blocks`): a parity
    // block while the code has any left, then the data blocks again in turn.
    // Its block index goes to *index, its bytes (dataBytes(i) for a data
    // block) to *bytes.
    template <typename DataBytes>
    void MakeNext(int k, int firstRepair, const uint8_t *blocks, size_t block, DataBytes dataBytes, uint8_t *index,
                  std::vector<uint8_t> *bytes, Micros now);
};

void EncodeParity(int k, int j, const uint8_t *blocks, size_t block, std::vector<uint8_t> *parity);

template <typename DataBytes>
void RepairLedger::MakeNext(int k, int firstRepair, const uint8_t *blocks, size_t block, DataBytes dataBytes,
                            uint8_t *index, std::vector<uint8_t> *bytes, Micros now)
{
    const int parityRoom = 256 - firstRepair;  // a block index is one byte
    const int j = nextParity++;
    if (j < parityRoom) {
        EncodeParity(k, j, blocks, block, bytes);
        *index = static_cast<uint8_t>(firstRepair + j);
    } else {
        const int i = (j - parityRoom) % k;
        bytes->assign(blocks + static_cast<size_t>(i) * block, blocks + static_cast<size_t>(i) * block + dataBytes(i));
        *index = static_cast<uint8_t>(i);
    }
    if (pending > 0)
        --pending;
    sentAt.push_back(now);
}

}  // namespace cast

#endif
