/* all_different, pairing and circuit through the shared checker, each against the oracle and
 * against the fixpoint of its rule on fixed values; the edge cases as table rows; the entry
 * protocol's lifecycle; N-queens and circuit counts; the single-circuit check against a search
 * for a Hamiltonian circuit. */
#include "fd_harness.h"
#include "fd_models.h"

namespace {

using namespace fd_harness;
using fd_harness::instance;
using fd_oracle::range;

enum which { ALL_DIFFERENT, PAIRING, CIRCUIT };

/* Removes each fixed value from the other domains of vars first..first+count-1: false on a
 * duplicate or an emptied domain; *changed when a domain shrank. */
bool eliminate(std::vector<domain> &d, size_t first, size_t count, bool *changed)
{
  for (size_t i = first; i < first + count; i++) {
    if (!d[i].fixed()) continue;
    for (size_t j = first; j < first + count; j++) {
      if (j == i || !d[j].contains(d[i].min())) continue;
      if (d[j].fixed()) return false;
      d[j] = fd_harness::without(d[j], d[i].min());
      *changed = true;
    }
  }
  return true;
}

/* Narrows d[i] to dom: false when empty. */
bool narrow(std::vector<domain> &d, size_t i, const domain &dom, bool *changed)
{
  domain x = fd_harness::meet(d[i], dom);
  if (x.empty()) return false;
  if (!(x == d[i])) d[i] = x, *changed = true;
  return true;
}

/* The paths of the fixed successor edges: sub-tours fail, a path's end may not return to its
 * start unless the path holds every node, then it must. */
bool circuit_paths(std::vector<domain> &d, bool *changed)
{
  int n = (int)d.size();
  std::vector<int> succ(n, -1), pred(n, -1);
  for (int i = 0; i < n; i++)
    if (d[i].fixed()) {
      int s = (int)d[i].min() - 1;
      if (pred[s] >= 0) return false;
      pred[s] = i, succ[i] = s;
    }
  int reached = 0, heads = 0;
  for (int h = 0; h < n; h++) {
    if (pred[h] >= 0) continue;
    int t = h, len = 1;
    heads++;
    while (succ[t] >= 0) t = succ[t], len++;
    reached += len;
    if (t == h) continue;
    domain back = range(h + 1, h + 1);
    if (!narrow(d, t, len == n ? back : fd_harness::without(d[t], h + 1), changed)) return false;
  }
  if (heads > 0) return reached == n; /* the other nodes lie on cycles */
  int len = 1;
  for (int t = succ[0]; t != 0; t = succ[t]) len++;
  return len == n;
}

/* The fixpoint of the rule on fixed values. */
bool rule(which k, std::vector<domain> &d)
{
  size_t n = d.size();
  for (bool changed = true; changed;) {
    changed = false;
    if (k == ALL_DIFFERENT) {
      if (!eliminate(d, 0, n, &changed)) return false;
      continue;
    }
    int m = k == PAIRING ? (int)n / 2 : (int)n;
    for (size_t i = 0; i < n; i++)
      if (!narrow(d, i, range(1, m), &changed)) return false;
    if (k == CIRCUIT) {
      if (!circuit_paths(d, &changed)) return false;
      continue;
    }
    for (int i = 0; i < 2 * m; i++)
      if (d[i].fixed() &&
          !narrow(d, (i < m ? m : 0) + d[i].min() - 1, range(i % m + 1, i % m + 1), &changed))
        return false;
    if (!eliminate(d, 0, m, &changed) || !eliminate(d, m, m, &changed)) return false;
  }
  return true;
}

bool sat(which k, const tuple &t)
{
  int n = (int)t.size(), m = k == PAIRING ? n / 2 : n;
  for (int64_t v : t)
    if (k != ALL_DIFFERENT && (v < 1 || v > m)) return false;
  if (k == PAIRING) {
    for (int i = 0; i < m; i++)
      for (int j = 0; j < m; j++)
        if ((t[i] == j + 1) != (t[m + j] == i + 1)) return false;
  } else if (!fd_harness::pairwise_distinct(t, (size_t)n)) {
    return false;
  }
  if (k != CIRCUIT) return true;
  int len = 1;
  for (int64_t x = t[0] - 1; x != 0; x = t[x] - 1) len++;
  return len == n;
}

driver::posting posting(which k, const std::vector<int> &v)
{
  static const char *keys[] = {"all_different", "pairing", "circuit"};
  std::vector<int> xs = v, ys;
  if (k == PAIRING) {
    xs.assign(v.begin(), v.begin() + v.size() / 2);
    ys.assign(v.begin() + v.size() / 2, v.end());
  }
  driver::posting p = fd_models::distinct(keys[k], xs);
  if (k == PAIRING) {
    p.constraint.push_back(driver::t_entries(ys));
    p.state = {p.state[0], driver::t_entries(ys), driver::t_int(0)};
  }
  return p;
}

row value_row(which k)
{
  static const char *names[] = {"all_different", "pairing", "circuit"};
  row r;
  r.name = names[k];
  r.generate = [k](fd_harness::rng &g) {
    instance in;
    int m = k == PAIRING ? 1 + g.below(3) : 1 + g.below(5), n = k == PAIRING ? 2 * m : m;
    for (int i = 0; i < n; i++)
      in.doms.push_back(g.below(4) == 0 ? range(1 + g.below(m), 1 + g.below(m)).within(1, m)
                                        : fd_harness::random_domain(g, 0, m + 1, 35));
    for (domain &d : in.doms)
      if (d.empty()) d = range(1, 1);
    return in;
  };
  r.sat = [k](const instance &, const tuple &t) { return sat(k, t); };
  r.rule = [k](const instance &, std::vector<domain> &d) { return rule(k, d); };
  r.posting = [k](const instance &, const std::vector<int> &v) { return posting(k, v); };
  /* the variables wake on any change instead of on fixing only */
  r.variants = {0, 1};
  auto posted = r.posting;
  r.posting = [posted](const instance &in, const std::vector<int> &v) {
    driver::posting p = posted(in, v);
    if (in.variant == 1) p.susp = "dom";
    return p;
  };
  int nd = k == PAIRING ? 2 : 1; /* NDead's position */
  auto arg = [](int a, driver::tmpl t) { return [a, t](driver::posting &p) { p.state[a] = t; }; };
  r.mutations = {
      {"NDead negative", arg(nd, driver::t_int(-1))},
      {"NDead above n", arg(nd, driver::t_int(99))},
      {"NDead an atom", arg(nd, driver::t_atom("none"))},
      {"NDead a structure", arg(nd, driver::t_struct("f", {driver::t_int(0)}))},
      {"an entry an integer", set_sub(0, 0, driver::t_int(1))},
      {"an entry of one argument",
       set_sub(0, 0, driver::t_struct("e", {driver::t_int(1)}))},
      {"an improper list",
       [](driver::posting &p) {
         p.state[0] = driver::t_improper(p.state[0].args, driver::t_int(7));
       }},
      {"a list that is an atom", arg(0, driver::t_atom("xs"))},
      {"an extra argument", [](driver::posting &p) { p.state.push_back(driver::t_int(0)); }},
  };
  if (k == PAIRING)
    r.mutations.push_back(
        {"lists of different lengths", [](driver::posting &p) { p.state[1].args.pop_back(); }});
  r.instances = 100;
  return r;
}

class FdAllDifferent : public fd_harness::FdHarness {
protected:
  /* Runs the last posted global once by its native entry, outside the propagation loop: its
   * actions, written. */
  std::string run_once(driver &d)
  {
    QX_term_ref r = QX_new_term_refs(4);
    fd_ref_put(api, r, d.last_global());
    for (int k = 1; k < 4; k++) QX_put_variable(r + k);
    TAGGED g = d.last_global();
    EXPECT_EQ(d.call(d.n.begin, {}), 1);
    EXPECT_EQ(d.call(d.n.dispatch_fast,
                     {deref(StrArg(g, FD_GLOBAL_CONSTRAINT)),
                      fd_mutable_value(StrArg(g, FD_GLOBAL_STATE)), fd_ref_get(api, r + 1),
                      fd_ref_get(api, r + 2), g, fd_ref_get(api, r + 3)}),
              1)
        << exception();
    return fd_harness::written(fd_ref_get(api, r + 2));
  }
};

TEST_F(FdAllDifferent, AllDifferentHasEveryProperty) { check_row(value_row(ALL_DIFFERENT)); }
TEST_F(FdAllDifferent, PairingHasEveryProperty) { check_row(value_row(PAIRING)); }
/* circuit's prunings depend on the order of the merges (a path's end loses the start of the
 * path at each merge): a fresh post may prune more than the walk, and the entry more than the
 * rule. After each step of the walks the paths in the block are those of the fixed edges. */
TEST_F(FdAllDifferent, CircuitHasEveryProperty)
{
  row r = value_row(CIRCUIT);
  r.fresh = false;
  r.rule_exact = false;
  int checked = 0;
  r.at_fixpoint = [&](driver &d, const std::vector<int> &) {
    TAGGED state = fd_mutable_value(StrArg(d.last_global(), FD_GLOBAL_STATE));
    if (fd_dead(d.last_global())) return;
    int agree = fd_circuit_paths_agree(fd()->gdata, GetSmall(deref(StrArg(state, 2))));
    EXPECT_NE(agree, 0) << "head and tail differ from the paths of the fixed successors";
    checked += agree == 1;
  };
  check_row(r);
  EXPECT_GT(checked, scaled(100));
}

/* The edge cases and out-of-range values (pairing and circuit restrict to 1..n): the outcome,
 * the entailment and the domains at the fixpoint. */
TEST_F(FdAllDifferent, EdgeCases)
{
  auto fixed = [](int64_t v) { return range(v, v); };
  const domain r13 = range(1, 3);
  struct {
    which k;
    std::vector<domain> doms;
    int outcome;
    bool entailed;
    std::string after;
  } cases[] = {
      {ALL_DIFFERENT, {}, 1, true, ""},
      {ALL_DIFFERENT, {fixed(3), fixed(3), range(1, 5)}, 0, false, ""},
      {ALL_DIFFERENT, {fixed(2), r13, range(2, 4)}, 1, false, "[[2|2]][[1|1],[3|3]][[3|4]]"},
      {ALL_DIFFERENT, {fixed(2), fixed(1), fixed(3)}, 1, true, "[[2|2]][[1|1]][[3|3]]"},
      {PAIRING,
       {fixed(2), r13, r13, r13, r13, r13},
       1,
       false,
       "[[2|2]][[1|1],[3|3]][[1|1],[3|3]][[2|3]][[1|1]][[2|3]]"},
      {PAIRING, {fixed(2), r13, r13, r13, fixed(3), r13}, 0, false, ""},
      {PAIRING, {fixed(5), r13, r13, r13, r13, r13}, 0, false, ""},
      {PAIRING,
       {range(0, 9), range(-5, 2), fixed(3), r13, r13, r13},
       1,
       false,
       "[[1|2]][[1|2]][[3|3]][[1|2]][[1|2]][[3|3]]"},
      {CIRCUIT, {fixed(2), r13, r13}, 1, false, "[[2|2]][[2|3]][[1|3]]"},
      {CIRCUIT, {fixed(2), fixed(3), r13}, 1, true, "[[2|2]][[3|3]][[1|1]]"},
      {CIRCUIT, {range(0, 9), range(-4, 1), fixed(2)}, 1, true, "[[3|3]][[1|1]][[2|2]]"},
      {CIRCUIT, {fixed(4), r13, r13}, 0, false, ""},
      {CIRCUIT, {fixed(1)}, 1, true, "[[1|1]]"},
      {CIRCUIT, {fixed(1), fixed(2)}, 0, false, ""}, /* two self-loops */
  };
  for (size_t c = 0; c < std::size(cases); c++) {
    SCOPED_TRACE(c);
    fd_harness::result res = run(value_row(cases[c].k), instance{cases[c].doms});
    EXPECT_EQ(res.outcome, cases[c].outcome);
    EXPECT_EQ(res.entailed, cases[c].entailed);
    std::string text;
    for (const domain &x : res.doms) text += x.text();
    if (res.outcome == 1) {
      EXPECT_EQ(text, cases[c].after);
    }
  }
}

/* Two fixed successors naming one node in one call fail: the second merge would read the tail
 * of a node that heads no path. After the backtrack the paths are as before: a later fixing
 * prunes as a fresh post does. */
TEST_F(FdAllDifferent, CircuitFailsTwoEdgesIntoOneNode)
{
  row r = value_row(CIRCUIT);
  instance in{{range(1, 4), range(1, 4), range(1, 4), range(1, 4)}};
  driver d(api);
  fd_undo_scope undo(w, QX_ALT_FAILCODE);
  std::vector<int> v = make_vars(d, in.doms);
  ASSERT_EQ(d.post_state(posting(CIRCUIT, v)), 1);
  {
    fd_undo_scope branch(w, QX_ALT_FAILCODE);
    for (int x : {v[0], v[1]})
      ASSERT_EQ(d.call(d.n.in_interval, {d.term(x), MakeSmall(3), MakeSmall(3), MakeSmall(1)}), 1);
    EXPECT_EQ(d.propagate(), 0);
  }
  std::vector<domain> before = domains(d, v);
  before[0] = range(2, 2);
  ASSERT_EQ(d.bind(v[0], 2, fd_driver::binding::in_interval), 1);
  fd_harness::result now = read(d, v, 1);
  check_fresh(d, r, in, before, now);
  EXPECT_EQ(now.doms[1].text(), "[[2|4]]");
}

/* The fixed test of pairing and circuit, and the channelling sweep of all_distinct and
 * assignment, rely on the views of dvar_init: a fixed variable read and untouched has exactly
 * the flags fixed, set current and one interval, with no change bit; whether its domain was
 * given as a set or as an interval. */
TEST_F(FdAllDifferent, ViewFlagsOfDvarInit)
{
  driver d(api);
  fd_undo_scope undo(w, QX_ALT_FAILCODE);
  const struct {
    std::vector<std::pair<int32_t, int32_t>> ranges;
    uint32_t flags;
  } rows[] = {{{{4, 4}}, DV_FIXED | DV_SET_CURRENT | DV_INTERVAL},
              {{{1, 5}}, DV_SET_CURRENT | DV_INTERVAL},
              {{{1, 2}, {5, 6}}, DV_SET_CURRENT}};
  QX_term_ref refs = QX_new_term_refs(2);
  for (const auto &row : rows)
  for (bool as_interval : {false, true}) {
    if (as_interval && row.ranges.size() > 1) continue;
    SCOPED_TRACE(as_interval ? "in_interval" : "in_set");
    int x = as_interval ? d.new_var(row.ranges[0].first, row.ranges[0].second)
                        : d.new_var_ranges(row.ranges);
    fd_ref_put(api, refs + 1, d.term(x));
    QX_put_variable(refs);
    ASSERT_EQ(d.call(d.n.arg_attribute, {d.term(x), MakeSmall(0), fd_ref_get(api, refs)}), 1);
    dvar v;
    dvar_init(&v, fd_ref_slot(api, refs), fd_ref_slot(api, refs + 1));
    EXPECT_EQ(v.flags, row.flags);
  }
}

/* The protocol's lifecycle on all_different's block: a failing call exports nothing and conses
 * fail; a constraint entailed in a branch made after its creation keeps its block, and after
 * the backtrack propagates again from it; backtracking over the creation destroys the block
 * once, entailed later or not; a post on fixed variables runs once and keeps no block. */
TEST_F(FdAllDifferent, EntryLifecycle)
{
  driver d(api);
  uint64_t made = fd_entry_blocks_made, destroyed = fd_entry_blocks_destroyed;
  {
    fd_undo_scope undo(w, QX_ALT_FAILCODE);
    std::vector<int> v =
        make_vars(d, {domain::of({1, 2, 5}), range(1, 2), range(1, 2), range(1, 3)});
    ASSERT_EQ(d.post_state(posting(ALL_DIFFERENT, v)), 1);
    EXPECT_EQ(fd_entry_blocks_made, made + 1);
    {
      fd_undo_scope branch(w, QX_ALT_FAILCODE);
      for (auto [x, value] : {std::pair{v[2], 1}, std::pair{v[3], 2}})
        ASSERT_EQ(
            d.call(d.n.in_interval, {d.term(x), MakeSmall(value), MakeSmall(value), MakeSmall(1)}),
            1);
      /* the first view loses 1 and 2, the second empties: nothing is told */
      EXPECT_EQ(run_once(d), "[fail|[]]");
      EXPECT_EQ(domains(d, v)[0].text(), "[[1|2],[5|5]]");
    }
    {
      fd_undo_scope branch(w, QX_ALT_FAILCODE);
      ASSERT_EQ(d.bind(v[0], 5, fd_driver::binding::in_interval), 1);
      ASSERT_EQ(d.bind(v[1], 1, fd_driver::binding::in_interval), 1);
      EXPECT_TRUE(fd_dead(d.last_global()));
      EXPECT_EQ(fd_entry_blocks_destroyed, destroyed); /* older choicepoints still see it */
    }
    EXPECT_FALSE(fd_dead(d.last_global()));
    ASSERT_EQ(d.bind(v[2], 2, fd_driver::binding::in_interval), 1);
    EXPECT_EQ(domains(d, v)[3].text(), "[[3|3]]");
    EXPECT_EQ(fd_entry_blocks_made, made + 1);
  }
  EXPECT_EQ(fd_entry_blocks_destroyed, destroyed + 1);
  uint64_t live = fd_entry_blocks_made - fd_entry_blocks_destroyed;
  {
    fd_undo_scope undo(w, QX_ALT_FAILCODE);
    std::vector<int> v = make_vars(d, {range(1, 1), range(2, 2)});
    uint32_t runs = fd()->resumptions;
    ASSERT_EQ(d.post_state(posting(ALL_DIFFERENT, v)), 1);
    EXPECT_EQ(fd()->resumptions, runs + 1);
    EXPECT_TRUE(fd_dead(d.last_global()));
    EXPECT_EQ(fd_entry_blocks_made - fd_entry_blocks_destroyed, live);
  }
}

/* N-queens with all_different over the rows and both diagonals: all solutions, in order,
 * smallest value. */
TEST_F(FdAllDifferent, QueensCounts)
{
  struct row {
    const char *key, *wake;
    int largest; /* the largest board counted; under stress only the smallest */
  };
  const row rows[] = {{"all_different", "minmax", 11},
                      {"all_distinct", "minmax", 10},
                      {"bc_alldiff", "val", 10},
                      {"bc_alldiff", "minmax", 8}};
  for (const row &r : rows)
    for (auto [n, count] : {std::pair{6, 4}, {8, 92}, {10, 724}, {11, 2680}}) {
      if (n > (qx_gc_stress ? 6 : r.largest)) continue;
      SCOPED_TRACE(std::string(r.key) + " " + r.wake + " n = " + std::to_string(n));
      driver d(api);
      fd_undo_scope undo(w, QX_ALT_FAILCODE);
      ASSERT_TRUE(fd_models::queens_distinct(d, n, r.key, r.wake)) << exception() << d.error();
      std::vector<int> q;
      for (int i = 0; i < n; i++) q.push_back(i);
      fd_driver::counts c;
      ASSERT_EQ(d.search(q, {}, [](driver &) { return true; }, &c), 1) << exception();
      EXPECT_EQ(c.solutions, (uint64_t)count);
    }
}

/* Every circuit of n nodes, (n-1)! of them, with circuit and all_different over the successors
 * (no self-loops). */
TEST_F(FdAllDifferent, CircuitCounts)
{
  for (auto [n, count] : {std::pair{5, 24}, {6, 120}, {7, 720}})
  for (const char *key : {"all_different", "all_distinct"}) {
    if (qx_gc_stress && n > 5) continue;
    SCOPED_TRACE(key);
    driver d(api);
    fd_undo_scope undo(w, QX_ALT_FAILCODE);
    std::vector<int> v;
    for (int i = 1; i <= n; i++) {
      std::vector<int32_t> values;
      for (int j = 1; j <= n; j++)
        if (j != i) values.push_back(j);
      v.push_back(d.new_var_in(values));
    }
    ASSERT_EQ(d.post_state(posting(CIRCUIT, v)), 1);
    ASSERT_EQ(d.post_state(fd_models::distinct(key, v)), 1);
    fd_driver::counts c;
    ASSERT_EQ(d.search(
                  v, {}, [](driver &) { return true; }, &c),
              1)
        << exception();
    EXPECT_EQ(c.solutions, (uint64_t)count) << n;
  }
}

/* A Hamiltonian circuit of successor domains by search: succ[i] the domain of node i. */
bool hamiltonian(const std::vector<std::vector<int>> &succ)
{
  int n = (int)succ.size();
  std::vector<bool> used(n, false);
  std::function<bool(int, int)> go = [&](int x, int depth) {
    for (int v : succ[x]) {
      int y = v - 1;
      if (y == 0 && depth == n) return true;
      if (y < 0 || y >= n || used[y]) continue;
      used[y] = true;
      if (go(y, depth + 1)) return true;
      used[y] = false;
    }
    return false;
  };
  used[0] = true;
  return go(0, 1);
}

/* The check never answers 0 where a circuit exists; 0 on two triangles (nodes 1-3 and 4-6). */
TEST_F(FdAllDifferent, SingleCircuitCheckAgreesWithSearch)
{
  fd_harness::rng g{36};
  int zeros = 0, rounds = qx_gc_stress ? 200 : 2000;
  for (int k = 0; k <= rounds; k++) {
    int n = k == rounds ? 6 : 2 + g.below(7);
    std::vector<std::vector<int>> succ(n);
    for (int i = 0; i < n; i++) {
      int density = 20 + g.below(60);
      if (k == rounds)
        succ[i] = i < 3 ? std::vector<int>{1 + (i + 1) % 3, 1 + (i + 2) % 3}
                        : std::vector<int>{4 + (i + 1) % 3, 4 + (i + 2) % 3};
      else if (g.below(4) == 0)
        succ[i] = {1 + g.below(n)};
      else
        for (int v = 1; v <= n; v++)
          if (v != i + 1 && g.below(100) < density) succ[i].push_back(v);
      if (succ[i].empty()) succ[i] = {1 + g.below(n)};
    }
    driver d(api);
    fd_undo_scope undo(w, QX_ALT_FAILCODE);
    QX_term_ref refs = QX_new_term_refs(2 * n);
    std::vector<dvar> dv(n);
    std::vector<int> target, dead;
    for (int i = 0; i < n; i++) {
      int x = d.new_var_in(std::vector<int32_t>(succ[i].begin(), succ[i].end()));
      fd_ref_put(api, refs + 2 * i + 1, d.term(x));
      QX_put_variable(refs + 2 * i);
      ASSERT_EQ(d.call(d.n.arg_attribute, {d.term(x), MakeSmall(0), fd_ref_get(api, refs + 2 * i)}),
                1);
      (succ[i].size() == 1 ? dead : target).push_back(i);
    }
    /* views hold heap words: loaded once the variables are made, as those calls may collect */
    for (int i = 0; i < n; i++)
      dvar_init(&dv[i], fd_ref_slot(api, refs + 2 * i), fd_ref_slot(api, refs + 2 * i + 1));
    int live = (int)target.size();
    target.insert(target.end(), dead.begin(), dead.end());
    std::vector<int> head(n), tail(n), visited(n, -1), stack(3 * n); /* dead entries stay */
    int r = fd_single_circuit(dv.data(), target.data(), live, live, n, head.data(), tail.data(),
                              visited.data(), stack.data());
    zeros += r == 0;
    if (k == rounds) {
      EXPECT_EQ(r, 0) << "two triangles";
    } else if (hamiltonian(succ)) {
      std::string text;
      for (auto &s : succ) {
        text += "[";
        for (int v : s) text += std::to_string(v) + " ";
        text += "]";
      }
      EXPECT_EQ(r, 1) << "instance " << k << ": a circuit exists " << text;
    }
  }
  EXPECT_GT(zeros, rounds / 40); /* graphs without circuits are found too */
}

}  // namespace
