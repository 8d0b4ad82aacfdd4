#!/usr/bin/env bash
# fsrake2 against the floor (the least work a scanner of its kind must do) and
# against its peers, in interleaved rounds, with medians and ratios from the
# same run. See docs/performance.md for what it measures and the figures.
#
# Usage: bench/run.sh [options] [DATA_DIR]
#   DATA_DIR           where the trees are generated (default /var/tmp/fsrake2-bench;
#                      cold runs need a disk-backed file system, not tmpfs)
# Options:
#   --sections LIST    comma list of warm,cold,fuse,iowq,latency,busy (default:
#                      the first four; latency and busy are asked for by name)
#   --warm-rounds N    rounds of the warm section (default 5)
#   --cold-rounds N    rounds of the cold section (default 3)
#   --fuse-rounds N    rounds of the parallel tools on the FUSE tree (default 3;
#                      the single-threaded peers run once there, see below)
#   --fuse-delay-us N  delay per FUSE request (default 1000)
#   --fuse-once LIST   jobs run only once on the FUSE tree, after the rounds
#                      (default find,bfs,du,fsrake2-sync-2: minutes each there)
#   --tree KIND        the main tree: wide (default), small or tiny
# The latency section (the latfs stand-in, see below):
#   --lat-rounds N     rounds of each latency condition (default 3)
#   --lat-delay-us N   delay of every latfs reply (default 1000)
#   --lat-cap N        latfs --max-inflight, the filer's capacity (default 0: none)
#   --lat-cache S      attribute and entry timeout of the cached condition, which
#                      also lists with readdirplus (default 30; 0 leaves it out)
#   --lat-conditions LIST  comma list of scale,small,cached,ceiling,hangfs
#                      (default all)
# The busy-filer section (latfs with a capacity, and a second client):
#   --busy-rounds N    rounds (default 3)
#   --busy-cap N       the filer's capacity, latfs --max-inflight (default 32)
#   --busy-sweep LIST  fixed settings MODE-THREADS swept beside the default
#                      (default sync-8,sync-32,sync-64,ring-2,ring-8,ring-64)
#   --jobs LIST        comma list: run only these jobs of the warm, cold and fuse
#                      sections (for example fsrake2-default,floor-ring-64,gdu)
#   --fsrake2 PATH     the scanner (default: build the project into build-bench)
#   --gen-tree PATH, --floor PATH, --no-uring PATH, --hangfs PATH, --latfs PATH,
#   --stat-probe PATH
#                      the helpers (default: built from bench/ and tests/helpers/)
#   --out DIR          results folder (default bench/out/DATE-TIME)
#   --no-install       do not apt-get the peers
#   --smoke            CI mode: tiny tree, one round, warm and io-wq sections
#                      only, no installs, no cache dropping; fails only when
#                      the tools disagree on the entry count
#   --summarize DIR    only (re)write the summary and plots of an earlier run
#
# Every run of a line-producing tool (fsrake2, find, bfs) writes into a pipe to
# `wc -l`, so each run is checked against the tree's manifest; du and gdu are
# checked once per tree by an extra untimed run (du -sl --inodes, gdu's JSON
# export). Times come from /usr/bin/time (user, sys, peak RSS) and the wall
# clock. Nothing here asserts a speed.
#
# The latency section mounts bench/latfs (a FUSE mirror of a generated tree held
# in memory, every reply sent a fixed delay after its request arrived) once
# per condition below, and records the stand-in's own CPU per job (--jobs
# narrows the jobs here too):
#   lat-scale    the chunks tree (directories of at most 18 entries), the
#                synchronous floor at 4, 16, 64 and 256 threads and the ring
#                floor and fsrake2 at 64: the rate should grow with the client's
#                concurrency
#                until the CPU, not the stand-in, is the limit
#   lat-small    the small tree (one directory of 10,000 files): fsrake2 default,
#                fsrake2 with io_uring taken away, the floors at 64 threads
#   lat-cached   the same with readdirplus and --lat-cache timeouts, as an NFS
#                client's attribute cache: a stat after a listing stays local
#   lat-ceiling  the small tree with no delay: the CPU ceiling of stand-in and
#                client together (the summary also gives entries per CPU-second
#                of both processes, times the core count)
#   lat-hangfs   the chunks tree through the old stand-in, tests/helpers/hangfs
#                (--threads 128, same delay), with the floors of lat-scale
# The busy section (asked for by name) mounts latfs on the small tree with a
# capacity (--busy-cap requests served at once, the rest queue, as on a
# saturated filer) and runs bench/stat_probe beside every job: a second client
# that stats one file every 20 ms. It reports the scan's rate and the probe's
# median and 90th percentile stat latency during the scan against the same
# probe on the idle mount (measured in each round), for fsrake2's default,
# --stat-mode ring, and fixed settings (--no-adapt --stat-mode MODE --threads
# N); busy-summary.txt gives the ratios of the issue's targets.
#   bench/run.sh --sections busy --busy-rounds 3 --no-install
# For example, after changing the scanner:
#   bench/run.sh --sections latency --lat-rounds 3 --no-install
#   bench/run.sh --sections latency --lat-conditions small --lat-delay-us 1000 --lat-cap 64
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")

sections="warm,cold,fuse,iowq"
warm_rounds=5
cold_rounds=3
fuse_rounds=3
fuse_delay=1000
fuse_once="find,bfs,du,fsrake2-sync-2"
tree_kind=wide
only_jobs=""
fsrake2="" gen_tree="" floor="" no_uring="" hangfs="" latfs="" stat_probe=""
busy_rounds=3
busy_cap=32
busy_sweep="sync-8,sync-32,sync-64,ring-2,ring-8,ring-64"
lat_rounds=3
lat_delay=1000
lat_cap=0
lat_cache=30
lat_conditions="scale,small,cached,ceiling,hangfs"
out=""
install=1
smoke=0
summarize_only=""
data_dir=/var/tmp/fsrake2-bench

