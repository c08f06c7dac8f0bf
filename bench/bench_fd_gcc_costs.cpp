/* global_cardinality with costs: the time of a first post (propagation to its fixpoint) as the
 * instance grows, 8 keys and costs 1..50 (the random instances of bench_fd's gcc rows), and the
 * time of the propagation after one value is removed beside a fresh post of the same size.
 * Each figure is the least of REPEATS runs, each run under a query of its own (closing it
 * undoes the post). Prints "name value" lines; the growth ratio n = 160 to n = 40 last. */
#include <chrono>

#include "../tests/library/clpfd/driver/fd_driver.h"
#include "bench_fd_common.h"
#include "bench_fd_gcc.h"

namespace {

using fd_driver::driver;

constexpr int KEYS = 8, MAXCOST = 50, REPEATS = 11;

double now()
{
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

/* One run on a new instance of n variables: the post's time, and with remove the time of the
 * propagation after the first variable with two values or more loses its largest. -1 on a
 * failure. */
double run(ORVALIS_API_STRUCT *api, int n, bool remove)
{
  definition *true0 = QX_predicate("true", 0, "prolog");
  QX_query_ref q = QX_open_query(true0);
  if (QX_next_solution(q) != 1) return -1;
  double seconds = -1;
  {
    driver d(api);
    auto in = fd_gcc_instances::random_cardinality(fd_gcc_instances::SEED, n, KEYS, MAXCOST);
    std::vector<int> xs = bench_fd_gcc::vars_in(d, in.doms), keys, counts;
    for (int j = 0; j < KEYS; j++) keys.push_back(j), counts.push_back(d.new_var(in.lo[j], in.hi[j]));
    int cost = d.new_var(0, n * MAXCOST);
    double start = now();
    bool ok = bench_fd_gcc::post_gcc(d, xs, keys, counts, in.cost, cost);
    seconds = ok ? now() - start : -1;
    if (ok && remove) {
      seconds = -1;
      for (int x : xs) {
        std::vector<int32_t> dom = d.domain(x);
        if (dom.size() < 2) continue;
        start = now();
        if (d.exclude(x, dom.back()) >= 0) seconds = now() - start;
        break;
      }
    }
  }
  QX_close_query(q);
  return seconds;
}

double best(ORVALIS_API_STRUCT *api, int n, bool remove)
{
  double least = 1e30;
  for (int k = 0; k < REPEATS; k++) {
    double s = run(api, n, remove);
    if (s < 0) return -1;
    least = std::min(least, s);
  }
  return least;
}

}  // namespace

int main()
{
  BenchEngine e;
  ORVALIS_API_STRUCT *api = bench_fd::load_clpfd(e);
  double first[4];
  const int sizes[] = {20, 40, 80, 160};
  for (int k = 0; k < 4; k++) {
    first[k] = best(api, sizes[k], false);
    if (first[k] < 0) {
      std::printf("gcc_costs_post%d_error 1\n", sizes[k]);
      return 1;
    }
    std::printf("gcc_costs_post%d_ms %.3f\n", sizes[k], first[k] * 1000);
  }
  std::printf("gcc_costs_growth_160_to_40 %.1f\n", first[3] / first[1]);
  for (int n : {40, 160}) {
    double removal = best(api, n, true);
    if (removal < 0) {
      std::printf("gcc_costs_removal%d_error 1\n", n);
      return 1;
    }
    std::printf("gcc_costs_removal%d_ms %.3f\n", n, removal * 1000);
    std::printf("gcc_costs_fresh%d_ms %.3f\n", n, first[n == 40 ? 1 : 3] * 1000);
  }
  return 0;
}
