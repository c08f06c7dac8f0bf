/* geost/4's block layout, shape table and region table, on blocks a helper fills: relative
 * forbidden regions against brute force over every placement, region merging and subsumption,
 * growth of the table, bounding boxes. */
#include <array>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <tuple>

#include "driver/fd_circuit.h"
#include "fd.h"
#include "fd_geost.h"
#include "fd_sched.h"
#include "fd_sets.h"
#include "fd_kernel_env.h"
#include "fd_geost_test.h"

using namespace geost_test;

class FdGeost : public FdKernelTest {};

/* Every array of the block has its length and none overlaps another: each is filled with its
 * own byte, then every one is read back (ASan watches the block's end). */
TEST_F(FdGeost, BlockArraysHaveTheirLengthsApart)
{
  for (geost_dims dm : {geost_dims{2, 3, 5, 2, 6}, geost_dims{3, 0, 0, 0, 0}, geost_dims{1, 7, 2, 1, 4}}) {
    size_t bytes = geost_block_bytes(dm);
    auto *b = (geost_data *)std::calloc(1, bytes);
    geost_carve(b, dm);
    size_t k = dm.kdims, n2 = dm.nobjects + 2, sa = b->nsboxes_allocated, sp = dm.nsboxes_posted;
    EXPECT_EQ(b->nsboxes_allocated, std::max(std::max(dm.nobjects, 1) + dm.nsboxes_posted, 2 * dm.kdims));
    EXPECT_EQ(b->nregions, std::max(dm.nobjects, 6));
    EXPECT_EQ(b->nrefs, (2 * dm.kdims + 4) * dm.nobjects + 4 * dm.kdims + 4);
    EXPECT_EQ(b->shape.sid[sp], 0x7fffffff);
    EXPECT_EQ(b->check_cumulative_set[0], -2);
    struct array {
      void *p;
      size_t bytes;
    };
    std::vector<array> arrays = {
        {b->dvar, n2 * (k + 1) * sizeof(dvar)}, {b->lower_dvar, k * sizeof(dvar)},
        {b->upper_dvar, k * sizeof(dvar)}, {b->fixorder, dm.norder * sizeof(int)},
        {b->memo, dm.norder / (k + 1) * sizeof(int)}, {b->target, dm.nobjects * sizeof(int)},
        {b->byclass, dm.nobjects * sizeof(int)}, {b->byarea, dm.nobjects * sizeof(int)},
        {b->check_cumulative_set, (dm.nobjects * dm.max_nsboxes + 1) * sizeof(int)},
        {b->cumulative_sbox, dm.max_nsboxes * sizeof(int)}, {b->object.minwit, n2 * k * k * sizeof(int)},
        {b->object.maxwit, n2 * k * k * sizeof(int)}, {b->object.flags, n2 * sizeof(int)},
        {b->object.auxup2, n2 * k * sizeof(int)}, {b->object.proc, n2 * sizeof(void *)},
        {b->shape.translation, sa * k * sizeof(int)}, {b->shape.size, sa * k * sizeof(int)},
        {b->shape.size_multiset, sa * k * sizeof(int)}, {b->shape.sid, sa * sizeof(int)},
        {b->shape.boundaries, 2 * k * sa * sizeof(int)}, {b->shape.useful, sa * sizeof(int)},
        {b->shape.tvolume, sa * sizeof(int32_t)}, {b->shape.included, sp * sp},
        {b->vis_a_vis_sbox, 2 * k * sizeof(int)}, {b->pl.bbend, k * sizeof(int)},
        {b->dp_hash, k * sizeof(void *)}, {b->lh_tables_inv, k * sizeof(void *)},
        {b->pruneddim, k * sizeof(int)}, {b->maxeps, k * sizeof(int)}};
    for (size_t i = 0; i < arrays.size(); i++) std::memset(arrays[i].p, (int)i + 1, arrays[i].bytes);
    for (size_t i = 0; i < arrays.size(); i++)
      for (size_t j = 0; j < arrays[i].bytes; j++)
        ASSERT_EQ(((unsigned char *)arrays[i].p)[j], i + 1) << "array " << i << " overlaps another";
    std::free(b);
  }
}

/* shape_hash finds each shape's first sbox and the sentinel after the last; included is
 * containment, checked directly. */
TEST_F(FdGeost, ShapeTableAndInclusion)
{
  rng g{11};
  for (int n = 0; n < 50; n++) {
    int k = 1 + g.below(3);
    auto &&[boxes, objs, tb, b] = random_block(api, g, k);
    int ns = (int)boxes.size();
    for (int j = 0; j < ns; j++) {
      if (j == 0 || boxes[j].sid != boxes[j - 1].sid) {
        EXPECT_EQ(geost_first_sbox(b, boxes[j].sid), j);
      }
      for (int i = 0; i < ns; i++) {
        bool in = true;
        for (int d = 0; d < k; d++)
          in = in && boxes[i].t[d] >= boxes[j].t[d] && boxes[i].t[d] + boxes[i].l[d] <= boxes[j].t[d] + boxes[j].l[d];
        EXPECT_EQ(b->shape.included[i * ns + j], i == j || in);
      }
    }
    sw_on_key_node *sentinel = incore_gethash(b->shape_hash, MakeSmall(boxes.back().sid + 1));
    ASSERT_NE(sentinel->key, 0u);
    EXPECT_EQ(GetSmall(sentinel->value), ns);
    EXPECT_EQ(geost_first_sbox(b, boxes.back().sid + 5), -1);
  }
}

/* Relative regions, k = 1, 2, 3, up to 3 shapes of up to 3 boxes: the boxes an object covers in
 * every placement its origin and shape domains allow (brute force over the placements); with the
 * filtered origins narrowed, only regions that cannot reach them go; bb_add_object is the hull
 * of the placements. */
TEST_F(FdGeost, RelativeRegionsAreCoveredInEveryPlacement)
{
  rng g{5};
  int regions = 0, polymorphic = 0;
  for (int n = 0; n < 300; n++) {
    int k = 1 + n % 3;
    auto &&[boxes, objs, tb, b] = random_block(api, g, k);
    for (size_t o = 0; o < objs.size(); o++) {
      std::vector<std::vector<int>> got;
      collected = &got;
      int region = b->fr.end_bb;
      relative_fr(api, b, (int)o, &region, collect);
      regions += (int)got.size();
      polymorphic += objs[o].shape_lo < objs[o].shape_hi && !got.empty();
      std::vector<int> lo, hi;
      for (auto [l, h] : objs[o].origin) {
        lo.push_back(l);
        hi.push_back(h);
      }
      for (const auto &r : got) {
        /* the cells the region claims: origin - 1 .. end in each dimension */
        std::vector<int> clo(r.begin(), r.begin() + k), chi(r.begin() + k, r.end());
        bool empty = false;
        for (int d = 0; d < k; d++) {
          clo[d]--;
          empty |= clo[d] > chi[d];
        }
        if (empty) continue;
        for (int sid = objs[o].shape_lo; sid <= objs[o].shape_hi; sid++)
          each_point(lo, hi, [&](const std::vector<int> &x) {
            each_point(clo, chi, [&](const std::vector<int> &c) {
              EXPECT_TRUE(covers(boxes, sid, x, c)) << "object " << o << " shape " << sid;
            });
          });
      }
      /* narrowed filtered origins: a region of a one-shape object that goes forbids no origin in
       * them to any sbox */
      for (int d = 0; d < k; d++) {
        b->dvar_min[d] = g.below(6) - 2;
        b->dvar_max[d] = b->dvar_min[d] + g.below(3);
      }
      std::vector<std::vector<int>> kept;
      collected = &kept;
      region = b->fr.end_bb;
      relative_fr(api, b, (int)o, &region, collect);
      for (const auto &r : got) {
        /* (a polymorphic object's regions are rebuilt from the sboxes still useful) */
        if (objs[o].shape_lo < objs[o].shape_hi) break;
        if (std::find(kept.begin(), kept.end(), r) != kept.end()) continue;
        for (const auto &s : boxes) {
          bool reaches = true;
          for (int d = 0; d < k; d++)
            reaches = reaches && r[d] - s.t[d] - s.l[d] <= r[k + d] - s.t[d] &&
                      r[d] - s.t[d] - s.l[d] <= b->dvar_max[d] && r[k + d] - s.t[d] >= b->dvar_min[d];
          EXPECT_FALSE(reaches) << "a region that reaches the filtered origins was dropped";
        }
      }
      for (int d = 0; d < k; d++) {
        b->dvar_min[d] = -1000;
        b->dvar_max[d] = 1000;
      }
      /* the hull */
      bb_init(b, 0);
      bb_add_object(api, b, 0, (int)o);
      std::vector<int> hull(2 * k);
      for (int d = 0; d < k; d++) {
        hull[d] = INT32_MAX;
        hull[k + d] = INT32_MIN + 1;
      }
      for (const auto &s : boxes)
        if (s.sid >= objs[o].shape_lo && s.sid <= objs[o].shape_hi)
          for (int d = 0; d < k; d++) {
            hull[d] = std::min(hull[d], lo[d] + s.t[d]);
            hull[k + d] = std::max(hull[k + d], hi[d] + s.t[d] + s.l[d] - 1);
          }
      EXPECT_EQ(tb.region(0), hull);
    }
  }
  EXPECT_GT(regions, 100);
  EXPECT_GT(polymorphic, 5);
}

/* Two shapes with no box in common leave a polymorphic object no region; with one box in common
 * that box is the region. */
TEST_F(FdGeost, PolymorphicObjectRegions)
{
  std::vector<object_spec> objs = {{0, 1, {{0, 0}, {0, 0}}}};
  std::vector<sbox_spec> apart = {{0, {0, 0}, {2, 2}}, {1, {5, 5}, {2, 2}}};
  std::vector<sbox_spec> shared = {{0, {0, 0}, {4, 4}}, {1, {2, 2}, {4, 4}}};
  std::vector<std::vector<int>> got;
  collected = &got;
  {
    test_block tb(api, 2, objs, apart);
    int region = tb.b->fr.end_bb;
    EXPECT_EQ(relative_fr(api, tb.b, 0, &region, collect), 0);
    EXPECT_TRUE(got.empty());
  }
  test_block tb(api, 2, objs, shared);
  int region = tb.b->fr.end_bb;
  relative_fr(api, tb.b, 0, &region, collect);
  EXPECT_EQ(got, (std::vector<std::vector<int>>{{3, 3, 3, 3}})); /* the cells 2..3 */
}

