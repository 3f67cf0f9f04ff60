"""colenc_dask against colenc on the whole table: random tables cut into random
partitions (empty and one-row ones included) give the same codes, text columns
and state bytes, bit for bit, and the same transform with a given fit, on
Dask's threaded scheduler and on a LocalCluster of two worker processes; bad
cells raise the same exception."""

import os
import sys
from unittest import mock

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

dask = pytest.importorskip("dask")
dd = pytest.importorskip("dask.dataframe")
da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")

import colenc_dask  # noqa: E402
import colenc_dask._graph  # noqa: E402
from colenc import Encoder  # noqa: E402
from support import Cell  # noqa: E402

SANITIZED = os.environ.get("COLENC_SANITIZED") == "1"


@pytest.fixture(scope="module")
def cluster():
    import cloudpickle

    # Cells of the tests' own classes travel to the workers by value.
    for name in ("support", __name__):
        cloudpickle.register_pickle_by_value(sys.modules[name])
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None, silence_logs=40) as local:
        yield local


@pytest.fixture(params=["threads", "cluster"])
def scheduler(request):
    """Runs the test on the threaded scheduler, then on the LocalCluster."""
    with dask.config.set({"dataframe.convert-string": False}):
        if request.param == "threads":
            with dask.config.set(scheduler="threads"):
                yield "threads"
        else:
            with distributed.Client(request.getfixturevalue("cluster"), set_as_default=True):
                yield "cluster"


MARKERS = ("<NA>", "nan", "NaN")
texts = st.one_of(st.sampled_from(MARKERS + ("", "a", "B", "None", "10", "9", "Zürich", "\U0001f600")),
                  st.text(max_size=3))  # surrogates included
numbers = st.one_of(st.floats(), st.integers(-2**60, 2**60), st.booleans(),
                    st.sampled_from([2**1030, np.float32(0.1), np.int64(7)]))
cells = st.one_of(texts, numbers, st.none())


@st.composite
def object_column(draw, rows):
    """Numbers then anything, anything then numbers, all missing texts, or mixed."""
    shape = draw(st.sampled_from(["numbers_first", "numbers_last", "missing", "mixed"]))
    cut = draw(st.integers(0, rows))
    if shape == "numbers_first":
        return draw(st.lists(numbers, min_size=cut, max_size=cut)) + draw(
            st.lists(cells, min_size=rows - cut, max_size=rows - cut))
    if shape == "numbers_last":
        return draw(st.lists(cells, min_size=cut, max_size=cut)) + draw(
            st.lists(numbers, min_size=rows - cut, max_size=rows - cut))
    if shape == "missing":
        return draw(st.lists(st.sampled_from(MARKERS), min_size=rows, max_size=rows))
    return draw(st.lists(cells, min_size=rows, max_size=rows))


def series(kind, values):
    if kind == "object":
        column = np.empty(len(values), dtype=object)
        column[:] = values if values else []
        for i, value in enumerate(values):
            column[i] = value
        return pd.Series(column, dtype=object)
    strings = [None if v is None else v.encode("utf-8", "replace").decode("utf-8") for v in values]
    return pd.Series(strings, dtype={"arrow": "string[pyarrow]", "str": pd.StringDtype(na_value=np.nan)}[kind])


@st.composite
def tables(draw):
    """A pandas DataFrame and the row boundaries of its partitions."""
    rows = draw(st.integers(0, 12))
    kinds = draw(st.lists(st.sampled_from(["object", "object", "arrow", "str", "float", "int"]),
                          min_size=1, max_size=4))
    columns = {}
    for j, kind in enumerate(kinds):
        if kind == "float":
            columns[f"c{j}"] = pd.Series(draw(st.lists(st.floats(), min_size=rows, max_size=rows)), dtype=float)
        elif kind == "int":
            columns[f"c{j}"] = pd.Series(draw(st.lists(st.integers(-9, 9), min_size=rows, max_size=rows)),
                                         dtype=np.int64)
        elif kind == "object":
            columns[f"c{j}"] = series(kind, draw(object_column(rows)))
        else:
            columns[f"c{j}"] = series(kind, draw(st.lists(st.one_of(st.none(), texts), min_size=rows,
                                                          max_size=rows)))
    frame = pd.DataFrame(columns)
    cuts = sorted(draw(st.lists(st.integers(0, rows), max_size=4)))
    return frame, [0] + cuts + [rows]


