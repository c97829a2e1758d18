"""Judges a soak run from its samples and kill records: descriptors back to the baseline while connected,
resident memory growth bounded after the warm-up, every restart followed by resumed publishing."""
from dataclasses import dataclass, field


@dataclass
class KillRecord:
    index: int
    after_s: float  # planned publishing before the kill
    down_s: float  # planned downtime
    killed_at: float = None
    lost_at: float = None  # the application saw the connection go
    restarted_at: float = None  # the server accepts connections again
    resumed_at: float = None  # the application reconnected
    attempts: int = None
    flowing_at: float = None  # frames counted again after the reconnection
    frames_at_kill: int = None

    def resumed_after_s(self):
        """Seconds from the server's restart to frames flowing again."""
        if self.restarted_at is None or self.flowing_at is None:
            return None
        return self.flowing_at - self.restarted_at


def connected_windows(started_at, kills, ended_at, settle_s=2.0, margin_s=0.3):
    """Spans in which the publisher is known to be connected and steady: from `settle_s` after a
    (re)connection to just before the next kill, and for the last stream until shortly before the end."""
    spans = []
    begin = started_at
    for k in kills:
        if begin is not None and k.killed_at is not None:
            spans.append((begin + settle_s, k.killed_at - margin_s))
        begin = k.resumed_at
    if begin is not None and ended_at is not None:
        spans.append((begin + settle_s, ended_at - 1.5))
    return [(a, b) for a, b in spans if b > a]


def in_spans(samples, spans):
    """The samples inside the spans, span by span."""
    return [[s for s in samples if a <= s.t <= b] for a, b in spans]


@dataclass
class Figures:
    fds_baseline: int = None
    fds_last: int = None
    fds_min: int = None
    fds_max: int = None
    fds_max_down: int = None  # the largest count while a reconnection ran
    rss_first_kb: int = None
    rss_last_kb: int = None
    rss_peak_kb: int = None
    rss_growth: float = None
    rss_growth_second_half: float = None  # reported: a leak keeps growing where the warm-up has settled
    connected_samples: int = 0
    failures: list = field(default_factory=list)


def judge(samples, spans, warm_up_end, rss_tolerance, kills, resume_bound_s):
    f = Figures()
    per_span = in_spans(samples, spans)
    steady = [s for span in per_span for s in span]
    f.connected_samples = len(steady)
    if not steady:
        f.failures.append("no sample was taken while connected")
        return f
    # The descriptors of the first stream, before any kill, are the baseline every later stream returns to.
    first = next((span for span in per_span if span), [])
    f.fds_baseline = first[-1].fds
    f.fds_last = steady[-1].fds
    f.fds_min = min(s.fds for s in steady)
    f.fds_max = max(s.fds for s in steady)
    down = [s for s in samples if not any(a <= s.t <= b for a, b in spans)]
    f.fds_max_down = max((s.fds for s in down), default=None)
    for i, span in enumerate(per_span):
        off = [s for s in span if s.fds != f.fds_baseline]
        if off:
            f.failures.append(f"stream {i + 1}: {off[0].fds} descriptors while connected, baseline "
                              f"{f.fds_baseline} ({len(off)} of {len(span)} samples)")
    after = [s for s in steady if s.t >= warm_up_end] or steady[-1:]
    f.rss_first_kb = after[0].rss_kb
    f.rss_last_kb = after[-1].rss_kb
    f.rss_peak_kb = max(s.rss_kb for s in samples)
    f.rss_growth = (f.rss_last_kb - f.rss_first_kb) / f.rss_first_kb
    half = next(s for s in steady if s.t >= (steady[0].t + steady[-1].t) / 2)
    f.rss_growth_second_half = (f.rss_last_kb - half.rss_kb) / half.rss_kb
    if f.rss_growth > rss_tolerance:
        f.failures.append(f"resident memory grew {100 * f.rss_growth:.1f}% after the warm-up "
                          f"({f.rss_first_kb} kB to {f.rss_last_kb} kB), more than {100 * rss_tolerance:.0f}%")
    for k in kills:
        took = k.resumed_after_s()
        if k.killed_at is None:
            continue
        if took is None:
            f.failures.append(f"kill {k.index}: publishing did not resume within {resume_bound_s:.0f} s "
                              "of the restart")
        elif took > resume_bound_s:
            f.failures.append(f"kill {k.index}: publishing resumed {took:.1f} s after the restart, bound "
                              f"{resume_bound_s:.0f} s")
    return f
