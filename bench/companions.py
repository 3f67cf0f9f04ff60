"""Times the companion modules against the Encoder calls they wrap, as ratios
in one process, the two calls alternating, best of many rounds:
OrdinalTextEncoder.transform against Encoder.transform on W1 (each storage)
and on one row of a 1 x 20 frame of mixed dtypes; colenc_dask.encode (threaded
scheduler, in-memory partitions) against Encoder.encode of the same table.
Writes bench/results/companions.md (or --out)."""

import argparse
import pathlib
import platform
import sys
import time

import numpy as np
import pandas as pd

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import colenc  # noqa: E402
import workloads  # noqa: E402


def best_pair(first, second, rounds):
    """Best times of first() and second(), called alternately."""
    best = [float("inf"), float("inf")]
    for _ in range(rounds):
        for slot, call in enumerate((first, second)):
            start = time.perf_counter()
            call()
            best[slot] = min(best[slot], time.perf_counter() - start)
    return best


def serving_row():
    """One row of a 1 x 20 frame: str, object, float64, int64, category and
    datetime64 columns."""
    kinds = {"str": pd.Series(["Oslo"], dtype="str"), "object": pd.Series(["pro"], dtype=object),
             "float64": pd.Series([1.5]), "int64": pd.Series([7]),
             "category": pd.Series(["free"], dtype="category"),
             "datetime64": pd.Series(pd.to_datetime(["2024-01-01"]))}
    names = list(kinds)
    return pd.DataFrame({f"c{j}": kinds[names[j % len(names)]] for j in range(20)})


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--quick", action="store_true", help="tiny tables, few rounds (a smoke run)")
    parser.add_argument("--out", default=str(pathlib.Path(__file__).resolve().parent / "results"))
    args = parser.parse_args(argv)
    scale, rounds = (0.01, 3) if args.quick else (1.0, 7)

    from colenc_sklearn import OrdinalTextEncoder

    lines = ["# Companion modules against the calls they wrap", "",
             "| job | companion ms | colenc ms | ratio |", "|---|--:|--:|--:|"]

    def row(job, ours, base):
        lines.append(f"| {job} | {ours * 1e3:.3f} | {base * 1e3:.3f} | {ours / base:.2f}x |")
        print(lines[-1], flush=True)

    for variant in workloads.VARIANTS["W1"]:
        table = workloads.build("W1", variant, scale).table
        model = OrdinalTextEncoder().fit(table)
        encoder = model.encoder_
        ours, base = best_pair(lambda: model.transform(table), lambda: encoder.transform(table), rounds)
        row(f"OrdinalTextEncoder.transform, W1-{variant}", ours, base)

    frame = serving_row()
    model = OrdinalTextEncoder().fit(frame)
    encoder = model.encoder_
    cells = frame.to_numpy(dtype=object)
    calls = 20 if args.quick else 2000
    ours, base = best_pair(lambda: model.transform(frame), lambda: encoder.transform(frame), calls)
    row("OrdinalTextEncoder.transform, 1 x 20 frame", ours, base)
    ours, base = best_pair(lambda: encoder.encode(frame), lambda: encoder.transform(frame), calls)
    row("Encoder.encode against Encoder.transform, 1 x 20 frame", ours, base)
    ours, base = best_pair(lambda: encoder.transform(cells), lambda: encoder.transform(frame), calls)
    row("Encoder.transform of the row as an object array against the frame", ours, base)

    try:
        import dask
        import dask.dataframe as dd

        import colenc_dask
    except ImportError as missing:
        lines.append(f"\ncolenc_dask not timed: {missing}")
    else:
        table = workloads.build("W1", "str", scale).table
        partitions = 4 if args.quick else 20
        with dask.config.set(scheduler="threads"):
            parted = dd.from_pandas(table, npartitions=partitions)
            ours, base = best_pair(lambda: colenc_dask.encode(parted)[0].compute(),
                                   lambda: colenc.Encoder().encode(table), max(1, rounds // 2))
        row(f"colenc_dask.encode + compute ({partitions} partitions, threads), W1-str", ours, base)

    versions = {name: __import__(name).__version__ for name in ("colenc", "numpy", "pandas", "sklearn", "dask")
                if name in sys.modules}
    lines += ["", f"Scale {scale}, best of {rounds} rounds ({calls} for one row). Python "
              f"{platform.python_version()}, " + ", ".join(f"{k} {v}" for k, v in versions.items()) + "."]
    out = pathlib.Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    (out / "companions.md").write_text("\n".join(lines) + "\n")
    print(f"wrote {out / 'companions.md'}")


if __name__ == "__main__":
    main()
