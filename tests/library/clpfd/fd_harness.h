/* The shared checker of the global constraints: a constraint is a row (below) and the fixture
 * FdHarness checks its properties against an oracle that enumerates the product of the current
 * domains:
 *   (a) no solution lost at the fixpoint; failure only without solutions; with every variable
 *       fixed, success only on a solution;
 *   (b) entailment only when every live tuple left (variables made one take one value) that
 *       satisfies the row's residual satisfies the relation;
 *   (c) the claimed level: domain (every value left has a support) or bounds (each variable's
 *       ends have supports within the hulls of the others), on finite domains;
 *   (d) random walks of choicepoint, prune, propagate and backtrack: after each backtrack the
 *       domains, the state term (written), the dead flag and the count of live blocks equal the
 *       snapshot at the choicepoint (blocks are counted by fd_entry_block/fd_entry_destroy);
 *   (e) at every step of a walk a fresh post on the same domains reaches the same domains and
 *       outcome;
 *   (f) every option variant finds the oracle's solution set by search;
 *   (g) every mutation of the state term fails or raises an error(_, _) term, never a crash.
 *
 * Adding a row: fill a `row` with a generator of instances (domains, the constraint's data),
 * the relation `sat` over a full tuple (one value per variable, in the order of the domains),
 * the posting (a driver::posting built from the instance and the driver's variables; the
 * instance's `variant` selects an option), the claimed level, the residual the entry may post
 * (null: none), the variants and the mutations; then call check_row(row) in a TEST_F of a
 * fixture derived from FdHarness, and run(...) for edge cases given as table rows. Each
 * instance's seed is in the failure trace; seed(row, k) repeats one.
 */
#ifndef QX_FD_HARNESS_H
#define QX_FD_HARNESS_H

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "driver/fd_circuit.h"
#include "driver/fd_driver.h"
#include "fd_globals.h"
#include "fd_kernel_env.h"
#include "fd_oracle.h"
#include "fd_propagate.h"
#include "gc.h"

