#!/usr/bin/env bash
# Installs the Debian 12 packages of the groups named, and only those that
# are missing. Safe to run repeatedly.
#
#   install-deps.sh            the build, tests and tools on Linux
#   install-deps.sh browser    also headless Chromium and chromedriver, for the
#                              gateway's status-page test (scripts/test.sh)
#   install-deps.sh windows    the 32-bit Windows cross compiler (mingw-w64)
#   install-deps.sh wine       Wine with 32-bit support, for the Windows checks;
#                              also Wine 64 and the 64-bit cross compiler, for
#                              machines whose kernel runs no 32-bit programs
set -euo pipefail

LINUX=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libcli11-dev nlohmann-json3-dev
  gammu libgammu-dev
  g++-multilib
  clang libclang-rt-14-dev
  libtomlplusplus-dev libsqlite3-dev libcpp-httplib-dev
)
FOREIGN_ARCH=""
PACKAGES=()
[ $# -eq 0 ] && set -- linux
for group in "$@"; do
  case "$group" in
    linux) PACKAGES+=("${LINUX[@]}") ;;
    browser) PACKAGES+=("${LINUX[@]}" chromium chromium-driver) ;;
    windows) PACKAGES+=(cmake ninja-build g++-mingw-w64-i686-posix googletest) ;;
    wine)
      FOREIGN_ARCH=i386
      PACKAGES+=(wine wine32:i386 wine64 g++-mingw-w64-x86-64-posix)
      ;;
    *)
      echo "install-deps: unknown group '$group' (linux, browser, windows or wine)" >&2
      exit 2
      ;;
  esac
done

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

missing=()
for p in "${PACKAGES[@]}"; do
  installed "$p" || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
if [ -n "$FOREIGN_ARCH" ] && ! dpkg --print-foreign-architectures | grep -qx "$FOREIGN_ARCH"; then
  $SUDO dpkg --add-architecture "$FOREIGN_ARCH"
fi
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
