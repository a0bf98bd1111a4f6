#!/usr/bin/env bash
# Builds the Windows programs with Debian's mingw-w64 cross compiler:
#   scripts/build-windows.sh [x86_64|i686]      (default x86_64)
# gives build-windows-<arch>/tools/Quarlen.exe and Rebolan.exe, GUI programs
# without a window, and cfbtool.exe, a console program; their C and C++
# runtime is linked in, so that they run on a Windows machine with nothing
# installed. The Windows test programs are built
# into build-windows-<arch>/tests/windows/ at the same time.
set -euo pipefail
cd "$(dirname "$0")/.."
arch=${1:-x86_64}
case "$arch" in
  x86_64|i686) ;;
  *) echo "usage: $0 [x86_64|i686]" >&2; exit 2 ;;
esac

scripts/install-deps.sh --windows

build="build-windows-$arch"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-$arch.cmake" \
  ${CNF_WERROR:+-DCNF_WERROR="$CNF_WERROR"} >/dev/null
cmake --build "$build" -j "${CNF_JOBS:-$(nproc)}"
for program in Quarlen Rebolan cfbtool; do
  [ -f "$build/tools/$program.exe" ] && echo "built $build/tools/$program.exe"
done
