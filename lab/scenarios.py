"""The catalogue of emulated paths: each scenario is a path description and
the answer a measurement across it should give.

A scenario is data only.  `path` is a PathSpec (see pathspec.py): routers,
links by index (link j joins node j and node j + 1; node 0 is the host,
routers are 1..N, the destination is N + 1), router behaviour, loops,
split and alternating hops, cross traffic.  `kind` groups the scenarios of
the accuracy table ("single", "two", "delay", "loss", "reorder", "dup",
"cross", "fault", "balance"); `kovrin_args` are options the scenario needs on every
kovrin run (before the destination).  `expect` is what a correct
measurement reports (an Expect, see expect.py, which also holds the one
check of a report against it).
"""

from dataclasses import dataclass, field

from expect import SILENT, Expect
from pathspec import BuiltPath, CrossSpec, IcmpLimits, LinkSpec, PathSpec, RouterSpec, alt_addr, link_addr
from train import END, tail_port

MBIT = 1_000_000


@dataclass
class Scenario:
    name: str
    about: str
    path: PathSpec
    expect: Expect = field(default_factory=Expect)
    target: str = "dest"          # "dest" or "unreachable"
    kind: str = "single"          # the group of the accuracy table (KINDS)
    kovrin_args: list = field(default_factory=list)   # options for every kovrin run of the scenario


KINDS = ("single", "two", "delay", "loss", "reorder", "dup", "cross", "fault", "balance")


def chain_addrs(routers: int) -> list[str]:
    """Addresses of routers 1..N as they answer expired probes."""
    return [link_addr(k - 1, 1) for k in range(1, routers + 1)]


def _bottleneck() -> Scenario:
    # Seven routers; the link from router 4 to router 5 is a 10 Mbit/s
    # bottleneck, so four of the seven routers come before it.
    n, j = 7, 4
    return Scenario(
        name="bottleneck",
        about="7 routers, 10 Mbit/s tbf on the link from router 4 to router 5",
        path=PathSpec(routers=n, links={j: LinkSpec(rate_bit=10 * MBIT)}),
        expect=Expect(routers=chain_addrs(n), choke_hop=j, rate_bit=10 * MBIT))


def _loop() -> Scenario:
    # Router 3 sends the destination's traffic back to router 2: probes
    # bounce between the two and hop 3 is answered by router 2 again.
    return Scenario(
        name="loop",
        about="4 routers, router 3 routes the destination back to router 2",
        path=PathSpec(routers=4, loop_at=3), kind="fault",
        expect=Expect(routers=chain_addrs(3), loop=(3, link_addr(1, 1))))


def _split() -> Scenario:
    # Router 3 is joined to router 2 twice; router 2 sends the tail probe of
    # TTL 3 over the second link and router 3 answers it from that link's
    # address (replies from the inbound interface), so hop 2 has two routers.
    k = 3
    return Scenario(
        name="split",
        about="5 routers, router 3 answers the TTL-3 tail probe from a second address",
        path=PathSpec(routers=5, split={k: [tail_port(k)]},
                      router_opts={k: RouterSpec(reply_from_inbound=True)}), kind="fault",
        expect=Expect(routers=chain_addrs(5), split=(k - 1, alt_addr(k - 1, 1), link_addr(k - 1, 1))))


def _unreachable() -> Scenario:
    # The same chain probed at an address nobody routes: the first router
    # answers "network unreachable" to everything and no TTL ever expires.
    return Scenario(
        name="unreachable",
        about="4 routers, destination that the first router has no route for",
        path=PathSpec(routers=4), target="unreachable", kind="fault", expect=Expect(no_hops=True))


def _lossy() -> Scenario:
    return Scenario(
        name="lossy",
        about="3 routers, 20 % random loss on the link from router 1 to router 2",
        path=PathSpec(routers=3, links={1: LinkSpec(loss=0.2)}), kind="loss",
        expect=Expect(routers=chain_addrs(3), loss=0.2))


