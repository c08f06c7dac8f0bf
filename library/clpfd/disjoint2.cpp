/* disjoint2/2: rectangles (items) pairwise non-overlapping in the plane.
 *
 * Each item has per dimension an origin variable and a length variable and occupies
 * [origin, origin + length) there. An item with length 0 in some dimension occupies nothing and
 * meets no other item, unless a margin entry names the pair of types (either order): such a pair
 * is kept apart in some dimension by the margins, lengths 0 included. Options: wrap-around per
 * dimension, margins between item types, two-dimensional edge finding, lean incremental calls,
 * decomposition into independent groups, synchronization of task parts.
 *
 * State: s(NItems, Options, Items, NTargets, NSources, Handle, Stamp), Options
 * opt(Bits, L0, R0, L1, R1, Margins), each item i(X, XA, W, WA, Y, YA, H, HA, Type), each margin
 * m(Type1, Type2, D0, D1). The block keeps the items' views, lengths, witnesses and status bits;
 * the state carries NTargets and NSources, the live prefixes of the block's `target` permutation.
 *
 * The filter is a sweep per target and dimension: a point moves from the origin's bound until
 * some value of the other origin is covered by no forbidden region (the origins at which the
 * target would overlap a source's compulsory part); the pair found is kept as a witness.
 */
#include <algorithm>
#include <cstring>
#include <vector>

#include "fd_globals.h"
#include "fd_propagate.h"
#include "fd_qsort.h"
#include "fd_sets.h"

namespace {

/* option bits */
constexpr int32_t D2_DECOMPOSITION = 0x1, D2_WRAP0 = 0x2, D2_WRAP1 = 0x4, D2_MARGIN = 0x8,
                  D2_GLOBAL = 0x10, D2_LEAN = 0x20, D2_SYNCHRO = 0x40, D2_DEFINED = 0x7f;
/* status bits: working source and target bits, the mark, and their saved copies */
constexpr int32_t D2_SOURCE = 0x1, D2_TARGET = 0x2, D2_MARK = 0x4, D2_SAVED_SOURCE = 0x10,
                  D2_SAVED_TARGET = 0x20;

struct synchro_frame;
struct ef_entry;
struct ef_bounds;

struct disjoint2_data {
  void (*destructor)(void *block);
  ORVALIS_API_STRUCT *qxenv;
  QX_globref refbase;
  int32_t stamp, iteration;
  int32_t nitems, nshifted_items, ntargets, nsources, nmargs, nmargs_aligned, flags;
  int32_t lborder[2], rborder[2], maxmargin[2], maxdur[2], bbmin[2], bbmax[2];
  int32_t items_by_area;
  /* persistent */
  int32_t *target, *margtab;
  dvar *dv[2];
  /* per call: sortarr (4 per item), source, the event queues by position with their prefix
   * maxima and suffix minima, and the changed subset (_t) */
  int32_t *sortarr, *source;
  int32_t *start_event[2], *end_event[2], *start_event_t[2], *end_event_t[2];
  int32_t *max_end[2], *min_start[2], *max_end_t[2], *min_start_t[2];
  struct {
    int32_t *mindur[2], *maxdur[2], *minwit[2], *maxwit[2], *type, *status; /* persistent */
    int32_t *pruned_at[2], *next, *next_area;                              /* per call */
  } item;
  ef_entry *ef_entries; /* per call: the edge finder's entries, live list and item bounds */
  int32_t *ef_live;
  ef_bounds *ef_boxes;
  struct {
    int32_t *item, *amount[2];
  } shifted_item;
  struct {
    int32_t *item, *start[2], *end[2];
  } event;
  struct {
    int32_t *type1, *type2, *amount[2], *next;
  } margin;
  synchro_frame *synchro_table;
};

/* One call's context. */
struct d2run {
  ORVALIS_API_STRUCT *api;
  worker *w;
  disjoint2_data *b;
  int nevents, nevents_t;
  int *change;
  bool aliased; /* two origin views of active items stand for one variable */
};

/* The synchronization of task parts (below): made on the first call when the items qualify. */
void check_if_use_sweep_synchro(disjoint2_data *b);
int wake_sweep_synchro(d2run &r, bool incremental);
void release_synchro(disjoint2_data *b);

constexpr int32_t NO_WIT = INT32_MIN;
constexpr int32_t UNBOUNDED_MARGIN = 0x3fffffff;
/* Margins are applied at most this large, so that sums of coordinates stay within 32 bits;
 * an unbounded margin is taken as this. */
constexpr int32_t MARGIN_CAP = 1 << 29; /* two origins are never this far apart */
constexpr int32_t WHOLE_LO = -2147483647, WHOLE_HI = 2147483647;
/* The bounds of a region made empty: start - length > end for every length. */
constexpr int32_t EMPTY_START = 3 << 28, EMPTY_END = -(1 << 29);
constexpr int32_t NO_START = 2147483646;

int32_t est(const disjoint2_data *b, int i, int d) { return fds_val(b->dv[d][i].min); }
int32_t lst(const disjoint2_data *b, int i, int d) { return fds_val(b->dv[d][i].max); }
int32_t dur(const disjoint2_data *b, int i, int d) { return b->item.mindur[d][i]; }
bool wraps(const disjoint2_data *b, int d) { return b->flags & (d == 0 ? D2_WRAP0 : D2_WRAP1); }
bool margins(const disjoint2_data *b) { return b->flags & D2_MARGIN; }

TAGGED *ref(const disjoint2_data *b, int item, int k) { return &b->refbase[8 * item + k].term; }

/* The length bounds of item i in dimension d, read from the length's attribute, clamped to
 * 0..2^28 (a negative length is taken as 0). */
void read_length(disjoint2_data *b, int i, int d, int32_t *lo, int32_t *hi)
{
  TAGGED *dom = StrPtr(fd_attr_dom(*ref(b, i, 4 * d + 2)));
  *lo = std::clamp(fds_val(deref(dom[2])), 0, 1 << 28);
  *hi = std::clamp(fds_val(deref(dom[3])), 0, 1 << 28);
}

void init_origin(disjoint2_data *b, int i, int d)
{
  dvar_init(&b->dv[d][i], ref(b, i, 4 * d), ref(b, i, 4 * d + 1));
}

/* Reads both lengths of item i: true when they differ from the stored ones. */
bool load_lengths(disjoint2_data *b, int i)
{
  bool changed = false;
  for (int d = 0; d < 2; d++) {
    int32_t lo, hi;
    read_length(b, i, d, &lo, &hi);
    changed |= lo != b->item.mindur[d][i] || hi != b->item.maxdur[d][i];
    b->item.mindur[d][i] = lo;
    b->item.maxdur[d][i] = hi;
  }
  return changed;
}

/* Grows the change box over item i's placement range, widened by twice the largest margin. */
void grow_box(disjoint2_data *b, int i)
{
  for (int d = 0; d < 2; d++) {
    if (b->bbmax[d] == WHOLE_HI && b->bbmin[d] == WHOLE_LO) continue;
    int32_t widen = margins(b) ? 2 * b->maxmargin[d] : 0;
    b->bbmin[d] = std::min(b->bbmin[d], est(b, i, d) - widen);
    b->bbmax[d] = std::max(b->bbmax[d], lst(b, i, d) + dur(b, i, d) + widen);
  }
}

bool meets_box(const disjoint2_data *b, int i)
{
  for (int d = 0; d < 2; d++)
    if (lst(b, i, d) + dur(b, i, d) < b->bbmin[d] || est(b, i, d) > b->bbmax[d]) return false;
  return true;
}

/* ---- the filter's primitives ---- */

/* Narrows one origin view: -1 wipe-out, 0 no change, 1 narrowed. */
int narrow(disjoint2_data *b, int item, int32_t lo, int32_t hi, int k)
{
  int32_t old_lo = est(b, item, k), old_hi = lst(b, item, k);
  int mask = dvar_fix_interval_t(&b->dv[k][item], fds_bound(lo), fds_bound(hi));
  if (mask <= 0) return mask < 0 ? -1 : 0;
  b->item.pruned_at[k][item] = b->iteration;
  if (est(b, item, k) > old_lo) b->item.minwit[k][item] = NO_WIT;
  if (lst(b, item, k) < old_hi) b->item.maxwit[k][item] = NO_WIT;
  grow_box(b, item);
  return 1;
}

int prune_item2d(d2run &r, int item, int32_t lo, int32_t hi, int k)
{
  disjoint2_data *b = r.b;
  int done = narrow(b, item, lo, hi, k);
  if (done <= 0 || !r.aliased) return done + 1;
  /* the other views of the same variable follow within the call: the kernel does not run a
   * constraint again for its own prunings */
  const dvar *dv = &b->dv[k][item];
  for (int p = 0; p < b->ntargets + b->nsources; p++)
    for (int e = 0; e < 2; e++) {
      int j = b->target[p];
      if ((j != item || e != k) && dvar_is_alias(&b->dv[e][j], dv) &&
          narrow(b, j, est(b, item, k), lst(b, item, k), e) < 0)
        return 0;
    }
  return 1;
}

/* Whether two origin views of active items stand for one unbound variable. */
bool any_alias(d2run &r)
{
  disjoint2_data *b = r.b;
  int n = 0;
  auto *vars = (TAGGED *)fd_temp_alloc(r.api, r.w, 2 * (size_t)b->nitems * sizeof(TAGGED));
  for (int p = 0; p < b->ntargets + b->nsources; p++)
    for (int e = 0; e < 2; e++) {
      TAGGED v = deref(*b->dv[e][b->target[p]].var_ref);
      if (IsVar(v)) vars[n++] = v;
    }
  std::sort(vars, vars + n);
  return std::adjacent_find(vars, vars + n) != vars + n;
}

int prune_before2d(d2run &r, int t1, int t2, int k)
{
  disjoint2_data *b = r.b;
  int o = 1 - k;
  if (est(b, t1, o) + dur(b, t1, o) <= lst(b, t2, o) || est(b, t2, o) + dur(b, t2, o) <= lst(b, t1, o))
    return 1;
  if (lst(b, t1, k) + dur(b, t1, k) <= est(b, t2, k)) return 1;
  return prune_item2d(r, t1, est(b, t1, k), lst(b, t2, k) - dur(b, t1, k), k) &&
         prune_item2d(r, t2, est(b, t1, k) + dur(b, t1, k), lst(b, t2, k), k);
}

int extend_forbidden_region2d(const disjoint2_data *b, int target, int source, int32_t *lo,
                              int32_t *hi)
{
  if (!margins(b) || b->nmargs == 0) return 0;
  int32_t tt = b->item.type[target], ts = b->item.type[source];
  int32_t down[2] = {0, 0}, up[2] = {0, 0};
  int applied = 0;
  /* Duplicate entries for one ordered pair demand the larger amount, once. */
  for (int e = b->margtab[(tt ^ ts) & (b->nmargs_aligned - 1)]; e >= 0; e = b->margin.next[e]) {
    bool before = b->margin.type1[e] == tt && b->margin.type2[e] == ts;
    bool after = b->margin.type1[e] == ts && b->margin.type2[e] == tt;
    for (int d = 0; d < 2; d++) {
      if (before) down[d] = std::max(down[d], b->margin.amount[d][e]);
      if (after) up[d] = std::max(up[d], b->margin.amount[d][e]);
    }
    applied += before || after;
  }
  for (int d = 0; d < 2; d++) {
    lo[d] -= down[d];
    hi[d] += up[d];
  }
  return applied;
}

int collect_source2d(d2run &r, bool filtering)
{
  disjoint2_data *b = r.b;
  int n = 0, nactive = b->ntargets + b->nsources;
  int32_t period[2] = {b->rborder[0] - b->lborder[0], b->rborder[1] - b->lborder[1]};
  for (int p = 0; p < nactive; p++) {
    int i = b->target[p];
    if (!(b->item.status[i] & D2_SOURCE)) continue;
    bool skip = false;
    for (int d = 0; d < 2 && filtering; d++)
      skip |= lst(b, i, d) - est(b, i, d) + 2 - dur(b, i, d) > 2 * b->maxmargin[d] + b->maxdur[d] ||
              (!margins(b) && dur(b, i, d) == 0);
    if (skip) continue;
    bool keep[2][3];
    for (int d = 0; d < 2; d++) {
      keep[d][1] = true;
      keep[d][0] = keep[d][2] = wraps(b, d);
      if (wraps(b, d) && filtering) {
        keep[d][0] = est(b, i, d) + dur(b, i, d) > b->rborder[d] - b->maxmargin[d];
        keep[d][2] = lst(b, i, d) < b->lborder[d] + b->maxdur[d] + b->maxmargin[d];
      }
    }
    for (int s0 = 0; s0 < 3; s0++)
      for (int s1 = 0; s1 < 3; s1++) {
        if (!keep[0][s0] || !keep[1][s1]) continue;
        b->shifted_item.item[n] = i;
        b->shifted_item.amount[0][n] = (s0 - 1) * period[0];
        b->shifted_item.amount[1][n] = (s1 - 1) * period[1];
        b->source[n] = n;
        n++;
      }
  }
  return n;
}

/* ---- the sweep ---- */

struct sweep {
  d2run &r;
  disjoint2_data *b;
  int t, k, o;
  int32_t L[2], EST[2], LST[2];

