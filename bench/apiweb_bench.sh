#!/usr/bin/env bash
# Figures of the HTTP gateway, on loopback in private IPC, network and mount
# namespaces: the median time of one get through lighttpd and apiweb beside
# the same get through apictl, a batch of 100 gets in one request, requests
# per second with 8 concurrent clients (400 requests), and the stripped
# mipsel sizes (scripts/size.sh, when the cross builds are there).
#   bench/apiweb_bench.sh [BUILD_DIR]        (default build/host)
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
if [ -z "${APIWEB_BENCH_INSIDE:-}" ]; then
  build=$(readlink -f "${1:-$root/build/host}")
  APIWEB_BENCH_INSIDE=1 bash "$root/scripts/private_ns.sh" --ipc --net --mount -- bash "$root/bench/apiweb_bench.sh" "$build"
  status=$?
  bash "$root/scripts/size.sh" 2>/dev/null | grep -E '^(apiweb|apictl),'
  exit $status
fi
build=$1
tmp=$(mktemp -d /tmp/apiweb_bench.XXXXXX)
pids=()
trap 'for p in "${pids[@]}"; do kill $p 2>/dev/null; wait $p 2>/dev/null; done; rm -rf "$tmp"' EXIT
ip link set lo up
"$build/tools/apisim/apisim" --no-state >"$tmp/apisim.log" 2>&1 &
pids+=($!)
mkdir -p "$tmp/www" "$tmp/state"
cat > "$tmp/lighttpd.conf" <<CONF
server.modules = ("mod_alias", "mod_cgi", "mod_setenv")
server.document-root = "$tmp/www"
server.bind = "127.0.0.1"
server.port = 8080
server.errorlog = "$tmp/lighttpd.log"
alias.url = ("/cgi-bin/apiweb" => "$build/tools/apiweb/apiweb")
\$HTTP["url"] =~ "^/cgi-bin/" { cgi.assign = ("" => "") }
setenv.add-environment = ("APIWEB_STATE_DIR" => "$tmp/state")
CONF
lighttpd -D -f "$tmp/lighttpd.conf" &
pids+=($!)
for _ in $(seq 100); do grep -q '^apisim: serving' "$tmp/apisim.log" && curl -s -o /dev/null http://127.0.0.1:8080/ && break; sleep 0.1; done
python3 - "$build/tools/apictl/apictl" <<'PY'
import http.client, json, statistics, subprocess, sys, threading, time
apictl = sys.argv[1]
def post(conn, body, token):
    conn.request("POST", "/cgi-bin/apiweb/rpc", json.dumps(body), {"Content-Type": "application/json", "X-Apiweb-Session": token})
    r = conn.getresponse(); data = r.read(); assert r.status == 200, data; return data
conn = http.client.HTTPConnection("127.0.0.1", 8080)
conn.request("POST", "/cgi-bin/apiweb/rpc", json.dumps({"jsonrpc": "2.0", "method": "session.login", "params": {"user": "admin", "password": "admin"}, "id": 1}),
             {"Content-Type": "application/json"})
token = json.loads(conn.getresponse().read())["result"]["token"]
get = {"jsonrpc": "2.0", "method": "API_Video_GetHue", "params": [0], "id": 1}
def median_ms(fn, n):
    times = []
    for _ in range(n):
        t = time.perf_counter(); fn(); times.append(time.perf_counter() - t)
    return statistics.median(times) * 1000
one = median_ms(lambda: post(conn, get, token), 200)
cli = median_ms(lambda: subprocess.run([apictl, "API_Video_GetHue", "0"], capture_output=True, check=True), 200)
batch = [dict(get, id=i) for i in range(100)]
hundred = median_ms(lambda: post(conn, batch, token), 20)
print(f"one get, lighttpd + apiweb (HTTP keep-alive, session): median {one:.2f} ms over 200")
print(f"one get, apictl (a process each):                     median {cli:.2f} ms over 200")
print(f"a batch of 100 gets in one request:                   median {hundred:.2f} ms over 20 ({hundred / 100:.3f} ms a get)")
def client():
    c = http.client.HTTPConnection("127.0.0.1", 8080)
    for _ in range(50): post(c, get, token)
t = time.perf_counter()
threads = [threading.Thread(target=client) for _ in range(8)]
[th.start() for th in threads]; [th.join() for th in threads]
print(f"8 concurrent clients, 400 gets:                       {400 / (time.perf_counter() - t):.0f} requests/s")
PY
