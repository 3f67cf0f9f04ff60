"""How cells are read: the typing of columns, the number-to-text turn and its
two text forms, table shapes, internal failures and reference counts."""

import contextlib
import gc
import math
import re
import struct
import sys

import numpy as np
import pandas as pd
import pytest

from colenc import Encoder
from support import EMPTY_RECORD, UNFITTED, Cell, column, labels_of, parse_state, table

NAN = float("nan")
BIG = 2**1024


def fit(*cells):
    """Encodes one object column; returns its codes (None for NaN) and its label map."""
    e = Encoder()
    result, cols = e.encode(column(*cells))
    codes = [None if math.isnan(v) else v for v in result[:, 0]]
    return codes, (labels_of(e) if cols == [0] else None)


@pytest.mark.parametrize("cells, labels, codes", [
    ([1.0, 2.0, "x", 3.0], {"1": 0, "2": 1, "3.0": 2, "x": 3}, [0, 1, 3, 2]),
    ([None, 1.0], {"1.0": 0, "None": 1}, [1, 0]),
    ([1.0, None], {"1": 0, "None": 1}, [0, 1]),
    ([NAN, "a", NAN], {"NaN": None, "a": 0, "nan": None}, [None, 0, None]),
    ([1.0, "a", 1.0], {"1": 0, "1.0": 1, "a": 2}, [0, 2, 1]),
    ([2**60, BIG, 2**60], {"1152921504606847000": 1, str(BIG): 2, "1152921504606846976": 0},
     [1, 2, 0]),
    ([True, False, "x", True, False], {"0": 0, "1": 1, "False": 2, "True": 3, "x": 4},
     [1, 0, 4, 3, 2]),
    (["1.5", 2.0], {"1.5": 0, "2.0": 1}, [0, 1]),
    ([b"ab", 1.0], {"1.0": 0, "b'ab'": 1}, [1, 0]),
    ([pd.NA, "a", pd.NA], {"<NA>": None, "a": 0}, [None, 0, None]),
    (["x", None, np.float64(1.5), np.int64(3), 1e21, np.bool_(True), BIG],
     {"1.5": 0, str(BIG): 1, "1e+21": 2, "3": 3, "None": 4, "True": 5, "x": 6}, None),
    ([Cell(as_float=ZeroDivisionError, as_str="z"), 1.5], {"1.5": 0, "z": 1}, [1, 0]),
    ([1.0, Cell(as_float="not a float", as_str="s")], {"1": 0, "s": 1}, [0, 1]),
    ([2.0, Cell(as_float=OverflowError, as_str="o"), 2.0], {"2": 0, "2.0": 1, "o": 2}, [0, 2, 1]),
])
def test_cells_get_labels_by_their_side_of_the_turn(cells, labels, codes):
    got_codes, got_labels = fit(*cells)
    assert got_labels == labels
    if codes is not None:
        assert got_codes == codes


@pytest.mark.parametrize("value, label", [
    (1.0, "1"), (2.5, "2.5"), (0.1, "0.1"), (1e21, "1000000000000000000000"),
    (1e-7, "0.0000001"), (-0.0, "-0"), (0.0, "0"), (-2.5, "-2.5"), (100.0, "100"),
    (float("inf"), "inf"), (float("-inf"), "-inf"), (1 / 3, "0.3333333333333333"),
    (1.23e-18, "0.00000000000000000123"), (123456789.125, "123456789.125"),
    (2.0**64, "18446744073709552000"), (5e-324, "0." + "0" * 323 + "5"),
    (1.7976931348623157e308, "17976931348623157" + "0" * 292),
    (np.float32(0.1), "0.10000000149011612"), (np.int64(-7), "-7"), (2**53 + 1, "9007199254740992"),
    (NAN, "NaN"),
])
def test_numbers_above_the_turn_use_the_shortest_positional_form(value, label):
    expected = {"NaN": None, "x": 0} if label == "NaN" else {label: 0, "x": 1}
    assert fit(value, "x")[1] == expected


class IndexLike:
    def __index__(self):
        return 7


@pytest.mark.parametrize("cell, value", [
    (Cell(as_float=2.5), 2.5), (IndexLike(), 7.0), (True, 1.0), (np.uint8(200), 200.0),
    (np.float16(0.5), 0.5), (2**1023, float(2**1023)), (float("inf"), float("inf")),
    (-0.0, -0.0), (NAN, NAN), (np.float64(-np.inf), -np.inf),
])
def test_cells_that_convert_to_float_stay_numbers_bit_for_bit(cell, value):
    result, cols = Encoder().encode(column(cell, 1.0))
    assert cols == [] and struct.pack("<d", result[0, 0]) == struct.pack("<d", value)


_MIXED = table([["b", 1, 2.5, "x"], ["a", 3, NAN, 4.0], ["c", 5, 6.0, "y"], ["a", 7, 8.0, "x"]])


@pytest.mark.parametrize("base", [_MIXED, np.arange(16, dtype=np.int32).reshape(4, 4),
                                  np.arange(16, dtype=">i8").reshape(4, 4)])
