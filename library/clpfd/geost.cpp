/* geost/4: the block's layout and shape table, and the per-call region table with the relative
 * forbidden regions (boxes that an object covers in every placement its domains still allow).
 *
 * A relative region of object A from a box [a, b) relative to A's origin (per dimension) is
 * stored as origin = max + a + 1, end = min + b - 1 (min, max the bounds of A's origin): an sbox
 * (t, L) of another object placed at x overlaps A wherever A lies exactly when, in every
 * dimension, origin - t - L <= x <= end - t.
 */
#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include "fd_geost.h"
#include "fd.h"
#include "fd_sched.h"
#include "fd_qsort.h"
#include "fd_sets.h"

namespace {

/* The carving of a block, one array after another, each aligned for its type. */
class carver {
public:
  explicit carver(char *base) : at_(base) {}
  template <typename T>
  T *take(size_t n)
  {
    at_ = (char *)(((uintptr_t)at_ + alignof(T) - 1) & ~(uintptr_t)(alignof(T) - 1));
    T *p = (T *)at_;
    at_ += n * sizeof(T);
    return p;
  }
  char *at() const { return at_; }

private:
  char *at_;
};

int allocated_sboxes(const geost_dims &d)
{
  return std::max(std::max(d.nobjects, 1) + d.nsboxes_posted, 2 * d.kdims);
}

/* Lays out the arrays from base; with b null only measures. */
char *layout(geost_data *b, const geost_dims &dm, char *base)
{
  geost_data scratch;
  geost_data *g = b ? b : &scratch;
  carver c(base);
  size_t k = (size_t)dm.kdims, n = (size_t)dm.nobjects, n2 = n + 2;
  size_t sa = (size_t)allocated_sboxes(dm), sp = (size_t)dm.nsboxes_posted;
  size_t ms = (size_t)std::max(dm.max_nsboxes, 0), no = (size_t)std::max(dm.norder, 0);
  g->dvar = c.take<struct dvar>(n2 * (k + 1));
  g->lower_dvar = c.take<struct dvar>(k);
  g->upper_dvar = c.take<struct dvar>(k);
  g->lch_tables = c.take<int32_t *>(k);
  g->lh_tables = c.take<int32_t *>(k);
  g->lh_tables_max = c.take<int32_t *>(k);
  g->lh_tables_inv = c.take<int32_t *>(k);
  g->dp_hash = c.take<sw_on_key *>(k);
  g->object.proc = c.take<geost_proc *>(n2);
  g->object.dis = c.take<geost_dis *>(n2);
  g->fixorder = c.take<int>(no);
  g->memo = c.take<int>(no / (k + 1));
  g->current_point = c.take<int>(k);
  g->current = c.take<int>(k);
  g->next = c.take<int>(k);
  g->dvar_min = c.take<int>(k);
  g->dvar_max = c.take<int>(k);
  g->pruneddim = c.take<int>(k);
  g->vis_a_vis_size = c.take<int>(2 * k);
  g->vis_a_vis_vol = c.take<int>(2 * k);
  g->vis_a_vis_object = c.take<int>(2 * k);
  g->vis_a_vis_sbox = c.take<int>(2 * k);
  g->target = c.take<int>(n);
  g->byclass = c.take<int>(n);
  g->byarea = c.take<int>(n);
  g->maxeps = c.take<int>(k);
  g->check_cumulative_set = c.take<int>(n * ms + 1);
  g->cumulative_sbox = c.take<int>(ms);
  int **object_ints[] = {&g->object.flags, &g->object.lex_prev, &g->object.lex_next,
                         &g->object.oid, &g->object.min_vol_sid, &g->object.max_vol_sid};
  for (int **p : object_ints) *p = c.take<int>(n2);
  g->object.minwit = c.take<int>(n2 * k * k);
  g->object.maxwit = c.take<int>(n2 * k * k);
  int **object_bounds[] = {&g->object.low,     &g->object.up,     &g->object.auxlow,
                           &g->object.auxlow1, &g->object.auxlow2, &g->object.auxup,
                           &g->object.auxup1,  &g->object.auxup2};
  for (int **p : object_bounds) *p = c.take<int>(n2 * k);
  g->shape.max_size = c.take<int>(k);
  g->shape.max_trans_size = c.take<int>(k);
  g->shape.min_trans = c.take<int>(k);
  g->shape.sid = c.take<int>(sa);
  g->shape.translation = c.take<int>(sa * k);
  g->shape.size = c.take<int>(sa * k);
  g->shape.size_multiset = c.take<int>(sa * k);
  int **shape_ints[] = {&g->shape.min, &g->shape.max, &g->shape.cur, &g->shape.useful};
  for (int **p : shape_ints) *p = c.take<int>(sa);
  g->shape.volume = c.take<int32_t>(sa);
  g->shape.svolume = c.take<int32_t>(sa);
  g->shape.tvolume = c.take<int32_t>(sa);
  g->shape.boundaries = c.take<int>(2 * k * sa);
  g->pl.bborig = c.take<int>(k);
  g->pl.bbend = c.take<int>(k);
  g->shape.included = c.take<char>(sp * sp);
  return c.at();
}

}  // namespace

size_t geost_block_bytes(const geost_dims &dims)
{
  return (size_t)layout(nullptr, dims, (char *)sizeof(geost_data)) + 8;
}

void geost_carve(geost_data *b, const geost_dims &dm)
{
  layout(b, dm, (char *)(b + 1));
  b->kdims = dm.kdims;
  b->nobjects = dm.nobjects;
  b->nsboxes_posted = dm.nsboxes_posted;
  b->nsboxes_allocated = allocated_sboxes(dm);
  b->max_nsboxes = dm.max_nsboxes;
  b->nregions = std::max(dm.nobjects, 6);
  b->ntargets = dm.nobjects;
  b->nrefs = (2 * dm.kdims + 4) * dm.nobjects + 4 * dm.kdims + 4;
  b->norder = dm.norder;
  b->prunedsid = 1;
  b->fr.end_bb = 4;
  b->pl.pslack = -1;
  b->check_cumulative_set[0] = -2;
  for (int d = 0; d < dm.kdims; d++) b->pruneddim[d] = 1;
  for (int o = 0; o < dm.nobjects; o++) b->target[o] = o;
  for (int o = 0; o < dm.nobjects + 2; o++) {
    b->object.flags[o] = 3;
    b->object.lex_prev[o] = b->object.lex_next[o] = -1;
  }
  b->shape.sid[dm.nsboxes_posted] = 0x7fffffff;
}

void geost_index_shapes(ORVALIS_API_STRUCT *env, geost_data *b)
{
  ORVALIS_API_STRUCT *api = env;
  int k = b->kdims, n = b->nsboxes_posted;
  b->shape.sid[n] = 0x7fffffff;
  if (!b->shape_hash) b->shape_hash = new_switch_on_key(8, MakeSmall(-1));
  for (int j = 0; j < n; j++)
    if (j == 0 || b->shape.sid[j] != b->shape.sid[j - 1])
      dyn_puthash(&b->shape_hash, MakeSmall(b->shape.sid[j]))->value = MakeSmall(j);
  if (n > 0) dyn_puthash(&b->shape_hash, MakeSmall(b->shape.sid[n - 1] + 1))->value = MakeSmall(n);
  for (int d = 0; d < k; d++) {
    b->shape.max_size[d] = b->shape.max_trans_size[d] = INT_MIN;
    b->shape.min_trans[d] = INT_MAX;
  }
  for (int j = 0; j < n; j++) {
    int *t = &b->shape.translation[j * k], *l = &b->shape.size[j * k];
    int *ms = &b->shape.size_multiset[j * k];
    for (int d = 0; d < k; d++) {
      b->shape.max_size[d] = std::max(b->shape.max_size[d], l[d]);
      int64_t reach = std::min<int64_t>((int64_t)t[d] + l[d], INT_MAX); /* the end never wraps */
      b->shape.max_trans_size[d] = std::max<int64_t>(b->shape.max_trans_size[d], reach);
      b->shape.min_trans[d] = std::min(b->shape.min_trans[d], t[d]);
      ms[d] = l[d];
    }
    std::sort(ms, ms + k);
    for (int i = 0; i < n; i++) {
      bool inside = true;
      const int *ti = &b->shape.translation[i * k], *li = &b->shape.size[i * k];
      for (int d = 0; d < k && inside; d++)
        inside = ti[d] >= t[d] && (int64_t)ti[d] + li[d] <= (int64_t)t[d] + l[d];
      b->shape.included[i * n + j] = i == j || inside;
    }
  }
}

int geost_first_sbox(const geost_data *b, int sid)
{
  ORVALIS_API_STRUCT *api = b->env;
  if (!b->shape_hash || sid == 0x7fffffff || !SmallFits(sid)) return -1;
  sw_on_key_node *node = incore_gethash(b->shape_hash, MakeSmall(sid));
  if (node->key == 0) return -1;
  int j = GetSmall(node->value);
  return j < b->nsboxes_posted && b->shape.sid[j] == sid ? j : -1;
}

/* ---- the region table ---- */

namespace {

/* The offsets, in words, of the region arrays for a capacity of n slots. */
struct fr_offsets {
  size_t obj, next, origin, end, heap, active, activep, total;
  fr_offsets(int k, size_t n)
      : obj(0), next(n), origin(2 * n), end(2 * n + k * n), heap(2 * n + 2 * k * n),
        active(4 * n + 2 * k * n), activep(5 * n + 2 * k * n), total(6 * n + 2 * k * n)
  {}
};

void point_arrays(geost_data *b, int *base)
{
  fr_offsets f(b->kdims, (size_t)b->nregions);
  b->fr.obj = base + f.obj;
  b->fr.next = base + f.next;
  b->fr.origin = base + f.origin;
  b->fr.end = base + f.end;
  b->fr.heap = base + f.heap;
  b->fr.active = base + f.active;
  b->fr.activep = base + f.activep;
}

void copy_slot(geost_data *b, int to, int from)
{
  int k = b->kdims;
  b->fr.obj[to] = b->fr.obj[from];
  b->fr.next[to] = b->fr.next[from];
  std::memmove(&b->fr.origin[to * k], &b->fr.origin[from * k], (size_t)k * sizeof(int));
  std::memmove(&b->fr.end[to * k], &b->fr.end[from * k], (size_t)k * sizeof(int));
}

bool inside(const geost_data *b, int r, int s) /* region r within region s */
{
  for (int d = 0; d < b->kdims; d++)
    if (b->fr.origin[r * b->kdims + d] < b->fr.origin[s * b->kdims + d] ||
        b->fr.end[r * b->kdims + d] > b->fr.end[s * b->kdims + d])
      return false;
  return true;
}

/* Calls f(sid) on each shape id in the shape domain, in ascending order, until f answers true:
 * true then. */
template <typename F>
bool each_sid(const dvar *shape, F f)
{
  DVITER it;
  dviter_init(&it, shape);
  while (!dviter_empty(&it)) {
    int32_t lo, hi;
    dviter_next_interval_l(&it, &lo, &hi);
    for (int64_t sid = lo; sid <= hi; sid++)
      if (f((int)sid)) return true;
  }
  return false;
}

/* Calls f(sbox) on each sbox of each shape in object's shape domain, in ascending shape order,
 * until f answers true: true then. */
template <typename F>
bool each_sbox(const geost_data *b, int object, F f)
{
  return each_sid(&b->dvar[(b->kdims + 1) * object], [&](int sid) {
    for (int j = geost_first_sbox(b, sid); j >= 0 && b->shape.sid[j] == sid; j++)
      if (f(j)) return true;
    return false;
  });
}

int32_t lo_of(const dvar *d) { return fds_val(d->min); }
int32_t hi_of(const dvar *d) { return fds_val(d->max); }

}  // namespace

void geost_fr_alloc(ORVALIS_API_STRUCT *env, geost_data *b)
{
  ORVALIS_API_STRUCT *api = env;
  fr_offsets f(b->kdims, (size_t)b->nregions);
  point_arrays(b, (int *)fd_malloc(api, f.total * sizeof(int)));
  b->fr.end_bb = 4;
  b->fr.end_relative = b->fr.end_absolute = b->fr.end_bb;
}

void geost_fr_free(ORVALIS_API_STRUCT *env, geost_data *b)
{
  ORVALIS_API_STRUCT *api = env;
  QX_free(b->fr.obj);
  b->fr.obj = nullptr;
}

void expand_regions(ORVALIS_API_STRUCT *env, geost_data *b)
{
  ORVALIS_API_STRUCT *api = env;
  int k = b->kdims;
  size_t n = (size_t)b->nregions;
  fr_offsets from(k, n), to(k, 2 * n);
  int *base = (int *)QX_realloc(b->fr.obj, to.total * sizeof(int));
  if (!base) qx_memory_fault("geost regions", QX_SPACE_FOREIGN);
  /* last array first: each moves up, over its own old place at most */
  const size_t moves[][3] = {{from.activep, to.activep, n},  {from.active, to.active, n},
                             {from.heap, to.heap, 2 * n},     {from.end, to.end, k * n},
                             {from.origin, to.origin, k * n}, {from.next, to.next, n}};
  for (const auto &m : moves) std::memmove(base + m[1], base + m[0], m[2] * sizeof(int));
  b->nregions = (int)(2 * n);
  point_arrays(b, base);
}

int store_region(ORVALIS_API_STRUCT *env, geost_data *b, int fresh, int object, int subsumption)
{
  int k = b->kdims, first = b->fr.end_relative;
  int *org = b->fr.origin, *end = b->fr.end;
  b->fr.obj[fresh] = object;
  if (fresh > first && k >= 1) {
    int p = fresh - 1, differ = -1;
    bool join = true;
    for (int d = 0; d < k && join; d++) {
      if (org[p * k + d] == org[fresh * k + d] && end[p * k + d] == end[fresh * k + d]) continue;
      join = differ < 0 && org[p * k + d] <= end[fresh * k + d] + 1 &&
             org[fresh * k + d] <= end[p * k + d] + 1;
      differ = d;
    }
    if (join && differ < 0) return fresh; /* the same box again */
    if (join) {
      org[p * k + differ] = std::min(org[p * k + differ], org[fresh * k + differ]);
      end[p * k + differ] = std::max(end[p * k + differ], end[fresh * k + differ]);
      return fresh;
    }
  }
  int w = fresh + 1;
  if (subsumption) {
    w = first;
    bool dropped = false;
    for (int r = first; r < fresh; r++) {
      if (!dropped && inside(b, r, fresh) && !inside(b, fresh, r)) continue;
      if (w < r) copy_slot(b, w, r);
      w++;
      if (!dropped && inside(b, fresh, r)) dropped = true; /* the rest is copied as it is */
    }
    if (!dropped) copy_slot(b, w++, fresh);
  }
  if (w == b->nregions) expand_regions(env, b);
  return w;
}

int relative_cont(ORVALIS_API_STRUCT *env, geost_data *b, int *region)
{
  *region = store_region(env, b, *region, b->current_object, 0);
  return 0;
}

int absolute_cont(ORVALIS_API_STRUCT *env, geost_data *b, int *region)
{
  return relative_cont(env, b, region);
}

void bb_init(geost_data *b, int bb)
{
  for (int d = 0; d < b->kdims; d++) {
    b->fr.origin[bb * b->kdims + d] = INT_MAX;
    b->fr.end[bb * b->kdims + d] = INT_MIN + 1;
  }
}

void bb_add_object(ORVALIS_API_STRUCT *env, geost_data *b, int bb, int object)
{
  int k = b->kdims;
  const dvar *dv = &b->dvar[(k + 1) * object + 1];
  each_sbox(b, object, [&](int s) {
    for (int d = 0; d < k; d++) {
      int64_t t = b->shape.translation[s * k + d], l = b->shape.size[s * k + d];
      int64_t lo = std::max((int64_t)lo_of(&dv[d]) + t, (int64_t)lo_of(&b->lower_dvar[d]));
      int64_t hi = std::min((int64_t)hi_of(&dv[d]) + t + l - 1, (int64_t)hi_of(&b->upper_dvar[d]) - 1);
      int *o = &b->fr.origin[bb * k + d], *e = &b->fr.end[bb * k + d];
      *o = (int)std::min<int64_t>(*o, std::clamp<int64_t>(lo, INT_MIN + 1, INT_MAX));
      *e = (int)std::max<int64_t>(*e, std::clamp<int64_t>(hi, INT_MIN + 1, INT_MAX));
    }
    return false;
  });
}

