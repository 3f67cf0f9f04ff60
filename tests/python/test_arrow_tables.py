"""Arrow tables (polars, pyarrow, DuckDB) as inputs: each column typed by its
Arrow type, with the codes, text columns and state of the object array built
from the same table; results as tables of the input's library; malformed
batches refused and streams released on every path."""

import datetime as dt
import decimal
import math
import sys

import numpy as np
import pandas as pd
import pytest

import colenc
from colenc import Encoder
from support import make_state

pa = pytest.importorskip("pyarrow")
pl = pytest.importorskip("polars")

NULLS = [0, 3, 6]  # rows left null: start, middle, end


def _with_nulls(values):
    return [None if i in NULLS else v for i, v in enumerate(values)]


# Arrow type -> 7 values (rows 0, 3 and 6 become null).
COLUMNS = {
    "int8": (pa.int8(), [1, -2, 3, 4, -128, 127, 0]),
    "uint64": (pa.uint64(), [1, 2**64 - 1, 3, 4, 2**53 + 1, 0, 7]),
    "int64": (pa.int64(), [1, -(2**63), 3, 4, 2**53 + 1, 9, 7]),
    "float16": (pa.float16(), [np.float16(v) for v in (1.5, -2.25, 3, 65504, 0.0001, -0.0, 1)]),
    "float32": (pa.float32(), [1.5, float("nan"), 3, float("inf"), 0.1, -0.0, 1]),
    "float64": (pa.float64(), [1.5, float("nan"), 3, -float("inf"), 0.1, 1e300, 1]),
    "bool": (pa.bool_(), [True, False, True, True, False, True, False]),
    "decimal128": (pa.decimal128(20, 3), [decimal.Decimal(v) for v in
                   ("1.100", "-0.001", "3", "99999999999999999.999", "0.100", "-5.5", "2")]),
    "decimal256": (pa.decimal256(60, 30), [decimal.Decimal(v) for v in
                   ("1.1", "-1e-30", "3", "123456789012345678901234567890.1", "0.1", "-5", "2")]),
    "null": (pa.null(), [None] * 7),
    "string": (pa.string(), ["b", "a", "nan", "ß", "<NA>", "NaN", "日本"]),
    "large_string": (pa.large_string(), ["b", "a", "", "zé", "a", "NaN", "b"]),
    "string_view": (pa.string_view(), ["b", "a long text beyond twelve bytes", "x", "nan",
                                       "another long text ✓✓✓", "a", "b"]),
    "date32": (pa.date32(), [dt.date(2024, 1, 31), dt.date(1969, 12, 31), dt.date(1, 1, 1),
                             dt.date(1970, 1, 1), dt.date(9999, 12, 31), dt.date(1900, 3, 1),
                             dt.date(2024, 1, 31)]),
    "date64": (pa.date64(), [dt.date(2024, 1, 31), dt.date(1969, 12, 31), dt.date(1850, 1, 1),
                             dt.date(1970, 1, 1), dt.date(2100, 1, 1), dt.date(1, 1, 1),
                             dt.date(2024, 1, 31)]),
    "time32[s]": (pa.time32("s"), [dt.time(1, 2, 3), dt.time(0), dt.time(23, 59, 59),
                                   dt.time(1, 2, 3), dt.time(12), dt.time(0, 0, 1), dt.time(3)]),
    "time64[us]": (pa.time64("us"), [dt.time(1, 2, 3, 4), dt.time(0), dt.time(23, 59, 59, 999999),
                                     dt.time(1, 2, 3), dt.time(12), dt.time(0, 0, 1, 500000),
                                     dt.time(3)]),
}
TIMESTAMPS = [-86_400 * 365 * 80 - 1, 0, 1_700_000_000, 1, 86_399, -1, 1_700_000_000]
for unit, scale in (("s", 1), ("ms", 10**3), ("us", 10**6), ("ns", 10**9)):
    for zone in (None, "UTC", "Europe/Oslo", "America/St_Johns", "+05:30"):
        extra = 7 if unit != "s" else 0
        COLUMNS[f"timestamp[{unit}, {zone}]"] = (
            pa.timestamp(unit, tz=zone), [v * scale + (k % 2) * extra for k, v in enumerate(TIMESTAMPS)])
    COLUMNS[f"duration[{unit}]"] = (pa.duration(unit), [v * scale + 5 for v in TIMESTAMPS])


