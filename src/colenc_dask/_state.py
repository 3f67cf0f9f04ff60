"""The labels of a fit, read with colenc's help, and the Encoder of a fit
given by its labels. Labels are Arrow large_string arrays in ascending
order of their UTF-8 bytes (which Python's str order agrees with), a label's
code being its position. A fit is turned into an Encoder by encoding a table
of its labels."""

import struct

import numpy as np
import pyarrow as pa

import colenc

MISSING = (b"<NA>", b"NaN", b"nan")  # byte order, the order colenc writes them in

# The state bytes (Encoder.__getstate__) follow the grammar at the top of
# colenc's src/core/labels/state_format.cpp; these are the sizes of its parts
# that this module reads, up to the end of each column's label_to_code.
#   state          := 0x00 strategy | 0x01 encoding_info strategy
#   encoding_info  := string_columns label_to_code code_to_label
#   string_columns := count column[count]
#   label_to_code  := count (column count (text optional_code)[count])[count]
#   optional_code  := 0x00 | 0x01 code
#   text           := count byte[count]
_NO_FIT = 0x00  # the state's first byte when the encoder holds no fit
_TAG = 1  # the state's first byte, and optional_code's first byte
_FIXED64 = 8  # count, column and code
_U64 = struct.Struct("<Q")
_COLUMN_HEAD = struct.Struct("<QQ")  # a column of label_to_code: column, count
_CODED_LABEL = _FIXED64 + _TAG + _FIXED64  # a coded label but its bytes: count, 0x01, code
_MISSING_LABEL = _FIXED64 + _TAG  # a missing-value label but its bytes: count, 0x00


def has_fit(encoder):
    """True when encoder holds a fit: its state does not begin with the byte
    of an unfitted encoder."""
    return encoder.__getstate__()[0] != _NO_FIT


def _label_to_code_start(view):
    """Returns (position of the first column of label_to_code, its column
    count), reading past the tag and string_columns."""
    (count,) = _U64.unpack_from(view, _TAG)
    pos = _TAG + _FIXED64 + _FIXED64 * count
    (columns,) = _U64.unpack_from(view, pos)
    return pos + _FIXED64, columns


def labels_of_fit(encoder, codes, text_columns):
    """Returns {column: (labels, missing)} of encoder's fit, given the codes it
    wrote (a 2-D float64 array) and its text columns. Every label occurs in the
    table, so a column's labels are its codes 0 to max decoded; which of the
    three missing-value labels occur is read from the state bytes."""
    counts = {c: int(np.nanmax(codes[:, c])) + 1 if np.any(codes[:, c] == codes[:, c]) else 0
              for c in text_columns}
    labels = sorted_labels(encoder, counts, codes.shape[1])
    missing = _missing_labels(encoder.__getstate__(), labels)
    return {c: (labels[c], missing[c]) for c in text_columns}


def sorted_labels(encoder, counts, width):
    """Returns {column: the first counts[column] labels of encoder's fit, in
    code order}, decoded from a pyarrow Table of codes: its text columns come
    back as Arrow strings built from the labels' bytes, with no str per
    label."""
    height = max(counts.values(), default=0)
    probe = [np.full(height, np.nan) for _ in range(width)]
    for column, count in counts.items():
        probe[column][:count] = np.arange(count)
    decoded = encoder.decode(pa.table(probe, names=[str(c) for c in range(width)]))
    # Concatenated, not just sliced: a slice keeps (and pickles) the whole column.
    return {c: pa.concat_arrays(decoded.column(c).slice(0, count).chunks or [pa.array([], pa.large_string())])
            for c, count in counts.items()}


def _missing_labels(state, labels):
    """The missing-value labels of each column, found right after its coded
    labels, whose byte length is known; read entry by entry instead when the
    bytes are not laid out that way."""
    try:
        return _missing_after_coded(state, labels)
    except (struct.error, IndexError, ValueError):
        return _read_missing(state)


def _missing_after_coded(state, labels):
    def read_column(view, pos, column, size):
        coded = labels.get(column)
        if coded is None or size < len(coded):
            raise ValueError("not the expected layout")
        pos += _CODED_LABEL * len(coded) + _byte_length(coded)
        found = []
        for _ in range(size - len(coded)):
            label, pos = _text_at(view, pos)
            if label not in MISSING or view[pos] != 0:
                raise ValueError("not the expected layout")
            found.append(label)
            pos += _TAG
        return found, pos

    return _each_column(state, read_column)


def _read_missing(state):
    """The missing-value labels of each column, reading every entry."""
    def read_column(view, pos, column, size):
        found = []
        for _ in range(size):
            label, pos = _text_at(view, pos)
            if view[pos]:
                pos += _TAG + _FIXED64
            else:
                found.append(label)
                pos += _TAG
        return found, pos

    return _each_column(state, read_column)


def _each_column(state, read_column):
    """Returns {column: its missing-value labels, sorted} for every column of
    the state's label_to_code. read_column(view, pos, column, size) reads the
    column's `size` entries from pos on and returns (the missing-value labels,
    the position after them)."""
    view = memoryview(state)
    pos, columns = _label_to_code_start(view)
    out = {}
    for _ in range(columns):
        column, size = _COLUMN_HEAD.unpack_from(view, pos)
        found, pos = read_column(view, pos + _COLUMN_HEAD.size, column, size)
        out[column] = tuple(sorted(found))
    return out


def _text_at(view, pos):
    """Returns (the bytes of the text at pos, the position after it)."""
    (length,) = _U64.unpack_from(view, pos)
    start = pos + _FIXED64
    return bytes(view[start:start + length]), start + length


def _byte_length(labels):
    offsets = _offsets(labels)
    return int(offsets[-1] - offsets[0])


def _offsets(labels):
    return np.frombuffer(labels.buffers()[1], dtype=np.int64)[labels.offset:labels.offset + len(labels) + 1]


def fitted_encoder(fit, width):
    """Returns a colenc.Encoder fitted as {column: (labels, missing)} says, for
    a table of width columns. It encodes a pyarrow Table made of the labels:
    each text column holds its labels and missing-value labels as Arrow
    strings, which colenc reads without a Python object per cell; every other
    column holds zeros. Restoring the state bytes through __setstate__ gives
    the same encoder but took ten to thirty times as long per label."""
    columns = []
    height = max((len(labels) + len(missing) for labels, missing in fit.values()), default=0)
    for column in range(width):
        if column not in fit:
            columns.append(pa.array(np.zeros(height, dtype=np.int8)))
            continue
        labels, missing = fit[column]
        texts = pa.concat_arrays([labels, pa.array([m.decode() for m in missing], pa.large_string())])
        if len(texts) < height:
            # A shorter column is padded with repeats of its first text, as a
            # dictionary: colenc reads each distinct text once, not every row.
            # Its indices take half the memory as int32 wherever they fit.
            indices = np.zeros(height, dtype=np.int32 if height <= np.iinfo(np.int32).max else np.int64)
            indices[:len(texts)] = np.arange(len(texts))
            texts = pa.DictionaryArray.from_arrays(pa.array(indices), texts)
        columns.append(texts)
    encoder = colenc.Encoder()
    encoder.encode(pa.table(columns, names=[str(c) for c in range(width)]))
    return encoder
