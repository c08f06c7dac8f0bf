/* bench_fd's row of the domain-consistent linear equation: 3x1 + 5x2 + ... + 17x8 = 200 over
 * 0..9 as one ac_linear constraint, every solution by input order and smallest value first
 * (bench/gecode/gecode_aclinear.h is the same model with Gecode's domain-consistent linear). */
#ifndef QX_BENCH_FD_ACLINEAR_H
#define QX_BENCH_FD_ACLINEAR_H

#include <vector>

#include "../tests/library/clpfd/driver/fd_driver.h"

namespace bench_fd_aclinear {

constexpr int TERMS = 8;
constexpr int RHS = 200;
constexpr long SOLUTIONS = 96351;

inline bool equation8(fd_driver::driver &d, fd_driver::counts *c, long *value)
{
  using fd_driver::driver;
  std::vector<driver::lin_term> terms;
  for (int i = 0; i < TERMS; i++) terms.push_back({3 + 2 * i, d.new_var(0, 9)});
  if (d.post("ac_linear", {driver::terms(terms, true), driver::param(TERMS), driver::param(RHS)}) !=
      1)
    return false;
  if (d.search(
          {}, {}, [](driver &) { return true; }, c) != 1)
    return false;
  *value = (long)c->solutions;
  return true;
}

}  // namespace bench_fd_aclinear

#endif
