"""The state bytes: what __getstate__ writes, what __setstate__ accepts and
refuses, and pickle and copy round trips."""

import copy
import functools
import os
import pickle
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

from colenc import Encoder
from support import EMPTY_RECORD, UNFITTED, WORKED_EXAMPLE, make_state, parse_state, table, u64

NAN = float("nan")
FIT = ([0, 2], {0: {"a": 0, "b": 1, "\u00e9": 2}, 2: {"<NA>": None, "c": 0, "nan": None}},
       {0: {0: "a", 1: "b", 2: "\u00e9"}, 2: {0: "c"}})


def fitted():
    e = Encoder()
    e.encode(table([["b", 1.0, "nan"], ["a", 2.0, "c"], ["\u00e9", 3.0, "<NA>"]]))
    return e


def _after(*steps):
    e = Encoder()
    for step in steps:
        getattr(e, step[0])(*step[1:])
    return e


@pytest.mark.parametrize("e, content, decodes_to", [
    (_after(), None, np.float64),
    (_after(("encode", np.array([[1, 2]]))), ([], {}, {}), object),
    (fitted(), FIT, object),
    (_after(("encode", table([["a"]])), ("__setstate__", UNFITTED)), None, np.float64),
    (_after(("encode", table([["a"]])), ("__setstate__", EMPTY_RECORD)), ([], {}, {}), object),
])
def test_state_of_unfitted_empty_and_fitted_encoders(e, content, decodes_to):
    state = e.__getstate__()
    assert type(state) is bytes and parse_state(state) == content
    assert content is not None or state == UNFITTED
    assert content != ([], {}, {}) or state == EMPTY_RECORD
    assert e.decode(np.zeros((1, 3))).dtype == decodes_to


def _with_byte(offset, value):
    return WORKED_EXAMPLE[:offset] + bytes([value]) + WORKED_EXAMPLE[offset + 1:]


EOF_TEXT = "io error: unexpected end of file"
BAD_UTF8 = [
    (b"\xff", "invalid utf-8 sequence of 1 bytes from index 0"),
    (b"ab\xff", "invalid utf-8 sequence of 1 bytes from index 2"),
    (b"\xe2\x82(", "invalid utf-8 sequence of 2 bytes from index 0"),
    (b"a\xf0\x9f\x98(", "invalid utf-8 sequence of 3 bytes from index 1"),
    (b"\xed\xa0\x80", "invalid utf-8 sequence of 1 bytes from index 0"),
    (b"\xc0\x80", "invalid utf-8 sequence of 1 bytes from index 0"),
    (b"\xf0\x9f\x98\x80\xf4\x90\x80\x80", "invalid utf-8 sequence of 1 bytes from index 4"),
    (b"\xe2\x82", "incomplete utf-8 byte sequence from index 0"),
    (b"a\xe2\x82", "incomplete utf-8 byte sequence from index 1"),
]

REFUSALS = [
    (b"", EOF_TEXT), (b"\x00", EOF_TEXT), (b"\x00\x00\x00\x00", EOF_TEXT), (b"\x01", EOF_TEXT),
    (b"\x02", "tag for enum is not valid, found 2"),
    (b"\xff" + b"\x00" * 4, "tag for enum is not valid, found 255"),
    (_with_byte(50, 2), "tag for enum is not valid, found 2"),
    (_with_byte(70, 7), "tag for enum is not valid, found 7"),
    (b"\x00\x01\x00\x00\x00", "invalid value: integer `1`, expected variant index 0 <= i < 1"),
    (b"\x00\xff\xff\xff\xff", "invalid value: integer `4294967295`, expected variant index 0 <= i < 1"),
    (make_state(strategy=2), "invalid value: integer `2`, expected variant index 0 <= i < 1"),
    (b"\x01" + u64(2**64 - 1), EOF_TEXT),
    (b"\x01" + u64(0) + u64(1) + u64(0) + u64(2**64 - 1), EOF_TEXT),
    (b"\x01" + u64(0) + u64(0) + u64(2**62) + b"\x00" * 64, EOF_TEXT),
    (b"\x01" + u64(0) + u64(1) + u64(0) + u64(1) + u64(5) + b"ab", "io error: "),
    (b"\x01" + u64(0) + u64(1) + u64(0) + u64(1) + u64(2**63) + b"abc", "io error: "),
] + [(state, "string is not valid utf8: " + detail) for raw, detail in BAD_UTF8 for state in (
    make_state([0], {0: {raw: 0}}, {0: {0: "ok"}}), make_state([0], {0: {"ok": 0}}, {0: {0: raw}}))]


