"""Exact ndarrays and DataFrames are read straight from their storage; a
subclass that keeps the name takes the cell-by-cell path through subscription
and `values`. Both paths must give identical results: matrices bit for bit,
column lists, decoded tables and the fitted state."""

import sys
import warnings

import numpy as np
import pandas as pd
import pytest

import colenc
from support import Cell, UnknownCell, crafted_fit, model_transform, parse_state


class ndarray(np.ndarray):  # noqa: N801 - the name routes it as an array
    pass


class DataFrame(pd.DataFrame):
    @property
    def _constructor(self):
        return DataFrame


def _general(obj):
    if isinstance(obj, pd.DataFrame):
        return DataFrame(obj)
    return obj.view(ndarray)


def _run(obj, again=None):
    """Encodes, decodes and transforms `obj`; `again` makes the table anew for
    the transform when reading it may change it."""
    enc = colenc.Encoder()
    encoded, columns = enc.encode(obj)
    decoded = enc.decode(encoded)
    if columns is not None:
        # A transform with the fit of the same table gives encode's result.
        transformed, text_columns = enc.transform(obj if again is None else again())
        assert type(transformed) is type(encoded) and text_columns == columns
        assert np.array_equal(_bits(transformed), _bits(encoded))
        if isinstance(encoded, pd.DataFrame):
            assert list(transformed.columns) == list(encoded.columns)
    return encoded, columns, decoded, parse_state(enc.__getstate__())


def _bits(result):
    values = result.to_numpy() if isinstance(result, pd.DataFrame) else result
    return np.ascontiguousarray(values, dtype=np.float64).view(np.uint64)


def _same_cells(a, b):
    if isinstance(a, pd.DataFrame):
        assert list(a.columns) == list(b.columns)
        assert a.dtypes.tolist() == b.dtypes.tolist()
        a, b = a.to_numpy(dtype=object), b.to_numpy(dtype=object)
    assert a.shape == b.shape and a.dtype == b.dtype
    for x, y in zip(a.ravel().tolist(), b.ravel().tolist()):
        assert type(x) is type(y)
        assert x == y or (x != x and y != y)


def _transform_with(state, obj, unknown):
    enc = colenc.Encoder()
    enc.__setstate__(state)
    try:
        return _bits(enc.transform(obj, unknown=unknown)[0])
    except ValueError as error:
        return str(error)


def assert_transforms_agree_with_model(obj, seed=0):
    """Both roads transform `obj` with a fit unlike its own (unseen labels,
    number columns fitted as text and text columns as numbers) as the model does."""
    state = crafted_fit(obj, seed)
    for unknown in ("nan", "code", "error"):
        try:
            expected = np.ascontiguousarray(model_transform(state, obj, unknown)).view(np.uint64)
        except UnknownCell as cell:
            expected = cell.args
        for road in (obj, _general(obj)):
            got = _transform_with(state, obj if road is obj else road, unknown)
            if isinstance(expected, tuple):
                column, row = expected
                assert isinstance(got, str) and f", row {row}:" in got, got
                assert got.startswith(f"column {column}," if not isinstance(obj, pd.DataFrame)
                                      else f"column '{obj.columns[column]}',"), got
            else:
                assert not isinstance(got, str), got
                assert np.array_equal(got, expected)


def assert_roads_agree(obj):
    if np.size(obj) <= 400_000:
        assert_transforms_agree_with_model(obj)
    assert_same_results(obj, _general(obj))


def assert_same_results(first, second):
    fast, general = _run(first), _run(second)
    assert type(fast[0]) is type(general[0])
    assert np.array_equal(_bits(fast[0]), _bits(general[0]))
    assert fast[1] == general[1]
    _same_cells(fast[2], general[2])
    assert fast[3] == general[3]


WORDS = ["a", "B", "nan", "NaN", "<NA>", "", "Zürich", "é", "10", "9", "None", "🙂"]


def _random_cell(rng):
    kind = rng.integers(9)
    if kind == 0:
        return float(rng.choice([0.5, -0.0, np.inf, np.nan, 1e21, 2.0**60]))
    if kind == 1:
        return int(rng.integers(-5, 5))
    if kind == 2:
        return bool(rng.integers(2))
    if kind == 3:
        return None
    if kind == 4:
        return pd.NA
    if kind == 5:
        return np.float32(rng.random())
    return str(rng.choice(WORDS))


def _object_table(rng, rows, cols):
    out = np.empty((rows, cols), dtype=object)
    for j in range(cols):
        numeric_prefix = rng.integers(rows + 1)
        for i in range(rows):
            out[i, j] = float(rng.random()) if i < numeric_prefix else _random_cell(rng)
    return out


@pytest.mark.parametrize("seed", range(6))
def test_object_arrays_read_from_the_buffer_match_subscription(seed):
    rng = np.random.default_rng(seed)
    assert_roads_agree(_object_table(rng, int(rng.integers(0, 40)), int(rng.integers(1, 6))))


@pytest.mark.parametrize("dtype", ["?", "i1", "u1", ">i2", "<u2", "i4", ">u4", "i8", "u8",
                                   "f2", ">f4", "f4", ">f8"])
def test_numeric_arrays_converted_in_place_match_their_scalars(dtype):
    rng = np.random.default_rng(1)
    raw = rng.integers(-(2**62), 2**62, size=(7, 3)) if dtype[-2:] in ("i8", "u8") else \
        rng.normal(scale=300, size=(7, 3))
    values = np.abs(raw) if "u" in dtype else raw
    array = values.astype(dtype)
    assert_roads_agree(array)
    assert_roads_agree(np.asfortranarray(array))
    assert_roads_agree(array[::2, ::-1])


