/* The nonlinear constraints x*y=z, x*x=y, x/y=z, x mod y=z and x rem y=z, posted as globals that
 * requeue themselves, against brute-force enumeration: random small domains with holes and an
 * infinite side now and then; single runs against the bound shapes computed from the supported
 * values; the documented cases, the overflow cases and bad states. */
#include <random>

#include <set>
#include <sstream>

#include "driver/fd_driver.h"
#include "fd_prop_env.h"
#include "models/fd_pythag.h"

namespace {

using i64 = long long;
constexpr i64 INF = -99999, SUP = 99999; /* inf and sup as the test's Prolog helpers write them */
constexpr i64 WINDOW = 200;              /* values of an infinite side that are enumerated */

enum kind { PRODUCT, SQUARE, QUOTIENT, MODULO, REMAINDER };
const char *const KEYS[] = {"'x*y=z'", "'x*x=y'", "'x/y=z'", "'x mod y=z'", "'x rem y=z'"};
int arity(kind k) { return k == SQUARE ? 2 : 3; }

i64 floored(i64 x, i64 y)
{
  i64 r = x % y;
  return r != 0 && (r < 0) != (y < 0) ? r + y : r;
}

/* The relation as C++ computes it (truncating division and remainder). */
bool holds(kind k, i64 x, i64 y, i64 z)
{
  switch (k) {
  case PRODUCT: return x * y == z;
  case SQUARE: return x * x == y;
  case QUOTIENT: return y != 0 && x / y == z;
  case MODULO: return y != 0 && floored(x, y) == z;
  default: return y != 0 && x % y == z;
  }
}

/* A domain: sorted disjoint intervals, INF and SUP standing for inf and sup. */
struct domain {
  std::vector<std::pair<i64, i64>> iv;
  bool empty() const { return iv.empty(); }
  i64 lo() const { return iv.front().first; }
  i64 hi() const { return iv.back().second; }
  bool finite() const { return !empty() && lo() != INF && hi() != SUP; }
  bool has(i64 v) const
  {
    for (auto [a, b] : iv)
      if (v >= a && v <= b) return true;
    return false;
  }
  std::vector<i64> values() const
  {
    std::vector<i64> out;
    for (auto [a, b] : iv)
      for (i64 v = std::max(a, -WINDOW); v <= std::min(b, WINDOW); v++) out.push_back(v);
    return out;
  }
  static domain of(const std::vector<i64> &values)
  {
    domain d;
    for (i64 v : values)
      if (!d.iv.empty() && d.iv.back().second + 1 == v)
        d.iv.back().second = v;
      else
        d.iv.push_back({v, v});
    return d;
  }
  /* The values within lo..hi. */
  domain within(i64 l, i64 h) const
  {
    domain d;
    for (auto [a, b] : iv)
      if (std::max(a, l) <= std::min(b, h)) d.iv.push_back({std::max(a, l), std::min(b, h)});
    return d;
  }
  std::string text() const
  {
    auto bound = [](i64 v) { return v == INF ? "inf" : v == SUP ? "sup" : std::to_string(v); };
    std::string s = "[";
    for (auto [a, b] : iv) s += (s.size() > 1 ? ",[" : "[") + bound(a) + "|" + bound(b) + "]";
    return s + "]";
  }
  bool operator==(const domain &o) const { return iv == o.iv; }
};

domain range(i64 lo, i64 hi) { return domain{{{lo, hi}}}; }

/* The negative hull, 0 and the positive hull of a set of values, as a domain. */
domain pieces(const std::vector<i64> &s)
{
  i64 nlo = SUP, nhi = INF, plo = SUP, phi = INF;
  bool zero = false;
  for (i64 v : s) {
    if (v < 0) nlo = std::min(nlo, v), nhi = std::max(nhi, v);
    if (v > 0) plo = std::min(plo, v), phi = std::max(phi, v);
    zero = zero || v == 0;
  }
  domain d;
  if (nlo <= nhi) d.iv.push_back({nlo, nhi});
  if (zero) d.iv.push_back({0, 0});
  if (plo <= phi) d.iv.push_back({plo, phi});
  for (size_t k = 1; k < d.iv.size(); k++)
    if (d.iv[k - 1].second + 1 == d.iv[k].first) {
      d.iv[k - 1].second = d.iv[k].second;
      d.iv.erase(d.iv.begin() + (long)k--);
    }
  return d;
}

/* d restricted to the hull lo..hi, or to the pieces of another domain. */
domain meet(const domain &d, const domain &p)
{
  domain out;
  for (auto [a, b] : p.iv) {
    domain part = d.within(a, b);
    out.iv.insert(out.iv.end(), part.iv.begin(), part.iv.end());
  }
  return domain::of([&] {
    std::vector<i64> v;
    for (auto [a, b] : out.iv)
      for (i64 x = a; x <= b; x++) v.push_back(x);
    return v;
  }());
}

/* What a test run ended with: failed, or the domains after it (and after a rerun). */
struct result {
  bool failed = false, entailed = false;
  std::string exception; /* the run's exception, caught */
  std::vector<domain> after, rerun, restored;
};

/* Reads the numbers of a written list of integer lists; n domains from position *at. */
std::vector<domain> read_domains(const std::vector<i64> &nums, size_t *at, int n)
{
  std::vector<domain> out(n);
  for (int k = 0; k < n; k++) {
    i64 count = nums.at((*at)++);
    for (i64 j = 0; j < count; j++, *at += 2) out[k].iv.push_back({nums.at(*at), nums.at(*at + 1)});
  }
  return out;
}

/* The integers written in a text, in order. */
std::vector<i64> numbers(std::string text)
{
  for (char &c : text)
    if (c != '-' && !std::isdigit((unsigned char)c)) c = ' ';
  std::istringstream in(text);
  std::vector<i64> out;
  for (i64 v; in >> v;) out.push_back(v);
  return out;
}

/* Random small domains: bounds within -12..12, holes, an infinite side now and then. */
domain random_domain(std::mt19937 &r, bool divisor = false)
{
  i64 lo = (i64)(r() % 25) - 12, hi = lo + (i64)(r() % (13 - std::min<i64>(lo, 12)));
  hi = std::min<i64>(hi, 12);
  if (divisor && r() % 2) lo = std::min<i64>(lo, -(i64)(r() % 4)), hi = std::max<i64>(hi, r() % 4);
  std::vector<i64> values;
  for (i64 v = lo; v <= hi; v++)
    if (r() % 5 != 0 || v == lo || v == hi) values.push_back(v);
  domain d = domain::of(values);
  switch (r() % 10) {
  case 0: d.iv.front().first = INF; break;
  case 1: d.iv.back().second = SUP; break;
  default: break;
  }
  return d;
}

}  // namespace

