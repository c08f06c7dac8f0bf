/* sorting/3: Y is X sorted in non-decreasing order and P the permutation (X[i] = Y[P[i] - 1]).
 *
 * A pass normalises (Y non-decreasing, P and X against the Y bounds), matches X indexes to Y
 * positions greedily from the left and from the right (bounding each Y by its mate), narrows X
 * within the strongly connected components of the value matching and P within those of the
 * position matching; passes repeat while one prunes. Positions settled at the ends of the window
 * of active positions leave it, with their X indexes.
 *
 * State: sorting(X, P, Y, N, Settled, Offset, Handle, Stamp); X, P and Y become [] once the block
 * holds the variables. The window is Offset .. Offset + N - Settled - 1 (absolute positions from
 * 0; P's values stay absolute positions from 1); xtarget keeps the window's X indexes first.
 */
#include <algorithm>
#include <cstring>
#include <functional>

#include "fd_globals.h"
#include "fd_propagate.h"
#include "fd_qsort.h"
#include "fd_sets.h"

namespace {

struct sorting_data {
  daemon_frame frame;
  ORVALIS_API_STRUCT *qxenv;
  QX_globref refbase;
  int32_t stamp;
  int nvars, ntargets, yoffset, nscc, prunings;
  int *xtarget;
  dvar *dv; /* X, then P, then Y */
};

void sorting_destructor(void *block)
{
  fd_entry_destroy(block, ((sorting_data *)block)->refbase);
}

inline int32_t lo(const dvar *d) { return fds_val(d->min); }
inline int32_t hi(const dvar *d) { return fds_val(d->max); }

/* One call's working state: the window's targets and positions, the scratch. */
struct sorter {
  ORVALIS_API_STRUCT *api;
  worker *w;
  sorting_data *b;
  int n, nt, yo;
  int *xmate = nullptr, *ymate = nullptr, *sortmin = nullptr, *sortmax = nullptr, *reach = nullptr,
      *cls = nullptr, *scc = nullptr, *order = nullptr, *sfirst = nullptr, *srecent = nullptr, *sreach = nullptr;
  bool failed = false;
  dvar *X(int i) const { return &b->dv[i]; }
  dvar *P(int i) const { return &b->dv[n + i]; }
  dvar *Y(int k) const { return &b->dv[2 * n + yo + k]; } /* k: position in the window */
  /* P's bounds as window positions */
  int32_t plo(int i) const { return lo(P(i)) - 1 - yo; }
  int32_t phi(int i) const { return hi(P(i)) - 1 - yo; }

