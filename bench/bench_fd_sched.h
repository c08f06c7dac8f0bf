/* cumulatives/3 and sorting/3 through the test driver on fd_sched_instances' random instances
 * (bench/gecode has the same models with cumulatives and sorted). */
#ifndef QX_BENCH_FD_SCHED_H
#define QX_BENCH_FD_SCHED_H

#include <vector>

#include "../tests/library/clpfd/driver/fd_driver.h"
#include "../tests/library/clpfd/models/fd_sched_instances.h"

namespace bench_fd_sched {

using fd_driver::driver;

/* One machine schedule: a start, an end (start + duration) and a machine 0..2 per task, the
 * makespan at least every end; the starts then the machines, smallest minimum first, smallest
 * value; branch-and-bound on the makespan. value: the optimum. */
inline bool machines(driver &d, const fd_sched_instances::machines_instance &in, int options,
                     fd_driver::counts *c, long *value)
{
  int n = (int)in.duration.size(), nm = (int)in.capacity.size();
  int makespan = d.new_var(0, in.horizon);
  std::vector<int> starts, mach;
  std::vector<driver::tmpl> tasks, machines;
  for (int t = 0; t < n; t++) {
    int s = d.new_var(0, in.horizon), e = d.new_var(0, in.horizon), m = d.new_var(0, nm - 1);
    int du = d.new_var(in.duration[t], in.duration[t]), h = d.new_var(in.height[t], in.height[t]);
    starts.push_back(s), mach.push_back(m);
    tasks.push_back(driver::t_struct("task", {driver::t_entry(s), driver::t_entry(du), driver::t_entry(e),
                                              driver::t_entry(h), driver::t_entry(m)}));
    if (d.post_linear({{1, e}, {-1, s}}, 3, in.duration[t]) != 1 ||
        d.post_linear({{1, e}, {-1, makespan}}, 1, 0) != 1)
      return false;
  }
  for (int m = 0; m < nm; m++)
    machines.push_back(driver::t_struct("machine", {driver::t_int(m), driver::t_int(in.capacity[m])}));
  driver::posting p{"cumulatives",
                    {driver::t_atom("tasks"), driver::t_atom("machines"), driver::t_atom("options")},
                    {driver::t_int(n), driver::t_int(nm), driver::t_int(options | (in.upper ? 1 : 0)),
                     driver::t_list(tasks), driver::t_list(machines), driver::t_int(n), driver::t_int(0)}};
  if (d.post_state(p) != 1) return false;
  std::vector<int> vars = starts;
  vars.insert(vars.end(), mach.begin(), mach.end());
  driver::options o;
  o.rule = fd_driver::choice::min;
  o.cost = makespan;
  if (d.search(vars, o, nullptr, c) != 1) return false;
  TAGGED bound;
  std::vector<int32_t> values;
  if (!d.incumbent(&bound, &values) || !IsSmall(bound)) return false;
  *value = GetSmall(bound);
  return true;
}

/* The sum of the optima of the mode's instances, the counts summed. */
template <bool upper, int options>
bool machines_optima(driver &d, fd_driver::counts *c, long *value)
{
  fd_driver::counts sum;
  long total = 0;
  for (uint64_t seed : fd_sched_instances::machines_seeds(upper)) {
    QX_term_ref mark = QX_new_term_refs(0);
    fd_driver::counts one;
    long best;
    {
      driver e(d.api());
      if (!machines(e, fd_sched_instances::random_machines(seed, upper), options, &one, &best))
        return false;
    }
    QX_reset_term_refs(mark);
    sum.nodes += one.nodes, sum.failures += one.failures, total += best;
  }
  *c = sum;
  *value = total;
  return true;
}

/* X over 0..50 sorted into Y with the permutation P (1..20), five of the X summing to at least
 * the instance's bound; X, P then Y in order, smallest value; the first SORT_LIMIT solutions. */
inline bool sorting(driver &d, const fd_sched_instances::sorting_instance &in, fd_driver::counts *c,
                    long *value)
{
  using namespace fd_sched_instances;
  std::vector<int> x, p, y;
  for (int i = 0; i < SORT_VARS; i++) x.push_back(d.new_var(0, SORT_MAX));
  for (int i = 0; i < SORT_VARS; i++) p.push_back(d.new_var(1, SORT_VARS));
  for (int i = 0; i < SORT_VARS; i++) y.push_back(d.new_var(0, SORT_MAX));
  std::vector<driver::lin_term> side;
  for (int v : in.subset) side.push_back({1, x[v]});
  if (d.post_linear(side, 2, in.least) != 1) return false;
  driver::posting post{"sorting",
                       {driver::t_vars(x), driver::t_vars(p), driver::t_vars(y)},
                       {driver::t_entries(x), driver::t_entries(p), driver::t_entries(y),
                        driver::t_int(SORT_VARS), driver::t_int(0), driver::t_int(0)}};
  if (d.post_state(post) != 1) return false;
  std::vector<int> vars = x;
  vars.insert(vars.end(), p.begin(), p.end());
  vars.insert(vars.end(), y.begin(), y.end());
  long found = 0;
  auto up_to_limit = [&found](driver &) { return ++found < SORT_LIMIT; };
  if (d.search(vars, {}, up_to_limit, c) != 1) return false;
  *value = (long)c->solutions;
  return true;
}

inline bool sorting_first(driver &d, fd_driver::counts *c, long *value)
{
  fd_driver::counts sum;
  long total = 0;
  for (int k = 0; k < fd_sched_instances::INSTANCES; k++) {
    QX_term_ref mark = QX_new_term_refs(0);
    fd_driver::counts one;
    long found;
    {
      driver e(d.api());
      if (!sorting(e, fd_sched_instances::random_sorting(fd_sched_instances::SEED + k), &one, &found))
        return false;
    }
    QX_reset_term_refs(mark);
    sum.nodes += one.nodes, sum.failures += one.failures, total += found;
  }
  *c = sum;
  *value = total;
  return true;
}

}  // namespace bench_fd_sched

#endif
