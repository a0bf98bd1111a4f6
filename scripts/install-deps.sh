#!/usr/bin/env bash
# Installs what building and testing need on a Debian 12 machine. Packages
# already present are left alone, so a second run costs nothing.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  libgtest-dev                       # the unit tests
  clang libclang-rt-14-dev           # fuzzing and sanitizers
  python3 python3-olefile libgsf-bin # independent compound-file readers
)

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
