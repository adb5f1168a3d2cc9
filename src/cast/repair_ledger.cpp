#include "cast/repair_ledger.h"

#include "cast/erasure_code.h"

namespace cast {

int RepairLedger::Ask(int need, int k, int firstRepair, int seen, Micros now, Micros inFlight)
{
    if (seen == 0xFFFF && need > k)
        need = k;  // it has seen nothing of the group, so cannot know its size
    int coming = pending;
    if (passedAt + inFlight > now && (seen == 0xFFFF || seen < k))
        coming += seen == 0xFFFF ? k : k - 1 - seen;
    // Repairs go out in index order; it has seen those up to `seen`.
    for (size_t r = 0; r < sentAt.size(); ++r) {
        bool unseen = seen == 0xFFFF || static_cast<int>(r) + firstRepair > seen ||
                      static_cast<int>(r) >= 256 - firstRepair;
        if (unseen && sentAt[r] + inFlight > now)
            ++coming;
    }
    int extra = need - coming;
    if (extra <= 0)
        return 0;
    pending = static_cast<uint16_t>(pending + extra);
    return extra;
}

void EncodeParity(int k, int j, const uint8_t *blocks, size_t block, std::vector<uint8_t> *parity)
{
    std::vector<const uint8_t *> data(k);
    for (int i = 0; i < k; ++i)
        data[i] = blocks + static_cast<size_t>(i) * block;
    parity->resize(block);
    ErasureCode::Encode(k, j, data.data(), block, parity->data());
}

}  // namespace cast