int sbox_intersects_region(const geost_data *b, const dvar *dv, int s, int r)
{
  int k = b->kdims;
  for (int d = 0; d < k; d++) {
    int64_t t = b->shape.translation[s * k + d], l = b->shape.size[s * k + d];
    if ((int64_t)hi_of(&dv[d]) + t + l - 1 < b->fr.origin[r * k + d] ||
        (int64_t)lo_of(&dv[d]) + t > b->fr.end[r * k + d])
      return 0;
  }
  return 1;
}

int fr_intersects_object(ORVALIS_API_STRUCT *env, geost_data *b, int r, int object)
{
  const dvar *dv = &b->dvar[(b->kdims + 1) * object + 1];
  return each_sbox(b, object, [&](int s) { return sbox_intersects_region(b, dv, s, r) != 0; });
}

int useful_relative_fr(const geost_data *b, int o, int e, int j)
{
  if ((int64_t)o - b->shape.max_size[j] > e) return 0;
  if ((int64_t)e - b->shape.min_trans[j] < b->dvar_min[j]) return 0;
  return (int64_t)o - b->shape.max_trans_size[j] <= b->dvar_max[j];
}

namespace {

/* The relative regions of a polymorphic object: boxes inside some useful sbox of every shape of
 * its domain, their bounds taken from the sboxes' own bounds. */
int relative_fr_poly(ORVALIS_API_STRUCT *env, geost_data *b, int object, int *region, geost_cont cont)
{
  int k = b->kdims;
  const dvar *dv = &b->dvar[(k + 1) * object + 1];
  const int *tr = b->shape.translation, *sz = b->shape.size;
  /* the shapes: first and one-past-last sbox, first still useful */
  std::vector<int> first, last;
  bool missing = each_sid(&b->dvar[(k + 1) * object], [&](int sid) {
    int j = geost_first_sbox(b, sid);
    if (j < 0) return true; /* a shape with no box covers nothing */
    first.push_back(j);
    while (b->shape.sid[j] == sid) b->shape.useful[j++] = 1;
    last.push_back(j);
    return false;
  });
  int m = (int)first.size();
  if (missing || m == 0) return 0;
  auto lo_bound = [&](int s, int d) { return (int64_t)tr[s * k + d] + hi_of(&dv[d]) + 1; };
  auto hi_bound = [&](int s, int d) { return (int64_t)tr[s * k + d] + sz[s * k + d] + lo_of(&dv[d]) - 1; };
  auto useful = [&](int64_t o, int64_t e, int d) {
    return o >= INT_MIN && o <= INT_MAX && e >= INT_MIN && e <= INT_MAX &&
           useful_relative_fr(b, (int)o, (int)e, d);
  };
  /* 1. usefulness: an sbox whose box, cut by some sbox of every other shape, can reach no
   * filtered origin is left out */
  for (int i = 0; i < m; i++) {
    for (int a = first[i]; a < last[i]; a++) {
      bool keep = true;
      for (int d = 0; d < k && keep; d++) {
        int64_t lo = lo_bound(a, d), hi = hi_bound(a, d);
        keep = useful(lo, hi, d);
        for (int j = 0; j < m && keep; j++) {
          if (j == i) continue;
          bool found = false;
          for (int s = first[j]; s < last[j] && !found; s++) {
            int64_t l2 = std::max(lo, lo_bound(s, d)), h2 = std::min(hi, hi_bound(s, d));
            if (useful(l2, h2, d)) {
              lo = l2;
              hi = h2;
              found = true;
            }
          }
          keep = found;
        }
      }
      if (!keep) {
        b->shape.useful[a] = 0;
        if (a == first[i]) first[i]++;
      }
    }
    if (first[i] >= last[i]) return 0;
  }
  /* 2. candidate bounds per side of each dimension */
  std::vector<int> from(2 * k), to(2 * k), cur(2 * k);
  int *cand = b->shape.boundaries, nc = 0;
  for (int bd = 0; bd < 2 * k; bd++) {
    int d = bd / 2;
    bool lower = bd % 2 == 0;
    int64_t threshold = lower ? INT_MIN + 1 : INT_MAX;
    for (int i = 0; i < m; i++) {
      int64_t best = lower ? INT_MAX : INT_MIN + 1;
      for (int s = first[i]; s < last[i]; s++) {
        if (!b->shape.useful[s]) continue;
        int64_t v = lower ? tr[s * k + d] : (int64_t)tr[s * k + d] + sz[s * k + d];
        best = lower ? std::min(best, v) : std::max(best, v);
      }
      threshold = lower ? std::max(threshold, best) : std::min(threshold, best);
    }
    from[bd] = nc;
    for (int i = 0; i < m; i++)
      for (int s = first[i]; s < last[i]; s++) {
        if (!b->shape.useful[s]) continue;
        int64_t v = lower ? tr[s * k + d] : (int64_t)tr[s * k + d] + sz[s * k + d];
        if (lower ? v >= threshold : v <= threshold) cand[nc++] = (int)v;
      }
    std::sort(cand + from[bd], cand + nc);
    nc = (int)(std::unique(cand + from[bd], cand + nc) - cand);
    to[bd] = nc;
    cur[bd] = from[bd];
    if (from[bd] == to[bd]) return 0;
  }
  /* 3. every combination of candidates, the last bound fastest */
  for (;;) {
    bool accepted = true;
    for (int i = 0; i < m && accepted; i++) {
      bool holds = false;
      for (int s = first[i]; s < last[i] && !holds; s++) {
        if (!b->shape.useful[s]) continue;
        holds = true;
        for (int d = 0; d < k && holds; d++)
          holds = tr[s * k + d] <= cand[cur[2 * d]] &&
                  (int64_t)tr[s * k + d] + sz[s * k + d] >= cand[cur[2 * d + 1]];
      }
      accepted = holds;
    }
    for (int d = 0; d < k && accepted; d++) {
      int64_t o = (int64_t)cand[cur[2 * d]] + 1 + hi_of(&dv[d]);
      int64_t e = (int64_t)cand[cur[2 * d + 1]] - 1 + lo_of(&dv[d]);
      accepted = useful(o, e, d);
      if (accepted) {
        b->fr.origin[*region * k + d] = (int)o;
        b->fr.end[*region * k + d] = (int)e;
      }
    }
    if (accepted && cont(env, b, region)) return 1;
    int bd = 2 * k - 1;
    while (bd >= 0 && ++cur[bd] == to[bd]) {
      cur[bd] = from[bd];
      bd--;
    }
    if (bd < 0) return 0;
  }
}

}  // namespace

int relative_fr(ORVALIS_API_STRUCT *env, geost_data *b, int object, int *region, geost_cont cont)
{
  int k = b->kdims;
  b->current_object = object;
  const dvar *shape = &b->dvar[(k + 1) * object];
  if (!(shape->flags & DV_FIXED)) return relative_fr_poly(env, b, object, region, cont);
  const dvar *dv = shape + 1;
  int sid = lo_of(shape);
  for (int s = geost_first_sbox(b, sid); s >= 0 && b->shape.sid[s] == sid; s++) {
    bool useful = true;
    for (int d = 0; d < k && useful; d++) {
      int64_t o = (int64_t)hi_of(&dv[d]) + 1 + b->shape.translation[s * k + d];
      int64_t e = (int64_t)lo_of(&dv[d]) - 1 + b->shape.translation[s * k + d] +
                  b->shape.size[s * k + d];
      useful = o >= INT_MIN && o <= INT_MAX && e >= INT_MIN && e <= INT_MAX;
      if (!useful) break;
      b->fr.origin[*region * k + d] = (int)o;
      b->fr.end[*region * k + d] = (int)e;
      useful = useful_relative_fr(b, (int)o, (int)e, d);
    }
    if (useful && cont(env, b, region)) return 1;
  }
  return 0;
}

void all_relative_fr(ORVALIS_API_STRUCT *env, geost_data *b, int fixall)
{
  int k = b->kdims;
  b->fr.end_relative = b->fr.end_bb;
  for (int p = b->nobjects - 1; p >= 0; p--) {
    int o = b->target[p];
    if (fixall) {
      bool ground = true;
      for (int d = 0; d <= k && ground; d++) ground = b->dvar[(k + 1) * o + d].flags & DV_FIXED;
      if (!ground) continue;
    }
    if (!fr_intersects_object(env, b, 1, o)) continue;
    relative_fr(env, b, o, &b->fr.end_relative, relative_cont);
  }
}

/* ---- volumes ---- */

namespace {

constexpr int32_t VOLUME_LIMIT = 0x7ffffffb;

/* The origin view of object o in dimension d, and its shape view. */
const dvar *origin_view(const geost_data *b, int o, int d) { return &b->dvar[(b->kdims + 1) * o + 1 + d]; }
dvar *shape_view(geost_data *b, int o) { return &b->dvar[(b->kdims + 1) * o]; }

/* The union volume of shape sid (its first sbox's svolume), 0 for a shape with no box. */
int32_t svolume_of(const geost_data *b, int sid)
{
  int f = geost_first_sbox(b, sid);
  return f < 0 ? 0 : b->shape.svolume[f];
}

}  // namespace

int32_t intersection_volume(ORVALIS_API_STRUCT *env, geost_data *b, int bb, int object, int sid)
{
  ORVALIS_API_STRUCT *api = env;
  int k = b->kdims, first = geost_first_sbox(b, sid);
  if (first < 0) return 0;
  int last = first;
  while (b->shape.sid[last] == sid) last++;
  int *coord = b->shape.boundaries, n = 0;
  std::vector<int64_t> base(k, 0);
  /* 1. the grid's coordinates per dimension */
  for (int d = 0; d < k; d++) {
    b->shape.min[d] = n;
    if (bb >= 0) base[d] = lo_of(origin_view(b, object, d));
    for (int s = first; s < last; s++) {
      int64_t t = b->shape.translation[s * k + d], l = b->shape.size[s * k + d];
      if (bb < 0) {
        coord[n++] = (int)t;
        coord[n++] = (int)std::min<int64_t>(t + l, INT_MAX);
        continue;
      }
      int64_t a = base[d] + t, e = a + l - 1;
      int64_t o = b->fr.origin[bb * k + d], en = b->fr.end[bb * k + d];
      if (e < o || a > en) continue;
      /* relative to the origin, so that the cells' corners compare with the sboxes directly */
      coord[n++] = (int)(std::max(a, o) - base[d]);
      coord[n++] = (int)(std::min(e, en) + 1 - base[d]);
    }
    if (n == b->shape.min[d]) return 0;
    fd_qsort(api, coord + b->shape.min[d], (size_t)(n - b->shape.min[d]),
             [](const int *x, const int *y) { return *x < *y ? -1 : *x > *y; });
    n = (int)(std::unique(coord + b->shape.min[d], coord + n) - coord);
    b->shape.max[d] = n - 1;
    b->shape.cur[d] = b->shape.min[d];
    if (b->shape.max[d] == b->shape.min[d]) return 0; /* no cell of positive width */
  }
  /* 2. every cell, the last dimension fastest */
  int32_t total = 0;
  for (;;) {
    bool in = false;
    for (int s = first; s < last && !in; s++) {
      in = true;
      for (int d = 0; d < k && in; d++) {
        int64_t x = coord[b->shape.cur[d]], t = b->shape.translation[s * k + d];
        in = t <= x && x <= t + b->shape.size[s * k + d] - 1;
      }
    }
    if (in) {
      int32_t cell = 1;
      for (int d = 0; d < k; d++) {
        int32_t width = coord[b->shape.cur[d] + 1] - coord[b->shape.cur[d]];
        if (cell >= VOLUME_LIMIT / width) b->overflow = 1;
        else cell *= width;
      }
      if (total < VOLUME_LIMIT - cell) total += cell;
      else b->overflow = 1;
    }
    int d = k - 1;
    while (d >= 0 && ++b->shape.cur[d] == b->shape.max[d]) {
      b->shape.cur[d] = b->shape.min[d];
      d--;
    }
    if (d < 0) return total;
  }
}

void shape_volume(ORVALIS_API_STRUCT *env, geost_data *b, int f)
{
  int k = b->kdims, sid = b->shape.sid[f];
  int32_t sum = 0;
  for (int s = f; b->shape.sid[s] == sid; s++) {
    int32_t v = 1;
    for (int d = 0; d < k; d++) {
      int32_t l = b->shape.size[s * k + d];
      if (l > 0 && v >= VOLUME_LIMIT / l) b->overflow = 1;
      else v *= l;
    }
    b->shape.volume[s] = v;
    if (sum < VOLUME_LIMIT - v) sum += v;
    else b->overflow = 1;
  }
  b->shape.tvolume[f] = sum;
  b->shape.svolume[f] = intersection_volume(env, b, -1, 0, sid);
}

int32_t min_intersection_volume(ORVALIS_API_STRUCT *env, geost_data *b, int bb, int object)
{
  int32_t best = 0x7fffffff;
  each_sid(shape_view(b, object), [&](int sid) {
    best = std::min(best, intersection_volume(env, b, bb, object, sid));
    return false;
  });
  return best;
}

void compute_minmax_vol_sid(ORVALIS_API_STRUCT *, geost_data *b, int object)
{
  const dvar *shape = shape_view(b, object);
  if (shape->flags & DV_FIXED) {
    b->object.min_vol_sid[object] = b->object.max_vol_sid[object] = lo_of(shape);
    return;
  }
  bool any = false;
  int32_t lo_vol = 0, hi_vol = 0;
  each_sid(shape, [&](int sid) {
    int32_t v = svolume_of(b, sid);
    if (!any || v < lo_vol) b->object.min_vol_sid[object] = sid, lo_vol = v;
    if (!any || v > hi_vol) b->object.max_vol_sid[object] = sid, hi_vol = v;
    any = true;
    return false;
  });
}

int cumulable(ORVALIS_API_STRUCT *, geost_data *b, int object, int bb, int dim)
{
  int k = b->kdims;
  const dvar *shape = shape_view(b, object);
  if (shape->flags & DV_FIXED) {
    int sid = lo_of(shape), n = 0;
    for (int s = geost_first_sbox(b, sid); s >= 0 && b->shape.sid[s] == sid; s++)
      if (sbox_intersects_region(b, origin_view(b, object, 0), s, bb)) b->cumulative_sbox[n++] = s;
    return n;
  }
  int v = b->nsboxes_posted + object;
  int *tv = &b->shape.translation[v * k], *lv = &b->shape.size[v * k];
  int32_t h = INT32_MAX;
  bool first = true; /* the first shape's box starts v: a start at translation 0 would cut off
                      * the part of every box at a negative translation */
  bool unfit = each_sid(shape, [&](int sid) { /* true: some shape breaks the common box */
    int f = geost_first_sbox(b, sid);
    if (f < 0 || b->shape.sid[f + 1] == sid || b->shape.size[f * k + dim] <= 0) return true;
    for (int d = 0; d < k; d++) {
      int64_t t = b->shape.translation[f * k + d], l = b->shape.size[f * k + d];
      int64_t nlo = first ? t : std::max<int64_t>(tv[d], t);
      int64_t nhi = first ? t + l : std::min<int64_t>((int64_t)tv[d] + lv[d], t + l);
      if (nlo >= nhi) return true;
      tv[d] = (int)nlo;
      lv[d] = (int)(nhi - nlo);
    }
    first = false;
    h = std::min(h, b->shape.volume[f] / b->shape.size[f * k + dim]);
    return false;
  });
  if (unfit) return 0;
  if (first) return 0; /* an empty shape domain */
  int64_t vol = (int64_t)h * lv[dim];
  if (vol >= VOLUME_LIMIT) {
    b->overflow = 1;
    vol = VOLUME_LIMIT - 1;
  }
  b->shape.volume[v] = (int32_t)vol;
  b->cumulative_sbox[0] = v;
  return 1;
}

namespace {

/* Removes value sid from object o's shape view and recomputes its lightest and heaviest shapes:
 * false when the view empties. */
bool drop_shape(ORVALIS_API_STRUCT *env, geost_data *b, int o, int sid, worker *w)
{
  if (dvar_prune_interval_t(env, shape_view(b, o), MakeSmall(sid), MakeSmall(sid), w) < 0) return false;
  compute_minmax_vol_sid(env, b, o);
  b->object.flags[o] |= 3;
  b->prunedsid = 1;
  return true;
}

}  // namespace

