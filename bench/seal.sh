#!/bin/bash
# What the seal costs: its bytes in the package, and the apply time of a sealed package against
# the same package built with --no-seal, timed in alternation on fresh copies of the old release.
# Usage: bench/seal.sh UPG PAIR_DIR...   (each PAIR_DIR holds the releases old/ and new/, or two
# version folders, older first by name)
set -euo pipefail
upg=$(realpath "$1"); shift
runs=${RUNS:-5}
work=${TMPDIR:-/tmp}/upg-seal-bench.$$
[ -d /dev/shm ] && work=/dev/shm/upg-seal-bench.$$
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
printf '%-28s %12s %8s %8s %8s %8s %7s %8s %8s %7s\n' pair package seal share \
  plain_s sealed_s ratio plain_cpu sealed_cpu ratio
for pair in "$@"; do
  set -- $(ls -d "$pair"/*/ | sort -V)
  old=$1 new=$2
  name=$(basename "$pair")
  "$upg" build "$old" "$new" -o "$work/sealed.upg" -q
  "$upg" build "$old" "$new" -o "$work/plain.upg" --no-seal -q
  s=$(stat -c %s "$work/sealed.upg"); p=$(stat -c %s "$work/plain.upg")
  : > "$work/plain.t"; : > "$work/sealed.t"
  for ((i = 0; i < runs; i++)); do
    for mode in plain sealed; do
      rm -rf "$work/t"; cp -a "$old" "$work/t"
      /usr/bin/time -f '%e %U %S' -a -o "$work/$mode.t" "$upg" apply "$work/$mode.upg" --target "$work/t" --yes --quiet
    done
  done
  # Wall and processor seconds (user + system), each the median of the runs.
  tp=$(cut -d' ' -f1 "$work/plain.t" | median); ts=$(cut -d' ' -f1 "$work/sealed.t" | median)
  cp_=$(awk '{print $2 + $3}' "$work/plain.t" | median); cs=$(awk '{print $2 + $3}' "$work/sealed.t" | median)
  printf '%-28s %12d %8d %7.3f%% %8s %8s %7.3f %8s %8s %7.3f\n' "$name" "$s" $((s - p)) \
    "$(echo "100 * ($s - $p) / $p" | bc -l)" "$tp" "$ts" "$(echo "$ts / $tp" | bc -l)" \
    "$cp_" "$cs" "$(echo "$cs / $cp_" | bc -l)"
done
