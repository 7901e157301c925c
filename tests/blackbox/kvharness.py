"""The harness of the black-box and front-end suites: the service binary run as root, its syslog
lines, HTTP over its socket file, and the fixtures. Each test file runs in a private mount namespace
(tests/CMakeLists.txt) where the session fixture mounts a tmpfs over /run and an overlay over /dev
with our own /dev/log; the group www comes from the ctest fixture kv_www_group. By hand, as root:
    KV_SERVER=<build>/IxoWebserviceBSD/BSD/IxoWebServerBSD \\
    unshare --mount --propagation private -- python3 -m pytest -q -p no:cacheprovider test_http.py
"""

import contextlib
import ctypes
import grp
import os
import pathlib
import re
import signal
import socket
import subprocess
import tempfile
import threading
import time
import uuid

import pytest

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
RUN_DIR = "/var/run/KvIxoWebService"
SOCKET_PATH = RUN_DIR + "/kvixowebservice.sock"
START_LINE = "------------- IxoWebServer (START) -------------"
GW = "/KvIxoWebService/KvIxoWebService.dll"
NOT_FOUND = "File not found\r\n"
DEVICE_ERROR = 0x0705                          # the simulated device fails reads of
DEVICE_ERROR_GROUP = 0xFFFF0000 + DEVICE_ERROR  # this index group with this code
NOTICE, ERR = 16 * 8 + 5, 16 * 8 + 3          # facility local0 with the two severities used
SANITIZER_MARKS = (b"Sanitizer", b"runtime error:")


def await_condition(predicate, what, timeout=10.0):
    deadline = time.monotonic() + timeout
    while not (value := predicate()):
        assert time.monotonic() < deadline, f"timed out after {timeout} s waiting for {what}"
        time.sleep(0.02)
    return value


class Syslog:
    """Owns the socket at /dev/log; a thread keeps every line as (pid, priority, text) for the process's life."""

    LINE = re.compile(rb"<(\d+)>[A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d IxoWebServer\[(\d+)\]: (.*)\Z",
                      re.S)

    def __init__(self):
        self.entries, self.cond = [], threading.Condition()
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind("/dev/log")
        os.chmod("/dev/log", 0o666)
        threading.Thread(target=self._drain, daemon=True).start()

    def _drain(self):
        while True:
            raw = self.sock.recv(65536)
            m = self.LINE.match(raw.rstrip(b"\0"))
            entry = (int(m[2]), int(m[1]), m[3].decode("utf-8", "replace")) if m else (0, 0, raw)
            with self.cond:
                self.entries.append(entry)
                self.cond.notify_all()

    def barrier(self):
        """Returns once every line sent before this call has arrived: datagrams queue in order."""
        marker = uuid.uuid4().hex.encode()
        with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as sender:
            sender.sendto(marker, "/dev/log")
        with self.cond:
            assert self.cond.wait_for(lambda: (0, 0, marker) in self.entries, 10), "barrier lost"

    def lines(self, pid, with_priority=False):
        self.barrier()
        with self.cond:
            return [(p, t) if with_priority else t for i, p, t in self.entries if i == pid]

    def wait_line(self, pid, text):
        with self.cond:
            assert self.cond.wait_for(lambda: (pid, NOTICE, text) in self.entries, 10), text

    def request_lines(self, pid, target):
        """The lines from the first of the request for target, a target no other request used."""
        lines = self.lines(pid)
        first = lines.index("process_request: file: " + target) - 1
        assert lines[first].startswith("process_request: root: "), lines[first:]
        return lines[first:]


class Service:
    """One run of a binary (the service by default) in its own session; stdout and stderr go to a temporary file."""

    def __init__(self, binary, args=(), cwd=None, remove_cwd=False, env=None):
        self.binary, self.ended, self.out = binary, False, tempfile.TemporaryFile()
        environment = {k: v for k, v in os.environ.items() if not k.startswith("KVIXO_SIM_")}
        environment.update(env or {})
        self.old_inode = os.lstat(SOCKET_PATH).st_ino if os.path.lexists(SOCKET_PATH) else None

        def prepare():
            ctypes.CDLL(None).prctl(1, signal.SIGKILL)   # PR_SET_PDEATHSIG: none outlives its test
            if remove_cwd:
                os.rmdir(cwd)
        self.proc = subprocess.Popen([binary, *args], cwd=cwd, env=environment, stdin=subprocess.DEVNULL,
                                     stdout=self.out, stderr=self.out, start_new_session=True,
                                     preexec_fn=prepare)
        self.pid = self.proc.pid

    def wait_ready(self):
        def ready():
            assert self.proc.poll() is None, f"service exited before listening: {self.output()!r}"
            if not os.path.lexists(SOCKET_PATH) or os.lstat(SOCKET_PATH).st_ino == self.old_inode:
                return False
            with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as probe:
                return probe.connect_ex(SOCKET_PATH) == 0
        await_condition(ready, "the socket file to accept connections", 20)
        return self

    def wait_exit(self):
        self.ended = True
        return self.proc.wait(20)

    def output(self):
        self.out.seek(0)
        return self.out.read()

    def end(self):
        """SIGTERM, the service's ordinary end; SIGKILL to whatever is left of its group."""
        self.ended = self.ended or self.proc.poll() is None
        self.proc.terminate()
        try:
            self.proc.wait(10)
        finally:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(self.pid, signal.SIGKILL)

    def problems(self):
        found = [] if self.ended or self.proc.poll() is None else [f"died: {self.proc.returncode}"]
        if any(mark in self.output() for mark in SANITIZER_MARKS):
            found.append(self.output().decode("utf-8", "replace"))
        return found


