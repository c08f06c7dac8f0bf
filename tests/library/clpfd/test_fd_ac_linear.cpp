/* The domain-consistent linear equation ac_linear/3 against brute-force enumeration: the values
 * left are exactly the supported ones, failure exactly without a solution, searches that never
 * fail, the dead residuals kept in the terms' mutables along a branch and gone on backtracking,
 * and bad states.
 */
#include <map>
#include <random>
#include <set>

#include "driver/fd_driver.h"
#include "fd_kernel_env.h"
#include "fd_oracle.h"
#include "gc.h"
#include "wam_internal.h"

namespace {

using fd_driver::driver;

struct equation {
  std::vector<int> a;
  std::vector<std::vector<int>> dom;
  int rhs;
};

/* The supported values of each variable, and the number of solutions. */
std::vector<std::set<int>> supports(const equation &e, long *count)
{
  std::vector<std::set<int>> s(e.a.size());
  *count = 0;
  fd_oracle::each_assignment(e.dom, [&](const std::vector<int> &x) {
    int64_t sum = 0;
    for (size_t i = 0; i < x.size(); i++) sum += (int64_t)e.a[i] * x[i];
    if (sum != e.rhs) return;
    ++*count;
    for (size_t i = 0; i < x.size(); i++) s[i].insert(x[i]);
  });
  return s;
}

/* The number of solutions, counted over the sums each prefix of the terms can make: the
 * enumeration above takes minutes at eight terms of ten values. */
long solution_count(const equation &e)
{
  std::map<int64_t, long> ways{{0, 1}};
  for (size_t i = 0; i < e.a.size(); i++) {
    std::map<int64_t, long> next;
    for (auto [sum, n] : ways)
      for (int v : e.dom[i]) next[sum + (int64_t)e.a[i] * v] += n;
    ways.swap(next);
  }
  auto it = ways.find(e.rhs);
  return it == ways.end() ? 0 : it->second;
}

/* A random instance: 1..4 terms, coefficients +-1..+-4 (half of them +-1), domains within -6..6
 * with holes; the right-hand side mostly that of a random assignment. */
equation random_equation(std::mt19937 &r)
{
  equation e;
  int n = 1 + (int)(r() % 4);
  for (int i = 0; i < n; i++) {
    int mag = r() % 2 ? 1 : 2 + (int)(r() % 3);
    e.a.push_back(r() % 2 ? mag : -mag);
    std::vector<int> d;
    int lo = -6 + (int)(r() % 8), hi = lo + (int)(r() % 8);
    for (int v = std::max(lo, -6); v <= std::min(hi, 6); v++)
      if (r() % 4 != 0 || v == lo) d.push_back(v);
    e.dom.push_back(d);
  }
  e.rhs = 0;
  for (int i = 0; i < n; i++) e.rhs += e.a[i] * e.dom[i][r() % e.dom[i].size()];
  if (r() % 4 == 0) e.rhs += (int)(r() % 7) - 3;
  return e;
}

/* The same equation with every value times k: its residuals spread over a wide range, which the
 * propagator keeps in FD sets rather than in a byte per value. */
equation scaled(equation e, int k)
{
  for (auto &d : e.dom)
    for (int &v : d) v *= k;
  e.rhs *= k;
  return e;
}

/* The same equation with some terms' values moved near 10^8 or to an end of the small integers
 * and the right-hand side with them, when it stays small: partial sums then leave the small
 * integers. */
equation at_ends(equation e, std::mt19937 &r)
{
  const int bases[] = {100000000, -100000000, QX_SMALL_MIN, QX_SMALL_MAX};
  for (int tries = 0; tries < 20; tries++) {
    equation m = e;
    int64_t rhs = e.rhs;
    for (size_t i = 0; i < e.a.size(); i++) {
      int base = r() % 3 ? bases[r() % 4] : 0;
      /* the ends themselves are values */
      base -= base == QX_SMALL_MIN ? e.dom[i].front() : base == QX_SMALL_MAX ? e.dom[i].back() : 0;
      for (int &v : m.dom[i]) v += base;
      rhs += (int64_t)e.a[i] * base;
    }
    m.rhs = (int)rhs;
    if (rhs != e.rhs && SmallFits(rhs)) return m;
  }
  return e;
}

/* Posts e over new variables 0, 1, ... of d: the post's answer, or -1. */
int post(driver &d, const equation &e)
{
  std::vector<driver::lin_term> terms;
  for (size_t i = 0; i < e.a.size(); i++) {
    if (d.new_var_in({e.dom[i].begin(), e.dom[i].end()}) != (int)i) return -1;
    terms.push_back({e.a[i], (int)i});
  }
  return d.post("ac_linear",
                {driver::terms(terms, true), driver::param((int)e.a.size()), driver::param(e.rhs)});
}

std::string text(const equation &e)
{
  std::string s;
  for (size_t i = 0; i < e.a.size(); i++) {
    s += std::to_string(e.a[i]) + "*{";
    for (int v : e.dom[i]) s += std::to_string(v) + " ";
    s += "} ";
  }
  return s + "= " + std::to_string(e.rhs);
}

/* A set term [[L|H], ...] of the sorted values. */
std::string set_text(const std::vector<int> &d)
{
  return fd_oracle::domain::of({d.begin(), d.end()}).text();
}

}  // namespace

