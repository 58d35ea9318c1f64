#!/usr/bin/env bash
# End-to-end tests of apisim's control channel with the apictl built here:
# fault rules seen through the library, monitors (two at once, a stalled one,
# one whose apisim goes away), hostile requests and the clients' exit
# statuses. In private IPC and network namespaces.
#   control_e2e.sh APICTL APISIM
set -u
. "$(dirname "$0")/../../apictl/tests/fixture.sh" --ipc --net -- "$@"
apictl=$1 apisim=$2

expect() {  # STATUS ARGS...: apictl ARGS ends with STATUS
  local want=$1; shift
  check; run "$@"
  [ "$rc" -eq "$want" ] || fail "apictl $*: status $rc, not $want ($(cat "$tmp/err"))"
}
# Waits (bounded) until N monitors are attached.
monitors_attached() {
  for _ in $(seq 2000); do
    "$apictl" sim list 2>/dev/null | grep -q "^monitors attached: $1\$" && return 0
    sleep 0.05
  done
  fail "never $1 monitors attached"
}
# A client of the channel written apart from apictl: the protocol as documented.
raw_client() {
  python3 - "$@" <<'EOF'
import os, socket, sys, time
name = b"\0apisim-control-%d" % os.stat("/proc/self/ns/ipc").st_ino
s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
s.connect(name)
mode = sys.argv[1]
if mode == "send":            # one packet (given as a Python bytes literal), print the answer
    s.send(eval(sys.argv[2]))
    s.settimeout(10)
    print(b"".join(iter(lambda: s.recv(65536), b"")).decode(errors="replace"), end="")
elif mode == "stall":          # a monitor that never reads until told to
    s.send(b"text\0monitor\0")
    while not os.path.exists(sys.argv[2]):
        time.sleep(0.05)
    s.settimeout(1)
    try:
        while True:
            sys.stdout.buffer.write(s.recv(65536))
    except socket.timeout:
        pass
EOF
}

# The scenarios of control_e2e.expected (its first lines say how they run):
# what they print must be the reviewed transcript, line for line. Then the
# README must show apisim's factory table.
transcript() {
  local line
  while IFS= read -r line; do
    case $line in
      '$ '*) printf '%s\n' "$line"; eval "run ${line#\$ }"; awk '{ sub(/^[^ ]+==[0-9]+:.*/, "[library trace line]") } 1' "$tmp/out"
             grep -E '^(apictl|usage)' "$tmp/err"
             [ "$rc" -eq 0 ] || echo "[status $rc]" ;;
      '! '*) printf '%s\n' "$line"; eval "${line#! }" ;;
      '#'*|'') printf '%s\n' "$line" ;;
    esac
  done <"$1" >"$tmp/transcript"
  check; diff -u "$1" "$tmp/transcript" || fail "the transcript differs from ${1##*/}"
}
# Two monitors from here on: every line, and one with a pattern.
start_monitors() {
  "$apictl" --json monitor >"$tmp/mon_all.json" 2>"$tmp/mon_all.err" &
  mon_all=$!; background+=("$mon_all")
  "$apictl" monitor brightness >"$tmp/mon_bright.txt" 2>"$tmp/mon_bright.err" &
  mon_bright=$!; background+=("$mon_bright")
  monitors_attached 2
}
trace() {  # apisim's trace so far, once it has the line given
  for _ in $(seq 2000); do grep -qF "$1" "$tmp/apisim.out" && break; sleep 0.05; done
  tail -n +2 "$tmp/apisim.out"
}
echo fromfile >"$tmp/pw"
transcript "$(dirname "$0")/control_e2e.expected"
check; "$apisim" --defaults >"$tmp/defaults" && [ "$(wc -l <"$tmp/defaults")" -gt 40 ] &&
  python3 -c 'import sys; sys.exit(open(sys.argv[1]).read() not in open(sys.argv[2]).read())' "$tmp/defaults" \
    "$(dirname "$0")/../../../README.md" || fail "README.md lacks the table of apisim --defaults"

# delay: answered, and not before the delay passed; too late for a shorter --timeout
expect 0 sim delay Video_GetBrightness 600ms
check
start_ns=$(date +%s%N)
run API_Video_GetBrightness 0
elapsed_ms=$(( ($(date +%s%N) - start_ns) / 1000000 ))
[ "$rc" -eq 0 ] && [ "$(cat "$tmp/out")" = 78 ] || fail "delayed get: status $rc, $(cat "$tmp/out")"
[ "$elapsed_ms" -ge 600 ] || fail "delayed get answered after $elapsed_ms ms, before 600"
expect 3 --timeout 0.2 API_Video_GetBrightness 0
# Clearing the rule cuts a delay under way short.
expect 0 sim delay Video_GetBrightness 60s
"$apictl" API_Video_GetBrightness 0 >"$tmp/long.out" 2>&1 &
long=$!
sleep 0.3
expect 0 sim clear Video_GetBrightness
check; timeout 100 tail --pid="$long" -f /dev/null && wait "$long" || fail "a cleared delay still holds the answer"
expect 0 API_Video_GetBrightness 0

# ---- the monitors' lines: one per transaction, with the caller's pid
"$apictl" API_Video_SetBrightness 1 33 >/dev/null & caller1=$!; wait $caller1
"$apictl" API_Video_GetBrightness 1 >/dev/null & caller2=$!; wait $caller2
expect 0 sim drop API_Video_GetContrast
"$apictl" --timeout 0.3 API_Video_GetContrast 2 >/dev/null 2>&1 & caller3=$!; wait $caller3
expect 0 sim clear
"$apictl" API_MOD_SetRecordList 2 2 1,2,3,4 >/dev/null & caller4=$!; wait $caller4
# bounded waits for the last lines of both monitors
for _ in $(seq 2000); do grep -q 'channel=1) -> 33' "$tmp/mon_bright.txt" &&
  [ "$(grep -c "\"pid\":$caller4," "$tmp/mon_all.json")" -eq 2 ] && break; sleep 0.05; done
