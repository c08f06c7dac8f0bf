/* Packing squares with disjoint2/2 through the test driver: the smallest squares holding squares
 * 1..n (the first packing at the known side, none one below) and all tilings of the 33 x 32
 * rectangle by squares 1, 4, 7, 8, 9, 10, 14, 15, 18. Search: for each square, largest first, its
 * x then its y, smallest value (bench/gecode has the same model with nooverlap). */
#ifndef QX_BENCH_FD_PACKING_H
#define QX_BENCH_FD_PACKING_H

#include <algorithm>
#include <functional>
#include <vector>

#include "../tests/library/clpfd/driver/fd_driver.h"

namespace bench_fd_packing {

using fd_driver::driver;

/* The squares of the sides in a W x H box, searched for the first packing (all: every one);
 * bits are disjoint2's option bits. value: the packings found. */
inline bool pack(driver &d, std::vector<int> sides, int W, int H, int bits, bool all,
                 fd_driver::counts *c, long *value, bool cumulatives = false)
{
  std::sort(sides.rbegin(), sides.rend());
  std::vector<driver::tmpl> items;
  std::vector<int> order, xs, ys;
  for (int s : sides) {
    int x = d.new_var(0, W - s), y = d.new_var(0, H - s), l = d.new_var(s, s);
    items.push_back(driver::t_struct(
        "i", {driver::t_var(x), driver::t_attr(x), driver::t_var(l), driver::t_attr(l),
              driver::t_var(y), driver::t_attr(y), driver::t_var(l), driver::t_attr(l),
              driver::t_int(0)}));
    order.insert(order.end(), {x, y});
    xs.push_back(x), ys.push_back(y);
  }
  driver::tmpl opt = driver::t_struct("opt", {driver::t_int(bits), driver::t_int(0), driver::t_int(0),
                                              driver::t_int(0), driver::t_int(0), driver::t_atom("[]")});
  driver::tmpl list = driver::t_list(items), n = driver::t_int((int64_t)sides.size());
  int posted = d.post_state({"disjoint2", {list, opt}, {n, opt, list, n, driver::t_int(0)}});
  if (posted < 0) return false;
  if (cumulatives && posted == 1)
    posted = fd_driver::post_packing_cumulatives(d, xs, ys, sides, sides, W, H);
  if (posted < 0) return false;
  *c = {};
  if (posted == 1 && d.search(order, {}, [all](driver &) { return all; }, c) != 1) return false;
  *value = (long)c->solutions;
  return true;
}

inline std::vector<int> one_to(int n)
{
  std::vector<int> s;
  for (int k = 1; k <= n; k++) s.push_back(k);
  return s;
}

/* cumulatives: with one redundant cumulative per side */
template <int n, int side, int bits, bool cumulatives = false>
bool squares(driver &d, fd_driver::counts *c, long *value)
{
  return pack(d, one_to(n), side, side, bits, false, c, value, cumulatives);
}

template <int bits, bool cumulatives = false>
bool tiling33x32(driver &d, fd_driver::counts *c, long *value)
{
  return pack(d, {1, 4, 7, 8, 9, 10, 14, 15, 18}, 33, 32, bits, true, c, value, cumulatives);
}

}  // namespace bench_fd_packing

#endif
