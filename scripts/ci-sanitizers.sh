#!/usr/bin/env bash
# Builds the test suites with AddressSanitizer + UndefinedBehaviorSanitizer and
# with ThreadSanitizer, and runs them. Usage: ci-sanitizers.sh [build-dir]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
base=${1:-$root/build}
jobs=$(nproc)
# The library with clang, whose thread-safety analysis checks every guarded
# field against the lock it names (warnings are errors).
dir="$base-clang"
echo "-- the library with clang -Wthread-safety in $dir"
cmake -S "$root" -B "$dir" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCANFD_WERROR=ON -DCANFD_TESTS=OFF -DCANFD_TOOLS=OFF \
  -DCANFD_BENCH=OFF -DCANFD_EXAMPLES=OFF -DCANFD_DOCS=OFF > "$dir.configure.log" 2>&1 ||
  { cat "$dir.configure.log"; exit 1; }
cmake --build "$dir" -j"$jobs" --target canfd
for san in address thread; do
  dir="$base-$san"
  echo "-- $san sanitizer build in $dir"
  cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCANFD_SANITIZE=$san \
    -DCANFD_BENCH=OFF -DCANFD_WERROR=ON > "$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; exit 1; }
  cmake --build "$dir" -j"$jobs"
  (cd "$dir" && ctest --output-on-failure --timeout 300 -j"$jobs")
done