def _frame(rng, rows, string_dtype):
    text = [str(w) if rng.random() > 0.2 else None for w in rng.choice(WORDS, size=rows)]
    return pd.DataFrame({
        "f": rng.normal(size=rows),
        "i": rng.integers(-3, 3, size=rows),
        "b": rng.integers(0, 2, size=rows).astype(bool),
        "h": rng.normal(size=rows).astype(np.float16),
        "o": pd.Series(list(_object_table(rng, rows, 1)[:, 0]), dtype=object),
        "s": pd.Series(text, dtype=string_dtype),
        "missing": pd.Series([None] * rows, dtype=string_dtype),
    })


def _string_dtypes():
    dtypes = ["object", pd.StringDtype("python", na_value=np.nan), pd.StringDtype("python")]
    try:
        import pyarrow  # noqa: F401
    except ImportError:
        return dtypes
    return dtypes + [pd.StringDtype("pyarrow", na_value=np.nan), pd.StringDtype("pyarrow")]


@pytest.mark.parametrize("string_dtype", _string_dtypes(), ids=str)
@pytest.mark.parametrize("seed", range(3))
def test_dataframe_columns_read_from_their_storage_match_values(seed, string_dtype):
    rng = np.random.default_rng(seed)
    frame = _frame(rng, int(rng.integers(0, 30)), string_dtype)
    assert_roads_agree(frame)
    assert_roads_agree(frame[["f", "i"]])  # one numeric block
    assert_roads_agree(frame[["s", "missing"]])


@pytest.mark.parametrize("string_dtype", _string_dtypes(), ids=str)
def test_dataframes_of_common_dtypes_are_read_without_values(monkeypatch, string_dtype):
    reads = []
    values = pd.DataFrame.values
    monkeypatch.setattr(pd.DataFrame, "values",
                        property(lambda self: reads.append(len(self)) or values.fget(self)))
    frame = _frame(np.random.default_rng(0), 50, string_dtype)
    colenc.Encoder().encode(frame)
    assert reads == []
    # A column of stored values asks `values` for one row per distinct value.
    colenc.Encoder().encode(frame.assign(when=pd.Timestamp(0), level=pd.Categorical(["x", "y"] * 25)))
    assert reads == [2]
    colenc.Encoder().encode(frame.assign(period=pd.Period("2024-01")))
    assert reads == [2, 50]


