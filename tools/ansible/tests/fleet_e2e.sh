#!/usr/bin/env bash
# The collection end to end: Debian's ansible-core runs the example site
# playbook against FLEET_CAMERAS (default 8) desk cameras (fleet_lib.sh).
#   fleet_e2e.sh APISIM APIWEB APICTL      (FLEET_KEEP=1 keeps the run's files)
# Last line: "N passed, N failed, N skipped"; exit 0, 1, or 77 (skipped).
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/fleet_lib.sh"
if [ -z "${FLEET_INSIDE:-}" ]; then
  fleet_enter "$0" "$@"
  status=$?
  [ $status -eq 77 ] && echo "0 passed, 0 failed, 1 skipped"
  exit $status
fi
apictl=$3 n=${FLEET_CAMERAS:-8} passed=0 failed=0
work=$(mktemp -d /tmp/fleet_e2e.XXXXXX)
trap 'fleet_down; [ -n "${FLEET_KEEP:-}" ] && echo "kept: $work" || rm -rf "$work"' EXIT
check() {  # check WHAT: counts the status of the command before it
  if [ $? -eq 0 ]; then passed=$((passed + 1)); echo "ok: $1"; else failed=$((failed + 1)); echo "FAIL: $1"; fi
}
finish() { echo "$passed passed, $failed failed, 0 skipped"; [ $failed -eq 0 ]; exit; }

python3 -m pytest -q -p no:cacheprovider "$here/unit" >"$work/unit.out" 2>&1
check "the modules' logic (pytest: $(tail -n 1 "$work/unit.out"))" || cat "$work/unit.out"
fleet_up "$work" "$1" "$2"
check "the collection builds and installs from its tarball" || { cat "$work/galaxy.log"; finish; }
for i in $(seq "$n"); do camera_up "$i" || { false; check "camera $i comes up"; finish; }; done
cp -r "$here/../examples" "$work/site"
fleet_inventory "$work/inventory.yml" "$n"
printf '%s\n' "vault_camera_admin_password: admin" "vault_mail_password: mail-secret-1" "camera_timeout: 10" \
  "vault_operator_password: operator-pw" "vault_viewer_password: viewer-pw" "camera_ca: $work/ca.pem" >"$work/e2e.yml"

play() {  # play NAME [INVENTORY] [ansible-playbook args...]: the report in $work/NAME.out
  local name=$1 inventory=$work/inventory.yml start=$(date +%s%N)
  shift
  [ "${1:-}" != "${1#/}" ] && inventory=$1 && shift
  ANSIBLE_STDOUT_CALLBACK=${CALLBACK:-fleet_report} ANSIBLE_CALLBACK_PLUGINS=$here/callback_plugins ansible-playbook \
    -i "$inventory" "$work/site/site.yml" -e @"$work/e2e.yml" "$@" >"$work/$name.out" 2>"$work/$name.err"
  echo "  ($name run: $((($(date +%s%N) - start) / 1000000)) ms)"
}
expect() {  # expect NAME PYTHON-EXPRESSION over stats {host: counts} and tasks {task: {host: result}}
  python3 -c "import json, sys
report = json.load(open(sys.argv[1]))
stats, tasks = report['stats'], report['tasks']
sys.exit(0 if eval('(%s)' % sys.argv[2]) else print(json.dumps(stats)) or 1)" "$work/$1.out" "$2"
}

play first --skip-tags inventory -e camera_update_secrets=always
expect first "len(stats) == $n and all(s['changed'] and not s['failures'] + s['unreachable'] for s in stats.values())"
check "the first run changes every camera"
dump=$(camera_run 1 "$apictl" dump time mail)
[[ $dump == *'"Zone": "GMT+01:00"'* && $dump == *'"Password": "mail-secret-1"'* ]]
check "a camera has the declared zone and the mail secret"

play second --skip-tags inventory
expect second "len(stats) == $n and all(not s['changed'] + s['failures'] for s in stats.values())"
check "the second run changes nothing anywhere"

camera_run 3 "$apictl" API_Video_SetBrightness 0 77 >/dev/null
play drift --skip-tags inventory --check --diff
expect drift "[h for h, s in stats.items() if s['changed']] == ['cam03'] and
  tasks['Settings']['cam03']['changes'] == [{'path': 'video/channel 0/Brightness', 'before': 77, 'after': 128, 'secret': False}]
  and tasks['Settings']['cam03']['diff']['before'] == 'video/channel 0/Brightness: 77\n'"
check "--check --diff after a hand change names that setting on that camera alone"
[ "$(camera_run 3 "$apictl" API_Video_GetBrightness 0)" = 77 ]
check "--check leaves the camera as it was"

camera_down 5
play down --skip-tags inventory
expect down "stats['cam05']['failures'] and not any(s['failures'] + s['unreachable'] for h, s in stats.items() if h != 'cam05')
  and [h for h, r in tasks['Settings'].items() if r['changed']] == ['cam03']"
check "a camera that is down fails alone, the others are kept"
camera_up 5 || { false; check "camera 5 comes back"; }

wrong='Wr0ng-pw-fleet-e2e'
fleet_inventory "$work/wrong.yml" "$n" "cam06=camera_admin_password: $wrong"
CALLBACK=default play wrong "$work/wrong.yml" --skip-tags inventory -vvv
grep -q '^cam06 .*failed=1' "$work/wrong.out" && [ "$(grep -c ' failed=0 ' "$work/wrong.out")" -eq $((n - 1)) ] &&
  grep -q '"msg": "HTTP 401: .* (-32001)"' "$work/wrong.out"
check "a wrong password fails that camera with the gateway's reason"
! grep -q "$wrong" "$work/wrong.out" "$work/wrong.err"
check "the wrong password is never shown"

play facts --tags inventory
expect facts "tasks['Where it is']['cam01']['msg'] == 'apisim camera 02-77-00-00-00-01 192.168.1.100' and
  all(open('$work/site/%s.jpg' % h, 'rb').read(2) == b'\xff\xd8' for h in stats)"
check "facts give each camera's identity, snapshots reach the controller"

adhoc() {
  ansible "$1" -i "$work/inventory.yml" -m apiarch.camera.action "${@:3}" \
    -a "url=https://{{ camera_address }} user=admin password=admin ca_path=$work/ca.pem action=$2" >>"$work/adhoc.out"
}
adhoc cameras factory_defaults --check && adhoc cam02 restart && [[ $(camera_run 2 "$apictl" dump time) == *GMT+01:00* ]]
check "factory defaults in check mode and a restart keep the settings"
finish
