"""Forking after an encode has started the worker pool: the children, made by
os.fork() or by multiprocessing's "fork" start method, encode correctly on
their one thread and do not hang, while the parent keeps working with its own
pool."""

import multiprocessing
import os
import threading
import time

import numpy as np
import pytest

from colenc import Encoder
from support import table

# The pool's worker threads make the interpreter warn about forking a
# multi-threaded process; forking it safely is what these tests check.
pytestmark = pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")

TIMEOUT = 120  # seconds; a child that hangs is killed and the test fails
TABLE = table([[f"r{i % 97}", float(i), f"s{i % 13}", f"t{i % 1009}"] for i in range(40000)])


def expected_result():
    return Encoder().encode(TABLE)


EXPECTED_CODES, EXPECTED_COLUMNS = expected_result()


def encode_matches(_=None):
    result, columns = Encoder().encode(TABLE)
    return np.array_equal(result, EXPECTED_CODES) and columns == EXPECTED_COLUMNS


def threads_running():
    """The threads of this process, where the system lists them (else 1)."""
    return len(os.listdir("/proc/self/task")) if os.path.isdir("/proc/self/task") else 1


def encodes_alone(_=None):
    """In a forked child: encodes correctly without starting a thread."""
    return encode_matches() and threads_running() == 1


def wait_for(pid):
    """Returns the exit code of child `pid`, killing it after TIMEOUT seconds."""
    deadline = time.monotonic() + TIMEOUT
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        if time.monotonic() > deadline:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
            pytest.fail(f"forked child {pid} hung")
        time.sleep(0.005)


def fork(child_body):
    """Forks; the child runs child_body() and exits 0 when it returns True."""
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            code = 0 if child_body() else 3
        finally:
            os._exit(code)
    return pid


@pytest.mark.parametrize("forking_thread", ["encoding thread", "fresh thread"])
def test_children_forked_right_after_an_encode_encode_correctly(forking_thread):
    parent = Encoder()
    for _ in range(10):
        parent.encode(TABLE)  # the pool's workers are busy settling down when the fork comes
        if forking_thread == "fresh thread":
            box = []
            thread = threading.Thread(target=lambda: box.append(fork(encodes_alone)))
            thread.start()
            thread.join()
            pid = box[0]
        else:
            pid = fork(encodes_alone)
        # The parent keeps working while the child runs.
        assert encode_matches() and np.array_equal(parent.encode(TABLE)[0], EXPECTED_CODES)
        assert wait_for(pid) == 0


def test_a_grandchild_encodes_correctly():
    Encoder().encode(TABLE)

    def child():
        return encodes_alone() and wait_for(fork(encodes_alone)) == 0

    assert wait_for(fork(child)) == 0
    assert encode_matches()


def test_multiprocessing_fork_workers_encode_correctly():
    Encoder().encode(TABLE)
    context = multiprocessing.get_context("fork")
    with context.Pool(2, maxtasksperchild=2) as pool:
        pending = pool.map_async(encodes_alone, range(8))
        assert encode_matches()  # the parent works meanwhile
        assert pending.get(timeout=TIMEOUT) == [True] * 8
