"""Which objects are tables, how a DataFrame's column labels are read, and
the float64 fast path."""

import warnings

import numpy as np
import pandas as pd
import pytest

from colenc import Encoder
from support import EMPTY_RECORD, UNFITTED, Cell, column


MyFrame = type("MyFrame", (pd.DataFrame,), {})
MyArray = type("MyArray", (np.ndarray,), {})


def _matrix():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return np.matrix([[1.0, 2.0]])


@pytest.mark.parametrize("make, name", [
    (lambda: [[1.0]], "list"), (lambda: {"a": [1.0]}, "dict"), (lambda: 3, "int"),
    (lambda: None, "NoneType"), (lambda: "abc", "str"), (lambda: (1.0,), "tuple"),
    (_matrix, "matrix"), (lambda: np.ma.masked_array([[1.0]]), "MaskedArray"),
    (lambda: pd.Series([1.0]), "Series"), (lambda: MyFrame({"a": [1.0]}), "MyFrame"),
    (lambda: np.zeros((1, 1)).view(MyArray), "MyArray"), (lambda: np.float64(1.0), "float64"),
])
@pytest.mark.parametrize("method", ["encode", "decode"])
def test_unsupported_type_is_named_on_stdout_and_refused(capfd, make, name, method):
    e = Encoder()
    e.encode(column("a"))
    before = e.__getstate__()
    obj = make()
    capfd.readouterr()
    with pytest.raises(TypeError) as info:
        getattr(e, method)(obj)
    assert str(info.value) == (f"Unsupported type: '{name}'. "
                               "Supported types are: numpy.ndarray, pandas.DataFrame")
    assert capfd.readouterr().out == name + "\n"
    assert e.__getstate__() == before


def test_dispatch_is_by_type_name_only():
    class DataFrame:
        columns = ["c"]
        shape = (2, 1)
        values = column("y", "x")

    result, cols = Encoder().encode(DataFrame())
    assert isinstance(result, pd.DataFrame) and cols == [0]
    assert list(result.columns) == ["c"] and result["c"].tolist() == [1.0, 0.0]

    del DataFrame.columns  # a "DataFrame" without labels fails on reading them
    with pytest.raises(AttributeError):
        Encoder().encode(DataFrame())


class Label(str):
    pass


@pytest.mark.parametrize("labels, expected", [
    (["a", "b"], ["a", "b"]),
    (pd.Index([Label("x"), Label("y")], dtype=object), ["x", "y"]),
    ([np.str_("p"), np.str_("q")], ["p", "q"]),
    (None, ["0", "1"]),
    ([5, -3], ["5", "-3"]),
    (pd.Index([2**63 - 1, -(2**63)], dtype=object), ["9223372036854775807", "-9223372036854775808"]),
    ([True, False], ["1", "0"]),
    (["a", "a"], ["a", "a"]),
    (["\u00e9", "c\x00d"], ["\u00e9", "c\x00d"]),
    (pd.Index(["a", "b"], name="named"), ["a", "b"]),
    (pd.Index(["a", "b"], dtype=object), ["a", "b"]),
    (pd.Index(["a", "b"], dtype="string"), ["a", "b"]),
    (pd.CategoricalIndex(["a", "b"]), ["a", "b"]),
])
@pytest.mark.parametrize("rows", [1, 5])
def test_dataframe_column_labels_become_text(labels, expected, rows):
    frame = pd.DataFrame([[1.0, "x"]] * rows, columns=labels)
    e = Encoder()
    result, cols = e.encode(frame)
    assert list(result.columns) == expected and cols == [1]
    assert [result.iloc[0, 0], result.iloc[0, 1]] == [1.0, 0.0]
    assert all(type(c) is str for c in result.columns)
    # The labels are the Index pandas makes of the texts, whatever the input's
    # own columns were, and never the input's object itself.
    for out in (result, e.transform(frame)[0], e.decode(frame)):
        pd.testing.assert_index_equal(out.columns, pd.Index(expected), exact=True)
        assert out.columns is not frame.columns
    result.columns.name = "renamed"
    assert frame.columns.name == getattr(labels, "name", None)