namespace fd_harness {

using fd_driver::driver;
using fd_oracle::domain;
using tuple = std::vector<int64_t>;
using rng = fd_circuit::rng;

enum class level { none, bounds, domain };

struct instance {
  std::vector<domain> doms;    /* one per variable, in the order of `sat`'s tuples */
  std::vector<int64_t> data{}; /* the constraint's own parameters */
  int variant = 0;             /* the option variant being posted */
};

struct row {
  std::string name;
  std::function<instance(rng &)> generate;
  std::function<bool(const instance &, const tuple &)> sat;
  std::function<driver::posting(const instance &, const std::vector<int> &vars)> posting;
  level claimed = level::none;
  /* What the entry may post besides itself, as a relation (null: nothing). */
  std::function<bool(const instance &, const tuple &)> residual{};
  /* The fixpoint of the entry's own rule from the domains before (null: none), computed
   * independently: false when the rule fails. Checked at every fixpoint. */
  std::function<bool(const instance &, std::vector<domain> &doms)> rule{};
  bool rule_exact = true; /* false: the entry may prune more than the rule (never less) */
  /* Called at each fixpoint a walk reaches by propagation (null: nothing). */
  std::function<void(driver &, const std::vector<int> &vars)> at_fixpoint{};
  std::vector<int> variants{0};
  std::vector<std::pair<std::string, std::function<void(driver::posting &)>>> mutations{};
  int instances = 150; /* a tenth under the collector's stress mode */
  int walks = 3, steps = 30;
  int64_t window = 6; /* an infinite end is enumerated up to this value */
  bool fresh = true;  /* (e) applies */
  bool search = true; /* (f) by search (finite domains only) */
};

/* A random domain within lo..hi with holes (never empty). */
inline domain random_domain(rng &r, int64_t lo, int64_t hi, int hole_percent = 30)
{
  fd_oracle::values v;
  for (int64_t x = lo; x <= hi; x++)
    if (r.below(100) >= hole_percent) v.push_back(x);
  if (v.empty()) v.push_back(lo + r.below((int)(hi - lo + 1)));
  return domain::of(v);
}

/* d less the value v; the values of both a and b. */
inline domain without(const domain &d, int64_t v)
{
  domain out;
  for (auto [l, h] : d.iv) {
    if (v < l || v > h) out.iv.push_back({l, h});
    if (l <= v && v <= h && l < v) out.iv.push_back({l, v - 1});
    if (l <= v && v <= h && v < h) out.iv.push_back({v + 1, h});
  }
  return out;
}
inline domain meet(const domain &a, const domain &b)
{
  domain out;
  for (auto [l, h] : b.iv)
    for (auto iv : a.within(l, h).iv) out.iv.push_back(iv);
  return out;
}

/* Mutations: argument k of the state set to t; element i of the list or structure in
 * argument k set to t. */
inline std::function<void(driver::posting &)> set_arg(int k, driver::tmpl t)
{
  return [k, t](driver::posting &p) { p.state[k] = t; };
}
inline std::function<void(driver::posting &)> set_sub(int k, int i, driver::tmpl t)
{
  return [k, i, t](driver::posting &p) { p.state[k].args[i] = t; };
}

/* What a post or a step left. */
struct result {
  int outcome = 0; /* 1 propagated, 0 failed, -1 exception */
  bool entailed = false;
  std::vector<domain> doms;
};

/* The state term written with mutables by their value and attributes as "v" (a cycle leads
 * through them); depth-bounded. */
inline std::string written(TAGGED t, int depth = 0)
{
  t = deref(t);
  if (depth > 64) return "...";
  if (IsVar(t)) return "_";
  if (IsSmall(t)) return std::to_string(GetSmall(t));
  if (IsAtom(t)) return atom_name(t);
  if (IsLst(t))
    return "[" + written(LstHead(t), depth + 1) + "|" + written(LstTail(t), depth + 1) + "]";
  if (!IsStr(t) || IsBox(t)) return "<box>";
  TAGGED f = StrFunctor(t);
  if (f == functor_v4) return "v";
  if (f == functor_mutable2) return "$mutable(" + written(fd_mutable_value(t), depth + 1) + ")";
  std::string s = std::string(atom_name(f)) + "(";
  for (uint32_t i = 1; i <= Arity(f); i++)
    s += (i > 1 ? "," : "") + written(StrArg(t, i), depth + 1);
  return s + ")";
}

/* No two of the first n values of t are equal. */
inline bool pairwise_distinct(const tuple &t, size_t n = SIZE_MAX)
{
  n = std::min(n, t.size());
  for (size_t i = 0; i < n; i++)
    for (size_t j = i + 1; j < n; j++)
      if (t[i] == t[j]) return false;
  return true;
}

inline bool all_fixed(const std::vector<domain> &d)
{
  for (const domain &x : d)
    if (x.empty() || !x.fixed()) return false;
  return true;
}
/* The indices of the domains not yet fixed, among the first count: the variables a random
 * walk may narrow next. */
inline std::vector<int> open_indices(const std::vector<domain> &d, size_t count = SIZE_MAX)
{
  std::vector<int> open;
  for (size_t i = 0; i < d.size() && i < count; i++)
    if (!d[i].fixed()) open.push_back((int)i);
  return open;
}
inline bool all_finite(const std::vector<domain> &d)
{
  for (const domain &x : d)
    if (!x.finite()) return false;
  return true;
}

/* The number of tuples of the clipped product, capped. */
inline uint64_t product(const std::vector<std::vector<int64_t>> &vals)
{
  uint64_t n = 1;
  for (const auto &v : vals) n = std::min<uint64_t>(n * v.size(), 1u << 30);
  return n;
}

constexpr uint64_t ORACLE_LIMIT = 1000000;

class FdHarness : public FdKernelTest {
protected:
  static int scaled(int n) { return qx_gc_stress ? std::max(1, n / 10) : n; }

