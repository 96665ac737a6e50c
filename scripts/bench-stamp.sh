#!/usr/bin/env bash
# bench-stamp.sh [RUNS]: times `qpk stamp` of a 256 MiB package against `cp` of
# the same file, both on tmpfs, interleaved, and reports the median ratio and
# the peak memory (max RSS) of qpk stamp for 16 MiB and 1 GiB packages.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-7}
scripts/install-deps.sh time bc
./dev.sh build >/dev/null
qpk=$PWD/build/native/tools/qpk/qpk
work=/dev/shm/qpk-bench-stamp
rm -rf "$work"
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT
tests/e2e/make-keys.sh "$work/keys"

# make_package SIZE_MIB OUT: launcher + padded probe installer, signed.
make_package() {
  cp build/win32/tests/tools/probe.exe "$work/payload.exe"
  truncate -s "$1M" "$work/payload.exe"
  "$qpk" build --launcher build/win32/launcher/launcher.exe --payload "$work/payload.exe" -o "$work/built.exe"
  osslsigncode sign -certs "$work/keys/cert.pem" -key "$work/keys/key.pem" -in "$work/built.exe" -out "$2" >/dev/null
  rm -f "$work/payload.exe" "$work/built.exe"
}

head -c 3000 /dev/urandom >"$work/picture.bmp"
head -c 1500 /dev/urandom >"$work/icon.ico"
printf '{"ResellerId":"42","ProductName":"Benchmark"}' >"$work/params.json"
stamp() { "$qpk" stamp "$1" -o "$2" --params "$work/params.json" --picture "$work/picture.bmp" --icon "$work/icon.ico"; }
seconds() { local s e; s=$(date +%s.%N); "$@"; e=$(date +%s.%N); echo "$e - $s" | bc -l; }

# qpk is native, but the figures still say on which kind of host they were taken.
host="[$(scripts/i386-support.sh mode --short)]"
make_package 256 "$work/p256.exe"
ratios=()
for _ in $(seq "$runs"); do
  rm -f "$work/out.exe" "$work/copy.exe"
  t_stamp=$(seconds stamp "$work/p256.exe" "$work/out.exe")
  t_cp=$(seconds cp "$work/p256.exe" "$work/copy.exe")
  ratios+=("$(echo "$t_stamp / $t_cp" | bc -l)")
  printf 'stamp %.3f s   cp %.3f s %s\n' "$t_stamp" "$t_cp" "$host"
done
sorted=$(printf '%s\n' "${ratios[@]}" | sort -g)
median=$(echo "$sorted" | sed -n "$(( (runs + 1) / 2 ))p")
printf 'median ratio stamp/cp at 256 MiB: %.2f (min %.2f, max %.2f, %d runs) %s\n' "$median" \
  "$(echo "$sorted" | head -1)" "$(echo "$sorted" | tail -1)" "$runs" "$host"
rm -f "$work/p256.exe" "$work/out.exe" "$work/copy.exe"

for size in 16 1024; do
  make_package "$size" "$work/p.exe"
  rss=$( { /usr/bin/time -f '%M' "$qpk" stamp "$work/p.exe" -o "$work/out.exe" --params "$work/params.json" \
           --picture "$work/picture.bmp" --icon "$work/icon.ico"; } 2>&1 )
  printf 'peak memory of qpk stamp, %5d MiB package: %d KiB %s\n' "$size" "$rss" "$host"
  rm -f "$work/p.exe" "$work/out.exe"
done
