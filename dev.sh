#!/usr/bin/env bash
# One door to the project:
#   ./dev.sh test    build the configurations and run every test
#   ./dev.sh demo    build, put a package together and run it under Wine
#   ./dev.sh build   build the configurations only (win32, native, native with sanitizers)
# Each installs what is missing first (Debian packages, as root or with sudo)
# and, on a host without 32-bit mode, sets up the emulator Wine then runs on.
# QPK_EMULATE_I386=1 runs Wine emulated on a host that runs 32-bit code
# natively, too; the emulator is unregistered again when the command ends.
set -euo pipefail
cd "$(dirname "$0")"
root=$PWD
if [ "${QPK_EMULATE_I386:-0}" = 1 ] && [ -z "${QPK_I386_OWNER:-}" ]; then
  export QPK_I386_OWNER=$$
  trap '"$root/scripts/i386-support.sh" undo >/dev/null' EXIT
fi

build() {
  scripts/install-deps.sh
  cmake -S . -B build/win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build build/win32
  cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=Release -DQPK_WIN32_BUILD="$root/build/win32" >/dev/null
  cmake --build build/native
  # The portable format code, qpk and their tests under ASan and UBSan.
  cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQPK_SANITIZE=ON >/dev/null
  cmake --build build/sanitize
}

case "${1:-}" in
  build) build ;;
  test)
    build
    mode=$(scripts/i386-support.sh mode)
    echo "== tests: $mode"
    status=0
    ctest --test-dir build/win32 --output-on-failure -j2 || status=$?
    ctest --test-dir build/native --output-on-failure -j2 || status=$?
    ctest --test-dir build/sanitize --output-on-failure -j2 || status=$?
    echo "== tests $([ $status -eq 0 ] && echo passed || echo FAILED): $mode"
    exit $status
    ;;
  demo)
    build
    scripts/demo.sh "$root/build"
    ;;
  *)
    echo "usage: ./dev.sh test|demo|build" >&2
    exit 2
    ;;
esac
