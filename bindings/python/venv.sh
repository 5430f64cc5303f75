#!/bin/sh
# Makes WORK_DIR/venv, a virtual environment that sees Debian's python3-can
# and pytest, with the package installed into it offline from a copy of the
# sources (so that build/ and *.egg-info stay out of the source tree); the
# copy also tells when the installed package is out of date. Prints the
# environment's python.
# Usage: venv.sh PYTHON SOURCE_DIR WORK_DIR
set -eu
python=$1 src=$2 work=$3

venv=$work/venv
[ -x "$venv/bin/python" ] || "$python" -m venv --system-site-packages "$venv"
if [ ! -f "$work/pkg/installed" ] || ! cmp -s "$src/pyproject.toml" "$work/pkg/pyproject.toml" ||
   ! diff -rq -x __pycache__ "$src/canfd_can" "$work/pkg/canfd_can" >/dev/null 2>&1; then
  rm -rf "$work/pkg"
  mkdir -p "$work/pkg"
  cp -R "$src/pyproject.toml" "$src/README.md" "$src/canfd_can" "$work/pkg/"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation \
    --no-deps --no-index --force-reinstall "$work/pkg" >&2
  touch "$work/pkg/installed"
fi
echo "$venv/bin/python"
