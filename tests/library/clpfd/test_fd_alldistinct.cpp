/* all_distinct/1 and its value graph: the shared harness's properties over random instances of
 * every density; then what is the value graph's own, against independent oracles: a
 * backtracking enumeration of the distinct assignments along walks that reach unbounded
 * variables too (domain consistency, no pruning left to a rerun, a valid matching, the densities
 * and their changes, the dead vertices kept in place), a reference Tarjan search on the explicit
 * graph, a chain of 10^5 values, the daemon's skip rule, the constraint's edge cases and the N-queens
 * counts.
 */
#include <functional>
#include <memory>

#include "fd_harness.h"
#include "fd_value_graph.h"
#include "models/fd_models.h"

namespace {

using fd_harness::driver;
using fd_harness::instance;
using fd_harness::level;
using fd_harness::row;
using fd_harness::set_arg;
using fd_harness::set_sub;
using fd_harness::tuple;
using fd_oracle::domain;
using fd_oracle::INF;
using fd_oracle::SUP;

const char *const wake_keys[] = {"dom", "minmax", "val", "none"};

/* all_distinct(Xs) with state s(Entries, NDeadVars, NDeadVals, Flags, WakeKey, Handle, Stamp). */
driver::posting all_distinct_posting(const std::vector<int> &vars, int flags, const char *key)
{
  return {"all_distinct",
          {driver::t_vars(vars)},
          {driver::t_entries(vars), driver::t_int(0), driver::t_int(0), driver::t_int(flags),
           driver::t_atom(key)}};
}

/* A random domain of variable i of n: kind 0 a subset of 1..n holding i+1 (the values make up
 * 1..n: density 2), kind 1 a subset of n values spread over 1..3n holding the i-th (density 1),
 * kind 2 within 1..8 with holes, one in six inf..sup less a few values of 1..8 (density 0). */
domain random_domain(fd_harness::rng &g, int kind, int i, int n)
{
  fd_oracle::values v;
  if (kind == 2 && g.below(6) == 0) {
    domain d = fd_oracle::range(INF, SUP);
    for (int k = g.below(3); k > 0; k--) {
      int64_t x = 1 + g.below(8);
      domain below = d.within(INF, x - 1), above = d.within(x + 1, SUP);
      below.iv.insert(below.iv.end(), above.iv.begin(), above.iv.end());
      d = below;
    }
    return d;
  }
  if (kind == 2) return fd_harness::random_domain(g, 1 + g.below(4), 4 + g.below(5));
  for (int k = 0; k < n; k++)
    if (k == i || g.below(2)) v.push_back(kind == 0 ? k + 1 : 3 * k + 1);
  return domain::of(v);
}

instance generate(fd_harness::rng &g)
{
  instance in;
  int n = 2 + g.below(6), kind = g.below(3);
  for (int i = 0; i < n; i++) in.doms.push_back(random_domain(g, kind, i, n));
  return in;
}


/* The state's mutations: each fails or raises an error, never posts. */
std::vector<std::pair<std::string, std::function<void(driver::posting &)>>> mutations()
{
  using t = driver;
  auto entries = [](driver::posting &p) -> std::vector<driver::tmpl> & { return p.state[0].args; };
  return {
      {"NDeadVars -1", set_arg(1, t::t_int(-1))},
      {"NDeadVars n + 1",
       [](driver::posting &p) { p.state[1] = t::t_int((int64_t)p.state[0].args.size() + 1); }},
      {"NDeadVars 1 at the first call", set_arg(1, t::t_int(1))},
      {"NDeadVals -1", set_arg(2, t::t_int(-1))},
      {"NDeadVars an atom", set_arg(1, t::t_atom("a"))},
      {"Flags an atom", set_arg(3, t::t_atom("a"))},
      {"Flags 4", set_arg(3, t::t_int(4))},
      {"wake key an integer", set_arg(4, t::t_int(7))},
      {"wake key a structure",
       set_arg(4, t::t_struct("f", {t::t_atom("x")}))},
      {"an entry not a pair", [=](driver::posting &p) { entries(p)[0] = t::t_atom("foo"); }},
      {"an entry of three arguments",
       [=](driver::posting &p) {
         int x = (int)entries(p)[0].v;
         entries(p)[0] = t::t_struct("-", {t::t_var(x), t::t_attr(x), t::t_int(1)});
       }},
      {"an entry whose attribute is none",
       [=](driver::posting &p) {
         entries(p)[0] = t::t_struct("-", {t::t_var((int)entries(p)[0].v), t::t_atom("foo")});
       }},
      {"an improper list",
       [](driver::posting &p) { p.state[0] = t::t_improper(p.state[0].args, t::t_atom("foo")); }},
      {"a partial list",
       [](driver::posting &p) {
         p.state[0] = t::t_improper(p.state[0].args, {driver::tmpl::unbound});
       }},
      {"no list", set_arg(0, t::t_int(3))},
      {"an argument less", [](driver::posting &p) { p.state.pop_back(); }},
  };
}

row all_distinct_row()
{
  row r;
  r.name = "all_distinct";
  r.generate = generate;
  r.sat = [](const instance &, const tuple &t) { return fd_harness::pairwise_distinct(t); };
  r.posting = [](const instance &in, const std::vector<int> &vars) {
    return all_distinct_posting(vars, 0, wake_keys[in.variant]);
  };
  r.claimed = level::domain;
  r.variants = {0, 1, 2}; /* the wake keys dom, minmax, val */
  r.mutations = mutations();
  r.instances = 120;
  return r;
}

}  // namespace

class FdAllDistinct : public fd_harness::FdHarness {
protected:
  ~FdAllDistinct() override { fd_value_graph_shortcuts = 1; }

  std::vector<int> vars_in(driver &d, const std::vector<domain> &doms)
  {
    std::vector<int> vars = make_vars(d, doms);
    for (int x : vars) EXPECT_GE(x, 0);
    return vars;
  }
  static TAGGED state(driver &d) { return fd_mutable_value(StrArg(d.last_global(), FD_GLOBAL_STATE)); }
  /* The block of the newest post (Handle argument h), null once it is gone. */
  static all_dist_data *block(driver &d, int h_arg = 6)
  {
    TAGGED h = deref(StrArg(state(d), h_arg));
    return IsLst(h) && IsVar(deref(LstHead(h))) ? (all_dist_data *)fd_perm_data(h) : nullptr;
  }
  /* X in lo..hi, then propagation. */
  static int narrow(driver &d, int x, int32_t lo, int32_t hi)
  {
    int ok = d.call(d.n.in_interval, {d.term(x), MakeSmall(lo), MakeSmall(hi), MakeSmall(1)});
    return ok == 1 ? d.propagate() : ok;
  }
};

TEST_F(FdAllDistinct, HarnessProperties) { check_row(all_distinct_row()); }

namespace {

/* Values of an infinite domain the walks' oracle tries: no finite domain reaches beyond 1..19
 * and the walks prune infinite domains only within 1..8, so the nine values of the window
 * outside 1..19 are as good as any other value outside it. */
constexpr int64_t WLO = -4, WHI = 23;

/* Domain consistency by enumeration of the distinct assignments (infinite ends cut to the
 * window): the domains it leaves, and whether there is a solution. */
std::vector<domain> expected_domains(const std::vector<domain> &doms, bool *solvable)
{
  size_t n = doms.size();
  std::vector<fd_oracle::values> vals(n), support(n);
  for (size_t i = 0; i < n; i++) vals[i] = doms[i].within(WLO, WHI).all(WHI);
  std::vector<int64_t> pick(n);
  std::vector<std::vector<bool>> seen(n);
  for (size_t i = 0; i < n; i++) seen[i].assign(vals[i].size(), false);
  std::vector<size_t> at(n);
  *solvable = false;
  std::function<void(size_t)> dfs = [&](size_t i) {
    if (i == n) {
      *solvable = true;
      for (size_t k = 0; k < n; k++) seen[k][at[k]] = true;
      return;
    }
    for (size_t j = 0; j < vals[i].size(); j++) {
      if (std::find(pick.begin(), pick.begin() + (long)i, vals[i][j]) != pick.begin() + (long)i)
        continue;
      pick[i] = vals[i][j], at[i] = j;
      dfs(i + 1);
    }
  };
  dfs(0);
  std::vector<domain> out;
  for (size_t i = 0; i < n; i++) {
    fd_oracle::values v;
    for (size_t j = 0; j < vals[i].size(); j++)
      if (seen[i][j]) v.push_back(vals[i][j]);
    domain d = doms[i].within(INF, WLO - 1), mid = domain::of(v), high = doms[i].within(WHI + 1, SUP);
    for (const domain *part : {&mid, &high})
      for (auto [l, h] : part->iv)
        if (!d.iv.empty() && d.iv.back().second + 1 == l)
          d.iv.back().second = h;
        else
          d.iv.push_back({l, h});
    out.push_back(d);
  }
  return out;
}

std::string text(const std::vector<domain> &ds)
{
  std::string s;
  for (const domain &d : ds) s += d.text() + " ";
  return s;
}

/* The matching is valid: symmetric, each live variable matched to a value of its domain (all of
 * them when the value vertices are fixed ones). */
void expect_valid_matching(all_dist_data *b, const std::vector<domain> &ds)
{
  for (int i = 0; i < b->nvartargets; i++) {
    int x = b->vartarget[i], y = b->vertex.mate[x];
    if (b->density > 0) {
      EXPECT_GE(y, b->nvars) << "variable " << x << " unmatched";
    }
    if (y < 0) continue;
    EXPECT_EQ(b->vertex.mate[y], x);
    EXPECT_TRUE(ds[x].contains(GetSmall(b->vertex.label[y])));
  }
}

}  // namespace

