// The host-address functions against a resolver that the test controls.
//
// host_addresses_test.sh runs this program in private network, UTS and mount
// namespaces with a host name and a hosts file of its choosing, one run per
// number of addresses, and names them in KESNET_HOST_NAME and
// KESNET_HOST_ADDRESSES (the name's addresses in the hosts file's order). In a
// namespace with loopback alone, Wine asks the resolver for the addresses of
// the machine's own name, so the hosts file decides what the library sees.
//
// KesGetHostIP and CorGetHostIP run in a child process (host_ip_call, through
// the DLL) under this program's debugger loop, which receives the library's
// debug line exactly as a debugger does.
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

const char kSettingsParent[] = "SOFTWARE\\Tarnwick";
const char kSettingsKey[] = "SOFTWARE\\Tarnwick\\Corvane Settings";
const DWORD kUnwritten = 0xA5A5A5A5;  // what host_ip_call puts in every entry first
const char *kNotTheHosts = "10.9.9.9";

struct Host {
    std::string name;
    std::vector<DWORD> addresses;
};

bool ReadHost(Host *host)
{
    const char *name = getenv("KESNET_HOST_NAME");
    const char *addresses = getenv("KESNET_HOST_ADDRESSES");
    if (name == nullptr || addresses == nullptr)
        return false;
    host->name = name;
    std::stringstream list(addresses);
    std::string dotted;
    while (std::getline(list, dotted, ','))
        if (!dotted.empty())
            host->addresses.push_back(kt::Addr(dotted.c_str()));
    return true;
}

// The debug line of KesGetHostIP, for a count and the first two slots.
std::string CountLine(int count, DWORD slot0, DWORD slot1)
{
    char line[64];
    snprintf(line, sizeof line, "Number = %d, <%d>, <%d>\n", count, static_cast<int>(slot0), static_cast<int>(slot1));
    return line;
}

std::vector<std::string> Lines(std::initializer_list<std::string> lines)
{
    return std::vector<std::string>(lines);
}

// ---------------------------------------------------------------------------
// A call in the child, under the debugger.

struct Outcome {
    bool ran = false;
    DWORD result = 0;
    std::vector<DWORD> first, second;
    std::vector<std::string> debugLines;
};

std::string ProgramDirectory()
{
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string p(path, length);
    return p.substr(0, p.find_last_of("\\/"));
}

std::string ReadDebugString(HANDLE process, const OUTPUT_DEBUG_STRING_INFO &info)
{
    std::string text(info.nDebugStringLength, '\0');
    SIZE_T got = 0;
    if (info.fUnicode || !ReadProcessMemory(process, info.lpDebugStringData, &text[0], text.size(), &got))
        return "<unreadable debug string>";
    text.resize(got);
    if (!text.empty() && text.back() == '\0')
        text.pop_back();
    return text;
}

std::string ReadAll(HANDLE pipe)
{
    std::string all;
    char buffer[4096];
    DWORD got;
    while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0)
        all.append(buffer, got);
    return all;
}

std::vector<DWORD> ParseArray(std::istringstream &line)
{
    std::vector<DWORD> entries;
    std::string hex;
    while (line >> hex)
        entries.push_back(static_cast<DWORD>(strtoul(hex.c_str(), nullptr, 16)));
    return entries;
}

bool ParseOutput(const std::string &output, Outcome *outcome)
{
    std::istringstream lines(output);
    std::string line;
    bool sawResult = false;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string key;
        fields >> key;
        if (key == "result") {
            long long value = 0;
            fields >> value;
            outcome->result = static_cast<DWORD>(value);
            sawResult = true;
        } else if (key == "first") {
            outcome->first = ParseArray(fields);
        } else if (key == "second") {
            outcome->second = ParseArray(fields);
        }
    }
    return sawResult;
}

