// Authentication through the exported calls: what a listener takes and
// refuses once the process holds the class key, what an acknowledged send
// counts as its echo, the teacher's signature, key files, and every call's
// answer to bad input. The peers that are not the library are plain sockets
// that seal (or forge) with the library's own core.
#include "kesnet.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "auth/keys.h"
#include "auth/stream_guard.h"
#include "auth/trailer.h"
#include "datagram/udp_socket.h"
#include "gmac_answers.h"
#include "stream_support.h"
#include "temp_tree.h"
#include "test_support.h"
#include "win/auth_process.h"

namespace {

auth::ClassKey NewClassKey()
{
    auth::ClassKey key;
    EXPECT_TRUE(auth::RandomBytes(key.bytes, sizeof key.bytes));
    return key;
}

using kt::Bytes;

// A peer outside the library that holds the class key: it seals with a
// sender of its own, as another machine of the class would.
class ClassPeer {
public:
    explicit ClassPeer(const auth::ClassKey &key) : m_settings(auth::Settings::ForClassKey(key)) {}
    auth::Settings &settings() { return *m_settings; }
    std::vector<unsigned char> Seal(const std::vector<unsigned char> &payload, int port, auth::SealedId *id = nullptr)
    {
        std::vector<unsigned char> bytes(payload);
        bytes.resize(payload.size() + auth::kTeacherTrailerBytes);
        bytes.resize(m_sealer.Seal(*m_settings, bytes.data(), payload.size(), bytes.size(),
                                   static_cast<uint16_t>(port), winauth::WallNow(), id));
        return bytes;
    }

private:
    std::shared_ptr<auth::Settings> m_settings;
    auth::Sealer m_sealer{0x7e570001};
};

class Authenticated : public kt::WinsockTest {
protected:
    void SetUp() override
    {
        kt::WinsockTest::SetUp();
        ASSERT_EQ(KesAuthClear(), KES_AUTH_OK);
        key = NewClassKey();
        ASSERT_EQ(KesAuthSetKey(KES_KEY_CLASS, key.bytes, sizeof key.bytes), KES_AUTH_OK);
    }
    void TearDown() override { KesAuthClear(); }

    KES_AUTH_COUNTERS Counters()
    {
        KES_AUTH_COUNTERS counters = {};
        counters.dwSize = sizeof counters;
        EXPECT_EQ(KesAuthGetCounters(&counters), KES_AUTH_OK);
        return counters;
    }