class FdAcLinear : public FdKernelTest {
protected:
  FdAcLinear()
  {
    consult(fd_oracle::prelude);
    consult("acl_terms([], [], []).\n"
            "acl_terms([A-X|Ps], [t(A, X, XA, '$mutable'([], 0))|Ts], [dom(X)|Ss]) :- "
            "attr(X, XA), acl_terms(Ps, Ts, Ss).\n"
            "acl_post(Ts, Ss, RHS, G) :- len(Ts, N), C = ac_linear(Ts, N, RHS), "
            "clpfd:'$fd_post_global'(C, s(Ts, N, RHS, _, 0), 0, C, Ss, G).\n"
            "acl_state_post(S, Ss, G) :- C = ac_linear(a, b, c), "
            "clpfd:'$fd_post_global'(C, S, 0, C, Ss, G).\n"
            "dead_values([], []).\n"
            "dead_values([t(_, _, _, M)|Ts], [N|F]) :- mval(M, S), len(S, N), "
            "flat_set(S, F, F1), dead_values(Ts, F1).\n"
            "vals([], []).\n"
            "vals([V|Vs], [L|Ls]) :- dom(V, S), expand(S, L), vals(Vs, Ls).\n"
            "expand([], []).\n"
            "expand([[L|H]|T], Vs) :- span(L, H, Vs, R), expand(T, R).\n"
            "span(L, H, Vs, R) :- L > H, !, Vs = R.\n"
            "span(L, H, [L|Vs], R) :- L1 is L + 1, span(L1, H, Vs, R).\n");
  }

  /* Goals giving X0, X1, ... the domains (set terms or integers); *vs gets their list. */
  static std::string domains(const std::vector<std::string> &doms, std::string *vs)
  {
    std::string goal = "true";
    *vs = "[";
    for (size_t i = 0; i < doms.size(); i++) {
      std::string x = "X" + std::to_string(i);
      goal += doms[i][0] == '[' ? ", clpfd:'$fd_in_set'(" + x + ", " + doms[i] + ", 0)"
                                : ", " + x + " = " + doms[i];
      *vs += (i ? ", " : "") + x;
    }
    *vs += "]";
    return goal;
  }

  /* The terms A-X name the domains' X0, X1, ... The answer is "failed" or Doms-Entailed, the
   * domains as values (as FD sets when sets), with the store restored after backtracking. */
  std::string solve(const std::vector<std::string> &doms, const std::string &terms,
                    const std::string &rhs, bool sets)
  {
    std::string vs, goal = domains(doms, &vs) + ", acl_terms(" + terms +
                           ", Ts, Ss), undone((clpfd:'$fd_begin', acl_post(Ts, Ss, " + rhs +
                           ", G), prop, " + (sets ? "doms(" : "vals(") + vs +
                           ", D), dead(G, E)), D-E, L)";
    EXPECT_EQ(run(goal), 1) << goal << exception();
    return var("L");
  }
};

