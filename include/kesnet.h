/*
 * kesnet.h - the communication library of the classroom teaching network.
 *
 * The teacher's console and the students' programs load kesnet.dll to talk over
 * the school's LAN:
 *   - datagrams by unicast and multicast, optionally acknowledged with a 4-byte
 *     "Echo" (CKesSend, CKesListen, CKesSend2, KesSend, KesListen);
 *   - the same on up to eight network interfaces at once (CKesSend3, CKesListen3);
 *   - TCP listeners that serve many clients from one thread, and a TCP sender,
 *     made by KesCreateObject and driven through their virtual operations;
 *   - host names and addresses, adapter hardware addresses, Wake-on-LAN;
 *   - registry values, directory sizes, a bitmap test and a module's version.
 *
 * Conventions of every call:
 *   - Results are int 1 for success and 0 for failure, except where a count, an
 *     address or a byte total is returned. No error codes, no exceptions.
 *   - IPv4 addresses are 32-bit values in network byte order, as inet_addr()
 *     returns them; a local address of 0 means "any interface".
 *   - Ports are plain numbers in host byte order; only the low 16 bits are used.
 *   - Times are in milliseconds.
 *   - Call KesInitInstance() once before making any endpoint, and
 *     KesExitInstance() when done.
 *
 * Threads: received data reaches the host through a ReceiveProc that runs on the
 * listener's own receive thread. See the documentation of each listener.
 *
 * The plain functions are C functions with the __cdecl convention and can be
 * called from C and from other compilers. The exported classes and the stream
 * object interfaces are C++ and need a host built with the same toolchain
 * (i686 mingw-w64 g++), because C++ name mangling and virtual table layout are
 * compiler-specific.
 */
#ifndef KESNET_H
#define KESNET_H

/* winsock2.h must come before windows.h; hosts that include this header
 * first get both in the right order. */
#include <winsock2.h>
#include <windows.h>

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

#ifdef __cplusplus
#define KESNET_CLASS KESNET_API
#define KESNET_EXTERN_C extern "C"
#define KESNET_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define KESNET_CLASS
#define KESNET_EXTERN_C
#define KESNET_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

#include <stddef.h> /* offsetof */

/* UDP port on which echoes travel: a listener with bEcho set answers every
 * datagram with the 4 bytes "Echo" to the sender's address on this port. */
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
 * Receive callback of every listener. Runs on the listener's receive thread.
 *   pData      the received bytes; valid only during the call (the buffer is reused)
 *   nLength    number of bytes (a datagram may be empty: 0)
 *   pUserData  the record's pUserData, unchanged
 *   dwAddr     the sender's IPv4 address, network byte order
 *   nPort      the sender's port, host byte order (0 to 65535)
 */
typedef void(__cdecl *ReceiveProc)(void *pData, int nLength, void *pUserData,
                                   unsigned long dwAddr, int nPort);

