#!/usr/bin/env bash
# End-to-end tests of apictl, alone and against the stand-in daemon apisim, in
# private IPC, mount and network namespaces: the host's queues, clock, console,
# interfaces and routes are never touched.
#   e2e.sh APICTL APISIM CLOCK_INTERPOSER
set -u
if [ -z "${APICTL_TEST_INSIDE:-}" ]; then  # skips (77) with the cause when it cannot
  exec env APICTL_TEST_INSIDE=1 bash "$(dirname "$0")/../../../scripts/private_ns.sh" --ipc --mount --net -- bash "$0" "$@"
fi

apictl=$1 apisim=$2 clock_so=$3
here=$(cd "$(dirname "$0")" && pwd)
ipc="python3 $here/ipc.py"
tmp=$(mktemp -d /tmp/apictl_test.XXXXXX)
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  umount /sbin/hwclock /dev/console 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT
# Under the sanitizer build the preloaded interposer comes before its runtime.
export ASAN_OPTIONS=${ASAN_OPTIONS:-}:verify_asan_link_order=0

failures=0 checks=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
check() { checks=$((checks + 1)); }

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

# ---- usage errors: status 2, one line on standard error, nothing on standard output
usage_cases=(
  "no_such_operation"
  "API_Video_SetFrequency 0"
  "API_Video_SetFrequency 0 1 2"
  "API_Video_SetFrequency 0 256"
  "API_Video_SetFrequency 0 12abc"
  "API_Video_SetFrequency 0 010x"
  "API_Video_SetCBRByteRate 0 0x"
  "API_Video_SetCBRByteRate 0 4294967296"
  "API_Motion_SetMask 0 1,2,x"
  "API_MOD_SetRecordSchedule 0 $(seq -s, 1 25)"
  "API_SET_POSITION 1,2,3,4"
  "parseRoutes 0g - -"
  "MORIK_SIZE_T 1"
  "--bogus API_Video_GetFrequency 0"
  "--timeout 0 API_Video_GetFrequency 0"
  "--timeout soon API_Video_GetFrequency 0"
  "list a b"
  "snapshot -c 0"
  "snapshot -c 300 -o $tmp/x.jpg"
  ""
)
for c in "${usage_cases[@]}"; do
  check
  # shellcheck disable=SC2086
  "$apictl" $c >"$tmp/out" 2>"$tmp/err"
  rc=$?
  [ $rc -eq 2 ] || fail "usage '$c': status $rc, not 2"
  [ -s "$tmp/out" ] && fail "usage '$c': wrote to standard output"
  [ -n "$c" ] && { [ "$(wc -l < "$tmp/err")" -eq 1 ] && grep -q '^apictl: ' "$tmp/err" ||
                   fail "usage '$c': not one 'apictl:' line on stderr: $(cat "$tmp/err")"; }
done

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

# ---- --timeout: the lock is free and the queues exist, but nobody serves
$ipc silent
for c in "API_Video_GetFrequency 0" "API_MOD_GetRecordList 0 - -" "--json API_VELDA_GetCameraName -"; do
  check
  # shellcheck disable=SC2086
  timeout 20 "$apictl" --timeout 0.3 $c >"$tmp/out" 2>"$tmp/err"
  rc=$?
  [ $rc -eq 3 ] || fail "timeout '$c': status $rc, not 3"
  grep -q 'no answer within 0.3 s' "$tmp/err" || fail "timeout '$c': says $(cat "$tmp/err")"
  [ "$($ipc lock)" = 1 ] || fail "timeout '$c': the lock was not given back"
done
python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); assert d["timeout"] and d["result"] == -1' "$tmp/out" ||
  fail "timeout: the JSON object does not say so"
# A lock that is never free: the wait itself is broken off, nothing is posted.
check
$ipc setlock 0
timeout 20 "$apictl" --timeout 0.2 API_Video_SetBrightness 0 1 >/dev/null 2>&1
rc=$?
[ $rc -eq 3 ] || fail "timeout on a held lock: status $rc"
[ "$($ipc lock)" = 0 ] || fail "timeout on a held lock: the lock was posted"
$ipc remove

# ---- against the stand-in
[ -x "$apisim" ] || { echo "FAIL: no apisim at $apisim"; exit 1; }
"$apisim" --state "$tmp/apisim.state" >"$tmp/apisim.out" 2>"$tmp/apisim.err" &
sim_pid=$!
for _ in $(seq 200); do grep -q '^apisim: serving (pid' "$tmp/apisim.out" && break; sleep 0.05; done
grep -q '^apisim: serving (pid' "$tmp/apisim.out" || { echo "FAIL: apisim did not start: $(cat "$tmp/apisim.err")"; exit 1; }

