#!/usr/bin/env bash
# Installs liblzf and fast_float where cibuildwheel builds the wheels (its
# before-all step; see pyproject.toml), never into the project.
#
#   macOS: Homebrew's liblzf and fast_float.
#   Linux (manylinux and musllinux images): vcpkg, checked out at .vcpkg in
#     the project by the workflow, builds both as static libraries into
#     .vcpkg/installed/current, which the build finds through
#     CMAKE_PREFIX_PATH. The images' package sources have no liblzf for i686,
#     and one way for all four kinds of image is easier to keep right.
set -euo pipefail
project=$(cd "$(dirname "$0")/.." && pwd)

case "$(uname -s)" in
  Darwin)
    brew install liblzf fast_float
    ;;
  Linux)
    # What vcpkg itself needs to bootstrap and build a port.
    if command -v dnf >/dev/null; then
      dnf install -y zip unzip tar git curl pkgconf-pkg-config perl-IPC-Cmd
    elif command -v yum >/dev/null; then
      yum install -y zip unzip tar git curl pkgconfig
    elif command -v apk >/dev/null; then
      apk add zip unzip tar git curl pkgconf build-base cmake ninja linux-headers perl
    fi
    case "$(uname -m)" in
      x86_64) triplet=x64-linux ;;
      i686 | i386) triplet=x86-linux ;;
      aarch64) triplet=arm64-linux ;;
      *) echo "wheel-deps.sh: no vcpkg triplet for $(uname -m)" >&2; exit 1 ;;
    esac
    # vcpkg's own cmake and ninja are x86-64 glibc builds: elsewhere the
    # image's are used.
    if [ "$triplet" != x64-linux ] || [ -e /etc/alpine-release ]; then
      export VCPKG_FORCE_SYSTEM_BINARIES=1
    fi
    vcpkg=$project/.vcpkg
    [ -x "$vcpkg/bootstrap-vcpkg.sh" ] || {
      echo "wheel-deps.sh: no vcpkg checkout at $vcpkg" >&2; exit 1; }
    "$vcpkg/bootstrap-vcpkg.sh" -disableMetrics
    "$vcpkg/vcpkg" install --triplet="$triplet" liblzf fast-float
    ln -sfn "$triplet" "$vcpkg/installed/current"
    ;;
  *)
    echo "wheel-deps.sh: $(uname -s) installs its dependencies in pyproject.toml" >&2
    exit 1
    ;;
esac
