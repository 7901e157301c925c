"""A large file to a reader that always keeps up (the preloaded shim makes sendfile wait for room,
so the socket never answers EAGAIN). Fault caught: a pass that sends for as long as the socket
takes data and so holds up the loop, keeping other connections from being served and deadlines
from cutting them until the transfer ends."""

import os
import threading
import time

import pytest

import kvharness as kv

SMALL = "<html>small</html>"


@pytest.fixture(scope="module")
def service(module_services, module_workdir):
    kv.make_tree(module_workdir, {"small.html": SMALL, "huge.bin": ""})
    os.truncate(os.path.join(module_workdir, "huge.bin"), 1 << 40)   # sparse: never read to its end here
    return module_services(["-docroot", module_workdir], env=kv.shim_environment(sendfile_wait=1))


class Reader(threading.Thread):
    """Reads the huge file's answer as fast as it can until told to stop."""

    def __init__(self):
        super().__init__(daemon=True)
        self.sock, self.received, self.ended, self.stop = kv.connect(), 0, False, False

    def run(self):
        buffer = bytearray(1 << 20)
        try:
            self.sock.sendall(kv.req("GET", "/huge.bin"))
            while not self.stop and (n := self.sock.recv_into(buffer)):
                self.received += n
        finally:
            self.ended = True


def test_a_large_transfer_leaves_the_loop_to_others(service):
    silent = kv.connect()   # accepted at once: its deadline comes while the transfer runs
    started = time.monotonic()
    kv.await_condition(lambda: time.monotonic() - started > 57, "the silent connection's deadline to near", 70)
    reader = Reader()
    reader.start()
    try:
        kv.await_condition(lambda: reader.received > 4 << 20, "the transfer to be under way")
        assert kv.exchange(kv.req("GET", "/small.html")) == kv.response(200, "text/html", SMALL)
        assert not reader.ended
        assert kv.read_all(silent, 30) == b""   # cut at its deadline
        assert not reader.ended
        during = reader.received
        kv.await_condition(lambda: reader.received > during, "the transfer to go on")
    finally:
        reader.stop = True
        reader.sock.close()
        silent.close()
        reader.join(10)