class FdNonlinear : public FdPropTest {
protected:
  FdNonlinear()
  {
    consult("nl_prop :- clpfd:'$fd_evaluate_indexical'(_, R), nl_prop(R).\n"
            "nl_prop(0).\n"
            "nl_prop(1) :- nl_prop.\n"
            "nl_prop(R) :- R > 1, throw(handed_back(R)).\n"
            "mval('$mutable'(V0, _), V) :- ( V0 = '$mutable'(_, _) -> mval(V0, V) ; V = V0 ).\n"
            "dom_of(V, [[V|V]]) :- integer(V), !.\n"
            "dom_of(V, S) :- clpfd:'$fd_arg_attribute'(V, 0, A), dom_attr(A, S).\n"
            "dom_attr(v(_, _, M, _), S) :- mval(M, D), ( D = dom(S, _, _, _) -> true ; "
            "dom_attr(D, S) ).\n"
            "flat([], []).\n"
            "flat([V|Vs], [N|F]) :- dom_of(V, S), len(S, N), flat_set(S, F, F1), flat(Vs, F1).\n"
            "len([], 0).\n"
            "len([_|T], N) :- len(T, N0), N is N0 + 1.\n"
            "flat_set([], F, F).\n"
            "flat_set([[L|H]|T], [L1,H1|F], F0) :- num(L, L1), num(H, H1), flat_set(T, F, F0).\n"
            "num(inf, -99999) :- !.\n"
            "num(sup, 99999) :- !.\n"
            "num(X, X).\n"
            "dead(G, 1) :- arg(4, G, D), nonvar(D), !.\n"
            "dead(_, 0).\n"
            "once_run(G) :- G = global(M, C, _, _, _), mval(M, S), clpfd:'$fd_begin', "
            "clpfd:'$fd_dispatch_global_fast'(C, S, _, A, G, 1), "
            "clpfd:'$fd_prune_and_enqueue'(A, G).\n"
            "rerun(G) :- dead(G, 1), !.\n"
            "rerun(G) :- once_run(G), nl_prop.\n"
            "undone(G, T, R) :- ( call(G), assertz(nl_seen(T)), fail ; true ), "
            "( retract(nl_seen(R)) -> true ; R = failed ).\n");
    consult_in("clpfd", "overflow_action(G) :- throw(overflowed(G)).");
  }

