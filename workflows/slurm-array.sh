#!/bin/bash
# Drift of many sequences on a Slurm cluster: one sequence per task of a job
# array. The list is a text file with one folder of frames (or one multi-page
# TIFF stack) per line; task N measures line N (blank lines and lines starting
# with # count too, and do nothing).
#
#   ls -d /data/screen/*/ > folders.txt
#   sbatch --array=1-$(wc -l < folders.txt) workflows/slurm-array.sh folders.txt
#
# Each task writes ResVantor.txt, drift.csv, drift.svg beside its images
# (STACK.drift.csv, STACK.drift.svg and STACK.ResVantor.txt for STACK.tif);
# its messages go to the task's Slurm output file. The #SBATCH lines below are
# a template: edit them, or override them on the sbatch command line.
# Settings from the environment (sbatch passes it on):
#   VANTOR          the program                        [vantor on the PATH]
#   VANTOR_MODE     1: against the first frame, 0: against the previous  [1]
#   VANTOR_OPTIONS  further parameters and options, e.g. "--precise"  []
#   VANTOR_NAME     base name of the outputs            [drift]
# Threads: the task's --cpus-per-task.
#
# Locally, without Slurm, run one task by hand:
#   SLURM_ARRAY_TASK_ID=3 workflows/slurm-array.sh folders.txt
#
# One very long sequence across tasks: a line may end in a range of frames,
# FIRST:LAST (counted from 1, LAST may be left out for "to the end"); the task
# then writes drift_FIRST-LAST.csv and the program's ResVantor_FIRST-LAST.txt.
# Joined in order, the parts' CSV files are the whole run's CSV, the header
# once. Splitting saves time in mode 1 only: in mode 0 each part also
# measures every pair before it (the running sums), so the last part costs
# as much as the whole run.
#
#   printf '/data/long 1:2000\n/data/long 2001:4000\n/data/long 4001:\n' > parts.txt
#   job=$(sbatch --parsable --array=1-3 workflows/slurm-array.sh parts.txt)
#   sbatch --dependency=afterok:$job --wrap \
#     "awk 'NR == 1 || FNR > 1' \$(ls /data/long/drift_*-*.csv | sort -V) > /data/long/drift.csv"
#
#SBATCH --job-name=vantor
#SBATCH --cpus-per-task=2
#SBATCH --mem=4G
#SBATCH --time=01:00:00
#SBATCH --output=vantor-%A_%a.out
set -euo pipefail

die() { echo "slurm-array.sh: $*" >&2; exit 2; }

list=${1:-}
[ -n "$list" ] || die "usage: slurm-array.sh LIST (a text file, one folder or stack per line)"
[ -r "$list" ] || die "$list: cannot read the list"
task=${SLURM_ARRAY_TASK_ID:-}
if ! [[ $task =~ ^[0-9]+$ ]] || [ "$task" -lt 1 ]; then
  die "SLURM_ARRAY_TASK_ID='$task': a line number from 1 (submit with --array=1-N)"
fi
vantor=${VANTOR:-vantor}
command -v "$vantor" >/dev/null || die "$vantor: no such program (set VANTOR)"
mode=${VANTOR_MODE:-1}
[[ $mode == [01] ]] || die "VANTOR_MODE='$mode': 0 or 1"
name=${VANTOR_NAME:-drift}
read -r -a options <<<"${VANTOR_OPTIONS:-}"

[ "$(awk 'END { print NR }' "$list")" -ge "$task" ] || die "$list has fewer than $task lines"
line=$(sed -n "${task}p" "$list")
line=${line%$'\r'}
# Trim blanks; skip empty and comment lines.
line="${line#"${line%%[![:space:]]*}"}"
line="${line%"${line##*[![:space:]]}"}"
if [ -z "$line" ] || [[ $line == '#'* ]]; then
  echo "slurm-array.sh: line $task of $list is empty or a comment: nothing to do"
  exit 0
fi

range=""
if [[ $line =~ ^(.*[^[:space:]])[[:space:]]+([0-9]*:[0-9]*)$ ]]; then
  line=${BASH_REMATCH[1]}
  range=${BASH_REMATCH[2]}
fi
path=${line%/}
[ -n "$path" ] || path=/

if [ -d "$path" ]; then
  folder=$path
  out=$path/$name
  stack=""
elif [ -f "$path" ]; then
  folder=$(dirname -- "$path")
  out=${path%.*}.$name
  stack=$path
else
  die "line $task of $list: $path: no such folder or file"
fi

threads=()
[ -n "${SLURM_CPUS_PER_TASK:-}" ] && threads=("--threads=$SLURM_CPUS_PER_TASK")

if [ -n "$range" ]; then
  first=${range%%:*}
  first=${first:-1}
  csv=${out}_${first}-.csv
  "$vantor" "$path" "$mode" "${options[@]}" "${threads[@]}" --frames="$range" --csv="$csv" </dev/null
  # The file takes the last frame's number, as the program names its table.
  last=$(tail -n 1 "$csv" | cut -d, -f1)
  [[ $last =~ ^[0-9]+$ ]] || die "$csv: no frames written"
  mv -f -- "$csv" "${out}_${first}-${last}.csv"
  [ -f "$folder/ResVantor_${first}-${last}.txt" ] ||
    { echo "slurm-array.sh: $path: the table could not be saved beside the images" >&2; exit 3; }
  echo "slurm-array.sh: frames $first to $last of $path: ${out}_${first}-${last}.csv"
  exit 0
fi

# Jobs on stacks of one folder take turns: the program names its table
# ResVantor.txt in the images' folder, and a stack's is renamed after it.
exec 9<"$folder"
flock 9
kept=""
if [ -n "$stack" ] && [ -e "$folder/ResVantor.txt" ]; then
  kept=$folder/ResVantor.txt.kept
  mv -f -- "$folder/ResVantor.txt" "$kept"
fi
status=0
"$vantor" "$path" "$mode" "${options[@]}" "${threads[@]}" --csv="$out.csv" --plot="$out.svg" </dev/null ||
  status=$?
saved=yes
[ -f "$folder/ResVantor.txt" ] || saved=""
if [ -n "$stack" ] && [ "$status" -eq 0 ] && [ -n "$saved" ]; then
  mv -f -- "$folder/ResVantor.txt" "$out.ResVantor.txt"
fi
[ -z "$kept" ] || mv -f -- "$kept" "$folder/ResVantor.txt"
[ "$status" -eq 0 ] || { echo "slurm-array.sh: $path: vantor ended with status $status" >&2; exit "$status"; }
# The program falls back to the temporary folder when the images' folder is not writable.
[ -n "$saved" ] || { echo "slurm-array.sh: $path: the table could not be saved beside the images" >&2; exit 3; }
echo "slurm-array.sh: $path: $out.csv"
