"""Emulated network paths in network namespaces, and the guard that keeps
every sender inside them.

A path is a chain of namespaces: one host, N routers and one destination,
joined by veth pairs that are created directly inside the namespaces (the
machine's own namespace never sees them, has no route to them and is never
joined to the lab).  Link j joins node j and node j + 1, where node 0 is the
host, nodes 1..N are the routers and node N + 1 is the destination.

The only way this module starts a program that sends packets is
`Lab.sender_command` / `Lab.run_sender` / `Lab.start_sender`: they run the
program through `ip netns exec` in a host namespace that this Lab object
created itself, and refuse anything else.  `nsguard.py` repeats the check from
inside the namespace right before it hands over to the sender.

Usage:

    with Lab() as lab:
        path = lab.build_path(PathSpec(routers=6, links={4: LinkSpec(rate_bit=10_000_000)}))
        result = lab.run_sender(path.host, ["kovrin", path.dest_addr])

The Lab tears everything down when the `with` block ends, on exceptions and
on SIGINT/SIGTERM/SIGHUP; `cleanup_stale()` removes what dead runs left.
"""

from __future__ import annotations

import atexit
import json
import os
import re
import secrets
import shlex
import shutil
import signal
import subprocess
import time
from dataclasses import dataclass, field
from pathlib import Path as FsPath

LAB_DIR = FsPath(__file__).resolve().parent
NSGUARD = LAB_DIR / "nsguard.py"
PYTHON = "/usr/bin/python3"
NETNS_DIR = FsPath("/run/netns")

# Every namespace of a lab run is named PREFIX<pid>x<hex>-<path><role>, so the
# cleanup can tell which run made it and whether that run is still alive.
PREFIX = "kvl"

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

# Offloads switched off on every veth.  Without segmentation offloads (GSO,
# TSO) and receive coalescing (GRO) every packet stays the size it was sent
# with, so tbf and the routers see real packet sizes.  Transmit checksum
# offload is off too: otherwise a UDP datagram crosses the veths with only a
# partial checksum, and a delay line, which passes frames on as bytes, would
# deliver it with a wrong one.
OFFLOADS_OFF = "gso off tso off gro off tx off"

# CPU steering: senders run on SENDER_CPU; the routers' receive processing is
# steered to ROUTER_CPU with RPS, so that the forwarding of the path does not
# run inside the sender's sendto calls.
SENDER_CPU = 0
ROUTER_CPU = 1

# Hard bounds of the cross-traffic sender (tools/crossload.c refuses more).
CROSS_MAX_SECONDS = 60.0
CROSS_MAX_PACKETS = 2_000_000
CROSS_MAX_RATE = 1_000_000_000

# Firewall mark that sends a packet over the parallel link of an alternating
# route, and the routing table that holds that route (table base + router).
ALT_MARK = 1
ALT_TABLE_BASE = 100


class GuardError(RuntimeError):
    """Raised when a sender would run outside a host namespace of this lab run."""


class LabError(RuntimeError):
    """Raised when the lab cannot build or drive a path."""


# ---------------------------------------------------------------- description

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
        return (self.size + 14) * 8 / self.rate_bit * 1e6


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
    cross:       cross traffic over one link (see CrossSpec).
    rps:         steer the routers' receive processing to ROUTER_CPU.
    """
    routers: int
    links: dict[int, LinkSpec] = field(default_factory=dict)
    router_opts: dict[int, RouterSpec] = field(default_factory=dict)
    loop_at: int | None = None
    split: dict[int, list[int]] = field(default_factory=dict)
    alternate: int | None = None
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
        return sorted(set(self.split) | ({self.alternate} if self.alternate is not None else set()))

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


# ---------------------------------------------------------------- helpers

def run(argv: list[str], check: bool = True, **kw) -> subprocess.CompletedProcess:
    proc = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kw)
    if check and proc.returncode != 0:
        raise LabError(f"{shlex.join(argv)} failed ({proc.returncode}): {proc.stderr.strip()}")
    return proc


def ns_identity(path: str) -> tuple[int, int] | None:
    """(device, inode) of a namespace file, None when it cannot be read."""
    try:
        st = os.stat(path)
    except OSError:
        return None
    return (st.st_dev, st.st_ino)


def machine_namespaces() -> set[tuple[int, int]]:
    """The namespaces a sender must never run in: ours and init's (if visible)."""
    out = set()
    for p in ("/proc/self/ns/net", "/proc/1/ns/net"):
        ident = ns_identity(p)
        if ident is not None:
            out.add(ident)
    return out


