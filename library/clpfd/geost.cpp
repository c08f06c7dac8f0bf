/* geost/4: the block's layout and shape table, and the per-call region table with the relative
 * forbidden regions (boxes that an object covers in every placement its domains still allow).
 *
 * A relative region of object A from a box [a, b) relative to A's origin (per dimension) is
 * stored as origin = max + a + 1, end = min + b - 1 (min, max the bounds of A's origin): an sbox
 * (t, L) of another object placed at x overlaps A wherever A lies exactly when, in every
 * dimension, origin - t - L <= x <= end - t.
 */
#include <algorithm>
#include <cassert>
#include <climits>
#include <cstring>
#include <vector>

#include "fd_geost.h"
#include "fd.h"
#include "fd_globals.h"
#include "fd_indexical.h"
#include "fd_propagate.h"
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
  /* Shapes of one sbox each with consecutive identifiers (the common case) need no lookup: the
   * sboxes are sorted by identifier, so a match that starts its run is the first. */
  int64_t guess = (int64_t)sid - b->shape.sid[0];
  if (guess >= 0 && guess < b->nsboxes_posted && b->shape.sid[guess] == sid &&
      (guess == 0 || b->shape.sid[guess - 1] != sid))
    return (int)guess;
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
  if (shape->flags & DV_FIXED) return f((int)fds_val(shape->min)); /* the common case */
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

namespace {

/* intersection_volume for a shape of the one sbox s: the product of its extents (clipped to
 * bounding box bb when bb >= 0), with the same overflow marks as the grid walk. */
int32_t single_sbox_volume(geost_data *b, int bb, int object, int s)
{
  int k = b->kdims;
  int32_t width[64]; /* k is at most 64; the sizes are far below 2^31 */
  for (int d = 0; d < k; d++) {
    int64_t t = b->shape.translation[s * k + d], l = b->shape.size[s * k + d], w;
    if (bb < 0) {
      w = std::min<int64_t>(t + l, INT_MAX) - t;
    } else {
      int64_t a = lo_of(origin_view(b, object, d)) + t, e = a + l - 1;
      int64_t o = b->fr.origin[bb * k + d], en = b->fr.end[bb * k + d];
      if (e < o || a > en) return 0;
      w = std::min(e, en) + 1 - std::max(a, o);
    }
    if (w <= 0) return 0;
    width[d] = (int32_t)w;
  }
  int32_t cell = 1;
  for (int d = 0; d < k; d++) {
    if (cell >= VOLUME_LIMIT / width[d]) b->overflow = 1;
    else cell *= width[d];
  }
  if (cell < VOLUME_LIMIT) return cell;
  b->overflow = 1;
  return 0;
}

}  // namespace

int32_t intersection_volume(ORVALIS_API_STRUCT *env, geost_data *b, int bb, int object, int sid)
{
  ORVALIS_API_STRUCT *api = env;
  int k = b->kdims, first = geost_first_sbox(b, sid);
  if (first < 0) return 0;
  int last = first;
  while (b->shape.sid[last] == sid) last++;
  if (last == first + 1) return single_sbox_volume(b, bb, object, first);
  int *coord = b->shape.boundaries, n = 0;
  int64_t base[64] = {0}; /* k is at most 64 */
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
    R = *region; /* the scratch slot: the first free one, which moves as regions are stored */
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
  if ((b->opt & GEOST_VISAVIS) && point_makes_hole(env, b, w, object, p, region)) return 1;
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
    if (sigma < 0 || sigma > b->lh_slack) return NO_HOLE_BOUND; /* no row for that slack */
    i += sigma * b->maxeps[dim];
  }
  return tables[dim][i];
}

/* The slack that bounds the empty cells of the 2-D region lo..hi (inclusive), the row to read
 * for a hole there: bounding box 1's when the region lies inside it; else the slack of the box
 * the tables were built for, which held every object then and so holds every gap between two
 * of them (bounding box 1 holds only the active objects: a gap reaching a retired object may
 * leave it, and the empty cells outside are not counted in its slack). */
