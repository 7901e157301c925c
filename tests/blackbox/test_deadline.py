"""The 60-second deadline (a slow test of its own). Faults caught: a silent or half-sent
connection held for ever, or cut early, or other connections held up meanwhile."""

import time

import kvharness as kv


def test_silent_client_is_cut_after_60_seconds(services, workdir):
    kv.make_tree(workdir, {"small.html": "small"})
    services(["-docroot", workdir])
    with kv.connect() as silent, kv.connect() as partial:
        started = time.monotonic()
        partial.sendall(b"GET /small.html HTTP/1.1\r\nHost: x\r\n")   # never finished
        assert kv.exchange(kv.req("GET", "/small.html")) == kv.response(200, "text/html", "small")
        assert kv.read_all(silent, 90) == b""
        assert 59.0 <= time.monotonic() - started <= 70.0
        assert kv.read_all(partial, 15) == b""
