/* Packing squares with disjoint2/2 or geost/4 through the test driver: the smallest squares
 * holding squares 1..n (the first packing at the known side, none one below), all tilings of the
 * 33 x 32 rectangle by squares 1, 4, 7, 8, 9, 10, 14, 15, 18, and the first tiling of the
 * order-21 squared square of side 112. Search: for each square, largest first, its x then its y,
 * smallest value (bench/gecode has the same model with nooverlap). */
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

/* The same packing with geost/4 (k = 2): an object per square, its shape the square's own
 * (identifiers in the order largest first), the bounding-box corners in 0..W and 0..H (fixed to
 * the box when tight), the fix switch and the volume 0; opt is the option word. */
inline bool pack_geost(driver &d, std::vector<int> sides, int W, int H, int opt, bool all,
                       bool tight, fd_driver::counts *c, long *value)
{
  using t = driver;
  std::sort(sides.rbegin(), sides.rend());
  int n = (int)sides.size();
  std::vector<t::tmpl> objects, sboxes, lows, ups;
  std::vector<int> order;
  for (int i = 0; i < n; i++) {
    int s = sides[i], shape = d.new_var(i, i), x = d.new_var(0, W - s), y = d.new_var(0, H - s);
    t::tmpl none = t::t_mutable(t::t_atom("none"));
    objects.push_back(t::t_struct("object", {t::t_int(i + 1), t::t_entry(shape),
                                             t::t_list({t::t_entry(x), t::t_entry(y)}), none, none}));
    sboxes.push_back(t::t_struct("sbox", {t::t_int(i), t::t_list({t::t_int(0), t::t_int(0)}),
                                          t::t_list({t::t_int(s), t::t_int(s)})}));
    order.insert(order.end(), {x, y});
  }
  for (int E : {W, H}) lows.push_back(t::t_entry(d.new_var(0, tight ? 0 : E)));
  for (int E : {W, H}) ups.push_back(t::t_entry(d.new_var(tight ? E : 0, E)));
  int fix = d.new_var(0, 0), volume = d.new_var(0, 0);
  std::vector<t::tmpl> args;
  for (const char *a : {"objects", "shapes", "options", "rules"}) args.push_back(t::t_atom(a));
  t::tmpl bb = t::t_struct("bb", {t::t_list(lows), t::t_list(ups)});
  t::posting p{"geost", args,
               {t::t_int(2), t::t_int(n), t::t_int(n), t::t_int(1), t::t_int(n), t::t_list(objects),
                t::t_list(sboxes), t::t_entry(fix), bb, t::t_entry(volume), t::t_int(opt),
                t::t_atom("[]"), t::t_list({t::t_list({})}), t::t_int(1000), t::t_atom("[]"),
                t::t_int(0), t::t_int(0)}};
  int posted = d.post_state(p);
  if (posted < 0) return false;
  *c = {};
  if (posted == 1 && d.search(order, {}, [all](driver &) { return all; }, c) != 1) return false;
  *value = (long)c->solutions;
  return true;
}

/* geost's options for exact and near-exact fills: vis-a-vis, corners, longest holes, floating
 * vis-a-vis, parallel conflicts, cumulative and disjunctive checks */
constexpr int GEOST_SLACK_OPTIONS = 0x100 | 0x200 | 0x1000 | 0x4000 | 0x40 | 0x10 | 0x2;

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

template <int n, int side, int opt>
bool squares_geost(driver &d, fd_driver::counts *c, long *value)
{
  return pack_geost(d, one_to(n), side, side, opt, false, false, c, value);
}

template <int opt>
bool tiling33x32_geost(driver &d, fd_driver::counts *c, long *value)
{
  return pack_geost(d, {1, 4, 7, 8, 9, 10, 14, 15, 18}, 33, 32, opt, true, true, c, value);
}

/* The order-21 squared square of side 112: the first tiling. */
const std::vector<int> SQUARED_SQUARE_112 = {2,  4,  6,  7,  8,  9,  11, 15, 16, 17, 18,
                                             19, 24, 25, 27, 29, 33, 35, 37, 42, 50};

template <int opt>
bool squared_square112_geost(driver &d, fd_driver::counts *c, long *value)
{
  return pack_geost(d, SQUARED_SQUARE_112, 112, 112, opt, false, true, c, value);
}

}  // namespace bench_fd_packing

#endif
