#!/usr/bin/env bash
# Builds the library and every test program labelled `threads` (programs
# that start threads, or run a program that does) with clang's
# ThreadSanitizer, and runs them. Any report not in
# scripts/tsan-suppressions.txt stops the program with exit code 66, which
# fails its test.
# Usage: scripts/test-tsan.sh [BUILD_DIR [extra cmake arguments...]]
# Environment: ZK_TSAN_CC, ZK_TSAN_CXX (default clang-14, clang++-14);
# TSAN_OPTIONS is added to the stage's own options.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/gtest-reports.sh"
build=${1:-$root/build/tsan}
[ $# -eq 0 ] || shift
build=$(realpath -m "$build")
cc=${ZK_TSAN_CC:-clang-14}
cxx=${ZK_TSAN_CXX:-clang++-14}

for tool in "$cc" "$cxx"; do
  command -v "$tool" >/dev/null ||
    { echo "test-tsan.sh: $tool not found; run scripts/deps.sh clang" >&2; exit 1; }
done

cmake -S "$root" -B "$build" -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
  -DZK_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null

# Each test program is registered under its target's name.
mapfile -t programs < <(ctest --test-dir "$build" -N -L threads |
                        sed -n 's/^ *Test *#[0-9]*: *//p')
[ ${#programs[@]} -gt 0 ] || { echo "test-tsan.sh: no test labelled threads" >&2; exit 1; }
cmake --build "$build" -j"$(nproc)" --target "${programs[@]}"

reports=$build/gtest-reports
rm -rf "$reports"; mkdir -p "$reports"
status=0
TSAN_OPTIONS="halt_on_error=1:exitcode=66:second_deadlock_stack=1:suppressions=$root/scripts/tsan-suppressions.txt${TSAN_OPTIONS:+:$TSAN_OPTIONS}" \
GTEST_OUTPUT="xml:$reports/" \
  ctest --test-dir "$build" -L threads --output-on-failure -j"$(nproc)" || status=$?

read -r count cases failures skipped < <(zk_gtest_totals "$reports")
zk_gtest_skips "$reports" "under ThreadSanitizer"
echo "ThreadSanitizer: $count test programs, $cases GoogleTest cases," \
     "$failures failed, $skipped skipped or disabled"
exit "$status"
