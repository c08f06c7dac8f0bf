/* Resource profiles against an array of heights, and the Wichmann-Hill generator. */
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "fd_test_env.h"

namespace {

/* Heights over t0..t1-1; zero elsewhere. */
struct Heights {
  long t0, t1;
  std::vector<long> h;
  Heights(long from, long to) : t0(from), t1(to), h(to - from, 0) {}
  long at(long t) const { return t < t0 || t >= t1 ? 0 : h[t - t0]; }
  void add(long b, long e, long dh)
  {
    for (long t = std::max(b, t0); t < std::min(e, t1); t++) h[t - t0] += dh;
  }
};

class FdProfile : public ::testing::Test {
protected:
  FdTestEnv env;
  ORVALIS_API_STRUCT *api() { return &env.api; }
  void SetUp() override { fd_init_profile(api()); }

  /* Sorted, not overlapping, no zero heights, touching segments of different heights, and the
   * heights of the oracle at every point. */
  void expect_matches(profile *p, const Heights &oracle)
  {
    for (profile *s = p; s; s = s->next) {
      EXPECT_LT(s->begin, s->end);
      EXPECT_NE(s->erg, 0);
      if (s->next) {
        EXPECT_LE(s->end, s->next->begin);
        if (s->end == s->next->begin) {
          EXPECT_NE(s->erg, s->next->erg) << "touching segments of one height";
        }
      }
    }
    for (long t = oracle.t0 - 3; t < oracle.t1 + 3; t++) {
      long from_segments = 0;
      for (profile *s = p; s; s = s->next)
        if (s->begin <= t && t < s->end) from_segments = s->erg;
      ASSERT_EQ(from_segments, oracle.at(t)) << "t " << t;
      ASSERT_EQ(fd_profile_get(p, t), oracle.at(t)) << "t " << t;
    }
  }
};

TEST_F(FdProfile, RandomUpdatesMatchAnArrayOfHeights)
{
  std::mt19937 rng(2024);
  for (int run = 0; run < 40; run++) {
    fd_init_profile(api());
    env.w->numstack_end = nullptr;
    Heights oracle(-10, 90); /* covers every update */
    profile *p = fd_empty_profile();
    for (int step = 0; step < 60 && !HasFatalFailure(); step++) {
      long b = (long)(rng() % 70) - 5, e = b + (long)(rng() % 20);
      long h = (long)(rng() % 7) - 3;
      p = fd_profile_update(api(), env.w, p, b, e, h);
      oracle.add(b, e, h);
      expect_matches(p, oracle);
      long lo = (long)(rng() % 80) - 10, hi = lo + 1 + (long)(rng() % 30);
      long highest = 0;
      for (long t = lo; t < hi; t++) highest = std::max(highest, oracle.at(t));
      EXPECT_EQ(fd_profile_max(p, lo, hi), highest) << lo << ".." << hi;
      long limit = (long)(rng() % 9) - 4;
      bool within = true;
      for (long t = oracle.t0; t < oracle.t1; t++)
        within &= oracle.at(t) == 0 || oracle.at(t) <= limit;
      EXPECT_EQ(fd_profile_at_most(p, limit), within ? 1 : 0);
      long point = -999;
      bool free = false;
      for (long t = lo; t < hi; t++) free |= oracle.at(t) == 0;
      EXPECT_EQ(fd_profile_zero_at(p, lo, hi, &point), free ? 1 : 0);
      if (free) {
        EXPECT_TRUE(point >= lo && point < hi && oracle.at(point) == 0) << point;
      }
    }
  }
}

TEST_F(FdProfile, CopyNextAndDispose)
{
  profile *p = fd_profile_update(api(), env.w, fd_empty_profile(), 0, 10, 2);
  p = fd_profile_update(api(), env.w, p, 20, 30, 5);
  profile *copy = fd_profile_copy(api(), env.w, p);
  long b, e, h;
  profile *rest;
  ASSERT_EQ(fd_profile_next(copy, &b, &e, &h, &rest), 1);
  EXPECT_EQ(b, 0);
  EXPECT_EQ(e, 10);
  EXPECT_EQ(h, 2);
  ASSERT_EQ(fd_profile_next(rest, &b, &e, &h, &rest), 1);
  EXPECT_EQ(b, 20);
  EXPECT_EQ(e, 30);
  EXPECT_EQ(h, 5);
  EXPECT_EQ(rest, nullptr);
  EXPECT_EQ(fd_profile_next(fd_empty_profile(), &b, &e, &h, &rest), 0);
  EXPECT_NE(copy, p);
  EXPECT_NE(copy->next, p->next);

  /* disposed segments are the next ones handed out */
  profile *first = copy, *second = copy->next;
  fd_profile_dispose(api(), copy);
  char *top = env.w->numstack_top;
  profile *x = fd_profile_cons(api(), env.w, 1, 2, 3, nullptr);
  profile *y = fd_profile_cons(api(), env.w, 4, 5, 6, x);
  EXPECT_EQ(x, first);
  EXPECT_EQ(y, second);
  EXPECT_EQ(y->next, x);
  EXPECT_EQ(env.w->numstack_top, top) << "nothing new from the number stack";
  fd_profile_dispose(api(), fd_empty_profile());
}

TEST_F(FdProfile, RepeatedUpdatesReuseTheirSegments)
{
  profile *p = nullptr;
  for (long t = 0; t < 100; t += 10) p = fd_profile_update(api(), env.w, p, t, t + 5, 1 + t / 10);
  p = fd_profile_update(api(), env.w, p, 3, 48, 2);
  p = fd_profile_update(api(), env.w, p, 3, 48, -2);
  char *top = env.w->numstack_top;
  for (int cycle = 0; cycle < 50; cycle++) {
    p = fd_profile_update(api(), env.w, p, 3, 48, 2);
    p = fd_profile_update(api(), env.w, p, 3, 48, -2);
  }
  EXPECT_EQ(env.w->numstack_top, top);
  Heights oracle(0, 100);
  for (long t = 0; t < 100; t += 10) oracle.add(t, t + 5, 1 + t / 10);
  expect_matches(p, oracle);
}

TEST_F(FdProfile, EdgeCasesOfUpdatesAndQueries)
{
  profile *p = fd_profile_update(api(), env.w, fd_empty_profile(), 0, 10, 2);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->begin, 0);
  EXPECT_EQ(p->end, 10);
  EXPECT_EQ(p->erg, 2);
  EXPECT_EQ(p->next, nullptr);
  p = fd_profile_update(api(), env.w, p, 5, 15, -2);
  ASSERT_TRUE(p && p->next);
  EXPECT_EQ(
      std::vector<long>({p->begin, p->end, p->erg, p->next->begin, p->next->end, p->next->erg}),
      std::vector<long>({0, 5, 2, 10, 15, -2}));
  EXPECT_EQ(p->next->next, nullptr);
  EXPECT_EQ(fd_profile_get(p, 5), 0) << "at a segment's end";
  EXPECT_EQ(fd_profile_get(p, 10), -2);

