"""Sends cut short, EAGAIN now and then (as FreeBSD's 8 KiB send space makes them), sendfile refused or
not: short_io_shim.c preloaded. Faults caught: bytes lost, repeated or misplaced, a wrong length, a header
without its body, a head changed or freed while sent, a shared mapping's change served stale for good, a
file held open read at the descriptor's own position by responses in flight at once."""

import mmap
import os
import time
import uuid

import pytest

import kvharness as kv

SHORT = dict(send_bytes=7, eagain_every=5)
MODES = {"short sends": SHORT, "sendfile refused": dict(SHORT, sendfile_einval=1)}
OUTSIDE = "<p>the file beside the root</p>" * 50
CACHED = "<html>cached</html>" * 100
LARGE = bytes((i * 131 + (i >> 8) * 7) & 0xFF for i in range(100 * 1024 + 7))   # over the cache's limit
mapped = {}   # "shared.txt" mapped shared and writable, for the module's life


@pytest.fixture(scope="module")
def root(module_workdir):
    kv.make_tree(module_workdir, {"dr": OUTSIDE})   # the root's name holds a "?": "/a.css" names "dr"
    root = kv.make_tree(os.path.join(module_workdir, "dr?x"),
                        {"cached.html": CACHED, "large.bin": LARGE, "shared.txt": b"-" * 3200})
    with open(os.path.join(root, "shared.txt"), "r+b") as file:   # the first write through the mapping
        mapped["shared.txt"] = mmap.mmap(file.fileno(), 0)          # stamps the times, later ones (pages
    mapped["shared.txt"][:1] = b"f"                                  # dirty: on tmpfs always) do not
    newest = max(os.stat(os.path.join(root, name)).st_ctime for name in os.listdir(root))
    kv.await_condition(lambda: time.time() > newest + 3.5, "the files to be still for 3 s (kept)", 10)
    yield root
    mapped.pop("shared.txt").close()


@pytest.fixture(scope="module", params=list(MODES))
def service(request, module_services, root):
    running = module_services(["-v", "-docroot", root], env=kv.shim_environment(**MODES[request.param]))
    yield running
    running.end()   # the next mode's service serves the same socket path


def test_every_kind_of_answer_comes_out_whole(service, root):
    young = f"young{uuid.uuid4().hex}.txt"
    kv.make_tree(root, {young: "just written"})
    cases = [
        (kv.req("GET", "/cached.html?q"), kv.response(200, "text/html", CACHED)),
        (kv.req("GET", f"/{young}?q"), kv.response(200, "text/plain", "just written")),
        (kv.req("GET", "/large.bin?q"), kv.response(200, "application/text", LARGE)),
        (kv.req("GET", "/missing.html?q"), kv.response(404, "text/plain", kv.NOT_FOUND)),
        (kv.req("PUT", "/cached.html", "x"), kv.response(400, "text/plain", "Invalid request-method 'PUT'\r\n")),
    ]
    for raw, expected in cases * 2:   # the second time from memory where kept
        assert kv.exchange(raw, 30) == expected
    read = kv.soap("Read", nPort=851, indexGroup=0x1000, indexOffset=0, cbLen=3) + "\0<junk"   # the document ends at NUL
    for raw, content_type, mark in [(kv.req("GET", kv.GW), "text/html", b">10.20.30.40.1.1</td>"),
                                    (kv.req("POST", kv.GW, read), "text/xml", b"<ppData>AAAA</ppData>")]:
        head, _, body = kv.exchange(raw, 30).partition(b"\r\n\r\n")
        assert head + b"\r\n\r\n" == kv.head(200, content_type, len(body)) and mark in body


def test_large_file_held_open_comes_out_whole_to_readers_at_once(service):
    readers = [kv.connect(30) for _ in range(3)]   # all in flight on the same descriptor at once
    for reader in readers:
        reader.sendall(kv.req("GET", "/large.bin?q"))
    for reader in readers:
        with reader:
            assert kv.read_all(reader, 30) == kv.response(200, "application/text", LARGE)


def test_head_in_flight_survives_the_same_file_under_another_type(service, syslog):
    with kv.connect(30) as first:
        first.sendall(kv.req("GET", "/a.html"))
        syslog.wait_line(service.pid, "process_request: file: /a.html")
        # The first answer now waits for its reader (EAGAIN while bytes are unread), its head unsent.
        assert kv.exchange(kv.req("GET", "/a.css"), 30) == kv.response(200, "text/css", OUTSIDE)
        assert kv.read_all(first, 30) == kv.response(200, "text/html", OUTSIDE)


def test_content_written_through_a_shared_mapping_is_seen_within_a_second(service, root):
    path, new = os.path.join(root, "shared.txt"), uuid.uuid4().hex.encode() * 100
    assert kv.exchange(kv.req("GET", "/shared.txt?q")).startswith(kv.head(200, "text/plain", len(new)))
    before = os.stat(path)
    mapped["shared.txt"][:] = new
    assert (os.stat(path).st_mtime_ns, os.stat(path).st_ctime_ns) == (before.st_mtime_ns, before.st_ctime_ns)
    kv.await_condition(lambda: kv.exchange(kv.req("GET", "/shared.txt?q")) ==
                       kv.response(200, "text/plain", new), "the new bytes", 5)
