#!/usr/bin/env bash
# Every test: installs what is missing, builds both builds, runs the host
# tests and the tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

cmake -S . -B build/host -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build/host -j"$(nproc)" >/dev/null
(cd build/host && ctest --output-on-failure)

# The same tests under AddressSanitizer and UndefinedBehaviorSanitizer.
cmake -S . -B build/host-sanitize -DCMAKE_BUILD_TYPE=Debug -DSORVAN_SANITIZE=ON >/dev/null
cmake --build build/host-sanitize -j"$(nproc)" >/dev/null
(cd build/host-sanitize && ctest --output-on-failure)

cmake --no-warn-unused-cli -S . -B build/win -DCMAKE_TOOLCHAIN_FILE=cmake/i686-w64-mingw32.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/win -j"$(nproc)" >/dev/null
/usr/bin/python3 tests/static/check_program.py build/win/SORVanActiveXSetup.exe res/SORVanActiveXSetup.ico
scripts/check-reproducible.sh

tests/wine/run_wine_tests.sh build/win
