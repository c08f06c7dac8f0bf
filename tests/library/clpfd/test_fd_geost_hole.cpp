/* geost/4's hole test of the sweep on hand-filled blocks: the face geometry on table rows,
 * visavis_fill against enumeration of its overlaps, and point_makes_hole never rejecting the
 * origin an object has in an exact or nearly exact packing, each reasoning alone and all
 * together, over every border case of the corner test. */
#include <array>
#include <map>
#include <memory>
#include <vector>

#include "driver/fd_circuit.h"
#include "fd.h"
#include "fd_geost.h"
#include "fd_kernel_env.h"
#include "fd_sched.h"
#include "fd_sets.h"
#include "fd_geost_test.h"

using namespace geost_test;

class FdGeostHole : public FdKernelTest {};

namespace {

/* Bounding box 1 is 0..9 x 0..5; r0 is the box under test, r1 the box it faces (none: the
 * border on face d, side). */
struct face_row {
  std::vector<int> r0, r1;
  int ret, d, side;
  std::vector<int> gap;
  int size, vol;
};

}  // namespace

/* The gap to the border on each face, flush and overhanging boxes included; the box between two
 * boxes that one dimension separates, touching ones included, and the answer 0 when none or two
 * dimensions separate them; the length an sbox can cover inside a region, active or placed. */
TEST_F(FdGeostHole, FaceGeometryRows)
{
  test_block tb(api, 2, {{0, 0, {{2, 5}, {0, 0}}}}, {{0, {1, 0}, {2, 1}}});
  geost_data *b = tb.b;
  tb.put(1, {0, 0, 9, 5});
  const face_row rows[] = {
      {{2, 1, 4, 3}, {}, 1, 0, 0, {0, 1, 1, 3}, 2, 6},
      {{2, 1, 4, 3}, {}, 1, 0, 1, {5, 1, 9, 3}, 5, 15},
      {{2, 1, 4, 3}, {}, 1, 1, 0, {2, 0, 4, 0}, 1, 3},
      {{2, 1, 4, 3}, {}, 1, 1, 1, {2, 4, 4, 5}, 2, 6},
      {{0, 0, 1, 5}, {}, 1, 0, 0, {0, 0, -1, 5}, 0, 0},
      {{-2, 0, 1, 5}, {}, 1, 0, 0, {0, 0, -3, 5}, -2, 0},
      {{0, 0, 9, 5}, {}, 1, 1, 1, {0, 6, 9, 5}, 0, 0},
      {{0, 0, 1, 1}, {4, 1, 5, 3}, 1, 0, 1, {2, 1, 3, 1}, 2, 2},
      {{4, 1, 5, 3}, {0, 0, 1, 1}, 1, 0, 0, {2, 1, 3, 1}, 2, 2},
      {{0, 0, 1, 1}, {2, 0, 3, 1}, 1, 0, 1, {2, 0, 1, 1}, 0, 0},
      {{0, 0, 3, 1}, {1, 4, 2, 6}, 1, 1, 1, {1, 2, 2, 3}, 2, 4},
      {{1, 4, 2, 6}, {0, 0, 3, 1}, 1, 1, 0, {1, 2, 2, 3}, 2, 4},
      {{0, 0, 1, 1}, {3, 3, 4, 4}, 0, 0, -1, {}, 0, 0},
      {{0, 0, 2, 2}, {1, 1, 3, 3}, 0, -1, -1, {}, 0, 0},
  };
  for (const face_row &r : rows) {
    tb.put(4, r.r0);
    int d = r.d, side = r.side, size = -9, vol = -9;
    if (r.r1.empty()) {
      EXPECT_EQ(vis_a_vis_border(b, 4, 6, r.d, r.side, &size, &vol), 1);
    } else {
      tb.put(5, r.r1);
      ASSERT_EQ(vis_a_vis(b, 4, 5, 6, &d, &side, &size, &vol), r.ret);
      EXPECT_EQ(d, r.d);
      if (!r.ret) continue;
    }
    EXPECT_EQ(side, r.side);
    EXPECT_EQ(tb.region(6), r.gap) << r.r0[0] << "," << r.r0[1] << " face " << d << "," << side;
    EXPECT_EQ(size, r.size);
    EXPECT_EQ(vol, r.vol);
  }
  /* sbox t 1, L 2 over origins 2..5 without 4; is_target, region, bounding box 1 in d 0, length */
  ASSERT_GT(dvar_prune_interval_t(api, &b->dvar[1], MakeSmall(4), MakeSmall(4), w), 0);
  const std::array<int, 6> inside[] = {
      {1, 3, 6, 0, 9, 2}, {1, 3, 4, 0, 9, 2}, {1, 3, 3, 0, 9, 0}, {1, 8, 9, 0, 9, 0},
      {1, 5, 6, 0, 9, 0}, {1, 6, 7, 0, 9, 2}, {0, 3, 6, 0, 9, 2}, {0, 4, 6, 0, 9, 0},
      {0, 4, 6, 4, 9, 1}, {0, 0, 9, 5, 9, 0},
  };
  for (const auto &r : inside) {
    tb.put(4, {r[1], 0, r[2], 0});
    tb.put(1, {r[3], 0, r[4], 5});
    EXPECT_EQ(sbox_max_intersection_inside(api, b, w, r[0], 0, 0, 4, 0), r[5])
        << r[0] << " " << r[1] << ".." << r[2];
  }
}