  /* Posts the constraint on variables with the given domains and runs it: to the loop's
   * fixpoint (then once more at the fixpoint), or once. Everything is undone afterwards. */
  result run_constraint(kind k, const std::vector<domain> &doms, bool once = false,
                        const std::string &state_override = "")
  {
    static const char *const names[] = {"X", "Y", "Z"};
    int n = arity(k);
    std::string vs = "[", goal = "true", attrs, state = "st(", susp = "[", args;
    for (int i = 0; i < n; i++) {
      std::string v = names[i];
      vs += (i ? "," : "") + v;
      args += (i ? "," : "") + v;
      goal += ", clpfd:'$fd_in_set'(" + v + ", " + doms[i].text() + ", 1)";
      attrs += ", clpfd:'$fd_arg_attribute'(" + v + ", 0, " + v + "A)";
      state += v + ", " + v + "A, ";
      susp += std::string(i ? "," : "") + "minmax(" + v + ")";
    }
    vs += "]";
    state = state_override.empty() ? state + "_, 0)" : state_override;
    std::string c = std::string(KEYS[k]) + "(" + args + ")";
    std::string post = "clpfd:'$fd_begin'" + attrs + ", clpfd:'$fd_post_global'(" + c + ", " +
                       state + ", 32, " + c + ", " + susp + "], G)";
    std::string body =
        once ? post + ", catch(once_run(G), E, true), ( var(E) -> flat(Vs, F1), F2 = F1 ; true )"
             : post + ", catch(nl_prop, E, true), ( var(E) -> flat(Vs, F1), catch(rerun(G), "
                      "E2, true), ( var(E2) -> flat(Vs, F2) ; F2 = E2 ) ; true )";
    goal += ", Vs = " + vs + ", flat(Vs, B0), undone((" + body +
            ", dead(G, D)), r(E, D, F1, F2), L), flat(Vs, B)";
    result out;
    fd()->fd_overflow = 0; /* a direct dispatch does not clear what an earlier loop left */
    if (run(goal) != 1) {
      ADD_FAILURE() << goal << exception();
      out.failed = true;
      out.exception = "test goal";
      return out;
    }
    std::string l = var("L");
    size_t at = 0;
    std::vector<i64> before = numbers(var("B0")), restored = numbers(var("B"));
    out.restored = read_domains(restored, &at, n);
    at = 0;
    EXPECT_EQ(read_domains(before, &at, n), out.restored) << "undo restores the domains";
    if (l == "failed") {
      out.failed = true;
      return out;
    }
    if (l.rfind("r(_,", 0) != 0) {
      out.failed = true;
      out.exception = l.substr(2, l.find(',') - 2);
      if (l.rfind("r(overflowed(", 0) == 0) out.exception = "overflowed";
      return out;
    }
    std::vector<i64> nums = numbers(l.substr(4));
    at = 1;
    out.entailed = nums.at(0) == 1;
    out.after = read_domains(nums, &at, n);
    out.rerun = read_domains(nums, &at, n);
    return out;
  }
};

/* Random instances to the loop's fixpoint: no solution lost, failure only without solutions,
 * entailment only when every remaining assignment is a solution, nothing pruned by a rerun at
 * the fixpoint, and the domains restored on backtracking. */
TEST_F(FdNonlinear, RandomInstancesAgainstBruteForce)
{
  std::mt19937 r(24);
  int rounds = qx_gc_stress ? 30 : 300;
  for (kind k : {PRODUCT, SQUARE, QUOTIENT, MODULO, REMAINDER}) {
    int failures = 0, entailed = 0, pruned = 0;
    for (int round = 0; round < rounds; round++) {
      int n = arity(k);
      std::vector<domain> doms;
      for (int i = 0; i < n; i++) doms.push_back(random_domain(r, i == 1 && k >= QUOTIENT));
      /* a fixed divisor half the time: the residue rules */
      if (k >= MODULO && round % 2) {
        i64 y = (i64)(r() % 9) - 4;
        doms[1] = range(y == 0 ? 3 : y, y == 0 ? 3 : y);
      }
      std::string what = std::string(KEYS[k]) + " " + doms[0].text() + " " + doms[1].text() +
                         (n == 3 ? " " + doms[2].text() : "");
      SCOPED_TRACE(what);
      std::vector<std::array<i64, 3>> solutions;
      for (i64 x : doms[0].values())
        for (i64 y : doms[1].values()) {
          if (k == SQUARE) {
            if (x * x == y) solutions.push_back({x, y, 0});
            continue;
          }
          if (k >= QUOTIENT && y == 0) continue;
          i64 z = k == PRODUCT    ? x * y
                  : k == QUOTIENT ? x / y
                  : k == MODULO   ? floored(x, y)
                                  : x % y;
          if (doms[2].has(z)) solutions.push_back({x, y, z});
        }
      result res = run_constraint(k, doms);
      EXPECT_EQ(res.exception, "");
      if (res.failed) {
        EXPECT_TRUE(solutions.empty()) << "failed with a solution";
        failures++;
        continue;
      }
      entailed += res.entailed;
      pruned += res.after != doms;
      for (const auto &s : solutions)
        for (int i = 0; i < n; i++)
          EXPECT_TRUE(res.after[i].has(s[i]))
              << "lost " << s[0] << " " << s[1] << " " << s[2] << " at " << i;
      EXPECT_EQ(res.rerun, res.after) << "a rerun at the fixpoint pruned";
      if (res.entailed) {
        for (const domain &d : res.after) ASSERT_TRUE(d.finite());
        for (i64 x : res.after[0].values())
          for (i64 y : res.after[1].values())
            for (i64 z : n == 2 ? std::vector<i64>{0} : res.after[2].values())
              EXPECT_TRUE(holds(k, x, y, z)) << "entailed, not a solution";
      }
    }
    /* the instances exercise failing, entailed and pruning runs (too few in the stress mode) */
    if (qx_gc_stress) continue;
    EXPECT_GT(failures, 0) << KEYS[k];
    EXPECT_GT(entailed, 0) << KEYS[k];
    EXPECT_GT(pruned, rounds / 4) << KEYS[k];
  }
}

