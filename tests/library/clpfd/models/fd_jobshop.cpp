/* Job-shop scheduling through the driver: end = start + duration by an equation, precedences
 * in each job, one reified pair and a disjunction per pair of operations on a machine. */
#include "fd_models.h"

namespace fd_models {

using drv = fd_driver::driver;

bool jobshop_model(drv &d, const fd_jobshop::instance &p, jobshop *js)
{
  int horizon = p.horizon();
  js->start.assign(p.jobs.size(), {});
  js->end.assign(p.jobs.size(), {});
  for (size_t j = 0; j < p.jobs.size(); j++)
    for (const fd_jobshop::operation &o : p.jobs[j]) {
      int s = d.new_var(0, horizon), e = d.new_var(0, horizon);
      if (s < 0 || e < 0) return false;
      js->start[j].push_back(s);
      js->end[j].push_back(e);
      if (d.post_linear({{1, e}, {-1, s}}, 3, o.duration) != 1) return false;
    }
  js->makespan = d.new_var(0, horizon);
  int one = d.new_var(0, 1);
  if (js->makespan < 0 || one < 0) return false;
  for (size_t j = 0; j < p.jobs.size(); j++) {
    for (size_t i = 1; i < p.jobs[j].size(); i++)
      if (d.post_linear({{1, js->end[j][i - 1]}, {-1, js->start[j][i]}}, 1, 0) != 1) return false;
    if (d.post_linear({{1, js->makespan}, {-1, js->end[j].back()}}, 2, 0) != 1) return false;
  }
  js->before.clear();
  for (const fd_jobshop::disjunction &x : fd_jobshop::disjunctions(p)) {
    int b1 = d.new_var(0, 1), b2 = d.new_var(0, 1);
    if (b1 < 0 || b2 < 0) return false;
    js->before.push_back(b1);
    int ea = js->end[x.job_a][x.op_a], sa = js->start[x.job_a][x.op_a];
    int eb = js->end[x.job_b][x.op_b], sb = js->start[x.job_b][x.op_b];
    if (d.post("le_iff", {drv::var(ea), drv::var(sb), drv::var(b1)}) != 1 ||
        d.post("le_iff", {drv::var(eb), drv::var(sa), drv::var(b2)}) != 1 ||
        d.post("bool", {drv::var(b1), drv::var(b2), drv::var(one), drv::param(fd_circuit::OR)}) !=
            1)
      return false;
  }
  return d.exclude(one, 0) == 1;
}

bool jobshop_unary_model(drv &d, const fd_jobshop::instance &p, jobshop *js, bool cumulative, int flags)
{
  int horizon = p.horizon();
  js->start.assign(p.jobs.size(), {});
  js->end.assign(p.jobs.size(), {});
  js->before.clear();
  js->makespan = d.new_var(0, horizon);
  if (js->makespan < 0) return false;
  for (size_t j = 0; j < p.jobs.size(); j++) {
    for (size_t i = 0; i < p.jobs[j].size(); i++) {
      int s = d.new_var(0, horizon);
      if (s < 0) return false;
      js->start[j].push_back(s);
      int next = i + 1 < p.jobs[j].size() ? -1 : js->makespan;
      if (i > 0 && d.post_linear({{1, js->start[j][i - 1]}, {-1, s}}, 1, -p.jobs[j][i - 1].duration) != 1)
        return false;
      if (next >= 0 && d.post_linear({{1, s}, {-1, next}}, 1, -p.jobs[j][i].duration) != 1)
        return false;
    }
  }
  for (int m = 0; m < p.machines; m++) {
    std::vector<drv::tmpl> items;
    for (size_t j = 0; j < p.jobs.size(); j++)
      for (size_t i = 0; i < p.jobs[j].size(); i++)
        if (p.jobs[j][i].machine == m) {
          int s = js->start[j][i], dur = p.jobs[j][i].duration;
          if (!cumulative) {
            items.push_back(drv::t_struct("item", {drv::t_var(s), drv::t_attr(s), drv::t_int(dur),
                                                   drv::t_int(dur), drv::t_atom("t")}));
            continue;
          }
          int e = d.new_var(0, horizon + dur);
          if (e < 0) return false;
          items.push_back(drv::t_struct("task", {drv::t_entry(s), drv::t_int(dur), drv::t_entry(e),
                                                 drv::t_int(1), drv::t_int((int)items.size())}));
        }
    int n = (int)items.size();
    drv::posting post{"disjoint1",
                      {drv::t_atom("items"), drv::t_atom("options")},
                      {drv::t_int(n),
                       drv::t_struct("opt", {drv::t_int(0), drv::t_int(0), drv::t_int(0),
                                             drv::t_atom("[]")}),
                       drv::t_list(items), drv::t_int(n), drv::t_int(0)}};
    if (cumulative) {
      int lower = d.new_var(0, horizon), upper = d.new_var(0, horizon);
      if (lower < 0 || upper < 0) return false;
      post = {"cumulative",
              {drv::t_atom("tasks"), drv::t_atom("options")},
              {drv::t_int(n), drv::t_list(items), drv::t_atom("[]"), drv::t_int(1), drv::t_entry(lower),
               drv::t_entry(upper), drv::t_int(flags), drv::t_int(n), drv::t_int(0)}};
    }
    if (d.post_state(post) != 1) return false;
  }
  return true;
}

drv::options jobshop_unary_search(const jobshop &js)
{
  drv::options o;
  o.rule = fd_driver::choice::min;
  o.cost = js.makespan;
  return o;
}

std::vector<int> jobshop::vars() const
{
  std::vector<int> v = before;
  for (const auto &job : start) v.insert(v.end(), job.begin(), job.end());
  return v;
}

drv::options jobshop::search() const
{
  drv::options o;
  o.largest_first = before.size();
  o.cost = makespan;
  return o;
}

}  // namespace fd_models
