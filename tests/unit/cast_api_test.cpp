// The multicast transfers through the exported calls: objects from a buffer
// and from a file to receivers in memory and in a folder, a live stream, the
// sender's table of receivers, and every call's answer to bad input. Sender
// and receivers share this process and the private network's loopback.
#include "kesnet.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "temp_tree.h"
#include "test_support.h"

namespace {

// What a handle's callback was told, kept for the test to look at.
struct Seen {
    int kind;
    DWORD receiver;
    DWORD object;
    unsigned long long size;
    std::string name;
    std::string why;
    std::vector<unsigned char> data;
};

class Events {
public:
    Events() : m_arrived(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {}
    ~Events() { CloseHandle(m_arrived); }

    static void __cdecl On(const KES_CAST_EVENT *e, void *user)
    {
        Events *self = static_cast<Events *>(user);
        Seen seen = {e->nEvent, e->dwReceiver, e->dwObject,
                     static_cast<unsigned long long>(e->dwSizeHigh) << 32 | e->dwSizeLow,
                     e->pszName, e->pszWhy, {}};
        if (e->pData != nullptr) {
            const unsigned char *bytes = static_cast<const unsigned char *>(e->pData);
            seen.data.assign(bytes, bytes + seen.size);
        }
        {
            std::lock_guard<std::mutex> lock(self->m_lock);
            self->m_seen.push_back(seen);
        }
        if (self->m_onEvent)
            self->m_onEvent(*e);
        SetEvent(self->m_arrived);
    }

    // Waits (bounded) until n events of kind have come.
    bool WaitFor(int kind, size_t n = 1, DWORD ms = kt::Bound(30000))
    {
        const DWORD start = GetTickCount();
        while (Count(kind) < n) {
            if (GetTickCount() - start > ms)
                return false;
            WaitForSingleObject(m_arrived, 100);
        }
        return true;
    }
    size_t Count(int kind) const
    {
        std::lock_guard<std::mutex> lock(m_lock);
        size_t n = 0;
        for (const Seen &s : m_seen)
            n += s.kind == kind;
        return n;
    }
    std::vector<Seen> Of(int kind) const
    {
        std::lock_guard<std::mutex> lock(m_lock);
        std::vector<Seen> of;
        for (const Seen &s : m_seen)
            if (s.kind == kind)
                of.push_back(s);
        return of;
    }
    std::function<void(const KES_CAST_EVENT &)> m_onEvent;

private:
    mutable std::mutex m_lock;
    std::vector<Seen> m_seen;
    HANDLE m_arrived;
};

const char kGroup[] = "239.77.5.1";

KES_CAST_PARAM Param(int port, Events *events = nullptr)
{
    KES_CAST_PARAM p = {};
    p.dwSize = sizeof p;
    p.dwGroupAddr = kt::Addr(kGroup);
    p.nPort = port;
    p.dwLocalAddr = kt::Loopback();
    if (events != nullptr) {
        p.pfnEvent = Events::On;
        p.pUserData = events;
    }
    return p;
}

// A handle closed at the end of the test.
class Cast {
public:
    Cast() = default;
    Cast(int role, const KES_CAST_PARAM &p) { result = KesCastOpen(role, &p, &h); }
    ~Cast()
    {
        if (h != nullptr)
            KesCastClose(h);
    }
    Cast(const Cast &) = delete;
    Cast &operator=(const Cast &) = delete;
    HKESCAST h = nullptr;
    int result = KES_CAST_E_HANDLE;
};

std::vector<unsigned char> RandomBytes(size_t n, unsigned seed)
{
    std::vector<unsigned char> bytes(n);
    unsigned x = seed * 2654435761u + 1;
    for (unsigned char &b : bytes) {
        x = x * 1103515245u + 12345u;
        b = static_cast<unsigned char>(x >> 16);
    }
    return bytes;
}

std::vector<unsigned char> FileBytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class CastApi : public kt::WinsockTest {};

// Bad input: an error code and its reason, nothing opened or sent.
TEST_F(CastApi, BadInputGetsAnErrorAndAReason)
{
    KES_CAST_PARAM good = Param(47311);
    KES_CAST_PARAM shortRecord = good, unicast = good, noPort = good, bigPort = good, tooMany = good,
                   noList = good, dataCallback = good, noFolder = good;
    shortRecord.dwSize = sizeof good - 4;
    unicast.dwGroupAddr = kt::Addr("10.77.1.2");
    noPort.nPort = 0;
    bigPort.nPort = 65536;
    tooMany.dwExpected = 4097;
    noList.dwExpected = 3;
    static const unsigned char notCode[16] = {0};
    dataCallback.pfnEvent = reinterpret_cast<KesCastEventProc>(const_cast<unsigned char *>(notCode));
    kt::TempTree tree;
    ASSERT_TRUE(tree.ok());
    const std::string missing = tree.Path("not-there");
    noFolder.pszFolder = missing.c_str();
    HKESCAST h = reinterpret_cast<HKESCAST>(1);
    const struct {
        const char *what;
        int role;
        const KES_CAST_PARAM *param;
        HKESCAST *out;
        int expected;
    } opens[] = {
        {"no record", KES_CAST_SENDER, nullptr, &h, KES_CAST_E_ARGUMENT},
        {"no place for the handle", KES_CAST_SENDER, &good, nullptr, KES_CAST_E_ARGUMENT},
        {"a record of another size", KES_CAST_SENDER, &shortRecord, &h, KES_CAST_E_ARGUMENT},
        {"no role", 0, &good, &h, KES_CAST_E_ARGUMENT},
        {"an unknown role", 5, &good, &h, KES_CAST_E_ARGUMENT},
        {"a unicast address for the group", KES_CAST_RECEIVER, &unicast, &h, KES_CAST_E_ARGUMENT},
        {"port 0", KES_CAST_RECEIVER, &noPort, &h, KES_CAST_E_ARGUMENT},
        {"port 65536", KES_CAST_RECEIVER, &bigPort, &h, KES_CAST_E_ARGUMENT},
        {"a class of 4097", KES_CAST_SENDER, &tooMany, &h, KES_CAST_E_ARGUMENT},
        {"a class without its list", KES_CAST_SENDER, &noList, &h, KES_CAST_E_ARGUMENT},
        {"a callback that is not code", KES_CAST_RECEIVER, &dataCallback, &h, KES_CAST_E_ARGUMENT},
        {"a folder that does not exist", KES_CAST_RECEIVER, &noFolder, &h, KES_CAST_E_FILE},
    };
    for (const auto &c : opens) {
        h = reinterpret_cast<HKESCAST>(1);
        EXPECT_EQ(c.expected, KesCastOpen(c.role, c.param, c.out)) << c.what;
        if (c.out != nullptr) {
            EXPECT_EQ(nullptr, h) << c.what << ": the handle is emptied";
        }
    }

    KT_REQUIRE_PRIVATE_NETWORK();
    Cast sender(KES_CAST_SENDER, Param(47311)), receiver(KES_CAST_RECEIVER, Param(47311));
    ASSERT_EQ(KES_CAST_OK, sender.result);
    ASSERT_EQ(KES_CAST_OK, receiver.result);
    const char bytes[] = "x";
    KES_CAST_STATUS shortStatus = {};
    shortStatus.dwSize = 8;
    DWORD count = 0;
    HKESCAST stranger = reinterpret_cast<HKESCAST>(&count);
    const struct {
        const char *what;
        int result;
        int expected;
    } calls[] = {
        {"a file sent by a receiver", KesCastSendFile(receiver.h, "x"), KES_CAST_E_ROLE},
        {"a message sent by an object sender", KesCastSendMessage(sender.h, bytes, 1), KES_CAST_E_ROLE},
        {"a receiver's receivers", KesCastGetReceivers(receiver.h, nullptr, 0, &count), KES_CAST_E_ROLE},
        {"a wait on a receiver", KesCastWait(receiver.h, 0), KES_CAST_E_ROLE},
        {"a file that is not there", KesCastSendFile(sender.h, missing.c_str()), KES_CAST_E_FILE},
        {"no path", KesCastSendFile(sender.h, nullptr), KES_CAST_E_ARGUMENT},
        {"an empty buffer", KesCastSendBuffer(sender.h, bytes, 0, "a"), KES_CAST_E_SIZE},
        {"a null buffer", KesCastSendBuffer(sender.h, nullptr, 10, "a"), KES_CAST_E_ARGUMENT},
        {"a name that climbs out of the folder", KesCastSendBuffer(sender.h, bytes, 1, "..\\boot.ini"), KES_CAST_E_ARGUMENT},
        {"a device's name", KesCastSendBuffer(sender.h, bytes, 1, "CON"), KES_CAST_E_ARGUMENT},
        {"a status record of another size", KesCastGetStatus(sender.h, &shortStatus), KES_CAST_E_ARGUMENT},
        {"a list without room", KesCastGetReceivers(sender.h, nullptr, 4, &count), KES_CAST_E_ARGUMENT},
        {"no count", KesCastGetReceivers(sender.h, nullptr, 0, nullptr), KES_CAST_E_ARGUMENT},
        {"a pointer that is no handle", KesCastGetStatus(stranger, &shortStatus), KES_CAST_E_HANDLE},
        {"a null handle", KesCastClose(nullptr), KES_CAST_E_HANDLE},
        {"a wait with nothing under way", KesCastWait(sender.h, 0), KES_CAST_OK},
    };
    for (const auto &c : calls) {
        EXPECT_EQ(c.expected, c.result) << c.what;
        EXPECT_NE(nullptr, KesCastErrorText(c.result));
    }
    EXPECT_STRNE(KesCastErrorText(KES_CAST_E_FILE), KesCastErrorText(KES_CAST_E_SIZE));
    EXPECT_STREQ("not a result of the cast calls", KesCastErrorText(12345));
    KES_CAST_STATUS status = {};
    status.dwSize = sizeof status;
    ASSERT_EQ(KES_CAST_OK, KesCastGetStatus(sender.h, &status));
    EXPECT_EQ(KES_CAST_STATE_IDLE, status.nState) << "nothing was sent";
    EXPECT_EQ(0u, status.dwDataPackets);
    // A closed handle is no handle.
    HKESCAST closed = receiver.h;
    ASSERT_EQ(KES_CAST_OK, KesCastClose(closed));
    receiver.h = nullptr;
    EXPECT_EQ(KES_CAST_E_HANDLE, KesCastClose(closed));
    EXPECT_EQ(KES_CAST_E_HANDLE, KesCastGetStatus(closed, &status));
}

// A buffer to a receiver in memory and one into a folder, then a file to
// both: each copy whole, the folder's under the object's name, and the
// sender's table saying both have each.
TEST_F(CastApi, ObjectsReachEveryReceiverWhole)
{
    KT_REQUIRE_PRIVATE_NETWORK();
    kt::TempTree tree;
    ASSERT_TRUE(tree.ok());
    ASSERT_TRUE(tree.MakeDirectory("in"));
    const std::string folder = tree.Path("in");
    Events sent, inMemory, inFolder;
    KES_CAST_PARAM memoryParam = Param(47312, &inMemory), folderParam = Param(47312, &inFolder);
    memoryParam.dwReceiverId = 11;
    folderParam.dwReceiverId = 12;
    folderParam.pszFolder = folder.c_str();
    const DWORD klass[] = {11, 12};
    KES_CAST_PARAM senderParam = Param(47312, &sent);
    senderParam.pdwExpected = klass;
    senderParam.dwExpected = 2;
    Cast memoryReceiver(KES_CAST_RECEIVER, memoryParam), folderReceiver(KES_CAST_RECEIVER, folderParam);
    Cast sender(KES_CAST_SENDER, senderParam);
    ASSERT_EQ(KES_CAST_OK, memoryReceiver.result);
    ASSERT_EQ(KES_CAST_OK, folderReceiver.result);
    ASSERT_EQ(KES_CAST_OK, sender.result);

    const std::vector<unsigned char> lesson = RandomBytes(3 * 1024 * 1024 + 77, 1);
    ASSERT_EQ(KES_CAST_OK, KesCastSendBuffer(sender.h, lesson.data(), lesson.size(), "lesson 1.bin"));
    EXPECT_EQ(KES_CAST_E_BUSY, KesCastSendBuffer(sender.h, lesson.data(), lesson.size(), "again"))
        << "one object at a time";
    ASSERT_EQ(KES_CAST_OK, KesCastWait(sender.h, kt::Bound(60000)));
    ASSERT_TRUE(inMemory.WaitFor(KES_CAST_EVENT_OBJECT));
    ASSERT_TRUE(inFolder.WaitFor(KES_CAST_EVENT_OBJECT));
    EXPECT_TRUE(inMemory.Of(KES_CAST_EVENT_OBJECT)[0].data == lesson);
    EXPECT_EQ("lesson 1.bin", inMemory.Of(KES_CAST_EVENT_OBJECT)[0].name);
    const std::string kept = tree.Path("in\\lesson 1.bin");
    EXPECT_EQ(kept, inFolder.Of(KES_CAST_EVENT_OBJECT)[0].name);
    EXPECT_TRUE(FileBytes(kept) == lesson);

    KES_CAST_RECEIVER_INFO table[4] = {};
    DWORD count = 0;
    ASSERT_EQ(KES_CAST_OK, KesCastGetReceivers(sender.h, table, 4, &count));
    ASSERT_EQ(2u, count);
    for (DWORD i = 0; i < count; ++i) {
        EXPECT_EQ(klass[i], table[i].dwId);
        EXPECT_EQ(KES_CAST_RECEIVER_HAS_IT, table[i].nState);
    }
    EXPECT_TRUE(sent.WaitFor(KES_CAST_EVENT_FINISHED));
    EXPECT_EQ(2u, sent.Count(KES_CAST_EVENT_HAS_IT));
    KES_CAST_STATUS status = {};
    status.dwSize = sizeof status;
    ASSERT_EQ(KES_CAST_OK, KesCastGetStatus(sender.h, &status));
    EXPECT_EQ(KES_CAST_STATE_DONE, status.nState);
    EXPECT_EQ(lesson.size(), status.dwSizeLow);
    EXPECT_EQ(lesson.size(), status.dwDoneLow);
    EXPECT_EQ(2u, status.dwHaveIt);

    // The next object, from a file, over the same handles.
    const std::vector<unsigned char> exam = RandomBytes(200 * 1024 + 1, 2);
    ASSERT_TRUE(tree.WriteFile("exam.dat", std::string(exam.begin(), exam.end())));
    ASSERT_EQ(KES_CAST_OK, KesCastSendFile(sender.h, tree.Path("exam.dat").c_str()));
    ASSERT_EQ(KES_CAST_OK, KesCastWait(sender.h, kt::Bound(60000)));
    ASSERT_TRUE(inFolder.WaitFor(KES_CAST_EVENT_OBJECT, 2));
    ASSERT_TRUE(inMemory.WaitFor(KES_CAST_EVENT_OBJECT, 2));
    EXPECT_TRUE(FileBytes(tree.Path("in\\exam.dat")) == exam);
    EXPECT_TRUE(inMemory.Of(KES_CAST_EVENT_OBJECT)[1].data == exam);
    EXPECT_EQ(2u, inMemory.Of(KES_CAST_EVENT_OBJECT)[1].object) << "the sender's second object";
}

// A class member that never comes: the sender finishes without it, says it
// is absent, and the wait reports the failure.
TEST_F(CastApi, AnAbsentReceiverIsReportedAndDoesNotHoldTheClass)
{
    KT_REQUIRE_PRIVATE_NETWORK();
    Events sent, got;
    KES_CAST_PARAM receiverParam = Param(47313, &got);
    receiverParam.dwReceiverId = 21;
    const DWORD klass[] = {21, 22};
    KES_CAST_PARAM senderParam = Param(47313, &sent);
    senderParam.pdwExpected = klass;
    senderParam.dwExpected = 2;
    Cast receiver(KES_CAST_RECEIVER, receiverParam), sender(KES_CAST_SENDER, senderParam);
    ASSERT_EQ(KES_CAST_OK, receiver.result);
    ASSERT_EQ(KES_CAST_OK, sender.result);
    const std::vector<unsigned char> bytes = RandomBytes(100000, 3);
    ASSERT_EQ(KES_CAST_OK, KesCastSendBuffer(sender.h, bytes.data(), bytes.size(), nullptr));
    EXPECT_EQ(KES_CAST_E_FAILED, KesCastWait(sender.h, kt::Bound(60000)));
    ASSERT_TRUE(sent.WaitFor(KES_CAST_EVENT_FINISHED));
    ASSERT_TRUE(got.WaitFor(KES_CAST_EVENT_OBJECT));
    EXPECT_TRUE(got.Of(KES_CAST_EVENT_OBJECT)[0].data == bytes);
    ASSERT_TRUE(sent.WaitFor(KES_CAST_EVENT_ABSENT));
    EXPECT_EQ(22u, sent.Of(KES_CAST_EVENT_ABSENT)[0].receiver);
    EXPECT_EQ("not every receiver has it", sent.Of(KES_CAST_EVENT_FINISHED).at(0).why);
    KES_CAST_RECEIVER_INFO table[1] = {};
    DWORD count = 0;
    ASSERT_EQ(KES_CAST_OK, KesCastGetReceivers(sender.h, table, 1, &count));
    EXPECT_EQ(2u, count) << "the count of all, though one fits";
    EXPECT_EQ(21u, table[0].dwId);
    EXPECT_EQ(KES_CAST_RECEIVER_HAS_IT, table[0].nState);
}

// An object a receiver cannot take (more than memory holds; a folder that has
// gone): it is left alone, and the host is told so, once.
TEST_F(CastApi, AnObjectAReceiverCannotTakeIsReportedOnce)
{
    KT_REQUIRE_PRIVATE_NETWORK();
    kt::TempTree tree;
    ASSERT_TRUE(tree.ok());
    ASSERT_TRUE(tree.MakeDirectory("gone"));
    const unsigned long long big = (1ull << 30) + 1;
    ASSERT_TRUE(tree.WriteSparseFile("big.bin", big, "head"));
    const std::string gone = tree.Path("gone");
    Events inMemory, inFolder;
    KES_CAST_PARAM memoryParam = Param(47316, &inMemory), folderParam = Param(47316, &inFolder);
    folderParam.pszFolder = gone.c_str();
    Cast memoryReceiver(KES_CAST_RECEIVER, memoryParam), folderReceiver(KES_CAST_RECEIVER, folderParam);
    ASSERT_EQ(KES_CAST_OK, memoryReceiver.result);
    ASSERT_EQ(KES_CAST_OK, folderReceiver.result);
    ASSERT_TRUE(RemoveDirectoryA(gone.c_str()));
    Cast sender(KES_CAST_SENDER, Param(47316));
    ASSERT_EQ(KES_CAST_OK, sender.result);
    ASSERT_EQ(KES_CAST_OK, KesCastSendFile(sender.h, tree.Path("big.bin").c_str()));
    const struct {
        const char *what;
        Events *events;
        const char *why;
    } cases[] = {{"in memory", &inMemory, "larger than a receiver in memory takes"},
                 {"into a folder that has gone", &inFolder, "no file for it could be made"}};
    for (const auto &c : cases) {
        ASSERT_TRUE(c.events->WaitFor(KES_CAST_EVENT_ABANDONED)) << c.what;
        const Seen refused = c.events->Of(KES_CAST_EVENT_ABANDONED)[0];
        EXPECT_EQ(big, refused.size) << c.what;
        EXPECT_NE(std::string::npos, refused.why.find(c.why)) << c.what << ": " << refused.why;
    }
    // Hundreds more of the object's packets come; the host was told once.
    KES_CAST_STATUS status = {};
    status.dwSize = sizeof status;
    const DWORD start = GetTickCount();
    do {
        ASSERT_EQ(KES_CAST_OK, KesCastGetStatus(memoryReceiver.h, &status));
    } while (status.dwDataPackets < 500 && GetTickCount() - start < kt::Bound() && (Sleep(10), true));
    EXPECT_GE(status.dwDataPackets, 500u);
    EXPECT_EQ(KES_CAST_STATE_IDLE, status.nState);
    EXPECT_EQ(1u, inMemory.Count(KES_CAST_EVENT_ABANDONED));
    EXPECT_EQ(0u, inMemory.Count(KES_CAST_EVENT_STARTED));
}

// A live stream at a screen's pace: every message whole and in order.
TEST_F(CastApi, StreamMessagesArriveWholeAndInOrder)
{
    KT_REQUIRE_PRIVATE_NETWORK();
    Events got;
    Cast receiver(KES_CAST_STREAM_RECEIVER, Param(47314, &got)), sender(KES_CAST_STREAM_SENDER, Param(47314));
    ASSERT_EQ(KES_CAST_OK, receiver.result);
    ASSERT_EQ(KES_CAST_OK, sender.result);
    std::vector<std::vector<unsigned char>> frames;
    for (unsigned i = 0; i < 40; ++i) {
        frames.push_back(RandomBytes(1 + i * 997, 10 + i));
        ASSERT_EQ(KES_CAST_OK, KesCastSendMessage(sender.h, frames.back().data(), static_cast<DWORD>(frames.back().size())));
        Sleep(30);  // the pace of the frames, not a wait for the library
    }
    std::vector<unsigned char> tooLong(355601);
    EXPECT_EQ(KES_CAST_E_SIZE, KesCastSendMessage(sender.h, tooLong.data(), static_cast<DWORD>(tooLong.size())));
    KES_CAST_STATUS sent = {}, heard = {};
    sent.dwSize = heard.dwSize = sizeof sent;
    ASSERT_TRUE(got.WaitFor(KES_CAST_EVENT_MESSAGE, frames.size()))
        << (KesCastGetStatus(sender.h, &sent), KesCastGetStatus(receiver.h, &heard), "")
        << "sent " << sent.dwMessages << " in " << sent.dwDataPackets << " packets; delivered " << heard.dwMessages
        << ", skipped " << heard.dwSkipped << ", asked " << heard.dwRepairPackets << " times";
    std::vector<Seen> messages = got.Of(KES_CAST_EVENT_MESSAGE);
    for (size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(i, messages[i].object);
        EXPECT_TRUE(messages[i].data == frames[i]) << "message " << i;
    }
    EXPECT_EQ(0u, got.Count(KES_CAST_EVENT_SKIPPED));
}

// The callback may close its own handle, and a wait under way on another
// thread returns when the handle closes.
TEST_F(CastApi, ClosingFromTheCallbackAndUnderAWait)
{
    KT_REQUIRE_PRIVATE_NETWORK();
    Events got;
    Cast receiver(KES_CAST_RECEIVER, Param(47315, &got));
    ASSERT_EQ(KES_CAST_OK, receiver.result);
    HKESCAST self = receiver.h;
    int closedInside = KES_CAST_E_HANDLE;
    got.m_onEvent = [&](const KES_CAST_EVENT &e) {
        if (e.nEvent == KES_CAST_EVENT_STARTED)
            closedInside = KesCastClose(self);
    };
    const DWORD absent[] = {99};
    KES_CAST_PARAM senderParam = Param(47315);
    senderParam.pdwExpected = absent;
    senderParam.dwExpected = 1;
    senderParam.dwMaxRate = 1000000;  // the object takes some 17 s: it is under way when closed
    Cast sender(KES_CAST_SENDER, senderParam);
    ASSERT_EQ(KES_CAST_OK, sender.result);
    const std::vector<unsigned char> bytes = RandomBytes(2 * 1024 * 1024, 4);
    ASSERT_EQ(KES_CAST_OK, KesCastSendBuffer(sender.h, bytes.data(), bytes.size(), "x"));
    ASSERT_TRUE(got.WaitFor(KES_CAST_EVENT_STARTED));
    receiver.h = nullptr;
    EXPECT_EQ(KES_CAST_OK, closedInside);

    int waited = KES_CAST_OK;
    HKESCAST h = sender.h;
    std::thread waiter([&] { waited = KesCastWait(h, kt::Bound(60000)); });
    Sleep(200);  // mostly lets the wait begin; a close before it gives the same result
    sender.h = nullptr;
    EXPECT_EQ(KES_CAST_OK, KesCastClose(h));
    waiter.join();
    EXPECT_EQ(KES_CAST_E_HANDLE, waited);
}

}  // namespace