    auth::ClassKey key;
};

// A listener on loopback that collects, checking that the bytes after each
// payload are zero.
struct Listening {
    Listening()
    {
        received.CheckEachBuffer(65536);
        tagParamListen param;
        param.dwLocalAddr = kt::Loopback();
        param.pfnReceive = kt::Collector::Receive;
        param.pUserData = &received;
        ok = listener.InitInstance(&param) == 1;
        port = ok ? kt::BoundPort(listener.m_pSocket->GetSocket()) : -1;
    }
    ~Listening() { listener.Release(); }
    kt::Collector received;
    CKesListen listener;
    bool ok;
    int port;
};

TEST_F(Authenticated, ListenersTakeOnlyAuthenticFreshDatagramsAndCountTheRest)
{
    Listening listening;
    ASSERT_TRUE(listening.ok);
    kt::RawUdp peer;
    ClassPeer classmate(key);
    std::vector<unsigned char> genuine = classmate.Seal(Bytes("slide 7"), listening.port);
    std::vector<unsigned char> flipped = classmate.Seal(Bytes("slide 8"), listening.port);
    flipped[2] ^= 0x20;
    ClassPeer otherClass(NewClassKey());
    struct Case {
        const char *what;
        std::vector<unsigned char> bytes;
    } cases[] = {
        {"plain", Bytes("plain words")},
        {"genuine", genuine},
        {"replayed", genuine},
        {"a changed payload byte", flipped},
        {"cut short", std::vector<unsigned char>(genuine.begin(), genuine.end() - 1)},
        {"another classroom's", otherClass.Seal(Bytes("slide 9"), listening.port)},
        {"meant for another port", classmate.Seal(Bytes("slide 10"), listening.port + 1)},
    };
    for (const Case &c : cases)
        ASSERT_TRUE(peer.SendTo(c.bytes.data(), static_cast<int>(c.bytes.size()), kt::Loopback(), listening.port)) << c.what;
    // One honest datagram through the library closes the run: once it is in,
    // everything before it was dealt with.
    ASSERT_EQ(KesSend(KES_MODE_UNICAST, "last", 4, kt::Loopback(), listening.port, 0), 1);
    ASSERT_TRUE(listening.received.WaitFor(2));
    ASSERT_TRUE(listening.received.WaitForBytes(7 + 4));
    std::vector<kt::Received> got = listening.received.All();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(kt::Text(got[0]), "slide 7");
    EXPECT_EQ(kt::Text(got[1]), "last");
    EXPECT_TRUE(got[0].zeroAfter && got[1].zeroAfter) << "the trailer must not stay in the buffer";
    KES_AUTH_COUNTERS counters = Counters();
    // Cut short by its last byte, a datagram ends in a byte of its tag: one
    // that is not a trailer's kind (unknown sender), or by chance is (bad tag).
    EXPECT_EQ(counters.dwUnknownSender + counters.dwBadTag, 5u);
    EXPECT_GE(counters.dwUnknownSender, 2u) << "plain, another classroom's";
    EXPECT_GE(counters.dwBadTag, 2u) << "changed, another port";
    EXPECT_EQ(counters.dwReplay, 1u);
    EXPECT_EQ(counters.dwNoSignature, 0u);
}

TEST_F(Authenticated, WhatTheLibrarySendsCarriesTheTrailerAndOpensForAClassmate)
{
    kt::RawUdp peer;
    ASSERT_EQ(KesSend(KES_MODE_UNICAST, "hello", 5, kt::Loopback(), peer.port(), 0), 1);
    kt::Datagram d;
    ASSERT_TRUE(peer.Receive(&d));
    ASSERT_EQ(d.data.size(), 5 + auth::kClassTrailerBytes);
    ClassPeer classmate(key);
    auth::Opener opener;
    auth::Opened opened;
    EXPECT_EQ(opener.Open(classmate.settings(), d.data.data(), d.data.size(), static_cast<uint16_t>(peer.port()),
                          winauth::WallNow(), false, &opened),
              auth::Refusal::kNone);
    EXPECT_EQ(opened.payloadBytes, 5u);
    // Off again: the same call sends the bare bytes, as ever.
    ASSERT_EQ(KesAuthClear(), KES_AUTH_OK);
    ASSERT_EQ(KesSend(KES_MODE_UNICAST, "hello", 5, kt::Loopback(), peer.port(), 0), 1);
    ASSERT_TRUE(peer.Receive(&d));
    EXPECT_EQ(kt::Text(d), "hello");
}

// The id a sealed datagram's trailer names.
auth::SealedId IdOf(const std::vector<unsigned char> &sealed)
{
    const unsigned char *trailer = sealed.data() + sealed.size() - auth::kClassTrailerBytes;
    auth::SealedId id = {static_cast<uint32_t>(trailer[4] << 24 | trailer[5] << 16 | trailer[6] << 8 | trailer[7]), 0};
    for (int i = 0; i < 8; ++i)
        id.sequence = id.sequence << 8 | trailer[8 + i];
    return id;
}

// The receiver of an acknowledged send, outside the library: it answers each
// datagram with the echo that make() gives for the datagram's id.
class Echoer {
public:
    typedef std::function<std::vector<unsigned char>(const auth::SealedId &)> Make;
    explicit Echoer(Make make) : m_make(std::move(make)), m_thread([this] { Run(); }) {}
    ~Echoer()
    {
        m_stop = true;
        m_thread.join();
    }
    int port() const { return m_socket.port(); }

private:
    void Run()
    {
        while (!m_stop) {
            kt::Datagram d;
            if (!m_socket.Receive(&d, 100) || d.data.size() < auth::kClassTrailerBytes)
                continue;
            std::vector<unsigned char> echo = m_make(IdOf(d.data));
            m_socket.SendTo(echo.data(), static_cast<int>(echo.size()), d.addr, ECHO_PORT);
        }
    }
    Make m_make;
    kt::RawUdp m_socket;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

TEST_F(Authenticated, AnEchoAcknowledgesOnlyTheDatagramItAnswers)
{
    ClassPeer classmate(key);
    auto answer = [&](const auth::SealedId &id) {
        std::vector<unsigned char> bytes(auth::kEchoAnswerBytes);
        auth::MakeEchoAnswer(id, bytes.data());
        return classmate.Seal(bytes, ECHO_PORT);
    };
    struct Case {
        const char *what;
        Echoer::Make make;
        int acknowledged;
    } cases[] = {
        {"the authentic answer", answer, 1},
        {"a plain \"Echo\"", [](const auth::SealedId &) { return Bytes("Echo"); }, 0},
        {"an authentic answer to an earlier datagram",
         [&](const auth::SealedId &id) { return answer({id.sender, id.sequence - 1}); }, 0},
        {"an answer with a forged tag",
         [&](const auth::SealedId &id) {
             std::vector<unsigned char> bytes = answer(id);
             bytes[bytes.size() - 2] ^= 1;
             return bytes;
         },
         0},
    };
    for (const Case &c : cases) {
        Echoer echoer(c.make);
        tagParamSend param;
        param.dwLocalAddr = kt::Loopback();
        param.dwEchoTimeout = c.acknowledged ? kt::Bound(5000) : 1500;
        CKesSend2 sender;
        ASSERT_EQ(sender.InitInstance(&param), 1);
        EXPECT_EQ(sender.Send(const_cast<char *>("roll call"), 9, kt::Loopback(), echoer.port()), c.acknowledged)
            << c.what;
        sender.Release();
    }
    // A listener of the library answers as the authentic answer does.
    tagParamListen listen;
    listen.dwLocalAddr = kt::Loopback();
    listen.bEcho = TRUE;
    kt::Collector collected;
    listen.pfnReceive = kt::Collector::Receive;
    listen.pUserData = &collected;
    CKesListen listener;
    ASSERT_EQ(listener.InitInstance(&listen), 1);
    tagParamSend param;
    param.dwLocalAddr = kt::Loopback();
    param.dwEchoTimeout = kt::Bound(5000);
    CKesSend2 sender;
    ASSERT_EQ(sender.InitInstance(&param), 1);
    EXPECT_EQ(sender.Send(const_cast<char *>("here?"), 5, kt::Loopback(),
                          kt::BoundPort(listener.m_pSocket->GetSocket())),
              1);
    sender.Release();
    listener.Release();
}

TEST_F(Authenticated, OnTheEchoPortAnEchoCountsOnceAndOnlyForAQuestionAsked)
{
    // A roll-call's way: questions by plain sends, one listener on the echo
    // port for every answer.
    kt::Collector answers;
    tagParamListen param;
    param.dwLocalAddr = kt::Loopback();
    param.nPort = ECHO_PORT;
    param.pfnReceive = kt::Collector::Receive;
    param.pUserData = &answers;
    CKesListen echoes;
    ASSERT_EQ(echoes.InitInstance(&param), 1) << "the echo port is taken";
    kt::RawUdp student;
    ASSERT_EQ(KesSend(KES_MODE_UNICAST, "present?", 8, kt::Loopback(), student.port(), 0), 1);
    kt::Datagram question;
    ASSERT_TRUE(student.Receive(&question));
    ClassPeer classmate(key);
    auto answer = [&](const auth::SealedId &id) {
        std::vector<unsigned char> bytes(auth::kEchoAnswerBytes);
        auth::MakeEchoAnswer(id, bytes.data());
        return classmate.Seal(bytes, ECHO_PORT);
    };
    auth::SealedId asked = IdOf(question.data);
    std::vector<unsigned char> genuine = answer(asked);
    std::vector<std::vector<unsigned char>> sent = {
        answer({asked.sender, asked.sequence + 1}),  // a question never asked
        genuine,
        answer(asked),  // a second, fresh answer to the same question
        genuine,        // the first, recorded
    };
    for (const std::vector<unsigned char> &bytes : sent)
        ASSERT_TRUE(student.SendTo(bytes.data(), static_cast<int>(bytes.size()), kt::Loopback(), ECHO_PORT));
    // A last, honest datagram closes the run.
    ASSERT_EQ(KesSend(KES_MODE_UNICAST, "end", 3, kt::Loopback(), ECHO_PORT, 0), 1);
    ASSERT_TRUE(answers.WaitFor(2));
    echoes.Release();
    std::vector<kt::Received> got = answers.All();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].data.size(), auth::kEchoAnswerBytes);
    EXPECT_EQ(kt::Text(got[1]), "end");
    EXPECT_EQ(Counters().dwReplay, 3u);
}

