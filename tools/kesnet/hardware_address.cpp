#include "hardware_address.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>

namespace tool {

bool ParseHardwareAddress(const std::string &text, BYTE *address, std::string *error)
{
    bool ok = text.size() == 17;
    for (size_t i = 0; ok && i < text.size(); ++i) {
        bool separator = i % 3 == 2;
        ok = separator ? (text[i] == ':' || text[i] == '-' ) && text[i] == text[2]
                       : isxdigit(static_cast<unsigned char>(text[i])) != 0;
    }
    if (!ok) {
        *error = "'" + text + "' is not a hardware address (expected six pairs of hex digits, aa:bb:cc:dd:ee:ff)";
        return false;
    }
    for (int i = 0; i < kHardwareAddressBytes; ++i)
        address[i] = static_cast<BYTE>(strtoul(text.substr(i * 3, 2).c_str(), nullptr, 16));
    return true;
}

std::string FormatHardwareAddress(const BYTE *address)
{
    char text[18];
    snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", address[0], address[1], address[2], address[3],
             address[4], address[5]);
    return text;
}

}  // namespace tool
