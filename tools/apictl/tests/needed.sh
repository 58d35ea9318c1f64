#!/usr/bin/env bash
# apictl needs the API library and the C library and nothing of a C++ runtime
# (no libstdc++, no libgcc_s, no libjpeg, no libapisim_state), and it defines
# and exports BufferEncode so that the library's reference binds to it.
#   needed.sh APICTL [EXTRA-LIBRARY-REGEX]   (the sanitizer runtimes, where built with them)
set -u
bin=$1 extra=${2:-}
needed=$(readelf -d "$bin" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
bad=0
for lib in $needed; do
  case $lib in
    libapi_arch.so.1 | libc.so.6 | libc.so) ;;
    *) if [ -n "$extra" ] && [[ $lib =~ $extra ]]; then continue; fi
       echo "FAIL: NEEDED $lib"; bad=1 ;;
  esac
done
grep -qx libapi_arch.so.1 <<< "$needed" || { echo "FAIL: libapi_arch.so.1 is not NEEDED"; bad=1; }
if readelf --dyn-syms -W "$bin" | awk '$7 == "UND"' |
   grep -E '@(GLIBCXX|CXXABI|GCC)_|_Unwind_|__cxa_(throw|begin_catch|guard|pure_virtual)|__gxx_personality| _Z(nw|na|dl|da)'; then
  echo "FAIL: symbols of a C++ runtime or of libgcc_s"; bad=1
fi
readelf --dyn-syms -W "$bin" | awk '$8 ~ /^BufferEncode/ && $7 != "UND" && $5 == "GLOBAL"' | grep -q . ||
  { echo "FAIL: BufferEncode is not defined and exported"; bad=1; }
[ $bad -eq 0 ] && echo "NEEDED: $(echo $needed)"
exit $bad
