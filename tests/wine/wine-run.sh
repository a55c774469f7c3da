#!/usr/bin/env bash
# Runs a Windows program under Wine in the tests' own prefix (see common.sh):
#   tests/wine/wine-run.sh program.exe [arguments...]
# The cross build uses it as its test emulator.
set -euo pipefail
. "$(dirname "$0")/common.sh"
quillmere_wine_server
quillmere_wine_exec "$@"