/* store_region: a duplicate keeps one slot, touching neighbours differing in one dimension join,
 * others do not; with subsumption a region inside an older one goes and older ones inside it go;
 * the table doubles when the free slot reaches its end and keeps every slot. */
TEST_F(FdGeost, StoreRegionJoinsSubsumesAndGrows)
{
  struct row {
    std::vector<std::vector<int>> older;
    std::vector<int> fresh;
    int subsumption;
    std::vector<std::vector<int>> after;
  } rows[] = {
      {{{0, 0, 3, 3}}, {0, 0, 3, 3}, 0, {{0, 0, 3, 3}}},
      {{{0, 0, 3, 3}}, {4, 0, 6, 3}, 0, {{0, 0, 6, 3}}},
      {{{0, 0, 3, 3}}, {5, 0, 6, 3}, 0, {{0, 0, 3, 3}, {5, 0, 6, 3}}},
      {{{0, 0, 3, 3}}, {4, 1, 6, 3}, 0, {{0, 0, 3, 3}, {4, 1, 6, 3}}},
      {{{0, 0, 9, 9}, {20, 20, 21, 21}}, {1, 1, 2, 2}, 1, {{0, 0, 9, 9}, {20, 20, 21, 21}}},
      {{{1, 1, 2, 2}, {20, 20, 21, 21}, {3, 3, 4, 4}}, {0, 0, 9, 9}, 1,
       {{20, 20, 21, 21}, {0, 0, 9, 9}}},
  };
  for (const row &r : rows) {
    test_block tb(api);
    geost_data *b = tb.b;
    b->fr.end_relative = b->fr.end_bb;
    int at = b->fr.end_bb;
    for (const auto &o : r.older) tb.put(at++, o);
    tb.put(at, r.fresh);
    int next = store_region(api, b, at, 0, r.subsumption);
    std::vector<std::vector<int>> after;
    for (int s = b->fr.end_bb; s < next; s++) after.push_back(tb.region(s));
    EXPECT_EQ(after, r.after);
  }
  test_block tb(api);
  geost_data *b = tb.b;
  b->fr.end_relative = b->fr.end_bb;
  int at = b->fr.end_bb, cap = b->nregions;
  for (int i = 0; i < 3 * cap; i++) {
    tb.put(at, {10 * i, 0, 10 * i + 1, 1});
    at = store_region(api, b, at, 7, 0);
  }
  EXPECT_GE(b->nregions, 3 * cap);
  for (int i = 0; i < 3 * cap; i++) {
    EXPECT_EQ(tb.region(b->fr.end_bb + i), (std::vector<int>{10 * i, 0, 10 * i + 1, 1}));
    EXPECT_EQ(b->fr.obj[b->fr.end_bb + i], 7);
  }
}

/* all_relative_fr gathers the relative regions of every object meeting bounding box 1, the last
 * object first, each at the end of the relative segment; with fixall only ground objects'. */
TEST_F(FdGeost, AllRelativeRegions)
{
  rng g{23};
  for (int n = 0; n < 60; n++) {
    int k = 1 + n % 3;
    auto &&[boxes, objs, tb, b] = random_block(api, g, k, [&](std::vector<object_spec> &objs) {
      if (n % 2) objs[0].origin.assign(k, {1, 1}), objs[0].shape_hi = objs[0].shape_lo;
    });
    for (int fixall : {0, 1}) {
      std::vector<std::vector<int>> expected;
      for (int o = (int)objs.size() - 1; o >= 0; o--) {
        bool ground = objs[o].shape_lo == objs[o].shape_hi;
        for (auto [lo, hi] : objs[o].origin) ground = ground && lo == hi;
        if (fixall && !ground) continue;
        collected = &expected;
        int region = b->fr.end_bb;
        relative_fr(api, b, o, &region, collect);
      }
      bb_init(b, 1);
      for (size_t o = 0; o < objs.size(); o++) bb_add_object(api, b, 1, (int)o);
      all_relative_fr(api, b, fixall);
      std::vector<std::vector<int>> got;
      for (int r = b->fr.end_bb; r < b->fr.end_relative; r++) got.push_back(tb.region(r));
      EXPECT_EQ(got, expected) << "fixall " << fixall;
      /* a bounding box that meets no object: no region */
      tb.put(1, std::vector<int>(2 * k, 500));
      all_relative_fr(api, b, fixall);
      EXPECT_EQ(b->fr.end_relative, b->fr.end_bb);
    }
  }
}

namespace {

/* The cells a shape covers at origin x within lo..hi (brute force). */
int covered_cells(const std::vector<sbox_spec> &boxes, int sid, const std::vector<int> &x,
                  const std::vector<int> &lo, const std::vector<int> &hi)
{
  int n = 0;
  for (size_t d = 0; d < lo.size(); d++)
    if (lo[d] > hi[d]) return 0;
  each_point(lo, hi, [&](const std::vector<int> &c) { n += covers(boxes, sid, x, c); });
  return n;
}

}  // namespace

/* svolume is the union and tvolume the sum of a shape's boxes, intersection_volume the cells of
 * the shape at the origin's lower bounds inside a region, min_intersection_volume the least of
 * those over the shape domain, min/max_vol_sid the first lightest and heaviest shape, cumulable
 * the fixed shape's boxes meeting the region or the common part of one-box shapes: all against
 * cell counting. */
TEST_F(FdGeost, VolumesAgainstCellCounting)
{
  rng g{31};
  int cumulated = 0, none = 0;
  for (int n = 0; n < 400; n++) {
    int k = 2 + n % 2;
    auto &&[boxes, objs, tb, b] = random_block(api, g, k);
    all_shape_volumes(api, b);
    std::vector<int> zero(k, 0), wlo(k, -2), whi(k, 6);
    std::map<int, int> svol;
    for (size_t j = 0; j < boxes.size(); j++) {
      int sid = boxes[j].sid;
      if (j > 0 && boxes[j - 1].sid == sid) continue;
      svol[sid] = covered_cells(boxes, sid, zero, wlo, whi);
      int sum = 0;
      for (const auto &s : boxes)
        if (s.sid == sid) {
          int v = 1;
          for (int l : s.l) v *= l;
          sum += v;
        }
      EXPECT_EQ(b->shape.svolume[j], svol[sid]);
      EXPECT_EQ(b->shape.tvolume[j], sum);
    }
    for (size_t o = 0; o < objs.size(); o++) {
      std::vector<int> rlo(k), rhi(k), x(k);
      for (int d = 0; d < k; d++) {
        rlo[d] = g.below(6) - 1;
        rhi[d] = rlo[d] + g.below(5) - 1;
        x[d] = objs[o].origin[d].first;
      }
      tb.put(0, [&] { auto v = rlo; v.insert(v.end(), rhi.begin(), rhi.end()); return v; }());
      int least = INT32_MAX, lo_sid = -1, hi_sid = -1;
      for (int sid = objs[o].shape_lo; sid <= objs[o].shape_hi; sid++) {
        int cells = covered_cells(boxes, sid, x, rlo, rhi);
        EXPECT_EQ(intersection_volume(api, b, 0, (int)o, sid), cells) << "shape " << sid;
        least = std::min(least, cells);
        if (lo_sid < 0 || svol[sid] < svol[lo_sid]) lo_sid = sid;
        if (hi_sid < 0 || svol[sid] > svol[hi_sid]) hi_sid = sid;
      }
      EXPECT_EQ(min_intersection_volume(api, b, 0, (int)o), least);
      compute_minmax_vol_sid(api, b, (int)o);
      EXPECT_EQ(b->object.min_vol_sid[o], lo_sid);
      EXPECT_EQ(b->object.max_vol_sid[o], hi_sid);
      /* cumulable along dimension 0 */
      int got = cumulable(api, b, (int)o, 0, 0);
      if (objs[o].shape_lo == objs[o].shape_hi) {
        std::vector<int> expected;
        for (size_t j = 0; j < boxes.size(); j++) {
          if (boxes[j].sid != objs[o].shape_lo) continue;
          bool meets = true;
          for (int d = 0; d < k; d++)
            meets = meets && objs[o].origin[d].second + boxes[j].t[d] + boxes[j].l[d] - 1 >= rlo[d] &&
                    objs[o].origin[d].first + boxes[j].t[d] <= rhi[d];
          if (meets) expected.push_back((int)j);
        }
        EXPECT_EQ(std::vector<int>(b->cumulative_sbox, b->cumulative_sbox + got), expected);
        continue;
      }
      /* unfixed: the common part of the one-box shapes, cross-section the least */
      std::vector<int> clo(k, INT32_MIN), chi(k, INT32_MAX);
      bool representable = true;
      int h = INT32_MAX;
      for (int sid = objs[o].shape_lo; sid <= objs[o].shape_hi; sid++) {
        const sbox_spec *only = nullptr;
        int count = 0;
        for (const auto &s : boxes)
          if (s.sid == sid) only = &s, count++;
        if (count != 1) {
          representable = false;
          break;
        }
        int vol = 1;
        for (int d = 0; d < k; d++) {
          clo[d] = std::max(clo[d], only->t[d]);
          chi[d] = std::min(chi[d], only->t[d] + only->l[d]);
          representable = representable && clo[d] < chi[d];
          vol *= only->l[d];
        }
        h = std::min(h, vol / only->l[0]);
      }
      ASSERT_EQ(got, representable ? 1 : 0);
      none += !representable;
      if (!representable) continue;
      cumulated++;
      int v = b->cumulative_sbox[0];
      EXPECT_EQ(v, b->nsboxes_posted + (int)o);
      for (int d = 0; d < k; d++) {
        EXPECT_EQ(b->shape.translation[v * k + d], clo[d]);
        EXPECT_EQ(b->shape.size[v * k + d], chi[d] - clo[d]);
      }
      EXPECT_EQ(b->shape.volume[v], h * (chi[0] - clo[0]));
    }
  }
  EXPECT_GT(cumulated, 5);
  EXPECT_GT(none, 5);
}

