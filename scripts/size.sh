#!/usr/bin/env bash
# Stripped sizes and NEEDED lists of the mipsel library, apictl and apiweb, on glibc
# and on musl, and the library's exports and largest sections.
#   scripts/size.sh [glibc-build-dir [musl-build-dir]]   (default build/mipsel, build/mipsel-musl)
set -euo pipefail
build=$(dirname "$0")/../build
glibc=${1:-$build/mipsel} musl=${2:-$build/mipsel-musl}
tmp=$(mktemp)
trap 'rm -f "$tmp"' EXIT

# show LABEL FILE: the stripped size and NEEDED list of one file.
show() {
  if [ ! -f "$2" ]; then
    printf '%-18s not built (%s)\n' "$1" "$2"
    return 1
  fi
  mipsel-linux-gnu-strip -o "$tmp" "$2"
  local size
  size=$(stat -c %s "$tmp")
  printf '%-18s %7d bytes (%d KiB)  NEEDED: %s\n' "$1" "$size" $(((size + 1023) / 1024)) \
    "$(readelf -d "$tmp" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')"
}

# details FILE: the library's exports and its sections over 512 bytes.
details() {
  mipsel-linux-gnu-strip -o "$tmp" "$1"
  echo "  exported functions and data: $(readelf --dyn-syms -W "$tmp" | awk '$7 != "UND" && ($4 == "FUNC" || $4 == "OBJECT") && $5 != "LOCAL"' | wc -l)"
  mipsel-linux-gnu-size -A "$tmp" | awk '$1 ~ /^\./ && $2 > 512 {printf "    %-14s %6d\n", $1, $2}'
}

show "library, glibc:" "$glibc/libapi_arch.so" && details "$glibc/libapi_arch.so"
show "library, musl:" "$musl/libapi_arch.so" && details "$musl/libapi_arch.so"
show "apictl, glibc:" "$glibc/tools/apictl/apictl" || true
show "apictl, musl:" "$musl/tools/apictl/apictl" || true
show "apiweb, glibc:" "$glibc/tools/apiweb/apiweb" || true
show "apiweb, musl:" "$musl/tools/apiweb/apiweb" || true