  sweep(d2run &run, int target, int dim) : r(run), b(run.b), t(target), k(dim), o(1 - dim) { load(); }
  void load()
  {
    for (int d = 0; d < 2; d++) {
      L[d] = dur(b, t, d);
      EST[d] = est(b, t, d);
      LST[d] = lst(b, t, d);
    }
  }
  int32_t start(int e, int d) const { return b->event.start[d][e]; }
  int32_t end(int e, int d) const { return b->event.end[d][e]; }
  /* e's region meets t's origin range in the other dimension and is non-empty in both. */
  bool relevant(int e) const
  {
    return b->event.item[e] != t && start(e, k) - L[k] <= end(e, k) &&
           start(e, o) - L[o] <= end(e, o) && start(e, o) - L[o] <= LST[o] && EST[o] <= end(e, o);
  }
  bool covers(int e, int32_t w) const { return start(e, o) - L[o] <= w && w <= end(e, o); }

  /* Height 1 over the holes of t's origin domain in dimension o. */
  profile *holes()
  {
    profile *p = fd_empty_profile();
    DVITER it;
    dviter_init(&it, &b->dv[o][t]);
    int32_t lo, hi, prev = INT32_MIN;
    while (!dviter_empty(&it)) {
      dviter_next_interval_l(&it, &lo, &hi);
      if (prev != INT32_MIN && lo > prev + 1) p = fd_profile_update(r.api, r.w, p, prev + 1, lo, 1);
      prev = hi;
    }
    return p;
  }
  profile *add(profile *p, int e, int h)
  {
    return fd_profile_update(r.api, r.w, p, start(e, o) - L[o], (long)end(e, o) + 1, h);
  }

  bool witness_ok(int32_t w) const
  {
    return w != NO_WIT && dvar_contains_value_t(&b->dv[o][t], MakeSmall(w));
  }

  /* Whether a changed event covers (EST_k, w). */
  bool min_witness_broken(int32_t w) const
  {
    const int32_t *se = b->start_event_t[k], *mx = b->max_end_t[k];
    int n = r.nevents_t;
    int p = (int)(std::lower_bound(mx, mx + n, EST[k]) - mx);
    for (; p < n && start(se[p], k) - L[k] <= EST[k]; p++) {
      int e = se[p];
      if (end(e, k) >= EST[k] && relevant(e) && covers(e, w)) return true;
    }
    return false;
  }
  bool max_witness_broken(int32_t w) const
  {
    const int32_t *ee = b->end_event_t[k], *mn = b->min_start_t[k];
    int32_t lct = LST[k] + L[k];
    int p = (int)(std::upper_bound(mn, mn + r.nevents_t, lct) - mn) - 1;
    for (; p >= 0 && end(ee[p], k) >= LST[k]; p--) {
      int e = ee[p];
      if (start(e, k) <= lct && relevant(e) && covers(e, w)) return true;
    }
    return false;
  }

  /* Sweeps the minimum up: 0 failure, else 1. */
  int min_sweep()
  {
    const int32_t *se = b->start_event[k], *ee = b->end_event[k], *mx = b->max_end[k];
    int n = r.nevents;
    int32_t from = EST[k];
    auto live = [&](int e) { return end(e, k) >= from && relevant(e); };
    int sp = (int)(std::lower_bound(mx, mx + n, from) - mx);
    int ep = 0;
    while (ep < n && end(ee[ep], k) < from) ep++;
    auto next_start = [&] {
      while (sp < n && !live(se[sp])) sp++;
      return sp < n ? start(se[sp], k) - L[k] : NO_START;
    };
    auto next_end = [&] {
      while (ep < n && !live(ee[ep])) ep++;
      return ep < n ? end(ee[ep], k) : WHOLE_HI;
    };
    profile *p = holes();
    int32_t x = EST[k];
    int result = 1;
    for (;;) {
      if (x > LST[k]) {
        result = 0;
        break;
      }
      while (next_start() <= x) p = add(p, se[sp++], 1);
      while (next_end() < x) p = add(p, ee[ep++], -1);
      long w;
      if (!fd_profile_zero_at(p, EST[o], (long)LST[o] + 1, &w)) {
        int32_t e = next_end();
        x = e == WHOLE_HI ? LST[k] + 1 : e + 1;
        continue;
      }
      if (x > EST[k]) {
        if (!prune_item2d(r, t, x, LST[k], k)) {
          result = 0;
          break;
        }
        *r.change = 1;
        EST[k] = est(b, t, k);
        if (EST[k] != x) {
          x = EST[k];
          continue;
        }
      }
      b->item.minwit[k][t] = (int32_t)w;
      break;
    }
    fd_profile_dispose(r.api, p);
    return result;
  }

