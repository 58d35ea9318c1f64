#!/usr/bin/env bash
# Runs the mipsel test programs of one or more builds on a real MIPS kernel:
# Debian's Malta kernel (linux-image-4kc-malta:mipsel) under
# qemu-system-mipsel -M malta, from an initramfs that holds busybox, iproute2's
# ip, the test programs and the libraries they load. The guest prints each
# result on the serial console and powers off; this side fails on any failed
# test, on a missing result and on a guest that has not finished in time.
#   scripts/malta.sh [--timeout SECONDS] [--only REGEX] SET=BUILD_DIR...
#   e.g. scripts/malta.sh glibc=build/mipsel musl=build/mipsel-musl
# --only keeps the tests whose names match (grep -E).
# The packages are downloaded (apt-get download) and unpacked into
# $API_ARCH_BUILD_DIR/malta (default build/malta), never installed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
limit=600 only=
while [ $# -gt 0 ]; do
  case $1 in
    --timeout) limit=$2; shift 2 ;;
    --only) only=$2; shift 2 ;;
    *) break ;;
  esac
done
[ $# -gt 0 ] || { sed -n '2,13s/^# \{0,1\}//p' "$0"; exit 2; }
work=${API_ARCH_BUILD_DIR:-$root/build}/malta
mkdir -p "$work/debs"

# The kernel package of the day (the metapackage names it), busybox, and the
# shell and ip that the local-operation suites run (busybox's own sh would run
# its ip applet, which knows no -batch), with the libraries ip loads.
packages="busybox-static dash iproute2 libbpf1 libelf1 zlib1g libmnl0 libbsd0 libmd0 libcap2"
kernel=$(apt-cache depends linux-image-4kc-malta:mipsel 2>/dev/null | sed -n 's/.*Depends: \(linux-image-[^:]*\).*/\1/p' | head -1)
if [ -z "$kernel" ] && [ "$(id -u)" -eq 0 ]; then
  apt-get update -qq
  kernel=$(apt-cache depends linux-image-4kc-malta:mipsel | sed -n 's/.*Depends: \(linux-image-[^:]*\).*/\1/p' | head -1)
fi
[ -n "$kernel" ] || { echo "malta: no linux-image-4kc-malta:mipsel in the package lists" >&2; exit 1; }
missing=()
for p in $kernel $packages; do
  ls "$work/debs/${p}_"*_mipsel.deb >/dev/null 2>&1 || missing+=("$p:mipsel")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "malta: downloading ${missing[*]}"
  (cd "$work/debs" && apt-get download "${missing[@]}" >/dev/null 2>&1) ||
    { [ "$(id -u)" -eq 0 ] && apt-get update -qq; (cd "$work/debs" && apt-get download "${missing[@]}" >/dev/null); }
fi
rm -rf "$work/unpacked" "$work/root"
mkdir -p "$work/unpacked" "$work/root"/{bin,sbin,usr/bin,usr/sbin,proc,sys,dev,tmp,lib/modules}
for deb in "$work"/debs/*.deb; do
  case $(basename "$deb") in linux-image-*) [[ $(basename "$deb") == "${kernel}_"* ]] || continue ;; esac
  dpkg-deb -x "$deb" "$work/unpacked"
done
vmlinuz=$(ls "$work"/unpacked/boot/vmlinuz-* | head -1)

# The guest's root: busybox, its init, the veth module, sh and ip, a stand-in
# hwclock that the local suites put their own over, and the test programs.
cp "$work/unpacked/bin/busybox" "$work/root/bin/busybox"
install -m 755 "$root/scripts/malta/init" "$work/root/init"
cp "$(find "$work/unpacked/lib/modules" -name veth.ko | head -1)" "$work/root/lib/modules/"
printf '#!/bin/sh\nexit 0\n' > "$work/root/sbin/hwclock"
chmod 755 "$work/root/sbin/hwclock"
python3 "$root/scripts/malta/collect.py" "$work/root" --elf "$work/unpacked/bin/ip:/sbin/ip" \
  --elf "$work/unpacked/bin/dash:/bin/sh" \
  --libdir "$work/unpacked/lib/mipsel-linux-gnu" --libdir "$work/unpacked/usr/lib/mipsel-linux-gnu" "$@"
if [ -n "$only" ]; then
  awk -F '\t' -v only="$only" '$2 ~ only' "$work/root/tests.list" > "$work/tests.only"
  mv "$work/tests.only" "$work/root/tests.list"
fi
(cd "$work/root" && find . | cpio -o -H newc --quiet) > "$work/initrd.cpio"
echo "malta: kernel $(basename "$vmlinuz"), initramfs $(( $(stat -c %s "$work/initrd.cpio") / 1048576 )) MiB, time limit ${limit} s"

# Boot. The guest's "@@" lines are shown as they come; the whole console is
# kept in console.log.
log=$work/console.log
start=$(date +%s)
set +e
timeout "$limit" qemu-system-mipsel -M malta -m 256 -kernel "$vmlinuz" -initrd "$work/initrd.cpio" \
  -append "console=ttyS0 rdinit=/init panic=-1 quiet" -nic none -vga none -nographic -monitor none -no-reboot </dev/null 2>&1 |
  tr -d '\r' | tee "$log" | grep --line-buffered '^@@'
status=${PIPESTATUS[0]}
set -e
echo "malta: the guest ran $(( $(date +%s) - start )) s"

expected=$(cut -f1,2 "$work/root/tests.list" | tr '\t' ' ' | sort)
reported=$(sed -n 's/^@@ result \([^ ]*\) \([^ ]*\) .*/\1 \2/p' "$log" | sort)
failed=$(grep -c '^@@ result [^ ]* [^ ]* failed' "$log" || true)
passed=$(grep -c '^@@ result [^ ]* [^ ]* passed' "$log" || true)
skipped=$(grep -c '^@@ result [^ ]* [^ ]* skipped' "$log" || true)
missing=$(comm -23 <(echo "$expected") <(echo "$reported") | grep -c . || true)
if [ "$status" -eq 124 ]; then
  echo "malta: the guest did not finish within ${limit} s"
elif ! grep -q '^@@ done' "$log"; then
  echo "malta: the guest stopped before the end (see $log)"
fi
[ "$missing" -eq 0 ] || { echo "malta: no result from:"; comm -23 <(echo "$expected") <(echo "$reported") | sed 's/^/  /'; }
failed=$((failed + missing))
grep -q '^@@ done' "$log" || failed=$((failed + 1))
echo "malta: $passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
