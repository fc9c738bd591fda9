"""Reads the prober's report (standard output of one kovrin run) into a record.

The report is: the summary line "start dst size load delay"; the anomaly
lines ("hop addr loop" and "hop addr first-addr"); then either the line
"# no hop reponses" or an empty line, one line per hop
("%02d %7.3f %15s %6d", with -o also " %6d %c %7.3f ub|lb|uk", with -x a host
name), with -o a "conf =" line, an empty line, the "rtt = X ( addr )" line
and an empty line when there is a round-trip time, and with -t one
"%03d %.6f" line per packet sent followed by an empty line.

With -d kovrin writes debug lines to standard output ahead of the report,
among them one line "hop side time addr" ("%d %d %f %s") per time-exceeded
reply it takes: `split_debug` separates them from the report and
`debug_replies` reads those reply lines.

The lab reads kovrin's --json document (`parse_json_report`, into the same
record); with --json the -d lines go to standard error (`is_debug_line`
tells them from other lines there).  `parse_report` reads the text report,
for the check that the two agree.
"""

import json
import re
from dataclasses import dataclass, field

SUMMARY_RE = re.compile(r"^(\d+\.\d{6}) (\S+) (-?\d+) (-?\d+) (-?\d+)$")
LOOP_RE = re.compile(r"^(\d+) (\S+) loop$")
CHANGE_RE = re.compile(r"^(\d+) (\S+) (\S+)$")
HOP_RE = re.compile(r"^(\d{2,}) +(\S+) +(\S+) +(-?\d+)"
                    r"(?: +(-?\d+) ([.0-9]) +(\S+) (ub|lb|uk))?(?: (.*))?$")
RTT_RE = re.compile(r"^rtt = (\S+) \( (\S+) \)$")
SEND_RE = re.compile(r"^(\d{3,}) (\d+\.\d{6})$")
DEBUG_REPLY_RE = re.compile(r"^(\d+) ([01]) (\d+\.\d{6}) (\d+\.\d+\.\d+\.\d+)$")
# Every line -d and -v print: a number per packet sent, the reply counter,
# the reply lines, the echo replies' round trips, and the train's start.
DEBUG_LINE_RE = re.compile(r"^(\d+|rec_i = \d+|\d+ [01] \d+\.\d{6} \S+| ?\d+ rtt: \S+, \S+"
                           r"|wrong seq number in the echo reply pkt: j = -?\d+|probe_once\(\) with \[-?\d+ -?\d+\])$")


class ReportError(ValueError):
    pass


@dataclass
class Hop:
    index: int
    rtt_ms: float
    router: str
    gap_us: int
    step: int | None = None
    rank: str | None = None       # "1".."3" or "."
    bound: float | None = None    # Mbit/s
    kind: str | None = None       # ub, lb, uk
    name: str | None = None
    rate: float | None = None     # the JSON document's rate estimate, Mbit/s


@dataclass
class Report:
    start: float
    dst: str
    size: int
    load: int
    delay: int
    loops: list[tuple[int, str]] = field(default_factory=list)
    changes: list[tuple[int, str, str]] = field(default_factory=list)
    no_hops: bool = False
    hops: list[Hop] = field(default_factory=list)
    conf: list[float] | None = None
    rtt_ms: float | None = None
    rtt_addr: str | None = None
    send_times: list[tuple[int, float]] = field(default_factory=list)


