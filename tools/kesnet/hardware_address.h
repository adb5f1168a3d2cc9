// Hardware (MAC) addresses as the tool reads and prints them: six pairs of
// hexadecimal digits joined by ':' (or '-'), in the order they go on the wire;
// and the SecureOn password of a wake-up, 4 or 6 bytes in the same form.
#ifndef KESNET_TOOL_HARDWARE_ADDRESS_H
#define KESNET_TOOL_HARDWARE_ADDRESS_H

#include "kesnet.h"  // brings winsock2.h before windows.h

#include <string>
#include <vector>

namespace tool {

const int kHardwareAddressBytes = 6;

// false (and *error) unless text is six pairs of hexadecimal digits.
bool ParseHardwareAddress(const std::string &text, BYTE *address, std::string *error);
// "aa:bb:cc:dd:ee:ff"
std::string FormatHardwareAddress(const BYTE *address);
// false (and *error) unless text is 4 or 6 pairs of hexadecimal digits, joined
// by ':' or '-' or written without anything between them.
bool ParsePassword(const std::string &text, std::vector<BYTE> *password, std::string *error);

}  // namespace tool

#endif
