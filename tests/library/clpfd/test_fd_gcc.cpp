/* global_cardinality/3 as a flow network against brute-force enumeration: the variables left
 * are exactly those of some assignment meeting the count bounds, every achievable count
 * survives, failure exactly without solutions; magic series counted by search.
 */
#include <random>
#include <set>

#include "fd_gcc_cost_oracle.h"
#include "fd_globals.h"
#include "fd_harness.h"
#include "fd_kernel_env.h"
#include "fd_oracle.h"

namespace {

using fd_oracle::values;

struct gcc_instance {
  std::vector<values> x;    /* variable domains (may hold non-key values) */
  values keys;              /* ascending */
  std::vector<values> c;    /* count domains */
};

/* A random instance: 1..5 variables, 1..4 keys within 0..5, domains over -1..6 with holes, counts
 * as intervals within 0..n (or fixed), so that the relation and its relaxation to count bounds
 * agree. */
gcc_instance random_gcc(std::mt19937 &r)
{
  gcc_instance g;
  int n = 1 + (int)(r() % 5), m = 1 + (int)(r() % 4);
  for (int v = 0; v <= 5 && (int)g.keys.size() < m; v++)
    if (r() % 3 != 0 || 5 - v < m - (int)g.keys.size()) g.keys.push_back(v);
  for (int i = 0; i < n; i++) {
    values d;
    for (int v = -1; v <= 6; v++)
      if (r() % 3 == 0) d.push_back(v);
    if (d.empty()) d.push_back(g.keys[r() % g.keys.size()]);
    g.x.push_back(d);
  }
  for (size_t j = 0; j < g.keys.size(); j++) {
    int lo = (int)(r() % 3), hi = lo + (int)(r() % (n + 1));
    values d;
    for (int v = lo; v <= hi; v++) d.push_back(v);
    g.c.push_back(d);
  }
  return g;
}

/* Whether x (variables then counts) satisfies the relation. */
bool gcc_sat(const gcc_instance &g, const values &x)
{
  size_t n = g.x.size();
  for (size_t j = 0; j < g.keys.size(); j++) {
    int64_t k = 0;
    for (size_t i = 0; i < n; i++) k += x[i] == g.keys[j];
    if (k != x[n + j]) return false;
  }
  for (size_t i = 0; i < n; i++)
    if (std::find(g.keys.begin(), g.keys.end(), x[i]) == g.keys.end()) return false;
  return true;
}

std::string set_text(const values &d) { return fd_oracle::domain::of(d).text(); }

}  // namespace

class FdGcc : public FdKernelTest {
protected:
  FdGcc()
  {
    consult(fd_oracle::prelude);
    consult("gcc_entries([], [], []).\n"
            "gcc_entries([K|Ks], [C|Cs], [K-v(C, A)|Es]) :- attr(C, A), gcc_entries(Ks, Cs, Es).\n"
            "gcc_susp([], []).\n"
            "gcc_susp([X|Xs], [dom(X)|Ss]) :- gcc_susp(Xs, Ss).\n"
            "gcc_post(Xs, Ks, Cs, G) :- len(Xs, N), len(Ks, M), gcc_entries(Ks, Cs, Es), "
            "C = global_cardinality(Xs, Ks, Cs), gcc_susp(Xs, S1), gcc_susp(Cs, S2), "
            "append(S1, S2, Ss), "
            "clpfd:'$fd_post_global'(C, s(N, M, Xs, Es, 0, [], 0, _, 0), 32, C, Ss, G).\n"
            "lcc_post(Xs, Ks, Cs, G) :- len(Xs, N), len(Ks, M), gcc_entries(Ks, Cs, Es), "
            "C = local_cardinality(Xs, Es), gcc_susp(Xs, S1), gcc_susp(Cs, S2), append(S1, S2, Ss), "
            "clpfd:'$fd_post_global'(C, s(N, M, Xs, Es, _, 0), 32, C, Ss, G).\n"
            "append([], L, L).\n"
            "append([H|T], L, [H|R]) :- append(T, L, R).\n"
            "in_doms([], []).\n"
            "in_doms([X|Xs], [D|Ds]) :- clpfd:'$fd_in_set'(X, D, 0), in_doms(Xs, Ds).\n"
            "label([]).\n"
            "label([X|Xs]) :- dom(X, S), expand(S, Vs), mem(V, Vs), "
            "clpfd:'$fd_in_set'(X, [[V|V]], 1), prop, label(Xs).\n"
            "mem(X, [X|_]).\n"
            "mem(X, [_|T]) :- mem(X, T).\n"
            "expand([], []).\n"
            "expand([[L|H]|T], Vs) :- span(L, H, Vs, R), expand(T, R).\n"
            "span(L, H, Vs, R) :- L > H, !, Vs = R.\n"
            "span(L, H, [L|Vs], R) :- L1 is L + 1, span(L1, H, Vs, R).\n"
            "count_solutions(G, N) :- assertz(gcc_sol(stop)), "
            "( call(G), asserta(gcc_sol(one)), fail ; true ), count_sols(0, N).\n"
            "count_sols(K, N) :- retract(gcc_sol(X)), !, "
            "( X == stop -> N = K ; K1 is K + 1, count_sols(K1, N) ).\n");
  }

  /* Runs goal, which binds L to [E|F] (E 1 when entailed, F the n domains flattened), and reads
   * the outcome, each domain's values within the window. */
  fd_oracle::outcome run_outcome(const std::string &goal, size_t n, int64_t window)
  {
    EXPECT_EQ(run(goal), 1) << goal << exception();
    fd_oracle::values nums = fd_oracle::numbers(var("L"));
    fd_oracle::outcome o;
    if (nums.empty() || nums[0] == fd_oracle::FAILED) return o;
    o.failed = false;
    o.entailed = nums[0] == 1;
    size_t at = 1;
    for (const fd_oracle::domain &d : fd_oracle::read_domains(nums, &at, n)) o.after.push_back(d.all(window));
    return o;
  }

  /* Posts g and propagates: the outcome with the values of the variables then the counts. */
  fd_oracle::outcome solve(const gcc_instance &g, const char *post = "gcc_post")
  {
    std::string xs, cs, ks, dx, dc;
    for (size_t i = 0; i < g.x.size(); i++)
      xs += (i ? ", X" : "X") + std::to_string(i), dx += (i ? ", " : "") + set_text(g.x[i]);
    for (size_t j = 0; j < g.keys.size(); j++) {
      cs += (j ? ", C" : "C") + std::to_string(j), dc += (j ? ", " : "") + set_text(g.c[j]);
      ks += (j ? ", " : "") + std::to_string(g.keys[j]);
    }
    std::string goal = "undone((clpfd:'$fd_begin', in_doms([" + xs + "], [" + dx + "]), in_doms([" +
                       cs + "], [" + dc + "]), " + post + "([" + xs + "], [" + ks + "], [" + cs +
                       "], G), prop, flat([" + xs + ", " + cs + "], F), dead(G, E)), [E|F], L)";
    return run_outcome(goal, g.x.size() + g.c.size(), 100);
  }
};

/* Domain consistency of the variables against the oracle, every achievable count kept, failure
 * exactly without solutions, entailment only when every assignment left is a solution. */
