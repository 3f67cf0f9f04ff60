"""The trees that merge the label lists of all partitions into one sorted list
per column and range of labels. The label ranges are cut so that no node
holds more than a share of a column's distinct labels; nodes hold label
lists, never cells."""

import pyarrow as pa
import pyarrow.compute as pc

from colenc_dask._failure import PartitionFailure, first_failure


def merge(*children):
    """Merges the children's {column: (labels, missing)} into one such dict. A
    failure among the children is passed on instead."""
    failure = first_failure(children)
    if failure is not None:
        return failure
    merged = {}
    for column in sorted(set().union(*children)):
        present = [child[column] for child in children if column in child]
        # Arrow compares binary as unsigned bytes: the byte order of the labels.
        distinct = pc.unique(pa.concat_arrays([labels for labels, _ in present]))
        missing = tuple(sorted(set().union(*[m for _, m in present])))
        merged[column] = (distinct.take(pc.sort_indices(distinct)), missing)
    return merged


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
