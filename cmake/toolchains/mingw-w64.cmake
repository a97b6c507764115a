# Cross-compiling for Windows with mingw-w64 (Debian's g++-mingw-w64-* packages). Included by
# the i686 and x86_64 toolchain files, which set KESTREL_MINGW_ARCH first.
set(CMAKE_SYSTEM_NAME Windows)
set(triple ${KESTREL_MINGW_ARCH}-w64-mingw32)

# The -posix variants: the default -win32 thread model has no std::thread or std::mutex.
set(CMAKE_C_COMPILER ${triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triple}-g++-posix)
set(CMAKE_RC_COMPILER ${triple}-windres)
set(KESTREL_DLLTOOL ${triple}-dlltool)
set(KESTREL_OBJDUMP ${triple}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Self-contained programs and DLL: the C and C++ runtimes are linked in, so they import only
# system DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# ctest runs the Windows test programs through Wine, with a Wine prefix of the build folder's
# own and the output through a file (Wine's helper processes would hold a pipe open).
set(CMAKE_CROSSCOMPILING_EMULATOR
    ${CMAKE_CURRENT_LIST_DIR}/../../scripts/wine-run.sh ${KESTREL_WINE_LOADER})
