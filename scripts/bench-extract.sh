#!/usr/bin/env bash
# bench-extract.sh [--quick]: how much the launcher adds to extracting and
# starting its installer, under Wine, and whether its memory grows with the
# payload. Draws docs/extract-bench.png and prints a summary table.
#
# Launcher side: wine spawn.exe -> package -> the installer copy it extracts
# (three process starts; the launcher copies in 1 MiB ReadFile/WriteFile chunks
# and deletes the copy). Baseline: the same byte range copied natively with
# `dd bs=1M`, the copy started with wine spawn.exe, the bare probe started once
# more (three process starts as well), the copy removed. Runs of the two sides
# alternate (ABBA order) so that drift hits both; per-pair ratios are reported.
#
# Peak memory: VmHWM of the launcher's own Linux process, read while the
# installer copy runs. The copy only starts after extraction has finished and
# the launcher waits for it, so that reading is the high-water mark over the
# whole copy. The poller scans /proc (bash builtins only, no forks) for the
# launcher (its cmdline is the package's Windows path) and the installer copy
# (a name in the temporary folder); a run where it never saw both is repeated.
#
# Everything (Wine prefix, temporary folder, packages) lives on tmpfs: on disk,
# write-back makes single copies vary by a factor of ten.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

quick=0
case "${1:-}" in
  "") ;;
  --quick) quick=1 ;;
  *) echo "usage: scripts/bench-extract.sh [--quick]" >&2; exit 2 ;;
esac

sizes=(1 4 16 64 256 512)  # MiB
# Process starts under Wine vary by tens of milliseconds (two modes), which
# swamps the copy at small sizes: these get more pairs, they are cheap.
if [ $quick -eq 1 ]; then small_runs=5 large_runs=3 memory_runs=2; else small_runs=21 large_runs=15 memory_runs=3; fi
runs_for() { if [ "$1" -le 64 ]; then echo $small_runs; else echo $large_runs; fi; }

launcher=$root/build/win32/launcher/launcher.exe
probe=$root/build/win32/tests/tools/probe.exe
spawn=$root/build/win32/tests/tools/spawn.exe
qpk=$root/build/native/tools/qpk/qpk
plot=$root/docs/extract-bench.png

# Built only when missing (./dev.sh build refreshes them): a second build
# running in the same tree at the same time would trip over the first.
if [ ! -f "$launcher" ] || [ ! -f "$probe" ] || [ ! -f "$spawn" ]; then
  ./dev.sh build
fi
if ! command -v gnuplot >/dev/null; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q gnuplot-nox >/dev/null ||
    { $sudo apt-get update -q >/dev/null && DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q gnuplot-nox >/dev/null; }
fi

