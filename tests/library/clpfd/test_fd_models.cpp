/* The classic models posted through the driver: their solution counts and solutions checked by
 * plain arithmetic, N-queens' search tree against Gecode's figures for the same model and search,
 * and job-shop optima by branch-and-bound against an enumeration of every machine order. */
#include <set>

#include "driver/fd_driver.h"
#include "fd_kernel_env.h"
#include "gc.h"
#include "models/fd_models.h"
#include "wam_internal.h"

namespace {

using fd_driver::driver;

class FdModels : public FdKernelTest {
protected:
  /* Every solution's values of the first n variables (all when stop is 0), or the first `stop`;
   * each must satisfy ok, and no two may be equal. */
  template <typename Ok>
  std::vector<std::vector<int>> solve(driver &d, int n, const driver::options &o,
                                      fd_driver::counts *c, Ok ok, size_t stop = 0)
  {
    std::vector<std::vector<int>> found;
    auto record = [&](driver &dd) {
      std::vector<int> s;
      for (int x = 0; x < n; x++) s.push_back(dd.bound(x) ? dd.value(x) : -1);
      EXPECT_TRUE(ok(s));
      found.push_back(s);
      return stop == 0 || found.size() < stop;
    };
    EXPECT_EQ(d.search({}, o, record, c), 1) << exception() << d.error();
    EXPECT_EQ(std::set<std::vector<int>>(found.begin(), found.end()).size(), found.size());
    return found;
  }
};

bool queens_ok(const std::vector<int> &q)
{
  for (size_t i = 0; i < q.size(); i++)
    for (size_t j = i + 1; j < q.size(); j++)
      if (q[i] < 0 || q[i] == q[j] || q[i] - q[j] == (int)(j - i) || q[j] - q[i] == (int)(j - i))
        return false;
  return true;
}

bool magic_ok(const std::vector<int> &m, int n)
{
  int sum = n * (n * n + 1) / 2, d1 = 0, d2 = 0;
  std::set<int> seen(m.begin(), m.end());
  if ((int)seen.size() != n * n || *seen.begin() != 1 || *seen.rbegin() != n * n) return false;
  for (int k = 0; k < n; k++) {
    int row = 0, col = 0;
    for (int i = 0; i < n; i++) row += m[k * n + i], col += m[i * n + k];
    if (row != sum || col != sum) return false;
    d1 += m[k * n + k], d2 += m[k * n + n - 1 - k];
  }
  return d1 == sum && d2 == sum;
}

/* N-queens, ff and minimum value: the counts for n = 1..10 (1..6 in the collector's stress
 * mode), every solution checked and distinct; for n = 8 and 10 the nodes and failures Gecode reports for the same model and
 * search (more nodes would mean pruning missed). */
TEST_F(FdModels, QueensCountsAndSearchTree)
{
  const uint64_t counts[] = {1, 0, 0, 2, 10, 4, 40, 92, 352, 724};
  int top = qx_gc_stress ? 6 : 10;
  for (int n = 1; n <= top; n++) {
    fd_driver::undo_scope undo(w);
    driver d(api);
    ASSERT_TRUE(fd_models::queens(d, n)) << n << exception() << d.error();
    fd_driver::counts c;
    SCOPED_TRACE(n);
    solve(d, n, fd_models::queens_search(), &c, queens_ok);
    EXPECT_EQ(c.solutions, counts[n - 1]);
    if (n == 8) {
      EXPECT_EQ(std::make_pair(c.nodes, c.failures), std::make_pair(767ull, 292ull));
    }
    if (n == 10) {
      EXPECT_EQ(std::make_pair(c.nodes, c.failures), std::make_pair(11431ull, 4992ull));
    }
  }
}

/* SEND+MORE: the one solution 9567 + 1085 = 10652. */
TEST_F(FdModels, SendMoreHasOneSolution)
{
  fd_driver::undo_scope undo(w);
  driver d(api);
  ASSERT_TRUE(fd_models::send_more(d)) << exception() << d.error();
  fd_driver::counts c;
  auto sums = [](const std::vector<int>
                     &v) { /* S E N D M O R Y */
                           auto word = [&](std::initializer_list<int> at) {
                             int w = 0;
                             for (int k : at) w = 10 * w + v[k];
                             return w;
                           };
                           return word({0, 1, 2, 3}) + word({4, 5, 6, 1}) == word({4, 5, 2, 1, 7});
  };
  auto found = solve(d, 8, {}, &c, sums);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0], (std::vector<int>{9, 5, 6, 7, 1, 0, 8, 2}));
}

/* Magic squares: order 3 has its 8 solutions, each magic; order 4's first solution is magic
 * (not in the collector's stress mode). */
