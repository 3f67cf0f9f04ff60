"""Cold time and peak memory of one contender call, each in a fresh process.

The parent runs this file as a script for one (workload, contender); the child
builds the workload, prepares the contender, resets the peak resident set, and
times its first call. Peak memory is the peak resident set during the call
minus the resident set just before it.
"""

import argparse
import ctypes
import gc
import json
import resource
import subprocess
import sys
import time
from pathlib import Path

import contenders
import workloads

STATUS = Path("/proc/self/status")
CLEAR_REFS = Path("/proc/self/clear_refs")


def status_kib(field):
    for line in STATUS.read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    raise KeyError(field)


def reset_peak():
    """Sets the peak resident set to the current one; False where the kernel refuses."""
    try:
        CLEAR_REFS.write_text("5")
        return True
    except OSError:
        return False


def release_free_memory():
    """Collects garbage and hands freed heap back, so the baseline is honest."""
    gc.collect()
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass


def measure(name, variant, scale, contender_name, job):
    workload = workloads.build(name, variant, scale)
    call = contenders.find(contender_name, job).setup(workload)
    release_free_memory()
    before = status_kib("VmRSS")
    if reset_peak():
        method = "VmHWM after clear_refs"
    else:
        # ru_maxrss never goes down: a higher peak while preparing hides the call's.
        method = "ru_maxrss"
    start = time.perf_counter()
    result = call()
    cold = time.perf_counter() - start
    if method == "ru_maxrss":
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    else:
        peak = status_kib("VmHWM")
    del result
    return {"cold_s": cold, "peak_bytes": max(0, peak - before) * 1024, "method": method}


def measure_in_subprocess(name, variant, scale, contender, timeout=1800):
    """Runs measure() in a fresh interpreter; returns its dict, or {"error": text}."""
    command = [sys.executable, str(Path(__file__).resolve()), name, variant, str(scale),
               contender.name, contender.job]
    try:
        done = subprocess.run(command, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return {"error": f"timed out after {timeout} s"}
    if done.returncode != 0:
        last = (done.stderr.strip().splitlines() or ["no output"])[-1]
        return {"error": f"exit {done.returncode}: {last}"}
    return json.loads(done.stdout.strip().splitlines()[-1])


def smallest_in_processes(command, key, repeats=3):
    """Runs `command`, which prints a JSON object as its last line, in
    `repeats` fresh processes; returns the smallest of its `key`, or None once
    a run fails. The smallest, since a single page of noise otherwise decides
    close comparisons."""
    values = []
    for _ in range(repeats):
        done = subprocess.run(command, capture_output=True, text=True, timeout=1800)
        if done.returncode != 0:
            return None
        values.append(json.loads(done.stdout.strip().splitlines()[-1])[key])
    return min(values)


def measure_repeatedly(name, variant, scale, contender, repeats):
    """Runs measure() in `repeats` fresh interpreters; returns the smallest peak and
    the fastest cold call (each of them alone, to keep page-level noise out of
    comparisons between contenders), with every sample, or {"error": text}."""
    samples = []
    for _ in range(repeats):
        measured = measure_in_subprocess(name, variant, scale, contender)
        if "error" in measured:
            return measured
        samples.append(measured)
    return {"cold_s": min(m["cold_s"] for m in samples),
            "peak_bytes": min(m["peak_bytes"] for m in samples),
            "method": samples[0]["method"], "samples": samples}


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("workload")
    parser.add_argument("variant")
    parser.add_argument("scale", type=float)
    parser.add_argument("contender")
    parser.add_argument("job", choices=["encode", "decode", "floor"])
    args = parser.parse_args()
    result = measure(args.workload, args.variant, args.scale, args.contender, args.job)
    print(json.dumps(result))


if __name__ == "__main__":
    main()
