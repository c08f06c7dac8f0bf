/* element/3 through the shared checker: random instances (holes, X outside 1..n or unbounded,
 * lists of variables, integers or both) against the oracle and against the propagation rule;
 * the edge cases as table rows; the entry protocol's lifecycle on element's block. */
#include "fd_harness.h"

namespace {

using namespace fd_harness;
using fd_harness::instance;
using fd_oracle::range;

/* data: n, then per element a kind (0 variable, 1 integer) and its value or variable index.
 * Variables: X, Y, then the variable elements. */
int64_t element_value(const instance &in, const tuple &t, int64_t i)
{
  return in.data[2 * i - 1] ? in.data[2 * i] : t[in.data[2 * i]];
}
bool element_sat(const instance &in, const tuple &t)
{
  return t[0] >= 1 && t[0] <= in.data[0] && element_value(in, t, t[0]) == t[1];
}

/* Instances from a list of elements (an integer, or nullopt for a variable of domain dom). */
instance element_instance(domain x, domain y, const std::vector<std::pair<bool, int64_t>> &list,
                          const std::vector<domain> &element_doms = {})
{
  instance in{{x, y}, {(int64_t)list.size()}};
  size_t v = 0;
  for (auto [integer, value] : list) {
    in.data.push_back(integer);
    in.data.push_back(integer ? value : (int64_t)in.doms.size());
    if (!integer) in.doms.push_back(element_doms.at(v++));
  }
  return in;
}

/* The rule: X keeps the indexes in 1..n whose element meets Y; Y keeps its values within the
 * hull of those elements; until nothing changes. X fixed to a variable element: Y = element. */
bool element_rule(const instance &in, std::vector<domain> &d)
{
  int64_t n = in.data[0];
  auto el = [&](int64_t i) {
    return in.data[2 * i - 1] ? range(in.data[2 * i], in.data[2 * i]) : d[in.data[2 * i]];
  };
  for (bool changed = true; changed;) {
    fd_oracle::values xs;
    int64_t lo = fd_oracle::SUP, hi = fd_oracle::INF;
    for (int64_t i = 1; i <= n; i++)
      if (d[0].contains(i) && !fd_harness::meet(el(i), d[1]).empty()) {
        xs.push_back(i);
        lo = std::min(lo, el(i).min());
        hi = std::max(hi, el(i).max());
      }
    domain x = domain::of(xs), y = d[1].within(lo, hi);
    if (x.empty() || y.empty()) return false;
    changed = !(x == d[0] && y == d[1]);
    d[0] = x, d[1] = y;
  }
  if (d[0].fixed() && !in.data[2 * d[0].min() - 1]) {
    domain &e = d[in.data[2 * d[0].min()]];
    e = d[1] = fd_harness::meet(e, d[1]);
  }
  return true;
}

row element_row()
{
  row r;
  r.name = "element";
  r.generate = [](fd_harness::rng &g) {
    int n = 1 + g.below(5);
    domain x = g.below(5) == 0 ? range(fd_oracle::INF, fd_oracle::SUP)
                               : fd_harness::random_domain(g, 0, n + 1, 20);
    std::vector<std::pair<bool, int64_t>> list;
    std::vector<domain> doms;
    bool integers = g.below(3) == 0;
    for (int i = 0; i < n; i++) {
      bool integer = integers || g.below(3) == 0;
      list.push_back({integer, g.below(6) - 1});
      if (!integer) doms.push_back(fd_harness::random_domain(g, -1, 4));
    }
    return element_instance(x, fd_harness::random_domain(g, -1, 4), list, doms);
  };
  r.sat = element_sat;
  r.rule = element_rule;
  /* Variants: X and Y wake on bounds only; a list of integers flagged as entries. */
  r.variants = {0, 1, 2};
  r.posting = [](const instance &in, const std::vector<int> &v) {
    int64_t n = in.data[0];
    bool integers = true;
    std::vector<driver::tmpl> list, args;
    for (int64_t i = 1; i <= n; i++) {
      integers = integers && in.data[2 * i - 1];
      list.push_back(in.data[2 * i - 1] ? driver::t_int(in.data[2 * i])
                                        : driver::t_entry(v[in.data[2 * i]]));
      args.push_back(in.data[2 * i - 1] ? driver::t_int(in.data[2 * i])
                                        : driver::t_var(v[in.data[2 * i]]));
    }
    driver::posting p{"element",
                      {driver::t_var(v[0]), driver::t_list(args), driver::t_var(v[1])},
                      {driver::t_entry(v[0]), driver::t_entry(v[1]), driver::t_list(list),
                       driver::t_int(n), driver::t_int(integers && in.variant != 2)}};
    const char *key = in.variant == 1 ? "minmax" : "dom";
    p.susp_each = {{v[0], key}, {v[1], key}};
    return p;
  };
  auto arg = [](int k, driver::tmpl t) { return [k, t](driver::posting &p) { p.state[k] = t; }; };
  r.mutations = {
      {"n above the length", [](driver::posting &p) { p.state[3].v++; }},
      {"n below the length", [](driver::posting &p) { p.state[3].v--; }},
      {"n an atom", arg(3, driver::t_atom("n"))},
      {"flag a structure", arg(4, driver::t_struct("f", {driver::t_int(0)}))},
      {"X an integer", arg(0, driver::t_int(1))},
      {"Y not an entry", arg(1, driver::t_struct("e", {driver::t_int(1)}))},
      {"an improper list",
       [](driver::posting &p) {
         p.state[2] = driver::t_improper(p.state[2].args, driver::t_atom("tail"));
       }},
      {"a list element an atom",
       [](driver::posting &p) { p.state[2].args.back() = driver::t_atom("a"); }},
      {"too few arguments", [](driver::posting &p) { p.state.pop_back(); }},
  };
  r.instances = 120;
  return r;
}

class FdElement : public fd_harness::FdHarness {};

TEST_F(FdElement, RandomInstancesHaveEveryProperty) { check_row(element_row()); }

/* The constraint's edge cases and the bounds restriction of X (X in 0..n+1 and in inf..sup). */
TEST_F(FdElement, EdgeCases)
{
  row r = element_row();
  auto I = [](int64_t v) { return std::pair<bool, int64_t>{true, v}; };
  auto V = std::pair<bool, int64_t>{false, 0};
  const domain all = range(fd_oracle::INF, fd_oracle::SUP);
  struct {
    instance in;
    int outcome;
    bool entailed;
    std::vector<std::string> doms;
  } cases[] = {
      {element_instance(range(1, 3), range(2, 5), {I(1), I(2), I(3)}),
       1,
       false,
       {"[[2|3]]", "[[2|3]]"}},
      {element_instance(range(0, 4), range(0, 9), {I(1), I(2), I(3)}),
       1,
       false,
       {"[[1|3]]", "[[1|3]]"}},
      {element_instance(all, range(2, 2), {I(1), I(2), I(2)}), 1, true, {"[[2|3]]", "[[2|2]]"}},
      {element_instance(range(2, 2), range(0, 9), {I(7), V, I(1)}, {range(3, 12)}),
       1,
       true,
       {"[[2|2]]", "[[3|9]]", "[[3|9]]"}},
      {element_instance(range(1, 3), range(0, 9), {I(5), I(5), I(5)}),
       1,
       true,
       {"[[1|3]]", "[[5|5]]"}},
      {element_instance(all, range(0, 9), {}), 0, false, {}},
      {element_instance(range(4, 9), range(0, 9), {I(1), I(2), I(3)}), 0, false, {}},
      {element_instance(range(1, 3), range(7, 9), {I(1), I(2), I(3)}), 0, false, {}},
  };
  for (size_t k = 0; k < std::size(cases); k++) {
    SCOPED_TRACE(k);
    fd_harness::result res = run(r, cases[k].in);
    EXPECT_EQ(res.outcome, cases[k].outcome);
    EXPECT_EQ(res.entailed, cases[k].entailed);
    for (size_t i = 0; i < cases[k].doms.size() && res.outcome == 1; i++)
      EXPECT_EQ(res.doms[i].text(), cases[k].doms[i]) << "variable " << i;
  }
}

/* Daemons: a change of an element X can still select wakes the constraint, one it no longer
 * selects does not. */
TEST_F(FdElement, ElementDaemonsWakeOnlyForSelectableElements)
{
  driver d(api);
  fd_undo_scope undo(w, QX_ALT_FAILCODE);
  const std::pair<bool, int64_t> var{false, 0};
  instance in = element_instance(range(1, 3), range(0, 9), {var, var, var},
                                 {range(0, 5), range(0, 5), range(0, 5)});
  std::vector<int> v = make_vars(d, in.doms);
  ASSERT_EQ(d.post_state(element_row().posting(in, v)), 1);
  uint32_t before = fd()->resumptions;
  ASSERT_EQ(d.exclude(v[3], 5), 1); /* element 2: selectable */
  EXPECT_GT(fd()->resumptions, before);
  ASSERT_EQ(d.exclude(v[0], 1), 1); /* X in 2..3 */
  before = fd()->resumptions;
  ASSERT_EQ(d.exclude(v[2], 0), 1); /* element 1: no longer selectable */
  EXPECT_EQ(fd()->resumptions, before);
}

}  // namespace

