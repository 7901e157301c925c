"""The nginx front, the WSDL and the example SOAP clients driven by it; FreeBSD's rc.d script.
Faults caught in the front: a SOAP call that a page of another site can send (any Content-Type
but text/xml, or a target that holds the gateway path only in other letters or in its query)
reaching the device, a preflight approved, a hardening example that fails once enabled."""

import base64
import http.client
import os
import pathlib
import re
import ssl
import subprocess
import sys
import urllib.parse
import xml.etree.ElementTree as ET

import pytest

import kvharness as kv
from conftest import enable, free_port, start_front

EXAMPLES = os.path.join(kv.REPO, "examples")
CLIENTS = {"suds": [sys.executable, os.path.join(EXAMPLES, "python", "kvixo_client.py")],
           "soap-npm": ["node", os.path.join(EXAMPLES, "js", "kvixo_client.mjs")]}


WSDL_NS = "{http://schemas.xmlsoap.org/wsdl/}"
# Every parameter the gateway reads or answers, by the type a toolkit must send it as.
PART_TYPES = {name: kind for kind, names in {
    "xsd:string": "netId", "xsd:base64Binary": "pData pwrData ppData ppRdData",
    "xsd:unsignedShort": "nPort ixoState deviceState pIxoState pDeviceState",
    "xsd:unsignedInt": "indexGroup indexOffset cbLen cbRdLen"}.items() for name in names.split()}


def test_wsdl_is_served_and_declares_every_parameter_with_its_width(front):
    status, headers, body = front.request("GET", "/KvIxoWebService.wsdl")
    assert (status, headers["Content-Type"]) == (200, "application/wsdl+xml")
    wsdl = ET.fromstring(body)
    address = wsdl.find(".//{http://schemas.xmlsoap.org/wsdl/soap/}address")
    assert address.get("location") == "http://localhost" + kv.GW
    parts = {(part.get("name"), part.get("type")) for part in wsdl.iter(WSDL_NS + "part")}
    # The same name has the same type in every message; the fault's detail is an element.
    assert parts == set(PART_TYPES.items()) | {("errorcode", None)}


def test_bare_address_shows_the_start_page_and_the_information_page_its_stylesheet(front):
    docroot = pathlib.Path(kv.REPO, "docroot")
    assert front.request("GET", "/")[::2] == (200, (docroot / "index.html").read_bytes())
    page = front.request("GET", kv.GW)[2]
    stylesheet = re.search(rb'<link rel="stylesheet"[^>]* href="([^"]+)"', page)[1].decode()
    status, headers, body = front.request("GET", urllib.parse.urljoin(kv.GW, stylesheet))
    assert (status, headers["Content-Type"], body) == (200, "text/css", (docroot / "Korvel.css").read_bytes())


def test_front_refuses_bodies_the_service_would_drop(front):
    assert front.request("POST", kv.GW, b"x" * (1024 * 1024 + 1), {"Content-Type": "text/xml"})[0] == 413


# A Write of "ABC" to a device port no other test uses, and what the device holds there.
DEVICE = {"nPort": 854, "indexGroup": 4096, "indexOffset": 0}
WRITE_ABC = kv.soap("Write", **DEVICE, pData="QUJD")


def device_bytes(front):
    body = front.request("POST", kv.GW, kv.soap("Read", **DEVICE, cbLen=3), {"Content-Type": "text/xml"})[2]
    return re.search(r"<ppData>(.*)</ppData>", body.decode())[1]


# What a page of any site can make a browser send without a preflight, to targets the service
# takes for the gateway; and types that are not text/xml though they look alike.
CROSS_SITE = [("text/plain", kv.GW), ("application/x-www-form-urlencoded", kv.GW),
              ("multipart/form-data; boundary=x", kv.GW), (None, kv.GW), ("text/plain", kv.GW.lower()),
              ("text/plain", "/index.html?x=" + kv.GW), ("text/plain", "/a" + kv.GW.upper() + "?b=1"),
              ("text/xmlx", kv.GW), ("application/soap+xml", kv.GW), ("text/plain; x=text/xml", kv.GW)]


def test_front_refuses_soap_calls_a_page_of_another_site_can_send(front):
    before = device_bytes(front)
    assert before != "QUJD"
    for content_type, target in CROSS_SITE:
        headers = {"Content-Type": content_type} if content_type else {}
        assert front.request("POST", target, WRITE_ABC, headers)[0] == 415, (content_type, target)
    assert device_bytes(front) == before, "a refused call reached the device"

    preflight = {"Origin": "http://elsewhere.example", "Access-Control-Request-Method": "POST",
                 "Access-Control-Request-Headers": "content-type"}
    status, headers, _ = front.request("OPTIONS", kv.GW, headers=preflight)
    assert status == 400 and not [name for name in headers if name.lower().startswith("access-control-")]

    for content_type in ("text/xml", "text/xml; charset=utf-8", "Text/XML ;charset=UTF-8"):
        status, _, body = front.request("POST", kv.GW, WRITE_ABC, {"Content-Type": content_type})
        assert status == 200 and b"WriteResponse" in body, (content_type, body)
    assert device_bytes(front) == "QUJD"


