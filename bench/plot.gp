# Cost per page against the page's pixels, from filter_bench --plot=FILE.
# Usage: gnuplot -e "data='plot.dat'; out='performance-cost.png'" bench/plot.gp
set terminal pngcairo size 900,560 font "sans,11"
set output out
set title "Cost of one page against its pixels (text pages at 300, 600 and 1200 dpi; other classes at 600 dpi)"
set xlabel "pixels per page (millions)"
set ylabel "CPU ms per page"
set key bottom right
set grid
set xrange [0:140]
set yrange [0:*]
plot "< grep '^text-' ".data." | sort -g -k2" using ($2/1e6):3 with linespoints pt 7 ps 1.3 lw 2 title "(a) whole filter, text pages", \
     "< grep '^text-' ".data." | sort -g -k2" using ($2/1e6):4 with linespoints pt 6 ps 1.6 lw 1 dt 2 title "(b) encoder only, text pages", \
     "< grep -v '^text-' ".data using ($2/1e6):3:1 with labels left offset 1,0 point pt 5 ps 1 notitle
