"""Command line, start-up log lines, socket file and termination of the service process."""

import grp
import os
import shutil
import signal
import socket
import stat
import subprocess

import pytest

import kvharness as kv

VERBOSE_SPELLINGS = ["-v", "/v", "-verbose", "/verbose"]
NOT_VERBOSE_SPELLINGS = ["-V", "--v", "/V", "-Verbose", "/VERBOSE", "--verbose", "-vv", "v", "-v "]

HELLO = "<html>hello</html>"


def verbose_cases():
    cases = [pytest.param(None, [], False, id="no-arguments")]
    for spelling in VERBOSE_SPELLINGS:
        cases.append(pytest.param(None, [spelling], True, id=f"arg[{spelling}]"))
        cases.append(pytest.param(None, ["ignored", spelling, "x"], True, id=f"later[{spelling}]"))
        cases.append(pytest.param(spelling, [], True, id=f"argv0[{spelling}]"))
    for spelling in NOT_VERBOSE_SPELLINGS:
        cases.append(pytest.param(None, [spelling], False, id=f"not[{spelling}]"))
    return cases


def start_lines(argv, doc_root):
    """The verbose log of a successful start, in order."""
    return ([kv.START_LINE, "Main: -Verbose Mode: Enabled"]
            + [f"arg {i}: {a}" for i, a in enumerate(argv)]
            + ["CDaemon: Starting IxoService-Daemon", "CDaemon: Do NOT fork",
               "CDaemon: Daemon started",
               "socket: " + kv.SOCKET_PATH, "Main: doc_root: " + doc_root,
               "Main: num_workers: 100", "Main: spin: 0", "Main: listening..."])


@pytest.fixture
def docroot(workdir):
    return kv.make_tree(os.path.join(workdir, "docroot"), {"hello.html": HELLO})


@pytest.mark.parametrize("argv0, args, verbose", verbose_cases())
def test_verbose_switch(services, sandbox, docroot, argv0, args, verbose):
    service = services.start(args, argv0=argv0, cwd=docroot)
    if verbose:
        sandbox.wait_for(service.pid, "Main: listening...")
    sandbox.barrier()
    lines = sandbox.lines(service.pid)
    if verbose:
        argv = [argv0 if argv0 is not None else service.binary] + args
        assert lines == start_lines(argv, os.path.realpath(docroot))
    else:
        assert lines == [kv.START_LINE]
    assert kv.exchange(kv.build_request("GET", "/hello.html")) == \
        kv.expected_response(200, "text/html", HELLO)


def test_arguments_are_logged_as_text_not_as_formats(services, sandbox, docroot):
    args = ["-v", "%s%n%x%%", "-docroot", docroot, "%d %s"]
    service = services.start(args)
    sandbox.wait_for(service.pid, "Main: listening...")
    assert sandbox.lines(service.pid) == start_lines([service.binary] + args, docroot)


def test_docroot_with_trailing_slash(services, docroot):
    services.start(["-docroot", docroot + "/"])
    assert kv.request("GET", "/hello.html") == kv.expected_response(200, "text/html", HELLO)
    for target in ("/", "/?x=1"):
        assert kv.request("GET", target) == kv.expected_response(404, "text/plain", kv.NOT_FOUND)


def test_log_entries_are_local0_notice_under_the_service_identity(services, sandbox, docroot):
    service = services.start(["-v", "-docroot", docroot])
    sandbox.wait_for(service.pid, "Main: listening...")
    entries = sandbox.entries_for(service.pid)
    assert [e.text for e in entries] == start_lines([service.binary, "-v", "-docroot", docroot],
                                                    docroot)
    for entry in entries:
        assert (entry.ident, entry.facility, entry.severity) == \
            (kv.IDENT, kv.LOG_LOCAL0, kv.LOG_NOTICE), entry.raw


def test_without_verbose_only_the_start_line_even_while_serving(services, sandbox, docroot):
    service = services.start(["-docroot", docroot])
    assert kv.request("GET", "/missing.html") == kv.expected_response(404, "text/plain",
                                                                     kv.NOT_FOUND)
    assert kv.request("GET", "/hello.html") == kv.expected_response(200, "text/html", HELLO)
    sandbox.barrier()
    entries = sandbox.entries_for(service.pid)
    assert [e.text for e in entries] == [kv.START_LINE]
    assert (entries[0].facility, entries[0].severity) == (kv.LOG_LOCAL0, kv.LOG_NOTICE)


