/* all_distinct/1 and its value graph against independent oracles: a backtracking enumeration of
 * the distinct assignments (domain consistency at every fixpoint of random walks), a reference
 * Tarjan search on the explicit value graph (the component numbers), the Parts' edge cases, the
 * daemon's skip rule, a chain of 10^5 values, bad state terms and the N-queens counts.
 */
#include <functional>
#include <memory>
#include <random>

#include "driver/fd_driver.h"
#include "fd_kernel_env.h"
#include "fd_oracle.h"
#include "fd_propagate.h"
#include "fd_value_graph.h"
#include "gc.h"

namespace {

using fd_driver::driver;
using fd_oracle::domain;
using fd_oracle::INF;
using fd_oracle::SUP;

/* Values of an infinite domain the oracle tries: no finite domain reaches beyond 1..8 and the
 * walks prune infinite domains only there, so the ten values of the window outside 1..8 are as
 * good as any other value outside it. */
constexpr int64_t WLO = -4, WHI = 13;

/* The distinct assignments of doms (infinite ends cut to the window): whether there is one, and
 * the values each variable takes in some. */
bool project(const std::vector<domain> &doms, std::vector<std::vector<int64_t>> *support)
{
  size_t n = doms.size();
  std::vector<std::vector<int64_t>> vals(n);
  for (size_t i = 0; i < n; i++)
    for (int64_t v : doms[i].within(WLO, WHI).all(1 << 20)) vals[i].push_back(v);
  std::vector<std::vector<bool>> seen(n);
  for (size_t i = 0; i < n; i++) seen[i].assign(vals[i].size(), false);
  std::vector<size_t> pick(n);
  std::vector<int64_t> used;
  bool any = false;
  std::function<void(size_t)> dfs = [&](size_t i) {
    if (i == n) {
      any = true;
      for (size_t k = 0; k < n; k++) seen[k][pick[k]] = true;
      return;
    }
    for (size_t j = 0; j < vals[i].size(); j++) {
      if (std::find(used.begin(), used.end(), vals[i][j]) != used.end()) continue;
      pick[i] = j;
      used.push_back(vals[i][j]);
      dfs(i + 1);
      used.pop_back();
    }
  };
  dfs(0);
  support->assign(n, {});
  for (size_t i = 0; i < n; i++)
    for (size_t j = 0; j < vals[i].size(); j++)
      if (seen[i][j]) (*support)[i].push_back(vals[i][j]);
  return any;
}

/* The domain consistency the propagator claims: each domain within the window is the support,
 * and outside it unchanged. */
std::vector<domain> expected_domains(const std::vector<domain> &doms, bool *solvable)
{
  std::vector<std::vector<int64_t>> support;
  *solvable = project(doms, &support);
  std::vector<domain> out;
  for (size_t i = 0; i < doms.size(); i++) {
    domain d = doms[i].within(INF, WLO - 1), in = domain::of(support[i]);
    d.iv.insert(d.iv.end(), in.iv.begin(), in.iv.end());
    domain above = doms[i].within(WHI + 1, SUP);
    d.iv.insert(d.iv.end(), above.iv.begin(), above.iv.end());
    out.push_back(domain::of({}));
    for (auto [l, h] : d.iv) /* join touching intervals */
      if (!out.back().iv.empty() && out.back().iv.back().second + 1 == l)
        out.back().iv.back().second = h;
      else
        out.back().iv.push_back({l, h});
  }
  return out;
}

/* A random domain within 1..8 with holes; one in six variables (none when infinite is false)
 * gets inf..sup less a few values. */
domain random_domain(std::mt19937 &r, int n, bool infinite)
{
  std::vector<int64_t> vals;
  if (infinite && r() % 6 == 0) {
    domain d = fd_oracle::range(INF, SUP);
    for (int k = r() % 3; k > 0; k--) {
      int64_t v = 1 + r() % 8;
      domain cut = d.within(INF, v - 1), above = d.within(v + 1, SUP);
      cut.iv.insert(cut.iv.end(), above.iv.begin(), above.iv.end());
      d = cut;
    }
    return d;
  }
  int top = r() % 3 == 0 ? n : 8; /* values 1..n often: densities 2 and 1 */
  int lo = 1 + r() % top, hi = lo + r() % (top - lo + 1);
  for (int v = lo; v <= hi; v++)
    if (v == lo || r() % 4 != 0) vals.push_back(v);
  return domain::of(vals);
}

}  // namespace

