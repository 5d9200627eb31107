#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/, with clang) and runs each for the
# given number of seconds on its committed seed corpus.
#   scripts/fuzz.sh [SECONDS] [TARGET...]   (default: 60 s, every target)
# Targets are named without the fuzz_ prefix: decode_deliver
# decode_status_report answer_matcher cnmi cmti cmgl encode_submit. New
# inputs go to build-fuzz/corpus/<target>; a crash leaves its input in
# build-fuzz/artifacts/ and fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
shift || true
build="${QVGSM_FUZZ_BUILD_DIR:-build-fuzz}"

CC=clang CXX=clang++ cmake -S fuzz -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "${QVGSM_JOBS:-2}"

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(decode_deliver decode_status_report answer_matcher cnmi cmti cmgl encode_submit)
fi

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
mkdir -p "$build/artifacts"
failed=0
for t in "${targets[@]}"; do
  exe="$build/fuzz_$t"
  [ -x "$exe" ] || { echo "no such fuzz target: $t" >&2; exit 2; }
  work="$build/corpus/$t"
  mkdir -p "$work"
  echo "== fuzz_$t for ${seconds}s"
  if ! "$exe" -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$build/artifacts/$t-" \
      "$work" "fuzz/corpus/$t" >"$build/fuzz_$t.log" 2>&1; then
    echo "fuzz_$t FAILED; see $build/fuzz_$t.log and $build/artifacts/" >&2
    grep -E "ERROR|check failed|SUMMARY" "$build/fuzz_$t.log" | head -5 >&2 || true
    failed=1
  else
    grep -E "stat::number_of_executed_units|cov:" "$build/fuzz_$t.log" | tail -2 || true
  fi
done
exit "$failed"