TEST_F(FdGcc, VariablesDomainConsistentAgainstBruteForce)
{
  std::mt19937 r(4711);
  for (int t = 0; t < 300; t++) {
    gcc_instance g = random_gcc(r);
    size_t n = g.x.size();
    std::vector<std::set<int64_t>> support(n + g.keys.size());
    fd_oracle::each_assignment(g.x, [&](const values &x) {
      values full = x;
      for (int64_t k : g.keys) full.push_back(std::count(x.begin(), x.end(), k));
      for (size_t j = 0; j < g.keys.size(); j++)
        if (std::find(g.c[j].begin(), g.c[j].end(), full[n + j]) == g.c[j].end()) return;
      if (!gcc_sat(g, full)) return;
      for (size_t i = 0; i < full.size(); i++) support[i].insert(full[i]);
    });
    fd_oracle::outcome o = solve(g);
    SCOPED_TRACE("instance " + std::to_string(t));
    ASSERT_EQ(o.failed, support[0].empty() && n > 0);
    if (o.failed) continue;
    for (size_t i = 0; i < n; i++)
      EXPECT_EQ(o.after[i], values(support[i].begin(), support[i].end())) << "variable " << i;
    for (size_t j = n; j < support.size(); j++) {
      for (int64_t v : support[j])
        EXPECT_NE(std::find(o.after[j].begin(), o.after[j].end(), v), o.after[j].end()) << "count " << j;
      /* within the variables fixed to the key and those that can take it */
      int64_t key = g.keys[j - n], fixed = 0, possible = 0;
      for (size_t i = 0; i < n; i++) {
        bool can = std::find(o.after[i].begin(), o.after[i].end(), key) != o.after[i].end();
        possible += can, fixed += can && o.after[i].size() == 1;
      }
      EXPECT_GE(o.after[j].front(), fixed) << "count " << j;
      EXPECT_LE(o.after[j].back(), possible) << "count " << j;
    }
    if (o.entailed)
      fd_oracle::each_assignment(o.after, [&](const values &x) { EXPECT_TRUE(gcc_sat(g, x)); });
  }
}

/* Magic series of length n: X_i counts the occurrences of i, so the variables are their own
 * counts: 2, 1, 0, 1 and 1 solutions for n = 4 to 8. */
TEST_F(FdGcc, MagicSeriesCounts)
{
  const int expected[] = {2, 1, 0, 1, 1};
  for (const char *post : {"gcc_post", "lcc_post"})
  for (int n = 4; n <= 8; n++) {
    std::string xs, ks;
    for (int i = 0; i < n; i++)
      xs += (i ? ", X" : "X") + std::to_string(i), ks += (i ? ", " : "") + std::to_string(i);
    std::string goal = "Xs = [" + xs + "], in_doms(Xs, [" + [&] {
      std::string d;
      for (int i = 0; i < n; i++) d += (i ? ", [[0|" : "[[0|") + std::to_string(n - 1) + "]]";
      return d;
    }() + "]), count_solutions((clpfd:'$fd_begin', " + post + "(Xs, [" + ks + "], Xs, _), prop, label(Xs)), N)";
    ASSERT_EQ(run(goal), 1) << goal << exception();
    EXPECT_EQ(var("N"), std::to_string(expected[n - 4])) << post << " n = " << n;
  }
}

/* local_cardinality loses no solution, fails only without one, is entailed only when every
 * assignment left is a solution, and never prunes more than global_cardinality. */
TEST_F(FdGcc, LocalCardinalitySoundAndWeakerThanGlobal)
{
  std::mt19937 r(1213);
  for (int t = 0; t < 300; t++) {
    gcc_instance g = random_gcc(r);
    std::vector<values> before = g.x;
    before.insert(before.end(), g.c.begin(), g.c.end());
    fd_oracle::outcome local = solve(g, "lcc_post"), global = solve(g);
    SCOPED_TRACE("instance " + std::to_string(t));
    fd_oracle::check(before, local, [&](const values &x) { return gcc_sat(g, x); });
    if (local.failed) {
      EXPECT_TRUE(global.failed);
    }
    if (local.failed || global.failed) continue;
    for (size_t i = 0; i < before.size(); i++)
      for (int64_t v : global.after[i])
        EXPECT_NE(std::find(local.after[i].begin(), local.after[i].end(), v), local.after[i].end());
  }
}

/* ---- nvalue ---- */

namespace {

struct nvalue_instance {
  std::vector<values> x;
  values n;
};

/* 1..5 variables over 1..5 with holes, N an interval within 0..6. */
nvalue_instance random_nvalue(std::mt19937 &r)
{
  nvalue_instance g;
  int n = 1 + (int)(r() % 5);
  for (int i = 0; i < n; i++) {
    values d;
    for (int v = 1; v <= 5; v++)
      if (r() % 2) d.push_back(v);
    if (d.empty()) d.push_back(1 + (int)(r() % 5));
    g.x.push_back(d);
  }
  int lo = (int)(r() % 4), hi = r() % 3 ? lo + (int)(r() % 3) : 6;
  for (int v = lo; v <= hi; v++) g.n.push_back(v);
  return g;
}

int64_t distinct(const values &x, size_t n)
{
  std::set<int64_t> s(x.begin(), x.begin() + n);
  return (int64_t)s.size();
}

}  // namespace

class FdNvalue : public FdGcc {
protected:
  fd_oracle::outcome solve_nvalue(const nvalue_instance &g)
  {
    std::string xs, dx;
    for (size_t i = 0; i < g.x.size(); i++)
      xs += ", X" + std::to_string(i), dx += ", " + set_text(g.x[i]);
    std::string goal = "undone((clpfd:'$fd_begin', in_doms([N" + xs + "], [" + set_text(g.n) + dx +
                       "]), nv_post(N, [" + xs.substr(2) + "], G), prop, flat([N" + xs +
                       "], F), dead(G, E)), [E|F], L)";
    return run_outcome(goal, g.x.size() + 1, 100);
  }
  FdNvalue()
  {
    consult("nv_entries([], []).\n"
            "nv_entries([X|Xs], [v(X, A)|Es]) :- attr(X, A), nv_entries(Xs, Es).\n"
            "nv_post(N, Xs, G) :- attr(N, NA), nv_entries(Xs, Es), len(Xs, K), "
            "C = nvalue(N, Xs), gcc_susp([N|Xs], Ss), "
            "clpfd:'$fd_post_global'(C, s(v(N, NA), Es, K, 0, _, 0), 32, C, Ss, G).\n");
  }
};

/* Soundness against the oracle (N first, then the variables); with no variable fixed and N
 * open, N's maximum is the oracle's greatest number of distinct values and its minimum at most
 * the least. The diagnostic of a failed non-kernel match is never printed. */