class FdAllDistinct : public FdKernelTest {
protected:
  FdAllDistinct() { consult(fd_oracle::prelude); }
  ~FdAllDistinct() override { fd_value_graph_shortcuts = 1; }

  /* Variables of the tests, in term references; the global of the last post. */
  std::vector<QX_term_ref> xs;
  QX_term_ref global = 0;

  TAGGED x(size_t i) { return fd_ref_get(api, xs[i]); }

  /* A heap FD set of d; the caller made room (4 words per interval). */
  TAGGED heap_set(const domain &d)
  {
    TAGGED set = atom_nil;
    for (size_t k = d.iv.size(); k-- > 0;) {
      TAGGED *p = w->global_top;
      w->global_top += 4;
      auto bound = [](int64_t v) {
        return v == INF ? atom_inf : v == SUP ? atom_sup : MakeSmall((int32_t)v);
      };
      p[0] = bound(d.iv[k].first), p[1] = bound(d.iv[k].second);
      p[2] = MakeLst(p), p[3] = set;
      set = MakeLst(p + 2);
    }
    return set;
  }
  /* X_i := X_i in d (a new variable when i is the count): the driver's answer. */
  int narrow(driver &dr, size_t i, const domain &d)
  {
    if (i == xs.size()) {
      qx_heap_room(w, 1);
      TAGGED *c = w->global_top++;
      *c = MakeRef(c);
      xs.push_back(QX_new_term_ref());
      fd_ref_put(api, xs[i], MakeRef(c));
    }
    qx_heap_room(w, 4 * (uint32_t)d.iv.size() + 4);
    int ok = dr.call(dr.n.in_set, {x(i), heap_set(d), MakeSmall(1)});
    return ok == 1 ? dr.propagate() : ok;
  }
  domain dom(size_t i)
  {
    TAGGED t = deref(x(i));
    if (IsSmall(t)) return fd_oracle::range(GetSmall(t), GetSmall(t));
    domain d;
    TAGGED a = get_attributes(t, fd()->fd_module);
    auto val = [](TAGGED b) { return b == atom_inf ? INF : b == atom_sup ? SUP : GetSmall(b); };
    for (TAGGED s = deref(StrArg(fd_attr_dom(a), 1)); IsLst(s); s = deref(LstTail(s))) {
      TAGGED pair = deref(LstHead(s));
      d.iv.push_back({val(deref(LstHead(pair))), val(deref(LstTail(pair)))});
    }
    return d;
  }
  std::vector<domain> doms(size_t from = 0)
  {
    std::vector<domain> out;
    for (size_t i = from; i < xs.size(); i++) out.push_back(dom(i));
    return out;
  }

  /* Posts all_distinct over the variables terms(0..n-1) with the Flags and wake key, then
   * propagates: the driver's answer. */
  int post(driver &dr, size_t n, const std::function<TAGGED(size_t)> &terms, int flags,
           const char *key)
  {
    QX_term_ref attrs = QX_new_term_refs((int)n + 1);
    for (size_t i = 0; i < n; i++) {
      qx_heap_room(w, 1);
      TAGGED *c = w->global_top++;
      *c = MakeRef(c);
      fd_ref_put(api, attrs + (int)i, MakeRef(c));
      if (dr.call(dr.n.arg_attribute, {terms(i), MakeSmall(0), MakeRef(c)}) != 1) return -1;
    }
    qx_heap_room(w, (uint32_t)(7 * n + 16));
    TAGGED entry = MakeFunctor(init_atom_check("e", 0), 2), list = atom_nil, vars = atom_nil;
    for (size_t i = n; i-- > 0;) {
      TAGGED v = deref(terms(i)), *p = w->global_top;
      w->global_top += 7;
      p[0] = entry, p[1] = v, p[2] = fd_ref_get(api, attrs + (int)i);
      p[3] = MakeStr(p), p[4] = list;
      p[5] = v, p[6] = vars;
      list = MakeLst(p + 3);
      vars = MakeLst(p + 5);
    }
    TAGGED *s = w->global_top; /* every word written: a stale word could read as a mark */
    w->global_top += 11;
    s[0] = MakeFunctor(init_atom_check("s", 0), 7);
    s[1] = list, s[2] = s[3] = MakeSmall(0), s[4] = MakeSmall(flags);
    s[5] = init_atom_check(key, 0), s[6] = MakeRef(s + 6), s[7] = MakeSmall(0);
    s[8] = MakeFunctor(init_atom_check("all_distinct", 0), 1), s[9] = vars;
    s[10] = MakeRef(s + 10);
    global = QX_new_term_ref();
    fd_ref_put(api, global, MakeRef(s + 10));
    int ok = dr.call(dr.n.post_global, {MakeStr(s + 8), MakeStr(s), MakeSmall(0), MakeStr(s + 8),
                                        atom_nil, MakeRef(s + 10)});
    return ok == 1 ? dr.propagate() : ok;
  }
  int post_all(driver &dr, int flags = 0, const char *key = "dom")
  {
    return post(dr, xs.size(), [this](size_t i) { return x(i); }, flags, key);
  }

