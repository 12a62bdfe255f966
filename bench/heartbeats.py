#!/usr/bin/env python3
"""Heart beats found by every ECG detector of the tree on MIT-BIH records.

usage: bench/heartbeats.py [RECORDS] [--bin=DIR] [--out=DIR]
  RECORDS  folder of MIT-BIH Arrhythmia records (.hea, .dat, .atr), all
           of which are scored; default ../shared/data/mitdb beside the
           source tree
  --bin    folder of the built programs (default: build/bin of the tree)
  --out    where heartbeats.md and heartbeats.csv go (default: docs)

Runs the programs as a user would: mitdb_tool turns each record's first
signal into a .fv stream at 360 (its own rate), 2048 and 256 Hz and into a
raw recording at 2048 frames per second; glide_stats runs ecg_hr (its beats
through peak_slope_max, the same detector with the same settings),
ecg_mf_hr, qrs_beats and qrs_hr; corvia_signals puts out ECG-HR with each
R-peak detector. mitdb_tool score matches the beats and measures the heart
rate error (how: see the page written).
"""
import csv
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
TREE = os.path.dirname(HERE)


def fail(message):
    sys.stderr.write("heartbeats.py: %s\n" % message)
    sys.exit(1)


def run(args, stdin=None, stdout=None):
    """Runs a program; its standard error is kept only for a failure."""
    result = subprocess.run(args, stdin=stdin, stdout=stdout or subprocess.PIPE,
                            stderr=subprocess.PIPE)
    if result.returncode != 0:
        fail("%s failed (status %d): %s" % (" ".join(args), result.returncode,
                                           result.stderr.decode()[-500:]))
    return result.stdout.decode() if stdout is None else ""


def to_file(args, path, stdin_path=None):
    with open(path, "wb") as out:
        if stdin_path is None:
            run(args, stdout=out)
        else:
            with open(stdin_path, "rb") as inp:
                run(args, stdin=inp, stdout=out)


def peak_slope_lag(rate):
    """ecg_hr's declared lag in seconds: half its maximum window."""
    return max(2, int(rate * 10 / 2048)) / (2 * rate)


def qrs_delay(rate):
    """The QRS detector's declared delay in seconds (whole samples)."""
    return int(1.5 * rate + 0.5) / rate


class Bench:
    def __init__(self, records, bindir, work):
        self.records, self.bin, self.work = records, bindir, work
        self.rows = []  # (detector, record, tp, fn, fp, hr_error, missing)

    def prog(self, name):
        return os.path.join(self.bin, name)

    def score(self, detector, record, rate, beats, hr, delay):
        out = run([self.prog("mitdb_tool"), "score",
                   os.path.join(self.records, record), str(rate), beats, hr,
                   str(delay)]).split()
        tp, fn, fp, err, count, missing = (int(out[0]), int(out[1]),
                                           int(out[2]), float(out[3]),
                                           int(out[4]), int(out[5]))
        self.rows.append((detector, record, tp, fn, fp, err, missing, count))
        sys.stderr.write("  %-34s TP %5d FN %4d FP %4d HR error %6.2f bpm\n"
                         % (detector, tp, fn, fp, err))

    def glide(self, function, rate, ecg, out):
        # ecg_hr asks for a width, which it does not use.
        width = ["--width=1"] if function == "ecg_hr" else []
        to_file([self.prog("glide_stats"), "--function=" + function,
                 "--samplerate=%d" % rate] + width, out, ecg)

    def record(self, record):
        base = os.path.join(self.records, record)
        w = lambda name: os.path.join(self.work, name)
        sys.stderr.write("record %s\n" % record)
        for rate in (360, 2048, 256):
            ecg = w("ecg%d.fv" % rate)
            to_file([self.prog("mitdb_tool"), "fv", base, str(rate)], ecg)
            if rate != 256:
                self.glide("peak_slope_max", rate, ecg, w("b.fv"))
                self.glide("ecg_hr", rate, ecg, w("h.fv"))
                self.score("ecg_hr %d Hz" % rate, record, rate, w("b.fv"),
                           w("h.fv"), peak_slope_lag(rate))
            self.glide("ecg_mf_hr", rate, ecg, w("h.fv"))
            self.score("ecg_mf_hr %d Hz" % rate, record, rate, "-", w("h.fv"),
                       "auto")
            self.glide("qrs_beats", rate, ecg, w("b.fv"))
            self.glide("qrs_hr", rate, ecg, w("h.fv"))
            self.score("qrs %d Hz" % rate, record, rate, w("b.fv"), w("h.fv"),
                       qrs_delay(rate))
            os.remove(ecg)
        raw = w("ecg.raw")
        to_file([self.prog("mitdb_tool"), "corvia", base], raw)
        # The disconnect detection adds three samples to each detector's lag.
        for name, option, lag in (
                ("corvia_signals ECG-HR", [], peak_slope_lag(2048)),
                ("corvia_signals ECG-HR --ecg_detector=qrs",
                 ["--ecg_detector=qrs"], qrs_delay(2048))):
            to_file([self.prog("corvia_signals"), "--signal=ECG-HR"] + option,
                    w("h.fv"), raw)
            # Both rates are those of the last two beats: "=" recovers a
            # beat whose interval repeats the last one exactly.
            self.score(name, record, 2048, "=", w("h.fv"), lag + 3 / 2048)
        os.remove(raw)