  int max_sweep()
  {
    const int32_t *se = b->start_event[k], *ee = b->end_event[k], *mn = b->min_start[k];
    int n = r.nevents;
    int32_t lct = LST[k] + L[k];
    auto live = [&](int e) { return start(e, k) <= lct && relevant(e); };
    int ep = (int)(std::upper_bound(mn, mn + n, lct) - mn) - 1;
    int sp = n - 1;
    while (sp >= 0 && start(se[sp], k) > lct) sp--;
    auto next_end = [&] {
      while (ep >= 0 && !live(ee[ep])) ep--;
      return ep >= 0 ? end(ee[ep], k) : WHOLE_LO;
    };
    auto next_start = [&] {
      while (sp >= 0 && !live(se[sp])) sp--;
      return sp >= 0 ? start(se[sp], k) - L[k] : WHOLE_LO;
    };
    profile *p = holes();
    int32_t x = LST[k];
    int result = 1;
    for (;;) {
      if (x < EST[k]) {
        result = 0;
        break;
      }
      while (next_end() >= x) p = add(p, ee[ep--], 1);
      while (next_start() > x) p = add(p, se[sp--], -1);
      long w;
      if (!fd_profile_zero_at(p, EST[o], (long)LST[o] + 1, &w)) {
        int32_t s = next_start();
        x = s == WHOLE_LO ? EST[k] - 1 : s - 1;
        continue;
      }
      if (x < LST[k]) {
        if (!prune_item2d(r, t, EST[k], x, k)) {
          result = 0;
          break;
        }
        *r.change = 1;
        LST[k] = lst(b, t, k);
        if (LST[k] != x) {
          x = LST[k];
          continue;
        }
      }
      b->item.maxwit[k][t] = (int32_t)w;
      break;
    }
    fd_profile_dispose(r.api, p);
    return result;
  }
};

/* r's placement at its bound in dimension k is one that t may take as well (dominance). */
bool dominates2d(const disjoint2_data *b, int r, int t, int rightp, int k)
{
  if (r < 0) return false;
  int o = 1 - k;
  if (rightp ? lst(b, r, k) != lst(b, t, k) : est(b, r, k) != est(b, t, k)) return false;
  if (!(b->dv[o][t].flags & DV_INTERVAL)) return false;
  if (dur(b, r, 0) < dur(b, t, 0) || dur(b, r, 1) < dur(b, t, 1)) return false;
  if (est(b, r, o) < est(b, t, o) || lst(b, r, o) > lst(b, t, o)) return false;
  int32_t lo[2], hi[2];
  for (int d = 0; d < 2; d++) {
    lo[d] = lst(b, r, d) + 1 - dur(b, t, d);
    hi[d] = est(b, r, d) - 1 + dur(b, r, d);
  }
  if (lo[0] > hi[0] || lo[1] > hi[1]) return true;
  int32_t bound = rightp ? lst(b, t, k) : est(b, t, k);
  if (bound < lo[k] || bound > hi[k]) return true;
  return lst(b, t, o) < lo[o] || est(b, t, o) > hi[o];
}

bool less_constrained2d(const disjoint2_data *b, int r, int t, int rightp, int k)
{
  if (r < 0) return true;
  int o = 1 - k;
  int64_t keys[5][2] = {
      {rightp ? lst(b, t, k) : -est(b, t, k), rightp ? lst(b, r, k) : -est(b, r, k)},
      {dur(b, t, k), dur(b, r, k)},
      {dur(b, t, o), dur(b, r, o)},
      {lst(b, t, k) - est(b, t, k) - dur(b, t, k), lst(b, r, k) - est(b, r, k) - dur(b, r, k)},
      {-(lst(b, t, o) - est(b, t, o) - dur(b, t, o)), -(lst(b, r, o) - est(b, r, o) - dur(b, r, o))},
  };
  for (auto &key : keys)
    if (key[0] != key[1]) return key[0] > key[1];
  return false;
}

/* Sorts the event queues of dimension d over the n events in ids and makes the prefix maxima
 * of the ends (by start) and suffix minima of the starts (by end). */
void order_events(disjoint2_data *b, int d, int32_t *by_start, int32_t *by_end, int32_t *max_end,
                  int32_t *min_start, int n)
{
  const int32_t *s = b->event.start[d], *e = b->event.end[d];
  fd_qsort(b->qxenv, by_start, (size_t)n,
           [s](const int32_t *x, const int32_t *y) { return s[*x] < s[*y] ? -1 : s[*x] > s[*y]; });
  fd_qsort(b->qxenv, by_end, (size_t)n,
           [e](const int32_t *x, const int32_t *y) { return e[*x] < e[*y] ? -1 : e[*x] > e[*y]; });
  for (int p = 0, m = INT32_MIN; p < n; p++) max_end[p] = m = std::max(m, e[by_start[p]]);
  for (int p = n - 1, m = INT32_MAX; p >= 0; p--) min_start[p] = m = std::min(m, s[by_end[p]]);
}

int disjoint2_filter(d2run &r, int nsources, const int32_t *targets, int ntargets, bool incremental)
{
  disjoint2_data *b = r.b;
  if (ntargets == 0) return 1;
  int t0 = targets[0];
  int nt = 0;
  for (int i = 0; i < nsources; i++) {
    int s = b->shifted_item.item[i];
    int32_t lo[2], hi[2];
    for (int d = 0; d < 2; d++) {
      lo[d] = lst(b, s, d) + 1 + b->shifted_item.amount[d][i];
      hi[d] = est(b, s, d) - 1 + b->shifted_item.amount[d][i] + dur(b, s, d);
    }
    if (margins(b) && !extend_forbidden_region2d(b, t0, s, lo, hi) &&
        (dur(b, t0, 0) == 0 || dur(b, t0, 1) == 0 || dur(b, s, 0) == 0 || dur(b, s, 1) == 0)) {
      lo[0] = lo[1] = EMPTY_START; /* items of length 0 meet only through a margin entry */
      hi[0] = hi[1] = EMPTY_END;
    }
    for (int d = 0; d < 2; d++) {
      b->event.start[d][i] = lo[d];
      b->event.end[d][i] = hi[d];
    }
    b->event.item[i] = s;
    /* (narrowed since the previous call; an item that stopped being a target in this call,
     * fixed by another view of its variables, still counts) */
    bool changed = !incremental || margins(b) ||
                   b->item.pruned_at[0][s] + b->item.pruned_at[1][s] > -2;
    if (changed) b->start_event_t[0][nt++] = i;
  }
  int32_t threshold[2];
  for (int d = 0; d < 2; d++) {
    int64_t m = INT32_MAX;
    for (int i = 0; i < nsources; i++)
      m = std::min(m, (int64_t)b->event.start[d][i] - b->event.end[d][i]);
    threshold[d] = (int32_t)std::clamp(m, (int64_t)INT32_MIN + 1, (int64_t)INT32_MAX);
    if (!margins(b)) threshold[d] = std::max(threshold[d], 1);
  }
  for (int d = 0; d < 2; d++) {
    for (int i = 0; i < nsources; i++) b->start_event[d][i] = b->end_event[d][i] = i;
    order_events(b, d, b->start_event[d], b->end_event[d], b->max_end[d], b->min_start[d],
                 nsources);
    for (int i = 0; i < nt; i++) b->start_event_t[d][i] = b->end_event_t[d][i] = b->start_event_t[0][i];
    order_events(b, d, b->start_event_t[d], b->end_event_t[d], b->max_end_t[d],
                 b->min_start_t[d], nt);
  }
  r.nevents = nsources;
  r.nevents_t = nt;
  bool dominance = !margins(b) && !wraps(b, 0) && !wraps(b, 1);
  int refmin[2] = {-1, -1}, refmax[2] = {-1, -1};
  for (int i = 0; i < ntargets; i++) {
    int t = targets[i];
    if (dur(b, t, 0) < threshold[0]) break;
    if (dur(b, t, 1) < threshold[1] || !(b->item.status[t] & D2_TARGET) || !meets_box(b, t))
      continue;
    /* A fixed item stops being a target, unless another item's pruning (through a shared
     * variable) fixed it in this run: the events were made before, so it is swept once more. */
    if (est(b, t, 0) == lst(b, t, 0) && est(b, t, 1) == lst(b, t, 1) &&
        b->item.mindur[0][t] == b->item.maxdur[0][t] &&
        b->item.mindur[1][t] == b->item.maxdur[1][t] &&
        b->item.pruned_at[0][t] != b->iteration && b->item.pruned_at[1][t] != b->iteration)
      b->item.status[t] &= ~D2_TARGET;
    for (int k = 0; k < 2; k++) {
      sweep sw(r, t, k);
      int32_t before = sw.EST[k];
      if (dominance && dominates2d(b, refmin[k], t, 0, k)) {
        b->item.minwit[k][t] = b->item.minwit[k][refmin[k]];
      } else {
        if (!(sw.witness_ok(b->item.minwit[k][t]) && !sw.min_witness_broken(b->item.minwit[k][t])))
          if (!sw.min_sweep()) return 0;
        if (dominance && sw.EST[k] == before && less_constrained2d(b, refmin[k], t, 0, k))
          refmin[k] = t;
      }
      if (sw.EST[k] == sw.LST[k]) continue;
      before = sw.LST[k];
      if (dominance && dominates2d(b, refmax[k], t, 1, k)) {
        b->item.maxwit[k][t] = b->item.maxwit[k][refmax[k]];
      } else {
        if (!(sw.witness_ok(b->item.maxwit[k][t]) && !sw.max_witness_broken(b->item.maxwit[k][t])))
          if (!sw.max_sweep()) return 0;
        if (dominance && sw.LST[k] == before && less_constrained2d(b, refmax[k], t, 1, k))
          refmax[k] = t;
      }
    }
  }
  return 1;
}

/* ---- two-dimensional edge finding ---- */

int64_t min_overlap_interval(int64_t est, int64_t lct, int64_t dur, int64_t lb, int64_t ub)
{
  return std::max<int64_t>(0, std::min({dur, ub - lb, est + dur - lb, ub - lct + dur}));
}

int64_t max_overlap_interval(int64_t est, int64_t lct, int64_t dur, int64_t lb, int64_t ub)
{
  return std::max<int64_t>(0, std::min({dur, ub - lb, lct - lb, ub - est}));
}

int64_t floor_div(int64_t a, int64_t b) { return a / b - (a % b != 0 && (a < 0) != (b < 0)); }

/* A linked item of one edge-finding step: its bounds in dimension k and its least overlap y with
 * the target's extent in the other dimension. With the window's fixed end F, its least overlap f
 * with the window is max(0, min(m - x, c)), x being the window's moving end (the start L when
 * raising minima, minus the end U when lowering maxima): for a fixed U, min(U, est + dur) - L
 * capped by min(dur, U - lst); for a fixed L, U - max(L, lst) capped by min(dur, est + dur - L).
 * It is max(0, c) while x <= key, non-increasing after, at most the length (below 2^28, as y). */
struct ef_entry {
  int64_t est, lct, dur, key, m, c;
  int32_t y, f, item;
};

int32_t ef_overlap(const ef_entry &e, int64_t x)
{
  return (int32_t)std::max<int64_t>(0, std::min(e.m - x, e.c));
}

/* The weighted least overlap E of the entries with the window of fixed end F as its moving end x
 * goes up. With the entries by increasing key, a step changes only the entries passed (key below
 * the new x) whose overlap is not yet 0; m is needed from the pass on. */
template <bool rising>
struct energy_sweep {
  ef_entry *e;
  int n;
  int32_t *live;
  int64_t F;
  int nlive = 0, passed = 0;
  int64_t E = 0;

  void pass(ef_entry &a) const
  {
    a.m = rising ? std::min(F, a.est + a.dur) : -std::max(F, a.lct - a.dur);
  }
  /* E at x0, summed directly. */
  void start(int64_t x0)
  {
    E = 0;
    nlive = passed = 0;
    for (int q = 0; q < n; q++) {
      ef_entry &a = e[q];
      a.c = std::min(a.dur, rising ? F - (a.lct - a.dur) : a.est + a.dur - F);
      if (a.key < x0) {
        pass(a);
        a.f = ef_overlap(a, x0);
        if (q == passed) {
          passed++;
          if (a.f > 0) live[nlive++] = q;
        }
      } else {
        a.f = (int32_t)std::max<int64_t>(0, a.c);
      }
      E += (int64_t)a.y * a.f;
    }
  }
  void advance(int64_t x1)
  {
    int kept = 0;
    auto step = [&](int q) {
      int32_t now = ef_overlap(e[q], x1);
      E -= (int64_t)e[q].y * (e[q].f - now);
      e[q].f = now;
      if (now > 0) live[kept++] = q;
    };
    for (int i = 0; i < nlive; i++) step(live[i]);
    for (; passed < n && e[passed].key < x1; passed++) {
      pass(e[passed]);
      step(passed);
    }
    nlive = kept;
  }
};

/* Walks the windows of the fixed end F over the n entries, the moving end over their distinct
 * keys while the window is not empty, and visits those whose free area, (U - L) * ysize - E, is
 * below `limit`: visit(q, L, U, free area) (q the last entry of the key) answers 0 to go on, 1
 * after a pruning (the entries were read again and `sorted` says whether their keys still
 * increase; E is then summed afresh), -1 to stop (returned). */
template <bool rising, class Visit>
int ef_windows(ef_entry *ent, int n, int32_t *live, int64_t F, const bool &sorted, int64_t ysize,
               int64_t limit, Visit visit)
{
  energy_sweep<rising> sw{ent, n, live, F};
  bool fresh = true;
  for (int q = 0; q < n; q++) {
    int64_t x = ent[q].key, L = rising ? x : F, U = rising ? F : -x;
    if (L >= U) break;
    if (q + 1 < n && ent[q + 1].key == x) continue;
    if (fresh || !sorted)
      sw.start(x);
    else
      sw.advance(x);
    fresh = false;
    int64_t slack = (U - L) * ysize - sw.E;
    if (slack >= limit) continue;
    int v = visit(q, L, U, slack);
    if (v < 0) return v;
    fresh = v > 0;
  }
  return 0;
}

/* An active item's bounds per dimension, read once per change. */
struct ef_bounds {
  int64_t est[2], lct[2], dur[2];
};

/* The work of one edge-finding step in dimension k: the active items by minimum origin and by
 * maximum end, and per target the entries: the items that must overlap its extent in the other
 * dimension, with their least overlap in `yoverlap`. */
struct edge_finder {
  d2run &r;
  disjoint2_data *b;
  int k, o, nact, n = 0;
  int32_t *by_est, *by_lct, *ends, *yoverlap, *live;
  ef_entry *ent;
  ef_bounds *bd;

