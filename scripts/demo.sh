#!/usr/bin/env bash
# The main job, end to end: a synthetic subject is recorded, the recording is
# replayed at its real-time pace by capture_corvia, and the replay goes
# through the analysis chain to heart rates and a classifier export.
set -euo pipefail
bin=${1:-build/bin}
bin=$(cd "$bin" && pwd)
out=demo-out
mkdir -p "$out"
say() { printf '\n== %s\n' "$*"; }

say "1. A synthetic subject: 16 s of ECG, EMG, skin conductance, temperature, pulse and respiration (heart rate 75, 15 breaths a minute)"
"$bin/physio_gen" --seconds=16 --hr=75 --resp-rate=15 --seed=7 > "$out/subject.raw"
echo "$out/subject.raw: $(stat -c %s "$out/subject.raw") bytes = $(( $(stat -c %s "$out/subject.raw") / 32 )) frames of 32 bytes"

say "2. capture_corvia replays it at the recording's pace (one block of 2048 frames a second), with a --tee copy"
"$bin/capture_corvia" --read="$out/subject.raw" --tee="$out/copy.raw" > "$out/replay.raw"
cmp "$out/subject.raw" "$out/replay.raw" && cmp "$out/subject.raw" "$out/copy.raw" &&
  echo "replay and copy are byte-identical to the recording"

if [ -x "$bin/corvia_signals" ]; then
  say "3. corvia_signals: the ECG heart rate, one vector per 256 frames (8 a second); the detector needs about 7 s to settle (NaN until then)"
  "$bin/corvia_signals" --signal=ECG-HR --pick=256 < "$out/replay.raw" > "$out/ecg_hr.fv"
  "$bin/vecshow" --n_expected < "$out/ecg_hr.fv" | sed 's/^/vectors: /'

  say "4. glide_stats smooths it over 8 vectors (1 s); vecshow prints one value a second"
  "$bin/glide_stats" --function=mean --width=8 < "$out/ecg_hr.fv" > "$out/ecg_hr_mean.fv"
  "$bin/vecshow" --features < "$out/ecg_hr_mean.fv" |
    awk 'NR % 8 == 0 { printf "t = %2d s  heart rate %s beats per minute\n", NR / 8, $1 }'

  if [ -x "$bin/pace_feedback" ]; then
    say "5. pace_feedback turns the last heart rates into MPlayer speed commands for a 30-year-old (target 150)"
    "$bin/vecshow" --features < "$out/ecg_hr_mean.fv" | tail -n 2 | "$bin/pace_feedback" 30
  fi
fi

say "Look at: $out/ (the recording, its replay and copy, and the feature streams); 'vecshow < FILE.fv' prints any stream"