t() { timeout 30 "$apictl" --timeout 10 "$@"; }

# Every exported operation exits 0, called with arguments made from its
# signature unless the row below gives them; every call's JSON parses.
sem_snap=$(t SemSnapShotInit) sem_motion=$(t SemMotionHandleInit) sem_api=$(t SemAPIInit)
t SemSnapShotPost "$sem_snap" >/dev/null && t SemMotionHandlePost "$sem_motion" >/dev/null
# A route message: nlmsghdr (36 bytes, RTM_NEWROUTE), rtmsg (IPv4, main table,
# unicast) and an RTA_GATEWAY of 10.1.2.254.
route_msg=2400000018000000000000000000000002000000fe00000100000000080005000a0102fe
declare -A args=(
  [SemAPIGet]=$sem_api [SemAPIPost]=$sem_api [SemSnapShotGet]=$sem_snap [SemSnapShotPost]=$sem_snap
  [SemMotionHandleGet]=$sem_motion [SemMotionHandlePost]=$sem_motion
  [API_NET_GetState]="d0" [API_Net_GetIP]="- d0" [API_Net_GetNetMask]="- d0" [API_Net_GetMac]="- d0"
  [API_Net_GetGateWay]="- d0" [API_SNTP_Set_Date]="2024-03-07" [API_SNTP_Set_Time]="07:05:03"
  [API_SNTP_Set_Zone]="PST+8" [sntp_timezone]="5 - 0" [WriteLogFile]="$tmp/log.txt hello"
  [AuthSlim]="a:b:1 - - -" [API_MOD_SetRecordList]="1 2 1,2,3,4"
  [API_Net_SetNetConfig]="10.0.0.2 255.255.255.0 10.0.0.1" [parseRoutes]="$route_msg - -"
)
declare -A expect=(
  [API_Net_GetIP]=$'0\nip: 10.9.8.7' [API_Net_GetNetMask]=$'0\nnetmask: 255.255.255.0'
  [API_Net_GetGateWay]=$'0\ngateway: 10.9.8.1' [get_gateway]=$'0\ngateway: 10.9.8.1'
  [parseRoutes]=$'void\nrtInfo: 00000000000000000a0102fe00000000000000000000000000000000\ngateway: 10.1.2.254'
  [sntp_timezone]=$'0\nstr_GMT: PST+8' [AuthSlim]=$'void\nname: a\npass: b\nlevel: 1' [API_NET_GetState]=1
)
mkdir "$tmp/json"
called=0
while read -r line; do
  case $line in data\ *) name=${line##* }; name=${name%%\[*}; sig= ;; *) sig=${line#*(}; sig=${sig%)}; name=${line%%(*}; name=${name##* } ;; esac
  if [ -n "${args[$name]+set}" ]; then
    a=${args[$name]}
  else
    a=
    IFS=',' read -ra params <<< "$sig"
    for p in "${params[@]}"; do
      p=${p# }
      case $p in
        void|"") ;;
        *POSITION_T*|int\*\ *|unsigned\ char\*\ *) a+=" 1,2,3" ;;
        *char\*\ *) a+=" desk" ;;
        struct\ *) a+=" 00" ;;
        *) a+=" 1" ;;
      esac
    done
  fi
  pre=()
  case $name in API_SNTP_Set_*) pre=(env LD_PRELOAD="$clock_so" APICTL_CLOCK_LOG="$tmp/clock.log") ;; esac
  check
  called=$((called + 1))
  if [ "$name" = readNlSock ]; then
    # A netlink socket with a route dump asked for, handed to the operation.
    python3 - "$apictl" > "$tmp/json/$name" 2>"$tmp/err" <<'EOF'
import os, socket, struct, sys
s = socket.socket(socket.AF_NETLINK, socket.SOCK_RAW, 0)
s.bind((0, 0))
s.send(struct.pack("=IHHII", 28, 26, 0x301, 7, os.getpid()) + bytes([2]) + bytes(11))
os.set_inheritable(s.fileno(), True)
os.execv(sys.argv[1], [sys.argv[1], "--json", "readNlSock", str(s.fileno()), "-", "7", str(os.getpid())])
EOF
    rc=$?
  else
    # shellcheck disable=SC2086
    "${pre[@]}" timeout 30 "$apictl" --timeout 10 --json "$name" $a > "$tmp/json/$name" 2>"$tmp/err"
    rc=$?
    if [ -n "${expect[$name]+set}" ]; then
      # shellcheck disable=SC2086
      out=$("${pre[@]}" "$apictl" "$name" $a 2>&1)
      [ "$out" = "${expect[$name]}" ] || fail "$name:"$'\n'"$out"$'\n'"expected:"$'\n'"${expect[$name]}"
    fi
  fi
  [ $rc -eq 0 ] || fail "$name$a: status $rc: $(head -c 300 "$tmp/json/$name") $(head -c 300 "$tmp/err")"
