"""Static files from the document root: target checks, query cut, media types, log lines."""

import os

import pytest

import kvharness as kv

pytestmark = pytest.mark.usefixtures("healthy")

MEDIA_TYPES = [
    (".htm", "text/html"), (".html", "text/html"), (".php", "text/html"), (".css", "text/css"),
    (".txt", "text/plain"), (".js", "application/javascript"), (".json", "application/json"),
    (".xml", "application/xml"), (".wsdl", "application/wsdl+xml"),
    (".swf", "application/x-shockwave-flash"), (".flv", "video/x-flv"), (".png", "image/png"),
    (".jpe", "image/jpeg"), (".jpeg", "image/jpeg"), (".jpg", "image/jpeg"),
    (".gif", "image/gif"), (".bmp", "image/bmp"), (".ico", "image/vnd.microsoft.icon"),
    (".tiff", "image/tiff"), (".tif", "image/tiff"), (".svg", "image/svg+xml"),
    (".svgz", "image/svg+xml"),
    # Anything else, also names that only look close to an entry.
    (".gz", "application/text"), (".htmlx", "application/text"), (".pn", "application/text"),
    (".", "application/text"),
]
UPPER_CASE = [("U.HTML", "text/html"), ("U.Css", "text/css"), ("U.JPEG", "image/jpeg"),
              ("U.SvgZ", "image/svg+xml"), ("LOGO.PNG", "image/png")]

FILES = {
    "index.html": "<html>index</html>",
    "page.html": "<html>page</html>",
    "a?b": "the file named a?b",
    "q.html?v=1": "the file named q.html?v=1",
    "archive.tar.gz": b"\x1f\x8b\x08\x00 not really compressed",
    "README": "read me",
    "%2e%2e": "a file named percent-2e twice",
    "dir.d/plain": "no dot in my own name",
    "sub/inner.txt": "inner text",
    "empty.txt": "",
    "bin.dat": bytes(range(256)) * 4,
}
# Sizes around the page size and beyond, with content that shows any misplaced byte.
SIZES = [4095, 4096, 4097, 65536, 100 * 1024 + 7, 3 * 1024 * 1024 + 1]
for _size in SIZES:
    FILES[f"size{_size}.bin"] = bytes((i * 131 + (i >> 8) * 7) & 0xFF for i in range(_size))
for _ext, _ in MEDIA_TYPES:
    FILES["m" + _ext] = f"body of m{_ext}"
for _name, _ in UPPER_CASE:
    FILES[_name] = f"body of {_name}"


OUTSIDE = "a file outside the document root"


@pytest.fixture(scope="module")
def docroot(module_workdir):
    root = kv.make_tree(os.path.join(module_workdir, "docroot"), FILES, dirs=["emptydir"])
    outside = kv.make_tree(module_workdir, {"outside.txt": OUTSIDE}) + "/outside.txt"
    os.symlink(outside, os.path.join(root, "linked.txt"))
    os.symlink(os.path.join(root, "sub"), os.path.join(root, "linkdir"))
    os.symlink(os.path.join(root, "nothing"), os.path.join(root, "dangling.txt"))
    os.mkfifo(os.path.join(root, "pipe.txt"))
    return root


@pytest.fixture(scope="module")
def service(module_services, docroot):
    return module_services.start(["-v", "-docroot", docroot])


def short_id(value):
    text = str(value)
    return text if len(text) <= 40 else f"{text[:16]}...[{len(text)} chars]"


def body_of(name):
    content = FILES[name]
    return content.encode() if isinstance(content, str) else content


@pytest.mark.parametrize("ext, media_type", MEDIA_TYPES + [(n, t) for n, t in UPPER_CASE],
                         ids=lambda v: repr(v))
def test_media_types(service, ext, media_type):
    name = ext if ext[:1] != "." else "m" + ext
    assert kv.request("GET", "/" + name) == kv.expected_response(200, media_type, body_of(name))