  edge_finder(d2run &run, int dim) : r(run), b(run.b), k(dim), o(1 - dim)
  {
    nact = b->ntargets + b->nsources;
    by_est = b->sortarr;
    by_lct = by_est + b->nitems;
    ends = by_lct + b->nitems;
    yoverlap = ends + b->nitems;
    ent = b->ef_entries;
    live = b->ef_live;
    bd = b->ef_boxes;
    for (int p = 0; p < nact; p++) by_est[p] = by_lct[p] = b->target[p];
    cache();
    sort();
  }
  /* The bounds below are those read by the last cache(), taken again after every pruning. */
  void cache()
  {
    for (int p = 0; p < nact; p++) {
      int j = b->target[p];
      for (int d = 0; d < 2; d++) {
        bd[j].est[d] = est(b, j, d);
        bd[j].dur[d] = dur(b, j, d);
        bd[j].lct[d] = (int64_t)lst(b, j, d) + dur(b, j, d);
      }
    }
  }
  int64_t est_(int j, int d) const { return bd[j].est[d]; }
  int64_t dur_(int j, int d) const { return bd[j].dur[d]; }
  int64_t lct_(int j, int d) const { return bd[j].lct[d]; }
  int64_t live_lct(int j) const { return (int64_t)lst(b, j, k) + dur(b, j, k); }
  void sort()
  {
    const ef_bounds *c = bd;
    int kk = k;
    fd_qsort(r.api, by_est, (size_t)nact, [c, kk](const int32_t *x, const int32_t *y) {
      return c[*x].est[kk] < c[*y].est[kk] ? -1 : c[*x].est[kk] > c[*y].est[kk];
    });
    fd_qsort(r.api, by_lct, (size_t)nact, [c, kk](const int32_t *x, const int32_t *y) {
      return c[*x].lct[kk] < c[*y].lct[kk] ? -1 : c[*x].lct[kk] > c[*y].lct[kk];
    });
  }
  /* The targets taken: target bit, lengths positive, not the same as the previous one. */
  bool same(int t, int prev) const
  {
    if (prev < 0) return false;
    for (int d = 0; d < 2; d++)
      if (est(b, t, d) != est(b, prev, d) || lst(b, t, d) != lst(b, prev, d) ||
          dur(b, t, d) != dur(b, prev, d) || b->item.maxdur[d][t] != b->item.maxdur[d][prev])
        return false;
    return true;
  }
  bool eligible(int t) const
  {
    return (b->item.status[t] & D2_TARGET) && dur(b, t, 0) > 0 && dur(b, t, 1) > 0;
  }
  int seed_of(int j) const { return b->item.pruned_at[0][j] + b->item.pruned_at[1][j] + 2; }
  /* The least overlap of j with t's extent in o, 0 for t itself and items of length 0 in k. */
  int64_t overlap_with(int j, int t) const
  {
    if (j == t || dur_(j, k) == 0) return 0;
    return min_overlap_interval(est_(j, o), lct_(j, o), dur_(j, o), est_(t, o), lct_(t, o));
  }
  void fill(ef_entry &e, bool rising) const
  {
    e.est = est_(e.item, k);
    e.lct = lct_(e.item, k);
    e.dur = dur_(e.item, k);
    e.key = rising ? e.est : -e.lct;
  }
  /* Appends item j to the entries when it must overlap t's extent: its seed, else 0. */
  int link(int j, int t, bool rising, int64_t *sumy)
  {
    yoverlap[j] = (int32_t)overlap_with(j, t);
    if (yoverlap[j] <= 0) return 0;
    ef_entry &e = ent[n++];
    e.item = j;
    e.y = yoverlap[j];
    *sumy += e.y;
    fill(e, rising);
    return seed_of(j);
  }
  /* Fills the entries again after a pruning: true when their keys still increase, as the
   * incremental sweep needs (another view of a shared variable may have moved). */
  bool reload(bool rising)
  {
    bool sorted = true;
    for (int q = 0; q < n; q++) {
      fill(ent[q], rising);
      sorted = sorted && (q == 0 || ent[q - 1].key <= ent[q].key);
    }
    return sorted;
  }
  /* The window's fixed ends: the distinct maximum ends (rising) or minimum origins of the
   * entries strictly within t's range, increasing. */
  int fixed_ends(int t, int64_t EST, int64_t LCT, bool rising)
  {
    int m = 0;
    const int32_t *order = rising ? by_lct : by_est;
    for (int q = 0; q < nact; q++) {
      int j = order[q];
      int64_t v = rising ? lct_(j, k) : est_(j, k);
      if (v >= LCT) break;
      if (v <= EST || j == t || dur_(j, k) == 0 || yoverlap[j] <= 0) continue;
      if (m == 0 || ends[m - 1] < v) ends[m++] = (int32_t)v;
    }
    return m;
  }
  /* t's minimum to U - d, the entries within [L, U) that end after its old minimum before it. */
  int raise(int t, int64_t L, int64_t U, int64_t d, int64_t EST)
  {
    if (!prune_item2d(r, t, (int32_t)std::min<int64_t>(U - d, INT32_MAX / 2), lst(b, t, k), k))
      return 0;
    for (int i = 0; i < n; i++) {
      int j = ent[i].item;
      if (est(b, j, k) >= L && EST < live_lct(j) && live_lct(j) <= U && !prune_before2d(r, j, t, k))
        return 0;
    }
    return 1;
  }
  /* t's maximum end to L + d, the entries within [L, U) that start before its old maximum end
   * after it. */
  int lower(int t, int64_t L, int64_t U, int64_t d, int64_t DUR, int64_t LCT)
  {
    if (!prune_item2d(r, t, est(b, t, k), (int32_t)std::max<int64_t>(L + d - DUR, INT32_MIN / 2),
                      k))
      return 0;
    for (int i = 0; i < n; i++) {
      int j = ent[i].item;
      if (live_lct(j) <= U && L <= est(b, j, k) && est(b, j, k) < LCT &&
          !prune_before2d(r, t, j, k))
        return 0;
    }
    return 1;
  }