  /* The values of a domain, an infinite end cut at -window or window; a half-open interval
   * whose finite end lies beyond the cut keeps that end, so no domain gives no value. */
  static std::vector<int64_t> values(const domain &x, int64_t window)
  {
    std::vector<int64_t> v;
    for (auto [l, h] : x.iv) {
      int64_t lo = l == fd_oracle::INF ? std::min(-window, h) : l;
      int64_t hi = h == fd_oracle::SUP ? std::max(window, lo) : h;
      for (int64_t k = lo; k <= hi; k++) v.push_back(k);
    }
    return v;
  }
  std::vector<std::vector<int64_t>> values_of(const std::vector<domain> &d, int64_t window)
  {
    std::vector<std::vector<int64_t>> v;
    for (const domain &x : d) v.push_back(values(x, window));
    return v;
  }

  /* The variables' domains as the store holds them. */
  std::vector<domain> domains(driver &d, const std::vector<int> &vars)
  {
    std::vector<domain> out;
    for (int x : vars) {
      domain dom;
      for (auto [l, h] : d.ranges(x))
        dom.iv.push_back(
            {l == INT64_MIN ? fd_oracle::INF : l, h == INT64_MAX ? fd_oracle::SUP : h});
      out.push_back(dom);
    }
    return out;
  }

  /* Variables made one take one value. */
  bool live(driver &d, const std::vector<int> &vars, const tuple &t)
  {
    for (size_t i = 0; i < vars.size(); i++)
      for (size_t j = i + 1; j < vars.size(); j++)
        if (IsVar(d.term(vars[i])) && d.term(vars[i]) == d.term(vars[j]) && t[i] != t[j])
          return false;
    return true;
  }

  std::vector<int> make_vars(driver &d, const std::vector<domain> &doms)
  {
    std::vector<int> vars;
    for (const domain &x : doms) {
      std::vector<std::pair<int32_t, int32_t>> r;
      for (auto [l, h] : x.iv)
        r.push_back({l == fd_oracle::INF ? INT32_MIN : (int32_t)l,
                     h == fd_oracle::SUP ? INT32_MAX : (int32_t)h});
      vars.push_back(d.new_var_ranges(r));
    }
    return vars;
  }

  result read(driver &d, const std::vector<int> &vars, int outcome)
  {
    result r;
    r.outcome = outcome;
    if (outcome != 1) return r;
    TAGGED g = d.last_global();
    r.entailed = IsStr(g) && fd_dead(g);
    r.doms = domains(d, vars);
    return r;
  }

  /* Posts the row's constraint on the variables and propagates. */
  result post(driver &d, const row &rw, const instance &in, const std::vector<int> &vars)
  {
    int r = d.post_state(rw.posting(in, vars));
    EXPECT_GE(r, 0) << exception();
    return read(d, vars, r);
  }

  /* An edge case: fresh variables with the instance's domains, the post. */
  result run(const row &rw, const instance &in)
  {
    driver d(api);
    fd_undo_scope undo(w, QX_ALT_FAILCODE);
    return post(d, rw, in, make_vars(d, in.doms));
  }

