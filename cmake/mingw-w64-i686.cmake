# Cross-compiling the 32-bit Windows DLL with the Debian mingw-w64 toolchain
# (packages g++-mingw-w64-i686 and mingw-w64).
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

# x86_64-w64-mingw32 gives the 64-bit build of the same sources, for
# machines whose wine runs 64-bit programs only.
set(OEM4CONV_MINGW_PREFIX i686-w64-mingw32 CACHE STRING "Target triple of the cross tools")
# CMake's compiler checks configure projects of their own, which see the
# triple only when it is passed on.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES OEM4CONV_MINGW_PREFIX)
if(OEM4CONV_MINGW_PREFIX MATCHES "^x86_64")
  set(CMAKE_SYSTEM_PROCESSOR AMD64)
endif()

# Debian ships the compilers in a -win32 and a -posix threading flavour; the
# library needs neither thread model, and the unsuffixed names point to one
# of them through alternatives.
find_program(CMAKE_C_COMPILER NAMES ${OEM4CONV_MINGW_PREFIX}-gcc ${OEM4CONV_MINGW_PREFIX}-gcc-win32 REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${OEM4CONV_MINGW_PREFIX}-g++ ${OEM4CONV_MINGW_PREFIX}-g++-win32 REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${OEM4CONV_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${OEM4CONV_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Lets the build run the test host under wine (CTest, add_test).
find_program(OEM4CONV_WINE NAMES wine)
if(OEM4CONV_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${OEM4CONV_WINE})
endif()
