# Cross build for 64-bit ARM Linux (arm64) with Debian's cross compiler, the
# target's headers and libraries from its sysroot. Tests and tools built here
# run under qemu-user.
#
#   cmake --preset arm64      (or -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux.cmake)
#
# Debian: g++-aarch64-linux-gnu, qemu-user and googletest.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(QUENDIX_AARCH64_TRIPLET aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${QUENDIX_AARCH64_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${QUENDIX_AARCH64_TRIPLET}-g++)
set(QUENDIX_AARCH64_SYSROOT /usr/${QUENDIX_AARCH64_TRIPLET} CACHE PATH "The arm64 target's libraries and loader")

# Headers and libraries come from the target's tree only; programs from the host.
set(CMAKE_FIND_ROOT_PATH ${QUENDIX_AARCH64_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The executables are linked statically: they run on any arm64 Linux
# without the target's libraries, and qemu-user runs them without -L. With
# -L (the target's loader and libraries from the sysroot), qemu looks up
# every absolute path in the sysroot first, so "/" itself would open the
# sysroot and the program's walks from "/" would go astray.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Everything built here that has to run (test discovery, tests, the example
# checks, the demo) runs under qemu-user, named by its absolute path since
# the tests exec it themselves.
find_program(QUENDIX_QEMU_AARCH64 qemu-aarch64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${QUENDIX_QEMU_AARCH64})
