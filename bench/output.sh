#!/bin/bash
# The cost of writing the CSV to a file, plain and zstd: the same walk with
# --output FILE.csv, --output FILE.csv.zst (default level, and the levels
# asked for) and standard output redirected to a file, in interleaved rounds
# (each round runs every job once, in a rotated order), warm cache.
#
#   bench/output.sh [--rounds N] [--binary FSRAKE2] [--levels "3 6"] \
#                   [--also NAME=BINARY] [--also-zst NAME=BINARY] TREE OUTDIR
#
# TREE is walked (warm it first: one untimed walk is made); OUTDIR gets the
# output files (on the disk the user would write to) and results.tsv: one
# line per run (round, job, seconds, user, sys, peak RSS, output bytes). The summary
# on standard output gives the median of every job, its ratio to
# --output FILE.csv and the size ratio of each .zst to the CSV. Every output
# file is removed, and the page cache written back (sync), before every run,
# so that no run pays for the one before it. --also adds another binary
# writing to standard output redirected to a file (an older build, say),
# --also-zst one writing --output FILE.csv.zst (a variant of the compression).
set -euo pipefail

rounds=5
binary=$(dirname "$0")/../build/fsrake2
levels=""
declare -a also=() also_zst=()
while [ $# -gt 2 ]; do
  case "$1" in
    --rounds) rounds=$2; shift ;;
    --binary) binary=$2; shift ;;
    --levels) levels=$2; shift ;;
    --also) also+=("$2"); shift ;;
    --also-zst) also_zst+=("$2"); shift ;;
    *) echo "unknown option $1" >&2; exit 1 ;;
  esac
  shift
done
[ $# -eq 2 ] || { echo "usage: $0 [options] TREE OUTDIR" >&2; exit 1; }
tree=$1
out=$2
mkdir -p "$out"

# job name -> command (the output file is $out/<name>.<suffix>)
declare -A cmd
jobs="csv zst-default stdout"
cmd[csv]="$binary --output $out/csv.csv $tree"
cmd[zst-default]="$binary --output $out/zst-default.csv.zst $tree"
cmd[stdout]="$binary $tree > $out/stdout.csv"
for l in $levels; do
  jobs="$jobs zst-$l"
  cmd[zst-$l]="$binary --compress-level $l --output $out/zst-$l.csv.zst $tree"
done
for a in "${also[@]}"; do
  name=${a%%=*}
  jobs="$jobs $name"
  cmd[$name]="${a#*=} $tree > $out/$name.csv"
done
for a in "${also_zst[@]}"; do
  name=${a%%=*}
  jobs="$jobs $name"
  cmd[$name]="${a#*=} --output $out/$name.csv.zst $tree"
done

"$binary" "$tree" > /dev/null 2>&1  # warm
results=$out/results.tsv
printf 'round\tjob\tseconds\tuser\tsys\trss_kb\tbytes\n' > "$results"
set -- $jobs
n=$#
for ((r = 1; r <= rounds; r++)); do
  # rotate the order by one job per round
  order=$(echo $jobs | tr ' ' '\n' | awk -v r=$r -v n=$n '{a[NR-1]=$0} END {for (i=0;i<n;i++) print a[(i+r)%n]}')
  for j in $order; do
    rm -f "$out/$j".csv "$out/$j".csv.zst
    sync
    t=$( { /usr/bin/time -f '%e %U %S %M' bash -c "${cmd[$j]} 2>/dev/null" ; } 2>&1 | tail -1)
    f=$(ls "$out/$j".csv* 2>/dev/null | head -1)
    bytes=$(stat -c %s "$f")
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$r" "$j" $t "$bytes" >> "$results"
  done
done
rm -f "$out"/*.csv "$out"/*.csv.zst

# medians and ratios
python3 - "$results" <<'PY'
import csv, statistics, sys
runs = {}
for row in csv.DictReader(open(sys.argv[1]), delimiter='\t'):
    r = runs.setdefault(row['job'], {'s': [], 'cpu': [], 'rss': [], 'bytes': 0})
    r['s'].append(float(row['seconds']))
    r['rss'].append(int(row['rss_kb']) / 1024)
    r['cpu'].append(float(row['user']) + float(row['sys']))
    r['bytes'] = int(row['bytes'])
base = statistics.median(runs['csv']['s'])
size = runs['csv']['bytes']
print('%-14s %9s %8s %9s %8s %12s %8s  %s' % ('job', 'median s', 'cpu s', 'time/csv',
                                               'rss MiB', 'bytes', 'size/csv', 'runs (s)'))
for job in sorted(runs):
    r = runs[job]
    print('%-14s %9.2f %8.2f %9.3f %8.0f %12d %8.3f  %s' % (
        job, statistics.median(r['s']), statistics.median(r['cpu']),
        statistics.median(r['s']) / base, statistics.median(r['rss']), r['bytes'],
        r['bytes'] / size,
        ' '.join('%.2f' % x for x in r['s'])))
PY
