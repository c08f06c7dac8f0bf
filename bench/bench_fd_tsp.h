/* The asymmetric travelling-salesman instances of the tsp rows, shared by bench_fd and
 * bench_fd_gecode (standard library only): TSP_INSTANCES random cost matrices per size (costs
 * 1..100, fixed seeds), and the optimum of each by dynamic programming over subsets (the rows'
 * oracle). */
#ifndef QX_BENCH_FD_TSP_H
#define QX_BENCH_FD_TSP_H

#include <algorithm>
#include <cstdint>
#include <vector>

namespace bench_fd_tsp {

constexpr int TSP_INSTANCES = 10;

/* n x n costs row by row (cost[i * n + j] of going from node i to node j), 0 on the diagonal. */
inline std::vector<int> costs(int n, int k)
{
  uint64_t s = 4300 + 100 * (uint64_t)n + (uint64_t)k;
  std::vector<int> c((size_t)n * n, 0);
  for (int i = 0; i < n; i++)
    for (int j = 0; j < n; j++) {
      s = s * 6364136223846793005ULL + 1442695040888963407ULL;
      if (i != j) c[(size_t)i * n + j] = 1 + (int)((s >> 33) % 100);
    }
  return c;
}

/* The cheapest circuit through all n nodes (Held and Karp: the cheapest path from node 0 through
 * a set of nodes ending at each node). */
inline long optimum(const std::vector<int> &c, int n)
{
  const int64_t inf = (int64_t)1 << 40;
  size_t full = (size_t)1 << n;
  std::vector<int64_t> best(full * n, inf);
  best[1 * n + 0] = 0;
  for (size_t set = 1; set < full; set += 2)
    for (int last = 0; last < n; last++) {
      int64_t here = best[set * n + last];
      if (here >= inf) continue;
      for (int next = 1; next < n; next++)
        if (!(set >> next & 1)) {
          int64_t &to = best[(set | (size_t)1 << next) * n + next];
          to = std::min<int64_t>(to, here + c[(size_t)last * n + next]);
        }
    }
  int64_t answer = inf;
  for (int last = 1; last < n; last++)
    answer = std::min<int64_t>(answer, best[(full - 1) * n + last] + c[(size_t)last * n]);
  return (long)answer;
}

/* The optima of the TSP_INSTANCES instances of size n, summed. */
inline long optima(int n)
{
  long sum = 0;
  for (int k = 0; k < TSP_INSTANCES; k++) sum += optimum(costs(n, k), n);
  return sum;
}

}  // namespace bench_fd_tsp

#endif
