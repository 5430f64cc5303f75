#!/usr/bin/env bash
# Installs what is missing (scripts/deps.sh test), builds everything and runs
# every test suite.
# With CI=true it also runs the extra checks in scripts/ci-*.sh (reference
# documentation, sanitizers, 32-bit targets, install tree, the tree as a
# subproject, fuzzing, the VM stage).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
jobs=$(nproc)

# The build and its tests; with CI=true also what the extra checks need.
if [ "${CI:-}" = "true" ]; then
  bash "$root/scripts/deps.sh" ci
else
  bash "$root/scripts/deps.sh" test
fi
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCANFD_WERROR=ON
cmake --build "$build" -j"$jobs"
(cd "$build" && ctest --output-on-failure --timeout 300 -j"$jobs")

if [ "${CI:-}" = "true" ]; then
  for check in docs sanitizers cross install subproject fuzz vm; do
    echo "== $check"
    bash "$root/scripts/ci-$check.sh" "$build"
  done
fi
