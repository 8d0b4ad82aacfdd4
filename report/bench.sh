#!/usr/bin/env bash
# Benchmark of fsrake2-report (not a test): generates a synthetic scan of
# LINES lines in fsrake2's CSV format, loads it, and times every report.
# Usage: report/bench.sh BUILD_DIR [LINES]   (default 1000000)
set -euo pipefail
build="${1:?usage: report/bench.sh BUILD_DIR [LINES]}"
lines="${2:-1000000}"
bin="$build/report/fsrake2-report"
[ -x "$bin" ] || { echo "no $bin: build it first" >&2; exit 1; }
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# BENCH_CSV=FILE keeps the synthetic scan there (and reuses it if present).

# 10 top folders of 100 folders each, files spread evenly over those 1000
# folders; 20 owners, 30 extensions, sizes from 0 to some GiB, ten years of
# time stamps, one file in 50 with a second link in its folder.
gen() {
awk -v total="$lines" 'BEGIN {
    srand(42); now = 1733650000; dev = 2049; ino = 1000;
    split("txt log csv dat bin iso tar gz zip jpg png pdf doc xls c h cpp py sh json xml html mp4 mkv wav o so a tmp bak", ext, " ");
    ndirs = 1011; files = total - ndirs; per = int(files / 1000); extra = files - per * 1000;
    root = 2; print root ",0,-1,\"/bench\",\"\",0,0,4096," dev ",8,12,\"0040755\"," now "," now "," now ",10,40960";
    for (t = 0; t < 10; t++) {
        tino = ++ino; tp = "/bench/top" t;
        print tino "," root ",0,\"" tp "\",\"\",0,0,4096," dev ",8,102,\"0040755\"," now "," now "," now ",100,409600";
        for (d = 0; d < 100; d++) {
            dino = ++ino; dp = tp "/dir \"\"" d "\"\", part";  # quotes doubled, as in the CSV
            n = per + ((t * 100 + d) < extra ? 1 : 0);
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
echo "synthetic scan: $count lines, $((bytes / 1048576)) MiB"

t() { local s e; s=$(date +%s.%N); "$@" > "$work/out" 2> "$work/err" || { cat "$work/err" >&2; exit 1; }; e=$(date +%s.%N); echo "$e - $s" | bc; }
load=$(t "$bin" load --no-progress "$work/scan.csv" "$work/r.db")
printf '%-12s %8.2f s  %10.0f lines/s\n' load "$load" "$(echo "$count / $load" | bc -l)"
echo "database: $(( $(stat -c %s "$work/r.db") / 1048576 )) MiB"
for cmd in summary users groups extensions ages sizes biggest html; do
    printf '%-12s %8.2f s\n' "$cmd" "$(t "$bin" "$cmd" "$work/r.db")"
done
# A second scan into the same database (its indexes already there), then diff.
printf '%-12s %8.2f s\n' "2nd load" "$(t "$bin" load --no-progress --label again "$work/scan.csv" "$work/r.db")"
printf '%-12s %8.2f s\n' diff "$(t "$bin" diff "$work/r.db")"
