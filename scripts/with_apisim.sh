#!/usr/bin/env bash
# Runs COMMAND while the stand-in daemon serves, both in a private IPC
# namespace of their own (the machine's queues are never touched):
#   with_apisim.sh APISIM COMMAND [ARGS...]
# APISIM is the daemon's path (it keeps no state file). Exits with COMMAND's
# status, or 77 when the namespace cannot be had.
set -u
if [ -z "${WITH_APISIM_INSIDE:-}" ]; then
  exec env WITH_APISIM_INSIDE=1 bash "$(dirname "$0")/private_ns.sh" --ipc -- bash "$0" "$@"
fi
apisim=$1; shift
log=$(mktemp /tmp/with_apisim.XXXXXX)
"$apisim" --no-state >"$log" 2>&1 &
sim=$!
for _ in $(seq 2000); do grep -q '^apisim: serving' "$log" && break; kill -0 "$sim" 2>/dev/null || break; sleep 0.05; done
if ! grep -q '^apisim: serving' "$log"; then
  echo "apisim ($apisim) did not start:"; cat "$log"; kill "$sim" 2>/dev/null; rm -f "$log"; exit 1
fi
"$@"
status=$?
kill -TERM "$sim"
wait "$sim" || { echo "apisim did not stop cleanly:"; cat "$log"; status=1; }
rm -f "$log"
exit $status
