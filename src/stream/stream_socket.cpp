#include "stream/stream_socket.h"

sockaddr_in StreamAddress(DWORD dwAddr, int nPort)
{
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<u_short>(nPort));
    sa.sin_addr.s_addr = dwAddr;
    return sa;
}

SOCKET OpenBoundStreamSocket(DWORD dwLocalAddr, int nPort)
{
    SOCKET s = WSASocketA(AF_INET, SOCK_STREAM, 0, nullptr, 0, WSA_FLAG_OVERLAPPED);
    if (s == INVALID_SOCKET)
        return INVALID_SOCKET;
    int one = 1;
    sockaddr_in local = StreamAddress(dwLocalAddr, nPort);
    if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<char *>(&one), sizeof one) == SOCKET_ERROR ||
        bind(s, reinterpret_cast<sockaddr *>(&local), sizeof local) == SOCKET_ERROR) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}
