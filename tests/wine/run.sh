#!/usr/bin/env bash
# The Windows build and its tests under Wine, as CI runs them:
#   1. cross-builds quillmere.exe and the unit tests with MinGW-w64 (build-win);
#   2. makes sure the native build (QUILLMERE_NATIVE_BUILD, default build/)
#      has the Linux tool and the simulated instrument;
#   3. runs every test of the cross build under Wine: the unit tests, the
#      platform tests against scripted devices, and the end-to-end runs.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
jobs=$(nproc)
win=${QUILLMERE_WIN_BUILD:-$root/build-win}
native=${QUILLMERE_NATIVE_BUILD:-$root/build}

cmake -S . -B "$win" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DQUILLMERE_TESTS=ON -DCMAKE_COMPILE_WARNING_AS_ERROR=ON -DQUILLMERE_NATIVE_BUILD="$native" >/dev/null
cmake --build "$win" -j"$jobs"

if [ ! -x "$native/quillmere" ] || [ ! -x "$native/quillmere-sim" ]; then
  cmake -S . -B "$native" >/dev/null
  cmake --build "$native" -j"$jobs" --target quillmere quillmere-sim
fi

ctest --test-dir "$win" --output-on-failure -j"$jobs"
