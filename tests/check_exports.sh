#!/bin/sh
# Checks the shared library's dynamic symbol table against the list of names
# it must export (no more, no fewer), and that it needs only libc and POSIX
# threads at run time. Usage: check_exports.sh READELF LIBRARY LIST
set -eu
readelf=$1 lib=$2 list=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Defined, globally visible symbols of the library (version nodes excluded).
"$readelf" --dyn-syms -W "$lib" |
  awk '$7 != "UND" && ($5 == "GLOBAL" || $5 == "WEAK") && $4 != "SECTION" && $4 != "FILE" {
         sub(/@.*/, "", $8); print $8 }' | sort -u > "$tmp/actual"
grep -v '^#' "$list" | grep -v '^[[:space:]]*$' | grep -v pending | awk '{print $1}' | sort -u > "$tmp/expected"
grep -v '^#' "$list" | grep pending | awk '{print $1}' | sort -u > "$tmp/pending"

status=0
missing=$(comm -23 "$tmp/expected" "$tmp/actual")
extra=$(comm -13 "$tmp/expected" "$tmp/actual" | comm -23 - "$tmp/pending")
if [ -n "$missing" ]; then echo "not exported: $missing"; status=1; fi
if [ -n "$extra" ]; then echo "exported but not in the list: $extra"; status=1; fi
for name in $(cat "$tmp/pending"); do
  grep -qx "$name" "$tmp/actual" || echo "pending (not built yet): $name"
done

# Run-time dependencies: libc and POSIX threads only.
needed=$("$readelf" -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
for n in $needed; do
  case "$n" in
    libc.so.*|libpthread.so.*) ;;
    *) echo "unexpected run-time dependency: $n"; status=1 ;;
  esac
done
soname=$("$readelf" -d "$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = "libcanfd.so.1" ] || { echo "SONAME is '$soname', not libcanfd.so.1"; status=1; }

[ $status -eq 0 ] && echo "exports: $(wc -l < "$tmp/actual") names as listed; NEEDED: $needed"
exit $status
