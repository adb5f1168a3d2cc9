#include "rollcall.h"

#include <fstream>
#include <sstream>

namespace tool {

namespace {

bool IsUnicast(DWORD addr)
{
    DWORD host = ntohl(addr);
    return addr != 0 && addr != INADDR_BROADCAST && (host >> 28) != 0xE;  // 224.0.0.0/4 is multicast
}

}  // namespace

bool ReadClassList(const std::string &path, std::vector<Student> *students, std::string *error)
{
    std::ifstream in(path);
    if (!in) {
        *error = "cannot read the class list '" + path + "'";
        return false;
    }
    std::map<DWORD, int> lineOf;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        std::string where = path + ":" + std::to_string(number) + ": ";
        std::istringstream fields(line.substr(0, line.find('#')));
        std::string name, address, hardware, extra;
        if (!(fields >> name))
            continue;  // blank, or a comment
        Student student = {name, 0, {}};
        std::string why;
        if (!(fields >> address >> hardware) || (fields >> extra)) {
            *error = where + "expected NAME ADDRESS MAC";
            return false;
        }
        if (!ParseIPv4(address, &student.addr, &why) || !ParseHardwareAddress(hardware, student.hardware, &why)) {
            *error = where + why;
            return false;
        }
        if (!IsUnicast(student.addr)) {
            *error = where + address + " is not the address of one machine";
            return false;
        }
        if (lineOf.count(student.addr) != 0) {
            *error = where + address + " is on line " + std::to_string(lineOf[student.addr]) +
                     " already (echoes are told apart by their address)";
            return false;
        }
        lineOf[student.addr] = number;
        students->push_back(student);
    }
    if (students->empty()) {
        *error = "the class list '" + path + "' names no machine";
        return false;
    }
    return true;
}

RollCall::RollCall(const std::vector<Student> &students)
    : m_students(students), m_askedAt(students.size(), -1), m_questions(students.size(), 0),
      m_answeredAt(students.size(), -1), m_answeredAfter(students.size(), 0),
      m_allAnswered(CreateEventA(nullptr, TRUE, FALSE, nullptr))
{
    for (size_t i = 0; i < students.size(); ++i)
        m_byAddress[students[i].addr] = i;
    InitializeCriticalSection(&m_lock);
}

RollCall::~RollCall()
{
    m_echoes.Release();
    m_sender.Release();
    DeleteCriticalSection(&m_lock);
    CloseHandle(m_allAnswered);
}

bool RollCall::Start()
{
    tagParamListen listen;
    listen.nPort = ECHO_PORT;
    listen.pfnReceive = OnEcho;
    listen.pUserData = this;
    tagParamSend send;
    if (!m_echoes.InitInstance(&listen))
        return false;
    if (!m_sender.InitInstance(&send)) {
        m_echoes.Release();
        return false;
    }
    return true;
}

void RollCall::AskSilent(int port, DWORD timeoutMs)
{
    for (size_t i : Silent()) {
        std::string question = "roll-call: " + m_students[i].name + "?";
        EnterCriticalSection(&m_lock);
        m_askedAt[i] = Now();  // before it goes, so that no answer can come first
        ++m_questions[i];
        LeaveCriticalSection(&m_lock);
        m_sender.Send(const_cast<char *>(question.data()), static_cast<DWORD>(question.size()), m_students[i].addr, port);
    }
    AwaitAnswers(timeoutMs);
}

void RollCall::AwaitAnswers(DWORD timeoutMs)
{
    double until = Now() + timeoutMs;
    for (double left = timeoutMs; CountAnswered() < m_students.size() && left > 0; left = until - Now())
        WaitForSingleObject(m_allAnswered, static_cast<DWORD>(left) + 1);
}

void __cdecl RollCall::OnEcho(void *, int, void *pUserData, unsigned long dwAddr, int)
{
    RollCall *call = static_cast<RollCall *>(pUserData);
    auto student = call->m_byAddress.find(dwAddr);
    if (student == call->m_byAddress.end())
        return;
    size_t i = student->second;
    EnterCriticalSection(&call->m_lock);
    if (call->m_askedAt[i] >= 0 && call->m_answeredAt[i] < 0) {
        call->m_answeredAt[i] = call->Now();
        call->m_answeredAfter[i] = call->m_questions[i];
    }
    LeaveCriticalSection(&call->m_lock);
    if (call->CountAnswered() == call->m_students.size())
        SetEvent(call->m_allAnswered);
}

size_t RollCall::CountAnswered() const
{
    size_t n = 0;
    for (size_t i = 0; i < m_students.size(); ++i)
        n += Answered(i) ? 1 : 0;
    return n;
}

bool RollCall::Answered(size_t i) const
{
    return AnsweredAt(i) >= 0;
}

bool RollCall::AnsweredFirstQuestion(size_t i) const
{
    EnterCriticalSection(&m_lock);
    bool first = m_answeredAt[i] >= 0 && m_answeredAfter[i] == 1;
    LeaveCriticalSection(&m_lock);
    return first;
}

double RollCall::AnsweredAt(size_t i) const
{
    EnterCriticalSection(&m_lock);
    double at = m_answeredAt[i];
    LeaveCriticalSection(&m_lock);
    return at;
}

double RollCall::RoundTrip(size_t i) const
{
    EnterCriticalSection(&m_lock);
    double took = m_answeredAt[i] - m_askedAt[i];
    LeaveCriticalSection(&m_lock);
    return took;
}

std::vector<size_t> RollCall::Silent() const
{
    std::vector<size_t> silent;
    for (size_t i = 0; i < m_students.size(); ++i)
        if (!Answered(i))
            silent.push_back(i);
    return silent;
}

}  // namespace tool
