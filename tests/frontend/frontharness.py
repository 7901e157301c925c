"""The real service behind the real nginx front, hermetically: a tmpfs over /run, loopback only.

Runs as root inside a private mount namespace (ctest starts pytest under `unshare --mount`), so
the mounts made here vanish with the test process and never reach the machine.
"""

import os
import re
import signal
import socket
import subprocess
import time
import urllib.request

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
DOCROOT = os.path.join(REPO, "docroot")
SOCKET_PATH = "/var/run/KvIxoWebService/kvixowebservice.sock"
GATEWAY_PATH = "/KvIxoWebService/KvIxoWebService.dll"
SANITIZER_MARKS = (b"Sanitizer", b"runtime error:")


def in_private_mount_namespace():
    try:
        return os.readlink("/proc/self/ns/mnt") != os.readlink(f"/proc/{os.getppid()}/ns/mnt")
    except OSError:
        return False


def await_condition(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() >= deadline:
            raise AssertionError(f"timed out after {timeout} s waiting for {what}")
        time.sleep(0.02)


def sim_constants():
    """The simulated device's fault-injection base and start states, read from its header."""
    with open(os.path.join(REPO, "libKvIxoDll", "KvIxoSim.h")) as f:
        text = re.sub(r"\(\w+_t\)", "", f.read())  # drop casts such as (uint32_t)
    def number(name):
        return int(re.search(name + r"\b\D*?(0[xX][0-9a-fA-F]+|\d+)", text).group(1), 0)
    return {"fail_base": number("KVIXO_SIM_GROUP_FAIL_BASE"),
            "ixo_state": number("KVIXO_SIM_DEFAULT_IXO_STATE"),
            "device_state": number("KVIXO_SIM_DEFAULT_DEVICE_STATE")}


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def nginx_conf(tmp, port):
    """A main configuration around deploy/nginx/kvixowebservice.conf, moved to 127.0.0.1:port."""
    with open(os.path.join(REPO, "deploy", "nginx", "kvixowebservice.conf")) as f:
        site = f.read()
    site, count = re.subn(r"(?m)^(\s*)listen\s+[^;]+;", rf"\g<1>listen 127.0.0.1:{port};", site)
    assert count == 1 and SOCKET_PATH in site
    with open(os.path.join(tmp, "site.conf"), "w") as f:
        f.write(site)
    temps = "\n".join(f"  {kind}_temp_path {tmp}/{kind};"
                      for kind in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
    # The workers run as nobody with the group www, as a front on the controller would.
    main = (f"daemon off;\nuser nobody www;\nworker_processes 1;\npid {tmp}/nginx.pid;\n"
            f"error_log {tmp}/error.log warn;\nevents {{ worker_connections 64; }}\n"
            f"http {{\n  access_log off;\n{temps}\n  include {tmp}/site.conf;\n}}\n")
    path = os.path.join(tmp, "nginx.conf")
    with open(path, "w") as f:
        f.write(main)
    return path


class Front:
    """The service on its socket and nginx on 127.0.0.1; base is the front's URL.

    Every file of a run (configuration, output, browser profile) lives in `dir` on the tmpfs
    over /run, so that nothing stays behind even when the test process is killed."""

    def __init__(self, server):
        assert in_private_mount_namespace(), "run under: unshare --mount --propagation private --"
        self.procs = []
        self.bound_log = self.mounted_run = False
        self.dir = "/run/kvfront"
        try:
            subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=0755", "tmpfs", "/run"], check=True)
            self.mounted_run = True
            os.mkdir(self.dir, 0o755)
            if os.path.exists("/dev/log"):
                # Keep the service's log lines off the machine's log: a plain file is no socket.
                blank = os.path.join(self.dir, "log")
                open(blank, "w").close()
                subprocess.run(["mount", "--bind", blank, "/dev/log"], check=True)
                self.bound_log = True
            env = {k: v for k, v in os.environ.items() if not k.startswith("KVIXO_SIM_")}
            self.service = self._start([server, "-docroot", DOCROOT], env)
            await_condition(self._service_ready, 20, "the service's socket")
            self.port = free_port()
            conf = nginx_conf(self.dir, self.port)
            self.nginx = self._start(["/usr/sbin/nginx", "-p", self.dir, "-e",
                                      os.path.join(self.dir, "error.log"), "-c", conf], env)
            self.base = f"http://127.0.0.1:{self.port}"
            await_condition(self._nginx_ready, 20, "nginx on 127.0.0.1")
        except BaseException:
            self.close()
            raise

    def _start(self, argv, env):
        # Output goes to a file: a full pipe that nobody reads would stall the process.
        out = open(os.path.join(self.dir, f"{len(self.procs)}.out"), "w+b")
        proc = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=out)
        proc.out = out
        self.procs.append(proc)
        return proc

    @staticmethod
    def _output(proc):
        proc.out.seek(0)
        return proc.out.read()

    def _service_ready(self):
        assert self.service.poll() is None, self._output(self.service)
        with socket.socket(socket.AF_UNIX) as s:
            return s.connect_ex(SOCKET_PATH) == 0

    def _nginx_ready(self):
        assert self.nginx.poll() is None, self._output(self.nginx)
        with socket.socket() as s:
            return s.connect_ex(("127.0.0.1", self.port)) == 0

    def get(self, path):
        with urllib.request.urlopen(self.base + path, timeout=10) as answer:
            return answer.status, answer.headers, answer.read()

    def close(self):
        """Stops nginx, then the service; raises if the service reported a sanitizer finding."""
        output = b""
        for proc in reversed(self.procs):
            if proc.poll() is None:
                proc.send_signal(signal.SIGQUIT if proc is getattr(self, "nginx", None)
                                 else signal.SIGTERM)
            try:
                proc.wait(timeout=15)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
            output += self._output(proc)
            proc.out.close()
        self.procs = []
        if self.bound_log:
            subprocess.run(["umount", "-l", "/dev/log"], check=False)
        if self.mounted_run:
            subprocess.run(["umount", "-l", "/run"], check=False)
        assert not any(mark in output for mark in SANITIZER_MARKS), output.decode(errors="replace")