while [ $# -gt 0 ]; do
  case "$1" in
    --sections) sections=$2; shift ;;
    --warm-rounds) warm_rounds=$2; shift ;;
    --cold-rounds) cold_rounds=$2; shift ;;
    --fuse-rounds) fuse_rounds=$2; shift ;;
    --fuse-delay-us) fuse_delay=$2; shift ;;
    --fuse-once) fuse_once=$2; shift ;;
    --tree) tree_kind=$2; shift ;;
    --jobs) only_jobs=$2; shift ;;
    --fsrake2) fsrake2=$2; shift ;;
    --gen-tree) gen_tree=$2; shift ;;
    --floor) floor=$2; shift ;;
    --no-uring) no_uring=$2; shift ;;
    --hangfs) hangfs=$2; shift ;;
    --latfs) latfs=$2; shift ;;
    --stat-probe) stat_probe=$2; shift ;;
    --busy-rounds) busy_rounds=$2; shift ;;
    --busy-cap) busy_cap=$2; shift ;;
    --busy-sweep) busy_sweep=$2; shift ;;
    --lat-rounds) lat_rounds=$2; shift ;;
    --lat-delay-us) lat_delay=$2; shift ;;
    --lat-cap) lat_cap=$2; shift ;;
    --lat-cache) lat_cache=$2; shift ;;
    --lat-conditions) lat_conditions=$2; shift ;;
    --out) out=$2; shift ;;
    --no-install) install=0 ;;
    --smoke) smoke=1 ;;
    --summarize) summarize_only=$2; shift ;;
    -h|--help) sed -n '2,/^set -uo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    -*) echo "run.sh: unknown option $1" >&2; exit 2 ;;
    *) data_dir=$1 ;;
  esac
  shift
done

log() { echo "[$(date +%H:%M:%S)] $*" >&2; }
have() { command -v "$1" >/dev/null 2>&1; }

# The format that find and bfs print: the columns of fsrake2 that they can give
# (inode, depth, path, owner, group, size, device, blocks, links, mode, three times).
FIND_FMT='%i,%d,"%p",%U,%G,%s,%D,%b,%n,"%m",%As,%Ts,%Cs\n'

