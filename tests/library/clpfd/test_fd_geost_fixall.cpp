/* geost/4's fixall placement against a brute-force first fit, the redundant disjunctive and
 * cumulative checks against exact packings, and the pallet colouring and pallet tests against a
 * brute-force pallet packer, on hand-filled blocks. */
#include <algorithm>
#include <functional>
#include <set>

#include "fd_geost_test.h"
#include "fd_kernel_env.h"
#include "fd_sched.h"

using namespace geost_test;

class FdGeostFixall : public FdKernelTest {
protected:
  /* The fixall order (groups of k+1 entries) and its memory, hung into the block. */
  std::vector<int> order, memo;
  std::vector<task> tasks;
  void set_order(geost_data *b, const std::vector<int> &o)
  {
    order = o;
    memo.assign(o.size(), 77);
    b->fixorder = order.data();
    b->memo = memo.data();
    b->norder = (int)o.size();
  }
  /* Corners lo..hi in every dimension, witnesses at the bounds, bounding box 1 over the objects,
   * the shapes' volumes. */
  void prepare(geost_data *b, int lo, int hi)
  {
    int k = b->kdims;
    for (int j = 0; j < b->nsboxes_posted; j++)
      if (j == 0 || b->shape.sid[j] != b->shape.sid[j - 1]) shape_volume(api, b, j);
    for (int d = 0; d < k; d++) {
      dvar_init_temp(&b->lower_dvar[d], MakeSmall(lo), MakeSmall(lo));
      dvar_init_temp(&b->upper_dvar[d], MakeSmall(hi), MakeSmall(hi));
    }
    for (int o = 0; o < b->nobjects; o++) {
      b->object.oid[o] = o;
      for (int d = 0; d < k; d++)
        for (int j = 0; j < k; j++) {
          b->object.minwit[(o * k + d) * k + j] = fds_val(b->dvar[(k + 1) * o + 1 + j].min);
          b->object.maxwit[(o * k + d) * k + j] = fds_val(b->dvar[(k + 1) * o + 1 + j].max);
        }
    }
    bb_init(b, 1);
    for (int o = 0; o < b->nobjects; o++) bb_add_object(api, b, 1, o);
    tasks.assign((size_t)(b->nobjects * std::max(b->max_nsboxes, 1)), task{});
    b->task = tasks.data();
  }
};

namespace {

int lo(const geost_data *b, int o, int j) { return fds_val(b->dvar[(b->kdims + 1) * o + j].min); }

/* Whether two placed shapes share a cell. */
bool meet(const std::vector<sbox_spec> &boxes, int s1, const std::vector<int> &x1, int s2, const std::vector<int> &x2)
{
  for (const auto &p : boxes)
    for (const auto &q : boxes) {
      if (p.sid != s1 || q.sid != s2) continue;
      bool in = true;
      for (size_t d = 0; d < x1.size() && in; d++)
        in = x1[d] + p.t[d] < x2[d] + q.t[d] + q.l[d] && x2[d] + q.t[d] < x1[d] + p.t[d] + p.l[d];
      if (in) return true;
    }
  return false;
}

}  // namespace

/* fixall places each object, in target order with its group (taken cyclically), on the first
 * point of the group's order that keeps it inside the corners and off the ground objects and
 * those placed before it: a brute-force first fit agrees, so no two objects overlap. Copies of
 * objects make equal neighbours, which reuse regions and resume from the memory. */
