#!/usr/bin/env bash
# End-to-end tests of apictl, alone and against the stand-in daemon apisim, in
# private IPC, mount and network namespaces: the host's queues, clock, console,
# interfaces and routes are never touched.
#   e2e.sh APICTL APISIM CLOCK_INTERPOSER STUBBORN_RECEIVE PROVIDER PROVIDER_SYMBOLIC APISIM_PROVIDER
# The bash completion is expected beside APICTL. A cross build runs under its
# emulator (fixture.sh), the preloaded libraries built for the target too.
set -u
. "$(dirname "$0")/fixture.sh" --ipc --mount --net -- "$@"
apictl=$1 apisim=$2 clock_so=$3 stubborn_so=$4 provider=$5 provider_symbolic=$6 apisim_provider=$7
here=$(cd "$(dirname "$0")" && pwd)
ipc="python3 $here/ipc.py"
completion=${apictl%/*}/apictl.bash-completion
emulate
on_exit='umount /sbin/hwclock /dev/console 2>/dev/null'
# The clock setters run /sbin/hwclock and the time get writes /dev/console:
# both are files of this test here (bind mounts of this namespace only).
printf '#!/bin/sh\necho "hwclock $*" >> %s/hwclock.log\n' "$tmp" > "$tmp/hwclock"
chmod 755 "$tmp/hwclock"
: > "$tmp/console"
mount --bind "$tmp/hwclock" /sbin/hwclock && mount --bind "$tmp/console" /dev/console ||
  { echo "cannot replace /sbin/hwclock and /dev/console"; exit 1; }
# One interface with an address and a default route, for the local operations.
ip link set lo up && ip link add d0 type veth peer name pd0 && ip addr add 10.9.8.7/24 dev d0 &&
  ip link set d0 up && ip route add default via 10.9.8.1 || { echo "cannot set up the test network"; exit 1; }

# ---- usage errors: status 2, one "apictl:" line on standard error saying
# what is wrong, nothing on standard output. Nothing here reaches a daemon
# (there is none: a check that came too late would give status 3).
long() { printf "%${1}s" "" | tr ' ' "${2:-u}"; }
mask47=$(seq -s, 1 47)
usage_cases=(
  "no_such_operation|unknown operation 'no_such_operation'"
  "API_DDNS_SetDDNSServer x|did you mean.*API_DDNS_SetDDNSSever"
  "video_gethu 0|did you mean API_Video_GetHue"
  "api_mod_getsdwritecount|ambiguous: API_MOD_GetSdWriteCount or API_MOD_GetSdwriteCount"
  "API_Video_SetFrequency 0|expects 2 arguments \(unsigned char channel, unsigned char frequency\), got 1"
  "API_Video_SetFrequency 0 1 2|got 3"
  "API_Video_SetFrequency 0 256|argument 2 \(frequency\): 256 is out of range: unsigned char takes 0 to 255"
  "API_Video_SetFrequency -1 1|-1 is out of range: unsigned char takes 0 to 255"
  "API_Video_SetFrequency 0 12abc|not an integer: '12abc'"
  "API_Video_SetFrequency 0 010x|not an integer"
  "API_Video_SetCBRByteRate 0 0x|not an integer: '0x'"
  "API_Video_SetCBRByteRate 0 2147483648|int takes -2147483648 to 2147483647"
  "API_Video_SetCBRByteRate 0 -2147483649|out of range"
  "API_Video_SetCBRByteRate 0 0x100000000|out of range"
  "API_Video_SetHue 0 -9223372036854775808|-9223372036854775808 is out of range"
  "API_Video_SetHue 0 184467440737095516160000|out of range"
  "API_SMTP_Set_Authentication 256|-128 to 255 \(the request carries it as one byte\)"
  "API_Motion_SetMask 0 1,2,3|expects 48 comma-separated integers \(0 to 255\), got 3"
  "API_Motion_SetMask 0 $mask47,x|not an integer: 'x'"
  "API_Motion_SetMask 0 $mask47,256|256 is out of range"
  "API_MOD_SetRecordSchedule 0 $(seq -s, 1 25)|expects 24 comma-separated"
  "API_SET_POSITION 1,2|expects count,A,B: 3 comma-separated integers .*got 2"
  "API_SET_POSITION 1,2,3,4|got 4"
  "API_MOD_SetRecordList 0 3 10,20|expects 2 x RecordCount = 6 comma-separated integers .*got 2"
  "API_MOD_SetRecordList 0 4097 1|4097 is out of range: 0 to 4096 \(the records RecordList holds\)"
  "API_MOD_SetRecordList 0 -1 -|out of range: 0 to 4096"
  "API_SMTP_Set_User $(long 300)|300 bytes do not fit the daemon's field of 128 bytes \(at most 127"
  "API_SMTP_Set_User $(long 128)|128 bytes do not fit the daemon's field of 128 bytes"
  "API_DDNS_SetDDNSSever $(long 64)|field of 64 bytes"
  "API_PPPOE_SetRoad 12345678|field of 8 bytes"
  "API_SNTP_Set_Zone $(long 64)|field of 64 bytes"
  "API_Net_FTPContextPut $(long 2018)|2018 bytes do not fit a request's text of 2018 bytes"
  "API_SMTP_Send_Text $(long 64) x|field of 64 bytes"
  "API_USER_SetAddUser 2 a:b pw|argument 2 \(User\): may not contain ':' \(the credential text uses it"
  "API_USER_SetAddUser 2 a pw:x|argument 3 \(Password\): may not contain ':'"
  "API_USER_Modify 1 2 u p:w|may not contain ':'"
  "API_USER_SetChangePassword a,b pw|may not contain ','"
  "API_Net_SetNetConfig 1,2 255.0.0.0 1.1.1.1|may not contain ','"
  "API_SMTP_Send_Attach $(long 1010) $(long 1010) x|the request text would be 2023 characters; a request carries at most 2016"
  "parseRoutes ffffffff0000000000000000000000000200000000000000 - -|nlmsg_len \(4294967295\) is more than the 24 bytes given"
  "parseRoutes 1d0000000000000000000000000000000200000000000000 - -|nlmsg_len \(29\) is more than the 24 bytes given"
  "parseRoutes 0g - -|hexadecimal"
  "parseRoutes 0010 - -|16-byte header"
  "MORIK_SIZE_T 1|expects 0 arguments"
  "--bogus API_Video_GetFrequency 0|unknown option '--bogus'"
  "--timeout -1 API_Video_GetFrequency 0|bad --timeout '-1'"
  "--timeout soon API_Video_GetFrequency 0|bad --timeout 'soon'"
  "--timeout=nan API_Video_GetFrequency 0|bad --timeout 'nan'"
  "list a b|one pattern at most"
  "snapshot -c 0|-o FILE is required"
  "snapshot -c 300 -o $tmp/x.jpg|-c takes a channel from 0 to 255"
)
for case in "${usage_cases[@]}"; do
  check
  c=${case%%|*} want=${case#*|}
  # shellcheck disable=SC2086
  run $c
  [ $rc -eq 2 ] || fail "usage '${c:0:80}': status $rc, not 2"
  [ -s "$tmp/out" ] && fail "usage '${c:0:80}': wrote to standard output"
  [ "$(wc -l < "$tmp/err")" -eq 1 ] && grep -q '^apictl: ' "$tmp/err" ||
    fail "usage '${c:0:80}': not one 'apictl:' line on stderr: $(head -c 300 "$tmp/err")"
  grep -qE -- "$want" "$tmp/err" || fail "usage '${c:0:80}': says '$(head -c 300 "$tmp/err")', not /$want/"
done
check
run
[ $rc -eq 2 ] && [ ! -s "$tmp/out" ] && grep -q '^usage: apictl' "$tmp/err" || fail "no arguments: status $rc"

# ---- --version and the completion
check
run --version
[ $rc -eq 0 ] && grep -qxE 'apictl [0-9]+\.[0-9]+\.[0-9]+' "$tmp/out" || fail "--version: $rc $(cat "$tmp/out")"
# The completion, asked as bash asks it.
complete_words() {
  PATH=${apictl%/*}:$PATH bash -c \
    'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _apictl; printf "%s\n" "${COMPREPLY[@]}"' \
    _ "$completion" "$@" 2>&1
}
completion_cases=(
  "apictl --|--json --timeout --help --version"
  "apictl API_Video_GetH|API_Video_GetHue"
  "apictl li|list"
  "apictl list -|-v --json"
  "apictl --json sim d|delay drop"
  "apictl snapshot -|-c -o"
)
for case in "${completion_cases[@]}"; do
  check
  # shellcheck disable=SC2086
  got=$(complete_words ${case%%|*} | sort | tr '\n' ' ')
  want=$(tr ' ' '\n' <<< "${case#*|}" | sort | tr '\n' ' ')
  [ "$got" = "$want" ] || fail "completion of '${case%%|*}': '$got', expected '$want'"
done
check
[ "$(complete_words apictl "" | grep -c .)" -eq 382 ] || fail "completion of the first word: not the 375 names and 7 commands"
check
touch "$tmp/snapshot-file.jpg"
[ "$(complete_words apictl snapshot -o "$tmp/snapshot-f")" = "$tmp/snapshot-file.jpg" ] || fail "completion of snapshot -o FILE"

# ---- the listed signatures are the header's declarations, all 375 names once
check
"$apictl" list | python3 -c '
import re, sys
header = re.sub(r"/\*.*?\*/", " ", open(sys.argv[1]).read(), flags=re.S)
decls = [re.sub(r"\s+", " ", d).strip() for d in header.split(";")]
listed = [l.strip() for l in sys.stdin]
bad = 0
for l in listed:
    want = l[5:] if l.startswith("data ") else l
    if not any(d == want or d.endswith(" " + want) for d in decls):
        print("not declared so in the header:", l)
        bad += 1
names = {re.match(r".*?(\w+)[(\[]", l).group(1) for l in listed}
sys.exit(1 if bad or len(listed) != 375 or len(names) != 375 else 0)
' "$here/../../../app/api_arch.h" || fail "apictl list against the header"

# ---- list --json: a reviewed expectation of a few names (sizes, ranges,
# commands, reply kinds), and every name once
check
"$apictl" list --json > "$tmp/list.json"
python3 - "$tmp/list.json" "$here/list.expected.jsonl" <<'EOF' || fail "list --json"
import json, sys
by_name = {e["name"]: e for e in json.load(open(sys.argv[1]))}
bad = [w["name"] for w in map(json.loads, open(sys.argv[2])) if by_name.get(w["name"]) != w]
print("differ from list.expected.jsonl:", bad) if bad else None
sys.exit(1 if bad or len(by_name) != 375 else 0)
EOF

# ---- no control daemon: status 3 at once (no timer: --timeout 0), nothing created
check
run --timeout 0 API_Video_GetFrequency 0
[ $rc -eq 3 ] && grep -qx 'apictl: API_Video_GetFrequency: no control daemon: the queues do not exist (is apisim running?)' "$tmp/err" ||
  fail "no daemon: status $rc: $(cat "$tmp/err")"
$ipc absent || fail "no daemon: apictl created IPC objects"
check
run --json --timeout 0 API_Video_GetFrequency 0
python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); assert d["result"] is None and d["timeout"] is False and "no control daemon" in d["error"]' "$tmp/out" ||
  fail "no daemon, --json: $(cat "$tmp/out")"