def _delayed() -> Scenario:
    return Scenario(
        name="delayed",
        about="3 routers, a 20 ms delay line between router 2 and router 3",
        path=PathSpec(routers=3, links={2: LinkSpec(delay_ms=20.0)}), kind="delay",
        expect=Expect(routers=chain_addrs(3), added_rtt_ms=40.0))


def _limited() -> Scenario:
    # Router 1 keeps the kernel's ICMP limits (1 s per destination after a
    # burst of 6, 1000/s and a burst of 50 for the namespace).
    return Scenario(
        name="limited",
        about="2 routers, router 1 with the kernel's default ICMP rate limits",
        path=PathSpec(routers=2, router_opts={1: RouterSpec(icmp=IcmpLimits.kernel())}), kind="fault",
        expect=Expect(routers=chain_addrs(2)))


def _loop_bottleneck() -> Scenario:
    # A 10 Mbit/s link from router 2 to router 3, and router 6 routing the
    # destination back to router 5.  Every packet that reaches router 6
    # bounces between routers 6 and 5 until its TTL runs out, so besides the
    # measurement packets of TTL 7 and up the load packets (TTL 100) and the
    # echo probes expire in the loop as well: 65 more answers, all quoting
    # probe index 0 or an echo, which come back between the heads and the
    # tails of the hops after the bottleneck.
    n, j, k = 7, 2, 6
    return Scenario(
        name="loop-bottleneck",
        about=f"{n} routers, 10 Mbit/s on link {j}, router {k} routes the destination back to router {k - 1}",
        path=PathSpec(routers=n, links={j: LinkSpec(rate_bit=10 * MBIT)}, loop_at=k), kind="fault",
        expect=Expect(routers=chain_addrs(k), choke_hop=j, rate_bit=10 * MBIT, loop=(k, link_addr(k - 2, 1))))


# ---------------------------------------------------------------- the accuracy table
#
# The paths of the accuracy table have 8 routers (links 0..8) unless a
# scenario needs another length.  The destination answers UDP probes with
# "port unreachable", which the prober does not read, so the deepest link
# whose far end answers is link 7 (router 7 to router 8, hop 7): that is the
# "last link" of the table.

ROUTERS = 8
FIRST, MIDDLE, LAST = 1, 4, ROUTERS - 1
POSITIONS = (("first", FIRST), ("mid", MIDDLE), ("last", LAST))
RATES_MBIT = (5, 10, 20, 50, 100)


def shaped(name: str, about: str, links: dict[int, int], routers: int = ROUTERS, kind: str = "single",
           extra: dict | None = None, **spec) -> Scenario:
    """A chain whose links `links` (index -> bit/s) are shaped with tbf; the
    expected hop is the first router after the tightest of them, the hop
    lines those of the routers the prober's default TTLs reach.  `extra`
    sets further Expect fields."""
    tight = min(links, key=lambda j: (links[j], j))
    link_specs = {j: LinkSpec(rate_bit=r) for j, r in links.items()}
    for j, ls in spec.pop("link_opts", {}).items():
        base = link_specs.get(j, LinkSpec())
        link_specs[j] = LinkSpec(**{**base.__dict__, **ls})
    expect = Expect(routers=chain_addrs(min(routers, END)), choke_hop=tight, rate_bit=links[tight], **(extra or {}))
    return Scenario(name=name, about=about, path=PathSpec(routers=routers, links=link_specs, **spec),
                    expect=expect, kind=kind)


def _singles() -> list[Scenario]:
    out = []
    for pos, j in POSITIONS:
        for mbit in RATES_MBIT:
            out.append(shaped(f"single-{pos}-{mbit}",
                              f"{ROUTERS} routers, {mbit} Mbit/s tbf on link {j} (router {j} to {j + 1}), "
                              "the rest unshaped", {j: mbit * MBIT}))
    # Only two to three times slower than the prober's own spread of the
    # load block (about 3.9 us per 514-byte frame, about 1 Gbit/s).
    out.append(shaped("early-500", f"{ROUTERS} routers, 500 Mbit/s tbf on link {FIRST}, the rest unshaped",
                      {FIRST: 500 * MBIT}))
    return out