TEST_F(FdGeostFixall, FixallIsTheFirstFitOfItsOrder)
{
  rng g{101};
  int runs = fd_gc_stress ? 60 : 400, failed = 0;
  for (int n = 0; n < runs; n++) {
    int k = 1 + n % 3;
    auto &&[boxes, objs, tb, b] = random_block(api, g, k, [&](std::vector<object_spec> &objs) {
      for (auto &o : objs)
        for (auto &r : o.origin) r.second += 3;
      for (int c = g.below(4); c > 0; c--) objs.insert(objs.begin() + g.below((int)objs.size()), objs[g.below((int)objs.size())]);
      int m = (int)objs.size();
      if (g.below(3) == 0) { /* a ground obstacle, active or retired */
        objs[m - 1].shape_hi = objs[m - 1].shape_lo;
        for (auto &r : objs[m - 1].origin) r.second = r.first;
      }
    });
    int m = (int)objs.size();
    if (object_is_ground(b, m - 1) && g.below(2)) b->ntargets = m - 1;
    std::vector<int> ord;
    for (int gr = 1 + g.below(2); gr > 0; gr--) { /* often a rotation of the dimensions */
      int r0 = g.below(k), sign = g.below(2) ? 1 : -1, flip = g.below(2 * k);
      std::vector<int> dims(k);
      for (int j = 0; j < k; j++) dims[j] = (r0 + j) % k;
      if (k > 1 && g.below(2)) std::swap(dims[0], dims[1 + g.below(k - 1)]);
      ord.push_back(g.below(2) ? 1 : -1);
      for (int j = 0; j < k; j++) ord.push_back((j == flip ? -sign : sign) * (dims[j] + 2));
    }
    set_order(b, ord);
    b->opt = n % 5 == 0 ? GEOST_LEX : 0;
    prepare(b, -1, 10);
    /* the oracle: ground objects are obstacles from the start */
    int ng = (int)ord.size() / (k + 1);
    std::vector<int> sid(m, -1);
    std::vector<std::vector<int>> at(m);
    for (int o = 0; o < m; o++)
      if (object_is_ground(b, o))
        for (int j = 0; j <= k; j++) j ? at[o].push_back(lo(b, o, j)) : (void)(sid[o] = lo(b, o, 0));
    bool expect = true;
    for (int i = 0; i < b->ntargets && expect; i++) {
      const int *e = &ord[(i % ng) * (k + 1)];
      int s = e[0] < 0 ? objs[i].shape_lo : objs[i].shape_hi;
      std::vector<int> l, h;
      for (auto r : objs[i].origin) l.push_back(r.first), h.push_back(r.second);
      std::vector<std::vector<int>> pts;
      each_point(l, h, [&](const std::vector<int> &x) {
        for (const auto &p : boxes)
          for (int d = 0; d < k; d++)
            if (p.sid == s && (x[d] + p.t[d] < -1 || x[d] + p.t[d] + p.l[d] > 10)) return;
        for (int o = 0; o < m; o++)
          if (o != i && sid[o] >= 0 && meet(boxes, s, x, sid[o], at[o])) return;
        pts.push_back(x);
      });
      auto first = std::min_element(pts.begin(), pts.end(), [&](const auto &x, const auto &y) {
        for (int j = 1; j <= k; j++)
          if (int d = std::abs(e[j]) - 2; x[d] != y[d]) return e[j] < 0 ? x[d] < y[d] : x[d] > y[d];
        return false;
      });
      expect = first != pts.end();
      if (expect) sid[i] = s, at[i] = *first;
    }
    ASSERT_EQ(fixall_geost(api, b, w), (int)expect) << "run " << n;
    failed += !expect;
    for (int i = 0; i < b->ntargets && expect; i++)
      for (int j = 0; j <= k; j++) ASSERT_EQ(lo(b, i, j), j ? at[i][j - 1] : sid[i]) << "run " << n << " object " << i;
    if (b->opt & GEOST_LEX) {
      EXPECT_EQ(memo, std::vector<int>(ord.size(), 77)) << "the memory stays off with lex";
    }
  }
  EXPECT_GT(failed, 5);
  EXPECT_LT(failed, runs / 2);
}

/* Regions are built once for a run of identical objects (counted by the hook), and the regions a
 * placed object leaves for its twin keep every sbox of the twin off every sbox of it: an L shape
 * whose long box would otherwise slide under the other's short box. The memory stays off with
 * lex, pallet loading or rules. */
