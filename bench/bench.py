#!/usr/bin/python3
"""Times glide_stats as a whole process against its peers (bottleneck and
pandas, see peer.py) and against copying the same bytes with cat, and
writes the table to README.md.

usage: bench.py GLIDE_STATS [--runs=N] [--scale=F] [--functions=a,b]
                [--readme=PATH]

Every function runs each program at each width N times (default 7) in
interleaved rounds: one run of every program per round, the order rotated
from round to round, so that a change in the machine's load hits all
programs and widths alike. The table
gives medians with the range of the runs, and the load that other
processes put on the machine while the row was measured.

--scale shrinks the streams and --functions picks functions (for a quick
trial run; the table in README.md is from a full run at scale 1)."""
import os
import subprocess
import sys
import tempfile

import timing

HERE = os.path.dirname(os.path.abspath(__file__))
FUNCTIONS = ["mean", "stddev", "max", "regression", "sliding_mean", "sliding_median"]
WIDTHS = [10, 1000, 100000]
PEERS = ["bottleneck", "pandas"]
PYTHON = "/usr/bin/python3"  # the Debian python with numpy, pandas, bottleneck
TIME_LIMIT = 15.0  # seconds; a peer run beyond it is stopped and not repeated

# Targets: glide_stats against the fastest peer, the growth from width 10
# to width 100,000, and one-dimensional mean/stddev/max against cat.
TARGET_RATIO = 2.0
TARGET_FLAT = 1.3
TARGET_CAT = 2.5


def measure_row(programs, runs):
    """Times {name: (cmd, stdin, stdout)} in `runs` interleaved rounds
    (a peer's name is a pair: (peer, width)).
    Returns {name: [(wall s, CPU s)] or "stopped" or "n/a"} and the other
    load."""
    times = {name: [] for name in programs}
    names = list(programs)
    meter = timing.LoadMeter()
    meter.start()
    for r in range(runs):
        k = r % len(names)
        for name in names[k:] + names[:k]:
            if not isinstance(times[name], list):
                continue
            cmd, fin, fout = programs[name]
            try:
                wall, cpu, rc = timing.run_once(cmd, fin, fout, TIME_LIMIT)
            except timing.Stopped:
                times[name] = "stopped"
                continue
            if rc == 2 and isinstance(name, tuple) and name[0] in PEERS:
                times[name] = "n/a"  # the peer has no such function
                continue
            if rc != 0:
                raise SystemExit(f"failed ({rc}): {' '.join(cmd)}")
            times[name].append((wall, cpu))
    return times, meter.stop()


def median(t, kind=0):
    """Median wall (kind 0) or CPU (kind 1) seconds of a cell's runs."""
    return timing.summary([x[kind] for x in t])[0] if isinstance(t, list) and t else None


def fmt_cell(n, t):
    if t == "stopped":
        return f"> {TIME_LIMIT:.0f} s (stopped)"
    if not isinstance(t, list) or not t:
        return "n/a"
    return (f"{timing.fmt_spread([x[0] for x in t])}, {n / median(t) / 1e6:.1f} M/s; "
            f"CPU {median(t, 1):.3f} s")


