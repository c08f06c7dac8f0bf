/* geost/4's point queries: inside_forbidden per second on the origins of an active object, with
 * its absolute regions stored, without and with the hole test of the sweep (face gaps, longest
 * holes, corners), and relative regions built per second; for 20, 50 and 100 objects of 1 to 3
 * boxes packing a box exactly, half of them placed, the others free within 3 of their place. */
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "bench_fd_common.h"
#include "fd.h"
#include "fd_geost.h"
#include "fd_sched.h"
#include "fd_sets.h"

namespace {

struct rect {
  int x, y, w, h;
};

/* A side x side box cut into n rectangles, the largest one cut each time. */
std::vector<rect> cut_box(std::mt19937 &rng, int side, int n)
{
  std::vector<rect> rs = {{0, 0, side, side}};
  while ((int)rs.size() < n) {
    size_t big = 0;
    for (size_t i = 1; i < rs.size(); i++)
      if (rs[i].w * rs[i].h > rs[big].w * rs[big].h) big = i;
    rect r = rs[big], a = r, c = r;
    if (r.w >= r.h) {
      int cut = std::uniform_int_distribution<int>(1, r.w - 1)(rng);
      a.w = cut, c.x += cut, c.w -= cut;
    } else {
      int cut = std::uniform_int_distribution<int>(1, r.h - 1)(rng);
      a.h = cut, c.y += cut, c.h -= cut;
    }
    rs[big] = a;
    rs.push_back(c);
  }
  return rs;
}

/* A block of n objects, object i in shape i (its rectangle as 1 to 3 side-by-side boxes), the
 * last half placed, bounding box 1 the packed box, longest-hole tables at slack 0. */
struct packed_box {
  geost_data *b = nullptr;
  ORVALIS_API_STRUCT *api;
  std::vector<int32_t> open[2], closed[2];
  std::vector<std::array<int, 2>> at;
  packed_box(ORVALIS_API_STRUCT *a, worker *w, std::mt19937 &rng, int n) : api(a)
  {
    int side = 4 * n;
    std::vector<rect> rs = cut_box(rng, side, n);
    struct box {
      int sid, t, l, h;
    };
    std::vector<box> boxes;
    int maxn = 1;
    for (int i = 0; i < n; i++) {
      int parts = std::min(rs[i].w, 1 + (int)(rng() % 3)), t = 0;
      maxn = std::max(maxn, parts);
      for (int p = 0; p < parts; p++) {
        int l = p + 1 < parts ? 1 + (int)(rng() % (rs[i].w - t - (parts - p - 1))) : rs[i].w - t;
        boxes.push_back({i, t, l, rs[i].h});
        t += l;
      }
      at.push_back({rs[i].x, rs[i].y});
    }
    geost_dims dm{2, n, (int)boxes.size(), maxn, 0};
    b = (geost_data *)std::calloc(1, geost_block_bytes(dm));
    geost_carve(b, dm);
    b->env = api;
    for (size_t j = 0; j < boxes.size(); j++) {
      b->shape.sid[j] = boxes[j].sid;
      b->shape.translation[2 * j] = boxes[j].t, b->shape.translation[2 * j + 1] = 0;
      b->shape.size[2 * j] = boxes[j].l, b->shape.size[2 * j + 1] = boxes[j].h;
    }
    geost_index_shapes(api, b);
    b->ntargets = n - n / 2;
    for (int o = 0; o < n; o++) {
      int r = o < b->ntargets ? 3 : 0;
      dvar_init_temp(&b->dvar[3 * o], MakeSmall(o), MakeSmall(o));
      for (int d = 0; d < 2; d++)
        dvar_init_temp(&b->dvar[3 * o + 1 + d], MakeSmall(std::max(0, at[o][d] - r)),
                       MakeSmall(std::min(side - 1, at[o][d] + r)));
      b->object.oid[o] = o;
    }
    for (int d = 0; d < 2; d++) {
      dvar_init_temp(&b->lower_dvar[d], MakeSmall(0), MakeSmall(0));
      dvar_init_temp(&b->upper_dvar[d], MakeSmall(side), MakeSmall(side));
      b->dvar_min[d] = -side, b->dvar_max[d] = 2 * side;
      std::vector<lhs> items;
      for (const box &x : boxes) items.push_back({d ? x.h : x.l, d ? x.l : x.h, 0});
      b->maxeps[d] = side;
      open[d].assign(side, 0), closed[d].assign(side, 0);
      w->numstack_end = nullptr;
      fd_lh_init(api, w, 0, 0, 1, side, side, (int)items.size(), items.data(), open[d].data(),
                 closed[d].data(), 100, 2);
      b->lh_tables[d] = open[d].data(), b->lch_tables[d] = closed[d].data();
    }
    geost_fr_alloc(api, b);
    for (int d = 0; d < 2; d++) b->fr.origin[2 + d] = 0, b->fr.end[2 + d] = side - 1;
  }
  ~packed_box()
  {
    geost_fr_free(api, b);
    dispose_switch_on_key(b->shape_hash);
    std::free(b);
  }
};

template <typename F>
double per_second(F f, int64_t *count)
{
  auto start = std::chrono::steady_clock::now();
  double seconds = 0;
  *count = 0;
  while (seconds < 0.3) {
    *count += f();
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  return *count / seconds;
}

}  // namespace

int main()
{
  BenchEngine e;
  ORVALIS_API_STRUCT *api = bench_fd::load_clpfd(e);
  worker *w = fd_worker(api);
  std::mt19937 rng(29);
  for (int n : {20, 50, 100}) {
    packed_box in(api, w, rng, n);
    geost_data *b = in.b;
    int64_t count;
    double regions = per_second(
        [&] {
          all_relative_fr(api, b, 0);
          return (int64_t)(b->fr.end_relative - b->fr.end_bb);
        },
        &count);
    std::printf("geost_relative_regions_%d_objects_per_s %.0f\n", n, regions);
    /* the points of the origin box of the active object with the most, its absolute regions
     * stored */
    int o = 0, lo[2], hi[2];
    auto points = [&](int x) {
      int64_t c = 1;
      for (int d = 0; d < 2; d++)
        c *= fds_val(b->dvar[3 * x + 1 + d].max) - fds_val(b->dvar[3 * x + 1 + d].min) + 1;
      return c;
    };
    for (int x = 1; x < b->ntargets; x++)
      if (points(x) > points(o)) o = x;
    all_relative_fr(api, b, 0);
    b->fr.end_absolute = b->fr.end_relative;
    absolute_fr(api, b, w, o, o, &b->fr.end_absolute, absolute_cont);
    b->fr.top_of_stack = b->fr.end_absolute;
    for (int d = 0; d < 2; d++)
      lo[d] = fds_val(b->dvar[3 * o + 1 + d].min), hi[d] = fds_val(b->dvar[3 * o + 1 + d].max);
    int rejected[2] = {0, 0};
    const int opts[2] = {0, GEOST_VISAVIS | GEOST_LONGEST_HOLE | GEOST_CORNERS};
    for (int i = 0; i < 2; i++) {
      b->opt = opts[i];
      double qps = per_second(
          [&] {
            int p[2], region, queries = 0;
            rejected[i] = 0;
            for (p[0] = lo[0]; p[0] <= hi[0]; p[0]++)
              for (p[1] = lo[1]; p[1] <= hi[1]; p[1]++, queries++)
                rejected[i] += inside_forbidden(api, b, w, p, o, o, 0, &region);
            return (int64_t)queries;
          },
          &count);
      std::printf("geost_point_queries_%d_objects_%s_per_s %.0f (%d of %d points infeasible)\n", n,
                  i ? "hole_test" : "regions_only", qps, rejected[i],
                  (hi[0] - lo[0] + 1) * (hi[1] - lo[1] + 1));
    }
  }
  return 0;
}
