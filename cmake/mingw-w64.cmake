# Cross build for 64-bit Windows with Debian's mingw-w64 compilers. The
# executables are linked statically, so they run on a bare Windows machine,
# and tests and tools built here run under wine.
#
#   cmake --preset windows      (or -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake)

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

# The compilers of the POSIX thread model: GoogleTest needs std::mutex, which
# the Win32 thread model's C++ library of this release lacks. The program
# uses no threads; the thread library is linked in statically.
set(QUENDIX_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QUENDIX_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUENDIX_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${QUENDIX_MINGW_TRIPLET}-windres)

# Headers and libraries come from the target's tree only; programs from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${QUENDIX_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No runtime DLLs to ship beside the .exe: the C and C++ runtimes are linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Everything built here that has to run (test discovery, tests, the example
# check, the demo) runs under wine, in a wine prefix of its own inside the
# build directory and without wine's diagnostics, so that runs are quiet and
# do not depend on the user's ~/.wine. The .NET and browser add-ons are not
# wanted: a console program needs neither, and their installers would ask.
#
# Wine runs without address randomization (setarch -R, which every process
# it starts inherits). Debian's wine has no preloader to reserve its fixed
# addresses before the kernel lays out the process, so the loader's heap,
# placed anywhere in the GiB above the loader at 0x7d000000, now and then
# covers 0x7ffe0000, where each wine process must map the shared user data.
# That process then dies at start ("failed to map the shared user data"),
# and the CreateProcess that started it fails with error 1359. Without
# randomization the heap begins right above the loader, 47 MiB below.
set(QUENDIX_WINE /usr/lib/wine/wine64 CACHE FILEPATH "The wine loader that runs the Windows executables")
find_program(QUENDIX_SETARCH setarch REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR
    ${CMAKE_COMMAND} -E env WINEPREFIX=${CMAKE_BINARY_DIR}/wine WINEDEBUG=-all
    WINEDLLOVERRIDES=mscoree,mshtml= ${QUENDIX_SETARCH} x86_64 -R ${QUENDIX_WINE})
