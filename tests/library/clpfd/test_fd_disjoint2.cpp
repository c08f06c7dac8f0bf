/* disjoint2/2 against a brute-force relation through the shared harness: variable lengths
 * (0 included), wrap-around, margins between item types, lean mode, decomposition; one filter
 * pass against its own rule; edge cases; solution counts and known packings. */
#include <algorithm>
#include <array>

#include "fd_globals.h"
#include "fd_harness.h"

namespace {

using fd_harness::domain;
using fd_harness::driver;
using fd_harness::instance;
using fd_harness::rng;
using fd_harness::row;
using fd_harness::tuple;

/* An instance's data: bits, borders L0 R0 L1 R1, then per item its type, then the margins
 * (type1, type2, d0, d1; a negative amount stands for a non-integer: unbounded). The variables
 * are X, W, Y, H of each item in turn. */
constexpr int D_BITS = 0, D_BORDERS = 1, D_TYPES = 5;
constexpr int64_t UNBOUNDED = 1 << 29; /* beyond any distance between two origins */

int items(const instance &in) { return (int)in.doms.size() / 4; }
int64_t type_of(const instance &in, int i) { return in.data[D_TYPES + i]; }
int margins_at(const instance &in) { return D_TYPES + items(in); }

/* The largest margin of the entries (a, b, ...) in dimension d, -1 when there is none. */
int64_t margin(const instance &in, int64_t a, int64_t b, int d)
{
  int64_t m = -1;
  if (!(in.data[D_BITS] & 8)) return m;
  for (size_t e = margins_at(in); e + 3 < in.data.size(); e += 4)
    if (in.data[e] == a && in.data[e + 1] == b) {
      int64_t v = in.data[e + 2 + d];
      m = std::max(m, v < 0 ? UNBOUNDED : v);
    }
  return m;
}

/* Items i and j meet, j shifted by k0, k1 periods: both have positive lengths, or a margin entry
 * names their types (then lengths 0 count too), and they overlap in both dimensions with the
 * margins added. */
bool meet(const instance &in, const tuple &x, int i, int j, int k0, int k1)
{
  int64_t a = type_of(in, i), b = type_of(in, j);
  bool named = margin(in, a, b, 0) >= 0 || margin(in, b, a, 0) >= 0;
  const int64_t *p = &x[4 * i], *q = &x[4 * j];
  if (!named && (p[1] == 0 || p[3] == 0 || q[1] == 0 || q[3] == 0)) return false;
  for (int d = 0; d < 2; d++) {
    int64_t period = in.data[D_BORDERS + 2 * d + 1] - in.data[D_BORDERS + 2 * d];
    int64_t oj = q[2 * d] + (d == 0 ? k0 : k1) * period;
    int64_t mab = std::max<int64_t>(margin(in, a, b, d), 0), mba = std::max<int64_t>(margin(in, b, a, d), 0);
    if (p[2 * d] + p[2 * d + 1] + mab <= oj || oj + q[2 * d + 1] + mba <= p[2 * d]) return false;
  }
  return true;
}

bool sat(const instance &in, const tuple &x)
{
  int w0 = in.data[D_BITS] & 2 ? 1 : 0, w1 = in.data[D_BITS] & 4 ? 1 : 0;
  for (int i = 0; i < items(in); i++)
    for (int j = i; j < items(in); j++)
      for (int k0 = -w0; k0 <= w0; k0++)
        for (int k1 = -w1; k1 <= w1; k1++)
          if ((i != j || k0 || k1) && meet(in, x, i, j, k0, k1)) return false;
  return true;
}

/* The option variants: the redundant bits lean, decomposition, global, synchronization. */
constexpr int VARIANT_BITS[] = {0, 0x20, 0x1, 0x10, 0x40, 0x71};

driver::tmpl amount(int64_t v) { return v < 0 ? driver::t_atom("sup") : driver::t_int(v); }

driver::posting posting(const instance &in, const std::vector<int> &vars)
{
  std::vector<driver::tmpl> its, ms;
  for (int i = 0; i < items(in); i++) {
    std::vector<driver::tmpl> a;
    for (int k = 0; k < 4; k++) {
      a.push_back(driver::t_var(vars[4 * i + k]));
      a.push_back(driver::t_attr(vars[4 * i + k]));
    }
    a.push_back(driver::t_int(type_of(in, i)));
    its.push_back(driver::t_struct("i", a));
  }
  for (size_t e = margins_at(in); e + 3 < in.data.size(); e += 4)
    ms.push_back(driver::t_struct("m", {driver::t_int(in.data[e]), driver::t_int(in.data[e + 1]),
                                        amount(in.data[e + 2]), amount(in.data[e + 3])}));
  std::vector<driver::tmpl> opt = {driver::t_int(in.data[D_BITS] | VARIANT_BITS[in.variant])};
  for (int k = 0; k < 4; k++) opt.push_back(driver::t_int(in.data[D_BORDERS + k]));
  opt.push_back(driver::t_list(ms));
  driver::tmpl o = driver::t_struct("opt", opt), list = driver::t_list(its);
  int64_t n = items(in);
  return driver::posting{"disjoint2",
                         {list, o},
                         {driver::t_int(n), o, list, driver::t_int(n), driver::t_int(0)}};
}

/* 2..4 items over 0..5 with holes, lengths 0..3 (often fixed); wrap, margins and the redundant
 * options in some. */
instance generate(rng &g)
{
  instance in;
  int bits = g.below(4) == 0 ? 0 : (g.below(2) ? 2 : 0) | (g.below(2) ? 4 : 0) | (g.below(2) ? 8 : 0);
  if (g.below(2)) bits |= VARIANT_BITS[1 + g.below(5)]; /* walks with the redundant options too */
  in.data = {bits, 0, 5 + g.below(2), 0, 5 + g.below(2)};
  int n = 2 + g.below(3);
  for (int i = 0; i < n; i++) {
    for (int k = 0; k < 4; k++) {
      if (k % 2 == 0) {
        int lo = g.below(4), hi = std::min<int>(lo + 1 + g.below(2), (int)in.data[D_BORDERS + k + 1] - 1);
        in.doms.push_back(fd_harness::random_domain(g, lo, hi, n > 3 ? 0 : 25));
      } else {
        int lo = g.below(3);
        in.doms.push_back(fd_oracle::range(lo, lo + (g.below(2) && n < 4 ? 1 : 0)));
      }
    }
    in.data.push_back(g.below(2));
  }
  if (bits & 8)
    for (int e = g.below(3); e >= 0; e--)
      in.data.insert(in.data.end(), {g.below(2), g.below(2), g.below(4) - 1, g.below(3)});
  return in;
}

/* Rewrites argument `arg` (from 1) of the state template. */
std::function<void(driver::posting &)> set_arg(int arg, driver::tmpl t)
{
  return [arg, t](driver::posting &p) { p.state[arg - 1] = t; };
}
/* Applies f to the first item of the state's list. */
std::function<void(driver::posting &)> on_item(std::function<void(driver::tmpl &)> f)
{
  return [f](driver::posting &p) { f(p.state[2].args[0]); };
}

row disjoint2_row()
{
  row r;
  r.name = "disjoint2";
  r.generate = generate;
  r.sat = sat;
  r.posting = posting;
  r.variants = {0, 1, 2, 3, 4, 5};
  r.instances = 90;
  using T = driver::tmpl;
  r.mutations = {
      {"count above the list", set_arg(1, driver::t_int(9))},
      {"count below the list", set_arg(1, driver::t_int(1))},
      {"improper item list", [](driver::posting &p) {
         p.state[2] = driver::t_improper(p.state[2].args, driver::t_atom("x"));
       }},
      {"item of 8 arguments", on_item([](T &i) { i.args.pop_back(); })},
      {"item not a structure", on_item([](T &i) { i = driver::t_int(3); })},
      {"origin pair without attribute", on_item([](T &i) { i.args[1] = driver::t_int(0); })},
      {"length pair of two variables", on_item([](T &i) { i.args[3] = i.args[2]; })},
      {"options an atom", set_arg(2, driver::t_atom("opt"))},
      {"options of 3 arguments", set_arg(2, driver::t_struct("opt", {driver::t_int(0), driver::t_int(0),
                                                                      driver::t_int(0)}))},
      {"wrap borders reversed", set_arg(2, driver::t_struct("opt", {driver::t_int(2), driver::t_int(5),
                                                                     driver::t_int(5), driver::t_int(0),
                                                                     driver::t_int(0), driver::t_atom("[]")}))},
      {"margins not a list", set_arg(2, driver::t_struct("opt", {driver::t_int(8), driver::t_int(0),
                                                                  driver::t_int(0), driver::t_int(0),
                                                                  driver::t_int(0), driver::t_atom("m")}))},
      {"margin entry an integer", set_arg(2, driver::t_struct("opt", {driver::t_int(8), driver::t_int(0),
                                                                       driver::t_int(0), driver::t_int(0),
                                                                       driver::t_int(0),
                                                                       driver::t_list({driver::t_int(1)})}))},
      {"ntargets above the count", set_arg(4, driver::t_int(9))},
      {"ntargets negative", set_arg(4, driver::t_int(-1))},
      {"nsources beyond the items", set_arg(5, driver::t_int(3))},
      {"ntargets an atom", set_arg(4, driver::t_atom("a"))},
  };
  return r;
}

std::vector<int64_t> values_of(const domain &d)
{
  std::vector<int64_t> v;
  for (auto [l, h] : d.iv)
    for (int64_t x = l; x <= h; x++) v.push_back(x);
  return v;
}

/* The fixpoint of the sweep on one target against fixed sources: in each dimension the new
 * bounds are the extreme origins at which some value of the other origin's domain, holes
 * included, is covered by no source (the domain is cut at them only). The target is item 0;
 * sources that meet fail. */
bool one_target_rule(const instance &in, std::vector<domain> &doms)
{
  tuple fixed;
  for (const domain &d : doms) fixed.push_back(d.min());
  for (int i = 1; i < items(in); i++) /* the sources among themselves */
    for (int j = i + 1; j < items(in); j++)
      if (meet(in, fixed, i, j, 0, 0)) return false;
  auto free_at = [&](int k, int64_t v, int64_t w) {
    tuple x;
    for (const domain &d : doms) x.push_back(d.min());
    x[2 * k] = v;
    x[2 * (1 - k)] = w;
    for (int j = 1; j < items(in); j++)
      if (meet(in, x, 0, j, 0, 0)) return false;
    return true;
  };
  for (bool moved = true; moved;) {
    moved = false;
    for (int k = 0; k < 2; k++) {
      const domain &o = doms[2 * (1 - k)];
      auto fits = [&](int64_t v) {
        for (int64_t w : values_of(o))
          if (free_at(k, v, w)) return true;
        return false;
      };
      std::vector<int64_t> vs = values_of(doms[2 * k]), ok;
      for (int64_t v : vs)
        if (fits(v)) ok.push_back(v);
      if (ok.empty()) return false;
      domain cut = doms[2 * k].within(ok.front(), ok.back());
      moved |= !(cut == doms[2 * k]);
      doms[2 * k] = cut;
    }
  }
  return true;
}

/* Item 0 free (origins with holes, fixed lengths of at least 1), 1..3 fixed sources. */
row one_target_row()
{
  row r = disjoint2_row();
  r.name = "disjoint2 one target";
  r.generate = [](rng &g) {
    instance in;
    in.data = {0, 0, 0, 0, 0, 0};
    in.doms = {fd_harness::random_domain(g, 0, 6), fd_oracle::range(1 + g.below(3), 0),
               fd_harness::random_domain(g, 0, 6), fd_oracle::range(1 + g.below(3), 0)};
    in.doms[1] = fd_oracle::range(in.doms[1].min(), in.doms[1].min());
    in.doms[3] = fd_oracle::range(in.doms[3].min(), in.doms[3].min());
    for (int j = 1 + g.below(3); j > 0; j--) {
      for (int k = 0; k < 4; k++) {
        int v = k % 2 ? 1 + g.below(3) : g.below(7);
        in.doms.push_back(fd_oracle::range(v, v));
      }
      in.data.push_back(0);
    }
    return in;
  };
  r.variants = {0};
  r.mutations = {};
  r.instances = 60;
  return r;
}

class FdDisjoint2 : public fd_harness::FdHarness {
protected:
  /* The instance of items {X, W, Y, H} (ranges lo..hi) and types, with bits and margins. */
  static fd_harness::instance make(const std::vector<std::vector<std::pair<int, int>>> &its,
                                   std::vector<int64_t> head, std::vector<int64_t> types = {},
                                   std::vector<int64_t> margins = {})
  {
    fd_harness::instance in;
    in.data = head;
    for (size_t i = 0; i < its.size(); i++) {
      for (auto [lo, hi] : its[i]) in.doms.push_back(fd_oracle::range(lo, hi));
      in.data.push_back(i < types.size() ? types[i] : 0);
    }
    in.data.insert(in.data.end(), margins.begin(), margins.end());
    return in;
  }
};

}  // namespace

