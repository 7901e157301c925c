"""Start-up: its log lines, the document root, the run directory and socket file, the group,
failures and SIGTERM. Faults caught: verbose lines without the switch or out of order, arguments
used as formats, an empty root serving the machine's files, a socket file of the wrong mode,
group or owner, a stale file not replaced, a served socket taken over by a second start, a
missing group or bind failure not ending start-up with status 1 and its error, log lines not
shown on a terminal or written to a standard error that is none, a handler installed for SIGTERM.
The document root's option errors end start-up on the same path; their texts are unit-tested."""

import contextlib
import ctypes
import fcntl
import grp
import os
import signal
import stat
import subprocess

import kvharness as kv


def start_lines(argv, root):
    return ([kv.START_LINE, "Main: -Verbose Mode: Enabled"]
            + [f"arg {i}: {a}" for i, a in enumerate(argv)]
            + ["CDaemon: Starting IxoService-Daemon", "CDaemon: Do NOT fork", "CDaemon: Daemon started",
               "socket: " + kv.SOCKET_PATH, "Main: doc_root: " + root]
            + ([] if root else ["Main: no document root: every file target is answered 404"])
            + ["Main: num_workers: 100", "Main: spin: 0", "Main: listening..."])


def test_verbose_start_lines_take_arguments_as_text_and_no_working_directory_serves_no_file(services, syslog, workdir):
    gone = os.path.join(workdir, "gone")
    os.mkdir(gone)
    args = ["-v", "%s%n%x"]
    service = services(args, cwd=gone, remove_cwd=True)
    syslog.wait_line(service.pid, "Main: listening...")
    assert syslog.lines(service.pid, True) == [(kv.NOTICE, t) for t in start_lines([service.binary] + args, "")]
    assert service.output() == b"", "standard error is no terminal: the lines go to syslog only"
    for target in ("/etc/passwd", "/proc/self/status", "/index.html"):
        assert kv.exchange(kv.req("GET", target)) == kv.response(404, "text/plain", kv.NOT_FOUND)
    assert kv.exchange(kv.req("GET", kv.GW)).startswith(b"HTTP/1.1 200 OK\r\n"), "page still served"


def test_socket_file_a_second_start_sigterm_and_the_next_start(services, syslog, workdir):
    subprocess.run(["rm", "-rf", kv.RUN_DIR], check=True)
    kv.make_tree(kv.RUN_DIR, {"kvixowebservice.sock": "a stale regular file"})
    inode = os.lstat(kv.SOCKET_PATH).st_ino
    for _ in range(2):
        service = services(["-docroot", workdir])
        second = services(["-docroot", workdir], ready=False)
        assert second.wait_exit() == 1
        assert second.output() == f"Error: another instance is serving {kv.SOCKET_PATH}\n".encode()
        assert syslog.lines(second.pid, True) == [(kv.NOTICE, kv.START_LINE),
                                                  (kv.ERR, "Main: another instance is serving " + kv.SOCKET_PATH)]
        # Served by the first, so its workers run and mode and group are set; without -v it logs no line.
        assert kv.exchange(kv.req("GET", "/")) == kv.response(404, "text/plain", kv.NOT_FOUND)
        st = os.lstat(kv.SOCKET_PATH)
        assert stat.S_ISSOCK(st.st_mode) and stat.S_IMODE(st.st_mode) == 0o660 and st.st_ino != inode
        assert (st.st_uid, st.st_gid) == (0, grp.getgrnam("www").gr_gid)
        inode = st.st_ino
        service.proc.send_signal(signal.SIGTERM)
        assert service.wait_exit() == -signal.SIGTERM   # default action: no handler, no line
        assert syslog.lines(service.pid) == [kv.START_LINE]
        assert os.lstat(kv.SOCKET_PATH).st_ino == inode, "the socket file stays, left alone by the second start"


@contextlib.contextmanager
def group_www_missing(workdir):
    copy = os.path.join(workdir, "group")
    with open("/etc/group") as f, open(copy, "w") as out:
        out.writelines(line for line in f if not line.startswith("www:"))
    subprocess.run(["mount", "--bind", copy, "/etc/group"], check=True)
    try:
        yield
    finally:
        subprocess.run(["umount", "/etc/group"], check=True)


def open_terminal(directory):
    """A pseudo-terminal from a devpts instance of its own: the harness's /dev overlay has no usable ptmx."""
    subprocess.run(["mount", "-t", "devpts", "-o", "newinstance,ptmxmode=0666", "kvpts", directory], check=True)
    controller = os.open(directory + "/ptmx", os.O_RDWR | os.O_NOCTTY)
    assert ctypes.CDLL(None).unlockpt(controller) == 0
    tiocgptpeer = 0x5441   # opens the terminal side from the controller side
    return controller, fcntl.ioctl(controller, tiocgptpeer, os.O_RDWR | os.O_NOCTTY)


def test_missing_group_ends_start_up_with_status_1_and_its_error_also_shown_on_a_terminal(syslog, workdir):
    os.mkdir(workdir + "/pts")
    controller, terminal = open_terminal(workdir + "/pts")
    with group_www_missing(workdir):
        service = subprocess.Popen([os.environ["KV_SERVER"], "-docroot", workdir], stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=terminal)
        os.close(terminal)
        try:
            assert service.wait(20) == 1
        finally:
            service.kill()
    shown = b""
    with contextlib.suppress(OSError):   # EIO once the terminal's last writer has gone
        while chunk := os.read(controller, 4096):
            shown += chunk
    os.close(controller)
    prefix = f"IxoWebServer[{service.pid}]: "
    assert shown.decode().splitlines() == [prefix + kv.START_LINE, prefix + "Group was not found by name: www"]
    assert syslog.lines(service.pid, True) == [(kv.NOTICE, kv.START_LINE), (kv.ERR, "Group was not found by name: www")]


def test_run_directory_that_is_a_file_fails_at_bind(services, syslog, workdir):
    subprocess.run(["rm", "-rf", kv.RUN_DIR], check=True)
    kv.make_tree("/run", {"KvIxoWebService": "not a directory"})
    try:
        service = services(["-docroot", workdir], ready=False)
        assert service.wait_exit() == 1
        assert service.output().startswith(b"Error: ") and b"bind" in service.output()
    finally:
        os.unlink(kv.RUN_DIR)
