/* Selection and table constraints: element/3, minimum/2 and maximum/2, relation/3. */
/* element/3: Y is the X-th element (from 1) of a list of n variables or integers. Every call
 * recomputes from the current domains: X keeps the indexes whose element meets Y, Y keeps the
 * hull of those elements. The state term is element(X, Y, List, N, Flag, Handle, Stamp) with X
 * and Y variable entries, List of entries or integers (Flag nonzero: integers only). */
#include <algorithm>
#include <cassert>
#include <cstring>
#include <initializer_list>

#include "fd_bounds.h"
#include "fd_globals.h"
#include "fd_propagate.h"
#include "fd_qsort.h"
#include "fd_sets.h"

namespace {

constexpr int CODE_ELEMENT = 7; /* queue 3, at the back */
constexpr int ELEMENT_ARITY = 7;

struct element_data;

/* The daemon's handle on one element: the kernel passes it back to the daemon. */
struct element_frame {
  daemon_frame frame; /* element_daemon */
  element_data *block;
  int index; /* 1..n */
};

struct element_data {
  daemon_frame frame; /* element_destructor */
  ORVALIS_API_STRUCT *qxenv;
  QX_globref refbase; /* pairs (attribute, variable): X, Y, then the variable elements */
  int nrefs;
  int n;
  dvar *dv;              /* n + 2: X, Y, the elements */
  element_frame *frames; /* n */
};

void element_destructor(void *block)
{
  auto *b = (element_data *)block;
  fd_entry_destroy(b, b->refbase);
}

/* A change of element i matters only while X can still select it. */
int element_daemon(ORVALIS_API_STRUCT *api, worker *w, void *frame, TAGGED *, TAGGED global)
{
  auto *f = (element_frame *)frame;
  element_data *b = f->block;
  dvar_init(&b->dv[0], &b->refbase[0].term, &b->refbase[1].term);
  if (dvar_contains_value_t(&b->dv[0], MakeSmall(f->index)))
    fd_enqueue_global(api, w, global, CODE_ELEMENT);
  return 1;
}

/* The state's shape, checked before a block keeps any of it: false after raising an error. */
bool element_valid(ORVALIS_API_STRUCT *api, worker *w, TAGGED s, int *n, bool *integers)
{
  TAGGED list = deref(StrArg(s, 3)), count = deref(StrArg(s, 4)), flag = deref(StrArg(s, 5));
  QX_globref_ scratch[2];
  if (!fd_entry_refs(StrArg(s, 1), scratch))
    return fd_entry_error(api, "fd_variable", StrArg(s, 1), 1), false;
  if (!fd_entry_refs(StrArg(s, 2), scratch))
    return fd_entry_error(api, "fd_variable", StrArg(s, 2), 2), false;
  if (!IsSmall(count)) return fd_entry_error(api, "integer", count, 4), false;
  if (!IsSmall(flag)) return fd_entry_error(api, "integer", flag, 5), false;
  *n = GetSmall(count);
  *integers = flag != MakeSmall(0);
  if (fd_entry_length(w, list) != *n)
    return fd_entry_error(api, "list_length", fd_entry_length(w, list) < 0 ? list : count, 3, true),
           false;
  for (TAGGED l = list; IsLst(l); l = deref(LstTail(l))) {
    TAGGED e = deref(LstHead(l));
    if (IsSmall(e)) continue;
    if (*integers || !fd_entry_refs(e, scratch))
      return fd_entry_error(api, *integers ? "integer" : "fd_variable", e, 3), false;
  }
  return true;
}

/* The block of a first call: the views of the elements, and a daemon on each variable element. */
element_data *element_block(fd_entry *e, int n, bool integers)
{
  ORVALIS_API_STRUCT *api = e->api;
  worker *w = e->w;
  size_t bytes = sizeof(element_data) + (n + 2) * sizeof(dvar) + n * sizeof(element_frame);
  int nrefs = integers ? 4 : 2 * n + 4;
  QX_globref refs;
  auto *b = (element_data *)fd_entry_block(e, bytes, element_destructor, nullptr, nrefs, &refs);
  b->qxenv = api;
  b->refbase = refs;
  b->nrefs = nrefs;
  b->n = n;
  b->dv = (dvar *)(b + 1);
  b->frames = (element_frame *)(b->dv + n + 2);
  TAGGED s = deref(w->term[0]);
  fd_entry_refs(StrArg(s, 1), &refs[0]);
  fd_entry_refs(StrArg(s, 2), &refs[2]);
  int i = 1;
  for (TAGGED l = deref(StrArg(s, 3)); IsLst(l); l = deref(LstTail(l)), i++) {
    TAGGED x = deref(LstHead(l));
    b->frames[i - 1] = {{nullptr, element_daemon}, b, i};
    if (IsSmall(x))
      dvar_init_temp(&b->dv[1 + i], x, x);
    else if (fd_entry_refs(x, &refs[2 * i + 2]))
      dvar_init(&b->dv[1 + i], &refs[2 * i + 2].term, &refs[2 * i + 3].term);
  }
  TAGGED key = fd_state(api)->functor_dom;
  for (i = 1; i <= n && !integers; i++)
    if (b->dv[1 + i].attr_ref)
      dvar_attach_daemon(api, w, &b->dv[1 + i], &b->frames[i - 1], deref(w->term[1]), key);
  return b;
}

/* Steps 4 to 8 on a block: the outcome. */
int element_run(ORVALIS_API_STRUCT *api, worker *w, element_data *b)
{
  dvar *x = &b->dv[0], *y = &b->dv[1];
  dvar_init(x, &b->refbase[0].term, &b->refbase[1].term);
  dvar_init(y, &b->refbase[2].term, &b->refbase[3].term);
  /* Indexes outside 1..n select nothing. */
  if (dvar_fix_interval_t(x, MakeSmall(1), MakeSmall(b->n)) < 0) return -1;
  TAGGED ys = dvar_set(api, y, w), lo = atom_sup, hi = atom_inf;
  FDCONS gone;
  fdcons_init(&gone);
  DVITER it;
  dviter_init(&it, x);
  while (!dviter_empty(&it)) {
    TAGGED i = dviter_next_value_t(&it);
    dvar *el = &b->dv[1 + GetSmall(i)];
    if (el->attr_ref) dvar_init(el, el->attr_ref, el->var_ref);
    if (dvar_compare_set(api, el, ys, w) == 4) {
      fdcons_add(api, &gone, w, i);
    } else {
      lo = fd_safe_min(lo, el->min);
      hi = fd_safe_max(hi, el->max);
    }
  }
  if (dvar_prune_set(api, x, gone.head, w) < 0 || dvar_fix_interval_t(y, lo, hi) < 0) return -1;
  dvar_pruning_done(api, w, x);
  dvar_pruning_done(api, w, y);
  for (dvar *v : {x, y})
    if (v->flags & (DV_SET_TOLD | DV_MIN_RAISED | DV_MAX_LOWERED)) dvar_export_do(api, w, v);
  if (lo == hi) return 1;
  if (!(x->flags & DV_FIXED)) return 0;
  dvar_export_equal(api, w, y, &b->dv[1 + GetSmall(x->min)]);
  return 1;
}

}  // namespace

