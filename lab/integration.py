"""Integration checks across emulated paths (run as root).

Lab checks prove the paths with the lab's own probes (labprobe.py and the
sendloop helper); kovrin checks run the prober across the same paths and
read its report.  Every check is a function taking the context and raising
AssertionError with the reason when it fails; what it measured along the way
goes to ctx.notes, printed after its result.  Checks marked @timing (their
figures depend on the timing of a shared 2-core machine) get a second run
with the same thresholds when the first fails; the others get one run.
"""

from __future__ import annotations

import dataclasses
import fcntl
import json
import os
import platform
import pwd
import re
import shutil
import signal
import statistics
import subprocess
import tempfile
import time
import traceback
import unittest
from dataclasses import dataclass, field

from pathlib import Path as FsPath

import gapmodel
import netlab
import train
from expect import report_problems
from netlab import LAB_DIR, PYTHON, Lab, LinkSpec, PathSpec
from report import ReportError, debug_replies, is_debug_line, parse_json_report, parse_report
from scenarios import CATALOGUE, target_addr

LABPROBE = str(LAB_DIR / "labprobe.py")

# Tolerances.  A gap after the bottleneck is the load block's time through
# tbf less the part that passes in the first burst (about 5 % of the
# default block); a gap before it is the block's spread at the sender and in
# the unshaped routers, a few hundred microseconds.
GAP_TOLERANCE = 0.20          # |gap / expected - 1| after the bottleneck
BOUND_TOLERANCE = 0.20        # |bound / rate - 1| of the rank-1 hop
BEFORE_SHARE = 0.40           # gaps before the bottleneck stay below this share
STEERING_RATIO = 1.30         # long-path / short-path send interval with steering
# Median interval between kovrin's load packets: measured 3.1-4.05 us here
# (bench/README.md, "The prober's load block"); a block spread by a blocking
# poll or a sleep between packets is far above this.
LOAD_INTERVAL_MAX_US = 15.0

# The privileged-start checks.  203.0.113.99 (TEST-NET-3) is no address of
# the host namespace; the lookup check resolves LOOKUP_NAME through a hosts
# file of its own and waits at most LOOKUP_WAIT_S (well below the kernel's
# lease-break time, 45 s by default) for kovrin to block opening it.  The
# overlap check starts its second run OVERLAP_DELAY_S after the first: the
# trains leave 0.15 s apart, each well inside the other's 3 s wait for
# replies, and far enough apart that they never share the bottleneck queue
# (a train takes about 27 ms through it).
FOREIGN_SOURCE = "203.0.113.99"
LOOKUP_NAME = "kovrin-dest.lab.test"
LOOKUP_WAIT_S = 20.0
OVERLAP_DELAY_S = 0.15
# The line kovrin may write when it passed over replies to another run's probes.
PASSED_OVER_RE = re.compile(r"^kovrin: \d+ time-exceeded repl(?:y|ies) passed over\b")


TIMING: set = set()


def timing(check):
    """Mark a check whose figures depend on timing: it may run twice."""
    TIMING.add(check)
    return check


@dataclass
class Context:
    lab: Lab
    paths: dict = field(default_factory=dict)     # scenario name -> BuiltPath
    kovrin: str | None = None
    nobody_kovrin: str | None = None
    setuid_kovrin: str | None = None              # made on first use, removed by run_all
    notes: list = field(default_factory=list)

    def setuid_binary(self) -> str:
        if self.setuid_kovrin is None:
            self.setuid_kovrin = copy_setuid_root(self.kovrin)
        return self.setuid_kovrin

    def probe(self, name: str, *args: str, timeout: float = 60) -> dict:
        path = self.paths[name]
        proc = self.lab.run_sender(path.host, [PYTHON, LABPROBE, *args], timeout=timeout)
        assert proc.returncode == 0, f"labprobe {args[0]} failed ({proc.returncode}): {proc.stderr.strip()}"
        return json.loads(proc.stdout)

    def run_kovrin(self, name: str, *options: str, user: str | None = None, dst: str | None = None,
                   text: bool = False):
        """kovrin across scenario `name`; its report is the --json document
        unless `text` asks for the text report."""
        path = self.paths[name]
        sc = CATALOGUE[name]
        dst = dst or target_addr(sc, path)
        binary = self.nobody_kovrin if user else self.kovrin
        form = [] if text else ["--json"]
        return self.lab.run_on_path(path, [binary, *sc.kovrin_args, *options, *form, dst], timeout=120, user=user)


# ---------------------------------------------------------------- lab checks

def lab_trace_lists_routers(ctx: Context) -> None:
    sc = CATALOGUE["bottleneck"]
    res = ctx.probe("bottleneck", "trace", ctx.paths["bottleneck"].dest_addr, "--max-ttl", "9")
    routers = sc.expect.routers
    for ttl, head, tail in res["hops"]:
        want = routers[ttl - 1] if ttl <= len(routers) else netlab.DEST_ADDR
        for side in (head, tail):
            assert side is not None, f"TTL {ttl}: no answer"
            assert side["src"] == want, f"TTL {ttl}: answer from {side['src']}, expected {want}"
            assert side["type"] == (11 if ttl <= len(routers) else 3), f"TTL {ttl}: ICMP type {side['type']}"


@timing
def lab_tbf_rate(ctx: Context) -> None:
    sc = CATALOGUE["bottleneck"]
    res = ctx.probe("bottleneck", "train", ctx.paths["bottleneck"].dest_addr, "-e", "7", "-l", "60", "-s", "500")
    expected = gapmodel.BLOCK.gap_us(sc.expect.rate_bit, 1)     # the 60 x 500-byte block alone, at any TTL
    choke = sc.expect.choke_hop
    gaps = [h["gap_us"] for h in res["hops"]]
    ctx.notes.append(f"labprobe train gaps (us): {[round(g) if g else g for g in gaps]}, expected {expected:.0f} "
                     f"after hop {choke}")
    for i, g in enumerate(gaps):
        assert g is not None, f"hop {i}: no gap"
        if i >= choke:
            assert abs(g / expected - 1) <= GAP_TOLERANCE, f"hop {i}: gap {g:.0f} us, expected {expected:.0f}"
        else:
            assert g < BEFORE_SHARE * expected, f"hop {i} before the bottleneck: gap {g:.0f} us"


def lab_loop(ctx: Context) -> None:
    res = ctx.probe("loop", "trace", ctx.paths["loop"].dest_addr, "--max-ttl", "8")
    seen = [h[1]["src"] if h[1] else None for h in res["hops"]]
    r1, r2, r3 = CATALOGUE["loop"].expect.routers
    assert seen == [r1, r2, r3, r2, r3, r2, r3, r2], f"answers by TTL: {seen}"


def lab_split(ctx: Context) -> None:
    hop, second, first = CATALOGUE["split"].expect.split
    res = ctx.probe("split", "trace", ctx.paths["split"].dest_addr, "--max-ttl", "5")
    ttl, head, tail = res["hops"][hop]
    assert head and head["src"] == first, f"head of TTL {ttl}: {head}"
    assert tail and tail["src"] == second, f"tail of TTL {ttl}: {tail}"
    for ttl, head, tail in res["hops"]:
        if ttl != hop + 1:
            assert head and tail and head["src"] == tail["src"], f"TTL {ttl} answered twice: {head} {tail}"


