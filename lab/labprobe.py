"""Small probes that prove a lab path before (and beside) the prober.

Run only through the lab's guard, inside a lab host namespace, as root:

    labprobe.py trace DST [--max-ttl N]      routers by TTL, head and tail ports
    labprobe.py train DST [-e E -l L -s S]   a packet train: per-hop gaps
    labprobe.py blast DST [-n N -s S --ttl T] N datagrams, count the answers
    labprobe.py rtt DST [-n N]               round-trip times to DST
    labprobe.py order DST [-n N -s S]        N datagrams back to back: how many answers come out of order

Every result is one JSON object on standard output.  Probes are UDP
datagrams sent with a chosen TTL to the prober's ports (train.py: head of
TTL t to head_port(t), tail to tail_port(t)); answers are read from a raw ICMP
socket with kernel arrival stamps (SO_TIMESTAMPNS), so reading them late
does not change their times.
"""

import argparse
import json
import select
import socket
import struct
import sys
import time

from train import LOAD_PORT, MEASURE_SIZE, head_port, port_ttl_side, tail_port

SO_TIMESTAMPNS = getattr(socket, "SO_TIMESTAMPNS", 35)


def parse_icmp(data):
    """(type, code, quoted dst, quoted sport, quoted dport) or None if too short."""
    if len(data) < 20:
        return None
    h = (data[0] & 0x0F) * 4
    if h < 20 or len(data) < h + 8:
        return None
    icmp_type, code = data[h], data[h + 1]
    q = h + 8
    if len(data) < q + 20:
        return (icmp_type, code, None, None, None)
    qh = (data[q] & 0x0F) * 4
    qdst = socket.inet_ntoa(data[q + 16:q + 20])
    if qh < 20 or len(data) < q + qh + 4:
        return (icmp_type, code, qdst, None, None)
    sport, dport = struct.unpack("!HH", data[q + qh:q + qh + 4])
    return (icmp_type, code, qdst, sport, dport)


class Receiver:
    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_ICMP)
        self.sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)

    def collect(self, quiet, limit=10.0):
        """All ICMP messages until `quiet` seconds pass without one: (time, src, parsed)."""
        out = []
        start = last = time.time()
        while time.time() - last < quiet and time.time() - start < limit:
            r, _, _ = select.select([self.sock], [], [], 0.05)
            if not r:
                continue
            data, anc, _, addr = self.sock.recvmsg(2048, 256)
            stamp = time.time()
            for level, kind, cdata in anc:
                if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS and len(cdata) >= 16:
                    sec, nsec = struct.unpack("qq", cdata[:16])
                    stamp = sec + nsec / 1e9
            parsed = parse_icmp(data)
            if parsed:
                out.append((stamp, addr[0], parsed))
            last = time.time()
        return out


def udp_sender():
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("0.0.0.0", 0))
    return s, s.getsockname()[1]


def send(s, dst, port, ttl, size):
    s.setsockopt(socket.IPPROTO_IP, socket.IP_TTL, ttl)
    s.sendto(bytes(max(size - 28, 0)), (dst, port))


def mine(replies, dst, sport):
    return [(t, src, p) for t, src, p in replies if p[2] == dst and p[3] == sport]


def cmd_trace(a):
    rx = Receiver()
    s, sport = udp_sender()
    for t in range(1, a.max_ttl + 1):
        send(s, a.dst, head_port(t), t, MEASURE_SIZE)
        send(s, a.dst, tail_port(t), t, MEASURE_SIZE)
        time.sleep(0.002)
    hops = {}
    for stamp, src, p in mine(rx.collect(a.wait), a.dst, sport):
        ttl, side = port_ttl_side(p[4])
        hops.setdefault(ttl, [None, None])[side] = {"src": src, "type": p[0], "code": p[1]}
    return {"dst": a.dst, "hops": [[t] + hops.get(t, [None, None]) for t in range(1, a.max_ttl + 1)]}


