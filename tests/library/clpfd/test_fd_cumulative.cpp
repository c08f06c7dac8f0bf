/* cumulative/2 as a row of the shared checker: random tasks with durations and uses that may be
 * 0 or exceed the limit, a limit variable, Lower and Upper, precedence pairs with difference
 * variables, the global option as the variant; the edge cases as instances; mutated states. */
#include "fd_harness.h"
#include "fd_sched.h"
#include "models/fd_models.h"

namespace {

using fd_harness::driver;
using fd_harness::instance;
using fd_harness::row;
using fd_harness::set_sub;
using fd_harness::set_arg;
using fd_harness::tuple;

/* data: n, flags, then (j, i) per precedence. Variables: per task origin, duration, end, use;
 * then Limit, Lower, Upper; then D per precedence. */
struct cu_view {
  const instance &in;
  int n() const { return (int)in.data[0]; }
  int flags() const { return (int)in.data[1] ^ (in.variant ? 2 : 0); }
  int pairs() const { return ((int)in.data.size() - 2) / 2; }
  int pj(int k) const { return (int)in.data[2 + 2 * k]; }
  int pi(int k) const { return (int)in.data[3 + 2 * k]; }
};

/* origin + duration = end; at every instant the tasks of positive duration running use at most
 * Limit; Lower is the least origin, Upper the largest end; D = origin(j) - origin(i). */
bool cu_sat(const instance &in, const tuple &x)
{
  cu_view v{in};
  int n = v.n();
  int64_t limit = x[4 * n], lower = x[4 * n + 1], upper = x[4 * n + 2];
  int64_t lo = INT64_MAX, hi = INT64_MIN;
  for (int i = 0; i < n; i++) {
    if (x[4 * i] + x[4 * i + 1] != x[4 * i + 2]) return false;
    lo = std::min(lo, x[4 * i]), hi = std::max(hi, x[4 * i + 2]);
  }
  if (lower != lo || upper != hi) return false;
  for (int i = 0; i < n; i++) {
    if (x[4 * i + 1] < 1) continue;
    int64_t t = x[4 * i]; /* the use peaks at some task's start */
    int64_t use = 0;
    for (int j = 0; j < n; j++)
      if (x[4 * j + 1] > 0 && x[4 * j] <= t && t < x[4 * j + 2]) use += x[4 * j + 3];
    if (use > limit) return false;
  }
  for (int k = 0; k < v.pairs(); k++)
    if (x[4 * n + 3 + k] != x[4 * v.pj(k)] - x[4 * v.pi(k)]) return false;
  return true;
}

driver::posting cu_posting(const instance &in, const std::vector<int> &vars)
{
  cu_view v{in};
  int n = v.n();
  std::vector<driver::tmpl> tasks, diffs;
  for (int i = 0; i < n; i++)
    tasks.push_back(driver::t_struct("task", {driver::t_entry(vars[4 * i]), driver::t_entry(vars[4 * i + 1]),
                                              driver::t_entry(vars[4 * i + 2]),
                                              driver::t_entry(vars[4 * i + 3]), driver::t_int(10 + i)}));
  for (int k = 0; k < v.pairs(); k++)
    diffs.push_back(driver::t_struct("p", {driver::t_int(10 + v.pj(k)), driver::t_int(10 + v.pi(k)),
                                           driver::t_entry(vars[4 * n + 3 + k])}));
  return {"cumulative",
          {driver::t_atom("tasks"), driver::t_atom("options")},
          {driver::t_int(n), driver::t_list(tasks), driver::t_list(diffs),
           driver::t_entry(vars[4 * n]), driver::t_entry(vars[4 * n + 1]),
           driver::t_entry(vars[4 * n + 2]), driver::t_int(v.flags()), driver::t_int(n),
           driver::t_int(0)}};
}

/* The split the state carries at a fixpoint: NTargets counts the tasks with an open variable,
 * NSources the fixed tasks that reach into their window (least origin, largest end); and Lower
 * and Upper as a scan of every task leaves them. */
void cu_split_holds(driver &d, const std::vector<int> &vars)
{
  TAGGED g = d.last_global();
  if (!IsStr(g) || fd_dead(g)) return;
  TAGGED s = deref(fd_mutable_value(StrArg(g, FD_GLOBAL_STATE)));
  int n = GetSmall(deref(StrArg(s, 1)));
  auto lo = [&](int x) { return d.ranges(vars[x]).front().first; };
  auto hi = [&](int x) { return d.ranges(vars[x]).back().second; };
  auto open = [&](int i) {
    for (int k = 0; k < 4; k++)
      if (lo(4 * i + k) != hi(4 * i + k)) return true;
    return false;
  };
  int64_t a = INT64_MAX, b = INT64_MIN, targets = 0, sources = 0;
  for (int i = 0; i < n; i++)
    if (open(i)) targets++, a = std::min(a, lo(4 * i)), b = std::max(b, hi(4 * i + 2));
  for (int i = 0; i < n; i++)
    if (!open(i) && lo(4 * i) < b && hi(4 * i + 2) > a) sources++;
  EXPECT_EQ(deref(StrArg(s, 8)), MakeSmall((int32_t)targets)) << "NTargets";
  EXPECT_EQ(deref(StrArg(s, 9)), MakeSmall((int32_t)sources)) << "NSources";
  /* a scan of every task would move neither Lower nor Upper, whichever task the call bounded
   * them by: Lower within the least origin min and the least origin max, Upper within the
   * largest end min and the largest end max */
  int64_t omin = INT64_MAX, omax = INT64_MAX, emin = INT64_MIN, emax = INT64_MIN;
  for (int i = 0; i < n; i++) {
    omin = std::min(omin, lo(4 * i)), omax = std::min(omax, hi(4 * i));
    emin = std::max(emin, lo(4 * i + 2)), emax = std::max(emax, hi(4 * i + 2));
  }
  EXPECT_GE(lo(4 * n + 1), omin) << "Lower below every origin";
  EXPECT_LE(hi(4 * n + 1), omax) << "Lower above an origin";
  EXPECT_GE(lo(4 * n + 2), emin) << "Upper below an end";
  EXPECT_LE(hi(4 * n + 2), emax) << "Upper above every end";
}

row cu_row()
{
  row r;
  r.name = "cumulative";
  r.generate = [](fd_harness::rng &g) {
    instance in;
    int n = 1 + g.below(3);
    /* bit 1, which the entry takes but does not use, must not reach the filter */
    in.data = {n, (g.below(3) ? 2 : 0) | (g.below(4) ? 0 : 1)};
    for (int i = 0; i < n; i++) {
      int lo = g.below(4);
      in.doms.push_back(fd_harness::random_domain(g, lo, lo + g.below(3)));
      int d = g.below(3);
      in.doms.push_back(fd_harness::random_domain(g, d, d + g.below(2), 20));
      in.doms.push_back(fd_harness::random_domain(g, 0, 8, 10));
      int u = g.below(3);
      in.doms.push_back(fd_harness::random_domain(g, u, u + g.below(2), 20));
    }
    int l = 1 + g.below(2);
    in.doms.push_back(fd_harness::random_domain(g, l, l + g.below(2), 0));
    in.doms.push_back(fd_harness::random_domain(g, 0, 4, 10));
    in.doms.push_back(fd_harness::random_domain(g, 2, 9, 10));
    for (int k = n > 1 ? g.below(2) : 0; k > 0; k--) {
      int j = g.below(n), i = (j + 1 + g.below(n - 1)) % n;
      in.data.push_back(j), in.data.push_back(i);
      in.doms.push_back(fd_harness::random_domain(g, -3, 3, 20));
    }
    return in;
  };
  r.sat = cu_sat;
  r.posting = cu_posting;
  r.at_fixpoint = cu_split_holds;
  r.variants = {0, 1};
  r.instances = 40;
  r.mutations = {
      {"NTasks not the length", set_arg(0, driver::t_int(5))},
      {"NTasks not an integer", set_arg(0, driver::t_atom("two"))},
      {"NTargets negative", set_arg(7, driver::t_int(-1))},
      {"NTargets + NSources past NTasks", set_arg(8, driver::t_int(9))},
      {"Flags not an integer", set_arg(6, driver::t_atom("a"))},
      {"Limit not an entry", set_arg(3, driver::t_atom("foo"))},
      {"Lower not an entry", set_arg(4, driver::t_struct("f", {driver::t_atom("a")}))},
      {"Upper not an entry", set_arg(5, driver::t_list({}))},
      {"Tasks an improper list",
       [](driver::posting &p) { p.state[1] = driver::t_improper(p.state[1].args, driver::t_atom("x")); }},
      {"a task not four entries and an Id",
       set_sub(1, 0, driver::t_struct("task", {driver::t_int(1)}))},
      {"a task's Id not an integer", [](driver::posting &p) { p.state[1].args[0].args[4] = driver::t_atom("a"); }},
      {"a precedence naming no task",
       [](driver::posting &p) {
         p.state[2] = driver::t_list({driver::t_struct("p", {driver::t_int(99), driver::t_int(10),
                                                             driver::t_int(0)})});
       }},
      {"an Id given to two tasks",
       [](driver::posting &p) {
         if (p.state[1].args.size() > 1) p.state[1].args[1].args[4] = p.state[1].args[0].args[4];
         else p.state[0] = driver::t_int(-1);
       }},
      {"Diffs not a list", set_arg(2, driver::t_atom("foo"))},
  };
  return r;
}

class FdCumulative : public fd_harness::FdHarness {};

TEST_F(FdCumulative, HasEveryProperty) { check_row(cu_row()); }

TEST_F(FdCumulative, EdgeCases)
{
  row rw = cu_row();
  auto set = [](std::vector<int64_t> v) { return fd_oracle::domain::of(v); };
  /* tasks as (origin, duration, end, use) value lists, then Limit, Lower, Upper, then pairs */
  auto make = [&](int flags, std::vector<std::vector<int64_t>> doms, std::vector<int64_t> pairs = {}) {
    instance in;
    in.data = {(int64_t)(doms.size() - 3 - pairs.size() / 2) / 4, flags};
    in.data.insert(in.data.end(), pairs.begin(), pairs.end());
    for (auto &d : doms) in.doms.push_back(set(d));
    return in;
  };
  std::vector<int64_t> any = {0, 1, 2, 3, 4, 5, 6, 7, 8};
  const std::vector<instance> rows = {
      /* a use above the limit: duration 0 only */
      make(0, {{0, 1, 2}, {0, 1, 2}, any, {3}, {2}, any, any}),
      /* a duration that may be 0 beside a full task */
      make(2, {{0, 1, 2}, {0, 2}, any, {1}, {0}, {3}, any, {1}, {0, 1}, any}),
      /* duration max 0 and use max 0: never given to the filter */
      make(0, {{0, 1}, {0}, any, {5}, {0, 1}, {2}, any, {0}, {1}, {0, 1}, any}),
      /* a fixed difference: origin(1) follows origin(0) by 2 */
      make(0, {{0, 1, 2, 3}, {2}, any, {1}, {0, 1, 2, 3, 4}, {1}, any, {1}, {1}, any, any, {2}},
           {1, 0}),
      /* everything fixed, limit fixed: entailed; limit open: suspended */
      make(0, {{0}, {2}, {2}, {1}, {2}, {1}, {3}, {1}, {1}, {0}, {3}}),
      make(0, {{0}, {2}, {2}, {1}, {2}, {1}, {3}, {1}, {1, 2}, {0}, {3}}),
      /* fixed tasks far apart: the first and the last drop out once the middle one alone is open */
      make(0, {{0}, {1}, {1}, {1}, {3, 4}, {1}, any, {1}, {8}, {1}, {9}, {1}, {1}, {0}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}}),
  };
  for (size_t k = 0; k < rows.size() && !HasFailure(); k++) {
    SCOPED_TRACE("edge case " + std::to_string(k));
    fd_harness::rng g{7};
    walk(rw, rows[k], g);
    check_variants(rw, rows[k]);
  }
  fd_harness::result r = run(rw, rows[0]);
  ASSERT_EQ(r.outcome, 1);
  EXPECT_EQ(r.doms[1].max(), 0);
  r = run(rw, rows[4]);
  EXPECT_TRUE(r.entailed);
  r = run(rw, rows[5]);
  EXPECT_FALSE(r.entailed);
  /* the global option with a limit of no finite maximum: no longest-hole tables, no bound */
  instance open_limit = make(2, {{0, 1}, {2}, any, {1}, {1, 2}, {1}, any, {1}, {1}, {0, 1}, any});
  open_limit.doms[8] = fd_oracle::range(1, fd_oracle::SUP);
  r = run(rw, open_limit);
  EXPECT_EQ(r.outcome, 1);
  fd_harness::rng g{3};
  walk(rw, open_limit, g);
}

