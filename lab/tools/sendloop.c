/* A bare loop of sendto calls: the reference for how fast a block of
 * identical packets can leave the host namespace.
 *
 *   sendloop DST COUNT SIZE SPORT DPORT TTL
 *
 * Sends COUNT identical UDP datagrams of SIZE bytes (IP header included),
 * from port SPORT to port DPORT with TTL TTL, through a raw socket with
 * IP_HDRINCL, back to back, reading the wall clock before each send as the
 * prober does, and prints one line:
 *   count N size S median_us M mean_us A min_us L max_us H failed F
 * with the statistics of the intervals between consecutive send times.
 * The lab passes the prober's load-packet ports and TTL (lab/train.py,
 * netlab.sendloop_argv).  Run it only through the lab's guard (inside a lab
 * host namespace).
 */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

enum { max_count = 10000, max_size = 1500 };

static int cmp_double(const void *a, const void *b) {
    double x = *(const double *)a, y = *(const double *)b;
    return (x > y) - (x < y);
}

int main(int argc, char **argv) {
    if (argc != 7) {
        fprintf(stderr, "usage: sendloop DST COUNT SIZE SPORT DPORT TTL\n");
        return 2;
    }
    struct in_addr dst;
    if (!inet_aton(argv[1], &dst)) {
        fprintf(stderr, "sendloop: bad address %s\n", argv[1]);
        return 2;
    }
    int count = atoi(argv[2]), size = atoi(argv[3]);
    int sport = atoi(argv[4]), dport = atoi(argv[5]), ttl = atoi(argv[6]);
    if (count < 2 || count > max_count || size < 28 || size > max_size || sport < 1 || sport > 65535 ||
        dport < 1 || dport > 65535 || ttl < 1 || ttl > 255) {
        fprintf(stderr, "sendloop: count 2..%d, size 28..%d, ports 1..65535, ttl 1..255\n", max_count, max_size);
        return 2;
    }
    int fd = socket(AF_INET, SOCK_RAW, IPPROTO_UDP);
    if (fd < 0) { perror("socket"); return 1; }
    int one = 1;
    if (setsockopt(fd, IPPROTO_IP, IP_HDRINCL, &one, sizeof one) < 0) { perror("IP_HDRINCL"); return 1; }

    static unsigned char pkt[max_size];
    memset(pkt, 0, sizeof pkt);
    pkt[0] = 0x45;
    pkt[2] = (unsigned char)(size >> 8); pkt[3] = (unsigned char)size;
    pkt[8] = (unsigned char)ttl;
    pkt[9] = 17;
    memcpy(pkt + 16, &dst.s_addr, 4);      /* source 0: the kernel fills it in */
    pkt[20] = (unsigned char)(sport >> 8); pkt[21] = (unsigned char)(sport & 0xff);
    pkt[22] = (unsigned char)(dport >> 8); pkt[23] = (unsigned char)(dport & 0xff);
    pkt[24] = (unsigned char)((size - 20) >> 8); pkt[25] = (unsigned char)(size - 20);
    /* UDP checksum 0: none. */

    struct sockaddr_in to;
    memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_addr = dst;

    static double t[max_count];
    int failed = 0;
    for (int i = 0; i < count; i++) {
        struct timeval tv;
        gettimeofday(&tv, NULL);
        t[i] = (double)tv.tv_sec + (double)tv.tv_usec / 1e6;
        if (sendto(fd, pkt, (size_t)size, 0, (struct sockaddr *)&to, sizeof to) < 0) failed++;
    }
    static double d[max_count];
    double sum = 0;
    for (int i = 1; i < count; i++) { d[i - 1] = (t[i] - t[i - 1]) * 1e6; sum += d[i - 1]; }
    qsort(d, (size_t)(count - 1), sizeof d[0], cmp_double);
    printf("count %d size %d median_us %.3f mean_us %.3f min_us %.3f max_us %.3f failed %d\n",
           count, size, d[(count - 1) / 2], sum / (count - 1), d[0], d[count - 2], failed);
    close(fd);
    return failed == count ? 1 : 0;
}
