"""The service files of deploy/: each starts the service with an explicit document root."""

import os
import re
import shutil
import subprocess

import pytest

import kvharness as kv

DEPLOY = os.path.join(kv.REPO, "deploy")


@pytest.mark.skipif(shutil.which("systemd-analyze") is None, reason="no systemd-analyze")
def test_systemd_unit_verifies_with_the_built_binary(workdir):
    with open(os.path.join(DEPLOY, "systemd", "kvixowebservice.service")) as f:
        unit = f.read()
    command = re.search(r"(?m)^ExecStart=(\S+) -docroot (\S+)$", unit)
    assert command, "ExecStart must name the document root"
    path = os.path.join(workdir, "kvixowebservice.service")
    with open(path, "w") as f:
        f.write(unit.replace(command[1], os.environ["KV_SERVER"])
                .replace(command[2], os.path.join(kv.REPO, "docroot")))
    run = subprocess.run(["systemd-analyze", "verify", path], capture_output=True, text=True)
    assert run.returncode == 0 and "kvixowebservice" not in run.stderr, run.stderr


def test_freebsd_rc_script_parses_and_starts_the_service_with_a_docroot():
    script = os.path.join(DEPLOY, "freebsd", "kvixowebservice")
    assert subprocess.run(["sh", "-n", script]).returncode == 0 and os.access(script, os.X_OK)
    with open(script) as f:
        assert re.search(r'(?m)^command_args=".*\$\{procname\} -docroot \$\{kvixowebservice_docroot\}',
                         f.read())
