"""Every allocation of the interpreter's that a call makes, refused in turn
through CPython's own test hook (_testcapi.set_nomemory): encode, decode,
transform, __getstate__ and __setstate__ of arrays of each storage kind. A call then
either returns what it returns without the hook, or raises the interpreter's
MemoryError or the panic exception "memory allocation failed"; the encoder's
stored state is what it was (for encode: what it was, or the new fit, which
encode stores before it builds its result), no reference to
the inputs is leaked, and the interpreter's allocated blocks do not grow with
the number of refusals. Each refusal is tried both alone (only allocation k
fails) and as memory running out (every allocation from k on fails).

Only arrays are swept: pandas' own code can hang under the hook, so no call
that enters pandas (a DataFrame in or out) is made while it is set. Inputs,
expected results and states are all made before the hook is set."""

import gc
import sys

import numpy as np
import pytest

import colenc
from conftest import check_panic

_testcapi = pytest.importorskip("_testcapi")

_rng = np.random.default_rng(17)
_WORDS = np.array(["alpha", "beta", "gamma", "nan", "délta", "<NA>", "", "NaN", "zeta" * 9],
                  dtype=object)


def _shared(rows, cols):
    """Object array whose cells share one str per word (read column by column)."""
    return _WORDS[_rng.integers(0, len(_WORDS), (rows, cols))]


def _per_cell(rows, cols):
    """The same kind of texts, a new str object in every cell (read row by row)."""
    table = np.empty((rows, cols), dtype=object)
    table[:] = [["".join(list(word)) + str(i % 7) for word in row]
                for i, row in enumerate(_shared(rows, cols).tolist())]
    return table


def _mixed(rows):
    """Numbers of every kind beside texts: cells whose conversion runs Python code."""
    cells = [1.5, 2, None, True, np.float32(3.25), 10**30, "z", float("nan"), np.int64(-4)]
    table = np.empty((rows, 3), dtype=object)
    table[:, 0] = [cells[i % len(cells)] for i in range(rows)]
    table[:, 1] = [float(i) / 4 for i in range(rows)]
    table[:, 2] = [float(i) if i % 5 else "text" for i in range(rows)]
    return table


def _memmap(tmp_path_factory, array):
    path = tmp_path_factory.mktemp("memmap") / "cells.bin"
    mapped = np.memmap(path, dtype=array.dtype, mode="w+", shape=array.shape)
    mapped[:] = array
    return mapped


TABLES = {
    "object-shared": lambda _: _shared(40, 3),
    "object-per-cell": lambda _: _per_cell(40, 3),
    "object-mixed": lambda _: _mixed(30),
    "int64": lambda _: _rng.integers(-9, 9, (30, 3)),
    "float32-fortran": lambda _: np.asfortranarray(_rng.normal(size=(30, 3)).astype(np.float32)),
    "float16": lambda _: _rng.normal(size=(30, 3)).astype(np.float16),
    "bool-strided": lambda _: (_rng.integers(0, 2, (60, 4)) == 1)[::2, ::-1],
    "big-endian": lambda _: _rng.normal(size=(30, 3)).astype(">f8"),
    "float64": lambda _: _rng.normal(size=(30, 3)),
    "float64-memmap": lambda factory: _memmap(factory, _rng.normal(size=(30, 3))),
    "int32-memmap": lambda factory: _memmap(factory, _rng.integers(0, 9, (30, 3)).astype(np.int32)),
    "unicode": lambda _: _shared(30, 3).astype(str),
    "bytes": lambda _: np.char.encode(_shared(30, 2).astype(str), "utf-8"),
}


def _attempt(call, k, alone):
    """Calls method(*args), call being (method, args), with allocation k
    refused (alone, or with all that follow); returns (result, exception).
    The hook is removed first thing on both paths, before anything else
    allocates. The method is called straight from this frame, whose frame
    object is made beforehand: CPython 3.13.0 loses an exception when the
    frame object it makes for a traceback cannot be allocated, and raises
    SystemError instead."""
    method, args = call
    sys._getframe()
    _testcapi.set_nomemory(k, k + 1 if alone else 0)
    try:
        result = method(*args)
    except BaseException as exc:  # noqa: BLE001 - checked by the caller
        _testcapi.remove_mem_hooks()
        return None, exc
    _testcapi.remove_mem_hooks()
    return result, None


def _allocations(call):
    """The number of allocations a call makes: the first k at which it
    succeeds with every allocation from k on refused."""
    for k in range(100_000):
        result, error = _attempt(call, k, alone=False)
        if error is None:
            return k
    raise AssertionError("never succeeded")


