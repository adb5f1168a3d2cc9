// Demo step: one object to a whole class at once, and a live stream
// (KesCastOpen, KesCastSendBuffer, KesCastSendMessage).
#include <string.h>

#include <mutex>
#include <string>
#include <vector>

#include "args.h"
#include "demo.h"
#include "kesnet.h"

namespace tool {
namespace {

const char kCastGroup[] = "239.77.0.9";
const int kCastPort = 31090;
const int kStudents = 3;
const size_t kLessonBytes = 2 * 1024 * 1024 + 321;
const int kFrames = 20;

// What one receiver's callback got.
struct Student {
    std::mutex lock;
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::vector<unsigned char> bytes;  // the object, or the frames one after another
    std::string name;
    int frames = 0;
    int skipped = 0;
    ~Student() { CloseHandle(done); }
};

void __cdecl OnStudentEvent(const KES_CAST_EVENT *e, void *user)
{
    Student *s = static_cast<Student *>(user);
    std::lock_guard<std::mutex> lock(s->lock);
    const unsigned char *data = static_cast<const unsigned char *>(e->pData);
    if (e->nEvent == KES_CAST_EVENT_OBJECT) {
        s->bytes.assign(data, data + e->dwSizeLow);
        s->name = e->pszName;
        SetEvent(s->done);
    } else if (e->nEvent == KES_CAST_EVENT_MESSAGE || e->nEvent == KES_CAST_EVENT_SKIPPED) {
        if (e->nEvent == KES_CAST_EVENT_MESSAGE)
            s->bytes.insert(s->bytes.end(), data, data + e->dwSizeLow);
        else
            ++s->skipped;
        if (++s->frames == kFrames)
            SetEvent(s->done);
    }
}

// Sender and receivers share this host, so they meet on its loopback: a
// sender does not hear its own packets back through an outward interface.
KES_CAST_PARAM CastParam(const DemoNetwork &)
{
    KES_CAST_PARAM p = {};
    p.dwSize = sizeof p;
    p.dwGroupAddr = inet_addr(kCastGroup);
    p.nPort = kCastPort;
    p.dwLocalAddr = inet_addr("127.0.0.1");
    return p;
}

std::vector<unsigned char> Lesson(size_t n)
{
    std::vector<unsigned char> bytes(n);
    DWORD state = 0x1234567;
    for (unsigned char &b : bytes) {
        state = state * 1103515245u + 12345u;
        b = static_cast<unsigned char>(state >> 16);
    }
    return bytes;
}

bool ClassGetsTheLesson(const DemoNetwork &net, const std::vector<unsigned char> &lesson)
{
    Student students[kStudents];
    HKESCAST receivers[kStudents] = {};
    DWORD ids[kStudents];
    bool ok = true;
    for (int i = 0; i < kStudents; ++i) {
        KES_CAST_PARAM p = CastParam(net);
        p.dwReceiverId = ids[i] = 101 + i;
        p.pfnEvent = OnStudentEvent;
        p.pUserData = &students[i];
        ok &= KesCastOpen(KES_CAST_RECEIVER, &p, &receivers[i]) == KES_CAST_OK;
    }
    ok = Check(ok, std::to_string(kStudents) + " receivers in memory on " + kCastGroup + ":" +
                       std::to_string(kCastPort) + " (KesCastOpen, KES_CAST_RECEIVER), ids 101 to 103");
    KES_CAST_PARAM p = CastParam(net);
    p.pdwExpected = ids;
    p.dwExpected = kStudents;
    HKESCAST sender = nullptr;
    ok = ok && Check(KesCastOpen(KES_CAST_SENDER, &p, &sender) == KES_CAST_OK, "a sender expecting those three");
    Stopwatch clock;
    ok = ok && Check(KesCastSendBuffer(sender, lesson.data(), lesson.size(), "lesson.bin") == KES_CAST_OK,
                     "KesCastSendBuffer: " + FormatBytes(static_cast<double>(lesson.size())) + " named lesson.bin");
    if (ok) {
        int result = KesCastWait(sender, 30000);
        KES_CAST_STATUS s = {};
        s.dwSize = sizeof s;
        KesCastGetStatus(sender, &s);
        Say("sent", std::to_string(s.dwDataPackets) + " data and " + std::to_string(s.dwRepairPackets) +
                        " repair packets in " + std::to_string(static_cast<int>(clock.Milliseconds())) +
                        " ms, once for the whole class");
        ok &= Check(result == KES_CAST_OK && s.dwHaveIt == kStudents, "KesCastWait: every receiver has it");
        for (int i = 0; i < kStudents; ++i) {
            WaitSignalled(students[i].done);
            std::lock_guard<std::mutex> lock(students[i].lock);
            ok &= Check(students[i].bytes == lesson && students[i].name == "lesson.bin",
                        "receiver " + std::to_string(ids[i]) + " got lesson.bin whole");
        }
    }
    if (sender != nullptr)
        KesCastClose(sender);
    for (HKESCAST h : receivers)
        if (h != nullptr)
            KesCastClose(h);
    return ok;
}

bool StreamReachesTheClass(const DemoNetwork &net)
{
    Student student;
    KES_CAST_PARAM p = CastParam(net);
    p.nPort = kCastPort + 1;
    p.pfnEvent = OnStudentEvent;
    p.pUserData = &student;
    HKESCAST receiver = nullptr, sender = nullptr;
    bool ok = Check(KesCastOpen(KES_CAST_STREAM_RECEIVER, &p, &receiver) == KES_CAST_OK,
                    "a stream receiver (KES_CAST_STREAM_RECEIVER)");
    KES_CAST_PARAM q = CastParam(net);
    q.nPort = kCastPort + 1;
    ok = ok && Check(KesCastOpen(KES_CAST_STREAM_SENDER, &q, &sender) == KES_CAST_OK, "a stream sender");
    std::vector<unsigned char> sent;
    for (int i = 0; ok && i < kFrames; ++i) {
        std::vector<unsigned char> frame = Lesson(20000 + i * 1000);
        frame[0] = static_cast<unsigned char>(i);
        ok &= KesCastSendMessage(sender, frame.data(), static_cast<DWORD>(frame.size())) == KES_CAST_OK;
        sent.insert(sent.end(), frame.begin(), frame.end());
        Sleep(33);  // a screen's 30 frames a second
    }
    ok = Check(ok, std::to_string(kFrames) + " frames of 20 to 39 KB sent, 30 a second (KesCastSendMessage)");
    if (ok) {
        WaitSignalled(student.done);
        std::lock_guard<std::mutex> lock(student.lock);
        ok &= Check(student.bytes == sent && student.skipped == 0, "every frame came whole and in order");
    }
    if (sender != nullptr)
        KesCastClose(sender);
    if (receiver != nullptr)
        KesCastClose(receiver);
    return ok;
}

bool OneToTheWholeClass(const DemoNetwork &net)
{
    if (!net.isPrivate) {
        Say("skipped", "multicast transfers are shown only inside the private network namespace");
        return true;
    }
    bool ok = ClassGetsTheLesson(net, Lesson(kLessonBytes));
    ok &= StreamReachesTheClass(net);
    return ok;
}

}  // namespace

KESNET_DEMO_STEP(cast, 75, "One to the whole class at once: a file and a live stream (KesCastOpen, KesCastSendBuffer, "
                           "KesCastSendMessage)", OneToTheWholeClass);

}  // namespace tool