TEST_F(FdDisjoint2, HarnessProperties) { check_row(disjoint2_row()); }

/* One filter run on a target against fixed sources cuts its bounds to the first and last origins
 * with a free point in the other dimension (holes of that domain never taken). */
TEST_F(FdDisjoint2, SweepAgainstItsRule)
{
  row r = one_target_row();
  check_row(r);
  for (int k = 0; k < scaled(400); k++) {
    rng g{0};
    fd_harness::instance in = seed(r, k + 1000, &g);
    SCOPED_TRACE("instance " + std::to_string(k + 1000));
    std::vector<domain> expected = in.doms;
    bool ok = one_target_rule(in, expected);
    fd_harness::result got = run(r, in);
    ASSERT_EQ(got.outcome, ok ? 1 : 0);
    for (size_t i = 0; ok && i < 4; i++) EXPECT_EQ(got.doms[i].text(), expected[i].text()) << i;
  }
}

/* The constraint's edge cases: the outcome (1 propagated, 0 failed), entailment, and the domains of
 * the variables named (index, lo, hi) after the post. */
TEST_F(FdDisjoint2, EdgeCases)
{
  using P = std::pair<int, int>;
  const P f0{0, 0}, f1{1, 1}, f2{2, 2};
  struct edge {
    const char *what;
    fd_harness::instance in;
    int outcome;
    bool entailed;
    std::vector<std::array<int, 3>> doms;
  } cases[] = {
      {"no items", make({}, {0, 0, 0, 0, 0}), 1, true, {}},
      {"fixed items overlapping", make({{f0, f2, f0, f2}, {f1, f2, f1, f2}}, {0, 0, 0, 0, 0}), 0, false, {}},
      {"fixed items touching", make({{f0, f2, f0, f2}, {f2, f2, f0, f2}}, {0, 0, 0, 0, 0}), 1, true, {}},
      {"longer than the wrap period", make({{f0, {6, 6}, f0, f1}}, {2, 0, 5, 0, 0}), 0, false, {}},
      {"longer than the period, no extent", make({{f0, {6, 6}, f0, f0}}, {2, 0, 5, 0, 0}), 1, false, {}},
      {"wrap copy near the border", make({{{5, 5}, f2, f0, f1}, {{0, 5}, f1, f0, f1}}, {2, 0, 6, 0, 0}),
       1, false, {{{4, 1, 4}}}},
      {"length 0 never filtered", make({{f0, {4, 4}, f0, {4, 4}}, {{0, 3}, f0, {0, 3}, f2}}, {0, 0, 0, 0, 0}),
       1, false, {{{4, 0, 3}}, {{6, 0, 3}}}},
      {"margin after type 0", make({{f0, f2, f0, f2}, {{0, 6}, f1, f0, f2}}, {8, 0, 0, 0, 0}, {0, 1}, {0, 1, 2, 0}),
       1, false, {{{4, 4, 6}}}},
      {"no margin after type 1", make({{f0, f2, f0, f2}, {{0, 6}, f1, f0, f2}}, {8, 0, 0, 0, 0}, {1, 0}, {0, 1, 2, 0}),
       1, false, {{{4, 2, 6}}}},
      {"the larger of two margins", make({{f0, f1, f0, f1}, {{0, 8}, f1, f0, f1}}, {8, 0, 0, 0, 0}, {0, 1},
                                         {0, 1, 1, 0, 0, 1, 3, 0}),
       1, false, {{{4, 4, 8}}}},
      {"unbounded margin", make({{{3, 3}, f1, f0, f1}, {{0, 8}, f1, f0, f1}}, {8, 0, 0, 0, 0}, {0, 1}, {0, 1, -1, 0}),
       1, false, {{{4, 0, 2}}}},
      {"witness in a hole", make({{f0, f2, f0, f1}, {f0, f2, f2, f1}, {{0, 4}, f1, f0, f1}}, {0, 0, 0, 0, 0}),
       1, false, {{{8, 2, 4}}}},
      {"edge finding", make({{{0, 2}, f2, f0, f2}, {{0, 2}, f2, f0, f2}, {{0, 9}, f1, f0, f2}}, {0x10, 0, 0, 0, 0}),
       1, false, {{{8, 4, 9}}}},
      {"no edge finding", make({{{0, 2}, f2, f0, f2}, {{0, 2}, f2, f0, f2}, {{0, 9}, f1, f0, f2}}, {0, 0, 0, 0, 0}),
       1, false, {{{8, 0, 9}}}},
  };
  /* the target of "witness in a hole" may not take y = 1 */
  cases[11].in.doms[10] = domain{{{0, 0}, {2, 2}}};
  for (const edge &c : cases) {
    SCOPED_TRACE(c.what);
    fd_harness::result r = run(disjoint2_row(), c.in);
    ASSERT_EQ(r.outcome, c.outcome);
    if (r.outcome != 1) continue;
    EXPECT_EQ(r.entailed, c.entailed);
    for (auto [x, lo, hi] : c.doms) EXPECT_EQ(r.doms[x].text(), fd_oracle::range(lo, hi).text()) << x;
  }
}