def main():
    glide = sys.argv[1]
    scale, runs = 1.0, 7
    functions = FUNCTIONS
    readme = os.path.join(HERE, "README.md")
    for arg in sys.argv[2:]:
        key, _, value = arg.partition("=")
        if key == "--scale":
            scale = float(value)
        elif key == "--runs":
            runs = int(value)
        elif key == "--functions":
            functions = value.split(",")
        elif key == "--readme":
            readme = value
        else:
            raise SystemExit(f"bench.py: unknown argument {arg}")
    shapes = [(int(10_000_000 * scale), 1), (int(1_000_000 * scale), 32)]
    rows = []
    with tempfile.TemporaryDirectory(prefix="glide_bench_") as tmp:
        raw, fv = os.path.join(tmp, "in.raw"), os.path.join(tmp, "in.fv")
        out = os.path.join(tmp, "out")
        for n, dim in shapes:
            subprocess.check_call([PYTHON, os.path.join(HERE, "make_input.py"),
                                   str(n), str(dim), raw, fv])
            for func in functions:
                # All widths of a function in the same rounds, so that w/10
                # compares runs made under the same load.
                programs = {"cat": (["cat"], fv, out)}
                for w in WIDTHS:
                    programs[("glide_stats", w)] = ([glide, "-f", func, "-w", str(w)], fv, out)
                    for peer in PEERS:
                        programs[(peer, w)] = ([PYTHON, os.path.join(HERE, "peer.py"), peer,
                                                func, str(w), str(dim), raw, out], None, None)
                times, load = measure_row(programs, runs)
                for w in WIDTHS:
                    row_times = {name: times[(name, w)] for name in ["glide_stats"] + PEERS}
                    row_times["cat"] = times["cat"]
                    rows.append((n, dim, func, w, row_times, load))
                    print(row_text(rows[-1]), flush=True)
                # The table so far, so that a run cut short leaves it.
                total = len(shapes) * len(functions) * len(WIDTHS)
                if len(rows) < total:
                    write_readme(readme, report(rows, runs, scale, glide,
                                                f"{len(rows)} of {total}"))
    lines = report(rows, runs, scale, glide)
    print("\n".join(lines[lines.index("## Targets"):]))
    write_readme(readme, lines)


def write_readme(readme, lines):
    # A reading of the results written by hand after the table stays.
    reading = ""
    if os.path.exists(readme):
        with open(readme) as f:
            old = f.read()
        if "\n## Reading" in old:
            reading = "\n" + old[old.index("\n## Reading") + 1:]
    with open(readme, "w") as f:
        f.write("\n".join(lines) + "\n" + reading)


def fastest_peer(times, kind=0):
    meds = [median(times[p], kind) for p in PEERS if median(times[p], kind)]
    return min(meds) if meds else None


def row_text(row):
    n, dim, func, w, times, load = row
    g = median(times["glide_stats"])
    fastest = fastest_peer(times)
    return (f"{n:>9} x {dim:<2} {func:<15} w={w:<6} glide_stats {g:7.3f} s"
            + "".join(f"  {p} {fmt_cell(n, times[p])}" for p in PEERS)
            + f"  cat {median(times['cat']):.3f} s"
            + (f"  ratio {fastest / g:5.2f}" if fastest else "")
            + f"  CPU {median(times['glide_stats'], 1):.3f} s"
            + f"  load {load:.2f}")


