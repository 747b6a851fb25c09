#!/usr/bin/env bash
# kelvarin for Windows, built on Debian with the MinGW-w64 cross compilers and
# run under Wine. Installs what it needs (as root) from Debian's packages and
# PyPI; liblzf and CPython's headers come from Debian's source packages.
#
#   bash scripts/windows.sh unit i686|x86_64   the reader and the C++ unit tests, through ctest
#   bash scripts/windows.sh python [PYTEST ARGS...]
#                                              the module for CPython 3.11 win_amd64 and the
#                                              whole pytest suite under the Windows CPython
#   bash scripts/windows.sh msvc-check         clang-cl compiles the platform layer's MSVC branch
#
# Environment: KELVARIN_WORK (build trees and the Wine prefix go to windows/
# there), KELVARIN_WINDOWS_CACHE (downloads and the target libraries; default
# ~/.cache/kelvarin/windows), KELVARIN_EXPECT_KERNELS (passed on to the unit
# tests).
set -euo pipefail
cd "$(dirname "$0")/.."
here=$(pwd)
work=$(bash scripts/work-dir.sh)/windows
cache=${KELVARIN_WINDOWS_CACHE:-$HOME/.cache/kelvarin/windows}
mkdir -p "$work" "$cache"

# Wine: a prefix of our own, no console noise, and no offer to install Mono
# or Gecko, which no test needs.
export WINEPREFIX=$work/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

install_packages() {
  # wine32 is an i386 package: Wine runs 32-bit programs through it.
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
    rm -f "$cache/.apt-updated"
  fi
  bash scripts/install-debs.sh g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64 \
    wine32:i386 cmake make libfast-float-dev doctest-dev dpkg-dev "$@"
}