/* Only the global bit of the options reaches the filter, and the fixed-tasks claim only when it
 * holds: a Flags word with bit 1 propagates exactly as its global bit alone, with variable
 * durations and with fixed ones (the filter's claim 8 is added). */
TEST_F(FdCumulative, OptionBitOneActsAsTheGlobalBitAlone)
{
  row rw = cu_row();
  fd_harness::rng g{1234};
  int differs = 0;
  for (int k = 0; k < 150 && !HasFailure(); k++) {
    instance in;
    int n = 3 + g.below(2);
    bool fixed = g.below(2);
    in.data = {n, 0};
    std::vector<int> dur(n), use(n);
    int energy = 0;
    for (int i = 0; i < n; i++) {
      dur[i] = 1 + g.below(3), use[i] = 1 + g.below(2);
      energy += dur[i] * use[i];
    }
    int upper = (energy + 1) / 2 + g.below(2); /* nearly filled at limit 2 */
    for (int i = 0; i < n; i++) {
      in.doms.push_back(fd_harness::random_domain(g, 0, upper - 1, 20));
      in.doms.push_back(fd_oracle::range(dur[i] - (fixed ? 0 : g.below(2)), dur[i]));
      in.doms.push_back(fd_oracle::range(0, upper));
      in.doms.push_back(fd_oracle::range(use[i], use[i]));
    }
    in.doms.push_back(fd_oracle::range(2, 2));
    in.doms.push_back(fd_oracle::range(0, upper));
    in.doms.push_back(fd_oracle::range(0, upper));
    for (int global : {0, 2}) {
      in.data[1] = global;
      fd_harness::result want = run(rw, in);
      in.data[1] = global | 1;
      fd_harness::result got = run(rw, in);
      SCOPED_TRACE("instance " + std::to_string(k) + " global " + std::to_string(global));
      ASSERT_EQ(got.outcome, want.outcome);
      for (size_t i = 0; i < want.doms.size(); i++) EXPECT_EQ(got.doms[i].text(), want.doms[i].text()) << i;
      in.data[1] = global ^ 2;
      differs += run(rw, in).doms != want.doms;
    }
  }
  EXPECT_GT(differs, 0); /* the global bit itself changes something */
}