def _accuracy_others() -> list[Scenario]:
    s = []
    s.append(shaped("two-later-tighter", f"{ROUTERS} routers, 50 Mbit/s on link 2, 10 Mbit/s on link 6",
                    {2: 50 * MBIT, 6: 10 * MBIT}, kind="two"))
    s.append(shaped("two-earlier-tighter", f"{ROUTERS} routers, 10 Mbit/s on link 2, 50 Mbit/s on link 6",
                    {2: 10 * MBIT, 6: 50 * MBIT}, kind="two"))
    # A delay line on every link: 9 lines of 10 ms, 180 ms of round trip.
    s.append(shaped("delay-10ms", f"{ROUTERS} routers, 10 ms delay on every link, 10 Mbit/s on link {MIDDLE}",
                    {MIDDLE: 10 * MBIT}, kind="delay",
                    link_opts={j: {"delay_ms": 10.0} for j in range(ROUTERS + 1)},
                    extra={"added_rtt_ms": 20.0 * (ROUTERS + 1)}))
    # Random loss on the bottleneck link, ahead of its queue.
    for pct in (1, 5):
        s.append(shaped(f"loss-{pct}", f"{ROUTERS} routers, 10 Mbit/s and {pct} % random loss on link {MIDDLE}",
                        {MIDDLE: 10 * MBIT}, kind="loss", link_opts={MIDDLE: {"loss": pct / 100}},
                        extra={"loss": pct / 100}))
    # Behind the bottleneck a fifth of the frames (both ways) wait an extra
    # 0..0.5 ms, so the frames behind them overtake them.
    s.append(shaped("reorder", f"{ROUTERS} routers, 10 Mbit/s on link {MIDDLE}, 20 % of frames 0..0.5 ms late "
                    f"on link {MIDDLE + 1}", {MIDDLE: 10 * MBIT}, kind="reorder",
                    link_opts={MIDDLE + 1: {"jitter_ms": 0.5, "jitter_share": 0.2}}))
    # The same ahead of the bottleneck (not in the table): a head packet that
    # waits is overtaken by load packets, which then no longer lie between
    # that hop's head and tail.
    s.append(shaped("reorder-early", f"{ROUTERS} routers, 10 Mbit/s on link {MIDDLE}, 20 % of frames "
                    "0..0.05 ms late on link 2", {MIDDLE: 10 * MBIT}, kind="reorder",
                    link_opts={2: {"jitter_ms": 0.05, "jitter_share": 0.2}}))
    s.append(shaped("dup", f"{ROUTERS} routers, 10 Mbit/s on link {MIDDLE}, 10 % of packets duplicated "
                    f"on link {MIDDLE + 1}", {MIDDLE: 10 * MBIT}, kind="dup",
                    link_opts={MIDDLE + 1: {"dup": 0.1}}, extra={"dup": 0.1}))
    s.append(shaped("limited-all", f"{ROUTERS} routers, all with the kernel's default ICMP rate limits, "
                    f"10 Mbit/s on link {MIDDLE}", {MIDDLE: 10 * MBIT}, kind="fault",
                    router_opts={k: RouterSpec(icmp=IcmpLimits.kernel()) for k in range(1, ROUTERS + 1)}))
    silent = 3
    sc = shaped("silent", f"{ROUTERS} routers, router {silent} never answers, 10 Mbit/s on link {MIDDLE + 1}",
                {MIDDLE + 1: 10 * MBIT}, kind="fault", router_opts={silent: RouterSpec(silent=True)},
                extra={"silent_hop": silent - 1})
    sc.expect.routers[silent - 1] = SILENT
    s.append(sc)
    # Router 2 sends every other packet over a second link to router 3, which
    # answers from the address of the link the packet came by.  Between the
    # head and the tail of TTL 3 router 2 forwards 2 x 27 measurement packets
    # and the load block: with an even load block (the default 60) the tail
    # is an odd number of packets after the head, so the two take different
    # links and hop 2 is answered from two addresses in every run.
    k = 3
    s.append(Scenario(
        name="alternate", kind="fault",
        about=f"6 routers, router {k - 1} alternates packet by packet between two links to router {k}",
        path=PathSpec(routers=6, alternate=k),
        expect=Expect(routers=chain_addrs(6), alternating=(k - 1, (link_addr(k - 1, 1), alt_addr(k - 1, 1))))))
    s.extend(_balanced())
    s.append(shaped("deep-34", "34 routers, 10 Mbit/s on link 20; the prober's default 30 hops see routers 1..30",
                    {20: 10 * MBIT}, routers=34, kind="fault"))
    # Router 4 sends 5 Mbit/s of its own over the 10 Mbit/s link to router 5.
    s.append(shaped("cross-half", f"{ROUTERS} routers, 10 Mbit/s on link {MIDDLE} carrying 5 Mbit/s of "
                    f"cross traffic from router {MIDDLE}", {MIDDLE: 10 * MBIT}, kind="cross",
                    cross=CrossSpec(link=MIDDLE, rate_bit=5 * MBIT)))
    return s


