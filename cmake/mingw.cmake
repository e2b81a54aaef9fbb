# Cross-compiling for Windows: clang and lld over mingw-w64's headers,
# runtime and GCC support library (lld, unlike GNU ld here, fills in the
# exe's load configuration). The preset names the target in MINGW_TRIPLE:
# i686-w64-mingw32 or x86_64-w64-mingw32. CTest runs the result under Wine.
if(NOT MINGW_TRIPLE MATCHES "^(i686|x86_64)-w64-mingw32$")
  message(FATAL_ERROR "cmake/mingw.cmake needs MINGW_TRIPLE: configure with --preset windows-x86 or windows-x64")
endif()
set(CMAKE_SYSTEM_NAME Windows)
set(triple ${MINGW_TRIPLE})
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MINGW_TRIPLE)
string(REGEX MATCH "^[^-]+" CMAKE_SYSTEM_PROCESSOR ${triple})

set(CMAKE_C_COMPILER clang)
set(CMAKE_C_COMPILER_TARGET ${triple})
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_CXX_COMPILER_TARGET ${triple})
set(CMAKE_RC_COMPILER ${triple}-windres)

# clang does not find Debian's folder of GCC's libraries and C++ headers
# for this target (it is named 12-win32), so it is named here.
execute_process(COMMAND ${triple}-gcc -print-libgcc-file-name OUTPUT_VARIABLE libgcc OUTPUT_STRIP_TRAILING_WHITESPACE
  RESULT_VARIABLE failed)
if(failed OR NOT IS_ABSOLUTE "${libgcc}")
  message(FATAL_ERROR "cmake/mingw.cmake cannot ask ${triple}-gcc where GCC's libraries are: is mingw-w64's g++ installed?")
endif()
cmake_path(GET libgcc PARENT_PATH gcc)
set(CMAKE_CXX_FLAGS_INIT "-isystem ${gcc}/include/c++ -isystem ${gcc}/include/c++/${triple}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -L${gcc}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT ${CMAKE_EXE_LINKER_FLAGS_INIT})

set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Debian's Wine loaders, named themselves: its wine script would start the
# 32-bit one for either exe whenever that is installed.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL x86_64)
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine)
endif()