/* Walks of prune / choicepoint / backtrack, shortcuts on and off, unbounded variables included:
 * at every fixpoint the domains are the enumeration's, failure exactly without a solution, a
 * rerun prunes nothing (no wake-up the daemon skipped hid a pruning), the matching is valid;
 * after a backtrack the dead variables are where they were. Densities 0, 1, 2, promotions from 0
 * to 1 and calls that revive value vertices all occur. */
TEST_F(FdAllDistinct, DomainConsistentAlongWalks)
{
  fd_harness::rng g{1109};
  int instances = scaled(250);
  int density_runs[3] = {0, 0, 0}, promoted = 0, revived = 0, failures = 0, prunings = 0;
  for (int k = 0; k < instances; k++) {
    fd_value_graph_shortcuts = k % 2;
    fd_harness::instance in = generate(g);
    std::vector<domain> model = in.doms;
    SCOPED_TRACE("instance " + std::to_string(k) + ": " + text(model));
    driver d(api);
    fd_undo_scope outer(w, QX_ALT_FAILCODE);
    std::vector<int> vars = vars_in(d, model);
    bool solvable;
    std::vector<domain> want = expected_domains(model, &solvable);
    int ok = d.post_state(all_distinct_posting(vars, 0, "dom"));
    ASSERT_GE(ok, 0) << exception();
    EXPECT_EQ(ok == 1, solvable);
    if (ok != 1 || !solvable) {
      failures++;
      continue;
    }
    EXPECT_EQ(text(domains(d, vars)), text(want));
    model = want;
    struct saved {
      std::unique_ptr<fd_undo_scope> scope;
      std::vector<domain> model;
      std::vector<int> dead;
    };
    std::vector<saved> stack;
    long last_vals = -1;
    for (int step = 0; step < 12; step++) {
      all_dist_data *b = block(d);
      int op = g.below(5);
      if (op == 0 && b) { /* choicepoint */
        stack.push_back({std::make_unique<fd_undo_scope>(w, QX_ALT_FAILCODE), model,
                         {b->vartarget + b->nvartargets, b->vartarget + b->nvars}});
        continue;
      }
      if (op == 1 && !stack.empty()) { /* backtrack */
        stack.back().scope.reset();
        if ((b = block(d)) != nullptr) {
          std::vector<int> dead(b->vartarget + b->nvars - stack.back().dead.size(),
                                b->vartarget + b->nvars);
          EXPECT_EQ(dead, stack.back().dead) << "dead variables moved";
        }
        model = stack.back().model;
        stack.pop_back();
        continue;
      }
      std::vector<int> open; /* prune a value of 1..8 from an unfixed variable */
      for (size_t i = 0; i < vars.size(); i++)
        if (!model[i].fixed() && !model[i].within(1, 8).empty()) open.push_back((int)i);
      if (open.empty()) break;
      int i = open[g.below((int)open.size())];
      fd_oracle::values vals = model[i].within(1, 8).all(8);
      int64_t v = vals[g.below((int)vals.size())];
      std::vector<domain> next = model;
      domain below = next[i].within(INF, v - 1), above = next[i].within(v + 1, SUP);
      below.iv.insert(below.iv.end(), above.iv.begin(), above.iv.end());
      next[i] = below;
      want = expected_domains(next, &solvable);
      ok = d.exclude(vars[i], (int32_t)v);
      ASSERT_GE(ok, 0) << exception();
      EXPECT_EQ(ok == 1, solvable) << "pruned " << v << " from " << i;
      if (ok == 1 && !solvable) break;
      if (ok != 1) {
        failures++;
        if (stack.empty()) break;
        stack.back().scope.reset();
        model = stack.back().model;
        stack.pop_back();
        continue;
      }
      std::vector<domain> got = domains(d, vars);
      EXPECT_EQ(text(got), text(want)) << "pruned " << v << " from " << i;
      prunings += text(want) != text(next);
      model = want;
      if ((b = block(d)) != nullptr) {
        expect_valid_matching(b, got);
        density_runs[b->density]++;
        promoted += b->reset_density == 0 && b->density == 1;
        revived += !b->incremental && b->density > 0 && last_vals >= 0 && b->nvaltargets > last_vals;
        last_vals = b->nvaltargets;
      }
      EXPECT_EQ(d.rerun_globals(), 0) << "a rerun prunes";
    }
    while (!stack.empty()) stack.pop_back();
  }
  if (qx_gc_stress) return; /* a tenth of the instances: the kinds of runs need not all occur */
  EXPECT_GT(density_runs[0], 0);
  EXPECT_GT(density_runs[1], 0);
  EXPECT_GT(density_runs[2], 0);
  EXPECT_GT(promoted, 0);
  EXPECT_GT(revived, 0);
  EXPECT_GT(failures, instances / 50);
  EXPECT_GT(prunings, instances / 4);
}

namespace {

/* Tarjan's components of the graph over 0..n-1 (recursive: the reference is small). */
std::vector<int> reference_sccs(const std::vector<std::vector<int>> &adj)
{
  size_t n = adj.size();
  std::vector<int> index(n, -1), low(n), stack, comp(n, -1);
  std::vector<bool> on(n, false);
  int counter = 0, components = 0;
  std::function<void(int)> visit = [&](int u) {
    index[u] = low[u] = counter++;
    stack.push_back(u);
    on[u] = true;
    for (int v : adj[u]) {
      if (index[v] < 0) {
        visit(v);
        low[u] = std::min(low[u], low[v]);
      } else if (on[v]) {
        low[u] = std::min(low[u], index[v]);
      }
    }
    if (low[u] == index[u]) {
      int v;
      do {
        v = stack.back();
        stack.pop_back();
        on[v] = false;
        comp[v] = components;
      } while (v != u);
      components++;
    }
  };
  for (size_t u = 0; u < n; u++)
    if (index[u] < 0) visit((int)u);
  return comp;
}

}  // namespace

/* One call with no daemon (wake key none) over n variables on 1..n, with the shortcuts and with
 * the full search forced: two values share a component number exactly when the reference search
 * puts them in one component of the graph the block's matching orients, over the domains before
 * the call. */
