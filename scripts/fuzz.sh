#!/usr/bin/env bash
# scripts/fuzz.sh [SECONDS] [TARGET...]
# Builds the libFuzzer targets of fuzz/ in build/fuzz, makes the seed corpus and
# runs each target (image_layout, trailer, base64, stamp; default all) for SECONDS
# (default 60). Everything written goes under build/fuzz: seeds in corpus/,
# inputs found while fuzzing in work/, crashing inputs in findings/, logs in
# logs/. FUZZ_JOBS=N runs up to N targets at once (default 1). Exits non-zero
# when a target found a crash, a leak, a timeout or an oversized allocation.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${1:-60}
[ $# -gt 0 ] && shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(image_layout trailer base64 stamp)
jobs=${FUZZ_JOBS:-1}
out=$root/build/fuzz

# Longest input tried per target: a package's headers and section table, or a
# certificate table, fit in 16 KiB (a shrunk package with its control bytes
# too); parameter texts are short.
declare -A max_len=([image_layout]=16384 [trailer]=16384 [base64]=4096 [stamp]=16384)
for target in "${targets[@]}"; do
  [ -n "${max_len[$target]:-}" ] || { echo "unknown target: $target" >&2; exit 2; }
done

# Tools: clang and its libFuzzer runtime, besides the build tools.
scripts/install-deps.sh clang libclang-rt-14-dev

cmake -S fuzz -B "$out" -G Ninja -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$out" >/dev/null

rm -rf "$out/corpus"
fuzz/make-corpus.sh "$out/fuzz_seedgen" "$out/corpus"

run() {  # TARGET: one run; its result line goes to logs/TARGET.result
  local target=$1 status=0
  local log=$out/logs/$target.log findings=$out/findings/$target
  mkdir -p "$out/work/$target" "$findings"
  rm -f "$out/logs/$target.result"
  "$out/fuzz_$target" "$out/work/$target" "$out/corpus/$target" \
    -max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=64 \
    -max_len="${max_len[$target]}" -artifact_prefix="$findings/" >"$log" 2>&1 || status=$?
  local executions
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  if [ "$status" -eq 0 ]; then
    echo "$target: passed, ${executions:-?} executions in $seconds s" >"$out/logs/$target.result"
  else
    local artifact
    artifact=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | tail -1)
    echo "$target: FAILED (exit $status), ${executions:-?} executions, input ${artifact:-not written}, log $log" \
      >"$out/logs/$target.result"
  fi
}

mkdir -p "$out/logs"
running=0
for target in "${targets[@]}"; do
  echo "fuzzing $target for $seconds s" >&2
  run "$target" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
done
wait

passed=0 failed=0
for target in "${targets[@]}"; do
  line=$(cat "$out/logs/$target.result" 2>/dev/null || echo "$target: FAILED, no result")
  echo "$line"
  case $line in
    *": passed,"*) passed=$((passed + 1)) ;;
    *) failed=$((failed + 1)) ;;
  esac
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
