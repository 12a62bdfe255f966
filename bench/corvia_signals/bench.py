#!/usr/bin/python3
"""corvia_signals speed: real-time factors (recording seconds per second of
processing) for every signal on a one-hour synthetic recording, written to
README.md beside this file.

usage: bench.py BINDIR [--runs=N] [--seconds=S]

Each case runs N times (default 5) in interleaved rounds (every case once a
round, the order rotated), with `cat` of the recording as the floor; the
table gives medians with their range and the load of other processes."""
import os
import statistics
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import timing  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
SIGNALS = ["ECG", "EMG", "SC", "Temp", "BVP", "Resp", "ECG-HR", "BVP-HR",
           "ECG-BVP-Lag", "Resp-rate"]
TARGET = 10000  # times real time, by the median CPU time


def main():
    bindir = sys.argv[1]
    runs, seconds = 5, 3600
    for arg in sys.argv[2:]:
        key, _, value = arg.partition("=")
        if key == "--runs":
            runs = int(value)
        elif key == "--seconds":
            seconds = int(value)
        else:
            raise SystemExit(f"bench.py: unknown argument {arg}")
    cs = os.path.join(bindir, "corvia_signals")
    gen = os.path.join(bindir, "physio_gen")
    frames = seconds * 2048
    cases = [(s, ["-s", s]) for s in SIGNALS] + [("ECG, -d 8", ["-s", "ECG", "-d", "8"])]
    with tempfile.TemporaryDirectory(prefix="corvia_bench_") as tmp:
        rec = os.path.join(tmp, "hour.raw")
        with open(rec, "wb") as f:
            subprocess.check_call([gen, f"--frames={frames}", "--seed=1"], stdout=f,
                                  stderr=subprocess.DEVNULL)
        if os.path.getsize(rec) != frames * 32:
            raise SystemExit("bench.py: physio_gen wrote a recording of the wrong size")
        programs = [(label, [cs] + args) for label, args in cases] + [("cat (floor)", ["cat"])]
        wall = {label: [] for label, _ in programs}
        cpu = {label: [] for label, _ in programs}
        meter = timing.LoadMeter()
        meter.start()
        for r in range(runs):
            k = r % len(programs)
            for label, cmd in programs[k:] + programs[:k]:
                w, c, rc = timing.run_once(cmd, rec, os.devnull)
                if rc != 0:
                    raise SystemExit(f"failed ({rc}): {' '.join(cmd)}")
                wall[label].append(w)
                cpu[label].append(c)
        load = meter.stop()
    lines = [
        "# corvia_signals speed",
        "",
        f"A {seconds}-second synthetic recording (physio_gen --frames={frames} --seed=1, 2048",
        f"frames per second, {frames * 32:,} bytes) read from a file, output to",
        "/dev/null. Real-time factor = recording seconds / processing seconds.",
        f"Every case (each signal, ECG downsampled by 8, and `cat` of the recording",
        f"as the floor) ran {runs} times in interleaved rounds (every case once a",
        "round, the order rotated from round to round); cells are medians with",
        "the range (min-max) of the runs. CPU = user + system time of the process.",
        f"Target: at least {TARGET:,} times real time by the median CPU time.",
        "",
        f"Machine: {timing.machine()}.",
        f"corvia_signals built by: {timing.compiler(cs)}.",
        f"Load of other processes during the runs: {load:.2f} processors on average.",
        "",
        "| Signal | CPU s | x real time (CPU) | wall s | x real time (wall) |",
        "|---|---|---|---|---|",
    ]
    missed = []
    for label, _ in programs:
        c, w = statistics.median(cpu[label]), statistics.median(wall[label])
        lines.append(f"| {label} | {timing.fmt_spread(cpu[label])} | {seconds / c:,.0f} "
                     f"| {timing.fmt_spread(wall[label])} | {seconds / w:,.0f} |")
        if label != "cat (floor)" and seconds / c < TARGET:
            missed.append(f"{label}: {seconds / c:,.0f} times real time")
    lines += ["", "Target: " + ("; ".join("missed by " + m for m in missed) if missed
                                 else "met for every signal in this run."),
              "", "Re-run: bench/corvia_signals/run.sh BUILD/bin"]
    text = "\n".join(lines) + "\n"
    print(text)
    with open(os.path.join(HERE, "README.md"), "w") as f:
        f.write(text)


if __name__ == "__main__":
    main()
