// teacher: the teacher's console in miniature.
//
//   teacher STUDENT FILE [--group GROUP] [--from LOCAL] [--wake MAC]
//                        [--port PORT] [--file-port PORT]
//
// STUDENT is the student machine's IPv4 address. The teacher
//   1. sends a message to the class: by multicast to GROUP (every student
//      listening in the group gets it), or to STUDENT alone when no group is
//      given, and waits for the student's "Echo", sending again if none comes;
//   2. streams FILE to STUDENT over TCP, after an 8-byte header with the
//      file's size and checksum, with a stream sender made by KesCreateObject;
//   3. with --wake, wakes the machine whose network adapter has the hardware
//      address MAC (aa:bb:cc:dd:ee:ff) by broadcasting a Wake-on-LAN packet.
// LOCAL is the teacher's own interface for all of it (default: any).
// Exit code 0 if all of it worked, 1 if something failed, 2 for bad arguments.
#include "kesnet.h"
#include "example_support.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

// The ports the teacher and the students agree on.
static int g_messagePort = 47100;
static int g_filePort = 47101;

// Set by OnEcho when the student's echo arrives.
struct EchoWatch {
    HANDLE arrived;
    unsigned long student;
};

// Runs on the echo listener's receive thread for every datagram that reaches
// ECHO_PORT. Only the student's "Echo" counts.
static void __cdecl OnEcho(void *pData, int nLength, void *pUserData, unsigned long dwAddr, int nPort)
{
    (void)nPort;
    EchoWatch *watch = static_cast<EchoWatch *>(pUserData);
    if (dwAddr == watch->student && nLength == 4 && memcmp(pData, "Echo", 4) == 0)
        SetEvent(watch->arrived);
}

static bool ReadWholeFile(const char *name, std::vector<unsigned char> *bytes)
{
    FILE *file = fopen(name, "rb");
    if (file == NULL)
        return false;
    unsigned char block[65536];
    size_t n;
    while ((n = fread(block, 1, sizeof block, file)) > 0)
        bytes->insert(bytes->end(), block, block + n);
    bool ok = ferror(file) == 0;
    fclose(file);
    return ok;
}

// 1. The message, and the echo that says it arrived. Datagrams can get lost,
// so it is sent again while no echo has come, five times at most.
static bool SendMessage(DWORD group, DWORD student, DWORD from)
{
    EchoWatch watch = {CreateEventA(NULL, FALSE, FALSE, NULL), student};
    // Echoes arrive on ECHO_PORT (37102) of this machine: listen there.
    tagParamListen echoes;
    echoes.dwLocalAddr = from;
    echoes.nPort = ECHO_PORT;
    echoes.pfnReceive = OnEcho;
    echoes.pUserData = &watch;
    CKesListen echoListener;
    bool echoed = false;
    if (echoListener.InitInstance(&echoes)) {
        const char message[] = "Good morning, class. Today: page 42.";
        int mode = group ? KES_MODE_MULTICAST : KES_MODE_UNICAST;
        DWORD to = group ? group : student;
        for (int attempt = 1; attempt <= 5 && !echoed; ++attempt) {
            // In multicast mode KesSend joins the group on the interface
            // `from` for the send; the datagram goes out with time-to-live 10.
            if (!KesSend(mode, message, sizeof message - 1, to, g_messagePort, from))
                break;
            printf("teacher: sent \"%s\" to %s:%d%s\n", message, Dotted(to), g_messagePort,
                   group ? " (multicast)" : "");
            echoed = WaitForSingleObject(watch.arrived, 2000) == WAIT_OBJECT_0;
        }
        echoListener.Release();  // before watch goes: the callback uses it
    }
    CloseHandle(watch.arrived);
    printf("teacher: %s\n", echoed ? "the student answered \"Echo\"" : "no echo from the student");
    return echoed;
}

