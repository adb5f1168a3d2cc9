// KesGetNetCard against the system's own NetBIOS: the count, and a list of that
// many hardware addresses, each one of this machine's adapters.
#include "test_support.h"  // brings winsock2.h and windows.h, which iphlpapi.h needs

#include <iphlpapi.h>
#include <string.h>

#include <set>
#include <string>
#include <vector>

namespace {

typedef std::vector<BYTE> HardwareAddress;

// The 6-byte hardware addresses of the adapters, by the IP helper's account;
// with the IPv4 address of each, to find a given interface.
struct Adapter {
    HardwareAddress hardware;
    std::set<DWORD> addresses;
};

std::vector<Adapter> Adapters()
{
    ULONG size = 64 * 1024;
    std::vector<BYTE> buffer(size);
    IP_ADAPTER_ADDRESSES *first = reinterpret_cast<IP_ADAPTER_ADDRESSES *>(buffer.data());
    std::vector<Adapter> adapters;
    if (GetAdaptersAddresses(AF_INET, 0, nullptr, first, &size) != NO_ERROR)
        return adapters;
    for (IP_ADAPTER_ADDRESSES *a = first; a != nullptr; a = a->Next) {
        if (a->PhysicalAddressLength != 6)
            continue;
        Adapter adapter;
        adapter.hardware.assign(a->PhysicalAddress, a->PhysicalAddress + 6);
        for (IP_ADAPTER_UNICAST_ADDRESS *u = a->FirstUnicastAddress; u != nullptr; u = u->Next)
            adapter.addresses.insert(reinterpret_cast<sockaddr_in *>(u->Address.lpSockaddr)->sin_addr.s_addr);
        adapters.push_back(adapter);
    }
    return adapters;
}

HardwareAddress HardwareOf(const std::vector<Adapter> &adapters, DWORD addr)
{
    for (const Adapter &a : adapters)
        if (a.addresses.count(addr) != 0)
            return a.hardware;
    return HardwareAddress();
}

std::vector<HardwareAddress> Records(const std::vector<BYTE> &list, int count)
{
    std::vector<HardwareAddress> records;
    for (int i = 0; i < count; ++i)
        records.emplace_back(list.begin() + i * 6, list.begin() + i * 6 + 6);
    return records;
}

TEST(NetCard, CountsWithoutABufferThenFillsExactlyThatManyRecords)
{
    int count = KesGetNetCard(nullptr);
    ASSERT_GE(count, 0);
    std::vector<BYTE> list(count * 6 + 6, 0xEE);
    EXPECT_EQ(count, KesGetNetCard(list.data()));
    EXPECT_EQ(HardwareAddress(6, 0xEE), HardwareAddress(list.end() - 6, list.end())) << "written beyond the count";

    std::vector<Adapter> adapters = Adapters();
    for (const HardwareAddress &record : Records(list, count)) {
        bool known = false;
        for (const Adapter &a : adapters)
            known = known || a.hardware == record;
        EXPECT_TRUE(known) << "a record that is no adapter's hardware address";
    }
}

TEST(NetCard, InThePrivateNetworkListsBothLinks)
{
    KT_REQUIRE_PRIVATE_NETWORK();
    std::vector<Adapter> adapters = Adapters();
    std::multiset<HardwareAddress> expected = {HardwareOf(adapters, kt::LocalVeth(0)),
                                               HardwareOf(adapters, kt::LocalVeth(1))};
    ASSERT_EQ(0u, expected.count(HardwareAddress())) << "the links were not found among the adapters";
    ASSERT_EQ(2, KesGetNetCard(nullptr));
    std::vector<BYTE> list(2 * 6);
    ASSERT_EQ(2, KesGetNetCard(list.data()));
    std::vector<HardwareAddress> records = Records(list, 2);
    EXPECT_EQ(expected, std::multiset<HardwareAddress>(records.begin(), records.end()));
}

TEST(NetCard, RefusesABufferNotWritableOverEveryRecord)
{
    int count = KesGetNetCard(nullptr);
    if (count == 0)
        GTEST_SKIP() << "NetBIOS lists no adapter here, so there is no record to refuse";
    // The last byte of the last record falls on the read-only page.
    kt::PageEdge edge(PAGE_READONLY);
    ASSERT_TRUE(edge.ok());
    size_t writable = count * 6 - 1;
    BYTE *list = edge.At(writable);
    memset(list, 0xEE, writable);
    EXPECT_EQ(0, KesGetNetCard(list));
    EXPECT_EQ(std::vector<BYTE>(writable, 0xEE), std::vector<BYTE>(list, list + writable));
}

}  // namespace
