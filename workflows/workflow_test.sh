#!/bin/bash
# End-to-end runs of the Snakemake workflow and the Slurm job-array script on
# small generated sequences: the outputs beside the images, the summary,
# reruns, nothing written anywhere else.
#   workflow_test.sh BUILD_DIR SNAKEMAKE     (status 77: skipped, no snakemake)
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
snakemake=${2:-}
[ -x "$snakemake" ] || { echo "snakemake not found: skipped"; exit 77; }
vantor=$build/vantor
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
export TMPDIR=$tmp/tmp XDG_CACHE_HOME=$tmp/cache
mkdir "$TMPDIR" "$tmp/work"

fail() { echo "FAIL: $*" >&2; [ ! -s "$tmp/log" ] || tail -n 30 "$tmp/log" >&2; exit 1; }
files() { (cd "$1" && find . -type f | LC_ALL=C sort); }
run_workflow() {
  (cd "$tmp/work" && "$snakemake" -q -s "$src/workflows/Snakefile" --cores 2 \
    --config vantor="$vantor" "$@") >"$tmp/log" 2>&1
}
# sequence,frames,largest distance from the first frame (failed frames left out),rescued,suspect,failed
expect_line() {
  awk -F, -v name="$1" 'FNR > 1 { n++; q[$8]++; if ($8 != "failed") { d = sqrt($5 * $5 + $6 * $6); if (d > m) m = d } }
    END { printf "%s,%d,%.6f,%d,%d,%d\n", name, n, m, q["rescued"], q["suspect"], q["failed"] }' "$2"
}

# Three sequences (one of them with a frame of another size, which fails), and
# what is not one: an empty folder, a hidden folder, a single image at the top.
root=$tmp/root
mkdir -p "$root/pos1" "$root/pos 2" "$root/pos3" "$root/empty" "$root/.hidden" "$tmp/small"
"$build/make_sequence" "$root/pos1" 6 160 120 8
"$build/make_sequence" "$root/pos 2" 5 128 128 16
"$build/make_sequence" "$root/pos3" 6 160 120 8
"$build/make_sequence" "$root/.hidden" 3 64 64 8
"$build/make_sequence" "$tmp/small" 1 90 90 8
cp "$tmp/small/frame00001.tif" "$root/pos3/frame00004.tif"
cp "$root/pos1/frame00001.tif" "$root/loose.tif"
before=$(files "$root")

run_workflow root="$root" || fail "workflow on root"
added=$(comm -13 <(echo "$before") <(files "$root") | tr '\n' ' ')
want=""
for s in "pos 2" pos1 pos3; do want="$want./$s/ResVantor.txt ./$s/drift.csv ./$s/drift.log ./$s/drift.svg "; done
[ "$added" = "./drift_summary.csv $want" ] || fail "files written: $added"
[ -z "$(ls -A "$TMPDIR")" ] || fail "written to TMPDIR: $(ls -A "$TMPDIR")"
[ "$(ls -A "$tmp/work")" = ".snakemake" ] || fail "written to the working folder: $(ls -A "$tmp/work")"
summary="sequence,frames,largest_displacement,rescued,suspect,failed"
for s in "pos 2" pos1 pos3; do
  "$vantor" "$root/$s" 1 --csv=- 2>/dev/null | cmp -s - "$root/$s/drift.csv" || fail "$s: drift.csv differs from a direct run"
  grep -q "<svg" "$root/$s/drift.svg" || fail "$s: drift.svg is no SVG picture"
  summary="$summary"$'\n'$(expect_line "$s" "$root/$s/drift.csv")
done
[ "$(cat "$root/drift_summary.csv")" = "$summary" ] || fail "summary: $(cat "$root/drift_summary.csv")"
grep -q '^pos3,6,.*,1$' "$root/drift_summary.csv" || fail "the failed frame of pos3 is not counted"
grep -q "frame00004.tif" "$root/pos3/drift.log" || fail "pos3: the warning is not in drift.log"

# A frame whose content changes measures its sequence again, and only that one.
cp "$root/pos1/frame00005.tif" "$root/pos1/frame00002.tif"
touch "$tmp/mark"
run_workflow root="$root" || fail "workflow after a changed frame"
[ "$(cd "$root" && find . -name drift.csv -newer "$tmp/mark")" = ./pos1/drift.csv ] ||
  fail "a changed frame measured: $(cd "$root" && find . -newer "$tmp/mark")"