def object_texts(column):
    """The cells that the object array of a table holds for `column` (a
    pyarrow Array or ChunkedArray): Python floats (NaN for null) for numbers,
    str texts ("<NA>" for null) for texts, and times as pandas writes them."""
    if isinstance(column, pa.ChunkedArray):
        column = column.combine_chunks()
    if pa.types.is_dictionary(column.type):
        column = column.dictionary_decode()
    kind = column.type
    values = column.to_pylist()
    if (pa.types.is_integer(kind) or pa.types.is_floating(kind) or pa.types.is_boolean(kind)
            or pa.types.is_decimal(kind) or pa.types.is_null(kind)):
        return [math.nan if v is None else float(v) for v in values]
    if pa.types.is_timestamp(kind) or pa.types.is_duration(kind):
        values = column.to_pandas().tolist()
        return ["<NA>" if pd.isna(v) else str(v) for v in values]
    return ["<NA>" if v is None else str(v) for v in values]


def object_array(table):
    """The object ndarray built from an Arrow table (pyarrow.Table)."""
    out = np.empty((table.num_rows, table.num_columns), dtype=object)
    for j, name in enumerate(table.column_names):
        out[:, j] = object_texts(table.column(name)) if table.num_rows else []
    return out


def as_matrix(result, names):
    codes = pa.table(result) if not isinstance(result, pl.DataFrame) else result.to_arrow()
    assert codes.column_names == names
    if not codes.num_columns:
        return np.empty((codes.num_rows, 0))
    return np.column_stack([codes.column(j).to_numpy() for j in range(codes.num_columns)])


def assert_encodes_as_object_array(make, table, fit=None):
    """The object that make() returns encodes to the codes, text columns and
    state that the object array of `table` (the same data as a
    pyarrow.Table) gives, and transforms as it does with the fit of `fit`
    (an object array; by default the same one)."""
    enc, ref = Encoder(), Encoder()
    reference = object_array(table)
    result, columns = enc.encode(make())
    expected, expected_columns = ref.encode(reference)
    np.testing.assert_array_equal(as_matrix(result, table.column_names).reshape(expected.shape),
                                  expected)
    assert columns == expected_columns
    assert enc.__getstate__() == ref.__getstate__()
    if fit is not None:
        ref.encode(fit)
    result, columns = ref.transform(make())
    expected, expected_columns = ref.transform(reference)
    np.testing.assert_array_equal(as_matrix(result, table.column_names).reshape(expected.shape),
                                  expected)
    assert columns == expected_columns
    return enc, result


def layouts(table):
    """The same table as one chunk, in several chunks, as several record
    batches of a reader, and as a slice of a larger table."""
    chunked = pa.table({name: pa.chunked_array(
        [column.slice(0, 2), column.slice(2, 0), column.slice(2, 4), column.slice(6)])
        for name, column in zip(table.column_names, table.combine_chunks().columns)})
    padded = pa.concat_tables([table.slice(0, 2), table, table.slice(1, 3)])
    yield lambda: table
    yield lambda: chunked
    yield lambda: pa.RecordBatchReader.from_batches(table.schema, chunked.to_batches())
    yield lambda: padded.slice(2, table.num_rows)


