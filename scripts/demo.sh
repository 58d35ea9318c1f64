#!/usr/bin/env bash
# The desk demo: sets up what it needs (as root, the missing Debian packages),
# builds the library and the tools for the host under build/host, starts the
# stand-in control daemon apisim (in a private IPC namespace when run as root,
# otherwise on the user's own keys once none is in use), takes a short tour
# through apictl and stops apisim.
#   scripts/demo.sh [--no-setup] [--no-build] [--build-dir DIR] [--out DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
setup=1 build=1 bdir=$root/build/host out=$root/build/demo
while [ $# -gt 0 ]; do
  case $1 in
    --no-setup) setup=0 ;;
    --no-build) build=0 ;;
    --build-dir) bdir=$(realpath -m "$2"); shift ;;
    --out) out=$(realpath -m "$2"); shift ;;
    --tour) tour=1 ;;   # internal: the tour itself, inside the namespace
    *) echo "usage: scripts/demo.sh [--no-setup] [--no-build] [--build-dir DIR] [--out DIR]" >&2; exit 2 ;;
  esac
  shift
done
apictl=$bdir/tools/apictl/apictl apisim=$bdir/tools/apisim/apisim

show() { case $1 in "$root"/*) echo "${1#"$root"/}" ;; *) echo "$1" ;; esac; }

tour() {
  mkdir -p "$out"
  rm -f "$out/apisim.state" "$out/snapshot.jpg"
  "$apisim" --trace --state "$out/apisim.state" >"$out/apisim.log" 2>&1 &
  local sim=$! i
  trap 'kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null || true' EXIT
  for i in $(seq 100); do grep -q '^apisim: serving (pid' "$out/apisim.log" && break; sleep 0.05; done
  grep -m1 '^apisim: serving (pid' "$out/apisim.log" ||
    { echo "apisim did not start:"; cat "$out/apisim.log"; exit 1; }
  # The library's own trace lines ("app/api_arch.cpp==LINE:<tab>value", which a
  # few operations print on standard output) are marked, not taken for errors.
  # apictl writes them on standard error where standard output is its data.
  run() {
    echo "\$ apictl $*"
    local status=0
    "$apictl" --timeout 5 "$@" 2>"$out/apictl.err" || status=$?
    sed -E 's/^(app\/api_arch\.cpp==[0-9]+:)/    [library trace line] \1/' "$out/apictl.err" >&2
    rm -f "$out/apictl.err"
    return $status
  }

  echo
  echo "Each call prints its result first: a set gives 1 (done) or 0, a get its value or -1,"
  echo "a get into a buffer 0 (done) or -1, then one 'name: value' line per output."
  echo "Lines marked [library trace line] are printed by the library itself (see api_arch(3))."

  echo; echo "== what there is (apictl list shows all 375 exported names)"
  run list -v Brightness
  echo; echo "== video settings, set and read back"
  run API_Video_SetBrightness 0 200
  run API_Video_GetBrightness 0
  run API_Video_SetFrameRate 0 25
  run API_Video_GetFrameRate 0
  run API_Video_SetQP 0 24 28
  run API_Video_GetQP 0 - -
  run --json API_Video_GetQP 0 - -
  echo; echo "== a user"
  run API_USER_SetAddUser 1 guest guest-pw
  run API_USER_GetUserInfoByName guest - -
  echo "(0: the look-up filled its buffers: a get into a buffer gives 0 on success)"
  echo; echo "== a record list (three records of two ints)"
  run API_MOD_SetRecordList 0 3 1000,60,2000,30,3000,90
  run API_MOD_GetRecordList 0 - -
  echo; echo "== a snapshot"
  run snapshot -c 0 -o "$(show "$out/snapshot.jpg")"
  echo "(its [library trace line] is the snapshot operation's own report of the bytes it copied)"
  echo; echo "== the live interface and default gateway (from the kernel)"
  local dev
  dev=$(ip -o -4 route show default 2>/dev/null | awk '{for (i = 1; i < NF; i++) if ($i == "dev") { print $(i + 1); exit }}')
  run API_Net_GetIP - "${dev:-lo}"
  run API_Net_GetGateWay - "${dev:-lo}"
  echo
  kill -TERM "$sim"
  wait "$sim" || { echo "apisim did not stop cleanly"; exit 1; }
  trap - EXIT
  echo "apisim stopped; its trace is in $(show "$out/apisim.log")"
  echo "the snapshot is in $(show "$out/snapshot.jpg") ($(stat -c %s "$out/snapshot.jpg") bytes)"
}

if [ -n "${tour:-}" ]; then tour; exit 0; fi

start=$(date +%s%N)
. scripts/common.sh
if [ $setup -eq 1 ]; then
  ensure_packages cmake make g++ googletest pkgconf libcrypt-dev libjpeg62-turbo-dev iproute2 libcurl4-openssl-dev
fi
if [ $build -eq 1 ]; then
  echo "== building the library and the tools in $(show "$bdir") (log: $(show "$bdir").demo.log)"
  build_quietly "$bdir.demo.log" "$root" "$bdir" -DCMAKE_BUILD_TYPE=MinSizeRel -- --target apictl apisim || exit 1
fi
[ -x "$apictl" ] && [ -x "$apisim" ] || { echo "no apictl or apisim in $(show "$bdir")" >&2; exit 1; }

if [ "$(id -u)" -eq 0 ]; then
  echo "== starting apisim"
  echo "(in a private IPC namespace: the machine's own queues are not touched)"
  unshare --ipc -- bash "$0" --tour --build-dir "$bdir" --out "$out"
else
  # The camera's keys 1682-1689: none may be in use by another program.
  used=$(ipcs -a 2>/dev/null | awk '$1 ~ /^0x0000069[2-9]$/ {print $1}' | sort -u | paste -sd' ')
  if [ -n "$used" ]; then
    echo "the camera's IPC keys are in use ($used); stop the program that holds them, or run as root" >&2
    exit 1
  fi
  echo "== starting apisim"
  echo "(on this user's own IPC keys 1682-1689, none of which is in use)"
  status=0
  bash "$0" --tour --build-dir "$bdir" --out "$out" || status=$?
  # The objects apisim made on those keys go with it.
  ipcrm -S 1682 -Q 1683 -Q 1684 -M 1688 2>/dev/null || true
  [ $status -eq 0 ] || exit $status
fi
tenths=$((($(date +%s%N) - start) / 100000000))
echo "demo finished in $((tenths / 10)).$((tenths % 10)) s"