int filter_volume(ORVALIS_API_STRUCT *env, geost_data *b, worker *w)
{
  dvar *V = &b->volume_dvar;
  if (!(b->opt & GEOST_OVERLAP)) {
    int64_t cap = (int64_t)b->target_avail + b->rest_volume;
    if (cap < lo_of(V)) return 0;
    if (cap < hi_of(V) && dvar_fix_interval_t(V, atom_inf, MakeSmall((int32_t)cap)) < 0) return 0;
  }
  int64_t up = (int64_t)hi_of(V) - b->rest_volume, down = (int64_t)b->rest_volume - lo_of(V);
  for (int p = 0; p < b->ntargets; p++) {
    int o = b->target[p];
    up -= svolume_of(b, b->object.min_vol_sid[o]);
    down += svolume_of(b, b->object.max_vol_sid[o]);
  }
  for (bool changed = true; changed;) {
    changed = false;
    if (up < 0 || down < 0) return 0;
    if (!(V->flags & DV_FIXED)) {
      int64_t span = (int64_t)hi_of(V) - lo_of(V);
      if (span > up) {
        if (dvar_fix_interval_t(V, MakeSmall((int32_t)(hi_of(V) - up)), atom_sup) < 0) return 0;
        down -= span - up;
        changed = true;
      } else if (span > down) {
        if (dvar_fix_interval_t(V, atom_inf, MakeSmall((int32_t)(lo_of(V) + down))) < 0) return 0;
        up -= span - down;
        changed = true;
      }
    }
    for (int p = 0; p < b->ntargets; p++) {
      int o = b->target[p];
      if (shape_view(b, o)->flags & DV_FIXED) continue;
      int lo = b->object.min_vol_sid[o], hi = b->object.max_vol_sid[o];
      int64_t gap = (int64_t)svolume_of(b, hi) - svolume_of(b, lo);
      if (gap > up) {
        if (!drop_shape(env, b, o, hi, w)) return 0;
        down += (int64_t)svolume_of(b, b->object.max_vol_sid[o]) - svolume_of(b, hi);
        changed = true;
      } else if (gap > down) {
        if (!drop_shape(env, b, o, lo, w)) return 0;
        up += (int64_t)svolume_of(b, lo) - svolume_of(b, b->object.min_vol_sid[o]);
        changed = true;
      }
    }
  }
  return 1;
}

int cmp_decr_area(const geost_data *b, const int *x, const int *y)
{
  int32_t vx = svolume_of(b, lo_of(&b->dvar[(b->kdims + 1) * *x]));
  int32_t vy = svolume_of(b, lo_of(&b->dvar[(b->kdims + 1) * *y]));
  return vx > vy ? -1 : vx < vy;
}

/* ---- absolute forbidden regions ---- */

namespace {

/* Writes lo..hi into region r in dimension d, clamped to the 32-bit range (a region is clipped
 * to a domain afterwards, so the clamp loses nothing). */
void put_range(geost_data *b, int r, int d, int64_t lo, int64_t hi)
{
  b->fr.origin[r * b->kdims + d] = (int)std::clamp<int64_t>(lo, INT_MIN + 1, INT_MAX);
  b->fr.end[r * b->kdims + d] = (int)std::clamp<int64_t>(hi, INT_MIN + 1, INT_MAX);
}

/* Writes the object's whole origin box into region r. */
void put_origin_box(geost_data *b, int r, const dvar *dv)
{
  for (int d = 0; d < b->kdims; d++) put_range(b, r, d, lo_of(&dv[d]), hi_of(&dv[d]));
}

/* a * b, saturated far below the 64-bit limit (products of up to k 32-bit factors). */
int64_t sat_mul(int64_t a, int64_t c)
{
  constexpr int64_t cap = (int64_t)1 << 62;
  if (a == 0 || c == 0) return 0;
  return a > cap / c ? cap : a * c;
}

int64_t product(const int *v, int k)
{
  int64_t p = 1;
  for (int d = 0; d < k; d++) p = sat_mul(p, v[d]);
  return p;
}

/* The extent of an sbox's placements in dimension d: min+t .. max+t+L-1. */
void put_hull(geost_data *b, int r, const dvar *dv, int s)
{
  int k = b->kdims;
  for (int d = 0; d < k; d++) {
    int64_t t = b->shape.translation[s * k + d], l = b->shape.size[s * k + d];
    put_range(b, r, d, lo_of(&dv[d]) + t, hi_of(&dv[d]) + t + l - 1);
  }
}

const int *sizes_of(const geost_data *b, int s) { return &b->shape.size[s * b->kdims]; }

}  // namespace

int useful_absolute_fr(geost_data *b, int r, const dvar *dv, int j)
{
  int *o = &b->fr.origin[r * b->kdims + j], *e = &b->fr.end[r * b->kdims + j];
  *o = std::max(*o, lo_of(&dv[j]));
  *e = std::min(*e, hi_of(&dv[j]));
  return *e >= *o;
}

int gti_fail(ORVALIS_API_STRUCT *env, geost_data *b, int object, int *region, geost_cont cont)
{
  put_origin_box(b, *region, origin_view(b, object, 0));
  cont(env, b, region);
  return 1;
}

int32_t min_intersection(const geost_data *b, int r1, int r2, const int *size1, const int *size2, int d)
{
  int k = b->kdims;
  int64_t s = (int64_t)size1[d] + size2[d] - 1;
  int64_t v = std::min<int64_t>({size1[d], size2[d],
                                 s - b->fr.end[r2 * k + d] + b->fr.origin[r1 * k + d],
                                 s - b->fr.end[r1 * k + d] + b->fr.origin[r2 * k + d]});
  return (int32_t)std::max<int64_t>(0, v);
}

int32_t max_intersection(const geost_data *b, int r1, int r2, const int *size1, const int *size2, int d)
{
  int k = b->kdims;
  int64_t m = std::min((int64_t)b->fr.end[r2 * k + d] + 1 - b->fr.origin[r1 * k + d],
                       (int64_t)b->fr.end[r1 * k + d] + 1 - b->fr.origin[r2 * k + d]);
  if (m < 1) return 0;
  return (int32_t)std::min<int64_t>({size1[d], size2[d], m});
}

int32_t sbox_max_intersection(geost_data *b, const dvar *dv, int s, int r0, int r1, const int *size1, int d)
{
  int k = b->kdims;
  int64_t t = b->shape.translation[s * k + d], l = b->shape.size[s * k + d];
  if (dv[d].flags & DV_INTERVAL) {
    put_range(b, r0, d, lo_of(&dv[d]) + t, hi_of(&dv[d]) - 1 + t + l);
    return max_intersection(b, r0, r1, sizes_of(b, s), size1, d);
  }
  int32_t cap = std::min<int32_t>((int32_t)l, size1[d]), best = 0;
  if (cap < 1) return 0;
  DVITER it;
  dviter_init(&it, &dv[d]);
  while (!dviter_empty(&it) && best < cap) {
    int32_t lo, hi;
    dviter_next_interval_l(&it, &lo, &hi);
    put_range(b, r0, d, lo + t, hi - 1 + t + l);
    best = std::max(best, max_intersection(b, r0, r1, sizes_of(b, s), size1, d));
  }
  return best;
}

namespace {

/* Splits the overlap bounds on the first dimension where they differ: low first, the overlap
 * at its least, then above it; otherwise at its largest, then below it. 1 when a branch
 * stopped; the bounds are restored. */
template <typename F>
int split_overlap(int k, int *minov, int *maxov, bool low_first, F branch)
{
  int d = 0;
  while (d < k && minov[d] >= maxov[d]) d++;
  if (d == k) return 0;
  int lo = minov[d], hi = maxov[d];
  for (int half = 0; half < 2; half++) {
    if (low_first) half ? minov[d] = lo + 1 : maxov[d] = lo;
    else half ? maxov[d] = hi - 1 : minov[d] = hi;
    int stop = branch();
    minov[d] = lo;
    maxov[d] = hi;
    if (stop) return 1;
  }
  return 0;
}

}  // namespace

int gti_overfull_frs(ORVALIS_API_STRUCT *env, geost_data *b, int bb, const dvar *dv, int s, int64_t limit,
                     int *minov, int *maxov, int *region, geost_cont cont)
{
  int k = b->kdims;
  if (limit >= product(maxov, k)) return 0;
  if (limit < product(minov, k)) {
    for (int d = 0; d < k; d++) {
      int64_t t = b->shape.translation[s * k + d], l = b->shape.size[s * k + d];
      put_range(b, *region, d, (int64_t)minov[d] + b->fr.origin[bb * k + d] - l - t,
                (int64_t)b->fr.end[bb * k + d] - minov[d] - t + 1);
      if (!useful_absolute_fr(b, *region, dv, d)) return 0;
    }
    return cont(env, b, region) != 0;
  }
  return split_overlap(k, minov, maxov, true,
                       [&] { return gti_overfull_frs(env, b, bb, dv, s, limit, minov, maxov, region, cont); });
}

int gti_underfull_frs(ORVALIS_API_STRUCT *env, geost_data *b, int bb, const dvar *dv, int s, int64_t limit,
                      int *minov, int *maxov, int *region, geost_cont cont)
{
  int k = b->kdims;
  if (limit <= product(minov, k)) return 0;
  if (limit <= product(maxov, k))
    return split_overlap(k, minov, maxov, false,
                         [&] { return gti_underfull_frs(env, b, bb, dv, s, limit, minov, maxov, region, cont); });
  for (int mask = 0; mask < 1 << k; mask++) {
    bool keep = true;
    for (int d = 0; d < k && keep; d++) {
      int64_t t = b->shape.translation[s * k + d], l = b->shape.size[s * k + d];
      if (mask >> d & 1) {
        keep = l > maxov[d];
        if (keep) put_range(b, *region, d, (int64_t)b->fr.end[bb * k + d] + 1 - maxov[d] - t, hi_of(&dv[d]));
      } else if (l > maxov[d]) {
        put_range(b, *region, d, lo_of(&dv[d]), (int64_t)maxov[d] + b->fr.origin[bb * k + d] - l - t);
      } else {
        put_range(b, *region, d, lo_of(&dv[d]), hi_of(&dv[d]));
      }
      keep = keep && useful_absolute_fr(b, *region, dv, d);
    }
    if (keep && cont(env, b, region)) return 1;
  }
  return 0;
}

namespace {

bool decomposable(const geost_data *b, int o) { return b->dvar[(b->kdims + 1) * o].flags & DV_FIXED; }

/* Whether sbox s's hull meets region r in every dimension without lying inside it. */
bool straddles(const geost_data *b, const dvar *dv, int s, int r)
{
  int k = b->kdims;
  bool inside = true;
  for (int d = 0; d < k; d++) {
    int64_t t = b->shape.translation[s * k + d], l = b->shape.size[s * k + d];
    int64_t lo = lo_of(&dv[d]) + t, hi = hi_of(&dv[d]) + t + l - 1;
    if (hi < b->fr.origin[r * k + d] || lo > b->fr.end[r * k + d]) return false;
    inside = inside && lo >= b->fr.origin[r * k + d] && hi <= b->fr.end[r * k + d];
  }
  return !inside;
}

/* The overlap bounds of sbox s of object o with bounding box r (extents ext), per dimension,
 * the hull written into region slot h. */
void overlap_bounds(geost_data *b, int o, int s, int r, const int *ext, int h, int *mi, int *ma,
                    int *ea = nullptr, int *la = nullptr, int stride = 0)
{
  int k = b->kdims;
  const dvar *dv = origin_view(b, o, 0);
  put_hull(b, h, dv, s);
  for (int d = 0; d < k; d++) {
    mi[d] = min_intersection(b, r, h, ext, sizes_of(b, s), d);
    if (ea) { /* the part of the hull inside r, before the hull is reused as scratch */
      ea[d * stride] = std::max(b->fr.origin[r * k + d], b->fr.origin[h * k + d]);
      la[d * stride] = std::min(b->fr.end[r * k + d], b->fr.end[h * k + d]);
    }
    ma[d] = dv[d].flags & DV_FIXED ? mi[d] : sbox_max_intersection(b, dv, s, h, r, ext, d);
  }
}

/* The volume balance of the bounding boxes for sbox s of the object: 1 when stopped. */
int volume_balance(ORVALIS_API_STRUCT *env, geost_data *b, int object, int s, int *region, geost_cont cont)
{
  int k = b->kdims, R = *region;
  const dvar *dv = origin_view(b, object, 0);
  std::vector<int> ext(k), mi(k), ma(k), ov; /* ov: the items of the parallel conflict */
  for (int r = 4; r < b->fr.end_bb; r++) {
    if (!straddles(b, dv, s, r)) continue;
    int64_t V = 1;
    for (int d = 0; d < k; d++) {
      ext[d] = (int)std::min<int64_t>((int64_t)b->fr.end[r * k + d] + 1 - b->fr.origin[r * k + d], INT_MAX);
      V = sat_mul(V, ext[d]);
    }
    int64_t summin = 0, summax = 0;
    bool fail = false, par = b->opt & GEOST_PARCONFLICT;
    int c = 0, n = std::max(b->max_nsboxes, 1) * std::max(b->nobjects, 1);
    if (par && ov.empty()) ov.resize((size_t)(3 * k * n));
    for (int o2 = 0; o2 < b->nobjects && !fail; o2++) {
      if (!decomposable(b, o2)) continue;
      int sid2 = lo_of(shape_view(b, o2));
      for (int s2 = geost_first_sbox(b, sid2); s2 >= 0 && b->shape.sid[s2] == sid2 && !fail; s2++) {
        int *ea = par ? &ov[(size_t)(k * n + c)] : nullptr, *la = par ? &ov[(size_t)(2 * k * n + c)] : nullptr;
        overlap_bounds(b, o2, s2, r, ext.data(), R, mi.data(), ma.data(), ea, la, n);
        int64_t pmin = product(mi.data(), k);
        if (par && pmin > 0 && c < n) {
          for (int d = 0; d < k; d++) ov[(size_t)(d * n + c)] = mi[d];
          c++;
        }
        summin += pmin;
        summax += product(ma.data(), k);
        fail = summin > V;
      }
    }
    /* the compulsory overlaps must also fit apart inside r */
    if (!fail && par)
      fail = parallel_conflict(env, nullptr, k, c, 0, ov.data(), ov.data() + k * n, ov.data() + 2 * k * n, n,
                               &b->scratch[1]) != 0;
    if (fail || summax + b->slack < V) return gti_fail(env, b, object, region, cont);
    overlap_bounds(b, object, s, r, ext.data(), R, mi.data(), ma.data());
    int64_t minvol = product(mi.data(), k), maxvol = product(ma.data(), k);
    int z = 0, z0 = 0;
    for (int d = 0; d < k; d++)
      if (mi[d] == 0) z++, z0 = d;
    int64_t need = V - b->slack - summax + maxvol;
    if (minvol < need) {
      std::vector<int> lim(ma);
      if (z == 0) {
        for (int d = 0; d < k; d++) lim[d] = (int)std::min<int64_t>(ma[d], (need - 1) / (minvol / mi[d]));
      } else if (z == 1) {
        int64_t rest = 1;
        for (int d = 0; d < k; d++)
          if (d != z0) rest = sat_mul(rest, mi[d]);
        lim[z0] = (int)std::min<int64_t>(ma[z0], (need - 1) / rest);
      }
      if (gti_underfull_frs(env, b, r, dv, s, need, mi.data(), lim.data(), region, cont)) return 1;
    }
    int64_t room = V - summin + minvol;
    if (room < maxvol) {
      std::vector<int> lim(k);
      for (int d = 0; d < k; d++)
        lim[d] = (int)std::max<int64_t>(mi[d], room / (maxvol / ma[d]) + 1);
      if (gti_overfull_frs(env, b, r, dv, s, room, lim.data(), ma.data(), region, cont)) return 1;
    }
  }
  return 0;
}

}  // namespace

