/* Native datagrams: the blocking recvfrom receiver, the blaster (of one datagram
 * or of a file's) and the native send rate. Sockets are set up as the library
 * sets up its own: address reuse, bound, 64 KiB buffers. */
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

/* What a blast sends: one datagram again and again, or the records of a file
 * (each its size in two bytes, network order, then its bytes) in turn. */
struct source {
    const char *data;
    size_t size; /* the one datagram's size; 0: data holds records */
    size_t at;   /* the next record */
};

static const char *next_datagram(struct source *s, size_t *size)
{
    if (s->size != 0) {
        *size = s->size;
        return s->data;
    }
    const unsigned char *record = (const unsigned char *)s->data + s->at;
    *size = (size_t)record[0] << 8 | record[1];
    s->at += 2 + *size;
    return (const char *)record + 2;
}

/* Sends count datagrams of the source round the destinations "A.B.C.D:PORT"
 * at rate a second (0: flat out), then prints "sent COUNT SECONDS". */
static int blast(struct source *source, long count, double rate, int dests, char **dest_texts)
{
    struct sockaddr_in to[64];
    if (dests < 1 || dests > 64)
        return 2;
    for (int i = 0; i < dests; i++)
        if (!parse_endpoint(dest_texts[i], &to[i]))
            return 2;
    int fd = open_udp_sender();
    if (fd < 0)
        return 1;
    double start = now_seconds();
    for (long i = 0; i < count; i++) {
        /* Paced: never ahead of the schedule by more than a millisecond's worth. */
        while (rate > 0 && i > (now_seconds() - start) * rate + rate / 1000)
            usleep(100);
        size_t size;
        const char *data = next_datagram(source, &size);
        send_one(fd, data, size, &to[i % dests]);
    }
    printf("sent %ld %.6f\n", count, now_seconds() - start);
    close(fd);
    return 0;
}

int run_blast(int argc, char **argv)
{
    if (argc < 4)
        return 2;
    size_t size = strtoul(argv[0], NULL, 10);
    char *data = calloc(1, size + 1);
    if (data == NULL)
        return 1;
    struct source source = {data, size, 0};
    int status = blast(&source, strtol(argv[1], NULL, 10), strtod(argv[2], NULL), argc - 3, argv + 3);
    free(data);
    return status;
}

/* The records of a file, whole; NULL if it cannot be read or a record is cut short. */
static char *read_records(const char *path, size_t *bytes, long *count)
{
    FILE *f = fopen(path, "rb");
    char *data = NULL;
    long size = -1;
    if (f != NULL && fseek(f, 0, SEEK_END) == 0 && (size = ftell(f)) > 0 && fseek(f, 0, SEEK_SET) == 0 &&
        (data = malloc((size_t)size)) != NULL && fread(data, 1, (size_t)size, f) != (size_t)size) {
        free(data);
        data = NULL;
    }
    if (f != NULL)
        fclose(f);
    *bytes = size > 0 ? (size_t)size : 0;
    *count = 0;
    for (size_t at = 0; data != NULL && at < *bytes; (*count)++) {
        size_t record = at + 2 <= *bytes ? 2 + ((size_t)(unsigned char)data[at] << 8 | (unsigned char)data[at + 1]) : 0;
        if (record == 0 || at + record > *bytes) {
            free(data);
            data = NULL;
        }
        at += record;
    }
    return data;
}

int run_replay(int argc, char **argv)
{
    size_t bytes;
    long count;
    if (argc < 3)
        return 2;
    char *data = read_records(argv[0], &bytes, &count);
    if (data == NULL) {
        fprintf(stderr, "replay: cannot read the datagrams of %s\n", argv[0]);
        return 1;
    }
    struct source source = {data, 0, 0};
    int status = blast(&source, count, strtod(argv[1], NULL), argc - 2, argv + 2);
    free(data);
    return status;
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