# ---------------------------------------------------------------------------
# Summary: medians per job and section, ratios, plot data, plots.
summarize() {
  local dir=$1
  local res=$dir/results.tsv
  [ -f "$res" ] || { echo "run.sh: no $res" >&2; return 1; }
  awk -F'\t' -v OFS='\t' '
    function median(key,   n, i, j, t, a) {
      n = split(vals[key], a, " ")
      for (i = 2; i <= n; i++) { t = a[i] + 0; for (j = i - 1; j >= 1 && a[j] + 0 > t; j--) a[j + 1] = a[j]; a[j + 1] = t }
      if (n == 0) return ""
      return (n % 2) ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
    }
    NR == 1 { next }
    $11 != "ok" { k = $1 SUBSEP $3; bad[k]++; if (!(k in seen)) { seen[k] = 1; order[++nk] = k }; next }
    {
      k = $1 SUBSEP $3
      if (!(k in seen)) { seen[k] = 1; order[++nk] = k }
      vals[k "s"] = vals[k "s"] " " $4
      vals[k "c"] = vals[k "c"] " " ($5 + $6)
      vals[k "m"] = vals[k "m"] " " $7
      if ($7 + 0 > rss[k] + 0) rss[k] = $7
      n[k]++
      ent[k] = $9
      if ($12 != "-") { vals[k "w"] = vals[k "w"] " " $12; hasw[k] = 1 }
      if (NF >= 13 && $13 != "-") { vals[k "v"] = vals[k "v"] " " $13; hasv[k] = 1 }
    }
    END {
      for (i = 1; i <= nk; i++) {
        k = order[i]; split(k, p, SUBSEP)
        s = median(k "s"); c = median(k "c")
        rate = (s > 0 && ent[k] != "") ? ent[k] / s : 0
        print p[1], p[2], n[k], s, rate, c, (s > 0 ? 100 * c / s : 0), median(k "m") / 1024, rss[k] / 1024, ent[k], (hasw[k] ? median(k "w") : "-"), bad[k] + 0, (hasv[k] ? median(k "v") : "-")
      }
    }' "$res" > "$dir/medians.tsv"

  awk -F'\t' '
    { key = $1 "|" $2; rate[key] = $5; sec[$1] = 1
      if ($1 == "lat-ceiling" && $5 > ceiling) { ceiling = $5; ceiling_job = $2 } }
    function r(a, b) { return (rate[a] > 0 && rate[b] > 0) ? sprintf("%.2f", rate[a] / rate[b]) : "n/a" }
    function fastest(s, list,   n, i, a, best, bk) {
      n = split(list, a, " "); best = 0; bk = ""
      for (i = 1; i <= n; i++) if (rate[s "|" a[i]] > best) { best = rate[s "|" a[i]]; bk = a[i] }
      return bk
    }
    function line(s, what, a, b, target) {
      if (b == "" || !((s "|" a) in rate) || !((s "|" b) in rate)) return
      printf "| %s | %s | %s / %s | %s | %s |\n", s, what, a, b, r(s "|" a, s "|" b), target
    }
    END {
      print "| condition | ratio | jobs | measured | target |"
      print "|---|---|---|---|---|"
      for (s in sec) {
        fp = fastest(s, "find bfs du gdu")
        pp = fastest(s, "gdu")
        if (s == "warm") {
          line(s, "default vs fastest peer", "fsrake2-default", fp, ">= 1.25")
          line(s, "default vs io_uring floor, 64 threads", "fsrake2-default", "floor-ring-64", ">= 0.85")
          line(s, "--threads 2 vs io_uring floor, 2 threads", "fsrake2-t2", "floor-ring-2", ">= 0.80")
          line(s, "--threads 2 vs bfs", "fsrake2-t2", "bfs", ">= 1.6")
          line(s, "default vs sync floor, 64 threads", "fsrake2-default", "floor-sync-64", "")
          line(s, "ring vs sync fsrake2, 64 threads", "fsrake2-default", "fsrake2-sync-64", "")
          line(s, "default vs --stat-mode sync", "fsrake2-default", "fsrake2-statsync", ">= 0.95")
          line(s, "default vs --stat-mode ring", "fsrake2-default", "fsrake2-ring", "")
          line(s, "default vs sync floor, 2 threads", "fsrake2-default", "floor-sync-2", ">= 0.85")
          line(s, "default vs du -s", "fsrake2-default", "du", ">= 1.7")
          line(s, "io_uring floor, deferred vs plain completions, 64 threads", "floor-ring-64-defer", "floor-ring-64", "")
          line(s, "io_uring floor, deferred vs plain completions, 2 threads", "floor-ring-2-defer", "floor-ring-2", "")
        } else if (s == "cold") {
          line(s, "default vs io_uring floor, 64 threads", "fsrake2-default", "floor-ring-64", ">= 0.9")
          line(s, "default vs fastest peer", "fsrake2-default", fp, ">= 1.5")
          line(s, "ring vs sync fsrake2, 64 threads", "fsrake2-default", "fsrake2-sync-64", "")
          line(s, "default vs --stat-mode sync", "fsrake2-default", "fsrake2-statsync", ">= 0.95")
          line(s, "default vs --stat-mode ring", "fsrake2-default", "fsrake2-ring", "")
          line(s, "default vs du -s", "fsrake2-default", "du", ">= 2")
        } else if (s == "fuse") {
          line(s, "default vs GNU find", "fsrake2-default", "find", ">= 10")
          line(s, "default vs fastest parallel peer", "fsrake2-default", pp, ">= 3")
          line(s, "ring vs sync fsrake2, 64 threads", "fsrake2-default", "fsrake2-sync-64", ">= 3")
          line(s, "ring vs sync fsrake2, 2 threads", "fsrake2-t2", "fsrake2-sync-2", ">= 3")
          line(s, "default vs io_uring floor, 64 threads", "fsrake2-default", "floor-ring-64", "")
        } else if (s == "lat-scale") {
          line(s, "sync floor, 16 vs 4 threads", "floor-sync-16", "floor-sync-4", "about 4")
          line(s, "sync floor, 64 vs 16 threads", "floor-sync-64", "floor-sync-16", "about 4")
          line(s, "sync floor, 256 vs 64 threads", "floor-sync-256", "floor-sync-64", "up to 4, until the CPU")
          line(s, "ring vs sync floor, 64 threads", "floor-ring-64", "floor-sync-64", "")
          split("floor-sync-64 floor-sync-256 floor-ring-64", hj, " ")
          for (i = 1; i <= 3; i++)
            if (rate[s "|" hj[i]] > 0 && rate["lat-hangfs|" hj[i]] > 0)
              printf "| %s | latfs vs hangfs (the old stand-in), %s | lat-scale / lat-hangfs | %.2f |  |\n", s, hj[i], rate[s "|" hj[i]] / rate["lat-hangfs|" hj[i]]
        } else if (s == "lat-small") {
          line(s, "default vs --stat-mode ring", "fsrake2-default", "fsrake2-ring", ">= 0.9")
          line(s, "default vs --stat-mode sync", "fsrake2-default", "fsrake2-statsync", ">= 3")
          line(s, "default vs io_uring taken away, 64 threads", "fsrake2-default", "fsrake2-sync-64", ">= 3")
          line(s, "default vs io_uring floor, 64 threads", "fsrake2-default", "floor-ring-64", "")
          line(s, "io_uring floor vs sync floor, 64 threads", "floor-ring-64", "floor-sync-64", "")
          if (ceiling > 0 && rate[s "|fsrake2-default"] > 0)
            printf "| %s | default vs the ceiling (fastest job with no delay) | fsrake2-default / lat-ceiling %s | %.2f | >= 0.7 |\n", s, ceiling_job, rate[s "|fsrake2-default"] / ceiling
        } else if (s == "lat-cached") {
          line(s, "default vs --stat-mode sync", "fsrake2-default", "fsrake2-statsync", ">= 0.95")
          line(s, "default vs io_uring taken away, 64 threads", "fsrake2-default", "fsrake2-sync-64", ">= 0.95")
          line(s, "default vs sync floor, 64 threads", "fsrake2-default", "floor-sync-64", "")
        } else if (s == "smoke") {
          line(s, "default vs fastest peer (tiny tree, means nothing)", "fsrake2-default", fp, "")
        }
      }
    }' "$dir/medians.tsv" > "$dir/ratios.md"

  {
    echo "| condition | job | runs | median s | entries/s | CPU s (user+sys) | CPU % | median RSS MiB | peak RSS MiB | entries | io-wq threads (max) | failed runs |"
    echo "|---|---|---|---|---|---|---|---|---|---|---|---|"
    awk -F'\t' '{ printf "| %s | %s | %d | %.3f | %.0f | %.2f | %.0f | %.1f | %.1f | %s | %s | %d |\n", $1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12 }' "$dir/medians.tsv"
    echo
    cat "$dir/ratios.md"
    if awk -F'\t' '$13 != "-" && $13 != "" { found = 1 } END { exit !found }' "$dir/medians.tsv"; then
      echo
      echo "Latency section: CPU of the client and of the latfs stand-in (medians); the last"
      echo "column is the rate the machine's $(nproc) cores would allow if both were busy all the time."
      echo
      echo "| condition | job | entries/s | client CPU s | stand-in CPU s | entries per CPU-second | x $(nproc) cores |"
      echo "|---|---|---|---|---|---|---|"
      awk -F'\t' -v cores="$(nproc)" '$13 != "-" && $13 != "" {
          both = $6 + $13
          printf "| %s | %s | %.0f | %.2f | %.2f | %.0f | %.0f |\n", $1, $2, $5, $6, $13, (both > 0 ? $10 / both : 0), (both > 0 ? cores * $10 / both : 0) }' "$dir/medians.tsv"
    fi
    if [ -f "$dir/counts.tsv" ]; then
      echo
      echo "| tree | tool | entries | expected | check |"
      echo "|---|---|---|---|---|"
      awk -F'\t' '{ printf "| %s | %s | %s | %s | %s |\n", $1, $2, $3, $4, $5 }' "$dir/counts.tsv"
    fi
  } > "$dir/summary.md"

  # Plot data: entries/s per tool (rows) and condition (columns); fsrake2 by threads.
  awk -F'\t' '
    { rate[$2 "|" $1] = $5; if (!($2 in seen)) { seen[$2] = 1; jobs[++n] = $2 }; have[$1] = 1 }
    END {
      split("warm cold fuse smoke", all, " "); nc = 0
      for (i = 1; i <= 4; i++) if (all[i] in have) conds[++nc] = all[i]
      if (nc == 0) exit
      printf "job"; for (c = 1; c <= nc; c++) printf "\t%s", conds[c]; printf "\n"
      for (i = 1; i <= n; i++) {
        j = jobs[i]
        if (j ~ /cap|t1024/) continue
        printf "%s", j
        for (c = 1; c <= nc; c++) printf "\t%s", ((j "|" conds[c]) in rate ? rate[j "|" conds[c]] : "-")
        printf "\n"
      }
      printf "threads" > THR; for (c = 1; c <= nc; c++) printf "\t%s", conds[c] > THR; printf "\n" > THR
      split("1 2 8 64 256", t, " ")
      for (i = 1; i <= 5; i++) {
        j = (t[i] == 64) ? "fsrake2-default" : "fsrake2-t" t[i]
        printf "%s", t[i] > THR
        for (c = 1; c <= nc; c++) printf "\t%s", ((j "|" conds[c]) in rate ? rate[j "|" conds[c]] : "-") > THR
        printf "\n" > THR
      }
    }' THR="$dir/threads.dat" "$dir/medians.tsv" > "$dir/rates.dat"
  awk -F'\t' '$2 ~ /^floor-ring-[0-9]+-cap/ {
      split($2, a, "-"); th = a[3]; cap = a[4]; sub(/^cap/, "", cap)
      printf "%s\t%s\t%s\t%s\t%s\t%s\n", $1, th, cap, $5, $6, $11 }' "$dir/medians.tsv" > "$dir/caps.dat"

  if have gnuplot && [ -s "$dir/rates.dat" ]; then
    gnuplot -e "datadir='$dir'" "$here/plot.gp" 2>"$dir/gnuplot.err" || log "gnuplot failed, see $dir/gnuplot.err"
  fi
  log "summary: $dir/summary.md"
}

