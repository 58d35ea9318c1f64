#!/usr/bin/env bash
# The gateway under two real web servers against apisim, in private IPC,
# network and mount namespaces (loopback only):
#   gateway_e2e.sh APIWEB APISIM APICTL [EMULATOR]
# lighttpd with TLS (a test CA made here) and busybox's httpd run apiweb as
# their CGI program; gateway_cases.py drives both. Then the CGI itself with
# what no server sends (a CONTENT_LENGTH that lies, none at all), and the
# OpenAPI description through a validator from the npm registry (pinned; a
# failed install fails the test). With EMULATOR (qemu-mipsel-static), the
# target's apiweb and apictl run under it (apisim too, unless
# APIWEB_APISIM_NATIVE=1 names this machine's), apiweb behind lighttpd;
# busybox and the validator are left to the host run.
# Last line: "N passed, N failed, N skipped"; exit 0, 1, or 77 (skipped).
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/web_lib.sh"
validator=@apidevtools/swagger-parser@12.1.0
if [ -z "${APIWEB_E2E_INSIDE:-}" ]; then
  # The validator is installed before the namespaces (they have no network),
  # beside the program under test.
  export APIWEB_VALIDATOR_DIR=$(dirname "$(readlink -f "$1")")/openapi-validator
  if [ -z "${4:-}" ] && [ ! -d "$APIWEB_VALIDATOR_DIR/node_modules/@apidevtools/swagger-parser" ]; then
    npm install --silent --no-audit --no-fund --prefix "$APIWEB_VALIDATOR_DIR" "$validator" >"$APIWEB_VALIDATOR_DIR.log" 2>&1 ||
      { echo "FAIL cannot install $validator from the npm registry:"; tail -n 5 "$APIWEB_VALIDATOR_DIR.log"
        echo "0 passed, 1 failed, 0 skipped"; exit 1; }
  fi
  APIWEB_E2E_INSIDE=1 bash "$here/../../../scripts/private_ns.sh" --ipc --net --mount -- bash "$here/$(basename "$0")" "$@"
  status=$?
  [ $status = 77 ] && echo "0 passed, 0 failed, 1 skipped"
  exit $status
fi
apiweb=$(readlink -f "$1") apisim=$(readlink -f "$2") apictl=$(readlink -f "$3") emulator=${4:-}
passed=0 failed=0 skipped=0
check() {  # check NAME COMMAND...: one counted check
  local name=$1; shift
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL $name"; fi
}
for tool in lighttpd busybox openssl curl python3; do
  command -v $tool >/dev/null || { echo "skipping: $tool is not installed"; echo "0 passed, 0 failed, 1 skipped"; exit 77; }
done
tmp=$(mktemp -d /tmp/apiweb_e2e.XXXXXX)
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done; rm -rf "$tmp"; }
trap cleanup EXIT
ip link set lo up

# The CGI as the servers run it, and the tools: the target's under the emulator.
cgi=$apiweb
if [ -n "$emulator" ]; then
  wrap() { printf '#!/bin/sh\nQEMU_LD_PREFIX=/ exec %s %s "$@"\n' "$emulator" "$2" > "$tmp/$1"; chmod 755 "$tmp/$1"; }
  wrap apiweb-emulated "$apiweb"; cgi=$tmp/apiweb-emulated
  wrap apictl "$apictl"; apictl=$tmp/apictl
  [ -n "${APIWEB_APISIM_NATIVE:-}" ] || { wrap apisim "$apisim"; apisim=$tmp/apisim; }
fi

"$apisim" --no-state >"$tmp/apisim.log" 2>&1 &
pids+=($!)
web_await "$tmp/apisim.log" '^apisim: serving' $! || { cat "$tmp/apisim.log"; echo "0 passed, 1 failed, 0 skipped"; exit 1; }

# lighttpd with TLS (a test CA's certificate for 127.0.0.1), busybox without.
mkdir -p "$tmp/www" "$tmp/lighttpd" "$tmp/state-busybox" "$tmp/bb/cgi-bin"
web_ca "$tmp" && web_cert "$tmp/lighttpd" "$tmp" 127.0.0.1
web_conf "$tmp/lighttpd" 8443 "$cgi" "$tmp/www" 'server.bind = "127.0.0.1"' \
  'setenv.add-environment += ("APIWEB_TIMEOUT" => "1")'
