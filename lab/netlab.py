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

# tbf defaults.  tbf charges each packet its Ethernet frame length (IP total
# length + 14).  The bucket must hold the largest frame (1500 + 14 bytes), and
# tc rounds the bucket through its time tables (1514 comes back as 1513, which
# would drop full-size frames), so the burst is 1600 bytes: the smallest
# round size that passes any frame, and the amount that the head of a load
# block gets through the bottleneck before it is shaped (about 5 % of the
# default 60 x 514-byte block).  The queue limit holds the longest train the
# prober can send (1126 packets of at most 1514 bytes = 1 704 764 bytes), so
# the bottleneck queues the load block instead of dropping it.
TBF_BURST = 1600
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


@dataclass
class IcmpLimits:
    """The per-namespace ICMP rate limits of a router (None keeps the kernel default).

    `off()` lifts every limit, so that each expired probe is answered."""
    ratelimit_ms: int | None = None     # net.ipv4.icmp_ratelimit (per destination)
    msgs_per_sec: int | None = None     # net.ipv4.icmp_msgs_per_sec (whole namespace)
    msgs_burst: int | None = None       # net.ipv4.icmp_msgs_burst
    ratemask: int | None = None         # net.ipv4.icmp_ratemask (which types are limited)

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
    rps:         steer the routers' receive processing to ROUTER_CPU.
    """
    routers: int
    links: dict[int, LinkSpec] = field(default_factory=dict)
    router_opts: dict[int, RouterSpec] = field(default_factory=dict)
    loop_at: int | None = None
    split: dict[int, list[int]] = field(default_factory=dict)
    rps: bool = True

    def link(self, j: int) -> LinkSpec:
        return self.links.get(j, LinkSpec())

    def router(self, k: int) -> RouterSpec:
        return self.router_opts.get(k, RouterSpec())

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
            if spec.burst < 1514:
                raise LabError(f"link {j}: burst {spec.burst} cannot pass a full-size frame")
        for k in list(self.router_opts) + list(self.split):
            if not 1 <= k <= n:
                raise LabError(f"router {k} outside 1..{n}")
        if self.loop_at is not None and not 2 <= self.loop_at <= n:
            raise LabError(f"loop_at must be a router 2..{n}")
        for k in self.split:
            if k < 2:
                raise LabError("split needs a router before the split one")


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


def ensure_ethtool() -> str:
    path = shutil.which("ethtool") or ("/usr/sbin/ethtool" if os.path.exists("/usr/sbin/ethtool") else None)
    if path:
        return path
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    if run(["apt-get", "install", "-y", "ethtool"], check=False, env=env).returncode != 0:
        run(["apt-get", "update"], env=env)
        run(["apt-get", "install", "-y", "ethtool"], env=env)
    path = shutil.which("ethtool") or "/usr/sbin/ethtool"
    if not os.path.exists(path):
        raise LabError("ethtool could not be installed")
    return path


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

    def check_sender_namespace(self, ns: str) -> tuple[int, int]:
        """Return the identity of ns if a sender may run there, else raise GuardError."""
        if self._closed:
            raise GuardError("the lab has been torn down")
        if ns not in self.hosts:
            raise GuardError(f"refusing to start a sender in {ns!r}: not a host namespace of lab run {self.run_id}")
        ident = ns_identity(str(NETNS_DIR / ns))
        if ident is None or ident != self.created.get(ns):
            raise GuardError(f"refusing to start a sender in {ns!r}: it is not the namespace this run created")
        if ident in self.forbidden or ident in machine_namespaces():
            raise GuardError(f"refusing to start a sender in {ns!r}: it is the machine's own namespace")
        return ident

    def sender_command(self, ns: str, argv: list[str], cpu: int | None = SENDER_CPU,
                       user: str | None = None) -> list[str]:
        """The command line that runs argv as a sender in host namespace ns.

        The sender is pinned to `cpu`; with `user` it runs without any
        privilege as that user (setpriv drops uid, gid, groups and caps)."""
        ident = self.check_sender_namespace(ns)
        if not argv:
            raise GuardError("no sender given")
        forbid = ",".join(f"{d}:{i}" for d, i in sorted(self.forbidden))
        cmd = ["ip", "netns", "exec", ns]
        if cpu is not None:
            cmd += ["taskset", "-c", str(cpu)]
        cmd += [PYTHON, str(NSGUARD), "--expect", f"{ident[0]}:{ident[1]}", "--forbid", forbid, "--"]
        if user is not None:
            cmd += ["setpriv", f"--reuid={user}", f"--regid={user_group(user)}", "--clear-groups",
                    "--inh-caps=-all", "--bounding-set=-all", "--no-new-privs"]
        return cmd + list(argv)

    def run_sender(self, ns: str, argv: list[str], timeout: float = 120, cpu: int | None = SENDER_CPU,
                   user: str | None = None) -> subprocess.CompletedProcess:
        cmd = self.sender_command(ns, argv, cpu=cpu, user=user)
        return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=timeout)

    def start_sender(self, ns: str, argv: list[str], cpu: int | None = SENDER_CPU, **popen) -> subprocess.Popen:
        proc = subprocess.Popen(self.sender_command(ns, argv, cpu=cpu), **popen)
        self.helpers.append(proc)
        return proc

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
        ifaces: dict[str, list[str]] = {ns: [] for ns in nodes}

        for j in range(n + 1):
            a, b = nodes[j], nodes[j + 1]
            lspec = spec.link(j)
            if lspec.delay_ms > 0 or lspec.jitter_ms > 0:
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
        for k, ports in spec.split.items():
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
                    lines.append(f"for q in /sys/class/net/{dev}/queues/rx-*; do echo {1 << ROUTER_CPU:x} > $q/rps_cpus; done")
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
        for j, mid in path.delay_ns.items():
            lspec = spec.link(j)
            delayline = build_tool("delayline", self.tools_dir)
            self.start_helper(mid, [delayline, "da", "db", f"{lspec.delay_ms}", f"{lspec.jitter_ms}"],
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
                if j + 1 in spec.split:
                    add(ns, f"{ALT_NET}.{j}.0/24", "via", back)
            for j in range(k + 1, n + 1):        # links ahead
                add(ns, f"{LINK_NET}.{j}.0/24", "via", ahead)
            for kk in spec.split:
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
        add(nodes[n + 1], "default", "via", link_addr(n, 0))

    def _neighbours(self, path: BuiltPath, nodes: list[str]) -> None:
        # Permanent neighbour entries on both ends of every link: no ARP
        # exchange delays the first probes of a run (through a delay line it
        # would cost two extra round trips) or mixes its frames into a train.
        def mac(ns: str, dev: str) -> str:
            return json.loads(run(["ip", "-n", ns, "-j", "link", "show", "dev", dev]).stdout)[0]["address"]

        pairs = [(nodes[j], "vdn", link_addr(j, 0), nodes[j + 1], "vup", link_addr(j, 1))
                 for j in range(path.spec.routers + 1)]
        pairs += [(nodes[k - 1], "vdn2", alt_addr(k - 1, 0), nodes[k], "vup2", alt_addr(k - 1, 1))
                  for k in path.spec.split]
        for ns_a, dev_a, addr_a, ns_b, dev_b, addr_b in pairs:
            run(["ip", "-n", ns_a, "neigh", "replace", addr_b, "lladdr", mac(ns_b, dev_b), "dev", dev_a, "nud", "permanent"])
            run(["ip", "-n", ns_b, "neigh", "replace", addr_a, "lladdr", mac(ns_a, dev_a), "dev", dev_b, "nud", "permanent"])

    def _shape(self, ns: str, dev: str, lspec: LinkSpec) -> None:
        if lspec.rate_bit is not None:
            run(["tc", "-n", ns, "qdisc", "replace", "dev", dev, "root", "tbf", "rate", f"{lspec.rate_bit}bit",
                 "burst", str(lspec.burst), "limit", str(lspec.limit)])
        if lspec.loss > 0:
            run(["tc", "-n", ns, "qdisc", "add", "dev", dev, "clsact"])
            run(["tc", "-n", ns, "filter", "add", "dev", dev, "egress", "bpf", "da", "bytecode",
                 loss_bytecode(lspec.loss)])

    def set_rps(self, path: BuiltPath, on: bool) -> None:
        mask = f"{1 << ROUTER_CPU:x}" if on else "0"
        for ns in path.routers + [path.dest]:
            self.ns_shell(ns, f"for q in /sys/class/net/*/queues/rx-*; do "
                              f"case $q in /sys/class/net/lo/*) ;; *) echo {mask} > $q/rps_cpus;; esac; done")

    def tc_stats(self, ns: str, dev: str = "vdn") -> str:
        return run(["tc", "-n", ns, "-s", "qdisc", "show", "dev", dev]).stdout


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