// Reads exactly n bytes from a raw connection (bounded by its receive time-out).
std::vector<unsigned char> ReadExactly(SOCKET s, size_t n)
{
    DWORD wait = kt::Bound();
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char *>(&wait), sizeof wait);
    std::vector<unsigned char> bytes(n);
    for (size_t got = 0; got < n;) {
        int r = recv(s, reinterpret_cast<char *>(bytes.data() + got), static_cast<int>(n - got), 0);
        if (r <= 0)
            return {};
        got += static_cast<size_t>(r);
    }
    return bytes;
}

TEST_F(Authenticated, StreamsHandOverOnlyWhatAProvenSenderFramed)
{
    ASSERT_EQ(KesAuthSetOptions(0, 0, 3), KES_AUTH_OK);
    kt::Collector received;
    tagParamListen param;
    param.dwLocalAddr = kt::Loopback();
    param.nPort = kt::FreeTcpPort();
    param.nBacklog = 62;
    param.pfnReceive = kt::Collector::Receive;
    param.pUserData = &received;
    CTcpListenObject *listener = static_cast<CTcpListenObject *>(KesCreateObject(KES_OBJECT_TCPLISTEN));
    ASSERT_NE(listener, nullptr);
    ASSERT_EQ(listener->InitInstance(&param), 1);

    // The library's own sender proves itself and frames what it sends.
    CTcpSendObject *sender = static_cast<CTcpSendObject *>(KesCreateObject(KES_OBJECT_TCPSEND));
    tagParamSend to;
    to.dwDestAddr = kt::Loopback();
    to.nDestPort = param.nPort;
    ASSERT_EQ(sender->InitInstance(&to), 1);
    ASSERT_EQ(sender->Send(const_cast<char *>("proven"), 6), 1);
    ASSERT_TRUE(received.WaitForBytes(6));

    // A client without the key: its bytes go nowhere, and it is closed.
    kt::RawTcp outsider;
    ASSERT_TRUE(outsider.Connect(kt::Loopback(), param.nPort));
    EXPECT_EQ(ReadExactly(outsider.socket(), auth::kChallengeBytes).size(), auth::kChallengeBytes);
    outsider.Send(std::string(64, 'G'));
    EXPECT_TRUE(outsider.WaitClosed());

    // A client with the key whose second frame changes on the way: the
    // first frame arrives, the second never, and the connection ends.
    kt::RawTcp classmate;
    ASSERT_TRUE(classmate.Connect(kt::Loopback(), param.nPort));
    std::vector<unsigned char> challenge = ReadExactly(classmate.socket(), auth::kChallengeBytes);
    ASSERT_EQ(challenge.size(), auth::kChallengeBytes);
    std::shared_ptr<auth::Settings> settings = auth::Settings::ForClassKey(key);
    auth::StreamSealer sealer;
    std::vector<uint8_t> wire(auth::kHelloBytes);
    ASSERT_TRUE(sealer.Answer(*settings, challenge.data(), wire.data()));
    ASSERT_TRUE(sealer.Seal(reinterpret_cast<const uint8_t *>("one"), 3, &wire));
    size_t second = wire.size();
    ASSERT_TRUE(sealer.Seal(reinterpret_cast<const uint8_t *>("two"), 3, &wire));
    wire[second + 2] ^= 1;
    classmate.Send(wire.data(), wire.size());
    EXPECT_TRUE(classmate.WaitClosed());

    // Places: the sender holds one of this address's three; two more may
    // connect, the next is turned away at once.
    kt::RawTcp second1, second2, tooMany;
    ASSERT_TRUE(second1.Connect(kt::Loopback(), param.nPort));
    ASSERT_EQ(ReadExactly(second1.socket(), auth::kChallengeBytes).size(), auth::kChallengeBytes);
    ASSERT_TRUE(second2.Connect(kt::Loopback(), param.nPort));
    ASSERT_EQ(ReadExactly(second2.socket(), auth::kChallengeBytes).size(), auth::kChallengeBytes);
    ASSERT_TRUE(tooMany.Connect(kt::Loopback(), param.nPort));
    EXPECT_TRUE(tooMany.WaitClosed());
    // The two that never prove themselves lose their places after 10 s.
    EXPECT_TRUE(second1.WaitClosed(kt::Bound(30000)));
    EXPECT_TRUE(second2.WaitClosed(kt::Bound(30000)));

    sender->Release();
    sender->Delete();
    listener->Release();
    listener->Delete();
    std::string all;
    for (const kt::Received &r : received.All())
        all += kt::Text(r);
    EXPECT_EQ(all, "provenone");
    KES_AUTH_COUNTERS counters = Counters();
    EXPECT_EQ(counters.dwUnknownSender, 3u) << "the client without the key, and the two silent ones";
    EXPECT_EQ(counters.dwBadTag, 1u);
    EXPECT_EQ(counters.dwTooManyPlaces, 1u);
}

