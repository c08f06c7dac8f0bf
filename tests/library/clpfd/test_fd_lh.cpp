/* Longest-hole tables against an oracle that places subsets of the tasks in a hole. */
#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "fd_sched.h"
#include "fd_test_env.h"

namespace {

struct piece {
  int l, h;
};

/* The longest L such that some placement of a subset of the tasks, never more than eps high,
 * leaves at most sigma of [0, L) x eps unfilled; every task inside [0, L) (closed) or allowed to
 * stick out on the left (open). */
int64_t longest_hole(const std::vector<piece> &ts, int eps, int sigma, bool closed)
{
  int total = 0;
  for (const piece &p : ts) total += p.h <= eps ? p.l : 0;
  int best = 0;
  for (int L = 1; L <= total + sigma / eps; L++) {
    const int off = 16; /* dates from -off */
    std::vector<int> use(L + off, 0);
    std::function<bool(size_t, int64_t, int64_t)> go = [&](size_t i, int64_t filled, int64_t rest) {
      if (filled + sigma >= (int64_t)L * eps) return true;
      if (i == ts.size() || filled + rest + sigma < (int64_t)L * eps) return false;
      const piece &p = ts[i];
      int64_t mine = p.h <= eps ? (int64_t)std::min(p.l, L) * p.h : 0;
      if (go(i + 1, filled, rest - mine)) return true;
      if (p.h > eps) return false;
      for (int s = closed ? 0 : 1 - p.l; s + p.l <= L; s++) {
        bool fits = true;
        int64_t in = 0;
        for (int x = s; x < s + p.l && fits; x++) fits = use[x + off] + p.h <= eps, in += x >= 0 ? p.h : 0;
        if (!fits) continue;
        for (int x = s; x < s + p.l; x++) use[x + off] += p.h;
        bool ok = go(i + 1, filled + in, rest - mine);
        for (int x = s; x < s + p.l; x++) use[x + off] -= p.h;
        if (ok) return true;
      }
      return false;
    };
    int64_t rest = 0;
    for (const piece &p : ts) rest += p.h <= eps ? (int64_t)std::min(p.l, L) * p.h : 0;
    if (go(0, 0, rest)) best = L;
  }
  return best;
}

class LongestHoles : public ::testing::Test {
protected:
  FdTestEnv env;
  /* Both tables of one row for the pieces. */
  void tables(const std::vector<piece> &ts, int sigma, int bblength, int bbheight,
              std::vector<int32_t> *open, std::vector<int32_t> *closed, int maxbacks = -1)
  {
    std::vector<lhs> list;
    for (const piece &p : ts) list.push_back({p.l, p.h, 0});
    open->assign(bbheight + 1, -7), closed->assign(bbheight + 1, -7);
    env.w->numstack_end = nullptr;
    fd_lh_init(&env.api, env.w, sigma, 0, 1, bblength, bbheight, (int)list.size(), list.data(),
               open->data(), closed->data(), maxbacks, 2);
  }
};

TEST_F(LongestHoles, TablesBoundTheLongestHoleFromAbove)
{
  std::mt19937 rng(3);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  int reached = 0, entries = 0, refined = 0;
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
          if (hook == 0) entries++, reached += got == want;
          if (hook == 6) refined += got == want;
        }
      }
      EXPECT_EQ(open[bbheight], -7); /* nothing past the row */
      if (HasFailure()) break;
    }
    fd_lh_bound_hook = 0;
    if (HasFailure()) return;
  }
  std::printf("longest holes: of %d entries %d closed-form and %d refined equal the oracle\n",
              entries, reached, refined);
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

}  // namespace
