#!/usr/bin/env bash
# Configures and builds into build/ (or $QVGSM_BUILD_DIR). Extra arguments go
# to CMake's configure step.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
BUILD_DIR="${QVGSM_BUILD_DIR:-build}"
EXTRA=()
if [ "${CI:-}" = "true" ]; then EXTRA+=(-DQVGSM_WERROR=ON); fi
cmake -S . -B "$BUILD_DIR" -G Ninja "${EXTRA[@]}" "$@" >/dev/null
cmake --build "$BUILD_DIR" -j "$(nproc)"
