#!/usr/bin/env bash
# What checkpoints cost: the same walk without --checkpoint and with one every
# INTERVAL seconds, in interleaved rounds (the machine is shared and noisy),
# the output to a file in OUTDIR in both. The extra time of the checkpointed
# walk, over the checkpoints it took (one per INTERVAL of its walk), is the
# cost of one checkpoint; its share of the walk at the default interval of 60
# seconds follows. The checkpoint's size is that of one taken mid-walk.
#
# Usage: bench/checkpoint_cost.sh FSRAKE2 TREE OUTDIR [ROUNDS] [INTERVAL] [ARGS...]
set -euo pipefail
fsrake2=$1 tree=$2 outdir=$3 rounds=${4:-5} interval=${5:-1}
shift $(( $# < 5 ? $# : 5 ))
mkdir -p "$outdir"
now() { date +%s.%N; }
plain=() with=()
for r in $(seq 1 "$rounds"); do
  for kind in plain with; do
    rm -f "$outdir/ck" "$outdir/out.csv"
    args=(--output "$outdir/out.csv")
    [ $kind = with ] && args+=(--checkpoint "$outdir/ck" --checkpoint-every "$interval")
    t0=$(now)
    "$fsrake2" "$@" "${args[@]}" "$tree" 2>"$outdir/err.$kind"
    t=$(echo "$(now) - $t0" | bc)
    [ $kind = plain ] && plain+=("$t") || with+=("$t")
    echo "round $r $kind ${t}s $(wc -l <"$outdir/out.csv") lines"
  done
done
median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }
mp=$(median "${plain[@]}") mw=$(median "${with[@]}")
# One checkpoint taken mid-walk, for its size.
rm -f "$outdir/ck"
"$fsrake2" "$@" --output "$outdir/out.csv" --checkpoint "$outdir/ck" --checkpoint-every 600 "$tree" 2>/dev/null &
pid=$!
sleep "$(echo "$mp / 2" | bc -l)"
kill -TERM $pid 2>/dev/null || true
wait $pid || true
size=$(stat -c %s "$outdir/ck" 2>/dev/null || echo 0)
awk -v p="$mp" -v w="$mw" -v i="$interval" -v s="$size" 'BEGIN {
  n = int(w / i); if (n < 1) n = 1
  one = (w - p) / n
  printf "median without %.2f s, with a checkpoint every %s s %.2f s (ratio %.3f)\n", p, i, w, w / p
  printf "checkpoints taken about %d; one costs %.3f s; at the default 60 s: %.2f%% of the walk\n", n, one, 100 * one / 60
  printf "a checkpoint taken mid-walk: %d bytes\n", s
}'