@pytest.mark.parametrize("name", list(COLUMNS))
def test_each_arrow_type_encodes_as_its_object_array(name):
    kind, values = COLUMNS[name]
    column = pa.array(_with_nulls(values), type=kind)
    table = pa.table({"x": column, "n": pa.array(range(7), pa.float64()),
                      "t": pa.array(["q", None, "p", "q", "r", "p", "nan"])})
    for make in layouts(table):
        assert_encodes_as_object_array(make, table)
    # Transformed with the fit of other cells: unknown labels, texts in a
    # column fitted as numbers and numbers in a column fitted as texts.
    other = np.array([["q", 1.5, 2.0], ["zz", "x", 3.0]], dtype=object)
    assert_encodes_as_object_array(lambda: table.select(["t", "x", "n"]),
                                   table.select(["t", "x", "n"]), fit=other)
    assert_encodes_as_object_array(lambda: table.select(["n", "t", "x"]),
                                   table.select(["n", "t", "x"]), fit=other)
    if pa.types.is_string(kind) or pa.types.is_large_string(kind) or pa.types.is_int64(kind):
        # Dictionary-encoded, with a value that no row uses.
        encoded = column.dictionary_encode()
        unused = pa.array(["unused"] if kind != pa.int64() else [12345], kind)
        extra = pa.DictionaryArray.from_arrays(encoded.indices,
                                               pa.concat_arrays([encoded.dictionary, unused]))
        assert_encodes_as_object_array(lambda: pa.table({"x": extra}), pa.table({"x": extra}))


def _view(text, buffer=0, offset=0, pad=b"\0"):
    """The 16-byte string view of `text` (bytes): inside the view up to 12
    bytes, padded with `pad`, else its first 4 bytes, buffer and offset."""
    size = np.array([len(text)], "<i4").tobytes()
    if len(text) <= 12:
        return size + text + pad * (12 - len(text))
    return size + text[:4] + np.array([buffer, offset], "<i4").tobytes()


LONG = "a text beyond twelve bytes ✓".encode()
OTHER = b"thirteen byte"
# Equal texts under different views: short ones padded differently, long ones
# in either data buffer at different offsets; a null row whose view is
# malformed, which is never read.
CRAFTED_VIEWS = [_view(b"short"), _view(b"short", pad=b"\xff"), _view(LONG, 0, 0),
                 np.array([-5, 0, 9, 9], "<i4").tobytes(), _view(LONG, 1, 3), _view(LONG, 0, 0),
                 _view(b""), _view(b"exactly12byt"), _view(OTHER, 1, 3 + len(LONG)), _view(b"nan"),
                 _view(b"short", pad=b"s")]


def crafted_views(shift=0):
    """CRAFTED_VIEWS as an array, its views and data `shift` bytes past an
    aligned address."""
    def buffer(data):
        return pa.py_buffer(b"\0" * shift + data)[shift:]
    validity = pa.py_buffer(np.packbits([1, 1, 1, 0, 1, 1, 1, 1, 1, 1, 1], bitorder="little"))
    return pa.Array.from_buffers(pa.string_view(), len(CRAFTED_VIEWS), [
        validity, buffer(b"".join(CRAFTED_VIEWS)), buffer(LONG + b"tail"),
        buffer(b"xyz" + LONG + OTHER)], null_count=1)


@pytest.mark.parametrize("shift", [0, 1])
@pytest.mark.parametrize("fit", [None, np.array([["short"], [LONG.decode()], ["zz"]], object)])
def test_string_views_encode_by_their_texts_whatever_the_view(fit, shift):
    column = crafted_views(shift)
    assert column.buffers()[1].address % 8 == shift
    assert column.to_pylist()[:6] == ["short", "short", LONG.decode(), None, LONG.decode(),
                                      LONG.decode()]
    table = pa.table({"v": column, "n": pa.array(np.arange(len(column), dtype=float))})
    for make in layouts(table):
        assert_encodes_as_object_array(make, table, fit=fit)


@pytest.mark.parametrize("rows, words, chunks", [(7, 3, 1), (300_000, 40, 1), (300_000, 40, 3),
                                                 (200_000, 150_000, 2), (70_000, 2_000, 1)])