// Records, for each datagram, whether the library said it was the teacher's.
struct TeacherWatch {
    static void __cdecl Receive(void *, int nLength, void *pUserData, unsigned long, int)
    {
        TeacherWatch *self = static_cast<TeacherWatch *>(pUserData);
        self->fromTeacher.push_back(KesAuthFromTeacher());
        self->lengths.push_back(nLength);
        SetEvent(self->arrived);
    }
    HANDLE arrived = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::vector<int> fromTeacher, lengths;
    ~TeacherWatch() { CloseHandle(arrived); }
};

TEST_F(Authenticated, TheTeachersSignatureIsKnownAndCannotBeForged)
{
    auth::TeacherPrivateKey teacher, impostor;
    ASSERT_TRUE(auth::GenerateTeacherKey(&teacher));
    ASSERT_TRUE(auth::GenerateTeacherKey(&impostor));
    ASSERT_EQ(KesAuthSetKey(KES_KEY_TEACHER_PUBLIC, teacher.pub.xy, sizeof teacher.pub.xy), KES_AUTH_OK);
    ASSERT_EQ(KesAuthSetOptions(KES_AUTH_TEACHER_ONLY, 0, 0), KES_AUTH_OK);
    TeacherWatch watch;
    tagParamListen param;
    param.dwLocalAddr = kt::Loopback();
    param.pfnReceive = TeacherWatch::Receive;
    param.pUserData = &watch;
    CKesListen listener;
    ASSERT_EQ(listener.InitInstance(&param), 1);
    int port = kt::BoundPort(listener.m_pSocket->GetSocket());

    ClassPeer signer(key), poser(key), student(key);
    signer.settings().haveTeacherPrivate = true;
    signer.settings().teacherPrivate = teacher;
    poser.settings().haveTeacherPrivate = true;
    poser.settings().teacherPrivate = impostor;
    kt::RawUdp peer;
    for (ClassPeer *from : {&poser, &student, &signer}) {
        std::vector<unsigned char> bytes = from->Seal(Bytes("lock"), port);
        ASSERT_TRUE(peer.SendTo(bytes.data(), static_cast<int>(bytes.size()), kt::Loopback(), port));
    }
    ASSERT_EQ(WaitForSingleObject(watch.arrived, kt::Bound()), WAIT_OBJECT_0);
    listener.Release();
    ASSERT_EQ(watch.fromTeacher.size(), 1u) << "only the teacher's own signature passes";
    EXPECT_EQ(watch.fromTeacher[0], 1);
    EXPECT_EQ(watch.lengths[0], 4);
    EXPECT_EQ(Counters().dwNoSignature, 2u) << "the impostor's signature and the student's unsigned datagram";
    EXPECT_EQ(KesAuthFromTeacher(), 0) << "outside a callback";
}

