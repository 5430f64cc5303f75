#!/bin/sh
# Runs python-can's back-to-back test case (test/back2back_test.py of a
# python-can source tree, e.g. of the version Debian ships) against the
# interface on the two ports of a simulated adapter. Needs a build of the
# project (library and canfd-sim) in BUILD_DIR (default: build).
# Usage: run-back2back.sh BACK2BACK_TEST_PY [BUILD_DIR] [-k PATTERN]...
set -eu
[ $# -ge 1 ] || { echo "usage: $0 BACK2BACK_TEST_PY [BUILD_DIR] [-k PATTERN]..." >&2; exit 2; }
test_file=$(realpath "$1")
shift
build=build
if [ $# -ge 1 ] && [ "$1" != -k ]; then build=$1; shift; fi
build=$(realpath "$build")
src=$(cd "$(dirname "$0")" && pwd)

venv_python=$(sh "$src/venv.sh" /usr/bin/python3 "$src" "$build/bindings/python")
export CANFD_LIBRARY="$build/src/libcanfd.so.1" PYTHONDONTWRITEBYTECODE=1
exec "$build/bin/canfd-sim" --adapters 1 --quiet -- \
  "$venv_python" "$src/back2back.py" "$test_file" "$@"