def parse_report(text: str) -> Report:
    lines = text.split("\n")
    if not lines or not SUMMARY_RE.match(lines[0]):
        raise ReportError(f"no summary line: {lines[0] if lines else ''!r}")
    m = SUMMARY_RE.match(lines[0])
    rep = Report(float(m[1]), m[2], int(m[3]), int(m[4]), int(m[5]))
    i = 1
    while i < len(lines) and lines[i] != "" and lines[i] != "# no hop reponses":
        if (m := LOOP_RE.match(lines[i])):
            rep.loops.append((int(m[1]), m[2]))
        elif (m := CHANGE_RE.match(lines[i])):
            rep.changes.append((int(m[1]), m[2], m[3]))
        else:
            raise ReportError(f"line {i + 1}: not an anomaly line: {lines[i]!r}")
        i += 1
    if i >= len(lines):
        raise ReportError("report ends after the anomaly lines")
    if lines[i] == "# no hop reponses":
        rep.no_hops = True
        if lines[i + 1:] not in (["", ""], [""]):
            raise ReportError(f"text after the no-hop line: {lines[i + 1:]!r}")
        return rep
    i += 1
    while i < len(lines) and (m := HOP_RE.match(lines[i])):
        hop = Hop(int(m[1]), float(m[2]), m[3], int(m[4]))
        if m[5] is not None:
            hop.step, hop.rank, hop.bound, hop.kind = int(m[5]), m[6], float(m[7]), m[8]
        hop.name = m[9]
        rep.hops.append(hop)
        i += 1
    if i < len(lines) and lines[i].startswith("conf ="):
        rep.conf = [float(x) for x in lines[i][len("conf ="):].split()]
        i += 1
    if i >= len(lines) or lines[i] != "":
        raise ReportError(f"line {i + 1}: expected the empty line after the hops: {lines[i] if i < len(lines) else None!r}")
    i += 1
    if i < len(lines) and (m := RTT_RE.match(lines[i])):
        rep.rtt_ms, rep.rtt_addr = float(m[1]), m[2]
        if i + 1 >= len(lines) or lines[i + 1] != "":
            raise ReportError("no empty line after the rtt line")
        i += 2
    while i < len(lines) and (m := SEND_RE.match(lines[i])):
        rep.send_times.append((int(m[1]), float(m[2])))
        i += 1
    rest = [x for x in lines[i:]]
    if rest not in ([], [""], ["", ""]):
        raise ReportError(f"line {i + 1}: unexpected text: {rest[:3]!r}")
    return rep


def parse_json_report(text: str) -> Report:
    """The record of kovrin's --json document.  Ranks come as "1".."3" or
    "." as the text report shows them, a bound that is not finite as
    float("inf") or float("nan")."""
    try:
        doc = json.loads(text)
    except ValueError as e:
        raise ReportError(f"not JSON: {e}") from None
    if not isinstance(doc, dict) or doc.get("schema") != "kovrin-report" or doc.get("schema_version") != 1:
        raise ReportError(f"not a kovrin report of schema version 1: {str(doc)[:80]!r}")
    try:
        s = doc["settings"]
        rep = Report(doc["start_time"], doc["destination"], s["pkt_size"], s["udp_pkt_num"], s["delay_num"])
        for a in doc["anomalies"]:
            if a["kind"] == "loop":
                rep.loops.append((a["hop"], a["router"] or "0.0.0.0"))
            else:
                rep.changes.append((a["hop"], a["second"] or "0.0.0.0", a["first"] or "0.0.0.0"))
        rep.no_hops = not doc["hops"]
        for h in doc["hops"]:
            hop = Hop(h["hop"], h["head_rtt_ms"] or 0.0, h["router"] or "0.0.0.0", h["gap_us"], name=h.get("name"),
                      rate=h.get("rate_estimate_mbit"))
            if "detection" in h:
                d = h["detection"]
                hop.step, hop.kind = d["cleaned_gap_us"], d["kind"]
                hop.rank = "." if d["rank"] is None else str(d["rank"])
                hop.bound = float(d["bound_mbit"])
            rep.hops.append(hop)
        if "confidences" in doc and not rep.no_hops:
            rep.conf = [float(c) for c in doc["confidences"]]
        if doc["rtt_ms"] is not None and not rep.no_hops:
            rep.rtt_ms, rep.rtt_addr = doc["rtt_ms"], doc["rtt_source"]
        rep.send_times = list(enumerate(doc.get("send_log", []))) if not rep.no_hops else []
    except (KeyError, TypeError, ValueError) as e:
        raise ReportError(f"a member is missing or of the wrong type: {e!r}") from None
    return rep


def is_debug_line(line: str) -> bool:
    return bool(DEBUG_LINE_RE.match(line))


def split_debug(text: str) -> tuple[list[str], str]:
    """The debug lines ahead of the report, and the report from its summary
    line on (no debug line looks like a summary line)."""
    lines = text.split("\n")
    for i, line in enumerate(lines):
        if SUMMARY_RE.match(line):
            return lines[:i], "\n".join(lines[i:])
    raise ReportError(f"no summary line after {len(lines)} lines of output")


def debug_replies(lines: list[str]) -> list[tuple[int, int, float, str]]:
    """(hop, side, arrival time, router) of every reply line among the debug
    lines; side 0 is the head packet's reply, 1 the tail's."""
    return [(int(m[1]), int(m[2]), float(m[3]), m[4]) for line in lines if (m := DEBUG_REPLY_RE.match(line))]
