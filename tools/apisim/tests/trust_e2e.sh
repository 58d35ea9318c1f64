#!/usr/bin/env bash
# apisim and apictl against a hostile or careless local user (uid 65534 by
# setpriv) on a desk where apisim runs as root: files read with the caller's
# rights, the control channel and the instance lock, the state files (what
# requests cannot carry: control_e2e.expected). Private IPC, network and mount
# namespaces.   trust_e2e.sh APICTL APISIM
set -u
. "$(dirname "$0")/../../apictl/tests/fixture.sh" --ipc --mount --net -- "$@"
apictl=$1 apisim=$2 t=$tmp
on_exit='umount "$t/disk" 2>/dev/null'
ip link set lo up
# The test servers' and peers' lines are read while they run.
export PYTHONUNBUFFERED=1
# uid 65534 runs copies of apictl and its library: the build tree may lie
# where only root may look (a clone under /root).
mkdir "$t/bin" && cp "$apictl" "$t/bin/" &&
  ldd "$apictl" | awk '$3 ~ /libapi_arch/ { print $3 }' | xargs -r cp -L -t "$t/bin/"
nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups env LD_LIBRARY_PATH="$t/bin")
ok() {
  check; "${@:2}" >/dev/null 2>&1 && return
  fail "$1"; tail -n2 "$t/err" "$t/sim.err"
}
has() { grep -qaF -- "$2" "$1"; }
ctl() { timeout 20 "$apictl" "$@" >"$t/out" 2>"$t/err"; }
start() {  # ARGS...: apisim in the background; status 0 once it serves (not an earlier one)
  : >"$t/sim.out"; "$apisim" "$@" >"$t/sim.out" 2>"$t/sim.err" & sim_pid=$! background+=($!)
  for _ in $(seq 2000); do has "$t/sim.out" serving && return 0; kill -0 $sim_pid 2>/dev/null || return 1; sleep 0.05; done
  return 1
}
stop() {  # status 0 when apisim ends on SIGTERM within 10 s (it folds its journal first)
  kill -TERM $sim_pid; for _ in $(seq 1000); do kill -0 $sim_pid 2>/dev/null || { wait $sim_pid; sim_pid=; return 0; }; sleep 0.1; done
  kill -9 $sim_pid; wait $sim_pid; sim_pid=; return 1
}
py=(/usr/bin/python3 -c "import ctypes, os, socket, sys, time")
py_nobody() { "${nobody[@]}" "${py[@]}; $1"; }
name='b"\0apisim-control-%d" % os.stat("/proc/self/ns/ipc").st_ino'

# ---- the control channel: an impostor is neither served by apisim's name nor believed by apictl
"${nobody[@]}" "${py[@]}; s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET); s.bind($name); s.listen(); print('ready', flush=True)
while True:
  c = s.accept()[0]; c.settimeout(1)
  try: print(c.recv(999), flush=True); c.send(b'0\n\x1b]0;owned\x07')
  except OSError: pass" >"$t/impostor" & background+=($!)
for _ in $(seq 2000); do has "$t/impostor" ready && break; sleep 0.05; done
ok "apisim refuses to start without its channel" eval '! start --no-state && has "$t/sim.err" "is taken by pid"'
ok "apictl refuses an impostor" eval '! ctl sim list && has "$t/err" "not apisim" && ! has "$t/out" owned && sleep 0.2 && ! grep -q text "$t/impostor"'
kill %1

# ---- the instance lock: one that another user made (open to all) is replaced, and shuts that user out
py_nobody 'print(ctypes.CDLL(None).semget(1685, 1, 0o1666))' >/dev/null
ok "apisim starts past a foreign instance lock" start --no-state --retry none
ok "the lock is closed to others" py_nobody 'l = ctypes.CDLL(None); sys.exit(l.semctl(l.semget(1685, 1, 0), 0, 16, 1) != -1)'
ok "a second instance is refused" eval '! timeout 5 "$apisim" --no-state >/dev/null 2>"$t/2nd" && has "$t/2nd" "another instance"'

# ---- silent peers of another user are refused at once and keep nobody out
"${nobody[@]}" "${py[@]}; cs = [socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET) for _ in range(20)]; [c.connect($name) for c in cs]
cs[0].settimeout(60); print(cs[0].recv(999)); time.sleep(6)" >"$t/peers" & background+=($!)
for _ in $(seq 1000); do has "$t/peers" "root only" && break; sleep 0.1; done  # status 1 and why
ok "the silent peers are refused at once" has "$t/peers" 'b"1\napisim'"'s control channel serves uid 0 and root only"
ok "root is served beside 20 silent peers" ctl sim list

# ---- monitor --json: the request's bytes escaped as call output escapes them
timeout 100 "$apictl" --json monitor --count 1 >"$t/mon" &
for _ in $(seq 2000); do "$apictl" sim list 2>/dev/null | grep -qx 'monitors attached: 1' && break; sleep 0.05; done
ctl API_VELDA_SetCameraName "$(printf 'K\374che')"; wait %%
ok "monitor --json keeps the bytes" has "$t/mon" 'K\udcfcche'

