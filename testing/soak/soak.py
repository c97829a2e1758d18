#!/usr/bin/env python3
"""Soak test: the publishing application sends a clip in real time to nginx on loopback for the whole run
while the server is killed (SIGKILL) and started again on the same port at seeded random moments. Every
restart must be followed by publishing again within a bound; the publisher's descriptors must come back to
their baseline on every stream and its resident memory must stay flat after the warm-up.

    python3 testing/soak/soak.py --publish build/bin/publish --seconds 600 [--seed N] [--flv-write]

SOAK_SECONDS and SOAK_SEED in the environment stand for --seconds and --seed. Exit code 0: all held."""
import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import traceback

import app_log
import children
import clip
import nginx_server
import proc_sample
import report
import soak_plan
import verdict

HERE = os.path.dirname(os.path.abspath(__file__))
STREAM = "soak"
clock = time.monotonic


def say(text):
    print(f"[soak {clock() - T0:7.1f}] {text}", flush=True)


T0 = clock()


def parse_args(argv):
    source = os.path.dirname(os.path.dirname(HERE))
    binary = os.environ.get("TAVREL_BINARY_DIR", os.path.join(source, "build"))
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--publish", default=os.path.join(binary, "bin", "publish"), help="the application's launcher")
    p.add_argument("--source-dir", default=source)
    p.add_argument("--clips", default=os.environ.get("TAVREL_TESTDATA", os.path.join(binary, "testdata")),
                   help="where the soak clip is made once per length")
    p.add_argument("--seconds", type=int, default=int(os.environ.get("SOAK_SECONDS", "180")),
                   help="seconds of media published (the outages come on top)")
    p.add_argument("--seed", type=int, default=int(os.environ["SOAK_SEED"]) if os.environ.get("SOAK_SEED")
                   else int.from_bytes(os.urandom(4), "big"))
    p.add_argument("--flv-write", action="store_true", help="the application's FLV-write mode")
    p.add_argument("--gap", type=float, nargs=2, default=(12.0, 30.0), metavar=("MIN", "MAX"),
                   help="seconds of publishing before each kill")
    p.add_argument("--down", type=float, nargs=2, default=(1.5, 4.0), metavar=("MIN", "MAX"),
                   help="seconds the server stays dead")
    p.add_argument("--resume-bound", type=float, default=20.0,
                   help="seconds from a restart to frames flowing again")
    p.add_argument("--warm-up", type=float, default=60.0,
                   help="seconds before the memory baseline (at most a third of the run)")
    p.add_argument("--rss-tolerance", type=float, default=0.10, help="allowed resident memory growth")
    p.add_argument("--jvm-options", default=None,
                   help="JDK_JAVA_OPTIONS for the application's JVM (default: a fixed, pre-touched heap sized "
                        "from the clip, so that resident memory follows native memory; '' for the JVM's own)")
    p.add_argument("--app-env", action="append", default=[], metavar="NAME=VALUE",
                   help="environment of the application only (a sanitizer runtime, say)")
    p.add_argument("--work", help="folder for the server, logs and samples (default: a temporary one)")
    p.add_argument("--keep", action="store_true", help="keep the work folder")
    p.add_argument("--markdown", help="also write the report's tables as Markdown to this file")
    return p.parse_args(argv)


def plain_env():
    """Our peers (nginx, FFmpeg) run without whatever the application's runtime needs preloaded."""
    env = dict(os.environ)
    for name in ("LD_PRELOAD", "JDK_JAVA_OPTIONS"):
        env.pop(name, None)
    return env


def app_env(args):
    env = plain_env()
    if args.jvm_options:
        env["JDK_JAVA_OPTIONS"] = args.jvm_options
    for item in args.app_env:
        name, _, value = item.partition("=")
        env[name] = value
    return env