check; python3 - "$tmp/mon_all.json" "$caller1" "$caller2" "$caller3" "$caller4" <<'EOF' || fail "JSON monitor lines"
import json, re, sys
lines = [json.loads(l) for l in open(sys.argv[1])]
pids = [int(p) for p in sys.argv[2:]]
want = [
    ("API_Video_SetBrightness", 150, pids[0], "channel=1, Brightness=33", "stored", None),
    ("API_Video_GetBrightness", 151, pids[1], "channel=1", "33", None),
    ("API_Video_GetContrast", 153, pids[2], "channel=2", "no answer", "drop"),
    ("API_MOD_SetRecordList (header)", 259, pids[3], "channel=2, RecordCount=2", "RecordCount set", None),
    ("API_MOD_SetRecordList (chunk)", 257, pids[3], "channel=2, index=0", "2 records stored", None),
]
# the five transactions, in order, among the last lines (sim commands make none)
got = [l for l in lines if l.get("pid") in pids]
assert len(got) == 5, got
for l, (name, command, pid, request, result, rule) in zip(got, want):
    assert l["name"] == name and l["command"] == command and l["pid"] == pid, l
    assert l["request"] == request and l["result"].startswith(result), l
    assert l.get("rule") == rule, l
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}", l["time"]), l
EOF
check
grep -v -i brightness "$tmp/mon_bright.txt" && fail "the pattern monitor printed other names"
check; grep -Eq "^[0-9T:.-]+ $caller2 API_Video_GetBrightness\(channel=1\) -> 33\$" "$tmp/mon_bright.txt" ||
  fail "text monitor line: $(tail -2 "$tmp/mon_bright.txt")"

# --count: stops after N lines, status 0
"$apictl" monitor --count 3 >"$tmp/count.txt" 2>&1 &
counted=$!
monitors_attached 3
for i in 1 2 3 4; do "$apictl" API_Video_GetHue 0 >/dev/null; done
check; timeout 10 tail --pid="$counted" -f /dev/null; wait "$counted"; rc=$?
[ "$rc" -eq 0 ] && [ "$(wc -l <"$tmp/count.txt")" -eq 3 ] || fail "monitor --count 3: status $rc, $(wc -l <"$tmp/count.txt") lines"

# SIGINT ends a monitor with status 0
"$apictl" monitor >/dev/null 2>&1 &
interrupted=$!
monitors_attached 3
kill -INT "$interrupted"
check; timeout 10 tail --pid="$interrupted" -f /dev/null; wait "$interrupted"; rc=$?
[ "$rc" -eq 0 ] || fail "monitor after SIGINT: status $rc"

# ---- a stalled monitor (never reads) does not block apisim: a bounded run of
# transactions (20 record lists of 4096 set and read back, 343 transactions
# each way) completes, the other monitor gets every line, and the stalled one,
# once it reads, is told how many it lost.
list=$(seq -s, 1 8192) total=$((20 * 686))
raw_client stall "$tmp/go" >"$tmp/stalled.txt" &
stalled=$!; background+=("$stalled")
monitors_attached 3
for _ in $(seq 20); do
  check; timeout 120 "$apictl" API_MOD_SetRecordList 3 4096 "$list" >/dev/null || fail "record list set"
  check; timeout 120 "$apictl" API_MOD_GetRecordList 3 - - | grep -qxF "RecordList: $list" || fail "record list get"
done
run_lines() { grep -Ec '"request":"channel=3[,"]' "$tmp/mon_all.json"; }
for _ in $(seq 2000); do [ "$(run_lines)" -ge $total ] && break; sleep 0.05; done
check; got=$(run_lines)
[ "$got" -eq $total ] || fail "the reading monitor got $got lines of $total"
touch "$tmp/go"
sleep 0.5
"$apictl" API_Video_GetHue 0 >/dev/null
check; timeout 10 tail --pid="$stalled" -f /dev/null; wait "$stalled"
lost=$(sed -n 's/.* - monitor: \([0-9]*\) lines lost.*/\1/p' "$tmp/stalled.txt")
kept=$(grep -Ec '\(channel=3[,)]' "$tmp/stalled.txt")
echo "stalled monitor: $kept lines kept, ${lost:-0} lost"
[ -n "$lost" ] && [ $((kept + lost)) -eq $total ] || fail "stalled monitor: kept $kept + lost ${lost:-none} is not $total"
check; tail -1 "$tmp/stalled.txt" | grep -q 'API_Video_GetHue' || fail "stalled monitor: no line after the notice"

# ---- apisim goes away: the monitors end with status 3 and say so
stop_sim TERM
check; [ "$rc" -eq 0 ] || fail "apisim ended with status $rc: $(tail -3 "$tmp/apisim.err")"
for m in "$mon_all" "$mon_bright"; do
  check; timeout 10 tail --pid="$m" -f /dev/null; wait "$m"; rc=$?
  [ "$rc" -eq 3 ] || fail "monitor after apisim stopped: status $rc"
done
check; grep -q 'apisim went away' "$tmp/mon_all.err" || fail "monitor: $(cat "$tmp/mon_all.err")"
background=()
finish
