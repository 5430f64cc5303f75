#!/usr/bin/env bash
# Builds a tiny consumer project that adds this source tree with
# add_subdirectory(): it must get the library (canfd::canfd) and nothing
# else by default (no tests, tools, examples or benchmarks), build without
# warnings, and run.
# Usage: ci-subproject.sh [BUILD_DIR]   (works in BUILD_DIR-subproject)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-$root/build}-subproject
rm -rf "$work"
mkdir -p "$work/consumer"
cat > "$work/consumer/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.21)
project(consumer C)
add_subdirectory("$root" libcanfd)
add_executable(consumer main.c)
target_compile_options(consumer PRIVATE -Wall -Wextra -Wpedantic -Werror)
target_link_libraries(consumer PRIVATE canfd::canfd)
CMAKE
cat > "$work/consumer/main.c" <<'C'
#include <canfd.h>
#include <stdio.h>
#include <string.h>

int main(void) {
  const CANFD_ResultCode_St *table = NULL;
  const int n = CANFD_GetResultCodes(&table);
  printf("%d result codes; %s\n", n, CANFD_GetResultText(CANFD_ERR_DEVICE_GONE));
  return n > 0 && strcmp(CANFD_GetResultText(0), "success") == 0 ? 0 : 1;
}
C
cmake -S "$work/consumer" -B "$work/build" > "$work/configure.log" 2>&1 ||
  { cat "$work/configure.log"; exit 1; }
cmake --build "$work/build" -j"$(nproc)" > "$work/build.log" 2>&1 || { cat "$work/build.log"; exit 1; }
"$work/build/consumer"
# Only the library (and nothing of the project's own checks) was configured.
targets=$(cmake --build "$work/build" --target help | sed -n 's/^\.\.\. \([^ ]*\).*/\1/p' | sort)
for unwanted in canfd-tool canfd-sim canfd_sim canfd-bench unit_tests canfd_example_c canfd-docs \
    canfd-man; do
  if grep -qx "$unwanted" <<< "$targets"; then
    echo "ci-subproject: the consumer got target $unwanted" >&2
    exit 1
  fi
done
grep -qx canfd <<< "$targets" || { echo "ci-subproject: no canfd target" >&2; exit 1; }
echo "ci-subproject: a consumer with add_subdirectory() builds the library alone and runs"