/* visavis_fill: count, least and largest overlaps against its definition, each overlap bound
 * found by enumerating the placements (the hull for the least, the domain with its holes for the
 * largest); for objects whose sboxes overlap each other the least overlap is that of the best
 * sbox alone and no sbox needs to fit the gap along d. */
TEST_F(FdGeostHole, VisavisFillAgainstEnumeration)
{
  rng g{211};
  int counted = 0, overlapping = 0;
  for (int n = 0; n < 400; n++) {
    auto &&[boxes, objs, tb, b] = random_block(api, g, 2, [&](std::vector<object_spec> &objs) {
      for (auto &o : objs)
        if (g.below(4)) o.shape_hi = o.shape_lo;
    });
    int m = (int)objs.size();
    std::vector<int> hole(m, -100); /* a value taken out of the domain in dimension 0 */
    for (int o = 0; o < m; o++) {
      b->object.oid[o] = o;
      if (objs[o].origin[0].second - objs[o].origin[0].first < 2) continue;
      hole[o] = objs[o].origin[0].first + 1;
      ASSERT_GT(dvar_prune_interval_t(api, &b->dvar[3 * o + 1], MakeSmall(hole[o]),
                                      MakeSmall(hole[o]), w),
                0);
    }
    b->ntargets = 1 + g.below(m);
    std::vector<int> gap = {g.below(5), g.below(5), 0, 0};
    gap[2] = gap[0] + g.below(5), gap[3] = gap[1] + g.below(5);
    tb.put(4, gap);
    int ext[2] = {gap[2] - gap[0] + 1, gap[3] - gap[1] + 1};
    int d = g.below(2), curobj = g.below(m), cursbox = g.below((int)boxes.size()), all = g.below(2);
    int64_t vol = (int64_t)ext[0] * ext[1] - g.below(3), mn, mx, emin = 0, emax = 0, rest = vol;
    int got = visavis_fill(api, b, 4, ext, d, curobj, cursbox, all, &mn, &mx, vol), ecount = 0;
    for (int pos = 0; pos < (all ? m : b->ntargets); pos++) {
      int o = b->target[pos];
      if (objs[o].shape_lo != objs[o].shape_hi) continue;
      std::vector<int> mine;
      for (int j = 0; j < (int)boxes.size(); j++)
        if (boxes[j].sid == objs[o].shape_lo) mine.push_back(j);
      auto meet = [&](const sbox_spec &x, const sbox_spec &y, int j) {
        return overlap_1d(x.t[j], x.l[j], y.t[j], y.t[j] + y.l[j] - 1) > 0;
      };
      bool apart = true;
      for (int i : mine)
        for (int j : mine)
          apart = apart && (i >= j || !meet(boxes[i], boxes[j], 0) || !meet(boxes[i], boxes[j], 1));
      overlapping += !apart;
      int64_t own = 0;
      for (int s : mine) {
        const sbox_spec &x = boxes[s];
        if ((o == curobj && s == cursbox) || (apart && x.l[d] > ext[d])) continue;
        int64_t pmin = 1, pmax = 1;
        bool skip = false;
        for (int j = 0; j < 2; j++) {
          int64_t mi = INT64_MAX, ma = 0;
          for (int v = objs[o].origin[j].first; v <= objs[o].origin[j].second; v++) {
            int64_t ov = overlap_1d(v + x.t[j], x.l[j], gap[j], gap[2 + j]);
            mi = std::min(mi, ov);
            if (j != 0 || v != hole[o]) ma = std::max(ma, ov);
          }
          if (j == d && apart) mi = mi > 0 ? x.l[d] : 0, skip = skip || ma < x.l[d];
          skip = skip || ma == 0;
          pmin *= mi, pmax *= ma;
        }
        if (skip) continue;
        ecount++;
        apart ? emin += pmin : own = std::max(own, pmin);
        if (rest > 0) rest -= pmax, emax += pmax;
      }
      emin += own;
    }
    EXPECT_EQ(got, ecount) << "run " << n;
    EXPECT_EQ(mn, emin) << "run " << n;
    EXPECT_EQ(mx, emax) << "run " << n;
    counted += ecount;
  }
  EXPECT_GT(counted, 200);
  EXPECT_GT(overlapping, 10);
}

