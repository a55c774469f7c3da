#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz/ and runs them.
#   fuzz/run.sh TARGET SECONDS      TARGET: fuzz_run, fuzz_jobfile or all
# Each target starts from its seed corpus (fuzz/corpus/<target>/, copied, so
# the repository's seeds stay as they are) and runs for SECONDS. A crash, a
# sanitizer report, a broken invariant (abort) or an input that runs longer
# than 30 s stops it; the input is kept in build-fuzz/artifacts/<target>/ and
# the script fails. The last line per target gives executions and time.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
target=${1:-all}
seconds=${2:-60}
build=${QUILLMERE_FUZZ_BUILD:-$root/build-fuzz}

case "$target" in
  all) targets=(fuzz_run fuzz_jobfile) ;;
  fuzz_run|fuzz_jobfile) targets=("$target") ;;
  *) echo "usage: $0 fuzz_run|fuzz_jobfile|all SECONDS" >&2; exit 2 ;;
esac

if [ ! -f "$build/CMakeCache.txt" ]; then
  CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DQUILLMERE_FUZZ=ON \
    -DQUILLMERE_TESTS=OFF -DQUILLMERE_SIM=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"

status=0
for t in "${targets[@]}"; do
  corpus="$build/corpus/$t"
  artifacts="$build/artifacts/$t"
  log="$build/$t.log"
  mkdir -p "$corpus" "$artifacts"
  cp -n "$root/fuzz/corpus/$t/"* "$corpus/" 2>/dev/null || true
  echo "--- $t for $seconds s"
  set +e
  # The targets change into a scratch directory, so every path is absolute.
  "$build/$t" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 -max_len=8192 \
    -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" >"$log" 2>&1
  rc=$?
  set -e
  runs=$(sed -nE 's/^stat::number_of_executed_units: *([0-9]+).*/\1/p' "$log" | tail -1)
  secs=$(sed -nE 's/^Done [0-9]+ runs in ([0-9]+) second.*/\1/p' "$log" | tail -1)
  if [ "$rc" -ne 0 ]; then
    status=1
    tail -40 "$log"
    echo "$t: FINDING (exit $rc), inputs in $artifacts"
  else
    echo "$t: ${runs:-?} executions in ${secs:-?} s, no findings (log: $log)"
  fi
done
exit "$status"
