#!/usr/bin/env bash
# Installs the library into a staging prefix, builds the examples from a copy
# outside the source tree, once through pkg-config and once through the CMake
# package, and runs them against a simulated adapter with the installed
# canfd-sim. Then builds the Debian packages and builds the examples once
# more against the unpacked development and runtime packages.
#
# Usage: ci-install.sh [BUILD [OUT]]: builds in OUT-inst (OUT defaults to
# BUILD, default build/).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
base=${1:-$root/build}
dir="${2:-$base}-inst"
jobs=$(nproc)
stage="$dir/stage"
work="$dir/examples-copies"  # not examples/: the build of the examples lives there
strict="-O2 -Wall -Wextra -Wpedantic -Werror"
start=$SECONDS

# Configured for /usr, as for the packages: the Debian multiarch layout.
mkdir -p "$dir"
cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
  -DCANFD_TESTS=OFF -DCANFD_BENCH=OFF -DCANFD_WERROR=ON > "$dir/configure.log" 2>&1 ||
  { cat "$dir/configure.log"; exit 1; }
cmake --build "$dir" -j"$jobs"
rm -rf "$stage" "$work"
cmake --install "$dir" --prefix "$stage" > "$dir/install.log"
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:[A-Z]*=//p' "$dir/CMakeCache.txt")
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$dir/CMakeCache.txt")

fail() { echo "ci-install: $*"; exit 1; }
for f in include/canfd/canfd.h include/canfd/canfd_comm.h include/canfd/Timer.h \
         include/canfd/canfd.hpp "$libdir/libcanfd.so.$version" "$libdir/pkgconfig/libcanfd.pc" \
         "$libdir/cmake/canfd/canfd-config.cmake" bin/canfd-sim lib/udev/rules.d/60-canfd.rules \
         bin/canfd-socketcan "lib/systemd/system/canfd-socketcan@.service"; do
  [ -f "$stage/$f" ] || fail "not installed: $f"
done
# The unit starts the program where the packages put it.
grep -qx 'ExecStart=/usr/bin/canfd-socketcan --device %i $CANFD_SOCKETCAN_OPTS' \
  "$stage/lib/systemd/system/canfd-socketcan@.service" || fail "the unit does not start /usr/bin/canfd-socketcan"
[ "$(readlink "$stage/$libdir/libcanfd.so.1")" = "libcanfd.so.$version" ] ||
  fail "libcanfd.so.1 does not point to libcanfd.so.$version"
[ "$(readlink "$stage/$libdir/libcanfd.so")" = "libcanfd.so.1" ] ||
  fail "libcanfd.so does not point to libcanfd.so.1"
grep -q 'SONAME.*\[libcanfd\.so\.1\]' <<< "$(readelf -d "$stage/$libdir/libcanfd.so.1")" ||
  fail "SONAME is not libcanfd.so.1"
for product in 0e31 0e32; do
  grep -q "ATTRS{idVendor}==\"3f9a\", ATTRS{idProduct}==\"$product\".*GROUP=\"plugdev\"" \
    "$stage/lib/udev/rules.d/60-canfd.rules" || fail "the udev rule misses product $product"
done

# Runs both examples inside canfd-sim from the prefix; PREFIX LIBDIR BINDIR.
run_examples() {
  local prefix=$1 lib=$2 bin=$3
  for prog in canfd_example_c canfd_example_cpp; do
    # Whole output first: grep -q would quit early, and pipefail would count
    # ldd's broken pipe as a failure.
    local libs
    libs=$(LD_LIBRARY_PATH=$lib ldd "$bin/$prog")
    grep -q "=> $lib/libcanfd.so.1 " <<< "$libs" || fail "$bin/$prog does not load libcanfd from $lib"
  done
  LD_LIBRARY_PATH=$lib "$prefix/bin/canfd-sim" --quiet -- "$bin/canfd_example_c" > "$bin/c.out" ||
    { cat "$bin/c.out"; fail "the C example failed ($bin)"; }
  grep -q '^port 2: .* FD 123 \[12\] A0 A1 A2 A3 A4 A5 A6 A7 A8 A9 AA AB$' "$bin/c.out" ||
    { cat "$bin/c.out"; fail "the C example did not receive its frame ($bin)"; }
  LD_LIBRARY_PATH=$lib "$prefix/bin/canfd-sim" --quiet -- "$bin/canfd_example_cpp" > "$bin/cpp.out" ||
    { cat "$bin/cpp.out"; fail "the C++ example failed ($bin)"; }
  grep -q '^received 3 frame(s)$' "$bin/cpp.out" ||
    { cat "$bin/cpp.out"; fail "the C++ example did not receive its 3 frames ($bin)"; }
}

# Examples, copied out of the source tree.
mkdir -p "$work"
cp -r "$root/examples" "$work/pkgconfig"
PKG_CONFIG_PATH="$stage/$libdir/pkgconfig" make -s -C "$work/pkgconfig" \
  CFLAGS="$strict" CXXFLAGS="$strict"
run_examples "$stage" "$stage/$libdir" "$work/pkgconfig"

cmake -S "$root/examples" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$stage" \
  -DCMAKE_C_FLAGS="$strict" -DCMAKE_CXX_FLAGS="$strict" > "$work/cmake.log" ||
  { cat "$work/cmake.log"; exit 1; }
found=$(sed -n 's/^canfd_DIR:[A-Z]*=//p' "$work/cmake/CMakeCache.txt")
[ "$found" = "$stage/$libdir/cmake/canfd" ] || fail "find_package(canfd) took $found"
cmake --build "$work/cmake" -j"$jobs" > "$work/cmake-build.log" ||
  { cat "$work/cmake-build.log"; exit 1; }
run_examples "$stage" "$stage/$libdir" "$work/cmake"
echo "-- install tree in $stage: examples built with pkg-config and find_package, both ran"

# Debian packages: libcanfd1, libcanfd-dev, canfd-tools.
rm -f "$dir"/*.deb
(cd "$dir" && cpack -G DEB > "$dir/cpack.log" 2>&1) || { cat "$dir/cpack.log"; exit 1; }
debroot="$dir/debroot"
rm -rf "$debroot"
for deb in "$dir"/*.deb; do dpkg-deb -x "$deb" "$debroot"; done
# The reference documentation goes with the development files, the man pages
# with the tools.
dev_files=$(dpkg-deb -c "$dir"/libcanfd-dev_*.deb)
grep -q '/usr/share/doc/libcanfd/html/index.html$' <<< "$dev_files" ||
  fail "libcanfd-dev lacks the HTML reference"
tools_files=$(dpkg-deb -c "$dir"/canfd-tools_*.deb)
for page in "$dir"/docs/man/canfd.1 "$dir"/docs/man/*.[1-8]; do
  name=$(basename "$page")
  grep -q "/usr/share/man/man${name##*.}/$name\$" <<< "$tools_files" ||
    fail "canfd-tools lacks the man page $name"
done
cp -r "$root/examples" "$work/deb"
PKG_CONFIG_PATH="$debroot/usr/$libdir/pkgconfig" make -s -C "$work/deb" \
  CFLAGS="$strict" CXXFLAGS="$strict"
run_examples "$debroot/usr" "$debroot/usr/$libdir" "$work/deb"
echo "-- packages: $(cd "$dir" && ls ./*.deb | tr '\n' ' ')"
echo "-- install check done in $((SECONDS - start)) s"
