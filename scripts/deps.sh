#!/usr/bin/env bash
# Installs the Debian packages that a purpose needs; only those that are
# missing, so it is safe to run again. Not as root, it installs them with
# sudo (which may ask for a password).
#
#   scripts/deps.sh [PURPOSE...]        (default: ci, everything)
#
#   demo  build the library, canfd-sim and the canfd tool, run scripts/demo.sh
#         (and scripts/soak.sh, scripts/bench.sh)
#   test  demo, and what the whole test suite needs: python-can with pytest
#         and a venv for the python-can interface, valgrind for the leak check
#   vm    test, and the VM stage (scripts/vm-test.sh): qemu-system, busybox,
#         kmod, cpio, xz, iproute2; libc6-i386 and lib32stdc++6 for 32-bit programs in the VM
#   ci    vm, and the other extra checks that CI=true runs: reference docs
#         (Doxygen, scdoc, groff), fuzzing and clang's sanitizer runtime, the
#         i686 and armhf cross builds under qemu-user, pkg-config for the
#         install check
#   dev   test, and clang-format for the repository's .clang-format
#   --list  prints the packages of the purposes given instead
set -euo pipefail

list=false
purposes=()
for arg in "$@"; do
  case "$arg" in
    --list) list=true ;;
    demo | test | vm | ci | dev) purposes+=("$arg") ;;
    *) echo "deps.sh: unknown purpose '$arg' (demo, test, vm, ci, dev)" >&2; exit 2 ;;
  esac
done
[ ${#purposes[@]} -gt 0 ] || purposes=(ci)

pkgs=()
add() {
  case "$1" in
    demo) pkgs+=(cmake g++ make libcli11-dev libfmt-dev libgtest-dev linux-libc-dev can-utils) ;;
    test) add demo
          pkgs+=(python3 python3-venv python3-pip python3-setuptools python3-can python3-pytest
                 valgrind) ;;
    vm)   add test
          pkgs+=(qemu-system-x86 busybox-static kmod cpio xz-utils iproute2 util-linux libc6-i386 lib32stdc++6) ;;
    ci)   add vm
          pkgs+=(doxygen scdoc groff-base clang libclang-rt-14-dev
                 g++-i686-linux-gnu g++-arm-linux-gnueabihf qemu-user pkg-config) ;;
    dev)  add test
          pkgs+=(clang-format) ;;
  esac
}
for p in "${purposes[@]}"; do add "$p"; done
mapfile -t pkgs < <(printf '%s\n' "${pkgs[@]}" | sort -u)
if $list; then
  echo "${pkgs[*]}"
  exit 0
fi

missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

as_root=(env DEBIAN_FRONTEND=noninteractive)
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo > /dev/null; then
    echo "deps.sh: missing packages: ${missing[*]}; run as root to install them" >&2
    exit 1
  fi
  as_root=(sudo "${as_root[@]}")
fi
# apt's and dpkg's lines go to a log, shown when they fail.
echo "deps.sh: installing ${missing[*]} and what they depend on" >&2
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! { "${as_root[@]}" apt-get update -qq &&
       "${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"; } \
    > "$log" 2>&1; then
  cat "$log" >&2
  echo "deps.sh: apt-get failed" >&2
  exit 1
fi
