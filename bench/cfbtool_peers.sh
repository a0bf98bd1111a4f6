#!/usr/bin/env bash
# cfbtool beside olefile (python3-olefile), libgsf's gsf and 7-Zip on the
# same files, in one run: listing, reading and extracting a file of 20,000
# task streams (built by Quarlen), and reading a 100 MiB stream. Times with
# hyperfine; figures go into docs/performance.md ("cfbtool beside its peers").
#   bench/cfbtool_peers.sh            (CNF_BUILD=build by default)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${CNF_BUILD:-build}
for tool in hyperfine 7z gsf /usr/bin/python3; do
  command -v "$tool" >/dev/null || { echo "cfbtool_peers: $tool is missing" >&2; exit 1; }
done
cmake --build "$build" --target cfbtool Quarlen >/dev/null
cfbtool=$PWD/$build/tools/cfbtool
work=$(mktemp -d "${TMPDIR:-/tmp}/cfbtool-peers.XXXXXX")
trap 'rm -rf "$work"' EXIT

/usr/bin/python3 - "$work" <<'PY'
import sys
folder = sys.argv[1]
n = 20000
with open(folder + "/many.ini", "w", newline="\r\n") as f:
    f.write("[MAIN]\nOutputENG=%s/many.cnf\nNumTasks=%d\n" % (folder, n))
    for i in range(n):
        f.write("[Task%d]\nNameENG=Task number %d\nIsShared=1\nTypes=*.doc,*.xls\n" % (i, i))
PY
"$PWD/$build/tools/Quarlen" "$work/many.ini"
"$cfbtool" new "$work/big.cnf"
head -c 104857600 /dev/urandom > "$work/big.bin"
"$cfbtool" put "$work/big.cnf" Big < "$work/big.bin"
entries=$("$cfbtool" ls -p "$work/many.cnf" | wc -l)
first=$("$cfbtool" ls -p "$work/many.cnf" | awk '$1 == "F" && $3 ~ /^_Common_\// {print $3; exit}')

cat > "$work/olefile_ls.py" <<'PY'
import sys, olefile
ole = olefile.OleFileIO(sys.argv[1])
for entry in ole.listdir(streams=True, storages=True):
    print("/".join(entry), ole.get_size("/".join(entry)) if ole.get_type(entry) == olefile.STGTY_STREAM else "")
PY
cat > "$work/olefile_cat.py" <<'PY'
import sys, olefile
sys.stdout.buffer.write(olefile.OleFileIO(sys.argv[1]).openstream(sys.argv[2]).read())
PY
cat > "$work/olefile_extract.py" <<'PY'
import os, sys, olefile
ole = olefile.OleFileIO(sys.argv[1])
for entry in ole.listdir(streams=True, storages=False):
    path = os.path.join(sys.argv[2], *entry)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(ole.openstream(entry).read())
PY

echo "$(date -u '+%Y-%m-%d %H:%M UTC'), load average $(cut -d' ' -f1-3 /proc/loadavg)," \
     "$entries entries, a stream of $(stat -c %s "$work/big.bin") bytes"
many=$work/many.cnf
big=$work/big.cnf
out=$work/out
hyperfine --style basic --warmup 1 --runs 5 --export-markdown "$work/ls.md" \
  -n "cfbtool ls -p" "$cfbtool ls -p $many" \
  -n "gsf list" "gsf list $many" \
  -n "olefile" "/usr/bin/python3 $work/olefile_ls.py $many" \
  -n "7z l" "7z l $many" >/dev/null
hyperfine --style basic --warmup 1 --runs 5 --export-markdown "$work/cat.md" \
  -n "cfbtool cat" "$cfbtool cat $big Big" \
  -n "gsf cat" "gsf cat $big Big" \
  -n "olefile" "/usr/bin/python3 $work/olefile_cat.py $big Big" \
  -n "7z x -so" "7z x -so $big Big" >/dev/null
hyperfine --style basic --warmup 1 --runs 3 --export-markdown "$work/extract.md" \
  --prepare "rm -rf $out" \
  -n "cfbtool extract" "$cfbtool extract $many $out" \
  -n "olefile" "/usr/bin/python3 $work/olefile_extract.py $many $out" \
  -n "7z x" "7z x -o$out $many" >/dev/null
for table in ls cat extract; do
  echo "### $table"
  cat "$work/$table.md"
done
