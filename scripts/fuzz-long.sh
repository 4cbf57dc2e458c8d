#!/usr/bin/env bash
# Deeper fuzzing, not run in CI: every target for an hour (or SECONDS), as
# many at once as there are cores, in build/fuzz-long. The corpus each run
# grows stays in build/fuzz-long/run/TARGET/corpus and seeds the next run;
# inputs worth keeping go into fuzz/corpus/TARGET (minimise them first with
# the target's -merge=1).
# Usage: scripts/fuzz-long.sh [SECONDS [TARGET...]]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root"/scripts/deps.sh build clang
FUZZ_TIME=${1:-3600} FUZZ_PARALLEL=${FUZZ_PARALLEL:-$(nproc)} exec "$root"/scripts/test-fuzz.sh \
  "$root"/build/fuzz-long 0 "${@:2}"
