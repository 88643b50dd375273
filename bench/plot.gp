# The growth plot: cost per call of the method (against the mock and against
# the null driver), of its floor and of the mock driver alone, against input
# size or count; one panel per series and architecture. Lines join the
# medians; bars span min-max, cut off by the scale, which follows the medians.
# Usage: gnuplot -e "results='DIR'; arches='linux-x86_64 linux-x86'" bench/plot.gp
set terminal pngcairo size 1600,900 font ",9" noenhanced
set output results."/growth.png"
series = "Sign Decrypt FindObjects GetSlotList"
units = "input_bytes input_Base64_characters handles_found slots_listed"
rows = words(arches)
set multiplot layout rows,4 title "Varnel: cost per call against size (median; bars min-max)"
set key top left
set grid
set ylabel "ns per call"
set xrange [0:*]
set xtics rotate by 30 right
do for [a = 1:rows] {
  arch = word(arches, a)
  file = results."/growth-".arch.".dat"
  do for [s = 0:3] {
    set title arch." ".word(series, s + 1)
    set xlabel system("echo ".word(units, s + 1)." | tr _ ' '")
    top = 0
    set yrange [*:*]
    do for [c in "2 9 5 8"] {
      stats file index s using (column(int(c))) nooutput
      if (STATS_max > top) { top = STATS_max }
    }
    set yrange [0:top * 1.3]
    plot file index s using 1:2:3:4 with yerrorlines lw 2 title "method, mock driver", \
         file index s using 1:9:10:11 with yerrorlines lw 2 title "method, null driver", \
         file index s using 1:5:6:7 with yerrorlines lw 1 title "floor", \
         file index s using 1:8 with linespoints lw 1 dt 2 title "mock driver alone"
  }
}
unset multiplot
