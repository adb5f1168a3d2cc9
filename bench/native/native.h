/* Native Linux helpers of the benchmarks, built with the host's compiler by
 * scripts/bench.sh: the traffic generators the driver points at the receivers
 * under Wine, and the native receivers that give the platform's ceiling. */
#ifndef KESNET_BENCH_NATIVE_H
#define KESNET_BENCH_NATIVE_H

#include <netinet/in.h>
#include <stdatomic.h>

#define MAX_ADDRS 8

/* A monotonic clock, in seconds. */
double now_seconds(void);

/* "A.B.C.D:PORT" into *out; 0 if it is not one. */
int parse_endpoint(const char *text, struct sockaddr_in *out);

/* A socket of the given type with address reuse, bound to addr:port (network
 * order address, host order port); -1 on failure. */
int open_bound(int type, in_addr_t addr, int port);

/* What reached a native receiver, as the agent reports it. */
struct tally {
    atomic_llong count, bytes;
    _Atomic double first, last;
};
void tally_add(struct tally *t, long bytes);

/* Where a receiver serves: the same port on each address. */
struct where {
    in_addr_t addrs[MAX_ADDRS];
    int count;
    int port;
};

/* A native receiver kind: one thread per address, each serving until *stop. */
struct receiver_kind {
    const char *name;
    const char *proto;
    /* Opens the listening or receiving socket; -1 on failure. */
    int (*open)(in_addr_t addr, int port);
    /* Serves fd until *stop, counting into t. */
    void (*serve)(int fd, struct tally *t, atomic_int *stop);
};

extern const struct receiver_kind udp_receiver, tcp_receiver;

int run_agent(void);
int run_blast(int argc, char **argv);
int run_replay(int argc, char **argv);
int run_send_rate(int argc, char **argv);
int run_load(int argc, char **argv);

#endif
