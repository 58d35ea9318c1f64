#!/usr/bin/env bash
# Provides the stand-in daemon for this machine beside a cross build
# (BUILD_DIR/host-apisim/tools/apisim/apisim): the emulated programs of the
# cross build talk to it through the one kernel. Used where the target's own
# apisim cannot run or is not built (musl: no C++ runtime).
#   build_host_apisim.sh BUILD_DIR
# With API_ARCH_HOST_BUILD naming a configured host build (the test command
# sets it), apisim is built there and linked in: one host apisim for every
# cross build. Otherwise a small host build of apisim alone is made.
set -uo pipefail
build=$(realpath "$1")
source_dir=$(cd "$(dirname "$0")/.." && pwd)
host_tools=$build/host-apisim
log=$build/host-apisim.log
host_build=${API_ARCH_HOST_BUILD:-}
if [ -n "$host_build" ] && [ -f "$host_build/CMakeCache.txt" ]; then
  cmake --build "$host_build" --target apisim >"$log" 2>&1 ||
    { tail -30 "$log"; echo "FAIL: cannot build apisim in $host_build"; exit 1; }
  rm -rf "$host_tools" && mkdir -p "$host_tools/tools" &&
    ln -s "$(realpath "$host_build")/tools/apisim" "$host_tools/tools/apisim"
elif ! { cmake -S "$source_dir" -B "$host_tools" -DCMAKE_BUILD_TYPE=MinSizeRel -DAPI_ARCH_TESTS=OFF \
         -DAPI_ARCH_BENCH=OFF -DCMAKE_TOOLCHAIN_FILE= && cmake --build "$host_tools" --target apisim; } \
       >"$log" 2>&1; then
  tail -30 "$log"; echo "FAIL: cannot build apisim for this machine"; exit 1
fi
echo "apisim for this machine: $host_tools/tools/apisim/apisim"
