"""Files from the document root. Faults caught: a target escaping the root, a query cut at the
wrong "?", a FIFO blocking the loop, a file not followed through a link, a byte misplaced around
the serializer/sendfile size boundary, a wrong or missing verbose line of a request."""

import os
import uuid

import pytest

import kvharness as kv

SIZES = [4096, 4097, 100 * 1024 + 7]
FILES = {"index.html": "<html>index</html>", "a?b": "named a?b", "sub/inner.txt": "inner",
         **{f"s{n}.bin": bytes((i * 131 + (i >> 8) * 7) & 0xFF for i in range(n)) for n in SIZES}}
TYPES = {"html": "text/html", "txt": "text/plain"}


@pytest.fixture(scope="module")
def root(module_workdir):
    root = kv.make_tree(os.path.join(module_workdir, "root"), FILES)
    kv.make_tree(module_workdir, {"outside.txt": "outside"})
    os.symlink(os.path.join(module_workdir, "outside.txt"), os.path.join(root, "linked.txt"))
    os.mkfifo(os.path.join(root, "pipe.txt"))
    return root


@pytest.fixture(scope="module")
def service(module_services, root):
    return module_services(["-v", "-docroot", root])


def expected_file(name):
    content = FILES.get(name, "outside")
    return kv.response(200, TYPES.get(name.rpartition(".")[2], "application/text"), content)


@pytest.mark.parametrize("method, target, name", [
    ("GET", "/index.html?v=1", "index.html"), ("POST", "//sub//inner.txt", "sub/inner.txt"),
    ("GET", "/a?b?c.css", "a?b"), ("GET", "/linked.txt", "linked.txt"),
    *[("GET", f"/s{n}.bin?n", f"s{n}.bin") for n in SIZES],
    *[("GET", t, None) for t in ("/", "/?x", "index.html", "/a/../index.html", "/..", "/sub",
                                 "/index.html/", "/pipe.txt", "/INDEX.HTML", "/" + "n" * 3000)],
])
def test_files(service, method, target, name):
    data = kv.exchange(kv.req(method, target, "f=v" if method == "POST" else ""))
    assert data == (expected_file(name) if name else kv.response(404, "text/plain", kv.NOT_FOUND))


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
    expected = [f"process_request: root: {root}", f"process_request: file: {target}",
                f"process_request: full: {root}{target}"]
    if failure:
        expected.append(f"send_file: file_open: {root}/{failure.format(unique)}")
    assert syslog.request_lines(service.pid, target) == expected
