"""The guard that keeps every sender inside the lab's own namespaces.

The machine's own network namespace has a default route that leads off the
machine, so no sender may ever run there.  A `Guard` belongs to one lab run
and knows the namespaces that run created (by name and by the device and
inode of their nsfs file).  It approves a namespace for a program and builds
the one kind of command line that starts a program in a lab namespace
(`sender_command`, `helper_command`):

    ip netns exec NS [taskset -c CPU] /usr/bin/python3 nsguard.py
        --expect DEV:INO --forbid DEV:INO,... -- [WRAPPER...] [setpriv ...] PROGRAM ARGS...

`nsguard.py` repeats the check from inside the namespace right before it
hands over to the program.  Every sender, cross-traffic sender and helper of
the lab is started through these two; nothing else builds such a line.
"""

from __future__ import annotations

import os
from pathlib import Path as FsPath

LAB_DIR = FsPath(__file__).resolve().parent
NSGUARD = LAB_DIR / "nsguard.py"
PYTHON = "/usr/bin/python3"
NETNS_DIR = FsPath("/run/netns")

# CPU steering: senders run on SENDER_CPU; the routers' receive processing is
# steered to ROUTER_CPU with RPS, so that the forwarding of the path does not
# run inside the sender's sendto calls.
SENDER_CPU = 0
ROUTER_CPU = 1


class GuardError(RuntimeError):
    """Raised when a sender would run outside a host namespace of this lab run."""


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


def user_group(user: str) -> str:
    import grp
    import pwd
    return grp.getgrgid(pwd.getpwnam(user).pw_gid).gr_name


class Guard:
    """The namespaces of one lab run, and what may start in them.

    created: every namespace of the run -> its identity
    hosts:   host namespaces, where senders run
    nodes:   host, router and destination namespaces of built paths, where
             the cross-traffic sender may run (any_node)"""

    def __init__(self, run_id: str):
        self.run_id = run_id
        self.created: dict[str, tuple[int, int]] = {}
        self.hosts: set[str] = set()
        self.nodes: set[str] = set()
        self.forbidden = machine_namespaces()
        self.closed = False

    def admit(self, ns: str, ident: tuple[int, int], host: bool = False) -> None:
        """Record a namespace the run has just created."""
        self.created[ns] = ident
        if host:
            self.hosts.add(ns)

    def close(self) -> None:
        self.closed = True
        self.created.clear()
        self.hosts.clear()
        self.nodes.clear()

    def check_sender(self, ns: str, any_node: bool = False) -> tuple[int, int]:
        """Return the identity of ns if a sender may run there, else raise GuardError.

        Senders run in host namespaces of this run; with any_node also in the
        router and destination namespaces of a path this run built (cross
        traffic), never in a namespace it did not create."""
        if self.closed:
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

    def check_helper(self, ns: str) -> tuple[int, int]:
        """Helpers that only pass traffic on (delay lines, watches) run in any
        namespace of this run, never elsewhere."""
        ident = ns_identity(str(NETNS_DIR / ns))
        if self.closed or ns not in self.created or ident != self.created[ns] or ident in self.forbidden:
            raise GuardError(f"refusing to start a helper in {ns!r}: not a namespace of lab run {self.run_id}")
        return ident

    def sender_command(self, ns: str, argv: list[str], cpu: int | None = SENDER_CPU, any_node: bool = False,
                       wrapper: list[str] | None = None, user: str | None = None,
                       setuid_user: str | None = None) -> list[str]:
        """The guarded command line of a sender (see netlab.Lab.sender_command)."""
        return self._command(ns, self.check_sender(ns, any_node=any_node), argv, cpu, wrapper, user, setuid_user)

    def helper_command(self, ns: str, argv: list[str], cpu: int | None = ROUTER_CPU) -> list[str]:
        """The guarded command line of a helper that only passes traffic on."""
        return self._command(ns, self.check_helper(ns), argv, cpu)

    def _command(self, ns: str, ident: tuple[int, int], argv: list[str], cpu: int | None,
                 wrapper: list[str] | None = None, user: str | None = None,
                 setuid_user: str | None = None) -> list[str]:
        # The one builder of a guarded command line, for a namespace the
        # caller has just approved (ident is what the check returned).
        if not argv:
            raise GuardError("no program given")
        if user is not None and setuid_user is not None:
            raise GuardError("user and setuid_user exclude each other")
        cmd = ["ip", "netns", "exec", ns]
        if cpu is not None:
            cmd += ["taskset", "-c", str(cpu)]
        cmd += [PYTHON, str(NSGUARD), "--expect", f"{ident[0]}:{ident[1]}",
                "--forbid", ",".join(f"{d}:{i}" for d, i in sorted(self.forbidden)), "--"]
        cmd += list(wrapper or [])
        if user is not None:
            cmd += ["setpriv", f"--reuid={user}", f"--regid={user_group(user)}", "--clear-groups",
                    "--inh-caps=-all", "--bounding-set=-all", "--no-new-privs"]
        if setuid_user is not None:
            cmd += ["setpriv", f"--reuid={setuid_user}", f"--regid={user_group(setuid_user)}", "--clear-groups"]
        return cmd + list(argv)
