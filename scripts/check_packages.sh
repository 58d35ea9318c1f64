#!/usr/bin/env bash
# Builds the Debian packages of a build tree (cpack -G DEB) and checks them:
#   check_packages.sh BUILD_DIR [CROSS_C_COMPILER EMULATOR]
# - names, architecture, version and dependencies (the development files and
#   the tools on exactly this version of the library), Multi-Arch: same for
#   the library and its development files;
# - lintian finds no error in any of them;
# - each package holds exactly its install component, and the three together
#   everything that `cmake --install` installs;
# - for this machine's architecture: installed with dpkg into a scratch root
#   (overlays of the machine's file systems in a private mount namespace,
#   dropped at the end: its own system is never touched), where the README's
#   example builds through pkg-config and CMake with no hints and talks to
#   the installed apisim, apropos finds the functions' manual pages, and from
#   which the packages are removed cleanly;
# - for a cross build: its library and development files installed in such a
#   scratch root beside this machine's (built from BUILD_DIR/host-apisim), the
#   example cross-built against them and run under the emulator.
# Prints the packages' names and sizes.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)

if [ "${1:-}" = --scratch-root ]; then  # the scratch-root part, in its namespaces
  shift
  debs=$1 readme=$2 work=$3 cross_cc=${4:-} emulator=${5:-}
  . "$here/consumers.sh"
  mount -t tmpfs check_packages "$work" || exit 1
  r=$work/root
  mkdir "$r"
  # The scratch root: an overlay of each file system of the machine's tree
  # (/ and what is mounted below it, parents first; /proc, /sys, /dev, /run
  # and /tmp aside), whose writes all land in the scratch tmpfs.
  n=0
  while read -r point; do
    point=$(printf '%b' "$point")  # mountinfo writes a space as \040
    case $point in /proc|/proc/*|/sys|/sys/*|/dev|/dev/*|/run|/run/*|/tmp|/tmp/*) continue ;; esac
    n=$((n + 1))
    if [ -d "$point" ]; then
      mkdir -p "$work/layer$n/upper" "$work/layer$n/work"
      mount -t overlay "scratch$n" -o "lowerdir=$point,upperdir=$work/layer$n/upper,workdir=$work/layer$n/work" "$r$point"
    else
      mount --bind -o ro "$point" "$r$point"
    fi || { echo "FAIL: cannot lay a scratch layer over $point"; exit 1; }
  done < <({ echo /; awk '{ print $5 }' /proc/self/mountinfo; } | sort -u)
  mount -t proc proc "$r/proc" && mount --rbind /dev "$r/dev" && mount -t tmpfs tmpfs "$r/tmp" || exit 1
  mkdir -p "$r/tmp/check/debs" && cp "$debs"/*.deb "$r/tmp/check/debs/" && cp "$readme" "$r/tmp/check/README.md"
  cp "$here/consumers.sh" "$here/private_ns.sh" "$here/with_apisim.sh" "$r/tmp/check/"
  CROSS_CC=$cross_cc EMULATOR=$emulator chroot "$r" /bin/bash -s <<'SCRATCH'
set -uo pipefail
cd /tmp/check
mkdir -p scripts && mv consumers.sh private_ns.sh with_apisim.sh scripts/
. scripts/consumers.sh
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
export DEBIAN_FRONTEND=noninteractive
for a in $(for d in debs/*.deb; do dpkg-deb -f "$d" Architecture; done | sort -u); do
  [ "$a" = "$(dpkg --print-architecture)" ] || dpkg --add-architecture "$a"
done
dpkg -i debs/*.deb >dpkg.log 2>&1 || { cat dpkg.log; echo "FAIL: dpkg -i"; exit 1; }
# (grep reads a copy: grep -q on a pipe would stop ldconfig with SIGPIPE, a failure under pipefail)
grep -q 'libapi_arch.so.1 ' <<<"$(ldconfig -p)" || fail "the library is not in the loader's cache after installing"
mandb -q /usr/share/man >/dev/null 2>&1
grep -q '^API_Video_SetHue (3)' <<<"$(apropos -e API_Video_SetHue 2>&1)" ||
  fail "apropos does not find API_Video_SetHue: $(apropos -e API_Video_SetHue 2>&1)"
write_consumers /tmp/check/src || exit 1
# shellcheck disable=SC2046
cc -std=c99 -Wall -Werror -o demo_pc src/demo.c src/short_name.c $(pkg-config --cflags --libs api_arch) ||
  fail "the README's example does not build through pkg-config"
build_cmake_consumer src cmake 1 || { cat cmake.log; fail "find_package(api_arch 1 CONFIG) with no hints"; }
for t in apictl apisim; do
  if dpkg -L api-arch-tools | grep -qx "/usr/bin/$t"; then command -v $t >/dev/null || fail "$t not on PATH"; fi
done
if command -v apisim >/dev/null; then
  out=$(WITH_APISIM_INSIDE=1 bash scripts/with_apisim.sh apisim bash -c './demo_pc; cmake/demo_cmake; apictl API_Video_GetFrequency 0' 2>&1)
  [ "$(grep -c "^$expected_demo_output\$" <<<"$out")" -eq 2 ] && [ "$(tail -1 <<<"$out")" = 60 ] ||
    fail "the README's example and apictl against the installed apisim printed: $out"
fi
if [ -n "$CROSS_CC" ]; then
  # The target's library and development files, installed beside this
  # machine's: the example cross-built against them, run under the emulator.
  triplet=$($CROSS_CC -dumpmachine)
  # shellcheck disable=SC2046
  $CROSS_CC -std=c99 -Wall -Werror -o demo_cross src/demo.c src/short_name.c \
    $(PKG_CONFIG_LIBDIR=/usr/lib/$triplet/pkgconfig pkg-config --cflags --libs api_arch) -Wl,-rpath-link,/usr/lib/$triplet ||
    fail "the README's example does not cross-build against libapi-arch-dev for $triplet"
  out=$(WITH_APISIM_INSIDE=1 QEMU_LD_PREFIX=/ bash scripts/with_apisim.sh apisim $EMULATOR ./demo_cross 2>&1)
  [ "$out" = "$expected_demo_output" ] || fail "the cross-built example against the installed apisim printed: $out"
fi
dpkg -r $(dpkg-query -W -f '${Package}:${Architecture}\n' 'libapi-arch*' 'api-arch-tools' 2>/dev/null) >>dpkg.log 2>&1 ||
  { cat dpkg.log; fail "dpkg -r"; }
left=$(ls /usr/lib/*/libapi_arch* /usr/include/api_arch /usr/lib/*/cmake/api_arch /usr/lib/*/pkgconfig/api_arch.pc \
  /usr/share/man/man3/api_arch.3.gz 2>/dev/null)
