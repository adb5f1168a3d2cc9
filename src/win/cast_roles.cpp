#include "win/cast_roles.h"

#include <stdio.h>

#include <algorithm>

#include "auth/cast_attestor.h"
#include "cast/cast_receiver.h"
#include "cast/cast_sender.h"
#include "cast/cast_stream.h"
#include "win/auth_process.h"
#include "win/cast_platform.h"

namespace wincast {

namespace {

const cast::Micros kProgressEvery = 250000;
// At the default timer tick of Windows (15.6 ms) a sender waits that long
// between two wake-ups: its bucket holds 16 ms of its rate, or it could never
// reach the rate.
const double kBurstSeconds = 0.016;
// A stream sender takes no more queued than this: a host that sends faster
// than the rate is told so instead of queueing without end.
const size_t kMaxStreamQueue = 4 * 1024 * 1024;

void Split64(uint64_t value, DWORD *low, DWORD *high)
{
    *low = static_cast<DWORD>(value);
    *high = static_cast<DWORD>(value >> 32);
}

// Bytes a second on the wire, from the host's bits a second (0: the default).
void ApplyRate(DWORD bitsPerSecond, double *maxRate, double *minRate, size_t *burst)
{
    if (bitsPerSecond != 0) {
        *maxRate = bitsPerSecond / 8.0;
        if (minRate != nullptr)
            *minRate = std::min(*minRate, *maxRate);
    }
    *burst = std::max(*burst, static_cast<size_t>(*maxRate * kBurstSeconds));
}

// Bytes of the object that the first pass sent, or that came: whole groups.
uint64_t GroupsWorth(const cast::ObjectShape &shape, uint32_t groups)
{
    uint64_t bytes = static_cast<uint64_t>(groups) * shape.groupBlocks * shape.blockSize;
    return std::min(bytes, shape.size);
}

CastEvent Event(int kind, uint32_t object = 0)
{
    CastEvent e;
    e.kind = kind;
    e.object = object;
    return e;
}

void FillStatus(KES_CAST_STATUS *status, int role, int state, uint32_t object, uint64_t size, uint64_t done)
{
    const DWORD dwSize = status->dwSize;
    memset(status, 0, sizeof *status);
    status->dwSize = dwSize;
    status->nRole = role;
    status->nState = state;
    status->dwObject = object;
    Split64(size, &status->dwSizeLow, &status->dwSizeHigh);
    Split64(done, &status->dwDoneLow, &status->dwDoneHigh);
}

// The teacher's signature on the objects, by the keys the process holds at
// each moment.
class ProcessAttestor : public auth::CastAttestor {
public:
    ProcessAttestor() : CastAttestor(winauth::Current, winauth::WallNow, &winauth::Refusals()) {}
};

DWORD Clamp32(uint64_t value)
{
    return value > 0xFFFFFFFFull ? 0xFFFFFFFFul : static_cast<DWORD>(value);
}

class ObjectSenderRole : public CastRole {
public:
    ObjectSenderRole(const KES_CAST_PARAM &param, uint32_t session)
    {
        m_config.session = session;
        ApplyRate(param.dwMaxRate, &m_config.maxRate, &m_config.minRate, &m_config.burstBytes);
        for (DWORD i = 0; i < param.dwExpected; ++i)
            m_config.expected.push_back(param.pdwExpected[i]);
    }

    int SendObject(std::unique_ptr<cast::Source> source, uint64_t size, const std::string &name,
                   cast::Micros now) override
    {
        if (m_sender && !m_sender->Finished())
            return KES_CAST_E_BUSY;
        cast::SenderConfig config = m_config;
        config.name = name;
        config.attestor = &m_attestor;
        std::unique_ptr<cast::CastSender> sender(new cast::CastSender(config));
        if (!sender->Start(m_object + 1, size, source.get(), now))
            return KES_CAST_E_SIZE;
        ++m_object;
        m_sender = std::move(sender);
        m_source = std::move(source);
        m_state = KES_CAST_STATE_RUNNING;
        m_nextProgress = now;
        return KES_CAST_OK;
    }

