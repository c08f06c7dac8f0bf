#!/bin/sh
# The solver kernel beside Gecode in one run: installs libgecode-dev when it is missing, builds the
# optimised tree's bench_fd_kernel and bench_fd_bool (make bench) and the native bench_fd_gecode
# (bench/gecode, in build/gecode), runs them and prints each kernel measure with its ratio to
# Gecode's propagations per second, and the Boolean circuit's time with its ratio to Gecode's
# time on the same circuit. Each program prints "name value" lines.
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
per_second=$(echo "$gecode_out" | awk '$1 == "queens12_propagations_per_second" { print $2 }')

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
