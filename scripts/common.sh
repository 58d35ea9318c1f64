# Helpers sourced by the scripts.

# ensure_packages PACKAGE... installs the Debian packages that are missing (as
# root; otherwise it names them and fails). A package of the mipsel
# architecture adds that architecture first.
ensure_packages() {
  local p missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]} (run as root to install them)" >&2
    return 1
  fi
  echo "installing: ${missing[*]}"
  if [[ " ${missing[*]}" == *:mipsel* ]] && ! dpkg --print-foreign-architectures | grep -qx mipsel; then
    dpkg --add-architecture mipsel
  fi
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# build_quietly LOG SOURCE-DIR BUILD-DIR [configure args...] [-- build args...]
# configures and builds with the output in LOG, shown only when a step fails.
build_quietly() {
  local log=$1 src=$2 dir=$3 configure=()
  shift 3
  while [ $# -gt 0 ] && [ "$1" != -- ]; do configure+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  mkdir -p "$dir"
  { cmake -S "$src" -B "$dir" "${configure[@]}" && cmake --build "$dir" -j"$(nproc)" "$@"; } >"$log" 2>&1 ||
    { tail -40 "$log"; return 1; }
}
