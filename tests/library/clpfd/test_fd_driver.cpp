/* The search driver on a real engine: random Boolean circuits searched by every variable rule,
 * binding and choicepoint kind against a truth-table enumeration; merging FD variables that carry
 * constraints; undo leaving the heap as it was. */
#include <algorithm>
#include <cstring>
#include <random>
#include <set>

#include "driver/fd_circuit.h"
#include "driver/fd_driver.h"
#include "fd_harness.h"
#include "fd_kernel_env.h"
#include "gc.h"
#include "wam_internal.h"

namespace {

using fd_driver::driver;
using solutions = std::set<std::vector<int>>;

using fd_driver::checker;

class FdDriver : public FdKernelTest {
protected:
  /* The circuit's signals as 0/1 variables with a bool/4 per gate, the equal signals unified by
   * the engine: false when that already fails. */
  bool model(driver &d, const fd_circuit::circuit &c)
  {
    for (int s = 0; s < c.signals(); s++) EXPECT_EQ(d.new_var(0, 1), s);
    for (size_t g = 0; g < c.gates.size(); g++) {
      const fd_circuit::gate &gt = c.gates[g];
      int r = d.post("bool", {driver::var(gt.a), driver::var(gt.b), driver::var(c.inputs + (int)g),
                              driver::param(gt.op)});
      EXPECT_GE(r, 0) << exception();
      if (r != 1) return false;
    }
    if (c.last_one && !c.gates.empty() && d.exclude(c.signals() - 1, 0) != 1) return false;
    for (auto [a, b] : c.same)
      if (d.unify(a, b) != 1) return false;
    return true;
  }

