"""Path descriptions: what a lab path is made of, as data.

A path is a chain host - router 1 .. router N - destination.  Link j joins
node j and node j + 1, where node 0 is the host, nodes 1..N are the routers
and node N + 1 is the destination.  `PathSpec` describes one (links,
routers, loops, split and alternating hops, cross traffic), `BuiltPath` is
one that a Lab has built (its namespace names), and the address plan below
says which address every interface of it holds.  Nothing here runs a
command.
"""

from __future__ import annotations

from dataclasses import dataclass, field


class LabError(RuntimeError):
    """Raised when the lab cannot build or drive a path."""


# Address plan.  Link j is 10.73.j.0/24: node j holds .1, node j + 1 holds .2.
# A parallel link beside link j is 10.74.j.0/24.  The destination answers on
# 10.75.0.1 (a /32 on its loopback); 10.76.0.0/16 is routed by nobody, so a
# probe to it dies at the first router with "network unreachable".
LINK_NET = "10.73"
ALT_NET = "10.74"
DEST_ADDR = "10.75.0.1"
DEST_NET = "10.75.0.0/16"
UNREACHABLE_ADDR = "10.76.0.1"
# Cross traffic goes to 10.77.0.0/16: the node that sends it routes the net
# over the shaped link, and the node at the link's far end has a blackhole
# route for it, so the packets cross the link and vanish without any answer.
CROSS_NET = "10.77.0.0/16"
CROSS_SINK = "10.77.0.1"

# tbf defaults.  tbf charges each packet its Ethernet frame length (IP total
# length + 14), and its bucket must hold the largest frame that crosses the
# link (tc rounds the bucket through its time tables, 1514 comes back as
# 1513, so leave some room).  The bucket is a trade: what it holds passes at
# line rate when the head of a load block arrives, which shortens every gap
# behind the link, while a bucket of a single frame cannot make up for a
# late tbf timer, which lengthens them at high rates.  Measured at the
# router after the link (lab/watchgap.py), against the ideal gap:
#   1600 bytes: 10 Mbit/s -5.5 %  (about 1.1 kB passes at once)
#    600 bytes: 10 Mbit/s -0.3 %, 50 Mbit/s +10 %, 100 Mbit/s +42 %
#   1100 bytes: 10 Mbit/s -1.7 %, 50 Mbit/s -2.1 %, 100 Mbit/s +2 %
# so the default is 1100 bytes: two load frames of the default train (514
# bytes each; measurement frames are 74).  A path for load packets above 580
# bytes needs LinkSpec(burst=1600).  The queue limit holds the longest train
# the prober can send (1126 packets of at most 1514 bytes = 1 704 764 bytes),
# so the bottleneck queues the load block instead of dropping it.
TBF_BURST = 1100
TBF_MIN_BURST = 600
TBF_LIMIT = 2_000_000
ETH_HEADER = 14            # what tbf adds to a packet's IP total length

# Hard bounds of the cross-traffic sender (tools/crossload.c refuses more).
CROSS_MAX_SECONDS = 60.0
CROSS_MAX_PACKETS = 2_000_000
CROSS_MAX_RATE = 1_000_000_000


@dataclass
class LinkSpec:
    """What happens to traffic on one link, in the direction of the destination."""
    rate_bit: int | None = None   # tbf rate in bit/s (None: not shaped)
    burst: int = TBF_BURST        # tbf bucket, bytes
    limit: int = TBF_LIMIT        # tbf queue, bytes
    loss: float = 0.0             # share of IPv4 packets dropped at random
    delay_ms: float = 0.0         # one-way delay of a delay line spliced into the link (both directions)
    jitter_ms: float = 0.0        # extra random delay 0..jitter per packet (reorders packets)
    jitter_share: float = 1.0     # share of the frames that get the extra delay (the others only delay_ms)
    dup: float = 0.0              # share of IPv4 packets sent twice (a copy is again copied with this share)

    @property
    def delayed(self) -> bool:
        return self.delay_ms > 0 or self.jitter_ms > 0


