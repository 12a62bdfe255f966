#!/bin/sh
# Runs every benchmark with the programs of BINDIR (default build/bin).
set -e
here=$(cd "$(dirname "$0")" && pwd)
bindir=${1:-$here/../build/bin}
"$here/run_bench.sh" "$bindir/glide_stats"
"$here/corvia_signals/run.sh" "$bindir"
"$here/kesto_decode/run.sh" "$bindir/.."
"$here/capture_live/run.sh" "$bindir"
"$here/kesto_server/run.sh" "$bindir"