/* The equation's own cases, and a forced residual with an asymmetric range: with coefficient 1
 * the values of X are {m - r}, with -1 they are {r - m}; the other reading of each fails or
 * leaves other values. */
TEST_F(FdAcLinear, EdgeCases)
{
  const struct {
    std::vector<std::string> doms;
    std::string terms, rhs, expect;
    bool sets = false;
  } cases[] = {
      {{"[[0|0],[2|3]]", "[[0|0],[2|3]]"}, "[1-X0, 1-X1]", "3", "-([[0,3],[0,3]],0)"},
      {{"[[0|10]]", "[[0|10]]"}, "[2-X0, 3-X1]", "7", "-([[2],[1]],1)"},
      {{"[[1|1],[3|3],[5|5]]", "[[2|4]]"}, "[1-X0, -1-X1]", "0", "-([[3],[3]],1)"},
      {{"[[0|3]]", "[[0|3]]"}, "[1-X0, 1-X1]", "10", "failed"},
      {{"[[0|5]]"}, "[3-X0]", "6", "-([[2]],1)"},
      /* forced residual -3 before the last term, coefficient 1: X1 = 5 - X0 */
      {{"[[1|2]]", "[[0|9]]", "3"}, "[1-X0, 1-X1, 1-X2]", "8", "-([[1,2],[3,4],[3]],0)"},
      /* coefficient -1: X1 = X0 + 1 */
      {{"[[1|2]]", "[[0|9]]", "3"}, "[1-X0, -1-X1, 1-X2]", "2", "-([[1,2],[2,3],[3]],0)"},
      /* an asymmetric residual set before a last term of coefficient 1 and of -1 */
      {{"[[0|0],[5|6]]", "[[0|20]]"}, "[2-X0, 1-X1]", "13", "-([[0,5,6],[1,3,13]],0)"},
      {{"[[0|0],[5|6]]", "[[-20|20]]"}, "[2-X0, -1-X1]", "13", "-([[0,5,6],[-13,-3,-1]],0)"},
      /* an infinite domain whose residuals are bounded by the other term */
      {{"[[0|sup]]", "[[0|2],[4|4]]"}, "[3-X0, 1-X1]", "10", "-([[2,3],[1,4]],0)"},
      /* no bound on any residual: nothing to prune */
      {{"[[0|sup]]", "[[5|sup]]"}, "[1-X0, -1-X1]", "0", "-([[[0|sup]],[[5|sup]]],0)", true},
      /* no terms */
      {{}, "[]", "0", "-([],1)"},
      {{}, "[]", "1", "failed"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.terms + " = " + c.rhs);
    EXPECT_EQ(solve(c.doms, c.terms, c.rhs, c.sets), c.expect);
  }
}

/* Random equations: after the loop every value left has a support and every supported value is
 * left, failure exactly without a solution; a search over the equation finds every solution and
 * never fails; at each of its fixpoints a rerun prunes nothing, and each undo leaves the heap as
 * it was. */
TEST_F(FdAcLinear, DomainConsistentAgainstBruteForce)
{
  std::mt19937 r(132), ends(232); /* the second moves instances: the first draws them as before */
  int instances = qx_gc_stress ? 40 : 400, searched = 0, failed = 0, pruned = 0;
  fd_driver::checker watch;
  watch.heap = true;
  ASSERT_EQ(run("clpfd:'$fd_overflow'(_, fail, _)"), 1); /* an overflow would lose solutions */
  for (int k = 0; k < instances; k++) {
    equation e = random_equation(r);
    if (k % 3 == 0) e = scaled(e, 2503);
    if (k % 3 == 1) e = at_ends(e, ends);
    SCOPED_TRACE(text(e));
    long count;
    std::vector<std::set<int>> sup = supports(e, &count);
    ASSERT_EQ(solution_count(e), count);
    driver d(api);
    fd_driver::undo_scope undo(w);
    int posted = post(d, e);
    ASSERT_GE(posted, 0) << exception() << d.error();
    int ok = posted == 1 ? d.propagate() : 0;
    ASSERT_GE(ok, 0) << exception();
    EXPECT_EQ(ok == 0, count == 0);
    if (ok == 0) {
      failed++;
      continue;
    }
    for (size_t i = 0; i < e.a.size(); i++) {
      std::vector<int32_t> dom = d.domain((int)i);
      std::vector<int> got(dom.begin(), dom.end());
      EXPECT_EQ(got, std::vector<int>(sup[i].begin(), sup[i].end())) << "term " << i;
      pruned += got.size() < e.dom[i].size();
    }
    watch.d = &d;
    driver::options o;
    o.watch = &watch;
    o.largest = k % 2; /* either end of a domain tried first */
    fd_driver::counts c;
    ASSERT_EQ(d.search(
                  {}, o, [](driver &) { return true; }, &c),
              1)
        << exception();
    EXPECT_EQ((long)c.solutions, count);
    EXPECT_EQ(c.failures, 0u);
    searched++;
  }
  EXPECT_EQ(watch.pruning, 0);
  EXPECT_EQ(watch.differing, 0);
  if (!qx_gc_stress) {
    EXPECT_GT(watch.compared, 0);
  } /* there, every undo has a collection between */
  /* the instances are not all trivial */
  EXPECT_GT(failed, instances / 40);
  EXPECT_GT(pruned, instances / 4);
  EXPECT_GT(searched, instances / 2);
}