if [ -n "$summarize_only" ]; then
  summarize "$summarize_only"
  exit $?
fi

if [ $smoke -eq 1 ]; then
  tree_kind=tiny
  sections="smoke,iowq"
  warm_rounds=1
  install=0
fi

[ -n "$out" ] || out=$here/out/$(date +%Y%m%d-%H%M%S)
mkdir -p "$out" "$data_dir" || exit 1
out=$(cd "$out" && pwd)
data_dir=$(cd "$data_dir" && pwd)
want() { case ",$sections," in *",$1,"*) return 0 ;; esac; return 1; }

# ---------------------------------------------------------------------------
# Peers and tools.
if [ $install -eq 1 ]; then
  pkgs=()
  have bfs || pkgs+=(bfs)
  have gdu || pkgs+=(gdu)
  have find || pkgs+=(findutils)
  have du || pkgs+=(coreutils)
  [ -x /usr/bin/time ] || pkgs+=(time)
  have gnuplot || pkgs+=(gnuplot-nox)
  have hyperfine || pkgs+=(hyperfine)
  if want fuse || want latency; then
    have fusermount3 || pkgs+=(fuse3)
    pkg-config --exists fuse3 2>/dev/null || pkgs+=(libfuse3-dev pkg-config)
  fi
  if [ ${#pkgs[@]} -gt 0 ]; then
    log "installing ${pkgs[*]}"
    sudo_cmd=""; [ "$(id -u)" -eq 0 ] || sudo_cmd=sudo
    $sudo_cmd apt-get update >/dev/null
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y --no-install-recommends "${pkgs[@]}" >/dev/null ||
      log "apt-get failed; going on with what is there"
  fi
fi

if [ -z "$gen_tree" ] || [ -z "$floor" ] || [ -z "$no_uring" ]; then
  tb=$repo/build-bench-tools
  log "building the bench tools in $tb"
  { cmake -S "$here" -B "$tb" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null && cmake --build "$tb" >/dev/null; } ||
    { echo "run.sh: could not build the bench tools" >&2; exit 1; }
  [ -n "$gen_tree" ] || gen_tree=$tb/gen_tree
  [ -n "$floor" ] || floor=$tb/floor
  [ -n "$no_uring" ] || no_uring=$tb/no_uring
fi
if [ -z "$fsrake2" ] && [ $smoke -eq 0 ]; then
  fb=$repo/build-bench
  log "building fsrake2 (the project's default build type) in $fb"
  if cmake -S "$repo" -B "$fb" -G Ninja -DFR2_BUILD_TESTS=OFF >/dev/null && cmake --build "$fb" --target fsrake2 >/dev/null; then
    fsrake2=$fb/fsrake2
  else
    log "fsrake2 does not build; its jobs are left out"
  fi
fi
[ -n "$fsrake2" ] && [ ! -x "$fsrake2" ] && { log "no fsrake2 at $fsrake2; its jobs are left out"; fsrake2=""; }
if { want latency || want busy; } && [ -z "$latfs" ] && pkg-config --exists fuse3 2>/dev/null; then
  tb=$repo/build-bench-tools
  log "building latfs in $tb"
  if cmake -S "$here" -B "$tb" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null && cmake --build "$tb" --target latfs >/dev/null; then
    latfs=$tb/latfs
  fi
fi
if want busy && [ -z "$stat_probe" ]; then
  tb=$repo/build-bench-tools
  cmake -S "$here" -B "$tb" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null && cmake --build "$tb" --target stat_probe >/dev/null &&
    stat_probe=$tb/stat_probe
fi

can_drop=0
if [ $smoke -eq 0 ] && [ -w /proc/sys/vm/drop_caches ]; then can_drop=1; fi
drop_caches() { sync; echo 3 > /proc/sys/vm/drop_caches; }

fstype=$(df -PT "$data_dir" | awk 'NR == 2 { print $2 }')
if [ "$fstype" = tmpfs ] && want cold; then
  log "$data_dir is on tmpfs: a cold cache means nothing there; the cold section is left out"
  sections=${sections//cold/}
fi
if want cold && [ $can_drop -eq 0 ]; then
  log "cannot write /proc/sys/vm/drop_caches (not root?); the cold section is left out"
  sections=${sections//cold/}
fi

# ---------------------------------------------------------------------------
# The machine.
{
  echo "date: $(date -u '+%Y-%m-%d %H:%M UTC')"
  echo "nproc: $(nproc)"
  grep -m1 'model name' /proc/cpuinfo | sed 's/^model name[[:space:]]*: /cpu: /'
  echo "memory: $(awk '/MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)"
  echo "kernel: $(uname -srm)"
  dev=$(df -P "$data_dir" | awk 'NR == 2 { print $1 }')
  echo "data dir file system: $fstype on $dev ($(df -h --output=size "$data_dir" | tail -1 | tr -d ' '))"
  b=$(basename "$dev")
  [ -r "/sys/block/$b/queue/rotational" ] && echo "disk: $b, rotational=$(cat /sys/block/$b/queue/rotational), scheduler=$(cat /sys/block/$b/queue/scheduler 2>/dev/null)"
  [ -r /proc/sys/kernel/io_uring_disabled ] && echo "io_uring_disabled: $(cat /proc/sys/kernel/io_uring_disabled)"
  echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
  echo "fsrake2: ${fsrake2:-none} $( [ -n "$fsrake2" ] && "$fsrake2" --version 2>&1 | head -1)"
  have find && echo "find: $(find --version | head -1)"
  have bfs && echo "bfs: $(bfs -version 2>/dev/null | head -1)"
  have du && echo "du: $(du --version | head -1)"
  have gdu && echo "gdu: $(gdu --version 2>/dev/null | head -1 | tr -s '\t ' ' ')"
} > "$out/machine.txt"
cat "$out/machine.txt" >&2

# ---------------------------------------------------------------------------
# Trees.
gen() {  # kind -> path; prints the expected entry count
  local kind=$1 path=$data_dir/$1
  if ! "$gen_tree" "$kind" "$path" > "$out/manifest-$kind.txt"; then
    if [ -e "$path" ] && [ ! -e "$path.manifest" ]; then
      log "removing an incomplete $path"
      rm -rf "$path"
      "$gen_tree" "$kind" "$path" > "$out/manifest-$kind.txt" || exit 1
    else
      exit 1
    fi
  fi
  sed -n 's/^entries=//p' "$path.manifest"
}
main_tree=$data_dir/$tree_kind
main_expected=0
if want smoke || want warm || want cold || want iowq; then
  log "generating the $tree_kind tree under $data_dir (kept for later runs)"
  main_expected=$(gen "$tree_kind")
  [ -n "$main_expected" ] || exit 1
fi
if want fuse || want latency || want busy; then
  small_tree=$data_dir/small
  small_expected=$(gen small)
  [ -n "$small_expected" ] || exit 1
fi
if want latency; then
  chunks_tree=$data_dir/chunks
  chunks_expected=$(gen chunks)
  [ -n "$chunks_expected" ] || exit 1
fi

# ---------------------------------------------------------------------------
# Jobs.
printf 'section\tround\tjob\tseconds\tuser\tsys\trss_kb\tentries\texpected\tload1\tstatus\tiowq_max\tserver_cpu\n' > "$out/results.tsv"
: > "$out/counts.tsv"
mkdir -p "$out/logs"

# job_cmd ID DIR: sets CMD (the command) and KIND (how to count its entries).
job_cmd() {
  local id=$1 dir=$2
  KIND=lines
  case "$id" in
    fsrake2-default) CMD=("$fsrake2" "$dir") ;;
    fsrake2-ring) CMD=("$fsrake2" --stat-mode ring "$dir") ;;
    fsrake2-statsync) CMD=("$fsrake2" --stat-mode sync "$dir") ;;
    fsrake2-t*) CMD=("$fsrake2" --threads "${id#fsrake2-t}" "$dir") ;;
    fsrake2-fixed-*)  # fsrake2-fixed-MODE-THREADS: no load control, as before it
      local rest=${id#fsrake2-fixed-}
      CMD=("$fsrake2" --no-adapt --stat-mode "${rest%-*}" --threads "${rest#*-}" "$dir") ;;
    fsrake2-sync-64) CMD=("$no_uring" "$fsrake2" "$dir") ;;
    fsrake2-sync-*) CMD=("$no_uring" "$fsrake2" --threads "${id#fsrake2-sync-}" "$dir") ;;
    floor-*-cap*)
      local rest=${id#floor-} m t c
      m=${rest%%-*}; rest=${rest#*-}; t=${rest%%-*}; c=${rest#*-cap}
      KIND=floor
      if [ "$c" = none ]; then CMD=("$floor" --mode "$m" --threads "$t" --sample-iowq "$dir")
      else CMD=("$floor" --mode "$m" --threads "$t" --iowq-cap "$c" --sample-iowq "$dir"); fi ;;
    floor-ring-*-defer)  # what deferred completions, which fsrake2 does not ask for, would give
      local t=${id#floor-ring-}; KIND=floor
      CMD=("$floor" --mode ring --threads "${t%-defer}" --setup defer "$dir") ;;
    floor-*) local rest=${id#floor-}; KIND=floor; CMD=("$floor" --mode "${rest%-*}" --threads "${rest#*-}" "$dir") ;;
    find) CMD=(find "$dir" -printf "$FIND_FMT") ;;
    bfs) CMD=(bfs "$dir" -printf "$FIND_FMT") ;;
    du) KIND=none; CMD=(du -s "$dir") ;;
    gdu) KIND=none; CMD=(gdu -n -p -c "$dir") ;;
    *) echo "run.sh: unknown job $id" >&2; exit 2 ;;
  esac
}

