// A roll-call of a class's machines: which of them answer, and which can be
// woken. Used by `kesnet rollcall` and by the demo.
#ifndef KESNET_TOOL_ROLLCALL_H
#define KESNET_TOOL_ROLLCALL_H

#include "kesnet.h"  // brings winsock2.h before windows.h

#include <map>
#include <string>
#include <vector>

#include "args.h"
#include "hardware_address.h"

namespace tool {

// One student machine of the class list.
struct Student {
    std::string name;
    DWORD addr;
    BYTE hardware[kHardwareAddressBytes];
};

// Reads a class list: one machine a line, "NAME ADDRESS MAC" separated by
// blanks; '#' starts a comment, and blank lines are skipped. Every address must
// be a unicast address and appear once: an echo is known by its address alone.
// false (and *error, naming the line) otherwise, or for a list of no machine.
bool ReadClassList(const std::string &path, std::vector<Student> *students, std::string *error);

// Asks every student's echoing listener (a CKesListen with bEcho, such as
// `kesnet listen PORT --echo`) at once whether it is there, and notes who
// answers and when.
//
// It does not use CKesSend2. An acknowledged sender hears echoes with its own
// listener on ECHO_PORT and has one datagram awaiting its echo at a time (its
// Send holds a lock until the echo or the time-out), and several of them on
// one host share ECHO_PORT, where the system hands each echo to one of their
// sockets only: N of them at once steal each other's echoes. So one listener
// on ECHO_PORT hears every echo, and one plain sender asks every student in
// turn without waiting; then one wait covers them all. The acknowledgement's
// own rule holds: an echo counts when a datagram reaches ECHO_PORT from the
// student's address after the question went out.
class RollCall {
public:
    explicit RollCall(const std::vector<Student> &students);
    ~RollCall();
    RollCall(const RollCall &) = delete;
    RollCall &operator=(const RollCall &) = delete;

    // Listens on ECHO_PORT of every interface and opens the sender. false if
    // either cannot be set up.
    bool Start();
    // Sends one question to port of every student that has not answered yet,
    // then waits until they all have, or timeoutMs after the last question.
    void AskSilent(int port, DWORD timeoutMs);
    // Waits until every student has answered, or timeoutMs.
    void AwaitAnswers(DWORD timeoutMs);
    // Milliseconds since Start.
    double Now() const { return m_clock.Milliseconds(); }

    bool Answered(size_t i) const;
    // Whether student i's echo came while it had been asked once only: the
    // answer to the first question, however late. A machine that was asleep
    // cannot answer a question sent before it woke.
    bool AnsweredFirstQuestion(size_t i) const;
    // When student i answered, and the round trip from the question before it.
    double AnsweredAt(size_t i) const;
    double RoundTrip(size_t i) const;
    // The students that have not answered, in list order.
    std::vector<size_t> Silent() const;

private:
    static void __cdecl OnEcho(void *pData, int nLength, void *pUserData, unsigned long dwAddr, int nPort);
    size_t CountAnswered() const;

    std::vector<Student> m_students;
    std::map<DWORD, size_t> m_byAddress;
    std::vector<double> m_askedAt;      // the latest question; -1 until asked
    std::vector<int> m_questions;       // how many questions went to each
    std::vector<double> m_answeredAt;   // -1 until answered
    std::vector<int> m_answeredAfter;   // how many questions had gone when it answered
    Stopwatch m_clock;
    mutable CRITICAL_SECTION m_lock;   // the times: the echo listener's thread writes them
    HANDLE m_allAnswered;
    CKesListen m_echoes;
    CKesSend m_sender;
};

}  // namespace tool

#endif