/* Volumes near the 32-bit limit set overflow and stay below 0x7ffffffb instead of wrapping. */
TEST_F(FdGeost, VolumeOverflowSetsTheFlag)
{
  struct row {
    std::vector<sbox_spec> boxes;
    int overflow;
    int32_t svolume, tvolume;
  } rows[] = {
      {{{0, {0, 0}, {40000, 40000}}}, 0, 1600000000, 1600000000},
      {{{0, {0, 0}, {46341, 46341}}}, 1, 46341, 46341},
      {{{0, {0, 0}, {40000, 40000}}, {0, {40000, 0}, {40000, 40000}}}, 1, 1600000000, 1600000000},
      {{{0, {0, 0}, {1, 1}}, {0, {0, 0}, {1, 1}}}, 0, 1, 2},
  };
  std::vector<object_spec> objs = {{0, 0, {{0, 0}, {0, 0}}}};
  for (const row &r : rows) {
    test_block tb(api, 2, objs, r.boxes);
    shape_volume(api, tb.b, 0);
    EXPECT_EQ(tb.b->overflow, r.overflow);
    EXPECT_EQ(tb.b->shape.svolume[0], r.svolume);
    EXPECT_EQ(tb.b->shape.tvolume[0], r.tvolume);
  }
}

/* filter_volume: V = rest_volume + the objects' union volumes (and, without the overlap option,
 * V <= target_avail + rest_volume). Every shape and volume value some assignment supports stays;
 * failure only when none exists; with up = 0 only each object's lightest shapes stay. */
TEST_F(FdGeost, FilterVolumeKeepsSupportedShapes)
{
  rng g{41};
  int pruned = 0, failed = 0;
  for (int n = 0; n < 300; n++) {
    auto &&[boxes, objs, tb, b] = random_block(api, g, 2);
    all_shape_volumes(api, b);
    std::map<int, int> svol;
    for (size_t j = 0; j < boxes.size(); j++) svol[boxes[j].sid] = b->shape.svolume[geost_first_sbox(b, boxes[j].sid)];
    int vlo = g.below(30), vhi = vlo + g.below(20);
    b->rest_volume = g.below(3);
    b->target_avail = 10 + g.below(40);
    b->opt = n % 2 ? GEOST_OVERLAP : 0;
    dvar_init_temp(&b->volume_dvar, MakeSmall(vlo), MakeSmall(vhi));
    for (size_t o = 0; o < objs.size(); o++) compute_minmax_vol_sid(api, b, (int)o);
    /* the supports, brute force */
    size_t m = objs.size();
    std::vector<std::set<int>> shapes(m);
    std::set<int> volumes;
    std::vector<int> pick(m);
    for (size_t o = 0; o < m; o++) pick[o] = objs[o].shape_lo;
    for (;;) {
      int v = b->rest_volume;
      for (size_t o = 0; o < m; o++) v += svol[pick[o]];
      if (v >= vlo && v <= vhi && (b->opt || v <= b->target_avail + b->rest_volume)) {
        volumes.insert(v);
        for (size_t o = 0; o < m; o++) shapes[o].insert(pick[o]);
      }
      size_t o = 0;
      while (o < m && ++pick[o] > objs[o].shape_hi) pick[o] = objs[o].shape_lo, o++;
      if (o == m) break;
    }
    int outcome = filter_volume(api, b, w);
    if (!outcome) {
      EXPECT_TRUE(volumes.empty());
      failed++;
      continue;
    }
    for (int v : volumes) EXPECT_TRUE(dvar_contains_value_t(&b->volume_dvar, MakeSmall(v)));
    for (size_t o = 0; o < m; o++) {
      for (int sid : shapes[o]) EXPECT_TRUE(dvar_contains_value_t(&b->dvar[3 * o], MakeSmall(sid)));
      pruned += dvar_value_count(&b->dvar[3 * o]) < objs[o].shape_hi - objs[o].shape_lo + 1;
    }
  }
  EXPECT_GT(pruned, 10);
  EXPECT_GT(failed, 10);
  /* up = 0: V.max is the lightest total, so every heavier shape goes */
  std::vector<sbox_spec> boxes = {{0, {0, 0}, {1, 1}}, {1, {0, 0}, {2, 1}}, {2, {0, 0}, {3, 1}}};
  std::vector<object_spec> objs = {{0, 2, {{0, 0}, {0, 0}}}, {1, 2, {{0, 0}, {0, 0}}}};
  test_block tb(api, 2, objs, boxes);
  all_shape_volumes(api, tb.b);
  tb.b->opt = GEOST_OVERLAP;
  dvar_init_temp(&tb.b->volume_dvar, MakeSmall(0), MakeSmall(3));
  for (int o = 0; o < 2; o++) compute_minmax_vol_sid(api, tb.b, o);
  ASSERT_EQ(filter_volume(api, tb.b, w), 1);
  EXPECT_EQ(tb.b->dvar[0].max, MakeSmall(0));
  EXPECT_EQ(tb.b->dvar[3].max, MakeSmall(1));
  EXPECT_EQ(tb.b->volume_dvar.min, MakeSmall(3));
  EXPECT_EQ(tb.b->prunedsid, 1);
  EXPECT_EQ(tb.b->object.flags[0], 3);
}

/* min_intersection and max_intersection are the least and largest overlap of two intervals
 * sliding inside two ranges; sbox_max_intersection the largest overlap of an sbox over its
 * origin domain, holes included, with a region: against enumeration. */
TEST_F(FdGeost, IntersectionBoundsAgainstEnumeration)
{
  rng g{43};
  std::vector<object_spec> objs = {{0, 0, {{0, 0}}}};
  std::vector<sbox_spec> boxes = {{0, {0}, {1}}};
  test_block tb(api, 1, objs, boxes);
  geost_data *b = tb.b;
  for (int n = 0; n < 400; n++) {
    int o1 = g.below(8), e1 = o1 + g.below(6), o2 = g.below(8), e2 = o2 + g.below(6);
    int s1 = 1 + g.below(e1 - o1 + 1), s2 = 1 + g.below(e2 - o2 + 1);
    tb.put(4, {o1, e1});
    tb.put(5, {o2, e2});
    int64_t lo = INT64_MAX, hi = 0;
    for (int a = o1; a + s1 - 1 <= e1; a++)
      for (int c = o2; c + s2 - 1 <= e2; c++) {
        int64_t v = overlap_1d(a, s1, c, c + s2 - 1);
        lo = std::min(lo, v);
        hi = std::max(hi, v);
      }
    EXPECT_EQ(min_intersection(b, 4, 5, &s1, &s2, 0), lo) << o1 << ".." << e1 << " " << o2 << ".." << e2;
    EXPECT_EQ(max_intersection(b, 4, 5, &s1, &s2, 0), hi);
    /* an sbox (t, L) over an origin domain with a hole, against region 5 of extent e2-o2+1 */
    int t = g.below(3) - 1, L = 1 + g.below(4), dlo = g.below(8), dhi = dlo + g.below(5);
    b->shape.translation[0] = t;
    b->shape.size[0] = L;
    dvar dv;
    dvar_init_temp(&dv, MakeSmall(dlo), MakeSmall(dhi));
    int gap = dlo + 1 + g.below(3);
    if (gap < dhi) {
      ASSERT_GE(dvar_prune_interval_t(api, &dv, MakeSmall(gap), MakeSmall(gap), w), 0);
    }
    int64_t best = 0;
    for (int x = dlo; x <= dhi; x++)
      if (x != gap || gap >= dhi) best = std::max(best, overlap_1d(x + t, L, o2, e2));
    int ext = e2 - o2 + 1;
    EXPECT_EQ(sbox_max_intersection(b, &dv, 0, 4, 5, &ext, 0), best);
  }
}

/* absolute_fr: every origin inside a region it hands on or stores is infeasible for the object
 * in that shape given the same sources (corners, other objects' relative regions, lex bounds,
 * the volume balance of bounding boxes, pallet holes), each source alone and all together. */