check
run --timeout 0 snapshot -o "$tmp/x.jpg"
[ $rc -eq 3 ] && grep -q 'snapshot: no control daemon' "$tmp/err" || fail "no daemon, snapshot: status $rc"
check
run --timeout 0 sntp_timezone 5 - 0   # local operations need no daemon
[ $rc -eq 0 ] || fail "a local operation without a daemon: status $rc"

# ---- waiting: the queues and the lock are there, nobody serves
$ipc silent
for c in "--timeout 0.3 API_Video_GetFrequency 0" "--timeout=0.3 API_MOD_GetRecordList 0 - -" \
         "--timeout 0.3 --json API_VELDA_GetCameraName -"; do
  check
  # shellcheck disable=SC2086
  run $c
  [ $rc -eq 3 ] || fail "no answer '$c': status $rc, not 3"
  grep -q ': no answer within 0.3 s$' "$tmp/err" || fail "no answer '$c': says $(cat "$tmp/err")"
  [ "$($ipc lock)" = 1 ] || fail "no answer '$c': the lock was not given back"
done
python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); assert d["timeout"] is True and d["result"] == -1 and "no answer" in d["error"]' \
  "$tmp/out" || fail "no answer: the JSON object does not say so: $(cat "$tmp/out")"
check  # a call that never returns on its own is ended with the process, the lock undone
LD_PRELOAD=$stubborn_so run --json --timeout 0.3 API_Video_GetBrightness 0
[ $rc -eq 3 ] && grep -q 'no answer within 0.3 s; the call did not return' "$tmp/err" && [ "$($ipc lock)" = 1 ] &&
  python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); assert d["timeout"] is True and "did not return" in d["error"]' "$tmp/out" ||
  fail "a call that does not return: status $rc: $(cat "$tmp/err" "$tmp/out")"
