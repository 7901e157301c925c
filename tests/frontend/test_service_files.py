"""The service files of deploy/: each starts the service with an explicit document root."""

import os
import re
import shutil
import subprocess
import tempfile

import pytest

import kvharness as kv

DEPLOY = os.path.join(kv.REPO, "deploy")
UNIT = os.path.join(DEPLOY, "systemd", "kvixowebservice.service")
RC_SCRIPT = os.path.join(DEPLOY, "freebsd", "kvixowebservice")


def test_systemd_unit_verifies_with_the_built_binary():
    if shutil.which("systemd-analyze") is None:
        pytest.skip("systemd-analyze is not installed")
    with open(UNIT) as f:
        unit = f.read()
    command = re.search(r"(?m)^ExecStart=(\S+) -docroot (\S+)$", unit)
    assert command, "ExecStart must name the document root"
    unit = unit.replace(command.group(1), os.environ["KV_SERVER"])
    unit = unit.replace(command.group(2), os.path.join(kv.REPO, "docroot"))
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "kvixowebservice.service")
        with open(path, "w") as f:
            f.write(unit)
        run = subprocess.run(["systemd-analyze", "verify", path], capture_output=True, text=True)
    assert run.returncode == 0 and "kvixowebservice" not in run.stderr, run.stderr


def test_freebsd_rc_script_parses_and_starts_the_service_with_a_docroot():
    assert subprocess.run(["sh", "-n", RC_SCRIPT]).returncode == 0
    with open(RC_SCRIPT) as f:
        script = f.read()
    assert re.search(r'(?m)^command_args=".*\$\{procname\} -docroot \$\{kvixowebservice_docroot\}',
                     script)
    assert os.access(RC_SCRIPT, os.X_OK)
