/* all_different filtered to bounds consistency: only the bounds of the variables move.
 *
 * A pass sees every variable as the interval min..max. The narrow ones form a convex bipartite
 * graph with the values of their hull: a greedy matching, the strongly connected components by
 * one sweep over the matched values, and each bound narrowed to the values of its own component
 * or to values from which an alternating path leads to a free value. Wide and unbounded
 * variables stay out of the graph and only leave the values that every matching uses (the Hall
 * intervals). Passes repeat while a narrowed bound fell into a hole of the real domain.
 *
 * Values are numbered y = value - base, with one base per cluster of overlapping intervals and a
 * single free number between clusters: the numbering, and so the scratch of a pass, spans at
 * most n x (n + 1) values however far apart the domains lie.
 *
 * State: bc_alldiff(Entries, NDead, WakeKey, Handle, Stamp); Entries becomes [] once the block
 * holds the variables. target keeps the live variables first; NDead counts the others.
 */
#include <algorithm>
#include <cstring>

#include "fd_globals.h"
#include "fd_propagate.h"
#include "fd_qsort.h"
#include "fd_sets.h"

namespace {

struct bc_data {
  daemon_frame frame;
  ORVALIS_API_STRUCT *qxenv;
  QX_globref refbase; /* attribute, variable per variable */
  int32_t stamp;
  int enqueue_code; /* 3 val, 5 minmax, 7 dom, 0 no daemon */
  int nvars;
  int *target;
  dvar *dv;
};

/* Value bits of a pass. */
constexpr int USABLE = 1, REACHES_FREE = 4;

/* The scratch of one call, in temporary storage: per variable, and per value number (cap). */
struct bc_pass {
  bc_data *b;
  int n, cap;
  int *sortmin, *sortmax, *xmate, *lo, *hi;
  int32_t *base;
  int32_t *cl_y, *cl_base; /* clusters: first number and base */
  int nclusters;
  int *ymate, *cls, *scc, *type;
  int *creach;                         /* per component: its reach */
  int *pend, *sroot, *sright, *sreach; /* sweep stacks */
  int32_t *h_lo, *h_hi;                /* Hall runs as value intervals */
  int nh;
};

void bc_destructor(void *block) { fd_entry_destroy(block, ((bc_data *)block)->refbase); }

inline int32_t lo_of(const dvar *d) { return GetSmall(d->min); }
inline int32_t hi_of(const dvar *d) { return GetSmall(d->max); }
inline bool bounded(const dvar *d) { return IsSmall(d->min) && IsSmall(d->max); }

/* Points each of the arrays at n ints of one temporary allocation. */
template <size_t k>
void carve(ORVALIS_API_STRUCT *api, worker *w, int **(&arrays)[k], int n)
{
  int *at = (int *)fd_temp_alloc(api, w, sizeof(int) * k * (size_t)n);
  for (size_t i = 0; i < k; i++, at += n) *arrays[i] = at;
}

void scratch_vars(ORVALIS_API_STRUCT *api, worker *w, bc_pass *p)
{
  int **vars[] = {&p->sortmax, &p->xmate, &p->lo, &p->hi, &p->base, &p->cl_y, &p->cl_base};
  carve(api, w, vars, p->n);
  int32_t **runs[] = {&p->h_lo, &p->h_hi};
  carve(api, w, runs, p->n + 1);
  p->cap = 0;
}

/* Value arrays for numbery numbers and a sentinel: kept while large enough. */
void scratch_values(ORVALIS_API_STRUCT *api, worker *w, bc_pass *p, int numbery)
{
  if (numbery + 1 <= p->cap) return;
  int cap = std::max(numbery + 1, 2 * p->cap);
  int **values[] = {&p->ymate, &p->cls,   &p->scc,    &p->type,  &p->creach,
                   &p->pend,  &p->sroot, &p->sright, &p->sreach};
  carve(api, w, values, cap);
  p->cap = cap;
}

/* Graph membership: variables with an infinite bound or a width of at least the graph's size
 * move behind the graph variables, until none does. Answers numberx. */
int graph_members(bc_data *b, int live)
{
  int nx = live;
  for (bool moved = true; moved;) {
    moved = false;
    for (int k = 0; k < nx;) {
      const dvar *d = &b->dv[b->target[k]];
      if (bounded(d) && (int64_t)hi_of(d) - lo_of(d) < nx) {
        k++;
        continue;
      }
      std::swap(b->target[k], b->target[--nx]);
      moved = true;
    }
  }
  return nx;
}

/* Sorts the n variable numbers of a by key[x] ascending. The orders of consecutive calls differ
 * little (target keeps the last order, and bounds move a little), so insertion sort runs in
 * about linear time; past a budget of moves the rest goes to fd_qsort. */
template <typename Key>
void sort_vars(ORVALIS_API_STRUCT *api, int *a, int n, Key key)
{
  long budget = 4L * n + 32;
  for (int k = 1; k < n; k++) {
    int x = a[k], j = k;
    int32_t v = key(x);
    for (; j > 0 && key(a[j - 1]) > v; j--) a[j] = a[j - 1];
    a[j] = x;
    if ((budget -= k - j) < 0) {
      fd_qsort(api, a, (size_t)n, [key](const int *p, const int *q) {
        int32_t u = key(*p), w = key(*q);
        return u < w ? -1 : u != w;
      });
      return;
    }
  }
}

/* Numbers the values of the graph variables cluster by cluster: answers numbery. The graph
 * variables are sorted by minimum in place in target, which keeps the order for the next call
 * (the live prefix is a set: its order is free). */
int number_values(ORVALIS_API_STRUCT *api, bc_pass *p, int nx)
{
  bc_data *b = p->b;
  sort_vars(api, b->target, nx, [b](int x) { return lo_of(&b->dv[x]); });
  p->sortmin = b->target;
  int32_t reach = 0, base = 0;
  p->nclusters = 0;
  for (int k = 0; k < nx; k++) {
    int x = p->sortmin[k];
    int32_t mn = lo_of(&b->dv[x]), mx = hi_of(&b->dv[x]);
    if (k == 0 || mn > reach + 1) {
      int32_t y = k == 0 ? 0 : reach - base + 2;
      base = mn - y;
      reach = mx;
      p->cl_y[p->nclusters] = y;
      p->cl_base[p->nclusters++] = base;
    }
    reach = std::max(reach, mx);
    p->base[x] = base;
    p->lo[x] = mn - base;
    p->hi[x] = mx - base;
  }
  return reach - base + 1;
}

/* Usable values and a matching of every graph variable into them: 1, or 0 when none exists. */
int match(ORVALIS_API_STRUCT *api, bc_pass *p, int nx, int numbery)
{
  int *lo = p->lo, *hi = p->hi, *cls = p->cls;
  /* registered: the variables whose minimum is at most y (next, in sortmin order) */
  int next = 0, used = 0, next_lo = lo[p->sortmin[0]];
  for (int y = 0; y < numbery; y++) {
    while (next_lo == y) next_lo = ++next < nx ? lo[p->sortmin[next]] : numbery;
    p->ymate[y] = -1;
    if (next > used) {
      p->type[y] = USABLE, cls[y] = y, used++;
    } else {
      /* every number up to the next registration is unusable too */
      p->type[y] = 0, cls[y] = next_lo;
    }
  }
  cls[numbery] = numbery;
  if (used < nx) return 0;
  std::memcpy(p->sortmax, p->sortmin, sizeof(int) * (size_t)nx);
  sort_vars(api, p->sortmax, nx, [hi](int x) { return hi[x]; });
  for (int k = 0; k < nx; k++) {
    int x = p->sortmax[k], y = lo[x];
    while (cls[y] != y) y = cls[y];
    for (int t = lo[x]; cls[t] != t;) {
      int after = cls[t];
      cls[t] = y;
      t = after;
    }
    if (y > hi[x]) return 0;
    p->xmate[x] = y, p->ymate[y] = x, cls[y] = y + 1;
  }
  return 1;
}

/* The components, by one sweep over the matched values with a sentinel past the last: answers
 * their number. Each open component keeps its root (lowest value), rightmost value and reach
 * (the largest maximum of its variables). */
int components(bc_pass *p, int numbery)
{
  int top = -1, pending = 0, nscc = 0;
  for (int y = 0; y <= numbery; y++) {
    bool sentinel = y == numbery;
    if (!sentinel && p->ymate[y] < 0) continue;
    while (top >= 0 && (sentinel || y > p->sreach[top])) {
      int c = nscc++;
      p->creach[c] = p->sreach[top];
      while (pending > 0 && p->pend[pending - 1] >= p->sroot[top]) p->scc[p->pend[--pending]] = c;
      top--;
    }
    if (sentinel) break;
    int x = p->ymate[y], root = y, reach = p->hi[x];
    p->pend[pending++] = y;
    while (top >= 0 && p->lo[x] <= p->sright[top]) {
      root = p->sroot[top], reach = std::max(reach, p->sreach[top]);
      top--;
    }
    top++;
    p->sroot[top] = root, p->sright[top] = y, p->sreach[top] = reach;
  }
  return nscc;
}

/* Marks the values from which an alternating path leads to a free value: their component
 * reaches one, or a value so marked, above them (below them lies none that a variable of theirs
 * reaches). */
void mark_values(bc_pass *p, int numbery)
{
  int frontier = numbery;
  for (int y = numbery - 1; y >= 0; y--) {
    if (!(p->type[y] & USABLE))
      frontier = y;
    else if (p->creach[p->scc[y]] >= frontier)
      p->type[y] |= REACHES_FREE, frontier = y;
  }
}

/* Narrows bounds to lo..hi (value numbers of variable x): -1 failure, 1 a bound fell into a
 * hole (another pass), 0. */
int narrow(dvar *d, int32_t lo, int32_t hi)
{
  if (dvar_fix_interval_t(d, MakeSmall(lo), MakeSmall(hi)) < 0) return -1;
  return lo_of(d) > lo || hi_of(d) < hi;
}

/* Whether variable x of component c may take number y: y is free, reaches a free value, or
 * belongs to c. A component nested in c's span that reaches no free value supports nothing of
 * c: c's variables skip its values (narrowing to the component's lowest and highest values
 * would leave a bound on one of them). */
inline bool supported(const bc_pass *p, int y, int c)
{
  return p->type[y] != USABLE || p->scc[y] == c;
}

/* Each graph variable's bounds to the nearest supported numbers. */
int narrow_graph(bc_pass *p, int nx)
{
  int again = 0;
  for (int k = 0; k < nx; k++) {
    int x = p->b->target[k];
    int c = p->scc[p->xmate[x]], lo = p->lo[x], hi = p->hi[x];
    while (!supported(p, lo, c)) lo++;
    while (!supported(p, hi, c)) hi--;
    if (lo == p->lo[x] && hi == p->hi[x]) continue;
    int r = narrow(&p->b->dv[x], lo + p->base[x], hi + p->base[x]);
    if (r < 0) return -1;
    again |= r;
  }
  return again;
}

/* The Hall runs: maximal runs of usable numbers from which no path leads to a free value, as
 * value intervals (a run never spans two clusters: a free number lies between them). */
void hall_runs(bc_pass *p, int numbery)
{
  p->nh = 0;
  int cl = 0;
  for (int y = 0; y < numbery;) {
    if (p->type[y] != USABLE) {
      y++;
      continue;
    }
    int start = y;
    while (y < numbery && p->type[y] == USABLE) y++;
    while (cl + 1 < p->nclusters && p->cl_y[cl + 1] <= start) cl++;
    p->h_lo[p->nh] = start + p->cl_base[cl], p->h_hi[p->nh++] = y - 1 + p->cl_base[cl];
  }
}

/* The Hall run holding value v, or -1. */
int run_of(const bc_pass *p, int32_t v)
{
  int k = (int)(std::upper_bound(p->h_lo, p->h_lo + p->nh, v) - p->h_lo) - 1;
  return k >= 0 && v <= p->h_hi[k] ? k : -1;
}

/* Variables out of the graph leave the Hall runs their bounds lie in. */
int narrow_outside(bc_pass *p, int nx, int live)
{
  int again = 0;
  for (int k = nx; k < live; k++) {
    dvar *d = &p->b->dv[p->b->target[k]];
    TAGGED mn = d->min, mx = d->max;
    int r;
    if (IsSmall(mn) && (r = run_of(p, GetSmall(mn))) >= 0) mn = fds_bound(p->h_hi[r] + 1);
    if (IsSmall(mx) && (r = run_of(p, GetSmall(mx))) >= 0) mx = fds_bound(p->h_lo[r] - 1);
    if (mn == d->min && mx == d->max) continue;
    if (dvar_fix_interval_t(d, mn, mx) < 0) return -1;
    again |= fds_val(d->min) > fds_val(mn) || fds_val(d->max) < fds_val(mx);
  }
  return again;
}

/* One pass: -1 failure, 1 another pass is needed, 0 done. */
int bc_pass_run(ORVALIS_API_STRUCT *api, worker *w, bc_pass *p, int live)
{
  int nx = graph_members(p->b, live);
  if (nx == 0) return 0;
  int numbery = number_values(api, p, nx);
  if (nx > numbery) return -1;
  scratch_values(api, w, p, numbery);
  if (!match(api, p, nx, numbery)) return -1;
  int nscc = components(p, numbery);
  if (nscc == 1 && nx == live) return 0; /* one component, no variable outside: no bound moves */
  mark_values(p, numbery);
  int again = 0;
  if (nscc > 1 && (again = narrow_graph(p, nx)) < 0) return -1;
  if (nx == live) return again;
  hall_runs(p, numbery);
  int out = narrow_outside(p, nx, live);
  return out < 0 ? -1 : again | out;
}

/* Exports, then moves the fixed variables whose value no unfixed one can take behind the live
 * ones: answers the live count left. */
int bc_conclude(ORVALIS_API_STRUCT *api, worker *w, bc_data *b, int live)
{
  int32_t lo = FD_SUP_L, hi = FD_INF_L;
  bool changed = false;
  /* every set into temporary storage before the first export may collect */
  for (int k = 0; k < live; k++) {
    dvar *d = &b->dv[b->target[k]];
    if (d->flags & (DV_SET_TOLD | DV_MIN_RAISED | DV_MAX_LOWERED))
      dvar_pruning_done(api, w, d), changed = true;
    if (d->flags & DV_FIXED) continue;
    lo = std::min(lo, fds_val(d->min));
    hi = std::max(hi, fds_val(d->max));
  }
  for (int k = 0; k < live && changed; k++) {
    dvar *d = &b->dv[b->target[k]];
    if (d->flags & (DV_SET_TOLD | DV_MIN_RAISED | DV_MAX_LOWERED)) dvar_export_do(api, w, d);
  }
  for (int k = 0; k < live;) {
    dvar *d = &b->dv[b->target[k]];
    int32_t v = fds_val(d->min);
    if ((d->flags & DV_FIXED) && (v < lo || v > hi))
      std::swap(b->target[k], b->target[--live]);
    else
      k++;
  }
  return live;
}

/* ---- the state and the block ---- */

int bc_daemon(ORVALIS_API_STRUCT *api, worker *w, void *block, TAGGED *attr_ref, TAGGED global);

/* The variable entries of a first call: their count, or -1 after raising an error. */
int check_entries(ORVALIS_API_STRUCT *api, worker *w, TAGGED list)
{
  int n = 0;
  uint32_t bound = fd_list_bound(w);
  QX_globref_ probe[2];
  for (list = deref(list); IsLst(list) && (uint32_t)n < bound; list = deref(LstTail(list)), n++)
    if (!fd_entry_refs(LstHead(list), probe)) {
      fd_type_error(api, "variable_entry", fd_error_culprit(LstHead(list)), 1);
      return -1;
    }
  if (list != atom_nil) {
    fd_type_error(api, "list", fd_error_culprit(list), 1);
    return -1;
  }
  return n;
}

bc_data *bc_make_block(fd_entry *e, int n, int code)
{
  QX_globref refs;
  size_t bytes = sizeof(bc_data) + (size_t)n * (sizeof(dvar) + sizeof(int));
  auto *b = (bc_data *)fd_entry_block(e, bytes, bc_destructor, code ? bc_daemon : nullptr,
                                      2 * n, &refs);
  b->refbase = refs;
  b->qxenv = e->api;
  b->nvars = n;
  b->enqueue_code = code;
  b->dv = (dvar *)(b + 1);
  b->target = (int *)(b->dv + n);
  int i = 0;
  for (TAGGED l = deref(StrArg(deref(e->w->term[0]), 1)); IsLst(l); l = deref(LstTail(l)), i++) {
    fd_entry_refs(LstHead(l), &refs[2 * i]);
    b->target[i] = i;
    dvar_init(&b->dv[i], &refs[2 * i].term, &refs[2 * i + 1].term);
  }
  return b;
}

int bc_daemon(ORVALIS_API_STRUCT *api, worker *w, void *block, TAGGED *attr_ref, TAGGED global)
{
  auto *b = (bc_data *)block;
  TAGGED state = fd_mutable_value(StrArg(deref(global), FD_GLOBAL_STATE));
  TAGGED ndead = deref(StrArg(state, 2));
  TAGGED dom = fd_attr_dom(deref(*attr_ref));
  TAGGED mn = deref(StrArg(dom, 2)), mx = deref(StrArg(dom, 3));
  /* a variable at least as wide as the live count stays out of the graph: nothing to do */
  if (!IsSmall(mn) || !IsSmall(mx) || !IsSmall(ndead) ||
      (int64_t)GetSmall(mx) - GetSmall(mn) + 1 >= (int64_t)b->nvars - GetSmall(ndead))
    return 0;
  fd_enqueue_global(api, w, global, b->enqueue_code);
  return 1;
}

/* The daemon's queue code of a wake key: 0 for none or an unknown key. */
int enqueue_code_of(ORVALIS_API_STRUCT *api, TAGGED key)
{
  struct fd_state *fd = fd_state(api);
  TAGGED f = fd_functor_word(key, 1);
  return f == fd->functor_val ? 3 : f == fd->functor_minmax ? 5 : f == fd->functor_dom ? 7 : 0;
}

void attach_daemons(ORVALIS_API_STRUCT *api, worker *w, bc_data *b)
{
  struct fd_state *fd = fd_state(api);
  TAGGED key = b->enqueue_code == 3 ? fd->functor_val
               : b->enqueue_code == 5 ? fd->functor_minmax
                                      : fd->functor_dom;
  for (int i = 0; i < b->nvars; i++)
    dvar_attach_daemon(api, w, &b->dv[i], b, deref(w->term[1]), key);
}

/* A first call: the block, or null with outcome set (1 for no variables, -2 after an error). */
bc_data *bc_first_call(fd_entry *e, int *outcome)
{
  ORVALIS_API_STRUCT *api = e->api;
  TAGGED s = deref(e->w->term[0]);
  TAGGED key = deref(StrArg(s, 3));
  int n = check_entries(api, e->w, StrArg(s, 1));
  if (n >= 0 && !IsAtom(key)) n = -1, fd_type_error(api, "atom", fd_error_culprit(key), 1);
  /* every variable is live until a call finds it dead */
  if (n >= 0 && !fd_entry_first_count(api, StrArg(s, 2), 0, "dead_count")) n = -1;
  if (n <= 0) {
    *outcome = n == 0 ? 1 : -2;
    return nullptr;
  }
  bc_data *b = bc_make_block(e, n, enqueue_code_of(api, key));
  if (b->enqueue_code) attach_daemons(api, e->w, b);
  StrPtr(deref(e->w->term[0]))[1] = atom_nil;
  return b;
}

/* A run on the block: 1 entailed, 0 suspended, -1 failed. */
int bc_run(ORVALIS_API_STRUCT *api, worker *w, bc_data *b, int live)
{
  for (int k = 0; k < live; k++) {
    int i = b->target[k];
    dvar_init(&b->dv[i], &b->refbase[2 * i].term, &b->refbase[2 * i + 1].term);
  }
  bc_pass p{};
  p.b = b;
  p.n = b->nvars;
  scratch_vars(api, w, &p);
  int r;
  while ((r = bc_pass_run(api, w, &p, live)) > 0) {
  }
  if (r < 0) return -1;
  live = bc_conclude(api, w, b, live);
  StrPtr(deref(w->term[0]))[2] = MakeSmall(b->nvars - live);
  return live < 2 ? 1 : 0;
}

}  // namespace

void prolog_fd_bc_alldiff_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0,
                                         QX_term_ref state, QX_term_ref actions)
{
  fd_entry e;
  if (!fd_entry_begin(&e, api, state0, 5, true)) return;
  int outcome = 1;
  bc_data *b = nullptr;
  if (IsVar(e.handle))
    b = bc_first_call(&e, &outcome);
  else if (IsVar(deref(LstHead(e.handle))))
    b = (bc_data *)fd_perm_data(e.handle);
  if (b) {
    fd_state(api)->gdata = b;
    b->stamp = e.stamp + 1;
    TAGGED ndead = deref(StrArg(deref(e.w->term[0]), 2));
    if (!IsSmall(ndead) || GetSmall(ndead) < 0 || GetSmall(ndead) > b->nvars) {
      fd_domain_error(api, "dead_count", fd_error_culprit(ndead), 1);
      outcome = -2;
    } else {
      outcome = bc_run(api, e.w, b, b->nvars - GetSmall(ndead));
    }
  }
  if (outcome == -2) {
    fd_native_fail(api);
    return;
  }
  fd_entry_end(&e, state, actions, outcome);
}
