#!/usr/bin/env bash
# Builds everything but the tests and benchmarks with clang and its
# thread-safety analysis as errors (the tsa preset, into build-tsa/): a
# member touched without the lock that guards it, a function called without
# the lock it requires or with one it must not hold, fails the build. The
# build is the check; nothing runs.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v clang++ >/dev/null 2>&1; then
  echo "thread-safety: clang++ not found (scripts/install-deps.sh installs it)" >&2
  exit 1
fi
jobs="${QVGSM_JOBS:-2}"
echo "== tsa: configure"
cmake --preset tsa >/dev/null
echo "== tsa: build"
cmake --build --preset tsa -j "$jobs"
echo "thread-safety: no findings"
