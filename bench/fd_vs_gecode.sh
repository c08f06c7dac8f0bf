#!/bin/sh
# The solver kernel beside Gecode in one run: installs libgecode-dev when it is missing, builds the
# optimised tree's bench_fd_kernel and bench_fd_bool (make bench) and the native bench_fd_gecode
# (bench/gecode, in build/gecode), runs them and prints each kernel measure with its ratio to
# Gecode's propagations per second, and the Boolean circuit's time with its ratio to Gecode's
# time on the same circuit; then the classic models of bench_fd beside Gecode's, row by row, the
# two systems' runs of a row one after the other (so that a change in the machine's load falls
# on both), each Gecode model timed once (the indexical queens rows are Gecode's plain queens).
# Each program prints "name value" lines.
set -e
cd "$(dirname "$0")/.."

if ! dpkg-query -W -f='${Status}' libgecode-dev 2>/dev/null | grep -q 'install ok installed'; then
  echo "installing: libgecode-dev"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq && apt-get install -y -qq libgecode-dev >/dev/null
fi

JOBS=${JOBS:-3}
make release JOBS="$JOBS" >/dev/null
cmake -S bench/gecode -B build/gecode -G Ninja >/dev/null
cmake --build build/gecode -j "$JOBS" >/dev/null

# require PROGRAM MESSAGE: stop with MESSAGE when PROGRAM was not built.
require() {
  if [ ! -x "$1" ]; then
    echo "$2"
    exit 1
  fi
}

kernel=build/release/bench/bench_fd_kernel
gecode=build/gecode/bench_fd_gecode
require "$gecode" "bench_fd_gecode was not built (Gecode not found)"
gecode_out=$("$gecode" kernel)
echo "$gecode_out" | sed 's/^/gecode: /'
per_second=$(echo "$gecode_out" | awk '$1 == "kernel_queens12_propagations_per_second" { print $2 }')

require "$kernel" "bench_fd_kernel is not built"
"$kernel" | while read -r name value; do
  ratio=$(awk -v k="$value" -v g="$per_second" 'BEGIN { printf "%.3f", k / g }')
  echo "kernel: $name $value (ratio to Gecode's propagations per second: $ratio)"
done

driver=build/release/bench/bench_fd_bool
require "$driver" "bench_fd_bool is not built"
driver_out=$("$driver")
echo "$driver_out" | sed 's/^/driver: /'
gecode_seconds=$(echo "$gecode_out" | awk '$1 == "circuit_seconds" { print $2 }')
driver_seconds=$(echo "$driver_out" | awk '$1 == "circuit_seconds" { print $2 }')
ratio=$(awk -v d="$driver_seconds" -v g="$gecode_seconds" 'BEGIN { printf "%.3f", d / g }')
echo "circuit: time ratio to Gecode: $ratio"

