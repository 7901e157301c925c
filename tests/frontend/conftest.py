import os

import pytest

import frontharness


@pytest.fixture(scope="module")
def front():
    """The service and nginx, fresh for each test file."""
    front = frontharness.Front(os.environ["KV_SERVER"])
    yield front
    front.close()


@pytest.fixture(scope="session")
def sim():
    return frontharness.sim_constants()
