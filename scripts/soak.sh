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
. scripts/common.sh
build_quietly "$dir.soak-build.log" "$root" "$dir" -DCMAKE_BUILD_TYPE=MinSizeRel -- --target soak_run || exit 1
exec "$dir/soak/soak_run" "${1:-5000}" "${2:-25}"