TEST_F(FdGeostFixall, IdenticalObjectsReuseRegionsAndTheMemory)
{
  std::vector<sbox_spec> ell = {{0, {0, 0}, {2, 1}}, {0, {0, 1}, {1, 1}}, {1, {0, 0}, {1, 1}}};
  struct row {
    std::vector<object_spec> objs;
    std::vector<int> order;
    int opt;
    long regenerations;
    std::vector<std::vector<int>> at;
    bool memory;
  } rows[] = {
      {{{1, 1, {{0, 5}, {0, 0}}}, {1, 1, {{0, 5}, {0, 0}}}, {1, 1, {{0, 5}, {0, 0}}}}, {-1, -2, -3}, 0, 1,
       {{0, 0}, {1, 0}, {2, 0}}, true},
      {{{1, 1, {{0, 5}, {0, 0}}}, {1, 1, {{0, 4}, {0, 0}}}, {1, 1, {{0, 5}, {0, 0}}}}, {-1, -2, -3}, 0, 3,
       {{0, 0}, {1, 0}, {2, 0}}, true},
      {{{0, 0, {{-1, 3}, {0, 3}}}, {0, 0, {{-1, 3}, {0, 3}}}}, {-1, -2, -3}, 0, 1, {{-1, 0}, {-1, 2}}, true},
      {{{1, 1, {{0, 5}, {0, 0}}}, {1, 1, {{0, 5}, {0, 0}}}}, {1, 2, -3}, 0, 1, {{5, 0}, {4, 0}}, true},
      {{{1, 1, {{0, 5}, {0, 0}}}, {1, 1, {{0, 5}, {0, 0}}}}, {-1, -2, -3}, GEOST_PALLET_LOADING, 1, {{0, 0}, {1, 0}}, false},
      {{{1, 1, {{0, 5}, {0, 0}}}, {1, 1, {{0, 5}, {0, 0}}}}, {-1, -2, -3}, GEOST_RULES, 1, {{0, 0}, {1, 0}}, false},
  };
  for (const row &r : rows) {
    test_block tb(api, 2, r.objs, ell);
    set_order(tb.b, r.order);
    tb.b->opt = r.opt;
    prepare(tb.b, -1000, 1000);
    long before = fd_geost_fixall_regenerations;
    ASSERT_EQ(fixall_geost(api, tb.b, w), 1);
    EXPECT_EQ(fd_geost_fixall_regenerations - before, r.regenerations);
    for (size_t o = 0; o < r.at.size(); o++)
      EXPECT_EQ((std::vector<int>{lo(tb.b, (int)o, 1), lo(tb.b, (int)o, 2)}), r.at[o]) << "object " << o;
    EXPECT_EQ(memo[0] != 77, r.memory);
  }
}

/* The redundant checks never remove the origin of an exact packing of the box, nor of a packing
 * with one object left out (slack), with the disjunctive, cumulative and knapsack options. */
TEST_F(FdGeostFixall, RedundantChecksKeepPackedOrigins)
{
  rng g{103};
  int runs = fd_gc_stress ? 40 : 250, pruned = 0;
  for (int n = 0; n < runs; n++) {
    int wd = 3 + g.below(4), ht = 3 + g.below(4);
    packing pk = make_packing(g, wd, ht);
    if (n % 3 == 0 && pk.objs.size() > 2) { /* near-exact: one object less */
      pk.objs.pop_back();
      pk.at.pop_back();
    }
    test_block tb(api, 2, pk.objs, pk.boxes);
    geost_data *b = tb.b;
    prepare(b, 0, 0);
    dvar_init_temp(&b->upper_dvar[0], MakeSmall(wd), MakeSmall(wd));
    dvar_init_temp(&b->upper_dvar[1], MakeSmall(ht), MakeSmall(ht));
    bb_init(b, 1);
    for (int o = 0; o < b->nobjects; o++) bb_add_object(api, b, 1, o);
    b->opt = GEOST_CUMULATIVE | GEOST_DISJUNCTIVE | (n % 2 ? GEOST_DYNAMIC_PROGRAMMING : 0);
    for (int r = 1, round = 0; r == 1 && round < 4; round++) {
      r = check_cumulative(api, b, w);
      ASSERT_LT(r, 2) << "run " << n;
      pruned += r;
      for (int o = 0; o < b->nobjects; o++)
        for (int d = 0; d < 2; d++)
          ASSERT_TRUE(dvar_contains_value_t(&b->dvar[3 * o + 1 + d], MakeSmall(pk.at[o][d]))) << "run " << n;
    }
    dispose_dp_hash(api, b);
  }
  EXPECT_GT(pruned, runs / 10);
}

/* Edge rows: a single box is not checked (its window would shrink under the corner); boxes whose
 * compulsory parts in y overlap form a group and cannot both fit along x, while parts that only
 * touch are not grouped. */
