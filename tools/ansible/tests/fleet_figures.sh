#!/usr/bin/env bash
# Prints the wall time of the example site playbook's first run (every
# camera changed) and second run (nothing to change) over fleets of desk
# cameras, default forks, loopback bridge only:
#   fleet_figures.sh APISIM APIWEB APICTL [SIZE...]   (default 8 16 32; at most 64)
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/fleet_lib.sh"
if [ -z "${FLEET_INSIDE:-}" ]; then
  fleet_enter "$0" "$@"
  exit
fi
apisim=$1 apiweb=$2 apictl=$3
shift 3
sizes=("${@:-8 16 32}")
sizes=(${sizes[*]})
work=$(mktemp -d /tmp/fleet_figures.XXXXXX)
trap 'fleet_down; rm -rf "$work"' EXIT
fleet_up "$work" "$apisim" "$apiweb" || { cat "$work/galaxy.log"; exit 1; }
cp -r "$here/../examples" "$work/site"
printf 'vault_camera_admin_password: admin\nvault_mail_password: m\nvault_operator_password: o\nvault_viewer_password: v\ncamera_ca: %s\n' \
  "$work/ca.pem" >"$work/vars.yml"
up=0
run() {  # run LABEL: seconds of one run over the inventory, which must succeed
  local start=$(date +%s%N)
  ansible-playbook -i "$work/inventory.yml" "$work/site/site.yml" -e @"$work/vars.yml" --skip-tags inventory \
    >"$work/$1.log" 2>&1 || { echo "the $1 run failed:" >&2; tail -30 "$work/$1.log" >&2; exit 1; }
  awk -v a="$(date +%s%N)" -v b="$start" 'BEGIN { printf "%.1f", (a - b) / 1e9 }'
}
echo "cameras  first run (s)  second run (s)  per camera, first (s)"
for size in "${sizes[@]}"; do
  [ "$size" -le 64 ] || { echo "at most 64 cameras" >&2; exit 2; }
  while [ $up -lt "$size" ]; do up=$((up + 1)); camera_up $up || exit 1; done
  for i in $(seq "$size"); do camera_run "$i" "$apictl" API_System_Default >/dev/null; done  # factory settings
  fleet_inventory "$work/inventory.yml" "$size"
  first=$(run first) && second=$(run second) || exit 1
  printf '%7d  %13s  %14s  %21s\n' "$size" "$first" "$second" "$(awk -v t="$first" -v n="$size" 'BEGIN { printf "%.2f", t / n }')"
done
