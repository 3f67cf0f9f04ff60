"""encode and decode end to end: codes, the stored fit, both result forms,
the borrow rules, and a randomized round trip."""

import math
import random

import numpy as np
import pandas as pd
import pytest

from colenc import Encoder
from support import UNFITTED, Cell, column, labels_of, parse_state, table

NAN = float("nan")


def codes_of(result, col=0):
    return [None if math.isnan(v) else v for v in np.asarray(result, dtype=float)[:, col]]


def test_object_array_round_trip(capfd):
    e = Encoder()
    result, cols = e.encode(table([["b", 1.5], ["a", 2.0], ["b", 3.0]]))
    assert type(result) is np.ndarray and result.dtype == np.float64
    assert result.tolist() == [[1.0, 1.5], [0.0, 2.0], [1.0, 3.0]]
    assert type(cols) is list and cols == [0] and type(cols[0]) is int
    decoded = e.decode(result)
    assert decoded.dtype == object
    assert decoded.tolist() == [["b", 1.5], ["a", 2.0], ["b", 3.0]]
    assert [type(v) for v in decoded[0]] == [str, float]
    assert capfd.readouterr() == ("", "")  # no log


@pytest.mark.parametrize("cells, codes", [
    (["b", "a", "b"], [1, 0, 1]), (["10", "2", "9"], [0, 1, 2]), (["z", "\u00e9"], [0, 1]),
    (["\U0001f600", "\uffff", "\u00e9"], [2, 1, 0]), (["b", "ab", "a"], [2, 1, 0]),
    (["M", "NaN", "O"], [0, None, 1]), (["<NA>", "a", "0"], [None, 1, 0]), (["", "a", ""], [0, 1, 0]),
    (["a", "A", "a "], [1, 0, 2]), (["same"] * 3, [0, 0, 0]), (["x"], [0]), (["nan"], [None]),
    (["a\x00b", "a", "a\x00"], [2, 0, 1]),
    (["NAN", "Nan", "nAn", "NA", "null", "None", "none", "<na>"], [2, 3, 5, 1, 7, 4, 6, 0]),
])
def test_codes_are_dense_in_byte_order_and_missing_labels_get_none(cells, codes):
    e = Encoder()
    result, _ = e.encode(column(*cells))
    assert codes_of(result) == codes
    fitted = parse_state(e.__getstate__())
    assert fitted[2][0] == {c: cells[i] for i, c in enumerate(codes) if c is not None}


def test_column_of_only_missing_labels():
    e = Encoder()
    result, cols = e.encode(column("nan", "<NA>", "NaN", "nan"))
    assert cols == [0] and codes_of(result) == [None] * 4
    assert result.view(np.uint64).tolist() == [[0x7FF8000000000000]] * 4
    _, label_to_code, code_to_label = parse_state(e.__getstate__())
    assert label_to_code == {0: {"nan": None, "<NA>": None, "NaN": None}} and code_to_label == {0: {}}
    assert e.decode(result)[:, 0].tolist() == ["NaN"] * 4
    frame = e.decode(pd.DataFrame(result, columns=["m"]))
    assert frame["m"].dtype == object and frame["m"].tolist() == [None] * 4


def test_encode_refits_from_scratch():
    e = Encoder()
    e.encode(table([["a", "u"], ["b", "v"]]))
    result, cols = e.encode(table([[1.0, "z"], [2.0, "x"], [3.0, "y"]]))
    assert cols == [1]
    fresh = Encoder()
    fresh.encode(table([[1.0, "z"], [2.0, "x"], [3.0, "y"]]))
    assert parse_state(e.__getstate__()) == parse_state(fresh.__getstate__())
    assert e.decode(np.array([[0.0, 0.0], [1.0, 2.0]])).tolist() == [[0.0, "x"], [1.0, "z"]]
    e.encode(np.zeros((1, 1)))
    assert e.__getstate__() == UNFITTED


@pytest.mark.parametrize("bad", [
    [["a"]], np.array(["a"], dtype=object), column("x", Cell(as_str=ValueError)),
    pd.DataFrame([["a"]], columns=[1.5], dtype=object),
])
def test_failed_encode_keeps_the_stored_fit(bad):
    e = Encoder()
    e.encode(column("b", "a"))
    before = e.__getstate__()
    with pytest.raises(BaseException):
        e.encode(bad)
    assert e.__getstate__() == before
    assert e.decode(np.array([[1.0]])).tolist() == [["b"]]


def test_encode_that_fails_building_its_result_has_already_stored_the_new_fit():
    class DataFrame:
        columns = ["only"]
        shape = (1, 2)
        values = table([["x", "y"]])

    e = Encoder()
    with pytest.raises(ValueError):
        e.encode(DataFrame())
    assert parse_state(e.__getstate__())[0] == [0, 1]


CODES = [7.0, NAN, 1.9, -3.0, 0.0, np.inf, -np.inf, 1e30, 0.999, 2.0**64, 7.0, NAN, 1.0]
LABELS = ["NaN", "NaN", "b", "a", "a", "NaN", "a", "NaN", "a", "NaN", "NaN", "NaN", "b"]


