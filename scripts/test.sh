#!/usr/bin/env bash
# The test command: sets up what it needs (as root, the missing Debian
# packages), then builds and runs the suites of every variant:
#   host         the host build
#   sanitize     the host build with AddressSanitizer and UBSan
#   mipsel       the MIPS target (glibc) under qemu-user
#   mipsel-musl  the MIPS target on musl under qemu-user, with musl's loader
#   malta        both MIPS builds on a real MIPS kernel (scripts/malta.sh)
# and the script suites named in script_suites below.
#   scripts/test.sh [variant-or-suite...]   (default: all of them)
# The summary gives each one's counts and time, the tests' share of the code
# base, and last one line for all of them.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

# Script suites: each prints a last line "N passed, N failed, N skipped" and
# has a summary line of its own. Add one as
#   script_suites[NAME]="COMMAND ARGS..."   (run from the source tree, with $build set)
# and name it in default_runs.
declare -A script_suites=()
default_runs="host sanitize mipsel mipsel-musl malta gateway browser fleet"

runs=("${@:-$default_runs}")
runs=(${runs[*]})

. scripts/common.sh
ensure_packages cmake make g++ googletest iproute2 binutils pkgconf python3 file dpkg-dev cloc git \
  g++-mipsel-linux-gnu qemu-user-static libcrypt-dev libcrypt-dev:mipsel \
  libjpeg62-turbo-dev libjpeg62-turbo:mipsel musl:mipsel musl-dev:mipsel \
  qemu-system-mips cpio libcurl4-openssl-dev openssl python3-aiosmtpd python3-pyftpdlib \
  lighttpd lighttpd-mod-openssl busybox curl chromium chromium-driver python3-selenium \
  ansible-core python3-pytest lintian man-db
# npm fetches the OpenAPI validator: Debian's, unless a Node.js with its own
# npm is there already (this kind of machine has one, which Debian's npm
# package would conflict with).
command -v npm >/dev/null || ensure_packages nodejs npm

# API_ARCH_BUILD_DIR puts the builds elsewhere (several checkouts side by side).
build=${API_ARCH_BUILD_DIR:-$root/build}
mkdir -p "$build"
# The gateway, its page in a real browser and the Ansible collection, against
# the host build's apiweb, apisim and apictl (Debian's python3 for Selenium,
# pytest and ansible-core; they build those three first).
host_tools=$(printf ' %q' "$build/host/tools/apiweb/apiweb" "$build/host/tools/apisim/apisim" "$build/host/tools/apictl/apictl")
script_suites[gateway]="bash tools/apiweb/tests/gateway_e2e.sh$host_tools"
script_suites[browser]="bash tools/apiweb/tests/browser_test.sh$host_tools"
script_suites[fleet]="PATH=/usr/bin:/bin:/usr/sbin:/sbin bash tools/ansible/tests/fleet_e2e.sh$(printf ' %q' \
  "$build/host/tools/apisim/apisim" "$build/host/tools/apiweb/apiweb" "$build/host/tools/apictl/apictl")"
# The cross builds' tests reach the stand-in daemon of this machine: the host
# build's, built there once (scripts/build_host_apisim.sh).
export API_ARCH_HOST_BUILD=$build/host

