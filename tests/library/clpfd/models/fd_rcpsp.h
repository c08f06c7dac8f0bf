/* Random single-resource scheduling instances, shared by the solver's benchmarks and Gecode's:
 * tasks with durations and uses under one limit, and precedences i before j (i < j only, so a
 * DAG). Plain 64-bit arithmetic on the generator's words, the same on every compiler. */
#ifndef QX_FD_RCPSP_H
#define QX_FD_RCPSP_H

#include <cstdint>
#include <random>
#include <utility>
#include <vector>

namespace fd_rcpsp {

struct instance {
  std::vector<int> dur, use;
  std::vector<std::pair<int, int>> prec; /* (i, j): i ends before j starts */
  int limit = 8;
  int horizon() const
  {
    int h = 0;
    for (int d : dur) h += d;
    return h;
  }
};

/* n tasks, durations 1..10, uses 1..5, each pair i < j ordered with probability 1/4. */
inline instance random(uint64_t seed, int n = 15, int limit = 8)
{
  std::mt19937_64 g(seed);
  instance p;
  p.limit = limit;
  for (int i = 0; i < n; i++) {
    p.dur.push_back(1 + (int)(g() % 10));
    p.use.push_back(1 + (int)(g() % 5));
  }
  for (int i = 0; i < n; i++)
    for (int j = i + 1; j < n; j++)
      if (g() % 4 == 0) p.prec.push_back({i, j});
  return p;
}

constexpr uint64_t SEEDS[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};

}  // namespace fd_rcpsp

#endif