  TAGGED state() { return fd_mutable_value(StrArg(fd_ref_get(api, global), FD_GLOBAL_STATE)); }
  /* The block of the last post, null once it is gone. */
  all_dist_data *block()
  {
    TAGGED h = deref(StrArg(state(), 6));
    if (!IsLst(h) || !IsVar(deref(LstHead(h)))) return nullptr;
    return (all_dist_data *)fd_perm_data(h);
  }
  bool entailed() { return !IsVar(deref(StrArg(fd_ref_get(api, global), FD_ARG_DEAD))); }
  /* One run of the global on its current state, with its actions applied, then the loop. */
  int rerun(driver &dr)
  {
    if (entailed()) return 1;
    QX_term_ref r = QX_new_term_refs(2);
    qx_heap_room(w, 2);
    TAGGED *c = w->global_top;
    w->global_top += 2;
    c[0] = MakeRef(c), c[1] = MakeRef(c + 1);
    fd_ref_put(api, r, c[0]);
    fd_ref_put(api, r + 1, c[1]);
    TAGGED g = fd_ref_get(api, global);
    if (dr.call(dr.n.begin, {}) != 1) return -1;
    g = fd_ref_get(api, global);
    int ok = dr.call(dr.n.dispatch_fast, {deref(StrArg(g, FD_GLOBAL_CONSTRAINT)), state(), c[0],
                                          c[1], g, MakeSmall(1)});
    if (ok == 1) { /* the new state goes into the global, as the kernel's loop does */
      g = fd_ref_get(api, global);
      fd_update_mutable(api, w, fd_ref_get(api, r), StrArg(g, FD_GLOBAL_STATE));
      ok = dr.call(dr.n.prune_and_enqueue, {fd_ref_get(api, r + 1), fd_ref_get(api, global)});
    }
    return ok == 1 ? dr.propagate() : ok;
  }
};