// Runs the child to its end as its debugger. Every OutputDebugStringA in it
// arrives as an OUTPUT_DEBUG_STRING_EVENT.
void RunToEnd(const PROCESS_INFORMATION &child, Outcome *outcome, bool *exited)
{
    *exited = false;
    while (!*exited) {
        DEBUG_EVENT event;
        if (!WaitForDebugEvent(&event, kt::Bound()))
            return;
        DWORD status = DBG_CONTINUE;
        switch (event.dwDebugEventCode) {
        case CREATE_PROCESS_DEBUG_EVENT:
            if (event.u.CreateProcessInfo.hFile != nullptr)
                CloseHandle(event.u.CreateProcessInfo.hFile);
            break;
        case LOAD_DLL_DEBUG_EVENT:
            if (event.u.LoadDll.hFile != nullptr)
                CloseHandle(event.u.LoadDll.hFile);
            break;
        case OUTPUT_DEBUG_STRING_EVENT:
            outcome->debugLines.push_back(ReadDebugString(child.hProcess, event.u.DebugString));
            break;
        case EXCEPTION_DEBUG_EVENT:
            // The loader's breakpoint is the debugger's to take; anything else is
            // the child's own.
            if (event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT)
                status = DBG_EXCEPTION_NOT_HANDLED;
            break;
        case EXIT_PROCESS_DEBUG_EVENT:
            *exited = true;
            break;
        }
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
    }
}

Outcome Call(const std::string &arguments)
{
    Outcome outcome;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE readEnd, writeEnd;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 65536))
        return outcome;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writeEnd;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    std::string command = "\"" + ProgramDirectory() + "\\host_ip_call.exe\" " + arguments;
    PROCESS_INFORMATION child;
    BOOL started = CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, DEBUG_ONLY_THIS_PROCESS, nullptr,
                                  nullptr, &startup, &child);
    CloseHandle(writeEnd);
    if (started) {
        bool exited;
        RunToEnd(child, &outcome, &exited);
        if (!exited) {
            DebugActiveProcessStop(child.dwProcessId);
            TerminateProcess(child.hProcess, 1);
        }
        outcome.ran = exited && ParseOutput(ReadAll(readEnd), &outcome);
        CloseHandle(child.hThread);
        CloseHandle(child.hProcess);
    }
    CloseHandle(readEnd);
    return outcome;
}

// ---------------------------------------------------------------------------
// The preferred address in the registry.

struct Preferred {
    enum Kind { kNoKey, kNoValue, kText, kBytes } kind;
    std::string data;  // kText: stored with its terminator; kBytes: as it stands
};

const Preferred kNoKey = {Preferred::kNoKey, ""};
const Preferred kNoValue = {Preferred::kNoValue, ""};

Preferred Text(const std::string &text)
{
    return {Preferred::kText, text};
}

Preferred Text(DWORD addr)
{
    return Text(kt::Dotted(addr));
}

void Store(const Preferred &preferred)
{
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, kSettingsParent);
    if (preferred.kind == Preferred::kNoKey)
        return;
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                                             nullptr, &key, nullptr));
    LONG result = ERROR_SUCCESS;
    const BYTE *bytes = reinterpret_cast<const BYTE *>(preferred.data.c_str());
    if (preferred.kind == Preferred::kText)
        result = RegSetValueExA(key, "HostIP", 0, REG_SZ, bytes, static_cast<DWORD>(preferred.data.size() + 1));
    else if (preferred.kind == Preferred::kBytes)
        result = RegSetValueExA(key, "HostIP", 0, REG_BINARY, bytes, static_cast<DWORD>(preferred.data.size()));
    RegCloseKey(key);
    ASSERT_EQ(ERROR_SUCCESS, result);
}

// ---------------------------------------------------------------------------
// Fixtures: each suite runs where the resolver gives its number of addresses.

class HostAddresses : public ::testing::Test {
protected:
    explicit HostAddresses(size_t count) : m_count(count) {}

    void SetUp() override
    {
        if (!ReadHost(&m_host))
            GTEST_SKIP() << "run by host_addresses_test.sh, which makes the resolver answer from a hosts "
                            "file of its own in private namespaces (needs root)";
        if (m_count != kAnyCount && m_host.addresses.size() != m_count)
            GTEST_SKIP() << "the resolver gives " << m_host.addresses.size() << " addresses here, this suite needs "
                         << m_count;
    }
    void TearDown() override { RegDeleteTreeA(HKEY_LOCAL_MACHINE, kSettingsParent); }

    DWORD A(size_t i) const { return m_host.addresses.at(i); }