# ---- attachments and uploads: regular files only, read with the caller's rights
/usr/bin/python3 -m aiosmtpd -n -l 127.0.0.1:2525 -c aiosmtpd.handlers.Debugging >"$t/mail" 2>&1 & background+=($!)
for _ in $(seq 1000); do (: >/dev/tcp/127.0.0.1/2525) 2>/dev/null && break; sleep 0.1; done
for s in "MailServer 127.0.0.1" "Port 2525" "MailFrom cam@x.org" "MailTo a@x.org"; do ctl API_SMTP_Set_${s% *} "${s#* }"; done
mkfifo "$t/fifo"; mkdir "$t/dir"; echo TOPSECRET >"$t/secret"; chmod 600 "$t/secret"; echo public >"$t/open"
ln -s "$t/secret" "$t/link"
for f in fifo dir secret; do "${nobody[@]}" "$t/bin/${apictl##*/}" API_SMTP_Send_Attach s c "$t/$f" >/dev/null; done
for f in /dev/zero /proc/self/environ; do "${nobody[@]}" "$t/bin/${apictl##*/}" API_SMTP_Send_Attach s c $f >/dev/null; done
"${nobody[@]}" "$t/bin/${apictl##*/}" API_Net_FTPContextPut "$t/link" >/dev/null
"${nobody[@]}" "$t/bin/${apictl##*/}" API_SMTP_Send_Attach s c "$t/open" >/dev/null
ctl API_SMTP_Send_Text "$(printf 'caf\351')" body
for _ in $(seq 1000); do [ "$(grep -c 'delivery #' "$t/sim.err")" -ge 8 ] && break; sleep 0.1; done
for why in "(a FIFO)" "(a folder)" "(a character device)" "secret\": Permission denied" "link\": Permission denied" "is a file of /proc"; do
  ok "refused: $why" has "$t/sim.err" "$why"
done
ok "a readable file is delivered" has "$t/mail" "filename=\"open\""
ok "the secret is not mailed" eval '! has "$t/mail" VE9QU0VDUkVU'
ok "subject bytes keep an honest charset" has "$t/mail" "Subject: =?UNKNOWN-8BIT?B?Y2Fm6Q==?="
ok "apisim stops on SIGTERM" stop

# ---- the state files: never destroyed by a start; a full disk is named
s=$t/disk/apisim.state; mkdir "$t/disk"; mount -t tmpfs -o size=2200k tmpfs "$t/disk"
ok "a first start says so" eval 'start --state "$s" && has "$t/sim.err" "starting from the factory settings"'
ctl API_Video_SetHue 0 77; kill -9 $sim_pid; wait $sim_pid; sim_pid=  # the journal keeps its record
rm "$s"; cp "$s.journal" "$t/journal"
ok "a journal without its state file is refused" eval '! start --state "$s" && has "$t/sim.err" "would be lost" && cmp "$s.journal" "$t/journal"'
ok "and taken on purpose" eval 'start --state "$s" --accept-state-loss && stop && cmp "$s.journal.orphan" "$t/journal"'
rm "$s.journal"
ok "a missing journal is refused" eval '! start --state "$s" && has "$t/sim.err" "is missing"'
ok "and taken on purpose" eval 'start --state "$s" --accept-state-loss && stop'
# A state file cut short, damaged (its generation too), of another version or
# not apisim's is refused and left as it was.
cp "$s" "$t/good"; head -c -1 "$t/good" >"$t/truncated"; head -c 4096 /dev/zero | tr '\0' x >"$t/foreign"; : >"$t/empty"
python3 -c 'import sys; g = open(sys.argv[1], "rb").read()
for name, at, value in (("damaged", len(g) // 2, g[len(g) // 2] ^ 1), ("generation", 33, g[33] ^ 1), ("version", 12, 48)):
    open(sys.argv[2] + name, "wb").write(g[:at] + bytes([value]) + g[at + 1:])' "$t/good" "$t/"
for b in "truncated:truncated" "foreign:not an apisim state file" "empty:too short" "damaged:damaged" \
         "generation:damaged" "version:another version"; do
  cp "$t/${b%%:*}" "$s"
  ok "a state file $b is refused" eval '! start --state "$s" && { wait $sim_pid; [ $? -eq 1 ]; } &&
    has "$t/sim.err" "refusing the state" && has "$t/sim.err" "${b#*:}" && cmp "$s" "$t/${b%%:*}"'
done
cp "$t/good" "$s"
ok "the good one loads again" eval 'start --state "$s" && ! has "$t/sim.err" "factory settings" && stop'
dd if=/dev/zero of="$t/disk/fill" bs=4k 2>/dev/null
ok "a full disk is named" eval '! start --state "$s" && has "$t/sim.err" "the disk is full" && ! has "$t/sim.err" refusing'

finish
