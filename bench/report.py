"""Writes a benchmark run as latest.json, a Markdown table (latest.md) and a
bar chart of the speed-ups over pandas (latest.png), with the machine it ran on.
"""

import datetime
import importlib.metadata
import importlib.util
import json
import os
import platform
import subprocess
from pathlib import Path

MIB = 1024 * 1024
TEXT_WORKLOADS = ("W1", "W2", "W3", "W5")
# (job, workloads, peer, least speed-up of colenc over the peer)
# (job, workload keys, peer, least speed-up); a key is "W1" for every variant
# or "W1-str" for one.
SPEED_GOALS = [("encode", ("W1-object", "W1-cells", "W2"), "pandas", 10.0),
               ("encode", ("W1-str",), "pandas", 6.0), ("encode", ("W3-object",), "pandas", 5.0),
               ("encode", ("W3-cells",), "pandas", 4.0), ("encode", ("W5",), "pandas", 4.0),
               ("encode", ("W6",), "pandas", 4.0),
               ("encode", TEXT_WORKLOADS, "sklearn", 10.0),
               ("encode", TEXT_WORKLOADS, "pyarrow", 1.0), ("encode", TEXT_WORKLOADS, "polars", 1.0),
               ("decode", ("W1", "W2"), "pandas", 1.5), ("decode", ("W3",), "pandas", 1.0)]
# (job, workload keys, floor, most times the floor's time)
FLOOR_GOALS = [("encode", ("W4",), "arr.copy()", 1.05), ("encode", ("W3-cells",), "column copy", 1.5),
               ("encode", ("W6",), "column copy", 2.0),
               ("decode", ("W3",), "arr.copy()", 1.2)]


def version_of(distribution):
    try:
        return importlib.metadata.version(distribution)
    except importlib.metadata.PackageNotFoundError:
        return None


def cpu_model():
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def memory_gib():
    try:
        kib = int(Path("/proc/meminfo").read_text().split()[1])
        return round(kib / MIB, 1)
    except (OSError, ValueError, IndexError):
        return None


def git_commit():
    try:
        done = subprocess.run(["git", "describe", "--always", "--dirty"], capture_output=True,
                              text=True, cwd=Path(__file__).parent, timeout=10)
        return done.stdout.strip() or None
    except (OSError, subprocess.SubprocessError):
        return None


def colenc_build():
    """When the colenc extension on the path was built (its file's time), or None."""
    try:
        module_spec = importlib.util.find_spec("colenc")
    except (ImportError, ValueError):
        return None
    if module_spec is None or not module_spec.origin:
        return None
    built = datetime.datetime.fromtimestamp(os.path.getmtime(module_spec.origin), datetime.timezone.utc)
    return built.strftime("%Y-%m-%d %H:%M UTC")


def machine_info():
    versions = {name: version_of(dist) for name, dist in [
        ("NumPy", "numpy"), ("pandas", "pandas"), ("scikit-learn", "scikit-learn"),
        ("pyarrow", "pyarrow"), ("polars", "polars"), ("colenc", "colenc")]}
    return {
        "cpu": cpu_model(),
        "logical_cores": os.cpu_count(),
        "usable_cores": len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else None,
        "memory_gib": memory_gib(),
        "system": f"{platform.system()} {platform.release()}",
        "python": platform.python_version(),
        "versions": versions,
        "commit": git_commit(),
        "colenc_build": colenc_build(),
        "rayon_num_threads": os.environ.get("RAYON_NUM_THREADS"),
        "load_average": [round(x, 2) for x in os.getloadavg()],
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
    }


def write_markdown(out, name, lines):
    """Writes `lines` and the machine's description as out/name, and prints
    them."""
    lines = list(lines) + [""] + [f"- {key}: {value}" for key, value in machine_info().items()]
    text = "\n".join(lines) + "\n"
    print(text)
    out.mkdir(parents=True, exist_ok=True)
    (out / name).write_text(text)


def find(workload, name, job):
    return next((r for r in workload["records"] if r["name"] == name and r["job"] == job
                 and "min_s" in r), None)


