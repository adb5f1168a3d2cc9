// Helpers of the reliability tests about bad input, faults of the host and
// concurrency: memory that the library must not be able to use, output
// buffers and objects fenced by guard bytes, and datagrams that must not
// arrive.
#ifndef KESNET_RELIABILITY_INPUT_SUPPORT_H
#define KESNET_RELIABILITY_INPUT_SUPPORT_H

#include <functional>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"

namespace kr {

// Regions of memory that a host might wrongly hand to the library. Every
// region lives as long as the object.
class BadMemory {
public:
    BadMemory() = default;
    ~BadMemory();
    BadMemory(const BadMemory &) = delete;
    BadMemory &operator=(const BadMemory &) = delete;

    // The start of a page that can be neither read nor written.
    void *NoAccess();
    template <typename T>
    T *NoAccessAs() { return static_cast<T *>(NoAccess()); }
    // n usable bytes, each holding fill (so a text there has no terminator
    // unless fill is 0), followed at once by a page with no access.
    BYTE *Tail(size_t n, BYTE fill = 'a');
    template <typename T>
    T *TailAs(size_t n, BYTE fill = 'a') { return reinterpret_cast<T *>(Tail(n, fill)); }
    // A copy of n bytes in a page that can be read but not written.
    void *ReadOnly(const void *p, size_t n);
    template <typename T>
    T *ReadOnlyCopy(const T &value) { return static_cast<T *>(ReadOnly(&value, sizeof value)); }
    // A callback pointer into readable, writable data that is not code: a page
    // of breakpoint instructions, so that a call into it traps at once.
    ReceiveProc DataAsCode();
    // A callback pointer into a page with no access.
    ReceiveProc NoAccessCode();

private:
    BYTE *Reserve(size_t pages, DWORD protect);
    std::vector<void *> m_regions;
};

// An output buffer of n bytes between two zones of guard bytes; the buffer
// itself starts filled with a byte no call writes on its own.
class Guarded {
public:
    static constexpr BYTE kFill = 0xEE;
    explicit Guarded(size_t n);
    char *get() { return reinterpret_cast<char *>(&m_bytes[kGuard]); }
    template <typename T>
    T *as() { return reinterpret_cast<T *>(get()); }
    size_t size() const { return m_size; }
    bool GuardsIntact() const;
    // No byte of the buffer was written.
    bool Untouched() const;
    // The buffer up to its first zero byte (or all of it).
    std::string Text() const;

private:
    static constexpr size_t kGuard = 64;
    static constexpr BYTE kGuardByte = 0xA5;
    size_t m_size;
    std::vector<BYTE> m_bytes;
};

// An object of the library's exported classes, which hosts allocate
// themselves, placed between guard zones: the library may write into the
// object but never beside it.
template <typename T>
class Fenced {
public:
    Fenced() : m_memory(sizeof(T)) { m_object = new (m_memory.get()) T; }
    ~Fenced() { m_object->~T(); }
    Fenced(const Fenced &) = delete;
    Fenced &operator=(const Fenced &) = delete;
    T *operator->() { return m_object; }
    T &operator*() { return *m_object; }
    T *get() { return m_object; }
    bool GuardsIntact() const { return m_memory.GuardsIntact(); }

private:
    Guarded m_memory;
    T *m_object;
};

// kt::ExpectRows, with the guards of every buffer in guarded checked after
// each row.
void ExpectRows(const std::vector<kt::Row> &rows, const std::vector<std::shared_ptr<Guarded>> &guarded);

// True when nothing reached receiver before now: a sentinel sent to it at
// this moment is the next datagram it gets. Datagrams sent over loopback are
// queued before the send returns, so this needs no wait for absent data.
bool NothingArrived(kt::RawUdp &receiver);

// Records on loopback for the objects under test.
// The loopback addresses 127.0.0.1 to 127.0.0.<n>.
std::vector<DWORD> LoopbackAddresses(int n = 8);
// A listener on nPort (0: one of the system's choice) of dwLocalAddr that
// calls proc with pUserData.
tagParamListen ListenRecord(ReceiveProc proc, void *pUserData, int nPort = 0, DWORD dwLocalAddr = kt::Loopback());
// The same on the first nCount of the addresses; all eight entries are filled
// (from 127.0.0.1 on when no addresses are given).
tagParamListen3 Listen3Record(ReceiveProc proc, void *pUserData, int nPort, int nCount,
                              const std::vector<DWORD> &locals = LoopbackAddresses());
// A sender from dwLocalAddr to port nDestPort of loopback.
tagParamSend SendRecord(int nDestPort, DWORD dwLocalAddr = kt::Loopback());
// The same from the first nCount loopback addresses.
tagParamSend3 Send3Record(int nDestPort, int nCount);

// A CKesListen on loopback that answers every datagram with its echo and
// collects them.
class EchoingListener {
public:
    EchoingListener();
    ~EchoingListener() { m_listener.Release(); }
    bool ok() const { return m_port > 0; }
    int port() const { return m_port; }
    kt::Collector seen;

private:
    CKesListen m_listener;
    int m_port = 0;
};

// The folder of this program, with a trailing backslash.
std::string ProgramFolder();

// Whether binding a socket of this kind to an address the host does not have
// succeeds here. Wine binds such a datagram socket to any address; Windows
// refuses it.
bool BindsForeignAddress(int type);

// An address no interface of the host has.
inline DWORD ForeignAddress() { return kt::Addr("10.99.99.99"); }

}  // namespace kr

#endif
