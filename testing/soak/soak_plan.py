"""The seeded kill plan: after how much publishing the server dies, and for how long."""
import random
from dataclasses import dataclass


@dataclass(frozen=True)
class Kill:
    after_s: float  # seconds of publishing since the stream started or last resumed
    down_s: float  # seconds the server stays dead before it is started again


def make_plan(seed, seconds, gap=(12.0, 30.0), down=(1.5, 4.0), tail_s=15.0):
    """Kills spread over `seconds` of publishing; the last one leaves `tail_s` of publishing after it,
    so the final stream is seen to flow before the clip ends. The same seed gives the same plan."""
    rng = random.Random(seed)
    kills = []
    published = 0.0
    while True:
        after = round(rng.uniform(*gap), 2)
        if published + after > seconds - tail_s:
            return kills
        published += after
        kills.append(Kill(after, round(rng.uniform(*down), 2)))


def describe(plan):
    return ", ".join(f"{k.after_s:.1f}s up/{k.down_s:.1f}s down" for k in plan) or "no kills"