int absolute_fr(ORVALIS_API_STRUCT *env, geost_data *b, worker *, int object, int sid, int *region,
                geost_cont cont)
{
  int k = b->kdims;
  b->current_object = object;
  b->current_sid = sid;
  const dvar *dv = origin_view(b, object, 0);
  int first = geost_first_sbox(b, sid);
  auto sboxes = [&](auto f) {
    for (int s = first; s >= 0 && b->shape.sid[s] == sid; s++)
      if (f(s)) return 1;
    return 0;
  };
  /* 1. the bounding-box corners: above the upper one, then below the lower one */
  for (int upper = 1; upper >= 0; upper--)
    for (int d = 0; d < k; d++)
      if (sboxes([&](int s) {
            int64_t t = b->shape.translation[s * k + d], l = b->shape.size[s * k + d];
            put_origin_box(b, *region, dv);
            if (upper) put_range(b, *region, d, (int64_t)hi_of(&b->upper_dvar[d]) - t - l + 1, hi_of(&dv[d]));
            else put_range(b, *region, d, lo_of(&dv[d]), (int64_t)lo_of(&b->lower_dvar[d]) - t - 1);
            return useful_absolute_fr(b, *region, dv, d) && cont(env, b, region);
          }))
        return 1;
  /* 2. the other objects' relative regions, stored as they are */
  for (int r = b->fr.end_bb; r < b->fr.end_relative; r++) {
    if (b->object.oid[b->fr.obj[r]] == b->object.oid[object]) continue;
    sboxes([&](int s) {
      bool useful = true;
      for (int d = 0; d < k && useful; d++) {
        int64_t t = b->shape.translation[s * k + d], l = b->shape.size[s * k + d];
        put_range(b, *region, d, (int64_t)b->fr.origin[r * k + d] - t - l, (int64_t)b->fr.end[r * k + d] - t);
        useful = useful_absolute_fr(b, *region, dv, d);
      }
      if (useful) *region = store_region(env, b, *region, b->fr.obj[r], 0);
      return 0;
    });
  }
  /* 3. the points lexicographically below low and above up */
  if ((b->opt & GEOST_LEX) && (b->object.lex_prev[object] >= 0 || b->object.lex_next[object] >= 0)) {
    for (int above = 0; above < 2; above++) {
      const int *v = above ? &b->object.up[object * k] : &b->object.low[object * k];
      for (int i = 0; i < k; i++) {
        put_origin_box(b, *region, dv);
        for (int j = 0; j < i; j++) put_range(b, *region, j, v[j], v[j]);
        if (above) put_range(b, *region, i, (int64_t)v[i] + 1, hi_of(&dv[i]));
        else put_range(b, *region, i, lo_of(&dv[i]), (int64_t)v[i] - 1);
        if (useful_absolute_fr(b, *region, dv, i) && cont(env, b, region)) return 1;
      }
    }
  }
  /* 4. the volume balance of the bounding boxes */
  if ((b->opt & GEOST_TASK_INTERVALS) && decomposable(b, object) &&
      sboxes([&](int s) { return volume_balance(env, b, object, s, region, cont); }))
    return 1;
  /* 5. the known holes of pallet loading: the first sbox may cover none */
  if ((b->opt & GEOST_PALLET_LOADING) && first >= 0 && b->pl.nholes == b->pl.pslack) {
    for (int h = 0; h < b->pl.nholes; h++) {
      bool useful = true;
      put_origin_box(b, *region, dv);
      for (int d = 0; d < 2 && d < k && useful; d++) {
        int64_t v = (int64_t)b->pl.bborig[d] + b->pl.holes[2 * h + d];
        int64_t t = b->shape.translation[first * k + d], l = b->shape.size[first * k + d];
        put_range(b, *region, d, v - t - l + 1, v - t);
        useful = useful_absolute_fr(b, *region, dv, d);
      }
      if (useful && cont(env, b, region)) return 1;
    }
  }
  return 0;
}

/* ---- point tests ---- */

int object_is_ground(const geost_data *b, int object)
{
  for (int d = 0; d <= b->kdims; d++)
    if (!(b->dvar[(b->kdims + 1) * object + d].flags & DV_FIXED)) return 0;
  return 1;
}

int geost_decomposable(const geost_data *b, int object) { return decomposable(b, object); }

int point_in_witness(ORVALIS_API_STRUCT *, const geost_data *b, const int *p, int sid, const int *ori)
{
  int k = b->kdims;
  for (int s = geost_first_sbox(b, sid); s >= 0 && b->shape.sid[s] == sid; s++) {
    bool in = true;
    for (int d = 0; d < k && in; d++) {
      int64_t lo = (int64_t)ori[d] + b->shape.translation[s * k + d];
      in = lo <= p[d] && p[d] <= lo + b->shape.size[s * k + d] - 1;
    }
    if (in) return 1;
  }
  return 0;
}

namespace {

/* Whether object o counts as ground for the hole tests: active objects when fixed, the others
 * always; its origin is then its lower bounds and its shape the shape view's lower bound. */
bool counts_as_ground(const geost_data *b, int position)
{
  return position >= b->ntargets || object_is_ground(b, b->target[position]);
}

void lower_origin(const geost_data *b, int o, int *x)
{
  for (int d = 0; d < b->kdims; d++) x[d] = lo_of(origin_view(b, o, d));
}

/* Whether the box lo..hi (inclusive) meets an sbox of a ground object. */
bool box_meets_ground(const geost_data *b, const int64_t *lo, const int64_t *hi)
{
  int k = b->kdims;
  std::vector<int> x(k);
  for (int p = 0; p < b->nobjects; p++) {
    if (!counts_as_ground(b, p)) continue;
    int o = b->target[p], sid = lo_of(&b->dvar[(k + 1) * o]);
    lower_origin(b, o, x.data());
    for (int s = geost_first_sbox(b, sid); s >= 0 && b->shape.sid[s] == sid; s++) {
      bool meet = true;
      for (int d = 0; d < k && meet; d++) {
        int64_t a = (int64_t)x[d] + b->shape.translation[s * k + d];
        meet = a <= hi[d] && lo[d] <= a + b->shape.size[s * k + d] - 1;
      }
      if (meet) return true;
    }
  }
  return false;
}

}  // namespace

int point_in_ground_object(ORVALIS_API_STRUCT *env, const geost_data *b, const int *p, int exception)
{
  std::vector<int> x(b->kdims);
  for (int pos = 0; pos < b->nobjects; pos++) {
    int o = b->target[pos];
    if (o == exception || !counts_as_ground(b, pos)) continue;
    lower_origin(b, o, x.data());
    if (point_in_witness(env, b, p, lo_of(&b->dvar[(b->kdims + 1) * o]), x.data())) return 1;
  }
  return 0;
}

namespace {

/* Whether some active object of another identifier can cover cell c without meeting the
 * candidate (sid at p), inside bounding box 1 and clear of the ground objects. */
bool other_covers(ORVALIS_API_STRUCT *env, geost_data *b, int object, int sid, const int *p, const int *c)
{
  int k = b->kdims;
  std::vector<int64_t> lo(k), hi(k);
  std::vector<int> q(k);
  for (int pos = 0; pos < b->ntargets; pos++) {
    int o2 = b->target[pos];
    if (b->object.oid[o2] == b->object.oid[object]) continue;
    if (each_sbox(b, o2, [&](int s2) {
          /* every offset q (1 .. size) of s2 over c */
          for (int d = 0; d < k; d++) q[d] = 1;
          for (;;) {
            bool ok = true;
            for (int d = 0; d < k && ok; d++) {
              int64_t y = (int64_t)c[d] + 1 - q[d] - b->shape.translation[s2 * k + d];
              lo[d] = y + b->shape.translation[s2 * k + d];
              hi[d] = lo[d] + b->shape.size[s2 * k + d] - 1;
              ok = SmallFits(y) && dvar_contains_value_t(origin_view(b, o2, d), MakeSmall((int32_t)y)) &&
                   lo[d] >= b->fr.origin[k + d] && hi[d] <= b->fr.end[k + d];
            }
            if (ok) { /* clear of the candidate's sboxes and of the ground objects */
              for (int s = geost_first_sbox(b, sid); s >= 0 && b->shape.sid[s] == sid && ok; s++) {
                bool meet = true;
                for (int d = 0; d < k && meet; d++) {
                  int64_t a = (int64_t)p[d] + b->shape.translation[s * k + d];
                  meet = a <= hi[d] && lo[d] <= a + b->shape.size[s * k + d] - 1;
                }
                ok = !meet;
              }
              if (ok && !box_meets_ground(b, lo.data(), hi.data())) return true;
            }
            int d = 0;
            while (d < k && ++q[d] > b->shape.size[s2 * k + d]) q[d++] = 1;
            if (d == k) return false;
          }
        }))
      return true;
  }
  return false;
}

/* The polymorphic hole test: whether some cell of the shell around an sbox of sid placed at p,
 * inside bounding box 1, can be covered by nothing. */
bool polymorphic_hole(ORVALIS_API_STRUCT *env, geost_data *b, int object, int sid, const int *p)
{
  int k = b->kdims;
  std::vector<int> lo(k), hi(k), c(k);
  for (int s = geost_first_sbox(b, sid); s >= 0 && b->shape.sid[s] == sid; s++) {
    bool fits = true;
    for (int d = 0; d < k && fits; d++) {
      int64_t a = (int64_t)p[d] + b->shape.translation[s * k + d], e = a + b->shape.size[s * k + d] - 1;
      /* the shell clipped to bounding box 1 */
      int64_t l = std::max<int64_t>(a - 1, b->fr.origin[k + d]), h = std::min<int64_t>(e + 1, b->fr.end[k + d]);
      fits = l <= h;
      lo[d] = (int)l;
      hi[d] = (int)h;
    }
    if (!fits) continue;
    c = lo;
    for (;;) {
      bool shell = false;
      for (int d = 0; d < k && !shell; d++) {
        int64_t a = (int64_t)p[d] + b->shape.translation[s * k + d];
        shell = c[d] == a - 1 || c[d] == a + b->shape.size[s * k + d];
      }
      if (shell && !point_in_ground_object(env, b, c.data(), object) &&
          !point_in_witness(env, b, c.data(), sid, p) && !other_covers(env, b, object, sid, p, c.data()))
        return true;
      int d = k - 1;
      while (d >= 0 && c[d] == hi[d]) c[d] = lo[d], d--;
      if (d < 0) break;
      c[d]++;
    }
  }
  return false;
}

}  // namespace

/* ---- rule procedures ---- */

namespace {

/* The operand count of each opcode; 15 takes 1 + 2k. */
constexpr int op_operands[22] = {2, 3, 3, 2, 4, 4, 3, 4, 4, 3, 3, 3, 3, 3, 3, -1, 2, 2, 3, 1, 1, 3};

int operand_count(int op, int k) { return op == 15 ? 1 + 2 * k : op_operands[op]; }

/* The roles of an instruction's operands: register, object, sbox number, dimension, constant,
 * jump target. */
enum role : char { REG = 'r', OBJ = 'o', BOX = 'n', DIM = 'j', CON = 'c', JMP = 'L' };
const char *op_roles[22] = {"rc",  "roj", "roj", "rj",  "ronj", "ronj", "rnj", "ronj", "ronj", "rnj", "rrr",
                            "rrr", "rrc", "rrc", "rrc", "",     "rr",   "rr",  "rrr",  "L",    "L",   "rrr"};

}  // namespace

int geost_proc_valid(const geost_data *b, const geost_proc *proc)
{
  int k = b->kdims, n = proc->ncode;
  if (proc->nreg < 2 || proc->nstack < 0 || n < 0 || proc->dest < 0 || proc->dest >= proc->nreg) return 0;
  if (n > 0 && !proc->code) return 0;
  std::vector<char> start((size_t)n + 1, 0);
  for (int pc = 0; pc < n;) {
    int op = proc->code[pc];
    if (op < 0 || op > 21) return 0;
    int m = operand_count(op, k);
    if (m > n - pc - 1) return 0;
    start[pc] = 1;
    const int32_t *a = &proc->code[pc + 1];
    for (int i = 0; i < m; i++) {
      char r = op == 15 ? (char)REG : op_roles[op][i];
      int32_t v = a[i];
      bool ok = r == CON || r == JMP ? true
              : r == REG ? v >= 0 && v < proc->nreg
              : r == OBJ ? v >= 0 && v < b->nobjects
              : r == BOX ? v >= 0 && v < b->max_nsboxes
              : v >= 0 && v < k;
      if (!ok) return 0;
    }
    if ((op == 13 || op == 14) && a[2] == 0) return 0;
    pc += 1 + m;
  }
  start[n] = 1;
  /* jump targets lie ahead (so every run ends): 19 names an instruction start (or the end),
   * 20 names a join, a 21 */
  for (int pc = 0; pc < n; pc += 1 + operand_count(proc->code[pc], k)) {
    int op = proc->code[pc], L = proc->code[pc + 1];
    if (op == 19 && (L <= pc || L > n || !start[L])) return 0;
    if (op == 20 && (L <= pc || L >= n || !start[L] || proc->code[L] != 21)) return 0;
  }
  return 1;
}

namespace {

/* The smallest (largest with big) translation or size of sbox number nb over the shapes of
 * object o's domain; false when some shape lacks that sbox. */
bool sbox_extreme(const geost_data *b, int o, int nb, int j, bool size, bool big, int64_t *out)
{
  int k = b->kdims;
  bool any = false;
  bool missing = each_sid(&b->dvar[(k + 1) * o], [&](int sid) {
    int f = geost_first_sbox(b, sid);
    if (f < 0 || f + nb >= b->nsboxes_posted || b->shape.sid[f + nb] != sid) return true;
    int64_t v = size ? b->shape.size[(f + nb) * k + j] : b->shape.translation[(f + nb) * k + j];
    *out = !any ? v : big ? std::max(*out, v) : std::min(*out, v);
    any = true;
    return false;
  });
  return any && !missing;
}

}  // namespace

