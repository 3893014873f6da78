#!/bin/bash
# What a bundle for every earlier release costs to ship: for each chain of chain.tsv, one package
# straight from each earlier release to the newest (as upg build OLD... NEW --bundle writes
# them), against the newest old release's package alone, all compressed as they would ship.
# Usage: bench/bundle.sh [UPG]   (needs zstd; fetches the releases with npm)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
upg=$(realpath "${1:-$here/../build/native/console/upg}")
work=$here/work
ZSTD="zstd -q -19 --long=31"
"$here/fetch.sh"
mkdir -p "$work/chain"
size() { $ZSTD -c "$1" | wc -c; }
echo "| Chain | packages | bundle, shipped | newest package alone | bundle / newest | full new release |"
echo "|---|---:|---:|---:|---:|---:|"
grep -v '^#' "$here/chain.tsv" | while IFS=$'\t' read -r pkg releases; do
  [ -n "$pkg" ] || continue
  safe=${pkg//\//_}
  read -r -a vs <<< "$releases"
  new=${vs[-1]}
  total=0
  newest=0
  for v in "${vs[@]:0:${#vs[@]}-1}"; do
    out=$work/chain/$safe-from-$v.upg
    "$upg" build "$work/trees/$safe/$v" "$work/trees/$safe/$new" -o "$out" -q
    s=$(size "$out")
    total=$((total + s))
    newest=$s
  done
  full=$(tar -C "$work/trees/$safe/$new" -cf - . | $ZSTD -c | wc -c)
  echo "| $pkg ${vs[0]} … $new | $(( ${#vs[@]} - 1 )) | $total | $newest | $(awk -v a="$total" -v b="$newest" 'BEGIN { printf "%.2f", a / b }') | $full |"
done