namespace {

/* Rectangles of fixed sizes (w, h) with origins in 0..W-w, 0..H-h: the posting's instance. */
fd_harness::instance packing(const std::vector<std::pair<int, int>> &sizes, int W, int H)
{
  fd_harness::instance in;
  in.data = {0, 0, 0, 0, 0};
  for (auto [w, h] : sizes) {
    in.doms.push_back(fd_oracle::range(0, W - w));
    in.doms.push_back(fd_oracle::range(w, w));
    in.doms.push_back(fd_oracle::range(0, H - h));
    in.doms.push_back(fd_oracle::range(h, h));
    in.data.push_back(0);
  }
  return in;
}

/* disjoint2's posting of a packing instance, with the redundant cumulative per dimension when
 * asked: the posting's status. */
int post_packing(driver &d, const fd_harness::instance &in, const std::vector<int> &vars,
                 bool cumulatives)
{
  int r = d.post_state(posting(in, vars));
  if (r != 1 || !cumulatives) return r;
  std::vector<int> xs, ys, ws, hs;
  int W = 0, H = 0;
  for (size_t i = 0; i + 3 < vars.size(); i += 4) {
    int w = (int)in.doms[i + 1].min(), h = (int)in.doms[i + 3].min();
    xs.push_back(vars[i]), ys.push_back(vars[i + 2]), ws.push_back(w), hs.push_back(h);
    W = std::max(W, (int)in.doms[i].max() + w), H = std::max(H, (int)in.doms[i + 2].max() + h);
  }
  return fd_driver::post_packing_cumulatives(d, xs, ys, ws, hs, W, H);
}

/* The placements by brute force: rectangles in order, each at every position that meets none
 * placed before (a grid of occupied cells). */
uint64_t count_placements(const std::vector<std::pair<int, int>> &sizes, int W, int H, size_t i,
                          std::vector<char> &grid, bool first_only)
{
  if (i == sizes.size()) return 1;
  auto [w, h] = sizes[i];
  uint64_t n = 0;
  for (int y = 0; y + h <= H; y++)
    for (int x = 0; x + w <= W; x++) {
      bool free = true;
      for (int b = y; b < y + h && free; b++)
        for (int a = x; a < x + w && free; a++) free = !grid[b * W + a];
      if (!free) continue;
      for (int b = y; b < y + h; b++)
        for (int a = x; a < x + w; a++) grid[b * W + a] = 1;
      n += count_placements(sizes, W, H, i + 1, grid, first_only);
      for (int b = y; b < y + h; b++)
        for (int a = x; a < x + w; a++) grid[b * W + a] = 0;
      if (first_only && n) return n;
    }
  return n;
}

/* The tilings by brute force: the first empty cell (by rows) takes each unused square that fits. */
uint64_t count_tilings(const std::vector<int> &sides, int W, int H, std::vector<char> &grid,
                       std::vector<char> &used)
{
  size_t at = std::find(grid.begin(), grid.end(), 0) - grid.begin();
  if (at == grid.size()) return 1;
  int x = (int)at % W, y = (int)at / W;
  uint64_t n = 0;
  for (size_t i = 0; i < sides.size(); i++) {
    int s = sides[i];
    bool fits = !used[i] && x + s <= W && y + s <= H;
    for (int a = x; a < x + s && fits; a++) fits = !grid[y * W + a];
    if (!fits) continue;
    auto mark = [&](char v) {
      for (int b = y; b < y + s; b++)
        for (int a = x; a < x + s; a++) grid[b * W + a] = v;
      used[i] = v;
    };
    mark(1);
    n += count_tilings(sides, W, H, grid, used);
    mark(0);
  }
  return n;
}

}  // namespace