TEST_F(FdGeost, AbsoluteRegionsForbidOnlyInfeasibleOrigins)
{
  rng g{47};
  const char *names[] = {"corners", "relative", "lex", "volume", "pallet", "all"};
  int per_source[6] = {};
  int runs = fd_gc_stress ? 150 : 600;
  for (int n = 0; n < runs; n++) {
    int mode = n % 6, k = mode == 4 || n % 4 ? 2 : 3;
    bool all = mode == 5;
    auto &&[boxes, objs, tb, b] = random_block(api, g, k, [&](std::vector<object_spec> &objs) {
      if (mode == 3 || (all && n % 2))
        for (auto &o : objs) o.shape_hi = o.shape_lo; /* decomposable */
    });
    int m = (int)objs.size(), object = g.below(m), sid = objs[object].shape_lo + g.below(objs[object].shape_hi - objs[object].shape_lo + 1);
    std::vector<int> lower(k, -1000), upper(k, 1000);
    if (mode == 0 || all)
      for (int d = 0; d < k; d++) lower[d] = g.below(3), upper[d] = 4 + g.below(4);
    for (int d = 0; d < k; d++) {
      dvar_init_temp(&b->lower_dvar[d], MakeSmall(lower[d]), MakeSmall(lower[d]));
      dvar_init_temp(&b->upper_dvar[d], MakeSmall(upper[d]), MakeSmall(upper[d]));
    }
    for (int o = 0; o < m; o++) b->object.oid[o] = o;
    if (m > 1 && g.below(4) == 0) b->object.oid[(object + 1) % m] = object; /* same identifier */
    bb_init(b, 1);
    for (int o = 0; o < m; o++) bb_add_object(api, b, 1, o);
    std::vector<std::vector<int>> bbs;
    if (mode == 3 || all) {
      b->opt |= GEOST_TASK_INTERVALS | (n % 12 >= 6 ? GEOST_PARCONFLICT : 0);
      b->slack = g.below(3);
      for (int r = 0, nb = 1 + g.below(2); r < nb; r++) {
        std::vector<int> v(2 * k);
        for (int d = 0; d < k; d++) v[d] = g.below(5), v[k + d] = v[d] + g.below(4);
        bbs.push_back(v);
        tb.put(4 + r, v);
      }
    }
    b->fr.end_bb = 4 + (int)bbs.size();
    b->fr.end_relative = b->fr.end_bb;
    if (mode == 1 || all) all_relative_fr(api, b, 0);
    std::vector<int> low(k), up(k);
    if (mode == 2 || all) {
      b->opt |= GEOST_LEX;
      b->object.lex_prev[object] = g.below(3) ? 0 : -1; /* without a neighbour: no region */
      for (int d = 0; d < k; d++) {
        low[d] = objs[object].origin[d].first + g.below(2);
        up[d] = objs[object].origin[d].second - g.below(2);
        b->object.low[object * k + d] = low[d];
        b->object.up[object * k + d] = up[d];
      }
    }
    std::vector<int> holes;
    if (mode == 4 || (all && k == 2)) {
      b->opt |= GEOST_PALLET_LOADING;
      b->pl.nholes = 1 + g.below(3);
      b->pl.pslack = g.below(4) ? b->pl.nholes : b->pl.nholes + 1; /* unknown holes: none used */
      for (int h = 0; h < 2 * b->pl.nholes; h++) holes.push_back(g.below(7));
      b->pl.holes = holes.data();
      b->pl.bborig[0] = g.below(2);
      b->pl.bborig[1] = g.below(2);
    }
    std::vector<std::vector<int>> got;
    collected = &got;
    int region = b->fr.end_relative;
    absolute_fr(api, b, w, object, sid, &region, collect);
    for (int r = b->fr.end_relative; r < region; r++) got.push_back(tb.region(r));
    per_source[mode] += (int)got.size();
    /* the oracle */
    auto sboxes_of = [&](int s) {
      std::vector<const sbox_spec *> v;
      for (const auto &x : boxes)
        if (x.sid == s) v.push_back(&x);
      return v;
    };
    auto domain = [&](int o, std::vector<int> *lo, std::vector<int> *hi) {
      lo->clear(), hi->clear();
      for (auto [l, h] : objs[o].origin) lo->push_back(l), hi->push_back(h);
    };
    auto overlap = [&](int s, const std::vector<int> &x, const std::vector<int> &r) {
      int64_t v = 0;
      for (const sbox_spec *sb : sboxes_of(s)) {
        int64_t p = 1;
        for (int d = 0; d < k; d++) p *= overlap_1d(x[d] + sb->t[d], sb->l[d], r[d], r[k + d]);
        v += p;
      }
      return v;
    };
    auto infeasible = [&](const std::vector<int> &x) {
      for (const sbox_spec *sb : sboxes_of(sid))
        for (int d = 0; d < k; d++)
          if (x[d] + sb->t[d] < lower[d] || x[d] + sb->t[d] + sb->l[d] > upper[d]) return true;
      if (mode == 1 || all)
        for (int o = 0; o < m; o++) {
          if (o == object || b->object.oid[o] == b->object.oid[object]) continue;
          bool always = true;
          std::vector<int> lo, hi;
          domain(o, &lo, &hi);
          for (int s2 = objs[o].shape_lo; s2 <= objs[o].shape_hi && always; s2++)
            each_point(lo, hi, [&](const std::vector<int> &y) {
              bool meet = false;
              for (const sbox_spec *p : sboxes_of(sid))
                for (const sbox_spec *q : sboxes_of(s2)) {
                  bool in = true;
                  for (int d = 0; d < k && in; d++)
                    in = overlap_1d(x[d] + p->t[d], p->l[d], y[d] + q->t[d], y[d] + q->t[d] + q->l[d] - 1) > 0;
                  meet = meet || in;
                }
              always = always && meet;
            });
          if (always) return true;
        }
      if ((mode == 2 || all) && b->object.lex_prev[object] >= 0 && (x < low || x > up)) return true;
      if ((mode == 3 || all) && objs[object].shape_lo == objs[object].shape_hi)
        for (const auto &r : bbs) {
          int64_t V = 1;
          for (int d = 0; d < k; d++) V *= r[k + d] + 1 - r[d];
          /* some placement of the other decomposable objects fills r within its slack */
          std::vector<int> others;
          for (int o = 0; o < m; o++)
            if (o != object && objs[o].shape_lo == objs[o].shape_hi) others.push_back(o);
          /* placed objects: shape and origin; with parconflict they must lie apart */
          std::vector<std::pair<int, std::vector<int>>> placed = {{sid, x}};
          auto apart = [&](int s2, const std::vector<int> &y) {
            if (!(b->opt & GEOST_PARCONFLICT)) return true;
            for (const auto &[s1, z] : placed)
              for (const sbox_spec *p1 : sboxes_of(s1))
                for (const sbox_spec *p2 : sboxes_of(s2)) {
                  bool meet = true;
                  for (int d = 0; d < k && meet; d++)
                    meet = overlap_1d(z[d] + p1->t[d], p1->l[d], y[d] + p2->t[d], y[d] + p2->t[d] + p2->l[d] - 1) > 0;
                  if (meet) return false;
                }
            return true;
          };
          std::function<bool(size_t, int64_t)> fills = [&](size_t i, int64_t sum) {
            if (i == others.size()) return sum >= V - b->slack && sum <= V;
            std::vector<int> lo, hi;
            domain(others[i], &lo, &hi);
            bool any = false;
            int s2 = objs[others[i]].shape_lo;
            each_point(lo, hi, [&](const std::vector<int> &y) {
              if (any || !apart(s2, y)) return;
              placed.push_back({s2, y});
              any = fills(i + 1, sum + overlap(s2, y, r));
              placed.pop_back();
            });
            return any;
          };
          if (!fills(0, overlap(sid, x, r))) return true;
        }
      if ((mode == 4 || (all && k == 2)) && b->pl.nholes == b->pl.pslack) {
        const sbox_spec *s0 = sboxes_of(sid)[0];
        for (int h = 0; h < b->pl.nholes; h++)
          if (overlap_1d(x[0] + s0->t[0], s0->l[0], b->pl.bborig[0] + holes[2 * h], b->pl.bborig[0] + holes[2 * h]) &&
              overlap_1d(x[1] + s0->t[1], s0->l[1], b->pl.bborig[1] + holes[2 * h + 1], b->pl.bborig[1] + holes[2 * h + 1]))
            return true;
      }
      return false;
    };
    std::vector<int> lo, hi;
    domain(object, &lo, &hi);
    for (const auto &r : got) {
      std::vector<int> rlo(k), rhi(k);
      bool empty = false;
      for (int d = 0; d < k; d++) {
        rlo[d] = std::max(r[d], lo[d]);
        rhi[d] = std::min(r[k + d], hi[d]);
        empty = empty || rlo[d] > rhi[d];
      }
      if (!empty)
        each_point(rlo, rhi, [&](const std::vector<int> &x) {
          ASSERT_TRUE(infeasible(x)) << names[mode] << " run " << n;
        });
    }
  }
  for (int s = 0; s < 6; s++) EXPECT_GT(per_source[s], 5) << names[s];
}

/* The volume balance: when the compulsory overlaps of two fixed objects exceed a bounding box,
 * or the largest ones cannot fill it within the slack, the object's whole origin box goes. */
TEST_F(FdGeost, VolumeBalanceFailsOnImpossibleBox)
{
  std::vector<sbox_spec> boxes = {{0, {0, 0}, {3, 3}}};
  struct row {
    std::vector<int> bb;
    int slack;
  } rows[] = {{{0, 0, 2, 2}, 0}, {{1, 1, 9, 9}, 2}};
  for (const row &r : rows) {
    std::vector<object_spec> objs = {{0, 0, {{0, 1}, {0, 1}}}, {0, 0, {{0, 0}, {0, 0}}}};
    test_block tb(api, 2, objs, boxes);
    tb.b->opt = GEOST_TASK_INTERVALS;
    tb.b->slack = r.slack;
    tb.put(4, r.bb);
    tb.b->fr.end_bb = tb.b->fr.end_relative = 5;
    std::vector<std::vector<int>> got;
    collected = &got;
    int region = 5;
    EXPECT_EQ(absolute_fr(api, tb.b, w, 0, 0, &region, collect), 1);
    EXPECT_EQ(got, (std::vector<std::vector<int>>{{0, 0, 1, 1}}));
  }
}

/* point_in_some_fr answers membership in the stored absolute regions (any start of the
 * rotation); inside_forbidden first answers a point outside the origin domain with the gap
 * around it (open ends 0x80000002 and 0x7ffffffe); valid_witness is neither. */
TEST_F(FdGeost, PointQueriesAgainstMembership)
{
  rng g{53};
  for (int n = 0; n < 200; n++) {
    int k = 1 + n % 3;
    std::vector<object_spec> objs = {{0, 0, std::vector<std::pair<int, int>>(k, {1, 6})}};
    std::vector<sbox_spec> boxes = {{0, std::vector<int>(k, 0), std::vector<int>(k, 1)}};
    test_block tb(api, k, objs, boxes);
    geost_data *b = tb.b;
    std::vector<std::set<int>> dom(k);
    for (int d = 0; d < k; d++) {
      int gap = 2 + g.below(4);
      dvar *dv = &b->dvar[1 + d];
      if (g.below(2)) {
        ASSERT_GE(dvar_prune_interval_t(api, dv, MakeSmall(gap), MakeSmall(gap), w), 0);
      }
      for (int v = 1; v <= 6; v++)
        if (dvar_contains_value_t(dv, MakeSmall(v))) dom[d].insert(v);
    }
    int nreg = g.below(4);
    b->fr.end_relative = 4;
    b->fr.end_absolute = 4 + nreg;
    b->fr.top_of_stack = b->fr.end_absolute;
    b->fr.round_robin = 4 + g.below(nreg + 1);
    std::vector<std::vector<int>> regs;
    for (int r = 0; r < nreg; r++) {
      std::vector<int> v(2 * k);
      for (int d = 0; d < k; d++) v[d] = g.below(7), v[k + d] = v[d] + g.below(3);
      tb.put(4 + r, v);
      regs.push_back(v);
    }
    for (int q = 0; q < 20; q++) {
      std::vector<int> p(k);
      for (int d = 0; d < k; d++) p[d] = g.below(9) - 1;
      auto in = [&](const std::vector<int> &r) {
        for (int d = 0; d < k; d++)
          if (p[d] < r[d] || p[d] > r[k + d]) return false;
        return true;
      };
      bool member = std::any_of(regs.begin(), regs.end(), in);
      int region = -1, before = b->query_count;
      ASSERT_EQ(point_in_some_fr(api, b, w, 0, 0, 0, p.data(), &region), member);
      EXPECT_LE(b->query_count - before, nreg);
      if (member) {
        EXPECT_TRUE(in(tb.region(region)));
      }
      int outside = -1;
      for (int d = 0; d < k && outside < 0; d++)
        if (!dom[d].count(p[d])) outside = d;
      EXPECT_EQ(valid_witness(api, b, w, 0, 0, 0, p.data()), outside < 0 && !member);
      ASSERT_EQ(inside_forbidden(api, b, w, p.data(), 0, 0, 0, &region), outside >= 0 || member);
      if (outside < 0) continue;
      /* the gap: the values around p outside the domain, open towards a missing end */
      int lo = p[outside], hi = p[outside];
      while (lo > 1 && !dom[outside].count(lo - 1)) lo--;
      while (hi < 6 && !dom[outside].count(hi + 1)) hi++;
      std::vector<int> gap(2 * k);
      for (int d = 0; d < k; d++) gap[d] = *dom[d].begin(), gap[k + d] = *dom[d].rbegin();
      gap[outside] = lo == 1 && !dom[outside].count(1) ? (int32_t)0x80000002 : lo;
      gap[k + outside] = hi == 6 && !dom[outside].count(6) ? 0x7ffffffe : hi;
      if (p[outside] < 1) gap[outside] = (int32_t)0x80000002, gap[k + outside] = *dom[outside].begin() - 1;
      if (p[outside] > 6) gap[k + outside] = 0x7ffffffe, gap[outside] = *dom[outside].rbegin() + 1;
      EXPECT_EQ(tb.region(region), gap) << "p " << p[outside];
    }
  }
}

