#!/usr/bin/env bash
# Installs a build into a scratch prefix, moves the prefix elsewhere, and uses
# it there as a camera program's developer and a desk user would:
#   check_install.sh BUILD_DIR C_COMPILER
# - the layout: the library and its soname link, the headers under
#   include/api_arch only, api_arch.pc, the CMake package, the tools;
# - the README's C example built through pkg-config alone, and through
#   find_package(api_arch 1 CONFIG) (a request for version 2 is refused);
# - the installed apisim and apictl start without LD_LIBRARY_PATH, and the
#   example talks to that apisim (in a private IPC namespace).
set -uo pipefail
build=$(realpath "$1") cc=$2
here=$(cd "$(dirname "$0")" && pwd)
. "$here/consumers.sh"
tmp=$(mktemp -d /tmp/check_install.XXXXXX)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

cmake --install "$build" --prefix "$tmp/installed" >"$tmp/install.log" 2>&1 || { cat "$tmp/install.log"; exit 1; }
# Nothing may depend on where it was installed.
mv "$tmp/installed" "$tmp/moved"
p=$tmp/moved
lib=$(install_libdir "$build")

for h in api_arch.h init_ipc.h buf_def.h setting.h layout_check.h; do
  [ -f "$p/include/api_arch/$h" ] || fail "not installed: include/api_arch/$h"
  [ -e "$p/include/$h" ] && fail "installed outside include/api_arch: include/$h"
done
[ "$(readlink "$p/$lib/libapi_arch.so.1")" = libapi_arch.so.1.0.0 ] || fail "no soname link $lib/libapi_arch.so.1"
[ -L "$p/$lib/libapi_arch.so" ] || fail "no link $lib/libapi_arch.so"
for f in $lib/pkgconfig/api_arch.pc $lib/cmake/api_arch/api_arch-config.cmake \
         $lib/cmake/api_arch/api_arch-config-version.cmake; do
  [ -f "$p/$f" ] || fail "not installed: $f"
done
# The manual: every exported name opens its family's page.
man3=$p/share/man/man3
names=$(sed -e 's|/\*.*\*/||' -e '/global:\|local:/d' "$here/../app/api_arch.map" | grep -oE '[A-Za-z_][A-Za-z0-9_]*;' | tr -d ';')
[ "$(wc -w <<<"$names")" -gt 300 ] || fail "cannot read the exported names from app/api_arch.map"
for name in $names; do [ -e "$man3/$name.3.gz" ] || { fail "no manual page for $name"; break; }; done
zcat "$man3/API_Video_SetHue.3.gz" 2>/dev/null | grep -q 'int API_Video_SetHue(unsigned char channel, unsigned char Hue);' ||
  fail "man API_Video_SetHue does not open a page with its prototype"
