# True versus estimated distance of a tarn session, from its CSV output.
#
#   tarn run --csv session.csv
#   gnuplot -e "csv='session.csv'; png='session.png'" tools/plot.gp
#
# Columns: seq,time_s,true_m,rtt_m,phase_m,final_m,conf,accepted; an empty
# field means that the estimator gave no distance for that procedure.
if (!exists("csv")) csv = 'session.csv'
if (!exists("png")) png = 'session.png'

set terminal png size 1100,600
set output png
set datafile separator ','
set key top right
set grid
set xlabel 'time (s)'
set ylabel 'distance (m)'
set title sprintf('%s: true and estimated distance', csv) noenhanced

plot csv using 2:3 skip 1 with lines lw 3 lc rgb '#999999' title 'true', \
     ''  using 2:4 skip 1 with points pt 7 ps 0.4 lc rgb '#1f77b4' title 'round-trip time', \
     ''  using 2:5 skip 1 with points pt 5 ps 0.4 lc rgb '#2ca02c' title 'phase', \
     ''  using 2:6 skip 1 with lines lw 1.5 lc rgb '#d62728' title 'final'
