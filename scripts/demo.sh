#!/usr/bin/env bash
# The main job: builds qvgsm and runs its demonstration.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh >/dev/null
BUILD_DIR="${QVGSM_BUILD_DIR:-build}"
if "$BUILD_DIR/tools/qvgsm" demo --help >/dev/null 2>&1; then
  exec "$BUILD_DIR/tools/qvgsm" demo "$@"
fi
# Until the demo exists: a codec round trip through the command-line tool.
PDU=$("$BUILD_DIR/tools/qvgsm" pdu encode --to +4915112345678 --text "Hello from qvGSMcomdrv")
echo "$PDU"
