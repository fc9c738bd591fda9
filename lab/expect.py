"""What a correct measurement across a scenario reports, and the one check
of a kovrin report against it.

`Expect` is the answer a scenario calls for; `report_problems` lists what a
parsed report (report.py) lacks of it.  kvlab try-all, bench/accuracy and
the integration checks all judge a report with `report_problems`; the
timing figures (gaps, bounds, round trips) they check on top of it are their
own.
"""

from __future__ import annotations

from dataclasses import dataclass, field

from report import Report
from train import Train

SILENT = "0.0.0.0"      # the router of a hop that never answers


@dataclass
class Expect:
    """The answer of a scenario.  Every field is optional; an unset one asks
    for nothing.

    routers      the addresses of the hop lines, in order (SILENT where a hop
                 never answers); as many hop lines as there are addresses
    no_hops      the report is "# no hop reponses" (and nothing else is asked)
    choke_hop    0-based hop of the first router after the (tightest)
                 bottleneck: a shaped link j gives hop j (link j ends at
                 router j + 1, which is hop j)
    rate_bit     that bottleneck's rate, bit/s
    loop         (hop, address) of a loop line the report must show
    split        (hop, second address, first address) of a route change
                 line the report must show: a hop answered from two addresses
    alternating  (hop, (address, address)): a route change line at that hop
                 naming these two, in either order (which comes first
                 alternates from run to run); the hop's router is one of them
    silent_hop   0-based hop shown as SILENT with gap 0, while the hops after
                 it still show their routers
    loss, dup    share of packets lost / duplicated on one link
    added_rtt_ms round-trip time that the path's delay lines add

    Without loop, no loop line may appear; without split or alternating,
    no route change line."""
    routers: list[str] = field(default_factory=list)
    no_hops: bool = False
    choke_hop: int | None = None
    rate_bit: int | None = None
    loop: tuple[int, str] | None = None
    split: tuple[int, str, str] | None = None
    alternating: tuple[int, tuple[str, str]] | None = None
    silent_hop: int | None = None
    loss: float = 0.0
    dup: float = 0.0
    added_rtt_ms: float | None = None


def lossy_link(sc) -> int | None:
    """The first link of the scenario's path that drops packets."""
    return min((j for j, link in sc.path.links.items() if link.loss > 0), default=None)


def report_problems(sc, rep: Report, options=()) -> list[str]:
    """What the report of one kovrin run across scenario sc lacks of what sc
    calls for (empty: nothing).  `options` are the run's kovrin options
    besides sc.kovrin_args: with -o the report needs a conf line, with -t
    the whole send log of the train, numbered in order and never going back.

    Behind a lossy link a hop may lose both its probes: there it may show
    SILENT, and the report may end early (but not before the link)."""
    exp = sc.expect
    opts = [*sc.kovrin_args, *options]
    if exp.no_hops:
        return [] if rep.no_hops else ["hop lines where none were expected"]
    if rep.no_hops:
        return ["no hop answered"]
    problems = []
    got = [h.router for h in rep.hops]
    want = exp.routers
    lossy = lossy_link(sc)
    if lossy is None and len(got) != len(want):
        problems.append(f"{len(got)} hop lines, expected {len(want)}")
    elif lossy is not None and not lossy <= len(got) <= len(want):
        problems.append(f"{len(got)} hop lines, expected {lossy} to {len(want)} behind the lossy link {lossy}")
    if [h.index for h in rep.hops] != list(range(len(rep.hops))):
        problems.append(f"hop numbers out of order: {[h.index for h in rep.hops]}")
    alt = exp.alternating
    for i, (g, w) in enumerate(zip(got, want)):
        if alt and i == alt[0]:
            if g not in alt[1]:
                problems.append(f"hop {i}: {g}, expected one of {' '.join(alt[1])}")
        elif g != w and not (lossy is not None and i >= lossy and g == SILENT):
            problems.append(f"hop {i}: {g}, expected {w}")
    if exp.loop and exp.loop not in rep.loops:
        problems.append(f"no loop line {exp.loop[0]} {exp.loop[1]}: {rep.loops}")
    if not exp.loop and rep.loops:
        problems.append(f"loop lines on a path without a loop: {rep.loops}")
    if exp.split and exp.split not in rep.changes:
        problems.append(f"no line {' '.join(map(str, exp.split))}: {rep.changes}")
    if alt and not any(c[0] == alt[0] and {c[1], c[2]} == set(alt[1]) for c in rep.changes):
        problems.append(f"no line {alt[0]} with {alt[1][0]} and {alt[1][1]}: {rep.changes}")
    if not (exp.split or alt) and rep.changes:
        problems.append(f"route change lines on a path without a split hop: {rep.changes}")
    if exp.silent_hop is not None:
        h = exp.silent_hop
        if h >= len(rep.hops) or rep.hops[h].router != SILENT or rep.hops[h].gap_us != 0:
            problems.append(f"hop {h} is not shown as {SILENT} without a gap")
    if "-o" in opts and rep.conf is None:
        problems.append("no conf line")
    if "-t" in opts:
        train = Train.of_options(opts, load=rep.load, size=rep.size)
        times = [t for _, t in rep.send_times]
        if len(times) != train.sent:
            problems.append(f"{len(times)} send times, expected {train.sent}")
        if [j for j, _ in rep.send_times] != list(range(len(times))):
            problems.append("send log numbered out of order")
        if any(b < a for a, b in zip(times, times[1:])):
            problems.append("send times go backwards")
    return problems
