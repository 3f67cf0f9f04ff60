"""Every public call, successful or failing by each of its routes, repeated a
thousand times: no reference to an input cell, a column label, a state or the
encoder is gained or lost, returned labels are owned by the result alone,
traced Python memory does not grow, and resident memory stays flat once warm."""

import copy
import gc
import os
import pickle
import sys
import tracemalloc
from collections import Counter

import numpy as np
import pandas as pd
import pytest

from colenc import Encoder
from support import WORKED_EXAMPLE, Cell, column, make_state, table, u64

SANITIZED = os.environ.get("COLENC_SANITIZED") == "1"
REPEATS = 1000
WINDOWS = 3


def fresh(text):
    """Returns a str object of its own: not interned, not shared with a literal."""
    return "".join(list(text))


TEXTS = [fresh(f"label-{i}") for i in range(5)] + [fresh("na\x00me"), fresh("\U0001f600 x"),
                                                   fresh("nan"), fresh("<NA>")]
NUMBERS = [float(i) + 0.25 for i in range(len(TEXTS))]
STR_ERROR = ValueError(fresh("no text"))


class FailingText:
    """A cell whose str() raises STR_ERROR, each time with a new traceback (raising
    an exception again would otherwise extend its old one)."""

    def __float__(self):
        raise TypeError

    def __str__(self):
        raise STR_ERROR.with_traceback(None)


CELLS = [Cell(as_float=2.5), Cell(as_float=ZeroDivisionError, as_str=fresh("turned")), FailingText()]
LABELS = [fresh("city"), fresh("age"), fresh("mixed")]

# Column 0 is text, column 1 numbers (one through __float__), column 2 turns to
# text at its fourth cell (a cell whose float() raises).
OBJECTS = table([[TEXTS[i], CELLS[0] if i == 2 else NUMBERS[i],
                  CELLS[1] if i == 3 else (NUMBERS[i] if i < 3 else TEXTS[i])]
                 for i in range(len(TEXTS))])
FRAME = pd.DataFrame(OBJECTS, columns=LABELS, dtype=object)
CODES = Encoder().encode(OBJECTS)[0]
FRAME_CODES = pd.DataFrame(CODES, columns=LABELS)


def fitted():
    """Returns an encoder fitted on OBJECTS."""
    e = Encoder()
    e.encode(OBJECTS)
    return e


FITTED_STATE = fitted().__getstate__()


class ndarray(np.ndarray):
    """Named like NumPy's array but not exactly it: read by subscription, cell by cell."""


SUBSCRIBED = OBJECTS.view(ndarray)


class FailingRead:
    """A table named "ndarray" whose cell (1, 0) cannot be read."""

    shape = (3, 1)

    def __getitem__(self, key):
        if key == (1, 0):
            raise LookupError("gone")
        return TEXTS[key[0]]


FailingRead.__name__ = "ndarray"


class NoShape:
    pass


NoShape.__name__ = "ndarray"


class InterruptedShape:
    @property
    def shape(self):
        raise KeyboardInterrupt


InterruptedShape.__name__ = "ndarray"


class NoColumns:
    shape = (1, 1)


NoColumns.__name__ = "DataFrame"


class Reenter:
    """A cell whose str() calls into an encoder. The call must raise exactly
    `refused` (a RuntimeError message), or succeed when `refused` is None."""

    def __init__(self, call, refused):
        self.call, self.refused = call, refused

    def __str__(self):
        try:
            self.call()
        except RuntimeError as exc:
            assert str(exc) == self.refused
        else:
            assert self.refused is None
        return "inner"


# States that __setstate__ refuses, with the detail of each refusal.
TRUNCATED_TEXT = WORKED_EXAMPLE[:49]  # the length of "a" is declared, its byte is missing
BAD_LABEL_TAG = b"\x01" + u64(1) + u64(0) + u64(1) + u64(0) + u64(1) + u64(1) + b"a" + b"\x02"
REFUSED_STATES = [
    (b"", "io error: unexpected end of file"),
    (b"\x00", "io error: unexpected end of file"),
    (b"\x02", "tag for enum is not valid, found 2"),
    (b"\x00\x01\x00\x00\x00", "invalid value: integer `1`, expected variant index 0 <= i < 1"),
    (TRUNCATED_TEXT, "io error: "),
    (BAD_LABEL_TAG, "tag for enum is not valid, found 2"),
    (make_state([0], {0: {b"\xff": 0}}, {0: {0: "a"}}),
     "string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 0"),
    (make_state([0], {0: {"a": 0}}, {0: {0: b"a\xe2\x82"}}),
     "string is not valid utf8: incomplete utf-8 byte sequence from index 1"),
]
NOT_BYTES = [(bytearray(WORKED_EXAMPLE), "'bytearray' object is not an instance of 'bytes'"),
             (None, "'None' is not an instance of 'bytes'"),
             (fresh("state"), "'str' object is not an instance of 'bytes'"),
             (memoryview(WORKED_EXAMPLE), "'memoryview' object is not an instance of 'bytes'")]