@pytest.mark.parametrize("view", [lambda a: a[::-1], lambda a: a.T, lambda a: a[:, ::2],
                                  np.asfortranarray, lambda a: a[1:, 1:], lambda a: a[::-2, ::-1]])
def test_array_views_read_like_their_contiguous_copies(base, view):
    source = view(base)
    results = []
    for obj in (source, np.ascontiguousarray(source)):
        e = Encoder()
        result, cols = e.encode(obj)
        results.append((result.tobytes(), cols, parse_state(e.__getstate__())))
    assert results[0] == results[1]


class Stop(BaseException):
    pass


def _beside_others(*cells):
    """A frame whose column "x" holds `cells` halfway down, after cells like
    its first, with object text columns on either side: read side by side
    on the pool."""
    rows = 100_000
    words = np.array([f"w{k % 50}" for k in range(rows)], dtype=object)
    x = np.full(rows, 0.5 if isinstance(cells[0], float) else "y", dtype=object)
    x[rows // 2:rows // 2 + len(cells)] = cells
    return pd.DataFrame({"a": words, "x": x, "b": words[::-1]})


@pytest.mark.parametrize("make", [column, _beside_others], ids=["column", "beside others"])
@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, Stop])
@pytest.mark.parametrize("where", ["float", "str"])
def test_non_exception_errors_in_a_cell_propagate_unchanged(exc, where, make):
    e = Encoder()
    e.encode(column("a"))
    before = e.__getstate__()
    raised = exc("stop")
    cell = Cell(as_float=raised) if where == "float" else Cell(as_str=raised)
    with pytest.raises(exc) as info:
        e.encode(make(1.0, cell) if where == "float" else make("x", cell))
    assert info.value is raised
    assert e.__getstate__() == before
    assert e.encode(column("q"))[1] == [0]


@pytest.mark.parametrize("text", ["\ud800", "a\udc80b", "\ud800\udc00", "\udfff\u00e9"])
def test_lone_surrogates_become_three_replacement_characters_each(text):
    expected = text.encode("utf-8", "surrogatepass").decode("utf-8", "replace")
    assert expected.count("\ufffd") == 3 * sum(0xD800 <= ord(c) <= 0xDFFF for c in text)
    e = Encoder()
    result, _ = e.encode(column(text, "z"))
    order = sorted([expected, "z"], key=lambda s: s.encode())
    assert labels_of(e) == {label: code for code, label in enumerate(order)}
    assert e.decode(result)[:, 0].tolist() == [expected, "z"]


@pytest.mark.parametrize("cells, detail", [
    ([Cell(as_str=ValueError("boom"))], "boom"), (["x", Cell(as_str=ValueError("boom"))], "boom"),
    ([1.0, Cell(as_str=ValueError("boom"))], "boom"), (["x", Cell(as_str=5)], "TypeError"),
])
@pytest.mark.parametrize("make", [column, _beside_others], ids=["column", "beside others"])
def test_failing_str_is_an_internal_failure(panic, capfd, cells, detail, make):
    e = Encoder()
    e.encode(column("a"))
    before = e.__getstate__()
    with panic("cant convert to str: ") as info:
        e.encode(make(*cells))
    assert detail in str(info.value)
    report = capfd.readouterr().err
    assert "cant convert to str" in report
    # The report names its place relative to the project, never by a build path.
    place = re.search(r"internal failure at (\S+):\d+ ", report).group(1)
    assert place.startswith("src/python/") and place.endswith(".cpp"), report
    assert e.__getstate__() == before


class _Fake:
    """Makes objects named "ndarray" of a given shape whose cells come from
    cell(key); records every key fetched."""

    def __init__(self, shape, cell=lambda key: float(key[0] * 10 + key[1])):
        self.fetched = []
        fetch = lambda me, key: self.fetched.append(key) or cell(key)  # noqa: E731
        self.kind = type("ndarray", (), {"__getitem__": fetch})
        if shape != "missing":
            self.kind.shape = shape


@pytest.mark.parametrize("shape", [
    "missing", (2,), (2, 2, 1), [2, 2], (-1, 2), (2, -1), (2, "2"), (2.0, 2), (2**64, 1),
    (2**32, 2**32), (2**61, 1), np.array(["a", "b"], dtype=object), np.zeros((2, 2, 2), dtype=object),
    np.array([1.0, 2.0]), np.zeros((1, 1, 1)), np.array(1.0),
])
@pytest.mark.parametrize("method", ["encode", "decode"])
def test_tables_that_are_not_two_dimensional_fail_before_any_cell_is_read(panic, shape, method):
    fake = None if isinstance(shape, np.ndarray) else _Fake(shape)
    e = Encoder()
    with panic():
        getattr(e, method)(shape if fake is None else fake.kind())
    assert fake is None or fake.fetched == []
    assert e.__getstate__() == UNFITTED


