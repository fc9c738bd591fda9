#!/usr/bin/env python3
"""Seeds of reply_fuzz: hex text, one input a file, with a comment line per
record.

    reply_seeds.py write DIR     write the seeds as DIR/*.hex
    reply_seeds.py binary SRC DST  turn SRC/*.hex into DST/* (the fuzzer's corpus)

The runs these seeds describe are the fuzz harness's: destination 10.0.2.1,
identification base 0xA345 (the fake platform layer's process id 0x12345 |
0x8000), probe numbers from 43434.
"""
import struct
import sys
from pathlib import Path

DST = bytes([10, 0, 2, 1])
ID_BASE = 0xA345
SEQ_BASE = 43434
PORT = 31415
O, X, D, T, C, P, ECHO = 1, 2, 4, 8, 16, 32, 64


def ip_header(src, proto=1, options=b""):
    ihl = 5 + len(options) // 4
    h = bytearray(20)
    h[0] = 0x40 | ihl
    h[9] = proto
    h[12:16] = bytes(src)
    h[16:20] = bytes([10, 0, 2, 9])
    return bytes(h) + options


def quoted_probe(index, icmp=False, proto=None, id_base=ID_BASE):
    q = bytearray(20)
    q[0] = 0x45
    q[9] = proto if proto is not None else (1 if icmp else 17)
    q[4:6] = struct.pack("<H", (id_base + index) & 0xFFFF)  # host byte order, as sent
    q[16:20] = DST
    if icmp:
        t = struct.pack(">BBHHH", 8, 0, 0, PORT, (SEQ_BASE + index) & 0xFFFF)
    else:
        t = struct.pack(">HHHH", PORT, (SEQ_BASE + index) & 0xFFFF, 40, 0)
    return bytes(q) + t


def time_exceeded(router, index, icmp=False, options=b"", **kw):
    return ip_header(router, options=options) + bytes([11, 0, 0, 0, 0, 0, 0, 0]) + \
        quoted_probe(index, icmp, **kw)


def router(k):
    return [10, 0, 1, k]


def record(datagram, ready_ms, arrival_us, note, length=None):
    n = len(datagram) if length is None else length
    return note, struct.pack(">HHI", n, ready_ms, arrival_us) + datagram


def hops(e, icmp=False, tail_after_us=2000, step_us=100):
    """Head and tail replies of hops 0..e-1, in arrival order."""
    out = []
    for t in range(1, e + 1):
        out.append(record(time_exceeded(router(t), 2 * t, icmp), 400, 1000 + t * step_us,
                          f"head reply of TTL {t}"))
    for t in range(e, 0, -1):
        out.append(record(time_exceeded(router(t), 2 * t + 1, icmp), 450, 1000 + tail_after_us + t * step_us,
                          f"tail reply of TTL {t}"))
    return out


def seeds():
    yield "udp-o-t-echo", O | T | ECHO, 3, hops(3)
    yield "icmp", O | C, 3, hops(3, icmp=True)
    yield "planetlab-d-x", P | D | X, 2, hops(2)
    opts = bytes([1, 1, 1, 0])  # NOP NOP NOP EOL
    yield "ip-options", O, 2, [
        record(time_exceeded(router(1), 2, options=opts), 400, 1100, "head, outer header with options"),
        record(time_exceeded(router(1), 3, options=opts * 10), 450, 3100, "tail, 60-byte outer header"),
        record(time_exceeded(router(2), 4), 400, 1200, "head of TTL 2"),
        record(time_exceeded(router(2), 5), 450, 3200, "tail of TTL 2"),
    ]
    te = time_exceeded(router(1), 2)
    yield "truncated", O | D, 2, [
        record(te[:n], 400, 1000 + n, f"head of TTL 1 cut to {n} bytes") for n in (0, 1, 19, 20, 21, 28, 47, 48, 51, 52)
    ] + [record(te, 400, 2000, "length field beyond the input", length=600)]
    huge = bytearray(te)
    huge[0] = 0x4F
    yield "huge-header-length", O, 1, [
        record(bytes(huge), 400, 1000, "IHL 15 in a 56-byte datagram"),
        record(bytes(huge) + bytes(60), 400, 1100, "IHL 15, room for the quoted header"),
    ]
    yield "quoted-echo-probe", O, 3, [
        record(time_exceeded(router(3), 2 * 3 + 60 + 3, proto=1, icmp=True), 400, 1000,
               "an echo probe of the run expired: quoted protocol ICMP in UDP mode"),
        record(time_exceeded(router(1), 0), 400, 1001, "a load packet expired (index 0)"),
        record(time_exceeded(router(1), 2, id_base=0x1111), 400, 1002, "another run's identification"),
    ] + hops(3)
    yield "loop-and-route-change", O | D | X, 4, hops(2) + [
        record(time_exceeded(router(1), 6), 460, 5000, "router 1 again at TTL 3: a loop"),
        record(time_exceeded(router(9), 5), 460, 5100, "TTL 2 tail from a second address"),
        record(time_exceeded(router(2), 5), 460, 5200, "TTL 2 tail again: a duplicate"),
        record(time_exceeded(router(4), 8), 460, 5300, "head of TTL 4, no tail"),
    ]
    yield "clock-step", O | T, 2, [
        record(time_exceeded(router(1), 2), 400, 1000, "head of TTL 1"),
        record(time_exceeded(router(1), 3), 450, 4000000000, "tail 4000 s later: a clock step"),
        record(time_exceeded(router(2), 4), 400, 4000000000, "head of TTL 2, late"),
        record(time_exceeded(router(2), 5), 450, 1200, "tail of TTL 2 before its head"),
    ]


def write(directory):
    d = Path(directory)
    d.mkdir(parents=True, exist_ok=True)
    for name, options, e, records in seeds():
        lines = [f"# settings: options 0x{options:02x}, end_pkt_num {e}", f"{options:02x} {e:02x}"]
        for note, b in records:
            lines.append(f"# {note}")
            lines.append(b.hex(" "))
        (d / f"{name}.hex").write_text("\n".join(lines) + "\n")


def binary(src, dst):
    out = Path(dst)
    out.mkdir(parents=True, exist_ok=True)
    for f in sorted(Path(src).glob("*.hex")):
        text = "".join(line for line in f.read_text().splitlines() if not line.startswith("#"))
        (out / f.stem).write_bytes(bytes.fromhex(text))


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "write":
        write(sys.argv[2])
    elif len(sys.argv) == 4 and sys.argv[1] == "binary":
        binary(sys.argv[2], sys.argv[3])
    else:
        sys.exit(__doc__)
