"""Encode and decode of W1, W2 and W5 as polars DataFrames and pyarrow Tables,
against the same data as a pandas str frame and against the libraries' own
sorted codes: polars' cast to an Enum of the sorted values then its physical
codes, pyarrow's dictionary_encode with the dictionary sorted, and for decode
polars' cast from that Enum back to String. Times are the best of alternating
runs in one process; peak memory of each encode is the smallest of three
fresh processes, each measuring it after a first encode of ten rows of the
same form. Writes arrow_tables.md beside latest.md.

    .venv/bin/python bench/arrow_tables.py            # W1 at 1M rows, W2 at 5M, W5 at 300k
    .venv/bin/python bench/arrow_tables.py --quick    # a hundredth, to keep it working
"""

import argparse
import json
import sys
import time
from pathlib import Path

import numpy as np
import pandas as pd
import polars as pl
import pyarrow as pa
import pyarrow.compute as pc

import colenc
import memory
import report
import workloads

WORKLOADS = (("W1", "str"), ("W2", "str"), ("W5", "records"))


def tables(name, variant, scale):
    """The workload as a pandas str frame, a polars DataFrame and a pyarrow
    Table of the same data, and the positions of its text columns."""
    workload = workloads.build(name, variant, scale)
    frame = workload.table
    return ({"pandas": frame, "polars": pl.from_pandas(frame),
             "pyarrow": pa.Table.from_pandas(frame, preserve_index=False)},
            workload.text_columns)


def polars_codes(frame, text):
    names = [frame.columns[j] for j in text]
    return lambda: [frame[n].cast(pl.Enum(frame[n].unique().drop_nulls().sort())).to_physical()
                    for n in names]


def pyarrow_codes(table, text):
    def job():
        out = []
        for j in text:
            encoded = table.column(j).combine_chunks().dictionary_encode()
            order = pc.array_sort_indices(encoded.dictionary)
            rank = pc.scatter(order, pa.array(np.arange(len(order)))) if hasattr(pc, "scatter") \
                else pa.array(np.argsort(order.to_numpy()))
            out.append(rank.take(encoded.indices))
        return out
    return job


def polars_decode(frame, text):
    """Enum columns (the sorted values) of the text columns, and their cast to String."""
    names = [frame.columns[j] for j in text]
    enums = [frame[n].cast(pl.Enum(frame[n].unique().drop_nulls().sort())) for n in names]
    return lambda: [column.cast(pl.String) for column in enums]


def best(calls, runs):
    """The best time of each call over `runs` rounds, the calls alternating."""
    for call in calls:
        call()
    times = [float("inf")] * len(calls)
    for _ in range(runs):
        for k, call in enumerate(calls):
            start = time.perf_counter()
            call()
            times[k] = min(times[k], time.perf_counter() - start)
    return times


def peak_mib(name, variant, scale, form):
    """Peak memory of one colenc encode of the workload as `form`: the smallest
    of three fresh processes."""
    command = [sys.executable, __file__, "--peak", name, variant, str(scale), form]
    peak = memory.smallest_in_processes(command, "peak_mib")
    if peak is None:
        raise RuntimeError(f"measuring the peak of {name} as {form} failed")
    return peak


def first_rows(table, rows):
    """The first `rows` rows of a pandas or polars frame or a pyarrow Table."""
    if isinstance(table, pd.DataFrame):
        return table.iloc[:rows]
    return table.slice(0, rows)


def measure_peak(name, variant, scale, form):
    """The peak of an encode after a first one of ten rows of the same form:
    that first call loads the code pages of the form's reader and of its
    exporter (file-backed memory, shared, paid once per process), which
    would otherwise count as the encode's own memory."""
    table = tables(name, variant, float(scale))[0][form]
    colenc.Encoder().encode(first_rows(table, 10))
    encoder = colenc.Encoder()
    memory.release_free_memory()
    before = memory.status_kib("VmRSS")
    memory.reset_peak()
    result = encoder.encode(table)
    peak = memory.status_kib("VmHWM") - before
    del result
    print(json.dumps({"peak_mib": peak / 1024}))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--peak", nargs=4, metavar=("NAME", "VARIANT", "SCALE", "FORM"))
    parser.add_argument("--out", type=Path, default=Path(__file__).resolve().parent / "results")
    args = parser.parse_args()
    if args.peak:
        return measure_peak(*args.peak)
    scale = 0.01 if args.quick else 1.0
    runs = 3 if args.quick else args.runs
    lines = [f"# Arrow tables: W1, W2 and W5 at scale {scale} as polars and pyarrow tables", "",
             "Times in ms, best of alternating runs; ratios against colenc on the pandas str frame "
             "in the same run (encode), or colenc's decode of the same codes to a pandas frame "
             "(decode). Peak: the smallest over three fresh processes of an encode's peak "
             "resident set above the set before it, measured after a first encode of ten rows "
             "of the same form, so that the code pages it loads (colenc's reader, the "
             "exporter's) are not counted as the encode's memory.", "",
             "| workload | form | encode ms | x str frame | own sorted codes ms | own / colenc "
             "| peak MiB | x str frame | decode ms | x pandas decode | Enum to String ms "
             "| Enum cast / colenc |",
             "|---|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|"]
    for name, variant in WORKLOADS:
        forms, text = tables(name, variant, scale)
        enc = colenc.Encoder()
        codes = {form: enc.encode(table)[0] for form, table in forms.items()}
        pandas_encode, polars_encode, pyarrow_encode, polars_own, pyarrow_own = best([
            lambda: colenc.Encoder().encode(forms["pandas"]),
            lambda: colenc.Encoder().encode(forms["polars"]),
            lambda: colenc.Encoder().encode(forms["pyarrow"]),
            polars_codes(forms["polars"], text),
            pyarrow_codes(forms["pyarrow"], text)], runs)
        pandas_decode, polars_decode_time, pyarrow_decode, enum_cast = best([
            lambda: enc.decode(codes["pandas"]),
            lambda: enc.decode(codes["polars"]),
            lambda: enc.decode(codes["pyarrow"]),
            polars_decode(forms["polars"], text)], runs)
        peaks = {form: peak_mib(name, variant, scale, form) for form in forms}
        rows = (("pandas str", pandas_encode, None, pandas_decode, None),
                ("polars", polars_encode, polars_own, polars_decode_time, enum_cast),
                ("pyarrow", pyarrow_encode, pyarrow_own, pyarrow_decode, None))
        for (form, encode, own, decode, cast), key in zip(rows, forms):
            own_text = f"{own * 1e3:.1f} | {own / encode:.2f}x" if own else "| "
            cast_text = f"{cast * 1e3:.1f} | {cast / decode:.2f}x" if cast else "| "
            lines.append(
                f"| {name} | {form} | {encode * 1e3:.1f} | {encode / pandas_encode:.2f} | {own_text} "
                f"| {peaks[key]:.1f} | {peaks[key] / max(peaks['pandas'], 1e-9):.2f} "
                f"| {decode * 1e3:.1f} | {decode / pandas_decode:.2f} | {cast_text} |")
    report.write_markdown(args.out, "arrow_tables.md", lines)


if __name__ == "__main__":
    main()