# Counts the io-wq threads (iou-wrk-*) of PID and its children until it ends.
sample_iowq() {
  local pid=$1 max=0 n f c p kids
  while kill -0 "$pid" 2>/dev/null; do
    n=0
    for p in "$pid" $(cat /proc/"$pid"/task/*/children 2>/dev/null); do
      for f in /proc/"$p"/task/*/comm; do
        read -r c < "$f" 2>/dev/null || continue
        case "$c" in iou-wrk-*) n=$((n + 1)) ;; esac
      done
    done
    [ $n -gt $max ] && max=$n
    sleep 0.02
  done
  echo $max
}

# CPU seconds (user + system) used so far by process PID, or "-".
cpu_of() {
  local f
  f=$(cat /proc/"$1"/stat 2>/dev/null) || { echo -; return; }
  f=${f##*) }  # after the command name; utime and stime are then fields 12 and 13
  echo "$f" | awk -v hz="$(getconf CLK_TCK)" '{ printf "%.2f", ($12 + $13) / hz }'
}
server_pid=""  # the stand-in serving the tree being walked, whose CPU is recorded per job

# run_job SECTION ROUND ID DIR EXPECTED [sample]
run_job() {
  local sec=$1 round=$2 id=$3 dir=$4 expected=$5 sample=${6:-}
  job_cmd "$id" "$dir"
  local base=$out/logs/$sec-$id-r$round
  case "$sec" in cold|*-cold) drop_caches ;; esac
  local load; load=$(cut -d' ' -f1 /proc/loadavg)
  local t0 t1 status=ok entries=- iowq=- pid wcpid="" scpu0=- scpu=-
  [ -n "$server_pid" ] && scpu0=$(cpu_of "$server_pid")
  local sink=$base.out
  if [ "$KIND" = lines ]; then  # count the lines as they come, without a file
    rm -f "$base.fifo"; mkfifo "$base.fifo"
    wc -l < "$base.fifo" > "$base.out" & wcpid=$!
    sink=$base.fifo
  fi
  local probe_pid=""
  if [ -n "${probe_file:-}" ]; then
    "$stat_probe" "$probe_file" > "$base.probe" & probe_pid=$!
  fi
  t0=$(date +%s%N)
  if [ -x /usr/bin/time ]; then
    /usr/bin/time -f '%e %U %S %M' -o "$base.time" "${CMD[@]}" > "$sink" 2>"$base.err" &
  else
    { TIMEFORMAT='%R %U %S 0'; time "${CMD[@]}" 2>"$base.err"; } > "$sink" 2>"$base.time" &
  fi
  pid=$!
  if [ -n "$sample" ]; then iowq=$(sample_iowq "$pid"); fi
  wait "$pid" || status=failed
  [ -n "$wcpid" ] && wait "$wcpid"
  t1=$(date +%s%N)
  if [ -n "$probe_pid" ]; then
    kill "$probe_pid"; wait "$probe_pid"
    # probe: N stats, median M ms, p90 P ms, max X ms
    printf '%s\t%s\t%s\t%s\n' "$sec" "$round" "$id" \
      "$(sed -n 's/^probe: [0-9]* stats, median \([0-9.]*\) ms, p90 \([0-9.]*\) ms.*/\1\t\2/p' "$base.probe")" >> "$out/probe.tsv"
  fi
  rm -f "$base.fifo"
  if [ "$scpu0" != - ]; then
    scpu=$(cpu_of "$server_pid")
    [ "$scpu" != - ] && scpu=$(awk -v a="$scpu0" -v b="$scpu" 'BEGIN { printf "%.2f", b - a }')
  fi
  local secs user sys rss
  read -r _ user sys rss < <(tail -1 "$base.time") || true
  [[ "${user:-}" =~ ^[0-9.]+$ ]] || { user=0; sys=0; rss=0; status=failed; }
  secs=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", (b - a) / 1e9 }')
  case "$KIND" in
    lines) entries=$(tr -d ' ' < "$base.out") ;;
    floor) entries=$(sed -n 's/.* entries=\([0-9]*\).*/\1/p' "$base.out")
           local m; m=$(sed -n 's/.* iowq_max=\([0-9]*\).*/\1/p' "$base.out"); [ -n "$m" ] && iowq=$m ;;
  esac
  [ -n "$entries" ] || entries=-
  if [ "$entries" != - ] && [ "$entries" != "$expected" ]; then
    status=mismatch
    mismatches=$((mismatches + 1))
    log "MISMATCH: $id saw $entries entries in $dir, the manifest says $expected"
  fi
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$sec" "$round" "$id" "$secs" "$user" "$sys" "$rss" \
    "$entries" "$expected" "$load" "$status" "$iowq" "$scpu" >> "$out/results.tsv"
  log "$sec r$round $id: ${secs}s user $user sys $sys rss ${rss}KB entries $entries io-wq $iowq $status${server_pid:+ stand-in CPU ${scpu}s}"
  return 0
}
mismatches=0