def test_polars_string_views_encode_as_their_object_array(rows, words, chunks):
    # Short and long texts, nulls, missing-value labels; tall columns take the
    # seeded, chunked and sorted fits of texts read from their views.
    rng = np.random.default_rng(rows + words)
    vocabulary = np.array([f"w{k}" if k % 3 else f"a longer word number {k}" for k in range(words)]
                          + ["nan", "<NA>", None], dtype=object)
    texts = vocabulary[rng.integers(0, len(vocabulary), rows)]
    parts = np.array_split(np.arange(rows), chunks)
    frame = pl.concat([pl.DataFrame({"t": texts[p].tolist(), "n": p.astype(float)}) for p in parts],
                      rechunk=False)
    assert frame.n_chunks() == chunks
    a, b = Encoder(), Encoder()
    result, columns = a.encode(frame)
    expected, expected_columns = b.encode(object_array(frame.to_arrow()))
    np.testing.assert_array_equal(as_matrix(result, ["t", "n"]), expected)
    assert columns == expected_columns == [0]
    assert a.__getstate__() == b.__getstate__()
    # pandas holds a null as NaN, whose missing-value label differs: only the codes agree.
    np.testing.assert_array_equal(result.to_numpy(), Encoder().encode(frame.to_pandas())[0])
    assert a.decode(result)["t"].to_list() == [None if t in ("nan", "<NA>") else t for t in texts]


def test_unused_dictionary_values_are_no_labels():
    values = pa.array(["never", "b", "a", "unused", None])
    column = pa.DictionaryArray.from_arrays(pa.array([2, 1, None, 2, 4], pa.int8()), values)
    enc, result = assert_encodes_as_object_array(lambda: pa.table({"x": column}),
                                                 pa.table({"x": column}))
    labels = enc.decode(pa.table({"x": [0.0, 1.0, 2.0]})).column("x").to_pylist()
    assert labels == ["a", "b", None]
    series = pl.Series("x", ["b", None, "a"], dtype=pl.Enum(["z", "b", "y", "a"]))
    assert Encoder().encode(pl.DataFrame([series]))[0]["x"].to_list()[::2] == [1.0, 0.0]


@pytest.mark.parametrize("dtype", [pl.String, pl.Categorical, pl.Enum(["x", "nan", "é", "b"]),
                                   pl.Float64])
def test_polars_frame_encodes_as_its_pandas_frame(dtype):
    texts = ["x", None, "nan", "é", "b", "x", None]
    data = texts if dtype != pl.Float64 else [1.5, None, float("nan"), 2.0, 1.5, 0.0, -1.0]
    frame = pl.DataFrame({"c": pl.Series(data, dtype=dtype), "n": [1.0, 2, 3, 4, 5, 6, None]})
    a, b = Encoder(), Encoder()
    result, columns = a.encode(frame)
    expected, expected_columns = b.encode(frame.to_pandas())
    assert isinstance(result, pl.DataFrame) and result.columns == ["c", "n"]
    np.testing.assert_array_equal(result.to_numpy(), expected.to_numpy())
    assert columns == expected_columns == ([0] if dtype != pl.Float64 else [])


def _duckdb_relation():
    duckdb = pytest.importorskip("duckdb")
    return duckdb.sql("select * from (values ('b', 1.5, 'p'), (NULL, 2.0, 'q'), "
                      "('a', NULL, 'p'), ('b', 4.0, NULL)) t(word, number, other)")


