#!/bin/bash
# Benchmarks upg build/apply against xdelta3 on the release pairs of corpus.tsv, with the sizes
# of zstd --patch-from and bsdiff beside them, all measured in the same run. Prints one table
# of ratios to xdelta3 with their geometric means and, when every pair ran, writes it to
# results.md. Usage: bench/run.sh [UPG] [PAIR-FILTER]
# Needs the Debian packages xdelta3, zstd, bsdiff and time; fetches the releases with npm.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
upg=$(realpath "${1:-$here/../build/native/console/upg}")
filter=${2:-}
work=$here/work
jobs=${UPG_BENCH_JOBS:-$(nproc)}
# Timed runs per pair and side; the median counts. The two sides alternate within each round,
# so that a machine shared with others loads both alike.
repeat=${UPG_BENCH_REPEAT:-3}
for tool in xdelta3 zstd bsdiff bspatch g++ /usr/bin/time gnuplot; do
  command -v "$tool" >/dev/null || { echo "missing $tool: apt-get install xdelta3 zstd bsdiff time g++ gnuplot-nox"; exit 2; }
done
[ -x "$upg" ] || { echo "no upg at $upg (make native first)"; exit 2; }
"$here/fetch.sh"
mkdir -p "$work"
g++ -O2 -o "$work/bound" "$here/bound.cpp"

ZSTD="zstd -q -19 --long=31"
run=$work/run
results=$work/results.tsv
: > "$results"

