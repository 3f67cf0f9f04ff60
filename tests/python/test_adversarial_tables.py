"""Tables that lie about their size, fail part way, change under the scan or
hold awkward texts: each encodes correctly or ends in its specified exception,
without allocating memory the table cannot need, and the encoder stays usable.
Memory that runs out inside the engine ends in the panic exception."""

import json
import os
import subprocess
import sys
import textwrap

import numpy as np
import pandas as pd
import pytest

from colenc import Encoder
from support import column, labels_of, parse_state, table

SANITIZED = os.environ.get("COLENC_SANITIZED") == "1"


def is_panic(exc):
    return type(exc).__name__ == "PanicException" and type(exc).__module__ == "pyo3_runtime"


def run_python(script, timeout=300):
    """Runs `script` in a fresh interpreter; returns its stdout lines parsed as JSON."""
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True,
                          text=True, timeout=timeout, cwd=os.path.dirname(__file__))
    assert done.returncode == 0, done.stderr[-3000:]
    return [json.loads(line) for line in done.stdout.splitlines()], done.stderr


def fitted():
    """Returns an encoder holding a known fit, and that fit's state."""
    e = Encoder()
    e.encode(column("kept", "fit"))
    return e, e.__getstate__()


def assert_usable(e, state):
    """The stored state is the one given, and every method works."""
    assert e.__getstate__() == state
    assert e.decode(np.array([[1.0]])).tolist() == [["kept"]]
    assert e.encode(column("b", "a"))[0].tolist() == [[1.0], [0.0]]
    e.__setstate__(state)


def test_claimed_shapes_cost_no_memory_before_their_cells_are_read():
    # In a fresh process, so that its peak resident memory is this test's own.
    outcomes, _ = run_python("""
        import json, resource
        import numpy as np
        from colenc import Encoder

        class ndarray:
            '''Claims a shape; its cell (2, 0) cannot be read.'''
            def __init__(self, shape):
                self.shape = shape
            def __getitem__(self, key):
                if key == (2, 0):
                    raise LookupError("no such cell")
                return "cell"

        e = Encoder()
        for shape in [(2**40, 2**40), (2**15, 2**14), (2**20, 2**20), (2**31, 1), (3, 2**28)]:
            try:
                e.encode(ndarray(shape))
                outcome = "encoded"
            except BaseException as exc:
                outcome = type(exc).__name__ + ": " + str(exc)
            print(json.dumps([shape, outcome]))
        # Tables without rows have nothing to read, however wide they are.
        for table in [ndarray((0, 2**40)), np.empty((0, 2**27), dtype=object)]:
            result, columns = e.encode(table)
            print(json.dumps([list(result.shape), columns]))
        # VmHWM is this process's own peak; ru_maxrss also counts the parent's
        # pages that the fork copied before the exec.
        try:
            with open("/proc/self/status") as status:
                peak = next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))
        except OSError:
            peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        print(json.dumps(peak * 1024))
    """)
    *claims, empty_claim, empty_array, peak = outcomes
    assert empty_claim == [[0, 2**40], []] and empty_array == [[0, 2**27], []]
    for shape, outcome in claims:
        # Either the memory is refused outright, or it is only reserved and the
        # failed read of cell (2, 0) ends the call.
        assert outcome.startswith(("PanicException: failed to read cell (2, 0): LookupError",
                                   "PanicException: memory allocation failed",
                                   "PanicException: table of")), (shape, outcome)
    assert claims[0][1].startswith("PanicException: table of 1099511627776 by 1099511627776 cells")
    # The largest claims reserve gigabytes; none of it may have been touched.
    # (AddressSanitizer writes the shadow of every large block it frees.)
    assert SANITIZED or peak < 300 * 2**20, peak


class Lying:
    """A table named "ndarray" whose cell at `fail_at` raises `error`."""

    def __init__(self, rows, fail_at, error):
        self.shape, self.fail_at, self.error, self.read = (rows, 2), fail_at, error, 0

    def __getitem__(self, key):
        self.read += 1
        if key == self.fail_at:
            raise self.error
        return f"r{key[0] % 7}" if key[1] == 0 else float(key[0])


