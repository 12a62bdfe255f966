#!/bin/sh
# CPU time of the KestoSerial server's worker and delivery threads per
# second of 2048-Hz acquisition from corvia_sim with one client, and of the
# whole process, as medians over several runs with their spread.
# usage: run.sh [BINDIR] [RUNS] [SECONDS]   (defaults: build/bin, 5, 10)
set -e
here=$(cd "$(dirname "$0")" && pwd)
root=$here/../..
bindir=$(cd "${1:-$root/build/bin}" && pwd)
runs=${2:-5}
seconds=${3:-10}
for f in corvia_sim libKestoSerial.so; do
  [ -e "$bindir/$f" ] || { echo "kesto_server bench: $bindir/$f is missing (build it first)" >&2; exit 1; }
done
[ -e "$bindir/../lib/libplatform.a" ] || { echo "kesto_server bench: $bindir/../lib/libplatform.a is missing" >&2; exit 1; }

tmp=$(mktemp -d)
sim=
cleanup() { [ -n "$sim" ] && kill "$sim" 2>/dev/null; wait 2>/dev/null; rm -rf "$tmp"; }
trap cleanup EXIT INT TERM

g++ -std=c++20 -O2 -Wall -Wextra -I"$root/platform" -I"$root/server/kesto_serial" \
  "$here/kesto_bench.cpp" "$bindir/../lib/libplatform.a" -ldl -lpthread -o "$tmp/kesto_bench"

# A private registry holds the port map and the server's registration.
CORVIA_REGISTRY_FILE=$tmp/registry.txt
export CORVIA_REGISTRY_FILE
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //')"
echo "load before: $(uptime)"
"$bindir/corvia_sim" COM40 > "$tmp/sim.out" 2>/dev/null &
sim=$!
i=0
while ! grep -q "COM40 is" "$tmp/sim.out" 2>/dev/null; do
  i=$((i + 1)); [ $i -lt 100 ] || { echo "kesto_server bench: corvia_sim did not start" >&2; exit 1; }
  sleep 0.05
done
n=0
while [ $n -lt "$runs" ]; do
  "$tmp/kesto_bench" "$bindir/libKestoSerial.so" COM40 "$seconds" >> "$tmp/runs.txt"
  n=$((n + 1))
done
echo "load after:  $(uptime)"
python3 - "$tmp/runs.txt" "$seconds" <<'PY'
import statistics, sys
rows = [list(map(float, l.split())) for l in open(sys.argv[1]) if l.strip()]
print(f"{len(rows)} runs of {sys.argv[2]} s at 2048 Hz, one client; % of one core")
print("| thread | median | min | max |")
print("|---|---|---|---|")
for i, name in enumerate(["worker", "delivery", "process total"]):
    v = [r[i] for r in rows]
    print(f"| {name} | {statistics.median(v):.3f} % | {min(v):.3f} % | {max(v):.3f} % |")
rate = [r[3] / r[4] for r in rows]
print(f"records delivered per second: median {statistics.median(rate):.1f}")
PY
