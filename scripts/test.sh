#!/usr/bin/env bash
# Every test: installs what is missing; the host tests, plain and under the
# sanitizers; the static analysers; the Windows build and its bytes; releases
# made and checked; and the tests under Wine, with fuzzing beside them.
set -euo pipefail
cd "$(dirname "$0")/.."

# Says how long each stage took, so a slow machine shows where its time goes,
# and at the end the verdict and the whole time.
stage_name="" stage_started=$SECONDS fuzzer=""
stage() {
  if [ -n "$stage_name" ]; then echo "== $stage_name: $((SECONDS - stage_started)) s"; fi
  stage_name="$1" stage_started=$SECONDS
}
finish() {
  local status=$? took="$((SECONDS / 60)) min $((SECONDS % 60)) s"
  if [ -n "$fuzzer" ]; then kill "$fuzzer" 2>/dev/null || true; fi
  if [ "$status" -eq 0 ]; then
    echo "== every test passed, in $took"
  else
    echo "== FAILED in the stage \"$stage_name\", after $took (exit status $status)"
  fi
}
trap finish EXIT

stage "set-up"
scripts/install-deps.sh

stage "host tests"
cmake -S . -B build/host -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build/host -j"$(nproc)" >/dev/null
(cd build/host && ctest --output-on-failure)

stage "host tests under the sanitizers"
# The same tests under AddressSanitizer and UndefinedBehaviorSanitizer.
cmake -S . -B build/host-sanitize -DCMAKE_BUILD_TYPE=Debug -DSORVAN_SANITIZE=ON >/dev/null
cmake --build build/host-sanitize -j"$(nproc)" >/dev/null
(cd build/host-sanitize && ctest --output-on-failure)

stage "static analysis"
scripts/static-analysis.sh

stage "Windows build, program check"
cmake --no-warn-unused-cli -S . -B build/win -DCMAKE_TOOLCHAIN_FILE=cmake/i686-w64-mingw32.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/win -j"$(nproc)" >/dev/null
/usr/bin/python3 tests/static/check_program.py build/win/SORVanActiveXSetup.exe res/SORVanActiveXSetup.ico

stage "releases"
# Releases made from the stand-in components, signed with a throwaway
# authority; the Wine cases below run what they hold.
tests/release/release_test.sh build/win

stage "fuzzing, built and started"
# The path and key-tree routines under libFuzzer, for a bounded time, on one
# core beside the Wine cases; new inputs go to build/, the seeds stay.
CC=clang CXX=clang++ cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSORVAN_FUZZ=ON >/dev/null
cmake --build build/fuzz -j"$(nproc)" >/dev/null
mkdir -p build/fuzz-corpus
build/fuzz/tests/fuzz/path_tree_fuzz -max_total_time="${SORVAN_FUZZ_SECONDS:-60}" -max_len=4096 \
  build/fuzz-corpus tests/fuzz/corpus > build/fuzz.log 2>&1 &
fuzzer=$!

stage "Wine, 64-bit prefix"
tests/wine/run_wine_tests.sh build/win win64
# And on 32-bit Windows, where this machine runs 32-bit code itself: under
# QEMU a 32-bit prefix's boot hung in 2 of 9 runs, its Wine server gone.
source scripts/wine-env.sh
if sorvan_runs_32bit_natively; then
  stage "Wine, 32-bit prefix"
  tests/wine/run_wine_tests.sh build/win win32
else
  echo "wine: no 32-bit Windows prefix here (32-bit code runs only through QEMU on this machine)"
fi

stage "fuzzing, the result"
if ! wait "$fuzzer"; then
  fuzzer=""
  tail -40 build/fuzz.log
  exit 1
fi
fuzzer=""
echo "fuzzing: $(grep -E '^Done' build/fuzz.log)"
stage ""