def _stored_values(kind, rows, rng, holes):
    """A column of `rows` cells of pandas dtype `kind`, missing where `holes`
    says: at the start, around the middle, or at the end; or after the only
    row of one value, so that a column turning to text there has a value met
    only before its turn."""
    codes = rng.integers(0, 4, rows)
    if holes == "after a value's only row":
        codes[codes == 3] = 0
        codes[1] = 3
    missing = np.zeros(rows, dtype=bool)
    where = {"start": slice(0, 2), "middle": slice(rows // 2, rows // 2 + 1),
             "end": slice(rows - 1, rows), "none": slice(0, 0),
             "after a value's only row": slice(2, 3)}[holes]
    missing[where] = True
    stamps = pd.Timestamp("2024-01-01") + pd.to_timedelta(codes, unit="h")
    column = {
        "category": lambda: pd.Categorical(np.array(["b", "nan", "Zürich", "a"])[codes]),
        "category-int": lambda: pd.Categorical(codes * 10),
        "category-float": lambda: pd.Categorical(codes / 4),
        "Int64": lambda: pd.array(codes - 2, dtype="Int64"),
        "UInt8": lambda: pd.array(codes, dtype="UInt8"),
        "Float32": lambda: pd.array(codes / 3, dtype="Float32"),
        "Float64": lambda: pd.array(np.array([0.5, -0.0, np.nan, 1e21])[codes], dtype="Float64"),
        "boolean": lambda: pd.array(codes % 2 == 0, dtype="boolean"),
        "datetime64[ns]": lambda: pd.array(stamps.as_unit("ns")),
        "datetime64[s]": lambda: pd.array(stamps.as_unit("s")),
        "datetime-tz": lambda: pd.array(stamps.tz_localize("Europe/Oslo")),
        "datetime-utc[ms]": lambda: pd.array(
            (stamps + pd.to_timedelta(codes * 250, unit="ms")).as_unit("ms").tz_localize("UTC")),
        "datetime64[ns] fractions": lambda: pd.array(
            stamps + pd.to_timedelta(np.array([0, 1, 1_000, -123_456_789])[codes], unit="ns")),
        "datetime64[s] far years": lambda: pd.array(np.array(
            ["0001-01-01", "9999-12-31T23:59:59", "10000-01-01", "-0001-06-01"],
            dtype="datetime64[s]")[codes]),
        "timedelta64[ns]": lambda: pd.array(pd.to_timedelta(codes, unit="s").as_unit("ns")),
        "timedelta64 signs and fractions": lambda: pd.array(
            np.array([0, -1, 86_400_000_000_001, -123_456_789], dtype="timedelta64[ns]")[codes]),
    }.get(kind, lambda: _arrow_values(kind, codes))()
    series = pd.Series(column)
    series[missing] = None
    return series


def _arrow_values(kind, codes):
    """A pd.ArrowDtype array of Arrow type `kind`, one of four values a code."""
    pa = pytest.importorskip("pyarrow")
    texts = ["b", "nan", "Zürich", "<NA>"]
    dates = ["1969-12-31", "1900-03-01", "2024-02-29", "1970-01-01"]
    stamps = ["1950-06-01T12:00:00.25", "1969-12-31T23:59:59.999999", "2024-03-31T01:30:00",
              "1970-01-01"]
    values, arrow_type = {
        "int64[pyarrow]": (codes - 2, pa.int64()),
        "uint8[pyarrow]": (codes, pa.uint8()),
        "double[pyarrow]": (np.array([0.5, -0.0, np.nan, 1e21])[codes], pa.float64()),
        "float[pyarrow]": ((codes / 3).astype(np.float32), pa.float32()),
        "bool[pyarrow]": (codes % 2 == 0, pa.bool_()),
        "string[pyarrow]": (np.array(texts)[codes], pa.string()),
        "large_string[pyarrow]": (np.array(["NaN", "", "🙂", "a"])[codes], pa.large_string()),
        "dictionary<int32, string>": (np.array(texts)[codes], pa.dictionary(pa.int32(), pa.string())),
        "dictionary<int8, int64>": (codes * 10, pa.dictionary(pa.int8(), pa.int64())),
        "date32[pyarrow]": (np.array(dates, dtype="datetime64[D]")[codes], pa.date32()),
        "date64[pyarrow]": (np.array(dates, dtype="datetime64[D]")[codes], pa.date64()),
        "timestamp[us][pyarrow]": (np.array(stamps, dtype="datetime64[us]")[codes],
                                   pa.timestamp("us")),
        "timestamp[ns, Europe/Oslo][pyarrow]": (np.array(stamps, dtype="datetime64[ns]")[codes],
                                                pa.timestamp("ns", tz="Europe/Oslo")),
        "timestamp[ms, UTC][pyarrow]": (np.array(stamps, dtype="datetime64[ms]")[codes],
                                        pa.timestamp("ms", tz="UTC")),
        "timestamp[s] far years[pyarrow]": (np.array(
            ["0001-01-01", "9999-12-31T23:59:59", "1969-12-31T23:59:59", "2024-01-01"],
            dtype="datetime64[s]")[codes], pa.timestamp("s")),
        "duration[ns][pyarrow]": (np.array([0, -1, 86_400_000_000_001, -123_456_789])[codes],
                                  pa.duration("ns")),
        "duration[s][pyarrow]": (np.array([0, -1, 86_401, -3_600])[codes], pa.duration("s")),
    }[kind]
    if isinstance(arrow_type, pa.DictionaryType):
        array = pa.array(values.tolist(), arrow_type.value_type).dictionary_encode()
        array = array.cast(arrow_type)
    elif pa.types.is_date(arrow_type):
        array = pa.array(values.astype("datetime64[D]").astype(object).tolist(), arrow_type)
    else:
        array = pa.array(values, arrow_type)
    return pd.arrays.ArrowExtensionArray(array)


ARROW_KINDS = ["int64[pyarrow]", "uint8[pyarrow]", "double[pyarrow]", "float[pyarrow]",
               "bool[pyarrow]", "string[pyarrow]", "large_string[pyarrow]",
               "dictionary<int32, string>", "dictionary<int8, int64>", "date32[pyarrow]",
               "date64[pyarrow]", "timestamp[us][pyarrow]", "timestamp[ns, Europe/Oslo][pyarrow]",
               "timestamp[ms, UTC][pyarrow]", "timestamp[s] far years[pyarrow]",
               "duration[ns][pyarrow]", "duration[s][pyarrow]"]


STORED_KINDS = ["category", "category-int", "category-float", "Int64", "UInt8", "Float32",
                "Float64", "boolean", "datetime64[ns]", "datetime64[s]", "datetime-tz",
                "datetime-utc[ms]", "datetime64[ns] fractions", "datetime64[s] far years",
                "timedelta64[ns]", "timedelta64 signs and fractions"] + ARROW_KINDS


@pytest.mark.parametrize("holes", ["none", "start", "middle", "end", "after a value's only row"])
@pytest.mark.parametrize("kind", STORED_KINDS)
def test_columns_read_by_their_stored_values_match_values(kind, holes):
    rng = np.random.default_rng(len(kind))
    rows = 12
    x = _stored_values(kind, rows, rng, holes)
    other = _stored_values(STORED_KINDS[len(kind) % len(STORED_KINDS)], rows, rng, "middle")
    # The frame's `values` is of x's own kind alone, numeric beside numbers,
    # object beside texts, and whatever two stored kinds make together.
    for frame in (pd.DataFrame({"x": x}),
                  pd.DataFrame({"f": rng.normal(size=rows), "i": np.arange(rows), "x": x}),
                  pd.DataFrame({"x": x, "s": pd.Series(["p", None] * (rows // 2), dtype=object)}),
                  pd.DataFrame({"x": x, "y": other}),
                  pd.DataFrame({"x": x, "x2": x.iloc[::-1].reset_index(drop=True)})):
        try:
            frame.values
        except OverflowError:
            continue  # years past 2262 in nanoseconds: pandas has no `values` to agree with
        assert_roads_agree(frame)


def _time_column(kind, unit, ticks, storage, utc=False):
    if storage == "numpy":
        x = pd.Series(pd.array(ticks.astype(f"{kind}[{unit}]")))
        return x.dt.tz_localize("UTC") if utc else x
    pa = pytest.importorskip("pyarrow")
    arrow_type = pa.timestamp(unit, tz="UTC" if utc else None) if kind == "datetime64" else \
        pa.duration(unit)
    return pd.Series(pd.arrays.ArrowExtensionArray(pa.array(ticks, arrow_type)))


@pytest.mark.parametrize("storage", ["numpy", "arrow"])
@pytest.mark.parametrize("unit", ["s", "ms", "us", "ns"])
@pytest.mark.parametrize("kind", ["datetime64", "timedelta64"])
def test_time_texts_of_many_ticks_match_values(kind, unit, storage):
    rng = np.random.default_rng(7)
    wide = {"s": 2**40, "ms": 2**50, "us": 2**58, "ns": 2**62}[unit]
    ticks = np.concatenate([rng.integers(-wide, wide, 300),
                            rng.integers(-10**12, 10**12, 300), rng.integers(-10**4, 10**4, 300)])
    for frame in (pd.DataFrame({"x": _time_column(kind, unit, ticks, storage),
                                "s": ["a"] * len(ticks)}),
                  pd.DataFrame({"x": _time_column(kind, unit, ticks, storage,
                                                  utc=kind == "datetime64"),
                                "f": rng.random(len(ticks))})):
        try:
            frame.values
        except (OverflowError, ValueError):
            continue  # pandas itself cannot box some of these ticks
        assert_roads_agree(frame)


def _in_chunks(array):
    """The cells of `array` (a pyarrow Array) over several chunks: a slice at
    an offset into its buffers, an empty chunk, a chunk made anew (a
    dictionary of its own, numbering its values otherwise, which the empty
    chunk shares) and the rest."""
    pa = pytest.importorskip("pyarrow")
    third = len(array) // 3
    made = pa.array(array.slice(third, third).to_pylist(), type=array.type)
    return pa.chunked_array([array.slice(1, third - 1), made.slice(0, 0), made,
                             array.slice(2 * third)], type=array.type)


@pytest.mark.parametrize("holes", ["none", "start", "middle", "end"])
@pytest.mark.parametrize("kind", ARROW_KINDS)
def test_arrow_columns_in_chunks_and_slices_match_values(kind, holes):
    pa = pytest.importorskip("pyarrow")
    rng = np.random.default_rng(len(kind))
    array = _stored_values(kind, 31, rng, holes).array._pa_array.combine_chunks()
    x = pd.Series(pd.arrays.ArrowExtensionArray(_in_chunks(array)))
    assert x.array._pa_array.num_chunks == 4
    sliced = x.iloc[5:].reset_index(drop=True)
    for frame in (pd.DataFrame({"x": x}),
                  pd.DataFrame({"x": x, "f": rng.normal(size=len(x))}),
                  pd.DataFrame({"x": x, "s": pd.Series(["p", None] * 15, dtype=object)}),
                  pd.DataFrame({"x": sliced, "y": x.iloc[::-1].iloc[5:].reset_index(drop=True)})):
        assert_roads_agree(frame)
    if pa.types.is_string(array.type) or pa.types.is_large_string(array.type):
        # pandas' `values` cannot take string views with nulls: they read
        # exactly as the same strings in a utf8 array.
        for column in (x, sliced):
            views = column.array._pa_array.cast(pa.string_view())
            frame = pd.DataFrame({"x": pd.arrays.ArrowExtensionArray(views),
                                  "n": np.arange(len(column))})
            assert_same_results(frame, frame.assign(x=column))


@pytest.mark.parametrize("index_type", ["int8", "uint8", "int32", "uint64"])
@pytest.mark.parametrize("value_type", ["string", "large_string", "int64"])
def test_arrow_dictionaries_with_unused_and_null_values_match_values(value_type, index_type):
    # Values that no row uses are not labels; a valid index of a null value
    # is a null cell.
    pa = pytest.importorskip("pyarrow")
    words = ["zz unused", "b", None, "Zürich", "nan", "<NA>", "b"]
    values = pa.array(words if value_type != "int64" else [9, 1, None, -3, 7, 0, 1],
                      getattr(pa, value_type)())
    indices = pa.array([1, 2, None, 3, 4, 5, 6, 1, 3], getattr(pa, index_type)())
    array = pa.DictionaryArray.from_arrays(indices, values)
    # pandas cannot unify different dictionaries holding nulls.
    unified = pa.DictionaryArray.from_arrays(pa.array([1, 3, None, 1], indices.type), values.slice(3))
    other = pa.DictionaryArray.from_arrays(pa.array([3, 0, None], indices.type), values.slice(2))
    for chunks in ([array], [array.slice(2)], [unified.slice(1), other.slice(1), unified]):
        x = pd.Series(pd.arrays.ArrowExtensionArray(pa.chunked_array(chunks)))
        assert_roads_agree(pd.DataFrame({"x": x}))
        assert_roads_agree(pd.DataFrame({"x": x, "n": np.arange(len(x)) / 2}))


def test_arrow_backed_columns_are_read_from_their_storage(monkeypatch):
    pa = pytest.importorskip("pyarrow")
    reads = []
    values = pd.DataFrame.values
    monkeypatch.setattr(pd.DataFrame, "values",
                        property(lambda self: reads.append(len(self)) or values.fget(self)))
    rng = np.random.default_rng(3)
    frame = pd.DataFrame({kind: _stored_values(kind, 60, rng, "middle") for kind in ARROW_KINDS})
    colenc.Encoder().encode(frame)
    assert len(reads) == 1 and reads[0] < 60  # only the first row of each value
    texts = frame[["string[pyarrow]", "large_string[pyarrow]"]]
    colenc.Encoder().encode(texts.assign(v=texts.iloc[:, 0].astype(pd.ArrowDtype(pa.string_view()))))
    assert len(reads) == 1
    # Any other Arrow type reads the whole frame's `values`.
    colenc.Encoder().encode(frame.assign(l=pd.Series([[1]] * 60, dtype=pd.ArrowDtype(pa.list_(pa.int64())))))
    assert reads[1:] == [60]


def test_stored_values_whose_cells_may_differ_by_row_take_the_values_road():
    from decimal import Decimal
    frame = pd.DataFrame({"d": pd.Categorical([Decimal("1.50"), Decimal("2"), Decimal("1.50")]),
                          "c": pd.Categorical([Cell(1.0, "one"), Cell(TypeError, "two")] + [None])})
    assert_roads_agree(frame)


def test_arrow_strings_spanning_several_chunks_match_values():
    pa = pytest.importorskip("pyarrow")
    chunks = pa.chunked_array([["b", None, "a"], [], ["nan", "c"], [None]], type=pa.large_string())
    for dtype in (pd.StringDtype("pyarrow", na_value=np.nan), pd.StringDtype("pyarrow")):
        frame = pd.DataFrame({"s": pd.Series(pd.arrays.ArrowStringArray(chunks)).astype(dtype),
                              "t": pd.Series(chunks.to_pylist(), dtype=dtype)[::-1].reset_index(drop=True)})
        assert_roads_agree(frame)


def test_other_column_dtypes_take_the_values_road():
    frame = pd.DataFrame({
        "when": pd.date_range("2024-01-01", periods=3),
        "cat": pd.Categorical(["x", "y", "x"]),
        "n": pd.array([1, None, 3], dtype="Int64"),
        "s": ["p", "q", "r"],
    })
    assert_roads_agree(frame)


def _shared_word_column(rng, rows, distinct):
    """Repeats of the same str objects, with numbers, None and lone surrogates
    among them, and enough distinct objects early on that remembering them
    may be given up."""
    words = [f"w{k}" for k in range(distinct)] + ["\ud800x", "nan"]
    column = np.array(words, dtype=object)[rng.integers(0, len(words), rows)]
    column[:distinct] = words[:distinct]  # every distinct object before any repeat
    odd = rng.random(rows) < 0.01
    column[odd] = np.where(rng.random(odd.sum()) < 0.5, None, 2.5)
    column[0] = 1.0  # the column starts numeric and turns at its first text
    return column


@pytest.mark.parametrize("distinct", [3, 70_000], ids=["few", "many"])
def test_repeated_str_objects_match_subscription(distinct):
    rng = np.random.default_rng(distinct)
    column = _shared_word_column(rng, 150_000, distinct)
    assert_roads_agree(np.column_stack([column, column[::-1]]))
    assert_roads_agree(pd.DataFrame({"a": column, "b": column[::-1]}))


def _shared_and_fresh_table(rng, rows, as_frame):
    """Two columns of shared str objects in which a tenth of the cells hold a
    str object of their own (a known text or an unseen one), held by nothing
    but their cell, as when a few texts were made afresh."""
    words = [f"w{k}" for k in range(50)]
    table = np.array(words, dtype=object)[rng.integers(0, 50, (rows, 2))]
    for j in range(2):
        fresh = np.flatnonzero(rng.random(rows) < 0.1)
        table[fresh, j] = ["".join(["w", str(k % 60)]) for k in fresh]
    if not as_frame:
        return table
    frame = pd.DataFrame({"a": table[:, 0], "b": table[:, 1]})
    del table
    return frame


@pytest.mark.parametrize("as_frame", [False, True], ids=["array", "frame"])
def test_str_objects_held_by_their_cell_alone_match_subscription(as_frame):
    rng = np.random.default_rng(5)
    table = _shared_and_fresh_table(rng, 120_000, as_frame)
    cells = table["a"].array if as_frame else table[:, 0]
    fresh = [cell for cell in cells[:2000] if sys.getrefcount(cell) == 3]
    assert fresh  # held by their cell (and here by `cell` and the call)
    assert_roads_agree(table)


class Rewriter:
    """A cell that runs Python code: its str() rewrites a cell of the table,
    as a cell read in column order would then find it."""

    def __init__(self, table, at, value):
        self.table, self.at, self.value = table, at, value

    def __float__(self):
        raise TypeError

    def __str__(self):
        self.table[self.at] = self.value
        return "rewriter"


def _cell_by_cell_table(seed, rows, cols, rewriters, order):
    """A table made row by row with a new str object per cell, as a loader
    makes it, with plain cells of every kind, cells whose text needs the
    interpreter (finite floats in text columns, large ints) and `rewriters`
    cells that run Python code. The same arguments give the same table."""
    rng = np.random.default_rng(seed)
    words = ["a", "B", "nan", "NaN", "<NA>", "", "Zürich", "é", "10", "None", "🙂", "\ud800",
             "long word beyond sixteen bytes"]
    kinds = rng.integers(0, 4, cols)  # 0 words, 1 numbers, 2 numbers turning late, 3 mixed
    out = np.empty((rows, cols), dtype=object, order=order)
    for i in range(rows):
        for j in range(cols):
            draw = rng.random()
            if kinds[j] == 1 or (kinds[j] == 2 and i < rows - 5):
                cell = [1.5, 7, True, -0.0, float("nan")][int(draw * 5)]
            elif kinds[j] == 3 and draw < 0.3:
                cell = [None, 2.5, float("inf"), 2**40, 3, False, np.nan][int(draw * 23)]
            else:
                cell = "".join(words[int(rng.integers(len(words)))])  # a new object
                cell = (cell + ".")[:-1]
            out[i, j] = cell
    for _ in range(rewriters):
        i, j = int(rng.integers(rows)), int(rng.integers(cols))
        target = (int(rng.integers(rows)), int(rng.integers(cols)))
        out[i, j] = Rewriter(out, target, f"rewritten {i} {j}")
    return out


# Tall enough for several row blocks, wide enough for several reading tasks.
@pytest.mark.parametrize("order", ["C", "F"])
@pytest.mark.parametrize("rewriters", [0, 1, 6])
@pytest.mark.parametrize("seed", range(2))
def test_tables_made_cell_by_cell_match_subscription(seed, rewriters, order):
    build = lambda: _cell_by_cell_table(seed, 2500, 40, rewriters, order)  # noqa: E731
    fast = _run(build(), build)
    general = _run(build().view(ndarray), lambda: build().view(ndarray))
    assert np.array_equal(_bits(fast[0]), _bits(general[0]))
    assert fast[1] == general[1]
    _same_cells(fast[2], general[2])
    assert fast[3] == general[3]
    if not rewriters:
        # A frame of them: its columns one by one, against its `values` read
        # by rows into a column-major matrix.
        assert_roads_agree(pd.DataFrame(build(), dtype=object))


def test_nearly_distinct_columns_made_cell_by_cell_match_subscription():
    # More distinct texts than a column keeps ids for, read by rows.
    rows = 140_000
    table = np.empty((rows, 2), dtype=object)
    table[:, 0] = [f"id{i * 7919 % rows}" for i in range(rows)]
    table[:, 1] = [("w" + str(i % 50) + ".")[:-1] for i in range(rows)]
    assert_roads_agree(table)


def test_encoding_leaves_the_str_objects_of_the_table_as_they_were():
    # No UTF-8 copy is cached on the objects: their size stays as it was.
    import sys
    cells = [("Zürich " + str(i)) for i in range(1000)] + ["🙂" * 3, "\ud800x"]
    table = np.array(cells * 2, dtype=object).reshape(-1, 2)
    sizes = [sys.getsizeof(cell) for cell in cells]
    colenc.Encoder().encode(table)
    colenc.Encoder().encode(pd.DataFrame({"a": cells}, dtype=object))
    assert [sys.getsizeof(cell) for cell in cells] == sizes


@pytest.mark.parametrize("sliced", [False, True], ids=["whole", "sliced"])
def test_arrow_strings_without_nulls_read_in_place_match_values(sliced):
    pytest.importorskip("pyarrow")
    words = ["b", "", "Zürich", "nan", "<NA>", "NaN", "a" * 40, "🙂", "b"] * 50
    for dtype in _arrow_string_dtypes():
        column = pd.Series(words, dtype=dtype)
        if sliced:  # an Arrow array that starts at an offset into its buffers
            column = column.iloc[3:].reset_index(drop=True)
        frame = pd.DataFrame({"s": column, "n": np.arange(len(column), dtype=float)})
        assert_roads_agree(frame)
        encoded, _ = colenc.Encoder().encode(frame)
        assert encoded["s"].notna().sum() == sum(w not in ("nan", "NaN", "<NA>") for w in column)


@pytest.mark.parametrize("nulls", ["leading", "scattered", "trailing", "all"])
@pytest.mark.parametrize("sliced", [False, True], ids=["whole", "sliced"])
def test_arrow_strings_with_nulls_read_in_place_match_values(sliced, nulls):
    # A null row stands for what the dtype's missing value types as: "NaN"
    # (or "<NA>") before the column's first text, "nan" (or "<NA>") after it;
    # a column of nulls only stays a number column.
    pytest.importorskip("pyarrow")
    rng = np.random.default_rng(len(nulls))
    words = list(rng.choice(["b", "", "Zürich", "nan", "<NA>", "a" * 40, "🙂"], 300))
    if nulls == "leading":
        words[:21] = [None] * 21
    elif nulls == "scattered":
        for k in rng.choice(300, 40, replace=False):
            words[k] = None
    elif nulls == "trailing":
        words[-9:] = [None] * 9
    else:
        words = [None] * 300
    for dtype in _arrow_string_dtypes():
        column = pd.Series(words, dtype=dtype)
        if sliced:  # the validity bits start at an offset too
            column = column.iloc[3:].reset_index(drop=True)
        assert_roads_agree(pd.DataFrame({"s": column, "n": np.arange(len(column), dtype=float)}))


@pytest.mark.parametrize("layout", ["C", "F", "float32", "int64", "reversed", "more columns"])
def test_decoding_a_frame_reads_its_codes_in_any_layout(layout):
    # Native float64 code columns are read where they lie (strided ones too);
    # any other column is copied first. Both must decode alike, and every
    # column that is not decoded keeps exactly its numbers.
    rng = np.random.default_rng(5)
    frame = pd.DataFrame({"a": rng.choice(WORDS, 300), "x": rng.random(300),
                          "b": rng.choice(WORDS, 300)})
    enc = colenc.Encoder()
    codes, _ = enc.encode(frame)
    if layout in ("C", "F"):  # C order leaves each column strided
        table = pd.DataFrame(np.asarray(codes.to_numpy(), order=layout), columns=codes.columns,
                             copy=False)
    elif layout == "float32":
        table = codes.astype(np.float32)
    elif layout == "int64":
        table = codes.fillna(0).astype(np.int64)
    elif layout == "more columns":
        table = codes.assign(n=np.arange(300), o=pd.Series(rng.random(300).tolist(), dtype=object),
                             m=pd.array([None, *range(299)], dtype="Int64"))
    else:
        table = pd.DataFrame({name: codes[name].to_numpy()[::-1] for name in codes.columns},
                             copy=False)
    _same_cells(enc.decode(table), enc.decode(DataFrame(table)))


@pytest.mark.parametrize("write_to", ["result", "input"])
def test_decoded_number_columns_stay_apart_from_the_input(write_to):
    # A decoded frame may share its number columns with the input; a write
    # through either frame must never show in the other.
    frame = pd.DataFrame({"t": ["b", "a", "b"], "x": [1.5, 2.0, 3.0], "y": [4.0, 5.0, 6.0]},
                         index=[10, 20, 30])
    enc = colenc.Encoder()
    codes, _ = enc.encode(frame)
    codes.index = [7, 8, 9]
    decoded = enc.decode(codes)
    assert list(decoded.index) == [0, 1, 2]
    assert decoded["x"].tolist() == [1.5, 2.0, 3.0] and decoded["t"].tolist() == ["b", "a", "b"]
    kept_codes, kept_decoded = codes.copy(), decoded.copy()
    if write_to == "result":
        decoded.iloc[0, 1] = -1.0
        decoded.loc[:, "y"] = 0.0
        pd.testing.assert_frame_equal(codes, kept_codes)
    else:
        codes.iloc[0, 1] = -1.0
        codes.loc[:, "y"] = 0.0
        pd.testing.assert_frame_equal(decoded, kept_decoded)


def _tall_cells(kind, rows, rng):
    """A tall object column of `kind`, one object per cell, as a loader makes it."""
    # Few words, so that a sample shows texts repeating under distinct objects.
    words = [f"w{k}" for k in rng.integers(0, 20, rows)]
    late = rows * 5 // 8  # in a range read by a task, not by the calling thread
    distinct = [f"u{k:07d}" for k in rng.permutation(rows)]
    cells = {
        "text": words,
        "text with holes": [None if k % 7 == 0 else (np.nan if k % 11 == 0 else w)
                            for k, w in enumerate(words)],
        "numbers, then text in a later range": [1.5] * late + words[late:],
        "text, then a float in a later range": words[:late] + [2.5] + words[late + 1:],
        "text, then a cell that runs Python code": words[:late] + [Cell(1.0, "c")] + words[late + 1:],
        "nearly all distinct": distinct,
        "nearly all distinct, numbers first": [0.25] * (rows // 8) + distinct[rows // 8:],
        "nearly all distinct, then a cell that runs Python code":
            distinct[:late] + [Cell(1.0, "c")] + distinct[late + 1:],
        "nearly all distinct with holes": [None if k % 13 == 0 else t for k, t in enumerate(distinct)],
    }
    if kind == "shared words":
        # One object per word of a large vocabulary, repeated down the column.
        vocabulary = np.array([f"s{k}" for k in range(5_000)], dtype=object)
        return pd.Series(vocabulary[rng.integers(0, 5_000, rows)], dtype=object)
    cells = cells[kind]
    return pd.Series(["".join(c) if isinstance(c, str) else c for c in cells], dtype=object)


@pytest.mark.parametrize("kind", ["text", "text with holes", "numbers, then text in a later range",
                                  "text, then a float in a later range",
                                  "text, then a cell that runs Python code", "nearly all distinct",
                                  "nearly all distinct, numbers first",
                                  "nearly all distinct, then a cell that runs Python code",
                                  "nearly all distinct with holes", "shared words"])
def test_tall_object_columns_read_in_row_ranges_match_values(kind):
    rows = 270_000  # read in ranges on the pool
    rng = np.random.default_rng(len(kind))
    assert_roads_agree(pd.DataFrame({"x": _tall_cells(kind, rows, rng), "f": np.arange(rows) / 4}))


def _arrow_string_dtypes():
    """pandas' str dtypes stored in Arrow, and pd.ArrowDtype utf8 and large_utf8."""
    pa = pytest.importorskip("pyarrow")
    return (pd.StringDtype("pyarrow", na_value=np.nan), pd.StringDtype("pyarrow"),
            pd.ArrowDtype(pa.string()), pd.ArrowDtype(pa.large_string()))


def _unaligned_copy(buffer):
    """The bytes of `buffer` at an odd address, as a buffer read back from a
    pickle may lie."""
    pa = pytest.importorskip("pyarrow")
    raw = bytearray(buffer.size + 1)
    raw[1:] = buffer.to_pybytes()
    return pa.py_buffer(raw)[1:]


@pytest.mark.parametrize("arrow_type", ["large_string", "string"])
@pytest.mark.parametrize("chunks", [1, 2], ids=["read in place", "copied by runs"])
def test_arrow_strings_with_unaligned_offsets_match_values(chunks, arrow_type):
    pa = pytest.importorskip("pyarrow")
    string_type = getattr(pa, arrow_type)()
    arrays = []
    for texts in [["b", None, "a"], ["nan", "c", None]][:chunks]:
        array = pa.array(texts, type=string_type)
        valid, offsets, data = array.buffers()
        arrays.append(pa.Array.from_buffers(string_type, len(texts),
                                            [valid, _unaligned_copy(offsets), data],
                                            array.null_count))
    chunked = pa.chunked_array(arrays)
    columns = [pd.Series(pd.arrays.ArrowExtensionArray(chunked))]
    if arrow_type == "large_string":
        columns += [pd.Series(pd.arrays.ArrowStringArray(chunked)).astype(dtype)
                    for dtype in (pd.StringDtype("pyarrow", na_value=np.nan), pd.StringDtype("pyarrow"))]
    for column in columns:
        assert column.array._pa_array.chunks[0].buffers()[1].address % 4 != 0
        assert_roads_agree(pd.DataFrame({"s": column}))


def _chunk_shared(words, codes, batches):
    """words[codes] as a loader converting `batches` row ranges one at a time
    hands them over: one str object per word and range."""
    column = np.empty(len(codes), dtype=object)
    for rows in np.array_split(np.arange(len(codes)), batches):
        copies = np.array(["".join(w) for w in words], dtype=object)
        column[rows] = copies[codes[rows]]
    return column


@pytest.mark.parametrize("odd_at", ["start", "middle", "end"])
@pytest.mark.parametrize("shuffled", [False, True], ids=["in order", "shuffled"])
@pytest.mark.parametrize("rows", [30_000, 270_000], ids=["one thread", "on the pool"])
def test_chunk_shared_object_columns_match_values(rows, shuffled, odd_at):
    """Object columns whose texts come as one object per word and batch of
    rows, read side by side, with cells that are not plain at the start, in
    the middle or at the end of a half (a row range on the pool)."""
    rng = np.random.default_rng([rows, shuffled, len(odd_at)])
    half = rows // 2
    at = {"start": [0, half], "middle": [half // 2, half + half // 2],
          "end": [half - 1, rows - 1]}[odd_at]
    columns = {}
    # 7,000 words in 11 batches: more objects than a range remembers at once.
    for k, (words, batches) in enumerate([(16, 11), (300, 5), (5, 3), (2_000, 9), (7_000, 11)]):
        vocabulary = [f"w{k}.{n}" for n in range(words)]
        column = _chunk_shared(vocabulary, rng.integers(0, words, rows), batches)
        if shuffled:
            column = column[rng.permutation(rows)]
        columns[f"t{k}"] = column
    columns["t0"][at] = [Cell(1.0, "c"), Cell(TypeError, "d")]  # run Python code
    columns["t1"][at] = [2.5, None]  # need the interpreter once text / plain
    columns["t2"][: at[1]] = 0.5  # numbers, then text in a later half
    frame = pd.DataFrame({"f": np.arange(rows) / 4, **{n: pd.Series(c, dtype=object)
                                                       for n, c in columns.items()}})
    assert_roads_agree(frame)


def _few_row_companions(rows, rng):
    """Columns beside the one under test, of the dtypes a served row holds,
    missing cells among them where rows allow."""
    words = np.array(["a", "nan", "Zürich", None, "<NA>"], dtype=object)
    picks = rng.integers(0, len(words), rows)
    return {
        "o": pd.Series(list(words[picks]) if rows > 1 else ["o"], dtype=object),
        "str": pd.Series(words[picks[::-1]], dtype=pd.StringDtype(na_value=np.nan)),
        "string": pd.Series(words[picks], dtype="string"),
        "f": rng.normal(size=rows),
        "i": rng.integers(-9, 9, rows),
        "b": rng.integers(0, 2, rows) == 1,
        "cat": pd.Categorical(words[picks], categories=["a", "nan", "Zürich", "<NA>", "unused"]),
        "when": pd.Timestamp("2024-03-31 01:30") + pd.to_timedelta(picks, unit="h"),
    }


@pytest.mark.parametrize("rows", [1, 2, 3, 4])
@pytest.mark.parametrize("holes", ["start", "none"])
@pytest.mark.parametrize("kind", STORED_KINDS)
def test_frames_of_a_few_rows_of_each_dtype_match_values(kind, holes, rows):
    # A frame of a few rows is read from cells made block by block where its
    # `values` is of objects, and those cells must be the cells of `values`.
    rng = np.random.default_rng(rows * len(kind))
    x = _stored_values(kind, 12, rng, holes).iloc[:rows].reset_index(drop=True)
    near = _few_row_companions(rows, rng)
    other = _stored_values(STORED_KINDS[len(kind) % len(STORED_KINDS)], 12, rng, "start")
    for frame in (pd.DataFrame({"x": x, "o": near["o"]}),
                  pd.DataFrame({"x": x, "s": near["str"], "f": near["f"]}),
                  pd.DataFrame({"f": near["f"], "x": x, "string": near["string"], "i": near["i"]}),
                  pd.DataFrame({"x": x, "y": other.iloc[:rows].reset_index(drop=True),
                                "o": near["o"]}),
                  pd.DataFrame({"x": x, "i": near["i"]}),
                  pd.DataFrame({"x": x})):
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("error")
                frame.values
        except (OverflowError, RuntimeWarning):
            # Years past 2262 in nanoseconds, or missing categories cast to
            # integers: pandas has no `values` to agree with.
            continue
        assert_roads_agree(frame)


@pytest.mark.parametrize("rows", [1, 2, 4])
@pytest.mark.parametrize("string_dtype", _string_dtypes(), ids=str)
def test_frames_of_a_few_rows_of_every_companion_match_values(string_dtype, rows):
    rng = np.random.default_rng(rows)
    near = _few_row_companions(rows, rng)
    text = pd.Series(["b", None, "nan", pd.NA][:rows], dtype=object)
    cells = np.array([pd.NA, None, np.nan, pd.NaT], dtype=object)[:rows]
    frame = pd.DataFrame({**near, "t": text.astype(string_dtype), "m": pd.Series(cells, dtype=object),
                          "cat-int": pd.Categorical([3, None, 1, 3][:rows]),
                          "cat-str": pd.Categorical(pd.Series(["p", None, "q", "p"][:rows],
                                                              dtype=pd.StringDtype(na_value=np.nan))),
                          "cat-py": pd.Categorical(pd.Series(["p", None, "q", "p"][:rows],
                                                             dtype=pd.StringDtype("python"))),
                          "cat-obj": pd.Categorical(pd.Series([1.5, "x", None, 2][:rows], dtype=object)),
                          "cat-empty": pd.Categorical([None] * rows, categories=["z"]),
                          "cat-when": pd.Categorical(near["when"][::-1]),
                          "tz": near["when"].tz_localize("UTC").tz_convert("Europe/Oslo"),
                          "td": pd.to_timedelta(near["i"], unit="s"),
                          "Int64": pd.array([1, None, 3, -4][:rows], dtype="Int64"),
                          "boolean": pd.array([None, True, False, True][:rows], dtype="boolean"),
                          "c": np.arange(rows) * (1 + 2j)})
    assert_roads_agree(frame)
    assert_roads_agree(frame.set_axis(["k"] * frame.shape[1], axis=1))  # duplicate labels
    assert_roads_agree(frame.set_axis(np.arange(rows) * 10 + 7))  # an index of its own
    assert_roads_agree(frame[["f", "when", "str"]])
    assert_roads_agree(frame[["cat", "cat-str", "t", "i"]])


def test_frames_of_a_few_rows_with_arrow_columns_match_values():
    pa = pytest.importorskip("pyarrow")
    rng = np.random.default_rng(5)
    for rows in (1, 3):
        near = _few_row_companions(rows, rng)
        for kind in ("string[pyarrow]", "int64[pyarrow]", "timestamp[ms, UTC][pyarrow]"):
            x = _stored_values(kind, 12, rng, "start").iloc[:rows].reset_index(drop=True)
            assert_roads_agree(pd.DataFrame({"x": x, "o": near["o"], "s": near["str"]}))
        views = pd.arrays.ArrowExtensionArray(pa.array(["v", "w", "x"][:rows], pa.string_view()))
        assert_roads_agree(pd.DataFrame({"v": views, "o": near["o"]}))


def test_frames_of_a_few_rows_with_multiindex_columns_fail_as_values_does():
    frame = pd.DataFrame({("a", 1): ["x"], ("b", 2): [1.5]}).astype({("a", 1): object})
    for road in (frame, _general(frame)):
        with pytest.raises(TypeError):
            colenc.Encoder().encode(road)


def test_frames_of_a_few_rows_of_objects_are_read_without_values(monkeypatch):
    reads = []
    values = pd.DataFrame.values
    monkeypatch.setattr(pd.DataFrame, "values",
                        property(lambda self: reads.append(len(self)) or values.fget(self)))
    near = _few_row_companions(1, np.random.default_rng(0))
    frame = pd.DataFrame(near)
    enc = colenc.Encoder()
    enc.encode(frame)
    enc.transform(frame)
    colenc.Encoder().encode(frame.drop(columns="o"))  # pandas' strings make `values` objects
    assert reads == []
    # Without objects or strings, `values` may be numeric: it is read.
    colenc.Encoder().encode(frame[["f", "i", "cat"]])
    colenc.Encoder().encode(frame[["o"]])  # one block is its own `values`
    assert reads == [1, 1]
