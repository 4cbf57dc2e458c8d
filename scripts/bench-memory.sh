#!/usr/bin/env bash
# Peak memory of zkdiscover on the largest hosts: 65,536 simulated paths
# (array X luns=16384 paths_per_sp=2, no latency), one run per output, each
# measured with GNU time. zkdiscover's share is the peak less the peak of
# the same run on one device (the simulator's description and the program).
# Usage: scripts/bench-memory.sh [--check] [BUILD_DIR]   (default build/native)
#   --check  exit 1 when a share exceeds 1 KiB per path
# Run it with a private /tmp (scripts/private-tmp.sh): the library traces
# whenever the machine's trace log exists.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
check=0
if [ "${1:-}" = --check ]; then check=1; shift; fi
build=${1:-$root/build/native}
program=$build/zkdiscover/zkdiscover
[ -x "$program" ] || { echo "bench-memory: no $program; build first" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "bench-memory: needs GNU time (Debian package time)" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
echo "array X luns=16384 paths_per_sp=2" > largest.sim
paths=65536

# peak ARGS...: prints the peak RSS in KiB of one run of zkdiscover ARGS, output
# dropped.
peak() {
  /usr/bin/time -f %M -o rss "$program" "$@" > /dev/null 2> err || {
    local code=$?
    # 8: the one device named is not a unit (the baseline); 10 and 11: a
    # comparison found changes.
    case $code in 8|10|11) ;; *) echo "bench-memory: zkdiscover $* exited $code" >&2; cat err >&2; exit 1 ;; esac
  }
  tail -n 1 rss
}

base=$(peak /dev/sim/X/path0 --simulate=largest.sim)
"$program" --simulate=largest.sim --json > old.json
failed=0
printf '%-40s %12s %12s %10s\n' output "peak KiB" "share KiB" "B/path"
# measure LABEL ARGS...; with CHECKED=0 the row is shown, not checked.
measure() {
  local label=$1; shift
  local kib share per
  kib=$(peak "$@")
  share=$((kib - base))
  per=$((share * 1024 / paths))
  printf '%-40s %12d %12d %10d\n' "$label" "$kib" "$share" "$per"
  if [ "$check" = 1 ] && [ "${CHECKED:-1}" = 1 ] && [ "$per" -gt 1024 ]; then
    echo "bench-memory: $label holds $per bytes per path (at most 1024)" >&2
    failed=1
  fi
}
printf '%-40s %12d\n' "one device (baseline)" "$base"
measure tree --simulate=largest.sim
measure --json --simulate=largest.sim --json
measure --export --simulate=largest.sim --export
measure "--metrics -" --simulate=largest.sim --metrics -
measure "tree and --metrics FILE" --simulate=largest.sim --metrics "$work/m.prom"
measure "--compare" --simulate=largest.sim --compare old.json
measure "--compare --json --save FILE" --simulate=largest.sim --compare old.json --json \
  --save "$work/saved.json"
# The extreme: OLD is another array of as many paths, so every device of
# both scans (131,072) is listed as gone or new. Shown, not checked.
echo "array Y luns=16384 paths_per_sp=2" > other.sim
"$program" --simulate=other.sim --json > other.json
CHECKED=0 measure "--compare, every device changed" --simulate=largest.sim --compare other.json
CHECKED=0 measure "--compare --json, every device changed" --simulate=largest.sim \
  --compare other.json --json
exit "$failed"