# A stored record naming column 5 (the tables have 3) and one missing its map.
WIDE = Encoder()
WIDE.__setstate__(make_state([5], {5: {"a": 0}}, {5: {0: "a"}}))
UNMAPPED = Encoder()
UNMAPPED.__setstate__(make_state([0], {0: {"a": 0}}, {}))


def with_cell(cell):
    """Returns a table shaped like OBJECTS with `cell` in its text column."""
    return table([[TEXTS[0], 1.0, TEXTS[1]], [cell, 2.0, TEXTS[2]]])


def raises(name, message, call, exact=False):
    """Runs call() and checks that it raises the exception named `name` whose
    text starts with (or, when exact, equals) `message`."""
    try:
        call()
    except BaseException as exc:  # the panic exception derives from BaseException
        text = str(exc)
        ok = type(exc).__name__ == name and (text == message if exact else text.startswith(message))
        assert ok, f"expected {name}: {message!r}, got {type(exc).__name__}: {text!r}"
        return
    raise AssertionError(f"expected {name}: {message!r}, nothing was raised")


def succeeds(call):
    """Runs a call that must not raise; its result is dropped at once."""
    call()


MISSING_OBJ = "Encoder.encode() missing 1 required positional argument: 'obj'"
UNSUPPORTED = "Unsupported type: '{}'. Supported types are: numpy.ndarray, pandas.DataFrame"

