# Cross build for the camera: 32-bit little-endian MIPS Linux.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/mipsel-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Test programs run under user-mode emulation with the mipsel multiarch libraries.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mipsel-static)
# Debian installs the target's libcrypt under the multiarch directory.
# Test programs carry their C++ runtime: the target image has none.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-L/usr/lib/mipsel-linux-gnu -Wl,-rpath-link,/usr/lib/mipsel-linux-gnu -static-libstdc++ -static-libgcc")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-L/usr/lib/mipsel-linux-gnu -Wl,-rpath-link,/usr/lib/mipsel-linux-gnu")
# Extra target libraries unpacked outside the system (scripts/test.sh puts
# the target's libjpeg there).
set(CMAKE_LIBRARY_ARCHITECTURE mipsel-linux-gnu)
if(API_ARCH_TARGET_ROOT)
  list(APPEND CMAKE_FIND_ROOT_PATH ${API_ARCH_TARGET_ROOT})
  set(CMAKE_C_FLAGS_INIT "-isystem ${API_ARCH_TARGET_ROOT}/usr/include/mipsel-linux-gnu")
  set(CMAKE_CXX_FLAGS_INIT "-isystem ${API_ARCH_TARGET_ROOT}/usr/include/mipsel-linux-gnu")
endif()
