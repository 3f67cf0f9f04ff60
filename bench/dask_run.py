"""Benchmarks colenc_dask on a folder of Parquet files of W1's schema against
dask-ml's Categorizer + OrdinalEncoder and Dask's categorize() + cat.codes, on
a LocalCluster of two worker processes with a memory limit each, and against
single-process colenc on the same table in memory. Writes dask-latest.md and
dask-latest.json; the exit status is 1 when a peer's codes disagree.

Every job reads the files, encodes the text columns and writes the result back
to Parquet. Peak resident memory is read per worker process (VmHWM, reset
before each job).
"""

import argparse
import json
import os
import shutil
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pandas as pd

import report
import workloads

HERE = Path(__file__).resolve().parent


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=20_000_000, help="rows in all (default 20M)")
    parser.add_argument("--files", type=int, default=40, help="Parquet files (default 40)")
    parser.add_argument("--memory-limit", default="2GiB", help="per worker (default 2GiB)")
    parser.add_argument("--data", type=Path,
                        help="where the dataset and outputs go (default build/bench-dask, "
                             "build/bench-dask-quick with --quick)")
    parser.add_argument("--out", type=Path, default=HERE / "results",
                        help="directory for dask-latest.md/.json (default bench/results)")
    parser.add_argument("--peer-timeout", type=float,
                        help="seconds a peer may take before it is stopped (default 60 + 5x colenc_dask's)")
    parser.add_argument("--quick", action="store_true", help="200,000 rows in 8 files")
    args = parser.parse_args(argv)
    if args.quick:
        args.rows, args.files = 200_000, 8
    if args.data is None:
        args.data = HERE.parent / "build" / ("bench-dask-quick" if args.quick else "bench-dask")
    return args


def w1_file(vocabularies, rng, rows):
    """One file of W1's schema: the same columns, vocabularies and shares of
    missing values as bench's W1, in pandas' string storage."""
    columns = {}
    for (name, words), number in zip(vocabularies.items(), ("price", None, "amount", None)):
        columns[name] = workloads.as_storage(workloads.word_column(rng, rows, words, 0.01), "str")
        if number:
            columns[number] = pd.Series(workloads.float_column(rng, rows))
    ids = rng.integers(0, 2**40, rows).tolist()
    columns["user_id"] = workloads.as_storage(np.array([f"u{v:010x}" for v in ids], dtype=object), "str")
    columns["score"] = pd.Series(workloads.float_column(rng, rows))
    return pd.DataFrame(columns)


def write_dataset(folder, rows, files):
    """Writes the files once; a folder already holding this size is kept."""
    stamp = folder.with_name(folder.name + ".size")
    if stamp.exists() and stamp.read_text() == f"{rows} {files}":
        return
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    vocab_rng = np.random.default_rng([workloads.SEED, 1])
    vocabularies = {f"words_{n}": workloads.vocabulary(vocab_rng, n) for n in (10, 100, 1_000, 10_000)}
    per_file = -(-rows // files)
    for k in range(files):
        count = min(per_file, rows - k * per_file)
        frame = w1_file(vocabularies, np.random.default_rng([workloads.SEED, 1, k]), count)
        frame.to_parquet(folder / f"part-{k:04d}.parquet", index=False)
    stamp.write_text(f"{rows} {files}")  # beside the folder: readers take every file in it


def worker_peak_reset():
    try:
        Path("/proc/self/clear_refs").write_text("5")
        return True
    except OSError:
        return False


def worker_peak_bytes():
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) * 1024
    return None


def run_job(client, name, job, out, timeout=None):
    """Times job(out) on the cluster; returns its figures and what it returns.
    A job still running after timeout seconds is stopped by restarting the
    workers, and raises TimeoutError."""
    shutil.rmtree(out, ignore_errors=True)
    client.run(worker_peak_reset)
    outcome = {}

    def target():
        try:
            outcome["value"] = job(out)
        except BaseException as error:  # handed to the waiting thread
            outcome["error"] = error

    start = time.perf_counter()
    runner = threading.Thread(target=target, daemon=True)
    runner.start()
    runner.join(timeout)
    seconds = time.perf_counter() - start
    if runner.is_alive():
        peaks = client.run(worker_peak_bytes)
        client.restart()
        runner.join(60)
        raise TimeoutError(f"stopped after {seconds:.0f} s (worker peaks "
                           f"{', '.join(f'{p / 2**20:.0f}' for p in peaks.values())} MiB)")
    if "error" in outcome:
        raise outcome["error"]
    extra = outcome["value"]
    peaks = client.run(worker_peak_bytes)
    print(f"{name}: {seconds:.1f} s, worker peaks "
          f"{', '.join(f'{p / 2**20:.0f} MiB' for p in peaks.values())}", flush=True)
    return {"seconds": seconds, "worker_peak_bytes": sorted(peaks.values())}, extra