    // KesGetHostIP with both arrays: the first holds the list, the second count
    // zeros, and neither anything beyond the count.
    void ExpectList(const std::vector<DWORD> &list, const std::vector<std::string> &lines)
    {
        Outcome out = Call("kes first second");
        ASSERT_TRUE(out.ran);
        ASSERT_EQ(list.size(), out.result);
        std::vector<DWORD> first = list, second(list.size(), 0);
        first.resize(16, kUnwritten);
        second.resize(16, kUnwritten);
        EXPECT_EQ(first, out.first);
        EXPECT_EQ(second, out.second) << "the second array gets zeros, and only count of them";
        EXPECT_EQ(lines, out.debugLines);
    }

    void ExpectPreferred(DWORD addr, const std::vector<std::string> &lines)
    {
        Outcome out = Call("cor");
        ASSERT_TRUE(out.ran);
        EXPECT_EQ(kt::Dotted(addr), kt::Dotted(out.result));
        EXPECT_EQ(lines, out.debugLines);
    }

    static const size_t kAnyCount = static_cast<size_t>(-1);
    Host m_host;

private:
    size_t m_count;
};

// ---------------------------------------------------------------------------

class Resolver : public HostAddresses {
protected:
    Resolver() : HostAddresses(kAnyCount) {}
};

TEST_F(Resolver, ListsTheNamesAddressesInOrderUpToSixteenWithoutKesInitInstance)
{
    std::vector<DWORD> table(17, kUnwritten);
    int count = VantixGetHostIP(table.data());
    std::vector<DWORD> expected = m_host.addresses;
    if (expected.size() > 16)
        expected.resize(16);
    ASSERT_EQ(static_cast<int>(expected.size()), count);
    EXPECT_EQ(expected, std::vector<DWORD>(table.begin(), table.begin() + count));
    EXPECT_EQ(kUnwritten, table[count]);
    // It stopped Winsock again: the resolver now refuses to work.
    EXPECT_EQ(nullptr, gethostbyname("localhost"));
    EXPECT_EQ(WSANOTINITIALISED, WSAGetLastError());
}

TEST_F(Resolver, HostNameComesWholeInSixtyFourBytesOrNotAtAll)
{
    ASSERT_EQ(1, KesInitInstance());
    char name[64];
    memset(name, 'x', sizeof name);
    int result = KesGetHostName(name);
    KesExitInstance();
    if (m_host.name.size() < 64) {
        EXPECT_EQ(1, result);
        EXPECT_EQ(m_host.name, std::string(name));
    } else {
        EXPECT_EQ(0, result) << "a 64-character name leaves no room for its terminator";
    }
}

TEST_F(Resolver, ComputerNameNeedsRoomForItsTerminator)
{
    // Wine makes the computer name from the host name: upper case, at most 15
    // characters.
    std::string expected = m_host.name.substr(0, MAX_COMPUTERNAME_LENGTH);
    for (char &c : expected)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    char name[64] = {};
    EXPECT_NE(0, KesGetCompName(name, sizeof name));
    EXPECT_EQ(expected, std::string(name));
    EXPECT_EQ(0, KesGetCompName(name, static_cast<DWORD>(expected.size())));
    EXPECT_NE(0, KesGetCompName(name, static_cast<DWORD>(expected.size() + 1)));
}

// ---------------------------------------------------------------------------

class NoAddress : public HostAddresses {
protected:
    NoAddress() : HostAddresses(0) {}
};

TEST_F(NoAddress, GivesCountZeroAndWritesNoEntry)
{
    Store(Text(kNotTheHosts));
    ExpectList({}, Lines({CountLine(0, 0, 0)}));
    ExpectPreferred(0, Lines({CountLine(0, 0, 0)}));
}

// ---------------------------------------------------------------------------

class OneAddress : public HostAddresses {
protected:
    OneAddress() : HostAddresses(1) {}
};

TEST_F(OneAddress, TheOnlyAddressWinsOverThePreferredOne)
{
    DWORD x = A(0);
    for (const Preferred &preferred : {Text(kNotTheHosts), kNoKey}) {
        SCOPED_TRACE(preferred.kind == Preferred::kNoKey ? "no key" : "HostIP names another address");
        Store(preferred);
        ExpectList({x}, Lines({CountLine(1, x, 0)}));
        // The first call only counts; the second fetches the address.
        ExpectPreferred(x, Lines({CountLine(1, x, 0), CountLine(1, x, 0)}));
    }
}

