"""The trees that merge the label lists of all partitions into one sorted list
per column and range of labels, and the walk back down them that gives every
partition its lookup arrays: the global code of each of its local codes. The
label ranges are cut so that no node holds more than a share of a column's
distinct labels; nodes hold label lists and position arrays, never cells."""

import numpy as np
import pyarrow as pa

import colenc
from colenc_dask._failure import PartitionFailure, first_failure
from colenc_dask._state import sorted_labels


def merge(*children):
    """Merges the children's {column: (labels, missing)} into one such dict.
    Returns it with, per child, {column: positions of the child's labels in the
    merged labels}. A failure among the children is passed on instead."""
    failure = first_failure(children)
    if failure is not None:
        return failure, failure
    merged, positions = {}, [{} for _ in children]
    for column in sorted(set().union(*children)):
        present = [child[column] for child in children if column in child]
        distinct, ranks = distinct_sorted(pa.concat_arrays([labels for labels, _ in present]))
        start = 0
        for child, slot in zip(children, positions):
            if column in child:
                size = len(child[column][0])
                slot[column] = ranks[start:start + size]
                start += size
        missing = tuple(sorted(set().union(*[m for _, m in present])))
        merged[column] = (distinct, missing)
    return merged, positions


def distinct_sorted(labels):
    """Returns (the distinct labels of an Arrow string array in byte order, the
    position of each label among them), from a colenc fit of the labels as one
    text column of a pyarrow Table: its codes are those positions. None of them
    is a missing-value label, so each gets a code."""
    if len(labels) == 0:
        return labels, np.empty(0, dtype=np.int64)
    encoder = colenc.Encoder()
    codes, _ = encoder.encode(pa.table([labels], names=["0"]))
    ranks = codes.column(0).to_numpy().astype(np.int64)
    return sorted_labels(encoder, {0: int(ranks.max()) + 1}, 1)[0], ranks


def join(offsets, *lookups):
    """A partition's lookup arrays from its lookups per label range: range r's
    codes are shifted by offsets[r][column], the labels of the ranges below."""
    failure = first_failure(lookups)
    if failure is not None:
        return failure
    out = {}
    for column in lookups[0]:
        out[column] = np.concatenate([lookup[column] + offsets[r][column]
                                      for r, lookup in enumerate(lookups) if column in lookup])
    return out


def descend(to_root, positions, child):
    """Returns the child's {column: global code of each child label}, given its
    parent's map to the root (None at the root) and the parent's positions.
    A failure in either is passed on: a merge above a sound one may have
    failed for a partition in another subtree."""
    failure = first_failure((to_root, positions))
    if failure is not None:
        return failure
    own = positions[child]
    if to_root is None:
        return own
    return {column: to_root[column][pos] for column, pos in own.items()}


def cut(labels, splitters):
    """Splits {column: (labels, missing)} by label range: returns one such dict
    per range, range r holding the labels from splitters[column][r - 1] up to
    (not including) splitters[column][r]; missing labels go with range 0. A
    column has len(splitters[column]) + 1 ranges."""
    if isinstance(labels, PartitionFailure):
        return [labels] * (1 + max((len(s) for s in splitters.values()), default=0))
    ranges = [{} for _ in range(1 + max((len(s) for s in splitters.values()), default=0))]
    for column, (coded, missing) in labels.items():
        bounds = [0] + [_lower_bound(coded, value) for value in splitters[column]] + [len(coded)]
        for r, (start, stop) in enumerate(zip(bounds, bounds[1:])):
            ranges[r][column] = (coded.slice(start, stop - start), missing if r == 0 else ())
    return ranges


def _lower_bound(labels, value):
    """The first position in sorted labels whose label is not below value."""
    low, high = 0, len(labels)
    while low < high:
        middle = (low + high) // 2
        if labels[middle].as_py() < value:
            low = middle + 1
        else:
            high = middle
    return low
