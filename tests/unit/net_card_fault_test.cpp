// KesGetNetCard when NetBIOS fails part of the way. A NetBIOS failure cannot be
// caused for real, so this program links its own Netbios in place of the
// system's: it serves three LAN adapters and fails the command it is told to.
#include "test_support.h"  // brings windows.h, which nb30.h needs

#include <nb30.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

struct FakeAdapter {
    UCHAR lana;
    BYTE address[6];
};

struct FakeNetbiosScript {
    std::vector<FakeAdapter> adapters;
    UCHAR failCommand = 0;  // 0: nothing fails
    UCHAR failLana = 0;
    std::string calls;      // "ENUM RESET4 ASTAT4 ..."
} g_script;

const FakeAdapter kThreeAdapters[] = {
    {4, {0x02, 0x11, 0x22, 0x33, 0x44, 0x04}},
    {7, {0x02, 0x11, 0x22, 0x33, 0x44, 0x07}},
    {9, {0x02, 0x11, 0x22, 0x33, 0x44, 0x09}},
};

std::string Describe(const NCB &ncb)
{
    switch (ncb.ncb_command) {
    case NCBENUM:
        return ncb.ncb_length == sizeof(LANA_ENUM) ? "ENUM" : "ENUM(bad length)";
    case NCBRESET:
        return "RESET" + std::to_string(ncb.ncb_lana_num) + (ncb.ncb_buffer == nullptr ? "" : "(buffer)");
    case NCBASTAT:
        return "ASTAT" + std::to_string(ncb.ncb_lana_num) +
               (memcmp(ncb.ncb_callname, "*               ", NCBNAMSZ) == 0 && ncb.ncb_length == 600
                    ? ""
                    : "(bad name or length)");
    default:
        return "OTHER";
    }
}

}  // namespace

extern "C" UCHAR WINAPI Netbios(PNCB pncb)
{
    FakeNetbiosScript &s = g_script;
    s.calls += (s.calls.empty() ? "" : " ") + Describe(*pncb);
    bool fail = pncb->ncb_command == s.failCommand &&
                (pncb->ncb_command == NCBENUM || pncb->ncb_lana_num == s.failLana);
    if (fail)
        return NRC_BRIDGE;
    if (pncb->ncb_command == NCBENUM) {
        LANA_ENUM *lanas = reinterpret_cast<LANA_ENUM *>(pncb->ncb_buffer);
        lanas->length = static_cast<UCHAR>(s.adapters.size());
        for (size_t i = 0; i < s.adapters.size(); ++i)
            lanas->lana[i] = s.adapters[i].lana;
    } else if (pncb->ncb_command == NCBASTAT) {
        for (const FakeAdapter &a : s.adapters)
            if (a.lana == pncb->ncb_lana_num)
                memcpy(reinterpret_cast<ADAPTER_STATUS *>(pncb->ncb_buffer)->adapter_address, a.address, 6);
    }
    return NRC_GOODRET;
}

namespace {

TEST(NetCardFaults, FailuresStopTheListAndKeepTheRecordsWrittenBeforeThem)
{
    struct Case {
        const char *what;
        size_t adapters;
        UCHAR failCommand;
        UCHAR failLana;
        bool nullBuffer;
        int result;
        size_t records;  // records written at the start of the buffer
        const char *calls;
    } cases[] = {
        {"every command works", 3, 0, 0, false, 3, 3,
         "ENUM RESET4 ASTAT4 RESET7 ASTAT7 RESET9 ASTAT9"},
        {"the status of the second adapter fails", 3, NCBASTAT, 7, false, 0, 1,
         "ENUM RESET4 ASTAT4 RESET7 ASTAT7"},
        {"the reset of the second adapter fails", 3, NCBRESET, 7, false, 0, 1, "ENUM RESET4 ASTAT4 RESET7"},
        {"the enumeration fails", 3, NCBENUM, 0, false, 0, 0, "ENUM"},
        {"the enumeration fails, only counting", 3, NCBENUM, 0, true, 0, 0, "ENUM"},
        {"only counting", 3, 0, 0, true, 3, 0, "ENUM"},
        {"no adapter", 0, 0, 0, false, 0, 0, "ENUM"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        g_script = FakeNetbiosScript();
        g_script.adapters.assign(kThreeAdapters, kThreeAdapters + c.adapters);
        g_script.failCommand = c.failCommand;
        g_script.failLana = c.failLana;
        std::vector<BYTE> buffer(3 * 6 + 6, 0xEE);

        EXPECT_EQ(c.result, KesGetNetCard(c.nullBuffer ? nullptr : buffer.data()));
        EXPECT_EQ(std::string(c.calls), g_script.calls);
        std::vector<BYTE> expected(buffer.size(), 0xEE);
        for (size_t i = 0; i < c.records; ++i)
            memcpy(&expected[i * 6], kThreeAdapters[i].address, 6);
        EXPECT_EQ(expected, buffer);
    }
}

}  // namespace
