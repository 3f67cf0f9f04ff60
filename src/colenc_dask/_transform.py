"""The lazy transform of a partitioned table with one fitted encoder, and the
lazy collection of partitions' blocks, which colenc_dask.encode also builds
its result with. Each partition is transformed on its own; two facts come
down from the partitions above it: its first row number in the whole table,
and the columns that turned to text above it. In such a column the whole
table writes every cell of this partition through str(), also the numbers
its own transform would write in the number format above its own turn (or
all of them, where it has no turn), so those columns are transformed again
below a marker cell that makes them turn at the partition's first row."""

import re
import uuid

import numpy as np
import pandas as pd
from dask import delayed

from colenc_dask._partition import MARKER, cells_of


def transform_partitioned(encoder, table, is_frame, unknown):
    """Returns the lazy transform of a dask DataFrame or a 2-D dask Array
    chunked by rows only; see colenc_dask.transform."""
    parts = list(table.to_delayed()) if is_frame else list(table.to_delayed().ravel())
    meta, text_columns = empty_transform(encoder, table, is_frame, unknown)  # refuses what transform refuses
    mixed = _mixed_columns(table, is_frame, text_columns)
    heights = table.chunks[0] if not is_frame else ()
    if not is_frame and not mixed and not any(np.isnan(heights)):
        states = [(int(start), frozenset()) for start in np.cumsum((0,) + heights[:-1])]
    else:
        # (first row, columns turned above) of each partition, handed down a
        # chain of small tasks so that nothing is computed before it is asked for.
        states, state = [], delayed((0, frozenset()))
        for part in parts:
            states.append(state)
            state = delayed(_after)(state, delayed(_facts)(part, mixed))
    rows = None if is_frame or any(np.isnan(heights)) else list(heights)
    return transformed(encoder, parts, is_frame, unknown, states, meta, mixed, rows)


def transformed(encoder, parts, is_frame, unknown, states, meta, redo, rows=None):
    """The lazy collection of the partitions' transforms. states holds each
    partition's (first row, columns turned above), plain or lazy; only the
    columns in redo can need the second transform. rows, when known, gives a
    DataFrame its divisions and an Array its chunk heights."""
    shared = delayed(encoder, name=f"colenc-encoder-{uuid.uuid4().hex}")  # sent to each worker once
    columns = list(meta.columns) if is_frame else None
    blocks = [delayed(transform_block)(shared, part, unknown, state, redo, columns)
              for part, state in zip(parts, states)]
    return collection(blocks, is_frame, meta, rows)


def collection(blocks, is_frame, meta, rows=None):
    """The lazy collection of the input's kind made of its partitions' lazy
    float64 blocks: a DataFrame of meta's columns, or an Array of meta's
    width. rows, when known, gives a DataFrame its divisions and an Array its
    chunk heights."""
    if is_frame:
        import dask.dataframe as dd

        divisions = None
        if rows is not None and all(rows) and rows:
            starts = np.concatenate([[0], np.cumsum(rows)]).astype(int).tolist()
            divisions = tuple(starts[:-1]) + (starts[-1] - 1,)
        return dd.from_delayed(blocks, meta=meta, divisions=divisions, verify_meta=False)
    import dask.array as da

    width = meta.shape[1]
    heights = rows if rows is not None else [np.nan] * len(blocks)
    if not blocks:
        return da.from_array(meta, chunks=meta.shape)
    return da.concatenate([da.from_delayed(block, shape=(height, width), dtype=np.float64)
                           for block, height in zip(blocks, heights)], axis=0)


def transform_block(encoder, part, unknown, state, redo, columns):
    """One partition's share of the whole table's transform (runs on a worker).
    A DataFrame block gets the partition's global row numbers as its index."""
    start, turned = state
    again = sorted(turned.intersection(redo)) if len(part) else []
    if not again:
        encoded, _ = _transform(encoder, part, unknown, start)
    else:
        # The partition's own transform can meet unknown labels in the columns
        # transformed again (a number written in the number format where the
        # whole table writes it through str()), so under "error" those columns
        # are blanked for it and their cells are judged only as turned.
        rest = _blank(part, again) if unknown == "error" else part
        try:
            encoded, _ = _transform(encoder, rest, unknown, start)
        except ValueError as error:
            rest_error = error
        else:
            rest_error = None
        try:
            fixed, _ = _transform(encoder, _marked(part, again, columns), unknown, start - 1)
        except ValueError as error:
            if rest_error is None:
                raise
            # Both fail: the whole table names the first unknown cell by
            # column, then row, so the error of the earlier column is raised.
            _raise_first(encoder, part, again, columns, start, rest_error, error)
        if rest_error is not None:
            raise rest_error
        matrix = np.array(encoded, dtype=np.float64, copy=True)
        matrix[:, again] = np.asarray(fixed)[1:, again]
        encoded = matrix if columns is None else pd.DataFrame(matrix, columns=columns, copy=False)
    if columns is None:
        return encoded
    encoded.index = pd.RangeIndex(start, start + len(encoded))
    return encoded