def lab_unreachable(ctx: Context) -> None:
    res = ctx.probe("unreachable", "trace", ctx.paths["unreachable"].unreachable_addr, "--max-ttl", "3")
    for ttl, head, tail in res["hops"]:
        for side in (head, tail):
            assert side is None or side["type"] == 3, f"TTL {ttl}: {side} (nothing may expire)"
    assert any(h[1] for h in res["hops"]), "the first router did not answer at all"


@timing
def lab_loss(ctx: Context) -> None:
    share = CATALOGUE["lossy"].expect.loss
    res = ctx.probe("lossy", "blast", ctx.paths["lossy"].dest_addr, "-n", "2000", "-s", "100", "--wait", "1.0")
    lost = 1 - res["answered"] / res["sent"]
    ctx.notes.append(f"loss filter: {lost:.3f} lost of {res['sent']}, configured {share}")
    # 2000 draws of a 20 % loss: one standard deviation is 0.9 %.
    assert abs(lost - share) < 0.05, f"lost {lost:.3f}, configured {share}"


@timing
def lab_delay(ctx: Context) -> None:
    added = CATALOGUE["delayed"].expect.added_rtt_ms
    res = ctx.probe("delayed", "rtt", ctx.paths["delayed"].dest_addr, "-n", "5")
    base = ctx.probe("lossy", "rtt", ctx.paths["lossy"].dest_addr, "-n", "5")   # same length, no delay
    assert len(res["rtt_ms"]) == 5, f"answers: {res['rtt_ms']}"
    rtt, rtt0 = statistics.median(res["rtt_ms"]), statistics.median(base["rtt_ms"] or [0])
    ctx.notes.append(f"delay line: rtt {rtt:.2f} ms with {added} ms added, {rtt0:.2f} ms without")
    assert added <= rtt <= added + 10, f"rtt {rtt:.2f} ms, expected {added} ms plus a little"


@timing
def lab_icmp_limits(ctx: Context) -> None:
    # 30 probes that expire at router 1 at once: the limited router answers
    # only its burst; the same burst at an unlimited router is answered in full.
    limited = ctx.probe("limited", "blast", ctx.paths["limited"].dest_addr, "-n", "30", "--ttl", "1")
    free = ctx.probe("lossy", "blast", ctx.paths["lossy"].dest_addr, "-n", "30", "--ttl", "1")
    ctx.notes.append(f"ICMP limits: {limited['answered']}/30 answered with kernel limits, {free['answered']}/30 without")
    assert free["answered"] == 30, f"unlimited router answered {free['answered']} of 30"
    assert limited["answered"] < 30, f"limited router answered all {limited['answered']}"


@timing
def lab_dup(ctx: Context) -> None:
    share = CATALOGUE["dup"].expect.dup
    res = ctx.probe("dup", "blast", ctx.paths["dup"].dest_addr, "-n", "2000", "-s", "100", "--wait", "1.0")
    extra = res["answered"] / res["sent"] - 1
    want = share / (1 - share)          # copies are copied again with the same share
    ctx.notes.append(f"duplication: {extra:.3f} extra answers of {res['sent']}, configured {share} "
                     f"(expected {want:.3f})")
    # 2000 draws: one standard deviation is about 0.7 %.
    assert abs(extra - want) < 0.04, f"{extra:.3f} extra answers, expected about {want:.3f}"


@timing
def lab_reorder(ctx: Context) -> None:
    res = ctx.probe("reorder", "order", ctx.paths["reorder"].dest_addr, "-n", "500")
    plain = ctx.probe("bottleneck", "order", ctx.paths["bottleneck"].dest_addr, "-n", "500")
    late, late0 = res["late"] / max(res["answered"], 1), plain["late"] / max(plain["answered"], 1)
    ctx.notes.append(f"reordering: {res['late']} of {res['answered']} answers late ({late:.3f}); "
                     f"{plain['late']} of {plain['answered']} on a path without the jitter")
    assert res["answered"] >= 490 and plain["answered"] >= 490, f"answers {res['answered']}, {plain['answered']}"
    assert plain["late"] == 0, f"{plain['late']} answers out of order without reordering"
    # A fifth of the frames each way wait 0..0.5 ms more; behind a 10 Mbit/s
    # link the 114-byte frames are 91 us apart, so most of them are overtaken.
    assert 0.05 <= late <= 0.6, f"{late:.3f} of the answers late"


def lab_silent(ctx: Context) -> None:
    sc = CATALOGUE["silent"]
    silent = sc.expect.silent_hop
    res = ctx.probe("silent", "trace", ctx.paths["silent"].dest_addr, "--max-ttl", "9")
    for ttl, head, tail in res["hops"]:
        if ttl - 1 == silent:
            assert head is None and tail is None, f"the silent router answered: {head} {tail}"
        elif ttl <= len(sc.expect.routers):
            want = sc.expect.routers[ttl - 1]
            assert head and tail and head["src"] == tail["src"] == want, f"TTL {ttl}: {head} {tail}, expected {want}"
        else:
            assert head and head["type"] == 3, f"TTL {ttl}: the destination did not answer: {head}"


def lab_alternate(ctx: Context) -> None:
    hop, pair = CATALOGUE["alternate"].expect.alternating
    # The trace sends head and tail of each TTL back to back: with strict
    # round robin at the router before, the two always take different links.
    for _ in range(2):
        res = ctx.probe("alternate", "trace", ctx.paths["alternate"].dest_addr, "--max-ttl", "6")
        ttl, head, tail = res["hops"][hop]
        assert head and tail and {head["src"], tail["src"]} == set(pair), f"TTL {ttl}: {head} {tail}, expected {pair}"
        for ttl, head, tail in res["hops"]:
            if ttl != hop + 1:
                assert head and tail and head["src"] == tail["src"], f"TTL {ttl} answered twice: {head} {tail}"


def lab_deep(ctx: Context) -> None:
    path = ctx.paths["deep-34"]
    n = path.spec.routers
    res = ctx.probe("deep-34", "trace", path.dest_addr, "--max-ttl", str(n + 1))
    seen = [h[1]["src"] if h[1] else None for h in res["hops"]]
    want = [path.router_addr(k) for k in range(1, n + 1)] + [netlab.DEST_ADDR]
    assert seen == want, f"answers by TTL: {seen}"


def cpu_seconds(pid: int) -> float:
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


