// The few Windows and Winsock declarations that the Microsoft-ABI test host
// needs, as the Windows SDK declares them: the host is built without an SDK
// and without a C runtime. kesnet.h (with KESNET_NO_WINDOWS_H) declares the
// types it shares with these.
#ifndef KESNET_TESTS_MSVC_WINDOWS_MIN_H
#define KESNET_TESTS_MSVC_WINDOWS_MIN_H

#include <stddef.h>

typedef unsigned short WORD;
typedef unsigned int UINT;
#if defined(_WIN64)
typedef unsigned long long SOCKET;
#else
typedef unsigned int SOCKET;
#endif

#define INFINITE 0xFFFFFFFFul
#define WAIT_OBJECT_0 0ul
#define STD_OUTPUT_HANDLE ((DWORD)-11)
#define PROCESS_HEAP_ENTRY_BUSY 0x0004

typedef struct _PROCESS_HEAP_ENTRY {
    void *lpData;
    DWORD cbData;
    BYTE cbOverhead;
    BYTE iRegionIndex;
    WORD wFlags;
    union {
        struct {
            HANDLE hMem;
            DWORD dwReserved[3];
        } Block;
        struct {
            DWORD dwCommittedSize;
            DWORD dwUnCommittedSize;
            void *lpFirstBlock;
            void *lpLastBlock;
        } Region;
    };
} PROCESS_HEAP_ENTRY;

struct sockaddr_in {
    short sin_family;
    unsigned short sin_port;
    unsigned long sin_addr;
    char sin_zero[8];
};
#define AF_INET 2
#define SOCK_STREAM 1
#define SOCK_DGRAM 2

extern "C" {
__declspec(dllimport) HANDLE __stdcall GetProcessHeap(void);
__declspec(dllimport) void *__stdcall HeapAlloc(HANDLE hHeap, DWORD dwFlags, size_t dwBytes);
__declspec(dllimport) BOOL __stdcall HeapFree(HANDLE hHeap, DWORD dwFlags, void *lpMem);
__declspec(dllimport) BOOL __stdcall HeapValidate(HANDLE hHeap, DWORD dwFlags, const void *lpMem);
__declspec(dllimport) BOOL __stdcall HeapLock(HANDLE hHeap);
__declspec(dllimport) BOOL __stdcall HeapUnlock(HANDLE hHeap);
__declspec(dllimport) BOOL __stdcall HeapWalk(HANDLE hHeap, PROCESS_HEAP_ENTRY *lpEntry);
__declspec(dllimport) HANDLE __stdcall CreateEventA(void *lpAttributes, BOOL bManualReset, BOOL bInitialState,
                                                    LPCSTR lpName);
__declspec(dllimport) BOOL __stdcall SetEvent(HANDLE hEvent);
__declspec(dllimport) BOOL __stdcall ResetEvent(HANDLE hEvent);
__declspec(dllimport) DWORD __stdcall WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
__declspec(dllimport) BOOL __stdcall CloseHandle(HANDLE hObject);
__declspec(dllimport) HANDLE __stdcall GetStdHandle(DWORD nStdHandle);
__declspec(dllimport) BOOL __stdcall WriteFile(HANDLE hFile, const void *lpBuffer, DWORD nBytes, DWORD *lpWritten,
                                               void *lpOverlapped);
__declspec(dllimport) __declspec(noreturn) void __stdcall ExitProcess(UINT uExitCode);
__declspec(dllimport) const char *__stdcall GetCommandLineA(void);

__declspec(dllimport) SOCKET __stdcall socket(int af, int type, int protocol);
__declspec(dllimport) int __stdcall bind(SOCKET s, const sockaddr_in *name, int namelen);
__declspec(dllimport) int __stdcall getsockname(SOCKET s, sockaddr_in *name, int *namelen);
__declspec(dllimport) int __stdcall closesocket(SOCKET s);
}

#endif