# Once, and repeated into a column that several pool tasks decode in parts.
@pytest.mark.parametrize("repeats", [1, 20_011])
def test_decoding_truncates_codes_and_marks_unknown_ones(repeats):
    codes, labels = CODES * repeats, LABELS * repeats
    e = Encoder()
    e.encode(column("a", "b"))
    decoded = e.decode(np.array(codes).reshape(-1, 1))
    assert decoded.dtype == object and decoded[:, 0].tolist() == labels
    assert all(type(v) is str for v in decoded[:, 0])
    e.encode(pd.DataFrame({"n": [1.0, 2.0], "c": ["a", "b"]}))
    for _ in range(2):  # the second decode shares the strs the first made
        frame = e.decode(pd.DataFrame({"n": np.arange(len(codes), dtype=float), "c": codes}))
        assert frame["c"].dtype == object and frame["n"].dtype == np.float64
        assert frame["c"].tolist() == [None if v == "NaN" else v for v in labels]
        assert frame["n"].tolist() == list(range(len(codes)))


def _layouts(matrix):
    """The same float64 cells in the layouts an array can have."""
    unaligned = np.frombuffer(b"\0" + matrix.tobytes(), dtype=np.float64, offset=1)
    return {
        "C": matrix,
        "Fortran": np.asfortranarray(matrix),
        "reversed": np.ascontiguousarray(matrix[::-1, ::-1])[::-1, ::-1],
        "strided": np.repeat(matrix, 2, axis=1)[:, ::2],
        "unaligned": unaligned.reshape(matrix.shape),
    }


@pytest.mark.parametrize("layout", ["C", "Fortran", "reversed", "strided", "unaligned"])
def test_float64_arrays_decode_alike_in_every_layout(layout):
    e = Encoder()
    e.encode(table([("a", 1.5), ("b", 2.5)]))
    matrix = np.column_stack([np.array(CODES), np.arange(len(CODES), dtype=float) - 0.5])
    decoded = e.decode(_layouts(matrix)[layout])
    assert decoded.dtype == object and decoded.shape == matrix.shape
    assert decoded[:, 0].tolist() == LABELS
    assert decoded[:, 1].tolist() == (np.arange(len(CODES)) - 0.5).tolist()
    assert all(type(v) is float for v in decoded[:, 1])


def test_decode_refits_a_text_column_and_reads_its_codes_through_the_stored_fit():
    e = Encoder()
    e.encode(column("a", "b"))
    before = e.__getstate__()
    decoded = e.decode(table([["y", 1.0], ["x", 2.0]]))
    assert decoded.tolist() == [["b", 1.0], ["a", 2.0]]
    assert type(decoded[0, 1]) is float
    assert e.__getstate__() == before


def test_dataframe_results_get_a_default_index_and_text_labels():
    frame = pd.DataFrame({0: ["b", "a", "b"], 1: [1.0, 2.0, 3.0]}, index=[10, 20, 30])
    e = Encoder()
    result, _ = e.encode(frame)
    decoded = e.decode(frame)
    for out in (result, decoded):
        assert list(out.index) == [0, 1, 2] and list(out.columns) == ["0", "1"]
    assert decoded["0"].tolist() == ["b", "a", "b"] and decoded["1"].tolist() == [1.0, 2.0, 3.0]


def test_duplicate_column_labels_are_decoded_by_position():
    frame = pd.DataFrame([["x", 1.5, "p", 2.5], ["y", 3.5, "q", 4.5], ["x", 5.5, "r", 6.5]],
                         columns=["a", "a", "b", "b"], dtype=object)
    e = Encoder()
    result, cols = e.encode(frame)
    assert cols == [0, 2] and list(result.columns) == ["a", "a", "b", "b"]
    decoded = e.decode(result)
    assert list(decoded.columns) == ["a", "a", "b", "b"]
    assert [str(t) for t in decoded.dtypes] == ["object", "float64", "object", "float64"]
    assert decoded.T.values.tolist() == [["x", "y", "x"], [1.5, 3.5, 5.5], ["p", "q", "r"], [2.5, 4.5, 6.5]]

    twins = pd.DataFrame([["x", "p"], ["y", "q"]], columns=["k", "k"], dtype=object)
    e.encode(twins)
    decoded = e.decode(twins)
    assert decoded.iloc[:, 0].tolist() == ["x", "y"] and decoded.iloc[:, 1].tolist() == ["p", "q"]


def test_decoding_a_table_without_text_columns():
    e = Encoder()
    e.encode(np.array([[1, 2]], dtype=np.int64))
    decoded = e.decode(np.array([[1.5, 2.5]]))
    assert decoded.dtype == object and decoded.tolist() == [[1.5, 2.5]]
    assert all(type(v) is float for v in decoded[0])
    frame = e.decode(pd.DataFrame({"a": [1.5], "b": [2.5]}))
    assert [str(t) for t in frame.dtypes] == ["float64", "float64"]


