#include "auth/stream_guard.h"

#include <string.h>

#include "common/big_endian.h"

namespace auth {

namespace {

const uint8_t kMagic[4] = {'K', 'S', 'A', '1'};

bool StreamKey(const Settings &settings, uint8_t key[kDigestBytes])
{
    return DeriveKey(settings.classKey, "kesnet stream", key);
}

// HMAC(key, label | listener's nonce | sender's nonce).
bool Bind(const uint8_t key[kDigestBytes], const char *label, const uint8_t *listenerNonce,
          const uint8_t *senderNonce, uint8_t out[kDigestBytes])
{
    Piece pieces[3] = {{reinterpret_cast<const uint8_t *>(label), strlen(label)},
                       {listenerNonce, kNonceBytes},
                       {senderNonce, kNonceBytes}};
    return HmacSha256(key, kDigestBytes, pieces, 3, out);
}

// The session key, made ready to tag the connection's frames.
bool KeySession(const uint8_t streamKey[kDigestBytes], const uint8_t *listenerNonce, const uint8_t *senderNonce,
                Gmac *frameMac)
{
    static_assert(kDigestBytes == kGmacKeyBytes, "the session key is an HMAC and keys the GMAC");
    uint8_t sessionKey[kDigestBytes];
    return Bind(streamKey, "session", listenerNonce, senderNonce, sessionKey) && frameMac->SetKey(sessionKey);
}

bool FrameTag(Gmac *frameMac, uint64_t number, const uint8_t *lengthAndPayload, size_t size, uint8_t tag[kTagBytes])
{
    static_assert(kTagBytes == kGmacTagBytes, "a frame carries the whole GMAC tag");
    uint8_t nonce[kGmacNonceBytes] = {};
    Store64(nonce + 4, number);
    return frameMac->Tag(nonce, lengthAndPayload, size, tag);
}

bool SameBytes(const uint8_t *a, const uint8_t *b, size_t size)
{
    uint8_t differ = 0;
    for (size_t i = 0; i < size; ++i)
        differ |= a[i] ^ b[i];
    return differ == 0;
}

}  // namespace

bool StreamOpener::Start(const Settings &settings, uint8_t challenge[kChallengeBytes])
{
    if (!StreamKey(settings, m_streamKey) || !RandomBytes(m_nonce, sizeof m_nonce))
        return false;
    memcpy(challenge, kMagic, sizeof kMagic);
    memcpy(challenge + sizeof kMagic, m_nonce, sizeof m_nonce);
    return true;
}

Refusal StreamOpener::Feed(const uint8_t *bytes, size_t size, std::vector<uint8_t> *payload)
{
    m_pending.insert(m_pending.end(), bytes, bytes + size);
    size_t used = 0;
    Refusal why = Refusal::kNone;
    for (;;) {
        const uint8_t *at = m_pending.data() + used;
        size_t left = m_pending.size() - used;
        if (!m_proven) {
            if (left < kHelloBytes)
                break;
            uint8_t proof[kDigestBytes];
            if (memcmp(at, kMagic, sizeof kMagic) != 0) {
                why = Refusal::kUnknownSender;
                break;
            }
            const uint8_t *senderNonce = at + sizeof kMagic;
            if (!Bind(m_streamKey, "hello", m_nonce, senderNonce, proof) ||
                !SameBytes(proof, senderNonce + kNonceBytes, kTagBytes) ||
                !KeySession(m_streamKey, m_nonce, senderNonce, &m_frameMac)) {
                why = Refusal::kBadTag;
                break;
            }
            m_proven = true;
            used += kHelloBytes;
            continue;
        }
        if (left < 2)
            break;
        size_t length = Get16(at);
        if (length == 0 || length > kMaxFrame) {
            why = Refusal::kBadTag;
            break;
        }
        if (left < 2 + length + kTagBytes)
            break;
        uint8_t tag[kTagBytes];
        if (!FrameTag(&m_frameMac, m_frames, at, 2 + length, tag) || !SameBytes(tag, at + 2 + length, kTagBytes)) {
            why = Refusal::kBadTag;
            break;
        }
        ++m_frames;
        payload->insert(payload->end(), at + 2, at + 2 + length);
        used += 2 + length + kTagBytes;
    }
    m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(used));
    return why;
}

bool StreamSealer::Answer(const Settings &settings, const uint8_t challenge[kChallengeBytes],
                          uint8_t hello[kHelloBytes])
{
    uint8_t streamKey[kDigestBytes];
    if (memcmp(challenge, kMagic, sizeof kMagic) != 0 || !StreamKey(settings, streamKey))
        return false;
    const uint8_t *listenerNonce = challenge + sizeof kMagic;
    uint8_t *senderNonce = hello + sizeof kMagic;
    uint8_t proof[kDigestBytes];
    memcpy(hello, kMagic, sizeof kMagic);
    if (!RandomBytes(senderNonce, kNonceBytes) || !Bind(streamKey, "hello", listenerNonce, senderNonce, proof) ||
        !KeySession(streamKey, listenerNonce, senderNonce, &m_frameMac))
        return false;
    memcpy(senderNonce + kNonceBytes, proof, kTagBytes);
    return true;
}

bool StreamSealer::Seal(const uint8_t *payload, size_t size, std::vector<uint8_t> *wire)
{
    for (size_t done = 0; done < size;) {
        size_t length = size - done < kMaxFrame ? size - done : kMaxFrame;
        size_t start = wire->size();
        wire->resize(start + 2 + length + kTagBytes);
        uint8_t *frame = wire->data() + start;
        Store16(frame, static_cast<uint16_t>(length));
        memcpy(frame + 2, payload + done, length);
        if (!FrameTag(&m_frameMac, m_frames, frame, 2 + length, frame + 2 + length))
            return false;
        ++m_frames;
        done += length;
    }
    return true;
}

}  // namespace auth
