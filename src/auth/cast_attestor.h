// The teacher's signature on the multicast transfers, by the process's keys:
// the teacher's private key signs its objects' attestations, the teacher's
// public key checks them, and refusals are counted with the process's others.
#ifndef KESNET_AUTH_CAST_ATTESTOR_H
#define KESNET_AUTH_CAST_ATTESTOR_H

#include <functional>
#include <memory>

#include "auth/trailer.h"
#include "cast/cast_core.h"

namespace auth {

class CastAttestor : public cast::Attestor {
public:
    // settings gives the keys in force at each call (null: none).
    typedef std::function<std::shared_ptr<const Settings>()> SettingsSource;
    CastAttestor(SettingsSource settings, std::function<WallMicros()> wallNow, Counters *refusals);

    bool CanSign() override;
    bool CanVerify() override;
    bool TeachersOnly() override;
    bool Digest(const uint8_t *bytes, size_t size, uint8_t digest[32]) override;
    bool Sign(const uint8_t *bytes, size_t size, uint8_t signature[64]) override;
    bool Verify(const uint8_t *bytes, size_t size, const uint8_t signature[64]) override;
    uint64_t WallNow() override { return m_wallNow(); }
    bool Recent(uint64_t signedAt) override;
    void Refused(bool replay) override;

private:
    SettingsSource m_settings;
    std::function<WallMicros()> m_wallNow;
    Counters *m_refusals;
};

}  // namespace auth

#endif
