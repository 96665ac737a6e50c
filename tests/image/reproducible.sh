#!/bin/sh
# reproducible.sh SOURCE LAUNCHER: builds the launcher again from SOURCE in a
# fresh folder elsewhere and compares the bytes with LAUNCHER: no time stamps
# and no build paths may end up in the image.
set -eu
source=$1
launcher=$2
again=$(mktemp -d /tmp/qpk-reproducible.XXXXXX)
trap 'rm -rf "$again"' EXIT
cmake -S "$source" -B "$again" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$source/cmake/mingw-i686.cmake" \
  -DCMAKE_BUILD_TYPE=Release >"$again/configure.log" 2>&1 || { cat "$again/configure.log"; exit 1; }
cmake --build "$again" --target launcher >"$again/build.log" 2>&1 || { cat "$again/build.log"; exit 1; }
if cmp "$launcher" "$again/launcher/launcher.exe"; then
  echo "the launcher built again in $again is byte-identical"
else
  echo "the launcher built again differs from $launcher" >&2
  exit 1
fi