@pytest.mark.parametrize("library", ["polars", "pyarrow", "duckdb"])
def test_round_trip_gives_the_inputs_library(library):
    data = {"word": ["b", None, "a", "b"], "number": [1.5, 2.0, None, 4.0],
            "other": ["p", "q", "p", None]}
    obj = {"polars": lambda: pl.DataFrame(data), "pyarrow": lambda: pa.table(data),
           "duckdb": _duckdb_relation}[library]()
    kind = pl.DataFrame if library == "polars" else pa.Table
    enc = Encoder()
    encoded, columns = enc.encode(obj)
    assert isinstance(encoded, kind) and columns == [0, 2]
    transformed, columns = enc.transform(obj)
    assert isinstance(transformed, kind) and columns == [0, 2]
    names = ["word", "number", "other"]
    np.testing.assert_array_equal(as_matrix(transformed, names), as_matrix(encoded, names))
    decoded = enc.decode(encoded)
    assert isinstance(decoded, kind)
    table = decoded if kind is pa.Table else decoded.to_arrow()
    assert table.column_names == ["word", "number", "other"]
    assert table.column("word").to_pylist() == data["word"]
    assert table.column("other").to_pylist() == data["other"]
    numbers = table.column("number").to_pylist()
    assert numbers[:2] == [1.5, 2.0] and math.isnan(numbers[2]) and numbers[3] == 4.0
    assert pa.types.is_floating(table.schema.field("number").type)


def test_transform_names_an_unknown_arrow_cell():
    enc = Encoder()
    enc.encode(pl.DataFrame({"w": ["a", "b"], "n": [1.0, 2.0]}))
    with pytest.raises(ValueError, match=r"column 'w', row 2: 'c' is not a label of the fit"):
        enc.transform(pl.DataFrame({"w": ["a", None, "c"], "n": [1.0, 2.0, 3.0]}), unknown="error")
    with pytest.raises(ValueError, match=r"column 'n', row 1: 'x' is neither a number"):
        enc.transform(pa.table({"w": ["a", "a"], "n": [None, "x"]}), unknown="error")
    result, _ = enc.transform(pa.table({"w": ["c", "b"], "n": ["nan", "x"]}), unknown="code")
    assert result.column("w").to_pylist() == [2.0, 1.0]
    assert all(math.isnan(v) for v in result.column("n").to_pylist())


def test_decode_gives_null_for_nan_and_unknown_codes_and_truncates():
    enc = Encoder()
    enc.encode(pl.DataFrame({"w": ["a", "b", "c"]}))
    codes = pl.DataFrame({"w": [1.9, -3.0, float("nan"), 7.0, 2.0, 1e30]})
    assert enc.decode(codes)["w"].to_list() == ["b", "a", None, None, "c", None]


@pytest.mark.parametrize("library", ["polars", "pyarrow"])
def test_decode_with_a_restored_state_of_sparse_codes(library):
    # Codes beyond the number of labels, and a long label (held apart from
    # the row's string view), as only a state read from bytes has them.
    long = "a label longer than twelve bytes ✓"
    enc = Encoder()
    enc.__setstate__(make_state([0], {0: {"x": 7, long: 2**40}}, {0: {7: "x", 2**40: long}}))
    # Rows over several blocks, which are decoded side by side.
    codes = {"c": [7.0, 2.0**40, 0.0, float("nan"), 7.9, 1e30] * 30_000}
    table = pl.DataFrame(codes) if library == "polars" else pa.table(codes)
    decoded = enc.decode(table)
    column = decoded["c"].to_list() if library == "polars" else decoded.column("c").to_pylist()
    assert column == ["x", long, None, None, "x", None] * 30_000
    enc.__setstate__(make_state([0], {0: {"x": 0, long: 1}}, {0: {0: "x", 1: long}}))
    decoded = enc.decode(pl.DataFrame({"c": [1.0, 0.0, 1.5, -1.0, 2.0]}))
    assert decoded["c"].to_list() == [long, "x", long, "x", None]


def _float64_at_odd_address(values):
    """A float64 array over a buffer one byte past an aligned address."""
    buffer = pa.py_buffer(b"\0" + np.ascontiguousarray(values, "<f8").tobytes())[1:]
    return pa.Array.from_buffers(pa.float64(), len(values), [None, buffer])


@pytest.mark.parametrize("layout", ["one batch", "sliced", "with a null", "two chunks",
                                    "misaligned"])
