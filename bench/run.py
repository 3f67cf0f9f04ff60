"""Benchmarks colenc's encode and decode against pandas, scikit-learn, pyarrow
and polars on seeded tables, and writes latest.md, latest.json and latest.png.

Per workload and contender: a warm-up call, then --runs timed calls (minimum
and median), the speed-up over pandas in the same run, and the cold first call
and peak memory measured in fresh processes (the best of --memory-repeats). Every result is checked on a
sample of rows; a mismatch is printed, marked in the table, and makes the exit
status 1. Contenders that cannot be imported are skipped with a note.
"""

import argparse
import atexit
import gc
import importlib.util
import os
import shutil
import statistics
import sys
import tempfile
import time
import traceback
from pathlib import Path

import checks
import contenders
import memory
import report
import workloads


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--scale", type=float,
                        help="multiplies every workload's row count (default 1.0)")
    parser.add_argument("--runs", type=int, help="timed calls after the warm-up (default 5)")
    parser.add_argument("--out", type=Path, default=Path(__file__).resolve().parent / "results",
                        help="directory for latest.md/.json/.png (default bench/results)")
    parser.add_argument("--workloads", default="", help="comma-separated subset, e.g. W1,W3")
    parser.add_argument("--memory", choices=["all", "first", "none"],
                        help="workloads whose cold time and peak memory are measured in fresh "
                             "processes: all (default), the first one only, or none")
    parser.add_argument("--memory-repeats", type=int,
                        help="fresh processes per contender for cold time and peak memory; the "
                             "fastest and the smallest are reported (default 3)")
    parser.add_argument("--quick", action="store_true",
                        help="smoke run: defaults become --scale 0.01 --runs 2 --memory first "
                             "--memory-repeats 1")
    args = parser.parse_args(argv)
    defaults = {"scale": 0.01, "runs": 2, "memory": "first", "memory_repeats": 1} if args.quick \
        else {"scale": 1.0, "runs": 5, "memory": "all", "memory_repeats": 3}
    for name, value in defaults.items():
        if getattr(args, name) is None:
            setattr(args, name, value)
    if args.runs < 1 or args.scale <= 0 or args.memory_repeats < 1:
        parser.error("--runs and --memory-repeats must be at least 1 and --scale positive")
    args.workloads = [w.strip() for w in args.workloads.split(",") if w.strip()]
    unknown = set(args.workloads) - set(workloads.WORKLOADS)
    if unknown:
        parser.error(f"unknown workloads: {sorted(unknown)}")
    return args


def time_calls(call, runs):
    """Returns (result of the warm-up call, its time, the times of `runs` more calls)."""
    gc.collect()
    start = time.perf_counter()
    result = call()
    warm_up = time.perf_counter() - start
    times = []
    for _ in range(runs):
        gc.collect()
        start = time.perf_counter()
        again = call()
        times.append(time.perf_counter() - start)
        del again
    return result, warm_up, times


def run_contender(contender, workload, runs, rows):
    """Times one contender; returns its record and the sample of its result."""
    record = {"name": contender.name, "job": contender.job}
    try:
        result, warm_up, times = time_calls(contender.setup(workload), runs)
    except Exception as error:
        traceback.print_exc()
        record["error"] = f"{type(error).__name__}: {error}"
        return record, None
    record.update(min_s=min(times), median_s=statistics.median(times), warm_up_s=warm_up,
                  runs=len(times))
    if contender.job == "encode":
        sample = checks.encoded_sample(result, rows)
    elif contender.job == "decode":
        sample = checks.decoded_sample(result, rows, set(workload.text_columns))
    else:
        sample = None
    return record, sample


def check_records(workload, records, samples, rows):
    """Fills record["check"]; returns the number of mismatches."""
    mismatches = 0
    encoders = [r for r in records if r["job"] == "encode" and samples.get(id(r)) is not None]
    reference = next((r for r in encoders if r["name"] == "colenc"), None) or \
        next((r for r in encoders if r["name"] == "pandas"), None)
    expected = checks.expected_decoding(workload, rows) if workload.text_columns else None
    for record in records:
        sample = samples.get(id(record))
        if sample is None:
            continue
        if record["job"] == "encode":
            if record is reference:
                record["check"] = "reference"
                continue
            problem = checks.compare_encoded(sample, samples[id(reference)])
        else:
            problem = checks.compare_decoded(sample, expected)
        record["check"] = "ok" if problem is None else "MISMATCH"
        if problem is not None:
            mismatches += 1
            record["mismatch"] = problem
            versus = f"{reference['name']}'s" if record["job"] == "encode" else "the input table"
            print(f"  MISMATCH: {record['name']} {record['job']} differs from {versus}: {problem}")
    peers = [r for r in encoders if r is not reference]
    if reference and len(peers) >= 2 and all(r["check"] == "MISMATCH" for r in peers):
        # Every peer disagreeing points at the reference itself.
        reference["check"], reference["mismatch"] = "MISMATCH", "differs from every peer"
        print(f"  MISMATCH: {reference['name']} encode differs from every peer")
        mismatches += 1
    return mismatches


