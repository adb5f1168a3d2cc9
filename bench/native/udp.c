/* Native datagrams: the blocking recvfrom receiver, the blaster and the native
 * send rate. Sockets are set up as the library sets up its own: address
 * reuse, bound, 64 KiB buffers. */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "native.h"

#define BUFFER_SIZE 65536

static int open_udp_receiver(in_addr_t addr, int port)
{
    int fd = open_bound(SOCK_DGRAM, addr, port);
    int size = BUFFER_SIZE;
    /* The loop looks for the stop request whenever the socket is quiet this long. */
    struct timeval quiet = {0, 100000};
    if (fd >= 0 && (setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) != 0 ||
                    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &quiet, sizeof quiet) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

static void serve_udp(int fd, struct tally *t, atomic_int *stop)
{
    static _Thread_local char buffer[BUFFER_SIZE];
    while (!atomic_load(stop)) {
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n >= 0)
            tally_add(t, n);
    }
}

const struct receiver_kind udp_receiver = {"native-recvfrom", "udp", open_udp_receiver, serve_udp};

static int open_udp_sender(void)
{
    int fd = open_bound(SOCK_DGRAM, htonl(INADDR_ANY), 0);
    int size = BUFFER_SIZE;
    if (fd >= 0)
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    return fd;
}

/* Sends one datagram, waiting out a full send queue. */
static void send_one(int fd, const char *data, size_t size, const struct sockaddr_in *to)
{
    while (sendto(fd, data, size, 0, (const struct sockaddr *)to, sizeof *to) < 0) {
        if (errno != ENOBUFS && errno != EAGAIN && errno != EINTR) {
            perror("sendto");
            exit(1);
        }
        usleep(50);
    }
}

int run_blast(int argc, char **argv)
{
    struct sockaddr_in to[64];
    int dests = argc - 3;
    if (argc < 4 || dests > 64)
        return 2;
    size_t size = strtoul(argv[0], NULL, 10);
    long count = strtol(argv[1], NULL, 10);
    double rate = strtod(argv[2], NULL);
    for (int i = 0; i < dests; i++)
        if (!parse_endpoint(argv[3 + i], &to[i]))
            return 2;
    char *data = calloc(1, size + 1);
    int fd = open_udp_sender();
    if (fd < 0 || data == NULL)
        return 1;
    double start = now_seconds();
    for (long i = 0; i < count; i++) {
        /* Paced: never ahead of the schedule by more than a millisecond's worth. */
        while (rate > 0 && i > (now_seconds() - start) * rate + rate / 1000)
            usleep(100);
        send_one(fd, data, size, &to[i % dests]);
    }
    printf("sent %ld %.6f\n", count, now_seconds() - start);
    close(fd);
    return 0;
}

int run_send_rate(int argc, char **argv)
{
    if (argc != 3)
        return 2;
    size_t size = strtoul(argv[0], NULL, 10);
    long count = strtol(argv[1], NULL, 10);
    int reps = atoi(argv[2]);
    /* A bound socket that nobody reads, as the Wine programs send to. */
    int sink = open_bound(SOCK_DGRAM, htonl(INADDR_LOOPBACK), 0);
    struct sockaddr_in to;
    socklen_t length = sizeof to;
    int fd = open_udp_sender();
    char *data = calloc(1, size + 1);
    if (sink < 0 || fd < 0 || data == NULL || getsockname(sink, (struct sockaddr *)&to, &length) != 0)
        return 1;
    for (int r = 0; r < reps; r++) {
        double start = now_seconds();
        for (long i = 0; i < count; i++)
            send_one(fd, data, size, &to);
        printf("sample\tsend_rate.%zu\tnative\t%.6g\n", size, count / (now_seconds() - start));
    }
    return 0;
}