  /* Raises minima (rising) or lowers maxima: 0 on a wipe-out. Per target, per fixed end of the
   * window (from the largest U down, or from the smallest L up), the moving end goes over the
   * entries' distinct keys with the energy kept incrementally. */
  template <bool rising>
  int run()
  {
    int prev = -1;
    for (int p = 0; p < b->ntargets; p++) {
      int t = b->target[p];
      if (!eligible(t) || same(t, prev)) continue;
      prev = t;
      int64_t EST = est_(t, k), LCT = lct_(t, k), DUR = dur_(t, k), H = dur_(t, o);
      int64_t YSIZE = lct_(t, o) - est_(t, o), sumy = 0;
      int seed = seed_of(t);
      n = 0;
      if (rising)
        for (int q = 0; q < nact && est_(by_est[q], k) < LCT; q++)
          seed += link(by_est[q], t, true, &sumy);
      else
        for (int q = nact - 1; q >= 0; q--) /* by decreasing maximum end */
          if (lct_(by_lct[q], k) > EST) seed += link(by_lct[q], t, false, &sumy);
      /* Each entry covers at most its `yoverlap` of t's extent in o per unit of k, so a window's
       * free area is at least its length times YSIZE - sumy, and t, which needs less than its
       * length times H there, fits every window unless sumy > YSIZE - H. */
      if (seed == 0 || n == 0 || sumy <= YSIZE - H) continue;
      int nends = fixed_ends(t, EST, LCT, rising);
      bool pruned = false, sorted = true;
      auto window = [&](int, int64_t L, int64_t U, int64_t slack) {
        if (slack < min_overlap_interval(EST, LCT, DUR, L, U) * H) return -1;
        if (slack >= max_overlap_interval(EST, LCT, DUR, L, U) * H) return 0;
        int64_t d = floor_div(slack, H);
        if (rising ? EST <= L - DUR + d : LCT >= U + DUR - d) return 0;
        if (!(rising ? raise(t, L, U, d, EST) : lower(t, L, U, d, DUR, LCT))) return -1;
        cache();
        EST = est_(t, k);
        LCT = lct_(t, k);
        pruned = true;
        sorted = reload(rising);
        return 1;
      };
      for (int s = 0; s < nends; s++) {
        int64_t F = ends[rising ? nends - 1 - s : s];
        if (ef_windows<rising>(ent, n, live, F, sorted, YSIZE, DUR * H, window) < 0) return 0;
      }
      if (pruned) {
        *r.change = 1;
        sort();
      }
    }
    return 1;
  }
};

int edge_finding2d_up(d2run &r, int k) { return edge_finder(r, k).run<true>(); }
int edge_finding2d_down(d2run &r, int k) { return edge_finder(r, k).run<false>(); }

/* ---- the compulsory-part check ---- */

/* Fails (0) when two items' compulsory parts overlap; on a rebuild, fixed items among them stop
 * being targets. */
int disjoint2_check(d2run &r, bool rebuild)
{
  disjoint2_data *b = r.b;
  int nactive = b->ntargets + b->nsources, n = 0;
  int32_t *ev = b->sortarr; /* 2 per item: 2i start, 2i + 1 end */
  int32_t *coord = b->sortarr + 2 * b->nitems;
  for (int p = 0; p < nactive; p++) {
    int i = b->target[p];
    if (lst(b, i, 0) >= est(b, i, 0) + dur(b, i, 0) || lst(b, i, 1) >= est(b, i, 1) + dur(b, i, 1) ||
        !meets_box(b, i))
      continue;
    if (rebuild && (b->item.status[i] & D2_TARGET) && (b->dv[0][i].flags & DV_FIXED) &&
        (b->dv[1][i].flags & DV_FIXED) && b->item.mindur[0][i] == b->item.maxdur[0][i] &&
        b->item.mindur[1][i] == b->item.maxdur[1][i])
      b->item.status[i] &= ~D2_TARGET;
    coord[2 * i] = lst(b, i, 0);
    coord[2 * i + 1] = est(b, i, 0) + dur(b, i, 0);
    ev[n++] = 2 * i;
    ev[n++] = 2 * i + 1;
  }
  fd_qsort(r.api, ev, (size_t)n, [coord](const int32_t *x, const int32_t *y) {
    if (coord[*x] != coord[*y]) return coord[*x] < coord[*y] ? -1 : 1;
    return (*y & 1) - (*x & 1); /* an end before a start */
  });
  profile *p = fd_empty_profile();
  int result = 1;
  for (int j = 0; j < n && result; j++) {
    int i = ev[j] >> 1;
    long lo = lst(b, i, 1), hi = (long)est(b, i, 1) + dur(b, i, 1);
    if (ev[j] & 1) {
      p = fd_profile_update(r.api, r.w, p, lo, hi, -1);
    } else if (fd_profile_max(p, lo, hi) > 0) {
      result = 0;
    } else {
      p = fd_profile_update(r.api, r.w, p, lo, hi, 1);
    }
  }
  fd_profile_dispose(r.api, p);
  return result;
}

/* ---- one call ---- */

/* The per-call scratch, laid out in one allocation. */
void *alloc_scratch(ORVALIS_API_STRUCT *api, disjoint2_data *b)
{
  size_t n = (size_t)b->nitems, ns = (size_t)b->nshifted_items;
  size_t words = 4 * n + ns + 16 * ns + 4 * n + 3 * ns + 5 * ns + n;
  auto *p = (int32_t *)fd_malloc(api, n * (sizeof(ef_entry) + sizeof(ef_bounds)) +
                                          words * sizeof(int32_t));
  b->ef_entries = (ef_entry *)p;
  b->ef_boxes = (ef_bounds *)(b->ef_entries + n);
  int32_t *q = (int32_t *)(b->ef_boxes + n);
  auto take = [&q](size_t k) {
    int32_t *r = q;
    q += k;
    return r;
  };
  b->sortarr = take(4 * n);
  b->source = take(ns);
  for (int d = 0; d < 2; d++) {
    b->start_event[d] = take(ns);
    b->end_event[d] = take(ns);
    b->start_event_t[d] = take(ns);
    b->end_event_t[d] = take(ns);
    b->max_end[d] = take(ns);
    b->min_start[d] = take(ns);
    b->max_end_t[d] = take(ns);
    b->min_start_t[d] = take(ns);
  }
  b->item.pruned_at[0] = take(n);
  b->item.pruned_at[1] = take(n);
  b->item.next = take(n);
  b->item.next_area = take(n);
  b->ef_live = take(n);
  b->shifted_item.item = take(ns);
  b->shifted_item.amount[0] = take(ns);
  b->shifted_item.amount[1] = take(ns);
  b->event.item = take(ns);
  b->event.start[0] = take(ns);
  b->event.start[1] = take(ns);
  b->event.end[0] = take(ns);
  b->event.end[1] = take(ns);
  for (size_t i = 0; i < n; i++) b->item.pruned_at[0][i] = b->item.pruned_at[1][i] = -1;
  return p;
}

/* Step 3, incremental: re-reads the targets that changed and forms the change box. Answers the
 * changed item when exactly one changed, -1 when several, -2 when none. */
int reread_changed(disjoint2_data *b)
{
  for (int d = 0; d < 2; d++) {
    b->bbmin[d] = wraps(b, d) ? WHOLE_LO : WHOLE_HI;
    b->bbmax[d] = wraps(b, d) ? WHOLE_HI : WHOLE_LO;
  }
  int first = -1, last = -1, count = 0;
  for (int p = 0; p < b->ntargets; p++) {
    int t = b->target[p];
    if (!(b->item.status[t] & D2_TARGET)) continue;
    bool changed[2] = {false, false};
    for (int d = 0; d < 2; d++) {
      int e = 1 - d;
      dvar *dv = &b->dv[d][t];
      TAGGED *dom = StrPtr(fd_attr_dom(*ref(b, t, 4 * d)));
      if (dv->min != deref(dom[2])) {
        b->item.minwit[d][t] = NO_WIT;
        changed[d] = true;
      }
      bool same_max = dv->max == deref(dom[3]);
      init_origin(b, t, d);
      if (!same_max) {
        b->item.maxwit[d][t] = NO_WIT;
        changed[d] = true;
      } else if (!changed[d] && !(dv->flags & DV_INTERVAL)) {
        for (int32_t w : {b->item.minwit[e][t], b->item.maxwit[e][t]})
          if (w != NO_WIT && !dvar_contains_value_t(dv, MakeSmall(w))) changed[d] = true;
      }
      int32_t lo, hi;
      read_length(b, t, d, &lo, &hi);
      if (lo != b->item.mindur[d][t] || hi != b->item.maxdur[d][t]) {
        b->item.mindur[d][t] = lo;
        b->item.maxdur[d][t] = hi;
        for (int k = 0; k < 2; k++) b->item.minwit[k][t] = b->item.maxwit[k][t] = NO_WIT;
        changed[0] = changed[1] = true;
      }
      b->item.pruned_at[d][t] = changed[d] ? 0 : -1;
    }
    if (changed[0] || changed[1]) {
      for (int d = 0; d < 2; d++) {
        if (wraps(b, d)) continue;
        b->bbmin[d] = std::min(b->bbmin[d], est(b, t, d));
        b->bbmax[d] = std::max(b->bbmax[d], lst(b, t, d) + dur(b, t, d));
      }
      if (first < 0) first = t;
      last = t;
      count++;
    }
  }
  for (int d = 0; d < 2 && margins(b); d++)
    if (b->bbmax[d] != WHOLE_HI && b->bbmin[d] <= b->bbmax[d]) {
      b->bbmin[d] -= 2 * b->maxmargin[d];
      b->bbmax[d] += 2 * b->maxmargin[d];
    }
  return count == 0 ? -2 : first == last ? first : -1;
}

/* Step 3, rebuild: every target re-read, working bits restored from the saved ones. */
void rebuild(disjoint2_data *b)
{
  for (int d = 0; d < 2; d++) {
    b->bbmin[d] = WHOLE_LO;
    b->bbmax[d] = WHOLE_HI;
  }
  for (int p = 0; p < b->ntargets; p++) {
    int t = b->target[p];
    b->item.status[t] |= (b->item.status[t] >> 4) & (D2_SOURCE | D2_TARGET);
    if (!(b->item.status[t] & D2_TARGET)) continue;
    for (int d = 0; d < 2; d++) {
      init_origin(b, t, d);
      b->item.pruned_at[d][t] = 0;
    }
    load_lengths(b, t);
  }
  for (int p = b->ntargets; p < b->ntargets + b->nsources; p++)
    b->item.status[b->target[p]] |= D2_SOURCE;
}

/* Step 4: an item longer than the period of a wrapped dimension meets its own copy. */
bool wrap_feasible(disjoint2_data *b)
{
  for (int p = 0; p < b->ntargets; p++) {
    int t = b->target[p];
    int32_t lo[2] = {0, 0}, size[2] = {dur(b, t, 0), dur(b, t, 1)};
    extend_forbidden_region2d(b, t, t, lo, size);
    for (int d = 0; d < 2; d++)
      if (wraps(b, d) && size[d] > b->rborder[d] - b->lborder[d] && size[1 - d] > 0) return false;
  }
  return true;
}

/* The single-item shortcut of step 8: the targets that may meet item t's compulsory part. */
int targets_near(disjoint2_data *b, int t, int32_t *out)
{
  int32_t a[2], c[2], need[2];
  for (int d = 0; d < 2; d++) {
    a[d] = lst(b, t, d) + 1;
    c[d] = est(b, t, d) - 1 + dur(b, t, d);
    need[d] = a[d] > c[d] ? a[d] - c[d] : 1;
  }
  int n = 0;
  for (int p = 0; p < b->ntargets; p++) {
    int j = b->target[p];
    bool near = j == t;
    if (!near) {
      near = true;
      for (int d = 0; d < 2; d++)
        near = near && dur(b, j, d) >= need[d] && est(b, j, d) <= c[d] &&
               lst(b, j, d) >= a[d] - dur(b, j, d);
    }
    if (near && (b->item.status[j] & D2_TARGET)) out[n++] = j;
  }
  return n;
}

/* Step 8: the propagation loop. 0 failure. */
int propagate(d2run &r, bool incremental, int single)
{
  disjoint2_data *b = r.b;
  int change = 1;
  r.change = &change;
  b->iteration = 1;
  bool full_extras = !incremental || !(b->flags & D2_LEAN);
  /* (not with a synchronization table either: the shortcut would leave the tasks unswept) */
  if (single >= 0 && !(b->flags & (D2_WRAP0 | D2_WRAP1 | D2_MARGIN | D2_GLOBAL)) && !b->synchro_table) {
    int32_t *near = b->sortarr;
    int n = targets_near(b, single, near);
    change = 0;
    if (n > 0) {
      int ns = collect_source2d(r, true);
      if (ns > 0 && !disjoint2_filter(r, ns, near, n, true)) return 0;
    }
    b->iteration++;
  }
  while (change) {
    change = 0;
    bool inc = incremental || b->iteration > 1;
    if (!margins(b)) {
      int ns = collect_source2d(r, true);
      if (ns > 0 && !disjoint2_filter(r, ns, b->target, b->ntargets, inc)) return 0;
      if (b->synchro_table && !wake_sweep_synchro(r, inc)) return 0;
    } else {
      for (int p = 0; p < b->ntargets; p++) {
        int t = b->target[p];
        if (!(b->item.status[t] & D2_TARGET) || !meets_box(b, t)) continue;
        int ns = collect_source2d(r, true);
        if (ns > 0 && !disjoint2_filter(r, ns, &b->target[p], 1, inc)) return 0;
      }
    }
    for (int k = 0; k < 2 && full_extras && (b->flags & D2_GLOBAL); k++)
      if (!edge_finding2d_up(r, k) || !edge_finding2d_down(r, k)) return 0;
    b->iteration++;
  }
  return 1;
}

/* The envelope of shifted source i: where its item, widened by the largest margins, may lie. */
bool envelope(const disjoint2_data *b, int i, int32_t lo[2], int32_t hi[2])
{
  int s = b->shifted_item.item[i];
  for (int d = 0; d < 2; d++) {
    lo[d] = est(b, s, d) - b->maxmargin[d] + b->shifted_item.amount[d][i];
    hi[d] = lst(b, s, d) + b->maxmargin[d] + b->shifted_item.amount[d][i] + b->item.maxdur[d][s];
    /* with margins an item of length 0 still has a place: one unit wide, so as to meet the
     * items that hold its position strictly inside */
    if (margins(b)) hi[d]++;
    if (lo[d] >= hi[d]) return false;
  }
  return true;
}

/* Steps 9 to 11: items that can no longer meet a target stop being sources; with decomposition,
 * so do items whose envelope meets no other item's. */
void keep_sources(d2run &r, bool decompose)
{
  disjoint2_data *b = r.b;
  int ns = collect_source2d(r, false);
  int32_t box_lo[2] = {WHOLE_HI, WHOLE_HI}, box_hi[2] = {WHOLE_LO, WHOLE_LO};
  int32_t *st = b->item.status;
  for (int i = 0; i < ns; i++) {
    int32_t lo[2], hi[2];
    int s = b->shifted_item.item[i];
    if ((st[s] & (D2_SOURCE | D2_TARGET)) != (D2_SOURCE | D2_TARGET) || !envelope(b, i, lo, hi))
      continue;
    for (int d = 0; d < 2; d++) {
      box_lo[d] = std::min(box_lo[d], lo[d]);
      box_hi[d] = std::max(box_hi[d], hi[d]);
    }
  }
  int nactive = b->ntargets + b->nsources;
  for (int i = 0; i < ns; i++) {
    int s = b->shifted_item.item[i];
    int32_t lo[2], hi[2];
    bool keep = (st[s] & D2_TARGET) || (envelope(b, i, lo, hi) && lo[0] < box_hi[0] &&
                                        box_lo[0] < hi[0] && lo[1] < box_hi[1] && box_lo[1] < hi[1]);
    if (keep && !decompose) st[s] |= D2_MARK;
    if (keep) b->item.next[s] = 1; /* kept by some copy */
  }
  for (int p = 0; p < nactive; p++) {
    int s = b->target[p];
    if (!(st[s] & D2_TARGET) && b->item.next[s] != 1) st[s] &= ~D2_SOURCE;
  }
  if (decompose) {
    ns = collect_source2d(r, false);
    for (int i = 0; i < ns; i++) {
      int32_t lo[2], hi[2];
      int s = b->shifted_item.item[i];
      if ((st[s] & D2_MARK) || !envelope(b, i, lo, hi)) continue;
      for (int j = 0; j < ns; j++) {
        int32_t lo2[2], hi2[2];
        int u = b->shifted_item.item[j];
        if (u == s || !envelope(b, j, lo2, hi2)) continue;
        if (lo[0] < hi2[0] && lo2[0] < hi[0] && lo[1] < hi2[1] && lo2[1] < hi[1]) {
          st[s] |= D2_MARK;
          st[u] |= D2_MARK;
          break;
        }
      }
    }
  }
  for (int p = 0; p < nactive; p++) {
    int s = b->target[p];
    if (st[s] & D2_MARK)
      st[s] &= ~D2_MARK;
    else
      st[s] &= ~D2_SOURCE;
  }
}

/* Steps 12 and 13: exports, entailment, the new prefixes. Answers 1 when entailed. */
int conclude(d2run &r, bool fresh)
{
  disjoint2_data *b = r.b;
  bool entailed = true;
  for (int p = b->ntargets - 1; p >= 0; p--) {
    int t = b->target[p];
    entailed = entailed && !(b->item.status[t] & D2_TARGET);
    for (int d = 0; d < 2; d++)
      if (b->item.pruned_at[d][t] > 0 &&
          (b->dv[d][t].flags & (DV_SET_TOLD | DV_MIN_RAISED | DV_MAX_LOWERED)))
        dvar_export_do(r.api, r.w, &b->dv[d][t]);
  }
  if (entailed) return 1;
  int nactive = b->ntargets + b->nsources, nt = 0;
  for (int p = 0; p < b->ntargets; p++)
    if (b->item.status[b->target[p]] & D2_TARGET) std::swap(b->target[p], b->target[nt++]);
  while (nactive > nt && !(b->item.status[b->target[nactive - 1]] & D2_SOURCE)) nactive--;
  if (fresh)
    for (int p = nt; p < nactive; p++) b->item.status[b->target[p]] &= ~D2_SAVED_TARGET;
  b->ntargets = nt;
  b->nsources = nactive - nt;
  return 0;
}

/* One call on the block: the outcome. */
int run_call(ORVALIS_API_STRUCT *api, worker *w, disjoint2_data *b, int32_t stamp, bool fresh,
             bool first)
{
  d2run r{api, w, b, 0, 0, nullptr, false};
  fd_init_profile(api); /* the pool's segments of earlier runs are gone with the number stack */
  void *scratch = alloc_scratch(api, b);
  bool incremental = b->stamp == stamp;
  int single = -1, outcome = 0;
  if (incremental) {
    single = reread_changed(b);
  } else {
    rebuild(b);
    if (first) check_if_use_sweep_synchro(b);
  }
  b->stamp = stamp + 1;
  r.aliased = any_alias(r);
  if ((b->flags & (D2_WRAP0 | D2_WRAP1)) && !wrap_feasible(b)) {
    outcome = -1;
  } else {
    int32_t *md = b->item.mindur[0];
    fd_qsort(api, b->target, (size_t)b->ntargets,
             [md](const int32_t *x, const int32_t *y) { return md[*y] - md[*x]; });
    bool extras = !incremental || !(b->flags & D2_LEAN);
    if (extras && !(b->flags & (D2_WRAP0 | D2_WRAP1 | D2_MARGIN)) && !disjoint2_check(r, !incremental))
      outcome = -1;
  }
  if (outcome == 0) {
    b->items_by_area = -1;
    b->maxdur[0] = b->maxdur[1] = 0;
    for (int p = b->ntargets - 1; p >= 0; p--) {
      int t = b->target[p];
      if (!(b->item.status[t] & D2_TARGET)) continue;
      b->item.next_area[t] = b->items_by_area;
      b->items_by_area = t;
      for (int d = 0; d < 2; d++) b->maxdur[d] = std::max(b->maxdur[d], dur(b, t, d));
    }
    if (incremental && single == -2) {
      outcome = 0; /* nothing changed: nothing to do */
    } else if (!propagate(r, incremental, single)) {
      outcome = -1;
    } else {
      for (int p = 0; p < b->nitems; p++) b->item.next[p] = 0;
      keep_sources(r, (b->flags & D2_DECOMPOSITION) && (!incremental || !(b->flags & D2_LEAN)));
      outcome = conclude(r, fresh);
    }
  }
  QX_free(scratch);
  return outcome;
}

/* ---- synchronization of task parts ----
 *
 * When every item has length 1 in one dimension (the resources), items whose origin and length
 * variables in the other dimension (time) are the same variables are parts of one task: they run
 * at the same time on pairwise different resources. A task's start is feasible only when its parts
 * can be matched to distinct resource values of their domains that no other task holds then; the
 * start is swept up from the minimum and down from the maximum to the first feasible dates. The
 * matching is recomputed at each date that hid or freed values, from the previous one's hints. */

struct synchro_frame {
  int adim, tdim;
  int min_resource, max_resource, nb_resource, max_nb_part;
  int min_resource_cur, max_resource_cur, nb_resource_cur, nb_part_cur;
  int32_t *ori_depth, *len_depth, *sort_task, *next_task, *last_part, *next_part, *hint;
  int first_task, nactive;
};

/* The matching of one task's parts to resource values (0 .. nb_resource_cur - 1), and the
 * events of one sweep: type 0 forbid, 1 free. */
struct matching_frame {
  int32_t *assign, *rmate, *ymate, *mark, *hidden, *count_forbid;
  int32_t *type, *date, *ress, *order;
  int nevents;
};

void release_synchro(disjoint2_data *b)
{
  synchro_frame *f = b->synchro_table;
  if (!f) return;
  ORVALIS_API_STRUCT *api = &fd_engine_tables;
  for (int32_t *a : {f->ori_depth, f->len_depth, f->sort_task, f->next_task, f->last_part,
                     f->next_part, f->hint})
    QX_free(a);
  QX_free(f);
  b->synchro_table = nullptr;
}

void check_if_use_sweep_synchro(disjoint2_data *b)
{
  b->synchro_table = nullptr;
  int nactive = b->ntargets + b->nsources;
  if ((b->flags & (D2_SYNCHRO | D2_MARGIN)) != D2_SYNCHRO || nactive < 2) return;
  bool ones[2] = {true, true};
  int count = 0;
  for (int p = 0; p < nactive; p++) {
    int i = b->target[p];
    for (int d = 0; d < 2; d++) {
      ones[d] = ones[d] && b->item.mindur[d][i] == 1 && b->item.maxdur[d][i] == 1;
      count += b->item.mindur[d][i] != b->item.maxdur[d][i];
    }
  }
  for (int d = 0; d < 2; d++) {
    if (!ones[d]) continue;
    int64_t lo = INT32_MAX, hi = INT32_MIN;
    for (int p = 0; p < nactive; p++) {
      lo = std::min<int64_t>(lo, est(b, b->target[p], d));
      hi = std::max<int64_t>(hi, lst(b, b->target[p], d));
    }
    if (hi - lo > 5 * (int64_t)nactive + 10) ones[d] = false;
  }
  for (int p = 0; p < nactive; p++)
    for (int d = 0; d < 2; d++) count += !(b->dv[d][b->target[p]].flags & DV_FIXED);
  if (count < 2 || (!ones[0] && !ones[1])) return;
  ORVALIS_API_STRUCT *api = b->qxenv;
  auto *f = (synchro_frame *)fd_malloc(api, sizeof(synchro_frame));
  std::memset(f, 0, sizeof *f);
  f->adim = ones[0] ? 0 : 1;
  f->tdim = 1 - f->adim;
  for (int32_t **a : {&f->ori_depth, &f->len_depth, &f->sort_task, &f->next_task, &f->last_part,
                      &f->next_part, &f->hint}) {
    *a = (int32_t *)fd_malloc(api, (size_t)b->nitems * sizeof(int32_t));
    std::memset(*a, 0, (size_t)b->nitems * sizeof(int32_t));
  }
  f->nactive = nactive;
  f->first_task = -1;
  b->synchro_table = f;
}

/* The alias links followed in a variable's attribute to its domain, -1 when it is fixed. */
int32_t alias_depth(TAGGED *attr_ref, TAGGED *var_ref)
{
  if (!IsVar(deref(*var_ref))) return -1;
  int32_t n = 0;
  TAGGED a = deref(*attr_ref);
  for (TAGGED v; IsStr(v = fd_mutable_value(StrArg(a, 3))) && StrFunctor(v) == functor_v4; a = v) n++;
  TAGGED *dom = StrPtr(fd_attr_dom(a));
  return deref(dom[2]) == deref(dom[3]) ? -1 : n;
}

struct synchro {
  d2run &r;
  disjoint2_data *b;
  synchro_frame *f;
  matching_frame m{};

