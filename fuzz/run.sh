#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for SECONDS (default 30) on its checked-in
# seed corpus and dictionary. New inputs go to a scratch copy of the corpus, so the checked-in
# one stays small; a crash leaves its input in build/fuzz/crashes/.
#   fuzz/run.sh            every target, 30 s each
#   fuzz/run.sh 600 fuzz_scenario
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"
shift || true
./setup.sh clang libclang-rt-14-dev
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in fuzz/fuzz_*.cpp; do targets+=("$(basename "$f" .cpp)"); done
fi
cmake --preset fuzz >/dev/null
# Only the targets to run: the runner and the rest of the preset are not needed for fuzzing.
cmake --build --preset fuzz -j"$(nproc)" --target "${targets[@]}"
mkdir -p build/fuzz/crashes
for t in "${targets[@]}"; do
  echo "=== $t for ${seconds} s ==="
  work="build/fuzz/corpus/$t"
  mkdir -p "$work"
  cp -n fuzz/corpus/"$t"/* "$work"/ 2>/dev/null || true
  dict=()
  [ -f "fuzz/$t.dict" ] && dict=(-dict="fuzz/$t.dict")
  status=0
  "build/fuzz/fuzz/$t" "$work" "${dict[@]}" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix=build/fuzz/crashes/"$t"- -rss_limit_mb=4096 >"build/fuzz/$t.log" 2>&1 || status=$?
  grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)|ERROR|SUMMARY' "build/fuzz/$t.log" || true
  if [ "$status" -ne 0 ]; then
    echo "$t failed (exit $status); see build/fuzz/$t.log and build/fuzz/crashes/"
    failed=1
  fi
done
exit "${failed:-0}"
