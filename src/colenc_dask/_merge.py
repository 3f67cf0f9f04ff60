"""The tree that merges the label lists of all partitions into one sorted list
per column, and the walk back down it that gives every partition its lookup
array: the global code of each of its local codes. Each node holds only label
lists and position arrays, never the cells of a column."""

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc

from colenc_dask._failure import PartitionFailure, first_failure


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
        # One hash pass numbers the distinct labels in order of appearance; a
        # sort of those (Arrow compares binary as unsigned bytes) gives each
        # its rank, and the ranks of every child's labels are its positions.
        encoded = pc.dictionary_encode(pa.concat_arrays([labels for labels, _ in present]))
        order = pc.sort_indices(encoded.dictionary).to_numpy()
        rank = np.empty(len(order), dtype=np.int64)
        rank[order] = np.arange(len(order))
        ranks = rank[encoded.indices.to_numpy(zero_copy_only=False)]
        start = 0
        for child, slot in zip(children, positions):
            if column in child:
                size = len(child[column][0])
                slot[column] = ranks[start:start + size]
                start += size
        missing = tuple(sorted(set().union(*[m for _, m in present])))
        merged[column] = (encoded.dictionary.take(order), missing)
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
