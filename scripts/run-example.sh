#!/usr/bin/env bash
# Builds the programs and runs the tool set's main job on the bundled
# example: a version-615 configuration converted to version 616, then listed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target Quarlen Rebolan cfbtool

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp examples/Torvi32.CNF "$work/Torvi32.CNF"
echo "Before: $work/Torvi32.CNF"
build/tools/cfbtool ls "$work/Torvi32.CNF"
TORVI32_REGISTRY=/dev/null build/tools/Rebolan "$work/Torvi32.CNF"
echo
echo "After the conversion:"
build/tools/cfbtool ls "$work/Torvi32.CNF"
