#!/usr/bin/env bash
# The settings page in a real browser: headless chromium, driven by Selenium, against
# lighttpd serving the page and the gateway, apisim as the camera and a real SMTP server,
# all in private IPC, network and mount namespaces on loopback.
#   browser_test.sh APIWEB APISIM APICTL
# Prints one line per case and last "N passed, N failed, N skipped"; exits 0, 1, or 77
# when it cannot run (the cause named).
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/web_lib.sh"
export PATH=$PATH:/usr/sbin
cases=6
skip() { echo "skipping: $*"; echo "0 passed, 0 failed, $cases skipped"; exit 77; }
broken() { echo "$*"; echo "0 passed, $cases failed, 0 skipped"; exit 1; }

if [ -z "${BROWSER_TEST_INSIDE:-}" ]; then
  [ $# -eq 3 ] || { echo "usage: browser_test.sh APIWEB APISIM APICTL" >&2; exit 2; }
  for program in "$@"; do [ -x "$program" ] || skip "$program is not built"; done
  for tool in chromium chromedriver lighttpd; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
  done
  /usr/bin/python3 -c "import selenium, aiosmtpd" 2>/dev/null || skip "python3-selenium or python3-aiosmtpd is not installed"
  shopt -s lastpipe  # the output goes on as it comes, and its last line is kept
  BROWSER_TEST_INSIDE=1 bash "$here/../../../scripts/private_ns.sh" --ipc --net --mount -- bash "$0" "$@" |
    while IFS= read -r line; do printf '%s\n' "$line"; last=$line; done
  status=${PIPESTATUS[0]}
  [ $status -eq 77 ] && [[ ${last:-} != *" skipped" ]] && echo "0 passed, 0 failed, $cases skipped"
  exit $status
fi

apiweb=$(readlink -f "$1") apisim=$(readlink -f "$2") apictl=$(readlink -f "$3")
ip link set lo up || skip "cannot bring up the loopback interface"
# Chromium's shared memory and every file of this run stay inside this namespace.
for dir in /dev/shm /tmp; do mount -t tmpfs browser_test "$dir" || skip "cannot mount a private $dir"; done
work=$(mktemp -d /tmp/browser_test.XXXXXX)
mkdir -p "$work/mail" "$work/home" "$work/profile"
pids=()
finish() { for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done; wait 2>/dev/null; }
trap finish EXIT

(cd "$work" && exec "$apisim" --no-state --retry none >"$work/apisim.log" 2>&1) &
pids+=($!)
web_await "$work/apisim.log" '^apisim: serving' $! || broken "apisim did not start: $(cat "$work/apisim.log")"
/usr/bin/python3 "$here/../../apisim/tests/mail_server.py" --port 2525 --out "$work/mail" >"$work/smtp.log" 2>&1 &
pids+=($!)
web_await "$work/smtp.log" '^ready' $! || broken "the SMTP server did not start: $(cat "$work/smtp.log")"

# The gateway at /cgi-bin/apiweb (the rest of the path is its PATH_INFO), the page at /.
web_conf "$work" 8080 "$apiweb" "$(readlink -f "$here/../www")" 'server.bind = "127.0.0.1"' 'index-file.names = ("index.html")' \
  'mimetype.assign = (".html" => "text/html; charset=utf-8", ".js" => "text/javascript", ".css" => "text/css")'
lighttpd -D -f "$work/lighttpd.conf" >"$work/lighttpd.out" 2>&1 &
pids+=($!)
for _ in $(seq 2000); do curl -s -o /dev/null http://127.0.0.1:8080/ && break; sleep 0.05; done
curl -s -o /dev/null http://127.0.0.1:8080/ || broken "lighttpd does not serve: $(cat "$work"/lighttpd.*)"

HOME=$work/home /usr/bin/python3 "$here/browser_test.py" "$apictl" http://127.0.0.1:8080/ "$work/mail" 2525 "$work/profile"
status=$?
[ $status -eq 0 ] || { echo "--- lighttpd log"; cat "$work/lighttpd.log" 2>/dev/null; echo "--- apisim log"; tail -20 "$work/apisim.log"; }
exit $status