/* lex_le against comparison of the rotated vectors. */
TEST_F(FdGeost, LexLeIsCyclicLexicographicOrder)
{
  rng g{59};
  for (int n = 0; n < 500; n++) {
    int k = n % 5, d = k ? g.below(k) : 0, t1 = g.below(2), t2 = g.below(2);
    std::vector<int> x(k), y(k);
    for (int i = 0; i < k; i++) x[i] = g.below(3), y[i] = g.below(3);
    std::vector<int> rx = x, ry = y;
    std::rotate(rx.begin(), rx.begin() + d, rx.end());
    std::rotate(ry.begin(), ry.begin() + d, ry.end());
    bool expected = rx != ry ? rx < ry : t1 <= t2;
    EXPECT_EQ(lex_le(k, x.data(), y.data(), t1, t2, d), expected);
  }
}

/* The polymorphic hole test never rejects the origin an object has in an exact packing, and it
 * rejects some other points. */
TEST_F(FdGeost, PolymorphicHoleTestKeepsPackedOrigins)
{
  rng g{61};
  int rejected = 0, runs = fd_gc_stress ? 60 : 300;
  for (int n = 0; n < runs; n++) {
    int wd = 2 + g.below(5), h = 2 + g.below(5);
    packing pk = make_packing(g, wd, h);
    int m = (int)pk.objs.size();
    bool inactive_last = g.below(3) == 0;
    if (inactive_last) pk.objs[m - 1].origin = {{pk.at[m - 1][0], pk.at[m - 1][0] + 1}, {pk.at[m - 1][1], pk.at[m - 1][1]}},
                       pk.objs[m - 1].shape_hi = pk.objs[m - 1].shape_lo;
    test_block tb(api, 2, pk.objs, pk.boxes);
    geost_data *b = tb.b;
    if (inactive_last) b->ntargets = m - 1;
    for (int o = 0; o < m; o++) b->object.oid[o] = o;
    tb.put(1, {0, 0, wd - 1, h - 1});
    b->fr.end_relative = b->fr.end_absolute = b->fr.end_bb;
    b->fr.top_of_stack = b->fr.end_bb;
    int region;
    for (int o = 0; o < (inactive_last ? m - 1 : m); o++) {
      EXPECT_EQ(point_in_some_fr(api, b, w, o, pk.sid[o], 2, pk.at[o].data(), &region), 0)
          << "run " << n << " object " << o;
      std::vector<int> other = {pk.at[o][0] + g.below(3) - 1, pk.at[o][1] + g.below(3) - 1};
      rejected += point_in_some_fr(api, b, w, o, pk.sid[o], 2, other.data(), &region);
    }
  }
  EXPECT_GT(rejected, 20);
}

namespace {

/* The block of the rule tests: object 0 at origin 1..4 x 0..5 in shape 0, object 1 over shapes
 * 0..1. Shape 0: (0,1) 2x3 and (2,0) 1x1; shape 1: (-1,0) 4x2 and (0,0) 3x3. */
const std::vector<object_spec> rule_objs = {{0, 0, {{1, 4}, {0, 5}}}, {0, 1, {{0, 0}, {0, 0}}}};
const std::vector<sbox_spec> rule_boxes = {
    {0, {0, 1}, {2, 3}}, {0, {2, 0}, {1, 1}}, {1, {-1, 0}, {4, 2}}, {1, {0, 0}, {3, 3}}};

/* Runs code (nreg 6, nstack 2) at p: the region made, or none. */
std::vector<int> run_rule(ORVALIS_API_STRUCT *api, geost_data *b, std::vector<int32_t> code, int dest,
                          std::vector<int> p, int *slot = nullptr)
{
  geost_proc proc{nullptr, 0, dest, 6, 2, (int32_t)code.size(), 0, code.data(), nullptr};
  EXPECT_TRUE(geost_proc_valid(b, &proc));
  int region = -1;
  if (!geost_run_proc(api, b, 0, 0, p.data(), &proc, &region)) return {};
  if (slot) *slot = region;
  std::vector<int> v;
  for (int d = 0; d < 2; d++) v.push_back(b->fr.origin[region * 2 + d]);
  for (int d = 0; d < 2; d++) v.push_back(b->fr.end[region * 2 + d]);
  return v;
}

}  // namespace

/* Every opcode: a row computes R2 and the procedure succeeds (with the origin box) exactly when
 * R2 holds the expected value; the region ops, the two-way alternative resuming its second
 * branch with the region counter of the push, and failure with an empty stack. */
TEST_F(FdGeost, RuleProcedureOpcodes)
{
  test_block tb(api, 2, rule_objs, rule_boxes);
  geost_data *b = tb.b;
  b->fr.top_of_stack = b->fr.end_bb;
  b->opt = GEOST_RULES;
  const std::vector<int> box = {1, 0, 4, 5};
  struct row {
    std::vector<int32_t> code;
    int32_t value;
  } rows[] = {
      {{0, 2, 7}, 7},
      {{1, 2, 0, 0}, 1},
      {{2, 2, 0, 1}, 5},
      {{3, 2, 1}, 3},
      {{4, 2, 1, 0, 1}, 2},
      {{5, 2, 1, 0, 1}, 3},
      {{6, 2, 1, 0}, 1},
      {{7, 2, 1, 0, 0}, -1},
      {{8, 2, 1, 0, 0}, 0},
      {{9, 2, 1, 0}, 2},
      {{0, 3, 5, 0, 4, 6, 10, 2, 3, 4}, 11},
      {{0, 3, 5, 0, 4, 6, 11, 2, 3, 4}, -1},
      {{0, 3, 5, 12, 2, 3, -3}, -15},
      {{0, 3, -7, 13, 2, 3, 2}, -3},
      {{0, 3, 7, 14, 2, 3, 2}, 4},
      {{0, 3, -7, 14, 2, 3, 2}, -3},
      {{0, 3, 9, 21, 2, 0, 3}, 9},
  };
  for (const row &r : rows) {
    /* R2 == value: R4 = R2 - R3 <= 0 and R4 = R3 - R2 <= 0 */
    std::vector<int32_t> code = r.code;
    for (int32_t word : {0, 3, r.value, 11, 4, 2, 3, 17, 5, 4, 11, 4, 3, 2, 17, 5, 4}) code.push_back(word);
    EXPECT_EQ(run_rule(api, b, code, 5, {2, 3}), box) << "op " << r.code[r.code.size() > 3 ? 6 : 0];
    code[code.size() - 15] = r.value + 1;
    EXPECT_TRUE(run_rule(api, b, code, 5, {2, 3}).empty()) << "op " << r.code[0];
  }
  /* a sum that would wrap fails the branch */
  EXPECT_TRUE(run_rule(api, b, {0, 3, 0x7fffffff, 10, 2, 3, 3, 17, 4, 0}, 4, {2, 3}).empty());
  /* 15: p inside the registers' box, clipped to the origin domain; 16/17 on the sign; 18 */
  std::vector<int32_t> p15 = {0, 2, -1, 0, 3, 3, 15, 4, 2, 3, 2, 3};
  EXPECT_EQ(run_rule(api, b, p15, 4, {2, 2}), (std::vector<int>{1, 0, 3, 3}));
  EXPECT_TRUE(run_rule(api, b, p15, 4, {0, 4}).empty());
  EXPECT_EQ(run_rule(api, b, {0, 2, -1, 16, 3, 2}, 3, {2, 2}), box);
  EXPECT_TRUE(run_rule(api, b, {0, 2, 0, 16, 3, 2}, 3, {2, 2}).empty());
  EXPECT_EQ(run_rule(api, b, {0, 2, 0, 17, 3, 2}, 3, {2, 2}), box);
  std::vector<int32_t> p18 = p15;
  for (int32_t word : {0, 2, 2, 0, 3, 5, 15, 5, 2, 3, 2, 3, 18, 4, 4, 5}) p18.push_back(word);
  EXPECT_EQ(run_rule(api, b, p18, 4, {2, 2}), (std::vector<int>{2, 2, 3, 3}));
  /* 19 L; first branch; 20 J; L: second branch; J: 21 joins */
  for (int first_fails : {1, 0}) {
    std::vector<int32_t> alt = {19, 10, 0, 2, first_fails ? 0 : -1, 16, 3, 2, 20, 16,
                                0, 2, -1, 16, 4, 2, 21, 5, 3, 4};
    int slot = -1;
    EXPECT_EQ(run_rule(api, b, alt, 5, {2, 2}, &slot), box);
    EXPECT_EQ(slot, b->fr.top_of_stack) << "the second branch reuses the counter of the push";
  }
  /* the first branch's region 4 is made before it fails: the second starts over at the push */
  std::vector<int32_t> alt2 = {19, 13, 0, 2, -1, 16, 3, 2, 17, 4, 1, 20, 19, 0, 2, -1, 16, 4, 2, 21, 5, 3, 4};
  int slot = -1;
  EXPECT_EQ(run_rule(api, b, alt2, 5, {2, 2}, &slot), box);
  EXPECT_EQ(slot, b->fr.top_of_stack);
  /* through point_in_some_fr: the object's procedures in order */
  std::vector<int32_t> no = {0, 2, 0, 16, 3, 2}, yes = {0, 2, -1, 16, 3, 2};
  geost_proc second{nullptr, 0, 3, 6, 2, 6, 0, yes.data(), nullptr};
  geost_proc first{&second, 0, 3, 6, 2, 6, 0, no.data(), nullptr};
  b->object.proc[0] = &first;
  b->fr.end_relative = b->fr.end_absolute = b->fr.end_bb;
  int region = -1, p[2] = {2, 2};
  EXPECT_EQ(point_in_some_fr(api, b, w, 0, 0, 0, p, &region), 1);
  EXPECT_EQ(tb.region(region), box);
  b->object.proc[0] = nullptr;
}