def ensure_program(name: str, package: str) -> str:
    """Path of a system program, installed from its Debian package when missing."""
    fallback = f"/usr/sbin/{name}"
    path = shutil.which(name) or (fallback if os.path.exists(fallback) else None)
    if path:
        return path
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    if run(["apt-get", "install", "-y", package], check=False, env=env).returncode != 0:
        run(["apt-get", "update"], env=env)
        run(["apt-get", "install", "-y", package], env=env)
    path = shutil.which(name) or fallback
    if not os.path.exists(path):
        raise LabError(f"{name} could not be installed")
    return path


def ensure_ethtool() -> str:
    return ensure_program("ethtool", "ethtool")


def ensure_nft() -> str:
    return ensure_program("nft", "nftables")


def silent_ruleset() -> str:
    """nftables rules that drop every ICMP packet a router sends itself
    (the output hook sees only locally made packets, not forwarded ones)."""
    return ("table ip kvlab {\n"
            "  chain out {\n"
            "    type filter hook output priority 0; policy accept;\n"
            "    ip protocol icmp drop\n"
            "  }\n"
            "}\n")


def alternate_ruleset(in_dev: str = "vup") -> str:
    """nftables rules that mark every other packet towards the destination
    (strict round robin over the packets that come in on in_dev); the mark
    selects the routing table with the parallel link."""
    return ("table ip kvlab {\n"
            "  chain pre {\n"
            "    type filter hook prerouting priority mangle; policy accept;\n"
            f"    iifname \"{in_dev}\" ip daddr {DEST_NET} meta mark set numgen inc mod 2\n"
            "  }\n"
            "}\n")


def pid_alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


NAME_RE = re.compile(rf"^{PREFIX}(\d+)x[0-9a-f]{{4}}-")


def lab_namespaces() -> list[str]:
    """Every namespace that some lab run (alive or dead) made."""
    try:
        return sorted(n for n in os.listdir(NETNS_DIR) if NAME_RE.match(n))
    except FileNotFoundError:
        return []


def run_owner(ns: str) -> int | None:
    """The pid of the run that made a lab namespace, None if the name is not ours."""
    m = NAME_RE.match(ns)
    return int(m[1]) if m else None


def delete_namespace(ns: str) -> None:
    # Processes still inside (delay lines of a dead run) are ended by pid
    # first, so that the namespace and its veths really go away.
    pids = run(["ip", "netns", "pids", ns], check=False).stdout.split()
    for pid in pids:
        try:
            os.kill(int(pid), signal.SIGKILL)
        except (ProcessLookupError, ValueError):
            pass
    run(["ip", "netns", "del", ns], check=False)


def cleanup_stale(everything: bool = False) -> list[str]:
    """Delete the namespaces of lab runs whose process is gone (all with everything)."""
    removed = []
    for ns in lab_namespaces():
        owner = run_owner(ns)
        if everything or owner is None or not pid_alive(owner):
            delete_namespace(ns)
            removed.append(ns)
    return removed


# ---------------------------------------------------------------- the lab

