// The authentication core on this machine's libcrypto: key files, the
// trailer's tag and signature, and the replay window.
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "auth/keys.h"
#include "auth/stream_guard.h"
#include "auth/trailer.h"
#include "gmac_answers.h"

namespace {

using auth::Refusal;

const auth::WallMicros kNow = 1796000000ull * 1000 * 1000;  // a December 2026 morning
const uint16_t kPort = 47001;

auth::ClassKey RandomClassKey()
{
    auth::ClassKey key;
    EXPECT_TRUE(auth::RandomBytes(key.bytes, sizeof key.bytes));
    return key;
}

std::shared_ptr<auth::Settings> ClassSettings(const auth::ClassKey &key)
{
    std::shared_ptr<auth::Settings> settings = auth::Settings::ForClassKey(key);
    EXPECT_NE(settings, nullptr);
    return settings;
}

std::vector<uint8_t> Sealed(auth::Sealer &sealer, const auth::Settings &settings, const std::string &payload,
                            auth::WallMicros now = kNow, uint16_t port = kPort)
{
    std::vector<uint8_t> bytes(payload.begin(), payload.end());
    bytes.resize(payload.size() + auth::kTeacherTrailerBytes);
    size_t size = sealer.Seal(settings, bytes.data(), payload.size(), bytes.size(), port, now);
    EXPECT_NE(size, 0u);
    bytes.resize(size);
    return bytes;
}

Refusal OpenWith(auth::Opener &opener, const auth::Settings &settings, const std::vector<uint8_t> &bytes,
                 auth::Opened *opened = nullptr, bool teacherOnly = false, uint16_t port = kPort,
                 auth::WallMicros now = kNow)
{
    auth::Opened ignored;
    return opener.Open(settings, bytes.data(), bytes.size(), port, now, teacherOnly, opened ? opened : &ignored);
}

class Trailer : public ::testing::Test {
protected:
    auth::ClassKey key = RandomClassKey();
    std::shared_ptr<auth::Settings> settings = ClassSettings(key);
    auth::Sealer sealer{0x5eed0001};
    auth::Opener opener;
};

TEST_F(Trailer, OpensToTheSamePayloadAndNamesTheSender)
{
    std::vector<uint8_t> bytes = Sealed(sealer, *settings, "hello class");
    EXPECT_EQ(bytes.size(), 11 + auth::kClassTrailerBytes);
    auth::Opened opened;
    ASSERT_EQ(OpenWith(opener, *settings, bytes, &opened), Refusal::kNone);
    EXPECT_EQ(opened.payloadBytes, 11u);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 11), "hello class");
    EXPECT_EQ(opened.id.sender, 0x5eed0001u);
    EXPECT_FALSE(opened.teacher);
    // An empty payload is a datagram too.
    ASSERT_EQ(OpenWith(opener, *settings, Sealed(sealer, *settings, ""), &opened), Refusal::kNone);
    EXPECT_EQ(opened.payloadBytes, 0u);
}

TEST_F(Trailer, EveryChangedBitAndEveryCutIsRefused)
{
    std::vector<uint8_t> original = Sealed(sealer, *settings, "move to slide 7");
    for (size_t at = 0; at < original.size(); ++at) {
        for (int bit = 0; bit < 8; ++bit) {
            std::vector<uint8_t> changed = original;
            changed[at] ^= static_cast<uint8_t>(1 << bit);
            EXPECT_NE(OpenWith(opener, *settings, changed), Refusal::kNone) << "byte " << at << " bit " << bit;
        }
    }
    for (size_t size = 0; size < original.size(); ++size) {
        std::vector<uint8_t> cut(original.begin(), original.begin() + size);
        EXPECT_NE(OpenWith(opener, *settings, cut), Refusal::kNone) << size << " bytes";
    }
    // None of it spent the sequence number: the true datagram still opens.
    EXPECT_EQ(OpenWith(opener, *settings, original), Refusal::kNone);
}

