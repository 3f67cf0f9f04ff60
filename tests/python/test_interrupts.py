"""Ctrl-C during a long cell scan: another process sends SIGINT while encode or
decode reads a large object table, and the call ends promptly with
KeyboardInterrupt, before reaching the table's last cell, leaving the stored
state as it was and the encoder free. (KeyboardInterrupt and SystemExit raised
inside a cell's own conversions are covered with the cell reading tests.)"""

import os
import signal
import subprocess
import sys
import time

import numpy as np
import pandas as pd
import pytest

from colenc import Encoder
from support import column

SANITIZED = os.environ.get("COLENC_SANITIZED") == "1"
# Two columns: a scan of seconds, while Ctrl-C comes after 50 ms. Under
# AddressSanitizer every cell read costs several times more, so a quarter of
# the rows still takes seconds, while the allocations that no signal look can
# cut short (each block filled with garbage and faulted in when it grows)
# stay a quarter as long.
ROWS = 500_000 if SANITIZED else 2_000_000
# Seconds from the signal to the KeyboardInterrupt, generous for loaded
# machines and for the sanitizers' slower allocations.
PROMPT = 3.0 if SANITIZED else 1.0

# Sends SIGINT to the parent each time a delay arrives on stdin, and reports
# when it did on the monotonic clock, which all processes share.
KILLER = """
import os, signal, sys, time
print("ready", flush=True)
for line in sys.stdin:
    time.sleep(float(line))
    os.kill(os.getppid(), signal.SIGINT)
    print(time.monotonic(), flush=True)
"""


class Sentinel:
    """The table's last cell: records whether the scan ever reached it."""

    reached = False

    def __float__(self):
        raise TypeError

    def __str__(self):
        Sentinel.reached = True
        return "end"


class ndarray(np.ndarray):
    """Named like NumPy's array but not exactly it: read by subscription, cell by cell."""


def large_table():
    # Float cells in text columns: each is turned into text by the float's own
    # str() in C, so no Python code runs (nor any signal handler) until the scan
    # looks for pending signals itself.
    source = np.empty((ROWS, 2), dtype=object)
    source[:, 0] = 2.5
    source[:, 1] = -1.25
    source[0, :] = "first"
    source[-1, 1] = Sentinel()
    return source


def loaded_table():
    # Text cells each of their own str object, as a loader makes them, so the
    # scan reads rows across the columns on the pool: 4 * ROWS cells of
    # ROWS / 5 objects.
    rows = 2 * ROWS
    objects = np.array([(f"w{k % 100}" + ".")[:-1] for k in range(rows // 10)], dtype=object)
    source = np.empty((rows, 2), dtype=object)
    source[:, 0] = np.tile(objects, 10)
    source[:, 1] = np.tile(objects[::-1], 10)
    source[-1, 1] = Sentinel()
    return source


def loaded_frame():
    # Object columns read side by side on the pool, their few texts repeating
    # under other objects (each row's text is looked up): 24 * ROWS cells of
    # 0.4 * ROWS objects, the last cell the sentinel. Read on both cores, fewer
    # cells would all be read before the signal comes.
    rows = 4 * ROWS
    objects = np.array([(f"w{k % 100}" + ".")[:-1] for k in range(rows // 10)], dtype=object)
    columns = {f"t{k}": np.roll(np.tile(objects, 10), k) for k in range(6)}
    columns["t5"][-1] = Sentinel()
    return pd.DataFrame(columns)


@pytest.fixture(scope="module")
def killer():
    with subprocess.Popen([sys.executable, "-c", KILLER], stdin=subprocess.PIPE,
                          stdout=subprocess.PIPE, text=True) as process:
        assert process.stdout.readline() == "ready\n"
        yield process
        process.stdin.close()
        process.wait(timeout=30)


@pytest.fixture(scope="module", params=["floats", "loaded texts", "loaded frame"])
def table(request):
    return {"floats": large_table, "loaded texts": loaded_table,
            "loaded frame": loaded_frame}[request.param]()


def interrupted(killer, call):
    """Runs call() while Ctrl-C arrives 50 ms in; returns the seconds from the
    signal to the KeyboardInterrupt that the call raised."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    Sentinel.reached = False
    try:
        killer.stdin.write("0.05\n")
        killer.stdin.flush()
        try:
            call()
        except KeyboardInterrupt:
            raised = time.monotonic()
            sent = float(killer.stdout.readline())
            return raised - sent
        try:
            killer.stdout.readline()
            time.sleep(5)  # the late signal interrupts this sleep
        except KeyboardInterrupt:
            pass
        pytest.fail("the call ended without KeyboardInterrupt")
    finally:
        signal.signal(signal.SIGINT, previous)


@pytest.mark.parametrize("method", ["encode", "decode"])
@pytest.mark.parametrize("read", ["exact ndarray", "subscription"])
def test_ctrl_c_ends_a_long_scan_promptly(killer, table, method, read):
    e = Encoder()
    e.encode(column("kept", "state"))
    before = e.__getstate__()
    if isinstance(table, pd.DataFrame):
        source = table if read == "exact ndarray" else table.values.view(ndarray)
    else:
        source = table if read == "exact ndarray" else table.view(ndarray)
    delay = interrupted(killer, lambda: getattr(e, method)(source))
    assert 0 <= delay < PROMPT
    assert not Sentinel.reached
    assert e.__getstate__() == before
    # Not borrowed: every method works at once.
    assert e.decode(np.zeros((1, 1))).tolist() == [["kept"]]
    e.__setstate__(before)
    assert e.encode(column("x"))[1] == [0]
