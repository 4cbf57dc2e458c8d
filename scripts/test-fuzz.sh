#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang and runs each one. Fails
# on any crash, sanitizer report, leak, timeout or oracle failure, and
# prints the failing input; ends with one line per target (executions,
# coverage, corpus).
# By default a run is reproducible (CI): RUNS executions per target from a
# fixed seed, on the committed seeds alone. With FUZZ_TIME=SECONDS each
# target explores for that time instead, on the committed seeds plus the
# corpus grown by earlier runs in BUILD_DIR (scripts/fuzz-long.sh).
# fuzz_claim switches the trace log on: it runs with a private /tmp
# (scripts/private-tmp.sh), and is skipped, saying so, where none can be made.
# Usage: scripts/test-fuzz.sh BUILD_DIR [RUNS [TARGET...]]
#   RUNS     executions per target (default 100000)
#   TARGET   claim scsi printers nv text (default: all)
#   FUZZ_PARALLEL=N  targets run at once (default: all of them)
#   FUZZ_SEED=N      the seed of a reproducible run (default 1)
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$1
runs=${2:-100000}
shift $(( $# > 1 ? 2 : 1 ))
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(claim scsi printers nv text)
parallel=${FUZZ_PARALLEL:-${#targets[@]}}

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DZK_BUILD_FUZZ=ON -DZK_BUILD_TESTS=OFF -DZK_BUILD_TOOLS=OFF >/dev/null || exit 1
cmake --build "$build" -j"$(nproc)" --target fuzz_targets >/dev/null || exit 1

if [ -n "${FUZZ_TIME:-}" ]; then
  limit=(-max_total_time="$FUZZ_TIME")
else
  limit=(-runs="$runs" -seed="${FUZZ_SEED:-1}")
fi

run_target() {
  local name=$1 work="$build/run/$1" private=()
  rm -rf "$work/artifacts"
  [ -n "${FUZZ_TIME:-}" ] || rm -rf "$work/corpus"
  mkdir -p "$work/corpus" "$work/artifacts"
  [ "$name" != claim ] || private=("$root/scripts/private-tmp.sh")
  # The fuzzer writes new inputs to the first folder only: the seeds stay
  # as committed.
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    "${private[@]}" "$build/fuzz/fuzz_$name" "${limit[@]}" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$work/artifacts/" \
      "$work/corpus" "$root/fuzz/corpus/$name" >"$work/log" 2>&1
}

failed=0
summary=()
for ((i = 0; i < ${#targets[@]}; i += parallel)); do
  batch=("${targets[@]:i:parallel}")
  pids=()
  for name in "${batch[@]}"; do run_target "$name" & pids+=($!); done
  for j in "${!batch[@]}"; do
    name=${batch[$j]}
    log="$build/run/$name/log"
    wait "${pids[$j]}"; code=$?
    if [ $code -eq 0 ]; then status=ok
    elif [ $code -eq 77 ]; then status="skipped (no private /tmp: needs root)"
    else status=FAILED; failed=1; fi
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    cov=$(grep -o 'cov: [0-9]* ft: [0-9]* corp: [0-9]*' "$log" | tail -1)
    summary+=("fuzz_$name: $status, ${execs:-?} executions, ${cov:-no coverage line}")
    if [ "$status" = FAILED ]; then
      echo "=== fuzz_$name failed; its log ends:"
      grep -v -e '^#[0-9]' -e '^INFO:' "$log" | tail -40
      for input in "$build/run/$name"/artifacts/*; do
        [ -f "$input" ] || continue
        echo "=== failing input $input (replay: $build/fuzz/fuzz_$name $input):"
        od -An -tx1 -v "$input"
      done
    fi
  done
done
printf '%s\n' "${summary[@]}"
exit $failed