TEST_F(Trailer, RefusesWhatIsNotThisClasssOwn)
{
    std::vector<uint8_t> plain = {'h', 'i'};
    plain.resize(60, 0);
    auth::Sealer outsider(0x0bad), recorder(0x0bad + 1), early(0x0bad + 2);
    std::shared_ptr<auth::Settings> otherClass = ClassSettings(RandomClassKey());
    struct Case {
        const char *what;
        std::vector<uint8_t> bytes;
        uint16_t port;
        Refusal expected;
    } cases[] = {
        {"no trailer", plain, kPort, Refusal::kUnknownSender},
        {"another classroom's key", Sealed(outsider, *otherClass, "hi"), kPort, Refusal::kUnknownSender},
        {"sent to another port", Sealed(sealer, *settings, "hi", kNow, kPort + 1), kPort, Refusal::kBadTag},
        {"recorded eleven minutes ago", Sealed(recorder, *settings, "hi", kNow - 660000000ull), kPort, Refusal::kReplay},
        {"dated eleven minutes ahead", Sealed(early, *settings, "hi", kNow + 660000000ull), kPort, Refusal::kReplay},
    };
    for (const Case &c : cases)
        EXPECT_EQ(OpenWith(opener, *settings, c.bytes, nullptr, false, c.port), c.expected) << c.what;
}

TEST_F(Trailer, TakesEachSequenceNumberOnceWithinTheWindow)
{
    std::vector<std::vector<uint8_t>> sent;
    for (int i = 0; i < 1100; ++i)
        sent.push_back(Sealed(sealer, *settings, "n" + std::to_string(i)));  // same clock: numbers one apart
    // Delivered out of order: the newest first, then the rest backwards.
    EXPECT_EQ(OpenWith(opener, *settings, sent[1099]), Refusal::kNone);
    for (int i = 1098; i >= 1099 - auth::Opener::kWindow + 1; --i)
        ASSERT_EQ(OpenWith(opener, *settings, sent[i]), Refusal::kNone) << i;
    EXPECT_EQ(OpenWith(opener, *settings, sent[1099 - auth::Opener::kWindow]), Refusal::kReplay) << "behind the window";
    EXPECT_EQ(OpenWith(opener, *settings, sent[1099]), Refusal::kReplay);
    EXPECT_EQ(OpenWith(opener, *settings, sent[500]), Refusal::kReplay);
    // A later datagram moves the window on without forgetting what it holds.
    EXPECT_EQ(OpenWith(opener, *settings, Sealed(sealer, *settings, "later", kNow + 5000)), Refusal::kNone);
    EXPECT_EQ(OpenWith(opener, *settings, sent[1098]), Refusal::kReplay);
    // A second receiver has a window of its own.
    auth::Opener other;
    EXPECT_EQ(OpenWith(other, *settings, sent[1099]), Refusal::kNone);
}

TEST_F(Trailer, ForgetsTheLongestSilentSenderWhenItsTableIsFull)
{
    std::vector<uint8_t> first = Sealed(sealer, *settings, "first");
    ASSERT_EQ(OpenWith(opener, *settings, first), Refusal::kNone);
    for (uint32_t s = 1; s <= auth::Opener::kMaxSenders; ++s) {
        auth::Sealer another(0x1000 + s);
        ASSERT_EQ(OpenWith(opener, *settings, Sealed(another, *settings, "x")), Refusal::kNone);
    }
    // Forgotten, the first sender's datagram passes once more (the clock still
    // bounds how old it may be); a sender heard of late is still remembered.
    EXPECT_EQ(OpenWith(opener, *settings, first), Refusal::kNone);
    auth::Sealer last(0x1000 + auth::Opener::kMaxSenders);
    std::vector<uint8_t> recent = Sealed(last, *settings, "y", kNow + 10);
    ASSERT_EQ(OpenWith(opener, *settings, recent), Refusal::kNone);
    EXPECT_EQ(OpenWith(opener, *settings, recent), Refusal::kReplay);
}

class Teacher : public Trailer {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(auth::GenerateTeacherKey(&teacherKey));
        teacher = std::make_shared<auth::Settings>(*settings);
        teacher->haveTeacherPrivate = true;
        teacher->teacherPrivate = teacherKey;
        student = std::make_shared<auth::Settings>(*settings);
        student->haveTeacherPublic = true;
        student->teacherPublic = teacherKey.pub;
    }
    auth::TeacherPrivateKey teacherKey;
    std::shared_ptr<auth::Settings> teacher, student;
};