  /* All solutions (or the first) with their count, each checked against every gate. */
  solutions search(driver &d, const fd_circuit::circuit &c, const driver::options &o,
                   fd_driver::counts *n, bool all = true)
  {
    solutions found;
    auto record = [&](driver &dd) {
      std::vector<int> v;
      for (int s = 0; s < c.signals(); s++) v.push_back(dd.bound(s) ? dd.value(s) : -1);
      for (size_t g = 0; g < c.gates.size(); g++)
        EXPECT_EQ(v[c.inputs + g],
                  fd_circuit::eval(c.gates[g].op, v[c.gates[g].a], v[c.gates[g].b]));
      found.insert(v);
      return all;
    };
    EXPECT_EQ(d.search({}, o, record, n), 1) << exception();
    EXPECT_EQ(n->solutions, found.size());
    return found;
  }
};

TEST_F(FdDriver, CircuitsAgreeWithTruthTables)
{
  /* Under the collector's stress mode, where every undo has a collection between anyway, ten
   * circuits of at most six inputs: a collection at every heap check makes larger searches slow. */
  checker watch;
  for (int k = 0, stressed = 0; k < 200; k++) {
    fd_circuit::rng r{(uint64_t)k};
    fd_circuit::circuit c =
        fd_circuit::make(1000 + k, 1 + r.below(12), r.below(31), r.below(4), k % 3 == 0);
    if (qx_gc_stress && c.inputs > 6) continue;
    if (qx_gc_stress && ++stressed > 10) break;
    std::vector<std::vector<int>> m = fd_circuit::models(c);
    solutions oracle(m.begin(), m.end());
    driver d(api);
    SCOPED_TRACE("circuit " + std::to_string(k));
    /* Each circuit is undone as a whole: a model that failed leaves nothing behind. */
    fd_undo_scope undo(w, QX_ALT_FAILCODE);
    if (!model(d, c)) {
      EXPECT_TRUE(oracle.empty());
      continue;
    }
    watch.d = &d;
    watch.rerun = true;
    watch.pruning = watch.compared = 0;
    watch.heap = k < 20 && !qx_gc_stress;
    driver::options o;
    o.watch = &watch;
    fd_driver::counts all, first, in_interval, queries, debug;
    EXPECT_EQ(search(d, c, o, &all), oracle);
    EXPECT_EQ(watch.pruning, 0);
    EXPECT_EQ(watch.differing, 0);
    if (watch.heap && all.nodes > 1) {
      EXPECT_GT(watch.compared, 0);
    }
    watch.rerun = false;
    solutions one = search(d, c, o, &first, false);
    EXPECT_EQ(one.size(), oracle.empty() ? 0u : 1u);
    EXPECT_TRUE(std::includes(oracle.begin(), oracle.end(), one.begin(), one.end()));
    o.how = fd_driver::binding::in_interval;
    EXPECT_EQ(search(d, c, o, &in_interval), oracle);
    o.how = fd_driver::binding::fd_unify;
    o.queries = true;
    EXPECT_EQ(search(d, c, o, &queries), oracle);
    EXPECT_EQ(watch.differing, 0);
    o.queries = false;
    EXPECT_EQ(std::tie(in_interval.nodes, in_interval.failures), std::tie(all.nodes, all.failures));
    EXPECT_EQ(std::tie(queries.nodes, queries.failures), std::tie(all.nodes, all.failures));
    for (fd_driver::choice rule :
         {fd_driver::choice::min, fd_driver::choice::max, fd_driver::choice::ff,
          fd_driver::choice::delete_min, fd_driver::choice::delete_max,
          fd_driver::choice::delete_ff, fd_driver::choice::delete_ffc}) {
      fd_driver::counts n;
      o.rule = rule;
      o.largest = !o.largest;
      EXPECT_EQ(search(d, c, o, &n), oracle) << "rule " << (int)rule;
    }
    o.rule = fd_driver::choice::input;
    o.largest = false;
    d.set_debugging(true);
    EXPECT_EQ(search(d, c, o, &debug), oracle);
    d.set_debugging(false);
    EXPECT_EQ(d.error(), "");
  }
}

/* Two variables with constraints of their own, made one mid-search by the engine and by
 * $fd_unify's fallback: the domain is the intersection, both sides' constraints run again (even
 * when the domains were equal, value suspensions too), a later binding wakes both sides' value
 * suspensions, and undoing the node undoes the alias. */
TEST_F(FdDriver, MergeVariablesCarryingConstraints)
{
  struct {
    int xlo, xhi, ylo, yhi;
    bool by_fd_unify;
  } cases[] = {{0, 9, 3, 12, false}, {0, 9, 3, 12, true}, {2, 6, 2, 6, false}, {4, 8, 0, 5, true}};
  int n = 0;
  for (auto cs : cases) {
    SCOPED_TRACE(n);
    std::string s = std::to_string(n++);
    fd_test_global &ga = add_test_global(("ga" + s).c_str(), 1);
    fd_test_global &gb = add_test_global(("gb" + s).c_str(), 1);
    fd_test_global &va = add_test_global(("va" + s).c_str(), 1);
    fd_test_global &vb = add_test_global(("vb" + s).c_str(), 1);
    driver d(api);
    int x = d.new_var(cs.xlo, cs.xhi), y = d.new_var(cs.ylo, cs.yhi);
    ASSERT_EQ(d.post(("ga" + s).c_str(), {driver::var(x)}, "dom"), 1) << exception();
    ASSERT_EQ(d.post(("gb" + s).c_str(), {driver::var(y)}, "dom"), 1);
    ASSERT_EQ(d.post(("va" + s).c_str(), {driver::var(x)}, "val"), 1);
    ASSERT_EQ(d.post(("vb" + s).c_str(), {driver::var(y)}, "val"), 1);
    std::vector<int32_t> xs = d.domain(x), ys = d.domain(y), both;
    std::set_intersection(xs.begin(), xs.end(), ys.begin(), ys.end(), std::back_inserter(both));
    int a0 = ga.runs, b0 = gb.runs;
    {
      fd_undo_scope mark(w, QX_ALT_FAILCODE);
      ASSERT_EQ(cs.by_fd_unify ? d.fd_unify_vars(x, y) : d.unify(x, y), 1) << exception();
      EXPECT_EQ(d.domain(x), both);
      EXPECT_EQ(d.domain(y), both);
      EXPECT_GT(ga.runs, a0);
      EXPECT_GT(gb.runs, b0);
      EXPECT_EQ(va.runs + vb.runs, 4); /* at its posting and at the merge */
      ASSERT_EQ(d.bind(x, both[1], fd_driver::binding::fd_unify), 1) << exception();
      EXPECT_EQ(d.value(y), both[1]);
      EXPECT_EQ(va.runs, 3);
      EXPECT_EQ(vb.runs, 3);
    }
    EXPECT_EQ(d.domain(x), xs);
    EXPECT_EQ(d.domain(y), ys);
    ASSERT_EQ(d.bind(x, both[0], fd_driver::binding::in_interval), 1);
    EXPECT_EQ(d.domain(y), ys);
    EXPECT_EQ(va.runs, 4);
    EXPECT_EQ(vb.runs, 3);
  }
}

/* Values at the ends of the small integers: a right branch X #\= v keeps the other value, either
 * end tried first; branch-and-bound after a cost of -2^28 tells no bound below it, it fails. */
TEST_F(FdDriver, SearchAtTheEndsOfTheSmallIntegers)
{
  for (bool largest : {false, true}) {
    driver d(api);
    d.new_var(QX_SMALL_MIN, QX_SMALL_MIN + 1);
    d.new_var(QX_SMALL_MAX - 1, QX_SMALL_MAX);
    driver::options o;
    o.largest = largest;
    fd_driver::counts all, best;
    auto every = [](driver &) { return true; };
    ASSERT_EQ(d.search({}, o, every, &all), 1) << exception();
    EXPECT_EQ(all.solutions, 4u);
    o.cost = 0;
    ASSERT_EQ(d.search({}, o, every, &best), 1) << exception();
    EXPECT_EQ(best.solutions, largest ? 2u : 1u);
    TAGGED bound;
    std::vector<int32_t> values;
    ASSERT_TRUE(d.incumbent(&bound, &values));
    EXPECT_EQ(bound, MakeSmall(QX_SMALL_MIN));
  }
}

/* The hook and the action goals called directly; a key without a native propagator and an action
 * goal the driver does not run are errors, never a silent success. */
TEST_F(FdDriver, HookActionsAndErrors)
{
  driver d(api);
  int x = d.new_var(0, 3);
  EXPECT_EQ(d.post("no_such_key", {driver::var(x)}), -1);
  EXPECT_NE(exception().find("no_propagator"), std::string::npos);
  const char *dom = "'$fd_in_interval'(X, 0, 3, 0), ";
  const char *attr = "'$fd_in_interval'(X, 0, 3, 0), '$fd_arg_attribute'(X, 0, A), ";
  const struct {
    std::string goal;
    int rc;
    const char *ball;
  } rows[] = {
      {"clpfd:call_action(foo(A,B))", -1, "fd_driver_error(unsupported_action,foo(_,_))"},
      {"clpfd:overflow_action(foo(1))", -1, "fd_driver_error(overflow,foo(1))"},
      {"clpfd:call_action(in_set(X, [[2|5]])), X = 4", 1, "<none>"},
      {"clpfd:call_action(in_set(X, [[2|5]])), X = 6", 0, "<none>"},
      {dom + std::string("clpfd:call_action(call(X = 2)), X == 2"), 1, "<none>"},
      {dom + std::string("clpfd:call_action(X = 5)"), 0, "<none>"},
      /* a variable without the attribute takes it over; other values fail */
      {attr + std::string("clpfd:attr_unify_hook(A, Y), '$fd_arg_attribute'(Y, 0, B), A == B"), 1,
       "<none>"},
      {attr + std::string("clpfd:attr_unify_hook(A, foo)"), 0, "<none>"},
      {attr + std::string("clpfd:attr_unify_hook(A, 7)"), 0, "<none>"},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.goal);
    EXPECT_EQ(go(r.goal), r.rc);
    EXPECT_EQ(exception(), r.ball);
  }
}

