#!/usr/bin/env bash
# The long fuzzing campaign: every libFuzzer target for a fixed time
# (default 1800 s), two at a time, seeded from fuzz/corpus/<target> and a
# kept working corpus. Writes one line of figures per target (executions,
# cov, ft, corpus size, findings) to $BUILD/campaign/summary-<time>.txt.
#   scripts/fuzz-campaign.sh [seconds-per-target [target...]]
#   (BUILD=build-fuzz, JOBS=2; no target names: every target; NICE=19 lets
#   other work on the machine go first, and then TIMEOUT=60 keeps a fuzzer
#   that waited for the processor from counting a unit as hung; default 10 s)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-1800}
shift || true
build=${BUILD:-build-fuzz}
jobs=${JOBS:-2}

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCNF_FUZZ=ON \
  -DCNF_SANITIZE=ON -DCNF_TESTS=OFF -DCNF_BENCH=OFF -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j "$jobs" >/dev/null

out="$build/campaign"
mkdir -p "$out"

run_target() {
  local name=$1 fuzzer="$build/fuzz/$1"
  local corpus="$out/corpus/$name" findings="$out/findings/$name"
  mkdir -p "$corpus" "$findings"
  local seeds=()
  [ -d "fuzz/corpus/$name" ] && seeds+=("fuzz/corpus/$name")
  [ -d "tests/fixtures/fuzz/$name" ] && seeds+=("tests/fixtures/fuzz/$name")
  nice -n "${NICE:-0}" "$fuzzer" -max_total_time="$seconds" -timeout="${TIMEOUT:-10}" -rss_limit_mb=1024 -print_final_stats=1 \
    -artifact_prefix="$findings/" "$corpus" "${seeds[@]}" >"$out/$name.log" 2>&1 || true
}

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for fuzzer in "$build"/fuzz/fuzz_*; do
    [ -x "$fuzzer" ] && targets+=("$(basename "$fuzzer")")
  done
fi

echo "fuzzing ${#targets[@]} targets for ${seconds}s each, $jobs at a time"
running=0
for name in "${targets[@]}"; do
  run_target "$name" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait -n
    running=$((running - 1))
  fi
done
wait

summary="$out/summary-$(date -u +%Y%m%dT%H%M).txt"
{
  echo "# $(date -u +%Y-%m-%dT%H:%MZ), ${seconds}s per target, $jobs at a time"
  printf '%-28s %12s %8s %8s %8s %s\n' target executions cov ft corpus findings
  for name in "${targets[@]}"; do
    log="$out/$name.log"
    execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || true)
    last=$(grep -E '^#[0-9]+' "$log" | tail -n 1 || true)
    cov=$(echo "$last" | grep -o 'cov: [0-9]*' | grep -o '[0-9]*' || true)
    ft=$(echo "$last" | grep -o 'ft: [0-9]*' | grep -o '[0-9]*' || true)
    corpus=$(find "$out/corpus/$name" -type f | wc -l)
    findings=$(find "$out/findings/$name" -type f | wc -l)
    printf '%-28s %12s %8s %8s %8s %s\n' "$name" "${execs:-?}" "${cov:-?}" "${ft:-?}" \
      "$corpus" "$findings"
  done
} >"$summary"
cat "$summary"
# Findings go to tests/fixtures/fuzz/<target>/ to be replayed by the tests.
if find "$out/findings" -type f | grep -q .; then
  echo "findings in $out/findings: keep them under tests/fixtures/fuzz/<target>/"
  exit 1
fi