/* Squares 1, 4, 7, 8, 9, 10, 14, 15, 18 tile the 33 x 32 rectangle in exactly 4 ways, by brute
 * force and by search, with and without edge finding and the redundant cumulatives. */
TEST_F(FdDisjoint2, TilingsOf33By32)
{
  std::vector<int> sides = {18, 15, 14, 10, 9, 8, 7, 4, 1};
  std::vector<char> grid(33 * 32, 0), used(sides.size(), 0);
  EXPECT_EQ(count_tilings(sides, 33, 32, grid, used), 4u);
  std::vector<std::pair<int, int>> sizes;
  for (int s : sides) sizes.push_back({s, s});
  for (int variant : {0, 3, 10, 13}) { /* 10, 13: 0, 3 with the redundant cumulatives */
    fd_harness::instance in = packing(sizes, 33, 32);
    in.variant = variant % 10;
    driver d(api);
    fd_undo_scope undo(w, QX_ALT_FAILCODE);
    std::vector<int> vars = make_vars(d, in.doms);
    ASSERT_EQ(post_packing(d, in, vars, variant >= 10), 1);
    std::vector<int> order;
    for (size_t i = 0; i < vars.size(); i += 4) order.insert(order.end(), {vars[i], vars[i + 2]});
    fd_driver::counts c;
    ASSERT_EQ(d.search(order, {}, [](driver &) { return true; }, &c), 1) << exception();
    EXPECT_EQ(c.solutions, 4u);
  }
}

