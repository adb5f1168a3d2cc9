// A systematic erasure code over GF(2^8): a group of k data blocks of equal
// size, and up to 256 - k parity blocks, any k of which (data and parity
// together) rebuild the group. Parity block j is the sum over the data blocks
// d_i of c(j, i) d_i, where c(j, i) = 1 / (x_j + y_i) with y_i = i and
// x_j = k + j: the rows of a Cauchy matrix, every square part of which is
// invertible. Plain C++, no platform type.
#ifndef KESNET_CAST_ERASURE_CODE_H
#define KESNET_CAST_ERASURE_CODE_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

namespace cast {

class ErasureCode {
public:
    // Blocks in a group, and parity blocks it can have.
    static const int kMaxBlocks = 256;
    static int MaxParity(int k) { return kMaxBlocks - k; }

    // Parity block j (0 <= j < MaxParity(k)) of the k data blocks, each of
    // size bytes, into parity.
    static void Encode(int k, int j, const uint8_t *const *data, size_t size, uint8_t *parity);

    // Rebuilds the missing data blocks of a group. present[i] says whether
    // data block i (i < k) is in blocks[i]; parityIndex and parity hold as
    // many parity blocks (their j and bytes) as data blocks are missing, or
    // more (the first ones needed are used). The missing blocks are written
    // into blocks[i], which must have room. false when there are too few.
    static bool Decode(int k, size_t size, uint8_t *const *blocks, const bool *present,
                       const std::vector<int> &parityIndex, const std::vector<const uint8_t *> &parity);
};

// GF(2^8) with the polynomial x^8 + x^4 + x^3 + x^2 + 1 (0x11D).
namespace gf256 {
uint8_t Multiply(uint8_t a, uint8_t b);
uint8_t Inverse(uint8_t a);  // a != 0
// to[n] ^= c * from[n] for every byte.
void MultiplyAdd(uint8_t *to, const uint8_t *from, uint8_t c, size_t n);
}  // namespace gf256

}  // namespace cast

#endif
