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
#include <algorithm>
#include <cstring>

#include "fd_globals.h"
#include "fd_propagate.h"
#include "fd_qsort.h"
#include "fd_sets.h"

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

minmax_data *minmax_first_call(fd_entry *e, int count, int *outcome)
{
  ORVALIS_API_STRUCT *api = e->api;
  TAGGED s = deref(e->w->term[0]);
  QX_globref_ probe[2];
  int n = 0;
  uint32_t bound = fd_list_bound(e->w);
  TAGGED l = deref(StrArg(s, 2));
  bool ok = fd_entry_refs(StrArg(s, 1), probe);
  for (; ok && IsLst(l) && (uint32_t)n < bound; l = deref(LstTail(l)), n++) ok = fd_entry_refs(LstHead(l), probe);
  if (!ok || l != atom_nil || count > n) {
    fd_domain_error(api, "minmax_state", fd_error_culprit(s), 1);
    *outcome = -2;
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
  } else if (count == MakeSmall(0)) {
    outcome = -1;
  } else if (IsVar(e.handle)) {
    b = minmax_first_call(&e, GetSmall(count), &outcome);
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
