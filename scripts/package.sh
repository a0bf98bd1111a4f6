#!/usr/bin/env bash
# Builds the packages that administrators install:
#   scripts/package.sh           a Debian package (CPack): build-package/cnf-migration_*.deb,
#                                hardened and stripped (the debug information stays in
#                                build-package/tools/)
#   scripts/package.sh windows [i686|x86_64]
#                                a zip of the Windows programs and the documentation:
#                                build-windows-<arch>/cnf-migration-<version>-windows-<arch>.zip
#                                (default i686: the 32-bit programs go beside the suite)
# Prints the path of the package it built on its last line.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${CNF_JOBS:-$(nproc)}

case "${1:-deb}" in
  deb)
    scripts/install-deps.sh
    build=build-package
    # The distribution's hardening flags (fortified functions, stack
    # protector, format checks, read-only relocations bound at start-up), as
    # dpkg-buildflags gives them to every Debian package.
    export DEB_BUILD_MAINT_OPTIONS=hardening=+all
    cxxflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
    ldflags=$(dpkg-buildflags --get LDFLAGS)
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCNF_TESTS=OFF \
      -DCNF_BENCH=OFF -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" \
      ${CNF_WERROR:+-DCNF_WERROR="$CNF_WERROR"} >/dev/null
    cmake --build "$build" -j "$jobs"
    rm -f "$build"/cnf-migration_*.deb
    (cd "$build" && cpack -G DEB >/dev/null)
    ls "$PWD/$build"/cnf-migration_*.deb
    ;;
  windows)
    arch=${2:-i686}
    scripts/install-deps.sh --windows
    CNF_JOBS=$jobs scripts/build-windows.sh "$arch" >/dev/null
    build=build-windows-$arch
    version=$(sed -n 's/^project(cnf_migration VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
    name=cnf-migration-$version-windows-$arch
    stage=$(mktemp -d)
    trap 'rm -rf "$stage"' EXIT
    cmake --install "$build" --prefix "$stage/$name" >/dev/null
    rm -f "$build/$name.zip"
    (cd "$stage" && zip -qr "$OLDPWD/$build/$name.zip" "$name")
    ls "$PWD/$build/$name.zip"
    ;;
  *)
    echo "usage: $0 [deb | windows [i686|x86_64]]" >&2
    exit 2
    ;;
esac
