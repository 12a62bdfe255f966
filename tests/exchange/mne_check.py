"""Reads EDF/BDF files with MNE-Python in one start of Python (MNE loads slowly).

Manifest lines: PATH CHANNELS [REFERENCES], comma lists of channels of one rate
and of raw float64 files of their expected values (NaN: nothing expected).
Prints per file "file", "sfreq", "n_times", "meas_date" (seconds since 1970),
"names", "diff NAME MAXABS COMPARED" and "ann ONSET DURATION TEXT" lines.
"""
import sys
import warnings

import numpy as np

warnings.simplefilter("ignore")
import mne  # noqa: E402

mne.set_log_level("ERROR")

for line in open(sys.argv[1]):
    parts = line.split()
    if not parts:
        continue
    path, channels = parts[0], parts[1].split(",")
    refs = parts[2].split(",") if len(parts) > 2 else []
    read = mne.io.read_raw_bdf if path.endswith(".bdf") else mne.io.read_raw_edf
    raw = read(path, include=channels, preload=True)
    print("file", path)
    print("sfreq", raw.info["sfreq"])
    print("n_times", raw.n_times)
    print("meas_date", int(raw.info["meas_date"].timestamp()))
    print("names", ",".join(raw.ch_names))
    data = raw.get_data()
    for k, name in enumerate(raw.ch_names):
        values = data[k]
        if raw._orig_units.get(name) in ("uV", "\u00b5V"):
            values = values * 1e6
        if k < len(refs):
            ref = np.fromfile(refs[k], dtype=np.float64)
            n = min(len(ref), len(values))
            ok = ~np.isnan(ref[:n])
            diff = np.abs(values[:n][ok] - ref[:n][ok])
            print("diff", name, float(np.max(diff)) if len(diff) else 0.0, len(diff))
    for a in raw.annotations:
        print("ann", round(a["onset"], 6), round(a["duration"], 6), a["description"])