  synchro(d2run &run) : r(run), b(run.b), f(run.b->synchro_table) {}

  TAGGED time_var(int i, int k) const { return deref(*ref(b, i, 4 * f->tdim + 2 * k + 1)); }
  int32_t depth(int i, int k) const
  {
    return alias_depth(ref(b, i, 4 * f->tdim + 2 * k), ref(b, i, 4 * f->tdim + 2 * k + 1));
  }
  bool isindom_origin(int i, int32_t v) const
  {
    const dvar *dv = &b->dv[f->adim][i];
    if (b->item.status[i] & D2_TARGET) return dvar_contains_value_t(dv, MakeSmall(v));
    return est(b, i, f->adim) == v;
  }

  void build_tasks()
  {
    int n = f->nactive = b->ntargets + b->nsources;
    for (int p = 0; p < n; p++) f->sort_task[p] = b->target[p];
    synchro *self = this;
    fd_qsort(r.api, f->sort_task, (size_t)n, [self](const int32_t *x, const int32_t *y) {
      for (int k = 0; k < 2; k++) {
        TAGGED a = self->time_var(*x, k), c = self->time_var(*y, k);
        if (a != c) return a < c ? -1 : 1;
      }
      return 0;
    });
    f->first_task = -1;
    int last_head = -1;
    for (int p = 0; p < n; p++) {
      int i = f->sort_task[p];
      f->next_part[i] = -1;
      f->last_part[i] = i;
      bool joins = last_head >= 0 && time_var(i, 0) == time_var(last_head, 0) &&
                   time_var(i, 1) == time_var(last_head, 1) && IsVar(time_var(i, 0));
      if (joins) {
        f->next_part[f->last_part[last_head]] = i;
        f->last_part[last_head] = i;
        continue;
      }
      f->next_task[i] = -1;
      if (last_head >= 0) f->next_task[last_head] = i;
      else f->first_task = i;
      last_head = i;
      f->ori_depth[i] = depth(i, 0);
      f->len_depth[i] = depth(i, 1);
    }
  }

