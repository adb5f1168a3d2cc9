// student: a student's program in miniature.
//
//   student [--group GROUP] [--from LOCAL] [--port PORT] [--file-port PORT]
//           [--save FILE] [--seconds S]
//
// It waits for two things from the teacher:
//   - a message, by multicast to GROUP (or sent to this machine alone when no
//     group is given), which it answers with "Echo" so that the teacher knows
//     it arrived: a CKesListen with bEcho set does that by itself;
//   - a file over TCP (a stream listener made by KesCreateObject), which it
//     checks against the size and checksum the teacher sends first.
// Exit code 0 once both have arrived intact, 1 if something failed or did not
// come within S seconds (default 60), 2 for bad arguments.
#include "kesnet.h"
#include "example_support.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// The ports the teacher and the students agree on.
static int g_messagePort = 47100;
static int g_filePort = 47101;

// What the callbacks collect for the main thread. Each callback runs on its
// listener's own receive thread; the main thread reads these fields only
// after the event that says they are complete.
struct Lesson {
    HANDLE messageArrived;
    char message[256];
    unsigned long teacher;  // the message's source address

    HANDLE fileArrived;
    unsigned char header[8];  // the file's size and checksum, in network order
    DWORD headerBytes;
    DWORD size;
    DWORD expectedChecksum;
    DWORD received;
    DWORD checksum;  // of what arrived so far
    FILE *save;      // where the file goes, or null
};

// Runs on the message listener's receive thread. The echo has already gone
// out by the time it is called. pData is valid only during the call: copy it.
static void __cdecl OnMessage(void *pData, int nLength, void *pUserData, unsigned long dwAddr, int nPort)
{
    (void)nPort;
    Lesson *lesson = static_cast<Lesson *>(pUserData);
    int n = nLength < (int)sizeof lesson->message - 1 ? nLength : (int)sizeof lesson->message - 1;
    memcpy(lesson->message, pData, n);
    lesson->message[n] = '\0';
    lesson->teacher = dwAddr;
    // The teacher sends again when an echo gets lost; a second copy just
    // overwrites the first.
    SetEvent(lesson->messageArrived);
}

// Runs on the stream listener's receive thread, once per piece of at most 1536
// bytes. A stream has no message boundaries: the 8-byte header may arrive
// split over two pieces, or together with the first bytes of the file.
static void __cdecl OnFileBytes(void *pData, int nLength, void *pUserData, unsigned long dwAddr, int nPort)
{
    (void)dwAddr;
    (void)nPort;
    Lesson *lesson = static_cast<Lesson *>(pUserData);
    const unsigned char *bytes = static_cast<const unsigned char *>(pData);
    DWORD length = (DWORD)nLength;
    while (lesson->headerBytes < sizeof lesson->header && length > 0) {
        lesson->header[lesson->headerBytes++] = *bytes++;
        --length;
        if (lesson->headerBytes == sizeof lesson->header) {
            DWORD values[2];
            memcpy(values, lesson->header, sizeof values);
            lesson->size = ntohl(values[0]);
            lesson->expectedChecksum = ntohl(values[1]);
        }
    }
    if (lesson->headerBytes < sizeof lesson->header)
        return;
    lesson->checksum = AddToChecksum(lesson->checksum, bytes, length);
    lesson->received += length;
    if (lesson->save != NULL)
        fwrite(bytes, 1, length, lesson->save);
    if (lesson->received >= lesson->size)
        SetEvent(lesson->fileArrived);
}

