"""The front-end tests run on the black-box harness (tests/blackbox/kvharness.py): its private
/run and /dev/log, its service runs; here nginx is added, from deploy/nginx/kvixowebservice.conf
moved to a free port on 127.0.0.1."""

import contextlib
import http.client
import os
import pathlib
import re
import socket
import sys
import tempfile

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "blackbox"))
pytest.register_assert_rewrite("kvharness")
import kvharness as kv  # noqa: E402

pytest_plugins = ["kvharness"]
SITE = pathlib.Path(kv.REPO, "deploy", "nginx", "kvixowebservice.conf")


def enable(site, **directives):
    """Uncomments the server block's example lines of each directive, with new arguments where given."""
    for name, arguments in directives.items():
        site, count = re.subn(rf"(?m)^(\s*)#{name}\s+([^;]*);",
                              lambda m: f"{m[1]}{name} {arguments or m[2]};", site)
        assert count, f"no example of {name}"
    return site


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Front:
    """Where the front listens (base) and its directory on the private /run (dir)."""

    def __init__(self, directory, port):
        self.dir, self.port, self.base = directory, port, f"http://127.0.0.1:{port}"

    def request(self, method, target, body=None, headers=None, connection=None):
        """One exchange with exactly the header fields given (and Content-Length); any status returns."""
        connection = connection or http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        with contextlib.closing(connection):
            connection.request(method, target, body, headers or {})
            answer = connection.getresponse()
            return answer.status, answer.headers, answer.read()


def start_front(start, edit=lambda site, directory: site):
    """nginx on a free port of 127.0.0.1 with the deployed server block, edit(site, its directory) applied,
    in a main configuration with workers nobody:www; every file it writes stays in its directory."""
    directory = tempfile.mkdtemp(prefix="kvfront-", dir="/run")
    port = free_port()
    site = edit(SITE.read_text(), directory)
    site, count = re.subn(r"(?m)^(\s*)listen\s+80;", rf"\g<1>listen 127.0.0.1:{port};", site)
    assert count == 1 and kv.SOCKET_PATH in site
    temps = "".join(f"{kind}_temp_path {directory}/{kind};\n"
                    for kind in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
    conf = pathlib.Path(directory, "nginx.conf")
    conf.write_text(f"daemon off;\nuser nobody www;\nworker_processes 1;\npid {directory}/nginx.pid;\n"
                    f"error_log {directory}/error.log warn;\nevents {{ worker_connections 64; }}\n"
                    f"http {{\naccess_log off;\n{temps}{site}\n}}\n")
    nginx = start(["-p", directory, "-e", directory + "/error.log", "-c", str(conf)], ready=False, binary="/usr/sbin/nginx")

    def listening():
        assert nginx.proc.poll() is None, nginx.output()
        with socket.socket() as s:
            return s.connect_ex(("127.0.0.1", port)) == 0
    kv.await_condition(listening, "nginx on 127.0.0.1", 20)
    return Front(directory, port)


@pytest.fixture(scope="module")
def front(module_services):
    """The service on the bundled document root and nginx before it, fresh for each test file;
    front.start_service() starts the service anew after front.service has been ended."""
    def start_service():
        front.service = module_services(["-docroot", os.path.join(kv.REPO, "docroot")])
    front = start_front(module_services)
    front.start_service = start_service
    start_service()
    return front
