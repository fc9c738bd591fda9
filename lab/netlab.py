"""Emulated network paths in network namespaces: building them, running
programs across them, tearing them down.

A path is a chain of namespaces: one host, N routers and one destination,
joined by veth pairs that are created directly inside the namespaces (the
machine's own namespace never sees them, has no route to them and is never
joined to the lab).  The description of a path is in pathspec.py, the guard
that keeps every sender inside the lab in guard.py, the traffic control
programs of a link (tbf, loss and duplication filters, nftables rules) in
shaping.py.  This module re-exports their names, so `netlab.X` reaches all
of them.

The only way this module starts a program that sends packets is
`Lab.sender_command` / `Lab.run_sender` / `Lab.start_sender`: they run the
program through `ip netns exec` in a host namespace that this Lab object
created itself, and refuse anything else.  `nsguard.py` repeats the check from
inside the namespace right before it hands over to the sender.

The system programs the lab drives (ip, tc, ethtool, nft, sysctl, taskset,
setpriv, gcc) are installed by scripts/lib.sh (`lab_packages`); the lab
itself installs nothing and says which package is missing.

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
from pathlib import Path as FsPath

from guard import (LAB_DIR, NETNS_DIR, NSGUARD, PYTHON, ROUTER_CPU, SENDER_CPU, Guard, GuardError,  # noqa: F401
                   machine_namespaces, ns_identity, user_group)
from pathspec import (ALT_NET, CROSS_MAX_PACKETS, CROSS_MAX_RATE, CROSS_MAX_SECONDS, CROSS_NET,  # noqa: F401
                      CROSS_SINK, DEST_ADDR, DEST_NET, ETH_HEADER, LINK_NET, TBF_BURST, TBF_LIMIT, TBF_MIN_BURST,
                      UNREACHABLE_ADDR, BuiltPath, CrossSpec, IcmpLimits, LabError, LinkSpec, PathSpec, RouterSpec,
                      alt_addr, link_addr)
import train
from shaping import (alternate_ruleset, balance_ruleset, dup_bytecode, loss_bytecode, shape_commands,  # noqa: F401
                     silent_ruleset)

# Every namespace of a lab run is named PREFIX<pid>x<hex>-<path><role>, so the
# cleanup can tell which run made it and whether that run is still alive.
PREFIX = "kvl"

# Offloads switched off on every veth.  Without segmentation offloads (GSO,
# TSO) and receive coalescing (GRO) every packet stays the size it was sent
# with, so tbf and the routers see real packet sizes.  Transmit checksum
# offload is off too: otherwise a UDP datagram crosses the veths with only a
# partial checksum, and a delay line, which passes frames on as bytes, would
# deliver it with a wrong one.
OFFLOADS_OFF = "gso off tso off gro off tx off"

# Firewall mark that sends a packet over the parallel link of an alternating
# route, and the routing table that holds that route (table base + router).
ALT_MARK = 1
ALT_TABLE_BASE = 100


# ---------------------------------------------------------------- helpers

def run(argv: list[str], check: bool = True, **kw) -> subprocess.CompletedProcess:
    proc = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kw)
    if check and proc.returncode != 0:
        raise LabError(f"{shlex.join(argv)} failed ({proc.returncode}): {proc.stderr.strip()}")
    return proc



def find_program(name: str, package: str) -> str:
    """Path of a system program; LabError naming its Debian package when it is missing."""
    fallback = f"/usr/sbin/{name}"
    path = shutil.which(name) or (fallback if os.path.exists(fallback) else None)
    if path is None:
        raise LabError(f"{name} is missing: install the package {package} (scripts/lib.sh installs lab_packages)")
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
        self.guard = Guard(self.run_id)
        self.helpers: list[subprocess.Popen] = []
        self.paths: list[BuiltPath] = []
        self.tools_dir = tools_dir
        self._old_handlers: dict[int, object] = {}
        atexit.register(self.close)   # also when used without a with block

    @property
    def created(self) -> dict[str, tuple[int, int]]:
        """Every namespace of this run -> its identity (empty after teardown)."""
        return self.guard.created

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
        if self.guard.closed:
            return
        created = list(self.created)
        self.guard.close()
        for proc in self.helpers:
            if proc.poll() is None:
                proc.kill()
                try:
                    proc.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    pass
        for ns in reversed(created):
            delete_namespace(ns)

    # -- namespaces

    def add_namespace(self, name: str, host: bool = False) -> str:
        ns = f"{self.run_id}-{name}"
        if len(ns) > 60:
            raise LabError(f"namespace name too long: {ns}")
        run(["ip", "netns", "add", ns])
        ident = ns_identity(str(NETNS_DIR / ns))
        if ident is None or ident in self.guard.forbidden:
            run(["ip", "netns", "del", ns], check=False)
            raise LabError(f"namespace {ns} is not a new namespace")
        self.guard.admit(ns, ident, host=host)
        # No IPv6: its router solicitations and multicast reports would be
        # frames of their own in the shaped queues, in the middle of a train.
        run(["ip", "netns", "exec", ns, "sysctl", "-qw", "net.ipv6.conf.all.disable_ipv6=1",
             "net.ipv6.conf.default.disable_ipv6=1"], check=False)
        run(["ip", "-n", ns, "link", "set", "dev", "lo", "up"])
        return ns

    # -- the guard

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
        --propagation private sh -ec 'mount ...; exec "$@"' ARG0`.

        The guard (guard.Guard.check_sender) refuses any other namespace."""
        return self.guard.sender_command(ns, argv, cpu=cpu, any_node=any_node, wrapper=wrapper, user=user,
                                         setuid_user=setuid_user)

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
        proc = subprocess.Popen(self.guard.helper_command(ns, argv, cpu=cpu), **popen)
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
        ethtool = find_program("ethtool", "ethtool")
        n = spec.routers
        host = self.add_namespace(f"{tag}h", host=True)
        routers = [self.add_namespace(f"{tag}r{k}") for k in range(1, n + 1)]
        dest = self.add_namespace(f"{tag}d")
        path = BuiltPath(spec=spec, tag=tag, host=host, routers=routers, dest=dest)
        self.paths.append(path)
        nodes = [host] + routers + [dest]
        self.guard.nodes.update(nodes)
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
        if spec.balance is not None:
            self._shape(nodes[spec.balance - 1], "vdn2", spec.balance_link)
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
            if spec.marked() == k + 1:
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
        for cmd in shape_commands(ns, dev, lspec):
            run(cmd)

    def _firewall(self, path: BuiltPath, nodes: list[str]) -> None:
        spec = path.spec
        rules = {}
        for k in range(1, spec.routers + 1):
            if spec.router(k).silent:
                rules[k] = silent_ruleset()
        if spec.alternate is not None:
            rules[spec.alternate - 1] = rules.get(spec.alternate - 1, "") + alternate_ruleset()
        if spec.balance is not None:
            rules[spec.balance - 1] = rules.get(spec.balance - 1, "") + balance_ruleset(spec.balance_seed)
        if not rules:
            return
        nft = find_program("nft", "nftables")
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


def sendloop_argv(dst: str, count: int, size: int, tools_dir: str | None = None) -> list[str]:
    """tools/sendloop: `count` datagrams of `size` bytes sent back to back,
    each like the prober's load packets (their ports and TTL)."""
    return [build_tool("sendloop", tools_dir), dst, str(count), str(size), str(train.SOURCE_PORT),
            str(train.LOAD_PORT), str(train.LOAD_TTL)]