done < <("$apictl" list)
[ $called -eq 375 ] || fail "list gave $called names, not 375"
python3 - "$tmp/json" <<'EOF' || fail "JSON output"
import json, os, sys
bad = 0
for name in sorted(os.listdir(sys.argv[1])):
    text = open(os.path.join(sys.argv[1], name)).read()
    try:
        d = json.loads(text)
        assert text.count("\n") == 1 and d["name"] == name and "result" in d and isinstance(d["outputs"], dict)
    except Exception as e:
        print("bad JSON from %s: %r (%s)" % (name, text[:200], e))
        bad += 1
sys.exit(bad > 0)
EOF
check
[ "$(grep -c '^[0-9]*$' "$tmp/clock.log" 2>/dev/null)" = 2 ] && [ "$(grep -c 'hwclock -w' "$tmp/hwclock.log")" -eq 2 ] ||
  fail "the clock setters did not reach the interposed clock and the stand-in hwclock"

# Values set through the tool come back through it, outputs printed after the result.
mask=$(seq -s, 101 148) sched=$(seq -s, 0 23)
round_trips=(
  "API_Video_SetBrightness 2 0x4d|1"                 "API_Video_GetBrightness 2|77"
  "API_Video_SetDeinterlace 1 2 9|1"                 "API_Video_GetDeinterlace 1 -|2 level: 9"
  "API_Video_SetQP 0 20 30|1"                        "API_Video_GetQP 0 - -|1 QP_I: 20 QP_P: 30"
  "API_VELDA_SetCameraName desk-cam|1"               "API_VELDA_GetCameraName -|0 name: desk-cam"
  "API_Net_HttpSetPort 8080|1"                       "API_Net_HttpGetPort|8080"
  "API_Motion_SetMask 3 $mask|1"                     "API_Motion_GetMask 3 -|0 mask: $mask"
  "API_MOD_SetRecordSchedule 1 $sched|1"             "API_MOD_GetRecordSchedule 1 -|0 Schedule: $sched"
  "API_EVENT_SetMotionRegion 0 2 10 20 30 40|1"      "API_EVENT_GetMotionRegion 0 2 - - - -|0 Lx: 10 Ly: 20 Rx: 30 Ry: 40"
  "API_USER_SetAddUser 2 alice s3cret|1"             "API_USER_GetUserInfoByName alice - -|0 Level: 2 Password: s3cret"
  "API_MOD_SetRecordList 0 3 1,2,3,4,5,6|1"          "API_MOD_GetRecordList 0 - -|1 RecordCount: 3 RecordList: 1,2,3,4,5,6"
)
for rt in "${round_trips[@]}"; do
  check
  # shellcheck disable=SC2086
  out=$(t ${rt%%|*} 2>&1 | tr '\n' ' ')
  [ "${out% }" = "${rt#*|}" ] || fail "${rt%%|*}: '${out% }', expected '${rt#*|}'"
done

# The snapshot: a whole JPEG of the byte count the tool reports.
check
out=$(t snapshot -c 1 -o "$tmp/snap.jpg")
n=$(stat -c %s "$tmp/snap.jpg" 2>/dev/null || echo 0)
[ "$out" = "snapshot of channel 1: $n bytes written to $tmp/snap.jpg" ] && [ "$n" -gt 200 ] &&
  [ "$(head -c 2 "$tmp/snap.jpg" | od -An -tx1 | tr -d ' ')" = ffd8 ] &&
  [ "$(tail -c 2 "$tmp/snap.jpg" | od -An -tx1 | tr -d ' ')" = ffd9 ] || fail "snapshot: '$out', $n bytes"

check
[ "$($ipc lock)" = 1 ] || fail "the lock is not free after the run"
kill -TERM "$sim_pid"
wait "$sim_pid"
rc=$?
sim_pid=
[ $rc -eq 0 ] || fail "apisim exited $rc on SIGTERM"

echo "$checks checks, $failures failures"
[ $failures -eq 0 ]
