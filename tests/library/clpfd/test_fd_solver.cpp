/* The whole solver on random small problems: linear, reified and Boolean constraints over a few
 * variables, some of them unified, searched by the driver and compared with a brute-force
 * enumeration; at every node's fixpoint no global prunes on a rerun, and every undo leaves the
 * heap as it was. */
#include <cstddef>
#include <set>

#include "driver/fd_circuit.h"
#include "driver/fd_driver.h"
#include "fd_kernel_env.h"
#include "fd_oracle.h"
#include "gc.h"
#include "wam_internal.h"

namespace {

using fd_driver::driver;

struct constraint {
  enum kind_t { linear, le_iff, eq_iff, in_set_iff, oneof, abs, boolean } kind;
  std::vector<int> x;                             /* variables */
  std::vector<int> a;                             /* linear coefficients */
  int rel = 0, rhs = 0, op = 0;                   /* linear relation and RHS; bool's connective */
  std::vector<std::pair<int32_t, int32_t>> set{}; /* in_set_iff's set */

  bool holds(const std::vector<int> &v) const
  {
    switch (kind) {
    case linear: {
      int sum = 0;
      for (size_t k = 0; k < x.size(); k++) sum += a[k] * v[x[k]];
      return rel == 1 ? sum <= rhs : rel == 2 ? sum >= rhs : rel == 3 ? sum == rhs : sum != rhs;
    }
    case le_iff: return v[x[2]] == (v[x[0]] <= v[x[1]]);
    case eq_iff: return v[x[2]] == (v[x[0]] == v[x[1]]);
    case in_set_iff: {
      bool in = false;
      for (auto [lo, hi] : set) in |= lo <= v[x[0]] && v[x[0]] <= hi;
      return v[x[2]] == in;
    }
    case oneof: return v[x[2]] == v[x[0]] || v[x[2]] == v[x[1]];
    case abs: return v[x[1]] == std::abs(v[x[0]]);
    default: return v[x[2]] == fd_circuit::eval(op, v[x[0]], v[x[1]]);
    }
  }

  int post(driver &d) const
  {
    auto var = driver::var;
    switch (kind) {
    case linear: {
      std::vector<driver::lin_term> t;
      for (size_t k = 0; k < x.size(); k++) t.push_back({a[k], x[k]});
      return d.post_linear(t, rel, rhs);
    }
    case le_iff: return d.post("le_iff", {var(x[0]), var(x[1]), var(x[2])});
    case eq_iff: return d.post("eq_iff", {var(x[0]), var(x[1]), var(x[2])});
    case in_set_iff: return d.post("in_set_iff", {var(x[0]), driver::fdset(set), var(x[2])});
    case oneof: return d.post("oneof", {var(x[0]), var(x[1]), var(x[2])});
    case abs: return d.post("abs", {var(x[0]), var(x[1])});
    default: return d.post("bool", {var(x[0]), var(x[1]), var(x[2]), driver::param(op)});
    }
  }
};

struct problem {
  std::vector<std::vector<int32_t>> domains; /* the first `booleans` within 0..1 */
  int booleans = 0;
  std::vector<constraint> constraints;
  std::vector<std::pair<int, int>> same; /* unified after posting */

