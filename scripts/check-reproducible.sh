#!/usr/bin/env bash
# Builds SORVanActiveXSetup.exe a second time, from a copy of the sources in
# another folder and in another build folder, and compares it byte for byte
# with the program in build/win. Nothing in the program depends on when or
# where it was built: the link stamps no time and the compiler records no
# source paths.
set -euo pipefail
cd "$(dirname "$0")/.."
first=build/win/SORVanActiveXSetup.exe
[ -f "$first" ] || { echo "build the program first (scripts/run.sh --build-only)" >&2; exit 2; }
again=build/reproduce
rm -rf "$again"
mkdir -p "$again/source"
tar --exclude=./build --exclude=./.git -cf - . | tar -C "$again/source" -xf -
cmake --no-warn-unused-cli -S "$again/source" -B "$again/win" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/$again/source/cmake/i686-w64-mingw32.cmake" >/dev/null
cmake --build "$again/win" -j"$(nproc)" --target SORVanActiveXSetup >/dev/null
if cmp -s "$first" "$again/win/SORVanActiveXSetup.exe"; then
  echo "reproducible: two builds from different folders are identical ($(sha256sum < "$first" | cut -c1-16)…, $(stat -c %s "$first") bytes)"
else
  echo "NOT reproducible: $first and $again/win/SORVanActiveXSetup.exe differ"
  cmp "$first" "$again/win/SORVanActiveXSetup.exe" | head -3 || true
  exit 1
fi