/* Instances of 4-7 tasks with fixed durations and uses on a tight horizon, most origins fixed,
 * the open ones often with a hole beside a seed value, and 1-3 precedence pairs whose difference
 * ranges hold the seeds' difference or lie next to it. Lower and Upper span only their possible
 * values, so that the product of the domains stays small enough for the oracle along walks. */
instance precedence_instance(fd_harness::rng &g, int n)
{
  instance in;
  int limit = g.below(3) ? 1 : 2, horizon = n + 2;
  in.data = {n, g.below(2) ? 2 : 0};
  int64_t lo_min = INT64_MAX, lo_max = INT64_MAX, up_min = INT64_MIN, up_max = INT64_MIN;
  std::vector<int> seed(n);
  for (int i = 0, open = 0; i < n; i++) {
    int d = 1 + (g.below(4) == 0), o = g.below(horizon - d + 1);
    seed[i] = o;
    fd_oracle::values os = {o};
    if (open < 3 && g.below(2)) {
      open++;
      for (int k = 1 + g.below(2); k > 0; k--)
        os.push_back(g.below(2) ? std::min(o + 2, horizon - d) : g.below(horizon - d + 1));
      std::sort(os.begin(), os.end());
      os.erase(std::unique(os.begin(), os.end()), os.end());
    }
    fd_oracle::domain od = fd_oracle::domain::of(os);
    fd_oracle::values es;
    for (int64_t v : os) es.push_back(v + d);
    in.doms.push_back(od);
    in.doms.push_back(fd_oracle::range(d, d));
    in.doms.push_back(fd_oracle::domain::of(es));
    int use = 1 + g.below(limit);
    in.doms.push_back(fd_oracle::range(use, use));
    lo_min = std::min(lo_min, od.min()), lo_max = std::min(lo_max, od.max());
    up_min = std::max(up_min, od.min() + d), up_max = std::max(up_max, od.max() + d);
  }
  in.doms.push_back(fd_oracle::range(limit, limit));
  in.doms.push_back(fd_oracle::range(lo_min, lo_max));
  in.doms.push_back(fd_oracle::range(up_min, up_max));
  for (int k = 1 + g.below(3); k > 0; k--) {
    int j = g.below(n), i = (j + 1 + g.below(n - 1)) % n;
    in.data.push_back(j), in.data.push_back(i);
    int64_t a = seed[j] - seed[i] - g.below(2);
    in.doms.push_back(fd_oracle::range(a, a + g.below(2)));
  }
  return in;
}

