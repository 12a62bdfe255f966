#!/bin/sh
# Builds every fuzz target (clang, in build-fuzz next to this folder) and
# runs each for SECONDS (default 5) from its seed corpus; prints a table of
# executions per target. Exit status 1 when a target found a fault (its
# input is saved as build-fuzz/findings/<target>/crash-*). FUZZ_SEED fixes
# libFuzzer's random seed (CI uses 1, so that its runs retrace the same
# inputs); unset, every run explores anew.
set -eu
SECONDS_EACH=${1:-5}
HERE=$(cd "$(dirname "$0")" && pwd)
BUILD=${FUZZ_BUILD:-$HERE/../build-fuzz}
TARGETS="fv_stream text_vectors label_tables matrices event_maps raw_frames serial_link"

if [ ! -f "$BUILD/build.ninja" ]; then
  CC=clang CXX=clang++ cmake -G Ninja -S "$HERE" -B "$BUILD" >/dev/null
fi
ninja -C "$BUILD" $TARGETS >/dev/null

# Allocations beyond 256 MB fail as on a small machine, which takes the
# readers through their exhausted-memory paths instead of spending a second
# of AddressSanitizer's bookkeeping on every huge, untouched vector (the
# libraries' own blocks are capped at a megabyte, exit_wrapper.cpp). Short
# allocation stacks and a 16 MB quarantine save a fifth of the time of the
# allocating targets; a finding is best reproduced without them.
export ASAN_OPTIONS="${ASAN_OPTIONS:-}${ASAN_OPTIONS:+:}allocator_may_return_null=1:max_allocation_size_mb=256:malloc_context_size=4:quarantine_size_mb=16"
failed=0
printf '%-14s %12s %10s %s\n' target executions exec/s result
for t in $TARGETS; do
  work="$BUILD/corpus/$t" findings="$BUILD/findings/$t"
  mkdir -p "$work" "$findings"
  log="$BUILD/findings/$t.log"
  # The seeds stay as they are; what the fuzzer adds goes to the work corpus.
  if "$BUILD/$t" -max_total_time="$SECONDS_EACH" -seed="${FUZZ_SEED:-0}" -close_fd_mask=3 -rss_limit_mb=2048 \
      -malloc_limit_mb=1024 -timeout=10 -max_len=4096 -artifact_prefix="$findings/" \
      -print_final_stats=1 "$work" "$HERE/corpus/$t" >"$log" 2>&1; then
    result=ok
  else
    result="FAULT (see $log)"
    failed=1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  printf '%-14s %12s %10s %s\n' "$t" "${runs:-0}" "${rate:-0}" "$result"
done
exit $failed
