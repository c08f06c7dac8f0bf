/* bc_alldiff: the shared properties against an all-different oracle, the edge cases as rows,
 * N-queens counts, and mutated states. */
#include "fd_harness.h"
#include "models/fd_models.h"

namespace {

using fd_harness::driver;
using fd_harness::instance;
using fd_harness::level;
using fd_harness::result;
using fd_harness::row;
using fd_harness::tuple;
using fd_oracle::domain;

/* Wake keys by variant: the daemon on val, minmax or dom; or none, the posting's minmax
 * suspensions waking the entry on every bound change (data[0] = 1 forces that). */
const char *const KEYS[] = {"val", "minmax", "dom", "none"};

driver::posting bc_posting(const instance &in, const std::vector<int> &vars)
{
  int variant = in.data.empty() || !in.data[0] ? in.variant : 3;
  driver::posting p{"bc_alldiff",
                    {driver::t_vars(vars)},
                    {driver::t_entries(vars), driver::t_int(0), driver::t_atom(KEYS[variant])}};
  p.susp = variant == 3 ? "minmax" : "";
  return p;
}

bool all_different(const instance &, const tuple &t) { return fd_harness::pairwise_distinct(t); }

/* 2 to 5 variables over -2..7 with holes, now and then an unbounded one (half-open ones are
 * edge cases: the walks would push them past the oracle's window). */
row bc_row(bool direct)
{
  row r;
  r.name = direct ? "bc_alldiff direct" : "bc_alldiff daemon";
  r.generate = [direct](fd_harness::rng &g) {
    instance in;
    in.data.push_back(direct);
    int n = 2 + g.below(4);
    for (int i = 0; i < n; i++) {
      int lo = g.below(6) - 2;
      domain d = fd_harness::random_domain(g, lo, lo + g.below(5), 25);
      if (g.below(12) == 0) d = fd_oracle::range(fd_oracle::INF, fd_oracle::SUP);
      in.doms.push_back(d);
    }
    return in;
  };
  r.sat = all_different;
  r.posting = bc_posting;
  /* Through the daemon a wake-up of a variable at least as wide as the live count is skipped:
   * the fixpoint may then fall short of bounds consistency and of a fresh post. */
  r.claimed = direct ? level::bounds : level::none;
  r.fresh = direct;
  r.variants = {0, 1, 2, 3};
  auto set_arg = [](int k, driver::tmpl t) {
    return [k, t](driver::posting &p) { p.state[k] = t; };
  };
  r.mutations = {
      {"NDead above n", set_arg(1, driver::t_int(9))},
      {"NDead negative", set_arg(1, driver::t_int(-1))},
      {"NDead not an integer", set_arg(1, driver::t_atom("a"))},
      {"wake key an integer", set_arg(2, driver::t_int(3))},
      {"improper entries", set_arg(0, driver::t_improper({}, driver::t_atom("a")))},
      {"an entry not a structure", set_arg(0, driver::t_list({driver::t_int(1)}))},
      {"one argument less", [](driver::posting &p) { p.state.pop_back(); }},
  };
  r.instances = 120;
  r.window = 9;
  return r;
}

std::string texts(const std::vector<domain> &doms);

class BcAlldiff : public fd_harness::FdHarness {
protected:
  /* The domains after posting on these domains ("fail" on failure), and the state's NDead. */
  std::string post_on(std::vector<domain> doms, int *ndead = nullptr)
  {
    instance in;
    in.doms = std::move(doms);
    in.data = {1};
    driver d(api);
    fd_undo_scope undo(w, QX_ALT_FAILCODE);
    std::vector<int> vars = make_vars(d, in.doms);
    result r = post(d, bc_row(true), in, vars);
    if (ndead) *ndead = GetSmall(deref(StrArg(fd_mutable_value(StrArg(d.last_global(), 1)), 2)));
    return r.outcome == 1 ? texts(r.doms) : "fail";
  }
};

TEST_F(BcAlldiff, DirectCallsAreBoundsConsistent) { check_row(bc_row(true)); }
TEST_F(BcAlldiff, ThroughTheDaemonLosesNothing) { check_row(bc_row(false)); }

using fd_oracle::range;
domain vals(std::vector<int64_t> v) { return domain::of(v); }
constexpr int64_t INF = fd_oracle::INF, SUP = fd_oracle::SUP;

std::string texts(const std::vector<domain> &doms)
{
  std::string s;
  for (const domain &x : doms) s += x.text() + " ";
  return s;
}

TEST_F(BcAlldiff, EdgeCases)
{
  domain r12 = range(1, 2), far = range(100000000, 100000001);
  struct {
    std::vector<domain> doms, expected; /* no expected domains: failure */
  } rows[] = {
      {{r12, r12, range(1, 3)}, {r12, r12, range(3, 3)}},
      {{r12, r12, r12}, {}},
      /* three components: Y and X move in one call */
      {{vals({1, 3}), r12, range(1, 1)}, {range(3, 3), range(2, 2), range(1, 1)}},
      /* X is wide (width 3, three live): out of the graph, pushed past the Hall interval 1..2 */
      {{vals({1, 3, 4}), r12, r12}, {range(3, 4), r12, r12}},
      {{range(1, SUP), r12, r12}, {range(3, SUP), r12, r12}},
      {{range(INF, 2), r12, r12}, {range(INF, 0), r12, r12}},
      {{range(INF, SUP), r12, r12}, {range(INF, SUP), r12, r12}},
      /* a bound on the value of a component nested in the span of its own: D = 2 inside the
       * component of B, A and E; B's maximum leaves it */
      {{range(1, 3), range(0, 2), range(2, 2), range(0, 4)},
       {range(1, 3), range(0, 1), range(2, 2), range(0, 4)}},
      /* the graph's values far apart: the scratch spans the numbered values, not the hull */
      {{r12, range(1000, 1001), range(2000, 2001)}, {r12, range(1000, 1001), range(2000, 2001)}},
      {{range(0, 1), far, range(0, 1), far, range(100000000, 100000002)},
       {range(0, 1), far, range(0, 1), far, range(100000002, 100000002)}},
  };
  for (auto &c : rows) EXPECT_EQ(post_on(c.doms), c.expected.empty() ? "fail" : texts(c.expected));
}

/* Hall pairs b..b+1 with a third variable over b..b+2, the triples in descending order: the
 * sorts by bounds meet their input reversed (insertion sort gives up and quicksorts). */
TEST_F(BcAlldiff, ManyVariablesInReverseOrder)
{
  std::vector<domain> doms, expected;
  for (int b = 3 * 14; b >= 0; b -= 3)
    for (int k = 0; k < 3; k++) {
      doms.push_back(range(b, b + 1 + (k == 2)));
      expected.push_back(k == 2 ? range(b + 2, b + 2) : range(b, b + 1));
    }
  EXPECT_EQ(post_on(doms), texts(expected));
}

TEST_F(BcAlldiff, FixedValuesOutsideTheOthersHullAreContracted)
{
  int ndead = -1;
  std::vector<domain> doms = {range(5, 5), range(1, 3), range(1, 3)};
  EXPECT_EQ(post_on(doms, &ndead), texts(doms));
  EXPECT_EQ(ndead, 1);
  doms[0] = range(2, 2);
  EXPECT_EQ(post_on(doms, &ndead), texts(doms));
  EXPECT_EQ(ndead, 0);
}

}  // namespace