@pytest.mark.parametrize("kind, expected_error, verbose", [
    ("missing-value", "docroot option needs a value", False),
    ("missing-value-slash", "docroot option needs a value", False),
    ("absent-path", "docroot path is not a directory", False),
    ("regular-file", "docroot path is not a directory", False),
    ("dangling-symlink", "docroot path is not a directory", False),
    ("symlink-to-file", "docroot path is not a directory", False),
    ("option-as-value", "docroot path is not a directory", True),
    ("empty-value", "docroot path is not a directory", False),
])
def test_docroot_errors(services, sandbox, workdir, kind, expected_error, verbose):
    file_path = os.path.join(workdir, "plain.txt")
    kv.make_tree(workdir, {"plain.txt": "x"})
    os.symlink(os.path.join(workdir, "nowhere"), os.path.join(workdir, "dangling"))
    os.symlink(file_path, os.path.join(workdir, "to-file"))
    args = {
        "missing-value": ["-docroot"],
        "missing-value-slash": ["x", "/docroot"],
        "absent-path": ["-docroot", os.path.join(workdir, "nowhere")],
        "regular-file": ["-docroot", file_path],
        "dangling-symlink": ["-docroot", "dangling"],
        "symlink-to-file": ["/docroot", "to-file"],
        "option-as-value": ["-docroot", "-v"],
        "empty-value": ["-docroot", ""],
    }[kind]
    service = services.start(args, ready=False, cwd=workdir, expect_exit=True)
    assert service.wait_exit() == 1
    assert service.stderr() == f"Error: {expected_error}\n".encode()
    sandbox.barrier()
    expected_log = [kv.START_LINE]
    if verbose:
        expected_log = start_lines([service.binary] + args, "")[:-5]
    assert sandbox.lines(service.pid) == expected_log


@pytest.mark.parametrize("form", ["absolute", "relative", "dot-relative", "symlink",
                                  "working-directory", "first-of-two", "option-text-directory"])
def test_docroot_forms(services, sandbox, workdir, form):
    real = kv.make_tree(os.path.join(workdir, "site"), {"hello.html": HELLO})
    os.symlink(real, os.path.join(workdir, "link"))
    kv.make_tree(workdir, {"-v/hello.html": HELLO, "hello.html": "<html>wrong</html>"})
    cwd = workdir
    args, shown = {
        "absolute": (["-v", "-docroot", real], real),
        "relative": (["-v", "-docroot", "site"], "site"),
        "dot-relative": (["-v", "/docroot", "./site"], "./site"),
        "symlink": (["-v", "-docroot", os.path.join(workdir, "link")],
                    os.path.join(workdir, "link")),
        "working-directory": (["-v"], os.path.realpath(real)),
        "first-of-two": (["-v", "-docroot", "site", "-docroot", "/nonexistent"], "site"),
        # "-v" is both the docroot value (a directory of that name exists) and the switch.
        "option-text-directory": (["-docroot", "-v"], "-v"),
    }[form]
    if form == "working-directory":
        cwd = real
    service = services.start(args, cwd=cwd)
    sandbox.wait_for(service.pid, "Main: listening...")
    assert sandbox.lines(service.pid) == start_lines([service.binary] + args, shown)
    assert kv.request("GET", "/hello.html") == kv.expected_response(200, "text/html", HELLO)


# --------------------------------------------------------------------------------------------
# Socket file

def www_gid():
    return grp.getgrnam(kv.SOCKET_GROUP).gr_gid


def assert_fresh_socket_file(old_inode=None):
    st = os.lstat(kv.SOCKET_PATH)
    assert stat.S_ISSOCK(st.st_mode)
    assert stat.S_IMODE(st.st_mode) == 0o660
    assert (st.st_uid, st.st_gid) == (os.geteuid(), www_gid())
    if old_inode is not None:
        assert st.st_ino != old_inode
    return st.st_ino


@pytest.mark.parametrize("before", ["nothing", "stale-socket", "stale-regular-file",
                                    "missing-run-directory"])
