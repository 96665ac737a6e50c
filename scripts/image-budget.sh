#!/usr/bin/env bash
# image-budget.sh LAUNCHER [SVG]: the launcher image's bytes by section, and
# whether the bytes outside .rsrc stay within the budget of 128 KiB (131,072).
# Every download carries these bytes. With SVG, also draws the breakdown there,
# one bar per section. Exits 1 when the budget is exceeded.
set -euo pipefail
launcher=$1
svg=${2:-}
budget=131072

declare -A size
while read -r index name hex _; do
  [[ $index =~ ^[0-9]+$ ]] && size[$name]=$((16#$hex))
done < <(i686-w64-mingw32-objdump -h "$launcher")
file=$(stat -c %s "$launcher")
sections=(.text .rdata .data .rsrc .reloc)
labels=("code" "read-only data" "data" "resources" "relocations")
sum=0
for name in "${!size[@]}"; do sum=$((sum + size[$name])); done
headers=$((file - sum))  # headers and the alignment padding of each section
outside=$((file - ${size[.rsrc]:-0}))

printf '%-8s %-15s %9s\n' section content bytes
for i in "${!sections[@]}"; do
  printf '%-8s %-15s %9d\n' "${sections[$i]}" "${labels[$i]}" "${size[${sections[$i]}]:-0}"
done
printf '%-8s %-15s %9d\n' "" "headers, padding" "$headers"
printf 'file %d bytes; outside .rsrc %d of %d bytes allowed (%d left)\n' "$file" "$outside" "$budget" \
  $((budget - outside))
for name in "${!size[@]}"; do
  [[ " ${sections[*]} " == *" $name "* ]] || { echo "unexpected section $name" >&2; exit 1; }
done

if [ -n "$svg" ]; then
  # Bars on one scale: the largest section spans 420 pixels.
  largest=$headers
  for name in "${sections[@]}"; do [ "${size[$name]:-0}" -gt "$largest" ] && largest=${size[$name]}; done
  rows=("${sections[@]}" "")
  {
    printf '<svg xmlns="http://www.w3.org/2000/svg" width="720" height="%d" font-family="sans-serif" font-size="13">\n' \
      $((40 + 26 * ${#rows[@]}))
    printf '<text x="10" y="20" font-weight="bold">launcher.exe, %d bytes: %d outside .rsrc (budget %d)</text>\n' \
      "$file" "$outside" "$budget"
    for i in "${!rows[@]}"; do
      name=${rows[$i]}
      if [ -n "$name" ]; then bytes=${size[$name]:-0} label="$name ${labels[$i]}"; else bytes=$headers label="headers, padding"; fi
      y=$((36 + 26 * i))
      colour='#4a7ab8'
      [ "$name" = .rsrc ] && colour='#b0b0b0'
      printf '<text x="10" y="%d">%s</text>\n' $((y + 14)) "$label"
      printf '<rect x="190" y="%d" width="%d" height="18" fill="%s"/>\n' "$y" $((bytes * 420 / largest + 1)) "$colour"
      printf '<text x="%d" y="%d">%d</text>\n' $((196 + bytes * 420 / largest + 1)) $((y + 14)) "$bytes"
    done
    printf '</svg>\n'
  } >"$svg"
  echo "picture: $svg"
fi
[ "$outside" -le "$budget" ] || { echo "over budget by $((outside - budget)) bytes" >&2; exit 1; }
