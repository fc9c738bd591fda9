"""The answer an ideal measurement gives across an emulated path.

A hop's ideal gap is what its router would see if every packet took exactly
its serialization time:

- before the first link that is tighter than the train's own spread, the gap
  is the spread between the hop's head and tail packet as the prober sends
  them;
- after a tighter link, the packets between the head and the tail leave that
  link back to back, so the gap is their link-layer bytes (IP length + 14)
  x 8 / rate of the tightest link so far.

Hop h is the router at node h + 1 of the path, reached over links 0..h; its
head and tail packets carry TTL h + 1.  Between them travel the head packets
of larger TTLs, the load block and the tail packets of larger TTLs.

The expected answer is what the project's own detection (kovrin-detect)
gives on the ideal gaps, and its stability is the share of noisy copies of
the ideal gaps for which rank 1 stays on the same hop.
"""

import os
import random
import subprocess
import tempfile
from dataclasses import dataclass

ETHERNET = 14
MEASUREMENT = 60


@dataclass
class Train:
    end: int = 30        # -e: measurement packets at each end
    load: int = 60       # -l: load packets
    size: int = 500      # -s: load packet size, IP header included
    interval_us: float = 3.5   # send interval of consecutive packets


def bytes_between(train: Train, hop: int) -> int:
    """Link-layer bytes that pass a link between the head and the tail
    packet of this hop."""
    ttl = hop + 1
    measurement = 2 * max(train.end - ttl, 0)
    return measurement * (MEASUREMENT + ETHERNET) + train.load * (train.size + ETHERNET)


def send_spread_us(train: Train, hop: int, send_log: list[float] | None = None) -> float:
    """Time between the sends of the hop's head and tail packet.  With a send
    log (seconds, in send order, without echo probes) the measured one."""
    ttl = hop + 1
    packets_between = 2 * max(train.end - ttl, 0) + train.load
    if send_log:
        head = ttl - 1
        tail = train.end + train.load + (train.end - ttl)
        if tail < len(send_log):
            return (send_log[tail] - send_log[head]) * 1e6
    return (packets_between + 1) * train.interval_us


def ideal_gaps(routers: int, rates: dict[int, float], train: Train,
               send_log: list[float] | None = None) -> list[float]:
    """Ideal gap in microseconds of hops 0..routers-1; rates maps a link
    index to its rate in bit/s (unlisted links are not shaped)."""
    gaps = []
    tightest = float("inf")
    for hop in range(routers):
        if hop in rates:
            tightest = min(tightest, rates[hop])
        spread = send_spread_us(train, hop, send_log)
        shaped = bytes_between(train, hop) * 8 / tightest * 1e6 if tightest < float("inf") else 0.0
        gaps.append(max(spread, shaped))
    return gaps


def detect(kovrin_detect: str, gaps: list[float], keys: list[str], train: Train) -> dict[int, str]:
    """Labels that kovrin-detect gives the hops: {hop: label}."""
    with tempfile.NamedTemporaryFile("w", suffix=".hops", delete=False) as f:
        for hop, (gap, key) in enumerate(zip(gaps, keys)):
            f.write(f"0 {int(gap)} h{hop} - {key}\n")
        name = f.name
    try:
        out = subprocess.run([kovrin_detect, name, str(train.size), str(train.load)],
                             check=True, capture_output=True, text=True).stdout
    finally:
        os.unlink(name)
    labels = {}
    for hop, line in enumerate(out.splitlines()[:len(gaps)]):
        label = line[12:15]
        if label.strip():
            labels[hop] = label
    return labels


def rank_one(labels: dict[int, str]) -> int | None:
    for hop, label in labels.items():
        if label[1] == "1":
            return hop
    return None


def stability(kovrin_detect: str, gaps: list[float], keys: list[str], train: Train,
              copies: int = 200, noise_us: float = 50.0, seed: int = 1) -> float:
    """Share of copies with uniform noise of +-noise_us whose rank 1 stays
    where the ideal gaps put it."""
    want = rank_one(detect(kovrin_detect, gaps, keys, train))
    rng = random.Random(seed)
    same = 0
    for _ in range(copies):
        noisy = [max(g + rng.uniform(-noise_us, noise_us), 1.0) for g in gaps]
        same += rank_one(detect(kovrin_detect, noisy, keys, train)) == want
    return same / copies
