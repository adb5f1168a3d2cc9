// A second process that holds a UDP port, for the tests of a port that is
// already taken:
//   port_holder PORT exclusive|shared READY_EVENT QUIT_EVENT PARENT_ID
// Binds PORT on every interface, without address reuse (exclusive) or with it
// (shared, as every socket of the library is), signals the named event
// READY_EVENT, and holds the port until the named event QUIT_EVENT is set or
// the process PARENT_ID (the test) has ended.
// Exit status 0 after a clean run, 1 if the port could not be bound, 2 on bad
// arguments.
#include <winsock2.h>
#include <windows.h>

#include <stdlib.h>
#include <string.h>

int main(int argc, char **argv)
{
    if (argc != 6)
        return 2;
    int port = atoi(argv[1]);
    bool shared = strcmp(argv[2], "shared") == 0;
    HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[3]);
    HANDLE quit = OpenEventA(SYNCHRONIZE, FALSE, argv[4]);
    HANDLE parent = OpenProcess(SYNCHRONIZE, FALSE, strtoul(argv[5], nullptr, 10));
    WSADATA data;
    if (ready == nullptr || quit == nullptr || parent == nullptr || WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return 2;
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    int one = 1;
    if (shared)
        setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<char *>(&one), sizeof one);
    sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<u_short>(port));
    if (s == INVALID_SOCKET || bind(s, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0)
        return 1;
    SetEvent(ready);
    HANDLE either[2] = {quit, parent};
    WaitForMultipleObjects(2, either, FALSE, INFINITE);
    closesocket(s);
    WSACleanup();
    return 0;
}
