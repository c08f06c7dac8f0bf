/* case/4: random decision DAGs (ordered, skipping positions, or not ordered) against an oracle
 * that walks the DAG on a full tuple; the edge cases and the faults as rows; mutated states. */
#include "fd_harness.h"

namespace {

using fd_harness::driver;
using fd_harness::instance;
using fd_harness::level;
using fd_harness::row;
using fd_harness::tuple;
using fd_oracle::domain;
using fd_oracle::INF;
using fd_oracle::SUP;

/* A DAG as instance data: nvars, nrows, nnodes, then per node its position and branch count,
 * then per branch lo, hi and next (-1 accepting). */
struct dag {
  int nvars, nrows;
  struct branch {
    int64_t lo, hi;
    int next;
  };
  std::vector<int> pos;
  std::vector<std::vector<branch>> br;
  std::vector<int64_t> encode() const
  {
    std::vector<int64_t> d = {nvars, nrows, (int64_t)pos.size()};
    for (size_t n = 0; n < pos.size(); n++) {
      d.push_back(pos[n]);
      d.push_back((int64_t)br[n].size());
      for (const branch &b : br[n]) d.insert(d.end(), {b.lo, b.hi, b.next});
    }
    return d;
  }
  static dag decode(const std::vector<int64_t> &d)
  {
    dag g{(int)d[0], (int)d[1], {}, {}};
    size_t k = 3;
    for (int64_t n = 0; n < d[2]; n++) {
      g.pos.push_back((int)d[k]);
      int nb = (int)d[k + 1];
      k += 2;
      g.br.emplace_back();
      for (int b = 0; b < nb; b++, k += 3) g.br.back().push_back({d[k], d[k + 1], (int)d[k + 2]});
    }
    return g;
  }
  /* Whether an accepting path from n agrees with every position it tests. */
  bool allows(int n, const int64_t *t) const
  {
    for (const branch &b : br[n])
      if (b.lo <= t[pos[n]] && t[pos[n]] <= b.hi && (b.next < 0 || allows(b.next, t))) return true;
    return false;
  }
};

/* Nodes point only to later nodes (acyclic), whose positions come later in a random order of
 * the positions (so no path tests a position twice, and some skip positions): ordered DAGs
 * take the positions' own order. vars to vars + 1 positions, 1 to nodes nodes. */
dag random_dag(fd_harness::rng &g, bool ordered, int vars = 2, int nodes = 5)
{
  dag d{vars + g.below(2), 1 + g.below(2), {}, {}};
  std::vector<int> order(d.nvars), rank; /* order[k]: the position of rank k */
  for (int i = 0; i < d.nvars; i++) order[i] = i;
  if (!ordered)
    for (int i = d.nvars - 1; i > 0; i--) std::swap(order[i], order[g.below(i + 1)]);
  int nnodes = 1 + g.below(nodes);
  for (int n = 0; n < nnodes; n++) {
    rank.push_back(std::min(d.nvars - 1, n == 0 ? g.below(2) : rank[n - 1] + g.below(2)));
    d.pos.push_back(order[rank[n]]);
  }
  for (int n = 0; n < nnodes; n++) {
    d.br.emplace_back();
    int64_t at = -1 - g.below(2);
    while (at <= 4) {
      int64_t lo = at, hi = at + g.below(3);
      if (g.below(3) == 0) {
        std::vector<int> later;
        for (int m = n + 1; m < nnodes; m++)
          if (rank[m] > rank[n]) later.push_back(m);
        int next = later.empty() || g.below(3) == 0 ? -1 : later[g.below((int)later.size())];
        d.br.back().push_back({lo == -2 ? INF : lo, hi > 4 ? SUP : hi, next});
      }
      at = hi + 1 + g.below(2);
    }
    if (d.br.back().empty()) d.br.back().push_back({0, 1, -1});
  }
  return d;
}

/* Wake and prune kinds per variant: dom/dom, minmax/minmax, val/val, dom/none. */
const char *const WAKE[] = {"dom", "minmax", "val", "dom"};
const char *const PRUNE[] = {"dom", "minmax", "val", "none"};

driver::tmpl bound(int64_t v)
{
  return v == INF ? driver::t_atom("inf") : v == SUP ? driver::t_atom("sup") : driver::t_int(v);
}

/* Templates of n arguments, moved in (an initializer list would copy each: chains of 10^5
 * nodes are built here). */
template <class... T>
std::vector<driver::tmpl> args(T &&...t)
{
  std::vector<driver::tmpl> a;
  a.reserve(sizeof...(t));
  (a.push_back(std::forward<T>(t)), ...);
  return a;
}

driver::posting case_posting(const instance &in, const std::vector<int> &vars)
{
  dag g = dag::decode(in.data);
  std::vector<driver::tmpl> rows, nodes, wake, prune, cvars;
  for (int r = 0; r < g.nrows; r++) {
    std::vector<int> xs(vars.begin() + r * g.nvars, vars.begin() + (r + 1) * g.nvars);
    rows.push_back(driver::t_entries(xs));
    for (int x : xs) cvars.push_back(driver::t_var(x));
  }
  int children = 0;
  for (size_t n = 0; n < g.pos.size(); n++) {
    std::vector<driver::tmpl> brs;
    for (const dag::branch &b : g.br[n])
      brs.push_back(driver::t_struct(
          "b", args(driver::t_struct("i", args(bound(b.lo), bound(b.hi))),
                    b.next < 0 ? driver::t_atom("true") : driver::t_int(b.next))));
    children += (int)brs.size();
    nodes.push_back(driver::t_struct("node", args(driver::t_int((int64_t)n), driver::t_int(g.pos[n]),
                                                  driver::t_int(0), driver::t_list(std::move(brs)))));
  }
  for (int i = 0; i < g.nvars; i++) {
    wake.push_back(driver::t_atom(WAKE[in.variant]));
    prune.push_back(driver::t_atom(PRUNE[in.variant]));
  }
  driver::tmpl posting = driver::t_struct(
      "case_posting", args(driver::t_int(g.nvars), driver::t_int((int64_t)g.pos.size()),
                           driver::t_int(children), driver::t_list(std::move(rows)),
                           driver::t_list(std::move(nodes)), driver::t_list(std::move(wake)),
                           driver::t_list(std::move(prune))));
  driver::tmpl none = driver::t_atom("[]");
  driver::posting p{"case", args(driver::t_list(std::move(cvars)), none, none, none),
                    args(std::move(posting), driver::t_int(g.nrows))};
  p.susp = "";
  return p;
}

bool case_sat(const instance &in, const tuple &t)
{
  static std::vector<int64_t> data; /* the DAG decoded last: the oracle asks per tuple */
  static dag g;
  if (in.data != data) data = in.data, g = dag::decode(data);
  for (int r = 0; r < g.nrows; r++)
    if (!g.allows(0, t.data() + r * g.nvars)) return false;
  return true;
}

/* The posting data's parts, for mutations: the nodes list, the root's branches. */
driver::tmpl &arg(driver::posting &p, int k) { return p.state[0].args[k]; }
driver::tmpl &root_branches(driver::posting &p) { return arg(p, 4).args[0].args[3]; }

/* vars and nodes as random_dag's; one row over domains within 0..3 keeps the oracle's
 * enumeration small for larger DAGs. */
row case_row(int vars = 2, int nodes = 5, bool one_row = false)
{
  row r;
  r.name = "case";
  r.generate = [vars, nodes, one_row](fd_harness::rng &g) {
    instance in;
    dag d = random_dag(g, g.below(3) != 0, vars, nodes);
    if (one_row) d.nrows = 1;
    in.data = d.encode();
    for (int i = 0; i < d.nvars * d.nrows; i++)
      in.doms.push_back(fd_harness::random_domain(g, 0, one_row ? 3 : 3 + g.below(2), 25));
    return in;
  };
  r.sat = case_sat;
  r.posting = case_posting;
  r.claimed = level::domain;
  r.variants = {0, 1, 2, 3};
  r.mutations = {
      {"nvars not the rows' length", [](driver::posting &p) { arg(p, 0) = driver::t_int(7); }},
      {"a row one entry short", [](driver::posting &p) { arg(p, 3).args[0].args.pop_back(); }},
      {"rows left above the rows", [](driver::posting &p) { p.state[1] = driver::t_int(9); }},
      {"a tested position out of range",
       [](driver::posting &p) { arg(p, 4).args[0].args[1] = driver::t_int(5); }},
      {"a next node out of range",
       [](driver::posting &p) { root_branches(p).args[0].args[1] = driver::t_int(40); }},
      {"a cycle", [](driver::posting &p) { root_branches(p).args[0].args[1] = driver::t_int(0); }},
      {"overlapping branches",
       [](driver::posting &p) {
         root_branches(p).args.push_back(root_branches(p).args[0]);
         arg(p, 2).v++;
       }},
      {"a branch count off", [](driver::posting &p) { arg(p, 2).v++; }},
      {"a kind not an atom",
       [](driver::posting &p) { arg(p, 6).args[0] = driver::t_int(1); }},
  };
  r.instances = 70;
  r.window = 5;
  return r;
}

/* Rows over a chain of variables: row r takes the variables from stride * r on (the stride, 1
 * or 2, is the last word of the data), so that neighbouring rows share some. */
std::vector<int> chained(const instance &in, const std::vector<int> &vars)
{
  dag g = dag::decode(in.data);
  int stride = (int)in.data.back();
  std::vector<int> rows;
  for (int r = 0; r < g.nrows; r++)
    for (int i = 0; i < g.nvars; i++) rows.push_back(vars[(size_t)(stride * r + i)]);
  return rows;
}

row shared_row()
{
  row r = case_row();
  r.name = "case_shared";
  r.generate = [](fd_harness::rng &g) {
    instance in;
    dag d = random_dag(g, true);
    d.nrows = 2 + g.below(2);
    int stride = 1 + g.below(2);
    in.data = d.encode();
    in.data.push_back(stride);
    for (int i = 0; i < stride * (d.nrows - 1) + d.nvars; i++)
      in.doms.push_back(fd_harness::random_domain(g, 0, 3 + g.below(2), 25));
    return in;
  };
  r.sat = [](const instance &in, const tuple &t) {
    std::vector<int> index(t.size());
    for (size_t k = 0; k < t.size(); k++) index[k] = (int)k;
    tuple rows;
    for (int k : chained(in, index)) rows.push_back(t[(size_t)k]);
    return case_sat(in, rows);
  };
  r.posting = [](const instance &in, const std::vector<int> &vars) {
    return case_posting(in, chained(in, vars));
  };
  r.claimed = level::none; /* domain consistency per row, not over the chain */
  r.mutations.clear();
  r.instances = 40;
  return r;
}

class Case : public fd_harness::FdHarness {
protected:
  ~Case() override { fd_case_caches = 1; }
};

TEST_F(Case, EveryPropertyOnRandomDags) { check_row(case_row()); }

/* Deeper DAGs, more nodes than positions (several nodes per position, shared below): the
 * explicit stacks, the memo of settled nodes and the caches along longer walks. */
TEST_F(Case, EveryPropertyOnLargerDags)
{
  row rw = case_row(4, 20, true);
  rw.name = "case_larger";
  rw.instances = 60;
  rw.steps = 25;
  rw.mutations.clear(); /* the small DAGs' */
  check_row(rw);
}
TEST_F(Case, EveryPropertyOnRowsSharingVariables) { check_row(shared_row()); }

/* Without the date cache and the false-node set every row is evaluated from scratch: the walks
 * reach the same (domain consistent) domains, mutables and outcomes at every step. */
TEST_F(Case, WalksAgreeWithoutTheCaches)
{
  row rw = case_row();
  rw.instances = 30;
  fd_case_caches = 0;
  check_row(rw);
}

instance on(const dag &g, std::vector<domain> doms, int variant = 0)
{
  instance in;
  in.data = g.encode();
  in.doms = std::move(doms);
  in.variant = variant;
  return in;
}

std::string texts(const fd_harness::result &r)
{
  if (r.outcome != 1) return "fail";
  std::string s;
  for (const domain &x : r.doms) s += x.text() + " ";
  return s;
}

using fd_oracle::range;

TEST_F(Case, EdgeCases)
{
  row rw = case_row();
  /* position 1 is skipped by the path X0 = 0: it keeps every value */
  dag skip{2, 1, {0, 1}, {{{0, 0, -1}, {1, 1, 1}}, {{0, 0, -1}}}};
  EXPECT_EQ(texts(run(rw, on(skip, {range(0, 1), range(0, 2)}))), "[[0|1]] [[0|2]] ");
  EXPECT_EQ(texts(run(rw, on(skip, {range(1, 1), range(0, 2)}))), "[[1|1]] [[0|0]] ");
  /* branches reaching inf and sup */
  dag open{1, 1, {0}, {{{INF, -5, -1}, {5, SUP, -1}}}};
  EXPECT_EQ(texts(run(rw, on(open, {range(INF, SUP)}))), "[[inf|-5],[5|sup]] ");
  EXPECT_EQ(texts(run(rw, on(open, {range(-4, 4)}))), "fail");
  /* val pruning: several supported values leave the variable, one fixes it */
  dag two{1, 1, {0}, {{{1, 1, -1}, {3, 3, -1}}}};
  EXPECT_EQ(texts(run(rw, on(two, {range(0, 4)}, 2))), "[[0|4]] ");
  EXPECT_EQ(texts(run(rw, on(two, {range(2, 4)}, 2))), "[[3|3]] ");
  EXPECT_EQ(texts(run(rw, on(two, {range(0, 4)}, 1))), "[[1|3]] ");
  /* a path that tests a position twice: the definition checks each test against the domain on its
   * own, so X0 in 1..2 passes 2..4 and then 0..1 although no value passes both (with X0 fixed
   * the call fails) */
  dag twice{1, 1, {0, 0}, {{{2, 4, 1}}, {{0, 1, -1}}}};
  EXPECT_EQ(texts(run(rw, on(twice, {range(1, 2)}))), "[[1|2]] ");
  EXPECT_EQ(texts(run(rw, on(twice, {range(2, 2)}))), "fail");
  /* two rows over one graph, independent */
  dag rows{1, 2, {0}, {{{1, 2, -1}}}};
  EXPECT_EQ(texts(run(rw, on(rows, {range(0, 1), range(2, 5)}))), "[[1|1]] [[2|2]] ");
}

/* Rows sharing variables: X0 = X1 per row over rows [A, B] and [B, C] (the last row is
 * evaluated first). A = 0 fixes B in row [A, B], which queues row [B, C] again while the
 * evaluation runs: it must run in the same call and fix C. */
TEST_F(Case, RowsQueuedDuringAnEvaluationRun)
{
  dag eq{2, 2, {0, 1, 1}, {{{0, 0, 1}, {1, 1, 2}}, {{0, 0, -1}}, {{1, 1, -1}}}};
  instance in = on(eq, {range(0, 0), range(0, 1), range(0, 1)});
  driver d(api);
  fd_undo_scope undo(w, QX_ALT_FAILCODE);
  std::vector<int> v = make_vars(d, in.doms);
  ASSERT_EQ(d.post_state(case_posting(in, {v[0], v[1], v[1], v[2]})), 1);
  std::string got;
  for (const domain &x : domains(d, v)) got += x.text() + " ";
  EXPECT_EQ(got, "[[0|0]] [[0|0]] [[0|0]] ");
}

/* A DAG not ordered: the root tests position 2, its subtree positions 0 and 1. Allowed: X2 = 0
 * with X1 = 0, or X2 = 0, X1 = 1, X0 = 0. A change of X0 invalidates no date of position 2:
 * reusing the root's true result would keep X1 = 1 after X0 = 1 (and accept (1, 1, 0) once X1 is
 * fixed). */
TEST_F(Case, NotOrderedDagsReuseNoTrueResult)
{
  dag g{3, 1, {2, 0, 1, 0},
        {{{0, 0, 1}}, {{0, 1, 2}}, {{0, 0, -1}, {1, 1, 3}}, {{0, 0, -1}}}};
  instance in = on(g, {range(0, 1), range(0, 1), range(0, 0)});
  driver d(api);
  fd_undo_scope undo(w, QX_ALT_FAILCODE);
  std::vector<int> vars = make_vars(d, in.doms);
  ASSERT_EQ(d.post_state(case_posting(in, vars)), 1);
  ASSERT_EQ(d.bind(vars[0], 1, fd_driver::binding::in_interval), 1);
  EXPECT_EQ(d.domain(vars[1]), std::vector<int32_t>{0});
}

}  // namespace