check  # the default timeout
run API_Video_GetBrightness 0
[ $rc -eq 3 ] && grep -q 'no answer within 10 s$' "$tmp/err" || fail "default timeout: status $rc: $(cat "$tmp/err")"
check  # --timeout 0 waits as long as it takes
timeout 1 "$apictl" --timeout 0 API_Video_GetBrightness 0 >/dev/null 2>&1
rc=$?
[ $rc -eq 124 ] || fail "--timeout 0: status $rc, not still waiting"
check  # the lock held by a process that runs
$ipc hold > "$tmp/holder" &
holder_pid=$!; background+=($holder_pid)
for _ in $(seq 100); do grep -q held "$tmp/holder" && break; sleep 0.05; done
run --timeout 0.3 API_Video_SetBrightness 0 1
[ $rc -eq 3 ] && grep -q "the API lock is held by pid $holder_pid; gave up after 0.3 s" "$tmp/err" ||
  fail "lock held: status $rc: $(cat "$tmp/err")"
kill "$holder_pid"; wait "$holder_pid" 2>/dev/null; background=()
check  # the lock left taken by a process that is gone
$ipc setlock 0
run --timeout 0.3 API_Video_SetBrightness 0 1
[ $rc -eq 3 ] && grep -qE "the API lock is held by pid [0-9]+, which no longer runs" "$tmp/err" &&
  [ "$($ipc lock)" = 0 ] || fail "lock left taken: status $rc: $(cat "$tmp/err")"
