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

void volumes(ORVALIS_API_STRUCT *api, geost_data *b)
{
  for (int j = 0; j < b->nsboxes_posted; j++)
    if (j == 0 || b->shape.sid[j] != b->shape.sid[j - 1]) shape_volume(api, b, j);
}

void free_tables(ORVALIS_API_STRUCT *api, geost_data *b)
{
  for (int d = 0; d < b->kdims; d++)
    for (int32_t **t : {&b->lch_tables[d], &b->lh_tables[d], &b->lh_tables_max[d], &b->lh_tables_inv[d]}) {
      QX_free(*t);
      *t = nullptr;
    }
}

/* The origin values per object and dimension over every placement inside the w x h box. */
struct placements {
  std::vector<std::array<std::set<int>, 2>> seen;
  int count = 0;
};
void place(const packing &pk, int w, int h, std::vector<int> &grid, std::vector<std::array<int, 2>> &at,
           size_t i, placements *out)
{
  if (i == pk.objs.size()) {
    out->count++;
    for (size_t o = 0; o < at.size(); o++) out->seen[o][0].insert(at[o][0]), out->seen[o][1].insert(at[o][1]);
    return;
  }
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
      if (fits) at[i] = {x, y}, place(pk, w, h, grid, at, i + 1, out);
      for (int c : cells) grid[c] = 0;
    }
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
  volumes(api, tb->b);
  tb->put(1, {0, 0, w - 1, h - 1});
  tb->b->slack = tb->b->exact_slack = slack;
  tb->b->opt = opt;
  tb->b->tick = 1;
  tb->b->maxbacks = 40;
  return tb;
}

}  // namespace

/* No step removes an origin value that some placement of a near-exact packing (slack 0, 1, 2)
 * uses, nor fails a feasible instance; the penetration bound of the longest holes is never
 * below the depth a placed sbox reaches into the gap beside another. Each step prunes in some
 * runs. */
TEST_F(FdGeostInit, StepsKeepEveryPlacement)
{
  rng g{101};
  int pruned[5] = {0, 0, 0, 0, 0}, runs = fd_gc_stress ? 45 : 180;
  for (int n = 0; n < runs; n++) {
    bool twice = n % 4 == 3;
    int wd = 2 + g.below(5), h = 2 + g.below(5), slack = twice ? 0 : n % 3;
    packing pk = near_packing(g, wd, h, slack, twice);
    wd -= twice ? wd % 2 : 0, h -= twice ? h % 2 : 0;
    placements all;
    all.seen.resize(pk.objs.size());
    std::vector<int> grid(wd * h, 0);
    std::vector<std::array<int, 2>> at(pk.objs.size());
    place(pk, wd, h, grid, at, 0, &all);
    ASSERT_GT(all.count, 0);
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
        for (size_t o = 0; o < pk.objs.size(); o++) /* penetration into the gap before o's sbox */
          for (size_t o1 = 0; o1 < pk.objs.size(); o1++)
            for (int d = 0; d < 2 && o1 != o; d++) {
              int s = geost_first_sbox(b, pk.sid[o]), s1 = geost_first_sbox(b, pk.sid[o1]);
              const int *t = &b->shape.translation[2 * s], *l = &b->shape.size[2 * s];
              const int *t1 = &b->shape.translation[2 * s1], *l1 = &b->shape.size[2 * s1];
              int e = pk.at[o][d] + t[d], x1 = pk.at[o1][d] + t1[d], c = d ^ 1;
              if (x1 + l1[d] > e || e < 1) continue;
              int c0 = pk.at[o][c] + t[c], c1 = pk.at[o1][c] + t1[c];
              int depth = std::max(0, std::min(c0 + l[c], c1 + l1[c]) - std::max(c0, c1));
              EXPECT_GE(get_max_penetration(api, b, e, 0, e - 1, l1[d], std::min(l[c], l1[c]), (int)o1, s1, d), depth)
                  << "run " << n;
            }
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
          for (int v : all.seen[o][d])
            EXPECT_TRUE(dvar_contains_value_t(&b->dvar[3 * o + 1 + d], MakeSmall(v)))
                << "run " << n << " step " << step << " object " << o << " value " << v;
    }
  }
  EXPECT_GT(pruned[0], runs / 10);
  EXPECT_GT(pruned[1], runs / 10);
  EXPECT_GT(pruned[2], runs / 10);
  EXPECT_GT(pruned[4], runs / 60);
}
