#!/usr/bin/env bash
# Builds the Windows programs with mingw-w64 and tests them under Wine, in a
# Wine prefix of its own in a temporary folder (removed at the end):
#  1. windows_tests.exe: the Windows backend over ole32, the registry, the
#     file and process APIs, the process entry, and the profile reader
#     against Wine's own GetPrivateProfileStringA / GetPrivateProfileIntA;
#  2. wine_tests (a native program): Quarlen.exe, Rebolan.exe and
#     cfbtool.exe run under Wine beside the native programs on the same
#     inputs, and the quick start's commands for cmd, taken from its text,
#     run as batch files under `wine cmd /c`;
#  3. the zip for administrators (scripts/package.sh windows): the three
#     programs, the quick start and the pages as text with CR LF line ends.
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
cmake --build "$native" -j "$jobs" --target wine_tests Quarlen Rebolan cfbtool

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

echo "== Windows programs against the native ones, the quick start under wine cmd"
CNF_WINDOWS_BUILD="$PWD/build-windows-x86_64" "$native/tests/wine_tests"

# The zip for administrators: the quick start at the top beside the
# three programs, and every page as text with CR LF line ends that names the
# other pages by their .txt names.
echo "== the Windows zip"
zip=$(CNF_JOBS=$jobs scripts/package.sh windows | tail -n 1)
python3 - "$zip" <<'PY'
import re, sys, zipfile
names = zipfile.ZipFile(sys.argv[1]).namelist()
top = names[0].split("/")[0] + "/"
faults = [f"no {top}{n}" for n in ("QUICKSTART.txt", "Rebolan.exe", "Quarlen.exe", "cfbtool.exe",
                    "docs/cfbtool.txt")
          if top + n not in names]
# The PE header's subsystem: 2 for a GUI program without a window, 3 for
# a console program, which prints into its command prompt.
import struct
for exe, subsystem in (("Quarlen.exe", 2), ("Rebolan.exe", 2), ("cfbtool.exe", 3)):
    if top + exe in names:
        data = zipfile.ZipFile(sys.argv[1]).read(top + exe)
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if struct.unpack_from("<H", data, pe + 24 + 68)[0] != subsystem:
            faults.append(f"{exe}: not of subsystem {subsystem}")
for name in names:
    if name.endswith(".md"):
        faults.append(f"{name}: a Markdown page, not text")
    if name.endswith(".txt"):
        text = zipfile.ZipFile(sys.argv[1]).read(name)
        if re.search(rb"(?<!\r)\n", text) or not text.endswith(b"\r\n"):
            faults.append(f"{name}: a line without CR LF")
        for ref in re.findall(rb"[A-Za-z0-9_./-]+\.md\b", text):
            faults.append(f"{name}: names {ref.decode()}")
print("\n".join(faults) or f"{sys.argv[1]}: {len(names)} files, text with CR LF")
sys.exit(1 if faults else 0)
PY