[ -z "$left" ] || fail "left after removing the packages: $left"
grep -q 'libapi_arch.so.1 ' <<<"$(ldconfig -p)" && fail "the library stays in the loader's cache after removing"
exit $((failures > 0))
SCRATCH
  exit $?
fi

build=$(realpath "$1") cross_cc=${2:-} emulator=${3:-}
. "$here/consumers.sh"
lib=$(install_libdir "$build")
tmp=$(mktemp -d /tmp/check_packages.XXXXXX)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

debs=$build/packages
rm -f "$debs"/*.deb
(cd "$build" && cpack -G DEB --config CPackConfig.cmake) >"$tmp/cpack.log" 2>&1 || { cat "$tmp/cpack.log"; exit 1; }
grep -qi 'warning' "$tmp/cpack.log" && { cat "$tmp/cpack.log"; fail "cpack warned"; }
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")/\1/p' "$build/CPackConfig.cmake")
arch=$(sed -n 's/^set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "\(.*\)")/\1/p' "$build/CPackConfig.cmake")
arch=${arch:-$(dpkg --print-architecture)}
field() { dpkg-deb -f "$1" "$2"; }

# Every file, link and directory that an install of COMPONENT (all of them
# when empty) puts under /usr, as "./usr/..." like dpkg-deb lists them.
install_list() {
  local dest=$tmp/install-${1:-all}
  DESTDIR=$dest cmake --install "$build" --prefix /usr ${1:+--component "$1"} >/dev/null 2>&1 || return 1
  (cd "$dest" && find . -mindepth 1 \( -type d -printf '%p/\n' \) -o -printf '%p\n') | sort
}
all=()
declare -A component=([libapi-arch1]=runtime [libapi-arch-dev]=dev [api-arch-tools]=tools)
for name in libapi-arch1 libapi-arch-dev api-arch-tools; do
  deb=$debs/${name}_${version}_${arch}.deb
  [ -f "$deb" ] || { fail "no package $(basename "$deb")"; continue; }
  all+=("$deb")
  [ "$(field "$deb" Package)" = "$name" ] && [ "$(field "$deb" Version)" = "$version" ] &&
    [ "$(field "$deb" Architecture)" = "$arch" ] || fail "$name: wrong name, version or architecture"
  case $name in
    libapi-arch1|libapi-arch-dev) [ "$(field "$deb" Multi-Arch)" = same ] || fail "$name is not Multi-Arch: same" ;;
  esac
  depends=$(field "$deb" Depends)
  case $name in
    libapi-arch1) [[ $depends == *libc6* ]] || fail "$name: no dependency on the C library: $depends" ;;
    *) [[ ", $depends," == *", libapi-arch1 (= $version),"* ]] || fail "$name: not bound to libapi-arch1 (= $version): $depends" ;;
  esac
  dpkg-deb -c "$deb" > "$tmp/$name.listing"
  awk '$6 != "./" { print $6 }' "$tmp/$name.listing" | sort > "$tmp/$name.contents"
  install_list "${component[$name]}" > "$tmp/$name.installed"
  diff -u "$tmp/$name.installed" "$tmp/$name.contents" > "$tmp/$name.diff" ||
    { fail "$name does not hold exactly the ${component[$name]} component:"; cat "$tmp/$name.diff"; }
done
install_list "" > "$tmp/all.installed"
sort -u "$tmp"/*.contents > "$tmp/all.contents"
comm -23 "$tmp/all.installed" "$tmp/all.contents" > "$tmp/missing"
[ -s "$tmp/missing" ] && { fail "installed but in no package:"; cat "$tmp/missing"; }
grep -q " ./usr/$lib/libapi_arch.so.1 -> " "$tmp/libapi-arch1.listing" || fail "libapi-arch1 lacks the soname link in /usr/$lib"
# Debian's package checker: no error (the warnings kept are listed in the README).
lintian --fail-on error "${all[@]}" > "$tmp/lintian.log" 2>&1 || { cat "$tmp/lintian.log"; fail "lintian"; }
lintian_warnings=$(grep -c '^W: ' "$tmp/lintian.log")
dpkg-deb --ctrl-tarfile "$debs/libapi-arch1_${version}_${arch}.deb" | tar -xO ./shlibs > "$tmp/shlibs" 2>/dev/null
grep -q "^libapi_arch 1 libapi-arch1 " "$tmp/shlibs" || fail "libapi-arch1 has no shlibs entry for libapi_arch 1"

# The scratch root: this machine's packages, or for a cross build the
# target's library and development files beside this machine's.
scratch_debs=() scratch_args=()
if [ ${#all[@]} -eq 3 ] && [ "$arch" = "$(dpkg --print-architecture)" ]; then
  scratch_debs=("${all[@]}")
elif [ ${#all[@]} -eq 3 ] && [ -n "$cross_cc" ]; then
  # This machine's build: the test command's host build where it names one
  # (API_ARCH_HOST_BUILD), else the small one made beside this cross build.
  host_build=$build/host-apisim
  [ -f "${API_ARCH_HOST_BUILD:-}/CMakeCache.txt" ] && host_build=$API_ARCH_HOST_BUILD
  { cmake --build "$host_build" && (cd "$host_build" && cpack -G DEB -B "$tmp/host-packages" --config CPackConfig.cmake); } \
    > "$tmp/host-packages.log" 2>&1 || { cat "$tmp/host-packages.log"; fail "this machine's packages from $host_build"; }
  scratch_debs=("$tmp"/host-packages/*.deb "${all[@]:0:2}")
  scratch_args=("$cross_cc" "$emulator")
fi
if [ ${#scratch_debs[@]} -gt 0 ]; then
  mkdir "$tmp/scratch" "$tmp/debs" && cp "${scratch_debs[@]}" "$tmp/debs/"
  bash "$here/private_ns.sh" --mount --ipc -- bash "$0" --scratch-root "$tmp/debs" "$here/../README.md" "$tmp/scratch" \
    "${scratch_args[@]}" > "$tmp/scratch.log" 2>&1
  status=$?
  [ $status -eq 77 ] && { cat "$tmp/scratch.log"; exit 77; }
  [ $status -eq 0 ] || { cat "$tmp/scratch.log"; fail "the packages in a scratch root"; }
  scratch=", installed, used and removed in a scratch root"
  [ -n "$cross_cc" ] && scratch+=" beside this machine's"
fi

[ $failures -eq 0 ] || exit 1
for deb in "${all[@]}"; do
  echo "$(basename "$deb"): $(stat -c %s "$deb") bytes, installed $(field "$deb" Installed-Size) KiB; Depends: $(field "$deb" Depends)"
done
echo "packages for $arch checked, lintian: no error, $lintian_warnings warnings${scratch:-}"