/* minimum/2 and maximum/2 (and relation/3): random instances against oracles of the relation,
 * Y's bounds against the bounds(Z) projection, the constraint's edge cases and mutated states. */

namespace {

using fd_harness::driver;
using fd_harness::instance;
using fd_harness::level;
using fd_harness::result;
using fd_harness::row;
using fd_harness::set_arg;
using fd_harness::set_sub;
using fd_harness::tuple;
using fd_oracle::domain;
using fd_oracle::range;

/* ---- minimum and maximum: variables Y, X1..Xn; data: direction (0 minimum) ---- */

driver::posting minmax_posting(const instance &in, const std::vector<int> &vars)
{
  std::vector<int> xs(vars.begin() + 1, vars.end());
  driver::posting p{in.data[0] ? "maximum" : "minimum",
                    {driver::t_var(vars[0]), driver::t_vars(xs)},
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
  r.mutations = {
      {"Count above n", set_arg(2, driver::t_int(9))},
      {"Count negative", set_arg(2, driver::t_int(-1))},
      {"Count not an integer", set_arg(2, driver::t_atom("a"))},
      {"an element not an entry", set_sub(1, 0, driver::t_atom("a"))},
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

/* ---- relation: variables X1, Y1, X2, Y2, ...; data: options, element count, then per element
 * its interval count, the intervals (lo, hi) and its Y values as a bit mask over 0..5 ---- */

struct rmap {
  struct element {
    std::vector<std::pair<int64_t, int64_t>> xs;
    int ymask;
  };
  std::vector<element> el;
  static rmap decode(const std::vector<int64_t> &d)
  {
    rmap m;
    size_t k = 2;
    for (int64_t e = 0; e < d[1]; e++) {
      element x;
      for (int64_t n = d[k++]; n > 0; n--, k += 2) x.xs.push_back({d[k], d[k + 1]});
      x.ymask = (int)d[k++];
      m.el.push_back(x);
    }
    return m;
  }
  bool relates(int64_t x, int64_t y) const
  {
    for (const element &e : el)
      for (auto [lo, hi] : e.xs)
        if (lo <= x && x <= hi && y >= 0 && y < 6 && (e.ymask >> y & 1)) return true;
    return false;
  }
};

driver::tmpl ymask_set(int mask)
{
  std::vector<std::pair<int32_t, int32_t>> r;
  for (int y = 0; y < 6; y++)
    if (mask >> y & 1) {
      if (!r.empty() && r.back().second == y - 1)
        r.back().second = y;
      else
        r.push_back({y, y});
    }
  return driver::t_set(r);
}

driver::posting relation_posting(const instance &in, const std::vector<int> &vars)
{
  rmap m = rmap::decode(in.data);
  std::vector<driver::tmpl> map, tuples, cx;
  for (const rmap::element &e : m.el) {
    std::vector<driver::tmpl> ivs;
    for (auto [lo, hi] : e.xs) ivs.push_back(driver::t_improper({driver::t_int(lo)}, driver::t_int(hi)));
    map.push_back(driver::t_struct("-", {driver::t_list(ivs), ymask_set(e.ymask)}));
  }
  driver::tmpl none = driver::t_mutable(driver::t_atom("[]"));
  for (size_t t = 0; t + 1 < vars.size(); t += 2) {
    tuples.push_back(driver::t_struct("t", {driver::t_var(vars[t]), driver::t_attr(vars[t]), none,
                                            driver::t_var(vars[t + 1]), driver::t_attr(vars[t + 1]), none}));
    cx.push_back(driver::t_struct("-", {driver::t_var(vars[t]), driver::t_var(vars[t + 1])}));
  }
  int options = (int)in.data[0] | in.variant;
  driver::posting p{"relation",
                    {driver::t_list(cx), driver::t_list(map), driver::t_int(options)},
                    {driver::t_list(map), driver::t_int(options), driver::t_list(tuples),
                     driver::t_int((int64_t)tuples.size())}};
  p.susp = "";
  return p;
}

bool relation_sat(const instance &in, const tuple &t)
{
  rmap m = rmap::decode(in.data);
  for (size_t k = 0; k + 1 < t.size(); k += 2)
    if (!m.relates(t[k], t[k + 1])) return false;
  return true;
}

/* Random maps: disjoint X intervals over -1..7, one or two per element (then mode B is cleared),
 * now and then monotone (single ascending Y intervals). */
rmap random_map(fd_harness::rng &g)
{
  rmap m;
  bool monotone = g.below(3) == 0;
  int64_t at = -1 - g.below(2), ylo = 0;
  for (int e = 0, n = 1 + g.below(3); e < n && at <= 7; e++) {
    rmap::element el;
    for (int k = 0, ni = monotone ? 1 : 1 + g.below(2); k < ni && at <= 7; k++) {
      int64_t hi = at + g.below(3);
      el.xs.push_back({at, hi});
      at = hi + 1 + g.below(2);
    }
    if (monotone) {
      int64_t yhi = std::min<int64_t>(5, ylo + g.below(2));
      el.ymask = ylo > 5 ? 0 : ((1 << (yhi + 1)) - 1) & ~((1 << ylo) - 1);
      ylo = yhi + 1 + g.below(2);
      if (!el.ymask) break;
    } else {
      el.ymask = g.below(63) + 1;
    }
    m.el.push_back(el);
  }
  if (m.el.empty()) m.el.push_back({{{0, 1}}, 1});
  return m;
}

std::vector<int64_t> encode(const rmap &m, int options)
{
  std::vector<int64_t> d = {options, (int64_t)m.el.size()};
  for (const rmap::element &e : m.el) {
    d.push_back((int64_t)e.xs.size());
    for (auto [lo, hi] : e.xs) d.insert(d.end(), {lo, hi});
    d.push_back(e.ymask);
  }
  return d;
}

row relation_row(bool bounds)
{
  row r;
  r.name = bounds ? "relation bounds" : "relation";
  r.generate = [bounds](fd_harness::rng &g) {
    instance in;
    in.data = encode(random_map(g), bounds ? 1 : 0);
    for (int t = 0, n = 1 + g.below(2); t < n; t++) {
      in.doms.push_back(fd_harness::random_domain(g, -1, 7, 25));
      in.doms.push_back(fd_harness::random_domain(g, 0, 5, 25));
    }
    return in;
  };
  r.sat = relation_sat;
  r.posting = relation_posting;
  r.claimed = bounds ? level::none : level::domain;
  r.variants = {0, 2};
  r.mutations = {
      {"overlapping X intervals",
       [](driver::posting &p) { p.state[0].args.push_back(p.state[0].args[0]); }},
      {"a Y set not an FD set",
       [](driver::posting &p) { p.state[0].args[0].args[1] = driver::t_atom("a"); }},
      {"a tuple of five arguments", [](driver::posting &p) { p.state[2].args[0].args.pop_back(); }},
      {"Live above the tuples", set_arg(3, driver::t_int(9))},
      {"Live negative", set_arg(3, driver::t_int(-1))},
  };
  r.instances = 70;
  return r;
}

/* A map for the incremental scans: monotone (mode A), or (mode B, with option 2) one X interval
 * per element and pairwise disjoint, non-empty Y sets in no order: 2 to 4 elements over -1..9. */
rmap incremental_map(fd_harness::rng &g, bool monotone)
{
  rmap m;
  int nel = 2 + g.below(3);
  std::vector<int> y = {0, 1, 2, 3, 4, 5};
  for (int i = 5; i > 0; i--) std::swap(y[i], y[g.below(i + 1)]);
  int64_t at = -1, ylo = 0;
  for (int e = 0; e < nel && at <= 9 && ylo <= 5; e++) {
    rmap::element el;
    int64_t hi = at + g.below(3);
    el.xs.push_back({at, hi});
    at = hi + 1 + g.below(2);
    if (monotone) {
      int64_t yhi = std::min<int64_t>(5, ylo + g.below(2));
      el.ymask = ((1 << (yhi + 1)) - 1) & ~((1 << ylo) - 1);
      ylo = yhi + 1 + g.below(2);
    } else { /* y[e] is its own, each later value of y goes to one element or none */
      el.ymask = 1 << y[e];
      for (int k = nel; k < 6; k++)
        if (g.below(nel + 1) == e) el.ymask |= 1 << y[k];
    }
    m.el.push_back(el);
  }
  return m;
}

class Relation : public fd_harness::FdHarness {
protected:
  ~Relation() override { fd_relation_incremental = 1; }
  /* The outcome and domains after the post and after every step of a random walk (narrow,
   * propagate, backtrack now and then) from seed: its choices depend on the domains only. */
  std::vector<std::string> walk_trace(const instance &in, uint64_t seed)
  {
    driver dw(api);
    fd_undo_scope scope(w, QX_ALT_FAILCODE);
    std::vector<int> vars = make_vars(dw, in.doms);
    std::vector<std::string> out;
    auto note = [&](int ok) {
      std::string line = std::to_string(ok);
      for (const domain &x : ok == 1 ? domains(dw, vars) : std::vector<domain>{})
        line += " " + x.text();
      out.push_back(line);
    };
    fd_harness::rng g{seed};
    int ok = dw.post_state(relation_posting(in, vars));
    note(ok);
    std::vector<snapshot> stack;
    for (int step = 0; step < 40 && ok == 1; step++) {
      std::vector<domain> now = domains(dw, vars);
      std::vector<int> open = fd_harness::open_indices(now);
      if (open.empty() || (!stack.empty() && g.below(4) == 0)) {
        if (stack.empty()) break;
        backtrack(dw, vars, &stack);
        note(1);
        continue;
      }
      stack.push_back(take(dw, vars, qx_push_node(w, qx_alt(QX_ALT_FAILCODE, 0))));
      int i = open[g.below((int)open.size())];
      std::vector<int64_t> v = values(now[i], 0);
      int32_t a = (int32_t)v[g.below((int)v.size())], b = (int32_t)v[g.below((int)v.size())];
      int op = g.below(3);
      if (op == 0)
        ok = dw.exclude(vars[i], a);
      else if (op == 1 &&
               (ok = dw.call(dw.n.in_interval, {dw.term(vars[i]), MakeSmall(std::min(a, b)),
                                                MakeSmall(std::max(a, b)), MakeSmall(1)})) == 1)
        ok = dw.propagate();
      else if (op == 2)
        ok = dw.bind(vars[i], a, fd_driver::binding::in_interval);
      note(ok);
      if (ok != 1) {
        backtrack(dw, vars, &stack);
        ok = 1;
      }
    }
    while (!stack.empty()) backtrack(dw, vars, &stack);
    return out;
  }

  driver d{api};
  fd_undo_scope undo{w, QX_ALT_FAILCODE};
  std::vector<int> post_map(const rmap &m, int options, std::vector<domain> doms, int *ok)
  {
    instance in;
    in.data = encode(m, options);
    in.doms = std::move(doms);
    std::vector<int> vars = make_vars(d, in.doms);
    *ok = d.post_state(relation_posting(in, vars));
    return vars;
  }
};

TEST_F(Relation, EveryProperty) { check_row(relation_row(false)); }
TEST_F(Relation, BoundsOnly) { check_row(relation_row(true)); }

TEST_F(Relation, EdgeCases)
{
  int ok;
  /* monotone: X becomes 3..9, Y stays 2..4; X = 3 fixes Y to 2 and decides the only tuple */
  rmap mono{{{{{1, 2}}, 1 << 1}, {{{3, 3}}, 1 << 2}, {{{4, 9}}, 3 << 3}}};
  std::vector<int> v = post_map(mono, 0, {range(0, 9), range(2, 4)}, &ok);
  ASSERT_EQ(ok, 1);
  EXPECT_EQ(d.domain(v[0]).front(), 3);
  EXPECT_EQ(d.domain(v[1]), (std::vector<int32_t>{2, 3, 4}));
  ASSERT_EQ(d.bind(v[0], 3, fd_driver::binding::in_interval), 1);
  EXPECT_EQ(d.domain(v[1]), std::vector<int32_t>{2});
  EXPECT_TRUE(fd_dead(d.last_global()));
  /* bounds only: the hole at X = 2 (no entry) stays */
  rmap gap{{{{{0, 1}, {3, 4}}, 1}}};
  v = post_map(gap, 1, {range(0, 4), range(0, 0)}, &ok);
  ASSERT_EQ(ok, 1);
  EXPECT_EQ(d.domain(v[0]), (std::vector<int32_t>{0, 1, 2, 3, 4}));
}

/* X and Y fixed at posting to a pair outside a monotone map: the first call scans as if every
 * value had been removed, and fails. */
TEST_F(Relation, FirstCallFailsAPairOutsideTheMap)
{
  int ok;
  rmap mono{{{{{1, 1}}, 1 << 4}, {{{2, 2}}, 1 << 5}}};
  post_map(mono, 0, {range(1, 1), range(5, 5)}, &ok);
  EXPECT_EQ(ok, 0);
}

/* A map element with two X intervals shares its Y set between them: removing X = 1 leaves 3,
 * which still relates to Y = 4; option 2's delta scan is not used for such a map. */
TEST_F(Relation, DeltaScanNeedsDisjointYSets)
{
  int ok;
  rmap two{{{{{1, 1}, {3, 3}}, 1 << 4}, {{{2, 2}}, 1 << 5}}};
  std::vector<int> v = post_map(two, 2, {range(1, 3), range(4, 5)}, &ok);
  ASSERT_EQ(ok, 1);
  ASSERT_EQ(d.exclude(v[0], 1), 1);
  EXPECT_EQ(d.domain(v[1]), (std::vector<int32_t>{4, 5}));
}

/* The monotone map's scans (A) and the delta scan (B) against the general full scan forced on the
 * same instances: every call along the same walks leaves the same domains. */
TEST_F(Relation, IncrementalScansAgreeWithTheFullScan)
{
  uint64_t delta_scans = fd_relation_delta_scans;
  for (int k = 0; k < scaled(200) && !HasFailure(); k++) {
    fd_harness::rng g{(uint64_t)k * 7919 + 17};
    bool monotone = k % 2 == 0;
    instance in;
    in.data = encode(incremental_map(g, monotone), monotone ? 0 : 2);
    for (int t = 0, n = 1 + g.below(3); t < n; t++) {
      in.doms.push_back(fd_harness::random_domain(g, -1, 9, 20));
      in.doms.push_back(fd_harness::random_domain(g, 0, 5, 20));
    }
    SCOPED_TRACE("instance " + std::to_string(k) + (monotone ? " monotone" : " disjoint"));
    for (uint64_t seed = 1; seed <= 3; seed++) {
      fd_relation_incremental = 1;
      std::vector<std::string> incremental = walk_trace(in, seed);
      fd_relation_incremental = 0;
      std::vector<std::string> full = walk_trace(in, seed);
      fd_relation_incremental = 1;
      EXPECT_EQ(incremental, full) << "walk " << seed;
    }
  }
  EXPECT_GT(fd_relation_delta_scans, delta_scans + (uint64_t)scaled(200))
      << "the delta scans hardly ran";
}

}  // namespace
