# The listener's sweep: frames taken and delivery latency against the offered
# rate, for both CTS behaviours, with the line's floor. scripts/bench.sh calls
#   gnuplot -e "data='DIR/rates'; output='DIR/line_speed.png'" bench/line_speed.gp
# It reads DATA-with-answer.dat and DATA-after-rts.dat, whichever exist; columns:
# offered bus taken taken_floor latency_median latency_median_floor latency_p99 latency_p99_floor
have(f) = system("test -f '".f."' && echo 1 || echo 0") eq "1"
a = data."-with-answer.dat"
b = data."-after-rts.dat"
floorfile = have(a) ? a : b
blue = "lc rgb '#1f77b4'"
red = "lc rgb '#d62728'"

set terminal pngcairo size 1200,480 font ",10" noenhanced
set output output
set key top left
set grid
set multiplot layout 1,2 title "qeleib listener on the emulated BCU line (9600 baud, BCU reaction 1 ms, queue of 8 frames)"

set title "Frames taken"
set key bottom right
set xlabel "telegrams offered per second"
set ylabel "frames per second"
set xrange [0:52]
set yrange [0:52]
cmd = "plot floorfile using 1:2 with lines dt 3 lc rgb 'gray50' title 'on the bus', floorfile using 1:4 with lines dt 2 lw 2 lc rgb 'black' title 'floor'"
if (have(a)) cmd = cmd.", a using 1:3 with linespoints pt 7 lw 2 ".blue." title 'CTS drops with the answer'"
if (have(b)) cmd = cmd.", b using 1:3 with linespoints pt 5 lw 2 ".red." title 'CTS drops after RTS'"
eval cmd

set title "Delivery latency, bus to gate (median; p99 thin)"
set ylabel "ms"
set logscale y
set yrange [10:*]
set key top left
cmd = "plot floorfile using 1:6 with lines dt 2 lw 2 lc rgb 'black' title 'floor, median'"
if (have(a)) cmd = cmd.", a using 1:5 with linespoints pt 7 lw 2 ".blue." title 'CTS drops with the answer', a using 1:7 with lines lw 1 ".blue." notitle"
if (have(b)) cmd = cmd.", b using 1:5 with linespoints pt 5 lw 2 ".red." title 'CTS drops after RTS', b using 1:7 with lines lw 1 ".red." notitle"
eval cmd
unset multiplot
