"""Checks EDF/BDF files with MNE-Python in one start of Python (MNE loads slowly).

Manifest lines: "file PATH SFREQ N_TIMES MEAS_DATE CHANNELS REFERENCES STEPS", the last three comma lists of channels
of one rate, of raw float64 files of their expected physical values (NaN: nothing expected) and of the largest
differences allowed (negative: the signal need not settle, else more than 1000 values are compared); then
"ann ONSET DURATION TEXT" lines of annotations the file before them holds (DURATION -1: any). Prints a line for each
difference, nothing when all hold.
"""
import sys
import warnings

import numpy as np

warnings.simplefilter("ignore")
import mne  # noqa: E402

mne.set_log_level("ERROR")

raw = path = None
for line in open(sys.argv[1]):
    kind, rest = line.rstrip("\n").split(" ", 1)
    if kind == "ann":
        onset, duration, text = rest.split(" ", 2)
        found = [(round(a["onset"], 6), round(a["duration"], 6), a["description"]) for a in raw.annotations]
        if not any(t == text and abs(o - float(onset)) < 1e-3 and (float(duration) < 0 or abs(d - float(duration)) < 1e-3)
                   for o, d, t in found):
            print(path, "lacks the annotation", rest, "among", found)
        continue
    path, sfreq, n_times, meas_date, channels, refs, steps = rest.split(" ")
    channels = channels.split(",")
    read = mne.io.read_raw_bdf if path.endswith(".bdf") else mne.io.read_raw_edf
    raw = read(path, include=channels, preload=True)
    seen = (raw.info["sfreq"], raw.n_times, int(raw.info["meas_date"].timestamp()), raw.ch_names)
    if seen != (float(sfreq), int(float(n_times)), int(meas_date), channels):
        print(path, "holds", seen)
    data = raw.get_data()
    for k, (name, ref_file, step) in enumerate(zip(channels, refs.split(","), map(float, steps.split(",")))):
        values = data[k] * (1e6 if raw._orig_units.get(name) in ("uV", "\u00b5V") else 1)
        ref = np.fromfile(ref_file, dtype=np.float64)
        n = min(len(ref), len(values))
        ok = ~np.isnan(ref[:n])
        diff = np.abs(values[:n][ok] - ref[:n][ok])
        worst = float(np.max(diff)) if len(diff) else 0.0
        if worst > abs(step) or (step > 0 and len(diff) <= 1000):
            print(path, name, "differs by", worst, "(at most", abs(step), ") over", len(diff), "values")
