#!/usr/bin/env bash
# Installs what building and testing need, from Debian's packages, when it is
# missing, and makes 32-bit x86 programs (Wine's) run on this host: natively, or
# emulated when the kernel has no 32-bit mode (scripts/i386-support.sh). Quick
# when everything is there. Pass extra package names to add them.
set -euo pipefail

packages=(cmake ninja-build g++ googletest g++-mingw-w64-i686-win32 mingw-w64-tools lld
          wine wine32:i386 osslsigncode openssl libssl-dev nlohmann-json3-dev strace "$@")
# qpk serve: the HTTP library (headers), and the web server, load generator
# and client its tests and benchmark use.
packages+=(libboost-dev nginx wrk curl)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -ne 0 ]; then
  echo "Installing: ${missing[*]}" >&2
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
  fi
  $sudo apt-get update -q >/dev/null
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
fi
"$(dirname "$0")/i386-support.sh" setup