def fixed_heap(clip_path):
    """A heap that is resident from the start and never resized: the JVM's heap sizing would otherwise move
    the resident size by tens of megabytes either way, hiding or faking native growth. The application holds
    the whole clip in memory, about three times its file size as objects."""
    mb = max(256, 128 + 3 * os.path.getsize(clip_path) // 2**20)
    return f"-Xms{mb}m -Xmx{mb}m -XX:+AlwaysPreTouch"


def sanitized(args):
    """A sanitizer runtime preloaded into the application: its allocator keeps freed memory in quarantine
    and its shadow memory grows with use, so the resident size says nothing about leaks."""
    return any(item.startswith("LD_PRELOAD=") and "san" in item for item in args.app_env)


def start_app(args, url, clip_path, work):
    argv = [args.publish, url, clip_path] + (["--flv-write"] if args.flv_write else [])
    say("starting " + " ".join(argv))
    proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            env=app_env(args), text=True, bufsize=1, errors="replace",
                            preexec_fn=children.die_with_parent)
    log = app_log.AppLog()
    out = open(os.path.join(work, "publish.log"), "w")

    def read():
        for line in proc.stdout:
            out.write(line)
            out.flush()
            log.feed(clock(), line.rstrip("\n"))
        out.close()
        log.closed()

    reader = threading.Thread(target=read, name="app-output", daemon=True)
    reader.start()
    return proc, log, reader


def soak(args, work):
    plan = soak_plan.make_plan(args.seed, args.seconds, tuple(args.gap), tuple(args.down))
    say(f"seed {args.seed} (rerun with --seed {args.seed}): {len(plan)} kills in {args.seconds} s of media: "
        + soak_plan.describe(plan))
    clip_path = clip.make(args.clips, args.seconds)
    if args.jvm_options is None:
        args.jvm_options = fixed_heap(clip_path)
    server = nginx_server.NginxServer(args.source_dir, work, plain_env())
    server.start()
    say(f"nginx on 127.0.0.1:{server.port}")
    failures = []
    kills = [verdict.KillRecord(i + 1, k.after_s, k.down_s) for i, k in enumerate(plan)]
    try:
        proc, log, reader = start_app(args, server.url("unique", STREAM), clip_path, work)
    except BaseException:
        server.kill()
        raise
    sampler = proc_sample.Sampler(proc.pid)
    sampler.start()
    try:
        if not log.wait_for(lambda l: l.started_at is not None or l.ended, 60, clock) or log.started_at is None:
            failures.append("the application did not start publishing")
        else:
            say(f"publishing ({log.mode} mode)")
            failures += run_plan(args, server, log, kills)
        # The rest of the clip, and the outages the application's clock paused for.
        left = args.seconds + sum(k.down_s for k in kills) + 60 - (clock() - (log.started_at or clock()))
        try:
            code = proc.wait(max(left, 30))
        except subprocess.TimeoutExpired:
            failures.append("the application did not finish in time")
            proc.kill()
            code = proc.wait(10)
        reader.join(10)
    finally:
        # Nothing of ours outlives the run, whatever went wrong.
        try:
            if proc.poll() is None:
                proc.kill()
                proc.wait(10)
            sampler.stop()
        finally:
            server.stop()
    # Frames skipped while video waits for a key frame after an outage make a run with drops: exit code 3.
    expected = 3 if log.summary is not None and log.summary.dropped > 0 else 0
    if code != expected:
        failures.append(f"the application exited with {code}, not {expected}")
    if log.summary is None:
        failures.append("the application printed no summary")
    elif not log.summary.complete:
        failures.append("the application stopped before the end of the clip")
    killed = sum(1 for k in kills if k.killed_at is not None)
    if log.summary is not None and log.summary.reconnections != killed:
        failures.append(f"{log.summary.reconnections} reconnections for {killed} kills")
    publishes = server.publishes(STREAM)
    if publishes != killed + 1:
        failures.append(f"the server accepted {publishes} publishes, expected {killed + 1}")
    recorded = []
    for path in server.recordings():
        v, a = clip.frames(path)
        recorded.append((os.path.basename(path), v, a))
        if v == 0:
            failures.append(f"{os.path.basename(path)}: the server recorded no video")
    if len(recorded) != killed + 1:
        failures.append(f"{len(recorded)} recordings, expected {killed + 1}")
    if log.summary is not None:
        sent = log.summary.video + log.summary.audio
        got = sum(v + a for _, v, a in recorded)
        if got > sent:
            failures.append(f"the server recorded {got} frames, more than the {sent} sent")

    ended_at = next((t for t, line in reversed(log.lines) if line and app_log.SUMMARY.match(line)), None)
    spans = verdict.connected_windows(log.started_at, kills, ended_at)
    warm_up = min(args.warm_up, args.seconds / 3)
    rss_tolerance = float("inf") if sanitized(args) else args.rss_tolerance
    if sanitized(args):
        say("a sanitizer runtime is preloaded: resident memory is reported, not judged")
    figures = verdict.judge(sampler.samples, spans, (log.started_at or 0) + warm_up, rss_tolerance, kills,
                            args.resume_bound)
    failures = figures.failures + failures
    run = report.Run(args.seed, args.seconds, log.mode or "-", soak_plan.describe(plan), kills, log, figures,
                     sampler.samples, log.started_at or T0, recorded, publishes, clock() - T0, args.jvm_options)
    write_samples(os.path.join(work, "samples.csv"), sampler.samples, run.started_at, spans)
    print(report.text(run), flush=True)
    if args.markdown:
        with open(args.markdown, "w") as f:
            f.write(report.markdown(run))
    return failures, log