$ipc setlock 1
check  # a call that returns on its own after the timer fired: a wait on a taken semaphore
sem=$("$apictl" SemSnapShotInit)
run --timeout 0.5 SemSnapShotGet "$sem"
[ $rc -eq 3 ] && grep -q 'SemSnapShotGet: no return within 0.5 s' "$tmp/err" || fail "SemSnapShotGet on a taken semaphore: status $rc"
check  # a snapshot without any state record says so
run snapshot -o "$tmp/x.jpg"
[ $rc -eq 1 ] && grep -q 'no shared state record: no provider of BufferEncode is loaded and the stand-in.s record (System V shared memory key 1688) is not there' "$tmp/err" ||
  fail "snapshot without a record: status $rc: $(cat "$tmp/err")"
$ipc remove

# ---- against the stand-in
start_sim --state "$tmp/apisim.state"

t() { timeout 30 "$apictl" "$@"; }

# Every exported name, with arguments made from what list --json says.
check
python3 "$here/call_all.py" "$apictl" "$tmp" "$clock_so" || fail "calling every name"
check
[ "$(grep -c '^[0-9]*$' "$tmp/clock.log" 2>/dev/null)" = 2 ] && [ "$(grep -c 'hwclock -w' "$tmp/hwclock.log")" -eq 2 ] ||
  fail "the clock setters did not reach the interposed clock and the stand-in hwclock"

# Values set through the tool come back through it, outputs printed after the result.
mask=$(seq -s, 101 148) sched=$(seq -s, 0 23)
round_trips=(
  "API_Video_SetBrightness 2 0x4d|1"                 "API_Video_GetBrightness 2|77"
  "video_setbrightness 1 5|1"                        "Video_GetBrightness 1|5"
  "API_Video_SetDeinterlace 1 2 9|1"                 "API_Video_GetDeinterlace 1 -|2 level: 9"
  "API_Video_SetQP 0 20 30|1"                        "API_Video_GetQP 0 - -|1 QP_I: 20 QP_P: 30"
  "API_VELDA_SetCameraName desk-cam|1"               "API_VELDA_GetCameraName -|0 name: desk-cam"
  "API_Net_HttpSetPort 8080|1"                       "API_Net_HttpGetPort|8080"
  "API_Motion_SetMask 3 $mask|1"                     "API_Motion_GetMask 3 -|0 mask: $mask"
  "API_MOD_SetRecordSchedule 1 $sched|1"             "API_MOD_GetRecordSchedule 1 -|0 Schedule: $sched"
  "API_EVENT_SetMotionRegion 0 2 10 20 30 40|1"      "API_EVENT_GetMotionRegion 0 2 - - - -|0 Lx: 10 Ly: 20 Rx: 30 Ry: 40"
  "API_USER_SetAddUser 2 alice s3cret|1"             "API_USER_GetUserInfoByName alice - -|0 Level: 2 Password: s3cret"
  "API_MOD_SetRecordList 0 3 1,2,3,4,5,6|1"          "API_MOD_GetRecordList 0 - -|1 RecordCount: 3 RecordList: 1,2,3,4,5,6"
  "API_MOD_SetRecordList 0 0 -|1"                    "API_MOD_GetRecordList 0 - -|1 RecordCount: 0 RecordList: "
  "API_SET_POSITION 1,-2,3|0"                        "API_GET_POSITION 1,0,0|0 Pos: 1,-2,3"
  "API_SMTP_Set_User $(long 127 x)|1"                "API_SMTP_Get_User -|0 name: $(long 127 x)"
  "API_PPPOE_SetRoad 1234567|1"                      "API_PPPOE_GetRoad -|0 road: 1234567"
)
for rt in "${round_trips[@]}"; do
  check
  # shellcheck disable=SC2086
  out=$(t ${rt%%|*} 2>&1 | tr '\n' ' ')
  [ "${out% }" = "${rt#*|}" ] || fail "${rt%%|*}: '${out% }', expected '${rt#*|}'"