TEST_F(Teacher, SignedDatagramsAreKnownAsTheTeachers)
{
    std::vector<uint8_t> bytes = Sealed(sealer, *teacher, "lock screens");
    EXPECT_EQ(bytes.size(), 12 + auth::kTeacherTrailerBytes);
    auth::Opened opened;
    ASSERT_EQ(OpenWith(opener, *student, bytes, &opened, true), Refusal::kNone);
    EXPECT_TRUE(opened.teacher);
    EXPECT_EQ(opened.payloadBytes, 12u);
    // A machine that does not hold the teacher's public key takes it as the
    // class's, and so does not call it the teacher's.
    auth::Opener classmate;
    ASSERT_EQ(OpenWith(classmate, *settings, bytes, &opened), Refusal::kNone);
    EXPECT_FALSE(opened.teacher);
}

TEST_F(Teacher, AStudentWithTheClassKeyCannotPoseAsTheTeacher)
{
    auth::TeacherPrivateKey impostor;
    ASSERT_TRUE(auth::GenerateTeacherKey(&impostor));
    auth::Settings posing = *teacher;
    posing.teacherPrivate = impostor;
    std::vector<uint8_t> forged = Sealed(sealer, posing, "unlock screens");
    EXPECT_EQ(OpenWith(opener, *student, forged), Refusal::kNoSignature);
    // Unsigned class traffic is the class's: refused only where the teacher's alone is taken.
    std::vector<uint8_t> unsigned_ = Sealed(sealer, *settings, "unlock screens");
    EXPECT_EQ(OpenWith(opener, *student, unsigned_, nullptr, true), Refusal::kNoSignature);
    EXPECT_EQ(OpenWith(opener, *student, unsigned_, nullptr, false), Refusal::kNone);
    // A changed signature byte: the tag no longer verifies either, as it covers it.
    std::vector<uint8_t> genuine = Sealed(sealer, *teacher, "hand in");
    genuine[7 + 20] ^= 1;
    EXPECT_NE(OpenWith(opener, *student, genuine), Refusal::kNone);
}

// A stream from a sealer to an opener: the challenge, the hello, then the
// frames of each payload, as the wire carries them.
struct StreamPair {
    explicit StreamPair(const auth::Settings &listener, const auth::Settings &sender)
    {
        uint8_t challenge[auth::kChallengeBytes];
        EXPECT_TRUE(opener.Start(listener, challenge));
        wire.resize(auth::kHelloBytes);
        answered = sealer.Answer(sender, challenge, wire.data());
    }
    void Send(const std::string &text)
    {
        EXPECT_TRUE(sealer.Seal(reinterpret_cast<const uint8_t *>(text.data()), text.size(), &wire));
    }
    auth::StreamOpener opener;
    auth::StreamSealer sealer;
    std::vector<uint8_t> wire;
    bool answered;
};

TEST(Stream, DeliversTheSendersBytesHoweverTheyAreCut)
{
    std::shared_ptr<auth::Settings> settings = ClassSettings(RandomClassKey());
    std::string big(3 * auth::kMaxFrame + 5, 'x');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>('a' + i % 26);
    for (size_t piece : {size_t(1), size_t(7), size_t(1000), size_t(1) << 20}) {
        StreamPair pair(*settings, *settings);
        ASSERT_TRUE(pair.answered);
        pair.Send("hello");
        pair.Send(big);
        std::vector<uint8_t> payload;
        for (size_t at = 0; at < pair.wire.size(); at += piece) {
            size_t n = std::min(piece, pair.wire.size() - at);
            ASSERT_EQ(pair.opener.Feed(pair.wire.data() + at, n, &payload), Refusal::kNone) << piece;
        }
        EXPECT_EQ(std::string(payload.begin(), payload.end()), "hello" + big) << piece;
    }
}

