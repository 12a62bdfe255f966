#!/usr/bin/python3
"""Times glide_stats as a whole process against its peers (bottleneck and
pandas, see peer.py) and writes the table to README.md.

usage: bench.py GLIDE_STATS [--scale=F] [--readme=PATH]

--scale shrinks the streams (for a quick trial run; the table in README.md
is from a run at scale 1)."""
import os
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
FUNCTIONS = ["mean", "stddev", "max", "regression", "sliding_mean", "sliding_median"]
WIDTHS = [10, 1000, 100000]
PEERS = ["bottleneck", "pandas"]


TIME_LIMIT = 60.0  # seconds; a slower run is stopped and reported as such


def timed_run(cmd, fin, fout):
    """Wall-clock seconds of one run and its exit status; None for the time
    when it was stopped after TIME_LIMIT. The wait blocks in waitpid:
    subprocess' own time-out polls with sleeps of up to 50 ms, which would
    round every time up to the next poll."""
    start = time.perf_counter()
    proc = subprocess.Popen(cmd, stdin=fin, stdout=fout, stderr=subprocess.DEVNULL)
    timer = threading.Timer(TIME_LIMIT, proc.kill)
    timer.start()
    rc = proc.wait()
    elapsed = time.perf_counter() - start
    stopped = not timer.is_alive()
    timer.cancel()
    return (None if stopped else elapsed), rc


def best_time(cmd, stdin_path=None, stdout_path=None, repeats=3, give_up=5.0):
    """Best wall-clock time of `repeats` runs (one run when it takes longer
    than `give_up` seconds); None when the command exits with status 2;
    float("inf") when it runs longer than TIME_LIMIT."""
    best = None
    for _ in range(repeats):
        with open(stdin_path or os.devnull, "rb") as fin, \
                open(stdout_path or os.devnull, "wb") as fout:
            elapsed, rc = timed_run(cmd, fin, fout)
        if elapsed is None:
            return float("inf")
        if rc == 2:
            return None
        if rc != 0:
            raise SystemExit(f"failed ({rc}): {' '.join(cmd)}")
        best = elapsed if best is None else min(best, elapsed)
        if elapsed > give_up:
            break
    return best


def load_average():
    try:
        with open("/proc/loadavg") as f:
            return f.read().split()[0]
    except OSError:
        return "?"


def main():
    glide = sys.argv[1]
    scale = 1.0
    readme = os.path.join(HERE, "README.md")
    for arg in sys.argv[2:]:
        if arg.startswith("--scale="):
            scale = float(arg.split("=", 1)[1])
        elif arg.startswith("--readme="):
            readme = arg.split("=", 1)[1]
    shapes = [(int(10_000_000 * scale), 1), (int(1_000_000 * scale), 32)]
    rows = []
    loads = [load_average()]
    with tempfile.TemporaryDirectory(prefix="glide_bench_") as tmp:
        for n, dim in shapes:
            raw, fv = os.path.join(tmp, "in.raw"), os.path.join(tmp, "in.fv")
            subprocess.check_call([sys.executable, os.path.join(HERE, "make_input.py"),
                                   str(n), str(dim), raw, fv])
            for func in FUNCTIONS:
                for w in WIDTHS:
                    g = best_time([glide, "-f", func, "-w", str(w)], fv,
                                  os.path.join(tmp, "out.fv"), repeats=5)
                    peer_times = {}
                    for peer in PEERS:
                        peer_times[peer] = best_time(
                            [sys.executable, os.path.join(HERE, "peer.py"), peer,
                             func, str(w), str(dim), raw, os.path.join(tmp, "out.raw")],
                            repeats=2)
                    rows.append((n, dim, func, w, g, peer_times))
                    fastest = min((t for t in peer_times.values() if t), default=None)
                    print(f"{n:>9} x {dim:<2} {func:<15} w={w:<6} glide_stats {g:7.3f} s"
                          + "".join(f"  {p} {fmt_peer(n, t)}"
                                    for p, t in peer_times.items())
                          + (f"  ratio {fastest / g:5.2f}" if fastest else ""),
                          flush=True)
            loads.append(load_average())
    write_readme(readme, rows, scale, loads)


def fmt_rate(n, t):
    return f"{n / t / 1e6:.1f} M" if t else "n/a"


def fmt_peer(n, t):
    if t is None:
        return "n/a"
    if t == float("inf"):
        return f"> {TIME_LIMIT:.0f} s (stopped)"
    return f"{t:.3f} s ({fmt_rate(n, t)})"


def write_readme(path, rows, scale, loads):
    lines = [
        "# glide_stats benchmark",
        "",
        "`bench/run_bench.sh [path/to/glide_stats]` (or the `bench` build target)",
        "times glide_stats as a whole process (start-up, reading the .fv stream,",
        "computing, writing the .fv stream) on a 10,000,000-vector one-dimensional",
        "and a 1,000,000-vector 32-dimensional float32 stream, and in the same run",
        "the same read-compute-write done by a peer: python3-bottleneck's move_*",
        "functions and python3-pandas' rolling functions, float32 file in, float32",
        "file out (bench/peer.py). Times are the best of five runs for glide_stats",
        "and of two for the peers (one when a run takes more than 5 s); a peer",
        "run is stopped after 60 s.",
        "",
        "Peers: `mean`, `stddev` (ddof 0), `max` are move_mean / move_std / move_max",
        "and rolling mean / std / max with partial windows at the start;",
        "`regression` is the least-squares slope from two moving sums (of x and of",
        "i * x); `sliding_mean` is pandas' exponential mean with glide_stats'",
        "smoothing factor (bottleneck has none); `sliding_median` is compared with",
        "the exact moving median (move_median, rolling median), which costs more",
        "than glide_stats' median tracker and does a different job.",
        "",
        "Columns: vectors per second (M = million) of each program, and the ratio",
        "of the fastest peer's time to glide_stats' time (above 1: glide_stats is",
        "faster). `w/10` is the time at this width divided by the time at width 10.",
        "",
    ]
    if scale != 1.0:
        lines += [f"**Trial run at scale {scale}: not the measured results.**", ""]
    lines += [f"Measured on this project's machine (2 cores shared with other work; "
              f"load average before and after each stream: {', '.join(loads)}).", ""]
    lines += ["| vectors x dim | function | width | glide_stats | vectors/s | w/10 "
              "| bottleneck | pandas | ratio to fastest peer |",
              "|---|---|---|---|---|---|---|---|---|"]
    base = {}
    for n, dim, func, w, g, peers in rows:
        if w == WIDTHS[0]:
            base[(n, dim, func)] = g
        fastest = min((t for t in peers.values() if t), default=None)
        growth = g / base[(n, dim, func)]
        cells = [f"{n:,} x {dim}", func, f"{w:,}", f"{g:.3f} s", fmt_rate(n, g),
                 f"{growth:.2f}"]
        for p in PEERS:
            cells.append(fmt_peer(n, peers[p]))
        cells.append(f"{fastest / g:.2f}" if fastest else "n/a")
        lines.append("| " + " | ".join(cells) + " |")
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
