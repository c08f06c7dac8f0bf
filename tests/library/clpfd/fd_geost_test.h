/* Blocks of geost/4 filled by hand for the function-level tests, and the instance generators
 * they share: random objects and shapes, exact packings of a box. */
#ifndef QX_TEST_FD_GEOST_H
#define QX_TEST_FD_GEOST_H

#include <array>
#include <cstdlib>
#include <functional>
#include <map>
#include <vector>

#include "driver/fd_circuit.h"
#include "fd.h"
#include "fd_geost.h"
#include "fd_sets.h"

namespace geost_test {
namespace {

using rng = fd_circuit::rng;

struct sbox_spec {
  int sid;
  std::vector<int> t, l;
};
struct object_spec {
  int shape_lo, shape_hi;
  std::vector<std::pair<int, int>> origin; /* per dimension */
};

/* A block holding the objects and sboxes (sorted by sid), its region table made. */
struct test_block {
  geost_data *b = nullptr;
  ORVALIS_API_STRUCT *api;
  test_block(ORVALIS_API_STRUCT *a, int k, const std::vector<object_spec> &objs,
             const std::vector<sbox_spec> &boxes)
      : api(a)
  {
    int maxn = 0;
    std::map<int, int> per;
    for (const auto &s : boxes) maxn = std::max(maxn, ++per[s.sid]);
    geost_dims dm{k, (int)objs.size(), (int)boxes.size(), maxn, 0};
    size_t bytes = geost_block_bytes(dm);
    b = (geost_data *)std::calloc(1, bytes);
    geost_carve(b, dm);
    b->env = api;
    for (size_t j = 0; j < boxes.size(); j++) {
      b->shape.sid[j] = boxes[j].sid;
      for (int d = 0; d < k; d++) {
        b->shape.translation[j * k + d] = boxes[j].t[d];
        b->shape.size[j * k + d] = boxes[j].l[d];
      }
    }
    geost_index_shapes(api, b);
    for (size_t o = 0; o < objs.size(); o++) {
      b->object.oid[o] = (int)o + 1; /* identifiers tell objects apart, as the entry's are */
      dvar_init_temp(&b->dvar[(k + 1) * o], MakeSmall(objs[o].shape_lo), MakeSmall(objs[o].shape_hi));
      for (int d = 0; d < k; d++)
        dvar_init_temp(&b->dvar[(k + 1) * o + 1 + d], MakeSmall(objs[o].origin[d].first),
                       MakeSmall(objs[o].origin[d].second));
    }
    for (int d = 0; d < k; d++) {
      dvar_init_temp(&b->lower_dvar[d], MakeSmall(-1000), MakeSmall(-1000));
      dvar_init_temp(&b->upper_dvar[d], MakeSmall(1000), MakeSmall(1000));
      b->dvar_min[d] = -1000;
      b->dvar_max[d] = 1000;
    }
    geost_fr_alloc(api, b);
  }
  /* A 2-d block of one object: shape 0, a unit box, fixed at the origin. */
  explicit test_block(ORVALIS_API_STRUCT *a)
      : test_block(a, 2, {{0, 0, {{0, 0}, {0, 0}}}}, {{0, {0, 0}, {1, 1}}})
  {
  }
  ~test_block()
  {
    geost_fr_free(api, b);
    dispose_switch_on_key(b->shape_hash);
    std::free(b);
  }
  int k() const { return b->kdims; }
  std::vector<int> region(int r) const
  {
    std::vector<int> v;
    for (int d = 0; d < k(); d++) v.push_back(b->fr.origin[r * k() + d]);
    for (int d = 0; d < k(); d++) v.push_back(b->fr.end[r * k() + d]);
    return v;
  }
  void put(int r, const std::vector<int> &v)
  {
    for (int d = 0; d < k(); d++) {
      b->fr.origin[r * k() + d] = v[d];
      b->fr.end[r * k() + d] = v[k() + d];
    }
  }
};

/* The overlap of [a, a+la-1] with [c, e]. */
[[maybe_unused]] int64_t overlap_1d(int64_t a, int64_t la, int64_t c, int64_t e)
{
  return std::max<int64_t>(0, std::min(a + la - 1, e) - std::max(a, c) + 1);
}

[[maybe_unused]] int sign(int64_t r) { return (r > 0) - (r < 0); }

/* The regions relative_fr and absolute_fr hand to their continuation. */
std::vector<std::vector<int>> *collected;
[[maybe_unused]] int collect(ORVALIS_API_STRUCT *, geost_data *b, int *region)
{
  std::vector<int> v;
  for (int d = 0; d < b->kdims; d++) v.push_back(b->fr.origin[*region * b->kdims + d]);
  for (int d = 0; d < b->kdims; d++) v.push_back(b->fr.end[*region * b->kdims + d]);
  collected->push_back(v);
  return 0;
}

/* Calls f on every point of the box lo..hi (inclusive). */
template <typename F>
void each_point(const std::vector<int> &lo, const std::vector<int> &hi, F f)
{
  std::vector<int> x = lo;
  for (;;) {
    f(x);
    size_t d = 0;
    for (; d < x.size() && ++x[d] > hi[d]; d++) x[d] = lo[d];
    if (d == x.size()) return;
  }
}

/* Whether the object, in shape sid at origin x, covers the cell c. */
[[maybe_unused]] bool covers(const std::vector<sbox_spec> &boxes, int sid, const std::vector<int> &x,
            const std::vector<int> &c)
{
  for (const auto &s : boxes) {
    if (s.sid != sid) continue;
    bool in = true;
    for (size_t d = 0; d < x.size() && in; d++)
      in = x[d] + s.t[d] <= c[d] && c[d] < x[d] + s.t[d] + s.l[d];
    if (in) return true;
  }
  return false;
}

/* A random instance: k dimensions, 1..3 objects, shapes 0..2 of 1..3 boxes each. */
[[maybe_unused]] void random_instance(rng &g, int k, std::vector<object_spec> *objs, std::vector<sbox_spec> *boxes)
{
  int nshapes = 1 + g.below(3);
  for (int sid = 0; sid < nshapes; sid++)
    for (int j = 1 + g.below(3); j > 0; j--) {
      sbox_spec s{sid, {}, {}};
      for (int d = 0; d < k; d++) {
        s.t.push_back(g.below(4) - 1);
        s.l.push_back(1 + g.below(4));
      }
      boxes->push_back(s);
    }
  for (int o = 1 + g.below(3); o > 0; o--) {
    object_spec os;
    os.shape_lo = g.below(nshapes);
    os.shape_hi = std::min(nshapes - 1, os.shape_lo + g.below(3));
    for (int d = 0; d < k; d++) {
      int lo = g.below(4);
      os.origin.push_back({lo, lo + g.below(3)});
    }
    objs->push_back(os);
  }
}

/* Every shape's volumes, computed at its first sbox. */
[[maybe_unused]] void all_shape_volumes(ORVALIS_API_STRUCT *api, geost_data *b)
{
  for (int j = 0; j < b->nsboxes_posted; j++)
    if (j == 0 || b->shape.sid[j] != b->shape.sid[j - 1]) shape_volume(api, b, j);
}

/* A random instance, edited by tweak (if given) before its block is made. Members are bound by
 * name at the use: auto &&[boxes, objs, tb, b] = random_block(...). */
struct random_block {
  std::vector<sbox_spec> boxes;
  std::vector<object_spec> objs;
  test_block tb;
  geost_data *b;
  random_block(ORVALIS_API_STRUCT *api, rng &g, int k,
               const std::function<void(std::vector<object_spec> &)> &tweak = {})
      : objs(draw(g, k, &boxes, tweak)), tb(api, k, objs, boxes), b(tb.b)
  {
  }
  static std::vector<object_spec> draw(rng &g, int k, std::vector<sbox_spec> *boxes,
                                       const std::function<void(std::vector<object_spec> &)> &tweak)
  {
    std::vector<object_spec> objs;
    random_instance(g, k, &objs, boxes);
    if (tweak) tweak(objs);
    return objs;
  }
};

/* An exact packing of a w x h box cut into rectangles (guillotine cuts), each an object whose
 * true shape is its rectangle, sometimes as two sboxes or translated. */
struct packing {
  std::vector<object_spec> objs;
  std::vector<sbox_spec> boxes;
  std::vector<std::vector<int>> at; /* true origins */
  std::vector<int> sid;
};

[[maybe_unused]] packing make_packing(rng &g, int w, int h)
{
  std::vector<std::array<int, 4>> rects = {{0, 0, w, h}}; /* x, y, width, height */
  while (rects.size() < 6) {
    size_t i = (size_t)g.below((int)rects.size());
    auto r = rects[i];
    bool vertical = g.below(2);
    int len = vertical ? r[2] : r[3];
    if (len < 2) {
      if (g.below(3) == 0) break;
      continue;
    }
    int cut = 1 + g.below(len - 1);
    auto a = r, c = r;
    if (vertical) a[2] = cut, c[0] += cut, c[2] -= cut;
    else a[3] = cut, c[1] += cut, c[3] -= cut;
    rects[i] = a;
    rects.push_back(c);
  }
  packing pk;
  int m = (int)rects.size();
  for (int i = 0; i < m; i++) {
    auto r = rects[i];
    int tx = g.below(3) == 0 ? 1 : 0;
    if (r[2] >= 2 && g.below(3) == 0) {
      pk.boxes.push_back({i, {tx, 0}, {1, r[3]}});
      pk.boxes.push_back({i, {tx + 1, 0}, {r[2] - 1, r[3]}});
    } else {
      pk.boxes.push_back({i, {tx, 0}, {r[2], r[3]}});
    }
    std::vector<int> x = {r[0] - tx, r[1]};
    pk.at.push_back(x);
    pk.sid.push_back(i);
    object_spec os;
    os.shape_lo = i;
    os.shape_hi = i + 1 < m && g.below(2) ? i + 1 : i;
    for (int d = 0; d < 2; d++) {
      int lo = x[d] - g.below(2), hi = x[d] + g.below(2);
      if (g.below(4) == 0) lo = hi = x[d]; /* ground when the shape is fixed too */
      os.origin.push_back({lo, hi});
    }
    pk.objs.push_back(os);
  }
  return pk;
}

}  // namespace
}  // namespace geost_test

#endif
