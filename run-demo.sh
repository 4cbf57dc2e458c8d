#!/usr/bin/env bash
# Sets up a fresh machine, builds the library and zkdiscover, and runs
# zkdiscover on the bundled simulated array. Extra arguments go to
# zkdiscover (for instance --json, --export or --explain).
set -euo pipefail
root=$(cd "$(dirname "$0")" && pwd)
cd "$root"
scripts/deps.sh build tools
cmake -S . -B build/native -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/native -j"$(nproc)" >/dev/null
exec build/native/zkdiscover/zkdiscover --simulate "$@"
