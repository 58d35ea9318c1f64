#!/usr/bin/env bash
# Cross staging, as for the camera's image: installs a cross build with
#   DESTDIR=STAGE cmake --install BUILD_DIR --prefix /usr
# then cross-builds the README's C example against STAGE through pkg-config
# (PKG_CONFIG_SYSROOT_DIR, PKG_CONFIG_LIBDIR) and through the CMake package
# (CMAKE_FIND_ROOT_PATH), and runs both, and the staged apictl, under the
# emulator with STAGE as the target's root, against the stand-in daemon built
# for this machine (its System V calls and the emulated ones meet in the same
# kernel, in a private IPC namespace).
#   check_stage.sh BUILD_DIR C_COMPILER EMULATOR
set -uo pipefail
build=$(realpath "$1") cc=$2 emulator=$3
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/.." && pwd)
. "$here/consumers.sh"
tmp=$(mktemp -d /tmp/check_stage.XXXXXX)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

stage=$tmp/stage
lib=$(install_libdir "$build")
DESTDIR=$stage cmake --install "$build" --prefix /usr >"$tmp/install.log" 2>&1 || { cat "$tmp/install.log"; exit 1; }
[ -f "$stage/usr/include/api_arch/api_arch.h" ] && [ -L "$stage/usr/$lib/libapi_arch.so.1" ] ||
  { echo "FAIL: nothing staged under $stage/usr"; exit 1; }
machine=$(readelf -h "$stage/usr/$lib/libapi_arch.so.1" | sed -n 's/ *Machine: *//p')

# The target's own libraries (libcrypt, which the library needs) live where
# the toolchain keeps them, outside the staging root.
target_libs=/usr/lib/$("$cc" -dumpmachine)
write_consumers "$tmp/src" || exit 1
if flags=$(PKG_CONFIG_SYSROOT_DIR=$stage PKG_CONFIG_LIBDIR=$stage/usr/$lib/pkgconfig pkg-config --cflags --libs api_arch); then
  dirs=""
  for f in $flags; do case $f in -I*|-L*) dirs+="${f:0:2}$(realpath -m "${f:2}") " ;; esac; done
  [ "$dirs" = "-I$stage/usr/include/api_arch -L$stage/usr/$lib " ] ||
    fail "pkg-config's flags do not point into the staging root: $flags"
  # shellcheck disable=SC2086
  "$cc" -std=c99 -Wall -Werror -o "$tmp/demo_pc" "$tmp/src/demo.c" "$tmp/src/short_name.c" $flags \
    -Wl,-rpath-link,"$target_libs" || fail "the README's example does not cross-build with: $flags"
else
  fail "pkg-config does not find api_arch in the staging root"
fi
cat > "$tmp/toolchain.cmake" <<CMAKE
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER $cc)
set(CMAKE_FIND_ROOT_PATH $stage)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-rpath-link,$target_libs")
CMAKE
build_cmake_consumer "$tmp/src" "$tmp/cmake" 1 -DCMAKE_TOOLCHAIN_FILE="$tmp/toolchain.cmake" ||
  { cat "$tmp/cmake.log"; fail "find_package(api_arch 1 CONFIG) in the staging root"; }
grep -q "$stage/usr/$lib/libapi_arch" "$tmp/cmake/CMakeFiles/demo_cmake.dir/link.txt" 2>/dev/null ||
  fail "the CMake consumer did not link the staged library"

# The stand-in daemon for this machine, built beside the cross build by the
# host_apisim fixture.
host_tools=$build/host-apisim
[ -x "$host_tools/tools/apisim/apisim" ] || bash "$here/build_host_apisim.sh" "$build" >/dev/null || exit 1

# The emulator looks for every file in STAGE first, then in the machine's own
# root (where the target's C library and libcrypt are): as on the camera, the
# programs find the library in its library directory, and apictl its provider through its
# RUNPATH.
runs=("$tmp/demo_pc" "$tmp/cmake/demo_cmake")
# musl's loader searches the folders its path file names, and the machine's
# file names only the toolchain's: the camera's image names /usr/lib too.
if readelf -l "$tmp/demo_pc" | grep -q 'ld-musl'; then
  mkdir -p "$stage/etc"
  printf '/lib\n/usr/lib\n/lib/mipsel-linux-musl\n' > "$stage/etc/ld-musl-mipsel.path"
fi
out=$(QEMU_LD_PREFIX=$stage bash "$here/with_apisim.sh" "$host_tools/tools/apisim/apisim" bash -c '
  emulator=$1 stage=$2; shift 2
  for program; do $emulator "$program"; done
  [ -x "$stage/usr/bin/apictl" ] && echo "apictl: $($emulator "$stage/usr/bin/apictl" API_Video_GetFrequency 0)"
  exit 0' - "$emulator" "$stage" "${runs[@]}" 2>&1)
status=$?
[ $status -eq 77 ] && { echo "$out"; exit 77; }
[ "$(grep -c "^$expected_demo_output\$" <<<"$out")" -eq 2 ] ||
  fail "the cross-built example under the emulator printed: $out"
if [ -x "$stage/usr/bin/apictl" ]; then
  grep -qx "apictl: 60" <<<"$out" || fail "the staged apictl did not read the setting back: $out"
fi

[ $failures -eq 0 ] || exit 1
echo "staged for $machine in DESTDIR/usr: the README's example cross-built through pkg-config and CMake," \
  "run under $(basename "${emulator%% *}") against apisim$([ -x "$stage/usr/bin/apictl" ] && echo ", with the staged apictl")"
