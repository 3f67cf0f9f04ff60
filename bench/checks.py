"""Checks each contender's result on a sample of rows, NaN-aware.

Encoders are compared with colenc's matrix and column list (with pandas' when
colenc cannot run); decoders with what the input table says every cell must
decode to, which is also what colenc's decode must give.
"""

import math

import numpy as np
import pandas as pd

from workloads import MARKERS

SAMPLE_ROWS = 500


def sample_rows(rows, seed=7):
    """Sorted row positions: the first, the last and a seeded spread between."""
    if rows <= SAMPLE_ROWS:
        return np.arange(rows)
    picked = np.random.default_rng(seed).choice(rows, SAMPLE_ROWS - 2, replace=False)
    return np.unique(np.concatenate([[0, rows - 1], picked]))


def encoded_sample(result, rows):
    """(float64 matrix of the sampled rows, text positions) of an encode result."""
    matrix, text = result
    matrix = matrix.to_numpy(dtype=np.float64) if isinstance(matrix, pd.DataFrame) else matrix
    # colenc answers None instead of [] for a float64 array it copied unchanged.
    return np.asarray(matrix, dtype=np.float64)[rows], [] if text is None else list(text)


def is_missing_cell(cell):
    if cell is None or cell is pd.NA:
        return True
    if isinstance(cell, float):
        return math.isnan(cell)
    return isinstance(cell, str) and cell in MARKERS


def decoded_sample(result, rows, text):
    """The sampled rows as a list of rows; text cells are str or None."""
    if isinstance(result, pd.DataFrame):
        array = result.iloc[rows].to_numpy(dtype=object)
    else:
        array = result[rows]
    out = []
    for cells in array:
        row = []
        for j, cell in enumerate(cells):
            if j in text:
                row.append(None if is_missing_cell(cell) else cell)
            else:
                row.append(float(cell))
        out.append(row)
    return out


def expected_decoding(workload, rows):
    """What decoding must restore: every text cell, the missing ones as None."""
    return decoded_sample(workload.table, rows, set(workload.text_columns))


def same_cell(a, b):
    if isinstance(a, float) and isinstance(b, float):
        return a == b or (math.isnan(a) and math.isnan(b))
    return type(a) is type(b) and a == b


def compare_encoded(got, reference):
    """Returns None when equal, else a short description of the difference."""
    (matrix, text), (ref_matrix, ref_text) = got, reference
    problems = []
    if text != ref_text:
        problems.append(f"text columns {text} != {ref_text}")
    if matrix.shape != ref_matrix.shape:
        problems.append(f"shape {matrix.shape} != {ref_matrix.shape}")
    else:
        differ = ~((matrix == ref_matrix) | (np.isnan(matrix) & np.isnan(ref_matrix)))
        if differ.any():
            i, j = np.argwhere(differ)[0]
            problems.append(f"{int(differ.sum())} of {differ.size} sampled cells differ, "
                            f"first at sample row {i}, column {j}: {matrix[i, j]} != {ref_matrix[i, j]}")
    return "; ".join(problems) or None


def compare_decoded(got, expected):
    """Returns None when equal, else a short description of the difference."""
    differ = [(r, j, a, b) for r, (row, ref) in enumerate(zip(got, expected))
              for j, (a, b) in enumerate(zip(row, ref)) if not same_cell(a, b)]
    if len(got) != len(expected) or any(len(a) != len(b) for a, b in zip(got, expected)):
        return "decoded sample has the wrong shape"
    if differ:
        r, j, a, b = differ[0]
        return (f"{len(differ)} sampled cells differ, first at sample row {r}, column {j}: "
                f"{a!r} != {b!r}")
    return None
