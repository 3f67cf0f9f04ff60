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


MISSING_LABELS = ("<NA>", "nan", "NaN")


def number_label(value):
    """The label encode gives a number above its column's turn."""
    if value != value:
        return "NaN"
    if value in (np.inf, -np.inf):
        return "inf" if value > 0 else "-inf"
    return np.format_float_positional(value, unique=True, trim="-")


def cells_of(table):
    """The cells of a table as its readers type them: a frame's `values`."""
    import pandas as pd
    return table.values if isinstance(table, pd.DataFrame) else table


def _matrix(result):
    values = result.to_numpy() if hasattr(result, "to_numpy") else result
    return np.asarray(values, dtype=np.float64)


def encode_labels(table):
    """Returns, per column, the label encode gives each cell (None where the
    fresh fit gave NaN, a missing-value label), or None for a column whose
    cells all convert to numbers."""
    import colenc
    fresh = colenc.Encoder()
    result, text_columns = fresh.encode(table)
    codes = _matrix(result)
    info = parse_state(fresh.__getstate__())
    labels = []
    for c in range(codes.shape[1]):
        if text_columns and c in text_columns:
            names = info[2][c]
            labels.append([None if x != x else names[int(x)] for x in codes[:, c]])
        else:
            labels.append([number_label(x) for x in codes[:, c]])
    return labels, codes, text_columns or []


def as_float(cell):
    """float(cell) as the C API takes it: through __float__ or __index__,
    never by parsing a str or bytes."""
    kind = type(cell)
    if hasattr(kind, "__float__"):
        return kind.__float__(cell)
    if hasattr(kind, "__index__"):
        return float(kind.__index__(cell))
    raise TypeError(kind.__name__)


class UnknownCell(Exception):
    pass


def model_transform(state, table, unknown="nan"):
    """What transform gives `table` with the fit `state`: the labels encode
    gives each fitted text column, looked up in the fit; each cell of any other
    column as a number where it converts. Returns the float64 matrix, or
    raises UnknownCell(column, row) for the first unknown cell in "error" mode."""
    string_columns, label_to_code, code_to_label = parse_state(state)
    labels, _, _ = encode_labels(table)
    cells = cells_of(table)
    rows, width = np.shape(cells) if np.ndim(cells) == 2 else (0, 0)
    out = np.empty((rows, width))
    first_unknown = None

    def mark(c, i):
        nonlocal first_unknown
        if first_unknown is None or (c, i) < first_unknown:
            first_unknown = (c, i)

    for c in range(width):
        if c in string_columns:
            fitted = label_to_code.get(c, {})
            codes = [k for k in fitted.values() if k is not None] + list(code_to_label.get(c, {}))
            next_code = max(codes) + 1 if codes else 0
            for i in range(rows):
                label = labels[c][i]
                if label is None or (label not in fitted and label in MISSING_LABELS):
                    out[i, c] = np.nan
                elif label in fitted:
                    out[i, c] = np.nan if fitted[label] is None else fitted[label]
                else:
                    mark(c, i)
                    out[i, c] = next_code if unknown == "code" else np.nan
            continue
        for i in range(rows):
            cell = cells[i, c]
            try:
                out[i, c] = as_float(cell)
            except Exception:
                out[i, c] = np.nan
                if str(cell) not in MISSING_LABELS:
                    mark(c, i)
    if unknown == "error" and first_unknown is not None:
        raise UnknownCell(*first_unknown)
    return out


def crafted_fit(table, seed=0):
    """A fit of the table's width that differs from a fresh fit of the table:
    each text column keeps about half its labels (renumbered), some number
    columns are fitted as text with some of their numbers' labels, and some
    text columns are fitted as numbers."""
    rng = np.random.default_rng(seed)
    labels, _, text_columns = encode_labels(table)
    string_columns, label_to_code, code_to_label = [], {}, {}
    for c, column in enumerate(labels):
        as_text = (c in text_columns) != (rng.random() < 0.3)
        if not as_text:
            continue
        distinct = sorted({label for label in column if label is not None})
        kept = [label for label in distinct if rng.random() < 0.5] + ["never-met", "NaN"]
        coded = sorted(label for label in kept if label not in MISSING_LABELS)
        string_columns.append(c)
        label_to_code[c] = {**{label: k for k, label in enumerate(coded)},
                            **{label: None for label in kept if label in MISSING_LABELS}}
        code_to_label[c] = dict(enumerate(coded))
    return make_state(string_columns, label_to_code, code_to_label)