def partitioned(frame, bounds):
    parts = [dask.delayed(frame.iloc[a:b]) for a, b in zip(bounds, bounds[1:])]
    return dd.from_delayed(parts, meta=frame.iloc[:0], verify_meta=False)


def assert_same_as_whole(table):
    encoded, text_columns, encoder = colenc_dask.encode(table)
    whole = table.compute()
    reference = Encoder()
    expected, expected_columns = reference.encode(whole)
    got = encoded.compute()
    assert text_columns == expected_columns
    assert encoder.__getstate__() == reference.__getstate__()
    if isinstance(expected, pd.DataFrame):
        pd.testing.assert_frame_equal(got, expected, check_exact=True)
    else:
        assert got.dtype == expected.dtype and got.shape == expected.shape
        assert np.array_equal(got.view(np.uint64), expected.view(np.uint64))  # NaN bits too
    assert_same_transform(encoder, table, "nan", expected)  # transform(T) after encode(T) is encode(T)
    decoded = colenc_dask.decode(encoder, encoded).compute()
    expected_decoded = reference.decode(expected)
    if isinstance(expected, pd.DataFrame):
        pd.testing.assert_frame_equal(decoded, expected_decoded)
    else:
        assert decoded.dtype == expected_decoded.dtype and decoded.shape == expected_decoded.shape
        assert list(map(repr, decoded.ravel())) == list(map(repr, expected_decoded.ravel()))
    return encoded


def assert_same_transform(encoder, table, unknown, expected=None):
    """colenc_dask.transform against encoder.transform of the whole table:
    the same result bit for bit, or a ValueError from both."""
    whole = table.compute()
    try:
        if expected is None:
            expected, _ = encoder.transform(whole, unknown=unknown)
    except ValueError:
        with pytest.raises(ValueError, match=r"^column .*, row \d+: "):
            colenc_dask.transform(encoder, table, unknown).compute()
        return
    got = colenc_dask.transform(encoder, table, unknown).compute()
    if isinstance(expected, pd.DataFrame):
        pd.testing.assert_frame_equal(got, expected, check_exact=True)
    else:
        assert got.dtype == expected.dtype and got.shape == expected.shape
        assert np.array_equal(got.view(np.uint64), expected.view(np.uint64))