/* Bad procedures are rejected when checked; every mutant of valid procedures that passes the
 * check runs without a fault (ASan, UBSan watch), answering 0 or 1. */
TEST_F(FdGeost, RuleProcedureCheckAndMutants)
{
  test_block tb(api, 2, rule_objs, rule_boxes);
  geost_data *b = tb.b;
  b->fr.top_of_stack = b->fr.end_bb;
  struct bad {
    std::vector<int32_t> code;
    int nreg, dest;
  } bads[] = {
      {{0, 6, 1}, 6, 0},              /* register out of range */
      {{1, 2, 2, 0}, 6, 0},           /* object out of range */
      {{1, 2, 0, 2}, 6, 0},           /* dimension out of range */
      {{4, 2, 1, 2, 0}, 6, 0},        /* sbox number out of range */
      {{13, 2, 3, 0}, 6, 0},          /* zero divisor */
      {{14, 2, 3, 0}, 6, 0},
      {{22, 0, 0}, 6, 0},             /* unknown opcode */
      {{0, 2}, 6, 0},                 /* operands beyond the code */
      {{19, 1, 0, 2, 1}, 6, 0},       /* a jump into an instruction */
      {{20, 0}, 6, 0},                /* 20 must name a join */
      {{21, 2, 2, 2, 20, 0}, 6, 0},   /* jumps lie ahead */
      {{0, 2, 1, 19, 0}, 6, 0},
      {{0, 2, 1}, 1, 0},              /* too few registers */
      {{0, 2, 1}, 6, 6},              /* dest out of range */
  };
  for (const bad &r : bads) {
    std::vector<int32_t> code = r.code;
    geost_proc proc{nullptr, 0, r.dest, r.nreg, 2, (int32_t)code.size(), 0, code.data(), nullptr};
    EXPECT_FALSE(geost_proc_valid(b, &proc)) << code[0];
  }
  std::vector<std::vector<int32_t>> valid = {
      {0, 2, -1, 0, 3, 3, 15, 4, 2, 3, 2, 3, 0, 2, 2, 0, 3, 5, 15, 5, 2, 3, 2, 3, 18, 4, 4, 5},
      {19, 10, 0, 2, 0, 16, 3, 2, 20, 16, 0, 2, -1, 16, 4, 2, 21, 5, 3, 4},
      {4, 2, 1, 1, 1, 7, 3, 1, 0, 0, 13, 4, 2, 3, 14, 2, 4, -2, 12, 2, 2, -7, 17, 5, 2}};
  const int dests[] = {4, 5, 5};
  for (size_t i = 0; i < valid.size(); i++) {
    geost_proc proc{nullptr, 0, dests[i], 6, 2, (int32_t)valid[i].size(), 0, valid[i].data(), nullptr};
    EXPECT_TRUE(geost_proc_valid(b, &proc));
  }
  rng g{67};
  const int32_t words[] = {-3, -1, 0, 1, 2, 3, 4, 5, 6, 10, 13, 19, 20, 21, 22, 100, INT32_MAX, INT32_MIN};
  int accepted = 0, rejected = 0, answered = 0, runs = 3000; /* cheap: no heap work */
  for (int n = 0; n < runs; n++) {
    std::vector<int32_t> code = valid[(size_t)n % valid.size()];
    for (int m = 1 + g.below(2); m > 0; m--) code[(size_t)g.below((int)code.size())] = words[g.below(18)];
    int ncode = (int)code.size() - (g.below(5) == 0 ? g.below(3) : 0);
    bool shape = g.below(6) == 0; /* sometimes the counts, not the code */
    geost_proc proc{nullptr, 0, shape ? g.below(7) : dests[(size_t)n % valid.size()], shape ? 2 + g.below(5) : 6,
                    shape ? g.below(3) : 2, ncode, 0, code.data(), nullptr};
    if (!geost_proc_valid(b, &proc)) {
      rejected++;
      continue;
    }
    accepted++;
    int region = -1, p[2] = {g.below(6), g.below(6)};
    int r = geost_run_proc(api, b, 0, g.below(2), p, &proc, &region);
    ASSERT_TRUE(r == 0 || r == 1);
    if (r) {
      answered++;
      EXPECT_GE(region, b->fr.top_of_stack);
      EXPECT_LT(region, b->nregions);
    }
  }
  EXPECT_GT(accepted, 100);
  EXPECT_GT(rejected, 100);
  EXPECT_GT(answered, 20);
}

namespace {

std::set<int> values_of(const dvar *d)
{
  std::set<int> v;
  for (int x = -20; x <= 40; x++)
    if (dvar_contains_value_t(d, MakeSmall(x))) v.insert(x);
  return v;
}

std::set<int> values_of_set(TAGGED set)
{
  std::set<int> v;
  for (; IsLst(set); set = fds_next(set))
    for (int x = std::max(fds_lo(set), -20); x <= std::min(fds_hi(set), 40); x++) v.insert(x);
  return v;
}

}  // namespace

/* The six task operations on an sbox (translation t, size L) of an object projected on one
 * dimension: each changes the origin domain as brute force over its values says, shifts by t,
 * marks the object, and keeps or updates the task's window. */
TEST_F(FdGeost, TaskOperationsMoveTheOriginDomain)
{
  rng g{71};
  for (int n = 0; n < 300; n++) {
    int t = g.below(4) - 1, L = 1 + g.below(3), lo = g.below(6), hi = lo + 1 + g.below(8), dim = g.below(2);
    std::vector<object_spec> objs = {{0, 0, {{0, 0}, {0, 0}}}};
    objs[0].origin[dim] = {lo, hi};
    std::vector<sbox_spec> boxes = {{0, {0, 0}, {1, 1}}, {0, {0, 0}, {1, 1}}};
    boxes[1].t[dim] = t;
    boxes[1].l[dim] = L;
    test_block tb(api, 2, objs, boxes);
    geost_data *b = tb.b;
    b->curdim = dim;
    fd_state(api)->gdata = b;
    dvar *X = &b->dvar[1 + dim];
    int gap = lo + 1 + g.below(hi - lo);
    if (gap < hi && g.below(2)) {
      ASSERT_GE(dvar_prune_interval_t(api, X, MakeSmall(gap), MakeSmall(gap), w), 0);
    }
    std::set<int> dom = values_of(X), expect;
    task tk{};
    tk.id = 0;
    tk.part = 1;
    tk.dur = L;
    tk.est = t + lo;
    tk.lct = tk.lctmax = t + L + hi;
    b->object.flags[0] = 0;
    int op = n % 5, a = g.below(12) - 2, c = a + g.below(4), result = -1;
    task before = tk;
    switch (op) {
    case 0: /* propagate: the window narrowed */
      tk.est = t + a;
      tk.lctmax = tk.est + L + g.below(8);
      for (int x : dom)
        if (x >= tk.est - t && x <= tk.lctmax - t - L) expect.insert(x);
      result = geost_propagate_method(api, &tk);
      break;
    case 1: /* prune_interval */
      for (int x : dom)
        if (x < a - t || x > c - t) expect.insert(x);
      result = geost_prune_interval_method(api, &tk, a, c, w);
      if (result == 1) {
        EXPECT_EQ(tk.est, before.est) << "the record keeps its window";
      }
      break;
    case 2: { /* prune_set */
      TAGGED cells[4];
      for (int x : dom)
        if (x < a || x > c) expect.insert(x);
      /* the set is of start values: a + t .. c + t */
      result = geost_prune_set_method(api, &tk, fds_stack_interval(cells, MakeSmall(a + t), MakeSmall(c + t)), w);
      break;
    }
    case 3: { /* set: the start values */
      std::set<int> starts;
      for (int x : dom) starts.insert(x + t);
      EXPECT_EQ(values_of_set(geost_set_method(api, &tk, w)), starts);
      expect = dom;
      break;
    }
    case 4: /* is_interval */
      EXPECT_EQ(geost_is_interval_method(api, &tk), (int)(dom.size() == (size_t)(hi - lo + 1)));
      tk.lctmax = tk.est + tk.dur;
      EXPECT_EQ(geost_is_interval_method(api, &tk), 1);
      expect = dom;
      break;
    }
    if (op <= 2) {
      int want = expect.empty() ? 2 : expect == dom ? 0 : 1;
      ASSERT_EQ(result, want) << "op " << op;
      if (want == 2) continue;
      EXPECT_EQ(b->object.flags[0], want ? 3 : 0);
      bool moved = want && (*expect.begin() != *dom.begin() || *expect.rbegin() != *dom.rbegin());
      if (op == 0 && want) {
        EXPECT_EQ(tk.est, t + *expect.begin());
      }
      if (op == 2 && moved && *expect.begin() != *dom.begin()) {
        EXPECT_EQ(tk.lct, t + L + *expect.rbegin());
      }
    }
    EXPECT_EQ(values_of(X), expect) << "op " << op;
  }
  fd_state(api)->gdata = nullptr;
}

