#!/usr/bin/env bash
# One door to the project:
#   ./dev.sh test    build both configurations and run every test
#   ./dev.sh demo    build, put a package together and run it under Wine
#   ./dev.sh build   build both configurations only
# Each installs what is missing first (Debian packages, as root or with sudo).
set -euo pipefail
cd "$(dirname "$0")"
root=$PWD

build() {
  scripts/install-deps.sh
  cmake -S . -B build/win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build build/win32
  cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=Release -DQPK_WIN32_BUILD="$root/build/win32" >/dev/null
  cmake --build build/native
}

case "${1:-}" in
  build) build ;;
  test)
    build
    ctest --test-dir build/win32 --output-on-failure -j2
    ctest --test-dir build/native --output-on-failure -j2
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
