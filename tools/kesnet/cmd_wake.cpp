// kesnet wake: Wake-on-LAN magic packets for one or more machines, broadcast
// as the network has always done (KesLanWakeUp) or through every interface to
// each subnet (KesWakeUp).
#include "kesnet.h"

#include <stdio.h>

#include <algorithm>
#include <vector>

#include "args.h"
#include "command.h"
#include "hardware_address.h"

namespace tool {
namespace {

const long long kMaxRepeat = 20;  // what KesWakeUp takes

struct Interface {
    DWORD addr;
    DWORD mask;
};

int PrefixLength(DWORD mask)
{
    int bits = 0;
    for (DWORD m = ntohl(mask); m & 0x80000000u; m <<= 1)
        ++bits;
    return bits;
}

std::vector<Interface> ListInterfaces()
{
    std::vector<Interface> all;
    int count = KesGetInterfaces(nullptr, nullptr, 0);
    std::vector<DWORD> addr(count), mask(count);
    count = std::min(count, KesGetInterfaces(addr.data(), mask.data(), static_cast<DWORD>(count)));
    for (int i = 0; i < count; ++i)
        all.push_back({addr[i], mask[i]});
    return all;
}

// The interfaces KesWakeUp will use: every one, or those named, each of which
// must be one of them.
bool ChooseInterfaces(const std::vector<DWORD> &named, std::vector<Interface> *chosen, std::string *error)
{
    std::vector<Interface> all = ListInterfaces();
    if (named.empty()) {
        *chosen = all;
        if (all.empty())
            *error = "no network interface of this host is up (loopback aside)";
        return !all.empty();
    }
    for (DWORD local : named) {
        const Interface *found = nullptr;
        for (const Interface &iface : all)
            if (iface.addr == local)
                found = &iface;
        if (found == nullptr) {
            *error = Dotted(local) + " is not the address of a network interface of this host that is up";
            return false;
        }
        chosen->push_back(*found);
    }
    return true;
}

// Today's form: one broadcast to 255.255.255.255:2304, with KesLanWakeUp.
int WakeFromOneInterface(const char *name, DWORD local, const std::vector<BYTE> &list)
{
    Library library;
    if (!library.ok())
        return Failure(name, "Winsock 2.2 could not be started");
    DWORD count = static_cast<DWORD>(list.size() / kHardwareAddressBytes);
    std::string from = local ? Dotted(local) : "any interface";
    if (!KesLanWakeUp(local, list.data(), count))
        return Failure(name, "the magic packets could not all be broadcast from " + from);
    for (DWORD i = 0; i < count; ++i)
        printf("sent a magic packet (102 bytes) for %s to 255.255.255.255:2304 from %s\n",
               FormatHardwareAddress(&list[i * kHardwareAddressBytes]).c_str(), from.c_str());
    return kExitOk;
}

// Through every interface (or those named), with KesWakeUp.
int WakeThroughInterfaces(const char *name, const std::vector<DWORD> &named, tagParamWake *param,
                          const std::vector<BYTE> &list)
{
    Library library;
    if (!library.ok())
        return Failure(name, "Winsock 2.2 could not be started");
    std::vector<Interface> interfaces;
    std::string error;
    if (!ChooseInterfaces(named, &interfaces, &error))
        return Failure(name, error);
    for (size_t i = 0; i < named.size(); ++i)
        param->dwLocalAddr[i] = named[i];
    param->nCount = static_cast<int>(named.size());

    DWORD count = static_cast<DWORD>(list.size() / kHardwareAddressBytes);
    int perRound = static_cast<int>(interfaces.size() * count) * (param->bLimitedBroadcast ? 2 : 1);
    int expected = perRound * param->nRepeat;
    int sent = KesWakeUp(param, list.data(), count);
    if (sent != expected)
        return Failure(name, "KesWakeUp sent " + std::to_string(sent) + " of the " + std::to_string(expected) +
                                 " magic packets" + (sent ? " (some sends were refused)" : ""));

    std::string size = std::to_string(102 + param->nPasswordLength) + " bytes" +
                       (param->nPasswordLength ? ", with a password" : "");
    std::string times = param->nRepeat == 1 ? "a magic packet" : std::to_string(param->nRepeat) + " magic packets";
    for (const Interface &iface : interfaces) {
        std::string from = Dotted(iface.addr) + " (" + Dotted(iface.addr & iface.mask) + "/" +
                           std::to_string(PrefixLength(iface.mask)) + ")";
        std::vector<DWORD> destinations = {iface.addr | ~iface.mask};
        if (param->bLimitedBroadcast)
            destinations.push_back(INADDR_BROADCAST);
        for (DWORD i = 0; i < count; ++i)
            for (DWORD to : destinations)
                printf("sent %s (%s) for %s to %s from %s\n", times.c_str(), size.c_str(),
                       FormatHardwareAddress(&list[i * kHardwareAddressBytes]).c_str(),
                       Endpoint(to, param->nPort).c_str(), from.c_str());
    }
    printf("%d magic packet%s through %zu interface%s%s\n", sent, sent == 1 ? "" : "s", interfaces.size(),
           interfaces.size() == 1 ? "" : "s",
           param->nRepeat > 1 ? (", in " + std::to_string(param->nRepeat) + " rounds " +
                                 std::to_string(param->dwRepeatGap) + " ms apart").c_str()
                              : "");
    return kExitOk;
}

// --password HEX, or "key": the SecureOn password that goes with the class
// key given by --key (a magic packet itself cannot be authenticated).
bool PasswordOf(const std::string &text, std::vector<BYTE> *password, std::string *error)
{
    if (text != "key")
        return ParsePassword(text, password, error);
    password->resize(6);
    if (KesAuthSecureOnPassword(password->data()) != KES_AUTH_OK) {
        *error = "--password key needs the class key (--key FILE)";
        return false;
    }
    return true;
}

int RunWake(const std::vector<std::string> &argv)
{
    const char *name = "wake";
    Args args(argv, {"from", "port", "password", "repeat"}, {"all-interfaces", "limited"});
    if (!args.ok())
        return UsageError(name, args.error());
    if (args.positional().empty())
        return UsageError(name, "expected at least one hardware address (aa:bb:cc:dd:ee:ff)");
    std::string error;
    std::vector<DWORD> locals;
    if (!ParseLocalInterfaces(args, &locals, &error))
        return UsageError(name, error);
    if (args.Has("all-interfaces") && !locals.empty())
        return UsageError(name, "--all-interfaces or --from, not both");
    std::vector<BYTE> list(args.positional().size() * kHardwareAddressBytes);
    for (size_t i = 0; i < args.positional().size(); ++i)
        if (!ParseHardwareAddress(args.positional()[i], &list[i * kHardwareAddressBytes], &error))
            return UsageError(name, error);

    bool throughInterfaces = args.Has("all-interfaces") || locals.size() > 1 || args.Has("port") ||
                             args.Has("password") || args.Has("repeat") || args.Has("limited");
    if (!throughInterfaces)
        return WakeFromOneInterface(name, locals.empty() ? 0 : locals[0], list);

    tagParamWake param;
    long long repeat = param.nRepeat;
    std::vector<BYTE> password;
    if ((args.Has("port") && !ParsePort(args.Get("port"), &param.nPort, &error)) ||
        (args.Has("password") && !PasswordOf(args.Get("password"), &password, &error)) ||
        (args.Has("repeat") && !ParseNumber(args.Get("repeat"), 1, kMaxRepeat, &repeat, &error)))
        return UsageError(name, error);
    param.nRepeat = static_cast<int>(repeat);
    param.bLimitedBroadcast = args.Has("limited");
    param.nPasswordLength = static_cast<int>(password.size());
    std::copy(password.begin(), password.end(), param.byPassword);
    return WakeThroughInterfaces(name, locals, &param, list);
}

}  // namespace

KESNET_COMMAND(wake, "wake",
               "MAC [MAC ...] [--all-interfaces | --from LOCAL ...] [--port N] [--password HEX]\n"
               "                   [--repeat N] [--limited]",
               "wake machines by their hardware addresses",
               "With no option, or one --from alone, it broadcasts a Wake-on-LAN magic packet\n"
               "(six bytes 0xFF, then the hardware address sixteen times) for each MAC to\n"
               "255.255.255.255, UDP port 2304, with KesLanWakeUp: that reaches the network\n"
               "of the one interface it leaves by.\n"
               "Any other option wakes through several interfaces with KesWakeUp: through\n"
               "every interface of this host that is up (loopback aside), or those named with\n"
               "--from, each packet to that interface's own subnet's broadcast address (such\n"
               "as 10.77.2.255 for 10.77.2.1/24), so that every classroom network the host\n"
               "is on is reached. It says what went where, from which interface.\n",
               {{"MAC", "aa:bb:cc:dd:ee:ff (or with '-'), as kesnet adapters prints it"}},
               {{"--all-interfaces", "wake through every interface (KesWakeUp)"},
                {"--from LOCAL", "alone: broadcast from the local interface LOCAL (KesLanWakeUp);\n"
                                 "given several times (up to eight), or with another option:\n"
                                 "wake through those interfaces only (KesWakeUp)"},
                {"--port N", "send to UDP port N (KesWakeUp; default 9, 7 is common too)"},
                {"--password HEX", "append a SecureOn password of 4 or 6 bytes in hex\n"
                                   "(01:02:03:04:05:06 or 010203040506), or \"key\": the one\n"
                                   "derived from the class key given with --key, for cards\n"
                                   "set up with it (KesAuthSecureOnPassword). A wake-up itself\n"
                                   "is never authenticated: the card checks only this password"},
                {"--repeat N", "send everything N times, 50 ms apart (1 to 20; default 1)"},
                {"--limited", "send each packet to 255.255.255.255 from each interface too"}},
               "every magic packet went out",
               "a send was refused or the socket could not be set up (packets sent before\n"
               "stay sent), or a --from address is not an interface of this host that is up",
               RunWake, 73);

}  // namespace tool
