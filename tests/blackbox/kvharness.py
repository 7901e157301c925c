"""Harness for running the IxoWebServerBSD binary hermetically and talking to it.

Everything here expects to run as root inside a private mount namespace (see conftest.py):
/run is a private tmpfs, /dev an overlay whose /dev/log is a datagram socket owned by the
LogCollector below.
"""

import ctypes
import grp
import os
import re
import select
import shutil
import signal
import socket
import stat
import subprocess
import threading
import time
import uuid

import pytest

RUN_DIR = "/var/run/KvIxoWebService"
SOCKET_PATH = RUN_DIR + "/kvixowebservice.sock"
SOCKET_GROUP = "www"
SYSLOG_PATH = "/dev/log"
IDENT = "IxoWebServer"
START_LINE = "------------- IxoWebServer (START) -------------"

LOG_LOCAL0 = 16
LOG_ERR = 3
LOG_NOTICE = 5

GATEWAY_PATH = "/KvIxoWebService/KvIxoWebService.dll"
SIM_ENV_VARS = ("KVIXO_SIM_NETID", "KVIXO_SIM_ROUTES", "KVIXO_SIM_FAIL_OPEN")

# Texts in the service's stderr that mean a sanitizer found a fault.
SANITIZER_MARKS = (b"AddressSanitizer", b"LeakSanitizer", b"UndefinedBehaviorSanitizer",
                   b"runtime error:", b"SUMMARY: ")

POLL_INTERVAL = 0.02


