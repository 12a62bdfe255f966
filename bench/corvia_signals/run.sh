#!/bin/sh
# corvia_signals speed: real-time factors (recording seconds per second of
# processing) on a one-hour synthetic recording, written to README.md here.
# usage: bench/corvia_signals/run.sh [BINDIR] [--repeat=N]
#   BINDIR holds corvia_signals and physio_gen (default: ../../build/bin).
set -e
here=$(cd "$(dirname "$0")" && pwd)
bindir=${1:-$here/../../build/bin}
repeat=3
for a in "$@"; do
  case $a in --repeat=*) repeat=${a#--repeat=} ;; esac
done
cs=$bindir/corvia_signals
gen=$bindir/physio_gen
for p in "$cs" "$gen"; do
  if [ ! -x "$p" ]; then
    echo "run.sh: $p is not an executable; build corvia_signals and physio_gen" >&2
    exit 1
  fi
done
if [ ! -x /usr/bin/time ]; then
  echo "run.sh: needs GNU time (/usr/bin/time, Debian package time)" >&2
  exit 1
fi

seconds=3600
frames=$((seconds * 2048))  # 7372800
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM
rec=$work/hour.raw
echo "generating a one-hour recording ($frames frames) ..." >&2
"$gen" --frames=$frames --seed=1 > "$rec" 2> /dev/null
size=$(wc -c < "$rec")
if [ "$size" -ne $((frames * 32)) ]; then
  echo "run.sh: physio_gen wrote $size bytes instead of $((frames * 32))" >&2
  exit 1
fi

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
table=$work/table
: > "$table"
# Each case: best of $repeat runs by CPU time (user + system) on one core.
run_case() {
  label=$1
  shift
  best_cpu=
  best_wall=
  i=0
  while [ $i -lt "$repeat" ]; do
    /usr/bin/time -f "%U %S %e %M" -o "$work/t" "$cs" "$@" < "$rec" > /dev/null 2> "$work/err" || {
      echo "run.sh: corvia_signals $* failed:" >&2
      tail -5 "$work/err" >&2
      exit 1
    }
    read -r u s e m < "$work/t"
    cpu=$(echo "$u + $s" | bc -l)
    if [ -z "$best_cpu" ] || [ "$(echo "$cpu < $best_cpu" | bc -l)" -eq 1 ]; then
      best_cpu=$cpu
      best_wall=$e
      best_mem=$m
    fi
    i=$((i + 1))
  done
  factor=$(echo "$seconds / $best_cpu" | bc -l)
  wall_factor=$(echo "$seconds / $best_wall" | bc -l)
  printf '| %s | %.2f | %.0f | %.2f | %.0f | %d |\n' "$label" "$best_cpu" "$factor" \
    "$best_wall" "$wall_factor" "$((best_mem / 1024))" >> "$table"
  printf '%s: %.0fx real time (CPU %.2f s)\n' "$label" "$factor" "$best_cpu" >&2
}

run_case "ECG" -s ECG
run_case "ECG-HR" -s ECG-HR
run_case "BVP-HR" -s BVP-HR
run_case "ECG-BVP-Lag" -s ECG-BVP-Lag
run_case "Resp-rate" -s Resp-rate
run_case "ECG, -d 8" -s ECG -d 8
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

out=$here/README.md
{
  echo "# corvia_signals speed"
  echo
  echo "One-hour synthetic recording (physio_gen --frames=$frames --seed=1, 2048"
  echo "frames per second, $((frames * 32)) bytes) read from a file, output to"
  echo "/dev/null. Real-time factor = 3600 recording seconds / processing"
  echo "seconds; CPU = user + system time of the process (one core), best of"
  echo "$repeat runs. Target: at least 2000x real time by CPU time."
  echo
  echo "Measured $(date -u '+%Y-%m-%d %H:%M UTC') on $(nproc) cores"
  echo "($(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'));"
  echo "load average before: $load_before, after: $load_after."
  busy=$(echo "${load_before%% *} > 1.0 || ${load_after%% *} > 1.0" | bc -l)
  if [ "$busy" -eq 1 ]; then
    echo "The machine was busy (other processes were running), so CPU times"
    echo "include some contention and wall times more; an idle machine is faster."
  fi
  echo
  echo "| Signal | CPU s | x real time (CPU) | wall s | x real time (wall) | max RSS MB |"
  echo "|---|---|---|---|---|---|"
  cat "$table"
  echo
  echo "Re-run: bench/corvia_signals/run.sh BUILD/bin"
} > "$out"
echo "wrote $out" >&2
