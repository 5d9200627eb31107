#!/usr/bin/env bash
# The long fault soak under ThreadSanitizer: 16 simulated modems that
# misbehave at random (seeded), thousands of jobs and incoming messages, lines
# taken down and up while they work, shutdown with work in flight.
#   scripts/soak.sh [--seed N] [--minutes M] [--lines L] [--noise P] [--storage MEM]
#                   [--preset tsan|asan|default]
# --noise P: unsolicited lines at each answer's line ends with chance P, and
# alpha fields in headers on every other modem.
# --storage MEM: every other modem stores new messages in MEM (ME, MT) and
# starts with SM selected for reading.
# Prints the counts at the end; exits non-zero on any broken rule or
# sanitizer report.
set -euo pipefail
cd "$(dirname "$0")/.."

seed=20261208
minutes=10
lines=16
noise=0
storage=SM
preset=tsan
while [ $# -gt 0 ]; do
  case "$1" in
    --seed) seed="$2"; shift 2 ;;
    --minutes) minutes="$2"; shift 2 ;;
    --lines) lines="$2"; shift 2 ;;
    --noise) noise="$2"; shift 2 ;;
    --storage) storage="$2"; shift 2 ;;
    --preset) preset="$2"; shift 2 ;;
    -h|--help) sed -n 2,12p "$0"; exit 0 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
done

dir=build-$preset
[ "$preset" = default ] && dir=build
cmake --preset "$preset" >/dev/null
cmake --build "$dir" -j "${QVGSM_JOBS:-2}" --target soak_long_test

root="$(pwd)"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$root/tsan.supp"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export LSAN_OPTIONS="suppressions=$root/lsan.supp"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export QVGSM_SOAK_SEED="$seed" QVGSM_SOAK_MINUTES="$minutes" QVGSM_SOAK_LINES="$lines"
export QVGSM_SOAK_NOISE="$noise" QVGSM_SOAK_STORAGE="$storage"
exec "$dir/tests/soak_long_test" --gtest_brief=0