def test_cells_are_fetched_once_each_column_by_column_with_int_pairs():
    fake = _Fake(type("Shape", (tuple,), {})((2, 2)))  # a tuple subclass is a valid shape
    result, cols = Encoder().encode(fake.kind())
    assert result.tolist() == [[0.0, 1.0], [10.0, 11.0]] and cols == []
    assert fake.fetched == [(0, 0), (1, 0), (0, 1), (1, 1)]
    assert all(type(k) is tuple and [type(i) for i in k] == [int, int] for k in fake.fetched)


def test_failed_cell_fetch_and_missing_values_are_internal_failures(panic):
    class DataFrame:
        columns = ["a"]
        shape = (1, 1)

    for broken in (_Fake((2, 1), cell=lambda key: {}[key]).kind(), DataFrame()):
        with panic():
            Encoder().encode(broken)


@pytest.mark.parametrize("dtype", [
    np.int8, np.int16, np.int32, np.int64, np.uint8, np.uint16, np.uint32, np.uint64,
    np.float16, np.float32, np.longdouble, ">f8", ">i4", "<u2", np.bool_,
])
def test_numeric_arrays_of_every_dtype_are_number_columns(dtype):
    source = np.array([[0, 1, 2], [3, 4, 5]]).astype(dtype)
    e = Encoder()
    result, cols = e.encode(source)
    assert cols == [] and result.dtype == np.float64
    np.testing.assert_array_equal(result, source.astype(np.float64))
    assert e.__getstate__() == EMPTY_RECORD


@pytest.mark.parametrize("byte_order", ["<", ">"])
def test_every_half_float_converts_exactly_as_numpy_converts_it(byte_order):
    # All 65536 bit patterns: zeros, subnormals, normals, infinities, and NaNs
    # whose sign and payload come through as NumPy keeps them.
    halves = np.arange(2**16, dtype=np.uint16).view(np.float16).reshape(256, 256)
    source = halves.astype(byte_order + "f2")
    result, cols = Encoder().encode(source)
    assert cols == []
    assert np.array_equal(result.view(np.uint64), halves.astype(np.float64).view(np.uint64))


@pytest.mark.parametrize("source, labels", [
    (np.array([["b", "a"], ["a", "nan"]]), [{"a": 0, "b": 1}, {"a": 0, "nan": None}]),
    (np.array([[b"a"], [b"1"]]), [{"b'1'": 0, "b'a'": 1}]),
    (np.array([["1.50"], ["x"]]), [{"1.50": 0, "x": 1}]),
])
def test_text_arrays_are_text_columns(source, labels):
    e = Encoder()
    _, cols = e.encode(source)
    assert cols == list(range(len(labels)))
    assert [labels_of(e, c) for c in cols] == labels


@pytest.mark.parametrize("source", [
    np.empty((0, 3), dtype=object), np.empty((3, 0), dtype=object), np.empty((0, 0), dtype=object),
    pd.DataFrame({"a": pd.Series([], dtype=object), "b": pd.Series([], dtype=object)}),
])
def test_tables_without_cells_have_no_text_columns(source):
    e = Encoder()
    result, cols = e.encode(source)
    assert cols == [] and result.shape == source.shape
    assert e.__getstate__() == EMPTY_RECORD


def test_dataframe_cells_are_read_through_values():
    frame = pd.DataFrame({"s": ["b", "a", None], "n": [1, 2, 3], "f": [0.5, NAN, 1.5],
                          "o": pd.Series([True, "yes", 2.5], dtype=object),
                          "i": pd.array([1, None, 3], dtype="Int64")})
    e = Encoder()
    result, cols = e.encode(frame)
    assert cols == [0, 3, 4]
    assert labels_of(e, 4) == {"1": 0, "3": 1, "<NA>": None}
    assert result["n"].tolist() == [1.0, 2.0, 3.0]
    assert result["f"].isna().tolist() == [False, True, False]
    assert labels_of(e, 0) in ({"a": 0, "b": 1, "nan": None}, {"a": 0, "b": 1, "None": 2})
    assert labels_of(e, 3) == {"1": 0, "2.5": 1, "yes": 2}


@pytest.mark.parametrize("failing", [False, True])
def test_cell_reference_counts_are_unchanged(panic, failing):
    cells = [Cell(as_float=1.0), Cell(), Cell(as_float=2.0), Cell(as_str=ValueError if failing else "v")]
    cells += [float(i) + 0.5 for i in range(3)] + [f"s{i}" * 3 for i in range(3)]
    source = table([[c, c] for c in cells])
    frame = pd.DataFrame(source, columns=["a", "b"], dtype=object)
    watched = cells + [source, frame]
    before = [sys.getrefcount(o) for o in watched]
    e = Encoder()
    for call, obj in [(e.encode, source), (e.encode, frame), (e.decode, source), (e.decode, frame)]:
        with panic() if failing else contextlib.nullcontext():
            call(obj)
    del call, obj
    gc.collect()
    assert [sys.getrefcount(o) for o in watched] == before
