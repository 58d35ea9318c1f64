# Cross build for the camera's own C library: 32-bit little-endian MIPS Linux
# with musl (Debian's musl-dev:mipsel and musl:mipsel).
#
# The package's wrapper runs the mipsel cross gcc with its musl-gcc.specs:
# musl's headers and start files, no standard library of the cross toolchain.
# It compiles C++ too, without any C++ runtime (there is none for musl here):
# programs that need one fail to link, and the build leaves them out.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(CMAKE_C_COMPILER mipsel-linux-musl-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-musl-gcc)
set(API_ARCH_MUSL_ROOT /usr/lib/mipsel-linux-musl)
set(CMAKE_FIND_ROOT_PATH ${API_ARCH_MUSL_ROOT} /usr/include/mipsel-linux-musl)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# musl ships no kernel headers: linux/, asm/ and asm-generic/ come from the
# cross toolchain's include folder, through a folder that holds only them (the
# rest of that folder is glibc's and must stay out of sight).
set(API_ARCH_KERNEL_HEADERS ${CMAKE_BINARY_DIR}/musl-kernel-headers)
get_property(api_arch_in_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
if(NOT api_arch_in_try_compile AND NOT EXISTS ${API_ARCH_KERNEL_HEADERS}/asm-generic)
  file(MAKE_DIRECTORY ${API_ARCH_KERNEL_HEADERS})
  foreach(dir linux asm asm-generic)
    file(CREATE_LINK /usr/mipsel-linux-gnu/include/${dir} ${API_ARCH_KERNEL_HEADERS}/${dir} SYMBOLIC)
  endforeach()
endif()
set(CMAKE_C_FLAGS_INIT "-idirafter ${API_ARCH_KERNEL_HEADERS}")
set(CMAKE_CXX_FLAGS_INIT "-idirafter ${API_ARCH_KERNEL_HEADERS}")

# Test programs run under user-mode emulation with musl's own loader
# (/lib/ld-musl-mipsel.so.1 from musl:mipsel, found through QEMU_LD_PREFIX=/).
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mipsel-static)
