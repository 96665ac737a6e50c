#!/usr/bin/env bash
# demo.sh BUILD: puts a package together from the built launcher and a sample
# installer (the test probe, which records what it receives), signs it with a
# throwaway certificate, runs it under Wine and shows what the installer got.
set -euo pipefail
build=$(realpath "$1")
demo=$build/demo
rm -rf "$demo/package" "$demo/temp" "$demo/record"
mkdir -p "$demo/package" "$demo/temp" "$demo/record" "$demo/keys"

export WINEPREFIX=$demo/wine WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='
here=$(dirname "$0")/..
"$here/tests/wine/prefix.sh" start "$WINEPREFIX"
trap '"$here/tests/wine/prefix.sh" stop "$WINEPREFIX"' EXIT
"$here/tests/e2e/make-keys.sh" "$demo/keys"

launcher=$build/win32/launcher/launcher.exe
installer=$build/win32/tests/tools/probe.exe
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }

run() {  # run PACKAGE TAIL: starts the package with an exact tail, shows boxes and status
  local status=0
  SPAWN_COMMAND="\"$(winpath "$1")\" $2" SPAWN_TEMP="$(winpath "$demo/temp")\\" \
  PROBE_RECORD="$(winpath "$demo/record")" LC_ALL=C.UTF-8 WINEDEBUG=+relay \
    wine "$build/win32/tests/tools/spawn.exe" 2>"$demo/relay.log" || status=$?
  grep -o 'Call user32.MessageBox[AW]([^)]*)' "$demo/relay.log" | sed 's/^/  message box: /' || true
  echo "  launcher exit status: $status"
}

echo "== 1. The bare launcher image (unsigned) as a user would start it"
run "$launcher" ""

echo
echo "== 2. A package: launcher + sample installer, signed"
cat "$launcher" "$installer" >"$demo/package/setup.unsigned.exe"
osslsigncode sign -certs "$demo/keys/cert.pem" -key "$demo/keys/key.pem" \
  -in "$demo/package/setup.unsigned.exe" -out "$demo/package/setup.exe" >/dev/null
ls -l "$demo/package/setup.exe" | awk '{print "  " $5 " bytes: " $9}'
run "$demo/package/setup.exe" '/S --installer-option "with blanks"'
if [ -f "$demo/record/cmdline.bin" ]; then
  echo "  the installer's command line:"
  printf '    %s\n' "$(iconv -f UTF-16LE -t UTF-8 "$demo/record/cmdline.bin")"
fi
echo "  left in the temporary folder: $(ls -A "$demo/temp" | tr '\n' ' ')"