TEST(Stream, AnythingButTheSendersOwnFramesEndsTheConnection)
{
    std::shared_ptr<auth::Settings> settings = ClassSettings(RandomClassKey());
    std::shared_ptr<auth::Settings> otherClass = ClassSettings(RandomClassKey());
    // The wire of a sender of "first" and "second": the hello, then a frame each.
    const size_t frame1 = auth::kHelloBytes, frame2 = frame1 + 2 + 5 + auth::kTagBytes;
    typedef std::vector<uint8_t> Wire;
    auto part = [](const Wire &w, size_t from, size_t to) { return Wire(w.begin() + from, w.begin() + to); };
    auto join = [](std::initializer_list<Wire> parts) {
        Wire all;
        for (const Wire &p : parts)
            all.insert(all.end(), p.begin(), p.end());
        return all;
    };
    struct Case {
        const char *what;
        std::function<Wire(const Wire &)> change;
        bool sameClass;
        Refusal expected;
        std::string delivered;
    } cases[] = {
        {"as sent", [](const Wire &w) { return w; }, true, Refusal::kNone, "firstsecond"},
        {"a changed payload byte",
         [&](Wire w) {
             w[frame2 + 3] ^= 1;
             return w;
         },
         true, Refusal::kBadTag, "first"},
        {"the frames swapped",
         [&](const Wire &w) { return join({part(w, 0, frame1), part(w, frame2, w.size()), part(w, frame1, frame2)}); },
         true, Refusal::kBadTag, ""},
        {"a frame repeated", [&](const Wire &w) { return join({part(w, 0, frame2), part(w, frame1, frame2)}); }, true,
         Refusal::kBadTag, "first"},
        {"a frame left out", [&](const Wire &w) { return join({part(w, 0, frame1), part(w, frame2, w.size())}); },
         true, Refusal::kBadTag, ""},
        {"another class's sender", [](const Wire &w) { return w; }, false, Refusal::kBadTag, ""},
        {"no hello at all", [](const Wire &) { return Wire(64, 'G'); }, true, Refusal::kUnknownSender, ""},
    };
    for (const Case &c : cases) {
        StreamPair pair(*settings, c.sameClass ? *settings : *otherClass);
        pair.Send("first");
        pair.Send("second");
        Wire bytes = c.change(pair.wire);
        std::vector<uint8_t> payload;
        EXPECT_EQ(pair.opener.Feed(bytes.data(), bytes.size(), &payload), c.expected) << c.what;
        EXPECT_EQ(std::string(payload.begin(), payload.end()), c.delivered) << c.what;
    }
    // A recording whole, to a later listener: its challenge differs, so the
    // recorded hello proves nothing.
    StreamPair recorded(*settings, *settings);
    recorded.Send("first");
    auth::StreamOpener later;
    uint8_t challenge[auth::kChallengeBytes];
    ASSERT_TRUE(later.Start(*settings, challenge));
    std::vector<uint8_t> payload;
    EXPECT_EQ(later.Feed(recorded.wire.data(), recorded.wire.size(), &payload), Refusal::kBadTag);
    EXPECT_TRUE(payload.empty());
}

TEST(KeyFiles, EachKindReadsBackAsWritten)
{
    auth::ClassKey classKey = RandomClassKey();
    auth::TeacherPrivateKey teacherKey;
    ASSERT_TRUE(auth::GenerateTeacherKey(&teacherKey));
    auth::KeyFile read;
    std::string error;
    ASSERT_TRUE(auth::ParseKeyFile("# the class key\n" + auth::FormatClassKey(classKey) + "\n", &read, &error)) << error;
    EXPECT_EQ(read.kind, auth::KeyKind::kClass);
    EXPECT_EQ(memcmp(read.classKey.bytes, classKey.bytes, sizeof classKey.bytes), 0);
    ASSERT_TRUE(auth::ParseKeyFile(auth::FormatTeacherPrivateKey(teacherKey), &read, &error)) << error;
    EXPECT_EQ(read.kind, auth::KeyKind::kTeacherPrivate);
    EXPECT_EQ(memcmp(&read.teacherPrivate, &teacherKey, sizeof teacherKey), 0);
    ASSERT_TRUE(auth::ParseKeyFile(auth::FormatTeacherPublicKey(teacherKey.pub), &read, &error)) << error;
    EXPECT_EQ(read.kind, auth::KeyKind::kTeacherPublic);
    EXPECT_EQ(memcmp(read.teacherPublic.xy, teacherKey.pub.xy, sizeof teacherKey.pub.xy), 0);
    // Fingerprints: eight groups of four hex digits, the same for either half
    // of the teacher's key, different for another key.
    EXPECT_EQ(auth::Fingerprint(classKey).size(), 39u);
    EXPECT_EQ(auth::Fingerprint(read.teacherPublic), auth::Fingerprint(teacherKey.pub));
    EXPECT_NE(auth::Fingerprint(classKey), auth::Fingerprint(RandomClassKey()));
}