namespace {

/* The term references a test case takes go with it. */
struct refs_scope {
  QX_term_ref mark = QX_new_term_refs(0);
  ~refs_scope() { QX_reset_term_refs(mark); }
};

std::string text(const std::vector<domain> &ds)
{
  std::string s;
  for (const domain &d : ds) s += d.text() + " ";
  return s;
}

/* The matching of a block is valid: symmetric, every live variable matched to a value of its
 * domain when the values are fixed vertices, no value taken twice. */
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

/* Random walks of prune / choicepoint / backtrack over random instances (holes, some inf..sup
 * variables, densities 0, 1 and 2, shortcuts on and off): at every fixpoint the domains are
 * exactly the oracle's, failure exactly without a solution, a rerun prunes nothing (so no
 * wake-up the daemon skipped hid a pruning), the matching is valid; after each backtrack the
 * domains, the state's counts and the dead tails of the target arrays are as they were. */
TEST_F(FdAllDistinct, DomainConsistentAlongWalks)
{
  std::mt19937 r(1109);
  int instances = qx_gc_stress ? 30 : 300;
  int density_runs[3] = {0, 0, 0}, promoted = 0, revived = 0, failures = 0, prunings = 0;
  for (int k = 0; k < instances; k++) {
    fd_value_graph_shortcuts = k % 2;
    int n = 2 + (int)(r() % 6);
    std::vector<domain> model;
    for (int i = 0; i < n; i++) {
      if (k % 3 != 0) {
        model.push_back(random_domain(r, n, true));
        continue;
      }
      std::vector<int64_t> vals; /* the values make up 1..n: density 2 */
      for (int v = 1; v <= n; v++)
        if (v == i + 1 || r() % 2) vals.push_back(v);
      model.push_back(domain::of(vals));
    }
    SCOPED_TRACE("instance " + std::to_string(k) + ": " + text(model));
    refs_scope refs;
    driver dr(api);
    fd_driver::undo_scope outer(w);
    xs.clear();
    for (int i = 0; i < n; i++) ASSERT_EQ(narrow(dr, i, model[i]), 1);
    bool solvable;
    std::vector<domain> want = expected_domains(model, &solvable);
    int ok = post_all(dr);
    ASSERT_GE(ok, 0) << exception();
    EXPECT_EQ(ok == 1, solvable);
    if (ok != 1 || !solvable) {
      failures++;
      continue;
    }
    EXPECT_EQ(text(doms()), text(want));
    model = want;
    struct saved {
      std::unique_ptr<fd_driver::undo_scope> scope;
      std::vector<domain> model;
      std::vector<TAGGED> counts;
      std::vector<int> dead_tail;
    };
    std::vector<saved> stack;
    long last_vals = -1;
    for (int step = 0; step < 12; step++) {
      all_dist_data *b = block();
      int op = r() % 5;
      if (op == 0 && b) { /* choicepoint */
        saved s{std::make_unique<fd_driver::undo_scope>(w), model, {}, {}};
        for (int a : {1, 2, 3, 7}) s.counts.push_back(deref(StrArg(state(), a)));
        s.dead_tail.assign(b->vartarget + b->nvartargets, b->vartarget + b->nvars);
        stack.push_back(std::move(s));
        continue;
      }
      if (op == 1 && !stack.empty()) { /* backtrack */
        saved &s = stack.back();
        s.scope.reset();
        EXPECT_EQ(text(doms()), text(s.model)) << "after backtracking";
        std::vector<TAGGED> counts;
        for (int a : {1, 2, 3, 7}) counts.push_back(deref(StrArg(state(), a)));
        EXPECT_EQ(counts, s.counts) << "state after backtracking";
        if ((b = block()) != nullptr) {
          std::vector<int> tail(b->vartarget + b->nvars - s.dead_tail.size(),
                                b->vartarget + b->nvars);
          EXPECT_EQ(tail, s.dead_tail) << "dead variables after backtracking";
        }
        model = s.model;
        stack.pop_back();
        continue;
      }
      /* prune a value of an unfixed variable */
      std::vector<int> open;
      for (int i = 0; i < n; i++)
        if (!model[i].fixed()) open.push_back(i);
      if (open.empty()) break;
      int i = open[r() % open.size()];
      std::vector<int64_t> vals = model[i].within(1, 8).all(1 << 20);
      if (vals.empty()) continue;
      int64_t v = vals[r() % vals.size()];
      std::vector<domain> next = model;
      domain cut = next[i].within(INF, v - 1), above = next[i].within(v + 1, SUP);
      cut.iv.insert(cut.iv.end(), above.iv.begin(), above.iv.end());
      next[i] = cut;
      want = expected_domains(next, &solvable);
      ok = narrow(dr, i, cut);
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
      std::vector<domain> got = doms();
      EXPECT_EQ(text(got), text(want)) << "pruned " << v << " from " << i;
      prunings += text(want) != text(next);
      model = want;
      if ((b = block()) != nullptr) {
        expect_valid_matching(b, got);
        density_runs[b->density]++;
        promoted += b->reset_density == 0 && b->density == 1;
        revived += !b->incremental && b->density > 0 && last_vals >= 0 && b->nvaltargets > last_vals;
        last_vals = b->nvaltargets;
      }
      ASSERT_EQ(rerun(dr), 1) << exception();
      EXPECT_EQ(text(doms()), text(want)) << "a rerun pruned";
    }
    while (!stack.empty()) stack.pop_back();
  }
  EXPECT_GT(density_runs[0], 0);
  EXPECT_GT(density_runs[1], 0);
  EXPECT_GT(density_runs[2], 0);
  EXPECT_GT(promoted, 0);
  EXPECT_GT(revived, 0);
  EXPECT_GT(failures, instances / 20);
  EXPECT_GT(prunings, instances / 4);
}

namespace {

/* Tarjan's components of the graph u -> v for v in the domain of u's partner (recursive: the
 * reference is small). comp[u] for each of the n values. */
void reference_sccs(const std::vector<std::vector<int>> &adj, std::vector<int> *comp)
{
  size_t n = adj.size();
  std::vector<int> index(n, -1), low(n), stack;
  std::vector<bool> on(n, false);
  int counter = 0, components = 0;
  comp->assign(n, -1);
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
        (*comp)[v] = components;
      } while (v != u);
      components++;
    }
  };
  for (size_t u = 0; u < n; u++)
    if (index[u] < 0) visit((int)u);
}

}  // namespace

