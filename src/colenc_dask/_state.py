"""The labels of a fit, read with colenc's help, and the state bytes of a fit
given by its labels. Labels are Arrow binary arrays of UTF-8 bytes in
ascending byte order, a label's code being its position. The state's byte
form is colenc's: columns in ascending order, each column's labels in code
order with the missing-value labels last, so one fit always gives the same
bytes; the bytes are built with NumPy, not label by label."""

import struct

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.compute as pc

MISSING = (b"<NA>", b"NaN", b"nan")  # byte order, the order colenc writes them in
_U64 = struct.Struct("<Q")
_BLOCK = 1 << 20  # labels written per NumPy pass, to bound the index arrays


def labels_of_fit(encoder, codes, text_columns):
    """Returns {column: (labels, missing)} of encoder's fit, given the codes it
    wrote (a 2-D float64 array) and its text columns. Every label occurs in the
    table, so a column's labels are its codes 0 to max decoded; which of the
    three missing-value labels occur is read from the state bytes."""
    counts = {c: int(np.nanmax(codes[:, c])) + 1 if np.any(codes[:, c] == codes[:, c]) else 0
              for c in text_columns}
    height = max(counts.values(), default=0)
    probe = np.full((height, codes.shape[1]), np.nan)
    for column, count in counts.items():
        probe[:count, column] = np.arange(count)
    decoded = encoder.decode(pd.DataFrame(probe, copy=False)) if text_columns else None
    labels = {c: pa.array(decoded.iloc[:count, c].to_numpy(dtype=object), type=pa.large_string())
              .cast(pa.large_binary()) for c, count in counts.items()}
    missing = _missing_labels(encoder.__getstate__(), labels)
    return {c: (labels[c], missing[c]) for c in text_columns}


def _missing_labels(state, labels):
    """The missing-value labels of each column, found right after its coded
    labels, whose byte length is known; falls back to reading every entry if
    the layout is not the one expected."""
    view = memoryview(state)
    unpack = _U64.unpack_from
    (count,) = unpack(view, 1)
    pos = 9 + 8 * count
    (columns,) = unpack(view, pos)
    pos += 8
    out = {}
    for _ in range(columns):
        column, size = struct.unpack_from("<QQ", view, pos)
        coded = labels.get(column)
        if coded is None:
            return _read_missing(state)
        pos += 16 + 17 * len(coded) + _byte_length(coded)
        found = []
        for _ in range(size - len(coded)):
            (length,) = unpack(view, pos)
            label = bytes(view[pos + 8:pos + 8 + length])
            if label not in MISSING or view[pos + 8 + length] != 0:
                return _read_missing(state)
            found.append(label)
            pos += 9 + length
        out[column] = tuple(sorted(found))
    return out


def _read_missing(state):
    """The missing-value labels of each column, reading every entry."""
    view = memoryview(state)
    unpack = _U64.unpack_from
    pos = 9 + 8 * unpack(view, 1)[0]
    (columns,) = unpack(view, pos)
    pos += 8
    out = {}
    for _ in range(columns):
        column, size = struct.unpack_from("<QQ", view, pos)
        pos += 16
        found = []
        for _ in range(size):
            (length,) = unpack(view, pos)
            label = bytes(view[pos + 8:pos + 8 + length])
            pos += 8 + length
            if view[pos]:
                pos += 9
            else:
                found.append(label)
                pos += 1
        out[column] = tuple(sorted(found))
    return out


def _byte_length(labels):
    offsets = _offsets(labels)
    return int(offsets[-1] - offsets[0])


def _offsets(labels):
    return np.frombuffer(labels.buffers()[1], dtype=np.int64)[labels.offset:labels.offset + len(labels) + 1]


def write_state(fit):
    """Returns the state bytes of the fit {column: (labels, missing)}."""
    pack = _U64.pack
    columns = sorted(fit)
    head = [b"\x01", pack(len(columns))] + [pack(c) for c in columns]
    forward = [pack(len(columns))]
    backward = [pack(len(columns))]
    for column in columns:
        labels, missing = fit[column]
        missing = [m for m in MISSING if m in missing]
        forward += [pack(column), pack(len(labels) + len(missing))]
        backward += [pack(column), pack(len(labels))]
        for start in range(0, len(labels), _BLOCK):
            block = labels.slice(start, _BLOCK)
            forward.append(_entries(block, start, code_first=False))
            backward.append(_entries(block, start, code_first=True))
        forward += [pack(len(label)) + label + b"\x00" for label in missing]
    return b"".join(head + forward + backward) + b"\x00\x00\x00\x00"


def _entries(labels, first_code, code_first):
    """The entries of labels coded first_code, first_code + 1, ...: label ->
    code entries (length, bytes, tag 1, code) or, with code_first, code ->
    label entries (code, length, bytes). Arrow joins the fixed-width fields and
    the labels entry by entry; its joined buffer is the entries' bytes."""
    count = len(labels)
    offsets = _offsets(labels)
    lengths = np.diff(offsets).astype("<u8")
    codes = np.arange(first_code, first_code + count, dtype="<u8")
    if code_first:
        before = np.empty(count, dtype=[("code", "<u8"), ("length", "<u8")])
        before["code"], before["length"] = codes, lengths
        parts = [_fixed(before), labels]
    else:
        after = np.empty(count, dtype=[("tag", "u1"), ("code", "<u8")])
        after["tag"], after["code"] = 1, codes
        parts = [_fixed(lengths), labels, _fixed(after)]
    joined = pc.binary_join_element_wise(*parts, pa.scalar(b"", pa.large_binary()))
    bounds = _offsets(joined)
    return joined.buffers()[2].to_pybytes()[bounds[0]:bounds[-1]] if count else b""


def _fixed(records):
    """Each record of a NumPy array as one binary value of its bytes."""
    width = records.dtype.itemsize
    return pa.Array.from_buffers(pa.binary(width), len(records), [None, pa.py_buffer(records.tobytes())]) \
        .cast(pa.large_binary())
