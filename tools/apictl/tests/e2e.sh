#!/usr/bin/env bash
# End-to-end tests of apictl, alone and against the stand-in daemon apisim, in
# private IPC, mount and network namespaces: the host's queues, clock, console,
# interfaces and routes are never touched. The commands and what they must
# print are the reviewed transcript e2e.expected.
#   e2e.sh APICTL APISIM CLOCK_INTERPOSER STUBBORN_RECEIVE PROVIDER PROVIDER_SYMBOLIC APISIM_PROVIDER
# The bash completion is expected beside APICTL. A cross build runs under its
# emulator (fixture.sh), the preloaded libraries built for the target too.
set -u
. "$(dirname "$0")/fixture.sh" --ipc --mount --net -- "$@"
apictl=$1 apisim=$2 clock_so=$3 stubborn_so=$4 provider=$5 provider_symbolic=$6 apisim_provider=$7
here=$(cd "$(dirname "$0")" && pwd)
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

# The transcript's helpers.
ipc() { python3 "$here/ipc.py" "$@"; }
long() { printf "%${1}s" "" | tr ' ' "${2:-u}"; }
# complete_words WORD...: the completion's words, as bash asks for them.
complete_words() {
  PATH=${apictl%/*}:$PATH bash -c \
    'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _apictl; printf "%s\n" "${COMPREPLY[@]}"' \
    _ "$completion" "$@" 2>&1
}
hold_lock() {  # the lock taken by a process that goes on running (shown as HOLDER)
  python3 "$here/ipc.py" hold > "$tmp/holder" &
  background+=($!) masks+=(-e "s/pid $!;/pid HOLDER;/")
  while kill -0 $! 2>/dev/null && ! grep -qs held "$tmp/holder"; do sleep 0.05; done
}
# snapshot_of ARGS... -o FILE: the snapshot command, its byte count shown as N
# when it is FILE's size, FILE a whole JPEG of more than 200 bytes.
snapshot_of() {
  apictl "$@" > "$tmp/said" 2>/dev/null || return
  local file=${*: -1} n
  n=$(stat -c %s "$file")
  sed "s/: $n bytes/: N bytes/" "$tmp/said"
  [ "$n" -gt 200 ] && [ "$(head -c 2 "$file" | od -An -tx1)" = " ff d8" ] &&
    [ "$(tail -c 2 "$file" | od -An -tx1)" = " ff d9" ] || echo "not a whole JPEG"
}
masks+=(-E -e 's/pid [0-9]+, which/pid N, which/' -e 's/^apictl [0-9]+\.[0-9]+\.[0-9]+$/apictl X.Y.Z/')
# Under an emulator, this machine's programs around the target's apictl
# (timeout, the wrapper, stat...) cannot load a preloaded library of the target.
masks+=(-e '/^! ERROR: ld.so: object .* from LD_PRELOAD cannot be preloaded/d')
transcript "$here/e2e.expected"

# The listed signatures are the header's declarations, all 375 names once.
check
apictl list | python3 -c '
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
# list --json: the reviewed facts of a few names (sizes, ranges, commands,
# reply kinds), and every name once.
check
apictl list --json > "$tmp/list.json"
python3 - "$tmp/list.json" "$here/list.expected.jsonl" <<'PY' || fail "list --json"
import json, sys
by_name = {e["name"]: e for e in json.load(open(sys.argv[1]))}
bad = [w["name"] for w in map(json.loads, open(sys.argv[2])) if by_name.get(w["name"]) != w]
print("differ from list.expected.jsonl:", bad) if bad else None
sys.exit(1 if bad or len(by_name) != 375 else 0)
PY
finish
