#!/usr/bin/env bash
# Cross-builds the library, the simulator and the test programs for 32-bit
# big-endian SPARC Linux and runs every test through qemu user emulation.
# Installs nothing: `scripts/deps.sh sparc` provides the cross tools.
# Usage: scripts/test-sparc.sh [BUILD_DIR [extra cmake arguments...]]
# Environment: ZK_SPARC_JOBS (build and test parallelism, default 2).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/gtest-reports.sh"
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

read -r programs cases failures skipped < <(zk_gtest_totals "$reports")
zk_gtest_skips "$reports" "on SPARC"
echo "SPARC (32-bit big-endian, qemu): $programs test programs," \
     "$cases GoogleTest cases, $failures failed, $skipped skipped or disabled"
exit "$status"