    void OnPacket(const uint8_t *bytes, size_t length, cast::Micros now) override
    {
        if (m_sender)
            m_sender->OnPacket(bytes, length, now);
    }
    void Poll(cast::Micros now) override
    {
        m_now = now;
        if (m_sender)
            m_sender->Poll(now);
    }
    cast::Micros NextWakeUp() const override
    {
        if (m_state != KES_CAST_STATE_RUNNING)
            return cast::kNever;
        return std::min(m_sender->NextWakeUp(), m_nextProgress);
    }
    std::vector<cast::Outgoing> TakeOutgoing() override
    {
        return m_sender ? m_sender->TakeOutgoing() : std::vector<cast::Outgoing>();
    }

    void TakeEvents(std::vector<CastEvent> *events) override
    {
        if (!m_sender)
            return;
        if (m_state == KES_CAST_STATE_RUNNING && m_now >= m_nextProgress) {
            events->push_back(Progress());
            m_nextProgress = m_now + kProgressEvery;
        }
        for (const cast::SenderEvent &e : m_sender->TakeEvents())
            events->push_back(Translate(e));
    }

    void Status(KES_CAST_STATUS *status) const override
    {
        const cast::ObjectShape shape = m_sender ? m_sender->Shape() : cast::ObjectShape();
        FillStatus(status, KES_CAST_SENDER, m_state, m_object, shape.size, Done());
        if (!m_sender)
            return;
        for (const auto &entry : m_sender->Receivers()) {
            ++status->dwReceivers;
            status->dwHaveIt += entry.second.state == cast::ReceiverState::kComplete;
            status->dwDropped += entry.second.state == cast::ReceiverState::kDropped;
            status->dwAbsent += entry.second.state == cast::ReceiverState::kAbsent;
        }
        const cast::SenderStats &stats = m_sender->Stats();
        status->dwDataPackets = Clamp32(stats.dataPackets);
        status->dwRepairPackets = Clamp32(stats.repairPackets);
        status->dwRate = Clamp32(static_cast<uint64_t>(stats.rate * 8));
    }

    int Receivers(KES_CAST_RECEIVER_INFO *list, DWORD max, DWORD *count, cast::Micros now) const override
    {
        DWORD n = 0;
        if (m_sender) {
            for (const auto &entry : m_sender->Receivers()) {
                if (n < max)
                    Describe(entry.second, now, &list[n]);
                ++n;
            }
        }
        *count = n;
        return KES_CAST_OK;
    }

    int SenderState() const override { return m_state; }

private:
    uint64_t Done() const { return m_sender ? GroupsWorth(m_sender->Shape(), m_sender->Position()) : 0; }

    CastEvent Progress() const
    {
        CastEvent e = Event(KES_CAST_EVENT_PROGRESS, m_object);
        e.size = m_sender->Shape().size;
        e.done = Done();
        return e;
    }

    CastEvent Translate(const cast::SenderEvent &e)
    {
        static const int kinds[] = {KES_CAST_EVENT_JOINED, KES_CAST_EVENT_HAS_IT, KES_CAST_EVENT_DROPPED,
                                    KES_CAST_EVENT_ABSENT, KES_CAST_EVENT_FINISHED, KES_CAST_EVENT_FINISHED};
        CastEvent out = Event(kinds[e.kind], m_object);
        out.receiver = e.receiver;
        out.size = m_sender->Shape().size;
        out.why = e.why != nullptr ? e.why : "";
        if (e.kind == cast::SenderEvent::kFinished || e.kind == cast::SenderEvent::kFailed) {
            m_state = e.kind == cast::SenderEvent::kFinished && EveryoneHasIt() ? KES_CAST_STATE_DONE
                                                                                : KES_CAST_STATE_FAILED;
            if (m_state == KES_CAST_STATE_FAILED && out.why.empty())
                out.why = "not every receiver has it";
            out.done = Done();
        }
        return out;
    }

    bool EveryoneHasIt() const
    {
        const auto &receivers = m_sender->Receivers();
        return !receivers.empty() &&
               std::all_of(receivers.begin(), receivers.end(), [](const std::pair<const uint32_t, cast::ReceiverStatus> &r) {
                   return r.second.state == cast::ReceiverState::kComplete;
               });
    }