# With --jobs, the jobs of a section that are not in the list are left out.
picked() {
  local j
  for j in "$@"; do
    [ -z "$only_jobs" ] && { echo "$j"; continue; }
    case ",$only_jobs," in *",$j,"*) echo "$j" ;; esac
  done
}

# Rounds: every job once per round, the order rotated from round to round.
run_rounds() {  # SECTION ROUNDS DIR EXPECTED JOB...
  local sec=$1 rounds=$2 dir=$3 expected=$4; shift 4
  local jobs n r i
  mapfile -t jobs < <(picked "$@")
  n=${#jobs[@]}
  for ((r = 1; r <= rounds; r++)); do
    for ((i = 0; i < n; i++)); do
      run_job "$sec" "$r" "${jobs[$(((i + r - 1) % n))]}" "$dir" "$expected"
    done
  done
}

# du and gdu print no per-entry lines: count their view of the tree once.
check_counts() {  # TREE-LABEL DIR EXPECTED
  local label=$1 dir=$2 expected=$3 n
  if have du; then
    n=$(du -s -l --inodes "$dir" | cut -f1)
    printf '%s\tdu -sl --inodes\t%s\t%s\t%s\n' "$label" "$n" "$expected" "$([ "$n" = "$expected" ] && echo ok || echo MISMATCH)" >> "$out/counts.tsv"
    [ "$n" = "$expected" ] || { log "MISMATCH: du counted $n in $dir, expected $expected"; mismatches=$((mismatches + 1)); }
  fi
  if have gdu; then
    n=$(gdu -n -p -o - "$dir" 2>/dev/null | grep -o '"name":' | wc -l)
    printf '%s\tgdu -o (JSON items)\t%s\t%s\t%s\n' "$label" "$n" "$expected" "$([ "$n" = "$expected" ] && echo ok || echo MISMATCH)" >> "$out/counts.tsv"
    [ "$n" = "$expected" ] || { log "MISMATCH: gdu listed $n in $dir, expected $expected"; mismatches=$((mismatches + 1)); }
  fi
}

peers=()
have find && peers+=(find)
have bfs && peers+=(bfs)
have du && peers+=(du)
have gdu && peers+=(gdu)
fs_jobs=()
[ -n "$fsrake2" ] && fs_jobs=(fsrake2-default fsrake2-t1 fsrake2-t2 fsrake2-t8 fsrake2-t256 fsrake2-sync-2 fsrake2-sync-64)
# A scanner that chooses its metadata back end: each forced one beside the default.
[ -n "$fsrake2" ] && "$fsrake2" --help 2>&1 | grep -q -- --stat-mode && fs_jobs+=(fsrake2-ring fsrake2-statsync)
floor_jobs=(floor-sync-2 floor-sync-64 floor-ring-2 floor-ring-64)

if want smoke; then
  check_counts "$tree_kind" "$main_tree" "$main_expected"
  sm=()
  [ -n "$fsrake2" ] && sm=(fsrake2-default fsrake2-t2 fsrake2-sync-2)
  run_rounds smoke 1 "$main_tree" "$main_expected" "${sm[@]}" floor-sync-2 floor-ring-2 "${peers[@]}"
fi

if want warm; then
  log "warm section: $warm_rounds rounds on $main_tree"
  check_counts "$tree_kind" "$main_tree" "$main_expected"
  "$floor" --mode sync --threads 2 "$main_tree" > /dev/null  # load the cache
  run_rounds warm "$warm_rounds" "$main_tree" "$main_expected" "${fs_jobs[@]}" "${floor_jobs[@]}" \
    floor-ring-2-defer floor-ring-64-defer "${peers[@]}"
fi

if want cold; then
  log "cold section: $cold_rounds rounds on $main_tree, caches dropped before every run"
  run_rounds cold "$cold_rounds" "$main_tree" "$main_expected" "${fs_jobs[@]}" "${floor_jobs[@]}" "${peers[@]}"
fi

# io-wq: the kernel threads that fsrake2 and the floor start, and the worker
# cap per ring (IORING_REGISTER_IOWQ_MAX_WORKERS) that serves the floor best.
if want iowq; then
  if [ $smoke -eq 1 ]; then caps64=(none 2); caps2=(none); irounds=1
  else caps64=(none 1 2 4 8 16 32); caps2=(none 1 2 4 8 16); irounds=3; fi
  log "io-wq section on $main_tree"
  "$floor" --mode sync --threads 2 "$main_tree" > /dev/null
  for ((r = 1; r <= irounds; r++)); do
    [ -n "$fsrake2" ] && run_job iowq-warm "$r" fsrake2-default "$main_tree" "$main_expected" sample
    for c in "${caps64[@]}"; do run_job iowq-warm "$r" "floor-ring-64-cap$c" "$main_tree" "$main_expected"; done
    for c in "${caps2[@]}"; do run_job iowq-warm "$r" "floor-ring-2-cap$c" "$main_tree" "$main_expected"; done
  done
  if [ $can_drop -eq 1 ]; then
    [ -n "$fsrake2" ] && run_job iowq-cold 1 fsrake2-default "$main_tree" "$main_expected" sample
    for c in "${caps64[@]}"; do
      run_job iowq-cold 1 "floor-ring-64-cap$c" "$main_tree" "$main_expected"
    done
  fi
  if [ -n "$fsrake2" ] && [ $smoke -eq 0 ]; then
    run_job rss 1 fsrake2-t1024 "$main_tree" "$main_expected"
  fi
fi

# The latency-bound condition: the small tree through a FUSE daemon that waits
# before answering each request, with no attribute caching.
fuse_mnt=""
lat_mnt=""
cleanup() {
  if [ -n "$fuse_mnt" ] && mountpoint -q "$fuse_mnt" 2>/dev/null; then
    fusermount3 -u "$fuse_mnt" 2>/dev/null || umount -l "$fuse_mnt" 2>/dev/null
  fi
  lat_umount
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# Unmounts the latfs mount, if any, and waits for its daemon to end.
lat_umount() {
  [ -n "$lat_mnt" ] || return 0
  if mountpoint -q "$lat_mnt" 2>/dev/null; then
    fusermount3 -u "$lat_mnt" 2>/dev/null || umount -l "$lat_mnt" 2>/dev/null
  fi
  if [ -n "$server_pid" ]; then
    for _ in $(seq 50); do kill -0 "$server_pid" 2>/dev/null || break; sleep 0.1; done
    kill "$server_pid" 2>/dev/null  # still there after the unmount
    wait "$server_pid" 2>/dev/null
    server_pid=""
  fi
  lat_mnt=""
}

# lat_mount LABEL TREE PROGRAM [OPTIONS...]: mounts TREE through PROGRAM
# (latfs, or hangfs for comparison) at DATA_DIR/lat-mnt, in the foreground of a
# background job so that its pid is known (for its CPU time) and its report on
# unmount lands in the log.
lat_mount() {
  local label=$1 tree=$2 prog=$3
  shift 3
  lat_umount
  lat_mnt=$data_dir/lat-mnt
  mkdir -p "$lat_mnt"
  if mountpoint -q "$lat_mnt"; then  # left over from a run that was killed
    fusermount3 -u "$lat_mnt" 2>/dev/null || umount -l "$lat_mnt"
  fi
  lat_log=$out/logs/latfs-$label.err
  "$prog" -f "$@" "$tree" "$lat_mnt" 2>"$lat_log" &
  server_pid=$!
  for _ in $(seq 600); do
    mountpoint -q "$lat_mnt" && break
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
  done
  if ! mountpoint -q "$lat_mnt"; then
    log "$(basename "$prog") did not mount for $label, see $lat_log"
    lat_umount
    return 1
  fi
  echo "$label: the $(basename "$tree") tree through $(basename "$prog") $*" >> "$out/machine.txt"
  # The first walk makes the kernel's inodes for the mount: untimed.
  "$floor" --mode ring --threads 64 "$lat_mnt" > /dev/null 2>&1
  return 0
}

# lat_done LABEL: unmounts and keeps latfs's count of the requests it served.
lat_done() {
  lat_umount
  sed -n "s/^latfs: requests:/$1 requests (all walks, the untimed first one included):/p" "$lat_log" >> "$out/machine.txt"
}
build_hangfs() {
  if [ -z "$hangfs" ] && [ -f "$repo/tests/helpers/hangfs.c" ] && pkg-config --exists fuse3 2>/dev/null; then
    hangfs=$repo/build-bench-tools/hangfs
    mkdir -p "$(dirname "$hangfs")"
    # shellcheck disable=SC2046
    cc -O2 -Wall -o "$hangfs" "$repo/tests/helpers/hangfs.c" $(pkg-config --cflags --libs fuse3) -lpthread ||
      hangfs=""
  fi
}
if want fuse; then
  build_hangfs
  if [ -z "$hangfs" ] || [ ! -e /dev/fuse ] || ! have fusermount3; then
    log "no FUSE helper, /dev/fuse or fusermount3: the latency-bound condition is not measured"
    echo "fuse: not measured (no FUSE helper, /dev/fuse or fusermount3)" >> "$out/machine.txt"
  else
    fuse_mnt=$data_dir/fuse-mnt
    mkdir -p "$fuse_mnt"
    cleanup
    "$hangfs" --delay-us "$fuse_delay" --threads 128 "$small_tree" "$fuse_mnt" 2>"$out/logs/hangfs.err"
    for _ in $(seq 50); do mountpoint -q "$fuse_mnt" && break; sleep 0.1; done
    if ! mountpoint -q "$fuse_mnt"; then
      log "hangfs did not mount; the latency-bound condition is not measured"
    else
      echo "fuse: small tree through hangfs --delay-us $fuse_delay --threads 128" >> "$out/machine.txt"
      # The first walk after mounting makes the mount's inodes and was up to
      # twice as slow as the next ones: one untimed pass, charged to no job.
      "$floor" --mode ring --threads 64 "$fuse_mnt" > /dev/null 2>&1
      log "fuse section: delay ${fuse_delay}us per request, $fuse_rounds rounds of the parallel tools"
      # The single-threaded ones take minutes here: once each.
      one=()
      for j in ${fuse_once//,/ }; do
        case "$j" in
          fsrake2-*) [ -n "$fsrake2" ] && one+=("$j") ;;
          find|bfs|du|gdu) have "$j" && one+=("$j") ;;
          *) one+=("$j") ;;
        esac
      done
      par=(floor-ring-64 floor-sync-64 floor-ring-2)
      [ -n "$fsrake2" ] && par=(fsrake2-default fsrake2-t2 fsrake2-t8 fsrake2-t256 fsrake2-sync-64 fsrake2-t1 "${par[@]}")
      have gdu && par+=(gdu)
      run_rounds fuse "$fuse_rounds" "$fuse_mnt" "$small_expected" "${par[@]}"
      run_rounds fuse 1 "$fuse_mnt" "$small_expected" "${one[@]}"
      for c in none 1 4 16 64; do run_job iowq-fuse 1 "floor-ring-64-cap$c" "$fuse_mnt" "$small_expected"; done
      for c in none 16 64; do run_job iowq-fuse 1 "floor-ring-2-cap$c" "$fuse_mnt" "$small_expected"; done
      [ -n "$fsrake2" ] && run_job iowq-fuse 1 fsrake2-default "$fuse_mnt" "$small_expected" sample
    fi
    cleanup
  fi
