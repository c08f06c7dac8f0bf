/* geost/4's initialisation steps on hand-filled blocks: the corner tests, the longest-hole
 * tables, hole avoidance, the pallet set-up, the parallel-conflict check and the floating
 * vis-a-vis pass. Soundness against every placement of small near-exact packings (brute force),
 * then the edge cases as table rows. */
#include <set>

#include "fd.h"
#include "fd_geost.h"
#include "fd_sched.h"
#include "fd_kernel_env.h"
#include "fd_geost_test.h"
#include "memman.h"

using namespace geost_test;

class FdGeostInit : public FdKernelTest {};

namespace {

void free_tables(ORVALIS_API_STRUCT *api, geost_data *b)
{
  for (int d = 0; d < b->kdims; d++)
    for (int32_t **t : {&b->lch_tables[d], &b->lh_tables[d], &b->lh_tables_max[d], &b->lh_tables_inv[d]}) {
      QX_free(*t);
      *t = nullptr;
    }
}

/* Records into seen the origin values per object and dimension of every placement inside the
 * w x h box; the number of placements. */
int place(const packing &pk, int w, int h, std::vector<int> &grid, std::vector<std::array<int, 2>> &at, size_t i,
          std::vector<std::array<std::set<int>, 2>> &seen)
{
  if (i == pk.objs.size()) {
    for (size_t o = 0; o < at.size(); o++) seen[o][0].insert(at[o][0]), seen[o][1].insert(at[o][1]);
    return 1;
  }
  int count = 0;
  const auto &dom = pk.objs[i].origin;
  for (int x = dom[0].first; x <= dom[0].second; x++)
    for (int y = dom[1].first; y <= dom[1].second; y++) {
      std::vector<int> cells;
      bool fits = true;
      for (const auto &s : pk.boxes)
        for (int cx = 0; s.sid == pk.sid[i] && cx < s.l[0] && fits; cx++)
          for (int cy = 0; cy < s.l[1] && fits; cy++) {
            int px = x + s.t[0] + cx, py = y + s.t[1] + cy;
            fits = px >= 0 && py >= 0 && px < w && py < h && !grid[py * w + px];
            if (fits) grid[py * w + px] = 1, cells.push_back(py * w + px);
          }
      if (fits) at[i] = {x, y}, count += place(pk, w, h, grid, at, i + 1, seen);
      for (int c : cells) grid[c] = 0;
    }
  return count;
}

/* A packing of the w x h box less one object of area slack (fixed shapes, wider domains); with
 * double, of the box w/2 x h/2 with every length doubled (slack 0). */
packing near_packing(rng &g, int w, int h, int slack, bool twice = false)
{
  if (twice) {
    packing pk = near_packing(g, w / 2, h / 2, 0);
    for (auto &s : pk.boxes)
      for (int d = 0; d < 2; d++) s.t[d] *= 2, s.l[d] *= 2;
    for (size_t o = 0; o < pk.objs.size(); o++)
      for (int d = 0; d < 2; d++) {
        pk.at[o][d] *= 2;
        pk.objs[o].origin[d] = {pk.at[o][d] - g.below(2), pk.at[o][d] + g.below(2)};
      }
    return pk;
  }
  for (;;) {
    packing pk = make_packing(g, w, h);
    int drop = -1;
    for (size_t o = 0; o < pk.objs.size() && slack > 0; o++) {
      int area = 0;
      for (const auto &s : pk.boxes) area += s.sid == pk.sid[o] ? s.l[0] * s.l[1] : 0;
      if (area == slack) drop = (int)o;
    }
    if (slack > 0 && (drop < 0 || pk.objs.size() < 2)) continue;
    if (drop >= 0) pk.objs.erase(pk.objs.begin() + drop), pk.at.erase(pk.at.begin() + drop), pk.sid.erase(pk.sid.begin() + drop);
    for (size_t o = 0; o < pk.objs.size(); o++) {
      pk.objs[o].shape_hi = pk.objs[o].shape_lo = pk.sid[o];
      for (int d = 0; d < 2; d++) {
        pk.objs[o].origin[d].first -= g.below(2);
        pk.objs[o].origin[d].second += g.below(2);
      }
    }
    return pk;
  }
}

/* A block of the instance in a w x h bounding box 1 with the given slack, volumes and tick set. */
std::unique_ptr<test_block> block_of(ORVALIS_API_STRUCT *api, const packing &pk, int w, int h, int slack, int opt)
{
  auto tb = std::make_unique<test_block>(api, 2, pk.objs, pk.boxes);
  all_shape_volumes(api, tb->b);
  tb->put(1, {0, 0, w - 1, h - 1});
  tb->b->slack = tb->b->exact_slack = slack, tb->b->opt = opt, tb->b->tick = 1, tb->b->maxbacks = 40;
  return tb;
}

}  // namespace

