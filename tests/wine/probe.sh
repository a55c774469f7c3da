#!/usr/bin/env bash
# quillmere-probe.exe under Wine against the simulated instrument on its USB
# link, with the Windows CDC driver's side, the pseudo-terminal mapped as COM3:
#   tests/wine/probe.sh --exe build-win/quillmere-probe.exe --sim build/quillmere-sim
# Standard output must hold the JSON report alone, with every judged item as
# expected, the version text taken from the version query, exit code 0, and
# the wire log only the search, the prompt, the version query, reads and T#.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"
exe="" sim=""
while [ $# -gt 0 ]; do
  case "$1" in
    --exe) exe=$2; shift 2 ;;
    --sim) sim=$2; shift 2 ;;
    *) echo "unknown argument $1" >&2; exit 2 ;;
  esac
done
quillmere_wine_server

work=$(mktemp -d)
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  quillmere_wine_clear_ports
  rm -rf "$work"
}
trap cleanup EXIT

"$sim" --usb-driver windows --port-dir "$work/ports" --port 3 --wire-log "$work/wire.log" \
  --log "$work/sim.log" --summary "$work/summary.txt" --exit-after-close --timeout 120 > "$work/sim.out" &
sim_pid=$!
for _ in $(seq 1 100); do
  grep -q '^ready ' "$work/sim.out" 2>/dev/null && break
  sleep 0.05
done
pty=$(awk '/^ready /{print $3}' "$work/sim.out")
if [ -z "$pty" ]; then
  echo "the simulated instrument did not start" >&2
  exit 1
fi
quillmere_wine_clear_ports
quillmere_wine_map_port 3 "$pty"

rc=0
quillmere_wine_exec "$exe" --json > "$work/report.json" 2> "$work/console.txt" || rc=$?
wait "$sim_pid" || true
sim_pid=""

python3 - "$work" "$rc" "$here/../e2e" <<'PY'
import json, os, re, sys
work, rc, e2e = sys.argv[1], int(sys.argv[2]), sys.argv[3]
sys.path.insert(0, e2e)
from harness import parse_wire_log
with open(os.path.join(work, "report.json")) as f:
    report = json.load(f)
problems = []
if rc != 0 or report["exit_code"] != 0:
    problems.append("exit code %d, report %d" % (rc, report["exit_code"]))
for item in report["items"]:
    if item["verdict"] == "differs":
        problems.append("differs: %s (%s)" % (item["id"], item["reading"]))
if report["version"] != {"text": "v1.4 Nov 10 2006", "code": 10}:
    problems.append("version %r" % report["version"])
if not report["terminal_sent"]:
    problems.append("no T# at the end")
allowed = re.compile(r"^(N#|T#|V#\\n|#\\n|w[0-9A-F]{8},4#|R[0-9A-F]{8},[0-9A-F]{8}#)$")
frames = [e.data for e in parse_wire_log(os.path.join(work, "wire.log")) if e.to_device]
problems += ["frame %s" % f for f in frames if not allowed.match(f)]
if not frames or frames[-1] != "T#":
    problems.append("last frame %r" % (frames[-1:] or None))
print("quillmere-probe.exe: %d items, %d frames, summary %s" % (len(report["items"]), len(frames), report["summary"]))
for p in problems:
    print("FAIL: " + p, file=sys.stderr)
sys.exit(1 if problems else 0)
PY
