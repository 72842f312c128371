# A private Wine prefix for running the Windows test programs. Source this file, then
#   wine_boot DIR    create and boot the prefix unless that was done before
#   wine_start DIR   export WINEPREFIX and WINEDEBUG for it, boot it if needed,
#                    and keep its wineserver running
#   wine_stop        end the wineserver (and programs) of that prefix only

DUDIDADU_WINE_PREFIX=""

wine_boot() {
  local dir=$1
  [ -f "$dir/.dudidadu-booted" ] && return 0
  rm -rf "$dir" "$dir.log"
  mkdir -p "$(dirname "$dir")"
  (
    export WINEPREFIX="$dir" WINEDEBUG=-all
    # No Mono or Gecko: the tests need neither, and nothing can be fetched.
    WINEDLLOVERRIDES="mscoree,mshtml=" timeout 600 wineboot -i || exit 1
    # Programs may create windows without an X server: the null graphics driver.
    wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f || exit 1
    # Wait until the registry is written out before calling the prefix ready.
    wineserver -w
  ) </dev/null >"$dir.log" 2>&1 || {
    echo "booting the Wine prefix $dir failed; its log:" >&2
    cat "$dir.log" >&2
    return 1
  }
  touch "$dir/.dudidadu-booted"
}

wine_start() {
  local dir=$1
  DUDIDADU_WINE_PREFIX=$dir
  wine_boot "$dir" || return 1
  export WINEPREFIX="$dir" WINEDEBUG=-all
  # A persistent server saves its start-up for every test program. The first
  # program starts Wine's services, which then live as long as the server and
  # keep that program's output open: start them here, onto the log, so that a
  # test runner reading a test's output is not left waiting for its end.
  wineserver -p </dev/null >>"$dir.log" 2>&1 &&
    wine cmd /c exit 0 </dev/null >>"$dir.log" 2>&1
}

wine_stop() {
  [ -n "$DUDIDADU_WINE_PREFIX" ] || return 0
  WINEPREFIX="$DUDIDADU_WINE_PREFIX" wineserver -k 2>/dev/null
  DUDIDADU_WINE_PREFIX=""
  return 0
}