def test_plant_network_example_refuses_other_addresses(front, services):
    fenced = start_front(services, lambda site, directory: enable(site, allow=None, deny=None))
    assert fenced.request("GET", "/index.html")[0] == 403


def test_password_example_asks_for_the_password_made_by_openssl(front, services):
    def with_password(site, directory):
        hashed = subprocess.run(["openssl", "passwd", "-apr1", "secret"], capture_output=True, text=True, check=True)
        pathlib.Path(directory, "htpasswd").write_text(f"operator:{hashed.stdout.strip()}\n")
        os.chmod(directory, 0o755)   # nginx's workers read the file on each request
        return enable(site, auth_basic=None, auth_basic_user_file=directory + "/htpasswd")
    guarded = start_front(services, with_password)
    status, headers, _ = guarded.request("GET", "/index.html")
    assert (status, headers["WWW-Authenticate"]) == (401, 'Basic realm="Ixo web service"')
    credentials = {"Authorization": "Basic " + base64.b64encode(b"operator:secret").decode()}
    assert guarded.request("GET", "/index.html", headers=credentials)[0] == 200


def test_https_example_serves_with_its_certificate_and_refuses_the_same(front, services):
    tls_port = free_port()

    def with_https(site, directory):
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                        "-nodes", "-days", "1", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                        "-keyout", directory + "/key.pem", "-out", directory + "/cert.pem"],
                       capture_output=True, check=True)
        return enable(site, listen=f"127.0.0.1:{tls_port} ssl", ssl_certificate=directory + "/cert.pem",
                      ssl_certificate_key=directory + "/key.pem")
    secure = start_front(services, with_https)
    context = ssl.create_default_context(cafile=secure.dir + "/cert.pem")
    tls = lambda: http.client.HTTPSConnection("127.0.0.1", tls_port, context=context, timeout=10)  # noqa: E731
    status, _, body = secure.request("GET", kv.GW, connection=tls())
    assert status == 200 and b"Net Id" in body
    assert secure.request("POST", kv.GW, WRITE_ABC, {"Content-Type": "text/plain"}, connection=tls())[0] == 415


# Each client gets its own device port, so that both start from the device's initial state.
@pytest.mark.parametrize("client,port", [("suds", 851), ("soap-npm", 852)])
def test_client_runs_every_operation_and_sees_the_device_error(front, client, port):
    run = subprocess.run(CLIENTS[client] + ["--wsdl", front.base + "/KvIxoWebService.wsdl", "--endpoint",
                                            front.base + kv.GW, "--port", str(port), "--fail-group",
                                            str(kv.DEVICE_ERROR_GROUP)], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == ["Read: KvIxo", "ReadWrite: ABC", "ReadState: 1 0", "ReadState after WriteControl: 6 3",
                                       f"Device error: {kv.DEVICE_ERROR} An IXO Error has occurred."]


# A stand-in for FreeBSD's /etc/rc.subr: prints what the script hands to rc.subr and the
# command line as rc.subr evaluates it, one argument a line.
RC_SUBR = r"""
load_rc_config() { :; }
err() { shift; echo "ERROR: $*" >&2; exit 1; }
run_rc_command() {
    echo "$procname $pidfile $required_files $start_precmd"
    eval "set -- $command $command_args"
    printf '%s\n' "$@"
}
"""


def test_freebsd_rc_script_supervises_the_service_as_its_user_with_the_docroot_as_one_argument(tmp_path):
    script = pathlib.Path(kv.REPO, "deploy", "freebsd", "kvixowebservice")
    assert os.access(script, os.X_OK)
    (tmp_path / "rc.subr").write_text(RC_SUBR)
    (tmp_path / "rc").write_text(script.read_text().replace(". /etc/rc.subr", ". ./rc.subr", 1))
    run = subprocess.run(["sh", "rc", "start"], cwd=tmp_path, capture_output=True, text=True, env={
        "PATH": os.environ["PATH"], "kvixowebservice_docroot": "/srv/web root", "kvixowebservice_args": "-v"})
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == [
        "/usr/sbin/daemon /var/run/kvixowebservice.pid /usr/local/sbin/IxoWebServerBSD kvixowebservice_prestart",
        "/usr/sbin/daemon", "-S", "-T", "kvixowebservice", "-R", "2", "-P", "/var/run/kvixowebservice.pid",
        "-p", "/var/run/kvixowebservice.child.pid", "-u", "kvixowebservice",
        "/usr/local/sbin/IxoWebServerBSD", "-docroot", "/srv/web root", "-v"]
