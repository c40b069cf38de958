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

# Gives the prefix three more drives, each a folder under $2 that the prefix
# links to: E: a removable drive (Wine's word for it is "floppy"), F: a CD-ROM
# drive and G: a network drive, as GetDriveType reports them. Wine reads the
# types when its server starts, so the server is restarted.
sorvan_add_drives() {
  local arch="$1" base="$2" wine_for_tools="$SORVAN_WINE64" drive letter try
  [ "$arch" = win32 ] && wine_for_tools=wine
  # A server kept running (-p) until the restart below, so that no call meets
  # one that is shutting down; a call that fails all the same is tried again
  # (seen once in about ten set-ups, never reproduced on its own). Any server
  # still up from the prefix's set-up goes first: -p starts a new one.
  timeout 30 wineserver -k >/dev/null 2>&1 || true
  timeout 30 wineserver -w >/dev/null 2>&1 || true
  timeout 30 wineserver -p >/dev/null 2>&1 || true
  for drive in e:floppy f:cdrom g:network; do
    letter=${drive%%:*}
    mkdir -p "$base/$letter"
    ln -sfn "$base/$letter" "$WINEPREFIX/dosdevices/$letter:"
    # What reg says goes to a file: Wine's services, started by the first
    # call, inherit its output and outlive it, so a pipe would never close.
    for try in 1 2 3; do
      if timeout 120 "$wine_for_tools" reg add 'HKLM\Software\Wine\Drives' /v "$letter:" /d "${drive#*:}" /f \
          >"$base/reg.log" 2>&1; then
        break
      fi
      if [ "$try" = 3 ]; then
        echo "could not give the prefix its drive $letter: $(cat "$base/reg.log")" >&2
        return 1
      fi
      sleep 2
    done
  done
  timeout 30 wineserver -k >/dev/null 2>&1 || true
  timeout 30 wineserver -w >/dev/null 2>&1 || true
}

# Runs a command that announces its message boxes in the folder $2 (the
# test driver does, while it holds each box up) and photographs each into $1:
# for a box-N.up there, the display goes to $1/box-N.png and box-N.taken
# tells the driver it may go on. Nothing here decides whether a box passes;
# SORVAN_PICTURE_DELAY seconds before each picture make this side slow on
# purpose. Returns the command's status.
#   sorvan_run_taking_pictures SHOTS ANNOUNCE_DIR COMMAND...
sorvan_run_taking_pictures() {
  local shots="$1" announce="$2"; shift 2
  mkdir -p "$shots" "$announce"
  "$@" &
  local pid=$! up box
  while kill -0 "$pid" 2>/dev/null; do
    for up in "$announce"/box-*.up; do
      [ -e "$up" ] || continue
      box=$(basename "$up" .up)
      [ -e "$announce/$box.taken" ] && continue
      sleep "${SORVAN_PICTURE_DELAY:-0}"
      import -window root "$shots/$box.png" 2>>"$shots/import-errors.txt" || true
      : > "$announce/$box.taken"
    done
    sleep 0.1
  done
  wait "$pid"
}

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
# The package folder by another name, through a link, as a junction would be.
ln -sfn sorvan-test/pkg "$WINEPREFIX/drive_c/sorvan-linked"
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
