"""The 60-second deadline of a connection (a slow test of its own)."""

import os
import time

import kvharness as kv

SMALL = "<html>small</html>"


def test_silent_client_is_cut_after_60_seconds(services, workdir):
    docroot = kv.make_tree(os.path.join(workdir, "docroot"), {"small.html": SMALL})
    services.start(["-docroot", docroot])
    with kv.connect() as silent, kv.connect() as partial:
        started = time.monotonic()
        partial.sendall(b"GET /small.html HTTP/1.1\r\nHost: x\r\n")   # never finished
        # Meanwhile other connections are served as usual.
        assert kv.request("GET", "/small.html") == kv.expected_response(200, "text/html", SMALL)
        data, _ = kv.read_until_closed(silent, timeout=90)
        elapsed = time.monotonic() - started
        assert data == b""
        assert 59.0 <= elapsed <= 70.0, f"closed after {elapsed:.1f} s"
        data, _ = kv.read_until_closed(partial, timeout=15)
        assert data == b""
        assert time.monotonic() - started <= 70.0
    assert kv.request("GET", "/small.html") == kv.expected_response(200, "text/html", SMALL)
