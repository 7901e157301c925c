"""The wire and the files of the document root, on one verbose service. Faults caught: a wrong
status line or header field, a keep-alive honoured, a second request answered, a limit not
enforced or a request cut instead of dropped, an arena overrun or a worker lost after it, a body
read only up to the read buffer, a chunked body lost; a target escaping the root, a query cut at
the wrong "?", a FIFO blocking the loop, a file not followed through a link, a byte misplaced
around the serializer/sendfile size boundary, a wrong or missing verbose line of a request, over
64 large files held open or one kept open by its response."""

import base64
import contextlib
import os
import re
import time
import uuid

import pytest

import kvharness as kv

INDEX = "<html>index</html>"
SHORT_PAGE = ("<html>\n<head><title>KV/BSD Ixo Webserver</title></head>\n<body>\n"
              "KV/BSD Ixo Webserver\n</body>\n</html>\n")
SIZES = [4096, 4097, 100 * 1024 + 7]
FILES = {"index.html": INDEX, "a?b": "named a?b", "sub/inner.txt": "inner",
         **{f"s{n}.bin": bytes((i * 131 + (i >> 8) * 7) & 0xFF for i in range(n)) for n in SIZES}}
TYPES = {"html": "text/html", "txt": "text/plain"}


@pytest.fixture(scope="module")
def root(module_workdir):
    root = kv.make_tree(os.path.join(module_workdir, "root"), FILES)
    kv.make_tree(module_workdir, {"outside.txt": "outside"})
    os.symlink(os.path.join(module_workdir, "outside.txt"), os.path.join(root, "linked.txt"))
    os.mkfifo(os.path.join(root, "pipe.txt"))
    return root


@pytest.fixture(scope="module", autouse=True)
def service(module_services, root):
    return module_services(["-v", "-docroot", root])


def read_answer(body):
    """The head must be exact; returns the body."""
    data = kv.exchange(kv.req("POST", kv.GW, body), 30)
    head, _, document = data.partition(b"\r\n\r\n")
    assert head + b"\r\n\r\n" == kv.head(200, "text/xml", len(document))
    return document.decode()


@pytest.mark.parametrize("raw, expected", [
    (kv.req("GET", "/index.html", version="1.0", headers=["Connection: keep-alive"]) + kv.req("GET", "/missing.html"),
     kv.response(200, "text/html", INDEX)),   # one request a connection, whatever it asks
    (kv.req("POST", "/x" + kv.GW.lower() + "?y"), kv.response(200, "text/html", SHORT_PAGE)),
])
def test_routes_answer_exactly(raw, expected):
    assert kv.exchange(raw) == expected


@pytest.mark.parametrize("raw", [
    kv.req("GET", "/index.html", headers=["X: " + "a" * 8200]),
    kv.req("GET", "/index.html", headers=[f"X-{i}: {'b' * 60}" for i in range(150)]),
    b"GET /index.html FTP/1.1\r\n\r\n",
    b"GET /index.html HTTP/1.1\r\nBad Header Line\r\n\r\n",
    kv.req("POST", kv.GW, b"x" * (1048576 + 1)),
])
def test_over_the_limits_or_malformed_is_dropped_without_a_byte(raw):
    assert kv.exchange(raw, 30) == b""
    assert kv.exchange(kv.req("GET", "/index.html")) == kv.response(200, "text/html", INDEX)


def test_body_of_exactly_1_mib_and_bodies_over_many_reads_reach_the_gateway():
    assert "Well-formedness constraint violation" in read_answer(b"x" * 1048576)
    data = bytes((i * 7 + 3) & 0xFF for i in range(60000))
    text = base64.b64encode(data).decode()
    at = dict(nPort=851, indexGroup=0x1001, indexOffset=100)
    assert "WriteResponse" in read_answer(kv.soap("Write", **at, pData=text))
    assert f"<ppData>{text}</ppData>" in read_answer(kv.soap("Read", **at, cbLen=60000))
    body = kv.soap("Read", **at, cbLen=3).encode()
    chunked = b"".join(b"%x\r\n%s\r\n" % (len(p), p) for p in (body[:10], body[10:])) + b"0\r\n\r\n"
    raw = b"POST %s HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n" % kv.GW.encode() + chunked
    assert re.search(rb"<ppData>" + re.escape(text[:4].encode()) + rb"</ppData>", kv.exchange(raw))


