/* The classic models posted through the test driver, one row per model (bench/gecode's program
 * has the same rows): each row states the model on a fresh driver and searches it, repeat times
 * per timed run, under a query that undoes it all. Prints per row the best time of three runs,
 * the nodes and failures of one run, its count or optimum, and from a fourth run the propagator
 * runs (indexicals and globals, all repeats) and the driver's own share of the time (outside the
 * natives and the slow-path queries) as "name value" lines, and
 * exits non-zero when a count or optimum is wrong. An argument names the one row to run; "list"
 * prints the row names. The long rows are left out of both: they run once, when named. */
#include <chrono>
#include <cstring>
#include <type_traits>

#include "../tests/library/clpfd/driver/fd_driver.h"
#include "../tests/library/clpfd/models/fd_models.h"
#include "../tests/library/clpfd/models/fd_queens_ix.h"
#include "../tests/library/clpfd/models/fd_rcpsp.h"
#include "../tests/library/clpfd/models/fd_relation_instances.h"
#include "bench_fd_aclinear.h"
#include "bench_fd_common.h"
#include "bench_fd_packing.h"
#include "bench_fd_gcc.h"
#include "bench_fd_pythag.h"
#include "bench_fd_sched.h"
#include "bench_fd_tables.h"
#include "bench_fd_tsp.h"

