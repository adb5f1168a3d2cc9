#include "host/preferred_address.h"

#include "util/registry.h"

namespace {

const char kSettingsKey[] = "SOFTWARE\\Tarnwick\\Corvane Settings";
const char kHostIpValue[] = "HostIP";
const DWORD kTextLimit = 256;

// Reads one decimal number of one to three digits, without a leading zero, up to
// 255. inet_addr would read a leading zero as octal.
bool ReadByte(const char **text)
{
    const char *start = *text;
    int value = 0;
    while (**text >= '0' && **text <= '9' && *text - start < 3)
        value = value * 10 + (*(*text)++ - '0');
    int digits = static_cast<int>(*text - start);
    return digits > 0 && value <= 255 && !(digits > 1 && *start == '0');
}

// Four such numbers joined by dots, and nothing else. inet_addr accepts more
// (fewer parts, octal and hexadecimal) and turns what it rejects into
// 255.255.255.255, which would then pass for the host's address.
bool IsDottedAddress(const char *text)
{
    for (int part = 0; part < 4; ++part)
        if ((part > 0 && *text++ != '.') || !ReadByte(&text))
            return false;
    return *text == '\0';
}

}  // namespace

bool ReadPreferredAddress(DWORD *pdwAddr)
{
    // One byte beyond the read limit stays zero, so that a 256-byte value without
    // a terminator still ends inside the buffer.
    char text[kTextLimit + 1] = {};
    if (!QueryRegistryValue(HKEY_LOCAL_MACHINE, kSettingsKey, kHostIpValue, text, kTextLimit) ||
        !IsDottedAddress(text))
        return false;
    DWORD addr = inet_addr(text);
    // "255.255.255.255" is the limited broadcast, never a host's own address, and
    // the very value by which inet_addr reports a failure.
    if (addr == INADDR_NONE)
        return false;
    *pdwAddr = addr;
    return true;
}
