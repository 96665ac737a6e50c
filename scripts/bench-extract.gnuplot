# Drawn by bench-extract.sh:
#   gnuplot -e "data='sweep.dat'; out='extract-bench.png'; subtitle='...'" bench-extract.gnuplot
# data columns: MiB, launcher median/min/max, baseline median/min/max (seconds), ratios.
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
plot data using 1:2:3:4 with yerrorlines lw 2 pt 7 ps 1.2 \
       title "launcher: spawn -> package -> extracted installer", \
     data using 1:5:6:7 with yerrorlines lw 2 pt 5 ps 1.2 dt 2 \
       title "baseline: dd bs=1M, spawn -> copy, one more start"