TEST_F(FdNvalue, SoundAndBoundedAgainstBruteForce)
{
  std::mt19937 r(2718);
  uint64_t runs[3];
  std::copy(fd_nvalue_prunings, fd_nvalue_prunings + 3, runs);
  testing::internal::CaptureStdout();
  /* the greedy independent set finds 2 where the hulls need 3 groups: the interval pruning */
  const std::vector<values> greedy_short = {{5, 7, 8, 9}, {8, 10, 11}, {3, 4, 6}, {8, 12}, {6, 7}, {3, 5}};
  for (int t = 0; t < 406; t++) {
    nvalue_instance g = t < 400 ? random_nvalue(r) : nvalue_instance{greedy_short, {t - 399}};
    std::vector<values> before = {g.n};
    before.insert(before.end(), g.x.begin(), g.x.end());
    auto sat = [&](const values &x) { return x[0] == distinct(values(x.begin() + 1, x.end()), g.x.size()); };
    fd_oracle::outcome o = solve_nvalue(g);
    SCOPED_TRACE("instance " + std::to_string(t));
    fd_oracle::check(before, o, sat);
    bool open = g.n.size() == 7;
    for (const values &d : g.x) open = open && d.size() > 1;
    if (!open || o.failed) continue;
    int64_t most = 0, least = 99;
    fd_oracle::each_assignment(g.x, [&](const values &x) {
      most = std::max(most, distinct(x, x.size()));
      least = std::min(least, distinct(x, x.size()));
    });
    EXPECT_EQ(o.after[0].back(), most);
    EXPECT_LE(o.after[0].front(), least);
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout().find("non-kernel"), std::string::npos);
  for (int mode = 0; mode < 3; mode++) EXPECT_GT(fd_nvalue_prunings[mode], runs[mode]) << mode;
}

/* The constraint's own cases: N, then the variables, "failed", and the dead flag. */
TEST_F(FdNvalue, EdgeCases)
{
  struct row {
    values n;
    std::vector<values> x;
    const char *expect; /* flat domains of N and the variables, or failed */
    bool entailed;
  } rows[] = {
      /* an alternating cycle: nothing goes */
      {{2}, {{1, 2}, {1, 2}}, "[[2,2]] [[1,2]] [[1,2]]", false},
      /* two disjoint hulls: N is 2 */
      {{0, 1, 2, 3, 4}, {{1, 2}, {3, 4}}, "[[2,2]] [[1,2]] [[3,4]]", false},
      /* all fixed: N is the number of distinct values */
      {{0, 1, 2, 3, 4, 5}, {{1}, {3}, {1}}, "[[2,2]] [[1,1]] [[3,3]] [[1,1]]", true},
      /* N below the stabbing bound */
      {{1}, {{1, 2}, {3, 4}}, "failed", false},
      /* one value for three variables, two of them fixed apart */
      {{2}, {{1}, {2}, {1, 2, 3}}, "[[2,2]] [[1,1]] [[2,2]] [[1,2]]", false},
  };
  for (const row &c : rows) {
    fd_oracle::outcome o = solve_nvalue({c.x, c.n});
    std::string got = "failed";
    if (!o.failed) {
      got.clear();
      for (const values &d : o.after) got += (got.empty() ? "" : " ") + set_text(d);
    }
    auto flat = [](std::string s) {
      std::replace(s.begin(), s.end(), '|', ' ');
      std::replace(s.begin(), s.end(), ',', ' ');
      return s;
    };
    EXPECT_EQ(flat(got), flat(c.expect));
    if (!o.failed) {
      EXPECT_EQ(o.entailed, c.entailed) << c.expect;
    }
  }
}

/* Four variables over 1..4 taking exactly two distinct values: 84 assignments. */
TEST_F(FdNvalue, TwoValuesOfFourCount)
{
  ASSERT_EQ(run("Xs = [A, B, C, D], in_doms([N|Xs], [[[2|2]], [[1|4]], [[1|4]], [[1|4]], [[1|4]]]), "
                "count_solutions((clpfd:'$fd_begin', nv_post(N, Xs, _), prop, label(Xs)), K)"),
            1)
      << exception();
  EXPECT_EQ(var("K"), "84");
}

/* ---- global_cardinality with costs ---- */

namespace {

struct cost_instance {
  gcc_instance g;
  std::vector<values> m; /* per variable, per key */
  values cost;           /* Cost's domain */
};

/* Up to 4 variables over 3 keys 1..3 (some non-key values), costs 0..9, Cost an interval or a
 * set with holes around the possible totals. */
cost_instance random_cost(std::mt19937 &r)
{
  cost_instance c;
  int n = 1 + (int)(r() % 4);
  c.g.keys = {1, 2, 3};
  for (int i = 0; i < n; i++) {
    values d, row;
    for (int v = 0; v <= 4; v++)
      if (r() % 3 != 0) d.push_back(v);
    if (d.empty()) d.push_back(2);
    c.g.x.push_back(d);
    for (int j = 0; j < 3; j++) row.push_back((int)(r() % 10));
    c.m.push_back(row);
  }
  for (int j = 0; j < 3; j++) {
    int lo = (int)(r() % 2);
    c.g.c.push_back({});
    for (int v = lo; v <= lo + (int)(r() % (n + 1)); v++) c.g.c.back().push_back(v);
  }
  int lo = (int)(r() % (5 * n + 1)), hi = lo + (int)(r() % (6 * n + 2));
  for (int v = lo; v <= hi; v++)
    if (r() % 3 || v == lo) c.cost.push_back(v);
  if (r() % 3 == 0) c.cost = {};
  return c;
}

int64_t total(const cost_instance &c, const values &x)
{
  int64_t t = 0;
  for (size_t i = 0; i < c.g.x.size(); i++) t += c.m[i][x[i] - 1];
  return t;
}

}  // namespace

class FdGccCost : public FdGcc {
protected:
  FdGccCost()
  {
    consult("gcc_cost_post(Xs, Ks, Cs, M, Cost, G) :- len(Xs, N), len(Ks, K), "
            "gcc_entries(Ks, Cs, Es), attr(Cost, CA), C = global_cardinality(Xs, Ks, Cs), "
            "append(Xs, [Cost|Cs], Vs), gcc_susp(Vs, Ss), "
            "clpfd:'$fd_post_global'(C, s(N, K, Xs, Es, 1, c(Cost, CA, M), 0, _, 0), 32, C, Ss, G).\n"
            "gcc_cost_quiet(Xs, Ks, Cs, M, Cost, G) :- len(Xs, N), len(Ks, K), "
            "gcc_entries(Ks, Cs, Es), attr(Cost, CA), C = global_cardinality(Xs, Ks, Cs), "
            "gcc_susp([Cost|Cs], Ss), "
            "clpfd:'$fd_post_global'(C, s(N, K, Xs, Es, 1, c(Cost, CA, M), 0, _, 0), 32, C, Ss, G).\n"
            "gcc_helper_post(G, I, X) :- G = global(M, _, _, _, _), "
            "C = global_cardinality_helper(I, X), "
            "clpfd:'$fd_post_global'(C, s(I, X, M), 0, C, [dom(X)], _).\n");
  }

  std::string text(const std::vector<values> &rows)
  {
    std::string s = "[";
    for (size_t i = 0; i < rows.size(); i++) {
      s += i ? ",[" : "[";
      for (size_t j = 0; j < rows[i].size(); j++) s += (j ? "," : "") + std::to_string(rows[i][j]);
      s += "]";
    }
    return s + "]";
  }

