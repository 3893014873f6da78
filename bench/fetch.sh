#!/bin/bash
# Fetches the releases listed in corpus.tsv with npm pack and unpacks each into work/<name>/<version>/.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$here/work
mkdir -p "$work/tgz"
grep -v '^#' "$here/corpus.tsv" | while IFS=$'\t' read -r pkg old new; do
  [ -n "$pkg" ] || continue
  safe=${pkg//\//_}
  for v in "$old" "$new"; do
    dest=$work/trees/$safe/$v
    [ -d "$dest" ] && continue
    tgz=$(cd "$work/tgz" && npm pack --silent "$pkg@$v" 2>/dev/null | tail -n 1)
    mkdir -p "$dest.tmp"
    tar -xzf "$work/tgz/$tgz" -C "$dest.tmp"
    mv "$dest.tmp/package" "$dest" && rm -rf "$dest.tmp"
  done
done
