/* The classic models posted through the test driver, one row per model (bench/gecode's program
 * has the same rows): each row states the model on a fresh driver and searches it, repeat times
 * per timed run, under a query that undoes it all. Prints per row the best time of three runs,
 * the nodes and failures of one run, its count or optimum, and from a fourth run the propagator
 * runs (indexicals and globals, all repeats) and the driver's own share of the time (outside the
 * natives and the slow-path queries) as "name value" lines, and
 * exits non-zero when a count or optimum is wrong. An argument names the one row to run; "list"
 * prints the row names. */
#include <chrono>
#include <cstring>

#include "../tests/library/clpfd/driver/fd_driver.h"
#include "../tests/library/clpfd/models/fd_models.h"
#include "../tests/library/clpfd/models/fd_queens_ix.h"
#include "bench_fd_aclinear.h"
#include "bench_fd_common.h"
#include "bench_fd_pythag.h"

namespace {

using fd_driver::driver;

/* One search of a row's model on d: its counts and its value (count or optimum); false when
 * posting or the search fails. */
using model_fn = bool (*)(driver &d, fd_driver::counts *c, long *value);

struct row {
  const char *name;
  const char *value_name; /* "solutions" or "optimum" */
  long expected;
  int repeat;
  model_fn run;
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

/* ft06 to its optimum; probes false: the bound is told at every node entered (the search's
 * choicepoints are queries then, which leaves the probes out). */
bool ft06_search(driver &d, fd_driver::counts *c, long *value, bool probes)
{
  fd_models::jobshop js;
  if (!fd_models::jobshop_model(d, fd_jobshop::ft06(), &js)) return false;
  driver::options o = js.search();
  o.queries = !probes;
  if (d.search(js.vars(), o, nullptr, c) != 1) return false;
  TAGGED bound;
  std::vector<int32_t> values;
  if (!d.incumbent(&bound, &values) || !IsSmall(bound)) return false;
  *value = GetSmall(bound);
  return true;
}

bool ft06(driver &d, fd_driver::counts *c, long *value) { return ft06_search(d, c, value, true); }
bool ft06_every_node(driver &d, fd_driver::counts *c, long *value)
{
  return ft06_search(d, c, value, false);
}

const row rows[] = {
    {"queens10", "solutions", 724, 1, queens<10>},
    {"queens11", "solutions", 2680, 1, queens<11>},
    {"queens12", "solutions", 14200, 1, queens<12>},
    {"queens10_ix", "solutions", 724, 1, queens_ix<10>},
    {"queens12_ix", "solutions", 14200, 1, queens_ix<12>},
    {"magic4_first", "solutions", 1, 1, magic4_first},
    {"magic4", "solutions", 7040, 1, magic4_all},
    {"send_more", "solutions", 1, 10000, send_more},
    {"ft06", "optimum", 55, 100, ft06},
    {"ft06_every_node", "optimum", 55, 20, ft06_every_node},
    {"aclinear8", "solutions", bench_fd_aclinear::SOLUTIONS, 1, bench_fd_aclinear::equation8},
    {"pythag500", "solutions", 386, 1, bench_fd_pythag::pythag500},
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
    for (const row &r : rows) std::printf("%s\n", r.name);
    return 0;
  }
  int status = 0;
  for (const row &r : rows) {
    if (argc > 1 && std::strcmp(argv[1], r.name) != 0) continue;
    fd_driver::counts c;
    long value = -1;
    double best = 1e30, seconds, native;
    bool ok = true;
    for (int run = 0; run < 3 && ok; run++) {
      ok = run_row(api, r, false, &c, &value, &seconds, &native);
      if (seconds < best) best = seconds;
    }
    double total = 0;
    struct fd_state *fd = fd_state(api);
    fd->resumptions = 0;
    if (ok) ok = run_row(api, r, true, &c, &value, &total, &native);
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
    if (value != r.expected) {
      std::printf("%s_wrong %ld (expected %ld)\n", r.name, value, r.expected);
      status = 1;
    }
  }
  return status;
}