TEST_F(FdAllDistinct, ComponentsMatchAReferenceSearch)
{
  fd_harness::rng g{7115};
  int compared = 0, split = 0, instances = scaled(400);
  for (int k = 0; k < instances; k++) {
    fd_value_graph_shortcuts = k % 2;
    int n = 3 + g.below(6);
    std::vector<domain> model;
    for (int i = 0; i < n; i++) model.push_back(random_domain(g, 0, i, n));
    driver d(api);
    fd_undo_scope undo(w, QX_ALT_FAILCODE);
    std::vector<int> vars = vars_in(d, model);
    if (d.post_state(all_distinct_posting(vars, 0, "none")) != 1) continue;
    all_dist_data *b = block(d);
    if (!b) continue;
    SCOPED_TRACE(text(model));
    std::vector<std::vector<int>> adj(n);
    for (int u = 0; u < n; u++) {
      int x = b->vertex.mate[n + u];
      ASSERT_GE(x, 0);
      for (int64_t v : model[x].all(n))
        if (v - 1 != u) adj[u].push_back((int)v - 1);
    }
    std::vector<int> comp = reference_sccs(adj);
    for (int u = 0; u < n; u++)
      for (int v = 0; v < n; v++)
        EXPECT_EQ(comp[u] == comp[v], b->vertex.component[n + u] == b->vertex.component[n + v])
            << "values " << u + 1 << ", " << v + 1;
    compared++;
    split += *std::max_element(comp.begin(), comp.end()) > 0;
  }
  EXPECT_GT(compared, instances / 4);
  EXPECT_GT(split, instances / 20);
}

/* A chain x_i in {i, i+1}, x_n = n over 10^5 values, posted without a daemon: every variable is
 * forced, the component search walking the whole chain without recursion, with the shortcuts
 * (the interval sweep) and without. The state is built here: the driver's templates look their
 * variables up by a linear search. */
TEST_F(FdAllDistinct, ChainOfAHundredThousandValues)
{
  int n = qx_gc_stress ? 300 : 100000;
  for (int shortcuts : {0, 1}) {
    fd_value_graph_shortcuts = shortcuts;
    driver d(api);
    std::vector<int> vars;
    for (int i = 1; i <= n; i++) vars.push_back(d.new_var(i, i < n ? i + 1 : n));
    QX_term_ref attrs = QX_new_term_refs(n + 1);
    for (int i = 0; i < n; i++) {
      qx_heap_room(w, 1);
      TAGGED *c = w->global_top++;
      *c = MakeRef(c);
      fd_ref_put(api, attrs + i, MakeRef(c));
      ASSERT_EQ(d.call(d.n.arg_attribute, {d.term(vars[i]), MakeSmall(0), MakeRef(c)}), 1);
    }
    qx_heap_room(w, 7 * (uint32_t)n + 13);
    TAGGED entry = MakeFunctor(init_atom_check("-", 0), 2), list = atom_nil, xs = atom_nil;
    for (int i = n; i-- > 0;) {
      TAGGED *p = w->global_top;
      w->global_top += 7;
      p[0] = entry, p[1] = d.term(vars[i]), p[2] = fd_ref_get(api, attrs + i);
      p[3] = MakeStr(p), p[4] = list, p[5] = d.term(vars[i]), p[6] = xs;
      list = MakeLst(p + 3);
      xs = MakeLst(p + 5);
    }
    TAGGED *s = w->global_top;
    w->global_top += 13;
    s[0] = MakeFunctor(init_atom_check("all_distinct", 0), 7);
    s[1] = list, s[2] = s[3] = s[4] = MakeSmall(0), s[5] = init_atom_check("none", 0);
    s[6] = MakeRef(s + 6), s[7] = MakeSmall(0);
    s[8] = MakeFunctor(init_atom_check("all_distinct", 0), 1), s[9] = xs;
    s[10] = MakeRef(s + 10), s[11] = s[12] = MakeSmall(0);
    ASSERT_EQ(d.call(d.n.begin, {}), 1);
    ASSERT_EQ(d.call(d.n.post_global, {MakeStr(s + 8), MakeStr(s), MakeSmall(0), MakeStr(s + 8),
                                       atom_nil, MakeRef(s + 10)}),
              1);
    ASSERT_EQ(d.propagate(), 1) << exception();
    int forced = 0;
    for (int i = 0; i < n; i++) forced += d.bound(vars[i]) && d.value(vars[i]) == i + 1;
    EXPECT_EQ(forced, n) << "shortcuts " << shortcuts;
  }
}

/* The constraint's edge cases: each row posts over the domains, then (when `then` is a variable)
 * narrows it to lo..hi; the domains, the dead count and entailment after each. */
TEST_F(FdAllDistinct, EdgeCases)
{
  auto I = fd_oracle::range;
  const struct {
    std::vector<domain> doms;
    const char *key;
    std::string after_post;
    int then;
    int32_t lo, hi;
    std::string after;
  } rows[] = {
      /* Z becomes 3 and dead; X fixed: Y follows and the constraint is entailed */
      {{I(1, 2), I(1, 2), I(1, 3)}, "dom", "[[1|2]] [[1|2]] [[3|3]] /1/0", 0, 1, 1,
       "[[1|1]] [[2|2]] [[3|3]] /3/1"},
      {{I(1, 2), I(1, 2), I(1, 2)}, "dom", "failed", -1, 0, 0, ""},
      /* values found by binary search (density 1) */
      {{domain::of({10, 20}), domain::of({10, 20}), domain::of({10, 20, 30})}, "dom",
       "[[10|10],[20|20]] [[10|10],[20|20]] [[30|30]] /1/0", -1, 0, 0, ""},
      /* an inf..sup variable stays outside the kernel and loses only the Hall set's values */
      {{I(1, 2), I(1, 2), I(INF, SUP)}, "dom", "[[1|2]] [[1|2]] [[inf|0],[3|sup]] /0/0", -1, 0, 0,
       ""},
      /* wake key none: no daemon, so a later pruning wakes nothing */
      {{I(1, 3), I(1, 3), I(1, 3)}, "none", "[[1|3]] [[1|3]] [[1|3]] /0/0", 0, 1, 1,
       "[[1|1]] [[1|3]] [[1|3]] /0/0"},
      {{I(1, 3), I(1, 3), I(1, 3)}, "dom", "[[1|3]] [[1|3]] [[1|3]] /0/0", 0, 1, 1,
       "[[1|1]] [[2|3]] [[2|3]] /1/0"},
      /* fixed at posting: no daemon, still propagated once */
      {{I(1, 1), I(2, 2)}, "dom", "[[1|1]] [[2|2]] /2/1", -1, 0, 0, ""},
      {{I(1, 1), I(1, 1)}, "dom", "failed", -1, 0, 0, ""},
      /* two open values, each open domain of two values one of which is a fixed variable's: not
       * one component (Y = 7 is fixed by the restriction and leaves the graph with its value) */
      {{I(6, 6), I(6, 7), I(7, 8)}, "dom", "[[6|6]] [[7|7]] [[8|8]] /3/1", -1, 0, 0, ""},
      {{}, "dom", "/0/1", -1, 0, 0, ""},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(text(row.doms) + row.key);
    driver d(api);
    fd_undo_scope undo(w, QX_ALT_FAILCODE);
    std::vector<int> vars = vars_in(d, row.doms);
    auto seen = [&](int ok) {
      if (ok != 1) return std::string("failed");
      return text(domains(d, vars)) + "/" + std::to_string(GetSmall(deref(StrArg(state(d), 2)))) +
             "/" + std::to_string(fd_dead(d.last_global()));
    };
    EXPECT_EQ(seen(d.post_state(all_distinct_posting(vars, 0, row.key))), row.after_post)
        << exception();
    if (row.then >= 0) {
      EXPECT_EQ(seen(narrow(d, vars[row.then], row.lo, row.hi)), row.after);
    }
  }
}

/* The daemon (Flags 0) leaves the constraint asleep while the changed variable keeps at least as
 * many values as there are live variables; with the circuit flag it always wakes it. A run
 * advances the block's stamp. */
TEST_F(FdAllDistinct, DaemonSkipsChangesThatCannotMatter)
{
  for (int flags : {0, 1}) {
    driver d(api);
    fd_undo_scope undo(w, QX_ALT_FAILCODE);
    std::vector<int> vars = vars_in(d, std::vector<domain>(3, fd_oracle::range(1, 5)));
    ASSERT_EQ(d.post_state(all_distinct_posting(vars, flags, "dom")), 1);
    long stamp = block(d)->stamp;
    ASSERT_EQ(narrow(d, vars[0], 1, 3), 1); /* 3 values, 3 live variables */
    EXPECT_EQ(block(d)->stamp != stamp, flags == 1);
    stamp = block(d)->stamp;
    ASSERT_EQ(narrow(d, vars[0], 1, 2), 1);
    EXPECT_NE(block(d)->stamp, stamp);
  }
}

/* A later call whose state's dead counts do not fit the block raises an error; one that keeps
 * its own counts (the block continues) neither errs nor is entailed. */