TEST_F(FdGeostFixall, RedundantCheckGroups)
{
  std::vector<sbox_spec> boxes = {{0, {0, 0}, {2, 2}}};
  struct row {
    std::vector<object_spec> objs;
    int opt, result;
  } rows[] = {
      {{{0, 0, {{0, 10}, {0, 0}}}}, GEOST_CUMULATIVE | GEOST_DISJUNCTIVE, 0},
      {{{0, 0, {{0, 1}, {0, 0}}}, {0, 0, {{0, 1}, {1, 1}}}}, GEOST_DISJUNCTIVE, 2},
      {{{0, 0, {{0, 1}, {0, 0}}}, {0, 0, {{0, 1}, {2, 2}}}}, GEOST_DISJUNCTIVE, 0},
  };
  for (const row &r : rows) {
    test_block tb(api, 2, r.objs, boxes);
    prepare(tb.b, 0, 5);
    tb.b->opt = r.opt;
    EXPECT_EQ(check_cumulative(api, tb.b, w) & 2, r.result);
    if (r.result == 0) {
      EXPECT_EQ(fds_val(tb.b->dvar[1].max), r.objs[0].origin[0].second);
    }
  }
}

namespace {

/* The lengths up to len that items a and c fill end to end. */
std::vector<int> lin(int a, int c, int len)
{
  std::vector<int> v(len + 1, 0);
  v[0] = 1;
  for (int i = 1; i <= len; i++) v[i] = (i >= a && v[i - a]) || (i >= c && v[i - c]);
  return v;
}

/* Brute force: calls f with the holes (cells i*y + j) of packings of n items a x c, either way
 * round, into the x by y pallet until f answers false; whether some packing was found. */
bool each_packing(int x, int y, int a, int c, int n, const std::function<bool(const std::vector<int> &)> &f)
{
  int slack = x * y - n * a * c;
  if (slack < 0) return false;
  std::vector<char> used(x * y, 0);
  std::vector<int> holes;
  int items = 0;
  bool found = false;
  std::function<bool(int)> go = [&](int cell) {
    while (cell < x * y && used[cell]) cell++;
    if (cell == x * y) {
      if ((int)holes.size() != slack) return true;
      found = true;
      return f(holes);
    }
    int i = cell / y, j = cell % y;
    for (int turn = 0; turn < (a == c ? 1 : 2) && items < n; turn++) {
      int wi = turn ? c : a, hj = turn ? a : c;
      bool free = i + wi <= x && j + hj <= y;
      for (int p = 0; p < wi && free; p++)
        for (int q = 0; q < hj && free; q++) free = !used[(i + p) * y + j + q];
      if (!free) continue;
      auto mark = [&](char v) {
        for (int p = 0; p < wi; p++)
          for (int q = 0; q < hj; q++) used[(i + p) * y + j + q] = v;
      };
      mark(1);
      items++;
      bool more = go(cell + 1);
      items--;
      mark(0);
      if (!more) return false;
    }
    if ((int)holes.size() == slack) return true;
    holes.push_back(cell);
    used[cell] = 1;
    bool more = go(cell + 1);
    used[cell] = 0;
    holes.pop_back();
    return more;
  };
  go(0);
  return found;
}

}  // namespace

/* pl_color claims impossible only for pallets the brute force cannot pack, and the hole cells it
 * records (in the block's dimension order, whichever way round the extents came) hold the holes
 * of every packing; above 0xfffff cells it makes no claim. */