Lying.__name__ = "ndarray"


@pytest.mark.parametrize("method", ["encode", "decode"])
def test_a_read_failing_midway_is_a_panic_and_the_encoder_stays_usable(method):
    e, state = fitted()
    source = Lying(50, (30, 1), ValueError("torn"))
    with pytest.raises(BaseException) as info:
        getattr(e, method)(source)
    assert is_panic(info.value) and str(info.value) == "failed to read cell (30, 1): ValueError: torn"
    assert source.read == 50 + 31  # nothing read after the failure
    assert_usable(e, state)


def test_an_interrupt_while_reading_a_cell_propagates_unchanged():
    e, state = fitted()
    interrupt = KeyboardInterrupt()
    with pytest.raises(KeyboardInterrupt) as info:
        e.encode(Lying(50, (10, 0), interrupt))
    assert info.value is interrupt
    assert_usable(e, state)


class Word:
    def __init__(self, text):
        self.text = text

    def __str__(self):
        if isinstance(self.text, BaseException):
            raise self.text
        return self.text


@pytest.mark.parametrize("as_frame", [False, True])
def test_str_failing_midway_is_a_panic_and_the_encoder_stays_usable(as_frame):
    e, state = fitted()
    cells = [Word(f"w{i % 5}") for i in range(40)]
    cells[25] = Word(ValueError("unprintable"))
    source = table([[cell, float(i)] for i, cell in enumerate(cells)])
    with pytest.raises(BaseException) as info:
        e.encode(pd.DataFrame(source, dtype=object) if as_frame else source)
    assert is_panic(info.value)
    assert str(info.value) == "cant convert to str: ValueError: unprintable"
    assert_usable(e, state)


def _broken_arrow_array(kind):
    """An Arrow array of three cells that breaks its layout as `kind` says,
    which pyarrow builds without a full check."""
    pa = pytest.importorskip("pyarrow")
    data = pa.py_buffer(b"abcdef")
    if kind in ("utf8 offsets out of order", "large_utf8 offsets out of order"):
        width, arrow_type = (np.int32, pa.string()) if kind.startswith("utf8") else \
            (np.int64, pa.large_string())
        offsets = pa.py_buffer(np.array([0, 5, 2, 6], dtype=width).tobytes())
        return pa.Array.from_buffers(arrow_type, 3, [None, offsets, data])
    if kind == "string view past its buffer":
        views = np.zeros((3, 4), dtype=np.int32)
        views[:, 0] = 1  # two short texts in their views
        views[1] = [20, 0, 0, 4]  # 20 bytes at offset 4 of a buffer of 6
        return pa.Array.from_buffers(pa.string_view(), 3, [None, pa.py_buffer(views.tobytes()), data])
    index = {"dictionary index past its values": 5, "negative dictionary index": -1}[kind]
    return pa.DictionaryArray.from_arrays(pa.array([0, index, 1], pa.int32()), pa.array(["a", "b"]),
                                          safe=False)


@pytest.mark.parametrize("kind", ["utf8 offsets out of order", "large_utf8 offsets out of order",
                                  "string view past its buffer", "dictionary index past its values",
                                  "negative dictionary index"])
def test_arrow_arrays_breaking_their_layout_are_refused_and_the_encoder_stays_usable(kind):
    e, state = fitted()
    frame = pd.DataFrame({"ok": pd.Series(["a", None, "c"], dtype="string[pyarrow]"),
                          "x": pd.arrays.ArrowExtensionArray(_broken_arrow_array(kind))})
    for method in ("encode", "decode"):
        with pytest.raises(BaseException) as info:
            getattr(e, method)(frame)
        assert is_panic(info.value) and str(info.value).startswith("failed to read column 1: ")
    assert_usable(e, state)