TEST_F(FdAllDistinct, LaterCallsCheckTheirDeadCounts)
{
  const struct {
    int dead_vars, dead_vals;
    bool stamped; /* the Stamp the block continues from */
    const char *expect;
  } rows[] = {{-1, 0, true, "error"}, {4, 0, true, "error"}, {0, 9, false, "error"},
              {3, 0, false, "error"}, {3, 0, true, "suspended"}};
  for (const auto &row : rows) {
    driver d(api);
    fd_undo_scope undo(w, QX_ALT_FAILCODE);
    std::vector<int> vars = vars_in(d, std::vector<domain>(3, fd_oracle::range(1, 4)));
    ASSERT_EQ(d.post_state(all_distinct_posting(vars, 0, "dom")), 1);
    QX_term_ref r = QX_new_term_refs(5);
    TAGGED s = state(d);
    qx_heap_room(w, 8 + 3);
    TAGGED *c = w->global_top;
    w->global_top += 11;
    for (int k = 0; k < 8; k++) c[k] = k == 0 ? StrFunctor(s) : StrArg(s, k);
    c[2] = MakeSmall(row.dead_vars), c[3] = MakeSmall(row.dead_vals);
    if (!row.stamped) c[7] = MakeSmall(GetSmall(deref(c[7])) + 5);
    c[8] = MakeRef(c + 8), c[9] = MakeRef(c + 9), c[10] = MakeRef(c + 10);
    fd_ref_put(api, r, MakeStr(c));
    ASSERT_EQ(d.call(d.n.begin, {}), 1);
    TAGGED g = d.last_global();
    int ok = d.call(d.n.dispatch_fast, {deref(StrArg(g, FD_GLOBAL_CONSTRAINT)), fd_ref_get(api, r),
                                        MakeRef(c + 8), MakeRef(c + 9), g, MakeRef(c + 10)});
    std::string got = ok < 0 ? "error" : ok == 0 ? "failed" : "suspended";
    if (ok == 1)
      for (TAGGED a = deref(c[9]); IsLst(a); a = deref(LstTail(a)))
        if (deref(LstHead(a)) == atom_exit) got = "entailed";
    if (ok < 0) {
      EXPECT_EQ(exception().rfind("error(", 0), 0u);
    }
    EXPECT_EQ(got, row.expect) << row.dead_vars << " " << row.dead_vals;
  }
}

/* ---- assignment/2 ---- */

namespace {

/* assignment(Xs, Ys) with state s(XEntries, YEntries, NDead, Flags, 0, CostBase, Handle, Stamp);
 * the first half of vars are the Xs. */
driver::posting assignment_posting(const std::vector<int> &vars, int flags)
{
  size_t n = vars.size() / 2;
  std::vector<int> xs(vars.begin(), vars.begin() + (long)n), ys(vars.begin() + (long)n, vars.end());
  return {"assignment",
          {driver::t_vars(xs), driver::t_vars(ys)},
          {driver::t_entries(xs), driver::t_entries(ys), driver::t_int(0), driver::t_int(flags),
           driver::t_int(0), driver::t_int(0)}};
}

/* Xs a permutation of 1..n and Ys its inverse. */
bool inverse(const tuple &t)
{
  size_t n = t.size() / 2;
  for (size_t i = 0; i < n; i++) {
    if (t[i] < 1 || t[i] > (int64_t)n || t[n + i] < 1 || t[n + i] > (int64_t)n) return false;
    if (t[n + (size_t)t[i] - 1] != (int64_t)i + 1) return false;
  }
  return true;
}

/* n Xs and n Ys with domains within 0..n+1 (values outside 1..n now and then). */
instance generate_assignment(fd_harness::rng &g, int most)
{
  instance in;
  int n = 1 + g.below(most);
  for (int k = 0; k < 2 * n; k++) {
    fd_oracle::values v;
    for (int x = 1; x <= n; x++)
      if (x == 1 + k % n || g.below(3)) v.push_back(x);
    if (g.below(8) == 0) v.push_back(n + 1);
    in.doms.push_back(domain::of(v));
  }
  return in;
}

row assignment_row()
{
  row r;
  r.name = "assignment";
  r.generate = [](fd_harness::rng &g) { return generate_assignment(g, 4); };
  r.sat = [](const instance &, const tuple &t) { return inverse(t); };
  r.posting = [](const instance &in, const std::vector<int> &vars) {
    return assignment_posting(vars, in.variant);
  };
  r.claimed = level::domain;
  r.variants = {0, 1}; /* the circuit flag */
  using t = driver;
  r.mutations = {
      {"a Y less", [](driver::posting &p) { p.state[1].args.pop_back(); }},
      {"NDead -1", set_arg(2, t::t_int(-1))},
      {"NDead 1 at the first call", set_arg(2, t::t_int(1))},
      {"Flags an atom", set_arg(3, t::t_atom("a"))},
      {"Flags 2 (costs)", set_arg(3, t::t_int(2))},
      {"CostBase an atom", set_arg(5, t::t_atom("a"))},
      {"an X entry not a pair", set_sub(0, 0, t::t_int(1))},
      {"Ys an improper list",
       [](driver::posting &p) { p.state[1] = t::t_improper(p.state[1].args, t::t_atom("x")); }},
      {"an argument less", [](driver::posting &p) { p.state.pop_back(); }},
  };
  r.instances = 100;
  return r;
}

/* Calls f(p) for each permutation p of 1..n that the domains (n Xs, then n Ys) allow: X_i
 * holds p_i and Y_{p_i} holds i. */
template <class F>
void each_allowed_permutation(const std::vector<domain> &doms, size_t n, F f)
{
  tuple p(n);
  for (size_t i = 0; i < n; i++) p[i] = (int64_t)i + 1;
  do {
    bool allowed = true;
    for (size_t i = 0; i < n && allowed; i++)
      allowed = doms[i].contains(p[i]) && doms[n + (size_t)p[i] - 1].contains((int64_t)i + 1);
    if (allowed) f(p);
  } while (std::next_permutation(p.begin(), p.end()));
}

/* The values of each of the 2n variables in some permutation the domains allow. */
std::vector<domain> permutation_supports(const std::vector<domain> &doms, bool *solvable)
{
  size_t n = doms.size() / 2;
  std::vector<fd_oracle::values> seen(2 * n);
  *solvable = false;
  each_allowed_permutation(doms, n, [&](const tuple &p) {
    *solvable = true;
    for (size_t i = 0; i < n; i++) {
      seen[i].push_back(p[i]);
      seen[n + (size_t)p[i] - 1].push_back((int64_t)i + 1);
    }
  });
  std::vector<domain> out;
  for (auto &v : seen) {
    std::sort(v.begin(), v.end());
    v.erase(std::unique(v.begin(), v.end()), v.end());
    out.push_back(domain::of(v));
  }
  return out;
}

}  // namespace

TEST_F(FdAllDistinct, AssignmentHarnessProperties) { check_row(assignment_row()); }

/* n up to 7 against an enumeration of the permutations: after the post and after each of a few
 * prunings, each X_i and Y_j holds exactly the values some allowed permutation gives it. */
TEST_F(FdAllDistinct, AssignmentDomainConsistentUpToSeven)
{
  fd_harness::rng g{7111};
  int checked = 0, pruned = 0;
  for (int k = 0; k < scaled(200); k++) {
    fd_harness::instance in = generate_assignment(g, 7);
    SCOPED_TRACE("instance " + std::to_string(k) + ": " + text(in.doms));
    driver d(api);
    fd_undo_scope undo(w, QX_ALT_FAILCODE);
    std::vector<int> vars = vars_in(d, in.doms);
    std::vector<domain> model = in.doms;
    bool solvable;
    int ok = d.post_state(assignment_posting(vars, 0));
    for (int step = 0; ok >= 0; step++) {
      std::vector<domain> want = permutation_supports(model, &solvable);
      EXPECT_EQ(ok == 1, solvable);
      if (ok != 1 || !solvable || step == 5) break;
      EXPECT_EQ(text(domains(d, vars)), text(want));
      checked++;
      pruned += text(want) != text(model);
      model = want;
      std::vector<int> open = fd_harness::open_indices(model);
      if (open.empty()) break;
      int i = open[g.below((int)open.size())];
      fd_oracle::values vals = model[i].all(100);
      int64_t v = vals[g.below((int)vals.size())];
      model[i] = domain::of([&] {
        fd_oracle::values rest;
        for (int64_t x : vals)
          if (x != v) rest.push_back(x);
        return rest;
      }());
      ok = d.exclude(vars[i], (int32_t)v);
    }
    ASSERT_GE(ok, 0) << exception();
  }
  EXPECT_GT(checked, scaled(200));
  EXPECT_GT(pruned, scaled(200) / 4);
}

