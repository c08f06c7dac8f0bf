#!/bin/sh
# The interpreter beside swipl -O in one run: installs swi-prolog-nox when it is missing, builds
# the optimised tree (make bench, or BUILD=dir for a tree already built), runs the interpreter's
# benchmark programs (search, a meta-interpreter, deep unification, arithmetic, list building,
# naive reverse, tak) and prints every line with the ratio of this system's time to swipl's,
# then their geometric mean and the largest; then the collector's loops (bench_gcloop) and the
# memory growths: a loop that cuts after binding its output (bench_cutloop), transient atoms
# beside a small and a large live heap (bench_atomgc), non-tail recursion over long lists
# (bench_deeprec), each at two sizes with time and peak memory.
set -e
cd "$(dirname "$0")/.."

if ! command -v swipl >/dev/null; then
  echo "installing: swi-prolog-nox"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq && apt-get install -y -qq swi-prolog-nox >/dev/null
fi
if [ -z "$BUILD" ]; then
  make release JOBS="${JOBS:-3}" >/dev/null
  BUILD=build/release
fi

for b in puzzle meta deep arith lists nrev tak; do
  "$BUILD/bench/bench_$b"
done | awk '
  / time ratio / { r = $NF; print; }
  / speed ratio / { r = 1 / $NF; print $0 "   time ratio " sprintf("%.2f", r); }
  / (time|speed) ratio / { n++; sum += log(r); if (r > max) max = r; }
  END { if (n) printf("geometric mean of %d time ratios: %.2f   largest: %.2f\n", n, exp(sum / n), max); }'
for b in gcloop cutloop atomgc deeprec; do
  "$BUILD/bench/bench_$b"
done
