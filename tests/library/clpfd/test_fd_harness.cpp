/* The shared checker of the global constraints on a constraint the kernel already has (a linear
 * inequality), and the checker failing on a row whose relation the constraint does not state. */
#include <gtest/gtest-spi.h>

#include "fd_harness.h"

namespace {

using fd_harness::driver;
using fd_harness::instance;
using fd_harness::level;
using fd_harness::row;
using fd_harness::tuple;

/* sum of a_i * x_i =< data[0], coefficients data[1..n]. */
row linear_row()
{
  row r;
  r.name = "linear";
  r.generate = [](fd_harness::rng &g) {
    instance in;
    int n = 2 + g.below(3);
    in.data.push_back(g.below(7) - 3);
    for (int i = 0; i < n; i++) {
      in.doms.push_back(fd_harness::random_domain(g, -3, 3));
      in.data.push_back(g.below(2) ? 1 + g.below(2) : -1 - g.below(2)); /* no zero coefficient */
    }
    return in;
  };
  r.sat = [](const instance &in, const tuple &t) {
    int64_t s = 0;
    for (size_t i = 0; i < t.size(); i++) s += in.data[i + 1] * t[i];
    return s <= in.data[0];
  };
  r.posting = [](const instance &in, const std::vector<int> &vars) {
    std::vector<driver::tmpl> terms;
    for (size_t i = 0; i < vars.size(); i++)
      terms.push_back(driver::t_struct(
          "t", {driver::t_int(in.data[i + 1]), driver::t_var(vars[i]), driver::t_attr(vars[i])}));
    std::vector<driver::tmpl> args = {driver::t_list(terms), driver::t_int(1),
                                      driver::t_int(in.data[0]), driver::t_int(0)};
    return driver::posting{"scalar_product", args, args};
  };
  r.claimed = level::bounds;
  r.instances = 40;
  return r;
}

class FdHarnessSelf : public fd_harness::FdHarness {};

TEST_F(FdHarnessSelf, LinearInequalityHasEveryProperty) { check_row(linear_row()); }

/* The checker reports: a relation the constraint does not state (its solutions are pruned), a
 * mutation that leaves the state as it was (the post is taken). */
TEST_F(FdHarnessSelf, ReportsLostSolutionsAndTakenMutations)
{
  row r = linear_row();
  r.name = "wrong";
  r.instances = 1;
  r.sat = [](const instance &in, const tuple &t) {
    int64_t s = 0;
    for (size_t i = 0; i < t.size(); i++) s += in.data[i + 1] * t[i];
    return s >= in.data[0];
  };
  r.mutations = {{"none", [](driver::posting &) {}}};
  ::testing::TestPartResultArray results;
  {
    ::testing::ScopedFakeTestPartResultReporter fake(
        ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &results);
    check_row(r);
  }
  std::string all;
  for (int k = 0; k < results.size(); k++) all += results.GetTestPartResult(k).message();
  EXPECT_NE(all.find("lost a solution"), std::string::npos);
  EXPECT_NE(all.find("a mutated state was taken"), std::string::npos);
}

}  // namespace
