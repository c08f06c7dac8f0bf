/* FD-set operations against a bitmap model, on random sets at the middle and at both ends of the
 * integer range; results must be well formed and arguments left unchanged. */
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <random>

#include "fd_set_model.h"
#include "fd_test_env.h"
#include "gc.h"

using namespace fdmodel;

namespace {

class FdSets : public ::testing::Test {
protected:
  FdTestEnv env;
  std::mt19937 rng{12345};

  /* Runs body on fresh random sets in each window; heap and temporary area are reset each round. */
  void rounds(int n, const std::function<void(const Window &, const Model &, const Model &)> &body,
              bool finite = false)
  {
    for (const Window &win : windows())
      for (int i = 0; i < n && !HasFatalFailure(); i++) {
        TAGGED *mark = env.w->global_top;
        env.w->numstack_end = nullptr;
        Model a = random_model(win, rng, finite), b = random_model(win, rng, finite);
        SCOPED_TRACE(testing::Message() << win.name << " round " << i);
        body(win, a, b);
        env.w->global_top = mark;
      }
  }
  TAGGED set(const Model &m) { return build(env.engine, m.runs()); }
  /* A random value of the window that is a small integer. */
  int32_t value(const Window &win)
  {
    int32_t lo = win.L == INF ? MIN : win.L, hi = win.H == SUP ? MAX : win.H;
    return std::uniform_int_distribution<int32_t>(lo, hi)(rng);
  }
  /* A random interval of the window, as model indices (no [inf|inf] or [sup|sup]). */
  std::pair<int, int> interval(const Model &m)
  {
    for (;;) {
      int a = std::uniform_int_distribution<int>(0, m.size() - 1)(rng);
      int b = std::uniform_int_distribution<int>(a, m.size() - 1)(rng);
      if ((a == 0 && !m.win->lump_below) || (b == m.size() - 1 && !m.win->lump_above)) continue;
      if (m.high_value(b) == INF || m.low_value(a) == SUP) continue;
      return {a, b};
    }
  }
  ORVALIS_API_STRUCT *api() { return &env.api; }
};

TEST_F(FdSets, IntersectionUnionAndSubtractionMatchTheModel)
{
  rounds(3000, [&](const Window &, const Model &ma, const Model &mb) {
    TAGGED a = set(ma), b = set(mb);
    Snapshot sa = snapshot(a), sb = snapshot(b);
    EXPECT_EQ(read(fd_intersection(api(), env.w, a, b)), ma.combine(mb, 0).runs());
    EXPECT_EQ(read(fd_union(api(), env.w, a, b)), ma.combine(mb, 1).runs());
    EXPECT_EQ(read(fd_subtract(api(), env.w, a, b)), ma.combine(mb, 2).runs());
    bool contained = ma.combine(mb, 2).count() == 0;
    TAGGED merged = fd_merge_into(api(), env.w, a, b);
    EXPECT_EQ(read(merged), ma.combine(mb, 1).runs());
    if (contained) {
      EXPECT_EQ(merged, b) << "a adds nothing: b itself";
    }
    EXPECT_TRUE(unchanged(sa) && unchanged(sb));
  });
}

TEST_F(FdSets, ComparisonAndCommonValuesMatchTheModel)
{
  rounds(3000, [&](const Window &, const Model &ma, const Model &mb) {
    TAGGED a = set(ma), b = set(mb);
    Model common = ma.combine(mb, 0);
    bool a_out = ma.combine(mb, 2).count() > 0, b_out = mb.combine(ma, 2).count() > 0,
         shared = common.count() > 0;
    int want = a_out && b_out ? (shared ? 5 : 4) : a_out ? 2 : b_out ? 3 : 1;
    EXPECT_EQ(fd_compare(a, b), want);
    Pairs runs = common.runs();
    TAGGED second = 1;
    TAGGED first = fd_intersection_min2(a, b, &second);
    if (runs.empty()) {
      EXPECT_EQ(fd_intersection_min(a, b), 0u);
      EXPECT_EQ(fd_intersection_max(a, b), 0u);
      EXPECT_EQ(first, 0u);
      EXPECT_EQ(second, 0u);
    } else {
      EXPECT_EQ(fd_intersection_min(a, b), tag(runs.front().first));
      EXPECT_EQ(fd_intersection_max(a, b), tag(runs.back().second));
      EXPECT_EQ(first, tag(runs.front().first));
      TAGGED next = runs[0].first < runs[0].second ? tag(runs[0].first + 1)
                    : runs.size() > 1              ? tag(runs[1].first)
                                                   : 0;
      EXPECT_EQ(second, next);
    }
    if (ma.finite() && mb.finite()) {
      EXPECT_EQ(fd_intersection_size(a, b), common.count());
    }
  });
}

TEST_F(FdSets, IntervalFormsMatchTheModel)
{
  rounds(3000, [&](const Window &, const Model &ma, const Model &) {
    TAGGED a = set(ma);
    auto [i, j] = interval(ma);
    Model mi(*ma.win);
    for (int k = i; k <= j; k++) mi.bits[k] = true;
    TAGGED lo = tag(ma.low_value(i)), hi = tag(ma.high_value(j));
    Snapshot sa = snapshot(a);
    EXPECT_EQ(read(fd_interval(api(), env.w, lo, hi)), mi.runs());
    EXPECT_EQ(read(fd_intersection_interval(api(), env.w, a, lo, hi)), ma.combine(mi, 0).runs());
    EXPECT_EQ(read(fd_union_interval(api(), env.w, a, lo, hi)), ma.combine(mi, 1).runs());
    EXPECT_EQ(read(fd_subtract_interval(api(), env.w, a, lo, hi)), ma.combine(mi, 2).runs());
    EXPECT_EQ(read(fd_interval_subtract(api(), env.w, lo, hi, a)), mi.combine(ma, 2).runs());
    EXPECT_EQ(read(fd_compl_interval(api(), env.w, lo, hi)), mi.complement().runs());
    EXPECT_EQ(fd_compare_interval(a, lo, hi), fd_compare(a, build(env.engine, mi.runs())));
    EXPECT_TRUE(unchanged(sa));
  });
}

TEST_F(FdSets, ComplementDeleteAndInsertMatchTheModel)
{
  rounds(3000, [&](const Window &win, const Model &ma, const Model &) {
    TAGGED a = set(ma);
    Snapshot sa = snapshot(a);
    EXPECT_EQ(read(fd_complement(api(), env.w, a)), ma.complement().runs());
    int32_t v = value(win);
    Model with = ma, without = ma;
    with.bits[ma.index_of(v)] = true;
    without.bits[ma.index_of(v)] = false;
    EXPECT_EQ(fd_member(tag(v), a), ma.has(v) ? 1 : 0);
    EXPECT_EQ(read(fd_delete(api(), env.w, a, tag(v))), without.runs());
    TAGGED inserted = fd_insert_into(api(), env.w, tag(v), a);
    EXPECT_EQ(read(inserted), with.runs());
    if (ma.has(v)) {
      EXPECT_EQ(inserted, a) << "a member: the set itself";
    }
    EXPECT_TRUE(unchanged(sa));
  });
}

TEST_F(FdSets, NeighboursBoundsAndSizesMatchTheModel)
{
  rounds(3000, [&](const Window &win, const Model &ma, const Model &) {
    TAGGED a = set(ma);
    Pairs runs = ma.runs();
    int32_t v = value(win);
    int at = ma.index_of(v);
    TAGGED succ = atom_sup, pred = atom_inf;
    for (int k = at + 1; k < ma.size() && succ == atom_sup; k++)
      if (ma.bits[k]) succ = tag(ma.low_value(k));
    for (int k = at - 1; k >= 0 && pred == atom_inf; k--)
      if (ma.bits[k]) pred = tag(ma.high_value(k));
    EXPECT_EQ(fd_successor(a, tag(v)), succ) << v;
    EXPECT_EQ(fd_predecessor(a, tag(v)), pred) << v;
    EXPECT_EQ(fd_singleton(a), runs.size() == 1 && runs[0].first == runs[0].second ? 1 : 0);
    if (runs.empty()) return;
    EXPECT_EQ(fd_min(a), tag(runs.front().first));
    EXPECT_EQ(fd_max(a), tag(runs.back().second));
    if (ma.finite()) {
      EXPECT_EQ(fd_size(a), ma.count());
    }
    int k = 0;
    while (!ma.bits[k]) k++;
    /* the model cannot take one value off a lump */
    if (k != 0 && k != ma.size() - 1) {
      TAGGED first = 0, rest = 0;
      fd_first_and_rest(api(), env.w, a, &first, &rest);
      Model tail = ma;
      tail.bits[k] = false;
      EXPECT_EQ(first, tag(ma.low_value(k)));
      EXPECT_EQ(read(rest), tail.runs());
    }
  });
}

TEST_F(FdSets, ShiftsAndNegationsMoveEveryValue)
{
  const Window &win = windows()[0];
  for (int round = 0; round < 3000; round++) {
    env.w->numstack_end = nullptr;
    TAGGED *mark = env.w->global_top;
    Model ma = random_model(win, rng);
    TAGGED a = set(ma);
    Snapshot sa = snapshot(a);
    int32_t k = std::uniform_int_distribution<int32_t>(-30, 30)(rng);
    Pairs shifted = read(fd_lsh(api(), env.w, a, MakeSmall(k)));
    Pairs negated = read(fd_neg_offset(api(), env.w, a, MakeSmall(k)));
    for (int64_t x = win.L - 60; x <= win.H + 60; x++) {
      ASSERT_EQ(contains(shifted, x), ma.has(x - k)) << "lsh " << k << " at " << x;
      ASSERT_EQ(contains(negated, x), ma.has(k - x)) << "neg_offset " << k << " at " << x;
    }
    EXPECT_EQ(contains(shifted, INF), ma.bits[0]);
    EXPECT_EQ(contains(shifted, SUP), ma.bits[ma.size() - 1]);
    EXPECT_EQ(contains(negated, SUP), ma.bits[0]);
    EXPECT_EQ(contains(negated, INF), ma.bits[ma.size() - 1]);
    EXPECT_TRUE(unchanged(sa));
    env.w->global_top = mark;
  }
}

TEST_F(FdSets, ShiftsSaturateAtTheEndsOfTheRange)
{
  TAGGED a = build(env.engine, {{MAX - 5, MAX - 2}});
  EXPECT_EQ(read(fd_lsh(api(), env.w, a, MakeSmall(2))), (Pairs{{MAX - 3, MAX}}));
  EXPECT_EQ(read(fd_lsh(api(), env.w, a, MakeSmall(4))), (Pairs{{MAX - 1, SUP}}));
  TAGGED b = build(env.engine, {{INF, -1}, {3, 4}});
  EXPECT_EQ(read(fd_neg_offset(api(), env.w, b, MakeSmall(0))), (Pairs{{-4, -3}, {1, SUP}}));
  EXPECT_EQ(read(fd_neg_offset(api(), env.w, build(env.engine, {{MIN, MIN + 1}}), MakeSmall(-1))),
            (Pairs{{MAX - 1, MAX}}));
  EXPECT_EQ(read(fd_neg_offset(api(), env.w, build(env.engine, {{MIN, MIN}}), MakeSmall(0))),
            (Pairs{{SUP, SUP}}));
}

TEST_F(FdSets, DestructiveUnionRelinksTemporaryCellsWithoutAllocating)
{
  rounds(3000, [&](const Window &, const Model &ma, const Model &mb) {
    TAGGED a = fd_localize(api(), env.w, set(ma)), b = fd_localize(api(), env.w, set(mb));
    char *top = env.w->numstack_top;
    EXPECT_EQ(read(fd_union_dest(a, b)), ma.combine(mb, 1).runs());
    EXPECT_EQ(env.w->numstack_top, top);
  });
}

TEST_F(FdSets, UnionSortMakesASetOfAnyIntervalList)
{
  rounds(1500, [&](const Window &, const Model &ma, const Model &) {
    int n = std::uniform_int_distribution<int>(0, 40)(rng);
    Model all(*ma.win);
    TAGGED list = atom_nil;
    for (int k = 0; k < n; k++) {
      auto [i, j] = interval(ma);
      for (int x = i; x <= j; x++) all.bits[x] = true;
      TAGGED *cell = (TAGGED *)fd_temp_alloc(api(), env.w, 4 * sizeof(TAGGED));
      cell[0] = MakeLst(cell + 2);
      cell[1] = list;
      cell[2] = tag(ma.low_value(i));
      cell[3] = tag(ma.high_value(j));
      list = MakeLst(cell);
    }
    char *top = env.w->numstack_top;
    EXPECT_EQ(read(fd_union_sort(list)), all.runs()) << n << " intervals";
    EXPECT_EQ(env.w->numstack_top, top);
  });
}

TEST_F(FdSets, IteratorsVisitTheValuesInOrder)
{
  rounds(
      1000,
      [&](const Window &win, const Model &ma, const Model &) {
        TAGGED a = set(ma);
        std::vector<int32_t> values, seen;
        for (int k = 1; k < ma.size() - 1; k++)
          if (ma.bits[k]) values.push_back(ma.low_value(k));
        FDITER it;
        fditer_init(&it, a);
        while (!fditer_empty(&it)) seen.push_back(ext(fditer_next(&it)));
        EXPECT_EQ(seen, values);
        Pairs intervals;
        fditer_init(&it, a);
        while (!fditer_empty(&it)) {
          TAGGED lo, hi;
          fditer_next_interval(&it, &lo, &hi);
          intervals.push_back({ext(lo), ext(hi)});
        }
        EXPECT_EQ(intervals, ma.runs());
        /* skip from a random point: the next value is the first member above it */
        int32_t v = value(win);
        fditer_init(&it, a);
        int taken = std::uniform_int_distribution<int>(0, 3)(rng);
        for (int k = 0; k < taken && !fditer_empty(&it); k++) fditer_next(&it);
        TAGGED cur = it.cur;
        fditer_skip(&it, tag(v));
        TAGGED want = FDITER_END;
        if (cur == FDITER_END || v < ext(cur))
          want = cur;
        else
          for (int32_t x : values)
            if (x > v && want == FDITER_END) want = tag(x);
        EXPECT_EQ(it.cur, want) << "skip " << v;
      },
      true);
}

TEST_F(FdSets, BuildersJoinAdjacentAdditions)
{
  rounds(
      1000,
      [&](const Window &, const Model &ma, const Model &) {
        FDCONS by_value, by_interval;
        fdcons_init(&by_value);
        fdcons_init(&by_interval);
        for (int k = 1; k < ma.size() - 1; k++)
          if (ma.bits[k]) fdcons_add(api(), &by_value, env.w, tag(ma.low_value(k)));
        for (auto [lo, hi] : ma.runs()) {
          /* cut each run into adjacent pieces: the builder must join them again */
          for (int32_t from = lo; from <= hi;) {
            int32_t to = std::min(hi, from + std::uniform_int_distribution<int32_t>(0, 3)(rng));
            fdcons_add_interval(api(), &by_interval, env.w, tag(from), tag(to));
            from = to + 1;
          }
        }
        EXPECT_EQ(read(by_value.head), ma.runs());
        EXPECT_EQ(read(by_interval.head), ma.runs());
        EXPECT_EQ(by_value.size, ma.count());
        EXPECT_EQ(by_interval.size, ma.count());
      },
      true);
}

TEST_F(FdSets, LocalizeCopiesHeapCellsAndKeepsTemporaryOnes)
{
  Pairs pairs = {{1, 3}, {7, 9}, {12, 12}};
  TAGGED heap = build(env.engine, pairs);
  TAGGED local = fd_localize(api(), env.w, heap);
  EXPECT_EQ(read(local), pairs);
  for (TAGGED l = local; IsLst(l); l = LstTail(l)) {
    EXPECT_FALSE(LstPtr(l) >= env.w->heap_start && LstPtr(l) < env.w->global_top);
    EXPECT_FALSE(LstPtr(LstHead(l)) >= env.w->heap_start && LstPtr(LstHead(l)) < env.w->global_top);
  }
  EXPECT_EQ(fd_localize(api(), env.w, local), local) << "all temporary: kept as it is";
  /* a temporary head on a heap tail: the tail is copied, the result all temporary */
  TAGGED mixed = fd_union_interval(api(), env.w, heap, MakeSmall(-5), MakeSmall(-4));
  EXPECT_EQ(LstTail(mixed), heap) << "the union shares the unchanged tail";
  TAGGED mixed_local = fd_localize(api(), env.w, mixed);
  EXPECT_EQ(read(mixed_local), (Pairs{{-5, -4}, {1, 3}, {7, 9}, {12, 12}}));
  for (TAGGED l = mixed_local; IsLst(l); l = LstTail(l))
    EXPECT_FALSE(LstPtr(l) >= env.w->heap_start && LstPtr(l) < env.w->global_top);
  /* a heap head on a temporary tail: only the head is copied */
  TAGGED temp_tail = fd_interval(api(), env.w, MakeSmall(20), MakeSmall(30));
  TAGGED heap_head = env.engine.cons(env.engine.cons(MakeSmall(10), MakeSmall(11)), temp_tail);
  TAGGED head_local = fd_localize(api(), env.w, heap_head);
  EXPECT_NE(head_local, heap_head);
  EXPECT_EQ(LstTail(head_local), temp_tail);
}

TEST_F(FdSets, GlobalizeCopiesToTheHeapAndFlagsUnrepresentableIntervals)
{
  TAGGED temp = fd_complement(api(), env.w, fd_interval(api(), env.w, MakeSmall(-3), MakeSmall(4)));
  TAGGED *before = env.w->global_top;
  TAGGED global = fd_globalize(api(), env.w, temp, 10, 0);
  EXPECT_EQ(read(global), (Pairs{{INF, -4}, {5, SUP}}));
  EXPECT_EQ(env.w->global_top, before + 8);
  EXPECT_EQ(env.state.fd_overflow, 0u);
  EXPECT_EQ(fd_globalize(api(), env.w, atom_nil, 0, 0), atom_nil);
  TAGGED bad = fd_compl_interval(api(), env.w, MakeSmall(MIN), MakeSmall(MAX));
  EXPECT_EQ(read(bad), (Pairs{{INF, INF}, {SUP, SUP}}));
  fd_globalize(api(), env.w, bad, 0, 0);
  EXPECT_EQ(env.state.fd_overflow, 1u);
}

/* A set on the heap is read before the room fd_globalize makes collects the heap, which slides
 * the set's cells down over the garbage below them. */
TEST_F(FdSets, GlobalizeOfAHeapSetSurvivesTheCollectionItStarts)
{
  bool stress = qx_gc_stress;
  qx_gc_stress = true; /* every call_overflow collects */
  for (int garbage = 0; garbage < 3; garbage++) {
    for (int i = 0; i < garbage; i++) build(env.engine, {{100, 200}});
    QX_term_ref held = env.ref(build(env.engine, {{1, 3}, {7, 9}, {20, 20}}));
    TAGGED copy = fd_globalize(api(), env.w, env.get(held), 0, 0);
    EXPECT_EQ(read(copy), (Pairs{{1, 3}, {7, 9}, {20, 20}})) << garbage;
    EXPECT_EQ(read(env.get(held)), (Pairs{{1, 3}, {7, 9}, {20, 20}})) << garbage;
  }
  qx_gc_stress = stress;
}

TEST_F(FdSets, IntervalRelationCodes)
{
  /* code of interval 1 against interval 2 from where 1 starts and ends (exclusively) relative to 2 */
  auto reference = [](int64_t lo1, int64_t hi1, int64_t lo2, int64_t hi2) {
    int64_t end1 = hi1 + 1, end2 = hi2 + 1;
    if (end1 <= lo2) return end1 == lo2 ? 1 : 0;
    if (end2 <= lo1) return end2 == lo1 ? 11 : 12;
    int start = lo1 < lo2 ? 0 : lo1 == lo2 ? 1 : 2;
    int end = end1 < end2 ? 0 : end1 == end2 ? 1 : 2;
    static const int table[3][3] = {{2, 3, 4}, {5, 6, 7}, {8, 9, 10}};
    return table[start][end];
  };
  std::vector<int32_t> points = {INF, MIN, MIN + 1, -3, -2, -1, 0, 1, 2, 3, MAX - 1, MAX, SUP};
  for (int32_t a : points)
    for (int32_t b : points)
      for (int32_t c : points)
        for (int32_t d : points) {
          if (a > b || c > d) continue;
          ASSERT_EQ(fd_interval_cmp(tag(a), tag(b), tag(c), tag(d)), reference(a, b, c, d))
              << a << ".." << b << " vs " << c << ".." << d;
        }
  EXPECT_EQ(fd_interval_cmp(MakeSmall(1), MakeSmall(3), MakeSmall(4), MakeSmall(6)), 1);
  EXPECT_EQ(fd_interval_cmp(MakeSmall(1), MakeSmall(3), MakeSmall(5), MakeSmall(6)), 0);
  EXPECT_EQ(fd_interval_cmp(MakeSmall(4), MakeSmall(4), MakeSmall(5), MakeSmall(5)), 1);
  EXPECT_EQ(fd_interval_cmp(MakeSmall(6), MakeSmall(6), MakeSmall(5), MakeSmall(5)), 11);
}

TEST_F(FdSets, PointsAgainstIntervals)
{
  std::vector<int32_t> points = {INF, MIN, -2, 0, 2, MAX, SUP};
  for (int32_t p : points)
    for (int32_t lo : points)
      for (int32_t hi : points) {
        if (lo > hi) continue;
        int want = p < lo ? -1 : p > hi ? 1 : 0;
        EXPECT_EQ(fd_point_vs_interval(tag(p), tag(lo), tag(hi)), want);
        if (p != INF && p != SUP) {
          EXPECT_EQ(fd_val_vs_interval(tag(p), tag(lo), tag(hi)), want);
        }
      }
}

TEST_F(FdSets, EdgeCasesOfTheOperations)
{
  auto s = [&](Pairs p) { return build(env.engine, p); };
  EXPECT_EQ(read(fd_pair(api(), env.w, MakeSmall(5), MakeSmall(6))), (Pairs{{5, 6}}));
  EXPECT_EQ(read(fd_pair(api(), env.w, MakeSmall(6), MakeSmall(5))), (Pairs{{5, 6}}));
  EXPECT_EQ(read(fd_pair(api(), env.w, MakeSmall(3), MakeSmall(7))), (Pairs{{3, 3}, {7, 7}}));
  EXPECT_EQ(read(fd_pair(api(), env.w, MakeSmall(4), MakeSmall(4))), (Pairs{{4, 4}}));
  EXPECT_EQ(fd_compl_interval(api(), env.w, atom_inf, atom_sup), atom_nil);
  EXPECT_EQ(read(fd_compl_interval(api(), env.w, MakeSmall(0), atom_sup)), (Pairs{{INF, -1}}));
  EXPECT_EQ(fd_complement(api(), env.w, s({{INF, SUP}})), atom_nil);
  EXPECT_EQ(read(fd_complement(api(), env.w, atom_nil)), (Pairs{{INF, SUP}}));
  TAGGED gaps = s({{1, 3}, {7, 9}});
  EXPECT_EQ(fd_successor(gaps, MakeSmall(3)), MakeSmall(7));
  EXPECT_EQ(fd_successor(gaps, MakeSmall(9)), atom_sup);
  EXPECT_EQ(fd_predecessor(gaps, MakeSmall(7)), MakeSmall(3));
  EXPECT_EQ(fd_predecessor(gaps, MakeSmall(1)), atom_inf);
  EXPECT_EQ(fd_successor(s({{5, SUP}}), MakeSmall(MAX)), atom_sup);
  EXPECT_EQ(fd_predecessor(s({{INF, 5}}), MakeSmall(MIN)), atom_inf);
  EXPECT_EQ(fd_compare_intervals(MakeSmall(1), MakeSmall(5), MakeSmall(1), MakeSmall(10)), 2);
  EXPECT_EQ(fd_compare_intervals(MakeSmall(1), MakeSmall(10), MakeSmall(5), MakeSmall(10)), 2);
  EXPECT_EQ(fd_compare_intervals(MakeSmall(1), MakeSmall(10), MakeSmall(2), MakeSmall(5)), 5);
  EXPECT_EQ(fd_compare_intervals(MakeSmall(1), MakeSmall(10), MakeSmall(1), MakeSmall(10)), 1);
  EXPECT_EQ(fd_compare_intervals(MakeSmall(1), MakeSmall(3), MakeSmall(5), MakeSmall(10)), 4);
  /* empty arguments */
  TAGGED a = s({{1, 3}});
  EXPECT_EQ(fd_subtract(api(), env.w, a, atom_nil), a);
  EXPECT_EQ(fd_subtract(api(), env.w, atom_nil, a), atom_nil);
  EXPECT_EQ(fd_intersection(api(), env.w, a, atom_nil), atom_nil);
  EXPECT_EQ(fd_union(api(), env.w, a, atom_nil), a);
  EXPECT_EQ(fd_union(api(), env.w, atom_nil, a), a);
  EXPECT_EQ(fd_compare(atom_nil, atom_nil), 1);
  EXPECT_EQ(fd_compare(atom_nil, a), 3);
  EXPECT_EQ(fd_compare(a, atom_nil), 2);
  EXPECT_EQ(fd_size(atom_nil), 0);
  /* the ends of the integer range go to inf and sup */
  EXPECT_EQ(read(fd_delete(api(), env.w, s({{MIN, 0}}), MakeSmall(MIN))), (Pairs{{MIN + 1, 0}}));
  EXPECT_EQ(
      read(fd_union_interval(api(), env.w, s({{INF, INF - 0}}), MakeSmall(MIN), MakeSmall(2))),
      (Pairs{{INF, 2}}));
  EXPECT_EQ(read(fd_complement(api(), env.w, s({{MIN, 5}}))), (Pairs{{INF, INF}, {6, SUP}}));
  TAGGED first, rest;
  fd_first_and_rest(api(), env.w, s({{MAX, SUP}}), &first, &rest);
  EXPECT_EQ(first, MakeSmall(MAX));
  EXPECT_EQ(read(rest), (Pairs{{SUP, SUP}}));
  /* iteration over the last integers runs into sup */
  FDITER it;
  fditer_init(&it, s({{MAX - 1, SUP}}));
  EXPECT_EQ(fditer_next(&it), MakeSmall(MAX - 1));
  EXPECT_EQ(fditer_next(&it), MakeSmall(MAX));
  EXPECT_EQ(fditer_next(&it), atom_sup);
  EXPECT_TRUE(fditer_empty(&it));
  fditer_init(&it, atom_nil);
  EXPECT_TRUE(fditer_empty(&it));
}

/* ---- the native predicates ---- */

class FdSetPredicates : public ::testing::Test {
protected:
  FdTestEnv env;
  ORVALIS_API_STRUCT *api() { return &env.api; }
  TAGGED s(Pairs p) { return build(env.engine, p); }
  bool on_heap(TAGGED set)
  {
    for (; IsLst(set); set = LstTail(set))
      if (LstPtr(set) < env.w->heap_start || LstPtr(set) >= env.w->global_top ||
          LstPtr(LstHead(set)) < env.w->heap_start || LstPtr(LstHead(set)) >= env.w->global_top)
        return false;
    return true;
  }
};

TEST_F(FdSetPredicates, TermReferencesKeepTheirValuesBeyondTheFirstStackBlock)
{
  std::vector<QX_term_ref> refs;
  for (int32_t i = 0; i < 300; i++) refs.push_back(env.ref(MakeSmall(i * 7 - 1000)));
  for (int32_t i = 0; i < 300; i++) {
    EXPECT_EQ(env.get(refs[i]), MakeSmall(i * 7 - 1000)) << "reference " << i;
    EXPECT_EQ(fd_ref_get(api(), refs[i]), MakeSmall(i * 7 - 1000)) << "reference " << i;
  }
  /* a native still reads and writes through references made after the others */
  QX_term_ref size = env.ref(atom_nil);
  EXPECT_EQ(prolog_fd_size_qxenv_multi_qx(api(), env.ref(s({{1, 3}, {7, 9}})), size), 1);
  EXPECT_EQ(env.get(size), MakeSmall(6));
}

TEST_F(FdSetPredicates, SizeChecksTheSetAndCountsItsValues)
{
  QX_term_ref size = env.ref(atom_nil);
  EXPECT_EQ(prolog_fd_size_qxenv_multi_qx(api(), env.ref(s({{1, 3}, {7, 9}})), size), 1);
  EXPECT_EQ(env.get(size), MakeSmall(6));
  EXPECT_EQ(prolog_fd_size_qxenv_multi_qx(api(), env.ref(atom_nil), size), 1);
  EXPECT_EQ(env.get(size), MakeSmall(0));
  EXPECT_EQ(prolog_fd_size_qxenv_multi_qx(api(), env.ref(s({{INF, 3}})), size), 1);
  EXPECT_EQ(env.get(size), atom_sup);
  EXPECT_EQ(prolog_fd_size_qxenv_multi_qx(api(), env.ref(s({{MIN, MAX}})), size), 1);
  EXPECT_EQ(env.get(size), atom_sup) << "2^29 values exceed the small integers";
  EXPECT_EQ(prolog_fd_size_qxenv_multi_qx(api(), env.ref(s({{0, MAX - 1}})), size), 1);
  EXPECT_EQ(env.get(size), MakeSmall(MAX));
  /* ill-formed: overlapping, adjacent, reversed, misplaced infinities, unbound, not a list */
  for (Pairs bad :
       {Pairs{{1, 5}, {5, 8}}, Pairs{{1, 5}, {6, 8}}, Pairs{{5, 1}}, Pairs{{1, 2}, {INF, 8}},
        Pairs{{1, SUP}, {SUP + 0, SUP}}, Pairs{{INF, INF}}, Pairs{{SUP, SUP}}})
    EXPECT_EQ(prolog_fd_size_qxenv_multi_qx(api(), env.ref(s(bad)), size), 0);
  EXPECT_EQ(prolog_fd_size_qxenv_multi_qx(api(), env.ref(env.engine.var()), size), 0);
  EXPECT_EQ(prolog_fd_size_qxenv_multi_qx(api(), env.ref(env.engine.atom("foo")), size), 0);
  EXPECT_EQ(prolog_fd_size_qxenv_multi_qx(api(), env.ref(env.engine.list({MakeSmall(1)})), size),
            0);
  TAGGED partial = env.engine.cons(env.engine.cons(MakeSmall(1), MakeSmall(2)), env.engine.var());
  EXPECT_EQ(prolog_fd_size_qxenv_multi_qx(api(), env.ref(partial), size), 0);
  /* a set whose cells hold bound variables is read through them */
  TAGGED v = env.engine.var();
  *RefPtr(v) = MakeSmall(4);
  EXPECT_EQ(prolog_fd_size_qxenv_multi_qx(
                api(), env.ref(env.engine.list({env.engine.cons(MakeSmall(1), v)})), size),
            1);
  EXPECT_EQ(env.get(size), MakeSmall(4));
}

TEST_F(FdSetPredicates, RangeAndConsBuildOnTheHeap)
{
  QX_term_ref out = env.ref(atom_nil);
  EXPECT_EQ(
      prolog_fd_range_qxenv_multi_qx(api(), env.ref(MakeSmall(2)), env.ref(MakeSmall(5)), out), 1);
  EXPECT_EQ(read(env.get(out)), (Pairs{{2, 5}}));
  EXPECT_TRUE(on_heap(env.get(out)));
  EXPECT_EQ(prolog_fd_range_qxenv_multi_qx(api(), env.ref(atom_inf), env.ref(atom_sup), out), 1);
  EXPECT_EQ(read(env.get(out)), (Pairs{{INF, SUP}}));
  for (auto [lo, hi] : {std::pair{MakeSmall(5), MakeSmall(2)}, std::pair{atom_inf, atom_inf},
                        std::pair{atom_sup, atom_sup}, std::pair{MakeSmall(1), atom_inf}}) {
    EXPECT_EQ(prolog_fd_range_qxenv_multi_qx(api(), env.ref(lo), env.ref(hi), out), 1);
    EXPECT_EQ(env.get(out), atom_nil);
  }
  EXPECT_EQ(
      prolog_fd_range_qxenv_multi_qx(api(), env.ref(env.engine.var()), env.ref(MakeSmall(1)), out),
      0);
  EXPECT_EQ(prolog_fd_range_qxenv_multi_qx(api(), env.ref(MakeSmall(1)),
                                           env.ref(env.engine.atom("x")), out),
            0);

  QX_term_ref tail = env.ref(s({{8, 9}})); /* a root: the call may collect */
  EXPECT_EQ(
      prolog_fd_cons_qxenv_multi_qx(api(), env.ref(MakeSmall(1)), env.ref(MakeSmall(5)), tail, out),
      1);
  EXPECT_EQ(read(env.get(out)), (Pairs{{1, 5}, {8, 9}}));
  EXPECT_EQ(LstTail(env.get(out)), env.get(tail));
  EXPECT_EQ(prolog_fd_cons_qxenv_multi_qx(api(), env.ref(atom_inf), env.ref(atom_sup),
                                          env.ref(atom_nil), out),
            1);
  EXPECT_EQ(read(env.get(out)), (Pairs{{INF, SUP}}));
  TAGGED adjacent = s({{6, 9}});
  EXPECT_EQ(prolog_fd_cons_qxenv_multi_qx(api(), env.ref(MakeSmall(1)), env.ref(MakeSmall(5)),
                                          env.ref(adjacent), out),
            0);
  EXPECT_EQ(prolog_fd_cons_qxenv_multi_qx(api(), env.ref(MakeSmall(5)), env.ref(MakeSmall(1)),
                                          env.ref(atom_nil), out),
            0);
  EXPECT_EQ(prolog_fd_cons_qxenv_multi_qx(api(), env.ref(atom_sup), env.ref(atom_sup),
                                          env.ref(atom_nil), out),
            0);
  EXPECT_EQ(prolog_fd_cons_qxenv_multi_qx(api(), env.ref(MakeSmall(1)), env.ref(atom_sup),
                                          env.ref(tail), out),
            0);
  EXPECT_EQ(prolog_fd_cons_qxenv_multi_qx(api(), env.ref(MakeSmall(1)), env.ref(MakeSmall(2)),
                                          env.ref(env.engine.atom("x")), out),
            0);
}

TEST_F(FdSetPredicates, MembershipAndIntersectionTests)
{
  TAGGED a = s({{1, 3}, {7, 9}});
  env.arm();
  prolog_fd_dom_contains_qxenv_multi_qx(api(), env.ref(a), env.ref(MakeSmall(8)));
  EXPECT_FALSE(env.failed());
  for (TAGGED x : {MakeSmall(5), atom_inf, env.engine.var()}) {
    env.arm();
    prolog_fd_dom_contains_qxenv_multi_qx(api(), env.ref(a), env.ref(x));
    EXPECT_TRUE(env.failed());
  }
  env.arm();
  EXPECT_EQ(prolog_fd_dom_intersect_qxenv_multi_qx(api(), env.ref(a), env.ref(s({{4, 6}}))), 1);
  EXPECT_EQ(prolog_fd_dom_intersect_qxenv_multi_qx(api(), env.ref(a), env.ref(s({{0, 10}}))), 2);
  EXPECT_EQ(prolog_fd_dom_intersect_qxenv_multi_qx(api(), env.ref(a), env.ref(a)), 2);
  EXPECT_EQ(prolog_fd_dom_intersect_qxenv_multi_qx(api(), env.ref(a), env.ref(s({{2, 8}}))), 3);
  EXPECT_EQ(prolog_fd_dom_intersect_qxenv_multi_qx(api(), env.ref(atom_nil), env.ref(a)), 1);
  EXPECT_FALSE(env.failed());
  prolog_fd_dom_intersect_qxenv_multi_qx(api(), env.ref(a), env.ref(env.engine.atom("x")));
  EXPECT_TRUE(env.failed());
}

TEST_F(FdSetPredicates, SetResultsAreCopiedToTheHeap)
{
  QX_term_ref a = env.ref(s({{1, 3}, {7, 9}})), b = env.ref(s({{3, 7}})); /* roots */
  QX_term_ref out = env.ref(atom_nil);
  struct Case {
    std::function<void()> call;
    Pairs want;
  } cases[] = {
      {[&] { prolog_fd_dom_intersection_qxenv_multi_qx(api(), a, b, out); }, {{3, 3}, {7, 7}}},
      {[&] { prolog_fd_dom_union_qxenv_multi_qx(api(), a, b, out); }, {{1, 9}}},
      {[&] { prolog_fd_dom_subtract_qxenv_multi_qx(api(), a, b, out); }, {{1, 2}, {8, 9}}},
      {[&] { prolog_fd_dom_complement_qxenv_multi_qx(api(), a, out); },
       {{INF, 0}, {4, 6}, {10, SUP}}},
      {[&] { prolog_fd_dom_insert_qxenv_multi_qx(api(), a, env.ref(MakeSmall(5)), out); },
       {{1, 3}, {5, 5}, {7, 9}}},
      {[&] { prolog_fd_dom_delete_qxenv_multi_qx(api(), a, env.ref(MakeSmall(8)), out); },
       {{1, 3}, {7, 7}, {9, 9}}},
      {[&] { prolog_fd_negate_qxenv_multi_qx(api(), a, env.ref(MakeSmall(10)), out); },
       {{1, 3}, {7, 9}}},
      {[&] { prolog_fd_negate_qxenv_multi_qx(api(), a, env.ref(MakeSmall(0)), out); },
       {{-9, -7}, {-3, -1}}},
  };
  for (Case &c : cases) {
    env.arm();
    c.call();
    EXPECT_FALSE(env.failed());
    EXPECT_EQ(read(env.get(out)), c.want);
    EXPECT_TRUE(on_heap(env.get(out)));
  }
  /* a union that shares a heap tail is still wholly copied */
  env.arm();
  prolog_fd_dom_union_qxenv_multi_qx(api(), env.ref(s({{-5, -4}})), a, out);
  EXPECT_EQ(read(env.get(out)), (Pairs{{-5, -4}, {1, 3}, {7, 9}}));
  EXPECT_NE(LstTail(env.get(out)), env.get(a));
  EXPECT_TRUE(on_heap(env.get(out)));
  EXPECT_EQ(env.state.fd_overflow, 0u);
}

TEST_F(FdSetPredicates, BadArgumentsFailAndUnrepresentableComplementsOverflow)
{
  QX_term_ref out = env.ref(atom_nil);
  env.arm();
  prolog_fd_dom_union_qxenv_multi_qx(api(), env.ref(s({{5, 1}})), env.ref(atom_nil), out);
  EXPECT_TRUE(env.failed());
  env.arm();
  prolog_fd_dom_insert_qxenv_multi_qx(api(), env.ref(atom_nil), env.ref(env.engine.atom("x")), out);
  EXPECT_TRUE(env.failed());
  env.arm();
  prolog_fd_negate_qxenv_multi_qx(api(), env.ref(atom_nil), env.ref(env.engine.var()), out);
  EXPECT_TRUE(env.failed());
  EXPECT_EQ(env.state.fd_overflow, 0u);
  env.arm();
  prolog_fd_dom_complement_qxenv_multi_qx(api(), env.ref(s({{MIN, 3}})), out);
  EXPECT_TRUE(env.failed());
  EXPECT_EQ(env.state.fd_overflow, 1u);
  env.state.fd_overflow = 0;
  env.arm();
  prolog_fd_dom_complement_qxenv_multi_qx(api(), env.ref(s({{3, MAX}})), out);
  EXPECT_TRUE(env.failed());
  EXPECT_EQ(env.state.fd_overflow, 1u);
  env.state.fd_overflow = 0;
  env.arm();
  prolog_fd_dom_complement_qxenv_multi_qx(api(), env.ref(s({{INF, 3}, {7, SUP}})), out);
  EXPECT_FALSE(env.failed());
  EXPECT_EQ(read(env.get(out)), (Pairs{{4, 6}}));
}

/* The true result of a set predicate, over the integers with the infinities as values far
 * beyond any reachable one: a result whose intervals all meet the small-integer range is the set
 * with its ends beyond the range made inf and sup; one with an interval wholly beyond the range
 * cannot be represented. */
namespace truth {
typedef std::vector<std::pair<int64_t, int64_t>> Spans;
constexpr int64_t FAR = INT64_C(1) << 40;

Spans of(const Pairs &pairs)
{
  Spans out;
  for (auto [lo, hi] : pairs) out.push_back({lo == INF ? -FAR : lo, hi == SUP ? FAR : hi});
  return out;
}
bool in(const Spans &spans, int64_t v)
{
  for (auto [lo, hi] : spans)
    if (v >= lo && v <= hi) return true;
  return false;
}
/* The maximal runs of a membership test, cut at the given points of change. */
template <typename Member>
Spans runs(std::vector<int64_t> cuts, Member member)
{
  std::sort(cuts.begin(), cuts.end());
  Spans out;
  for (size_t i = 0; i + 1 < cuts.size(); i++) {
    if (cuts[i] == cuts[i + 1] || !member(cuts[i])) continue;
    if (!out.empty() && out.back().second + 1 == cuts[i])
      out.back().second = cuts[i + 1] - 1;
    else
      out.push_back({cuts[i], cuts[i + 1] - 1});
  }
  return out;
}
std::vector<int64_t> cuts_of(std::initializer_list<const Spans *> sets)
{
  std::vector<int64_t> cuts = {-FAR, FAR + 1};
  for (const Spans *set : sets)
    for (auto [lo, hi] : *set) cuts.insert(cuts.end(), {lo, hi + 1});
  return cuts;
}
Spans subtract(const Spans &a, const Spans &b)
{
  return runs(cuts_of({&a, &b}), [&](int64_t v) { return in(a, v) && !in(b, v); });
}
Spans negate(const Spans &a, int64_t k)
{
  Spans image;
  for (auto [lo, hi] : a) image.push_back({hi == FAR ? -FAR : k - hi, lo == -FAR ? FAR : k - lo});
  return runs(cuts_of({&image}), [&](int64_t v) { return in(image, v); });
}
/* The representable form, or false when an interval lies wholly beyond the range. */
bool represent(const Spans &spans, Pairs *out)
{
  out->clear();
  for (auto [lo, hi] : spans) {
    if (hi < MIN || lo > MAX) return false;
    out->push_back({lo < MIN ? INF : (int32_t)lo, hi > MAX ? SUP : (int32_t)hi});
  }
  return true;
}
}  // namespace truth

/* Every well-formed set of at most two intervals with ends among points near both ends of the
 * range and near zero. */
std::vector<Pairs> boundary_sets()
{
  const std::vector<int32_t> points = {INF, MIN,     MIN + 1, MIN + 2, -2, 0,
                                       2,   MAX - 2, MAX - 1, MAX,     SUP};
  std::vector<Pairs> one = {{}}, out;
  for (int32_t lo : points)
    for (int32_t hi : points)
      if (lo <= hi && lo != SUP && hi != INF) one.push_back({{lo, hi}});
  for (const Pairs &first : one) {
    out.push_back(first);
    if (first.empty() || first[0].second == SUP) continue;
    for (const Pairs &second : one)
      if (!second.empty() && second[0].first != INF &&
          (int64_t)second[0].first > (int64_t)first[0].second + 1)
        out.push_back({first[0], second[0]});
  }
  return out;
}

TEST_F(FdSetPredicates, SubtractionNegationAndComplementFailWithTheFlagBeyondTheRange)
{
  std::vector<Pairs> sets = boundary_sets();
  QX_term_ref in1 = env.ref(atom_nil), in2 = env.ref(atom_nil), out = env.ref(atom_nil);
  int refused = 0;
  /* Runs the call and compares it with the true result. */
  auto check = [&](const std::function<void()> &call, const truth::Spans &want,
                   const std::string &what) {
    Pairs expected;
    bool representable = truth::represent(want, &expected);
    env.state.fd_overflow = 0;
    env.put(out, atom_nil);
    env.arm();
    TAGGED *mark = env.w->global_top;
    uint64_t collections = qx_gc_statistics()->collections;
    call();
    EXPECT_EQ(env.failed(), !representable) << what;
    EXPECT_EQ(env.state.fd_overflow, representable ? 0u : 1u) << what;
    if (representable && !env.failed()) {
      EXPECT_EQ(read(env.get(out)), expected) << what;
    }
    refused += !representable;
    /* the result is dropped, unless a collection moved the heap meanwhile */
    if (qx_gc_statistics()->collections == collections) env.w->global_top = mark;
  };
  auto text = [](const Pairs &p) {
    std::string t;
    for (auto [lo, hi] : p) t += "[" + std::to_string(lo) + "|" + std::to_string(hi) + "]";
    return t;
  };
  for (const Pairs &a : sets) {
    truth::Spans ta = truth::of(a);
    for (const Pairs &b : sets) {
      if (b.size() > 1 && a.size() > 1) continue; /* two by two adds nothing at the ends */
      env.put(in1, s(a));
      env.put(in2, s(b));
      check([&] { prolog_fd_dom_subtract_qxenv_multi_qx(api(), in1, in2, out); },
            truth::subtract(ta, truth::of(b)), "subtract " + text(a) + " " + text(b));
    }
    env.put(in1, s(a));
    check([&] { prolog_fd_dom_complement_qxenv_multi_qx(api(), in1, out); },
          truth::subtract({{-truth::FAR, truth::FAR}}, ta), "complement " + text(a));
    for (int32_t k : {MIN, MIN + 1, MIN + 2, -3, -1, 0, 1, 3, MAX - 2, MAX - 1, MAX}) {
      env.put(in1, s(a));
      env.put(in2, MakeSmall(k));
      check([&] { prolog_fd_negate_qxenv_multi_qx(api(), in1, in2, out); }, truth::negate(ta, k),
            "negate " + text(a) + " " + std::to_string(k));
    }
  }
  EXPECT_GT(refused, 100) << "the table reaches results beyond the range";
  /* the two cases as Prolog would write them */
  env.put(in1, s({{INF, 5}}));
  env.put(in2, s({{MIN, 0}}));
  check([&] { prolog_fd_dom_subtract_qxenv_multi_qx(api(), in1, in2, out); },
        {{-truth::FAR, MIN - INT64_C(1)}, {1, 5}}, "subtract [inf|5] [-2^28|0]");
  env.put(in1, s({{1, 2}, {4, 5}}));
  env.put(in2, MakeSmall(MIN));
  check([&] { prolog_fd_negate_qxenv_multi_qx(api(), in1, in2, out); },
        {{MIN - INT64_C(5), MIN - INT64_C(4)}, {MIN - INT64_C(2), MIN - INT64_C(1)}},
        "negate [1|2][4|5] -2^28");
}

}  // namespace
