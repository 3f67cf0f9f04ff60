"""Many Python threads at once, with a thread switch interval so short that
switches land inside the cell scan: on separate encoders every result equals
the single-threaded one; on one shared encoder every call either succeeds with
a right result or fails at once with the borrow RuntimeError. Calls made from
inside a cell's conversions follow the borrow rules too."""

import os
import random
import sys
import threading

import numpy as np
import pandas as pd
import pytest

from colenc import Encoder
from support import parse_state, table

SANITIZED = os.environ.get("COLENC_SANITIZED") == "1"
THREADS = 8
ROUNDS = 8 if SANITIZED else 25
BORROWED, SHARED = "Already borrowed", "Already mutably borrowed"


class Word:
    """A cell that is text only through its Python-level str(), so that the
    scan runs interpreter code (and may switch threads) at every cell."""

    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text


class ndarray(np.ndarray):
    """Named like NumPy's array but not exactly it: read by subscription, cell by cell."""


def make_table(prefix, seed):
    rng = random.Random(seed)
    rows = 1500  # long enough that thread switches land inside a call
    return table([[Word(f"{prefix}{rng.randrange(17)}"), float(i), Word(f"{prefix}-{rng.randrange(5)}")]
                  for i in range(rows)])


A, B = make_table("a", 1), make_table("b", 2)
INPUTS = {"A": A, "B": B, "A by subscription": A.view(ndarray), "B frame": pd.DataFrame(B)}


def single_threaded():
    """Every result a call can give, computed on one thread."""
    expected = {}
    for name, obj in INPUTS.items():
        e = Encoder()
        result, cols = e.encode(obj)
        codes = np.asarray(result, dtype=float)
        expected[name] = {"codes": codes, "cols": cols, "state": e.__getstate__(),
                          "decoded": e.decode(codes).tolist()}
    # Decoding A's object table through each stored fit (decode scans it afresh).
    for fit in ("A", "B"):
        e = Encoder()
        e.encode(INPUTS[fit])
        expected[fit]["decodes A"] = e.decode(A).tolist()
    return expected


EXPECTED = single_threaded()


@pytest.fixture(autouse=True)
def tiny_switch_interval():
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(previous)


def run_threads(work):
    """Runs work(index) on THREADS threads released together; returns the
    errors they raised, each as (index, exception)."""
    start = threading.Barrier(THREADS)
    errors = []

    def body(index):
        try:
            start.wait(timeout=60)
            work(index)
        except BaseException as exc:  # noqa: BLE001 - reported below
            errors.append((index, exc))

    threads = [threading.Thread(target=body, args=(i,)) for i in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=300)
    assert not any(thread.is_alive() for thread in threads), "a thread hung"
    return errors


def same_codes(result, name):
    return np.array_equal(np.asarray(result, dtype=float), EXPECTED[name]["codes"], equal_nan=True)


def test_separate_encoders_give_the_single_threaded_results():
    names = list(INPUTS)

    def work(index):
        e = Encoder()
        for round_ in range(ROUNDS):
            name = names[(index + round_) % len(names)]
            fit = "B" if name.startswith("B") else "A"
            result, cols = e.encode(INPUTS[name])
            assert same_codes(result, name) and cols == EXPECTED[name]["cols"], name
            assert e.decode(EXPECTED[name]["codes"]).tolist() == EXPECTED[name]["decoded"], name
            assert parse_state(e.__getstate__()) == parse_state(EXPECTED[name]["state"]), name
            other = "A" if fit == "B" else "B"
            e.__setstate__(EXPECTED[other]["state"])
            assert e.decode(A).tolist() == EXPECTED[other]["decodes A"], name

    assert run_threads(work) == []