namespace {

using fd_driver::driver;

/* One search of a row's model on d: its counts and its value (count or optimum); false when
 * posting or the search fails. */
using model_fn = bool (*)(driver &d, fd_driver::counts *c, long *value);

/* A row's expected value: a number, or a function that computes it when the row runs (the
 * TSP optima take a dynamic program that rows not run should not pay for). */
struct expectation {
  template <class I, std::enable_if_t<std::is_integral_v<I>, int> = 0>
  expectation(I v) : value((long)v) {}
  expectation(long (*f)()) : compute(f) {}
  long get() const { return compute ? compute() : value; }
  long value = 0;
  long (*compute)() = nullptr;
};

struct row {
  const char *name;
  const char *value_name; /* "solutions" or "optimum" */
  expectation expected;
  int repeat;
  model_fn run;
  bool long_run = false; /* not listed, not run without its name; run once */
};

bool all_solutions(driver &d, const driver::options &o, fd_driver::counts *c, long *value)
{
  auto count_all = [](driver &) { return true; };
  if (d.search({}, o, count_all, c) != 1) return false;
  *value = (long)c->solutions;
  return true;
}

template <int n>
bool queens(driver &d, fd_driver::counts *c, long *value)
{
  return fd_models::queens(d, n) && all_solutions(d, fd_models::queens_search(), c, value);
}

/* The same queens with ne/3 indexicals in place of the linear disequations. */
template <int n>
bool queens_ix(driver &d, fd_driver::counts *c, long *value)
{
  return fd_models::queens_ix(d, n) && all_solutions(d, fd_models::queens_search(), c, value);
}

/* N-queens with all_distinct over the rows and both diagonals, each diagonal q_i +- i tied to
 * q_i by a domain-consistent equation (ac_linear), so that the fixpoints are those of Gecode's
 * distinct with offsets at IPL_DOM; the queens in input order, smallest value first. */
template <int n>
bool queens_all_distinct(driver &d, fd_driver::counts *c, long *value)
{
  std::vector<int> q, up, down;
  for (int i = 0; i < n; i++) q.push_back(d.new_var(0, n - 1));
  for (int i = 0; i < n; i++) {
    up.push_back(d.new_var(i, n - 1 + i));
    down.push_back(d.new_var(-i, n - 1 - i));
    for (auto [diagonal, offset] : {std::pair{up[i], i}, std::pair{down[i], -i}})
      if (d.post("ac_linear", {driver::terms({{1, diagonal}, {-1, q[i]}}, true), driver::param(2),
                               driver::param(offset)}) != 1)
        return false;
  }
  for (const std::vector<int> *line : {&q, &up, &down})
    if (d.post_state(fd_models::distinct("all_distinct", *line)) != 1) return false;
  auto count_all = [](driver &) { return true; };
  if (d.search(q, {}, count_all, c) != 1) return false;
  *value = (long)c->solutions;
  return true;
}

/* All Hamiltonian circuits of the complete graph on n nodes: successors x_i in 1..n less i,
 * circuit/1 and all_distinct/1 with its circuit flag (the single-circuit check); the successors
 * in input order, smallest value first. */
template <int n>
bool circuits(driver &d, fd_driver::counts *c, long *value)
{
  std::vector<int> x;
  for (int i = 1; i <= n; i++) {
    std::vector<int32_t> others;
    for (int v = 1; v <= n; v++)
      if (v != i) others.push_back(v);
    x.push_back(d.new_var_in(others));
  }
  driver::posting distinct = fd_models::distinct("all_distinct", x);
  distinct.state[3] = driver::t_int(1); /* Flags: circuit */
  if (d.post_state(fd_models::distinct("circuit", x)) != 1 || d.post_state(distinct) != 1)
    return false;
  auto count_all = [](driver &) { return true; };
  if (d.search(x, {}, count_all, c) != 1) return false;
  *value = (long)c->solutions;
  return true;
}

/* Queens with three distinctness constraints of the key, the rows labelled in order. */
template <int n>
bool queens_alldiff(driver &d, fd_driver::counts *c, long *value)
{
  auto count_all = [](driver &) { return true; };
  std::vector<int> q;
  for (int i = 0; i < n; i++) q.push_back(i);
  if (!fd_models::queens_distinct(d, n, "all_different") || d.search(q, {}, count_all, c) != 1)
    return false;
  *value = (long)c->solutions;
  return true;
}

/* Queens with bc_alldiff over the three lines, all solutions in input order, smallest value
 * (Gecode: distinct with IPL_BND). */
template <int n>
bool queens_bc(driver &d, fd_driver::counts *c, long *value)
{
  std::vector<int> q(n);
  for (int i = 0; i < n; i++) q[i] = i;
  auto count_all = [](driver &) { return true; };
  if (!fd_models::queens_distinct(d, n, "bc_alldiff") || d.search(q, {}, count_all, c) != 1) return false;
  *value = (long)c->solutions;
  return true;
}

/* Searches vars in input order from the smallest value up to LIMIT solutions. */
bool first_solutions(driver &d, const std::vector<int> &vars, fd_driver::counts *c, long *value)
{
  long found = 0;
  auto up_to_limit = [&found](driver &) { return ++found < fd_relation_instances::LIMIT; };
  if (d.search(vars, {}, up_to_limit, c) != 1) return false;
  *value = (long)c->solutions;
  return true;
}

/* Y = minimum of 50 variables (Gecode: min). */
bool minimum50(driver &d, fd_driver::counts *c, long *value)
{
  int y = d.new_var(0, 99);
  std::vector<int> xs;
  std::vector<driver::tmpl> cx;
  for (auto [lo, hi] : fd_relation_instances::minimum_domains(50)) {
    xs.push_back(d.new_var(lo, hi));
    cx.push_back(driver::t_var(xs.back()));
  }
  driver::posting p{"minimum", {driver::t_var(y), driver::t_list(cx)},
                    {driver::t_entry(y), driver::t_entries(xs), driver::t_int(50), driver::t_int(0)}};
  p.susp_each = {{y, "minmax"}};
  return d.post_state(p) == 1 && first_solutions(d, xs, c, value);
}

/* 100 tuples (X, Y) over 0..199 sharing one random map (Gecode: extensional per tuple). */
bool relation100(driver &d, fd_driver::counts *c, long *value)
{
  std::vector<driver::tmpl> map, tuples, cx;
  for (const auto &e : fd_relation_instances::random_map(100)) {
    std::vector<std::pair<int32_t, int32_t>> ys(e.ys.begin(), e.ys.end());
    map.push_back(driver::t_struct(
        "-", {driver::t_list({driver::t_improper({driver::t_int(e.xlo)}, driver::t_int(e.xhi))}),
              driver::t_set(ys)}));
  }
  std::vector<int> vars;
  driver::tmpl none = driver::t_mutable(driver::t_atom("[]"));
  for (int t = 0; t < fd_relation_instances::TUPLES; t++) {
    int x = d.new_var(0, 199), y = d.new_var(0, 199);
    vars.insert(vars.end(), {x, y});
    tuples.push_back(driver::t_struct("t", {driver::t_var(x), driver::t_attr(x), none, driver::t_var(y),
                                            driver::t_attr(y), none}));
    cx.push_back(driver::t_struct("-", {driver::t_var(x), driver::t_var(y)}));
  }
  driver::posting p{"relation", {driver::t_list(cx), driver::t_list(map), driver::t_int(0)},
                    {driver::t_list(map), driver::t_int(0), driver::t_list(tuples),
                     driver::t_int(fd_relation_instances::TUPLES)}};
  p.susp = "";
  return d.post_state(p) == 1 && first_solutions(d, vars, c, value);
}

/* case/4 over the trie of the sorted table: a node per prefix, at position its length, one
 * branch per next value (the last position's runs of values as intervals); nodes numbered in
 * preorder, so every branch leads to a later node. Appends the node terms; returns the index
 * of the node of the prefix t[lo][0..depth-1] common to t[lo..hi-1]. */
int trie_nodes(const std::vector<bench_fd_tables::tuple> &t, size_t lo, size_t hi, int depth,
               std::vector<driver::tmpl> *nodes, int *children)
{
  int index = (int)nodes->size();
  nodes->push_back({});
  std::vector<driver::tmpl> brs;
  for (size_t a = lo; a < hi;) {
    size_t b = a;
    while (b < hi && t[b][depth] == t[a][depth]) b++;
    int v = t[a][depth];
    if (depth + 1 == bench_fd_tables::ARITY) {
      int w = v;
      while (b < hi && t[b][depth] == w + 1) w++, b++;
      driver::tmpl values = driver::t_struct("i", {driver::t_int(v), driver::t_int(w)});
      brs.push_back(driver::t_struct("b", {values, driver::t_atom("true")}));
    } else {
      int next = trie_nodes(t, a, b, depth + 1, nodes, children);
      brs.push_back(driver::t_struct(
          "b", {driver::t_struct("i", {driver::t_int(v), driver::t_int(v)}), driver::t_int(next)}));
    }
    a = b;
  }
  *children += (int)brs.size();
  (*nodes)[index] = driver::t_struct("node", {driver::t_int(index), driver::t_int(depth),
                                              driver::t_int(0), driver::t_list(brs)});
  return index;
}

/* ROWS rows of one case/4 over a chain of variables (bench_fd_tables), all solutions. */
bool case_chain(driver &d, fd_driver::counts *c, long *value)
{
  using namespace bench_fd_tables;
  std::vector<int> xs;
  for (int i = 0; i < CHAIN; i++) xs.push_back(d.new_var(0, VALUES - 1));
  std::vector<driver::tmpl> rows, nodes, wake, prune, cvars;
  for (int r = 0; r < ROWS; r++) {
    std::vector<int> row(xs.begin() + STRIDE * r, xs.begin() + STRIDE * r + ARITY);
    rows.push_back(driver::t_entries(row));
    for (int x : row) cvars.push_back(driver::t_var(x));
  }
  int children = 0;
  std::vector<tuple> t = table();
  trie_nodes(t, 0, t.size(), 0, &nodes, &children);
  for (int i = 0; i < ARITY; i++)
    wake.push_back(driver::t_atom("dom")), prune.push_back(driver::t_atom("dom"));
  driver::tmpl posting = driver::t_struct(
      "case_posting", {driver::t_int(ARITY), driver::t_int((int64_t)nodes.size()),
                       driver::t_int(children), driver::t_list(rows), driver::t_list(nodes),
                       driver::t_list(wake), driver::t_list(prune)});
  driver::tmpl none = driver::t_atom("[]");
  driver::posting p{"case", {driver::t_list(cvars), none, none, none},
                    {posting, driver::t_int(ROWS)}};
  p.susp = "";
  return d.post_state(p) == 1 && all_solutions(d, {}, c, value);
}

/* lex_chain/2 (not strict) over LEX_TUPLES tuples of 0..3, tuple i summing to sums()[i]
 * (scalar_product), the first LIMIT solutions. */
bool lex_chain10(driver &d, fd_driver::counts *c, long *value)
{
  using namespace bench_fd_tables;
  std::vector<int> xs;
  std::vector<driver::tmpl> tuples, ctuples, pairs;
  std::vector<int> s = sums();
  for (int i = 0; i < LEX_TUPLES; i++) {
    std::vector<int> tu;
    std::vector<fd_driver::driver::lin_term> lin;
    for (int j = 0; j < LEX_VARS; j++) tu.push_back(d.new_var(0, 3)), lin.push_back({1, tu.back()});
    xs.insert(xs.end(), tu.begin(), tu.end());
    tuples.push_back(driver::t_entries(tu));
    ctuples.push_back(driver::t_vars(tu));
    if (i > 0) pairs.push_back({driver::tmpl::unbound});
    if (d.post_linear(lin, 3, s[i]) != 1) return false;
  }
  driver::tmpl among =
      driver::t_struct("among", {driver::t_int(0), driver::t_int(0), driver::t_set({})});
  driver::posting p{"lex_chain", {driver::t_list(ctuples), driver::t_atom("[]")},
                    {driver::t_list(tuples), driver::t_int(LEX_TUPLES), driver::t_int(LEX_VARS),
                     driver::t_int(0), among, driver::t_list(pairs)}};
  p.susp = "";
  return d.post_state(p) == 1 && first_solutions(d, xs, c, value);
}

bool send_more(driver &d, fd_driver::counts *c, long *value)
{
  if (!fd_models::send_more(d) || d.search({}, {}, nullptr, c) != 1) return false;
  *value = (long)c->solutions;
  return true;
}

bool magic4_first(driver &d, fd_driver::counts *c, long *value)
{
  if (!fd_models::magic_square(d, 4) || d.search({}, fd_models::magic_search(), nullptr, c) != 1)
    return false;
  *value = (long)c->solutions;
  return true;
}

bool magic4_all(driver &d, fd_driver::counts *c, long *value)
{
  return fd_models::magic_square(d, 4) && all_solutions(d, fd_models::magic_search(), c, value);
}

/* The bound of the search's best solution: false when there is none. */
bool best_bound(driver &d, long *value)
{
  TAGGED bound;
  std::vector<int32_t> values;
  if (!d.incumbent(&bound, &values) || !IsSmall(bound)) return false;
  *value = GetSmall(bound);
  return true;
}

/* ft06 to its optimum; probes false: the bound is told at every node entered (the search's
 * choicepoints are queries then, which leaves the probes out). */
bool ft06_search(driver &d, fd_driver::counts *c, long *value, bool probes)
{
  fd_models::jobshop js;
  if (!fd_models::jobshop_model(d, fd_jobshop::ft06(), &js)) return false;
  driver::options o = js.search();
  o.queries = !probes;
  if (d.search(js.vars(), o, nullptr, c) != 1) return false;
  return best_bound(d, value);
}

bool ft06(driver &d, fd_driver::counts *c, long *value) { return ft06_search(d, c, value, true); }
bool ft06_every_node(driver &d, fd_driver::counts *c, long *value)
{
  return ft06_search(d, c, value, false);
}

/* Job-shop with one disjoint1 per machine: the optimum (the sum of the optima over seeds). */
bool unary_optimum(driver &d, const fd_jobshop::instance &p, fd_driver::counts *c, long *value)
{
  fd_models::jobshop js;
  if (!fd_models::jobshop_unary_model(d, p, &js) ||
      d.search(js.vars(), fd_models::jobshop_unary_search(js), nullptr, c) != 1)
    return false;
  return best_bound(d, value);
}

bool ft06_unary(driver &d, fd_driver::counts *c, long *value)
{
  return unary_optimum(d, fd_jobshop::ft06(), c, value);
}

/* The optimum of each seed's instance, each by one(driver, seed, counts, optimum) on a driver of
 * its own: the sum of the optima, the counts summed. */
template <class Seeds, class One>
bool sum_of_optima(driver &d, const Seeds &seeds, One one, fd_driver::counts *c, long *value)
{
  fd_driver::counts sum;
  long total = 0;
  for (uint64_t seed : seeds) {
    QX_term_ref mark = QX_new_term_refs(0);
    fd_driver::counts counts;
    long best;
    {
      driver e(d.api());
      if (!one(e, seed, &counts, &best)) return false;
    }
    QX_reset_term_refs(mark);
    sum.nodes += counts.nodes, sum.failures += counts.failures, total += best;
  }
  *c = sum;
  *value = total;
  return true;
}

template <int n>
long tsp_optima()
{
  return bench_fd_tsp::optima(n);
}

/* The TSP_INSTANCES asymmetric TSPs of n nodes: successors X_i over 1..n without i, their
 * predecessors Y_j, assignment with the cost matrix in circuit mode, the cost minimised by
 * branch-and-bound labelling the successors in order, smallest first. The optima summed. */
template <int n>
bool tsp(driver &d, fd_driver::counts *c, long *value)
{
  *value = 0;
  for (int k = 0; k < bench_fd_tsp::TSP_INSTANCES; k++) {
    std::vector<int> cost = bench_fd_tsp::costs(n, k), xs, ys;
    std::vector<driver::tmpl> rows;
    for (int i = 0; i < n; i++) {
      xs.push_back(d.new_var(1, n));
      if (d.exclude(xs.back(), i + 1) != 1) return false;
      std::vector<driver::tmpl> row;
      for (int j = 0; j < n; j++) row.push_back(driver::t_int(cost[(size_t)i * n + j]));
      rows.push_back(driver::t_list(row));
    }
    for (int j = 0; j < n; j++) ys.push_back(d.new_var(1, n));
    int total = d.new_var(0, 100 * n);
    driver::posting p{
        "assignment",
        {driver::t_vars(xs), driver::t_vars(ys)},
        {driver::t_entries(xs), driver::t_entries(ys), driver::t_int(0), driver::t_int(3),
         driver::t_struct("c", {driver::t_var(total), driver::t_attr(total), driver::t_list(rows)}),
         driver::t_int(0)}};
    driver::options o;
    o.cost = total;
    fd_driver::counts one;
    if (d.post_state(p) != 1 || d.search(xs, o, nullptr, &one) != 1) return false;
    TAGGED bound;
    std::vector<int32_t> values;
    if (!d.incumbent(&bound, &values) || !IsSmall(bound)) return false;
    c->nodes += one.nodes, c->failures += one.failures, *value += GetSmall(bound);
  }
  return true;
}

/* Ten random 8 x 8 job-shops (durations 1..20, fd_jobshop's seeds): the sum of their optima,
 * the counts summed. */
bool jobshop8_unary(driver &d, fd_driver::counts *c, long *value)
{
  auto one = [](driver &e, uint64_t seed, fd_driver::counts *k, long *best) {
    return unary_optimum(e, fd_jobshop::random(seed, 8, 8, 20), k, best);
  };
  return sum_of_optima(d, fd_jobshop::JOBSHOP8_SEEDS, one, c, value);
}

/* ft06 with one cumulative of limit 1 per machine, with the option flags. */
template <int Flags>
bool ft06_cumul(driver &d, fd_driver::counts *c, long *value)
{
  fd_models::jobshop js;
  if (!fd_models::jobshop_unary_model(d, fd_jobshop::ft06(), &js, true, Flags) ||
      d.search(js.vars(), fd_models::jobshop_unary_search(js), nullptr, c) != 1)
    return false;
  return best_bound(d, value);
}

/* One random single-resource instance: starts in 0..horizon, each precedence and the makespan
 * by a linear constraint, one cumulative with the option flags; the least makespan by
 * branch-and-bound, smallest minimum first, minimum value. */
bool cumul_optimum(driver &d, const fd_rcpsp::instance &p, int flags, fd_driver::counts *c,
                   long *value)
{
  int H = p.horizon(), n = (int)p.dur.size();
  int makespan = d.new_var(0, H);
  std::vector<int> starts;
  for (int i = 0; i < n; i++) starts.push_back(d.new_var(0, H));
  if (makespan < 0 || std::count(starts.begin(), starts.end(), -1)) return false;
  for (auto [i, j] : p.prec)
    if (d.post_linear({{1, starts[i]}, {-1, starts[j]}}, 1, -p.dur[i]) != 1) return false;
  for (int i = 0; i < n; i++)
    if (d.post_linear({{1, starts[i]}, {-1, makespan}}, 1, -p.dur[i]) != 1) return false;
  if (fd_driver::post_cumulative(d, starts, p.dur, p.use, p.limit, H, flags) != 1) return false;
  driver::options o;
  o.rule = fd_driver::choice::min;
  o.cost = makespan;
  if (d.search(starts, o, nullptr, c) != 1) return false;
  return best_bound(d, value);
}

/* The ten random instances (fd_rcpsp's seeds): the sum of the optima, the counts summed. */
template <int Flags>
bool cumul_random(driver &d, fd_driver::counts *c, long *value)
{
  auto one = [](driver &e, uint64_t seed, fd_driver::counts *k, long *best) {
    return cumul_optimum(e, fd_rcpsp::random(seed), Flags, k, best);
  };
  return sum_of_optima(d, fd_rcpsp::SEEDS, one, c, value);
}

/* The sum of the ten random instances' optima (Gecode finds the same). */
constexpr long CUMUL_RANDOM_OPTIMA = 448;

/* geost's option set for exact and near-exact fills */
constexpr int SLACK = bench_fd_packing::GEOST_SLACK_OPTIONS;

const row rows[] = {
    {"queens10", "solutions", 724, 1, queens<10>},
    {"queens11", "solutions", 2680, 1, queens<11>},
    {"queens12", "solutions", 14200, 1, queens<12>},
    {"queens10_ix", "solutions", 724, 1, queens_ix<10>},
    {"queens12_ix", "solutions", 14200, 1, queens_ix<12>},
    {"queens10_alldiff", "solutions", 724, 1, queens_alldiff<10>},
    {"queens11_alldiff", "solutions", 2680, 1, queens_alldiff<11>},
    {"queens12_alldiff", "solutions", 14200, 1, queens_alldiff<12>},
    {"queens10_bc", "solutions", 724, 1, queens_bc<10>},
    {"queens12_bc", "solutions", 14200, 1, queens_bc<12>},
    {"minimum50", "solutions", fd_relation_instances::LIMIT, 1, minimum50},
    {"relation100", "solutions", fd_relation_instances::LIMIT, 1, relation100},
    {"queens10_ad", "solutions", 724, 1, queens_all_distinct<10>},
    {"queens11_ad", "solutions", 2680, 1, queens_all_distinct<11>},
    {"queens12_ad", "solutions", 14200, 1, queens_all_distinct<12>},
    {"circuits9", "solutions", 40320, 1, circuits<9>},
    {"circuits10", "solutions", 362880, 1, circuits<10>},
    {"magic4_first", "solutions", 1, 1, magic4_first},
    {"magic4", "solutions", 7040, 1, magic4_all},
    {"send_more", "solutions", 1, 10000, send_more},
    {"ft06", "optimum", 55, 100, ft06},
    {"ft06_every_node", "optimum", 55, 20, ft06_every_node},
    {"ft06_unary", "optimum", 55, 100, ft06_unary},
    {"jobshop8_unary", "optimum", fd_jobshop::JOBSHOP8_OPTIMA, 1, jobshop8_unary},
    {"ft06_cumul", "optimum", 55, 100, ft06_cumul<0>},
    {"ft06_cumul_global", "optimum", 55, 100, ft06_cumul<2>},
    {"cumul_random", "optimum", CUMUL_RANDOM_OPTIMA, 1, cumul_random<0>},
    {"cumul_random_global", "optimum", CUMUL_RANDOM_OPTIMA, 1, cumul_random<2>},
    {"aclinear8", "solutions", bench_fd_aclinear::SOLUTIONS, 1, bench_fd_aclinear::equation8},
    {"pythag500", "solutions", 386, 1, bench_fd_pythag::pythag500},
    {"squares9_18", "solutions", 1, 1, bench_fd_packing::squares<9, 18, 0>},
    {"squares9_17", "solutions", 0, 1, bench_fd_packing::squares<9, 17, 0>},
    {"squares10_21", "solutions", 1, 1, bench_fd_packing::squares<10, 21, 0>},
    {"squares10_20", "solutions", 0, 1, bench_fd_packing::squares<10, 20, 0>},
    {"squares11_24", "solutions", 1, 1, bench_fd_packing::squares<11, 24, 0>},
    {"squares11_23", "solutions", 0, 1, bench_fd_packing::squares<11, 23, 0>},
    {"squares12_27", "solutions", 1, 1, bench_fd_packing::squares<12, 27, 0>},
    {"tiling33x32", "solutions", 4, 1, bench_fd_packing::tiling33x32<0>},
    {"squares9_17_global", "solutions", 0, 1, bench_fd_packing::squares<9, 17, 0x10>},
    {"tiling33x32_global", "solutions", 4, 1, bench_fd_packing::tiling33x32<0x10>},
    /* disjoint2 with one redundant cumulative per side */
    {"squares9_18_cumul", "solutions", 1, 1, bench_fd_packing::squares<9, 18, 0, true>},
    {"squares9_17_cumul", "solutions", 0, 1, bench_fd_packing::squares<9, 17, 0, true>},
    {"squares10_21_cumul", "solutions", 1, 1, bench_fd_packing::squares<10, 21, 0, true>},
    {"squares10_20_cumul", "solutions", 0, 1, bench_fd_packing::squares<10, 20, 0, true>},
    {"squares11_24_cumul", "solutions", 1, 1, bench_fd_packing::squares<11, 24, 0, true>},
    {"squares11_23_cumul", "solutions", 0, 1, bench_fd_packing::squares<11, 23, 0, true>},
    {"squares12_27_cumul", "solutions", 1, 1, bench_fd_packing::squares<12, 27, 0, true>},
    {"squares12_26_cumul", "solutions", 0, 1, bench_fd_packing::squares<12, 26, 0, true>},
    {"tiling33x32_cumul", "solutions", 4, 1, bench_fd_packing::tiling33x32<0, true>},
    {"magic_series50", "solutions", 1, 1, bench_fd_gcc::magic_series<50>},
    {"magic_series100", "solutions", 1, 1, bench_fd_gcc::magic_series<100>},
    {"magic_series200", "solutions", 1, 1, bench_fd_gcc::magic_series<200>},
    {"gcc_random", "solutions", 10, 1, bench_fd_gcc::random_gcc},
    {"nvalue_random", "solutions", fd_gcc_instances::NVALUE_SOLUTIONS, 1, bench_fd_gcc::random_nvalue},
    {"case_chain", "solutions", bench_fd_tables::chain_solutions(), 1, case_chain},
    {"lex_chain10", "solutions", fd_relation_instances::LIMIT, 1, lex_chain10},
    {"gcc_costs_bb", "optimum", fd_gcc_instances::COSTS_OPTIMUM, 1, bench_fd_gcc::random_gcc_costs},
    {"tsp10", "optimum", tsp_optima<10>, 1, tsp<10>},
    {"tsp12", "optimum", tsp_optima<12>, 1, tsp<12>},
    {"tsp14", "optimum", tsp_optima<14>, 1, tsp<14>},
    /* cumulatives (at most, at least) and sorting with the permutation; packing with disjoint2's
     * edge finding and one redundant cumulative per side */
    {"cumulatives_at_most", "optimum", fd_sched_instances::AT_MOST_OPTIMA, 1,
     bench_fd_sched::machines_optima<true, 0>},
    {"cumulatives_at_least", "optimum", fd_sched_instances::AT_LEAST_OPTIMA, 1,
     bench_fd_sched::machines_optima<false, 0>},
    /* with generalization and task intervals (options 0x6) */
    {"cumulatives_at_most_ti", "optimum", fd_sched_instances::AT_MOST_OPTIMA, 1,
     bench_fd_sched::machines_optima<true, 6>},
    {"cumulatives_at_least_ti", "optimum", fd_sched_instances::AT_LEAST_OPTIMA, 1,
     bench_fd_sched::machines_optima<false, 6>},
    {"sorting20", "solutions", fd_sched_instances::INSTANCES * fd_sched_instances::SORT_LIMIT, 1,
     bench_fd_sched::sorting_first},
    {"squares9_17_global_cumul", "solutions", 0, 1, bench_fd_packing::squares<9, 17, 0x10, true>},
    {"squares10_20_global_cumul", "solutions", 0, 1, bench_fd_packing::squares<10, 20, 0x10, true>},
    {"squares11_23_global_cumul", "solutions", 0, 1, bench_fd_packing::squares<11, 23, 0x10, true>},
    {"tiling33x32_global_cumul", "solutions", 4, 1, bench_fd_packing::tiling33x32<0x10, true>},
    /* geost plain, then with the options for exact and near-exact fills */
    {"squares9_18_geost", "solutions", 1, 1, bench_fd_packing::squares_geost<9, 18, 0>},
    {"squares9_17_geost", "solutions", 0, 1, bench_fd_packing::squares_geost<9, 17, 0>},
    {"squares10_21_geost", "solutions", 1, 1, bench_fd_packing::squares_geost<10, 21, 0>},
    {"squares10_20_geost", "solutions", 0, 1, bench_fd_packing::squares_geost<10, 20, 0>},
    {"squares11_24_geost", "solutions", 1, 1, bench_fd_packing::squares_geost<11, 24, 0>},
    {"squares11_23_geost", "solutions", 0, 1, bench_fd_packing::squares_geost<11, 23, 0>},
    {"squares12_27_geost", "solutions", 1, 1, bench_fd_packing::squares_geost<12, 27, 0>},
    {"squares12_26_geost", "solutions", 0, 1, bench_fd_packing::squares_geost<12, 26, 0>},
    {"tiling33x32_geost", "solutions", 4, 1, bench_fd_packing::tiling33x32_geost<0>},
    {"squares9_18_geost_slack", "solutions", 1, 1, bench_fd_packing::squares_geost<9, 18, SLACK>},
    {"squares9_17_geost_slack", "solutions", 0, 1, bench_fd_packing::squares_geost<9, 17, SLACK>},
    {"squares10_21_geost_slack", "solutions", 1, 1, bench_fd_packing::squares_geost<10, 21, SLACK>},
    {"squares10_20_geost_slack", "solutions", 0, 1, bench_fd_packing::squares_geost<10, 20, SLACK>},
    {"squares11_24_geost_slack", "solutions", 1, 1, bench_fd_packing::squares_geost<11, 24, SLACK>},
    {"squares11_23_geost_slack", "solutions", 0, 1, bench_fd_packing::squares_geost<11, 23, SLACK>},
    {"squares12_27_geost_slack", "solutions", 1, 1, bench_fd_packing::squares_geost<12, 27, SLACK>},
    {"squares12_26_geost_slack", "solutions", 0, 1, bench_fd_packing::squares_geost<12, 26, SLACK>},
    {"tiling33x32_geost_slack", "solutions", 4, 1, bench_fd_packing::tiling33x32_geost<SLACK>},
    /* long: run only when named */
    {"squared_square112_geost_slack", "solutions", 1, 1,
     bench_fd_packing::squared_square112_geost<SLACK>, true},
};

/* repeat searches of the row under one query each; false when one fails. */
bool run_row(ORVALIS_API_STRUCT *api, const row &r, bool timing, fd_driver::counts *c, long *value,
             double *seconds, double *native)
{
  definition *true0 = QX_predicate("true", 0, "prolog");
  auto start = std::chrono::steady_clock::now();
  *native = 0;
  for (int k = 0; k < r.repeat; k++) {
    QX_query_ref q = QX_open_query(true0);
    if (QX_next_solution(q) != 1) return false;
    bool ok;
    {
      driver d(api);
      d.timing = timing;
      *c = {};
      ok = r.run(d, c, value);
      *native += d.native_seconds();
    }
    QX_close_query(q);
    if (!ok) return false;
  }
  *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return true;
}

}  // namespace

