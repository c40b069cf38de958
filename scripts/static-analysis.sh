#!/usr/bin/env bash
# cppcheck and clang-tidy over the engine and the platform layer; any finding
# fails. The engine is analysed as the host build compiles it, the Win32
# layer as the MinGW build compiles it (with MinGW's own headers).
set -euo pipefail
cd "$(dirname "$0")/.."

cppcheck --enable=warning,style,performance,portability --language=c++ --std=c++17 --inline-suppr \
  --error-exitcode=1 -q -I . engine platform

cmake -S . -B build/host -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
cmake --no-warn-unused-cli -S . -B build/win -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
  -DCMAKE_TOOLCHAIN_FILE=cmake/i686-w64-mingw32.cmake >/dev/null
clang-tidy -p build/host --quiet engine/*.cpp 2>/dev/null

# clang reads the MinGW build's commands with MinGW's target and header folders.
mingw=(--extra-arg-before=--target=i686-w64-mingw32 --extra-arg-before=-nostdinc)
while read -r folder; do
  mingw+=("--extra-arg-before=-isystem$folder")
done < <(i686-w64-mingw32-g++ -E -x c++ - -v < /dev/null 2>&1 |
  sed -n '/#include <...> search starts here/,/End of search list/p' | grep '^ /')
# GCC's -malign-data (a code-generation choice that keeps strings unpadded)
# means nothing to clang, which refuses it: its copy of the commands goes
# without it.
commands=$(mktemp -d)
trap 'rm -rf "$commands"' EXIT
sed 's/ -malign-data=abi//g' build/win/compile_commands.json > "$commands/compile_commands.json"
clang-tidy -p "$commands" --quiet "${mingw[@]}" platform/win32_platform.cpp 2>/dev/null
echo "static analysis: cppcheck and clang-tidy found nothing in engine/ and platform/"