def cmd_train(a):
    rx = Receiver()
    s, sport = udp_sender()
    sent = []
    for t in range(1, a.e + 1):
        send(s, a.dst, head_port(t), t, MEASURE_SIZE)
    for _ in range(a.l):
        sent.append(time.time())
        send(s, a.dst, LOAD_PORT, 64, a.s)
    for t in range(a.e, 0, -1):
        send(s, a.dst, tail_port(t), t, MEASURE_SIZE)
    stamps = {}
    for stamp, src, p in mine(rx.collect(a.wait), a.dst, sport):
        if p[0] != 11:
            continue
        ttl, side = port_ttl_side(p[4])
        stamps.setdefault(ttl, {})[side] = (stamp, src)
    hops = []
    for t in range(1, a.e + 1):
        d = stamps.get(t, {})
        head, tail = d.get(0), d.get(1)
        gap = (tail[0] - head[0]) * 1e6 if head and tail else None
        hops.append({"ttl": t, "src": head[1] if head else (tail[1] if tail else None), "gap_us": gap})
    spread = (sent[-1] - sent[0]) * 1e6 if len(sent) > 1 else 0.0
    return {"dst": a.dst, "load": a.l, "size": a.s, "send_spread_us": spread, "hops": hops}


def cmd_blast(a):
    rx = Receiver()
    s, sport = udp_sender()
    for i in range(a.n):
        send(s, a.dst, 33000, a.ttl, a.s)
        if i % 50 == 49:
            time.sleep(0.002)   # stay below any shaping on the way
    # Port unreachable from the destination, or time exceeded with a low TTL.
    answers = [r for r in mine(rx.collect(a.wait, limit=30), a.dst, sport) if r[2][0] in (3, 11)]
    return {"dst": a.dst, "sent": a.n, "ttl": a.ttl, "answered": len(answers)}


def cmd_rtt(a):
    rx = Receiver()
    s, sport = udp_sender()
    rtts = []
    for i in range(a.n):
        t0 = time.time()
        send(s, a.dst, 33000 + i, 64, 60)
        got = [r for r in mine(rx.collect(0.3, limit=2), a.dst, sport) if r[2][4] == 33000 + i]
        if got:
            rtts.append((got[0][0] - t0) * 1e3)
    return {"dst": a.dst, "sent": a.n, "rtt_ms": rtts}


def cmd_order(a):
    # Datagram i goes to port 33000 + i; the destination's port-unreachable
    # answers quote it.  An answer is late when an answer to a later datagram
    # has arrived before it (reordering on the way out or back).
    rx = Receiver()
    s, sport = udp_sender()
    for i in range(a.n):
        send(s, a.dst, 33000 + i, 64, a.s)
    answers = [r for r in mine(rx.collect(a.wait, limit=30), a.dst, sport) if r[2][0] == 3]
    answers.sort(key=lambda r: r[0])
    late, highest = 0, -1
    for _, _, p in answers:
        i = p[4] - 33000
        if i < highest:
            late += 1
        highest = max(highest, i)
    return {"dst": a.dst, "sent": a.n, "answered": len(answers), "late": late}


def main(argv):
    p = argparse.ArgumentParser(prog="labprobe.py")
    sub = p.add_subparsers(dest="cmd", required=True)
    t = sub.add_parser("trace"); t.add_argument("dst"); t.add_argument("--max-ttl", type=int, default=10)
    t.add_argument("--wait", type=float, default=1.0)
    r = sub.add_parser("train"); r.add_argument("dst"); r.add_argument("-e", type=int, default=10)
    r.add_argument("-l", type=int, default=60); r.add_argument("-s", type=int, default=500)
    r.add_argument("--wait", type=float, default=1.0)
    b = sub.add_parser("blast"); b.add_argument("dst"); b.add_argument("-n", type=int, default=1000)
    b.add_argument("-s", type=int, default=100); b.add_argument("--wait", type=float, default=1.0)
    b.add_argument("--ttl", type=int, default=64)
    q = sub.add_parser("rtt"); q.add_argument("dst"); q.add_argument("-n", type=int, default=5)
    o = sub.add_parser("order"); o.add_argument("dst"); o.add_argument("-n", type=int, default=500)
    o.add_argument("-s", type=int, default=100); o.add_argument("--wait", type=float, default=1.0)
    a = p.parse_args(argv)
    result = {"trace": cmd_trace, "train": cmd_train, "blast": cmd_blast, "rtt": cmd_rtt, "order": cmd_order}[a.cmd](a)
    print(json.dumps(result))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
