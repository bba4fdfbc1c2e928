# Cross-compiling for 32-bit Windows (x86) with mingw-w64; see
# mingw-w64-x86_64.cmake for the choice of the -posix compilers and the
# static runtime.  The DLL's x86 export details are in driver/CMakeLists.txt.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
# GCC 12 reports a -Wrestrict false positive inside std::string at -O3 on
# this target (GCC bug 105651); the code is fine.
set(CMAKE_CXX_FLAGS_INIT "-Wno-restrict")
