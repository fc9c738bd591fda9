"""Which of two links a per-flow balancer of the lab picks for a packet.

The lab's balancing router (PathSpec.balance) marks packets with nftables'
`jhash ip saddr . ip daddr . ip protocol . th sport . th dport mod 2 seed S`.
This module computes the same hash, so that a scenario can say beforehand
which probes of a train take the parallel link, and the lab can check it.
nftables concatenates the fields in 32-bit registers, each padded with zero
bytes to a multiple of four, and hashes them with the kernel's jhash; `mod 2`
takes the upper half of the 32-bit range as 1.
"""

from __future__ import annotations

import ipaddress
import struct

from train import LOAD_PORT, SOURCE_PORT, head_port, tail_port

MASK = 0xFFFFFFFF
JHASH_INITVAL = 0xDEADBEEF


def _rol(x: int, r: int) -> int:
    return ((x << r) | (x >> (32 - r))) & MASK


def jhash(key: bytes, initval: int) -> int:
    """The kernel's jhash() of key (include/linux/jhash.h), on a little-endian host."""
    length = len(key)
    a = b = c = (JHASH_INITVAL + length + initval) & MASK
    k = key
    while length > 12:
        a = (a + struct.unpack_from("<I", k, 0)[0]) & MASK
        b = (b + struct.unpack_from("<I", k, 4)[0]) & MASK
        c = (c + struct.unpack_from("<I", k, 8)[0]) & MASK
        # mix
        a = (a - c) & MASK; a ^= _rol(c, 4); c = (c + b) & MASK
        b = (b - a) & MASK; b ^= _rol(a, 6); a = (a + c) & MASK
        c = (c - b) & MASK; c ^= _rol(b, 8); b = (b + a) & MASK
        a = (a - c) & MASK; a ^= _rol(c, 16); c = (c + b) & MASK
        b = (b - a) & MASK; b ^= _rol(a, 19); a = (a + c) & MASK
        c = (c - b) & MASK; c ^= _rol(b, 4); b = (b + a) & MASK
        length -= 12
        k = k[12:]
    if length == 0:
        return c
    tail = k[:length] + bytes(12 - length)
    a = (a + struct.unpack_from("<I", tail, 0)[0]) & MASK
    b = (b + struct.unpack_from("<I", tail, 4)[0]) & MASK
    c = (c + struct.unpack_from("<I", tail, 8)[0]) & MASK
    # final
    c ^= b; c = (c - _rol(b, 14)) & MASK
    a ^= c; a = (a - _rol(c, 11)) & MASK
    b ^= a; b = (b - _rol(a, 25)) & MASK
    c ^= b; c = (c - _rol(b, 16)) & MASK
    a ^= c; a = (a - _rol(c, 4)) & MASK
    b ^= a; b = (b - _rol(a, 14)) & MASK
    c ^= b; c = (c - _rol(b, 24)) & MASK
    return c


def flow_key(src: str, dst: str, proto: int, transport4: bytes) -> bytes:
    """The registers the rule hashes: addresses, protocol, the two 16-bit
    transport fields, each padded to four bytes."""
    pad = bytes(2)
    return (ipaddress.IPv4Address(src).packed + ipaddress.IPv4Address(dst).packed + bytes([proto, 0, 0, 0])
            + transport4[0:2] + pad + transport4[2:4] + pad)


def branch(seed: int, src: str, dst: str, proto: int, transport4: bytes) -> int:
    """0: the packet keeps the link of the main route; 1: it takes the parallel link."""
    return (jhash(flow_key(src, dst, proto, transport4), seed) * 2) >> 32


def udp_branch(seed: int, src: str, dst: str, sport: int, dport: int) -> int:
    return branch(seed, src, dst, 17, struct.pack(">HH", sport, dport))


# The ICMP checksum of every flow-stable echo request of kovrin: type 8,
# code 0, identifier 31415, sequence number 43434 and the echo marker, with
# the payload's own words balanced out.
STABLE_ICMP_CHECKSUM = bytes([0x38, 0x57])


def train_branches(seed: int, src: str, dst: str, end: int, stable: bool = False,
                   icmp: bool = False) -> tuple[int, dict[int, tuple[int, int]]]:
    """The branch of kovrin's load block and, by TTL 1..end, of each head and
    tail packet, behind a balancer with this seed.  By default (UDP) each
    measurement packet's port is a flow of its own; a flow-stable train is
    one flow.  A default ICMP train's checksum changes with the send time,
    so only the flow-stable ICMP train can be told beforehand."""
    if icmp:
        if not stable:
            raise ValueError("a default ICMP train's flows follow its send times")
        b = branch(seed, src, dst, 1, bytes([8, 0]) + STABLE_ICMP_CHECKSUM)
        return b, {t: (b, b) for t in range(1, end + 1)}
    load = udp_branch(seed, src, dst, SOURCE_PORT, LOAD_PORT)
    if stable:
        return load, {t: (load, load) for t in range(1, end + 1)}
    return load, {t: (udp_branch(seed, src, dst, SOURCE_PORT, head_port(t)),
                      udp_branch(seed, src, dst, SOURCE_PORT, tail_port(t))) for t in range(1, end + 1)}
