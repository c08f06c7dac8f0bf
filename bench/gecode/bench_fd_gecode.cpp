/* The solver benchmarks' models run by Gecode: all solutions of 12-queens, with one binary
 * disequality propagator per pair of queens and line (as the solver's propagators are small
 * ones), labelling the queens in order from the smallest value; all models of the random
 * Boolean circuit of bench_fd_bool (the same generator and seed), one propagator per connective
 * (a negated connective as a negation and a connective), every signal labelled in order, 0
 * first; and the rows of bench_fd, the same models with the same constraints and search.
 * Prints the counts Gecode reports, the best time of three runs and the rates as "name value"
 * lines. The solver's indexical queens rows are the same model here: bench/fd_vs_gecode.sh times
 * it once, under the row without _ix. */
#include <cctype>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <vector>
#include <algorithm>

#include "fd_circuit.h"
#include "fd_gcc_instances.h"
#include "fd_jobshop.h"
#include "fd_rcpsp.h"
#include "fd_relation_instances.h"
#include "fd_sched_instances.h"
#include "gecode_aclinear.h"
#include "../bench_fd_tables.h"
#include "../bench_fd_tsp.h"

#include <gecode/int.hh>
#include <gecode/search.hh>

#include "gecode_pythag.h"

using namespace Gecode;