fi

# The latency-bound condition on the latfs stand-in (see the top of this file).
want_lat() { case ",$lat_conditions," in *",$1,"*) return 0 ;; esac; return 1; }
if want latency; then
  if [ -z "$latfs" ] || [ ! -x "$latfs" ] || [ ! -e /dev/fuse ] || ! have fusermount3; then
    log "no latfs (libfuse3-dev), /dev/fuse or fusermount3: the latency section is not measured"
    echo "latency: not measured (no latfs, /dev/fuse or fusermount3)" >> "$out/machine.txt"
  else
    lat_opts=(--delay-us "$lat_delay" --max-inflight "$lat_cap")
    lat_fs=()
    if [ -n "$fsrake2" ]; then
      lat_fs=(fsrake2-default fsrake2-sync-64)
      "$fsrake2" --help 2>&1 | grep -q -- --stat-mode && lat_fs+=(fsrake2-ring fsrake2-statsync)
    fi
    if want_lat scale && lat_mount lat-scale "$chunks_tree" "$latfs" "${lat_opts[@]}"; then
      log "latency section: chunks tree, ${lat_delay}us per request, cap $lat_cap, $lat_rounds rounds"
      sc=(floor-sync-4 floor-sync-16 floor-sync-64 floor-sync-256 floor-ring-64)
      [ -n "$fsrake2" ] && sc+=(fsrake2-default)
      run_rounds lat-scale "$lat_rounds" "$lat_mnt" "$chunks_expected" "${sc[@]}"
      lat_done lat-scale
    fi
    if want_lat small && lat_mount lat-small "$small_tree" "$latfs" "${lat_opts[@]}"; then
      log "latency section: small tree, ${lat_delay}us per request, cap $lat_cap, $lat_rounds rounds"
      run_rounds lat-small "$lat_rounds" "$lat_mnt" "$small_expected" "${lat_fs[@]}" floor-ring-64 floor-sync-64
      lat_done lat-small
    fi
    if want_lat cached && [ "$lat_cache" != 0 ] &&
       lat_mount lat-cached "$small_tree" "$latfs" "${lat_opts[@]}" --readdirplus --attr-timeout "$lat_cache" --entry-timeout "$lat_cache"; then
      log "latency section: small tree with readdirplus and ${lat_cache}s timeouts, $lat_rounds rounds"
      run_rounds lat-cached "$lat_rounds" "$lat_mnt" "$small_expected" "${lat_fs[@]}" floor-ring-64 floor-sync-64
      lat_done lat-cached
    fi
    if want_lat ceiling && lat_mount lat-ceiling "$small_tree" "$latfs" --delay-us 0; then
      log "latency section: small tree with no delay (the CPU ceiling), $lat_rounds rounds"
      run_rounds lat-ceiling "$lat_rounds" "$lat_mnt" "$small_expected" "${lat_fs[@]}" \
        floor-ring-64 floor-sync-64 floor-ring-2 floor-sync-2
      lat_done lat-ceiling
    fi
    if want_lat hangfs; then
      build_hangfs
      if [ -n "$hangfs" ] && lat_mount lat-hangfs "$chunks_tree" "$hangfs" --delay-us "$lat_delay" --threads 128; then
        log "latency section: the old stand-in (hangfs) on the chunks tree, ${lat_delay}us per request, $lat_rounds rounds"
        run_rounds lat-hangfs "$lat_rounds" "$lat_mnt" "$chunks_expected" floor-sync-64 floor-sync-256 floor-ring-64
        lat_done lat-hangfs
      fi
    fi
  fi