@timing
def lab_delay_all(ctx: Context) -> None:
    sc = CATALOGUE["delay-10ms"]
    path = ctx.paths["delay-10ms"]
    added = sc.expect.added_rtt_ms
    lines = [int(pid) for ns in path.delay_ns.values() for pid in netlab.run(["ip", "netns", "pids", ns]).stdout.split()]
    before = sum(cpu_seconds(p) for p in lines)
    t0 = time.time()
    res = ctx.probe("delay-10ms", "rtt", path.dest_addr, "-n", "5")
    block = ctx.probe("delay-10ms", "train", path.dest_addr, "-e", "8", "-l", "60", "-s", "500")
    busy = sum(cpu_seconds(p) for p in lines) - before
    rtt = statistics.median(res["rtt_ms"]) if res["rtt_ms"] else None
    ctx.notes.append(f"delay lines on all {len(path.delay_ns)} links: rtt {rtt} ms for {added} ms added; "
                     f"{busy:.2f} s of CPU for its {len(lines)} delay lines in {time.time() - t0:.1f} s of probes; "
                     f"train gaps {[round(h['gap_us']) if h['gap_us'] else None for h in block['hops']]}")
    assert len(path.delay_ns) == sc.path.routers + 1, f"delay lines on {sorted(path.delay_ns)}"
    assert rtt is not None and added <= rtt <= added + 10, f"rtt {rtt} ms, expected {added} ms plus a little"
    choke = sc.expect.choke_hop
    expected = gapmodel.BLOCK.gap_us(sc.expect.rate_bit, 1)     # the 60 x 500-byte block alone
    g = block["hops"][choke]["gap_us"]
    assert g is not None and abs(g / expected - 1) <= GAP_TOLERANCE, f"gap {g} us after the bottleneck, {expected:.0f}"


@timing
def lab_cross(ctx: Context) -> None:
    path = ctx.paths["cross-half"]
    c = path.spec.cross
    # The sender stops by itself: half a second of traffic, then it exits.
    t0 = time.time()
    proc = ctx.lab.start_cross(path, seconds=0.5)
    out, err = proc.communicate(timeout=10)
    took = time.time() - t0
    ctx.lab.helpers.remove(proc)
    assert proc.returncode == 0, f"cross sender exit {proc.returncode}: {err.strip()}"
    sent = int(out.split()[1])
    want = 0.5 * c.rate_bit / (gapmodel.frame(c.size) * 8)
    assert abs(sent / want - 1) < 0.05 and took < 3, f"sent {sent} in {took:.1f} s, expected {want:.0f} in 0.5 s"
    # Around a program: the bottleneck carries the cross traffic, which the
    # router after it drops without an answer.
    shaper = path.node_ns(c.link)
    before = tc_sent_bytes(ctx.lab.tc_stats(shaper))
    res = ctx.lab.run_on_path(path, [PYTHON, "-c", "import time; time.sleep(1)"], timeout=30)
    after = tc_sent_bytes(ctx.lab.tc_stats(shaper))
    log = path.cross_log[-1].split()
    sent, seconds, rate = int(log[1]), float(log[3]), float(log[5])
    ctx.notes.append(f"cross traffic: {path.cross_log[-1]}; bottleneck passed {after - before} bytes")
    assert res.returncode == 0, f"program failed: {res.stderr.strip()}"
    assert abs(rate / c.rate_bit - 1) < 0.05, f"cross rate {rate:.0f} bit/s, configured {c.rate_bit}"
    assert 1.0 <= seconds < 3.0, f"cross traffic ran {seconds} s around a 1 s program"
    assert after - before >= 0.97 * sent * gapmodel.frame(c.size), \
        f"bottleneck passed {after - before} bytes of {sent} packets"
    left = netlab.run(["ip", "netns", "pids", shaper]).stdout.split()
    assert not left, f"processes still running in the cross sender's namespace: {left}"


def tc_sent_bytes(stats: str) -> int:
    m = re.search(r"qdisc tbf .*?\n\s*Sent (\d+) bytes", stats)
    assert m, f"no tbf statistics: {stats!r}"
    return int(m[1])


@timing
def lab_limits_everywhere(ctx: Context) -> None:
    path = ctx.paths["limited-all"]
    want = netlab.IcmpLimits.kernel().sysctls()
    for ns in path.routers:
        got = ctx.lab.ns_shell(ns, "sysctl -n " + " ".join(want)).stdout.split()
        assert [int(x) for x in got] == list(want.values()), f"{ns}: {got}, expected {list(want.values())}"
    # Each router answers a burst of 6 from one source, then one a second.
    res = ctx.probe("limited-all", "blast", path.dest_addr, "-n", "30", "--ttl", "3")
    ctx.notes.append(f"default ICMP limits on every router: {res['answered']}/30 probes expiring at router 3 answered")
    assert 6 <= res["answered"] <= 8, f"{res['answered']} of 30 answered"


def measure_send_interval(ctx: Context, path, count: int = 1000, size: int = 500, repeats: int = 3) -> float:
    """Best median interval (us) of a bare sendto loop from the path's host."""
    argv = netlab.sendloop_argv(path.dest_addr, count, size, ctx.lab.tools_dir)
    best = None
    for _ in range(repeats):
        proc = ctx.lab.run_sender(path.host, argv, timeout=60)
        assert proc.returncode == 0, f"sendloop failed: {proc.stderr.strip()}"
        fields = proc.stdout.split()
        median = float(fields[fields.index("median_us") + 1])
        best = median if best is None else min(best, median)
        time.sleep(0.3)   # let the bottleneck queue drain
    return best


@timing
def lab_steering(ctx: Context) -> None:
    short, long_ = ctx.paths["steer-1"], ctx.paths["steer-8"]
    figures = {}
    for rps in (False, True):
        for p in (short, long_):
            ctx.lab.set_rps(p, rps)
        figures[rps] = (measure_send_interval(ctx, short), measure_send_interval(ctx, long_))
    ctx.notes.append("bare sendto loop, median interval per packet (us), 1 router / 8 routers: "
                     f"without steering {figures[False][0]:.2f} / {figures[False][1]:.2f}, "
                     f"with steering {figures[True][0]:.2f} / {figures[True][1]:.2f}")
    s, l = figures[True]
    assert l <= STEERING_RATIO * s, f"with steering the 8-router path sends at {l:.2f} us vs {s:.2f} us"


# ---------------------------------------------------------------- kovrin checks

def assert_report(sc, rep, *options: str, what: str = "") -> None:
    """The report shows what the scenario calls for (expect.report_problems)."""
    problems = report_problems(sc, rep, options)
    assert not problems, f"{what or sc.name}: " + "; ".join(problems)


def kovrin_report(ctx: Context, name: str, *options: str, text: bool = False):
    """kovrin's report across scenario `name`, run with these options (its
    JSON document, or with `text` its text report); it must exit 0 and show
    what the scenario calls for."""
    proc = ctx.run_kovrin(name, *options, text=text)
    assert proc.returncode == 0, f"kovrin {' '.join(options)} exited {proc.returncode}: {proc.stderr.strip()[:300]}"
    try:
        rep = parse_report(proc.stdout) if text else parse_json_report(proc.stdout)
    except ReportError as e:
        raise AssertionError(f"unreadable report ({e}): {proc.stdout[:300]!r}") from None
    assert_report(CATALOGUE[name], rep, *options)
    return rep, proc


