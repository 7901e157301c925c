"""The front-end tests run on the black-box harness (tests/blackbox/kvharness.py): its private
/run and /dev/log, its service runs; here nginx is added, from deploy/nginx/kvixowebservice.conf
moved to a free port on 127.0.0.1."""

import os
import pathlib
import re
import socket
import sys
import tempfile
import urllib.request

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "blackbox"))
pytest.register_assert_rewrite("kvharness")
import kvharness as kv  # noqa: E402

pytest_plugins = ["kvharness"]


def nginx_conf(tmp, port):
    """The deployed server block in a main configuration, workers nobody:www; every file it writes stays in tmp."""
    site = pathlib.Path(kv.REPO, "deploy", "nginx", "kvixowebservice.conf").read_text()
    site, count = re.subn(r"(?m)^(\s*)listen\s+[^;]+;", rf"\g<1>listen 127.0.0.1:{port};", site)
    assert count == 1 and kv.SOCKET_PATH in site
    temps = "".join(f"{kind}_temp_path {tmp}/{kind};\n"
                    for kind in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
    path = pathlib.Path(tmp, "nginx.conf")
    path.write_text(f"daemon off;\nuser nobody www;\nworker_processes 1;\npid {tmp}/nginx.pid;\n"
                    f"error_log {tmp}/error.log warn;\nevents {{ worker_connections 64; }}\n"
                    f"http {{\naccess_log off;\n{temps}{site}\n}}\n")
    return str(path)


class Front:
    """Where the front listens (base) and its directory on the private /run (dir)."""

    def __init__(self, directory, port):
        self.dir, self.base = directory, f"http://127.0.0.1:{port}"

    def get(self, path):
        with urllib.request.urlopen(self.base + path, timeout=10) as answer:
            return answer.status, answer.headers, answer.read()


@pytest.fixture(scope="module")
def front(module_services):
    """The service on the bundled document root and nginx before it, fresh for each test file."""
    module_services(["-docroot", os.path.join(kv.REPO, "docroot")])
    directory = tempfile.mkdtemp(prefix="kvfront-", dir="/run")
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    nginx = module_services(["-p", directory, "-e", directory + "/error.log", "-c", nginx_conf(directory, port)],
                            ready=False, binary="/usr/sbin/nginx")

    def listening():
        assert nginx.proc.poll() is None, nginx.output()
        with socket.socket() as s:
            return s.connect_ex(("127.0.0.1", port)) == 0
    kv.await_condition(listening, "nginx on 127.0.0.1", 20)
    return Front(directory, port)
