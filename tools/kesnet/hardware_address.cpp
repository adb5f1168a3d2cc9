#include "hardware_address.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>

namespace tool {

namespace {

// Pairs of hexadecimal digits, all joined by one separator (':' or '-') or,
// where plain is allowed, by none.
bool ParseHexPairs(const std::string &text, bool plain, std::vector<BYTE> *bytes)
{
    bool joined = text.size() > 2 && (text[2] == ':' || text[2] == '-');
    size_t step = joined ? 3 : 2;
    if (text.empty() || (!joined && !plain) || (text.size() + (joined ? 1 : 0)) % step != 0)
        return false;
    bytes->clear();
    for (size_t at = 0; at < text.size(); at += step) {
        if (!isxdigit(static_cast<unsigned char>(text[at])) || !isxdigit(static_cast<unsigned char>(text[at + 1])) ||
            (joined && at + 2 < text.size() && text[at + 2] != text[2]))
            return false;
        bytes->push_back(static_cast<BYTE>(strtoul(text.substr(at, 2).c_str(), nullptr, 16)));
    }
    return true;
}

}  // namespace

bool ParseHardwareAddress(const std::string &text, BYTE *address, std::string *error)
{
    std::vector<BYTE> bytes;
    if (!ParseHexPairs(text, false, &bytes) || bytes.size() != kHardwareAddressBytes) {
        *error = "'" + text + "' is not a hardware address (expected six pairs of hex digits, aa:bb:cc:dd:ee:ff)";
        return false;
    }
    for (int i = 0; i < kHardwareAddressBytes; ++i)
        address[i] = bytes[i];
    return true;
}

std::string FormatHardwareAddress(const BYTE *address)
{
    char text[18];
    snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", address[0], address[1], address[2], address[3],
             address[4], address[5]);
    return text;
}

bool ParsePassword(const std::string &text, std::vector<BYTE> *password, std::string *error)
{
    if (!ParseHexPairs(text, true, password) || (password->size() != 4 && password->size() != 6)) {
        *error = "'" + text + "' is not a SecureOn password (expected 4 or 6 bytes in hex, 01:02:03:04:05:06 or "
                 "010203040506)";
        return false;
    }
    return true;
}

}  // namespace tool