@dataclass
class IcmpLimits:
    """The per-namespace ICMP rate limits of a router (None keeps the kernel default).

    `off()` lifts every limit, so that each expired probe is answered."""
    ratelimit_ms: int | None = None     # net.ipv4.icmp_ratelimit (per destination)
    msgs_per_sec: int | None = None     # net.ipv4.icmp_msgs_per_sec (whole namespace)
    msgs_burst: int | None = None       # net.ipv4.icmp_msgs_burst
    ratemask: int | None = None         # net.ipv4.icmp_ratemask (which types are limited)

    @staticmethod
    def kernel() -> "IcmpLimits":
        # The Linux defaults: 1000 ms per destination (a burst of 6, then one
        # per second), 1000 messages per second and a burst of 50 for the
        # namespace, limited types 3, 4, 11 and 12.
        return IcmpLimits(ratelimit_ms=1000, msgs_per_sec=1000, msgs_burst=50, ratemask=0x1818)

    @staticmethod
    def off() -> "IcmpLimits":
        # A zero ratemask exempts every type from both limiters; the other
        # values are lifted too so that the setting reads plainly.
        return IcmpLimits(ratelimit_ms=0, msgs_per_sec=1_000_000, msgs_burst=1_000_000, ratemask=0)

    def sysctls(self) -> dict[str, int]:
        out = {}
        for key, value in (("icmp_ratelimit", self.ratelimit_ms), ("icmp_msgs_per_sec", self.msgs_per_sec),
                           ("icmp_msgs_burst", self.msgs_burst), ("icmp_ratemask", self.ratemask)):
            if value is not None:
                out["net.ipv4." + key] = value
        return out


@dataclass
class RouterSpec:
    icmp: IcmpLimits = field(default_factory=IcmpLimits.off)
    # Answer ICMP errors from the address of the interface the packet came in
    # on (many routers do); with a parallel link this gives two addresses.
    reply_from_inbound: bool = False
    # Send no ICMP message at all (an nftables rule drops every ICMP packet
    # the router itself sends): its hop never answers, packets still pass.
    silent: bool = False


@dataclass
class CrossSpec:
    """Cross traffic over link `link`: a paced UDP sender in node `link` sends
    `size`-byte datagrams at `rate_bit` (Ethernet frames counted, as tbf
    does) to CROSS_SINK, which node link + 1 drops silently.  It starts
    `settle_s` before the program run across the path, so that the shaped
    queue has reached its steady state, and stops by itself after `max_s`
    seconds at the latest (the lab also ends it when the program exits)."""
    link: int
    rate_bit: int
    size: int = 500
    settle_s: float = 0.5
    max_s: float = 10.0

    def interval_us(self) -> float:
        return (self.size + ETH_HEADER) * 8 / self.rate_bit * 1e6


