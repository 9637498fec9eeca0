#!/usr/bin/env bash
# Compares the per-line time of two builds: N alternating runs of `bench_upload RECORDS local` (old, then
# new), each giving the PC side per line at full speed (mean and median line). Prints every pair, then
# the median of each column and new ÷ old. On a shared or virtual machine one series of five pairs can
# move by 10 % between runs of the same two builds: run several series and read them together.
#
# Usage: scripts/bench-pairs.sh OLD_SOURCE_DIR NEW_SOURCE_DIR [PAIRS, default 5] [RECORDS, default 2000]
# Each folder is a source tree built in its own build/ (bench_upload and libquorlin.so built).
set -euo pipefail

old=$1 new=$2 pairs=${3:-5} records=${4:-2000}
for dir in "$old" "$new"; do
  if [ ! -x "$dir/build/bench/bench_upload" ]; then
    echo "no build/bench/bench_upload in $dir" >&2
    exit 2
  fi
done

# Prints "MEAN MEDIAN" for one run (the median only where the build prints it, else "-").
one_run() {
  GATHRA_BIN_DIR="$1/build/bin" "$1/build/bench/bench_upload" "$records" local 2>&1 |
    awk '/^upload, full speed /   { full = 1; next }
         full && /PC side [0-9.]+ us per line/ {
           match($0, /PC side [0-9.]+/); mean = substr($0, RSTART + 8, RLENGTH - 8) }
         full && /PC side median:/ { median = $4 }
         full && /^upload, /       { full = 0 }
         END { if (mean == "") exit 1; print mean, (median == "" ? "-" : median) }'
}

results=$(mktemp)
trap 'rm -f "$results"' EXIT
for i in $(seq "$pairs"); do
  read -r old_mean old_median < <(one_run "$old")
  read -r new_mean new_median < <(one_run "$new")
  echo "pair $i: old $old_mean us (median line $old_median)  new $new_mean us (median line $new_median)" \
       "load $(cut -d' ' -f1 /proc/loadavg)"
  echo "$old_mean $old_median $new_mean $new_median" >> "$results"
done

median_of() {
  cut -d' ' -f"$1" "$results" | grep -v '^-$' | sort -g |
    awk '{ v[NR] = $1 } END { if (NR == 0) print "-"; else if (NR % 2) print v[(NR + 1) / 2];
                              else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a == "-" || b == "-" || a == 0) print "-"; else printf "%.3f", b / a }'; }
om=$(median_of 1) omd=$(median_of 2) nm=$(median_of 3) nmd=$(median_of 4)
echo "median of $pairs pairs: old $om us, new $nm us, new/old $(ratio "$om" "$nm");" \
     "median line: old $omd us, new $nmd us, new/old $(ratio "$omd" "$nmd")"
