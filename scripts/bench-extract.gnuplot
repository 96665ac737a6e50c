# Drawn by bench-extract.sh:
#   gnuplot -e "data='sweep.dat'; out='extract-bench.png'; subtitle='...'" bench-extract.gnuplot
# data columns: MiB, then median q1 q3 min max of the launcher's times (2-6),
# the baseline's times (7-11) and the per-pair ratios (12-16); times in seconds.
set terminal pngcairo size 960,600 font "Sans,11"
set output out
set title "Extracting and starting the installer under Wine\n{/*0.8 ".subtitle."}"
set logscale x 2
set xrange [0.8:640]
set xtics ("1" 1, "4" 4, "16" 16, "64" 64, "256" 256, "512" 512)
set xlabel "payload size (MiB)"
set ylabel "wall time per run (s)"
set yrange [0:*]
set grid
set key top left box opaque
# The two sides are drawn a little apart so that their bars stay readable.
plot data using ($1 * 0.96):2:3:4 with yerrorlines lw 2 pt 7 ps 1.2 \
       title "launcher: spawn -> package -> extracted installer", \
     data using ($1 * 1.04):7:8:9 with yerrorlines lw 2 pt 5 ps 1.2 dt 2 \
       title "baseline: dd bs=1M, spawn -> copy, one more start"
