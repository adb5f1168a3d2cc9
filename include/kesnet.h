/*
 * kesnet.h - the communication library of the classroom teaching network.
 *
 * The teacher's console and the students' programs load kesnet.dll to talk over
 * the school's LAN. It is a 32-bit Windows DLL (i686), and the same library is
 * built as a 64-bit DLL (x86_64) for 64-bit hosts: a program loads the one of
 * its own pointer size. Both export the same names and put the same bytes on
 * the wire. The library offers
 *   - datagrams by unicast and multicast, optionally acknowledged with a 4-byte
 *     "Echo" (CKesSend, CKesListen, CKesSend2, KesSend, KesListen);
 *   - the same on up to eight network interfaces at once (CKesSend3, CKesListen3);
 *   - TCP listeners that serve many clients from one thread, and a TCP sender,
 *     made by KesCreateObject and driven through their virtual operations;
 *   - host names and addresses, adapter hardware addresses, Wake-on-LAN (one
 *     broadcast, or through every interface to each subnet: KesWakeUp);
 *   - registry values, directory sizes, a bitmap test and a module's version.
 *
 * Conventions of every call:
 *   - Results are int 1 for success and 0 for failure, except where a count, an
 *     address or a byte total is returned. No error codes, no messages, no
 *     exceptions; Winsock's and the system's errors are not passed on.
 *   - IPv4 addresses are 32-bit values in network byte order, as inet_addr()
 *     returns them; a local address of 0 means "any interface".
 *   - Ports are plain numbers in host byte order; only the low 16 bits are used.
 *   - Times are in milliseconds.
 *   - Call KesInitInstance() once before making any endpoint (and before
 *     KesSend, KesListen, KesGetHostName, KesLanWakeUp, KesWakeUp), and
 *     KesExitInstance() when done, after every endpoint has been released.
 *   - Records are copied by InitInstance: the host may change or free its record
 *     as soon as InitInstance has returned.
 *
 * Threads: received data reaches the host through a ReceiveProc that runs on
 * the listener's own receive thread, never on the host's. The rules a host
 * follows (what a callback may call, what to release before what) are given
 * with ReceiveProc below and with each listener; threading.md, installed with
 * the documentation (share/doc/kesnet), has them all.
 *
 * Compilers: the plain functions (KesInitInstance ... KesGetDllVersion) are C
 * functions with the __cdecl convention and undecorated names, and the records
 * are plain C structs: they can be used from C and from any compiler that can
 * call a __cdecl DLL function. The C++ parts (the exported classes CKesSend,
 * CKesListen, CKesSend2, CKesSend3, CKesListen3, the records' constructors,
 * and the stream object interfaces CTcpListenObject, CTcpListen3Object,
 * CTcpSendObject) can be used from hosts built with mingw-w64 g++ (the
 * library's own toolchain; link libkesnet.dll.a) and from hosts built with a
 * compiler of the Microsoft C++ ABI (Visual C++, clang-cl; link kesnet.lib):
 * the DLL exports every member under the names of both ABIs, and bridges
 * where they differ. Objects of the exported classes made with new come from
 * the library's own heap. The library's objects carry no run-time type
 * information for a Microsoft-ABI host (no typeid or dynamic_cast on them).
 *
 * Include this header before windows.h (or after winsock2.h); it includes both.
 */
#ifndef KESNET_H
#define KESNET_H

/* winsock2.h must come before windows.h; hosts that include this header
 * first get both in the right order.
 *
 * A host built without a Windows SDK (or a tool that reads the header alone)
 * defines KESNET_NO_WINDOWS_H first: the header then declares the few Windows
 * types it uses itself, as the SDK declares them (same names, same layouts),
 * and includes no system header but stddef.h. */
#ifndef KESNET_NO_WINDOWS_H
#include <winsock2.h>
#include <windows.h>
#else
#ifndef __stdcall
#if defined(_MSC_VER)
/* The Microsoft compilers know __cdecl and __stdcall as keywords. */
#elif defined(__GNUC__)
#define __cdecl __attribute__((__cdecl__))
#define __stdcall __attribute__((__stdcall__))
#endif
#endif
typedef unsigned long DWORD;
typedef int BOOL;
typedef unsigned char BYTE;
typedef void *HANDLE;
typedef struct HKEY__ *HKEY;
typedef const char *LPCSTR;
#if defined(_WIN64)
typedef unsigned long long ULONG_PTR;
#else
typedef unsigned long ULONG_PTR;
#endif
typedef struct _RTL_CRITICAL_SECTION {
    void *DebugInfo;
    long LockCount;
    long RecursionCount;
    HANDLE OwningThread;
    HANDLE LockSemaphore;
    ULONG_PTR SpinCount;
} CRITICAL_SECTION;
#endif

/* KESNET_API marks what the DLL exports. Hosts need define nothing; the library's
 * own build defines KESNET_BUILD, and code linked with the library's sources
 * directly (the project's unit tests) defines KESNET_STATIC. */
#if defined(KESNET_STATIC)
#define KESNET_API
#elif defined(KESNET_BUILD)
#define KESNET_API __declspec(dllexport)
#else
#define KESNET_API __declspec(dllimport)
#endif

/* The layout checks below work in C++11 and C11, and in older C through an
 * array whose size turns negative when a check fails. */
#define KESNET_JOIN2(a, b) a##b
#define KESNET_JOIN(a, b) KESNET_JOIN2(a, b)
#ifdef __cplusplus
#define KESNET_CLASS KESNET_API
#define KESNET_EXTERN_C extern "C"
#define KESNET_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define KESNET_CLASS
#define KESNET_EXTERN_C
#if defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define KESNET_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#else
#define KESNET_STATIC_ASSERT(cond, msg) \
    typedef char KESNET_JOIN(kesnet_layout_check_, __LINE__)[(cond) ? 1 : -1]
#endif
#endif

#include <stddef.h> /* offsetof */

/* UDP port on which echoes travel: a listener with bEcho set answers every
 * datagram with the 4 bytes "Echo" (no terminating zero) to the sender's
 * address on this port. Fixed: every program of the network uses 37102. */
#ifndef ECHO_PORT
#define ECHO_PORT 37102
#endif

