#!/usr/bin/env bash
# The main job on the simulated adapter: installs what is missing, builds, and
# drives a simulated two-port adapter through the library: frames at full rate
# in both directions with checks of every frame, then command and wake-up
# figures. It ends by itself.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
bash "$root/scripts/deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build "$build" -j"$(nproc)" --target canfd canfd-sandbox canfd-sim canfd-soak canfd-bench
preload="$build/preload/\$PLATFORM/libcanfd-sandbox.so"

echo
echo "== 1. Both ports of a simulated adapter at full rate for 5 s (every frame checked)"
LD_PRELOAD="$preload" "$build/bin/canfd-soak" 5
echo
echo "== 2. Command round trip, blocking-receive wake-up and idle CPU"
LD_PRELOAD="$preload" "$build/bin/canfd-bench" --quick command wakeup idle
echo
cat <<'TXT'
== Done. With a real adapter plugged in:
   - give your user access to /dev/hidraw* of vendor 3f9a (a udev rule such as
     SUBSYSTEM=="hidraw", ATTRS{idVendor}=="3f9a", MODE="0660", GROUP="plugdev"),
   - link your program with -lcanfd and call CANFD_ListDevice / CANFD_OpenDevice
     (see README.md, "Using the library from C"), or use python-can with
     interface="canfd" (bindings/python).
   To run any program against the simulated adapter instead:
     build/bin/canfd-sim --adapters 1 -- ./your-program
TXT
