#include "host_ip_setting.h"

#include <algorithm>

#include "args.h"

namespace tool {

const char kSettingsKey[] = "SOFTWARE\\Tarnwick\\Corvane Settings";
const char kHostIpValue[] = "HostIP";
const char kHostIpPlace[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarnwick\\Corvane Settings\\HostIP";

HostIpSetting ReadHostIpSetting()
{
    HostIpSetting setting;
    // Without a destination RegReadDWORD only asks whether the value exists.
    setting.present = RegReadDWORD(HKEY_LOCAL_MACHINE, kSettingsKey, kHostIpValue, nullptr) == 1;
    char text[257] = {};
    setting.readable = setting.present && RegReadString(HKEY_LOCAL_MACHINE, kSettingsKey, kHostIpValue, text, 256) == 1;
    if (!setting.readable)
        return setting;
    setting.text = text;
    // The library reads the text as inet_addr does, and takes neither its
    // failure value (the limited broadcast address) nor 0.0.0.0.
    setting.addr = inet_addr(text);
    setting.usable = setting.addr != INADDR_NONE && setting.addr != INADDR_ANY;
    return setting;
}

std::string Describe(const HostIpSetting &setting)
{
    if (!setting.present)
        return "not set";
    if (!setting.readable)
        return "set, but longer than the 256 bytes that the library reads: it counts as missing";
    if (!setting.usable)
        return "\"" + setting.text + "\", which is not an address: it counts as missing";
    if (Dotted(setting.addr) != setting.text)
        return "\"" + setting.text + "\", read as " + Dotted(setting.addr);
    return setting.text;
}

std::string AddressList(const DWORD *addrs, int count)
{
    std::string text;
    for (int i = 0; i < count; ++i)
        text += (i ? " " : "") + Dotted(addrs[i]);
    return count ? text : "(none)";
}

std::string PreferredAddressAndSource(const DWORD *addrs, int count, int indent)
{
    const std::string newLine = "\n" + std::string(indent, ' ');
    DWORD preferred = CorGetHostIP();
    if (count == 0)
        return "none: the host name resolves to no IPv4 address";
    if (count == 1)
        return Dotted(preferred) + ", the host's only address (HostIP is not consulted)";
    HostIpSetting setting = ReadHostIpSetting();
    if (preferred == 0)
        return "none: the host has " + std::to_string(count) + " addresses and HostIP is " + Describe(setting) + newLine +
               "(set it with: kesnet config hostip ADDRESS)";
    bool own = std::find(addrs, addrs + count, preferred) != addrs + count;
    return Dotted(preferred) + ", from " + kHostIpPlace +
           (own ? "" : newLine + "(not one of this host's addresses: it took the first one's place)");
}

}  // namespace tool
