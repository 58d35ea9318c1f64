# Sourced by the install, staging and package checks: the consumers they
# build, as a camera program's developer would write them.

# write_consumers DIR: the README's C example (DIR/demo.c), a second unit that
# includes a shared header by its short name (DIR/short_name.c), and a CMake
# project that builds both against find_package(api_arch ${API_ARCH_WANT} CONFIG)
# (DIR/cmake/).
write_consumers() {
  local dir=$1 here
  here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
  mkdir -p "$dir/cmake"
  awk '/^```c$/ { on = 1; next } /^```$/ && on { exit } on' "$here/../README.md" > "$dir/demo.c"
  grep -q 'API_Video_GetFrequency' "$dir/demo.c" || { echo "no C example found in README.md"; return 1; }
  cat > "$dir/short_name.c" <<'C'
#include "init_ipc.h"
#include <buf_def.h>
int message_size(void) { return MSG_SIZE + (int)(sizeof(BUFFER_ENCODE_T) > 0); }
C
  cat > "$dir/cmake/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.16)
project(api_arch_consumer C)
find_package(api_arch \${API_ARCH_WANT} CONFIG REQUIRED)
add_executable(demo_cmake $dir/demo.c $dir/short_name.c)
target_link_libraries(demo_cmake PRIVATE api_arch::api_arch)
set_target_properties(demo_cmake PROPERTIES C_STANDARD 99)
target_compile_options(demo_cmake PRIVATE -Wall -Werror)
CMAKE
}

# build_cmake_consumer DIR BUILD WANT [cmake args...]: configures and builds
# DIR/cmake in BUILD asking for version WANT; the output only on failure.
build_cmake_consumer() {
  local dir=$1 out=$2 want=$3
  shift 3
  { cmake -S "$dir/cmake" -B "$out" -DAPI_ARCH_WANT="$want" "$@" && cmake --build "$out"; } >"$out.log" 2>&1
}

# The line that the README's example prints once the stand-in daemon has
# taken its setting.
expected_demo_output="frequency of channel 0: 60"

# install_libdir BUILD_DIR: where the build installs libraries below its
# prefix (lib/<multiarch triplet> on Debian's C library, lib on musl).
install_libdir() { sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$1/CMakeCache.txt"; }
