#!/bin/sh
# Runs the interface's pytest suite: a virtual environment in the build tree
# that sees Debian's python3-can and pytest, the package installed into it
# offline from a copy of the sources, and pytest inside a sandbox with one
# simulated adapter.
# Usage: run-tests.sh PYTHON SOURCE_DIR WORK_DIR CANFD_SIM LIBRARY [PYTEST_ARGS...]
set -eu
python=$1 src=$2 work=$3 sim=$4 library=$5
shift 5

venv=$work/venv
[ -x "$venv/bin/python" ] || "$python" -m venv --system-site-packages "$venv"
# Building from a copy keeps build/ and *.egg-info out of the source tree.
rm -rf "$work/pkg"
mkdir -p "$work/pkg"
cp -R "$src/pyproject.toml" "$src/canfd_can" "$work/pkg/"
"$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation \
  --no-deps --no-index --force-reinstall "$work/pkg"

# CANFD_SIM lets tests start adapters of their own, to stall or unplug them.
export CANFD_LIBRARY="$library" CANFD_SIM="$sim" PYTHONDONTWRITEBYTECODE=1
exec "$sim" --adapters 1 --quiet -- \
  "$venv/bin/python" -m pytest -p no:cacheprovider -rs "$src/tests" "$@"