def report(rows, runs, scale, glide, partial=None):
    lines = [
        "# glide_stats benchmark",
        "",
        "`bench/run_bench.sh [path/to/glide_stats] [--runs=N]` (or the `bench`",
        "build target) times glide_stats as a whole process (start-up, reading",
        "the .fv stream, computing, writing the .fv stream) on a",
        "10,000,000-vector one-dimensional and a 1,000,000-vector 32-dimensional",
        "float32 stream, and in the same rounds the same read-compute-write done",
        "by a peer: python3-bottleneck's move_* functions and python3-pandas'",
        "rolling functions, float32 file in, float32 file out (bench/peer.py),",
        "and `cat` copying the glide_stats input to the same output file (the",
        "floor: reading and writing the bytes, nothing else).",
        "",
        "Method: the three widths of a function are measured together, every",
        "program at every width (and cat) the same number of times, in",
        "interleaved rounds (one run of each per round, the order rotated from",
        "round to round), so that the machine's load changes hit all programs",
        "and widths alike: `w/10` compares runs made under the same load, as",
        "the ratios to the peers and to cat do. Cells are the median of the",
        "runs with their range (min-max) and the median rate in vectors per",
        "second. `load` is the average number of processors that other",
        "processes kept busy while the function's rounds ran (/proc/stat minus",
        "the CPU time of our own runs).",
        f"A peer run beyond {TIME_LIMIT:.0f} s is stopped and not repeated.",
        "",
        "Peers: `mean`, `stddev` (ddof 0), `max` are move_mean / move_std / move_max",
        "and rolling mean / std / max with partial windows at the start;",
        "`regression` is the least-squares slope from two moving sums (of x and of",
        "i * x); `sliding_mean` is pandas' exponential mean with glide_stats'",
        "smoothing factor (bottleneck has none); `sliding_median` is compared with",
        "the exact moving median (move_median, rolling median), which costs more",
        "than glide_stats' median tracker and does a different job.",
        "",
        "Columns: `ratio` is the fastest peer's median over glide_stats' median",
        "(above 1: glide_stats is faster); `w/10` is glide_stats' median at this",
        "width over its median at width 10; `x cat` is glide_stats' median over",
        "cat's. Each is given as wall-clock / CPU time (user + system time of",
        "the process): on a loaded machine the wall clock mostly measures the",
        "waiting for a processor, the CPU time what the program itself costs.",
        "",
    ]
    if scale != 1.0:
        lines += [f"**Trial run at scale {scale}: not the measured results.**", ""]
    if partial:
        lines += [f"**Run in progress or cut short: {partial} rows measured.**", ""]
    loads = [r[5] for r in rows]
    lines += [
        f"Machine: {timing.machine()}.",
        f"glide_stats built by: {timing.compiler(glide)}, {timing.linkage(glide)}.",
        f"Runs of each program at each width: {runs}. Load of other processes over the rows: "
        f"median {timing.summary(loads)[0]:.2f}, range {min(loads):.2f}-{max(loads):.2f} "
        f"processors.",
        "",
        "| vectors x dim | function | width | glide_stats | w/10 | bottleneck | pandas "
        "| cat | ratio | x cat | load |",
        "|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    base = {}
    failures = {0: [], 1: []}
    for n, dim, func, w, times, load in rows:
        g = [median(times["glide_stats"], k) for k in (0, 1)]
        c = [median(times["cat"], k) for k in (0, 1)]
        if w == WIDTHS[0]:
            base[(n, dim, func)] = g
        b = base.get((n, dim, func))
        growth = [g[k] / b[k] for k in (0, 1)] if b else None
        fastest = [fastest_peer(times, k) for k in (0, 1)]
        ratio = [fastest[k] / g[k] if fastest[k] else None for k in (0, 1)]
        pair = lambda v: " / ".join(f"{x:.2f}" if x else "n/a" for x in v)
        cells = [f"{n:,} x {dim}", func, f"{w:,}", fmt_cell(n, times["glide_stats"]),
                 pair(growth) if growth else "n/a",
                 fmt_cell(n, times["bottleneck"]), fmt_cell(n, times["pandas"]),
                 fmt_cell(n, times["cat"]).split(",")[0] + f"; CPU {c[1]:.3f} s",
                 pair(ratio), pair([g[k] / c[k] for k in (0, 1)]), f"{load:.2f}"]
        lines.append("| " + " | ".join(cells) + " |")
        where = f"{n:,} x {dim} {func} w={w:,}"
        for k in (0, 1):
            if ratio[k] is not None and ratio[k] < TARGET_RATIO:
                failures[k].append(f"{where}: {ratio[k]:.2f} times the fastest peer")
            if w == WIDTHS[-1] and growth and growth[k] > TARGET_FLAT:
                failures[k].append(f"{where}: {growth[k]:.2f} times width {WIDTHS[0]}")
            if dim == 1 and func in ("mean", "stddev", "max") and g[k] / c[k] > TARGET_CAT:
                failures[k].append(f"{where}: {g[k] / c[k]:.2f} times cat")
    lines += ["", "## Targets", "",
              f"At least {TARGET_RATIO:g} times faster than the fastest peer on every row; "
              f"width {WIDTHS[-1]:,} within {TARGET_FLAT:g} times width {WIDTHS[0]}; "
              f"one-dimensional mean, stddev and max within {TARGET_CAT:g} times cat.",
              ""]
    for k, kind in ((0, "By wall-clock medians"), (1, "By CPU-time medians")):
        lines += ["", f"{kind}:"]
        lines += ([f"- missed: {f}" for f in failures[k]] if failures[k]
                  else ["- all met in this run."])
    return lines


if __name__ == "__main__":
    main()
