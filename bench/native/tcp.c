/* Native TCP: a single-thread epoll server per address reading 1536 bytes per
 * readiness, and the load generator whose clients the driver points at every
 * server. */
#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "native.h"

#define READ_SIZE 1536
#define MOST_CLIENTS 62
#define CHUNK 16384

static int open_tcp_server(in_addr_t addr, int port)
{
    int fd = open_bound(SOCK_STREAM, addr, port);
    if (fd >= 0 && listen(fd, MOST_CLIENTS) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

static void serve_tcp(int listener, struct tally *t, atomic_int *stop)
{
    char buffer[READ_SIZE];
    struct epoll_event ev = {.events = EPOLLIN, .data.fd = listener}, ready[64];
    int ep = epoll_create1(0);
    epoll_ctl(ep, EPOLL_CTL_ADD, listener, &ev);
    while (!atomic_load(stop)) {
        /* Looks for the stop request whenever nothing happens for this long. */
        int n = epoll_wait(ep, ready, 64, 100);
        for (int i = 0; i < n; i++) {
            int fd = ready[i].data.fd;
            if (fd == listener) {
                int c = accept(listener, NULL, NULL);
                struct epoll_event cev = {.events = EPOLLIN, .data.fd = c};
                if (c >= 0)
                    epoll_ctl(ep, EPOLL_CTL_ADD, c, &cev);
                continue;
            }
            ssize_t got = recv(fd, buffer, sizeof buffer, 0);
            if (got > 0) {
                tally_add(t, got);
            } else {
                epoll_ctl(ep, EPOLL_CTL_DEL, fd, NULL);
                close(fd);
            }
        }
    }
    close(ep);
}

const struct receiver_kind tcp_receiver = {"native-tcp", "tcp", open_tcp_server, serve_tcp};

struct client {
    struct sockaddr_in to;
    long bytes;
    pthread_barrier_t *ready;
    double begin, end;  /* when it started streaming, and saw the server's close */
    int ok;
};

/* Connects, waits for every other client, streams its bytes, ends its side
 * and waits until the server has read everything and closed. */
static void *run_client(void *p)
{
    struct client *c = p;
    static const char chunk[CHUNK];
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int connected = fd >= 0 && connect(fd, (struct sockaddr *)&c->to, sizeof c->to) == 0;
    pthread_barrier_wait(c->ready);
    c->begin = now_seconds();
    if (!connected)
        return NULL;
    long left = c->bytes;
    while (left > 0) {
        ssize_t n = send(fd, chunk, left < CHUNK ? left : CHUNK, MSG_NOSIGNAL);
        if (n <= 0 && errno != EINTR)
            break;
        if (n > 0)
            left -= n;
    }
    char sink[256];
    shutdown(fd, SHUT_WR);
    while (left == 0 && recv(fd, sink, sizeof sink, 0) > 0) {
    }
    c->end = now_seconds();
    c->ok = left == 0;
    close(fd);
    return NULL;
}

int run_load(int argc, char **argv)
{
    if (argc < 3)
        return 2;
    int clients = atoi(argv[0]);
    long total = strtol(argv[1], NULL, 10);
    int dests = argc - 2;
    struct sockaddr_in to[MAX_ADDRS];
    if (clients < 1 || clients > 512 || total < clients || dests > MAX_ADDRS)
        return 2;
    for (int i = 0; i < dests; i++)
        if (!parse_endpoint(argv[2 + i], &to[i]))
            return 2;
    struct client *c = calloc(clients, sizeof *c);
    pthread_t *threads = calloc(clients, sizeof *threads);
    pthread_barrier_t ready;
    /* The clients start streaming together, once every one has connected. */
    pthread_barrier_init(&ready, NULL, clients);
    for (int i = 0; i < clients; i++) {
        c[i].to = to[i % dests];
        c[i].bytes = total / clients + (i < total % clients);
        c[i].ready = &ready;
        pthread_create(&threads[i], NULL, run_client, &c[i]);
    }
    double start = 0, last = 0;
    int failed = 0;
    for (int i = 0; i < clients; i++) {
        pthread_join(threads[i], NULL);
        failed += !c[i].ok;
        if (i == 0 || c[i].begin < start)
            start = c[i].begin;
    }
    /* Each client's completion time, from the common start. */
    for (int i = 0; i < clients; i++) {
        double took = c[i].ok ? c[i].end - start : -1;
        if (took > last)
            last = took;
        printf("client %d %ld %.6f\n", i, c[i].bytes, took);
    }
    printf("done %ld %.6f %d\n", total, last, failed);
    return failed ? 1 : 0;
}
