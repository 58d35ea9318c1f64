#!/usr/bin/env bash
# Runs a command in new namespaces, as the test suites need them:
#   private_ns.sh [--ipc] [--net] [--mount] [--pid] -- COMMAND [ARGS...]
# With --mount, every mount is made private before COMMAND runs, so that
# nothing mounted inside reaches any other namespace. In a plain chroot, where
# / is not a mount point and cannot be made private as it is, the root is
# bound onto itself and entered first. When the namespaces cannot be had, it
# prints "skipping: CAUSE" and exits 77 (the suites' skip status) without
# running COMMAND.
set -u
self=$(readlink -f "$0")
skip() { echo "skipping: $*"; exit 77; }
chroot_cause="cannot make mounts private: / is not a mount point (a plain chroot?)"

# Status 0 when "/" is a mount point.
root_is_mount_point() { awk '$5 == "/" { found = 1 } END { exit !found }' /proc/self/mountinfo; }

# Whether a mount made on the file system that holds "/" shows in other
# namespaces as well (status 0), or not (1), or cannot be told (2). A scratch
# mount answers, and is taken away again at once, copies and all.
root_mount_is_shared() {
  local probe tags
  probe=$(mktemp -d /.private_ns.XXXXXX 2>/dev/null) || return 2
  mount -t tmpfs private_ns_probe "$probe" 2>/dev/null || { rmdir "$probe"; return 2; }
  tags=$(awk -v p="$probe" '$5 == p { for (i = 7; $i != "-"; i++) printf " %s", $i }' /proc/self/mountinfo)
  umount "$probe"
  rmdir "$probe"
  [[ "$tags " == *" shared:"* ]]
}

case ${1:-} in
--make-private)  # first step inside the new mount namespace
  shift
  err=$(mount --make-rprivate / 2>&1) && exec "$@"
  [ -r /proc/self/mountinfo ] || skip "cannot make mounts private: $err (and /proc is not mounted)"
  root_is_mount_point && skip "cannot make mounts private: $err"
  root_mount_is_shared
  case $? in
    0) skip "$chroot_cause and the mount that holds it is shared with other namespaces" ;;
    2) skip "$chroot_cause and it cannot be told whether the mount that holds it is shared" ;;
  esac
  # Bound onto itself, the root becomes a mount point of this namespace alone.
  mount --rbind / / 2>/dev/null || skip "$chroot_cause and it cannot be bound onto itself"
  # "/.." leads onto the mount just made, whose root is this same directory.
  exec unshare --root=/.. --wd="$PWD" bash "$self" --rebound "$@"
  ;;
--rebound)
  shift
  err=$(mount --make-rprivate / 2>&1) || skip "cannot make mounts private: $err"
  exec "$@"
  ;;
esac

flags=() names=() mount=
while [ $# -gt 0 ] && [ "$1" != -- ]; do
  names+=("${1#--}")
  case $1 in
    --ipc|--net|--pid) flags+=("$1") ;;
    --mount) flags+=("$1" --propagation unchanged) mount=1 ;;
    *) echo "private_ns.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
shift
err=$(unshare "${flags[@]}" true 2>&1) || {
  err=${err#unshare: }
  [[ $err == *"Operation not permitted"* ]] && err="$err; run as root"
  skip "cannot enter private namespaces (${names[*]}): $err"
}
if [ -n "$mount" ]; then
  exec unshare "${flags[@]}" --fork -- bash "$self" --make-private "$@"
fi
exec unshare "${flags[@]}" --fork -- "$@"