def test_field_arena_exhaustion_drops_only_that_request():
    with kv.connect() as bystander:   # held by another worker meanwhile
        outcomes = []
        for fields in range(100, 140, 2):
            data = kv.exchange(kv.req("GET", "/index.html", headers=["a:"] * fields))
            assert data in (b"", kv.response(200, "text/html", INDEX)), "answered whole or dropped"
            outcomes.append(data == b"")
        assert outcomes[0] is False and outcomes[-1] is True and outcomes == sorted(outcomes)
        bystander.sendall(kv.req("GET", "/index.html"))
        assert kv.read_all(bystander) == kv.response(200, "text/html", INDEX)


@pytest.mark.parametrize("method, target, name", [
    ("GET", "/index.html?v=1", "index.html"), ("POST", "//sub//inner.txt", "sub/inner.txt"),
    ("GET", "/a?b?c.css", "a?b"), ("GET", "/linked.txt", "linked.txt"),
    *[("GET", f"/s{n}.bin?n", f"s{n}.bin") for n in SIZES],
    *[("GET", t, None) for t in ("/", "/?x", "index.html", "/a/../index.html", "/..", "/sub",
                                 "/index.html/", "/pipe.txt", "/INDEX.HTML", "/" + "n" * 3000)],
])
def test_files(service, method, target, name):
    data = kv.exchange(kv.req(method, target, "f=v" if method == "POST" else ""))
    content_type = TYPES.get((name or "").rpartition(".")[2], "application/text")
    assert data == (kv.response(200, content_type, FILES.get(name, "outside")) if name
                    else kv.response(404, "text/plain", kv.NOT_FOUND))


@pytest.mark.parametrize("method, target, failure", [
    ("GET", "/index.html?{}", None),
    ("GET", "/{}.html?q", "{}.html No such file or directory"),
    ("GET", "/index.html/{}", "index.html/{} Not a directory"),
    ("GET", "/%s%n{}", "%s%n{} No such file or directory"),
    ("GET", "/../{}", False),
    ("PUT", "/{}", False),
])
def test_verbose_lines_of_a_request(service, syslog, root, method, target, failure):
    unique = uuid.uuid4().hex   # ties the lines to this request
    target = target.format(unique)
    kv.exchange(kv.req(method, target, "b" if method != "GET" else ""))
    expected = [f"process_request: root: {root}", f"process_request: file: {target}", f"process_request: full: {root}{target}"]
    if failure:
        expected.append(f"send_file: file_open: {root}/{failure.format(unique)}")
    assert syslog.request_lines(service.pid, target) == expected


def test_large_files_held_open_are_bounded_and_let_go_by_every_response(service, root):
    """Changes to a held file are seen by the file cache's unit tests; here no response keeps its file open."""
    large = FILES[f"s{SIZES[-1]}.bin"]
    names = [f"{root}/held/m{i}.bin" for i in range(64 + 6)]   # the service holds 64 at most
    kv.make_tree("/", dict.fromkeys(names, large))
    newest = os.stat(names[-1]).st_ctime
    kv.await_condition(lambda: time.time() > newest + 3.5, "the files to be still for 3 s (held open)", 10)
    for name in names:
        assert kv.exchange(kv.req("GET", name[len(root):]), 30) == kv.response(200, "application/text", large)
    fds = f"/proc/{service.pid}/fd"
    held = []
    for fd in os.listdir(fds):
        with contextlib.suppress(FileNotFoundError):   # the last connection's socket, closed meanwhile
            held.append(os.readlink(f"{fds}/{fd}"))
    assert sorted(name for name in held if name.startswith(root + "/")) == sorted(names[-64:])