/* One run on finite domains against the shapes computed from the supported values of each step,
 * the steps taken in their order: the product's hull and inverse, the square, and the
 * quotient's three pieces. */
TEST_F(FdNonlinear, SingleRunsAreExactWhereTheRulesAreComplete)
{
  std::mt19937 r(2024);
  int rounds = qx_gc_stress ? 30 : 300;
  auto interval = [](const domain &d) {
    std::vector<i64> v;
    for (i64 x = d.lo(); x <= d.hi(); x++) v.push_back(x);
    return v;
  };
  for (kind k : {PRODUCT, SQUARE, QUOTIENT}) {
    int failures = 0, changed = 0;
    for (int round = 0; round < rounds; round++) {
      int n = arity(k);
      std::vector<domain> doms;
      for (int i = 0; i < n; i++) {
        domain d;
        while (!d.finite()) d = random_domain(r, i == 1 && k == QUOTIENT);
        doms.push_back(d);
      }
      SCOPED_TRACE(std::string(KEYS[k]) + " " + doms[0].text() + " " + doms[1].text() +
                   (n == 3 ? " " + doms[2].text() : ""));
      std::vector<domain> expect = doms;
      bool fails = false;
      auto step = [&](int target, const domain &shape) {
        if (fails) return;
        expect[target] = meet(expect[target], shape);
        fails = expect[target].empty();
      };
      if (k == PRODUCT) {
        std::vector<i64> products;
        for (i64 x : interval(doms[0]))
          for (i64 y : interval(doms[1])) products.push_back(x * y);
        step(2, range(*std::min_element(products.begin(), products.end()),
                      *std::max_element(products.begin(), products.end())));
        for (int u : {0, 1}) {
          if (fails) break;
          const domain &v = expect[1 - u], &z = expect[2];
          std::vector<i64> supported;
          for (i64 a : expect[u].values())
            for (i64 b : interval(v))
              if (a * b >= z.lo() && a * b <= z.hi()) {
                supported.push_back(a);
                break;
              }
          if (supported.empty())
            fails = true;
          else
            step(u, range(supported.front(), supported.back()));
        }
      } else if (k == SQUARE) {
        step(1, range(0, SUP));
        if (!fails) {
          domain y0 = expect[1];
          i64 rt = 0, s = 0;
          while (rt * rt < y0.lo()) rt++;
          while ((s + 1) * (s + 1) <= y0.hi()) s++;
          std::vector<i64> squares;
          for (i64 x : interval(doms[0])) squares.push_back(x * x);
          step(1, range(std::max(*std::min_element(squares.begin(), squares.end()), rt * rt),
                        std::min(*std::max_element(squares.begin(), squares.end()), s * s)));
          std::vector<i64> supported;
          for (i64 x : doms[0].values())
            if (x * x >= y0.lo() && x * x <= y0.hi()) supported.push_back(x);
          if (supported.empty())
            fails = true;
          else
            step(0, range(supported.front(), supported.back()));
        }
      } else {
        step(1, domain{{{INF, -1}, {1, SUP}}});
        std::vector<i64> s;
        auto nonzero = [&](const domain &d) {
          std::vector<i64> v;
          for (i64 y : interval(d))
            if (y) v.push_back(y);
          return v;
        };
        if (!fails) {
          for (i64 x : interval(expect[0]))
            for (i64 y : nonzero(expect[1])) s.push_back(x / y);
          step(2, pieces(s));
        }
        if (!fails) {
          s.clear();
          for (i64 y = -WINDOW; y <= WINDOW; y++)
            for (i64 x : interval(expect[0]))
              if (y && x / y >= expect[2].lo() && x / y <= expect[2].hi()) {
                s.push_back(y);
                break;
              }
          step(1, pieces(s));
        }
        if (!fails) {
          s.clear();
          for (i64 x = -WINDOW; x <= WINDOW; x++)
            for (i64 y : nonzero(expect[1]))
              if (x / y >= expect[2].lo() && x / y <= expect[2].hi()) {
                s.push_back(x);
                break;
              }
          step(0, pieces(s));
        }
      }
      result res = run_constraint(k, doms, true);
      EXPECT_EQ(res.exception, "");
      EXPECT_EQ(res.failed, fails);
      failures += fails;
      if (fails || res.failed) continue;
      changed += res.after != doms;
      for (int i = 0; i < n; i++)
        EXPECT_EQ(res.after[i].text(), expect[i].text()) << "variable " << i;
    }
    if (qx_gc_stress) continue;
    EXPECT_GT(failures, rounds / 20) << KEYS[k];
    EXPECT_GT(changed, rounds / 8) << KEYS[k];
  }
}

