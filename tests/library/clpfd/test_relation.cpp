/* minimum/2 and maximum/2 (and relation/3): random instances against oracles of the relation,
 * Y's bounds against the bounds(Z) projection, the Parts' edge cases and mutated states. */
#include "fd_harness.h"

namespace {

using fd_harness::driver;
using fd_harness::instance;
using fd_harness::level;
using fd_harness::result;
using fd_harness::row;
using fd_harness::tuple;
using fd_oracle::domain;
using fd_oracle::range;

/* ---- minimum and maximum: variables Y, X1..Xn; data: direction (0 minimum) ---- */

driver::posting minmax_posting(const instance &in, const std::vector<int> &vars)
{
  std::vector<int> xs(vars.begin() + 1, vars.end());
  std::vector<driver::tmpl> cx;
  for (int x : xs) cx.push_back(driver::t_var(x));
  driver::posting p{in.data[0] ? "maximum" : "minimum",
                    {driver::t_var(vars[0]), driver::t_list(cx)},
                    {driver::t_entry(vars[0]), driver::t_entries(xs), driver::t_int((int64_t)xs.size()),
                     driver::t_int(in.data[0])}};
  p.susp_each = {{vars[0], "minmax"}}; /* the daemon watches the list only */
  return p;
}

bool minmax_sat(const instance &in, const tuple &t)
{
  int64_t e = t[1];
  for (size_t i = 2; i < t.size(); i++) e = in.data[0] ? std::max(e, t[i]) : std::min(e, t[i]);
  return t[0] == e;
}

row minmax_row()
{
  row r;
  r.name = "minmax";
  r.generate = [](fd_harness::rng &g) {
    instance in;
    in.data = {g.below(2)};
    in.doms.push_back(fd_harness::random_domain(g, -1, 6, 30));
    for (int i = 0, n = 1 + g.below(4); i < n; i++)
      in.doms.push_back(fd_harness::random_domain(g, g.below(3), 3 + g.below(3), 30));
    return in;
  };
  r.sat = minmax_sat;
  r.posting = minmax_posting;
  /* one candidate left: Y = it is posted */
  r.residual = [](const instance &, const tuple &t) {
    for (size_t i = 1; i < t.size(); i++)
      if (t[0] == t[i]) return true;
    return false;
  };
  auto set_arg = [](int k, driver::tmpl t) { return [k, t](driver::posting &p) { p.state[k] = t; }; };
  r.mutations = {
      {"Count above n", set_arg(2, driver::t_int(9))},
      {"Count negative", set_arg(2, driver::t_int(-1))},
      {"Count not an integer", set_arg(2, driver::t_atom("a"))},
      {"an element not an entry", [](driver::posting &p) { p.state[1].args[0] = driver::t_atom("a"); }},
      {"Y not an entry", set_arg(0, driver::t_int(3))},
  };
  r.instances = 150;
  return r;
}

class MinMax : public fd_harness::FdHarness {};

TEST_F(MinMax, EveryProperty) { check_row(minmax_row()); }

/* On interval domains Y's bounds equal the bounds(Z) projection at the post. */
TEST_F(MinMax, BoundsOfYAtThePost)
{
  row rw = minmax_row();
  for (int k = 0; k < scaled(200) && !HasFailure(); k++) {
    fd_harness::rng g{0};
    instance in = seed(rw, k, &g);
    for (domain &x : in.doms) x = range(x.min(), x.max());
    SCOPED_TRACE("instance " + std::to_string(k));
    driver d(api);
    fd_undo_scope undo(w, QX_ALT_FAILCODE);
    std::vector<int> vars = make_vars(d, in.doms);
    result r = post(d, rw, in, vars);
    int64_t lo = INT64_MAX, hi = INT64_MIN;
    fd_oracle::each_assignment(values_of(in.doms, 0), [&](const tuple &t) {
      if (minmax_sat(in, t)) lo = std::min(lo, t[0]), hi = std::max(hi, t[0]);
    });
    ASSERT_EQ(r.outcome == 1, lo <= hi);
    if (lo > hi) continue;
    EXPECT_EQ(r.doms[0].min(), lo);
    EXPECT_EQ(r.doms[0].max(), hi);
  }
}

TEST_F(MinMax, EdgeCases)
{
  driver d(api);
  fd_undo_scope undo(w, QX_ALT_FAILCODE);
  instance in;
  in.data = {0};
  in.doms = {range(0, 100), range(3, 9), range(5, 7)};
  std::vector<int> v = make_vars(d, in.doms);
  ASSERT_EQ(d.post_state(minmax_posting(in, v)), 1);
  EXPECT_EQ(d.domain(v[0]).front(), 3);
  EXPECT_EQ(d.domain(v[0]).back(), 7);
  TAGGED g = d.last_global();
  EXPECT_EQ(deref(StrArg(fd_mutable_value(StrArg(g, 1)), 3)), MakeSmall(2)) << "both candidates";
  /* A in 8..9: Y becomes 5..7, A is dropped, Y = B is posted and the constraint entailed */
  ASSERT_EQ(d.call(d.n.in_interval, {d.term(v[1]), MakeSmall(8), MakeSmall(9), MakeSmall(1)}), 1);
  ASSERT_EQ(d.propagate(), 1);
  EXPECT_TRUE(fd_dead(g));
  EXPECT_EQ(d.term(v[0]), d.term(v[2])) << "Y = B";
  EXPECT_EQ(d.domain(v[0]), (std::vector<int32_t>{5, 6, 7}));
  /* a list of one element: Y = X at once */
  instance one;
  one.data = {1};
  one.doms = {range(0, 9), range(4, 12)};
  std::vector<int> u = make_vars(d, one.doms);
  ASSERT_EQ(d.post_state(minmax_posting(one, u)), 1);
  EXPECT_TRUE(fd_dead(d.last_global()));
  EXPECT_EQ(d.term(u[0]), d.term(u[1]));
}

}  // namespace
