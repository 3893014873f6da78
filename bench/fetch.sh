#!/bin/bash
# Fetches the releases listed in corpus.tsv (pairs) and chain.tsv (chains of releases) with npm
# pack and unpacks each into work/trees/<name>/<version>/.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$here/work
mkdir -p "$work/tgz"
cat "$here/corpus.tsv" "$here/chain.tsv" | grep -v '^#' | while IFS=$'\t' read -r pkg versions; do
  [ -n "$pkg" ] || continue
  safe=${pkg//\//_}
  for v in $versions; do
    dest=$work/trees/$safe/$v
    [ -d "$dest" ] && continue
    tgz=$(cd "$work/tgz" && npm pack --silent "$pkg@$v" 2>/dev/null | tail -n 1)
    mkdir -p "$dest.tmp"
    tar -xzf "$work/tgz/$tgz" -C "$dest.tmp"
    mv "$dest.tmp/package" "$dest" && rm -rf "$dest.tmp"
  done
done
