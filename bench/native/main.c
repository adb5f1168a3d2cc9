/* bench_native: the native helpers of the benchmarks.
 *   bench_native agent                     the listen agent's protocol, natively
 *   bench_native blast SIZE COUNT RATE DEST:PORT...
 *                                          COUNT datagrams round the destinations
 *                                          at RATE a second (0: flat out)
 *   bench_native replay FILE RATE DEST:PORT...
 *                                          the same with the datagrams of FILE,
 *                                          each once (as bench_seal writes them)
 *   bench_native send-rate SIZE COUNT REPS  the native sendto rate, as samples
 *   bench_native load CLIENTS BYTES DEST:PORT...
 *                                          TCP clients streaming BYTES in all */
#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "native.h"

double now_seconds(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

int parse_endpoint(const char *text, struct sockaddr_in *out)
{
    char host[64];
    int port;
    if (sscanf(text, "%63[0-9.]:%d", host, &port) != 2 || port <= 0 || port > 65535)
        return 0;
    memset(out, 0, sizeof *out);
    out->sin_family = AF_INET;
    out->sin_port = htons((unsigned short)port);
    return inet_pton(AF_INET, host, &out->sin_addr) == 1;
}

int open_bound(int type, in_addr_t addr, int port)
{
    int fd = socket(AF_INET, type, 0);
    int one = 1;
    struct sockaddr_in local = {.sin_family = AF_INET, .sin_port = htons((unsigned short)port)};
    local.sin_addr.s_addr = addr;
    if (fd < 0)
        return -1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        bind(fd, (struct sockaddr *)&local, sizeof local) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void tally_add(struct tally *t, long bytes)
{
    double now = now_seconds();
    double none = 0;
    atomic_compare_exchange_strong(&t->first, &none, now);
    atomic_store(&t->last, now);
    atomic_fetch_add(&t->bytes, bytes);
    atomic_fetch_add(&t->count, 1);
}

int main(int argc, char **argv)
{
    if (argc >= 2 && strcmp(argv[1], "agent") == 0)
        return run_agent();
    if (argc >= 2 && strcmp(argv[1], "blast") == 0)
        return run_blast(argc - 2, argv + 2);
    if (argc >= 2 && strcmp(argv[1], "replay") == 0)
        return run_replay(argc - 2, argv + 2);
    if (argc >= 2 && strcmp(argv[1], "send-rate") == 0)
        return run_send_rate(argc - 2, argv + 2);
    if (argc >= 2 && strcmp(argv[1], "load") == 0)
        return run_load(argc - 2, argv + 2);
    fprintf(stderr, "usage: bench_native agent | blast SIZE COUNT RATE DEST:PORT... |\n"
                    "       replay FILE RATE DEST:PORT... | send-rate SIZE COUNT REPS |\n"
                    "       load CLIENTS BYTES DEST:PORT...\n");
    return 2;
}
