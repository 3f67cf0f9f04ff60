"""Reads the labels out of a fitted Encoder's state bytes and writes the state
bytes of a fit given by its labels. The byte form is colenc's pickle state:
columns in ascending order, each column's labels in code order with the
missing-value labels last, so one fit always gives the same bytes."""

import struct

import numpy as np

MISSING = (b"<NA>", b"NaN", b"nan")  # byte order, the order colenc writes them in
_U64 = struct.Struct("<Q")


def read_labels(state):
    """Returns {column: (labels, missing)} from fitted state bytes: labels is an
    object array of the coded labels (UTF-8 bytes) in code order, which is
    ascending byte order; missing is the tuple of missing-value labels present.
    Returns None for an unfitted state."""
    view = memoryview(state)
    if view[0] == 0:
        return None
    unpack = _U64.unpack_from
    pos = 1
    (count,) = unpack(view, pos)
    pos += 8 + 8 * count
    (columns,) = unpack(view, pos)
    pos += 8
    out = {}
    for _ in range(columns):
        column, size = struct.unpack_from("<QQ", view, pos)
        pos += 16
        labels = np.empty(size, dtype=object)
        coded = 0
        missing = []
        for _ in range(size):
            (length,) = unpack(view, pos)
            label = bytes(view[pos + 8:pos + 8 + length])
            pos += 8 + length
            if view[pos]:
                labels[unpack(view, pos + 1)[0]] = label
                coded += 1
                pos += 9
            else:
                missing.append(label)
                pos += 1
        out[column] = (labels[:coded], tuple(sorted(missing)))
    return out


def write_state(labels_of_column):
    """Returns the state bytes of the fit {column: (labels, missing)}, labels in
    ascending byte order (their codes are their positions), missing a subset of
    the missing-value labels."""
    pack = _U64.pack
    columns = sorted(labels_of_column)
    head = [b"\x01", pack(len(columns))] + [pack(c) for c in columns]
    forward = [pack(len(columns))]
    backward = [pack(len(columns))]
    for column in columns:
        labels, missing = labels_of_column[column]
        missing = [m for m in MISSING if m in missing]
        forward += [pack(column), pack(len(labels) + len(missing))]
        backward += [pack(column), pack(len(labels))]
        for code, label in enumerate(labels):
            text = pack(len(label)) + label
            forward += [text, b"\x01", pack(code)]
            backward += [pack(code), text]
        forward += [pack(len(label)) + label + b"\x00" for label in missing]
    return b"".join(head + forward + backward) + b"\x00\x00\x00\x00"