/* Searches over the origins (each rectangle x then y, smallest value first) count what brute
 * force counts: random rectangles in 8 x 8, and the smallest squares holding squares 1..n for
 * n <= 8 (feasible at the known side, not one below), with and without the redundant options
 * and the redundant cumulatives. */
TEST_F(FdDisjoint2, PackingCountsBySearch)
{
  rng g{77};
  uint64_t placed = 0;
  uint64_t failures = 0;
  auto search = [&](const fd_harness::instance &in, bool first_only, bool cumulatives = false) {
    driver d(api);
    fd_undo_scope undo(w, QX_ALT_FAILCODE);
    std::vector<int> vars = make_vars(d, in.doms);
    uint64_t found = 0;
    if (post_packing(d, in, vars, cumulatives) == 1) {
      std::vector<int> order;
      for (size_t i = 0; i < vars.size(); i += 4) order.insert(order.end(), {vars[i], vars[i + 2]});
      fd_driver::counts c;
      EXPECT_EQ(d.search(order, {}, [&](driver &) { return !first_only; }, &c), 1) << exception();
      found = c.solutions;
      failures = c.failures;
    }
    return found;
  };
  for (int k = 0; k < scaled(6); k++) {
    std::vector<std::pair<int, int>> sizes;
    for (int i = 0; i < 5; i++) sizes.push_back({3 + g.below(2), 2 + g.below(3)});
    std::vector<char> grid(64, 0);
    uint64_t brute = count_placements(sizes, 8, 8, 0, grid, false);
    EXPECT_EQ(search(packing(sizes, 8, 8), false), brute);
    placed += brute;
  }
  if (!qx_gc_stress) { /* (a single instance under stress) */
    EXPECT_GT(placed, 1000u);
  }
  const int side[] = {1, 3, 5, 7, 9, 11, 13, 15};
  for (int n = 1; n <= (qx_gc_stress ? 4 : 8); n++) {
    std::vector<std::pair<int, int>> sizes;
    for (int s = n; s >= 1; s--) sizes.push_back({s, s});
    for (int s : {side[n - 1], side[n - 1] - 1}) {
      if (s < n) continue; /* smaller than the largest square */
      SCOPED_TRACE("squares 1.." + std::to_string(n) + " in " + std::to_string(s));
      std::vector<char> grid((size_t)s * s, 0);
      bool brute = count_placements(sizes, s, s, 0, grid, true) > 0;
      EXPECT_EQ(brute, s == side[n - 1]);
      fd_harness::instance in = packing(sizes, s, s);
      EXPECT_EQ(search(in, true) > 0, brute);
      uint64_t plain = failures;
      in.variant = 3; /* edge finding: the same answer, no more failures */
      EXPECT_EQ(search(in, true) > 0, brute);
      EXPECT_LE(failures, plain);
      in.variant = 5; /* every redundant option */
      EXPECT_EQ(search(in, true) > 0, brute);
      in.variant = 0; /* one redundant cumulative per dimension */
      EXPECT_EQ(search(in, true, true) > 0, brute);
    }
  }
}