@pytest.mark.parametrize("library", ["polars", "pyarrow"])
def test_decode_of_any_layout_gives_the_pandas_decode_and_copies_numbers_bit_for_bit(library,
                                                                                    layout):
    # Codes of one batch without nulls are read where they lie, the others
    # from a copy; blocks of rows are decoded side by side, with labels from
    # empty to longer than a view holds; numbers are copied bit for bit, a
    # null as NaN, and the result outlives its input, holding none of it.
    rng = np.random.default_rng(7)
    rows = 6 * 65_536 + 11
    vocabulary = np.array(["", "ü"] + [str(k) for k in range(40)] +
                          ["x" * k + str(k) for k in range(10, 40, 3)], object)
    enc = Encoder()
    enc.encode(pa.table({"w": pa.array(vocabulary.tolist())}))
    codes = rng.integers(-1, len(vocabulary) + 2, rows) + rng.choice([0.0, 0.5], rows)
    codes[rng.random(rows) < 0.05] = np.nan
    payload = np.array([0x7FF8_0000_0000_0ABC], np.uint64).view(np.float64)[0]
    numbers = rng.choice([1.5, -0.0, payload, -np.inf, 1e-310], rows)
    baseline = pa.total_allocated_bytes()
    table = pa.table({"w": codes, "n": numbers})
    if layout == "sliced":
        table = pa.concat_tables([table.slice(rows - 5), table]).combine_chunks().slice(5)
    elif layout == "with a null":
        codes[4] = np.nan
        table = pa.table({"w": pa.array(codes, mask=np.arange(rows) == 4),
                          "n": pa.array(numbers, mask=np.arange(rows) == 2)})
    elif layout == "two chunks":
        table = pa.concat_tables([table.slice(0, 70_001), table.slice(70_001)])
    elif layout == "misaligned":
        table = pa.table({"w": _float64_at_odd_address(codes),
                          "n": _float64_at_odd_address(numbers)})
    source = pl.from_arrow(table, rechunk=False) if library == "polars" else table
    expected = enc.decode(pd.DataFrame({"w": codes, "n": numbers}))["w"]
    decoded = enc.decode(source)
    del source, table
    assert pa.total_allocated_bytes() == baseline  # the result holds none of the input
    column = decoded["n"].to_numpy() if library == "polars" else decoded.column("n").to_numpy()
    same = np.ones(rows, bool)
    if layout == "with a null":
        assert math.isnan(column[2])
        same[2] = False
    np.testing.assert_array_equal(column.view(np.uint64)[same], numbers.view(np.uint64)[same])
    words = decoded["w"].to_list() if library == "polars" else decoded.column("w").to_pylist()
    assert words == [None if pd.isna(w) else w for w in expected]


def test_calls_leave_the_inputs_reference_counts_unchanged():
    frame = pl.DataFrame({"w": ["a", "b"], "n": [1.0, 2.0]})
    table = frame.to_arrow()
    enc = Encoder()
    for obj in (frame, table):
        before = sys.getrefcount(obj)
        for _ in range(3):
            encoded, _ = enc.encode(obj)
            enc.transform(obj)
            enc.decode(encoded)
        assert sys.getrefcount(obj) == before


def test_encoded_columns_share_one_matrix_that_outlives_the_encoder():
    enc = Encoder()
    result, _ = enc.encode(pa.table({"a": ["x", "y"] * 500, "b": np.arange(1000.0)}))
    del enc
    assert result.column("b").to_pylist() == list(np.arange(1000.0))
    frame = pl.DataFrame(result)
    del result
    assert frame["a"].to_list()[:3] == [0.0, 1.0, 0.0]


def test_table_without_rows_has_only_number_columns():
    table = pa.table({"a": pa.array([], pa.string()), "b": pa.array([], pa.int64())})
    enc = Encoder()
    result, columns = enc.encode(table)
    assert columns == [] and result.num_rows == 0 and result.column_names == ["a", "b"]
    assert enc.decode(result).num_rows == 0


