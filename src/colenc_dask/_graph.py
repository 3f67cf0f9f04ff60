"""Builds and runs the Dask graphs of a partitioned encode: the local fits,
the global typing of every column, the merge tree of label lists with the
lookup arrays it hands back to the partitions, and the lazy collection of
global codes. Runs on the client; the work itself is in _partition and
_merge."""

import dask
import numpy as np
import pyarrow as pa
from dask import delayed

import colenc
from colenc_dask import _partition as work
from colenc_dask._failure import PartitionFailure, first_failure, guarded
from colenc_dask._merge import cut, descend, join, merge
from colenc_dask._state import fitted_encoder
from colenc_dask._transform import collection

# Children per node of a merge tree. A range's labels are few enough for one
# node (RANGE_LABELS), so a tree of one level merges each label once; more
# levels only bound the pieces that one task gathers.
FAN_IN = 64
RANGE_LABELS = 2_000_000  # local labels (counted with repeats) per label range of a column


def encode_partitioned(table, is_frame):
    """Returns (encoded, text_columns, encoder) for a dask DataFrame or a 2-D
    dask Array chunked by rows only; see colenc_dask.encode."""
    parts = list(table.to_delayed().ravel()) if not is_frame else list(table.to_delayed())
    if is_frame:
        meta, _ = colenc.Encoder().encode(table._meta)  # the labels as encode writes them

    fits = dask.persist(*[delayed(guarded)(work.fit_partition, part) for part in parts])
    summaries = dask.compute(*[delayed(_summary)(fit) for fit in fits])
    _raise_first(summaries)
    rows = [summary.rows for summary in summaries]
    modes = _global_modes(summaries, table.shape[1])
    text_columns = sorted({column for per_part in modes for column in per_part})

    lookups = [{} for _ in parts]
    fit = {}
    if text_columns:
        leaves = []
        for part, fitted, per_part in zip(parts, fits, modes):
            looks = {c: m for c, m in per_part.items() if m != work.AS_IS}
            looked = delayed(guarded)(work.look_labels, part, looks) if looks else {}
            leaves.append(delayed(_leaf)(delayed(_labels)(fitted), looked, per_part))
        fit, lookups = _merge_ranges(leaves, _splitters(summaries, text_columns))
    del fits

    encoder = fitted_encoder(fit, int(table.shape[1]))
    # Each partition's codes are its local codes looked up in its lookup
    # arrays: the workers never hold the global fit, which for a column of
    # distinct texts is as large as the whole table's labels.
    offsets = np.concatenate([[0], np.cumsum(rows)]).astype(int).tolist()
    if not is_frame:
        meta = np.empty((0, int(table.shape[1])))
    blocks = [delayed(work.encode_partition)(part, offsets[p], modes[p], lookups[p],
                                             list(meta.columns) if is_frame else None)
              for p, part in enumerate(parts)]
    encoded = collection(blocks, is_frame, meta, rows)
    return encoded, text_columns, encoder


def _summary(result):
    """The PartitionSummary of a PartitionFit, or the PartitionFailure."""
    return result if isinstance(result, PartitionFailure) else result.summary


def _labels(result):
    return result.labels


def _leaf(labels, looked, modes):
    if isinstance(looked, PartitionFailure):
        return looked
    return work.leaf(labels, looked, modes)


def _raise_first(summaries):
    failure = first_failure(summaries)
    if failure is not None:
        failure.throw()


def _global_modes(summaries, width):
    """Per partition, {column: mode} for every globally text column with cells
    in that partition. A column turns to text in the first partition whose own
    encode made it text; partitions above hold numbers to be written in the
    number format, partitions below are texts through str(), which their own
    encode gave only when their first cell was already text."""
    modes = [{} for _ in summaries]
    for column in range(int(width)):
        turn = next((p for p, s in enumerate(summaries) if column in s.text_columns), None)
        if turn is None:
            continue
        for p, summary in enumerate(summaries):
            if summary.rows == 0:
                continue
            if p < turn:
                modes[p][column] = work.AS_NUMBER
            elif p == turn or column in summary.first_text_columns:
                modes[p][column] = work.AS_IS
            else:
                modes[p][column] = work.AS_STR
    return modes


def _splitters(summaries, text_columns):
    """Per text column, the labels that cut it into ranges of about
    RANGE_LABELS local labels, chosen from the partitions' samples."""
    out = {}
    for column in text_columns:
        counts = [s.samples[column].count for s in summaries if column in s.samples]
        ranges = max(1, -(-sum(counts) // RANGE_LABELS))
        sample = sorted(set().union(*[s.samples[column].labels for s in summaries if column in s.samples]))
        out[column] = sorted({sample[len(sample) * r // ranges] for r in range(1, ranges)}) if sample else []
    return out


def _merge_ranges(leaves, splitters):
    """Merges the leaves' label lists range by range. Returns the fit
    {column: (labels, missing)} and, per leaf, its lookup arrays (lazy)."""
    ranges = 1 + max((len(s) for s in splitters.values()), default=0)
    cuts = [delayed(cut, nout=ranges)(leaf, splitters) for leaf in leaves]
    roots, range_lookups = [], []
    for r in range(ranges):
        root, lookups = _merge_tree([pieces[r] for pieces in cuts])
        roots.append(root)
        range_lookups.append(lookups)
    persisted = dask.persist(*roots, *[lk for lookups in range_lookups for lk in lookups])
    roots = dask.compute(*persisted[:ranges])
    failure = first_failure(roots)
    if failure is not None:
        failure.throw()
    leaf_count = len(leaves)
    range_lookups = [persisted[ranges + r * leaf_count:ranges + (r + 1) * leaf_count] for r in range(ranges)]
    fit, offsets = {}, [{} for _ in range(ranges)]
    for column in roots[0]:
        sizes = [len(root[column][0]) if column in root else 0 for root in roots]
        for r, start in enumerate(np.cumsum([0] + sizes[:-1]).tolist()):
            offsets[r][column] = start
        fit[column] = (pa.concat_arrays([root[column][0] for root in roots if column in root]),
                       roots[0][column][1])
    lookups = [delayed(join)(offsets, *[range_lookups[r][p] for r in range(ranges)]) for p in range(leaf_count)]
    return fit, list(dask.persist(*lookups))


def _merge_tree(leaves):
    """Merges the leaves' label lists up a tree of FAN_IN children per node.
    Returns the root's {column: (labels, missing)} and, per leaf, its lookup
    arrays {column: global code of each local code}, both lazy."""
    def build(nodes):
        # nodes: list of (labels, subtree) where subtree is None for a leaf or
        # (positions, child subtrees) for a merge node.
        groups = [nodes[i:i + FAN_IN] for i in range(0, len(nodes), FAN_IN)]
        merged = []
        for group in groups:
            labels, positions = delayed(merge, nout=2)(*[labels for labels, _ in group])
            merged.append((labels, (positions, [sub for _, sub in group])))
        return merged[0] if len(merged) == 1 else build(merged)

    root_labels, root_tree = build([(leaf, None) for leaf in leaves])
    lookups = []

    def walk(to_root, tree):
        positions, children = tree
        for index, child in enumerate(children):
            child_to_root = delayed(descend)(to_root, positions, index)
            if child is None:
                lookups.append(child_to_root)
            else:
                walk(child_to_root, child)

    walk(None, root_tree)
    return root_labels, lookups
