#!/bin/bash
# The search with a bundle of five packages against one package: a made tree of 20,420 folders
# (20 x 20 x 50, a readme.txt in each of the 400 middle ones), five releases of 60 files each
# upgraded to a sixth, nothing installed, so every walk covers the whole tree.
# Usage: bench/search.sh [BUILD_DIR]   (a native build: its upg and upg_searchbench)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(realpath "${1:-$here/../build/native}")
work=$here/work/search
rm -rf "$work"
mkdir -p "$work/tree" "$work/rel"
cd "$work/tree"
for d in $(seq -w 0 19); do
  for e in $(seq -w 0 19); do
    mkdir -p "d$d/e$e"
    printf 'a readme of some other product %s %s\n' "$d" "$e" > "d$d/e$e/readme.txt"
    (cd "d$d/e$e" && mkdir $(seq -f 'f%02g' 0 49))
  done
done
cd "$work/rel"
for v in 1 2 3 4 5 6; do
  mkdir -p "1.$v"
  for f in $(seq -w 0 59); do printf 'file %s of release 1.%s\n' "$f" "$v" > "1.$v/file$f.dat"; done
  printf 'readme of release 1.%s\n' "$v" > "1.$v/readme.txt"
done
for v in 1 2 3 4 5; do "$build/console/upg" build "1.$v" 1.6 -o "$work/from-1.$v.upg" -q; done
folders=$(find "$work/tree" -type d | wc -l)
# The newest old release first, as a bundle's base package comes first.
"$build/bench/upg_searchbench" "$work/tree" "$folders" "$work"/from-1.5.upg "$work"/from-1.{1,2,3,4}.upg
