"""Fixtures of the black-box tests. Each file runs in its own process under
`unshare --mount --propagation private` (CMakeLists.txt); the session fixture mounts a tmpfs
over /run and an overlay over /dev whose /dev/log is our own socket. The mounts go with the
namespace. The group www comes from the ctest fixture kv_www_group. By hand, as root:
    KV_SERVER=<build>/IxoWebserviceBSD/BSD/IxoWebServerBSD \\
    unshare --mount --propagation private -- python3 -m pytest -q -p no:cacheprovider test_http.py
"""

import grp
import os
import shutil
import subprocess
import tempfile

import pytest

import kvharness as kv


def _mount(*args):
    subprocess.run(["mount", *args], check=True)


@pytest.fixture(scope="session")
def syslog():
    if os.geteuid() != 0:
        pytest.skip("black-box tests need root")
    if os.readlink("/proc/self/ns/mnt") == os.readlink(f"/proc/{os.getppid()}/ns/mnt"):
        pytest.exit("run under `unshare --mount --propagation private`", returncode=2)
    grp.getgrnam("www")   # KeyError: run through ctest, whose fixture provides the group
    scratch = tempfile.mkdtemp(prefix="kv-blackbox-mnt-")
    try:
        _mount("-t", "tmpfs", "-o", "mode=0755", "kvrun", "/run")
        _mount("-t", "tmpfs", "-o", "mode=0700", "kvscratch", scratch)
        keep = {sub: os.open("/dev/" + sub, os.O_RDONLY) for sub in ("shm", "pts")
                if os.path.ismount("/dev/" + sub)}
        for sub in ("upper", "work"):
            os.mkdir(os.path.join(scratch, sub))
        _mount("-t", "overlay", "overlay", "-o",
               f"lowerdir=/dev,upperdir={scratch}/upper,workdir={scratch}/work", "/dev")
        for sub, fd in keep.items():   # the overlay hides the mounts below /dev: bring them back
            _mount("--bind", f"/proc/{os.getpid()}/fd/{fd}", "/dev/" + sub)
            os.close(fd)
        if os.path.lexists("/dev/log"):
            os.unlink("/dev/log")
        log = kv.Syslog()
        yield log
        log.close()
    finally:
        subprocess.run(["umount", "-l", scratch], check=False)
        os.rmdir(scratch)


@pytest.fixture
def workdir():
    path = tempfile.mkdtemp(prefix="kv-blackbox-")
    yield path
    shutil.rmtree(path, ignore_errors=True)


@pytest.fixture(scope="module")
def module_workdir():
    path = tempfile.mkdtemp(prefix="kv-blackbox-")
    yield path
    shutil.rmtree(path, ignore_errors=True)


def _pool(syslog):
    """start(args, ready=True, **Service options); at the end every service is ended and a
    death or a sanitizer report fails the test."""
    started = []

    def start(args=(), ready=True, **options):
        service = kv.Service(os.environ["KV_SERVER"], args, **options)
        started.append(service)
        return service.wait_ready() if ready else service
    yield start
    problems = [p for s in started for p in s.problems()]
    for service in started:
        service.end()
    assert not problems, "\n".join(problems)


@pytest.fixture
def services(syslog):
    yield from _pool(syslog)


@pytest.fixture(scope="module")
def module_services(syslog):
    yield from _pool(syslog)
