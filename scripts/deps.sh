#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests and the demo need.
# Safe to run again: only packages that are missing are installed.
set -euo pipefail

pkgs=(cmake g++ make pkg-config googletest libgtest-dev libbenchmark-dev
      clang libclang-rt-14-dev valgrind clang-format
      libcli11-dev libfmt-dev can-utils linux-libc-dev doxygen scdoc groff-base
      python3 python3-venv python3-pip python3-can python3-pytest python3-setuptools
      g++-i686-linux-gnu g++-arm-linux-gnueabihf qemu-user
      qemu-system-x86 busybox-static kmod cpio xz-utils iproute2 util-linux)

missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "deps.sh: missing packages: ${missing[*]}; run as root to install them" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