namespace {

/* Tasks in parts: dimension 0 is the resources (length 1, the variable ONE), dimension 1 time.
 * data: bits, borders, the item count n, then per item the indexes of its X, W, Y, H variables
 * (parts of one task share Y and H). */
constexpr int S_COUNT = 5, S_MAP = 6;

tuple expand(const instance &in, const tuple &t, instance *base)
{
  int n = (int)in.data[S_COUNT];
  base->doms.assign(4 * (size_t)n, domain{});
  base->data.assign(in.data.begin(), in.data.begin() + D_TYPES);
  base->data.resize(D_TYPES + n, 0);
  tuple x;
  for (int i = 0; i < 4 * n; i++) x.push_back(t[in.data[S_MAP + i]]);
  return x;
}

bool synchro_sat(const instance &in, const tuple &t)
{
  instance base;
  tuple x = expand(in, t, &base);
  return sat(base, x);
}

driver::posting synchro_posting(const instance &in, const std::vector<int> &vars)
{
  instance base;
  tuple idx;
  for (size_t i = 0; i < in.doms.size(); i++) idx.push_back(vars[i]);
  tuple x = expand(in, idx, &base);
  std::vector<int> item_vars(x.begin(), x.end());
  base.variant = in.variant;
  return posting(base, item_vars);
}

/* 2..3 tasks of 1..3 parts (4 parts at most), resources 0..3, times 0..4 with holes, time
 * lengths 1..2; synchronization in most, wrap in time in some. The parts' shared variables also
 * test the views of one variable in several items. */
instance synchro_generate(rng &g)
{
  instance in;
  in.data = {(g.below(4) ? 0x40 : 0) | (g.below(3) == 0 ? 4 : 0), 0, 0, 0, 6, 0};
  in.doms.push_back(fd_oracle::range(1, 1)); /* ONE */
  int parts = 0;
  for (int t = 2 + g.below(2); t > 0 && parts < 4; t--) {
    int ty = (int)in.doms.size();
    in.doms.push_back(fd_harness::random_domain(g, 0, 4, 30));
    int dl = 1 + g.below(2);
    in.doms.push_back(fd_oracle::range(dl, g.below(3) == 0 ? 2 : dl));
    for (int p = 1 + g.below(3); p > 0 && parts < 4; p--, parts++) {
      int lo = g.below(3);
      in.doms.push_back(fd_harness::random_domain(g, lo, lo + 1 + g.below(2), 20));
      in.data.insert(in.data.end(), {(int64_t)in.doms.size() - 1, 0, ty, ty + 1});
    }
  }
  in.data[S_COUNT] = parts;
  return in;
}

row synchro_row()
{
  row r = disjoint2_row();
  r.name = "disjoint2 synchronization";
  r.generate = synchro_generate;
  r.sat = synchro_sat;
  r.posting = synchro_posting;
  r.mutations = {};
  r.variants = {0, 1, 3};
  r.instances = 60;
  return r;
}

}  // namespace

