#!/usr/bin/env bash
# shellcheck disable=SC2317 # the checks are called by name
# The checks of the VM stage. scripts/vm-test.sh runs this inside the VM, as
# root, on Debian 12's kernel with uhid and SocketCAN loaded: the adapters
# are real hidraw devices made by canfd-sim --uhid.
#
#   scripts/vm/stage.sh BUILD_DIR [CHECK...]     (default: every check)
#
# Each check is a function check_<name> listed in `checks`; it prints what
# it sees and returns non-zero on failure. A summary follows; the exit
# status is 1 when a check failed.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:?usage: stage.sh BUILD_DIR [CHECK...]}" && pwd)
shift
bin=$build/bin
work=$(mktemp -d /tmp/vm-stage.XXXXXX)
export CANFD_SIM_UHID=1

checks=(kernel tool python multiprocess unplug permissions roundtrip)
[ $# -gt 0 ] && checks=("$@")

say() { printf '%s\n' "$*"; }
bad() { say "FAIL  $*"; return 1; }
ok() { say "PASS  $*"; }

# ---- canfd-sim --uhid in the background ----------------------------------------

SIM_PID='' NODES=() BIDS=() PIDS=()
# sim_start N [canfd-sim options]: N adapters; waits for their node lines.
sim_start() {
  local n=$1 i
  shift
  : > "$work/sim.out"  # before the start: never the lines of an earlier run
  "$bin/canfd-sim" --uhid --quiet "$@" >> "$work/sim.out" &
  SIM_PID=$!
  for i in $(seq 300); do
    [ "$(wc -l < "$work/sim.out")" -ge "$n" ] && break
    kill -0 "$SIM_PID" 2>/dev/null || break
    sleep 0.1
  done
  NODES=() BIDS=() PIDS=()
  while read -r node bid pid; do
    NODES+=("$node") BIDS+=("$bid") PIDS+=("$pid")
  done < "$work/sim.out"
  [ "${#NODES[@]}" -eq "$n" ] || { bad "canfd-sim --uhid gave ${#NODES[@]} of $n adapters"; sim_stop; return 1; }
}

sim_stop() {
  [ -n "$SIM_PID" ] || return 0
  kill -TERM "$SIM_PID" 2>/dev/null
  wait "$SIM_PID"
  local rc=$?
  SIM_PID=
  [ "$rc" -eq 0 ] || bad "canfd-sim ended with status $rc"
}

# wait_opened PID NODE: until process PID holds NODE open (10 s at most).
wait_opened() {
  local i
  for i in $(seq 100); do
    readlink /proc/"$1"/fd/* 2>/dev/null | grep -qx "$2" && return 0
    sleep 0.1
  done
  return 1
}

# ---- Checks ----------------------------------------------------------------------

# The kernel and canfd-sim --uhid: the modules, /dev/uhid, and the nodes and
# sysfs entries of two adapters as a USB adapter would have them.
check_kernel() {
  local m fail=0 i h
  say "kernel $(uname -r), $(nproc) CPUs"
  for m in uhid hid hid_generic can can_raw can_dev vcan; do
    [ -d "/sys/module/$m" ] || { bad "module $m not loaded"; fail=1; }
  done
  [ -c /dev/uhid ] || { bad "no /dev/uhid"; return 1; }
  sim_start 2 --bid 1234ABCD,00C0FFEE --pid 0E31,0E32 || return 1
  for i in 0 1; do
    h=$(basename "${NODES[$i]}")
    say "${NODES[$i]}: $(stat -c '%A %U:%G' "${NODES[$i]}"), $(tr '\n' ' ' < "/sys/class/hidraw/$h/device/uevent")"
    grep -qx "HID_ID=0003:00003F9A:0000${PIDS[$i]}" "/sys/class/hidraw/$h/device/uevent" &&
      grep -qx "HID_UNIQ=${BIDS[$i]}" "/sys/class/hidraw/$h/device/uevent" ||
      { bad "sysfs entry of ${NODES[$i]}"; fail=1; }
  done
  "$bin/canfd" list | tee "$work/list"
  [ "$(grep -c 'board 1234ABCD\|board 00C0FFEE' "$work/list")" -eq 2 ] || { bad "canfd list"; fail=1; }
  sim_stop || fail=1
  for i in 0 1; do
    [ ! -e "${NODES[$i]}" ] || { bad "${NODES[$i]} left behind by canfd-sim"; fail=1; }
  done
  return "$fail"
}

# The tool's end-to-end tests, on real nodes.
check_tool() {
  (cd "$root/tests/tool" && CANFD_BIN_DIR=$bin /usr/bin/python3 -m unittest test_tool 2>&1)
}

# The python-can interface's tests, on a real node.
check_python() {
  sh "$root/bindings/python/run-tests.sh" /usr/bin/python3 "$root/bindings/python" \
    "$build/bindings/python" "$bin/canfd-sim" "$build/src/libcanfd.so" -q 2>&1
}

# Three processes ask for the adapter's settings at once, three times: each
# gets the answers to its own commands. Then two processes dump port 2 while
# a third sends on port 1: both see every frame.
check_multiprocess() {
  local frames=() i fail=0 d1 d2 r
  for i in $(seq 0 29); do frames+=("$(printf '1%02X#%02X112233' "$i" "$i")"); done
  # The receive calls do not tell BRS: CAN FD frames come back with flags 0.
  for i in $(seq 0 9); do frames+=("$(printf '18DAF1%02X##0%02X%s' "$i" "$i" "$(printf '%.0sA5' $(seq 15))")"); done
  frames+=("7FF#R3" "00000001##0")
  sim_start 1 || return 1
  "$bin/canfd" info > "$work/info.ref" || { bad "canfd info"; fail=1; }
  for r in 1 2 3; do
    for i in 1 2 3; do "$bin/canfd" info > "$work/info.$i" 2>&1 & done
    for i in 1 2 3; do
      wait -n || { bad "round $r: a concurrent canfd info failed"; fail=1; }
    done
    for i in 1 2 3; do
      cmp -s "$work/info.ref" "$work/info.$i" ||
        { diff "$work/info.ref" "$work/info.$i"; bad "round $r: concurrent canfd info $i differs"; fail=1; }
    done
  done
  [ "$fail" -eq 0 ] && ok "3 x 3 concurrent canfd info: all succeed with the same output"

  "$bin/canfd" dump 2 -L -n "${#frames[@]}" --time 60 > "$work/dump1" 2>&1 &
  d1=$!
  "$bin/canfd" dump 2 -L -n "${#frames[@]}" --time 60 > "$work/dump2" 2>&1 &
  d2=$!
  wait_opened "$d1" "${NODES[0]}" && wait_opened "$d2" "${NODES[0]}" ||
    { bad "the dumps did not open ${NODES[0]}"; fail=1; }
  sleep 1
  # 2 ms apart: uhid drops what canfd-sim has not read while 32 reports wait.
  "$bin/canfd" send 1 -g 2 "${frames[@]}" 2>/dev/null || { bad "canfd send"; fail=1; }
  wait "$d1" || { bad "first dump ended with $?"; fail=1; }
  wait "$d2" || { bad "second dump ended with $?"; fail=1; }
  printf "canfd-${BIDS[0]}-2 %s\n" "${frames[@]}" > "$work/expected"
  for r in dump1 dump2; do
    awk '{print $2, $3}' "$work/$r" | diff -u "$work/expected" - > "$work/$r.diff" &&
      ok "$r: ${#frames[@]} frames, in order, as sent" ||
      { cat "$work/$r.diff"; bad "$r differs from what was sent"; fail=1; }
  done

  sim_stop || fail=1
  return "$fail"
}

# Unplug while one process streams and another waits; re-plug.
check_unplug() {
  "$bin/canfd-vm-unplug" "$bin/canfd-sim" | tee "$work/unplug.log"
  return "${PIPESTATUS[0]}"
}

# rule_for HIDRAW: the line of the udev rule that matches the node, by the
# two keys the rule uses: KERNELS (the HID device's name, here and in every
# parent) or ATTRS{idVendor}/ATTRS{idProduct} of a USB parent.
rule_for() {
  local dev line pattern vendor product d
  dev=$(readlink -f "/sys/class/hidraw/$1/device")
  while read -r line; do
    case "$line" in '#'* | '') continue ;; esac
    pattern=$(sed -n 's/.*KERNELS=="\([^"]*\)".*/\1/p' <<< "$line")
    vendor=$(sed -n 's/.*ATTRS{idVendor}=="\([^"]*\)".*/\1/p' <<< "$line")
    product=$(sed -n 's/.*ATTRS{idProduct}=="\([^"]*\)".*/\1/p' <<< "$line")
    for d in "$dev" "$(dirname "$dev")" "$(dirname "$(dirname "$dev")")"; do
      # shellcheck disable=SC2053 # the rule's pattern is a glob
      if [ -n "$pattern" ] && [[ $(basename "$d") == $pattern ]]; then echo "$line"; return 0; fi
      if [ -n "$product" ] && [ "$(cat "$d/idVendor" 2>/dev/null)" = "$vendor" ] &&
         [ "$(cat "$d/idProduct" 2>/dev/null)" = "$product" ]; then echo "$line"; return 0; fi
    done
  done < "$root/packaging/60-canfd.rules"
  return 1
}

# The node is root's alone (no udev here): an unprivileged user is refused
# with a clear message. The udev rule's group and mode, applied by hand as
# udev would, let a member of that group in; others stay out.
check_permissions() {
  local fail=0 node h rule group mode gid out rc
  sim_start 1 || return 1
  node=${NODES[0]} h=$(basename "${NODES[0]}")
  say "$node: $(stat -c '%a %U:%G' "$node")"
  out=$(setpriv --reuid=65534 --regid=65534 --clear-groups "$bin/canfd" info 2>&1)
  rc=$?
  say "canfd info as nobody: exit $rc: $out"
  [ "$rc" -eq 1 ] && grep -q "no permission to read and write $node; the udev rule" <<< "$out" &&
    ok "an unprivileged user is refused and told why" ||
    { bad "an unprivileged open was not refused clearly"; fail=1; }

  rule=$(rule_for "$h") || { bad "no line of packaging/60-canfd.rules matches $node"; sim_stop; return 1; }
  group=$(sed -n 's/.*GROUP="\([^"]*\)".*/\1/p' <<< "$rule")
  mode=$(sed -n 's/.*MODE="\([0-7]*\)".*/\1/p' <<< "$rule")
  gid=$(getent group "$group" | cut -d: -f3)
  say "the rule's line for $(basename "$(readlink -f "/sys/class/hidraw/$h/device")"): $rule"
  [ -n "$mode" ] && [ -n "$gid" ] || { bad "no mode, or no group '$group' on this system"; sim_stop; return 1; }
  chgrp "$group" "$node" && chmod "$mode" "$node"
  say "$node with GROUP=\"$group\" MODE=\"$mode\": $(stat -c '%a %U:%G' "$node")"
  out=$(setpriv --reuid=65534 --regid=65534 --groups="$gid" "$bin/canfd" info 2>&1)
  rc=$?
  [ "$rc" -eq 0 ] && ok "nobody in group $group ($gid) opens the adapter" ||
    { say "$out"; bad "nobody in group $group: exit $rc"; fail=1; }
  out=$(setpriv --reuid=65534 --regid=65534 --clear-groups "$bin/canfd" info 2>&1)
  [ $? -eq 1 ] && ok "nobody outside the group is still refused" ||
    { bad "nobody outside the group got in"; fail=1; }
  sim_stop || fail=1
  return "$fail"
}

# The command round trip on the real node, raw and through the library.
check_roundtrip() {
  local rc
  sim_start 1 || return 1
  "$bin/canfd-vm-roundtrip" "${NODES[0]}" "${PIDS[0]}" "${BIDS[0]}" 2000 500 > "$work/figures"
  rc=$?
  echo "(canfd-sim's timing model on: one USB report each way per 125 us; under emulation)" >> "$work/figures"
  cat "$work/figures"
  sim_stop || rc=1
  return "$rc"
}

# ---- Run and summarise -------------------------------------------------------------

results=()
failed=0
for c in "${checks[@]}"; do
  say ""
  say "==== $c"
  t0=$(date +%s.%N)
  "check_$c"
  rc=$?
  t=$(awk -v a="$t0" -v b="$(date +%s.%N)" 'BEGIN {printf "%.1f", b - a}')
  if [ "$rc" -eq 0 ]; then results+=("PASS  $c (${t} s)"); else results+=("FAIL  $c (${t} s)"); failed=1; fi
  sim_stop >/dev/null 2>&1
done

say ""
say "==== VM stage summary ($(uname -r), $(nproc) CPUs, emulated)"
printf '%s\n' "${results[@]}"
# uhid drops output reports that canfd-sim has not read while 32 wait.
dropped=$(dmesg 2>/dev/null | grep -c 'Output queue is full')
[ "$dropped" -eq 0 ] || say "kernel: uhid dropped output reports $dropped times ('Output queue is full')"
if [ -s "$work/figures" ]; then say ""; cat "$work/figures"; fi
grep -h '^WAIT' "$work"/*.log 2>/dev/null && say "(WAIT: measured, not judged: the library lacks that result code)"
rm -rf "$work"
exit $failed
