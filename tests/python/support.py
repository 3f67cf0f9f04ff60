"""Helpers shared by the tests: table builders, a configurable cell, and a
reader and writer of the Encoder state bytes, so that tests can name labels
and codes exactly."""

import numpy as np

UNFITTED = b"\x00" * 5
EMPTY_RECORD = b"\x01" + b"\x00" * 28


class Cell:
    """A cell whose float() and str() return the values set here, or raise them
    when they are exceptions (a class is raised afresh on every call)."""

    def __init__(self, as_float=TypeError, as_str="cell"):
        self.as_float, self.as_str = as_float, as_str

    def __float__(self):
        return _give(self.as_float)

    def __str__(self):
        return _give(self.as_str)


def _give(value):
    if isinstance(value, BaseException) or (isinstance(value, type) and issubclass(value, BaseException)):
        raise value
    return value


def table(rows):
    """Returns a 2-D object array holding the cells of `rows` as given."""
    out = np.empty((len(rows), len(rows[0]) if rows else 0), dtype=object)
    for i, row in enumerate(rows):
        for j, cell in enumerate(row):
            out[i, j] = cell
    return out


def column(*cells):
    return table([[cell] for cell in cells])


def parse_state(data):
    """Returns None for an unfitted state, else (string_columns, label_to_code,
    code_to_label) as plain lists and dicts; fails on anything malformed."""
    pos = 0

    def take(n):
        nonlocal pos
        chunk = data[pos:pos + n]
        assert len(chunk) == n, "state ends early"
        pos += n
        return chunk

    def tag():
        value = take(1)[0]
        assert value in (0, 1)
        return value

    def size():
        return int.from_bytes(take(8), "little")

    def text():
        return take(size()).decode("utf-8")

    def read_map(key, value):
        return {key(): value() for _ in range(size())}

    info = None
    if tag():
        info = ([size() for _ in range(size())],
                read_map(size, lambda: read_map(text, lambda: size() if tag() else None)),
                read_map(size, lambda: read_map(size, text)))
    assert take(4) == b"\x00" * 4 and pos == len(data)
    return info


def u64(value):
    return value.to_bytes(8, "little")


def _text(value):
    raw = value.encode() if isinstance(value, str) else value
    return u64(len(raw)) + raw


def _map(mapping, key, value):
    entries = list(mapping.items()) if isinstance(mapping, dict) else list(mapping)
    return u64(len(entries)) + b"".join(key(k) + value(v) for k, v in entries)


def make_state(string_columns=(), label_to_code=(), code_to_label=(), strategy=0):
    """Returns fitted state bytes. Maps are dicts or lists of (key, value) pairs
    (pairs allow repeated keys); labels are str or raw bytes."""
    optional_code = lambda code: b"\x00" if code is None else b"\x01" + u64(code)  # noqa: E731
    return (b"\x01" + u64(len(string_columns)) + b"".join(map(u64, string_columns))
            + _map(label_to_code, u64, lambda inner: _map(inner, _text, optional_code))
            + _map(code_to_label, u64, lambda inner: _map(inner, u64, _text))
            + strategy.to_bytes(4, "little"))


# Column 1 is the only text column: "a" has code 0, "nan" has none (116 bytes).
WORKED_EXAMPLE = make_state([1], {1: {"a": 0, "nan": None}}, {1: {0: "a"}})
assert len(WORKED_EXAMPLE) == 116


def labels_of(encoder, col=0):
    """Returns the fitted label -> code map of one column of the encoder."""
    return parse_state(encoder.__getstate__())[1][col]
