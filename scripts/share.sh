#!/usr/bin/env bash
# Prints the tests' share of the code base, by one rule:
#   lines = cloc's code lines (no blanks, no comments) of the files git tracks;
#   tests = every file whose only job is testing: anything under a tests/,
#           test/, fuzz/ or soak/ folder, .ci/, and the test scripts under
#           scripts/ (test command, checks, Malta run, namespaces, fuzzing,
#           coverage, memcheck, load run, counting);
#   data  = the fuzz corpus and regressions, testdata/, reference outputs
#           (*.expected), Markdown, JSON and the like: counted apart, never as code;
#   code  = the rest (the benchmark aside).
#   scripts/share.sh [--line]    --line: only "tests N / code base N = P%"
# The project's before-stop hook classifies the files the same way.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v cloc >/dev/null || { echo "share: cloc is not installed" >&2; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
data_re='(^|/)(corpus|regressions|testdata)/|\.(md|expected|supp|json|txt|jpg|png|pem|crt|key)$|^\.gitignore$'
test_re='(^|/)(tests?|fuzz|soak)/|^\.ci/|^scripts/(test|check_|malta|private_ns|with_apisim|consumers|build_host_apisim|coverage|valgrind|soak|fuzz|count_results|share)'
git ls-files > "$tmp/tracked"
grep -E "$data_re" "$tmp/tracked" > "$tmp/data" || true
grep -vE "$data_re" "$tmp/tracked" > "$tmp/all" || true
grep -E "$test_re" "$tmp/all" > "$tmp/tests" || true
grep -vE '^bench/|_bench\.' "$tmp/all" | grep -vxFf "$tmp/tests" > "$tmp/code" || true
lines() {  # code lines of the files listed in $1
  [ -s "$1" ] || { echo 0; return; }
  cloc --quiet --csv --list-file="$1" --force-lang="C++",def --force-lang=C,map --lang-no-ext="Bourne Shell" 2>/dev/null |
    awk -F, '$2 == "SUM" { print $5; found = 1 } END { if (!found) print 0 }'
}
t=$(lines "$tmp/tests") c=$(lines "$tmp/code")
share=$((100 * t / (t + c)))
if [ "${1:-}" = --line ]; then
  echo "tests $t / code base $((t + c)) = $share%"
  exit 0
fi
echo "code (product)        $c lines"
echo "tests                 $t lines"
echo "data apart            $(wc -l < "$tmp/data") files (corpus, regressions, reference outputs, docs)"
echo "share: tests $t / code base $((t + c)) = $share% (aim: a third; at most 40%)"
