#!/usr/bin/env bash
# Builds the benchmarks in Release and runs them against the simulated
# adapter under the hidraw sandbox preload; prints the figures as Markdown
# tables. Arguments go to canfd-bench: [--quick] [--rounds N] [section...]
# with sections receive transmit command idle wakeup transfer.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-bench}

bash "$root/scripts/deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCANFD_BENCH=ON > /dev/null
cmake --build "$build" --target canfd-bench canfd-sandbox -j2 > /dev/null
# The loader expands $PLATFORM: the preload is built per platform.
LD_PRELOAD="$build/preload/\$PLATFORM/libcanfd-sandbox.so" "$build/bin/canfd-bench" "$@"