# The target's libjpeg headers and static library: its -dev package cannot be
# installed beside the host's (the mipsel archive's kernel headers lag behind),
# so it is unpacked into the build tree for the cross build.
target_root=$build/target-root
if [[ " ${runs[*]} " == *" mipsel "* || " ${runs[*]} " == *" malta "* ]] &&
   [ ! -f "$target_root/usr/include/jpeglib.h" ]; then
  mkdir -p "$target_root/debs"
  if ! (cd "$target_root/debs" && apt-get download libjpeg62-turbo-dev:mipsel >/dev/null 2>&1); then
    [ "$(id -u)" -eq 0 ] && apt-get update -qq
    (cd "$target_root/debs" && apt-get download libjpeg62-turbo-dev:mipsel >/dev/null)
  fi
  for deb in "$target_root"/debs/*.deb; do dpkg-deb -x "$deb" "$target_root"; done
fi

# Every build of the project's own code is held to no warnings.
variant_args() {
  echo -DAPI_ARCH_WERROR=ON
  case $1 in
    host) echo -DCMAKE_BUILD_TYPE=MinSizeRel ;;
    sanitize) echo -DCMAKE_BUILD_TYPE=Debug -DAPI_ARCH_SANITIZE=ON -DAPI_ARCH_BENCH=OFF ;;
    mipsel) echo -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mipsel-linux-gnu.cmake" -DCMAKE_BUILD_TYPE=MinSizeRel \
              -DAPI_ARCH_TARGET_ROOT="$target_root" -DAPI_ARCH_BENCH=OFF ;;
    mipsel-musl) echo -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mipsel-linux-musl.cmake" -DCMAKE_BUILD_TYPE=MinSizeRel \
              -DAPI_ARCH_BENCH=OFF ;;
  esac
}

jobs=$(nproc)
passed=0 failed=0 skipped=0
counts=()
count() {  # count NAME PASSED FAILED SKIPPED SECONDS [DETAIL]
  counts+=("$(printf '%-12s %3d passed, %d failed, %d skipped  (%d s%s)' "$1:" "$2" "$3" "$4" "$5" "${6:+, $6}")")
  passed=$((passed + $2)) failed=$((failed + $3)) skipped=$((skipped + $4))
}

# A variant's build starts once the build before it is done, in the
# background and at a lower priority, so that it overlaps the tests of the
# variant before (those mostly wait on daemons, emulators and namespaces).
declare -A build_pid=()
start_build() {  # start_build NAME: configures and builds build/NAME, once per run
  local name=$1
  [ -n "${build_pid[$name]:-}" ] && return 0
  rm -f "$build/$name.build-result"
  ( renice -n 5 -p $BASHPID >/dev/null
    began=$SECONDS status=0
    build_quietly "$build/$name.build.log" "$root" "$build/$name" $(variant_args "$name") || status=1
    echo "$status $((SECONDS - began))" > "$build/$name.build-result" ) &
  build_pid[$name]=$!
}
build_seconds=0
finish_build() {  # finish_build NAME: waits for its build; sets build_seconds; fails when it failed
  local status=1
  start_build "$1"
  wait "${build_pid[$1]}" || true
  read -r status build_seconds < "$build/$1.build-result" || return 1
  [ "$status" -eq 0 ]
}

# The builds a run needs.
builds_of() {
  case $1 in
    host|sanitize|mipsel|mipsel-musl) echo "$1" ;;
    malta) echo mipsel mipsel-musl ;;
  esac
}

run_variant() {  # run_variant NAME NEXT-RUN
  local name=$1 next=$2 dir=$build/$1 start=$SECONDS n
  echo "=== $name: configure and build"
  finish_build "$name" || { count "$name" 0 1 0 $((SECONDS - start)) "the build failed"; return 0; }
  local built=$build_seconds
  for n in $(builds_of "$next"); do start_build "$n"; break; done
  # The Malta guest (one emulated CPU) runs beside the last variant's tests
  # once both MIPS builds are there.
  if [ "$next" = malta ] && [ "$name" = mipsel-musl ] && finish_build mipsel; then
    start_suite malta scripts/malta.sh --timeout 600 glibc="$build/mipsel" musl="$build/mipsel-musl"
  fi
  echo "=== $name: tests"
  # Googletest programs report their cases (GTEST_SKIP included) in gtest/.
  # Most tests wait on daemons, emulators and namespaces: more of them than
  # cores run at once.
  local log=$dir.ctest.log results=$dir/test-results tests_start=$SECONDS
  rm -rf "$results" && mkdir -p "$results/gtest"
  # The slowest tests first (ctest keeps its own figures after the first run).
  local costs=$dir/Testing/Temporary/CTestCostData.txt
  [ -f "$costs" ] || { mkdir -p "${costs%/*}" && printf '%s\n' "apictl_e2e 1 100" "apisim_control_e2e 1 30" \
    "package_check 1 30" "apictl_dump_load 1 20" "delivery_test 1 15" "apisim_test 1 10" --- > "$costs"; }
  (cd "$dir" && GTEST_OUTPUT="xml:$results/gtest/" ctest --output-on-failure -j"$((2 * jobs))" \
     --output-junit "$results/ctest.xml") 2>&1 | tee "$log" |
    grep -vE '^ *(Start|[0-9]+/[0-9]+ Test)' || true
  local lines p f s
  lines=$(python3 "$root/scripts/count_results.py" "$dir" "$results/ctest.xml" "$results/gtest") ||
    { count "$name" 0 1 0 $((SECONDS - start)); return 0; }
  sed '$d' <<<"$lines"
  read -r p f s <<<"$(tail -1 <<<"$lines")"
  count "$name" "$p" "$f" "$s" $((SECONDS - start)) "build $built s, tests $((SECONDS - tests_start)) s"
}

# Both MIPS builds, booted on the Malta kernel: every test program that runs
# under qemu-user in them runs in the guest.
run_malta() {
  local name start=$SECONDS
  for name in mipsel mipsel-musl; do
    echo "=== malta: build $name"
    finish_build "$name" || { count malta 0 1 0 $((SECONDS - start)) "the $name build failed"; return 0; }
  done
  echo "=== malta: tests on the Malta kernel"
  start_suite malta scripts/malta.sh --timeout 600 glibc="$build/mipsel" musl="$build/mipsel-musl"
  finish_suite malta
}

# run_script_suite NAME COMMAND...: runs COMMAND, which ends its output with a
# line "N passed, N failed, N skipped" (a prefix "NAME: " is allowed), and
# counts it on a line of its own with its time. No such line, or a failing
# status with no failure counted, counts as one failure.
run_script_suite() { start_suite "$@"; finish_suite "$1"; }

# start_suite NAME COMMAND...: starts it in the background, output to build/NAME.log
declare -A suite_pid=() suite_start=()
start_suite() {
  local name=$1
  shift
  [ -n "${suite_pid[$name]:-}" ] && return 0
  suite_start[$name]=$SECONDS
  ( "$@" > "$build/$name.log" 2>&1; echo $? > "$build/$name.status" ) &
  suite_pid[$name]=$!
}
# finish_suite NAME: waits for it, shows its output and counts it.
finish_suite() {
  local name=$1 status=1 line p f s
  echo "=== $name"
  wait "${suite_pid[$name]}" || true
  cat "$build/$name.log"
  read -r status < "$build/$name.status" || status=1
  line=$(sed -n 's/^\([^:]*: \)\{0,1\}\([0-9]*\) passed, \([0-9]*\) failed, \([0-9]*\) skipped$/\2 \3 \4/p' \
    "$build/$name.log" | tail -1)
  if [ -z "$line" ]; then
    count "$name" 0 1 0 $((SECONDS - suite_start[$name])) "no counts, status $status"
    return 0
  fi
  read -r p f s <<<"$line"
  [ "$status" -ne 0 ] && [ "$f" -eq 0 ] && f=1
  count "$name" "$p" "$f" "$s" $((SECONDS - suite_start[$name]))
}

start=$SECONDS
for i in "${!runs[@]}"; do
  v=${runs[$i]} next=${runs[$((i + 1))]:-}
  case $v in
    host|sanitize|mipsel|mipsel-musl) run_variant "$v" "$next" ;;
    malta) run_malta ;;
    *)
      [ -n "${script_suites[$v]:-}" ] || { echo "unknown variant or suite: $v" >&2; exit 2; }
      # The suites run the host build's tools.
      if ! finish_build host; then count "$v" 0 1 0 0 "the host build failed"; continue; fi
      run_script_suite "$v" bash -c "${script_suites[$v]}" ;;
  esac
done
wait
echo
printf '%s\n' "${counts[@]}"
echo "share: $(scripts/share.sh --line 2>&1 || true)"
echo "($((SECONDS - start)) s)"
echo "all suites: $passed passed, $failed failed, $skipped skipped"
# CI runs as root, where every namespace the suites need is available.
if [ "${CI:-}" = true ] && [ "$(id -u)" -eq 0 ] && [ "$skipped" -gt 0 ]; then
  echo "CI: $skipped skipped as root, where nothing may be skipped"
  exit 1
fi
[ "$failed" -eq 0 ]