/* On two single intervals one run of the square reaches its own fixpoint (random intervals, an
 * infinite side now and then): a second run prunes nothing, the run is entailed exactly when it
 * leaves X fixed, no solution is lost, and the loop runs it once. With a hole in X that the pass
 * exposes the loop runs it again. */
TEST_F(FdNonlinear, SquareOnIntervalsRunsOnce)
{
  std::mt19937 r(131);
  int rounds = qx_gc_stress ? 20 : 200, failures = 0, entailed = 0;
  for (int round = 0; round < rounds; round++) {
    i64 xl = (i64)(r() % 25) - 12, xh = xl + (i64)(r() % 13);
    i64 yl = (i64)(r() % 170) - 20, yh = yl + (i64)(r() % 150);
    domain x = range(r() % 8 == 0 ? INF : xl, r() % 8 == 0 ? SUP : xh);
    domain y = range(r() % 8 == 0 ? INF : yl, r() % 8 == 0 ? SUP : yh);
    SCOPED_TRACE("X " + x.text() + " Y " + y.text());
    bool solvable = false;
    for (i64 v : x.values()) solvable = solvable || y.has(v * v);
    result once = run_constraint(SQUARE, {x, y}, true);
    uint32_t resumptions = fd()->resumptions;
    result loop = run_constraint(SQUARE, {x, y});
    EXPECT_EQ(loop.failed, once.failed);
    if (once.failed) {
      EXPECT_FALSE(solvable);
      failures++;
      continue;
    }
    EXPECT_EQ(fd()->resumptions - resumptions, 1u) << "the loop ran it again";
    EXPECT_EQ(loop.after, once.after);
    for (i64 v : x.values())
      if (y.has(v * v)) EXPECT_TRUE(once.after[0].has(v) && once.after[1].has(v * v)) << v;
    bool fixed = once.after[0].lo() == once.after[0].hi();
    EXPECT_EQ(once.entailed, fixed);
    entailed += fixed;
    if (fixed) continue;
    result again = run_constraint(SQUARE, once.after, true);
    ASSERT_FALSE(again.failed);
    EXPECT_EQ(again.after, once.after) << "a second run pruned";
  }
  if (!qx_gc_stress) {
    EXPECT_GT(failures, rounds / 10);
    EXPECT_GT(entailed, rounds / 50);
  }
  /* X without 4: the pass raises X to 5 after raising Y to 16 only */
  uint32_t resumptions = fd()->resumptions;
  result res = run_constraint(SQUARE, {domain{{{0, 3}, {5, 10}}}, range(10, 50)});
  EXPECT_GE(fd()->resumptions - resumptions, 2u);
  ASSERT_FALSE(res.failed);
  EXPECT_EQ(res.after[0].text(), "[[5|7]]");
  EXPECT_EQ(res.after[1].text(), "[[25|49]]");
}

/* The documented cases, the two readings of the square that review found wrong, bad input and the
 * overflow flag. Each case runs once, or (loop) to the fixpoint; it expects a domain per variable
 * ("*" not checked), or fail, entailed or overflowed. */
