#!/usr/bin/env bash
# The test command: sets up what it needs (as root, the missing Debian
# packages), then builds and runs the suites for the host, the host with
# AddressSanitizer and UBSan, and the MIPS target under qemu-user.
#   scripts/test.sh [host|sanitize|mipsel ...]   (default: all three)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
variants=("${@:-host sanitize mipsel}")
variants=(${variants[*]})

. scripts/common.sh
ensure_packages cmake make g++ googletest iproute2 binutils pkgconf \
  g++-mipsel-linux-gnu qemu-user-static libcrypt-dev libcrypt-dev:mipsel \
  libjpeg62-turbo-dev libjpeg62-turbo:mipsel libcurl4-openssl-dev openssl python3-aiosmtpd python3-pyftpdlib

# API_ARCH_BUILD_DIR puts the builds elsewhere (several checkouts side by side).
build=${API_ARCH_BUILD_DIR:-$root/build}
mkdir -p "$build"

# The target's libjpeg headers and static library: its -dev package cannot be
# installed beside the host's (the mipsel archive's kernel headers lag behind),
# so it is unpacked into the build tree for the cross build.
target_root=$build/target-root
if [[ " ${variants[*]} " == *" mipsel "* ]] && [ ! -f "$target_root/usr/include/jpeglib.h" ]; then
  mkdir -p "$target_root/debs"
  if ! (cd "$target_root/debs" && apt-get download libjpeg62-turbo-dev:mipsel >/dev/null 2>&1); then
    [ "$(id -u)" -eq 0 ] && apt-get update -qq
    (cd "$target_root/debs" && apt-get download libjpeg62-turbo-dev:mipsel >/dev/null)
  fi
  for deb in "$target_root"/debs/*.deb; do dpkg-deb -x "$deb" "$target_root"; done
fi

jobs=$(nproc)
passed=0 failed=0
run_variant() {
  local name=$1; shift
  local dir=$build/$name
  echo "=== $name: configure and build"
  build_quietly "$dir.build.log" "$root" "$dir" "$@" || return 1
  echo "=== $name: tests"
  local log=$dir.ctest.log
  (cd "$dir" && ctest --output-on-failure -j"$jobs") 2>&1 | tee "$log" | grep -vE '^ *(Start|[0-9]+/[0-9]+ Test)' || true
  local total fails
  total=$(sed -n 's/.*tests failed out of \([0-9]*\).*/\1/p' "$log" | tail -1)
  fails=$(sed -n 's/.* \([0-9]*\) tests failed out of.*/\1/p' "$log" | tail -1)
  [ -n "$total" ] || { failed=$((failed + 1)); return 0; }
  passed=$((passed + total - fails)); failed=$((failed + fails))
}

for v in "${variants[@]}"; do
  case $v in
    host) run_variant host -DCMAKE_BUILD_TYPE=MinSizeRel ;;
    sanitize) run_variant sanitize -DCMAKE_BUILD_TYPE=Debug -DAPI_ARCH_SANITIZE=ON ;;
    mipsel) run_variant mipsel -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mipsel-linux-gnu.cmake" -DCMAKE_BUILD_TYPE=MinSizeRel \
              -DAPI_ARCH_TARGET_ROOT="$target_root" ;;
    *) echo "unknown variant: $v" >&2; exit 2 ;;
  esac
done
echo
echo "all suites: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