def pooled(rows, detector):
    mine = [r for r in rows if r[0] == detector]
    tp, fn, fp = (sum(r[i] for r in mine) for i in (2, 3, 4))
    # The pooled rate error is the mean over all beats with a rate.
    weight = [r[7] for r in mine]
    err = sum(r[5] * n for r, n in zip(mine, weight)) / max(1, sum(weight))
    return tp, fn, fp, err


def percent(a, b):
    return 100.0 * a / b if b else 0.0


def write_page(rows, path, records):
    detectors = []
    for r in rows:
        if r[0] not in detectors:
            detectors.append(r[0])
    lines = [
        "# Heart beats on real ECG",
        "",
        "Every ECG detector of the tree, scored beat by beat on the %d "
        "MIT-BIH Arrhythmia Database records in `%s` (first signal, MLII). "
        "Made by `bench/heartbeats.py` (one command, about ten minutes); the "
        "same figures are in [heartbeats.csv](heartbeats.csv) (pooled rows "
        "have the record `pooled`)." % (len(set(r[1] for r in rows)),
                                        os.path.relpath(records, TREE)),
        "",
        "## How beats are matched",
        "",
        "- The record's first signal is resampled by linear interpolation to "
        "the rate named and given to the programs as a user would "
        "(`mitdb_tool fv` / `mitdb_tool corvia`, then `glide_stats` or "
        "`corvia_signals`).",
        "- Reference beats are the annotations that mark beats (normal, "
        "bundle branch block, premature, escape, paced, fusion, unclassified "
        "beats); rhythm and noise annotations are not beats.",
        "- A detection is moved back by the detector's delay (declared: "
        "`ecg_hr` half its maximum window, `qrs` 1.5 s, corvia_signals three "
        "samples more; `ecg_mf_hr` declares none, so its delay is the median "
        "distance of its detections to the nearest reference beat).",
        "- A detection matches a reference beat when they lie at most 150 ms "
        "apart; each reference beat takes the nearest unmatched detection "
        "in that window, in time order. TP: matched reference beats; FN: the "
        "other reference beats; FP: the other detections.",
        "- The first 10 s are ignored, and so is the end of the record where "
        "a detection could no longer come out (its delay plus 150 ms).",
        "- Sensitivity Se = TP / (TP + FN), positive predictivity +P = TP / "
        "(TP + FP).",
        "- Heart-rate error: at every reference beat k after 10 s the "
        "reference rate 60 / (t_k - t_(k-1)) is compared with the detector's "
        "rate output 150 ms after the beat (plus the delay); the error is "
        "the mean absolute difference over the beats where the output holds "
        "a rate (the column `no rate` counts the others; corvia_signals "
        "puts out NaN while its detector reports an artefact).",
        "- `ecg_hr` beats come from `glide_stats --function=peak_slope_max` "
        "(the detector inside `ecg_hr`, same settings). `ecg_mf_hr` and "
        "corvia_signals put out only a rate: their beats are the samples "
        "where the rate takes a new value. corvia_signals' rate is that of "
        "the last two beats, so each change also tells where the beat "
        "before it lay (one interval, 60 / rate, earlier; `mitdb_tool score "
        "... =`): only a beat inside three equal intervals in a row is lost. "
        "`ecg_mf_hr`'s rate passes a jump check, so only its changes count, "
        "and a beat whose interval equals the previous one to the sample, "
        "or one held back by the jump check, counts as missed. Their Se is "
        "a lower bound.",
        "",
        "## Pooled over all records",
        "",
        "| detector | TP | FN | FP | Se | +P | heart-rate error |",
        "|---|---|---|---|---|---|---|",
    ]
    for d in detectors:
        tp, fn, fp, err = pooled(rows, d)
        lines.append("| %s | %d | %d | %d | %.2f %% | %.2f %% | %.2f bpm |"
                     % (d, tp, fn, fp, percent(tp, tp + fn),
                        percent(tp, tp + fp), err))
    lines += [
        "",
        "The matched filter's template now keeps its shape in time at every "
        "rate (its output at 2048 Hz is unchanged). Its effect on "
        "`ecg_mf_hr`, scored on the detector's own beat impulses "
        "(`candidate`, which glide_stats does not put out) with the same "
        "matching, measured once before and after the change:",
        "",
        "| rate | before: Se, +P, heart-rate error | after |",
        "|---|---|---|",
        "| 256 Hz | 39.03 %, 97.95 %, 30.74 bpm | 67.04 %, 96.38 %, 21.34 bpm |",
        "| 360 Hz | 45.39 %, 97.29 %, 29.30 bpm | 73.99 %, 95.13 %, 20.26 bpm |",
        "| 2048 Hz | 78.63 %, 93.61 %, 20.39 bpm | the same |",
        "",
        "## Per record",
        "",
    ]
    for d in detectors:
        lines += ["### %s" % d, "",
                  "| record | TP | FN | FP | Se | +P | heart-rate error | no rate |",
                  "|---|---|---|---|---|---|---|---|"]
        for r in rows:
            if r[0] == d:
                lines.append("| %s | %d | %d | %d | %.2f %% | %.2f %% | "
                             "%.2f bpm | %d |"
                             % (r[1], r[2], r[3], r[4],
                                percent(r[2], r[2] + r[3]),
                                percent(r[2], r[2] + r[4]), r[5], r[6]))
        lines.append("")
    with open(path, "w") as f:
        f.write("\n".join(lines))


