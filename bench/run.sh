#!/usr/bin/env bash
# Benchmarks, printed as a table (not tests: nothing here passes or fails).
#   - the size of SORVanActiveXSetup.exe;
#   - the wall time under Wine of a fresh installation (the installed files
#     and the product's keys cleared before each), of a start from the folder
#     it emptied (its installation in place: a repair), of an empty program
#     with the same runtime, and of an empty dialog program (a dialog that
#     ends in its initialisation, as the setup's does), in the same warm
#     prefix, alternating runs, medians: on the desktop (Xvfb with a window
#     manager), and on a window station no one sees, as a SYSTEM deployment
#     runs it, where Wine uses no display at all (timed from inside Wine, by
#     the launcher that puts them there);
#   - DeleteKeyTree on 1,000 / 10,000 / 100,000 keys, on the stand-in and on
#     the real registry under Wine;
#   - the platform operations of one successful run.
#
#   bench/run.sh [runs]     (default 15 runs of each program)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
runs=${1:-15}

scripts/install-deps.sh
cmake -S . -B build/bench-host -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/bench-host -j"$(nproc)" --target engine_bench >/dev/null
cmake --no-warn-unused-cli -S . -B build/win -DCMAKE_TOOLCHAIN_FILE=cmake/i686-w64-mingw32.cmake \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/win -j"$(nproc)" >/dev/null

source scripts/wine-env.sh
export WINEPREFIX="$root/build/bench-prefix"
trap 'sorvan_stop_wine; rm -rf "$WINEPREFIX"' EXIT
sorvan_check_32bit
sorvan_start_display
sorvan_make_prefix
# Keep the Wine server up between runs: every run finds the prefix warm.
timeout 900 wineserver -p 60 || true
timeout 120 wine cmd /c exit >/dev/null 2>&1 || true

package="$WINEPREFIX/drive_c/bench"
mkdir -p "$package"
cp build/win/SORVanActiveXSetup.exe build/win/bench/empty_program.exe build/win/bench/empty_dialog.exe \
  build/win/bench/engine_bench.exe build/win/tests/wine/hidden_station.exe "$package/"

# A machine without the product, so that each timed installation is a fresh
# one: the installed files and the product's keys go. The program is 32-bit,
# and this prefix 64-bit: its system folder and registry are the WOW64 ones.
system="$WINEPREFIX/drive_c/windows/syswow64"
{
  echo "REGEDIT4"
  for key in "Software\\Wow6432Node\\Microsoft\\Code Store Database\\Distribution Units\\$SORVAN_CLSID" \
      "Software\\Wow6432Node\\Classes\\CLSID\\$SORVAN_CLSID" "Software\\Classes\\Wow6432Node\\CLSID\\$SORVAN_CLSID" \
      "Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\QUElmark" \
      "Software\\Wow6432Node\\QUElmark"; do
    printf '\n[-HKEY_LOCAL_MACHINE\\%s]\n' "$key"
  done
} > "$package/clear.reg"
clear_product() {
  local name
  for name in "${SORVAN_COMPONENTS[@]}"; do rm -f "$system/$name" "$system/$name".*; done
  (cd "$package" && timeout 120 wine regedit /S clear.reg >/dev/null 2>&1) || true
  sorvan_put_stand_in_components build/win "$package"
}

# Milliseconds of one run of a program in the package folder.
time_run() {
  local started ended
  started=$(date +%s%N)
  (cd "$package" && timeout 300 wine "$1" >/dev/null 2>&1) || { echo "run of $1 failed" >&2; return 1; }
  ended=$(date +%s%N)
  echo $(((ended - started) / 1000000))
}
# Milliseconds of one run on a window station no one sees, as the launcher
# measures it.
time_hidden_run() {
  local ms
  ms=$(cd "$package" && timeout 300 wine hidden_station.exe "$1" 2>/dev/null | tr -d '\r' | tail -1)
  if [ -z "$ms" ]; then echo "hidden run of $1 failed" >&2; return 1; fi
  echo "$ms"
}
median() { sort -n | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2}'; }

