/* Job-shop instances, shared by the model tests, the solver's benchmark and the Gecode program
 * (plain C++, no engine): each job a sequence of operations (machine, duration), every job
 * visiting every machine once. */
#ifndef QX_FD_JOBSHOP_H
#define QX_FD_JOBSHOP_H

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <vector>

namespace fd_jobshop {

struct operation {
  int machine, duration;
};

struct instance {
  std::vector<std::vector<operation>> jobs;
  int machines = 0;
  int horizon() const
  {
    int h = 0;
    for (const auto &j : jobs)
      for (const operation &o : j) h += o.duration;
    return h;
  }
};

/* Fisher and Thompson's 6x6 instance; its optimum is 55. */
inline instance ft06()
{
  static const int data[6][12] = {
      {2, 1, 0, 3, 1, 6, 3, 7, 5, 3, 4, 6}, {1, 8, 2, 5, 4, 10, 5, 10, 0, 10, 3, 4},
      {2, 5, 3, 4, 5, 8, 0, 9, 1, 1, 4, 7}, {1, 5, 0, 5, 2, 5, 3, 3, 4, 8, 5, 9},
      {2, 9, 1, 3, 4, 5, 5, 4, 0, 3, 3, 1}, {1, 3, 3, 3, 5, 9, 0, 10, 4, 4, 2, 1},
  };
  instance p;
  p.machines = 6;
  for (const auto &row : data) {
    p.jobs.emplace_back();
    for (int k = 0; k < 12; k += 2) p.jobs.back().push_back({row[k], row[k + 1]});
  }
  return p;
}

/* A random instance: each job visits the machines in a random order, durations 1..max_duration
 * (a 64-bit linear congruential generator, so every program draws the same instance). */
inline instance random(uint64_t seed, int jobs, int machines, int max_duration)
{
  auto next = [&seed](int bound) {
    seed = seed * 6364136223846793005ull + 1442695040888963407ull;
    return (int)((seed >> 33) % (uint64_t)bound);
  };
  instance p;
  p.machines = machines;
  for (int j = 0; j < jobs; j++) {
    std::vector<int> order(machines);
    std::iota(order.begin(), order.end(), 0);
    for (int k = machines - 1; k > 0; k--) std::swap(order[k], order[next(k + 1)]);
    p.jobs.emplace_back();
    for (int m : order) p.jobs.back().push_back({m, 1 + next(max_duration)});
  }
  return p;
}

/* Ten random(seed, 8, 8, 20) job-shops whose optimum a unary model with smallest-minimum
 * labelling proves within a second (the first ten such seeds; others take minutes), and the sum
 * of their optimal makespans. */
constexpr uint64_t JOBSHOP8_SEEDS[10] = {1, 3, 15, 16, 18, 22, 24, 25, 27, 30};
constexpr long JOBSHOP8_OPTIMA = 1292;

/* The operations sharing a machine, as pairs of (job, index) for each pair of jobs, machine by
 * machine: the disjunctions of the model, in the order the models post and label them. */
struct disjunction {
  int job_a, op_a, job_b, op_b;
};
inline std::vector<disjunction> disjunctions(const instance &p)
{
  std::vector<disjunction> out;
  for (int m = 0; m < p.machines; m++)
    for (size_t a = 0; a < p.jobs.size(); a++)
      for (size_t b = a + 1; b < p.jobs.size(); b++)
        for (size_t i = 0; i < p.jobs[a].size(); i++)
          for (size_t k = 0; k < p.jobs[b].size(); k++)
            if (p.jobs[a][i].machine == m && p.jobs[b][k].machine == m)
              out.push_back({(int)a, (int)i, (int)b, (int)k});
  return out;
}

/* The best makespan over all machine orders: for each machine every permutation of the jobs
 * on it, each combination scheduled at earliest starts (infeasible when the orders and the
 * jobs' sequences form a cycle). An oracle independent of the solver, for small instances. */
inline int best_earliest_start(const instance &p)
{
  int n = (int)p.jobs.size();
  std::vector<std::vector<int>> perm(p.machines, std::vector<int>(n));
  for (auto &q : perm) std::iota(q.begin(), q.end(), 0);
  int best = -1;
  for (;;) {
    /* Earliest starts by relaxation: at most jobs*machines rounds without a cycle. */
    std::vector<std::vector<int>> start(n, std::vector<int>(p.machines, 0));
    std::vector<std::vector<int>> op_on(n, std::vector<int>(p.machines, -1));
    for (int j = 0; j < n; j++)
      for (int i = 0; i < (int)p.jobs[j].size(); i++) op_on[j][p.jobs[j][i].machine] = i;
    bool changed = true;
    int rounds = 0, limit = n * p.machines + 1;
    while (changed && rounds++ <= limit) {
      changed = false;
      auto raise = [&](int j, int i, int t) {
        if (start[j][i] < t) start[j][i] = t, changed = true;
      };
      for (int j = 0; j < n; j++)
        for (int i = 1; i < (int)p.jobs[j].size(); i++)
          raise(j, i, start[j][i - 1] + p.jobs[j][i - 1].duration);
      for (int m = 0; m < p.machines; m++)
        for (int k = 1; k < n; k++) {
          int a = perm[m][k - 1], b = perm[m][k];
          int ia = op_on[a][m], ib = op_on[b][m];
          raise(b, ib, start[a][ia] + p.jobs[a][ia].duration);
        }
    }
    if (!changed) {
      int span = 0;
      for (int j = 0; j < n; j++)
        for (int i = 0; i < (int)p.jobs[j].size(); i++)
          span = std::max(span, start[j][i] + p.jobs[j][i].duration);
      if (best < 0 || span < best) best = span;
    }
    int m = 0;
    while (m < p.machines && !std::next_permutation(perm[m].begin(), perm[m].end())) m++;
    if (m == p.machines) return best;
  }
}

}  // namespace fd_jobshop

#endif
