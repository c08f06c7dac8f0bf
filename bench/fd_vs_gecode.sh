#!/bin/sh
# The solver kernel beside Gecode in one run: installs libgecode-dev when it is missing, builds the
# optimised tree's bench_fd_kernel and bench_fd_bool (make bench) and the native bench_fd_gecode
# (bench/gecode, in build/gecode), runs them and prints each kernel measure with its ratio to
# Gecode's propagations per second, and the Boolean circuit's time with its ratio to Gecode's
# time on the same circuit; then the classic models of bench_fd beside Gecode's, row by row.
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
gecode_out=$("$gecode")
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
# and values, the time ratio and the driver's share of the solver's time. A value different
# from Gecode's (a count, an optimum) exits non-zero, as does a row bench_fd could not run.
models=build/release/bench/bench_fd
require "$models" "bench_fd is not built"
models_out=$("$models") || models_status=$?
echo "$models_out" | sed 's/^/models: /'
status=${models_status:-0}
for row in $(echo "$models_out" | awk '$1 ~ /_seconds$/ { sub(/_seconds$/, "", $1); print $1 }'); do
  figures=$(printf '%s\n%s\n' "$models_out" "$gecode_out" | awk -v row="$row" '
    { split($0, f, " ") }
    f[1] == row "_seconds" { s[n_s++] = f[2] }
    f[1] == row "_nodes" { nodes[n_n++] = f[2] }
    f[1] == row "_failures" { fails[n_f++] = f[2] }
    f[1] == row "_solutions" || f[1] == row "_optimum" { value[n_v++] = f[2] }
    f[1] == row "_driver_share" { share = f[2] }
    END {
      ratio = (s[1] > 0) ? sprintf("%.2f", s[0] / s[1]) : "?"
      same = (value[0] == value[1]) ? "same" : "DIFFERENT"
      printf "%s: %s s (Gecode %s s, ratio %s), nodes %s (Gecode %s), failures %s (Gecode %s), value %s (Gecode %s, %s), driver share %s\n",
        row, s[0], s[1], ratio, nodes[0], nodes[1], fails[0], fails[1], value[0], value[1], same, share
    }')
  echo "$figures"
  case "$figures" in *DIFFERENT*) status=1 ;; esac
done
exit "$status"