namespace {

/* The residuals r(i) from which some assignment of the terms from i on reaches 0. */
std::vector<std::set<long>> live_residuals(const equation &e)
{
  size_t n = e.a.size();
  std::vector<std::set<long>> live(n + 1);
  live[n] = {0};
  for (size_t i = n; i-- > 0;)
    for (long next : live[i + 1])
      for (int x : e.dom[i]) live[i].insert(next - (long)e.a[i] * x);
  return live;
}

}  // namespace

/* The dead residuals a run records stay in the terms' mutables: each is truly dead; a later run
 * on the same branch, after a domain shrank, keeps them and may add more; backtracking over that
 * run brings back the first run's sets, and backtracking over the first the empty ones. */
TEST_F(FdAcLinear, DeadResidualsPersistAlongABranch)
{
  std::mt19937 r(6132);
  int instances = qx_gc_stress ? 20 : 150, recorded = 0, narrowed = 0;
  for (int k = 0; k < instances; k++) {
    equation e = random_equation(r);
    if (e.a.size() < 2) continue;
    if (k % 3 == 0) e = scaled(e, 2503);
    /* the narrowing: variable j loses a random half of its values */
    size_t j = r() % e.a.size();
    equation e2 = e;
    e2.dom[j].clear();
    for (int v : e.dom[j])
      if (r() % 2) e2.dom[j].push_back(v);
    if (e2.dom[j].empty()) e2.dom[j].push_back(e.dom[j].back());
    std::vector<std::string> doms;
    std::string vs, pairs = "[";
    for (size_t i = 0; i < e.a.size(); i++) {
      doms.push_back(set_text(e.dom[i]));
      pairs += (i ? ", " : "") + std::to_string(e.a[i]) + "-X" + std::to_string(i);
    }
    pairs += "]";
    std::string goal = domains(doms, &vs);
    goal += ", acl_terms(" + pairs + ", Ts, Ss), undone((clpfd:'$fd_begin', acl_post(Ts, Ss, " +
            std::to_string(e.rhs) + ", G), prop, dead_values(Ts, F1), " + "( clpfd:'$fd_in_set'(X" +
            std::to_string(j) + ", " + set_text(e2.dom[j]) +
            ", 1), prop, dead_values(Ts, F2), assertz(acl_branch(F2)), fail " +
            "; dead_values(Ts, F3) ), ( retract(acl_branch(F2x)) -> true ; F2x = failed )), " +
            "F1-F2x-F3, L), dead_values(Ts, F0), ( L = A-B-C -> true ; A = failed )";
    SCOPED_TRACE(text(e) + " narrowed " + std::to_string(j));
    ASSERT_EQ(run(goal), 1) << goal << exception();
    /* the dead sets, one per term, flattened as flat/2 does */
    auto dead = [&](const char *name) {
      size_t at = 0;
      return fd_oracle::read_domains(fd_oracle::numbers(var(name)), &at, e.a.size());
    };
    for (const auto &f : dead("F0")) EXPECT_TRUE(f.empty()) << f.text();
    if (var("A") == "failed") continue;
    auto first = dead("A");
    EXPECT_TRUE(dead("C") == first) << "the branch's sets went on backtracking";
    std::vector<std::set<long>> live = live_residuals(e);
    const int64_t window = 1 << 20; /* beyond every residual of these equations */
    for (size_t i = 0; i < e.a.size(); i++)
      for (int64_t v : first[i].all(window)) {
        EXPECT_FALSE(live[i].count(v)) << "term " << i << " residual " << v << " is live";
        recorded++;
      }
    if (var("B") == "failed") continue;
    narrowed++;
    auto second = dead("B");
    std::vector<std::set<long>> live2 = live_residuals(e2);
    for (size_t i = 0; i < e.a.size(); i++) {
      for (int64_t v : first[i].all(window)) EXPECT_TRUE(second[i].contains(v)) << "term " << i;
      for (int64_t v : second[i].all(window)) EXPECT_FALSE(live2[i].count(v)) << "term " << i;
    }
  }
  EXPECT_GT(recorded, instances / 2);
  EXPECT_GT(narrowed, instances / 10);
}

