"""The answer an ideal measurement gives across an emulated path.

A hop's ideal gap is what its router would see if every packet took exactly
its serialization time (lab/gapmodel.py, `ideal_gaps` with the IDEAL model):

- before the first link that is tighter than the train's own spread, the gap
  is the spread between the hop's head and tail packet as the prober sends
  them;
- after a tighter link, the packets between the head and the tail leave that
  link back to back, so the gap is their link-layer bytes (IP length + 14)
  x 8 / rate of the tightest link so far.

The expected answer is what the project's own detection (kovrin-detect)
gives on the ideal gaps, and its stability is the share of noisy copies of
the ideal gaps for which rank 1 stays on the same hop.
"""

import json
import os
import random
import subprocess
import tempfile

from train import Train     # lab/train.py (bench/accuracy puts lab/ on the path)

def detect(kovrin_detect: str, gaps: list[float], keys: list[str], train: Train) -> dict[int, str]:
    """Labels that kovrin-detect gives the hops: {hop: label}."""
    with tempfile.NamedTemporaryFile("w", suffix=".hops", delete=False) as f:
        for hop, (gap, key) in enumerate(zip(gaps, keys)):
            f.write(f"0 {int(gap)} h{hop} - {key}\n")
        name = f.name
    try:
        out = subprocess.run([kovrin_detect, "--json", name, str(train.size), str(train.load)],
                             check=True, capture_output=True, text=True).stdout
    finally:
        os.unlink(name)
    labels = {}
    for hop, h in enumerate(json.loads(out)["hops"][:len(gaps)]):
        d = h["detection"]
        if d["rank"] is not None:
            labels[hop] = ("({})" if d["bracket"] == "round" else "[{}]").format(d["rank"])
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
