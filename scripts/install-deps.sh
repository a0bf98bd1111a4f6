#!/usr/bin/env bash
# Installs what building and testing need on a Debian 12 machine. Packages
# already present are left alone, so a second run costs nothing.
#   scripts/install-deps.sh            the native build and its tests
#   scripts/install-deps.sh --windows  also the Windows part below
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  libgtest-dev                       # the unit tests
  clang libclang-rt-14-dev           # fuzzing and sanitizers
  python3 python3-olefile libgsf-bin # independent compound-file readers
  dpkg-dev file man-db groff-base    # the Debian package and the manual pages
  lintian                            # checks the Debian package
  time                               # peak memory of a child in the benchmarks
)

# The Windows part: the mingw-w64 cross compiler and Wine, which runs the
# Windows build's tests (scripts/build-windows.sh, scripts/test-windows.sh);
# zip packs the Windows programs (scripts/package.sh windows).
if [ "${1:-}" = --windows ]; then
  packages+=(mingw-w64 wine wine64 zip)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi
