# Plots of a bench run: gnuplot -e "datadir='DIR'" bench/plot.gp
# DIR holds rates.dat, threads.dat and caps.dat written by run.sh.
set datafile separator "\t"
set datafile missing "-"
set terminal pngcairo size 1280,640 font ",10"
set grid ytics

set output datadir."/perf-rates.png"
set title "Entries per second by tool and condition (median of the rounds; log scale)"
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.85 border -1
set boxwidth 0.9
set logscale y
set yrange [100:*]
set ylabel "entries / s"
set xtics rotate by -35 scale 0 nomirror
set key top right
plot for [c=2:*] datadir."/rates.dat" using c:xtic(1) title columnheader(c)

unset style
set output datadir."/perf-threads.png"
set title "fsrake2 by worker threads (ring mode, default options otherwise)"
set style data linespoints
unset logscale y
set logscale x 2
set logscale y
set yrange [*:*]
set xrange [0.8:320]
set xlabel "threads"
set xtics (1, 2, 8, 64, 256) rotate by 0
plot for [c=2:*] datadir."/threads.dat" using 1:c title columnheader(c) lw 2 pt 7