/* One call with no daemon (wake key none) over n variables on values 1..n, the full search
 * forced: two values share a component number exactly when the reference search puts them in
 * one component of the graph the matching orients (the domains before the call). */
TEST_F(FdAllDistinct, ComponentsMatchAReferenceSearch)
{
  std::mt19937 r(7115);
  fd_value_graph_shortcuts = 0;
  int compared = 0, split = 0, instances = qx_gc_stress ? 40 : 400;
  for (int k = 0; k < instances; k++) {
    int n = 3 + (int)(r() % 6);
    std::vector<domain> model;
    for (int i = 0; i < n; i++) {
      std::vector<int64_t> vals;
      for (int v = 1; v <= n; v++)
        if (r() % 3 != 0 || v == 1 + i % n) vals.push_back(v);
      model.push_back(domain::of(vals));
    }
    driver dr(api);
    fd_driver::undo_scope undo(w);
    xs.clear();
    for (int i = 0; i < n; i++) ASSERT_EQ(narrow(dr, i, model[i]), 1);
    if (post_all(dr, 0, "none") != 1) continue;
    all_dist_data *b = block();
    if (!b) continue;
    SCOPED_TRACE(text(model));
    std::vector<std::vector<int>> adj(n);
    for (int u = 0; u < n; u++) {
      int xv = b->vertex.mate[n + u];
      ASSERT_GE(xv, 0);
      for (int64_t v : model[xv].all(100))
        if (v - 1 != u) adj[u].push_back((int)v - 1);
    }
    std::vector<int> comp;
    reference_sccs(adj, &comp);
    for (int u = 0; u < n; u++)
      for (int v = 0; v < n; v++)
        EXPECT_EQ(comp[u] == comp[v],
                  b->vertex.component[n + u] == b->vertex.component[n + v])
            << "values " << u + 1 << ", " << v + 1;
    compared++;
    split += *std::max_element(comp.begin(), comp.end()) > 0;
  }
  EXPECT_GT(compared, instances / 4);
  EXPECT_GT(split, instances / 20);
}

/* A chain x_i in {i, i+1}, x_n = n over 10^5 values: every variable is forced, and the component
 * search walks the whole chain without recursion, with and without the shortcuts. */
TEST_F(FdAllDistinct, ChainOfAHundredThousandValues)
{
  int n = qx_gc_stress ? 3000 : 100000;
  for (int shortcuts : {0, 1}) {
    fd_value_graph_shortcuts = shortcuts;
    driver dr(api); /* no undo scope: the choicepoint stack grows under it */
    xs.clear();
    for (int i = 1; i <= n; i++)
      ASSERT_EQ(narrow(dr, i - 1, fd_oracle::range(i, i < n ? i + 1 : n)), 1);
    ASSERT_EQ(post_all(dr, 0, "none"), 1) << exception();
    int forced = 0;
    for (int i = 0; i < n; i++) forced += IsSmall(deref(x(i))) && GetSmall(deref(x(i))) == i + 1;
    EXPECT_EQ(forced, n) << "shortcuts " << shortcuts;
  }
}

/* The Parts' edge cases: each row posts over the domains, then narrows variable `then` to
 * `to` (when then >= 0); the domains, the dead count and entailment after each. */