@pytest.mark.parametrize("storage", ["python", "pyarrow"])
def test_dataframe_column_labels_follow_the_string_options_in_force(storage):
    pytest.importorskip("pyarrow")
    frame = pd.DataFrame({"a": [1.0], "b": ["x"]})
    with pd.option_context("mode.string_storage", storage):
        expected = pd.Index(["a", "b"])
        for labels in (frame.columns, expected):
            result, _ = Encoder().encode(frame.set_axis(labels, axis=1))
            pd.testing.assert_index_equal(result.columns, expected, exact=True)
    result, _ = Encoder().encode(frame)
    pd.testing.assert_index_equal(result.columns, pd.Index(["a", "b"]), exact=True)


@pytest.mark.parametrize("labels, error", [
    ([1.5, 2.5], TypeError), ([1.0, 2.0], TypeError), (["a", 1], TypeError),
    (pd.MultiIndex.from_tuples([("a", 1), ("b", 2)]), TypeError),
    ([2**64 - 1, 1], OverflowError), (pd.Index([2**63, 0], dtype=object), OverflowError),
])
def test_unreadable_column_labels_fail_before_any_cell_is_read(labels, error):
    frame = pd.DataFrame([[Cell(as_str=AssertionError)] * 2], columns=labels, dtype=object)
    e = Encoder()
    with pytest.raises(error):
        e.encode(frame)
    with pytest.raises(error):
        e.decode(frame)
    assert e.__getstate__() == UNFITTED


@pytest.mark.parametrize("frame, shape", [
    (pd.DataFrame(index=range(3)), (3, 0)), (pd.DataFrame(), (0, 0)),
])
def test_dataframe_without_columns(frame, shape):
    result, cols = Encoder().encode(frame)
    assert isinstance(result, pd.DataFrame) and result.shape == shape and cols == []


def _memmap(array, path, dtype=np.float64):
    out = np.memmap(path / "table.bin", dtype=dtype, mode="w+", shape=array.shape)
    out[:] = array
    return out


@pytest.mark.parametrize("make", [
    lambda a, path: a, lambda a, path: np.asfortranarray(a), lambda a, path: np.hstack([a, a])[:, ::2],
    lambda a, path: a[::-1], _memmap,
])
def test_float64_fast_path_returns_a_copy_and_none(make, tmp_path):
    source = make(np.array([[1.5, np.nan], [-np.inf, -0.0], [np.inf, 2.0**60]]), tmp_path)
    e = Encoder()
    e.encode(column("a"))
    result, cols = e.encode(source)
    assert cols is None and type(result) is np.ndarray and result.dtype == np.float64
    np.testing.assert_array_equal(result, source)
    assert np.signbit(result[1, 1]) and not np.shares_memory(result, source)
    assert e.__getstate__() == UNFITTED
    decoded = e.decode(source)
    assert decoded.dtype == np.float64
    np.testing.assert_array_equal(decoded, source)


def test_integer_memmap_takes_the_main_path(tmp_path):
    e = Encoder()
    result, cols = e.encode(_memmap(np.array([[7], [8]]), tmp_path, np.int32))
    assert cols == [] and result.tolist() == [[7.0], [8.0]] and e.__getstate__() == EMPTY_RECORD


@pytest.mark.parametrize("source", [
    column("b", "a", 3.0),
    pd.DataFrame({"s": pd.Series(["b", "a", 3.0], dtype=object), "n": [1.0, 2.0, 3.0]}),
    np.array([[1.0, 2.0]]),
])
def test_decode_on_a_fresh_encoder_returns_what_encode_returns_first(source):
    expected = Encoder().encode(source)[0]
    got = Encoder().decode(source)
    assert type(got) is type(expected)
    if isinstance(expected, pd.DataFrame):
        pd.testing.assert_frame_equal(got, expected)
    else:
        assert got.dtype == np.float64
        np.testing.assert_array_equal(got, expected)
