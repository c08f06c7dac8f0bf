/* Random instances of the cumulatives and sorting benchmarks, the same for the solver's bench_fd
 * and for bench_fd_gecode: a seed gives the instance on both sides. */
#ifndef QX_FD_SCHED_INSTANCES_H
#define QX_FD_SCHED_INSTANCES_H

#include <cstdint>
#include <vector>

#include "../driver/fd_circuit.h"

namespace fd_sched_instances {

using rng = fd_circuit::rng;

constexpr int INSTANCES = 10;
constexpr uint64_t SEED = 4511;

/* Tasks of fixed durations 1..4 and fixed heights on machines 1..3 (capacities per machine);
 * at most: heights -2..5 under capacities 3..5, one machine of capacity 5, so that every task
 * fits alone somewhere; at least: heights -1..4 over capacities 1..3. Horizon: the sum of the
 * durations, time enough to run the tasks one after the other. */
struct machines_instance {
  bool upper;
  std::vector<int> duration, height, capacity;
  int horizon = 0;
};

inline machines_instance random_machines(uint64_t seed, bool upper, int ntasks = 12, int nmachines = 3)
{
  rng r{seed};
  machines_instance in{upper, {}, {}, {}};
  for (int m = 0; m < nmachines; m++)
    in.capacity.push_back(upper ? (m == 0 ? 5 : 3 + r.below(3)) : 1 + r.below(3));
  for (int t = 0; t < ntasks; t++) {
    in.duration.push_back(1 + r.below(4));
    in.height.push_back(upper ? r.below(8) - 2 : r.below(6) - 1);
    in.horizon += in.duration.back();
  }
  return in;
}

/* The seeds of a mode's instances, offsets from SEED. Branch-and-bound on these models is short
 * or very long (minutes) with little in between; the lists keep instances that end within a
 * second in Gecode: at most, the instances among the first 41 whose search takes it at most
 * about 200000 nodes; at least, the first ten that end (the eighth runs for minutes). */
inline std::vector<uint64_t> machines_seeds(bool upper)
{
  std::vector<uint64_t> s;
  for (int k : upper ? std::vector<int>{1, 4, 5, 7, 10, 21, 27, 34, 37, 38}
                     : std::vector<int>{0, 1, 2, 3, 4, 5, 6, 8, 9, 10})
    s.push_back(SEED + (uint64_t)k);
  return s;
}

/* The sums of the optima of each mode's instances. */
constexpr long AT_MOST_OPTIMA = 41, AT_LEAST_OPTIMA = 39;

/* Twenty variables over 0..50, sorted: the side constraint is that the values of five random
 * variables sum to at least 100 + 0..49. */
constexpr int SORT_VARS = 20, SORT_MAX = 50, SORT_LIMIT = 10000;
struct sorting_instance {
  std::vector<int> subset;
  int least;
};

inline sorting_instance random_sorting(uint64_t seed)
{
  rng r{seed};
  sorting_instance in{{}, 100 + r.below(50)};
  while (in.subset.size() < 5) {
    int v = r.below(SORT_VARS);
    bool fresh = true;
    for (int u : in.subset) fresh &= u != v;
    if (fresh) in.subset.push_back(v);
  }
  return in;
}

}  // namespace fd_sched_instances

#endif
