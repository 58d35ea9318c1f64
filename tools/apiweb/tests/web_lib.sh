# The web servers of the gateway's, the page's and the fleet's tests (sourced).
#   web_ca DIR                  a test CA: DIR/ca.pem, DIR/ca.key
#   web_cert DIR CA_DIR IP      DIR/cert.pem and DIR/key.pem for IP (and localhost)
#   web_conf DIR PORT CGI DOCROOT [LINE...]   DIR/lighttpd.conf: DOCROOT at /,
#     CGI at /cgi-bin/apiweb with its state in DIR/state, TLS when DIR has
#     cert.pem, the log DIR/lighttpd.log; each LINE added
#   web_await FILE PATTERN PID  until FILE has a line matching PATTERN (status
#     1 when PID ended first or after 10 s)
web_ca() {
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj "/CN=apiweb test CA" \
    -keyout "$1/ca.key" -out "$1/ca.pem" 2>/dev/null
}
web_cert() {
  openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj "/CN=$3" -keyout "$1/key.pem" 2>/dev/null |
    openssl x509 -req -CA "$2/ca.pem" -CAkey "$2/ca.key" -CAcreateserial -days 2 \
      -extfile <(echo "subjectAltName=IP:$3,DNS:localhost") -out "$1/cert.pem" 2>/dev/null
}
web_conf() {
  local dir=$1 port=$2 cgi=$3 root=$4 tls=
  shift 4
  mkdir -p "$dir/state"
  [ -f "$dir/cert.pem" ] && tls=', "mod_openssl"'
  cat >"$dir/lighttpd.conf" <<CONF
server.modules = ("mod_alias", "mod_cgi", "mod_setenv"$tls)
server.document-root = "$root"
server.port = $port
server.errorlog = "$dir/lighttpd.log"
alias.url = ("/cgi-bin/apiweb" => "$cgi")
\$HTTP["url"] =~ "^/cgi-bin/" { cgi.assign = ("" => "") }
setenv.add-environment = ("APIWEB_STATE_DIR" => "$dir/state", "ASAN_OPTIONS" => "detect_leaks=0")
CONF
  [ -z "$tls" ] || printf 'ssl.engine = "enable"\nssl.pemfile = "%s/cert.pem"\nssl.privkey = "%s/key.pem"\n' "$dir" "$dir" \
    >>"$dir/lighttpd.conf"
  printf '%s\n' "$@" >>"$dir/lighttpd.conf"
}
web_await() {
  for _ in $(seq 200); do
    grep -q "$2" "$1" 2>/dev/null && return 0
    kill -0 "$3" 2>/dev/null || break
    sleep 0.05
  done
  return 1
}
