#!/usr/bin/env bash
# Installs what building and testing need on a Debian 12 machine. Packages
# already present are left alone, so a second run costs nothing. When
# another apt or dpkg holds the package lock, it waits for it (600 s at most)
# and says so.
#   scripts/install-deps.sh            the native build and its tests
#   scripts/install-deps.sh --windows  also the Windows part below
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  libgtest-dev                       # the unit tests
  clang libclang-rt-14-dev           # fuzzing and sanitizers
  python3 python3-olefile libgsf-bin # independent compound-file readers
  python3-jsonschema                 # checks the JSON report against its schema
  unicode-data                       # UnicodeData.txt: the upper-case table's test
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
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

# Another apt or dpkg (a second install, an unattended upgrade on a fresh
# machine) may hold the package lock: wait for it, for at most this long.
lock_timeout=600
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
apt_get=($sudo env DEBIAN_FRONTEND=noninteractive apt-get -qq -o DPkg::Lock::Timeout="$lock_timeout")

# "COMMAND (pid PID)" of a process that holds one of apt's or dpkg's locks.
lock_holder() {
  lslocks --noheadings --output COMMAND,PID,PATH 2>/dev/null | awk '
    $NF ~ "^/var/lib/dpkg/lock|^/var/lib/apt/lists/lock$|^/var/cache/apt/archives/lock$" {
      print $1 " (pid " $(NF - 1) ")"; exit }' || true
}
holder=$(lock_holder)
if [ -n "$holder" ]; then
  echo "install-deps.sh: $holder holds the package lock; waiting for it (at most ${lock_timeout} s)"
else
  echo "install-deps.sh: installing ${missing[*]}"
fi

# apt-get install waits for dpkg's lock by itself (DPkg::Lock::Timeout);
# apt-get update does not wait for the package lists' lock, so it is tried
# again here while that lock is what stops it.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
deadline=$((SECONDS + lock_timeout))
until "${apt_get[@]}" update >"$log" 2>&1; do
  if ! grep -q 'Could not get lock' "$log" || [ "$SECONDS" -ge "$deadline" ]; then
    cat "$log" >&2
    exit 1
  fi
  sleep 5
done
cat "$log"
"${apt_get[@]}" install -y "${missing[@]}"
