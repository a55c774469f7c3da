#!/usr/bin/env bash
# The whole fault matrix: every fault kind at every frame of a clean run, and
# the "also tried" cases with the 516,096-byte image, against a tool and a
# simulator built with AddressSanitizer and UndefinedBehaviorSanitizer in
# build-faults/. Prints the table; every run's verdict goes to
# build-faults/fault_matrix.json. Extra arguments go to fault_matrix.py.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${QUILLMERE_FAULTS_BUILD:-$root/build-faults}
cmake -S "$root" -B "$build" -DQUILLMERE_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target quillmere quillmere-sim quillmere-outcomes
exec python3 "$root/tests/fault_matrix/fault_matrix.py" --tool "$build/quillmere" --sim "$build/quillmere-sim" \
  --outcomes "$build/quillmere-outcomes" \
  --full --progress --json "$build/fault_matrix.json" "$@"
