"""End to end through the driver: a publisher that keeps the socket of every lost connection fails the soak
on descriptors, against the real nginx killed and restarted."""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))


@unittest.skipUnless(shutil.which("nginx") and shutil.which("ffmpeg")
                     and os.path.exists("/usr/lib/nginx/modules/ngx_rtmp_module.so"),
                     "nginx, its RTMP module and FFmpeg are needed (scripts/install-deps)")
class LeakDetectedTest(unittest.TestCase):
    def test_a_socket_kept_per_reconnection_fails_the_run(self):
        work = tempfile.mkdtemp(prefix="soak-leak-")
        try:
            run = subprocess.run([sys.executable, os.path.join(HERE, "soak.py"),
                                  "--publish", os.path.join(HERE, "leaky_app.py"), "--clips", work,
                                  "--seconds", "30", "--seed", "5", "--gap", "4", "5", "--down", "0.5", "0.8",
                                  "--jvm-options", "", "--work", os.path.join(work, "run")],
                                 capture_output=True, text=True, timeout=150)
            out = run.stdout + run.stderr
            self.assertEqual(run.returncode, 1, out)
            self.assertIn("FAILED", out)
            # One more descriptor on every stream after the first.
            for stream, more in ((2, 1), (3, 2)):
                m = re.search(rf"stream {stream}: (\d+) descriptors while connected, baseline (\d+)", out)
                self.assertIsNotNone(m, out)
                self.assertEqual(int(m[1]), int(m[2]) + more, m[0])
        finally:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    unittest.main()
