# Desk cameras for the fleet tests (sourced). Camera I is a network and IPC
# namespace of its own, held by a sleeping process, with apisim, lighttpd
# (HTTPS, a certificate of a CA made here) and the apiweb CGI, at 10.77.0.(10+I)
# on the bridge fleet0 of the test's own namespaces.
#   fleet_enter SCRIPT APISIM APIWEB APICTL [ARGS]   SCRIPT again inside them (77: cannot)
#   fleet_up WORK APISIM APIWEB    the bridge, the CA, the collection installed
#   camera_up I / camera_down I / camera_run I COMMAND...
#   fleet_inventory FILE N [camNN=VARS...] / fleet_down
fleet_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)
fleet_pids=()
. "$fleet_root/tools/apiweb/tests/web_lib.sh"

fleet_enter() {
  local script=$1 p cause=
  shift
  [ $# -ge 3 ] && [ -x "$1" ] && [ -x "$2" ] && [ -x "$3" ] || cause="apisim, apiweb or apictl not built ($*)"
  for p in ansible-playbook ansible-galaxy lighttpd openssl curl ip nsenter unshare; do
    [ -n "$cause" ] || command -v $p >/dev/null || cause="$p is not installed"
  done
  [ -n "$cause" ] || [ -f /usr/lib/lighttpd/mod_openssl.so ] || cause="lighttpd-mod-openssl is not installed"
  [ -z "$cause" ] || { echo "skipping: $cause"; return 77; }
  # The programs by absolute path: lighttpd runs apiweb from its own folder.
  FLEET_INSIDE=1 bash "$fleet_root/scripts/private_ns.sh" --net --mount --ipc -- bash "$script" \
    "$(readlink -f "$1")" "$(readlink -f "$2")" "$(readlink -f "$3")" "${@:4}"
}

camera_ip() { echo "10.77.0.$((10 + $1))"; }

fleet_up() {
  work=$1 apisim=$2 apiweb=$3
  ip link set lo up && ip link add fleet0 type bridge && ip addr add 10.77.0.1/24 dev fleet0 &&
    ip link set fleet0 up || return 1
  web_ca "$work" || return 1
  : >"$work/ansible.cfg"  # the machine's and the user's configurations stay out, and so do their folders
  export ANSIBLE_CONFIG=$work/ansible.cfg ANSIBLE_HOME=$work/ansible ANSIBLE_LOCAL_TEMP=$work/ansible/tmp \
    ANSIBLE_REMOTE_TMP=$work/ansible/remote ANSIBLE_COLLECTIONS_PATH=$work/collections ANSIBLE_NOCOLOR=1
  unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY
  ansible-galaxy collection build --output-path "$work" "$fleet_root/tools/ansible" >"$work/galaxy.log" 2>&1 &&
    ansible-galaxy collection install -p "$work/collections" "$work"/apiarch-camera-*.tar.gz >>"$work/galaxy.log" 2>&1
}

camera_up() {
  local i=$1 dir=$work/cam$1 ip holder
  ip=$(camera_ip "$i")
  if [ ! -f "$dir/holder" ]; then
    mkdir -p "$dir/www"
    web_cert "$dir" "$work" "$ip" && web_conf "$dir" 443 "$apiweb" "$dir/www" || return 1
    unshare --net --ipc sleep 1000000 &
    holder=$!
    fleet_pids+=("$holder")
    echo "$holder" >"$dir/holder"
    while [ "$(readlink "/proc/$holder/ns/ipc")" = "$(readlink /proc/self/ns/ipc)" ]; do sleep 0.01; done
    ip link add "fc$i" type veth peer name eth0 netns "$holder" && ip link set "fc$i" master fleet0 &&
      nsenter -t "$holder" --net sh -c "ip link set lo up && ip link set eth0 address 02:77:00:00:00:$(printf %02x "$i") &&
        ip addr add $ip/24 dev eth0 && ip link set eth0 up" || return 1
  fi
  ip link set "fc$i" up
  camera_run "$i" "$apisim" --state "$dir/apisim.state" >"$dir/apisim.log" 2>&1 &
  fleet_pids+=("$!")
  echo $! >"$dir/pids"
  camera_run "$i" lighttpd -D -f "$dir/lighttpd.conf" >>"$dir/lighttpd.log" 2>&1 &
  fleet_pids+=("$!")
  echo $! >>"$dir/pids"
  for _ in $(seq 1000); do
    curl -sf --cacert "$work/ca.pem" -o /dev/null "https://$ip/cgi-bin/apiweb/openapi.json" && return 0
    sleep 0.1
  done
  echo "camera $i did not come up:"; cat "$dir/apisim.log" "$dir/lighttpd.log"
  return 1
}

# Down as a camera without power: its daemon and web server end, its link goes.
camera_down() {
  local pids
  pids=$(cat "$work/cam$1/pids")
  kill $pids && wait $pids 2>/dev/null
  ip link set "fc$1" down
}

camera_run() { local i=$1; shift; nsenter -t "$(cat "$work/cam$i/holder")" --net --ipc "$@"; }

fleet_inventory() {
  local file=$1 n=$2 i host extra
  shift 2
  { echo "cameras:"; echo "  hosts:"
    for i in $(seq "$n"); do
      host=$(printf cam%02d "$i")
      printf '    %s: {camera_address: %s' "$host" "$(camera_ip "$i")"
      for extra in "$@"; do [ "${extra%%=*}" = "$host" ] && printf ', %s' "${extra#*=}"; done
      echo "}"
    done
    echo "  vars: {ansible_connection: local, ansible_python_interpreter: /usr/bin/python3}"
  } >"$file"
}

fleet_down() {
  local pid
  for pid in "${fleet_pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${fleet_pids[@]}"; do wait "$pid" 2>/dev/null; done
  fleet_pids=()
}
