"""Encode of one object text column in four layouts of the same texts: shared
by batch of rows as a loader hands it over (each of k words one str object per
each of m equal row ranges), the same rows shuffled, one object per word, and
one object per cell. colenc should not care which; pandas factorizing the
column is shown beside. Writes layouts.md beside latest.md.

    .venv/bin/python bench/layouts.py            # 336,776 rows, minimum of 9 runs
    .venv/bin/python bench/layouts.py --quick    # 3,368 rows, to keep it working
"""

import argparse
import time
from pathlib import Path

import numpy as np
import pandas as pd

import colenc
import report
import workloads

CASES = ((16, 11), (105, 10), (4_000, 9))  # (k words, m objects per word)
LAYOUTS = ("chunk-shared", "chunk-shared, shuffled", "one object per word", "one object per cell")


def layouts(rng, rows, words, batches):
    """{layout: one-column frame}, every layout holding the same texts."""
    texts = workloads.vocabulary(rng, words)
    codes = rng.integers(0, words, rows)
    shared = workloads.chunk_shared(texts, codes, batches)
    order = rng.permutation(rows)
    columns = (shared, shared[order], texts[codes],
               np.array([t.encode().decode() for t in texts[codes]], dtype=object))
    return {name: pd.DataFrame({"x": pd.Series(column, dtype=object, copy=False)}, copy=False)
            for name, column in zip(LAYOUTS, columns)}


def best_times(calls, runs):
    """The best time of each call over `runs` rounds, the calls taking turns
    so that all meet the same moments of a busy machine."""
    for call in calls:
        call()
    best = [float("inf")] * len(calls)
    for _ in range(runs):
        for k, call in enumerate(calls):
            start = time.perf_counter()
            call()
            best[k] = min(best[k], time.perf_counter() - start)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--runs", type=int, default=9)
    parser.add_argument("--out", type=Path, default=Path(__file__).resolve().parent / "results")
    args = parser.parse_args()
    rows = 3_368 if args.quick else 336_776
    runs = 2 if args.quick else max(5, args.runs)
    rng = np.random.default_rng(workloads.SEED)
    lines = [f"# One object text column of {rows:,} rows in four layouts: colenc encode, "
             f"minimum of {runs} runs in ms", "",
             "| k words, m objects each | " + " | ".join(LAYOUTS)
             + " | slowest / fastest | pandas `factorize(sort=True)` |",
             "|---|" + "--:|" * (len(LAYOUTS) + 2)]
    for words, batches in CASES:
        frames = layouts(rng, rows, words, batches)
        calls = [lambda f=f: colenc.Encoder().encode(f) for f in frames.values()]
        calls.append(lambda f=frames[LAYOUTS[0]]: pd.factorize(f["x"], sort=True))
        times = best_times(calls, runs)
        ours = times[:-1]
        lines.append(f"| {words:,}, {batches} | " + " | ".join(f"{t * 1e3:.2f}" for t in ours)
                     + f" | {max(ours) / min(ours):.2f}x | {times[-1] * 1e3:.2f} |")
    report.write_markdown(args.out, "layouts.md", lines)


if __name__ == "__main__":
    main()
