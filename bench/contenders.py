"""The contenders: colenc and its peers doing the same job, plus the floors.

Encoding: dense codes per text column in ascending UTF-8 byte order, the
markers and real missing cells as NaN, number columns through as float64, one
float64 matrix. Decoding: codes back to texts (None for a missing code in a
DataFrame, "NaN" in an array), numbers as they are. Peers are told which
columns hold text the way a pandas user would pick them: by dtype.
Each contender's `setup(workload)` does the untimed preparation (imports,
fitting a decoder) and returns the call that is timed.
"""

import importlib
from dataclasses import dataclass
from typing import Callable

import numpy as np
import pandas as pd

from workloads import MARKERS


@dataclass(frozen=True)
class Contender:
    name: str
    job: str  # "encode", "decode" or "floor"
    module: str  # what must import for it to run
    setup: Callable  # Workload -> timed zero-argument call
    applies: Callable = lambda w: True


def missing_module(contender):
    """Returns why the contender cannot run here, or None."""
    try:
        importlib.import_module(contender.module)
    except Exception as error:  # a broken install is as good as none
        return f"{type(error).__name__}: {error}"
    return None


def columns_of(table):
    """[(is_text, column)]: DataFrame columns as Series, array columns as views."""
    if isinstance(table, pd.DataFrame):
        return [(not pd.api.types.is_numeric_dtype(dtype), table.iloc[:, j])
                for j, dtype in enumerate(table.dtypes)]
    return [(table.dtype == object, table[:, j]) for j in range(table.shape[1])]


def assemble(table, text_codes):
    """One float64 matrix: `text_codes` {position: codes} and the number columns.

    Column-major, so that each column is one contiguous write.
    """
    out = np.empty(table.shape, dtype=np.float64, order="F")
    for j, (is_text, column) in enumerate(columns_of(table)):
        out[:, j] = text_codes[j] if is_text else np.asarray(column, dtype=np.float64)
    return out, sorted(text_codes)


def remap_without_markers(sorted_labels):
    """Float codes for sorted labels with the markers dropped and the rest renumbered.

    Has one extra trailing NaN so that a code of -1 (pandas' missing) maps to NaN.
    """
    if not isinstance(sorted_labels, pd.Index):
        # dtype=object, or pandas 3 would first convert the labels to its string dtype.
        sorted_labels = pd.Index(sorted_labels, dtype=object)
    keep = ~np.asarray(sorted_labels.isin(MARKERS))
    remap = np.full(len(keep) + 1, np.nan)
    remap[:-1][keep] = np.arange(np.count_nonzero(keep))
    return remap, keep


# --- colenc -----------------------------------------------------------------

def colenc_encode(workload):
    import colenc
    encoder, table = colenc.Encoder(), workload.table
    return lambda: encoder.encode(table)


def colenc_decode(workload):
    import colenc
    encoder = colenc.Encoder()
    encoded, _ = encoder.encode(workload.table)
    return lambda: encoder.decode(encoded)


# --- pandas ------------------------------------------------------------------

def pandas_fit(table):
    """Returns (matrix, text positions, {position: labels in code order})."""
    codes, labels = {}, {}
    for j, (is_text, column) in enumerate(columns_of(table)):
        if is_text:
            raw, uniques = pd.factorize(column, sort=True)
            remap, keep = remap_without_markers(uniques)
            codes[j] = remap[raw]
            labels[j] = np.asarray(uniques, dtype=object)[keep]
    matrix, text = assemble(table, codes)
    return matrix, text, labels


def pandas_encode(workload):
    table = workload.table
    return lambda: pandas_fit(table)[:2]


def pandas_decode(workload):
    matrix, text, labels = pandas_fit(workload.table)
    missing = None if workload.is_frame else "NaN"
    # One trailing missing value: the code -1 that NaN becomes picks it.
    lookup = {j: np.append(labels[j], missing) for j in text}
    names = list(workload.table.columns) if workload.is_frame else None

    def decode():
        columns = []
        for j in range(matrix.shape[1]):
            if j in lookup:
                codes = matrix[:, j]
                index = np.where(np.isnan(codes), -1, codes).astype(np.intp)
                columns.append(lookup[j].take(index))
            else:
                columns.append(matrix[:, j])
        return build_decoded(columns, names)

    return decode


def build_decoded(columns, names):
    """The decoded result from per-column arrays: a DataFrame when names is given."""
    if names is not None:
        # dtype=object, or pandas 3 would turn the labels into its string dtype.
        series = {k: pd.Series(c, dtype=object if c.dtype == object else None, copy=False)
                  for k, c in enumerate(columns)}
        frame = pd.DataFrame(series, copy=False)
        frame.columns = [str(name) for name in names]
        return frame
    out = np.empty((len(columns[0]) if columns else 0, len(columns)), dtype=object)
    for j, column in enumerate(columns):
        out[:, j] = column
    return out


# --- scikit-learn ------------------------------------------------------------

def sklearn_masked_text(table):
    """The text columns as a 2-D input with the markers masked to NaN."""
    text = [j for j, (is_text, _) in enumerate(columns_of(table)) if is_text]
    if isinstance(table, pd.DataFrame):
        part = table.iloc[:, text]
        return part.mask(part.isin(MARKERS)), text
    part = table[:, text]  # a copy, since the markers are overwritten
    for marker in MARKERS:
        part[part == marker] = np.nan
    return part, text