    static void Describe(const cast::ReceiverStatus &r, cast::Micros now, KES_CAST_RECEIVER_INFO *out)
    {
        memset(out, 0, sizeof *out);
        out->dwId = r.id;
        out->nState = r.state == cast::ReceiverState::kComplete  ? KES_CAST_RECEIVER_HAS_IT
                      : r.state == cast::ReceiverState::kDropped ? KES_CAST_RECEIVER_DROPPED
                      : r.state == cast::ReceiverState::kAbsent  ? KES_CAST_RECEIVER_ABSENT
                                                                 : KES_CAST_RECEIVER_RECEIVING;
        out->dwGroupsMissing = r.groupsMissing;
        out->dwSilentMs = r.lastHeard != 0 && now > r.lastHeard ? Clamp32((now - r.lastHeard) / 1000) : 0;
        lstrcpynA(out->szWhy, r.why != nullptr ? r.why : "", sizeof out->szWhy);
    }

    cast::SenderConfig m_config;
    ProcessAttestor m_attestor;  // before the sender, which uses it
    std::unique_ptr<cast::CastSender> m_sender;
    std::unique_ptr<cast::Source> m_source;
    uint32_t m_object = 0;
    int m_state = KES_CAST_STATE_IDLE;
    cast::Micros m_now = 0;
    cast::Micros m_nextProgress = 0;
};

class ObjectReceiverRole : public CastRole {
public:
    ObjectReceiverRole(const KES_CAST_PARAM &param, uint32_t id, uint64_t seed)
        : m_files(param.pszFolder != nullptr ? new FileSink(param.pszFolder) : nullptr),
          m_receiver(Config(id, seed, &m_attestor), m_files ? static_cast<cast::Sink *>(m_files.get()) : &m_memory)
    {
    }

    void OnPacket(const uint8_t *bytes, size_t length, cast::Micros now) override
    {
        m_receiver.OnPacket(bytes, length, now);
    }
    void Poll(cast::Micros now) override
    {
        m_now = now;
        m_receiver.Poll(now);
    }
    cast::Micros NextWakeUp() const override
    {
        return Receiving() ? std::min(m_receiver.NextWakeUp(), m_nextProgress) : m_receiver.NextWakeUp();
    }
    std::vector<cast::Outgoing> TakeOutgoing() override { return m_receiver.TakeOutgoing(); }

    void TakeEvents(std::vector<CastEvent> *events) override
    {
        uint64_t refused = 0;
        if (m_files ? m_files->refusals.Take(&refused) : m_memory.refusals.Take(&refused)) {
            CastEvent e = Event(KES_CAST_EVENT_ABANDONED);
            e.size = refused;
            e.why = m_files ? "no file for it could be made in the folder"
                            : "it is larger than a receiver in memory takes, or memory ran out";
            events->push_back(e);
        }
        for (const cast::ReceiverEvent &e : m_receiver.TakeEvents())
            events->push_back(Translate(e));
        if (Receiving() && m_now >= m_nextProgress) {
            CastEvent e = Event(KES_CAST_EVENT_PROGRESS, m_receiver.Object());
            e.size = m_receiver.Shape().size;
            e.done = Done();
            events->push_back(e);
            m_nextProgress = m_now + kProgressEvery;
        }
    }

    void Status(KES_CAST_STATUS *status) const override
    {
        int state = m_objects == 0 ? KES_CAST_STATE_IDLE : Receiving() ? KES_CAST_STATE_RUNNING : KES_CAST_STATE_DONE;
        FillStatus(status, KES_CAST_RECEIVER, state, m_receiver.Object(), m_receiver.Shape().size, Done());
        status->dwDataPackets = Clamp32(m_receiver.Stats().packets);
        status->dwRepairPackets = Clamp32(m_receiver.Stats().nackPackets);
    }

private:
    static cast::ReceiverConfig Config(uint32_t id, uint64_t seed, cast::Attestor *attestor)
    {
        cast::ReceiverConfig config;
        config.id = id;
        config.seed = seed;
        config.attestor = attestor;
        return config;
    }

