#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test:
#   1. the ARM images rebuilt from source must equal the committed binaries;
#   2. the normal build (warnings as errors): unit, simulator and end-to-end tests;
#   3. an AddressSanitizer + UndefinedBehaviorSanitizer build: the same tests and
#      a sampled fault matrix against the simulator;
#   4. the Windows build (MinGW-w64), its unit and end-to-end tests under Wine;
#   5. the release bundles (Debian package, Windows ZIP), contents checked;
#   6. each fuzz target for a bounded time.
# Every build is configured with the options its tests need (a build/ left
# by scripts/demo.sh has the tests off), and a ctest pass that finds no test
# fails the run.
# Set QUILLMERE_SKIP_SETUP=1 to skip the package installation, and
# QUILLMERE_QUICK=1 to run only steps 1 and 2 (a quick check by hand; CI runs
# every step and refuses it).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=$(nproc)
fuzz_seconds=${QUILLMERE_FUZZ_SECONDS:-60}
summary=$(mktemp)
trap 'rm -f "$summary"' EXIT

quick=${QUILLMERE_QUICK:-0}
if [ "$quick" = "1" ] && [ "${CI:-}" = "true" ]; then
  echo "test-all.sh: QUILLMERE_QUICK is not for CI: every step runs there" >&2
  exit 1
fi

if [ "${QUILLMERE_SKIP_SETUP:-0}" != "1" ]; then
  scripts/setup.sh
fi

step() { printf '\n=== %s ===\n' "$*"; }

# Runs ctest and keeps its closing count for the final line.
run_ctest() {
  local dir=$1; shift
  local log
  log=$(mktemp)
  set +e
  ctest --test-dir "$dir" --output-on-failure -j"$jobs" "$@" 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  set -e
  if ! grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" >> "$summary"; then
    # ctest says "No tests were found" and still exits 0.
    echo "test-all.sh: ctest found no test in $dir" >&2
    rc=1
  fi
  rm -f "$log"
  return "$rc"
}

step "ARM images from source"
target/check.sh

step "Build (warnings as errors)"
cmake -S . -B build -DQUILLMERE_TESTS=ON -DQUILLMERE_SIM=ON -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
cmake --build build -j"$jobs"
step "Tests"
run_ctest build -LE 'faults|wine'

if [ "$quick" != "1" ]; then
step "Build with AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -DQUILLMERE_TESTS=ON -DQUILLMERE_SIM=ON -DQUILLMERE_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
cmake --build build-asan -j"$jobs"
step "Tests under sanitizers, and the sampled fault matrix"
run_ctest build-asan -LE wine

if [ -x tests/wine/run.sh ]; then
  step "Windows build under Wine"
  wine_log=$(mktemp)
  set +e
  tests/wine/run.sh 2>&1 | tee "$wine_log"
  wine_rc=${PIPESTATUS[0]}
  set -e
  if ! grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$wine_log" >> "$summary"; then
    echo "test-all.sh: ctest found no test in the Windows build" >&2
    wine_rc=1
  fi
  rm -f "$wine_log"
  [ "$wine_rc" -eq 0 ]
fi

# The release bundles from the builds above, their contents listed and checked.
step "Release bundles"
rm -f build/quillmere_*.deb build-win/quillmere-*-win64.zip
cmake --build build --target package
bundles=(--deb build)
if [ -d build-win ]; then
  cmake --build build-win --target package
  bundles+=(--zip build-win)
fi
tests/package/check_bundles.py "${bundles[@]}"

if [ -x fuzz/run.sh ]; then
  step "Fuzzing"
  fuzz/run.sh all "$fuzz_seconds"
fi
fi  # quick

step "Summary"
passed=0; failed=0
while read -r line; do
  total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
  fails=$(sed -E 's/.*tests passed, ([0-9]+) tests? failed.*/\1/' <<<"$line")
  passed=$((passed + total - fails)); failed=$((failed + fails))
done < "$summary"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
