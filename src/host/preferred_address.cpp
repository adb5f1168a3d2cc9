#include "host/preferred_address.h"

#include "util/registry.h"

namespace {

const char kSettingsKey[] = "SOFTWARE\\Tarnwick\\Corvane Settings";
const char kHostIpValue[] = "HostIP";
const DWORD kTextLimit = 256;

}  // namespace

bool ReadPreferredAddress(DWORD *pdwAddr)
{
    // One byte beyond the read limit stays zero, so that a 256-byte value without
    // a terminator still ends inside the buffer.
    char text[kTextLimit + 1] = {};
    if (!QueryRegistryValue(HKEY_LOCAL_MACHINE, kSettingsKey, kHostIpValue, text, kTextLimit))
        return false;
    // The text is taken in every form inet_addr reads (short forms, octal and
    // hexadecimal parts), as an administrator may have written it. inet_addr
    // reports a text it refuses as 255.255.255.255, the limited broadcast, and
    // reads some texts that hold no address (a blank) as 0.0.0.0, "any
    // interface": neither is ever a host's own address.
    DWORD addr = inet_addr(text);
    if (addr == INADDR_NONE || addr == INADDR_ANY)
        return false;
    *pdwAddr = addr;
    return true;
}
