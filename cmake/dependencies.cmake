# Finds liblzf and fast_float and defines liblzf::liblzf and FastFloat::fast_float.
#
# Each is taken from its CMake package where one is installed (Debian, vcpkg,
# fast_float's own install), else from its header and library found on the
# usual paths (and through pkg-config for liblzf, where pkg-config is there):
# Fedora, Homebrew, conda-forge and most other layouts ship no CMake package
# for liblzf. A static liblzf is taken where only that exists. When one is
# missing, configuration stops with one message that says what to install.

set(_kelvarin_missing "")

find_package(liblzf CONFIG QUIET)
if(TARGET liblzf::liblzf)
  message(STATUS "liblzf: CMake package in ${liblzf_DIR}")
else()
  find_package(PkgConfig QUIET)
  if(PKG_CONFIG_FOUND)
    pkg_check_modules(PC_LIBLZF QUIET liblzf)
  endif()
  # Debian and some others put the header in include/liblzf.
  find_path(LIBLZF_INCLUDE_DIR lzf.h
    HINTS ${PC_LIBLZF_INCLUDE_DIRS} PATH_SUFFIXES liblzf)
  find_library(LIBLZF_LIBRARY NAMES lzf liblzf HINTS ${PC_LIBLZF_LIBRARY_DIRS})
  if(LIBLZF_INCLUDE_DIR AND LIBLZF_LIBRARY)
    message(STATUS "liblzf: ${LIBLZF_LIBRARY}, header in ${LIBLZF_INCLUDE_DIR}")
    add_library(liblzf::liblzf UNKNOWN IMPORTED)
    set_target_properties(liblzf::liblzf PROPERTIES
      IMPORTED_LOCATION "${LIBLZF_LIBRARY}"
      INTERFACE_INCLUDE_DIRECTORIES "${LIBLZF_INCLUDE_DIR}")
  else()
    list(APPEND _kelvarin_missing "liblzf (lzf.h and the lzf library)")
  endif()
endif()

find_package(FastFloat CONFIG QUIET)
if(TARGET FastFloat::fast_float)
  message(STATUS "fast_float: CMake package in ${FastFloat_DIR}")
else()
  # Header-only: the header is all it takes.
  find_path(FASTFLOAT_INCLUDE_DIR fast_float/fast_float.h)
  if(FASTFLOAT_INCLUDE_DIR)
    message(STATUS "fast_float: header in ${FASTFLOAT_INCLUDE_DIR}")
    add_library(FastFloat::fast_float INTERFACE IMPORTED)
    set_target_properties(FastFloat::fast_float PROPERTIES
      INTERFACE_INCLUDE_DIRECTORIES "${FASTFLOAT_INCLUDE_DIR}")
  else()
    list(APPEND _kelvarin_missing "fast_float (fast_float/fast_float.h)")
  endif()
endif()

if(_kelvarin_missing)
  list(JOIN _kelvarin_missing " and " _kelvarin_what)
  message(FATAL_ERROR
    "kelvarin needs ${_kelvarin_what}, which this build could not find. Install:\n"
    "  Debian, Ubuntu:  apt install liblzf-dev libfast-float-dev\n"
    "  Fedora:          dnf install liblzf-devel fast_float-devel\n"
    "  Homebrew:        brew install liblzf fast_float\n"
    "  conda-forge:     conda install -c conda-forge liblzf fast_float\n"
    "  vcpkg:           vcpkg install liblzf fast-float\n"
    "or point CMAKE_PREFIX_PATH (or LIBLZF_INCLUDE_DIR, LIBLZF_LIBRARY, "
    "FASTFLOAT_INCLUDE_DIR) at where they are.")
endif()