  /* Narrows d to lo..hi (plain bounds, the infinities allowed), counting changes. */
  void fix(dvar *d, int32_t l, int32_t h)
  {
    int r = dvar_fix_interval_t(d, fds_bound(l), fds_bound(h));
    if (r < 0) failed = true;
    if (r > 0) b->prunings++;
  }
  void sort_targets()
  {
    std::memcpy(sortmin, b->xtarget, sizeof(int) * (size_t)nt);
    std::memcpy(sortmax, b->xtarget, sizeof(int) * (size_t)nt);
    sorting_data *bb = b;
    fd_qsort(api, sortmin, (size_t)nt, [bb](const int *x, const int *y) {
      int32_t a = lo(&bb->dv[*x]), c = lo(&bb->dv[*y]);
      return a < c ? -1 : a != c;
    });
    fd_qsort(api, sortmax, (size_t)nt, [bb](const int *x, const int *y) {
      int32_t a = hi(&bb->dv[*x]), c = hi(&bb->dv[*y]);
      return a < c ? -1 : a != c;
    });
  }
};

/* Y non-decreasing, P and X against the Y bounds, until nothing changes: false on failure. */
bool normalize(sorter &s)
{
  for (int before = -1; before != s.b->prunings && !s.failed;) {
    before = s.b->prunings;
    for (int k = 1; k < s.nt; k++) s.fix(s.Y(k), lo(s.Y(k - 1)), FDS_SUP);
    for (int k = s.nt - 2; k >= 0; k--) s.fix(s.Y(k), FDS_INF, hi(s.Y(k + 1)));
    s.sort_targets();
    for (int m = 0, j = 0; m < s.nt && !s.failed; m++) {
      int x = s.sortmin[m];
      while (j < s.nt && hi(s.Y(j)) < lo(s.X(x))) j++;
      if (j == s.nt) return false;
      s.fix(s.P(x), s.yo + j + 1, FDS_SUP);
      if (!s.failed) s.fix(s.X(x), lo(s.Y(s.plo(x))), FDS_SUP);
    }
    for (int m = s.nt - 1, j = s.nt - 1; m >= 0 && !s.failed; m--) {
      int x = s.sortmax[m];
      while (j >= 0 && lo(s.Y(j)) > hi(s.X(x))) j--;
      if (j < 0) return false;
      s.fix(s.P(x), FDS_INF, s.yo + j + 1);
      if (s.failed) break;
      s.fix(s.X(x), FDS_INF, hi(s.Y(s.phi(x))));
      if (!s.failed && (s.P(x)->flags & DV_FIXED)) s.fix(s.Y(s.plo(x)), lo(s.X(x)), hi(s.X(x)));
    }
  }
  return !s.failed;
}

/* The first free position at or after k (class pointers lead from used positions onwards). */
int free_at(int *cls, int k)
{
  int r = k;
  while (cls[r] != r) r = cls[r];
  while (cls[k] != k) {
    int after = cls[k];
    cls[k] = r;
    k = after;
  }
  return r;
}

/* Matches the targets to positions: each takes the first free position at or after reach[x],
 * in the order given. False when one has none within its `last` bound. */
bool match_in(sorter &s, const int *order, const std::function<bool(int, int)> &fits)
{
  for (int k = 0; k <= s.nt; k++) s.cls[k] = k;
  for (int m = 0; m < s.nt; m++) {
    int x = order[m], k = free_at(s.cls, s.reach[x]);
    if (k == s.nt || !fits(x, k)) return false;
    s.xmate[x] = k, s.ymate[k] = x, s.cls[k] = k + 1;
  }
  return true;
}

/* The greedy matchings from the left (bounding Y maxima) and from the right (Y minima), the
 * latter by mirrored positions: false on failure. */
bool matchings(sorter &s)
{
  s.sort_targets();
  int taken = 0;
  for (int k = 0; k < s.nt; k++) {
    while (taken < s.nt && lo(s.X(s.sortmin[taken])) <= hi(s.Y(k))) s.reach[s.sortmin[taken++]] = k;
    if (taken < k + 1) return false;
  }
  if (!match_in(s, s.sortmax, [&s](int x, int k) { return hi(s.X(x)) >= lo(s.Y(k)); })) return false;
  for (int k = 0; k < s.nt; k++) s.fix(s.Y(k), FDS_INF, hi(s.X(s.ymate[k])));
  if (s.failed) return false;
  /* the mirror: position k is s.nt - 1 - k */
  s.sort_targets();
  taken = 0;
  for (int k = 0; k < s.nt; k++) {
    int pos = s.nt - 1 - k;
    while (taken < s.nt && hi(s.X(s.sortmax[s.nt - 1 - taken])) >= lo(s.Y(pos)))
      s.reach[s.sortmax[s.nt - 1 - taken++]] = k;
    if (taken < k + 1) return false;
  }
  for (int m = 0; m < s.nt; m++) s.order[m] = s.sortmin[s.nt - 1 - m];
  if (!match_in(s, s.order, [&s](int x, int k) { return lo(s.X(x)) <= hi(s.Y(s.nt - 1 - k)); }))
    return false;
  for (int k = 0; k < s.nt; k++) s.ymate[k] = -1;
  for (int m = 0; m < s.nt; m++) {
    int x = s.b->xtarget[m];
    s.xmate[x] = s.nt - 1 - s.xmate[x];
    s.ymate[s.xmate[x]] = x;
  }
  for (int k = 0; k < s.nt; k++) s.fix(s.Y(k), lo(s.X(s.ymate[k])), FDS_SUP);
  return !s.failed;
}

/* The strongly connected components of the positions under the matching ymate, by one sweep
 * with a stack of open groups (first position, most recent position, reach): start(k) and end(k)
 * are the first and last positions the mate of k may take. Answers their number, scc per
 * position. */
int components(sorter &s, const std::function<int32_t(int)> &start,
               const std::function<int32_t(int)> &end)
{
  int top = -1, pending = 0, nscc = 0;
  int *pend = s.order;
  for (int k = 0; k <= s.nt; k++) {
    while (top >= 0 && (k == s.nt || k > s.sreach[top])) {
      while (pending > 0 && pend[pending - 1] >= s.sfirst[top]) s.scc[pend[--pending]] = nscc;
      nscc++;
      top--;
    }
    if (k == s.nt) break;
    int first = k, reach = end(k);
    pend[pending++] = k;
    while (top >= 0 && start(k) <= s.srecent[top]) {
      first = s.sfirst[top], reach = std::max(reach, s.sreach[top]);
      top--;
    }
    top++;
    s.sfirst[top] = first, s.srecent[top] = k, s.sreach[top] = reach;
  }
  return nscc;
}

/* Narrows each target's window positions (P) and values (X) to its own component. */
void narrow_in_components(sorter &s, bool positions)
{
  for (int m = 0; m < s.nt; m++) {
    int x = s.b->xtarget[m], c = s.scc[s.xmate[x]];
    if (positions) {
      int a = std::max(0, s.plo(x)), z = std::min(s.nt - 1, s.phi(x));
      while (a < z && s.scc[a] != c) a++;
      while (z > a && s.scc[z] != c) z--;
      s.fix(s.P(x), s.yo + a + 1, s.yo + z + 1);
      continue;
    }
    /* the first position of x's component whose Y maximum reaches x's minimum, and the last
     * whose Y minimum x's maximum reaches */
    int a = 0, z = s.nt - 1;
    while (a < s.nt && (s.scc[a] != c || hi(s.Y(a)) < lo(s.X(x)))) a++;
    while (z >= 0 && (s.scc[z] != c || lo(s.Y(z)) > hi(s.X(x)))) z--;
    if (a > z) {
      s.failed = true;
      return;
    }
    s.fix(s.X(x), lo(s.Y(a)), hi(s.Y(z)));
  }
}

/* One pass: false on failure. */
bool pass(sorter &s)
{
  if (!normalize(s)) return false;
  s.b->prunings = 0;
  if (!matchings(s)) return false;
  /* value components: a position reaches down to its mate's minimum, a group up to its mates'
   * largest maximum */
  s.b->nscc = components(
      s,
      [&s](int k) {
        /* the first position whose Y maximum reaches the mate's minimum */
        int32_t v = lo(s.X(s.ymate[k]));
        int a = 0;
        while (a < k && hi(s.Y(a)) < v) a++;
        return (int32_t)a;
      },
      [&s](int k) {
        int32_t v = hi(s.X(s.ymate[k]));
        int z = s.nt - 1;
        while (z > k && lo(s.Y(z)) > v) z--;
        return (int32_t)z;
      });
  if (s.b->nscc > 1) narrow_in_components(s, false);
  if (s.failed) return false;
  /* position components: the matching of targets to the positions their P allows */
  for (int m = 0; m < s.nt; m++) {
    int x = s.b->xtarget[m];
    s.reach[x] = std::max(0, s.plo(x));
    s.order[m] = x;
  }
  sorter *sp = &s;
  fd_qsort(s.api, s.order, (size_t)s.nt, [sp](const int *a, const int *c) {
    int32_t u = sp->phi(*a), v = sp->phi(*c);
    return u < v ? -1 : u != v;
  });
  int *order = (int *)fd_temp_alloc(s.api, s.w, sizeof(int) * (size_t)s.nt);
  std::memcpy(order, s.order, sizeof(int) * (size_t)s.nt);
  if (!match_in(s, order, [&s](int x, int k) { return s.phi(x) >= k; })) return false;
  int n = components(
      s, [&s](int k) { return (int32_t)std::max(0, s.plo(s.ymate[k])); },
      [&s](int k) { return (int32_t)std::min(s.nt - 1, s.phi(s.ymate[k])); });
  if (n > 1) narrow_in_components(s, true);
  return !s.failed;
}

/* Settles the positions at the window's ends: Y fixed, the mate's P fixed there, the value apart
 * from the neighbours'. Their targets leave the active part of xtarget. */
void settle(sorter &s)
{
  auto settled = [&s](int k) {
    int x = s.ymate[k];
    if (!(s.Y(k)->flags & DV_FIXED) || !(s.P(x)->flags & DV_FIXED) || s.plo(x) != k) return false;
    return (k == 0 || lo(s.Y(k)) > hi(s.Y(k - 1))) && (k == s.nt - 1 || lo(s.Y(k)) < lo(s.Y(k + 1)));
  };
  int a = 0, z = s.nt - 1;
  while (a <= z && settled(a)) s.xmate[s.ymate[a++]] = -1;
  while (z >= a && settled(z)) s.xmate[s.ymate[z--]] = -1;
  int keep = 0;
  for (int m = 0; m < s.nt; m++)
    if (s.xmate[s.b->xtarget[m]] >= 0) std::swap(s.b->xtarget[m], s.b->xtarget[keep++]);
  s.b->ntargets = keep;
  s.b->yoffset = s.yo + a;
}

int sorting_run(ORVALIS_API_STRUCT *api, worker *w, sorting_data *b, int settled, int offset)
{
  sorter s{api, w, b, b->nvars, b->nvars - settled, offset};
  int nt = s.nt;
  int **arrays[] = {&s.xmate, &s.ymate, &s.sortmin, &s.sortmax, &s.reach, &s.cls,
                    &s.scc,   &s.order, &s.sfirst,  &s.srecent, &s.sreach};
  for (int **a : arrays) *a = (int *)fd_temp_alloc(api, w, sizeof(int) * (size_t)(b->nvars + 1));
  for (int k = 0; k < nt; k++) {
    int x = b->xtarget[k];
    for (int i : {x, b->nvars + x, 2 * b->nvars + offset + k})
      dvar_init(&b->dv[i], &b->refbase[2 * i].term, &b->refbase[2 * i + 1].term);
  }
  /* the positions outside the window belong to the settled targets */
  for (int k = 0; k < nt; k++) s.fix(s.P(b->xtarget[k]), offset + 1, offset + nt);
  if (s.failed) return -1;
  do {
    if (!pass(s)) return -1;
  } while (b->prunings > 0);
  /* every set into temporary storage before the first export may collect */
  for (int pass = 0; pass < 2; pass++)
    for (int k = 0; k < nt; k++)
      for (dvar *d : {s.X(b->xtarget[k]), s.P(b->xtarget[k]), s.Y(k)})
        if (d->flags & (DV_SET_TOLD | DV_MIN_RAISED | DV_MAX_LOWERED))
          pass == 0 ? dvar_pruning_done(api, w, d) : dvar_export_do(api, w, d);
  settle(s);
  TAGGED *state = StrPtr(deref(w->term[0]));
  state[5] = MakeSmall(b->nvars - b->ntargets);
  state[6] = MakeSmall(b->yoffset);
  return b->ntargets == 0 ? 1 : 0;
}

/* ---- the first call ---- */

/* n from the state, or -1 after raising an error. */
int check_state(ORVALIS_API_STRUCT *api, worker *w, TAGGED s)
{
  TAGGED n = deref(StrArg(s, 4));
  if (!IsSmall(n) || GetSmall(n) < 0 || GetSmall(n) > (1 << 20)) {
    fd_domain_error(api, "sorting_length", fd_error_culprit(n), 1);
    return -1;
  }
  /* the window starts whole: nothing is settled before the first call */
  if (!fd_entry_first_count(api, StrArg(s, 5), 0, "sorting_window") ||
      !fd_entry_first_count(api, StrArg(s, 6), 0, "sorting_window"))
    return -1;
  QX_globref_ probe[2];
  for (int a = 1; a <= 3; a++) {
    if (fd_proper_length(w, StrArg(s, a)) != GetSmall(n)) {
      fd_domain_error(api, "sorting_lists", fd_error_culprit(StrArg(s, a)), 1);
      return -1;
    }
    for (TAGGED l = deref(StrArg(s, a)); IsLst(l); l = deref(LstTail(l)))
      if (!fd_entry_refs(LstHead(l), probe)) {
        fd_type_error(api, "variable_entry", fd_error_culprit(LstHead(l)), 1);
        return -1;
      }
  }
  return GetSmall(n);
}

sorting_data *sorting_first_call(fd_entry *e, int *outcome)
{
  TAGGED s = deref(e->w->term[0]);
  int n = check_state(e->api, e->w, s);
  if (n <= 0) {
    *outcome = n == 0 ? 1 : -2;
    return nullptr;
  }
  QX_globref refs;
  size_t bytes = sizeof(sorting_data) + (size_t)n * (3 * sizeof(dvar) + sizeof(int));
  auto *b = (sorting_data *)fd_entry_block(e, bytes, sorting_destructor, nullptr, 6 * n, &refs);
  b->qxenv = e->api;
  b->refbase = refs;
  b->nvars = n;
  b->dv = (dvar *)(b + 1);
  b->xtarget = (int *)(b->dv + 3 * n);
  s = deref(e->w->term[0]);
  for (int a = 1, i = 0; a <= 3; a++) {
    for (TAGGED l = deref(StrArg(s, a)); IsLst(l); l = deref(LstTail(l)), i++)
      fd_entry_refs(LstHead(l), &refs[2 * i]);
    StrPtr(s)[a] = atom_nil;
  }
  for (int i = 0; i < n; i++) b->xtarget[i] = i;
  return b;
}

}  // namespace

