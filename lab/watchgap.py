#!/usr/bin/python3
"""Watch the prober's head and tail packet of one TTL arrive at a router.

    watchgap.py DEVICE TTL SECONDS

Runs inside a router's namespace (started by the lab as a helper) and prints
one JSON line with the kernel's arrival times of the UDP probes whose
destination port marks the head and the tail packet of that TTL
(train.head_port, train.tail_port): the gap as the router itself sees it,
free of anything that happens to its answers on the way back.  A socket
filter passes only those two packets up, so the watch costs the router's CPU
next to nothing.  Gives up after SECONDS.
"""

import json
import select
import socket
import struct
import sys
import time

from train import head_port, tail_port

ETH_P_IP = 0x0800
SO_ATTACH_FILTER = 26
SO_TIMESTAMPNS = getattr(socket, "SO_TIMESTAMPNS", 35)


def port_filter(head: int, tail: int) -> bytes:
    # On a SOCK_DGRAM packet socket the data starts at the IP header; the
    # probes carry no IP options, so the UDP destination port is at 22.
    code = [
        (0x30, 0, 0, 9),          # ldb [9]        protocol
        (0x15, 0, 4, 17),         # jeq #17        UDP, else drop
        (0x28, 0, 0, 22),         # ldh [22]       destination port
        (0x15, 1, 0, head),       # jeq head       accept
        (0x15, 0, 1, tail),       # jeq tail       accept, else drop
        (0x06, 0, 0, 0xFFFF),     # ret #65535
        (0x06, 0, 0, 0),          # ret #0
    ]
    return b"".join(struct.pack("HBBI", *c) for c in code)


def main() -> int:
    device, ttl, seconds = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
    head, tail = head_port(ttl), tail_port(ttl)
    sock = socket.socket(socket.AF_PACKET, socket.SOCK_DGRAM, socket.htons(ETH_P_IP))
    prog = port_filter(head, tail)
    import ctypes
    buf = ctypes.create_string_buffer(prog)
    fprog = struct.pack("HL", len(prog) // 8, ctypes.addressof(buf))
    sock.setsockopt(socket.SOL_SOCKET, SO_ATTACH_FILTER, fprog)
    sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
    # The address takes the protocol in host order (the socket call, in
    # network order).
    sock.bind((device, ETH_P_IP))
    print(json.dumps({"ready": True}), flush=True)
    seen = {}
    deadline = time.time() + seconds
    while len(seen) < 2 and time.time() < deadline:
        ready, _, _ = select.select([sock], [], [], max(deadline - time.time(), 0))
        if not ready:
            break
        data, anc, _, _ = sock.recvmsg(64, 64)
        stamp = None
        for level, kind, cdata in anc:
            if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS and len(cdata) >= 16:
                sec, nsec = struct.unpack("qq", cdata[:16])
                stamp = sec + nsec / 1e9
        if stamp is None or len(data) < 24:
            continue
        port = struct.unpack("!H", data[22:24])[0]
        seen.setdefault("head" if port == head else "tail", stamp)
    out = dict(seen)
    if "head" in seen and "tail" in seen:
        out["gap_us"] = (seen["tail"] - seen["head"]) * 1e6
    print(json.dumps(out), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