SCENARIOS = {
    # Successful calls on every path in and out.
    "encode object array": lambda e: succeeds(lambda: e.encode(OBJECTS)),
    "encode by subscription": lambda e: succeeds(lambda: e.encode(SUBSCRIBED)),
    "encode frame": lambda e: succeeds(lambda: e.encode(FRAME)),
    "encode frame with integer labels": lambda e: succeeds(lambda: e.encode(pd.DataFrame(OBJECTS))),
    "encode int array": lambda e: succeeds(lambda: e.encode(np.arange(6).reshape(3, 2))),
    "encode float64 array": lambda e: succeeds(lambda: e.encode(CODES)),
    "decode array": lambda e: succeeds(lambda: e.decode(CODES)),
    "decode frame": lambda e: succeeds(lambda: e.decode(FRAME_CODES)),
    "decode object array": lambda e: succeeds(lambda: e.decode(OBJECTS)),
    "state round trip": lambda e: e.__setstate__(e.__getstate__()),
    "state by keyword": lambda e: e.__setstate__(state=FITTED_STATE),
    "pickle": lambda e: succeeds(lambda: pickle.loads(pickle.dumps(e))),
    "deepcopy": lambda e: succeeds(lambda: copy.deepcopy(e)),
    "construct": lambda e: succeeds(lambda: (Encoder(), Encoder("label"), Encoder(encoding=None))),
    "decode inside decode": lambda e: succeeds(lambda: e.decode(with_cell(
        Reenter(lambda: e.decode(CODES), None)))),
    "transform object array": lambda e: succeeds(lambda: e.transform(OBJECTS)),
    "transform by subscription": lambda e: succeeds(lambda: e.transform(SUBSCRIBED, "code")),
    "transform frame": lambda e: succeeds(lambda: e.transform(FRAME, unknown="nan")),
    "transform float64 array": lambda e: succeeds(lambda: e.transform(CODES)),
    "transform inside decode": lambda e: succeeds(lambda: e.decode(with_cell(
        Reenter(lambda: e.transform(OBJECTS), None)))),
    "encode inside transform": lambda e: succeeds(lambda: e.transform(with_cell(
        Reenter(lambda: e.encode(CODES), "Already borrowed")))),
    "transform an unknown label": lambda e: raises(
        "ValueError", "column 0, row 1: 'inner' is not a label of the fit",
        lambda: e.transform(with_cell(Reenter(lambda: None, None)), "error"), exact=True),
    "transform an unknown cell of a number column": lambda e: raises(
        "ValueError", "column 1, row 0: 'label-0' is neither",
        lambda: e.transform(table([[TEXTS[0], TEXTS[0], TEXTS[1]]]), "error")),
    "transform without a fit": lambda e: raises(
        "ValueError", "this Encoder has no fit", lambda: Encoder().transform(OBJECTS)),
    "transform beyond the table": lambda e: raises(
        "ValueError", "the fit's text column 5 lies beyond the table's 3 columns",
        lambda: WIDE.transform(OBJECTS), exact=True),
    "transform with unknown not a str": lambda e: raises(
        "TypeError", "'int' object is not an instance of 'str'", lambda: e.transform(CODES, 0),
        exact=True),
    "transform with another unknown": lambda e: raises(
        "ValueError", "unknown must be 'nan', 'error' or 'code', not 'skip'",
        lambda: e.transform(CODES, fresh("skip")), exact=True),
    "transform with str() failing": lambda e: raises(
        "PanicException", "cant convert to str", lambda: e.transform(with_cell(FailingText()))),
    # Argument binding.
    "encode without argument": lambda e: raises("TypeError", MISSING_OBJ, e.encode, exact=True),
    "encode with two arguments": lambda e: raises(
        "TypeError", "Encoder.encode() takes 1 positional arguments but 2 were given",
        lambda: e.encode(CODES, CODES), exact=True),
    "encode with repeated argument": lambda e: raises(
        "TypeError", "Encoder.encode() got multiple values for argument 'obj'",
        lambda: e.encode(CODES, obj=CODES), exact=True),
    "decode with unknown keyword": lambda e: raises(
        "TypeError", "Encoder.decode() got an unexpected keyword argument 'x'",
        lambda: e.decode(x=CODES), exact=True),
    "setstate without argument": lambda e: raises(
        "TypeError", "Encoder.__setstate__() missing 1 required positional argument: 'state'",
        e.__setstate__, exact=True),
    "getstate with argument": lambda e: raises("TypeError", "", lambda: e.__getstate__(CODES)),
    "construct with two arguments": lambda e: raises(
        "TypeError", "Encoder.__new__() takes from 0 to 1 positional arguments but 2 were given",
        lambda: Encoder("label", "label"), exact=True),
    "construct with unknown keyword": lambda e: raises(
        "TypeError", "Encoder.__new__() got an unexpected keyword argument 'x'",
        lambda: Encoder(x=LABELS), exact=True),
    # Refused strategies and inputs.
    "unknown strategy": lambda e: raises(
        "ValueError", "other is not a supported encoding strategy for strings!",
        lambda: Encoder(fresh("other")), exact=True),
    "strategy not a str": lambda e: raises(
        "TypeError", "'list' object is not an instance of 'str'", lambda: Encoder(LABELS), exact=True),
    "strategy not UTF-8": lambda e: raises("UnicodeEncodeError", "", lambda: Encoder("\ud800")),
    "unsupported list": lambda e: raises(
        "TypeError", UNSUPPORTED.format("list"), lambda: e.encode(TEXTS), exact=True),
    "unsupported masked array": lambda e: raises(
        "TypeError", UNSUPPORTED.format("MaskedArray"), lambda: e.decode(np.ma.masked_array(CODES)),
        exact=True),
    "float labels": lambda e: raises(
        "TypeError", "", lambda: e.encode(pd.DataFrame(OBJECTS, columns=[0.5, 1.5, 2.5]))),
    "mixed labels": lambda e: raises(
        "TypeError", "", lambda: e.encode(pd.DataFrame(OBJECTS, columns=[LABELS[0], 1, 2]))),
    "labels beyond 64 bits": lambda e: raises(
        "OverflowError", "", lambda: e.encode(pd.DataFrame(OBJECTS, columns=[2**70, 1, 2]))),
    "no labels": lambda e: raises("AttributeError", "", lambda: e.encode(NoColumns())),
    # Internal failures.
    "str raises": lambda e: raises("PanicException", "cant convert to str: ValueError: no text",
                                   lambda: e.encode(column(TEXTS[0], CELLS[2]))),
    "no shape": lambda e: raises("PanicException", "failed to read the table's shape",
                                 lambda: e.encode(NoShape())),
    "three dimensions": lambda e: raises("PanicException", "failed to read the table's shape",
                                         lambda: e.decode(np.zeros((1, 1, 1), dtype=object))),
    "cell read raises": lambda e: raises("PanicException", "failed to read cell (1, 0)",
                                         lambda: e.encode(FailingRead())),
    "stored column beyond the table": lambda e: raises(
        "PanicException", "matrix index out of bounds", lambda: WIDE.decode(CODES)),
    "stored column beyond the frame": lambda e: raises(
        "PanicException", "", lambda: WIDE.decode(FRAME_CODES)),
    "stored column without map": lambda e: raises(
        "PanicException", "no entry found for key", lambda: UNMAPPED.decode(CODES), exact=True),
    # Exceptions that are not an Exception pass through unchanged.
    "interrupt in float()": lambda e: raises(
        "KeyboardInterrupt", "", lambda: e.encode(column(1.0, Cell(as_float=KeyboardInterrupt)))),
    "exit in str()": lambda e: raises(
        "SystemExit", "", lambda: e.encode(column(TEXTS[0], Cell(as_str=SystemExit)))),
    "interrupt reading shape": lambda e: raises(
        "KeyboardInterrupt", "", lambda: e.decode(InterruptedShape())),
    # Pickle refusals.
    **{f"refused state {i}": (lambda state, detail: lambda e: raises(
        "ValueError", "failed to unpickle Encoder: " + detail, lambda: e.__setstate__(state),
        exact=True))(state, detail) for i, (state, detail) in enumerate(REFUSED_STATES)},
    **{f"state not bytes {i}": (lambda state, message: lambda e: raises(
        "TypeError", message, lambda: e.__setstate__(state), exact=True))(state, message)
       for i, (state, message) in enumerate(NOT_BYTES)},
    # Borrow conflicts from inside a running call.
    **{f"{inner} inside {outer}": (lambda outer, call, refused: lambda e: succeeds(
        lambda: getattr(e, outer)(with_cell(Reenter(lambda: call(e), refused)))))(
            outer, call, refused)
       for outer, inner, call, refused in [
           ("encode", "encode", lambda e: e.encode(CODES), "Already borrowed"),
           ("encode", "__setstate__", lambda e: e.__setstate__(FITTED_STATE), "Already borrowed"),
           ("encode", "decode", lambda e: e.decode(CODES), "Already mutably borrowed"),
           ("encode", "__getstate__", lambda e: e.__getstate__(), "Already mutably borrowed"),
           ("decode", "encode", lambda e: e.encode(CODES), "Already borrowed"),
           ("decode", "__setstate__", lambda e: e.__setstate__(FITTED_STATE), "Already borrowed"),
           ("transform", "__setstate__", lambda e: e.__setstate__(FITTED_STATE),
            "Already borrowed"),
           ("transform", "transform", lambda e: e.transform(CODES), None)]},
}


