# Builds for the MSVC ABI as Visual C++ would, on Linux: clang-cl compiles,
# lld-link links.  NOTAVERO_MSVC_ARCH is x64 or x86.  There is no Visual C++
# runtime or Windows SDK here: the programs built with it need no C runtime
# (they import kernel32, see CMakeLists.txt), and the compiler checks build
# a static library instead of a program linked against that runtime.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES NOTAVERO_MSVC_ARCH)
if(NOTAVERO_MSVC_ARCH STREQUAL "x86")
  set(CMAKE_SYSTEM_PROCESSOR x86)
  set(CMAKE_C_COMPILER_TARGET i686-pc-windows-msvc)
  set(CMAKE_CXX_COMPILER_TARGET i686-pc-windows-msvc)
else()
  set(CMAKE_SYSTEM_PROCESSOR AMD64)
  set(CMAKE_C_COMPILER_TARGET x86_64-pc-windows-msvc)
  set(CMAKE_CXX_COMPILER_TARGET x86_64-pc-windows-msvc)
endif()
find_program(CMAKE_C_COMPILER NAMES clang-cl clang-cl-14 REQUIRED)
set(CMAKE_CXX_COMPILER ${CMAKE_C_COMPILER})
find_program(CMAKE_LINKER NAMES lld-link REQUIRED)
find_program(CMAKE_AR NAMES llvm-lib llvm-lib-14 REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES llvm-rc llvm-rc-14)
find_program(CMAKE_MT NAMES llvm-mt llvm-mt-14)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
