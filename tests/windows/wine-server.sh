#!/bin/sh
# Starts (start) or stops (stop) one persistent wineserver for the build's
# Wine prefix: without it every run of a program pays Wine's start-up, and a
# harness reading the program's stderr waits for Wine's helpers to let go.
# All streams go to /dev/null for the same reason.
#   wine-server.sh start|stop [WINE]     WINE: the loader the programs run under
set -e
wine=${2:-wine}
case "$1" in
  start)
    mkdir -p "$WINEPREFIX"
    wineserver -p </dev/null >/dev/null 2>&1
    # Making a new prefix now and then fails once for no reason that comes
    # again: a second try is made, and a failure shows what Wine said.
    log="$WINEPREFIX/wineboot.log"
    if ! "$wine" wineboot </dev/null >"$log" 2>&1; then
      echo "wineboot failed once; it said:"; cat "$log"
      "$wine" wineboot </dev/null >"$log" 2>&1 || { echo "and again:"; cat "$log"; exit 1; }
    fi ;;
  stop)
    wineserver -k </dev/null >/dev/null 2>&1 || true ;;
esac
