#!/usr/bin/env bash
# The program's main job, start to end: installs what is missing, builds
# SORVanActiveXSetup.exe and the stand-in components, runs the setup under
# Wine in a fresh prefix from a package folder, and tells what it did.
#
#   scripts/run.sh               build, run the setup, report
#   scripts/run.sh --build-only  build, and leave the program in a package
#                                folder for your own components
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build_only=0
case "${1:-}" in
  "") ;;
  --build-only) build_only=1 ;;
  *) echo "usage: scripts/run.sh [--build-only]" >&2; exit 2 ;;
esac

scripts/install-deps.sh
echo "building SORVanActiveXSetup.exe and the stand-in components (MinGW-w64, 32-bit)"
cmake --no-warn-unused-cli -S . -B build/win -DCMAKE_TOOLCHAIN_FILE=cmake/i686-w64-mingw32.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/win -j"$(nproc)" >/dev/null

source scripts/wine-env.sh
components=("${SORVAN_COMPONENTS[@]}")
package="$root/build/package"
rm -rf "$package"
mkdir -p "$package"
cp build/win/SORVanActiveXSetup.exe "$package/"

if [ "$build_only" -eq 1 ]; then
  echo
  echo "The program is $package/SORVanActiveXSetup.exe ($(stat -c %s "$package/SORVanActiveXSetup.exe") bytes)."
  echo "It carries no digests, so it installs whatever components it finds beside it: use it for trying"
  echo "things out. What you ship is a release, whose program installs only your components:"
  echo "  scripts/release.py make YOUR_COMPONENTS_DIR --pkcs12 YOUR_CERTIFICATE.p12   (see the README)"
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
mkdir -p "$downloads"
cp "$package"/* "$downloads/"

echo "running C:\\users\\Public\\Downloads\\SORVan\\SORVanActiveXSetup.exe"
status=0
shots="$root/build/run-results"
rm -rf "$shots"
(cd "$downloads" && sorvan_run_dismissing_boxes "$shots" timeout 600 wine SORVanActiveXSetup.exe) \
  >/dev/null 2>&1 || status=$?
# A Unix exit status keeps only the low byte of the Windows exit code.
case "$status" in
  67) status=1603 ;;
  82) status=1618 ;;
esac
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
echo "  Left in the package folder: $(cd "$downloads" && ls | tr '\n' ' ')"
echo "  Internet Explorer's Code Store Database entry of the control:"
show_key "HKLM\\Software\\Microsoft\\Code Store Database\\Distribution Units\\$SORVAN_CLSID"
echo "  The control's class key, written by the control's own registration:"
show_key "HKCR\\CLSID\\$SORVAN_CLSID"
echo "  The Add/Remove Programs entry:"
show_key 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\QUElmark'
echo "  The product key:"
show_key 'HKLM\SOFTWARE\QUElmark\SORVAN'
boxes=$(grep -c . "$shots/boxes.txt" 2>/dev/null || true)
if [ "${boxes:-0}" -gt 0 ]; then echo "  Message boxes shown: $boxes (pictures in $shots)"; fi
case "$status" in
  0) echo "  Exit status 0: the installation succeeded." ;;
  1603) echo "  Exit status 1603: not installed; nothing was changed, or what this run installed was rolled back." ;;
  1618) echo "  Exit status 1618: another setup was running; nothing was changed." ;;
  *) echo "  Exit status $status: the setup did not run to its end." ;;
esac
exit "$status"
