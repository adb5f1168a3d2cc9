// The four roles a cast handle plays (object sender and receiver, stream
// sender and receiver), each one of the platform-neutral state machines
// with what the library's callers see of it: events as the host is told them,
// status, and the objects' files and buffers. The handle's thread drives a
// role; the calls of the host reach it under the handle's lock.
#ifndef KESNET_WIN_CAST_ROLES_H
#define KESNET_WIN_CAST_ROLES_H

#include "kesnet.h"

#include <memory>
#include <string>
#include <vector>

#include "cast/cast_core.h"

namespace wincast {

// An event as the host is told it (KES_CAST_EVENT), holding its own bytes.
struct CastEvent {
    int kind = 0;
    uint32_t receiver = 0;
    uint32_t object = 0;
    uint64_t size = 0;
    uint64_t done = 0;
    std::string name;
    std::string why;
    std::vector<uint8_t> data;
    bool teachers = false;  // OBJECT, MESSAGE: the teacher attested it, and every byte is what it signed
};

class CastRole {
public:
    virtual ~CastRole() {}
    virtual void OnPacket(const uint8_t *bytes, size_t length, cast::Micros now) = 0;
    virtual void Poll(cast::Micros now) = 0;
    virtual cast::Micros NextWakeUp() const = 0;
    virtual std::vector<cast::Outgoing> TakeOutgoing() = 0;
    virtual void TakeEvents(std::vector<CastEvent> *events) = 0;
    virtual void Status(KES_CAST_STATUS *status) const = 0;

    // The calls of one role; the others answer KES_CAST_E_ROLE.
    virtual int SendObject(std::unique_ptr<cast::Source> source, uint64_t size, const std::string &name,
                           cast::Micros now);
    virtual int SendMessage(const uint8_t *bytes, size_t length, cast::Micros now);
    virtual int Receivers(KES_CAST_RECEIVER_INFO *list, DWORD max, DWORD *count, cast::Micros now) const;
    // Object sender: the state of the object under way or last sent.
    virtual int SenderState() const { return KES_CAST_STATE_IDLE; }
};

// Null if the parameters do not make a role (the caller has checked them).
std::unique_ptr<CastRole> MakeRole(int role, const KES_CAST_PARAM &param, uint32_t session, uint64_t seed);

}  // namespace wincast

#endif