class Lab:
    """One lab run: the namespaces it made, the helpers it started, the guard."""

    def __init__(self, tools_dir: str | None = None):
        self.run_id = f"{PREFIX}{os.getpid()}x{secrets.token_hex(2)}"
        self.created: dict[str, tuple[int, int]] = {}   # namespace -> identity
        self.hosts: set[str] = set()                    # namespaces that may run senders
        self.nodes: set[str] = set()                    # host, router and destination namespaces of paths
        self.helpers: list[subprocess.Popen] = []
        self.paths: list[BuiltPath] = []
        self.forbidden = machine_namespaces()
        self.tools_dir = tools_dir
        self._old_handlers: dict[int, object] = {}
        self._closed = False
        atexit.register(self.close)   # also when used without a with block

    # -- lifetime

    def __enter__(self) -> "Lab":
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            self._old_handlers[sig] = signal.signal(sig, self._on_signal)
        return self

    def __exit__(self, *exc) -> None:
        self.close()
        for sig, handler in self._old_handlers.items():
            signal.signal(sig, handler)

    def _on_signal(self, signum, frame):
        self.close()
        raise SystemExit(128 + signum)

    def close(self) -> None:
        if self._closed:
            return
        self._closed = True
        for proc in self.helpers:
            if proc.poll() is None:
                proc.kill()
                try:
                    proc.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    pass
        for ns in reversed(list(self.created)):
            delete_namespace(ns)
        self.created.clear()
        self.hosts.clear()
        self.nodes.clear()

    # -- namespaces

    def add_namespace(self, name: str, host: bool = False) -> str:
        ns = f"{self.run_id}-{name}"
        if len(ns) > 60:
            raise LabError(f"namespace name too long: {ns}")
        run(["ip", "netns", "add", ns])
        ident = ns_identity(str(NETNS_DIR / ns))
        if ident is None or ident in self.forbidden:
            run(["ip", "netns", "del", ns], check=False)
            raise LabError(f"namespace {ns} is not a new namespace")
        self.created[ns] = ident
        if host:
            self.hosts.add(ns)
        # No IPv6: its router solicitations and multicast reports would be
        # frames of their own in the shaped queues, in the middle of a train.
        run(["ip", "netns", "exec", ns, "sysctl", "-qw", "net.ipv6.conf.all.disable_ipv6=1",
             "net.ipv6.conf.default.disable_ipv6=1"], check=False)
        run(["ip", "-n", ns, "link", "set", "dev", "lo", "up"])
        return ns

    # -- the guard

    def check_sender_namespace(self, ns: str, any_node: bool = False) -> tuple[int, int]:
        """Return the identity of ns if a sender may run there, else raise GuardError.

        Senders run in host namespaces of this run; with any_node also in the
        router and destination namespaces of a path this run built (cross
        traffic), never in a namespace it did not create."""
        if self._closed:
            raise GuardError("the lab has been torn down")
        if ns not in self.hosts and not (any_node and ns in self.nodes):
            kind = "path namespace" if any_node else "host namespace"
            raise GuardError(f"refusing to start a sender in {ns!r}: not a {kind} of lab run {self.run_id}")
        ident = ns_identity(str(NETNS_DIR / ns))
        if ident is None or ident != self.created.get(ns):
            raise GuardError(f"refusing to start a sender in {ns!r}: it is not the namespace this run created")
        if ident in self.forbidden or ident in machine_namespaces():
            raise GuardError(f"refusing to start a sender in {ns!r}: it is the machine's own namespace")
        return ident

    def sender_command(self, ns: str, argv: list[str], cpu: int | None = SENDER_CPU,
                       user: str | None = None, any_node: bool = False, setuid_user: str | None = None,
                       wrapper: list[str] | None = None) -> list[str]:
        """The command line that runs argv as a sender in host namespace ns
        (with any_node: in any host, router or destination namespace of a
        path of this run).

        The sender is pinned to `cpu`.  Two ways to run it as an ordinary
        user, which exclude each other:

        * `user`: without any privilege.  setpriv switches uid, gid and
          groups, clears the inheritable and bounding sets and sets
          no_new_privs, so nothing can raise the program again, not even a
          set-user-ID or file-capability bit on its file.
        * `setuid_user`: as an ordinary user starts an installed privileged
          program.  setpriv switches only uid, gid and groups (the kernel
          clears the capabilities with the uid); the bounding set stays and
          no_new_privs stays off, so a set-user-ID-root or file-capability
          binary gains what its file grants, and nothing else does.

        `wrapper` is a command put between the guard and the user switch; it
        runs as root inside the namespace and must end by exec'ing the rest
        of its arguments (the user switch and the sender), e.g. `unshare -m
        --propagation private sh -ec 'mount ...; exec "$@"' ARG0`."""
        ident = self.check_sender_namespace(ns, any_node=any_node)
        if not argv:
            raise GuardError("no sender given")
        if user is not None and setuid_user is not None:
            raise GuardError("user and setuid_user exclude each other")
        forbid = ",".join(f"{d}:{i}" for d, i in sorted(self.forbidden))
        cmd = ["ip", "netns", "exec", ns]
        if cpu is not None:
            cmd += ["taskset", "-c", str(cpu)]
        cmd += [PYTHON, str(NSGUARD), "--expect", f"{ident[0]}:{ident[1]}", "--forbid", forbid, "--"]
        cmd += list(wrapper or [])
        if user is not None:
            cmd += ["setpriv", f"--reuid={user}", f"--regid={user_group(user)}", "--clear-groups",
                    "--inh-caps=-all", "--bounding-set=-all", "--no-new-privs"]
        if setuid_user is not None:
            cmd += ["setpriv", f"--reuid={setuid_user}", f"--regid={user_group(setuid_user)}", "--clear-groups"]
        return cmd + list(argv)

    def run_sender(self, ns: str, argv: list[str], timeout: float = 120, cpu: int | None = SENDER_CPU,
                   user: str | None = None, setuid_user: str | None = None,
                   wrapper: list[str] | None = None) -> subprocess.CompletedProcess:
        cmd = self.sender_command(ns, argv, cpu=cpu, user=user, setuid_user=setuid_user, wrapper=wrapper)
        return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=timeout)

    def start_sender(self, ns: str, argv: list[str], cpu: int | None = SENDER_CPU, any_node: bool = False,
                     user: str | None = None, setuid_user: str | None = None, wrapper: list[str] | None = None,
                     **popen) -> subprocess.Popen:
        proc = subprocess.Popen(self.sender_command(ns, argv, cpu=cpu, any_node=any_node, user=user,
                                                    setuid_user=setuid_user, wrapper=wrapper), **popen)
        self.helpers.append(proc)
        return proc

    # -- cross traffic

    def cross_command(self, path: BuiltPath, seconds: float | None = None) -> list[str]:
        """The guarded command of the path's cross-traffic sender (in node
        `cross.link`, pinned to ROUTER_CPU, bounded in time and packets)."""
        c = path.spec.cross
        if c is None:
            raise LabError("the path has no cross traffic")
        seconds = c.max_s if seconds is None else min(seconds, c.max_s)
        packets = min(int(seconds * 1e6 / c.interval_us()) + 1, CROSS_MAX_PACKETS)
        tool = build_tool("crossload", self.tools_dir)
        return self.sender_command(path.node_ns(c.link), [tool, CROSS_SINK, str(c.rate_bit), str(c.size),
                                                          f"{seconds:.3f}", str(packets)],
                                   cpu=ROUTER_CPU, any_node=True)

    def start_cross(self, path: BuiltPath, seconds: float | None = None) -> subprocess.Popen:
        proc = subprocess.Popen(self.cross_command(path, seconds), stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)
        self.helpers.append(proc)
        return proc

    def run_on_path(self, path: BuiltPath, argv: list[str], timeout: float = 120, cpu: int | None = SENDER_CPU,
                    user: str | None = None) -> subprocess.CompletedProcess:
        """Run argv as a sender in the path's host namespace, with the path's
        cross traffic (if any) running around it: the cross sender starts
        `settle_s` before the program and is ended when the program exits
        (it stops by itself after `max_s` at the latest).  The cross sender's
        own summary line is kept in `path.cross_log`."""
        c = path.spec.cross
        if c is None:
            return self.run_sender(path.host, argv, timeout=timeout, cpu=cpu, user=user)
        cmd = self.sender_command(path.host, argv, cpu=cpu, user=user)
        cross = self.start_cross(path)
        try:
            time.sleep(c.settle_s)
            if cross.poll() is not None:
                raise LabError(f"cross traffic ended early ({cross.returncode}): {cross.stderr.read().strip()}")
            return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=timeout)
        finally:
            if cross.poll() is None:
                cross.terminate()
            try:
                out, err = cross.communicate(timeout=5)
            except subprocess.TimeoutExpired:
                cross.kill()
                out, err = cross.communicate()
            path.cross_log.append((out or err or "").strip())
            self.helpers.remove(cross)

    def start_watch(self, path: BuiltPath, hop: int, seconds: float = 30.0) -> subprocess.Popen:
        """Start watching, at the router of `hop` (0-based), when the prober's
        head and tail packet of that hop arrive there (watchgap.py); returns
        once the watch is in place.  finish_watch() gives the result."""
        proc = self.start_helper(path.node_ns(hop + 1), [PYTHON, str(LAB_DIR / "watchgap.py"), "vup",
                                                           str(hop + 1), str(seconds)],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = proc.stdout.readline()
        if '"ready"' not in line:
            proc.kill()
            raise LabError(f"gap watch did not start: {line.strip()} {proc.stderr.read().strip()}")
        return proc

    def finish_watch(self, proc: subprocess.Popen, timeout: float = 35.0) -> dict:
        """The watch's result: arrival times of the head and tail packet and
        their gap in microseconds (missing when a packet did not come)."""
        try:
            out, _ = proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            out, _ = proc.communicate()
        if proc in self.helpers:
            self.helpers.remove(proc)
        try:
            return json.loads(out.strip().splitlines()[-1]) if out.strip() else {}
        except ValueError:
            return {}

    # Helpers that only pass traffic on (delay lines, receivers) run in any
    # namespace of this run, never elsewhere.
    def start_helper(self, ns: str, argv: list[str], cpu: int | None = ROUTER_CPU, **popen) -> subprocess.Popen:
        ident = ns_identity(str(NETNS_DIR / ns))
        if ns not in self.created or ident != self.created[ns] or ident in self.forbidden:
            raise GuardError(f"refusing to start a helper in {ns!r}: not a namespace of lab run {self.run_id}")
        cmd = ["ip", "netns", "exec", ns]
        if cpu is not None:
            cmd += ["taskset", "-c", str(cpu)]
        cmd += [PYTHON, str(NSGUARD), "--expect", f"{ident[0]}:{ident[1]}",
                "--forbid", ",".join(f"{d}:{i}" for d, i in sorted(self.forbidden)), "--"] + list(argv)
        proc = subprocess.Popen(cmd, **popen)
        self.helpers.append(proc)
        return proc

    def ns_shell(self, ns: str, script: str) -> subprocess.CompletedProcess:
        """Configure a namespace of this run (sysctl, ethtool, sysfs) with one shell."""
        if ns not in self.created:
            raise GuardError(f"{ns!r} is not a namespace of lab run {self.run_id}")
        return run(["ip", "netns", "exec", ns, "sh", "-ec", script])

    # -- paths

    def build_path(self, spec: PathSpec, tag: str = "p") -> BuiltPath:
        spec.validate()
        ethtool = ensure_ethtool()
        n = spec.routers
        host = self.add_namespace(f"{tag}h", host=True)
        routers = [self.add_namespace(f"{tag}r{k}") for k in range(1, n + 1)]
        dest = self.add_namespace(f"{tag}d")
        path = BuiltPath(spec=spec, tag=tag, host=host, routers=routers, dest=dest)
        self.paths.append(path)
        nodes = [host] + routers + [dest]
        self.nodes.update(nodes)
        ifaces: dict[str, list[str]] = {ns: [] for ns in nodes}

        for j in range(n + 1):
            a, b = nodes[j], nodes[j + 1]
            lspec = spec.link(j)
            if lspec.delayed:
                mid = self.add_namespace(f"{tag}x{j}")
                path.delay_ns[j] = mid
                self._veth(a, "vdn", mid, "da")
                self._veth(mid, "db", b, "vup")
                ifaces[mid] = ["da", "db"]
            else:
                self._veth(a, "vdn", b, "vup")
            ifaces[a].append("vdn")
            ifaces[b].append("vup")
            run(["ip", "-n", a, "addr", "add", f"{link_addr(j, 0)}/24", "dev", "vdn"])
            run(["ip", "-n", b, "addr", "add", f"{link_addr(j, 1)}/24", "dev", "vup"])
        for k in spec.parallel():
            j = k - 1
            a, b = nodes[j], nodes[k]
            self._veth(a, "vdn2", b, "vup2")
            ifaces[a].append("vdn2")
            ifaces[b].append("vup2")
            run(["ip", "-n", a, "addr", "add", f"{alt_addr(j, 0)}/24", "dev", "vdn2"])
            run(["ip", "-n", b, "addr", "add", f"{alt_addr(j, 1)}/24", "dev", "vup2"])
        run(["ip", "-n", dest, "addr", "add", f"{DEST_ADDR}/32", "dev", "lo"])

        # Sysctls, offloads and steering, one shell per namespace.
        for idx, ns in enumerate(nodes):
            lines = ["sysctl -qw net.ipv4.conf.all.rp_filter=0 net.ipv4.conf.default.rp_filter=0",
                     "sysctl -qw net.ipv4.conf.all.send_redirects=0 net.ipv4.conf.all.accept_redirects=0"]
            if 1 <= idx <= n:
                rs = spec.router(idx)
                lines.append("sysctl -qw net.ipv4.ip_forward=1")
                lines.append(f"sysctl -qw net.ipv4.icmp_errors_use_inbound_ifaddr={1 if rs.reply_from_inbound else 0}")
                lim = rs.icmp.sysctls()
            elif idx == n + 1:
                lim = IcmpLimits.off().sysctls()
            else:
                lim = {}
            if lim:
                lines.append("sysctl -qw " + " ".join(f"{k}={v}" for k, v in lim.items()))
            for dev in ifaces[ns]:
                lines.append(f"{ethtool} -K {dev} {OFFLOADS_OFF} >/dev/null")
                lines.append(f"sysctl -qw net.ipv4.conf.{dev}.rp_filter=0")
                if spec.rps and idx >= 1:
                    cpu = rx_cpu(spec, idx, dev)
                    lines.append(f"for q in /sys/class/net/{dev}/queues/rx-*; do echo {1 << cpu:x} > $q/rps_cpus; done")
                lines.append(f"ip link set dev {dev} up")
            self.ns_shell(ns, "\n".join(lines))
        for j, mid in path.delay_ns.items():
            lines = []
            for dev in ("da", "db"):
                lines.append(f"{ethtool} -K {dev} {OFFLOADS_OFF} >/dev/null")
                lines.append(f"ip link set dev {dev} promisc on up")
            self.ns_shell(mid, "\n".join(lines))

        self._routes(path, nodes)
        self._neighbours(path, nodes)
        for j in range(n + 1):
            self._shape(nodes[j], "vdn", spec.link(j))
        self._firewall(path, nodes)
        for j, mid in path.delay_ns.items():
            lspec = spec.link(j)
            delayline = build_tool("delayline", self.tools_dir)
            self.start_helper(mid, [delayline, "da", "db", f"{lspec.delay_ms}", f"{lspec.jitter_ms}",
                                    f"{lspec.jitter_share}"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        if path.delay_ns:
            time.sleep(0.3)   # let the delay lines bind their sockets
            for proc in self.helpers:
                if proc.poll() is not None:
                    raise LabError(f"delay line ended: {proc.stderr.read().decode() if proc.stderr else ''}")
        return path

    def _veth(self, ns_a: str, dev_a: str, ns_b: str, dev_b: str) -> None:
        # Created inside ns_a with its peer put straight into ns_b: the pair
        # never exists in the machine's namespace.
        run(["ip", "-n", ns_a, "link", "add", dev_a, "type", "veth", "peer", "name", dev_b, "netns", ns_b])

    def _routes(self, path: BuiltPath, nodes: list[str]) -> None:
        spec = path.spec
        n = spec.routers
        add = lambda ns, *r: run(["ip", "-n", ns] + ["route", "add"] + list(r))
        # Host: everything goes to router 1 (there is no other way out).
        add(nodes[0], "default", "via", link_addr(0, 1))
        for k in range(1, n + 1):
            ns = nodes[k]
            back = link_addr(k - 1, 0)           # previous node
            ahead = link_addr(k, 1)              # next node
            for j in range(0, k - 1):            # links behind
                add(ns, f"{LINK_NET}.{j}.0/24", "via", back)
                if j + 1 in spec.parallel():
                    add(ns, f"{ALT_NET}.{j}.0/24", "via", back)
            for j in range(k + 1, n + 1):        # links ahead
                add(ns, f"{LINK_NET}.{j}.0/24", "via", ahead)
            for kk in spec.parallel():
                if kk - 1 > k:
                    add(ns, f"{ALT_NET}.{kk - 1}.0/24", "via", ahead)
            if spec.loop_at == k:
                add(ns, DEST_NET, "via", back)
            else:
                add(ns, DEST_NET, "via", ahead)
            if k + 1 in spec.split:
                table = str(100 + k)
                run(["ip", "-n", ns, "route", "add", DEST_NET, "via", alt_addr(k, 1), "table", table])
                for port in spec.split[k + 1]:
                    run(["ip", "-n", ns, "rule", "add", "ipproto", "udp", "dport", str(port),
                         "lookup", table, "priority", "100"])
            if spec.alternate == k + 1:
                table = str(ALT_TABLE_BASE + k)
                run(["ip", "-n", ns, "route", "add", DEST_NET, "via", alt_addr(k, 1), "table", table])
                run(["ip", "-n", ns, "rule", "add", "fwmark", str(ALT_MARK), "lookup", table, "priority", "100"])
        add(nodes[n + 1], "default", "via", link_addr(n, 0))
        c = spec.cross
        if c is not None:
            # The sender's node routes the sink over the shaped link; the far
            # end drops it without a word (a blackhole sends no ICMP).
            add(nodes[c.link], CROSS_NET, "via", link_addr(c.link, 1))
            run(["ip", "-n", nodes[c.link + 1], "route", "add", "blackhole", CROSS_NET])

    def _neighbours(self, path: BuiltPath, nodes: list[str]) -> None:
        # Permanent neighbour entries on both ends of every link: no ARP
        # exchange delays the first probes of a run (through a delay line it
        # would cost two extra round trips) or mixes its frames into a train.
        def mac(ns: str, dev: str) -> str:
            return json.loads(run(["ip", "-n", ns, "-j", "link", "show", "dev", dev]).stdout)[0]["address"]

        pairs = [(nodes[j], "vdn", link_addr(j, 0), nodes[j + 1], "vup", link_addr(j, 1))
                 for j in range(path.spec.routers + 1)]
        pairs += [(nodes[k - 1], "vdn2", alt_addr(k - 1, 0), nodes[k], "vup2", alt_addr(k - 1, 1))
                  for k in path.spec.parallel()]
        for ns_a, dev_a, addr_a, ns_b, dev_b, addr_b in pairs:
            run(["ip", "-n", ns_a, "neigh", "replace", addr_b, "lladdr", mac(ns_b, dev_b), "dev", dev_a, "nud", "permanent"])
            run(["ip", "-n", ns_b, "neigh", "replace", addr_a, "lladdr", mac(ns_a, dev_a), "dev", dev_b, "nud", "permanent"])

    def _shape(self, ns: str, dev: str, lspec: LinkSpec) -> None:
        if lspec.rate_bit is not None:
            run(["tc", "-n", ns, "qdisc", "replace", "dev", dev, "root", "tbf", "rate", f"{lspec.rate_bit}bit",
                 "burst", str(lspec.burst), "limit", str(lspec.limit)])
        if lspec.loss > 0 or lspec.dup > 0:
            run(["tc", "-n", ns, "qdisc", "add", "dev", dev, "clsact"])
        if lspec.loss > 0:
            run(["tc", "-n", ns, "filter", "add", "dev", dev, "egress", "pref", "10", "bpf", "da", "bytecode",
                 loss_bytecode(lspec.loss)])
        if lspec.dup > 0:
            # A copy of the chosen packets is sent out of the same device
            # right before the packet itself; the copy passes this filter
            # again and is copied with the same share (up to the kernel's
            # nesting limit), so the extra packets are dup / (1 - dup).
            run(["tc", "-n", ns, "filter", "add", "dev", dev, "egress", "pref", "20", "bpf", "bytecode",
                 dup_bytecode(lspec.dup), "action", "mirred", "egress", "mirror", "dev", dev])

    def _firewall(self, path: BuiltPath, nodes: list[str]) -> None:
        spec = path.spec
        rules = {}
        for k in range(1, spec.routers + 1):
            if spec.router(k).silent:
                rules[k] = silent_ruleset()
        if spec.alternate is not None:
            rules[spec.alternate - 1] = rules.get(spec.alternate - 1, "") + alternate_ruleset()
        if not rules:
            return
        nft = ensure_nft()
        for node, text in rules.items():
            # Each ruleset declares the same table; nft merges the chains.
            run(["ip", "netns", "exec", nodes[node], nft, "-f", "-"], input=text)

    def set_rps(self, path: BuiltPath, on: bool) -> None:
        mask = f"{1 << ROUTER_CPU:x}" if on else "0"
        for ns in path.routers + [path.dest]:
            self.ns_shell(ns, f"for q in /sys/class/net/*/queues/rx-*; do "
                              f"case $q in /sys/class/net/lo/*) ;; *) echo {mask} > $q/rps_cpus;; esac; done")

    def tc_stats(self, ns: str, dev: str = "vdn") -> str:
        return run(["tc", "-n", ns, "-s", "qdisc", "show", "dev", dev]).stdout


def rx_cpu(spec: PathSpec, node: int, dev: str) -> int:
    """The CPU that handles what device `dev` of `node` receives.

    The forwarding of the train up to the first shaped link runs on
    ROUTER_CPU, away from the sender.  Past that link the train trickles at
    the link's rate, and the answers coming back have to be quick: an answer
    that waited behind the load block on ROUTER_CPU reached the host up to a
    millisecond late, which shortened every gap after the link.  So the
    routers after the first shaped link, and the answers' direction (vdn)
    everywhere, are handled on SENDER_CPU, where they cost the sender a few
    microseconds each.  Paths without shaping keep everything on ROUTER_CPU."""
    shaped = [j for j, link in spec.links.items() if link.rate_bit is not None]
    if not shaped:
        return ROUTER_CPU
    if node > min(shaped) or dev == "vdn":
        return SENDER_CPU
    return ROUTER_CPU


def user_group(user: str) -> str:
    import grp
    import pwd
    return grp.getgrgid(pwd.getpwnam(user).pw_gid).gr_name


# ---------------------------------------------------------------- random loss

def loss_bytecode(share: float) -> str:
    """Classic BPF for a direct-action tc filter that drops `share` of IPv4 packets.

    ld proto; jeq 0x800 else pass; ld rand; jge threshold -> pass; drop.
    The ancillary loads are SKF_AD_OFF (-4096) + SKF_AD_PROTOCOL (0) and
    + SKF_AD_RANDOM (56); direct-action return 2 is TC_ACT_SHOT, 0 TC_ACT_OK.
    Only IPv4 is dropped, so ARP keeps the link up."""
    if not 0.0 < share < 1.0:
        raise LabError("loss share must be in (0, 1)")
    threshold = min(int(share * 2**32), 2**32 - 1)
    ad_protocol = (2**32 - 4096) & 0xFFFFFFFF
    ad_random = (2**32 - 4096 + 56) & 0xFFFFFFFF
    prog = [
        (0x28, 0, 0, ad_protocol),   # ldh protocol
        (0x15, 0, 3, 0x0800),        # jeq IPv4 ? next : pass
        (0x20, 0, 0, ad_random),     # ld rand
        (0x35, 1, 0, threshold),     # jge threshold ? pass : drop
        (0x06, 0, 0, 2),             # ret TC_ACT_SHOT
        (0x06, 0, 0, 0),             # ret TC_ACT_OK
    ]
    return f"{len(prog)}," + ",".join(f"{c} {t} {f} {k}" for c, t, f, k in prog)


def dup_bytecode(share: float) -> str:
    """Classic BPF for a tc classifier (not direct action) that matches `share`
    of IPv4 packets: ld proto; jeq 0x800 else no match; ld rand; jge
    threshold -> no match; match.  A classifier returns -1 for a match of its
    own class and 0 for none."""
    if not 0.0 < share < 1.0:
        raise LabError("dup share must be in (0, 1)")
    threshold = min(int(share * 2**32), 2**32 - 1)
    prog = [
        (0x28, 0, 0, (2**32 - 4096) & 0xFFFFFFFF),        # ldh protocol
        (0x15, 0, 3, 0x0800),                             # jeq IPv4 ? next : no match
        (0x20, 0, 0, (2**32 - 4096 + 56) & 0xFFFFFFFF),   # ld rand
        (0x35, 1, 0, threshold),                          # jge threshold ? no match : match
        (0x06, 0, 0, 0xFFFFFFFF),                         # ret -1: match
        (0x06, 0, 0, 0),                                  # ret 0: no match
    ]
    return f"{len(prog)}," + ",".join(f"{c} {t} {f} {k}" for c, t, f, k in prog)


# ---------------------------------------------------------------- C helpers

def tools_cache(tools_dir: str | None = None) -> FsPath:
    return FsPath(tools_dir or os.environ.get("KVLAB_TOOLS") or f"/tmp/kvlab-tools-{os.getuid()}")


def build_tool(name: str, tools_dir: str | None = None) -> str:
    """Compile lab/tools/<name>.c once (again when the source changes)."""
    src = LAB_DIR / "tools" / f"{name}.c"
    out_dir = tools_cache(tools_dir)
    out_dir.mkdir(parents=True, exist_ok=True)
    os.chmod(out_dir, 0o755)
    out = out_dir / name
    if not out.exists() or out.stat().st_mtime < src.stat().st_mtime:
        tmp = out_dir / f".{name}.{os.getpid()}"
        run(["gcc", "-O2", "-Wall", "-Wextra", "-o", str(tmp), str(src)])
        os.replace(tmp, out)
    return str(out)
