// The receive loop shared by the single- and multi-interface datagram
// listeners: one thread, one socket, one callback.
#ifndef KESNET_DATAGRAM_RECEIVE_LOOP_H
#define KESNET_DATAGRAM_RECEIVE_LOOP_H

#include "kesnet.h"

class CUdpSocket;
struct tagThreadParam;

// Where the loop finds its listener's state. The pointers lead into the
// listener; the loop reads through them only inside the thread's Enter/Leave,
// and reads the callback, user data and echo switch afresh for every datagram.
struct DatagramReceiver {
    CUdpSocket *const *ppSocket;
    const ReceiveProc *pfnReceive;
    void *const *ppUserData;
    const BOOL *pbEcho;     // null: this listener never echoes
    CKesSend *pEchoSender;  // the sender of the echoes, when pbEcho is set
};

// Runs until the stop event is set, the owner gives the thread up, or the
// callback is not executable. Returns 0.
unsigned long RunDatagramReceiveLoop(tagThreadParam *pThread, const DatagramReceiver &receiver);

#endif
