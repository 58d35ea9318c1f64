#!/usr/bin/env bash
# Transcript test of the README's demo: runs scripts/demo.sh on the built
# tools (no set-up, no build) in private network and IPC namespaces with one
# known interface and default route, and compares its output, pids, sizes,
# times and the output directory masked, with demo.expected.
#   demo_test.sh BUILD_DIR
set -u
if [ -z "${APICTL_TEST_INSIDE:-}" ]; then  # skips (77) with the cause when it cannot
  exec env APICTL_TEST_INSIDE=1 bash "$(dirname "$0")/../../../scripts/private_ns.sh" --ipc --net -- bash "$0" "$@"
fi
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d /tmp/apictl_demo.XXXXXX)
trap 'rm -rf "$tmp"' EXIT
ip link set lo up && ip link add d0 type veth peer name pd0 && ip addr add 10.9.8.7/24 dev d0 &&
  ip link set d0 up && ip route add default via 10.9.8.1 || { echo "cannot set up the test network"; exit 1; }

"$here/../../../scripts/demo.sh" --no-setup --no-build --build-dir "$1" --out "$tmp/out" >"$tmp/transcript" 2>"$tmp/err"
rc=$?
sed -E -e "s#$tmp/out#OUT#g" -e 's/\(pid [0-9]+\)/(pid N)/' -e 's/[0-9]+ bytes/N bytes/g' \
    -e 's/finished in [0-9.]+ s/finished in T s/' "$tmp/transcript" > "$tmp/masked"
status=0
[ $rc -eq 0 ] || { echo "FAIL: the demo exited $rc"; cat "$tmp/err"; status=1; }
diff -u "$here/demo.expected" "$tmp/masked" || { echo "FAIL: the transcript differs"; status=1; }
# The picture the demo says it left, a whole JPEG, and the stand-in's trace of the tour.
[ "$(head -c 3 "$tmp/out/snapshot.jpg" | od -An -tx1 | tr -d ' ')" = ffd8ff ] &&
  [ "$(tail -c 2 "$tmp/out/snapshot.jpg" | od -An -tx1 | tr -d ' ')" = ffd9 ] || { echo "FAIL: no JPEG left"; status=1; }
grep -q API_USER_SetAddUser "$tmp/out/apisim.log" || { echo "FAIL: apisim's trace lacks the tour"; status=1; }
# Not root: the demo uses the caller's own keys, and refuses while one is in use.
if setpriv --reuid=65534 --regid=65534 --clear-groups test -x "$1/tools/apictl/apictl" 2>/dev/null; then
  python3 "$here/ipc.py" silent
  setpriv --reuid=65534 --regid=65534 --clear-groups "$here/../../../scripts/demo.sh" --no-setup --no-build \
    --build-dir "$1" --out "$tmp/nobody" >"$tmp/out2" 2>"$tmp/err2"
  rc=$?
  [ $rc -eq 1 ] && [ ! -s "$tmp/out2" ] && grep -q "IPC keys are in use (0x00000692 0x00000693 0x00000694)" "$tmp/err2" ||
    { echo "FAIL: not refused on keys in use ($rc): $(cat "$tmp/out2" "$tmp/err2")"; status=1; }
  python3 "$here/ipc.py" remove
fi
[ $status -eq 0 ] && echo "demo transcript as expected"
exit $status
