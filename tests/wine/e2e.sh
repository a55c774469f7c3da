#!/usr/bin/env bash
# End-to-end runs of the Windows program under Wine, with real message boxes
# on a virtual display (xvfb-run) answered by xdotool:
#   tests/wine/e2e.sh --exe build-win/quillmere.exe --linux-tool build/quillmere \
#                     --sim build/quillmere-sim [unittest arguments]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"
export QUILLMERE_WINE
quillmere_wine_server
trap quillmere_wine_clear_ports EXIT
xvfb-run -a -s "-screen 0 1024x768x24" python3 "$here/e2e_wine.py" "$@"