def colenc_job(source):
    import dask.dataframe as dd

    import colenc_dask

    def job(out):
        encoded, text_columns, encoder = colenc_dask.encode(dd.read_parquet(source))
        encoded.to_parquet(out, write_index=False)
        return text_columns, encoder
    return job


def dask_ml_job(source, text_names):
    import dask.dataframe as dd
    from dask_ml.preprocessing import Categorizer, OrdinalEncoder

    def job(out):
        table = Categorizer(columns=text_names).fit_transform(dd.read_parquet(source))
        encoder = OrdinalEncoder(columns=text_names)
        encoder.fit_transform(table).to_parquet(out, write_index=False)
        return {name: list(table[name].dtype.categories) for name in text_names}
    return job


def categorize_job(source, text_names):
    import dask.dataframe as dd

    def job(out):
        table = dd.read_parquet(source).categorize(columns=text_names)
        # Codes per partition: selecting a column of the categorized frame
        # first fails in Dask's column projection (KeyError in _categorize_block).
        codes = table.map_partitions(lambda part: part.assign(**{n: part[n].cat.codes for n in text_names}))
        codes.to_parquet(out, write_index=False)
        return {name: list(table._meta[name].cat.categories) for name in text_names}
    return job


def single_process(source, out):
    """Single-process colenc on the whole table in memory: read, encode, write."""
    import colenc

    start = time.perf_counter()
    table = pd.read_parquet(source)
    read = time.perf_counter()
    encoded, _ = colenc.Encoder().encode(table)
    encoded_at = time.perf_counter()
    encoded.to_parquet(out, index=False)
    done = time.perf_counter()
    return {"rows": len(table), "read_s": read - start, "encode_s": encoded_at - read,
            "write_s": done - encoded_at, "seconds": done - start}


def check_codes(colenc_out, peer_out, encoder, text_names, names, categories, rows=200_000):
    """Compares the first rows of a peer's result with colenc's, label by label:
    where both give a code, both name the same text; where the peer gives
    none, colenc gives none either. Returns the number of disagreeing cells."""
    ours = pd.read_parquet(next(iter(sorted(Path(colenc_out).glob("*.parquet"))))).head(rows)
    theirs = pd.read_parquet(next(iter(sorted(Path(peer_out).glob("*.parquet"))))).head(len(ours))
    decoded = encoder.decode(ours)
    bad = 0
    for name in text_names:
        position = names.index(name)
        labels = decoded.iloc[:, position].to_numpy(dtype=object)
        codes = theirs[name].to_numpy()
        known = codes >= 0
        peer_labels = np.asarray(categories[name], dtype=object)[codes[known]]
        ours_known = labels[known]
        both = np.array([label is not None for label in ours_known])
        bad += int((ours_known[both] != peer_labels[both]).sum())
        # a peer's category that colenc reads as missing is one of its three texts
        bad += int(sum(label not in workloads.MARKERS for label in peer_labels[~both]))
        bad += int(sum(label is not None for label in labels[~known]))
    return bad


def markdown(run):
    machine = run["machine"]
    lines = [f"# colenc_dask benchmark ({run['rows']:,} rows in {run['files']} Parquet files)", "",
             f"Machine: {machine['cpu']}, {machine['logical_cores']} logical cores, "
             f"{machine['memory_gib']} GiB; {machine['system']}; Python {machine['python']}; "
             f"load average before the run {machine['load_average']}.",
             "Versions: " + ", ".join(f"{k} {v}" for k, v in run["versions"].items()) + ".",
             f"Cluster: LocalCluster, 2 worker processes, 1 thread each, memory limit "
             f"{run['memory_limit']} each.", "",
             "| job | wall s | colenc_dask speed-up | worker peaks (MiB) | codes checked |",
             "|---|---:|---:|---|---|"]
    ours = run["jobs"]["colenc_dask"]["seconds"]
    for name, job in run["jobs"].items():
        if "error" in job:
            lines.append(f"| {name} | failed: {job['error']} | | | |")
            continue
        peaks = ", ".join(f"{p / 2**20:.0f}" for p in job["worker_peak_bytes"])
        check = job.get("mismatches")
        check = "" if check is None else ("equal" if check == 0 else f"{check} cells differ")
        lines.append(f"| {name} | {job['seconds']:.1f} | {job['seconds'] / ours:.2f}x | {peaks} | {check} |")
    single = run["single_process"]
    lines += ["", f"Single-process colenc on the same table in memory: read {single['read_s']:.1f} s, "
              f"encode {single['encode_s']:.1f} s, write {single['write_s']:.1f} s, "
              f"{single['seconds']:.1f} s in all; colenc_dask takes {ours / single['seconds']:.2f}x "
              f"of that (target at most 2x).", ""]
    for line in run["goals"]:
        lines.append(f"- {line}")
    return "\n".join(lines) + "\n"