/* ------------------------------------------------------------------------
 * Parameter records. The host declares one, fills it field by field and hands
 * it to an object's InitInstance, which copies it: the record may be changed
 * or freed as soon as InitInstance returns. In C++ the constructor and Reset()
 * store the defaults given beside each field; in C, fill every field yourself.
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

/* The records are part of the binary interface: their layout never changes. */
#define KESNET_FIELD_AT(type, field, offset) \
    KESNET_STATIC_ASSERT(offsetof(type, field) == (offset), #type "." #field " must sit at offset " #offset)

KESNET_STATIC_ASSERT(sizeof(tagParamSend) == 24, "tagParamSend is 24 bytes");
KESNET_FIELD_AT(tagParamSend, dwSize, 0);
KESNET_FIELD_AT(tagParamSend, nMode, 4);
KESNET_FIELD_AT(tagParamSend, dwLocalAddr, 8);
KESNET_FIELD_AT(tagParamSend, dwDestAddr, 12);
KESNET_FIELD_AT(tagParamSend, nDestPort, 16);
KESNET_FIELD_AT(tagParamSend, dwEchoTimeout, 20);

KESNET_STATIC_ASSERT(sizeof(tagParamListen) == 44, "tagParamListen is 44 bytes");
KESNET_FIELD_AT(tagParamListen, dwSize, 0);
KESNET_FIELD_AT(tagParamListen, nMode, 4);
KESNET_FIELD_AT(tagParamListen, dwGroupAddr, 8);
KESNET_FIELD_AT(tagParamListen, dwLocalAddr, 12);
KESNET_FIELD_AT(tagParamListen, nPort, 16);
KESNET_FIELD_AT(tagParamListen, pUserData, 20);
KESNET_FIELD_AT(tagParamListen, pfnReceive, 24);
KESNET_FIELD_AT(tagParamListen, nPriority, 28);
KESNET_FIELD_AT(tagParamListen, bEcho, 32);
KESNET_FIELD_AT(tagParamListen, nBacklog, 36);
KESNET_FIELD_AT(tagParamListen, dwStopTimeout, 40);

KESNET_STATIC_ASSERT(sizeof(tagParamSend3) == 52, "tagParamSend3 is 52 bytes");
KESNET_FIELD_AT(tagParamSend3, dwSize, 0);
KESNET_FIELD_AT(tagParamSend3, nMode, 4);
KESNET_FIELD_AT(tagParamSend3, dwLocalAddr, 8);
KESNET_FIELD_AT(tagParamSend3, nCount, 40);
KESNET_FIELD_AT(tagParamSend3, dwDestAddr, 44);
KESNET_FIELD_AT(tagParamSend3, nDestPort, 48);

KESNET_STATIC_ASSERT(sizeof(tagParamListen3) == 72, "tagParamListen3 is 72 bytes");
KESNET_FIELD_AT(tagParamListen3, dwSize, 0);
KESNET_FIELD_AT(tagParamListen3, nMode, 4);
KESNET_FIELD_AT(tagParamListen3, dwGroupAddr, 8);
KESNET_FIELD_AT(tagParamListen3, nPort, 12);
KESNET_FIELD_AT(tagParamListen3, dwLocalAddr, 16);
KESNET_FIELD_AT(tagParamListen3, nCount, 48);
KESNET_FIELD_AT(tagParamListen3, pUserData, 52);
KESNET_FIELD_AT(tagParamListen3, pfnReceive, 56);
KESNET_FIELD_AT(tagParamListen3, nPriority, 60);
KESNET_FIELD_AT(tagParamListen3, dwStopTimeout, 64);
KESNET_FIELD_AT(tagParamListen3, nBacklog, 68);

/* ------------------------------------------------------------------------
 * Plain functions.
 * ---------------------------------------------------------------------- */

/* Starts Winsock 2.2 for the host. 1 if version 2.2 was granted, else 0.
 * Each successful call needs its own KesExitInstance. */
KESNET_EXTERN_C KESNET_API int __cdecl KesInitInstance(void);

/* Stops Winsock (WSACleanup). 1 on success, 0 if no start was still open. */
KESNET_EXTERN_C KESNET_API int __cdecl KesExitInstance(void);

/* Sends one datagram from a new socket bound to dwLocalAddr (any port), then
 * closes it. nMode 1 sends to dwDestAddr:nDestPort; nMode 2 joins the group
 * dwDestAddr first and sends with time-to-live 10. Note that the local address
 * comes last. 1 if the whole datagram went out; 0 if pData is not readable over
 * dwLength bytes, the socket could not be set up, or the send failed. Any other
 * nMode sends nothing and returns 1. */
KESNET_EXTERN_C KESNET_API int __cdecl KesSend(int nMode, const void *pData, DWORD dwLength,
                                              DWORD dwDestAddr, int nDestPort,
                                              DWORD dwLocalAddr);

/* Starts the process-wide datagram listener on nPort (and the group dwGroupAddr
 * in mode 2) on the interface dwLocalAddr. pfnReceive runs on its receive thread
 * with pUserData. It never echoes. 1 if started; 0 if it was already running or
 * could not start. */
KESNET_EXTERN_C KESNET_API int __cdecl KesListen(int nMode, ReceiveProc pfnReceive, int nPort,
                                                DWORD dwGroupAddr, void *pUserData,
                                                DWORD dwLocalAddr);

/* Stops the process-wide listener. 1 if it was running, else 0. */
KESNET_EXTERN_C KESNET_API int __cdecl KesStopListen(void);

/* Makes a stream object: KES_OBJECT_TCPLISTEN (1) a CTcpListenObject,
 * KES_OBJECT_TCPSEND (2) a CTcpSendObject, KES_OBJECT_TCPLISTEN3 (5) a
 * CTcpListen3Object. Any other code, or no memory: null. The host owns the
 * object and destroys it with delete through the interface's virtual destructor
 * (after Release). */
KESNET_EXTERN_C KESNET_API void *__cdecl KesCreateObject(int nType);

/* Host names and addresses. */

/* Stores the host name in pszName, which must hold 64 bytes. Needs
 * KesInitInstance. 1 on success, 0 if Winsock is not started or the name does
 * not fit. */
KESNET_EXTERN_C KESNET_API int __cdecl KesGetHostName(char *pszName);

/* Stores the computer name in pszName (dwSize characters). Nonzero on success,
 * 0 if it fails (for instance when the buffer is too small). */
KESNET_EXTERN_C KESNET_API int __cdecl KesGetCompName(char *pszName, DWORD dwSize);

/* Stores the host's IPv4 addresses, in the resolver's order, in pdwAddr (room
 * for 16). Returns their number, 0 to 16. Starts Winsock by itself. */
KESNET_EXTERN_C KESNET_API int __cdecl VantixGetHostIP(DWORD *pdwAddr);

/* Like VantixGetHostIP, with the preferred address (registry value "HostIP")
 * moved to the front when the host has two or more addresses. pdwAddr (room for
 * 16) receives the list; pdwAddr2 (room for 16) receives count zeros. Either
 * may be null. Returns the number of addresses. Writes one debug line. */
KESNET_EXTERN_C KESNET_API int __cdecl KesGetHostIP(DWORD *pdwAddr, DWORD *pdwAddr2);

/* The address the network is to use: the host's only address, or with two or
 * more the preferred address from the registry value "HostIP". 0 if none. */
KESNET_EXTERN_C KESNET_API DWORD __cdecl CorGetHostIP(void);

/* Adapters and Wake-on-LAN. */

/* Reads the 6-byte hardware addresses of the NetBIOS LAN adapters into pBuffer,
 * one after the other. With a null pBuffer only counts: call it once with null,
 * provide count * 6 bytes, call again. Returns the count, 0 on failure. */
KESNET_EXTERN_C KESNET_API int __cdecl KesGetNetCard(BYTE *pBuffer);

/* Broadcasts a Wake-on-LAN magic packet (102 bytes) for each of the dwCount
 * 6-byte hardware addresses in pList to 255.255.255.255, UDP port 2304, from the
 * interface dwLocalAddr. Needs KesInitInstance. 1 if every packet went out. */
KESNET_EXTERN_C KESNET_API int __cdecl KesLanWakeUp(DWORD dwLocalAddr, const BYTE *pList,
                                                   DWORD dwCount);

/* Registry values: one open, one operation, one close per call; 1 or 0. */

/* Reads at most 4 bytes of any type into *pdwValue. */
KESNET_EXTERN_C KESNET_API int __cdecl RegReadDWORD(HKEY hRoot, LPCSTR pszSubKey,
                                                   LPCSTR pszValueName, DWORD *pdwValue);
/* Reads at most dwSize bytes of any type into pszBuffer; adds no terminator. */
KESNET_EXTERN_C KESNET_API int __cdecl RegReadString(HKEY hRoot, LPCSTR pszSubKey,
                                                    LPCSTR pszValueName, char *pszBuffer,
                                                    DWORD dwSize);
/* Writes a REG_DWORD, creating the key (and its path) if missing. */
KESNET_EXTERN_C KESNET_API int __cdecl RegWriteDWORD(HKEY hRoot, LPCSTR pszSubKey,
                                                    LPCSTR pszValueName, DWORD dwValue);
/* Writes exactly dwSize bytes as REG_SZ, creating the key if missing. Count the
 * terminator into dwSize if the stored string is to carry one. */
KESNET_EXTERN_C KESNET_API int __cdecl RegWriteString(HKEY hRoot, LPCSTR pszSubKey,
                                                     LPCSTR pszValueName, const char *pData,
                                                     DWORD dwSize);

/* Files and versions. */

/* Total size in bytes of all files below the directory pszPath (low 32 bits of
 * each file, summed modulo 2^32). 0 if it is not a directory. */
KESNET_EXTERN_C KESNET_API int __cdecl SFGetCatalogSize(LPCSTR pszPath);
/* 1 if the file has at least 4 bytes and starts with "BM", else 0. */
KESNET_EXTERN_C KESNET_API int __cdecl SIsFileBmp(LPCSTR pszPath);
/* Always 1; the file is not read. */
KESNET_EXTERN_C KESNET_API int __cdecl SIsFileWav(LPCSTR pszPath);
/* Copies the module's ProductVersion string (of its first translation) into
 * pszVersion, which must be large enough. 1 if copied, else 0. */
KESNET_EXTERN_C KESNET_API int __cdecl KesGetDllVersion(LPCSTR pszModule, char *pszVersion);

#ifdef __cplusplus

/* ------------------------------------------------------------------------
 * Exported datagram classes. The host allocates them itself (on the stack, on
 * the heap or inside its own objects), so their fields are part of the binary
 * interface. Every object is two-phase: construct, InitInstance, use, Release,
 * destroy. A member-wise copy shares the original's sockets and threads; only
 * one of the two may be released.
 * ---------------------------------------------------------------------- */

class CUdpSocket;     /* the library's datagram socket; opaque to hosts */
struct tagThreadParam; /* the block handed to a receive thread; opaque to hosts */

/* Datagram sender without acknowledgement, on one local interface. One thread
 * at a time. Must be released before it is destroyed. */
class KESNET_API CKesSend {
public:
    CKesSend(); /* mode 1, every other parameter 0 (dwEchoTimeout too) */
    CKesSend(const CKesSend &other) = default; /* shares the socket */
    ~CKesSend(); /* does not release */
    CKesSend &operator=(const CKesSend &other);

    /* Opens a socket on pParam->dwLocalAddr (any port), with a 64 KiB send buffer,
     * joining pParam->dwDestAddr in mode 2. A null pParam keeps the parameters the
     * sender already holds. Only on a sender that holds no socket. 1 or 0. */
    int InitInstance(tagParamSend *pParam);
    /* Sends one datagram to dwAddr:nPort (0 takes the record's dwDestAddr or
     * nDestPort). 1 if it went out whole; 0 if the sender is not set up or the send
     * failed; 1 without sending for a mode other than 1 and 2. */
    int Send(void *pData, DWORD dwLength, DWORD dwAddr, int nPort);
    /* Leaves the group (mode 2) and closes the socket. Harmless when not set up. */
    void Release();

    CUdpSocket *m_pSocket;  /* null while not set up */
    tagParamSend m_param;
};

/* Datagram listener on one port of one local interface, with one receive
 * thread. ReceiveProc runs on that thread, one datagram at a time, in order of
 * arrival. With bEcho set, every datagram not sent from ECHO_PORT is answered
 * with the 4 bytes "Echo" to its sender's address on ECHO_PORT, before the
 * callback runs. The callback may call Release on its own listener; the thread
 * then ends when the callback returns. Release waits at most dwStopTimeout for
 * the thread; a thread still busy in the callback by then touches nothing of the
 * listener afterwards, so the host may destroy the listener right away. */
class KESNET_API CKesListen {
public:
    CKesListen();
    CKesListen(const CKesListen &other);
    CKesListen &operator=(const CKesListen &other);
    virtual ~CKesListen(); /* releases a running listener */

    /* Binds pParam->nPort on pParam->dwLocalAddr (joining dwGroupAddr in mode 2),
     * starts the receive thread. 1 running, 0 failed with nothing held. */
    int InitInstance(tagParamListen *pParam);
    /* Stops the thread (waiting at most dwStopTimeout) and closes the sockets.
     * Harmless on a listener that is not running. */
    void Release();

    CUdpSocket *m_pSocket;  /* null while not running */
    HANDLE m_hThread;       /* null while not running */
    tagParamListen m_param;
    CKesSend m_echoSend;    /* sends the echoes */

protected:
    unsigned long ThreadProc(tagThreadParam *pParam);
    static unsigned long __stdcall InitThreadProc(void *pParam);
};

/* Acknowledged unicast sender: Send returns 1 only when the destination's
 * listener answers with its echo within dwEchoTimeout. It listens for echoes on
 * ECHO_PORT of dwLocalAddr with a CKesListen of its own. Send may be called from
 * several threads: they are served one at a time. Release before destroying. */
class KESNET_API CKesSend2 {
public:
    CKesSend2();
    CKesSend2(const CKesSend2 &other);
    CKesSend2 &operator=(const CKesSend2 &other);
    virtual ~CKesSend2(); /* stops the echo listener only; call Release first */

    /* nMode must be 1. A null pParam keeps the parameters already held. 1 or 0. */
    int InitInstance(tagParamSend *pParam);
    /* Sends one datagram and waits for the echo from dwAddr (0: dwDestAddr).
     * 1 if acknowledged in time; 0 if not set up, not sent whole, or no echo. */
    int Send(void *pData, unsigned long dwLength, unsigned long dwAddr, int nPort);
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
 * through every one of them. One thread at a time. Release before destroying. */
class KESNET_API CKesSend3 {
public:
    CKesSend3();
    CKesSend3(const CKesSend3 &other);
    CKesSend3 &operator=(const CKesSend3 &other);
    virtual ~CKesSend3(); /* does not release */

    /* One socket per dwLocalAddr[0..nCount-1]. nCount 0 or above 8: 0. A negative
     * nCount: 1 with nothing opened. All or nothing. */
    int InitInstance(tagParamSend3 *pParam);
    /* 1 if sent through every socket; stops at the first failure with 0. */
    int Send(unsigned char *pData, unsigned long dwLength, unsigned long dwAddr,
             unsigned short nPort);
    void Release();

    CUdpSocket *m_pSocket[8];
    tagParamSend3 m_param;
};

/* Datagram listener on one port of up to eight local interfaces, one receive
 * thread each. Callbacks of different interfaces may run at the same time. It
 * never echoes. Release before destroying. */
class KESNET_API CKesListen3 {
public:
    CKesListen3();
    CKesListen3(const CKesListen3 &other);
    CKesListen3 &operator=(const CKesListen3 &other);
    virtual ~CKesListen3(); /* does not release */

    /* nCount 0 or above 8: 0. A negative nCount: 1 with nothing opened. All or
     * nothing. */
    int InitInstance(tagParamListen3 *pParam);
    /* Stops the interfaces one after the other, each waiting at most dwStopTimeout. */
    void Release();

    CUdpSocket *m_pSocket[8];
    HANDLE m_hThread[8];
    tagParamListen3 m_param;

protected:
    unsigned long ThreadProc(tagThreadParam *pParam);
    static unsigned long __stdcall InitThreadProc(void *pParam);
};

#define KESNET_CLASS_SIZE(type, size) \
    KESNET_STATIC_ASSERT(sizeof(type) == (size), #type " is " #size " bytes")
KESNET_CLASS_SIZE(CKesSend, 28);
KESNET_CLASS_SIZE(CKesListen, 84);
KESNET_CLASS_SIZE(CKesSend2, 148);
KESNET_CLASS_SIZE(CKesSend3, 88);
KESNET_CLASS_SIZE(CKesListen3, 140);

/* ------------------------------------------------------------------------
 * Stream objects, made by KesCreateObject and reached only through their
 * virtual operations, in this order. Destroy them with delete through the
 * *Object interface (its virtual destructor frees the memory with the library's
 * own allocator), after Release.
 * ---------------------------------------------------------------------- */

/* TCP listener on one local address: slots InitInstance, Release. */
class CTcpListenBase {
public:
    /* Listens on pParam->nPort of pParam->dwLocalAddr and starts one thread that
     * accepts up to min(nBacklog, 62) clients and hands every read (at most 1536
     * bytes) to pfnReceive with the client's address and port. A client beyond
     * that is accepted and reset at once; a backlog of 0 or less serves none.
     * 1 or 0. */
    virtual int InitInstance(tagParamListen *pParam) = 0;
    /* Stops the thread (waiting at most 1000 ms), closes every connection. */
    virtual void Release() = 0;
};

/* TCP listener on up to eight local addresses: slots InitInstance, Release. */
class CTcpListen3Base {
public:
    /* One listening socket and one thread per dwLocalAddr[0..nCount-1], each
     * serving up to min(nBacklog, 62) clients. nCount 0 or above 8: 0; a
     * negative nCount: 1 with nothing opened. 1 or 0. */
    virtual int InitInstance(tagParamListen3 *pParam) = 0;
    /* Stops the threads one after the other, each waiting at most
     * dwStopTimeout, and closes every connection. */
    virtual void Release() = 0;
};

/* What KesCreateObject(KES_OBJECT_TCPLISTEN) returns. */
class CTcpListenObject : public CTcpListenBase {
public:
    virtual ~CTcpListenObject() {}
};

/* What KesCreateObject(KES_OBJECT_TCPLISTEN3) returns. */
class CTcpListen3Object : public CTcpListen3Base {
public:
    virtual ~CTcpListen3Object() {}
};

/* What KesCreateObject(KES_OBJECT_TCPSEND) returns: a TCP client. */
class CTcpSendObject {
public:
    /* Connects from pParam->dwLocalAddr (any port) to dwDestAddr:nDestPort. 1 or 0. */
    virtual int InitInstance(tagParamSend *pParam) = 0;
    /* Sends dwLength bytes; blocks until Winsock has taken them all. 1 or 0. */
    virtual int Send(void *pData, unsigned long dwLength) = 0;
    /* Closes the connection. */
    virtual void Release() = 0;
    virtual ~CTcpSendObject() {}
};

#endif /* __cplusplus */

#endif /* KESNET_H */