# timed LOG CMD...: runs CMD, appends "seconds maxrss_kb" to LOG, the wall clock read to the
# microsecond (time's own is in hundredths, too coarse for the smaller pairs); fails when CMD
# fails three times (a file held for a moment by another process on a shared machine fails a run).
timed() {
  local log=$1; shift
  for attempt in 1 2 3; do
    local start=$EPOCHREALTIME
    if /usr/bin/time -f "%M" -o "$run/time.one" "$@" >/dev/null 2>"$run/err.one"; then
      echo "$(awk -v a="$EPOCHREALTIME" -v b="$start" 'BEGIN {printf "%.6f", a - b}') $(cat "$run/time.one")" >> "$log"
      return 0
    fi
    cat "$run/err.one" >&2
    sleep 2
  done
  return 1
}
median() { sort -n -k1,1 "$1" | awk '{t[NR]=$1} END {printf "%.3f\n", NR % 2 ? t[(NR+1)/2] : (t[NR/2]+t[NR/2+1])/2}'; }
peak_mb() { awk '$2>m {m=$2} END {printf "%.1f\n", m/1024}' "$1"; }
size_of() { stat -c %s "$1"; }
zsize() { $ZSTD -c "$1" | wc -c; }
sum_sizes() { cat "$1"/* 2>/dev/null | wc -c; }

grep -v '^#' "$here/corpus.tsv" | while IFS=$'\t' read -r pkg oldv newv; do
  [ -n "$pkg" ] || continue
  [ -z "$filter" ] || [[ "$pkg $oldv $newv" == *"$filter"* ]] || continue
  safe=${pkg//\//_}
  old=$work/trees/$safe/$oldv new=$work/trees/$safe/$newv
  rm -rf "$run"; mkdir -p "$run/x9" "$run/xn" "$run/zs" "$run/bs" "$run/out"
  : > "$run/empty"
  echo "== $pkg $oldv -> $newv" >&2

  # The files a per-file tool has to ship: changed ones with their old version, added ones alone.
  (cd "$new" && find . -type f | sort) | while read -r f; do
    if [ -f "$old/$f" ]; then cmp -s "$old/$f" "$new/$f" || echo "$old/$f|$new/$f"
    else echo "|$new/$f"; fi
  done > "$run/changed.lst"
  nfiles=$(wc -l < "$run/changed.lst")

  # Both sides' encodes and decodes as one script each, so that xdelta3 is timed over the
  # whole pair like upg, not per file to the timer's 10 ms.
  i=0
  while IFS="|" read -r o n; do
    i=$((i + 1)); src=${o:-$run/empty}
    printf 'xdelta3 -9 -f -e -s %q %q %q\n' "$src" "$n" "$run/x9/$i" >> "$run/x9-encode.sh"
    printf 'xdelta3 -f -d -s %q %q %q\n' "$src" "$run/x9/$i" "$run/out/x9-$i" >> "$run/x9-decode.sh"
  done < "$run/changed.lst"
  : >> "$run/x9-encode.sh"; : >> "$run/x9-decode.sh"
  printf '%q build %q %q -o %q --jobs %q -q\n' "$upg" "$old" "$new" "$run/p.upg" "$jobs" > "$run/upg-build.sh"
  printf '%q apply %q --target %q --yes --quiet\n' "$upg" "$run/p.upg" "$run/target" > "$run/upg-apply.sh"
  # The physical floor of an apply: the changed new files copied and forced onto the disk,
  # each with its own flush, into a fresh folder on the same file system.
  {
    i=0
    while IFS="|" read -r o n; do
      i=$((i + 1)); printf 'cp %q %q\n' "$n" "$run/copy/$i"
    done < "$run/changed.lst"
    printf 'sync %q/*\n' "$run/copy"
  } > "$run/copy.sh"
  newbytes=$(cut -d"|" -f2 "$run/changed.lst" | tr '\n' '\0' | xargs -0 cat | wc -c)
  for r in $(seq "$repeat"); do
    timed "$run/x9-build.log" bash "$run/x9-encode.sh"
    timed "$run/upg-build.log" bash "$run/upg-build.sh"
    timed "$run/x9-apply.log" bash "$run/x9-decode.sh"
    rm -rf "$run/target"; cp -a "$old" "$run/target"
    timed "$run/upg-apply.log" bash "$run/upg-apply.sh"
    diff -r -q "$run/target" "$new" >/dev/null || { echo "$pkg: upg apply did not reproduce NEW"; exit 1; }
    rm -rf "$run/copy"; mkdir -p "$run/copy"
    timed "$run/copy.log" bash "$run/copy.sh"
  done
  i=0
  while IFS="|" read -r o n; do
    i=$((i + 1))
    cmp -s "$run/out/x9-$i" "$n" || { echo "xdelta3 mismatch on $n"; exit 1; }
  done < "$run/changed.lst"

  # Sizes of the peers, each decode compared with NEW; bsdiff while it takes under a minute.
  i=0
  while IFS="|" read -r o n; do
    i=$((i + 1)); src=${o:-$run/empty}
    xdelta3 -9 -N -S none -f -e -s "$src" "$n" "$run/xn/$i"
    xdelta3 -f -d -s "$src" "$run/xn/$i" "$run/out/xn"
    cmp -s "$run/out/xn" "$n" || { echo "xdelta3 -N mismatch on $n"; exit 1; }
    zstd -q -f -19 --long=31 --patch-from="$src" "$n" -o "$run/zs/$i" 2>/dev/null
    zstd -q -f -d --long=31 --patch-from="$src" "$run/zs/$i" -o "$run/out/zs"
    cmp -s "$run/out/zs" "$n" || { echo "zstd mismatch on $n"; exit 1; }
    if [ ! -f "$run/bs.off" ]; then
      if timeout 60 bsdiff "$src" "$n" "$run/bs/$i" 2>/dev/null; then
        bspatch "$src" "$run/out/bs" "$run/bs/$i"
        cmp -s "$run/out/bs" "$n" || { echo "bsdiff mismatch on $n"; exit 1; }
      else
        touch "$run/bs.off"
      fi
    fi
  done < "$run/changed.lst"
  # xdelta3 -N's deltas shipped as one compressed file, as upg's package is.
  cat "$run"/xn/* 2>/dev/null | $ZSTD -o "$run/xn.zst" -f 2>/dev/null || $ZSTD -o "$run/xn.zst" -f < /dev/null
  xn_ship=$(size_of "$run/xn.zst")
  # Sizes from the scripts alone (xdelta3 carries no digests either); the seal the build adds
  # by default, which the timed builds and applies carry, in a column of its own.
  "$upg" build "$old" "$new" -o "$run/p0.upg" --jobs "$jobs" -q --no-seal
  upg_raw=$(size_of "$run/p0.upg")
  upg_ship=$(zsize "$run/p0.upg")
  seal_ship=$(( $(zsize "$run/p.upg") - upg_ship ))
  zs=$(sum_sizes "$run/zs")
  bs=n/a; [ -f "$run/bs.off" ] || bs=$(sum_sizes "$run/bs")
  # Bounds: the package with positions free, and its three kinds of bytes compressed apart.
  "$work/bound" "$run/p0.upg" "$run/b"
  free=$(zsize "$run/b.free")
  apart=$(( $(zsize "$run/b.lit") + $(zsize "$run/b.ops") + $(zsize "$run/b.pos") ))

  printf "%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n" \
    "$pkg $oldv → $newv" "$nfiles" "$upg_raw" "$upg_ship" "$xn_ship" "$free" "$apart" \
    "$(median "$run/upg-build.log")" "$(median "$run/x9-build.log")" "$(peak_mb "$run/upg-build.log")" "$(peak_mb "$run/x9-build.log")" \
    "$(median "$run/upg-apply.log")" "$(median "$run/x9-apply.log")" "$(peak_mb "$run/upg-apply.log")" "$(peak_mb "$run/x9-apply.log")" \
    "$zs" "$bs" "$seal_ship" "$(median "$run/copy.log")" "$newbytes" >> "$results"
  rm -rf "$run/target" "$run/out" "$run/copy"
done

table=$work/table.md
awk -F'\t' -v repeat="$repeat" -v jobs="$jobs" '
function r(a, b) { return (a == "n/a" || b + 0 == 0) ? "n/a" : sprintf("%.2f", a / b) }
function r3(a, b) { return (a == "n/a" || b + 0 == 0) ? "n/a" : sprintf("%.3f", a / b) }
function cell(v, limit) { return (v == "n/a" || v + 0 <= limit) ? v : "**" v "**" }
function g(k) { return n[k] ? sprintf(k ~ /^(size|sealed|free|apart|zs|bs)$/ ? "%.3f" : "%.2f", exp(s[k] / n[k])) : "n/a" }
function add(k, v) { if (v != "n/a" && v + 0 > 0) { s[k] += log(v); n[k]++ } }
BEGIN {
  print "| Pair | Files | upg shipped | xdelta3 -N shipped | Size (≤ 1.00) | Sealed size | Seal added (≤ 2 %) | Positions free | Streams apart | Build time (≤ 1.5) | Build memory (≤ 1.5) | Apply time (≤ 1.0) | Apply / copy and flush | Apply memory | zstd --patch-from | bsdiff |"
  print "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
}
{
  size = r3($4, $5); sealed = r3($4 + $18, $5); free = r3($6, $5); apart = r3($7, $5)
  bt = r($8, $9); bm = r($10, $11); at = r($12, $13); ac = r($12, $19); am = r($14, $15); zs = r3($16, $5); bs = r3($17, $5)
  share = 100 * $18 / $4
  add("size", size); add("sealed", sealed); add("free", free); add("apart", apart); add("bt", bt); add("bm", bm); add("at", at); add("ac", ac); add("am", am); add("zs", zs); add("bs", bs)
  printf "| %s | %s | %s | %s | %s | %s | %s (%.2f %%) | %s | %s | %s (%s s / %s s) | %s | %s (%s s / %s s) | %s (%s s / %s s, %.1f MB) | %s | %s | %s |\n", $1, $2, $4, $5, cell(size, 1.00), sealed, (share <= 2 || $18 <= 300) ? $18 : "**" $18 "**", share, free, apart, cell(bt, 1.5), $8, $9, cell(bm, 1.5), cell(at, 1.0), $12, $13, ac, $12, $19, $20 / 1e6, am, zs, bs
}
END {
  printf "| **Geometric mean** | | | | %s (≤ 0.95) | %s | | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n", g("size"), g("sealed"), g("free"), g("apart"), g("bt"), g("bm"), g("at"), g("ac"), g("am"), g("zs"), g("bs")
  print ""
  print "Every ratio is upg against xdelta3 from the same run. Sizes: upg'"'"'s package without its seal (--no-seal) and xdelta3 -9 -N -S none'"'"'s per-file deltas (concatenated), each compressed with zstd -19 --long=31. Positions free: upg'"'"'s package with every position operand made the same (SetBase dropped), which no script can be but which bounds what stating positions costs; streams apart: its literal bytes, opcodes with counts, and position operands compressed separately and added up. Times: median of " repeat " runs of each side'"'"'s whole build or apply as one script (upg build --jobs " jobs "; xdelta3 -9 encoding, and decoding, every file), the sides alternating; memory: peak resident set. zstd --patch-from (-19 --long=31) and bsdiff: their per-file outputs added up, against the same xdelta3 figure; bsdiff n/a where a file took over a minute. Sealed size: the package as users get it, with the seal upg build adds by default (version 2: one SHA-256 over the new files and one over each set of old files, whatever their number), compressed the same way, against the same xdelta3 figure; seal added: the shipped bytes the seal adds, bold where they exceed both 2 % of the package without it and 300 bytes. The timed builds and applies are of the sealed package. Apply / copy and flush: upg'"'"'s apply against copying the changed new files (their total size given) into a fresh folder and forcing each onto the disk (cp, then sync FILE...), the median of as many runs in the same rounds."
}' "$results" > "$table"
cat "$table"
if [ -z "$filter" ]; then
  {
    echo "# Benchmark results"
    echo
    echo "\`make bench\` on $(date -u +%Y-%m-%d), upg at $(git -C "$here/.." rev-parse --short HEAD 2>/dev/null || echo unknown), $(nproc) cores, $(xdelta3 -V 2>&1 | head -n 1 | cut -d, -f1), $(zstd --version | grep -o 'v[0-9.]*')."
    echo
    cat "$table"
  } > "$here/results.md"
  echo "written to $here/results.md"
  "$here/chart.sh" "$here/results.md" "$here/results.svg"
fi
