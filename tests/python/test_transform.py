"""Encoder.transform: a table coded with the stored fit, never changing it.
Fitted text columns are labelled as encode labels them and looked up;
columns the fit holds as numbers keep every cell that converts; labels the
fit lacks give NaN, an error naming them, or one past the column's last code.
(Every reader is compared with a model of transform in test_fast_paths.)"""

import os
import threading

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from colenc import Encoder
from support import Cell, column, make_state, parse_state, table
from test_properties import floats, texts

SANITIZED = os.environ.get("COLENC_SANITIZED") == "1"
NAN = float("nan")


def fitted(obj):
    e = Encoder()
    e.encode(obj)
    return e


def same(a, b):
    a = a.to_numpy() if isinstance(a, pd.DataFrame) else a
    b = b.to_numpy() if isinstance(b, pd.DataFrame) else b
    return np.array_equal(np.asarray(a, dtype=np.float64).view(np.uint64),
                          np.asarray(b, dtype=np.float64).view(np.uint64))


def test_a_test_table_gets_the_codes_of_the_training_table():
    train = pd.DataFrame({"city": ["Oslo", "Bern", "nan", "Oslo"], "age": [31, 45, 27, 38]})
    test = pd.DataFrame({"city": ["Bern", "Paris", "<NA>", "Oslo"], "age": [50, 61, 19, 22]},
                        index=[7, 8, 9, 10])
    e = fitted(train)
    state = e.__getstate__()
    for unknown, paris in [("nan", NAN), ("code", 2.0)]:
        result, text_columns = e.transform(test, unknown=unknown)
        assert text_columns == [0]
        assert list(result.columns) == ["city", "age"] and list(result.index) == [0, 1, 2, 3]
        assert result.dtypes.tolist() == [np.float64, np.float64]
        assert same(result, [[0, 50], [paris, 61], [NAN, 19], [1, 22]])
    with pytest.raises(ValueError, match=r"^column 'city', row 1: 'Paris' is not a label of the fit$"):
        e.transform(test, "error")
    assert e.__getstate__() == state
    # An unseen label's "code" decodes as missing.
    assert e.decode(e.transform(test, unknown="code")[0])["city"].tolist() == ["Bern", None, None, "Oslo"]


# A fitted text column and a column of the new table: numbers above the turn
# are labelled in the number format, from the turn on by str().
TEXT_COLUMN_CASES = {
    # fit column, new column, expected codes ("?" for unknown)
    "numbers above the turn": ([1.0, "a", 1.0], [1.0, "a", 1.0], [0, 2, 1]),
    "no turn: number format": ([1.0, "a", 1.0], [1.0, 2.0, True], [0, "?", 0]),
    "turn at the first row: str()": ([1.0, "a", 1.0], ["a", 1.0, 2], [2, 1, "?"]),
    "missing labels met or not": (["a", "nan"], ["nan", "NaN", "<NA>", NAN, None], [NAN, NAN, NAN, NAN, "?"]),
    "a NaN above and below the turn": ([NAN, "x"], [NAN, "x", NAN], [NAN, 0, NAN]),
    "bools": ([True, "x", False], [True, "x", True], [0, 2, "?"]),
}


@pytest.mark.parametrize("unknown", ["nan", "code"])
@pytest.mark.parametrize("case", list(TEXT_COLUMN_CASES))
def test_fitted_text_columns_label_cells_as_encode(case, unknown):
    fit, new, expected = TEXT_COLUMN_CASES[case]
    e = fitted(column(*fit))
    next_code = len([k for k in parse_state(e.__getstate__())[1][0].values() if k is not None])
    want = [(NAN if unknown == "nan" else next_code) if x == "?" else x for x in expected]
    assert same(e.transform(column(*new), unknown=unknown)[0], np.array(want, dtype=float)[:, None])
    assert same(e.transform(pd.DataFrame({"c": pd.Series(new, dtype=object)}), unknown)[0],
                np.array(want, dtype=float)[:, None])