TEST_F(FdModels, MagicSquares)
{
  fd_driver::undo_scope undo(w);
  {
    fd_driver::undo_scope undo3(w);
    driver d(api);
    ASSERT_TRUE(fd_models::magic_square(d, 3)) << exception() << d.error();
    fd_driver::counts c;
    auto magic = [](const std::vector<int> &m) { return magic_ok(m, 3); };
    EXPECT_EQ(solve(d, 9, fd_models::magic_search(), &c, magic).size(), 8u);
  }
  if (qx_gc_stress) return; /* order 4 is too slow under a collection per allocation */
  driver d(api);
  ASSERT_TRUE(fd_models::magic_square(d, 4)) << exception() << d.error();
  fd_driver::counts c;
  auto magic = [](const std::vector<int> &m) { return magic_ok(m, 4); };
  EXPECT_EQ(solve(d, 16, fd_models::magic_search(), &c, magic, 1).size(), 1u);
}

/* Random 3x3 and 4x3 job-shops by branch-and-bound: the optimum is the best earliest-start
 * schedule over every machine order, the incumbent record holds it with the values of the
 * last solution, and those starts are a schedule of that makespan. */
TEST_F(FdModels, JobShopOptimaAgainstEveryMachineOrder)
{
  int seeds = qx_gc_stress ? 1 : 6;
  for (int jobs : {3, 4})
    for (int seed = 1; seed <= seeds; seed++) {
      if (qx_gc_stress && jobs == 4) continue;
      fd_jobshop::instance p = fd_jobshop::random((uint64_t)seed * 7919 + jobs, jobs, 3, 6);
      int best = fd_jobshop::best_earliest_start(p);
      fd_driver::undo_scope undo(w);
      driver d(api);
      fd_models::jobshop js;
      ASSERT_TRUE(fd_models::jobshop_model(d, p, &js)) << exception() << d.error();
      fd_driver::counts c;
      std::vector<int> vars = js.vars();
      int last = -1;
      auto on_solution = [&](driver &dd) {
        int span = dd.domain(js.makespan).front();
        EXPECT_TRUE(last < 0 || span < last) << "not improving";
        last = span;
        return true;
      };
      ASSERT_EQ(d.search(vars, js.search(), on_solution, &c), 1) << exception() << d.error();
      EXPECT_EQ(last, best) << jobs << "x3 seed " << seed;
      TAGGED bound;
      std::vector<int32_t> values;
      ASSERT_TRUE(d.incumbent(&bound, &values));
      EXPECT_EQ(bound, MakeSmall(best));
      ASSERT_EQ(values.size(), vars.size());
      /* The recorded starts: precedences in each job, no overlap on a machine, the makespan. */
      std::vector<std::vector<int>> start(p.jobs.size());
      size_t k = js.before.size();
      int span = 0;
      for (size_t j = 0; j < p.jobs.size(); j++)
        for (size_t i = 0; i < p.jobs[j].size(); i++, k++) {
          start[j].push_back(values[k]);
          span = std::max(span, values[k] + p.jobs[j][i].duration);
          if (i) {
            EXPECT_GE(values[k], start[j][i - 1] + p.jobs[j][i - 1].duration);
          }
        }
      EXPECT_EQ(span, best);
      for (const fd_jobshop::disjunction &x : fd_jobshop::disjunctions(p)) {
        int sa = start[x.job_a][x.op_a], sb = start[x.job_b][x.op_b];
        EXPECT_TRUE(sa + p.jobs[x.job_a][x.op_a].duration <= sb ||
                    sb + p.jobs[x.job_b][x.op_b].duration <= sa);
      }
    }
}

/* Branch-and-bound probes the bound only every few levels after a solution and replays the
 * path down to the deepest open branch: the same improving solutions in the same order as the
 * search that tries every right branch (choicepoints as queries, which takes no shortcut), fewer
 * failures on trees deeper than the probe distance, the undo leaving the heap as it was and no
 * global pruning at any fixpoint, replayed nodes included. */
TEST_F(FdModels, JobShopProbesAbandonSubtreesWithTheSameSolutions)
{
  int deeper = 0;
  for (int seed = 1; seed <= (qx_gc_stress ? 1 : 4); seed++) {
    fd_jobshop::instance p =
        fd_jobshop::random((uint64_t)seed * 104729, qx_gc_stress ? 4 : 5, qx_gc_stress ? 3 : 4, 9);
    std::vector<int> spans[2];
    fd_driver::counts c[2];
    fd_driver::checker watch;
    watch.heap = true;
    for (int queries = 0; queries < 2; queries++) {
      fd_driver::undo_scope undo(w);
      driver d(api);
      watch.d = &d;
      fd_models::jobshop js;
      ASSERT_TRUE(fd_models::jobshop_model(d, p, &js)) << exception() << d.error();
      driver::options o = js.search();
      o.queries = queries == 1;
      if (!queries) o.watch = &watch;
      auto on_solution = [&](driver &dd) {
        spans[queries].push_back(dd.domain(js.makespan).front());
        return true;
      };
      ASSERT_EQ(d.search(js.vars(), o, on_solution, &c[queries]), 1) << exception() << d.error();
    }
    SCOPED_TRACE("seed " + std::to_string(seed));
    EXPECT_EQ(spans[0], spans[1]);
    EXPECT_LE(c[0].failures, c[1].failures);
    deeper += c[0].failures < c[1].failures;
    EXPECT_EQ(watch.pruning, 0);
    EXPECT_EQ(watch.differing, 0);
  }
  EXPECT_GT(deeper, 0);
}

}  // namespace
