#!/usr/bin/env bash
# make-corpus.sh SEEDGEN OUTDIR [BUILD]
# Writes seed inputs into OUTDIR/image_layout, OUTDIR/trailer, OUTDIR/base64 and OUTDIR/stamp:
# synthesized ones always, and ones cut from real packages when the main build
# (BUILD, default build/) has the launcher, the probe payload and the qpk tool.
# Real packages go in shrunk (fuzz_seedgen compact) to keep the seeds small.
set -euo pipefail

seedgen=$1
out=$2
root=$(cd "$(dirname "$0")/.." && pwd)
build=${3:-$root/build}

launcher=$build/win32/launcher/launcher.exe
payload=$build/win32/tests/tools/probe.exe
qpk=$build/native/tools/qpk/qpk

mkdir -p "$out/image_layout" "$out/trailer" "$out/base64" "$out/stamp"
"$seedgen" synth "$out"

note() { echo "make-corpus: $*" >&2; }

if [ ! -f "$launcher" ]; then
  note "no $launcher (run ./dev.sh build): synthesized seeds only"
  exit 0
fi
"$seedgen" compact "$launcher" "$out/image_layout/bare-launcher.bin"

missing=""
[ -x "$qpk" ] || missing+=" $qpk"
[ -f "$payload" ] || missing+=" $payload"
for tool in osslsigncode openssl; do command -v $tool >/dev/null || missing+=" $tool"; done
if [ -n "$missing" ]; then
  note "missing:$missing: no stamped-package seeds"
  exit 0
fi

work=$out/.packages
mkdir -p "$work"
"$qpk" build --launcher "$launcher" --payload "$payload" -o "$work/built.exe" >/dev/null
"$root/tests/e2e/make-keys.sh" "$work/keys"
osslsigncode sign -certs "$work/keys/cert.pem" -key "$work/keys/key.pem" \
  -in "$work/built.exe" -out "$work/signed.exe" >/dev/null
printf 'PNG-ish picture bytes' >"$work/picture.bin"
printf 'ICO-ish icon bytes' >"$work/icon.bin"
long=$(printf '{"id":4242,"name":"demo","tags":["a","b","c"],"url":"https://example.invalid/x"}' | base64 -w0)

stamp() {  # NAME ARGS...: a stamped package and the seeds cut from it
  local name=$1
  shift
  "$qpk" stamp "$work/signed.exe" -o "$work/$name.exe" "$@" >/dev/null
  "$seedgen" compact "$work/$name.exe" "$out/image_layout/$name.bin"
  "$seedgen" compact "$work/$name.exe" "$out/trailer/package-$name.bin"
  "$seedgen" table "$work/$name.exe" "$out/trailer/table-$name.bin"
  "$seedgen" params "$work/$name.exe" "$out/base64/params-$name.txt"
  "$seedgen" stamp "$work/$name.exe" "$out/stamp/$name.bin"
}

"$seedgen" compact "$work/signed.exe" "$out/image_layout/signed.bin"
"$seedgen" table "$work/signed.exe" "$out/trailer/table-signed.bin"
"$seedgen" stamp "$work/signed.exe" "$out/stamp/signed.bin"
stamp v1 --params-text e30
stamp v1-long --params-text "$long"
stamp v2-empty --params-text e30 --format 2
stamp v2 --params-text "$long" --picture "$work/picture.bin" --icon "$work/icon.bin"
stamp v2-picture --params-text e30 --picture "$work/picture.bin"
rm -rf "$work"
