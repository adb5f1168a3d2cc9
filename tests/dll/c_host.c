/* A host written in C: the plain functions of the library are C functions,
 * reachable from C through the exported header and the import library. */
#include "kesnet.h"

#include <stdio.h>
#include <string.h>

static HANDLE g_arrived;
static char g_text[32];
static int g_port;

static void __cdecl OnDatagram(void *pData, int nLength, void *pUserData, unsigned long dwAddr, int nPort)
{
    (void)pUserData;
    (void)dwAddr;
    (void)nPort;
    memcpy(g_text, pData, nLength < 31 ? (size_t)nLength : 31);
    SetEvent(g_arrived);
}

static int FreePort(void)
{
    SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in sa;
    int length = sizeof sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = inet_addr("127.0.0.1");
    bind(s, (struct sockaddr *)&sa, sizeof sa);
    getsockname(s, (struct sockaddr *)&sa, &length);
    closesocket(s);
    return ntohs(sa.sin_port);
}

#define CHECK(cond)                                           \
    do {                                                      \
        if (!(cond)) {                                        \
            printf("FAILED: %s (line %d)\n", #cond, __LINE__); \
            return 1;                                         \
        }                                                     \
    } while (0)

int main(void)
{
    DWORD loopback = inet_addr("127.0.0.1");
    g_arrived = CreateEventA(NULL, FALSE, FALSE, NULL);
    CHECK(KesInitInstance() == 1);
    g_port = FreePort();
    CHECK(KesListen(KES_MODE_UNICAST, OnDatagram, g_port, 0, NULL, loopback) == 1);
    CHECK(KesSend(KES_MODE_UNICAST, "from C", 6, loopback, g_port, 0) == 1);
    CHECK(WaitForSingleObject(g_arrived, 10000) == WAIT_OBJECT_0);
    CHECK(strcmp(g_text, "from C") == 0);
    CHECK(KesStopListen() == 1);
    CHECK(KesExitInstance() == 1);
    /* The 32-bit layout is the contract; the 64-bit DLL's has 8-byte pointers. */
    CHECK(sizeof(tagParamListen3) == (sizeof(void *) == 8 ? 88 : 72));
    printf("ok: a C host sent and received a datagram through the DLL\n");
    return 0;
}
