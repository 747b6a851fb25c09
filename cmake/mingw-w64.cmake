# Cross builds for Windows with Debian's MinGW-w64 compilers (the POSIX thread
# model, for std::thread and friends), run under Wine. KELVARIN_MINGW_ARCH is
# i686 or x86_64; KELVARIN_MINGW_PREFIX holds the target's own libraries and
# headers (scripts/windows.sh lays it out), the only place searched for them.
set(CMAKE_SYSTEM_NAME Windows)
if(NOT KELVARIN_MINGW_ARCH)
  set(KELVARIN_MINGW_ARCH "$ENV{KELVARIN_MINGW_ARCH}")
endif()
if(NOT KELVARIN_MINGW_PREFIX)
  set(KELVARIN_MINGW_PREFIX "$ENV{KELVARIN_MINGW_PREFIX}")
endif()
# try_compile projects see these too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KELVARIN_MINGW_ARCH KELVARIN_MINGW_PREFIX)
if(KELVARIN_MINGW_ARCH STREQUAL "x86_64")
  set(CMAKE_SYSTEM_PROCESSOR x86_64)
elseif(KELVARIN_MINGW_ARCH STREQUAL "i686")
  set(CMAKE_SYSTEM_PROCESSOR x86)
else()
  message(FATAL_ERROR "KELVARIN_MINGW_ARCH must be i686 or x86_64")
endif()
set(CMAKE_C_COMPILER ${KELVARIN_MINGW_ARCH}-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER ${KELVARIN_MINGW_ARCH}-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER ${KELVARIN_MINGW_ARCH}-w64-mingw32-windres)
# The C++ runtime linked in, so that the programs run without MinGW's DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -static)
set(CMAKE_MODULE_LINKER_FLAGS_INIT -static)
set(CMAKE_FIND_ROOT_PATH ${KELVARIN_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
