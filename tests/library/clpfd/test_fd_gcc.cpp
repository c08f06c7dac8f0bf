/* global_cardinality/3 as a flow network against brute-force enumeration: the variables left
 * are exactly those of some assignment meeting the count bounds, every achievable count
 * survives, failure exactly without solutions; magic series counted by search.
 */
#include <random>
#include <set>

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
    EXPECT_EQ(run(goal), 1) << goal << exception();
    fd_oracle::values nums = fd_oracle::numbers(var("L"));
    fd_oracle::outcome o;
    if (nums.empty() || nums[0] == fd_oracle::FAILED) return o;
    o.failed = false;
    o.entailed = nums[0] == 1;
    size_t at = 1;
    for (const fd_oracle::domain &d : fd_oracle::read_domains(nums, &at, g.x.size() + g.c.size()))
      o.after.push_back(d.all(100));
    return o;
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
    for (size_t j = n; j < support.size(); j++)
      for (int64_t v : support[j])
        EXPECT_NE(std::find(o.after[j].begin(), o.after[j].end(), v), o.after[j].end()) << "count " << j;
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
    if (local.failed) EXPECT_TRUE(global.failed);
    if (local.failed || global.failed) continue;
    for (size_t i = 0; i < before.size(); i++)
      for (int64_t v : global.after[i])
        EXPECT_NE(std::find(local.after[i].begin(), local.after[i].end(), v), local.after[i].end());
  }
}
