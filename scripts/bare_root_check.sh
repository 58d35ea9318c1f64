#!/usr/bin/env bash
# The README's two commands, exactly as written, on a bare Debian root that
# holds nothing but a clone of this checkout (its committed HEAD):
#   scripts/bare_root_check.sh [--build-dir DIR] [--test-args "ARGS"]
# The root is made once with debootstrap from Debian's archive (the release
# the README names) and kept under DIR/bare-root/base (default build/); each
# run lays a fresh overlay over it, in a private mount namespace with /proc,
# /sys and /dev mounted, so the base stays bare. --test-args passes
# arguments to the test command (e.g. "host": one variant, for a shorter run).
# Prints each command's last lines and time. Needs root; too long for every
# test run, so it is not part of the test command.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
release=bookworm mirror=http://deb.debian.org/debian
bdir=$root/build test_args=""
while [ $# -gt 0 ]; do
  case $1 in
    --build-dir) bdir=$(realpath -m "$2"); shift ;;
    --test-args) test_args=$2; shift ;;
    --inside) inside=1 ;;  # internal: the part in the mount namespace
    *) echo "usage: scripts/bare_root_check.sh [--build-dir DIR] [--test-args \"ARGS\"]" >&2; exit 2 ;;
  esac
  shift
done
[ "$(id -u)" -eq 0 ] || { echo "bare_root_check: needs root (debootstrap, chroot, mounts)" >&2; exit 77; }
work=$bdir/bare-root
base=$work/base

# Inside the private mount namespace: the overlay, the file systems, the run.
if [ -n "${inside:-}" ]; then
  run=$work/run
  rm -rf "$run" && mkdir -p "$run/upper" "$run/work" "$run/root"
  mount -t overlay bare-root -o "lowerdir=$base,upperdir=$run/upper,workdir=$run/work" "$run/root" || exit 1
  r=$run/root
  mount -t proc proc "$r/proc" && mount -t sysfs sysfs "$r/sys" && mount --rbind /dev "$r/dev" &&
    mount -t tmpfs tmpfs "$r/tmp" || exit 1
  cp /etc/resolv.conf "$r/etc/resolv.conf"
  # Likewise the CAs this machine's network needs for HTTPS (an intercepting
  # proxy's): the npm registry is reached through them.
  ca_env=()
  if [ -n "${NODE_EXTRA_CA_CERTS:-}" ] && [ -f "$NODE_EXTRA_CA_CERTS" ]; then
    cp "$NODE_EXTRA_CA_CERTS" "$r/etc/network-ca.crt" && ca_env=(NODE_EXTRA_CA_CERTS=/etc/network-ca.crt)
  fi
  # Where every user may read it (not /root): a suite runs apictl as another user.
  git clone -q --no-hardlinks "$root" "$r/srv/libapi_arch" || exit 1
  # The README's two commands, as it writes them.
  commands=$(sed -n '/^## The two commands/,/^## /{s/^    \(scripts\/[a-z_]*\.sh\).*/\1/p}' "$r/srv/libapi_arch/README.md")
  [ "$(wc -l <<<"$commands")" -eq 2 ] || { echo "FAIL: the README's two commands not found"; exit 1; }
  status=0
  while read -r command; do
    [[ $command == */test.sh ]] && command+=${test_args:+ $test_args}
    echo "=== bare $release root: $command"
    log=$work/$(basename "${command%% *}" .sh).log
    start=$(date +%s)
    chroot "$r" /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin TERM=dumb "${ca_env[@]}" \
      bash -c "cd /srv/libapi_arch && $command" > "$log" 2>&1
    s=$?
    tail -12 "$log"
    echo "=== $command: exit $s after $(( $(date +%s) - start )) s (log: $log)"
    [ $s -eq 0 ] || status=1
  done <<<"$commands"
  exit $status
fi

if [ ! -x "$base/bin/bash" ]; then
  command -v debootstrap >/dev/null || { echo "bare_root_check: debootstrap is not installed" >&2; exit 1; }
  echo "=== debootstrap $release into $base (once)"
  # A failed debootstrap may leave its mounts behind: never remove through them.
  grep -q " $base/" /proc/self/mountinfo && { echo "bare_root_check: mounts left under $base" >&2; exit 1; }
  rm -rf "$base" && mkdir -p "$work"
  debootstrap --variant=minbase "$release" "$base" "$mirror" > "$work/debootstrap.log" 2>&1 ||
    { tail -20 "$work/debootstrap.log"; exit 1; }
  rm -rf "$base"/var/cache/apt/archives/*.deb "$base"/var/lib/apt/lists/*
fi
exec unshare --mount --propagation private -- bash "$0" --inside --build-dir "$bdir" --test-args "$test_args"