int geost_run_proc(ORVALIS_API_STRUCT *env, geost_data *b, int object, int sid, const int *p,
                   const geost_proc *proc, int *region)
{
  ORVALIS_API_STRUCT *api = env;
  int k = b->kdims, n = proc->ncode, top = b->fr.top_of_stack, counter = top, sp = 0;
  auto *mem = (int32_t *)QX_malloc((size_t)(2 * proc->nstack + proc->nreg) * sizeof(int32_t) + 1);
  if (!mem) qx_memory_fault("geost rules", QX_SPACE_FOREIGN);
  int32_t *R = mem + 2 * proc->nstack, *stack = mem;
  for (int i = 0; i < proc->nreg; i++) R[i] = 0;
  R[0] = (int32_t)0x80000001;
  R[1] = 0x7fffffff;
  const int32_t *code = proc->code;
  int first = geost_first_sbox(b, sid), result = 0, pc = 0;
  const dvar *dv = origin_view(b, object, 0);
  auto set = [&](int d, int64_t v) {
    if (v < INT32_MIN || v > INT32_MAX) return false; /* no wrap: the branch fails */
    R[d] = (int32_t)v;
    return true;
  };
  auto new_region = [&]() {
    if (counter + 1 >= b->nregions) expand_regions(env, b);
    return counter++;
  };
  auto slot_ok = [&](int32_t r) { return r >= top && r < counter; };
  auto own_sbox = [&](int nb) { return first >= 0 && first + nb < b->nsboxes_posted && b->shape.sid[first + nb] == sid; };
  for (;;) {
    if (pc >= n) {
      if (slot_ok(R[proc->dest])) {
        *region = R[proc->dest];
        result = 1;
        break;
      }
      pc = -1;
    }
    bool ok = pc >= 0;
    int op = ok ? code[pc] : -1;
    const int32_t *a = ok ? &code[pc + 1] : nullptr;
    int next = ok && op >= 0 && op <= 21 ? pc + 1 + operand_count(op, k) : -1;
    if (next < 0 || next > n) ok = false;
    int64_t v = 0;
    if (ok) switch (op) {
      case 0: ok = set(a[0], a[1]); break;
      case 1: ok = set(a[0], lo_of(origin_view(b, a[1], a[2]))); break;
      case 2: ok = set(a[0], hi_of(origin_view(b, a[1], a[2]))); break;
      case 3: ok = set(a[0], p[a[1]]); break;
      case 4: case 5: case 7: case 8:
        ok = sbox_extreme(b, a[1], a[2], a[3], op <= 5, op == 5 || op == 8, &v) && set(a[0], v);
        break;
      case 6: case 9:
        ok = own_sbox(a[1]) &&
             set(a[0], op == 6 ? b->shape.size[(first + a[1]) * k + a[2]] : b->shape.translation[(first + a[1]) * k + a[2]]);
        break;
      case 10: ok = set(a[0], (int64_t)R[a[1]] + R[a[2]]); break;
      case 11: ok = set(a[0], (int64_t)R[a[1]] - R[a[2]]); break;
      case 12: ok = set(a[0], (int64_t)R[a[1]] * a[2]); break;
      case 13: ok = a[2] != 0 && set(a[0], (int64_t)R[a[1]] / a[2]); break;
      case 14: ok = a[2] != 0 && set(a[0], ((int64_t)R[a[1]] - 1) / a[2] + 1); break;
      case 15: {
        for (int j = 0; j < k && ok; j++) ok = R[a[1 + 2 * j]] <= p[j] && p[j] <= R[a[2 + 2 * j]];
        if (!ok) break;
        int r = new_region();
        for (int j = 0; j < k; j++) {
          b->fr.origin[r * k + j] = std::max(R[a[1 + 2 * j]], lo_of(&dv[j]));
          b->fr.end[r * k + j] = std::min(R[a[2 + 2 * j]], hi_of(&dv[j]));
        }
        R[a[0]] = r;
        break;
      }
      case 16: case 17: {
        ok = op == 16 ? R[a[1]] < 0 : R[a[1]] <= 0;
        if (!ok) break;
        int r = new_region();
        put_origin_box(b, r, dv);
        R[a[0]] = r;
        break;
      }
      case 18: {
        ok = slot_ok(R[a[1]]) && slot_ok(R[a[2]]);
        if (!ok) break;
        int r = new_region(), x = R[a[1]], y = R[a[2]];
        for (int j = 0; j < k; j++) {
          b->fr.origin[r * k + j] = std::max(b->fr.origin[x * k + j], b->fr.origin[y * k + j]);
          b->fr.end[r * k + j] = std::min(b->fr.end[x * k + j], b->fr.end[y * k + j]);
        }
        R[a[0]] = r;
        break;
      }
      case 19:
        ok = sp < proc->nstack && a[0] > pc;
        if (ok) stack[2 * sp] = a[0], stack[2 * sp + 1] = counter, sp++;
        break;
      case 20: {
        int L = a[0];
        ok = sp > 0 && L > pc && L + 3 < n && code[L] == 21;
        for (int i = 1; i <= 2 && ok; i++) ok = code[L + i] >= 0 && code[L + i] < proc->nreg;
        if (!ok) break;
        sp--;
        R[code[L + 1]] = R[code[L + 2]];
        next = L + 4;
        break;
      }
      case 21: R[a[0]] = R[a[2]]; break;
      default: ok = false;
      }
    if (ok) {
      pc = next;
      continue;
    }
    /* backtrack */
    if (sp == 0) break;
    sp--;
    pc = stack[2 * sp];
    counter = stack[2 * sp + 1];
    if (pc < 0 || pc > n) break;
  }
  QX_free(mem);
  return result;
}

/* ---- the point queries ---- */

int point_in_some_fr(ORVALIS_API_STRUCT *env, geost_data *b, worker *w, int object, int sid, int opt,
                     const int *p, int *region)
{
  int k = b->kdims, lo = b->fr.end_relative, hi = b->fr.end_absolute, n = hi - lo;
  int r = b->fr.round_robin;
  if (r < lo || r >= hi) r = lo;
  for (int i = 0; i < n; i++, r = r + 1 == hi ? lo : r + 1) {
    b->query_count++;
    bool in = true;
    for (int d = 0; d < k && in; d++) in = b->fr.origin[r * k + d] <= p[d] && p[d] <= b->fr.end[r * k + d];
    if (in) {
      *region = b->fr.round_robin = r;
      return 1;
    }
  }
  (void)w; /* the vis-a-vis hole test comes with the sweep's hole test */
  if (opt & 2 && polymorphic_hole(env, b, object, sid, p)) {
    int t = b->fr.top_of_stack;
    for (int d = 0; d < k; d++) put_range(b, t, d, p[d], p[d]);
    *region = t;
    return 1;
  }
  if (b->opt & GEOST_RULES)
    for (const geost_proc *proc = b->object.proc[object]; proc; proc = proc->next)
      if (geost_run_proc(env, b, object, sid, p, proc, region)) return 1;
  return 0;
}

int inside_forbidden(ORVALIS_API_STRUCT *env, geost_data *b, worker *w, const int *p, int object, int sid,
                     int opt, int *region)
{
  int k = b->kdims, t = b->fr.top_of_stack;
  const dvar *dv = origin_view(b, object, 0);
  for (int d = 0; d < k; d++) {
    if (SmallFits(p[d]) && dvar_contains_value_t(&dv[d], MakeSmall(p[d]))) continue;
    put_origin_box(b, t, dv);
    /* the domain's gap around p[d] */
    int64_t below = (int32_t)0x80000002, above = 0x7ffffffe;
    DVITER it;
    dviter_init(&it, &dv[d]);
    while (!dviter_empty(&it)) {
      int32_t a, e;
      dviter_next_interval_l(&it, &a, &e);
      if (e < p[d]) below = (int64_t)e + 1;
      else if (a > p[d]) {
        above = (int64_t)a - 1;
        break;
      }
    }
    put_range(b, t, d, below, above);
    *region = t;
    return 1;
  }
  return point_in_some_fr(env, b, w, object, sid, opt, p, region);
}

int valid_witness(ORVALIS_API_STRUCT *env, geost_data *b, worker *w, int object, int sid,
                  int enable_hole_polymorphic, const int *p)
{
  int region;
  for (int d = 0; d < b->kdims; d++)
    if (!SmallFits(p[d]) || !dvar_contains_value_t(origin_view(b, object, d), MakeSmall(p[d]))) return 0;
  return !point_in_some_fr(env, b, w, object, sid, enable_hole_polymorphic ? 2 : 0, p, &region);
}

int inside_forbidden_cont(ORVALIS_API_STRUCT *, geost_data *, int *) { return 0; }

int lex_le(int k, const int *x, const int *y, int tie1, int tie2, int d)
{
  for (int i = 0; i < k; i++) {
    int j = (d + i) % k;
    if (x[j] != y[j]) return x[j] < y[j];
  }
  return tie1 <= tie2;
}

/* ---- task operations and filter callbacks ---- */

namespace {

constexpr int32_t NO_HOLE_BOUND = 0x3fffffff;

geost_data *block_of(ORVALIS_API_STRUCT *env) { return (geost_data *)fd_state(env)->gdata; }

struct task_view {
  geost_data *b;
  int o;
  int32_t t, L;
  dvar *X;
};

task_view view_of(ORVALIS_API_STRUCT *env, const task *tk)
{
  geost_data *b = block_of(env);
  int k = b->kdims, d = b->curdim, s = tk->part;
  return {b, tk->id, b->shape.translation[s * k + d], b->shape.size[s * k + d],
          &b->dvar[(k + 1) * tk->id + 1 + d]};
}

/* A bound shifted into the small-integer range: beyond it no domain reaches anyway. */
TAGGED small_bound(int64_t v) { return MakeSmall((int32_t)std::clamp<int64_t>(v, -0x3fffffff, 0x3fffffff)); }

void mark_pruned(geost_data *b, int o) { b->object.flags[o] |= 3; }

void window_from_domain(task *tk, const task_view &v)
{
  tk->est = v.t + lo_of(v.X);
  tk->lct = tk->lctmax = v.t + v.L + hi_of(v.X);
}

}  // namespace

int geost_propagate_method(ORVALIS_API_STRUCT *env, task *tk)
{
  task_view v = view_of(env, tk);
  int mask = dvar_fix_interval_t(v.X, small_bound((int64_t)tk->est - v.t), small_bound((int64_t)tk->lctmax - v.t - v.L));
  if (mask < 0) return 2;
  if (mask == 0) return 0;
  window_from_domain(tk, v);
  mark_pruned(v.b, v.o);
  return 1;
}

void geost_refresh_method(ORVALIS_API_STRUCT *env, task *tk, worker *w)
{
  dvar_set(env, view_of(env, tk).X, w);
}

TAGGED geost_set_method(ORVALIS_API_STRUCT *env, task *tk, worker *w)
{
  task_view v = view_of(env, tk);
  TAGGED set = dvar_set(env, v.X, w);
  return v.t ? fd_lsh(env, w, set, MakeSmall(v.t)) : set;
}

int geost_prune_interval_method(ORVALIS_API_STRUCT *env, task *tk, int32_t min, int32_t max, worker *w)
{
  task_view v = view_of(env, tk);
  int mask = dvar_prune_interval_t(env, v.X, small_bound((int64_t)min - v.t), small_bound((int64_t)max - v.t), w);
  if (mask < 0) return 2;
  if (mask == 0) return 0;
  mark_pruned(v.b, v.o);
  return 1;
}

int geost_prune_set_method(ORVALIS_API_STRUCT *env, task *tk, TAGGED set, worker *w)
{
  task_view v = view_of(env, tk);
  if (v.t) set = fd_lsh(env, w, set, MakeSmall(-v.t));
  int mask = dvar_prune_set(env, v.X, set, w);
  if (mask < 0) return 2;
  if (mask == 0) return 0;
  if (mask & FD_MASK_MIN) window_from_domain(tk, v);
  mark_pruned(v.b, v.o);
  return 1;
}

int geost_is_interval_method(ORVALIS_API_STRUCT *env, task *tk)
{
  if ((int64_t)tk->est + tk->dur == tk->lctmax) return 1;
  return (view_of(env, tk).X->flags & DV_INTERVAL) != 0;
}

namespace {

int32_t hole_lookup(geost_data *b, int32_t **tables, int dim, int64_t sigma, int epsilon)
{
  if (epsilon <= 0 || epsilon > b->maxeps[dim] || !b->lh_tables[dim] || !tables[dim]) return NO_HOLE_BOUND;
  int64_t i = epsilon - 1;
  if ((b->opt & GEOST_LONGEST_HOLE_ALL) == GEOST_LONGEST_HOLE_ALL) {
    if (sigma < 0 || sigma > b->slack) return NO_HOLE_BOUND; /* no row for that slack */
    i += sigma * b->maxeps[dim];
  }
  return tables[dim][i];
}

}  // namespace

int32_t get_longest_hole(ORVALIS_API_STRUCT *, geost_data *b, int dim, int64_t sigma, int epsilon, int closed)
{
  return hole_lookup(b, closed ? b->lch_tables : b->lh_tables, dim, sigma, epsilon);
}

int32_t get_longest_hole_max(ORVALIS_API_STRUCT *, geost_data *b, int dim, int64_t sigma, int epsilon)
{
  return hole_lookup(b, b->lh_tables_max, dim, sigma, epsilon);
}

int64_t geost_lh_method(ORVALIS_API_STRUCT *env, int64_t sigma, int epsilon, int closed)
{
  geost_data *b = block_of(env);
  if (!(b->opt & GEOST_LONGEST_HOLE)) return NO_HOLE_BOUND;
  return get_longest_hole(env, b, b->curdim, sigma, epsilon, closed);
}

int64_t geost_lh_dummy(ORVALIS_API_STRUCT *, int64_t, int, int) { return NO_HOLE_BOUND; }

uint32_t geost_dp_key(const int32_t *support, int n, int32_t lslack, int32_t rslack, int32_t sslack)
{
  uint32_t a[3] = {(uint32_t)lslack, (uint32_t)rslack, (uint32_t)sslack};
  for (int i = 0; i < n; i++) a[i % 3] += (uint32_t)(support[i] >> 8);
  uint32_t key = (((a[2] << 7) + (a[2] ^ a[1])) << 7) + (a[2] ^ a[1] ^ a[0]);
  /* 0 marks an empty node of the engine's tables: a record filed under it would be lost */
  return key ? key : 0x5a5a5a5a;
}

int geost_dp_hash_method(ORVALIS_API_STRUCT *env, int msg, int32_t *support, int n, int32_t lslack,
                         int32_t rslack, int32_t sslack)
{
  ORVALIS_API_STRUCT *api = env;
  geost_data *b = block_of(env);
  sw_on_key **table = &b->dp_hash[b->curdim];
  TAGGED key = (TAGGED)geost_dp_key(support, n, lslack, rslack, sslack);
  if (msg == GEOST_DP_LOOKUP) {
    if (!*table) return 0;
    sw_on_key_node *node = incore_gethash(*table, key);
    if (!node || node->key != key) return 0;
    for (geost_dp *r = (geost_dp *)node->value; r; r = r->next) {
      if (r->lslack != lslack || r->rslack != rslack || r->sslack != sslack || r->n != n) continue;
      bool same = true;
      for (int i = 0; i < n && same; i++) same = (r->entries()[i] >> 8) == ((uint32_t)support[i] >> 8 & 0xff);
      if (!same) continue;
      for (int i = 0; i < n; i++) support[i] = r->entries()[i];
      return 1;
    }
    return 0;
  }
  if (msg != GEOST_DP_STORE || n < 0) return 0;
  if (!*table) *table = new_switch_on_key(8, 0);
  sw_on_key_node *node = dyn_puthash(table, key);
  auto *r = (geost_dp *)qx_checkalloc(sizeof(geost_dp) + 2 * (size_t)n, QX_SPACE_SOLVER);
  r->lslack = lslack;
  r->rslack = rslack;
  r->sslack = sslack;
  r->n = n;
  for (int i = 0; i < n; i++) r->entries()[i] = (uint16_t)support[i];
  r->next = (geost_dp *)node->value;
  node->value = (TAGGED)r;
  return 0;
}

void dispose_dp_hash(ORVALIS_API_STRUCT *env, geost_data *b)
{
  ORVALIS_API_STRUCT *api = env;
  for (int d = 0; d < b->kdims; d++) {
    sw_on_key *table = b->dp_hash[d];
    if (!table) continue;
    b->dp_hash[d] = nullptr;
    for (uint32_t i = 0; i < sw_on_key_slots(table); i++) {
      if (table->node[i].key == 0) continue;
      for (geost_dp *r = (geost_dp *)table->node[i].value, *next; r; r = next) {
        next = r->next;
        qx_checkdealloc(r, sizeof(geost_dp) + 2 * (size_t)r->n, QX_SPACE_SOLVER);
      }
    }
    dispose_switch_on_key(table);
  }
}

/* ---- hole-avoiding pruning and parallel conflict ---- */

namespace {

/* The shared slack search reads the longest holes of the dimension in curdim. */
int64_t hole_of_curdim(ORVALIS_API_STRUCT *env, int64_t sigma, int eps, int closed)
{
  geost_data *b = block_of(env);
  return get_longest_hole(env, b, b->curdim, sigma, eps, closed);
}

}  // namespace

int64_t get_minloss(ORVALIS_API_STRUCT *env, geost_data *b, int64_t len, int64_t low, int64_t up, int eps,
                    int64_t sigma, int closed, int d)
{
  int saved = b->curdim;
  void *gdata = fd_state(env)->gdata;
  fd_state(env)->gdata = b;
  b->curdim = d;
  int64_t r = get_minloss(env, len, low, up, eps, sigma, hole_of_curdim, closed);
  b->curdim = saved;
  fd_state(env)->gdata = gdata;
  return r;
}

int pl_loss(int x, const int *islin)
{
  if (islin[x]) return 0;
  int y = x - 1;
  while (y >= 0 && !islin[y]) y--;
  return x - y;
}

int pl_reduce_holes2a(int nh, int p, int q, int *holes, const int *islin)
{
  int kept = 0, last_x = -1;
  for (int i = 0; i < nh; i++) {
    int x = holes[2 * i], y = holes[2 * i + 1];
    if (x != last_x && !islin[p * y + q]) continue;
    holes[2 * kept] = x;
    holes[2 * kept + 1] = y;
    kept++;
    last_x = x;
  }
  return kept;
}

