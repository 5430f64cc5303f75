#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer, UndefinedBehaviorSanitizer)
# and runs each for a bounded time, starting from the checked-in corpora.
# Usage: scripts/fuzz.sh [seconds-per-target] [host-build-dir]
#   scripts/fuzz.sh 3600      # an hour per target
# New inputs found are kept in <fuzz-build>/corpus-<target>; crashes in <fuzz-build>/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
host=${2:-$root/build}
fuzz=${FUZZ_BUILD_DIR:-$host-fuzz}
jobs=$(nproc)

# The sandbox preload of the host build serves the report fuzzer.
cmake -S "$root" -B "$host" -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build "$host" --target canfd-sandbox -j"$jobs"
flags="-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize-recover=all -fno-omit-frame-pointer"
cmake -S "$root" -B "$fuzz" -DCANFD_FUZZ=ON -DCANFD_TOOLS=OFF -DCANFD_BENCH=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" > /dev/null
cmake --build "$fuzz" --target fuzz_rings fuzz_reports -j"$jobs"

export ASAN_OPTIONS=verify_asan_link_order=0:use_sigaltstack=0:detect_leaks=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for target in fuzz_rings fuzz_reports; do
  corpus="$fuzz/corpus-$target"
  mkdir -p "$corpus"
  seeds="$root/tests/fuzz/corpus/${target#fuzz_}"
  preload=""
  [ "$target" = fuzz_reports ] && preload="$host/preload/\$PLATFORM/libcanfd-sandbox.so"
  echo "-- $target for ${seconds}s"
  (cd "$fuzz" && LD_PRELOAD="$preload" "$fuzz/tests/fuzz/$target" -max_total_time="$seconds" \
     -print_final_stats=1 -max_len=4096 -timeout=30 "$corpus" "$seeds" 2>&1 | tail -n 15)
done
