#!/usr/bin/env bash
# Benchmark of fsrake2-report (not a test): generates a synthetic scan of
# LINES lines in fsrake2's CSV format, then loads it and times every report,
# side by side in the same run: a whole load of this build ("whole"), a
# rollup load of this build ("rollup", load --rollup), and optionally the
# same two loads of a reference build ("base" and "base_rollup", BASE=BUILD_DIR
# of another version, for example main's).
#
# Usage: [BASE=REF_BUILD_DIR] [RUNS=2] [BENCH_CSV=FILE] [ONLY="whole rollup"]
#        report/bench.sh BUILD_DIR [LINES]
#   LINES defaults to 1000000; FANOUT=N makes 10 * N folders. BENCH_CSV keeps the generated scan (and reuses
#   it if present: a real scan, such as the wide tree's, can be given there).
#   REPORTS=0 times the loads and the databases' sizes only.
#   Loads alternate between the kinds, RUNS times each; the table shows the
#   median wall time, CPU time (user + system, all threads), peak memory
#   (maximum resident set), and the ratios to the whole load of this build.
#
# A reference build of main in a folder of its own:
#   git archive main | tar -x -C /tmp/fr2-main && cmake -S /tmp/fr2-main -B /tmp/fr2-main/build \
#     -G Ninja -DFR2_BUILD_TESTS=OFF && ninja -C /tmp/fr2-main/build fsrake2-report
set -euo pipefail
build="${1:?usage: report/bench.sh BUILD_DIR [LINES]}"
lines="${2:-1000000}"
runs="${RUNS:-2}"
bin="$build/report/fsrake2-report"
[ -x "$bin" ] || { echo "no $bin: build it first" >&2; exit 1; }
base_bin=""
if [ -n "${BASE:-}" ]; then
    base_bin="$BASE/report/fsrake2-report"
    [ -x "$base_bin" ] || { echo "no $base_bin: build the reference first" >&2; exit 1; }
fi
work="$(mktemp -d "${BENCH_TMP:-/tmp}/fr2r-bench.XXXXXX")"
trap 'rm -rf "$work"' EXIT

# 10 top folders of FANOUT (default 100) folders each, files spread evenly
# over those folders; 20 owners, 30 extensions, sizes from 0 to some GiB, ten years of
# time stamps, one file in 50 with a second link in its folder.
gen() {
awk -v total="$lines" -v fanout="${FANOUT:-100}" 'BEGIN {
    srand(42); now = 1733650000; dev = 2049; ino = 1000;
    split("txt log csv dat bin iso tar gz zip jpg png pdf doc xls c h cpp py sh json xml html mp4 mkv wav o so a tmp bak", ext, " ");
    ndirs = 11 + 10 * fanout; files = total - ndirs; per = int(files / (10 * fanout)); extra = files - per * 10 * fanout;
    root = 2; print root ",0,-1,\"/bench\",\"\",0,0,4096," dev ",8,12,\"0040755\"," now "," now "," now ",10,40960";
    for (t = 0; t < 10; t++) {
        tino = ++ino; tp = "/bench/top" t;
        print tino "," root ",0,\"" tp "\",\"\",0,0,4096," dev ",8," fanout + 2 ",\"0040755\"," now "," now "," now "," fanout "," fanout * 4096;
        for (d = 0; d < fanout; d++) {
            dino = ++ino; dp = tp "/dir \"\"" d "\"\", part";  # quotes doubled, as in the CSV
            n = per + ((t * fanout + d) < extra ? 1 : 0);
            print dino "," tino ",1,\"" dp "\",\"\"," (d % 20) "," (d % 7) ",4096," dev ",8,2,\"0040755\"," now "," now "," now "," n "," n * 1000;
            for (f = 0; f < n; f++) {
                e = ext[1 + int(rand() * 30)];
                size = sprintf("%.0f", int(rand() ^ 6 * 4e9)); blocks = sprintf("%.0f", int(size / 512));  # no 1e9 forms
                age = int(rand() ^ 2 * 3650 * 86400);
                uid = 1000 + int(rand() * 20);
                if (f % 50 == 1) { fino = last; nl = 2 } else { fino = ++ino; nl = 1; last = fino }
                print fino "," dino ",2,\"" dp "/file" f "." e "\",\"" e "\"," uid "," uid "," size "," dev "," blocks "," nl ",\"0100644\"," now - age "," now - age - 86400 "," now - age ",-1,0";
            }
        }
    }
}'
}
if [ -n "${BENCH_CSV:-}" ]; then
    [ -s "$BENCH_CSV" ] || gen > "$BENCH_CSV"
    ln -sf "$(realpath "$BENCH_CSV")" "$work/scan.csv"
else
    gen > "$work/scan.csv"
fi
count=$(wc -l < "$work/scan.csv")
bytes=$(stat -L -c %s "$work/scan.csv")
echo "synthetic scan: $count lines, $((bytes / 1048576)) MiB; $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"

# One timed command: "wall cpu maxrss_kb" on standard output.
measure() {
    /usr/bin/time -f "%e %U %S %M" -o "$work/time" "$@" > "$work/out" 2> "$work/err" ||
        { cat "$work/err" >&2; exit 1; }
    awk '{ printf "%.2f %.2f %d\n", $1, $2 + $3, $4 }' "$work/time"
}
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

