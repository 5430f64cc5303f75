#!/bin/sh
# Runs the interface's pytest suite: a virtual environment in the build tree
# that sees Debian's python3-can and pytest, the package installed into it
# offline from a copy of the sources, and pytest inside a sandbox with one
# simulated adapter. With CANFD_SIM_UHID=1 the adapter is a real hidraw
# device of the kernel instead (canfd-sim --uhid: root and the uhid module).
# Usage: run-tests.sh PYTHON SOURCE_DIR WORK_DIR CANFD_SIM LIBRARY [PYTEST_ARGS...]
set -eu
python=$1 src=$2 work=$3 sim=$4 library=$5
shift 5

venv=$work/venv
[ -x "$venv/bin/python" ] || "$python" -m venv --system-site-packages "$venv"
# Building from a copy keeps build/ and *.egg-info out of the source tree.
# The copy also tells whether the installed package is up to date.
if [ ! -f "$work/pkg/installed" ] || ! cmp -s "$src/pyproject.toml" "$work/pkg/pyproject.toml" ||
   ! diff -rq -x __pycache__ "$src/canfd_can" "$work/pkg/canfd_can" >/dev/null 2>&1; then
  rm -rf "$work/pkg"
  mkdir -p "$work/pkg"
  cp -R "$src/pyproject.toml" "$src/canfd_can" "$work/pkg/"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation \
    --no-deps --no-index --force-reinstall "$work/pkg"
  touch "$work/pkg/installed"
fi

mode=
[ "${CANFD_SIM_UHID:-}" = 1 ] && mode=--uhid
export CANFD_LIBRARY="$library" PYTHONDONTWRITEBYTECODE=1
exec "$sim" $mode --adapters 1 --quiet -- \
  "$venv/bin/python" -m pytest -p no:cacheprovider -rs "$src/tests" "$@"
