#!/usr/bin/env bash
# The load run with faults at length (the test command runs a short one):
# eight caller processes, an echoing responder, SIGALRM and SIGKILL chaos, in
# a private IPC namespace; it stops by itself and prints its figures.
#   scripts/soak.sh [calls-per-process [directed-cases]]   (default: 5000 25)
# API_ARCH_BUILD_DIR moves the build (default: build/); it uses <build>/host.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
dir=${API_ARCH_BUILD_DIR:-$root/build}/host
mkdir -p "$dir"
cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=MinSizeRel >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; exit 1; }
cmake --build "$dir" -j"$(nproc)" --target soak_run >"$dir.soak-build.log" 2>&1 || { tail -40 "$dir.soak-build.log"; exit 1; }
exec "$dir/soak/soak_run" "${1:-5000}" "${2:-25}"
