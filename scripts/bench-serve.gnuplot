# Drawn by bench-serve.sh:
#   gnuplot -e "data='serve-bench.dat'; out='serve-bench.png'; subtitle='...'" bench-serve.gnuplot
# data columns: label, nginx MB/s, qpk serve MB/s, nginx req/s, qpk serve req/s, ratio.
set terminal pngcairo size 960,600 font "Sans,11"
set output out
set title "Per-download packages on loopback: qpk serve against nginx's static file\n{/*0.8 ".subtitle."}"
set style data histogram
set style histogram clustered gap 1
set style fill solid 0.8 border -1
set boxwidth 0.9
set ylabel "throughput (MB/s)"
set yrange [0:*]
set grid ytics
set key outside bottom center horizontal
set offsets 0, 0, graph 0.12, 0
plot data using 2:xtic(1) title "nginx, static file (sendfile)", \
     data using 3 title "qpk serve, stamped per request", \
     data using ($0 + 0.17):3:(sprintf("%.3g req/s\n%.2f x nginx", $5, $6)) with labels offset 0,1.8 notitle, \
     data using ($0 - 0.17):2:(sprintf("%.3g req/s", $4)) with labels offset 0,1 notitle