def test_stored_fit_wider_than_the_table(panic):
    e = Encoder()
    e.encode(table([[1.0, 2.0, "a"]]))
    with panic():
        e.decode(np.zeros((1, 2)))
    empty = e.decode(np.zeros((0, 2)))
    assert empty.dtype == object and empty.shape == (0, 2)

    e.encode(pd.DataFrame({"x": [1.0], "y": [2.0], "z": ["a"]}))
    with panic():
        e.decode(pd.DataFrame({"x": [0.0], "y": [0.0]}))
    with panic("index out of bounds: the len is 2 but the index is 2"):
        e.decode(pd.DataFrame({"x": [], "y": []}, dtype=float))
    assert e.decode(np.array([[0.0, 0.0, 0.0]])).tolist() == [[0.0, 0.0, "a"]]


class Reenter:
    """A cell whose text conversion calls back into the encoder and records the outcome."""

    def __init__(self, call, swallow=True):
        self.call, self.swallow, self.seen = call, swallow, []

    def __str__(self):
        try:
            self.call()
            self.seen.append(None)
        except Exception as exc:
            self.seen.append((type(exc), str(exc)))
            if not self.swallow:
                raise
        return "r"


# Inner calls whose arguments would fail only after the access check.
INNER = {"encode": lambda e: e.encode([1]), "decode": lambda e: e.decode(np.zeros((1, 1))),
         "__getstate__": lambda e: e.__getstate__(), "__setstate__": lambda e: e.__setstate__(None),
         "encode()": lambda e: e.encode()}
BORROWED, SHARED = (RuntimeError, "Already borrowed"), (RuntimeError, "Already mutably borrowed")


@pytest.mark.parametrize("outer, inner, outcome", [
    ("encode", "encode", BORROWED), ("encode", "__setstate__", BORROWED), ("encode", "decode", SHARED),
    ("encode", "__getstate__", SHARED), ("decode", "encode", BORROWED), ("decode", "__setstate__", BORROWED),
    ("decode", "decode", None), ("decode", "__getstate__", None),
    ("encode", "encode()", (TypeError, "Encoder.encode() missing 1 required positional argument: 'obj'")),
])
def test_calls_from_inside_a_running_call_follow_the_borrow_rules(outer, inner, outcome):
    e = Encoder()
    e.encode(column("q", "p"))
    before = e.__getstate__()
    cell = Reenter(lambda: INNER[inner](e))
    result = getattr(e, outer)(column("a", cell))
    assert cell.seen == [outcome]
    if outer == "encode":
        assert result[1] == [0] and labels_of(e) == {"a": 0, "r": 1}
    else:
        assert e.__getstate__() == before
    assert e.encode(column("z"))[1] == [0]


def test_reentrant_encode_error_ends_the_outer_encode_as_a_failed_cell(panic):
    e = Encoder()
    e.encode(column("q"))
    before = e.__getstate__()
    cell = Reenter(lambda: e.encode(np.zeros((1, 1))), swallow=False)
    with panic("cant convert to str"):
        e.encode(column("a", cell))
    assert cell.seen == [BORROWED]
    assert e.__getstate__() == before
    assert e.encode(column("z"))[1] == [0]


def _random_table(seed):
    """Returns a seeded object table and its text columns; no cell is a missing-value label."""
    rng = random.Random(seed)
    alphabet = "abcXYZ019 _-.\t\x00\u00e9\u20ac\U0001f600"
    rows, width = rng.choice([1, 2, 37, 3000]), rng.randint(1, 9)
    text_cols = [j for j in range(width) if rng.random() < 0.6]
    columns = []
    for j in range(width):
        if j in text_cols:
            words = {"".join(rng.choices(alphabet, k=rng.randint(0, 6))) for _ in range(rng.choice([1, 9, 60, 5000]))}
            pool = sorted(words - {"nan", "NaN", "<NA>"}) or ["w"]
            columns.append([rng.choice(pool) for _ in range(rows)])
        else:
            columns.append([rng.choice([rng.uniform(-1e6, 1e6), NAN, np.inf, -0.0, 3.0]) for _ in range(rows)])
    return table(list(zip(*columns))), text_cols


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("as_frame", [False, True])
def test_encode_then_decode_restores_every_text_cell(seed, as_frame):
    source, text_cols = _random_table(seed)
    obj = pd.DataFrame(source, dtype=object) if as_frame else source
    e = Encoder()
    result, cols = e.encode(obj)
    assert cols == text_cols
    encoded = np.asarray(result, dtype=float)
    decoded = np.asarray(e.decode(result), dtype=object)
    for j in range(source.shape[1]):
        if j in text_cols:
            order = sorted(set(source[:, j]), key=lambda s: s.encode())
            assert encoded[:, j].tolist() == [float(order.index(t)) for t in source[:, j]]
            assert decoded[:, j].tolist() == source[:, j].tolist()
        else:
            np.testing.assert_array_equal(decoded[:, j].astype(float), source[:, j].astype(float))
