"""One loop, 100 workers, the 60-second deadline. Faults caught: a 101st connection accepted
without a free worker or never served, SIGPIPE or a stuck worker when a client leaves mid-file,
a device call that does not block the loop (a second thread), a file shrinking while it is sent,
a silent or half-sent connection held for ever, or cut early, or holding up the others, or a large
file to a reader that always keeps up (the shim's sendfile waits for room) holding up the loop."""

import contextlib
import os
import socket
import subprocess
import threading
import time

import pytest

import kvharness as kv

SMALL = "<html>small</html>"
OK = kv.response(200, "text/html", SMALL)


@pytest.fixture(scope="module")
def root(module_workdir):
    kv.make_tree(module_workdir, {"small.html": SMALL, "big.bin": "", "huge.bin": ""})
    os.truncate(os.path.join(module_workdir, "big.bin"), 20 * 1024 * 1024)   # sparse: zeros
    os.truncate(os.path.join(module_workdir, "huge.bin"), 1 << 40)   # never read to its end here
    return module_workdir


@pytest.fixture(scope="module")
def service(module_services, root):
    return module_services(["-v", "-docroot", root], env=kv.shim_environment(sendfile_wait=1))


def backlog(pid):
    out = subprocess.run(["ss", "-xlpH"], check=True, capture_output=True, text=True).stdout
    return next(int(line.split()[2]) for line in out.splitlines() if f"pid={pid}," in line)


def test_101st_connection_waits_for_a_free_worker(service):
    held = [kv.connect() for _ in range(100)]
    try:
        kv.await_condition(lambda: backlog(service.pid) == 0, "100 connections accepted")
        with kv.connect() as extra:
            extra.sendall(kv.req("GET", "/small.html"))
            kv.await_condition(lambda: backlog(service.pid) == 1, "the 101st in the backlog")
            extra.settimeout(1.0)
            with pytest.raises(socket.timeout):
                extra.recv(1)
            held.pop(0).close()   # that worker sees the end and accepts again
            assert kv.read_all(extra) == OK
        held[0].sendall(kv.req("GET", "/small.html"))
        assert kv.read_all(held[0]) == OK
    finally:
        for sock in held:
            sock.close()


def test_clients_leaving_in_the_middle_of_a_file(service):
    for wanted in (256 * 1024, 0, 256 * 1024, 0):
        with kv.connect() as sock:
            sock.sendall(kv.req("GET", "/big.bin"))
            received = b""
            while len(received) < wanted:
                received += sock.recv(1 << 16)
    assert kv.exchange(kv.req("GET", "/small.html")) == OK


def test_slow_device_call_holds_every_connection(service, syslog):
    with kv.connect() as slow:
        slow.sendall(kv.req("POST", kv.GW, kv.soap("Read", nPort=851, indexGroup=0xFFFD0000 + 1500, indexOffset=0, cbLen=3)))
        syslog.wait_line(service.pid, "process_request: file: " + kv.GW)
        started = time.monotonic()
        assert kv.exchange(kv.req("GET", "/small.html")) == OK
        assert time.monotonic() - started > 1.0
        assert b"<ppData>AAAA</ppData>" in kv.read_all(slow)


def test_file_shrinking_while_it_is_sent(service, root):
    path, size = os.path.join(root, "shrinking.bin"), 8 * 1024 * 1024
    kv.make_tree(root, {"shrinking.bin": bytes(range(256)) * (size // 256)})
    with kv.connect() as sock:
        sock.sendall(kv.req("GET", "/shrinking.bin"))
        assert sock.recv(1 << 16).startswith(kv.head(200, "application/text", size))
        os.truncate(path, 1000)
        kv.read_all(sock, 30)   # however much arrives, the exchange ends
    assert kv.exchange(kv.req("GET", "/shrinking.bin")) == kv.response(
        200, "application/text", bytes(range(256)) * 3 + bytes(range(232)))


def stream(sock, progress):
    """Reads the answer for the huge file as fast as it can; progress: [bytes received, ended]."""
    buffer = bytearray(1 << 20)
    with contextlib.suppress(OSError):   # the test closes the socket to stop it
        sock.sendall(kv.req("GET", "/huge.bin"))
        while n := sock.recv_into(buffer):
            progress[0] += n
    progress[1] = True


def test_silent_clients_are_cut_after_60_seconds_while_a_large_file_streams(service):
    with kv.connect() as silent, kv.connect() as partial:
        started = time.monotonic()
        partial.sendall(b"GET /small.html HTTP/1.1\r\nHost: x\r\n")   # never finished
        assert kv.exchange(kv.req("GET", "/small.html")) == OK
        kv.await_condition(lambda: time.monotonic() - started > 57, "the deadline to near", 70)
        with kv.connect() as large:
            progress = [0, False]
            reader = threading.Thread(target=stream, args=(large, progress))
            reader.start()
            kv.await_condition(lambda: progress[0] > 4 << 20, "the transfer to be under way")
            assert kv.exchange(kv.req("GET", "/small.html")) == OK
            assert kv.read_all(silent, 30) == b""
            assert 59.0 <= time.monotonic() - started <= 70.0
            assert kv.read_all(partial, 15) == b""
            assert not progress[1]
            large.shutdown(socket.SHUT_RDWR)
            reader.join(10)