def sklearn_fit(table):
    from sklearn.preprocessing import OrdinalEncoder

    part, text = sklearn_masked_text(table)
    encoder = OrdinalEncoder(dtype=np.float64, encoded_missing_value=np.nan)
    codes = encoder.fit_transform(part)
    matrix, text = assemble(table, {j: codes[:, k] for k, j in enumerate(text)})
    return matrix, text, encoder


def sklearn_encode(workload):
    import sklearn.preprocessing  # noqa: F401  (imported before the clock starts)

    table = workload.table
    return lambda: sklearn_fit(table)[:2]


def sklearn_decode(workload):
    matrix, text, encoder = sklearn_fit(workload.table)
    missing = None if workload.is_frame else "NaN"
    names = list(workload.table.columns) if workload.is_frame else None

    def decode():
        labels = encoder.inverse_transform(matrix[:, text])
        labels[pd.isna(labels)] = missing
        position = {j: k for k, j in enumerate(text)}
        columns = [labels[:, position[j]] if j in position else matrix[:, j]
                   for j in range(matrix.shape[1])]
        return build_decoded(columns, names)

    return decode


# --- pyarrow -------------------------------------------------------------------

def pyarrow_encode(workload):
    import pyarrow as pa
    import pyarrow.compute as pc

    markers = pa.array(MARKERS)

    def encode_column(column):
        if isinstance(column, pd.Series):
            array = pa.Array.from_pandas(column)  # no copy for Arrow-backed strings
        else:
            array = pa.array(column, from_pandas=True)
        if isinstance(array, pa.ChunkedArray):
            array = array.combine_chunks()
        encoded = pc.dictionary_encode(array)
        order = pc.array_sort_indices(encoded.dictionary)
        dictionary = encoded.dictionary.take(order)
        keep = pc.invert(pc.is_in(dictionary, value_set=markers.cast(dictionary.type)))
        keep = keep.to_numpy(zero_copy_only=False)
        remap = np.empty(len(keep))
        remap[order.to_numpy()] = np.where(keep, np.cumsum(keep) - 1, np.nan)
        codes = pc.take(pa.array(remap), encoded.indices)
        return pc.fill_null(codes, np.nan).to_numpy(zero_copy_only=False)

    table = workload.table

    def encode():
        return assemble(table, {j: encode_column(column)
                                for j, (is_text, column) in enumerate(columns_of(table)) if is_text})

    return encode


# --- polars --------------------------------------------------------------------

def polars_encode(workload):
    import polars as pl

    table = workload.table

    def encode():
        text = [j for j, (is_text, _) in enumerate(columns_of(table)) if is_text]
        if isinstance(table, pd.DataFrame):
            frame = pl.from_pandas(table.iloc[:, text].set_axis([f"c{j}" for j in text], axis=1))
        else:
            frame = pl.DataFrame({f"c{j}": pl.Series(table[:, j], dtype=pl.String) for j in text})
        ranks = frame.select([
            (pl.when(pl.col(name).is_in(list(MARKERS))).then(None).otherwise(pl.col(name))
             .rank("dense").cast(pl.Float64) - 1.0).alias(name)
            for name in frame.columns
        ]).to_numpy()
        return assemble(table, {j: ranks[:, k] for k, j in enumerate(text)})

    return encode


# --- floors --------------------------------------------------------------------

def floor_copy(workload):
    """One pass touching every cell: a copy of the table's array (object or float64)."""
    array = workload.table.values if workload.is_frame else workload.table
    return array.copy


def floor_column_copy(workload):
    """One pass touching every cell in column order: each column's object
    array copied, as a column-at-a-time encoder must visit them."""
    table = workload.table
    if workload.is_frame:
        return lambda: [table.iloc[:, j].to_numpy(copy=True) for j in range(table.shape[1])]
    return lambda: [table[:, j].copy() for j in range(table.shape[1])]


def has_objects(workload):
    return workload.variant in ("object", "cells", "loaded")


def floor_values(workload):
    table = workload.table
    return lambda: table.values


def has_text(workload):
    return bool(workload.text_columns)


CONTENDERS = [
    Contender("colenc", "encode", "colenc", colenc_encode),
    Contender("pandas", "encode", "pandas", pandas_encode),
    Contender("sklearn", "encode", "sklearn", sklearn_encode, has_text),
    Contender("pyarrow", "encode", "pyarrow", pyarrow_encode, has_text),
    Contender("polars", "encode", "polars", polars_encode, has_text),
    Contender("colenc", "decode", "colenc", colenc_decode, has_text),
    Contender("pandas", "decode", "pandas", pandas_decode, has_text),
    Contender("sklearn", "decode", "sklearn", sklearn_decode, has_text),
    Contender("arr.copy()", "floor", "numpy", floor_copy),
    Contender("column copy", "floor", "numpy", floor_column_copy, has_objects),
    Contender("df.values", "floor", "pandas", floor_values, lambda w: w.is_frame),
]


def find(name, job):
    return next(c for c in CONTENDERS if c.name == name and c.job == job)
