#!/bin/sh
# prefix.sh start|stop PREFIX
# start: creates the Wine prefix once (services started with their output to a
# file), makes the message-box calls traceable, and starts one persistent
# wineserver so that each run costs milliseconds. stop: ends that wineserver.
set -eu
action=$1
export WINEPREFIX=$(realpath -m "$2")
export WINEDEBUG=-all
export WINEDLLOVERRIDES='mscoree,mshtml='
case "$action" in
start)
  mkdir -p "$WINEPREFIX"
  # An already running server (of an earlier, interrupted run) is used as it is.
  wineserver -p >/dev/null 2>&1 </dev/null || true
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot -i >"$WINEPREFIX/../wineboot.log" 2>&1 </dev/null
  fi
  wine reg add 'HKCU\Software\Wine\Debug' /v RelayInclude /t REG_SZ \
    /d 'user32.MessageBoxW;user32.MessageBoxA;kernel32.SetDefaultDllDirectories;kernelbase.SetDefaultDllDirectories' /f >/dev/null 2>&1 </dev/null
  # No debugger attaches to a crashing program (the one named does not exist): it
  # ends at once, as on a machine without a debugger, and nothing keeps its file open.
  wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /t REG_SZ \
    /d 'no-debugger.exe' /f >/dev/null 2>&1 </dev/null
  ;;
stop)
  wineserver -k || true
  ;;
*)
  echo "usage: prefix.sh start|stop PREFIX" >&2
  exit 2
  ;;
esac
