/* A delay line: an invisible two-port element spliced into a lab link.
 *
 *   delayline IF_A IF_B DELAY_MS [JITTER_MS [JITTER_SHARE]]
 *
 * Reads every Ethernet frame that arrives on IF_A or IF_B (packet sockets)
 * and sends it out of the other interface DELAY_MS later, plus a random
 * 0..JITTER_MS for a random JITTER_SHARE of the frames (all by default);
 * with jitter, frames leave in order of their own release time, so a jitter
 * larger than the spacing of a burst reorders it: a frame that gets the
 * extra delay is overtaken by the frames behind it.
 * The frames are passed on unchanged (no TTL decrement, no address of its
 * own): the link just gets longer.  This machine's kernel has no netem, so
 * this is how the lab adds delay.  It runs inside a lab namespace that holds
 * only the two interfaces, until it is killed.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

enum { slots = 16384, frame_max = 2048 };

struct Slot {
    int64_t due_ns;
    uint64_t seq;       /* keeps equal release times in arrival order */
    int out;            /* index of the interface to send on */
    int len;
    unsigned char data[frame_max];
};

static struct Slot pool[slots];
static int free_list[slots], free_top;
static int heap[slots], heap_len;

static int before(int a, int b) {
    if (pool[a].due_ns != pool[b].due_ns) return pool[a].due_ns < pool[b].due_ns;
    return pool[a].seq < pool[b].seq;
}

static void heap_push(int s) {
    int i = heap_len++;
    heap[i] = s;
    while (i > 0 && before(heap[i], heap[(i - 1) / 2])) {
        int p = (i - 1) / 2, t = heap[p];
        heap[p] = heap[i]; heap[i] = t; i = p;
    }
}

static int heap_pop(void) {
    int top = heap[0];
    heap[0] = heap[--heap_len];
    int i = 0;
    for (;;) {
        int l = 2 * i + 1, r = l + 1, m = i;
        if (l < heap_len && before(heap[l], heap[m])) m = l;
        if (r < heap_len && before(heap[r], heap[m])) m = r;
        if (m == i) break;
        int t = heap[m]; heap[m] = heap[i]; heap[i] = t; i = m;
    }
    return top;
}

static int64_t now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

static int open_port(const char *name) {
    int fd = socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL));
    if (fd < 0) { perror("socket"); exit(1); }
    struct sockaddr_ll sll;
    memset(&sll, 0, sizeof sll);
    sll.sll_family = AF_PACKET;
    sll.sll_protocol = htons(ETH_P_ALL);
    sll.sll_ifindex = (int)if_nametoindex(name);
    if (sll.sll_ifindex == 0) { fprintf(stderr, "delayline: no interface %s\n", name); exit(1); }
    if (bind(fd, (struct sockaddr *)&sll, sizeof sll) < 0) { perror("bind"); exit(1); }
    int one = 1;
    /* Our own sends must not come back to us as input. */
    if (setsockopt(fd, SOL_PACKET, PACKET_IGNORE_OUTGOING, &one, sizeof one) < 0) {
        perror("PACKET_IGNORE_OUTGOING"); exit(1);
    }
    int buf = 8 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buf, sizeof buf);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buf, sizeof buf);
    return fd;
}

int main(int argc, char **argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: delayline IF_A IF_B DELAY_MS [JITTER_MS [JITTER_SHARE]]\n");
        return 2;
    }
    int64_t delay = (int64_t)(atof(argv[3]) * 1e6);
    int64_t jitter = argc > 4 ? (int64_t)(atof(argv[4]) * 1e6) : 0;
    double share = argc > 5 ? atof(argv[5]) : 1.0;
    if (delay < 0 || jitter < 0) { fprintf(stderr, "delayline: negative delay\n"); return 2; }
    if (!(share > 0.0 && share <= 1.0)) { fprintf(stderr, "delayline: jitter share must be in (0, 1]\n"); return 2; }
    prctl(PR_SET_TIMERSLACK, 1UL);   /* wake up on time, not 50 us late */
    srand48((long)now_ns());
    int fd[2] = { open_port(argv[1]), open_port(argv[2]) };
    for (int i = 0; i < slots; i++) free_list[i] = slots - 1 - i;
    free_top = slots;
    uint64_t seq = 0;
    unsigned long dropped = 0;

    for (;;) {
        int64_t now = now_ns();
        while (heap_len > 0 && pool[heap[0]].due_ns <= now) {
            int s = heap_pop();
            if (send(fd[pool[s].out], pool[s].data, (size_t)pool[s].len, 0) < 0 && errno != ENOBUFS)
                perror("send");
            free_list[free_top++] = s;
        }
        struct pollfd p[2] = { { fd[0], POLLIN, 0 }, { fd[1], POLLIN, 0 } };
        struct timespec ts, *tsp = NULL;
        if (heap_len > 0) {
            int64_t wait = pool[heap[0]].due_ns - now_ns();
            if (wait < 0) wait = 0;
            ts.tv_sec = wait / 1000000000; ts.tv_nsec = wait % 1000000000;
            tsp = &ts;
        }
        if (ppoll(p, 2, tsp, NULL) < 0 && errno != EINTR) { perror("ppoll"); return 1; }
        for (int i = 0; i < 2; i++) {
            if (!(p[i].revents & POLLIN)) continue;
            for (;;) {
                if (free_top == 0) {   /* the line is full: drop, as a full queue would */
                    unsigned char scratch[frame_max];
                    if (recv(fd[i], scratch, sizeof scratch, MSG_DONTWAIT) < 0) break;
                    dropped++;
                    continue;
                }
                int s = free_list[free_top - 1];
                ssize_t n = recv(fd[i], pool[s].data, frame_max, MSG_DONTWAIT);
                if (n <= 0) break;
                free_top--;
                pool[s].len = (int)n;
                pool[s].out = 1 - i;
                pool[s].seq = seq++;
                int64_t extra = 0;
                if (jitter > 0 && (share >= 1.0 || drand48() < share))
                    extra = (int64_t)(drand48() * (double)jitter);
                pool[s].due_ns = now_ns() + delay + extra;
                heap_push(s);
            }
        }
    }
}
