#!/bin/sh
# Runs the glide_stats benchmark and writes its table to bench/README.md.
# usage: bench/run_bench.sh [path/to/glide_stats] [--runs=N] [--scale=F]
#                           [--functions=a,b]
# Needs python3-numpy, python3-pandas and python3-bottleneck (Debian).
set -e
here=$(cd "$(dirname "$0")" && pwd)
glide=${1:-$here/../build/bin/glide_stats}
[ $# -gt 0 ] && shift
if [ ! -x "$glide" ]; then
  echo "run_bench.sh: $glide is not an executable glide_stats" >&2
  exit 1
fi
exec /usr/bin/python3 "$here/bench.py" "$glide" "$@"
