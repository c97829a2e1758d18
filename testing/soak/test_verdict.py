"""The verdict over samples and kill records, and the seeded plan: a leak or a missing resume fails the run,
warm-up growth and the gaps between streams do not."""
import unittest

import soak_plan
import verdict
from proc_sample import Sample


def kill(index, killed, restarted, resumed, flowing):
    k = verdict.KillRecord(index, 10.0, 2.0)
    k.killed_at, k.restarted_at, k.resumed_at, k.flowing_at = killed, restarted, resumed, flowing
    return k


def two_kills():
    # stream 1: 0..20, down 20..23, stream 2: 23..50, down 50..53, stream 3: 53..90 (ended at 90)
    return [kill(1, 20.0, 22.5, 23.0, 24.0), kill(2, 50.0, 52.5, 53.0, 54.0)]


def samples(fds_of, rss_of, until=90.0):
    return [Sample(t / 2, fds_of(t / 2), int(rss_of(t / 2))) for t in range(int(until * 2))]


def down(t):
    return 20.0 <= t < 23.0 or 50.0 <= t < 53.0


def steady_fds(t):
    return 9 if down(t) else 10


class VerdictTest(unittest.TestCase):
    def judge(self, fds_of, rss_of, kills=None):
        kills = two_kills() if kills is None else kills
        spans = verdict.connected_windows(0.0, kills, 90.0)
        return verdict.judge(samples(fds_of, rss_of), spans, 30.0, 0.10, kills, 20.0)

    def test_runs(self):
        cases = [
            # name, descriptors, resident kB, failures expected (substrings)
            ("flat", steady_fds, lambda t: 70000, []),
            ("a socket more while reconnecting only", lambda t: 11 if down(t) else 10, lambda t: 70000, []),
            ("one descriptor kept per reconnection", lambda t: 10 + (t > 23) + (t > 53), lambda t: 70000,
             ["stream 2: 11 descriptors", "stream 3: 12 descriptors"]),
            ("a descriptor lost", lambda t: 9 if t > 60 else 10, lambda t: 70000, ["stream 3: 9 descriptors"]),
            ("growth during the warm-up only", steady_fds, lambda t: 50000 + 20000 * min(t, 30) / 30, []),
            ("growth after the warm-up", steady_fds, lambda t: 70000 + 200 * max(t - 30, 0),
             ["resident memory grew 16.7% after the warm-up (70000 kB to 81700 kB)"]),
            ("growth within the tolerance", steady_fds, lambda t: 70000 + 100 * max(t - 30, 0), []),
        ]
        for name, fds_of, rss_of, expected in cases:
            with self.subTest(name):
                failures = self.judge(fds_of, rss_of).failures
                self.assertEqual(len(failures), len(expected), failures)
                for want, got in zip(expected, failures):
                    self.assertIn(want, got)

    def test_figures(self):
        f = self.judge(steady_fds, lambda t: 70000 + (t > 80) * 700)
        self.assertEqual((f.fds_baseline, f.fds_last, f.fds_min, f.fds_max, f.fds_max_down), (10, 10, 10, 10, 10))
        self.assertEqual((f.rss_first_kb, f.rss_last_kb), (70000, 70700))
        self.assertAlmostEqual(f.rss_growth, 0.01)
        self.assertAlmostEqual(f.rss_growth_second_half, 0.01)  # the step came after the middle

    def test_resumes(self):
        cases = [
            ("never reconnected", kill(1, 20.0, 22.5, None, None), "did not resume within 20 s"),
            ("reconnected, no frame after it", kill(1, 20.0, 22.5, 23.0, None), "did not resume"),
            ("frames only late", kill(1, 20.0, 22.5, 23.0, 45.0), "resumed 22.5 s after the restart"),
        ]
        for name, k, expected in cases:
            with self.subTest(name):
                failures = self.judge(lambda t: 10, lambda t: 70000, [k]).failures
                self.assertEqual(len(failures), 1, failures)
                self.assertIn(expected, failures[0])

    def test_windows_leave_out_the_settling_and_the_end(self):
        spans = verdict.connected_windows(0.0, two_kills(), 90.0)
        self.assertEqual(spans, [(2.0, 19.7), (25.0, 49.7), (55.0, 88.5)])
        # No stream after a kill that never resumed.
        spans = verdict.connected_windows(0.0, [kill(1, 20.0, 22.5, None, None)], 90.0)
        self.assertEqual(spans, [(2.0, 19.7)])


class PlanTest(unittest.TestCase):
    def test_the_seed_fixes_the_plan(self):
        self.assertEqual(soak_plan.make_plan(7, 600), soak_plan.make_plan(7, 600))
        self.assertNotEqual(soak_plan.make_plan(7, 600), soak_plan.make_plan(8, 600))

    def test_bounds(self):
        for seed in range(50):
            for seconds in (30, 180, 900):
                plan = soak_plan.make_plan(seed, seconds, gap=(12.0, 30.0), down=(1.5, 4.0), tail_s=15.0)
                with self.subTest(seed=seed, seconds=seconds):
                    self.assertLessEqual(sum(k.after_s for k in plan), seconds - 15.0)
                    for k in plan:
                        self.assertTrue(12.0 <= k.after_s <= 30.0 and 1.5 <= k.down_s <= 4.0, k)
                    # At most one gap's worth of publishing is left unplanned before the tail.
                    self.assertGreater(sum(k.after_s for k in plan) + 30.0, seconds - 15.0)

    def test_too_short_for_a_kill(self):
        self.assertEqual(soak_plan.make_plan(1, 20, gap=(12.0, 30.0), tail_s=15.0), [])


if __name__ == "__main__":
    unittest.main()
