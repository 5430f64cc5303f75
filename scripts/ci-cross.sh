#!/usr/bin/env bash
# Builds the library and every test suite for 32-bit x86 (i686) and 32-bit
# ARM hard-float (armhf), runs them under qemu-user (the toolchain files make
# qemu the cross-compiling emulator, so plain ctest runs them), checks that
# the native and both cross builds export the same symbols, and builds the
# Debian packages of both targets.
#
# Usage: ci-cross.sh [NATIVE_BUILD [OUT]]
#   NATIVE_BUILD  the native build tree (default build/), for its preload and
#                 its library
#   OUT           the cross trees are OUT-i686 and OUT-armhf (default
#                 NATIVE_BUILD)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
native=${1:-$root/build}
out=${2:-$native}
jobs=$(nproc)
host=$(uname -m)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# getserialnum runs the host's shell even from an emulated program: the test
# runs need the host's build of the preload beside the target's.
cmake --build "$native" -j"$jobs" --target canfd canfd-sandbox > "$tmp/native.log" ||
  { cat "$tmp/native.log"; exit 1; }

# Defined dynamic symbols of a library: name, type and binding.
exports() {
  readelf --dyn-syms -W "$1" |
    awk '$7 != "UND" && ($5 == "GLOBAL" || $5 == "WEAK") && $4 != "SECTION" && $4 != "FILE" {
           print $8, $4, $5 }' | sort
}
exports "$native/src/libcanfd.so" > "$tmp/$host.syms"

# Both targets run to the end, so that one run shows every failure.
declare -A deb_arch=([i686]=i386 [armhf]=armhf)
status=0
for target in i686 armhf; do
  dir="$out-$target"
  start=$SECONDS
  echo "-- $target build in $dir"
  mkdir -p "$dir"
  cmake -S "$root" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$target.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr -DCANFD_WERROR=ON \
    -DCANFD_BENCH=OFF -DCANFD_TOOLS=OFF > "$dir/configure.log" 2>&1 ||
    { cat "$dir/configure.log"; exit 1; }
  cmake --build "$dir" -j"$jobs"
  # With the other names the host's loader may give its platform (links).
  cp -a "$native/preload/." "$dir/preload/"

  # The record layout tests are what pins the wire format on each target.
  layout=$(cd "$dir" && ctest -N -R '^RecordLayout\.' | sed -n 's/^Total Tests: //p')
  if [ "${layout:-0}" -eq 0 ]; then
    echo "-- $target: no RecordLayout tests registered"
    status=1
  fi
  if ! (cd "$dir" && ctest --output-on-failure --timeout 300 -j"$jobs") | tee "$dir/ctest.log"; then
    echo "-- $target: tests failed"
    status=1
  fi
  # Tests skip only where the emulator itself is at fault; name them.
  skipped=$(sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (Skipped)$/\1/p' "$dir/ctest.log" | tr '\n' ' ')
  [ -z "$skipped" ] || echo "-- $target: skipped: $skipped"

  exports "$dir/src/libcanfd.so" > "$tmp/$target.syms"
  if ! diff -u "$tmp/$host.syms" "$tmp/$target.syms"; then
    echo "-- $target: exported symbols differ from $host (- $host, + $target)"
    status=1
  fi

  rm -f "$dir"/*.deb
  (cd "$dir" && cpack -G DEB > "$dir/cpack.log" 2>&1) || { cat "$dir/cpack.log"; exit 1; }
  for deb in "$dir"/*.deb; do
    arch=$(dpkg-deb -f "$deb" Architecture)
    if [ "$arch" != "${deb_arch[$target]}" ]; then
      echo "-- $deb: architecture $arch"
      status=1
    fi
  done
  echo "-- $target: $(wc -l < "$tmp/$target.syms") exported symbols (as on $host)," \
    "$layout layout tests, packages: $(cd "$dir" && ls ./*.deb | tr '\n' ' ')" \
    "($((SECONDS - start)) s)"
done
exit $status