int main(int argc, char **argv)
{
    setvbuf(stdout, NULL, _IONBF, 0);
    static const char *const options[] = {"--group", "--from", "--port", "--file-port", "--save", "--seconds", NULL};
    const char *groupText = Option(argc, argv, 1, "--group");
    const char *fromText = Option(argc, argv, 1, "--from");
    const char *saveName = Option(argc, argv, 1, "--save");
    DWORD group = groupText ? inet_addr(groupText) : 0;
    DWORD from = fromText ? inet_addr(fromText) : 0;
    if (Option(argc, argv, 1, "--port"))
        g_messagePort = atoi(Option(argc, argv, 1, "--port"));
    if (Option(argc, argv, 1, "--file-port"))
        g_filePort = atoi(Option(argc, argv, 1, "--file-port"));
    int seconds = Option(argc, argv, 1, "--seconds") ? atoi(Option(argc, argv, 1, "--seconds")) : 60;
    if (!OnlyKnownOptions(argc, argv, 1, options) || group == INADDR_NONE || from == INADDR_NONE || seconds <= 0) {
        fprintf(stderr, "usage: student [--group GROUP] [--from LOCAL] [--port PORT] [--file-port PORT]\n"
                        "               [--save FILE] [--seconds S]\n");
        return 2;
    }

    // Winsock 2.2 for the whole program: before any endpoint is made.
    if (!KesInitInstance()) {
        fprintf(stderr, "student: Winsock 2.2 could not be started\n");
        return 1;
    }

    // The teacher keeps these to wake this machine another day.
    BYTE adapters[255 * 6];
    int count = KesGetNetCard(adapters);
    for (int i = 0; i < count; ++i) {
        const BYTE *a = adapters + 6 * i;
        printf("student: adapter %d has the hardware address %02x:%02x:%02x:%02x:%02x:%02x\n", i, a[0], a[1],
               a[2], a[3], a[4], a[5]);
    }

    Lesson lesson;
    memset(&lesson, 0, sizeof lesson);
    lesson.messageArrived = CreateEventA(NULL, TRUE, FALSE, NULL);
    lesson.fileArrived = CreateEventA(NULL, TRUE, FALSE, NULL);
    lesson.checksum = kChecksumStart;
    lesson.save = saveName ? fopen(saveName, "wb") : NULL;

    // The message listener. The record's constructor stores the defaults;
    // set what differs. InitInstance copies the record.
    tagParamListen messages;
    if (group != 0) {
        messages.nMode = KES_MODE_MULTICAST;
        messages.dwGroupAddr = group;
        // A group member binds to every interface (0): Linux, and so Wine on
        // it, hands group datagrams only to sockets bound to 0.0.0.0.
        messages.dwLocalAddr = 0;
    } else {
        messages.dwLocalAddr = from;
    }
    messages.nPort = g_messagePort;
    messages.bEcho = TRUE;  // answer every message with "Echo"
    messages.pfnReceive = OnMessage;
    messages.pUserData = &lesson;
    CKesListen messageListener;
    bool listening = messageListener.InitInstance(&messages) == 1;

    // The file listener: a stream object, reached only through its interface.
    tagParamListen files;
    files.dwLocalAddr = from;
    files.nPort = g_filePort;
    files.pfnReceive = OnFileBytes;
    files.pUserData = &lesson;
    CTcpListenObject *fileListener = static_cast<CTcpListenObject *>(KesCreateObject(KES_OBJECT_TCPLISTEN));
    bool serving = fileListener != NULL && fileListener->InitInstance(&files) == 1;

    bool ok = listening && serving;
    if (ok) {
        printf("student: ready: messages on UDP port %d%s%s, files on TCP port %d\n", g_messagePort,
               group ? " in group " : "", group ? groupText : "", g_filePort);
        HANDLE both[2] = {lesson.messageArrived, lesson.fileArrived};
        ok = WaitForMultipleObjects(2, both, TRUE, (DWORD)seconds * 1000) == WAIT_OBJECT_0;
    } else {
        fprintf(stderr, "student: cannot listen on UDP port %d or TCP port %d\n", g_messagePort, g_filePort);
    }

    // Release before destroying, and every endpoint before KesExitInstance.
    // Release waits (a bounded time, ample for these short callbacks) for the
    // receive thread, so afterwards the callbacks are done with the Lesson.
    if (serving)
        fileListener->Release();
    if (fileListener != NULL)
        fileListener->Delete();  // back to the library's heap, through its destructor slot
    messageListener.Release();
    if (lesson.save != NULL)
        fclose(lesson.save);

    if (WaitForSingleObject(lesson.messageArrived, 0) == WAIT_OBJECT_0)
        printf("student: the teacher (%s) says: \"%s\"; answered with \"Echo\"\n", Dotted(lesson.teacher),
               lesson.message);
    else
        printf("student: no message came\n");
    bool intact = lesson.headerBytes == sizeof lesson.header && lesson.received == lesson.size &&
                  lesson.checksum == lesson.expectedChecksum;
    if (WaitForSingleObject(lesson.fileArrived, 0) == WAIT_OBJECT_0)
        printf("student: received a file of %lu bytes, checksum %08lx: %s\n", (unsigned long)lesson.received,
               (unsigned long)lesson.checksum, intact ? "intact" : "NOT what the teacher sent");
    else
        printf("student: the file did not come whole (%lu bytes)\n", (unsigned long)lesson.received);
    CloseHandle(lesson.messageArrived);
    CloseHandle(lesson.fileArrived);
    KesExitInstance();
    return ok && intact ? 0 : 1;
}
