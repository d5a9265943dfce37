#!/usr/bin/env bash
# Times the whole program on generated sequences, with one thread and with all
# threads, beside the time to only load and convert the same frames.
#   bench/sequences.sh [build-folder]
set -euo pipefail
build=${1:-build}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

now() { date +%s.%N; }
run() {  # label frames command...
  local label=$1 frames=$2; shift 2
  local t0 t1
  t0=$(now); "$@" >/dev/null 2>&1; t1=$(now)
  awk -v l="$label" -v n="$frames" -v a="$t0" -v b="$t1" \
    'BEGIN { printf "  %-34s %7.3f s  %8.1f frames/s\n", l, b - a, n / (b - a) }'
}

bench() {  # name frames width height depth
  local dir="$work/$1"
  mkdir -p "$dir"
  "$build/make_sequence" "$dir" "$2" "$3" "$4" "$5"
  echo "== $1: $2 frames of $3 x $4, $5-bit"
  run "load and convert only (floor)" "$2" "$build/load_frames" "$dir"/*.tif
  for mode in 1 0; do
    run "mode $mode, defaults, --threads=1" "$2" "$build/vantor" "$dir" $mode --threads=1
    run "mode $mode, defaults, all threads" "$2" "$build/vantor" "$dir" $mode
  done
  run "mode 1, min. difference 0, --threads=1" "$2" "$build/vantor" "$dir" 1 4 0.05 0 --threads=1
  run "mode 1, min. difference 0, all threads" "$2" "$build/vantor" "$dir" 1 4 0.05 0
}

echo "threads available: $(nproc)"
bench grey1024 100 1024 1024 8
bench wide2048 20 2048 2048 16
bench colour1024 20 1024 1024 24
