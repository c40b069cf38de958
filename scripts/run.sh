#!/usr/bin/env bash
# The program's main job, start to end: installs what is missing, builds
# SORVanActiveXSetup.exe and the stand-in components, runs the setup under
# Wine in a fresh prefix from a package folder, and tells what it did, its
# log's lines included.
#
#   scripts/run.sh                      build, run the setup, report
#   scripts/run.sh --hold NAME          install, then run a newer package while
#                                       another process holds the installed
#                                       NAME (one of the four components) open:
#                                       a failure that changes nothing
#   scripts/run.sh --fail-registration  install, then run a newer package whose
#                                       control's registration fails: the
#                                       earlier installation put back
#   scripts/run.sh --build-only         build, and leave the program in a
#                                       package folder
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
mode="${1:-}" hold=""
case "$mode" in
  "" | --build-only | --fail-registration) [ $# -le 1 ] || mode=usage ;;
  --hold) hold="${2:-}"; [ $# -eq 2 ] || mode=usage ;;
  *) mode=usage ;;
esac
if [ "$mode" = usage ]; then
  echo "usage: scripts/run.sh [--hold COMPONENT | --fail-registration | --build-only]" >&2
  exit 2
fi

scripts/install-deps.sh
echo "building SORVanActiveXSetup.exe and the stand-in components (MinGW-w64, 32-bit)"
cmake --no-warn-unused-cli -S . -B build/win -DCMAKE_TOOLCHAIN_FILE=cmake/i686-w64-mingw32.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/win -j"$(nproc)" >/dev/null

source scripts/wine-env.sh
components=("${SORVAN_COMPONENTS[@]}")
if [ -n "$hold" ] && [[ " ${components[*]} " != *" $hold "* ]]; then
  echo "--hold takes one of the components: ${components[*]}" >&2
  exit 2
fi
package="$root/build/package"
rm -rf "$package"
mkdir -p "$package"
cp build/win/SORVanActiveXSetup.exe "$package/"

if [ "$mode" = --build-only ]; then
  echo
  echo "The program is $package/SORVanActiveXSetup.exe ($(stat -c %s "$package/SORVanActiveXSetup.exe") bytes)."
  echo "It carries no digests, so it installs whatever components it finds beside it: use it for trying"
  echo "things out. What you ship is a release, whose program installs only your components:"
  echo "  scripts/release.py make YOUR_COMPONENTS_DIR --out build/release --pkcs12 YOUR.p12 --password-file YOUR_PASSWORD_FILE"
  exit 0
fi

sorvan_put_stand_in_components build/win "$package"
export WINEPREFIX="$root/build/run-prefix"
trap 'sorvan_stop_wine' EXIT
sorvan_check_32bit
sorvan_start_display
echo "making a fresh Wine prefix (64-bit Windows; the program runs as a 32-bit process in it)"
sorvan_make_prefix
downloads="$WINEPREFIX/drive_c/users/Public/Downloads/SORVan"
shots="$root/build/run-results"
rm -rf "$shots"

