"""Worker pool: 100 connections at a time, clients that go away in the middle of a response."""

import os
import socket
import time

import pytest

import kvharness as kv
import soapdocs as soap

WORKERS = 100
SMALL = "<html>small</html>"
BIG_SIZE = 20 * 1024 * 1024


@pytest.fixture
def docroot(workdir):
    root = kv.make_tree(os.path.join(workdir, "docroot"), {"small.html": SMALL})
    with open(os.path.join(root, "big.bin"), "wb") as f:
        f.truncate(BIG_SIZE)   # sparse: reads as zeros
    return root


def assert_no_data_within(sock, seconds):
    sock.settimeout(seconds)
    with pytest.raises(socket.timeout):
        data = sock.recv(1)
        pytest.fail(f"unexpected data or close: {data!r}")


def test_101st_connection_waits_for_a_free_worker(services, docroot):
    service = services.start(["-docroot", docroot])
    assert kv.request("GET", "/small.html") == kv.expected_response(200, "text/html", SMALL)
    ok = kv.expected_response(200, "text/html", SMALL)
    held = []
    try:
        for _ in range(WORKERS):
            held.append(kv.connect())
        kv.await_condition(lambda: kv.listen_queue_length(service.pid) == 0, 10,
                           "all 100 connections to be accepted")
        with kv.connect() as extra:
            extra.sendall(kv.build_request("GET", "/small.html"))
            kv.await_condition(lambda: kv.listen_queue_length(service.pid) == 1, 10,
                               "the 101st connection to wait in the listen backlog")
            assert_no_data_within(extra, 1.5)
            # One of the held connections finishes its exchange and frees its worker.
            held[0].sendall(kv.build_request("GET", "/small.html"))
            data, _ = kv.read_until_closed(held[0])
            assert data == ok
            data, _ = kv.read_until_closed(extra)
            assert data == ok
        # The 99 others are still being held open and are each answered when they ask.
        for sock in held[1:4]:
            sock.sendall(kv.build_request("GET", "/small.html"))
            data, _ = kv.read_until_closed(sock)
            assert data == ok
    finally:
        for sock in held:
            sock.close()
    kv.await_condition(lambda: kv.listen_queue_length(service.pid) == 0, 10, "an empty backlog")
    assert kv.request("GET", "/small.html") == ok


def test_101st_connection_served_when_a_held_one_closes(services, docroot):
    service = services.start(["-docroot", docroot])
    held = [kv.connect() for _ in range(WORKERS)]
    try:
        kv.await_condition(lambda: kv.listen_queue_length(service.pid) == 0, 10,
                           "all 100 connections to be accepted")
        with kv.connect() as extra:
            extra.sendall(kv.build_request("GET", "/small.html"))
            assert_no_data_within(extra, 1.0)
            held.pop(0).close()   # the worker sees the end of stream and accepts again
            data, _ = kv.read_until_closed(extra)
            assert data == kv.expected_response(200, "text/html", SMALL)
    finally:
        for sock in held:
            sock.close()


def test_clients_leaving_in_the_middle_of_a_big_file(services, docroot):
    services.start(["-docroot", docroot])
    for _ in range(3):
        with kv.connect() as sock:
            sock.sendall(kv.build_request("GET", "/big.bin"))
            received = b""
            while len(received) < 256 * 1024:
                chunk = sock.recv(1 << 16)
                assert chunk, "connection closed before 256 KiB arrived"
                received += chunk
            head, _ = kv.split_response(received)
            assert head == kv.response_head(200, "application/text", BIG_SIZE)
        # Closed with most of the 20 MB still unsent: the write fails, no SIGPIPE.
    for _ in range(3):
        with kv.connect() as sock:
            sock.sendall(kv.build_request("GET", "/big.bin"))
        # Closed before reading anything.
    assert kv.request("GET", "/small.html") == kv.expected_response(200, "text/html", SMALL)


def test_big_file_read_whole(services, docroot):
    services.start(["-docroot", docroot])
    with kv.connect(30) as sock:
        sock.sendall(kv.build_request("GET", "/big.bin"))
        data, how = kv.read_until_closed(sock, 60)
    assert how == "eof"
    head, body = kv.split_response(data)
    assert head == kv.response_head(200, "application/text", BIG_SIZE)
    assert len(body) == BIG_SIZE
    assert body.count(0) == BIG_SIZE


def test_slow_device_call_holds_other_connections(services, sandbox, docroot):
    """The device call runs on the one event loop: a request waits until a slow call ends."""
    service = services.start(["-v", "-docroot", docroot])
    with kv.connect() as slow:
        slow.sendall(kv.build_request("POST", kv.GATEWAY_PATH,
                                      body=soap.read_request(851, 0xFFFD0000 + 1500, 0, 3)))
        sandbox.wait_for(service.pid, "process_request: file: " + kv.GATEWAY_PATH)
        started = time.monotonic()
        data = kv.request("GET", "/small.html")
        waited = time.monotonic() - started
        reply, _ = kv.read_until_closed(slow)
    assert data == kv.expected_response(200, "text/html", SMALL)
    assert reply == kv.expected_response(200, "text/xml", soap.read_response("AAAA"))
    assert waited > 1.0


def test_file_truncated_while_it_is_being_sent(services, docroot):
    path = os.path.join(docroot, "shrinking.bin")
    with open(path, "wb") as f:
        f.write(bytes(range(256)) * (8 * 1024 * 1024 // 256))
    services.start(["-docroot", docroot])
    with kv.connect() as sock:
        sock.sendall(kv.build_request("GET", "/shrinking.bin"))
        received = sock.recv(1 << 16)
        assert received.startswith(kv.response_head(200, "application/text", 8 * 1024 * 1024))
        os.truncate(path, 1000)
        rest, _ = kv.read_until_closed(sock, 30)
    # However much arrived, the service ended the exchange and goes on serving.
    assert len(received) + len(rest) <= len(kv.response_head(200, "application/text",
                                                             8 * 1024 * 1024)) + 8 * 1024 * 1024
    assert kv.request("GET", "/shrinking.bin") == kv.expected_response(
        200, "application/text", (bytes(range(256)) * 4)[:1000])
    assert kv.request("GET", "/small.html") == kv.expected_response(200, "text/html", SMALL)