/* The instance with its tasks listed in the order perm (perm[q]: the task at position q). */
instance reordered(const instance &in, const std::vector<int> &perm)
{
  cu_view v{in};
  int n = v.n();
  std::vector<int> at(n);
  instance out = in;
  for (int q = 0; q < n; q++) {
    at[perm[q]] = q;
    for (int k = 0; k < 4; k++) out.doms[4 * q + k] = in.doms[4 * perm[q] + k];
  }
  for (int k = 0; k < v.pairs(); k++)
    out.data[2 + 2 * k] = at[v.pj(k)], out.data[3 + 2 * k] = at[v.pi(k)];
  return out;
}

/* The solutions of an instance whose durations and uses are fixed: each origin assignment with
 * the ends, Lower, Upper and differences it implies, kept when those lie in their domains and
 * the relation holds. */
std::vector<tuple> cu_solutions(const instance &in)
{
  cu_view v{in};
  int n = v.n();
  std::vector<std::vector<int64_t>> origins;
  for (int i = 0; i < n; i++) {
    origins.emplace_back();
    for (auto [l, h] : in.doms[4 * i].iv)
      for (int64_t x = l; x <= h; x++) origins.back().push_back(x);
  }
  std::vector<tuple> out;
  fd_oracle::each_assignment(origins, [&](const tuple &o) {
    tuple t(in.doms.size());
    int64_t lo = INT64_MAX, hi = INT64_MIN;
    for (int i = 0; i < n; i++) {
      t[4 * i] = o[i], t[4 * i + 1] = in.doms[4 * i + 1].min();
      t[4 * i + 2] = o[i] + t[4 * i + 1], t[4 * i + 3] = in.doms[4 * i + 3].min();
      lo = std::min(lo, o[i]), hi = std::max(hi, t[4 * i + 2]);
    }
    t[4 * n] = in.doms[4 * n].min(), t[4 * n + 1] = lo, t[4 * n + 2] = hi;
    for (int k = 0; k < v.pairs(); k++) t[4 * n + 3 + k] = o[v.pj(k)] - o[v.pi(k)];
    for (size_t x = 0; x < t.size(); x++)
      if (!in.doms[x].contains(t[x])) return;
    if (cu_sat(in, t)) out.push_back(t);
  });
  return out;
}

