#!/usr/bin/env bash
# Prepares what scripts/vm/run.sh boots, in a cache folder (default: vm/ in
# the build tree): Debian 12's kernel package downloaded from the archive and
# unpacked (never installed), its module index, the uncompressed kernel for a
# PVH boot, and an initramfs of static busybox, the modules the VM loads and
# scripts/vm/init. Each step is skipped when its result is already there.
#
#   scripts/vm/setup.sh CACHE_DIR
#
# Environment: VM_KERNEL_PACKAGE=linux-image-6.1.0-NN-amd64 picks the kernel
# package (default: the one linux-image-amd64 depends on).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cache=${1:?usage: setup.sh CACHE_DIR}
mkdir -p "$cache"
cache=$(cd "$cache" && pwd)

# Modules the VM loads, with what they depend on (found in modules.dep):
# the 9p root and its virtio transport, uhid with the HID core (hidraw is
# part of hid.ko) and the generic HID driver that binds the adapters, a USB
# stack on one machine (dummy_hcd: host and device controllers in one; the
# configfs gadget framework libcomposite with its HID function usb_f_hid; the
# host's HID driver usbhid), and SocketCAN with its virtual interfaces and
# its transport protocols, ISO-TP (can-isotp) and J1939 (can-j1939).
modules=(virtio_pci 9pnet_virtio 9p uhid hid-generic
         dummy_hcd libcomposite usb_f_hid usbhid
         can can-raw can-bcm can-gw can-dev vcan vxcan can-isotp can-j1939)
# Parameters given to insmod. dummy_hcd makes num controller pairs: one
# per simulated USB adapter that exists at once.
declare -A params=([dummy_hcd]="num=8")

kernel_package() {
  awk '/Depends: linux-image-[0-9]/ {print $2; exit}'
}
pkg=${VM_KERNEL_PACKAGE:-$(apt-cache depends linux-image-amd64 2>/dev/null | kernel_package)}
if [ -z "$pkg" ]; then
  # No package lists yet on this machine.
  apt-get update -qq
  pkg=$(apt-cache depends linux-image-amd64 | kernel_package)
fi
[ -n "$pkg" ] || { echo "setup.sh: cannot tell which kernel linux-image-amd64 depends on" >&2; exit 1; }

# The kernel package, unpacked into kroot/ with its module index.
if [ "$(cat "$cache/kernel.stamp" 2>/dev/null)" != "$pkg" ]; then
  echo "vm setup: downloading $pkg from the Debian archive"
  rm -rf "$cache/debs" "$cache/kroot" "$cache/vmlinux" "$cache/initramfs.cpio.gz" "$cache/kernel.stamp"
  mkdir -p "$cache/debs"
  # apt's download user writes there when it can (apt warns otherwise).
  if [ "$(id -u)" = 0 ] && id _apt >/dev/null 2>&1; then chown _apt "$cache/debs"; fi
  (cd "$cache/debs" && apt-get download -q "$pkg" >/dev/null)
  dpkg-deb -x "$cache"/debs/"$pkg"_*.deb "$cache/kroot"
  kver=$(ls "$cache/kroot/lib/modules")
  depmod -b "$cache/kroot" "$kver"

  # vmlinuz is a bzImage around an xz-compressed ELF kernel; the ELF has a
  # PVH entry note, so qemu starts it directly and skips the decompression
  # (several seconds under emulation).
  vmlinuz=$cache/kroot/boot/vmlinuz-$kver
  off=$(LC_ALL=C grep -obUaP '\xfd7zXZ\x00' "$vmlinuz" | head -n1 | cut -d: -f1)
  if [ -n "$off" ]; then
    tail -c +$((off + 1)) "$vmlinuz" | xz -dcq > "$cache/vmlinux" 2>/dev/null || true
  fi
  if [ "$(head -c4 "$cache/vmlinux" 2>/dev/null | od -An -tx1 | tr -d ' ')" != 7f454c46 ]; then
    echo "vm setup: no ELF kernel inside $vmlinuz; booting the bzImage instead" >&2
    rm -f "$cache/vmlinux"
  fi
  rm -rf "$cache/debs"
  echo "$pkg" > "$cache/kernel.stamp"
fi
kver=$(ls "$cache/kroot/lib/modules")
moddir=$cache/kroot/lib/modules/$kver

# The initramfs, rebuilt when the init script or the module list changes.
want="$(sha256sum "$here/init" | cut -c1-16) ${modules[*]} ${params[*]} $(sha256sum /bin/busybox | cut -c1-16)"
if [ ! -f "$cache/initramfs.cpio.gz" ] || [ "$(cat "$cache/initramfs.stamp" 2>/dev/null)" != "$want" ]; then
  root=$cache/initramfs
  rm -rf "$root"
  mkdir -p "$root"/{bin,sbin,proc,sys,dev,host,ctl,tmp,mods}
  cp /bin/busybox "$root/bin/busybox"
  ln -s busybox "$root/bin/sh"

  # Depth first through modules.dep, so that each module follows what it
  # uses; one line per module: its file and its parameters.
  : > "$root/mods/order"
  add() {
    local rel deps d
    rel=$(grep -E "(^|/)$1\.ko(\.xz)?:" "$moddir/modules.dep" | head -n1 | cut -d: -f1)
    [ -n "$rel" ] || { echo "vm setup: module $1 is not in $kver" >&2; exit 1; }
    deps=$(grep -E "^$rel:" "$moddir/modules.dep" | cut -d: -f2)
    for d in $deps; do add "$(basename "${d%.xz}" .ko)"; done
    local name
    name=$(basename "${rel%.xz}")
    if [ ! -f "$root/mods/$name" ]; then
      case "$rel" in
        *.xz) xz -dc "$moddir/$rel" > "$root/mods/$name" ;;
        *) cp "$moddir/$rel" "$root/mods/$name" ;;
      esac
      echo "$name ${params[$1]:-}" >> "$root/mods/order"
    fi
  }
  for m in "${modules[@]}"; do add "$m"; done

  cp "$here/init" "$root/init"
  chmod +x "$root/init"
  (cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) > "$cache/initramfs.cpio.gz"
  echo "vm setup: initramfs for $kver with $(sed 's/\.ko / /; s/ *$//' "$root/mods/order" | tr '\n' ' ')"
  rm -rf "$root"
  echo "$want" > "$cache/initramfs.stamp"
fi