work=/dev/shm/qpk-bench.$$
temp=$work/temp
packages=$work/packages
mkdir -p "$temp" "$packages"
export WINEPREFIX=$work/wine WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='
cleanup() {
  "$root/tests/wine/prefix.sh" stop "$WINEPREFIX" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

load() { cut -d' ' -f1-3 /proc/loadavg; }
# Figures of an emulated host are not comparable with native ones: each says which it is.
host="[$("$root/scripts/i386-support.sh" mode --short)]"
echo "load average at start: $(load) ($(nproc) cores) $host"
# A snapshot of the programs, so that a rebuild during the run changes nothing.
mkdir -p "$work/bin"
cp "$launcher" "$probe" "$spawn" "$work/bin/"
launcher=$work/bin/launcher.exe probe=$work/bin/probe.exe spawn=$work/bin/spawn.exe
if [ -x "$qpk" ]; then cp "$qpk" "$work/bin/qpk" && qpk=$work/bin/qpk; fi
"$root/tests/wine/prefix.sh" start "$WINEPREFIX"
"$root/tests/e2e/make-keys.sh" "$work/keys"

winpath() { printf 'Z:%s' "$1" | tr / '\\'; }
wintemp="$(winpath "$temp")\\"
le32() { od -An -tu4 --endian=little -j "$2" -N4 "$1" | tr -d ' '; }
now_us() { local t=$EPOCHREALTIME; echo "${t/./}"; }

# make_package MIB OUT: the probe installer padded with random bytes to MIB MiB,
# appended to the launcher image, signed and, when the package tool is built,
# stamped with empty parameters. Sets payload_offset and payload_size to the
# installer's byte range inside OUT (checked byte for byte).
make_package() {
  local mib=$1 out=$2 payload=$work/payload.bin
  payload_size=$((mib * 1048576))
  cp "$probe" "$payload"
  head -c $((payload_size - $(stat -c %s "$probe"))) /dev/urandom >>"$payload"
  cat "$launcher" "$payload" >"$work/unsigned.exe"
  osslsigncode sign -certs "$work/keys/cert.pem" -key "$work/keys/key.pem" \
    -in "$work/unsigned.exe" -out "$work/signed.exe" >/dev/null
  rm "$work/unsigned.exe"
  if [ -x "$qpk" ]; then
    "$qpk" stamp "$work/signed.exe" -o "$out" --params-text e30 >/dev/null
    rm "$work/signed.exe"
  else
    mv "$work/signed.exe" "$out"
  fi
  # The installer ends where the certificate table starts.
  local lfanew
  lfanew=$(le32 "$out" 60)
  payload_offset=$(($(le32 "$out" $((lfanew + 152))) - payload_size))
  dd if="$out" bs=1M iflag=skip_bytes,count_bytes skip="$payload_offset" count="$payload_size" status=none |
    cmp -s - "$payload" || { echo "cannot locate the installer inside $out" >&2; exit 1; }
  rm "$payload"
}

# Leftovers of a run: the launcher leaves the parameters file for the installer.
clear_temp() { find "$temp" -mindepth 1 -delete; }

run_launcher() {  # run_launcher PACKAGE
  SPAWN_COMMAND="\"$(winpath "$1")\"" SPAWN_TEMP="$wintemp" wine "$spawn"
}

explain_failure() {  # explain_failure PACKAGE: the launcher's message box, if any
  clear_temp
  SPAWN_COMMAND="\"$(winpath "$1")\"" SPAWN_TEMP="$wintemp" WINEDEBUG=+relay \
    timeout 60 wine "$spawn" 2>&1 | grep -o 'Call user32.MessageBox[AW]([^)]*)' >&2 || true
}

time_launcher() {  # time_launcher PACKAGE: prints microseconds
  local start end status=0
  clear_temp
  start=$(now_us)
  run_launcher "$1" || status=$?
  end=$(now_us)
  if [ $status -ne 0 ]; then
    echo "the launcher failed (status $status) on $1:" >&2
    explain_failure "$1"
    exit 1
  fi
  if compgen -G "$temp/*.exe" >/dev/null; then echo "the launcher left its copy behind" >&2; exit 1; fi
  echo $((end - start))
}

time_baseline() {  # time_baseline PACKAGE: prints microseconds
  local start end copy=$temp/baseline-copy.exe
  clear_temp
  start=$(now_us)
  dd if="$1" of="$copy" bs=1M iflag=skip_bytes,count_bytes skip="$payload_offset" count="$payload_size" status=none
  SPAWN_COMMAND="\"$(winpath "$copy")\"" SPAWN_TEMP="$wintemp" wine "$spawn"
  wine "$probe"
  rm "$copy"
  end=$(now_us)
  echo $((end - start))
}

# peak_memory PACKAGE: the launcher process's VmHWM in KiB (see the top).
peak_memory() {
  local package=$1 winpackage copies stem attempt bg p arg args key value rest pid hwm installer
  winpackage=$(winpath "$package")
  stem=$(basename "$package" .exe)
  copies="${wintemp}${stem}_"
  for attempt in 1 2 3 4 5; do
    clear_temp
    run_launcher "$package" &
    bg=$!
    pid="" hwm=""
    while [ -z "$hwm" ] && kill -0 "$bg" 2>/dev/null; do
      installer=0
      for p in /proc/[0-9]*; do
        # The Windows path comes first natively; under an emulator, behind it and Wine's loader.
        args=()
        { mapfile -d '' -n 3 -t args <"$p/cmdline"; } 2>/dev/null || true
        for arg in "${args[@]}"; do
          if [ "$arg" = "$winpackage" ]; then
            # The first one seen: Wine's process creation forks the launcher briefly.
            [ -n "$pid" ] || pid=${p#/proc/}
          elif [[ $arg == "$copies"* ]]; then
            installer=1
          fi
        done
      done
      if [ $installer -eq 1 ] && [ -n "$pid" ]; then
        { while read -r key value rest; do
            [ "$key" = VmHWM: ] && hwm=$value
          done <"/proc/$pid/status"; } 2>/dev/null || true
      fi
    done
    wait "$bg" || { echo "the launcher failed on $package" >&2; exit 1; }
    if [ -n "$hwm" ]; then
      [ "$attempt" -eq 1 ] || echo "            (memory reading caught on run $attempt)" >&2
      echo "$hwm"
      return
    fi
  done
  echo "could not catch the launcher and its installer together in $attempt runs" >&2
  exit 1
}

# stats: numbers on stdin -> "median q1 q3 min max" (quartiles interpolated).
stats() {
  sort -g | awk '{ v[NR] = $1 }
    function q(p,  x, i) { x = 1 + (NR - 1) * p; i = int(x); return v[i] + (x - i) * (v[i + 1] - v[i]) }
    END { v[NR + 1] = v[NR]; printf "%.4f %.4f %.4f %.4f %.4f\n", q(0.5), q(0.25), q(0.75), v[1], v[NR] }'
}
seconds() { printf '%s\n' "$@" | awk '{ printf "%.4f\n", $1 / 1e6 }'; }
kib_to_mib() { awk -v k="$1" 'BEGIN { printf "%.2f", k / 1024 }'; }

data=$work/sweep.dat
echo "# MiB, then median q1 q3 min max of: launcher (s), baseline (s), per-pair ratio" >"$data"
declare -A hwm_kib
echo "pairs per size: $small_runs up to 64 MiB, $large_runs above (AB, BA, AB, ... order; one warm-up pair discarded)"
for mib in "${sizes[@]}"; do
  package=$packages/setup-$mib.exe
  make_package "$mib" "$package"
  time_launcher "$package" >/dev/null
  time_baseline "$package" >/dev/null
  runs=$(runs_for "$mib")
  launcher_times=() baseline_times=() ratios=()
  for ((i = 0; i < runs; i++)); do
    if [ $((i % 2)) -eq 0 ]; then
      l=$(time_launcher "$package"); b=$(time_baseline "$package")
    else
      b=$(time_baseline "$package"); l=$(time_launcher "$package")
    fi
    launcher_times+=("$l") baseline_times+=("$b")
    ratios+=("$(awk -v l="$l" -v b="$b" 'BEGIN { printf "%.4f", l / b }')")
  done
  echo "$mib $(seconds "${launcher_times[@]}" | stats) $(seconds "${baseline_times[@]}" | stats)" \
    "$(printf '%s\n' "${ratios[@]}" | stats)" >>"$data"
  tail -n 1 "$data" | awk -v host="$host" '{ printf "  %4d MiB: launcher %.3f s, baseline %.3f s, ratio %.3f (IQR %.3f..%.3f) %s\n", $1, $2, $7, $12, $13, $14, host }'
  echo "            launcher ms: $(printf '%s\n' "${launcher_times[@]}" | awk '{ printf "%d ", $1 / 1000 }')"
  echo "            baseline ms: $(printf '%s\n' "${baseline_times[@]}" | awk '{ printf "%d ", $1 / 1000 }')"
  if [ "$mib" -eq 1 ] || [ "$mib" -eq 512 ]; then
    readings=()
    for ((i = 0; i < memory_runs; i++)); do readings+=("$(peak_memory "$package")"); done
    hwm_kib[$mib]=$(printf '%s\n' "${readings[@]}" | stats | cut -d' ' -f1)
    echo "            launcher VmHWM KiB: ${readings[*]} $host"
  fi
  rm "$package"
done

mkdir -p "$(dirname "$plot")"
subtitle="medians of $small_runs (up to 64 MiB) and $large_runs runs, bars: interquartile range; Wine $(wine --version | sed 's/^wine-//; s/ .*//'), tmpfs, $(nproc) cores, ${host:1:-1}"
gnuplot -e "data='$data'; out='$plot'; subtitle='$subtitle'" "$root/scripts/bench-extract.gnuplot"

echo
echo "Extraction and start under Wine, $host; times are medians, ratio is the median of the per-pair"
echo "ratios launcher/baseline with its interquartile range and extremes"
printf '%8s  %5s  %10s  %10s  %6s  %13s  %13s\n' payload pairs "launcher s" "baseline s" ratio "ratio IQR" "ratio min..max"
while read -r mib rest; do
  [ "$mib" = "#" ] && continue
  echo "$mib $(runs_for "$mib") $rest"
done <"$data" | awk '{ printf "%4d MiB  %5d  %10.3f  %10.3f  %6.3f  %5.3f..%-6.3f  %5.3f..%-6.3f\n", $1, $2, $3, $8, $13, $14, $15, $16, $17 }'
ratio512=$(awk '$1 == 512 { print $12 }' "$data")
growth=$(awk -v a="${hwm_kib[1]}" -v b="${hwm_kib[512]}" 'BEGIN { print b - a }')
echo "launcher peak memory (VmHWM, median of $memory_runs runs): $(kib_to_mib "${hwm_kib[1]}") MiB with 1 MiB," \
  "$(kib_to_mib "${hwm_kib[512]}") MiB with 512 MiB, growth $(kib_to_mib "$growth") MiB $host"
awk -v r="$ratio512" -v g="$growth" -v host="$host" 'BEGIN {
  printf "target ratio <= 1.15 at 512 MiB: %s (%.3f) %s\n", (r <= 1.15) ? "holds" : "missed", r, host
  printf "target memory growth < 2 MiB: %s (%.2f MiB) %s\n", (g < 2048) ? "holds" : "missed", g / 1024, host }'
echo "plot: ${plot#"$root"/}"
echo "load average at end: $(load)"