/* Precedence pairs over 4-7 tasks: the post in every list order of 4 and 5 tasks, in 24 random
 * orders of 6 and 7, keeps every solution, fails only without one and is entailed only on one;
 * walks from two of the orders (post, narrow, backtrack, narrow again) against the oracle. The
 * list order decides which clique and which stale bounds the unary step sees. */
TEST_F(FdCumulative, PrecedencePairsInEveryListOrderKeepEverySolution)
{
  row rw = cu_row();
  fd_harness::rng g{6161};
  int failed = 0, solved = 0;
  for (int k = 0; k < scaled(150) && !HasFailure(); k++) {
    int n = 4 + k % 4;
    instance base = precedence_instance(g, n);
    std::vector<int> perm(n);
    for (int i = 0; i < n; i++) perm[i] = i;
    std::vector<std::vector<int>> orders;
    if (n <= 5) {
      do orders.push_back(perm);
      while (std::next_permutation(perm.begin(), perm.end()));
    } else {
      for (int q = 0; q < 24; q++) {
        for (int i = n - 1; i > 0; i--) std::swap(perm[i], perm[g.below(i + 1)]);
        orders.push_back(perm);
      }
    }
    if (scaled(10) < 10) orders.resize(std::min<size_t>(orders.size(), 6));
    for (size_t q = 0; q < orders.size() && !HasFailure(); q++) {
      instance in = reordered(base, orders[q]);
      SCOPED_TRACE("instance " + std::to_string(k) + " order " + std::to_string(q));
      std::vector<tuple> sols = cu_solutions(in);
      fd_harness::result r = run(rw, in);
      if (r.outcome != 1) {
        EXPECT_TRUE(sols.empty()) << "failed with " << sols.size() << " solutions";
        failed++;
        continue;
      }
      solved += !sols.empty();
      for (const tuple &t : sols)
        for (size_t x = 0; x < t.size(); x++)
          ASSERT_TRUE(r.doms[x].contains(t[x]))
              << "lost a solution: variable " << x << " value " << t[x];
      if (r.entailed) {
        ASSERT_TRUE(fd_harness::all_fixed(r.doms)) << "entailed with open variables";
        tuple t;
        for (const fd_oracle::domain &x : r.doms) t.push_back(x.min());
        EXPECT_TRUE(cu_sat(in, t)) << "entailed on a non-solution";
      }
      if (q < 2) walk(rw, in, g);
    }
  }
  EXPECT_GT(failed, 0);
  EXPECT_GT(solved, 0);
}

