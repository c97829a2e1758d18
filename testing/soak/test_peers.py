"""The two real things the driver leans on: /proc counts a descriptor the moment it opens, and nginx killed
with SIGKILL leaves no process behind and comes back on the same port."""
import os
import shutil
import socket
import tempfile
import unittest

import nginx_server
import proc_sample

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


class ProcSampleTest(unittest.TestCase):
    def test_counts_what_this_process_opens(self):
        before = proc_sample.read(os.getpid())
        with socket.socket() as a, open(__file__):
            during = proc_sample.read(os.getpid())
            self.assertEqual(during.fds, before.fds + 2)
        self.assertEqual(proc_sample.read(os.getpid()).fds, before.fds)
        self.assertGreater(before.rss_kb, 1000)
        self.assertTrue(0 < before.anon_kb < before.rss_kb, before)

    def test_a_process_that_is_gone(self):
        pid = os.fork()
        if pid == 0:
            os._exit(0)
        os.waitpid(pid, 0)
        self.assertIsNone(proc_sample.read(pid))


@unittest.skipUnless(shutil.which("nginx") and os.path.exists("/usr/lib/nginx/modules/ngx_rtmp_module.so"),
                     "nginx with its RTMP module is not installed (scripts/install-deps)")
class NginxServerTest(unittest.TestCase):
    def test_killed_and_started_again_on_the_same_port(self):
        work = tempfile.mkdtemp(prefix="soak-nginx-")
        server = nginx_server.NginxServer(SOURCE, work, dict(os.environ))
        try:
            server.start()
            pgid = server.process.pid
            self.assertTrue(nginx_server.accepts(server.port))
            server.kill()
            with self.assertRaises(ProcessLookupError):
                os.killpg(pgid, 0)  # master and worker both gone
            self.assertFalse(nginx_server.accepts(server.port))
            server.start()
            self.assertTrue(nginx_server.accepts(server.port))
            self.assertTrue(server.url("unique", "s").endswith(f":{server.port}/unique/s"))
        finally:
            server.kill()
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    unittest.main()