TEST_F(Authenticated, KeyFilesSetTheKeyTheyHold)
{
    kt::TempTree tree;
    ASSERT_TRUE(tree.ok());
    auth::ClassKey other = NewClassKey();
    ASSERT_TRUE(tree.WriteFile("class.key", auth::FormatClassKey(other)));
    ASSERT_TRUE(tree.WriteFile("notes.txt", "kesnet class key\nnot hex\n"));
    EXPECT_EQ(KesAuthLoadKeyFile(tree.Path("missing.key").c_str()), KES_AUTH_E_KEYFILE);
    EXPECT_EQ(KesAuthLoadKeyFile(tree.Path("notes.txt").c_str()), KES_AUTH_E_KEYFILE);
    ASSERT_EQ(KesAuthLoadKeyFile(tree.Path("class.key").c_str()), KES_AUTH_OK);
    BYTE password[6], expected[6];
    ASSERT_EQ(KesAuthSecureOnPassword(password), KES_AUTH_OK);
    ASSERT_TRUE(auth::SecureOnPassword(other, expected));
    EXPECT_EQ(memcmp(password, expected, 6), 0) << "the file's key, not the one set before";
}

// CNG's AES-GCM, as the DLL tags a stream's frames with it, gives the
// answers that libcrypto gives the native side.
TEST(Crypto, GmacGivesThePublishedAnswersWhateverKeyCameBefore)
{
    gmac_answers::ExpectPublishedAnswers();
}

