// Authentication in the DLL: the process's settings (off until a class key is
// set), its refusal counters, and each datagram socket's sealing and opening
// state. Every datagram path reads the settings afresh for each datagram, so
// that a key set or cleared takes effect at once, and a socket holds the
// settings it is using for as long as it uses them.
#ifndef KESNET_WIN_AUTH_PROCESS_H
#define KESNET_WIN_AUTH_PROCESS_H

#include <windows.h>

#include <memory>
#include <vector>

#include "auth/trailer.h"

namespace winauth {

// Null while authentication is off: then every datagram is sent and taken as
// it stands.
std::shared_ptr<const auth::Settings> Current();
void Replace(std::shared_ptr<const auth::Settings> settings);

auth::Counters &Refusals();

// The process's recent authenticated datagrams, so that an echo counts only
// as the answer to a datagram this process sent to the echo's sender (to a
// group: any member), once. SentTo is told of every sealed datagram;
// TakeAnswer is true for the first echo of one of the newest kSentRemembered.
const size_t kSentRemembered = 4096;
void SentTo(const auth::SealedId &id, DWORD dwAddr);
bool TakeAnswer(const auth::SealedId &answered, DWORD dwFrom);
auth::WallMicros WallNow();

// Whether the datagram this thread is delivering to a callback was signed by
// the teacher (a listener sets it before each callback).
bool DeliveringTeachers();
void SetDeliveringTeachers(bool teachers);

// One datagram socket's authentication: its sender id and sequence numbers,
// the id of the last datagram it sealed (what an echo must answer), and the
// replay windows of what it received.
class SocketAuth {
public:
    explicit SocketAuth(bool bulk);
    ~SocketAuth();
    SocketAuth(const SocketAuth &) = delete;
    SocketAuth &operator=(const SocketAuth &) = delete;
    bool Valid() const { return m_bValid; }

    // Seals the payload into the socket's own buffer under its lock and hands
    // the sealed datagram to send, still under the lock, so that sequence
    // numbers leave in order. 0 if it does not fit, the payload cannot be
    // read, or the cryptography failed.
    template <typename SendFn>
    int SealAndSend(const auth::Settings &settings, const void *pData, DWORD dwLength, DWORD dwAddr, int nPort,
                    SendFn send);
    auth::SealedId LastSealed();
    void ForgetLastSealed();

    // For the one receive thread of the socket.
    auth::Opener &Opener() { return m_opener; }

private:
    size_t Seal(const auth::Settings &settings, const void *pData, DWORD dwLength, int nPort);

    CRITICAL_SECTION m_lock;
    bool m_bValid = false;
    auth::Sealer m_sealer;
    auth::SealedId m_lastSealed;
    std::vector<uint8_t> m_buffer;
    auth::Opener m_opener;
};

template <typename SendFn>
int SocketAuth::SealAndSend(const auth::Settings &settings, const void *pData, DWORD dwLength, DWORD dwAddr,
                            int nPort, SendFn send)
{
    EnterCriticalSection(&m_lock);
    size_t size = Seal(settings, pData, dwLength, nPort);
    if (size != 0)
        SentTo(m_lastSealed, dwAddr);  // before it leaves: its echo may come at once
    int sent = size != 0 && send(m_buffer.data(), static_cast<DWORD>(size));
    LeaveCriticalSection(&m_lock);
    return sent;
}

}  // namespace winauth

#endif