    bool Receiving() const { return m_objects != 0 && !m_receiver.Complete() && !m_abandoned; }

    uint64_t Done() const
    {
        const cast::ObjectShape &shape = m_receiver.Shape();
        if (m_receiver.Complete())
            return shape.size;
        return GroupsWorth(shape, shape.Groups() - std::min(shape.Groups(), m_receiver.GroupsMissing()));
    }

    CastEvent Translate(const cast::ReceiverEvent &e)
    {
        CastEvent out = Event(KES_CAST_EVENT_STARTED, e.object);
        out.size = e.size;
        out.name = m_receiver.Name();
        if (e.kind == cast::ReceiverEvent::kStarted) {
            ++m_objects;
            m_abandoned = false;
            m_nextProgress = m_now + kProgressEvery;
        } else if (e.kind == cast::ReceiverEvent::kAbandoned) {
            m_abandoned = true;
            out.kind = KES_CAST_EVENT_ABANDONED;
            out.why = "the sender moved on before it was whole";
        } else {
            out.kind = KES_CAST_EVENT_OBJECT;
            out.teachers = e.teachers;
            Hand(e, &out);
        }
        return out;
    }

    // The whole object: into its file in the folder, or its bytes.
    void Hand(const cast::ReceiverEvent &e, CastEvent *out)
    {
        if (!m_files) {
            out->data = m_memory.Take();
            return;
        }
        std::string name = m_receiver.Name();
        if (name.empty()) {
            char fallback[48];
            wsprintfA(fallback, "cast-%08lx-%lu", static_cast<unsigned long>(e.session),
                      static_cast<unsigned long>(e.object));
            name = fallback;
        }
        out->name = m_files->Keep(name);
        if (out->name.empty()) {
            out->kind = KES_CAST_EVENT_ABANDONED;
            out->name = name;
            out->why = "it could not be given its name in the folder";
        }
    }

    ProcessAttestor m_attestor;
    std::unique_ptr<FileSink> m_files;
    MemorySink m_memory;
    cast::CastReceiver m_receiver;
    unsigned m_objects = 0;
    bool m_abandoned = false;
    cast::Micros m_now = 0;
    cast::Micros m_nextProgress = 0;
};

class StreamSenderRole : public CastRole {
public:
    StreamSenderRole(const KES_CAST_PARAM &param, uint32_t session) : m_sender(Config(param, session, &m_attestor)) {}

    int SendMessage(const uint8_t *bytes, size_t length, cast::Micros now) override
    {
        if (length == 0 || length > m_sender.MaxMessage())
            return KES_CAST_E_SIZE;
        if (m_sender.QueuedBytes() + length > kMaxStreamQueue)
            return KES_CAST_E_BUSY;
        // The size is right: only the teacher's signature can have failed.
        return m_sender.Send(bytes, length, now) ? KES_CAST_OK : KES_CAST_E_FAILED;
    }
    void OnPacket(const uint8_t *bytes, size_t length, cast::Micros now) override
    {
        m_sender.OnPacket(bytes, length, now);
    }
    void Poll(cast::Micros now) override { m_sender.Poll(now); }
    cast::Micros NextWakeUp() const override { return m_sender.NextWakeUp(); }
    std::vector<cast::Outgoing> TakeOutgoing() override { return m_sender.TakeOutgoing(); }
    void TakeEvents(std::vector<CastEvent> *) override {}
    void Status(KES_CAST_STATUS *status) const override
    {
        const cast::StreamSenderStats &stats = m_sender.Stats();
        FillStatus(status, KES_CAST_STREAM_SENDER, stats.messages ? KES_CAST_STATE_RUNNING : KES_CAST_STATE_IDLE,
                   Clamp32(stats.messages), 0, 0);
        status->dwMessages = Clamp32(stats.messages);
        status->dwDataPackets = Clamp32(stats.dataPackets);
        status->dwRepairPackets = Clamp32(stats.parityPackets + stats.repairPackets);
    }

private:
    static cast::StreamSenderConfig Config(const KES_CAST_PARAM &param, uint32_t session, cast::Attestor *attestor)
    {
        cast::StreamSenderConfig config;
        config.session = session;
        config.attestor = attestor;
        ApplyRate(param.dwMaxRate, &config.maxRate, nullptr, &config.burstBytes);
        return config;
    }

