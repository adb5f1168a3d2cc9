// The epochs of Winsock in this process. The last WSACleanup of a process
// ends every socket still open, and the sockets made after the next
// WSAStartup reuse their handle numbers. So each socket of the library
// remembers the epoch it was made in, and one from an earlier epoch is never
// used or closed again: its number may by now name a socket of someone else.
// A host that stops Winsock (KesExitInstance) while objects are still open
// then finds them failing cleanly, and releasing them later, even after
// Winsock was started again, closes nothing that is not theirs.
#ifndef KESNET_WIN_WINSOCK_EPOCH_H
#define KESNET_WIN_WINSOCK_EPOCH_H

#include <winsock2.h>

LONG CurrentWinsockEpoch();

inline bool IsCurrentWinsockEpoch(LONG nEpoch)
{
    return nEpoch == CurrentWinsockEpoch();
}

// Called after each WSACleanup of the library that succeeded: when that was
// the last start in the process, a new epoch begins.
void EndWinsockEpochIfStopped();

#endif
