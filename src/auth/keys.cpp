#include "auth/keys.h"

#include <stdio.h>
#include <string.h>

#include <sstream>
#include <vector>

namespace auth {

namespace {

const char kClassHeading[] = "kesnet class key";
const char kPrivateHeading[] = "kesnet teacher private key";
const char kPublicHeading[] = "kesnet teacher public key";

std::string Hex(const uint8_t *bytes, size_t size)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 15];
    }
    return text;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool FromHex(const std::string &text, uint8_t *out, size_t size)
{
    if (text.size() != size * 2)
        return false;
    for (size_t i = 0; i < size; ++i) {
        int high = HexDigit(text[2 * i]), low = HexDigit(text[2 * i + 1]);
        if (high < 0 || low < 0)
            return false;
        out[i] = static_cast<uint8_t>(high << 4 | low);
    }
    return true;
}

// The file's lines that say something, without their blanks at either end.
std::vector<std::string> MeaningfulLines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#')
            continue;
        size_t last = line.find_last_not_of(" \t\r");
        lines.push_back(line.substr(first, last - first + 1));
    }
    return lines;
}

std::string ShortHash(const uint8_t *bytes, size_t size)
{
    uint8_t digest[kDigestBytes];
    Piece piece = {bytes, size};
    if (!Sha256(&piece, 1, digest))
        return std::string();
    std::string hex = Hex(digest, 16), grouped;
    for (size_t i = 0; i < hex.size(); i += 4)
        grouped += (i ? " " : "") + hex.substr(i, 4);
    return grouped;
}

bool Expect(size_t lines, size_t wanted, const char *what, std::string *error)
{
    if (lines == wanted)
        return true;
    *error = std::string("a ") + what + " file holds its heading and " + std::to_string(wanted - 1) +
             " line(s) of hex digits";
    return false;
}

}  // namespace

std::string FormatClassKey(const ClassKey &key)
{
    return std::string(kClassHeading) + "\n" + Hex(key.bytes, sizeof key.bytes) + "\n";
}

std::string FormatTeacherPrivateKey(const TeacherPrivateKey &key)
{
    return std::string(kPrivateHeading) + "\n" + Hex(key.d, sizeof key.d) + "\n" +
           Hex(key.pub.xy, sizeof key.pub.xy) + "\n";
}

std::string FormatTeacherPublicKey(const TeacherPublicKey &key)
{
    return std::string(kPublicHeading) + "\n" + Hex(key.xy, sizeof key.xy) + "\n";
}

bool ParseKeyFile(const std::string &text, KeyFile *out, std::string *error)
{
    std::vector<std::string> lines = MeaningfulLines(text);
    KeyFile key;
    if (lines.empty()) {
        *error = "the file holds no key";
        return false;
    }
    bool ok;
    if (lines[0] == kClassHeading) {
        key.kind = KeyKind::kClass;
        ok = Expect(lines.size(), 2, "class key", error) &&
             FromHex(lines[1], key.classKey.bytes, sizeof key.classKey.bytes);
    } else if (lines[0] == kPrivateHeading) {
        key.kind = KeyKind::kTeacherPrivate;
        ok = Expect(lines.size(), 3, "teacher private key", error) &&
             FromHex(lines[1], key.teacherPrivate.d, sizeof key.teacherPrivate.d) &&
             FromHex(lines[2], key.teacherPrivate.pub.xy, sizeof key.teacherPrivate.pub.xy);
        key.teacherPublic = key.teacherPrivate.pub;
    } else if (lines[0] == kPublicHeading) {
        key.kind = KeyKind::kTeacherPublic;
        ok = Expect(lines.size(), 2, "teacher public key", error) &&
             FromHex(lines[1], key.teacherPublic.xy, sizeof key.teacherPublic.xy);
    } else {
        *error = "the file does not start with \"kesnet class key\", \"kesnet teacher private key\" or "
                 "\"kesnet teacher public key\"";
        return false;
    }
    if (!ok) {
        if (error->empty())
            *error = "the key's hex digits are not of the right number or not all hex digits";
        return false;
    }
    *out = key;
    return true;
}

bool ReadKeyFile(const std::string &path, KeyFile *out, std::string *error)
{
    const size_t kLargestKeyFile = 16384;
    FILE *file = fopen(path.c_str(), "rb");
    if (file == nullptr) {
        *error = path + ": cannot be read";
        return false;
    }
    std::string text(kLargestKeyFile + 1, '\0');
    text.resize(fread(&text[0], 1, text.size(), file));
    fclose(file);
    std::string why;
    bool parsed = text.size() <= kLargestKeyFile && ParseKeyFile(text, out, &why);
    volatile char *bytes = &text[0];
    for (size_t i = 0; i < text.size(); ++i)
        bytes[i] = 0;
    if (!parsed)
        *error = path + ": " + (why.empty() ? "not a key file" : why);
    return parsed;
}

std::string Fingerprint(const ClassKey &key)
{
    return ShortHash(key.bytes, sizeof key.bytes);
}

std::string Fingerprint(const TeacherPublicKey &key)
{
    return ShortHash(key.xy, sizeof key.xy);
}

bool DeriveKey(const ClassKey &key, const char *purpose, uint8_t out[kDigestBytes])
{
    Piece piece = {reinterpret_cast<const uint8_t *>(purpose), strlen(purpose)};
    return HmacSha256(key.bytes, sizeof key.bytes, &piece, 1, out);
}

bool KeyId(const ClassKey &key, uint32_t *id)
{
    uint8_t derived[kDigestBytes];
    if (!DeriveKey(key, "kesnet key id", derived))
        return false;
    *id = static_cast<uint32_t>(derived[0]) << 24 | derived[1] << 16 | derived[2] << 8 | derived[3];
    return true;
}

bool SecureOnPassword(const ClassKey &key, uint8_t out[kSecureOnBytes])
{
    uint8_t derived[kDigestBytes];
    if (!DeriveKey(key, "kesnet wake-on-lan secureon", derived))
        return false;
    memcpy(out, derived, kSecureOnBytes);
    return true;
}

}  // namespace auth