  profile *q = fd_profile_update(api(), env.w, fd_empty_profile(), 0, 10, 2);
  q = fd_profile_update(api(), env.w, q, 10, 20, 2);
  ASSERT_NE(q, nullptr);
  EXPECT_EQ(q->begin, 0);
  EXPECT_EQ(q->end, 20);
  EXPECT_EQ(q->next, nullptr);

  EXPECT_EQ(fd_profile_at_most(fd_empty_profile(), -5), 1);
  EXPECT_EQ(fd_profile_max(fd_empty_profile(), 0, 10), 0);
  EXPECT_EQ(fd_profile_update(api(), env.w, fd_empty_profile(), 4, 4, 3), nullptr)
      << "an empty range";
  EXPECT_EQ(fd_profile_update(api(), env.w, fd_empty_profile(), 0, 9, 0), nullptr)
      << "a zero height";

  profile *busy = fd_profile_update(api(), env.w, fd_empty_profile(), 0, 5, 1);
  long point = -1;
  EXPECT_EQ(fd_profile_zero_at(busy, 0, 5, &point), 0);
  EXPECT_EQ(fd_profile_zero_at(busy, 0, 8, &point), 1);
  EXPECT_TRUE(point >= 5 && point <= 7) << point;
  EXPECT_EQ(fd_profile_zero_at(fd_empty_profile(), 3, 4, &point), 1);
  EXPECT_EQ(point, 3);
  EXPECT_EQ(fd_profile_zero_at(fd_empty_profile(), 4, 4, &point), 0) << "an empty range";
}

TEST_F(FdProfile, ZeroPointsAreSpreadOverAllGaps)
{
  /* gaps 0..1, 4..5 and 8..9 between segments 2..3 and 6..7, in the range 0..9 */
  profile *p = fd_profile_update(api(), env.w, fd_empty_profile(), 2, 4, 1);
  p = fd_profile_update(api(), env.w, p, 6, 8, 3);
  std::vector<int> hits(10, 0);
  for (int i = 0; i < 3000; i++) {
    long point = -1;
    ASSERT_EQ(fd_profile_zero_at(p, 0, 10, &point), 1);
    ASSERT_TRUE(point >= 0 && point < 10);
    hits[point]++;
  }
  for (int t : {2, 3, 6, 7}) EXPECT_EQ(hits[t], 0);
  for (int t : {0, 1, 4, 5, 8, 9}) EXPECT_GT(hits[t], 300) << "point " << t;
}

TEST_F(FdProfile, GeneratorIsWichmannHillReseededByEveryRun)
{
  long s1 = 27134, s2 = 9213, s3 = 17773;
  for (int i = 0; i < 1000; i++) {
    s1 = 171 * s1 % 30269;
    s2 = 172 * s2 % 30307;
    s3 = 170 * s3 % 30323;
    double sum = s1 / 30269.0 + s2 / 30307.0 + s3 / 30323.0;
    double r = crandom();
    ASSERT_DOUBLE_EQ(r, sum - std::floor(sum)) << i;
    ASSERT_TRUE(r >= 0 && r < 1);
  }
  /* two runs that start with fd_init_profile draw the same numbers and the same points */
  auto run = [&] {
    fd_init_profile(api());
    env.w->numstack_end = nullptr;
    std::vector<double> out;
    profile *p = fd_profile_update(api(), env.w, fd_empty_profile(), 10, 20, 1);
    p = fd_profile_update(api(), env.w, p, 30, 35, 2);
    for (int i = 0; i < 50; i++) {
      long point = 0;
      fd_profile_zero_at(p, 0, 50, &point);
      out.push_back((double)point);
      out.push_back(crandom());
    }
    return out;
  };
  std::vector<double> first = run();
  crandom();
  EXPECT_EQ(run(), first);
}

}  // namespace
