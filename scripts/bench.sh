#!/usr/bin/env bash
# Builds and runs the benchmarks, then counts instructions under callgrind:
#   zkbench            claim_device + nv_free (trace log absent, present), the
#                      floor (the claim's 8 commands sent bare), do_inquiry,
#                      do_mode_sense_raw, nv_create_list, nv_set_value
#   zkbench_discovery  zkdiscover's scan of 16,384 simulated paths by 1, 8 and
#                      64 threads, 0 and 100 us per command, with the ratio
#                      to the device bound
#   callgrind          instructions per call of each zkbench operation (user
#                      space): the figure to judge a change by on a noisy
#                      machine
# Usage: scripts/bench.sh [--quick] [BUILD_DIR]   (default build/bench;
#        --quick leaves out the discovery, which takes a minute or more)
# Environment: ZK_BENCH_CALLS (calls counted per operation, default 2000).
# Every run has a private /tmp (scripts/private-tmp.sh, as root): the traced
# figures create the trace log /tmp/.ZEVIRO00.log, which must not exist for
# the others, and no other process on the machine shares it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
quick=0
if [ "${1:-}" = "--quick" ]; then quick=1; shift; fi
build=${1:-$root/build/bench}
calls=${ZK_BENCH_CALLS:-2000}

"$root/scripts/deps.sh" build tools
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZK_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target zkbench zkbench_discovery >/dev/null
bench=$build/bench
private=$root/scripts/private-tmp.sh
"$private" true || { echo "bench.sh: no private /tmp for the benchmarks: not run" >&2; exit 1; }

cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
echo "== machine: ${cpu:-unknown CPU}, $(nproc) CPUs, $(uname -sr)"
echo "== timings"
"$private" "$bench/zkbench"
if [ "$quick" -eq 0 ]; then
  "$private" "$bench/zkbench_discovery"
fi

echo "== instructions per call (callgrind, user space, $calls calls each)"
out=$(mktemp -d "$build/callgrind.XXXXXX")  # outside /tmp: the runs have their own
trap 'rm -rf "$out"' EXIT
for op in $("$bench/zkbench" --list); do
  "$private" valgrind --tool=callgrind --collect-atstart=no --toggle-collect=zkbench_measured \
           --callgrind-out-file="$out/$op" "$bench/zkbench" --count "$op" "$calls" \
           >"$out/$op.log" 2>&1 || { cat "$out/$op.log" >&2; exit 1; }
  total=$(sed -n 's/^totals: *\([0-9]*\).*/\1/p' "$out/$op")
  printf '%-20s %8d\n' "$op" $((total / calls))
done
