/*
 * kesnet.h - the communication library of the classroom teaching network.
 *
 * The teacher's console and the students' programs load kesnet.dll to talk over
 * the school's LAN: datagrams by unicast and multicast, optionally acknowledged
 * with a 4-byte "Echo" (KesSend, KesListen, CKesSend, CKesListen, CKesSend2),
 * the same on up to eight interfaces (CKesSend3, CKesListen3), TCP listeners
 * and a TCP sender (KesCreateObject), host names and addresses, adapters and
 * Wake-on-LAN, registry values, directory sizes and a module's version.
 *
 * docs/reference.md (installed in share/doc/kesnet) states the contract in
 * full: every name declared here has its section or row there, with every
 * argument, result and edge case; threading.md beside it gives the rules of
 * threads. The notes here say what each call does, what it returns, on which
 * thread, and what a host must not miss.
 *
 * Conventions: results are int 1 for success and 0 for failure, unless a
 * count, an address or a byte total is named; there are no error codes
 * (the multicast transfers, KesCast..., are the one exception). IPv4
 * addresses are 32-bit values in network byte order, as inet_addr() returns
 * them, and a local address of 0 means any interface; ports are in host byte
 * order; times in milliseconds. Call KesInitInstance() before making any
 * endpoint, and KesExitInstance() once every endpoint has been released.
 *
 * One source builds a 32-bit DLL (i686, the binary contract) and a 64-bit one
 * (x86_64): a program loads the one of its own pointer size. The plain
 * functions and the records are C (__cdecl, undecorated names). The C++ parts
 * serve hosts built with mingw-w64 g++ (link libkesnet.dll.a) and with
 * compilers of the Microsoft C++ ABI (link kesnet.lib): the DLL exports every
 * member under the names of both ABIs.
 *
 * Include this header before windows.h (or after winsock2.h); it includes both.
 */
#ifndef KESNET_H
#define KESNET_H

/* A host built without a Windows SDK (or a tool that reads the header alone)
 * defines KESNET_NO_WINDOWS_H first: the header then declares the few Windows
 * types it uses itself, as the SDK declares them (same names, same layouts),
 * and includes no system header but stddef.h. */
#if !defined(_WIN32) && !defined(KESNET_NO_WINDOWS_H)
/* The Linux library: kesnet_posix.h, beside this header, declares the few
 * Windows names used here with the widths they have on Windows (DWORD is 32
 * bits), the socket headers that give inet_addr, and what the Linux library
 * leaves out (the registry and version calls). */
#include "kesnet_posix.h"
#elif !defined(KESNET_NO_WINDOWS_H)
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
/* The values of the records' BOOL fields (bEcho, bLimitedBroadcast). */
#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#endif

/* KESNET_API marks what the DLL exports. Hosts need define nothing; the library's
 * own build defines KESNET_BUILD, and code linked with the library's sources
 * directly (the project's unit tests) defines KESNET_STATIC. */
#if defined(KESNET_API)
/* Set by kesnet_posix.h: the Linux library's visibility. */
#elif defined(KESNET_STATIC)
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

/* UDP port of the echoes: a listener with bEcho set answers each datagram with
 * the 4 bytes "Echo" to the sender's address on this port. Every program of the
 * network uses 37102. */
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

/* Receive callback of every listener: once per datagram, or once per piece (at
 * most 1536 bytes, in order) of what a stream listener reads from a client.
 * pData is the receive thread's buffer, valid only during the call: copy what
 * you keep. dwAddr (network byte order) and nPort name the sender.
 * It runs on the listener's receive thread, never on a host thread: keep it
 * short and guard what it shares. It may call the library (not
 * KesExitInstance) and Release its own listener, but must not wait for
 * something only its own receive thread can deliver. */
typedef void(__cdecl *ReceiveProc)(void *pData, int nLength, void *pUserData,
                                   unsigned long dwAddr, int nPort);

/* ------------------------------------------------------------------------
 * Parameter records, filled by the host and copied by InitInstance (by
 * KesWakeUp for tagParamWake): the host may change or free its record as soon
 * as the call returns. In C++ the constructor and Reset() store the default
 * given first beside each field (a 64-bit value that differs follows in
 * parentheses); in C, fill every field yourself. dwSize is never read.
 * ---------------------------------------------------------------------- */

