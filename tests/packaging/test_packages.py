"""The Debian packages as built (tests/packaging/build_packages.sh), unpacked, never installed, on
the black-box harness (its private /run and /dev/log): the packaged service on the packaged library
and document root, the packaged unit, and the relations that let a real Ixo library replace the
simulated one."""

import glob
import grp
import os
import pathlib
import pwd
import re
import signal
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


def syscalls(entry):
    """The system calls a SystemCallFilter entry names, groups expanded."""
    if not entry.startswith("@"):
        return {entry}
    listing = subprocess.run(["systemd-analyze", "syscall-filter", entry], capture_output=True, text=True,
                             check=True).stdout.split("\n")[1:]
    return set().union(*(syscalls(line.strip()) for line in listing if line.strip() and "#" not in line))


def allowed_syscalls(unit):
    """The allow list of the unit's filter: its first line, then removals (~) and additions in order."""
    allowed = set()
    for number, line in enumerate(re.findall(r"(?m)^SystemCallFilter=(.*)$", unit)):
        names = set().union(*(syscalls(entry) for entry in line.lstrip("~").split()))
        assert number > 0 or not line.startswith("~"), "the filter must be an allow list"
        allowed = allowed - names if line.startswith("~") else allowed | names
    return allowed


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


def test_packaged_service_answers_inside_the_units_sandbox(services, monkeypatch, workdir):
    """The packaged service on its library and document root, traced, as an unprivileged user with
    the group www in a run directory made for that user (the unit's RuntimeDirectory); "nobody"
    stands in for kvixowebservice, which only the package creates."""
    library, = glob.glob(str(ROOT / "usr/lib/*/libKvIxoDll.so"))
    monkeypatch.setenv("LD_LIBRARY_PATH", os.path.dirname(library))
    user, www = pwd.getpwnam("nobody").pw_uid, grp.getgrnam("www").gr_gid
    os.makedirs(kv.RUN_DIR, 0o755, exist_ok=True)
    os.chown(kv.RUN_DIR, user, www)
    trace = os.path.join(workdir, "trace")
    service = services(["-f", "-qq", "-o", trace, "/usr/bin/setpriv", "--reuid", str(user), "--regid", str(www),
                        "--clear-groups", "--no-new-privs", "--", str(ROOT / "usr/sbin/IxoWebServerBSD"),
                        "-docroot", str(DOCROOT)], binary="/usr/bin/strace")
    traced = int(pathlib.Path(f"/proc/{service.pid}/task/{service.pid}/children").read_text())
    assert library in pathlib.Path(f"/proc/{traced}/maps").read_text()
    socket_file = os.stat(kv.SOCKET_PATH)
    assert (socket_file.st_uid, socket_file.st_gid, socket_file.st_mode & 0o777) == (user, www, 0o660)
    assert kv.exchange(kv.req("GET", "/index.html")) == kv.response(200, "text/html",
                                                                  (DOCROOT / "index.html").read_bytes())
    # The information page: the simulated device's net id, and its style sheet beside it.
    page = kv.exchange(kv.req("GET", kv.GW))
    assert page.startswith(b"HTTP/1.1 200 OK\r\n") and b"10.20.30.40.1.1" in page
    assert kv.exchange(kv.req("GET", "/KvIxoWebService/Korvel.css")).startswith(b"HTTP/1.1 200 OK\r\n")
    assert kv.exchange(kv.req("GET", "/missing")).startswith(b"HTTP/1.1 404 ")
    os.kill(traced, signal.SIGTERM)
    assert service.wait_exit() == -signal.SIGTERM   # strace ends as the service does
    lines = pathlib.Path(trace).read_text().splitlines()
    # The filter holds from the service's execve on (setpriv's own calls come before it).
    start = next(i for i, line in enumerate(lines) if re.search(r'execve\(".*/IxoWebServerBSD"', line))
    calls = [m for line in lines[start + 1:] if (m := re.match(r"\d+\s+([a-z0-9_]+)\((.*)", line))]
    made = {call[1] for call in calls}
    assert {"bind", "chown", "accept4"} <= made or {"bind", "fchownat", "accept4"} <= made, sorted(made)
    # SystemCallFilter, RestrictAddressFamilies, MemoryDenyWriteExecute, and ProtectSystem=strict
    # with the run directory the only writable one.
    assert made - allowed_syscalls(UNIT.read_text()) == set()
    assert {re.match(r"(AF_\w+)", call[2])[1] for call in calls if call[1] == "socket"} <= {"AF_UNIX", "AF_INET", "AF_INET6"}
    assert not [call[0] for call in calls if re.search(r"PROT_(WRITE\|PROT_EXEC|EXEC\|PROT_WRITE)", call[2])]
    writes = [re.search(r'"([^"]*)"', call[2])[1] for call in calls
              if call[1] in ("bind", "unlink", "unlinkat", "mkdir", "mkdirat", "chown", "fchownat", "chmod", "fchmodat")
              or (call[1] in ("open", "openat") and re.search(r"O_(WRONLY|RDWR|CREAT)", call[2]))]
    assert writes and all(path.startswith(kv.RUN_DIR) for path in writes), writes


def test_a_real_library_package_can_stand_in_for_the_simulated_one():
    assert field("kvixowebservice", "Depends").startswith("adduser, libkvixodll-sim | libkvixodll,")
    assert [field("libkvixodll-sim", name) for name in ("Provides", "Conflicts", "Replaces")] == ["libkvixodll"] * 3
    # The service needs the library by the real one's unversioned name, not by the simulation's.
    needed = subprocess.run(["objdump", "-p", str(ROOT / "usr/sbin/IxoWebServerBSD")],
                            capture_output=True, text=True, check=True).stdout
    assert re.search(r"NEEDED\s+libKvIxoDll\.so\n", needed)
