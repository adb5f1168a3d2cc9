#include "stream/stream_socket.h"

#include "common/socket_address.h"

SOCKET OpenBoundStreamSocket(DWORD dwLocalAddr, int nPort)
{
    SOCKET s = WSASocketA(AF_INET, SOCK_STREAM, 0, nullptr, 0, WSA_FLAG_OVERLAPPED);
    if (s == INVALID_SOCKET)
        return INVALID_SOCKET;
    int one = 1;
    sockaddr_in local = MakeAddress(dwLocalAddr, nPort);
    if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<char *>(&one), sizeof one) == SOCKET_ERROR ||
        bind(s, reinterpret_cast<sockaddr *>(&local), sizeof local) == SOCKET_ERROR) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}
