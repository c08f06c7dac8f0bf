/* The domain-consistent linear equation ac_linear/3 against brute-force enumeration: the values
 * left are exactly the supported ones, failure exactly without a solution, searches that never
 * fail, the dead residuals kept in the terms' mutables along a branch and gone on backtracking,
 * and bad states.
 */
#include <random>
#include <set>

#include "driver/fd_driver.h"
#include "fd_kernel_env.h"
#include "gc.h"
#include "wam_internal.h"

namespace {

using fd_driver::driver;

struct equation {
  std::vector<int> a;
  std::vector<std::vector<int>> dom;
  int rhs;
};

/* Calls f(x) for every assignment x of the domains. */
template <typename F>
void each_assignment(const std::vector<std::vector<int>> &dom, F f)
{
  std::vector<int> x(dom.size());
  std::vector<size_t> k(dom.size(), 0);
  if (std::any_of(dom.begin(), dom.end(), [](const auto &d) { return d.empty(); })) return;
  for (;;) {
    for (size_t i = 0; i < dom.size(); i++) x[i] = dom[i][k[i]];
    f(x);
    size_t i = 0;
    while (i < dom.size() && ++k[i] == dom[i].size()) k[i++] = 0;
    if (i == dom.size()) return;
  }
}

/* The supported values of each variable, and the number of solutions. */
std::vector<std::set<int>> supports(const equation &e, long *count)
{
  std::vector<std::set<int>> s(e.a.size());
  *count = 0;
  each_assignment(e.dom, [&](const std::vector<int> &x) {
    long sum = 0;
    for (size_t i = 0; i < x.size(); i++) sum += (long)e.a[i] * x[i];
    if (sum != e.rhs) return;
    ++*count;
    for (size_t i = 0; i < x.size(); i++) s[i].insert(x[i]);
  });
  return s;
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

/* Undoes everything done after it. */
struct undo_node {
  worker *w;
  node *n;
  explicit undo_node(worker *w) : w(w), n(qx_push_node(w, qx_alt(QX_ALT_FAILCODE, 0))) {}
  ~undo_node()
  {
    qx_restore_node(w, n);
    qx_pop_node(w);
  }
};

std::vector<int> values(const std::vector<int32_t> &v) { return {v.begin(), v.end()}; }

/* A set term [[L|H], ...] of the values. */
std::string set_text(const std::vector<int> &d)
{
  std::string s = "[";
  for (size_t k = 0; k < d.size();) {
    size_t j = k;
    while (j + 1 < d.size() && d[j + 1] == d[j] + 1) j++;
    s += (k ? ",[" : "[") + std::to_string(d[k]) + "|" + std::to_string(d[j]) + "]";
    k = j + 1;
  }
  return s + "]";
}

}  // namespace

class FdAcLinear : public FdKernelTest {
protected:
  FdAcLinear()
  {
    consult("acl_prop :- clpfd:'$fd_evaluate_indexical'(_, R), acl_prop(R).\n"
            "acl_prop(0).\n"
            "acl_prop(1) :- acl_prop.\n"
            "acl_prop(R) :- R > 1, throw(handed_back(R)).\n"
            "mval('$mutable'(V0, _), V) :- ( V0 = '$mutable'(_, _) -> mval(V0, V) ; V = V0 ).\n"
            "acl_terms([], [], []).\n"
            "acl_terms([A-X|Ps], [t(A, X, XA, '$mutable'([], 0))|Ts], [dom(X)|Ss]) :- "
            "clpfd:'$fd_arg_attribute'(X, 0, XA), acl_terms(Ps, Ts, Ss).\n"
            "acl_count([], 0).\n"
            "acl_count([_|L], N) :- acl_count(L, N0), N is N0 + 1.\n"
            "acl_post(Ts, Ss, RHS, G) :- acl_count(Ts, N), C = ac_linear(Ts, N, RHS), "
            "clpfd:'$fd_post_global'(C, s(Ts, N, RHS, _, 0), 0, C, Ss, G).\n"
            "acl_state_post(S, Ss, G) :- C = ac_linear(a, b, c), "
            "clpfd:'$fd_post_global'(C, S, 0, C, Ss, G).\n"
            "dead_sets([], []).\n"
            "dead_sets([t(_, _, _, M)|Ts], [S|Ss]) :- mval(M, S), dead_sets(Ts, Ss).\n"
            "doms([], []).\n"
            "doms([V|Vs], [D|Ds]) :- dom_of(V, D), doms(Vs, Ds).\n"
            "dom_of(V, [V]) :- integer(V), !.\n"
            "dom_of(V, D) :- clpfd:'$fd_arg_attribute'(V, 1, v(_, _, M, _)), "
            "mval(M, dom(S, _, _, _)), expand(S, D).\n"
            "expand([], []).\n"
            "expand([[L|H]|T], Vs) :- span(L, H, Vs, R), expand(T, R).\n"
            "span(L, H, Vs, R) :- L > H, !, Vs = R.\n"
            "span(L, H, [L|Vs], R) :- L1 is L + 1, span(L1, H, Vs, R).\n"
            "dead(G, 1) :- arg(4, G, D), nonvar(D), !.\n"
            "dead(_, 0).\n"
            "undone(G, T, R) :- ( call(G), assertz(acl_seen(T)), fail ; true ), "
            "( retract(acl_seen(R)) -> true ; R = failed ).\n");
  }

