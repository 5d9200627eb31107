#!/usr/bin/env bash
# Cross-compiles the 32-bit Windows build into build-win32/ (bin/ holds
# qvGSMcomdrv.dll, tarn_log.dll, the codec and log tests and wine_host.exe;
# driver/qvGSMcomdrv.dll.a is the import library).
#
#   build-windows.sh           build only
#   build-windows.sh --check   build, then check under Wine: the exports and
#                              ordinal imports (objdump), the codec and log
#                              tests, and a host loading the DLL against a
#                              simulated modem on a pseudo-terminal
#
# Wine runs the 32-bit programs where the kernel runs 32-bit code. Where it
# does not (ia32 emulation switched off), the same source is also built for
# 64-bit Windows into build-win64/ and that build runs under Wine instead.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

check=0
case "${1:-}" in
  "") ;;
  --check) check=1 ;;
  *) echo "usage: build-windows.sh [--check]" >&2; exit 2 ;;
esac

bash scripts/install-deps.sh windows
EXTRA=()
if [ "${CI:-}" = "true" ]; then EXTRA+=(-DQVGSM_WERROR=ON); fi
JOBS="${QVGSM_JOBS:-2}"

build() {  # build dir, toolchain file
  cmake -S . -B "$1" -G Ninja --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE="cmake/$2" -DQVGSM_BUILD_BENCH=OFF \
    ${EXTRA[@]+"${EXTRA[@]}"} >/dev/null
  cmake --build "$1" -j "$JOBS"
}

echo "== windows: 32-bit build (build-win32)"
build build-win32 mingw-w64-i686.cmake
[ "$check" = 1 ] || exit 0

passed=0
failures=0
pass() { passed=$((passed + 1)); }
fail() { echo "windows: FAILED: $*"; failures=$((failures + 1)); }

echo "== windows: exports and imports (objdump -p)"
dump=$(i686-w64-mingw32-objdump -p build-win32/bin/qvGSMcomdrv.dll)
exports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" | tail -n +2 | awk '/\]/ {print $NF}' | sort | tr '\n' ' ')
want="gsmdrvInit gsmdrvSendSMS gsmdrvShutdown gsmdrvaddGSMline gsmdrvreinitGSMline gsmdrvuninitGSMline "
if [ "$exports" = "$want" ]; then
  echo "qvGSMcomdrv.dll exports exactly: $exports"
  pass
else
  fail "qvGSMcomdrv.dll exports '$exports', not '$want'"
fi
grep -q "file format pei-i386" <<<"$dump" || fail "qvGSMcomdrv.dll is not a 32-bit x86 module"
# The import block of tarn_log.dll: four entries by ordinal, no names.
imports=$(awk '/DLL Name: tarn_log.dll/ {on=1; next} on && /DLL Name:|^$/ {if (seen) exit} on && /^\t[0-9a-f]+\t/ {seen=1; print $2 "/" $3}' <<<"$dump" | sort -n | tr '\n' ' ')
if [ "$imports" = "12/<none> 34/<none> 35/<none> 36/<none> " ]; then
  echo "qvGSMcomdrv.dll imports tarn_log.dll by ordinal: 12 34 35 36"
  pass
else
  fail "imports from tarn_log.dll: '$imports' (want ordinals 12 34 35 36 without names)"
fi
tdump=$(i686-w64-mingw32-objdump -p build-win32/bin/tarn_log.dll)
tords=$(sed -n '/Export Address Table --/,/^$/p' <<<"$tdump" | grep -o 'base\[ *[0-9]*\]' | tr -dc '0-9\n' | tr '\n' ' ')
tnames=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$tdump" | tail -n +2 | grep -c '\]' || true)
if [ "$tords" = "12 34 35 36 " ] && [ "$tnames" = 0 ]; then
  echo "tarn_log.dll exports ordinals 12 34 35 36, no names"
  pass
else
  fail "tarn_log.dll exports ordinals '$tords' with $tnames names"
fi

bash scripts/install-deps.sh wine
export WINEDEBUG=-all
unset DISPLAY WAYLAND_DISPLAY
if /usr/lib/wine/wine --version >/dev/null 2>&1; then
  winbuild=build-win32
  wine=(/usr/lib/wine/wine)
  export WINEARCH=win32
else
  echo "== windows: this kernel runs no 32-bit programs: the checks run the 64-bit build (build-win64)"
  winbuild=build-win64
  wine=(/usr/lib/wine/wine64)
  export WINEARCH=win64
  build build-win64 mingw-w64-x86_64.cmake