TEST(KeyFiles, RefusesAnythingButExactlyOneKey)
{
    std::string hex64(64, 'a'), hex128(128, 'b');
    const std::string bad[] = {
        "",
        "# only a comment\n",
        "kesnet class key\n",
        "kesnet class key\nabc\n",
        "kesnet class key\n" + hex64.substr(1) + "g\n",
        "kesnet class key\n" + hex64 + "\n" + hex64 + "\n",
        "kesnet teacher private key\n" + hex64 + "\n",
        "kesnet teacher public key\n" + hex64 + "\n",
        "kesnet teacher public key\n" + hex128.substr(2) + "\n",
        "some other key\n" + hex64 + "\n",
    };
    for (const std::string &text : bad) {
        auth::KeyFile read;
        std::string error;
        EXPECT_FALSE(auth::ParseKeyFile(text, &read, &error)) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
}

TEST(EchoAnswer, NamesTheDatagramItAnswers)
{
    auth::SealedId id = {0xfeedbeef, 0x0123456789abcdefull}, read;
    uint8_t bytes[auth::kEchoAnswerBytes];
    auth::MakeEchoAnswer(id, bytes);
    ASSERT_TRUE(auth::ParseEchoAnswer(bytes, sizeof bytes, &read));
    EXPECT_EQ(read.sender, id.sender);
    EXPECT_EQ(read.sequence, id.sequence);
    EXPECT_FALSE(auth::ParseEchoAnswer(bytes, sizeof bytes - 1, &read));
    EXPECT_FALSE(auth::ParseEchoAnswer(reinterpret_cast<const uint8_t *>("Echo"), 4, &read));
}

// The published HMAC-SHA-256 answers (RFC 4231's cases 1, 2 and 6), asked
// for in turns, so that a key kept from the call before (or the same buffer
// holding another key) cannot pass.
TEST(Crypto, HmacGivesThePublishedAnswersWhateverKeyCameBefore)
{
    const struct {
        std::string key, data, hex;
    } cases[] = {
        {std::string(20, '\x0b'), "Hi There", "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {"Jefe", "what do ya want for nothing?", "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        {std::string(131, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
    };
    uint8_t key[256];
    for (int turn : {0, 1, 0, 0, 2, 2, 1, 0, 2}) {
        const auto &c = cases[turn];
        memcpy(key, c.key.data(), c.key.size());
        // The data in two pieces, as the trailer hashes it.
        const size_t half = c.data.size() / 2;
        const auth::Piece pieces[2] = {{reinterpret_cast<const uint8_t *>(c.data.data()), half},
                                       {reinterpret_cast<const uint8_t *>(c.data.data()) + half, c.data.size() - half}};
        uint8_t out[auth::kDigestBytes];
        ASSERT_TRUE(auth::HmacSha256(key, c.key.size(), pieces, 2, out)) << "case " << turn;
        std::string hex;
        for (uint8_t b : out) {
            char two[3];
            snprintf(two, sizeof two, "%02x", b);
            hex += two;
        }
        EXPECT_EQ(hex, c.hex) << "case " << turn;
    }
}

TEST(Crypto, GmacGivesThePublishedAnswersWhateverKeyCameBefore)
{
    gmac_answers::ExpectPublishedAnswers();
}

}  // namespace
