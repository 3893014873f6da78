#!/bin/bash
# The apply alone against its physical floor: for each pair of corpus.tsv, upg apply of a
# sealed package onto a fresh copy of the old release, and copying the changed new files into a
# fresh folder with each forced onto the disk, alternating within each round. Prints medians
# (wall and processor seconds) and the ratio. Usage: bench/apply.sh [UPG] [PAIR-FILTER]
# (RUNS, default 7; the releases come from fetch.sh)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
upg=$(realpath "${1:-$here/../build/native/console/upg}")
filter=${2:-}
runs=${RUNS:-7}
[ -x "$upg" ] || { echo "no upg at $upg (make native first)"; exit 2; }
"$here/fetch.sh"
work=$here/work/apply
rm -rf "$work"; mkdir -p "$work"
# timed LOG CMD...: appends "wall user system" seconds to LOG, the wall clock read to the
# microsecond (time's own is in hundredths, too coarse for the smaller pairs).
timed() {
  local log=$1; shift
  local start=$EPOCHREALTIME
  /usr/bin/time -f '%U %S' -o "$work/cpu.one" "$@"
  echo "$(awk -v a="$EPOCHREALTIME" -v b="$start" 'BEGIN {printf "%.6f", a - b}') $(cat "$work/cpu.one")" >> "$log"
}
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
printf '%-44s %9s %8s %8s %8s %8s %7s\n' pair new_MB apply_s cpu_s copy_s copy_cpu ratio
grep -v '^#' "$here/corpus.tsv" | while IFS=$'\t' read -r pkg oldv newv; do
  [ -n "$pkg" ] || continue
  [ -z "$filter" ] || [[ "$pkg $oldv $newv" == *"$filter"* ]] || continue
  safe=${pkg//\//_}
  old=$here/work/trees/$safe/$oldv new=$here/work/trees/$safe/$newv
  "$upg" build "$old" "$new" -o "$work/p.upg" -q
  # The bytes an apply must write: changed and added files.
  (cd "$new" && find . -type f | sort) | while read -r f; do
    [ -f "$old/$f" ] && cmp -s "$old/$f" "$new/$f" || printf '%s\0' "$new/$f"
  done > "$work/changed"
  bytes=$(xargs -0 cat < "$work/changed" | wc -c)
  : > "$work/apply.t"; : > "$work/copy.t"
  for ((i = 0; i < runs; i++)); do
    rm -rf "$work/t"; cp -a "$old" "$work/t"; sync
    timed "$work/apply.t" "$upg" apply "$work/p.upg" --target "$work/t" --yes --quiet
    diff -r -q "$work/t" "$new" >/dev/null || { echo "$pkg: apply did not reproduce the new release"; exit 1; }
    rm -rf "$work/c"; mkdir -p "$work/c"; sync
    timed "$work/copy.t" bash -c \
      'i=0; while IFS= read -r -d "" f; do i=$((i+1)); cp "$f" "$0/$i"; done < "$1"; sync "$0"/*' \
      "$work/c" "$work/changed"
  done
  a=$(awk '{print $1}' "$work/apply.t" | median); ac=$(awk '{print $2+$3}' "$work/apply.t" | median)
  c=$(awk '{print $1}' "$work/copy.t" | median); cc=$(awk '{print $2+$3}' "$work/copy.t" | median)
  printf '%-44s %9.1f %8.3f %8s %8.3f %8s %7s\n' "$pkg $oldv → $newv" "$(awk -v b="$bytes" 'BEGIN {print b / 1000000}')" \
    "$a" "$ac" "$c" "$cc" "$(awk -v a="$a" -v c="$c" 'BEGIN {if (c > 0) printf "%.2f", a / c; else printf "n/a"}')"
done
rm -rf "$work/t" "$work/c"
