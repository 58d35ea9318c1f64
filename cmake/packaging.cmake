# Debian packages, one per install component (`cpack -G DEB` in a build tree):
#   libapi-arch1     runtime  the library and its soname link
#   libapi-arch-dev  dev      headers, the .so link, pkg-config file, CMake package
#   api-arch-tools   tools    apictl, apisim, the BufferEncode provider, man pages, completion
# The architecture is the target's (mipsel when cross-built). Dependencies on
# system libraries come from dpkg-shlibdeps; those between the three packages
# are exact versions.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME api-arch)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "libapi_arch maintainers <api-arch@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)  # with the build's own strip, the target's when cross-built
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev tools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR MATCHES "^mips(el)?$")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${CMAKE_SYSTEM_PROCESSOR})
endif()

set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The library and the provider are found in the build tree while their own
# packages are not installed yet; their dependencies are the component ones.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR} ${CMAKE_BINARY_DIR}/tools/apisim_state)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libapi-arch1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libapi-arch-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME api-arch-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)

# First line: the summary; the rest: the long description.
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "configuration and control API of the network camera
The library that the camera's programs load to read and change the camera's
settings and to ask for device actions: nearly every call is one
request/reply transaction with the camera's control daemon.")
set(CPACK_DEBIAN_DEV_DESCRIPTION "configuration and control API of the network camera (development files)
Headers (include/api_arch), the pkg-config file api_arch.pc and the CMake
package api_arch (imported target api_arch::api_arch).")
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "desk tools for the camera's configuration and control API
apisim, a stand-in control daemon, apictl, every operation of the library
from the command line, and libapisim_state, the provider of BufferEncode
for programs on a desk.")

include(CPack)
cpack_add_component(runtime)
cpack_add_component(dev DEPENDS runtime)
cpack_add_component(tools DEPENDS runtime)