int main(int argc, char **argv)
{
  BenchEngine e;
  ORVALIS_API_STRUCT *api = bench_fd::load_clpfd(e);
  if (e.run(fd_models::install_ne_goal()) != 1) {
    std::printf("install_ne_error 1\n");
    return 1;
  }
  if (argc > 1 && std::strcmp(argv[1], "list") == 0) {
    for (const row &r : rows)
      if (!r.long_run) std::printf("%s\n", r.name);
    return 0;
  }
  int status = 0;
  for (const row &r : rows) {
    if (argc > 1 ? std::strcmp(argv[1], r.name) != 0 : r.long_run) continue;
    fd_driver::counts c;
    long value = -1;
    double best = 1e30, seconds, native;
    bool ok = true;
    for (int run = 0; run < (r.long_run ? 0 : 3) && ok; run++) {
      ok = run_row(api, r, false, &c, &value, &seconds, &native);
      if (seconds < best) best = seconds;
    }
    double total = 0;
    struct fd_state *fd = fd_state(api);
    fd->resumptions = 0;
    if (ok) ok = run_row(api, r, true, &c, &value, &total, &native);
    if (r.long_run) best = total;
    if (!ok) {
      std::printf("%s_error 1\n", r.name);
      status = 1;
      continue;
    }
    std::printf("%s_seconds %.4f\n", r.name, best);
    std::printf("%s_nodes %llu\n", r.name, (unsigned long long)c.nodes);
    std::printf("%s_failures %llu\n", r.name, (unsigned long long)c.failures);
    std::printf("%s_runs %u\n", r.name, fd->resumptions);
    std::printf("%s_%s %ld\n", r.name, r.value_name, value);
    std::printf("%s_driver_share %.3f\n", r.name, total > 0 ? (total - native) / total : 0.0);
    long expected = r.expected.get();
    if (value != expected) {
      std::printf("%s_wrong %ld (expected %ld)\n", r.name, value, expected);
      status = 1;
    }
  }
  return status;
}
