# Common part of the toolchain files for Debian's cross compilers. The
# including file sets:
#   canfd_triplet    the compiler prefix, also the directory of the target's
#                    libraries under /usr
#   canfd_processor  CMAKE_SYSTEM_PROCESSOR
#   canfd_multiarch  Debian's multiarch triplet of the target
#   canfd_emulator   qemu-user command that runs the target's programs
#   canfd_platform   what the loader's $PLATFORM expands to under it
#   canfd_platform_aliases  (optional) what it expands to on other processors
#                    of the target, for the installed preload
#   canfd_deb_arch   Debian architecture of the packages
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${canfd_processor})
set(CMAKE_LIBRARY_ARCHITECTURE ${canfd_multiarch})

set(CMAKE_C_COMPILER ${canfd_triplet}-gcc)
set(CMAKE_CXX_COMPILER ${canfd_triplet}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${canfd_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest and gtest_discover_tests run the test programs through it.
set(CMAKE_CROSSCOMPILING_EMULATOR ${canfd_emulator})
# The test rig loads <build>/preload/$PLATFORM/libcanfd-sandbox.so.
set(CANFD_PLATFORM ${canfd_platform} CACHE STRING "Loader $PLATFORM of the target")
set(CANFD_PLATFORM_ALIASES "${canfd_platform_aliases}" CACHE STRING
    "Other values of $PLATFORM on the target")
# GNUInstallDirs picks the multiarch library directory only natively.
set(CMAKE_INSTALL_LIBDIR lib/${canfd_multiarch} CACHE PATH "Object code libraries")
set(CANFD_DEB_ARCH ${canfd_deb_arch} CACHE STRING "Debian architecture of the packages")