def write_csv(rows, path):
    detectors = []
    for r in rows:
        if r[0] not in detectors:
            detectors.append(r[0])
    with open(path, "w", newline="") as f:
        out = csv.writer(f, lineterminator="\n")
        out.writerow(["detector", "record", "TP", "FN", "FP", "hr_error_bpm"])
        for r in rows:
            out.writerow(list(r[:5]) + ["%.4f" % r[5]])
        for d in detectors:
            tp, fn, fp, err = pooled(rows, d)
            out.writerow([d, "pooled", tp, fn, fp, "%.4f" % err])


def main():
    records = os.path.join(os.path.dirname(TREE), "shared", "data", "mitdb")
    bindir = os.path.join(TREE, "build", "bin")
    out = os.path.join(TREE, "docs")
    for a in sys.argv[1:]:
        if a in ("-h", "--help"):
            sys.stderr.write(__doc__)
            return
        if a.startswith("--bin="):
            bindir = a[len("--bin="):]
        elif a.startswith("--out="):
            out = a[len("--out="):]
        elif a.startswith("-"):
            fail("unknown option %s (see --help)" % a)
        else:
            records = a
    if not os.path.isdir(records):
        fail("%s is not a folder of MIT-BIH records" % records)
    names = sorted(f[:-4] for f in os.listdir(records) if f.endswith(".hea"))
    if not names:
        fail("no records (.hea files) in %s" % records)
    for p in ("mitdb_tool", "glide_stats", "corvia_signals"):
        if not os.access(os.path.join(bindir, p), os.X_OK):
            fail("%s not found in %s; build the tree first" % (p, bindir))
    with tempfile.TemporaryDirectory() as work:
        bench = Bench(records, bindir, work)
        for r in names:
            bench.record(r)
    write_page(bench.rows, os.path.join(out, "heartbeats.md"), records)
    write_csv(bench.rows, os.path.join(out, "heartbeats.csv"))
    sys.stderr.write("wrote %s and %s\n" % (os.path.join(out, "heartbeats.md"),
                                            os.path.join(out, "heartbeats.csv")))


if __name__ == "__main__":
    main()