/* Senders with one local interface: CKesSend, CKesSend2, the TCP sender. */
typedef struct KESNET_CLASS tagParamSend {
    DWORD dwSize;        /* 24: the record's size */
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
    DWORD dwSize;           /* 44 (56): the record's size */
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
    DWORD dwSize;         /* 52: the record's size */
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

/* The multi-interface listeners: CKesListen3, the TCP listener on several
 * addresses. Its field order differs from tagParamListen: the port comes before
 * the addresses, there is no bEcho, and dwStopTimeout precedes nBacklog. */
typedef struct KESNET_CLASS tagParamListen3 {
    DWORD dwSize;           /* 72 (88): the record's size */
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

/* KesWakeUp: Wake-on-LAN through every interface, or the ones named. A field
 * out of its range makes KesWakeUp send nothing. */
typedef struct KESNET_CLASS tagParamWake {
    DWORD dwSize;           /* 68: the record's size */
    DWORD dwLocalAddr[8];   /* all 0: interfaces to wake through, entries 0..nCount-1 used */
    int nCount;             /* 0: every interface that is up; 1 to 8: those named */
    int nPort;              /* 9: UDP port of the packets, 1 to 65535 */
    BOOL bLimitedBroadcast; /* 0: nonzero also sends to 255.255.255.255 */
    int nPasswordLength;    /* 0: SecureOn password length: 0, 4 or 6 */
    BYTE byPassword[8];     /* all 0: the password */
    int nRepeat;            /* 1: rounds of packets, 1 to 20 */
    DWORD dwRepeatGap;      /* 50: ms between two rounds, 0 to 1000 */
#ifdef __cplusplus
    tagParamWake();
    tagParamWake(const tagParamWake &other) = default; /* member-wise */
    void Reset(); /* stores the defaults */
    tagParamWake &operator=(const tagParamWake &other);
#endif
} tagParamWake;

/* The records' layout is part of the binary interface and never changes. In
 * the 32-bit DLL every field is 4 bytes wide (byPassword aside), with no
 * padding; the 64-bit DLL has the same fields in the same order at their
 * natural alignment (pointers 8 bytes wide, on 8-byte boundaries). Each check
 * gives the 32-bit offset or size, then the 64-bit one. */
#if defined(_WIN64) || defined(__LP64__)
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
 * Plain functions. Any thread may call them; only KesListen and KesStopListen
 * keep state (the one process-wide listener).
 * ---------------------------------------------------------------------- */

/* Starts Winsock 2.2. 1 if it was granted, else 0. Each successful call needs
 * its own KesExitInstance. */
KESNET_EXTERN_C KESNET_API int __cdecl KesInitInstance(void);

/* Stops Winsock once. 1, or 0 if no start was open. Release every endpoint and
 * call KesStopListen first: the last stop closes the sockets under them. */
KESNET_EXTERN_C KESNET_API int __cdecl KesExitInstance(void);

/* Sends one datagram from a new socket on dwLocalAddr, then closes it: mode 1 to
 * dwDestAddr:nDestPort, mode 2 to the group dwDestAddr, joined for the call.
 * Note that the local address comes last. 1 if it went out whole (another
 * nMode sends nothing and gives 1), else 0. Needs KesInitInstance. */
KESNET_EXTERN_C KESNET_API int __cdecl KesSend(int nMode, const void *pData, DWORD dwLength,
                                              DWORD dwDestAddr, int nDestPort,
                                              DWORD dwLocalAddr);

/* Starts the one process-wide datagram listener (a CKesListen inside the
 * library: no echo, normal priority) on nPort of dwLocalAddr, joining
 * dwGroupAddr in mode 2; pfnReceive runs on its receive thread. 1 if started;
 * 0 if it is already running or cannot start. Needs KesInitInstance. Call
 * KesListen and KesStopListen from one thread. */
KESNET_EXTERN_C KESNET_API int __cdecl KesListen(int nMode, ReceiveProc pfnReceive, int nPort,
                                                DWORD dwGroupAddr, void *pUserData,
                                                DWORD dwLocalAddr);

/* Stops the process-wide listener. 1 if it was running, else 0. Call it before
 * KesExitInstance and before unloading the DLL: a running listener keeps the
 * DLL loaded. */
KESNET_EXTERN_C KESNET_API int __cdecl KesStopListen(void);

/* Makes a stream object of a KES_OBJECT_ code: cast the result to the type the
 * code names. Null for any other code, or without memory. The host owns it:
 * InitInstance, use, Release, then Delete(). */
KESNET_EXTERN_C KESNET_API void *__cdecl KesCreateObject(int nType);

/* Host names and addresses. */

/* Stores the host name in pszName, which must hold 64 bytes. 1, or 0 (no room,
 * or Winsock not started). Needs KesInitInstance. */
KESNET_EXTERN_C KESNET_API int __cdecl KesGetHostName(char *pszName);

/* Stores the computer name in pszName, a buffer of dwSize characters. Nonzero
 * on success, 0 on failure. */
KESNET_EXTERN_C KESNET_API int __cdecl KesGetCompName(char *pszName, DWORD dwSize);

/* Stores the host name's IPv4 addresses in pdwAddr (not null, room for 16).
 * Returns their number, 0 to 16. Starts Winsock itself. */
KESNET_EXTERN_C KESNET_API int __cdecl VantixGetHostIP(DWORD *pdwAddr);

/* The host's addresses as VantixGetHostIP lists them, the one that the registry
 * value "HostIP" names moved to the front; pdwAddr2 receives as many zeros.
 * Room for 16 in each; either may be null. Returns their number. Writes a
 * debug line. Starts Winsock itself. */
KESNET_EXTERN_C KESNET_API int __cdecl KesGetHostIP(DWORD *pdwAddr, DWORD *pdwAddr2);

/* The address the network is to use: the host's only address, or with several
 * the valid "HostIP" value; else 0 (there is no fall-back to the first).
 * Starts Winsock itself. */
KESNET_EXTERN_C KESNET_API DWORD __cdecl CorGetHostIP(void);

/* Adapters and Wake-on-LAN. */

/* Reads the 6-byte hardware addresses of the NetBIOS LAN adapters into
 * pBuffer, one after the other (the list form KesLanWakeUp takes). Returns
 * their number, 0 for none or on failure; a null pBuffer only counts. */
KESNET_EXTERN_C KESNET_API int __cdecl KesGetNetCard(BYTE *pBuffer);

/* Broadcasts a Wake-on-LAN magic packet for each of the dwCount hardware
 * addresses in pList to 255.255.255.255, UDP port 2304, from dwLocalAddr. 1 if
 * every packet went out (dwCount 0 too), else 0. Needs KesInitInstance. */
KESNET_EXTERN_C KESNET_API int __cdecl KesLanWakeUp(DWORD dwLocalAddr, const BYTE *pList,
                                                   DWORD dwCount);

/* Wakes the dwCount machines of pList through every interface that is up, or
 * the ones pParam names, each to its subnet's broadcast address, as pParam
 * says. Blocks for (nRepeat - 1) * dwRepeatGap ms. Returns how many packets
 * went out; 0, with nothing sent, for a bad argument. Needs KesInitInstance. */
KESNET_EXTERN_C KESNET_API int __cdecl KesWakeUp(const tagParamWake *pParam, const BYTE *pList,
                                                DWORD dwCount);

/* The interfaces KesWakeUp wakes through: stores the first dwMax addresses in
 * pdwAddr and their masks in pdwMask (either may be null) and returns how many
 * there are, also beyond dwMax (dwMax 0 only counts). */
KESNET_EXTERN_C KESNET_API int __cdecl KesGetInterfaces(DWORD *pdwAddr, DWORD *pdwMask, DWORD dwMax);

#ifndef KESNET_NO_REGISTRY
/* Registry values (not in the Linux library, which has no registry): one
 * open, one operation, one close per call. 1 on success,
 * 0 on failure (a missing key or value too). */

/* Reads at most 4 bytes of the value into *pdwValue; a null pdwValue only asks
 * whether the value exists. */
KESNET_EXTERN_C KESNET_API int __cdecl RegReadDWORD(HKEY hRoot, LPCSTR pszSubKey,
                                                   LPCSTR pszValueName, DWORD *pdwValue);

/* Reads the value into pszBuffer if it fits in dwSize bytes; adds no
 * terminator. */
KESNET_EXTERN_C KESNET_API int __cdecl RegReadString(HKEY hRoot, LPCSTR pszSubKey,
                                                    LPCSTR pszValueName, char *pszBuffer,
                                                    DWORD dwSize);

/* Writes a REG_DWORD, creating the key if missing. */
KESNET_EXTERN_C KESNET_API int __cdecl RegWriteDWORD(HKEY hRoot, LPCSTR pszSubKey,
                                                    LPCSTR pszValueName, DWORD dwValue);

/* Writes exactly dwSize bytes as REG_SZ (count the terminator in), creating the
 * key if missing. */
KESNET_EXTERN_C KESNET_API int __cdecl RegWriteString(HKEY hRoot, LPCSTR pszSubKey,
                                                     LPCSTR pszValueName, const char *pData,
                                                     DWORD dwSize);
#endif /* KESNET_NO_REGISTRY */

/* Files and versions. */

/* Total size of the files below the directory pszPath, at any depth, modulo
 * 2^32: read it as unsigned. 0 if pszPath is not a directory (or holds no
 * bytes). */
KESNET_EXTERN_C KESNET_API int __cdecl SFGetCatalogSize(LPCSTR pszPath);

/* 1 if the file starts with "BM" (and has at least 4 bytes), else 0. */
KESNET_EXTERN_C KESNET_API int __cdecl SIsFileBmp(LPCSTR pszPath);

/* Always 1; the file is not read. */
KESNET_EXTERN_C KESNET_API int __cdecl SIsFileWav(LPCSTR pszPath);

/* Copies the module's "ProductVersion" string into pszVersion, which must hold
 * all of it: no length goes with it. 1, or 0 if the module or the string is
 * not found. */
#ifndef KESNET_NO_REGISTRY
/* Not in the Linux library, which has no version resources. */
KESNET_EXTERN_C KESNET_API int __cdecl KesGetDllVersion(LPCSTR pszModule, char *pszVersion);
#endif

/* ------------------------------------------------------------------------
 * Multicast transfers ("cast"): one sender gives a file or a buffer (an
 * object: 4 GiB and more from a file), or a live stream of
 * messages, to every receiver of a multicast group at once, each receiver
 * getting it whole. Receivers that miss blocks ask for them again (a class
 * that misses the same ones asks once); the sender answers with parity
 * blocks, each of which repairs a different missing block for each receiver.
 * The sender paces itself (93 Mbit/s at most by default, under a classroom's
 * 100 Mbit/s link), and steps down while receivers report much loss. Sockets
 * are the library's multicast sockets: joined on the chosen interface, time
 * to live 10. docs/cast.md describes the protocol and its figures.
 *
 * Unlike the rest of this header these calls return KES_CAST_OK (0) or a
 * negative KES_CAST_E_ code, which KesCastErrorText names; a call that fails
 * sends nothing. Each handle has one thread of its own that runs the transfer
 * and calls pfnEvent, never on a host thread (the listeners' rules apply:
 * docs/threading.md). Every call may be made from any thread, also from the
 * callback; a handle may be used by several threads at once. Winsock must be
 * up: KesInitInstance() before KesCastOpen, KesExitInstance() after every
 * KesCastClose.
 * ---------------------------------------------------------------------- */

typedef struct tagKesCast *HKESCAST; /* an open sender or receiver */

/* Roles of KesCastOpen. */
#define KES_CAST_SENDER 1          /* objects, one after another: KesCastSendFile, KesCastSendBuffer */
#define KES_CAST_RECEIVER 2        /* objects: each whole one into a folder, or handed over in memory */
#define KES_CAST_STREAM_SENDER 3   /* a live stream: KesCastSendMessage */
#define KES_CAST_STREAM_RECEIVER 4 /* each whole message, in order */

/* Results. */
#define KES_CAST_OK 0
#define KES_CAST_E_ARGUMENT (-1)  /* a null pointer, a record of another dwSize, a value out of range */
#define KES_CAST_E_HANDLE (-2)    /* not an open handle (or closed already) */
#define KES_CAST_E_ROLE (-3)      /* not a call of this handle's role */
#define KES_CAST_E_BUSY (-4)      /* an object is still under way, or the stream's queue is full */
#define KES_CAST_E_NETWORK (-5)   /* the group's socket could not be set up: WSAGetLastError() says why */
#define KES_CAST_E_FILE (-6)      /* the file cannot be read, or the folder cannot be written */
#define KES_CAST_E_SIZE (-7)      /* an empty object or message, or one larger than the most */
#define KES_CAST_E_TIMEOUT (-8)   /* KesCastWait: not finished in time */
#define KES_CAST_E_MEMORY (-9)    /* out of memory, or no thread could be started */
#define KES_CAST_E_FAILED (-10)   /* KesCastWait: the transfer ended without every receiver;
                                     KesCastSendMessage: the teacher's signature failed */

/* What happened, as pfnEvent is told. */
#define KES_CAST_EVENT_JOINED 1   /* sender: dwReceiver announced itself */
#define KES_CAST_EVENT_HAS_IT 2   /* sender: dwReceiver has the whole object */
#define KES_CAST_EVENT_DROPPED 3  /* sender: dwReceiver fell silent or could not keep up (pszWhy) */
#define KES_CAST_EVENT_ABSENT 4   /* sender: an expected receiver never came */
#define KES_CAST_EVENT_FINISHED 5 /* sender: the object is done with (see KesCastWait) */
#define KES_CAST_EVENT_PROGRESS 6 /* both: how far it has come (at most 4 a second) */
#define KES_CAST_EVENT_STARTED 7  /* receiver: an object is coming (its size; the name once known) */
#define KES_CAST_EVENT_OBJECT 8   /* receiver: an object is whole (pszName: its file, or pData: its bytes) */
#define KES_CAST_EVENT_ABANDONED 9 /* receiver: an object left unfinished, or one it cannot take (pszWhy) */
#define KES_CAST_EVENT_MESSAGE 10 /* stream receiver: the next whole message */
#define KES_CAST_EVENT_SKIPPED 11 /* stream receiver: message dwMessage could not be repaired in time */

typedef struct tagKesCastEvent {
    DWORD dwSize;        /* the record's size */
    int nEvent;          /* KES_CAST_EVENT_ */
    DWORD dwReceiver;    /* sender events: the receiver's id */
    DWORD dwObject;      /* the object's number (1, 2, ... for each sender), or the message's */
    DWORD dwSizeLow;     /* the object's (or message's) size in bytes, low and high 32 bits */
    DWORD dwSizeHigh;
    DWORD dwDoneLow;     /* PROGRESS: bytes the first pass sent (sender) or that came (receiver) */
    DWORD dwDoneHigh;
    const void *pData;   /* OBJECT in memory, MESSAGE: the bytes, valid during the call only */
    const char *pszName; /* STARTED, OBJECT: the object's name ("" if none); for a folder, the file written */
    const char *pszWhy;  /* DROPPED, ABSENT, ABANDONED, FINISHED: why, in words ("" if nothing to say) */
} KES_CAST_EVENT;

/* Runs on the handle's own thread; pEvent is valid during the call only. */
typedef void(__cdecl *KesCastEventProc)(const KES_CAST_EVENT *pEvent, void *pUserData);

typedef struct tagKesCastParam {
    DWORD dwSize;          /* sizeof(KES_CAST_PARAM): other sizes are refused */
    DWORD dwGroupAddr;     /* the multicast group (224.0.0.0 to 239.255.255.255) */
    int nPort;             /* its UDP port, 1 to 65535 */
    DWORD dwLocalAddr;     /* the interface joined and sent through; 0: the system's choice */
    DWORD dwMaxRate;       /* senders: the most bits a second on the wire; 0: 93,000,000 */
    DWORD dwReceiverId;    /* receivers: this receiver's id; 0: dwLocalAddr, or one at random */
    const DWORD *pdwExpected; /* object sender: the ids of the class's receivers (copied), or null: */
    DWORD dwExpected;         /* whoever announces itself. The count, at most 4096 */
    const char *pszFolder; /* object receiver: each whole object is written there under its
                              name; null: handed to pfnEvent in memory (up to 1 GiB) */
    KesCastEventProc pfnEvent; /* null: no events (status by KesCastGetStatus) */
    void *pUserData;       /* handed to pfnEvent unchanged */
} KES_CAST_PARAM;

/* What KesCastGetStatus fills. */
#define KES_CAST_STATE_IDLE 0     /* nothing under way yet */
#define KES_CAST_STATE_RUNNING 1  /* an object (or the stream) is under way */
#define KES_CAST_STATE_DONE 2     /* sender: every receiver has it; receiver: the last object is whole */
#define KES_CAST_STATE_FAILED 3   /* sender: finished without every receiver, or the file failed */

typedef struct tagKesCastStatus {
    DWORD dwSize;          /* sizeof(KES_CAST_STATUS): set it before the call */
    int nRole;             /* KES_CAST_SENDER ... */
    int nState;            /* KES_CAST_STATE_ */
    DWORD dwObject;        /* the current (or last) object's number */
    DWORD dwSizeLow, dwSizeHigh; /* its size */
    DWORD dwDoneLow, dwDoneHigh; /* bytes the first pass sent, or that came */
    DWORD dwReceivers;     /* sender: receivers known or expected */
    DWORD dwHaveIt;        /* ... that have the object */
    DWORD dwDropped;       /* ... dropped (fell silent, could not keep up) */
    DWORD dwAbsent;        /* ... expected and never came */
    DWORD dwDataPackets;   /* sender: data blocks sent; receivers: packets heard */
    DWORD dwRepairPackets; /* sender: repair blocks sent; receivers: repair requests sent */
    DWORD dwRate;          /* sender: bits a second it may send at now */
    DWORD dwMessages;      /* stream: messages sent, or delivered */
    DWORD dwSkipped;       /* stream receiver: messages skipped */
} KES_CAST_STATUS;

/* One receiver of an object sender, as KesCastGetReceivers gives it. */
#define KES_CAST_RECEIVER_RECEIVING 0
#define KES_CAST_RECEIVER_HAS_IT 1
#define KES_CAST_RECEIVER_DROPPED 2
#define KES_CAST_RECEIVER_ABSENT 3
typedef struct tagKesCastReceiver {
    DWORD dwId;
    int nState;            /* KES_CAST_RECEIVER_ */
    DWORD dwGroupsMissing; /* groups of blocks it still lacks, as it last said */
    DWORD dwSilentMs;      /* since it was last heard (0 for one never heard) */
    char szWhy[64];        /* DROPPED, ABSENT: why */
} KES_CAST_RECEIVER_INFO;

/* Opens a sender or receiver of nRole on the group; *phCast gets the handle
 * (null on failure). Receivers hear the group at once. */
KESNET_EXTERN_C KESNET_API int __cdecl KesCastOpen(int nRole, const KES_CAST_PARAM *pParam, HKESCAST *phCast);
/* Object sender: starts sending the file pszPath to the group, named by its
 * last path element. Returns at once; KES_CAST_EVENT_FINISHED or KesCastWait
 * tell the end. KES_CAST_E_BUSY while an object is under way. */
KESNET_EXTERN_C KESNET_API int __cdecl KesCastSendFile(HKESCAST hCast, const char *pszPath);
/* Object sender: the same for dwLength bytes at pData, named pszName (null or
 * "": no name; one unsafe as a file's name is refused). The bytes are read
 * while it runs: leave them untouched until it has finished. */
KESNET_EXTERN_C KESNET_API int __cdecl KesCastSendBuffer(HKESCAST hCast, const void *pData, size_t nLength,
                                                         const char *pszName);
/* Object sender: waits at most dwMilliseconds for the object under way to
 * finish: KES_CAST_OK when every receiver has it, KES_CAST_E_FAILED when it
 * finished without some (KesCastGetReceivers says who and why),
 * KES_CAST_E_TIMEOUT. Not from the callback. */
KESNET_EXTERN_C KESNET_API int __cdecl KesCastWait(HKESCAST hCast, DWORD dwMilliseconds);
/* Stream sender: queues one message (copied) of 1 to 355,600 bytes.
 * KES_CAST_E_BUSY when the messages queued exceed what the link has taken by
 * 4 MiB: the host sends faster than the rate. */
KESNET_EXTERN_C KESNET_API int __cdecl KesCastSendMessage(HKESCAST hCast, const void *pData, DWORD dwLength);
KESNET_EXTERN_C KESNET_API int __cdecl KesCastGetStatus(HKESCAST hCast, KES_CAST_STATUS *pStatus);
/* Object sender: copies up to dwMax receivers into pList (known and expected,
 * by id) and sets *pdwCount to how many there are in all. */
KESNET_EXTERN_C KESNET_API int __cdecl KesCastGetReceivers(HKESCAST hCast, KES_CAST_RECEIVER_INFO *pList, DWORD dwMax,
                                                           DWORD *pdwCount);
/* Stops the handle's thread (waiting for a callback under way, at most 10 s;
 * from the callback itself, not at all), leaves the group and frees
 * everything. An object receiver's unfinished file is deleted. */
KESNET_EXTERN_C KESNET_API int __cdecl KesCastClose(HKESCAST hCast);
/* The reason a result stands for, in words (never null). */
KESNET_EXTERN_C KESNET_API const char *__cdecl KesCastErrorText(int nResult);

/* ------------------------------------------------------------------------
 * Authentication, off until the process is given a class key. With one,
 * every datagram the process sends (through every class and call above, the
 * echo and the multicast transfers included; not Wake-on-LAN's) carries a
 * trailer that proves it came from a holder of the key, and every datagram it
 * receives without a valid, fresh trailer is dropped and counted, never
 * handed to a callback. The callback sees exactly the payload. An echo then
 * acknowledges only the datagram it answers. The teacher's private key makes
 * the process sign what it sends; the teacher's public key lets it tell the
 * teacher's datagrams (KesAuthFromTeacher) and refuse forged ones. Every
 * machine of a classroom needs the same class key. docs/reference.md says
 * what each key protects against and what it does not.
 *
 * These calls return KES_AUTH_OK (0) or a negative KES_AUTH_E_ code, which
 * KesAuthErrorText names. A key takes effect at once, for every socket of the
 * process, from any thread.
 * ---------------------------------------------------------------------- */

#define KES_AUTH_OK 0
#define KES_AUTH_E_PARAM (-1)   /* a pointer, kind, size or flag the call cannot take */
#define KES_AUTH_E_KEYFILE (-2) /* the file cannot be read or is not a key file */
#define KES_AUTH_E_CRYPTO (-3)  /* the system's cryptography failed */

/* Kinds of KesAuthSetKey. */
#define KES_KEY_CLASS 1           /* 32 random bytes, the same on every machine of the class */
#define KES_KEY_TEACHER_PUBLIC 2  /* 64 bytes: the P-256 point's x and y, big-endian */
#define KES_KEY_TEACHER_PRIVATE 3 /* 96 bytes: d, then x and y */

/* Flags of KesAuthSetOptions. */
#define KES_AUTH_TEACHER_ONLY 0x1 /* listeners take only datagrams the teacher signed, cast
                                     receivers only what the teacher attested */

/* What the process refused since it started (or since KesAuthClear), by reason. */
typedef struct tagKesAuthCounters {
    DWORD dwSize;          /* sizeof(KES_AUTH_COUNTERS) */
    DWORD dwUnknownSender; /* no trailer, or another class key's */
    DWORD dwBadTag;        /* the tag does not verify: changed, cut short or forged */
    DWORD dwReplay;        /* seen before, or dated outside the allowed clock difference */
    DWORD dwNoSignature;   /* marked as the teacher's without a valid signature, or unsigned under KES_AUTH_TEACHER_ONLY */
    DWORD dwTooManyPlaces; /* stream connections refused as one address's places were taken */
} KES_AUTH_COUNTERS;
KESNET_STATIC_ASSERT(sizeof(KES_AUTH_COUNTERS) == 24, "KES_AUTH_COUNTERS is 24 bytes");

/* Sets one key (copied). A class key turns authentication on; the teacher's
 * keys take effect with it. pKey null with dwLength 0 forgets that kind. */
KESNET_EXTERN_C KESNET_API int __cdecl KesAuthSetKey(int nKind, const void *pKey, DWORD dwLength);
/* Reads a key file (as `kesnet key new` writes them) and sets its key. */
KESNET_EXTERN_C KESNET_API int __cdecl KesAuthLoadKeyFile(const char *pszPath);
/* dwFlags: KES_AUTH_ flags. dwClockDifference: how many seconds the clocks of
 * two machines of the class may differ (0: 300); a datagram dated further from
 * this machine's clock counts as a replay. dwPlacesPerAddress: how many
 * connections a stream listener serves from one address at once (0: 8). */
KESNET_EXTERN_C KESNET_API int __cdecl KesAuthSetOptions(DWORD dwFlags, DWORD dwClockDifference,
                                                         DWORD dwPlacesPerAddress);
/* Forgets every key and option and clears the counters: authentication is off. */
KESNET_EXTERN_C KESNET_API int __cdecl KesAuthClear(void);
KESNET_EXTERN_C KESNET_API int __cdecl KesAuthGetCounters(KES_AUTH_COUNTERS *pCounters);
/* Inside a listener's callback: 1 if the datagram it was handed was signed by
 * the teacher (and the process holds the teacher's public key), else 0. Inside
 * a cast receiver's callback of KES_CAST_EVENT_OBJECT or _MESSAGE: 1 if the
 * teacher attested it and every byte is what it signed. */
KESNET_EXTERN_C KESNET_API int __cdecl KesAuthFromTeacher(void);
/* The Wake-on-LAN SecureOn password that goes with the class key (6 bytes),
 * for network cards set up with it: a wake-up itself cannot be authenticated. */
KESNET_EXTERN_C KESNET_API int __cdecl KesAuthSecureOnPassword(BYTE *pPassword);
/* The reason a result stands for, in words (never null). */
KESNET_EXTERN_C KESNET_API const char *__cdecl KesAuthErrorText(int nResult);

#ifdef __cplusplus

/* ------------------------------------------------------------------------
 * Exported datagram classes. The host allocates them (on the stack, on the
 * heap or inside its own objects), so their fields are part of the binary
 * interface. Each is two-phase: construct, InitInstance, use, Release, destroy;
 * InitInstance on an object already set up returns 0. Release before
 * destroying (only CKesListen releases itself) and before KesExitInstance. A
 * copy shares the original's sockets and threads: release only one of the two.
 * ---------------------------------------------------------------------- */

class CUdpSocket;     /* the library's datagram socket; opaque to hosts */
struct tagThreadParam; /* the block handed to a receive thread; opaque to hosts */

/* An object that a host makes with new lives on the library's own heap, and
 * delete gives it back there, whichever C runtime built the host. new returns
 * null when memory runs out; it never throws. Placement new (new (where) T)
 * constructs in the host's own memory and allocates nothing; its delete frees
 * nothing. All eight are the DLL's: a compiler that does not inline (Visual
 * C++ at /Od) imports every one it calls. */
#define KESNET_HEAP_OBJECT                                                                 \
    static void *__cdecl operator new(size_t nSize) noexcept;                              \
    static void *__cdecl operator new[](size_t nSize) noexcept;                            \
    static void __cdecl operator delete(void *pObject) noexcept;                           \
    static void __cdecl operator delete[](void *pObjects) noexcept;                        \
    static void *__cdecl operator new(size_t nSize, void *pWhere) noexcept;                \
    static void *__cdecl operator new[](size_t nSize, void *pWhere) noexcept;              \
    static void __cdecl operator delete(void *pObject, void *pWhere) noexcept;             \
    static void __cdecl operator delete[](void *pObjects, void *pWhere) noexcept;

/* Datagram sender on one local interface, without acknowledgement. No lock: one
 * thread at a time. Release before destroying. */
class KESNET_API CKesSend {
public:
    KESNET_HEAP_OBJECT

    CKesSend(); /* m_param: nMode 1, every other field 0 (dwSize, dwEchoTimeout too) */
    CKesSend(const CKesSend &other) = default; /* shares the socket */
    ~CKesSend(); /* does not release */
    CKesSend &operator=(const CKesSend &other);

    /* Opens a socket on dwLocalAddr (mode 2: joining the group dwDestAddr). A
     * null pParam keeps the parameters held. 1; 0 if it fails (holding
     * nothing) or is already set up. */
    int InitInstance(tagParamSend *pParam);
    /* Sends one datagram to dwAddr:nPort (0: the record's address or port). 1 if
     * it went out whole (a mode other than 1 and 2 sends nothing and gives 1),
     * else 0. */
    int Send(void *pData, DWORD dwLength, DWORD dwAddr, int nPort);
    /* Leaves the group and closes the socket. */
    void Release();

    CUdpSocket *m_pSocket;  /* null while not set up */
    tagParamSend m_param;
};

/* Datagram listener on one port of one local interface, with one receive
 * thread: pfnReceive runs there, one datagram at a time. With bEcho set, each
 * datagram is first answered with "Echo" on ECHO_PORT. In mode 2 bind to any
 * interface (dwLocalAddr 0): under Wine a socket bound to one address gets no
 * group datagrams. InitInstance, Release and the destructor: one host thread
 * at a time. The callback may Release (and then destroy) its own listener. */
class KESNET_API CKesListen {
public:
    KESNET_HEAP_OBJECT

    CKesListen();
    CKesListen(const CKesListen &other);
    CKesListen &operator=(const CKesListen &other);
    virtual ~CKesListen(); /* releases a running listener */

    /* Copies the record, binds nPort on dwLocalAddr (mode 2: joining
     * dwGroupAddr) and starts the receive thread. 1 running; 0 if it fails
     * (holding nothing) or is already running. */
    int InitInstance(tagParamListen *pParam);
    /* Stops the thread (waiting at most dwStopTimeout; not at all from its own
     * callback) and closes the sockets. A callback still running then finishes
     * on its own: keep pUserData valid until it returns. */
    void Release();

    CUdpSocket *m_pSocket;  /* null while not running */
    HANDLE m_hThread;       /* null while not running */
    tagParamListen m_param;
    CKesSend m_echoSend;    /* sends the echoes */

protected:
    /* The receive loop; on any thread but the listener's own it returns 0 at
     * once. */
    unsigned long ThreadProc();
    /* The receive thread's entry; it calls ThreadProc. */
    static unsigned long __stdcall InitThreadProc(void *pParam);
};

/* Acknowledged unicast sender: Send returns 1 only when the destination's
 * listener echoes within dwEchoTimeout. Its own CKesListen hears the echoes on
 * ECHO_PORT of dwLocalAddr, which must be free. Send may be called from
 * several threads (served one at a time), but not during InitInstance or
 * Release. Release before destroying. */
class KESNET_API CKesSend2 {
public:
    KESNET_HEAP_OBJECT

    CKesSend2();
    CKesSend2(const CKesSend2 &other);
    CKesSend2 &operator=(const CKesSend2 &other);
    virtual ~CKesSend2(); /* stops the echo listener only; call Release first */

    /* nMode must be 1. Starts the echo listener and opens the socket on
     * dwLocalAddr; a null pParam keeps the parameters held. 1; 0 if it fails
     * (holding nothing) or is already set up. */
    int InitInstance(tagParamSend *pParam);
    /* Sends one datagram to dwAddr:nPort (0: the record's address or port) and
     * waits up to dwEchoTimeout for the echo from dwAddr. 1 if acknowledged in
     * time, else 0. */
    int Send(void *pData, unsigned long dwLength, unsigned long dwAddr, int nPort);
    /* Closes the socket, stops the echo listener (at most 1000 ms), closes the
     * event and the lock. */
    void Release();

    CRITICAL_SECTION m_lock;   /* serialises Send; valid while set up */
    CUdpSocket *m_pSocket;     /* null while not set up */
    tagParamSend m_param;
    CKesListen m_echoListen;   /* hears the echoes on ECHO_PORT */
    HANDLE m_hEchoEvent;       /* signalled by a matching echo */
    DWORD m_dwLastDest;        /* destination of the latest Send */

protected:
    /* The echo listener's callback: signals m_hEchoEvent. */
    static void __cdecl OnReadEcho(void *pData, int nLength, void *pUserData,
                                   unsigned long dwAddr, int nPort);
};

/* Datagram sender on up to eight local interfaces: each datagram goes out once
 * through every one. No lock: one thread at a time. Release before destroying. */
class KESNET_API CKesSend3 {
public:
    KESNET_HEAP_OBJECT

    CKesSend3();
    CKesSend3(const CKesSend3 &other);
    CKesSend3 &operator=(const CKesSend3 &other);
    virtual ~CKesSend3(); /* does not release */

    /* One socket per dwLocalAddr[0..nCount-1] (mode 2: each joining the group
     * dwDestAddr). A null pParam keeps the parameters held. 1; 0 if it fails
     * (holding nothing) or is already set up. */
    int InitInstance(tagParamSend3 *pParam);
    /* Sends through every socket in order (0: the record's address or port). 1
     * if sent through all; 0 at the first failure. */
    int Send(unsigned char *pData, unsigned long dwLength, unsigned long dwAddr,
             unsigned short nPort);
    /* Leaves the groups and closes every socket. */
    void Release();

    CUdpSocket *m_pSocket[8];
    tagParamSend3 m_param;
};

/* Datagram listener on one port of up to eight local interfaces, one receive
 * thread each, all calling the one pfnReceive: callbacks of different
 * interfaces may run at the same time (guard what they share). It never
 * echoes. InitInstance and Release: one host thread at a time. Release before
 * destroying. */
class KESNET_API CKesListen3 {
public:
    KESNET_HEAP_OBJECT

    CKesListen3();
    CKesListen3(const CKesListen3 &other);
    CKesListen3 &operator=(const CKesListen3 &other);
    virtual ~CKesListen3(); /* does not release */

    /* One socket on nPort and one receive thread per dwLocalAddr[0..nCount-1]
     * (mode 2: each joining dwGroupAddr). 1; 0 if it fails (holding nothing) or
     * is already running. */
    int InitInstance(tagParamListen3 *pParam);
    /* Stops the threads one after the other, each waiting at most
     * dwStopTimeout, and closes the sockets. */
    void Release();

    CUdpSocket *m_pSocket[8];
    HANDLE m_hThread[8];
    tagParamListen3 m_param;

protected:
    /* The receive loop of slot nIndex; on any thread but that slot's own it
     * returns 0 at once. */
    unsigned long ThreadProc(int nIndex);
    /* A receive thread's entry; it calls ThreadProc for its slot. */
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
 * Stream objects, made by KesCreateObject and used only through their virtual
 * operations, whose order here is the binary contract. Use: InitInstance once,
 * (Send), Release, then Delete(). No lock: one host thread at a time per
 * object.
 *
 * After the operations come two destructor slots. The first is the
 * destructor in the Microsoft C++ ABI's form: one entry, called with the
 * object and a flags word (bit 0: free the memory too), which returns the
 * object's address. A Microsoft-ABI host sees it as the virtual destructor,
 * so `delete p` works; a g++ host sees it as Destroy(nFlags), and the
 * destructor is protected. The second is g++'s deleting destructor (no
 * argument: destroy and free), where a g++ host that declares the interface
 * with a virtual destructor of its own has `delete p` go. Delete() works with
 * either header. Never call the destructor by name (p->~T()) through such a
 * declaration of the host's own: g++ calls the first slot without the flags
 * word (docs/reference.md).
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
    virtual void DeletingDestructor() = 0;             \
    void Delete() { Destroy(1); }                      \
                                                       \
protected:                                             \
    ~type() {}
#endif

/* TCP listener on one local address: slots InitInstance, Release. */
class CTcpListenBase {
public:
    /* Listens on nPort of dwLocalAddr; one thread serves up to min(nBacklog, 62)
     * clients, handing what it reads to pfnReceive in pieces of at most 1536
     * bytes, with the client's address and port. 1; 0 if it fails (holding
     * nothing) or is already started. */
    virtual int InitInstance(tagParamListen *pParam) = 0;
    /* Stops the thread (at most 1000 ms, whatever dwStopTimeout says; not at all
     * from its own callback) and closes every socket. */
    virtual void Release() = 0;
};

/* TCP listener on up to eight local addresses: slots InitInstance, Release. */
class CTcpListen3Base {
public:
    /* Per dwLocalAddr[0..nCount-1], a listening socket on nPort and a thread
     * serving its clients as CTcpListenBase does; callbacks of different
     * addresses may run at the same time. 1; 0 if it fails (holding nothing)
     * or is already started. */
    virtual int InitInstance(tagParamListen3 *pParam) = 0;
    /* Stops the threads one after the other, each waiting at most
     * dwStopTimeout, and closes every socket. */
    virtual void Release() = 0;
};

/* What KesCreateObject(KES_OBJECT_TCPLISTEN) returns. Virtual table:
 * InitInstance, Release, then the destructor slots. */
class CTcpListenObject : public CTcpListenBase {
    KESNET_STREAM_OBJECT_DESTRUCTOR(CTcpListenObject)
};

/* What KesCreateObject(KES_OBJECT_TCPLISTEN3) returns. Virtual table:
 * InitInstance, Release, then the destructor slots. */
class CTcpListen3Object : public CTcpListen3Base {
    KESNET_STREAM_OBJECT_DESTRUCTOR(CTcpListen3Object)
};

/* What KesCreateObject(KES_OBJECT_TCPSEND) returns: a TCP client without a
 * thread. Virtual table: InitInstance, Send, Release, then the destructor
 * slots. */
class CTcpSendObject {
public:
    /* Connects from dwLocalAddr to dwDestAddr:nDestPort, blocking until the
     * connection is made or refused; the record is read during the call only.
     * 1; 0 if it fails (holding nothing) or is already connected. */
    virtual int InitInstance(tagParamSend *pParam) = 0;
    /* Sends dwLength bytes, blocking until Winsock has taken them all. 1 if all
     * went, else 0. */
    virtual int Send(void *pData, unsigned long dwLength) = 0;
    /* Closes the connection. */
    virtual void Release() = 0;
    KESNET_STREAM_OBJECT_DESTRUCTOR(CTcpSendObject)
};

#endif /* __cplusplus */

#endif /* KESNET_H */