    ProcessAttestor m_attestor;
    cast::StreamSender m_sender;
};

class StreamReceiverRole : public CastRole {
public:
    StreamReceiverRole(uint32_t id, uint64_t seed) : m_receiver(Config(id, seed, &m_attestor)) {}

    void OnPacket(const uint8_t *bytes, size_t length, cast::Micros now) override
    {
        m_receiver.OnPacket(bytes, length, now);
    }
    void Poll(cast::Micros now) override { m_receiver.Poll(now); }
    cast::Micros NextWakeUp() const override { return m_receiver.NextWakeUp(); }
    std::vector<cast::Outgoing> TakeOutgoing() override { return m_receiver.TakeOutgoing(); }
    void TakeEvents(std::vector<CastEvent> *events) override
    {
        for (cast::StreamEvent &e : m_receiver.TakeEvents()) {
            CastEvent out = Event(e.kind == cast::StreamEvent::kMessage ? KES_CAST_EVENT_MESSAGE : KES_CAST_EVENT_SKIPPED, e.seq);
            out.size = e.bytes.size();
            out.data = std::move(e.bytes);
            out.teachers = e.teachers;
            if (out.kind == KES_CAST_EVENT_SKIPPED)
                out.why = "it could not be repaired before the sender let it go";
            events->push_back(std::move(out));
        }
    }
    void Status(KES_CAST_STATUS *status) const override
    {
        const cast::StreamReceiverStats &stats = m_receiver.Stats();
        const uint64_t heard = stats.delivered + stats.skipped;
        FillStatus(status, KES_CAST_STREAM_RECEIVER, heard ? KES_CAST_STATE_RUNNING : KES_CAST_STATE_IDLE, 0, 0, 0);
        status->dwMessages = Clamp32(stats.delivered);
        status->dwSkipped = Clamp32(stats.skipped);
        status->dwRepairPackets = Clamp32(stats.nackPackets);
    }

private:
    static cast::StreamReceiverConfig Config(uint32_t id, uint64_t seed, cast::Attestor *attestor)
    {
        cast::StreamReceiverConfig config;
        config.id = id;
        config.seed = seed;
        config.attestor = attestor;
        return config;
    }

    ProcessAttestor m_attestor;
    cast::StreamReceiver m_receiver;
};

}  // namespace

int CastRole::SendObject(std::unique_ptr<cast::Source>, uint64_t, const std::string &, cast::Micros)
{
    return KES_CAST_E_ROLE;
}

int CastRole::SendMessage(const uint8_t *, size_t, cast::Micros)
{
    return KES_CAST_E_ROLE;
}

int CastRole::Receivers(KES_CAST_RECEIVER_INFO *, DWORD, DWORD *, cast::Micros) const
{
    return KES_CAST_E_ROLE;
}

std::unique_ptr<CastRole> MakeRole(int role, const KES_CAST_PARAM &param, uint32_t session, uint64_t seed)
{
    const uint32_t id = param.dwReceiverId != 0 ? param.dwReceiverId
                        : param.dwLocalAddr != 0 ? param.dwLocalAddr
                                                 : static_cast<uint32_t>(seed >> 32) | 1;
    switch (role) {
    case KES_CAST_SENDER:
        return std::unique_ptr<CastRole>(new ObjectSenderRole(param, session));
    case KES_CAST_RECEIVER:
        return std::unique_ptr<CastRole>(new ObjectReceiverRole(param, id, seed));
    case KES_CAST_STREAM_SENDER:
        return std::unique_ptr<CastRole>(new StreamSenderRole(param, session));
    case KES_CAST_STREAM_RECEIVER:
        return std::unique_ptr<CastRole>(new StreamReceiverRole(id, seed));
    default:
        return nullptr;
    }
}

}  // namespace wincast
