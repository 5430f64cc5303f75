# 32-bit x86 Linux with Debian's cross compiler (g++-i686-linux-gnu); test
# programs run under qemu-i386.
set(canfd_triplet i686-linux-gnu)
set(canfd_processor i686)
set(canfd_multiarch i386-linux-gnu)
# Without LD_LIBRARY_PATH the loader takes the host's /lib32 glibc, with
# which threaded programs hang.
set(canfd_emulator qemu-i386 -L /usr/i686-linux-gnu -E LD_LIBRARY_PATH=/usr/i686-linux-gnu/lib)
set(canfd_platform i686)
set(canfd_deb_arch i386)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
