#!/usr/bin/env bash
# cppcheck and clang-tidy over every product source (app/, engine/,
# platform/); any finding fails. The engine is analysed as the host build
# compiles it, the Win32 layer and the shell as the MinGW build compiles them
# (with MinGW's own headers).
set -euo pipefail
cd "$(dirname "$0")/.."
for tool in cppcheck clang-tidy cmake i686-w64-mingw32-g++; do
  command -v "$tool" >/dev/null || { echo "missing: $tool; scripts/install-deps.sh installs it" >&2; exit 1; }
done

cppcheck --enable=warning,style,performance,portability --language=c++ --std=c++17 --inline-suppr \
  --error-exitcode=1 -q -I . app engine platform

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
# GCC's -malign-data, -mpreferred-stack-boundary and -fno-inline-small-functions
# (code-generation choices that keep the program small) mean nothing to
# clang, which refuses them: its copy of the commands goes without them.
commands=$(mktemp -d)
trap 'rm -rf "$commands"' EXIT
sed -e 's/ -malign-data=abi//g' -e 's/ -mpreferred-stack-boundary=2//g' -e 's/ -fno-inline-small-functions//g' \
  build/win/compile_commands.json \
  > "$commands/compile_commands.json"
# One file per clang-tidy, two at a time: any that finds something fails the run.
printf '%s\n' platform/*.cpp app/*.cpp |
  xargs -P 2 -I{} clang-tidy -p "$commands" --quiet "${mingw[@]}" {} 2>/dev/null
echo "static analysis: cppcheck and clang-tidy found nothing in app/, engine/ and platform/"