# Per-flow load balancing.  Router 4 reaches router 5 over link 4 (10 Mbit/s)
# and a parallel link of 25 Mbit/s, and picks one of the two for each flow
# by a hash of addresses, protocol and ports (lab/flowhash.py computes it).
# With BALANCE_SEED the load block's flow (port 43434, the one port of a
# flow-stable train) keeps link 4, while of the hops behind the split hop 4
# and hop 5 have their head on link 4 and their tail on the parallel link,
# hop 6 both on link 4 and hop 7 both on the parallel link.
BALANCE_SEED = 31
BALANCED = MIDDLE + 1


def _balanced() -> list[Scenario]:
    out = []
    j = BALANCED - 1
    for name, inbound, about in (
            ("balance-addresses", True, "router 5 answers from the link a probe came by"),
            ("balance-rejoin", False, "router 5 answers from one address, so the branches do not show")):
        for stable in (False, True):
            sc = shaped(name + ("-stable" if stable else ""),
                        f"{ROUTERS} routers, router {j} balances per flow over 10 Mbit/s link {j} and a parallel "
                        f"25 Mbit/s link to router {BALANCED}; {about}" + (" (kovrin -f)" if stable else ""),
                        {j: 10 * MBIT}, kind="balance", balance=BALANCED,
                        balance_link=LinkSpec(rate_bit=25 * MBIT), balance_seed=BALANCE_SEED,
                        router_opts={BALANCED: RouterSpec(reply_from_inbound=inbound)})
            if stable:
                sc.kovrin_args = ["-f"]
            elif inbound:
                # Hop 4's head takes link 4 and its tail the parallel link.
                sc.expect.split = (j, alt_addr(j, 1), link_addr(j, 1))
            out.append(sc)
    return out


_ALL = ([_bottleneck(), _loop(), _split(), _unreachable(), _lossy(), _delayed(), _limited(), _loop_bottleneck()]
        + _singles() + _accuracy_others())
CATALOGUE = {s.name: s for s in _ALL}

# The accuracy table, in its order: every single bottleneck by position and
# rate, the early near-spread bottleneck, two bottlenecks, delay, loss,
# reordering, duplication, the fault scenarios and cross traffic.
ACCURACY = ([f"single-{pos}-{mbit}" for pos, _ in POSITIONS for mbit in RATES_MBIT]
            + ["early-500", "two-later-tighter", "two-earlier-tighter", "delay-10ms", "loss-1", "loss-5",
               "reorder", "dup", "limited-all", "silent", "loop", "alternate", "deep-34", "cross-half",
               "balance-addresses", "balance-addresses-stable", "balance-rejoin", "balance-rejoin-stable"])


def target_addr(scenario: Scenario, path: BuiltPath) -> str:
    return path.unreachable_addr if scenario.target == "unreachable" else path.dest_addr
