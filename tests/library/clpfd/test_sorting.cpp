/* sorting/3: random instances against an oracle of sortedness and permutation, bounds of X and
 * Y checked against the projection, the constraint's edge cases, settled windows and mutated states. */
#include "fd_harness.h"

namespace {

using fd_harness::driver;
using fd_harness::instance;
using fd_harness::level;
using fd_harness::result;
using fd_harness::row;
using fd_harness::set_arg;
using fd_harness::tuple;
using fd_oracle::domain;
using fd_oracle::range;

/* Variables X1..Xn, P1..Pn, Y1..Yn; data: n. */
driver::posting sorting_posting(const instance &in, const std::vector<int> &vars)
{
  int n = (int)in.data[0];
  std::vector<driver::tmpl> lists, clists;
  for (int a = 0; a < 3; a++) {
    std::vector<int> xs(vars.begin() + a * n, vars.begin() + (a + 1) * n);
    lists.push_back(driver::t_entries(xs));
    clists.push_back(driver::t_vars(xs));
  }
  driver::posting p{"sorting", clists,
                    {lists[0], lists[1], lists[2], driver::t_int(n), driver::t_int(0), driver::t_int(0)}};
  return p;
}

bool sorting_sat(const instance &in, const tuple &t)
{
  int n = (int)in.data[0];
  std::vector<bool> used(n);
  for (int i = 0; i < n; i++) {
    int64_t p = t[n + i];
    if (p < 1 || p > n || used[p - 1] || t[2 * n + p - 1] != t[i]) return false;
    used[p - 1] = true;
  }
  for (int k = 0; k + 1 < n; k++)
    if (t[2 * n + k] > t[2 * n + k + 1]) return false;
  return true;
}

row sorting_row()
{
  row r;
  r.name = "sorting";
  r.generate = [](fd_harness::rng &g) {
    instance in;
    int n = 1 + g.below(3);
    in.data = {n};
    for (int i = 0; i < n; i++) in.doms.push_back(fd_harness::random_domain(g, 0, 3, 30));
    for (int i = 0; i < n; i++) in.doms.push_back(fd_harness::random_domain(g, 1, n, 20));
    for (int i = 0; i < n; i++) in.doms.push_back(fd_harness::random_domain(g, 0, 3, 20));
    return in;
  };
  r.sat = sorting_sat;
  r.posting = sorting_posting;
  r.mutations = {
      {"n above the lists", set_arg(3, driver::t_int(9))},
      {"Settled beyond n", set_arg(4, driver::t_int(7))},
      {"Offset beyond Settled", set_arg(5, driver::t_int(1))},
      {"Settled not an integer", set_arg(4, driver::t_atom("a"))},
      {"Y one short", [](driver::posting &p) { p.state[2].args.pop_back(); }},
  };
  r.instances = 70;
  return r;
}

class Sorting : public fd_harness::FdHarness {
protected:
  std::string post_on(int n, std::vector<domain> doms, bool *entailed = nullptr)
  {
    instance in;
    in.data = {n};
    in.doms = std::move(doms);
    result r = run(sorting_row(), in);
    if (entailed) *entailed = r.entailed;
    if (r.outcome != 1) return "fail";
    std::string s;
    for (const domain &x : r.doms) s += x.text() + " ";
    return s;
  }
};

TEST_F(Sorting, EveryProperty) { check_row(sorting_row()); }

/* With P free (1..n), the bounds of X and Y equal the bounds(Z) projection's: within the hulls of
 * the domains left, each bound has a solution. */
TEST_F(Sorting, BoundsOfXAndYAtThePost)
{
  row rw = sorting_row();
  rw.generate = [](fd_harness::rng &g) {
    instance in;
    int n = 1 + g.below(3);
    in.data = {n};
    for (int i = 0; i < 3 * n; i++)
      in.doms.push_back(i >= n && i < 2 * n ? range(1, n) : fd_harness::random_domain(g, 0, 3, 30));
    return in;
  };
  for (int k = 0; k < scaled(150) && !HasFailure(); k++) {
    fd_harness::rng g{0};
    instance in = seed(rw, k, &g);
    SCOPED_TRACE("instance " + std::to_string(k));
    driver d(api);
    fd_undo_scope undo(w, QX_ALT_FAILCODE);
    std::vector<int> vars = make_vars(d, in.doms);
    result r = post(d, rw, in, vars);
    if (r.outcome != 1) continue;
    /* every bound of X and Y is taken by a solution within the hulls of the domains left */
    std::vector<std::vector<int64_t>> vals;
    for (const domain &x : r.doms) vals.push_back(values(range(x.min(), x.max()), 0));
    int n = (int)in.data[0];
    std::vector<int64_t> lo(3 * n, INT64_MAX), hi(3 * n, INT64_MIN);
    fd_oracle::each_assignment(vals, [&](const tuple &t) {
      if (!sorting_sat(in, t)) return;
      for (int i = 0; i < 3 * n; i++) lo[i] = std::min(lo[i], t[i]), hi[i] = std::max(hi[i], t[i]);
    });
    for (int i = 0; i < 3 * n; i++) {
      if (i >= n && i < 2 * n) continue; /* P: sound only */
      EXPECT_EQ(r.doms[i].min(), lo[i]) << "variable " << i;
      EXPECT_EQ(r.doms[i].max(), hi[i]) << "variable " << i;
    }
  }
}

TEST_F(Sorting, EdgeCases)
{
  bool entailed = false;
  domain y = range(-100, 100), p = range(1, 3);
  EXPECT_EQ(post_on(3, {range(3, 3), range(1, 1), range(2, 2), p, p, p, y, y, y}, &entailed),
            "[[3|3]] [[1|1]] [[2|2]] [[3|3]] [[1|1]] [[2|2]] [[1|1]] [[2|2]] [[3|3]] ");
  EXPECT_TRUE(entailed);
  EXPECT_EQ(post_on(2, {range(1, 5), range(7, 9), range(1, 2), range(1, 2), y, y}),
            "[[1|5]] [[7|9]] [[1|1]] [[2|2]] [[1|5]] [[7|9]] ");
  EXPECT_EQ(post_on(0, {}, &entailed), "");
  EXPECT_TRUE(entailed);
}

/* The first positions settle, the window moves on (Offset > 0): the walk's fresh posts compare
 * each step with a post on the same domains. */
TEST_F(Sorting, SettledPositionsLeaveTheWindow)
{
  row rw = sorting_row();
  rw.generate = [](fd_harness::rng &g) {
    instance in;
    in.data = {4};
    for (int i = 0; i < 4; i++) in.doms.push_back(fd_harness::random_domain(g, 0, 5, 30));
    for (int i = 0; i < 4; i++) in.doms.push_back(range(1, 4));
    for (int i = 0; i < 4; i++) in.doms.push_back(range(0, 4));
    in.doms[0] = range(0, 0); /* X1 = 0 is the only 0: position 1 settles */
    for (int i = 1; i < 4; i++) in.doms[i] = in.doms[i].within(1, 5).empty() ? range(3, 3) : in.doms[i].within(1, 5);
    return in;
  };
  rw.instances = 6;
  rw.mutations.clear();
  check_row(rw);
}

}  // namespace