/* Bad states: an error or failure, never a crash or an endless run. A dead set in a mutable is
 * taken as given: one that holds the first residual fails the equation. */
TEST_F(FdAcLinear, BadStates)
{
  const struct {
    std::string state, expect;
  } cases[] = {
      {"s([t(1, X, XA, M1)], 2, 3, _, 0)", "domain_error(term_count,2)"},
      {"s([t(1, X, XA, M1)], 0, 3, _, 0)", "domain_error(term_count,0)"},
      {"s([t(1, X, XA, M1)], 1099511627776, 3, _, 0)", "domain_error(term_count,1099511627776)"},
      {"s([t(1, X, XA, M1)], n, 3, _, 0)", "type_error(integer,n)"},
      {"s([t(0, X, XA, M1)], 1, 3, _, 0)", "domain_error(not_equal_to_zero,0)"},
      {"s([t(1, X, XA, M1), t(0, Y, YA, M2)], 2, 3, _, 0)", "domain_error(not_equal_to_zero,0)"},
      {"s([t(1, X, XA, M1)], 1, a, _, 0)", "type_error(integer,a)"},
      {"s([t(1, X, XA, M1)], 1, 1.5, _, 0)", "type_error(integer,1.5)"},
      {"s([t(1, X, XA, M1)], 1, _, _, 0)", "instantiation_error"},
      {"s([t(_, X, XA, M1)], 1, 3, _, 0)", "instantiation_error"},
      {"s([t(1, X, XA)], 1, 3, _, 0)", "type_error(linear_term,t)"},
      {"s([t(1, X, XA, M1)|foo], 1, 3, _, 0)", "type_error(list,foo)"},
      {"s([t(1, X, XA, M1)|_], 1, 3, _, 0)", "instantiation_error"},
      {"s([t(1, foo, XA, M1)], 1, 3, _, 0)", "type_error(domain_variable,foo)"},
      {"s([t(1, X, XA, 7)], 1, 3, _, 0)", "type_error(mutable,7)"},
      {"s([t(1, X, XA, '$mutable'([[3|1]], 0))], 1, 3, _, 0)", "type_error(fd_set,[[3|1]])"},
      {"s([t(1, X, XA, '$mutable'([[1|2],[2|5]], 0))], 1, 3, _, 0)",
       "type_error(fd_set,[[1|2],[2|5]])"},
      {"s([t(1, X, XA, '$mutable'(foo, 0))], 1, 3, _, 0)", "type_error(fd_set,foo)"},
      {"s([t(1, X, XA, '$mutable'(C, 0))], 1, 3, _, 0), C = [[1|2]|C]", "type_error(fd_set,.)"},
      {"s([t(1, X, XA, M1)], 1, 3, _)", "type_error(ac_linear_state,s)"},
      {"s([t(1, X, XA, M1)], 1, 3, foo, 0)", "type_error(ac_linear_state,s)"},
      /* beyond the small integers: an overflow, which raises an error here */
      {"s([t(1, X, XA, M1)], 1, 1099511627776, _, 0)", "overflow"},
      {"s([t(1099511627776, X, XA, M1)], 1, 3, _, 0)", "overflow"},
      /* residuals that fit where it matters, or no solution at all; residuals spanning more
       * values than the small integers are searched no better than unbounded ones */
      {"s([t(134217728, X, XA, M1), t(-134217728, Y, YA, M2)], 2, 0, _, 0)", "suspended"},
      {"s([t(134217728, X, XA, M1), t(1, Y, YA, M2)], 2, 3, _, 0)", "suspended"},
      {"s([t(1, X, XA, M1)], 1, -268435456, _, 0)", "failed"},
      /* the dead sets are trusted */
      {"s([t(1, X, XA, '$mutable'([[-3|-3]], 0)), t(1, Y, YA, M2)], 2, 3, _, 0)", "failed"},
      {"s([t(1, X, XA, '$mutable'([[inf|-4],[-2|sup]], 0)), t(1, Y, YA, M2)], 2, 3, _, 0)",
       "suspended"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.state);
    std::string goal =
        "clpfd:'$fd_in_interval'(X, 0, 10, 0), clpfd:'$fd_in_interval'(Y, 0, 10, 0), "
        "clpfd:'$fd_arg_attribute'(X, 0, XA), clpfd:'$fd_arg_attribute'(Y, 0, YA), "
        "M1 = '$mutable'([], 0), M2 = '$mutable'([], 0), S = " +
        c.state +
        ", undone((clpfd:'$fd_begin', acl_state_post(S, [dom(X), dom(Y)], G), "
        "catch((prop -> R = suspended ; R = failed), error(E, _), R = E)), R, L)";
    ASSERT_EQ(run(goal), 1) << goal << exception();
    std::string l = var("L");
    if (c.expect == "overflow")
      EXPECT_TRUE(l != "suspended" && l != "failed") << l;
    else
      EXPECT_EQ(l.substr(0, c.expect.size()), c.expect);
  }
  /* called from Prolog, without a global record */
  ASSERT_EQ(run("clpfd:'$fd_in_interval'(X, 0, 10, 0), clpfd:'$fd_arg_attribute'(X, 0, XA), "
                "catch(clpfd:'$fd_ac_linear'(s([t(1, X, XA, '$mutable'([], 0))], 1, 3, _, 0), _, "
                "_), error(E, _), true)"),
            1)
      << exception();
  EXPECT_NE(var("E"), "_");
}

