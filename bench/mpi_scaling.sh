#!/usr/bin/env bash
# fsrake2-mpi: scaling over ranks where request latency, not CPU, bounds the
# walk, and the balance of the work over the ranks. See docs/performance.md.
#
# Usage: bench/mpi_scaling.sh [options] [DATA_DIR]
#   DATA_DIR          where the trees are generated (default /var/tmp/fsrake2-bench)
# Options:
#   --ranks LIST      rank counts, interleaved in each round (default "1 2 4 8")
#   --threads N       synchronous workers per rank (default 4)
#   --delay-us N      delay of every FUSE request (default 1000)
#   --standin NAME    the FUSE stand-in: latfs (bench/latfs.cpp, answers after
#                     the delay at little CPU per request) or hangfs
#                     (tests/helpers/hangfs --delay-us, a thread sleeps per
#                     request); default latfs when built, else hangfs
#   --tree KIND       tree served through FUSE (default small: 100,000 entries,
#                     one directory of 10,000 files)
#   --rounds N        rounds of the scaling runs (default 1)
#   --single LIST     thread counts of the single-process scanner (synchronous)
#                     run in the same rounds as controls: as many workers in one
#                     process as the ranks have together (default "4 8 16 32";
#                     "none" to skip)
#   --balance-tree K  tree of the balance runs on the local disk, warm (default
#                     wide: 1,000,000 entries); "none" to skip them
#   --balance-ranks L rank counts of the balance runs (default "4 8")
#   --build DIR       where fsrake2-mpi, hangfs, no_uring and gen_tree are built
#                     (default build)
#   --out DIR         results folder (default bench/out/mpi-DATE-TIME)
#
# Every rank runs --threads N workers with io_uring taken away (bench/no_uring),
# so each worker makes one synchronous statx at a time: the stand-in for a
# network file system where a client's concurrency, not its CPUs, limits it.
# The FUSE stand-in is tests/helpers/hangfs with --delay-us. Each run's shards
# are counted against the tree's manifest; nothing here asserts a speed.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
ranks_list="1 2 4 8"
threads=4
delay=1000
tree_kind=small
rounds=1
balance_tree=wide
single_list="4 8 16 32"
balance_ranks="4 8"
build=$repo/build
standin=""
out=""
data_dir=/var/tmp/fsrake2-bench

while [ $# -gt 0 ]; do
  case "$1" in
    --ranks) ranks_list=$2; shift ;;
    --threads) threads=$2; shift ;;
    --delay-us) delay=$2; shift ;;
    --standin) standin=$2; shift ;;
    --tree) tree_kind=$2; shift ;;
    --rounds) rounds=$2; shift ;;
    --single) single_list=$2; shift ;;
    --balance-tree) balance_tree=$2; shift ;;
    --balance-ranks) balance_ranks=$2; shift ;;
    --build) build=$(cd "$2" && pwd); shift ;;
    --out) out=$2; shift ;;
    -h|--help) sed -n '2,/^set -uo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    -*) echo "mpi_scaling.sh: unknown option $1" >&2; exit 2 ;;
    *) data_dir=$1 ;;
  esac
  shift
done

mpi_bin=$build/mpi/fsrake2-mpi
hangfs=$build/tests/hangfs
latfs=$build/bench/latfs
[ -n "$standin" ] || { [ -x "$latfs" ] && standin=latfs || standin=hangfs; }
[ "$standin" = latfs ] && hangfs=$latfs
no_uring=$build/bench/no_uring
gen_tree=$build/bench/gen_tree
for f in "$mpi_bin" "$hangfs" "$no_uring" "$gen_tree"; do
  [ -x "$f" ] || { echo "mpi_scaling.sh: $f is not built" >&2; exit 1; }
done
command -v mpirun >/dev/null || { echo "mpi_scaling.sh: no mpirun (Debian: openmpi-bin)" >&2; exit 1; }
[ -n "$out" ] || out=$repo/bench/out/mpi-$(date +%Y%m%d-%H%M%S)
mkdir -p "$out/logs" "$data_dir"
log() { echo "$(date +%H:%M:%S) $*" | tee -a "$out/log.txt" >&2; }

{
  echo "date: $(date -u +%Y-%m-%dT%H:%M:%SZ)"
  echo "kernel: $(uname -r)"
  echo "cpus: $(nproc)"
  echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
  echo "mpirun: $(mpirun --version 2>/dev/null | head -1)"
  echo "ranks: $ranks_list; threads per rank: $threads (synchronous); FUSE delay: ${delay} us"
} > "$out/machine.txt"

tree() {  # tree KIND -> path, generated once
  local kind=$1 path=$data_dir/$1
  "$gen_tree" "$kind" "$path" > "$out/manifest-$kind.txt" || exit 1
  echo "$path"
}
entries_of() { sed -n 's/^entries=//p' "$data_dir/$1.manifest"; }
dirs_of() { sed -n 's/^dirs=//p' "$data_dir/$1.manifest"; }