@pytest.mark.parametrize("column, type_name", [
    (pa.array([b"x"]), "binary"),
    (pa.array([[1, 2]]), "list<int64>"),
    (pa.array([{"f": 1}]), "struct<f: int64>"),
    (pa.array([(1, 2)], pa.map_(pa.string(), pa.int64())) if False else
     pa.array([[("k", 1)]], pa.map_(pa.string(), pa.int64())), "map<"),
    (pa.array([1], pa.month_day_nano_interval()) if False else
     pa.array([pa.MonthDayNano([1, 2, 3])], pa.month_day_nano_interval()), "month_day_nano_interval"),
    (pa.ExtensionArray.from_storage(pa.uuid(), pa.array([b"0" * 16], pa.binary(16)))
     if hasattr(pa, "uuid") else pa.array([b"x"]), "extension<arrow.uuid>" if hasattr(pa, "uuid")
     else "binary"),
])
def test_unsupported_arrow_type_is_refused_naming_the_column(column, type_name):
    table = pa.table({"fine": pa.array(["a"] * len(column)), "bad one": column})
    enc = Encoder()
    enc.encode(pa.table({"a": ["x"]}))
    before = enc.__getstate__()
    with pytest.raises(TypeError, match=r"column 1 \('bad one'\) has the Arrow type " + type_name):
        enc.encode(table)
    assert enc.__getstate__() == before


def _malformed(kind, buffers, length=3):
    array = pa.Array.from_buffers(kind, length, buffers)
    return pa.RecordBatch.from_arrays([pa.array(["a"] * length), array], ["ok", "bad"])


def _views(*views):
    return pa.py_buffer(b"".join(views))


def _long_view(size, buffer, offset):
    return (np.array([size], "<i4").tobytes() + b"abcd" +
            np.array([buffer, offset], "<i4").tobytes())


@pytest.mark.parametrize("batch, detail", [
    (lambda: _malformed(pa.string(), [None, pa.py_buffer(np.array([0, 2, 1, 3], "<i4")),
                                      pa.py_buffer(b"abc")]), "offsets out of order"),
    (lambda: _malformed(pa.string_view(), [None, _views(_long_view(20, 0, 0), _long_view(-20, 0, 0),
                                                        _long_view(13, 0, 0)),
                                           pa.py_buffer(b"x" * 40)]), "negative length"),
    (lambda: _malformed(pa.large_string(), [None, pa.py_buffer(np.array([0, 1, 0, 2], "<i8")),
                                            pa.py_buffer(b"abc")]), "offsets out of order"),
    (lambda: _malformed(pa.string_view(), [None, _views(_long_view(20, 0, 0), _long_view(20, 0, 90),
                                                        _long_view(13, 0, 0)),
                                           pa.py_buffer(b"x" * 40)]), "beyond its data buffer"),
    (lambda: _malformed(pa.string_view(), [None, _views(_long_view(20, 3, 0), _long_view(20, 0, 0),
                                                        _long_view(13, 0, 0)),
                                           pa.py_buffer(b"x" * 40)]), "beyond its data buffer"),
    (lambda: pa.RecordBatch.from_arrays([pa.DictionaryArray.from_arrays(
        pa.array([0, 5, 1], pa.int8()), pa.array(["a", "b"]), safe=False)], ["bad"]),
     "dictionary index 5 out of range"),
])
def test_batch_out_of_range_is_refused_cleanly(batch, detail):
    enc = Encoder()
    baseline = pa.total_allocated_bytes()

    def refuse():
        good = pa.table({"ok": ["a", "b", "c"], "bad": ["x", "y", "z"]})
        bad = batch()
        if bad.num_columns == 1:
            good = good.select(["bad"])
        batches = [good.cast(bad.schema).to_batches()[0], bad]
        with pytest.raises(ValueError, match=f"'bad'.*{detail}"):
            enc.encode(pa.RecordBatchReader.from_batches(bad.schema, batches))

    refuse()
    assert pa.total_allocated_bytes() == baseline
    assert enc.__getstate__() == b"\x00" * 5