TEST_F(FdNonlinear, DocumentedCasesBadInputAndOverflow)
{
  struct edge {
    kind k;
    std::vector<domain> doms;
    bool loop;
    std::vector<std::string> expect;
  };
  const domain all = range(INF, SUP), zero = range(0, 0);
  auto one = [](i64 v) { return range(v, v); };
  const domain nonzero = domain{{{INF, -1}, {1, SUP}}};
  const std::string y_pm1 = "[[-1|-1],[1|1]]";
  const edge cases[] = {
      {PRODUCT, {range(2, 3), range(4, 5), all}, false, {"*", "*", "[[8|15]]"}},
      {PRODUCT, {range(2, 3), range(4, 5), one(9)}, false, {"fail"}},
      {PRODUCT, {all, zero, range(1, 5)}, false, {"fail"}},
      {PRODUCT, {range(1, 10), range(1, 10), one(6)}, false, {"[[1|6]]", "[[1|6]]", "*"}},
      {PRODUCT, {all, range(2, 3), range(5, 9)}, false, {"[[2|4]]", "*", "*"}},
      {PRODUCT, {all, range(2, 3), one(7)}, false, {"fail"}},
      {PRODUCT, {range(-5, -2), range(-3, 4), all}, false, {"*", "*", "[[-20|15]]"}},
      {PRODUCT, {range(INF, -1), range(INF, 0), all}, false, {"*", "*", "[[0|sup]]"}},
      {PRODUCT, {all, all, all}, true, {"[[inf|sup]]", "[[inf|sup]]", "[[inf|sup]]"}},
      {SQUARE, {all, range(10, 50)}, false, {"[[-7|7]]", "*"}},
      {SQUARE, {range(0, SUP), range(10, 50)}, false, {"[[4|7]]", "*"}},
      {SQUARE, {range(-3, 2), range(0, 100)}, false, {"*", "[[0|9]]"}},
      /* Y's lower bound negative or inf: Y becomes 0..sup before the roots are taken (X = Y = 0
       * is a solution); X in 5..6 is restricted to 4..7, not assigned it */
      {SQUARE, {all, range(-5, 10)}, true, {"[[-3|3]]", "[[0|9]]"}},
      {SQUARE, {all, range(INF, 10)}, true, {"[[-3|3]]", "[[0|9]]"}},
      {SQUARE, {range(5, 6), range(10, 50)}, false, {"[[5|6]]", "[[25|36]]"}},
      {SQUARE, {all, all}, true, {"[[inf|sup]]", "[[0|sup]]"}},
      {QUOTIENT, {one(7), one(-2), one(-3)}, false, {"entailed"}},
      {QUOTIENT, {one(7), one(-2), one(-4)}, false, {"fail"}},
      {QUOTIENT, {range(6, 8), range(1, 6), all}, false, {"*", "*", "[[1|8]]"}},
      {QUOTIENT, {one(5), all, range(-1, 3)}, false, {"*", "[[inf|-3],[2|sup]]", "*"}},
      {MODULO, {range(4, 5), one(3), all}, false, {"[[4|5]]", "*", "[[1|2]]"}},
      {MODULO, {range(5, 6), one(3), all}, false, {"*", "*", "[[0|0],[2|2]]"}},
      {MODULO, {range(5, 7), one(3), all}, false, {"*", "*", "[[0|2]]"}},
      {MODULO, {range(-3, 3), all, range(1, 2)}, false, {"[[-3|-1],[1|3]]", "*", "*"}},
      {MODULO, {all, range(-5, -1), range(1, 3)}, false, {"fail"}},
      {MODULO, {range(2, 3), range(5, 7), all}, false, {"*", "*", "[[2|3]]"}},
      {MODULO, {range(2, 9), range(5, 7), all}, false, {"*", "*", "[[0|6]]"}},
      {MODULO, {all, range(-3, 5), all}, false, {"*", "*", "[[-2|4]]"}},
      {MODULO, {all, range(-4, -2), all}, false, {"*", "*", "[[-3|0]]"}},
      {MODULO, {range(-3, -2), range(-7, -5), all}, false, {"*", "*", "[[-3|-2]]"}},
      {REMAINDER, {range(-9, -1), range(2, 4), all}, false, {"*", "*", "[[-3|0]]"}},
      {REMAINDER, {range(-5, -4), one(-3), all}, false, {"*", "*", "[[-2|-1]]"}},
      {REMAINDER, {range(-2, 6), range(-3, 4), all}, false, {"*", "*", "[[-2|3]]"}},
      {REMAINDER, {range(2, 3), range(5, 7), all}, false, {"*", "*", "[[2|3]]"}},
      /* overflow: a new lower bound beyond the small integers, an out-of-range bound move */
      {PRODUCT, {range(20000, SUP), range(20000, SUP), all}, true, {"overflowed"}},
      {SQUARE, {range(20000, SUP), all}, true, {"overflowed"}},
      {QUOTIENT, {all, one(20000), one(20000)}, true, {"overflowed"}},
      {MODULO, {range(268435451, SUP), one(10), zero}, true, {"overflowed"}},
  };
  for (const edge &e : cases) {
    SCOPED_TRACE(std::string(KEYS[e.k]) + " " + e.doms[0].text() + " " + e.doms[1].text() +
                 (arity(e.k) == 3 ? " " + e.doms[2].text() : ""));
    result res = run_constraint(e.k, e.doms, !e.loop);
    const std::string &first = e.expect[0];
    if (first == "fail" || first == "overflowed") {
      EXPECT_TRUE(res.failed);
      EXPECT_EQ(res.exception, first == "fail" ? "" : first);
      continue;
    }
    ASSERT_FALSE(res.failed) << res.exception;
    EXPECT_EQ(res.entailed, first == "entailed");
    for (size_t i = 0; i < e.expect.size() && first != "entailed"; i++) {
      if (e.expect[i] != "*") {
        EXPECT_EQ(res.after[i].text(), e.expect[i]) << "variable " << i;
      }
    }
  }
  /* every division constraint: Y in -1..1 loses 0; a divisor fixed to 0 fails; inf..sup
   * everywhere only takes 0 from Y */
  for (kind k : {QUOTIENT, MODULO, REMAINDER}) {
    SCOPED_TRACE(KEYS[k]);
    result res = run_constraint(k, {all, range(-1, 1), all}, true);
    ASSERT_FALSE(res.failed) << res.exception;
    EXPECT_EQ(res.after[1].text(), y_pm1);
    res = run_constraint(k, {range(-4, 4), zero, all});
    EXPECT_TRUE(res.failed);
    EXPECT_EQ(res.exception, "");
    res = run_constraint(k, {all, all, all});
    ASSERT_FALSE(res.failed);
    EXPECT_EQ(res.after[0].text(), all.text());
    EXPECT_EQ(res.after[1].text(), nonzero.text());
    EXPECT_EQ(res.after[2].text(), all.text());
  }
}