def await_condition(predicate, timeout, what):
    """Polls predicate until it returns a true value; raises AssertionError at the deadline."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise AssertionError(f"timed out after {timeout} s waiting for {what}")
        time.sleep(POLL_INTERVAL)


def in_private_mount_namespace():
    """True when this process has a mount namespace of its own, apart from its parent's
    (`unshare --mount` executes the test process in a new one)."""
    try:
        return os.readlink("/proc/self/ns/mnt") != os.readlink(f"/proc/{os.getppid()}/ns/mnt")
    except OSError:
        return False


# --------------------------------------------------------------------------------------------
# System log capture


class LogEntry:
    """One datagram received on /dev/log."""

    PATTERN = re.compile(
        rb"^<(\d{1,3})>([A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d) ([^\[\]: ]+)\[(\d+)\]: (.*)\Z", re.S)

    def __init__(self, raw):
        self.raw = raw
        match = self.PATTERN.match(raw.rstrip(b"\0"))
        if match:
            pri = int(match.group(1))
            self.facility, self.severity = pri >> 3, pri & 7
            self.ident = match.group(3).decode("utf-8", "replace")
            self.pid = int(match.group(4))
            self.text = match.group(5).decode("utf-8", "replace")
        else:
            self.facility = self.severity = self.ident = self.pid = None
            self.text = raw.decode("utf-8", "replace")

    def __repr__(self):
        return f"LogEntry({self.raw!r})"


class LogCollector:
    """Owns the datagram socket bound at /dev/log and keeps every message received.

    A background thread drains the socket at once, so that a sender never blocks on a full
    queue (the kernel keeps only a few datagrams per socket)."""

    def __init__(self, path=SYSLOG_PATH):
        self.path = path
        self.entries = []
        self.cond = threading.Condition()
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(path)
        os.chmod(path, 0o666)
        self.stopping = False
        self.thread = threading.Thread(target=self._drain, name="syslog", daemon=True)
        self.thread.start()

    def _drain(self):
        while not self.stopping:
            ready, _, _ = select.select([self.sock], [], [], 0.2)
            if not ready:
                continue
            raw = self.sock.recv(65536)
            with self.cond:
                self.entries.append(LogEntry(raw))
                self.cond.notify_all()

    def close(self):
        self.stopping = True
        self.thread.join()
        self.sock.close()
        try:
            os.unlink(self.path)
        except FileNotFoundError:
            pass

    def entries_for(self, pid):
        with self.cond:
            return [e for e in self.entries if e.pid == pid]

    def lines(self, pid):
        return [e.text for e in self.entries_for(pid)]

    def wait_for(self, pid, text, timeout=10.0):
        """Waits until the process pid has logged the line text; returns its entry."""
        def found():
            for e in self.entries:
                if e.pid == pid and e.text == text:
                    return e
            return None
        with self.cond:
            if not self.cond.wait_for(found, timeout):
                raise AssertionError(
                    f"no log line {text!r} from pid {pid} within {timeout} s; got "
                    f"{[e.text for e in self.entries if e.pid == pid]!r}")
            return found()

    def wait_count(self, pid, count, timeout=10.0):
        """Waits until the process pid has logged at least count lines; returns its lines."""
        with self.cond:
            if not self.cond.wait_for(
                    lambda: sum(1 for e in self.entries if e.pid == pid) >= count, timeout):
                raise AssertionError(
                    f"pid {pid} logged fewer than {count} lines within {timeout} s: "
                    f"{[e.text for e in self.entries if e.pid == pid]!r}")
        return self.lines(pid)

    def barrier(self, timeout=10.0):
        """Returns once every message sent to the log before this call has been collected.

        Datagrams queue on the receiving socket in the order they were sent, so a marker of our
        own that arrives proves that everything queued earlier has arrived too."""
        marker = b"kv-blackbox-barrier " + uuid.uuid4().hex.encode()
        with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as sender:
            sender.sendto(marker, self.path)
        with self.cond:
            if not self.cond.wait_for(lambda: any(e.raw == marker for e in self.entries), timeout):
                raise AssertionError("log barrier marker never arrived")


# --------------------------------------------------------------------------------------------
# The group "www" comes from the ctest fixture kv_www_group (tests/CMakeLists.txt).


def _group_exists(name):
    try:
        grp.getgrnam(name)
        return True
    except KeyError:
        return False


# --------------------------------------------------------------------------------------------
# The service process


class Service:
    """One run of the service binary, with its stdout and stderr in files.

    Only one may run at a time in a test process: they all bind the same socket path."""

    started = []   # every service started by this test process

    def __init__(self, binary, workdir, args=(), argv0=None, cwd=None, env=None,
                 expect_exit=False):
        self.binary = binary
        self.args = list(args)
        self.argv0 = argv0 if argv0 is not None else binary
        self.cwd = cwd or workdir
        self.extra_env = dict(env or {})
        self.expect_exit = expect_exit
        self.stdout_path = os.path.join(workdir, f"service-{id(self)}.stdout")
        self.stderr_path = os.path.join(workdir, f"service-{id(self)}.stderr")
        self.proc = None
        self.killed_by_harness = False

    @property
    def pid(self):
        return self.proc.pid

    def environment(self):
        env = {k: v for k, v in os.environ.items() if k not in SIM_ENV_VARS}
        env.setdefault("ASAN_OPTIONS", "detect_leaks=1:abort_on_error=1")
        env.setdefault("UBSAN_OPTIONS", "print_stacktrace=1:halt_on_error=1")
        env.update(self.extra_env)
        return env

    def start(self):
        running = [other.pid for other in Service.started if other.alive()]
        if running:
            raise AssertionError(f"service pid {running} still runs; end it before starting another")
        try:
            self.previous_inode = os.lstat(SOCKET_PATH).st_ino
        except (FileNotFoundError, NotADirectoryError):
            self.previous_inode = None
        Service.started.append(self)
        with open(self.stdout_path, "wb") as out, open(self.stderr_path, "wb") as err:
            self.proc = subprocess.Popen([self.argv0] + self.args, executable=self.binary,
                                         cwd=self.cwd, env=self.environment(),
                                         stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                         umask=0o022, start_new_session=True,
                                         preexec_fn=_die_with_parent)
        return self

    def wait_ready(self, timeout=20.0):
        """Waits until this run's socket file accepts a connection (the listen step is done)."""
        def ready():
            if self.proc.poll() is not None:
                raise AssertionError(
                    f"service exited with {self.proc.returncode} before listening; "
                    f"stderr: {self.stderr()!r}")
            try:
                st = os.lstat(SOCKET_PATH)
            except (FileNotFoundError, NotADirectoryError):
                return False
            if st.st_ino == self.previous_inode or not stat.S_ISSOCK(st.st_mode):
                return False   # still the file of an earlier run
            with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as probe:
                try:
                    probe.connect(SOCKET_PATH)
                    return True
                except (FileNotFoundError, ConnectionRefusedError):
                    return False
        await_condition(ready, timeout, "the service socket to accept connections")
        return self

    def wait_exit(self, timeout=20.0):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError(f"service did not exit within {timeout} s") from None

    def alive(self):
        return self.proc is not None and self.proc.poll() is None

    def stderr(self):
        try:
            with open(self.stderr_path, "rb") as f:
                return f.read()
        except FileNotFoundError:
            return b""

    def terminate(self):
        """SIGTERM (the service's ordinary end) and wait; SIGKILL if it does not go. Whatever
        else is left in the service's own process group is killed as well."""
        if self.proc is None:
            return
        if self.proc.poll() is None:
            self.killed_by_harness = True
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        try:
            os.killpg(self.proc.pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass

    def problems(self):
        """What is wrong with this run so far: an unexpected death or a sanitizer report."""
        found = []
        if self.proc is None:
            return found
        code = self.proc.poll()
        if code is not None and not self.killed_by_harness and not self.expect_exit:
            found.append(f"service pid {self.pid} died with status {code}")
        err = self.stderr()
        if any(mark in err for mark in SANITIZER_MARKS):
            found.append(f"sanitizer report from service pid {self.pid}:\n"
                         + err.decode("utf-8", "replace"))
        return found


def _die_with_parent():
    """Runs in the forked child: the service gets SIGKILL should the test process die first
    (for instance killed by a test time-out), so that no service outlives its test."""
    PR_SET_PDEATHSIG = 1
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)