/* The constraint's edge cases, and a fixed Y whose X is not fixed yet: the X keeps the value (a fixed
 * variable still supports its partner in the channelling sweep) and is fixed by the
 * restriction, whatever the posting order. */
TEST_F(FdAllDistinct, AssignmentEdgeCases)
{
  auto I = fd_oracle::range;
  const struct {
    std::vector<domain> doms; /* Xs then Ys */
    std::string expect;       /* domains / NDead / entailed, or failed */
  } rows[] = {
      {{}, "/0/1/handle 0"},
      /* X1 in {2,3}: Y1 loses 1 */
      {{I(2, 3), I(1, 3), I(1, 3), I(1, 3), I(1, 3), I(1, 3)},
       "[[2|3]] [[1|3]] [[1|3]] [[2|3]] [[1|3]] [[1|3]] /0/0"},
      /* Y2 = 1 with X1 unfixed: X1 = 2, the other Xs lose 2, Y1 and Y3 lose 1 */
      {{I(1, 3), I(1, 3), I(1, 3), I(1, 3), I(1, 1), I(1, 3)},
       "[[2|2]] [[1|1],[3|3]] [[1|1],[3|3]] [[2|3]] [[1|1]] [[2|3]] /1/0"},
      /* values outside 1..n go at the first call */
      {{I(0, 1), I(1, 5)}, "[[1|1]] [[1|1]] /1/1/handle 0"},
      {{I(0, 1), I(2, 5)}, "failed"},
      {{I(1, 1), I(1, 1), I(1, 2), I(1, 2)}, "failed"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(text(row.doms));
    driver d(api);
    fd_undo_scope undo(w, QX_ALT_FAILCODE);
    std::vector<int> vars = vars_in(d, row.doms);
    int ok = d.post_state(assignment_posting(vars, 0));
    ASSERT_GE(ok, 0) << exception();
    std::string got = "failed";
    if (ok == 1) {
      TAGGED s = state(d), handle = deref(StrArg(s, 7));
      got = text(domains(d, vars)) + "/" + std::to_string(GetSmall(deref(StrArg(s, 3)))) + "/" +
            std::to_string(fd_dead(d.last_global())) + (handle == MakeSmall(0) ? "/handle 0" : "");
    }
    EXPECT_EQ(got, row.expect);
  }
}

/* ---- assignment/2 with costs ---- */

namespace {

/* As assignment_posting, with the cost variable (the last of vars) and the matrix (data, row by
 * row) in c(K, KAttr, Rows), Flags bit 1. */
driver::posting cost_posting(const std::vector<int> &vars, const std::vector<int64_t> &costs,
                             int flags = 2)
{
  std::vector<int> pairs(vars.begin(), vars.end() - 1);
  driver::posting p = assignment_posting(pairs, flags);
  size_t n = pairs.size() / 2;
  std::vector<driver::tmpl> rows;
  for (size_t i = 0; i < n; i++) {
    std::vector<driver::tmpl> row;
    for (size_t j = 0; j < n; j++) row.push_back(driver::t_int(costs[i * n + j]));
    rows.push_back(driver::t_list(row));
  }
  int k = vars.back();
  p.state[4] = driver::t_struct("c", {driver::t_var(k), driver::t_attr(k), driver::t_list(rows)});
  return p;
}

/* The cost of the successors p (p.size() of them) under the matrix, row by row. */
int64_t cost_of(const std::vector<int64_t> &costs, const tuple &p)
{
  size_t n = p.size();
  int64_t sum = 0;
  for (size_t i = 0; i < n; i++) sum += costs[i * n + (size_t)p[i] - 1];
  return sum;
}

int64_t total(const instance &in, const tuple &t)
{
  return cost_of(in.data, tuple(t.begin(), t.begin() + (long)(t.size() - 1) / 2));
}

/* The successors t[0..n-1] (nodes 1..n) form one circuit through all n nodes. */
bool one_circuit(const tuple &t, size_t n)
{
  size_t node = 0, steps = 0;
  do node = (size_t)t[node] - 1, steps++;
  while (node != 0 && steps <= n);
  return steps == n;
}

/* n pairs (1..3) as generate_assignment, a cost matrix of 1..9 and a cost variable within
 * 0..30, with holes now and then. */
instance generate_costs(fd_harness::rng &g, int most)
{
  instance in = generate_assignment(g, most);
  size_t n = in.doms.size() / 2;
  for (size_t k = 0; k < n * n; k++) in.data.push_back(1 + g.below(9));
  int lo = g.below(10), hi = lo + 3 + g.below(25);
  in.doms.push_back(g.below(3) ? fd_oracle::range(lo, hi) : fd_harness::random_domain(g, lo, hi));
  return in;
}

/* With flags 3 the Xs must also form one circuit. */
row cost_row(int flags = 2)
{
  row r;
  r.name = flags == 2 ? "assignment_costs" : "assignment_costs_circuit";
  r.generate = [](fd_harness::rng &g) { return generate_costs(g, 3); };
  r.sat = [flags](const instance &in, const tuple &t) {
    tuple pairs(t.begin(), t.end() - 1);
    return inverse(pairs) && total(in, t) == t.back() &&
           (flags == 2 || one_circuit(pairs, pairs.size() / 2));
  };
  r.posting = [flags](const instance &in, const std::vector<int> &vars) {
    return cost_posting(vars, in.data, flags);
  };
  using t = driver;
  r.mutations = {
      {"a row less", [](driver::posting &p) { p.state[4].args[2].args.pop_back(); }},
      {"a cost less", [](driver::posting &p) { p.state[4].args[2].args[0].args.pop_back(); }},
      {"a cost an atom",
       [](driver::posting &p) { p.state[4].args[2].args[0].args[0] = t::t_atom("a"); }},
      {"no cost term", set_arg(4, t::t_int(0))},
      {"the cost variable's attribute none",
       set_sub(4, 1, t::t_atom("none"))},
  };
  r.instances = 100;
  return r;
}

}  // namespace

TEST_F(FdAllDistinct, AssignmentCostsHarnessProperties) { check_row(cost_row()); }
TEST_F(FdAllDistinct, AssignmentCostsCircuitHarnessProperties) { check_row(cost_row(3)); }

/* Against an enumeration of the permutations (n up to 5, the cost variable unbounded so that
 * only pairs in no permutation go): the cheapest and dearest costs, and every pair's regrets
 * (the cost increase of the cheapest and the decrease of the dearest permutation holding it). */
TEST_F(FdAllDistinct, AssignmentCostsOptimaAndRegrets)
{
  fd_harness::rng g{7113};
  int compared = 0;
  for (int k = 0; k < scaled(150); k++) {
    fd_harness::instance in = generate_costs(g, 5);
    in.doms.back() = fd_oracle::range(0, 100000);
    size_t n = (in.doms.size() - 1) / 2;
    SCOPED_TRACE("instance " + std::to_string(k) + ": " + text(in.doms));
    driver d(api);
    fd_undo_scope undo(w, QX_ALT_FAILCODE);
    std::vector<int> vars = vars_in(d, in.doms);
    int ok = d.post_state(cost_posting(vars, in.data));
    ASSERT_GE(ok, 0) << exception();
    std::vector<domain> now = domains(d, vars);
    /* the cheapest and dearest permutation holding each pair, over the domains left */
    std::vector<int64_t> best(n * n, INT64_MAX), worst(n * n, INT64_MIN);
    int64_t lo = INT64_MAX, hi = INT64_MIN;
    each_allowed_permutation(ok == 1 ? now : in.doms, n, [&](const tuple &p) {
      int64_t c = cost_of(in.data, p);
      lo = std::min(lo, c), hi = std::max(hi, c);
      for (size_t i = 0; i < n; i++) {
        size_t pair = i * n + (size_t)p[i] - 1;
        best[pair] = std::min(best[pair], c), worst[pair] = std::max(worst[pair], c);
      }
    });
    EXPECT_EQ(ok == 1, lo != INT64_MAX);
    if (ok != 1) continue;
    EXPECT_EQ(now.back().text(), fd_oracle::range(lo, hi).text()) << "cost bounds";
    all_dist_data *b = block(d, 7);
    if (!b) continue; /* entailed */
    const all_dist_rc &rc = b->rc;
    EXPECT_EQ(rc.optcost[0], lo);
    EXPECT_EQ(rc.optcost[1], hi);
    for (int r = 0; r < rc.ntargets; r++)
      for (int c = 0; c < rc.ntargets; c++) {
        size_t i = (size_t)rc.index_var[r], j = (size_t)(rc.index_var[rc.ntargets + c] - (int)n);
        size_t pair = i * n + j;
        if (!now[i].contains((int64_t)j + 1)) continue;
        EXPECT_EQ(rc.rcost[0][r * rc.ntargets + c], best[pair] - lo) << "pair " << i << "," << j;
        EXPECT_EQ(rc.rcost[1][r * rc.ntargets + c], hi - worst[pair]) << "pair " << i << "," << j;
        compared++;
      }
  }
  EXPECT_GT(compared, scaled(150));
}

/* The defining cases: costs [[1,2],[2,1]] with K in 0..10 (K becomes 2..4), 0..3 (the dearer
 * pairs go), 0..1 (failure), and K with a hole at the cheapest cost. */
TEST_F(FdAllDistinct, AssignmentCostsEdgeCases)
{
  auto I = fd_oracle::range;
  const struct {
    domain k;
    std::string expect; /* X1 X2 Y1 Y2 K */
  } rows[] = {
      {I(0, 10), "[[1|2]] [[1|2]] [[1|2]] [[1|2]] [[2|4]] "},
      {I(0, 3), "[[1|1]] [[2|2]] [[1|1]] [[2|2]] [[2|2]] "},
      {I(0, 1), "failed"},
      {domain::of({0, 1, 3, 4, 5}), "[[2|2]] [[1|1]] [[2|2]] [[1|1]] [[4|4]] "},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.k.text());
    driver d(api);
    fd_undo_scope undo(w, QX_ALT_FAILCODE);
    std::vector<int> vars = vars_in(d, {I(1, 2), I(1, 2), I(1, 2), I(1, 2), row.k});
    int ok = d.post_state(cost_posting(vars, {1, 2, 2, 1}));
    ASSERT_GE(ok, 0) << exception();
    EXPECT_EQ(ok == 1 ? text(domains(d, vars)) : "failed", row.expect);
  }
}