  /* The goal's setup: domains and the constraint with costs over X0.., C0.., Cost. */
  std::string setup(const cost_instance &c, const char *post, std::string *xs)
  {
    std::string cs, ks, dx, dc;
    for (size_t i = 0; i < c.g.x.size(); i++)
      *xs += (i ? ", X" : "X") + std::to_string(i), dx += (i ? ", " : "") + set_text(c.g.x[i]);
    for (size_t j = 0; j < 3; j++) {
      cs += (j ? ", C" : "C") + std::to_string(j), dc += (j ? ", " : "") + set_text(c.g.c[j]);
      ks += (j ? ", " : "") + std::to_string(c.g.keys[j]);
    }
    std::string cost = c.cost.empty() ? "[[0|1000]]" : set_text(c.cost);
    return "clpfd:'$fd_begin', in_doms([" + *xs + ", " + cs + ", Cost], [" + dx + ", " + dc + ", " +
           cost + "]), " + post + "([" + *xs + "], [" + ks + "], [" + cs + "], " + text(c.m) +
           ", Cost, G), prop";
  }

  /* The outcome over the variables, then Cost. */
  fd_oracle::outcome solve_cost(const cost_instance &c)
  {
    std::string xs, goal = setup(c, "gcc_cost_post", &xs);
    goal = "undone((" + goal + ", flat([" + xs + ", Cost], F), dead(G, E)), [E|F], L)";
    return run_outcome(goal, c.g.x.size() + 1, 100000);
  }

  /* The solutions' totals: all, and with X_i = v. */
  template <typename F>
  void each_solution(const cost_instance &c, F f)
  {
    fd_oracle::each_assignment(c.g.x, [&](const values &x) {
      for (size_t j = 0; j < 3; j++) {
        int64_t k = std::count(x.begin(), x.end(), c.g.keys[j]);
        if (std::find(c.g.c[j].begin(), c.g.c[j].end(), k) == c.g.c[j].end()) return;
      }
      for (int64_t v : x)
        if (v < 1 || v > 3) return;
      f(x, total(c, x));
    });
  }
};

/* Least and greatest totals, soundness with Cost's holes, failure exactly without solutions. */
TEST_F(FdGccCost, TotalsAndSoundnessAgainstBruteForce)
{
  std::mt19937 r(31337);
  for (int t = 0; t < 300; t++) {
    cost_instance c = random_cost(r);
    fd_oracle::outcome o = solve_cost(c);
    SCOPED_TRACE("instance " + std::to_string(t));
    int64_t least = INT64_MAX, most = INT64_MIN;
    size_t n = c.g.x.size();
    bool any = false;
    each_solution(c, [&](const values &x, int64_t cost) {
      least = std::min(least, cost), most = std::max(most, cost);
      if (!c.cost.empty() && std::find(c.cost.begin(), c.cost.end(), cost) == c.cost.end()) return;
      any = true;
      if (o.failed) return;
      for (size_t i = 0; i < n; i++)
        EXPECT_NE(std::find(o.after[i].begin(), o.after[i].end(), x[i]), o.after[i].end()) << i;
      EXPECT_NE(std::find(o.after[n].begin(), o.after[n].end(), cost), o.after[n].end());
    });
    ASSERT_EQ(o.failed, !any);
    if (!o.failed && c.cost.empty()) { /* Cost open: its bounds are the extreme totals */
      EXPECT_EQ(o.after[n].front(), least);
      EXPECT_EQ(o.after[n].back(), most);
    }
  }
}

/* The helper, its constraint not woken by X_i: after X_i = v, Cost lies within the least and
 * greatest totals of the solutions with X_i = v (the regrets are exact here), and keeps them. */
TEST_F(FdGccCost, HelperBoundsCostByTheArc)
{
  std::mt19937 r(4242);
  for (int t = 0; t < 60; t++) {
    cost_instance c = random_cost(r);
    c.cost = {};
    for (size_t i = 0; i < c.g.x.size(); i++)
      for (int64_t v = 1; v <= 3; v++) {
        int64_t least = INT64_MAX, most = INT64_MIN;
        each_solution(c, [&](const values &x, int64_t cost) {
          if (x[i] == v) least = std::min(least, cost), most = std::max(most, cost);
        });
        std::string xs, goal = setup(c, "gcc_cost_quiet", &xs);
        goal = "undone((" + goal + ", X = X" + std::to_string(i) + ", gcc_helper_post(G, " +
               std::to_string(i) +
               ", X), prop, clpfd:'$fd_in_set'(X, [[" + std::to_string(v) + "|" +
               std::to_string(v) + "]], 1), prop, dom(Cost, D)), D, L)";
        ASSERT_EQ(run(goal), 1) << goal << exception();
        SCOPED_TRACE(goal);
        fd_oracle::values d = fd_oracle::numbers(var("L"));
        if (least == INT64_MAX) continue; /* X_i = v is no solution: either outcome is right */
        ASSERT_GE(d.size(), 2u);
        EXPECT_EQ(d.front(), least);
        EXPECT_EQ(d.back(), most);
      }
  }
}

/* The defining case: two variables, keys at most once each, costs [[1,5],[5,1]], Cost in 0..3:
 * each keeps its cheap key and Cost is 2; Cost below the least total fails. */
TEST_F(FdGccCost, EdgeCases)
{
  std::string goal = "undone((clpfd:'$fd_begin', in_doms([X, Y, C1, C2, Cost], [[[1|2]], [[1|2]], "
                     "[[0|1]], [[0|1]], [[0|3]]]), gcc_cost_post([X, Y], [1, 2], [C1, C2], "
                     "[[1,5],[5,1]], Cost, _), prop, doms([X, Y, Cost], D)), D, L)";
  ASSERT_EQ(run(goal), 1) << exception();
  EXPECT_EQ(var("L"), "[[[1|1]],[[2|2]],[[2|2]]]");
  goal = "undone((clpfd:'$fd_begin', in_doms([X, Y, C1, C2, Cost], [[[1|2]], [[1|2]], "
         "[[0|1]], [[0|1]], [[0|1]]]), gcc_cost_post([X, Y], [1, 2], [C1, C2], "
         "[[1,5],[5,1]], Cost, _), prop), ok, L)";
  ASSERT_EQ(run(goal), 1) << exception();
  EXPECT_EQ(var("L"), "failed");
  /* the helper's position beyond the variables: an error */
  goal = "clpfd:'$fd_begin', in_doms([X, Y, C1, C2, Cost], [[[1|2]], [[1|2]], [[0|1]], [[0|1]], "
         "[[0|20]]]), gcc_cost_quiet([X, Y], [1, 2], [C1, C2], [[1,5],[5,1]], Cost, G), prop, "
         "gcc_helper_post(G, 7, X), prop, clpfd:'$fd_in_set'(X, [[1|1]], 1), prop";
  EXPECT_EQ(run(goal), -1);
  EXPECT_EQ(exception().rfind("error(domain_error(gcc_helper_position", 0), 0u) << exception();
  /* the helper: a value that is no key (not found: entailed, nothing pruned), and a variable the
   * block sees fixed (entailed, nothing pruned) */
  for (const char *helper : {"in_doms([Z], [[[7|8]]]), gcc_helper_post(G, 0, Z), prop, "
                             "clpfd:'$fd_in_set'(Z, [[7|7]], 1)",
                             "gcc_helper_post(G, 2, W), prop, clpfd:'$fd_in_set'(W, [[2|2]], 1)"}) {
    goal = std::string("undone((clpfd:'$fd_begin', in_doms([X, Y, W, C1, C2, Cost], [[[1|2]], [[1|2]], "
                       "[[2|2]], [[0|2]], [[0|2]], [[0|100]]]), gcc_cost_quiet([X, Y, W], [1, 2], "
                       "[C1, C2], [[1,5],[5,1],[3,3]], Cost, G), prop, dom(Cost, D0), ") +
           helper + ", prop, dom(Cost, D)), D0-D, L)";
    ASSERT_EQ(run(goal), 1) << goal << exception();
    EXPECT_EQ(var("L"), "-([[5|13]],[[5|13]])") << helper;
  }
}

