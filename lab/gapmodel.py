"""What gap a hop should show: one model of the bytes a shaped link carries
between a hop's head and tail packet, and the spread the train leaves with.

A hop's gap is the time between its head and its tail packet reaching the
router.  Behind a shaped link those two are as far apart as the link needs
for what crosses it between them, in frames as tbf charges them (IP length +
ETH_HEADER):

  * the load block, always;
  * the head and tail packets of the deeper hops (`deeper`);
  * the tail packet itself (`tail`): the gap ends when the tail has crossed;
  * less what is left in the tbf bucket (`burst`) after the echo probes and
    the head packet, which passes at once.

The variants the lab uses are settings of that one model:

  BLOCK   the load block alone: l x (s + 14) x 8 / R (the lab's labprobe train
          checks, and the share that bounds gaps before a bottleneck)
  TBF     the prober's train behind one tbf of the lab's default bucket
          (kovrin's gaps after the bottleneck in the integration checks)
  IDEAL   every packet between head and tail back to back, no bucket (the
          accuracy benchmark's ideal gap, bench/ideal.py)

Before any shaped link the gap is the spread the train left the host with:
`send_spread_us`, from the run's own send log where there is one.
"""

from __future__ import annotations

from dataclasses import dataclass

from pathspec import ETH_HEADER, TBF_BURST
from train import MEASURE_SIZE, Train

# Send interval of consecutive packets, used for the spread when a run has no
# send log.
SEND_INTERVAL_US = 3.5


def frame(ip_len: int) -> int:
    """Bytes tbf charges for a packet of this IP length."""
    return ip_len + ETH_HEADER


@dataclass(frozen=True)
class GapModel:
    deeper: bool = True     # the deeper hops' head and tail packets cross between head and tail
    tail: bool = True       # the tail's own frame counts
    burst: int = 0          # tbf bucket, bytes (0: nothing passes at once)

    def crossing_bytes(self, train: Train, ttl: int) -> int:
        probes = 2 * max(train.end - ttl, 0) if self.deeper else 0
        probes += 1 if self.tail else 0
        return probes * frame(MEASURE_SIZE) + train.load * frame(train.size)

    def left_in_bucket(self, train: Train) -> int:
        if not self.burst:
            return 0
        return max(self.burst - (1 + train.echo) * frame(MEASURE_SIZE), 0)

    def gap_us(self, rate_bit: float, ttl: int, train: Train = Train()) -> float:
        """Gap of the hop with this TTL behind a link of rate_bit."""
        return max(self.crossing_bytes(train, ttl) - self.left_in_bucket(train), 0) * 8 / rate_bit * 1e6


BLOCK = GapModel(deeper=False, tail=False)
TBF = GapModel(burst=TBF_BURST)
IDEAL = GapModel(tail=False)


def send_spread_us(train: Train, ttl: int, send_log: list[float] | None = None) -> float:
    """Time between the sends of the head and the tail packet of this TTL.
    With a send log (seconds, in send order, echo probes included) the
    measured one, else SEND_INTERVAL_US per packet."""
    if send_log:
        tail = train.tail_position(ttl)
        if tail < len(send_log):
            return (send_log[tail] - send_log[train.head_position(ttl)]) * 1e6
    between = 2 * max(train.end - ttl, 0) + train.load
    return (between + 1) * SEND_INTERVAL_US


def ideal_gaps(hops: int, rates: dict[int, float], train: Train, send_log: list[float] | None = None,
               model: GapModel = IDEAL) -> list[float]:
    """Ideal gap in microseconds of hops 0..hops-1.  rates maps a link index
    to its rate in bit/s (unlisted links are not shaped); hop h lies behind
    links 0..h.  Before the first shaped link a hop's gap is the send
    spread; after it the larger of the spread and the model at the tightest
    rate so far."""
    gaps = []
    tightest = float("inf")
    for hop in range(hops):
        if hop in rates:
            tightest = min(tightest, rates[hop])
        spread = send_spread_us(train, hop + 1, send_log)
        shaped = model.gap_us(tightest, hop + 1, train) if tightest < float("inf") else 0.0
        gaps.append(max(spread, shaped))
    return gaps