void prolog_fd_element_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0,
                                      QX_term_ref state, QX_term_ref actions)
{
  fd_entry e;
  if (!fd_entry_begin(&e, api, state0, ELEMENT_ARITY, false)) return;
  element_data *b;
  if (IsVar(e.handle)) {
    int n;
    bool integers;
    if (!element_valid(api, e.w, deref(e.w->term[0]), &n, &integers)) return;
    if (n == 0) return fd_entry_end(&e, state, actions, -1);
    b = element_block(&e, n, integers);
  } else {
    b = (element_data *)fd_perm_data(e.handle);
  }
  fd_state(api)->gdata = b;
  fd_entry_end(&e, state, actions, element_run(api, e.w, b));
}

/* ---- minimum/2 and maximum/2 ----
 *
 * Y is the smallest (largest) of a list of variables. The block keeps the candidates, the
 * elements that can still be the extreme, as a prefix of `target` whose length Count the state
 * carries: a call permutes only within its own prefix, so a state restored by backtracking still
 * finds its candidates there. One candidate left: Y = that candidate is posted.
 *
 * State: minmax(Y, List, Count, Direction, Handle, Stamp); List becomes [] once the block holds
 * the variables; Direction 0 is minimum.
 */

namespace {

constexpr int CODE_MINMAX = 5; /* queue 2, at the back */

struct minmax_data;
struct minmax_frame {
  daemon_frame frame;
  minmax_data *block;
  int index; /* 1..n */
};

struct minmax_data {
  daemon_frame frame;
  ORVALIS_API_STRUCT *qxenv;
  QX_globref refbase; /* pairs: Y, then the elements */
  int nrefs, n;
  int *target;
  dvar *dv; /* Y, then the elements */
  minmax_frame *frames;
};

void minmax_destructor(void *block) { fd_entry_destroy(block, ((minmax_data *)block)->refbase); }

/* A change of an element wakes the constraint while it is a candidate. */
int minmax_daemon(ORVALIS_API_STRUCT *api, worker *w, void *frame, TAGGED *, TAGGED global)
{
  auto *f = (minmax_frame *)frame;
  minmax_data *b = f->block;
  TAGGED count = deref(StrArg(fd_mutable_value(StrArg(deref(global), FD_GLOBAL_STATE)), 3));
  if (!IsSmall(count)) return 0;
  for (int k = 0; k < GetSmall(count) && k < b->n; k++)
    if (b->target[k] == f->index) {
      fd_enqueue_global(api, w, global, CODE_MINMAX);
      return 1;
    }
  return 0;
}

inline int32_t lo(const dvar *d) { return fds_val(d->min); }
inline int32_t hi(const dvar *d) { return fds_val(d->max); }

/* A run over the first count candidates: the outcome. */
int minmax_run(ORVALIS_API_STRUCT *api, worker *w, minmax_data *b, int count, bool maximum)
{
  for (int k = 0; k <= count; k++) {
    int i = k == 0 ? 0 : b->target[k - 1];
    dvar_init(&b->dv[i], &b->refbase[2 * i].term, &b->refbase[2 * i + 1].term);
  }
  dvar *y = &b->dv[0];
  int32_t ymin = lo(y), ymax = hi(y);
  /* minimum: every candidate at least Ymin; Y within the least minimum .. the least maximum */
  int32_t emin = maximum ? FDS_INF : FDS_SUP, emax = emin;
  for (int k = 0; k < count; k++) {
    dvar *d = &b->dv[b->target[k]];
    int r = maximum ? dvar_fix_interval_t(d, atom_inf, y->max) : dvar_fix_interval_t(d, y->min, atom_sup);
    if (r < 0) return -1;
    emin = maximum ? std::max(emin, lo(d)) : std::min(emin, lo(d));
    emax = maximum ? std::max(emax, hi(d)) : std::min(emax, hi(d));
  }
  if (dvar_fix_interval_t(y, fds_bound(emin), fds_bound(emax)) < 0) return -1;
  for (int pass = 0; pass < 2; pass++)
    for (int k = 0; k <= count; k++) {
      dvar *d = &b->dv[k == 0 ? 0 : b->target[k - 1]];
      if (d->flags & (DV_SET_TOLD | DV_MIN_RAISED | DV_MAX_LOWERED))
        pass == 0 ? dvar_pruning_done(api, w, d) : dvar_export_do(api, w, d);
    }
  /* a candidate that can no longer be the extreme leaves the prefix */
  int front = 0, back = count;
  while (front < back) {
    const dvar *d = &b->dv[b->target[front]];
    if (maximum ? hi(d) < ymin : lo(d) > ymax)
      std::swap(b->target[front], b->target[--back]);
    else
      front++;
  }
  StrPtr(deref(w->term[0]))[3] = MakeSmall(front);
  if (front != 1) return 0;
  dvar_export_equal(api, w, y, &b->dv[b->target[0]]);
  return 1;
}

/* A first call: the block, or null with outcome -1 (an empty list) or -2 (an error raised). */
minmax_data *minmax_first_call(fd_entry *e, int *outcome)
{
  ORVALIS_API_STRUCT *api = e->api;
  TAGGED s = deref(e->w->term[0]);
  QX_globref_ probe[2];
  int n = 0;
  uint32_t bound = fd_list_bound(e->w);
  TAGGED l = deref(StrArg(s, 2));
  bool ok = fd_entry_refs(StrArg(s, 1), probe);
  for (; ok && IsLst(l) && (uint32_t)n < bound; l = deref(LstTail(l)), n++) ok = fd_entry_refs(LstHead(l), probe);
  if (!ok || l != atom_nil) {
    fd_domain_error(api, "minmax_state", fd_error_culprit(s), 1);
    *outcome = -2;
    return nullptr;
  }
  /* every element is a candidate until a call drops one; none: no extreme exists */
  if (!fd_entry_first_count(api, StrArg(s, 3), n, "candidate_count")) {
    *outcome = -2;
    return nullptr;
  }
  if (n == 0) {
    *outcome = -1;
    return nullptr;
  }
  QX_globref refs;
  size_t bytes = sizeof(minmax_data) + (size_t)(n + 1) * sizeof(dvar) + n * (sizeof(int) + sizeof(minmax_frame));
  auto *b = (minmax_data *)fd_entry_block(e, bytes, minmax_destructor, nullptr, 2 * (n + 1), &refs);
  b->qxenv = api;
  b->refbase = refs;
  b->nrefs = 2 * (n + 1), b->n = n;
  b->dv = (dvar *)(b + 1);
  b->frames = (minmax_frame *)(b->dv + n + 1);
  b->target = (int *)(b->frames + n);
  s = deref(e->w->term[0]);
  fd_entry_refs(StrArg(s, 1), refs);
  int i = 1;
  for (l = deref(StrArg(s, 2)); IsLst(l); l = deref(LstTail(l)), i++) {
    fd_entry_refs(LstHead(l), &refs[2 * i]);
    b->target[i - 1] = i;
    b->frames[i - 1] = {{nullptr, minmax_daemon}, b, i};
  }
  for (i = 1; i <= n; i++) {
    dvar_init(&b->dv[i], &refs[2 * i].term, &refs[2 * i + 1].term);
    dvar_attach_daemon(api, e->w, &b->dv[i], &b->frames[i - 1], deref(e->w->term[1]),
                       fd_state(api)->functor_minmax);
  }
  StrPtr(deref(e->w->term[0]))[2] = atom_nil;
  return b;
}

}  // namespace

