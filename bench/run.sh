#!/bin/bash
# Benchmarks upg build/apply against xdelta3, zstd --patch-from and bsdiff on the release
# pairs of corpus.tsv, all measured in the same run. Usage: bench/run.sh [UPG] [PAIR-FILTER]
# Needs the Debian packages xdelta3, zstd, bsdiff and time; fetches the releases with npm.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
upg=$(realpath "${1:-$here/../build/native/console/upg}")
filter=${2:-}
work=$here/work
jobs=${UPG_BENCH_JOBS:-$(nproc)}
# Runs of each whole-pair decode timing; the fastest counts, as the machine may be shared.
repeat=${UPG_BENCH_REPEAT:-3}
for tool in xdelta3 zstd bsdiff bspatch /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "missing $tool: apt-get install xdelta3 zstd bsdiff time"; exit 2; }
done
[ -x "$upg" ] || { echo "no upg at $upg (make native first)"; exit 2; }
"$here/fetch.sh"

ZSTD="zstd -q -19 --long=31"
run=$work/run
results=$work/results.tsv
: > "$results"

# measure LOG CMD...: runs CMD, appends "seconds maxrss_kb" to LOG; fails when CMD fails.
measure() {
  local log=$1; shift
  /usr/bin/time -f "%e %M" -o "$run/time.one" "$@" >/dev/null 2>"$run/err.one" || { cat "$run/err.one" >&2; return 1; }
  cat "$run/time.one" >> "$log"
}
# Sum of seconds and largest peak memory (MB) over the runs in a log.
total() { awk '{s+=$1; if ($2>m) m=$2} END {printf "%.2f %.1f\n", s, m/1024}' "$1"; }
# Fewest seconds among the runs in a log.
fastest() { awk 'NR==1 || $1<m {m=$1} END {printf "%.2f\n", m}' "$1"; }
size_of() { stat -c %s "$1"; }