/* ---- the harness rows: properties (a)-(g) ---- */

namespace {

using fd_harness::driver;
using fd_harness::instance;
using fd_harness::level;
using fd_harness::row;
using fd_harness::set_arg;
using fd_harness::set_sub;
using fd_harness::tuple;
using tmpl = driver::tmpl;

/* A keyed instance: data = n, m, the keys; doms = X1..Xn, C1..Cm (then Cost, with costs: data
 * goes on with the matrix row by row). Variables take values in -1..5, keys lie in 0..4. */
instance keyed_instance(fd_harness::rng &g, int max_vars, bool costs)
{
  instance in;
  int n = g.below(max_vars + 1), m = 1 + g.below(3);
  in.data = {n, m};
  for (int k = 0, left = m; k <= 4 && left > 0; k++)
    if (g.below(5 - k) < left) in.data.push_back(k), left--;
  for (int i = 0; i < n; i++) in.doms.push_back(fd_harness::random_domain(g, -1, 5, 40));
  for (int j = 0; j < m; j++) {
    int lo = g.below(2);
    in.doms.push_back(fd_harness::random_domain(g, lo, std::max(lo, n), 20));
  }
  if (costs) {
    for (int k = 0; k < n * m; k++) in.data.push_back(g.below(8));
    in.doms.push_back(fd_harness::random_domain(g, g.below(4 * n + 1), 8 * n, 30));
  }
  return in;
}

bool keyed_sat(const instance &in, const tuple &t, bool costs)
{
  int n = (int)in.data[0], m = (int)in.data[1];
  int64_t total = 0;
  for (int i = 0; i < n; i++) {
    const int64_t *key = std::find(&in.data[2], &in.data[2] + m, t[i]);
    if (key == &in.data[2] + m) return false;
    if (costs) total += in.data[2 + m + i * m + (key - &in.data[2])];
  }
  for (int j = 0; j < m; j++)
    if (std::count(t.begin(), t.begin() + n, in.data[2 + j]) != t[n + j]) return false;
  return !costs || t[n + m] == total;
}

/* The state of global_cardinality (lcc: its first four arguments) as the library posts it. */
driver::posting keyed_posting(const instance &in, const std::vector<int> &vars, const char *key,
                              bool costs)
{
  int n = (int)in.data[0], m = (int)in.data[1];
  std::vector<tmpl> xs, keys, counts, entries, matrix;
  for (int i = 0; i < n; i++) xs.push_back(driver::t_var(vars[i]));
  for (int j = 0; j < m; j++) {
    keys.push_back(driver::t_int(in.data[2 + j]));
    counts.push_back(driver::t_var(vars[n + j]));
    entries.push_back(driver::t_struct("-", {driver::t_int(in.data[2 + j]), driver::t_entry(vars[n + j])}));
  }
  std::vector<tmpl> state = {driver::t_int(n), driver::t_int(m), driver::t_list(xs),
                             driver::t_list(entries)};
  if (std::string(key) == "local_cardinality")
    return {key, {driver::t_list(xs), driver::t_list(entries)}, state};
  if (costs) {
    for (int i = 0; i < n; i++) {
      std::vector<tmpl> r;
      for (int j = 0; j < m; j++) r.push_back(driver::t_int(in.data[2 + m + i * m + j]));
      matrix.push_back(driver::t_list(r));
    }
    int cost = vars[n + m];
    state.push_back(driver::t_int(1));
    state.push_back(driver::t_struct("c", {driver::t_var(cost), driver::t_attr(cost), driver::t_list(matrix)}));
  } else {
    state.push_back(driver::t_int(0));
    state.push_back(driver::t_atom("[]"));
  }
  state.push_back(driver::t_int(0));
  return {key, {driver::t_list(xs), driver::t_list(keys), driver::t_list(counts)}, state};
}

/* The mutations of a keyed state (Bad input). */
std::vector<std::pair<std::string, std::function<void(driver::posting &)>>> keyed_mutations()
{
  auto entries = [](driver::posting &p) -> std::vector<tmpl> & { return p.state[3].args; };
  return {
      {"variable count", [](driver::posting &p) { p.state[0] = driver::t_int(p.state[0].v + 1); }},
      {"key count", [](driver::posting &p) { p.state[1] = driver::t_int(p.state[1].v + 1); }},
      {"negative count", set_arg(0, driver::t_int(-1))},
      {"improper variables",
       [](driver::posting &p) { p.state[2] = driver::t_improper(p.state[2].args, driver::t_int(1)); }},
      {"key repeated",
       [entries](driver::posting &p) {
         auto &e = entries(p);
         e.push_back(e.back());
         p.state[1] = driver::t_int(p.state[1].v + 1);
       }},
      {"keys descending",
       [entries](driver::posting &p) {
         auto &e = entries(p);
         e.insert(e.begin(), driver::t_struct("-", {driver::t_int(9), e.front().args[1]}));
         p.state[1] = driver::t_int(p.state[1].v + 1);
       }},
      {"key not an integer", [entries](driver::posting &p) { entries(p).front().args[0] = driver::t_atom("a"); }},
      {"key entry not a pair", [entries](driver::posting &p) { entries(p).front() = driver::t_int(3); }},
      {"count entry not a structure",
       [entries](driver::posting &p) { entries(p).front().args[1] = driver::t_atom("c"); }},
  };
}

row keyed_row(const char *key, bool costs)
{
  row r;
  r.name = std::string(key) + (costs ? "_costs" : "");
  r.generate = [costs](fd_harness::rng &g) { return keyed_instance(g, costs ? 3 : 4, costs); };
  r.sat = [costs](const instance &in, const tuple &t) { return keyed_sat(in, t, costs); };
  r.posting = [key, costs](const instance &in, const std::vector<int> &vars) {
    driver::posting p = keyed_posting(in, vars, key, costs);
    if (in.variant == 1) p.susp = "val"; /* woken on fixing only: weaker, same solutions */
    return p;
  };
  r.variants = {0, 1};
  r.mutations = keyed_mutations();
  if (std::string(key) == "global_cardinality") {
    r.mutations.push_back({"cost flag not an integer", set_arg(4, driver::t_atom("x"))});
    r.mutations.push_back({"cost matrix missing", [](driver::posting &p) {
                             p.state[4] = driver::t_int(1);
                             p.state[5] = driver::t_atom("[]");
                           }});
  }
  if (costs) {
    r.mutations.push_back({"matrix row short", [](driver::posting &p) {
                             if (!p.state[5].args[2].args.empty()) p.state[5].args[2].args[0].args.pop_back();
                             else p.state[5].args[2].args.push_back(driver::t_list({}));
                           }});
    r.mutations.push_back({"matrix entry not an integer", [](driver::posting &p) {
                             p.state[5].args[2] = driver::t_list({driver::t_list({driver::t_atom("a")})});
                           }});
  }
  r.instances = costs ? 60 : 100;
  return r;
}

/* nvalue: doms N, X1..Xn over 1..4. */
row nvalue_row()
{
  row r;
  r.name = "nvalue";
  r.generate = [](fd_harness::rng &g) {
    instance in;
    int n = 1 + g.below(4);
    in.doms.push_back(fd_harness::random_domain(g, 0, n + 1, 30));
    for (int i = 0; i < n; i++) in.doms.push_back(fd_harness::random_domain(g, 1, 4, 40));
    return in;
  };
  r.sat = [](const instance &, const tuple &t) {
    return t[0] == (int64_t)std::set<int64_t>(t.begin() + 1, t.end()).size();
  };
  r.posting = [](const instance &in, const std::vector<int> &vars) {
    std::vector<tmpl> xs, entries;
    for (size_t i = 1; i < vars.size(); i++) {
      xs.push_back(driver::t_var(vars[i]));
      entries.push_back(driver::t_entry(vars[i]));
    }
    std::vector<tmpl> state = {driver::t_entry(vars[0]), driver::t_list(entries),
                               driver::t_int((int64_t)entries.size()), driver::t_int(0)};
    driver::posting p{"nvalue", {driver::t_var(vars[0]), driver::t_list(xs)}, state};
    if (in.variant == 1) p.susp = "val";
    return p;
  };
  r.variants = {0, 1};
  r.mutations = {
      {"entry not a structure", set_sub(1, 0, driver::t_int(1))},
      {"improper list",
       [](driver::posting &p) { p.state[1] = driver::t_improper(p.state[1].args, driver::t_atom("x")); }},
      {"N not an entry", set_arg(0, driver::t_atom("n"))},
      {"count beyond the variables", set_arg(2, driver::t_atom("n"))},
  };
  r.instances = 120;
  return r;
}

}  // namespace