def test_an_array_reshaped_by_its_own_cell_is_not_read_past_its_end():
    source = np.empty((1000, 2), dtype=object)
    source[:, 0] = [f"t{i}" for i in range(1000)]
    source[:, 1] = 1.0

    class Shrinker:
        def __float__(self):
            raise TypeError

        def __str__(self):
            # Frees the array's old buffer while the scan is inside it.
            source.resize((2, 2), refcheck=False)
            return "shrunk"

    source[10, 0] = Shrinker()
    e, state = fitted()
    with pytest.raises(BaseException) as info:
        e.encode(source)
    assert is_panic(info.value) and "changed during the scan" in str(info.value)
    assert_usable(e, state)


class Labels:
    """Column labels that look like a sequence but fail while iterated; `tolist`
    (the second reading) is absent or given."""

    def __init__(self, error, tolist=None):
        self.error = error
        if tolist is not None:
            self.tolist = tolist

    def __len__(self):
        return 2

    def __getitem__(self, index):
        return ["a", "b"][index]

    def __iter__(self):
        yield "a"
        raise self.error


class DataFrame:
    """Named like pandas' frame; a cell read would fail the test."""

    shape = (1, 2)

    def __init__(self, columns):
        self.columns = columns

    @property
    def values(self):
        raise AssertionError("cells read although the labels failed")


def failing_tolist():
    raise OSError("no list either")


@pytest.mark.parametrize("labels, error, message", [
    (Labels(ValueError("broken")), AttributeError, "tolist"),
    (Labels(ValueError("broken"), failing_tolist), OSError, "no list either"),
    (Labels(ValueError("broken"), lambda: iter([1, 2])), TypeError, None),
    (Labels(ValueError("broken"), lambda: [1, "b"]), TypeError, None),
    (Labels(KeyboardInterrupt("stop")), KeyboardInterrupt, "stop"),
])
@pytest.mark.parametrize("method", ["encode", "decode"])
def test_labels_whose_iteration_raises_end_in_the_second_readings_error(labels, error, message,
                                                                        method):
    e, state = fitted()
    with pytest.raises(error, match=message):
        getattr(e, method)(DataFrame(labels))
    assert_usable(e, state)


AWKWARD = ["a\x00b", "a", "a\x00", "\x00", "z", "\uffff", "\U0001f600", "\U0010ffff", "\ud7ff",
           "\u00e9", "e\u0301", "", "nan", "\x00nan"]


def byte_order(texts):
    return sorted(set(texts) - {"nan", "NaN", "<NA>"}, key=lambda t: t.encode("utf-8"))


STRING_DTYPES = ["object", "string[python]"]
try:
    import pyarrow  # noqa: F401
    STRING_DTYPES.append("string[pyarrow]")
except ImportError:
    pass


@pytest.mark.parametrize("form", ["array"] + [f"frame of {dtype}" for dtype in STRING_DTYPES])
def test_nul_and_non_bmp_texts_are_kept_whole_and_ordered_by_utf8_bytes(form):
    texts = AWKWARD + AWKWARD[::-1]
    labels = ["l\x00a", "\U0001f600"]
    if form == "array":
        source = table([[t, t[::-1]] for t in texts])
    else:
        dtype = STRING_DTYPES[[f"frame of {d}" for d in STRING_DTYPES].index(form)]
        source = pd.DataFrame({labels[0]: texts, labels[1]: [t[::-1] for t in texts]}, dtype=dtype)
    e = Encoder()
    result, cols = e.encode(source)
    assert cols == [0, 1]
    codes = np.asarray(result, dtype=float)
    for j, column_texts in enumerate([texts, [t[::-1] for t in texts]]):
        order = byte_order(column_texts)
        # UTF-8 byte order puts U+FFFF before U+1F600, unlike UTF-16 order.
        assert labels_of(e, j) == {**{t: i for i, t in enumerate(order)},
                                   **{t: None for t in set(column_texts) & {"nan"}}}
        expected = [float(order.index(t)) if t != "nan" else None for t in column_texts]
        assert [None if np.isnan(c) else c for c in codes[:, j]] == expected
    decoded = e.decode(result)
    if form == "array":
        assert decoded.tolist() == [[t if t != "nan" else "NaN", t[::-1] if t[::-1] != "nan" else "NaN"]
                                    for t in texts]
    else:
        assert list(decoded.columns) == labels
        assert decoded[labels[0]].tolist() == [t if t != "nan" else None for t in texts]
    restored = Encoder()
    restored.__setstate__(e.__getstate__())
    assert parse_state(restored.__getstate__()) == parse_state(e.__getstate__())


