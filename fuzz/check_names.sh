#!/usr/bin/env bash
# Every name of the version script is driven by some fuzz target: the union of
# what the replay programs list (--list) equals the exported names.
#   check_names.sh VERSION_SCRIPT EMULATOR|"" PROGRAM...
set -euo pipefail
map=$1 emulator=$2
shift 2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
sed -e 's:/\*.*\*/::g' "$map" | sed -n '/global:/,/local:/p' | tr ' ;' '\n\n' \
  | grep -E '^[A-Za-z_][A-Za-z0-9_]*$' | grep -vE '^(global|local)$' | sort -u > "$tmp/exported"
for p in "$@"; do $emulator "$p" --list; done | sort -u > "$tmp/driven"
missing=$(comm -23 "$tmp/exported" "$tmp/driven")
unknown=$(comm -13 "$tmp/exported" "$tmp/driven")
echo "exported: $(wc -l < "$tmp/exported"), driven by the fuzz targets: $(wc -l < "$tmp/driven")"
[ -z "$missing" ] || echo "not driven: $missing"
[ -z "$unknown" ] || echo "driven but not exported: $unknown"
[ -z "$missing$unknown" ]