/* No step removes an origin value that some placement of a near-exact packing (slack 0, 1, 2)
 * uses, nor fails a feasible instance; each step that can prune prunes in some runs. */
TEST_F(FdGeostInit, StepsKeepEveryPlacement)
{
  rng g{101};
  int pruned[5] = {0, 0, 0, 0, 0}, runs = fd_gc_stress ? 45 : 180;
  for (int n = 0; n < runs; n++) {
    bool twice = n % 4 == 3;
    int wd = 2 + g.below(5), h = 2 + g.below(5), slack = twice ? 0 : n % 3;
    packing pk = near_packing(g, wd, h, slack, twice);
    wd -= twice ? wd % 2 : 0, h -= twice ? h % 2 : 0;
    std::vector<std::array<std::set<int>, 2>> seen(pk.objs.size());
    std::vector<int> grid(wd * h, 0);
    std::vector<std::array<int, 2>> at(pk.objs.size());
    ASSERT_GT(place(pk, wd, h, grid, at, 0, seen), 0);
    int lh = n % 2 ? GEOST_LONGEST_HOLE_ALL : GEOST_LONGEST_HOLE;
    for (int step = 0; step < 5; step++) {
      int opt = step % 2 == 0 && step > 0 ? lh | GEOST_PARCONFLICT | GEOST_VISAVIS_FLOATING : 0;
      auto tb = block_of(api, pk, wd, h, slack, opt);
      geost_data *b = tb->b;
      int r = 0;
      if (step == 0) r = init_border_check(api, b, w);
      if (step == 1) r = init_avoid_holes(api, b, w);
      if (step == 2) {
        ASSERT_EQ(init_longest_holes(api, b, w), 1) << "run " << n;
        r = init_avoid_holes(api, b, w);
        free_tables(api, b);
      }
      if (step == 4) {
        ASSERT_EQ(init_longest_holes(api, b, w), 1) << "run " << n;
        r = floating_visavis(api, b, w);
        free_tables(api, b);
      }
      if (step == 3) r = check_wrt_parallel_conflict(api, b, w) ? 0 : -1;
      ASSERT_GE(r, 0) << "run " << n << " step " << step;
      pruned[step] += r > 0;
      for (size_t o = 0; o < pk.objs.size(); o++)
        for (int d = 0; d < 2; d++)
          for (int v : seen[o][d])
            EXPECT_TRUE(dvar_contains_value_t(&b->dvar[3 * o + 1 + d], MakeSmall(v)))
                << "run " << n << " step " << step << " object " << o << " value " << v;
    }
  }
  EXPECT_GT(pruned[0], runs / 10);
  EXPECT_GT(pruned[1], runs / 10);
  EXPECT_GT(pruned[2], runs / 10);
  EXPECT_GT(pruned[4], runs / 60);
}

namespace {

std::vector<int> values(const geost_data *b, int o, int d)
{
  std::vector<int> v;
  const dvar *X = &b->dvar[(b->kdims + 1) * o + 1 + d];
  for (int x = GetSmall(X->min); x <= GetSmall(X->max); x++)
    if (dvar_contains_value_t(X, MakeSmall(x))) v.push_back(x);
  return v;
}

/* A step on one hand-made instance: bounding box 1 is 0..w-1 x 0..h-1. */
struct step_row {
  const char *what;
  std::vector<sbox_spec> boxes;
  std::vector<object_spec> objs;
  int w, h, slack, opt;
  int result; /* the step's answer, its sign for change masks */
  std::vector<int> left; /* object 0's remaining origins in x (or in y for the floating pass) */
};

}  // namespace