# `apt-get source` needs source entries: taken from the binary ones if there
# are none, so that they name the same archives.
enable_source_packages() {
  if ! grep -rqsE '^(deb-src|Types:.*deb-src)' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    for list in /etc/apt/sources.list.d/*.sources; do
      [ -e "$list" ] && sed 's/^Types: deb$/Types: deb-src/' "$list"
      echo
    done >/etc/apt/sources.list.d/kelvarin-deb-src.sources
    if [ -s /etc/apt/sources.list ]; then
      sed -n 's/^deb /deb-src /p' /etc/apt/sources.list >/etc/apt/sources.list.d/kelvarin-deb-src.list
    fi
    rm -f "$cache/.apt-updated"
  fi
  if [ ! -e "$cache/.apt-updated" ]; then
    apt-get -o DPkg::Lock::Timeout=600 update -qq
    touch "$cache/.apt-updated"
  fi
}

# The upstream tarball of a Debian source package, unpacked once into
# $cache/src/NAME; the Debian changes are not needed for a plain build.
# Extra arguments select members of the tarball.
source_package() {
  local name=$1 tarball
  shift
  [ -d "$cache/src/$name" ] && return
  enable_source_packages
  mkdir -p "$cache/download"
  # The orig tarball is all that is used; the rest of the package may fail to come.
  (cd "$cache/download" && apt-get source --download-only -qq "$name" >/dev/null 2>&1) || true
  tarball=$(ls "$cache/download/${name}"_*.orig.tar.* | head -n 1)
  mkdir -p "$cache/src/$name.tmp"
  tar -xf "$tarball" -C "$cache/src/$name.tmp" --strip-components=1 "$@"
  mv "$cache/src/$name.tmp" "$cache/src/$name"
}

# The target's prefix: liblzf built from Debian's source as a static library
# and a DLL (the tests' compressor), with symbolic links to the header-only
# fast_float and doctest. The host's include directory is never searched whole.
# Sets `prefix`.
target_prefix() {
  local arch=$1
  prefix=$cache/mingw-$arch
  if [ ! -e "$prefix/include/lzf.h" ]; then
    source_package liblzf
    rm -rf "$prefix" && mkdir -p "$prefix/include" "$prefix/lib" "$prefix/bin"
    local cc=$arch-w64-mingw32-gcc-posix build=$prefix/build
    mkdir -p "$build"
    # lzf_c.c spells MSVC's __int64 as _int64 for 64-bit Windows.
    for unit in lzf_c lzf_d; do
      "$cc" -O2 -D_int64=__int64 -c "$cache/src/liblzf/$unit.c" -o "$build/$unit.o"
    done
    "$arch-w64-mingw32-ar" rcs "$prefix/lib/liblzf.a" "$build"/*.o
    "$cc" -shared -static -o "$prefix/bin/lzf.dll" "$build"/*.o
    cp "$cache/src/liblzf/lzf.h" "$prefix/include/"
  fi
  ln -sfn /usr/include/fast_float "$prefix/include/fast_float"
  ln -sfn /usr/include/doctest "$prefix/include/doctest"
}

# Configures and builds the reader and the unit tests for `arch` in
# $work/ARCH; extra arguments go to CMake.
build_reader() {
  local arch=$1 tree=$2
  shift 2
  target_prefix "$arch"
  cmake -S "$here" -B "$tree" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64.cmake" -DKELVARIN_MINGW_ARCH="$arch" \
    -DKELVARIN_MINGW_PREFIX="$prefix" -DKELVARIN_MODULE=OFF -DKELVARIN_UNIT_TESTS=ON "$@" \
    >"$tree.configure.log" || { cat "$tree.configure.log"; return 1; }
  cmake --build "$tree" -j2 -- -s
}

unit() {
  local arch=${1:-}
  case "$arch" in
    i686)
      # MSVC evaluates 32-bit doubles in SSE2 registers, MinGW in x87 ones:
      # both are built and run.
      build_reader i686 "$work/i686-sse2" -DCMAKE_CXX_FLAGS="-msse2 -mfpmath=sse"
      build_reader i686 "$work/i686-x87" -DCMAKE_CXX_FLAGS="-mfpmath=387"
      wine_ready
      ctest --test-dir "$work/i686-sse2" --output-on-failure
      ctest --test-dir "$work/i686-x87" --output-on-failure
      ;;
    x86_64)
      build_reader x86_64 "$work/x86_64"
      wine_ready
      ctest --test-dir "$work/x86_64" --output-on-failure
      ;;
    *) sed -n '6p' "$0" >&2; exit 2 ;;
  esac
}

# clang-cl in MSVC mode compiles (/Zs: syntax and semantics, no code) what
# differs under MSVC: the platform layer's MSVC branch, against clang's own
# intrin.h and the stand-ins in tests/msvc/include for the few declarations
# that would come from Microsoft's headers, which cannot be had here.
msvc_check() {
  bash scripts/install-debs.sh clang-14
  local target expect_x64
  for target in x86_64:1 i686:0; do
    expect_x64=${target#*:}
    target=${target%:*}-pc-windows-msvc
    echo "clang-cl --target=$target /Zs tests/msvc/platform_check.cpp"
    clang-14 --driver-mode=cl --target="$target" /Zs /std:c++17 /utf-8 /W4 /WX \
      -Xclang -ffreestanding /I tests/msvc/include /I src /DKELVARIN_EXPECT_X64="$expect_x64" \
      tests/msvc/platform_check.cpp
  done
  echo "msvc-check: 2 passed, 0 failed"
}

# Creates the Wine prefix on first use, so that its set-up is not timed as a test.
wine_ready() {
  [ -e "$WINEPREFIX/system.reg" ] || wineboot --init >/dev/null 2>&1 || true
  wineserver -w || true
}

case "${1:-}" in
  install) shift; install_packages "$@" ;;
  unit) shift; install_packages; unit "$@" ;;
  python) shift; install_packages; . scripts/windows-python.sh "$@" ;;
  msvc-check) msvc_check ;;
  *) sed -n '6,10p' "$0" >&2; exit 2 ;;
esac