namespace {

/* The slice test of two dimensions: items by size in p, packed against the room of p. */
bool slice_conflict(int n, int p, const int32_t *sizes, const int32_t *earliest, const int32_t *latest, int rowlen)
{
  int q = 1 - p;
  std::vector<int> order(n);
  for (int i = 0; i < n; i++) order[i] = i;
  std::sort(order.begin(), order.end(), [&](int x, int y) {
    return sizes[p * rowlen + x] != sizes[p * rowlen + y] ? sizes[p * rowlen + x] < sizes[p * rowlen + y] : x < y;
  });
  std::vector<int64_t> A(n), B(n), Wd(n), P(n + 1, 0);
  int64_t lo = INT64_MAX, hi = INT64_MIN, plo = INT64_MAX, phi = INT64_MIN;
  for (int i = n - 1; i >= 0; i--) {
    int it = order[i];
    A[i] = sizes[p * rowlen + it];
    B[i] = sizes[q * rowlen + it];
    lo = std::min<int64_t>(lo, earliest[p * rowlen + it]);
    hi = std::max<int64_t>(hi, latest[p * rowlen + it]);
    Wd[i] = hi + 1 - lo;
    P[i] = P[i + 1] + B[i];
    plo = std::min<int64_t>(plo, earliest[q * rowlen + it]);
    phi = std::max<int64_t>(phi, latest[q * rowlen + it]);
  }
  int64_t H = phi + 1 - plo, sum = 0;
  int e = 0, c = 0, j = n - 1;
  for (int s = 0; s < n; s++) {
    while (sum <= Wd[s] && e < n) sum += A[e++], c++;
    if (c > 1 && sum > Wd[s]) {
      while (j >= e && A[s] + A[j] > Wd[s]) j--;
      int64_t cf = P[s], h = H;
      if (j + 1 < n && A[s] + A[j + 1] > Wd[s]) cf = P[s] - P[j + 1], h = H - P[j + 1];
      if (h * (c - 1) < cf) return true;
      if (c != 2 && sum - A[e - 2] > Wd[s] && (c - 2) * h < cf - B[e - 2]) return true;
    }
    sum -= A[s];
    c--;
  }
  return false;
}

}  // namespace

int parallel_conflict(ORVALIS_API_STRUCT *, worker *, int k, int n, int heavy_check, const int32_t *sizes,
                      const int32_t *earliest, const int32_t *latest, int rowlen, size_mem *)
{
  if (n < 1) return 0;
  /* 1. volume order, and per dimension the size order */
  std::vector<int64_t> vol(n, 1);
  for (int i = 0; i < n; i++)
    for (int j = 0; j < k; j++) vol[i] *= std::max(sizes[j * rowlen + i], 0);
  std::vector<int> byvol(n);
  for (int i = 0; i < n; i++) byvol[i] = i;
  std::sort(byvol.begin(), byvol.end(), [&](int x, int y) { return vol[x] != vol[y] ? vol[x] < vol[y] : x < y; });
  std::vector<std::vector<int>> bysize(k, std::vector<int>(n));
  for (int j = 0; j < k; j++) {
    for (int i = 0; i < n; i++) bysize[j][i] = i;
    std::sort(bysize[j].begin(), bysize[j].end(), [&](int x, int y) {
      return sizes[j * rowlen + x] != sizes[j * rowlen + y] ? sizes[j * rowlen + x] < sizes[j * rowlen + y] : x < y;
    });
  }
  /* 2. the room of the items from volume position q on: the hull of their windows */
  std::vector<std::vector<int64_t>> avail(k, std::vector<int64_t>(n));
  for (int j = 0; j < k; j++) {
    int64_t lo = INT64_MAX, hi = INT64_MIN;
    for (int q = n - 1; q >= 0; q--) {
      lo = std::min<int64_t>(lo, earliest[j * rowlen + byvol[q]]);
      hi = std::max<int64_t>(hi, latest[j * rowlen + byvol[q]]);
      avail[j][q] = hi + 1 - lo;
    }
  }
  if (k == 2 && (slice_conflict(n, 0, sizes, earliest, latest, rowlen) ||
                 slice_conflict(n, 1, sizes, earliest, latest, rowlen)))
    return 1;
  /* 3. the items side by side in every dimension, the smallest set aside one by one */
  std::vector<char> aside(n, 0);
  std::vector<std::vector<char>> taken(k, std::vector<char>(n));
  std::vector<int64_t> u(k);
  for (int q = 0; q < n; q++) {
    int64_t P = 1;
    for (int j = 0; j < k; j++) {
      int64_t sum = 0, c = 0, last = 0;
      bool over = false;
      std::fill(taken[j].begin(), taken[j].end(), 0);
      for (int i : bysize[j]) {
        if (aside[i]) continue;
        int64_t sz = sizes[j * rowlen + i];
        sum += sz;
        c++;
        taken[j][i] = 1;
        if (sz > 0) last = sz;
        if (sum > avail[j][q]) {
          c--;
          over = true;
          break;
        }
      }
      u[j] = over ? std::max(last, sum + 1 - avail[j][q]) : 0;
      P = sat_mul(P, c);
    }
    if (P < n - q) return 1;
    if (heavy_check) {
      int64_t total = 0;
      for (int i = 0; i < n; i++) {
        if (aside[i]) continue;
        int64_t each = 1;
        for (int j = 0; j < k; j++)
          if (!taken[j][i] && u[j] != 0) each = sat_mul(each, sizes[j * rowlen + i] / u[j]);
        total += each;
      }
      if (total > P) return 1;
    }
    aside[byvol[q]] = 1;
  }
  return 0;
}

namespace {

/* The sboxes of every object's shape (its shape view's lower bound), in target order. */
template <typename F>
void each_placed_sbox(const geost_data *b, F f)
{
  for (int p = 0; p < b->nobjects; p++) {
    int o = b->target[p], sid = lo_of(&b->dvar[(b->kdims + 1) * o]);
    for (int s = geost_first_sbox(b, sid); s >= 0 && b->shape.sid[s] == sid; s++) f(o, s);
  }
}

bool holds(const dvar *d, int64_t v) { return SmallFits(v) && dvar_contains_value_t(d, MakeSmall((int32_t)v)); }

}  // namespace

int init_avoid_holes_border(ORVALIS_API_STRUCT *env, geost_data *b, worker *w, int leftp)
{
  int k = b->kdims, mask = 0;
  for (int d = 0; d < k; d++) {
    int64_t org = b->fr.origin[k + d], end = b->fr.end[k + d], E = end + 1 - org;
    for (;;) {
      /* 1. the shortest sbox flush against the border, if unique */
      int64_t L0 = INT64_MAX, flush = 0;
      int count = 0, o0 = -1, s0 = -1;
      each_placed_sbox(b, [&](int o, int s) {
        int64_t t = b->shape.translation[s * k + d], L = b->shape.size[s * k + d];
        int64_t v = leftp ? org - t : end + 1 - L - t;
        if (!holds(origin_view(b, o, d), v)) return;
        if (L < L0) L0 = L, count = 0, o0 = o, s0 = s, flush = v;
        if (L == L0) count++;
      });
      if (count != 1 || L0 >= E) break;
      /* 2. the neighbours right after it, no thicker than it, must make up its cross-section */
      int64_t h = b->shape.volume[s0] / L0, sum = 0;
      each_placed_sbox(b, [&](int o1, int s1) {
        if ((o1 == o0 && s1 == s0) || sum >= h) return;
        int64_t t1 = b->shape.translation[s1 * k + d], L1 = b->shape.size[s1 * k + d];
        int64_t v = leftp ? org + L0 - t1 : end + 1 - L0 - L1 - t1;
        int64_t h1 = b->shape.volume[s1] / L1;
        if (holds(origin_view(b, o1, d), v) && h1 <= h) sum += h1;
      });
      if (sum >= h) break;
      /* 3. the flush position would leave a hole beside the sbox */
      int m = dvar_prune_interval_t(env, &b->dvar[(k + 1) * o0 + 1 + d], MakeSmall((int32_t)flush),
                                    MakeSmall((int32_t)flush), w);
      if (m < 0) return m;
      mask |= m;
    }
  }
  return mask;
}

namespace {

int64_t extent_of_bb(const geost_data *b, int d) { return (int64_t)b->fr.end[b->kdims + d] + 1 - b->fr.origin[b->kdims + d]; }

/* The least slack at which the longest closed hole across bounding box 1 in dimension d, as
 * high as the box is in the other dimension, reaches the box less a gap of length e. */
int64_t border_minloss(ORVALIS_API_STRUCT *env, geost_data *b, int64_t e, int d)
{
  int64_t len = 1 - e + b->fr.end[b->kdims + d] - b->fr.origin[b->kdims + d];
  return get_minloss(env, b, len, 0, b->slack, (int)extent_of_bb(b, d ^ 1), b->slack, 1, d);
}

}  // namespace

int64_t get_max_penetration(ORVALIS_API_STRUCT *env, geost_data *b, int64_t size_interval, int64_t first,
                            int64_t last, int64_t len, int64_t hmax, int object, int sbox, int d)
{
  if (len > size_interval) return 0;
  if (!(b->opt & GEOST_LONGEST_HOLE)) return hmax;
  int k = b->kdims;
  int64_t t = b->shape.translation[sbox * k + d];
  int64_t s = b->slack - border_minloss(env, b, size_interval, d);
  if (len < size_interval) hmax = std::min<int64_t>(hmax, get_longest_hole_max(env, b, d ^ 1, s, (int)(size_interval - len)));
  int64_t best = 0;
  const dvar *X = origin_view(b, object, d);
  for (int64_t v = first - t; v + t <= last + 1 - len && best < hmax; v++) {
    if (!holds(X, v)) continue;
    int64_t a = v + t - first;
    int64_t h1 = a > 0 ? get_longest_hole(env, b, d ^ 1, s, (int)a, 0) : hmax;
    int64_t h2 = a != size_interval - len ? get_longest_hole(env, b, d ^ 1, s, (int)(size_interval - len - a), 0) : hmax;
    best = std::max(best, std::min(h1, h2));
  }
  return std::min(hmax, best);
}

int compute_max_surf_in_gap_before_task(ORVALIS_API_STRUCT *env, geost_data *b, worker *w, int64_t first,
                                        int64_t last, int d, int object, int s, int64_t e, int32_t val1,
                                        int32_t val2, int64_t surf)
{
  int k = b->kdims, dx = d ^ 1;
  int64_t Hs = b->shape.size[s * k + dx], total = b->slack, m1 = 0, m2 = 0, half = e / 2;
  bool lh = b->opt & GEOST_LONGEST_HOLE;
  int64_t minloss = !(first <= last) && lh ? border_minloss(env, b, e, d) : 0;
  for (int i = 0; i < b->nobjects; i++) {
    int o1 = b->byarea[i], sid = lo_of(shape_view(b, o1));
    for (int s1 = geost_first_sbox(b, sid); s1 >= 0 && b->shape.sid[s1] == sid; s1++) {
      if (o1 == object && s1 == s) continue;
      int64_t L1 = b->shape.size[s1 * k + d], H1 = b->shape.size[s1 * k + dx], p;
      if (L1 > e) continue;
      if (first <= last) {
        p = get_max_penetration(env, b, e, first, last, L1, std::min(H1, Hs), o1, s1, d);
      } else if (lh) {
        p = L1 == e ? Hs : get_longest_hole_max(env, b, dx, b->slack - minloss, (int)(e - L1));
        p = std::min(p, H1);
      } else {
        total += H1 * L1;
        if (total + m1 + m2 >= surf) return 0;
        continue;
      }
      int64_t q = p * L1;
      if (L1 <= half || p == H1) total += q;
      else if (q > m1) m2 = m1, m1 = q;
      else if (q > m2) m2 = q;
      if (total + m1 + m2 >= surf) return 0;
    }
  }
  if (surf <= total + m1 + m2) return 0;
  dvar *X = &b->dvar[(k + 1) * object + 1 + d];
  int m = dvar_prune_interval_t(env, X, MakeSmall(val1), MakeSmall(val1), w);
  if (m < 0) return m;
  int m2b = dvar_prune_interval_t(env, X, MakeSmall(val2), MakeSmall(val2), w);
  return m2b < 0 ? m2b : m | m2b;
}

/* ---- comparators for the quicksort template ---- */

int cmp_value_index(const geost_value_index *x, const geost_value_index *y)
{
  return x->value < y->value ? -1 : x->value > y->value;
}

int cmp_asc_pair(const geost_lpair *x, const geost_lpair *y)
{
  if (x->x != y->x) return x->x < y->x ? -1 : 1;
  return x->y < y->y ? -1 : x->y > y->y;
}

int cmp_geost_event(const geost_event *x, const geost_event *y)
{
  if (x->key != y->key) return x->key < y->key ? -1 : 1;
  if (x->object != y->object) return x->object < y->object ? -1 : 1;
  return x->sbox < y->sbox ? -1 : x->sbox > y->sbox;
}

int cmp_region(const geost_data *b, const int *x, const int *y)
{
  int k = b->kdims;
  for (int d = 0; d < k; d++) {
    int ox = b->fr.origin[*x * k + d], oy = b->fr.origin[*y * k + d];
    if (ox != oy) return ox > oy ? -1 : 1;
    int ex = b->fr.end[*x * k + d], ey = b->fr.end[*y * k + d];
    if (ex != ey) return ex < ey ? -1 : 1;
  }
  return 0;
}


/* ==== initialisation steps: corner tests, longest-hole tables, hole avoidance, pallet set-up,
 * parallel conflict; floating vis-a-vis ==== */

int init_border_check(ORVALIS_API_STRUCT *, geost_data *, worker *) { return 0; }
int init_longest_holes(ORVALIS_API_STRUCT *, geost_data *, worker *) { return 1; }
int init_avoid_holes(ORVALIS_API_STRUCT *, geost_data *, worker *) { return 0; }
int pl_init(ORVALIS_API_STRUCT *, geost_data *, worker *) { return 1; }
int check_wrt_parallel_conflict(ORVALIS_API_STRUCT *, geost_data *, worker *) { return 1; }
int floating_visavis(ORVALIS_API_STRUCT *, geost_data *, worker *) { return 0; }

/* ==== fixall placement; redundant disjunctive and cumulative checks; pallet colouring ==== */

long fd_geost_fixall_regenerations = 0;

namespace {

/* One group of the fixall order, decoded: the shape choice and the dimensions from the most
 * significant to the least, each with its direction. */
struct fix_group {
  bool lowest_shape;
  std::vector<int> dim;
  std::vector<char> up; /* upward: placed at the minimum */
};

/* Group g of the order; without an order, the lowest shape and every dimension upward in index
 * order. False for an entry that names no dimension or one twice. */
bool fix_group_of(const geost_data *b, int g, fix_group *fg)
{
  int k = b->kdims, ngroups = b->norder / (k + 1);
  const int *e = ngroups > 0 ? &b->fixorder[g * (k + 1)] : nullptr;
  fg->lowest_shape = e ? e[0] < 0 : true;
  std::vector<char> seen(k, 0);
  fg->dim.resize(k);
  fg->up.resize(k);
  for (int j = 0; j < k; j++) {
    int v = e ? e[1 + j] : -(j + 2);
    int d = v < 0 ? -v - 2 : v - 2;
    if (d < 0 || d >= k || seen[d]) return false;
    seen[d] = 1;
    fg->dim[j] = d;
    fg->up[j] = v < 0;
  }
  return true;
}

/* The state of one fixall run: the sweep point, the jump vector (both by dimension, 64-bit so
 * that a region's end + 1 never wraps), and what the region table was last built for. */
struct fixall_run {
  fixall_run(ORVALIS_API_STRUCT *e, geost_data *g, worker *wk, bool mem)
      : env(e), b(g), w(wk), k(g->kdims), memory(mem), c(k), n(k), saved_lo(k), saved_hi(k), point(k)
  {}
  ORVALIS_API_STRUCT *env;
  geost_data *b;
  worker *w;
  int k;
  bool memory;
  std::vector<int64_t> c, n;
  std::vector<int> saved_lo, saved_hi, point;
  int saved_sid = 0, regen = 0;
  bool built = false;