/* 3x1 + 5x2 + ... + 17x8 = 200 over 0..9, input order, smallest value first: a search over a
 * domain-consistent equation never fails, so its tree has one leaf per solution; Gecode's
 * domain-consistent linear gives the same 96,351 solutions and 192,701 nodes, and so does the
 * count by prefix sums. The collector's stress mode searches the first five terms = 60. */
TEST_F(FdAcLinear, SearchOverTheEightTermEquation)
{
  int n = qx_gc_stress ? 5 : 8, rhs = qx_gc_stress ? 60 : 200;
  equation e;
  for (int i = 0; i < n; i++) {
    e.a.push_back(3 + 2 * i);
    e.dom.push_back({0, 1, 2, 3, 4, 5, 6, 7, 8, 9});
  }
  e.rhs = rhs;
  long count = solution_count(e);
  if (!qx_gc_stress) {
    EXPECT_EQ(count, 96351);
  }
  driver d(api);
  fd_driver::undo_scope undo(w);
  ASSERT_EQ(post(d, e), 1) << exception() << d.error();
  ASSERT_EQ(d.propagate(), 1) << exception();
  fd_driver::counts c;
  long wrong = 0;
  auto check = [&](driver &dd) {
    long sum = 0;
    for (int i = 0; i < n; i++) sum += (long)e.a[i] * dd.value(i);
    wrong += sum != rhs;
    return true;
  };
  ASSERT_EQ(d.search({}, {}, check, &c), 1) << exception() << d.error();
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ((long)c.solutions, count);
  EXPECT_EQ(c.failures, 0u);
  EXPECT_EQ(c.nodes, 2 * c.solutions - 1);
  if (!qx_gc_stress) {
    EXPECT_EQ(c.nodes, 192701u);
  }
}