@dataclass
class PathSpec:
    """A chain host - router 1 .. router N - destination.

    links:       LinkSpec by link index 0..routers (link j joins node j and j + 1).
    router_opts: RouterSpec by router number 1..routers (default: limits off).
    loop_at:     router k routes the destination back to router k - 1, so
                 probes bounce between the two until their TTL runs out.
    split:       router k -> UDP destination ports: router k is also joined to
                 router k - 1 by a parallel link, probes to those ports take it,
                 and router k answers them from that link's address.
    alternate:   router k is joined to router k - 1 by a parallel link and
                 router k - 1 sends every other packet towards the
                 destination over it (strict round robin); router k answers
                 from the address of the link a packet came in on.
    balance:     router k is joined to router k - 1 by a parallel link
                 (`balance_link`, shaped on its own) and router k - 1 spreads
                 the traffic towards the destination over the two per flow:
                 a hash (seeded with `balance_seed`) of the addresses, the
                 protocol and the first four transport bytes (the UDP ports;
                 for ICMP type, code and checksum) picks the link, so every
                 packet of one flow takes the same one.  Whether router k
                 answers from the inbound link's address is its RouterSpec's.
    cross:       cross traffic over one link (see CrossSpec).
    rps:         steer the routers' receive processing to ROUTER_CPU.
    """
    routers: int
    links: dict[int, LinkSpec] = field(default_factory=dict)
    router_opts: dict[int, RouterSpec] = field(default_factory=dict)
    loop_at: int | None = None
    split: dict[int, list[int]] = field(default_factory=dict)
    alternate: int | None = None
    balance: int | None = None
    balance_link: LinkSpec = field(default_factory=LinkSpec)
    balance_seed: int = 0
    cross: CrossSpec | None = None
    rps: bool = True

    def link(self, j: int) -> LinkSpec:
        return self.links.get(j, LinkSpec())

    def router(self, k: int) -> RouterSpec:
        rs = self.router_opts.get(k, RouterSpec())
        if k == self.alternate and not rs.reply_from_inbound:
            rs = RouterSpec(icmp=rs.icmp, reply_from_inbound=True, silent=rs.silent)
        return rs

    def parallel(self) -> list[int]:
        """Routers joined to their predecessor by a second link."""
        return sorted(set(self.split) | {k for k in (self.alternate, self.balance) if k is not None})

    def marked(self) -> int | None:
        """The router whose predecessor marks the packets that take the
        parallel link (alternating or balancing), or None."""
        return self.alternate if self.alternate is not None else self.balance

    def validate(self) -> None:
        n = self.routers
        if n < 1 or n > 200:
            raise LabError(f"routers must be 1..200, not {n}")
        for j, spec in self.links.items():
            if not 0 <= j <= n:
                raise LabError(f"link {j} outside 0..{n}")
            if spec.rate_bit is not None and spec.rate_bit <= 0:
                raise LabError(f"link {j}: rate must be positive")
            if not 0.0 <= spec.loss < 1.0:
                raise LabError(f"link {j}: loss must be in [0, 1)")
            if spec.delay_ms < 0 or spec.jitter_ms < 0:
                raise LabError(f"link {j}: delay and jitter must not be negative")
            if spec.burst < TBF_MIN_BURST:
                raise LabError(f"link {j}: burst {spec.burst} cannot pass the train's load frames")
            if not 0.0 <= spec.dup < 1.0:
                raise LabError(f"link {j}: dup must be in [0, 1)")
            if not 0.0 < spec.jitter_share <= 1.0:
                raise LabError(f"link {j}: jitter_share must be in (0, 1]")
        for k in list(self.router_opts) + list(self.split):
            if not 1 <= k <= n:
                raise LabError(f"router {k} outside 1..{n}")
        if self.loop_at is not None and not 2 <= self.loop_at <= n:
            raise LabError(f"loop_at must be a router 2..{n}")
        for k in self.split:
            if k < 2:
                raise LabError("split needs a router before the split one")
        if self.alternate is not None:
            if not 2 <= self.alternate <= n:
                raise LabError(f"alternate must be a router 2..{n}")
            if self.alternate in self.split:
                raise LabError("a router cannot both split and alternate")
        if self.balance is not None:
            if not 2 <= self.balance <= n:
                raise LabError(f"balance must be a router 2..{n}")
            if self.balance in self.split or self.alternate is not None:
                raise LabError("a balancing router cannot also split or alternate")
            if not 0 <= self.balance_seed < 2**32:
                raise LabError("balance_seed must be a 32-bit number")
            b = self.balance_link
            if b.loss or b.dup or b.delayed:
                raise LabError("the balanced parallel link takes only a rate")
        if self.cross is not None:
            c = self.cross
            if not 1 <= c.link <= n:
                raise LabError(f"cross traffic must leave from a router: link 1..{n}, not {c.link}")
            if not 0 < c.rate_bit <= CROSS_MAX_RATE:
                raise LabError(f"cross rate must be in (0, {CROSS_MAX_RATE}]")
            if not 28 <= c.size <= 1500:
                raise LabError("cross packet size must be 28..1500")
            if not 0 < c.max_s <= CROSS_MAX_SECONDS or c.settle_s < 0 or c.settle_s >= c.max_s:
                raise LabError(f"cross duration must be in (settle, {CROSS_MAX_SECONDS}] s")
            if c.max_s * 1e6 / c.interval_us() > CROSS_MAX_PACKETS:
                raise LabError(f"cross traffic would send more than {CROSS_MAX_PACKETS} packets")


def link_addr(j: int, side: int) -> str:
    """Address on link j: side 0 is node j, side 1 is node j + 1."""
    return f"{LINK_NET}.{j}.{1 + side}"


def alt_addr(j: int, side: int) -> str:
    return f"{ALT_NET}.{j}.{1 + side}"


@dataclass
class BuiltPath:
    spec: PathSpec
    tag: str
    host: str                    # namespace names
    routers: list[str]
    dest: str
    delay_ns: dict[int, str] = field(default_factory=dict)
    cross_log: list[str] = field(default_factory=list)   # summary lines of the cross sender's runs

    @property
    def dest_addr(self) -> str:
        return DEST_ADDR

    @property
    def unreachable_addr(self) -> str:
        return UNREACHABLE_ADDR

    def router_addr(self, k: int) -> str:
        """The address router k (1-based) answers expired probes from."""
        return link_addr(k - 1, 1)

    def split_addr(self, k: int) -> str:
        return alt_addr(k - 1, 1)

    def node_ns(self, node: int) -> str:
        if node == 0:
            return self.host
        if node <= len(self.routers):
            return self.routers[node - 1]
        return self.dest