def test_a_million_distinct_long_labels():
    rows = 1_000_000
    rank = np.random.default_rng(7).permutation(rows)
    tail = "-" + "\u00e9" * 20 + "x" * 35  # 64 bytes of UTF-8 per label in all
    source = np.empty((rows, 1), dtype=object)
    source[:, 0] = [f"{r:07d}{tail}" for r in rank.tolist()]
    e = Encoder()
    result, cols = e.encode(source)
    assert cols == [0]
    # Labels differ in their leading digits, so the codes are those numbers.
    assert np.array_equal(result[:, 0], rank.astype(float))
    decoded = e.decode(result)
    assert np.array_equal(decoded[:, 0], source[:, 0])
    state = e.__getstate__()
    # Tag, the column list, one column of label -> code (text, tag, code each)
    # and one of code -> label (code, text each), the strategy.
    label_bytes = 8 + len(source[0, 0].encode())
    assert len(state) == 1 + 16 + (8 + 16 + rows * (label_bytes + 9)) + (8 + 16 + rows * (8 + label_bytes)) + 4
    del decoded, result
    restored = Encoder()
    restored.__setstate__(state)
    assert restored.decode(np.array([[float(rank[0])]])).tolist() == [[source[0, 0]]]


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer reserves more address space than the limit")
def test_memory_running_out_inside_the_engine_is_a_panic():
    # In a fresh process whose address space is capped step by step: from too
    # little to read the cells, through enough for the scan but not for the
    # engine's maps, to enough for everything.
    outcomes, stderr = run_python("""
        import json, resource
        import numpy as np
        from colenc import Encoder
        from support import parse_state

        rows = 200_000
        source = np.empty((rows, 2), dtype=object)
        source[:, 0] = [f"{i:08d}" + "y" * 56 for i in range(rows)]
        source[:, 1] = [f"{i:08d}" + "z" * 56 for i in range(rows)]
        e = Encoder()
        e.encode(source)  # the pool's threads and their heaps exist from here on
        full = parse_state(e.__getstate__())
        e.encode(source[:2])
        small = parse_state(e.__getstate__())

        def address_space():
            with open("/proc/self/status") as status:
                line = next(l for l in status if l.startswith("VmSize:"))
            return int(line.split()[1]) * 1024

        _, hard = resource.getrlimit(resource.RLIMIT_AS)
        base = address_space()
        for extra_mb in range(8, 800, 8):
            resource.setrlimit(resource.RLIMIT_AS, (base + extra_mb * 2**20, hard))
            try:
                e.encode(source)
                outcome = "encoded"
            except BaseException as exc:
                outcome = type(exc).__name__ + ": " + str(exc)
            resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
            # Before the new fit is stored the old one stays; a failure while
            # building the result comes after the new fit was stored.
            state = parse_state(e.__getstate__())
            print(json.dumps([extra_mb, outcome, state == small or state == full]), flush=True)
            if outcome == "encoded":
                break
            e.encode(source[:2])
        print(json.dumps(parse_state(e.__getstate__()) == full))
    """)
    *steps, fitted_again = outcomes
    assert fitted_again is True and steps[-1][1] == "encoded"
    failures = [outcome for _, outcome, _ in steps[:-1]]
    assert all(state_known for _, _, state_known in steps)
    assert all(outcome.startswith(("PanicException: ", "MemoryError")) for outcome in failures), failures
    assert "PanicException: memory allocation failed" in failures
    assert "internal failure at src/python/runtime/panic.cpp:" in stderr  # the report, at a project path
    assert "memory allocation failed" in stderr