def add_ratios(records):
    """Speed-up over pandas doing the same job (floors: over pandas' encode)."""
    pandas = {r["job"]: r for r in records if r["name"] == "pandas" and "min_s" in r}
    for record in records:
        base = pandas.get("decode" if record["job"] == "decode" else "encode")
        if base and "min_s" in record:
            record["vs_pandas"] = base["min_s"] / record["min_s"]


def bench_workload(name, variant, args, notes, measure_memory):
    started = time.perf_counter()
    workload = workloads.build(name, variant, args.scale)
    print(f"{workload.key}: {workload.shape[0]:,} x {workload.shape[1]} "
          f"(built in {time.perf_counter() - started:.1f} s)", flush=True)
    shape, storage = workload.shape, workloads.storage_text(workload)
    rows = checks.sample_rows(shape[0])
    records, samples = [], {}
    for contender in contenders.CONTENDERS:
        if not contender.applies(workload):
            continue
        missing = contenders.missing_module(contender)
        if missing:
            notes.setdefault(f"{contender.name} skipped (cannot import {contender.module})", missing)
            continue
        record, sample = run_contender(contender, workload, args.runs, rows)
        records.append(record)
        samples[id(record)] = sample
        if "error" in record:
            print(f"  {contender.name:<11} {contender.job:<6} ERROR {record['error']}", flush=True)
        else:
            print(f"  {contender.name:<11} {contender.job:<6} min {record['min_s'] * 1e3:10.1f} ms"
                  f"  median {record['median_s'] * 1e3:10.1f} ms", flush=True)
    mismatches = check_records(workload, records, samples, rows)
    add_ratios(records)
    del samples
    if measure_memory:
        del workload
        gc.collect()
        for record in records:
            if "error" in record:
                continue
            measured = memory.measure_repeatedly(
                name, variant, args.scale, contenders.find(record["name"], record["job"]),
                args.memory_repeats)
            record["memory"] = measured
            if "error" in measured:
                print(f"  memory of {record['name']} {record['job']}: {measured['error']}")
        print(f"  cold calls and peak memory measured in "
              f"{len(records) * args.memory_repeats} fresh processes", flush=True)
    return {"workload": name, "variant": variant, "key": f"{name}-{variant}",
            "rows": shape[0], "columns": shape[1], "storage": storage,
            "description": workloads.WORKLOADS[name][1], "records": records}, mismatches


def pin_colenc():
    """Loads one build of colenc for the whole run, fresh processes included.

    The extension file is copied aside and put first on the path, so that a
    rebuild of the project while the benchmark runs cannot mix two builds.
    """
    module_spec = importlib.util.find_spec("colenc")
    if module_spec is None or not module_spec.origin or not module_spec.origin.endswith(".so"):
        return
    pinned = Path(tempfile.mkdtemp(prefix="colenc-bench-"))
    shutil.copy2(module_spec.origin, pinned / Path(module_spec.origin).name)
    atexit.register(shutil.rmtree, pinned, ignore_errors=True)
    sys.path.insert(0, str(pinned))
    os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [str(pinned),
                                                             os.environ.get("PYTHONPATH")]))


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    args = parse_args(argv)
    started = time.perf_counter()
    pin_colenc()
    machine = report.machine_info()  # before the work, so its load average is the machine's own
    notes, results, mismatches = {}, [], 0
    for position, (name, variant) in enumerate(workloads.all_keys(args.workloads)):
        measure_memory = args.memory == "all" or (args.memory == "first" and position == 0)
        result, bad = bench_workload(name, variant, args, notes, measure_memory)
        results.append(result)
        mismatches += bad
    for note, why in notes.items():
        print(f"note: {note}: {why}")
    run = {"scale": args.scale, "runs": args.runs, "memory_repeats": args.memory_repeats,
           "seconds": time.perf_counter() - started,
           "memory": args.memory, "notes": [f"{k}: {v}" for k, v in notes.items()],
           "mismatches": mismatches, "machine": machine, "workloads": results,
           "load_average_end": [round(x, 2) for x in os.getloadavg()]}
    paths = report.write_all(run, args.out)
    print(f"wrote {', '.join(str(p) for p in paths)} in {run['seconds']:.0f} s")
    if mismatches:
        print(f"{mismatches} result(s) did not match; see the check column")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
