#!/usr/bin/env python3
"""Writes the seed inputs of the state reader fuzzer into fuzz/seeds/: the
worked example, the unfitted and empty fitted states, a state with several
columns, and one input for each way the reader refuses bytes."""
import pathlib
import struct

SEEDS = pathlib.Path(__file__).resolve().parent / "seeds"


def u64(v):
    return struct.pack("<Q", v)


def text(b):
    return u64(len(b)) + b


def fitted(string_columns=b"", label_to_code=b"", code_to_label=b""):
    return b"\x01" + (string_columns or u64(0)) + (label_to_code or u64(0)) + (code_to_label or u64(0)) + bytes(4)


def label_state(label):
    return fitted(u64(1) + u64(7), u64(1) + u64(7) + u64(1) + text(label) + b"\x01" + u64(0))


WORKED = (
    b"\x01" + u64(1) + u64(1)
    + u64(1) + u64(1) + u64(2) + text(b"a") + b"\x01" + u64(0) + text(b"nan") + b"\x00"
    + u64(1) + u64(1) + u64(1) + u64(0) + text(b"a")
    + bytes(4)
)

SEEDS_BY_NAME = {
    "worked_example": WORKED,
    "unfitted": bytes(5),
    "empty_fitted": b"\x01" + bytes(28),
    "two_columns": fitted(
        u64(2) + u64(0) + u64(3),
        u64(2)
        + u64(0) + u64(3) + text(b"x") + b"\x01" + u64(1) + text(b"") + b"\x01" + u64(0) + text(b"<NA>") + b"\x00"
        + u64(3) + u64(1) + text("é€𐍈".encode()) + b"\x01" + u64(0),
        u64(2)
        + u64(0) + u64(2) + u64(0) + text(b"") + u64(1) + text(b"x")
        + u64(3) + u64(1) + u64(0) + text("é€𐍈".encode()),
    ),
    "duplicate_keys": fitted(
        u64(2) + u64(4) + u64(4),
        u64(2) + u64(4) + u64(1) + text(b"a") + b"\x01" + u64(0) + u64(4) + u64(2)
        + text(b"b") + b"\x01" + u64(0) + text(b"b") + b"\x00",
        u64(1) + u64(4) + u64(2) + u64(0) + text(b"a") + u64(0) + text(b"b"),
    ),
    "trailing_bytes": WORKED + b"\xde\xad\xbe\xef",
    "refuse_empty": b"",
    "refuse_tag_alone": b"\x00",
    "refuse_record_tag_2": b"\x02\x00\x00\x00\x00",
    "refuse_label_tag_2": WORKED[:50] + b"\x02" + WORKED[51:],
    "refuse_strategy_1": b"\x00\x01\x00\x00\x00",
    "refuse_count_2_32": b"\x01" + u64(1 << 32),
    "refuse_count_max": b"\x01" + u64(2**64 - 1) + u64(0),
    "refuse_column_2_32": b"\x01" + u64(1) + u64(1 << 32) + u64(0) + u64(0) + bytes(4),
    "refuse_text_past_end": b"\x01" + u64(0) + u64(1) + u64(3) + u64(1) + u64(5) + b"ab",
    "refuse_label_ff": label_state(b"\xff"),
    "refuse_label_surrogate": label_state(b"ok\xed\xa0\x80"),
    "refuse_label_incomplete": label_state(b"ab\xf0\x9f\x98"),
    "refuse_truncated": WORKED[:100],
}

if __name__ == "__main__":
    SEEDS.mkdir(exist_ok=True)
    for name, data in SEEDS_BY_NAME.items():
        (SEEDS / name).write_bytes(data)