@pytest.mark.parametrize("target, name, media_type", [
    ("/index.html", "index.html", "text/html"),
    ("/page.html?v=2", "page.html", "text/html"),
    # Cut at the last "?"; earlier ones belong to the name, and so does a dot before them.
    ("/a?b?c.css", "a?b", "application/text"),
    ("/q.html?v=1?z=2.css", "q.html?v=1", "application/text"),
    ("/m.css?x=y.png", "m.css", "text/css"),
    ("/archive.tar.gz", "archive.tar.gz", "application/text"),
    ("/README", "README", "application/text"),
    ("/README?", "README", "application/text"),
    ("/dir.d/plain", "dir.d/plain", "application/text"),
    ("/%2e%2e", "%2e%2e", "application/text"),              # escapes are not decoded
    ("/sub/inner.txt", "sub/inner.txt", "text/plain"),
    ("//sub//inner.txt", "sub/inner.txt", "text/plain"),
    ("/empty.txt", "empty.txt", "text/plain"),
    ("/bin.dat", "bin.dat", "application/text"),
    ("/linkdir/inner.txt", "sub/inner.txt", "text/plain"),
] + [(f"/size{n}.bin?n={n}", f"size{n}.bin", "application/text") for n in SIZES], ids=short_id)
def test_files_served(service, target, name, media_type):
    kv.assert_response(kv.request("GET", target), 200, media_type, body_of(name))


def test_symlink_to_a_file_outside_is_followed(service):
    assert kv.request("GET", "/linked.txt") == kv.expected_response(200, "text/plain", OUTSIDE)


@pytest.mark.parametrize("target", [
    "/", "/?x=1", "/?", "index.html", "/a/../index.html", "/..", "/../docroot/index.html",
    "/page.html?p=..", "/index.html?..", "/sub/..", "/..%2findex.html", "/missing.html",
    "/index.html/", "/INDEX.HTML", "/sub", "/sub/", "/emptydir", "/emptydir/",
    "/a", "/a?b", "/page.html?v=2?w=3", "*", "/" + "n" * 3000, "/x/" * 1500,
    "/dangling.txt", "/pipe.txt", "/linkdir", "/linkdir/",
], ids=short_id)
def test_refused_or_missing(service, target):
    assert kv.request("GET", target) == kv.expected_response(404, "text/plain", kv.NOT_FOUND)


def test_post_to_a_file_is_served_like_get(service):
    assert kv.request("POST", "/page.html?x=1", body="field=value") == \
        kv.expected_response(200, "text/html", body_of("page.html"))
    assert kv.request("POST", "/nothing.html", body="field=value") == \
        kv.expected_response(404, "text/plain", kv.NOT_FOUND)


def routing_lines(root, target):
    return [f"process_request: root: {root}", f"process_request: file: {target}",
            f"process_request: full: {root}{target}"]


@pytest.mark.parametrize("method, target, open_failure", [
    ("GET", "/index.html", None),
    ("POST", "/page.html?v=1", None),
    ("GET", "/missing.html", "missing.html No such file or directory"),
    ("GET", "/missing.html?q=1", "missing.html No such file or directory"),
    ("GET", "/nodir/x.css", "nodir/x.css No such file or directory"),
    ("GET", "/" + "n" * 300, "n" * 300 + " File name too long"),
    ("GET", "/index.html/x", "index.html/x Not a directory"),
    ("GET", "/%s%n%x%%.txt", "%s%n%x%%.txt No such file or directory"),
    ("GET", "/a/../index.html", False),   # refused before any open: no send_file line
    ("GET", "/?x", False),
    ("GET", "index.html", False),
    ("PUT", "/index.html", False),
], ids=short_id)
def test_verbose_log_of_a_request(service, sandbox, docroot, method, target, open_failure):
    before = len(sandbox.lines(service.pid))
    kv.request(method, target, body="b" if method != "GET" else "")
    sandbox.barrier()
    expected = routing_lines(docroot, target)
    if open_failure:
        expected.append(f"send_file: file_open: {docroot}/{open_failure}")
    entries = sandbox.entries_for(service.pid)[before:]
    assert [e.text for e in entries] == expected
    assert all((e.facility, e.severity) == (kv.LOG_LOCAL0, kv.LOG_NOTICE) for e in entries)


def test_gateway_requests_log_routing_lines(service, sandbox, docroot):
    before = len(sandbox.lines(service.pid))
    kv.request("GET", kv.GATEWAY_PATH + "?wsdl")
    sandbox.barrier()
    assert sandbox.lines(service.pid)[before:] == routing_lines(docroot,
                                                                kv.GATEWAY_PATH + "?wsdl")
