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
set(CPACK_PACKAGE_CONTACT "libapi_arch maintainers <api-arch@example.org>")
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

# The library and its development files, one copy per architecture side by
# side (amd64 and mipsel on one desk): every file they share is the same on
# both (headers, manual pages, the documents below), every other one lies in
# the multiarch directory. The tools are one per machine.
set(CPACK_API_ARCH_MULTIARCH_SAME libapi-arch1 libapi-arch-dev)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/deb_multiarch.cmake)

# The loader's cache is brought up to date by the ldconfig trigger (cpack
# adds ldconfig calls to the maintainer scripts besides).
set(api_arch_triggers ${CMAKE_BINARY_DIR}/debian-control/triggers)
file(WRITE ${api_arch_triggers} "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${api_arch_triggers})
set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_EXTRA ${api_arch_triggers})

# Each package's copyright and changelog (fixed dates and gzip -n: the same
# bytes on every architecture and every build).
set(api_arch_doc_dir ${CMAKE_BINARY_DIR}/debian-doc)
foreach(component runtime dev tools)
  string(TOUPPER ${component} upper)
  set(package ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
  file(MAKE_DIRECTORY ${api_arch_doc_dir}/${package})
  file(WRITE ${api_arch_doc_dir}/${package}/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: libapi_arch
Upstream-Contact: ${CPACK_PACKAGE_CONTACT}

Files: *
Copyright: 2026 the libapi_arch maintainers
License: proprietary
 All rights reserved by the libapi_arch maintainers; no licence is granted
 beyond use on the camera and on the desks of its developers.
")
  file(WRITE ${api_arch_doc_dir}/${package}/changelog
"${package} (${PROJECT_VERSION}) unstable; urgency=medium

  * Release ${PROJECT_VERSION}.

 -- ${CPACK_PACKAGE_CONTACT}  Mon, 07 Dec 2026 00:00:00 +0000
")
  execute_process(COMMAND gzip -9nf ${api_arch_doc_dir}/${package}/changelog)
  install(FILES ${api_arch_doc_dir}/${package}/copyright ${api_arch_doc_dir}/${package}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
endforeach()

include(CPack)
cpack_add_component(runtime)
cpack_add_component(dev DEPENDS runtime)
cpack_add_component(tools DEPENDS runtime)
