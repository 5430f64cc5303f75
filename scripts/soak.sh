#!/usr/bin/env bash
# Soak run against the simulated adapter: both ports at full rate in both
# directions with concurrent readers, writers and commands.
# Usage: scripts/soak.sh [seconds (default 300)] [--record LOG]
#   --record LOG  also records the reports the adapter sends (fuzz seeds)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
bash "$root/scripts/deps.sh" demo
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build "$build" --target canfd-soak canfd-sandbox -j"$(nproc)"
LD_PRELOAD="$build/preload/\$PLATFORM/libcanfd-sandbox.so" "$build/bin/canfd-soak" "${1:-300}" "${@:2}"