  /* (a), (b), (c) of the fixpoint r reached from the domains before. */
  void check_fixpoint(driver &d, const row &rw, const instance &in, const std::vector<int> &vars,
                      const std::vector<domain> &before, const result &r)
  {
    std::string from = "from";
    for (const domain &x : before) from += " " + x.text();
    SCOPED_TRACE(from);
    auto vals = values_of(before, rw.window);
    if (product(vals) > ORACLE_LIMIT) return;
    size_t found = 0;
    bool lost = false;
    fd_oracle::each_assignment(vals, [&](const tuple &t) {
      if (!rw.sat(in, t)) return;
      if (found++ && lost) return; /* one lost solution tells enough */
      if (r.outcome != 1) return;
      for (size_t i = 0; i < t.size() && !lost; i++)
        if (!r.doms[i].contains(t[i])) {
          lost = true;
          ADD_FAILURE() << "lost a solution: variable " << i << " value " << t[i];
        }
      if (!lost && !live(d, vars, t)) {
        lost = true;
        ADD_FAILURE() << "made one variables that a solution tells apart";
      }
    });
    if (r.outcome != 1) {
      EXPECT_EQ(found, 0u) << "failed with a solution";
      if (rw.rule && rw.rule_exact) {
        std::vector<domain> expected = before;
        EXPECT_FALSE(rw.rule(in, expected)) << "failed where the rule holds";
      }
      return;
    }
    if (all_fixed(r.doms)) {
      tuple t;
      for (const domain &x : r.doms) t.push_back(x.min());
      EXPECT_TRUE(rw.sat(in, t)) << "every variable fixed to a non-solution, no failure";
    }
    auto after = values_of(r.doms, rw.window);
    if (r.entailed)
      fd_oracle::each_assignment(after, [&](const tuple &t) {
        if (live(d, vars, t) && (!rw.residual || rw.residual(in, t))) {
          EXPECT_TRUE(rw.sat(in, t)) << "entailed, yet a tuple left violates it";
        }
      });
    if (rw.rule) {
      std::vector<domain> expected = before;
      bool ok = rw.rule(in, expected);
      EXPECT_TRUE(ok || !rw.rule_exact) << "the rule's fixpoint differs in outcome";
      for (size_t i = 0; ok && i < expected.size(); i++)
        if (rw.rule_exact)
          EXPECT_EQ(r.doms[i].text(), expected[i].text())
              << "the rule's fixpoint differs: variable " << i;
        else
          EXPECT_EQ(fd_harness::meet(r.doms[i], expected[i]).text(), r.doms[i].text())
              << "pruned less than the rule: variable " << i;
    }
    if (rw.claimed != level::none && all_finite(r.doms)) check_level(d, rw, in, vars, r.doms);
  }

  /* (c): domain, every value left has a support; bounds, the ends have supports within the
   * hulls of the other variables. */
  void check_level(driver &d, const row &rw, const instance &in, const std::vector<int> &vars,
                   const std::vector<domain> &doms)
  {
    bool bounds = rw.claimed == level::bounds;
    std::vector<std::vector<int64_t>> vals;
    for (const domain &x : doms)
      vals.push_back(values(bounds ? fd_oracle::range(x.min(), x.max()) : x, 0));
    if (product(vals) > ORACLE_LIMIT) return;
    std::vector<std::set<int64_t>> support(doms.size());
    fd_oracle::each_assignment(vals, [&](const tuple &t) {
      if (!rw.sat(in, t) || !live(d, vars, t)) return;
      for (size_t i = 0; i < t.size(); i++)
        if (doms[i].contains(t[i])) support[i].insert(t[i]);
    });
    for (size_t i = 0; i < doms.size(); i++) {
      if (bounds) {
        bool ok = !support[i].empty() && *support[i].begin() == doms[i].min() &&
                  *support[i].rbegin() == doms[i].max();
        EXPECT_TRUE(ok) << "not bounds consistent: variable " << i << " " << doms[i].text();
      } else {
        fd_oracle::values v(support[i].begin(), support[i].end());
        EXPECT_EQ(domain::of(v).text(), doms[i].text()) << "not domain consistent: variable " << i;
      }
    }
  }

  /* (e): a fresh post on the domains before reaches r. */
  void check_fresh(driver &d, const row &rw, const instance &in, const std::vector<domain> &before,
                   const result &r)
  {
    int count = d.var_count();
    QX_term_ref posts = QX_new_term_refs(2);
    fd_ref_put(api, posts, d.posts().first);
    fd_ref_put(api, posts + 1, d.posts().second);
    {
      fd_undo_scope undo(w, QX_ALT_FAILCODE);
      std::vector<int> vars = make_vars(d, before);
      result f = post(d, rw, in, vars);
      std::string from = "fresh from";
      for (const domain &x : before) from += " " + x.text();
      SCOPED_TRACE(from);
      EXPECT_EQ(f.outcome, r.outcome) << "a fresh post differs in outcome";
      if (f.outcome == 1 && r.outcome == 1) {
        for (size_t i = 0; i < before.size(); i++)
          EXPECT_EQ(f.doms[i].text(), r.doms[i].text()) << "a fresh post differs: variable " << i;
      }
    }
    d.set_posts({fd_ref_get(api, posts), fd_ref_get(api, posts + 1)});
    d.truncate(count);
  }

