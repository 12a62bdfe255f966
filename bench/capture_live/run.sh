#!/usr/bin/env bash
# Live capture costs: the CPU time of capture_corvia (with CorviaDLL and the
# KestoSerial server in it) per second of capture at 2048 frames a second,
# and the delay from a frame on the serial line to the capture callback.
# usage: bench/capture_live/run.sh [BINDIR]   (RUNS=5 SECONDS_PER_RUN=10)
set -euo pipefail
bindir=$(cd "${1:-build/bin}" && pwd)
runs=${RUNS:-5}
seconds=${SECONDS_PER_RUN:-10}
work=$(mktemp -d)
export CORVIA_REGISTRY_FILE=$work/registry.txt
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Median and spread (min .. max) of the numbers on standard input.
summary() {
  sort -g | awk '{ v[NR] = $1 } END { m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
                                     printf "%.2f (%.2f .. %.2f, %d runs)", m, v[1], v[NR], NR }'
}

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')"
echo "load before: $(uptime)"

: > "$work/cpu"
for _ in $(seq "$runs"); do
  "$bindir/corvia_sim" COM3 > "$work/sim.out" 2> "$work/sim.log" &
  sim_pid=$!
  for _ in $(seq 50); do grep -q ' is ' "$work/sim.out" && break; sleep 0.1; done
  # bash's time reports the child's user and system time (getrusage).
  TIMEFORMAT='%U %S %R'
  { time (cd "$work" && exec "$bindir/capture_corvia" --die="$seconds" > /dev/null 2> capture.log); } 2> "$work/time"
  grep -q 'missed frames = 0' "$work/capture.log" || { echo "capture failed:" >&2; tail -n 5 "$work/capture.log" >&2; exit 1; }
  awk '{ printf "%.3f\n", ($1 + $2) / $3 * 100 }' "$work/time" >> "$work/cpu"
  kill "$sim_pid"; wait "$sim_pid" 2>/dev/null || true
  sim_pid=
done

: > "$work/median"; : > "$work/p99"
for _ in $(seq "$runs"); do
  line=$("$bindir/capture_live_latency" "$seconds")
  echo "$line" | awk '{ print $6 }' >> "$work/median"
  echo "$line" | awk '{ print $9 }' >> "$work/p99"
done

echo "capture_corvia CPU, % of one core per second of capture: $(summary < "$work/cpu")   (target < 2)"
echo "serial line to capture callback, median delay in ms:      $(summary < "$work/median")"
echo "serial line to capture callback, 99th percentile in ms:   $(summary < "$work/p99")   (target < 40)"
echo "load after: $(uptime)"
