#!/usr/bin/env bash
# Sets up a fresh machine and runs every test of the project:
#   1. native build (with the valgrind memcheck runs),
#   2. AddressSanitizer + UndefinedBehaviorSanitizer build,
#   3. ThreadSanitizer build (clang) of the programs that start threads,
#   4. 32-bit big-endian SPARC cross build under qemu user emulation,
#   5. the real-kernel integration tests under qemu-system (scsi_debug, TCMU,
#      the failover drill through the kernel's multipath stack over TCMU, and
#      with udev and the multipath daemon in both failover modes),
#   6. the libFuzzer targets, each a fixed number of runs from a fixed seed (clang),
#   7. the Debian packages, installed and watched by Prometheus (fleet).
# Usage: ./run-tests.sh [stage...]   (stages: native asan tsan sparc kernel
# tcmu tcmu-mpath tcmu-multipathd fuzz fleet; default: all). Builds go to build/<stage>.
set -uo pipefail
root=$(cd "$(dirname "$0")" && pwd)
cd "$root"

stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(native asan tsan sparc kernel tcmu tcmu-mpath tcmu-multipathd fuzz fleet)

declare -A groups=([native]="build tools crosscheck" [asan]="build tools crosscheck"
                   [tsan]="build tools clang"
                   [sparc]="build sparc" [kernel]="build tools kernel" [tcmu]="build tools kernel" [tcmu-mpath]="build tools kernel" [tcmu-multipathd]="build tools kernel multipathd"
                   [fuzz]="build clang" [fleet]="build tools fleet")
needed=()
for s in "${stages[@]}"; do
  [ -n "${groups[$s]:-}" ] || { echo "run-tests.sh: unknown stage '$s'" >&2; exit 2; }
  needed+=(${groups[$s]})
done
scripts/deps.sh $(printf '%s\n' "${needed[@]}" | sort -u) || { echo "run-tests.sh: could not install the packages the tests need" >&2; exit 1; }

run_stage() {
  case "$1" in
    native) scripts/test-native.sh build/native ;;
    asan)   ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
              scripts/test-native.sh build/asan -DZK_SANITIZE=ON -DZK_BUILD_TOOLS=ON ;;
    tsan)   scripts/test-tsan.sh build/tsan ;;
    sparc)  scripts/test-sparc.sh build/sparc ;;
    kernel) cmake -S . -B build/native >/dev/null && cmake --build build/native -j"$(nproc)" >/dev/null &&
              integration/scsi_debug/run.sh build/native ;;
    tcmu)   cmake -S . -B build/native >/dev/null && cmake --build build/native -j"$(nproc)" >/dev/null &&
              integration/tcmu/run.sh build/native ;;
    tcmu-mpath) cmake -S . -B build/native >/dev/null && cmake --build build/native -j"$(nproc)" >/dev/null &&
              integration/tcmu-mpath/run.sh build/native ;;
    tcmu-multipathd) cmake -S . -B build/native >/dev/null && cmake --build build/native -j"$(nproc)" >/dev/null &&
              integration/tcmu-multipathd/run.sh build/native ;;
    fuzz)   scripts/test-fuzz.sh build/fuzz ;;
    fleet)  scripts/test-fleet.sh build/fleet ;;
  esac
}

passed=0; failed=0; failed_names=()
for s in "${stages[@]}"; do
  echo "=== stage: $s"
  start=$SECONDS
  if run_stage "$s"; then
    passed=$((passed + 1)); echo "=== stage $s passed in $((SECONDS - start)) s"
  else
    failed=$((failed + 1)); failed_names+=("$s"); echo "=== stage $s FAILED after $((SECONDS - start)) s"
  fi
done
[ $failed -eq 0 ] || echo "failed stages: ${failed_names[*]}"
echo "stages: $passed passed, $failed failed"
[ $failed -eq 0 ]