done

# JSON text: valid UTF-8 as it is, every other byte as \udcXX, the exact bytes recoverable.
json_texts=("Kamera-Süd ✓" $'tab\there "quoted" back\\slash' $'a\xffb\xc3(\xe2\x82' $'\xed\xa0\x80 \xf4\x90\x80\x80 \xc0\xaf')
for name in "${json_texts[@]}"; do
  check
  t API_VELDA_SetCameraName "$name" >/dev/null
  t --json API_VELDA_GetCameraName - > "$tmp/name.json"
  python3 - "$tmp/name.json" "$name" <<'EOF' || fail "JSON of the text $(printf %q "$name"): $(cat "$tmp/name.json")"
import json, os, sys
raw = open(sys.argv[1], "rb").read()
want = os.fsencode(sys.argv[2])
raw.decode("utf-8")  # the JSON text itself is always valid UTF-8
text = json.loads(raw)["outputs"]["name"]
assert text.encode("utf-8", "surrogateescape") == want, (text, want)
try:
    want.decode("utf-8")
    assert b"\\u" not in raw  # valid UTF-8 passes through unescaped
except UnicodeDecodeError:
    assert b"\\udc" in raw
EOF
done

# The snapshot: a whole JPEG from the stand-in's record, of the byte count reported.
check
out=$(t snapshot -c 1 -o "$tmp/snap.jpg")
n=$(stat -c %s "$tmp/snap.jpg" 2>/dev/null || echo 0)
[ "$out" = "snapshot of channel 1: $n bytes written to $tmp/snap.jpg" ] && [ "$n" -gt 200 ] &&
  [ "$(head -c 2 "$tmp/snap.jpg" | od -An -tx1 | tr -d ' ')" = ffd8 ] &&
  [ "$(tail -c 2 "$tmp/snap.jpg" | od -An -tx1 | tr -d ' ')" = ffd9 ] || fail "snapshot: '$out', $n bytes"
check  # by name too, through the same record
t --json API_Video_SetJPGSnapShot 0 - > "$tmp/out" 2>/dev/null
python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); assert d["result"] > 200 and d["outputs"]["Buffer"] == d["result"]' "$tmp/out" ||
  fail "API_Video_SetJPGSnapShot by name: $(cat "$tmp/out")"
# A provider loaded with apictl comes first: one that stores into BufferEncode
# (apictl's own takes its place), one that keeps its own copy (-Bsymbolic),
# and the stand-in's own provider library.
for p in "$provider" "$provider_symbolic"; do
  check
  LD_PRELOAD=$p t snapshot -o "$tmp/fake.jpg" >/dev/null 2>"$tmp/err"
  [ "$(cat "$tmp/fake.jpg" 2>/dev/null)" = FAKE-JPEG ] || fail "snapshot with the provider ${p##*/}: $(cat "$tmp/err")"
done
check
LD_PRELOAD=$apisim_provider t snapshot -o "$tmp/provided.jpg" >/dev/null 2>"$tmp/err"
cmp -s "$tmp/provided.jpg" "$tmp/snap.jpg" || [ "$(head -c 2 "$tmp/provided.jpg" | od -An -tx1 | tr -d ' ')" = ffd8 ] ||
  fail "snapshot with the stand-in's provider: $(cat "$tmp/err")"

# The subcommands of the apisim control channel are reached, not taken for
# operations (their usage errors come at once; no monitor is left waiting).
for sub in "sim bogus" "monitor --bogus" "outbox now"; do
  check
  run $sub
  [ $rc -eq 2 ] && ! grep -q 'unknown operation' "$tmp/err" || fail "apictl $sub: status $rc, $(cat "$tmp/err")"
done

check
[ "$($ipc lock)" = 1 ] || fail "the lock is not free after the run"
stop_sim TERM
[ $rc -eq 0 ] || fail "apisim exited $rc on SIGTERM"
finish