/* Values of nMode in the parameter records. */
#define KES_MODE_UNICAST 1   /* plain addressing */
#define KES_MODE_MULTICAST 2 /* join a multicast group */

/* Type codes of KesCreateObject. */
#define KES_OBJECT_TCPLISTEN 1  /* a CTcpListenObject */
#define KES_OBJECT_TCPSEND 2    /* a CTcpSendObject */
#define KES_OBJECT_TCPLISTEN3 5 /* a CTcpListen3Object */

/*
 * Receive callback of every listener: the datagram listeners (CKesListen,
 * KesListen, CKesListen3) call it once per datagram, the stream listeners once
 * per piece of what they read from a client: consecutive pieces of at most
 * 1536 bytes, in order.
 *   pData      the received bytes, in the receive thread's own buffer (65536
 *              bytes for datagrams, 1536 for stream pieces): valid only during
 *              the call (copy what you keep). Every byte after the data to the
 *              end of that buffer is 0, so the byte after a short datagram or
 *              piece is 0; one that fills the buffer has no terminator.
 *   nLength    number of bytes; 0 for an empty datagram or an empty read
 *   pUserData  the record's pUserData, unchanged
 *   dwAddr     the sender's (the TCP client's) IPv4 address, network byte order
 *   nPort      the sender's (the TCP client's) port, host byte order (0 to 65535)
 *
 * Threading: it runs on the listener's receive thread, never on a host thread.
 * Calls of one receive thread come one at a time, in order of arrival; a
 * listener with several threads (CKesListen3, CTcpListen3Object) may call it on
 * several threads at once, and different listeners call theirs independently:
 * guard data that the callback shares with other threads. While it runs, its
 * thread serves nothing else: keep it short. It may call the library's
 * functions (all but KesExitInstance), and may Release (and then destroy) its
 * own listener: Release returns at once when called on the listener's own
 * thread, and the thread ends when the callback returns. It must not wait for
 * something that only its own receive thread can deliver (that thread is busy
 * running it).
 */
typedef void(__cdecl *ReceiveProc)(void *pData, int nLength, void *pUserData,
                                   unsigned long dwAddr, int nPort);

/* ------------------------------------------------------------------------
 * Parameter records. The host declares one, fills it field by field and hands
 * it to an object's InitInstance (tagParamWake to KesWakeUp), which copies it:
 * the record may be changed or freed as soon as InitInstance returns, and
 * later changes have no effect on the object. In C++ the constructor and
 * Reset() store the defaults given beside each field; in C, fill every field
 * yourself. In the 32-bit DLL the fields are 32 bits wide each (the password
 * bytes of tagParamWake aside), in the order shown, with no padding; in the
 * 64-bit DLL the pointers are 64 bits wide and aligned (checked below). dwSize
 * is never read by the library.
 * ---------------------------------------------------------------------- */

/* Senders with one local interface: CKesSend, CKesSend2, the TCP sender. */
typedef struct KESNET_CLASS tagParamSend {
    DWORD dwSize;        /* 24; not read by the library */
    int nMode;           /* 1: unicast, 2: multicast (joins dwDestAddr) */
    DWORD dwLocalAddr;   /* 0: local interface to bind and send from */
    DWORD dwDestAddr;    /* 0: default destination (or group, or TCP server) */
    int nDestPort;       /* 0: default destination port */
    DWORD dwEchoTimeout; /* 100: ms that CKesSend2::Send waits for the echo */
#ifdef __cplusplus
    tagParamSend();
    tagParamSend(const tagParamSend &other) = default; /* member-wise */
    int Reset(); /* stores the defaults; returns 0 */
    tagParamSend &operator=(const tagParamSend &other);
#endif
} tagParamSend;

/* Listeners with one local interface: CKesListen, the TCP listener. */
typedef struct KESNET_CLASS tagParamListen {
    DWORD dwSize;           /* 44; not read by the library */
    int nMode;              /* 1: unicast, 2: multicast (joins dwGroupAddr) */
    DWORD dwGroupAddr;      /* 0: multicast group joined in mode 2 */
    DWORD dwLocalAddr;      /* 0: local interface to bind (and join on) */
    int nPort;              /* 0: local port to bind */
    void *pUserData;        /* null: handed to pfnReceive unchanged */
    ReceiveProc pfnReceive; /* null: called on the receive thread */
    int nPriority;          /* 0: receive thread priority (SetThreadPriority) */
    BOOL bEcho;             /* 0: nonzero answers each datagram with "Echo" */
    int nBacklog;           /* 5: TCP only: listen backlog and client capacity */
    DWORD dwStopTimeout;    /* 1000: longest wait for the thread in Release */
#ifdef __cplusplus
    tagParamListen();
    tagParamListen(const tagParamListen &other) = default; /* member-wise */
    int Reset(); /* stores the defaults; returns 0 */
    tagParamListen &operator=(const tagParamListen &other);
#endif
} tagParamListen;

/* The multi-interface sender CKesSend3. */
typedef struct KESNET_CLASS tagParamSend3 {
    DWORD dwSize;         /* 52; not read by the library */
    int nMode;            /* 1: unicast, 2: multicast (every socket joins) */
    DWORD dwLocalAddr[8]; /* all 0: local interfaces, entries 0..nCount-1 used */
    int nCount;           /* 0: entries of dwLocalAddr in use, 1 to 8 */
    DWORD dwDestAddr;     /* 0: default destination (or group) */
    int nDestPort;        /* 0: default destination port */
#ifdef __cplusplus
    tagParamSend3();
    tagParamSend3(const tagParamSend3 &other) = default; /* member-wise */
    void Reset(); /* stores the defaults */
    tagParamSend3 &operator=(const tagParamSend3 &other);
#endif
} tagParamSend3;

/* The multi-interface listeners CKesListen3 and the TCP listener on several
 * addresses. Note the field order differs from tagParamListen: the port comes
 * before the addresses, there is no bEcho, and dwStopTimeout precedes nBacklog. */
