// The erasure code: any k of a group's blocks, data and parity together,
// give back the k data blocks, whichever are missing.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "cast/erasure_code.h"

namespace {

using cast::ErasureCode;
using Block = std::vector<uint8_t>;

std::vector<Block> DataBlocks(int k, size_t size, std::mt19937_64 &random)
{
    std::vector<Block> blocks(k, Block(size));
    for (Block &b : blocks)
        for (uint8_t &byte : b)
            byte = static_cast<uint8_t>(random());
    return blocks;
}

Block Parity(const std::vector<Block> &data, int j)
{
    std::vector<const uint8_t *> pointers;
    for (const Block &b : data)
        pointers.push_back(b.data());
    Block parity(data[0].size());
    ErasureCode::Encode(static_cast<int>(data.size()), j, pointers.data(), parity.size(), parity.data());
    return parity;
}

// Loses `lost` data blocks at random, rebuilds them from `lost` parity blocks
// chosen at random among all there can be; true if every block came back.
bool LoseAndRebuild(const std::vector<Block> &data, int lost, std::mt19937_64 &random)
{
    const int k = static_cast<int>(data.size());
    std::vector<int> order(k);
    for (int i = 0; i < k; ++i)
        order[i] = i;
    std::shuffle(order.begin(), order.end(), random);
    std::vector<Block> blocks = data;
    std::unique_ptr<bool[]> present(new bool[k]);
    std::fill(present.get(), present.get() + k, true);
    for (int i = 0; i < lost; ++i) {
        present[order[i]] = false;
        std::fill(blocks[order[i]].begin(), blocks[order[i]].end(), 0xA5);
    }
    std::vector<int> js(ErasureCode::MaxParity(k));
    for (size_t j = 0; j < js.size(); ++j)
        js[j] = static_cast<int>(j);
    std::shuffle(js.begin(), js.end(), random);
    js.resize(lost);
    std::vector<Block> parity;
    std::vector<const uint8_t *> parityPointers;
    for (int j : js)
        parity.push_back(Parity(data, j));
    for (const Block &p : parity)
        parityPointers.push_back(p.data());
    std::vector<uint8_t *> pointers;
    for (Block &b : blocks)
        pointers.push_back(b.data());
    return ErasureCode::Decode(k, data[0].size(), pointers.data(), present.get(), js, parityPointers) &&
           blocks == data;
}

TEST(ErasureCode, AnyKOfTheBlocksRebuildTheGroup)
{
    std::mt19937_64 random(42);
    struct Case {
        int k;
        std::vector<int> lost;
    };
    // From one block to 254, losing none, one, several, or as many as parity can stand in for.
    const Case cases[] = {{1, {0, 1}},          {2, {1, 2}},           {5, {1, 3, 5}},
                          {64, {1, 4, 17, 64}}, {128, {1, 6, 40, 128}}, {200, {1, 20, 56}},
                          {254, {1, 2}}};
    for (const Case &c : cases) {
        std::vector<Block> data = DataBlocks(c.k, 97, random);
        for (int lost : c.lost) {
            for (int round = 0; round < 3; ++round)
                EXPECT_TRUE(LoseAndRebuild(data, lost, random)) << "k " << c.k << ", " << lost << " lost";
        }
    }
}

TEST(ErasureCode, TooFewParityBlocksRebuildNothing)
{
    std::mt19937_64 random(7);
    std::vector<Block> data = DataBlocks(10, 16, random);
    std::vector<Block> blocks = data;
    bool present[10] = {false, true, false, true, true, true, true, true, true, true};
    Block parity = Parity(data, 3);
    std::vector<uint8_t *> pointers;
    for (Block &b : blocks)
        pointers.push_back(b.data());
    EXPECT_FALSE(ErasureCode::Decode(10, 16, pointers.data(), present, {3}, {parity.data()}));
    EXPECT_TRUE(ErasureCode::Decode(10, 16, pointers.data(), present, {3, 0}, {parity.data(), Parity(data, 0).data()}) &&
                blocks == data);
}

// The product by shifts and reductions, apart from the library's tables.
uint8_t MultiplyByShifts(uint8_t a, uint8_t b)
{
    unsigned product = 0, x = a;
    for (; b != 0; b >>= 1) {
        if (b & 1)
            product ^= x;
        x <<= 1;
        if (x & 0x100)
            x ^= 0x11D;
    }
    return static_cast<uint8_t>(product);
}

// Every byte of a run, whether it falls in the eight-byte part or the tail,
// at any alignment, gets its own product added and no other.
TEST(ErasureCode, MultiplyAddAddsEachBytesProduct)
{
    std::mt19937_64 random(3);
    Block from(40), to(40);
    for (size_t n : {0, 1, 7, 8, 9, 16, 23, 31}) {
        for (size_t at : {0, 1, 5}) {
            for (int c : {0, 1, 2, 0x53, 0xFF}) {
                for (uint8_t &byte : from)
                    byte = static_cast<uint8_t>(random());
                for (uint8_t &byte : to)
                    byte = static_cast<uint8_t>(random());
                Block want = to;
                for (size_t i = at; i < at + n; ++i)
                    want[i] ^= MultiplyByShifts(static_cast<uint8_t>(c), from[i]);
                cast::gf256::MultiplyAdd(to.data() + at, from.data() + at, static_cast<uint8_t>(c), n);
                EXPECT_EQ(want, to) << n << " bytes at " << at << ", times " << c;
            }
        }
    }
}

TEST(ErasureCode, TheFieldHasItsInverses)
{
    for (int a = 1; a < 256; ++a)
        EXPECT_EQ(1, cast::gf256::Multiply(static_cast<uint8_t>(a), cast::gf256::Inverse(static_cast<uint8_t>(a))))
            << a;
}

}  // namespace
