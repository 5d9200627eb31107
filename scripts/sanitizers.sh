#!/usr/bin/env bash
# Builds the library and its tests under the sanitizers and runs the test
# suite (without the long soak): asan = AddressSanitizer with UBSan and leak
# checking, tsan = ThreadSanitizer. Any report fails the run.
#   scripts/sanitizers.sh [asan|tsan|all]   (default: all)
set -euo pipefail
cd "$(dirname "$0")/.."

which="${1:-all}"
case "$which" in
  asan) presets=(asan) ;;
  tsan) presets=(tsan) ;;
  all) presets=(asan tsan) ;;
  *) echo "usage: $0 [asan|tsan|all]" >&2; exit 2 ;;
esac

jobs="${QVGSM_JOBS:-2}"
root="$(pwd)"
# Suppressions cover third-party code only; each entry says why.
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1:strict_init_order=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# use_tls=0: GCC 12's leak tracer can crash on a stale dynamic-TLS range of
# a thread ("Tracer caught signal 11") after the test passed; thread-local
# storage then roots nothing, which lsan.supp accounts for.
export LSAN_OPTIONS="suppressions=$root/lsan.supp:print_suppressions=0:use_tls=0"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$root/tsan.supp:print_suppressions=0"

for preset in "${presets[@]}"; do
  echo "== $preset: configure"
  cmake --preset "$preset" -DQVGSM_WERROR=ON >/dev/null
  echo "== $preset: build"
  cmake --build --preset "$preset" -j "$jobs"
  echo "== $preset: test"
  # The preset's own environment would replace the options above. The
  # package test builds an uninstrumented example against the installed
  # library, which cannot load an instrumented one: it runs in the plain build.
  ctest --test-dir "build-$preset" --output-on-failure -j "$jobs" -LE long -E '^Package\.'

done
echo "sanitizers: no reports"
