"""nginx with its RTMP module on a loopback port, from testing/nginx/rtmp.conf.in, killed with SIGKILL
(master and worker at once, as in a crash) and started again on the same port."""
import os
import shutil
import signal
import socket
import subprocess
import time

from children import die_with_parent


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def accepts(port, timeout_s=0.2):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=timeout_s):
            return True
    except OSError:
        return False


class NginxServer:
    def __init__(self, source_dir, work_dir, env):
        self.dir = os.path.join(work_dir, "nginx")
        self.record_dir = os.path.join(self.dir, "records")
        shutil.rmtree(self.dir, ignore_errors=True)  # the log and recordings count this run only
        os.makedirs(self.record_dir, exist_ok=True)
        os.chmod(self.record_dir, 0o777)  # workers run as nobody unless we are root
        self.port = free_port()
        self.env = env
        self.process = None
        with open(os.path.join(source_dir, "testing", "nginx", "rtmp.conf.in")) as f:
            conf = f.read()
        for key, value in {"@USER_DIRECTIVE@": "user root;" if os.geteuid() == 0 else "",
                           "@PREFIX@": self.dir, "@LISTEN_HOST@": "127.0.0.1", "@PORT@": str(self.port), "@RECORD_DIR@": self.record_dir,
                           "@LOAD_STREAM_MODULE@": "", "@STREAM_BLOCK@": "",
                           "@ACK_WINDOW@": "5000000"}.items():
            conf = conf.replace(key, value)
        self.conf = os.path.join(self.dir, "nginx.conf")
        with open(self.conf, "w") as f:
            f.write(conf)

    def url(self, app, stream):
        return f"rtmp://127.0.0.1:{self.port}/{app}/{stream}"

    def start(self, timeout_s=10.0):
        """Starts it and waits until the port accepts connections."""
        log = open(os.path.join(self.dir, "stdout.log"), "a")
        # A session of its own: the master and its worker form one group, killed together.
        self.process = subprocess.Popen(["nginx", "-p", self.dir, "-e", os.path.join(self.dir, "error.log"),
                                         "-c", self.conf], stdin=subprocess.DEVNULL, stdout=log,
                                        stderr=subprocess.STDOUT, start_new_session=True, env=self.env,
                                        preexec_fn=die_with_parent)
        log.close()
        deadline = time.monotonic() + timeout_s
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError(f"nginx exited with {self.process.returncode}: {self.error_log()[-2000:]}")
            if accepts(self.port):
                return
            time.sleep(0.05)
        self.kill()
        raise RuntimeError(f"nginx did not accept on port {self.port}: {self.error_log()[-2000:]}")

    def kill(self, sig=signal.SIGKILL, timeout_s=10.0):
        """Signals the whole group and waits until no process of it is left."""
        if self.process is None:
            return
        pgid = self.process.pid
        try:
            os.killpg(pgid, sig)
        except ProcessLookupError:
            pass
        try:
            self.process.wait(timeout_s)
        except subprocess.TimeoutExpired:
            os.killpg(pgid, signal.SIGKILL)
            self.process.wait(timeout_s)
        deadline = time.monotonic() + timeout_s
        while time.monotonic() < deadline:
            try:
                os.killpg(pgid, 0)
            except ProcessLookupError:
                break
            time.sleep(0.02)
        self.process = None

    def stop(self):
        """Graceful (SIGQUIT): the recordings are closed properly."""
        self.kill(signal.SIGQUIT)

    def error_log(self):
        try:
            with open(os.path.join(self.dir, "error.log"), errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def publishes(self, stream):
        """How many times the server accepted a publish of `stream`, from its log."""
        return self.error_log().count(f"publish: name='{stream}'")

    def recordings(self):
        return sorted(os.path.join(self.record_dir, n) for n in os.listdir(self.record_dir) if n.endswith(".flv"))
