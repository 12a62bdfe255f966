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
sim_pid= capture_pid=
cleanup() {
  [ -n "$capture_pid" ] && kill "$capture_pid" 2>/dev/null && wait "$capture_pid" 2>/dev/null
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

: > "$work/cpu"; : > "$work/steady"
hz=$(getconf CLK_TCK)
# User + system time of a running process in seconds, from /proc.
cpu_of() { awk -v hz="$hz" '{ printf "%.3f", ($14 + $15) / hz }' "/proc/$1/stat"; }
now() { date +%s.%N; }
wait_line() { for _ in $(seq 600); do grep -q "$1" "$work/capture.log" && return; sleep 0.02; done; }
for _ in $(seq "$runs"); do
  "$bindir/corvia_sim" COM3 > "$work/sim.out" 2> "$work/sim.log" &
  sim_pid=$!
  for _ in $(seq 50); do grep -q ' is ' "$work/sim.out" && break; sleep 0.1; done
  : > "$work/capture.log"
  # The whole run: bash's time keyword in a subshell of its own reports the
  # user and system time of capture_corvia alone (getrusage of the child).
  (cd "$work" && TIMEFORMAT='%U %S %R' &&
    { time "$bindir/capture_corvia" --die="$seconds" > /dev/null 2> capture.log; } 2> time.txt) &
  capture_pid=$!
  for _ in $(seq 100); do
    pid=$(cat "/proc/$capture_pid/task/$capture_pid/children" 2>/dev/null || true)
    [ -n "$pid" ] && break
    sleep 0.01
  done
  # The steady state: from the pass at 1 s to the one before the last.
  wait_line 'capture_corvia: 1.000000 seconds'; p1=$(cpu_of $pid); w1=$(now)
  wait_line "capture_corvia: $((seconds - 1)).500000 seconds"; p2=$(cpu_of $pid); w2=$(now)
  wait "$capture_pid"
  capture_pid=
  grep -q 'missed frames = 0' "$work/capture.log" || { echo "capture failed:" >&2; tail -n 5 "$work/capture.log" >&2; exit 1; }
  awk '{ printf "%.3f\n", ($1 + $2) / $3 * 100 }' "$work/time.txt" >> "$work/cpu"
  awk -v p1="$p1" -v p2="$p2" -v w1="$w1" -v w2="$w2" 'BEGIN { printf "%.3f\n", (p2 - p1) / (w2 - w1) * 100 }' >> "$work/steady"
  kill "$sim_pid"; wait "$sim_pid" 2>/dev/null || true
  sim_pid=
done

: > "$work/median"; : > "$work/p99"
for _ in $(seq "$runs"); do
  line=$("$bindir/capture_live_latency" "$seconds")
  echo "$line" | awk '{ print $6 }' >> "$work/median"
  echo "$line" | awk '{ print $9 }' >> "$work/p99"
done

echo "capture_corvia CPU, % of one core while capturing:        $(summary < "$work/steady")   (target < 2)"
echo "  the same over the whole run, start-up and stop included:  $(summary < "$work/cpu")"
echo "serial line to capture callback, median delay in ms:      $(summary < "$work/median")"
echo "serial line to capture callback, 99th percentile in ms:   $(summary < "$work/p99")   (target < 40)"
echo "load after: $(uptime)"