/* A linear posting of at most eight small terms takes the driver's short path: its outcome, runs,
 * domains and constraint term (each term naming its own variable and attribute) are the general
 * posting's of scalar_product/4, over random terms with repeated and fixed variables. */
TEST_F(FdDriver, ShortLinearPostingIsTheGeneralOne)
{
  std::mt19937 rng(11);
  for (int round = 0; round < 200; round++) {
    std::vector<driver::lin_term> t(1 + rng() % 8);
    for (auto &lt : t) lt = {(int32_t)(rng() % 7) - 3, (int)(rng() % 4)};
    int rel = 1 + (int)(rng() % 4), rhs = (int)(rng() % 41) - 20;
    std::string seen[2];
    for (int general = 0; general < 2; general++) {
      driver d(api);
      fd_undo_scope undo(w, QX_ALT_FAILCODE);
      for (int k = 0; k < 4; k++) d.new_var(0, 9);
      ASSERT_EQ(d.bind(3, 2, fd_driver::binding::fd_unify), 1);
      uint32_t runs = fd()->resumptions;
      int rc = general ? d.post("scalar_product", {driver::terms(t), driver::param(rel),
                                                   driver::param(rhs), driver::param(0)})
                       : d.post_linear(t, rel, rhs);
      seen[general] = std::to_string(rc) + " " + std::to_string(fd()->resumptions - runs);
      for (int k = 0; k < 4; k++)
        for (auto [lo, hi] : d.ranges(k))
          seen[general] += " " + std::to_string(lo) + ".." + std::to_string(hi);
      if (rc != 1) continue;
      TAGGED c = deref(StrArg(d.last_global(), FD_GLOBAL_CONSTRAINT));
      seen[general] += " " + fd_harness::written(c);
      size_t i = 0;
      for (TAGGED l = deref(StrArg(c, 1)); IsLst(l); l = deref(LstTail(l)), i++) {
        TAGGED term = deref(LstHead(l)), x = d.term(t[i].x);
        EXPECT_EQ(deref(StrArg(term, 2)), x);
        if (IsVar(x)) {
          EXPECT_EQ(deref(StrArg(term, 3)), get_attributes(x, fd()->fd_module));
        }
      }
      EXPECT_EQ(i, t.size());
    }
    EXPECT_EQ(seen[0], seen[1]);
  }
}