lighttpd -D -f "$tmp/lighttpd/lighttpd.conf" &
pids+=($!)
ln -s "$cgi" "$tmp/bb/cgi-bin/apiweb"
APIWEB_STATE_DIR=$tmp/state-busybox APIWEB_TIMEOUT=1 ASAN_OPTIONS=detect_leaks=0 busybox httpd -f -p 127.0.0.1:8081 -h "$tmp/bb" 2>"$tmp/busybox.log" &
pids+=($!)
for _ in $(seq 1000); do
  curl -s --cacert "$tmp/ca.pem" -o /dev/null https://127.0.0.1:8443/ && curl -s -o /dev/null http://127.0.0.1:8081/ && break
  sleep 0.1
done

# gateway_cases.py's counts into ours.
run_cases() {
  local out
  out=$(python3 "$here/gateway_cases.py" "$@" 2>&1)
  echo "$out" | grep -v '^[0-9]* passed, [0-9]* failed$'
  local line
  line=$(echo "$out" | tail -n 1)
  if [[ $line =~ ^([0-9]+)\ passed,\ ([0-9]+)\ failed$ ]]; then
    passed=$((passed + BASH_REMATCH[1])) failed=$((failed + BASH_REMATCH[2]))
  else
    failed=$((failed + 1)); echo "FAIL gateway_cases.py $1 did not finish"
  fi
}
run_cases https://127.0.0.1:8443 lighttpd "$tmp/lighttpd/state" "$apictl" "$tmp/ca.pem"
if [ -z "$emulator" ]; then
  "$apictl" API_USER_SetChangePassword admin admin >/dev/null   # the factory password again
  run_cases http://127.0.0.1:8081 busybox "$tmp/state-busybox" "$apictl"
fi

# What no server sends: a body shorter than CONTENT_LENGTH (the client gave
# up), no CONTENT_LENGTH, and a start outside a web server.
cgi_run() {  # cgi_run BODY ENV...: the status line
  printf '%s' "$1" | env -i GATEWAY_INTERFACE=CGI/1.1 REQUEST_METHOD=POST PATH_INFO=/rpc CONTENT_TYPE=application/json \
    APIWEB_STATE_DIR="$tmp/state-cgi" "${@:2}" "$cgi" | head -n 1 | tr -d '\r'
}
check "a CONTENT_LENGTH that lies: 400" test "$(cgi_run '{"jsonrpc"' CONTENT_LENGTH=100)" = "Status: 400 Bad Request"
check "no CONTENT_LENGTH: 411" test "$(cgi_run '{}')" = "Status: 411 Length Required"
check "a CONTENT_LENGTH that is no number: 400" test "$(cgi_run '{}' CONTENT_LENGTH=1e3)" = "Status: 400 Bad Request"
"$cgi" >/dev/null 2>&1
check "outside a web server it says so" test $? = 2

# The OpenAPI description, served and valid.
curl -s --cacert "$tmp/ca.pem" https://127.0.0.1:8443/cgi-bin/apiweb/openapi.json > "$tmp/openapi.json"
check "openapi.json is served" python3 -c "import json,sys; d=json.load(open(sys.argv[1])); sys.exit(d['openapi'] != '3.1.0')" "$tmp/openapi.json"
if [ -z "$emulator" ]; then
  check "openapi.json validates ($validator)" env NODE_PATH="$APIWEB_VALIDATOR_DIR/node_modules" node -e '
      require("@apidevtools/swagger-parser").validate(process.argv[1]).then(
        api => console.log(`openapi.json: valid, ${Object.keys(api.components.schemas).length} schemas`),
        e => { console.error(String(e).slice(0, 2000)); process.exit(1); })' "$tmp/openapi.json"
fi

# What the CGI wrote on the servers' error logs: no sanitizer report (the
# sanitizer build), and no password.
check "no sanitizer report from the CGI" bash -c "! grep -hE 'AddressSanitizer|runtime error:' '$tmp/lighttpd/lighttpd.log' '$tmp/busybox.log'"
check "no password in the servers' logs" bash -c "! grep -hE 'Secret-pw' '$tmp/lighttpd/lighttpd.log' '$tmp/busybox.log'"

echo "$passed passed, $failed failed, $skipped skipped"
[ $failed = 0 ]
