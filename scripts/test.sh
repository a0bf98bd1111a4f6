#!/usr/bin/env bash
# Installs every dependency, builds, and runs every test: the unit and
# end-to-end tests, then every build type with gcc and clang, then the same
# tests under AddressSanitizer and UndefinedBehaviorSanitizer, then each fuzz
# target for a short budget, the Debian package and the Windows build.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

# This project's own runs treat every compiler warning as an error; the
# scripts called below hand CNF_WERROR on to CMake.
export CNF_WERROR=ON

jobs=$(nproc)
scripts/build-matrix.sh gcc:RelWithDebInfo  # build/
ctest --test-dir build --output-on-failure -j "$jobs"

# Everything (tests and benchmarks too) built in the other five
# combinations of compiler and build type; build/ is up to date already.
if [ "${CNF_SKIP_MATRIX:-0}" != 1 ]; then
  scripts/build-matrix.sh
fi

if [ "${CNF_SKIP_SANITIZERS:-0}" != 1 ]; then
  cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCNF_SANITIZE=ON \
    -DCNF_BENCH=OFF -DCMAKE_CXX_COMPILER=clang++ -DCNF_WERROR="$CNF_WERROR" >/dev/null
  cmake --build build-asan -j "$jobs"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build-asan --output-on-failure -j "$jobs"
fi

if [ "${CNF_SKIP_FUZZ:-0}" != 1 ]; then
  scripts/fuzz.sh "${CNF_FUZZ_SECONDS:-20}"
fi

# The Debian package: clean for lintian (no error, no warning, and the
# hardening flags in every program), installed, run on the bundled example
# it carries, its manual pages found, then removed without leaving a
# program behind.
if [ "${CNF_SKIP_PACKAGE:-0}" != 1 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  deb=$(scripts/package.sh | tail -n 1)
  lintian --display-info --fail-on error,warning "$deb" | tee "$deb.lintian"
  if grep -q ' hardening-' "$deb.lintian"; then
    echo "the programs lack hardening flags (see above)" >&2
    exit 1
  fi
  $sudo dpkg -i "$deb"
  CNF_PROGRAMS=/usr/bin CNF_EXAMPLE=/usr/share/doc/cnf-migration/examples/Torvi32.CNF \
    scripts/run-example.sh
  for page in Quarlen Rebolan cfbtool; do
    man -w "$page"
    [ "$("/usr/bin/$page" --version)" = "$page $(dpkg-deb -f "$deb" Version)" ]
  done
  $sudo dpkg -r cnf-migration
  for program in Quarlen Rebolan cfbtool; do
    if [ -e "/usr/bin/$program" ]; then
      echo "dpkg -r left /usr/bin/$program behind" >&2
      exit 1
    fi
  done
fi

# The Windows build: cross-compiled with mingw-w64 and tested under Wine.
if [ "${CNF_SKIP_WINDOWS:-0}" != 1 ]; then
  scripts/test-windows.sh
fi
