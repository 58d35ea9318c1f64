#!/usr/bin/env bash
# Builds the stand-in daemon for this machine beside a cross build
# (BUILD_DIR/host-apisim): the emulated programs of the cross build talk to it
# through the one kernel. Used where the target's own apisim cannot run or is
# not built (musl: no C++ runtime).
#   build_host_apisim.sh BUILD_DIR
set -uo pipefail
build=$(realpath "$1")
source_dir=$(cd "$(dirname "$0")/.." && pwd)
host_tools=$build/host-apisim
log=$build/host-apisim.log
if ! { cmake -S "$source_dir" -B "$host_tools" -DCMAKE_BUILD_TYPE=MinSizeRel -DAPI_ARCH_TESTS=OFF \
         -DAPI_ARCH_BENCH=OFF -DCMAKE_TOOLCHAIN_FILE= && cmake --build "$host_tools" --target apisim; } \
       >"$log" 2>&1; then
  tail -30 "$log"; echo "FAIL: cannot build apisim for this machine"; exit 1
fi
echo "apisim for this machine: $host_tools/tools/apisim/apisim"
