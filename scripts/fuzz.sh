#!/usr/bin/env bash
# Builds the libFuzzer targets under ASan and UBSan and runs each for the
# given number of seconds (default 20), seeded from fuzz/corpus/<target>
# and the kept findings in tests/fixtures/fuzz/<target>. Crashes are
# written to build-fuzz/findings/<target>/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}

cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCNF_FUZZ=ON \
  -DCNF_SANITIZE=ON -DCNF_TESTS=OFF -DCNF_BENCH=OFF -DCMAKE_CXX_COMPILER=clang++ \
  ${CNF_WERROR:+-DCNF_WERROR="$CNF_WERROR"} >/dev/null
cmake --build build-fuzz -j "$(nproc)"

status=0
for fuzzer in build-fuzz/fuzz/fuzz_*; do
  [ -x "$fuzzer" ] || continue
  name=$(basename "$fuzzer")
  corpus="build-fuzz/corpus/$name"
  findings="build-fuzz/findings/$name"
  mkdir -p "$corpus" "$findings"
  seeds=()
  [ -d "fuzz/corpus/$name" ] && seeds+=("fuzz/corpus/$name")
  [ -d "tests/fixtures/fuzz/$name" ] && seeds+=("tests/fixtures/fuzz/$name")
  echo "fuzzing $name for ${seconds}s"
  if ! "$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 \
      -artifact_prefix="$findings/" "$corpus" "${seeds[@]}" >"$findings/log.txt" 2>&1; then
    echo "$name found a failure:"; tail -n 40 "$findings/log.txt"; status=1
  else
    grep -E '^(#[0-9]+|Done)' "$findings/log.txt" | tail -n 1
  fi
done
exit $status
