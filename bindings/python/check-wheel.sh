#!/bin/sh
# Checks that the package builds a wheel offline and that the wheel, alone,
# installs into a fresh virtual environment and works there: the sources are
# removed before the installed package is imported and used, from another
# directory, on a simulated adapter.
# Usage: check-wheel.sh PYTHON SOURCE_DIR CANFD_SIM LIBRARY
set -eu
python=$1 src=$2 sim=$(realpath "$3") library=$(realpath "$4")

tmp=$(mktemp -d /tmp/canfd-wheel-XXXXXX)
trap 'rm -rf "$tmp"' EXIT
mkdir "$tmp/src"
cp -R "$src/pyproject.toml" "$src/README.md" "$src/canfd_can" "$tmp/src/"
"$python" -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps \
  --no-index -w "$tmp/dist" "$tmp/src"
rm -rf "$tmp/src"
set -- "$tmp"/dist/canfd_can-*.whl
[ -f "$1" ] || { echo "check-wheel: no wheel built" >&2; exit 1; }
wheel=$1

"$python" -m venv --system-site-packages "$tmp/venv"
"$tmp/venv/bin/python" -m pip install -q --disable-pip-version-check --no-deps --no-index \
  "$wheel"

mkdir "$tmp/elsewhere"
cd "$tmp/elsewhere"
CANFD_LIBRARY=$library PYTHONDONTWRITEBYTECODE=1 "$sim" --adapters 1 --quiet -- \
  "$tmp/venv/bin/python" - "$tmp/venv" <<'PY'
import importlib.metadata as md
import os
import sys
import warnings

warnings.simplefilter("ignore", DeprecationWarning)
import can
import canfd_can

venv = os.path.realpath(sys.argv[1])
where = os.path.realpath(canfd_can.__file__)
assert where.startswith(venv + os.sep), f"imported from {where}, not from the wheel"
package = os.path.dirname(where)
assert os.path.exists(os.path.join(package, "py.typed")), "py.typed is missing"
files = [str(f) for f in md.files("canfd-can")]
assert not [f for f in files if f.startswith("tests")], files
assert md.metadata("canfd-can")["Name"] == "canfd-can"
entry = [e for e in md.entry_points(group="can.interface") if e.name == "canfd"]
assert entry and entry[0].value == "canfd_can.bus:CanfdBus", entry

channels = [c["channel"] for c in can.detect_available_configs("canfd")]
assert len(channels) == 2, channels
with can.Bus(interface="canfd", channel=channels[0], bitrate=500000, fd=True) as tx, \
        can.Bus(interface="canfd", channel=channels[1], bitrate=500000, fd=True) as rx:
    tx.send(can.Message(arbitration_id=0x123, is_fd=True, bitrate_switch=True, data=range(13)))
    msg = rx.recv(1)
assert msg is not None and msg.arbitration_id == 0x123 and msg.bitrate_switch, msg
assert bytes(msg.data) == bytes(range(13)) + bytes(3), msg
print("check-wheel: the package installed from the wheel alone received a frame "
      "through the simulated adapter")
PY
echo "check-wheel: $(basename "$wheel") ok"