/* Longest-hole lookups: one row, one row per slack (all), no table, height 0, option off. */
TEST_F(FdGeost, LongestHoleLookups)
{
  std::vector<object_spec> objs = {{0, 0, {{0, 0}}}};
  std::vector<sbox_spec> boxes = {{0, {0}, {1}}};
  test_block tb(api, 1, objs, boxes);
  geost_data *b = tb.b;
  fd_state(api)->gdata = b;
  int32_t open[6] = {10, 11, 12, 20, 21, 22}, closed[6] = {30, 31, 32, 40, 41, 42}, mx[6] = {5, 6, 7, 8, 9, 10};
  b->maxeps[0] = 3;
  b->slack = b->lh_slack = 1;
  EXPECT_EQ(get_longest_hole(api, b, 0, 0, 1, 0), 0x3fffffff) << "no table";
  b->lh_tables[0] = open;
  b->lch_tables[0] = closed;
  b->lh_tables_max[0] = mx;
  struct row {
    int opt, sigma, eps, closed;
    int32_t lh, lhmax;
  } rows[] = {
      {GEOST_LONGEST_HOLE, 0, 2, 0, 11, 6},     {GEOST_LONGEST_HOLE, 1, 2, 1, 31, 6},
      {GEOST_LONGEST_HOLE, 0, 0, 0, 0x3fffffff, 0x3fffffff},
      {GEOST_LONGEST_HOLE_ALL, 1, 3, 0, 22, 10}, {GEOST_LONGEST_HOLE_ALL, 1, 1, 1, 40, 8},
      {GEOST_LONGEST_HOLE_ALL, 0, 3, 1, 32, 7},
  };
  for (const row &r : rows) {
    b->opt = r.opt;
    EXPECT_EQ(get_longest_hole(api, b, 0, r.sigma, r.eps, r.closed), r.lh);
    EXPECT_EQ(get_longest_hole_max(api, b, 0, r.sigma, r.eps), r.lhmax);
    EXPECT_EQ(geost_lh_method(api, r.sigma, r.eps, r.closed), r.lh);
  }
  b->opt = 0;
  EXPECT_EQ(geost_lh_method(api, 0, 2, 0), 0x3fffffff);
  EXPECT_EQ(geost_lh_dummy(api, 0, 2, 0), 0x3fffffff);
  b->lh_tables[0] = b->lch_tables[0] = b->lh_tables_max[0] = nullptr;
  fd_state(api)->gdata = nullptr;
}

/* The knapsack memo: a stored support is found again whatever bits 0-7 of its words hold, and
 * not under other slacks or other high bytes; all-zero slacks and high bytes (key 0, the
 * empty-node mark of the engine's tables) store and hit too; dispose frees every record. */
TEST_F(FdGeost, KnapsackMemo)
{
  test_block tb(api);
  geost_data *b = tb.b;
  fd_state(api)->gdata = b;
  rng g{73};
  struct stored {
    std::vector<int32_t> support;
    int32_t l, r, s;
    int dim;
  };
  std::vector<stored> all;
  size_t in_use = qx_space_in_use(QX_SPACE_SOLVER);
  for (int i = 0; i < 200; i++) {
    int n = g.below(4);
    stored st{{}, g.below(3), g.below(3), g.below(3), g.below(2)};
    if (i % 4 == 0) st.l = st.r = st.s = 0;
    for (int j = 0; j < n; j++) st.support.push_back(i % 4 == 0 ? g.below(256) : g.below(1024));
    b->curdim = st.dim;
    EXPECT_EQ(geost_dp_hash_method(api, GEOST_DP_STORE, st.support.data(), n, st.l, st.r, st.s), 0);
    all.push_back(st);
  }
  EXPECT_EQ(geost_dp_key(nullptr, 0, 0, 0, 0) != 0, true);
  for (const stored &st : all) {
    b->curdim = st.dim;
    std::vector<int32_t> q = st.support;
    for (int32_t &v : q) v = (v & ~0xff) | g.below(256);
    ASSERT_EQ(geost_dp_hash_method(api, GEOST_DP_LOOKUP, q.data(), (int)q.size(), st.l, st.r, st.s), 1);
    /* the entries of some record with the same high bytes come back */
    for (size_t j = 0; j < q.size(); j++) EXPECT_EQ(q[j] >> 8, st.support[j] >> 8);
    std::vector<int32_t> other = st.support;
    EXPECT_EQ(geost_dp_hash_method(api, GEOST_DP_LOOKUP, other.data(), (int)other.size(), st.l + 7, st.r, st.s), 0);
    if (!other.empty()) {
      other[0] += 0x100 * 50;
      EXPECT_EQ(geost_dp_hash_method(api, GEOST_DP_LOOKUP, other.data(), (int)other.size(), st.l, st.r, st.s), 0);
    }
  }
  EXPECT_GT(qx_space_in_use(QX_SPACE_SOLVER), in_use);
  dispose_dp_hash(api, b);
  EXPECT_EQ(qx_space_in_use(QX_SPACE_SOLVER), in_use) << "every record freed";
  EXPECT_EQ(b->dp_hash[0], nullptr);
  EXPECT_EQ(b->dp_hash[1], nullptr);
  std::vector<int32_t> none;
  EXPECT_EQ(geost_dp_hash_method(api, GEOST_DP_LOOKUP, none.data(), 0, 0, 0, 0), 0);
  fd_state(api)->gdata = nullptr;
}

/* get_minloss is the least slack whose hole is long enough (a linear scan), sigma + 1 when none;
 * pl_loss and pl_reduce_holes2a on table rows. */
TEST_F(FdGeost, MinlossAndPalletHelpers)
{
  test_block tb(api);
  geost_data *b = tb.b;
  rng g{79};
  std::vector<int32_t> table(6 * 3);
  b->opt = GEOST_LONGEST_HOLE_ALL;
  b->maxeps[1] = 3;
  b->slack = b->lh_slack = 5;
  b->lh_tables[1] = b->lch_tables[1] = table.data();
  for (int n = 0; n < 200; n++) {
    for (int eps = 0; eps < 3; eps++) /* holes grow with the slack */
      for (int s = 0, v = g.below(3); s < 6; s++) table[s * 3 + eps] = v += g.below(3);
    int len = g.below(12), low = g.below(4), up = low + g.below(3), eps = 1 + g.below(3);
    int64_t expect = 6;
    if (table[up * 3 + eps - 1] >= len) {
      expect = low;
      while (expect < up && table[expect * 3 + eps - 1] < len) expect++;
    }
    EXPECT_EQ(get_minloss(api, b, len, low, up, eps, 5, 1, 1), expect);
  }
  b->lh_tables[1] = b->lch_tables[1] = nullptr;
  const int islin[] = {1, 0, 0, 1, 0, 1};
  const int losses[] = {0, 1, 2, 0, 1, 0};
  for (int x = 0; x < 6; x++) EXPECT_EQ(pl_loss(x, islin), losses[x]);
  /* islin over p = 2 columns: pairs kept when their x repeats the last kept x or islin[2y+q] */
  int holes[] = {0, 0, 0, 1, 1, 1, 2, 2, 2, 0};
  const int lin[] = {1, 0, 0, 0, 0, 1};
  EXPECT_EQ(pl_reduce_holes2a(5, 2, 0, holes, lin), 3);
  EXPECT_EQ(std::vector<int>(holes, holes + 6), (std::vector<int>{0, 0, 0, 1, 2, 0}));
  EXPECT_EQ(pl_reduce_holes2a(0, 2, 0, holes, lin), 0);
}

namespace {

/* Whether the items fit apart inside their windows (backtracking over start points). */
bool items_fit(int k, int n, const std::vector<int32_t> &sz, const std::vector<int32_t> &ea,
               const std::vector<int32_t> &la, std::vector<std::vector<int>> &at, int i)
{
  if (i == n) return true;
  std::vector<int> lo(k), hi(k);
  for (int j = 0; j < k; j++) {
    lo[j] = ea[j * n + i];
    hi[j] = la[j * n + i] - sz[j * n + i] + 1;
    if (lo[j] > hi[j]) return false;
  }
  bool found = false;
  each_point(lo, hi, [&](const std::vector<int> &x) {
    if (found) return;
    for (int o = 0; o < i; o++) {
      bool meet = true;
      for (int j = 0; j < k && meet; j++) meet = overlap_1d(x[j], sz[j * n + i], at[o][j], at[o][j] + sz[j * n + o] - 1) > 0;
      if (meet) return;
    }
    at[i] = x;
    found = items_fit(k, n, sz, ea, la, at, i + 1);
  });
  return found;
}

}  // namespace

/* parallel_conflict never reports a conflict for items that can be placed (brute force, up to 5
 * items, k = 2 and 3, with and without the heavy check), and finds some conflicts. */
TEST_F(FdGeost, ParallelConflictIsSound)
{
  rng g{83};
  int conflicts = 0, infeasible = 0;
  EXPECT_EQ(parallel_conflict(api, w, 2, 0, 1, nullptr, nullptr, nullptr, 0, nullptr), 0);
  int runs = fd_gc_stress ? 300 : 1500;
  for (int r = 0; r < runs; r++) {
    int k = 2 + r % 2, n = 1 + g.below(5), span = 3 + g.below(4);
    std::vector<int32_t> sz(k * n), ea(k * n), la(k * n);
    for (int i = 0; i < n; i++)
      for (int j = 0; j < k; j++) {
        sz[j * n + i] = 1 + g.below(3);
        ea[j * n + i] = g.below(2);
        la[j * n + i] = std::max(ea[j * n + i] + sz[j * n + i] - 1, span - g.below(2));
      }
    std::vector<std::vector<int>> at(n);
    bool fit = items_fit(k, n, sz, ea, la, at, 0);
    infeasible += !fit;
    for (int heavy : {0, 1}) {
      int c = parallel_conflict(api, w, k, n, heavy, sz.data(), ea.data(), la.data(), n, nullptr);
      if (fit) {
        ASSERT_EQ(c, 0) << "run " << r << " heavy " << heavy;
      }
      conflicts += c != 0;
    }
  }
  EXPECT_GT(conflicts, 10);
  EXPECT_GT(infeasible, 10);
}

/* init_avoid_holes_border never removes the origin an object has in an exact packing of
 * bounding box 1 (both borders), and removes something in some runs. */