def examples(count):
    return settings(derandomize=True, database=None, deadline=None,
                    max_examples=count if not SANITIZED else count // 4,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])


@examples(100)
@given(case=tables(), range_labels=st.sampled_from([1, 3, 10**9]), fan_in=st.sampled_from([2, 64]))
def test_frames_cut_anywhere_encode_as_the_whole_table_on_threads(case, range_labels, fan_in):
    # Small label ranges make the merge split every column into several ranges;
    # a small fan-in makes merge trees of several levels, walked back down.
    frame, bounds = case
    with dask.config.set({"dataframe.convert-string": False, "scheduler": "threads"}), \
            mock.patch.object(colenc_dask._graph, "RANGE_LABELS", range_labels), \
            mock.patch.object(colenc_dask._graph, "FAN_IN", fan_in):
        assert_same_as_whole(partitioned(frame, bounds))


@examples(100)
@given(case=tables(), data=st.data())
def test_frames_cut_anywhere_transform_as_the_whole_table_with_a_fit_of_some_rows(case, data):
    # A fit of some rows leaves labels unseen and puts the turns elsewhere.
    frame, bounds = case
    rows = data.draw(st.integers(0, len(frame)))
    encoder = Encoder()
    encoder.encode(frame.iloc[data.draw(st.permutations(range(len(frame))))[:rows]])
    with dask.config.set({"dataframe.convert-string": False, "scheduler": "threads"}):
        assert_same_transform(encoder, partitioned(frame, bounds), data.draw(st.sampled_from(UNKNOWN)))


UNKNOWN = ["nan", "code", "error"]


@examples(16)
@given(case=tables())
def test_frames_cut_anywhere_encode_as_the_whole_table_on_a_cluster(case, cluster):
    frame, bounds = case
    with dask.config.set({"dataframe.convert-string": False}), distributed.Client(cluster), \
            mock.patch.object(colenc_dask._graph, "RANGE_LABELS", 2):
        assert_same_as_whole(partitioned(frame, bounds))


@examples(40)
@given(rows=st.integers(0, 9), width=st.integers(1, 3), data=st.data())
def test_object_arrays_cut_into_row_blocks_encode_as_the_whole_array(rows, width, data):
    source = np.empty((rows, width), dtype=object)
    for j in range(width):
        for i, cell in enumerate(data.draw(object_column(rows))):
            source[i, j] = cell
    cuts = sorted(data.draw(st.lists(st.integers(0, rows), max_size=3)))
    bounds = [0] + cuts + [rows]
    chunks = (tuple(b - a for a, b in zip(bounds, bounds[1:])), (width,))
    with dask.config.set(scheduler="threads"):
        assert_same_as_whole(da.from_array(source, chunks=chunks))
        encoder = Encoder()
        encoder.encode(source[:data.draw(st.integers(0, rows))] if rows else source)
        assert_same_transform(encoder, da.from_array(source, chunks=chunks), data.draw(st.sampled_from(UNKNOWN)))


# The whole column turns at row 0 ("<NA>" is a text), so 0.0 at row 7 is "0.0";
# the partition of rows 7-8 alone would write it "0" above its own turn.
ONLY_MISSING_ABOVE = [["<NA>"] * 5 + [None, "<NA>", 0.0, None], ["<NA>"] * 5 + [None] + ["<NA>"] * 3]


def threads_on_object_columns():
    return dask.config.set({"scheduler": "threads", "dataframe.convert-string": False})


def cut_at_row_7(columns, kind):
    source = np.empty((9, len(columns)), dtype=object)
    for j, column in enumerate(columns):
        source[:, j] = column
    if kind == "array":
        return source, da.from_array(source, chunks=((7, 2), (len(columns),)))
    frame = pd.DataFrame(source, columns=[f"c{j}" for j in range(len(columns))])
    return frame, partitioned(frame, [0, 7, 9])


@pytest.mark.parametrize("kind", ["array", "frame"])
@pytest.mark.parametrize("unknown", UNKNOWN)
def test_a_turn_above_of_missing_texts_only_labels_later_numbers_through_str(kind, unknown):
    with threads_on_object_columns():
        source, table = cut_at_row_7(ONLY_MISSING_ABOVE, kind)
        assert_same_as_whole(table)
        encoder = Encoder()
        encoder.encode(source)
        assert_same_transform(encoder, table, unknown)


@pytest.mark.parametrize("kind", ["array", "frame"])
@pytest.mark.parametrize("number_column", [0, 1])
def test_unknown_cells_in_a_reformatted_column_and_another_name_the_first_by_column(kind, number_column):
    # Row 7 of the text column is an unknown "5.0", row 8 of the number column a text.
    text = ["<NA>"] * 7 + [5.0, None]
    numbers = [float(i) for i in range(8)] + ["x"]
    fit = [ONLY_MISSING_ABOVE[0], [float(i) for i in range(9)]]
    new = [text, numbers]
    if number_column == 0:
        fit, new = fit[::-1], new[::-1]
    encoder = Encoder()
    encoder.encode(cut_at_row_7(fit, kind)[0])
    with pytest.raises(ValueError) as whole:
        encoder.transform(cut_at_row_7(new, kind)[0], unknown="error")
    with threads_on_object_columns(), pytest.raises(ValueError) as got:
        colenc_dask.transform(encoder, cut_at_row_7(new, kind)[1], "error").compute()
    assert str(got.value) == str(whole.value)


def test_the_turn_in_a_later_partition_reformats_earlier_numbers_and_later_ones(scheduler):
    # Whole table: 1.0 above the turn is "1", 1.0 below it is "1.0", NaN above "NaN", below "nan".
    cells = [1.0, float("nan"), 2.5, "a", 1.0, float("nan"), True, 2.5]
    frame = pd.DataFrame({"x": pd.Series(cells, dtype=object), "y": np.arange(8.0)})
    encoded = assert_same_as_whole(partitioned(frame, [0, 2, 3, 3, 4, 6, 8]))
    assert list(encoded.compute().index) == list(range(8))


def test_none_stays_the_text_none_in_a_partition_transformed_again_as_turned():
    # The partition below the turn holds texts and None only: transformed again
    # from a frame of its cells, None must stay an object, whose text is "None".
    frame = pd.DataFrame({"x": pd.Series(["a", "<NA>", None, "c"], dtype=object)})
    with threads_on_object_columns():
        assert_same_as_whole(partitioned(frame, [0, 1, 4]))


@pytest.mark.parametrize("convert_string", [True, False])
def test_dasks_own_string_conversion_of_object_columns(convert_string):
    frame = pd.DataFrame({"city": ["Oslo", None, "Bern", "nan", "Zürich", "Oslo"],
                          "n": [1, 2, 3, 4, 5, 6]})
    with dask.config.set({"dataframe.convert-string": convert_string, "scheduler": "threads"}):
        assert_same_as_whole(dd.from_pandas(frame, npartitions=3))


@pytest.mark.parametrize("fit_on", [[1.0, "a"], ["a", 1.0, 2.5], [2.5, True]], ids=["turn_below", "turn_at_top",
                                                                                    "numbers"])
def test_transform_labels_each_partition_by_the_whole_tables_turn(scheduler, fit_on):
    cells = [1.0, float("nan"), 2.5, "a", 1.0, "b", True, 2.5]
    frame = pd.DataFrame({"x": pd.Series(cells, dtype=object), "y": np.arange(8.0)})
    encoder = Encoder()
    encoder.encode(pd.DataFrame({"x": pd.Series(fit_on, dtype=object), "y": 0.0}))
    table = partitioned(frame, [0, 2, 3, 3, 4, 6, 8])
    for unknown in UNKNOWN:
        assert_same_transform(encoder, table, unknown)
    assert list(colenc_dask.transform(encoder, table).compute().index) == list(range(8))


@pytest.mark.parametrize("bounds", [[0, 5, 7], [0, 2, 4, 7]])
def test_an_unknown_label_is_named_by_its_row_in_the_whole_table(bounds):
    frame = pd.DataFrame({"n": np.arange(7.0), "city": ["Oslo"] * 5 + ["Lima", "Oslo"]})
    encoder = Encoder()
    encoder.encode(frame.iloc[:5])
    message = "column 'city', row 5: 'Lima' is not a label of the fit"
    with pytest.raises(ValueError, match=message):
        encoder.transform(frame, unknown="error")
    with dask.config.set(scheduler="threads"), pytest.raises(ValueError, match=message):
        colenc_dask.transform(encoder, partitioned(frame, bounds), "error").compute()


@pytest.mark.parametrize("fit, unknown, error, words", [
    (None, "nan", ValueError, "no fit"),
    (np.array([["a", "b"]], dtype=object), "nan", ValueError, "beyond"),
    (np.array([["a"]], dtype=object), "other", ValueError, "other"),
    (np.array([["a"]], dtype=object), 1, TypeError, "str"),
], ids=["no_fit", "too_narrow", "bad_unknown", "unknown_not_str"])
def test_transform_refuses_what_needs_no_cells_at_once(fit, unknown, error, words):
    encoder = Encoder()
    if fit is not None:
        encoder.encode(fit)
    table = da.from_array(np.array([["a"], ["b"]], dtype=object), chunks=1)
    with pytest.raises(error, match=words):
        colenc_dask.transform(encoder, table, unknown)


def test_float64_arrays_pass_through_without_a_fit():
    values = np.arange(12.0).reshape(6, 2)
    encoded, text_columns, encoder = colenc_dask.encode(da.from_array(values, chunks=(2, 1)))
    assert text_columns is None and encoder.__getstate__() == Encoder().__getstate__()
    assert np.array_equal(encoded.compute(), values)


def test_arrays_chunked_by_columns_are_encoded_by_row_blocks():
    source = np.array([["b", 1], ["a", "x"], [3, 2], ["a", None]], dtype=object)
    with dask.config.set(scheduler="threads"):
        encoded = assert_same_as_whole(da.from_array(source, chunks=(3, 1)))
    assert encoded.chunks == ((3, 1), (2,))


def test_the_result_frame_knows_its_row_numbers_as_divisions():
    frame = pd.DataFrame({"a": list("abcdefg")})
    with dask.config.set(scheduler="threads"):
        encoded, _, _ = colenc_dask.encode(dd.from_pandas(frame, npartitions=3))
    assert encoded.npartitions == 3 and encoded.divisions[0] == 0 and encoded.divisions[-1] == 6
    assert encoded.loc[5].compute().index.tolist() == [5]


@pytest.mark.parametrize("bounds", [[0, 1, 3], [0, 2, 3], [0, 1, 2, 3]],
                         ids=["bad_cell_in_own_turn", "bad_cell_below_turn", "bad_cell_in_another_subtree"])
def test_a_cell_whose_str_fails_raises_the_whole_tables_exception(scheduler, bounds, panic):
    # The bad cell converts to a number, so only a turn above it calls its str().
    # Two children per merge node: with three partitions, the failure's subtree
    # and a sound one meet only at the root, and both are walked back down.
    bad = Cell(as_float=1.0, as_str=ValueError("no text"))
    frame = pd.DataFrame({"x": pd.Series(["a", 2.0, bad], dtype=object)})
    table = partitioned(frame, bounds)
    with panic("cant convert to str: ValueError: no text"):
        Encoder().encode(table.compute())
    with panic("cant convert to str: ValueError: no text"), \
            mock.patch.object(colenc_dask._graph, "FAN_IN", 2):
        colenc_dask.encode(table)


def test_frame_labels_colenc_refuses_raise_its_type_error():
    frame = pd.DataFrame([[1, "a"]], columns=["a", 1])
    with dask.config.set(scheduler="threads"), pytest.raises(TypeError):
        colenc_dask.encode(dd.from_pandas(frame, npartitions=1))


@pytest.mark.parametrize("make, error, words", [
    (lambda: pd.DataFrame({"a": [1]}), TypeError, "not pandas.*DataFrame"),
    (lambda: [[1, "a"]], TypeError, "not builtins.list"),
    (lambda: dd.from_pandas(pd.Series(["a"]), npartitions=1), TypeError, "not dask.dataframe"),
    (lambda: da.from_array(np.array(["a", "b"], dtype=object), chunks=1), ValueError, "not one of 1 dimensions"),
    (lambda: da.zeros((2, 2, 2)), ValueError, "not one of 3 dimensions"),
], ids=["pandas", "list", "dask_series", "1d", "3d"])
def test_inputs_it_cannot_take_are_refused_by_name(make, error, words):
    with pytest.raises(error, match=words):
        colenc_dask.encode(make())


def test_a_folder_of_parquet_files_encodes_and_writes_back(tmp_path, scheduler):
    frame = pd.DataFrame({"city": ["Oslo", "Bern", None, "Oslo", "Zürich", "Bern"] * 5,
                          "age": np.arange(30.0)})
    for k in range(3):
        frame.iloc[10 * k:10 * (k + 1)].to_parquet(tmp_path / f"part-{k}.parquet")
    table = dd.read_parquet(str(tmp_path / "*.parquet"))
    encoded = assert_same_as_whole(table)
    encoded.to_parquet(str(tmp_path / "encoded"))
    back = dd.read_parquet(str(tmp_path / "encoded")).compute()
    pd.testing.assert_frame_equal(back, encoded.compute(), check_index_type=False)


@pytest.mark.parametrize("entries", [
    {"a": 0, "b": 1, "<NA>": None, "nan": None},  # colenc's order: coded labels, then missing ones
    {"nan": None, "a": 0, "<NA>": None, "b": 1},  # any other order is read entry by entry
    {"a": 0, "nan": None, "<NA>": None, "a long label": 1},  # a skip that lands inside an entry
])
def test_missing_labels_are_found_in_a_state_of_any_entry_order(entries):
    import pyarrow as pa

    from colenc_dask._state import _missing_labels
    from support import make_state

    coded = sorted((code, label) for label, code in entries.items() if code is not None)
    state = make_state([2], {2: entries}, {2: dict(coded)})
    labels = {2: pa.array([label.encode() for _, label in coded], pa.large_binary())}
    assert _missing_labels(state, labels) == {2: (b"<NA>", b"nan")}


def test_a_state_says_whether_the_encoder_holds_a_fit():
    from colenc_dask._state import has_fit

    encoder = Encoder()
    assert not has_fit(encoder)
    encoder.encode(np.array([["a"], ["b"]], dtype=object))
    assert has_fit(encoder)