namespace {

/* A chain of n nodes, node k testing position k (one row of n variables) or position 0 (one
 * variable), its one branch 0..1 leading to node k+1; the last node accepts last..last. */
dag chain(int n, bool one_variable, int64_t last)
{
  dag g{one_variable ? 1 : n, 1, {}, {}};
  for (int k = 0; k < n; k++) {
    g.pos.push_back(one_variable ? 0 : k);
    g.br.push_back({k + 1 < n ? dag::branch{0, 1, k + 1} : dag::branch{last, last, -1}});
  }
  return g;
}

}  // namespace

/* Long chains are walked without recursion: 100,000 nodes over a row of 100,000 variables, or
 * all on one variable, the variables in 0..2. A last node accepting 1 leaves 0..1 to every
 * variable but the row's last position, which it fixes (one variable passes each test on its
 * own: 0..1); one accepting 5 fails. Each shape's posting is built once: a driver numbers its
 * variables from 0. */
TEST_F(Case, ChainsOfAHundredThousandNodes)
{
  const int n = qx_gc_stress ? 300 : 100000;
  using ranges = std::vector<std::pair<int64_t, int64_t>>;
  for (bool one : {false, true}) {
    std::vector<int> vars(one ? 1 : n);
    for (size_t i = 0; i < vars.size(); i++) vars[i] = (int)i;
    driver::posting p = case_posting(on(chain(n, one, 1), {}), vars);
    /* the last node's one branch: b(i(Lo, Hi), true) */
    driver::tmpl &accept = arg(p, 4).args.back().args[3].args[0].args[0];
    for (int last : {1, 5}) {
      SCOPED_TRACE(std::string(one ? "one variable" : "one row") + ", last accepts " +
                   std::to_string(last));
      accept.args = args(driver::t_int(last), driver::t_int(last));
      driver d(api);
      fd_undo_scope undo(w, QX_ALT_FAILCODE);
      ASSERT_EQ(make_vars(d, std::vector<domain>(vars.size(), range(0, 2))), vars);
      int ok = d.post_state(p);
      ASSERT_EQ(ok, last == 1 ? 1 : 0) << exception();
      if (ok != 1) continue;
      for (size_t i = 0; i + 1 < vars.size(); i++) ASSERT_EQ(d.ranges(vars[i]), (ranges{{0, 1}})) << i;
      EXPECT_EQ(d.ranges(vars.back()), (ranges{{one ? 0 : 1, 1}}));
    }
  }
}
