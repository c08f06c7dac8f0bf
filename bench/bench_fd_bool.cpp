/* All models of a random Boolean circuit (20 inputs, 80 gates, the last gate's output 1; the
 * generator and seed are those of bench/gecode), one bool/4 global per gate, searched by the
 * test driver: every signal labelled in order, 0 first. Prints the counts, the best time of
 * three runs, nodes per second and the driver's own share of the time (the time outside the
 * natives and the slow-path queries, measured in a fourth run) as "name value" lines. */
#include <chrono>

#include "../tests/library/clpfd/driver/fd_circuit.h"
#include "../tests/library/clpfd/driver/fd_driver.h"
#include "bench_fd_common.h"

int main(int argc, char **argv)
{
  uint64_t seed = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 20;
  BenchEngine e;
  ORVALIS_API_STRUCT *api = bench_fd::load_clpfd(e);
  fd_circuit::circuit c = fd_circuit::make(seed, 20, 80, 0, true);
  fd_driver::driver d(api);
  for (int s = 0; s < c.signals(); s++) d.new_var(0, 1);
  for (size_t g = 0; g < c.gates.size(); g++) {
    const fd_circuit::gate &gt = c.gates[g];
    if (d.post("bool",
               {fd_driver::driver::var(gt.a), fd_driver::driver::var(gt.b),
                fd_driver::driver::var(c.inputs + (int)g), fd_driver::driver::param(gt.op)}) != 1) {
      std::fprintf(stderr, "posting failed: %s\n", d.error().c_str());
      return 1;
    }
  }
  if (d.exclude(c.signals() - 1, 0) != 1) {
    std::fprintf(stderr, "the last gate cannot be 1\n");
    return 1;
  }
  fd_driver::driver::options o;
  fd_driver::counts best{};
  double best_seconds = 1e30;
  auto count_all = [](fd_driver::driver &) { return true; };
  for (int run = 0; run < 3; run++) {
    fd_driver::counts n;
    auto start = std::chrono::steady_clock::now();
    if (d.search({}, o, count_all, &n) != 1) {
      std::fprintf(stderr, "the search raised an exception\n");
      return 1;
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (seconds < best_seconds) best_seconds = seconds, best = n;
  }
  d.timing = true;
  auto start = std::chrono::steady_clock::now();
  fd_driver::counts n;
  d.search({}, o, count_all, &n);
  double total = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("circuit_solutions %llu\n", (unsigned long long)best.solutions);
  std::printf("circuit_nodes %llu\n", (unsigned long long)best.nodes);
  std::printf("circuit_failures %llu\n", (unsigned long long)best.failures);
  std::printf("circuit_seconds %.4f\n", best_seconds);
  std::printf("circuit_nodes_per_second %.0f\n", (double)best.nodes / best_seconds);
  std::printf("circuit_driver_share %.3f\n", (total - d.native_seconds()) / total);
  return 0;
}