def _cut_detail(length):
    # Cuts inside the bytes of a text ("a" at 49, "nan" at 67..69, "a" at 111).
    return "io error: " if length in (49, 67, 68, 69, 111) else EOF_TEXT


@pytest.mark.parametrize("data, detail", REFUSALS + [
    pytest.param(WORKED_EXAMPLE[:n], _cut_detail(n), id=f"cut{n}") for n in range(116)])
def test_malformed_state_is_refused_and_changes_nothing(data, detail):
    e = fitted()
    before = e.__getstate__()
    with pytest.raises(ValueError) as info:
        e.__setstate__(data)
    assert type(info.value) is ValueError
    assert str(info.value) == "failed to unpickle Encoder: " + detail
    assert e.__getstate__() == before


@pytest.mark.parametrize("state, type_text", [
    (bytearray(UNFITTED), "'bytearray' object"), (memoryview(UNFITTED), "'memoryview' object"),
    ("\x00" * 5, "'str' object"), (None, "'None'"), (5, "'int' object"), ([0] * 5, "'list' object"),
])
def test_state_that_is_not_bytes_is_a_type_error_with_note(state, type_text):
    e = fitted()
    before = e.__getstate__()
    with pytest.raises(TypeError) as info:
        e.__setstate__(state)
    assert str(info.value) == f"{type_text} is not an instance of 'bytes'"
    assert info.value.__notes__ == ["while processing 'state'"]
    assert e.__getstate__() == before


EXAMPLE = ([1], {1: {"a": 0, "nan": None}}, {1: {0: "a"}})
EXAMPLE_CODES = [[5.0, 0.0], [5.0, NAN], [5.0, 1.0]]


@pytest.mark.parametrize("state, codes, decoded, content", [
    (WORKED_EXAMPLE, EXAMPLE_CODES, [[5.0, "a"], [5.0, "NaN"], [5.0, "NaN"]], EXAMPLE),
    (make_state([1], [(1, [("nan", None), ("a", 0)])], {1: {0: "a"}}), EXAMPLE_CODES,
     [[5.0, "a"], [5.0, "NaN"], [5.0, "NaN"]], EXAMPLE),
    (type("Raw", (bytes,), {})(WORKED_EXAMPLE), [[0.0, 0.0]], [[0.0, "a"]], EXAMPLE),
    (WORKED_EXAMPLE + b"\xff" * 9, [[0.0, 0.0]], [[0.0, "a"]], EXAMPLE),
    (UNFITTED + b"junk", [[0.0]], [[0.0]], None),
    (EMPTY_RECORD + b"\x01", [[0.0]], [[0.0]], ([], {}, {})),
    (make_state([0], {}, [(0, [(0, "a"), (0, "b")])]), [[0.0]], [["b"]], ([0], {}, {0: {0: "b"}})),
    (make_state([0], {}, [(0, {0: "a", 1: "b"}), (0, {0: "z"})]), [[0.0], [1.0]], [["z"], ["NaN"]],
     ([0], {}, {0: {0: "z"}})),
    (make_state([0], [(0, [("a", 0), ("a", 5)])], {0: {5: "a"}}), [[5.0]], [["a"]],
     ([0], {0: {"a": 5}}, {0: {5: "a"}})),
    (make_state([0], {0: {"max": 2**64 - 1}}, {0: {2**64 - 1: "max", 5: "five"}}),
     [[1e30], [np.inf], [5.5], [4.0]], [["max"], ["max"], ["five"], ["NaN"]],
     ([0], {0: {"max": 2**64 - 1}}, {0: {2**64 - 1: "max", 5: "five"}})),
    (make_state([], {5: {"a": 0}}, {5: {0: "a"}}), [[0.0]], [[0.0]], ([], {5: {"a": 0}}, {5: {0: "a"}})),
])
def test_accepted_states_are_stored_and_used_as_they_stand(state, codes, decoded, content):
    e = fitted()
    assert e.__setstate__(state) is None
    assert parse_state(e.__getstate__()) == content
    assert e.decode(np.array(codes)).tolist() == decoded
    # Decoded again as a frame, the same codes come out missing as None.
    frame = e.decode(pd.DataFrame(np.array(codes))).astype(object)
    assert frame.values.tolist() == [[None if v == "NaN" else v for v in row] for row in decoded]