/* States that are no state term, or whose Handle no block allocation made, raise an error; a
 * value outside its domain or a variable without a domain has no model; a native called without
 * its global record raises an error. */
TEST_F(FdNonlinear, BadStates)
{
  const std::string setup =
      "clpfd:'$fd_in_set'(X, [[1|5]], 1), clpfd:'$fd_in_set'(Y, [[1|5]], 1), "
      "clpfd:'$fd_in_set'(Z, [[1|5]], 1), clpfd:'$fd_arg_attribute'(X, 0, XA), "
      "clpfd:'$fd_arg_attribute'(Y, 0, YA), clpfd:'$fd_arg_attribute'(Z, 0, ZA), "
      "clpfd:'$fd_begin', ";
  const struct {
    const char *key, *state, *expect;
  } cases[] = {
      {"'x*y=z'", "st(X, XA, Y, YA, _, 0)", "type_error"},
      {"'x*y=z'", "st(X, XA, Y, YA, Z, ZA, bad, 0)", "type_error"},
      {"'x*y=z'", "st(X, XA, Y, YA, Z, ZA, [_|f(1)], 0)", "type_error"},
      {"'x/y=z'", "foo", "type_error"},
      {"'x*x=y'", "st(X, XA, 1)", "type_error"},
      {"'x*y=z'", "st(X, XA, Y, foo, Z, ZA, _, 0)", "failed"},
      {"'x mod y=z'", "st(X, XA, 7, YA, Z, ZA, _, 0)", "failed"},
      {"'x rem y=z'", "st(X, XA, a, YA, Z, ZA, _, 0)", "failed"},
      {"'x*x=y'", "st(X, v(1), Y, YA, _, 0)", "failed"},
      {"'x*y=z'", "st(X, XA, Y, YA, Z, ZA, _, 0)", "ok"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.key) + " " + c.state);
    std::string args = std::string(c.key) == "'x*x=y'" ? "(X, Y), " : "(X, Y, Z), ";
    std::string goal = "undone((" + setup + "clpfd:'$fd_post_global'(" + c.key + args + c.state +
                       ", 32, c, [minmax(X), minmax(Y), minmax(Z)], _), catch((nl_prop -> R = "
                       "ok ; R = failed), error(E, _), functor(E, R, _))), R, L)";
    ASSERT_EQ(run(goal), 1) << exception();
    EXPECT_EQ(var("L"), c.expect);
  }
  for (const char *native : {"product", "square", "quotient", "modulo", "remainder"}) {
    ASSERT_EQ(run(std::string("clpfd:'$fd_in_set'(X, [[1|5]], 1), catch(clpfd:'$fd_") + native +
                  "'(st(X, _, X, _, X, _, _, 0), _, _), error(E, _), true)"),
              1)
        << exception();
    EXPECT_NE(var("E"), "_") << native << ": no global record, an error";
  }
}

/* ---- models through the search driver ---- */

namespace {

using fd_driver::driver;
using triples = std::set<std::array<i64, 3>>;

/* Every solution of the search over vars (the values of vars, in order), with the driver's
 * checks: no global prunes on a rerun at any fixpoint, the heap as it was after every undo. */
triples solve(driver &d, const std::vector<int> &vars, fd_driver::counts *c, bool heap)
{
  fd_driver::checker watch;
  watch.d = &d;
  watch.heap = heap && !qx_gc_stress;
  driver::options o;
  o.watch = &watch;
  triples found;
  auto record = [&](driver &dd) {
    std::array<i64, 3> s{};
    for (size_t k = 0; k < vars.size(); k++) s[k] = dd.bound(vars[k]) ? dd.value(vars[k]) : SUP;
    EXPECT_TRUE(found.insert(s).second) << "a solution found twice";
    return true;
  };
  EXPECT_EQ(d.search(vars, o, record, c), 1);
  EXPECT_EQ(c->solutions, found.size());
  EXPECT_EQ(watch.pruning, 0) << "a rerun at a fixpoint pruned";
  EXPECT_EQ(watch.differing, 0) << "an undo left the heap changed";
  if (watch.heap) {
    EXPECT_GT(watch.compared, 0);
  }
  return found;
}

}  // namespace

class FdNonlinearModels : public FdKernelTest {};

/* Pythagorean triples with c at most 100 (squares by x*x=y, the sum by a linear equation): the
 * triples of a brute-force enumeration, each checked. */
