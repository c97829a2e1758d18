"""The soak run's figures as rows, rendered as plain text for the test log or as Markdown tables."""
import statistics
from dataclasses import dataclass


@dataclass
class Run:
    seed: int
    seconds: int
    mode: str
    plan_text: str
    kills: list  # verdict.KillRecord
    log: object  # app_log.AppLog
    figures: object  # verdict.Figures
    samples: list  # proc_sample.Sample
    started_at: float
    recorded: list  # (name, video, audio) per recording
    publishes: int
    wall_s: float
    jvm_options: str


def summary_rows(r):
    s = r.log.summary
    f = r.figures
    sent = (s.video + s.audio) if s else None
    refused = len(r.log.refused)
    took = [k.resumed_after_s() for k in r.kills if k.resumed_after_s() is not None]
    rec_v = sum(v for _, v, _ in r.recorded)
    rec_a = sum(a for _, _, a in r.recorded)
    rows = [
        ("seed", str(r.seed)),
        ("media published", f"{r.seconds} s in {r.wall_s:.0f} s of wall time, {r.mode} mode"),
        ("kills (SIGKILL of nginx)", str(sum(1 for k in r.kills if k.killed_at is not None))),
        ("streams resumed", str(len(r.log.resumes))),
        ("reconnect attempts", f"{r.log.reconnect_attempts()} ({r.log.failed_attempts} refused while down)"),
        ("frames sent", f"{sent} (video {s.video}, audio {s.audio})" if s else "no summary"),
        ("frames refused", str(refused) + (f" (+{len(r.log.setup_refused)} set-up messages)"
                                           if r.log.setup_refused else "")),
        ("frames skipped to the next key frame", str(s.dropped - refused) if s else "-"),
        ("publishes the server accepted", str(r.publishes)),
        ("frames the server recorded", f"{rec_v + rec_a} (video {rec_v}, audio {rec_a}) in {len(r.recorded)} "
                                       f"recordings" + (f"; {sent - rec_v - rec_a} sent into dead connections"
                                                        if s else "")),
        ("restart to frames flowing", f"min {min(took):.1f} s, median {statistics.median(took):.1f} s, "
                                      f"max {max(took):.1f} s" if took else "-"),
        ("descriptors while connected", f"baseline {f.fds_baseline}, last {f.fds_last}, range "
                                        f"{f.fds_min}..{f.fds_max} over {f.connected_samples} samples; "
                                        f"at most {f.fds_max_down} between streams"),
        ("resident memory (VmRSS)", f"{f.rss_first_kb} kB after the warm-up, {f.rss_last_kb} kB last "
                                    f"({100 * f.rss_growth:+.1f}%; {100 * f.rss_growth_second_half:+.2f}% over the second half), "
                                    f"peak {f.rss_peak_kb} kB"
         if f.rss_growth is not None else "-"),
    ]
    if r.jvm_options:
        rows.append(("JVM options", r.jvm_options))
    return rows


def kill_rows(r):
    rows = []
    for k in r.kills:
        if k.killed_at is None:
            continue

        def at(t, base):
            return f"{t - base:.2f}" if t is not None and base is not None else "-"

        before = [s for s in r.samples if s.t <= k.killed_at]
        rows.append((str(k.index), f"{k.killed_at - r.started_at:.1f}", f"{k.down_s:.1f}",
                     at(k.lost_at, k.killed_at), str(k.attempts) if k.attempts is not None else "-",
                     at(k.flowing_at, k.restarted_at), str(before[-1].fds) if before else "-",
                     str(before[-1].rss_kb) if before else "-"))
    return rows


KILL_HEADER = ("kill", "at s", "down s", "noticed s", "attempts", "restart to flowing s", "fds before",
               "VmRSS kB before")


def minute_rows(r, step_s=60.0):
    rows = []
    nxt = r.started_at
    for s in r.samples:
        if s.t >= nxt:
            rows.append((f"{(s.t - r.started_at) / 60:.0f}", str(s.fds), str(s.rss_kb), str(s.anon_kb)))
            nxt += step_s
    if r.samples and (not rows or r.samples[-1].t - r.started_at > float(rows[-1][0]) * 60 + 5):
        s = r.samples[-1]
        rows.append((f"{(s.t - r.started_at) / 60:.1f}", str(s.fds), str(s.rss_kb), str(s.anon_kb)))
    return rows


MINUTE_HEADER = ("minute", "descriptors", "VmRSS kB", "of it anonymous kB")


def text(r):
    out = ["soak report"]
    width = max(len(k) for k, _ in summary_rows(r))
    out += [f"  {k:<{width}}  {v}" for k, v in summary_rows(r)]
    out.append("  per kill:")
    out += _columns(KILL_HEADER, kill_rows(r), "    ")
    out.append("  descriptors and memory, once a minute:")
    out += _columns(MINUTE_HEADER, minute_rows(r), "    ")
    return "\n".join(out)


def markdown(r):
    out = ["| figure | value |", "|---|---|"]
    out += [f"| {k} | {v} |" for k, v in summary_rows(r)]
    out += ["", "| " + " | ".join(KILL_HEADER) + " |", "|" + "---|" * len(KILL_HEADER)]
    out += ["| " + " | ".join(row) + " |" for row in kill_rows(r)]
    out += ["", "| " + " | ".join(MINUTE_HEADER) + " |", "|" + "---|" * len(MINUTE_HEADER)]
    out += ["| " + " | ".join(row) + " |" for row in minute_rows(r)]
    return "\n".join(out) + "\n"


def _columns(header, rows, indent):
    widths = [max(len(str(c)) for c in col) for col in zip(header, *rows)]
    return [indent + "  ".join(str(c).rjust(w) for c, w in zip(row, widths)) for row in [header, *rows]]