void prolog_fd_sorting_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0,
                                      QX_term_ref state, QX_term_ref actions)
{
  fd_entry e;
  if (!fd_entry_begin(&e, api, state0, 8, true)) return;
  int outcome = 1;
  sorting_data *b = nullptr;
  if (IsVar(e.handle))
    b = sorting_first_call(&e, &outcome);
  else if (IsVar(deref(LstHead(e.handle))))
    b = (sorting_data *)fd_perm_data(e.handle);
  if (b) {
    fd_state(api)->gdata = b;
    b->stamp = e.stamp + 1;
    TAGGED s = deref(e.w->term[0]), settled = deref(StrArg(s, 5)), offset = deref(StrArg(s, 6));
    int n = b->nvars;
    if (!IsSmall(settled) || !IsSmall(offset) || GetSmall(settled) < 0 || GetSmall(settled) > n ||
        GetSmall(offset) < 0 || GetSmall(offset) > GetSmall(settled)) {
      fd_domain_error(api, "sorting_window", fd_error_culprit(s), 1);
      outcome = -2;
    } else {
      outcome = GetSmall(settled) == n ? 1 : sorting_run(api, e.w, b, GetSmall(settled), GetSmall(offset));
    }
  }
  if (outcome == -2) {
    fd_native_fail(api);
    return;
  }
  fd_entry_end(&e, state, actions, outcome);
}