/* Lower and Upper are bounded through the tasks that bounded them last, and scanned again only
 * when those no longer do: along walks over 8-11 tasks with wide windows, every fixpoint holds
 * them where a scan of every task leaves them and a fresh post reaches the same domains, and
 * most bounds need no scan. */
TEST_F(FdCumulative, LowerAndUpperStayWhereAFullScanLeavesThem)
{
  row rw = cu_row();
  rw.steps = 16;
  fd_harness::rng g{6262};
  fd_discrete_counts = {};
  for (int k = 0; k < scaled(30) && !HasFailure(); k++) {
    instance in;
    int n = 8 + g.below(4);
    in.data = {n, g.below(2) ? 2 : 0};
    for (int i = 0; i < n; i++) {
      int d = 1 + g.below(3), lo = g.below(8);
      in.doms.push_back(fd_harness::random_domain(g, lo, lo + 2 + g.below(4)));
      in.doms.push_back(fd_oracle::range(d, d + g.below(2)));
      in.doms.push_back(fd_oracle::range(0, 20));
      in.doms.push_back(fd_oracle::range(1, 1 + g.below(2)));
    }
    in.doms.push_back(fd_oracle::range(3, 4));
    in.doms.push_back(fd_oracle::range(0, 10));
    in.doms.push_back(fd_oracle::range(0, 25));
    SCOPED_TRACE("instance " + std::to_string(k));
    walk(rw, in, g);
  }
  EXPECT_GT(fd_discrete_counts.window_scans, 0);
  EXPECT_LT(fd_discrete_counts.window_scans, fd_discrete_counts.window_bounds);
}

/* The reported state: limit 1, unit tasks listed B (origin 2 or 4), C = 3, A = 2, E = 5 with
 * origin(C) - origin(A) = 1. A = 2, C = 3, B = 4, E = 5 is a schedule. The clique step left B's
 * record at 3 with its origin at 4, and the chains then walked B before C. */
TEST_F(FdCumulative, ChainsWalkTheTasksInTheOrderOfTheirStarts)
{
  row rw = cu_row();
  auto unit = [](std::vector<int64_t> o) {
    std::vector<int64_t> e;
    for (int64_t v : o) e.push_back(v + 1);
    return std::vector<fd_oracle::domain>{fd_oracle::domain::of(o), fd_oracle::range(1, 1),
                                          fd_oracle::domain::of(e), fd_oracle::range(1, 1)};
  };
  instance in;
  in.data = {4, 0, 1, 2}; /* D = origin(C) - origin(A) */
  for (auto o : {std::vector<int64_t>{2, 4}, {3}, {2}, {5}})
    for (const fd_oracle::domain &x : unit(o)) in.doms.push_back(x);
  in.doms.push_back(fd_oracle::range(1, 1));
  in.doms.push_back(fd_oracle::range(0, 8));
  in.doms.push_back(fd_oracle::range(0, 9));
  in.doms.push_back(fd_oracle::range(1, 1));
  for (int global : {0, 2}) {
    in.data[1] = global;
    fd_harness::result r = run(rw, in);
    ASSERT_EQ(r.outcome, 1) << "global " << global;
    EXPECT_EQ(r.doms[0].text(), fd_oracle::range(4, 4).text());
    EXPECT_TRUE(r.entailed);
  }
}

