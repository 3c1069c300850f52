#!/bin/sh
# Makes the README's picture: three made-up but realistic discharges (a 10-hour cell whose
# log ends in a line cut short by the power cut, a 6.5-hour one whose device slept for 45
# minutes, a worn 4-hour one), reported by voltrace-report and its two charts rendered by
# rsvg-convert; prints the battery gauge made from them.
# usage: report/example.sh [BUILD_DIR]   (default build/default; writes report/example.png
#        and report/example-gauge.png)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
bin=${1:-$top/build/default}/report/voltrace-report
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

# A lithium cell under steady load: a quick first drop, a long slow slope, then the knee and
# the fall to the cut-off, with a few millivolts of reading noise. One sample a minute.
discharge() { # name hours seed [sleep-from sleep-to (seconds)]
    awk -v hours="$2" -v seed="$3" -v from="${4:--1}" -v to="${5:--1}" 'BEGIN {
        srand(seed); end = hours * 3600
        for (t = 0; t <= end; t += 60) {
            if (t >= from && t < to) continue
            x = t / end; knee = x > 0.82 ? 350 * ((x - 0.82) / 0.18) ^ 2.5 : 0
            v = 4180 - 90 * (1 - exp(-t / 1200)) - 330 * x - knee + int(rand() * 9) - 4
            printf "%d,%d\n", t, v
        }
    }' > "$dir/$1"
}
discharge battery1.csv 10 1
printf '36060,33' >> "$dir/battery1.csv"
discharge battery2.csv 6.5 2 7200 9900
discharge battery3.csv 4 3

cd "$dir"
"$bin" -o report.html --gauge gauge.csv battery1.csv battery2.csv battery3.csv
# The page's first SVG is the level chart, the second the charge left.
svg() { awk -v n="$1" '/<svg/ { k++ } k == n { print } k == n && /<\/svg>/ { exit }' report.html; }
svg 1 > chart.svg
svg 2 > gauge.svg
rsvg-convert -o "$top/report/example.png" chart.svg
rsvg-convert -o "$top/report/example-gauge.png" gauge.svg
cat gauge.csv
echo "wrote $top/report/example.png and $top/report/example-gauge.png"
