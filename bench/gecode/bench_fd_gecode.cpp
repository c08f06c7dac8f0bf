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

#include "fd_circuit.h"
#include "fd_jobshop.h"
#include "gecode_aclinear.h"

#include <gecode/int.hh>
#include <gecode/search.hh>

#include "gecode_pythag.h"

using namespace Gecode;

namespace {

class Queens : public Space {
public:
  explicit Queens(int n, bool ff = false) : q(*this, n, 0, n - 1)
  {
    for (int i = 0; i < n; i++)
      for (int j = i + 1; j < n; j++) {
        IntVarArgs pair;
        pair << q[i] << q[j];
        rel(*this, q[i], IRT_NQ, q[j]);
        linear(*this, IntArgs({1, -1}), pair, IRT_NQ, j - i); /* q[i] + i != q[j] + j */
        linear(*this, IntArgs({1, -1}), pair, IRT_NQ, i - j); /* q[i] - i != q[j] - j */
      }
    if (ff)
      branch(*this, q, INT_VAR_SIZE_MIN(), INT_VAL_MIN());
    else
      branch(*this, q, INT_VAR_NONE(), INT_VAL_MIN());
  }
  Queens(Queens &other) : Space(other) { q.update(*this, other.q); }
  Space *copy() override { return new Queens(*this); }

private:
  IntVarArray q;
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

class SendMore : public Space {
public:
  SendMore() : x(*this, 8, 0, 9)
  {
    linear(*this, IntArgs({1000, 91, -90, 1, -9000, -900, 10, -1}), x, IRT_EQ, 0);
    pairwise_different(*this, x);
    rel(*this, x[0], IRT_NQ, 0);
    rel(*this, x[4], IRT_NQ, 0);
    branch(*this, x, INT_VAR_NONE(), INT_VAL_MIN());
  }
  SendMore(SendMore &other) : Space(other) { x.update(*this, other.x); }
  Space *copy() override { return new SendMore(*this); }

private:
  IntVarArray x;
};

class Magic : public Space {
public:
  explicit Magic(int n) : x(*this, n * n, 1, n * n)
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
  Magic(Magic &other) : Space(other) { x.update(*this, other.x); }
  Space *copy() override { return new Magic(*this); }

private:
  IntVarArray x;
};

/* The job-shop of the solver's model: end = start + duration, precedences, a reified pair and
 * a disjunction per pair of operations on a machine; every B1 in order 1 first, then the starts
 * from their minimum; branch-and-bound on the makespan. */
class JobShop : public Space {
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
  JobShop(JobShop &other) : Space(other)
  {
    start.update(*this, other.start);
    before.update(*this, other.before);
    makespan.update(*this, other.makespan);
  }
  Space *copy() override { return new JobShop(*this); }
  void constrain(const Space &best) override
  {
    rel(*this, makespan, IRT_LE, static_cast<const JobShop &>(best).value());
  }
  int value() const { return makespan.min(); } /* every start fixed: the latest end */

private:
  IntVarArray start;
  BoolVarArray before;
  IntVar makespan;
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

/* ---- the rows of bench_fd ---- */

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

template <class Model, class... Args>
outcome first_solution(const Args &...args)
{
  Model *root = new Model(args...);
  DFS<Model> search(root);
  delete root;
  Model *s = search.next();
  long found = s != nullptr;
  delete s;
  return {found, search.statistics().node, search.statistics().fail,
          search.statistics().propagate};
}

/* ft06 to its optimum. Gecode posts the bound of a new solution at the nearest clone above the
 * node it explores next, and a failure there gives up the nodes below it as one: clone_distance
 * 1 (a clone at every node) tells the bound at every node, as the solver's driver does without
 * its probes. */
outcome ft06(unsigned int clone_distance)
{
  JobShop *root = new JobShop(fd_jobshop::ft06());
  Search::Options o;
  if (clone_distance) o.c_d = clone_distance;
  BAB<JobShop> search(root, o);
  delete root;
  long best = -1;
  while (JobShop *s = search.next()) {
    best = s->value();
    delete s;
  }
  return {best, search.statistics().node, search.statistics().fail, search.statistics().propagate};
}

struct row {
  const char *name;
  const char *value_name;
  long expected;
  int repeat;
  outcome (*run)();
};

const row rows[] = {
    {"queens10", "solutions", 724, 1, [] { return count_all<Queens>(10, true); }},
    {"queens11", "solutions", 2680, 1, [] { return count_all<Queens>(11, true); }},
    {"queens12", "solutions", 14200, 1, [] { return count_all<Queens>(12, true); }},
    /* the solver's indexical queens: Gecode's is the same binary-disequality model */
    {"queens10_ix", "solutions", 724, 1, [] { return count_all<Queens>(10, true); }},
    {"queens12_ix", "solutions", 14200, 1, [] { return count_all<Queens>(12, true); }},
    {"magic4_first", "solutions", 1, 1, [] { return first_solution<Magic>(4); }},
    {"magic4", "solutions", 7040, 1, [] { return count_all<Magic>(4); }},
    {"send_more", "solutions", 1, 10000, [] { return first_solution<SendMore>(); }},
    {"ft06", "optimum", 55, 100, [] { return ft06(0); }},
    {"ft06_every_node", "optimum", 55, 20, [] { return ft06(1); }},
    {"aclinear8", "solutions", 96351, 1, [] { return count_all<AcLinear>(); }},
    {"pythag500", "solutions", 386, 1, [] { return count_all<gecode_pythag::Pythag>(500); }},
};

/* Each row (or the one named only): the best time of three runs of repeat searches; false when a
 * value is wrong. */
bool run_rows(const char *only)
{
  bool ok = true;
  for (const row &r : rows) {
    if (only && std::strcmp(only, r.name) != 0) continue;
    outcome o{};
    double best = 1e30;
    for (int run = 0; run < 3; run++) {
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
