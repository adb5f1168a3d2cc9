/* The listen agent's protocol (see bench/agent/listen_agent.cpp), served by
 * native receivers: one thread per address. */
#include <arpa/inet.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "native.h"

static const struct receiver_kind *const kinds[] = {&udp_receiver, &tcp_receiver};

struct running {
    const struct receiver_kind *kind;
    int fds[MAX_ADDRS];
    pthread_t threads[MAX_ADDRS];
    int count;
    atomic_int stop;
    struct tally tally;
};

struct serve_args {
    struct running *r;
    int fd;
};

static void *serve_thread(void *p)
{
    struct serve_args *a = p;
    a->r->kind->serve(a->fd, &a->r->tally, &a->r->stop);
    return NULL;
}

static void stop_running(struct running *r)
{
    atomic_store(&r->stop, 1);
    for (int i = 0; i < r->count; i++)
        pthread_join(r->threads[i], NULL);
    for (int i = 0; i < r->count; i++)
        close(r->fds[i]);
    r->count = 0;
    r->kind = NULL;
}

static int parse_where(const char *port, char *addrs, struct where *w)
{
    w->port = atoi(port);
    w->count = 0;
    for (char *a = strtok(addrs, ","); a != NULL && w->count < MAX_ADDRS; a = strtok(NULL, ","))
        if (inet_pton(AF_INET, a, &w->addrs[w->count++]) != 1)
            return 0;
    return w->count > 0 && w->port > 0;
}

static const char *start(struct running *r, const char *name, const struct where *w)
{
    static struct serve_args args[MAX_ADDRS];
    const struct receiver_kind *kind = NULL;
    for (size_t i = 0; i < sizeof kinds / sizeof kinds[0]; i++)
        if (strcmp(kinds[i]->name, name) == 0)
            kind = kinds[i];
    if (kind == NULL)
        return "no such receiver kind";
    if (r->kind != NULL)
        return "a receiver is running already";
    memset(&r->tally, 0, sizeof r->tally);
    atomic_store(&r->stop, 0);
    r->kind = kind;
    for (int i = 0; i < w->count; i++) {
        r->fds[i] = kind->open(w->addrs[i], w->port);
        if (r->fds[i] < 0) {
            stop_running(r);
            return "cannot open the port";
        }
        args[i].r = r;
        args[i].fd = r->fds[i];
        pthread_create(&r->threads[i], NULL, serve_thread, &args[i]);
        r->count++;
    }
    return NULL;
}

int run_agent(void)
{
    static struct running r;
    char line[1024];
    setvbuf(stdout, NULL, _IOLBF, 0);
    while (fgets(line, sizeof line, stdin) != NULL) {
        char command[32] = "", name[64] = "", port[16] = "", addrs[512] = "";
        sscanf(line, "%31s %63s %15s %511s", command, name, port, addrs);
        if (strcmp(command, "kinds") == 0) {
            for (size_t i = 0; i < sizeof kinds / sizeof kinds[0]; i++)
                printf("kind %s %s %d -\n", kinds[i]->name, kinds[i]->proto, MAX_ADDRS);
            printf("end\n");
        } else if (strcmp(command, "start") == 0) {
            struct where w;
            const char *why = parse_where(port, addrs, &w) ? start(&r, name, &w) : "bad address or port";
            if (why != NULL)
                printf("failed %s\n", why);
            else
                printf("ready\n");
        } else if (strcmp(command, "tally") == 0) {
            printf("tally %lld %lld %.6f %.6f\n", (long long)r.tally.count, (long long)r.tally.bytes,
                   (double)r.tally.first, (double)r.tally.last);
        } else if (strcmp(command, "stop") == 0) {
            double t = now_seconds();
            if (r.kind != NULL)
                stop_running(&r);
            printf("stopped %.6f\n", now_seconds() - t);
        } else if (strcmp(command, "quit") == 0) {
            break;
        } else if (command[0] != 0) {
            printf("failed unknown command %s\n", command);
        }
    }
    if (r.kind != NULL)
        stop_running(&r);
    return 0;
}