  int lo(int o, int d) const { return lo_of(origin_view(b, o, d)); }
  int hi(int o, int d) const { return hi_of(origin_view(b, o, d)); }
  /* The start bound of dimension j of the group (where a carry returns) and the far end. */
  int64_t start(const fix_group &g, int o, int j) const { return g.up[j] ? lo(o, g.dim[j]) : hi(o, g.dim[j]); }
  int64_t far(const fix_group &g, int o, int j) const
  {
    return g.up[j] ? (int64_t)hi(o, g.dim[j]) + 1 : (int64_t)lo(o, g.dim[j]) - 1;
  }
  bool within(int o, int d, int64_t v) const { return v >= lo(o, d) && v <= hi(o, d); }
  /* Whether x comes before y in the group's order. */
  bool before(const fix_group &g, const int64_t *x, const int64_t *y) const
  {
    for (int j = 0; j < k; j++) {
      int d = g.dim[j];
      if (x[d] != y[d]) return g.up[j] ? x[d] < y[d] : x[d] > y[d];
    }
    return false;
  }
  /* The carry of the sweep: the least significant dimension moves to its jump, a dimension that
   * leaves the bounds returns to its start and carries into the next. False when all carry. */
  bool advance(const fix_group &g, int o, int64_t *p, int64_t *jump) const
  {
    for (int j = k - 1; j >= 0; j--) {
      int d = g.dim[j];
      p[d] = jump[d];
      jump[d] = far(g, o, j);
      if (within(o, d, p[d])) return true;
      p[d] = start(g, o, j);
    }
    return false;
  }
};

/* The regions seen by object o (shape sid): kept when o is the same as the object they were
 * built for, else the placed objects since then are added and o's absolute regions made anew. */
void fixall_regions(fixall_run &r, int i, int o, int sid)
{
  geost_data *b = r.b;
  bool same = r.built && sid == r.saved_sid && !(b->opt & GEOST_LEX); /* lex bounds are per object */
  for (int d = 0; d < r.k && same; d++) same = r.lo(o, d) == r.saved_lo[d] && r.hi(o, d) == r.saved_hi[d];
  if (same) return;
  if (!(b->opt & (GEOST_OVERLAP | GEOST_OVERLAP_TOO)))
    for (int p = r.regen; p < i; p++) relative_fr(r.env, b, b->target[p], &b->fr.end_relative, relative_cont);
  b->fr.end_absolute = b->fr.end_relative;
  absolute_fr(r.env, b, r.w, o, sid, &b->fr.end_absolute, absolute_cont);
  b->fr.top_of_stack = b->fr.round_robin = b->fr.end_absolute;
  for (int d = 0; d < r.k; d++) r.saved_lo[d] = r.lo(o, d), r.saved_hi[d] = r.hi(o, d);
  r.saved_sid = sid;
  r.regen = i;
  r.built = true;
  fd_geost_fixall_regenerations++;
}

/* The start point and jump vector of object o: its bounds, or its witness when the order is a
 * rotation of the dimensions in one direction (and the witness lies within the bounds). */
void fixall_start(fixall_run &r, const fix_group &g, int o)
{
  int k = r.k;
  bool rotation = true;
  for (int j = 1; j < k; j++) rotation = rotation && g.up[j] == g.up[0] && g.dim[j] == (g.dim[0] + j) % k;
  for (int j = 0; j < k; j++) r.c[g.dim[j]] = r.start(g, o, j);
  if (rotation && k > 0) {
    const int *wit = &(g.up[0] ? r.b->object.minwit : r.b->object.maxwit)[(o * k + g.dim[0]) * k];
    bool inside = true;
    for (int d = 0; d < k; d++) inside = inside && r.within(o, d, wit[d]);
    if (inside)
      for (int d = 0; d < k; d++) r.c[d] = wit[d];
  }
  bool flag = true; /* every less significant coordinate at its start */
  for (int j = k - 1; j >= 0; j--) {
    int d = g.dim[j];
    r.n[d] = flag ? r.far(g, o, j) : r.c[d] + (g.up[j] ? 1 : -1);
    flag = flag && r.c[d] == r.start(g, o, j);
  }
}

/* The resume point after q, the previous object of the group: q was placed at the first feasible
 * point from its start, so an object that covers q's boxes, starts no earlier and whose bounds
 * lie within q's may skip to just past q. False when nothing is left after q. */
bool fixall_resume(fixall_run &r, const fix_group &g, int q, int o, int sid)
{
  geost_data *b = r.b;
  int k = r.k, ns = b->nsboxes_posted;
  int fq = geost_first_sbox(b, lo_of(shape_view(b, q))), fo = geost_first_sbox(b, sid);
  if (fq < 0 || fo < 0) return true;
  if ((b->opt & GEOST_TASK_INTERVALS) && fq != fo) return true; /* the volume balance is per shape */
  int i = 0;
  for (; b->shape.sid[fq + i] == b->shape.sid[fq] && b->shape.sid[fo + i] == sid; i++)
    if (!b->shape.included[(fq + i) * ns + fo + i]) return true;
  if (b->shape.sid[fq + i] == b->shape.sid[fq] || b->shape.sid[fo + i] == sid) return true;
  std::vector<int64_t> qs(k), P(k), N(k);
  for (int d = 0; d < k; d++) {
    qs[d] = b->object.low[q * k + d];
    if (r.lo(o, d) < b->object.auxlow[q * k + d] || r.hi(o, d) > b->object.auxup[q * k + d]) return true;
  }
  if (r.before(g, r.c.data(), qs.data())) return true;
  for (int x = 0; x < k; x++) {
    int d = g.dim[x];
    P[d] = r.lo(q, d); /* q's point, and past q's first sbox the jump */
    int64_t e = P[d] + b->shape.translation[fq * k + d] - b->shape.translation[fo * k + d];
    int64_t u = b->object.up[q * k + d];
    N[d] = g.up[x] ? std::min(u, e + b->shape.size[fq * k + d]) : std::max(u, e - b->shape.size[fo * k + d]);
  }
  /* the carry of the sweep from q's point; a coordinate before the object's own bounds starts
   * at them */
  int j = k - 1;
  for (; j >= 0; j--) {
    int d = g.dim[j];
    int64_t st = r.start(g, o, j);
    P[d] = g.up[j] ? std::max(N[d], st) : std::min(N[d], st);
    N[d] = r.far(g, o, j);
    if (r.within(o, d, P[d])) break;
    P[d] = st;
  }
  if (j < 0) return false;
  for (int d = 0; d < k; d++)
    if (!r.within(o, d, P[d])) return true; /* q's point lies outside the object's bounds */
  if (r.before(g, r.c.data(), P.data())) {
    r.c = P;
    r.n = N;
  }
  return true;
}

/* Regions that keep an identical next object's sboxes off the boxes of o placed at c: for each
 * pair of sboxes (s of the next object, s2 of o), the origins where they meet. */
void fixall_own_regions(fixall_run &r, int o, int sid)
{
  geost_data *b = r.b;
  int k = r.k, f = geost_first_sbox(b, sid), slot = b->fr.end_absolute;
  for (int s = f; s >= 0 && b->shape.sid[s] == sid; s++)
    for (int s2 = f; b->shape.sid[s2] == sid; s2++) {
      bool empty = false;
      for (int d = 0; d < k && !empty; d++) {
        int64_t shift = r.c[d] + b->shape.translation[s2 * k + d] - b->shape.translation[s * k + d];
        int64_t a = std::max<int64_t>(shift - b->shape.size[s * k + d] + 1, r.saved_lo[d]);
        int64_t e = std::min<int64_t>(shift + b->shape.size[s2 * k + d] - 1, r.saved_hi[d]);
        empty = a > e;
        b->fr.origin[slot * k + d] = (int)a;
        b->fr.end[slot * k + d] = (int)e;
      }
      if (!empty) slot = store_region(r.env, b, slot, o, 0);
    }
  b->fr.end_absolute = b->fr.top_of_stack = b->fr.round_robin = slot;
}

/* Places the object at position i with group g: false when it fits nowhere. */
bool fixall_place(fixall_run &r, int i, const fix_group &g, int group)
{
  geost_data *b = r.b;
  int k = r.k, o = b->target[i];
  b->object.flags[o] |= 3;
  bool ground = object_is_ground(b, o); /* then its own region kept the earlier objects off */
  dvar *shape = shape_view(b, o);
  int sid = g.lowest_shape ? lo_of(shape) : hi_of(shape);
  if (dvar_fix_interval_t(shape, MakeSmall(sid), MakeSmall(sid)) < 0) return false;
  if (b->opt & GEOST_VOLUME) compute_minmax_vol_sid(r.env, b, o);
  fixall_regions(r, i, o, sid);
  fixall_start(r, g, o);
  bool memory = r.memory;
  for (int d = 0; d < k; d++) memory = memory && (origin_view(b, o, d)->flags & DV_INTERVAL);
  if (memory) {
    int q = b->memo[group];
    b->object.lex_prev[o] = q;
    b->memo[group] = o;
    for (int d = 0; d < k; d++) {
      b->object.low[o * k + d] = (int)r.c[d];
      b->object.auxlow[o * k + d] = r.lo(o, d);
      b->object.auxup[o * k + d] = r.hi(o, d);
    }
    if (q >= 0 && !ground && !fixall_resume(r, g, q, o, sid)) return false;
  }
  std::vector<int> &point = r.point;
  int f;
  for (;;) {
    for (int d = 0; d < k; d++) point[d] = (int)r.c[d];
    if (!inside_forbidden(r.env, b, r.w, point.data(), o, sid, 0, &f)) break;
    for (int j = k - 1; j >= 0; j--) {
      int d = g.dim[j];
      r.n[d] = g.up[j] ? std::min<int64_t>(r.n[d], (int64_t)b->fr.end[f * k + d] + 1)
                       : std::max<int64_t>(r.n[d], (int64_t)b->fr.origin[f * k + d] - 1);
    }
    if (!r.advance(g, o, r.c.data(), r.n.data())) return false;
  }
  if (memory)
    for (int d = 0; d < k; d++) b->object.up[o * k + d] = (int)std::clamp<int64_t>(r.n[d], INT_MIN, INT_MAX);
  for (int d = 0; d < k; d++)
    if (dvar_fix_interval_t(&b->dvar[(k + 1) * o + 1 + d], MakeSmall(point[d]), MakeSmall(point[d])) < 0)
      return false;
  fixall_own_regions(r, o, sid);
  return true;
}

}  // namespace

int fixall_geost(ORVALIS_API_STRUCT *env, geost_data *b, worker *w)
{
  int k = b->kdims, ngroups = b->norder / (k + 1);
  fixall_run r(env, b, w, ngroups > 0 && !(b->opt & (GEOST_LEX | GEOST_PALLET_LOADING | GEOST_RULES)));
  std::vector<fix_group> groups(std::max(ngroups, 1));
  for (int g = 0; g < (int)groups.size(); g++)
    if (!fix_group_of(b, g, &groups[g])) return 0;
  if (r.memory)
    for (int g = 0; g < ngroups; g++) b->memo[g] = -1;
  if (!(b->opt & (GEOST_OVERLAP | GEOST_OVERLAP_TOO))) all_relative_fr(env, b, 1);
  for (int i = 0; i < b->ntargets; i++) {
    int group = i % (int)groups.size();
    if (!fixall_place(r, i, groups[group], group)) return 0;
  }
  return b->opt & GEOST_VOLUME ? filter_volume(env, b, w) : 1;
}

/* ---- the redundant disjunctive and cumulative checks ---- */

namespace {

int32_t sched_time(int64_t v) { return (int32_t)std::clamp<int64_t>(v, SCHED_INF, SCHED_SUP); }

/* Task t stands for sbox s of object o projected on dimension d, running over the sbox's
 * placements; index is its diffid. */
void sbox_task(geost_data *b, task *t, int o, int s, int d, int index)
{
  int k = b->kdims;
  const dvar *X = origin_view(b, o, d);
  int64_t tr = b->shape.translation[s * k + d], L = b->shape.size[s * k + d];
  *t = task{};
  t->est = sched_time(lo_of(X) + tr);
  t->lct = t->lctmax = sched_time(hi_of(X) + tr + L);
  t->dur = (int32_t)L;
  t->res = 1;
  t->enable = TASK_PRESENT;
  t->diffid = index;
  t->id = o;
  t->part = s;
  t->propagate = geost_propagate_method;
  t->refresh = geost_refresh_method;
  t->set = geost_set_method;
  t->prune_interval = geost_prune_interval_method;
  t->prune_set = geost_prune_set_method;
  t->is_interval = geost_is_interval_method;
}

/* The unary check of the boxes in act (object, sbox) along d. */
int unary_group(ORVALIS_API_STRUCT *env, geost_data *b, worker *w, const std::vector<geost_event> &act, int d)
{
  int n = (int)act.size();
  for (int i = 0; i < n; i++) sbox_task(b, &b->task[i], act[i].object, act[i].sbox, d, i);
  dvar one;
  dvar_init_temp(&one, MakeSmall(1), MakeSmall(1));
  b->curdim = d;
  return fd_discrete_filtering(env, b->task, n, n, 2, nullptr, &one, &b->lower_dvar[d], &b->upper_dvar[d],
                               nullptr, 0, nullptr, nullptr, b->scratch, w);
}

/* Boxes that must overlap in the other dimension e cannot overlap along d: each run of starts of
 * compulsory parts in e, at the end that follows it, gives the boxes then active to the unary
 * filter. */
int disjunctive_check(ORVALIS_API_STRUCT *env, geost_data *b, worker *w, int d)
{
  constexpr int64_t DATE = (int64_t)1 << 29; /* doubled dates stay within 32 bits */
  int k = b->kdims, e = 1 - d;
  std::vector<geost_event> ev, act;
  for (int o = 0; o < b->nobjects; o++) {
    int m = cumulable(env, b, o, 1, d);
    int64_t lo = lo_of(origin_view(b, o, e)), hi = hi_of(origin_view(b, o, e));
    for (int i = 0; i < m; i++) {
      int s = b->cumulative_sbox[i];
      int64_t t = b->shape.translation[s * k + e], L = b->shape.size[s * k + e];
      if (t + hi >= t + L + lo) continue;
      ev.push_back({(int32_t)(2 * std::clamp(t + hi, -DATE, DATE) + 1), o, s});
      ev.push_back({(int32_t)(2 * std::clamp(t + L + lo, -DATE, DATE)), o, s});
    }
  }
  fd_qsort(env, ev.data(), ev.size(), cmp_geost_event);
  int r = 0;
  bool after_start = false;
  for (size_t i = 0; i < ev.size() && r < 2; i++) {
    if (ev[i].key & 1) {
      act.push_back(ev[i]);
      after_start = true;
      continue;
    }
    if (after_start && act.size() >= 2) r |= unary_group(env, b, w, act, d);
    after_start = false;
    for (size_t j = 0; j < act.size(); j++)
      if (act[j].object == ev[i].object && act[j].sbox == ev[i].sbox) {
        act.erase(act.begin() + (std::ptrdiff_t)j);
        break;
      }
  }
  return r;
}

/* Task t for sbox s of a ground object, cut to bounding box 1: false when nothing is left. A cut
 * box clears *whole. */
bool ground_task(geost_data *b, task *t, int o, int s, int d, int index, bool *whole)
{
  int k = b->kdims;
  sbox_task(b, t, o, s, d, index);
  int64_t res = 1;
  for (int f = 0; f < k; f++) {
    int64_t x = (int64_t)lo_of(origin_view(b, o, f)) + b->shape.translation[s * k + f];
    int64_t lo = std::max<int64_t>(x, b->fr.origin[k + f]);
    int64_t hi = std::min<int64_t>(x + b->shape.size[s * k + f], (int64_t)b->fr.end[k + f] + 1);
    if (hi <= lo) return false;
    if (f == d) {
      t->est = sched_time(lo);
      t->lct = t->lctmax = sched_time(hi);
      t->dur = (int32_t)(hi - lo);
    } else {
      res = sat_mul(res, hi - lo);
    }
  }
  t->res = (int32_t)std::min<int64_t>(res, QX_SMALL_MAX);
  if (sat_mul(res, t->dur) < b->shape.volume[s]) *whole = false;
  return true;
}

/* The cumulative check along d: every box a task of its cross-section's height under the
 * bounding box's cross-section. */
int cumulative_check(ORVALIS_API_STRUCT *env, geost_data *b, worker *w, int d, int64_t volume)
{
  int k = b->kdims, n = 0;
  bool whole = true;
  for (int o = 0; o < b->nobjects; o++) {
    int m = cumulable(env, b, o, 1, d);
    bool ground = object_is_ground(b, o);
    for (int i = 0; i < m; i++) {
      int s = b->cumulative_sbox[i], L = b->shape.size[s * k + d];
      task *t = &b->task[n];
      if (ground) {
        if (!ground_task(b, t, o, s, d, n, &whole)) continue;
      } else {
        if (L <= 0) continue;
        sbox_task(b, t, o, s, d, n);
        t->res = b->shape.volume[s] / L;
      }
      if (t->dur > 0 && t->res > 0) n++;
    }
  }
  if (n == 0) return 0;
  int64_t extent = (int64_t)b->fr.end[k + d] + 1 - b->fr.origin[k + d];
  dvar limit;
  TAGGED height = MakeSmall((int32_t)std::clamp<int64_t>(volume / extent, 0, QX_SMALL_MAX));
  dvar_init_temp(&limit, height, height);
  b->curdim = d;
  /* a lex chain orders the same sbox of neighbours along d once the dimensions before d agree */
  std::vector<diff_constraint> dc;
  if (b->opt & GEOST_LEX)
    for (int a = 0; a < n; a++) {
      int oa = b->task[a].id, ob = b->object.lex_next[oa];
      if (ob < 0) continue;
      bool agree = true;
      for (int f = 0; f < d && agree; f++) {
        const dvar *x = origin_view(b, oa, f), *y = origin_view(b, ob, f);
        agree = (x->flags & DV_FIXED) && (y->flags & DV_FIXED) && lo_of(x) == lo_of(y);
      }
      for (int c = 0; c < n && agree; c++)
        if (b->task[c].id == ob && b->task[c].part == b->task[a].part) {
          dc.push_back({a, c});
          break;
        }
    }
  std::vector<dvar> diff(dc.size());
  for (dvar &x : diff) dvar_init_temp(&x, MakeSmall(0), MakeSmall(QX_SMALL_MAX));
  int flags = b->opt & GEOST_DYNAMIC_PROGRAMMING ? 14 : 10;
  return fd_discrete_filtering(env, b->task, n, n, flags, diff.data(), &limit, &b->lower_dvar[d],
                               &b->upper_dvar[d], dc.data(), (int)dc.size(),
                               whole ? geost_lh_method : geost_lh_dummy, geost_dp_hash_method, b->scratch, w);
}

}  // namespace

