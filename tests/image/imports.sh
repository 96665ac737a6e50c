#!/bin/sh
# imports.sh LAUNCHER ALLOWLIST: the functions LAUNCHER imports, by DLL, must be
# exactly those that ALLOWLIST names (its first two tab-separated columns).
# A new import fails until it is listed with the oldest Windows that has it; a
# listed function that is no longer imported fails until it is taken out.
set -eu
launcher=$1
allowlist=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

i686-w64-mingw32-objdump -p "$launcher" | awk '
  /^The Import Tables/ { in_imports = 1; next }
  /^The [A-Z]|^PE File Base Relocations/ { in_imports = 0 }
  in_imports && /^\tDLL Name: / { dll = $3; next }
  in_imports && dll != "" && /^\t[0-9a-f]+\t +[0-9]+ +[A-Za-z_]/ { print dll " " $3 }' | sort -u >"$work/imported"
grep -v '^#' "$allowlist" | awk -F'\t' 'NF >= 2 { print $1 " " $2 }' | sort -u >"$work/listed"

[ -s "$work/imported" ] || { echo "no imports found in $launcher" >&2; exit 1; }
status=0
if comm -23 "$work/imported" "$work/listed" | grep . >"$work/new"; then
  echo "imported, but not on the allow-list ($allowlist):" >&2
  sed 's/^/  /' "$work/new" >&2
  status=1
fi
if comm -13 "$work/imported" "$work/listed" | grep . >"$work/stale"; then
  echo "on the allow-list, but no longer imported:" >&2
  sed 's/^/  /' "$work/stale" >&2
  status=1
fi
[ $status -ne 0 ] || echo "$(wc -l <"$work/imported") imported functions, all on the allow-list"
exit $status