  struct snapshot {
    node *n;
    QX_term_ref posts; /* the driver's posted globals and newest global at the push */
    std::vector<domain> doms;
    std::string state;
    bool dead;
    uint64_t blocks;
  };
  snapshot take(driver &d, const std::vector<int> &vars, node *n)
  {
    TAGGED g = d.last_global();
    QX_term_ref posts = QX_new_term_refs(2);
    fd_ref_put(api, posts, d.posts().first);
    fd_ref_put(api, posts + 1, d.posts().second);
    return {n,
            posts,
            domains(d, vars),
            written(fd_mutable_value(StrArg(g, FD_GLOBAL_STATE))),
            fd_dead(g),
            fd_entry_blocks_made - fd_entry_blocks_destroyed};
  }
  void backtrack(driver &d, const std::vector<int> &vars, std::vector<snapshot> *stack)
  {
    snapshot s = stack->back();
    stack->pop_back();
    qx_restore_node(w, s.n);
    qx_pop_node(w);
    d.set_posts({fd_ref_get(api, s.posts), fd_ref_get(api, s.posts + 1)});
    snapshot now = take(d, vars, nullptr);
    for (size_t i = 0; i < vars.size(); i++)
      EXPECT_EQ(now.doms[i].text(), s.doms[i].text()) << "domain not restored: variable " << i;
    EXPECT_EQ(now.state, s.state) << "state term not restored";
    EXPECT_EQ(now.dead, s.dead);
    EXPECT_EQ(now.blocks, s.blocks) << "destructors run not once per creation undone";
  }

  /* (d), (e) and (a)-(c) at every step: a random walk from the post. */
  void walk(const row &rw, const instance &in, rng &g)
  {
    driver d(api);
    uint64_t blocks = fd_entry_blocks_made - fd_entry_blocks_destroyed;
    {
      fd_undo_scope undo(w, QX_ALT_FAILCODE);
      std::vector<int> vars = make_vars(d, in.doms);
      result r = post(d, rw, in, vars);
      check_fixpoint(d, rw, in, vars, in.doms, r);
      if (rw.fresh) check_fresh(d, rw, in, in.doms, r);
      std::vector<snapshot> stack;
      for (int step = 0; step < rw.steps && r.outcome == 1; step++) {
        std::vector<int> open;
        for (size_t i = 0; i < vars.size(); i++)
          if (!r.doms[i].fixed()) open.push_back((int)i);
        if (open.empty() || (!stack.empty() && g.below(3) == 0)) {
          if (stack.empty()) break;
          backtrack(d, vars, &stack);
          r = read(d, vars, 1);
          continue;
        }
        stack.push_back(take(d, vars, qx_push_node(w, qx_alt(QX_ALT_FAILCODE, 0))));
        int i = open[g.below((int)open.size())];
        std::vector<domain> before = r.doms;
        std::vector<int64_t> v = values(before[i], rw.window);
        int64_t a = v[g.below((int)v.size())], b = v[g.below((int)v.size())];
        if (a > b) std::swap(a, b);
        int op = g.below(3), ok;
        if (op == 0) { /* X = a */
          before[i] = fd_oracle::range(a, a);
          ok = d.bind(vars[i], (int32_t)a, fd_driver::binding::in_interval);
        } else if (op == 1) { /* X in a..b */
          before[i] = before[i].within(a, b);
          ok = d.call(d.n.in_interval, {d.term(vars[i]), MakeSmall((int32_t)a),
                                        MakeSmall((int32_t)b), MakeSmall(1)});
          if (ok == 1) ok = d.propagate();
        } else { /* X =\= a */
          before[i] = without(before[i], a);
          ok = d.exclude(vars[i], (int32_t)a);
        }
        EXPECT_GE(ok, 0) << exception();
        r = read(d, vars, ok);
        check_fixpoint(d, rw, in, vars, before, r);
        if (rw.at_fixpoint && r.outcome == 1) rw.at_fixpoint(d, vars);
        if (rw.fresh) check_fresh(d, rw, in, before, r);
        if (r.outcome != 1) {
          backtrack(d, vars, &stack);
          r = read(d, vars, 1);
        }
      }
      while (!stack.empty()) backtrack(d, vars, &stack);
    }
    EXPECT_EQ(fd_entry_blocks_made - fd_entry_blocks_destroyed, blocks)
        << "blocks left after the walk was undone";
  }