TEST_F(FdAllDistinct, EdgeCases)
{
  auto I = fd_oracle::range;
  const struct {
    std::vector<domain> doms;
    const char *key;
    std::string after_post;
    int then;
    domain to;
    std::string after;
  } rows[] = {
      /* Z becomes 3 and dead; X fixed: Y follows and the constraint is entailed */
      {{I(1, 2), I(1, 2), I(1, 3)}, "dom", "[[1|2]] [[1|2]] [[3|3]] /1/0", 0, I(1, 1),
       "[[1|1]] [[2|2]] [[3|3]] /3/1"},
      {{I(1, 2), I(1, 2), I(1, 2)}, "dom", "failed", -1, {}, ""},
      /* values found by binary search (density 1) */
      {{domain::of({10, 20}), domain::of({10, 20}), domain::of({10, 20, 30})}, "dom",
       "[[10|10],[20|20]] [[10|10],[20|20]] [[30|30]] /1/0", -1, {}, ""},
      /* an inf..sup variable stays outside the kernel and loses only the Hall set's values */
      {{I(1, 2), I(1, 2), I(INF, SUP)}, "dom", "[[1|2]] [[1|2]] [[inf|0],[3|sup]] /0/0", -1, {},
       ""},
      /* wake key none: no daemon, so the later pruning wakes nothing */
      {{I(1, 3), I(1, 3), I(1, 3)}, "none", "[[1|3]] [[1|3]] [[1|3]] /0/0", 0, I(1, 2),
       "[[1|2]] [[1|3]] [[1|3]] /0/0"},
      {{I(1, 3), I(1, 3), I(1, 3)}, "dom", "[[1|3]] [[1|3]] [[1|3]] /0/0", 0, I(1, 1),
       "[[1|1]] [[2|3]] [[2|3]] /1/0"},
      /* fixed at posting: no daemon, still propagated once */
      {{I(1, 1), I(2, 2)}, "dom", "[[1|1]] [[2|2]] /2/1", -1, {}, ""},
      {{I(1, 1), I(1, 1)}, "dom", "failed", -1, {}, ""},
      /* two open values, each open domain of two values one of which is a fixed variable's: not
       * one component (Y = 7 is fixed by the restriction and leaves the graph with its value) */
      {{I(6, 6), I(6, 7), I(7, 8)}, "dom", "[[6|6]] [[7|7]] [[8|8]] /3/1", -1, {}, ""},
      {{}, "dom", "/0/1", -1, {}, ""},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(text(row.doms) + row.key);
    driver dr(api);
    fd_driver::undo_scope undo(w);
    xs.clear();
    for (size_t i = 0; i < row.doms.size(); i++) ASSERT_EQ(narrow(dr, i, row.doms[i]), 1);
    auto seen = [&](int ok) {
      if (ok != 1) return std::string("failed");
      return text(doms()) + "/" + std::to_string(GetSmall(deref(StrArg(state(), 2)))) + "/" +
             std::to_string(entailed());
    };
    EXPECT_EQ(seen(post_all(dr, 0, row.key)), row.after_post) << exception();
    if (row.then >= 0) {
      EXPECT_EQ(seen(narrow(dr, row.then, row.to)), row.after);
    }
  }
}

/* The daemon (Flags 0) leaves the constraint asleep while the changed variable keeps at least as
 * many values as there are live variables; with the circuit flag it always wakes it. A run
 * advances the block's stamp. */
TEST_F(FdAllDistinct, DaemonSkipsChangesThatCannotMatter)
{
  for (int flags : {0, 1}) {
    driver dr(api);
    fd_driver::undo_scope undo(w);
    xs.clear();
    for (int i = 0; i < 3; i++) ASSERT_EQ(narrow(dr, i, fd_oracle::range(1, 5)), 1);
    ASSERT_EQ(post_all(dr, flags), 1);
    long stamp = block()->stamp;
    ASSERT_EQ(narrow(dr, 0, fd_oracle::range(1, 3)), 1); /* 3 values, 3 live variables */
    EXPECT_EQ(block()->stamp != stamp, flags == 1);
    stamp = block()->stamp;
    ASSERT_EQ(narrow(dr, 0, fd_oracle::range(1, 2)), 1);
    EXPECT_NE(block()->stamp, stamp);
  }
}

/* Mutated state terms: the post fails or raises an error from the solver's table, never
 * succeeds. Later calls check the dead counts of the state they get. */