def goals(run):
    ours = run["jobs"]["colenc_dask"]
    peers = [job["seconds"] for name, job in run["jobs"].items() if name != "colenc_dask" and "error" not in job]
    out = []
    if peers:
        ratio = min(peers) / ours["seconds"]
        out.append(f"{'met' if ratio >= 2 else 'missed'}: {ratio:.2f}x faster than the faster peer (target 2x)")
    else:
        out.append("no ratio: no peer finished the job within its memory limit and time")
    limit = run["memory_limit_bytes"]
    peak = max(ours["worker_peak_bytes"])
    out.append(f"{'met' if peak < limit else 'missed'}: worker peak {peak / 2**20:.0f} MiB "
               f"under the limit of {limit / 2**20:.0f} MiB")
    ratio = ours["seconds"] / run["single_process"]["seconds"]
    out.append(f"{'met' if ratio <= 2 else 'missed'}: {ratio:.2f}x the single-process time (target at most 2x)")
    return out


def main(argv=None):
    args = parse_args(argv)
    os.environ.setdefault("RAYON_NUM_THREADS", "1")  # one core per worker process
    import dask
    from dask.utils import parse_bytes
    from distributed import Client, LocalCluster

    source = args.data / "table"
    print(f"writing {args.rows:,} rows in {args.files} files to {source} (once)", flush=True)
    write_dataset(source, args.rows, args.files)
    names = list(pd.read_parquet(next(iter(sorted(source.glob("*.parquet"))))).columns)
    text_names = [n for n in names if n.startswith("words_") or n == "user_id"]

    run = {"rows": args.rows, "files": args.files, "memory_limit": args.memory_limit,
           "memory_limit_bytes": parse_bytes(args.memory_limit), "machine": report.machine_info(),
           "versions": {n: report.version_of(n) for n in ("colenc", "dask", "distributed", "dask-ml",
                                                           "pandas", "pyarrow", "numpy")},
           "jobs": {}}
    failed = False
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, memory_limit=args.memory_limit,
                      dashboard_address=None) as cluster, Client(cluster) as client, \
            dask.config.set({"dataframe.convert-string": True}):
        figures, (text_columns, encoder) = run_job(client, "colenc_dask", colenc_job(str(source)),
                                                   args.data / "out-colenc")
        run["jobs"]["colenc_dask"] = figures
        assert [names[j] for j in text_columns] == text_names, text_columns
        peers = [("dask-ml Categorizer + OrdinalEncoder", dask_ml_job), ("categorize() + cat.codes", categorize_job)]
        for k, (name, make) in enumerate(peers):
            out = args.data / f"out-peer{k}"
            try:
                timeout = args.peer_timeout or 60 + 5 * run["jobs"]["colenc_dask"]["seconds"]
                figures, categories = run_job(client, name, make(str(source), text_names), out, timeout)
            except Exception as error:  # a peer that fails is reported, not fatal
                run["jobs"][name] = {"error": f"{type(error).__name__}: {error}"[:200]}
                continue
            figures["mismatches"] = check_codes(args.data / "out-colenc", out, encoder, text_names, names,
                                                categories)
            failed |= figures["mismatches"] > 0
            run["jobs"][name] = figures
    run["single_process"] = single_process(source, args.data / "out-single.parquet")
    print(f"single-process colenc: {run['single_process']['seconds']:.1f} s", flush=True)
    run["goals"] = goals(run)
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "dask-latest.json").write_text(json.dumps(run, indent=1))
    (args.out / "dask-latest.md").write_text(markdown(run))
    print(markdown(run))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