namespace {

/* A model whose variables are one array x: the copy shared by the models that keep nothing
 * else. */
template <class Derived>
class ArrayModel : public Space {
public:
  ArrayModel() = default;
  ArrayModel(int n, int lo, int hi) : x(*this, n, lo, hi) {}
  ArrayModel(ArrayModel &other) : Space(other) { x.update(*this, other.x); }
  Space *copy() override { return new Derived(static_cast<Derived &>(*this)); }

protected:
  IntVarArray x;
};

class Queens : public ArrayModel<Queens> {
public:
  explicit Queens(int n, bool ff = false) : ArrayModel(n, 0, n - 1)
  {
    for (int i = 0; i < n; i++)
      for (int j = i + 1; j < n; j++) {
        IntVarArgs pair;
        pair << x[i] << x[j];
        rel(*this, x[i], IRT_NQ, x[j]);
        linear(*this, IntArgs({1, -1}), pair, IRT_NQ, j - i); /* x[i] + i != x[j] + j */
        linear(*this, IntArgs({1, -1}), pair, IRT_NQ, i - j); /* x[i] - i != x[j] - j */
      }
    if (ff)
      branch(*this, x, INT_VAR_SIZE_MIN(), INT_VAL_MIN());
    else
      branch(*this, x, INT_VAR_NONE(), INT_VAL_MIN());
  }
  Queens(Queens &other) : ArrayModel(other) {}
};

/* N-queens with three distinct constraints (rows, x + i, x - i) of propagation level ipl,
 * labelling the queens in order from the smallest value. */
class QueensDistinct : public ArrayModel<QueensDistinct> {
public:
  QueensDistinct(int n, IntPropLevel ipl) : ArrayModel(n, 0, n - 1)
  {
    IntArgs up(n), down(n);
    for (int i = 0; i < n; i++) up[i] = i, down[i] = -i;
    distinct(*this, x, ipl);
    distinct(*this, up, x, ipl);
    distinct(*this, down, x, ipl);
    branch(*this, x, INT_VAR_NONE(), INT_VAL_MIN());
  }
  QueensDistinct(QueensDistinct &other) : ArrayModel(other) {}
};

/* Y = the minimum of 50 variables, searched over the variables. */
class Minimum : public ArrayModel<Minimum> {
public:
  Minimum() : ArrayModel(50, 0, 99), y(*this, 0, 99)
  {
    std::vector<std::pair<int, int>> d = fd_relation_instances::minimum_domains(50);
    for (int i = 0; i < 50; i++) dom(*this, x[i], d[i].first, d[i].second);
    min(*this, x, y);
    branch(*this, x, INT_VAR_NONE(), INT_VAL_MIN());
  }
  Minimum(Minimum &other) : ArrayModel(other) { y.update(*this, other.y); }

private:
  IntVar y;
};

/* 100 pairs (X, Y) in one random relation, an extensional constraint per pair. */
class Relation : public ArrayModel<Relation> {
public:
  Relation() : ArrayModel(2 * fd_relation_instances::TUPLES, 0, 199)
  {
    TupleSet pairs(2);
    for (const auto &e : fd_relation_instances::random_map(100))
      for (int x = e.xlo; x <= e.xhi; x++)
        for (auto [lo, hi] : e.ys)
          for (int y = lo; y <= hi; y++) pairs.add({x, y});
    pairs.finalize();
    for (int t = 0; t < fd_relation_instances::TUPLES; t++) {
      IntVarArgs p;
      p << x[2 * t] << x[2 * t + 1];
      extensional(*this, p, pairs);
    }
    branch(*this, x, INT_VAR_NONE(), INT_VAL_MIN());
  }
  Relation(Relation &other) : ArrayModel(other) {}
};

/* All Hamiltonian circuits of the complete graph on n nodes: circuit at IPL_DOM over successors
 * 0..n-1, labelled in order from the smallest value. */
class Circuits : public ArrayModel<Circuits> {
public:
  explicit Circuits(int n) : ArrayModel(n, 0, n - 1)
  {
    circuit(*this, x, IPL_DOM);
    branch(*this, x, INT_VAR_NONE(), INT_VAL_MIN());
  }
  Circuits(Circuits &other) : ArrayModel(other) {}
};

class Circuit : public Space {
public:
  explicit Circuit(const fd_circuit::circuit &c) : s(*this, c.signals(), 0, 1)
  {
    for (size_t g = 0; g < c.gates.size(); g++) {
      const fd_circuit::gate &gt = c.gates[g];
      BoolVar x = s[gt.a], y = s[gt.b], z = s[c.inputs + (int)g];
      switch (gt.op) {
      case fd_circuit::AND: rel(*this, x, BOT_AND, y, z); break;
      case fd_circuit::ANDNOT: rel(*this, x, BOT_AND, negation(y), z); break;
      case fd_circuit::NAND: rel(*this, x, BOT_AND, y, negation(z)); break;
      case fd_circuit::OR: rel(*this, x, BOT_OR, y, z); break;
      case fd_circuit::ORNOT: rel(*this, x, BOT_OR, negation(y), z); break;
      case fd_circuit::NOR: rel(*this, x, BOT_OR, y, negation(z)); break;
      case fd_circuit::XOR: rel(*this, x, BOT_XOR, y, z); break;
      default: rel(*this, x, BOT_EQV, y, z); break;
      }
    }
    if (c.last_one) rel(*this, s[c.signals() - 1], IRT_EQ, 1);
    branch(*this, s, BOOL_VAR_NONE(), BOOL_VAL_MIN());
  }
  Circuit(Circuit &other) : Space(other) { s.update(*this, other.s); }
  Space *copy() override { return new Circuit(*this); }

private:
  BoolVar negation(BoolVar v)
  {
    BoolVar n(*this, 0, 1);
    rel(*this, v, IRT_NQ, n);
    return n;
  }
  BoolVarArray s;
};

/* Pairwise different, one binary propagator per pair (as the solver's models post them). */
void pairwise_different(Space &home, const IntVarArray &x)
{
  for (int a = 0; a < x.size(); a++)
    for (int b = a + 1; b < x.size(); b++) rel(home, x[a], IRT_NQ, x[b]);
}

class SendMore : public ArrayModel<SendMore> {
public:
  SendMore() : ArrayModel(8, 0, 9)
  {
    linear(*this, IntArgs({1000, 91, -90, 1, -9000, -900, 10, -1}), x, IRT_EQ, 0);
    pairwise_different(*this, x);
    rel(*this, x[0], IRT_NQ, 0);
    rel(*this, x[4], IRT_NQ, 0);
    branch(*this, x, INT_VAR_NONE(), INT_VAL_MIN());
  }
  SendMore(SendMore &other) : ArrayModel(other) {}
};

class Magic : public ArrayModel<Magic> {
public:
  explicit Magic(int n) : ArrayModel(n * n, 1, n * n)
  {
    int sum = n * (n * n + 1) / 2;
    IntVarArgs d1, d2;
    for (int k = 0; k < n; k++) {
      IntVarArgs row, col;
      for (int m = 0; m < n; m++) row << x[k * n + m], col << x[m * n + k];
      linear(*this, row, IRT_EQ, sum);
      linear(*this, col, IRT_EQ, sum);
      d1 << x[k * n + k];
      d2 << x[k * n + n - 1 - k];
    }
    linear(*this, d1, IRT_EQ, sum);
    linear(*this, d2, IRT_EQ, sum);
    pairwise_different(*this, x);
    branch(*this, x, INT_VAR_SIZE_MIN(), INT_VAL_MIN());
  }
  Magic(Magic &other) : ArrayModel(other) {}
};

/* A schedule whose starts are labelled and whose makespan is minimised: the copy, the bound of
 * branch-and-bound and the value (every start fixed: the latest end), shared by the job-shop and
 * single-resource models. */
template <class Derived>
class MakespanModel : public Space {
public:
  MakespanModel() = default;
  MakespanModel(MakespanModel &other) : Space(other)
  {
    start.update(*this, other.start);
    makespan.update(*this, other.makespan);
  }
  Space *copy() override { return new Derived(static_cast<Derived &>(*this)); }
  void constrain(const Space &best) override
  {
    rel(*this, makespan, IRT_LE, static_cast<const Derived &>(best).value());
  }
  int value() const { return makespan.min(); }

protected:
  IntVarArray start;
  IntVar makespan;
};

/* The job-shop of the solver's model: end = start + duration, precedences, a reified pair and
 * a disjunction per pair of operations on a machine; every B1 in order 1 first, then the starts
 * from their minimum; branch-and-bound on the makespan. */
class JobShop : public MakespanModel<JobShop> {
public:
  explicit JobShop(const fd_jobshop::instance &p)
  {
    int horizon = p.horizon(), ops = 0;
    for (const auto &j : p.jobs) ops += (int)j.size();
    start = IntVarArray(*this, ops, 0, horizon);
    IntVarArray end(*this, ops, 0, horizon);
    makespan = IntVar(*this, 0, horizon);
    std::vector<int> first;
    for (size_t j = 0, k = 0; j < p.jobs.size(); j++) {
      first.push_back((int)k);
      for (size_t i = 0; i < p.jobs[j].size(); i++, k++) {
        linear(*this, IntArgs({1, -1}), IntVarArgs() << end[k] << start[k], IRT_EQ,
               p.jobs[j][i].duration);
        if (i > 0) rel(*this, end[k - 1], IRT_LQ, start[k]);
      }
      rel(*this, makespan, IRT_GQ, end[k - 1]);
    }
    std::vector<fd_jobshop::disjunction> ds = fd_jobshop::disjunctions(p);
    before = BoolVarArray(*this, (int)ds.size(), 0, 1);
    for (size_t k = 0; k < ds.size(); k++) {
      int a = first[ds[k].job_a] + ds[k].op_a, b = first[ds[k].job_b] + ds[k].op_b;
      BoolVar after(*this, 0, 1);
      rel(*this, end[a], IRT_LQ, start[b], before[(int)k]);
      rel(*this, end[b], IRT_LQ, start[a], after);
      rel(*this, before[(int)k], BOT_OR, after, 1);
    }
    branch(*this, before, BOOL_VAR_NONE(), BOOL_VAL_MAX());
    branch(*this, start, INT_VAR_NONE(), INT_VAL_MIN());
  }
  JobShop(JobShop &other) : MakespanModel(other) { before.update(*this, other.before); }

private:
  BoolVarArray before;
};

/* The job-shop with one unary per machine over the starts (fixed durations), s + duration =<
 * next s in each job; the starts with the smallest minimum first, minimum value; branch-and-bound
 * on the makespan. cumul: one cumulative of limit 1 per machine instead. */
class JobShopUnary : public MakespanModel<JobShopUnary> {
public:
  explicit JobShopUnary(const fd_jobshop::instance &p, bool cumul = false)
  {
    int horizon = p.horizon(), ops = 0;
    for (const auto &j : p.jobs) ops += (int)j.size();
    makespan = IntVar(*this, 0, horizon);
    start = IntVarArray(*this, ops, 0, horizon);
    std::vector<IntVarArgs> on(p.machines);
    std::vector<IntArgs> dur(p.machines);
    for (size_t j = 0, k = 0; j < p.jobs.size(); j++)
      for (size_t i = 0; i < p.jobs[j].size(); i++, k++) {
        int d = p.jobs[j][i].duration;
        IntVarArgs next;
        next << start[k] << (i + 1 < p.jobs[j].size() ? start[k + 1] : makespan);
        linear(*this, IntArgs({1, -1}), next, IRT_LQ, -d);
        on[p.jobs[j][i].machine] << start[k];
        dur[p.jobs[j][i].machine] << d;
      }
    for (int m = 0; m < p.machines; m++) {
      IntArgs ones;
      for (int k = 0; k < on[m].size(); k++) ones << 1;
      if (cumul)
        cumulative(*this, 1, on[m], dur[m], ones);
      else
        unary(*this, on[m], dur[m]);
    }
    branch(*this, start, INT_VAR_MIN_MIN(), INT_VAL_MIN());
  }
  JobShopUnary(JobShopUnary &other) : MakespanModel(other) {}
};

/* A random single-resource instance (fd_rcpsp): starts in 0..horizon, each precedence and the
 * makespan by a linear constraint, one cumulative (every duration at least 1, so no item of
 * length 0 meets the difference in how they are read); smallest minimum first, minimum value. */
class CumulRandom : public MakespanModel<CumulRandom> {
public:
  explicit CumulRandom(const fd_rcpsp::instance &p)
  {
    int H = p.horizon(), n = (int)p.dur.size();
    makespan = IntVar(*this, 0, H);
    start = IntVarArray(*this, n, 0, H);
    IntArgs dur, use;
    for (int i = 0; i < n; i++) {
      dur << p.dur[i], use << p.use[i];
      before(start[i], p.dur[i], makespan);
    }
    for (auto [i, j] : p.prec) before(start[i], p.dur[i], start[j]);
    cumulative(*this, p.limit, start, dur, use);
    branch(*this, start, INT_VAR_MIN_MIN(), INT_VAL_MIN());
  }
  CumulRandom(CumulRandom &other) : MakespanModel(other) {}

private:
  /* a + d =< b */
  void before(IntVar a, int d, IntVar b)
  {
    IntVarArgs ab;
    ab << a << b;
    linear(*this, IntArgs({1, -1}), ab, IRT_LQ, -d);
  }
};

/* All solutions of a model by depth-first search: the count, Gecode's statistics and the time. */
struct run_result {
  long solutions;
  Search::Statistics statistics;
  double seconds;
};

template <class Model, class... Args>
run_result all_solutions(const Args &...args)
{
  auto start = std::chrono::steady_clock::now();
  Model *root = new Model(args...);
  DFS<Model> search(root);
  delete root;
  long solutions = 0;
  while (Model *s = search.next()) {
    solutions++;
    delete s;
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return {solutions, search.statistics(), seconds};
}

/* The fastest of three runs. */
template <class Model, class... Args>
run_result fastest(const Args &...args)
{
  run_result best = all_solutions<Model>(args...);
  for (int i = 0; i < 2; i++) {
    run_result r = all_solutions<Model>(args...);
    if (r.seconds < best.seconds) best = r;
  }
  return best;
}

/* Squares packed in a W x H box with nooverlap (every side at least 1, so no item of length 0
 * meets the difference in how zero-length items are read): for each square, largest first, its
 * x then its y, smallest value, as bench_fd's packing rows. */
class Packing : public ArrayModel<Packing> {
public:
  /* cumulatives: one redundant cumulative per side (the projections, the other side as use) */
  Packing(std::vector<int> sides, int W, int H, bool cumulatives = false)
      : ArrayModel(2 * (int)sides.size(), 0, std::max(W, H))
  {
    std::sort(sides.rbegin(), sides.rend());
    IntVarArgs xs, ys;
    IntArgs w;
    for (size_t i = 0; i < sides.size(); i++) {
      rel(*this, x[2 * i], IRT_LQ, W - sides[i]);
      rel(*this, x[2 * i + 1], IRT_LQ, H - sides[i]);
      xs << x[2 * i];
      ys << x[2 * i + 1];
      w << sides[i];
    }
    nooverlap(*this, xs, w, ys, w);
    if (cumulatives) {
      cumulative(*this, H, xs, w, w);
      cumulative(*this, W, ys, w, w);
    }
    branch(*this, x, INT_VAR_NONE(), INT_VAL_MIN());
  }
  Packing(Packing &other) : ArrayModel(other) {}
};

std::vector<int> one_to(int n)
{
  std::vector<int> s;
  for (int k = 1; k <= n; k++) s.push_back(k);
  return s;
}

const std::vector<int> tiling_sides = {1, 4, 7, 8, 9, 10, 14, 15, 18};

/* The order-21 squared square of side 112. */
const std::vector<int> squared_square_112 = {2,  4,  6,  7,  8,  9,  11, 15, 16, 17, 18,
                                             19, 24, 25, 27, 29, 33, 35, 37, 42, 50};

/* ---- the rows of bench_fd ---- */

/* Magic series of length n: the variables are their own counts (count, IPL_DOM). */
class MagicSeries : public ArrayModel<MagicSeries> {
public:
  explicit MagicSeries(int n) : ArrayModel(n, 0, n - 1)
  {
    count(*this, x, x, IPL_DOM);
    branch(*this, x, INT_VAR_NONE(), INT_VAL_MIN());
  }
  MagicSeries(MagicSeries &other) : ArrayModel(other) {}
};

/* A random cardinality instance of fd_gcc_instances.h (count, IPL_DOM). */
class Cardinality : public ArrayModel<Cardinality> {
public:
  explicit Cardinality(const fd_gcc_instances::cardinality &in)
      : ArrayModel((int)in.doms.size(), 0, (int)in.lo.size() - 1)
  {
    IntVarArgs counts;
    for (size_t j = 0; j < in.lo.size(); j++) counts << IntVar(*this, in.lo[j], in.hi[j]);
    for (size_t i = 0; i < in.doms.size(); i++) dom(*this, x[(int)i], IntSet(IntArgs(in.doms[i])));
    count(*this, x, counts, IPL_DOM);
    branch(*this, x, INT_VAR_NONE(), INT_VAL_MIN());
  }
  Cardinality(Cardinality &other) : ArrayModel(other) {}
};

/* A random nvalue instance of fd_gcc_instances.h (nvalues, IRT_EQ). */
class NValue : public ArrayModel<NValue> {
public:
  explicit NValue(const fd_gcc_instances::distinct_values &in)
      : ArrayModel((int)in.doms.size(), 1, 10)
  {
    for (size_t i = 0; i < in.doms.size(); i++) dom(*this, x[(int)i], IntSet(IntArgs(in.doms[i])));
    nvalues(*this, x, IRT_EQ, in.n);
    branch(*this, x, INT_VAR_NONE(), INT_VAL_MIN());
  }
  NValue(NValue &other) : ArrayModel(other) {}
};

/* A model whose variables x are labelled and whose `total` is minimised: the copy, the bound of
 * branch-and-bound and the value, shared by the cost models. */
template <class Derived>
class CostModel : public Space {
public:
  CostModel(int n, int lo, int hi, int most) : x(*this, n, lo, hi), total(*this, 0, most) {}
  CostModel(CostModel &other) : Space(other)
  {
    x.update(*this, other.x);
    total.update(*this, other.total);
  }
  Space *copy() override { return new Derived(static_cast<Derived &>(*this)); }
  void constrain(const Space &best) override
  {
    rel(*this, total, IRT_LE, static_cast<const Derived &>(best).total.val());
  }
  int value() const { return total.val(); }

protected:
  IntVarArray x;
  IntVar total;
};

/* A random cardinality instance with costs (fd_gcc_instances.h): the least total by
 * branch-and-bound, the total a linear sum of element costs (no cost-aware global in Gecode). */
class CardinalityCost : public CostModel<CardinalityCost> {
public:
  explicit CardinalityCost(const fd_gcc_instances::cardinality &in)
      : CostModel((int)in.doms.size(), 0, (int)in.lo.size() - 1, 30 * 50)
  {
    IntVarArgs counts, costs;
    for (size_t j = 0; j < in.lo.size(); j++) counts << IntVar(*this, in.lo[j], in.hi[j]);
    for (size_t i = 0; i < in.doms.size(); i++) {
      dom(*this, x[(int)i], IntSet(IntArgs(in.doms[i])));
      IntVar c(*this, 0, 50);
      element(*this, IntArgs(in.cost[i]), x[(int)i], c);
      costs << c;
    }
    count(*this, x, counts, IPL_DOM);
    linear(*this, costs, IRT_EQ, total);
    branch(*this, x, INT_VAR_NONE(), INT_VAL_MIN());
  }
  CardinalityCost(CardinalityCost &other) : CostModel(other) {}
};

struct outcome {
  long value; /* count or optimum */
  unsigned long nodes, failures, propagations;
};

template <class Model, class... Args>
outcome count_all(const Args &...args)
{
  run_result r = all_solutions<Model>(args...);
  return {r.solutions, r.statistics.node, r.statistics.fail, r.statistics.propagate};
}

/* Adds o's value, nodes and failures to sum, and its propagations when propagations. */
void add_counts(outcome *sum, const outcome &o, bool propagations = false)
{
  sum->value += o.value, sum->nodes += o.nodes, sum->failures += o.failures;
  if (propagations) sum->propagations += o.propagations;
}

/* The first limit solutions of the model root (deleted) by depth-first search. */
template <class Model>
outcome first_n(Model *root, long limit)
{
  DFS<Model> search(root);
  delete root;
  long found = 0;
  while (found < limit) {
    Model *s = search.next();
    if (!s) break;
    delete s;
    found++;
  }
  return {found, search.statistics().node, search.statistics().fail, search.statistics().propagate};
}

template <class Model, class... Args>
outcome first_solution(const Args &...args)
{
  return first_n(new Model(args...), 1);
}

/* The optimum of a model by branch-and-bound, its counts added to sum. */
template <class Model>
void add_optimum(Model *root, unsigned int clone_distance, outcome *sum)
{
  Search::Options o;
  if (clone_distance) o.c_d = clone_distance;
  BAB<Model> search(root, o);
  delete root;
  long best = -1;
  while (Model *s = search.next()) {
    best = s->value();
    delete s;
  }
  sum->value += best, sum->nodes += search.statistics().node;
  sum->failures += search.statistics().fail, sum->propagations += search.statistics().propagate;
}

/* The optimum of a job-shop model by branch-and-bound. Gecode posts the bound of a new solution
 * at the nearest clone above the node it explores next, and a failure there gives up the nodes
 * below it as one: clone_distance 1 (a clone at every node) tells the bound at every node, as the
 * solver's driver does without its probes; 0 keeps Gecode's default. */
template <class Model, class Instance = fd_jobshop::instance, class... Extra>
outcome optimum(const Instance &p, unsigned int clone_distance = 0, Extra... extra)
{
  outcome o{0, 0, 0, 0};
  add_optimum(new Model(p, extra...), clone_distance, &o);
  return o;
}

outcome ft06() { return optimum<JobShop>(fd_jobshop::ft06()); }
outcome unary_optimum(const fd_jobshop::instance &p) { return optimum<JobShopUnary>(p); }

/* The ten random single-resource instances: the sum of the optima, the counts summed. */
outcome cumul_random()
{
  outcome sum{0, 0, 0};
  for (uint64_t seed : fd_rcpsp::SEEDS)
    add_counts(&sum, optimum<CumulRandom, fd_rcpsp::instance>(fd_rcpsp::random(seed)));
  return sum;
}

outcome jobshop8_unary()
{
  outcome sum{0, 0, 0};
  for (uint64_t seed : fd_jobshop::JOBSHOP8_SEEDS)
    add_counts(&sum, unary_optimum(fd_jobshop::random(seed, 8, 8, 20)));
  return sum;
}

outcome random_cardinality()
{
  outcome sum{0, 0, 0};
  for (int k = 0; k < fd_gcc_instances::INSTANCES; k++)
    add_counts(&sum, first_solution<Cardinality>(fd_gcc_instances::random_cardinality(
                         fd_gcc_instances::SEED + k, 30, 8, 0)));
  return sum;
}

/* The first LIMIT solutions of a model. */
template <class Model>
outcome first_limit()
{
  outcome o{0, 0, 0, 0};
  add_counts(&o, first_n(new Model(), fd_relation_instances::LIMIT));
  return o;
}

outcome random_nvalue()
{
  outcome sum{0, 0, 0};
  for (int k = 0; k < fd_gcc_instances::INSTANCES; k++) {
    auto in = fd_gcc_instances::random_nvalue(fd_gcc_instances::SEED + k, 20, 10);
    add_counts(&sum, first_n(new NValue(in), fd_gcc_instances::NVALUE_LIMIT));
  }
  return sum;
}

outcome random_cardinality_costs()
{
  outcome sum{0, 0, 0, 0};
  for (int k = 0; k < fd_gcc_instances::INSTANCES; k++)
    add_optimum(new CardinalityCost(
                    fd_gcc_instances::random_cardinality(fd_gcc_instances::SEED + k, 30, 6, 50)),
                0, &sum);
  return sum;
}

/* bench_fd_tables' chain: one extensional per row, all over the same tuple set. */
class CaseChain : public ArrayModel<CaseChain> {
public:
  CaseChain() : ArrayModel(bench_fd_tables::CHAIN, 0, bench_fd_tables::VALUES - 1)
  {
    using namespace bench_fd_tables;
    TupleSet ts(ARITY);
    for (const tuple &t : table()) ts.add(IntArgs(t.begin(), t.end()));
    ts.finalize();
    for (int r = 0; r < ROWS; r++) {
      IntVarArgs row;
      for (int k = 0; k < ARITY; k++) row << x[STRIDE * r + k];
      extensional(*this, row, ts);
    }
    branch(*this, x, INT_VAR_NONE(), INT_VAL_MIN());
  }
  CaseChain(CaseChain &other) : ArrayModel(other) {}
};

/* bench_fd_tables' lex chain: each tuple's sum (linear), rel IRT_LQ between consecutive tuples. */
class LexChain : public ArrayModel<LexChain> {
public:
  LexChain() : ArrayModel(bench_fd_tables::LEX_TUPLES * bench_fd_tables::LEX_VARS, 0, 3)
  {
    using namespace bench_fd_tables;
    std::vector<int> s = sums();
    IntVarArgs prev;
    for (int i = 0; i < LEX_TUPLES; i++) {
      IntVarArgs tu;
      for (int j = 0; j < LEX_VARS; j++) tu << x[i * LEX_VARS + j];
      linear(*this, tu, IRT_EQ, s[i]);
      if (i > 0) rel(*this, prev, IRT_LQ, tu);
      prev = tu;
    }
    branch(*this, x, INT_VAR_NONE(), INT_VAL_MIN());
  }
  LexChain(LexChain &other) : ArrayModel(other) {}
};

/* An asymmetric TSP: circuit with the cost matrix at IPL_DOM over successors 0..n-1, the total
 * minimised; the successors labelled in order, smallest first. */
class Tsp : public CostModel<Tsp> {
public:
  Tsp(const std::vector<int> &c, int n) : CostModel(n, 0, n - 1, 100 * n)
  {
    circuit(*this, IntArgs(c), x, total, IPL_DOM);
    branch(*this, x, INT_VAR_NONE(), INT_VAL_MIN());
  }
  Tsp(Tsp &other) : CostModel(other) {}
};

/* The TSP instances of n nodes by branch-and-bound (the bound told at every node, as the
 * solver's driver does): the optima and counts summed. */
template <int n>
outcome tsp()
{
  outcome sum{0, 0, 0, 0};
  for (int k = 0; k < bench_fd_tsp::TSP_INSTANCES; k++)
    add_optimum(new Tsp(bench_fd_tsp::costs(n, k), n), 1, &sum);
  return sum;
}

/* cumulatives: tasks of fixed durations and heights on three machines (fd_sched_instances),
 * start s and end e per task (e = s + duration), the makespan at least every end; labels the
 * starts then the machines (the array start holds both), the variable of smallest minimum first
 * (the first on a tie), smallest value; branch-and-bound on the makespan. */
class Machines : public MakespanModel<Machines> {
public:
  explicit Machines(const fd_sched_instances::machines_instance &in)
  {
    int n = (int)in.duration.size();
    makespan = IntVar(*this, 0, in.horizon);
    start = IntVarArray(*this, 2 * n, 0, in.horizon);
    IntVarArgs m, s, e;
    for (int t = 0; t < n; t++) {
      start[n + t] = IntVar(*this, 0, (int)in.capacity.size() - 1);
      m << start[n + t];
      s << start[t];
      e << IntVar(*this, 0, in.horizon);
      linear(*this, IntArgs({1, -1}), IntVarArgs() << e[t] << s[t], IRT_EQ, in.duration[t]);
      rel(*this, makespan, IRT_GQ, e[t]);
    }
    cumulatives(*this, m, s, IntArgs(in.duration), e, IntArgs(in.height), IntArgs(in.capacity),
                in.upper);
    branch(*this, start, INT_VAR_MIN_MIN(), INT_VAL_MIN());
  }
  Machines(Machines &other) : MakespanModel(other) {}
};

/* The sum of the optima of the INSTANCES random machine schedules of a mode. */
outcome machines_optima(bool upper)
{
  outcome sum{0, 0, 0, 0};
  for (uint64_t seed : fd_sched_instances::machines_seeds(upper))
    add_counts(&sum, optimum<Machines>(fd_sched_instances::random_machines(seed, upper)), true);
  return sum;
}

/* sorting: X over 0..50 sorted into Y with the permutation Z (Gecode's z = the solver's P - 1),
 * five of the X summing to at least a bound; labels X, Z then Y in order, smallest value; the
 * first SORT_LIMIT solutions. */
class Sorting : public ArrayModel<Sorting> {
public:
  explicit Sorting(const fd_sched_instances::sorting_instance &in)
  {
    using namespace fd_sched_instances;
    x = IntVarArray(*this, 3 * SORT_VARS, 0, SORT_MAX);
    IntVarArgs xs, zs, ys, side;
    for (int i = 0; i < SORT_VARS; i++) {
      x[SORT_VARS + i] = IntVar(*this, 0, SORT_VARS - 1);
      xs << x[i], zs << x[SORT_VARS + i], ys << x[2 * SORT_VARS + i];
    }
    for (int v : in.subset) side << x[v];
    linear(*this, side, IRT_GQ, in.least);
    sorted(*this, xs, ys, zs);
    branch(*this, x, INT_VAR_NONE(), INT_VAL_MIN());
  }
  Sorting(Sorting &other) : ArrayModel(other) {}
};

outcome sorting_first()
{
  outcome sum{0, 0, 0, 0};
  for (int k = 0; k < fd_sched_instances::INSTANCES; k++) {
    auto in = fd_sched_instances::random_sorting(fd_sched_instances::SEED + k);
    add_counts(&sum, first_n(new Sorting(in), fd_sched_instances::SORT_LIMIT), true);
  }
  return sum;
}

struct row {
  const char *name;
  const char *value_name;
  long expected;
  int repeat;
  outcome (*run)();
  bool long_run = false; /* run only when named */
};

const row rows[] = {
    {"queens10", "solutions", 724, 1, [] { return count_all<Queens>(10, true); }},
    {"queens11", "solutions", 2680, 1, [] { return count_all<Queens>(11, true); }},
    {"queens12", "solutions", 14200, 1, [] { return count_all<Queens>(12, true); }},
    /* the solver's indexical queens: Gecode's is the same binary-disequality model */
    {"queens10_ix", "solutions", 724, 1, [] { return count_all<Queens>(10, true); }},
    {"queens12_ix", "solutions", 14200, 1, [] { return count_all<Queens>(12, true); }},
    /* all_different: Gecode's distinct on values */
    {"queens10_alldiff", "solutions", 724, 1,
     [] { return count_all<QueensDistinct>(10, IPL_VAL); }},
    {"queens11_alldiff", "solutions", 2680, 1,
     [] { return count_all<QueensDistinct>(11, IPL_VAL); }},
    {"queens12_alldiff", "solutions", 14200, 1,
     [] { return count_all<QueensDistinct>(12, IPL_VAL); }},
    {"queens10_bc", "solutions", 724, 1, [] { return count_all<QueensDistinct>(10, IPL_BND); }},
    {"queens12_bc", "solutions", 14200, 1, [] { return count_all<QueensDistinct>(12, IPL_BND); }},
    {"minimum50", "solutions", fd_relation_instances::LIMIT, 1, first_limit<Minimum>},
    {"relation100", "solutions", fd_relation_instances::LIMIT, 1, first_limit<Relation>},
    /* all_distinct: Gecode's domain-consistent distinct */
    {"queens10_ad", "solutions", 724, 1, [] { return count_all<QueensDistinct>(10, IPL_DOM); }},
    {"queens11_ad", "solutions", 2680, 1, [] { return count_all<QueensDistinct>(11, IPL_DOM); }},
    {"queens12_ad", "solutions", 14200, 1, [] { return count_all<QueensDistinct>(12, IPL_DOM); }},
    {"circuits9", "solutions", 40320, 1, [] { return count_all<Circuits>(9); }},
    {"circuits10", "solutions", 362880, 1, [] { return count_all<Circuits>(10); }},
    {"magic4_first", "solutions", 1, 1, [] { return first_solution<Magic>(4); }},
    {"magic4", "solutions", 7040, 1, [] { return count_all<Magic>(4); }},
    {"send_more", "solutions", 1, 10000, [] { return first_solution<SendMore>(); }},
    {"ft06", "optimum", 55, 100, ft06},
    {"ft06_every_node", "optimum", 55, 20,
     [] { return optimum<JobShop>(fd_jobshop::ft06(), 1); }},
    {"ft06_unary", "optimum", 55, 100, [] { return unary_optimum(fd_jobshop::ft06()); }},
    {"jobshop8_unary", "optimum", fd_jobshop::JOBSHOP8_OPTIMA, 1, jobshop8_unary},
    /* cumulative: Gecode has no global option, both rows run the same model */
    {"ft06_cumul", "optimum", 55, 100,
     [] { return optimum<JobShopUnary>(fd_jobshop::ft06(), 0, true); }},
    {"ft06_cumul_global", "optimum", 55, 100,
     [] { return optimum<JobShopUnary>(fd_jobshop::ft06(), 0, true); }},
    {"cumul_random", "optimum", 448, 1, cumul_random},
    {"cumul_random_global", "optimum", 448, 1, cumul_random},
    {"aclinear8", "solutions", 96351, 1, [] { return count_all<AcLinear>(); }},
    {"pythag500", "solutions", 386, 1, [] { return count_all<gecode_pythag::Pythag>(500); }},
    {"squares9_18", "solutions", 1, 1, [] { return first_solution<Packing>(one_to(9), 18, 18); }},
    {"squares9_17", "solutions", 0, 1, [] { return count_all<Packing>(one_to(9), 17, 17); }},
    {"squares10_21", "solutions", 1, 1, [] { return first_solution<Packing>(one_to(10), 21, 21); }},
    {"squares10_20", "solutions", 0, 1, [] { return count_all<Packing>(one_to(10), 20, 20); }},
    {"squares11_24", "solutions", 1, 1, [] { return first_solution<Packing>(one_to(11), 24, 24); }},
    {"squares11_23", "solutions", 0, 1, [] { return count_all<Packing>(one_to(11), 23, 23); }},
    {"squares12_27", "solutions", 1, 1, [] { return first_solution<Packing>(one_to(12), 27, 27); }},
    {"tiling33x32", "solutions", 4, 1, [] { return count_all<Packing>(tiling_sides, 33, 32); }},
    /* the solver's disjoint2 with edge finding: Gecode's model is the same nooverlap */
    {"squares9_17_global", "solutions", 0, 1, [] { return count_all<Packing>(one_to(9), 17, 17); }},
    {"tiling33x32_global", "solutions", 4, 1, [] { return count_all<Packing>(tiling_sides, 33, 32); }},
    /* nooverlap with one redundant cumulative per side */
    {"squares9_18_cumul", "solutions", 1, 1,
     [] { return first_solution<Packing>(one_to(9), 18, 18, true); }},
    {"squares9_17_cumul", "solutions", 0, 1,
     [] { return count_all<Packing>(one_to(9), 17, 17, true); }},
    {"squares10_21_cumul", "solutions", 1, 1,
     [] { return first_solution<Packing>(one_to(10), 21, 21, true); }},
    {"squares10_20_cumul", "solutions", 0, 1,
     [] { return count_all<Packing>(one_to(10), 20, 20, true); }},
    {"squares11_24_cumul", "solutions", 1, 1,
     [] { return first_solution<Packing>(one_to(11), 24, 24, true); }},
    {"squares11_23_cumul", "solutions", 0, 1,
     [] { return count_all<Packing>(one_to(11), 23, 23, true); }},
    {"squares12_27_cumul", "solutions", 1, 1,
     [] { return first_solution<Packing>(one_to(12), 27, 27, true); }},
    {"squares12_26_cumul", "solutions", 0, 1,
     [] { return count_all<Packing>(one_to(12), 26, 26, true); }},
    {"tiling33x32_cumul", "solutions", 4, 1,
     [] { return count_all<Packing>(tiling_sides, 33, 32, true); }},
    {"magic_series50", "solutions", 1, 1, [] { return first_solution<MagicSeries>(50); }},
    {"magic_series100", "solutions", 1, 1, [] { return first_solution<MagicSeries>(100); }},
    {"magic_series200", "solutions", 1, 1, [] { return first_solution<MagicSeries>(200); }},
    {"gcc_random", "solutions", 10, 1, random_cardinality},
    {"nvalue_random", "solutions", fd_gcc_instances::NVALUE_SOLUTIONS, 1, random_nvalue},
    {"case_chain", "solutions", bench_fd_tables::chain_solutions(), 1,
     [] { return count_all<CaseChain>(); }},
    {"lex_chain10", "solutions", fd_relation_instances::LIMIT, 1, first_limit<LexChain>},
    /* the optimum checks the solver's; its time is a different model's (linear costs) */
    {"gcc_costs_bb", "optimum", fd_gcc_instances::COSTS_OPTIMUM, 1, random_cardinality_costs},
    /* the solver's assignment with costs in circuit mode: Gecode's circuit with costs */
    {"tsp10", "optimum", bench_fd_tsp::optima(10), 1, tsp<10>},
    {"tsp12", "optimum", bench_fd_tsp::optima(12), 1, tsp<12>},
    {"tsp14", "optimum", bench_fd_tsp::optima(14), 1, tsp<14>},
    /* cumulatives (at most, at least) and sorting with the permutation; packing with the solver's
     * disjoint2 edge finding and one redundant cumulative per side: nooverlap and cumulatives */
    {"cumulatives_at_most", "optimum", fd_sched_instances::AT_MOST_OPTIMA, 1,
     [] { return machines_optima(true); }},
    {"cumulatives_at_least", "optimum", fd_sched_instances::AT_LEAST_OPTIMA, 1,
     [] { return machines_optima(false); }},
    /* the solver's cumulatives with generalization and task intervals: the same model */
    {"cumulatives_at_most_ti", "optimum", fd_sched_instances::AT_MOST_OPTIMA, 1,
     [] { return machines_optima(true); }},
    {"cumulatives_at_least_ti", "optimum", fd_sched_instances::AT_LEAST_OPTIMA, 1,
     [] { return machines_optima(false); }},
    {"sorting20", "solutions", fd_sched_instances::INSTANCES * fd_sched_instances::SORT_LIMIT, 1,
     sorting_first},
    {"squares9_17_global_cumul", "solutions", 0, 1,
     [] { return count_all<Packing>(one_to(9), 17, 17, true); }},
    {"squares10_20_global_cumul", "solutions", 0, 1,
     [] { return count_all<Packing>(one_to(10), 20, 20, true); }},
    {"squares11_23_global_cumul", "solutions", 0, 1,
     [] { return count_all<Packing>(one_to(11), 23, 23, true); }},
    {"tiling33x32_global_cumul", "solutions", 4, 1,
     [] { return count_all<Packing>(tiling_sides, 33, 32, true); }},
    /* the solver's geost, plain and with its options for exact fills: nooverlap and cumulatives */
    {"squares9_18_geost", "solutions", 1, 1,
     [] { return first_solution<Packing>(one_to(9), 18, 18, true); }},
    {"squares9_17_geost", "solutions", 0, 1,
     [] { return count_all<Packing>(one_to(9), 17, 17, true); }},
    {"squares10_21_geost", "solutions", 1, 1,
     [] { return first_solution<Packing>(one_to(10), 21, 21, true); }},
    {"squares10_20_geost", "solutions", 0, 1,
     [] { return count_all<Packing>(one_to(10), 20, 20, true); }},
    {"squares11_24_geost", "solutions", 1, 1,
     [] { return first_solution<Packing>(one_to(11), 24, 24, true); }},
    {"squares11_23_geost", "solutions", 0, 1,
     [] { return count_all<Packing>(one_to(11), 23, 23, true); }},
    {"squares12_27_geost", "solutions", 1, 1,
     [] { return first_solution<Packing>(one_to(12), 27, 27, true); }},
    {"squares12_26_geost", "solutions", 0, 1,
     [] { return count_all<Packing>(one_to(12), 26, 26, true); }},
    {"tiling33x32_geost", "solutions", 4, 1,
     [] { return count_all<Packing>(tiling_sides, 33, 32, true); }},
    {"squares9_18_geost_slack", "solutions", 1, 1,
     [] { return first_solution<Packing>(one_to(9), 18, 18, true); }},
    {"squares9_17_geost_slack", "solutions", 0, 1,
     [] { return count_all<Packing>(one_to(9), 17, 17, true); }},
    {"squares10_21_geost_slack", "solutions", 1, 1,
     [] { return first_solution<Packing>(one_to(10), 21, 21, true); }},
    {"squares10_20_geost_slack", "solutions", 0, 1,
     [] { return count_all<Packing>(one_to(10), 20, 20, true); }},
    {"squares11_24_geost_slack", "solutions", 1, 1,
     [] { return first_solution<Packing>(one_to(11), 24, 24, true); }},
    {"squares11_23_geost_slack", "solutions", 0, 1,
     [] { return count_all<Packing>(one_to(11), 23, 23, true); }},
    {"squares12_27_geost_slack", "solutions", 1, 1,
     [] { return first_solution<Packing>(one_to(12), 27, 27, true); }},
    {"squares12_26_geost_slack", "solutions", 0, 1,
     [] { return count_all<Packing>(one_to(12), 26, 26, true); }},
    {"tiling33x32_geost_slack", "solutions", 4, 1,
     [] { return count_all<Packing>(tiling_sides, 33, 32, true); }},
    /* long: run only when named */
    {"squared_square112_geost_slack", "solutions", 1, 1,
     [] { return first_solution<Packing>(squared_square_112, 112, 112, true); }, true},
};

/* Each row but the long ones (or the one named only): the best time of three runs of repeat
 * searches (a long row: one run); false when a value is wrong. */
bool run_rows(const char *only)
{
  bool ok = true;
  for (const row &r : rows) {
    if (only ? std::strcmp(only, r.name) != 0 : r.long_run) continue;
    outcome o{};
    double best = 1e30;
    for (int run = 0; run < (r.long_run ? 1 : 3); run++) {
      auto start = std::chrono::steady_clock::now();
      for (int k = 0; k < r.repeat; k++) o = r.run();
      double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      if (seconds < best) best = seconds;
    }
    std::printf("%s_seconds %.4f\n", r.name, best);
    std::printf("%s_nodes %lu\n", r.name, o.nodes);
    std::printf("%s_failures %lu\n", r.name, o.failures);
    std::printf("%s_propagations %lu\n", r.name, o.propagations * r.repeat);
    std::printf("%s_%s %ld\n", r.name, r.value_name, o.value);
    if (o.value != r.expected) {
      std::printf("%s_wrong %ld (expected %ld)\n", r.name, o.value, r.expected);
      ok = false;
    }
  }
  return ok;
}

}  // namespace

/* The circuit and kernel rates, then every row. An argument "kernel" runs the circuit and the
 * kernel rates only, a row name that row only, a number the circuit of that seed first. */
int main(int argc, char **argv)
{
  const char *only = argc > 1 && !std::isdigit((unsigned char)argv[1][0]) ? argv[1] : nullptr;
  uint64_t seed = argc > 1 && !only ? std::strtoull(argv[1], nullptr, 10) : 20;
  bool kernel = !only || std::strcmp(only, "kernel") == 0;
  if (!kernel) return run_rows(only) ? 0 : 1;
  run_result circuit = fastest<Circuit>(fd_circuit::make(seed, 20, 80, 0, true));
  std::printf("circuit_solutions %ld\n", circuit.solutions);
  std::printf("circuit_nodes %lu\n", circuit.statistics.node);
  std::printf("circuit_failures %lu\n", circuit.statistics.fail);
  std::printf("circuit_seconds %.4f\n", circuit.seconds);
  std::printf("circuit_nodes_per_second %.0f\n", (double)circuit.statistics.node / circuit.seconds);

  run_result best = fastest<Queens>(12);
  std::printf("kernel_queens12_solutions %ld\n", best.solutions);
  std::printf("kernel_queens12_propagations %lu\n", best.statistics.propagate);
  std::printf("kernel_queens12_seconds %.4f\n", best.seconds);
  std::printf("kernel_queens12_propagations_per_second %.0f\n",
              (double)best.statistics.propagate / best.seconds);
  bool rows_ok = only || run_rows(nullptr);
  return best.solutions == 14200 && rows_ok ? 0 : 1;
}
