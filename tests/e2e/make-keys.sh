#!/bin/sh
# make-keys.sh DIR: a throwaway code-signing key and self-signed certificate.
set -eu
mkdir -p "$1"
[ -s "$1/cert.pem" ] && [ -s "$1/key.pem" ] && exit 0
openssl req -x509 -newkey rsa:2048 -nodes -subj "/CN=Package Test Signer" -days 3650 \
  -keyout "$1/key.pem" -out "$1/cert.pem" >/dev/null 2>&1
