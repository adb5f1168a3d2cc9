// Published AES-256-GCM answers with additional data and nothing to encrypt,
// for auth::Gmac on each platform: the DLL's CNG under Wine and libcrypto on
// Linux must give the same tags, or a stream between them would end at its
// first frame. McGrew and Viega's test case 13, then NIST's CAVS cases
// (gcmEncryptExtIV256, 96-bit IV, no plaintext) with 16, 20, 48 and 90 bytes
// of additional data: a whole block, part of one, several, several and part.
#ifndef KESNET_TESTS_AUTH_GMAC_ANSWERS_H
#define KESNET_TESTS_AUTH_GMAC_ANSWERS_H

#include <stdio.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "auth/crypto.h"

namespace gmac_answers {

struct Answer {
    const char *key, *nonce, *data, *tag;
};

const Answer kAnswers[] = {
    {"0000000000000000000000000000000000000000000000000000000000000000", "000000000000000000000000", "",
     "530f8afbc74536b9a963b4f1c4cb738b"},
    {"78dc4e0aaf52d935c3c01eea57428f00ca1fd475f5da86a49c8dd73d68c8e223", "d79cf22d504cc793c3fb6c8a",
     "b96baa8c1c75a671bfb2d08d06be5f36", "3e5d486aa2e30b22e040b85723a06e76"},
    {"886cff5f3e6b8d0e1ad0a38fcdb26de97e8acbe79f6bed66959a598fa5047d65", "3a8efa1cd74bbab5448f9945",
     "519fee519d25c7a304d6c6aa1897ee1eb8c59655", "f6d47505ec96c98a42dc3ae719877b87"},
    {"f4069bb739d07d0cafdcbc609ca01597f985c43db63bbaaa0debbb04d384e49c", "d25ff30fdc3d464fe173e805",
     "3e1449c4837f0892f9d55127c75c4b25d69be334baf5f19394d2d8bb460cbf2120e14736d0f634aa792feca20e455f11",
     "805ec2931c2181e5bfb74fa0a975f0cf"},
    {"03ccb7dbc7b8425465c2c3fc39ed0593929ffd02a45ff583bd89b79c6f646fe9", "fd119985533bd5520b301d12",
     "98e68c10bf4b5ae62d434928fc6405147c6301417303ef3a703dcfd2c0c339a4d0a89bd29fe61fecf1066ab06d7a5c31a48ffbfe"
     "d22f749b17e9bd0dc1c6f8fbd6fd4587184db964d5456132106d782338c3f117ec05229b0899",
     "cf54e7141349b66f248154427810c87a"},
};

inline std::vector<uint8_t> FromHex(const char *hex)
{
    std::vector<uint8_t> bytes;
    for (; hex[0] != '\0' && hex[1] != '\0'; hex += 2) {
        unsigned byte = 0;
        sscanf(hex, "%2x", &byte);
        bytes.push_back(static_cast<uint8_t>(byte));
    }
    return bytes;
}

inline std::string ToHex(const uint8_t *bytes, size_t size)
{
    std::string hex;
    for (size_t i = 0; i < size; ++i) {
        char two[3];
        snprintf(two, sizeof two, "%02x", bytes[i]);
        hex += two;
    }
    return hex;
}

// The answers asked for in turns, each both from a Gmac of its own, keyed
// once and used again and again, and from one Gmac keyed anew each time: a
// hash state kept from the call before, or a key that the next one did not
// replace, cannot pass.
inline void ExpectPublishedAnswers()
{
    std::vector<std::unique_ptr<auth::Gmac>> keyedOnce;
    for (const Answer &a : kAnswers) {
        std::vector<uint8_t> key = FromHex(a.key);
        ASSERT_EQ(key.size(), auth::kGmacKeyBytes);
        keyedOnce.emplace_back(new auth::Gmac);
        ASSERT_TRUE(keyedOnce.back()->SetKey(key.data())) << a.tag;
    }
    auth::Gmac keyedAnew;
    for (size_t turn : {0, 1, 0, 0, 4, 2, 3, 4, 1, 3, 2, 0}) {
        const Answer &a = kAnswers[turn];
        std::vector<uint8_t> key = FromHex(a.key), nonce = FromHex(a.nonce), data = FromHex(a.data);
        ASSERT_EQ(nonce.size(), auth::kGmacNonceBytes);
        uint8_t tag[auth::kGmacTagBytes];
        ASSERT_TRUE(keyedOnce[turn]->Tag(nonce.data(), data.data(), data.size(), tag)) << "answer " << turn;
        EXPECT_EQ(ToHex(tag, sizeof tag), a.tag) << "answer " << turn << ", key set once";
        ASSERT_TRUE(keyedAnew.SetKey(key.data())) << "answer " << turn;
        ASSERT_TRUE(keyedAnew.Tag(nonce.data(), data.data(), data.size(), tag)) << "answer " << turn;
        EXPECT_EQ(ToHex(tag, sizeof tag), a.tag) << "answer " << turn << ", key set anew";
    }
    // A Gmac without a key tags nothing.
    auth::Gmac keyless;
    uint8_t nonce[auth::kGmacNonceBytes] = {}, tag[auth::kGmacTagBytes];
    EXPECT_FALSE(keyless.Tag(nonce, nonce, sizeof nonce, tag));
}

}  // namespace gmac_answers

#endif
