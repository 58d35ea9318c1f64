#!/usr/bin/env bash
# Stripped size of the mipsel library, its NEEDED list and its exports.
#   scripts/size.sh [build-dir]   (default build/mipsel)
set -euo pipefail
dir=${1:-$(dirname "$0")/../build/mipsel}
lib=$dir/libapi_arch.so
tmp=$(mktemp)
trap 'rm -f "$tmp"' EXIT
mipsel-linux-gnu-strip -o "$tmp" "$lib"
echo "stripped size: $(stat -c %s "$tmp") bytes ($(( ($(stat -c %s "$tmp") + 1023) / 1024 )) KiB)"
echo "NEEDED: $(readelf -d "$tmp" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')"
echo "exported functions and data: $(readelf --dyn-syms -W "$tmp" | awk '$7 != "UND" && ($4 == "FUNC" || $4 == "OBJECT") && $5 != "LOCAL"' | wc -l)"
mipsel-linux-gnu-size -A "$tmp" | awk '$1 ~ /^\./ && $2 > 512 {printf "  %-14s %6d\n", $1, $2}'
if [ -f "$dir/tools/apictl/apictl" ]; then
  mipsel-linux-gnu-strip -o "$tmp" "$dir/tools/apictl/apictl"
  echo "apictl stripped size: $(stat -c %s "$tmp") bytes ($(( ($(stat -c %s "$tmp") + 1023) / 1024 )) KiB)"
  echo "apictl NEEDED: $(readelf -d "$tmp" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')"
fi
