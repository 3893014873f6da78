#!/bin/sh
# Draws a bench table (results.md) as an SVG: the size ratio per pair, of the scripts alone and of
# the sealed package, and the apply time against copying and flushing the changed files.
# Usage: bench/chart.sh [RESULTS.md] [OUT.svg]
set -e
here=$(cd "$(dirname "$0")" && pwd)
in=${1:-$here/results.md}
out=${2:-$here/results.svg}
command -v gnuplot >/dev/null || { echo "missing gnuplot: apt-get install gnuplot-nox"; exit 2; }
data=$(mktemp)
trap 'rm -f "$data"' EXIT
# The pair rows and the geometric mean: a two-line label (package, then versions), the size
# ratios (scripts alone, sealed) and apply against copy and flush, without the bold marks of
# misses or the targets in brackets.
awk -F'|' '
function num(v) { sub(/\(.*/, "", v); gsub(/[* ]/, "", v); return v == "" ? "NaN" : v }
/^\| / && $2 !~ /^ *Pair/ && $6 ~ /[0-9]/ {
  name = $2; gsub(/^ +| +$|\*/, "", name); sub(/^@/, "", name); gsub(/"/, "", name)
  sub(/ → /, "→", name); sub(/ /, "\\n", name)
  printf "\"%s\"\t%s\t%s\t%s\n", name, num($6), num($7), num($14)
}' "$in" > "$data"
[ -s "$data" ] || { echo "no pair rows in $in"; exit 1; }
rows=$(wc -l < "$data")
gnuplot <<EOF
set terminal svg size $((160 + rows * 130)),780 dynamic font "sans,11" background "white"
set output "$out"
set datafile separator "\t"
set multiplot layout 2,1
set style fill solid 0.85 border -1
set xrange [-0.6:$rows - 0.4]
set grid ytics
set xtics noenhanced font "sans,10"
set key top left
set bmargin 4
set title "Shipped size against xdelta3 -9 -N -S none (dashed), all compressed with zstd -19 --long=31"
set ylabel "size ratio (lower is smaller)"
set yrange [0:1.5]
set boxwidth 0.3
set arrow 1 from graph 0, first 1 to graph 1, first 1 nohead dt 2 lw 1.5 lc rgb "black" front
plot "$data" using (\$0 - 0.16):2 with boxes lc rgb "#2a6fb0" title "scripts alone", \
     "" using (\$0 + 0.16):3:xtic(1) with boxes lc rgb "#e08a2c" title "sealed, as shipped", \
     "" using (\$0 + 0.16):3:(sprintf("%.3f", \$3)) with labels offset 0,0.7 font "sans,9" notitle
unset arrow 1
set title "upg apply against copying the changed new files and flushing them (same run; dashed: 2)"
set ylabel "time ratio (lower is faster)"
set yrange [0:*]
set boxwidth 0.6
set arrow 2 from graph 0, first 2 to graph 1, first 2 nohead dt 2 lw 1.5 lc rgb "black" front
plot "$data" using 0:4:xtic(1) with boxes lc rgb "#3a9a4a" notitle, \
     "" using 0:4:(sprintf("%.2f", \$4)) with labels offset 0,0.7 font "sans,9" notitle
unset multiplot
EOF
echo "written to $out"
