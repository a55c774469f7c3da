# Shared settings of the Wine test scripts; source it, do not run it.
# The tests' own Wine prefix: QUILLMERE_WINEPREFIX, by default a folder under
# the temporary directory, created on first use (about 12 s) and shared.
export WINEPREFIX=${QUILLMERE_WINEPREFIX:-${TMPDIR:-/tmp}/quillmere-wine-$(id -u)}
export WINEDEBUG=-all
# No .NET or HTML engine installers. The mount manager stays off too: it would
# map the machine's own serial devices (/dev/ttyS0 ...) as COM1 and up at every
# start, and the program under test must see only the ports a test maps.
export WINEDLLOVERRIDES="mscoree,mshtml=;mountmgr.sys=d"
export WINEARCH=win64
if [ -x /usr/lib/wine/wine64 ]; then
  QUILLMERE_WINE=/usr/lib/wine/wine64
else
  QUILLMERE_WINE=$(command -v wine64 || command -v wine)
fi

# Creates the prefix once; a second caller waits for the first.
quillmere_wine_prefix() {
  if [ -f "$WINEPREFIX/system.reg" ]; then return 0; fi
  mkdir -p "$WINEPREFIX"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      "$QUILLMERE_WINE" wineboot -i >/dev/null 2>&1 || true
      wineserver -w 2>/dev/null || true
    fi
  ) 9>"$WINEPREFIX.lock"
}

# Starts the prefix's Wine server unless it runs, with its diagnostics (an
# object dump whenever a mapped pseudo-terminal hangs up) kept off the test
# output. It ends by itself a few seconds after its last program.
quillmere_wine_server() {
  quillmere_wine_prefix
  wineserver -p3 >/dev/null 2>&1 || true
}

# Removes every COM port mapping of the prefix, so the program under test
# sees only the ports a test maps.
quillmere_wine_clear_ports() {
  rm -f "$WINEPREFIX"/dosdevices/com[0-9]*
}

# Runs a Windows program with its output going through files: Wine's
# background services, when this program starts them, inherit its output, and
# a reader of a pipe (CTest) would wait for them to end as well.
quillmere_wine_exec() {
  local out err rc=0
  out=$(mktemp) err=$(mktemp)
  "$QUILLMERE_WINE" "$@" >"$out" 2>"$err" </dev/null || rc=$?
  cat "$out"; cat "$err" >&2
  rm -f "$out" "$err"
  return "$rc"
}

# Maps COM<n> of the prefix to a device path (a pseudo-terminal's slave).
quillmere_wine_map_port() {
  ln -sfn "$2" "$WINEPREFIX/dosdevices/com$1"
}
