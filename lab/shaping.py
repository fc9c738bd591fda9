"""Traffic control programs of a lab link: the tbf that shapes it, the
classic-BPF filters that drop or duplicate a share of its packets, and the
nftables rules of silent routers, alternating and balancing routes.

This kernel has no netem, so loss and duplication are tc filters with
classic-BPF bytecode (`loss_bytecode`, `dup_bytecode`).  The functions here
only build command lines and rule texts; netlab.Lab runs them inside the
path's namespaces.
"""

from __future__ import annotations

from pathspec import DEST_NET, LabError, LinkSpec


def shape_commands(ns: str, dev: str, lspec: LinkSpec) -> list[list[str]]:
    """The tc commands that give device dev of namespace ns the link's rate,
    loss and duplication (on its egress, towards the destination)."""
    cmds = []
    if lspec.rate_bit is not None:
        cmds.append(["tc", "-n", ns, "qdisc", "replace", "dev", dev, "root", "tbf", "rate", f"{lspec.rate_bit}bit",
                     "burst", str(lspec.burst), "limit", str(lspec.limit)])
    if lspec.loss > 0 or lspec.dup > 0:
        cmds.append(["tc", "-n", ns, "qdisc", "add", "dev", dev, "clsact"])
    if lspec.loss > 0:
        cmds.append(["tc", "-n", ns, "filter", "add", "dev", dev, "egress", "pref", "10", "bpf", "da", "bytecode",
                     loss_bytecode(lspec.loss)])
    if lspec.dup > 0:
        # A copy of the chosen packets is sent out of the same device
        # right before the packet itself; the copy passes this filter
        # again and is copied with the same share (up to the kernel's
        # nesting limit), so the extra packets are dup / (1 - dup).
        cmds.append(["tc", "-n", ns, "filter", "add", "dev", dev, "egress", "pref", "20", "bpf", "bytecode",
                     dup_bytecode(lspec.dup), "action", "mirred", "egress", "mirror", "dev", dev])
    return cmds


# Ancillary loads of classic BPF: SKF_AD_OFF (-4096) + SKF_AD_PROTOCOL (0)
# and + SKF_AD_RANDOM (56), as unsigned 32-bit constants.
AD_PROTOCOL = (2**32 - 4096) & 0xFFFFFFFF
AD_RANDOM = (2**32 - 4096 + 56) & 0xFFFFFFFF


def share_bytecode(share: float, hit: int, miss: int, what: str) -> str:
    """Classic BPF that returns `hit` for `share` of the IPv4 packets and
    `miss` for the rest and for every other protocol:
    ld proto; jeq 0x800 else miss; ld rand; jge threshold -> miss; hit."""
    if not 0.0 < share < 1.0:
        raise LabError(f"{what} share must be in (0, 1)")
    threshold = min(int(share * 2**32), 2**32 - 1)
    prog = [
        (0x28, 0, 0, AD_PROTOCOL),   # ldh protocol
        (0x15, 0, 3, 0x0800),        # jeq IPv4 ? next : miss
        (0x20, 0, 0, AD_RANDOM),     # ld rand
        (0x35, 1, 0, threshold),     # jge threshold ? miss : hit
        (0x06, 0, 0, hit),
        (0x06, 0, 0, miss),
    ]
    return f"{len(prog)}," + ",".join(f"{c} {t} {f} {k}" for c, t, f, k in prog)


def loss_bytecode(share: float) -> str:
    """A direct-action tc filter that drops `share` of IPv4 packets: it
    returns 2 (TC_ACT_SHOT) for them and 0 (TC_ACT_OK) for the rest.  Only
    IPv4 is dropped, so ARP keeps the link up."""
    return share_bytecode(share, 2, 0, "loss")


def dup_bytecode(share: float) -> str:
    """A tc classifier (not direct action) that matches `share` of IPv4
    packets: a classifier returns -1 for a match of its own class and 0 for
    none."""
    return share_bytecode(share, 0xFFFFFFFF, 0, "dup")


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



def balance_ruleset(seed: int, in_dev: str = "vup") -> str:
    """nftables rules that mark the packets towards the destination by a
    hash of their flow, as routers that balance per flow do: the addresses,
    the protocol and the first four transport bytes (UDP source and
    destination port; ICMP type, code and checksum).  Every packet of one
    flow gets the same mark, which selects the routing table with the
    parallel link for half of the flows."""
    return ("table ip kvlab {\n"
            "  chain pre {\n"
            "    type filter hook prerouting priority mangle; policy accept;\n"
            f"    iifname \"{in_dev}\" ip daddr {DEST_NET} meta mark set jhash ip saddr . ip daddr . ip protocol"
            f" . th sport . th dport mod 2 seed {seed:#x}\n"
            "  }\n"
            "}\n")
