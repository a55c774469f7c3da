#!/usr/bin/env bash
# Runs the Windows platform tests against scripted devices: pseudo-terminals
# served by pty_peer.py, mapped into the Wine prefix as COM11 to COM15.
#   tests/wine/platform.sh path/to/platform_tests.exe
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"
exe=$1; shift
quillmere_wine_server

work=$(mktemp -d)
peer_pid=""
cleanup() {
  if [ -n "$peer_pid" ]; then kill "$peer_pid" 2>/dev/null || true; wait "$peer_pid" 2>/dev/null || true; fi
  quillmere_wine_clear_ports
  rm -rf "$work"
}
trap cleanup EXIT

mkfifo "$work/in"
python3 "$here/pty_peer.py" echo silent stuck trickle hangup < "$work/in" > "$work/ready" &
peer_pid=$!
exec 8>"$work/in"   # the peer runs until this closes
for _ in $(seq 1 100); do
  [ "$(grep -c '^ready' "$work/ready" 2>/dev/null)" = 5 ] && break
  sleep 0.05
done
if [ "$(grep -c '^ready' "$work/ready")" != 5 ]; then
  echo "the scripted devices did not start" >&2
  exit 1
fi

quillmere_wine_clear_ports
export QUILLMERE_PTY_PEER=1
n=11
while read -r _ role slave; do
  quillmere_wine_map_port "$n" "$slave"
  export "QUILLMERE_PORT_${role^^}=$n"
  n=$((n + 1))
done < "$work/ready"

quillmere_wine_exec "$exe" "$@"
