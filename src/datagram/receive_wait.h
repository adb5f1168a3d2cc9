// The wait of a datagram receive thread: for its stop signal or for its
// socket's datagrams, the stop first so that a stop request wins. The
// platform's (src/win/receive_wait.cpp: the two events; src/posix/
// receive_wait.cpp: poll on the stop signal and the socket).
#ifndef KESNET_DATAGRAM_RECEIVE_WAIT_H
#define KESNET_DATAGRAM_RECEIVE_WAIT_H

#include "datagram/udp_socket.h"  // ReadySignal

struct tagThreadParam;

enum WaitResult { kStop, kNetwork, kRetry };

// ready was read from the socket (Readiness()) while its owner was there;
// the wait itself runs without the owner, who may close the socket meanwhile.
WaitResult WaitForDatagram(tagThreadParam *pThread, ReadySignal ready);

#endif