def test_a_shared_encoder_gives_right_results_or_the_borrow_error():
    e = Encoder()
    e.encode(A)
    # What each call may return, whichever of the two fits is stored.
    states = [parse_state(EXPECTED[fit]["state"]) for fit in ("A", "B")]
    decodes_a = [EXPECTED[fit]["decodes A"] for fit in ("A", "B")]
    codes = EXPECTED["A"]["codes"]
    decoded_codes = []
    for fit in ("A", "B"):
        other = Encoder()
        other.__setstate__(EXPECTED[fit]["state"])
        decoded_codes.append(other.decode(codes).tolist())
    outcomes = {"ok": 0, BORROWED: 0, SHARED: 0}
    lock = threading.Lock()

    def attempt(call, refusal, check):
        try:
            result = call()
        except RuntimeError as exc:
            assert str(exc) == refusal, str(exc)
            key = refusal
        else:
            check(result)
            key = "ok"
        with lock:
            outcomes[key] += 1

    def work(index):
        rng = random.Random(index)
        for _ in range(ROUNDS * 4):
            step = rng.randrange(5)
            if step == 0:
                name = rng.choice(["A", "B", "A by subscription"])
                attempt(lambda: e.encode(INPUTS[name]), BORROWED,
                        lambda r: same_codes(r[0], name) or pytest.fail(f"wrong codes for {name}"))
            elif step == 1:
                attempt(lambda: e.decode(A), SHARED,
                        lambda r: r.tolist() in decodes_a or pytest.fail("wrong decode of A"))
            elif step == 2:
                attempt(lambda: e.decode(codes), SHARED,
                        lambda r: r.tolist() in decoded_codes or pytest.fail("wrong decode of codes"))
            elif step == 3:
                attempt(e.__getstate__, SHARED,
                        lambda r: parse_state(r) in states or pytest.fail("torn state"))
            else:
                fit = rng.choice(["A", "B"])
                attempt(lambda: e.__setstate__(EXPECTED[fit]["state"]), BORROWED,
                        lambda r: r is None or pytest.fail("__setstate__ returned a value"))

    assert run_threads(work) == []
    assert sum(outcomes.values()) == THREADS * ROUNDS * 4
    # The calls really overlapped: some were refused.
    assert outcomes[BORROWED] + outcomes[SHARED] > 0, outcomes
    # Afterwards the encoder is free and whole.
    result, cols = e.encode(B)
    assert same_codes(result, "B") and cols == EXPECTED["B"]["cols"]
    assert e.decode(A).tolist() == EXPECTED["B"]["decodes A"]


class FloatCallback:
    """A number cell whose float() first calls into an encoder and records how
    that ended; `swallow` False lets the call's error end the float conversion."""

    def __init__(self, call, swallow=True):
        self.call, self.swallow, self.seen = call, swallow, []

    def __float__(self):
        try:
            self.seen.append(("ok", self.call()))
        except RuntimeError as exc:
            self.seen.append(("refused", str(exc)))
            if not self.swallow:
                raise
        return 7.0

    def __str__(self):
        return "callback"


INNER = {
    "encode": (lambda e: e.encode(B), BORROWED),
    "__setstate__": (lambda e: e.__setstate__(EXPECTED["B"]["state"]), BORROWED),
    "decode": (lambda e: e.decode(EXPECTED["A"]["codes"]), SHARED),
    "__getstate__": (lambda e: e.__getstate__(), SHARED),
}


@pytest.mark.parametrize("outer", ["encode", "decode"])
@pytest.mark.parametrize("inner", list(INNER))
def test_calls_from_a_cells_float_conversion_follow_the_borrow_rules(outer, inner):
    e = Encoder()
    e.encode(A)
    before = e.__getstate__()
    call, refusal = INNER[inner]
    cell = FloatCallback(lambda: call(e))
    result = getattr(e, outer)(table([["x", cell, "p"], ["y", 2.0, "q"]]))
    allowed = outer == "decode" and inner in ("decode", "__getstate__")
    assert [kind for kind, _ in cell.seen] == ["ok" if allowed else "refused"]
    if allowed:
        inner_result = cell.seen[0][1]
        if inner == "decode":
            assert inner_result.tolist() == EXPECTED["A"]["decoded"]
        else:
            assert inner_result == before
    else:
        assert cell.seen[0][1] == refusal
    if outer == "encode":
        assert result[0][:, 1].tolist() == [7.0, 2.0]  # the cell stayed a number
        assert parse_state(e.__getstate__())[0] == [0, 2]
    else:
        assert e.__getstate__() == before
    # Fully usable afterwards, by every method.
    e.__setstate__(before)
    assert same_codes(e.encode(A)[0], "A")
    assert e.decode(EXPECTED["A"]["codes"]).tolist() == EXPECTED["A"]["decoded"]


def test_an_unswallowed_refusal_in_float_turns_the_column_to_text():
    e = Encoder()
    cell = FloatCallback(lambda: e.encode(B), swallow=False)
    result, cols = e.encode(table([[1.0], [cell], [2.0]]))
    assert cell.seen == [("refused", BORROWED)]
    assert cols == [0]
    assert parse_state(e.__getstate__())[1][0] == {"1": 0, "2.0": 1, "callback": 2}
    assert result[:, 0].tolist() == [0.0, 2.0, 1.0]