TEST_F(FdGeostFixall, ColouringKeepsEveryPackingsHoles)
{
  test_block tb(api);
  geost_data *b = tb.b;
  int claims = 0, top = fd_gc_stress ? 5 : 6;
  for (int x = 2; x <= top; x++)
    for (int y = 2; y <= top; y++)
      for (int a = 2; a <= 4; a++)
        for (int c = 1; c <= a; c++)
          for (int n = 1; n * a * c < x * y; n++) {
            std::vector<int> islin = lin(a, c, std::max(x, y));
            b->pl.holes = nullptr;
            b->pl.nholes = 0;
            bool turned = (x + y + n) % 2; /* the block's box lies the other way round */
            b->pl.bbend[0] = (turned ? y : x) - 1;
            b->pl.bbend[1] = (turned ? x : y) - 1;
            int r = pl_color(api, n, x, y, a, c, islin.data(), b);
            std::set<int> kept;
            for (int h = 0; h < b->pl.nholes; h++) {
              int i = b->pl.holes[2 * h + turned], j = b->pl.holes[2 * h + !turned];
              kept.insert(i * y + j);
            }
            int seen = 0;
            bool packable = each_packing(x, y, a, c, n, [&](const std::vector<int> &holes) {
              for (int h : holes)
                EXPECT_TRUE(!b->pl.holes || kept.count(h)) << x << "x" << y << " " << a << "x" << c << " n " << n;
              return ++seen < 20;
            });
            EXPECT_FALSE(r && packable) << x << "x" << y << " " << a << "x" << c << " n " << n;
            claims += r;
            if (b->pl.holes) QX_free(b->pl.holes);
          }
  EXPECT_GT(claims, 10);
  /* odd squares of 2 x 2 leave one cell, which colouring would place */
  b->pl.holes = nullptr;
  std::vector<int> islin = lin(2, 2, 1025);
  EXPECT_EQ(pl_color(api, (1025 * 1025 - 1) / 4, 1025, 1025, 2, 2, islin.data(), b), 0);
  EXPECT_EQ(b->pl.holes, nullptr);
  b->pl.holes = nullptr;
}

namespace {

/* A block of cnt pallet items a x c (shape 0, turned: shape 1) free in the x by y pallet. */
struct pallet {
  std::vector<int> islin;
  test_block tb;
  pallet(ORVALIS_API_STRUCT *api, int cnt, int x, int y, int a, int c, std::vector<object_spec> objs = {})
      : islin(lin(a, c, std::max(x, y))),
        tb(api, 2, objs.empty() ? std::vector<object_spec>(cnt, {0, 1, {{0, x - 1}, {0, y - 1}}}) : objs,
           {{0, {0, 0}, {a, c}}, {1, {0, 0}, {c, a}}})
  {
    tb.b->opt = GEOST_PALLET_LOADING;
    tb.b->pl.islin = islin.data();
    tb.put(1, {0, 0, x - 1, y - 1});
  }
};

}  // namespace

/* The known largest loadings pass the entry's pallet tests; one item more fails them only when
 * the brute force cannot pack it either. */
TEST_F(FdGeostFixall, PalletKnownAnswers)
{
  struct row {
    int a, c, n, x, y;
  } rows[] = {{3, 2, 8, 7, 7},  {3, 2, 10, 8, 8},  {3, 2, 11, 10, 7}, {3, 2, 14, 11, 8},
              {4, 2, 8, 9, 9}, {4, 3, 8, 10, 10}, {5, 3, 9, 13, 11}};
  int refuted = 0;
  for (const row &r : rows)
    for (int cnt = r.n; cnt <= r.n + 1; cnt++) {
      pallet p(api, cnt, r.x, r.y, r.a, r.c);
      int ok = pl_entry_tests(api, p.tb.b, w);
      bool packable = cnt == r.n || (!ok && each_packing(r.x, r.y, r.a, r.c, cnt, [](const auto &) { return false; }));
      EXPECT_TRUE(ok || !packable) << cnt << " of " << r.a << "x" << r.c << " in " << r.x << "x" << r.y;
      refuted += !ok;
    }
  EXPECT_GE(refuted, 6);
}

/* A ground item covers the known holes under it (they move behind the others), and the tests
 * fail when fewer holes than the slack remain; ground items that overlap fail (their columns
 * would rise above the box). */
TEST_F(FdGeostFixall, GroundPalletItems)
{
  struct row {
    int cnt, pslack, ok;
  } rows[] = {{1, 1, 1}, {1, 2, 0}, {2, -1, 0}};
  for (const row &r : rows) {
    pallet p(api, r.cnt, 3, 3, 3, 2, std::vector<object_spec>(r.cnt, {0, 0, {{0, 0}, {0, 0}}}));
    std::vector<int> holes = {0, 0, 2, 2, 1, 1};
    p.tb.b->pl.holes = holes.data();
    p.tb.b->pl.nholes = r.cnt == 1 ? 3 : 0;
    p.tb.b->pl.pslack = r.pslack;
    EXPECT_EQ(pl_entry_tests(api, p.tb.b, w), r.ok);
    if (r.cnt == 1) {
      EXPECT_EQ(p.tb.b->pl.nholes, 1);
      EXPECT_EQ(holes[0] * 10 + holes[1], 22);
    }
    p.tb.b->pl.holes = nullptr;
  }
}
