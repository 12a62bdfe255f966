#!/bin/sh
# corvia_signals speed: real-time factors (recording seconds per second of
# processing) on a one-hour synthetic recording, written to README.md here.
# usage: bench/corvia_signals/run.sh [BINDIR] [--runs=N] [--seconds=S]
#   BINDIR holds corvia_signals and physio_gen (default: ../../build/bin).
set -e
here=$(cd "$(dirname "$0")" && pwd)
bindir=${1:-$here/../../build/bin}
[ $# -gt 0 ] && shift
for p in "$bindir/corvia_signals" "$bindir/physio_gen"; do
  if [ ! -x "$p" ]; then
    echo "run.sh: $p is not an executable; build corvia_signals and physio_gen" >&2
    exit 1
  fi
done
exec /usr/bin/python3 "$here/bench.py" "$bindir" "$@"