@pytest.mark.parametrize("rows", [0, 2])
def test_listed_column_without_code_map_fails_only_when_decoding(panic, rows):
    e = Encoder()
    state = make_state([0], {0: {"a": 0}}, {3: {0: "a"}})
    e.__setstate__(state)
    assert parse_state(e.__getstate__()) == parse_state(state)
    with panic("no entry found for key"):
        e.decode(np.zeros((rows, 1)))
    with panic("no entry found for key"):
        e.decode(pd.DataFrame({"a": np.zeros(rows)}))
    assert e.__getstate__() == state


def _clones(e):
    yield from (pickle.loads(pickle.dumps(e, protocol=p)) for p in range(2, pickle.HIGHEST_PROTOCOL + 1))
    yield copy.copy(e)
    yield copy.deepcopy(e)
    yield copy.deepcopy([e, e])[1]


@pytest.mark.parametrize("state", [None, UNFITTED, EMPTY_RECORD, WORKED_EXAMPLE])
def test_pickle_and_copy_keep_the_state_and_decode_behaviour(state):
    e = fitted() if state is None else Encoder()
    if state is not None:
        e.__setstate__(state)
    expected = parse_state(e.__getstate__())
    codes = np.array([[0.0, 7.5, 0.0], [2.0, 1.0, NAN], [1.0, 0.0, 3.0]])
    frame = pd.DataFrame(codes, columns=["x", "y", "z"])
    for clone in _clones(e):
        assert type(clone) is Encoder and clone is not e
        assert parse_state(clone.__getstate__()) == expected
        assert repr(clone.decode(codes).tolist()) == repr(e.decode(codes).tolist())
        pd.testing.assert_frame_equal(clone.decode(frame), e.decode(frame))
        clone.encode(np.zeros((1, 1)))
        assert clone.__getstate__() == UNFITTED
    assert parse_state(e.__getstate__()) == expected


# Fits one wide table (text columns with missing labels between number
# columns) as an object array and as a DataFrame, twice each, and prints the
# four states in hex: array, array, frame, frame.
_FIT_WIDE_TABLE = """
import numpy as np, pandas as pd
from colenc import Encoder
rows, cols = 30, 48
cells = np.empty((rows, cols), dtype=object)
for j in range(cols):
    for i in range(rows):
        cells[i, j] = float(i * j) if j % 3 == 2 else ("nan", "<NA>", "NaN", f"t{(i * 7 + j) % 11}", "")[i % 5]
frame = pd.DataFrame(cells, columns=[f"c{j}" for j in range(cols)])
for obj in (cells, cells, frame, frame):
    e = Encoder()
    e.encode(obj)
    print(e.__getstate__().hex())
"""


@functools.cache
def _wide_fits():
    """States of the wide table from two processes (different hash keys)."""
    runs = [subprocess.run([sys.executable, "-c", _FIT_WIDE_TABLE], capture_output=True, text=True,
                           timeout=300, cwd=os.path.dirname(__file__)) for _ in range(2)]
    assert all(run.returncode == 0 for run in runs), runs[0].stderr[-3000:]
    return [[bytes.fromhex(line) for line in run.stdout.split()] for run in runs]


@pytest.mark.parametrize("kind", [0, 2], ids=["array", "frame"])
def test_one_fit_gives_the_same_state_bytes_in_every_encoder_and_process(kind):
    states = [run[kind + k] for run in _wide_fits() for k in range(2)]
    assert all(state == states[0] for state in states[1:])
    string_columns, label_to_code, code_to_label = parse_state(states[0])
    assert string_columns == [j for j in range(48) if j % 3 != 2]
    assert list(label_to_code) == string_columns and list(code_to_label) == string_columns
    assert label_to_code[0]["<NA>"] is None and label_to_code[0][""] == 0
