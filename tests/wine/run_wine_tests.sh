#!/usr/bin/env bash
# The engine's real Win32 layer under Wine, in a throwaway prefix on a virtual
# display: builds nothing, runs what the Windows build left in $1.
#   run_wine_tests.sh BUILD [win64|win32] [CASE...]   every case, or those named
set -euo pipefail
build=$(realpath -m "${1:?usage: run_wine_tests.sh <windows-build-dir> [win64|win32] [case...]}")
arch="${2:-win64}"
chosen=("${@:3}")
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../scripts/wine-env.sh"
sorvan_need_windows_build "$build"
# The release_* cases run a signed release: made here when the release test
# has not left one.
if [ ! -f "$build/tests/wine/signed-release/SORVan.cab" ] || [ ! -f "$build/tests/wine/test-root.cer" ]; then
  "$here/../release/release_test.sh" --for-wine "$build"
fi

results="$build/wine-results"
[ "$arch" = win64 ] || results="$build/wine-results-$arch"
rm -rf "$results"
mkdir -p "$results"
export WINEPREFIX="$build/wine-prefix.$$"
# The English code page (1252), whatever this machine's locale: one case
# starts the program from a folder that code page cannot spell.
export LC_ALL=C.UTF-8
trap 'sorvan_stop_wine; rm -rf "$WINEPREFIX"' EXIT

sorvan_check_32bit
sorvan_start_display
echo "wine: making a fresh $arch prefix"
started=$SECONDS
sorvan_make_prefix "$arch"
# A removable, a CD-ROM and a network drive, for the packages carried on them.
sorvan_add_drives "$arch" "$WINEPREFIX/drives"
echo "wine: prefix made in $((SECONDS - started)) s"

# Each case in a process of its own, under a timeout of its own: one that
# hangs is named, its processes are stopped, and the others still run. A
# case takes a few seconds here, through QEMU too. The driver reads,
# photographs (through this script) and closes every message box itself; it
# announces each box in the case's folder under $announce.
announce="$WINEPREFIX/drive_c/sorvan-pictures"
limit="${SORVAN_CASE_TIMEOUT:-180}"
# What wine prints goes to files: Wine's services, started by a first call,
# inherit its output and outlive it, so a pipe would never close.
(cd "$build/tests/wine" && timeout 120 wine wine_driver.exe --list) > "$results/cases.txt" 2>/dev/null || true
mapfile -t cases < <(tr -d '\r' < "$results/cases.txt" | grep -E '^[a-z0-9_]+$')
if [ "${#chosen[@]}" -gt 0 ]; then
  for name in "${chosen[@]}"; do
    grep -qx "$name" <<<"$(printf '%s\n' "${cases[@]}")" || { echo "wine: no case $name (see $results/cases.txt)"; exit 2; }
  done
  cases=("${chosen[@]}")
fi
[ "${#cases[@]}" -gt 0 ] || { echo "wine: the driver listed no cases"; cat "$results/cases.txt"; exit 1; }
echo "wine: running ${#cases[@]} engine and program cases (32-bit), each in a process of its own"
status=0 passed=0 failed=() hung=()
started=$SECONDS
for name in "${cases[@]}"; do
  export SORVAN_PICTURES="C:\\sorvan-pictures\\$name"
  outcome=0
  (cd "$build/tests/wine" && sorvan_run_taking_pictures "$results/$name" "$announce/$name" \
    timeout "$limit" wine wine_driver.exe "$name") > "$results/$name.log" 2>&1 || outcome=$?
  grep -v -e 'XGetInputFocus' -e '^under Wine' -e 'passed, .* failed' "$results/$name.log" || true
  if [ "$outcome" -eq 124 ]; then
    echo "[ HANG ] $name: still running after $limit s; its processes were stopped"
    hung+=("$name")
    timeout 30 wineserver -k >/dev/null 2>&1 || true
  elif [ "$outcome" -ne 0 ]; then
    grep -q '^\[ FAIL \]' "$results/$name.log" || echo "[ FAIL ] $name: the driver exited with $outcome"
    failed+=("$name")
  else
    passed=$((passed + 1))
  fi
done
echo "wine: $passed passed, ${#failed[@]} failed${failed[*]:+ (${failed[*]})}, ${#hung[@]} hung${hung[*]:+ (${hung[*]})}"
echo "wine: the cases ran $((SECONDS - started)) s"
[ "$passed" -eq "${#cases[@]}" ] || status=1

# Every message the cases provoke, as the driver saw it, has its picture.
boxes=$(find "$announce" -name 'box-*.up' 2>/dev/null | wc -l)
if [ "${#chosen[@]}" -eq 0 ] && [ "$boxes" -ne 4 ]; then
  echo "expected the driver to see 4 message boxes, it saw $boxes"
  status=1
fi
for up in "$announce"/*/box-*.up; do
  [ -e "$up" ] || continue
  name=$(basename "$(dirname "$up")")
  if [ ! -s "$results/$name/$(basename "$up" .up).png" ]; then
    echo "no picture of $(basename "$up" .up) of $name"; cat "$results/$name/import-errors.txt" 2>/dev/null || true
    status=1
  fi
done
echo "wine: screenshots in $results"
exit "$status"
