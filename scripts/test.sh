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
ensure_packages cmake make g++ googletest iproute2 binutils pkgconf python3 file dpkg-dev \
  g++-mipsel-linux-gnu qemu-user-static libcrypt-dev libcrypt-dev:mipsel \
  libjpeg62-turbo-dev libjpeg62-turbo:mipsel

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
passed=0 failed=0 skipped=0
run_variant() {
  local name=$1; shift
  local dir=$build/$name
  echo "=== $name: configure and build"
  build_quietly "$dir.build.log" "$root" "$dir" -DAPI_ARCH_WERROR=ON "$@" || return 1
  echo "=== $name: tests"
  # Googletest programs report their cases (GTEST_SKIP included) in gtest/.
  local log=$dir.ctest.log results=$dir/test-results
  rm -rf "$results" && mkdir -p "$results/gtest"
  (cd "$dir" && GTEST_OUTPUT="xml:$results/gtest/" ctest --output-on-failure -j"$jobs" --output-junit "$results/ctest.xml") 2>&1 |
    tee "$log" | grep -vE '^ *(Start|[0-9]+/[0-9]+ Test)' || true
  local counts p f s
  counts=$(python3 "$root/scripts/count_results.py" "$dir" "$results/ctest.xml" "$results/gtest") ||
    { failed=$((failed + 1)); return 0; }
  sed '$d' <<<"$counts"
  read -r p f s <<<"$(tail -1 <<<"$counts")"
  echo "=== $name: $p passed, $f failed, $s skipped"
  passed=$((passed + p)) failed=$((failed + f)) skipped=$((skipped + s))
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
echo "all suites: $passed passed, $failed failed, $skipped skipped"
# CI runs as root, where every namespace the suites need is available.
if [ "${CI:-}" = true ] && [ "$(id -u)" -eq 0 ] && [ "$skipped" -gt 0 ]; then
  echo "CI: $skipped skipped as root, where nothing may be skipped"
  exit 1
fi
[ "$failed" -eq 0 ]