# Sequences listed, a stack among them (a table already in its folder is
# kept), mode 0 with parameters and options, the summary elsewhere.
/usr/bin/python3 - "$root/pos3" "$tmp/stacks/s.tif" <<'EOF'
import glob, os, sys, numpy, tifffile
os.makedirs(os.path.dirname(sys.argv[2]))
pages = [tifffile.imread(f) for f in sorted(glob.glob(sys.argv[1] + "/*.tif"))]
tifffile.imwrite(sys.argv[2], numpy.stack([p for p in pages if p.shape == pages[0].shape]))
EOF
echo kept > "$tmp/stacks/ResVantor.txt"
run_workflow "folders=[$root/pos1, $tmp/stacks/s.tif]" mode=0 parameters="4 0.05 0" options=--classic \
  threads=2 summary="$tmp/out.csv" || fail "workflow on listed folders"
"$vantor" "$root/pos1" 0 4 0.05 0 --classic --csv=- 2>/dev/null | cmp -s - "$root/pos1/drift.csv" ||
  fail "mode 0: drift.csv differs from a direct run"
grep -q $'^CompareMode=0\r$' "$root/pos1/ResVantor.txt" && grep -q $'^MinDiff=0\r$' "$root/pos1/ResVantor.txt" ||
  fail "mode 0: the table's parameters"
[ "$(cat "$tmp/stacks/ResVantor.txt")" = kept ] || fail "the table beside the stack was not kept"
[ "$(ls "$tmp/stacks" | tr '\n' ' ')" = "ResVantor.txt s.ResVantor.txt s.drift.csv s.drift.log s.drift.svg s.tif " ] ||
  fail "stack outputs: $(ls "$tmp/stacks")"
[ "$(cut -d, -f1,2 "$tmp/out.csv" | tr '\n' ' ')" = "sequence,frames $root/pos1,6 $tmp/stacks/s.tif,5 " ] ||
  fail "listed summary: $(cat "$tmp/out.csv")"
"$vantor" "$tmp/stacks/s.tif" 0 4 0.05 0 --classic --csv=- 2>/dev/null | cmp -s - "$tmp/stacks/s.drift.csv" ||
  fail "the stack's CSV differs from a direct run"
# The default method names a lone stack's table after it; the workflow finds it.
run_workflow "folders=[$tmp/stacks/s.tif]" mode=1 summary="$tmp/out2.csv" ||
  fail "workflow on a stack with the default method"
grep -q 's.tif\[5\]' "$tmp/stacks/s.ResVantor.txt" && [ ! -e "$tmp/stacks/s.tif.ResVantor.txt" ] ||
  fail "the default method's stack table: $(ls "$tmp/stacks" | tr '\n' ' ')"
run_workflow root="$root" mode=2 && fail "mode=2 accepted"
grep -q "mode='2'" "$tmp/log" || fail "mode=2: no clear message"

# The job-array script: syntax, then tasks run by hand on a copy of pos1 and
# on a part of it.
script=$src/workflows/slurm-array.sh
bash -n "$script" || fail "bash -n $script"
mkdir "$tmp/array"
cp "$root/pos1/"frame*.tif "$tmp/array/"
printf '%s\n' "$tmp/array/" "# a comment" "$tmp/array 4:" > "$tmp/list.txt"
task() { SLURM_ARRAY_TASK_ID=$1 SLURM_CPUS_PER_TASK=2 VANTOR=$vantor "$script" "$tmp/list.txt"; }
task 1 >/dev/null || fail "array task 1"
"$vantor" "$tmp/array" 1 --csv=- 2>/dev/null | cmp -s - "$tmp/array/drift.csv" || fail "task 1: drift.csv"
[ -f "$tmp/array/ResVantor.txt" ] && grep -q "<svg" "$tmp/array/drift.svg" || fail "task 1: table and plot"
task 2 >/dev/null || fail "array task 2 (a comment line)"
task 3 >/dev/null || fail "array task 3"
[ "$(cut -d, -f1 "$tmp/array/drift_4-6.csv" | tr '\n' ' ')" = "frame 4 5 6 " ] || fail "task 3: drift_4-6.csv"
[ -f "$tmp/array/ResVantor_4-6.txt" ] || fail "task 3: the part's table"
task 4 2>/dev/null && fail "task 4 past the list's end succeeded"
SLURM_ARRAY_TASK_ID="" "$script" "$tmp/list.txt" 2>/dev/null && fail "no task number accepted"
[ -z "$(ls -A "$TMPDIR")" ] || fail "written to TMPDIR: $(ls -A "$TMPDIR")"
echo "workflow tests passed"