/* The corner tests: gaps of 0 and of the whole extent are always sums; a size used once is not
 * in the sums of the others; the slack forgives a short gap. The contact test: a neighbour that
 * can touch either face makes up for either; e1max 0 leaves the middle alone. */
TEST_F(FdGeostInit, CornerAndMiddleRows)
{
  const int LH = GEOST_LONGEST_HOLE;
  const std::vector<step_row> rows = {
      {"whole extent", {{0, {0, 0}, {3, 1}}}, {{0, 0, {{0, 0}, {0, 0}}}}, 3, 1, 0, 0, 0, {0}},
      {"own size once", {{0, {0, 0}, {1, 1}}, {1, {0, 0}, {2, 1}}},
       {{0, 0, {{0, 2}, {0, 0}}}, {1, 1, {{0, 1}, {0, 0}}}}, 3, 1, 0, 0, 1, {0, 2}},
      {"slack forgives", {{0, {0, 0}, {1, 1}}, {1, {0, 0}, {2, 1}}},
       {{0, 0, {{0, 3}, {0, 0}}}, {1, 1, {{0, 2}, {0, 0}}}}, 4, 1, 1, 0, 0, {0, 1, 2, 3}},
      {"translated", {{0, {1, 0}, {1, 1}}, {1, {0, 0}, {2, 1}}},
       {{0, 0, {{-1, 1}, {0, 0}}}, {1, 1, {{0, 1}, {0, 0}}}}, 3, 1, 0, 0, 1, {-1, 1}},
      {"contact both faces", {{0, {0, 0}, {1, 2}}, {1, {0, 0}, {2, 2}}},
       {{0, 0, {{2, 2}, {0, 0}}}, {1, 1, {{0, 3}, {0, 0}}}, {1, 1, {{0, 3}, {0, 0}}}}, 5, 2, 0, GEOST_VISAVIS_INIT, 1, {2}},
      {"contact too thin", {{0, {0, 0}, {1, 2}}, {1, {0, 0}, {2, 2}}, {2, {0, 0}, {2, 1}}},
       {{0, 0, {{2, 2}, {0, 0}}}, {1, 1, {{0, 3}, {0, 0}}}, {2, 2, {{0, 3}, {0, 1}}}}, 5, 2, 0, GEOST_VISAVIS_INIT, -1, {}},
      {"e1max 0", {{0, {0, 0}, {2, 1}}}, {{0, 0, {{0, 1}, {0, 0}}}}, 3, 1, 1, GEOST_VISAVIS_INIT | LH, 0, {0, 1}},
  };
  for (const step_row &r : rows) {
    test_block tb(api, 2, r.objs, r.boxes);
    geost_data *b = tb.b;
    all_shape_volumes(api, b);
    tb.put(1, {0, 0, r.w - 1, r.h - 1});
    b->slack = b->exact_slack = r.slack;
    b->opt = r.opt;
    b->maxbacks = -1;
    int got;
    if (r.opt & GEOST_VISAVIS_INIT) {
      ASSERT_EQ(init_longest_holes(api, b, w), 1) << r.what;
      got = init_avoid_holes(api, b, w);
      free_tables(api, b);
    } else {
      got = init_border_check(api, b, w);
    }
    EXPECT_EQ(sign(got), r.result) << r.what;
    if (got >= 0) {
      EXPECT_EQ(values(b, 0, 0), r.left) << r.what;
    }
  }
}

/* The longest-hole tables: with the "all" variant row r equals the one-row table of slack r
 * and holds slack + 1 rows; the inverse table against its definition; the failure check, on the
 * last row only; no tables and no floating pass without the option; a table size that cannot be
 * had is a memory fault. */
