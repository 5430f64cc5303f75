# Install tree and Debian packages.
#
# Components, one package each:
#   runtime  libcanfd1     the shared object and the udev rule
#   dev      libcanfd-dev  headers, the development symlink, pkg-config file
#                          and CMake package
#   tools    canfd-tools   programs (canfd, canfd-sim with its preload):
#                          every install() that names no component
#
# Packages want the Debian multiarch layout: configure with
# -DCMAKE_INSTALL_PREFIX=/usr, which makes the library directory
# lib/<multiarch triplet>. The installed files find each other by relative
# paths, so `cmake --install --prefix` may still put the tree anywhere.
include(CMakePackageConfigHelpers)

set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME tools)

set(CANFD_UDEV_RULES_DIR lib/udev/rules.d CACHE STRING
    "Directory of the udev rule, relative to the prefix or absolute")
set(CANFD_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/canfd)
set(CANFD_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(FILES ${PROJECT_SOURCE_DIR}/packaging/60-canfd.rules
  DESTINATION ${CANFD_UDEV_RULES_DIR} COMPONENT runtime)

# pkg-config
file(RELATIVE_PATH CANFD_PC_TO_PREFIX ${CMAKE_INSTALL_PREFIX}/${CANFD_PKGCONFIG_DIR}
  ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" CANFD_PC_TO_PREFIX "${CANFD_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/packaging/libcanfd.pc.in
  ${PROJECT_BINARY_DIR}/libcanfd.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/libcanfd.pc DESTINATION ${CANFD_PKGCONFIG_DIR} COMPONENT dev)

# CMake package
install(EXPORT canfd-targets NAMESPACE canfd:: DESTINATION ${CANFD_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/canfd-config.cmake.in
  ${PROJECT_BINARY_DIR}/canfd-config.cmake INSTALL_DESTINATION ${CANFD_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/canfd-config-version.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/canfd-config.cmake
              ${PROJECT_BINARY_DIR}/canfd-config-version.cmake
  DESTINATION ${CANFD_CMAKE_DIR} COMPONENT dev)

# Debian packages (cpack -G DEB in the build tree), for this project's own
# builds only: a project that adds this tree keeps its own CPack settings.
if(NOT PROJECT_IS_TOP_LEVEL)
  return()
endif()
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME libcanfd)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "libcanfd developers <libcanfd@example.org>" CACHE STRING
    "Maintainer of the Debian packages")
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_COMPONENTS_ALL runtime dev tools)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
if(CANFD_DEB_ARCH)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${CANFD_DEB_ARCH})
endif()

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libcanfd1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libcanfd-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME canfd-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
# The first line of a description is the package's summary.
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "driver library for the two-port USB CAN FD adapter
libcanfd drives the adapter through /dev/hidrawN. This package has the
shared library and the udev rule that gives the plugdev group access to the
adapters.")
set(CPACK_DEBIAN_DEV_DESCRIPTION "driver library for the two-port USB CAN FD adapter - development files
C and C++ headers, pkg-config file and CMake package (canfd::canfd) of
libcanfd.")
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "tools for the two-port USB CAN FD adapter
The canfd command-line tool; canfd-sim, which runs programs against
simulated adapters; and canfd-socketcan, which makes the ports of an adapter
SocketCAN network interfaces (with a systemd unit template).")

if(CMAKE_CROSSCOMPILING)
  # dpkg-shlibdeps knows only the host's libraries; the cross builds need
  # what the native one computes: glibc with POSIX threads in it (2.34) and,
  # for the C++ programs, the C++ runtime of g++ 12.
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "libc6 (>= 2.34)")
  set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "libc6 (>= 2.34), libgcc-s1 (>= 3.5), libstdc++6 (>= 12)")
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # The programs link the library that is being packaged.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/src)
endif()

include(CPack)
cpack_add_component(runtime)
cpack_add_component(dev DEPENDS runtime)
cpack_add_component(tools DEPENDS runtime)
