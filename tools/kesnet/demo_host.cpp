// Demo steps: the host's names and addresses, and registry values.
#include <string>

#include "args.h"
#include "demo.h"
#include "host_ip_setting.h"
#include "kesnet.h"

namespace tool {
namespace {

// Continuation lines of Say start in this column.
const int kSayIndent = 13;

bool HostNamesAndAddresses(const DemoNetwork &)
{
    char hostName[64] = {};
    char computerName[MAX_COMPUTERNAME_LENGTH + 1] = {};
    // Each call before the Check that shows its result: the order in which a
    // call's arguments are worked out is the compiler's choice.
    bool named = KesGetHostName(hostName) == 1;
    bool ok = Check(named, std::string("KesGetHostName: \"") + hostName + "\"");
    named = KesGetCompName(computerName, sizeof computerName) != 0;
    ok &= Check(named, std::string("KesGetCompName: \"") + computerName + "\"");
    DWORD resolved[16], preferred[16];
    int count = VantixGetHostIP(resolved);
    ok &= Check(count > 0, "VantixGetHostIP -> " + std::to_string(count) + ": " + AddressList(resolved, count) +
                               " (the resolver's order)");
    int again = KesGetHostIP(preferred, nullptr);
    ok &= Check(again == count, "KesGetHostIP -> " + std::to_string(again) + ": " + AddressList(preferred, again) +
                                    " (the preferred address first, when HostIP names one)");
    Say("preferred", "CorGetHostIP -> " + PreferredAddressAndSource(resolved, count, kSayIndent));
    return ok;
}

// The demo's own key, under the current user; it is removed again.
const char kDemoKey[] = "Software\\kesnet demo";

bool RegistryValues(const DemoNetwork &)
{
    const char text[] = "Room 12, second floor";
    bool ok = Check(RegWriteString(HKEY_CURRENT_USER, kDemoKey, "Classroom", text, sizeof text) == 1,
                    std::string("RegWriteString(HKEY_CURRENT_USER\\") + kDemoKey + ", Classroom, \"" + text +
                        "\" and its terminator)");
    ok &= Check(RegWriteDWORD(HKEY_CURRENT_USER, kDemoKey, "Seats", 24) == 1, "RegWriteDWORD(Seats, 24)");
    char back[64] = {};
    DWORD seats = 0;
    bool read = RegReadString(HKEY_CURRENT_USER, kDemoKey, "Classroom", back, sizeof back) == 1;
    ok &= Check(read && std::string(back) == text, std::string("RegReadString(Classroom) = \"") + back + "\"");
    read = RegReadDWORD(HKEY_CURRENT_USER, kDemoKey, "Seats", &seats) == 1;
    ok &= Check(read && seats == 24, "RegReadDWORD(Seats) = " + std::to_string(seats));
    read = RegReadDWORD(HKEY_CURRENT_USER, kDemoKey, "Missing", &seats) == 1;
    ok &= Check(!read && seats == 24, "RegReadDWORD(Missing) fails and leaves the destination as it was");
    // The library writes and reads values; removing them is the registry's own business.
    RegDeleteKeyA(HKEY_CURRENT_USER, kDemoKey);
    return ok;
}

}  // namespace

KESNET_DEMO_STEP(host, 80,
                 "The host's names and addresses (KesGetHostName, KesGetCompName, VantixGetHostIP, KesGetHostIP, "
                 "CorGetHostIP)",
                 HostNamesAndAddresses);
KESNET_DEMO_STEP(registry, 85, "Registry values (RegWriteString, RegWriteDWORD, RegReadString, RegReadDWORD)",
                 RegistryValues);

}  // namespace tool
