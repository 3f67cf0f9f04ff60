"""The tree that merges the label lists of all partitions into one sorted list
per column, and the walk back down it that gives every partition its lookup
array: the global code of each of its local codes. Each node holds only label
lists and position arrays, never the cells of a column."""

import numpy as np

from colenc_dask._failure import PartitionFailure, first_failure


def merge(*children):
    """Merges the children's {column: (labels, missing)} into one such dict.
    Returns it with, per child, {column: positions of the child's labels in the
    merged labels}. A failure among the children is passed on instead."""
    failure = first_failure(children)
    if failure is not None:
        return failure, failure
    columns = sorted(set().union(*children))
    merged, positions = {}, [{} for _ in children]
    for column in columns:
        parts = [child[column][0] for child in children if column in child]
        missing = set()
        for child in children:
            if column in child:
                missing.update(child[column][1])
        if parts:
            labels, inverse = np.unique(np.concatenate(parts), return_inverse=True)
        else:
            labels, inverse = np.empty(0, dtype=object), np.empty(0, dtype=np.int64)
        start = 0
        for child, slot in zip(children, positions):
            if column in child:
                size = len(child[column][0])
                slot[column] = inverse[start:start + size].astype(np.int64)
                start += size
        merged[column] = (labels.astype(object), tuple(sorted(missing)))
    return merged, positions


def descend(to_root, positions, child):
    """Returns the child's {column: global code of each child label}, given its
    parent's map to the root (None at the root) and the parent's positions."""
    if isinstance(positions, PartitionFailure):
        return positions
    own = positions[child]
    if to_root is None:
        return own
    return {column: to_root[column][pos] for column, pos in own.items()}
