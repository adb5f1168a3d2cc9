#include "cast/erasure_code.h"

#include <string.h>

namespace cast {

namespace {

struct Tables {
    uint8_t exp[512];
    uint8_t log[256];
    uint8_t product[256][256];  // every product, so that a block's bytes take one lookup each

    Tables()
    {
        unsigned x = 1;
        for (int i = 0; i < 255; ++i) {
            exp[i] = static_cast<uint8_t>(x);
            exp[i + 255] = static_cast<uint8_t>(x);
            log[x] = static_cast<uint8_t>(i);
            x <<= 1;
            if (x & 0x100)
                x ^= 0x11D;
        }
        exp[510] = exp[0];
        exp[511] = exp[1];
        log[0] = 0;  // never used: 0 has no logarithm
        for (int a = 0; a < 256; ++a)
            for (int b = 0; b < 256; ++b)
                product[a][b] = (a == 0 || b == 0) ? 0 : exp[log[a] + log[b]];
    }
};

const Tables &T()
{
    static const Tables tables;
    return tables;
}

// The coefficient of data block i in parity block j of a group of k.
uint8_t Coefficient(int k, int j, int i)
{
    return gf256::Inverse(static_cast<uint8_t>((k + j) ^ i));
}

// Inverts the n x n matrix m (row-major) in place by Gauss-Jordan
// elimination. false if it is singular.
bool Invert(std::vector<uint8_t> &m, int n)
{
    std::vector<uint8_t> inv(static_cast<size_t>(n) * n, 0);
    for (int i = 0; i < n; ++i)
        inv[i * n + i] = 1;
    for (int col = 0; col < n; ++col) {
        int pivot = col;
        while (pivot < n && m[pivot * n + col] == 0)
            ++pivot;
        if (pivot == n)
            return false;
        if (pivot != col) {
            for (int c = 0; c < n; ++c) {
                std::swap(m[pivot * n + c], m[col * n + c]);
                std::swap(inv[pivot * n + c], inv[col * n + c]);
            }
        }
        uint8_t scale = gf256::Inverse(m[col * n + col]);
        for (int c = 0; c < n; ++c) {
            m[col * n + c] = gf256::Multiply(m[col * n + c], scale);
            inv[col * n + c] = gf256::Multiply(inv[col * n + c], scale);
        }
        for (int r = 0; r < n; ++r) {
            uint8_t f = m[r * n + col];
            if (r == col || f == 0)
                continue;
            for (int c = 0; c < n; ++c) {
                m[r * n + c] ^= gf256::Multiply(f, m[col * n + c]);
                inv[r * n + c] ^= gf256::Multiply(f, inv[col * n + c]);
            }
        }
    }
    m.swap(inv);
    return true;
}

}  // namespace

namespace gf256 {

uint8_t Multiply(uint8_t a, uint8_t b)
{
    return T().product[a][b];
}

uint8_t Inverse(uint8_t a)
{
    return T().exp[255 - T().log[a]];
}

void MultiplyAdd(uint8_t *to, const uint8_t *from, uint8_t c, size_t n)
{
    if (c == 0)
        return;
    const uint8_t *row = T().product[c];
    // Eight bytes at a time: a repair rebuilds a group from every block of
    // it, so this loop is most of what a receiver computes.
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t in, out;
        memcpy(&in, from + i, 8);
        memcpy(&out, to + i, 8);
        uint64_t product = 0;
        for (int b = 0; b < 64; b += 8)
            product |= static_cast<uint64_t>(row[(in >> b) & 0xFF]) << b;
        out ^= product;
        memcpy(to + i, &out, 8);
    }
    for (; i < n; ++i)
        to[i] ^= row[from[i]];
}

}  // namespace gf256

void ErasureCode::Encode(int k, int j, const uint8_t *const *data, size_t size, uint8_t *parity)
{
    memset(parity, 0, size);
    for (int i = 0; i < k; ++i)
        gf256::MultiplyAdd(parity, data[i], Coefficient(k, j, i), size);
}

bool ErasureCode::Decode(int k, size_t size, uint8_t *const *blocks, const bool *present,
                         const std::vector<int> &parityIndex, const std::vector<const uint8_t *> &parity)
{
    std::vector<int> missing;
    for (int i = 0; i < k; ++i)
        if (!present[i])
            missing.push_back(i);
    const int n = static_cast<int>(missing.size());
    if (n == 0)
        return true;
    if (static_cast<int>(parity.size()) < n || parityIndex.size() != parity.size())
        return false;

    // Each parity block used, less what the present data blocks gave it, is
    // the missing blocks times the Cauchy rows of that parity block.
    std::vector<std::vector<uint8_t>> rest(n, std::vector<uint8_t>(size));
    std::vector<uint8_t> m(static_cast<size_t>(n) * n);
    for (int r = 0; r < n; ++r) {
        const int j = parityIndex[r];
        memcpy(rest[r].data(), parity[r], size);
        for (int i = 0; i < k; ++i)
            if (present[i])
                gf256::MultiplyAdd(rest[r].data(), blocks[i], Coefficient(k, j, i), size);
        for (int c = 0; c < n; ++c)
            m[r * n + c] = Coefficient(k, j, missing[c]);
    }
    if (!Invert(m, n))
        return false;
    for (int c = 0; c < n; ++c) {
        uint8_t *out = blocks[missing[c]];
        memset(out, 0, size);
        for (int r = 0; r < n; ++r)
            gf256::MultiplyAdd(out, rest[r].data(), m[c * n + r], size);
    }
    return true;
}

}  // namespace cast
