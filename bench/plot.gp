# Median wall time of one whole request, per history, for the library and the
# two baselines. Reads bench/results/summary.dat (columns: history text_bytes
# library_s floor_s plain_s), which bench/run.sh writes before it runs
#   gnuplot -e "datafile='bench/results/summary.dat'; outfile='bench/results/wall_time.png'" bench/plot.gp
if (!exists("datafile")) datafile = 'bench/results/summary.dat'
if (!exists("outfile")) outfile = 'bench/results/wall_time.png'
set terminal pngcairo size 1000,620 font "DejaVu Sans,11"
set output outfile
set title "tolvane: median wall time of assembling the whole misc log (lower is better)"
set xlabel "history: archives x text per archive (the active log is one piece more, of the same size)"
set ylabel "median wall time (s, log scale)"
set logscale y
set yrange [0.001:60]
set format y "%g"
set grid ytics lc rgb "#dddddd"
set key top left box opaque
set style data histogram
set style histogram clustered gap 1
set style fill solid 0.85 border rgb "#333333"
set boxwidth 0.9
set xtics nomirror
set xrange [-0.6:3.6]
bw = 0.9 / 4.0   # the width of one bar of a cluster of three plus the gap
label(v) = v < 1 ? sprintf("%.3f", v) : (v < 10 ? sprintf("%.2f", v) : sprintf("%.1f", v))
plot datafile using 3:xtic(1) title "library: tolvane-getlog misc OUT" lc rgb "#c0392b", \
     ''       using 4 title "floor: the same commands, each through sh -c" lc rgb "#2471a3", \
     ''       using 5 title "plain: zcat of the archives, cat of the active log" lc rgb "#229954", \
     ''       using ($0 - bw):($3 * 1.25):(label($3)) with labels font ",9" notitle, \
     ''       using ($0):($4 * 1.25):(label($4)) with labels font ",9" notitle, \
     ''       using ($0 + bw):($5 * 1.25):(label($5)) with labels font ",9" notitle
