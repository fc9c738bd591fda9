"""The catalogue of emulated paths: each scenario is a path description and
the answer a measurement across it should give.

A scenario is data only.  `path` is a PathSpec (see netlab.py): routers,
links by index (link j joins node j and node j + 1; node 0 is the host,
routers are 1..N, the destination is N + 1), router behaviour, loops and
split hops.  `expect` holds what a correct measurement reports:

  routers        the addresses of the hop lines, in order
  choke_hop      0-based hop index of the first router after the bottleneck
  rate_bit       the bottleneck's rate
  loop_addr      an address that the report names in a loop line
  split          (hop, first address, second address) of a hop answered twice
  loss           share of packets lost on the path
  added_rtt_ms   round-trip time that delay lines add
"""

from dataclasses import dataclass, field

from netlab import (BuiltPath, IcmpLimits, LinkSpec, PathSpec, RouterSpec, alt_addr, link_addr)

SEQ_BASE = 43434
MBIT = 1_000_000


@dataclass
class Scenario:
    name: str
    about: str
    path: PathSpec
    expect: dict = field(default_factory=dict)
    target: str = "dest"          # "dest" or "unreachable"


def chain_addrs(routers: int) -> list[str]:
    """Addresses of routers 1..N as they answer expired probes."""
    return [link_addr(k - 1, 1) for k in range(1, routers + 1)]


def tail_port(ttl: int) -> int:
    """UDP destination port of the prober's tail packet with this TTL."""
    return SEQ_BASE + 2 * ttl + 1


def _bottleneck() -> Scenario:
    # Seven routers; the link from router 4 to router 5 is a 10 Mbit/s
    # bottleneck, so four of the seven routers come before it.
    n, j = 7, 4
    return Scenario(
        name="bottleneck",
        about="7 routers, 10 Mbit/s tbf on the link from router 4 to router 5",
        path=PathSpec(routers=n, links={j: LinkSpec(rate_bit=10 * MBIT)}),
        expect={"routers": chain_addrs(n), "choke_hop": j, "rate_bit": 10 * MBIT})


def _loop() -> Scenario:
    # Router 3 sends the destination's traffic back to router 2: probes
    # bounce between the two and hop 3 is answered by router 2 again.
    return Scenario(
        name="loop",
        about="4 routers, router 3 routes the destination back to router 2",
        path=PathSpec(routers=4, loop_at=3),
        expect={"routers": chain_addrs(3), "loop_addr": link_addr(1, 1), "loop_hop": 3})


def _split() -> Scenario:
    # Router 3 is joined to router 2 twice; router 2 sends the tail probe of
    # TTL 3 over the second link and router 3 answers it from that link's
    # address (replies from the inbound interface), so hop 2 has two routers.
    k = 3
    return Scenario(
        name="split",
        about="5 routers, router 3 answers the TTL-3 tail probe from a second address",
        path=PathSpec(routers=5, split={k: [tail_port(k)]},
                      router_opts={k: RouterSpec(reply_from_inbound=True)}),
        expect={"routers": chain_addrs(5), "split": (k - 1, alt_addr(k - 1, 1), link_addr(k - 1, 1))})


def _unreachable() -> Scenario:
    # The same chain probed at an address nobody routes: the first router
    # answers "network unreachable" to everything and no TTL ever expires.
    return Scenario(
        name="unreachable",
        about="4 routers, destination that the first router has no route for",
        path=PathSpec(routers=4), target="unreachable", expect={"no_hops": True})


def _lossy() -> Scenario:
    return Scenario(
        name="lossy",
        about="3 routers, 20 % random loss on the link from router 1 to router 2",
        path=PathSpec(routers=3, links={1: LinkSpec(loss=0.2)}),
        expect={"routers": chain_addrs(3), "loss": 0.2})


def _delayed() -> Scenario:
    return Scenario(
        name="delayed",
        about="3 routers, a 20 ms delay line between router 2 and router 3",
        path=PathSpec(routers=3, links={2: LinkSpec(delay_ms=20.0)}),
        expect={"routers": chain_addrs(3), "added_rtt_ms": 40.0})


def _limited() -> Scenario:
    # Router 1 keeps the kernel's ICMP limits (1 s per destination after a
    # burst of 6, 1000/s and a burst of 50 for the namespace).
    return Scenario(
        name="limited",
        about="2 routers, router 1 with the kernel's default ICMP rate limits",
        path=PathSpec(routers=2, router_opts={1: RouterSpec(icmp=IcmpLimits(
            ratelimit_ms=1000, msgs_per_sec=1000, msgs_burst=50, ratemask=0x1818))}),
        expect={"routers": chain_addrs(2), "limited_router": 1})


def _two_bottlenecks() -> Scenario:
    # Not used by the integration tests: a start for the accuracy benchmark.
    return Scenario(
        name="two-bottlenecks",
        about="8 routers, 50 Mbit/s after router 2, 10 Mbit/s after router 6",
        path=PathSpec(routers=8, links={2: LinkSpec(rate_bit=50 * MBIT), 6: LinkSpec(rate_bit=10 * MBIT)}),
        expect={"routers": chain_addrs(8), "choke_hop": 6, "rate_bit": 10 * MBIT})


CATALOGUE = {s.name: s for s in (_bottleneck(), _loop(), _split(), _unreachable(), _lossy(), _delayed(),
                                  _limited(), _two_bottlenecks())}


def target_addr(scenario: Scenario, path: BuiltPath) -> str:
    return path.unreachable_addr if scenario.target == "unreachable" else path.dest_addr


ETH = 14            # tbf charges the IP length plus the Ethernet header
PROBE_FRAME = 60 + ETH


def expected_gap_us(load: int, size: int, rate_bit: int) -> float:
    """Time the bottleneck needs for the load block alone: load x (size + 14) x 8 / rate."""
    return load * (size + ETH) * 8 / rate_bit * 1e6


def train_gap_us(rate_bit: int, ttl: int, end: int = 30, load: int = 60, size: int = 500,
                 burst: int = 1600, echo: bool = True) -> float:
    """The gap of the hop with this TTL behind a single tbf bottleneck, for
    the prober's train.  Between the hop's head and tail packets the
    bottleneck carries the head packets of deeper hops, the load block, the
    tail packets of deeper hops and the tail itself; what is left of the
    bucket after the echo probes and the head passes at once."""
    deeper = max(end - ttl, 0)
    crossing = (2 * deeper + 1) * PROBE_FRAME + load * (size + ETH)
    left = max(burst - PROBE_FRAME - (5 * PROBE_FRAME if echo else 0), 0)
    return max(crossing - left, 0) * 8 / rate_bit * 1e6