fi
export WINEPREFIX="$root/$winbuild/wineprefix"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "== windows: new Wine prefix $WINEPREFIX"
  "${wine[@]}" wineboot -i >/dev/null 2>&1 || true
  [ -d "$WINEPREFIX/dosdevices" ] || { fail "wineboot made no prefix"; exit 1; }
fi
bin="$root/$winbuild/bin"

echo "== windows: codec and log tests under Wine ($winbuild)"
for t in pdu_decode_test pdu_encode_test pdu_gsm7_test pdu_message_test pdu_roundtrip_test \
  pdu_utf_test log_handler_test log_tarn_test; do
  if out=$(cd "$bin" && timeout 300 "${wine[@]}" "$t.exe" 2>&1); then
    pass
    echo "$t: $(grep -E '^\[  PASSED  \]' <<<"$out" | tr -s ' ')"
  else
    echo "$out" | tail -30
    fail "$t under Wine"
  fi
done

echo "== windows: the DLL against a simulated modem (COM5 -> pty through dosdevices)"
if [ ! -f build/build.ninja ]; then cmake --preset default >/dev/null; fi
cmake --build build --target qvgsm -j "$JOBS" >/dev/null
work=$(mktemp -d)
sim_pid=""
host_pid=""
cleanup() {
  [ -n "$host_pid" ] && kill "$host_pid" 2>/dev/null || true
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
  rm -f "$WINEPREFIX/dosdevices/com5"
  rm -rf "$work"
}
trap cleanup EXIT
rm -f "$WINEPREFIX/dosdevices/com5"
mkfifo "$work/sim.in"
build/tools/qvgsm sim --dir "$WINEPREFIX/dosdevices" --first-com 5 --verbose \
  <"$work/sim.in" >"$work/sim.out" 2>&1 &
sim_pid=$!
exec 3>"$work/sim.in"
# Waits up to $1 seconds for a line matching $2 in file $3.
await() {
  local end=$((SECONDS + $1))
  until grep -qE "$2" "$3" 2>/dev/null; do
    [ "$SECONDS" -lt "$end" ] || return 1
    sleep 0.1
  done
}
smoke() {
  await 20 '^ready' "$work/sim.out" || { fail "the simulator did not start"; return; }
  local slave
  slave=$(awk '$1 == "COM5" {print $2; exit}' "$work/sim.out")
  mkdir "$work/host"
  (cd "$work/host" && exec timeout 120 "${wine[@]}" "$bin/wine_host.exe" 5 57600 go) \
    >"$work/host.out" 2>&1 &
  host_pid=$!
  if await 60 '^COM5 << AT' "$work/sim.out"; then
    echo "1. LoadLibrary and the six exports by name: $(tr -d '\r' <"$work/host.out" | grep -c 'found$') found"
    echo "2. gsmdrvInit and a line on COM5: $(grep -E 'gsmdrv(Init|addGSMline).* -> ' "$work/host.out" | sed 's/^wine_host: //' | tr '\n' ' ')"
    echo "3. the simulator got the first AT command: $(grep -m1 '^COM5 << AT' "$work/sim.out")"
    local settings
    settings=$(stty -F "$slave" -a 2>&1 || true)
    if grep -q 'speed 57600 baud' <<<"$settings" && grep -qw cs8 <<<"$settings" &&
      grep -qw -- -parenb <<<"$settings" && grep -qw -- -cstopb <<<"$settings"; then
      echo "   with the line's serial settings on $slave: 57600 baud, 8 data bits, no parity, 1 stop bit"
      pass
    else
      fail "serial settings of $slave: $(head -2 <<<"$settings")"
    fi
  else
    fail "no AT command reached the simulator"
  fi
  touch "$work/host/go"
  if wait "$host_pid"; then
    sed -i 's/\r$//' "$work/host.out"
    echo "4. $(grep 'log file' "$work/host.out" | sed 's/^wine_host: //')"
    echo "5. $(grep 'gsmdrvShutdown ->' "$work/host.out" | sed 's/^wine_host: //')"
    pass
  else
    cat "$work/host.out"
    fail "wine_host"
  fi
  host_pid=""
}
smoke
echo quit >&3
exec 3>&-

echo "windows: $passed passed, $failures failed"
[ "$failures" = 0 ]
