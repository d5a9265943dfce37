#!/usr/bin/env bash
# Runs the batch program on the bundled sample sequence with the progress
# display on, prints the result table, then the measured against the true
# displacements.
set -euo pipefail
build=${1:-build}
here=$(cd "$(dirname "$0")/.." && pwd)
sample="$here/testdata/sample"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$sample"/*.tif "$work"/

echo "== vantor $work 1 -4   (each frame against the first; minus sign: show progress)"
"$build/vantor" "$work" 1 -4
echo
echo "== ResVantor.txt"
tr -d '\r' < "$work/ResVantor.txt"
compare() {
  awk -F'\t' '
    FNR == NR { if ($0 !~ /^#/) { tx[$1] = $2; ty[$1] = $3 } next }
    ($1 in tx) && FNR > 2 {
      printf "%-12s  DX %7.2f (true %7.2f)   DY %7.2f (true %7.2f)\n", $1, $2, tx[$1], $3, ty[$1]
    }' "$sample/truth.txt" <(tr -d '\r' < "$work/ResVantor.txt")
}
echo
echo "== measured against true displacement (pixels; DY counts upward)"
compare
echo
echo "== the registration search instead: vantor $work 1 4 0.05 0 --search"
"$build/vantor" "$work" 1 4 0.05 0 --search
compare
echo
echo "== the default again, with the CSV, the drift plot and the aligned frames:"
echo "   vantor $work 1 --csv=$work/drift.csv --plot=$work/drift.svg --aligned=$work/aligned"
"$build/vantor" "$work" 1 --csv="$work/drift.csv" --plot="$work/drift.svg" --aligned="$work/aligned"
compare
echo
echo "== drift.csv"
cat "$work/drift.csv"
echo "(plot: $(wc -c < "$work/drift.svg") bytes of SVG; aligned frames: $(ls "$work/aligned" | wc -l))"
