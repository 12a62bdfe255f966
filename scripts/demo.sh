#!/usr/bin/env bash
# The main job, end to end: a simulated amplifier front end on a
# pseudo-terminal is recorded live by capture_corvia (through CorviaDLL and
# the KestoSerial server), and the recording goes through the analysis chain
# to heart, pulse and breathing rates and media-player speed commands.
set -euo pipefail
bin=${1:-build/bin}
bin=$(cd "$bin" && pwd)
out=demo-out
seconds=30
hr=75
resp=15
mkdir -p "$out"
rm -f "$out/registry.txt" "$out/CorviaLog.txt"
# The COM port map and the server's registration stay in the demo's folder.
export CORVIA_REGISTRY_FILE=$PWD/$out/registry.txt
say() { printf '\n== %s\n' "$*"; }

sim_pid= capture_pid=
cleanup() {
  trap - EXIT INT TERM
  [ -n "$capture_pid" ] && kill -TERM "$capture_pid" 2>/dev/null && wait "$capture_pid" 2>/dev/null
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  return 0
}
trap cleanup EXIT
trap 'echo "demo interrupted" >&2; cleanup; exit 130' INT TERM

say "1. corvia_sim plays the amplifier's front end on COM3 (heart rate $hr, $resp breaths a minute)"
"$bin/corvia_sim" --hr=$hr --resp-rate=$resp --seed=7 COM3 > "$out/sim.out" 2> "$out/sim.log" &
sim_pid=$!
for _ in $(seq 50); do grep -q ' is ' "$out/sim.out" 2>/dev/null && break; sleep 0.1; done
if ! grep -q ' is ' "$out/sim.out"; then
  echo "corvia_sim did not start:" >&2
  cat "$out/sim.log" >&2
  exit 1
fi
cat "$out/sim.out"
"$bin/corvia_ports" list

say "2. capture_corvia records it live for $seconds s (CorviaDLL finds the front end, KestoSerial streams 2048 frames a second)"
(cd "$out" && exec "$bin/capture_corvia" --die=$seconds --tee=copy.raw > live.raw 2> capture.log) &
capture_pid=$!
wait "$capture_pid" || { echo "capture_corvia failed:" >&2; tail -n 5 "$out/capture.log" >&2; exit 1; }
capture_pid=
grep -E 'info:|warning|error' "$out/capture.log" || true
frames=$(( $(stat -c %s "$out/live.raw") / 32 ))
echo "$out/live.raw: $frames frames of 32 bytes = $(awk -v f=$frames 'BEGIN { printf "%.1f", f / 2048 }') s; CorviaLog.txt:"
sed -e '/^$/d' -e 's/^ */    /' "$out/CorviaLog.txt"
kill "$sim_pid" && wait "$sim_pid" 2>/dev/null || true
sim_pid=

say "3. corvia_signals: ECG heart rate, pulse rate and breathing rate (8 values a second; NaN while a detector settles: 6 s for the heart, 17 s for breathing)"
"$bin/corvia_signals" --signal=ECG-HR --pick=256 < "$out/live.raw" > "$out/ecg_hr.fv" 2> /dev/null
"$bin/corvia_signals" --signal=BVP-HR --pick=32 < "$out/live.raw" > "$out/bvp_hr.fv" 2> /dev/null
"$bin/corvia_signals" --signal=Resp-rate --pick=32 < "$out/live.raw" > "$out/resp_rate.fv" 2> /dev/null
# The mean of the finite values of the last 10 s.
settled() {
  "$bin/vecshow" --features < "$1" |
    awk '{ v[NR] = $1 } END { for (i = NR - 79; i <= NR; i++) if (i > 0 && v[i] != "nan") { s += v[i]; n++ }
                              if (n) printf "%.1f", s / n; else printf "n/a" }'
}
printf '%-22s %10s %28s\n' "" "simulator" "measured (mean of last 10 s)"
printf '%-22s %10s %28s\n' "heart rate (ECG)" "$hr" "$(settled "$out/ecg_hr.fv")"
printf '%-22s %10s %28s\n' "pulse rate (BVP)" "$hr" "$(settled "$out/bvp_hr.fv")"
printf '%-22s %10s %28s\n' "breathing rate" "$resp" "$(settled "$out/resp_rate.fv")"
echo "(the simulated subject varies each beat and breath a little, as a person does)"

say "4. glide_stats smooths the heart rate over 8 vectors (1 s); vecshow prints it every 3 s"
"$bin/glide_stats" --function=mean --width=8 < "$out/ecg_hr.fv" > "$out/ecg_hr_mean.fv" 2> "$out/glide_stats.log"
"$bin/vecshow" --features < "$out/ecg_hr_mean.fv" |
  awk 'NR % 24 == 0 { printf "t = %2d s  heart rate %s beats per minute\n", NR / 8, $1 }'

say "5. pace_feedback turns the last heart rates into MPlayer speed commands for a 30-year-old (target 150)"
"$bin/vecshow" --features < "$out/ecg_hr_mean.fv" | tail -n 2 | "$bin/pace_feedback" 30

say "Look at: $out/ (live.raw and its --tee copy copy.raw, capture.log, CorviaLog.txt, sim.log, the .fv streams); 'vecshow < FILE.fv' prints any stream"