# One job: prints "wall_seconds lines stats_file".
run_job() {  # run_job N ROOT TAG
  local n=$1 root=$2 tag=$3 dir=$out/runs/$3
  rm -rf "$dir"; mkdir -p "$dir"
  local t0 t1
  t0=$(date +%s.%N)
  mpirun --oversubscribe --allow-run-as-root -n "$n" "$no_uring" "$mpi_bin" \
    --threads "$threads" --mpi-stats --output "$dir/shard" "$root" 2> "$dir/stderr"
  local rc=$?
  t1=$(date +%s.%N)
  local lines
  lines=$(cat "$dir"/shard.*.csv | wc -l)
  echo "$(echo "$t1 - $t0" | bc) $lines $rc"
}

fuse_mnt=""
cleanup() {
  if [ -n "$fuse_mnt" ] && mountpoint -q "$fuse_mnt" 2>/dev/null; then
    fusermount3 -u "$fuse_mnt" 2>/dev/null || umount -l "$fuse_mnt" 2>/dev/null
  fi
}
trap cleanup EXIT

# ---- scaling through the latency-bound stand-in --------------------------------
src=$(tree "$tree_kind")
want=$(entries_of "$tree_kind")
fuse_mnt=$data_dir/mpi-fuse-mnt
mkdir -p "$fuse_mnt"
cleanup
if [ "$standin" = latfs ]; then
  "$latfs" --delay-us "$delay" "$src" "$fuse_mnt" 2> "$out/logs/standin.err"
else
  "$hangfs" --delay-us "$delay" --threads 256 "$src" "$fuse_mnt" 2> "$out/logs/standin.err"
fi
for _ in $(seq 600); do mountpoint -q "$fuse_mnt" && break; sleep 0.1; done
mountpoint -q "$fuse_mnt" || { log "$standin did not mount"; exit 1; }
log "scaling: $tree_kind tree ($want entries) through $standin --delay-us $delay"
echo "stand-in: $standin --delay-us $delay" >> "$out/machine.txt"

echo "round ranks wall_s lines status" > "$out/scaling.txt"
echo "round threads wall_s lines status" > "$out/single.txt"
[ "$single_list" != none ] || single_list=""
for r in $(seq "$rounds"); do
  for n in $ranks_list; do
    read -r wall lines rc < <(run_job "$n" "$fuse_mnt" "fuse-r$r-n$n")
    log "round $r, $n ranks: ${wall}s, $lines lines (want $want), status $rc"
    echo "$r $n $wall $lines $rc" >> "$out/scaling.txt"
  done
  for t in $single_list; do
    t0=$(date +%s.%N)
    lines=$("$no_uring" "$build/fsrake2" --threads "$t" "$fuse_mnt" 2> "$out/logs/single-r$r-t$t.err" | wc -l)
    t1=$(date +%s.%N)
    wall=$(echo "$t1 - $t0" | bc)
    log "round $r, one process, $t sync threads: ${wall}s, $lines lines"
    echo "$r $t $wall $lines 0" >> "$out/single.txt"
  done
done
cleanup
fuse_mnt=""

# ---- balance on the local disk, warm --------------------------------------------
if [ "$balance_tree" != none ]; then
  bsrc=$(tree "$balance_tree")
  log "balance: $balance_tree tree ($(entries_of "$balance_tree") entries), warm-up run"
  "$build/fsrake2" --threads 8 "$bsrc" > /dev/null 2>&1
  echo "ranks wall_s lines status" > "$out/balance.txt"
  for n in $balance_ranks; do
    read -r wall lines rc < <(run_job "$n" "$bsrc" "balance-n$n")
    log "balance, $n ranks: ${wall}s, $lines lines, status $rc"
    echo "$n $wall $lines $rc" >> "$out/balance.txt"
  done
fi

# ---- summary ----------------------------------------------------------------------
{
  echo "== scaling ($tree_kind tree, $want entries, FUSE ${delay} us, $threads sync workers per rank)"
  awk 'NR > 1 { t[$2] += $3; c[$2]++ } END {
         for (n in t) m[n] = t[n] / c[n]
         base = m[1]
         printf "%6s %9s %9s %11s\n", "ranks", "wall_s", "speed-up", "per rank"
         for (n = 1; n <= 64; n++) if (n in m)
           printf "%6d %9.1f %9.2f %11.2f\n", n, m[n], base / m[n], base / m[n] / n }' "$out/scaling.txt"
  if [ -n "$single_list" ]; then
    echo "== controls: the single-process scanner, synchronous, on the same mount"
    awk 'NR > 1 { t[$2] += $3; c[$2]++ } END {
           printf "%8s %9s\n", "threads", "wall_s"
           for (n = 1; n <= 4096; n++) if (n in t) printf "%8d %9.1f\n", n, t[n] / c[n] }' "$out/single.txt"
  fi
  for f in "$out"/runs/*/stderr; do
    tag=$(basename "$(dirname "$f")")
    echo "-- $tag"
    grep 'fsrake2-mpi stats' "$f" | sed 's/^fsrake2-mpi stats: //'
  done
  if [ -f "$out/balance.txt" ]; then
    echo "== balance ($balance_tree tree, $(dirs_of "$balance_tree") directories)"
    cat "$out/balance.txt"
  fi
} > "$out/summary.txt"
cat "$out/summary.txt"