def check_gaps(ctx: Context, rep, *options: str, name: str = "bottleneck") -> None:
    """Gaps after the bottleneck within GAP_TOLERANCE of the train model,
    before it below BEFORE_SHARE of the load block's time."""
    sc = CATALOGUE[name]
    choke, rate = sc.expect.choke_hop, sc.expect.rate_bit
    run_train = train.Train.of_options([*sc.kovrin_args, *options], load=rep.load, size=rep.size)
    block = gapmodel.BLOCK.gap_us(rate, 1, run_train)
    model = {h.index: gapmodel.TBF.gap_us(rate, h.index + 1, run_train) for h in rep.hops if h.index >= choke}
    ctx.notes.append(f"kovrin{''.join(' ' + o for o in options)} gaps on {name} (us): {[h.gap_us for h in rep.hops]}; "
                     f"model after hop {choke}: {[round(g) for g in model.values()]}, load block alone {block:.0f}")
    for h in rep.hops:
        if h.index >= choke:
            assert abs(h.gap_us / model[h.index] - 1) <= GAP_TOLERANCE, \
                f"hop {h.index}: gap {h.gap_us} us, expected about {model[h.index]:.0f}"
        else:
            assert 0 <= h.gap_us < BEFORE_SHARE * block, f"hop {h.index} before the bottleneck: gap {h.gap_us} us"


@timing
def kovrin_udp(ctx: Context) -> None:
    rep, _ = kovrin_report(ctx, "bottleneck")
    check_gaps(ctx, rep)
    assert rep.rtt_ms is not None and rep.rtt_ms > 0, "no rtt line in UDP mode"
    assert rep.rtt_addr == netlab.DEST_ADDR, f"rtt from {rep.rtt_addr}"


@timing
def kovrin_icmp(ctx: Context) -> None:
    rep, _ = kovrin_report(ctx, "bottleneck", "-c")
    check_gaps(ctx, rep, "-c")


@timing
def kovrin_detection(ctx: Context) -> None:
    sc = CATALOGUE["bottleneck"]
    rep, _ = kovrin_report(ctx, "bottleneck", "-o")
    check_gaps(ctx, rep, "-o")
    choke, rate = sc.expect.choke_hop, sc.expect.rate_bit / 1e6
    ranked = [h.index for h in rep.hops if h.rank == "1"]
    assert ranked == [choke], f"rank 1 on hops {ranked}, expected on hop {choke}"
    bound = rep.hops[choke].bound
    assert abs(bound / rate - 1) <= BOUND_TOLERANCE, f"bound {bound} Mbit/s, rate {rate}"
    assert len(rep.conf) >= 1, "no confidence for the choke point"
    ctx.notes.append(f"kovrin -o: rank 1 on hop {choke}, bound {bound:.3f} Mbit/s for {rate:g} Mbit/s")


@timing
def kovrin_send_times(ctx: Context) -> None:
    # The send log's length, numbering and order are the report's shape
    # (kovrin_report); what is timed is the load block leaving back to back.
    sc = CATALOGUE["bottleneck"]
    rep, _ = kovrin_report(ctx, "bottleneck", "-t")
    times = [t for _, t in rep.send_times]
    load = times[train.Train.of_options(sc.kovrin_args, load=rep.load, size=rep.size).load_block()]
    median = statistics.median((b - a) * 1e6 for a, b in zip(load, load[1:]))
    ctx.notes.append(f"kovrin load block: median send interval {median:.2f} us")
    assert median <= LOAD_INTERVAL_MAX_US, \
        f"load packets leave {median:.2f} us apart (median), more than {LOAD_INTERVAL_MAX_US} us"


def kovrin_loop(ctx: Context) -> None:
    kovrin_report(ctx, "loop")


@timing
def kovrin_survey(ctx: Context) -> None:
    # Three trains: every one a whole report, and the survey names the
    # bottleneck's hop as its one choke point, found in every train.
    sc = CATALOGUE["bottleneck"]
    trains = 3
    proc = ctx.run_kovrin("bottleneck", "--trains", str(trains), "--progress")
    assert proc.returncode == 0, f"survey exited {proc.returncode}: {proc.stderr.strip()[:300]}"
    doc = json.loads(proc.stdout)
    reports = [parse_json_report(json.dumps(t["report"])) for t in doc["trains"]]
    for n, rep in enumerate(reports, 1):
        assert_report(sc, rep, "-o", what=f"train {n}")
    progress = [line for line in proc.stderr.splitlines() if line.startswith("kovrin: train ")]
    assert len(progress) == trains, f"progress lines {progress}"
    s = doc["survey"]
    chokes = [(c["hop"], c["detection_rate"]) for c in s["chokes"]]
    ctx.notes.append(f"kovrin survey of {trains} trains: chokes (hop, rate) {chokes}, "
                     f"gap medians {[h['gap_median_us'] for h in s['hops']]}")
    assert (s["trains"], s["worked"], s["failed"]) == (trains, trains, []), f"survey counts {s}"
    assert chokes == [(sc.expect.choke_hop, 1.0)], f"survey choke points {chokes}, expected hop {sc.expect.choke_hop}"


def kovrin_pid(binary: str) -> int | None:
    for pid in (int(d) for d in os.listdir("/proc") if d.isdigit()):
        try:
            if os.readlink(f"/proc/{pid}/exe") == binary:
                return pid
        except OSError:
            continue
    return None


def kovrin_campaign(ctx: Context) -> None:
    # A campaign over the path's destination, a router and a name that does
    # not resolve (a hosts file of the run's own is the only source of
    # names, so no lookup leaves the lab); SIGINT once the first line is
    # out: the second destination's line says "complete": false and kovrin
    # exits 4.  The rerun with --resume runs what is left.
    sc, path = CATALOGUE["bottleneck"], ctx.paths["bottleneck"]
    targets = [path.dest_addr, path.router_addr(6), "nowhere.lab.example"]
    files = tempfile.mkdtemp(prefix="kvlab-campaign-")
    try:
        os.chmod(files, 0o755)
        for name, text in (("hosts", "127.0.0.1 localhost\n"), ("nsswitch.conf", "hosts: files\n"),
                           ("targets", "# campaign\n" + "\n".join(targets) + "\n")):
            with open(os.path.join(files, name), "w") as f:
                f.write(text)
        wrapper = ["unshare", "--mount", "--propagation", "private", "sh", "-ec",
                   'mount --bind "$0/hosts" /etc/hosts; mount --bind "$0/nsswitch.conf" /etc/nsswitch.conf; '
                   'exec "$@"', files]
        argv = [ctx.kovrin, *sc.kovrin_args, "--trains", "3", "--targets", os.path.join(files, "targets")]
        proc = ctx.lab.start_sender(path.host, argv, wrapper=wrapper, stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, text=True)
        try:
            first = proc.stdout.readline()
            pid = kovrin_pid(ctx.kovrin)
            assert pid is not None, f"no kovrin running after the first line {first[:200]!r}"
            os.kill(pid, signal.SIGINT)
            rest, err = proc.communicate(timeout=60)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.communicate()
            ctx.lab.helpers.remove(proc)
        lines = [json.loads(line) for line in (first + rest).splitlines()]
        assert proc.returncode == 4, f"interrupted campaign exited {proc.returncode}: {err.strip()[:300]}"
        got = [(d["target"], d["complete"], len(d["survey"]["trains"])) for d in lines]
        assert len(got) == 2 and got[0] == (targets[0], True, 3) and got[1][:2] == (targets[1], False) \
            and 1 <= got[1][2] < 3, f"interrupted campaign wrote {got}"
        out = os.path.join(files, "out.jsonl")
        with open(out, "w") as f:
            f.write(first + rest)
        done = ctx.lab.run_sender(path.host, [*argv, "--resume", out], wrapper=wrapper, timeout=120)
        assert done.returncode == 0, f"resumed campaign exited {done.returncode}: {done.stderr.strip()[:300]}"
        again = [json.loads(line) for line in done.stdout.splitlines()]
        resumed = [(d["target"], d["complete"], d["error"]) for d in again]
        assert resumed == [(targets[1], True, None), (targets[2], True, "name does not resolve")], \
            f"resumed campaign wrote {resumed}"
        chokes = [c["hop"] for c in lines[0]["survey"]["survey"]["chokes"]]
        assert chokes[:1] == [sc.expect.choke_hop], f"campaign's first survey: choke points {chokes}"
        ctx.notes.append(f"kovrin campaign: interrupted after {got[1][2]} of 3 trains of {targets[1]} (exit 4), "
                         f"resumed with {[t for t, _, _ in resumed]}; choke points at {targets[0]}: {chokes}")
    finally:
        shutil.rmtree(files, ignore_errors=True)


