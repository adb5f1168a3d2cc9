// Authentication of a stream (a TCP connection from a sender to a listener)
// by the class key. The listener opens with a challenge; the sender answers
// with a proof that it holds the key, bound to the challenge's fresh nonce,
// so that a recorded opening proves nothing; from then on the sender's bytes
// travel in frames, each with a tag under a key of that connection alone and
// its place in the stream, so that a changed, dropped, repeated or reordered
// frame ends the connection before any of its bytes reach the host.
//
//   challenge  "KSA1", the listener's nonce (16)
//   hello      "KSA1", the sender's nonce (16), proof (16)
//   frame      length (2, 1 to kMaxFrame), payload, tag (16)
//
// proof = HMAC(stream key, "hello" | listener's nonce | sender's nonce)
// session key = HMAC(stream key, "session" | listener's nonce | sender's nonce)
// tag = GMAC(session key, nonce = 0 (4) | frame number (8), length | payload)
// where the stream key is derived from the class key for streams alone, HMAC
// is HMAC-SHA-256 (the proof cut to 16 bytes), and GMAC is AES-256-GCM's
// 16-byte tag of the length and payload as additional data, with nothing to
// encrypt. Frames are numbered from 0 in each connection, so no nonce comes
// twice under a session key, which no other connection has. A frame's tag is
// GMAC rather than HMAC because every byte of a stream is tagged twice (sealed
// and opened), and AES-GCM runs an order of magnitude faster than SHA-256 in
// Wine's CNG.
#ifndef KESNET_AUTH_STREAM_GUARD_H
#define KESNET_AUTH_STREAM_GUARD_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "auth/trailer.h"

namespace auth {

const size_t kNonceBytes = 16;
const size_t kChallengeBytes = 4 + kNonceBytes;
const size_t kHelloBytes = 4 + kNonceBytes + kTagBytes;
const size_t kMaxFrame = 16384;
const size_t kFrameOverhead = 2 + kTagBytes;

// The listener's side of one connection.
class StreamOpener {
public:
    // Makes the challenge to send first; false if the system's random
    // generator or hash failed.
    bool Start(const Settings &settings, uint8_t challenge[kChallengeBytes]);
    // Takes the bytes that came and appends the authentic payload among them
    // to *payload. kNone while all is well; any refusal ends the connection
    // (the payload appended before it is authentic).
    Refusal Feed(const uint8_t *bytes, size_t size, std::vector<uint8_t> *payload);
    bool Proven() const { return m_proven; }

private:
    uint8_t m_streamKey[kDigestBytes] = {};
    Gmac m_frameMac;  // under the session key
    uint8_t m_nonce[kNonceBytes] = {};
    bool m_proven = false;
    uint64_t m_frames = 0;
    std::vector<uint8_t> m_pending;  // a hello or frame not yet whole
};

// The sender's side.
class StreamSealer {
public:
    // The hello that answers the listener's challenge; false if the challenge
    // is not one or the system's cryptography failed.
    bool Answer(const Settings &settings, const uint8_t challenge[kChallengeBytes], uint8_t hello[kHelloBytes]);
    // Appends the payload to *wire as frames.
    bool Seal(const uint8_t *payload, size_t size, std::vector<uint8_t> *wire);

private:
    Gmac m_frameMac;  // under the session key
    uint64_t m_frames = 0;
};

}  // namespace auth

#endif