grep -v '^#' "$here/corpus.tsv" | while IFS=$'\t' read -r pkg oldv newv; do
  [ -n "$pkg" ] || continue
  [ -z "$filter" ] || [[ "$pkg" == *"$filter"* ]] || continue
  safe=${pkg//\//_}
  old=$work/trees/$safe/$oldv new=$work/trees/$safe/$newv
  rm -rf "$run"; mkdir -p "$run/x9" "$run/xn" "$run/zs" "$run/bs" "$run/out"
  : > "$run/empty"

  # The files a per-file tool has to ship: changed ones with their old version, added ones alone.
  (cd "$new" && find . -type f | sort) | while read -r f; do
    if [ -f "$old/$f" ]; then cmp -s "$old/$f" "$new/$f" || echo "$old/$f|$new/$f"
    else echo "|$new/$f"; fi
  done > "$run/changed.lst"
  nfiles=$(wc -l < "$run/changed.lst")

  # upg
  measure "$run/upg-build.log" "$upg" build "$old" "$new" -o "$run/p.upg" --jobs "$jobs" -q
  upg_raw=$(size_of "$run/p.upg")
  $ZSTD "$run/p.upg" -o "$run/p.upg.zst"
  upg_ship=$(size_of "$run/p.upg.zst")
  cp -a "$old" "$run/target"
  upg_apply=n/a upg_amem=n/a
  if "$upg" apply --help >/dev/null 2>&1; then
    measure "$run/upg-apply.log" "$upg" apply "$run/p.upg" --target "$run/target" --yes
    diff -r -q "$run/target" "$new" >/dev/null || { echo "$pkg: upg apply did not reproduce NEW"; exit 1; }
    read -r upg_apply upg_amem < <(total "$run/upg-apply.log")
  fi
  read -r upg_build upg_bmem < <(total "$run/upg-build.log")

  # Per-file peers, encode and decode; every decode is compared with NEW.
  i=0
  while IFS="|" read -r o n; do
    i=$((i + 1)); src=${o:-$run/empty}
    measure "$run/x9-build.log" xdelta3 -9 -f -e -s "$src" "$n" "$run/x9/$i"
    measure "$run/x9-apply.log" xdelta3 -f -d -s "$src" "$run/x9/$i" "$run/out/x9"
    cmp -s "$run/out/x9" "$n" || { echo "xdelta3 mismatch on $n"; exit 1; }
    measure "$run/xn-build.log" xdelta3 -9 -N -S none -f -e -s "$src" "$n" "$run/xn/$i"
    measure "$run/zs-build.log" zstd -q -f -19 --long=31 --patch-from="$src" "$n" -o "$run/zs/$i"
    measure "$run/zs-apply.log" zstd -q -f -d --long=31 --patch-from="$src" "$run/zs/$i" -o "$run/out/zs"
    cmp -s "$run/out/zs" "$n" || { echo "zstd mismatch on $n"; exit 1; }
    if [ ! -f "$run/bs.off" ]; then
      if timeout 60 /usr/bin/time -f "%e %M" -a -o "$run/bs-build.log" bsdiff "$src" "$n" "$run/bs/$i" 2>/dev/null; then
        measure "$run/bs-apply.log" bspatch "$src" "$run/out/bs" "$run/bs/$i"
        cmp -s "$run/out/bs" "$n" || { echo "bsdiff mismatch on $n"; exit 1; }
      else
        touch "$run/bs.off"
      fi
    fi
  done < "$run/changed.lst"
  # The whole pair's decode timed as one script run, upg's apply the same way: per-file timing
  # counts xdelta3's start-up once per file and rounds each run to the timer's 10 ms.
  i=0
  while IFS="|" read -r o n; do
    i=$((i + 1))
    printf 'xdelta3 -f -d -s %q %q %q\n' "${o:-$run/empty}" "$run/x9/$i" "$run/out/x9-$i"
  done < "$run/changed.lst" > "$run/x9-decode.sh"
  printf '%q apply %q --target %q --yes\n' "$upg" "$run/p.upg" "$run/target" > "$run/upg-apply.sh"
  for r in $(seq "$repeat"); do
    measure "$run/x9-script.log" bash "$run/x9-decode.sh"
    if [ "$upg_apply" != n/a ]; then
      rm -rf "$run/target"; cp -a "$old" "$run/target"
      measure "$run/upg-script.log" bash "$run/upg-apply.sh"
      diff -r -q "$run/target" "$new" >/dev/null || { echo "$pkg: upg apply did not reproduce NEW"; exit 1; }
    fi
  done
  i=0
  while IFS="|" read -r o n; do
    i=$((i + 1))
    cmp -s "$run/out/x9-$i" "$n" || { echo "xdelta3 mismatch on $n"; exit 1; }
  done < "$run/changed.lst"
  x9_script=$(fastest "$run/x9-script.log")
  upg_script=n/a
  [ "$upg_apply" = n/a ] || upg_script=$(fastest "$run/upg-script.log")

  cat "$run"/xn/* 2>/dev/null | $ZSTD -o "$run/xn.zst" -f 2>/dev/null || $ZSTD -o "$run/xn.zst" -f < /dev/null
  sum() { cat "$1"/* 2>/dev/null | wc -c; }
  x9=$(sum "$run/x9"); xn=$(sum "$run/xn"); xnz=$(size_of "$run/xn.zst"); zs=$(sum "$run/zs")
  read -r x9_build x9_bmem < <(total "$run/x9-build.log")
  read -r x9_apply x9_amem < <(total "$run/x9-apply.log")
  read -r xn_build xn_bmem < <(total "$run/xn-build.log")
  read -r zs_build zs_bmem < <(total "$run/zs-build.log")
  read -r zs_apply zs_amem < <(total "$run/zs-apply.log")
  if [ -f "$run/bs.off" ] || [ ! -s "$run/bs-build.log" ]; then bs=n/a bs_build=n/a bs_bmem=n/a bs_apply=n/a bs_amem=n/a
  else
    bs=$(sum "$run/bs")
    read -r bs_build bs_bmem < <(total "$run/bs-build.log")
    read -r bs_apply bs_amem < <(total "$run/bs-apply.log")
  fi
  {
    printf "%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n" "$pkg $oldv->$newv ($nfiles files)" upg "$upg_raw" "$upg_ship" "$upg_build" "$upg_apply" "$upg_bmem" "$upg_amem" "$xnz/$x9_build/$x9_bmem/$x9_apply/$upg_script/$x9_script"
    printf "%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t-\n" "" "xdelta3 -9" "$x9" "$x9" "$x9_build" "$x9_apply" "$x9_bmem" "$x9_amem"
    printf "%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t-\n" "" "xdelta3 -9 -N -S none" "$xn" "$xnz" "$xn_build" "-" "$xn_bmem" "-"
    printf "%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t-\n" "" "zstd --patch-from" "$zs" "$zs" "$zs_build" "$zs_apply" "$zs_bmem" "$zs_amem"
    printf "%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t-\n" "" "bsdiff" "$bs" "$bs" "$bs_build" "$bs_apply" "$bs_bmem" "$bs_amem"
  } >> "$results"
  rm -rf "$run/target" "$run/out"
done

# The table, with upg's ratios to xdelta3 under the targets they are held to.
awk -F'\t' '
function r(a, b) { return (a == "n/a" || b + 0 == 0) ? "n/a" : sprintf("%.2f", a / b) }
BEGIN {
  printf "%-44s %-22s %11s %11s %8s %8s %8s %8s\n", "pair", "tool", "raw bytes", "shipped", "build s", "apply s", "build MB", "apply MB"
}
{
  printf "%-44s %-22s %11s %11s %8s %8s %8s %8s\n", $1, $2, $3, $4, $5, $6, $7, $8
  if ($9 != "-") {
    split($9, x, "/"); n++; row[n] = $1; ship[n] = r($4, x[1]); bt[n] = r($5, x[2]); bm[n] = r($7, x[3]); at[n] = r($6, x[4])
    as[n] = r(x[5], x[6]); ut[n] = x[5]; xt[n] = x[6]
  }
}
END {
  printf "\nupg against xdelta3 (target):  shipped / (xdelta3 -9 -N -S none | zstd -19 --long=31) (<= 0.90)   build time / xdelta3 -9 (<= 1.50)   build memory / xdelta3 -9 (<= 1.50)   apply time / xdelta3 -9 decode (<= 2.00)\n"
  printf "apply time per file: the sums above (xdelta3 timed per file); as one script: each side'"'"'s whole decode timed as one run (fastest of the repeats), which is held to the target\n"
  for (i = 1; i <= n; i++) printf "%-44s shipped %5s   build time %5s   build memory %5s   apply time per file %5s   as one script %5s (%s s / %s s)\n", row[i], ship[i], bt[i], bm[i], at[i], as[i], ut[i], xt[i]
}' "$results"
