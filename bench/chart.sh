#!/bin/sh
# Draws upg's size ratio per pair of a bench table (results.md) as an SVG bar chart.
# Usage: bench/chart.sh [RESULTS.md] [OUT.svg]
set -e
here=$(cd "$(dirname "$0")" && pwd)
in=${1:-$here/results.md}
out=${2:-$here/results.svg}
command -v gnuplot >/dev/null || { echo "missing gnuplot: apt-get install gnuplot-nox"; exit 2; }
data=$(mktemp)
trap 'rm -f "$data"' EXIT
# The pair rows and the geometric mean: a two-line label (package, then versions) and the size
# ratio, without the bold marks of misses or the target in brackets.
awk -F'|' '
/^\| / && $2 !~ /^ *Pair/ && $6 ~ /[0-9]/ {
  name = $2; gsub(/^ +| +$|\*/, "", name); sub(/^@/, "", name); gsub(/"/, "", name)
  sub(/ → /, "→", name); sub(/ /, "\\n", name)
  v = $6; sub(/\(.*/, "", v); gsub(/[* ]/, "", v)
  printf "\"%s\"\t%s\n", name, v
}' "$in" > "$data"
[ -s "$data" ] || { echo "no pair rows in $in"; exit 1; }
rows=$(wc -l < "$data")
gnuplot <<EOF
set terminal svg size $((160 + rows * 130)),420 dynamic font "sans,11" background "white"
set output "$out"
set datafile separator "\t"
set title "upg's shipped size against xdelta3 -9 -N -S none (dashed), both compressed with zstd -19 --long=31"
set ylabel "size ratio (lower is smaller)"
set style fill solid 0.85 border -1
set boxwidth 0.6
set yrange [0:1.4]
set xrange [-0.6:$rows - 0.4]
set grid ytics
set xtics noenhanced font "sans,10"
set key off
set arrow from graph 0, first 1 to graph 1, first 1 nohead dt 2 lw 1.5 lc rgb "black" front
set bmargin 4
plot "$data" using 0:2:xtic(1) with boxes lc rgb "#2a6fb0", \
     "" using 0:2:(sprintf("%.3f", \$2)) with labels offset 0,0.7 font "sans,10"
EOF
echo "written to $out"