@timing
def kovrin_text_and_json_agree(ctx: Context) -> None:
    # The lab reads the JSON document; the text report must say the same.
    # Two runs of one scenario (a run prints one form): the same settings,
    # route and anomalies, the same choke point, and gaps after it within
    # the tolerance of each other.  The exact agreement of the two forms of
    # one run is checked on the simulated path (tests/json/check).
    sc = CATALOGUE["bottleneck"]
    options = ("-o", "-t")
    text, _ = kovrin_report(ctx, "bottleneck", *options, text=True)
    doc, _ = kovrin_report(ctx, "bottleneck", *options)

    def shape(r):
        return (r.dst, r.size, r.load, r.delay, r.loops, r.changes, [h.router for h in r.hops],
                [h.index for h in r.hops if h.rank == "1"], len(r.send_times), r.rtt_addr)
    assert shape(text) == shape(doc), f"text report {shape(text)}, JSON {shape(doc)}"
    choke = sc.expect.choke_hop
    for t, j in zip(text.hops[choke:], doc.hops[choke:]):
        assert abs(t.gap_us / j.gap_us - 1) <= GAP_TOLERANCE, f"hop {t.index}: gap {t.gap_us} (text), {j.gap_us} (JSON)"


def kovrin_split(ctx: Context) -> None:
    kovrin_report(ctx, "split")


def balance_models(name: str, run_train, hops) -> dict[int, dict[int, float]]:
    """The train model's gap of each hop behind the balanced link, by branch
    (0: the main link, 1: the parallel one)."""
    path = CATALOGUE[name].path
    rates = {0: path.link(path.balance - 1).rate_bit, 1: path.balance_link.rate_bit}
    return {b: {h.index: gapmodel.TBF.gap_us(r, h.index + 1, run_train) for h in hops} for b, r in rates.items()}


def within(gap: float, model: float) -> bool:
    return abs(gap / model - 1) <= GAP_TOLERANCE


@timing
def kovrin_balance(ctx: Context) -> None:
    """Per-flow load balancing over two links of different rates.  By
    default the flows of the train's packets take the branches that the
    balancer's hash gives them (lab/flowhash.py): a hop behind the split
    whose head, tail and load do not all share a branch shows a gap far from
    both branches' (and, where the router answers from the inbound link, a
    two-address line); the others are right.  With -f the whole train takes
    the branch of its one flow: no two-address line, every gap behind the
    split within the tolerance of that branch's model, rank 1 on the split
    hop.  The flow-stable ICMP train hashes to the other branch."""
    import flowhash
    for name, options in (("balance-addresses", ("-o",)), ("balance-rejoin", ("-o",)),
                          ("balance-addresses-stable", ("-o",)), ("balance-rejoin-stable", ("-o",)),
                          ("balance-addresses-stable", ("-o", "-c"))):
        sc = CATALOGUE[name]
        stable, icmp = "-f" in sc.kovrin_args, "-c" in options
        opts = [*sc.kovrin_args, *options]
        load, branches = flowhash.train_branches(sc.path.balance_seed, netlab.link_addr(0, 0), netlab.DEST_ADDR,
                                                 train.Train.of_options(opts).end, stable=stable, icmp=icmp)
        proc = ctx.run_kovrin(name, *options)
        assert proc.returncode == 0, f"kovrin {' '.join(opts)} exited {proc.returncode}: {proc.stderr.strip()[:300]}"
        rep = parse_json_report(proc.stdout)
        choke = sc.expect.choke_hop
        if stable and load == 1 and sc.path.router(sc.path.balance).reply_from_inbound:
            # The whole train takes the parallel link: the split hop answers
            # from its address.
            routers = list(sc.expect.routers)
            routers[choke] = netlab.alt_addr(choke, 1)
            sc = dataclasses.replace(sc, expect=dataclasses.replace(sc.expect, routers=routers))
        assert_report(sc, rep, *options)
        run_train = train.Train.of_options(opts, load=rep.load, size=rep.size)
        behind = [h for h in rep.hops if h.index >= choke]
        models = balance_models(name, run_train, behind)
        what = f"{name} {' '.join(options)}"
        ctx.notes.append(f"{what}: load on branch {load}; gaps {[h.gap_us for h in rep.hops]}; "
                         f"anomalies {rep.changes}; rank 1 on {[h.index for h in rep.hops if h.rank == '1']}")
        for h in behind:
            head, tail = branches[h.index + 1]
            if head == tail == load:
                assert within(h.gap_us, models[load][h.index]), \
                    f"{what}: hop {h.index}: gap {h.gap_us} us, branch {load} gives {models[load][h.index]:.0f}"
            else:
                assert not any(within(h.gap_us, models[b][h.index]) for b in (0, 1)), \
                    f"{what}: hop {h.index} (head on {head}, tail on {tail}, load on {load}): gap {h.gap_us} us " \
                    f"fits a branch"
        if stable:
            ranked = [h.index for h in rep.hops if h.rank == "1"]
            assert ranked == [choke], f"{what}: rank 1 on hops {ranked}, expected on hop {choke}"
            assert not rep.changes, f"{what}: two-address lines {rep.changes}"
        else:
            assert any(branches[h.index + 1] != (load, load) for h in behind), f"{what}: the seed splits nothing"


def kovrin_unreachable(ctx: Context) -> None:
    kovrin_report(ctx, "unreachable")


@timing
def kovrin_delay(ctx: Context) -> None:
    added = CATALOGUE["delayed"].expect.added_rtt_ms
    rep, _ = kovrin_report(ctx, "delayed")
    last = rep.hops[-1]
    assert added <= last.rtt_ms <= added + 10, f"hop {last.index} rtt {last.rtt_ms} ms, {added} ms added"
    assert rep.rtt_ms is not None and added <= rep.rtt_ms <= added + 10, f"rtt line {rep.rtt_ms} ms"


