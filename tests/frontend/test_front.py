"""The nginx front, the WSDL and the example SOAP clients driven by it; the service files of
deploy/, each starting the service with an explicit document root."""

import os
import pathlib
import re
import shutil
import subprocess
import sys
import urllib.error
import urllib.parse
import urllib.request
import xml.etree.ElementTree as ET

import pytest

import kvharness as kv

EXAMPLES = os.path.join(kv.REPO, "examples")
DEPLOY = os.path.join(kv.REPO, "deploy")
CLIENTS = {"suds": [sys.executable, os.path.join(EXAMPLES, "python", "kvixo_client.py")],
           "soap-npm": ["node", os.path.join(EXAMPLES, "js", "kvixo_client.mjs")]}


WSDL_NS = "{http://schemas.xmlsoap.org/wsdl/}"
# Every parameter the gateway reads or answers, by the type a toolkit must send it as.
PART_TYPES = {name: kind for kind, names in {
    "xsd:string": "netId", "xsd:base64Binary": "pData pwrData ppData ppRdData",
    "xsd:unsignedShort": "nPort ixoState deviceState pIxoState pDeviceState",
    "xsd:unsignedInt": "indexGroup indexOffset cbLen cbRdLen"}.items() for name in names.split()}


def test_wsdl_is_served_and_declares_every_parameter_with_its_width(front):
    status, headers, body = front.get("/KvIxoWebService.wsdl")
    assert (status, headers["Content-Type"]) == (200, "application/wsdl+xml")
    wsdl = ET.fromstring(body)
    address = wsdl.find(".//{http://schemas.xmlsoap.org/wsdl/soap/}address")
    assert address.get("location") == "http://localhost" + kv.GW
    parts = {(part.get("name"), part.get("type")) for part in wsdl.iter(WSDL_NS + "part")}
    # The same name has the same type in every message; the fault's detail is an element.
    assert parts == set(PART_TYPES.items()) | {("errorcode", None)}


def test_bare_address_shows_the_start_page_and_the_information_page_its_stylesheet(front):
    docroot = pathlib.Path(kv.REPO, "docroot")
    assert front.get("/")[::2] == (200, (docroot / "index.html").read_bytes())
    status, _, page = front.get(kv.GW)
    stylesheet = re.search(rb'<link rel="stylesheet"[^>]* href="([^"]+)"', page)[1].decode()
    status, headers, body = front.get(urllib.parse.urljoin(kv.GW, stylesheet))
    assert (status, headers["Content-Type"], body) == (200, "text/css", (docroot / "Korvel.css").read_bytes())


def test_front_refuses_bodies_the_service_would_drop(front):
    request = urllib.request.Request(front.base + kv.GW, data=b"x" * (1024 * 1024 + 1), method="POST")
    with pytest.raises(urllib.error.HTTPError) as refused:
        urllib.request.urlopen(request, timeout=10)
    assert refused.value.code == 413


# Each client gets its own device port, so that both start from the device's initial state.
@pytest.mark.parametrize("client,port", [("suds", 851), ("soap-npm", 852)])
def test_client_runs_every_operation_and_sees_the_device_error(front, client, port):
    run = subprocess.run(CLIENTS[client] + ["--wsdl", front.base + "/KvIxoWebService.wsdl", "--endpoint",
                                            front.base + kv.GW, "--port", str(port), "--fail-group",
                                            str(kv.DEVICE_ERROR_GROUP)], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == ["Read: KvIxo", "ReadWrite: ABC", "ReadState: 1 0", "ReadState after WriteControl: 6 3",
                                       f"Device error: {kv.DEVICE_ERROR} An IXO Error has occurred."]


@pytest.mark.skipif(shutil.which("systemd-analyze") is None, reason="no systemd-analyze")
def test_systemd_unit_verifies_with_the_built_binary(workdir):
    unit = pathlib.Path(DEPLOY, "systemd", "kvixowebservice.service").read_text()
    command = re.search(r"(?m)^ExecStart=(\S+) -docroot (\S+)$", unit)
    assert command, "ExecStart must name the document root"
    path = os.path.join(workdir, "kvixowebservice.service")
    pathlib.Path(path).write_text(unit.replace(command[1], os.environ["KV_SERVER"])
                                  .replace(command[2], os.path.join(kv.REPO, "docroot")))
    run = subprocess.run(["systemd-analyze", "verify", "--man=no", path], capture_output=True, text=True)
    assert run.returncode == 0 and "kvixowebservice" not in run.stderr, run.stderr


def test_freebsd_rc_script_parses_and_starts_the_service_with_a_docroot():
    script = os.path.join(DEPLOY, "freebsd", "kvixowebservice")
    assert subprocess.run(["sh", "-n", script]).returncode == 0 and os.access(script, os.X_OK)
    assert re.search(r'(?m)^command_args=".*\$\{procname\} -docroot \$\{kvixowebservice_docroot\}',
                     pathlib.Path(script).read_text())
