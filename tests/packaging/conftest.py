"""The packaging tests run on the black-box harness (tests/blackbox/kvharness.py): its private
/run and /dev/log, its service runs, here with the binary, library and document root unpacked
from the Debian packages."""

import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "blackbox"))
pytest.register_assert_rewrite("kvharness")

pytest_plugins = ["kvharness"]