TEST_F(FdNonlinearModels, PythagoreanTriplesMatchBruteForce)
{
  for (int cmax : {qx_gc_stress ? 30 : 100, 5, 4}) {
    SCOPED_TRACE(cmax);
    triples oracle;
    for (i64 a = 1; a <= cmax; a++)
      for (i64 b = a + 1; b <= cmax; b++)
        for (i64 c = b; c <= cmax; c++)
          if (a * a + b * b == c * c) oracle.insert({a, b, c});
    fd_driver::undo_scope undo(w);
    driver d(api);
    if (!fd_models::pythagorean(d, cmax)) {
      EXPECT_TRUE(oracle.empty()) << "posting failed";
      EXPECT_EQ(exception(), "<none>");
      continue;
    }
    fd_driver::counts c;
    triples found = solve(d, fd_models::pythagorean_vars(), &c, cmax < 50);
    EXPECT_EQ(found, oracle);
    if (cmax == 100) {
      EXPECT_EQ(found.size(), 52u);
    }
  }
}

/* x*y = N over -N..N (and x*y = 0 over -6..6): every factor pair, nothing else. */
TEST_F(FdNonlinearModels, FactorPairsMatchBruteForce)
{
  for (i64 n : {0, 1, 12, 36, 97, -30, 64}) {
    SCOPED_TRACE(n);
    i64 m = n == 0 ? 6 : std::abs(n);
    triples oracle;
    for (i64 x = -m; x <= m; x++)
      for (i64 y = -m; y <= m; y++)
        if (x * y == n) oracle.insert({x, y, n});
    fd_driver::undo_scope undo(w);
    driver d(api);
    ASSERT_EQ(d.new_var((int32_t)-m, (int32_t)m), 0);
    ASSERT_EQ(d.new_var((int32_t)-m, (int32_t)m), 1);
    ASSERT_EQ(d.new_var((int32_t)n, (int32_t)n), 2);
    ASSERT_EQ(d.post("x*y=z", {driver::var(0), driver::var(1), driver::var(2)}), 1) << exception();
    fd_driver::counts c;
    EXPECT_EQ(solve(d, {0, 1, 2}, &c, true), oracle);
  }
}

/* x/y = z, x mod y = z and x rem y = z with x in -12..12, y in -5..5 and z in -4..9: every
 * solution of C++'s truncating division, floored modulo and truncated remainder. */
TEST_F(FdNonlinearModels, DivisionsMatchBruteForce)
{
  const char *names[] = {"x/y=z", "x mod y=z", "x rem y=z"};
  for (kind k : {QUOTIENT, MODULO, REMAINDER}) {
    SCOPED_TRACE(names[k - QUOTIENT]);
    triples oracle;
    for (i64 x = -12; x <= 12; x++)
      for (i64 y = -5; y <= 5; y++)
        for (i64 z = -4; z <= 9; z++)
          if (holds(k, x, y, z)) oracle.insert({x, y, z});
    fd_driver::undo_scope undo(w);
    driver d(api);
    ASSERT_EQ(d.new_var(-12, 12), 0);
    ASSERT_EQ(d.new_var(-5, 5), 1);
    ASSERT_EQ(d.new_var(-4, 9), 2);
    ASSERT_EQ(d.post(names[k - QUOTIENT], {driver::var(0), driver::var(1), driver::var(2)}), 1)
        << exception();
    fd_driver::counts c;
    triples found = solve(d, {0, 1, 2}, &c, true);
    EXPECT_EQ(found, oracle);
    for (const auto &s : found) EXPECT_TRUE(holds(k, s[0], s[1], s[2]));
  }
}

/* Two arguments made one variable after posting (the engine's unification merges them): the
 * solutions over -6..6 are those of the relation with the two values equal. */
TEST_F(FdNonlinearModels, AliasedArgumentsMatchBruteForce)
{
  const char *names[] = {"x*y=z", "x*x=y", "x/y=z", "x mod y=z", "x rem y=z"};
  const int pairs[][2] = {{0, 1}, {0, 2}, {1, 2}};
  for (kind k : {PRODUCT, SQUARE, QUOTIENT, MODULO, REMAINDER})
    for (const auto &pair : pairs) {
      int n = arity(k);
      if (pair[1] >= n) continue;
      SCOPED_TRACE(std::string(names[k]) + " " + std::to_string(pair[0]) + "=" +
                   std::to_string(pair[1]));
      triples oracle;
      for (i64 x = -6; x <= 6; x++)
        for (i64 y = -6; y <= 6; y++)
          for (i64 z = n == 2 ? 0 : -6; z <= (n == 2 ? 0 : 6); z++) {
            std::array<i64, 3> s{x, y, z};
            if (s[pair[0]] == s[pair[1]] && holds(k, x, y, z)) oracle.insert(s);
          }
      fd_driver::undo_scope undo(w);
      driver d(api);
      std::vector<driver::arg> args;
      std::vector<int> vars;
      for (int i = 0; i < n; i++) {
        ASSERT_EQ(d.new_var(-6, 6), i);
        args.push_back(driver::var(i));
        vars.push_back(i);
      }
      ASSERT_EQ(d.post(names[k], args), 1) << exception();
      if (d.unify(pair[0], pair[1]) != 1) {
        EXPECT_TRUE(oracle.empty()) << exception();
        continue;
      }
      fd_driver::counts c;
      EXPECT_EQ(solve(d, vars, &c, true), oracle);
    }
}
