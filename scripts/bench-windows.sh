#!/usr/bin/env bash
# Measures the POSIX programs natively and the Windows programs under Wine on
# the same inputs, in one run (bench/wine_bench.cc):
#   scripts/bench-windows.sh [task counts...]     (default 100 1000 3000)
# Builds what it needs, and runs Wine in a prefix of its own in a temporary
# folder, removed at the end. Figures go into docs/performance.md.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${CNF_JOBS:-$(nproc)}
native=${CNF_NATIVE_BUILD:-build}

CNF_JOBS=$jobs scripts/build-windows.sh x86_64 >/dev/null
if [ ! -f "$native/build.ninja" ]; then
  cmake -S . -B "$native" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$native" -j "$jobs" --target wine_bench Quarlen Rebolan >/dev/null

WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/cnf-wine.XXXXXX")
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
CNF_WINE=$(command -v wine)
export CNF_WINE CNF_WINDOWS_BUILD="$PWD/build-windows-x86_64"
cleanup() {
  wineserver -k >/dev/null 2>&1 || true  # this prefix's server only
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT
wineserver -p
wineboot -i >/dev/null 2>&1

echo "$(date -u '+%Y-%m-%d %H:%M UTC'), load average $(cut -d' ' -f1-3 /proc/loadavg)"
"$native/bench/wine_bench" "$@"