  /* Whether every part of the current task takes a distinct free value (Kuhn's augmenting
   * paths, the hints tried first). */
  bool try_part(int p, int32_t *seen, int stamp)
  {
    int i = m.assign[p];
    int lo = std::max(est(b, i, f->adim), f->min_resource_cur);
    int hi = std::min(lst(b, i, f->adim), f->max_resource_cur);
    int first = f->hint[i];
    for (int pass = 0; pass < 2; pass++)
      for (int v = pass ? lo : first; v <= (pass ? hi : first); v++) {
        if (v < lo || v > hi) continue;
        int x = v - f->min_resource_cur;
        if (m.hidden[x] || seen[x] == stamp || !isindom_origin(i, v)) continue;
        seen[x] = stamp;
        if (m.ymate[x] < 0 || try_part(m.ymate[x], seen, stamp)) {
          m.ymate[x] = p;
          m.rmate[p] = x;
          return true;
        }
      }
    return false;
  }
  bool synchronize_parts_of_a_task()
  {
    for (int x = 0; x < f->nb_resource_cur; x++) m.ymate[x] = -1, m.mark[x] = 0;
    for (int p = 0; p < f->nb_part_cur; p++) {
      if (!try_part(p, m.mark, p + 1)) return false;
    }
    for (int p = 0; p < f->nb_part_cur; p++) f->hint[m.assign[p]] = m.rmate[p] + f->min_resource_cur;
    return true;
  }

  void add_event(int type, int32_t date, int32_t v)
  {
    m.type[m.nevents] = type;
    m.date[m.nevents] = date;
    m.ress[m.nevents] = v;
    m.order[m.nevents] = m.nevents;
    m.nevents++;
  }

  /* Events of the sweep of task h: the other tasks' parts on fixed resources over the dates at
   * which h meets their compulsory parts in time. up: forbid at lo, free at hi + 1. */
  bool make_events(int h, bool up)
  {
    int T = f->tdim, A = f->adim;
    int32_t EST = est(b, h, T), LST = lst(b, h, T), DUR = dur(b, h, T);
    int32_t tp = b->rborder[T] - b->lborder[T], ap = b->rborder[A] - b->lborder[A];
    bool at_bound = false;
    m.nevents = 0;
    for (int j = f->first_task; j >= 0; j = f->next_task[j]) {
      if (j == h || dur(b, j, T) <= 0) continue;
      for (int ts = wraps(b, T) ? -1 : 0; ts <= (wraps(b, T) ? 1 : 0); ts++) {
        int64_t lo = std::max<int64_t>(EST, (int64_t)lst(b, j, T) + 1 + ts * tp - DUR);
        int64_t hi = std::min<int64_t>(LST, (int64_t)est(b, j, T) - 1 + ts * tp + dur(b, j, T));
        if (lo > hi) continue;
        for (int rs = wraps(b, A) ? -1 : 0; rs <= (wraps(b, A) ? 1 : 0); rs++)
          for (int p = j; p >= 0; p = f->next_part[p]) {
            if (est(b, p, A) != lst(b, p, A)) continue;
            int64_t v = (int64_t)est(b, p, A) + rs * ap;
            if (v < f->min_resource_cur || v > f->max_resource_cur) continue;
            int32_t x = (int32_t)(v - f->min_resource_cur);
            if (up) {
              add_event(0, (int32_t)lo, x);
              if (hi < LST) add_event(1, (int32_t)hi + 1, x);
              at_bound |= lo == EST;
            } else {
              add_event(0, (int32_t)hi, x);
              if (lo > EST) add_event(1, (int32_t)lo - 1, x);
              at_bound |= hi == LST;
            }
          }
      }
    }
    return at_bound;
  }

  /* The first feasible date of the sweep, or none (false). */
  bool sweep(bool up, int32_t *found)
  {
    matching_frame &mm = m;
    fd_qsort(r.api, m.order, (size_t)m.nevents, [&mm, up](const int32_t *x, const int32_t *y) {
      if (mm.date[*x] != mm.date[*y]) return (mm.date[*x] < mm.date[*y]) == up ? -1 : 1;
      return mm.type[*x] - mm.type[*y];
    });
    for (int x = 0; x < f->nb_resource_cur; x++) m.count_forbid[x] = m.hidden[x] = 0;
    for (int e = 0; e < m.nevents;) {
      int32_t date = m.date[m.order[e]];
      for (; e < m.nevents && m.date[m.order[e]] == date; e++) {
        int32_t x = m.ress[m.order[e]];
        m.count_forbid[x] += m.type[m.order[e]] == 0 ? 1 : -1;
        m.hidden[x] = m.count_forbid[x] > 0;
      }
      if (synchronize_parts_of_a_task()) {
        *found = date;
        return true;
      }
    }
    return false;
  }

  /* The task's time origin to lo..hi: every part's view of the one variable. */
  int prune_task(int h, int32_t lo, int32_t hi)
  {
    *r.change = 1;
    for (int p = h; p >= 0; p = f->next_part[p])
      if (!prune_item2d(r, p, lo, hi, f->tdim)) return 0;
    return 1;
  }