WATCHED = (TEXTS + NUMBERS + CELLS + LABELS
           + [STR_ERROR, OBJECTS, FRAME, FRAME.columns, CODES, FRAME_CODES, SUBSCRIBED,
              FITTED_STATE, WORKED_EXAMPLE, WIDE, UNMAPPED]
           + [state for state, _ in REFUSED_STATES + NOT_BYTES])


def reference_counts(objects):
    gc.collect()
    STR_ERROR.__traceback__ = STR_ERROR.__context__ = None  # refers to frames, not to cells
    return [sys.getrefcount(obj) for obj in objects]


@pytest.mark.parametrize("name", list(SCENARIOS))
def test_repeated_calls_keep_references_and_traced_memory(name):
    run = SCENARIOS[name]
    e = fitted()
    watched = WATCHED + [e]
    # Tracing starts before the warm-up, so that the interpreter's free lists
    # and the bounded caches of NumPy and pandas hold traced blocks at both
    # measures and have mostly filled by the first.
    tracemalloc.start()
    try:
        for _ in range(REPEATS):
            run(e)
        counts_before = reference_counts(watched)
        # pandas drops dead entries of its lists of views of a long-lived frame
        # only now and then, so one window may grow where the next shrinks; a
        # leak grows in every window.
        growths = []
        for _ in range(WINDOWS):
            traced_before = tracemalloc.get_traced_memory()[0]
            for _ in range(REPEATS):
                run(e)
            growths.append(tracemalloc.get_traced_memory()[0] - traced_before)
        counts_after = reference_counts(watched)
    finally:
        tracemalloc.stop()
    changed = {i: (b, a) for i, (b, a) in enumerate(zip(counts_before, counts_after)) if a != b}
    assert not changed, {repr(watched[i])[:40]: counts for i, counts in changed.items()}
    # One object kept per call would add at least 32 bytes per call.
    assert min(growths) < 24 * REPEATS, growths
    # The encoder is whole: it still encodes, and its state reads back.
    assert e.encode(OBJECTS)[1] == [0, 2]
    e.__setstate__(e.__getstate__())


