# What a consumer finds after `cmake --install`: a pkg-config file and a CMake
# package, both relocatable (they derive the prefix from where they were
# installed), so that a prefix can be moved and a staging root can be used as a
# cross sysroot.
include(CMakePackageConfigHelpers)

# The prefix as the pkg-config file derives it from its own directory, and
# the library and header directories below it (as given, when absolute).
file(RELATIVE_PATH API_ARCH_PC_TO_PREFIX "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
string(REGEX REPLACE "/$" "" API_ARCH_PC_TO_PREFIX "${API_ARCH_PC_TO_PREFIX}")
set(API_ARCH_PC_PREFIX "\${pcfiledir}/${API_ARCH_PC_TO_PREFIX}")
foreach(kind LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${kind}}")
    set(API_ARCH_PC_${kind} "${CMAKE_INSTALL_${kind}}")
  else()
    set(API_ARCH_PC_${kind} "\${prefix}/${CMAKE_INSTALL_${kind}}")
  endif()
endforeach()
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(API_ARCH_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/api_arch.pc.in api_arch.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/api_arch.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

# find_package(api_arch 1 CONFIG) gives api_arch::api_arch; any 1.x is
# compatible with a request for 1.
set(API_ARCH_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/api_arch)
install(EXPORT api_arch NAMESPACE api_arch:: FILE api_arch-targets.cmake
  DESTINATION ${API_ARCH_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/api_arch-config.cmake.in
  ${CMAKE_BINARY_DIR}/api_arch-config.cmake INSTALL_DESTINATION ${API_ARCH_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/api_arch-config-version.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/api_arch-config.cmake ${CMAKE_BINARY_DIR}/api_arch-config-version.cmake
  DESTINATION ${API_ARCH_CMAKE_DIR} COMPONENT dev)