/* Networks of two-term disequations posted through the driver's short path (a post with nothing
 * queued runs at once, later runs come through the loop's direct lane: a removal, an entailment,
 * or a failure when two variables were fixed alike by one propagation): every solution the
 * search finds, against brute force. Small domains, so that removals fix variables and fixings
 * chain; coefficients of either sign, some not unit. */
TEST_F(FdDriver, DisequationNetworksAgreeWithBruteForce)
{
  std::mt19937 rng(23);
  for (int round = 0; round < 300; round++) {
    int n = 3 + (int)(rng() % 3);
    std::vector<int> lo(n), hi(n);
    for (int k = 0; k < n; k++) lo[k] = (int)(rng() % 3), hi[k] = lo[k] + 1 + (int)(rng() % 2);
    struct ne {
      int a, x, b, y, c;
    };
    std::vector<ne> cs;
    for (int k = 2 + (int)(rng() % 9); k > 0; k--) {
      int x = (int)(rng() % n), y = (int)((x + 1 + rng() % (n - 1)) % n);
      int a = rng() % 4 == 0 ? 2 : 1, b = 1;
      if (rng() % 2) a = -a;
      if (rng() % 2) b = -b;
      cs.push_back({a, x, b, y, (int)(rng() % 7) - 3});
    }
    solutions expect, found;
    for (std::vector<int> v = lo; v[n - 1] <= hi[n - 1];) { /* every assignment, in turn */
      if (std::none_of(cs.begin(), cs.end(),
                       [&](const ne &c) { return c.a * v[c.x] + c.b * v[c.y] == c.c; }))
        expect.insert(v);
      for (int k = 0; k < n && ++v[k] > hi[k] && k < n - 1; k++) v[k] = lo[k];
    }
    driver d(api);
    fd_undo_scope undo(w, QX_ALT_FAILCODE);
    for (int k = 0; k < n; k++) ASSERT_GE(d.new_var(lo[k], hi[k]), 0) << exception();
    int r = 1;
    for (size_t k = 0; k < cs.size() && r == 1; k++)
      r = d.post_linear({{cs[k].a, cs[k].x}, {cs[k].b, cs[k].y}}, 4, cs[k].c);
    ASSERT_GE(r, 0) << exception();
    auto record = [&](driver &dd) {
      std::vector<int> got;
      for (int k = 0; k < n; k++) got.push_back(dd.bound(k) ? dd.value(k) : -1);
      found.insert(got);
      return true;
    };
    fd_driver::counts counts;
    if (r == 1) {
      ASSERT_EQ(d.search({}, {}, record, &counts), 1) << exception();
    }
    EXPECT_EQ(found, expect) << "round " << round;
  }
}

/* An all_distinct/1 action posts all_distinct(Entries, 0, 0, 0, dom, Handle, 0) into the level
 * being run (here a test global of that key), integers among the variables. */
TEST_F(FdDriver, AllDistinctActionPostsTheGlobal)
{
  fd_test_global &g = add_test_global("all_distinct", 1);
  driver d(api);
  fd_undo_scope undo(w, QX_ALT_FAILCODE);
  int x = d.new_var(0, 3), y = d.new_var(0, 3);
  QX_term_ref goal = QX_new_term_ref();
  qx_heap_room(w, 10);
  TAGGED *p = w->global_top;
  w->global_top += 8;
  p[0] = d.term(x), p[1] = MakeLst(p + 2), p[2] = d.term(y), p[3] = MakeLst(p + 4);
  p[4] = MakeSmall(2), p[5] = atom_nil, p[6] = fd()->functor_alldiff, p[7] = MakeLst(p);
  fd_ref_put(api, goal, MakeStr(p + 6));
  ASSERT_EQ(d.call(d.n.begin, {}), 1);
  ASSERT_EQ(QX_query(QX_predicate("call_action", 1, "clpfd"), goal), 1) << exception();
  ASSERT_EQ(d.propagate(), 1) << exception();
  EXPECT_EQ(g.runs, 1);
  TAGGED posted = deref(LstHead(d.posts().first));
  std::string state = fd_harness::written(fd_mutable_value(StrArg(posted, FD_GLOBAL_STATE)));
  EXPECT_EQ(state.rfind("all_distinct([-(_,v)|[-(_,v)|[-(2,v)|[]]]],0,0,0,dom,", 0), 0u) << state;
}

}  // namespace
