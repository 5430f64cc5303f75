#!/usr/bin/env bash
# The main job on the simulated adapter: installs what is missing (deps.sh
# demo), builds into build/ (BUILD_DIR overrides), runs a short session with
# the canfd tool inside canfd-sim with one adapter, then drives the library at
# full rate with checks of every frame and prints command, wake-up and idle
# figures. It ends by itself.
# With --record-reports DIR it also records every report the simulated
# adapter sends, in the session and in the full-rate run, into DIR (the seeds
# of the fuzz targets: scripts/fuzz.sh --seeds).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
record=""
if [ "${1:-}" = "--record-reports" ]; then
  record=$(mkdir -p "$2" && cd "$2" && pwd)
  shift 2
fi

if [ -t 1 ]; then
  bold=$'\e[1m' dim=$'\e[2m' off=$'\e[0m'
else
  bold='' dim='' off=''
fi
step() { printf '\n%s== %s%s\n' "$bold" "$*" "$off"; }
say() { printf '%s%s%s\n' "$dim" "$*" "$off"; }
# Shows a command as typed, with the tool's path shortened, then runs it. The
# command line goes to standard error, out of the way of redirected output.
run() {
  printf '%s$ %s%s\n' "$bold" "$(echo "$*" | sed "s|$bin/||g")" "$off" >&2
  "$@"
}

# ---- The session, run inside canfd-sim (see the end of the script) ---------
if [ "${1:-}" = "--session" ]; then
  bin=$2
  canfd=$bin/canfd
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' EXIT
  if [ -n "${3:-}" ]; then
    rm -f "$3/demo-session.log"
    "$bin/canfd-fuzz-record" /dev/hidraw0 "$3/demo-session.log" &
    recorder=$!
    # It has the node once it has made its log.
    while [ ! -e "$3/demo-session.log" ]; do sleep 0.05; done
    trap 'kill -TERM $recorder; wait $recorder; rm -rf "$tmp"' EXIT
  fi

  step "1. List the attached adapters"
  run "$canfd" list
  say "Each port has a stable name for logs: canfd-<board id>-<port>."

  step "2. Show the adapter and its ports"
  run "$canfd" info

  step "3. Configure both ports and switch them on: 1 Mbit/s at 80%, data phase 5 Mbit/s at 75%"
  run "$canfd" config 1 2 --bitrate 1M --sample-point 80% --data-bitrate 5M \
    --data-sample-point 75% --enable
  run "$canfd" info 2

  fd32=$(printf '%02X' $(seq 0 31))
  burst=(123#DEADBEEF 456#R4 18DAF110#1122334455667788 123##1C0FFEE0011223344
         18DB33F1##1"$fd32")

  step "4. Dump port 2 while a burst of classic and CAN FD frames goes out on port 1"
  say "The burst 4 times (-c 4), one frame every 25 ms (-g 25); -t z: time since the first frame."
  run "$canfd" dump 2 -t z --stats -n 20 --send "${burst[@]}" -c 4 -g 25

  step "5. Statistics of a steady stream: 2.5 s of frames every 0.25 ms, frames not shown"
  say "Once a second: frames per second (counted by the tool and by the adapter) and"
  say "the bus load estimated from the frames and the port's bit rates (canfd dump --help);"
  say "a summary at the end. The adapter counts whole seconds of its own clock and reports"
  say "the last one: its first count covers only part of the stream."
  run "$canfd" dump 2 --stats --time 2.5s --send 18DB33F1##1"$fd32" 123#DEADBEEF -c 0 -g 0.25 \
    > /dev/null

  step "6. The burst as a candump -L log, read by can-utils' log2asc"
  say "CAN FD frames keep the flags they were sent with: ##1 is BRS, which log2asc shows"
  say "in the column after the identifier (then ESI). log2asc numbers the interfaces in"
  say "the order given: canfd-1234ABCD-2 is channel 2."
  run "$canfd" dump 2 -L -n 5 --send "${burst[@]}" | tee "$tmp/demo.log"
  run log2asc -I "$tmp/demo.log" canfd-1234ABCD-1 canfd-1234ABCD-2
  exit 0
fi

# ---- Set-up -----------------------------------------------------------------
step "Installing missing Debian packages (scripts/deps.sh demo)"
bash "$root/scripts/deps.sh" demo
say "Everything needed is installed."

step "Building the canfd tool and the simulated adapter into $build"
log=$(mktemp)
if ! { cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCANFD_WERROR=ON &&
       cmake --build "$build" -j"$(nproc)" \
         --target canfd canfd-tool canfd-sim canfd-sandbox canfd-soak canfd-bench \
         ${record:+canfd-fuzz-record}; } \
    > "$log" 2>&1; then
  cat "$log"
  rm -f "$log"
  echo "demo.sh: the build failed" >&2
  exit 1
fi
rm -f "$log"
say "Built the library, $build/bin/canfd, canfd-sim and the soak and bench programs."

step "Starting canfd-sim with one simulated adapter (board id 1234ABCD)"
say "canfd-sim makes a hidraw sandbox with the adapter and runs the session inside it;"
say "the library and the tool are unchanged and see it as /dev/hidraw0."
"$build/bin/canfd-sim" --adapters 1 -- bash "$root/scripts/demo.sh" --session "$build/bin" ${record:+"$record"}

preload="$build/preload/\$PLATFORM/libcanfd-sandbox.so"
step "7. Both ports of a simulated adapter at full bus load for 5 s (every frame checked)"
say "The adapter keeps the pace of a USB adapter on a 1 Mbit/s bus (data phase 5 Mbit/s)."
say "Each frame carries its writer, a sequence number and a checksum; a reader counts it"
say "corrupted when one is wrong or the frame comes out of order. Queue-full retries are"
say "sends that found the library's transmit queue full and were tried again. As a hidraw"
say "node does, the adapter drops the reports that find 64 unread (dropped: transport):"
say "on a busy machine the library can fall that far behind."
LD_PRELOAD="$preload" "$build/bin/canfd-soak" 5 ${record:+--record "$record/demo-soak.log"}
step "8. Command round trip, blocking-receive wake-up and idle CPU"
LD_PRELOAD="$preload" "$build/bin/canfd-bench" --quick command wakeup idle

step "Done. To use the tool with a real adapter:"
cat << EOF
  1. Give your user access to the adapter's hidraw node: the udev rule
     packaging/60-canfd.rules lets the group plugdev read and write it.
       sudo cp $root/packaging/60-canfd.rules /etc/udev/rules.d/
       sudo udevadm control --reload-rules && sudo udevadm trigger
     and, if you are not in plugdev yet: sudo usermod -aG plugdev \$USER (log in again).
  2. Plug the adapter in and run:
       $build/bin/canfd list
       $build/bin/canfd info
  From a program: link with -lcanfd and call CANFD_ListDevice / CANFD_OpenDevice
  (README.md, "Using the library from C"), include canfd.hpp from C++, or use
  python-can with interface="canfd" (bindings/python).
  Without hardware, run any of them inside the simulator instead:
       $build/bin/canfd-sim --adapters 1 -- $build/bin/canfd list
  See '$build/bin/canfd --help' and '$build/bin/canfd <command> --help'.
EOF