  /* (f): every variant's search finds the oracle's solutions. */
  /* The checks of one edge case: walks from the seed, then every variant's search. */
  void walk_and_variants(const row &rw, const instance &in, uint64_t seed)
  {
    rng g{seed};
    walk(rw, in, g);
    check_variants(rw, in);
  }

  void check_variants(const row &rw, instance in)
  {
    auto vals = values_of(in.doms, rw.window);
    if (!rw.search || !all_finite(in.doms) || product(vals) > ORACLE_LIMIT / 10) return;
    std::set<tuple> oracle;
    fd_oracle::each_assignment(vals, [&](const tuple &t) {
      if (rw.sat(in, t)) oracle.insert(t);
    });
    for (int v : rw.variants) {
      SCOPED_TRACE("variant " + std::to_string(v));
      in.variant = v;
      driver d(api);
      fd_undo_scope undo(w, QX_ALT_FAILCODE);
      std::vector<int> vars = make_vars(d, in.doms);
      std::set<tuple> found;
      if (post(d, rw, in, vars).outcome == 1) {
        fd_driver::counts c;
        auto record = [&](driver &dd) {
          tuple t;
          for (int x : vars) t.push_back(dd.value(x));
          found.insert(t);
          return true;
        };
        EXPECT_EQ(d.search(vars, {}, record, &c), 1) << exception();
      }
      EXPECT_TRUE(found == oracle)
          << "found " << found.size() << " solutions, the oracle " << oracle.size();
    }
  }

  /* (g): each mutated state fails or raises an error term. */
  void check_mutations(const row &rw, const instance &in)
  {
    for (const auto &[what, mutate] : rw.mutations) {
      SCOPED_TRACE("mutation " + what);
      driver d(api);
      fd_undo_scope undo(w, QX_ALT_FAILCODE);
      std::vector<int> vars = make_vars(d, in.doms);
      driver::posting p = rw.posting(in, vars);
      mutate(p);
      int r = d.post_state(p);
      EXPECT_NE(r, 1) << "a mutated state was taken";
      if (r < 0) {
        std::string e = exception();
        EXPECT_EQ(e.rfind("error(", 0), 0u) << e;
      }
    }
  }

public:
  /* The instance k of a row, from its own seed. */
  static instance seed(const row &rw, int k, rng *g)
  {
    *g = rng{std::hash<std::string>{}(rw.name) + (uint64_t)k * 7919};
    return rw.generate(*g);
  }

  /* Every property over the row's instances. */
  void check_row(const row &rw)
  {
    for (int k = 0; k < scaled(rw.instances); k++) {
      rng g{0};
      instance in = seed(rw, k, &g);
      SCOPED_TRACE(rw.name + " instance " + std::to_string(k));
      for (int n = 0; n < rw.walks; n++) walk(rw, in, g);
      if (k % 4 == 0) check_variants(rw, in);
      if (k % 16 == 0) check_mutations(rw, in);
      if (HasFailure()) return; /* one instance's report is enough */
    }
  }
};

}  // namespace fd_harness

#endif
