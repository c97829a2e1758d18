"""The application's lines as the driver reads them: each kind of line moves exactly its own counter."""
import unittest

import app_log

STATE = "RTMP_CONN_DISCONNECTED (-1: a reconnection failed, or there is no connection)"


class AppLogTest(unittest.TestCase):
    CASES = [
        # line, the counters it must move
        ("publishing clip.flv (FLV: 1800 video frames, 2585 audio frames) to rtmp://127.0.0.1:1935/unique/soak "
         "(packet mode)", {"started": True, "mode": "packet"}),
        ("publishing a.h264 + a.aac to rtmp://h/app/s (FLV-write mode)", {"started": True, "mode": "FLV-write"}),
        ("    13.1 s  video   291  audio   415  sent 1083.6 kB        0 kbit/s", {"frames": 706}),
        ("   314.1 s  video  9291  audio 13415  sent   83.6 MB      900 kbit/s  queued   33 ms  dropped 40  "
         "reconnections 12", {"frames": 22706}),
        ("  connection lost; reconnecting in 1034 ms (connection lost: the connection needs to be reconnected)",
         {"losses": 1}),
        (f"  attempt 3 failed ({STATE}), waited 1000 ms", {"failed_attempts": 1}),
        ("  reconnected after 4 attempt(s)", {"resumes": [4]}),
        ("  giving up after 6 attempts", {"gave_up": 6}),
        ("  VIDEO_FRAME at 1234 ms not sent: RTMPERR_RECONNECTING (-4)", {"refused": 1}),
        ("  AUDIO_FRAME at -21 ms not sent: RTMPERR_INVALID_ARGS (-1)", {"refused": 1}),
        ("  VIDEO_CONFIG at 0 ms not sent: RTMPERR_NEEDS_TO_RECONNECT (-10)", {"setup_refused": 1}),
        ("  metadata not sent: RTMPERR_NEEDS_TO_RECONNECT (-10)", {"setup_refused": 1}),
        ("  AUDIO_CONFIG not sent: RTMPERR_NEEDS_TO_RECONNECT (-10)", {"setup_refused": 1}),
        ("published: 67.8 s, 1699 video frames, 2585 audio frames, 6407.3 kB sent (756 kbit/s on average), "
         "101 dropped, 2 reconnections; video RECONNECTION 101", {"summary": (True, 1699, 2585, 101, 2)}),
        ("stopped: 20.0 s, 99 video frames, 140 audio frames, 9000 B sent (3 kbit/s on average), 0 dropped, "
         "0 reconnections", {"summary": (False, 99, 140, 0, 0)}),
        ("NOTE: Picked up JDK_JAVA_OPTIONS: -Xmx256m", {}),
        ("publish: could not connect", {}),
    ]

    def counters(self, log):
        s = log.summary
        return {"started": log.started_at is not None, "mode": log.mode, "frames": log.frames,
                "losses": len(log.losses), "failed_attempts": log.failed_attempts,
                "resumes": [n for _, n in log.resumes], "gave_up": log.gave_up, "refused": len(log.refused),
                "setup_refused": len(log.setup_refused),
                "summary": (s.complete, s.video, s.audio, s.dropped, s.reconnections) if s else None}

    def test_each_line_moves_its_own_counter(self):
        idle = self.counters(app_log.AppLog())
        for line, moved in self.CASES:
            with self.subTest(line=line):
                log = app_log.AppLog()
                log.feed(1.0, line)
                self.assertEqual(self.counters(log), {**idle, **moved})

    def test_attempts_count_successes_and_a_final_give_up(self):
        log = app_log.AppLog()
        for line in ["  reconnected after 4 attempt(s)", "  reconnected after 1 attempt(s)",
                     f"  attempt 1 failed ({STATE}), waited 250 ms", "  giving up after 6 attempts"]:
            log.feed(2.0, line)
        self.assertEqual(log.reconnect_attempts(), 11)

    def test_a_wait_ends_when_the_output_ends(self):
        log = app_log.AppLog()
        log.closed()
        self.assertTrue(log.wait_for(lambda l: l.ended, 5, lambda: 0.0))
        t = iter([0.0, 0.1, 10.0])
        self.assertFalse(log.wait_for(lambda l: l.started_at is not None, 1, lambda: next(t)))


if __name__ == "__main__":
    unittest.main()
