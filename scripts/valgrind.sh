#!/usr/bin/env bash
# The host test suite under valgrind's memcheck: builds the host variant
# without optimisation, then runs every test program of the suite under
# memcheck (invalid reads and writes, uses of undefined values, bad frees,
# leaks definitely or indirectly lost) and the script tests as they are. Any
# memcheck error fails the program. Suppressions, each one explained, are in
# scripts/valgrind.supp.
#   scripts/valgrind.sh [ctest name regex]     (installs valgrind when run as root)
# API_ARCH_BUILD_DIR moves the build (default: build/); this one is <build>/valgrind.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
filter=${1:-.}
. scripts/common.sh
ensure_packages valgrind

dir=${API_ARCH_BUILD_DIR:-$root/build}/valgrind
echo "=== valgrind: configure and build ($dir)"
build_quietly "$dir.build.log" "$root" "$dir" -DCMAKE_BUILD_TYPE=Debug -DAPI_ARCH_BENCH=OFF || exit 1

memcheck=(valgrind --quiet --error-exitcode=99 --leak-check=full --show-leak-kinds=definite,indirect
          --errors-for-leak-kinds=definite,indirect --track-origins=yes --num-callers=30
          --suppressions="$root/scripts/valgrind.supp" --gen-suppressions=all)
passed=0 failed=0 skipped=0
mkdir -p "$dir/logs"
echo "=== valgrind: tests"
# "N: Test command: PROGRAM ARGS..." for every test of the suite.
while IFS= read -r line; do
  name=$(sed -n 's/^ *Test *#[0-9]*: *//p' <<<"$line")
  if [ -n "$name" ]; then
    [[ "$name" =~ $filter ]] || continue
    eval "set -- $command"
    log=$dir/logs/$name.log
    status=0
    if [ "$(head -c 4 "$1" | od -An -c | tr -d ' ')" = '177ELF' ]; then
      (cd "$(dirname "$1")" && "${memcheck[@]}" "$@") >"$log" 2>&1 || status=$?
      how="under memcheck"
    else
      "$@" >"$log" 2>&1 || status=$?
      how="(script, not under memcheck)"
    fi
    case $status in
      0) passed=$((passed + 1)); echo "    passed  $name $how" ;;
      77) skipped=$((skipped + 1)); echo "    skipped $name" ;;
      *) failed=$((failed + 1)); echo "    FAILED  $name $how (status $status, log $log)"
         grep -E '^==[0-9]+== (Invalid|Conditional|Use of|Syscall|Mismatched|[0-9,]+ bytes in)' "$log" | sort | uniq -c | head -10 ;;
    esac
    continue
  fi
  c=$(sed -n 's/^[0-9]*: Test command: //p' <<<"$line")
  [ -n "$c" ] && command=$c
done < <(cd "$dir" && ctest -N -V)
echo
echo "valgrind: $passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
