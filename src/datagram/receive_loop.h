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
    CUdpSocket *const *ppSocket = nullptr;
    const ReceiveProc *pfnReceive = nullptr;
    void *const *ppUserData = nullptr;
    const BOOL *pbEcho = nullptr;     // null: this listener never echoes
    CKesSend *pEchoSender = nullptr;  // the sender of the echoes, when pbEcho is set
};

// Runs until the stop event is set, the owner gives the thread up, or the
// callback is not executable. Returns 0.
unsigned long RunDatagramReceiveLoop(tagThreadParam *pThread, const DatagramReceiver &receiver);

// Stops the receive thread that serves the socket, if one was started
// (waiting at most dwStopTimeout), then leaves its group, closes it and
// empties the pointer. Nothing happens to a null one.
void StopReceivingAndClose(CUdpSocket *&socket, DWORD dwStopTimeout);

#endif