typedef struct KESNET_CLASS tagParamListen3 {
    DWORD dwSize;           /* 72; not read by the library */
    int nMode;              /* 1: unicast, 2: multicast (joined on each interface) */
    DWORD dwGroupAddr;      /* 0: multicast group joined in mode 2 */
    int nPort;              /* 0: local port, the same on every interface */
    DWORD dwLocalAddr[8];   /* all 0: local interfaces, entries 0..nCount-1 used */
    int nCount;             /* 0: entries of dwLocalAddr in use, 1 to 8 */
    void *pUserData;        /* null: handed to pfnReceive unchanged */
    ReceiveProc pfnReceive; /* null: called on the receive threads */
    int nPriority;          /* 0: priority of every receive thread */
    DWORD dwStopTimeout;    /* 1000: longest wait for each thread in Release */
    int nBacklog;           /* 100: TCP only: backlog and capacity per address */
#ifdef __cplusplus
    tagParamListen3();
    tagParamListen3(const tagParamListen3 &other) = default; /* member-wise */
    void Reset(); /* stores the defaults */
    tagParamListen3 &operator=(const tagParamListen3 &other);
#endif
} tagParamListen3;

/* KesWakeUp: Wake-on-LAN through every IPv4 interface of the host, or through
 * the ones named, each to its own subnet's broadcast address. It holds no
 * pointer, so it is 68 bytes on both architectures. */
typedef struct KESNET_CLASS tagParamWake {
    DWORD dwSize;           /* 68; not read by the library */
    DWORD dwLocalAddr[8];   /* all 0: interfaces to wake through, entries 0..nCount-1 used */
    int nCount;             /* 0: every interface that is up, loopback left out; 1 to 8: those named */
    int nPort;              /* 9: UDP port the packets go to, 1 to 65535 (7 and 2304 are common) */
    BOOL bLimitedBroadcast; /* 0: nonzero sends each packet to 255.255.255.255 from each interface too */
    int nPasswordLength;    /* 0: SecureOn password bytes appended to each packet: 0, 4 or 6 */
    BYTE byPassword[8];     /* all 0: the password; its first nPasswordLength bytes are sent */
    int nRepeat;            /* 1: rounds of packets, 1 to 20 */
    DWORD dwRepeatGap;      /* 50: ms between two rounds, 0 to 1000 */
#ifdef __cplusplus
    tagParamWake();
    tagParamWake(const tagParamWake &other) = default; /* member-wise */
    void Reset(); /* stores the defaults */
    tagParamWake &operator=(const tagParamWake &other);
#endif
} tagParamWake;

/* The records are part of the binary interface: their layout never changes.
 * The 32-bit layout is the contract: every field 4 bytes, no padding. The
 * 64-bit DLL has the same fields in the same order with their natural
 * alignment: pUserData and pfnReceive are 8 bytes wide and start on an 8-byte
 * boundary, so tagParamListen is 56 bytes there and tagParamListen3 88. Each
 * record's dwSize is its own size on its architecture. Each check gives the
 * 32-bit offset or size, then the 64-bit one. */