  /* 0 failure, else 1. */
  int run(bool incremental)
  {
    bool rebuild = !incremental;
    for (int h = f->first_task; h >= 0 && !rebuild; h = f->next_task[h])
      rebuild = depth(h, 0) != f->ori_depth[h] || depth(h, 1) != f->len_depth[h];
    if (rebuild || f->first_task < 0 || f->nactive != b->ntargets + b->nsources) build_tasks();
    int n = f->nactive, A = f->adim, T = f->tdim;
    f->min_resource = INT32_MAX;
    f->max_resource = INT32_MIN;
    for (int p = 0; p < n; p++) {
      f->min_resource = std::min(f->min_resource, est(b, b->target[p], A));
      f->max_resource = std::max(f->max_resource, lst(b, b->target[p], A));
    }
    f->nb_resource = f->max_resource - f->min_resource + 1;
    f->max_nb_part = 0;
    for (int h = f->first_task; h >= 0; h = f->next_task[h]) {
      int c = 0;
      for (int p = h; p >= 0; p = f->next_part[p]) c++;
      f->max_nb_part = std::max(f->max_nb_part, c);
    }
    size_t nr = (size_t)std::max(f->nb_resource, 1), np = (size_t)std::max(f->max_nb_part, 1);
    size_t ne = 2 * (size_t)n * 9 + 2;
    auto *mem = (int32_t *)fd_malloc(r.api, (3 * np + 4 * nr + 4 * ne) * sizeof(int32_t));
    int32_t *q = mem;
    for (int32_t **a : {&m.assign, &m.rmate}) *a = q, q += np;
    for (int32_t **a : {&m.ymate, &m.mark, &m.hidden, &m.count_forbid}) *a = q, q += nr;
    for (int32_t **a : {&m.type, &m.date, &m.ress, &m.order}) *a = q, q += ne;
    int result = 1;
    for (int h = f->first_task; h >= 0 && result; h = f->next_task[h]) {
      if (f->next_part[h] < 0 || !(b->item.status[h] & D2_TARGET) || dur(b, h, T) <= 0) continue;
      f->nb_part_cur = 0;
      f->min_resource_cur = INT32_MAX;
      f->max_resource_cur = INT32_MIN;
      for (int p = h; p >= 0; p = f->next_part[p]) {
        m.assign[f->nb_part_cur++] = p;
        f->min_resource_cur = std::min(f->min_resource_cur, est(b, p, A));
        f->max_resource_cur = std::max(f->max_resource_cur, lst(b, p, A));
      }
      f->nb_resource_cur = f->max_resource_cur - f->min_resource_cur + 1;
      for (int x = 0; x < f->nb_resource_cur; x++) m.hidden[x] = 0;
      if (f->nb_part_cur > f->nb_resource_cur || !synchronize_parts_of_a_task()) {
        result = 0;
        break;
      }
      int32_t date;
      if (make_events(h, true)) {
        if (!sweep(true, &date)) result = 0;
        else if (date > est(b, h, T)) result = prune_task(h, date, lst(b, h, T));
      }
      if (result && make_events(h, false)) {
        if (!sweep(false, &date)) result = 0;
        else if (date < lst(b, h, T)) result = prune_task(h, est(b, h, T), date);
      }
    }
    ORVALIS_API_STRUCT *api = r.api;
    QX_free(mem);
    return result;
  }
};

int wake_sweep_synchro(d2run &r, bool incremental) { return synchro(r).run(incremental); }

/* ---- the block and the state ---- */

void disjoint2_destructor(void *block)
{
  auto *b = (disjoint2_data *)block;
  release_synchro(b);
  fd_entry_destroy(block, b->refbase);
}

/* What a list ends in after at most the list bound of cells, their count in *n: [] for a proper
 * list, a variable for a partial one. */
TAGGED list_end(const worker *w, TAGGED list, uint32_t *n)
{
  uint32_t bound = fd_list_bound(w);
  *n = 0;
  for (list = deref(list); IsLst(list) && *n < bound; list = deref(LstTail(list))) ++*n;
  return list;
}

/* The length of a proper list, -1 for anything else (a partial or cyclic list included). */
int d2_length(const worker *w, TAGGED list)
{
  uint32_t n;
  return list_end(w, list, &n) == atom_nil ? (int)n : -1;
}

/* The culprit of a list that is not proper: its unbound end (an instantiation error), else the
 * list. */
TAGGED list_culprit(const worker *w, TAGGED list)
{
  uint32_t n;
  TAGGED end = list_end(w, list, &n);
  return IsVar(end) ? end : list;
}

/* Bad input: a type or domain error naming what was expected, a compound culprit by its name;
 * the native fails. */
void d2_error(ORVALIS_API_STRUCT *api, const char *expected, TAGGED culprit, bool domain)
{
  culprit = deref(culprit);
  if (IsLst(culprit)) culprit = atom_dot;
  if (IsStr(culprit) && !IsBox(culprit)) culprit = FunctorName(StrFunctor(culprit));
  if (IsVar(culprit))
    fd_instantiation_error(api, 1);
  else if (domain)
    fd_domain_error(api, expected, culprit, 1);
  else
    fd_type_error(api, expected, culprit, 1);
  fd_native_fail(api);
}

bool is_compound(TAGGED t, uint32_t min_arity)
{
  return IsStr(t) && !IsBox(t) && Arity(StrFunctor(t)) >= min_arity;
}

int small_in(TAGGED t, int32_t lo, int32_t hi)
{
  t = deref(t);
  return IsSmall(t) && GetSmall(t) >= lo && GetSmall(t) <= hi;
}

/* A variable entry's pair: a variable, or an integer within its attribute's domain, and a
 * well-formed attribute. */
bool var_entry(TAGGED x, TAGGED attr)
{
  x = deref(x);
  attr = deref(attr);
  if (!(IsVar(x) || IsSmall(x)) || !fd_well_formed_attribute(attr)) return false;
  return IsVar(x) || fd_member(x, deref(StrArg(fd_attr_dom(attr), 1)));
}

bool amount_ok(TAGGED t)
{
  t = deref(t);
  return (IsSmall(t) && GetSmall(t) >= 0) || t == atom_sup;
}

/* Checks the state of a first call: true, or false after raising an error. */
bool check_first(ORVALIS_API_STRUCT *api, const worker *w, TAGGED s)
{
  TAGGED n = deref(StrArg(s, 1)), opt = deref(StrArg(s, 2)), items = StrArg(s, 3);
  const char *bad = nullptr;
  TAGGED culprit = s;
  bool domain = false;
  if (!small_in(n, 0, 1 << 24)) {
    bad = "item_count", culprit = n, domain = IsSmall(n);
  } else if (d2_length(w, items) != GetSmall(n)) {
    bad = "item_list", culprit = list_culprit(w, items), domain = true;
  } else if (!is_compound(opt, 6) || !IsSmall(deref(StrArg(opt, 1)))) {
    bad = "disjoint2_options", culprit = opt;
  } else if (GetSmall(deref(StrArg(opt, 1))) & ~D2_DEFINED) {
    bad = "disjoint2_options", culprit = StrArg(opt, 1), domain = true;
  } else {
    int32_t bits = GetSmall(deref(StrArg(opt, 1)));
    for (int d = 0; d < 2 && !bad; d++) {
      if (!(bits & (d == 0 ? D2_WRAP0 : D2_WRAP1))) continue;
      TAGGED lb = deref(StrArg(opt, 2 + 2 * d)), rb = deref(StrArg(opt, 3 + 2 * d));
      if (!IsSmall(lb) || !IsSmall(rb) || GetSmall(lb) >= GetSmall(rb))
        bad = "wrap_borders", culprit = opt, domain = true;
    }
    TAGGED m = StrArg(opt, 6);
    if (!bad && (bits & D2_MARGIN) && d2_length(w, m) < 0) bad = "list", culprit = list_culprit(w, m);
    for (TAGGED l = deref(m); !bad && (bits & D2_MARGIN) && IsLst(l); l = deref(LstTail(l))) {
      TAGGED e = deref(LstHead(l));
      if (!is_compound(e, 4)) bad = "margin", culprit = e;
      for (int d = 0; d < 2 && !bad; d++) /* an amount: a non-negative integer or sup */
        if (!amount_ok(StrArg(e, 3 + d))) bad = "margin_amount", culprit = StrArg(e, 3 + d);
    }
  }
  for (TAGGED l = deref(items); !bad && IsLst(l); l = deref(LstTail(l))) {
    TAGGED it = deref(LstHead(l));
    bool ok = is_compound(it, 9);
    for (int k = 1; ok && k <= 7; k += 2) ok = var_entry(StrArg(it, k), StrArg(it, k + 1));
    if (!ok) bad = "disjoint2_item", culprit = it;
  }
  if (bad) {
    d2_error(api, bad, culprit, domain);
    return false;
  }
  /* as posted: every item a target, none only a source (fewer targets would leave items
   * unchecked, as if an earlier call had found them placed) */
  return fd_entry_first_count(api, StrArg(s, 4), GetSmall(n), "item_counts") &&
         fd_entry_first_count(api, StrArg(s, 5), 0, "item_counts");
}

int32_t margin_amount(TAGGED t)
{
  t = deref(t);
  return IsSmall(t) ? std::min(GetSmall(t), MARGIN_CAP) : MARGIN_CAP; /* sup: unbounded */
}

/* The block of a first call, made from the checked state in w->term[0]. */
disjoint2_data *make_block(fd_entry *en)
{
  worker *w = en->w;
  TAGGED s = deref(w->term[0]);
  TAGGED opt = deref(StrArg(s, 2));
  int32_t bits = GetSmall(deref(StrArg(opt, 1)));
  int n = GetSmall(deref(StrArg(s, 1)));
  int nm = bits & D2_MARGIN ? d2_length(w, StrArg(opt, 6)) : 0;
  int aligned = 0;
  if (bits & D2_MARGIN)
    for (aligned = 1; aligned < nm;) aligned <<= 1;
  size_t words = (size_t)n * 11 + (size_t)aligned + 5 * (size_t)nm;
  size_t bytes = sizeof(disjoint2_data) + 2 * (size_t)n * sizeof(dvar) + words * sizeof(int32_t);
  QX_globref refs;
  auto *b = (disjoint2_data *)fd_entry_block(en, bytes, disjoint2_destructor, nullptr, 8 * n, &refs);
  b->qxenv = en->api;
  b->refbase = refs;
  b->nitems = n;
  b->nshifted_items = n * (bits & D2_WRAP0 ? 3 : 1) * (bits & D2_WRAP1 ? 3 : 1);
  b->nmargs = nm;
  b->nmargs_aligned = aligned;
  b->flags = bits;
  b->dv[0] = (dvar *)(b + 1);
  b->dv[1] = b->dv[0] + n;
  int32_t *q = (int32_t *)(b->dv[1] + n);
  auto take = [&q](int k) {
    int32_t *r = q;
    q += k;
    return r;
  };
  b->target = take(n);
  b->margtab = take(aligned);
  for (int d = 0; d < 2; d++) {
    b->item.mindur[d] = take(n);
    b->item.maxdur[d] = take(n);
    b->item.minwit[d] = take(n);
    b->item.maxwit[d] = take(n);
  }
  b->item.type = take(n);
  b->item.status = take(n);
  b->margin.type1 = take(nm);
  b->margin.type2 = take(nm);
  b->margin.amount[0] = take(nm);
  b->margin.amount[1] = take(nm);
  b->margin.next = take(nm);
  s = deref(w->term[0]); /* fd_perm_alloc may have collected */
  opt = deref(StrArg(s, 2));
  for (int d = 0; d < 2; d++)
    if (bits & (d == 0 ? D2_WRAP0 : D2_WRAP1)) {
      b->lborder[d] = GetSmall(deref(StrArg(opt, 2 + 2 * d)));
      b->rborder[d] = GetSmall(deref(StrArg(opt, 3 + 2 * d)));
    }
  /* Types are compared by identity of their words: each becomes the index of its first
   * occurrence among the items' types and the margins' types, which no collection moves. */
  std::vector<TAGGED> seen;
  auto type_id = [&seen](TAGGED t) {
    t = deref(t);
    for (size_t k = 0; k < seen.size(); k++)
      if (seen[k] == t) return (int32_t)k;
    seen.push_back(t);
    return (int32_t)seen.size() - 1;
  };
  int i = 0;
  for (TAGGED l = deref(StrArg(s, 3)); IsLst(l); l = deref(LstTail(l)), i++) {
    TAGGED it = deref(LstHead(l));
    b->target[i] = i;
    for (int k = 0; k < 4; k++) {
      *ref(b, i, 2 * k) = deref(StrArg(it, 2 * k + 2));
      *ref(b, i, 2 * k + 1) = deref(StrArg(it, 2 * k + 1));
    }
    for (int d = 0; d < 2; d++) b->item.minwit[d][i] = b->item.maxwit[d][i] = 1;
    b->item.type[i] = type_id(StrArg(it, 9));
    b->item.status[i] = D2_SAVED_SOURCE | D2_SAVED_TARGET;
    init_origin(b, i, 0);
    init_origin(b, i, 1);
    load_lengths(b, i);
  }
  for (int k = 0; k < aligned; k++) b->margtab[k] = -1;
  int e = 0;
  for (TAGGED l = bits & D2_MARGIN ? deref(StrArg(opt, 6)) : atom_nil; IsLst(l);
       l = deref(LstTail(l)), e++) {
    TAGGED m = deref(LstHead(l));
    b->margin.type1[e] = type_id(StrArg(m, 1));
    b->margin.type2[e] = type_id(StrArg(m, 2));
    for (int d = 0; d < 2; d++) {
      b->margin.amount[d][e] = margin_amount(StrArg(m, 3 + d));
      b->maxmargin[d] = std::max(b->maxmargin[d], b->margin.amount[d][e]);
    }
    int chain = (b->margin.type1[e] ^ b->margin.type2[e]) & (aligned - 1);
    b->margin.next[e] = b->margtab[chain];
    b->margtab[chain] = e;
  }
  return b;
}

}  // namespace

void fd_disjoint2_window_energies(int n, const int64_t *est, const int64_t *lct, const int64_t *dur,
                                  const int32_t *weight, int64_t fixed, int rising, int64_t *energy)
{
  std::vector<ef_entry> ent((size_t)n);
  std::vector<int32_t> live((size_t)n);
  for (int q = 0; q < n; q++) {
    ent[q] = ef_entry{est[q], lct[q], dur[q], rising ? est[q] : -lct[q], 0, 0, weight[q], 0, q};
    energy[q] = -1;
  }
  const bool sorted = true;
  /* with no capacity, the free area of every window is -E */
  auto note = [energy](int q, int64_t, int64_t, int64_t slack) {
    energy[q] = -slack;
    return 0;
  };
  if (rising)
    ef_windows<true>(ent.data(), n, live.data(), fixed, sorted, 0, INT64_MAX, note);
  else
    ef_windows<false>(ent.data(), n, live.data(), fixed, sorted, 0, INT64_MAX, note);
}

void prolog_fd_disjoint2_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0,
                                        QX_term_ref state, QX_term_ref actions)
{
  fd_entry e;
  if (!fd_entry_begin(&e, api, state0, 7, true)) return;
  worker *w = e.w;
  bool first = IsVar(e.handle);
  if (first && !check_first(api, w, deref(w->term[0]))) return;
  disjoint2_data *b = nullptr;
  if (first) {
    if (GetSmall(deref(StrArg(deref(w->term[0]), 1))) > 0) {
      b = make_block(&e);
      b->stamp = e.stamp - 1;
      StrPtr(deref(w->term[0]))[3] = atom_nil;
    }
  } else if (IsVar(deref(LstHead(e.handle)))) {
    b = (disjoint2_data *)fd_perm_data(e.handle);
  }
  int outcome = 1;
  if (b) {
    TAGGED s = deref(w->term[0]);
    TAGGED nt = deref(StrArg(s, 4)), ns = deref(StrArg(s, 5));
    if (!small_in(nt, 0, b->nitems) || !small_in(ns, 0, b->nitems - GetSmall(nt))) {
      d2_error(api, "item_counts", small_in(nt, 0, b->nitems) ? ns : nt, true);
      return;
    }
    b->ntargets = GetSmall(nt);
    b->nsources = GetSmall(ns);
    fd_state(api)->gdata = b;
    outcome = run_call(api, w, b, e.stamp, e.committed, first);
    s = deref(w->term[0]);
    StrPtr(s)[4] = MakeSmall(b->ntargets);
    StrPtr(s)[5] = MakeSmall(b->nsources);
  }
  fd_entry_end(&e, state, actions, outcome);
}
