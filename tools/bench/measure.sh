# The measuring steps of the benchmark scripts (run.sh, compare.sh), sourced by them;
# they expect $work (the work directory) and $have_time (1 when /usr/bin/time is there).

# measure NAME CMD...: one run; appends "wall_seconds rss_kb cpu_seconds" to
# $work/NAME.samples. CPU time (user + system) is what the process itself used: on
# a busy machine it moves far less than the wall time.
measure() {
  local name=$1; shift
  local t0 t1 rss=0 cpu=0
  sync
  t0=$EPOCHREALTIME
  if [ $have_time = 1 ]; then
    /usr/bin/time -v -o "$work/time.txt" "$@" >/dev/null
    t1=$EPOCHREALTIME
    rss=$(awk -F: '/Maximum resident set size/ {gsub(/ /, "", $2); print $2}' "$work/time.txt")
    cpu=$(awk -F: '/User time|System time/ { s += $2 } END { print s + 0 }' "$work/time.txt")
  else
    "$@" >/dev/null
    t1=$EPOCHREALTIME
  fi
  awk -v a="$t0" -v b="$t1" -v r="$rss" -v c="$cpu" 'BEGIN { printf "%.6f %d %.2f\n", b - a, r, c }' >>"$work/$name.samples"
}

# median NAME [COLUMN]: of the wall times, or of another column of the samples.
median() {
  awk -v c="${2:-1}" '{ print $c }' "$work/$1.samples" | sort -n |
    awk '{ t[NR] = $1 } END { m = int((NR + 1) / 2); print (NR % 2) ? t[m] : (t[m] + t[m + 1]) / 2 }'
}
peak_kb() { awk 'BEGIN { m = 0 } $2 > m { m = $2 } END { print m }' "$work/$1.samples"; }
file_bytes() { stat -c %s "$1"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }
mb() { awk -v a="$1" 'BEGIN { printf "%.1f", a / 1e6 }'; }

clean_outputs() { rm -f "$work"/out.* "$work"/out.~* "$work"/out64.* "$work"/out64.~*; }
# Each command's output of the round before is deleted just before it runs (not
# timed). On a virtual machine that hands freed memory back to its host, pages
# freed a while ago are slow to use again: deleting every output at the start of a
# round made the last command of the round pay for that, the others not.
fresh() { for f in "$@"; do rm -f "$work/$f" "$work/${f%.*}.~${f##*.}"; done; }

