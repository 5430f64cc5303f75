#!/usr/bin/env bash
# Boots Debian 12's kernel under qemu-system-x86_64 and runs a command in it.
#
#   scripts/vm/run.sh CACHE_DIR [-w DIR]... [--] COMMAND [ARGS...]
#
# CACHE_DIR is what scripts/vm/setup.sh prepared. Inside, the command runs as
# root, from the caller's working directory, in a chroot of the host's root
# file system shared read-only, with fresh /proc, /sys and /dev (devtmpfs, no
# udev), tmpfs on /tmp, /run, /var/tmp and /dev/shm, HOME=/tmp, and each DIR
# given with -w mounted read-write at its own path, in the order given (a
# folder under those tmpfs folders is made there first). The kernel's messages,
# the VM's log lines and the command's output come out on standard output;
# the exit status is the command's (125 when the VM gave none).
#
# Environment: VM_TIMEOUT (seconds, default 900), VM_MEM (MiB, default 1024),
# VM_SMP (default 2). There is no KVM on the machines this runs on: qemu
# emulates the CPU (TCG).
set -euo pipefail
cache=$(cd "${1:?usage: run.sh CACHE_DIR [-w DIR]... [--] COMMAND [ARGS...]}" && pwd)
shift
rw=()
while [ $# -gt 0 ]; do
  case "$1" in
    -w) rw+=("$(cd "$2" && pwd)"); shift 2 ;;
    --) shift; break ;;
    *) break ;;
  esac
done
[ $# -gt 0 ] || { echo "run.sh: no command" >&2; exit 2; }

kver=$(ls "$cache/kroot/lib/modules")
kernel=$cache/vmlinux
[ -f "$kernel" ] || kernel=$cache/kroot/boot/vmlinuz-$kver
initrd=$cache/initramfs.cpio.gz
[ -f "$initrd" ] || { echo "run.sh: $initrd missing: run scripts/vm/setup.sh first" >&2; exit 125; }

mkdir -p "$cache/runs"
ctl=$(mktemp -d "$cache/runs/run.XXXXXX")
trap 'rm -rf "$ctl"' EXIT
{
  printf 'cd %q || exit 125\n' "$PWD"
  printf 'exec'
  printf ' %q' "$@"
  printf '\n'
} > "$ctl/cmd"
shares=()
: > "$ctl/mounts"
for i in "${!rw[@]}"; do
  printf '%s\n' "${rw[$i]}" >> "$ctl/mounts"
  shares+=(-virtfs "local,path=${rw[$i]},mount_tag=rw$i,security_model=none,multidevs=remap,id=rw$i")
done

timeout --kill-after=10 "${VM_TIMEOUT:-900}" qemu-system-x86_64 \
  -accel tcg -cpu max -machine q35 -m "${VM_MEM:-1024}" -smp "${VM_SMP:-2}" \
  -nodefaults -display none -monitor none -serial stdio -no-reboot \
  -kernel "$kernel" -initrd "$initrd" \
  -append "console=ttyS0 quiet loglevel=4 panic=-1 no_timer_check vm.nrw=${#rw[@]}" \
  -virtfs "local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap,id=hostroot" \
  -virtfs "local,path=$ctl,mount_tag=ctl,security_model=none,multidevs=remap,id=ctl" \
  "${shares[@]}" </dev/null || true
rc=125
[ -s "$ctl/rc" ] && rc=$(cat "$ctl/rc")
exit "$rc"