def goals(run):
    """Rows (what, measured, goal, met) for colenc's goals, where both sides ran."""
    rows = []
    for workload in run["workloads"]:
        key = workload["key"]
        for job, names, peer, least in SPEED_GOALS:
            ours, theirs = find(workload, "colenc", job), find(workload, peer, job)
            if (workload["workload"] in names or key in names) and ours and theirs:
                speed_up = theirs["min_s"] / ours["min_s"]
                rows.append((f"{key} {job}: speed-up over {peer}", f"{speed_up:.2f}x",
                             f">= {least:g}x" if least > 1 else "> 1x",
                             speed_up >= least if least > 1 else speed_up > 1))
        for job, names, floor_name, most in FLOOR_GOALS:
            ours, floor = find(workload, "colenc", job), find(workload, floor_name, "floor")
            if (workload["workload"] in names or key in names) and ours and floor:
                times = ours["min_s"] / floor["min_s"]
                rows.append((f"{key} {job}: time over {floor_name}", f"{times:.2f}x",
                             f"<= {most:g}x", times <= most))
        for job in ("encode", "decode"):
            ours, theirs = find(workload, "colenc", job), find(workload, "pandas", job)
            if not (ours and theirs and "peak_bytes" in ours.get("memory", {})
                    and "peak_bytes" in theirs.get("memory", {})):
                continue
            mine, pandas = ours["memory"]["peak_bytes"], theirs["memory"]["peak_bytes"]
            measured = (f"{mine / MIB:.1f} vs {pandas / MIB:.1f} MiB "
                        f"({(mine - pandas) / 1024:+,.0f} KiB)")
            rows.append((f"{key} {job}: peak memory vs pandas", measured, "<= pandas",
                         mine <= pandas))
    return rows


def cell_ms(seconds):
    return "" if seconds is None else f"{seconds * 1e3:,.1f}"


def record_row(record):
    if "error" in record:
        return f"| {record['name']} | {record['job']} | error: {record['error']} ||||||"
    measured = record.get("memory", {})
    cold = cell_ms(measured.get("cold_s"))
    peak = f"{measured['peak_bytes'] / MIB:,.1f}" if "peak_bytes" in measured else \
        measured.get("error", "")
    ratio = f"{record['vs_pandas']:.2f}x" if "vs_pandas" in record else ""
    check = record.get("check", "n/a")
    if check == "MISMATCH":
        check = f"**MISMATCH**: {record['mismatch']}"
    return (f"| {record['name']} | {record['job']} | {cell_ms(record['min_s'])} | "
            f"{cell_ms(record['median_s'])} | {ratio} | {cold} | {peak} | {check} |")


def fmt_load(load):
    return "/".join(f"{x:.2f}" for x in load) if load else "unknown"


def markdown(run):
    machine = run["machine"]
    versions = ", ".join(f"{k} {v}" for k, v in machine["versions"].items() if v)
    lines = [
        "# colenc benchmark",
        "",
        f"Scale {run['scale']:g}, {run['runs']} timed runs after a warm-up; {machine['date']}; "
        f"the whole run took {run['seconds']:.0f} s.",
        "",
        f"Machine: {machine['cpu']}, {machine['logical_cores']} logical cores "
        f"({machine['usable_cores']} usable), {machine['memory_gib']} GiB RAM, {machine['system']}; "
        f"Python {machine['python']}; {versions}; checkout at commit {machine['commit']}"
        + (f", colenc built {machine['colenc_build']}; " if machine.get("colenc_build") else "; ") +
        f"RAYON_NUM_THREADS={machine['rayon_num_threads'] or 'unset'}. Load average "
        f"(1/5/15 min) before the run {fmt_load(machine['load_average'])}, after it "
        f"{fmt_load(run.get('load_average_end'))} (this run included): a load before the run "
        "means other work shared the cores and the times are noisier.",
        "",
        "Speed-up: pandas' minimum time for the same job divided by the contender's minimum "
        "(above 1 is faster than pandas; floors are set against pandas' encode). "
        f"Cold: the fastest first call in {run.get('memory_repeats', 1)} fresh process(es). "
        "Peak: the peak resident set during that call minus the resident set just before it, "
        "the smallest over the same processes (a single page of noise otherwise decides close "
        "comparisons). Check: the result on a sample of rows against "
        "colenc's encode (against pandas' when colenc is absent) or, for decoders, against the "
        "input table. Peers return a column-major float64 matrix; colenc returns a DataFrame "
        "for DataFrame input.",
    ]
    for workload in run["workloads"]:
        lines += ["", f"## {workload['key']}: {workload['description']}", "",
                  f"{workload['rows']:,} rows x {workload['columns']} columns, {workload['storage']}.",
                  "", "| contender | job | min ms | median ms | speed-up vs pandas | cold ms | "
                  "peak MiB | check |", "|---|---|--:|--:|--:|--:|--:|---|"]
        lines += [record_row(r) for r in workload["records"]]
    rows = goals(run)
    if rows:
        lines += ["", "## colenc's goals", "", "| goal | measured | wanted | met |", "|---|--:|--:|---|"]
        lines += [f"| {what} | {measured} | {wanted} | {'yes' if met else '**no**'} |"
                  for what, measured, wanted, met in rows]
    memory_note = {"first": "cold calls and peak memory were measured for the first workload only",
                   "none": "cold calls and peak memory were not measured"}.get(run["memory"])
    notes = run["notes"] + ([memory_note] if memory_note else [])
    if notes:
        lines += ["", "## Notes", ""] + [f"- {note}" for note in notes]
    return "\n".join(lines) + "\n"