  std::set<std::vector<int>> brute_force() const
  {
    std::set<std::vector<int>> out;
    fd_oracle::each_assignment(domains, [&](const std::vector<int32_t> &x) {
      std::vector<int> v(x.begin(), x.end());
      bool ok = true;
      for (auto [p, q] : same) ok &= v[p] == v[q];
      for (const constraint &c : constraints) ok = ok && c.holds(v);
      if (ok) out.insert(v);
    });
    return out;
  }
};

problem random_problem(fd_circuit::rng &r)
{
  problem p;
  int n = 4 + r.below(3);
  p.booleans = 2 + r.below(2);
  for (int k = 0; k < n; k++) {
    std::vector<int32_t> dom;
    int top = k < p.booleans ? 1 : 5;
    while (dom.empty())
      for (int v = 0; v <= top; v++)
        if (r.below(4) != 0) dom.push_back(v);
    p.domains.push_back(dom);
  }
  auto any = [&] { return r.below(n); };
  auto boolean = [&] { return r.below(p.booleans); };
  int count = 3 + r.below(6);
  for (int k = 0; k < count; k++) {
    constraint c{constraint::kind_t(r.below(7)), {}, {}};
    switch (c.kind) {
    case constraint::linear: {
      int terms = 1 + r.below(3);
      for (int t = 0; t < terms; t++) {
        c.x.push_back(any());
        c.a.push_back((1 + r.below(3)) * (r.below(2) ? 1 : -1));
      }
      c.rel = 1 + r.below(4);
      c.rhs = r.below(13) - 4;
      break;
    }
    case constraint::in_set_iff: {
      c.x = {any(), -1, boolean()};
      for (int v = 0; v <= 5; v++) {
        if (r.below(2)) continue;
        if (!c.set.empty() && c.set.back().second == v - 1)
          c.set.back().second = v;
        else
          c.set.push_back({v, v});
      }
      break;
    }
    case constraint::abs: c.x = {any(), any()}; break;
    case constraint::oneof: c.x = {any(), any(), any()}; break;
    case constraint::boolean:
      c.x = {boolean(), boolean(), boolean()};
      c.op = r.below(8);
      break;
    default: c.x = {any(), any(), boolean()}; break;
    }
    p.constraints.push_back(c);
  }
  if (r.below(3) == 0) {
    int a = any(), b = any();
    if ((a < p.booleans) == (b < p.booleans) && a != b) p.same.push_back({a, b});
  }
  return p;
}

class FdSolver : public FdKernelTest {};

/* A state term written with the attributes as <name/arity>, the rest as the tests write terms. */
std::string describe(TAGGED t, int depth = 0)
{
  t = deref(t);
  if (depth > 4) return "...";
  if (IsStr(t) && !IsFloatHeader(StrFunctor(t)) && !IsBignumHeader(StrFunctor(t))) {
    TAGGED f = StrFunctor(t);
    std::string name = atom_name(f);
    if (name != "t" && name != "probe" && name != "$mutable")
      return "<" + name + "/" + std::to_string(Arity(f)) + ">";
    for (uint32_t i = 1; i <= Arity(f); i++)
      name += (i > 1 ? "," : "(") + describe(StrArg(t, i), depth + 1);
    return name + ")";
  }
  if (IsLst(t)) {
    std::string s = "[";
    for (; IsLst(t); t = deref(LstTail(t)))
      s += (s.size() > 1 ? "," : "") + describe(LstHead(t), depth + 1);
    return s + (t == atom_nil ? "]" : "|" + describe(t, depth + 1) + "]");
  }
  return TestProlog::show(t);
}

std::string probed; /* the state term of the probe's last run */

/* A test global that records its state term first. */
void probe_entry(ORVALIS_API_STRUCT *api, QX_term_ref state0, QX_term_ref state,
                 QX_term_ref actions)
{
  probed = describe(fd_worker(api)->term[0]);
  fd_kernel_env::test_global_entry(api, state0, state, actions);
}

/* The driver's posting: term lists (with and without the dead-residual mutable), FD sets with
 * inf and sup, parameters beyond 32 bits, each argument in place in the state term. */
TEST_F(FdSolver, PostingBuildsTheStateTerms)
{
  for (uint32_t arity : {3u, 4u}) {
    add_test_global("probe", arity);
    enter_global("probe", arity, probe_entry);
  }
  driver d(api);
  int x = d.new_var(0, 9), y = d.new_var(0, 9);
  const struct {
    std::vector<driver::arg> args;
    const char *expect;
  } cases[] = {
      {{driver::terms({{3, x}, {-2, y}}), driver::param(1), driver::param(int64_t(1) << 40),
        driver::param(-7)},
       "probe([t(3,_,<v/4>),t(-2,_,<v/4>)],1,1099511627776,-7,_,0)"},
      {{driver::terms({{5, y}}, true), driver::param(1), driver::param(4)},
       "probe([t(5,_,<v/4>,$mutable([],0))],1,4,_,0)"},
      {{driver::var(x), driver::fdset({{INT32_MIN, 2}, {4, 4}, {7, INT32_MAX}}), driver::var(y)},
       "probe(_,<v/4>,[[inf|2],[4|4],[7|sup]],_,<v/4>,_,0)"},
      {{driver::var(x), driver::fdset({}), driver::var(y)}, "probe(_,<v/4>,[],_,<v/4>,_,0)"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.expect);
    ASSERT_EQ(d.post("probe", c.args), 1) << exception() << d.error();
    EXPECT_EQ(probed, c.expect);
  }
}

/* 300 random problems (30 in the collector's stress mode): the search's solutions are the brute
 * force's, each checked against every constraint; reruns at every fixpoint prune nothing; the
 * heap byte check after every undo of the first problems. */
TEST_F(FdSolver, RandomProblemsAgreeWithBruteForce)
{
  int problems = qx_gc_stress ? 30 : 300;
  fd_driver::checker watch;
  int searched = 0;
  for (int k = 0; k < problems; k++) {
    fd_circuit::rng r{(uint64_t)k * 2654435761u + 17};
    problem p = random_problem(r);
    std::set<std::vector<int>> oracle = p.brute_force();
    SCOPED_TRACE("problem " + std::to_string(k));
    driver d(api);
    fd_driver::undo_scope undo(w);
    bool posted = true;
    for (const std::vector<int32_t> &dom : p.domains) ASSERT_GE(d.new_var_in(dom), 0);
    for (const constraint &c : p.constraints) {
      int ok = c.post(d);
      ASSERT_GE(ok, 0) << exception() << d.error();
      if (!(posted = ok == 1)) break;
    }
    for (auto [a, b] : p.same)
      if (posted) posted = d.unify(a, b) == 1;
    if (!posted) {
      EXPECT_TRUE(oracle.empty());
      continue;
    }
    searched++;
    watch.d = &d;
    watch.pruning = 0;
    watch.heap = k < 100 && !qx_gc_stress;
    driver::options o;
    o.watch = &watch;
    std::set<std::vector<int>> found;
    auto record = [&](driver &dd) {
      std::vector<int> v;
      for (int x = 0; x < dd.var_count(); x++) v.push_back(dd.bound(x) ? dd.value(x) : -1);
      for (const constraint &c : p.constraints) EXPECT_TRUE(c.holds(v)) << c.kind;
      found.insert(v);
      return true;
    };
    fd_driver::counts n;
    ASSERT_EQ(d.search({}, o, record, &n), 1) << exception() << d.error();
    EXPECT_EQ(found, oracle);
    EXPECT_EQ(n.solutions, oracle.size());
    EXPECT_EQ(watch.pruning, 0);
    EXPECT_EQ(watch.differing, 0);
  }
  EXPECT_GT(searched, problems / 4);
  if (!qx_gc_stress) {
    EXPECT_GT(watch.compared, 0);
  }
}

/* call_action('t=<u+c'(X, Y, K)) posts X - Y at most K into the running level: the driver's
 * loop runs it, later bindings wake it; a fixed side moves into K, both fixed is a test. */
TEST_F(FdSolver, ActionLeqcPostsALinearConstraint)
{
  driver d(api);
  int x = d.new_var(0, 9), y = d.new_var(0, 5), z = d.new_var(4, 4);
  definition *call_action = QX_predicate("call_action", 1, "clpfd");
  /* call(clpfd:'t=<u+c'(A, B, K)) */
  auto act = [&](TAGGED a, TAGGED b, int k) {
    QX_term_ref r = QX_new_term_refs(7);
    fd_ref_put(api, r, a);
    fd_ref_put(api, r + 1, b);
    fd_ref_put(api, r + 2, MakeSmall(k));
    QX_cons_functor(r + 3, QX_atom_from_string("t=<u+c"), 3, r, r + 1, r + 2);
    QX_put_atom(r + 4, QX_atom_from_string("clpfd"));
    QX_cons_functor(r + 5, QX_atom_from_string(":"), 2, r + 4, r + 3);
    QX_cons_functor(r + 6, QX_atom_from_string("call"), 1, r + 5);
    int ok = QX_query(call_action, r + 6);
    if (ok == 1) ok = d.propagate();
    QX_reset_term_refs(r);
    return ok;
  };
  ASSERT_EQ(act(d.term(x), d.term(y), 2), 1) << exception() << d.error();
  EXPECT_EQ(d.domain(x), (std::vector<int32_t>{0, 1, 2, 3, 4, 5, 6, 7}));
  node *mark = qx_push_node(w, qx_alt(QX_ALT_FAILCODE, 0));
  ASSERT_EQ(d.bind(y, 1, fd_driver::binding::fd_unify), 1);
  EXPECT_EQ(d.domain(x), (std::vector<int32_t>{0, 1, 2, 3}));
  qx_restore_node(w, mark);
  qx_pop_node(w);
  ASSERT_EQ(act(d.term(z), d.term(y), -1), 1) << exception(); /* 4 - Y at most -1 */
  EXPECT_EQ(d.domain(y), (std::vector<int32_t>{5}));
  EXPECT_EQ(act(d.term(z), MakeSmall(1), 3), 1);
  EXPECT_EQ(act(d.term(z), MakeSmall(1), 2), 0);
  EXPECT_EQ(d.error(), "");
}

}  // namespace
