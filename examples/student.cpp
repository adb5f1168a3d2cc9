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

// What the command line asks for.
struct Options {
    const char *groupText;  // as given, for the messages
    DWORD group;            // 0: no group, messages come to this machine alone
    DWORD from;             // 0: every interface
    const char *saveName;   // where to save the file, or null
    int seconds;            // how long to wait for the lesson
};

// False for bad arguments (usage printed).
static bool ReadOptions(int argc, char **argv, Options *options)
{
    static const char *const known[] = {"--group", "--from", "--port", "--file-port", "--save", "--seconds", NULL};
    const char *fromText = Option(argc, argv, 1, "--from");
    options->groupText = Option(argc, argv, 1, "--group");
    options->group = options->groupText ? inet_addr(options->groupText) : 0;
    options->from = fromText ? inet_addr(fromText) : 0;
    options->saveName = Option(argc, argv, 1, "--save");
    if (Option(argc, argv, 1, "--port"))
        g_messagePort = atoi(Option(argc, argv, 1, "--port"));
    if (Option(argc, argv, 1, "--file-port"))
        g_filePort = atoi(Option(argc, argv, 1, "--file-port"));
    options->seconds = Option(argc, argv, 1, "--seconds") ? atoi(Option(argc, argv, 1, "--seconds")) : 60;
    if (!OnlyKnownOptions(argc, argv, 1, known) || options->group == INADDR_NONE || options->from == INADDR_NONE ||
        options->seconds <= 0) {
        fprintf(stderr, "usage: student [--group GROUP] [--from LOCAL] [--port PORT] [--file-port PORT]\n"
                        "               [--save FILE] [--seconds S]\n");
        return false;
    }
    return true;
}

// The teacher keeps these to wake this machine another day.
static void PrintAdapters()
{
    BYTE adapters[255 * 6];
    int count = KesGetNetCard(adapters);
    for (int i = 0; i < count; ++i) {
        const BYTE *a = adapters + 6 * i;
        printf("student: adapter %d has the hardware address %02x:%02x:%02x:%02x:%02x:%02x\n", i, a[0], a[1],
               a[2], a[3], a[4], a[5]);
    }
}

// The two listeners of the lesson.
struct Listeners {
    CKesListen messages;
    CTcpListenObject *files = NULL;  // a stream object, reached only through its interface
};

// Starts both; false if either could not start (Stop gives back the other).
static bool StartListening(const Options &options, Lesson *lesson, Listeners *listeners)
{
    // The records' constructors store the defaults; set what differs.
    // InitInstance copies the record.
    tagParamListen messages;
    if (options.group != 0) {
        messages.nMode = KES_MODE_MULTICAST;
        messages.dwGroupAddr = options.group;
        // A group member binds to every interface (0): Linux, and so Wine on
        // it, hands group datagrams only to sockets bound to 0.0.0.0.
        messages.dwLocalAddr = 0;
    } else {
        messages.dwLocalAddr = options.from;
    }
    messages.nPort = g_messagePort;
    messages.bEcho = TRUE;  // answer every message with "Echo"
    messages.pfnReceive = OnMessage;
    messages.pUserData = lesson;
    bool listening = listeners->messages.InitInstance(&messages) == 1;

    tagParamListen files;
    files.dwLocalAddr = options.from;
    files.nPort = g_filePort;
    files.pfnReceive = OnFileBytes;
    files.pUserData = lesson;
    listeners->files = static_cast<CTcpListenObject *>(KesCreateObject(KES_OBJECT_TCPLISTEN));
    bool serving = listeners->files != NULL && listeners->files->InitInstance(&files) == 1;
    return listening && serving;
}

// Release before destroying, and every endpoint before KesExitInstance.
// Release waits (a bounded time, ample for these short callbacks) for the
// receive thread, so afterwards the callbacks are done with the Lesson.
// Release is harmless on a listener that did not start.
static void StopListening(Listeners *listeners)
{
    if (listeners->files != NULL) {
        listeners->files->Release();
        listeners->files->Delete();  // back to the library's heap, through its destructor slot
    }
    listeners->messages.Release();
}

// What arrived; true if the file came whole and intact.
static bool Report(const Lesson &lesson)
{
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
    return intact;
}

int main(int argc, char **argv)
{
    setvbuf(stdout, NULL, _IONBF, 0);
    Options options;
    if (!ReadOptions(argc, argv, &options))
        return 2;

    // Winsock 2.2 for the whole program: before any endpoint is made.
    if (!KesInitInstance()) {
        fprintf(stderr, "student: Winsock 2.2 could not be started\n");
        return 1;
    }
    PrintAdapters();

    Lesson lesson;
    memset(&lesson, 0, sizeof lesson);
    lesson.messageArrived = CreateEventA(NULL, TRUE, FALSE, NULL);
    lesson.fileArrived = CreateEventA(NULL, TRUE, FALSE, NULL);
    lesson.checksum = kChecksumStart;
    lesson.save = options.saveName ? fopen(options.saveName, "wb") : NULL;

    Listeners listeners;
    bool ok = StartListening(options, &lesson, &listeners);
    if (ok) {
        printf("student: ready: messages on UDP port %d%s%s, files on TCP port %d\n", g_messagePort,
               options.group ? " in group " : "", options.group ? options.groupText : "", g_filePort);
        HANDLE both[2] = {lesson.messageArrived, lesson.fileArrived};
        ok = WaitForMultipleObjects(2, both, TRUE, (DWORD)options.seconds * 1000) == WAIT_OBJECT_0;
    } else {
        fprintf(stderr, "student: cannot listen on UDP port %d or TCP port %d\n", g_messagePort, g_filePort);
    }
    StopListening(&listeners);
    if (lesson.save != NULL)
        fclose(lesson.save);

    bool intact = Report(lesson);
    CloseHandle(lesson.messageArrived);
    CloseHandle(lesson.fileArrived);
    KesExitInstance();
    return ok && intact ? 0 : 1;
}
