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

/* The Part's edge cases and the bounds restriction of X (X in 0..n+1 and in inf..sup). */
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