namespace {

/* The border cases the corner test met on packed origins. */
int corner_seen[16];
void count_corner(int c) { corner_seen[c]++; }

/* An instance of the hole test: objects (shapes fixed), sboxes, the packed origins and shapes
 * in a wd x h box left free by slack cells; pallet items a x b (0 otherwise). */
struct hole_instance {
  std::vector<object_spec> objs;
  std::vector<sbox_spec> boxes;
  std::vector<std::vector<int>> at;
  std::vector<int> sid;
  int wd = 0, h = 0, slack = 0, a = 0, b = 0;
};

/* An exact packing of a box, or with slack s > 0 the same less one object of area s. */
hole_instance packed_instance(rng &g, int s)
{
  for (;;) {
    hole_instance in;
    in.wd = 2 + g.below(5), in.h = 2 + g.below(5), in.slack = s;
    packing pk = make_packing(g, in.wd, in.h);
    in.objs = pk.objs, in.boxes = pk.boxes, in.at = pk.at, in.sid = pk.sid;
    for (auto &o : in.objs) o.shape_hi = o.shape_lo;
    if (s == 0) return in;
    for (size_t o = 0; o < in.objs.size(); o++) {
      int area = 0;
      for (const auto &x : in.boxes)
        if (x.sid == in.sid[o]) area += x.l[0] * x.l[1];
      if (area != s || in.objs.size() < 3) continue;
      in.objs.erase(in.objs.begin() + o), in.at.erase(in.at.begin() + o),
          in.sid.erase(in.sid.begin() + o);
      return in;
    }
  }
}

/* Pallet loading: columns of a x b items standing (width a) or lying (width b), each column
 * a*b high, the whole sometimes transposed; sometimes one item left out. */
hole_instance pallet_instance(rng &g)
{
  hole_instance in;
  in.a = 1 + g.below(2), in.b = in.a + 1 + g.below(2);
  in.boxes = {{0, {0, 0}, {in.a, in.b}}, {1, {0, 0}, {in.b, in.a}}};
  in.h = in.a * in.b;
  for (int c = 2 + g.below(3); c > 0; c--) {
    bool standing = g.below(2);
    int width = standing ? in.a : in.b, step = standing ? in.b : in.a;
    for (int y = 0; y < in.h; y += step) {
      in.at.push_back({in.wd, y});
      in.sid.push_back(standing ? 0 : 1);
    }
    in.wd += width;
  }
  if (g.below(2)) {
    std::swap(in.wd, in.h);
    for (size_t o = 0; o < in.at.size(); o++) std::swap(in.at[o][0], in.at[o][1]), in.sid[o] ^= 1;
  }
  if (g.below(2)) {
    size_t o = (size_t)g.below((int)in.at.size());
    in.at.erase(in.at.begin() + o), in.sid.erase(in.sid.begin() + o);
    in.slack = in.a * in.b;
  }
  for (size_t o = 0; o < in.at.size(); o++)
    in.objs.push_back({in.sid[o],
                       in.sid[o],
                       {{in.at[o][0] - g.below(2), in.at[o][0] + g.below(2)},
                        {in.at[o][1] - g.below(2), in.at[o][1] + g.below(2)}}});
  return in;
}

/* The block of an instance, the last objects placed (fixed at their packed origins), with the
 * longest-hole tables over every sbox at the instance's slack and the pallet's line table. */
struct hole_block {
  hole_instance in;
  std::unique_ptr<test_block> tb;
  std::vector<int32_t> open[2], closed[2];
  std::vector<int> islin;
  hole_block(ORVALIS_API_STRUCT *api, worker *w, rng &g, hole_instance i) : in(std::move(i))
  {
    int m = (int)in.objs.size(), placed = g.below(m);
    for (int o = m - placed; o < m; o++)
      in.objs[o].origin = {{in.at[o][0], in.at[o][0]}, {in.at[o][1], in.at[o][1]}};
    tb = std::make_unique<test_block>(api, 2, in.objs, in.boxes);
    geost_data *b = tb->b;
    b->ntargets = m - placed;
    for (int o = 0; o < m; o++) b->object.oid[o] = o;
    tb->put(1, {0, 0, in.wd - 1, in.h - 1});
    b->fr.end_relative = b->fr.end_absolute = b->fr.top_of_stack = b->fr.end_bb;
    b->slack = b->exact_slack = in.slack;
    int E[2] = {in.wd, in.h};
    for (int d = 0; d < 2; d++) {
      std::vector<lhs> items;
      for (int o = 0; o < m; o++)
        for (const auto &x : in.boxes)
          if (x.sid == in.sid[o]) items.push_back({x.l[d], x.l[d ^ 1], 0});
      b->maxeps[d] = E[d ^ 1];
      open[d].assign(E[d ^ 1], 0), closed[d].assign(E[d ^ 1], 0);
      w->numstack_end = nullptr;
      fd_lh_init(api, w, in.slack, 0, 1, E[d], E[d ^ 1], (int)items.size(), items.data(),
                 open[d].data(), closed[d].data(), 100, 2);
      b->lh_tables[d] = open[d].data(), b->lch_tables[d] = closed[d].data();
    }
    if (in.a) {
      islin.assign(std::max(in.wd, in.h) + 1, 0);
      for (int x = 0; x < (int)islin.size(); x++)
        for (int i = 0; i * in.a <= x && !islin[x]; i++) islin[x] = (x - i * in.a) % in.b == 0;
      b->pl.islin = islin.data();
      b->pl.bbend[0] = in.wd - 1, b->pl.bbend[1] = in.h - 1;
    }
  }
  /* The answer of the sweep's point test (stored regions none) at p under option word opt; a
   * rejection must name the single point p. */
  int query(ORVALIS_API_STRUCT *api, worker *w, int opt, int o, const std::vector<int> &p,
            bool virt = false)
  {
    geost_data *b = tb->b;
    b->opt = opt;
    int region = -1, m = b->nobjects, as = o;
    if (virt) { /* the virtual object as a copy of o, the way polymorphic objects are swept */
      for (int d = 0; d <= 2; d++) b->dvar[3 * m + d] = b->dvar[3 * o + d];
      b->object.oid[m] = b->object.oid[o];
      as = m;
    }
    int r = point_in_some_fr(api, b, w, as, in.sid[o], 0, p.data(), &region);
    if (r) {
      EXPECT_EQ(tb->region(region), std::vector<int>({p[0], p[1], p[0], p[1]}));
    }
    return r;
  }
};

}  // namespace