/* Circuit mode against an enumeration of the circuits (n up to 6, K unbounded): the cost bounds
 * never pass the cheapest and dearest circuit, and the regret levels raise them above the
 * cheapest and dearest assignment on some instances. */
TEST_F(FdAllDistinct, AssignmentCostsCircuitBounds)
{
  fd_harness::rng g{7114};
  int raised = 0, circuits = 0;
  for (int k = 0; k < scaled(150); k++) {
    fd_harness::instance in = generate_costs(g, 6);
    in.doms.back() = fd_oracle::range(0, 100000);
    size_t n = (in.doms.size() - 1) / 2;
    SCOPED_TRACE("instance " + std::to_string(k) + ": " + text(in.doms));
    /* [0] over the permutations, [1] over the circuits */
    int64_t lo[2] = {INT64_MAX, INT64_MAX}, hi[2] = {INT64_MIN, INT64_MIN};
    each_allowed_permutation(in.doms, n, [&](const tuple &p) {
      int64_t c = cost_of(in.data, p);
      for (int kind = 0; kind < (one_circuit(p, n) ? 2 : 1); kind++)
        lo[kind] = std::min(lo[kind], c), hi[kind] = std::max(hi[kind], c);
    });
    driver d(api);
    fd_undo_scope undo(w, QX_ALT_FAILCODE);
    std::vector<int> vars = vars_in(d, in.doms);
    int ok = d.post_state(cost_posting(vars, in.data, 3));
    ASSERT_GE(ok, 0) << exception();
    if (lo[1] == INT64_MAX) continue; /* no circuit: failing is right, succeeding allowed */
    ASSERT_EQ(ok, 1);
    circuits++;
    domain cost = domains(d, vars).back();
    EXPECT_LE(cost.min(), lo[1]);
    EXPECT_GE(cost.max(), hi[1]);
    raised += cost.min() > lo[0] || cost.max() < hi[0];
  }
  EXPECT_GT(circuits, scaled(150) / 4);
  EXPECT_GT(raised, 0);
}

/* Along walks of prunings, each call resumes from the duals and assignments the block kept; its
 * optima and regrets equal those of a fresh post on the same domains, with and without the
 * circuit flag. */
TEST_F(FdAllDistinct, AssignmentCostsKeptDualsMatchFreshPosts)
{
  fd_harness::rng g{7115};
  long resumed = fd_cost_filter_resumed;
  int compared = 0;
  for (int k = 0; k < scaled(60); k++) {
    fd_harness::instance in = generate_costs(g, 6);
    size_t n = (in.doms.size() - 1) / 2;
    for (size_t i = 0; i < 2 * n; i++) in.doms[i] = fd_oracle::range(1, (int64_t)n);
    in.doms.back() = fd_oracle::range(0, 100000);
    int flags = 2 + (k & 1);
    driver d(api);
    fd_undo_scope undo(w, QX_ALT_FAILCODE);
    std::vector<int> vars = vars_in(d, in.doms);
    int ok = d.post_state(cost_posting(vars, in.data, flags));
    all_dist_data *kept = block(d, 7);
    for (int step = 0; ok == 1 && kept && step < 6; step++) {
      std::vector<domain> now = domains(d, vars);
      /* the regrets by (X index, value) of a block, and its optima (a fixed X may be contracted
       * in one block and live in the other) */
      auto regrets = [&](const all_dist_data *b) {
        const all_dist_rc &rc = b->rc;
        std::vector<long> by_pair(n * n + 2, -1);
        for (int r = 0; r < rc.ntargets; r++)
          for (int c = 0; c < rc.ntargets; c++) {
            size_t i = (size_t)rc.index_var[r];
            size_t j = (size_t)(rc.index_var[rc.ntargets + c] - (int)n);
            if (!now[i].fixed() && now[i].contains((int64_t)j + 1))
              by_pair[i * n + j] =
                  rc.rcost[0][r * rc.ntargets + c] * 1000 + rc.rcost[1][r * rc.ntargets + c];
          }
        by_pair[n * n] = rc.optcost[0], by_pair[n * n + 1] = rc.optcost[1];
        return by_pair;
      };
      std::vector<long> incremental = regrets(kept);
      {
        fd_undo_scope undo_fresh(w, QX_ALT_FAILCODE);
        driver fresh(api);
        std::vector<int> again = vars_in(fresh, now);
        ASSERT_EQ(fresh.post_state(cost_posting(again, in.data, flags)), 1);
        ASSERT_EQ(text(domains(fresh, again)), text(now));
        ASSERT_NE(block(fresh, 7), nullptr);
        EXPECT_EQ(regrets(block(fresh, 7)), incremental) << "step " << step << " in " << text(now);
        compared++;
      }
      std::vector<int> open = fd_harness::open_indices(now, 2 * n);
      if (open.empty()) break;
      int i = open[g.below((int)open.size())];
      fd_oracle::values vals = now[i].all(100);
      ok = d.exclude(vars[i], (int32_t)vals[g.below((int)vals.size())]);
      kept = ok == 1 ? block(d, 7) : nullptr;
    }
    ASSERT_GE(ok, 0) << exception();
  }
  EXPECT_GT(compared, scaled(60));
  EXPECT_GT(fd_cost_filter_resumed, resumed);
}

