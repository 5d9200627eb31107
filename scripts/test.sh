#!/usr/bin/env bash
# Builds everything and runs every test through CTest.
set -euo pipefail
cd "$(dirname "$0")/.."
# The gateway's status page is tested in headless Chromium.
bash scripts/install-deps.sh browser
bash scripts/build.sh "$@"
BUILD_DIR="${QVGSM_BUILD_DIR:-build}"
ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$(nproc)" -LE long