/* point_makes_hole through the sweep's point test never rejects a packed origin: exact packings
 * and packings with 1 or 2 free cells, pallet packings with one item left out or none, some
 * objects placed; the face gaps alone, with the longest holes, with the corners, with the pallet
 * loss, and all together; a virtual copy of the object gets the same answers. Every border case 0 to 14 of the corner test is met on packed origins,
 * and each reasoning rejects points that the face gaps alone keep. */
TEST_F(FdGeostHole, PackedOriginsAreNeverHoles)
{
  const int V = GEOST_VISAVIS, LH = GEOST_LONGEST_HOLE, C = GEOST_CORNERS, P = GEOST_PALLET_LOADING;
  const int packed_opts[] = {V, V | LH, V | C, V | LH | C}, pallet_opts[] = {V | P, V | P | LH | C};
  std::map<int, int> rejected, extra;
  rng g{223};
  std::fill(corner_seen, corner_seen + 16, 0);
  geost_corner_case_hook = count_corner;
  int runs = 240;
  for (int n = 0; n < runs; n++) {
    bool pallet = n % 4 == 3;
    hole_block hb(api, w, g, pallet ? pallet_instance(g) : packed_instance(g, n % 3));
    geost_data *b = hb.tb->b;
    for (int opt : pallet ? std::vector<int>(pallet_opts, pallet_opts + 2)
                          : std::vector<int>(packed_opts, packed_opts + 4))
      for (int o = 0; o < b->ntargets; o++) {
        ASSERT_EQ(hb.query(api, w, opt, o, hb.in.at[o]), 0)
            << "run " << n << " option " << std::hex << opt << std::dec << " object " << o;
        auto [xlo, xhi] = hb.in.objs[o].origin[0];
        auto [ylo, yhi] = hb.in.objs[o].origin[1];
        geost_corner_case_hook = nullptr;
        each_point({xlo, ylo}, {xhi, yhi}, [&](const std::vector<int> &p) {
          if (p == hb.in.at[o]) return;
          int r = hb.query(api, w, opt, o, p);
          EXPECT_EQ(hb.query(api, w, opt, o, p, true), r) << "the virtual copy, run " << n;
          rejected[opt] += r;
          extra[opt] += r && !hb.query(api, w, V, o, p);
        });
        geost_corner_case_hook = count_corner;
      }
  }
  geost_corner_case_hook = nullptr;
  for (int c = 0; c < 15; c++) EXPECT_GT(corner_seen[c], 0) << "border case " << c;
  EXPECT_GT(rejected[V], 20);
  EXPECT_GT(rejected[V | P], 5);
  EXPECT_GT(rejected[V | LH], 20);
  for (int opt : {V | C, V | P}) EXPECT_GT(extra[opt], 0) << std::hex << opt;
}

