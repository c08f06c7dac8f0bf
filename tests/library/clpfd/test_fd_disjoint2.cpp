/* disjoint2/2 against a brute-force relation through the shared harness: variable lengths
 * (0 included), wrap-around, margins between item types, lean mode, decomposition; one filter
 * pass against its own rule; edge cases; solution counts and known packings. */
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

/* 2..4 items over 0..5 with holes, lengths 0..3 (often fixed); wrap and margins in some. */
instance generate(rng &g)
{
  instance in;
  int bits = g.below(4) == 0 ? 0 : (g.below(2) ? 2 : 0) | (g.below(2) ? 4 : 0) | (g.below(2) ? 8 : 0);
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
  r.instances = 120;
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

class FdDisjoint2 : public fd_harness::FdHarness {};

}  // namespace

TEST_F(FdDisjoint2, HarnessProperties) { check_row(disjoint2_row()); }