TEST_F(Authenticated, BadInputIsRefusedAndChangesNothing)
{
    BYTE key32[32] = {}, password[6];
    KES_AUTH_COUNTERS wrongSize = {};
    wrongSize.dwSize = sizeof wrongSize - 4;
    void *unreadable = reinterpret_cast<void *>(static_cast<uintptr_t>(16));
    std::vector<kt::Row> rows = {
        {"unknown kind", [&] { return KesAuthSetKey(9, key32, 32); }, KES_AUTH_E_PARAM},
        {"class key of 31 bytes", [&] { return KesAuthSetKey(KES_KEY_CLASS, key32, 31); }, KES_AUTH_E_PARAM},
        {"public key of 32 bytes", [&] { return KesAuthSetKey(KES_KEY_TEACHER_PUBLIC, key32, 32); }, KES_AUTH_E_PARAM},
        {"null key with a length", [&] { return KesAuthSetKey(KES_KEY_CLASS, nullptr, 32); }, KES_AUTH_E_PARAM},
        {"unreadable key", [&] { return KesAuthSetKey(KES_KEY_CLASS, unreadable, 32); }, KES_AUTH_E_PARAM},
        {"null path", [&] { return KesAuthLoadKeyFile(nullptr); }, KES_AUTH_E_PARAM},
        {"unreadable path", [&] { return KesAuthLoadKeyFile(static_cast<const char *>(unreadable)); }, KES_AUTH_E_PARAM},
        {"unknown flag", [&] { return KesAuthSetOptions(0x80, 0, 0); }, KES_AUTH_E_PARAM},
        {"more places than a listener has", [&] { return KesAuthSetOptions(0, 0, 101); }, KES_AUTH_E_PARAM},
        {"null counters", [&] { return KesAuthGetCounters(nullptr); }, KES_AUTH_E_PARAM},
        {"counters of another size", [&] { return KesAuthGetCounters(&wrongSize); }, KES_AUTH_E_PARAM},
        {"null password", [&] { return KesAuthSecureOnPassword(nullptr); }, KES_AUTH_E_PARAM},
    };
    BYTE before[6];
    ASSERT_EQ(KesAuthSecureOnPassword(before), KES_AUTH_OK);
    kt::ExpectRows(rows, {[&] {
        return kt::Holds(KesAuthSecureOnPassword(password) == KES_AUTH_OK && memcmp(password, before, 6) == 0,
                         "the class key stays as it was");
    }});
    // Forgetting the class key turns authentication off.
    ASSERT_EQ(KesAuthSetKey(KES_KEY_CLASS, nullptr, 0), KES_AUTH_OK);
    EXPECT_EQ(KesAuthSecureOnPassword(password), KES_AUTH_E_PARAM);
    for (int result : {KES_AUTH_OK, KES_AUTH_E_PARAM, KES_AUTH_E_KEYFILE, KES_AUTH_E_CRYPTO, 12345})
        EXPECT_STRNE(KesAuthErrorText(result), "");
}

}  // namespace