@pytest.mark.parametrize("cells, expected, unknown_row", [
    ([2.5, np.float32(0.5), True, 7, 2**70], [2.5, 0.5, 1.0, 7.0, 2.0**70], None),
    (["1.5", 1.5, "x"], [NAN, 1.5, NAN], 0),
    ([pd.NA, "nan", NAN, -0.0], [NAN, NAN, NAN, -0.0], None),
    ([None, 1.0], [NAN, 1.0], 0),
    ([Cell(as_float=4.0, as_str="four"), Cell(as_str="<NA>"), Cell(as_str="z")], [4.0, NAN, NAN], 2),
])
def test_number_columns_keep_every_cell_that_converts(cells, expected, unknown_row):
    e = fitted(table([["a", 0.0]]))
    new = table([["a", cell] for cell in cells])
    assert same(e.transform(new)[0][:, 1], expected)
    assert same(e.transform(new, "code")[0][:, 1], expected)  # no code for a number column
    if unknown_row is None:
        assert same(e.transform(new, "error")[0][:, 1], expected)
    else:
        with pytest.raises(ValueError, match=rf"^column 1, row {unknown_row}: .* in a column the fit holds as numbers$"):
            e.transform(new, "error")


def test_a_number_columns_payload_and_sign_pass_bit_for_bit():
    payload = np.array([0x7FF0000000000123, 0x8000000000000000, 0xFFF8000000000001],
                       dtype=np.uint64).view(np.float64)
    e = fitted(table([["a", 1.0]]))
    new = table([["a", float(x)] for x in payload])
    assert same(e.transform(new)[0][:, 1], payload)
    assert same(e.transform(np.column_stack([np.zeros(3), payload]))[0][:, 1], payload)


def test_a_float64_array_is_read_as_numbers():
    e = fitted(table([[1.0, "x"], [2.5, 3.0]]))  # column 1: labels "x", "3.0"
    e.__setstate__(make_state([1], {1: {"x": 0, "3": 1, "2.5": 2}}, {1: {0: "x", 1: "3", 2: "2.5"}}))
    codes = np.array([[1.0, 3.0], [7.0, 2.5], [NAN, 4.0]])
    result, text_columns = e.transform(codes)
    assert text_columns == [1] and result is not codes
    assert same(result, [[1.0, 1.0], [7.0, 2.0], [NAN, NAN]])


def test_the_first_unknown_cell_is_named_by_column_then_row():
    e = fitted(pd.DataFrame({"a": ["x"], "b": [1.0], "c": ["y"]}))
    new = pd.DataFrame({"a": ["x", "x", "x"], "b": [1.0, 2.0, "s"], "c": ["y", "no", "y"]})
    with pytest.raises(ValueError, match=r"^column 'b', row 2: 's' is neither"):
        e.transform(new, unknown="error")
    with pytest.raises(ValueError, match=r"^column 2, row 1: 'no' is not"):
        e.transform(new.assign(b=[1.0, 2.0, 3.0]).to_numpy(), unknown="error")
    long = "é" * 100
    with pytest.raises(ValueError, match=rf"^column 0, row 0: '{'é' * 40}\.\.\.' is not a label"):
        e.transform(table([[long, 1.0, "y"]]), unknown="error")


def _unfitted_by_state():
    e = fitted(table([["a"]]))
    e.__setstate__(b"\x00" * 5)
    return e


@pytest.mark.parametrize("make", [
    Encoder,
    lambda: fitted(np.zeros((2, 2))),  # a float64 encode keeps no fit
    _unfitted_by_state,
], ids=["new", "after float64 encode", "unfitted state"])
def test_transform_needs_a_fit(make):
    with pytest.raises(ValueError, match="^this Encoder has no fit"):
        make().transform(table([["a"]]))


def test_refusals_before_any_cell_is_read():
    e = fitted(table([[1.0, "a", "b"]]))
    with pytest.raises(ValueError, match=r"^the fit's text column 1 lies beyond the table's 1 column$"):
        e.transform(table([[Cell(as_str=AssertionError)]]))
    with pytest.raises(TypeError, match=r"^'NoneType' object is not an instance of 'str'$|^'None' is not"):
        e.transform(table([["a"] * 3]), unknown=None)
    with pytest.raises(ValueError, match=r"^unknown must be 'nan', 'error' or 'code', not 'NaN'$"):
        e.transform(table([["a"] * 3]), unknown="NaN")
    with pytest.raises(TypeError, match=r"takes from 1 to 2 positional arguments but 3 were given"):
        e.transform(table([["a"] * 3]), "nan", "nan")
    assert Encoder.transform.__text_signature__ == "($self, obj, unknown='nan')"
    # A table wider than the fit: its other columns are number columns.
    assert same(e.transform(table([[1, "a", "b", 5]]))[0], [[1, 0, 0, 5]])
    # No rows: nothing to code.
    assert e.transform(np.empty((0, 3), dtype=object))[0].shape == (0, 3)