/* Parts of one task (the same time variables, length 1 on the resources) are matched to distinct
 * free resources at each start: the harness's properties, and the constraint's edge cases. */
TEST_F(FdDisjoint2, SynchronizationOfTaskParts)
{
  check_row(synchro_row());
  /* ONE, T, D, R1, R2, then an item on resource 0 over times 0..1: X0, T0, D0, and a length
   * W for the parts on the resources */
  auto task = [](int bits, domain r1, domain r2, int wlen) {
    fd_harness::instance in;
    in.data = {bits, 0, 0, 0, 0, 3};
    in.doms = {fd_oracle::range(1, 1), fd_oracle::range(0, 5), fd_oracle::range(1, 1), r1, r2,
               fd_oracle::range(0, 0), fd_oracle::range(0, 0), fd_oracle::range(2, 2),
               fd_oracle::range(wlen, wlen)};
    in.data.insert(in.data.end(), {3, 0, 1, 2, 4, 0, 1, 2, 5, 0, 6, 7});
    return in;
  };
  row r = synchro_row();
  struct edge {
    const char *what;
    fd_harness::instance in;
    int outcome;
    int tmin;
  } cases[] = {
      {"the first start with distinct free resources", task(0x40, fd_oracle::range(0, 1), fd_oracle::range(0, 1), 1), 1, 2},
      {"without synchronization", task(0, fd_oracle::range(0, 1), fd_oracle::range(0, 1), 1), 1, 0},
      {"parts of length 2 on the resources: no table", task(0x40, fd_oracle::range(0, 3), fd_oracle::range(0, 3), 2), 1, 0},
      {"one value for two parts", task(0x40, fd_oracle::range(3, 3), fd_oracle::range(3, 3), 1), 0, 0},
  };
  /* the parts of length 2 on the resources, the other item of length 1 */
  for (int part : {0, 1}) cases[2].in.data[S_MAP + 4 * part + 1] = 8;
  for (const edge &c : cases) {
    SCOPED_TRACE(c.what);
    fd_harness::result got = run(r, c.in);
    ASSERT_EQ(got.outcome, c.outcome);
    if (got.outcome == 1) {
      EXPECT_EQ(got.doms[1].min(), c.tmin);
    }
  }
}