grep -q "$tmp\|$build" "$p/$lib/pkgconfig/api_arch.pc" "$p"/$lib/cmake/api_arch/*.cmake &&
  fail "an installed package file names the install or build directory"

write_consumers "$tmp/src" || exit 1
# shellcheck disable=SC2046
if flags=$(PKG_CONFIG_PATH=$p/$lib/pkgconfig pkg-config --cflags --libs api_arch); then
  # shellcheck disable=SC2086
  "$cc" -std=c99 -Wall -Werror -o "$tmp/demo_pc" "$tmp/src/demo.c" "$tmp/src/short_name.c" $flags ||
    fail "the README's example does not build with: $flags"
else
  fail "pkg-config does not find api_arch in the moved prefix"
fi
build_cmake_consumer "$tmp/src" "$tmp/cmake1" 1 -DCMAKE_C_COMPILER="$cc" -DCMAKE_PREFIX_PATH="$p" ||
  { cat "$tmp/cmake1.log"; fail "find_package(api_arch 1 CONFIG) and api_arch::api_arch"; }
build_cmake_consumer "$tmp/src" "$tmp/cmake2" 2 -DCMAKE_C_COMPILER="$cc" -DCMAKE_PREFIX_PATH="$p" &&
  fail "find_package(api_arch 2 CONFIG) accepted version 1"

# The tools, as found in the prefix: runnable without LD_LIBRARY_PATH.
tools=()
for t in apictl apisim; do
  [ -x "$build/tools/$t/$t" ] || continue
  tools+=("$t")
  [ -x "$p/bin/$t" ] || { fail "not installed: bin/$t"; continue; }
  # Its man page and completion, made from the one list its --help prints.
  [ -f "$p/share/man/man1/$t.1.gz" ] || fail "not installed: share/man/man1/$t.1.gz"
  [ -f "$p/share/bash-completion/completions/$t" ] || fail "not installed: share/bash-completion/completions/$t"
  zgrep -qE -- '(\\-){2}version|--version' "$p/share/man/man1/$t.1.gz" 2>/dev/null || fail "$t.1 does not describe --version"
  runpath=$(readelf -d "$p/bin/$t" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')
  case $runpath in ""|'$ORIGIN/'*) ;; *) fail "bin/$t: RUNPATH $runpath is not relative to the program" ;; esac
done
[ -e "$build/tools/apisim_state/libapisim_state.so" ] && { [ -e "$p/$lib/libapisim_state.so.1" ] || fail "not installed: $lib/libapisim_state.so.1"; }
unset LD_LIBRARY_PATH
if [[ " ${tools[*]} " == *" apictl "* ]]; then
  "$p/bin/apictl" list API_Video_GetFrequency >/dev/null 2>&1 ||
    fail "the installed apictl does not run: $("$p/bin/apictl" list API_Video_GetFrequency 2>&1 | head -3)"
  # The gateway, where it was built, in Debian's CGI folder, finding the library from there.
  if [ -e "$build/tools/apiweb/apiweb" ]; then
    "$p/lib/cgi-bin/apiweb" --openapi >/dev/null 2>&1 ||
      fail "the installed lib/cgi-bin/apiweb does not run: $("$p/lib/cgi-bin/apiweb" --openapi 2>&1 | head -3)"
  fi
fi
if [[ " ${tools[*]} " == *" apisim "* ]]; then
  "$p/bin/apisim" --help >/dev/null 2>&1 || fail "the installed apisim does not run: $("$p/bin/apisim" --help 2>&1 | head -3)"
  # The pkg-config build finds the library as any program outside a system
  # prefix does; CMake gave its build a RUNPATH. The installed apictl takes a
  # snapshot through the installed provider of BufferEncode.
  out=$(bash "$here/with_apisim.sh" "$p/bin/apisim" bash -c 'LD_LIBRARY_PATH=$1 "$2"; "$3"
    [ ! -x "$4" ] || "$4" snapshot -o "$5"' - \
        "$p/$lib" "$tmp/demo_pc" "$tmp/cmake1/demo_cmake" "$p/bin/apictl" "$tmp/snapshot.jpg" 2>&1)
  status=$?
  [ $status -eq 77 ] && { echo "$out"; exit 77; }
  [ "$(grep -c "^$expected_demo_output\$" <<<"$out")" -eq 2 ] ||
    fail "the README's example against the installed apisim printed: $out"
  if [ -x "$p/bin/apictl" ]; then
    [ "$(head -c 3 "$tmp/snapshot.jpg" 2>/dev/null | od -An -tx1 | tr -d ' ')" = ffd8ff ] ||
      fail "no snapshot through the installed apictl and provider: $out"
  fi
fi

[ $failures -eq 0 ] || exit 1
echo "installed and moved: library $(basename "$(readlink -f "$p/$lib/libapi_arch.so.1")") in $lib, 5 headers in include/api_arch," \
  "api_arch.pc, CMake package, $(ls "$man3" | wc -l) manual pages and links; the README's example built through both; tools: ${tools[*]:-none}, runnable as installed"