# The models of bench_fd beside the same models in Gecode: per row both times, nodes, failures
# and values, the time ratio, the solver's propagator runs per second beside Gecode's propagations
# per second, and the driver's share of the solver's time. A value different from Gecode's (a
# count, an optimum) exits non-zero, as does a row bench_fd could not run.
models=build/release/bench/bench_fd
require "$models" "bench_fd is not built"
status=0
done_models=" "
for row in $("$models" list); do
  models_out=$("$models" "$row") || status=1
  echo "$models_out" | sed 's/^/models: /'
  all_models=$(printf '%s\n%s' "$all_models" "$models_out")
  # Gecode's model of the row, timed the first time a row needs it; its lines under the row's name
  model=${row%_ix}
  case "$done_models" in
  *" $model "*) ;;
  *)
    model_out=$("$gecode" "$model") || true
    echo "$model_out" | sed 's/^/gecode: /'
    gecode_rows=$(printf '%s\n%s' "$gecode_rows" "$model_out")
    done_models="$done_models$model "
    ;;
  esac
  row_gecode=$(echo "$gecode_rows" | awk -v m="$model" -v r="$row" \
    'index($1, m "_") == 1 { rest = substr($1, length(m) + 2); if (rest !~ /_/) print r "_" rest, $2 }')
  figures=$(printf '%s\n%s\n' "$models_out" "$row_gecode" | awk -v row="$row" '
    { split($0, f, " ") }
    f[1] == row "_seconds" { s[n_s++] = f[2] }
    f[1] == row "_nodes" { nodes[n_n++] = f[2] }
    f[1] == row "_failures" { fails[n_f++] = f[2] }
    f[1] == row "_solutions" || f[1] == row "_optimum" { value[n_v++] = f[2] }
    f[1] == row "_driver_share" { share = f[2] }
    f[1] == row "_runs" { runs = f[2] }
    f[1] == row "_propagations" { props = f[2] }
    END {
      if (n_s < 2) { printf "%s: MISSING figures\n", row; exit }
      ratio = (s[1] > 0) ? sprintf("%.2f", s[0] / s[1]) : "?"
      same = (value[0] == value[1]) ? "same" : "DIFFERENT"
      rate = (s[0] > 0) ? runs / s[0] : 0
      grate = (s[1] > 0) ? props / s[1] : 0
      rates = sprintf("runs/s %.0f (Gecode propagations/s %.0f, ratio %s)", rate, grate,
        grate > 0 ? sprintf("%.2f", rate / grate) : "?")
      printf "%s: %s s (Gecode %s s, ratio %s), nodes %s (Gecode %s), failures %s (Gecode %s), value %s (Gecode %s, %s), %s, driver share %s\n",
        row, s[0], s[1], ratio, nodes[0], nodes[1], fails[0], fails[1], value[0], value[1], same, rates, share
    }')
  summary=$(printf '%s\n%s' "$summary" "$figures")
  case "$figures" in *DIFFERENT* | *MISSING*) status=1 ;; esac
done
echo "$summary" | sed '/^$/d'

# The packings side by side: geost plain, geost with the options for exact fills, disjoint2 with
# one cumulative per side, Gecode's nooverlap with two cumulatives (its run of the plain geost
# row); milliseconds and failures, and the ratios of plain geost's time and of the option set's
# failures to Gecode's.
{
  echo "$all_models" | sed 's/^/ours /'
  echo "$gecode_rows" | sed 's/^/gecode /'
} | awk '
  $2 ~ /_(seconds|failures)$/ {
    what = $2; sub(/.*_/, "", what); name = $2; sub(/_[a-z]+$/, "", name)
    v[$1, name, what] = $3
  }
  function cell(side, row) {
    if (!((side, row, "seconds") in v)) return sprintf("%18s", "-")
    return sprintf("%10.1f ms %6d", v[side, row, "seconds"] * 1000, v[side, row, "failures"])
  }
  function ratio(a, b) { return (a != "" && b > 0) ? sprintf("%.2f", a / b) : "?" }
  END {
    printf "geost: %-13s %21s %21s %21s %21s  %s\n", "instance", "plain: ms failures",
      "options: ms failures", "disjoint2+cumul", "Gecode",
      "ratios: plain/Gecode time, options/Gecode failures"
    n = split("squares9_18 squares9_17 squares10_21 squares10_20 squares11_24 squares11_23 " \
      "squares12_27 squares12_26 tiling33x32", inst, " ")
    for (i = 1; i <= n; i++) {
      b = inst[i]
      printf "geost: %-13s %21s %21s %21s %21s  %s, %s\n", b, cell("ours", b "_geost"),
        cell("ours", b "_geost_slack"), cell("ours", b "_cumul"), cell("gecode", b "_geost"),
        ratio(v["ours", b "_geost", "seconds"], v["gecode", b "_geost", "seconds"]),
        ratio(v["ours", b "_geost_slack", "failures"], v["gecode", b "_geost", "failures"])
    }
  }'
exit "$status"
