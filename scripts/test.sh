#!/usr/bin/env bash
# The test command: sets up what it needs (as root, the missing Debian
# packages), then builds and runs the suites of every variant:
#   host         the host build
#   sanitize     the host build with AddressSanitizer and UBSan
#   mipsel       the MIPS target (glibc) under qemu-user
#   mipsel-musl  the MIPS target on musl under qemu-user, with musl's loader
#   malta        both MIPS builds on a real MIPS kernel (scripts/malta.sh)
#   scripts/test.sh [variant...]   (default: all five)
# The last line counts every variant's tests; the lines above it, each one's.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
variants=("${@:-host sanitize mipsel mipsel-musl malta}")
variants=(${variants[*]})

. scripts/common.sh
ensure_packages cmake make g++ googletest iproute2 binutils pkgconf python3 file dpkg-dev \
  g++-mipsel-linux-gnu qemu-user-static libcrypt-dev libcrypt-dev:mipsel \
  libjpeg62-turbo-dev libjpeg62-turbo:mipsel musl:mipsel musl-dev:mipsel \
  qemu-system-mips cpio libcurl4-openssl-dev openssl python3-aiosmtpd python3-pyftpdlib lintian man-db

# API_ARCH_BUILD_DIR puts the builds elsewhere (several checkouts side by side).
build=${API_ARCH_BUILD_DIR:-$root/build}
mkdir -p "$build"

# The target's libjpeg headers and static library: its -dev package cannot be
# installed beside the host's (the mipsel archive's kernel headers lag behind),
# so it is unpacked into the build tree for the cross build.
target_root=$build/target-root
if [[ " ${variants[*]} " == *" mipsel "* || " ${variants[*]} " == *" malta "* ]] &&
   [ ! -f "$target_root/usr/include/jpeglib.h" ]; then
  mkdir -p "$target_root/debs"
  if ! (cd "$target_root/debs" && apt-get download libjpeg62-turbo-dev:mipsel >/dev/null 2>&1); then
    [ "$(id -u)" -eq 0 ] && apt-get update -qq
    (cd "$target_root/debs" && apt-get download libjpeg62-turbo-dev:mipsel >/dev/null)
  fi
  for deb in "$target_root"/debs/*.deb; do dpkg-deb -x "$deb" "$target_root"; done
fi

# The host build's transcript of the library (tests/target): every other build
# must write the same lines.
reference=$build/transcript.reference
reference_args=()
make_reference() {
  [ ${#reference_args[@]} -eq 0 ] || return 0
  echo "=== the host's transcript (the reference of the other builds)"
  build_quietly "$build/host.build.log" "$root" "$build/host" $(variant_args host) -- --target transcript || return 1
  local status=0
  "$build/host/tests/target/transcript" --out "$reference" > "$build/transcript.reference.log" 2>&1 || status=$?
  case $status in
    0) reference_args=(-DAPI_ARCH_TRANSCRIPT_REFERENCE="$reference") ;;
    77) cat "$build/transcript.reference.log"; reference_args=(-DAPI_ARCH_TRANSCRIPT_REFERENCE=) ;;
    *) cat "$build/transcript.reference.log"; return 1 ;;
  esac
}

# Every build of the project's own code is held to no warnings.
variant_args() {
  echo -DAPI_ARCH_WERROR=ON
  case $1 in
    host) echo -DCMAKE_BUILD_TYPE=MinSizeRel ;;
    sanitize) echo -DCMAKE_BUILD_TYPE=Debug -DAPI_ARCH_SANITIZE=ON ;;
    mipsel) echo -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mipsel-linux-gnu.cmake" -DCMAKE_BUILD_TYPE=MinSizeRel \
              -DAPI_ARCH_TARGET_ROOT="$target_root" ;;
    mipsel-musl) echo -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mipsel-linux-musl.cmake" -DCMAKE_BUILD_TYPE=MinSizeRel ;;
  esac
}

jobs=$(nproc)
passed=0 failed=0 skipped=0
counts=()
count() {  # count VARIANT PASSED FAILED SKIPPED
  counts+=("$(printf '%-12s %3d passed, %d failed, %d skipped' "$1:" "$2" "$3" "$4")")
  passed=$((passed + $2)) failed=$((failed + $3)) skipped=$((skipped + $4))
}

run_variant() {
  local name=$1; shift
  local dir=$build/$name
  echo "=== $name: configure and build"
  build_quietly "$dir.build.log" "$root" "$dir" "$@" || { count "$name" 0 1 0; return 0; }
  echo "=== $name: tests"
  # Googletest programs report their cases (GTEST_SKIP included) in gtest/.
  local log=$dir.ctest.log results=$dir/test-results
  rm -rf "$results" && mkdir -p "$results/gtest"
  (cd "$dir" && GTEST_OUTPUT="xml:$results/gtest/" ctest --output-on-failure -j"$jobs" --output-junit "$results/ctest.xml") 2>&1 |
    tee "$log" | grep -vE '^ *(Start|[0-9]+/[0-9]+ Test)' || true
  local lines p f s
  lines=$(python3 "$root/scripts/count_results.py" "$dir" "$results/ctest.xml" "$results/gtest") ||
    { count "$name" 0 1 0; return 0; }
  sed '$d' <<<"$lines"
  read -r p f s <<<"$(tail -1 <<<"$lines")"
  count "$name" "$p" "$f" "$s"
}

# Both MIPS builds, booted on the Malta kernel: every test program that runs
# under qemu-user in them runs in the guest.
run_malta() {
  local name
  for name in mipsel mipsel-musl; do
    echo "=== malta: build $name"
    build_quietly "$build/$name.build.log" "$root" "$build/$name" $(variant_args $name) "${reference_args[@]}" ||
      { count malta 0 1 0; return 0; }
  done
  echo "=== malta: tests on the Malta kernel"
  local log=$build/malta.log
  scripts/malta.sh --timeout 600 glibc="$build/mipsel" musl="$build/mipsel-musl" 2>&1 | tee "$log" || true
  local line
  line=$(sed -n 's/^malta: \([0-9]*\) passed, \([0-9]*\) failed, \([0-9]*\) skipped$/\1 \2 \3/p' "$log" | tail -1)
  [ -n "$line" ] || { count malta 0 1 0; return 0; }
  count malta $line
}

start=$(date +%s)
for v in "${variants[@]}"; do
  case $v in
    host) run_variant host $(variant_args host) ;;
    sanitize|mipsel|mipsel-musl)
      make_reference || { count "$v" 0 1 0; continue; }
      run_variant "$v" $(variant_args "$v") "${reference_args[@]}" ;;
    malta)
      make_reference || { count malta 0 1 0; continue; }
      run_malta ;;
    *) echo "unknown variant: $v" >&2; exit 2 ;;
  esac
done
echo
printf '%s\n' "${counts[@]}"
echo "($(( $(date +%s) - start )) s)"
echo "all suites: $passed passed, $failed failed, $skipped skipped"
# CI runs as root, where every namespace the suites need is available.
if [ "${CI:-}" = true ] && [ "$(id -u)" -eq 0 ] && [ "$skipped" -gt 0 ]; then
  echo "CI: $skipped skipped as root, where nothing may be skipped"
  exit 1
fi
[ "$failed" -eq 0 ]