// ---------------------------------------------------------------------------

class TwoAddresses : public HostAddresses {
protected:
    TwoAddresses() : HostAddresses(2) {}
};

TEST_F(TwoAddresses, PreferredAddressTakesTheFirstPlace)
{
    DWORD x = A(0), y = A(1), w = kt::Addr(kNotTheHosts);
    Store(Text(y));
    ExpectList({y, x}, Lines({CountLine(2, x, y), CountLine(2, y, x)}));
    ExpectPreferred(y, Lines({CountLine(2, x, y)}));
    // An address the host does not have pushes the first one out.
    Store(Text(w));
    ExpectList({w, y}, Lines({CountLine(2, x, y)}));
    ExpectPreferred(w, Lines({CountLine(2, x, y)}));
}

// ---------------------------------------------------------------------------

class ThreeAddresses : public HostAddresses {
protected:
    ThreeAddresses() : HostAddresses(3) {}
};

TEST_F(ThreeAddresses, OrderFollowsThePreferredAddress)
{
    DWORD x = A(0), y = A(1), z = A(2), w = kt::Addr(kNotTheHosts);
    std::string first = CountLine(3, x, y);
    struct Case {
        const char *what;
        Preferred preferred;
        std::vector<DWORD> list;
        std::vector<std::string> lines;
        DWORD corAddress;
    } cases[] = {
        {"the third is preferred: it trades places with the first", Text(z), {z, y, x},
         Lines({first, CountLine(3, z, y)}), z},
        {"the first is preferred", Text(x), {x, y, z}, Lines({first}), x},
        {"an address the host does not have", Text(w), {w, y, z}, Lines({first}), w},
        {"no HostIP value", kNoValue, {x, y, z}, Lines({first}), 0},
        {"no settings key", kNoKey, {x, y, z}, Lines({first}), 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Store(c.preferred);
        ExpectList(c.list, c.lines);
        ExpectPreferred(c.corAddress, Lines({first}));
    }
}

// "HostIP" is read as inet_addr reads it: a number may stand for the last two
// or three parts, a part with a leading zero is octal and one with 0x
// hexadecimal, and whatever follows a blank is ignored. A text that inet_addr
// refuses, and one that gives 255.255.255.255 or 0.0.0.0, counts as missing.
TEST_F(ThreeAddresses, HostIPTextIsReadAsInetAddrReadsIt)
{
    DWORD x = A(0), y = A(1), z = A(2);
    ASSERT_EQ("10.9.0.3", kt::Dotted(z)) << "the texts below are written for the addresses that "
                                            "host_addresses_test.sh gives";
    const std::string first = CountLine(3, x, y);
    struct Case {
        Preferred preferred;
        const char *gives;  // the address read, null when the text counts as missing
    } cases[] = {
        {Text("10.9.0.3"), "10.9.0.3"},
        {Text("10.9.0.003"), "10.9.0.3"},
        {Text("010.9.0.3"), "8.9.0.3"},  // octal
        {Text("10.9.3"), "10.9.0.3"},    // the last part fills 16 bits
        {Text("10.1"), "10.0.0.1"},      // the last part fills 24 bits
        {Text("168361987"), "10.9.0.3"},
        {Text("0x0a.9.0.0x3"), "10.9.0.3"},
        {Text("0XA090003"), "10.9.0.3"},
        {Text("10.9.0.3 "), "10.9.0.3"},
        {Text("10.9.0.3 and the rest"), "10.9.0.3"},
        {Text("10.9.0.3junk"), nullptr},
        {Text("10.9.0.3.4"), nullptr},
        {Text("10.9.0.256"), nullptr},
        {Text("08.9.0.3"), nullptr},  // 8 is no octal digit
        {Text(" 10.9.0.3"), nullptr},
        {Text("not an address"), nullptr},
        {Text(""), nullptr},
        {Text(" "), nullptr},  // 0.0.0.0 to inet_addr
        {Text("255.255.255.255"), nullptr},
        {Text("0xffffffff"), nullptr},
        {Text("0.0.0.0"), nullptr},
        {Text("0"), nullptr},
        // 256 bytes without a terminator: read whole, and what follows the blank is ignored.
        {{Preferred::kBytes, "10.9.0.3" + std::string(248, ' ')}, "10.9.0.3"},
        {{Preferred::kBytes, "10.9.0.3" + std::string(300, '\0')}, nullptr},  // longer than 256 bytes
    };
    WSADATA data;
    ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &data));
    for (const Case &c : cases) {
        const Preferred &preferred = c.preferred;
        SCOPED_TRACE("HostIP \"" + preferred.data.substr(0, 24) + "\" (" + std::to_string(preferred.data.size()) +
                     " bytes)");
        DWORD gives = c.gives != nullptr ? kt::Addr(c.gives) : 0;
        if (preferred.kind == Preferred::kText) {
            DWORD parsed = inet_addr(preferred.data.c_str());
            EXPECT_EQ(c.gives != nullptr ? c.gives : "refused, 0.0.0.0 or 255.255.255.255",
                      parsed == INADDR_NONE || parsed == 0 ? "refused, 0.0.0.0 or 255.255.255.255"
                                                           : kt::Dotted(parsed))
                << "the system's inet_addr reads the text otherwise";
        }
        Store(preferred);
        if (gives == 0) {
            ExpectList({x, y, z}, Lines({first}));
        } else if (gives == z) {
            ExpectList({z, y, x}, Lines({first, CountLine(3, z, y)}));
        } else {
            ExpectList({gives, y, z}, Lines({first}));  // not one of the host's
        }
        ExpectPreferred(gives, Lines({first}));
    }
    WSACleanup();
}

