"""Fixtures of the black-box tests.

Each test file runs in its own process under `unshare --mount --propagation private` (see
CMakeLists.txt). The session fixture turns that private mount namespace into a sandbox:
a fresh tmpfs over /run (so the machine's own /var/run/KvIxoWebService is never touched) and an
overlay over /dev whose /dev/log is our own datagram socket, so the service's syslog lines can be
checked. The namespace, and with it every mount, disappears when the test process ends.

By hand, as root, from this directory:
    KV_SERVER=<build>/IxoWebserviceBSD/BSD/IxoWebServerBSD \
    unshare --mount --propagation private -- /usr/bin/python3 -m pytest -q -p no:cacheprovider \
        test_static.py
"""

import os
import shutil
import subprocess
import tempfile

import pytest

import kvharness as kv

HERE = os.path.dirname(os.path.abspath(__file__))


def _mount(*args):
    subprocess.run(["mount", *args], check=True)


def _overlay_dev(scratch):
    """Overlay /dev with a writable upper layer, keeping /dev/shm and /dev/pts usable."""
    keep = {}
    for sub in ("shm", "pts"):
        path = "/dev/" + sub
        if os.path.ismount(path):
            keep[sub] = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    upper, work = os.path.join(scratch, "upper"), os.path.join(scratch, "work")
    os.mkdir(upper)
    os.mkdir(work)
    _mount("-t", "overlay", "overlay", "-o", f"lowerdir=/dev,upperdir={upper},workdir={work}",
           "/dev")
    for sub, fd in keep.items():
        _mount("--bind", f"/proc/{os.getpid()}/fd/{fd}", "/dev/" + sub)
        os.close(fd)
    if os.path.lexists(kv.SYSLOG_PATH):
        os.unlink(kv.SYSLOG_PATH)


@pytest.fixture(scope="session")
def sandbox():
    """The private /run and /dev/log of this test process; yields the LogCollector."""
    binary = os.environ.get("KV_SERVER", "")
    if os.geteuid() != 0:
        pytest.skip("black-box tests need root (mount namespace, tmpfs, group www)")
    if not binary or not os.access(binary, os.X_OK):
        pytest.fail(f"KV_SERVER does not name an executable service binary: {binary!r}")
    if not kv.in_private_mount_namespace():
        pytest.exit("run these tests under `unshare --mount --propagation private`; "
                    "refusing to mount over the machine's /run and /dev", returncode=2)

    scratch = tempfile.mkdtemp(prefix="kv-blackbox-mnt-")
    log = None
    try:
        _mount("-t", "tmpfs", "-o", "mode=0755", "kvrun", "/run")
        _mount("-t", "tmpfs", "-o", "mode=0700", "kvscratch", scratch)
        _overlay_dev(scratch)
        if not kv._group_exists(kv.SOCKET_GROUP):
            pytest.exit("group www is missing: run through ctest (fixture kv_www_group)", returncode=2)
        log = kv.LogCollector()
        yield log
    finally:
        if log is not None:
            log.close()
        # The mounts go away with the namespace; the directory under /tmp is ours to remove.
        subprocess.run(["umount", "-l", scratch], check=False, stderr=subprocess.DEVNULL)
        os.rmdir(scratch)


@pytest.fixture(scope="session")
def server_binary(sandbox):
    """The service binary under test; asking for it sets up the sandbox first."""
    return os.environ["KV_SERVER"]


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


def _service_pool(server_binary, workdir):
    """Starts services; teardown ends them and fails on a death or a sanitizer report."""
    pool = kv.ServicePool(server_binary, workdir)
    yield pool
    problems = pool.shutdown()
    if problems:
        pytest.fail("\n".join(problems), pytrace=False)


@pytest.fixture
def services(server_binary, workdir):
    """Services of one test."""
    yield from _service_pool(server_binary, workdir)


@pytest.fixture(scope="module")
def module_services(server_binary, module_workdir):
    """Services shared by the tests of a module."""
    yield from _service_pool(server_binary, module_workdir)


@pytest.fixture(scope="class")
def class_services(server_binary, module_workdir):
    """Services shared by the tests of a class."""
    yield from _service_pool(server_binary, module_workdir)


@pytest.fixture
def healthy():
    """Checks after a test that no service it used has died or reported a sanitizer error."""
    yield
    problems = []
    for service in kv.Service.started:
        problems += service.problems()
    if problems:
        pytest.fail("\n".join(problems), pytrace=False)
