"""What the publishing application prints, read as events and counters as lines arrive.

The application prints its session's statistics once a second, one line per reconnection step of the session,
one line per unit it could not hand over, and a summary at its end (apps/publish: Streamer, ConnectionLog and
Progress)."""
import re
import threading
from dataclasses import dataclass, field

PUBLISHING = re.compile(r"^publishing (?P<what>.*) to (?P<url>\S+) \((?P<mode>[\w-]+) mode\)")
PROGRESS = re.compile(r"^\s*(?P<s>\d+\.\d) s\s+video\s+(?P<video>\d+)\s+audio\s+(?P<audio>\d+)\s+sent")
LOST = re.compile(r"^\s*connection lost; reconnecting")
ATTEMPT_FAILED = re.compile(r"^\s*attempt (?P<n>\d+) failed \((?P<state>.*)\), waited (?P<ms>\d+) ms")
RECONNECTED = re.compile(r"^\s*reconnected after (?P<n>\d+) attempt")
GAVE_UP = re.compile(r"^\s*giving up after (?P<n>\d+) attempts")
REFUSED = re.compile(r"^\s*(?P<kind>\w+) at (?P<ms>-?\d+) ms not sent: (?P<why>.*)")
SETUP_REFUSED = re.compile(r"^\s*(?P<what>\w+) not sent: (?P<why>.*)")
SUMMARY = re.compile(r"^(?P<end>published|stopped): (?P<s>[\d.]+) s, (?P<video>\d+) video frames, "
                     r"(?P<audio>\d+) audio frames, .* sent .*?, (?P<dropped>\d+) dropped, "
                     r"(?P<reconnections>\d+) reconnections")


@dataclass
class Summary:
    complete: bool
    seconds: float
    video: int
    audio: int
    dropped: int
    reconnections: int


@dataclass
class AppLog:
    """Fed line by line (with the time each arrived); waited on by the driver."""
    started_at: float = None  # the "publishing ..." line
    mode: str = None
    frames: int = 0  # video + audio of the latest progress line
    frames_at: float = None
    losses: list = field(default_factory=list)  # times of "connection lost"
    resumes: list = field(default_factory=list)  # (time, attempts) per reconnection
    failed_attempts: int = 0
    gave_up: int = None  # attempts, when the application gave up
    refused: list = field(default_factory=list)  # (kind, ms, why) of media the publisher refused
    setup_refused: list = field(default_factory=list)  # (what, why): metadata or a sequence header
    summary: Summary = None
    lines: list = field(default_factory=list)

    def __post_init__(self):
        self._cond = threading.Condition()

    def feed(self, t, line):
        with self._cond:
            self.lines.append((t, line))
            self._parse(t, line)
            self._cond.notify_all()

    def _parse(self, t, line):
        if m := PROGRESS.match(line):
            self.frames = int(m["video"]) + int(m["audio"])
            self.frames_at = t
        elif m := PUBLISHING.match(line):
            self.started_at = t
            self.mode = m["mode"]
        elif LOST.match(line):
            self.losses.append(t)
        elif m := ATTEMPT_FAILED.match(line):
            self.failed_attempts += 1
        elif m := RECONNECTED.match(line):
            self.resumes.append((t, int(m["n"])))
        elif m := GAVE_UP.match(line):
            self.gave_up = int(m["n"])
        elif m := REFUSED.match(line):
            if m["kind"].endswith("_FRAME"):
                self.refused.append((m["kind"], int(m["ms"]), m["why"]))
            else:  # a sequence header in the clip's own order
                self.setup_refused.append((m["kind"], m["why"]))
        elif m := SETUP_REFUSED.match(line):
            self.setup_refused.append((m["what"], m["why"]))
        elif m := SUMMARY.match(line):
            self.summary = Summary(m["end"] == "published", float(m["s"]), int(m["video"]), int(m["audio"]),
                                   int(m["dropped"]), int(m["reconnections"]))

    def wait_for(self, predicate, timeout, clock):
        """Waits until predicate(self) holds; False after `timeout` seconds of `clock`."""
        deadline = clock() + timeout
        with self._cond:
            while not predicate(self):
                left = deadline - clock()
                if left <= 0:
                    return False
                self._cond.wait(min(left, 0.5))
            return True

    def closed(self):
        """The application's output has ended (it exited)."""
        with self._cond:
            self.lines.append((None, None))
            self._cond.notify_all()

    @property
    def ended(self):
        return bool(self.lines) and self.lines[-1][1] is None

    def reconnect_attempts(self):
        """Every attempt made: those that succeeded and those that failed."""
        return sum(n for _, n in self.resumes) + (self.gave_up or 0)

    def text(self):
        return "\n".join(line for _, line in self.lines if line is not None)
