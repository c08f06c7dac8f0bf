/* Pythagorean triples a < b, a*a + b*b = c*c with c at most cmax, posted through the driver: a, b
 * and c (variables 0, 1, 2) in 1..cmax, their squares (3, 4, 5) by x*x=y, a - b at most -1 and
 * the sum of the squares by scalar_product. Search: a, b, c in order, minimum value. The Gecode
 * program states the same model with mult for the squares and a bounds-consistent linear sum. */
#ifndef QX_FD_PYTHAG_H
#define QX_FD_PYTHAG_H

#include "fd_driver.h"

namespace fd_models {

inline bool pythagorean(fd_driver::driver &d, int cmax)
{
  using fd_driver::driver;
  for (int k = 0; k < 3; k++)
    if (d.new_var(1, cmax) != k) return false;
  for (int k = 0; k < 3; k++)
    if (d.new_var(1, cmax * cmax) != 3 + k) return false;
  for (int k = 0; k < 3; k++)
    if (d.post("x*x=y", {driver::var(k), driver::var(3 + k)}) != 1) return false;
  return d.post_linear({{1, 0}, {-1, 1}}, 1, -1) == 1 &&
         d.post_linear({{1, 3}, {1, 4}, {-1, 5}}, 3, 0) == 1;
}

inline std::vector<int> pythagorean_vars() { return {0, 1, 2}; }

}  // namespace fd_models

#endif