// 2. The file, over TCP: the header, then the bytes in blocks of 64 KiB.
static bool SendFile(const char *name, DWORD student, DWORD from)
{
    std::vector<unsigned char> bytes;
    if (!ReadWholeFile(name, &bytes)) {
        printf("teacher: cannot read %s\n", name);
        return false;
    }
    DWORD header[2] = {htonl((DWORD)bytes.size()), htonl(AddToChecksum(kChecksumStart, bytes.data(), bytes.size()))};

    // The stream sender; its record names the student's address and port.
    tagParamSend connection;
    connection.dwLocalAddr = from;
    connection.dwDestAddr = student;
    connection.nDestPort = g_filePort;
    CTcpSendObject *sender = static_cast<CTcpSendObject *>(KesCreateObject(KES_OBJECT_TCPSEND));
    bool sent = sender != NULL && sender->InitInstance(&connection) == 1;
    if (sent) {
        // Send blocks until Winsock has taken every byte of the block.
        sent = sender->Send(header, sizeof header) == 1;
        for (size_t at = 0; sent && at < bytes.size(); at += 65536) {
            size_t n = bytes.size() - at < 65536 ? bytes.size() - at : 65536;
            sent = sender->Send(&bytes[at], (unsigned long)n) == 1;
        }
        sender->Release();  // closes the connection
    }
    if (sender != NULL)
        sender->Delete();  // back to the library's heap, through its destructor slot
    printf("teacher: %s %s (%lu bytes, checksum %08lx) to the student on TCP port %d\n",
           sent ? "sent" : "could not send", name, (unsigned long)bytes.size(), (unsigned long)ntohl(header[1]),
           g_filePort);
    return sent;
}

// 3. Wake-on-LAN: a broadcast magic packet for one hardware address.
static bool Wake(const char *text, DWORD from)
{
    unsigned int a[6];
    BYTE mac[6];
    if (sscanf(text, "%2x:%2x:%2x:%2x:%2x:%2x", &a[0], &a[1], &a[2], &a[3], &a[4], &a[5]) != 6) {
        printf("teacher: %s is not a hardware address (aa:bb:cc:dd:ee:ff)\n", text);
        return false;
    }
    for (int i = 0; i < 6; ++i)
        mac[i] = (BYTE)a[i];
    bool woken = KesLanWakeUp(from, mac, 1) == 1;
    printf("teacher: %s a wake-up packet for %s\n", woken ? "broadcast" : "could not broadcast", text);
    return woken;
}

int main(int argc, char **argv)
{
    setvbuf(stdout, NULL, _IONBF, 0);
    static const char *const options[] = {"--group", "--from", "--wake", "--port", "--file-port", NULL};
    // STUDENT and FILE, then the options.
    bool usage = argc < 3 || !OnlyKnownOptions(argc, argv, 3, options);
    DWORD student = argc >= 3 ? inet_addr(argv[1]) : INADDR_NONE;
    const char *groupText = Option(argc, argv, 3, "--group");
    const char *fromText = Option(argc, argv, 3, "--from");
    DWORD group = groupText ? inet_addr(groupText) : 0;
    DWORD from = fromText ? inet_addr(fromText) : 0;
    if (usage || student == INADDR_NONE || group == INADDR_NONE || from == INADDR_NONE) {
        fprintf(stderr, "usage: teacher STUDENT FILE [--group GROUP] [--from LOCAL] [--wake MAC]\n"
                        "                            [--port PORT] [--file-port PORT]\n");
        return 2;
    }
    if (Option(argc, argv, 3, "--port"))
        g_messagePort = atoi(Option(argc, argv, 3, "--port"));
    if (Option(argc, argv, 3, "--file-port"))
        g_filePort = atoi(Option(argc, argv, 3, "--file-port"));

    // Winsock 2.2 for the whole program: before any endpoint is made.
    if (!KesInitInstance()) {
        fprintf(stderr, "teacher: Winsock 2.2 could not be started\n");
        return 1;
    }
    bool ok = SendMessage(group, student, from);
    ok = SendFile(argv[2], student, from) && ok;
    if (Option(argc, argv, 3, "--wake"))
        ok = Wake(Option(argc, argv, 3, "--wake"), from) && ok;
    else
        printf("teacher: no --wake MAC given: no machine to wake\n");
    KesExitInstance();  // every endpoint is released by now
    return ok ? 0 : 1;
}
