#include "auth/cast_attestor.h"

namespace auth {

CastAttestor::CastAttestor(SettingsSource settings, std::function<WallMicros()> wallNow, Counters *refusals)
    : m_settings(std::move(settings)), m_wallNow(std::move(wallNow)), m_refusals(refusals)
{
}

bool CastAttestor::CanSign()
{
    std::shared_ptr<const Settings> settings = m_settings();
    return settings && settings->haveTeacherPrivate;
}

bool CastAttestor::CanVerify()
{
    std::shared_ptr<const Settings> settings = m_settings();
    return settings && settings->haveTeacherPublic;
}

bool CastAttestor::TeachersOnly()
{
    std::shared_ptr<const Settings> settings = m_settings();
    return settings && settings->teacherOnly;
}

bool CastAttestor::Digest(const uint8_t *bytes, size_t size, uint8_t digest[32])
{
    const Piece piece = {bytes, size};
    return Sha256(&piece, 1, digest);
}

bool CastAttestor::Sign(const uint8_t *bytes, size_t size, uint8_t signature[64])
{
    std::shared_ptr<const Settings> settings = m_settings();
    uint8_t digest[kDigestBytes];
    return settings && settings->haveTeacherPrivate && Digest(bytes, size, digest) &&
           SignDigest(settings->teacherPrivate, digest, signature);
}

bool CastAttestor::Verify(const uint8_t *bytes, size_t size, const uint8_t signature[64])
{
    std::shared_ptr<const Settings> settings = m_settings();
    uint8_t digest[kDigestBytes];
    return settings && settings->haveTeacherPublic && Digest(bytes, size, digest) &&
           VerifyDigest(settings->teacherPublic, digest, signature);
}

bool CastAttestor::Recent(uint64_t signedAt)
{
    std::shared_ptr<const Settings> settings = m_settings();
    const WallMicros now = m_wallNow();
    const WallMicros apart = signedAt > now ? signedAt - now : now - signedAt;
    return settings && apart <= settings->maxClockDifference;
}

void CastAttestor::Refused(bool replay)
{
    if (m_refusals != nullptr)
        m_refusals->Count(replay ? Refusal::kReplay : Refusal::kNoSignature);
}

}  // namespace auth