def _same(a, b):
    """Results compare equal: arrays cell by cell (NaN equal to NaN), tuples by element."""
    if isinstance(a, tuple):
        return isinstance(b, tuple) and len(a) == len(b) and all(map(_same, a, b))
    if isinstance(a, np.ndarray):
        if not isinstance(b, np.ndarray) or a.dtype != b.dtype or a.shape != b.shape:
            return False
        if a.dtype == object:
            return all(x == y or (x != x and y != y) for x, y in zip(a.ravel().tolist(), b.ravel().tolist()))
        return np.array_equal(a, b, equal_nan=True)
    return a == b


def _sweep(call, expected, encoder, states_after, keep):
    """Refuses each allocation of call() in turn, alone and as memory running
    out; checks every outcome and the encoder's state after it. Returns the
    number of runs that failed."""
    failed = 0
    allocations = _allocations(call)
    for k in range(allocations + 2):
        for alone in (True, False):
            result, error = _attempt(call, k, alone)
            if error is None:
                assert _same(result, expected), f"allocation {k} refused (alone={alone})"
            else:
                failed += 1
                if type(error) is not MemoryError:
                    check_panic(error, "memory allocation failed")
            assert encoder.__getstate__() in states_after, f"allocation {k} (alone={alone})"
            del result, error
            keep()
    assert failed > 0 or allocations == 0  # __setstate__ asks the interpreter for nothing
    return failed


@pytest.fixture(scope="module")
def tables(tmp_path_factory):
    return {name: make(tmp_path_factory) for name, make in TABLES.items()}


@pytest.mark.parametrize("method", ["encode", "decode", "transform", "__getstate__", "__setstate__"])
@pytest.mark.parametrize("kind", list(TABLES))
def test_refused_allocations_end_in_memory_errors_and_keep_the_state(tables, kind, method):
    table = tables[kind]
    fitted = colenc.Encoder()
    encoded, _ = fitted.encode(table)
    state = fitted.__getstate__()
    # The encoder swept holds an earlier fit of another table, so that a
    # changed state shows.
    encoder = colenc.Encoder()
    encoder.encode(_shared(5, 2))
    before = encoder.__getstate__()
    if method == "encode":
        call, expected, states_after = (encoder.encode, (table,)), fitted.encode(table), (before, state)
    elif method == "decode":
        encoder.__setstate__(state)
        before = state
        call, expected, states_after = (encoder.decode, (encoded,)), fitted.decode(encoded), (state,)
    elif method == "transform":
        # A fit of texts in every column: numbers meet it as unknown labels.
        words = colenc.Encoder()
        words.encode(_shared(5, table.shape[1]))
        state = before = words.__getstate__()
        encoder.__setstate__(state)
        call, expected, states_after = ((encoder.transform, (table, "code")),
                                        words.transform(table, "code"), (state,))
    elif method == "__getstate__":
        encoder.__setstate__(state)
        before = state
        call, expected, states_after = (encoder.__getstate__, ()), state, (state,)
    else:
        call, expected, states_after = (encoder.__setstate__, (state,)), None, (before, state)

    references = [sys.getrefcount(obj) for obj in (table, encoded, state)]

    def keep():
        # A refused __setstate__ or encode leaves the old state; put it back
        # after a successful one, so that every run starts alike.
        if method in ("encode", "__setstate__") and encoder.__getstate__() != before:
            encoder.__setstate__(before)

    # Sweeps repeat until a few hundred calls have failed, so that a block
    # leaked per failure would stand out from the noise; a first round of
    # them warms the interpreter's free lists and caches, and of two measured
    # rounds the smaller growth counts (a leak grows both alike).
    failed = _sweep(call, expected, encoder, states_after, keep)
    repeats = min(20, 1 + 300 // max(failed, 1))
    for _ in range(repeats - 1):
        _sweep(call, expected, encoder, states_after, keep)
    growths = []
    for _ in range(2):
        gc.collect()
        blocks = sys.getallocatedblocks()
        failed = sum(_sweep(call, expected, encoder, states_after, keep) for _ in range(repeats))
        gc.collect()
        growths.append(sys.getallocatedblocks() - blocks)
    assert min(growths) < max(32, failed // 4), f"{growths} blocks more after {failed} failed calls"
    assert [sys.getrefcount(obj) for obj in (table, encoded, state)] == references


def test_refused_allocations_of_a_bad_state_end_in_memory_or_value_errors():
    encoder = colenc.Encoder()
    encoder.encode(_shared(5, 2))
    before = encoder.__getstate__()
    broken = before[:-9] + b"\xff" + before[-8:]  # a label byte that is not UTF-8, or a bad tag
    with pytest.raises(ValueError) as expected:
        encoder.__setstate__(broken)
    for k in range(_allocations((encoder.__getstate__, ())) + 40):
        for alone in (True, False):
            _, error = _attempt((encoder.__setstate__, (broken,)), k, alone)
            assert type(error) in (MemoryError, ValueError)
            if type(error) is ValueError:
                assert str(error) == str(expected.value)
            assert encoder.__getstate__() == before