# run_setup: the package copied into the Downloads folder and the setup run
# from there, its message boxes photographed and answered; sets status.
run_setup() {
  mkdir -p "$downloads"
  cp "$package"/* "$downloads/"
  echo "running C:\\users\\Public\\Downloads\\SORVan\\SORVanActiveXSetup.exe"
  status=0
  (cd "$downloads" && sorvan_run_dismissing_boxes "$shots" timeout 600 wine SORVanActiveXSetup.exe) \
    >/dev/null 2>&1 || status=$?
  # A Unix exit status keeps only the low byte of the Windows exit code.
  case "$status" in
    67) status=1603 ;;
    82) status=1618 ;;
  esac
}

if [ -n "$hold" ] || [ "$mode" = --fail-registration ]; then
  run_setup
  [ "$status" -eq 0 ] || { echo "  the first installation failed, exit status $status" >&2; exit 1; }
  # A newer package (the same one would be installed already): another build of the control.
  newer=control_com.dll
  [ "$mode" != --fail-registration ] || newer=control_efail.dll
  cp "build/win/tests/wine/$newer" "$package/${components[0]}"
  echo "  installed, exit status 0; now a newer package, whose control is the stand-in $newer"
fi
if [ -n "$hold" ]; then
  echo "  another process holds the installed $hold open"
  # The 32-bit holder sees the 32-bit system folder as C:\windows\system32.
  flag="$WINEPREFIX/drive_c/sorvan-held"
  rm -f "$flag"
  (cd build/win/tests/wine && timeout 600 wine holder.exe "C:\\windows\\system32\\$hold" --while 'C:\sorvan-held') \
    >/dev/null 2>&1 &
  holder=$!
  for _ in $(seq 1 600); do
    if [ -e "$flag" ] || ! kill -0 "$holder" 2>/dev/null; then break; fi
    sleep 0.1
  done
  [ -e "$flag" ] || { echo "the holder did not take $hold" >&2; exit 1; }
fi
run_setup
if [ -n "$hold" ]; then
  rm -f "$flag"
  wait "$holder" || true
fi
timeout 60 wineserver -w || true

# Reads a key of the 32-bit registry view, where the 32-bit program wrote,
# through a .reg export (UTF-16, so Korean text survives) and prints it.
show_key() {
  local key="$1" file="$WINEPREFIX/drive_c/export.reg"
  rm -f "$file"
  if timeout 120 "$SORVAN_WINE64" reg export "$key" 'C:\export.reg' /reg:32 /y >/dev/null 2>&1; then
    iconv -f UTF-16 -t UTF-8 "$file" | tr -d '\r' | grep -v '^Windows Registry Editor' | grep -v '^$' | sed 's/^/    /'
  else
    echo "    (not there)"
  fi
}

echo
echo "What the setup did:"
echo "  Files now in the system folder (C:\\windows\\system32 as the 32-bit program sees it; SysWOW64 from outside):"
for name in "${components[@]}"; do
  file="$WINEPREFIX/drive_c/windows/syswow64/$name"
  if [ -f "$file" ]; then echo "    $name, $(stat -c %s "$file") bytes"; else echo "    $name: not there"; fi
done
moved=() kept=()
for name in "${components[@]}"; do
  if [ -e "$downloads/$name" ]; then kept+=("$name"); else moved+=("$name"); fi
done
echo "  Moved out of the package folder: ${moved[*]:-none}; still in it: ${kept[*]:-none}"
echo "  Internet Explorer's Code Store Database entry of the control:"
show_key "HKLM\\Software\\Microsoft\\Code Store Database\\Distribution Units\\$SORVAN_CLSID"
echo "  The control's class key, written by the control's own registration:"
show_key "HKCR\\CLSID\\$SORVAN_CLSID"
echo "  The Add/Remove Programs entry:"
show_key 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\QUElmark'
echo "  The product key:"
show_key 'HKLM\SOFTWARE\QUElmark\SORVAN'
if [ -s "$shots/boxes.txt" ]; then
  echo "  Message boxes shown, and answered with Return: $(grep -c . "$shots/boxes.txt"); their pictures:"
  ls "$shots"/message-*.png | sed 's/^/    /'
fi
# The log is in the temporary folder of the user who ran the setup; this
# run's lines are those from its last start line on.
log=$(find "$WINEPREFIX/drive_c/users" -name SORVanActiveXSetup.log 2>/dev/null | head -1)
if [ -n "$log" ]; then
  windows=${log#"$WINEPREFIX/drive_c/"}
  echo "  The setup log, C:\\${windows//\//\\} ($log); this run's lines:"
  tr -d '\r' < "$log" | sed '1s/^\xEF\xBB\xBF//' | awk '/\] start /{n=NR} {line[NR]=$0} END{for(i=n;i<=NR;i++) print "    " line[i]}'
else
  echo "  No setup log was written."
fi
case "$status" in
  0) echo "  Exit status 0: the installation succeeded." ;;
  1603) echo "  Exit status 1603: not installed; nothing was changed, or what this run changed was rolled back and an earlier installation put back (the log says which)." ;;
  1618) echo "  Exit status 1618: another setup was running; nothing was changed." ;;
  *) echo "  Exit status $status: the setup did not run to its end." ;;
esac
exit "$status"
