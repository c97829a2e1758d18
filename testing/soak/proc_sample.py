"""The publisher process's open descriptors and resident memory, read from /proc."""
import os
import threading
import time
from dataclasses import dataclass


@dataclass(frozen=True)
class Sample:
    t: float
    fds: int
    rss_kb: int
    anon_kb: int = 0  # of which anonymous memory (the heaps), the rest file mappings and shared memory


def read(pid, t=None):
    """One sample, or None once the process is gone."""
    try:
        fds = len(os.listdir(f"/proc/{pid}/fd"))
        with open(f"/proc/{pid}/status") as f:
            fields = dict(line.split(":", 1) for line in f if ":" in line)
        rss = int(fields["VmRSS"].split()[0])
        anon = int(fields.get("RssAnon", "0 kB").split()[0])
    except (FileNotFoundError, ProcessLookupError, KeyError):
        return None  # gone, or a zombie without memory
    return Sample(time.monotonic() if t is None else t, fds, rss, anon)


class Sampler(threading.Thread):
    """Samples `pid` every `interval_s` until the process ends or stop() is called."""

    def __init__(self, pid, interval_s=0.5):
        super().__init__(name="sampler", daemon=True)
        self.pid = pid
        self.interval_s = interval_s
        self.samples = []
        self._quit = threading.Event()

    def run(self):
        while not self._quit.is_set():
            s = read(self.pid)
            if s is None:
                return
            self.samples.append(s)
            self._quit.wait(self.interval_s)

    def stop(self):
        self._quit.set()
        self.join(5)