/* Fixed durations with open uses: 3-6 tasks of one or two units over a window of four, their
 * least uses near the limit (task intervals on or off, the limit fixed or one of two values),
 * the origins fixed (in a third of the instances one value wider), walked against brute force.
 * The filter is told that every task is fixed only when the uses are too. Its rules would stay
 * sound without that reading: each use enters as its minimum, lower heights only ease the
 * capacity, so every placement that some uses allow is one of the least uses, and the filter
 * never narrows a use. (The longest-hole tables, built once, are another matter: they are made
 * only when every use is fixed, since a minimum may rise later.) */
TEST_F(FdCumulative, OpenUsesKeepEverySolution)
{
  row rw = cu_row();
  fd_harness::rng g{6464};
  int failed = 0, pruned = 0;
  for (int k = 0; k < scaled(60) && !HasFailure(); k++) {
    instance in;
    int n = 3 + g.below(4), limit = 2 + g.below(3), width = 4;
    in.data = {n, g.below(4) ? 2 : 0};
    std::vector<int> load(width, 0);
    int64_t lo = INT64_MAX, hi = INT64_MIN;
    for (int i = 0; i < n; i++) {
      int d = 1 + g.below(2), o = g.below(width - d + 1), u = 1 + g.below(limit);
      for (int x = o; x < o + d; x++) load[x] += u;
      int o2 = k % 3 == 2 ? std::min(o + 1, width - d) : o;
      in.doms.push_back(fd_oracle::range(o, o2));
      in.doms.push_back(fd_oracle::range(d, d));
      in.doms.push_back(fd_oracle::range(o + d, o2 + d));
      int low = std::max(0, u - g.below(2));
      in.doms.push_back(fd_harness::random_domain(g, low, low + 1 + g.below(2), 20));
      lo = std::min<int64_t>(lo, o), hi = std::max<int64_t>(hi, o + d);
    }
    int peak = *std::max_element(load.begin(), load.end());
    limit = std::max(limit, peak - 1 + g.below(2)); /* near full: at or just under the peak */
    in.doms.push_back(g.below(3) ? fd_oracle::range(limit, limit)
                                 : fd_oracle::range(limit, limit + 1));
    in.doms.push_back(fd_oracle::range(lo, lo + k % 3 / 2));
    in.doms.push_back(fd_oracle::range(hi, hi + k % 3 / 2));
    SCOPED_TRACE("instance " + std::to_string(k));
    fd_harness::result r = run(rw, in);
    failed += r.outcome != 1;
    pruned += r.outcome == 1 && r.doms != in.doms;
    walk(rw, in, g);
  }
  EXPECT_GT(failed, 0);
  EXPECT_GT(pruned, 0);
}

/* ft06 with one cumulative of limit 1 per machine and the jobs' precedences as linear constraints:
 * branch and bound on the makespan finds 55; the node counts beside disjoint1's are printed. */
TEST_F(FdCumulative, Ft06OptimumIs55)
{
  uint64_t nodes[2];
  for (int cumulative : {0, 1}) {
    driver d(api);
    fd_undo_scope undo(w, QX_ALT_FAILCODE);
    fd_models::jobshop js;
    ASSERT_TRUE(fd_models::jobshop_unary_model(d, fd_jobshop::ft06(), &js, cumulative)) << exception() << d.error();
    fd_driver::counts c;
    ASSERT_EQ(d.search(js.vars(), fd_models::jobshop_unary_search(js), [](driver &) { return true; }, &c), 1)
        << exception();
    TAGGED bound;
    std::vector<int32_t> values;
    ASSERT_TRUE(d.incumbent(&bound, &values));
    EXPECT_EQ(bound, MakeSmall(55));
    nodes[cumulative] = c.nodes;
  }
  printf("ft06 nodes: cumulative %llu, disjoint1 %llu\n", (unsigned long long)nodes[1], (unsigned long long)nodes[0]);
}

}  // namespace
