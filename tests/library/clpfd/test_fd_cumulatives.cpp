/* cumulatives/3 as a row of the shared checker: random tasks (origin, duration, end, height,
 * machine) on two or three machines with gaps between their identifiers, both modes, negative
 * heights and capacities; the option bits as variants; the constraint's edge cases and the mended
 * faults as instances; mutated states. */
#include "fd_harness.h"

namespace {

using fd_harness::driver;
using fd_harness::instance;
using fd_harness::row;
using fd_harness::set_arg;
using fd_harness::tuple;

/* data: n, nm, options, then (identifier, capacity) per machine. Variables: o, d, e, h, m per
 * task. Variants add option bits (0x2 generalization, 0x4 task intervals, 0x8 next task only,
 * then the three together). */
int64_t options(const instance &in) { return in.data[2] | in.variant; }

/* o + d = e for each task, each on a listed machine; on each machine, at each point that a task
 * of duration >= 1 on it covers, the heights of the covering tasks sum to at most (0x1) or at
 * least the capacity. */
bool cum_sat(const instance &in, const tuple &x)
{
  int n = (int)in.data[0], nm = (int)in.data[1];
  bool upper = options(in) & 1;
  for (int t = 0; t < n; t++) {
    if (x[5 * t] + x[5 * t + 1] != x[5 * t + 2]) return false;
    bool listed = false;
    for (int m = 0; m < nm; m++) listed |= x[5 * t + 4] == in.data[3 + 2 * m];
    if (!listed) return false;
  }
  for (int m = 0; m < nm; m++)
    for (int t = 0; t < n; t++)
      for (int64_t p = x[5 * t]; p < x[5 * t + 2]; p++) { /* every covered point */
        if (x[5 * t + 4] != in.data[3 + 2 * m]) break;
        int64_t sum = 0;
        for (int u = 0; u < n; u++)
          if (x[5 * u + 4] == x[5 * t + 4] && x[5 * u] <= p && p < x[5 * u + 2]) sum += x[5 * u + 3];
        if (upper ? sum > in.data[4 + 2 * m] : sum < in.data[4 + 2 * m]) return false;
      }
  return true;
}

driver::posting cum_posting(const instance &in, const std::vector<int> &vars)
{
  int n = (int)in.data[0], nm = (int)in.data[1];
  std::vector<driver::tmpl> tasks, machines;
  for (int t = 0; t < n; t++) {
    std::vector<driver::tmpl> e;
    for (int k = 0; k < 5; k++) e.push_back(driver::t_entry(vars[5 * t + k]));
    tasks.push_back(driver::t_struct("task", e));
  }
  for (int m = 0; m < nm; m++)
    machines.push_back(driver::t_struct(
        "machine", {driver::t_int(in.data[3 + 2 * m]), driver::t_int(in.data[4 + 2 * m])}));
  return {"cumulatives",
          {driver::t_atom("tasks"), driver::t_atom("machines"), driver::t_atom("options")},
          {driver::t_int(n), driver::t_int(nm), driver::t_int(options(in)), driver::t_list(tasks),
           driver::t_list(machines), driver::t_int(n), driver::t_int(0)}};
}

/* With path_dependent, option 0x4 or 0x8 (or both) is on in every instance, and a fresh post may
 * prune less than the walk (no check (e)): 0x8 prunes only up to the first task not entirely
 * fixed after a backtrack but every task on the same branch; task intervals look at the part of
 * a window that a task has left since the last call's snapshot. */
row cum_row(bool path_dependent = false)
{
  row r;
  r.name = path_dependent ? "cumulatives path dependent" : "cumulatives";
  r.fresh = !path_dependent;
  r.generate = [path_dependent](fd_harness::rng &g) {
    instance in;
    int n = 1 + g.below(4), nm = 2 + g.below(2);
    bool upper = g.below(2);
    in.data = {n, nm, (upper ? 1 : 0) | 2 * g.below(2) | (path_dependent ? 4 * (1 + g.below(3)) : 0)};
    for (int m = 0, id = g.below(2); m < nm; m++, id += 1 + g.below(2))
      for (int64_t v : {(int64_t)id, (int64_t)(upper ? g.below(5) - 1 : g.below(4) - 1)})
        in.data.push_back(v);
    for (int t = 0; t < n; t++) {
      int o = g.below(5), d = g.below(3), h = upper ? g.below(5) - 2 : g.below(4) - 1;
      in.doms.push_back(fd_harness::random_domain(g, o, o + g.below(3)));
      in.doms.push_back(fd_harness::random_domain(g, d, d + g.below(2)));
      in.doms.push_back(fd_harness::random_domain(g, o + d, std::min(o + d + g.below(3), 8)));
      in.doms.push_back(fd_harness::random_domain(g, h, h + g.below(2)));
      in.doms.push_back(fd_harness::random_domain(g, 0, 5, 50)); /* unlisted values too */
    }
    return in;
  };
  r.sat = cum_sat;
  r.posting = cum_posting;
  r.variants = {0, 2, 4, 8, 0xe};
  r.instances = 150;
  r.walks = 2;
  r.steps = 20;
  auto machine = [](int64_t id, int64_t cap) {
    return driver::t_struct("machine", {driver::t_int(id), driver::t_int(cap)});
  };
  r.mutations = {
      {"NTasks not the length", set_arg(0, driver::t_int(7))},
      {"NMachines not the length", set_arg(1, driver::t_int(1))},
      {"NTasks not an integer", set_arg(0, driver::t_atom("a"))},
      {"Options not an integer", set_arg(2, driver::t_atom("a"))},
      {"NTargets + NSources not NTasks", set_arg(6, driver::t_int(2))},
      {"machines descending",
       [=](driver::posting &p) { p.state[4] = driver::t_list({machine(5, 1), machine(2, 1)}); }},
      {"a machine repeated",
       [=](driver::posting &p) { p.state[4] = driver::t_list({machine(2, 1), machine(2, 1)}); }},
      {"a capacity not an integer",
       [](driver::posting &p) { p.state[4].args[0].args[1] = driver::t_atom("c"); }},
      {"Tasks an improper list",
       [](driver::posting &p) { p.state[3] = driver::t_improper(p.state[3].args, driver::t_atom("x")); }},
      {"a task of four entries",
       [](driver::posting &p) { p.state[3].args[0].args.pop_back(); }},
      {"a task entry not a variable entry",
       [](driver::posting &p) { p.state[3].args[0].args[2] = driver::t_atom("e"); }},
  };
  return r;
}

class FdCumulatives : public fd_harness::FdHarness {};

TEST_F(FdCumulatives, HasEveryProperty) { check_row(cum_row()); }
TEST_F(FdCumulatives, PathDependentOptionsHaveEveryPropertyButFresh) { check_row(cum_row(true)); }

/* Up to five tasks over horizon 8 with fixed durations and heights, machine variables open: in
 * both modes and with every option variant, search finds the oracle's solutions. */
TEST_F(FdCumulatives, SearchFindsTheOraclesSolutions)
{
  row rw = cum_row();
  fd_harness::rng g{2024};
  for (int k = 0; k < scaled(8) && !HasFailure(); k++) {
    instance in;
    int n = qx_gc_stress ? 3 : 4 + g.below(2), nm = 2 + g.below(2);
    bool upper = k % 2 == 0;
    in.data = {n, nm, upper ? 1 : 0};
    for (int m = 0; m < nm; m++)
      for (int64_t v : {(int64_t)(2 * m + 1), (int64_t)(upper ? 1 + g.below(4) : g.below(3))})
        in.data.push_back(v);
    for (int t = 0; t < n; t++) {
      int d = 1 + g.below(3), o = g.below(8 - d), h = upper ? g.below(5) - 1 : g.below(4);
      int m0 = g.below(nm);
      fd_oracle::values os = {o, std::min(o + 1 + g.below(2), 8 - d)}, es = {o + d, os[1] + d};
      in.doms.push_back(fd_oracle::domain::of(os));
      in.doms.push_back(fd_oracle::domain::of({d}));
      in.doms.push_back(fd_oracle::domain::of(es));
      in.doms.push_back(fd_oracle::domain::of({h}));
      int64_t m1 = 2 * m0 + 1, m2 = 2 * ((m0 + 1) % nm) + 1;
      in.doms.push_back(fd_oracle::domain::of({std::min(m1, m2), std::max(m1, m2)}));
    }
    SCOPED_TRACE("search instance " + std::to_string(k));
    check_variants(rw, in);
  }
}

/* Edge cases and the mended faults, each checked as the row's instances are, with the
 * outcome or domains the case is about. */
TEST_F(FdCumulatives, EdgeCases)
{
  row rw = cum_row();
  auto make = [](std::vector<int64_t> head, std::vector<std::vector<int64_t>> doms) {
    instance in;
    in.data = head;
    for (auto &d : doms) in.doms.push_back(fd_oracle::domain::of(d));
    return in;
  };
  struct edge {
    const char *what;
    instance in;
    int outcome;          /* of the post: 1 propagated (entailed without var), 0 failed */
    int var = -1;         /* then this variable's domain is */
    std::vector<int64_t> dom{};
  };
  const std::vector<edge> rows = {
      {"every task fixed and fitting: entailed",
       make({2, 2, 1, 1, 2, 2, 1}, {{0}, {2}, {2}, {2}, {1}, {1}, {2}, {3}, {1}, {2}}), 1},
      {"every task fixed, over capacity: failure",
       make({2, 2, 1, 1, 2, 2, 1}, {{0}, {2}, {2}, {2}, {1}, {1}, {2}, {3}, {3}, {1}}), 0},
      {"a negative height must cover the overloaded stretch on machine 1",
       make({2, 2, 1, 1, 1, 2, 9}, {{1}, {2}, {3}, {3}, {1}, {0, 1, 2, 3}, {3}, {3, 4, 5, 6}, {-2}, {1, 2}}),
       1, 9, {1}},
      {"at-least mode: an uncovered stretch need not reach the capacity",
       make({1, 2, 0, 1, 2, 2, 2}, {{0, 1, 2, 3, 4}, {2}, {2, 3, 4, 5, 6}, {2}, {1, 2}}), 1, 0,
       {0, 1, 2, 3, 4}},
      {"unlisted machine values go at the first call",
       make({1, 2, 1, 1, 3, 4, 3}, {{0}, {1}, {1}, {1}, {0, 1, 2, 3, 4, 5}}), 1, 4, {1, 4}},
      {"a zero-height task on a capacity below zero cannot run there",
       make({1, 2, 0x5, 1, -1, 2, 0}, {{0}, {1}, {1}, {0}, {1, 2}}), 1, 4, {2}},
      {"a negative height never limits how it overlaps (task intervals on)",
       make({2, 1, 0x5, 1, 1}, {{0}, {2}, {2}, {2}, {1}, {0, 1, 2, 3}, {1, 2, 3}, {1, 2, 3, 4, 5, 6}, {-1}, {1}}),
       1, 5, {0}},
      {"without generalization a task on two open machines keeps its origins",
       make({3, 2, 1, 1, 1, 2, 1}, {{0}, {2}, {2}, {1}, {1}, {0}, {2}, {2}, {1}, {2},
                                    {0, 1, 2, 3, 4}, {2}, {2, 3, 4, 5, 6}, {1}, {1, 2}}),
       1, 10, {0, 1, 2, 3, 4}},
      {"generalization: busy on both machines until 2, the task starts at 2 or later",
       make({3, 2, 3, 1, 1, 2, 1}, {{0}, {2}, {2}, {1}, {1}, {0}, {2}, {2}, {1}, {2},
                                    {0, 1, 2, 3, 4}, {2}, {2, 3, 4, 5, 6}, {1}, {1, 2}}),
       1, 10, {2, 3, 4}},
      {"all tasks pruned: the second task starts after the fixed third",
       make({3, 1, 1, 1, 1}, {{5, 6}, {1}, {6, 7}, {1}, {1}, {0, 1, 2, 3}, {2}, {2, 3, 4, 5}, {1}, {1},
                              {0}, {2}, {2}, {1}, {1}}),
       1, 5, {2, 3}},
      {"0x8: the first task is open, so the second one is not pruned",
       make({3, 1, 9, 1, 1}, {{5, 6}, {1}, {6, 7}, {1}, {1}, {0, 1, 2, 3}, {2}, {2, 3, 4, 5}, {1}, {1},
                              {0}, {2}, {2}, {1}, {1}}),
       1, 5, {0, 1, 2, 3}},
      {"durations 0 occupy nothing",
       make({2, 1, 1, 1, 0}, {{0, 1}, {0}, {0, 1}, {3}, {1}, {0, 1}, {0}, {0, 1}, {2}, {1}}), 1, 0, {0, 1}},
      {"a window of no length is not swept: entailed",
       make({1, 1, 1, 1, 0}, {{2}, {0}, {2}, {5}, {1}}), 1},
      {"a height of -1, harmless on machine 1 only, still lowers machine 2's level",
       make({2, 2, 1, 1, 5, 2, -3}, {{0}, {2}, {2}, {-2}, {2}, {0}, {2}, {2}, {-1}, {1, 2}}), 1, 9, {2}},
      {"a frontier task that may last 0 covers no point of its window",
       make({2, 1, 1, 1, 1}, {{0, 1}, {3}, {3, 4}, {1}, {1}, {1, 2}, {0, 1}, {1, 2, 3}, {1}, {1}}), 1, 0,
       {0, 1}},
      {"a task kept off a compulsory part: the origins that would meet it go, from the bound",
       make({2, 1, 1, 1, 1}, {{2}, {2}, {4}, {1}, {1}, {1, 2, 3, 4, 5}, {2}, {3, 4, 5, 6, 7}, {1}, {1}}), 1, 5,
       {4, 5}},
      {"a height over a compulsory part is capped by what the others leave",
       make({2, 1, 1, 1, 3}, {{0}, {2}, {2}, {2}, {1}, {0}, {2}, {2}, {0, 1, 2, 3}, {1}}), 1, 8, {0, 1}},
      {"at-least mode: a height over a compulsory part must make up the capacity",
       make({2, 1, 0, 1, 3}, {{0}, {2}, {2}, {2}, {1}, {0}, {2}, {2}, {0, 1, 2, 3}, {1}}), 1, 8, {1, 2, 3}},
      {"frontier: a task must not cover the whole window of a task that has no compulsory part",
       make({2, 1, 1, 1, 1}, {{2, 3, 4, 5, 6}, {3}, {5, 6, 7, 8, 9}, {1}, {1}, {2, 3, 4}, {2}, {4, 5, 6}, {1}, {1}}),
       1, 0, {4, 5, 6}},
      {"task intervals with a zero height",
       make({2, 1, 5, 1, 1}, {{0, 1, 2}, {1}, {1, 2, 3}, {1}, {1}, {0, 1}, {1}, {1, 2}, {0}, {1}}), 1, 5,
       {0, 1}},
  };
  for (size_t k = 0; k < rows.size() && !HasFailure(); k++) {
    SCOPED_TRACE(rows[k].what);
    const instance &in = rows[k].in;
    walk_and_variants(rw, in, 7);
    fd_harness::result r = run(rw, in);
    ASSERT_EQ(r.outcome, rows[k].outcome);
    if (rows[k].outcome == 1 && rows[k].var < 0) {
      EXPECT_TRUE(r.entailed);
    }
    if (rows[k].var >= 0) {
      EXPECT_EQ(r.doms[rows[k].var], fd_oracle::domain::of(rows[k].dom));
    }
  }
}

/* A solution's values bound one at a time, in variable order and in reverse: every step
 * propagates. Fixed tasks leave the active range once no open task's window meets theirs; a
 * sweep that takes the window of one of the fixed tasks still there must count the others
 * where they run (at-least mode: tasks 2 and 3 offset each other at time 1). */
TEST_F(FdCumulatives, BindingASolutionNeverFails)
{
  auto of = [](std::vector<std::vector<int64_t>> vs) {
    std::vector<fd_oracle::domain> d;
    for (auto &v : vs) d.push_back(fd_oracle::domain::of(v));
    return d;
  };
  instance in;
  in.data = {4, 2, 4, 1, 0, 3, 0};
  in.doms = of({{3, 4}, {2}, {5}, {0}, {0, 1, 4, 5}, {0}, {1}, {1, 2, 3}, {2, 3}, {0, 1, 2, 3},
                {1, 2, 3}, {1}, {2}, {1}, {0, 2, 3, 5}, {0}, {2, 3}, {2}, {-1}, {0, 3}});
  const std::vector<int32_t> solution = {3, 2, 5, 0, 1, 0, 1, 1, 2, 3, 1, 1, 2, 1, 3, 0, 2, 2, -1, 3};
  row rw = cum_row();
  ASSERT_TRUE(rw.sat(in, tuple(solution.begin(), solution.end())));
  for (bool reverse : {false, true}) {
    driver d(api);
    fd_undo_scope undo(w, QX_ALT_FAILCODE);
    std::vector<int> vars = make_vars(d, in.doms);
    ASSERT_EQ(post(d, rw, in, vars).outcome, 1);
    for (size_t k = 0; k < vars.size(); k++) {
      size_t i = reverse ? vars.size() - 1 - k : k;
      ASSERT_EQ(d.bind(vars[i], solution[i], fd_driver::binding::in_interval), 1)
          << (reverse ? "reverse" : "forward") << " step " << k;
    }
  }
}

}  // namespace