TEST_F(FdAllDistinct, BadStateTerms)
{
  const std::string vars = "'$fd_in_interval'(X, 1, 3, 0), '$fd_in_interval'(Y, 1, 3, 0), "
                           "attr(X, A), attr(Y, B), ";
  const char *states[] = {
      "s([X-A, Y-B], -1, 0, 0, dom, _, 0)",  "s([X-A, Y-B], 3, 0, 0, dom, _, 0)",
      "s([X-A, Y-B], 1, 0, 0, dom, _, 0)",   "s([X-A, Y-B], 0, -1, 0, dom, _, 0)",
      "s([X-A, Y-B], 0, 0, a, dom, _, 0)",   "s([X-A, Y-B], 0, 0, 4, dom, _, 0)",
      "s([X-A, Y-B], 0, 0, 0, 7, _, 0)",     "s([X-A, Y-B], 0, 0, 0, f(x), _, 0)",
      "s([X-A|foo], 0, 0, 0, dom, _, 0)",    "s([X-A|_], 0, 0, 0, dom, _, 0)",
      "s([X, Y], 0, 0, 0, dom, _, 0)",       "s([f(X, A, 1), Y-B], 0, 0, 0, dom, _, 0)",
      "s([X-foo, Y-B], 0, 0, 0, dom, _, 0)", "s(foo, 0, 0, 0, dom, _, 0)",
      "s([X-A, Y-B], 0, 0, 0, dom, _)",      "s([X-A, Y-B], 0, 0, 0, dom, _, x)",
      "s([X-A, Y-B], 0, 0, 0, dom, foo, 0)",
  };
  for (const char *s : states) {
    std::string goal = "catch((" + vars + "S = " + s +
                       ", '$fd_begin', '$fd_post_global'(all_distinct([X,Y]), S, 0, "
                       "all_distinct([X,Y]), [], _), prop, R = ok), E, R = E)";
    int ok = go(goal);
    ASSERT_GE(ok, 0) << goal;
    if (ok == 1) {
      EXPECT_EQ(var("R").rfind("error(", 0), 0u) << s << ": " << var("R");
    }
  }
  /* a later call with its dead counts out of range */
  for (const char *mutate : {"D = -1", "D = 3", "D = a", "D = 0, V = 9"}) {
    std::string goal =
        "catch((" + vars + "'$fd_in_interval'(Z, 1, 3, 0), attr(Z, C), "
        "S = s([X-A, Y-B, Z-C], 0, 0, 0, dom, _, 0), '$fd_begin', "
        "'$fd_post_global'(all_distinct([X,Y,Z]), S, 0, all_distinct([X,Y,Z]), [], G), prop, "
        "state(G, S1), S1 = s(L, _, V0, Fl, K, H, St), " + std::string(mutate) +
        ", ( var(V) -> V = V0 ; true ), "
        "'$fd_dispatch_global_fast'(all_distinct([X,Y,Z]), s(L, D, V, Fl, K, H, St), _, A, G, 1), "
        "( memberchk(exit, A) -> R = entailed ; R = ok )), E, R = E)";
    int ok = go(goal);
    ASSERT_GE(ok, 0) << goal;
    /* a call that continues from the block keeps its own counts: no error, no entailment */
    if (ok == 1) {
      EXPECT_NE(var("R"), "entailed") << mutate;
    }
  }
}

/* N-queens with all_distinct over the rows and both diagonals (q + i and q - i through linear
 * equations): the numbers of solutions. */
TEST_F(FdAllDistinct, QueensCounts)
{
  const std::pair<int, uint64_t> rows[] = {{6, 4}, {8, 92}, {10, 724}};
  for (auto [n, count] : rows) {
    if (qx_gc_stress && n > 8) continue;
    driver dr(api);
    fd_driver::undo_scope undo(w);
    std::vector<int> q;
    for (int i = 0; i < n; i++) q.push_back(dr.new_var(1, n));
    std::vector<std::vector<int>> lines = {q, {}, {}};
    for (int i = 0; i < n; i++)
      for (int sign : {1, -1}) {
        int y = dr.new_var(1 + sign * i, n + sign * i);
        ASSERT_EQ(dr.post_linear({{1, q[i]}, {-1, y}}, 3, -sign * i), 1);
        lines[sign == 1 ? 1 : 2].push_back(y);
      }
    for (const auto &line : lines)
      ASSERT_EQ(post(dr, line.size(), [&](size_t k) { return dr.term(line[k]); }, 0, "dom"), 1)
          << exception();
    fd_driver::counts c;
    ASSERT_EQ(dr.search(q, {}, [](driver &) { return true; }, &c), 1) << exception();
    EXPECT_EQ(c.solutions, count) << n << " queens";
  }
}
