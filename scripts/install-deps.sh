#!/usr/bin/env bash
# Installs the Debian 12 packages the build, tests and tools need, and only
# those that are missing. Safe to run repeatedly.
#   install-deps.sh           what the build and the plain tests need
#   install-deps.sh browser   also headless Chromium and chromedriver, for the
#                             gateway's status-page test (scripts/test.sh)
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libspdlog-dev libfmt-dev libcli11-dev nlohmann-json3-dev
  gammu libgammu-dev
  g++-multilib
  clang libclang-rt-14-dev
  libtomlplusplus-dev libsqlite3-dev libcpp-httplib-dev
)
for group in "$@"; do
  case "$group" in
    browser) PACKAGES+=(chromium chromium-driver) ;;
    *) echo "install-deps: unknown group '$group' (known: browser)" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
