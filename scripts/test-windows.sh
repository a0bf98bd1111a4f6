#!/usr/bin/env bash
# Builds the Windows programs with mingw-w64 and tests them under Wine, in a
# Wine prefix of its own in a temporary folder (removed at the end):
#  1. windows_tests.exe: the Windows backend over ole32, the registry, the
#     file and process APIs, the process entry, and the profile reader
#     against Wine's own GetPrivateProfileStringA / GetPrivateProfileIntA;
#  2. wine_tests (a native program): Quarlen.exe and Rebolan.exe run under
#     Wine beside the native Quarlen and Rebolan on the same inputs.
# The 32-bit (i686) build is made as well; its tests run only where Wine can
# run 32-bit programs. The native build is $CNF_NATIVE_BUILD (default build).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh --windows
jobs=${CNF_JOBS:-$(nproc)}
native=${CNF_NATIVE_BUILD:-build}

echo "== Windows build (x86_64)"
CNF_JOBS=$jobs scripts/build-windows.sh x86_64
echo "== Windows build (i686)"
CNF_JOBS=$jobs scripts/build-windows.sh i686

echo "== native programs for the comparison ($native)"
if [ ! -f "$native/build.ninja" ]; then
  cmake -S . -B "$native" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    ${CNF_WERROR:+-DCNF_WERROR="$CNF_WERROR"} >/dev/null
fi
cmake --build "$native" -j "$jobs" --target wine_tests Quarlen Rebolan

WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/cnf-wine.XXXXXX")
export WINEPREFIX
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko installer
CNF_WINE=$(command -v wine)
export CNF_WINE
cleanup() {
  wineserver -k >/dev/null 2>&1 || true  # this prefix's server only
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT
echo "== Wine prefix $WINEPREFIX"
# A server that stays up: each program start then costs 0.1 s, not 3 s.
wineserver -p
wineboot -i >/dev/null 2>&1 || { echo "wineboot failed" >&2; exit 1; }

echo "== Windows backend tests under Wine (x86_64)"
wine build-windows-x86_64/tests/windows/windows_tests.exe

# windows_run.exe ends with 2 when it runs without a command line to start.
status=0
wine build-windows-i686/tests/windows/windows_run.exe >/dev/null 2>&1 || status=$?
if [ "$status" = 2 ]; then
  echo "== Windows backend tests under Wine (i686)"
  wine build-windows-i686/tests/windows/windows_tests.exe
else
  echo "== i686: built, not run (this Wine cannot run 32-bit programs)"
fi

echo "== Windows programs against the native ones"
CNF_WINDOWS_BUILD="$PWD/build-windows-x86_64" "$native/tests/wine_tests"
