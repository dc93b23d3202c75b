#!/usr/bin/env bash
# Builds the libFuzzer harnesses (clang, ASan + UBSan) in build/fuzz and runs each for
# a time budget: tools/fuzz.sh [seconds-per-harness] (default 8). Run it inside the
# toolchain root, e.g. tools/root.sh run bash tools/fuzz.sh 5.
#
# The committed corpus in fuzz/corpus/<harness>/ is read but never written: new inputs
# go to a scratch directory under build/fuzz/runs/. A crash, a failed check or a
# sanitizer report fails the script after all harnesses have run, printing that
# harness's log in full (less libFuzzer's progress lines; the log's path is printed)
# and the reproducer paths (replay one with build/fuzz/fuzz/<harness> <path>).
set -euo pipefail

seconds=${1:-8}
case "$seconds" in '' | *[!0-9]*) echo "usage: $0 [seconds-per-harness]" >&2; exit 2 ;; esac

cd "$(dirname "$0")/.."
build=build/fuzz

cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Release \
  -DMIVO_BUILD_MODULE=OFF -DMIVO_BUILD_TESTS=OFF -DMIVO_BUILD_BENCH=OFF -DMIVO_BUILD_FUZZ=ON \
  -DMIVO_SANITIZE=address,undefined,float-cast-overflow -DMIVO_WERROR=ON >/dev/null
cmake --build "$build"

runs="$build/runs"
rm -rf "$runs"
failed=()
for source in fuzz/fuzz_*.cpp; do
  harness=$(basename "$source" .cpp)
  name=${harness#fuzz_}
  scratch="$runs/$name/corpus"
  artifacts="$runs/$name/artifacts"
  mkdir -p "$scratch" "$artifacts" "fuzz/corpus/$name"
  echo "== $harness (${seconds}s)"
  # The scratch directory comes first: libFuzzer writes new inputs only to the first.
  if ! "$build/fuzz/$harness" -max_total_time="$seconds" -max_len=1024 -timeout=20 \
      -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts/" \
      "$scratch" "fuzz/corpus/$name" >"$runs/$name/log" 2>&1; then
    failed+=("$harness")
    echo "log: $runs/$name/log"
    grep -v '^#[0-9]' "$runs/$name/log" || true
    for reproducer in "$artifacts"/*; do
      [ -e "$reproducer" ] && echo "reproducer: $reproducer"
    done
  else
    grep -m 1 -E '^Done [0-9]+ runs|stat::number_of_executed_units' "$runs/$name/log"
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing found problems in: ${failed[*]}" >&2
  exit 1
fi
echo "fuzzing: no findings"
