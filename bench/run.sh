#!/usr/bin/env bash
# Benchmarks, printed as a table (not tests: nothing here passes or fails).
#   - the size of SORVanActiveXSetup.exe;
#   - the wall time of a full successful setup run under Wine against an empty
#     program with the same runtime, and against an empty dialog program (a
#     dialog that ends in its initialisation, as the setup's does), in the same
#     warm prefix, alternating runs, medians: on the desktop (Xvfb with a
#     window manager), and on a window station no one sees, as a SYSTEM
#     deployment runs it, where Wine uses no display at all (timed from
#     inside Wine, by the launcher that puts them there);
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
empty_times=()
dialog_times=()
hidden_setup_times=()
hidden_empty_times=()
hidden_dialog_times=()
for _ in $(seq 1 "$runs"); do
  sorvan_put_stand_in_components build/win "$package"
  setup_times+=("$(time_run SORVanActiveXSetup.exe)")
  empty_times+=("$(time_run empty_program.exe)")
  dialog_times+=("$(time_run empty_dialog.exe)")
  sorvan_put_stand_in_components build/win "$package"
  hidden_setup_times+=("$(time_hidden_run SORVanActiveXSetup.exe)")
  hidden_empty_times+=("$(time_hidden_run empty_program.exe)")
  hidden_dialog_times+=("$(time_hidden_run empty_dialog.exe)")
done
setup_median=$(printf '%s\n' "${setup_times[@]}" | median)
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
echo "| full successful setup run under Wine (median of $runs) | $setup_median ms |"
echo "| empty program, same runtime, same warm prefix (median of $runs) | $empty_median ms |"
echo "| empty dialog program, ended in its initialisation (median of $runs) | $dialog_median ms |"
echo "| setup run / empty program | $(awk -v a="$setup_median" -v b="$empty_median" 'BEGIN {printf "%.2f", a / b}') |"
echo "| setup run / empty dialog program | $(awk -v a="$setup_median" -v b="$dialog_median" 'BEGIN {printf "%.2f", a / b}') |"
echo "| full successful setup run, on a window station no one sees (median of $runs) | $hidden_setup_median ms |"
echo "| empty program, on that station (median of $runs) | $hidden_empty_median ms |"
echo "| empty dialog program, on that station (median of $runs) | $hidden_dialog_median ms |"
echo "| setup run beyond the empty dialog program, on that station | $(awk -v a="$hidden_setup_median" -v b="$hidden_dialog_median" 'BEGIN {print a - b}') ms |"
for keys in 1000 10000 100000; do
  echo "| DeleteKeyTree, $keys keys, stand-in | $(echo "$host" | awk -v k=$keys '$1 == k {print $2}') ms |"
  echo "| DeleteKeyTree, $keys keys, real registry under Wine | $(echo "$wine_tree" | awk -v k=$keys '$1 == k {print $2}') ms |"
done
echo "| platform operations of a successful run | $(echo "$host" | awk '$1 == "operations" {print $2}') |"
if ! sorvan_runs_32bit_natively; then
  echo
  echo "This machine runs 32-bit code only through QEMU: every run above includes the"
  echo "emulated start of a 32-bit process, which hides the differences between the programs."
fi