void prolog_fd_minmax_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0, QX_term_ref state,
                                     QX_term_ref actions)
{
  fd_entry e;
  if (!fd_entry_begin(&e, api, state0, 6, true)) return;
  TAGGED count = deref(StrArg(deref(e.w->term[0]), 3));
  bool maximum = deref(StrArg(deref(e.w->term[0]), 4)) != MakeSmall(0);
  int outcome = -1;
  minmax_data *b = nullptr;
  if (!IsSmall(count) || GetSmall(count) < 0) {
    fd_domain_error(api, "candidate_count", fd_error_culprit(count), 1);
    outcome = -2;
  } else if (IsVar(e.handle)) {
    b = minmax_first_call(&e, &outcome);
  } else if (count == MakeSmall(0)) {
    outcome = -1;
  } else if (IsVar(deref(LstHead(e.handle)))) {
    b = (minmax_data *)fd_perm_data(e.handle);
  } else {
    outcome = 1;
  }
  if (b && GetSmall(count) > b->n) {
    fd_domain_error(api, "candidate_count", fd_error_culprit(count), 1);
    outcome = -2;
  } else if (b) {
    fd_state(api)->gdata = b;
    outcome = minmax_run(api, e.w, b, GetSmall(count), maximum);
  }
  if (outcome == -2) {
    fd_native_fail(api);
    return;
  }
  fd_entry_end(&e, state, actions, outcome);
}

