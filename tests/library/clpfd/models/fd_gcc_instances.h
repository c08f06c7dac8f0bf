/* Random instances of the cardinality benchmarks, the same for the solver's bench_fd and for
 * bench_fd_gecode: a seed gives the instance on both sides. */
#ifndef QX_FD_GCC_INSTANCES_H
#define QX_FD_GCC_INSTANCES_H

#include <cstdint>
#include <vector>

#include "../driver/fd_circuit.h"

namespace fd_gcc_instances {

using rng = fd_circuit::rng;

/* Variables over the keys 0..nkeys-1, each count within lo..hi, optional costs per variable and
 * key. Built around a hidden assignment, so that a solution exists. */
struct cardinality {
  std::vector<std::vector<int>> doms;
  std::vector<int> lo, hi;
  std::vector<std::vector<int>> cost; /* empty without costs */
};

inline cardinality random_cardinality(uint64_t seed, int nvars, int nkeys, int maxcost)
{
  rng r{seed};
  cardinality c;
  std::vector<int> count(nkeys, 0);
  for (int i = 0; i < nvars; i++) {
    int hidden = r.below(nkeys);
    count[hidden]++;
    std::vector<int> d;
    for (int k = 0; k < nkeys; k++)
      if (k == hidden || r.below(2)) d.push_back(k);
    c.doms.push_back(d);
    if (maxcost > 0) {
      c.cost.push_back({});
      for (int k = 0; k < nkeys; k++) c.cost.back().push_back(1 + r.below(maxcost));
    }
  }
  for (int k = 0; k < nkeys; k++) {
    int lo = count[k] - r.below(3), hi = count[k] + r.below(3);
    c.lo.push_back(lo < 0 ? 0 : lo);
    c.hi.push_back(hi);
  }
  return c;
}

/* nvars variables with random domains within 1..nvals, N fixed to 4..7. */
struct distinct_values {
  std::vector<std::vector<int>> doms;
  int n;
};

inline distinct_values random_nvalue(uint64_t seed, int nvars, int nvals)
{
  rng r{seed};
  distinct_values v;
  for (int i = 0; i < nvars; i++) {
    std::vector<int> d;
    for (int k = 1; k <= nvals; k++)
      if (r.below(2)) d.push_back(k);
    if (d.empty()) d.push_back(1 + r.below(nvals));
    v.doms.push_back(d);
  }
  v.n = 4 + r.below(4);
  return v;
}

/* The benchmark rows' instances: ten seeds each. */
constexpr int INSTANCES = 10;
constexpr uint64_t SEED = 1000;
/* All solutions of an nvalue instance are counted up to this many. */
constexpr long NVALUE_LIMIT = 100000;
/* Every one of the ten instances has more (counted by both solvers). */
constexpr long NVALUE_SOLUTIONS = INSTANCES * NVALUE_LIMIT;
/* The least totals of the ten instances with costs, summed (both solvers agree). */
constexpr long COSTS_OPTIMUM = 4076;

}  // namespace fd_gcc_instances

#endif
