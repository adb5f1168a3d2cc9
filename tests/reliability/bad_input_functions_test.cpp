// Bad input to every exported plain function, one table per function: null
// pointers, pointers to memory that cannot be read or written, buffers whose
// end runs into such memory, texts without a terminator, and every number at
// its extremes. Each call must give its documented result (or the safe one the
// library chose where the documented call would crash), never crash, and never
// write beside an output buffer.
#include <limits.h>
#include <string.h>

#include <string>
#include <vector>

#include "input_support.h"
#include "new_threads.h"

namespace {

using kt::Row;

const DWORD kAll = 0xFFFFFFFF;

class BadInput : public kt::WinsockTest {
protected:
    std::shared_ptr<kr::Guarded> Out(size_t n) { return std::make_shared<kr::Guarded>(n); }

    kr::BadMemory m_bad;
};

// The functions without arguments can only be called at the wrong time.
TEST(BadInputOrder, CallsOutOfOrderFailCleanly)
{
    kt::ExpectRows({
        {"KesExitInstance without a start", [] { return KesExitInstance(); }, 0},
        {"KesStopListen without KesListen", [] { return KesStopListen(); }, 0},
        {"KesLanWakeUp before KesInitInstance", [] { return KesLanWakeUp(0, nullptr, 0); }, 0},
        {"KesInitInstance", [] { return KesInitInstance(); }, 1},
        {"KesStopListen twice without KesListen", [] { return KesStopListen() + KesStopListen(); }, 0},
        {"KesExitInstance", [] { return KesExitInstance(); }, 1},
        {"KesExitInstance once more", [] { return KesExitInstance(); }, 0},
    });
}

TEST_F(BadInput, KesSend)
{
    kt::RawUdp receiver;
    ASSERT_TRUE(receiver.ok());
    int port = receiver.port();
    DWORD to = kt::Loopback();
    std::vector<char> big(65508, 'b');
    const char *payload = static_cast<const char *>(m_bad.ReadOnly("payload", 7));
    const char *bigData = static_cast<const char *>(m_bad.ReadOnly(big.data(), big.size()));
    auto arrives = [&](size_t length) -> Row::Check {
        return [&receiver, length] {
            kt::Datagram d;
            return kt::Holds(receiver.Receive(&d) && d.data.size() == length, "the datagram did not arrive whole");
        };
    };
    Row::Check nothing = [&] { return kt::Holds(kr::NothingArrived(receiver), "a datagram was sent"); };
    bool foreignBinds = kr::BindsForeignAddress(SOCK_DGRAM);
    std::vector<Row> rows = {
        {"plain send from read-only data", [&] { return KesSend(1, payload, 7, to, port, 0); }, 1, arrives(7)},
        {"null data, length 0", [&] { return KesSend(1, nullptr, 0, to, port, 0); }, 1, arrives(0)},
        {"null data, length 1", [&] { return KesSend(1, nullptr, 1, to, port, 0); }, 0, nothing},
        {"unreadable data", [&] { return KesSend(1, m_bad.NoAccess(), 1, to, port, 0); }, 0, nothing},
        {"data running into unreadable memory", [&] { return KesSend(1, m_bad.Tail(10), 11, to, port, 0); }, 0, nothing},
        {"length INT_MAX", [&] { return KesSend(1, payload, INT_MAX, to, port, 0); }, 0, nothing},
        {"length 0xFFFFFFFF", [&] { return KesSend(1, payload, kAll, to, port, 0); }, 0, nothing},
        {"largest datagram", [&] { return KesSend(1, bigData, 65507, to, port, 0); }, 1, arrives(65507)},
        {"one byte more than a datagram holds", [&] { return KesSend(1, bigData, 65508, to, port, 0); }, 0, nothing},
        {"mode 0", [&] { return KesSend(0, payload, 7, to, port, 0); }, 1, nothing},
        {"mode 3", [&] { return KesSend(3, payload, 7, to, port, 0); }, 1, nothing},
        {"mode -1", [&] { return KesSend(-1, payload, 7, to, port, 0); }, 1, nothing},
        {"mode INT_MIN", [&] { return KesSend(INT_MIN, payload, 7, to, port, 0); }, 1, nothing},
        {"multicast to an address that is no group", [&] { return KesSend(2, payload, 7, kt::Addr("10.1.2.3"), port, 0); }, 0, nothing},
        {"port above 65535 keeps its low 16 bits", [&] { return KesSend(1, payload, 7, to, port + 65536, 0); }, 1, arrives(7)},
        {"negative port keeps its low 16 bits", [&] { return KesSend(1, payload, 7, to, port - 65536, 0); }, 1, arrives(7)},
        {"from loopback", [&] { return KesSend(1, payload, 7, to, port, kt::Loopback()); }, 1, arrives(7)},
        {"from an address the host does not have", [&] { return KesSend(1, payload, 7, to, port, kr::ForeignAddress()); },
         foreignBinds ? 1 : 0, foreignBinds ? arrives(7) : nothing},
    };
    kt::ExpectRows(rows);
}

TEST_F(BadInput, KesListen)
{
    kt::Collector received;
    int port = kt::FreeUdpPort();
    kt::RawUdp sender;
    // Starts the process-wide listener with the arguments; when it starts, one
    // datagram is sent to port: a callable callback receives it, any other
    // callback pointer ends the receive thread without being called. Then the
    // listener is stopped.
    auto listen = [&](int mode, ReceiveProc proc, int nPort, DWORD group, DWORD local) {
        return [&, mode, proc, nPort, group, local]() -> long {
            kt::NewThreads threads;
            size_t before = received.Count();
            if (!KesListen(mode, proc, nPort, group, &received, local))
                return 0;
            bool served = sender.SendTo("ping", 4, kt::Loopback(), port) &&
                          (proc == kt::Collector::Receive ? received.WaitFor(before + 1) : threads.OneEnded());
            EXPECT_TRUE(served) << "the datagram was not handled";
            return KesStopListen();
        };
    };
    ReceiveProc collect = kt::Collector::Receive;
    bool foreignBinds = kr::BindsForeignAddress(SOCK_DGRAM);
    std::vector<Row> rows = {
        {"plain", listen(1, collect, port, 0, 0), 1},
        {"mode 0", listen(0, collect, port, 0, 0), 1},
        {"mode 3", listen(3, collect, port, 0, 0), 1},
        {"mode -1", listen(-1, collect, port, 0, 0), 1},
        {"multicast with an address that is no group", listen(2, collect, port, kt::Addr("10.1.2.3"), 0), 0},
        {"a group is ignored in mode 1", listen(1, collect, port, kt::Addr("10.1.2.3"), 0), 1},
        {"port above 65535 keeps its low 16 bits", listen(1, collect, port + 65536, 0, 0), 1},
        {"negative port keeps its low 16 bits", listen(1, collect, port - 65536, 0, 0), 1},
        {"null callback", listen(1, nullptr, port, 0, 0), 1},
        {"callback in memory with no access", listen(1, m_bad.NoAccessCode(), port, 0, 0), 1},
        {"callback in data that is not code", listen(1, m_bad.DataAsCode(), port, 0, 0), 1},
        {"on loopback", listen(1, collect, port, 0, kt::Loopback()), 1},
        {"on an address the host does not have",
         [&]() -> long {
             int started = KesListen(1, collect, port, 0, &received, kr::ForeignAddress());
             return started + KesStopListen();
         },
         foreignBinds ? 2 : 0},
    };
    kt::ExpectRows(rows);
    EXPECT_EQ(0, KesStopListen());
}

TEST_F(BadInput, KesGetHostName)
{
    char expected[256] = {};
    ASSERT_EQ(0, gethostname(expected, sizeof expected));
    auto name = Out(64);
    kr::ExpectRows(
        {
            {"null", [] { return KesGetHostName(nullptr); }, 0},
            {"no access", [&] { return KesGetHostName(m_bad.NoAccessAs<char>()); }, 0},
            {"room for the name but not for 64 bytes",
             [&] { return KesGetHostName(m_bad.TailAs<char>(strlen(expected) + 1)); }, 0},
            {"read-only", [&] { return KesGetHostName(static_cast<char *>(m_bad.ReadOnly(expected, 64))); }, 0},
            {"64 bytes", [&] { return KesGetHostName(name->get()); }, 1,
             [&] { return kt::Holds(name->Text() == expected, "not the host name"); }},
        },
        {name});
}

TEST_F(BadInput, KesGetCompName)
{
    char expected[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD length = sizeof expected;
    ASSERT_TRUE(GetComputerNameA(expected, &length));
    DWORD fits = length + 1;
    auto name = Out(fits);
    auto small = Out(length);
    auto untouched = [](const std::shared_ptr<kr::Guarded> &buffer) {
        return [buffer] { return kt::Holds(buffer->Untouched(), "the buffer was written"); };
    };
    kr::ExpectRows(
        {
            {"exactly large enough", [&] { return KesGetCompName(name->get(), fits); }, 1,
             [&] { return kt::Holds(name->Text() == expected, "not the computer name"); }},
            {"one byte too small", [&] { return KesGetCompName(small->get(), length); }, 0, untouched(small)},
            {"size 0", [&] { return KesGetCompName(small->get(), 0); }, 0, untouched(small)},
            {"null, size 0", [] { return KesGetCompName(nullptr, 0); }, 0},
            {"null with a size", [&] { return KesGetCompName(nullptr, fits); }, 0},
            {"no access", [&] { return KesGetCompName(m_bad.NoAccessAs<char>(), fits); }, 0},
            {"writable over less than the size", [&] { return KesGetCompName(m_bad.TailAs<char>(fits), fits + 1); }, 0},
            {"size 0xFFFFFFFF", [&] { return KesGetCompName(name->get(), kAll); }, 0},
        },
        {name, small});
}

TEST_F(BadInput, VantixGetHostIP)
{
    DWORD expected[16] = {};
    int count = VantixGetHostIP(expected);
    ASSERT_GT(count, 0);
    auto list = Out(16 * sizeof(DWORD));
    kr::ExpectRows(
        {
            {"room for 16", [&] { return VantixGetHostIP(list->as<DWORD>()); }, count,
             [&] { return kt::Holds(memcmp(list->get(), expected, count * sizeof(DWORD)) == 0, "not the addresses"); }},
            {"null", [] { return VantixGetHostIP(nullptr); }, 0},
            {"no access", [&] { return VantixGetHostIP(m_bad.NoAccessAs<DWORD>()); }, 0},
            {"room for the addresses but not for 16",
             [&] { return VantixGetHostIP(m_bad.TailAs<DWORD>(count * sizeof(DWORD))); }, 0},
        },
        {list});
}

TEST_F(BadInput, KesGetHostIP)
{
    DWORD expected[16] = {};
    int count = VantixGetHostIP(expected);
    ASSERT_GT(count, 0);
    auto first = Out(16 * sizeof(DWORD));
    auto second = Out(16 * sizeof(DWORD));
    DWORD *bad = m_bad.NoAccessAs<DWORD>();
    DWORD *tail = m_bad.TailAs<DWORD>(count * sizeof(DWORD));
    kr::ExpectRows(
        {
            {"both null", [] { return KesGetHostIP(nullptr, nullptr); }, count},
            {"both with room for 16", [&] { return KesGetHostIP(first->as<DWORD>(), second->as<DWORD>()); }, count},
            {"first with no access", [&] { return KesGetHostIP(bad, nullptr); }, 0},
            {"second with no access", [&] { return KesGetHostIP(nullptr, bad); }, 0},
            {"first with room for the addresses only", [&] { return KesGetHostIP(tail, nullptr); }, 0},
            {"second with room for the addresses only", [&] { return KesGetHostIP(first->as<DWORD>(), tail); }, 0},
        },
        {first, second});
}

TEST_F(BadInput, KesGetNetCard)
{
    int count = KesGetNetCard(nullptr);
    ASSERT_GT(count, 0) << "NetBIOS lists no adapter";
    auto list = Out(count * 6);
    kr::ExpectRows(
        {
            {"null only counts", [] { return KesGetNetCard(nullptr); }, count},
            {"room for every record", [&] { return KesGetNetCard(list->as<BYTE>()); }, count,
             [&] { return kt::Holds(!list->Untouched(), "no record written"); }},
            {"no access", [&] { return KesGetNetCard(m_bad.NoAccessAs<BYTE>()); }, 0},
            {"one byte short", [&] { return KesGetNetCard(m_bad.Tail(count * 6 - 1)); }, 0},
            {"read-only", [&] { return KesGetNetCard(static_cast<BYTE *>(m_bad.ReadOnly(list->get(), count * 6))); }, 0},
        },
        {list});
}

// Only lists the library refuses before it sends, and an empty one: a wake-up
// that goes out is a broadcast, which belongs inside the private network (the
// wake-up tests send them there).
TEST_F(BadInput, KesLanWakeUp)
{
    bool foreignBinds = kr::BindsForeignAddress(SOCK_DGRAM);
    kt::ExpectRows({
        {"null, count 0", [] { return KesLanWakeUp(0, nullptr, 0); }, 1},
        {"null, count 1", [] { return KesLanWakeUp(0, nullptr, 1); }, 0},
        {"no access", [&] { return KesLanWakeUp(0, m_bad.NoAccessAs<BYTE>(), 1); }, 0},
        {"one byte short of two records", [&] { return KesLanWakeUp(0, m_bad.Tail(11), 2); }, 0},
        {"count INT_MAX", [&] { return KesLanWakeUp(0, m_bad.Tail(12), INT_MAX); }, 0},
        {"count whose byte size wraps to 2", [&] { return KesLanWakeUp(0, m_bad.Tail(12), 0x2AAAAAABu); }, 0},
        {"count 0xFFFFFFFF", [&] { return KesLanWakeUp(0, m_bad.Tail(12), kAll); }, 0},
        {"count 0 from an address the host does not have", [] { return KesLanWakeUp(kr::ForeignAddress(), nullptr, 0); },
         foreignBinds ? 1 : 0},
    });
}

// KesWakeUp's bad input is in tests/unit/wake_up_test.cpp, where the receiver
// on the second host can tell that nothing was sent.
TEST_F(BadInput, KesGetInterfaces)
{
    int count = KesGetInterfaces(nullptr, nullptr, 0);
    DWORD room = static_cast<DWORD>(count) + 1;
    auto addr = Out(room * sizeof(DWORD));
    auto mask = Out(room * sizeof(DWORD));
    DWORD *bad = m_bad.NoAccessAs<DWORD>();
    kr::ExpectRows(
        {
            {"both null only count", [] { return KesGetInterfaces(nullptr, nullptr, 16); }, count},
            {"room for one more than there are", [&] { return KesGetInterfaces(addr->as<DWORD>(), mask->as<DWORD>(), room); },
             count},
            {"no access, and no room asked for", [&] { return KesGetInterfaces(bad, bad, 0); }, count},
            {"addresses with no access", [&] { return KesGetInterfaces(bad, nullptr, 1); }, 0},
            {"masks with no access", [&] { return KesGetInterfaces(nullptr, bad, 1); }, 0},
            {"addresses one entry short", [&] { return KesGetInterfaces(m_bad.TailAs<DWORD>((room - 1) * 4), nullptr, room); },
             0},
            {"read-only masks",
             [&] { return KesGetInterfaces(nullptr, static_cast<DWORD *>(m_bad.ReadOnly(mask->get(), room * 4)), room); }, 0},
            {"a count whose byte size wraps to 4", [&] { return KesGetInterfaces(addr->as<DWORD>(), nullptr, 0x40000001); }, 0},
            {"count 0xFFFFFFFF", [&] { return KesGetInterfaces(addr->as<DWORD>(), nullptr, kAll); }, 0},
        },
        {addr, mask});
}

// The registry functions under a key of HKEY_CURRENT_USER of this run.
class BadRegistryInput : public BadInput {
protected:
    void SetUp() override
    {
        BadInput::SetUp();
        m_key = "Software\\kesnet-tests\\bad-input-" + std::to_string(GetCurrentProcessId());
        ASSERT_EQ(1, RegWriteDWORD(HKEY_CURRENT_USER, m_key.c_str(), "number", 0x01020304));
        ASSERT_EQ(1, RegWriteString(HKEY_CURRENT_USER, m_key.c_str(), "text", "hello", 6));
    }
    void TearDown() override
    {
        RegDeleteTreeA(HKEY_CURRENT_USER, m_key.c_str());
        RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\kesnet-tests");  // only if no other run uses it
        BadInput::TearDown();
    }
    const char *Key() const { return m_key.c_str(); }
    // An unterminated text: the key's path with no zero after it, right before
    // a page with no access.
    const char *Unterminated(const std::string &text)
    {
        char *tail = m_bad.TailAs<char>(text.size());
        memcpy(tail, text.data(), text.size());
        return tail;
    }

    std::string m_key;
};

HKEY const kNoSuchRoot = reinterpret_cast<HKEY>(0x12345678);

TEST_F(BadRegistryInput, RegReadDWORD)
{
    auto value = Out(sizeof(DWORD));
    auto reads = [&](DWORD expected) {
        return [value, expected] { return kt::Holds(*value->as<DWORD>() == expected, "not the stored number"); };
    };
    const char *noAccess = m_bad.NoAccessAs<char>();
    kr::ExpectRows(
        {
            {"the number", [&] { return RegReadDWORD(HKEY_CURRENT_USER, Key(), "number", value->as<DWORD>()); }, 1,
             reads(0x01020304)},
            {"null destination only asks", [&] { return RegReadDWORD(HKEY_CURRENT_USER, Key(), "number", nullptr); }, 1},
            {"destination with no access",
             [&] { return RegReadDWORD(HKEY_CURRENT_USER, Key(), "number", m_bad.NoAccessAs<DWORD>()); }, 0},
            {"destination of 3 bytes", [&] { return RegReadDWORD(HKEY_CURRENT_USER, Key(), "number", m_bad.TailAs<DWORD>(3)); },
             0},
            {"a value longer than 4 bytes", [&] { return RegReadDWORD(HKEY_CURRENT_USER, Key(), "text", value->as<DWORD>()); },
             0},
            {"no such root", [&] { return RegReadDWORD(kNoSuchRoot, Key(), "number", value->as<DWORD>()); }, 0},
            {"null root", [&] { return RegReadDWORD(nullptr, Key(), "number", value->as<DWORD>()); }, 0},
            {"null key path reads the root's own value",
             [&] { return RegReadDWORD(HKEY_CURRENT_USER, nullptr, "kesnet-no-such-value", value->as<DWORD>()); }, 0},
            {"key path with no access", [&] { return RegReadDWORD(HKEY_CURRENT_USER, noAccess, "number", nullptr); }, 0},
            {"unterminated key path", [&] { return RegReadDWORD(HKEY_CURRENT_USER, Unterminated(m_key), "number", nullptr); },
             0},
            {"value name with no access", [&] { return RegReadDWORD(HKEY_CURRENT_USER, Key(), noAccess, nullptr); }, 0},
            {"unterminated value name", [&] { return RegReadDWORD(HKEY_CURRENT_USER, Key(), Unterminated("number"), nullptr); },
             0},
        },
        {value});
}

TEST_F(BadRegistryInput, RegReadString)
{
    auto text = Out(16);
    const char *noAccess = m_bad.NoAccessAs<char>();
    kr::ExpectRows(
        {
            {"the text", [&] { return RegReadString(HKEY_CURRENT_USER, Key(), "text", text->get(), 16); }, 1,
             [&] { return kt::Holds(text->Text() == "hello", "not the stored text"); }},
            {"null buffer with size 0 only asks", [&] { return RegReadString(HKEY_CURRENT_USER, Key(), "text", nullptr, 0); }, 1},
            {"null buffer with a size", [&] { return RegReadString(HKEY_CURRENT_USER, Key(), "text", nullptr, 16); }, 0},
            {"buffer with no access", [&] { return RegReadString(HKEY_CURRENT_USER, Key(), "text", m_bad.NoAccessAs<char>(), 16); },
             0},
            {"buffer writable over less than the size",
             [&] { return RegReadString(HKEY_CURRENT_USER, Key(), "text", m_bad.TailAs<char>(6), 7); }, 0},
            {"size 0xFFFFFFFF", [&] { return RegReadString(HKEY_CURRENT_USER, Key(), "text", text->get(), kAll); }, 0},
            {"no such root", [&] { return RegReadString(kNoSuchRoot, Key(), "text", text->get(), 16); }, 0},
            {"key path with no access", [&] { return RegReadString(HKEY_CURRENT_USER, noAccess, "text", text->get(), 16); }, 0},
            {"unterminated key path",
             [&] { return RegReadString(HKEY_CURRENT_USER, Unterminated(m_key), "text", text->get(), 16); }, 0},
            {"value name with no access", [&] { return RegReadString(HKEY_CURRENT_USER, Key(), noAccess, text->get(), 16); }, 0},
            {"unterminated value name",
             [&] { return RegReadString(HKEY_CURRENT_USER, Key(), Unterminated("text"), text->get(), 16); }, 0},
        },
        {text});
}

TEST_F(BadRegistryInput, RegWriteDWORD)
{
    const char *noAccess = m_bad.NoAccessAs<char>();
    DWORD stored = 0;
    kt::ExpectRows({
        {"a number", [&] { return RegWriteDWORD(HKEY_CURRENT_USER, Key(), "written", 0xFFFFFFFF); }, 1,
         [&] {
             return kt::Holds(RegReadDWORD(HKEY_CURRENT_USER, Key(), "written", &stored) && stored == 0xFFFFFFFF,
                          "not stored");
         }},
        {"null value name writes the key's default value",
         [&] { return RegWriteDWORD(HKEY_CURRENT_USER, Key(), nullptr, 7); }, 1},
        {"no such root", [&] { return RegWriteDWORD(kNoSuchRoot, Key(), "written", 1); }, 0},
        {"key path with no access", [&] { return RegWriteDWORD(HKEY_CURRENT_USER, noAccess, "written", 1); }, 0},
        {"unterminated key path", [&] { return RegWriteDWORD(HKEY_CURRENT_USER, Unterminated(m_key), "written", 1); }, 0},
        {"value name with no access", [&] { return RegWriteDWORD(HKEY_CURRENT_USER, Key(), noAccess, 1); }, 0},
        {"unterminated value name", [&] { return RegWriteDWORD(HKEY_CURRENT_USER, Key(), Unterminated("written"), 1); }, 0},
    });
}

TEST_F(BadRegistryInput, RegWriteString)
{
    const char *noAccess = m_bad.NoAccessAs<char>();
    const char *text = static_cast<const char *>(m_bad.ReadOnly("abc", 4));
    kt::ExpectRows({
        {"read-only text", [&] { return RegWriteString(HKEY_CURRENT_USER, Key(), "written", text, 4); }, 1},
        {"null data, size 0", [&] { return RegWriteString(HKEY_CURRENT_USER, Key(), "empty", nullptr, 0); }, 1},
        {"null data with a size", [&] { return RegWriteString(HKEY_CURRENT_USER, Key(), "written", nullptr, 4); }, 0},
        {"data with no access", [&] { return RegWriteString(HKEY_CURRENT_USER, Key(), "written", noAccess, 4); }, 0},
        {"data readable over less than the size",
         [&] { return RegWriteString(HKEY_CURRENT_USER, Key(), "written", Unterminated("abc"), 4); }, 0},
        {"size 0xFFFFFFFF", [&] { return RegWriteString(HKEY_CURRENT_USER, Key(), "written", text, kAll); }, 0},
        {"no such root", [&] { return RegWriteString(kNoSuchRoot, Key(), "written", text, 4); }, 0},
        {"key path with no access", [&] { return RegWriteString(HKEY_CURRENT_USER, noAccess, "written", text, 4); }, 0},
        {"unterminated key path", [&] { return RegWriteString(HKEY_CURRENT_USER, Unterminated(m_key), "written", text, 4); },
         0},
        {"value name with no access", [&] { return RegWriteString(HKEY_CURRENT_USER, Key(), noAccess, text, 4); }, 0},
        {"unterminated value name",
         [&] { return RegWriteString(HKEY_CURRENT_USER, Key(), Unterminated("written"), text, 4); }, 0},
    });
}

// The file functions take one path each; the folder of this program is a
// directory, this program a file that is no bitmap.
TEST_F(BadInput, SFGetCatalogSize)
{
    std::string folder = kr::ProgramFolder();
    kt::ExpectRows({
        {"null", [] { return SFGetCatalogSize(nullptr); }, 0},
        {"empty", [] { return SFGetCatalogSize(""); }, 0},
        {"no access", [&] { return SFGetCatalogSize(m_bad.NoAccessAs<char>()); }, 0},
        {"unterminated", [&] { return SFGetCatalogSize(m_bad.TailAs<char>(3)); }, 0},
        {"unterminated after a whole folder path",
         [&] {
             char *path = m_bad.TailAs<char>(folder.size());
             memcpy(path, folder.data(), folder.size());
             return SFGetCatalogSize(path);
         },
         0},
        {"longer than MAX_PATH", [] { return SFGetCatalogSize(std::string(MAX_PATH * 2, 'a').c_str()); }, 0},
        {"read-only copy of a folder path",
         [&] { return SFGetCatalogSize(static_cast<const char *>(m_bad.ReadOnly(folder.c_str(), folder.size() + 1))) > 0; },
         1},
    });
}

TEST_F(BadInput, SIsFileBmp)
{
    char program[MAX_PATH];
    GetModuleFileNameA(nullptr, program, sizeof program);
    kt::ExpectRows({
        {"null", [] { return SIsFileBmp(nullptr); }, 0},
        {"empty", [] { return SIsFileBmp(""); }, 0},
        {"no access", [&] { return SIsFileBmp(m_bad.NoAccessAs<char>()); }, 0},
        {"unterminated", [&] { return SIsFileBmp(m_bad.TailAs<char>(300, 'B')); }, 0},
        {"longer than MAX_PATH", [] { return SIsFileBmp(std::string(MAX_PATH * 2, 'a').c_str()); }, 0},
        {"read-only path of a program", [&] { return SIsFileBmp(static_cast<const char *>(m_bad.ReadOnly(program, MAX_PATH))); },
         0},
    });
}

TEST_F(BadInput, SIsFileWav)
{
    kt::ExpectRows({
        {"null", [] { return SIsFileWav(nullptr); }, 1},
        {"no access", [&] { return SIsFileWav(m_bad.NoAccessAs<char>()); }, 1},
        {"unterminated", [&] { return SIsFileWav(m_bad.TailAs<char>(3)); }, 1},
    });
}

TEST_F(BadInput, KesGetDllVersion)
{
    std::string module = kr::ProgramFolder() + "kesnet.dll";
    std::string expected = KESNET_EXPECTED_VERSION;
    auto version = Out(expected.size() + 1);
    kr::ExpectRows(
        {
            {"the library's version", [&] { return KesGetDllVersion(module.c_str(), version->get()); }, 1,
             [&] { return kt::Holds(version->Text() == expected, "not the product version"); }},
            {"null buffer", [&] { return KesGetDllVersion(module.c_str(), nullptr); }, 0},
            {"buffer with no access", [&] { return KesGetDllVersion(module.c_str(), m_bad.NoAccessAs<char>()); }, 0},
            {"buffer one byte short",
             [&] {
                 char *tail = m_bad.TailAs<char>(expected.size(), kr::Guarded::kFill);
                 int result = KesGetDllVersion(module.c_str(), tail);
                 EXPECT_EQ(std::string(expected.size(), static_cast<char>(kr::Guarded::kFill)),
                           std::string(tail, expected.size()))
                     << "the buffer was written";
                 return result;
             },
             0},
            {"read-only buffer",
             [&] { return KesGetDllVersion(module.c_str(), static_cast<char *>(m_bad.ReadOnly(version->get(), 64))); }, 0},
            {"null module name", [&] { return KesGetDllVersion(nullptr, version->get()); }, 0},
            {"module name with no access", [&] { return KesGetDllVersion(m_bad.NoAccessAs<char>(), version->get()); }, 0},
            {"unterminated module name", [&] { return KesGetDllVersion(m_bad.TailAs<char>(300), version->get()); }, 0},
            {"a module without version data", [&] { return KesGetDllVersion("no such module.dll", version->get()); }, 0},
        },
        {version});
}

TEST(BadInputFactory, KesCreateObject)
{
    std::vector<Row> rows;
    for (int code : {INT_MIN, -1, 0, 3, 4, 6, 7, 256 + 1, 256 + 5, 65536 + 2, INT_MAX})
        rows.push_back({"code " + std::to_string(code), [code] { return KesCreateObject(code) != nullptr; }, 0});
    rows.push_back({"code 1", [] {
                        CTcpListenObject *made = static_cast<CTcpListenObject *>(KesCreateObject(1));
                        kt::DeleteStreamObject(made);
                        return made != nullptr;
                    },
                    1});
    rows.push_back({"code 2", [] {
                        CTcpSendObject *made = static_cast<CTcpSendObject *>(KesCreateObject(2));
                        kt::DeleteStreamObject(made);
                        return made != nullptr;
                    },
                    1});
    rows.push_back({"code 5", [] {
                        CTcpListen3Object *made = static_cast<CTcpListen3Object *>(KesCreateObject(5));
                        kt::DeleteStreamObject(made);
                        return made != nullptr;
                    },
                    1});
    kt::ExpectRows(rows);
}

}  // namespace
