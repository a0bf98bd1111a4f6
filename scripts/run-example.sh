#!/usr/bin/env bash
# Builds the programs and runs the tool set's main job on the bundled
# example: the version-615 configuration examples/Torvi32.CNF is converted
# to version 616 in a temporary folder, listed before and after, and the
# tasks of each area and the password are compared.
#   scripts/run-example.sh              build into build/ and use those programs
#   CNF_PROGRAMS=/usr/bin scripts/run-example.sh
#                                       use installed programs, build nothing
#   CNF_EXAMPLE=FILE                    convert a copy of FILE instead
# Exits with Rebolan's status, or 1 when the result does not match.
set -euo pipefail
export LC_ALL=C
cd "$(dirname "$0")/.."

if [ -n "${CNF_PROGRAMS:-}" ]; then
  bin=$CNF_PROGRAMS
else
  scripts/install-deps.sh
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build -j "$(nproc)" --target Quarlen Rebolan cfbtool
  bin=$PWD/build/tools
fi
example=${CNF_EXAMPLE:-$PWD/examples/Torvi32.CNF}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cnf=$work/Torvi32.CNF
cp "$example" "$cnf"
# Stands for the registry of a Windows machine: the value CFG names the
# configuration file that Rebolan converts when given no path.
cat >"$work/torvi32.reg" <<EOF
REGEDIT4

[HKEY_LOCAL_MACHINE\\Software\\ORMEK Software\\Torvi32]
"CFG"="$cnf"
EOF

# Task streams per area, from `cfbtool ls -p`: "AREA COUNT" lines, where AREA
# is "common", "read-only" or "DOMAIN/USER". Each line is "TYPE SIZE PATH"
# with the full path last.
tasks_per_area() {
  "$bin/cfbtool" ls -p "$1" | awk '
    $1 == "stream" { path = $0; sub(/^[^ ]* [^ ]* /, "", path); n = split(path, at, "/")
      if (n == 2 && at[1] == "_Common_") area = "common"
      else if (n == 3 && at[1] == "_Common_" && at[2] == "_ReadOnly_") area = "read-only"
      else if (n == 3 && at[1] !~ /^_/) area = at[1] "/" at[2]
      else next
      count[area]++ }
    END { for (a in count) print a, count[a] }' | sort
}
version() { "$bin/cfbtool" cat "$1" _Version_ | od -An -tu4 | tr -d ' '; }

echo "== The bundled example, a configuration of version $(version "$cnf"): $cnf"
"$bin/cfbtool" ls "$cnf"
tasks_per_area "$cnf" >"$work/before.txt"
"$bin/cfbtool" cat "$cnf" _Zarin_/cc012 >"$work/password-before"

echo
echo "== Converting: TORVI32_REGISTRY=$work/torvi32.reg Rebolan"
status=0
TORVI32_REGISTRY=$work/torvi32.reg TMPDIR=$work "$bin/Rebolan" || status=$?
echo "Rebolan exit status: $status"
if [ "$status" != 0 ]; then
  echo "The conversion failed; the configuration is unchanged (see the messages above)." >&2
  exit "$status"
fi

echo
echo "== After the conversion, a configuration of version $(version "$cnf"):"
"$bin/cfbtool" ls "$cnf"
tasks_per_area "$cnf" >"$work/after.txt"
"$bin/cfbtool" cat "$cnf" _Zarin_/cc012 >"$work/password-after"

echo
echo "== Summary"
printf '%-22s %7s %7s\n' "tasks in" before after
join -a1 -a2 -e0 -o 0,1.2,2.2 "$work/before.txt" "$work/after.txt" |
  while read -r area before after; do
    printf '%-22s %7s %7s\n' "$area" "$before" "$after"
  done
ok=1
cmp -s "$work/before.txt" "$work/after.txt" || ok=0
if cmp -s "$work/password-before" "$work/password-after"; then
  echo "main password (_Zarin_/cc012): carried unchanged, $(wc -c <"$work/password-after") bytes"
else
  echo "main password (_Zarin_/cc012): DIFFERS"
  ok=0
fi
[ "$(version "$cnf")" = 616 ] || ok=0
left=$(find "$work" -name 'Torvi32.CNF.615*' -o -name 'INI*.tmp' | wc -l)
echo "left behind: $left old file(s) or INI file(s)"
[ "$left" = 0 ] || ok=0
if [ "$ok" = 1 ]; then
  echo "Result: every task and the password arrived; the file is now of version 616."
else
  echo "Result: the converted file does not match the example." >&2
  exit 1
fi
