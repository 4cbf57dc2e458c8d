#!/usr/bin/env bash
# Cross-builds the library, the simulator and the test programs for 32-bit
# big-endian SPARC Linux and runs every test through qemu user emulation.
# Installs nothing: `scripts/deps.sh sparc` provides the cross tools.
# Usage: scripts/test-sparc.sh [BUILD_DIR [extra cmake arguments...]]
# Environment: ZK_SPARC_JOBS (build and test parallelism, default 2).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-sparc}
[ $# -eq 0 ] || shift
build=$(realpath -m "$build")  # tests run in their own folders
jobs=${ZK_SPARC_JOBS:-2}

# Tests that cannot apply on the emulated target, each with its reason.
# (Tests that can tell for themselves skip when ZK_EMULATED is defined.)
declare -A excluded=(
)

for tool in sparc64-linux-gnu-g++ qemu-sparc32plus; do
  command -v "$tool" >/dev/null ||
    { echo "test-sparc.sh: $tool not found; run scripts/deps.sh sparc" >&2; exit 1; }
done

cmake -S "$root" -B "$build" \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-sparc32.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build" -j"$jobs"

exclude_regex=
for name in "${!excluded[@]}"; do
  echo "not run on SPARC: $name (${excluded[$name]})"
  exclude_regex+="${exclude_regex:+|}^${name}\$"
done

# Each test program also writes a GoogleTest report, for the case count.
reports=$build/gtest-reports
rm -rf "$reports"; mkdir -p "$reports"

status=0
GTEST_OUTPUT="xml:$reports/" \
  ctest --test-dir "$build" --output-on-failure -j"$jobs" \
        ${exclude_regex:+-E "$exclude_regex"} || status=$?

cases=0; failures=0; skipped=0
for report in "$reports"/*.xml; do
  [ -e "$report" ] || continue
  # Totals stand on <testsuites>; skips are counted per <testsuite>.
  total() { grep -o "<$1 [^>]*" "$report" | grep -o " $2=\"[0-9]*\"" |
            grep -o '[0-9]*' | awk '{ n += $1 } END { print n + 0 }'; }
  cases=$((cases + $(total testsuites tests)))
  failures=$((failures + $(total testsuites failures) + $(total testsuites errors)))
  skipped=$((skipped + $(total testsuite skipped) + $(total testsuites disabled)))
done
# Each skipped case with the reason it gave.
for report in "$reports"/*.xml; do
  [ -e "$report" ] || continue
  awk '/<testcase / && /result="skipped"/ {
         match($0, / name="[^"]*"/); name = substr($0, RSTART + 7, RLENGTH - 8)
         match($0, / classname="[^"]*"/); suite = substr($0, RSTART + 12, RLENGTH - 13)
         getline; reason = $0; sub(/.*&#x0A;/, "", reason); sub(/".*/, "", reason)
         print "skipped on SPARC: " suite "." name " (" reason ")" }' "$report"
done
echo "SPARC (32-bit big-endian, qemu): $(ls "$reports" | wc -l) test programs," \
     "$cases GoogleTest cases, $failures failed, $skipped skipped or disabled"
exit "$status"