class FdGccRows : public fd_harness::FdHarness {};

TEST_F(FdGccRows, GlobalCardinality) { check_row(keyed_row("global_cardinality", false)); }
TEST_F(FdGccRows, GlobalCardinalityWithCosts) { check_row(keyed_row("global_cardinality", true)); }
TEST_F(FdGccRows, LocalCardinality) { check_row(keyed_row("local_cardinality", false)); }
TEST_F(FdGccRows, Nvalue) { check_row(nvalue_row()); }

/* The defining cases of global_cardinality and local_cardinality, one table for both (data: n, m,
 * the keys; domains X1..Xn, C1..Cm): the domains left, or failed, and entailment. */
TEST_F(FdGccRows, KeyedEdgeCases)
{
  using fd_oracle::range;
  auto set = [](fd_oracle::values v) { return fd_oracle::domain::of(v); };
  const fd_oracle::domain any{{{fd_oracle::INF, fd_oracle::SUP}}};
  struct edge {
    const char *what;
    std::vector<int64_t> data;
    std::vector<fd_oracle::domain> doms;
    const char *expect; /* the domains' texts, or failed */
    bool entailed;
  } rows[] = {
      {"no variables: counts 0", {0, 2, 1, 2}, {range(0, 3), range(0, 3)}, "[[0|0]] [[0|0]]", true},
      {"a minimum one variable cannot meet", {2, 2, 1, 2}, {range(1, 2), range(2, 2), range(2, 2), range(0, 2)}, "failed", false},
      {"X3 takes 3, every count 1", {3, 3, 1, 2, 3},
       {range(1, 2), range(1, 2), range(1, 3), range(0, 1), range(0, 1), range(0, 3)},
       "[[1|2]] [[1|2]] [[3|3]] [[1|1]] [[1|1]] [[1|1]]", false},
      {"maxima below the variables", {3, 2, 1, 2}, {range(1, 2), range(1, 2), range(1, 2), range(0, 1), range(0, 1)}, "failed", false},
      {"minima above the variables", {2, 2, 1, 2}, {range(1, 2), range(1, 2), range(2, 2), range(2, 2)}, "failed", false},
      {"a minimum forces its variables", {3, 3, 1, 2, 3},
       {set({1, 2}), set({1, 3}), set({2, 3}), range(2, 2), range(0, 3), range(0, 3)},
       "[[1|1]] [[1|1]] [[2|3]] [[2|2]] [[0|1]] [[0|1]]", false},
      {"one variable forced by two keys", {2, 3, 1, 2, 3},
       {range(1, 2), range(3, 3), range(1, 1), range(1, 1), range(0, 2)}, "failed", false},
      {"a saturated key leaves the others", {3, 2, 1, 2},
       {range(1, 1), range(1, 2), range(1, 2), range(0, 1), range(0, 3)},
       "[[1|1]] [[2|2]] [[2|2]] [[1|1]] [[2|2]]", true},
      {"all fixed", {3, 2, 1, 2}, {range(1, 1), range(2, 2), range(1, 1), range(0, 3), range(0, 3)},
       "[[1|1]] [[2|2]] [[1|1]] [[2|2]] [[1|1]]", true},
      {"values that are no keys, an unbounded variable", {2, 2, 1, 5},
       {set({0, 1, 5, 7}), any, range(0, 2), range(0, 2)}, "[[1|1],[5|5]] [[1|1],[5|5]] [[0|2]] [[0|2]]", false},
  };
  for (const char *key : {"global_cardinality", "local_cardinality"}) {
    row rw = keyed_row(key, false);
    for (const edge &e : rows) {
      SCOPED_TRACE(std::string(key) + ": " + e.what);
      fd_harness::instance in{e.doms, e.data};
      fd_harness::result r = run(rw, in);
      std::string got = r.outcome == 1 ? "" : "failed";
      for (const fd_oracle::domain &d : r.doms) got += (got.empty() ? "" : " ") + d.text();
      EXPECT_EQ(got, e.expect);
      if (r.outcome == 1) {
        EXPECT_EQ(r.entailed, e.entailed);
      }
    }
  }
}

/* Entailment frees the block (at once: it was made since the newest choicepoint), then the
 * output state's Handle becomes 0. */
TEST_F(FdGccRows, EntailmentFreesTheBlockThenZeroesTheHandle)
{
  row rw = keyed_row("global_cardinality", false);
  fd_harness::instance in{{fd_oracle::range(1, 1), fd_oracle::range(2, 2), fd_oracle::range(0, 3),
                           fd_oracle::range(0, 3)},
                          {2, 2, 1, 2}};
  driver d(api);
  fd_undo_scope undo(w, QX_ALT_FAILCODE);
  uint64_t live = fd_entry_blocks_made - fd_entry_blocks_destroyed, made = fd_entry_blocks_made;
  std::vector<int> vars = make_vars(d, in.doms);
  ASSERT_EQ(post(d, rw, in, vars).outcome, 1);
  TAGGED state = fd_mutable_value(StrArg(d.last_global(), FD_GLOBAL_STATE));
  EXPECT_EQ(deref(StrArg(state, 8)), MakeSmall(0));
  EXPECT_EQ(fd_entry_blocks_made, made + 1);
  EXPECT_EQ(fd_entry_blocks_made - fd_entry_blocks_destroyed, live);
}

/* nvalue numbers its value nodes from the union of the domains: an unbounded variable is an
 * error at posting. */
