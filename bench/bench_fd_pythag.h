/* bench_fd's row of Pythagorean triples: all 386 triples a < b, a*a + b*b = c*c with c at most
 * 500 (the squares by x*x=y, the sum by a linear equation; a, b, c in order, minimum value). */
#ifndef QX_BENCH_FD_PYTHAG_H
#define QX_BENCH_FD_PYTHAG_H

#include "../tests/library/clpfd/models/fd_pythag.h"

namespace bench_fd_pythag {

inline bool pythag500(fd_driver::driver &d, fd_driver::counts *c, long *value)
{
  auto count_all = [](fd_driver::driver &) { return true; };
  if (!fd_models::pythagorean(d, 500) ||
      d.search(fd_models::pythagorean_vars(), {}, count_all, c) != 1)
    return false;
  *value = (long)c->solutions;
  return true;
}

}  // namespace bench_fd_pythag

#endif
