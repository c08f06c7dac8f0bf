/* The cardinality models of bench_fd: magic series (the variables are their own counts), random
 * global_cardinality instances, random nvalue instances (fd_gcc_instances.h, the same on
 * Gecode's side) and global_cardinality with costs by branch-and-bound. Every search labels in
 * input order from the smallest value. */
#ifndef QX_BENCH_FD_GCC_H
#define QX_BENCH_FD_GCC_H

#include "../tests/library/clpfd/driver/fd_driver.h"
#include "../tests/library/clpfd/models/fd_gcc_instances.h"

namespace bench_fd_gcc {

using fd_driver::driver;
using tmpl = driver::tmpl;

/* global_cardinality(Xs, Keys, Counts) with its state as the library builds it; costs: the
 * matrix and the Cost variable. */
inline bool post_gcc(driver &d, const std::vector<int> &xs, const std::vector<int> &keys,
                     const std::vector<int> &counts, const std::vector<std::vector<int>> &cost = {},
                     int cost_var = -1)
{
  std::vector<tmpl> vars, ks, cs, entries, rows;
  for (int x : xs) vars.push_back(driver::t_var(x));
  for (size_t j = 0; j < keys.size(); j++) {
    ks.push_back(driver::t_int(keys[j]));
    cs.push_back(driver::t_var(counts[j]));
    entries.push_back(driver::t_struct("-", {driver::t_int(keys[j]), driver::t_entry(counts[j])}));
  }
  std::vector<tmpl> state = {driver::t_int((int64_t)xs.size()), driver::t_int((int64_t)keys.size()),
                             driver::t_list(vars), driver::t_list(entries)};
  if (cost_var >= 0) {
    for (const auto &row : cost) {
      std::vector<tmpl> r;
      for (int c : row) r.push_back(driver::t_int(c));
      rows.push_back(driver::t_list(r));
    }
    state.push_back(driver::t_int(1));
    state.push_back(driver::t_struct(
        "c", {driver::t_var(cost_var), driver::t_attr(cost_var), driver::t_list(rows)}));
  } else {
    state.push_back(driver::t_int(0));
    state.push_back(driver::t_atom("[]"));
  }
  state.push_back(driver::t_int(0));
  return d.post_state({"global_cardinality",
                       {driver::t_list(vars), driver::t_list(ks), driver::t_list(cs)}, state}) == 1;
}

/* Magic series of length n, first solution. */
template <int n>
bool magic_series(driver &d, fd_driver::counts *c, long *value)
{
  std::vector<int> xs, keys;
  for (int i = 0; i < n; i++) xs.push_back(d.new_var(0, n - 1)), keys.push_back(i);
  if (!post_gcc(d, xs, keys, xs) || d.search(xs, {}, nullptr, c) != 1) return false;
  *value = (long)c->solutions;
  return true;
}

inline std::vector<int> vars_in(driver &d, const std::vector<std::vector<int>> &doms)
{
  std::vector<int> xs;
  for (const auto &dom : doms) xs.push_back(d.new_var_in({dom.begin(), dom.end()}));
  return xs;
}

/* Ten random instances (30 variables, 8 keys), first solution each: the solutions found. */
inline bool random_gcc(driver &d, fd_driver::counts *c, long *value)
{
  *value = 0;
  for (int k = 0; k < fd_gcc_instances::INSTANCES; k++) {
    auto in = fd_gcc_instances::random_cardinality(fd_gcc_instances::SEED + k, 30, 8, 0);
    std::vector<int> xs = vars_in(d, in.doms), keys, counts;
    for (int j = 0; j < 8; j++) keys.push_back(j), counts.push_back(d.new_var(in.lo[j], in.hi[j]));
    fd_driver::counts one;
    if (!post_gcc(d, xs, keys, counts) || d.search(xs, {}, nullptr, &one) != 1) return false;
    c->nodes += one.nodes, c->failures += one.failures, *value += (long)one.solutions;
  }
  return true;
}

/* Ten random nvalue instances (20 variables within 1..10, N fixed to 4..7): their solutions,
 * each counted up to NVALUE_LIMIT. */
inline bool random_nvalue(driver &d, fd_driver::counts *c, long *value)
{
  *value = 0;
  for (int k = 0; k < fd_gcc_instances::INSTANCES; k++) {
    auto in = fd_gcc_instances::random_nvalue(fd_gcc_instances::SEED + k, 20, 10);
    int n = d.new_var(in.n, in.n);
    std::vector<int> xs = vars_in(d, in.doms);
    std::vector<tmpl> vars, entries;
    for (int x : xs) vars.push_back(driver::t_var(x)), entries.push_back(driver::t_entry(x));
    std::vector<tmpl> state = {driver::t_entry(n), driver::t_list(entries),
                               driver::t_int((int64_t)xs.size()), driver::t_int(0)};
    if (d.post_state({"nvalue", {driver::t_var(n), driver::t_list(vars)}, state}) != 1) continue;
    long found = 0;
    auto upto = [&found](driver &) { return ++found < fd_gcc_instances::NVALUE_LIMIT; };
    fd_driver::counts one;
    if (d.search(xs, {}, upto, &one) != 1) return false;
    c->nodes += one.nodes, c->failures += one.failures, *value += found;
  }
  return true;
}

/* Ten random instances with costs (30 variables, 6 keys, costs 1..50): the least totals by
 * branch-and-bound, summed. */
inline bool random_gcc_costs(driver &d, fd_driver::counts *c, long *value)
{
  *value = 0;
  for (int k = 0; k < fd_gcc_instances::INSTANCES; k++) {
    auto in = fd_gcc_instances::random_cardinality(fd_gcc_instances::SEED + k, 30, 6, 50);
    std::vector<int> xs = vars_in(d, in.doms), keys, counts;
    for (int j = 0; j < 6; j++) keys.push_back(j), counts.push_back(d.new_var(in.lo[j], in.hi[j]));
    int cost = d.new_var(0, 30 * 50);
    driver::options o;
    o.cost = cost;
    fd_driver::counts one;
    if (!post_gcc(d, xs, keys, counts, in.cost, cost) || d.search(xs, o, nullptr, &one) != 1)
      return false;
    TAGGED bound;
    std::vector<int32_t> values;
    if (!d.incumbent(&bound, &values) || !IsSmall(bound)) return false;
    c->nodes += one.nodes, c->failures += one.failures, *value += GetSmall(bound);
  }
  return true;
}

}  // namespace bench_fd_gcc

#endif