namespace {

/* Posts assignment_helper(V, I) with state s(I, V, A, Handle, 0), V the value decided for X_I and
 * A the newest global's state mutable, or the state term `other` when given; then propagates. */
int post_helper(driver &d, worker *w, ORVALIS_API_STRUCT *api, int i, int32_t v, TAGGED other = 0)
{
  QX_term_ref r = QX_new_term_refs(1);
  fd_ref_put(api, r, other ? other : StrArg(d.last_global(), FD_GLOBAL_STATE));
  if (d.call(d.n.begin, {}) != 1) return -1;
  qx_heap_room(w, 12);
  TAGGED *s = w->global_top;
  w->global_top += 12;
  s[0] = MakeFunctor(init_atom_check("s", 0), 5), s[1] = MakeSmall(i), s[2] = MakeSmall(v);
  s[3] = fd_ref_get(api, r), s[4] = MakeRef(s + 4), s[5] = MakeSmall(0);
  s[6] = MakeFunctor(init_atom_check("assignment_helper", 0), 2), s[7] = MakeSmall(v);
  s[8] = MakeSmall(i), s[9] = MakeRef(s + 9), s[10] = s[11] = MakeSmall(0);
  int ok = d.call(d.n.post_global, {MakeStr(s + 6), MakeStr(s), MakeSmall(0), MakeStr(s + 6),
                                    atom_nil, MakeRef(s + 9)});
  return ok == 1 ? d.propagate() : ok;
}

}  // namespace

/* assignment_helper after X_i = v: the cost variable becomes the costs from the cheapest to the
 * dearest permutation holding that pair (enumerated); no pruning when the assignment's state is
 * not the one its block was last filtered for, when its Handle is 0 or still unbound. */
TEST_F(FdAllDistinct, AssignmentHelperBoundsTheCost)
{
  fd_harness::rng g{7112};
  int checked = 0;
  for (int k = 0; k < scaled(40); k++) {
    fd_harness::instance in = generate_costs(g, 3);
    in.doms.back() = fd_oracle::range(0, 1000);
    size_t n = (in.doms.size() - 1) / 2;
    driver d(api);
    fd_undo_scope undo(w, QX_ALT_FAILCODE);
    std::vector<int> vars = vars_in(d, in.doms);
    std::vector<domain> now;
    {
      fd_undo_scope first(w, QX_ALT_FAILCODE);
      if (d.post_state(cost_posting(vars, in.data)) != 1 || !block(d, 7)) continue;
      now = domains(d, vars);
    }
    for (size_t j = 0; j < now.size(); j++)
      ASSERT_EQ(narrow(d, vars[j], (int32_t)now[j].min(), (int32_t)now[j].max()), 1);
    for (size_t i = 0; i < n; i++)
      for (int64_t v : now[i].all(100)) {
        SCOPED_TRACE("instance " + std::to_string(k) + ": X" + std::to_string(i) + " = " +
                     std::to_string(v) + " in " + text(now));
        int64_t best = INT64_MAX, worst = INT64_MIN;
        each_allowed_permutation(now, n, [&](const tuple &p) {
          if (p[i] != v) return;
          int64_t c = cost_of(in.data, p);
          best = std::min(best, c), worst = std::max(worst, c);
        });
        /* a fresh post each time: a helper's pruning runs the assignment, whose block is then
         * ahead of the state an undo brings back */
        fd_undo_scope one(w, QX_ALT_FAILCODE);
        ASSERT_EQ(d.post_state(cost_posting(vars, in.data)), 1);
        ASSERT_EQ(post_helper(d, w, api, (int)i, (int32_t)v), 1) << exception();
        EXPECT_EQ(domains(d, vars).back().text(), fd_oracle::range(best, worst).text());
        checked++;
      }
    /* a state other than the last filtered one, one whose Handle is 0, a dead X: no pruning */
    std::string cost = now.back().text();
    for (int variant : {0, 1, 2}) {
      fd_undo_scope one(w, QX_ALT_FAILCODE);
      ASSERT_EQ(d.post_state(cost_posting(vars, in.data)), 1);
      TAGGED s = state(d);
      qx_heap_room(w, 9);
      TAGGED *c = w->global_top;
      w->global_top += 9;
      for (int a = 0; a <= 8; a++) c[a] = a == 0 ? StrFunctor(s) : StrArg(s, a);
      if (variant == 0) c[8] = MakeSmall(GetSmall(deref(c[8])) + 7);
      if (variant == 1) c[7] = MakeSmall(0);
      if (variant == 2) c[7] = MakeRef(c + 7); /* the assignment has not run: suspended */
      ASSERT_EQ(post_helper(d, w, api, 0, (int32_t)now[0].min(), MakeStr(c)), 1);
      EXPECT_EQ(domains(d, vars).back().text(), cost) << "variant " << variant;
    }
  }
  EXPECT_GT(checked, scaled(40) / 2);
}

/* The circuit flag runs the single-circuit check: successors over two triangles (nodes 1-3 point
 * among themselves, nodes 4-6 likewise) have permutations but no single circuit, so all_distinct
 * and assignment (with Ys over 1..6) fail with the flag and post without it. */
TEST_F(FdAllDistinct, CircuitFlagRunsTheSingleCircuitCheck)
{
  std::vector<domain> succ;
  for (int i = 0; i < 6; i++) {
    fd_oracle::values v;
    for (int x = i < 3 ? 1 : 4; x <= (i < 3 ? 3 : 6); x++)
      if (x != i + 1) v.push_back(x);
    succ.push_back(domain::of(v));
  }
  std::vector<domain> pairs = succ;
  for (int j = 0; j < 6; j++) pairs.push_back(fd_oracle::range(1, 6));
  for (int flags : {0, 1}) {
    for (bool assignment : {false, true}) {
      driver d(api);
      fd_undo_scope undo(w, QX_ALT_FAILCODE);
      std::vector<int> vars = vars_in(d, assignment ? pairs : succ);
      int ok = d.post_state(assignment ? assignment_posting(vars, flags)
                                       : all_distinct_posting(vars, flags, "dom"));
      EXPECT_EQ(ok, flags ? 0 : 1) << (assignment ? "assignment" : "all_distinct") << " flags " << flags;
    }
  }
}

/* ---- assignment/2 with costs against brute force, along walks ---- */

namespace {

/* An instance's solutions (n Xs, n Ys, the cost last): f(t) for each full tuple t whose Xs are a
 * permutation the domains allow, whose Ys are its inverse, whose cost the cost domain holds and
 * whose variables named by aliases (pairs of indices made one) agree. */
template <class F>
void each_cost_solution(const std::vector<domain> &doms, const std::vector<int64_t> &costs,
                        const std::vector<std::pair<size_t, size_t>> &aliases, F f)
{
  size_t n = (doms.size() - 1) / 2;
  each_allowed_permutation(doms, n, [&](const tuple &p) {
    tuple t(2 * n + 1);
    for (size_t i = 0; i < n; i++) t[i] = p[i], t[n + (size_t)p[i] - 1] = (int64_t)i + 1;
    t[2 * n] = cost_of(costs, p);
    if (!doms.back().contains(t[2 * n])) return;
    for (auto [a, b] : aliases)
      if (t[a] != t[b]) return;
    f(t);
  });
}

/* n = 2..6 pairs around a random permutation p: free (subsets of 1..n holding p's values),
 * partly fixed (a third of the variables fixed, to p's value or now and then to another) or all
 * fixed (p, its inverse with a value changed now and then); a cost matrix of 0..9 and a cost
 * variable wide, or around p's cost with holes, or fixed. */
instance generate_cost_state(fd_harness::rng &g)
{
  int n = 2 + g.below(5), kind = g.below(3);
  instance in;
  for (int k = 0; k < n * n; k++) in.data.push_back(g.below(10));
  tuple p(n), t(2 * n);
  for (int i = 0; i < n; i++) p[i] = i + 1;
  for (int i = n - 1; i > 0; i--) std::swap(p[i], p[g.below(i + 1)]);
  for (int i = 0; i < n; i++) t[i] = p[i], t[n + p[i] - 1] = i + 1;
  for (int k = 0; k < 2 * n; k++) {
    bool fix = kind == 2 || (kind == 1 && g.below(3) == 0);
    int64_t v = fix && g.below(kind == 2 ? 2 * n : 4) == 0 ? 1 + g.below(n) : t[k];
    fd_oracle::values vals;
    for (int x = 1; x <= n; x++)
      if (x == v || (!fix && g.below(3))) vals.push_back(x);
    in.doms.push_back(domain::of(vals));
  }
  int64_t c = cost_of(in.data, p), lo = std::max<int64_t>(0, c - g.below(3 * n)), hi = c + g.below(3 * n);
  in.doms.push_back(g.below(2) == 0   ? fd_oracle::range(0, 1000)
                    : g.below(6) == 0 ? fd_oracle::range(c, c)
                                      : fd_harness::random_domain(g, lo, hi));
  return in;
}

}  // namespace

