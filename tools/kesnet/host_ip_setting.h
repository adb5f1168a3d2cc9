// The preferred address as the registry holds it: the value "HostIP" under
// HKEY_LOCAL_MACHINE\SOFTWARE\Tarnwick\Corvane Settings, read and written with
// the library's own registry functions.
#ifndef KESNET_TOOL_HOST_IP_SETTING_H
#define KESNET_TOOL_HOST_IP_SETTING_H

#include "kesnet.h"  // brings winsock2.h before windows.h

#include <string>

namespace tool {

extern const char kSettingsKey[];
extern const char kHostIpValue[];
extern const char kHostIpPlace[];  // the full path, for messages

struct HostIpSetting {
    bool present = false;   // the value exists
    bool readable = false;  // and fits in the 256 bytes that the library reads
    std::string text;
    bool usable = false;    // the library reads an address in the text
    DWORD addr = 0;         // that address
};

HostIpSetting ReadHostIpSetting();

// "10.0.0.5", "\"10.5\", read as 10.0.0.5", "not set", or what is wrong with
// the value.
std::string Describe(const HostIpSetting &setting);

// "10.0.0.5 10.0.0.6", or "(none)".
std::string AddressList(const DWORD *addrs, int count);
// What CorGetHostIP returns for a host with these addresses, and where that
// comes from (the only address, or HostIP), for a reader; further lines start
// with indent blanks.
std::string PreferredAddressAndSource(const DWORD *addrs, int count, int indent);

}  // namespace tool

#endif