def kovrin_no_privilege(ctx: Context) -> None:
    proc = ctx.run_kovrin("bottleneck", user="nobody")
    assert proc.returncode == 1, f"exit {proc.returncode}, expected 1 (stderr: {proc.stderr.strip()})"
    err = proc.stderr.splitlines()
    assert any(line.startswith("socket: ") for line in err), f"no socket line: {proc.stderr!r}"
    assert any("CAP_NET_RAW" in line and "root" in line for line in err), f"no privilege hint: {proc.stderr!r}"


# -------------------------------------------------- privileged starts, overlapping runs, loops

def kovrin_setuid_source(ctx: Context) -> None:
    # A set-user-ID-root copy started by nobody may send only from an
    # address of its own host: any other -i is refused before a socket is
    # opened, so not one packet leaves the host namespace.
    sc, path = CATALOGUE["bottleneck"], ctx.paths["bottleneck"]
    binary = ctx.setuid_binary()

    def run(*options: str) -> subprocess.CompletedProcess:
        return ctx.lab.run_sender(path.host, [binary, *sc.kovrin_args, *options, "--json", path.dest_addr],
                                  timeout=60, setuid_user="nobody")

    want = f"kovrin: -i {FOREIGN_SOURCE}: not an address of this host (only root may send from another address)\n"
    before = host_tx_packets(ctx, path)
    proc = run("-i", FOREIGN_SOURCE)
    sent = host_tx_packets(ctx, path) - before
    assert (proc.returncode, proc.stdout, proc.stderr) == (2, "", want), \
        (f"-i {FOREIGN_SOURCE} as nobody: exit {proc.returncode}, stdout {proc.stdout[:120]!r}, "
         f"stderr {proc.stderr[:200]!r}; expected exit 2, no stdout and only {want!r}")
    assert sent == 0, f"-i {FOREIGN_SOURCE} was refused, but {sent} packets left the host namespace"
    for options in (["-i", netlab.link_addr(0, 0)], []):
        what = " ".join(options) or "no -i"
        proc = run(*options)
        assert proc.returncode == 0, f"{what} as nobody: exit {proc.returncode}: {proc.stderr.strip()[:300]}"
        try:
            rep = parse_json_report(proc.stdout)
        except ReportError as e:
            raise AssertionError(f"{what} as nobody: unreadable report ({e}): {proc.stdout[:300]!r}") from None
        assert_report(sc, rep, what=f"{what} as nobody")