TEST_F(FdGccRows, NvalueRefusesAnUnboundedVariable)
{
  row rw = nvalue_row();
  fd_harness::instance in{{fd_oracle::range(0, 3), fd_oracle::range(1, 2),
                           fd_oracle::domain{{{1, fd_oracle::SUP}}}}};
  driver d(api);
  fd_undo_scope undo(w, QX_ALT_FAILCODE);
  std::vector<int> vars = make_vars(d, in.doms);
  EXPECT_EQ(d.post_state(rw.posting(in, vars)), -1);
  EXPECT_EQ(exception().rfind("error(domain_error(finite_domain", 0), 0u) << exception();
}

/* ---- costs: the optima, the regrets, the pruning and Cost against independent oracles ---- */

namespace {

/* n variables over m keys 0..m-1 (now and then a value that is no key), counts lo..hi around a
 * hidden assignment, costs -5..24, Cost an interval (sometimes with holes) or open. Data and
 * domains as keyed_instance lays them out. */
instance cost_flow_instance(fd_harness::rng &g, int max_vars, int max_keys)
{
  instance in;
  int n = 1 + g.below(max_vars), m = 1 + g.below(max_keys);
  in.data = {n, m};
  for (int k = 0; k < m; k++) in.data.push_back(k);
  std::vector<int> count(m, 0);
  for (int i = 0; i < n; i++) {
    int hidden = g.below(m);
    count[hidden]++;
    fd_oracle::values d;
    for (int k = 0; k < m; k++)
      if (k == hidden || g.below(3) != 0) d.push_back(k);
    if (g.below(8) == 0) d.push_back(m + 1);
    in.doms.push_back(fd_oracle::domain::of(d));
  }
  for (int j = 0; j < m; j++)
    in.doms.push_back(fd_oracle::range(std::max(0, count[j] - g.below(3)), count[j] + g.below(3)));
  for (int k = 0; k < n * m; k++) in.data.push_back(g.below(30) - 5);
  int lo = g.below(12 * n + 1) - 5 * n, hi = lo + g.below(14 * n + 2);
  in.doms.push_back(g.below(4) == 0   ? fd_oracle::range(-1000, 1000)
                    : g.below(3) == 0 ? fd_harness::random_domain(g, lo, hi, 25)
                                      : fd_oracle::range(lo, hi));
  return in;
}

/* Per pair (variable i, key j): the least and greatest totals of the assignments within the
 * domains that meet the counts' bounds and take i = j; INT64_MAX / INT64_MIN without one. */
struct pair_totals {
  std::vector<int64_t> least, most;
};

pair_totals brute_totals(const instance &in, const std::vector<fd_oracle::domain> &doms)
{
  int n = (int)in.data[0], m = (int)in.data[1];
  pair_totals t{std::vector<int64_t>(n * m, INT64_MAX), std::vector<int64_t>(n * m, INT64_MIN)};
  std::vector<fd_oracle::values> xs;
  for (int i = 0; i < n; i++) xs.push_back(doms[i].all(m + 2));
  fd_oracle::each_assignment(xs, [&](const fd_oracle::values &x) {
    int64_t total = 0;
    for (int i = 0; i < n; i++) {
      if (x[i] < 0 || x[i] >= m) return;
      total += in.data[2 + m + i * m + x[i]];
    }
    for (int j = 0; j < m; j++) {
      int64_t c = std::count(x.begin(), x.end(), j);
      if (c < doms[n + j].min() || c > doms[n + j].max()) return;
    }
    for (int i = 0; i < n; i++) {
      int64_t &lo = t.least[i * m + x[i]], &hi = t.most[i * m + x[i]];
      lo = std::min(lo, total), hi = std::max(hi, total);
    }
  });
  return t;
}

}  // namespace

class FdGccCostFlows : public fd_harness::FdHarness {
protected:
  fd_harness::row rw = keyed_row("global_cardinality", true);

  /* The block of the newest post while its figures are those of the current state (a step
   * that changed nothing after a backtrack leaves figures of a branch undone). */
  static gcc_graph *block(driver &d)
  {
    TAGGED state = fd_mutable_value(StrArg(d.last_global(), FD_GLOBAL_STATE));
    TAGGED h = deref(StrArg(state, 8));
    if (!IsLst(h) || !IsVar(deref(LstHead(h)))) return nullptr;
    auto *b = (gcc_graph *)fd_perm_data(h);
    return b->stamp == GetSmall(deref(StrArg(state, 9))) ? b : nullptr;
  }

  /* A regret against the exact one: equal when that is within the threshold, else above it. */
  static void expect_regret(int64_t got, int64_t exact, int64_t threshold, const std::string &what)
  {
    if (exact <= threshold)
      EXPECT_EQ(got, exact) << what;
    else
      EXPECT_GT(got, threshold) << what << " (exact " << exact << ")";
  }

  /* The block's optima and the regrets of its active variables with a choice, against brute
   * force over the domains (small) or the cycle-cancelling oracle over the block's graph. */
  void check_figures(driver &d, const fd_harness::instance &in, const std::vector<fd_oracle::domain> &doms,
                     bool brute)
  {
    gcc_graph *b = block(d);
    if (!b) return;
    fd_vgraph *g = &b->g;
    int m = (int)in.data[1];
    fd_gcc_cost_oracle::figures o = fd_gcc_cost_oracle::compute(b);
    EXPECT_FALSE(o.moved[0] || o.moved[1]) << "a flow left not optimal";
    pair_totals t;
    int64_t least = o.total[0], most = -o.total[1];
    if (brute) {
      t = brute_totals(in, doms);
      least = *std::min_element(t.least.begin(), t.least.end());
      most = *std::max_element(t.most.begin(), t.most.end());
      EXPECT_EQ(o.total[0], least);
      EXPECT_EQ(-o.total[1], most);
    }
    EXPECT_EQ(b->optcost[0], least);
    EXPECT_EQ(-b->optcost[1], most);
    for (int k = 0; k < g->nvartargets; k++) {
      int x = g->vartarget[k], i = x - m - 1;
      if (g->in_degree[x] < 2) continue;
      for (int r = 0; r < g->in_degree[x]; r++) {
        int j = fd_vg_values(g, x)[r], cell = i * m + j - 1;
        std::string what = "x" + std::to_string(i) + " = " + std::to_string(j - 1);
        int64_t e0 = o.regret[0][cell], e1 = o.regret[1][cell];
        if (brute) {
          e0 = t.least[cell] == INT64_MAX ? GCC_REGRET_INF : t.least[cell] - least;
          e1 = t.most[cell] == INT64_MIN ? GCC_REGRET_INF : most - t.most[cell];
          EXPECT_EQ(o.regret[0][cell], e0) << "oracle " << what;
          EXPECT_EQ(o.regret[1][cell], e1) << "oracle " << what;
        }
        expect_regret(*gcc_regret(b, 0, x, j), e0, b->threshold[0], "least " + what);
        expect_regret(*gcc_regret(b, 1, x, j), e1, b->threshold[1], "greatest " + what);
      }
    }
  }

