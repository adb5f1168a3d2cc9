// The registry value functions, against the real registry, under a test key of
// HKEY_CURRENT_USER that each test removes again.
#include <string.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

typedef std::vector<BYTE> Bytes;

Bytes BytesOf(const char *text, size_t length)
{
    return Bytes(text, text + length);
}

class Registry : public ::testing::Test {
protected:
    void SetUp() override { m_base = "Software\\kesnet-tests\\registry-" + std::to_string(GetCurrentProcessId()); }
    void TearDown() override
    {
        RegDeleteTreeA(HKEY_CURRENT_USER, m_base.c_str());
        RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\kesnet-tests");  // only if no other run uses it
    }

    std::string Key(const char *below = nullptr) const { return below ? m_base + "\\" + below : m_base; }

    // Stores a value with the plain registry API, creating the key. The registry
    // counts a zero byte that directly follows a string's bytes into the string,
    // so a byte that is not zero follows them here.
    void Put(const char *name, DWORD type, const Bytes &data)
    {
        Bytes padded = data;
        padded.push_back('x');
        HKEY key;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, Key().c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                                 nullptr, &key, nullptr));
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, name, 0, type, padded.data(), static_cast<DWORD>(data.size())));
        RegCloseKey(key);
    }

    // The stored type and bytes, read with the plain registry API: first the
    // size, then exactly that many bytes, so that nothing adds a terminator.
    bool Stored(const std::string &key, const char *name, DWORD *type, Bytes *data) const
    {
        HKEY h;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS)
            return false;
        DWORD size = 0;
        bool ok = RegQueryValueExA(h, name, nullptr, type, nullptr, &size) == ERROR_SUCCESS;
        data->assign(size, 0);
        ok = ok && RegQueryValueExA(h, name, nullptr, type, data->data(), &size) == ERROR_SUCCESS;
        RegCloseKey(h);
        return ok;
    }

    bool KeyExists(const std::string &key) const
    {
        HKEY h;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS)
            return false;
        RegCloseKey(h);
        return true;
    }

    std::string m_base;
};

const DWORD kUntouched = 0xAAAAAAAA;

TEST_F(Registry, ReadDwordLeavesTheDestinationAloneWhenKeyOrValueIsMissing)
{
    DWORD value = kUntouched;
    EXPECT_EQ(0, RegReadDWORD(HKEY_CURRENT_USER, Key().c_str(), "Count", &value));
    EXPECT_EQ(kUntouched, value);
    Put("Other", REG_DWORD, {1, 0, 0, 0});
    EXPECT_EQ(0, RegReadDWORD(HKEY_CURRENT_USER, Key().c_str(), "Count", &value));
    EXPECT_EQ(kUntouched, value);
}

TEST_F(Registry, ReadDwordTakesAtMostFourBytesOfAnyType)
{
    // Stores the value and reads it into a destination that held kUntouched.
    DWORD value = kUntouched;
    auto read = [&](DWORD type, Bytes data) {
        return [&, type, data]() -> long {
            Put("Value", type, data);
            value = kUntouched;
            return RegReadDWORD(HKEY_CURRENT_USER, Key().c_str(), "Value", &value);
        };
    };
    auto reads = [&](DWORD expected) {
        return [&, expected] { return kt::Holds(value == expected, "not the value expected in the destination"); };
    };
    kt::ExpectRows({
        {"a REG_DWORD", read(REG_DWORD, {0x78, 0x56, 0x34, 0x12}), 1, reads(0x12345678)},
        {"two bytes fill two bytes", read(REG_BINARY, {0x11, 0x22}), 1, reads(0xAAAA2211)},
        {"a 3-character string with its terminator", read(REG_SZ, BytesOf("abc", 4)), 1, reads(0x00636261)},
        {"a 4-character string with its terminator", read(REG_SZ, BytesOf("abcd", 5)), 0},
        {"eight bytes", read(REG_BINARY, Bytes(8, 0x55)), 0},
    });
}

TEST_F(Registry, ReadDwordWithoutDestinationOnlyAsksWhetherTheValueExists)
{
    EXPECT_EQ(0, RegReadDWORD(HKEY_CURRENT_USER, Key().c_str(), "Long", nullptr));
    Put("Long", REG_SZ, BytesOf("longer than four bytes", 23));
    EXPECT_EQ(1, RegReadDWORD(HKEY_CURRENT_USER, Key().c_str(), "Long", nullptr));
}

TEST_F(Registry, ReadStringCopiesTheStoredBytesAndNothingBeyondTheSize)
{
    // Stored without a terminator, read into exactly its size: the byte after
    // the buffer stays as it was.
    Put("Name", REG_SZ, BytesOf("abc", 3));
    char buffer[8];
    memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(1, RegReadString(HKEY_CURRENT_USER, Key().c_str(), "Name", buffer, 3));
    EXPECT_EQ(std::string("abcxxxxx"), std::string(buffer, sizeof buffer));

    Put("Name", REG_SZ, BytesOf("hello", 6));
    memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(1, RegReadString(HKEY_CURRENT_USER, Key().c_str(), "Name", buffer, 6));
    EXPECT_EQ(std::string("hello\0xx", 8), std::string(buffer, sizeof buffer));
}

