#!/usr/bin/env bash
# Fuzzes every target of fuzz/ with clang's libFuzzer (AddressSanitizer and
# UBSan on) for the given time each, as many at once as there are CPUs, and
# prints per target and in total: executions, coverage (edges and features
# that libFuzzer counted), corpus size and findings.
#   scripts/fuzz.sh [seconds-per-target [target...]]     (default: 60, all)
# Findings (crash-*, leak-*, timeout-*, oom-*) are left in
# <build>/findings/<target>/; a fixed one belongs in fuzz/regressions/<target>/.
# API_ARCH_FUZZ_MERGE=1 adds the inputs of new coverage to fuzz/corpus/<target>/.
# API_ARCH_BUILD_DIR moves the build (default: build/), the fuzz build is <build>/fuzz.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. scripts/common.sh
seconds=${1:-60}
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=($(sed -n 's/^set(\(sim_\)\{0,1\}fuzz_targets \([^)]*\)).*/\2/p' fuzz/CMakeLists.txt))
fi
command -v clang++ >/dev/null || { echo "clang++ is needed (with its libFuzzer runtime)" >&2; exit 1; }

build=${API_ARCH_BUILD_DIR:-$root/build}/fuzz
echo "=== fuzz: configure and build ($build)"
build_quietly "$build/build.log" fuzz "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ || exit 1

run_target() {
  local t=$1 work=$build/work/$t findings=$build/findings/$t
  [ -x "$build/fuzz_$t" ] || { echo "no fuzz_$t built" >"$build/$t.log"; return 0; }
  mkdir -p "$work" "$findings"
  local inputs=(fuzz/corpus/"$t")
  [ -d fuzz/regressions/"$t" ] && inputs+=(fuzz/regressions/"$t")
  # The library's own output is thrown away (-close_fd_mask=3); libFuzzer's stays.
  "$build/fuzz_$t" -max_total_time="$seconds" -timeout=10 -close_fd_mask=3 -print_final_stats=1 \
    -artifact_prefix="$findings/" "$work" "${inputs[@]}" >"$build/$t.log" 2>&1 || true
  if [ "${API_ARCH_FUZZ_MERGE:-0}" = 1 ]; then
    "$build/fuzz_$t" -merge=1 -close_fd_mask=3 fuzz/corpus/"$t" "$work" >"$build/$t.merge.log" 2>&1 || true
  fi
}

echo "=== fuzz: ${#targets[@]} targets, ${seconds}s each"
started=$(date +%s)
running=0
for t in "${targets[@]}"; do
  rm -f "$build/findings/$t"/* 2>/dev/null || true
  run_target "$t" &
  running=$((running + 1))
  if [ "$running" -ge "$(nproc)" ]; then wait -n || true; running=$((running - 1)); fi
done
wait

total_execs=0 total_findings=0
printf '%-10s %14s %8s %9s %8s %9s\n' target executions edges features corpus findings
for t in "${targets[@]}"; do
  log=$build/$t.log
  execs=$(sed -n 's/^stat::number_of_executed_units: *\([0-9]*\).*/\1/p' "$log" | tail -1)
  line=$(grep -E '^#[0-9]+' "$log" | grep -E 'cov:' | tail -1)
  edges=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$line")
  features=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$line")
  corpus=$(sed -n 's/.* corp: \([0-9]*\).*/\1/p' <<<"$line")
  found=$(find "$build/findings/$t" -type f | wc -l)
  printf '%-10s %14s %8s %9s %8s %9s\n' "$t" "${execs:-0}" "${edges:-?}" "${features:-?}" "${corpus:-?}" "$found"
  total_execs=$((total_execs + ${execs:-0}))
  total_findings=$((total_findings + found))
  if [ "$found" -gt 0 ]; then
    grep -hE 'FINDING|ERROR:|SUMMARY:|runtime error' "$log" | head -5 | sed 's/^/    /'
    find "$build/findings/$t" -type f | sed 's/^/    input: /'
  fi
done
printf '%-10s %14s %8s %9s %8s %9s\n' total "$total_execs" "" "" "" "$total_findings"
echo "wall time: $(( $(date +%s) - started ))s"
[ "$total_findings" -eq 0 ]