  /* Domains are set terms or integers; the terms A-X name them X0, X1, ... The answer is
   * "failed" or Doms-Entailed, with the domains restored after backtracking in B. */
  std::string solve(const std::vector<std::string> &doms, const std::string &terms,
                    const std::string &rhs)
  {
    std::string goal = "true", vs = "[";
    for (size_t i = 0; i < doms.size(); i++) {
      std::string x = "X" + std::to_string(i);
      goal += doms[i][0] == '[' ? ", clpfd:'$fd_in_set'(" + x + ", " + doms[i] + ", 0)"
                                : ", " + x + " = " + doms[i];
      vs += (i ? ", " : "") + x;
    }
    vs += "]";
    goal += ", acl_terms(" + terms + ", Ts, Ss), undone((clpfd:'$fd_begin', acl_post(Ts, Ss, " +
            rhs + ", G), acl_prop, doms(" + vs + ", D), dead(G, E)), D-E, L)";
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
      {{"[[0|sup]]", "[[5|sup]]"}, "[1-X0, -1-X1]", "0", "unbounded"},
      /* no terms */
      {{}, "[]", "0", "-([],1)"},
      {{}, "[]", "1", "failed"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.terms + " = " + c.rhs);
    if (c.expect == "unbounded") {
      ASSERT_EQ(run("clpfd:'$fd_in_set'(X0, " + c.doms[0] + ", 0), clpfd:'$fd_in_set'(X1, " +
                    c.doms[1] + ", 0), acl_terms(" + c.terms +
                    ", Ts, Ss), undone((clpfd:'$fd_begin', acl_post(Ts, Ss, " + c.rhs +
                    ", G), acl_prop, clpfd:'$fd_arg_attribute'(X1, 0, v(_, _, M, _)), "
                    "mval(M, dom(S, _, _, _)), dead(G, E)), S-E, L)"),
                1)
          << exception();
      EXPECT_EQ(var("L"), "-([[5|sup]],0)");
      continue;
    }
    EXPECT_EQ(solve(c.doms, c.terms, c.rhs), c.expect);
  }
}

/* Random equations: after the loop every value left has a support and every supported value is
 * left, failure exactly without a solution; a search over the equation finds every solution and
 * never fails; at each of its fixpoints a rerun prunes nothing, and each undo leaves the heap as
 * it was. */
TEST_F(FdAcLinear, DomainConsistentAgainstBruteForce)
{
  std::mt19937 r(132);
  int instances = qx_gc_stress ? 40 : 400, searched = 0, failed = 0, pruned = 0;
  fd_driver::checker watch;
  watch.heap = true;
  for (int k = 0; k < instances; k++) {
    equation e = random_equation(r);
    SCOPED_TRACE(text(e));
    long count;
    std::vector<std::set<int>> sup = supports(e, &count);
    driver d(api);
    undo_node undo(w);
    std::vector<driver::lin_term> terms;
    for (size_t i = 0; i < e.a.size(); i++) {
      int x = d.new_var_in({e.dom[i].begin(), e.dom[i].end()});
      ASSERT_EQ(x, (int)i) << exception();
      terms.push_back({e.a[i], x});
    }
    int posted = d.post("ac_linear", {driver::terms(terms, true), driver::param((int)e.a.size()),
                                      driver::param(e.rhs)});
    ASSERT_GE(posted, 0) << exception() << d.error();
    int ok = posted == 1 ? d.propagate() : 0;
    ASSERT_GE(ok, 0) << exception();
    EXPECT_EQ(ok == 0, count == 0);
    if (ok == 0) {
      failed++;
      continue;
    }
    for (size_t i = 0; i < e.a.size(); i++) {
      std::vector<int> got = values(d.domain((int)i));
      EXPECT_EQ(got, std::vector<int>(sup[i].begin(), sup[i].end())) << "term " << i;
      pruned += got.size() < e.dom[i].size();
    }
    watch.d = &d;
    driver::options o;
    o.watch = &watch;
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
  EXPECT_GT(watch.compared, 0);
  /* the instances are not all trivial */
  EXPECT_GT(failed, instances / 40);
  EXPECT_GT(pruned, instances / 4);
  EXPECT_GT(searched, instances / 2);
}