def test_stream_failing_halfway_releases_everything():
    schema = pa.schema([("w", pa.string()), ("n", pa.float64())])

    def batches():
        yield pa.record_batch([pa.array(["a"] * 1000), pa.array(np.arange(1000.0))], schema=schema)
        raise RuntimeError("the source broke")

    baseline = pa.total_allocated_bytes()
    enc = Encoder()
    with pytest.raises(Exception, match="the source broke"):
        enc.encode(pa.RecordBatchReader.from_batches(schema, batches()))
    assert pa.total_allocated_bytes() == baseline
    assert enc.__getstate__() == b"\x00" * 5
    # A stream that has been read is refused as such.
    reader = pa.RecordBatchReader.from_batches(schema, [])
    capsule = reader.__arrow_c_stream__()
    pa.RecordBatchReader._import_from_c_capsule(capsule).read_all()
    with pytest.raises(ValueError, match="already consumed"):
        enc.encode(type("Spent", (), {"__arrow_c_stream__": lambda self, s=None: capsule})())


def test_results_release_their_matrix_and_the_input():
    baseline = pa.total_allocated_bytes()
    enc = Encoder()
    for _ in range(3):
        table = pa.table({"w": ["a", "b"] * 5000, "n": np.arange(10000.0),
                          "l": pa.array(["x", None] * 5000, pa.large_string()),
                          "v": pa.array(["y", None, "a text past twelve bytes"] * 5000,
                                        pa.string_view())[:10000]})
        result, _ = enc.encode(table)
        decoded = enc.decode(result)
        del table, result, decoded
    # Neither the encoder nor a result holds the input's memory.
    assert pa.total_allocated_bytes() == baseline


def test_pandas_objects_keep_their_road_and_name_alikes_theirs(capfd):
    frame = pd.DataFrame({"a": ["x", "y"]})
    result, columns = Encoder().encode(frame)
    assert isinstance(result, pd.DataFrame) and columns == [0]
    with pytest.raises(TypeError, match="Unsupported type: 'Series'"):
        Encoder().encode(pd.Series(["x"]))
    with pytest.raises(TypeError, match="Unsupported type: 'Framed'"):
        Encoder().encode(type("Framed", (pd.DataFrame,), {})({"a": ["x"]}))
    # A polars Series exports a stream of one column, not a table.
    capfd.readouterr()
    with pytest.raises(TypeError, match="Unsupported type: 'Series'"):
        Encoder().encode(pl.Series(["x"]))
    assert capfd.readouterr().out == "Series\n"
    # A polars DataFrame is named "DataFrame" too, and is read as Arrow.
    assert type(pl.DataFrame()).__name__ == "DataFrame"
    result, columns = Encoder().encode(pl.DataFrame({"a": ["x", "y"]}))
    assert isinstance(result, pl.DataFrame) and columns == [0]


def test_result_type_is_no_name_of_the_module():
    assert colenc.__all__ == ["Encoder"]
    assert [n for n in dir(colenc) if not n.startswith("__")] == ["Encoder"]
    result, _ = Encoder().encode(pa.table({"a": ["x"]}))
    assert isinstance(result, pa.Table)


def test_missing_pyarrow_is_a_clear_import_error(monkeypatch):
    frame = pl.DataFrame({"a": ["x", "y"]})
    wrapped = type("Wrapped", (), {"__arrow_c_stream__":
                                   lambda self, requested_schema=None: frame.__arrow_c_stream__()})()
    monkeypatch.setitem(sys.modules, "pyarrow", None)
    with pytest.raises(ImportError, match="as a pyarrow.Table.*install pyarrow"):
        Encoder().encode(wrapped)
