#!/bin/sh
# kesto_decode: the serial server's frame parsing and decoding as a multiple
# of the amplifier's real data rate, with the machine and its load.
# usage: bench/kesto_decode/run.sh [BUILDDIR] [RUNS]
#   BUILDDIR holds lib/libkesto_frontend.a and the simulator's libraries
#   (default: ../../build); RUNS per stream (default 7).
set -e
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
build=${1:-$src/build}
runs=${2:-7}
lib=$build/lib
for l in kesto_frontend platform simamp physio corvia common; do
  if [ ! -f "$lib/lib$l.a" ]; then
    echo "run.sh: $lib/lib$l.a is missing; build kesto_frontend and simamp in $build" >&2
    exit 1
  fi
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM
g++ -std=c++20 -O2 -Wall -Wextra -o "$work/kesto_decode" "$here/kesto_decode.cpp" \
  -I"$src/server/kesto_serial" -I"$src/platform" -I"$src/tools/simamp" \
  -I"$src/tools/physio" -I"$src/libsrc/corvia" -I"$src/libsrc/common" \
  -I"$src/libsrc/fex" -I"$src/libsrc/rel_time" -I"$src/libsrc/fv" -I"$src/libsrc/ffft" -I"$src/libsrc/cmatrix" \
  "$lib/libkesto_frontend.a" "$lib/libsimamp.a" "$lib/libphysio.a" "$lib/libcorvia.a" \
  "$lib/libcommon.a" "$lib/libplatform.a" -lpthread -ldl
echo "machine: $(nproc) cores, $(lscpu | sed -n 's/^Model name: *//p')"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
taskset -c 0 "$work/kesto_decode" "$runs"
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
