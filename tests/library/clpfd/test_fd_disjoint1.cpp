/* disjoint1/2 as a row of the shared checker: random items with holes, durations that may be 0,
 * wrap, duplicated and unequal margins, the global option as the variant; the constraint's edge cases
 * and the mended faults as instances; mutated states; ft06 with one disjoint1 per machine. */
#include "fd_harness.h"
#include "models/fd_models.h"

namespace {

using fd_harness::driver;
using fd_harness::instance;
using fd_harness::row;
using fd_harness::set_arg;
using fd_harness::set_sub;
using fd_harness::tuple;

/* data: n, flags (2 wrap, 4 margin, 8 global), lborder, rborder, n types, then (type1, type2,
 * amount) per margin, amount -1 for the unbounded marker. Variables: o0, d0, o1, d1, ... */
struct d1_view {
  const instance &in;
  int n() const { return (int)in.data[0]; }
  int flags() const { return (int)in.data[1] ^ (in.variant ? 8 : 0); }
  int64_t circumference() const { return in.data[3] - in.data[2]; }
  int type(int i) const { return (int)in.data[4 + i]; }
  int margins() const { return ((int)in.data.size() - 4 - n()) / 3; }
  const int64_t *margin(int k) const { return &in.data[4 + n() + 3 * k]; }
};

/* Every pair of copies of items of positive length is disjoint; an item of type a that precedes
 * one of type b ends at least the largest a-b amount before it starts. Length 0 or less: the
 * item occupies nothing and keeps no margin. */
bool d1_sat(const instance &in, const tuple &x)
{
  d1_view v{in};
  std::vector<int64_t> shifts = {0};
  if (v.flags() & 2) shifts = {0, v.circumference(), -v.circumference()};
  auto gap = [&](int a, int b) {
    int64_t g = 0;
    for (int k = 0; (v.flags() & 4) && k < v.margins(); k++)
      if (v.margin(k)[0] == a && v.margin(k)[1] == b)
        g = std::max<int64_t>(g, v.margin(k)[2] < 0 ? INT32_MAX : v.margin(k)[2]);
    return g;
  };
  for (int i = 0; i < v.n(); i++)
    for (int j = 0; j < v.n(); j++)
      for (int64_t a : shifts) {
        int64_t si = x[2 * i], di = x[2 * i + 1], sj = x[2 * j] + a, dj = x[2 * j + 1];
        if ((i == j && a == 0) || di < 1 || dj < 1) continue;
        if (!(si + di + gap(v.type(i), v.type(j)) <= sj || sj + dj + gap(v.type(j), v.type(i)) <= si))
          return false;
      }
  return true;
}

driver::tmpl margin_term(const int64_t *m)
{
  auto type = [](int64_t t) { return driver::t_atom("t" + std::to_string(t)); };
  return driver::t_struct("m", {type(m[0]), type(m[1]), m[2] < 0 ? driver::t_atom("sup")
                                                                 : driver::t_int(m[2])});
}

driver::posting d1_posting(const instance &in, const std::vector<int> &vars)
{
  d1_view v{in};
  std::vector<driver::tmpl> items, margins;
  for (int i = 0; i < v.n(); i++) {
    int o = vars[2 * i], d = vars[2 * i + 1];
    items.push_back(driver::t_struct("item", {driver::t_var(o), driver::t_attr(o), driver::t_var(d),
                                              driver::t_attr(d),
                                              driver::t_atom("t" + std::to_string(v.type(i)))}));
  }
  for (int k = 0; k < v.margins(); k++) margins.push_back(margin_term(v.margin(k)));
  driver::tmpl opt = driver::t_struct("opt", {driver::t_int(v.flags()), driver::t_int(in.data[2]),
                                              driver::t_int(in.data[3]), driver::t_list(margins)});
  return {"disjoint1",
          {driver::t_atom("items"), driver::t_atom("options")},
          {driver::t_int(v.n()), opt, driver::t_list(items), driver::t_int(v.n()), driver::t_int(0)}};
}

/* Replaces argument k (from 0) of the state, or of the options structure (k >= 10). */
row d1_row()
{
  row r;
  r.name = "disjoint1";
  r.generate = [](fd_harness::rng &g) {
    instance in;
    int n = 1 + g.below(4);
    int flags = 2 * g.below(2) + 4 * g.below(2) + 8 * g.below(2);
    in.data = {n, flags, 0, 6 + g.below(7)};
    for (int i = 0; i < n; i++) {
      int lo = g.below(7);
      in.doms.push_back(fd_harness::random_domain(g, lo, lo + g.below(5)));
      int d = g.below(4);
      in.doms.push_back(fd_harness::random_domain(g, d, d + g.below(3)));
      in.data.push_back(g.below(2));
    }
    for (int k = g.below(5); k > 0; k--)
      for (int64_t x : {g.below(2), g.below(2), g.below(5) - 1}) in.data.push_back(x);
    return in;
  };
  r.sat = d1_sat;
  r.posting = d1_posting;
  r.variants = {0, 1};
  r.instances = 60;
  r.mutations = {
      {"NItems not the length", set_arg(0, driver::t_int(5))},
      {"NItems not an integer", set_arg(0, driver::t_atom("two"))},
      {"NTargets negative", set_arg(3, driver::t_int(-1))},
      {"NTargets + NSources past NItems", set_arg(4, driver::t_int(3))},
      {"NSources not an integer", set_arg(4, driver::t_atom("a"))},
      {"Options not a structure", set_arg(1, driver::t_atom("foo"))},
      {"Flags not an integer", set_sub(1, 0, driver::t_atom("a"))},
      {"wrap with LBorder >= RBorder",
       [](driver::posting &p) {
         set_sub(1, 0, driver::t_int(2))(p);
         set_sub(1, 1, driver::t_int(5))(p);
         set_sub(1, 2, driver::t_int(5))(p);
       }},
      {"Margins not a list",
       [](driver::posting &p) {
         set_sub(1, 0, driver::t_int(4))(p);
         set_sub(1, 3, driver::t_atom("foo"))(p);
       }},
      {"Margins an improper list",
       [](driver::posting &p) {
         set_sub(1, 0, driver::t_int(4))(p);
         set_sub(1, 3, driver::t_improper({driver::t_struct("m", {driver::t_atom("t0"),
                                                               driver::t_atom("t1"),
                                                               driver::t_int(1)})},
                                        driver::t_atom("foo")))(p);
       }},
      {"an amount neither integer nor sup",
       [](driver::posting &p) {
         set_sub(1, 0, driver::t_int(4))(p);
         set_sub(1, 3, driver::t_list({driver::t_struct(
                         "m", {driver::t_atom("t0"), driver::t_atom("t1"), driver::t_atom("x")})}))(p);
       }},
      {"Items an improper list",
       [](driver::posting &p) { p.state[2] = driver::t_improper(p.state[2].args, driver::t_atom("x")); }},
      {"an item not two entries and a type",
       set_sub(2, 0, driver::t_struct("item", {driver::t_int(1)}))},
      {"an item whose attribute is not one",
       [](driver::posting &p) { p.state[2].args[0].args[1] = driver::t_atom("foo"); }},
      {"a type not atomic",
       [](driver::posting &p) {
         p.state[2].args[0].args[4] = driver::t_struct("f", {driver::t_atom("a")});
       }},
  };
  return r;
}

class FdDisjoint1 : public fd_harness::FdHarness {};

TEST_F(FdDisjoint1, HasEveryProperty) { check_row(d1_row()); }

/* Edge cases: each instance checked as the row's instances are. */
TEST_F(FdDisjoint1, EdgeCases)
{
  row rw = d1_row();
  auto set = [](std::vector<int64_t> v) { return fd_oracle::domain::of(v); };
  auto make = [&](std::vector<int64_t> head, std::vector<std::vector<int64_t>> doms,
                  std::vector<int64_t> types, std::vector<int64_t> margins) {
    instance in;
    in.data = head;
    for (auto &d : doms) in.doms.push_back(set(d));
    in.data.insert(in.data.end(), types.begin(), types.end());
    in.data.insert(in.data.end(), margins.begin(), margins.end());
    return in;
  };
  const std::vector<instance> rows = {
      /* duplicated and unequal margins in one direction: the larger holds once (b >= 4) */
      make({2, 4, 0, 0}, {{0}, {2}, {2, 3, 4, 5, 6}, {1}}, {0, 1}, {0, 1, 1, 0, 1, 2}),
      /* a margin holds in its own direction only */
      make({2, 4, 0, 0}, {{0, 1, 2, 3, 4, 5}, {2}, {2, 3, 4, 5, 6}, {1}}, {0, 1}, {1, 0, 3}),
      /* the unbounded margin: no item of type 0 precedes one of type 1 */
      make({2, 4, 0, 0}, {{0, 1, 2, 3, 4}, {1, 2}, {0, 1, 2, 3, 4}, {1}}, {0, 1}, {0, 1, -1}),
      /* wrap: an item near the right border blocks the left border through its copy */
      make({2, 2, 0, 10}, {{8}, {4}, {0, 1, 2, 3, 4}, {1}}, {0, 0}, {}),
      /* durations that may be 0, an item of duration 0 only, an item of duration max 0 */
      make({3, 0, 0, 0}, {{0, 1, 2, 3}, {0, 2}, {1, 2}, {0}, {0, 1, 2, 3}, {1, 3}}, {0, 0, 0}, {}),
      /* margins next to an item that may have length 0: it keeps none while of length 0 */
      make({2, 4, 0, 0}, {{0, 1, 2, 3}, {0, 2}, {0, 1, 2, 3, 4}, {1}}, {0, 1}, {0, 1, 2, 1, 0, 2}),
      /* no rule fires: origin 0 with duration 1..10 against an item at 20 keeps every length */
      make({2, 0, 0, 0}, {{0}, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, {20}, {1}}, {0, 0}, {}),
      /* every item fixed: entailed or failed at once */
      make({2, 0, 0, 0}, {{0}, {3}, {2}, {1}}, {0, 0}, {}),
      make({2, 0, 0, 0}, {{0}, {3}, {3}, {1}}, {0, 0}, {}),
  };
  for (size_t k = 0; k < rows.size() && !HasFailure(); k++) {
    SCOPED_TRACE("edge case " + std::to_string(k));
    walk_and_variants(rw, rows[k], 99);
  }
  /* the variable duration of the mended example keeps its longest value */
  fd_harness::result r = run(rw, rows[6]);
  ASSERT_EQ(r.outcome, 1);
  EXPECT_EQ(r.doms[1].max(), 10);
  /* no item: entailed at once */
  instance none;
  none.data = {0, 0, 0, 0};
  r = run(rw, none);
  EXPECT_EQ(r.outcome, 1);
  EXPECT_TRUE(r.entailed);
}

/* ft06 with one disjoint1 per machine and the jobs' precedences as linear constraints: branch
 * and bound on the makespan finds 55. */
TEST_F(FdDisjoint1, Ft06OptimumIs55)
{
  driver d(api);
  fd_undo_scope undo(w, QX_ALT_FAILCODE);
  fd_models::jobshop js;
  ASSERT_TRUE(fd_models::jobshop_unary_model(d, fd_jobshop::ft06(), &js)) << exception() << d.error();
  fd_driver::counts c;
  ASSERT_EQ(d.search(js.vars(), fd_models::jobshop_unary_search(js), [](driver &) { return true; }, &c), 1)
      << exception();
  TAGGED bound;
  std::vector<int32_t> values;
  ASSERT_TRUE(d.incumbent(&bound, &values));
  EXPECT_EQ(bound, MakeSmall(55));
}

}  // namespace