def shim_environment(**settings):
    """Preloads the tests' send shim (short_io_shim.c) with KV_SHIM_ settings, after a sanitizer runtime the service links."""
    linked = subprocess.run(["ldd", os.environ["KV_SERVER"]], check=True, capture_output=True, text=True).stdout
    preload = [line.split()[2] for line in linked.splitlines() if "libasan" in line] + [os.environ["KV_SHIM"]]
    return {"LD_PRELOAD": " ".join(preload), **{f"KV_SHIM_{k.upper()}": str(v) for k, v in settings.items()}}


def connect(timeout=10.0):
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    sock.settimeout(timeout)
    return sock.connect(SOCKET_PATH) or sock


def read_all(sock, timeout=10.0):
    """Everything until the service closes (a reset counts as a close)."""
    sock.settimeout(timeout)
    chunks = []
    with contextlib.suppress(ConnectionResetError):
        while chunk := sock.recv(1 << 16):
            chunks.append(chunk)
    return b"".join(chunks)


def exchange(raw, timeout=10.0):
    with connect(timeout) as sock:
        with contextlib.suppress(BrokenPipeError, ConnectionResetError):
            sock.sendall(raw)
        return read_all(sock, timeout)


def req(method, target, body=b"", headers=(), version="1.1"):
    body = body.encode() if isinstance(body, str) else body
    lines = [f"{method} {target} HTTP/{version}", "Host: x", *headers]
    if body or method == "POST":
        lines.append(f"Content-Length: {len(body)}")
    return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1") + body


def head(status, content_type, length):
    reason = {200: "OK", 400: "Bad Request", 404: "Not Found"}[status]
    return (f"HTTP/1.1 {status} {reason}\r\nConnection: close\r\nServer: Beast\r\n"
            f"Content-Type: {content_type}\r\nContent-Length: {length}\r\n\r\n").encode()


def response(status, content_type, body):
    body = body.encode() if isinstance(body, str) else body
    return head(status, content_type, len(body)) + body


def soap(operation, **params):
    args = "".join(f"<{k}>{v}</{k}>" for k, v in params.items())
    return (f'<s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/"><s:Body>'
            f"<m:{operation}>{args}</m:{operation}></s:Body></s:Envelope>")


def make_tree(root, files):
    for name, content in files.items():
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        pathlib.Path(path).write_bytes(content.encode() if isinstance(content, str) else content)
    return root


@pytest.fixture(scope="session")
def syslog():
    if os.geteuid() != 0:
        pytest.skip("black-box tests need root")
    if os.readlink("/proc/self/ns/mnt") == os.readlink(f"/proc/{os.getppid()}/ns/mnt"):
        pytest.exit("run under `unshare --mount --propagation private`", returncode=2)
    grp.getgrnam("www")   # KeyError: run through ctest, whose fixture provides the group
    mount = lambda *args: subprocess.run(["mount", *args], check=True)  # noqa: E731
    mount("-t", "tmpfs", "-o", "mode=0755", "kvrun", "/run")
    keep = {sub: os.open("/dev/" + sub, os.O_RDONLY) for sub in ("shm", "pts")
            if os.path.ismount("/dev/" + sub)}
    for sub in ("upper", "work"):
        os.makedirs("/run/kvdev/" + sub)
    mount("-t", "overlay", "overlay", "-o",
           "lowerdir=/dev,upperdir=/run/kvdev/upper,workdir=/run/kvdev/work", "/dev")
    for sub, fd in keep.items():   # the overlay hides the mounts below /dev: bring them back
        mount("--bind", f"/proc/{os.getpid()}/fd/{fd}", "/dev/" + sub)
        os.close(fd)
    if os.path.lexists("/dev/log"):
        os.unlink("/dev/log")
    return Syslog()


# Work directories live on the tmpfs over /run: they go with the namespace.
workdir = pytest.fixture(lambda syslog: tempfile.mkdtemp(prefix="kv-", dir="/run"), name="workdir")
module_workdir = pytest.fixture(lambda syslog: tempfile.mkdtemp(prefix="kv-", dir="/run"),
                                scope="module", name="module_workdir")


def _pool(syslog):
    """start(args, ready=True, binary=the service, **Service options); a death or sanitizer report fails the test."""
    started = []

    def start(args=(), ready=True, binary=None, **options):
        service = Service(binary or os.environ["KV_SERVER"], args, **options)
        started.append(service)
        return service.wait_ready() if ready else service
    yield start
    problems = [p for s in started for p in s.problems()]
    for service in started:
        service.end()
    assert not problems, "\n".join(problems)


services = pytest.fixture(_pool, name="services")
module_services = pytest.fixture(_pool, scope="module", name="module_services")
