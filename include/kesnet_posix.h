/*
 * kesnet_posix.h - what kesnet.h needs on Linux, included by it (include
 * kesnet.h, not this).
 *
 * The records and classes are declared with the Windows names of their field
 * types. Here those names get the widths they have in the 64-bit DLL, so that
 * every record and class has the same layout on Linux x86-64 as there: DWORD
 * is 32 bits (not unsigned long), and CRITICAL_SECTION is the 40 bytes that
 * the library's lock lives in. The receive callback's address stays an
 * unsigned long, as on Windows; it holds the same 32-bit value.
 */
#ifndef KESNET_POSIX_H
#define KESNET_POSIX_H

#include <stdint.h>
#include <arpa/inet.h>  /* inet_addr, htons, ntohl: as winsock2.h gives them on Windows */
#include <netinet/in.h>

/* There are no calling conventions to choose on x86-64 Linux: every function
 * follows the one System V ABI. */
#ifndef __cdecl
#define __cdecl
#endif
#ifndef __stdcall
#define __stdcall
#endif

/* The shared library exports what the header declares and nothing else (it is
 * built with hidden visibility). */
#define KESNET_API __attribute__((visibility("default")))

typedef uint32_t DWORD;
typedef int BOOL;
typedef unsigned char BYTE;
typedef void *HANDLE;
typedef const char *LPCSTR;
typedef struct _RTL_CRITICAL_SECTION {
    void *DebugInfo;
    int32_t LockCount;
    int32_t RecursionCount;
    HANDLE OwningThread;
    HANDLE LockSemaphore;
    uintptr_t SpinCount;
} CRITICAL_SECTION;
#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

/* Linux has no registry and no version resources: RegReadDWORD,
 * RegReadString, RegWriteDWORD, RegWriteString and KesGetDllVersion are the
 * DLL's alone. */
#define KESNET_NO_REGISTRY 1

#endif /* KESNET_POSIX_H */