TEST_F(FdGeostInit, LongestHoleTables)
{
  std::vector<sbox_spec> boxes = {{0, {0, 0}, {2, 2}}, {1, {0, 0}, {1, 2}}, {2, {0, 0}, {2, 1}}};
  std::vector<object_spec> objs = {{0, 0, {{0, 1}, {0, 2}}}, {1, 1, {{0, 3}, {0, 2}}}, {2, 2, {{0, 2}, {0, 3}}}};
  auto make = [&](int slack, int opt) {
    auto tb = std::make_unique<test_block>(api, 2, objs, boxes);
    all_shape_volumes(api, tb->b);
    tb->put(1, {0, 0, 3, 3});
    tb->b->slack = slack, tb->b->opt = opt, tb->b->maxbacks = -1;
    return tb;
  };
  auto all = make(12, GEOST_LONGEST_HOLE_ALL);
  ASSERT_EQ(init_longest_holes(api, all->b, w), 1);
  ASSERT_TRUE(all->b->lh_tables[1] && all->b->lh_tables_inv[1]);
  int compared = 0;
  for (int r = 0; r <= 12; r++) {
    auto one = make(r, GEOST_LONGEST_HOLE);
    if (!init_longest_holes(api, one->b, w)) { /* too little slack for these items */
      free_tables(api, one->b);
      continue;
    }
    compared++;
    for (int d = 0; d < 2; d++)
      for (int e = 0; e < 4; e++) {
        EXPECT_EQ(all->b->lh_tables[d][r * 4 + e], one->b->lh_tables[d][e]) << r << " " << d << " " << e;
        EXPECT_EQ(all->b->lch_tables[d][r * 4 + e], one->b->lch_tables[d][e]) << r << " " << d << " " << e;
        EXPECT_EQ(get_longest_hole_max(api, all->b, d, r, e + 1), get_longest_hole_max(api, one->b, d, 0, e + 1));
      }
    for (int d = 0; d < 2; d++)
      for (int len = 1; len <= all->b->max_val_in_lmax; len++) {
        int eps = 1;
        while (eps <= 4 && get_longest_hole_max(api, all->b, d, r, eps) < len) eps++;
        EXPECT_EQ(get_longest_hole_inv(api, all->b, d, r, len), eps <= 4 ? eps - 1 : -1);
      }
    free_tables(api, one->b);
  }
  EXPECT_GE(compared, 3);
  EXPECT_LT(compared, 13); /* rows of too small a slack do not fail the "all" tables */
  EXPECT_EQ(all->b->max_val_in_lmax, 4);
  free_tables(api, all->b);
  /* a 3 x 2 box cannot hold a 2 x 2 and a 2 x 1 box without waste */
  std::vector<object_spec> two = {{0, 0, {{0, 1}, {0, 0}}}, {2, 2, {{0, 1}, {0, 1}}}};
  test_block bad(api, 2, two, boxes);
  all_shape_volumes(api, bad.b);
  bad.put(1, {0, 0, 2, 1});
  bad.b->opt = GEOST_LONGEST_HOLE_ALL, bad.b->maxbacks = 20;
  EXPECT_EQ(init_longest_holes(api, bad.b, w), 0);
  free_tables(api, bad.b);
  auto off = make(0, GEOST_VISAVIS_FLOATING | GEOST_PARCONFLICT);
  EXPECT_EQ(init_longest_holes(api, off->b, w), 1);
  EXPECT_EQ(off->b->opt, GEOST_PARCONFLICT);
  EXPECT_EQ(off->b->lh_tables[0], nullptr);
  auto huge = make(0x3fffffff, GEOST_LONGEST_HOLE_ALL);
  int caught = 0;
  {
    qx_recovery_scope scope(QX_RECOVERY_API);
    try {
      init_longest_holes(api, huge->b, w);
    } catch (const qx_fault &f) {
      caught = f.kind;
    }
  }
  EXPECT_EQ(caught, QX_FAULT_MEMORY);
  free_tables(api, huge->b);
}