def assert_held_by(labels, holders, kept):
    """Each label is held by its cells in `labels`, `kept` by the encoder, and nothing else.

    The "NaN" that an array's missing cells hold is made for each decode, not kept."""
    for label in labels:
        if label is not None and len(label) > 1:
            by_encoder = 0 if label == "NaN" else kept
            # + argument + loop name
            assert sys.getrefcount(label) == holders[id(label)] + by_encoder + 2


@pytest.mark.parametrize("refit", ["encode", "__setstate__"])
@pytest.mark.parametrize("as_frame", [False, True])
def test_returned_labels_are_shared_with_the_encoder_until_it_is_refitted(as_frame, refit):
    e = fitted()
    for _ in range(3):
        result = e.decode(FRAME_CODES if as_frame else CODES)
        labels = (result[LABELS[0]] if as_frame else result[:, 0]).tolist()
        labels += (result[LABELS[2]] if as_frame else result[:, 2]).tolist()
        del result
        gc.collect()
        holders = Counter(map(id, labels))
        # Each distinct label is one str shared by its cells and kept once by
        # the encoder for the next decode.
        assert_held_by(labels, holders, kept=1)
    if refit == "encode":
        e.encode(OBJECTS)
    else:
        e.__setstate__(e.__getstate__())
    assert_held_by(labels, holders, kept=0)


@pytest.mark.parametrize("words", [70_000, 3])
@pytest.mark.parametrize("as_frame", [False, True])
def test_labels_are_shared_by_the_result_and_the_encoder(as_frame, words):
    words = [f"w{k:06d}\u00e9" if k % 7 == 0 else f"w{k:06d}" for k in range(words)]
    # One label in more cells than a reference count is tallied up to at once.
    cells = np.array(words + words[::3] + ["often"] * 700 + ["nan", "x", ""] * 4,
                     dtype=object)[:, None]
    obj = pd.DataFrame(cells, dtype=object) if as_frame else cells
    e = Encoder()
    decoded = e.decode(e.encode(obj)[0])
    labels = (decoded.iloc[:, 0] if as_frame else decoded[:, 0]).tolist()
    del decoded
    gc.collect()
    missing = None if as_frame else "NaN"
    assert labels == [missing if cell == "nan" else cell for cell in cells[:, 0]]
    sample = labels[::97] + labels[-12:]
    holders = Counter(map(id, labels + sample))
    assert_held_by(sample, holders, kept=1)
    del e
    assert_held_by(sample, holders, kept=0)


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer's quarantine holds freed memory")
def test_resident_memory_stays_flat_after_warm_up():
    rows = 10000
    texts = np.array([fresh(f"t{i % 997}-{'x' * (i % 13)}") for i in range(rows)], dtype=object)
    big = np.empty((rows, 3), dtype=object)
    big[:, 0] = texts
    big[:, 1] = np.arange(rows, dtype=float).astype(object)
    big[:, 2] = texts[::-1]
    frame = pd.DataFrame(big, columns=LABELS, dtype=object)
    failing = big.copy()
    failing[-1, 2] = CELLS[2]  # the scan fails at its very last cell
    e = Encoder()
    codes = e.encode(big)[0]

    def one_round():
        e.encode(big)
        e.decode(codes)
        e.encode(frame)
        e.decode(pd.DataFrame(codes, columns=LABELS))
        e.__setstate__(e.__getstate__())
        raises("PanicException", "cant convert to str", lambda: e.encode(failing))
        raises("PanicException", "cant convert to str", lambda: e.decode(failing))

    for _ in range(20):
        one_round()
    gc.collect()
    before = resident_bytes()
    for _ in range(100):
        one_round()
    gc.collect()
    growth = resident_bytes() - before
    # One round handles about 5 MB of cells and texts; keeping any of it each
    # round would add hundreds of megabytes.
    assert growth < 48 * 2**20, growth / 2**20
