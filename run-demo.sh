#!/usr/bin/env bash
# Sets up a fresh machine, builds the library and zkdiscover, and runs
# zkdiscover on the bundled simulated array. Extra arguments go to
# zkdiscover (for instance --json, --export or --explain).
set -euo pipefail
root=$(cd "$(dirname "$0")" && pwd)
cd "$root"
# One line per step on stderr, so that a first run (minutes of installing
# and compiling) is never silent and stdout stays zkdiscover's own.
step() { echo "run-demo: $*" >&2; }
step "checking the Debian packages it needs (installing any that are missing)"
scripts/deps.sh build tools
step "configuring the build in build/native"
cmake -S . -B build/native -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
step "building the library, the device simulator and zkdiscover (a few minutes the first time)"
cmake --build build/native -j"$(nproc)" >/dev/null
step "running build/native/zkdiscover/zkdiscover --simulate $*"
exec build/native/zkdiscover/zkdiscover --simulate "$@"
