#!/usr/bin/env bash
# Builds everything (programs, tests, benchmarks) with warnings as errors in
# each build type with each compiler, so that no combination is left to fail
# on a user's machine. Runs no tests: scripts/test.sh runs them in build/.
#   scripts/build-matrix.sh                 all six: {gcc,clang} x {Release,RelWithDebInfo,Debug}
#   scripts/build-matrix.sh gcc:Release ... the named ones only
# gcc:RelWithDebInfo builds into build/, the folder the other scripts use;
# every other combination into build-<compiler>-<type>/ (type in lower case).
# Prints the wall-clock time of each build and of the whole run.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${CNF_JOBS:-$(nproc)}

scripts/install-deps.sh

combinations=("$@")
if [ ${#combinations[@]} -eq 0 ]; then
  for compiler in gcc clang; do
    for type in Release RelWithDebInfo Debug; do
      combinations+=("$compiler:$type")
    done
  done
fi

start=$SECONDS
for combination in "${combinations[@]}"; do
  compiler=${combination%%:*}
  type=${combination#*:}
  case "$compiler" in
    gcc) cxx=g++ ;;
    clang) cxx=clang++ ;;
    *) echo "$0: unknown compiler '$compiler' (gcc or clang)" >&2; exit 2 ;;
  esac
  case "$type" in
    Release|RelWithDebInfo|Debug) ;;
    *) echo "$0: unknown build type '$type' (Release, RelWithDebInfo or Debug)" >&2; exit 2 ;;
  esac
  if [ "$combination" = gcc:RelWithDebInfo ]; then
    build=build
  else
    build=build-$compiler-${type,,}
  fi
  echo "== $compiler $type ($build)"
  began=$SECONDS
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE="$type" -DCMAKE_CXX_COMPILER="$cxx" \
    -DCNF_TESTS=ON -DCNF_BENCH=ON -DCNF_WERROR=ON >/dev/null
  cmake --build "$build" -j "$jobs"
  echo "== $compiler $type built in $((SECONDS - began)) s"
done
echo "== build matrix: ${#combinations[@]} build(s) in $((SECONDS - start)) s"
