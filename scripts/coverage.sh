#!/usr/bin/env bash
# Line and branch coverage of the libraries, the programs, the platform
# layer, the server, the device library and the tools, as exercised by the
# test suite. Usage: scripts/coverage.sh BUILD_DIR (a tree configured with
# -DCOVERAGE=ON and built). Runs every test afresh, then writes
# BUILD_DIR/coverage/index.html (per file, with the lines and branches
# marked), BUILD_DIR/coverage/summary.json and BUILD_DIR/coverage/summary.txt,
# and prints the summary: the total, then one line per folder that has a
# CMakeLists.txt of its own.
#
# A data file that a killed test program left damaged is reported and
# skipped, not fatal. Branches gcc adds for exceptions, and those it can prove never taken, are
# left out: they are not decisions in the code, and counting them would hide
# the ones that are.
set -uo pipefail
build=${1:?usage: coverage.sh BUILD_DIR}
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$build" && pwd)
out=$build/coverage
command -v gcovr >/dev/null || { echo "coverage: gcovr is missing (Debian package gcovr)" >&2; exit 1; }

find "$build" -name '*.gcda' -delete
rm -rf "$out" && mkdir -p "$out"
ctest --test-dir "$build" --output-on-failure -j2 >"$out/ctest.log" 2>&1
tests_status=$?
tail -n 3 "$out/ctest.log"

# Only this build's data files count (gcovr would also search the whole
# source tree, and so any other build folder in it).
filters=()
for area in libsrc src platform server device tools; do
  filters+=(--filter "$root/$area/")
done
gcovr --root "$root" --object-directory "$build" "${filters[@]}" \
      --exclude '.*/(tests?|bench|fuzz)/' \
      --exclude-throw-branches --exclude-unreachable-branches --gcov-ignore-parse-errors \
      -j2 --html-details "$out/index.html" --json-summary "$out/summary.json" \
      --print-summary "$build" >/dev/null || { echo "coverage: gcovr failed" >&2; exit 1; }

python3 - "$root" "$out/summary.json" <<'EOF' | tee "$out/summary.txt"
import json, os, sys
root, summary = sys.argv[1], json.load(open(sys.argv[2]))

def folder(path):
    # The nearest folder above the file that has its own CMakeLists.txt.
    d = os.path.dirname(path)
    while d and not os.path.exists(os.path.join(root, d, "CMakeLists.txt")):
        d = os.path.dirname(d)
    return d or "."

sums = {}
for f in summary["files"]:
    s = sums.setdefault(folder(f["filename"]), [0, 0, 0, 0])
    for i, key in enumerate(("line_covered", "line_total", "branch_covered", "branch_total")):
        s[i] += f[key]

def pct(covered, total):
    return f"{100.0 * covered / total:6.2f} %" if total else "     - "

def row(name, s):
    return f"{name:34} {pct(s[0], s[1])} {s[0]:6}/{s[1]:<6} {pct(s[2], s[3])} {s[2]:6}/{s[3]:<6}"

total = [sum(s[i] for s in sums.values()) for i in range(4)]
print(f"{'folder':34} {'lines':>22} {'branches':>22}")
print(row("TOTAL", total))
for name in sorted(sums):
    print(row(name, sums[name]))
EOF

if [ "$tests_status" -ne 0 ]; then
  echo "coverage: some tests failed (see $out/ctest.log)" >&2
  exit "$tests_status"
fi
echo "coverage: report in $out/index.html"
