#!/usr/bin/env bash
# Programs a sample image into the simulated instrument, the way an operator
# would: builds the tool and the simulator if needed, starts quillmere-sim on
# a pseudo-terminal in a scratch port directory (reached over its USB link,
# as a real instrument is), runs quillmere in a scratch
# working directory with f_write.txt naming the image, answers the first
# question with Yes, and prints the simulator's summary of the flash.
#
#   scripts/demo.sh            version-1 boot monitor
#   scripts/demo.sh --v2       version-2 boot monitor (SRAM monitor path)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
version="v1.4 Nov 10 2006"
if [ "${1:-}" = "--v2" ]; then version="v2.1 Mar 02 2009"; fi

if [ ! -x "$build/quillmere" ] || [ ! -x "$build/quillmere-sim" ]; then
  cmake -S "$root" -B "$build" -DQUILLMERE_TESTS=OFF >/dev/null
  cmake --build "$build" -j"$(nproc)" --target quillmere quillmere-sim >/dev/null
fi

work=$(mktemp -d)
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
mkdir "$work/ports"

# A sample firmware image of 100,000 bytes (a fixed pattern, so runs compare).
python3 -c "import sys; sys.stdout.buffer.write(bytes((i * 7 + (i >> 8)) & 0xFF for i in range(100000)))" \
  > "$work/firmware.bin"
printf 'firmware.bin' > "$work/f_write.txt"

"$build/quillmere-sim" --port-dir "$work/ports" --port 3 --version "$version" \
  --state-out "$work/state.bin" --summary "$work/summary.txt" --exit-after-close --timeout 300 \
  > "$work/sim.out" 2> "$work/sim.log" &
sim_pid=$!
for _ in $(seq 1 100); do
  grep -q '^ready' "$work/sim.out" 2>/dev/null && break
  sleep 0.05
done

echo "--- quillmere (answering: y) ---"
(cd "$work" && echo y | QUILLMERE_PORT_DIR="$work/ports" "$build/quillmere")
echo "--- exit code $? ---"
wait "$sim_pid" || true
sim_pid=""
echo "--- simulated instrument ---"
cat "$work/summary.txt" 2>/dev/null || cat "$work/sim.log"