#ifdef _WIN64
#define KESNET_BY_ARCH(on32, on64) (on64)
#else
#define KESNET_BY_ARCH(on32, on64) (on32)
#endif
#define KESNET_FIELD_AT(type, field, on32, on64)                                \
    KESNET_STATIC_ASSERT(offsetof(type, field) == KESNET_BY_ARCH(on32, on64), \
                         #type "." #field " must sit at offset " #on32 " (32-bit) or " #on64 " (64-bit)")
#define KESNET_SIZE_IS(type, on32, on64)                                 \
    KESNET_STATIC_ASSERT(sizeof(type) == KESNET_BY_ARCH(on32, on64), \
                         #type " is " #on32 " bytes (32-bit) or " #on64 " (64-bit)")

KESNET_SIZE_IS(tagParamSend, 24, 24);
KESNET_FIELD_AT(tagParamSend, dwSize, 0, 0);
KESNET_FIELD_AT(tagParamSend, nMode, 4, 4);
KESNET_FIELD_AT(tagParamSend, dwLocalAddr, 8, 8);
KESNET_FIELD_AT(tagParamSend, dwDestAddr, 12, 12);
KESNET_FIELD_AT(tagParamSend, nDestPort, 16, 16);
KESNET_FIELD_AT(tagParamSend, dwEchoTimeout, 20, 20);

KESNET_SIZE_IS(tagParamListen, 44, 56);
KESNET_FIELD_AT(tagParamListen, dwSize, 0, 0);
KESNET_FIELD_AT(tagParamListen, nMode, 4, 4);
KESNET_FIELD_AT(tagParamListen, dwGroupAddr, 8, 8);
KESNET_FIELD_AT(tagParamListen, dwLocalAddr, 12, 12);
KESNET_FIELD_AT(tagParamListen, nPort, 16, 16);
KESNET_FIELD_AT(tagParamListen, pUserData, 20, 24);
KESNET_FIELD_AT(tagParamListen, pfnReceive, 24, 32);
KESNET_FIELD_AT(tagParamListen, nPriority, 28, 40);
KESNET_FIELD_AT(tagParamListen, bEcho, 32, 44);
KESNET_FIELD_AT(tagParamListen, nBacklog, 36, 48);
KESNET_FIELD_AT(tagParamListen, dwStopTimeout, 40, 52);

KESNET_SIZE_IS(tagParamSend3, 52, 52);
KESNET_FIELD_AT(tagParamSend3, dwSize, 0, 0);
KESNET_FIELD_AT(tagParamSend3, nMode, 4, 4);
KESNET_FIELD_AT(tagParamSend3, dwLocalAddr, 8, 8);
KESNET_FIELD_AT(tagParamSend3, nCount, 40, 40);
KESNET_FIELD_AT(tagParamSend3, dwDestAddr, 44, 44);
KESNET_FIELD_AT(tagParamSend3, nDestPort, 48, 48);

KESNET_SIZE_IS(tagParamListen3, 72, 88);
KESNET_FIELD_AT(tagParamListen3, dwSize, 0, 0);
KESNET_FIELD_AT(tagParamListen3, nMode, 4, 4);
KESNET_FIELD_AT(tagParamListen3, dwGroupAddr, 8, 8);
KESNET_FIELD_AT(tagParamListen3, nPort, 12, 12);
KESNET_FIELD_AT(tagParamListen3, dwLocalAddr, 16, 16);
KESNET_FIELD_AT(tagParamListen3, nCount, 48, 48);
KESNET_FIELD_AT(tagParamListen3, pUserData, 52, 56);
KESNET_FIELD_AT(tagParamListen3, pfnReceive, 56, 64);
KESNET_FIELD_AT(tagParamListen3, nPriority, 60, 72);
KESNET_FIELD_AT(tagParamListen3, dwStopTimeout, 64, 76);
KESNET_FIELD_AT(tagParamListen3, nBacklog, 68, 80);

KESNET_SIZE_IS(tagParamWake, 68, 68);
KESNET_FIELD_AT(tagParamWake, dwSize, 0, 0);
KESNET_FIELD_AT(tagParamWake, dwLocalAddr, 4, 4);
KESNET_FIELD_AT(tagParamWake, nCount, 36, 36);
KESNET_FIELD_AT(tagParamWake, nPort, 40, 40);
KESNET_FIELD_AT(tagParamWake, bLimitedBroadcast, 44, 44);
KESNET_FIELD_AT(tagParamWake, nPasswordLength, 48, 48);
KESNET_FIELD_AT(tagParamWake, byPassword, 52, 52);
KESNET_FIELD_AT(tagParamWake, nRepeat, 60, 60);
KESNET_FIELD_AT(tagParamWake, dwRepeatGap, 64, 64);

/* ------------------------------------------------------------------------
 * Plain functions. Any thread may call them; none keeps state between calls
 * except KesListen/KesStopListen (the one process-wide listener) and Winsock's
 * own count of starts.
 * ---------------------------------------------------------------------- */

/* Starts Winsock 2.2 for the host. 1 if version 2.2 was granted, else 0 (and
 * Winsock is stopped again). Starts are counted: each successful call needs its
 * own KesExitInstance. */
KESNET_EXTERN_C KESNET_API int __cdecl KesInitInstance(void);

/* Stops Winsock (WSACleanup) once. 1 on success, 0 if no start was still open.
 * Release every endpoint first: the last stop closes the sockets under them. */
KESNET_EXTERN_C KESNET_API int __cdecl KesExitInstance(void);

/* Sends one datagram from a new socket bound to dwLocalAddr (any port, a 64 KiB
 * send buffer), then closes it. nMode 1 sends to dwDestAddr:nDestPort; nMode 2
 * joins the group dwDestAddr on the interface dwLocalAddr first, sends with
 * time-to-live 10 and leaves the group. Note that the local address comes last.
 * 1 if the whole datagram went out (dwLength 0 sends an empty one); 0 if pData
 * is not readable over dwLength bytes (nothing is made then), the socket could
 * not be set up, or the send failed (more than 65507 bytes, a broadcast
 * address: broadcast is not enabled). Any other nMode sends nothing and returns
 * 1. Needs KesInitInstance. Calls from several threads run side by side. */
KESNET_EXTERN_C KESNET_API int __cdecl KesSend(int nMode, const void *pData, DWORD dwLength,
                                              DWORD dwDestAddr, int nDestPort,
                                              DWORD dwLocalAddr);

/* Starts the process-wide datagram listener (a CKesListen inside the library)
 * on nPort of the interface dwLocalAddr, joining the group dwGroupAddr in mode 2.
 * pfnReceive runs on its receive thread with pUserData. It never echoes, runs
 * at normal priority and is stopped within 1000 ms. 1 if started; 0 if it was
 * already running (the running one is left alone) or could not start. Needs
 * KesInitInstance. Not for concurrent use: call KesListen and KesStopListen
 * from one thread (or guard them). */
KESNET_EXTERN_C KESNET_API int __cdecl KesListen(int nMode, ReceiveProc pfnReceive, int nPort,
                                                DWORD dwGroupAddr, void *pUserData,
                                                DWORD dwLocalAddr);

/* Stops the process-wide listener as CKesListen::Release does. 1 if it was
 * running, else 0. Call it before KesExitInstance and before unloading the DLL:
 * a running listener keeps the DLL loaded. */
KESNET_EXTERN_C KESNET_API int __cdecl KesStopListen(void);

/* Makes a stream object: KES_OBJECT_TCPLISTEN (1) a CTcpListenObject,
 * KES_OBJECT_TCPSEND (2) a CTcpSendObject, KES_OBJECT_TCPLISTEN3 (5) a
 * CTcpListen3Object; cast the result to that type. Any other code, or no
 * memory: null. The object holds nothing until InitInstance. The host owns it:
 * InitInstance, use, Release, then Delete() (see the stream objects below),
 * which gives its memory back to the library's own heap. */
KESNET_EXTERN_C KESNET_API void *__cdecl KesCreateObject(int nType);

/* Host names and addresses. */

/* Stores the host name (gethostname) in pszName, which must hold 64 bytes.
 * Needs KesInitInstance. 1 on success, 0 if Winsock is not started or the name
 * and its terminator do not fit in 64 bytes. */
KESNET_EXTERN_C KESNET_API int __cdecl KesGetHostName(char *pszName);

/* Stores the computer name (GetComputerNameA) in pszName, a buffer of dwSize
 * characters. Nonzero on success, 0 if it fails (for instance when the buffer is
 * too small). The name's length is not passed back: find its terminator. Needs
 * no Winsock. */
KESNET_EXTERN_C KESNET_API int __cdecl KesGetCompName(char *pszName, DWORD dwSize);

/* Stores the IPv4 addresses of the host name, in the resolver's order, in
 * pdwAddr, which must not be null and must have room for 16. Returns their
 * number, 0 to 16 (the first 16 when there are more). Starts and stops Winsock
 * itself, so it works with or without KesInitInstance. */
KESNET_EXTERN_C KESNET_API int __cdecl VantixGetHostIP(DWORD *pdwAddr);

/* The host's addresses as VantixGetHostIP lists them, with the preferred address
 * first. pdwAddr (room for 16) receives the list; pdwAddr2 (room for 16)
 * receives count zeros; either may be null. Returns the number of addresses.
 * With two or more addresses (and an array given) the registry value "HostIP"
 * (text "A.B.C.D" under HKEY_LOCAL_MACHINE "SOFTWARE\Tarnwick\Corvane Settings")
 * names the preferred address: it takes the first place, trading places with the
 * address that held it; if the host lacks it, it replaces the first address,
 * which drops out. The text is read as inet_addr reads it ("10.1" is 10.0.0.1,
 * a part with a leading zero is octal, one with 0x hexadecimal, and whatever
 * follows a blank is ignored). A value that is missing, longer than 256 bytes, a
 * text inet_addr refuses, or one it reads as 255.255.255.255 or 0.0.0.0 counts
 * as not set: the order stays.
 * Writes the debug line "Number = %d, <%d>, <%d>" (count and the first two
 * addresses) with OutputDebugStringA, and again after a reordering. Starts
 * Winsock itself. */
KESNET_EXTERN_C KESNET_API int __cdecl KesGetHostIP(DWORD *pdwAddr, DWORD *pdwAddr2);

/* The address the network is to use: with one address that address (the
 * registry is not read), with two or more the valid "HostIP" value (see
 * KesGetHostIP; it need not be one of the host's addresses), else 0: no address,
 * or several and no valid "HostIP" (there is no fall-back to the first one).
 * Writes KesGetHostIP's debug line. Starts Winsock itself. */
KESNET_EXTERN_C KESNET_API DWORD __cdecl CorGetHostIP(void);

/* Adapters and Wake-on-LAN. */

/* Reads the 6-byte hardware addresses of the NetBIOS LAN adapters into pBuffer,
 * one after the other (the list form KesLanWakeUp takes). With a null pBuffer it
 * only counts: call it once with null, provide count * 6 bytes, call again (or
 * provide 255 * 6 bytes at once, room for every possible adapter). Returns the
 * count; 0 when NetBIOS lists none or fails, or pBuffer is not writable over
 * count * 6 bytes. A failure part-way leaves the records read before it in the
 * buffer. Needs no Winsock. */
KESNET_EXTERN_C KESNET_API int __cdecl KesGetNetCard(BYTE *pBuffer);

/* Broadcasts a Wake-on-LAN magic packet (102 bytes: six bytes 0xFF, then the
 * hardware address sixteen times) for each of the dwCount 6-byte hardware
 * addresses in pList to 255.255.255.255, UDP port 2304, from a socket bound to
 * the interface dwLocalAddr. 1 if every packet went out (dwCount 0 sends nothing
 * and returns 1); 0 if pList is not readable over dwCount * 6 bytes, the socket
 * could not be set up, or a send failed (the packets before it stay sent).
 * Needs KesInitInstance. */
KESNET_EXTERN_C KESNET_API int __cdecl KesLanWakeUp(DWORD dwLocalAddr, const BYTE *pList,
                                                   DWORD dwCount);

/* Wakes the machines of the dwCount 6-byte hardware addresses in pList (the
 * list form of KesLanWakeUp) as pParam says: through every IPv4 interface of
 * the host that is up (loopback left out), or through the nCount interfaces
 * named in dwLocalAddr, each of which must be one of those. Through each
 * interface, from a socket bound to its address, one magic packet per address
 * goes to that interface's subnet's directed broadcast address (its address
 * with every host bit set, by the mask the system gives) on UDP port nPort,
 * and with bLimitedBroadcast set to 255.255.255.255 as well. A packet is the
 * 102 bytes of KesLanWakeUp followed by the SecureOn password, if any (106 or
 * 108 bytes). All of it is sent nRepeat times, dwRepeatGap ms apart: the call
 * blocks for (nRepeat - 1) * dwRepeatGap ms.
 * Returns how many packets went out; a refused send does not stop the others.
 * 0, with nothing sent, when pParam is not readable over its 68 bytes, pList
 * not over dwCount * 6 bytes, a field is out of its range (nCount, nPort,
 * nPasswordLength, nRepeat, dwRepeatGap), a named interface is not one of the
 * host's that are up, or a socket cannot be set up; 0 as well for dwCount 0.
 * Needs KesInitInstance. */
KESNET_EXTERN_C KESNET_API int __cdecl KesWakeUp(const tagParamWake *pParam, const BYTE *pList,
                                                DWORD dwCount);

/* The interfaces KesWakeUp wakes through: the IPv4 addresses of the adapters
 * that are up, loopback left out, each with its subnet mask (network order),
 * in the system's order. Stores the first dwMax of them in pdwAddr and
 * pdwMask (either may be null) and returns how many there are, also when
 * that is more than dwMax (dwMax 0 only counts). An address whose subnet has
 * no broadcast address (a mask of 31 or 32 bits) is not listed. 0 when there
 * is none, the system cannot be asked, or a given array is not writable over
 * dwMax entries. Needs no Winsock. */
KESNET_EXTERN_C KESNET_API int __cdecl KesGetInterfaces(DWORD *pdwAddr, DWORD *pdwMask, DWORD dwMax);

/* Registry values: one open, one operation, one close per call; 1 or 0. A
 * missing key or value reads as 0 and leaves the destination untouched. */

/* Reads at most 4 bytes of any type into *pdwValue (fewer if the data is
 * shorter; 0 if it is longer). A null pdwValue only asks whether the value
 * exists. */
KESNET_EXTERN_C KESNET_API int __cdecl RegReadDWORD(HKEY hRoot, LPCSTR pszSubKey,
                                                   LPCSTR pszValueName, DWORD *pdwValue);
/* Reads the value, of any type, into pszBuffer if it fits in dwSize bytes (else
 * 0); adds no terminator beyond what the stored data holds. 0 without touching
 * the registry if pszBuffer is not writable over dwSize bytes. */
KESNET_EXTERN_C KESNET_API int __cdecl RegReadString(HKEY hRoot, LPCSTR pszSubKey,
                                                    LPCSTR pszValueName, char *pszBuffer,
                                                    DWORD dwSize);
/* Writes a REG_DWORD, creating the key (and its path) if missing. */
KESNET_EXTERN_C KESNET_API int __cdecl RegWriteDWORD(HKEY hRoot, LPCSTR pszSubKey,
                                                    LPCSTR pszValueName, DWORD dwValue);
/* Writes exactly dwSize bytes as REG_SZ, creating the key if missing. Count the
 * terminator into dwSize if the stored string is to carry one. 0 without
 * touching the registry if pData is not readable over dwSize bytes. */
KESNET_EXTERN_C KESNET_API int __cdecl RegWriteString(HKEY hRoot, LPCSTR pszSubKey,
                                                     LPCSTR pszValueName, const char *pData,
                                                     DWORD dwSize);

/* Files and versions. None needs Winsock. */

/* Total size in bytes of all files below the directory pszPath (with or without
 * a trailing backslash), at any depth, hidden and system files included: the low
 * 32 bits of each file's size, summed modulo 2^32 (read the result as unsigned).
 * Directory links are not followed, a directory is never walked inside itself,
 * and nothing is counted where a path would not fit in MAX_PATH. 0 if pszPath is
 * not a directory or cannot be searched (or holds no bytes). */
KESNET_EXTERN_C KESNET_API int __cdecl SFGetCatalogSize(LPCSTR pszPath);
/* 1 if the file has at least 4 bytes and starts with "BM", else 0 (also for a
 * directory, a missing file, or one that is open elsewhere: it is opened without
 * sharing). */
KESNET_EXTERN_C KESNET_API int __cdecl SIsFileBmp(LPCSTR pszPath);
/* Always 1; the file is not read. */
KESNET_EXTERN_C KESNET_API int __cdecl SIsFileWav(LPCSTR pszPath);
/* Copies the ProductVersion string of the module's version resource (that of its
 * first translation only) into pszVersion. No length goes with the buffer: it
 * must hold the whole string (a version resource is at most 64 KiB). 1 if
 * copied; 0, with pszVersion untouched, if the module is not found or has no
 * such string. pszModule is a path or a module file name ("kesnet.dll"). */
KESNET_EXTERN_C KESNET_API int __cdecl KesGetDllVersion(LPCSTR pszModule, char *pszVersion);

#ifdef __cplusplus

/* ------------------------------------------------------------------------
 * Exported datagram classes. The host allocates them itself (on the stack, on
 * the heap or inside its own objects), so their fields are part of the binary
 * interface. Every object is two-phase: construct, InitInstance, use, Release,
 * destroy; Release before destroying (only CKesListen releases itself when
 * destroyed). InitInstance on an object that is already set up returns 0 and
 * leaves it as it is. A member-wise copy shares the original's sockets and
 * threads; only one of the two may be released, and neither used afterwards.
 * Release every object before KesExitInstance.
 * ---------------------------------------------------------------------- */

class CUdpSocket;     /* the library's datagram socket; opaque to hosts */
struct tagThreadParam; /* the block handed to a receive thread; opaque to hosts */

/* An object of an exported class that a host makes with new lives on the
 * library's own heap, and delete gives it back there, whichever compiler and
 * C runtime built the host (a host's heap and the library's need not be the
 * same). new returns null when memory runs out; it never throws. Placement new
 * works as usual. (new (std::nothrow) is not declared: plain new is already
 * that.) */
#define KESNET_HEAP_OBJECT                                                                 \
    static void *__cdecl operator new(size_t nSize) noexcept;                              \
    static void *__cdecl operator new[](size_t nSize) noexcept;                            \
    static void __cdecl operator delete(void *pObject) noexcept;                           \
    static void __cdecl operator delete[](void *pObjects) noexcept;                        \
    static void *__cdecl operator new(size_t, void *pWhere) noexcept { return pWhere; }   \
    static void *__cdecl operator new[](size_t, void *pWhere) noexcept { return pWhere; } \
    static void __cdecl operator delete(void *, void *) noexcept {}                        \
    static void __cdecl operator delete[](void *, void *) noexcept {}

/* Datagram sender without acknowledgement, on one local interface. No lock: one
 * thread at a time. Must be released before it is destroyed. */
class KESNET_API CKesSend {
public:
    KESNET_HEAP_OBJECT

    CKesSend(); /* m_param: nMode 1, every other field 0 (dwSize, dwEchoTimeout too) */
    CKesSend(const CKesSend &other) = default; /* shares the socket */
    ~CKesSend(); /* does not release */
    CKesSend &operator=(const CKesSend &other);

    /* Opens a socket on pParam->dwLocalAddr (any port), with a 64 KiB send buffer,
     * joining pParam->dwDestAddr in mode 2 (on dwLocalAddr, time-to-live 10). A
     * null pParam keeps the parameters the sender already holds (also after
     * Release). Any nMode other than 2 is set up as mode 1. 1; 0 with nothing
     * held for an unreadable record or a socket or group that cannot be had; 0
     * for a sender that is already set up, which stays as it is. */
    int InitInstance(tagParamSend *pParam);
    /* Sends one datagram to dwAddr:nPort (0 takes the record's dwDestAddr, 0 its
     * nDestPort, each on its own). 1 if it went out whole; 0 if the sender is not
     * set up or the send failed; 1 without sending for a mode other than 1 and 2.
     * pData is not tested. */
    int Send(void *pData, DWORD dwLength, DWORD dwAddr, int nPort);
    /* Leaves the group (mode 2) and closes the socket. Harmless when not set up. */
    void Release();

    CUdpSocket *m_pSocket;  /* null while not set up */
    tagParamSend m_param;
};

/* Datagram listener on one port of one local interface, with one receive
 * thread at the record's nPriority. pfnReceive runs on that thread, one
 * datagram at a time, in order of arrival; while it runs, further datagrams wait
 * in the socket's 64 KiB receive buffer. With bEcho set, every datagram not sent
 * from ECHO_PORT is answered with the 4 bytes "Echo" to its sender's address on
 * ECHO_PORT, from the interface dwLocalAddr, before the callback runs. A null or
 * non-executable pfnReceive ends the thread at the first datagram (after its
 * echo). In mode 2 bind to any interface (dwLocalAddr 0) to be sure of the
 * group's datagrams: on Linux under Wine a socket bound to one address gets none.
 *
 * Threading: InitInstance, Release and the destructor run on host threads and
 * must not run concurrently for one listener. Release waits at most
 * dwStopTimeout for the receive thread. The callback may call Release on its own
 * listener (Release then does not wait for its own thread, which ends when the
 * callback returns) and may then destroy it. A thread still inside a slow
 * callback when dwStopTimeout runs out is let go: it finishes that callback
 * (keep pUserData valid until it has returned) and then ends without touching
 * the listener, so the host may destroy the listener at once. */
class KESNET_API CKesListen {
public:
    KESNET_HEAP_OBJECT

    CKesListen();
    CKesListen(const CKesListen &other);
    CKesListen &operator=(const CKesListen &other);
    virtual ~CKesListen(); /* releases a running listener */

    /* Copies the record (which must be readable over its 44 bytes), opens the
     * echo sender on dwLocalAddr, binds pParam->nPort on dwLocalAddr (joining
     * dwGroupAddr in mode 2; any other mode listens plainly), sets a 64 KiB
     * receive buffer and starts the receive thread. 1 running; 0 failed with
     * nothing held, or already running (left as it is). */
    int InitInstance(tagParamListen *pParam);
    /* Stops the thread (waiting at most dwStopTimeout; not at all from inside the
     * callback), leaves the group and closes the sockets. Harmless on a listener
     * that is not running. It may be started again afterwards. */
    void Release();

    CUdpSocket *m_pSocket;  /* null while not running */
    HANDLE m_hThread;       /* null while not running */
    tagParamListen m_param;
    CKesSend m_echoSend;    /* sends the echoes */

protected:
    /* The receive loop. It runs on the receive thread that InitInstance started;
     * called on any other thread it returns 0 at once. Returns 0. */
    unsigned long ThreadProc();
    /* The receive thread's entry: pParam is the library's block for that
     * thread (a tagThreadParam); it calls ThreadProc. */
    static unsigned long __stdcall InitThreadProc(void *pParam);
};

/* Acknowledged unicast sender: Send returns 1 only when the destination's
 * listener answers with its echo within dwEchoTimeout. It hears echoes with a
 * CKesListen of its own on ECHO_PORT of dwLocalAddr, so ECHO_PORT must be free
 * for it there. Any datagram reaching ECHO_PORT from the destination's address
 * counts as the echo, so a destination that answers from another address (a
 * group, a broadcast address, another interface) never acknowledges. Send may be
 * called from several threads: they are served one at a time, each holding the
 * sender for up to dwEchoTimeout. InitInstance and Release must not run
 * concurrently with Send. Release before destroying. */
class KESNET_API CKesSend2 {
public:
    KESNET_HEAP_OBJECT

    CKesSend2();
    CKesSend2(const CKesSend2 &other);
    CKesSend2 &operator=(const CKesSend2 &other);
    virtual ~CKesSend2(); /* stops the echo listener only; call Release first */

    /* nMode must be 1 (0 otherwise, the record kept). A null pParam keeps the
     * parameters already held. Starts the echo listener and opens the sending
     * socket on dwLocalAddr (any port). 1, or 0 with nothing held. */
    int InitInstance(tagParamSend *pParam);
    /* Sends one datagram to dwAddr:nPort (0: dwDestAddr, nDestPort) and waits up
     * to dwEchoTimeout for the echo from dwAddr. 1 if acknowledged in time; 0 if
     * not set up, not sent whole, or no echo came. An echo that came late for an
     * earlier Send and arrived before this one began is dropped and never
     * acknowledges this one. An earlier echo still on its way when this datagram
     * goes out does acknowledge it: the 4-byte echo carries nothing that tells
     * which datagram it answers. */
    int Send(void *pData, unsigned long dwLength, unsigned long dwAddr, int nPort);
    /* Closes the socket, stops the echo listener (at most 1000 ms), closes the
     * event and the lock. Harmless when not set up. */
    void Release();

    CRITICAL_SECTION m_lock;   /* serialises Send; valid while set up */
    CUdpSocket *m_pSocket;     /* null while not set up */
    tagParamSend m_param;
    CKesListen m_echoListen;   /* hears the echoes on ECHO_PORT */
    HANDLE m_hEchoEvent;       /* signalled by a matching echo */
    DWORD m_dwLastDest;        /* destination of the latest Send */

protected:
    static void __cdecl OnReadEcho(void *pData, int nLength, void *pUserData,
                                   unsigned long dwAddr, int nPort);
};

/* Datagram sender on up to eight local interfaces: each datagram goes out once
 * through every one of them (in multicast mode every socket joins the group on
 * its own interface). No lock: one thread at a time. Release before destroying. */
class KESNET_API CKesSend3 {
public:
    KESNET_HEAP_OBJECT

    CKesSend3();
    CKesSend3(const CKesSend3 &other);
    CKesSend3 &operator=(const CKesSend3 &other);
    virtual ~CKesSend3(); /* does not release */

    /* One socket per dwLocalAddr[0..nCount-1] (any port, 64 KiB send buffer). A
     * null pParam keeps the parameters already held. nCount 0 or above 8: 0. A
     * negative nCount: 1 with nothing opened. All or nothing. */
    int InitInstance(tagParamSend3 *pParam);
    /* Sends through every socket in order (0 address or port: the record's).
     * 1 if sent through every one; stops at the first failure with 0, the
     * datagram having gone out through the interfaces before it. A mode other
     * than 1 and 2 sends nothing and returns 1. */
    int Send(unsigned char *pData, unsigned long dwLength, unsigned long dwAddr,
             unsigned short nPort);
    /* Leaves the groups (mode 2) and closes every socket. */
    void Release();

    CUdpSocket *m_pSocket[8];
    tagParamSend3 m_param;
};

/* Datagram listener on one port of up to eight local interfaces, one receive
 * thread each, all calling the one pfnReceive: callbacks of different interfaces
 * may run at the same time (guard what they share), those of one interface come
 * one at a time. It never echoes. InitInstance and Release must not run
 * concurrently. Release before destroying. */
class KESNET_API CKesListen3 {
public:
    KESNET_HEAP_OBJECT

    CKesListen3();
    CKesListen3(const CKesListen3 &other);
    CKesListen3 &operator=(const CKesListen3 &other);
    virtual ~CKesListen3(); /* does not release */

    /* The record must be readable over its 72 bytes. One socket bound to nPort
     * and one thread per dwLocalAddr[0..nCount-1] (joining dwGroupAddr on each in
     * mode 2). nCount 0 or above 8: 0. A negative nCount: 1 with nothing opened.
     * All or nothing. */
    int InitInstance(tagParamListen3 *pParam);
    /* Stops the interfaces one after the other, each waiting at most
     * dwStopTimeout, and closes their sockets. */
    void Release();

    CUdpSocket *m_pSocket[8];
    HANDLE m_hThread[8];
    tagParamListen3 m_param;

protected:
    /* The receive loop of slot nIndex. It runs on the receive thread that
     * InitInstance started for that slot; called on any other thread, or with
     * another slot's index, it returns 0 at once. Returns 0. */
    unsigned long ThreadProc(int nIndex);
    /* A receive thread's entry: pParam is the library's block for that thread (a
     * tagThreadParam, which names the slot); it calls ThreadProc(slot). */
    static unsigned long __stdcall InitThreadProc(void *pParam);
};

/* Hosts allocate these classes, so their sizes are part of the binary interface
 * too: 32-bit, then 64-bit. */
KESNET_SIZE_IS(CKesSend, 28, 32);
KESNET_SIZE_IS(CKesListen, 84, 112);
KESNET_SIZE_IS(CKesSend2, 148, 208);
KESNET_SIZE_IS(CKesSend3, 88, 128);
KESNET_SIZE_IS(CKesListen3, 140, 224);

/* ------------------------------------------------------------------------
 * Stream objects, made by KesCreateObject and reached only through their
 * virtual operations, in the order declared here (that order is the binary
 * contract). The order of calls: KesCreateObject, InitInstance once, (Send
 * for the sender), Release once, then Delete() (or, with a Microsoft
 * compiler, delete through the interface pointer that KesCreateObject's
 * result was cast to), which destroys the object and gives its memory back to
 * the library's own allocator. A started object that is deleted without
 * Release is released first, but call Release yourself. The objects take no
 * lock: one host thread at a time per object.
 *
 * The last slot of each interface is the object's destructor, in the form the
 * Microsoft C++ ABI gives a virtual destructor: one entry, called with the
 * object and a flags word (bit 0 set: free the memory too; other bits are
 * ignored), which returns the object's address. A Microsoft-ABI host sees it
 * declared as the virtual destructor, so `delete p` calls it with bit 0 set. A
 * g++ host (whose virtual destructors take two entries) sees it as
 * Destroy(nFlags), and its destructor is protected: destroy the object with
 * Delete(), which is Destroy(1). Delete() works with either compiler.
 * ---------------------------------------------------------------------- */

#if defined(_MSC_VER)
#define KESNET_STREAM_OBJECT_DESTRUCTOR(type)          \
public:                                                \
    virtual ~type() {}                                 \
    void Delete() { delete this; }
#else
#define KESNET_STREAM_OBJECT_DESTRUCTOR(type)          \
public:                                                \
    virtual void *Destroy(unsigned int nFlags) = 0;    \
    void Delete() { Destroy(1); }                      \
                                                       \
protected:                                             \
    ~type() {}
#endif

/* TCP listener on one local address: slots InitInstance, Release. */
class CTcpListenBase {
public:
    /* Listens on pParam->nPort of pParam->dwLocalAddr (the record must be readable
     * over 44 bytes) and starts one thread at nPriority that accepts up to
     * min(nBacklog, 62) clients and hands what it reads from each to pfnReceive
     * in pieces of at most 1536 bytes, in order (an empty read as one empty
     * piece), with that client's address and port; a null pfnReceive drops the
     * reads. A client beyond that is accepted and reset at once; a backlog of
     * 0 or less serves none. Nothing tells of a client's arrival or departure
     * but its reads. nMode, dwGroupAddr, bEcho and dwStopTimeout are not used.
     * 1, or 0 with nothing held; 0 as well while started (the running listener
     * is left as it is). */
    virtual int InitInstance(tagParamListen *pParam) = 0;
    /* Stops the thread (waiting at most 1000 ms, whatever dwStopTimeout says; not
     * at all from inside the callback), then closes the listening socket and
     * every connection. The thread stops between two pieces: those of a read
     * not yet handed over are dropped. Harmless when not started. As with
     * CKesListen, a thread still in a slow callback finishes it and ends
     * without touching the object, and the callback may Release and delete its
     * own listener. */
    virtual void Release() = 0;
};

/* TCP listener on up to eight local addresses: slots InitInstance, Release. */
class CTcpListen3Base {
public:
    /* One listening socket on nPort and one thread per dwLocalAddr[0..nCount-1],
     * each serving up to min(nBacklog, 62) clients of its own address as
     * CTcpListenBase does; the threads' callbacks may run at the same time.
     * nCount 0 or above 8: 0; a negative nCount: 1 with nothing opened. All or
     * nothing. 1 or 0; 0 as well while started. */
    virtual int InitInstance(tagParamListen3 *pParam) = 0;
    /* Stops the threads one after the other, each waiting at most
     * dwStopTimeout, and closes every socket and connection. */
    virtual void Release() = 0;
};

/* What KesCreateObject(KES_OBJECT_TCPLISTEN) returns. Virtual table:
 * InitInstance, Release, then the destructor. */
class CTcpListenObject : public CTcpListenBase {
    KESNET_STREAM_OBJECT_DESTRUCTOR(CTcpListenObject)
};

/* What KesCreateObject(KES_OBJECT_TCPLISTEN3) returns. Virtual table:
 * InitInstance, Release, then the destructor. */
class CTcpListen3Object : public CTcpListen3Base {
    KESNET_STREAM_OBJECT_DESTRUCTOR(CTcpListen3Object)
};

/* What KesCreateObject(KES_OBJECT_TCPSEND) returns: a TCP client. It has no
 * thread and reads nothing from its peer. Virtual table: InitInstance, Send,
 * Release, then the destructor, which closes a connection still open. */
class CTcpSendObject {
public:
    /* Connects from pParam->dwLocalAddr (a port of the system's choice) to
     * dwDestAddr:nDestPort, blocking until the connection is made or refused. The
     * record (24 readable bytes) is read during the call only. 1, or 0 with
     * nothing held; 0 as well while connected (the connection is kept). */
    virtual int InitInstance(tagParamSend *pParam) = 0;
    /* Sends dwLength bytes (0 is allowed); blocks until Winsock has taken them
     * all. 1 if all went; 0 if not connected, pData is not readable over dwLength
     * bytes (nothing is sent), or the connection failed. A stream has no message
     * boundaries: the receiver may get the bytes in other pieces. */
    virtual int Send(void *pData, unsigned long dwLength) = 0;
    /* Closes the connection. Harmless when not connected. */
    virtual void Release() = 0;
    KESNET_STREAM_OBJECT_DESTRUCTOR(CTcpSendObject)
};

#endif /* __cplusplus */

#endif /* KESNET_H */