@st.composite
def tables(draw):
    rows = draw(st.integers(1, 25))
    kinds = draw(st.lists(st.sampled_from(["text", "number", "mixed"]), min_size=1, max_size=11))
    cells = {"text": texts, "number": floats, "mixed": st.one_of(texts, floats, st.booleans())}
    source = np.empty((rows, len(kinds)), dtype=object)
    for j, kind in enumerate(kinds):
        for i, cell in enumerate(draw(st.lists(cells[kind], min_size=rows, max_size=rows))):
            source[i, j] = cell
    return source


@settings(derandomize=True, database=None, deadline=None, max_examples=40 if SANITIZED else 150,
          suppress_health_check=[HealthCheck.too_slow])
@given(source=tables(), as_frame=st.booleans(), data=st.data())
def test_transform_of_the_fitted_table_is_its_encoding(source, as_frame, data):
    obj = pd.DataFrame(source, dtype=object) if as_frame else source
    e = Encoder()
    encoded, text_columns = e.encode(obj)
    state = e.__getstate__()
    for unknown in ("nan", "error", "code"):
        transformed, columns = e.transform(obj, unknown=unknown)
        assert columns == text_columns and same(transformed, encoded)
    assert e.__getstate__() == state
    # Text columns of str cells alone label every row by str(), in any
    # subset of the rows too: a subset gets those rows' codes.
    if not text_columns:
        return
    as_texts = source.copy()
    for j in text_columns:
        as_texts[:, j] = [str(x) for x in source[:, j]]
    whole = e.encode(as_texts)[0]
    rows = data.draw(st.lists(st.integers(0, len(source) - 1), max_size=8))
    assert same(e.transform(as_texts[rows])[0], whole[rows])


def test_four_threads_transform_with_one_encoder_at_once():
    rng = np.random.default_rng(5)
    words = np.array([f"w{k}" for k in range(300)], dtype=object)
    train = np.column_stack([words[rng.integers(0, 200, 50_000)], rng.random(50_000)])
    tests = [np.column_stack([words[rng.integers(0, 300, 30_000)], rng.random(30_000)])
             for _ in range(4)]
    e = fitted(train)
    expected = [e.transform(t)[0] for t in tests]
    state = e.__getstate__()
    refused, results = [], {}
    barrier = threading.Barrier(5)

    def work(k):
        barrier.wait()
        for _ in range(5):
            results[k] = e.transform(tests[k])[0]

    def meddle():
        barrier.wait()
        for _ in range(200):
            try:
                e.encode(train)
            except RuntimeError as error:
                refused.append(str(error))

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    threads.append(threading.Thread(target=meddle))
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert all(same(results[k], expected[k]) for k in range(4))
    assert set(refused) <= {"Already borrowed"}
    assert e.__getstate__() == state  # an encode that ran refitted the same table


def test_many_rows_and_unseen_labels_in_row_ranges():
    # Tall columns are looked up in ranges on the pool, a memory of recent
    # texts in front of the fit's index.
    rng = np.random.default_rng(9)
    rows = 300_000
    words = np.array([f"word-{k}" for k in range(2_000)], dtype=object)
    train = pd.DataFrame({"w": words[rng.integers(0, 1_000, rows)]})
    e = fitted(train)
    picks = rng.integers(0, 2_000, rows)
    test = pd.DataFrame({"w": words[picks]})
    fitted_codes = {w: k for k, w in enumerate(sorted(set(train["w"])))}
    want = np.array([fitted_codes.get(w, NAN) for w in test["w"]])
    for frame in (test, test.astype("str"), test.astype("category")):
        assert same(e.transform(frame)[0]["w"].to_numpy(), want)
    assert same(e.transform(test.to_numpy())[0][:, 0], want)
