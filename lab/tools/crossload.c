/* Cross traffic: a paced stream of UDP datagrams that stops by itself.
 *
 *   crossload DST RATE_BIT SIZE SECONDS MAX_PACKETS
 *
 * Sends SIZE-byte datagrams (IP header included) to DST port 9 at RATE_BIT,
 * counting each as an Ethernet frame of SIZE + 14 bytes as a shaper does,
 * on absolute deadlines of a monotonic clock (a late packet does not push
 * the later ones back). It stops after SECONDS or MAX_PACKETS, whichever
 * comes first, or on SIGTERM/SIGINT, and prints one line:
 *   sent N seconds S rate_bit R failed F
 * The bounds are hard: at most 60 s, 2 000 000 packets and 1 Gbit/s.
 * The lab runs it only through its guard, inside a namespace of a lab path.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

enum { max_packets = 2000000, max_size = 1500, min_size = 28, eth_header = 14 };
static const double max_seconds = 60.0;
static const double max_rate = 1e9;

static volatile sig_atomic_t stop;

static void on_signal(int sig) { (void)sig; stop = 1; }

static int64_t now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

int main(int argc, char **argv) {
    if (argc != 6) {
        fprintf(stderr, "usage: crossload DST RATE_BIT SIZE SECONDS MAX_PACKETS\n");
        return 2;
    }
    struct sockaddr_in to;
    memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = htons(9);
    if (!inet_aton(argv[1], &to.sin_addr)) { fprintf(stderr, "crossload: bad address %s\n", argv[1]); return 2; }
    double rate = atof(argv[2]), seconds = atof(argv[4]);
    long size = atol(argv[3]), limit = atol(argv[5]);
    if (!(rate > 0 && rate <= max_rate) || size < min_size || size > max_size || !(seconds > 0 && seconds <= max_seconds)
        || limit < 1 || limit > max_packets) {
        fprintf(stderr, "crossload: rate (0, %.0f] bit/s, size %d..%d, seconds (0, %.0f], packets 1..%d\n",
                max_rate, min_size, max_size, max_seconds, max_packets);
        return 2;
    }
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) { perror("socket"); return 1; }
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigaction(SIGTERM, &sa, NULL);
    sigaction(SIGINT, &sa, NULL);
    prctl(PR_SET_TIMERSLACK, 1UL);

    static unsigned char payload[max_size];
    size_t len = (size_t)(size - min_size);
    int64_t interval = (int64_t)((double)(size + eth_header) * 8.0 / rate * 1e9);
    int64_t start = now_ns(), end = start + (int64_t)(seconds * 1e9);
    long sent = 0, failed = 0;
    while (!stop && sent + failed < limit) {
        int64_t due = start + (sent + failed) * interval;
        if (due >= end) break;
        struct timespec ts = { (time_t)(due / 1000000000), (long)(due % 1000000000) };
        if (due > now_ns()) clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, NULL);
        if (stop) break;
        if (sendto(fd, payload, len, 0, (struct sockaddr *)&to, sizeof to) < 0) failed++;
        else sent++;
    }
    double took = (double)(now_ns() - start) / 1e9;
    printf("sent %ld seconds %.3f rate_bit %.0f failed %ld\n", sent, took,
           took > 0 ? (double)sent * (double)(size + eth_header) * 8.0 / took : 0.0, failed);
    close(fd);
    return 0;
}
