# 32-bit ARM hard-float Linux with Debian's cross compiler
# (g++-arm-linux-gnueabihf); test programs run under qemu-arm.
set(canfd_triplet arm-linux-gnueabihf)
set(canfd_processor arm)
set(canfd_multiarch arm-linux-gnueabihf)
set(canfd_emulator qemu-arm -L /usr/arm-linux-gnueabihf)
# qemu-arm emulates an ARMv8 processor in 32-bit mode; ARMv7 boards, the
# base of the armhf architecture, expand $PLATFORM to v7l.
set(canfd_platform v8l)
set(canfd_platform_aliases v7l)
set(canfd_deb_arch armhf)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
