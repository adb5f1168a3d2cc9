#include "datagram/receive_wait.h"

#include <errno.h>
#include <poll.h>

#include "common/receive_thread.h"

WaitResult WaitForDatagram(tagThreadParam *pThread, ReadySignal ready)
{
    pollfd fds[2] = {{pThread->StopFd(), POLLIN, 0}, {ready, POLLIN, 0}};  // stop first: a stop request wins
    if (poll(fds, 2, -1) < 0)
        return pThread->StopRequested() ? kStop : kRetry;  // EINTR, or no memory for a moment
    if (fds[0].revents != 0)
        return kStop;
    if (fds[1].revents & POLLNVAL) {
        // The owner closed the socket under a thread it gave up on: only the
        // stop signal, which is already set or comes next, can end the wait.
        poll(fds, 1, -1);
        return kStop;
    }
    // Readable, or an error pending on the socket, which the next receive
    // takes and clears.
    return kNetwork;
}