TEST_F(Registry, ReadStringFailsOnABufferSmallerThanTheDataOrAMissingValue)
{
    char buffer[8] = {};
    EXPECT_EQ(0, RegReadString(HKEY_CURRENT_USER, Key().c_str(), "Name", buffer, sizeof buffer));
    Put("Name", REG_SZ, BytesOf("hello", 6));
    EXPECT_EQ(0, RegReadString(HKEY_CURRENT_USER, Key().c_str(), "Name", buffer, 5));
    EXPECT_EQ(0, RegReadString(HKEY_CURRENT_USER, Key().c_str(), "Missing", buffer, sizeof buffer));
}

TEST_F(Registry, ReadStringRefusesABufferNotWritableOverItsWholeSize)
{
    // The value would fit in the writable part: only a test of the whole buffer
    // before the read refuses it.
    Put("Name", REG_SZ, BytesOf("abc", 4));
    kt::PageEdge edge(PAGE_READONLY);
    ASSERT_TRUE(edge.ok());
    char *buffer = reinterpret_cast<char *>(edge.At(8));
    memset(buffer, 'x', 8);
    EXPECT_EQ(0, RegReadString(HKEY_CURRENT_USER, Key().c_str(), "Name", buffer, 16));
    EXPECT_EQ(std::string(8, 'x'), std::string(buffer, 8));
    EXPECT_EQ(0, RegReadString(HKEY_CURRENT_USER, Key().c_str(), "Name", nullptr, 16));
}

TEST_F(Registry, WritesCreateMissingKeysOnThePath)
{
    std::string dwordKey = Key("a\\b"), stringKey = Key("c\\d");
    ASSERT_FALSE(KeyExists(Key()));
    EXPECT_EQ(1, RegWriteDWORD(HKEY_CURRENT_USER, dwordKey.c_str(), "Count", 0x01020304));
    EXPECT_EQ(1, RegWriteString(HKEY_CURRENT_USER, stringKey.c_str(), "Name", "hello", 6));

    DWORD type = 0;
    Bytes data;
    ASSERT_TRUE(Stored(dwordKey, "Count", &type, &data));
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);
    EXPECT_EQ((Bytes{4, 3, 2, 1}), data);
    ASSERT_TRUE(Stored(stringKey, "Name", &type, &data));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    EXPECT_EQ(BytesOf("hello", 6), data);

    DWORD value = 0;
    EXPECT_EQ(1, RegReadDWORD(HKEY_CURRENT_USER, dwordKey.c_str(), "Count", &value));
    EXPECT_EQ(0x01020304u, value);
}

TEST_F(Registry, WriteStringStoresExactlyTheGivenBytes)
{
    // The text to store comes from a longer one, for the registry's sake (see Put).
    const char text[] = "text, and more";
    EXPECT_EQ(1, RegWriteString(HKEY_CURRENT_USER, Key().c_str(), "Name", "hello", 6));
    EXPECT_EQ(1, RegWriteString(HKEY_CURRENT_USER, Key().c_str(), "Name", text, 4));
    DWORD type = 0;
    Bytes data;
    ASSERT_TRUE(Stored(Key(), "Name", &type, &data));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    EXPECT_EQ(BytesOf("text", 4), data);
}

TEST_F(Registry, WriteStringRefusesUnreadableDataBeforeTouchingTheRegistry)
{
    kt::PageEdge edge(PAGE_NOACCESS);
    ASSERT_TRUE(edge.ok());
    memcpy(edge.At(4), "abcd", 4);
    std::string key = Key("never");
    EXPECT_EQ(0, RegWriteString(HKEY_CURRENT_USER, key.c_str(), "Name", reinterpret_cast<char *>(edge.At(4)), 8));
    EXPECT_EQ(0, RegWriteString(HKEY_CURRENT_USER, key.c_str(), "Name", nullptr, 8));
    EXPECT_FALSE(KeyExists(key)) << "the key was created although the data was refused";
}

TEST_F(Registry, EveryFunctionReportsAnUnusableRootAsZero)
{
    HKEY notAKey = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x1234));
    DWORD value = kUntouched;
    char buffer[8];
    EXPECT_EQ(0, RegReadDWORD(notAKey, "Software", "Value", &value));
    EXPECT_EQ(0, RegReadString(notAKey, "Software", "Value", buffer, sizeof buffer));
    EXPECT_EQ(0, RegWriteDWORD(notAKey, "Software", "Value", 1));
    EXPECT_EQ(0, RegWriteString(notAKey, "Software", "Value", "x", 2));
    EXPECT_EQ(kUntouched, value);
}

}  // namespace
