#!/bin/sh
# Runs the interface's pytest suite: the package installed into a virtual
# environment in the build tree (venv.sh), and pytest inside a sandbox with
# one simulated adapter. With CANFD_SIM_UHID=1 the adapter is a real hidraw
# device of the kernel instead (canfd-sim --uhid: root and the uhid module).
# Usage: run-tests.sh PYTHON SOURCE_DIR WORK_DIR CANFD_SIM LIBRARY [PYTEST_ARGS...]
set -eu
python=$1 src=$2 work=$3 sim=$4 library=$5
shift 5

venv_python=$(sh "$src/venv.sh" "$python" "$src" "$work")

mode=
[ "${CANFD_SIM_UHID:-}" = 1 ] && mode=--uhid
# CANFD_SIM lets tests start adapters of their own, to stall or unplug them.
export CANFD_LIBRARY="$library" CANFD_SIM="$sim" PYTHONDONTWRITEBYTECODE=1
exec "$sim" $mode --adapters 1 --quiet -- \
  "$venv_python" -m pytest -p no:cacheprovider -rs "$src/tests" "$@"