/* The edge finder's incremental window energies equal, window by window, the sums of the least
 * overlaps found by trying every placement, on random items (lengths 0 included, equal keys),
 * raising (U fixed, L over the minimum origins) and lowering (L fixed, U over the maximum ends). */
TEST(FdDisjoint2Energy, IncrementalAgainstPlacements)
{
  rng g{45};
  for (int round = 0; round < 400; round++) {
    bool rising = round % 2 == 0;
    int n = 1 + g.below(8);
    std::vector<int64_t> est(n), lct(n), dur(n), got(n);
    std::vector<int32_t> weight(n);
    std::vector<int> order(n);
    for (int q = 0; q < n; q++) {
      est[q] = g.below(10);
      dur[q] = g.below(5);
      lct[q] = est[q] + g.below(4) + dur[q];
      weight[q] = 1 + g.below(4);
      order[q] = q;
    }
    /* by increasing minimum origin (rising), else by decreasing maximum end */
    std::sort(order.begin(), order.end(),
              [&](int a, int b) { return rising ? est[a] < est[b] : lct[a] > lct[b]; });
    auto permute = [&](auto &v) {
      auto c = v;
      for (int q = 0; q < n; q++) v[q] = c[order[q]];
    };
    permute(est), permute(lct), permute(dur), permute(weight);
    int64_t fixed = g.below(16);
    fd_disjoint2_window_energies(n, est.data(), lct.data(), dur.data(), weight.data(), fixed,
                                 rising, got.data());
    auto least = [&](int j, int64_t L, int64_t U) {
      int64_t m = dur[j];
      for (int64_t s = est[j]; s + dur[j] <= lct[j]; s++)
        m = std::min(m, std::max<int64_t>(0, std::min(s + dur[j], U) - std::max(s, L)));
      return m;
    };
    bool open = true;
    for (int q = 0; q < n; q++) {
      SCOPED_TRACE("round " + std::to_string(round) + " entry " + std::to_string(q));
      int64_t L = rising ? est[q] : fixed, U = rising ? fixed : lct[q];
      open = open && L < U;
      bool last = q + 1 == n || (rising ? est[q + 1] != est[q] : lct[q + 1] != lct[q]);
      int64_t want = open && last ? 0 : -1;
      for (int j = 0; j < n && want >= 0; j++) want += weight[j] * least(j, L, U);
      EXPECT_EQ(got[q], want);
    }
  }
}
