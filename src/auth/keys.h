// The keys of a classroom: the class key, a secret of 32 random bytes that
// every machine of the class holds, and the teacher's key pair, whose private
// half only the teacher's machine holds. Each is kept in a small text file:
//
//   kesnet class key                kesnet teacher private key
//   <64 hex digits>                 <64 hex digits: d>
//                                   <128 hex digits: the public point>
//   kesnet teacher public key
//   <128 hex digits>
//
// Blank lines and lines starting with '#' are ignored.
#ifndef KESNET_AUTH_KEYS_H
#define KESNET_AUTH_KEYS_H

#include <stdint.h>

#include <string>

#include "auth/crypto.h"

namespace auth {

const size_t kClassKeyBytes = 32;
const size_t kSecureOnBytes = 6;

struct ClassKey {
    uint8_t bytes[kClassKeyBytes];
};

enum class KeyKind { kClass, kTeacherPrivate, kTeacherPublic };

struct KeyFile {
    KeyKind kind = KeyKind::kClass;
    ClassKey classKey = {};
    TeacherPrivateKey teacherPrivate = {};  // kTeacherPrivate
    TeacherPublicKey teacherPublic = {};    // kTeacherPublic and kTeacherPrivate (its public half)
};

std::string FormatClassKey(const ClassKey &key);
std::string FormatTeacherPrivateKey(const TeacherPrivateKey &key);
std::string FormatTeacherPublicKey(const TeacherPublicKey &key);
// False, with *error saying why, for anything that is not exactly one key.
bool ParseKeyFile(const std::string &text, KeyFile *out, std::string *error);
// Reads and parses the key file at path; false, with *error ("PATH: why"),
// if it cannot be read or is not a key file. The file's bytes are wiped.
bool ReadKeyFile(const std::string &path, KeyFile *out, std::string *error);

// A key's fingerprint, safe to show: the first 16 bytes of the SHA-256 of its
// bytes (of the public point for either half of the teacher's key), in hex
// groups of four. Empty if the platform's hash failed.
std::string Fingerprint(const ClassKey &key);
std::string Fingerprint(const TeacherPublicKey &key);

// Names the class key on the wire without giving it away, so that traffic of
// another classroom is told apart from forged traffic.
bool KeyId(const ClassKey &key, uint32_t *id);
// Keys for other uses derived from the class key, one per purpose, so that
// no two uses ever share a key.
bool DeriveKey(const ClassKey &key, const char *purpose, uint8_t out[kDigestBytes]);
// The Wake-on-LAN SecureOn password that goes with the class key.
bool SecureOnPassword(const ClassKey &key, uint8_t out[kSecureOnBytes]);

}  // namespace auth

#endif