class ServicePool:
    """Starts services for a test (or a module) and ends them all in teardown."""

    def __init__(self, binary, workdir):
        self.binary = binary
        self.workdir = workdir
        self.services = []

    def start(self, args=(), ready=True, **kwargs):
        service = Service(self.binary, self.workdir, args=args, **kwargs)
        self.services.append(service)
        service.start()
        if ready:
            service.wait_ready()
        return service

    def check(self):
        found = []
        for service in self.services:
            found += service.problems()
        return found

    def shutdown(self):
        found = []
        for service in self.services:
            found += service.problems()   # an unexpected death shows before our own SIGTERM
            service.terminate()
            found += [p for p in service.problems() if "sanitizer" in p and p not in found]
        return found


# --------------------------------------------------------------------------------------------
# HTTP over the socket file

REASONS = {200: "OK", 400: "Bad Request", 404: "Not Found"}


def connect(timeout=10.0):
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    sock.settimeout(timeout)
    sock.connect(SOCKET_PATH)
    return sock


def read_until_closed(sock, timeout=10.0):
    """Reads until the service closes the connection. Returns (data, how) with how "eof" or
    "reset"; raises AssertionError if the connection stays open past the timeout."""
    sock.settimeout(timeout)
    chunks = []
    try:
        while True:
            chunk = sock.recv(1 << 16)
            if not chunk:
                return b"".join(chunks), "eof"
            chunks.append(chunk)
    except ConnectionResetError:
        return b"".join(chunks), "reset"
    except socket.timeout:
        raise AssertionError(
            f"connection still open after {timeout} s; received {b''.join(chunks)[:200]!r}") \
            from None


def send_quietly(sock, data):
    """Sends data; a peer that has already closed (EPIPE, ECONNRESET) is not an error here."""
    try:
        sock.sendall(data)
        return True
    except (BrokenPipeError, ConnectionResetError):
        return False


def exchange(raw, timeout=10.0):
    """One connection: send raw, return everything received until the service closes."""
    with connect(timeout) as sock:
        send_quietly(sock, raw)
        data, _ = read_until_closed(sock, timeout)
        return data


def build_request(method, target, body=b"", headers=None, version="1.1", length=True):
    if isinstance(body, str):
        body = body.encode()
    lines = [f"{method} {target} HTTP/{version}", "Host: localhost"]
    lines += list(headers or [])
    if length and (body or method == "POST"):
        lines.append(f"Content-Length: {len(body)}")
    return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1") + body


def request(method, target, body=b"", headers=None, version="1.1", timeout=10.0):
    return exchange(build_request(method, target, body, headers, version), timeout)


def response_head(status, content_type, length):
    return (f"HTTP/1.1 {status} {REASONS[status]}\r\nConnection: close\r\nServer: Beast\r\n"
            f"Content-Type: {content_type}\r\nContent-Length: {length}\r\n\r\n").encode()


def expected_response(status, content_type, body):
    if isinstance(body, str):
        body = body.encode()
    return response_head(status, content_type, len(body)) + body


def split_response(data):
    head, sep, body = data.partition(b"\r\n\r\n")
    assert sep, f"no complete response header in {data[:200]!r}"
    return head + sep, body


def assert_response(data, status, content_type, body):
    """Exact comparison of the whole response; big bodies are compared without a full diff."""
    if isinstance(body, str):
        body = body.encode()
    if len(body) <= 4096:
        assert data == expected_response(status, content_type, body)
        return
    head, got = split_response(data)
    assert head == response_head(status, content_type, len(body))
    assert len(got) == len(body)
    assert got == body, "body differs"


NOT_FOUND = "File not found\r\n"


def is_socket(path):
    try:
        return stat.S_ISSOCK(os.lstat(path).st_mode)
    except FileNotFoundError:
        return False


def listen_queue_length(pid):
    """Connections waiting in the service's listen backlog (not yet accepted), from ss."""
    ss = shutil.which("ss")
    if ss is None:
        pytest.skip("needs ss (package iproute2) to see the listen backlog")
    out = subprocess.run([ss, "-xlpH"], check=True, capture_output=True, text=True).stdout
    for line in out.splitlines():
        if f"pid={pid}," in line and SOCKET_PATH in line:
            return int(line.split()[2])
    raise AssertionError(f"no listening socket of pid {pid} in ss output:\n{out}")



def make_tree(root, files=(), dirs=()):
    """Creates directories and files (name -> bytes or str) below root; returns root."""
    for name in dirs:
        os.makedirs(os.path.join(root, name), exist_ok=True)
    for name, content in dict(files).items():
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(content.encode() if isinstance(content, str) else content)
    return root
