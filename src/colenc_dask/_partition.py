"""The work done on one partition: its local fit, the second look at a column
whose global typing differs from its local one, and the final encode that
turns local codes into global codes. A partition is a pandas DataFrame or a
2-D NumPy array; every function here runs on a worker."""

from typing import NamedTuple

import numpy as np
import pandas as pd

import colenc
from colenc_dask._state import labels_of_fit

# How a partition's cells of a globally text column become texts: as its own
# encode made them, all through str() (the column turned above the partition),
# or all through colenc's number format (the column turns below it).
AS_IS, AS_STR, AS_NUMBER = "as_is", "str", "number"
SAMPLE = 64  # labels a partition shows the client per column, to choose label ranges
MARKER = "<NA>"  # a text cell that forces the turn where it is put and gets no code


class LabelSample(NamedTuple):
    """What a partition shows the client of one text column's labels."""

    count: int  # labels of the local fit
    labels: list  # at most SAMPLE of them, spread over the sorted list


class PartitionSummary(NamedTuple):
    """What the client learns of a partition's local fit."""

    rows: int
    text_columns: tuple  # the columns its own encode made text
    first_text_columns: tuple  # of those, the ones whose first cell is already text
    samples: dict  # {column: LabelSample}


class PartitionFit(NamedTuple):
    """A partition's local fit: its summary, which the client gathers, and its
    labels {column: (labels, missing)}, which stay on the workers for the
    merge."""

    summary: PartitionSummary
    labels: dict


def fit_partition(part):
    """Encodes the partition alone; returns its PartitionFit."""
    encoder = colenc.Encoder()
    result, text = encoder.encode(part)
    labels = labels_of_fit(encoder, np.asarray(result, dtype=np.float64), text) if text else {}
    first_text = ()
    if text:
        _, first_text = colenc.Encoder().encode(part[:1] if isinstance(part, np.ndarray) else part.iloc[:1])
    samples = {column: LabelSample(len(coded), coded[::max(1, len(coded) // SAMPLE)].to_pylist())
               for column, (coded, _) in labels.items()}
    return PartitionFit(PartitionSummary(len(part), tuple(text or ()), tuple(first_text or ()), samples), labels)


def look_labels(part, looks):
    """Returns {column: (labels, missing)} of the columns in looks {column:
    mode}, their cells typed as the mode says."""
    out = {}
    for column, mode in looks.items():
        _, labels = _look(part, column, mode)
        out[column] = labels
    return out


def leaf(labels, looked, modes):
    """A partition's label lists for the merge: for each globally text column of
    a non-empty partition, its local labels, from the local fit (AS_IS) or
    from the second look."""
    return {column: labels[column] if mode == AS_IS else looked[column] for column, mode in modes.items()}


def encode_partition(part, offset, modes, lookups, frame_columns):
    """The partition's share of the global result: local encode, second looks,
    and local codes replaced by global codes through the lookup arrays."""
    result, _ = colenc.Encoder().encode(part)
    # An array result is the encode's own, written in place; a frame's values
    # are copied out, as pandas hands them out read-only.
    matrix = result if isinstance(result, np.ndarray) else result.to_numpy(dtype=np.float64, copy=True)
    for column, mode in modes.items():
        if mode == AS_IS:
            codes = matrix[:, column]
        elif mode == AS_NUMBER:
            codes, _ = _number_look(matrix[:, column])
        else:
            codes, _ = _str_look(cells_of(part, column))
        matrix[:, column] = _remap(codes, lookups[column])
    if frame_columns is None:
        return matrix
    return pd.DataFrame(matrix, columns=frame_columns, index=pd.RangeIndex(offset, offset + len(matrix)),
                        copy=False)


def _remap(codes, lookup):
    """Global codes of local codes; NaN (a missing value) stays NaN."""
    out = np.full(len(codes), np.nan)
    coded = ~np.isnan(codes)
    out[coded] = lookup[codes[coded].astype(np.int64)]
    return out


def _look(part, column, mode):
    if mode == AS_NUMBER:
        values, _ = colenc.Encoder().encode(_as_table(cells_of(part, column)))
        return _number_look(values[:, 0])
    return _str_look(cells_of(part, column))


def _number_look(values):
    """Codes and (labels, missing) of float64 values as texts in colenc's number
    format: a text cell appended below them makes the column turn there."""
    cells = np.empty(len(values) + 1, dtype=object)
    cells[:-1] = values.astype(object)
    cells[-1] = MARKER
    codes, labels = _fit(cells)
    missing = (b"NaN",) if np.isnan(values).any() else ()
    return codes[:-1], (labels[0], missing)


def _str_look(cells):
    """Codes and (labels, missing) of cells as their str() texts: a text cell
    put above them makes the column turn at once. The marker adds "<NA>" to the
    fit's missing labels, so whether a cell itself says "<NA>" is asked of the
    cells that got no code, this time below a "nan"."""
    marked = np.empty(len(cells) + 1, dtype=object)
    marked[0] = MARKER
    marked[1:] = cells
    codes, (labels, missing) = _fit(marked)
    codes = codes[1:]
    missing = set(missing) - {MARKER.encode()}
    uncoded = cells[np.isnan(codes)]
    if len(uncoded):
        probe = np.empty(len(uncoded) + 1, dtype=object)
        probe[0] = "nan"
        probe[1:] = uncoded
        if MARKER.encode() in _fit(probe)[1][1]:
            missing.add(MARKER.encode())
    return codes, (labels, tuple(sorted(missing)))


def _fit(cells):
    """Encodes one column of cells; returns its codes and (labels, missing)."""
    encoder = colenc.Encoder()
    result, _ = encoder.encode(_as_table(cells))
    return result[:, 0], labels_of_fit(encoder, result, [0])[0]


def _as_table(cells):
    return cells.reshape(-1, 1)


def cells_of(part, column):
    """The cells of one column as an object array, the same objects colenc reads
    from the whole partition: a DataFrame's cells are those of its values."""
    if isinstance(part, np.ndarray):
        cells = part[:, column]
    else:
        dtype = part.iloc[:0].values.dtype
        cells = part.iloc[:, column].to_numpy(dtype=dtype)
    if cells.dtype == object:
        return cells
    if cells.dtype.kind in "USfiub":
        return cells.astype(object)  # Python scalars with the same float() and str()
    out = np.empty(len(cells), dtype=object)
    for row, cell in enumerate(cells):  # other scalars stay NumPy scalars, as cells of the array
        out[row] = cell
    return out
