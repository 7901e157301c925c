"""The Debian packages as built (tests/packaging/build_packages.sh), unpacked, never installed:
the packaged service on the packaged library and document root, the packaged unit, and the
relations that let a controller's real Ixo library replace the simulated one."""

import glob
import grp
import os
import pathlib
import pwd
import re
import subprocess

import pytest

import kvharness as kv

PACKAGES = pathlib.Path(os.environ.get("KV_PACKAGES", os.path.join(kv.REPO, "build-packages")))
ROOT = PACKAGES / "root"
DOCROOT = ROOT / "usr/share/kvixowebservice/docroot"
UNIT = ROOT / "lib/systemd/system/kvixowebservice.service"

pytestmark = pytest.mark.skipif(not (ROOT / "usr/sbin/IxoWebServerBSD").exists(),
                                reason="no unpacked packages: run tests/packaging/build_packages.sh first")


def field(package, name):
    deb, = glob.glob(str(PACKAGES / f"{package}_*.deb"))
    return subprocess.run(["dpkg-deb", "-f", deb, name], capture_output=True, text=True, check=True).stdout.strip()


def test_packaged_service_answers_on_the_packaged_library_and_document_root(services, monkeypatch):
    library, = glob.glob(str(ROOT / "usr/lib/*/libKvIxoDll.so"))
    monkeypatch.setenv("LD_LIBRARY_PATH", os.path.dirname(library))
    # As the unit runs it: an unprivileged user with the group www, in a run directory made for
    # that user (systemd's RuntimeDirectory); "nobody" stands in for kvixowebservice here.
    user, www = pwd.getpwnam("nobody").pw_uid, grp.getgrnam("www").gr_gid
    os.mkdir(kv.RUN_DIR, 0o755)
    os.chown(kv.RUN_DIR, user, www)
    service = services(["--reuid", str(user), "--regid", str(www), "--clear-groups", "--no-new-privs", "--",
                        str(ROOT / "usr/sbin/IxoWebServerBSD"), "-docroot", str(DOCROOT)], binary="/usr/bin/setpriv")
    assert library in pathlib.Path(f"/proc/{service.pid}/maps").read_text()
    socket_file = os.stat(kv.SOCKET_PATH)
    assert (socket_file.st_uid, socket_file.st_gid, socket_file.st_mode & 0o777) == (user, www, 0o660)
    assert kv.exchange(kv.req("GET", "/index.html")) == kv.response(200, "text/html",
                                                                  (DOCROOT / "index.html").read_bytes())
    # The information page: the simulated device's net id, and its style sheet beside it.
    page = kv.exchange(kv.req("GET", kv.GW))
    assert page.startswith(b"HTTP/1.1 200 OK\r\n") and b"10.20.30.40.1.1" in page
    assert kv.exchange(kv.req("GET", "/KvIxoWebService/Korvel.css")).startswith(b"HTTP/1.1 200 OK\r\n")


def test_packaged_unit_verifies_and_its_sandbox_rates_at_most_2_5(workdir):
    unit = UNIT.read_text()
    assert re.search(r"(?m)^User=kvixowebservice$", unit) and re.search(r"(?m)^Group=www$", unit)
    assert re.search(r"(?m)^RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6$", unit)
    # The unit as installed, its programs and manual page found in the unpacked tree.
    local = pathlib.Path(workdir, UNIT.name)
    local.write_text(unit.replace("/usr/sbin/", f"{ROOT}/usr/sbin/").replace("/usr/share/", f"{ROOT}/usr/share/"))
    environment = dict(os.environ, MANPATH=str(ROOT / "usr/share/man"))
    verify = subprocess.run(["systemd-analyze", "verify", str(local)], capture_output=True, text=True, env=environment)
    assert verify.returncode == 0 and not verify.stderr, verify.stderr
    security = subprocess.run(["systemd-analyze", "security", "--offline=yes", str(local)],
                              capture_output=True, text=True)
    exposure = re.search(r"Overall exposure level for kvixowebservice\.service: (\d+\.\d+)", security.stdout)
    assert exposure and float(exposure[1]) <= 2.5, security.stdout[-400:]


def test_a_real_library_package_can_stand_in_for_the_simulated_one():
    assert field("kvixowebservice", "Depends").startswith("adduser, libkvixodll-sim | libkvixodll,")
    assert [field("libkvixodll-sim", name) for name in ("Provides", "Conflicts", "Replaces")] == ["libkvixodll"] * 3
    # The service needs the library by the real one's unversioned name, not by the simulation's.
    needed = subprocess.run(["objdump", "-p", str(ROOT / "usr/sbin/IxoWebServerBSD")],
                            capture_output=True, text=True, check=True).stdout
    assert re.search(r"NEEDED\s+libKvIxoDll\.so\n", needed)
