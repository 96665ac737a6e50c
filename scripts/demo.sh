#!/usr/bin/env bash
# demo.sh BUILD: the whole package pipeline in one go. Builds a package from the
# launcher and a sample installer (the test probe, which records what it
# receives), signs it with a throwaway certificate, stamps per-download data,
# inspects it, runs it under Wine and shows what the installer got.
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

qpk=$build/native/tools/qpk/qpk
launcher=$build/win32/launcher/launcher.exe
installer=$build/win32/tests/tools/probe.exe
package=$demo/package
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }
step() { printf '\n== %s\n' "$*"; }

run() {  # run PACKAGE TAIL: starts the package with an exact tail, shows boxes and status
  local status=0
  SPAWN_COMMAND="\"$(winpath "$1")\" $2" SPAWN_TEMP="$(winpath "$demo/temp")\\" \
  PROBE_RECORD="$(winpath "$demo/record")" LC_ALL=C.UTF-8 WINEDEBUG=+relay \
    wine "$build/win32/tests/tools/spawn.exe" 2>"$demo/relay.log" || status=$?
  grep -o 'Call user32.MessageBox[AW]([^)]*)' "$demo/relay.log" | sed 's/^/  message box: /' || true
  echo "  launcher exit status: $status"
}

step "1. qpk build: the bare launcher image followed by the installer"
"$qpk" build --launcher "$launcher" --payload "$installer" -o "$package/built.exe"
ls -l "$package/built.exe" | awk '{print "  " $5 " bytes"}'

step "2. osslsigncode sign with a throwaway certificate"
osslsigncode sign -certs "$demo/keys/cert.pem" -key "$demo/keys/key.pem" \
  -in "$package/built.exe" -out "$package/setup.exe" >/dev/null
echo "  signed; a signed package without per-download data is refused when run:"
run "$package/setup.exe" ""

step "3. qpk stamp: parameters, a picture and an icon behind the signature"
printf '{"ResellerId":"42","ResellerName":"Demo reseller","ProductName":"Demo"}' >"$package/params.json"
head -c 2048 /dev/urandom >"$package/picture.bmp"
head -c 1024 /dev/urandom >"$package/icon.ico"
"$qpk" stamp "$package/setup.exe" -o "$package/setup-42.exe" --params "$package/params.json" \
  --picture "$package/picture.bmp" --icon "$package/icon.ico"
echo "  the signed bytes are unchanged: qpk strip gives back the signed file, and it verifies:"
"$qpk" strip "$package/setup-42.exe" -o "$package/stripped.exe"
cmp "$package/stripped.exe" "$package/setup.exe" && echo "  strip: byte-identical to setup.exe"
osslsigncode verify -CAfile "$demo/keys/cert.pem" -in "$package/stripped.exe" 2>/dev/null | grep -E '^Signature verification' | sed 's/^/  /'

step "4. qpk verify: the signature of the stamped package, checked natively"
"$qpk" verify "$package/setup-42.exe" --ca "$demo/keys/cert.pem" | sed 's/^/  /'

step "5. qpk inspect"
"$qpk" inspect "$package/setup-42.exe" | sed 's/^/  /'

step "6. Run it under Wine, silently, with arguments of the installer's own"
rm -f "$demo/temp"/*  # the refused run of step 2 left its installer copy behind
run "$package/setup-42.exe" '/S --installer-option "with blanks"'
echo "  the installer's command line:"
printf '    %s\n' "$(iconv -f UTF-16LE -t UTF-8 "$demo/record/cmdline.bin")"
for part in pi pic ico; do
  [ -f "$demo/record/$part.bin" ] && echo "  /$part= file: $(stat -c %s "$demo/record/$part.bin") bytes"
done
cmp -s "$demo/record/pi.bin" "$package/params.json" && echo "  the parameters arrived byte for byte"
echo "  left in the temporary folder (the copy is gone, the data files stay for the installer):"
ls -A "$demo/temp" | sed 's/^/    /'