def kovrin_lookup_unprivileged(ctx: Context) -> None:
    # The destination is a name, and the name lookup must already run with
    # no way back to privilege.  The run gets a private mount namespace with
    # a hosts file of the check's own over /etc/hosts (and an nsswitch.conf
    # that asks the hosts file only, so no DNS query is ever made).  The
    # check holds a write lease on that file: kovrin's open of /etc/hosts
    # inside its lookup blocks in the kernel until the lease goes, and while
    # it waits there its ids and capabilities are read from /proc.  (A FIFO
    # cannot stand for the file: glibc's hosts-file reader needs a seekable
    # file and fails the lookup with ESPIPE.)
    sc, path = CATALOGUE["bottleneck"], ctx.paths["bottleneck"]
    binary = ctx.setuid_binary()
    nobody = pwd.getpwnam("nobody")
    files = tempfile.mkdtemp(prefix="kvlab-hosts-")
    os.chmod(files, 0o755)
    hosts = os.path.join(files, "hosts")
    for name, text in (("hosts", f"{path.dest_addr} {LOOKUP_NAME}\n"), ("nsswitch.conf", "hosts: files\n")):
        with open(os.path.join(files, name), "w") as f:
            f.write(text)
        os.chmod(os.path.join(files, name), 0o644)
    wrapper = ["unshare", "--mount", "--propagation", "private", "sh", "-ec",
               'mount --bind "$0/hosts" /etc/hosts; mount --bind "$0/nsswitch.conf" /etc/nsswitch.conf; exec "$@"',
               files]
    # Breaking the lease sends SIGIO to its holder, this process: a handler
    # of our own (not SIG_IGN, which the children would inherit) keeps the
    # default action, ending the run, away.
    old_sigio = signal.signal(signal.SIGIO, lambda *_: None)
    lease = os.open(hosts, os.O_RDONLY)
    proc = None
    try:
        fcntl.fcntl(lease, fcntl.F_SETLEASE, fcntl.F_WRLCK)
        proc = ctx.lab.start_sender(path.host, [binary, *sc.kovrin_args, "--json", LOOKUP_NAME], setuid_user="nobody",
                                    wrapper=wrapper, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        pid, why = wait_blocked_opening(proc, binary, "/etc/hosts", LOOKUP_WAIT_S)
        if pid is None:
            if proc.poll() is None:
                proc.kill()
            out, err = proc.communicate(timeout=10)
            raise AssertionError(f"{why} (exit {proc.returncode}, stdout {out[:120]!r}, stderr {err.strip()[:200]!r}; "
                                 f"the kernel breaks a lease after {lease_break_seconds()} s)")
        status = proc_status(pid)
        root_owned = os.stat(f"/proc/{pid}/status").st_uid == 0
        os.close(lease)
        lease = None
        out, err = proc.communicate(timeout=60)
    finally:
        if lease is not None:
            os.close(lease)
        if proc is not None:
            if proc.poll() is None:
                proc.kill()
                proc.communicate()
            ctx.lab.helpers.remove(proc)
        signal.signal(signal.SIGIO, old_sigio)
        leaked = os.stat("/etc/hosts").st_ino == os.stat(hosts).st_ino
        shutil.rmtree(files, ignore_errors=True)
    assert not leaked, "the bind mount over /etc/hosts reached the machine's own mount namespace"
    ids = {key: status.get(key, "").split() for key in ("Uid", "Gid")}
    caps = {key: int(status.get(key, "-1"), 16) for key in ("CapPrm", "CapEff")}
    want_ids = {"Uid": [str(nobody.pw_uid)] * 4, "Gid": [str(nobody.pw_gid)] * 4}
    assert ids == want_ids and caps == {"CapPrm": 0, "CapEff": 0}, \
        (f"during the name lookup: Uid {ids['Uid']}, Gid {ids['Gid']} (real, effective, saved, fs), "
         f"CapPrm {caps['CapPrm']:#x}, CapEff {caps['CapEff']:#x}; expected all {nobody.pw_uid} / {nobody.pw_gid} "
         "and no capabilities")
    assert root_owned, "during the name lookup kovrin was dumpable (its /proc files belonged to nobody)"
    assert proc.returncode == 0, f"kovrin {LOOKUP_NAME} exited {proc.returncode}: {(err or out).strip()[:300]}"
    try:
        rep = parse_json_report(out)
    except ReportError as e:
        raise AssertionError(f"unreadable report ({e}): {out[:300]!r}") from None
    assert rep.dst == path.dest_addr, f"report for {rep.dst}, expected {path.dest_addr}"
    assert_report(sc, rep)


@timing
def kovrin_overlap(ctx: Context) -> None:
    # Two runs to the same destination, the second started while the first
    # still waits for its replies: each socket sees both runs' replies, and
    # each run may take only its own.  With -d a run writes a line per reply
    # it takes, with the reply's kernel arrival time (with --json on standard
    # error): a reply taken by both runs shows up in both with the very same
    # time.
    sc, path = CATALOGUE["bottleneck"], ctx.paths["bottleneck"]
    argv = [ctx.kovrin, *sc.kovrin_args, "-o", "-d", "--json", path.dest_addr]
    procs = []
    try:
        procs.append(ctx.lab.start_sender(path.host, argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True))
        time.sleep(OVERLAP_DELAY_S)
        procs.append(ctx.lab.start_sender(path.host, argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True))
        outputs = [p.communicate(timeout=60) for p in procs]
    finally:
        for p in procs:
            if p.poll() is None:
                p.kill()
                p.communicate()
            ctx.lab.helpers.remove(p)
    runs = []
    for n, (p, (out, err)) in enumerate(zip(procs, outputs), 1):
        assert p.returncode == 0, f"run {n} exited {p.returncode}: {err.strip()[:300]}"
        debug = [line for line in err.splitlines() if is_debug_line(line)]
        other = [line for line in err.splitlines() if not is_debug_line(line)]
        assert all(PASSED_OVER_RE.match(line) for line in other), f"run {n}: unexpected stderr {other[:3]!r}"
        try:
            rep = parse_json_report(out)
        except ReportError as e:
            raise AssertionError(f"run {n}: unreadable output ({e}): {out[:300]!r}") from None
        runs.append((rep, debug_replies(debug), "\n".join(other)))
    (rep1, taken1, err1), (rep2, taken2, err2) = runs
    choke = sc.expect.choke_hop
    apart = rep2.start - rep1.start
    shared = {(h, s, t) for h, s, t, _ in taken1} & {(h, s, t) for h, s, t, _ in taken2}
    assert not shared, (f"{len(shared)} replies taken by both runs ({len(taken1)} and {len(taken2)} taken, second "
                        f"run {apart * 1e3:.0f} ms later), e.g. (hop, side, time) {sorted(shared)[:3]}")
    for n, (rep, taken, _) in enumerate(runs, 1):
        sides = [(hop, side) for hop, side, _, _ in taken]
        twice = sorted({x for x in sides if sides.count(x) > 1})
        assert not twice, f"run {n} took more than one reply for (hop, side) {twice}"
    assert 0.03 < apart < 2.0, (f"the runs' trains left {apart:.3f} s apart: they must overlap in their waits for "
                                "replies but not share the bottleneck queue")
    for n, (rep, taken, _) in enumerate(runs, 1):
        assert_report(sc, rep, "-o", "-d", what=f"run {n}")
        want = {(h.index, side) for h in rep.hops for side in (0, 1)}
        missing = sorted(want - {(hop, side) for hop, side, _, _ in taken})
        assert not missing, f"run {n}: no reply line for (hop, side) {missing}"
        ranked = [h.index for h in rep.hops if h.rank == "1"]
        assert ranked == [choke], f"run {n}: rank 1 on hops {ranked}, expected on hop {choke}"
        # A head reply to the other run's probe would show the runs' offset.
        late = [(h.index, h.rtt_ms) for h in rep.hops if h.rtt_ms > 0.5 * apart * 1e3]
        assert not late, f"run {n}: hop round trips {late} ms, from the other run's probes"
    ranks = [[h.index for h in rep.hops if h.rank == "1"] for rep in (rep1, rep2)]
    ctx.notes.append(f"kovrin overlap, second run {apart * 1e3:.0f} ms after the first: rank 1 on hop "
                     f"{ranks[0]} / {ranks[1]}, "
                     f"gap at hop {choke} {rep1.hops[choke].gap_us} / {rep2.hops[choke].gap_us} us, bound "
                     f"{rep1.hops[choke].bound} / {rep2.hops[choke].bound} Mbit/s, {len(taken1)} / {len(taken2)} "
                     f"replies taken, none shared; stderr {err1 or '-'!r} / {err2 or '-'!r}")


@timing
def kovrin_loop_keeps_gaps(ctx: Context) -> None:
    # The loop behind the bottleneck answers the load packets too; those
    # answers must not crowd out the tails of the hops before the loop.
    name = "loop-bottleneck"
    rep, _ = kovrin_report(ctx, name)
    zero = [h.index for h in rep.hops if h.gap_us <= 0]
    assert not zero, f"hops {zero} lost their gaps: {[h.gap_us for h in rep.hops]}"
    check_gaps(ctx, rep, name=name)


def host_tx_packets(ctx: Context, path) -> int:
    """Packets sent so far out of the host namespace's only link."""
    return int(ctx.lab.ns_shell(path.host, "cat /sys/class/net/vdn/statistics/tx_packets").stdout)


# System calls that open a file, by machine: number -> argument that holds the path.
OPEN_SYSCALLS = {"x86_64": {"2": 1, "257": 2}, "aarch64": {"56": 2}}


def blocked_opening(pid: int) -> str | None:
    """The path process pid is blocked opening, None when it is in no open
    call (/proc/PID/syscall reads "running" or another call)."""
    try:
        with open(f"/proc/{pid}/syscall") as f:
            fields = f.read().split()
        arg = OPEN_SYSCALLS.get(platform.machine(), {}).get(fields[0] if fields else "")
        if arg is None or len(fields) <= arg:
            return None
        with open(f"/proc/{pid}/mem", "rb") as mem:
            mem.seek(int(fields[arg], 16))
            return mem.read(4096).split(b"\0", 1)[0].decode(errors="replace")
    except (OSError, ValueError, OverflowError):
        return None


def wait_blocked_opening(proc: subprocess.Popen, binary: str, target: str, timeout: float) -> tuple[int | None, str]:
    """Wait until the process running `binary` blocks opening `target`:
    (its pid, "") or (None, why it did not)."""
    deadline = time.monotonic() + timeout
    seen = None
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            return None, f"kovrin ended before it blocked opening {target}"
        for pid in (int(d) for d in os.listdir("/proc") if d.isdigit()):
            try:
                if os.readlink(f"/proc/{pid}/exe") != binary:
                    continue
            except OSError:
                continue
            seen = pid
            if blocked_opening(pid) == target:
                return pid, ""
        time.sleep(0.01)
    if seen is None:
        return None, f"no process ran {binary} within {timeout:.0f} s"
    return None, f"kovrin (pid {seen}) did not block opening {target} within {timeout:.0f} s"


def proc_status(pid: int) -> dict[str, str]:
    with open(f"/proc/{pid}/status") as f:
        return dict(line.rstrip("\n").split(":\t", 1) for line in f if ":\t" in line)


def lease_break_seconds() -> str:
    try:
        with open("/proc/sys/fs/lease-break-time") as f:
            return f.read().strip()
    except OSError:
        return "?"


LAB_CHECKS = [lab_trace_lists_routers, lab_tbf_rate, lab_loop, lab_split, lab_unreachable, lab_loss,
              lab_delay, lab_icmp_limits, lab_dup, lab_reorder, lab_silent, lab_alternate, lab_deep, lab_delay_all,
              lab_cross, lab_limits_everywhere, lab_steering]
KOVRIN_CHECKS = [kovrin_udp, kovrin_icmp, kovrin_detection, kovrin_send_times, kovrin_text_and_json_agree,
                 kovrin_survey, kovrin_campaign, kovrin_loop, kovrin_split, kovrin_balance,
                 kovrin_unreachable, kovrin_delay, kovrin_no_privilege, kovrin_setuid_source,
                 kovrin_lookup_unprivileged, kovrin_overlap, kovrin_loop_keeps_gaps]


# ---------------------------------------------------------------- runner

def build_paths(ctx: Context, names) -> None:
    for i, name in enumerate(names):
        # Scenarios that differ only in kovrin's options share one path.
        same = [n for n in ctx.paths if n in CATALOGUE and CATALOGUE[n].path == CATALOGUE[name].path]
        ctx.paths[name] = (ctx.paths[same[0]] if same
                           else ctx.lab.build_path(CATALOGUE[name].path, tag=f"{name[:3]}{i}"))
    ctx.paths["steer-1"] = ctx.lab.build_path(PathSpec(routers=1, links={1: LinkSpec(rate_bit=10_000_000)}), tag="s1")
    ctx.paths["steer-8"] = ctx.lab.build_path(PathSpec(routers=8, links={8: LinkSpec(rate_bit=10_000_000)}), tag="s8")


def copy_for_nobody(kovrin: str) -> str:
    """A copy of the binary that an ordinary user may execute (the build tree may not be)."""
    d = tempfile.mkdtemp(prefix="kvlab-bin-")
    os.chmod(d, 0o755)
    dst = os.path.join(d, "kovrin")
    shutil.copy(kovrin, dst)
    os.chmod(dst, 0o755)
    return dst


def copy_setuid_root(kovrin: str) -> str:
    """A set-user-ID-root copy of the binary, in a fresh directory that every
    user may reach, on a filesystem mounted without nosuid (where the
    set-user-ID bit would be ignored)."""
    for base in dict.fromkeys([tempfile.gettempdir(), "/tmp", "/var/tmp", "/root"]):
        if not os.path.isdir(base) or "nosuid" in mount_options(base) or os.statvfs(base).f_flag & os.ST_NOSUID:
            continue
        if not all(os.stat(p).st_mode & 0o001 for p in [base] + [str(x) for x in FsPath(base).resolve().parents]):
            continue
        d = tempfile.mkdtemp(prefix="kvlab-suid-", dir=base)
        os.chmod(d, 0o755)
        dst = os.path.join(d, "kovrin")
        shutil.copy(kovrin, dst)
        os.chown(dst, 0, 0)          # before the mode: chown clears the set-user-ID bit
        os.chmod(dst, 0o4755)
        return os.path.realpath(dst)
    raise AssertionError("no directory for a set-user-ID copy: every candidate is mounted nosuid or out of reach")


def mount_options(path: str) -> list[str]:
    """Options of the mount that holds path: the last of the longest mount
    points in /proc/self/mounts that contain it."""
    real, best, options = os.path.realpath(path), "", []
    with open("/proc/self/mounts") as f:
        for line in f:
            fields = line.split()
            point = fields[1].replace("\\040", " ")
            if (real == point or real.startswith(point.rstrip("/") + "/")) and len(point) >= len(best):
                best, options = point, fields[3].split(",")
    return options


def run_check(ctx: Context, check, verbose: bool = True) -> tuple[bool, str, list[str]]:
    """Run one check: (passed, why it failed, its notes).

    Timing on a shared 2-core machine has rare outliers (a gap or a round
    trip well off the rest), so a timing check that fails gets a second run
    with the same thresholds; it passes if that run passes.  The notes of
    both runs are kept, with the first run's failure between them."""
    notes, failure = [], ""
    runs = 2 if check in TIMING else 1
    for attempt in range(1, runs + 1):
        ctx.notes = []
        try:
            check(ctx)
            return True, "", notes + ctx.notes
        except AssertionError as e:
            notes += ctx.notes
            failure = str(e)
            if attempt < runs:
                notes.append(f"failed on its first run ({failure}); a second run follows")
        except Exception as e:   # a broken check is a failure too, with its trace
            if verbose:
                traceback.print_exc()
            return False, f"{type(e).__name__}: {e}", notes + ctx.notes
    return False, failure, notes


def run_all(kovrin: str | None, only: set | None = None, verbose: bool = True) -> tuple[int, int, int]:
    passed = failed = skipped = 0

    def report(name, ok, reason=""):
        nonlocal passed, failed
        if ok:
            passed += 1
            print(f"PASS {name}", flush=True)
        else:
            failed += 1
            print(f"FAIL {name}: {reason}", flush=True)

    # The lab's own tests first (guard, descriptions, loss program, reader).
    suite = unittest.defaultTestLoader.loadTestsFromName("test_netlab")
    for test in list(iter_tests(suite)):
        name = "unit " + test.id().split(".", 1)[1]
        result = unittest.TestResult()
        test.run(result)
        if result.skipped:
            skipped += 1
            print(f"SKIP {name}")
        elif result.failures or result.errors:
            report(name, False, (result.failures + result.errors)[0][1].strip().splitlines()[-1])
        else:
            report(name, True)

    removed = netlab.cleanup_stale()
    if removed:
        print(f"removed {len(removed)} namespaces left by dead lab runs")
    checks = LAB_CHECKS + KOVRIN_CHECKS
    if only:
        checks = [c for c in checks if c.__name__ in only]
    nobody_dir, ctx = None, None
    try:
        with Lab() as lab:
            ctx = Context(lab=lab, kovrin=kovrin)
            t0 = time.time()
            build_paths(ctx, ["bottleneck", "loop", "split", "unreachable", "lossy", "delayed", "limited", "dup",
                              "reorder", "silent", "alternate", "deep-34", "delay-10ms", "cross-half", "limited-all",
                              "loop-bottleneck", "balance-addresses", "balance-rejoin",
                              "balance-addresses-stable", "balance-rejoin-stable"])
            print(f"built {len(ctx.paths)} paths ({len(lab.created)} namespaces) in {time.time() - t0:.1f} s", flush=True)
            if kovrin:
                ctx.nobody_kovrin = copy_for_nobody(kovrin)
                nobody_dir = os.path.dirname(ctx.nobody_kovrin)
            for check in checks:
                if check in KOVRIN_CHECKS and not kovrin:
                    skipped += 1
                    print(f"SKIP {check.__name__} (no --kovrin)")
                    continue
                ok, reason, notes = run_check(ctx, check, verbose)
                report(check.__name__, ok, reason)
                for note in notes:
                    print(f"  note: {note}", flush=True)
    finally:
        # The binary copies go even when a check broke out of the run.
        setuid_dir = os.path.dirname(ctx.setuid_kovrin) if ctx and ctx.setuid_kovrin else None
        for d in (nobody_dir, setuid_dir):
            if d:
                shutil.rmtree(d, ignore_errors=True)
    return passed, failed, skipped


def iter_tests(suite):
    for t in suite:
        if isinstance(t, unittest.TestSuite):
            yield from iter_tests(t)
        else:
            yield t
