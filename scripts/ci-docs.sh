#!/usr/bin/env bash
# Reference documentation: Doxygen builds the HTML reference of the public
# headers with every warning an error (an undocumented name, argument or
# result fails), the man pages are rendered, checked by groff and compared
# with the programs' --help, and both install where the packages take them
# from (HTML with the development files, man pages with the tools).
# Usage: ci-docs.sh [BUILD_DIR]   (reconfigures BUILD_DIR with the docs on)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
stage="$build-docs-stage"
fail() { echo "ci-docs: $*" >&2; exit 1; }

cmake -S "$root" -B "$build" -DCANFD_DOCS=ON -DCANFD_MAN=ON -DCANFD_WERROR=ON \
  > "$build/docs-configure.log" 2>&1 || { cat "$build/docs-configure.log"; exit 1; }
cmake --build "$build" -j"$(nproc)" --target canfd-docs canfd-man canfd-tool canfd-sim canfd-socketcan
(cd "$build" && ctest -R '^man_page' --output-on-failure --timeout 120)

for page in "$build"/docs/man/*.[1-8]; do
  warnings=$(groff -t -man -ww -z "$page" 2>&1) || fail "groff failed on $page"
  [ -z "$warnings" ] || fail "groff warns on $page: $warnings"
done

rm -rf "$stage"
cmake --install "$build" --prefix "$stage" --component dev > /dev/null
[ -f "$stage/share/doc/libcanfd/html/index.html" ] || fail "the dev component lacks the HTML reference"
[ ! -e "$stage/share/man" ] || fail "the dev component carries man pages"
rm -rf "$stage"
cmake --install "$build" --prefix "$stage" --component tools > /dev/null
pages=("$build"/docs/man/*.[1-8])
[ ${#pages[@]} -ge 2 ] || fail "fewer man pages than canfd(1) and canfd-sim(1)"
for page in "${pages[@]}"; do
  name=$(basename "$page")
  [ -f "$stage/share/man/man${name##*.}/$name" ] || fail "the tools component lacks $name"
done
[ ! -e "$stage/share/doc/libcanfd/html" ] || fail "the tools component carries the HTML reference"
echo "ci-docs: HTML reference without warnings, man pages match --help, both installed"