/* The longest holes on a 2-high strip, slack 0 (row: the table's hole at width 3, the bounding
 * box's end, whether A, a 1 x 2 box at 0, is there, the origin of the tested 1 x 2 box; then the
 * answer). Seven 1 x 2 fillers anywhere fill every face gap by volume, so only a hole of width 3
 * shorter than 2 rejects: between A and the box (first rows) or at the border (last rows). */
TEST_F(FdGeostHole, LongestHoleBetweenBoxesAndAtTheBorder)
{
  struct row {
    int hole3, end, with_a, x, rejected;
  } rows[] = {{1, 8, 1, 4, 1}, {2, 8, 1, 4, 0}, {1, 9, 1, 5, 0}, {1, 7, 0, 3, 1}, {2, 7, 0, 3, 0}};
  for (const row &r : rows) {
    std::vector<object_spec> objs = {{0, 0, {{0, r.end}, {0, 0}}}};
    if (r.with_a) objs.push_back({0, 0, {{0, 0}, {0, 0}}});
    for (int f = 0; f < 7 - !r.with_a; f++) objs.push_back({0, 0, {{0, r.end}, {0, 0}}});
    test_block tb(api, 2, objs, {{0, {0, 0}, {1, 2}}});
    geost_data *b = tb.b;
    for (int o = 0; o < (int)objs.size(); o++) b->object.oid[o] = o;
    tb.put(1, {0, 0, r.end, 1});
    b->fr.top_of_stack = b->fr.end_bb;
    std::vector<int32_t> table(2 * (r.end + 1), 0x3fffffff);
    table[r.end + 1 + 2] = r.hole3; /* dimension 1's table, width 3 */
    b->lh_tables[0] = b->lch_tables[0] = table.data();
    b->lh_tables[1] = b->lch_tables[1] = table.data() + r.end + 1;
    b->maxeps[0] = b->maxeps[1] = r.end + 1;
    int p[2] = {r.x, 0}, region;
    for (int opt : {GEOST_LONGEST_HOLE, 0}) {
      b->opt = opt;
      EXPECT_EQ(point_makes_hole(api, b, w, 0, p, &region), opt ? r.rejected : 0)
          << r.x << " " << opt;
    }
  }
}

/* Shapes whose sboxes overlap each other, on a 2 x 1 box packed by them (slack 0, every option):
 * two copies of one cell count once in the least overlap of the gap they fill, and a box's
 * sibling that covers it and the gap beside it fills that gap. Last, one box filling the box
 * alone: the corner test's case 15, no hole. */
TEST_F(FdGeostHole, OverlappingSboxesAndFullBoxKeepPackedOrigins)
{
  struct row {
    std::vector<object_spec> objs;
    std::vector<sbox_spec> boxes;
  } rows[] = {
      {{{0, 0, {{1, 1}, {0, 0}}}, {1, 1, {{0, 0}, {0, 0}}}},
       {{0, {0, 0}, {1, 1}}, {1, {0, 0}, {1, 1}}, {1, {0, 0}, {1, 1}}}},
      {{{0, 0, {{0, 0}, {0, 0}}}}, {{0, {0, 0}, {1, 1}}, {0, {0, 0}, {2, 1}}}},
      {{{0, 0, {{0, 0}, {0, 0}}}}, {{0, {0, 0}, {2, 1}}}},
  };
  std::fill(corner_seen, corner_seen + 16, 0);
  geost_corner_case_hook = count_corner;
  for (const row &r : rows) {
    test_block tb(api, 2, r.objs, r.boxes);
    geost_data *b = tb.b;
    for (int o = 0; o < (int)r.objs.size(); o++) b->object.oid[o] = o;
    tb.put(1, {0, 0, 1, 0});
    b->fr.top_of_stack = b->fr.end_bb;
    int p[2] = {r.objs[0].origin[0].first, 0}, region;
    b->opt = GEOST_CORNERS | GEOST_LONGEST_HOLE;
    EXPECT_EQ(point_makes_hole(api, b, w, 0, p, &region), 0);
  }
  geost_corner_case_hook = nullptr;
  EXPECT_EQ(corner_seen[15], 1);
}
