#!/usr/bin/env bash
# The VM stage: boots Debian 12's kernel (from the Debian archive, unpacked,
# not installed) under qemu-system-x86_64 with software emulation, shares
# this machine's root file system read-only and the build tree read-write,
# and runs scripts/vm/stage.sh inside: the tool's and the python-can
# interface's tests, discovery, several processes on one adapter, unplug and
# re-plug, permissions, a stalled adapter, the command round trip and the
# i686 build's programs, on real hidraw nodes of USB adapters made by
# canfd-sim --usb (and some on canfd-sim --uhid); then the SocketCAN bridge
# with can-utils (ISO-TP and J1939 included) and python-can.
#
#   bash scripts/vm-test.sh [BUILD_DIR]      (default: build)
#
# Environment: VM_CACHE (kernel, modules and initramfs; default
# BUILD_DIR/vm), VM_CHECKS (names of the checks to run, NAME@uhid for the
# uhid transport; default all), VM_I686_BUILD (an i686 build tree as
# scripts/ci-cross.sh makes it; default BUILD_DIR-i686 when it exists,
# without one the check i686 is skipped), CANFD_PYCAN_BACK2BACK
# (test/back2back_test.py of python-can 4.1, which is not part of this
# project: without it the check socketcan_python is skipped),
# VM_CANFDTEST_FRAMES (frames of the canfdtest check, default 10000),
# VM_BRIDGE_FRAMES (frames of each throughput run, default 20000),
# VM_ISOTP_TRANSFERS (ISO-TP payloads each way of the check isotp, in
# classic and in CAN FD frames, default 20), VM_CHECK_LIMIT (seconds after
# which a check that has not ended fails, default 600).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-${BUILD_DIR:-$root/build}}
start=$(date +%s)

bash "$root/scripts/deps.sh" vm
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCANFD_WERROR=ON
fi
# What the stage runs.
cmake --build "$build" -j2 --target canfd canfd-tool canfd-sim canfd-sandbox canfd-socketcan \
  canfd-vm-unplug canfd-vm-roundtrip canfd-vm-stall canfd-vm-discovery canfd-vm-bridge > /dev/null
build=$(cd "$build" && pwd)
cache=${VM_CACHE:-$build/vm}

# The i686 programs that the check i686 runs natively in the VM.
i686=${VM_I686_BUILD:-$build-i686}
if [ -f "$i686/CMakeCache.txt" ]; then
  cmake --build "$i686" -j2 --target canfd canfd-vm-unplug canfd-vm-roundtrip canfd-vm-discovery \
    canfd_example_c > /dev/null
  i686=$(cd "$i686" && pwd)
else
  i686=
fi

# The python-can tests' virtual environment and package are prepared here
# (pytest only collects): pip under emulation takes minutes.
sh "$root/bindings/python/run-tests.sh" /usr/bin/python3 "$root/bindings/python" \
  "$build/bindings/python" "$build/bin/canfd-sim" "$build/src/libcanfd.so" \
  --collect-only -q > /dev/null

bash "$root/scripts/vm/setup.sh" "$cache"
# The stage takes about 12 minutes; a loaded machine may take longer.
export VM_TIMEOUT=${VM_TIMEOUT:-1800}

# The VM starts its command with an empty environment: what the stage takes
# from it is passed on here. /tmp and /run are the VM's own; the python-can
# test module goes into the build tree, which the VM shares.
pass=()
for v in VM_CANFDTEST_FRAMES VM_BRIDGE_FRAMES VM_ISOTP_TRANSFERS VM_CHECK_LIMIT; do
  [ -z "${!v:-}" ] || pass+=("$v=${!v}")
done
[ -z "$i686" ] || pass+=("VM_I686_BUILD=$i686")
if [ -n "${CANFD_PYCAN_BACK2BACK:-}" ]; then
  [ -f "$CANFD_PYCAN_BACK2BACK" ] ||
    { echo "vm-test.sh: CANFD_PYCAN_BACK2BACK: no file $CANFD_PYCAN_BACK2BACK" >&2; exit 2; }
  rm -rf "$build/vm-pythoncan"
  mkdir -p "$build/vm-pythoncan"
  cp "$CANFD_PYCAN_BACK2BACK" "$build/vm-pythoncan/back2back_test.py"
  pass+=("CANFD_PYCAN_BACK2BACK=$build/vm-pythoncan/back2back_test.py")
fi
# The VM has its own /tmp, /run, /var/tmp and /dev/shm: a source tree there
# is shared with it too (the build tree always is).
shares=()
case "$root/" in
  /tmp/* | /run/* | /var/tmp/* | /dev/shm/*) shares+=(-w "$root") ;;
esac
shares+=(-w "$build")
rc=0
# shellcheck disable=SC2086 # VM_CHECKS is a list of words
bash "$root/scripts/vm/run.sh" "$cache" "${shares[@]}" -- \
  env "${pass[@]}" bash "$root/scripts/vm/stage.sh" "$build" ${VM_CHECKS:-} || rc=$?
echo "vm stage: exit status $rc after $(($(date +%s) - start)) s"
exit "$rc"
