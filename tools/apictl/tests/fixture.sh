# Sourced by the desk tools' end-to-end scripts, first thing:
#   . fixture.sh NAMESPACE-OPTION... -- "$@"     (as for scripts/private_ns.sh)
# Runs the script again in those private namespaces (or skips, 77, with the
# cause), then gives it $tmp (removed at the end), check, fail, run, start_sim,
# stop_sim, emulate, transcript and finish. At the end, $on_exit is run, and
# whatever $background names is ended.
if [ -z "${DESK_TEST_INSIDE:-}" ]; then
  namespaces=()
  while [ "$1" != -- ]; do namespaces+=("$1"); shift; done
  shift
  exec env DESK_TEST_INSIDE=1 bash "$(dirname "${BASH_SOURCE[0]}")/../../../scripts/private_ns.sh" \
    "${namespaces[@]}" -- bash "$0" "$@"
fi
tmp=$(mktemp -d /tmp/desk_test.XXXXXX)
chmod 755 "$tmp"
sim_pid= background=() on_exit= failures=0 checks=0
trap 'eval "$on_exit"; kill "${background[@]}" 2>/dev/null; stop_sim; wait 2>/dev/null; rm -rf "$tmp"' EXIT
# Under the sanitizer build, preloaded libraries come before its runtime.
export ASAN_OPTIONS=${ASAN_OPTIONS:-}:verify_asan_link_order=0

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
check() { checks=$((checks + 1)); }
# run ARGS...: apictl's status in $rc, its outputs in $tmp/out and $tmp/err.
run() { timeout 60 "$apictl" "$@" >"$tmp/out" 2>"$tmp/err"; rc=$?; }
# start_sim ARGS...: $apisim serving, its outputs in $tmp/apisim.out and .err.
start_sim() {
  : >"$tmp/apisim.out"  # emptied before the start, never an earlier run's "serving" line
  "$apisim" "$@" >"$tmp/apisim.out" 2>"$tmp/apisim.err" &
  sim_pid=$!
  for _ in $(seq 2000); do grep -q '^apisim: serving (pid' "$tmp/apisim.out" && return 0; sleep 0.05; done
  echo "FAIL: apisim did not start: $(cat "$tmp/apisim.err")"
  exit 1
}
stop_sim() {  # SIGNAL: its status in $rc
  rc=0
  [ -n "$sim_pid" ] || return 0
  kill "-${1:-TERM}" "$sim_pid" 2>/dev/null
  wait "$sim_pid"
  rc=$? sim_pid=
}
# Under a cross build's emulator (APICTL_EMULATOR, e.g. qemu-mipsel-static),
# $apictl and $apisim become wrappers that run the target's programs through
# it; with APICTL_APISIM_NATIVE set, the apisim given is this machine's own.
emulate() {
  [ -n "${APICTL_EMULATOR:-}" ] || return 0
  mkdir "$tmp/bin"
  printf '#!/bin/sh\nexec %s %s "$@"\n' "$APICTL_EMULATOR" "$apictl" > "$tmp/bin/apictl"
  local sim_runner=$APICTL_EMULATOR
  [ -n "${APICTL_APISIM_NATIVE:-}" ] && sim_runner=
  printf '#!/bin/sh\nexec %s %s "$@"\n' "$sim_runner" "$apisim" > "$tmp/bin/apisim"
  chmod 755 "$tmp/bin/apictl" "$tmp/bin/apisim"
  apictl=$tmp/bin/apictl apisim=$tmp/bin/apisim
}
# transcript FILE: runs the commands of a reviewed transcript in this shell
# ("$ COMMAND", "> " lines continuing it; apictl is $apictl, pipefail on) and
# compares what each prints after it with the lines that follow it there:
# standard output, then standard error marked "! ", then "[STATUS]" unless 0;
# $tmp shows as TMP, and the sed expressions in $masks apply too. Comments and
# blank lines end a command's lines; the run stops where apisim died. One
# check; a difference fails, as a diff
# (with DESK_TRANSCRIPT_OUT=DIR, the transcript as run is left there to review).
masks=()
apictl() { timeout 60 "$apictl" "$@"; }
transcript() {
  local line command= eof=
  set -o pipefail
  while :; do
    IFS= read -r line <&3 || eof=1
    if [ -n "$command" ] && { [ -n "$eof" ] || [[ $line != '> '* ]]; }; then
      eval "$command" </dev/null >"$tmp/t.out" 2>"$tmp/t.err"
      rc=$? command=
      { sed -e '$a\' "$tmp/t.out"; sed -e 's/^/! /' "$tmp/t.err"; } | sed -e "s#$tmp#TMP#g" "${masks[@]}"
      [ $rc -eq 0 ] || echo "[$rc]"
      [ -z "$sim_pid" ] || kill -0 "$sim_pid" 2>/dev/null || { echo "apisim died: $(tail -5 "$tmp/apisim.err")"; break; }
    fi
    [ -z "$eof" ] || break
    case $line in
      '$ '*) command=${line#\$ } ;;
      '> '*) command+=$'\n'${line#> } ;;
      ''|'#'*) ;;
      *) continue ;;
    esac
    printf '%s\n' "$line"
  done 3<"$1" >"$tmp/transcript"
  set +o pipefail
  [ -z "${DESK_TRANSCRIPT_OUT:-}" ] || cp "$tmp/transcript" "$DESK_TRANSCRIPT_OUT/${1##*/}"
  check
  diff -u "$1" "$tmp/transcript" || fail "the transcript differs from ${1##*/}"
}
finish() {
  echo "$checks checks, $failures failures"
  [ "$failures" -eq 0 ]
}
