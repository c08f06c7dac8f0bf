/* Longest-hole tables against an oracle that places subsets of the tasks in a hole. */
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <random>

#include "fd_lh_oracle.h"
#include "fd_sched.h"
#include "fd_test_env.h"

namespace {

using lh_oracle::longest_hole;
using lh_oracle::piece;

class LongestHoles : public ::testing::Test {
protected:
  FdTestEnv env;
  /* Both tables of one row for the pieces. */
  std::vector<lhs> list; /* the tasks as the last call sorted them */
  void tables(const std::vector<piece> &ts, int sigma, int bblength, int bbheight,
              std::vector<int32_t> *open, std::vector<int32_t> *closed, int maxbacks = -1, int rows = 1)
  {
    list.clear();
    for (const piece &p : ts) list.push_back({p.l, p.h, 0});
    open->assign(rows * bbheight + 1, -7), closed->assign(rows * bbheight + 1, -7);
    for (int row = 0; row < rows; row++) {
      env.w->numstack_end = nullptr;
      fd_lh_init(&env.api, env.w, sigma, row, rows, bblength, bbheight, (int)list.size(),
                 list.data(), open->data(), closed->data(), maxbacks, 2);
    }
  }
  /* One refinement of row 0's entry for eps on the given tables: its answer; nback in/out. */
  int64_t refine(const std::vector<lhs> &tasks, const std::vector<int32_t> &open,
                 const std::vector<int32_t> &closed, int bbheight, int eps, int sigma, int c,
                 int enable, int *nback)
  {
    env.w->numstack_end = nullptr;
    return clh1(&env.api, eps, sigma, nback, (int)tasks.size(), tasks.data(), open.data(),
                closed.data(), 0, bbheight, c, enable, env.w);
  }
};

TEST_F(LongestHoles, TablesBoundTheLongestHoleFromAbove)
{
  std::mt19937 rng(3);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  for (int round = 0; round < (fd_gc_stress ? 20 : 150); round++) {
    std::vector<piece> ts(pick(1, 5));
    int bbheight = pick(1, 7);
    for (piece &p : ts) p = {pick(1, 5), pick(1, bbheight)};
    int sigma = pick(0, 6), bblength = pick(3, 30);
    std::string what = "sigma " + std::to_string(sigma) + " bblength " + std::to_string(bblength);
    for (const piece &p : ts) what += " " + std::to_string(p.l) + "x" + std::to_string(p.h);
    SCOPED_TRACE(what);
    /* hook 6: the refined tables (closed-form bounds, then the search with a large budget) */
    for (int hook = 0; hook <= 6; hook++) {
      fd_lh_bound_hook = hook == 6 ? 0 : hook;
      std::vector<int32_t> open, closed;
      tables(ts, sigma, bblength, bbheight, &open, &closed, hook == 6 ? 100000 : -1);
      for (int eps = 1; eps <= bbheight; eps++) {
        for (bool c : {false, true}) {
          int64_t want = std::min<int64_t>(bblength, longest_hole(ts, eps, sigma, c));
          int32_t got = (c ? closed : open)[eps - 1];
          EXPECT_GE(got, want) << "eps " << eps << (c ? " closed" : " open") << " bound " << hook;
          EXPECT_LE(got, bblength);
        }
      }
      EXPECT_EQ(open[bbheight], -7); /* nothing past the row */
      if (HasFailure()) break;
    }
    fd_lh_bound_hook = 0;
    if (HasFailure()) return;
  }
}

TEST_F(LongestHoles, EdgeCases)
{
  std::vector<int32_t> open, closed;
  /* bbheight 0 fills nothing */
  tables({{3, 1}}, 2, 10, 0, &open, &closed);
  EXPECT_EQ(open[0], -7);
  /* no task lower than eps: the tasks of height eps plus sigma / eps */
  tables({{3, 2}, {4, 2}, {5, 3}}, 5, 40, 2, &open, &closed);
  EXPECT_EQ(open[0], 5);  /* eps 1: no task of height 1, none lower */
  EXPECT_EQ(open[1], 3 + 4 + 2);
  EXPECT_EQ(closed[1], 3 + 4 + 2);
  /* capped at bblength */
  tables({{30, 1}}, 0, 10, 1, &open, &closed);
  EXPECT_EQ(open[0], 10);
  /* a budget of 0 answers the entry after the first backtrack */
  std::vector<int32_t> o0, c0;
  tables({{3, 2}, {2, 1}, {2, 1}}, 1, 20, 3, &o0, &c0);
  tables({{3, 2}, {2, 1}, {2, 1}}, 1, 20, 3, &open, &closed, 0);
  for (int eps = 1; eps <= 3; eps++) {
    EXPECT_LE(closed[eps - 1], c0[eps - 1]);
    EXPECT_LE(open[eps - 1], o0[eps - 1]);
  }
}

/* The bisection finds the least slack a linear scan finds, on nondecreasing callbacks. */
int64_t table_of[64];
int64_t table_method(ORVALIS_API_STRUCT *, int64_t slack, int, int) { return table_of[slack]; }

TEST_F(LongestHoles, MinlossMatchesALinearScan)
{
  std::mt19937 rng(11);
  for (int round = 0; round < 300; round++) {
    int64_t v = 0;
    for (int64_t &x : table_of) x = v += std::uniform_int_distribution<int>(0, 2)(rng);
    int64_t low = rng() % 30, up = low + rng() % 30, len = rng() % 50, sigma = up + 3;
    int64_t want = sigma + 1;
    if (table_of[up] >= len) {
      want = low;
      while (want < up && table_of[want] < len) want++;
    }
    EXPECT_EQ(get_minloss(&env.api, len, low, up, 1, sigma, table_method, 1), want);
  }
}

/* The refinement reads a closed hole as closed on the left only and an open one as open on both
 * sides: against that oracle, every option, either choice stack and any budget. */
TEST_F(LongestHoles, RefinementNeverFallsBelowTheHolesItSearches)
{
  std::mt19937 rng(8);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  const int big = 1000000;
  int searched = 0, straight = 0;
  for (int round = 0; round < (fd_gc_stress ? 8 : 100); round++) {
    std::vector<piece> ts(pick(3, 6));
    int bbheight = pick(2, 6), sigma = pick(0, 4);
    for (piece &p : ts) p = {pick(1, round % 2 ? 2 : 5), pick(1, bbheight)};
    std::string what = "sigma " + std::to_string(sigma);
    for (const piece &p : ts) what += " " + std::to_string(p.l) + "x" + std::to_string(p.h);
    SCOPED_TRACE(what);
    std::vector<int32_t> open0, closed0;
    tables(ts, sigma, 60, bbheight, &open0, &closed0);
    for (int eps = 1; eps <= bbheight; eps++)
      for (int c : {1, 0}) {
        SCOPED_TRACE("eps " + std::to_string(eps) + (c ? " closed" : " open"));
        /* every other round the entry is raised: a looser start makes the search work */
        std::vector<int32_t> open = open0, closed = closed0;
        int64_t entry = (c ? closed : open)[eps - 1] += round % 2 ? 0 : 3;
        int64_t want = longest_hole(ts, eps, sigma, c, true);
        int64_t res[4];
        int nb = big;
        bool ran = false;
        for (int enable = 0; enable < 8; enable++) { /* 4..7: the same with the up-front stack */
          fd_clh_hooks.upfront = enable >= 4;
          fd_clh_hooks.nchoice = -1;
          nb = big;
          int64_t r = refine(list, open, closed, bbheight, eps, sigma, c, enable & 3, &nb);
          EXPECT_GE(r, want);
          EXPECT_LE(r, entry);
          ran = fd_clh_hooks.nchoice >= 0;
          if (enable < 4) res[enable] = r;
          if (enable >= 4) {
            EXPECT_EQ(r, res[enable & 3]) << "the up-front stack answers otherwise";
            if (ran) {
              EXPECT_FALSE(fd_clh_hooks.grew);
            }
          }
        }
        fd_clh_hooks.upfront = false;
        int64_t first = res[3];
        if (nb < big) { /* it backtracked: budget 0 keeps the entry */
          searched++;
          int zero = 0;
          EXPECT_EQ(refine(list, open, closed, bbheight, eps, sigma, c, 3, &zero), entry);
          EXPECT_EQ(zero, -1);
        } else if (ran) { /* the fixed rule, or a descent reaching the entry: exact */
          straight++;
          EXPECT_EQ(first, std::min(entry, want));
        }
        if (c) { /* the tasks of height eps stay out of the search and add their length */
          std::vector<lhs> lower;
          int64_t sum = 0;
          for (const lhs &x : list) (x.h == eps ? sum += x.l : (lower.push_back(x), 0));
          std::vector<int32_t> less = closed;
          less[eps - 1] -= (int32_t)sum;
          nb = big;
          EXPECT_EQ(refine(lower, open, less, bbheight, eps, sigma, c, 3, &nb) + sum, first);
        }
      }
    /* rows for the slacks 1..3 after each other, refined with the rows below */
    std::vector<int32_t> open, closed;
    tables(ts, 1, 60, bbheight, &open, &closed, big, 3);
    for (int row = 0; row < 3; row++)
      for (int eps = 1; eps <= bbheight; eps++)
        for (int c : {1, 0}) {
          int32_t got = (c ? closed : open)[row * bbheight + eps - 1];
          EXPECT_GE(got, longest_hole(ts, eps, 1 + row, c, true)) << "row " << row << " eps " << eps;
          EXPECT_LE(got, 60);
        }
    if (HasFailure()) return;
  }
  EXPECT_GT(searched, 0);
  EXPECT_GT(straight, 0);
}

/* A refinement stops for a table after two exhausted budgets in a row; the other table goes on. */
std::vector<std::array<int, 3>> refinements;
void log_refine(int eps, int closed, bool exhausted) { refinements.push_back({eps, closed, exhausted}); }

TEST_F(LongestHoles, TwoExhaustedBudgetsStopThatTablesRefinement)
{
  std::mt19937 rng(21);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  fd_clh_hooks.on_refine = log_refine;
  int stopped = 0;
  for (int round = 0; round < 200; round++) {
    std::vector<piece> ts(pick(3, 8));
    int bbheight = pick(3, 12);
    for (piece &p : ts) p = {pick(1, 9), pick(1, bbheight)};
    refinements.clear();
    std::vector<int32_t> open, closed;
    int maxbacks = pick(-1, 2);
    tables(ts, pick(0, 9), 80, bbheight, &open, &closed, maxbacks);
    size_t k = 0;
    for (int c : {1, 0}) {
      int left = maxbacks < 0 ? 0 : 2;
      for (int eps = 1; eps <= bbheight; eps++) {
        if (left <= 0) continue;
        /* the log holds the closed refinement before the open one at each height */
        auto at = std::find_if(refinements.begin(), refinements.end(),
                               [&](const std::array<int, 3> &x) { return x[0] == eps && x[1] == c; });
        ASSERT_NE(at, refinements.end()) << "no refinement at eps " << eps;
        left = (*at)[2] ? left - 1 : 2;
        k++;
        stopped += left == 0;
      }
    }
    EXPECT_EQ(k, refinements.size()) << "a refinement ran after two exhausted budgets";
  }
  fd_clh_hooks.on_refine = nullptr;
  EXPECT_GT(stopped, 0);
}

/* Edge cases of the closed-form bounds and of the refinement. */
TEST_F(LongestHoles, RefinementEdgeCases)
{
  std::vector<int32_t> open, closed;
  struct bound_row {
    std::vector<piece> ts;
    int sigma, eps, entry; /* both tables' entry at eps */
  } bounds[] = {
      {{{5, 1}}, 0, 2, 0},                 /* eps / 2 evaluated without itself: it cannot fill */
      {{{5, 1}, {5, 1}}, 0, 2, 5},         /* the other half-height task fills above it */
      {{{3, 4}, {5, 1}, {5, 1}, {5, 1}}, 0, 4, 3}, /* the low tasks stack to 3 < eps: no fill */
  };
  for (const bound_row &b : bounds) {
    tables(b.ts, b.sigma, 40, b.eps, &open, &closed);
    EXPECT_EQ(open[b.eps - 1], b.entry) << "eps " << b.eps;
    EXPECT_EQ(closed[b.eps - 1], b.entry) << "eps " << b.eps;
  }
  /* maxbacks negative stores the closed-form bounds: lh_eval's, capped */
  tables({{4, 3}, {3, 2}, {6, 1}, {2, 1}}, 3, 9, 5, &open, &closed);
  for (int eps = 1; eps <= 5; eps++) {
    int64_t lh[2];
    lh_eval(&env.api, env.w, eps, 3, -1, (int)list.size(), list.data(), open.data(), lh);
    EXPECT_EQ(open[eps - 1], std::min<int64_t>(9, lh[0]));
    EXPECT_EQ(closed[eps - 1], std::min<int64_t>(9, lh[1]));
  }
  /* the caller's profile pool (here an unusable one) is never read, and stays behind the
   * segments of the call */
  struct fd_state *fd = fd_state(&env.api);
  profile *stale = (profile *)(uintptr_t)16;
  fd->profile_pool = stale;
  tables({{3, 2}, {2, 2}, {2, 1}, {3, 1}, {1, 1}}, 1, 40, 3, &open, &closed, 100);
  profile *p = fd->profile_pool;
  while (p != stale) p = p->next;
  fd->profile_pool = nullptr;
  /* the lower bound reaches the entry: the entry, no backtrack spent */
  tables({{2, 1}}, 10, 40, 1, &open, &closed);
  for (int c : {1, 0}) {
    int nb = 5;
    fd_clh_hooks.nchoice = -1;
    EXPECT_EQ(refine(list, open, closed, 1, 1, 10, c, 3, &nb), 12);
    EXPECT_EQ(nb, 5);
    EXPECT_EQ(fd_clh_hooks.nchoice, -1);
  }
  /* one task takes part, or the lower ones fit on the tallest: the fixed rule alone, nothing
   * placed by the search (closed holes; the open ones start from the closed entry) */
  struct fixed_row {
    std::vector<piece> ts;
    int sigma, eps;
  } fixed[] = {{{{5, 1}}, 3, 2}, {{{1, 1}, {2, 2}}, 0, 3}, {{{3, 2}, {6, 1}}, 4, 3}};
  for (const fixed_row &f : fixed) {
    tables(f.ts, f.sigma, 40, f.eps, &open, &closed);
    int nb = 0;
    fd_clh_hooks.nchoice = -1;
    int64_t r = refine(list, open, closed, f.eps, f.eps, f.sigma, 1, 3, &nb);
    EXPECT_EQ(nb, 0);
    EXPECT_GE(fd_clh_hooks.nchoice, 0);
    EXPECT_EQ(fd_clh_hooks.peak, 0u);
    EXPECT_EQ(r, std::min<int64_t>(closed[f.eps - 1], longest_hole(f.ts, f.eps, f.sigma, 1, true)));
  }
}

/* Long horizons: the choice stack grows with the choices made, not with (umax - est) x m; the
 * answer scaled down never falls below the small instance's hole. */
TEST_F(LongestHoles, LongHorizonsKeepTheStackSmall)
{
  const int K = 1 << 24;
  std::vector<piece> small = {{3, 2}, {2, 2}, {2, 1}, {3, 1}, {1, 1}};
  std::vector<piece> large = small;
  for (piece &p : large) p.l *= K;
  std::vector<int32_t> open, closed;
  tables(large, 2 * K, INT32_MAX, 3, &open, &closed, 200);
  int searched = 0;
  for (int eps = 1; eps <= 3; eps++)
    for (int c : {1, 0}) {
      int nb = 200;
      fd_clh_hooks.nchoice = -1;
      int64_t r = refine(list, open, closed, 3, eps, 2 * K, c, 3, &nb);
      searched += fd_clh_hooks.nchoice > 1000000;
      EXPECT_LT((int64_t)fd_clh_hooks.peak, 1000);
      EXPECT_GE(r, (int64_t)K * longest_hole(small, eps, 2, c, true));
      EXPECT_GE((c ? closed : open)[eps - 1], r);
    }
  EXPECT_GT(searched, 0);
}

}  // namespace