TEST_F(FdGeost, BorderPruningKeepsPackedOrigins)
{
  rng g{89};
  int pruned = 0, runs = 400;
  for (int n = 0; n < runs; n++) {
    int wd = 2 + g.below(5), h = 2 + g.below(5);
    packing pk = make_packing(g, wd, h);
    int m = (int)pk.objs.size();
    for (int o = 0; o < m; o++) /* wider domains: more flush positions */
      for (int d = 0; d < 2; d++) pk.objs[o].origin[d].first = pk.at[o][d] - g.below(4);
    test_block tb(api, 2, pk.objs, pk.boxes);
    geost_data *b = tb.b;
    all_shape_volumes(api, b);
    tb.put(1, {0, 0, wd - 1, h - 1});
    for (int leftp : {1, 0}) {
      int mask = init_avoid_holes_border(api, b, w, leftp);
      ASSERT_GE(mask, 0) << "run " << n;
      pruned += mask > 0;
      for (int o = 0; o < m; o++)
        for (int d = 0; d < 2; d++)
          EXPECT_TRUE(dvar_contains_value_t(&b->dvar[3 * o + 1 + d], MakeSmall(pk.at[o][d])))
              << "run " << n << " object " << o << " leftp " << leftp;
    }
  }
  EXPECT_GT(pruned, 10);
  /* a thin box flush at the low border with only a thinner neighbour after it loses that
   * position; with a neighbour of its own cross-section it keeps it */
  for (int thick : {1, 2}) {
    std::vector<sbox_spec> boxes = {{0, {0, 0}, {1, 2}}, {1, {0, 0}, {2, thick}}};
    std::vector<object_spec> objs = {{0, 0, {{0, 4}, {0, 0}}}, {1, 1, {{0, 4}, {0, 1}}}};
    test_block tb(api, 2, objs, boxes);
    all_shape_volumes(api, tb.b);
    tb.put(1, {0, 0, 5, 1});
    EXPECT_EQ(init_avoid_holes_border(api, tb.b, w, 1) > 0, thick == 1);
    EXPECT_EQ(dvar_contains_value_t(&tb.b->dvar[1], MakeSmall(0)), thick == 2);
  }
}

/* The volume balance with parconflict: two objects whose compulsory parts fill a bounding box
 * by volume but cannot lie apart in it make the whole origin box of the filtered object go;
 * without the option the volumes alone allow it. */
TEST_F(FdGeost, VolumeBalanceParallelConflict)
{
  std::vector<sbox_spec> boxes = {{0, {0, 0}, {2, 2}}, {1, {0, 0}, {1, 1}}};
  std::vector<object_spec> objs = {{0, 0, {{0, 1}, {0, 0}}}, {0, 0, {{1, 1}, {0, 0}}}, {1, 1, {{3, 4}, {0, 0}}}};
  for (int par : {0, 1}) {
    test_block tb(api, 2, objs, boxes);
    tb.b->opt = GEOST_TASK_INTERVALS | (par ? GEOST_PARCONFLICT : 0);
    tb.put(4, {0, 0, 3, 1});
    tb.b->fr.end_bb = tb.b->fr.end_relative = 5;
    std::vector<std::vector<int>> got;
    collected = &got;
    int region = 5;
    EXPECT_EQ(absolute_fr(api, tb.b, w, 2, 1, &region, collect), par);
    EXPECT_EQ(!got.empty() && got.back() == std::vector<int>({3, 0, 4, 0}), par == 1);
  }
}

/* The gap test: in an exact packing the gap between the low border and an sbox is filled by
 * the others, so the object's packed origin is never removed (longest holes off, both forms of
 * the gap); with no other sbox short enough, the value goes exactly when surf exceeds the slack. */
TEST_F(FdGeost, GapPruningKeepsPackedOrigins)
{
  rng g{97};
  int tried = 0;
  for (int n = 0; n < 300; n++) {
    int wd = 2 + g.below(5), h = 2 + g.below(5);
    packing pk = make_packing(g, wd, h);
    int m = (int)pk.objs.size();
    for (auto &o : pk.objs) o.shape_hi = o.shape_lo;
    test_block tb(api, 2, pk.objs, pk.boxes);
    geost_data *b = tb.b;
    for (int o = 0; o < m; o++) b->byarea[o] = o;
    tb.put(1, {0, 0, wd - 1, h - 1});
    for (int o = 0; o < m; o++)
      for (int d = 0; d < 2; d++) {
        int s = geost_first_sbox(b, pk.sid[o]);
        int e = pk.at[o][d] + b->shape.translation[s * 2 + d];
        if (e < 1) continue;
        tried++;
        int val = pk.at[o][d], surf = e * b->shape.size[s * 2 + (d ^ 1)];
        int first = n % 2 ? 0 : 1, last = n % 2 ? e - 1 : 0;
        ASSERT_GE(compute_max_surf_in_gap_before_task(api, b, w, first, last, d, o, s, e, val, val, surf), 0);
        EXPECT_TRUE(dvar_contains_value_t(&b->dvar[3 * o + 1 + d], MakeSmall(val))) << "run " << n;
      }
  }
  EXPECT_GT(tried, 100);
  std::vector<sbox_spec> boxes = {{0, {0, 0}, {1, 3}}, {1, {0, 0}, {4, 1}}};
  std::vector<object_spec> objs = {{0, 0, {{2, 4}, {0, 0}}}, {1, 1, {{0, 0}, {3, 3}}}};
  for (int slack : {2, 3}) {
    test_block tb(api, 2, objs, boxes);
    tb.b->slack = slack;
    tb.b->byarea[0] = 0, tb.b->byarea[1] = 1;
    tb.put(1, {0, 0, 5, 3});
    int mask = compute_max_surf_in_gap_before_task(api, tb.b, w, 0, 1, 0, 0, 0, 2, 2, 2, 3);
    EXPECT_EQ(mask > 0, slack < 3);
  }
}

/* The comparators order as their tables say (against std::tuple order). */
TEST_F(FdGeost, Comparators)
{
  rng g{101};
  test_block tb(api);
  for (int n = 0; n < 300; n++) {
    geost_value_index a{g.below(3), g.below(3)}, b{g.below(3), g.below(3)};
    EXPECT_EQ(sign(cmp_value_index(&a, &b)), sign((a.value > b.value) - (a.value < b.value)));
    geost_lpair p{g.below(3), g.below(3)}, q{g.below(3), g.below(3)};
    auto tp = std::make_tuple(p.x, p.y), tq = std::make_tuple(q.x, q.y);
    EXPECT_EQ(sign(cmp_asc_pair(&p, &q)), (tp > tq) - (tp < tq));
    geost_event e{g.below(2), g.below(2), g.below(2)}, f{g.below(2), g.below(2), g.below(2)};
    auto te = std::make_tuple(e.key, e.object, e.sbox), tf = std::make_tuple(f.key, f.object, f.sbox);
    EXPECT_EQ(sign(cmp_geost_event(&e, &f)), (te > tf) - (te < tf));
    std::vector<int> r(4), s(4);
    for (int i = 0; i < 4; i++) r[i] = g.below(2), s[i] = g.below(2);
    tb.put(4, r);
    tb.put(5, s);
    auto tr = std::make_tuple(-r[0], r[2], -r[1], r[3]), ts = std::make_tuple(-s[0], s[2], -s[1], s[3]);
    int x = 4, y = 5;
    EXPECT_EQ(sign(cmp_region(tb.b, &x, &y)), (tr > ts) - (tr < ts));
  }
}

/* Extreme coordinates and sizes: the region, overlap and volume arithmetic runs without a wrap
 * (UBSan aborts on one) and keeps its answers in range. */
TEST_F(FdGeost, ExtremeCoordinatesDoNotWrap)
{
  const int big = 0x0fffffff;
  std::vector<sbox_spec> boxes = {{0, {-big, big}, {big, big}}, {0, {big, -big}, {0x7fffffff, 1}},
                                  {1, {0, 0}, {big, big}}};
  std::vector<object_spec> objs = {{0, 0, {{-big, big}, {-big, big}}}, {1, 1, {{big, big}, {-big, -big}}},
                                   {0, 1, {{-big, -big + 2}, {big - 2, big}}}};
  test_block tb(api, 2, objs, boxes);
  geost_data *b = tb.b;
  for (int d = 0; d < 2; d++) {
    dvar_init_temp(&b->lower_dvar[d], MakeSmall(-big), MakeSmall(-big));
    dvar_init_temp(&b->upper_dvar[d], MakeSmall(big), MakeSmall(big));
  }
  shape_volume(api, b, 0);
  shape_volume(api, b, 2);
  EXPECT_EQ(b->overflow, 1);
  EXPECT_LT(b->shape.svolume[0], 0x7ffffffb);
  EXPECT_GE(b->shape.svolume[0], 0);
  for (int o = 0; o < 3; o++) b->object.oid[o] = o;
  b->opt = GEOST_TASK_INTERVALS | GEOST_PARCONFLICT | GEOST_LEX | GEOST_PALLET_LOADING;
  b->object.lex_prev[0] = 1;
  for (int d = 0; d < 2; d++) b->object.low[d] = -big, b->object.up[d] = big;
  tb.put(4, {-0x7fffffff, -0x7fffffff, 0x7fffffff, 0x7fffffff});
  tb.put(5, {-big, -big, big, big});
  b->fr.end_bb = 6;
  bb_init(b, 1);
  for (int o = 0; o < 3; o++) bb_add_object(api, b, 1, o);
  all_relative_fr(api, b, 0);
  int holes[] = {big, -big};
  b->pl.holes = holes;
  b->pl.nholes = b->pl.pslack = 1;
  std::vector<std::vector<int>> got;
  collected = &got;
  for (int o = 0; o < 3; o++)
    for (int sid : {0, 1}) {
      int region = b->fr.end_relative;
      int r = absolute_fr(api, b, w, o, sid, &region, collect);
      EXPECT_TRUE(r == 0 || r == 1);
      EXPECT_GE(intersection_volume(api, b, 4, o, sid), 0);
      EXPECT_GE(min_intersection_volume(api, b, 5, o), 0);
      int p[2] = {-big, big};
      EXPECT_TRUE(point_in_some_fr(api, b, w, o, sid, 0, p, &region) <= 1);
    }
  int s1[2] = {0x7fffffff, 0x7fffffff}, s2[2] = {0x7fffffff, 1};
  EXPECT_GE(min_intersection(b, 4, 5, s1, s2, 0), 0);
  EXPECT_GE(max_intersection(b, 4, 5, s1, s2, 1), 0);
  int32_t sz[4] = {0x7fffffff, 0x7fffffff, 0x7fffffff, 0x7fffffff};
  int32_t ea[4] = {-0x7fffffff, -0x7fffffff, -0x7fffffff, -0x7fffffff};
  int32_t la[4] = {0x7fffffff, 0x7fffffff, 0x7fffffff, 0x7fffffff};
  EXPECT_LE(parallel_conflict(api, w, 2, 2, 1, sz, ea, la, 2, nullptr), 1);
}
