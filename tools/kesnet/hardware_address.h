// Hardware (MAC) addresses as the tool reads and prints them: six pairs of
// hexadecimal digits joined by ':' (or '-'), in the order they go on the wire.
#ifndef KESNET_TOOL_HARDWARE_ADDRESS_H
#define KESNET_TOOL_HARDWARE_ADDRESS_H

#include "kesnet.h"  // brings winsock2.h before windows.h

#include <string>

namespace tool {

const int kHardwareAddressBytes = 6;

// false (and *error) unless text is six pairs of hexadecimal digits.
bool ParseHardwareAddress(const std::string &text, BYTE *address, std::string *error);
// "aa:bb:cc:dd:ee:ff"
std::string FormatHardwareAddress(const BYTE *address);

}  // namespace tool

#endif