/* Pallet recognition and the first pallet tests; the parallel-conflict check. */
TEST_F(FdGeostInit, PalletAndParallelConflictRows)
{
  const int PL = GEOST_PALLET_LOADING;
  /* shapes: 0 a 2 x 1 item, 1 the same turned, 2 translated, 3 of two boxes, 4 a 1 x 6 bar, 5 a 2 x 2 square */
  std::vector<sbox_spec> boxes = {{0, {0, 0}, {2, 1}}, {1, {0, 0}, {1, 2}}, {2, {1, 0}, {2, 1}},
                                  {3, {0, 0}, {1, 1}}, {3, {1, 0}, {1, 1}}, {4, {0, 0}, {1, 6}},
                                  {5, {0, 0}, {2, 2}}};
  auto o = [](int lo, int hi) { return object_spec{lo, hi, {{0, 2}, {0, 2}}}; };
  const std::vector<step_row> rows = {
      {"items turned", boxes, {o(0, 1), o(0, 1), o(1, 1)}, 3, 2, 0, PL, 1, {}},
      {"translated", boxes, {o(0, 0), o(2, 2)}, 3, 2, 0, 0, 1, {}},
      {"later shape of the first", boxes, {o(0, 3), o(0, 0)}, 3, 2, 0, 0, 1, {}},
      {"two boxes", boxes, {o(3, 3)}, 3, 2, 0, 0, 1, {}},
      {"exact, a size dividing no extent", boxes, {o(4, 4)}, 2, 3, 0, PL, 0, {}},
      {"two squares in 3 x 3", boxes, {o(5, 5), o(5, 5)}, 3, 3, 0, PL, 0, {}},
      {"two squares in 4 x 2", boxes, {o(5, 5), o(5, 5)}, 4, 2, 0, PL, 1, {}},
  };
  for (const step_row &r : rows) {
    test_block tb(api, 2, r.objs, r.boxes);
    tb.put(1, {0, 0, r.w - 1, r.h - 1});
    tb.b->opt = PL;
    EXPECT_EQ(pl_init(api, tb.b, w), r.result) << r.what;
    EXPECT_EQ(tb.b->opt, r.opt) << r.what;
    if (r.opt && r.result) { /* the lengths up to the longer side that the item's sides sum to */
      ASSERT_NE(tb.b->pl.islin, nullptr) << r.what;
      int a = tb.b->shape.size_multiset[2 * tb.b->pl.sbox], c = tb.b->shape.size_multiset[2 * tb.b->pl.sbox + 1];
      for (int x = 0; x <= std::max(r.w, r.h); x++) {
        bool sum = false;
        for (int i = 0; i * a <= x; i++) sum = sum || (x - i * a) % c == 0;
        EXPECT_EQ(tb.b->pl.islin[x], sum) << r.what << " " << x;
      }
      EXPECT_EQ(tb.b->pl.bbend[0], r.w - 1);
    }
    QX_free(tb.b->pl.islin);
  }
  /* two 2 x 2 squares in a 3 x 2 box cannot lie apart; in a 4 x 2 box they can */
  for (int wd : {3, 4}) {
    test_block tb(api, 2, {{5, 5, {{0, wd - 2}, {0, 0}}}, {5, 5, {{0, wd - 2}, {0, 0}}}}, boxes);
    tb.put(1, {0, 0, wd - 1, 1});
    tb.b->tick = 1;
    EXPECT_EQ(check_wrt_parallel_conflict(api, tb.b, w), wd == 4);
  }
}

/* The floating vis-a-vis pass over the holes of four 2 x 2 squares in a 4 x 4 box (no hole of
 * height 1; two squares lie outside the box): a square that must lie apart from the fixed one
 * across a gap of 1, or over it with a gap of 1 between, may not face it; touching, retired,
 * shapeless and loose boxes prune nothing; a pruning that empties a domain fails. Rows give the
 * second object's origins in y; opt 1 retires it, opt 2 (3) gives it (the first) a second shape
 * once the tables are built. */