TEST_F(ThreeAddresses, BothArraysNullOnlyCountsAndReadsNoRegistry)
{
    // Were the registry read, the preferred third address would trade places
    // with the first and a second debug line would follow.
    Store(Text(A(2)));
    Outcome out = Call("kes none none");
    ASSERT_TRUE(out.ran);
    EXPECT_EQ(3u, out.result);
    EXPECT_EQ(Lines({CountLine(3, A(0), A(1))}), out.debugLines);
}

TEST_F(ThreeAddresses, EitherArrayAloneGetsItsShare)
{
    DWORD x = A(0), y = A(1), z = A(2);
    Store(Text(z));
    std::vector<std::string> lines = Lines({CountLine(3, x, y), CountLine(3, z, y)});

    Outcome second = Call("kes none second");
    ASSERT_TRUE(second.ran);
    EXPECT_EQ(3u, second.result);
    EXPECT_EQ((std::vector<DWORD>{0, 0, 0}), std::vector<DWORD>(second.second.begin(), second.second.begin() + 3));
    EXPECT_EQ(std::vector<DWORD>(13, kUnwritten), std::vector<DWORD>(second.second.begin() + 3, second.second.end()));
    EXPECT_EQ(lines, second.debugLines);

    Outcome first = Call("kes first none");
    ASSERT_TRUE(first.ran);
    EXPECT_EQ(3u, first.result);
    EXPECT_EQ((std::vector<DWORD>{z, y, x}), std::vector<DWORD>(first.first.begin(), first.first.begin() + 3));
    EXPECT_EQ(lines, first.debugLines);
}

// ---------------------------------------------------------------------------

class ManyAddresses : public HostAddresses {
protected:
    ManyAddresses() : HostAddresses(20) {}
};

TEST_F(ManyAddresses, OnlyTheFirstSixteenTakePart)
{
    std::vector<DWORD> sixteen(m_host.addresses.begin(), m_host.addresses.begin() + 16);
    std::string first = CountLine(16, A(0), A(1));

    std::vector<DWORD> traded = sixteen;
    std::swap(traded[0], traded[15]);
    Store(Text(A(15)));
    ExpectList(traded, Lines({first, CountLine(16, A(15), A(1))}));

    // The seventeenth is beyond the table: to the library it is not the host's.
    std::vector<DWORD> pushedOut = sixteen;
    pushedOut[0] = A(16);
    Store(Text(A(16)));
    ExpectList(pushedOut, Lines({first}));
    ExpectPreferred(A(16), Lines({first}));
}

}  // namespace