int64_t gap_slack(const geost_data *b, const int64_t *lo, const int64_t *hi)
{
  for (int d = 0; d < 2; d++)
    if (lo[d] < b->fr.origin[2 + d] || hi[d] > b->fr.end[2 + d]) return b->lh_slack;
  return b->slack;
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

/* ---- initialisation steps: corner tests, longest-hole tables, hole avoidance, pallet set-up,
 * parallel conflict; floating vis-a-vis ---- */

namespace {

/* Removes value v from object o's origin in d: the change mask, negative on failure. */
int drop_origin(ORVALIS_API_STRUCT *env, geost_data *b, worker *w, int o, int d, int64_t v)
{
  if (!SmallFits(v)) return 0;
  dvar *X = &b->dvar[(b->kdims + 1) * o + 1 + d];
  return dvar_prune_interval_t(env, X, MakeSmall((int32_t)v), MakeSmall((int32_t)v), w);
}

/* Removes val1, then val2: the ORed change masks, negative on failure. */
int drop_pair(ORVALIS_API_STRUCT *env, geost_data *b, worker *w, int o, int d, int64_t val1, int64_t val2)
{
  int m1 = drop_origin(env, b, w, o, d, val1);
  if (m1 < 0) return m1;
  int m2 = drop_origin(env, b, w, o, d, val2);
  return m2 < 0 ? m2 : m1 | m2;
}

/* bytes of scratch from a size_mem buffer; a size that cannot be had is a memory fault. */
void *scratch_alloc(ORVALIS_API_STRUCT *env, size_mem *held, int64_t bytes)
{
  ORVALIS_API_STRUCT *api = env;
  void *p = nullptr;
  if ((uint64_t)bytes <= SIZE_MAX / 2) p = fd_perm_alloc2(api, (size_t)std::max<int64_t>(bytes, 8), held);
  if (!p) qx_memory_fault("geost scratch", QX_SPACE_FOREIGN);
  return p;
}

/* A table of entries 32-bit words (at least one) from fd_malloc. */
int32_t *table_alloc(ORVALIS_API_STRUCT *env, int64_t entries)
{
  ORVALIS_API_STRUCT *api = env;
  entries = std::max<int64_t>(entries, 1);
  if ((uint64_t)entries > SIZE_MAX / 2 / sizeof(int32_t)) qx_memory_fault("geost tables", QX_SPACE_FOREIGN);
  return (int32_t *)fd_malloc(api, (size_t)entries * sizeof(int32_t));
}

/* Calls f(s) on each sbox of the shape the object's shape view's lower bound gives, until f
 * answers true: true then. */
template <typename F>
bool each_own_sbox(const geost_data *b, int o, F f)
{
  int sid = lo_of(&b->dvar[(b->kdims + 1) * o]);
  for (int s = geost_first_sbox(b, sid); s >= 0 && b->shape.sid[s] == sid; s++)
    if (f(s)) return true;
  return false;
}

/* Whether set has an element in lo..hi (the sets of the corner tests lie in 0..E). */
bool meets(TAGGED set, int64_t lo, int64_t hi, int64_t E)
{
  lo = std::max<int64_t>(lo, 0);
  hi = std::min(hi, E);
  return lo <= hi && fd_compare_interval(set, MakeSmall((int32_t)lo), MakeSmall((int32_t)hi)) != 4;
}

/* The distinct sboxes sizes along one dimension, each with the number of sboxes the objects'
 * shapes use of it, and per distinct size the lengths that the others fill exactly. */
struct size_sums {
  geost_value_index *uniq;
  TAGGED *sets;
  int n;
  int64_t E;
};

int uniqindex(const size_sums &u, int size)
{
  int lo = 0, hi = u.n;
  while (lo < hi) {
    int mid = (lo + hi) / 2;
    if (size <= u.uniq[mid].value) hi = mid;
    else lo = mid + 1;
  }
  return lo;
}

void count_sizes(ORVALIS_API_STRUCT *env, geost_data *b, int d, size_sums *u)
{
  int k = b->kdims, n = b->nsboxes_posted;
  for (int j = 0; j < n; j++) u->uniq[j] = {b->shape.size[j * k + d], 0};
  for (int o = 0; o < b->nobjects; o++)
    each_own_sbox(b, o, [&](int s) { return u->uniq[s].index++, false; });
  fd_qsort(env, u->uniq, (size_t)n, cmp_value_index);
  int m = 0;
  for (int j = 0; j < n; j++) {
    if (m > 0 && u->uniq[j].value == u->uniq[m - 1].value) u->uniq[m - 1].index += u->uniq[j].index;
    else u->uniq[m++] = u->uniq[j];
  }
  u->n = m;
}

/* sets[j]: 0, E and the sums up to E of the sizes in use, one copy of size j set aside. */
void set_of_sums(ORVALIS_API_STRUCT *env, worker *w, size_sums *u)
{
  ORVALIS_API_STRUCT *api = env;
  TAGGED zero = MakeSmall(0), top = MakeSmall((int32_t)u->E);
  for (int j = 0; j < u->n; j++) {
    TAGGED set = fd_pair(api, w, zero, top);
    for (int i = 0; i < u->n; i++) {
      int64_t v = u->uniq[i].value, c = u->uniq[i].index - (i == j);
      if (v < 1 || c < 1) continue;
      c = std::min<int64_t>(c, u->E / v); /* more copies than fit add nothing */
      if (c >= 1) set = fd_plus(api, w, set, fd_multiples(api, w, MakeSmall((int32_t)c), MakeSmall((int32_t)v)), zero, top);
    }
    u->sets[j] = set;
  }
}

/* The corner tests of sbox s of object o: the change mask, negative on failure. */
int corner_sbox(ORVALIS_API_STRUCT *env, geost_data *b, worker *w, const size_sums *u, int o, int s)
{
  const int *sz = sizes_of(b, s);
  int64_t slack = b->slack;
  TAGGED S[2];
  bool match[2];
  for (int d = 0; d < 2; d++) {
    S[d] = u[d].sets[uniqindex(u[d], sz[d])];
    match[d] = sz[d] <= slack || meets(S[d], sz[d] - slack, sz[d], u[d].E);
  }
  int mask = 0;
  for (int d = 0; d < 2; d++) {
    int64_t W = sz[d], H = sz[d ^ 1], E = u[d].E, hs = H > 0 ? slack / H : slack;
    int64_t t = b->shape.translation[s * 2 + d], org = b->fr.origin[2 + d];
    const dvar *X = origin_view(b, o, d);
    for (int64_t v = lo_of(X); v <= hi_of(X); v++) {
      int64_t lgap = v + t - org, rgap = E - W - lgap;
      bool hole = !meets(S[d], lgap - hs, lgap, E) || !meets(S[d], rgap - hs, rgap, E) ||
                  (!match[d ^ 1] && (!meets(S[d], lgap + W - slack, lgap + W, E) ||
                                     !meets(S[d], rgap + W - slack, rgap + W, E)));
      if (!hole) continue;
      int m = drop_origin(env, b, w, o, d, v);
      if (m < 0) return m;
      mask |= m;
    }
  }
  return mask;
}

}  // namespace

int init_border_check(ORVALIS_API_STRUCT *env, geost_data *b, worker *w)
{
  ORVALIS_API_STRUCT *api = env;
  int n = b->nsboxes_posted;
  if (b->kdims != 2 || n < 1) return 0;
  size_sums u[2];
  for (int d = 0; d < 2; d++) {
    u[d].E = extent_of_bb(b, d);
    if (u[d].E < 1 || !SmallFits(u[d].E)) return 0;
  }
  char *mark = w->numstack_top;
  /* per sbox: two (size, count) pairs and two sets */
  char *mem = (char *)scratch_alloc(env, &b->scratch[0], (int64_t)n * 24);
  for (int d = 0; d < 2; d++) {
    u[d].uniq = (geost_value_index *)mem + d * n;
    u[d].sets = (TAGGED *)(mem + 16 * (size_t)n) + d * n;
    count_sizes(env, b, d, &u[d]);
    set_of_sums(env, w, &u[d]);
  }
  int mask = 0;
  for (int o = 0; o < b->nobjects && mask >= 0; o++)
    each_own_sbox(b, o, [&](int s) {
      int m = corner_sbox(env, b, w, u, o, s);
      mask = m < 0 ? m : mask | m;
      return mask < 0;
    });
  fd_perm_free2(api, mem, &b->scratch[0]);
  if (mask == 0) numstack_trim(w, mark);
  return mask;
}

namespace {

void free_lh_tables(ORVALIS_API_STRUCT *env, geost_data *b)
{
  ORVALIS_API_STRUCT *api = env;
  for (int d = 0; d < b->kdims; d++)
    for (int32_t **t : {&b->lch_tables[d], &b->lh_tables[d], &b->lh_tables_max[d], &b->lh_tables_inv[d]}) {
      QX_free(*t);
      *t = nullptr;
    }
}

/* The sboxes of the decomposable active objects as tasks along d. */
int lh_items(const geost_data *b, int d, lhs *items)
{
  int k = b->kdims, n = 0;
  for (int p = 0; p < b->ntargets; p++) {
    int o = b->target[p];
    if (!decomposable(b, o)) continue;
    each_own_sbox(b, o, [&](int s) {
      int32_t l = b->shape.size[s * k + d], h = l > 0 ? b->shape.volume[s] / l : 0;
      if (l > 0 && h > 0) items[n++] = {l, h, 0};
      return false;
    });
  }
  return n;
}

/* Fills every row of dimension d: false when the last row shows that the box cannot be filled. */
bool lh_dimension(ORVALIS_API_STRUCT *env, geost_data *b, worker *w, int d, int nrows, int64_t sigma0, lhs *items)
{
  int n = lh_items(b, d, items), h = b->maxeps[d];
  int32_t E = (int32_t)extent_of_bb(b, d);
  for (int r = 0; r < nrows; r++) {
    fd_lh_init(env, w, sigma0, r, nrows, E, h, n, items, b->lh_tables[d], b->lch_tables[d], b->maxbacks, 2);
    const int32_t *open = b->lh_tables[d] + (size_t)r * h, *closed = b->lch_tables[d] + (size_t)r * h;
    if (r == nrows - 1) {
      if (E > closed[h - 1]) return false;
      for (int i = 0; i < n; i++)
        if (items[i].h < h && items[i].l > open[h - items[i].h - 1]) return false;
    }
    int32_t *mx = b->lh_tables_max[d] + (size_t)r * h;
    for (int e = 0; e < h; e++) mx[e] = e ? std::max(mx[e - 1], open[e]) : open[e];
  }
  return true;
}

/* Row r of the inverse table: per length len, the largest height whose best hole is shorter. */
void lh_inverse(geost_data *b, int d, int nrows)
{
  int h = b->maxeps[d], M = b->max_val_in_lmax;
  for (int r = 0; r < nrows; r++) {
    const int32_t *mx = b->lh_tables_max[d] + (size_t)r * h;
    int32_t *inv = b->lh_tables_inv[d] + (size_t)r * M;
    int eps = 1;
    for (int len = 1; len <= M; len++) {
      while (eps <= h && mx[eps - 1] < len) eps++;
      inv[len - 1] = eps <= h ? eps - 1 : -1;
    }
  }
}

}  // namespace

int init_longest_holes(ORVALIS_API_STRUCT *env, geost_data *b, worker *w)
{
  ORVALIS_API_STRUCT *api = env;
  if (!(b->opt & GEOST_LONGEST_HOLE) || b->slack < 0) { /* no table for a negative slack */
    b->opt &= ~(GEOST_LONGEST_HOLE_ALL | GEOST_VISAVIS_FLOATING);
    return 1;
  }
  int k = b->kdims;
  bool all = (b->opt & GEOST_LONGEST_HOLE_ALL) == GEOST_LONGEST_HOLE_ALL;
  int64_t nrows = all ? (int64_t)b->slack + 1 : 1, sigma0 = all ? 0 : b->slack;
  b->lh_slack = b->slack;
  free_lh_tables(env, b);
  int64_t V = 1;
  for (int d = 0; d < k; d++) V = sat_mul(V, extent_of_bb(b, d));
  for (int d = 0; d < k; d++) {
    int64_t h = V / extent_of_bb(b, d);
    if (h > INT32_MAX / 2 || extent_of_bb(b, d) > INT32_MAX) qx_memory_fault("geost tables", QX_SPACE_FOREIGN);
    b->maxeps[d] = (int)h;
    for (int32_t **t : {&b->lch_tables[d], &b->lh_tables[d], &b->lh_tables_max[d]}) *t = table_alloc(env, sat_mul(h, nrows));
  }
  char *mark = w->numstack_top;
  lhs *items = (lhs *)fd_temp_alloc(api, w, (size_t)std::max(b->ntargets * b->max_nsboxes, 1) * sizeof(lhs));
  bool ok = true;
  for (int d = 0; d < k && ok; d++) ok = lh_dimension(env, b, w, d, (int)nrows, sigma0, items);
  if (ok) {
    int32_t M = 0;
    for (int d = 0; d < k; d++) M = std::max(M, get_longest_hole_max(env, b, d, b->slack, b->maxeps[d]));
    b->max_val_in_lmax = M;
    for (int d = 0; d < k; d++) {
      b->lh_tables_inv[d] = table_alloc(env, sat_mul(M, nrows));
      lh_inverse(b, d, (int)nrows);
    }
  }
  numstack_trim(w, mark);
  fd_init_profile(api);
  return ok;
}

namespace {

/* Whether a gap of width gw beside sbox s of object o in d, the gap region in slot end_bb and
 * ext the sbox's sizes, is one that the other sboxes and the slack cannot fill. */
bool unfillable_gap(ORVALIS_API_STRUCT *env, geost_data *b, int o, int s, int d, int64_t gw, int64_t c, int *ext)
{
  int k = b->kdims;
  if ((b->opt & GEOST_LONGEST_HOLE) && k == 2 &&
      get_longest_hole(env, b, d ^ 1, b->slack, (int)gw, 0) < b->shape.size[s * k + (d ^ 1)])
    return true;
  int64_t vol = c * gw, mn = 0, mx = 0;
  ext[d] = (int)gw;
  visavis_fill(env, b, b->fr.end_bb, ext, d, o, s, 1, &mn, &mx, vol);
  return vol < mn || vol - mx > b->slack;
}

/* The hole-avoiding pruning of sbox s of object o in d on both sides: the change mask. */
int avoid_sbox_holes(ORVALIS_API_STRUCT *env, geost_data *b, worker *w, int o, int s, int d)
{
  int k = b->kdims, gap = b->fr.end_bb;
  int64_t L = b->shape.size[s * k + d], t = b->shape.translation[s * k + d];
  if (L < 1) return 0;
  int64_t c = b->shape.volume[s] / L, slack = b->slack;
  int64_t g = c == 1 ? slack + 1 : slack >= 0 ? slack / c + 1 : (slack + 1) / c;
  g = std::max<int64_t>(g, 1); /* a gap of width 0 is no gap */
  int64_t org = b->fr.origin[k + d], end = b->fr.end[k + d], bo = org - t, z = end - L - t + 1;
  copy_slot(b, gap, 1);
  std::vector<int> ext(sizes_of(b, s), sizes_of(b, s) + k);
  const dvar *X = origin_view(b, o, d);
  int mask = 0;
  DVITER it;
  for (int side = 0; side < 2; side++) {
    dviter_init(&it, X);
    if (side == 0 && bo + g - 1 >= lo_of(X)) {
      if (bo + g - 1 >= hi_of(X)) continue;
      dviter_skip_t(&it, MakeSmall((int32_t)(bo + g - 1)));
    }
    while (!dviter_empty(&it)) {
      int64_t v = fds_val(dviter_next_value_t(&it)), gw = side ? z - v : v - bo;
      if (gw < g || gw > INT32_MAX) break;
      if (side) put_range(b, gap, d, end + 1 + v - z, end);
      else put_range(b, gap, d, org, org + gw - 1);
      if (!unfillable_gap(env, b, o, s, d, gw, c, ext.data())) continue;
      int m = drop_origin(env, b, w, o, d, v);
      if (m < 0) return m;
      mask |= m;
    }
  }
  return mask;
}

/* Whether sbox s of object o placed at val in d can have flush neighbours on both of its faces
 * in d (the contact test). */
bool contact_kept(geost_data *b, int o, int s, int d, int64_t val)
{
  int k = b->kdims;
  int64_t L = b->shape.size[s * k + d], H = b->shape.size[s * k + (d ^ 1)], slack = b->slack;
  int64_t start = val + b->shape.translation[s * k + d], end = start + L, Hp = H - slack;
  int64_t X = 0, Y = 0, Z = 0;
  for (int i = 0; i < b->nobjects; i++) {
    int o1 = b->byarea[i];
    const dvar *O1 = origin_view(b, o1, d);
    if (each_own_sbox(b, o1, [&](int s1) {
          if (o1 == o && s1 == s) return false;
          int64_t L1 = b->shape.size[s1 * k + d], t1 = b->shape.translation[s1 * k + d];
          int64_t H1 = b->shape.size[s1 * k + (d ^ 1)];
          bool left = holds(O1, start - L1 - t1), right = holds(O1, end - t1);
          if (left && right) Z += H1; /* it can make up for either face */
          else if (left) X += H1;
          else if (right) Y += H1;
          return Z >= std::max<int64_t>(0, Hp - X) + std::max<int64_t>(0, Hp - Y) && X + Y + Z + slack >= 2 * H;
        }))
      return true;
  }
  return false;
}

/* The scratch of the middle-hole tests: three arrays of 2R entries. */
struct middle_scratch {
  int32_t *sizes, *earliest, *latest;
  int R;
};

/* The middle-hole tests of sbox s of object o in d for every pair of gaps e1, e2 beside it. */
int middle_sbox(ORVALIS_API_STRUCT *env, geost_data *b, worker *w, const middle_scratch &m, int d, int o, int s)
{
  int k = 2, c = d ^ 1;
  int64_t L = b->shape.size[s * k + d], H = b->shape.size[s * k + c], t = b->shape.translation[s * k + d];
  int64_t Ed = extent_of_bb(b, d), e3 = extent_of_bb(b, c) - H, org = b->fr.origin[k + d];
  int64_t surf_on_top = e3 * Ed, e1max = (Ed - L) / 2;
  const dvar *X = origin_view(b, o, d);
  int mask = 0;
  for (int64_t e1 = 1; e1 <= e1max; e1++) {
    int64_t e2 = Ed - L - e1, surf1 = e1 * H, surf2 = e2 * H, val1 = org + e1 - t, val2 = org + e2 - t;
    int r = 0;
    for (int64_t val : {val1, val2}) /* 1. contact */
      if (H - b->slack > 0 && holds(X, val) && !contact_kept(b, o, s, d, val)) {
        r = drop_origin(env, b, w, o, d, val);
        if (r < 0) return r;
        mask |= r;
      }
    auto step = [&](int got) { /* false once a pruning failed */
      if (got < 0) r = got;
      else mask |= got;
      return r >= 0;
    };
    /* 2. the gaps and the surface on top, wherever the others may lie */
    bool go = true;
    if (holds(X, val1) || holds(X, val2))
      go = step(compute_max_surf_in_gap_before_task(env, b, w, 0, -1, d, o, s, e1, (int32_t)val1, (int32_t)val2, surf1));
    if (go && holds(X, val1) && e1 != e2)
      go = step(compute_max_surf_in_gap_before_task(env, b, w, 0, -1, d, o, s, e2, (int32_t)val1, (int32_t)val2, surf2));
    if (go && holds(X, val1))
      go = step(compute_min_surf_used_on_top_of_task(env, b, w, 0, -1, 0, -1, m.sizes, m.earliest, m.latest, m.R, d, o,
                                                     s, e1, e2, e3, (int32_t)val1, (int32_t)val2, surf_on_top));
    /* 3. the same with the gaps where they are */
    go = go && step(init_avoid_holes_middle_heavy(env, b, w, m.sizes, m.earliest, m.latest, m.R, d, o, s, e1, e2, e3,
                                                  (int32_t)val1, surf1, surf2, surf_on_top));
    go = go && step(init_avoid_holes_middle_heavy(env, b, w, m.sizes, m.earliest, m.latest, m.R, d, o, s, e2, e1, e3,
                                                  (int32_t)val2, surf2, surf1, surf_on_top));
    if (!go) return r;
  }
  return mask;
}

int init_avoid_holes_middle(ORVALIS_API_STRUCT *env, geost_data *b, worker *w)
{
  ORVALIS_API_STRUCT *api = env;
  int n = b->nobjects;
  middle_scratch m;
  m.R = std::max(b->max_nsboxes, 1) * std::max(n, 1);
  m.sizes = (int32_t *)scratch_alloc(env, &b->scratch[0], (int64_t)6 * m.R * sizeof(int32_t));
  m.earliest = m.sizes + 2 * m.R;
  m.latest = m.earliest + 2 * m.R;
  for (int i = 0; i < n; i++) b->byarea[i] = i;
  fd_qsort(env, b->byarea, (size_t)n, [b](const int *x, const int *y) { return cmp_decr_area(b, x, y); });
  int mask = 0;
  for (int d = 0; d < 2 && mask >= 0; d++)
    for (int i = 0; i < n && mask >= 0; i++) {
      int o = b->byarea[i];
      each_own_sbox(b, o, [&](int s) {
        int r = middle_sbox(env, b, w, m, d, o, s);
        mask = r < 0 ? r : mask | r;
        return mask < 0;
      });
    }
  fd_perm_free2(api, m.sizes, &b->scratch[0]);
  return mask;
}

}  // namespace

int init_avoid_holes(ORVALIS_API_STRUCT *env, geost_data *b, worker *w)
{
  int mask = 0;
  bool all_fixed = true;
  for (int p = 0; p < b->nobjects && mask >= 0; p++) {
    int o = b->target[p];
    if (!decomposable(b, o)) {
      all_fixed = false;
      continue;
    }
    each_own_sbox(b, o, [&](int s) {
      for (int d = 0; d < b->kdims && mask >= 0; d++) {
        int r = avoid_sbox_holes(env, b, w, o, s, d);
        mask = r < 0 ? r : mask | r;
      }
      return mask < 0;
    });
  }
  if (mask < 0 || !all_fixed) return mask;
  if (b->slack == 0) {
    for (int leftp : {1, 0}) {
      int r = init_avoid_holes_border(env, b, w, leftp);
      if (r < 0) return r;
      mask |= r;
    }
  }
  if (b->kdims != 2) return mask;
  int r = init_avoid_holes_middle(env, b, w);
  return r < 0 ? r : mask | r;
}

namespace {

/* The four largest values seen, smallest first. */
struct top_four {
  int64_t v[4] = {0, 0, 0, 0};
  void add(int64_t x)
  {
    if (x <= v[0]) return;
    v[0] = x;
    std::sort(v, v + 4);
  }
  int64_t sum() const { return v[0] + v[1] + v[2] + v[3]; }
};

}  // namespace

int compute_min_surf_used_on_top_of_task(ORVALIS_API_STRUCT *env, geost_data *b, worker *w, int64_t first1,
                                         int64_t last1, int64_t first2, int64_t last2, int32_t *sizes,
                                         int32_t *earliest, int32_t *latest, int rowlen, int d, int object, int s,
                                         int64_t e1, int64_t e2, int64_t e3, int32_t val1, int32_t val2, int64_t surf)
{
  int k = 2, c = d ^ 1, nitems = 0;
  int64_t E = std::max(e1, e2), Hs = b->shape.size[s * k + c];
  bool lh = b->opt & GEOST_LONGEST_HOLE, par = b->opt & GEOST_PARCONFLICT;
  int64_t minloss = first1 > last1 && lh ? border_minloss(env, b, E, d) : 0;
  int64_t partial = 0, unusable = 0;
  top_four top;
  for (int i = 0; i < b->nobjects; i++) {
    int o2 = b->byarea[i];
    bool hopeless = each_own_sbox(b, o2, [&](int s2) {
      if (o2 == object && s2 == s) return false;
      int64_t L = b->shape.size[s2 * k + d], H = b->shape.size[s2 * k + c], p;
      int64_t hmax = std::min(H, Hs);
      if (L > E) {
        p = 0;
      } else if (first1 <= last1) {
        p = std::max(get_max_penetration(env, b, e1, first1, last1, L, hmax, o2, s2, d),
                     get_max_penetration(env, b, e2, first2, last2, L, hmax, o2, s2, d));
      } else if (lh) {
        p = L == e1 || L == e2 ? Hs : get_longest_hole_max(env, b, c, b->slack - minloss, (int)(E - L));
        p = std::min(p, H);
      } else {
        return false; /* no bound on its penetration */
      }
      if (L > E) unusable += H * L;
      else if (2 * L > E && p < H) partial += H * L, top.add(p * L);
      else unusable += (H - p) * L;
      if (partial + unusable - top.sum() > surf) return true;
      if (par && p < H && nitems < rowlen) {
        sizes[nitems] = (int32_t)L, sizes[rowlen + nitems] = (int32_t)(H - p);
        earliest[nitems] = earliest[rowlen + nitems] = 1;
        latest[nitems] = (int32_t)extent_of_bb(b, d), latest[rowlen + nitems] = (int32_t)e3;
        nitems++;
      }
      return false;
    });
    if (hopeless) return drop_pair(env, b, w, object, d, val1, val2);
  }
  if (par && parallel_conflict(env, w, 2, nitems, 1, sizes, earliest, latest, rowlen, &b->scratch[1]))
    return drop_pair(env, b, w, object, d, val1, val2);
  return 0;
}

int init_avoid_holes_middle_heavy(ORVALIS_API_STRUCT *env, geost_data *b, worker *w, int32_t *sizes,
                                  int32_t *earliest, int32_t *latest, int rowlen, int d, int object, int s,
                                  int64_t e1, int64_t e2, int64_t e3, int32_t val, int64_t surf1, int64_t surf2,
                                  int64_t surftop)
{
  int64_t o = b->fr.origin[2 + d], Ls = b->shape.size[s * 2 + d];
  const dvar *X = origin_view(b, object, d);
  int mask = 0;
  for (int step = 0; step < 3 && holds(X, val); step++) {
    int r = step == 0 ? compute_max_surf_in_gap_before_task(env, b, w, o, o + e1 - 1, d, object, s, e1, val, val, surf1)
            : step == 1 ? compute_max_surf_in_gap_before_task(env, b, w, o + e1 + Ls, o + e1 + Ls + e2 - 1, d, object,
                                                              s, e2, val, val, surf2)
                        : compute_min_surf_used_on_top_of_task(env, b, w, o, o + e1 - 1, o + e1 + Ls,
                                                               o + e1 + Ls + e2 - 1, sizes, earliest, latest, rowlen,
                                                               d, object, s, e1, e2, e3, val, val, surftop);
    if (r < 0) return r;
    mask |= r;
  }
  return mask;
}

namespace {

/* The pallet's item: every shape of every object one sbox at translation 0 with the sizes of
 * the first object's (sorted, all positive). */
bool pl_recognize(geost_data *b)
{
  int k = b->kdims;
  if (b->nobjects < 1) return false;
  int f0 = geost_first_sbox(b, lo_of(shape_view(b, 0)));
  if (f0 < 0) return false;
  const int *ms0 = &b->shape.size_multiset[f0 * k];
  if (ms0[0] < 1) return false;
  for (int o = 0; o < b->nobjects; o++)
    if (each_sid(shape_view(b, o), [&](int sid) {
          int f = geost_first_sbox(b, sid);
          if (f < 0 || b->shape.sid[f + 1] == sid) return true;
          for (int d = 0; d < k; d++)
            if (b->shape.translation[f * k + d] != 0 || b->shape.size_multiset[f * k + d] != ms0[d]) return true;
          return false;
        }))
      return false;
  b->pl.sbox = f0;
  return true;
}

/* The counting bounds of n items a x bs (bs <= a) in a W x H box, W <= H: false when they
 * cannot fit. */
bool pl_counts_fit(int64_t n, int64_t W, int64_t H, int64_t a, int64_t bs)
{
  int64_t A = W * H, ra = H % a, ra1 = W % a, rb = H % bs, rb1 = W % bs;
  int64_t B1 = (a < ra + ra1 ? A - (a - ra1) * (a - ra) : A - ra * ra1) / a;
  int64_t B2 = (bs < rb + rb1 ? A - (bs - rb1) * (bs - rb) : A - rb * rb1) / bs;
  return n <= A / (a * bs) && n <= (W / bs) * (H / bs) && n <= B1 / bs && n <= B2 / a;
}

}  // namespace

int pl_init(ORVALIS_API_STRUCT *env, geost_data *b, worker *)
{
  ORVALIS_API_STRUCT *api = env;
  if (!(b->opt & GEOST_PALLET_LOADING)) return 1;
  if (!pl_recognize(b)) {
    b->opt &= ~GEOST_PALLET_LOADING;
    return 1;
  }
  int k = b->kdims;
  int64_t longest = 0;
  for (int d = 0; d < k; d++) longest = std::max(longest, extent_of_bb(b, d));
  QX_free(b->pl.islin);
  b->pl.islin = nullptr;
  int *islin = (int *)table_alloc(env, longest + 1);
  b->pl.islin = islin;
  std::vector<int64_t> ext(k);
  for (int d = 0; d < k; d++) {
    b->pl.bborig[d] = b->fr.origin[k + d];
    b->pl.bbend[d] = b->fr.end[k + d];
    ext[d] = extent_of_bb(b, d);
  }
  std::sort(ext.begin(), ext.end());
  const int *item = &b->shape.size_multiset[b->pl.sbox * k];
  for (int64_t x = 0; x <= longest; x++) {
    islin[x] = x == 0;
    for (int d = 0; d < k && !islin[x]; d++) islin[x] = item[d] <= x && islin[x - item[d]];
  }
  int64_t itemvol = product(item, k), boxvol = 1;
  for (int d = 0; d < k; d++) boxvol = sat_mul(boxvol, ext[d]);
  if (boxvol == sat_mul(itemvol, b->nobjects)) /* an exact fill: each size divides an extent */
    for (int d = 0; d < k; d++)
      if (std::none_of(ext.begin(), ext.end(), [&](int64_t e) { return e % item[d] == 0; })) return 0;
  if (k != 2) return 1;
  if (!pl_counts_fit(b->nobjects, ext[0], ext[1], item[1], item[0])) return 0;
  return pl_color(env, b->nobjects, (int)ext[0], (int)ext[1], item[1], item[0], islin, b) != 1;
}

int check_wrt_parallel_conflict(ORVALIS_API_STRUCT *env, geost_data *b, worker *w)
{
  ORVALIS_API_STRUCT *api = env;
  int k = b->kdims, R = std::max(b->max_nsboxes, 1) * std::max(b->nobjects, 1), n = 0;
  int32_t *sizes = (int32_t *)scratch_alloc(env, &b->scratch[0], (int64_t)3 * k * R * sizeof(int32_t));
  int32_t *earliest = sizes + (size_t)k * R, *latest = earliest + (size_t)k * R;
  for (int p = 0; p < b->nobjects; p++) {
    int o = b->target[p];
    if (!decomposable(b, o) || !fr_intersects_object(env, b, 1, o)) continue;
    each_own_sbox(b, o, [&](int s) {
      for (int d = 0; d < k; d++) {
        int64_t t = b->shape.translation[s * k + d], L = b->shape.size[s * k + d];
        int64_t lo = std::max<int64_t>(lo_of(origin_view(b, o, d)) + t, b->fr.origin[k + d]);
        int64_t hi = std::min<int64_t>(hi_of(origin_view(b, o, d)) + t + L - 1, b->fr.end[k + d]);
        if (hi < lo) return false;
        sizes[d * R + n] = (int32_t)std::min(hi - lo + 1, L);
        earliest[d * R + n] = (int32_t)lo;
        latest[d * R + n] = (int32_t)hi;
      }
      n++;
      return false;
    });
  }
  int conflict = parallel_conflict(env, w, k, n, b->tick == 1, sizes, earliest, latest, R, &b->scratch[1]);
  fd_perm_free2(api, sizes, &b->scratch[0]);
  return !conflict;
}

bool compulsory_part_in_all_dimensions(const geost_data *b, int object, int sbox)
{
  for (int f = 0; f < b->kdims; f++) {
    const dvar *X = origin_view(b, object, f);
    if ((int64_t)hi_of(X) >= (int64_t)lo_of(X) + b->shape.size[sbox * b->kdims + f]) return false;
  }
  return true;
}

bool sbox_connects_region(const geost_data *b, const dvar *dv, int s, int fr1)
{
  int k = b->kdims;
  for (int f = 0; f < k; f++) {
    int64_t t = b->shape.translation[s * k + f], l = b->shape.size[s * k + f];
    if ((int64_t)hi_of(&dv[f]) + t + l < b->fr.origin[fr1 * k + f] ||
        (int64_t)lo_of(&dv[f]) + t > (int64_t)b->fr.end[fr1 * k + f] + 1)
      return false;
  }
  return true;
}

int32_t get_longest_hole_inv(ORVALIS_API_STRUCT *, geost_data *b, int dim, int64_t sigma, int epsilon)
{
  int32_t M = b->max_val_in_lmax;
  if (!b->lh_tables_inv[dim] || epsilon < 1 || epsilon > M) return -1;
  int64_t i = epsilon - 1;
  if ((b->opt & GEOST_LONGEST_HOLE_ALL) == GEOST_LONGEST_HOLE_ALL) {
    if (sigma < 0 || sigma > b->lh_slack) return -1;
    i += sigma * M;
  }
  return b->lh_tables_inv[dim][i];
}

namespace {

/* Removes lo..hi from object o's origin in c: the change mask, negative on failure. */
int drop_range(ORVALIS_API_STRUCT *env, geost_data *b, worker *w, int o, int c, int64_t lo, int64_t hi)
{
  dvar *X = &b->dvar[(b->kdims + 1) * o + 1 + c];
  lo = std::max<int64_t>(lo, lo_of(X));
  hi = std::min<int64_t>(hi, hi_of(X));
  if (lo > hi) return 0;
  return dvar_prune_interval_t(env, X, MakeSmall((int32_t)lo), MakeSmall((int32_t)hi), w);
}

int64_t overlap_len(int64_t x, int64_t lx, int64_t y, int64_t ly)
{
  return std::max<int64_t>(0, std::min(x + lx, y + ly) - std::max(x, y));
}

}  // namespace

int floating_visavis_prune(ORVALIS_API_STRUCT *env, geost_data *b, worker *w, int object1, int sbox1, int object2,
                           int sbox2, int d)
{
  int k = 2, c = 1 - d;
  const int *t1 = &b->shape.translation[sbox1 * k], *s1 = sizes_of(b, sbox1);
  const int *t2 = &b->shape.translation[sbox2 * k], *s2 = sizes_of(b, sbox2);
  int64_t a1 = (int64_t)lo_of(origin_view(b, object1, d)) + t1[d], b1 = (int64_t)hi_of(origin_view(b, object1, d)) + t1[d];
  int64_t a2 = (int64_t)lo_of(origin_view(b, object2, d)) + t2[d], b2 = (int64_t)hi_of(origin_view(b, object2, d)) + t2[d];
  int64_t min1c = lo_of(origin_view(b, object1, c)), max1c = hi_of(origin_view(b, object1, c));
  int64_t min2c = lo_of(origin_view(b, object2, c)), max2c = hi_of(origin_view(b, object2, c));
  /* every gap between the two boxes lies within the hull of their reaches */
  int64_t lo[2], hi[2];
  lo[d] = std::min(a1, a2), hi[d] = std::max(b1 + s1[d], b2 + s2[d]) - 1;
  lo[c] = std::min(min1c + t1[c], min2c + t2[c]), hi[c] = std::max(max1c + t1[c] + s1[c], max2c + t2[c] + s2[c]) - 1;
  int64_t slack = gap_slack(b, lo, hi);
  bool after = a2 > b1 + s1[d], before = a1 > b2 + s2[d];
  if (after || before) { /* apart along d: facing longer than the longest hole of their widest gap */
    int64_t G = after ? b2 - (a1 + s1[d]) : b1 - (a2 + s2[d]);
    int64_t H = get_longest_hole_max(env, b, c, slack, (int)std::min<int64_t>(G, INT32_MAX));
    if (H >= std::min(s1[c], s2[c])) return 0;
    return drop_range(env, b, w, object2, c, max1c + t1[c] + H + 1 - s2[c] - t2[c],
                      min1c + t1[c] + s1[c] - H - 1 - t2[c]);
  }
  int64_t V0 = std::min(overlap_len(a1, s1[d], b2, s2[d]), overlap_len(b1, s1[d], a2, s2[d]));
  if (V0 < 1 || V0 > b->max_val_in_lmax) return 0;
  int64_t E = get_longest_hole_inv(env, b, d, slack, (int)V0);
  if (E < 1) return 0; /* -1: no bound; 0: no gap to forbid */
  int r1 = drop_range(env, b, w, object2, c, max1c + t1[c] - E - s2[c] - t2[c], min1c + t1[c] - s2[c] - t2[c] - 1);
  if (r1 < 0) return r1;
  int r2 = drop_range(env, b, w, object2, c, max1c + t1[c] + s1[c] + 1 - t2[c], min1c + t1[c] + s1[c] + E - t2[c]);
  return r2 < 0 ? r2 : r1 | r2;
}

int floating_visavis(ORVALIS_API_STRUCT *env, geost_data *b, worker *w)
{
  if (b->kdims != 2) return 0;
  int P = 0;
  for (int i = 0; i < b->nobjects; i++) {
    int o1 = b->target[i];
    if (!decomposable(b, o1)) continue; /* a box of a shape the object may not take is no box */
    bool failed = each_own_sbox(b, o1, [&](int s1) {
      if (!compulsory_part_in_all_dimensions(b, o1, s1) || !sbox_connects_region(b, origin_view(b, o1, 0), s1, 1))
        return false;
      for (int p = 0; p < b->ntargets; p++) {
        int o2 = b->target[p];
        if (object_is_ground(b, o2) || !decomposable(b, o2)) continue;
        if (each_own_sbox(b, o2, [&](int s2) {
              if (o2 == o1 && s2 == s1) return false;
              for (int d = 0; d < 2; d++) {
                int r = floating_visavis_prune(env, b, w, o1, s1, o2, s2, d);
                if (r < 0) return true;
                P |= r;
                if (P) { /* both the dimension examined and the one pruned */
                  b->object.flags[o2] |= 3;
                  b->pruneddim[0] = b->pruneddim[1] = 1;
                }
              }
              return false;
            }))
          return true;
      }
      return false;
    });
    if (failed) return -1;
  }
  return P;
}

/* ---- fixall placement; redundant disjunctive and cumulative checks; pallet colouring ---- */

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

/* Whether a task operation changed an active object since the fixpoint loop cleared the marks. */
bool any_object_marked(const geost_data *b)
{
  for (int p = 0; p < b->ntargets; p++)
    if (b->object.flags[b->target[p]] & 1) return true;
  return false;
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
  const dvar *lo = &b->lower_dvar[d], *up = &b->upper_dvar[d];
  const TAGGED corners[4] = {lo->min, lo->max, up->min, up->max};
  int r = fd_discrete_filtering(env, b->task, n, n, flags, diff.data(), &limit, &b->lower_dvar[d],
                                &b->upper_dvar[d], dc.data(), (int)dc.size(),
                                whole ? geost_lh_method : geost_lh_dummy, geost_dp_hash_method, b->scratch, w);
  /* the differences are made afresh on each call: narrowing them alone is no change, and
   * counting it as one would run the fixpoint loop for ever */
  if (r == 1 && !dc.empty() && corners[0] == lo->min && corners[1] == lo->max && corners[2] == up->min &&
      corners[3] == up->max && !any_object_marked(b))
    r = 0;
  return r;
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

/* ---- hole test of the sweep ---- */

void (*geost_corner_case_hook)(int border_case) = nullptr;

namespace {

int64_t extent_of(const geost_data *b, int r, int d)
{
  return (int64_t)b->fr.end[r * b->kdims + d] + 1 - b->fr.origin[r * b->kdims + d];
}

/* The volume of region r, 0 when it is empty in some dimension, saturated. */
int64_t region_volume(const geost_data *b, int r)
{
  int64_t v = 1;
  for (int d = 0; d < b->kdims; d++) {
    int64_t e = extent_of(b, r, d);
    if (e < 1) return 0;
    v = sat_mul(v, e);
  }
  return v;
}

int clamp_int(int64_t v) { return (int)std::clamp<int64_t>(v, INT_MIN + 1, INT_MAX); }

/* Whether the sboxes of shape sid lie apart from each other. The gap reasoning takes each sbox
 * as a box of its own: an sbox that overlaps a sibling may stick into a gap only partly, and
 * the overlapping pair covers less than the sum of its volumes. */
bool shape_apart(const geost_data *b, int sid)
{
  int k = b->kdims;
  const int *tr = b->shape.translation, *sz = b->shape.size;
  for (int i = geost_first_sbox(b, sid); i >= 0 && b->shape.sid[i] == sid; i++)
    for (int j = i + 1; b->shape.sid[j] == sid; j++) {
      bool meet = true;
      for (int d = 0; d < k && meet; d++)
        meet = (int64_t)tr[i * k + d] < (int64_t)tr[j * k + d] + sz[j * k + d] &&
               (int64_t)tr[j * k + d] < (int64_t)tr[i * k + d] + sz[i * k + d];
      if (meet) return false;
    }
  return true;
}

/* Sbox s placed at origin x into region r. */
void place_sbox(geost_data *b, int r, int s, const int *x)
{
  int k = b->kdims;
  for (int d = 0; d < k; d++) {
    int64_t a = (int64_t)x[d] + b->shape.translation[s * k + d];
    put_range(b, r, d, a, a + b->shape.size[s * k + d] - 1);
  }
}

/* Sbox s of object o at its origin lower bounds into region r. */
void place_at_lower(geost_data *b, int r, int o, int s)
{
  int k = b->kdims;
  for (int d = 0; d < k; d++) {
    int64_t a = (int64_t)lo_of(origin_view(b, o, d)) + b->shape.translation[s * k + d];
    put_range(b, r, d, a, a + b->shape.size[s * k + d] - 1);
  }
}

bool regions_meet(const geost_data *b, int r, int q)
{
  int k = b->kdims;
  for (int d = 0; d < k; d++)
    if (b->fr.end[r * k + d] < b->fr.origin[q * k + d] ||
        b->fr.end[q * k + d] < b->fr.origin[r * k + d])
      return false;
  return true;
}

/* Whether the domain holds a value in lo..hi. */
bool domain_meets(const dvar *X, int64_t lo, int64_t hi)
{
  if (lo > hi || hi < lo_of(X) || lo > hi_of(X)) return false;
  if (X->flags & DV_INTERVAL) return true;
  DVITER it;
  dviter_init(&it, X);
  while (!dviter_empty(&it)) {
    int32_t a, z;
    dviter_next_interval_l(&it, &a, &z);
    if (a > hi) return false;
    if (z >= lo) return true;
  }
  return false;
}

/* The same object as `object`: itself, or the object whose copy the virtual object is. */
bool same_object(const geost_data *b, int o, int object)
{
  return o == object || b->object.oid[o] == b->object.oid[object];
}

/* Calls f(o) on the object itself when it is the virtual one (outside target), then on the first
 * n objects of target other than its twin. */
template <typename F>
void each_object_with(const geost_data *b, int object, int n, F f)
{
  if (object >= b->nobjects) f(object);
  for (int pos = 0; pos < n; pos++) {
    int o = b->target[pos];
    if (o == object || !same_object(b, o, object)) f(o);
  }
}

}  // namespace

int vis_a_vis_border(geost_data *b, int r0, int r1, int d, int side, int *size, int *vol)
{
  int k = b->kdims;
  for (int j = 0; j < k; j++) {
    b->fr.origin[r1 * k + j] = b->fr.origin[r0 * k + j];
    b->fr.end[r1 * k + j] = b->fr.end[r0 * k + j];
  }
  if (side == 0)
    put_range(b, r1, d, b->fr.origin[k + d], (int64_t)b->fr.origin[r0 * k + d] - 1);
  else
    put_range(b, r1, d, (int64_t)b->fr.end[r0 * k + d] + 1, b->fr.end[k + d]);
  *size = clamp_int(extent_of(b, r1, d));
  *vol = clamp_int(region_volume(b, r1));
  return 1;
}

int vis_a_vis(geost_data *b, int r0, int r1, int r2, int *d, int *side, int *size, int *vol)
{
  int k = b->kdims, sep = -1, nsep = 0;
  const int *org = b->fr.origin, *end = b->fr.end;
  for (int j = 0; j < k; j++)
    if (end[r0 * k + j] < org[r1 * k + j] || end[r1 * k + j] < org[r0 * k + j]) {
      if (sep < 0) sep = j;
      nsep++;
    }
  *d = sep;
  if (nsep != 1) return 0;
  for (int j = 0; j < k; j++)
    if (j != sep)
      put_range(b, r2, j, std::max(org[r0 * k + j], org[r1 * k + j]),
                std::min(end[r0 * k + j], end[r1 * k + j]));
  *side = end[r0 * k + sep] < org[r1 * k + sep];
  if (*side)
    put_range(b, r2, sep, (int64_t)end[r0 * k + sep] + 1, (int64_t)org[r1 * k + sep] - 1);
  else
    put_range(b, r2, sep, (int64_t)end[r1 * k + sep] + 1, (int64_t)org[r0 * k + sep] - 1);
  *size = clamp_int(extent_of(b, r2, sep));
  *vol = clamp_int(region_volume(b, r2));
  return 1;
}

int visavis_fill(ORVALIS_API_STRUCT *, geost_data *b, int gap, const int *ext, int d, int curobj,
                 int cursbox, int all, int64_t *min, int64_t *max, int64_t vol)
{
  int k = b->kdims, h = gap + 1, count = 0;
  int64_t rest = vol;
  *min = *max = 0;
  auto fill = [&](int o2) {
    const dvar *sv = shape_view(b, o2);
    if (!(sv->flags & DV_FIXED)) return; /* its volume is part of the slack */
    int sid = lo_of(sv);
    const dvar *dv = origin_view(b, o2, 0);
    /* apart: an sbox that meets the gap lies inside it along d, and the sboxes' least overlaps
     * add up; otherwise the object's least overlap is that of its best sbox */
    bool apart = shape_apart(b, sid);
    int64_t own = 0;
    for (int s2 = geost_first_sbox(b, sid); s2 >= 0 && b->shape.sid[s2] == sid; s2++) {
      if (o2 == curobj && s2 == cursbox) continue;
      int64_t L = b->shape.size[s2 * k + d], pmin = 1, pmax = 1;
      if (apart && L > ext[d]) continue;
      put_hull(b, h, dv, s2);
      bool skip = false;
      for (int j = 0; j < k && !skip; j++) {
        int64_t mi = min_intersection(b, gap, h, ext, sizes_of(b, s2), j);
        int64_t ma = sbox_max_intersection(b, dv, s2, h, gap, ext, j); /* h is scratch from here */
        if (j == d && apart) {
          if (mi > 0) mi = L;
          skip = ma < L;
        }
        skip = skip || ma == 0;
        pmin = sat_mul(pmin, mi);
        pmax = sat_mul(pmax, ma);
      }
      if (skip) continue;
      count++;
      if (apart)
        *min += pmin;
      else
        own = std::max(own, pmin);
      if (rest > 0) {
        rest -= pmax;
        *max += pmax;
      }
    }
    *min += own;
  };
  if (curobj >= 0 && curobj < b->nobjects + 2)
    each_object_with(b, curobj, all ? b->nobjects : b->ntargets, fill);
  else
    for (int pos = 0; pos < (all ? b->nobjects : b->ntargets); pos++) fill(b->target[pos]);
  return count;
}

int32_t sbox_max_intersection_inside(ORVALIS_API_STRUCT *, geost_data *b, worker *, int is_target,
                                     int obj, int sbox, int r1, int d)
{
  int k = b->kdims;
  int64_t t = b->shape.translation[sbox * k + d], L = b->shape.size[sbox * k + d];
  int64_t o = b->fr.origin[r1 * k + d], e = b->fr.end[r1 * k + d];
  const dvar *X = origin_view(b, obj, d);
  if (is_target) return e + 1 - o >= L && domain_meets(X, o - t, e + 1 - t - L) ? (int32_t)L : 0;
  int64_t a = std::max<int64_t>((int64_t)lo_of(X) + t, b->fr.origin[k + d]);
  int64_t z = std::min<int64_t>((int64_t)lo_of(X) + t + L - 1, b->fr.end[k + d]);
  return a <= z && a >= o && z <= e ? (int32_t)(z - a + 1) : 0;
}

namespace {

/* ---- the corner test ---- */

/* The eight neighbour entries, bit 1 << i: the cell line (a column, dimension 0, or a row,
 * dimension 1) and the boundary across it (between low and low + 1 in the other dimension),
 * as offsets from R's corners. */
struct corner_entry {
  int line_dim;          /* 0: a column x, 1: a row y */
  int line_hi, line_off; /* line = (line_hi ? x1/y1 : x0/y0) + line_off in line_dim */
  int low_hi, low_off;   /* low = (low_hi ? x1/y1 : x0/y0) + low_off in the other dimension */
};
constexpr corner_entry corner_entries[8] = {
    {0, 0, -1, 1, 0},  /* UL-col: column x0-1, rows y1 | y1+1 */
    {1, 1, 1, 0, -1},  /* UL-row: row y1+1, columns x0-1 | x0 */
    {1, 1, 1, 1, 0},   /* UR-row: row y1+1, columns x1 | x1+1 */
    {0, 1, 1, 1, 0},   /* UR-col: column x1+1, rows y1 | y1+1 */
    {0, 1, 1, 0, -1},  /* LR-col: column x1+1, rows y0-1 | y0 */
    {1, 0, -1, 1, 0},  /* LR-row: row y0-1, columns x1 | x1+1 */
    {1, 0, -1, 0, -1}, /* LL-row: row y0-1, columns x0-1 | x0 */
    {0, 0, -1, 0, -1}, /* LL-col: column x0-1, rows y0-1 | y0 */
};

/* Per border case (bits: 1 top, 2 right, 4 bottom, 8 left side of R on bounding box 1's
 * border): entries set to -1, entries set to 1, strips disabled, strip set to 0 (strip bits:
 * 1 above, 2 right, 4 below, 8 left). */
struct border_row {
  uint8_t minus, plus, disabled, zero;
};
constexpr border_row border_rows[15] = {
    {0, 0, 0, 0},      {6, 9, 1, 0},      {24, 36, 2, 0},   {18, 45, 3, 0},  {96, 144, 4, 0},
    {102, 153, 5, 0},  {72, 180, 6, 0},   {66, 189, 5, 2},  {129, 66, 8, 0}, {132, 75, 9, 0},
    {153, 102, 10, 0}, {144, 111, 10, 1}, {33, 210, 12, 0}, {36, 219, 5, 8}, {9, 246, 10, 4},
};

/* The hole conditions by need mask N. X: the strips that can be filled; S: the pairs of strips
 * whose largest contributor is the same sbox (2 above-right, 4 above-below, 8 above-left,
 * 64 right-below, 128 right-left, 2048 below-left). A row holds when one alternative does. */
enum corner_cond : uint8_t { END, X_NONE, X_LACKS, S_ALL, S_ANY };
struct corner_alt {
  corner_cond kind;
  uint16_t mask;
};
struct corner_rule {
  const char *needs;
  corner_alt alt[6];
};
const corner_rule corner_rules[] = {
    {"3,12,48,192", {{X_NONE, 15}}},
    {"6,7,14,22,23,38,46,54,70,71,86,87,134,142,150,166,174,182,198,214", {{X_LACKS, 1}}},
    {"9,11,13", {{X_NONE, 14}}},
    {"15", {{X_NONE, 14}, {X_LACKS, 1}, {S_ALL, 14}}},
    {"18,19,50,82,83,146,178,210", {{X_NONE, 3}}},
    {"24-29,56,58,88-93,152,154,184,186,216,218", {{X_LACKS, 2}}},
    {"30,31,62,94,95,158,190,222", {{X_LACKS, 3}, {S_ALL, 2}}},
    {"33,35,37,41,43,45,49,53", {{X_NONE, 12}}},
    {"36,44,52", {{X_NONE, 13}}},
    {"39,47,55", {{X_NONE, 12}, {X_LACKS, 1}, {S_ALL, 12}}},
    {"51", {{X_NONE, 12}, {X_NONE, 3}, {S_ALL, 2254}}},
    {"57,59,61", {{X_NONE, 12}, {X_LACKS, 2}, {S_ALL, 192}}},
    {"60", {{X_NONE, 13}, {X_LACKS, 2}, {S_ALL, 194}}},
    {"63", {{X_NONE, 12}, {X_LACKS, 3}, {S_ALL, 2}, {S_ALL, 192}, {S_ALL, 12}}},
    {"66,67,194", {{X_NONE, 7}}},
    {"72-77,200,202", {{X_NONE, 6}}},
    {"78,79,206", {{X_NONE, 6}, {X_LACKS, 1}, {S_ALL, 6}}},
    {"96-101,104-109,112,113,116,117,224,226,232,234", {{X_LACKS, 4}}},
    {"102,103,110,111,118,119,230,238,246", {{X_LACKS, 5}, {S_ALL, 4}}},
    {"114,115,242", {{X_LACKS, 4}, {X_NONE, 3}, {S_ALL, 68}}},
    {"120-125,248,250", {{X_LACKS, 6}, {S_ALL, 64}}},
    {"126,127,254", {{X_LACKS, 7}, {S_ANY, 70}}},
    {"129,131,133,137,139,141,145,149,161,163,165,169,171,173,177,181,193,197,209,213",
     {{X_LACKS, 8}}},
    {"132,140,148,164,172,180,196,212", {{X_NONE, 9}}},
    {"135,143,151,167,175,183,199,215", {{X_LACKS, 9}, {S_ALL, 8}}},
    {"144,176,208", {{X_NONE, 11}}},
    {"147,179,211", {{X_LACKS, 8}, {X_NONE, 3}, {S_ALL, 136}}},
    {"153,155,157,185,187,189,217,219,221", {{X_LACKS, 10}, {S_ALL, 128}}},
    {"156,188,220", {{X_NONE, 9}, {X_LACKS, 2}, {S_ALL, 130}}},
    {"159,191,223", {{X_LACKS, 11}, {S_ANY, 138}}},
    {"195", {{X_NONE, 7}, {X_LACKS, 8}, {S_ANY, 2184}}},
    {"201,203,205", {{X_NONE, 6}, {X_LACKS, 8}, {S_ALL, 2176}}},
    {"204", {{X_NONE, 6}, {X_NONE, 9}, {S_ALL, 2254}}},
    {"207", {{X_NONE, 6}, {X_LACKS, 9}, {S_ALL, 8}, {S_ALL, 2176}, {S_ALL, 6}}},
    {"225,227,229,233,235,237,241,245", {{X_LACKS, 12}, {S_ALL, 2048}}},
    {"228,236,244", {{X_LACKS, 4}, {X_NONE, 9}, {S_ALL, 2052}}},
    {"231,239,247", {{X_LACKS, 13}, {S_ANY, 2060}}},
    {"240", {{X_LACKS, 4}, {X_NONE, 11}, {S_ALL, 2116}}},
    {"243", {{X_LACKS, 12}, {X_NONE, 3}, {S_ALL, 2048}, {S_ALL, 68}, {S_ALL, 136}}},
    {"249,251,253", {{X_LACKS, 14}, {S_ANY, 2240}}},
    {"252", {{X_LACKS, 4}, {X_NONE, 9}, {X_LACKS, 2}, {S_ALL, 64}, {S_ALL, 2052}, {S_ALL, 130}}},
    {"255", {{X_LACKS, 15}, {S_ANY, 2254}}},
};

/* The rule of each need mask, -1 for none: built once from the rows' lists. */
struct corner_index {
  int8_t rule[256];
  corner_index()
  {
    std::fill(rule, rule + 256, (int8_t)-1);
    for (int r = 0; r < (int)(sizeof corner_rules / sizeof corner_rules[0]); r++)
      for (const char *c = corner_rules[r].needs; *c;) {
        int lo = number(&c), hi = *c == '-' ? (c++, number(&c)) : lo;
        for (int n = lo; n <= hi; n++) rule[n] = (int8_t)r;
        if (*c == ',') c++;
      }
  }
  static int number(const char **c)
  {
    int n = 0;
    for (; **c >= '0' && **c <= '9'; (*c)++) n = 10 * n + (**c - '0');
    return n;
  }
};

bool corner_hole(int need, int X, int S)
{
  static const corner_index index;
  if (need < 3 || need > 255 || index.rule[need] < 0) return false;
  for (const corner_alt &a : corner_rules[index.rule[need]].alt) {
    bool holds = a.kind == X_NONE    ? (X & a.mask) == 0
                 : a.kind == X_LACKS ? (X & a.mask) != a.mask
                 : a.kind == S_ALL   ? (S & a.mask) == a.mask
                 : a.kind == S_ANY   ? (S & a.mask) != 0
                                     : false;
    if (holds) return true;
  }
  return false;
}

/* A strip along a side of R: what is still to cover, and its largest contributor (object
 * identifier and sbox; of equal ones the least, so that the order of the objects does not
 * matter). */
struct strip {
  int64_t cap, best = 0, who = -1;
  bool open() const { return cap + best >= 1; }
};

/* Sbox s2 of object o2 against the corner entries and strips of R. */
void corner_examine(ORVALIS_API_STRUCT *env, geost_data *b, int R, int o2, int s2, bool placed,
                    int *entry, strip *st, const bool *disabled)
{
  int64_t id = (int64_t)(uint32_t)b->object.oid[o2] << 32 | (uint32_t)s2;
  int k = b->kdims;
  const dvar *dv = origin_view(b, o2, 0);
  int64_t qlo[2], qhi[2], lo[2], hi[2];
  for (int d = 0; d < 2; d++) {
    int64_t t = b->shape.translation[s2 * k + d], L = b->shape.size[s2 * k + d];
    qlo[d] = (int64_t)hi_of(&dv[d]) + t;
    qhi[d] = (int64_t)lo_of(&dv[d]) + t + L - 1;
    if (placed) {
      qlo[d] = std::max<int64_t>(qlo[d], b->fr.origin[k + d]);
      qhi[d] = std::min<int64_t>(qhi[d], b->fr.end[k + d]);
    }
    lo[d] = b->fr.origin[R * k + d];
    hi[d] = b->fr.end[R * k + d];
  }
  for (int i = 0; i < 8; i++) {
    const corner_entry &c = corner_entries[i];
    int ld = c.line_dim, bd = 1 - ld;
    int64_t line = (c.line_hi ? hi[ld] : lo[ld]) + c.line_off,
            low = (c.low_hi ? hi[bd] : lo[bd]) + c.low_off;
    if (line < qlo[ld] || line > qhi[ld]) continue;
    if (qlo[bd] <= low && qhi[bd] >= low + 1)
      entry[i] = -1;
    else if ((dv[bd].flags & DV_FIXED) && (qlo[bd] == low + 1 || qhi[bd] == low))
      entry[i] = 1;
  }
  int32_t a[2] = {sbox_max_intersection_inside(env, b, nullptr, !placed, o2, s2, R, 0),
                  sbox_max_intersection_inside(env, b, nullptr, !placed, o2, s2, R, 1)};
  /* above and below take a0 at the flush origins in dimension 1; right and left a1 in 0 */
  for (int i = 0; i < 4; i++) {
    int along = i % 2 == 0 ? 0 : 1, across = 1 - along;
    if (a[along] <= 0 || disabled[i] || !st[i].open()) continue;
    int64_t t = b->shape.translation[s2 * k + across], L = b->shape.size[s2 * k + across];
    int64_t flush = i < 2 ? hi[across] + 1 - t : lo[across] - L - t;
    if (!holds(&dv[across], flush)) continue;
    st[i].cap -= a[along];
    if (a[along] > st[i].best || (a[along] == st[i].best && id < st[i].who))
      st[i].best = a[along], st[i].who = id;
  }
}

/* The corner test of sbox s of the object placed as region R (k = 2). */
bool corners_make_hole(ORVALIS_API_STRUCT *env, geost_data *b, int object, int s, int R)
{
  int k = b->kdims;
  int64_t x0 = b->fr.origin[R * k], x1 = b->fr.end[R * k], y0 = b->fr.origin[R * k + 1],
          y1 = b->fr.end[R * k + 1];
  int64_t wide = x1 - x0 + 1 - b->slack, high = y1 - y0 + 1 - b->slack;
  if (wide < 1 && high < 1) return false;
  int bcase = (y1 == b->fr.end[k + 1]) + 2 * (x1 == b->fr.end[k]) +
              4 * (y0 == b->fr.origin[k + 1]) + 8 * (x0 == b->fr.origin[k]);
  if (geost_corner_case_hook) geost_corner_case_hook(bcase);
  if (bcase == 15) return false;
  const border_row &row = border_rows[bcase];
  int entry[8];
  strip st[4] = {{wide}, {high}, {wide}, {high}}; /* above, right, below, left */
  bool disabled[4];
  for (int i = 0; i < 8; i++) entry[i] = row.minus >> i & 1 ? -1 : row.plus >> i & 1 ? 1 : 0;
  for (int i = 0; i < 4; i++) {
    disabled[i] = row.disabled >> i & 1;
    if (disabled[i]) st[i].cap = 0x7fffffff;
    if (row.zero >> i & 1) st[i].cap = 0;
  }
  /* every other sbox; an object of unknown shape has no sure cells: no verdict then */
  bool unknown = false;
  auto examine = [&](int o2, bool placed) {
    const dvar *sv = shape_view(b, o2);
    if (!(sv->flags & DV_FIXED)) {
      unknown = true;
      return;
    }
    int sid = lo_of(sv);
    for (int s2 = geost_first_sbox(b, sid); s2 >= 0 && b->shape.sid[s2] == sid; s2++)
      if (!(o2 == object && s2 == s))
        corner_examine(env, b, R, o2, s2, placed, entry, st, disabled);
  };
  if (object >= b->nobjects) examine(object, false);
  for (int pos = 0; pos < b->nobjects && !unknown; pos++) {
    int o2 = b->target[pos];
    if (o2 == object || !same_object(b, o2, object)) examine(o2, pos >= b->ntargets);
  }
  if (unknown) return false;
  for (int c = 0; c < 8; c += 2) { /* the pairs of a corner */
    if (entry[c] == -1)
      entry[c + 1] = 1;
    else if (entry[c + 1] == -1)
      entry[c] = 1;
  }
  int need = 0, X = 0, S = 0;
  for (int i = 0; i < 8; i++)
    if (entry[i] > 0) need |= 1 << i;
  for (int i = 0; i < 4; i++) {
    if (st[i].cap < 1) X |= 1 << i;
    if (st[i].cap + st[i].best < 1) st[i].who = -1; /* filled without it */
  }
  const int pairs[6][3] = {{0, 1, 2}, {0, 2, 4}, {0, 3, 8}, {1, 2, 64}, {1, 3, 128}, {2, 3, 2048}};
  for (const auto &pr : pairs)
    if (st[pr[0]].who != -1 && st[pr[0]].who == st[pr[1]].who) S |= pr[2];
  return corner_hole(need, X, S);
}

/* ---- the hole test of one sbox ---- */

/* The slack bounding the empty cells of region r (2-D). */
int64_t region_slack(const geost_data *b, int r)
{
  const int64_t lo[2] = {b->fr.origin[2 * r], b->fr.origin[2 * r + 1]}, hi[2] = {b->fr.end[2 * r], b->fr.end[2 * r + 1]};
  return gap_slack(b, lo, hi);
}

/* Whether an sbox that ends before R, or starts after it, in a dimension d in which it is fixed
 * leaves a gap between them longer, across d, than the longest hole of its width. */
bool longest_hole_beside(ORVALIS_API_STRUCT *env, geost_data *b, int object, int s, const int *p,
                         int R, int R2)
{
  int k = b->kdims;
  const int *org = b->fr.origin, *end = b->fr.end;
  bool hole = false;
  auto beside = [&](int o2) {
    const dvar *sv = shape_view(b, o2);
    if (hole || !(sv->flags & DV_FIXED)) return;
    int sid = lo_of(sv);
    if (!shape_apart(b, sid)) return; /* a sibling may lie in the gap */
    const dvar *dv = origin_view(b, o2, 0);
    for (int s2 = geost_first_sbox(b, sid); s2 >= 0 && b->shape.sid[s2] == sid && !hole; s2++) {
      if (o2 == object && s2 == s) continue;
      if (o2 == object)
        place_sbox(b, R2, s2, p);
      else
        put_hull(b, R2, dv, s2);
      for (int d = 0; d < 2 && !hole; d++) {
        if (o2 != object && !(dv[d].flags & DV_FIXED)) continue;
        int64_t lo[2], hi[2]; /* the gap: between the two along d, across R along d ^ 1 */
        lo[d ^ 1] = org[R * k + (d ^ 1)], hi[d ^ 1] = end[R * k + (d ^ 1)];
        if (end[R2 * k + d] < org[R * k + d] && org[R * k + d] >= org[k + d] &&
            org[R * k + d] <= end[k + d])
          lo[d] = (int64_t)end[R2 * k + d] + 1, hi[d] = (int64_t)org[R * k + d] - 1;
        else if (org[R2 * k + d] > end[R * k + d] && end[R * k + d] >= org[k + d] &&
                 end[R * k + d] <= end[k + d])
          lo[d] = (int64_t)end[R * k + d] + 1, hi[d] = (int64_t)org[R2 * k + d] - 1;
        else
          continue;
        int64_t gap = hi[d] - lo[d] + 1;
        if (gap < 1 || gap > INT_MAX) continue;
        int32_t m = min_intersection(b, R2, R, sizes_of(b, s2), sizes_of(b, s), d ^ 1);
        hole = m > get_longest_hole(env, b, d ^ 1, gap_slack(b, lo, hi), (int)gap, 0);
      }
    }
  };
  if (object >= b->nobjects) beside(object);
  for (int o2 = 0; o2 < b->nobjects && !hole; o2++)
    if (o2 == object || !same_object(b, o2, object)) beside(o2);
  return hole;
}

/* The largest length the pallet's items fill of the lines 0 .. that length: the table's size. */
int64_t pallet_reach(const geost_data *b)
{
  int64_t r = -1;
  for (int d = 0; d < b->kdims; d++)
    r = std::max<int64_t>(r, (int64_t)b->pl.bbend[d] - b->pl.bborig[d] + 1);
  return r;
}

/* The hole test of sbox s of the object at p (T scratch, R = T+2 the placed sbox). */
bool sbox_makes_hole(ORVALIS_API_STRUCT *env, geost_data *b, int object, int s, const int *p, int T)
{
  int k = b->kdims, R = T + 2, F = T + 1, nf = 2 * k;
  bool lh = (b->opt & GEOST_LONGEST_HOLE) && k == 2;
  place_sbox(b, R, s, p);
  /* 1. every face starts at the border */
  for (int f = 0; f < nf; f++) {
    vis_a_vis_border(b, R, T, f / 2, f % 2, &b->vis_a_vis_size[f], &b->vis_a_vis_vol[f]);
    b->vis_a_vis_object[f] = b->vis_a_vis_sbox[f] = -1;
  }
  /* 2. gaps beside fixed sboxes against the longest holes */
  if (lh && longest_hole_beside(env, b, object, s, p, R, F)) return true;
  /* 3. the nearest placed sbox facing each face */
  for (int pos = b->ntargets; pos < b->nobjects; pos++) {
    int o2 = b->target[pos], sid = lo_of(shape_view(b, o2));
    if (same_object(b, o2, object)) continue;
    for (int s2 = geost_first_sbox(b, sid); s2 >= 0 && b->shape.sid[s2] == sid; s2++) {
      place_at_lower(b, F, o2, s2);
      int d, side, size, vol;
      if (!regions_meet(b, F, 1) || !vis_a_vis(b, R, F, T, &d, &side, &size, &vol)) continue;
      int f = 2 * d + side;
      if (size < b->vis_a_vis_size[f] ||
          (size == b->vis_a_vis_size[f] && vol > b->vis_a_vis_vol[f])) {
        b->vis_a_vis_size[f] = size;
        b->vis_a_vis_vol[f] = vol;
        b->vis_a_vis_object[f] = o2;
        b->vis_a_vis_sbox[f] = s2;
      }
    }
  }
  /* 4. the gaps left must be filled, their waste within the slack */
  int small[8];
  std::vector<int> big(k > 8 ? k : 0);
  int *ext = k > 8 ? big.data() : small;
  int64_t waste = 0;
  bool pallet = (b->opt & GEOST_PALLET_LOADING) && b->pl.islin;
  for (int f = 0; f < nf; f++) {
    if (b->vis_a_vis_size[f] <= 0) continue;
    int d = f / 2, side = f % 2, size, vol32;
    if (b->vis_a_vis_object[f] < 0) {
      vis_a_vis_border(b, R, T, d, side, &size, &vol32);
    } else {
      int dd, sd;
      place_at_lower(b, F, b->vis_a_vis_object[f], b->vis_a_vis_sbox[f]);
      vis_a_vis(b, R, F, T, &dd, &sd, &size, &vol32);
    }
    for (int j = 0; j < k; j++) ext[j] = clamp_int(extent_of(b, T, j));
    int64_t vol = region_volume(b, T);
    if (vol <= 0) continue;
    if (pallet) {
      if (ext[d] > pallet_reach(b)) continue;
      waste += vol / ext[d] * pl_loss(ext[d], b->pl.islin);
      if (waste > b->exact_slack) return true;
      continue;
    }
    int64_t mn, mx;
    visavis_fill(env, b, T, ext, d, object, s, 0, &mn, &mx, vol);
    if (mx < vol) waste += vol - mx;
    if (vol < mn || waste > b->slack) return true;
    if (lh && get_longest_hole(env, b, d ^ 1, region_slack(b, T), ext[d], 0) < ext[d ^ 1]) return true;
  }
  /* 5. the corners */
  if ((b->opt & GEOST_CORNERS) && k == 2 && b->slack == b->exact_slack)
    return corners_make_hole(env, b, object, s, R);
  return false;
}

}  // namespace

int point_makes_hole(ORVALIS_API_STRUCT *env, geost_data *b, worker *, int object, const int *p,
                     int *region)
{
  const dvar *sv = shape_view(b, object);
  if (!(sv->flags & DV_FIXED)) return 0;
  int sid = lo_of(sv), T = b->fr.top_of_stack;
  if (!shape_apart(b, sid)) return 0; /* a sibling overlapping an sbox may fill its gaps in part */
  while (T + 3 > b->nregions) expand_regions(env, b);
  for (int s = geost_first_sbox(b, sid); s >= 0 && b->shape.sid[s] == sid; s++)
    if (sbox_makes_hole(env, b, object, s, p, T)) {
      for (int d = 0; d < b->kdims; d++) put_range(b, T, d, p[d], p[d]);
      *region = T;
      return 1;
    }
  return 0;
}

/* ---- filter loop and per-object sweep ---- */

namespace {

/* The origin view of object o in dimension d, to prune. */
dvar *gview(geost_data *b, int o, int d) { return &b->dvar[(b->kdims + 1) * o + 1 + d]; }
int *wit_row(geost_data *b, bool max, int o, int d)
{
  int k = b->kdims;
  return &(max ? b->object.maxwit : b->object.minwit)[(o * k + d) * k];
}
TAGGED small_clamped(int64_t v) { return MakeSmall((int32_t)std::clamp<int64_t>(v, QX_SMALL_MIN, QX_SMALL_MAX)); }

/* A change of the object's bound or witness in dimension j: the filters of later calls see it. */
void note_change(geost_data *b, int o, int j, int mono)
{
  if (!mono) return;
  b->pruneddim[j] = 1;
  b->object.flags[o] |= 3;
}

/* The code of a point test of the sweep: the dimension in the bits above 2, bit value 2 turns
 * on the polymorphic hole test (as point_in_some_fr reads it). */
int sweep_code(int d, int e) { return 4 * d + (e ? 2 : 0); }

/* An (object, sbox) contact slot of the vis-a-vis filter. */
struct contact {
  int obj = -1, sbox = -1;
  bool operator==(const contact &o) const { return obj == o.obj && sbox == o.sbox; }
};

/* Vis-a-vis contact filtering of sbox s of the object in dimension d (exact slack: the sbox's
 * faces must touch a border or a neighbour): the change mask, -1 on failure. */
int contact_dimension(ORVALIS_API_STRUCT *env, geost_data *b, worker *w, int o, int sid, int s, int d,
                      contact slot[2])
{
  ORVALIS_API_STRUCT *api = env;
  int k = b->kdims;
  const int *tr = b->shape.translation, *sz = b->shape.size;
  slot[0] = slot[1] = contact{};
  if ((int64_t)b->shape.volume[s] <= (int64_t)sz[s * k + d] * b->slack) return 0;
  dvar *O = gview(b, o, 0);
  int64_t L = (int64_t)b->fr.origin[k + d] - tr[s * k + d];
  int64_t R = (int64_t)b->fr.end[k + d] - tr[s * k + d] - sz[s * k + d] + 1;
  TAGGED lfree = dvar_set(env, &O[d], w), rfree = lfree;
  int seen = 0;
  for (int p = 0; p < b->nobjects; p++) {
    if (seen >= 3 && lfree == atom_nil && rfree == atom_nil) break;
    int j = b->target[p];
    bool self = b->object.oid[j] == b->object.oid[o];
    int jo = self ? o : j;
    if (!fr_intersects_object(env, b, 1, jo)) continue;
    int jsid = self ? sid : lo_of(shape_view(b, j));
    const dvar *J = gview(b, jo, 0);
    for (int t = geost_first_sbox(b, jsid); t >= 0 && b->shape.sid[t] == jsid; t++) {
      if (self && t == s) continue;
      bool meet = true;
      for (int e = 0; e < k && meet; e++) {
        if (e == d) continue;
        int64_t a0 = (int64_t)lo_of(&O[e]) + tr[s * k + e], a1 = (int64_t)hi_of(&O[e]) + tr[s * k + e] + sz[s * k + e];
        int64_t b0 = (int64_t)lo_of(&J[e]) + tr[t * k + e], b1 = (int64_t)hi_of(&J[e]) + tr[t * k + e] + sz[t * k + e];
        meet = a0 < b1 && b0 < a1;
      }
      if (!meet) continue;
      seen++;
      if (seen <= 2) slot[seen - 1] = {jo, t};
      else slot[0] = slot[1] = contact{};
      int64_t tt = tr[t * k + d], lt = sz[t * k + d], ts = tr[s * k + d], ls = sz[s * k + d];
      if (self) {
        if (tt + lt == ts) lfree = atom_nil;
        if (ts + ls == tt) rfree = atom_nil;
        continue;
      }
      TAGGED T = p < b->ntargets ? dvar_set(env, (dvar *)&J[d], w)
                                 : fd_interval(api, w, J[d].min, J[d].min);
      int64_t up = tt + lt - ts, down = tt - ls - ts;
      /* a shift beyond the small integers: the face is taken as touching (nothing removed) */
      lfree = SmallFits(up) ? fd_subtract(api, w, lfree, fd_lsh(api, w, T, MakeSmall((int32_t)up))) : atom_nil;
      rfree = SmallFits(down) ? fd_subtract(api, w, rfree, fd_lsh(api, w, T, MakeSmall((int32_t)down))) : atom_nil;
    }
  }
  bool has_l = SmallFits(L) && dvar_contains_value_t(&O[d], MakeSmall((int32_t)L));
  bool has_r = SmallFits(R) && dvar_contains_value_t(&O[d], MakeSmall((int32_t)R));
  if (seen == 0) {
    if (L != R || !has_l) return -1;
    return dvar_fix_interval_t(&O[d], MakeSmall((int32_t)L), MakeSmall((int32_t)L));
  }
  if (seen == 1) {
    if (!has_l && !has_r) return -1;
    TAGGED keep = has_l && has_r ? fd_pair(api, w, MakeSmall((int32_t)std::min(L, R)), MakeSmall((int32_t)std::max(L, R)))
                  : has_l ? fd_interval(api, w, MakeSmall((int32_t)L), MakeSmall((int32_t)L))
                          : fd_interval(api, w, MakeSmall((int32_t)R), MakeSmall((int32_t)R));
    if (has_l && has_r) slot[0] = contact{};
    return dvar_fix_set(api, &O[d], keep, w);
  }
  if (has_l || has_r) slot[0] = slot[1] = contact{};
  int mask = 0;
  if (SmallFits(L)) lfree = fd_delete(api, w, lfree, MakeSmall((int32_t)L));
  if (SmallFits(R)) rfree = fd_delete(api, w, rfree, MakeSmall((int32_t)R));
  for (TAGGED f : {lfree, rfree}) {
    if (f == atom_nil) continue;
    int m = dvar_prune_set(api, &O[d], f, w);
    if (m < 0) return -1;
    mask |= m;
  }
  return mask;
}

/* pre_filter: the vis-a-vis contacts of every sbox of shape sid: -1 failure, 0, or 1 pruned.
 * Its sets stay in temporary storage until the call ends: the views keep the sets dvar_set
 * made for them there, so the storage is not trimmed back. */
int pre_filter(ORVALIS_API_STRUCT *env, geost_data *b, worker *w, int o, int sid, int mono)
{
  int k = b->kdims, result = 0;
  std::vector<contact> slots(2 * (size_t)k);
  for (int s = geost_first_sbox(b, sid); s >= 0 && b->shape.sid[s] == sid; s++) {
    for (int d = 0; d < k; d++) {
      int m = contact_dimension(env, b, w, o, sid, s, d, &slots[2 * d]);
      if (m < 0) return -1;
      if (m > 0) {
        result = 1;
        note_change(b, o, d, mono);
      }
    }
    for (size_t x = 0; x < slots.size(); x++)
      for (size_t y = x + 1; y < slots.size(); y++)
        if (slots[x].obj >= 0 && slots[x] == slots[y]) return -1;
  }
  return result;
}

/* pre_sweep: the object's absolute regions; a region covering the origin box in all but one
 * dimension prunes that dimension and goes. -1 failure, 0, or 1 pruned. */
int pre_sweep(ORVALIS_API_STRUCT *env, geost_data *b, worker *w, int o, int sid, int mono)
{
  int k = b->kdims, result = 0;
  b->fr.end_absolute = b->fr.end_relative;
  absolute_fr(env, b, w, o, sid, &b->fr.end_absolute, absolute_cont);
  dvar *O = gview(b, o, 0);
  int keep = b->fr.end_relative;
  for (int r = b->fr.end_relative; r < b->fr.end_absolute; r++) {
    int covered = 0, open = -1;
    for (int j = 0; j < k; j++) {
      if (lo_of(&O[j]) >= b->fr.origin[r * k + j] && hi_of(&O[j]) <= b->fr.end[r * k + j]) covered++;
      else open = j;
    }
    if (covered == k) return -1;
    if (covered == k - 1) {
      int64_t lo = std::max<int64_t>(b->fr.origin[r * k + open], lo_of(&O[open]));
      int64_t hi = std::min<int64_t>(b->fr.end[r * k + open], hi_of(&O[open]));
      if (lo > hi) continue; /* misses the origin box: drop it */
      int m = dvar_prune_interval_t(env, &O[open], MakeSmall((int32_t)lo), MakeSmall((int32_t)hi), w);
      if (m < 0) return -1;
      if (m > 0) {
        result = 1;
        note_change(b, o, open, mono);
      }
      continue;
    }
    if (keep < r) copy_slot(b, keep, r);
    keep++;
  }
  b->fr.end_absolute = b->fr.top_of_stack = b->fr.round_robin = keep;
  /* the point tests use the slots from top_of_stack on as scratch */
  while (b->fr.top_of_stack + 3 >= b->nregions) expand_regions(env, b);
  return result;
}

/* The sweep of dimension d from the min (max) witness to the first feasible point in the order
 * putting d first: the bound moves to its coordinate d and the point becomes the witness. -1
 * failure, 0, or 1 pruned. */
int sweep(ORVALIS_API_STRUCT *env, geost_data *b, worker *w, int o, int sid, int e, int d, bool max, int mono)
{
  int k = b->kdims;
  int *c = b->current, *n = b->next, *wit = wit_row(b, max, o, d);
  dvar *O = gview(b, o, 0);
  auto far = [&](int j) { return max ? (int64_t)lo_of(&O[j]) - 1 : (int64_t)hi_of(&O[j]) + 1; };
  auto start = [&](int j) { return max ? hi_of(&O[j]) : lo_of(&O[j]); };
  std::memcpy(c, wit, (size_t)k * sizeof(int));
  bool flag = true; /* the less significant coordinates are all at their start */
  for (int i = k - 1; i >= 0; i--) {
    int j = (d + i) % k;
    n[j] = (int)(flag ? far(j) : max ? (int64_t)c[j] - 1 : (int64_t)c[j] + 1);
    flag = flag && (max ? c[j] >= start(j) : c[j] <= start(j));
  }
  int region;
  while (inside_forbidden(env, b, w, c, o, sid, sweep_code(d, e), &region)) {
    for (int j = 0; j < k; j++) {
      /* past the region, and never backwards */
      if (max)
        n[j] = (int)std::min<int64_t>(std::max<int64_t>(n[j], (int64_t)b->fr.origin[region * k + j] - 1), (int64_t)c[j] - 1);
      else
        n[j] = (int)std::max<int64_t>(std::min<int64_t>(n[j], (int64_t)b->fr.end[region * k + j] + 1), (int64_t)c[j] + 1);
    }
    int i = k - 1;
    for (; i >= 0; i--) {
      int j = (d + i) % k;
      c[j] = n[j];
      n[j] = (int)far(j);
      if (max ? c[j] >= lo_of(&O[j]) : c[j] <= hi_of(&O[j])) break;
      c[j] = start(j);
    }
    if (i < 0) return -1;
  }
  int m = max ? dvar_fix_interval_t(&O[d], atom_inf, MakeSmall(c[d])) : dvar_fix_interval_t(&O[d], MakeSmall(c[d]), atom_sup);
  if (m < 0) return -1;
  for (int j = 0; j < k; j++)
    if (wit[j] != c[j]) {
      wit[j] = c[j];
      note_change(b, o, j, mono);
    }
  if (m > 0) note_change(b, o, d, mono);
  return m > 0;
}

}  // namespace

int filter_object_for_shape(ORVALIS_API_STRUCT *env, geost_data *b, worker *w, int object, int sid,
                            int enable_hole_polymorphic, int monomorphic)
{
  int k = b->kdims, result = 0, e = enable_hole_polymorphic, mono = monomorphic;
  if ((b->opt & GEOST_VISAVIS) && b->slack == b->exact_slack) {
    int r = pre_filter(env, b, w, object, sid, mono);
    if (r < 0) return -1;
    result |= r;
  }
  int r = pre_sweep(env, b, w, object, sid, mono);
  if (r < 0) return -1;
  result |= r;
  bool valid = true;
  for (int d = 0; d < k && valid; d++)
    valid = valid_witness(env, b, w, object, sid, e, wit_row(b, false, object, d)) &&
            valid_witness(env, b, w, object, sid, e, wit_row(b, true, object, d));
  if (valid) return result;
  bool swept = false;
  for (int d = 0; d < k; d++) {
    dvar *O = gview(b, object, d);
    if (O->flags & DV_FIXED) {
      if (swept || d < k - 1) continue;
    } else {
      r = sweep(env, b, w, object, sid, e, d, false, mono);
      if (r < 0) return -1;
      result |= r;
      if (O->flags & DV_FIXED) {
        swept = true;
        continue;
      }
    }
    r = sweep(env, b, w, object, sid, e, d, true, mono);
    if (r < 0) return -1;
    result |= r;
    swept = true;
  }
  return result;
}

namespace {

/* The virtual object (index nobjects) as a copy of the object fixed to shape s. */
void object_to_virtual(geost_data *b, int o, int s)
{
  int k = b->kdims, v = b->nobjects;
  b->object.proc[v] = b->object.proc[o];
  b->object.flags[v] = b->object.flags[o];
  b->object.oid[v] = b->object.oid[o];
  for (int d = 0; d <= k; d++) b->dvar[(k + 1) * v + d] = b->dvar[(k + 1) * o + d];
  dvar_fix_interval_t(shape_view(b, v), MakeSmall(s), MakeSmall(s));
  std::memcpy(wit_row(b, false, v, 0), wit_row(b, false, o, 0), (size_t)k * k * sizeof(int));
  std::memcpy(wit_row(b, true, v, 0), wit_row(b, true, o, 0), (size_t)k * k * sizeof(int));
  if (b->opt & GEOST_LEX) {
    b->object.lex_prev[v] = b->object.lex_prev[o];
    b->object.lex_next[v] = b->object.lex_next[o];
    if (b->object.lex_prev[o] >= 0 || b->object.lex_next[o] >= 0) {
      std::memcpy(&b->object.low[v * k], &b->object.low[o * k], (size_t)k * sizeof(int));
      std::memcpy(&b->object.up[v * k], &b->object.up[o * k], (size_t)k * sizeof(int));
    }
  }
}

/* The accumulator keeps per dimension the least lower-bound vector and the greatest
 * upper-bound vector over the shapes that survive. */
void update_virtual(geost_data *b)
{
  int k = b->kdims, v = b->nobjects, acc = v + 1;
  std::vector<int> P(k), Q(k);
  for (int d = 0; d < k; d++) P[d] = lo_of(gview(b, v, d)), Q[d] = hi_of(gview(b, v, d));
  for (int d = 0; d < k; d++) {
    int *mn = wit_row(b, false, acc, d), *mx = wit_row(b, true, acc, d);
    if (lex_le(k, P.data(), mn, 0, 0, d)) std::memcpy(mn, P.data(), (size_t)k * sizeof(int));
    if (lex_le(k, mx, Q.data(), 0, 0, d)) std::memcpy(mx, Q.data(), (size_t)k * sizeof(int));
  }
}

/* filter_object: an object of several shapes, filtered shape by shape through the virtual
 * object. The status 0, 1, or 2 failure. */
int filter_polymorphic(ORVALIS_API_STRUCT *env, geost_data *b, worker *w, int o, int e)
{
  ORVALIS_API_STRUCT *api = env;
  int k = b->kdims, acc = b->nobjects + 1, status = 0;
  for (int i = 0; i < k * k; i++) {
    b->object.minwit[acc * k * k + i] = 0x7fffffff;
    b->object.maxwit[acc * k * k + i] = (int)0x80000001;
  }
  dvar *shape = shape_view(b, o);
  TAGGED S = dvar_set(env, shape, w);
  std::vector<int> sids;
  DVITER it;
  dviter_init(&it, shape);
  while (!dviter_empty(&it)) sids.push_back(GetSmall(dviter_next_value_t(&it)));
  for (int s : sids) {
    object_to_virtual(b, o, s);
    if (filter_object_for_shape(env, b, w, b->nobjects, s, e, 0) < 0) {
      S = fd_delete(api, w, S, MakeSmall(s));
      status = 1;
    } else {
      update_virtual(b);
    }
  }
  int m = dvar_fix_set(api, shape, S, w);
  if (m < 0) return 2;
  if (m > 0) {
    status = 1;
    b->object.flags[o] |= 3;
    b->prunedsid = 1;
    if (b->opt & GEOST_VOLUME) compute_minmax_vol_sid(env, b, o);
  }
  for (int d = 0; d < k; d++)
    for (int max = 0; max < 2; max++) {
      int *from = wit_row(b, max, acc, d), *to = wit_row(b, max, o, d);
      for (int j = 0; j < k; j++)
        if (to[j] != from[j]) {
          to[j] = from[j];
          note_change(b, o, j, 1);
        }
    }
  for (int d = 0; d < k; d++) {
    int32_t lo = wit_row(b, false, acc, d)[d], hi = wit_row(b, true, acc, d)[d];
    int r = dvar_fix_interval_t(gview(b, o, d), small_clamped(lo), small_clamped(hi));
    if (r < 0) return 2;
    if (r > 0) {
      status = 1;
      note_change(b, o, d, 1);
    }
  }
  return status;
}

}  // namespace

int filter_geost(ORVALIS_API_STRUCT *env, geost_data *b, worker *w, int ntodo, int enable_hole_polymorphic)
{
  if (!(b->opt & (GEOST_OVERLAP | GEOST_OVERLAP_TOO))) all_relative_fr(env, b, 0);
  int result = 0;
  for (int i = 0; i < ntodo && result <= 1; i++) {
    int o = b->target[i], status;
    dvar *shape = shape_view(b, o);
    if (shape->flags & DV_FIXED) {
      int r = filter_object_for_shape(env, b, w, o, lo_of(shape), enable_hole_polymorphic, 1);
      status = r < 0 ? 2 : r ? 1 : 0;
    } else {
      status = filter_polymorphic(env, b, w, o, enable_hole_polymorphic);
    }
    result |= status;
  }
  return result;
}

/* ---- entry, daemon and destructor ---- */

namespace {

/* State arguments. */
constexpr int S_K = 1, S_NOBJ = 2, S_NSBOX = 3, S_MAXN = 4, S_NTARGETS = 5, S_OBJECTS = 6, S_SBOXES = 7,
              S_FIX = 8, S_BBOX = 9, S_VOLUME = 10, S_OPT = 11, S_ORDER = 12, S_LEX = 13,
              S_MAXBACKS = 14, S_RULES = 15, S_NHOLES = 16, S_REST = 17, S_ARITY = 19;
constexpr int32_t COORD_LIMIT = 1 << 26; /* translations and sizes stay far inside the small integers */

int refs_per_object(int k) { return 2 * k + 4; }
/* The references after the objects': fix switch, volume, lower corners, upper corners. */
int ref_fix(const geost_data *b) { return refs_per_object(b->kdims) * b->nobjects; }
int ref_lower(const geost_data *b, int d) { return ref_fix(b) + 4 + 2 * d; }
int ref_upper(const geost_data *b, int d) { return ref_fix(b) + 4 + 2 * b->kdims + 2 * d; }
int ref_witness(const geost_data *b, int o, bool max) { return refs_per_object(b->kdims) * o + 2 * b->kdims + 2 + max; }

void init_view(geost_data *b, dvar *d, int ref)
{
  dvar_init(d, &b->refbase[ref].term, &b->refbase[ref + 1].term);
}
void load_object(geost_data *b, int o)
{
  for (int v = 0; v <= b->kdims; v++) init_view(b, &b->dvar[(b->kdims + 1) * o + v], refs_per_object(b->kdims) * o + 2 * v);
}

size_t frames_offset(const geost_dims &dm)
{
  return QX_ALIGN_UP(geost_block_bytes(dm), alignof(geost_frame));
}
geost_dims dims_of(const geost_data *b)
{
  return {b->kdims, b->nobjects, b->nsboxes_posted, b->max_nsboxes, b->norder};
}

/* Witnesses from the object's mutable: its list of k*k small integers, else the bounds. */
void load_witness(geost_data *b, int o, bool max)
{
  int k = b->kdims, n = k * k;
  int *wit = &(max ? b->object.maxwit : b->object.minwit)[o * n];
  TAGGED l = fd_mutable_value(b->refbase[ref_witness(b, o, max)].term);
  int i = 0;
  for (; i < n && IsLst(l); i++, l = deref(LstTail(l))) {
    TAGGED h = deref(LstHead(l));
    if (!IsSmall(h)) break;
    wit[i] = GetSmall(h);
  }
  if (i == n) return;
  for (int d = 0; d < k; d++)
    for (int j = 0; j < k; j++) wit[d * k + j] = max ? hi_of(gview(b, o, j)) : lo_of(gview(b, o, j));
}

/* The block brought in step with a state it did not follow (backtracking, or a state the daemon
 * did not see): the live count, the views and the witnesses from the state. */
void refresh(ORVALIS_API_STRUCT *env, geost_data *b, TAGGED state)
{
  b->check_cumulative_set[0] = -2;
  b->stamp = GetSmall(deref(StrArg(state, S_ARITY)));
  TAGGED nt = deref(StrArg(state, S_NTARGETS));
  if (IsSmall(nt) && GetSmall(nt) >= 0 && GetSmall(nt) <= b->nobjects) b->ntargets = GetSmall(nt);
  for (int p = 0; p < b->ntargets; p++) {
    int o = b->target[p];
    load_object(b, o);
    b->object.flags[o] &= ~3;
    load_witness(b, o, false);
    load_witness(b, o, true);
    if (b->opt & GEOST_VOLUME) compute_minmax_vol_sid(env, b, o);
  }
  b->prunedsid = 0;
  for (int d = 0; d < b->kdims; d++) b->pruneddim[d] = 0;
}

}  // namespace

geost_frame *geost_frames(geost_data *b)
{
  return (geost_frame *)((char *)b + frames_offset(dims_of(b)));
}

int geost_daemon(ORVALIS_API_STRUCT *env, worker *w, void *frame, TAGGED *attr_ref, TAGGED global)
{
  auto *f = (geost_frame *)frame;
  geost_data *b = f->frame.destructor ? (geost_data *)frame : f->block;
  /* called on the block itself, the reference is found by its address */
  int r = f->frame.destructor ? (int)(((char *)attr_ref - (char *)b->refbase) / sizeof(QX_globref_)) : f->ref;
  int k = b->kdims, o = r / refs_per_object(k), j = r % refs_per_object(k);
  TAGGED state = fd_mutable_value(StrArg(deref(global), FD_GLOBAL_STATE));
  bool refreshed = GetSmall(deref(StrArg(state, S_ARITY))) != b->stamp;
  if (refreshed) refresh(env, b, state);
  if (o < b->nobjects) {
    if (j / 2 >= 1 && j / 2 - 1 < k) b->pruneddim[j / 2 - 1] = 1;
    if (j / 2 == 0) {
      b->prunedsid = 1;
      if (!refreshed && (b->opt & GEOST_VOLUME)) {
        init_view(b, shape_view(b, o), refs_per_object(k) * o);
        compute_minmax_vol_sid(env, b, o);
      }
    }
    b->object.flags[o] |= 1;
  } else {
    for (int p = 0; p < b->ntargets; p++) b->object.flags[b->target[p]] |= 1;
  }
  if (fd_status(deref(global)) & FD_ST_QUEUED) return 0;
  fd_daemon_copy_state(env, w, &global);
  b->stamp++;
  fd_enqueue_global(env, w, global, 5);
  return 1;
}

void geost_destructor(void *block)
{
  ORVALIS_API_STRUCT *api = &fd_engine_tables; /* the instance may be gone */
  auto *b = (geost_data *)block;
  for (size_mem &m : b->scratch)
    if (m.mem) QX_free(m.mem);
  for (int d = 0; d < b->kdims && b->lch_tables; d++)
    for (int32_t **t : {b->lch_tables, b->lh_tables, b->lh_tables_max, b->lh_tables_inv})
      if (t[d]) QX_free(t[d]);
  if (b->pl.holes) QX_free(b->pl.holes);
  if (b->pl.islin) QX_free(b->pl.islin);
  if (b->shape_hash) dispose_switch_on_key(b->shape_hash);
  if (b->dp_hash) dispose_dp_hash(api, b);
  /* the procedures are loaded only with the rules bit; the virtual object's list is a copy */
  for (int o = 0; o < b->nobjects && b->object.proc; o++)
    for (geost_proc *p = b->object.proc[o], *next; p; p = next) {
      next = p->next;
      QX_free(p);
    }
  fd_entry_destroy(block, b->refbase);
}

int witness_differs(const int *witness, TAGGED mutable_term, int n)
{
  TAGGED l = fd_mutable_value(mutable_term);
  if (!IsLst(l) && l != atom_nil) return 1;
  for (int i = 0; i < n; i++, l = deref(LstTail(l))) {
    if (!IsLst(l)) return 1;
    TAGGED h = deref(LstHead(l));
    if (!IsSmall(h) || GetSmall(h) != witness[i]) return 1;
  }
  return 0;
}

TAGGED witness_target(ORVALIS_API_STRUCT *env, worker *w, QX_globref mutable_ref, int n)
{
  TAGGED l = fd_mutable_value(mutable_ref->term);
  bool young = true;
  TAGGED x = l;
  for (int i = 0; i < n && young; i++) {
    young = IsLst(x) && LstPtr(x) >= w->global_uncond && LstPtr(x) < w->global_top;
    if (young) x = deref(LstTail(x));
  }
  if (young) return l;
  fd_room(env, w, 2 * (uint32_t)n + 128);
  TAGGED *cells = fd_heap_words(w, 2 * (uint32_t)n);
  for (int i = 0; i < n; i++) {
    cells[2 * i] = MakeSmall(0);
    cells[2 * i + 1] = i + 1 < n ? MakeLst(cells + 2 * i + 2) : atom_nil;
  }
  l = n > 0 ? MakeLst(cells) : atom_nil;
  fd_update_mutable(env, w, l, mutable_ref->term);
  return l;
}

void store_witnesses(ORVALIS_API_STRUCT *env, geost_data *b, worker *w, int object)
{
  int n = b->kdims * b->kdims;
  for (int max = 0; max < 2; max++) {
    const int *wit = &(max ? b->object.maxwit : b->object.minwit)[object * n];
    QX_globref ref = &b->refbase[ref_witness(b, object, max)];
    if (!witness_differs(wit, ref->term, n)) continue;
    TAGGED l = witness_target(env, w, ref, n);
    for (int i = 0; i < n; i++, l = deref(LstTail(l))) LstPtr(l)[0] = small_clamped(wit[i]);
  }
}

/* ---- geost_init ---- */

namespace {

/* The redundant reasoning that takes the sboxes of a shape as disjoint boxes (volumes summed,
 * sboxes as items placed apart, faces that must touch): disjunctive, cumulative, parconflict,
 * visavis_init, visavis, corners, task_intervals, dynamic_programming, longest_hole, and
 * visavis_floating. */
constexpr int32_t GEOST_DISJOINT_SBOXES = 0x7fd2;

/* Whether some shape has sboxes that overlap one another (its union volume is below the sum of
 * its sboxes'). */
bool sboxes_overlap(const geost_data *b)
{
  for (int j = 0; j < b->nsboxes_posted; j++)
    if ((j == 0 || b->shape.sid[j] != b->shape.sid[j - 1]) && b->shape.svolume[j] != b->shape.tvolume[j]) return true;
  return false;
}

}  // namespace

int geost_init(ORVALIS_API_STRUCT *env, geost_data *b, worker *w, int first)
{
  int k = b->kdims;
  b->fr.end_bb = 4;
  bb_init(b, 0);
  bb_init(b, 1);
  for (int p = 0; p < b->ntargets; p++) {
    int o = b->target[p];
    bb_add_object(env, b, 1, o);
    if (first && (b->object.flags[o] & 1)) bb_add_object(env, b, 0, o);
  }
  b->target_avail = 0;
  int64_t all = 0, decomposed = 0;
  for (int p = 0; p < b->nobjects && !b->overflow; p++) {
    int o = b->target[p];
    if (!fr_intersects_object(env, b, 1, o)) continue;
    bool active = p < b->ntargets;
    int64_t v = min_intersection_volume(env, b, active ? -1 : 1, o);
    if (v == 0x7fffffff) v = 0; /* an empty shape domain: the filters fail it */
    if (!active) b->target_avail -= (int32_t)v;
    all += v;
    if (geost_decomposable(b, o)) decomposed += v;
    if (all >= 0x7ffffffb) b->overflow = 1;
  }
  int64_t volume = 1;
  for (int d = 0; d < k; d++) {
    int64_t E = (int64_t)b->fr.end[k + d] + 1 - b->fr.origin[k + d];
    if (E < 1) return 0;
    if (volume >= 0x7ffffffb / E) b->overflow = 1;
    else volume *= E;
  }
  if (!b->overflow) {
    b->exact_slack = (int32_t)(volume - all);
    b->slack = (int32_t)(volume - decomposed);
    b->target_avail += (int32_t)volume;
    if (!(b->opt & (GEOST_OVERLAP | GEOST_OVERLAP_TOO)) && b->exact_slack < 0) return 0;
  } else {
    b->opt &= ~0xfff2;
    b->slack = b->exact_slack = 0x7ffffffb;
  }
  if (++b->tick == 1) {
    if (b->opt & (GEOST_OVERLAP | GEOST_OVERLAP_TOO)) b->opt &= ~0x4fff2;
    if (sboxes_overlap(b)) b->opt &= ~GEOST_DISJOINT_SBOXES;
    if (k != 2) b->opt &= ~0x3202;
    if (b->slack != b->exact_slack) b->opt &= ~GEOST_LONGEST_HOLE_ALL;
    else if ((b->opt & GEOST_CORNERS) && init_border_check(env, b, w) < 0) return 0;
    if (!init_longest_holes(env, b, w)) return 0;
    if ((b->opt & GEOST_VISAVIS_INIT) && init_avoid_holes(env, b, w) < 0) return 0;
    if ((b->opt & GEOST_PALLET_LOADING) && !pl_init(env, b, w)) return 0;
  }
  if ((b->opt & GEOST_PARCONFLICT) && !check_wrt_parallel_conflict(env, b, w)) return 0;
  return 1;
}

namespace {

/* ---- the passes of the fixpoint loop ---- */

/* Task intervals: the reach boxes of the sboxes of the objects that are not ground, clipped to
 * bounding box 1, as regions from end_bb on, sorted, without repeats. */
void reach_regions(ORVALIS_API_STRUCT *env, geost_data *b)
{
  int k = b->kdims, top = b->fr.end_bb;
  for (int p = 0; p < b->nobjects; p++) {
    int o = b->target[p];
    if (object_is_ground(b, o) || !fr_intersects_object(env, b, 1, o)) continue;
    int sid = lo_of(shape_view(b, o));
    for (int s = geost_first_sbox(b, sid); s >= 0 && b->shape.sid[s] == sid; s++) {
      bool nonempty = true, differs = false;
      for (int d = 0; d < k; d++) {
        int64_t t = b->shape.translation[s * k + d], l = b->shape.size[s * k + d];
        int64_t lo = std::max<int64_t>(t + lo_of(gview(b, o, d)), b->fr.origin[k + d]);
        int64_t hi = std::min<int64_t>(t + hi_of(gview(b, o, d)) + l - 1, b->fr.end[k + d]);
        nonempty = nonempty && lo <= hi;
        differs = differs || lo != b->fr.origin[k + d] || hi != b->fr.end[k + d];
        b->fr.origin[top * k + d] = (int)std::clamp<int64_t>(lo, INT_MIN + 1, INT_MAX);
        b->fr.end[top * k + d] = (int)std::clamp<int64_t>(hi, INT_MIN + 1, INT_MAX);
      }
      if (!nonempty || !differs) continue;
      b->fr.obj[top] = o;
      if (b->nregions <= ++top + 1) expand_regions(env, b);
    }
  }
  int from = b->fr.end_bb, n = top - from;
  if (n > 1) {
    std::vector<int> order(n);
    for (int i = 0; i < n; i++) order[i] = from + i;
    std::sort(order.begin(), order.end(), [b](int x, int y) { return cmp_region(b, &x, &y) < 0; });
    std::vector<int> rows(2 * (size_t)k * n), objs(n);
    int m = 0;
    for (int i = 0; i < n; i++) {
      if (i > 0 && cmp_region(b, &order[i - 1], &order[i]) == 0) continue;
      for (int d = 0; d < k; d++) {
        rows[(2 * m) * k + d] = b->fr.origin[order[i] * k + d];
        rows[(2 * m + 1) * k + d] = b->fr.end[order[i] * k + d];
      }
      objs[m++] = b->fr.obj[order[i]];
    }
    for (int i = 0; i < m; i++) {
      for (int d = 0; d < k; d++) {
        b->fr.origin[(from + i) * k + d] = rows[(2 * i) * k + d];
        b->fr.end[(from + i) * k + d] = rows[(2 * i + 1) * k + d];
      }
      b->fr.obj[from + i] = objs[i];
    }
    top = from + m;
  }
  b->fr.end_bb = top;
}

/* The largest (smallest with up false) vector of the object's origin domains lexicographically
 * at most (at least) v: false when there is none. */
bool lex_nearest(geost_data *b, int o, const int *v, bool below, int *out)
{
  int k = b->kdims, p = 0;
  while (p < k && dvar_contains_value_t(gview(b, o, p), MakeSmall(v[p]))) p++;
  if (p == k) {
    std::memcpy(out, v, (size_t)k * sizeof(int));
    return true;
  }
  for (int i = std::min(p, k - 1); i >= 0; i--) {
    dvar *X = gview(b, o, i);
    int32_t x = below ? dvar_predecessor_l(X, v[i]) : dvar_successor_l(X, v[i]);
    if (x == FD_INF_L || x == FD_SUP_L) continue;
    for (int j = 0; j < i; j++) out[j] = v[j];
    out[i] = x;
    for (int j = i + 1; j < k; j++) out[j] = below ? hi_of(gview(b, o, j)) : lo_of(gview(b, o, j));
    return true;
  }
  return false;
}

/* The lex chains' bounds low and up over the stretch around their active members: false when
 * a chain cannot be ordered. */
bool lex_chain_bounds(geost_data *b)
{
  int k = b->kdims, n = b->nobjects;
  std::vector<char> active(n, 0);
  for (int p = 0; p < b->ntargets; p++) active[b->target[p]] = 1;
  for (int o = 0; o < n; o++) b->object.flags[o] = active[o] ? b->object.flags[o] | 4 : b->object.flags[o] & ~4;
  for (int h = 0; h < n; h++) {
    if (b->object.lex_prev[h] >= 0 || b->object.lex_next[h] < 0) continue;
    int m = 0, fa = -1, la = -1;
    for (int o = h; o >= 0 && m < n; o = b->object.lex_next[o]) {
      if (active[o]) la = m, fa = fa < 0 ? m : fa;
      b->byclass[m++] = o;
    }
    if (fa < 0) continue;
    int lo = std::max(fa - 1, 0), hi = std::min(la + 1, m - 1);
    int *up = b->object.up, *low = b->object.low;
    int last = b->byclass[hi], head = b->byclass[lo];
    for (int d = 0; d < k; d++) up[last * k + d] = hi_of(gview(b, last, d)), low[head * k + d] = lo_of(gview(b, head, d));
    for (int i = hi - 1; i >= lo; i--)
      if (!lex_nearest(b, b->byclass[i], &up[b->byclass[i + 1] * k], true, &up[b->byclass[i] * k])) return false;
    for (int i = lo + 1; i <= hi; i++)
      if (!lex_nearest(b, b->byclass[i], &low[b->byclass[i - 1] * k], false, &low[b->byclass[i] * k])) return false;
    for (int i = lo; i <= hi; i++)
      if (!lex_le(k, &low[b->byclass[i] * k], &up[b->byclass[i] * k], 0, 0, 0)) return false;
  }
  return true;
}

/* Whether the object must be filtered in this pass. */
bool chosen(ORVALIS_API_STRUCT *env, geost_data *b, int o)
{
  if ((b->object.flags[o] & 1) || (b->opt & (GEOST_PALLET_LOADING | GEOST_OVERLAP_TOO))) return true;
  if (!(b->opt & GEOST_OVERLAP) && fr_intersects_object(env, b, 0, o)) return true;
  if (b->opt & GEOST_LEX) {
    for (int x = b->object.lex_prev[o], i = 0; x >= 0 && i < b->nobjects; x = b->object.lex_prev[x], i++)
      if (b->object.flags[x] & 1) return true;
    for (int x = b->object.lex_next[o], i = 0; x >= 0 && i < b->nobjects; x = b->object.lex_next[x], i++)
      if (b->object.flags[x] & 1) return true;
  }
  if (b->opt & GEOST_RULES)
    for (const geost_proc *p = b->object.proc[o]; p; p = p->next)
      for (int i = 0; i < p->ndep; i++)
        if (b->object.flags[p->dep[i]] & 1) return true;
  return false;
}

/* Splits target[0 .. ntargets-1] in place, those keep() holds to the front: their number. */
template <typename F>
int split_targets(geost_data *b, F keep)
{
  int front = 0;
  for (int p = 0; p < b->ntargets; p++)
    if (keep(b->target[p])) std::swap(b->target[p], b->target[front++]);
  return front;
}

void mark_active(geost_data *b)
{
  for (int p = 0; p < b->ntargets; p++) b->object.flags[b->target[p]] |= 1;
}

/* The corner variables against the hull of every object (bounding box in slot 1): -1 failure,
 * 1 when a corner excludes part of the hull (the loop restarts), else 0. */
int bound_corners(ORVALIS_API_STRUCT *env, geost_data *b)
{
  int k = b->kdims;
  bb_init(b, 1);
  for (int o = 0; o < b->nobjects; o++) bb_add_object(env, b, 1, o);
  bool restart = false;
  for (int d = 0; d < k; d++) {
    TAGGED lo = small_clamped(b->fr.origin[k + d]), hi = small_clamped((int64_t)b->fr.end[k + d] + 1);
    if (dvar_fix_interval_t(&b->lower_dvar[d], lo, hi) < 0 || dvar_fix_interval_t(&b->upper_dvar[d], lo, hi) < 0)
      return -1;
    restart = restart || lo_of(&b->lower_dvar[d]) > b->fr.origin[k + d] || hi_of(&b->upper_dvar[d]) < (int64_t)b->fr.end[k + d] + 1;
  }
  if (!restart) return 0;
  mark_active(b);
  return 1;
}

/* Each active object bounds the corners: the lower corner at most its latest start and the
 * upper corner at least its earliest end, over its shapes. */
bool corners_of_objects(geost_data *b)
{
  int k = b->kdims;
  std::vector<int64_t> A(k), B(k), latest(k), earliest(k);
  for (int p = 0; p < b->ntargets; p++) {
    int o = b->target[p];
    std::fill(A.begin(), A.end(), INT64_MIN);
    std::fill(B.begin(), B.end(), INT64_MAX);
    DVITER it;
    dviter_init(&it, shape_view(b, o));
    while (!dviter_empty(&it)) {
      int sid = GetSmall(dviter_next_value_t(&it));
      std::fill(latest.begin(), latest.end(), INT64_MAX);
      std::fill(earliest.begin(), earliest.end(), INT64_MIN);
      for (int s = geost_first_sbox(b, sid); s >= 0 && b->shape.sid[s] == sid; s++)
        for (int d = 0; d < k; d++) {
          int64_t t = b->shape.translation[s * k + d];
          latest[d] = std::min(latest[d], t + hi_of(gview(b, o, d)));
          earliest[d] = std::max(earliest[d], t + b->shape.size[s * k + d] + lo_of(gview(b, o, d)));
        }
      for (int d = 0; d < k; d++) A[d] = std::max(A[d], latest[d]), B[d] = std::min(B[d], earliest[d]);
    }
    for (int d = 0; d < k; d++) {
      if (A[d] == INT64_MIN) continue; /* no shape with a box */
      if (dvar_fix_interval_t(&b->lower_dvar[d], atom_inf, small_clamped(A[d])) < 0 ||
          dvar_fix_interval_t(&b->upper_dvar[d], small_clamped(B[d]), atom_sup) < 0)
        return false;
    }
  }
  return true;
}

/* One run of the fixpoint loop: false on failure. */
bool fixpoint(ORVALIS_API_STRUCT *env, geost_data *b, worker *w)
{
  for (;;) {
    if (!geost_init(env, b, w, 1)) return false;
    if (b->opt & GEOST_TASK_INTERVALS) reach_regions(env, b);
    b->fr.end_relative = b->fr.end_absolute = b->fr.top_of_stack = b->fr.end_bb;
    if ((b->opt & GEOST_LEX) && !lex_chain_bounds(b)) return false;
    if ((b->opt & GEOST_PALLET_LOADING) && b->kdims == 2 && !pl_entry_tests(env, b, w)) return false;
    if ((b->opt & GEOST_VOLUME) && !filter_volume(env, b, w)) return false;
    bool fix = lo_of(&b->fix_dvar) >= 1;
    if (fix) {
      if (!fixall_geost(env, b, w)) return false;
    } else {
      int n = split_targets(b, [&](int o) { return chosen(env, b, o); });
      int r = filter_geost(env, b, w, n, 0);
      if (r >= 2) return false;
      if (r == 1) continue;
    }
    for (int p = 0; p < b->ntargets; p++) b->object.flags[b->target[p]] &= ~1;
    if (!fix) {
      if (b->opt & (GEOST_CUMULATIVE | GEOST_DISJUNCTIVE)) {
        int r = check_cumulative(env, b, w);
        if (r >= 2) return false;
        if (r == 1) continue;
      }
      if ((b->opt & GEOST_POLYMORPHISM) && b->slack > 0 && b->exact_slack == 0) {
        int r = filter_geost(env, b, w, b->ntargets, 1);
        if (r >= 2) return false;
        if (r == 1) continue;
      }
      if (b->opt & GEOST_VISAVIS_FLOATING) {
        int r = floating_visavis(env, b, w);
        if (r < 0) return false;
        if (r > 0) continue;
      }
    }
    int r = bound_corners(env, b);
    if (r < 0) return false;
    if (r > 0) continue;
    return corners_of_objects(b);
  }
}

/* Retires the ground objects; with volume, the placed volume and the hull test of the objects
 * not fixed in each dimension. False on failure. */
bool retire(ORVALIS_API_STRUCT *env, geost_data *b, worker *w)
{
  int k = b->kdims, old = b->ntargets;
  b->prunedsid = 0;
  for (int d = 0; d < k; d++) b->pruneddim[d] = 0;
  b->ntargets = split_targets(b, [&](int o) { return !object_is_ground(b, o); });
  if (b->ntargets == 0) return true;
  if (!geost_init(env, b, w, 0)) return false;
  if (!(b->opt & GEOST_VOLUME)) return true;
  for (int p = b->ntargets; p < old; p++)
    b->rest_volume += svolume_of(b, b->object.min_vol_sid[b->target[p]]);
  if (b->opt & (GEOST_OVERLAP | GEOST_OVERLAP_TOO)) return true;
  for (int d = 0; d < k; d++) {
    bb_init(b, 2);
    int64_t need = 0;
    bool any = false;
    for (int p = 0; p < b->ntargets; p++) {
      int o = b->target[p];
      if (gview(b, o, d)->flags & DV_FIXED) continue;
      bb_add_object(env, b, 2, o);
      need += svolume_of(b, b->object.min_vol_sid[o]);
      any = true;
    }
    if (!any) continue;
    for (int o = 0; o < b->nobjects; o++) /* the ground objects' parts inside the hull */
      if (object_is_ground(b, o) && fr_intersects_object(env, b, 2, o)) need += intersection_volume(env, b, 2, o, lo_of(shape_view(b, o)));
    int64_t vol = 1;
    for (int j = 0; j < k && vol < need; j++) vol *= std::max<int64_t>(0, (int64_t)b->fr.end[2 * k + j] + 1 - b->fr.origin[2 * k + j]);
    if (vol < need) return false;
  }
  return true;
}

/* Commits and exports the views of the objects active at the start of the retirement (every
 * changed view, whoever pruned it), with the witnesses of those still active. */
void export_views(ORVALIS_API_STRUCT *env, geost_data *b, worker *w, int old)
{
  int k = b->kdims;
  for (int p = 0; p < old; p++)
    for (int v = 0; v <= k; v++) dvar_pruning_done(env, w, &b->dvar[(k + 1) * b->target[p] + v]);
  if (b->opt & GEOST_VOLUME) dvar_pruning_done(env, w, &b->volume_dvar);
  for (int d = 0; d < k; d++) dvar_pruning_done(env, w, &b->lower_dvar[d]), dvar_pruning_done(env, w, &b->upper_dvar[d]);
  auto out = [&](dvar *x) {
    if (x->flags & 7) dvar_export_do(env, w, x);
  };
  for (int p = 0; p < old; p++) {
    int o = b->target[p];
    for (int v = 0; v <= k; v++) out(&b->dvar[(k + 1) * o + v]);
    if ((b->object.flags[o] & 2) && p < b->ntargets) store_witnesses(env, b, w, o);
    b->object.flags[o] &= ~3;
  }
  if (b->opt & GEOST_VOLUME) out(&b->volume_dvar);
  for (int d = 0; d < k; d++) out(&b->lower_dvar[d]), out(&b->upper_dvar[d]);
}

/* ---- the first call: checks and the block ---- */

bool compound(TAGGED t, uint32_t arity)
{
  t = deref(t);
  return IsStr(t) && !IsBox(t) && Arity(StrFunctor(t)) >= arity;
}
bool is_mutable(TAGGED t)
{
  t = deref(t);
  return IsStr(t) && !IsBox(t) && StrFunctor(t) == functor_mutable2;
}
bool entry_ok(TAGGED t)
{
  QX_globref_ pair[2];
  return fd_entry_refs(t, pair);
}
/* A proper list of n (k when n < 0: any) entries accepted by ok. */
template <typename F>
bool list_of(const worker *w, TAGGED l, int n, F ok)
{
  int len = fd_proper_length(w, l);
  if (len < 0 || (n >= 0 && len != n)) return false;
  for (l = deref(l); IsLst(l); l = deref(LstTail(l)))
    if (!ok(deref(LstHead(l)))) return false;
  return true;
}
bool small_between(TAGGED t, int32_t lo, int32_t hi) { return fd_small_in(t, lo, hi); }

/* The domain of a variable entry (X-Attr) through a temporary view. */
void entry_view(TAGGED entry, dvar *d, TAGGED cells[2])
{
  entry = deref(entry);
  cells[0] = deref(StrArg(entry, 2));
  cells[1] = deref(StrArg(entry, 1));
  dvar_init(d, &cells[0], &cells[1]);
}

struct bad {
  const char *what = nullptr;
  TAGGED culprit = 0;
  bool domain = false;
  bool set(const char *w, TAGGED c, bool dom = true)
  {
    if (!what) what = w, culprit = c, domain = dom;
    return false;
  }
};

/* The rule procedure of one term of argument 15, malloc'd (null when malformed). */
geost_proc *make_proc(ORVALIS_API_STRUCT *api, const worker *w, TAGGED t, int nobjects)
{
  if (!compound(t, 8)) return nullptr;
  t = deref(t);
  int32_t f[6];
  for (int i = 0; i < 6; i++) {
    if (!small_between(StrArg(t, i + 1), 0, 1 << 20)) return nullptr;
    f[i] = GetSmall(deref(StrArg(t, i + 1)));
  }
  if (f[0] >= nobjects) return nullptr;
  auto smalls = [](TAGGED x) { return IsSmall(x); };
  auto objects = [nobjects](TAGGED x) { return fd_small_in(x, 0, nobjects - 1); }; /* dependencies */
  if (!list_of(w, StrArg(t, 7), f[4], smalls) || !list_of(w, StrArg(t, 8), f[5], objects)) return nullptr;
  auto *p = (geost_proc *)QX_malloc(sizeof(geost_proc) + (size_t)(f[4] + f[5]) * sizeof(int32_t));
  if (!p) qx_memory_fault("geost rules", QX_SPACE_FOREIGN);
  p->next = nullptr;
  p->self = f[0], p->dest = f[1], p->nreg = f[2], p->nstack = f[3], p->ncode = f[4], p->ndep = f[5];
  p->code = (int32_t *)(p + 1);
  p->dep = p->code + f[4];
  int i = 0;
  for (TAGGED l = deref(StrArg(t, 7)); IsLst(l); l = deref(LstTail(l))) p->code[i++] = GetSmall(deref(LstHead(l)));
  i = 0;
  for (TAGGED l = deref(StrArg(t, 8)); IsLst(l); l = deref(LstTail(l))) p->dep[i++] = GetSmall(deref(LstHead(l)));
  return p;
}

/* Checks the state of a first call: true, or false after raising an error. */
bool check_first(ORVALIS_API_STRUCT *api, const worker *w, TAGGED s)
{
  bad e;
  auto arg = [&](int i) { return deref(StrArg(s, i)); };
  if (!small_between(arg(S_K), 1, 64)) e.set("geost_dimensions", arg(S_K), IsSmall(arg(S_K)));
  int k = e.what ? 0 : GetSmall(arg(S_K));
  if (!e.what && !small_between(arg(S_NOBJ), 0, 1 << 20)) e.set("geost_object_count", arg(S_NOBJ));
  if (!e.what && !small_between(arg(S_NSBOX), 0, 1 << 16)) e.set("geost_sbox_count", arg(S_NSBOX));
  if (!e.what && !small_between(arg(S_MAXN), 0, 1 << 16)) e.set("geost_max_sboxes", arg(S_MAXN));
  for (int i : {S_OPT, S_MAXBACKS, S_NHOLES, S_REST})
    if (!e.what && !IsSmall(arg(i))) e.set("integer", arg(i), false);
  /* bits the option word does not define (a negative word has them all) would switch on
   * reasoning nobody asked for */
  if (!e.what && (GetSmall(arg(S_OPT)) & ~GEOST_DEFINED_OPTIONS)) e.set("geost_options", arg(S_OPT));
  if (e.what) return fd_entry_error(api, e.what, e.culprit, 1, e.domain), false;
  int n = GetSmall(arg(S_NOBJ)), ns = GetSmall(arg(S_NSBOX)), maxn = GetSmall(arg(S_MAXN));
  int32_t opt = GetSmall(arg(S_OPT));
  /* objects */
  std::vector<int32_t> oids;
  if (fd_proper_length(w, arg(S_OBJECTS)) != n) e.set("geost_objects", arg(S_OBJECTS));
  for (TAGGED l = arg(S_OBJECTS); !e.what && IsLst(l); l = deref(LstTail(l))) {
    TAGGED o = deref(LstHead(l));
    if (!compound(o, 5) || !IsSmall(deref(StrArg(o, 1))) || !entry_ok(StrArg(o, 2)) ||
        !list_of(w, StrArg(o, 3), k, entry_ok) || !is_mutable(StrArg(o, 4)) || !is_mutable(StrArg(o, 5)))
      e.set("geost_object", o, false);
    else
      oids.push_back(GetSmall(deref(StrArg(o, 1))));
  }
  std::sort(oids.begin(), oids.end());
  for (size_t i = 1; i < oids.size() && !e.what; i++)
    if (oids[i] == oids[i - 1]) e.set("geost_distinct_object_ids", MakeSmall(oids[i]));
  /* sboxes */
  std::vector<int32_t> sids;
  auto coord = [](TAGGED x) { return fd_small_in(x, -COORD_LIMIT, COORD_LIMIT); };
  auto size = [](TAGGED x) { return fd_small_in(x, 1, COORD_LIMIT); };
  if (!e.what && fd_proper_length(w, arg(S_SBOXES)) != ns) e.set("geost_sboxes", arg(S_SBOXES));
  int run = 0;
  for (TAGGED l = arg(S_SBOXES); !e.what && IsLst(l); l = deref(LstTail(l))) {
    TAGGED x = deref(LstHead(l));
    if (!compound(x, 3) || !fd_small_in(StrArg(x, 1), QX_SMALL_MIN, QX_SMALL_MAX - 1) ||
        !list_of(w, StrArg(x, 2), k, coord) || !list_of(w, StrArg(x, 3), k, size)) {
      e.set("geost_sbox", x);
      break;
    }
    int32_t sid = GetSmall(deref(StrArg(x, 1)));
    if (!sids.empty() && sid < sids.back()) e.set("geost_sboxes_sorted", x);
    run = !sids.empty() && sid == sids.back() ? run + 1 : 1;
    if (run > maxn) e.set("geost_max_sboxes", arg(S_MAXN));
    sids.push_back(sid);
  }
  /* every shape an object may take has boxes */
  for (TAGGED l = arg(S_OBJECTS); !e.what && IsLst(l); l = deref(LstTail(l))) {
    TAGGED o = deref(LstHead(l)), cells[2];
    dvar d;
    entry_view(StrArg(o, 2), &d, cells);
    DVITER it;
    dviter_init(&it, &d);
    while (!dviter_empty(&it) && !e.what) {
      int32_t lo, hi;
      dviter_next_interval_l(&it, &lo, &hi);
      if ((int64_t)hi - lo >= (int64_t)sids.size()) e.set("geost_shape", StrArg(o, 2));
      for (int64_t v = lo; v <= hi && !e.what; v++)
        if (!std::binary_search(sids.begin(), sids.end(), (int32_t)v)) e.set("geost_shape", MakeSmall((int32_t)v));
    }
  }
  /* the other variables, the fixall order, the lex chains, the rules */
  TAGGED bbox = arg(S_BBOX);
  if (!e.what && !entry_ok(arg(S_FIX))) e.set("geost_fix_switch", arg(S_FIX), false);
  if (!e.what && (!compound(bbox, 2) || !list_of(w, StrArg(bbox, 1), k, entry_ok) || !list_of(w, StrArg(bbox, 2), k, entry_ok)))
    e.set("geost_bounding_box", bbox, false);
  if (!e.what && (opt & GEOST_VOLUME) && !entry_ok(arg(S_VOLUME))) e.set("geost_volume", arg(S_VOLUME), false);
  if (!e.what) {
    int len = fd_proper_length(w, arg(S_ORDER));
    TAGGED cells[2];
    dvar fix;
    entry_view(arg(S_FIX), &fix, cells);
    if (len < 0 || len % (k + 1) != 0 || (len == 0 && hi_of(&fix) >= 1)) e.set("geost_fixall_order", arg(S_ORDER));
    std::vector<int> group;
    int at = 0;
    for (TAGGED l = arg(S_ORDER); !e.what && IsLst(l); l = deref(LstTail(l)), at++) {
      TAGGED x = deref(LstHead(l));
      if (!IsSmall(x)) {
        e.set("geost_fixall_order", arg(S_ORDER));
        break;
      }
      if (at % (k + 1) == 0) {
        group.assign(k, 0);
        continue;
      }
      int32_t v = GetSmall(x), d = (v < 0 ? -v : v) - 2;
      if (d < 0 || d >= k || group[d]++) e.set("geost_fixall_order", arg(S_ORDER));
    }
  }
  if (!e.what && (opt & GEOST_LEX) &&
      !list_of(w, arg(S_LEX), -1, [&](TAGGED c) { return list_of(w, c, -1, [](TAGGED x) { return IsSmall(x); }); }))
    e.set("geost_lex_chains", arg(S_LEX), false);
  if (!e.what && (opt & GEOST_RULES)) {
    geost_data probe{};
    probe.kdims = k, probe.nobjects = n, probe.max_nsboxes = maxn;
    if (fd_proper_length(w, arg(S_RULES)) < 0) e.set("geost_rules", arg(S_RULES), false);
    for (TAGGED l = arg(S_RULES); !e.what && IsLst(l); l = deref(LstTail(l))) {
      geost_proc *p = make_proc(api, w, LstHead(l), n);
      if (!p || !geost_proc_valid(&probe, p)) e.set("geost_rule", LstHead(l));
      if (p) QX_free(p);
    }
  }
  /* the block's size, measured in 64 bits before it is made */
  if (!e.what) {
    int64_t n2 = n + 2, sa = std::max<int64_t>(std::max(n, 1) + ns, 2 * k);
    int64_t bytes = n2 * (k + 1) * (int64_t)sizeof(dvar) + n2 * k * k * 8 + n2 * k * 32 + sa * k * 16 +
                    (int64_t)ns * ns + (int64_t)n * maxn * 4 + (int64_t)fd_proper_length(w, arg(S_ORDER)) * 8;
    if (bytes > (1 << 28)) return fd_representation_error(api, "geost_size", 1), fd_native_fail(api), false;
  }
  if (e.what) fd_entry_error(api, e.what, e.culprit, 1, e.domain);
  return !e.what;
}

/* Links the lex chains of argument 13 (members by identifier; unknown ones break the chain).
 * A link that would give an object two neighbours on one side or close a cycle is left out. */
void link_chains(geost_data *b, TAGGED chains)
{
  for (TAGGED c = deref(chains); IsLst(c); c = deref(LstTail(c))) {
    int prev = -1;
    for (TAGGED l = deref(LstHead(c)); IsLst(l); l = deref(LstTail(l))) {
      int32_t id = GetSmall(deref(LstHead(l)));
      int o = -1;
      for (int i = 0; i < b->nobjects && o < 0; i++)
        if (b->object.oid[i] == id) o = i;
      if (prev >= 0 && o >= 0 && o != prev && b->object.lex_next[prev] < 0 && b->object.lex_prev[o] < 0) {
        int head = prev;
        for (int i = 0; i < b->nobjects && b->object.lex_prev[head] >= 0; i++) head = b->object.lex_prev[head];
        if (head != o) b->object.lex_next[prev] = o, b->object.lex_prev[o] = prev;
      }
      prev = o;
    }
  }
}

/* The block of a first call, made from the checked state in w->term[0]. */
geost_data *make_block(fd_entry *en)
{
  ORVALIS_API_STRUCT *api = en->api;
  worker *w = en->w;
  TAGGED s = deref(w->term[0]);
  auto num = [&](int i) { return GetSmall(deref(StrArg(deref(w->term[0]), i))); };
  int k = num(S_K);
  geost_dims dm{k, num(S_NOBJ), num(S_NSBOX), num(S_MAXN), fd_proper_length(w, StrArg(s, S_ORDER))};
  int n = dm.nobjects, nframes = n * (k + 1) + 2 + 2 * k;
  size_t bytes = frames_offset(dm) + (size_t)nframes * sizeof(geost_frame);
  QX_globref refs;
  int nrefs = (2 * k + 4) * n + 4 * k + 4;
  auto *b = (geost_data *)fd_entry_block(en, bytes, geost_destructor, geost_daemon, nrefs, &refs);
  geost_carve(b, dm);
  b->env = api;
  b->refbase = refs;
  b->opt = num(S_OPT);
  b->maxbacks = num(S_MAXBACKS);
  for (size_mem &m : b->scratch) {
    m.mem = fd_malloc(api, 1024);
    m.size = 1024;
  }
  s = deref(w->term[0]); /* fd_perm_alloc may have collected */
  int o = 0, rp = refs_per_object(k);
  for (TAGGED l = deref(StrArg(s, S_OBJECTS)); IsLst(l); l = deref(LstTail(l)), o++) {
    TAGGED x = deref(LstHead(l));
    b->object.oid[o] = GetSmall(deref(StrArg(x, 1)));
    fd_entry_refs(StrArg(x, 2), &refs[rp * o]);
    int d = 0;
    for (TAGGED v = deref(StrArg(x, 3)); IsLst(v); v = deref(LstTail(v)), d++) fd_entry_refs(LstHead(v), &refs[rp * o + 2 + 2 * d]);
    refs[rp * o + 2 * k + 2].term = deref(StrArg(x, 4));
    refs[rp * o + 2 * k + 3].term = deref(StrArg(x, 5));
  }
  int j = 0;
  for (TAGGED l = deref(StrArg(s, S_SBOXES)); IsLst(l); l = deref(LstTail(l)), j++) {
    TAGGED x = deref(LstHead(l));
    b->shape.sid[j] = GetSmall(deref(StrArg(x, 1)));
    int d = 0;
    for (TAGGED v = deref(StrArg(x, 2)); IsLst(v); v = deref(LstTail(v)), d++) b->shape.translation[j * k + d] = GetSmall(deref(LstHead(v)));
    d = 0;
    for (TAGGED v = deref(StrArg(x, 3)); IsLst(v); v = deref(LstTail(v)), d++) b->shape.size[j * k + d] = GetSmall(deref(LstHead(v)));
  }
  geost_index_shapes(api, b);
  for (j = 0; j < b->nsboxes_posted; j++)
    if (j == 0 || b->shape.sid[j] != b->shape.sid[j - 1]) shape_volume(api, b, j);
  fd_entry_refs(StrArg(s, S_FIX), &refs[ref_fix(b)]);
  if (b->opt & GEOST_VOLUME) fd_entry_refs(StrArg(s, S_VOLUME), &refs[ref_fix(b) + 2]);
  TAGGED bbox = deref(StrArg(s, S_BBOX));
  for (int side = 0; side < 2; side++) {
    int d = 0;
    for (TAGGED v = deref(StrArg(bbox, side + 1)); IsLst(v); v = deref(LstTail(v)), d++)
      fd_entry_refs(LstHead(v), &refs[side ? ref_upper(b, d) : ref_lower(b, d)]);
  }
  j = 0;
  for (TAGGED l = deref(StrArg(s, S_ORDER)); IsLst(l); l = deref(LstTail(l))) b->fixorder[j++] = GetSmall(deref(LstHead(l)));
  if (b->opt & GEOST_RULES)
    for (TAGGED l = deref(StrArg(s, S_RULES)); IsLst(l); l = deref(LstTail(l))) {
      geost_proc *p = make_proc(api, w, LstHead(l), n);
      p->next = b->object.proc[p->self];
      b->object.proc[p->self] = p;
    }
  if (b->opt & GEOST_LEX) link_chains(b, StrArg(s, S_LEX));
  /* the views, their witnesses and the daemons */
  for (o = 0; o < n; o++) {
    load_object(b, o);
    for (int d = 0; d < k; d++)
      for (int x = 0; x < k; x++) {
        wit_row(b, false, o, d)[x] = lo_of(gview(b, o, x));
        wit_row(b, true, o, d)[x] = hi_of(gview(b, o, x));
      }
    if (b->opt & GEOST_VOLUME) compute_minmax_vol_sid(api, b, o);
  }
  init_view(b, &b->fix_dvar, ref_fix(b));
  if (b->opt & GEOST_VOLUME) init_view(b, &b->volume_dvar, ref_fix(b) + 2);
  for (int d = 0; d < k; d++) init_view(b, &b->lower_dvar[d], ref_lower(b, d)), init_view(b, &b->upper_dvar[d], ref_upper(b, d));
  b->stamp = GetSmall(deref(StrArg(deref(w->term[0]), S_ARITY)));
  struct fd_state *fd = fd_state(api);
  geost_frame *frames = geost_frames(b);
  int f = 0;
  auto watch = [&](dvar *x, int ref, TAGGED key) {
    geost_frame *fr = &frames[f++];
    fr->frame.destructor = nullptr;
    fr->frame.daemon = geost_daemon;
    fr->block = b;
    fr->ref = ref;
    dvar_attach_daemon(api, w, x, fr, w->term[1], key);
  };
  for (o = 0; o < n; o++) {
    watch(shape_view(b, o), rp * o, fd->functor_dom);
    for (int d = 0; d < k; d++) watch(gview(b, o, d), rp * o + 2 + 2 * d, fd->functor_minmax);
  }
  watch(&b->fix_dvar, ref_fix(b), fd->functor_val);
  if (b->opt & GEOST_VOLUME) watch(&b->volume_dvar, ref_fix(b) + 2, fd->functor_minmax);
  for (int d = 0; d < k; d++) {
    watch(&b->lower_dvar[d], ref_lower(b, d), fd->functor_min);
    watch(&b->upper_dvar[d], ref_upper(b, d), fd->functor_max);
  }
  return b;
}

/* The per-call views: every object's (retired ones are fixed and cheap), the bound scratch of
 * the active ones, the switch, the volume and the corners within the small integers. False when
 * a restriction fails. */
bool load_views(geost_data *b)
{
  int k = b->kdims;
  for (int d = 0; d < k; d++) b->dvar_min[d] = 0x7fffffff, b->dvar_max[d] = (int)0x80000001;
  for (int o = 0; o < b->nobjects; o++) load_object(b, o);
  for (int p = 0; p < b->ntargets; p++)
    for (int d = 0; d < k; d++) {
      const dvar *x = gview(b, b->target[p], d);
      b->dvar_min[d] = std::min(b->dvar_min[d], lo_of(x));
      b->dvar_max[d] = std::max(b->dvar_max[d], hi_of(x));
    }
  init_view(b, &b->fix_dvar, ref_fix(b));
  if (b->opt & GEOST_VOLUME) {
    init_view(b, &b->volume_dvar, ref_fix(b) + 2);
    if (dvar_fix_interval_t(&b->volume_dvar, atom_inf, MakeSmall(QX_SMALL_MAX)) < 0) return false;
  }
  for (int d = 0; d < k; d++) {
    init_view(b, &b->lower_dvar[d], ref_lower(b, d));
    init_view(b, &b->upper_dvar[d], ref_upper(b, d));
    for (dvar *x : {&b->lower_dvar[d], &b->upper_dvar[d]})
      if (dvar_fix_interval_t(x, MakeSmall(QX_SMALL_MIN), MakeSmall(QX_SMALL_MAX)) < 0) return false;
  }
  return true;
}

/* One call on the block: the outcome. */
int run_call(ORVALIS_API_STRUCT *api, worker *w, geost_data *b)
{
  b->nregions = std::max(b->nobjects, 6);
  geost_fr_alloc(api, b);
  size_t ntasks = std::max<size_t>((size_t)b->nobjects * (size_t)b->max_nsboxes, 1);
  b->task = (struct task *)fd_malloc(api, ntasks * sizeof(struct task));
  int old = b->ntargets, outcome = -1;
  if (load_views(b) && fixpoint(api, b, w) && retire(api, b, w)) outcome = b->ntargets == 0 ? 1 : 0;
  QX_free(b->task);
  b->task = nullptr;
  geost_fr_free(api, b);
  if (outcome >= 0) export_views(api, b, w, old);
  return outcome;
}

/* Writes a count into the state: only into a state younger than the newest choicepoint. */
void put_state(worker *w, int arg, int32_t value)
{
  TAGGED s = deref(w->term[0]);
  assert(StrPtr(s) >= w->global_uncond);
  StrPtr(s)[arg] = MakeSmall(value);
}

}  // namespace

void prolog_fd_geost_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0, QX_term_ref state,
                                    QX_term_ref actions)
{
  fd_entry e;
  if (!fd_entry_begin(&e, api, state0, S_ARITY, false)) return;
  worker *w = e.w;
  fd_init_profile(api);
  TAGGED s = deref(w->term[0]);
  bool first = IsVar(e.handle);
  if (first && !check_first(api, w, s)) return;
  if (first && GetSmall(deref(StrArg(s, S_NOBJ))) == 0) return fd_entry_end(&e, state, actions, 1);
  if (!first && !IsVar(deref(LstHead(e.handle)))) return fd_entry_end(&e, state, actions, 1);
  /* A state older than the newest choicepoint is copied before anything is written into it. */
  int32_t stamp = GetSmall(deref(StrArg(s, S_ARITY)));
  if (StrPtr(s) < w->global_uncond) fd_unify_output_state(api, w, &e.handle, &stamp, &e.committed);
  geost_data *b = first ? make_block(&e) : (geost_data *)fd_perm_data(e.handle);
  fd_state(api)->gdata = b;
  s = deref(w->term[0]);
  if (!first) {
    TAGGED nh = deref(StrArg(s, S_NHOLES)), rv = deref(StrArg(s, S_REST));
    if (IsSmall(nh)) b->pl.nholes = GetSmall(nh);
    if ((b->opt & GEOST_VOLUME) && IsSmall(rv)) b->rest_volume = GetSmall(rv);
    if (stamp != b->stamp) { /* no daemon followed the state here: everything is looked at */
      refresh(api, b, s);
      mark_active(b);
    }
  }
  b->stamp = GetSmall(deref(StrArg(s, S_ARITY)));
  int outcome = run_call(api, w, b);
  if (outcome >= 0) {
    put_state(w, S_NTARGETS, b->ntargets);
    if (b->opt & GEOST_PALLET_LOADING) put_state(w, S_NHOLES, b->pl.nholes);
    if (b->opt & GEOST_VOLUME) put_state(w, S_REST, b->rest_volume);
  }
  fd_entry_end(&e, state, actions, outcome);
}