setup_times=()
again_times=()
empty_times=()
dialog_times=()
hidden_setup_times=()
hidden_again_times=()
hidden_empty_times=()
hidden_dialog_times=()
for _ in $(seq 1 "$runs"); do
  clear_product
  setup_times+=("$(time_run SORVanActiveXSetup.exe)")
  again_times+=("$(time_run SORVanActiveXSetup.exe)")
  empty_times+=("$(time_run empty_program.exe)")
  dialog_times+=("$(time_run empty_dialog.exe)")
  clear_product
  hidden_setup_times+=("$(time_hidden_run SORVanActiveXSetup.exe)")
  hidden_again_times+=("$(time_hidden_run SORVanActiveXSetup.exe)")
  hidden_empty_times+=("$(time_hidden_run empty_program.exe)")
  hidden_dialog_times+=("$(time_hidden_run empty_dialog.exe)")
done
# Each timed pair was a fresh installation and a repair, as the log says.
log=$(find "$WINEPREFIX/drive_c/users" -name SORVanActiveXSetup.log | head -1)
fresh=$(grep -c '\] installed.$' "$log" || true)
repairs=$(grep -c '\] already installed: its control registered again' "$log" || true)
setup_median=$(printf '%s\n' "${setup_times[@]}" | median)
again_median=$(printf '%s\n' "${again_times[@]}" | median)
hidden_again_median=$(printf '%s\n' "${hidden_again_times[@]}" | median)
empty_median=$(printf '%s\n' "${empty_times[@]}" | median)
dialog_median=$(printf '%s\n' "${dialog_times[@]}" | median)
hidden_setup_median=$(printf '%s\n' "${hidden_setup_times[@]}" | median)
hidden_empty_median=$(printf '%s\n' "${hidden_empty_times[@]}" | median)
hidden_dialog_median=$(printf '%s\n' "${hidden_dialog_times[@]}" | median)

host=$(build/bench-host/bench/engine_bench)
wine_tree=$(cd "$package" && timeout 900 wine engine_bench.exe 2>/dev/null | tr -d '\r')
size=$(stat -c %s build/win/SORVanActiveXSetup.exe)

echo
echo "| measure | value |"
echo "| --- | --- |"
echo "| size of SORVanActiveXSetup.exe | $size bytes |"
echo "| fresh installation under Wine (median of $runs) | $setup_median ms |"
echo "| start with the installation in place, a repair (median of $runs) | $again_median ms |"
echo "| empty program, same runtime, same warm prefix (median of $runs) | $empty_median ms |"
echo "| empty dialog program, ended in its initialisation (median of $runs) | $dialog_median ms |"
echo "| setup run / empty program | $(awk -v a="$setup_median" -v b="$empty_median" 'BEGIN {printf "%.2f", a / b}') |"
echo "| setup run / empty dialog program | $(awk -v a="$setup_median" -v b="$dialog_median" 'BEGIN {printf "%.2f", a / b}') |"
echo "| fresh installation, on a window station no one sees (median of $runs) | $hidden_setup_median ms |"
echo "| repair start, on that station (median of $runs) | $hidden_again_median ms |"
echo "| empty program, on that station (median of $runs) | $hidden_empty_median ms |"
echo "| empty dialog program, on that station (median of $runs) | $hidden_dialog_median ms |"
echo "| fresh installation beyond the empty dialog program, on that station | $(awk -v a="$hidden_setup_median" -v b="$hidden_dialog_median" 'BEGIN {print a - b}') ms |"
echo "| repair start beyond the empty dialog program, on that station | $(awk -v a="$hidden_again_median" -v b="$hidden_dialog_median" 'BEGIN {print a - b}') ms |"
for keys in 1000 10000 100000; do
  echo "| DeleteKeyTree, $keys keys, stand-in | $(echo "$host" | awk -v k=$keys '$1 == k {print $2}') ms |"
  echo "| DeleteKeyTree, $keys keys, real registry under Wine | $(echo "$wine_tree" | awk -v k=$keys '$1 == k {print $2}') ms |"
done
echo "| platform operations of a successful run | $(echo "$host" | awk '$1 == "operations" {print $2}') |"
echo "| runs the log shows as fresh installations / repairs | $fresh / $repairs of $((2 * runs)) each |"
if ! sorvan_runs_32bit_natively; then
  echo
  echo "This machine runs 32-bit code only through QEMU: every run above includes the"
  echo "emulated start of a 32-bit process, which hides the differences between the programs."
fi
