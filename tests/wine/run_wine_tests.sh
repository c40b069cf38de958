#!/usr/bin/env bash
# The engine's real Win32 layer under Wine, in a throwaway prefix on a virtual
# display: builds nothing, runs what the Windows build left in $1.
set -euo pipefail
build=$(realpath "${1:?usage: run_wine_tests.sh <windows-build-dir> [win64|win32]}")
arch="${2:-win64}"
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../scripts/wine-env.sh"

results="$build/wine-results"
[ "$arch" = win64 ] || results="$build/wine-results-$arch"
rm -rf "$results"
mkdir -p "$results"
export WINEPREFIX="$build/wine-prefix.$$"
# The English code page (1252), whatever this machine's locale: one case
# starts the program from a folder that code page cannot spell.
export LC_ALL=C.UTF-8
trap 'sorvan_stop_wine; rm -rf "$WINEPREFIX"' EXIT

sorvan_enable_32bit
sorvan_start_display
echo "wine: making a fresh $arch prefix"
sorvan_make_prefix "$arch"

echo "wine: running the engine and program cases (32-bit; under emulation each process takes a minute to start)"
status=0
(cd "$build/tests/wine" &&
  sorvan_run_dismissing_boxes "$results" --keep-while "$WINEPREFIX/drive_c/sorvan-test/keep-boxes" \
    timeout 3600 wine wine_driver.exe) > "$results/driver.log" 2>&1 ||
  status=$?
grep -v 'XGetInputFocus' "$results/driver.log" || true

# Every message the cases provoke was seen on the display with the product's
# caption (the driver reads each back in full): one box per case that shows
# one, and their pictures.
boxes=$(grep -c . "$results/boxes.txt" 2>/dev/null || true)
if [ "${boxes:-0}" -ne 4 ]; then
  echo "expected 4 message boxes on the display, saw ${boxes:-0}"
  status=1
fi
if grep -qv '^휴대폰 인증서 서비스$' "$results/boxes.txt" 2>/dev/null; then
  echo "a message box had another title:"; cat "$results/boxes.txt"
  status=1
fi
echo "wine: screenshots in $results"
exit "$status"