def run_plan(args, server, log, kills):
    """Kills and restarts the server as planned; returns what went wrong (it stops at the first failure)."""
    since = log.started_at
    for k in kills:
        if log.wait_for(lambda l: l.ended, max(since + k.after_s - clock(), 0), clock):
            return [f"the application ended before kill {k.index}"]
        k.frames_at_kill = log.frames
        k.killed_at = clock()
        server.kill()
        if log.wait_for(lambda l: len(l.losses) >= k.index or l.ended, 15, clock) and len(log.losses) >= k.index:
            k.lost_at = log.losses[k.index - 1]
        time.sleep(max(k.killed_at + k.down_s - clock(), 0))
        server.start()
        k.restarted_at = clock()
        if log.wait_for(lambda l: len(l.resumes) >= k.index or l.ended, args.resume_bound, clock) \
                and len(log.resumes) >= k.index:
            k.resumed_at, k.attempts = log.resumes[k.index - 1]
            frames = log.frames
            left = args.resume_bound - (clock() - k.restarted_at)
            if log.wait_for(lambda l: (l.frames > frames and l.frames_at > k.resumed_at) or l.ended,
                            max(left, 0), clock) and not log.ended:
                k.flowing_at = log.frames_at
        say(f"kill {k.index}/{len(kills)} after {k.after_s:.1f} s, down {k.down_s:.1f} s: "
            + (f"noticed in {k.lost_at - k.killed_at:.2f} s, " if k.lost_at else "not noticed, ")
            + (f"flowing {k.resumed_after_s():.2f} s after the restart ({k.attempts} attempts)"
               if k.flowing_at else "NOT RESUMED"))
        if k.flowing_at is None:
            return []  # judged with the others from the kill records
        since = k.resumed_at
    return []


def write_samples(path, samples, started_at, spans):
    with open(path, "w") as f:
        f.write("seconds,descriptors,vmrss_kb,rssanon_kb,connected\n")
        for s in samples:
            steady = any(a <= s.t <= b for a, b in spans)
            f.write(f"{s.t - started_at:.2f},{s.fds},{s.rss_kb},{s.anon_kb},{int(steady)}\n")


def main(argv):
    # A stopped run still takes its server and application down (the finally blocks run).
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    args = parse_args(argv)
    if not os.access(args.publish, os.X_OK):
        print(f"soak: no publishing application at {args.publish}", file=sys.stderr)
        return 2
    work = args.work or tempfile.mkdtemp(prefix="soak-")
    os.makedirs(work, exist_ok=True)
    try:
        failures, log = soak(args, work)
    except Exception as e:  # a peer that would not start, say: the run failed, and says why
        traceback.print_exc()
        print(f"FAILED: {e}\nwork folder kept: {work}")
        return 1
    if failures:
        print("FAILED:\n  " + "\n  ".join(failures))
        print("the application's last lines:\n" + "\n".join(log.text().splitlines()[-40:]))
        print(f"work folder kept: {work}")
        return 1
    print("OK: every restart was followed by publishing again; descriptors back to the baseline; resident memory "
          + ("reported only (sanitizer runtime)" if sanitized(args) else "within the tolerance"))
    if not args.keep and not args.work:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