def test_socket_file_prepared(services, docroot, before):
    old_inode = None
    if before == "missing-run-directory":
        shutil.rmtree(kv.RUN_DIR, ignore_errors=True)
    else:
        os.makedirs(kv.RUN_DIR, exist_ok=True)
        if os.path.lexists(kv.SOCKET_PATH):
            os.unlink(kv.SOCKET_PATH)
        if before == "stale-socket":
            with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as stale:
                stale.bind(kv.SOCKET_PATH)   # closed without unlinking: a left-over file
        elif before == "stale-regular-file":
            kv.make_tree(kv.RUN_DIR, {"kvixowebservice.sock": "left over"})
        if before != "nothing":
            old_inode = os.lstat(kv.SOCKET_PATH).st_ino
    services.start(["-docroot", docroot])
    # A served request proves start-up went past the group and mode steps.
    assert kv.request("GET", "/hello.html") == kv.expected_response(200, "text/html", HELLO)
    assert_fresh_socket_file(old_inode)
    run_dir = os.lstat(kv.RUN_DIR)
    assert stat.S_ISDIR(run_dir.st_mode)
    if before == "missing-run-directory":
        assert stat.S_IMODE(run_dir.st_mode) == 0o755   # 0777 less the umask 022


def test_sigterm_ends_service_and_next_start_replaces_socket(services, sandbox, docroot):
    first = services.start(["-v", "-docroot", docroot])
    assert kv.request("GET", "/hello.html") == kv.expected_response(200, "text/html", HELLO)
    first_inode = assert_fresh_socket_file()
    first.killed_by_harness = True
    first.proc.send_signal(signal.SIGTERM)
    assert first.wait_exit() == -signal.SIGTERM
    assert kv.is_socket(kv.SOCKET_PATH), "the socket file stays after SIGTERM"
    with pytest.raises(ConnectionRefusedError):
        kv.connect()
    sandbox.barrier()
    # SIGTERM keeps its default action: no handler runs, so no termination line is logged.
    assert sandbox.lines(first.pid)[-1] == f"process_request: full: {docroot}/hello.html"

    services.start(["-docroot", docroot])
    assert kv.request("GET", "/hello.html") == kv.expected_response(200, "text/html", HELLO)
    assert_fresh_socket_file(first_inode)


@pytest.fixture
def group_file_without_www(workdir):
    """Hides the group "www" from this test process only: a copy of /etc/group without it is
    bind-mounted over /etc/group inside the private mount namespace."""
    with open("/etc/group") as f:
        kept = [line for line in f if not line.startswith(kv.SOCKET_GROUP + ":")]
    copy = os.path.join(workdir, "group")
    with open(copy, "w") as f:
        f.writelines(kept)
    subprocess.run(["mount", "--bind", copy, "/etc/group"], check=True)
    try:
        yield
    finally:
        subprocess.run(["umount", "/etc/group"], check=True)


@pytest.mark.usefixtures("group_file_without_www")
def test_missing_group_stops_start_up_with_an_error_line(services, sandbox, docroot):
    with pytest.raises(KeyError):
        grp.getgrnam(kv.SOCKET_GROUP)
    service = services.start(["-docroot", docroot], ready=False, expect_exit=True)
    assert service.wait_exit() == 1
    assert service.stderr() == b""
    sandbox.barrier()
    entries = sandbox.entries_for(service.pid)
    assert [(e.severity, e.text) for e in entries] == [
        (kv.LOG_NOTICE, kv.START_LINE), (kv.LOG_ERR, "Group was not found by name: www")]
    assert all(e.facility == kv.LOG_LOCAL0 for e in entries)
    # The socket file stays behind; the next start replaces it.
    assert kv.is_socket(kv.SOCKET_PATH)


@pytest.mark.parametrize("obstacle", ["run-directory-is-a-file", "socket-path-is-a-directory"])
def test_unusable_socket_path_fails_at_bind(services, sandbox, docroot, obstacle):
    shutil.rmtree(kv.RUN_DIR, ignore_errors=True)
    if os.path.lexists(kv.RUN_DIR):
        os.unlink(kv.RUN_DIR)
    if obstacle == "run-directory-is-a-file":
        kv.make_tree("/run", {"KvIxoWebService": "not a directory"})
    else:
        os.makedirs(kv.SOCKET_PATH)
    try:
        service = services.start(["-v", "-docroot", docroot], ready=False, expect_exit=True)
        assert service.wait_exit() == 1
        err = service.stderr().decode()
        assert err.startswith("Error: ") and err.endswith("\n") and err.count("\n") == 1, err
        assert "bind" in err, err
        sandbox.barrier()
        expected = start_lines([service.binary, "-v", "-docroot", docroot], docroot)[:-1]
        assert sandbox.lines(service.pid) == expected
    finally:
        if os.path.isdir(kv.RUN_DIR):
            shutil.rmtree(kv.RUN_DIR)
        else:
            os.unlink(kv.RUN_DIR)