  /* The cycle-cancelling loop's fresh post on the domains before a step reaches the same
   * outcome and domains as the step did. */
  void check_twin(driver &d, const fd_harness::instance &in, const std::vector<fd_oracle::domain> &before,
                  const fd_harness::result &r)
  {
    int count = d.var_count();
    QX_term_ref posts = QX_new_term_refs(2);
    fd_ref_put(api, posts, d.posts().first);
    fd_ref_put(api, posts + 1, d.posts().second);
    {
      fd_undo_scope undo(w, QX_ALT_FAILCODE);
      fd_costgcc_loop_hook = fd_gcc_cost_oracle::loop;
      fd_harness::result o = post(d, rw, in, make_vars(d, before));
      fd_costgcc_loop_hook = nullptr;
      EXPECT_EQ(o.outcome, r.outcome) << "the oracle's outcome differs";
      for (size_t i = 0; o.outcome == 1 && r.outcome == 1 && i < before.size(); i++)
        EXPECT_EQ(r.doms[i].text(), o.doms[i].text()) << "the oracle's domains differ: " << i;
    }
    d.set_posts({fd_ref_get(api, posts), fd_ref_get(api, posts + 1)});
    d.truncate(count);
  }

  void check_step(driver &d, const fd_harness::instance &in, const std::vector<fd_oracle::domain> &before,
                  const fd_harness::result &r, bool brute)
  {
    std::string from = "from";
    for (const fd_oracle::domain &x : before) from += " " + x.text();
    SCOPED_TRACE(from);
    check_twin(d, in, before, r);
    std::string after = "after";
    for (const fd_oracle::domain &x : r.doms) after += " " + x.text();
    SCOPED_TRACE(after);
    if (r.outcome == 1 && !r.entailed) check_figures(d, in, r.doms, brute);
  }

  /* Post, then steps of choicepoint and narrowing (a variable or Cost: fixed, a value removed,
   * an interval), now and then a backtrack; every fixpoint checked. */
  void walk(const fd_harness::instance &in, fd_harness::rng &g, bool brute)
  {
    driver d(api);
    fd_undo_scope undo(w, QX_ALT_FAILCODE);
    std::vector<int> vars = make_vars(d, in.doms);
    fd_harness::result r = post(d, rw, in, vars);
    check_step(d, in, in.doms, r, brute);
    int n = (int)in.data[0], m = (int)in.data[1];
    std::vector<std::pair<node *, QX_term_ref>> stack;
    for (int step = 0; step < 16; step++) {
      std::vector<int> open;
      if (r.outcome == 1) open = fd_harness::open_indices(r.doms, n + m + 1);
      if (open.empty() || (!stack.empty() && g.below(4) == 0)) {
        if (stack.empty()) break;
        qx_restore_node(w, stack.back().first);
        qx_pop_node(w);
        d.set_posts({fd_ref_get(api, stack.back().second), fd_ref_get(api, stack.back().second + 1)});
        stack.pop_back();
        r = read(d, vars, 1);
        continue;
      }
      QX_term_ref posts = QX_new_term_refs(2);
      fd_ref_put(api, posts, d.posts().first);
      fd_ref_put(api, posts + 1, d.posts().second);
      stack.push_back({qx_push_node(w, qx_alt(QX_ALT_FAILCODE, 0)), posts});
      int i = open[g.below((int)open.size())];
      std::vector<fd_oracle::domain> before = r.doms;
      fd_oracle::values v = before[i].all(1000);
      int64_t a = v[g.below((int)v.size())], z = v[g.below((int)v.size())];
      if (a > z) std::swap(a, z);
      int op = g.below(3), ok;
      if (op == 0) {
        before[i] = fd_oracle::range(a, a);
        ok = d.bind(vars[i], (int32_t)a, fd_driver::binding::in_interval);
      } else if (op == 1) {
        before[i] = before[i].within(a, z);
        ok = d.call(d.n.in_interval, {d.term(vars[i]), MakeSmall((int32_t)a), MakeSmall((int32_t)z), MakeSmall(1)});
        if (ok == 1) ok = d.propagate();
      } else {
        before[i] = fd_harness::without(before[i], a);
        ok = d.exclude(vars[i], (int32_t)a);
      }
      ASSERT_GE(ok, 0) << exception();
      r = read(d, vars, ok);
      check_step(d, in, before, r, brute);
    }
    while (!stack.empty()) {
      qx_restore_node(w, stack.back().first);
      qx_pop_node(w);
      stack.pop_back();
    }
  }
};

/* Small instances (brute force reaches them): the figures against brute force and the oracle,
 * the pruning against the oracle's loop, along walks. Then up to 24 variables over up to 8
 * keys, past the sizes brute force reaches: against the oracle. */
TEST_F(FdGccCostFlows, WalksAgainstBruteForceAndOracle)
{
  struct { int walks, max_vars, max_keys; bool brute; } sizes[] = {{60, 6, 4, true}, {25, 24, 8, false}};
  for (auto s : sizes)
    for (uint64_t seed = 1; seed <= (uint64_t)s.walks; seed++) {
      fd_harness::rng g{seed * 7919 + (uint64_t)s.max_vars};
      fd_harness::instance in = cost_flow_instance(g, s.max_vars, s.max_keys);
      SCOPED_TRACE("seed " + std::to_string(seed) + ", up to " + std::to_string(s.max_vars));
      walk(in, g, s.brute);
    }
}

/* Cost's bounds when Cost lacks an optimum (the next total is the optimum plus the least
 * regret), and failure when no other total exists (data: n, m, keys, matrix; domains X1..Xn,
 * C1..Cm, Cost). */
TEST_F(FdGccCostFlows, CostBoundsFromTheRegrets)
{
  using fd_oracle::range;
  auto set = [](fd_oracle::values v) { return fd_oracle::domain::of(v); };
  struct edge {
    const char *what;
    std::vector<int64_t> data;
    std::vector<fd_oracle::domain> doms;
    const char *expect; /* the domains' texts, or failed */
  } rows[] = {
      {"least 2 missing: the next total 10, then its assignment", {2, 2, 1, 2, 1, 5, 5, 1},
       {range(1, 2), range(1, 2), range(0, 1), range(0, 1), range(3, 20)},
       "[[2|2]] [[1|1]] [[1|1]] [[1|1]] [[10|10]]"},
      {"least 3 missing: the next total 5", {1, 2, 1, 2, 3, 5},
       {range(1, 2), range(0, 1), range(0, 1), set({2, 5})}, "[[2|2]] [[0|0]] [[1|1]] [[5|5]]"},
      {"least 3 missing and no other total", {1, 1, 1, 3}, {range(1, 1), range(0, 1), set({2, 4})}, "failed"},
      {"greatest 10 missing: the total before it 2", {2, 2, 1, 2, 1, 5, 5, 1},
       {range(1, 2), range(1, 2), range(0, 1), range(0, 1), set({0, 1, 2, 3, 11})},
       "[[1|1]] [[2|2]] [[1|1]] [[1|1]] [[2|2]]"},
      {"the upper bound below the least total", {2, 2, 1, 2, 1, 5, 5, 1},
       {range(1, 2), range(1, 2), range(0, 1), range(0, 1), range(0, 1)}, "failed"},
  };
  for (const edge &e : rows) {
    SCOPED_TRACE(e.what);
    fd_harness::result r = run(rw, fd_harness::instance{e.doms, e.data});
    std::string got = r.outcome == 1 ? "" : "failed";
    for (const fd_oracle::domain &d : r.doms) got += (got.empty() ? "" : " ") + d.text();
    EXPECT_EQ(got, e.expect);
  }
}
