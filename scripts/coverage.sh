#!/usr/bin/env bash
# Line and branch coverage of the library's source unit (app/api_arch.cpp)
# from the test command's suites: builds the host variant with gcov
# instrumentation (no optimisation), runs every suite (the fuzz corpus replays
# and the short load run included), then prints gcovr's summary and the lines
# and branches left uncovered.
#   scripts/coverage.sh            (installs gcovr from Debian when run as root)
# API_ARCH_BUILD_DIR moves the build (default: build/); this one is <build>/coverage.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. scripts/common.sh
ensure_packages gcovr

dir=${API_ARCH_BUILD_DIR:-$root/build}/coverage
echo "=== coverage: configure and build ($dir)"
build_quietly "$dir.build.log" "$root" "$dir" -DCMAKE_BUILD_TYPE=Debug -DAPI_ARCH_BENCH=OFF \
  -DCMAKE_C_FLAGS=--coverage -DCMAKE_CXX_FLAGS=--coverage \
  -DCMAKE_EXE_LINKER_FLAGS=--coverage -DCMAKE_SHARED_LINKER_FLAGS=--coverage || exit 1
find "$dir" -name '*.gcda' -delete
echo "=== coverage: tests"
(cd "$dir" && ctest -j"$(nproc)" >"$dir.ctest.log" 2>&1) || { grep -E 'Failed|tests failed' "$dir.ctest.log"; exit 1; }
tail -1 "$dir.ctest.log" | sed 's/^/    /'
grep -E 'tests passed' "$dir.ctest.log" | sed 's/^/    /'

# The library's own source unit (the engine tests' build of it is the same source).
gcovr -r "$root" --filter "$root/app/api_arch.cpp" --exclude-unreachable-branches --exclude-throw-branches \
  --gcov-ignore-parse-errors --json -o "$dir/coverage.json" "$dir"
gcovr -r "$root" --filter "$root/app/api_arch.cpp" --exclude-unreachable-branches --exclude-throw-branches \
  --gcov-ignore-parse-errors --html-details "$dir/coverage.html" "$dir" >/dev/null || true
# The row builder (class Op) is folded at compile time into each ordinary
# operation: in every row its conditions are constants, so each row's copy of
# it takes one way only. Its branches are no run-time decisions and are left
# out of the branch figure (its lines still count); the figure with them
# is printed too.
python3 - "$dir/coverage.json" "$root/app/api_arch.cpp" <<'PY'
import json, sys
report, source = sys.argv[1], sys.argv[2]
lines_of_source = open(source).read().split("\n")
start = next(i for i, l in enumerate(lines_of_source, 1) if l.startswith("class Op {"))
end = next(i for i, l in enumerate(lines_of_source, 1) if i > start and l.startswith("};"))
data = next(f for f in json.load(open(report))["files"] if f["file"].endswith("app/api_arch.cpp"))
lines = [l for l in data["lines"] if not l.get("gcovr/noncode")]
run = [l for l in lines if l["count"] > 0]
branches = [(l["line_number"], b) for l in lines for b in l["branches"]]
kept = [(n, b) for n, b in branches if not start <= n <= end]
taken = lambda bs: sum(1 for _, b in bs if b["count"] > 0)
pct = lambda a, b: 100.0 * a / b if b else 100.0
print("    lines:    %.1f%% (%d of %d)" % (pct(len(run), len(lines)), len(run), len(lines)))
print("    branches: %.1f%% (%d of %d; the row builder, lines %d-%d, left out)"
      % (pct(taken(kept), len(kept)), taken(kept), len(kept), start, end))
print("    branches with the row builder's copies: %.1f%% (%d of %d)"
      % (pct(taken(branches), len(branches)), taken(branches), len(branches)))
def show(title, numbers):
    print("--- " + title)
    for n in numbers:
        print("    %5d  %s" % (n, lines_of_source[n - 1].strip()[:90]))
show("lines not run", [l["line_number"] for l in lines if l["count"] == 0])
missed = {}
for n, b in kept:
    if b["count"] == 0:
        missed[n] = missed.get(n, 0) + 1
print("--- branches not taken (line: how many)")
for n in sorted(missed):
    print("    %5d: %d  %s" % (n, missed[n], lines_of_source[n - 1].strip()[:84]))
PY
echo "details: $dir/coverage.html"