/* The faults' own cases: fixed Ys that are not the inverse of the fixed Xs, and a search over
 * pairs where X1 and Y2 are one variable (no solution: X1 = 1 asks Y1 = 1 and Y2 = 2). */
TEST_F(FdAllDistinct, AssignmentCostsHoldTheInverseOnFixedVariables)
{
  auto I = fd_oracle::range;
  for (int costs : {0, 1}) {
    SCOPED_TRACE(costs ? "with costs" : "without costs");
    driver d(api);
    fd_undo_scope undo(w, QX_ALT_FAILCODE);
    std::vector<int> vars = vars_in(d, {I(2, 2), I(1, 1), I(2, 2), I(2, 2), I(0, 9)});
    int ok = costs ? d.post_state(cost_posting(vars, {2, 2, 1, 2}))
                   : d.post_state(assignment_posting({vars.begin(), vars.end() - 1}, 0));
    EXPECT_EQ(ok, 0) << exception();
  }
  for (bool first : {false, true}) {
    SCOPED_TRACE(first ? "made one before the post" : "made one after the post");
    driver d(api);
    fd_undo_scope undo(w, QX_ALT_FAILCODE);
    std::vector<int> vars = vars_in(d, {I(1, 2), I(1, 2), I(1, 2), I(1, 2), I(0, 20)});
    int ok = first ? d.unify(vars[0], vars[3]) : 1;
    if (ok == 1) ok = d.post_state(cost_posting(vars, {1, 2, 3, 4}));
    if (ok == 1 && !first) ok = d.unify(vars[0], vars[3]);
    ASSERT_GE(ok, 0) << exception();
    fd_driver::counts c;
    if (ok == 1) {
      EXPECT_EQ(d.search(vars, {}, [](driver &) { return true; }, &c), 1) << exception();
    }
    EXPECT_EQ(c.solutions, 0u);
  }
}

/* Random instances of n = 2..6 pairs with costs (free, partly fixed and fixed states, an X and a
 * Y made one now and then) along walks of choicepoints, prunings (X = a, X in a..b, X =\= a on
 * any variable, the cost too) and backtracking, against an enumeration of the permutations: at
 * every fixpoint, failure only without a solution, no solution lost (its values and cost stay),
 * success with every variable fixed only on a solution; with the cost variable untouched, its
 * bounds are the cheapest and dearest solution. For n up to 4, a search from the post finds
 * exactly the enumerated solutions. */
TEST_F(FdAllDistinct, AssignmentCostsAgreeWithBruteForceAlongWalks)
{
  fd_harness::rng g{7116};
  int fixpoints = 0, failures = 0, fixed_states = 0, searched = 0, plain_compared = 0;
  for (int k = 0; k < scaled(400); k++) {
    fd_harness::instance in = generate_cost_state(g);
    size_t n = (in.doms.size() - 1) / 2;
    SCOPED_TRACE("instance " + std::to_string(k) + ": " + text(in.doms));
    driver d(api);
    fd_undo_scope undo(w, QX_ALT_FAILCODE);
    std::vector<int> vars = vars_in(d, in.doms);
    std::vector<std::pair<size_t, size_t>> aliases;
    int ok = 1;
    bool alias_late = false;
    if (g.below(4) == 0) {
      aliases.push_back({(size_t)g.below((int)n), n + (size_t)g.below((int)n)});
      alias_late = g.below(2);
      if (!alias_late) ok = d.unify(vars[aliases[0].first], vars[aliases[0].second]);
    }
    std::vector<domain> before = in.doms;
    if (ok == 1) ok = d.post_state(cost_posting(vars, in.data));
    if (ok == 1 && alias_late) ok = d.unify(vars[aliases[0].first], vars[aliases[0].second]);
    ASSERT_GE(ok, 0) << exception();
    bool posted = ok == 1, cost_touched = false;
    std::vector<snapshot> stack;
    for (int step = 0;; step++) {
      /* the fixpoint reached from before */
      size_t found = 0;
      int64_t cheapest = INT64_MAX, dearest = INT64_MIN;
      std::vector<domain> now = ok == 1 ? domains(d, vars) : std::vector<domain>{};
      each_cost_solution(before, in.data, aliases, [&](const tuple &t) {
        found++;
        cheapest = std::min(cheapest, t.back()), dearest = std::max(dearest, t.back());
        for (size_t i = 0; ok == 1 && i < t.size(); i++)
          EXPECT_TRUE(now[i].contains(t[i])) << "lost a solution at step " << step << ": variable "
                                             << i << " value " << t[i] << " in " << text(now);
      });
      fixpoints++;
      if (ok != 1) {
        failures++;
        EXPECT_EQ(found, 0u) << "failed with a solution at step " << step;
      } else if (fd_harness::all_fixed(now)) {
        fixed_states++;
        EXPECT_EQ(found, 1u) << "every variable fixed to a non-solution at step " << step;
      } else if (!cost_touched && aliases.empty() && found > 0 && before.back().max() >= 1000) {
        EXPECT_EQ(now.back().min(), cheapest) << text(now);
        EXPECT_EQ(now.back().max(), dearest) << text(now);
        /* the pairs no permutation holds are gone, as without costs: the constraint without
         * costs, posted on the same variables in a choicepoint, prunes nothing */
        std::vector<int> pairs(vars.begin(), vars.end() - 1);
        stack.push_back(take(d, vars, qx_push_node(w, qx_alt(QX_ALT_FAILCODE, 0))));
        EXPECT_EQ(d.post_state(assignment_posting(pairs, 0)), 1);
        EXPECT_EQ(text(domains(d, vars)), text(now)) << "pruned by the constraint without costs";
        backtrack(d, vars, &stack);
        plain_compared++;
      }
      if (HasFailure() || step == 12) break;
      if (ok != 1) {
        if (stack.empty()) break;
        backtrack(d, vars, &stack);
        before = domains(d, vars);
        ok = 1;
        continue;
      }
      std::vector<int> open = fd_harness::open_indices(now);
      if (open.empty() || (!stack.empty() && g.below(3) == 0)) {
        if (stack.empty()) break;
        backtrack(d, vars, &stack);
        before = domains(d, vars);
        continue;
      }
      stack.push_back(take(d, vars, qx_push_node(w, qx_alt(QX_ALT_FAILCODE, 0))));
      int i = open[g.below((int)open.size())];
      cost_touched |= (size_t)i == 2 * n;
      fd_oracle::values vals = now[i].all(2000);
      int64_t a = vals[g.below((int)vals.size())], b = vals[g.below((int)vals.size())];
      if (a > b) std::swap(a, b);
      before = now;
      switch (g.below(3)) {
      case 0:
        before[i] = fd_oracle::range(a, a);
        ok = d.bind(vars[i], (int32_t)a, fd_driver::binding::in_interval);
        break;
      case 1:
        before[i] = before[i].within(a, b);
        ok = narrow(d, vars[i], (int32_t)a, (int32_t)b);
        break;
      default:
        before[i] = fd_harness::without(before[i], a);
        ok = d.exclude(vars[i], (int32_t)a);
      }
      ASSERT_GE(ok, 0) << exception();
    }
    while (!stack.empty()) backtrack(d, vars, &stack);
    if (n > 4 || !posted || HasFailure()) continue;
    /* a search from the post state finds the solutions */
    std::set<tuple> want, got;
    each_cost_solution(domains(d, vars), in.data, aliases, [&](const tuple &t) { want.insert(t); });
    fd_driver::counts c;
    ASSERT_EQ(d.search(vars, {},
                       [&](driver &dd) {
                         tuple t;
                         for (int x : vars) t.push_back(dd.value(x));
                         got.insert(t);
                         return true;
                       },
                       &c),
              1)
        << exception();
    EXPECT_EQ(got, want) << "search";
    searched++;
  }
  EXPECT_GT(fixed_states, scaled(400) / 2);
  EXPECT_GT(failures, scaled(400) / 4);
  EXPECT_GT(searched, scaled(400) / 4);
  EXPECT_GT(fixpoints, scaled(400) * 2);
  EXPECT_GT(plain_compared, scaled(400) / 40);
}