def chart_values(run, job):
    """{contender: [speed-up per shown workload]} and the shown workload keys.

    The encode panel adds the arr.copy() and column copy floors; df.values is
    left to the table, since for a one-dtype frame it is a view that costs
    nothing.
    """
    jobs = {job, "floor"} if job == "encode" else {job}
    wanted = [r for w in run["workloads"] for r in w["records"]
              if r["job"] in jobs and "vs_pandas" in r and r["name"] != "df.values"]
    names = list(dict.fromkeys(r["name"] for r in wanted))
    shown = [w for w in run["workloads"] if any(
        r["job"] == job and r["name"] != "pandas" and "vs_pandas" in r for r in w["records"])]
    values = {}
    for name in names:
        values[name] = []
        for workload in shown:
            record = next((r for r in workload["records"] if r["name"] == name
                           and r["job"] in jobs and "vs_pandas" in r), None)
            values[name].append(record["vs_pandas"] if record else 0.0)
    return values, [w["key"] for w in shown]


def chart(run, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(2, 1, figsize=(12, 8.5), constrained_layout=True)
    for axis, job in zip(axes, ("encode", "decode")):
        values, keys = chart_values(run, job)
        width = 0.8 / max(1, len(values))
        for k, (name, heights) in enumerate(values.items()):
            positions = [i + (k - (len(values) - 1) / 2) * width for i in range(len(keys))]
            floor = name in ("arr.copy()", "column copy")
            bars = axis.bar(positions, heights, width, label=name + (" (floor)" if floor else ""),
                            hatch="//" if floor else None, alpha=0.55 if floor else 1.0)
            axis.bar_label(bars, labels=[(f"{v:.2f}" if v < 10 else f"{v:.0f}") if v else ""
                                         for v in heights], fontsize=7)
        axis.axhline(1.0, color="black", linewidth=0.8)
        axis.set_yscale("log")
        top = max([v for heights in values.values() for v in heights], default=1.0)
        axis.set_ylim(top=max(top, 1.0) * 2.5)
        axis.set_xticks(range(len(keys)), keys)
        axis.set_ylabel("speed-up over pandas (log)")
        axis.set_title(f"{job}: pandas' time / contender's time, minimum of {run['runs']} runs")
        if values:
            axis.legend(fontsize=8, loc="upper left", bbox_to_anchor=(1.0, 1.0))
    machine = run["machine"]
    fig.suptitle(f"colenc benchmark, scale {run['scale']:g}: {machine['cpu']}, "
                 f"{machine['logical_cores']} cores, Python {machine['python']}, "
                 f"{machine['date']}", fontsize=10)
    fig.savefig(path, dpi=110)
    plt.close(fig)


def write_all(run, out):
    """Writes latest.json, latest.md and (if matplotlib imports) latest.png; returns the paths."""
    out.mkdir(parents=True, exist_ok=True)
    paths = [out / "latest.json", out / "latest.md"]
    paths[0].write_text(json.dumps(run, indent=1) + "\n")
    try:
        chart(run, out / "latest.png")
        paths.append(out / "latest.png")
    except ImportError as error:
        run["notes"].append(f"no chart: {error}")
    paths[1].write_text(markdown(run))
    return paths
