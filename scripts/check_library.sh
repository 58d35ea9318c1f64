#!/usr/bin/env bash
# Checks a built libapi_arch: it needs only the C library and libcrypt, and it
# exports exactly the names of the version script, which are exactly the
# functions and data that the public header declares.
#   check_library.sh LIBRARY VERSION_SCRIPT PUBLIC_HEADER
set -euo pipefail
lib=$1 map=$2 header=$3
status=0
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

needed=$(readelf -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort | tr '\n' ' ')
echo "NEEDED: $needed"
for n in $needed; do
  case $n in
    libc.so|libc.so.*|libcrypt.so.*) ;;  # musl's C library is libc.so
    libasan.so.*|libubsan.so.*) [ "${API_ARCH_SANITIZE:-OFF}" = ON ] || { echo "unexpected NEEDED entry: $n"; status=1; } ;;
    *) echo "unexpected NEEDED entry: $n"; status=1 ;;
  esac
done

# Defined dynamic symbols (functions and data), as the loader sees them.
readelf --dyn-syms -W "$lib" | awk '$7 != "UND" && ($4 == "FUNC" || $4 == "OBJECT") && $5 != "LOCAL" {sub(/@.*/, "", $8); print $8}' \
  | sort -u > "$tmp/exported"
# Names listed in the version script's global part.
sed -e 's:/\*.*\*/::g' "$map" | sed -n '/global:/,/local:/p' | tr ' ;' '\n\n' \
  | grep -E '^[A-Za-z_][A-Za-z0-9_]*$' | grep -vE '^(global|local)$' | sort -u > "$tmp/listed"
# Functions and data declared in the public header.
sed -e 's:/\*.*\*/::g' "$header" | grep -E '^[A-Za-z].*[ *]([A-Za-z_][A-Za-z0-9_]*) ?(\(|\[|;)' \
  | grep -vE '^(typedef|struct|#)' \
  | sed -E 's/^[^(\[;]*[ *]([A-Za-z_][A-Za-z0-9_]*) ?[(\[;].*/\1/' | sort -u > "$tmp/declared"

# Data the library imports from the loading program is declared for its users
# but defined by them.
readelf --dyn-syms -W "$lib" | awk '$7 == "UND" {sub(/@.*/, "", $8); print $8}' | sort -u > "$tmp/imported"
comm -23 "$tmp/declared" "$tmp/imported" > "$tmp/declared.own" && mv "$tmp/declared.own" "$tmp/declared"

for pair in "exported listed" "listed declared"; do
  set -- $pair
  if ! diff -u "$tmp/$1" "$tmp/$2" > "$tmp/diff"; then
    echo "$1 and $2 names differ:"; cat "$tmp/diff"; status=1
  fi
done
echo "$(wc -l < "$tmp/exported") exported names"
exit $status
