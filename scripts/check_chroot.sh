#!/usr/bin/env bash
# The test programs as root in a plain chroot, whose / is not a mount point:
#   check_chroot.sh BUILD_DIR
# Makes such a chroot in a private mount namespace: a directory on a scratch
# tmpfs, with the machine's /usr, /etc, /var, /dev, /sys and the source and
# build trees bound in and /proc mounted. There,
# - the transcript program (its namespaces entered before any call) writes
#   the reviewed transcript with no check failing;
# - private_ns.sh (the scripts' way) gives a mount namespace in which a bind
#   mount over a file stays unseen outside it.
# Then once more with the scratch tmpfs shared with the namespace around it:
# private_ns.sh must refuse (77) and name the cause, leaving no mount behind
# outside.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/.." && pwd)

if [ "${1:-}" = --inside ]; then  # in a private mount namespace of our own
  build=$2 shared=$3 scratch=$4
  r=$scratch/root
  mount -t tmpfs check_chroot "$scratch" || exit 1
  [ "$shared" = shared ] && mount --make-shared "$scratch"
  mkdir -p "$r"/{proc,tmp,root}
  binds=(usr etc var dev sys "$source_dir" "$build")
  for d in bin sbin lib lib32 lib64; do
    if [ -L "/$d" ]; then ln -s "$(readlink "/$d")" "$r/$d"; elif [ -d "/$d" ]; then binds+=("$d"); fi
  done
  for d in "${binds[@]}"; do
    d=/${d#/}
    mkdir -p "$r$d" && mount --rbind "$d" "$r$d" || exit 1
  done
  mount -t proc proc "$r/proc" && chmod 1777 "$r/tmp" || exit 1
  before=$(cut -d' ' -f5 /proc/self/mountinfo | sort)
  status=0
  [ "$shared" = shared ] || chroot "$r" "$build/tests/target/transcript" --expect "$source_dir/tests/target/transcript.expected" \
    >"$scratch/transcript.log" 2>&1
  transcript_status=$?
  # private_ns.sh: a bind over /etc/hostname, looked at from inside and outside.
  chroot "$r" bash "$source_dir/scripts/private_ns.sh" --mount -- \
    bash -c 'echo chroot-check > /tmp/name && mount --bind /tmp/name /etc/hostname && cat /etc/hostname' \
    >"$scratch/private_ns.log" 2>&1
  ns_status=$?
  after=$(cut -d' ' -f5 /proc/self/mountinfo | sort)
  if [ "$shared" = shared ]; then
    [ $ns_status -eq 77 ] && grep -q '^skipping: cannot make mounts private: / is not a mount point' "$scratch/private_ns.log" ||
      { echo "FAIL: private_ns.sh in a chroot on a shared mount: status $ns_status:"; cat "$scratch/private_ns.log"; status=1; }
  else
    [ $transcript_status -eq 0 ] && grep -q ', 0 failed checks, equal to the reference' "$scratch/transcript.log" ||
      { echo "FAIL: the transcript in a plain chroot: status $transcript_status:"; tail -20 "$scratch/transcript.log"; status=1; }
    [ $ns_status -eq 0 ] && [ "$(cat "$scratch/private_ns.log")" = chroot-check ] ||
      { echo "FAIL: private_ns.sh in a plain chroot: status $ns_status:"; cat "$scratch/private_ns.log"; status=1; }
    [ "$(cat "$r/etc/hostname")" = chroot-check ] && { echo "FAIL: the bind over /etc/hostname shows outside"; status=1; }
  fi
  [ "$before" = "$after" ] || { echo "FAIL: mounts left behind around the chroot:"; diff <(echo "$before") <(echo "$after"); status=1; }
  if [ $status -eq 0 ]; then
    if [ "$shared" = shared ]; then echo "chroot on a shared mount: private_ns.sh refuses: $(cat "$scratch/private_ns.log")"
    else echo "plain chroot: $(tail -1 "$scratch/transcript.log"); private_ns.sh made its mounts private"; fi
  fi
  exit $status
fi

build=$(realpath "$1")
[ -x "$build/tests/target/transcript" ] || { echo "FAIL: no $build/tests/target/transcript"; exit 1; }
tmp=$(mktemp -d /tmp/check_chroot.XXXXXX)
trap 'rm -rf "$tmp"' EXIT
status=0
for kind in private shared; do
  mkdir "$tmp/$kind"
  bash "$here/private_ns.sh" --mount -- bash "$0" --inside "$build" "$kind" "$tmp/$kind" || status=$?
done
exit $status
