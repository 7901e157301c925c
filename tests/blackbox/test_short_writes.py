"""Every send cut short, EAGAIN now and then, the smallest send buffer, and sendfile refused or
not: the service preloaded with tests/blackbox/short_io_shim.c, as FreeBSD's 8 KiB send space
makes it on nearly every response. Faults caught: a byte lost, repeated or misplaced when a
send takes part of a piece or none, a wrong Content-Length; a refused sendfile leaving a header
without a body; a response head freed while it is still being sent (one cached file reached under
two media types); content changed through a shared mapping served stale for good.

The document root's own name holds a "?": a target without a query names the file "dr" beside it,
the files inside are reached with a query (the path is cut at its last "?")."""

import mmap
import os
import time
import uuid

import pytest

import kvharness as kv

SHORT = dict(send_bytes=7, sendfile_bytes=5000, eagain_every=5, sndbuf=1)
MODES = {"short sends": SHORT, "sendfile refused": dict(SHORT, sendfile_einval=1)}
OUTSIDE = "<p>the file beside the root</p>" * 50
CACHED = "<html>cached</html>" * 100
LARGE = bytes((i * 131 + (i >> 8) * 7) & 0xFF for i in range(100 * 1024 + 7))   # over the cache's limit
SHARED = b"firstA" * 1000
mapped = {}   # "shared.txt" mapped shared and writable, for the module's life


@pytest.fixture(scope="module")
def root(module_workdir):
    kv.make_tree(module_workdir, {"dr": OUTSIDE})
    root = kv.make_tree(os.path.join(module_workdir, "dr?x"),
                        {"cached.html": CACHED, "large.bin": LARGE, "shared.txt": b"-" * len(SHARED)})
    # The first write through a mapping stamps the file's times; later ones, while its pages
    # stay dirty (on tmpfs: always), leave them alone.
    with open(os.path.join(root, "shared.txt"), "r+b") as file:
        mapped["shared.txt"] = mmap.mmap(file.fileno(), 0)
    mapped["shared.txt"][:] = SHARED
    # The service keeps a file once it has been still for three seconds.
    newest = max(os.stat(os.path.join(root, name)).st_ctime for name in os.listdir(root))
    kv.await_condition(lambda: time.time() > newest + 3.5, "the files to be kept", 10)
    yield root
    mapped.pop("shared.txt").close()


@pytest.fixture(scope="module", params=list(MODES))
def service(request, syslog, root):
    service = kv.Service(os.environ["KV_SERVER"], ["-v", "-docroot", root],
                         env=kv.shim_environment(**MODES[request.param])).wait_ready()
    yield service
    problems = service.problems()
    service.end()
    assert not problems, "\n".join(problems)


def document(raw):
    """The body of the answer, whose head must be exact for a 200 of its length."""
    data = kv.exchange(raw, 30)
    head, _, body = data.partition(b"\r\n\r\n")
    content_type = "text/xml" if raw.startswith(b"POST") else "text/html"
    assert head + b"\r\n\r\n" == kv.head(200, content_type, len(body))
    return body


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
    assert b">10.20.30.40.1.1</td>" in document(kv.req("GET", kv.GW))
    read = kv.soap("Read", nPort=851, indexGroup=0x1000, indexOffset=0, cbLen=3)
    assert b"<ppData>AAAA</ppData>" in document(kv.req("POST", kv.GW, read))


def test_head_in_flight_survives_the_same_file_under_another_type(service, syslog):
    with kv.connect(30) as first:
        first.sendall(kv.req("GET", "/a.html"))
        syslog.wait_line(service.pid, "process_request: file: /a.html")
        # The first answer now waits for its reader, its head not yet sent.
        assert kv.exchange(kv.req("GET", "/a.css"), 30) == kv.response(200, "text/css", OUTSIDE)
        assert kv.read_all(first, 30) == kv.response(200, "text/html", OUTSIDE)


def test_content_written_through_a_shared_mapping_is_seen_within_a_second(service, root):
    path = os.path.join(root, "shared.txt")
    old, new = SHARED, b"SECOND" * 1000
    if kv.exchange(kv.req("GET", "/shared.txt?q")) != kv.response(200, "text/plain", old):
        old, new = new, old   # the other mode's run wrote it
    assert kv.exchange(kv.req("GET", "/shared.txt?q")) == kv.response(200, "text/plain", old)
    before = os.stat(path)
    mapped["shared.txt"][:] = new
    assert (os.stat(path).st_mtime_ns, os.stat(path).st_ctime_ns) == (before.st_mtime_ns, before.st_ctime_ns)
    kv.await_condition(lambda: kv.exchange(kv.req("GET", "/shared.txt?q")) ==
                       kv.response(200, "text/plain", new), "the new bytes", 5)
