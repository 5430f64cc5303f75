#!/bin/sh
# Runs python-can's back-to-back test case (test/back2back_test.py of a
# python-can source tree, e.g. of the version Debian ships) against the
# interface on a simulated adapter: both buses on port 1, as python-can
# writes the case, then bus 1 on port 1 and bus 2 on port 2 (or only the
# layout --ports gives). Needs a build of the project (library and
# canfd-sim) in BUILD_DIR (default: build).
# Usage: run-back2back.sh BACK2BACK_TEST_PY [BUILD_DIR] [--ports 1,1|1,2] [-k PATTERN]...
set -eu
[ $# -ge 1 ] || {
  echo "usage: $0 BACK2BACK_TEST_PY [BUILD_DIR] [--ports 1,1|1,2] [-k PATTERN]..." >&2
  exit 2
}
test_file=$(realpath "$1")
shift
build=build
if [ $# -ge 1 ] && [ "$1" != -k ] && [ "$1" != --ports ]; then build=$1; shift; fi
build=$(realpath "$build")
src=$(cd "$(dirname "$0")" && pwd)

venv_python=$(sh "$src/venv.sh" /usr/bin/python3 "$src" "$build/bindings/python")
export CANFD_LIBRARY="$build/src/libcanfd.so.1" PYTHONDONTWRITEBYTECODE=1
run() {
  "$build/bin/canfd-sim" --adapters 1 --quiet -- \
    "$venv_python" "$src/back2back.py" "$test_file" "$@"
}
case " $* " in
  *" --ports "*) run "$@" ;;
  *) status=0
     run --ports 1,1 "$@" || status=1
     run --ports 1,2 "$@" || status=1
     exit $status ;;
esac