def _marked(part, again, columns):
    """The columns again of the partition below a marker row that makes them
    turn to text at once; the other columns hold missing values only."""
    marked = np.full((len(part) + 1, part.shape[1]), np.nan, dtype=object)
    for column in again:
        marked[0, column] = MARKER
        marked[1:, column] = cells_of(part, column)
    if columns is not None:  # an unknown label is named by its column's label
        # Object columns kept as they are: pandas would take a column of texts
        # and None for its str dtype, which turns None (the text "None") into NaN.
        marked = pd.DataFrame(marked, columns=columns, copy=False, dtype=object)
    return marked


def _blank(part, blanked):
    """A copy of the partition whose columns in blanked hold missing values
    only, which are never unknown."""
    if isinstance(part, np.ndarray):
        out = np.array(part, dtype=object, copy=True)
        out[:, list(blanked)] = np.nan
        return out
    out = part.copy(deep=False)
    for column in blanked:
        out.isetitem(column, pd.Series(np.nan, index=part.index, dtype=object))
    return out


def _raise_first(encoder, part, again, columns, start, rest_error, again_error):
    """Raises the error of the earlier column when both the blanked partition
    (rest_error) and the columns transformed again (again_error) meet an
    unknown label under "error": the first failing column of again is found
    alone, then the other columns left of it are asked for an error."""
    for first in again:
        try:
            _transform(encoder, _marked(part, [first], columns), "error", start - 1)
        except ValueError:
            break
    left = sorted(set(again) | set(range(first, part.shape[1])))
    try:
        _transform(encoder, _blank(part, left), "error", start)
    except ValueError as error:
        raise error from None
    raise again_error from None


_ROW = re.compile(r"(column .*?, row )(\d+)(: .*)", re.S)


def _transform(encoder, part, unknown, start):
    """encoder.transform of a partition whose first row is row start of the
    whole table: an unknown label's error names its row in the whole table."""
    try:
        return encoder.transform(part, unknown=unknown)
    except ValueError as error:
        found = _ROW.fullmatch(str(error))
        if found is None or start == 0:
            raise
        row = int(found[2]) + start
        raise ValueError(f"{found[1]}{row}{found[3]}") from None


def empty_transform(encoder, table, is_frame, unknown):
    """encoder.transform of the table with no rows: (the result's meta, the
    fit's text columns). Raises what transform raises for the arguments."""
    empty = table._meta if is_frame else np.empty((0, int(table.shape[1])), dtype=table.dtype)
    return encoder.transform(empty, unknown=unknown)


def _mixed_columns(table, is_frame, text_columns):
    """The fitted text columns whose cells may be numbers or texts, so that a
    partition's own turn may differ from the whole table's: object (and
    category) columns. Other columns hold texts or missing values from their
    first row, or numbers alone, in every partition."""
    if is_frame:
        dtypes = table._meta.dtypes
        return frozenset(c for c in text_columns if dtypes.iloc[c] == object or dtypes.iloc[c] == "category")
    return frozenset(text_columns) if table.dtype == object else frozenset()


def _facts(part, mixed):
    """(rows, the columns of mixed that hold a text cell) of a partition, the
    latter from colenc's own typing of those columns."""
    if not mixed or not len(part):
        return len(part), frozenset()
    import colenc

    order = sorted(mixed)
    cells = part[:, order] if isinstance(part, np.ndarray) else part.iloc[:, order]
    _, local = colenc.Encoder().encode(cells)
    return len(part), frozenset(order[c] for c in local or ())


def _after(state, facts):
    (start, turned), (rows, texts) = state, facts
    return start + rows, turned | texts