/* ---- relation/3 ----
 *
 * Pairs (X, Y) of variables related by one map from X intervals to Y sets. Per tuple the block
 * keeps, in two mutables of the state, the domains it last propagated; the daemon chains the
 * tuples whose variables changed, and the entry scans only those, fully or from the values
 * removed since (a monotone map, or Y sets pairwise disjoint, allow the latter). A block made in
 * this call scans as if every value had been removed since.
 *
 * State: relation(Map, Options, Tuples, Live, Handle, Stamp), read in place: Map, Options and
 * Tuples become [] and Live is lowered there, which is safe because the daemon copies a state
 * older than the newest choicepoint before it chains the first tuple after a call. Options: 1
 * bounds only, 2 Y pruned from the removed X values (mode B).
 */
int fd_relation_incremental = 1;
uint64_t fd_relation_delta_scans = 0;

namespace {

constexpr int REL_BOUNDS = 1, REL_DELTA = 2, REL_MONOTONE = 4;
constexpr int CODE_RELATION = 7;

struct relation_data;
struct relation_frame {
  daemon_frame frame;
  relation_data *block;
};

struct map_entry {
  TAGGED min, max, ymin, ymax; /* the X interval, the ends of its Y set */
  int value;                   /* the reference of its Y set */
};

struct relation_data {
  daemon_frame frame;
  ORVALIS_API_STRUCT *qxenv;
  int32_t stamp;
  int first;
  int *next;
  dvar *dvbase;       /* X, Y per tuple */
  QX_globref refbase; /* per tuple X attribute, variable, mutable, Y attribute, variable,
                         mutable; then the Y set of each map element */
  int ntuples, xy_n, xy_r, opt;
  bool fresh; /* made in this call: every value counts as removed */
  map_entry *map;
  relation_frame *frames; /* X, Y per tuple */
};

void relation_destructor(void *block)
{
  fd_entry_destroy(block, ((relation_data *)block)->refbase);
}

inline TAGGED *rref(const relation_data *b, int t, int k) { return &b->refbase[6 * t + k].term; }
inline TAGGED yset(const relation_data *b, const map_entry &e) { return deref(b->refbase[e.value].term); }
inline bool below(TAGGED a, TAGGED b) { return fds_val(a) < fds_val(b); }

/* The writes of an entry into its state, read in place: the state is younger than the newest
 * choicepoint (the daemon copied it before chaining, or it was posted since). */
void relation_write(worker *w, int k, TAGGED value)
{
  TAGGED s = deref(w->term[0]);
  assert(StrPtr(s) >= w->global_uncond);
  StrPtr(s)[k] = value;
}

/* Whether a tuple is decided by fixed ends: one of them, or both when only bounds are pruned
 * (a hole of the support inside the other's range is left there). */
inline bool relation_decided(const relation_data *b, bool x_fixed, bool y_fixed)
{
  return b->opt & REL_BOUNDS ? x_fixed && y_fixed : x_fixed || y_fixed;
}

int relation_daemon(ORVALIS_API_STRUCT *api, worker *w, void *frame, TAGGED *, TAGGED global)
{
  auto *f = (relation_frame *)frame;
  relation_data *b = f->block;
  int t = (int)(f - b->frames) / 2;
  if (relation_decided(b, fd_singleton(fd_mutable_value(*rref(b, t, 2))),
                       fd_singleton(fd_mutable_value(*rref(b, t, 5)))))
    return 0;
  TAGGED state = fd_mutable_value(StrArg(deref(global), FD_GLOBAL_STATE));
  int32_t stamp = GetSmall(deref(StrArg(state, 6)));
  if (stamp != b->stamp) {
    for (int q = b->first; q >= 0;) {
      int after = b->next[q];
      b->next[q] = -2;
      q = after;
    }
    b->first = -1;
    b->stamp = stamp;
  }
  if (b->first < 0) {
    fd_daemon_copy_state(api, w, &global);
    b->stamp++;
    fd_enqueue_global(api, w, global, CODE_RELATION);
  }
  if (b->next[t] == -2) b->next[t] = b->first, b->first = t;
  return 1;
}

/* The first entry whose X interval reaches v (entries ascend in min and in max). */
int first_reaching(const relation_data *b, TAGGED v)
{
  int lo = 0, hi = b->xy_r;
  while (lo < hi) {
    int mid = lo + (hi - lo) / 2;
    if (below(b->map[mid].max, v))
      lo = mid + 1;
    else
      hi = mid;
  }
  return lo;
}

/* Calls f(e) for every entry whose X interval meets the set s. */
template <typename F>
void each_meeting(const relation_data *b, TAGGED s, F f)
{
  if (s == atom_nil) return;
  for (int k = first_reaching(b, fd_min(s)); k < b->xy_r && !below(fd_max(s), b->map[k].min); k++)
    if (fd_compare_interval(s, b->map[k].min, b->map[k].max) != 4 && !f(b->map[k])) return;
}

/* What one tuple's scan removes. */
struct prunes {
  TAGGED px = atom_nil, py = atom_nil;
};

/* The full scan (modes G and A1): with Y unchanged only Y loses values. */
prunes full_scan(ORVALIS_API_STRUCT *api, worker *w, const relation_data *b, TAGGED xs, TAGGED ys,
                 bool dy_empty)
{
  prunes p{xs, ys};
  each_meeting(b, xs, [&](const map_entry &e) {
    TAGGED set = yset(b, e);
    if (dy_empty) {
      p.py = fd_subtract(api, w, p.py, set);
      return p.py != atom_nil;
    }
    if (fd_compare(set, ys) != 4) {
      p.px = fd_subtract_interval(api, w, p.px, e.min, e.max);
      p.py = fd_subtract(api, w, p.py, set);
    }
    return true;
  });
  if (dy_empty) p.px = atom_nil;
  return p;
}

/* The Y sets of the entries that met the removed X values delta and meet X no more. */
TAGGED scan_delta(ORVALIS_API_STRUCT *api, worker *w, const relation_data *b, TAGGED delta, TAGGED xs)
{
  TAGGED py = atom_nil;
  each_meeting(b, delta, [&](const map_entry &e) {
    if (xs == atom_nil || fd_compare_interval(xs, e.min, e.max) == 4) py = fd_union(api, w, py, yset(b, e));
    return true;
  });
  return py;
}

/* The monotone incremental scan (A2). */
prunes monotone_delta(ORVALIS_API_STRUCT *api, worker *w, const relation_data *b, TAGGED dx,
                      TAGGED xs, TAGGED dy, TAGGED ys)
{
  prunes p;
  p.py = scan_delta(api, w, b, dx, xs);
  if (dy != atom_nil)
    for (int k = 0; k < b->xy_r; k++) {
      const map_entry &e = b->map[k];
      if (fd_compare_interval(dy, e.ymin, e.ymax) != 4 && fd_compare_interval(ys, e.ymin, e.ymax) == 4)
        p.px = fd_union_interval(api, w, p.px, e.min, e.max);
    }
  return p;
}

/* The bounds scan (D). */
prunes bounds_scan(ORVALIS_API_STRUCT *api, worker *w, const relation_data *b, const dvar *x,
                   const dvar *y, bool dy_empty)
{
  prunes p{fd_interval(api, w, x->min, x->max), atom_nil};
  TAGGED hmin = atom_sup, hmax = atom_inf;
  TAGGED range = fd_interval(api, w, x->min, x->max);
  each_meeting(b, range, [&](const map_entry &e) {
    if (!dy_empty) {
      if (fd_compare_interval(yset(b, e), y->min, y->max) == 4) return true;
      p.px = fd_subtract_interval(api, w, p.px, e.min, e.max);
    }
    if (below(e.ymin, hmin)) hmin = e.ymin;
    if (below(hmax, e.ymax)) hmax = e.ymax;
    return !dy_empty || below(y->min, hmin) || below(hmax, y->max);
  });
  p.py = below(hmax, hmin) ? fd_interval(api, w, atom_inf, atom_sup) : fd_compl_interval(api, w, hmin, hmax);
  if (dy_empty) p.px = atom_nil;
  return p;
}

/* Removes s from d: the values, or with bounds only the ends past what remains. */
int remove(ORVALIS_API_STRUCT *api, worker *w, dvar *d, TAGGED s, bool bounds)
{
  if (s == atom_nil) return 0;
  if (!bounds) return dvar_prune_set(api, d, s, w);
  TAGGED left = fd_subtract(api, w, dvar_set(api, d, w), s);
  return left == atom_nil ? -1 : dvar_fix_interval_t(d, fd_min(left), fd_max(left));
}

/* Tuple t: -1 failure, else 0. */
int relation_tuple(ORVALIS_API_STRUCT *api, worker *w, relation_data *b, int t)
{
  dvar *x = &b->dvbase[2 * t], *y = x + 1;
  dvar_init(x, rref(b, t, 0), rref(b, t, 1));
  dvar_init(y, rref(b, t, 3), rref(b, t, 4));
  TAGGED xs = dvar_set(api, x, w), ys = dvar_set(api, y, w);
  TAGGED dx = xs, dy = ys; /* a block made now: everything counts as removed */
  if (!b->fresh) {
    dx = fd_subtract(api, w, fd_mutable_value(*rref(b, t, 2)), xs);
    dy = fd_subtract(api, w, fd_mutable_value(*rref(b, t, 5)), ys);
  }
  int64_t nx = dvar_value_count(x), ndx = fd_size(dx), ndy = fd_size(dy);
  bool dy_empty = dy == atom_nil, bounds = b->opt & REL_BOUNDS;
  prunes p;
  /* bounds only: holes without support stay inside the ranges, and a bound that moves onto one
   * finds no removed Y value to tell it; the scan checks the supports against Y every time, and
   * again while a bound moves (the hull of a Y set may hold Y's new bound without support) */
  if (bounds) {
    for (int mx = 1, my = 1; mx > 0 || my > 0;) {
      p = bounds_scan(api, w, b, x, y, false);
      if ((mx = remove(api, w, x, p.px, true)) < 0 || (my = remove(api, w, y, p.py, true)) < 0) return -1;
    }
    p = prunes{};
  } else if (!fd_relation_incremental || b->fresh) {
    p = full_scan(api, w, b, xs, ys, dy_empty);
  } else if ((b->opt & REL_MONOTONE) && ndx + ndy < nx) {
    fd_relation_delta_scans++;
    p = monotone_delta(api, w, b, dx, xs, dy, ys);
  } else if (!(b->opt & REL_MONOTONE) && (b->opt & REL_DELTA) && dy_empty && ndx < nx) {
    fd_relation_delta_scans++;
    p.py = scan_delta(api, w, b, dx, xs);
  } else {
    p = full_scan(api, w, b, xs, ys, dy_empty);
  }
  if (remove(api, w, x, p.px, bounds) < 0 || remove(api, w, y, p.py, bounds) < 0) return -1;
  dvar_pruning_done(api, w, x);
  dvar_pruning_done(api, w, y);
  if (relation_decided(b, x->flags & DV_FIXED, y->flags & DV_FIXED))
    relation_write(w, 4, MakeSmall(GetSmall(deref(StrArg(deref(w->term[0]), 4))) - 1));
  else if (b->fresh)
    for (int k = 0; k < 2; k++)
      dvar_attach_daemon(api, w, x + k, &b->frames[2 * t + k], deref(w->term[1]), fd_state(api)->functor_dom);
  return 0;
}

/* Exports the chained tuples and records their domains in their mutables. */
void relation_record(ORVALIS_API_STRUCT *api, worker *w, relation_data *b)
{
  /* the domains into temporary storage before the first export or record may collect */
  auto *sets = (TAGGED *)fd_temp_alloc(api, w, sizeof(TAGGED) * 2 * (size_t)b->ntuples);
  for (int t = b->first; t >= 0; t = b->next[t])
    for (int k = 0; k < 2; k++) sets[2 * t + k] = fd_localize(api, w, dvar_set(api, &b->dvbase[2 * t + k], w));
  for (int t = b->first; t >= 0; t = b->next[t])
    for (int k = 0; k < 2; k++) {
      dvar *d = &b->dvbase[2 * t + k];
      if (d->flags & (DV_SET_TOLD | DV_MIN_RAISED | DV_MAX_LOWERED)) dvar_export_do(api, w, d);
      /* the mutable is read after the copy, which may collect */
      TAGGED set = fd_globalize(api, w, sets[2 * t + k], 8, FD_LIVE);
      fd_update_mutable(api, w, set, deref(*rref(b, t, 2 + 3 * k)));
    }
}

int relation_run(ORVALIS_API_STRUCT *api, worker *w, relation_data *b)
{
  for (int t = b->first; t >= 0; t = b->next[t])
    if (relation_tuple(api, w, b, t) < 0) return -1;
  relation_record(api, w, b);
  for (int t = b->first; t >= 0;) {
    int after = b->next[t];
    b->next[t] = -2;
    t = after;
  }
  b->first = -1;
  b->fresh = false;
  return deref(StrArg(deref(w->term[0]), 4)) == MakeSmall(0) ? 1 : 0;
}

/* ---- the first call ---- */

bool is_bound_word(TAGGED t) { return IsSmall(t) || t == atom_inf || t == atom_sup; }

/* The shape of a first call's state: counts, or ntuples -1 after raising an error. */
struct relation_shape {
  int ntuples = -1, xy_n = 0, xy_r = 0;
};

relation_shape relation_check(ORVALIS_API_STRUCT *api, worker *w, TAGGED s)
{
  relation_shape sh;
  auto fail = [&](const char *what, TAGGED culprit) {
    fd_domain_error(api, what, fd_error_culprit(culprit), 1);
    sh.ntuples = -1;
    return sh;
  };
  uint32_t bound = fd_list_bound(w);
  TAGGED l = deref(StrArg(s, 1));
  for (; IsLst(l) && (uint32_t)sh.xy_n < bound; l = deref(LstTail(l)), sh.xy_n++) {
    TAGGED e = deref(LstHead(l));
    int32_t count;
    bool refs;
    if (!IsStr(e) || IsBox(e) || Arity(StrFunctor(e)) < 2 || !fds_check(deref(StrArg(e, 2)), &count, &refs))
      return fail("relation_map", e);
    TAGGED iv = deref(StrArg(e, 1));
    for (; IsLst(iv); iv = deref(LstTail(iv)), sh.xy_r++) {
      TAGGED pair = deref(LstHead(iv));
      if (!IsLst(pair) || !is_bound_word(deref(LstHead(pair))) || !is_bound_word(deref(LstTail(pair))) ||
          below(deref(LstTail(pair)), deref(LstHead(pair))))
        return fail("relation_map", e);
    }
    if (iv != atom_nil) return fail("relation_map", e);
  }
  if (l != atom_nil) return fail("relation_map", l);
  if (!fd_small_in(StrArg(s, 2), 0, REL_BOUNDS | REL_DELTA))
    return fail("relation_options", StrArg(s, 2));
  int n = 0;
  for (l = deref(StrArg(s, 3)); IsLst(l) && (uint32_t)n < bound; l = deref(LstTail(l)), n++) {
    TAGGED e = deref(LstHead(l));
    if (!IsStr(e) || IsBox(e) || Arity(StrFunctor(e)) < 6) return fail("relation_tuple", e);
    for (int k : {0, 3}) {
      TAGGED v = deref(StrArg(e, k + 1)), m = deref(StrArg(e, k + 3));
      if (!(IsVar(v) || IsSmall(v)) || !fd_well_formed_attribute(deref(StrArg(e, k + 2))) ||
          !IsStr(m) || IsBox(m) || StrFunctor(m) != functor_mutable2)
        return fail("relation_tuple", e);
    }
  }
  if (l != atom_nil) return fail("relation_tuples", l);
  /* no tuple is decided before the first call */
  if (!fd_entry_first_count(api, StrArg(s, 4), n, "relation_live")) return sh;
  sh.ntuples = n;
  return sh;
}

/* The map entries from the state (Y sets into their references first); false after raising an
 * error when two X intervals overlap. */
bool read_map(ORVALIS_API_STRUCT *api, worker *w, relation_data *b)
{
  QX_term_ref ref = QX_new_term_ref();
  for (int m = 0; m < b->xy_n; m++) {
    TAGGED l = deref(StrArg(deref(w->term[0]), 1));
    for (int k = 0; k < m; k++) l = deref(LstTail(l));
    fd_ref_put(api, ref, deref(StrArg(deref(LstHead(l)), 2)));
    /* into temporary storage first: making heap room may move the state's copy */
    TAGGED set = fd_localize(api, w, fds_import_set(api, w, ref));
    b->refbase[6 * b->ntuples + m].term = fd_globalize(api, w, set, 0, FD_LIVE);
  }
  QX_reset_term_refs(ref);
  int r = 0, m = 0;
  for (TAGGED l = deref(StrArg(deref(w->term[0]), 1)); IsLst(l); l = deref(LstTail(l)), m++) {
    TAGGED set = deref(b->refbase[6 * b->ntuples + m].term);
    for (TAGGED iv = deref(StrArg(deref(LstHead(l)), 1)); IsLst(iv); iv = deref(LstTail(iv)), r++) {
      TAGGED pair = deref(LstHead(iv));
      bool empty = set == atom_nil;
      b->map[r] = {deref(LstHead(pair)), deref(LstTail(pair)), empty ? atom_sup : fd_min(set),
                   empty ? atom_inf : fd_max(set), 6 * b->ntuples + m};
    }
  }
  fd_qsort(api, b->map, (size_t)b->xy_r, [](const map_entry *a, const map_entry *c) {
    return below(a->min, c->min) ? -1 : below(c->min, a->min);
  });
  bool monotone = true, disjoint = true;
  for (int k = 0; k < b->xy_r; k++) {
    const map_entry &e = b->map[k];
    if (k > 0 && !below(b->map[k - 1].max, e.min)) {
      fd_domain_error(api, "disjoint_intervals", fd_error_culprit(StrArg(deref(w->term[0]), 1)), 1);
      return false;
    }
    TAGGED set = yset(b, e);
    if (set != atom_nil && fds_next(set) != atom_nil) monotone = false;
    if (k > 0 && (set == atom_nil || !below(b->map[k - 1].ymax, e.ymin))) monotone = false;
    /* mode B needs the Y sets of all entries pairwise disjoint */
    for (int j = 0; j < k && disjoint; j++) disjoint = fd_compare(yset(b, b->map[j]), set) == 4 || set == atom_nil;
  }
  if (monotone) b->opt |= REL_MONOTONE;
  if (!disjoint) b->opt &= ~REL_DELTA;
  return true;
}

relation_data *relation_first_call(fd_entry *e, int *outcome)
{
  ORVALIS_API_STRUCT *api = e->api;
  worker *w = e->w;
  relation_shape sh = relation_check(api, w, deref(w->term[0]));
  if (sh.ntuples < 0) {
    *outcome = -2;
    return nullptr;
  }
  int n = sh.ntuples;
  size_t bytes = sizeof(relation_data) + (size_t)sh.xy_r * sizeof(map_entry) +
                 (size_t)n * (sizeof(int) + 2 * sizeof(dvar) + 2 * sizeof(relation_frame));
  QX_globref refs;
  auto *b = (relation_data *)fd_entry_block(e, bytes, relation_destructor, nullptr, 6 * n + sh.xy_n, &refs);
  b->qxenv = api;
  b->refbase = refs;
  b->ntuples = n, b->xy_n = sh.xy_n, b->xy_r = sh.xy_r;
  b->map = (map_entry *)(b + 1);
  b->dvbase = (dvar *)(b->map + sh.xy_r);
  b->frames = (relation_frame *)(b->dvbase + 2 * n);
  b->next = (int *)(b->frames + 2 * n);
  b->opt = GetSmall(deref(StrArg(deref(w->term[0]), 2))) & (REL_BOUNDS | REL_DELTA);
  b->fresh = true;
  int t = 0;
  for (TAGGED l = deref(StrArg(deref(w->term[0]), 3)); IsLst(l); l = deref(LstTail(l)), t++) {
    TAGGED te = deref(LstHead(l));
    for (int k : {0, 3}) {
      *rref(b, t, k) = deref(StrArg(te, k + 2));
      *rref(b, t, k + 1) = deref(StrArg(te, k + 1));
      *rref(b, t, k + 2) = deref(StrArg(te, k + 3));
    }
    b->frames[2 * t] = b->frames[2 * t + 1] = {{nullptr, relation_daemon}, b};
    b->next[t] = t - 1;
  }
  b->first = n - 1;
  if (!read_map(api, w, b)) {
    *outcome = -2;
    return nullptr;
  }
  for (int k = 1; k <= 3; k++) relation_write(w, k, atom_nil);
  relation_write(w, 4, deref(StrArg(deref(w->term[0]), 4)));
  return b;
}

}  // namespace

void prolog_fd_relation_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0,
                                       QX_term_ref state, QX_term_ref actions)
{
  fd_entry e;
  if (!fd_entry_begin(&e, api, state0, 6, false)) return;
  int outcome = 1;
  relation_data *b = nullptr;
  if (IsVar(e.handle))
    b = relation_first_call(&e, &outcome);
  else if (IsVar(deref(LstHead(e.handle))))
    b = (relation_data *)fd_perm_data(e.handle);
  if (outcome == -2) {
    fd_native_fail(api);
    return;
  }
  if (b) {
    fd_state(api)->gdata = b;
    outcome = relation_run(api, e.w, b);
  }
  fd_entry_end(&e, state, actions, outcome);
}
