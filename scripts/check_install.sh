#!/usr/bin/env bash
# Installs a build into a scratch prefix and builds a C program against it the
# way a camera program would: through pkg-config, headers and library only.
#   check_install.sh BUILD_DIR C_COMPILER
set -euo pipefail
build=$1 cc=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
for f in include/api_arch.h include/init_ipc.h include/buf_def.h include/setting.h include/layout_check.h; do
  [ -f "$prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done
pc=$(find "$prefix" -name api_arch.pc)
[ -n "$pc" ] || { echo "no api_arch.pc installed"; exit 1; }
ls "$(dirname "$(dirname "$pc")")"/libapi_arch.so.* >/dev/null
cat > "$prefix/demo.c" <<'C'
#include <stdio.h>
#include <api_arch.h>
int main(void) { printf("%d\n", SemAPIInit() >= -1); return 0; }
C
export PKG_CONFIG_PATH=$(dirname "$pc")
# shellcheck disable=SC2046
"$cc" -std=c99 -Wall -Werror -o "$prefix/demo" "$prefix/demo.c" $(pkg-config --define-variable=prefix="$prefix" --cflags --libs api_arch)
echo "installed: library $(basename "$(ls "$(dirname "$(dirname "$pc")")"/libapi_arch.so.?)"), 5 headers, api_arch.pc; a C program builds against them"
