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
started=$SECONDS
sorvan_make_prefix "$arch"
# A removable, a CD-ROM and a network drive, for the packages carried on them.
sorvan_add_drives "$arch" "$WINEPREFIX/drives"
echo "wine: prefix made in $((SECONDS - started)) s"

echo "wine: running the engine and program cases (32-bit)"
# The driver reads, photographs (through this script) and closes every
# message box itself; it announces each box in this folder.
announce="$WINEPREFIX/drive_c/sorvan-pictures"
export SORVAN_PICTURES='C:\sorvan-pictures'
status=0
started=$SECONDS
(cd "$build/tests/wine" &&
  sorvan_run_taking_pictures "$results" "$announce" timeout 3600 wine wine_driver.exe) > "$results/driver.log" 2>&1 ||
  status=$?
grep -v 'XGetInputFocus' "$results/driver.log" || true
echo "wine: the driver ran $((SECONDS - started)) s"

# Every message the cases provoke, as the driver saw it, has its picture.
boxes=$(find "$announce" -name 'box-*.up' 2>/dev/null | wc -l)
if [ "$boxes" -ne 4 ]; then
  echo "expected the driver to see 4 message boxes, it saw $boxes"
  status=1
fi
for up in "$announce"/box-*.up; do
  [ -e "$up" ] || continue
  if [ ! -s "$results/$(basename "$up" .up).png" ]; then
    echo "no picture of $(basename "$up" .up)"; cat "$results/import-errors.txt" 2>/dev/null || true
    status=1
  fi
done
echo "wine: screenshots in $results"
exit "$status"
