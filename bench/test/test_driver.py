"""The driver's readers of tavrel_bench, strace and callgrind output, and its
judgement of a scale step: what the table is made of."""
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import driver  # noqa: E402

STRACE = """\
% time     seconds  usecs/call     calls    errors syscall
------ ----------- ----------- --------- --------- ----------------
 98.20    0.603677          19     31591           sendto
  0.88    0.005416          10       509           read
  0.03    0.000160         160         1           connect
  0.01    0.000032          32         3           write
  0.00    0.000023           0        50        31 openat
  0.00    0.000011           5         2         2 sendmsg
------ ----------- ----------- --------- --------- ----------------
100.00    0.614740          19     32156        33 total
"""


class ParseTest(unittest.TestCase):
    def test_result_lines(self):
        cases = [
            ('R mode=run contender=packet chunk=128 ok=1 msgs=734 cpu_ns=20575659',
             {"mode": "run", "contender": "packet", "chunk": 128, "ok": 1, "msgs": 734, "cpu_ns": 20575659}),
            ('R mode=verify contender=floor ok=0 verdict="frame 12 differs"',
             {"mode": "verify", "contender": "floor", "ok": 0, "verdict": "frame 12 differs"}),
            ('R what=c_send calls=2198 ns_per_call=32747.3',
             {"what": "c_send", "calls": 2198, "ns_per_call": 32747.3}),
        ]
        for line, want in cases:
            with self.subTest(line=line):
                self.assertEqual(driver.parse_r("noise\n" + line + "\nmore noise"), [want])
        self.assertEqual(driver.parse_r("Rx=1\nr mode=run\n"), [])

    def test_strace_summary(self):
        self.assertEqual(driver.strace_calls(STRACE, ("sendto", "write", "writev", "sendmsg")),
                         {"sendto": 31591, "write": 3, "sendmsg": 2})
        self.assertEqual(driver.strace_calls(STRACE, ("write",)), {"write": 3})
        self.assertEqual(driver.strace_calls("", ("write",)), {})

    def test_callgrind_total(self):
        cases = [
            ("version: 1\ncmd: x\nevents: Ir\nsummary: 8507250\nfl=a\n", 8507250),
            ("events: Ir\nfn=main\n16 3\ntotals: 12568432\n", 12568432),
            ("events: Ir\nfn=main\n16 3\n", None),
            ("summary: \n", None),
        ]
        for text, want in cases:
            with self.subTest(text=text):
                self.assertEqual(driver.callgrind_total(text), want)


class SummaryTest(unittest.TestCase):
    def row(self, contender, cpu, ok=1, **kw):
        r = {"contender": contender, "ok": ok, "cpu_ns": cpu, "user_ns": cpu // 2, "sys_ns": cpu // 2,
             "wall_ns": cpu * 3, "connect_ns": 44, "wire_bytes": 100, "body_bytes": 90, "msgs": 10,
             "segments": 5}
        r.update(kw)
        return r

    def test_best_round_stands_median_and_max_beside_it(self):
        rows = [self.row("packet", 300), self.row("packet", 100, wire_bytes=101), self.row("packet", 900),
                self.row("packet", 50, ok=0, error="send failed at step 3")]
        d = driver.Bench.summarize(rows, contenders=["packet"])["packet"]
        self.assertEqual(d["cpu_ns"], 100)  # a failed round never counts
        self.assertEqual(d["wire_bytes"], 101)  # the figures of that same round
        self.assertEqual(d["cpu_median"], 300)
        self.assertEqual(d["cpu_max"], 900)
        self.assertEqual(d["rounds"], 3)
        self.assertEqual(d["wall_ns"], 300)

    def test_contender_without_a_good_round_carries_its_reason(self):
        rows = [self.row("flvwrite", 1, ok=0, error="tavrel_connect failed")]
        res = driver.Bench.summarize(rows, contenders=["flvwrite", "floor"])
        self.assertEqual(res["flvwrite"], {"error": "tavrel_connect failed"})
        self.assertEqual(res["floor"], {"error": "no result"})


class KeepsPaceTest(unittest.TestCase):
    def test_table(self):
        base = {"n": 100, "connected": 100, "failures": 0, "p99_late_ms": 20, "backlog_ms": 5}
        cases = [
            ({}, True),
            ({"connected": 99}, False),
            ({"failures": 1}, False),
            ({"p99_late_ms": 100}, False),
            ({"backlog_ms": 150}, False),
            ({"p99_late_ms": 99, "backlog_ms": 99}, True),
        ]
        for change, want in cases:
            with self.subTest(change=change):
                self.assertEqual(driver.keeps_pace({**base, **change}), want)


if __name__ == "__main__":
    unittest.main()
