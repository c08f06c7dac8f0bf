/* Random instances of minimum/2 and relation/3 shared by bench_fd and the Gecode program: the
 * same domains and maps from the same seeds on both sides. */
#ifndef QX_FD_RELATION_INSTANCES_H
#define QX_FD_RELATION_INSTANCES_H

#include <utility>
#include <vector>

#include "fd_circuit.h"

namespace fd_relation_instances {

/* Both rows search in input order from the smallest value and stop at this many solutions. */
constexpr long LIMIT = 10000;

/* minimum: Y in 0..99, 50 variables X_i in lo_i..hi_i. */
inline std::vector<std::pair<int, int>> minimum_domains(uint64_t seed)
{
  fd_circuit::rng g{seed};
  std::vector<std::pair<int, int>> d;
  for (int i = 0; i < 50; i++) d.push_back({g.below(20), 60 + g.below(40)});
  return d;
}

/* relation: a map on 0..199, X intervals of 1 to 4 values each relating to a Y set of up to
 * three intervals; pairs (x, y) of the map in order of x, then y. */
struct map_element {
  int xlo, xhi;
  std::vector<std::pair<int, int>> ys; /* ascending, disjoint, not adjacent */
};
inline std::vector<map_element> random_map(uint64_t seed)
{
  fd_circuit::rng g{seed};
  std::vector<map_element> m;
  for (int x = 0; x < 200;) {
    map_element e{x, std::min(199, x + g.below(4)), {}};
    for (int y = g.below(40), k = 0; k < 3 && y < 200; k++) {
      int hi = std::min(199, y + g.below(10));
      e.ys.push_back({y, hi});
      y = hi + 2 + g.below(60);
    }
    x = e.xhi + 1;
    m.push_back(e);
  }
  return m;
}

constexpr int TUPLES = 100;

}  // namespace fd_relation_instances

#endif
