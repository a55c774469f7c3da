#!/usr/bin/env bash
# Checks that a Windows program needs no DLL beyond the system's own
# (KERNEL32, USER32, msvcrt): a program that needs the MinGW runtime DLLs does
# not start on a machine without them.
#   tests/wine/check_imports.sh quillmere.exe
set -euo pipefail
dlls=$(x86_64-w64-mingw32-objdump -p "$1" | sed -n 's/^[[:space:]]*DLL Name: //p' | sort -u)
echo "$1 imports:" $dlls
bad=$(grep -viE '^(kernel32|user32|msvcrt)\.dll$' <<<"$dlls" || true)
if [ -n "$bad" ]; then
  echo "not a system DLL:" $bad >&2
  exit 1
fi
# A 64-bit program: a 32-bit one does not start under the 64-bit Wine.
x86_64-w64-mingw32-objdump -f "$1" | grep -q 'file format pei-x86-64'