int check_cumulative(ORVALIS_API_STRUCT *env, geost_data *b, worker *w)
{
  int k = b->kdims, n = 0;
  bool changed = false;
  int *set = b->check_cumulative_set;
  for (int o = 0; o < b->nobjects; o++)
    for (int i = 0, m = cumulable(env, b, o, 1, 0); i < m; i++) {
      int s = b->cumulative_sbox[i];
      changed = changed || s >= b->nsboxes_posted || set[n] != s;
      set[n++] = s;
    }
  changed = changed || set[n] != -1;
  set[n] = -1;
  if (changed) dispose_dp_hash(env, b); /* the memo is keyed by the task list */
  if (n < 2) return 0;
  int64_t volume = 1;
  for (int d = 0; d < k; d++) volume = sat_mul(volume, (int64_t)b->fr.end[k + d] + 1 - b->fr.origin[k + d]);
  struct fd_state *fd = fd_state(env);
  void *gdata = fd->gdata;
  fd->gdata = b; /* the task operations find the block there */
  int r = 0;
  if ((b->opt & GEOST_DISJUNCTIVE) && k == 2)
    for (int d = 0; d < 2 && r < 2; d++)
      if (b->prunedsid || b->pruneddim[d]) r |= disjunctive_check(env, b, w, d);
  if (b->opt & GEOST_CUMULATIVE)
    for (int d = 0; d < k && r < 2; d++)
      if (b->prunedsid || b->pruneddim[d]) r |= cumulative_check(env, b, w, d, volume);
  fd->gdata = gdata;
  return r;
}

/* ---- pallet loading ---- */

namespace {

/* Keeps the cells (pairs from cells) for which keep(i, j) holds: the new count. */
template <typename F>
int keep_cells(int *cells, int nc, F keep)
{
  int kept = 0;
  for (int h = 0; h < nc; h++)
    if (keep(cells[2 * h], cells[2 * h + 1])) {
      cells[2 * kept] = cells[2 * h];
      cells[2 * kept + 1] = cells[2 * h + 1];
      kept++;
    }
  return kept;
}

/* The colouring tests: whatever hole survives the cells kept by the colourings of the divisors
 * of the item sizes. */
int color_cells(int *cells, int nc, int x, int y, int a, int bsz, int64_t slack, int64_t area)
{
  for (int p = 1; p <= a; p++) {
    if (a % p) continue;
    for (int q = 1; q <= bsz && nc > 0; q++) {
      if (bsz % q) continue;
      int m = std::max(p, q), r = x % m, s = y % m;
      auto low = [&](int i, int j) { return i % m < r && j % m < s; };
      auto high = [&](int i, int j) { return i % m >= r && j % m >= s; };
      if (std::min(p, q) == 1 && slack < m && area % m >= 1) {
        if ((s == 1 || r == 1) && m == r + s)
          nc = keep_cells(cells, nc, [&](int i, int j) { return low(i, j) || high(i, j); });
        else if (m <= r * s)
          nc = m > (m - r) * (m - s) ? keep_cells(cells, nc, high) : 0;
        else
          nc = keep_cells(cells, nc, low);
      } else if (slack == (int64_t)r * s && m >= r + s) {
        nc = keep_cells(cells, nc, [&](int i, int j) { return low(i, j) || (m == r + s && high(i, j)); });
      }
    }
  }
  return nc;
}

/* A hole next to the border leaves the cells between it and the border empty too. */
int border_cells(int *cells, int nc, int x, int y, int bsz, int64_t slack)
{
  return keep_cells(cells, nc, [&](int i, int j) {
    int64_t di = std::min(i, x - 1 - i), dj = std::min(j, y - 1 - j);
    return !((slack <= di && di < bsz) || (slack <= dj && dj < bsz) ||
             (di < bsz && dj < bsz && slack < (di + 1) * (dj + 1)) || (bsz > slack && di * dj == 0));
  });
}

void reverse_cells(int *cells, int nc)
{
  std::reverse((geost_lpair *)cells, (geost_lpair *)cells + nc);
}

void transpose_cells(ORVALIS_API_STRUCT *env, int *cells, int nc)
{
  for (int h = 0; h < nc; h++) std::swap(cells[2 * h], cells[2 * h + 1]);
  fd_qsort(env, (geost_lpair *)cells, (size_t)nc, cmp_asc_pair);
}

/* The lowest hole of a column lies above a stack of items, so the length below it (and above
 * the highest) is one the item sizes fill; the same along the rows. */
int line_cells(ORVALIS_API_STRUCT *env, int *cells, int nc, int x, int y, const int *islin)
{
  nc = pl_reduce_holes2a(nc, 1, 0, cells, islin);
  reverse_cells(cells, nc);
  nc = pl_reduce_holes2a(nc, -1, y - 1, cells, islin);
  transpose_cells(env, cells, nc);
  nc = pl_reduce_holes2a(nc, 1, 0, cells, islin);
  reverse_cells(cells, nc);
  nc = pl_reduce_holes2a(nc, -1, x - 1, cells, islin);
  transpose_cells(env, cells, nc);
  return nc;
}

}  // namespace

int pl_color(ORVALIS_API_STRUCT *env, int n, int x, int y, int a, int bsz, const int *islin, geost_data *blk)
{
  ORVALIS_API_STRUCT *api = env;
  int64_t area = (int64_t)x * y, slack = area - (int64_t)n * a * bsz;
  if (x < 1 || y < 1 || a < 1 || bsz < 1 || slack <= 0 || area > 0xfffff || (int64_t)a * bsz <= slack) return 0;
  int *cells = (int *)fd_malloc(api, (size_t)(2 * area) * sizeof(int)), nc = 0;
  for (int i = 0; i < x; i++)
    for (int j = 0; j < y; j++) cells[2 * nc] = i, cells[2 * nc + 1] = j, nc++;
  nc = color_cells(cells, nc, x, y, a, bsz, slack, area);
  if (bsz >= 2 && nc >= slack) nc = border_cells(cells, nc, x, y, bsz, slack);
  if (nc >= slack) nc = line_cells(env, cells, nc, x, y, islin);
  if (nc < slack) {
    QX_free(cells);
    return 1;
  }
  if (!blk) {
    QX_free(cells);
    return 0;
  }
  /* the block keeps its holes in its own dimension order, its extents may come here turned */
  if (blk->kdims == 2 && x != y && (int64_t)blk->pl.bbend[0] + 1 - blk->pl.bborig[0] == y) transpose_cells(env, cells, nc);
  if (blk->pl.holes) QX_free(blk->pl.holes);
  blk->pl.holes = cells;
  blk->pl.nholes = nc;
  blk->pl.pslack = (int32_t)slack;
  return 0;
}

namespace {

/* The item of object o: its origin and its first sbox's sizes; false for a shape with no box. */
bool pallet_item(const geost_data *b, int o, int *x, int *l)
{
  int s = geost_first_sbox(b, lo_of(&b->dvar[3 * o]));
  if (s < 0) return false;
  for (int d = 0; d < 2; d++) {
    x[d] = lo_of(origin_view(b, o, d));
    l[d] = b->shape.size[s * 2 + d];
  }
  return true;
}

/* The known hole cells that a ground active item now covers go behind the others: fails when
 * fewer than the slack remain. */
bool pl_wake(geost_data *b)
{
  int *h = b->pl.holes, front = 0;
  for (int c = 0; c < b->pl.nholes && h; c++) {
    bool covered = false;
    for (int p = 0; p < b->ntargets && !covered; p++) {
      int o = b->target[p], x[2], l[2];
      if (!object_is_ground(b, o) || !pallet_item(b, o, x, l)) continue;
      covered = true;
      for (int d = 0; d < 2; d++) {
        int64_t at = (int64_t)x[d] - b->pl.bborig[d];
        covered = covered && at <= h[2 * c + d] && h[2 * c + d] < at + l[d];
      }
    }
    if (covered) continue;
    std::swap(h[2 * c], h[2 * front]);
    std::swap(h[2 * c + 1], h[2 * front + 1]);
    front++;
  }
  if (b->pl.nholes >= 1) b->pl.nholes = front;
  return b->pl.nholes >= b->pl.pslack;
}

/* The waste that the placed items force along e: below and above their columns only lengths the
 * item sizes fill can be used. Counts the items inside the box (the unplaced ones included);
 * false on failure, *cross when a placed item crosses the border. */
bool pl_convex_hull_feasible(ORVALIS_API_STRUCT *env, geost_data *b, worker *w, int a, int bsz, int *count,
                             bool *cross)
{
  int64_t E[2] = {(int64_t)b->fr.end[2] + 1 - b->fr.origin[2], (int64_t)b->fr.end[3] + 1 - b->fr.origin[3]};
  for (int e = 0; e < 2; e++) {
    int f = 1 - e;
    profile *prof = fd_empty_profile();
    *count = 0;
    for (int p = 0; p < b->nobjects; p++) {
      int o = b->target[p], x[2], l[2];
      if (p < b->ntargets && !object_is_ground(b, o)) {
        ++*count;
        continue;
      }
      if (!pallet_item(b, o, x, l)) continue;
      int64_t lo[2], hi[2];
      bool meets = true;
      for (int d = 0; d < 2; d++) {
        lo[d] = std::max<int64_t>(x[d], b->fr.origin[2 + d]);
        hi[d] = std::min<int64_t>((int64_t)x[d] + l[d] - 1, b->fr.end[2 + d]);
        meets = meets && lo[d] <= hi[d];
      }
      if (!meets) continue;
      if ((hi[e] - lo[e] + 1) * (hi[f] - lo[f] + 1) == (int64_t)a * bsz) ++*count;
      else *cross = true;
      if (bsz > 1) prof = fd_profile_update(env, w, prof, (long)lo[e], (long)hi[e] + 1, (long)(hi[f] - lo[f] + 1));
    }
    if (bsz <= 1) continue;
    /* the stretches of the profile across the box along e */
    int64_t waste = 0, at = b->fr.origin[2 + e], end = (int64_t)b->fr.end[2 + e] + 1;
    bool over = false;
    auto stretch = [&](int64_t from, int64_t to, int64_t h) {
      if (h > E[f]) over = true; /* placed items overlap */
      else if (to > from) waste += (to - from) * pl_loss((int)(E[f] - h), b->pl.islin);
    };
    long sb, se, sh;
    for (profile *rest = prof; fd_profile_next(rest, &sb, &se, &sh, &rest) && !over;) {
      stretch(at, sb, 0);
      stretch(std::max<int64_t>(sb, at), std::min<int64_t>(se, end), sh);
      at = std::max<int64_t>(at, se);
    }
    if (!over) stretch(at, end, 0);
    fd_profile_dispose(env, prof);
    if (over || waste > E[0] * E[1] - (int64_t)*count * a * bsz) return false;
  }
  return true;
}

/* The counting bounds of n items a x b in the box, its lengths cut to what the sizes fill. */
bool pl_is_feasible(ORVALIS_API_STRUCT *env, const geost_data *b, int64_t n, int a, int bsz)
{
  const int *lin = b->pl.islin;
  int64_t E0 = (int64_t)b->fr.end[2] + 1 - b->fr.origin[2], E1 = (int64_t)b->fr.end[3] + 1 - b->fr.origin[3];
  int64_t L = std::max(E0, E1), S = std::min(E0, E1);
  int64_t Lp = L - pl_loss((int)L, lin), Sp = S - pl_loss((int)S, lin), A = Lp * Sp, ab = (int64_t)a * bsz;
  int64_t R = A - n * ab;
  if (R < 0) return false;
  int64_t rLa = Lp % a, rLb = Lp % bsz, rSa = Sp % a, rSb = Sp % bsz;
  if (R == 0 && ((rLa && rSa) || (rLb && rSb))) return false;
  int64_t Lb = Lp / bsz, Sb = Sp / bsz;
  if (bsz >= 2) {
    int64_t La = Lp / a, Sa = Sp / a, w1 = 0, w2 = 0, w3 = 0, w4 = 0;
    int64_t m1 = n - Sa * Lb, m2 = n - La * Sb;
    if (La * Sb < m1) return false;
    if (m1 > 0) {
      w1 = pl_loss((int)(Lp - a), lin) * ((m1 - 1) / La + 1) * bsz;
      w2 = pl_loss((int)(Sp - bsz), lin) * ((m1 - 1) / Sb + 1) * a;
    }
    if (m2 > 0) {
      w3 = pl_loss((int)(Lp - bsz), lin) * ((m2 - 1) / Lb + 1) * a;
      w4 = pl_loss((int)(Sp - a), lin) * ((m2 - 1) / Sa + 1) * bsz;
    }
    if (R < std::max(w1, w3) + std::max(w2, w4)) return false;
  }
  int64_t Ra = rSa + rLa <= a ? rSa * rLa : (a - rSa) * (a - rLa);
  int64_t Rb = rSb + rLb <= bsz ? rSb * rLb : (bsz - rSb) * (bsz - rLb);
  return n <= A / ab && n <= Sb * Lb && n <= (A - Ra) / a / bsz && n <= (A - Rb) / bsz / a &&
         !pl_color(env, (int)n, (int)Lp, (int)Sp, a, bsz, lin, nullptr);
}

}  // namespace

int pl_entry_tests(ORVALIS_API_STRUCT *env, geost_data *b, worker *w)
{
  if (!(b->opt & GEOST_PALLET_LOADING) || b->kdims != 2 || !b->pl.islin) return 1;
  int a = b->shape.size_multiset[b->pl.sbox * 2 + 1], bsz = b->shape.size_multiset[b->pl.sbox * 2];
  if (bsz < 1) return 1;
  if (!pl_wake(b)) return 0;
  int count = 0;
  bool cross = false;
  if (!pl_convex_hull_feasible(env, b, w, a, bsz, &count, &cross)) return 0;
  return cross || pl_is_feasible(env, b, count, a, bsz);
}

/* ==== hole test of the sweep ==== */

int visavis_fill(ORVALIS_API_STRUCT *, geost_data *, int, const int *, int, int, int, int, int64_t *min,
                 int64_t *max, int64_t vol)
{
  *min = 0;
  *max = vol;
  return 0;
}

/* ==== filter loop and per-object sweep ==== */

/* ==== entry, daemon and destructor ==== */