declare -A wall cpu mem size
record() {  # name key "wall cpu kb"
    local w c m
    read -r w c m <<< "$3"
    printf '  %s %s: %s s wall, %s s CPU, %d MiB\n' "$1" "$2" "$w" "$c" "$((m / 1024))" >&2  # as it goes
    wall[$1/$2]+="$w "
    cpu[$1/$2]+="$c "
    mem[$1/$2]+="$m "
}
names=(whole rollup)
[ -n "$base_bin" ] && names=(base base_rollup whole rollup)
[ -n "${ONLY:-}" ] && read -r -a names <<< "$ONLY"
binary() { [[ $1 == base* ]] && echo "$base_bin" || echo "$bin"; }
kind() { [[ $1 == *rollup ]] && echo --rollup || echo --no-progress; }

for ((r = 0; r < runs; r++)); do
    for n in "${names[@]}"; do
        rm -f "$work/$n.db"
        record "$n" load "$(measure "$(binary "$n")" load --no-progress "$(kind "$n")" "$work/scan.csv" "$work/$n.db")"
    done
done
for n in "${names[@]}"; do
    size[$n]=$(stat -c %s "$work/$n.db")
    echo "$n database: $((size[$n] / 1048576)) MiB, $((size[$n] / count)) bytes per line, $(echo "${size[$n]} / $count * 1000000000 / 1073741824" | bc -l | xargs printf '%.1f') GiB at a billion lines"
done
if [ -n "${size[whole]:-}" ] && [ -n "${size[rollup]:-}" ]; then
    printf 'rollup/whole database: %.3fx\n' "$(echo "${size[rollup]} / ${size[whole]}" | bc -l)"
fi
reports=(summary users groups extensions ages sizes biggest html)
[ "${REPORTS:-1}" = 0 ] && reports=()
for c in "${reports[@]}" $([ "${REPORTS:-1}" = 0 ] || echo cold); do
    for n in "${names[@]}"; do
        [ "$c" = cold ] && [[ $n == base* ]] && continue  # not in every version
        record "$n" "$c" "$(measure "$(binary "$n")" "$c" "$work/$n.db")"
    done
done
# A second scan into the same database (its indexes already there), then diff.
for n in "${names[@]}"; do
    [ "${REPORTS:-1}" = 0 ] && break
    record "$n" "2nd load" "$(measure "$(binary "$n")" load --no-progress "$(kind "$n")" --label again "$work/scan.csv" "$work/$n.db")"
    record "$n" diff "$(measure "$(binary "$n")" diff "$work/$n.db")"
    record "$n" "html (2 scans)" "$(measure "$(binary "$n")" html "$work/$n.db")"
done

printf '\n%-15s' step
for n in "${names[@]}"; do printf ' %10s %8s %8s' "$n wall" "cpu" "MiB"; done
for n in "${names[@]}"; do [ "$n" != whole ] && [ -n "${wall[whole/load]:-}" ] && printf ' %12s' "$n/whole"; done
printf '\n'
steps=(load "${reports[@]}" cold "2nd load" diff "html (2 scans)")
[ "${REPORTS:-1}" = 0 ] && steps=(load)
for step in "${steps[@]}"; do
    printf '%-15s' "$step"
    for n in "${names[@]}"; do
        if [ -z "${wall[$n/$step]:-}" ]; then printf ' %10s %8s %8s' - - -; continue; fi
        w=$(echo "${wall[$n/$step]}" | tr ' ' '\n' | grep . | median)
        c=$(echo "${cpu[$n/$step]}" | tr ' ' '\n' | grep . | median)
        m=$(echo "${mem[$n/$step]}" | tr ' ' '\n' | grep . | sort -n | tail -1)
        printf ' %9.2fs %7.2fs %8d' "$w" "$c" "$((m / 1024))"
        eval "last_$n=$w"
    done
    for n in "${names[@]}"; do
        [ "$n" = whole ] || [ -z "${wall[whole/load]:-}" ] && continue
        if [ -n "${wall[$n/$step]:-}" ] && [ -n "${wall[whole/$step]:-}" ] &&
            [ "$(echo "$last_whole > 0" | bc)" = 1 ]; then
            printf ' %11.2fx' "$(eval echo "\$last_$n / \$last_whole" | bc -l)"
        else
            printf ' %12s' -
        fi
    done
    printf '\n'
done
for n in "${names[@]}"; do
    w=$(echo "${wall[$n/load]}" | tr ' ' '\n' | grep . | median)
    c=$(echo "${cpu[$n/load]}" | tr ' ' '\n' | grep . | median)
    printf '%s load: %.0f lines/s wall, %.0f lines per CPU-second\n' "$n" \
        "$(echo "$count / $w" | bc -l)" "$(echo "$count / $c" | bc -l)"
done
# This build against the reference, load by load.
for pair in "whole base" "rollup base_rollup"; do
    read -r a b <<< "$pair"
    [ -n "${wall[$a/load]:-}" ] && [ -n "${wall[$b/load]:-}" ] || continue
    wa=$(echo "${wall[$a/load]}" | tr ' ' '\n' | grep . | median)
    wb=$(echo "${wall[$b/load]}" | tr ' ' '\n' | grep . | median)
    printf '%s/%s load wall: %.3fx\n' "$a" "$b" "$(echo "$wa / $wb" | bc -l)"
done
