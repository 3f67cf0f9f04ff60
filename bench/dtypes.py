"""Encode of a frame whose one text-like column `x` has each everyday pandas
dtype, pd.ArrowDtype ones included, against the same frame with `x` as str
and against pandas factorizing `x` (sorted) plus the number columns' float64
copies; and a real-table shape, many numeric columns beside a few category
columns, against copying its columns. Writes dtypes.md beside latest.md.

    .venv/bin/python bench/dtypes.py            # 300,000 rows
    .venv/bin/python bench/dtypes.py --quick    # 3,000 rows, to keep it working
"""

import argparse
import time
from pathlib import Path

import numpy as np
import pandas as pd

import colenc
import report

DTYPES = ["str", "object", "category", "Int64", "Float64", "boolean", "datetime64[ns]",
          "datetime64[ns, UTC]", "timedelta64[ns]"]
# pd.ArrowDtype columns, as read_parquet(dtype_backend="pyarrow") gives them.
ARROW_DTYPES = ["string[pyarrow]", "large_string[pyarrow]", "int64[pyarrow]", "double[pyarrow]",
                "bool[pyarrow]", "dictionary<int32, string>[pyarrow]", "timestamp[ns][pyarrow]",
                "timestamp[ns, tz=UTC][pyarrow]", "duration[ns][pyarrow]", "date32[pyarrow]"]


def arrow_column(dtype, codes, missing):
    """The values of x_column in a pd.ArrowDtype column, null where missing."""
    import pyarrow as pa
    words = np.array([f"value {k:02d}" for k in range(50)], dtype=object)[codes]
    days = np.datetime64("2024-01-01", "D") + codes.astype("timedelta64[D]")
    values, arrow_type = {
        "string[pyarrow]": (words, pa.string()),
        "large_string[pyarrow]": (words, pa.large_string()),
        "int64[pyarrow]": (codes, pa.int64()),
        "double[pyarrow]": (codes / 4, pa.float64()),
        "bool[pyarrow]": (codes % 2 == 0, pa.bool_()),
        "dictionary<int32, string>[pyarrow]": (words, pa.string()),
        "timestamp[ns][pyarrow]": (days.astype("datetime64[ns]"), pa.timestamp("ns")),
        "timestamp[ns, tz=UTC][pyarrow]": (days.astype("datetime64[ns]"),
                                           pa.timestamp("ns", tz="UTC")),
        "duration[ns][pyarrow]": (codes.astype("timedelta64[m]").astype("timedelta64[ns]"),
                                  pa.duration("ns")),
        "date32[pyarrow]": (days, pa.date32()),
    }[dtype]
    array = pa.array(values, arrow_type, mask=missing)
    if dtype.startswith("dictionary"):
        array = array.dictionary_encode()
    return pd.Series(pd.arrays.ArrowExtensionArray(array))


def x_column(dtype, rows, rng):
    """50 distinct values (2 for boolean), about 1% missing."""
    codes = rng.integers(0, 50, rows)
    missing = rng.random(rows) < 0.01
    if dtype in ARROW_DTYPES:
        return arrow_column(dtype, codes, missing)
    if dtype in ("str", "object", "category"):
        words = np.array([f"value {k:02d}" for k in range(50)], dtype=object)[codes]
        words[missing] = None
        column = pd.Series(words, dtype=object)
        return column if dtype == "object" else column.astype(dtype)
    if dtype == "boolean":
        column = pd.Series(codes % 2 == 0, dtype="boolean")
    elif dtype in ("Int64", "Float64"):
        column = pd.Series(codes, dtype=dtype)
        if dtype == "Float64":
            column = column / 4
    elif dtype.startswith("datetime"):
        stamps = pd.Timestamp("2024-01-01") + pd.to_timedelta(codes, unit="D")
        column = pd.Series(stamps.as_unit("ns"))
        if "UTC" in dtype:
            column = column.dt.tz_localize("UTC")
    else:
        column = pd.Series(pd.to_timedelta(codes, unit="min").as_unit("ns"))
    column[missing] = None
    return column


def paired_best(ours, theirs, runs):
    """The best times of two calls over `runs` rounds, alternating them, so
    that both meet the same moments of a busy machine."""
    ours()
    theirs()
    best = [float("inf"), float("inf")]
    for _ in range(runs):
        for k, call in enumerate((ours, theirs)):
            start = time.perf_counter()
            call()
            best[k] = min(best[k], time.perf_counter() - start)
    return best


def pandas_job(frame, text):
    """factorize(sort=True) of the text columns, float64 copies of the rest."""
    def job():
        for name in frame.columns:
            if name in text:
                pd.factorize(frame[name], sort=True)
            else:
                frame[name].to_numpy(dtype=np.float64, copy=True)
    return job


def column_copy(frame):
    """A copy of each column's own storage (a category column's codes)."""
    return lambda: [frame[name].array.copy() for name in frame.columns]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true")
    # Each call takes a few milliseconds: many rounds find a quiet moment.
    parser.add_argument("--runs", type=int, default=41)
    parser.add_argument("--out", type=Path, default=Path(__file__).resolve().parent / "results")
    args = parser.parse_args()
    rows = 3_000 if args.quick else 300_000
    rng = np.random.default_rng(20240611)
    numbers = {"f": rng.normal(size=rows), "i": rng.integers(-1000, 1000, rows)}
    lines = [f"# Every pandas dtype: {rows:,} rows, a float64 and an int64 column beside `x`", "",
             "| dtype of `x` | colenc encode ms | times the str frame | pandas factorize(x) + copies ms "
             "| pandas / colenc |", "|---|--:|--:|--:|--:|"]
    str_time = None
    for dtype in DTYPES + ARROW_DTYPES:
        frame = pd.DataFrame({**numbers, "x": x_column(dtype, rows, rng)})
        ours, theirs = paired_best(lambda: colenc.Encoder().encode(frame),
                                   pandas_job(frame, {"x"}), args.runs)
        str_time = str_time or ours
        lines.append(f"| {dtype} | {ours * 1e3:.2f} | {ours / str_time:.2f} | {theirs * 1e3:.2f} "
                     f"| {theirs / ours:.2f}x |")
    # A real table's shape: many numbers, a few category columns.
    shape = {f"n{k}": rng.normal(size=rows) for k in range(12)}
    shape.update({f"k{k}": rng.integers(0, 10**6, rows) for k in range(4)})
    shape.update({f"c{k}": x_column("category", rows, rng) for k in range(4)})
    frame = pd.DataFrame(shape)
    ours, floor = paired_best(lambda: colenc.Encoder().encode(frame), column_copy(frame),
                              args.runs)
    lines += ["", f"A real table's shape ({rows:,} rows, 16 numeric and 4 category columns): "
              f"colenc encode {ours * 1e3:.2f} ms, copying its columns {floor * 1e3:.2f} ms, "
              f"{ours / floor:.2f}x the copy."]
    report.write_markdown(args.out, "dtypes.md", lines)


if __name__ == "__main__":
    main()
