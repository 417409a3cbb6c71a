# Cross-compiles for 64-bit Windows with Debian's mingw-w64 (GCC with POSIX threads) and runs what
# it builds (the tests, GoogleTest's test discovery) under Wine.
#
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake ...   (or: cmake --preset windows)
#
# Libraries and packages are taken only from the prefix that scripts/build-windows-deps fills:
# VARNHOLT_WINDOWS_DEPS (cache or environment variable), by default the script's own default.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

if(NOT VARNHOLT_WINDOWS_DEPS)
  if(NOT "$ENV{VARNHOLT_WINDOWS_DEPS}" STREQUAL "")
    set(VARNHOLT_WINDOWS_DEPS "$ENV{VARNHOLT_WINDOWS_DEPS}")
  else()
    set(VARNHOLT_WINDOWS_DEPS /var/cache/varnholt-ocr/windows-deps/bookworm-x86_64-w64-mingw32)
  endif()
endif()
# try_compile projects read this file again; hand them the same prefix.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VARNHOLT_WINDOWS_DEPS)

# Headers, libraries and CMake packages come from the prefix (and the compiler's own Windows
# headers), never from the build machine; programs (nasm, pkg-config) from the build machine.
set(CMAKE_FIND_ROOT_PATH "${VARNHOLT_WINDOWS_DEPS}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config, should anything ask it, sees only the prefix's .pc files.
set(ENV{PKG_CONFIG_LIBDIR} "${VARNHOLT_WINDOWS_DEPS}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# Programs and DLLs carry the C and C++ runtimes and winpthreads inside, so that they import only
# the system's DLLs and run from any folder.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Debian's wine64 package keeps its launcher in Wine's library folder, off PATH.
find_program(VARNHOLT_WINE64 NAMES wine64 PATHS /usr/lib/wine /usr/lib/x86_64-linux-gnu/wine
  DOC "Wine's 64-bit launcher, which runs the Windows programs built here")
if(VARNHOLT_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_COMMAND};-E;env;WINEDEBUG=-all;${VARNHOLT_WINE64}")
endif()
