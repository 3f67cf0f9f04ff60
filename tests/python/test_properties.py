"""Properties over random mixed tables (hypothesis, derandomized): the codes of
each text column are exactly 0..k-1 in ascending byte order of its non-missing
labels, missing labels give NaN, number columns pass through bit for bit,
decode restores every non-missing text, and the state survives pickling with
the same content."""

import os
import pickle
import struct

import numpy as np
import pandas as pd
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from colenc import Encoder
from support import parse_state

SANITIZED = os.environ.get("COLENC_SANITIZED") == "1"
MISSING = ("nan", "NaN", "<NA>")

texts = st.one_of(
    st.sampled_from(MISSING + ("", "a", "a\x00", "\x00", "B", "b", "10", "9", "\uffff", "\U0001f600")),
    st.text(st.characters(blacklist_categories=("Cs",)), max_size=5),
)
# Any float64 bit pattern: NaNs with payloads (and signalling ones), -0.0,
# infinities and subnormals included.
floats = st.one_of(
    st.floats(),
    st.integers(0, 2**64 - 1).map(lambda bits: struct.unpack("<d", struct.pack("<Q", bits))[0]),
)


@st.composite
def mixed_tables(draw):
    rows = draw(st.integers(0, 30))
    # Up to 12 columns: wider than the batches a tall table's columns go in.
    kinds = draw(st.lists(st.sampled_from(["text", "number"]), min_size=1, max_size=12))
    columns = [draw(st.lists(texts if kind == "text" else floats, min_size=rows, max_size=rows))
               for kind in kinds]
    source = np.empty((rows, len(kinds)), dtype=object)
    for j, cells in enumerate(columns):
        for i, cell in enumerate(cells):
            source[i, j] = cell
    return kinds, columns, source


def bits(values):
    return np.asarray(values, dtype=np.float64).view(np.uint64).tolist()


@settings(derandomize=True, database=None, deadline=None, max_examples=60 if SANITIZED else 200,
          suppress_health_check=[HealthCheck.too_slow])
@given(table=mixed_tables(), as_frame=st.booleans())
def test_codes_order_numbers_decoding_and_pickling(table, as_frame):
    kinds, columns, source = table
    rows = source.shape[0]
    e = Encoder()
    result, cols = e.encode(pd.DataFrame(source, dtype=object) if as_frame else source)
    codes = result.to_numpy(dtype=np.float64) if as_frame else result
    text_columns = [j for j, kind in enumerate(kinds) if kind == "text" and rows > 0]
    assert cols == text_columns

    decoded = e.decode(result)
    state = parse_state(e.__getstate__())
    assert state[0] == text_columns
    for j, cells in enumerate(columns):
        out = decoded.iloc[:, j].tolist() if as_frame else decoded[:, j].tolist()
        if j not in text_columns:
            assert bits(codes[:, j]) == bits(cells)
            assert bits(out) == bits(cells)
            continue
        labels = sorted({t for t in cells if t not in MISSING}, key=lambda t: t.encode("utf-8"))
        code_of = {t: i for i, t in enumerate(labels)}
        expected = [float(code_of[t]) if t in code_of else None for t in cells]
        assert [None if np.isnan(c) else c for c in codes[:, j]] == expected
        assert state[1][j] == {**code_of, **{t: None for t in set(cells) & set(MISSING)}}
        assert state[2][j] == {i: t for t, i in code_of.items()}
        gap = None if as_frame else "NaN"
        assert out == [t if t in code_of else gap for t in cells]

    restored = pickle.loads(pickle.dumps(e))
    assert parse_state(restored.__getstate__()) == state
    again = restored.decode(result)
    for j in range(len(kinds)):
        first = decoded.iloc[:, j].tolist() if as_frame else decoded[:, j].tolist()
        second = again.iloc[:, j].tolist() if as_frame else again[:, j].tolist()
        assert first == second if j in text_columns else bits(first) == bits(second)
