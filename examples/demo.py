"""Label-encodes examples/customers.csv with colenc and shows the round trip.

Prints the encoded head, the code -> label map of every text column, and the
decoded head; then checks that decoding gives back every text cell that is not
a missing value. Exits with status 1 on any mismatch.
"""

import sys
from pathlib import Path

import numpy as np
import pandas as pd

import colenc

CSV = Path(__file__).with_name("customers.csv")
TEXT_COLUMNS = ["city", "country", "plan", "browser", "signup_month"]
MISSING_LABELS = {"<NA>", "nan", "NaN"}


def read_customers():
    # Text columns as object dtype: each cell is a plain Python str, or the
    # float NaN for an empty field, whatever the pandas version's default
    # string dtype is (pandas 3 would pick its Arrow-backed "str"). Only empty
    # fields count as missing while reading: pandas' default list would also
    # swallow the country code "NA" (Namibia) and the literal "<NA>", which we
    # leave for colenc to treat as a missing value.
    return pd.read_csv(
        CSV,
        dtype={name: object for name in TEXT_COLUMNS},
        keep_default_na=False,
        na_values=[""],
    )


def code_maps(encoder, encoded, text_cols):
    """Returns {column label: [label of code 0, label of code 1, ...]}.

    Uses only the public API: codes are dense from 0, so a column's largest
    code plus one is its number of labels; decoding a frame of the codes
    0..k-1 in each text column reads the map back.
    """
    counts = {j: int(np.nanmax(encoded.iloc[:, j])) + 1 for j in text_cols}
    rows = max(counts.values(), default=0)
    probe = np.full((rows, encoded.shape[1]), np.nan)
    for j, count in counts.items():
        probe[:count, j] = np.arange(count)
    decoded = encoder.decode(pd.DataFrame(probe, columns=encoded.columns))
    return {encoded.columns[j]: list(decoded.iloc[: counts[j], j]) for j in text_cols}


def is_missing(cell):
    return (isinstance(cell, float) and np.isnan(cell)) or cell in MISSING_LABELS


def round_trip_mismatches(table, decoded, text_cols):
    """Yields a description of every cell that decoding did not restore."""
    for j in range(table.shape[1]):
        name = table.columns[j]
        for i, (before, after) in enumerate(zip(table.iloc[:, j], decoded.iloc[:, j])):
            if j in text_cols:
                expected = None if is_missing(before) else before
                if after != expected:
                    yield f"row {i}, {name}: {before!r} decoded as {after!r}"
            elif not (before == after or (np.isnan(before) and np.isnan(after))):
                yield f"row {i}, {name}: number {before!r} came back as {after!r}"


def main():
    pd.set_option("display.width", 120)
    pd.set_option("display.max_columns", None)
    table = read_customers()
    print(f"{CSV.name}: {table.shape[0]} rows, {table.shape[1]} columns\n")

    encoder = colenc.Encoder()
    encoded, text_cols = encoder.encode(table)
    print(f"label-encoded columns: {[table.columns[j] for j in text_cols]} (positions {text_cols})\n")
    print("encoded head:")
    print(encoded.head(8), end="\n\n")

    print("code maps (code: label, in UTF-8 byte order):")
    maps = code_maps(encoder, encoded, text_cols)
    for name, labels in maps.items():
        print(f"  {name}: " + ", ".join(f"{code}: {label}" for code, label in enumerate(labels)))
    print()

    decoded = encoder.decode(encoded)
    print("decoded head:")
    print(decoded.head(8), end="\n\n")

    problems = []
    if [table.columns[j] for j in text_cols] != TEXT_COLUMNS:
        problems.append(f"expected text columns {TEXT_COLUMNS}, got {text_cols}")
    for name, labels in maps.items():
        present = {cell for cell in table[name] if not is_missing(cell)}
        if labels != sorted(present, key=lambda s: s.encode("utf-8")):
            problems.append(f"{name}: codes do not follow the byte order of its labels: {labels}")
    problems.extend(round_trip_mismatches(table, decoded, set(text_cols)))

    text_cells = sum(not is_missing(c) for name in TEXT_COLUMNS for c in table[name])
    if problems:
        print(f"MISMATCH: {len(problems)} problem(s):")
        for line in problems[:20]:
            print("  " + line)
        return 1
    print(f"OK: decode restored all {text_cells} text cells; missing cells came back as None")
    return 0


if __name__ == "__main__":
    sys.exit(main())