TEST_F(FdGeostInit, FloatingVisavisRows)
{
  std::vector<sbox_spec> boxes = {{0, {0, 0}, {2, 2}}, {1, {0, 3}, {1, 1}}};
  auto pair = [](object_spec first, object_spec second) {
    return std::vector<object_spec>{first, second, {0, 0, {{100, 100}, {100, 100}}}, {0, 0, {{100, 100}, {104, 104}}}};
  };
  object_spec fixed{0, 0, {{0, 0}, {0, 0}}};
  const std::vector<step_row> rows = {
      {"apart by 1", boxes, pair(fixed, {0, 0, {{3, 3}, {0, 2}}}), 4, 4, 0, 0, 1, {2}},
      {"apart, emptied", boxes, pair(fixed, {0, 0, {{3, 3}, {0, 1}}}), 4, 4, 0, 0, -1, {}},
      {"touching", boxes, pair(fixed, {0, 0, {{2, 2}, {0, 2}}}), 4, 4, 0, 0, 0, {0, 1, 2}},
      {"retired", boxes, pair(fixed, {0, 0, {{3, 3}, {0, 2}}}), 4, 4, 0, 1, 0, {0, 1, 2}},
      {"no compulsory part", boxes, pair({0, 0, {{0, 2}, {0, 0}}}, {0, 0, {{3, 3}, {0, 2}}}), 4, 4, 0, 0, 0, {0, 1, 2}},
      {"shape not fixed", boxes, pair(fixed, {0, 0, {{3, 3}, {0, 2}}}), 4, 4, 0, 2, 0, {0, 1, 2}},
      {"first shape not fixed", boxes, pair(fixed, {0, 0, {{3, 3}, {0, 2}}}), 4, 4, 0, 3, 0, {0, 1, 2}},
      {"overlapping, gap of 1 above", boxes, pair(fixed, {0, 0, {{0, 1}, {2, 3}}}), 4, 4, 0, 0, 1, {2}},
  };
  for (const step_row &r : rows) {
    test_block tb(api, 2, r.objs, r.boxes);
    geost_data *b = tb.b;
    all_shape_volumes(api, b);
    tb.put(1, {0, 0, 3, 3});
    b->opt = GEOST_LONGEST_HOLE | GEOST_VISAVIS_FLOATING;
    b->maxbacks = -1;
    ASSERT_EQ(init_longest_holes(api, b, w), 1) << r.what;
    if (r.opt == 1) b->target[1] = 3, b->target[3] = 1, b->ntargets = 3;
    if (r.opt >= 2) dvar_init_temp(&b->dvar[r.opt == 2 ? 3 : 0], MakeSmall(0), MakeSmall(1));
    b->object.flags[1] = b->pruneddim[0] = b->pruneddim[1] = 0;
    int got = floating_visavis(api, b, w);
    EXPECT_EQ(sign(got), r.result) << r.what;
    if (got >= 0) {
      EXPECT_EQ(values(b, 1, 1), r.left) << r.what;
    }
    EXPECT_EQ(b->object.flags[1], got > 0 ? 3 : 0) << r.what;
    free_tables(api, b);
  }
}

/* How far a 2 x 2 square reaches into a gap interval of the 4 x 4 box of four such squares,
 * whose holes of width 1 cannot be filled: not at all when it leaves a width of 1 beside it in
 * every position, its whole height when it can leave widths of 0 or 2; its height without the
 * longest holes; nothing when it is longer than the interval. */
TEST_F(FdGeostInit, PenetrationWithLongestHoles)
{
  std::vector<sbox_spec> boxes = {{0, {0, 0}, {2, 2}}};
  struct row {
    int size, last, lo, hi, opt, reach;
  } rows[] = {
      {3, 2, 1, 1, GEOST_LONGEST_HOLE, 0}, {3, 2, 0, 1, GEOST_LONGEST_HOLE, 0}, {2, 1, 0, 0, GEOST_LONGEST_HOLE, 2},
      {4, 3, 1, 1, GEOST_LONGEST_HOLE, 0}, {4, 3, 0, 1, GEOST_LONGEST_HOLE, 2}, {4, 3, 2, 2, GEOST_LONGEST_HOLE, 2},
      {3, 2, 1, 1, 0, 2},                  {1, 0, 0, 0, GEOST_LONGEST_HOLE, 0},
  };
  for (const row &r : rows) {
    std::vector<object_spec> objs = {{0, 0, {{r.lo, r.hi}, {0, 0}}}};
    for (int i = 0; i < 3; i++) objs.push_back({0, 0, {{100, 100}, {100 + 4 * i, 100 + 4 * i}}});
    test_block tb(api, 2, objs, boxes);
    all_shape_volumes(api, tb.b);
    tb.put(1, {0, 0, 3, 3});
    tb.b->opt = GEOST_LONGEST_HOLE, tb.b->maxbacks = -1;
    ASSERT_EQ(init_longest_holes(api, tb.b, w), 1);
    tb.b->opt = r.opt;
    EXPECT_EQ(get_max_penetration(api, tb.b, r.size, 0, r.last, 2, 2, 0, 0, 0), r.reach) << r.size << " " << r.lo;
    free_tables(api, tb.b);
  }
}