fi

# The busy filer: latfs with a capacity, and a second client beside each job.
if want busy; then
  if [ -z "$latfs" ] || [ ! -x "$latfs" ] || [ -z "$stat_probe" ] || [ -z "$fsrake2" ] || [ ! -e /dev/fuse ] || ! have fusermount3; then
    log "no latfs, stat_probe, fsrake2, /dev/fuse or fusermount3: the busy section is not measured"
    echo "busy: not measured" >> "$out/machine.txt"
  elif lat_mount busy "$small_tree" "$latfs" --delay-us "$lat_delay" --max-inflight "$busy_cap"; then
    log "busy section: small tree, ${lat_delay}us per request, capacity $busy_cap, $busy_rounds rounds"
    probe_file=$(find "$lat_mnt" -maxdepth 3 -type f | head -1)
    bj=(fsrake2-default fsrake2-ring)
    for f in ${busy_sweep//,/ }; do bj+=("fsrake2-fixed-$f"); done
    mapfile -t bj < <(picked "${bj[@]}")
    for ((r = 1; r <= busy_rounds; r++)); do
      # The probe alone on the idle mount, then every job with it beside.
      "$stat_probe" --seconds 3 "$probe_file" > "$out/logs/busy-idle-r$r.probe"
      printf 'busy\t%s\tidle\t%s\n' "$r" \
        "$(sed -n 's/^probe: [0-9]* stats, median \([0-9.]*\) ms, p90 \([0-9.]*\) ms.*/\1\t\2/p' "$out/logs/busy-idle-r$r.probe")" >> "$out/probe.tsv"
      for ((i = 0; i < ${#bj[@]}; i++)); do
        run_job busy "$r" "${bj[$(((i + r - 1) % ${#bj[@]}))]}" "$lat_mnt" "$small_expected"
      done
    done
    probe_file=""
    lat_done busy
    # Medians over the rounds; the ratios of the targets.
    awk -F'\t' -v n="$small_expected" '
      function med(a, k,   m, i, j, t) { m = split(a, v, " "); for (i = 1; i <= m; i++) for (j = i + 1; j <= m; j++) if (v[j] < v[i]) { t = v[i]; v[i] = v[j]; v[j] = t }
                                         return m ? (m % 2 ? v[(m + 1) / 2] : (v[m / 2] + v[m / 2 + 1]) / 2) : 0 }
      FILENAME ~ /results/ && $1 == "busy" { secs[$3] = secs[$3] " " $4 }
      FILENAME ~ /probe/ && $1 == "busy" { p50[$3] = p50[$3] " " $4; p90[$3] = p90[$3] " " $5 }
      END {
        idle = med(p50["idle"]); idle90 = med(p90["idle"])
        printf "probe idle: median %.2f ms, p90 %.2f ms\n", idle, idle90
        best = ""; bestrate = 0
        for (j in secs) { r = n / med(secs[j]); rate[j] = r; if (j ~ /fixed/ && r > bestrate) { bestrate = r; best = j } }
        for (j in secs) printf "%-24s %8.0f entries/s  probe median %6.2f ms (%.2fx idle)  p90 %6.2f ms (%.2fx idle)\n", j, rate[j], med(p50[j]), med(p50[j]) / idle, med(p90[j]), med(p90[j]) / idle90
        printf "default vs the best fixed setting (%s): %.2fx; default vs --stat-mode ring: %.2fx\n", best, rate["fsrake2-default"] / bestrate, rate["fsrake2-default"] / rate["fsrake2-ring"]
      }' "$out/results.tsv" "$out/probe.tsv" > "$out/busy-summary.txt"
    cat "$out/busy-summary.txt" >&2
  fi
fi

summarize "$out"
if [ $mismatches -gt 0 ]; then
  log "$mismatches entry-count mismatches, see $out/results.tsv and $out/counts.tsv"
  exit 1
fi
log "done: $out"
exit 0
