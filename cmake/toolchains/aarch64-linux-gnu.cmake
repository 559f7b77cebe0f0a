# 64-bit Arm Linux, cross-built with Debian's g++-aarch64-linux-gnu. What the build runs (test
# discovery, the tests themselves) runs under Debian's qemu-user, with the target's C library from
# the cross compiler's own folder.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

set(MORVASK_TARGET_ROOT /usr/aarch64-linux-gnu)
# qemu looks for a file under -L first, then on this machine: without a library path, the loader
# of the cross compiler's C library would take the C library that /etc/ld.so.cache names, Debian's
# own libc6:arm64 when that is installed (the arm64 package's Depends are read off it). A loader and
# a C library of two builds hang the first fork.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L ${MORVASK_TARGET_ROOT}
                                  -E LD_LIBRARY_PATH=${MORVASK_TARGET_ROOT}/lib)

# Libraries and headers of the target only; programs (gzip, nm) of this machine.
set(CMAKE_FIND_ROOT_PATH ${MORVASK_TARGET_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
