# Bar chart of the ratios ours / best peer, one bar per workload and one for memory,
# from the line at 1 on a log scale so 0.5x and 2x stand equally far from it (green:
# ours leads, red: ours trails).
#   gnuplot -e "data='compare.dat'; out='compare.svg'" chart.gp
set terminal svg size 900,480 dynamic font "sans,12"
set output out
set title "Ours / the best peer: time of each workload, then peak memory (below 1: ours leads)"
set logscale y 2
stats data using 2 nooutput
set yrange [(STATS_min < 0.125 ? STATS_min / 1.5 : 0.125) : (STATS_max > 64 ? STATS_max * 1.5 : 64)]
set offsets 0.6, 0.6, 0, 0
set ytics ("1/8" 0.125, "1/4" 0.25, "1/2" 0.5, "1" 1, "2" 2, "4" 4, "8" 8, "16" 16, "32" 32, "64" 64)
set grid ytics
set style fill solid 0.8 border -1
set xtics rotate by -30 left noenhanced
set key off
set arrow from graph 0, first 1 to graph 1, first 1 nohead lw 2 lc rgb "black"
set linetype 1 lc rgb "#2e8b57"
set linetype 2 lc rgb "#c0392b"
set bmargin 6
plot data using 0:2:($0 - 0.3):($0 + 0.3):(1):2:3:xtic(1) with boxxyerrorbars lc variable, \
     data using 0:($2 > 1 ? $2 * 1.25 : $2 / 1.25):(sprintf("%.2f", $2)) with labels
