/* Scheduling over task records: the per-call working state, the unary (capacity one) filter with
 * its theta-lambda tree and exact small-case rules, the task pruning helpers shared with the
 * cumulative filters, and the disjoint1/2 propagator.
 */
#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <vector>

#include "fd_globals.h"
#include "fd_qsort.h"
#include "fd_sched.h"
#include "fd_sets.h"

namespace {

constexpr int64_t NEG = -((int64_t)1 << 50); /* completion of an empty set */
constexpr int64_t POS = (int64_t)1 << 50;

int32_t clamp32(int64_t v) { return (int32_t)std::clamp<int64_t>(v, SCHED_INF, SCHED_SUP); }

/* A tagged bound for an untagged time: beyond the small integers is inf or sup. */
TAGGED tagged_time(int64_t v)
{
  if (v < QX_SMALL_MIN) return atom_inf;
  return v > QX_SMALL_MAX ? atom_sup : MakeSmall((int32_t)v);
}

/* The FD set lo..hi (untagged, SCHED_INF/SCHED_SUP or beyond for the infinities), [] when empty. */
TAGGED time_interval(ORVALIS_API_STRUCT *api, worker *w, int64_t lo, int64_t hi)
{
  if (lo > hi || hi < QX_SMALL_MIN || lo > QX_SMALL_MAX) return atom_nil;
  return fd_interval(api, w, tagged_time(lo), tagged_time(hi));
}

int32_t untagged(TAGGED t)
{
  if (IsSmall(t)) return GetSmall(t);
  return t == atom_inf ? SCHED_INF : SCHED_SUP;
}

/* Bump carving of one scratch block: every array 8-aligned. */
struct carver {
  char *base;
  size_t off = 0;
  template <typename T>
  T *take(size_t count)
  {
    T *p = base ? (T *)(base + off) : nullptr;
    off += (count * sizeof(T) + 7) & ~(size_t)7;
    return p;
  }
};

size_t unary_layout(unary_data *u, int n, int nbtotal, int flags, char *base)
{
  carver c{base};
  c.take<unary_data>(1);
  size_t nn = (size_t)n, n1 = 2 * (nn + 1);
  u->events = c.take<event>(5 * nn);
  u->eventp = c.take<event *>(5 * nn);
  u->cp = c.take<comppart>(n1);
  u->cp2 = c.take<comppart>(n1);
  u->dates = c.take<int32_t>(n1);
  u->minloss = c.take<int64_t>(n1);
  u->maxloss = c.take<int64_t>(n1);
  u->id_map = c.take<int32_t>((size_t)nbtotal);
  u->tree = c.take<theta_lambda_node>(2 * nn + 2);
  u->est_rank = c.take<task *>(nn);
  u->lct_rank = c.take<task *>(nn);
  u->aux_rank = c.take<task *>(nn);
  u->tt_map = c.take<int32_t>(nn + 1);
  u->lb = c.take<int32_t>(nn);
  u->ub = c.take<int32_t>(nn);
  u->degree = c.take<int32_t>(nn);
  u->edge = c.take<int32_t>(nn * nn);
  u->pred = c.take<int32_t>(nn);
  u->succ = c.take<int32_t>(nn);
  u->est = u->lct = u->obltasks = u->ti_tasks = nullptr;
  u->ti_index = nullptr;
  u->ti = nullptr;
  if (flags & 2) {
    u->est = c.take<int32_t>(nn);
    u->lct = c.take<int32_t>(nn);
    u->obltasks = c.take<int32_t>(nn);
    u->ti_tasks = c.take<int32_t>(nn);
    u->ti_index = c.take<ti_node>(5 * nn);
    u->ti = c.take<task_interval>(nn * nn);
  }
  return c.off;
}

}  // namespace

unary_data *unary_alloc(ORVALIS_API_STRUCT *api, worker *w, task *tasks, int n, int nbtotal,
                        int flags, size_mem *held)
{
  (void)w;
  unary_data probe{};
  size_t bytes = unary_layout(&probe, n, nbtotal, flags, nullptr);
  char *base = (char *)fd_perm_alloc2(api, bytes, held);
  if (!base) qx_memory_fault("scheduling scratch", -1);
  auto *u = (unary_data *)base;
  std::memset(u, 0, sizeof *u);
  unary_layout(u, n, nbtotal, flags, base);
  u->nbtasks = n;
  u->nbtotal = nbtotal;
  u->flags = flags & ~1;
  u->tasks = tasks;
  for (int i = 0; i < nbtotal; i++) u->id_map[i] = -1;
  for (int i = n - 1; i >= 0; i--)
    if (tasks[i].diffid >= 0 && tasks[i].diffid < nbtotal) u->id_map[tasks[i].diffid] = i;
  return u;
}

void unary_release(ORVALIS_API_STRUCT *api, unary_data *u, size_mem *held)
{
  QX_free(u->cache);
  fd_perm_free2(api, u, held);
}

/* ---- the theta-lambda tree ---- */

namespace {

void tln_clear(theta_lambda_node *x)
{
  x->dur = 0;
  x->est = NEG;
  x->ECT = x->EST = NEG;
  x->DUR = 0;
  x->state = 0;
  x->lECT = NEG;
  x->lDUR = 0;
  x->grayECT = x->grayDUR = x->gray = -1;
}

/* Recomputes node k from its own task and its children (nodes beyond n are empty). */
void tln_recompute(theta_lambda_tree *t, int k)
{
  static const theta_lambda_node empty = {0, NEG, NEG, 0, NEG, 0, NEG, 0, -1, -1, -1};
  theta_lambda_node *x = &t->node[k];
  const theta_lambda_node *L = 2 * k <= t->n ? &t->node[2 * k] : &empty;
  const theta_lambda_node *R = 2 * k + 1 <= t->n ? &t->node[2 * k + 1] : &empty;
  bool in = x->state == 1, gray = x->state == 2;
  int64_t od = in ? x->dur : 0;
  /* theta */
  x->DUR = L->DUR + od + R->DUR;
  int64_t own = in ? x->est + x->dur + R->DUR : NEG, left = L->ECT + od + R->DUR;
  if (R->ECT >= own && R->ECT >= left) {
    x->ECT = R->ECT;
    x->EST = R->EST;
  } else if (left > own) {
    x->ECT = left;
    x->EST = L->EST;
  } else {
    x->ECT = own;
    x->EST = x->est;
  }
  /* lambda: theta plus at most one gray task */
  if (!gray && L->grayDUR < 0 && L->grayECT < 0 && R->grayDUR < 0 && R->grayECT < 0) {
    x->lECT = x->ECT;
    x->lDUR = x->DUR;
    x->grayECT = x->grayDUR = -1;
    return;
  }
  auto pick = [](int64_t *best, int32_t *who, int64_t v, int32_t g) {
    if (v > *best) *best = v, *who = g;
  };
  int64_t d = L->lDUR + od + R->DUR;
  int32_t gd = L->grayDUR;
  pick(&d, &gd, L->DUR + od + R->lDUR, R->grayDUR);
  if (gray) pick(&d, &gd, L->DUR + x->dur + R->DUR, x->gray);
  int64_t e = R->lECT;
  int32_t ge = R->grayECT;
  if (in) pick(&e, &ge, x->est + x->dur + R->lDUR, R->grayDUR);
  if (gray) pick(&e, &ge, x->est + x->dur + R->DUR, x->gray);
  pick(&e, &ge, L->lECT + od + R->DUR, L->grayECT);
  pick(&e, &ge, L->ECT + od + R->lDUR, R->grayDUR);
  if (gray) pick(&e, &ge, L->ECT + x->dur + R->DUR, x->gray);
  /* a value reached by theta alone has nobody responsible */
  x->lDUR = d;
  x->grayDUR = d > x->DUR ? gd : -1;
  x->lECT = e;
  x->grayECT = e > x->ECT ? ge : -1;
}

void tlt_fix_path(theta_lambda_tree *t, int k)
{
  for (; k >= 1; k /= 2) tln_recompute(t, k);
}

/* Puts a task into its node without recomputing anything. */
void tlt_set(theta_lambda_tree *t, int rank, int64_t est, int64_t dur, int state)
{
  theta_lambda_node *x = &t->node[t->tt_map[rank]];
  x->est = est;
  x->dur = dur;
  x->state = state;
  x->gray = state == 2 ? rank : -1;
}

}  // namespace

void tt_init_inorder(int32_t *tt_map, int n)
{
  /* in-order walk of the heap-shaped nodes 1..n without recursion */
  int rank = 0, k = 1;
  int32_t stack[64];
  int sp = 0;
  while (rank < n) {
    while (k <= n) {
      stack[sp++] = k;
      k *= 2;
    }
    k = stack[--sp];
    tt_map[rank++] = k;
    k = 2 * k + 1;
  }
}

void tlt_clear(theta_lambda_tree *t)
{
  for (int k = 1; k <= 2 * t->n; k++) tln_clear(&t->node[k]);
}

void tlt_bottom_up(theta_lambda_tree *t)
{
  for (int k = t->n; k >= 1; k--) tln_recompute(t, k);
}

void tlt_place(theta_lambda_tree *t, int rank, int64_t est, int64_t dur, int state)
{
  tlt_set(t, rank, est, dur, state);
  tlt_fix_path(t, t->tt_map[rank]);
}

void tlt_remove(theta_lambda_tree *t, int rank)
{
  int k = t->tt_map[rank];
  tln_clear(&t->node[k]);
  tlt_fix_path(t, k);
}

int64_t tt_del_element_ect(theta_lambda_tree *t, int rank)
{
  theta_lambda_node *x = &t->node[t->tt_map[rank]], *root = &t->node[1];
  if (x->state != 1 || root->EST > x->est) return root->ECT;
  int64_t est = x->est, dur = x->dur;
  tlt_remove(t, rank);
  int64_t v = root->ECT;
  tlt_place(t, rank, est, dur, 1);
  return v;
}

int64_t tlt_del_element_ect(theta_lambda_tree *t, int rank, int *gray)
{
  theta_lambda_node *x = &t->node[t->tt_map[rank]], *root = &t->node[1];
  if (x->state != 1 || root->EST > x->est) {
    *gray = root->grayECT;
    return root->lECT;
  }
  int64_t est = x->est, dur = x->dur;
  tlt_remove(t, rank);
  int64_t v = root->lECT;
  *gray = root->grayECT;
  tlt_place(t, rank, est, dur, 1);
  return v;
}

/* ---- task pruning helpers ---- */

namespace {

/* After a narrowing of est/lct/lctmax: failure for an obligatory task that no longer fits. */
int tell_task(ORVALIS_API_STRUCT *api, task *t)
{
  if ((int64_t)t->est + t->dur > t->lct && t->enable == TASK_PRESENT) return 2;
  return t->propagate(api, t);
}

}  // namespace

int unary_prune_interval(ORVALIS_API_STRUCT *api, task *t, int32_t a, int32_t b, worker *w)
{
  if (a > b) return 0;
  int64_t ad = (int64_t)a + t->dur, bd = (int64_t)b + t->dur;
  if (a <= t->est && t->est <= b) {
    t->est = clamp32((int64_t)b + 1);
    t->lct = std::min(t->lct, t->lctmax);
  } else if (ad <= t->lctmax && t->lctmax <= bd) {
    t->lctmax = clamp32(ad - 1);
    t->lct = std::min(t->lct, t->lctmax);
  } else if (t->est > b || t->lctmax < ad) {
    return 0;
  } else {
    return t->prune_interval(api, t, a, b, w);
  }
  return tell_task(api, t);
}

int unary_prune_value(ORVALIS_API_STRUCT *api, task *t, int32_t v, worker *w)
{
  return unary_prune_interval(api, t, v, v, w);
}

int unary_prune_set(ORVALIS_API_STRUCT *api, task *t, TAGGED set, worker *w)
{
  return t->prune_set(api, t, set, w);
}

int must_overlap_at_least(ORVALIS_API_STRUCT *api, task *t, int32_t lmin, int32_t inf,
                          int32_t sup)
{
  /* neither the task nor the window can hold lmin */
  if (t->dur < lmin || (int64_t)sup - inf < lmin) return 2;
  int r = 0;
  int64_t lo = (int64_t)inf + lmin - t->dur;
  if (t->est < lo) {
    t->est = clamp32(lo);
    t->lct = std::min(t->lct, t->lctmax);
    r = tell_task(api, t);
  }
  int64_t b = (int64_t)sup + t->dur - lmin;
  if (t->lctmax <= b) return r;
  t->lctmax = clamp32(b);
  t->lct = std::min(t->lct, t->lctmax);
  return r | tell_task(api, t);
}

int must_overlap_less_than(ORVALIS_API_STRUCT *api, task *t, int32_t lmax, int32_t inf,
                           int32_t sup, worker *w)
{
  if (t->dur < lmax || (int64_t)lmax > (int64_t)sup - inf) return 0;
  return unary_prune_interval(api, t, clamp32((int64_t)inf + lmax - t->dur),
                              clamp32((int64_t)sup - lmax), w);
}

int64_t min_overlap(const task *t, int32_t lb, int32_t ub)
{
  int64_t m = std::min((int64_t)ub - task_lst(t), (int64_t)task_ect(t) - lb);
  if (m < 1) return 0;
  return std::min({(int64_t)t->dur, (int64_t)ub - lb, m}) * t->res;
}

/* ---- limited starts and ends, the exact small-case rules ---- */

void unary_lst_ect(task **ts, int n, int32_t *lst_out, int32_t *ect_out)
{
  if (n < 1) {
    *lst_out = SCHED_SUP;
    *ect_out = SCHED_INF;
    return;
  }
  auto sort = [&](auto before) {
    for (int i = 1; i < n; i++)
      for (int j = i; j > 0 && before(ts[j], ts[j - 1]); j--) std::swap(ts[j], ts[j - 1]);
  };
  sort([](task *a, task *b) { return a->est < b->est; });
  int64_t sum = 0, ect = NEG;
  for (int i = n - 1; i >= 0; i--) {
    sum += ts[i]->dur;
    ect = std::max(ect, ts[i]->est + sum);
  }
  sort([](task *a, task *b) { return a->lct > b->lct; });
  int64_t lst = POS;
  sum = 0;
  for (int i = n - 1; i >= 0; i--) {
    sum += ts[i]->dur;
    lst = std::min(lst, ts[i]->lct - sum);
  }
  *lst_out = clamp32(lst);
  *ect_out = clamp32(ect);
}

namespace {

bool task_fixed(const task *t) { return (int64_t)t->est + t->dur == t->lct; }

}  // namespace

int32_t limited_lst(ORVALIS_API_STRUCT *api, worker *w, task *t, int32_t deadline)
{
  if (deadline <= SCHED_INF) return SCHED_INF;
  if (task_fixed(t)) return deadline >= task_ect(t) ? t->est : SCHED_INF;
  int64_t last = (int64_t)deadline - t->dur;
  if (last < QX_SMALL_MIN) return SCHED_INF;
  TAGGED set = t->set(api, t, w);
  TAGGED v = last >= QX_SMALL_MAX ? fd_predecessor(set, atom_sup)
                                  : fd_predecessor(set, MakeSmall((int32_t)last + 1));
  return IsSmall(v) ? GetSmall(v) : SCHED_INF;
}

int32_t limited_ect(ORVALIS_API_STRUCT *api, worker *w, task *t, int32_t release)
{
  if (release >= SCHED_SUP) return SCHED_SUP;
  if (task_fixed(t)) return release <= t->est ? task_ect(t) : SCHED_SUP;
  if (release > QX_SMALL_MAX) return SCHED_SUP;
  TAGGED set = t->set(api, t, w);
  TAGGED v = release <= QX_SMALL_MIN ? fd_successor(set, atom_inf)
                                     : fd_successor(set, MakeSmall(release - 1));
  return IsSmall(v) ? GetSmall(v) + t->dur : SCHED_SUP;
}

namespace {

/* S = (A - d + 1) .. (E - 1), infinite ends kept infinite. */
TAGGED neither_set(ORVALIS_API_STRUCT *api, worker *w, int32_t A, int32_t E, int32_t d)
{
  int64_t lo = A <= SCHED_INF ? SCHED_INF : (int64_t)A - d + 1;
  int64_t hi = E >= SCHED_SUP ? SCHED_SUP : (int64_t)E - 1;
  return time_interval(api, w, lo, hi);
}

/* S restricted to (inf .. below - 1) u (above - d + 1 .. sup), infinite ends kept. */
TAGGED split_keep(ORVALIS_API_STRUCT *api, worker *w, TAGGED S, int32_t below, int32_t above,
                  int32_t d)
{
  int64_t hi = below >= SCHED_SUP ? SCHED_SUP : (int64_t)below - 1;
  int64_t lo = above <= SCHED_INF ? SCHED_INF : (int64_t)above - d + 1;
  TAGGED keep = fd_union(api, w, time_interval(api, w, SCHED_INF, hi),
                         time_interval(api, w, lo, SCHED_SUP));
  return fd_intersection(api, w, S, keep);
}

int prune_or_trim(ORVALIS_API_STRUCT *api, worker *w, task *t1, TAGGED S, char *top)
{
  if (S != atom_nil) {
    int r = unary_prune_set(api, t1, S, w);
    if (r) return r;
  }
  numstack_trim(w, top);
  return 0;
}

}  // namespace

int unary_filtering_sub_3(ORVALIS_API_STRUCT *api, worker *w, task *t1, task *t2, task *t3)
{
  char *top = w->numstack_top;
  int32_t d = t1->dur;
  int32_t A = std::max(limited_lst(api, w, t2, task_lst(t3)), limited_lst(api, w, t3, task_lst(t2)));
  int32_t E = std::min(limited_ect(api, w, t3, task_ect(t2)), limited_ect(api, w, t2, task_ect(t3)));
  TAGGED S = neither_set(api, w, A, E, d);
  if (S == atom_nil) {
    numstack_trim(w, top);
    return 0;
  }
  S = split_keep(api, w, S, task_ect(t2), task_lst(t3), d);
  S = split_keep(api, w, S, task_ect(t3), task_lst(t2), d);
  return prune_or_trim(api, w, t1, S, top);
}

int unary_filtering_sub_4(ORVALIS_API_STRUCT *api, worker *w, task *t1, task *t2, task *t3,
                          task *t4)
{
  char *top = w->numstack_top;
  int32_t d = t1->dur;
  task *o[3] = {t2, t3, t4};
  int32_t LL[3][3], LE[3][3];
  for (int x = 0; x < 3; x++)
    for (int y = 0; y < 3; y++)
      if (x != y) {
        LL[x][y] = limited_lst(api, w, o[x], task_lst(o[y]));
        LE[y][x] = limited_ect(api, w, o[y], task_ect(o[x]));
      }
  static const int perm[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
  int32_t A = SCHED_INF, E = SCHED_SUP;
  for (const int *p : perm) {
    A = std::max(A, limited_lst(api, w, o[p[0]], LL[p[1]][p[2]]));
    E = std::min(E, limited_ect(api, w, o[p[2]], LE[p[1]][p[0]]));
  }
  TAGGED S = neither_set(api, w, A, E, d);
  for (int x = 0; x < 3 && S != atom_nil; x++) {
    int y = (x + 1) % 3, z = (x + 2) % 3;
    S = split_keep(api, w, S, task_ect(o[x]), std::max(LL[y][z], LL[z][y]), d);
  }
  for (int x = 0; x < 3 && S != atom_nil; x++) {
    int y = (x + 1) % 3, z = (x + 2) % 3;
    S = split_keep(api, w, S, std::min(LE[y][z], LE[z][y]), task_lst(o[x]), d);
  }
  return prune_or_trim(api, w, t1, S, top);
}

/* ---- the general algorithm ---- */

namespace {

struct unary_run {
  ORVALIS_API_STRUCT *api;
  worker *w;
  unary_data *u;
  task *ts;
  int n;
  theta_lambda_tree tree;

  int32_t lst(int i) const { return task_lst(&ts[i]); }
  int32_t ect(int i) const { return task_ect(&ts[i]); }
  bool obl(int i) const { return ts[i].enable == TASK_PRESENT; }
  int erank(int i) const { return ts[i].est_rank; }
  int lrank(int i) const { return ts[i].lct_rank; }
  int of(task *t) const { return (int)(t - ts); }

  /* Events (key, task) sorted ascending. */
  event *events(int64_t (*key_a)(const task *), int64_t (*key_b)(const task *))
  {
    event *e = u->events;
    for (int i = 0; i < n; i++) {
      e[2 * i] = {key_a(&ts[i]), (uint32_t)i};
      e[2 * i + 1] = {key_b(&ts[i]), (uint32_t)i};
    }
    fd_qsort(api, e, 2 * (size_t)n, [](const event *a, const event *b) {
      if (a->key != b->key) return a->key < b->key ? -1 : 1;
      return a->value < b->value ? -1 : a->value > b->value ? 1 : 0;
    });
    return e;
  }

  /* Switches off the gray tasks that would make obligatory t impossible: forward (est order)
   * when the completion of theta without t plus one gray task passes lst(t). */
  void gray_off_forward(int t)
  {
    for (;;) {
      int g;
      int64_t v = tlt_del_element_ect(&tree, erank(t), &g);
      if (v <= lst(t) || g < 0) return;
      tlt_remove(&tree, g);
      u->est_rank[g]->enable = TASK_ABSENT;
    }
  }
  void gray_off_backward(int t)
  {
    for (;;) {
      int g;
      int64_t v = -tlt_del_element_ect(&tree, lrank(t), &g);
      if (v >= ect(t) || g < 0) return;
      tlt_remove(&tree, g);
      u->lct_rank[g]->enable = TASK_ABSENT;
    }
  }
  void place_forward(int i) { tlt_place(&tree, erank(i), ts[i].est, ts[i].dur, obl(i) ? 1 : 2); }
  void place_backward(int i)
  {
    tlt_place(&tree, lrank(i), -(int64_t)ts[i].lct, ts[i].dur, obl(i) ? 1 : 2);
  }

  /* The last two obligatory tasks placed, and a value of each. */
  struct last_two {
    int a = -1, b = -1;
    int32_t va = 0, vb = 0;
    void push(int i, int32_t v) { b = a, vb = va, a = i, va = v; }
    bool other(int t) const { return (a >= 0 && a != t) || b >= 0; }
    int32_t value_other(int t) const { return a != t ? va : vb; }
  };

  /* lb[t] := max(lb[t], v); 2 when that leaves no start for an obligatory t, 1 for an optional
   * one (skip it), else 0. */
  int raise(int t, int64_t v)
  {
    if (v > u->lb[t]) u->lb[t] = clamp32(v);
    if (v > lst(t)) return obl(t) ? 2 : 1;
    return 0;
  }
  int lower(int t, int64_t v)
  {
    if (v < u->ub[t]) u->ub[t] = clamp32(v);
    if (v < ect(t)) return obl(t) ? 2 : 1;
    return 0;
  }

  bool detectable_precedences()
  {
    event *e = events([](const task *t) { return 2 * (int64_t)task_ect(t); },
                      [](const task *t) { return 2 * (int64_t)task_lst(t) + 1; });
    tlt_clear(&tree);
    last_two last;
    for (int k = 0; k < 2 * n; k++) {
      int i = (int)e[k].value;
      if (e[k].key & 1) {
        place_forward(i);
        if (obl(i)) last.push(i, 0);
        continue;
      }
      if (last.other(i)) {
        int r = raise(i, tt_del_element_ect(&tree, erank(i)));
        if (r == 2) return false;
        if (r == 1) continue;
      }
      if (obl(i)) gray_off_forward(i);
    }
    tlt_clear(&tree);
    last = last_two();
    for (int k = 2 * n - 1; k >= 0; k--) {
      int i = (int)e[k].value;
      if (!(e[k].key & 1)) {
        place_backward(i);
        if (obl(i)) last.push(i, 0);
        continue;
      }
      if (last.other(i)) {
        int r = lower(i, -tt_del_element_ect(&tree, lrank(i)));
        if (r == 2) return false;
        if (r == 1) continue;
      }
      if (obl(i)) gray_off_backward(i);
    }
    return true;
  }

  bool not_last()
  {
    event *e = events([](const task *t) { return 2 * (int64_t)t->lct; },
                      [](const task *t) { return 2 * (int64_t)task_lst(t) + 1; });
    tlt_clear(&tree);
    last_two last;
    int64_t L = NEG;
    for (int k = 0; k < 2 * n; k++) {
      int i = (int)e[k].value;
      if (e[k].key & 1) {
        place_forward(i);
        L = lst(i);
        if (obl(i)) last.push(i, lst(i));
        continue;
      }
      if (last.other(i) && tt_del_element_ect(&tree, erank(i)) > lst(i)) {
        int r = lower(i, last.value_other(i));
        if (r == 2) return false;
        if (r == 1) continue;
      }
      if (obl(i) && L < ect(i)) gray_off_forward(i);
    }
    return true;
  }

  bool not_first()
  {
    event *e = events([](const task *t) { return 2 * (int64_t)t->est + 1; },
                      [](const task *t) { return 2 * (int64_t)task_ect(t); });
    tlt_clear(&tree);
    last_two last;
    int64_t R = POS;
    for (int k = 2 * n - 1; k >= 0; k--) {
      int i = (int)e[k].value;
      if (!(e[k].key & 1)) {
        place_backward(i);
        R = ect(i);
        if (obl(i)) last.push(i, ect(i));
        continue;
      }
      if (last.other(i) && -tt_del_element_ect(&tree, lrank(i)) < ect(i)) {
        int r = raise(i, last.value_other(i));
        if (r == 2) return false;
        if (r == 1) continue;
      }
      if (obl(i) && R > lst(i)) gray_off_backward(i);
    }
    return true;
  }

  /* Edge finding over the obligatory tasks; sets the set's earliest completion / latest start. */
  bool edge_finding(bool forward, int32_t *bound)
  {
    tlt_clear(&tree);
    task **order = forward ? u->lct_rank : u->est_rank; /* latest deadline first */
    int m = 0;
    for (int r = 0; r < n; r++) {
      task *t = (forward ? u->est_rank : u->lct_rank)[r];
      if (t->enable != TASK_PRESENT) continue;
      if (forward)
        tlt_set(&tree, r, t->est, t->dur, 1);
      else
        tlt_set(&tree, r, -(int64_t)t->lct, t->dur, 1);
    }
    tlt_bottom_up(&tree);
    theta_lambda_node *root = &tree.node[1];
    *bound = forward ? clamp32(root->ECT) : clamp32(-root->ECT);
    int *obls = (int *)u->degree; /* scratch: the obligatory tasks in deadline order */
    for (int r = 0; r < n; r++)
      if (order[r]->enable == TASK_PRESENT) obls[m++] = of(order[r]);
    for (int k = 0; k + 1 < m; k++) {
      int i = obls[k], j = obls[k + 1];
      int rank = forward ? erank(i) : lrank(i);
      tlt_place(&tree, rank, forward ? ts[i].est : -(int64_t)ts[i].lct, ts[i].dur, 2);
      int64_t deadline = forward ? ts[j].lct : -(int64_t)ts[j].est;
      if (root->ECT > deadline) return false;
      while (root->lECT > deadline && root->grayECT >= 0) {
        int g = of((forward ? u->est_rank : u->lct_rank)[root->grayECT]);
        if (forward ? raise(g, root->ECT) == 2 : lower(g, -root->ECT) == 2) return false;
        tlt_remove(&tree, forward ? erank(g) : lrank(g));
      }
    }
    return true;
  }
};

int unary_apply(ORVALIS_API_STRUCT *api, unary_data *u)
{
  int r = 0;
  for (int i = 0; i < u->nbtasks && r < 2; i++) {
    task *t = &u->tasks[i];
    int32_t lb = u->lb[i], ub = u->ub[i];
    switch (t->enable) {
    case TASK_OPTIONAL:
      if ((int64_t)ub - lb >= (int64_t)t->lctmax - task_lst(t)) break;
      t->est = lb, t->lctmax = ub, t->lct = std::min(t->lct, ub);
      r |= t->propagate(api, t);
      break;
    case TASK_PRESENT:
      if (lb <= t->est && ub >= t->lctmax) break;
      t->est = lb, t->lctmax = ub, t->lct = std::min(t->lct, ub);
      r |= tell_task(api, t);
      break;
    case TASK_ABSENT: r |= t->propagate(api, t); break;
    default: break;
    }
  }
  return r;
}

/* est_rank by ascending est, lct_rank by descending lct, from the records as they are now; each
 * task told its ranks. */
void sort_ranks(ORVALIS_API_STRUCT *api, unary_data *u, int n)
{
  fd_qsort(api, u->est_rank, (size_t)n, [](task *const *a, task *const *b) {
    if ((*a)->est != (*b)->est) return (*a)->est < (*b)->est ? -1 : 1;
    return *a < *b ? -1 : *a > *b ? 1 : 0;
  });
  fd_qsort(api, u->lct_rank, (size_t)n, [](task *const *a, task *const *b) {
    if ((*a)->lct != (*b)->lct) return (*a)->lct > (*b)->lct ? -1 : 1;
    return *a < *b ? -1 : *a > *b ? 1 : 0;
  });
  for (int r = 0; r < n; r++) {
    u->est_rank[r]->est_rank = r;
    u->lct_rank[r]->lct_rank = r;
  }
}

/* Records that task i precedes task j in the n x n matrix (with transitive closure): false when
 * that contradicts the windows or the recorded order. Only obligatory pairs are recorded. */
bool add_precedence(unary_run *run, int i, int j, uint8_t *m)
{
  int n = run->n;
  if (m[i * n + j]) return true;
  if (!run->obl(i) || !run->obl(j)) return true;
  if (run->ect(j) > run->lst(i)) return true;
  if (run->ect(i) > run->lst(j) || m[j * n + i]) return false;
  m[i * n + j] = 1;
  for (int k = 0; k < n; k++) {
    if (k != i && !m[k * n + i]) continue;
    for (int l = 0; l < n; l++)
      if ((l == j || m[j * n + l]) && k != l) m[k * n + l] = 1;
  }
  return true;
}

int32_t bound_l(TAGGED t) { return untagged(t); }

/* Precedence reasoning over the pairs: the bits to OR into the result. */
int precedences(unary_run *run, dvar *diffvar, const diff_constraint *dc, int nbdiffs)
{
  ORVALIS_API_STRUCT *api = run->api;
  unary_data *u = run->u;
  int n = run->n;
  auto *m = (uint8_t *)fd_malloc(api, (size_t)n * (size_t)n + 1);
  std::memset(m, 0, (size_t)n * (size_t)n);
  auto index = [&](int32_t id) { return id >= 0 && id < u->nbtotal ? u->id_map[id] : -1; };
  bool added = false;
  int r = 0;
  for (int k = 0; k < nbdiffs; k++) {
    int i = index(dc[k].si), j = index(dc[k].sj);
    if (i < 0 || j < 0) continue;
    dvar *D = &diffvar[k];
    if (bound_l(D->min) > -(run->obl(j) ? run->ts[j].dur : 0)) {
      if (!add_precedence(run, i, j, m)) r = 2;
      added = true;
    }
    if (r < 2 && bound_l(D->max) < (run->obl(i) ? run->ts[i].dur : 0)) {
      if (!add_precedence(run, j, i, m)) r = 2;
      added = true;
    }
    if (r >= 2) break;
  }
  if (r < 2 && added) {
    /* the chains are scheduled in order of the starts as they are now: the bounds just written
     * back (or a record behind its variable) may have reordered them since the sort */
    sort_ranks(api, u, n);
    for (int i = 0; i < n; i++) {
      if (run->ts[i].enable == TASK_ABSENT) continue;
      int64_t c = FD_INF_L;
      for (int q = 0; q < n; q++) {
        int j = run->of(u->est_rank[q]);
        if (j == i || !run->obl(j)) continue;
        if (m[j * n + i] || run->ect(i) > run->lst(j))
          c = std::max(c, (int64_t)run->ts[j].est) + run->ts[j].dur;
      }
      if (c > u->lb[i]) u->lb[i] = clamp32(c);
      c = FD_SUP_L;
      for (int q = 0; q < n; q++) {
        int j = run->of(u->lct_rank[q]);
        if (j == i || !run->obl(j)) continue;
        if (m[i * n + j] || run->ect(j) > run->lst(i))
          c = std::min(c, (int64_t)run->ts[j].lct) - run->ts[j].dur;
      }
      if (c < u->ub[i]) u->ub[i] = clamp32(c);
    }
  }
  for (int k = 0; k < nbdiffs && r < 2; k++) {
    int i = index(dc[k].si), j = index(dc[k].sj);
    if (i < 0 || j < 0 || !run->obl(i) || !run->obl(j)) continue;
    dvar *D = &diffvar[k];
    int mask = 0;
    if (run->ect(j) > run->lst(i)) mask = dvar_fix_interval_t(D, MakeSmall(run->ts[i].dur), atom_sup);
    if (mask >= 0 && run->ect(i) > run->lst(j))
      mask |= dvar_fix_interval_t(D, atom_inf, MakeSmall(-run->ts[j].dur));
    if (mask < 0)
      r |= 2;
    else if (mask > 0)
      r |= 1;
  }
  QX_free(m);
  return r | unary_apply(run->api, u);
}

}  // namespace

int unary_filtering_general(ORVALIS_API_STRUCT *api, worker *w, task *tasks, int n, int nbtotal,
                            int flags, dvar *diffvar, const diff_constraint *dc, int nbdiffs,
                            int32_t *lst_out, int32_t *ect_out, size_mem *held)
{
  *lst_out = SCHED_SUP;
  *ect_out = SCHED_INF;
  if (n < 1) return 0;
  if (n == 1 && (flags & 8)) {
    *lst_out = task_lst(tasks);
    *ect_out = task_ect(tasks);
    return 0;
  }
  unary_data *u = unary_alloc(api, w, tasks, n, nbtotal, flags, held);
  unary_run run{api, w, u, tasks, n, {u->tree, u->tt_map, n}};
  for (int i = 0; i < n; i++) {
    u->lb[i] = tasks[i].est;
    u->ub[i] = tasks[i].lctmax; /* every rule lowers it with a bound on the real end */
    u->est_rank[i] = u->lct_rank[i] = &tasks[i];
  }
  tt_init_inorder(u->tt_map, n);
  sort_ranks(api, u, n);
  int result;
  if (!run.detectable_precedences() || !run.not_last() || !run.not_first() ||
      !run.edge_finding(true, ect_out) || !run.edge_finding(false, lst_out)) {
    result = 2;
  } else {
    result = unary_apply(api, u);
    if (result == 0 && nbdiffs > 0) result = precedences(&run, diffvar, dc, nbdiffs);
  }
  fd_perm_free2(api, u, held);
  return result;
}

int unary_filtering(ORVALIS_API_STRUCT *api, worker *w, task *tasks, int n, int nbtotal, int flags,
                    dvar *diffvar, const diff_constraint *dc, int nbdiffs, int32_t *lst_out,
                    int32_t *ect_out, size_mem *held)
{
  bool exact = (flags & 8) && nbdiffs <= 0;
  /* the exact rules treat every task as present */
  for (int i = 0; exact && i < n; i++) exact = tasks[i].enable == TASK_PRESENT;
  if (!exact)
    return unary_filtering_general(api, w, tasks, n, nbtotal, flags, diffvar, dc, nbdiffs,
                                   lst_out, ect_out, held);
  int32_t fixed_est = SCHED_SUP, fixed_ect = SCHED_INF;
  task *open[4];
  int k = 0;
  for (int i = 0; i < n; i++) {
    task *t = &tasks[i];
    if (task_fixed(t)) {
      fixed_est = std::min(fixed_est, t->est);
      fixed_ect = std::max(fixed_ect, task_ect(t));
    } else {
      open[k++ % 4] = t;
    }
  }
  if (k >= 5)
    return unary_filtering_general(api, w, tasks, n, nbtotal, flags, diffvar, dc, nbdiffs,
                                   lst_out, ect_out, held);
  int r = 0;
  for (int i = 0; i < k; i++)
    if (k > 1) open[i]->refresh(api, open[i], w);
  char *top = w->numstack_top;
  if (k == 2) {
    task *a = open[0], *b = open[1];
    r = unary_prune_interval(api, a, clamp32((int64_t)task_lst(b) - a->dur + 1),
                             clamp32((int64_t)task_ect(b) - 1), w);
    if (r < 2)
      r |= unary_prune_interval(api, b, clamp32((int64_t)task_lst(a) - b->dur + 1),
                                clamp32((int64_t)task_ect(a) - 1), w);
    if (r == 0) numstack_trim(w, top);
  } else if (k == 3) {
    for (int i = 0; i < 3 && r < 2; i++)
      r |= unary_filtering_sub_3(api, w, open[i], open[(i + 1) % 3], open[(i + 2) % 3]);
  } else if (k == 4) {
    for (int i = 0; i < 4 && r < 2; i++)
      r |= unary_filtering_sub_4(api, w, open[i], open[(i + 1) % 4], open[(i + 2) % 4],
                                 open[(i + 3) % 4]);
  }
  int32_t lst = SCHED_SUP, ect = SCHED_INF;
  unary_lst_ect(open, k, &lst, &ect);
  *lst_out = std::min(fixed_est, lst);
  *ect_out = std::max(fixed_ect, ect);
  return r;
}

/* ---- task intervals ---- */

namespace {

bool ti_open(const task *t) { return t->enable == TASK_PRESENT && (int64_t)t->lct - t->est > t->dur; }
int64_t area(const task *t) { return (int64_t)t->dur * t->res; }

/* Sorted unique values of key over the obligatory tasks into out: their count. */
int unique_times(ORVALIS_API_STRUCT *api, unary_data *u, int32_t *out, int32_t (*key)(const task *))
{
  int m = 0;
  for (int k = 0; k < u->nbobltasks; k++) out[m++] = key(&u->tasks[u->obltasks[k]]);
  fd_qsort(api, out, (size_t)m, [](const int32_t *a, const int32_t *b) { return *a < *b ? -1 : *a > *b ? 1 : 0; });
  int q = 0;
  for (int k = 0; k < m; k++)
    if (q == 0 || out[q - 1] != out[k]) out[q++] = out[k];
  return q;
}

/* Keeps interval (a, b) unless the last kept one dominates it; it may replace that one. */
void keep_interval(unary_data *u, int32_t a, int32_t b, int64_t minslack, int64_t maxslack, int64_t limit)
{
  int cap = u->nbtasks * u->nbtasks;
  if (u->nbti > 0) {
    task_interval *p = &u->ti[u->nbti - 1];
    if (p->a == a && p->b <= b && ((int64_t)p->b - p->a - ((int64_t)b - a)) * limit >= p->maxslack - maxslack)
      return;
    if (b <= p->b && maxslack - p->maxslack <= ((int64_t)b - a + p->a - p->b) * limit) {
      *p = {a, b, minslack, maxslack};
      return;
    }
  }
  if (u->nbti < cap) u->ti[u->nbti++] = {a, b, minslack, maxslack};
}

/* Collects the task intervals from the release date a: false on overload. */
bool intervals_from(ORVALIS_API_STRUCT *api, unary_data *u, int32_t a, const int32_t *lcts, int nl,
                    bool first, int64_t limit_min, int64_t limit_max)
{
  event *ev = u->events;
  int ne = 0;
  int32_t blast = SCHED_INF;
  for (int k = 0; k < nl; k++) {
    if (lcts[k] <= a || (first && k == nl - 1)) continue;
    ev[ne++] = {8 * (int64_t)lcts[k], 0};
    blast = lcts[k];
  }
  if (ne == 0) return true;
  int64_t maxarea = 0, rmin = 0, omin = 0, rmax = 0, omax = 0, end = 8 * (int64_t)blast;
  auto add = [&](int64_t date, int kind, int t) {
    if (8 * date + kind < end) ev[ne++] = {8 * date + kind, (uint32_t)t};
  };
  for (int k = 0; k < u->nbobltasks; k++) {
    int i = u->obltasks[k];
    const task *t = &u->tasks[i];
    if (ti_open(t) && t->lct > a) maxarea = std::max(maxarea, area(t));
    int64_t ect = task_ect(t), lst = task_lst(t);
    if (ect > a) { /* the least energy in [a, b) grows from lst (or a) for m units */
      int64_t m = std::min<int64_t>(t->dur, ect - a);
      if (a < lst) {
        add(lst, 1, i), add(lst + m, 2, i);
      } else {
        rmin += t->res, add(a + m, 2, i);
      }
    }
    if (t->lct > a) { /* the greatest energy grows from est (or a) for M units */
      int64_t M = std::min<int64_t>(t->dur, (int64_t)t->lct - a);
      if (a < t->est) {
        add(t->est, 3, i), add(t->est + M, 4, i);
      } else {
        rmax += t->res, add(a + M, 4, i);
      }
    }
  }
  fd_qsort(api, ev, (size_t)ne, [](const event *x, const event *y) {
    if (x->key != y->key) return x->key < y->key ? -1 : 1;
    return x->value < y->value ? -1 : x->value > y->value ? 1 : 0;
  });
  for (int k = 0; k < ne; k++) {
    int64_t date = ev[k].key >> 3, res = u->tasks[ev[k].value].res;
    switch (ev[k].key & 7) {
    case 0: {
      int64_t len = date - a;
      int64_t maxslack = limit_max * len - (rmin * len + omin);
      int64_t minslack = limit_min * len - (rmax * len + omax);
      if (maxslack < 0) return false;
      if ((u->flags & 8) && minslack > u->slack) return false;
      if (maxslack < maxarea) keep_interval(u, a, (int32_t)date, minslack, maxslack, limit_max);
      break;
    }
    case 1: rmin += res, omin -= res * (date - a); break;
    case 2: rmin -= res, omin += res * (date - a); break;
    case 3: rmax += res, omax -= res * (date - a); break;
    default: rmax -= res, omax += res * (date - a); break;
    }
  }
  return true;
}

/* The upward (end bound) and downward (start bound) passes of the kept intervals. */
int ti_pass(ORVALIS_API_STRUCT *api, unary_data *u, bool up)
{
  int root = ti_build(api, u, up), r = 0;
  for (int k = 0; k < u->nbti && r < 2; k++) {
    const task_interval &iv = u->ti[k];
    ti_query(u, root, up, iv.a, iv.b, iv.maxslack, [&](int i) {
      task *t = &u->tasks[i];
      int64_t e = min_overlap(t, iv.a, iv.b) + iv.maxslack, res = t->res;
      if (up) {
        int64_t at_lst = (std::min<int64_t>(t->lct, iv.b) - std::max<int64_t>(task_lst(t), iv.a)) * res;
        if (e >= at_lst || e >= ((int64_t)t->lct - iv.a) * res) return true;
        t->lctmax = std::min(t->lctmax, clamp32(iv.a + e / res));
        t->lct = std::min(t->lct, t->lctmax);
      } else {
        int64_t at_est = (std::min<int64_t>(task_ect(t), iv.b) - std::max<int64_t>(t->est, iv.a)) * res;
        if (e >= at_est || e >= ((int64_t)iv.b - t->est) * res) return true;
        t->est = std::max(t->est, clamp32(iv.b - e / res));
        t->lct = std::min(t->lct, t->lctmax);
      }
      r |= tell_task(api, t);
      return r < 2;
    });
  }
  return r;
}

/* With every duration and height fixed: a task whose absence from [a, b) would waste more than
 * the overall slack must overlap it. */
int ti_overlap_pass(ORVALIS_API_STRUCT *api, unary_data *u)
{
  int r = 0;
  for (int k = 0; k < u->nbti && r < 2; k++) {
    const task_interval &iv = u->ti[k];
    for (int q = 0; q < u->nbobltasks && r < 2; q++) {
      task *t = &u->tasks[u->obltasks[q]];
      if (!ti_open(t) || t->lct <= iv.a || t->est >= iv.b || t->res < 1) continue;
      int64_t side = std::min<int64_t>((int64_t)t->lct - iv.a, (int64_t)iv.b - t->est);
      int64_t o = side > 0 ? std::min({(int64_t)iv.b - iv.a, (int64_t)t->dur, side}) : 0;
      int64_t need = iv.minslack - u->slack + o * t->res;
      if (need > 0) r |= must_overlap_at_least(api, t, clamp32((need + t->res - 1) / t->res), iv.a, iv.b);
    }
  }
  return r;
}

}  // namespace

int ti_build(ORVALIS_API_STRUCT *api, unary_data *u, bool up)
{
  int32_t *ids = u->ti_tasks;
  int m = 0;
  for (int k = 0; k < u->nbobltasks; k++)
    if (ti_open(&u->tasks[u->obltasks[k]])) ids[m++] = u->obltasks[k];
  u->nbti_tasks = m;
  if (m == 0) return -1;
  const task *ts = u->tasks;
  auto keys = [&](int i, int64_t out[5]) {
    const task *t = &ts[i];
    out[0] = up ? t->est : t->lct;
    out[1] = up ? t->lct : t->est;
    out[2] = up ? task_lst(t) : task_ect(t);
    out[3] = area(t);
    out[4] = i;
  };
  /* ascending on levels where the query keeps small keys, descending elsewhere */
  const bool ascending[5] = {up, !up, up, false, true};
  fd_qsort(api, ids, (size_t)m, [&](const int32_t *x, const int32_t *y) {
    int64_t kx[5], ky[5];
    keys(*x, kx), keys(*y, ky);
    for (int l = 0; l < 5; l++)
      if (kx[l] != ky[l]) return (kx[l] < ky[l]) == ascending[l] ? -1 : 1;
    return 0;
  });
  ti_node *nd = u->ti_index;
  for (int p = 0; p < m; p++) {
    int64_t k[5];
    keys(ids[p], k);
    for (int l = 0; l < 5; l++) nd[5 * p + l] = {k[l], l < 4 ? 5 * p + l + 1 : -1, -1};
    if (p + 1 < m) nd[5 * p].next = 5 * (p + 1);
  }
  /* a node absorbs its next sibling of equal key (children appended), from the back */
  for (int l = 0; l < 4; l++)
    for (int p = m - 2; p >= 0; p--) {
      int x = 5 * p + l, y = nd[x].next;
      if (y < 0 || nd[y].key != nd[x].key) continue;
      int tail = nd[x].val;
      while (nd[tail].next >= 0) tail = nd[tail].next;
      nd[tail].next = nd[y].val;
      nd[x].next = nd[y].next;
    }
  return 0;
}

int fd_task_intervals(ORVALIS_API_STRUCT *api, worker *w, unary_data *u, int32_t limit_min,
                      int32_t limit_max)
{
  (void)w;
  u->nbobltasks = 0;
  u->nbti = 0;
  for (int i = 0; i < u->nbtasks; i++)
    if (u->tasks[i].enable == TASK_PRESENT) u->obltasks[u->nbobltasks++] = i;
  if (u->nbobltasks < 3) return 0;
  int ne = unique_times(api, u, u->est, [](const task *t) { return t->est; });
  int nl = unique_times(api, u, u->lct, [](const task *t) { return t->lct; });
  for (int k = 0; k < ne; k++)
    if (!intervals_from(api, u, u->est[k], u->lct, nl, k == 0, limit_min, limit_max)) return 2;
  if (u->nbti == 0) return 0;
  int r = ti_pass(api, u, true);
  if (r < 2) r |= ti_pass(api, u, false);
  if (r < 2 && (u->flags & 8)) r |= ti_overlap_pass(api, u);
  return r;
}

/* ---- knapsack columns ---- */

knapsack_hooks fd_knapsack_hooks;

uint32_t knapsack_cache_size(int n, int32_t limit)
{
  double want = (double)std::max(n, 0) * std::max(limit, 0) * std::sqrt((double)std::max(limit, 0));
  uint32_t cap = std::max<uint32_t>(fd_knapsack_hooks.cap, 1);
  if (!(want >= 1)) return 1;
  return want >= cap ? cap : (uint32_t)want;
}

namespace {

constexpr int K_RIGHT = 1, K_LEFT = 2, K_BOTH = 4, K_NEITHER = 8;

/* Which placements t's start domain allows relative to the columns at border b. */
int column_class(ORVALIS_API_STRUCT *api, worker *w, task *t, int32_t b)
{
  int64_t d = t->dur, lst = task_lst(t);
  bool interval = t->is_interval(api, t);
  TAGGED set = interval ? 0 : t->set(api, t, w);
  auto meets = [&](int64_t lo, int64_t hi) {
    if (interval) return std::max<int64_t>(lo, t->est) <= std::min(hi, lst);
    lo = std::max<int64_t>(lo, QX_SMALL_MIN), hi = std::min<int64_t>(hi, QX_SMALL_MAX);
    return lo <= hi && fd_compare_interval(set, MakeSmall((int32_t)lo), MakeSmall((int32_t)hi)) != 4;
  };
  int c = 0;
  if (meets(b, b)) c |= K_RIGHT;
  if (meets(b - d, b - d)) c |= K_LEFT;
  if (d >= 2 && meets(b - d + 1, b - 1)) c |= K_BOTH;
  if (t->est < b - d || lst > b) c |= K_NEITHER;
  return c;
}

struct knapsack {
  unary_data *u;
  int64_t limit, lslack, rslack, sslack;

  bool eval(int next, int32_t sofarl, int32_t sofarr)
  {
    if (sofarl > limit || sofarr > limit) return false;
    int64_t tl = limit - lslack, tr = limit - rslack, ts = 2 * limit - sslack;
    if (next == u->ncand) return sofarl >= tl && sofarr >= tr && (int64_t)sofarl + sofarr >= ts;
    int64_t rest = u->sumres[next];
    if (sofarl + rest < tl || sofarr + rest < tr || (int64_t)sofarl + sofarr + 2 * rest < ts) return false;
    bucket *bk = nullptr;
    int32_t key = 8 * next;
    if (fd_knapsack_hooks.cache) {
      uint32_t x = (uint32_t)sofarl ^ (uint32_t)sofarr;
      uint32_t at = (((uint32_t)key ^ x) + ((((uint32_t)sofarr << 7) + x) << 7) + 4096u) % u->hashsize;
      bk = &u->cache[at];
      if (bk->stamp == u->stamp && (bk->nextlr & ~1) == key && bk->sofarl == sofarl && bk->sofarr == sofarr)
        return bk->nextlr & 1;
    }
    task *t = &u->tasks[u->cand[next]];
    int32_t h = t->res, c = (t->support >> 8) & 15;
    bool ok = false;
    auto attempt = [&](int bit, int32_t l, int32_t r) {
      if ((c & bit) && eval(next + 1, l, r)) t->support |= bit, ok = true;
    };
    attempt(K_BOTH, sofarl + h, sofarr + h);
    if (!ok || next < u->nbrelevant) {
      attempt(K_RIGHT, sofarl, sofarr + h);
      if (!ok || next < u->nbrelevant) attempt(K_LEFT, sofarl + h, sofarr);
      if (!ok || next < u->nbrelevant) attempt(K_NEITHER, sofarl, sofarr);
    }
    /* trailing candidates with every placement supported have nothing more to learn */
    if (fd_knapsack_hooks.shrink && next + 1 == u->nbrelevant)
      while (u->nbrelevant > 0) {
        const task *q = &u->tasks[u->cand[u->nbrelevant - 1]];
        if ((q->support & 15) != ((q->support >> 8) & 15)) break;
        u->nbrelevant--;
      }
    if (bk) *bk = {u->stamp, key | (ok ? 1 : 0), sofarl, sofarr};
    return ok;
  }
};

}  // namespace

int prune_from_support(ORVALIS_API_STRUCT *api, task *t, int support, int32_t b, worker *w)
{
  int s = support & 15, c = (support >> 8) & 15;
  if (s == c || s == 15 || s == 0) return 0;
  int64_t d = t->dur;
  auto bounds = [&](int64_t lo, int64_t hi) {
    t->est = std::max(t->est, clamp32(lo));
    t->lctmax = std::min(t->lctmax, clamp32(hi));
    t->lct = std::min(t->lct, t->lctmax);
    return tell_task(api, t);
  };
  auto drop = [&](int64_t lo, int64_t hi) { return unary_prune_interval(api, t, clamp32(lo), clamp32(hi), w); };
  int r;
  switch (s) {
  case 1: return bounds(b, b + d);
  case 2: return bounds(b - d, b);
  case 3:
    r = bounds(b - d, b + d);
    return r < 2 && (c & K_BOTH) ? r | drop(b - d + 1, b - 1) : r;
  case 4: return bounds(b - d + 1, b + d - 1);
  case 5: return bounds(b - d + 1, b + d);
  case 6: return bounds(b - d, b + d - 1);
  case 7: return bounds(b - d, b + d);
  case 8: return drop(b - d, b);
  case 9: return drop(b - d, b - 1);
  case 10: return drop(b - d + 1, b);
  case 11: return drop(b - d + 1, b - 1);
  case 12:
    r = drop(b, b);
    return r < 2 ? r | drop(b - d, b - d) : r;
  case 13: return drop(b - d, b - d);
  default: return drop(b, b);
  }
}

int knapsack_column_main(ORVALIS_API_STRUCT *api, worker *w, unary_data *u, int32_t b,
                         int32_t limit, int32_t lslack, int32_t rslack, int32_t sslack)
{
  int n = u->nbtasks;
  if (!u->cache) {
    u->hashsize = knapsack_cache_size(n, limit);
    u->cache = (bucket *)fd_malloc(api, sizeof(bucket) * u->hashsize);
    std::memset(u->cache, 0, sizeof(bucket) * u->hashsize);
  }
  u->stamp++; /* answers of earlier columns are dead */
  u->cand = (int32_t *)fd_temp_alloc(api, w, sizeof(int32_t) * (size_t)(2 * n + 1));
  u->sumres = u->cand + n;
  int32_t sofarl = 0, sofarr = 0;
  u->ncand = 0;
  for (int i = 0; i < n; i++) {
    task *t = &u->tasks[i];
    if (t->enable != TASK_PRESENT || t->res < 1) continue;
    int c = column_class(api, w, t, b);
    t->support = c * 257;
    if (c == 0) return 2; /* no start left */
    if (c == K_LEFT || c == K_BOTH) sofarl += t->res;
    if (c == K_RIGHT || c == K_BOTH) sofarr += t->res;
    if (c != K_LEFT && c != K_RIGHT && c != K_BOTH && c != K_NEITHER) {
      u->cand[u->ncand++] = i;
      t->support &= 0xff00;
    }
  }
  const task *ts = u->tasks;
  fd_qsort(api, u->cand, (size_t)u->ncand, [ts](const int32_t *x, const int32_t *y) {
    if (ts[*x].res != ts[*y].res) return ts[*x].res > ts[*y].res ? -1 : 1;
    return *x < *y ? -1 : *x > *y ? 1 : 0;
  });
  u->sumres[u->ncand] = 0;
  for (int k = u->ncand - 1; k >= 0; k--) u->sumres[k] = u->sumres[k + 1] + ts[u->cand[k]].res;
  /* every combination fills both columns within the targets and the limit: all supported */
  int64_t all = u->sumres[0];
  if (sofarl >= (int64_t)limit - lslack && sofarr >= (int64_t)limit - rslack &&
      (int64_t)sofarl + sofarr >= 2 * (int64_t)limit - sslack && sofarl + all <= limit &&
      sofarr + all <= limit) {
    for (int k = 0; k < u->ncand; k++) u->tasks[u->cand[k]].support |= (u->tasks[u->cand[k]].support >> 8) & 15;
    return 0;
  }
  u->nbrelevant = u->ncand;
  knapsack k{u, limit, lslack, rslack, sslack};
  if (!k.eval(0, sofarl, sofarr)) return 2;
  int r = 0;
  for (int q = 0; q < u->ncand && r < 2; q++) {
    task *t = &u->tasks[u->cand[q]];
    r |= prune_from_support(api, t, t->support, b, w);
  }
  return r;
}

/* ---- parallel conflict on the profile ---- */

int parallel_conflict(ORVALIS_API_STRUCT *api, worker *w, unary_data *u, const comppart *cp,
                      int32_t limit)
{
  int n = u->nbtasks;
  int64_t lo = INT64_MAX, hi = INT64_MIN;
  std::vector<lhs> tab; /* tasks without compulsory part: duration, height, index */
  for (int i = 0; i < n; i++) {
    const task *t = &u->tasks[i];
    lo = std::min<int64_t>(lo, t->est), hi = std::max<int64_t>(hi, t->lctmax);
    if (t->enable == TASK_PRESENT && task_lst(t) >= task_ect(t) && t->res > 0 && t->dur > 0)
      tab.push_back({t->dur, t->res, i});
  }
  if (tab.empty()) return 0;
  std::sort(tab.begin(), tab.end(), [](const lhs &a, const lhs &b) {
    return a.h != b.h ? a.h < b.h : a.l != b.l ? a.l < b.l : a.s < b.s;
  });
  size_t nt = tab.size();
  /* the steps below the limit within the window; their gaps merged by height (ascending), each
   * step's merged entry */
  struct step {
    int64_t begin, end, height;
    size_t entry;
  };
  std::vector<step> steps;
  for (int p = 0; cp[p].start != FD_SUP_L; p++) {
    int64_t b = std::max<int64_t>(cp[p].start, lo), e = std::min<int64_t>(cp[p + 1].start, hi);
    if (b < e && cp[p].height < limit) steps.push_back({b, e, cp[p].height, 0});
  }
  std::vector<std::pair<int64_t, int64_t>> gaps; /* gap, total length */
  for (const step &st : steps) gaps.push_back({limit - st.height, st.end - st.begin});
  std::sort(gaps.begin(), gaps.end());
  size_t ng = 0;
  for (size_t k = 0; k < gaps.size(); k++)
    if (ng > 0 && gaps[ng - 1].first == gaps[k].first)
      gaps[ng - 1].second += gaps[k].second;
    else
      gaps[ng++] = gaps[k];
  gaps.resize(ng);
  for (step &st : steps)
    st.entry = std::lower_bound(gaps.begin(), gaps.end(), std::make_pair(limit - st.height, INT64_MIN)) - gaps.begin();
  /* max_cum: prefix maxima of the tasks' surfaces (surface check) or durations (slice check);
   * sumh: per gap entry, the heights of the tasks stacked in it (slice check) */
  std::vector<int64_t> max_cum(nt), sumh(ng, 0);
  int r = 0;
  /* The shorter tasks j < i overlapping, by more than the margin allows, the steps below level
   * (the counted gaps); minh < 0: the margin is a surface, else slices (time units) and tasks
   * of height at most minh may still fit beside the stacked ones. */
  auto prune = [&](size_t i, int64_t level, int64_t minh, int64_t margin) {
    if (i == 0 || max_cum[i - 1] <= margin) return;
    std::vector<std::pair<int64_t, int64_t>> runs;
    for (size_t k = 0; k < steps.size();) {
      if (steps[k].height >= level) {
        k++;
        continue;
      }
      int64_t low = steps[k].begin, up = steps[k].end - 1;
      while (++k < steps.size() && steps[k].height < level && steps[k].begin == up + 1) up = steps[k].end - 1;
      runs.push_back({low, up});
    }
    for (size_t j = i; j-- > 0 && max_cum[j] > margin && tab[j].h > minh && r < 2;) {
      int64_t v = minh < 0 ? margin / tab[j].h + 1 : margin + 1, l = tab[j].l;
      for (size_t k = 0; k < runs.size() && r < 2; k++) {
        auto [low, up] = runs[k];
        if (v <= l && v <= up - low + 1)
          r |= unary_prune_interval(api, &u->tasks[tab[j].s], clamp32(low - l + v), clamp32(up + 1 - v), w);
      }
    }
    /* slices: a single step whose room left beside its stack is lower than task j */
    for (size_t j = i; minh >= 0 && j-- > 0 && max_cum[j] > margin && r < 2;) {
      int64_t v = margin + 1, l = tab[j].l;
      for (size_t k = 0; k < steps.size() && r < 2; k++) {
        const step &st = steps[k];
        if (st.height < level && gaps[st.entry].first - sumh[st.entry] < tab[j].h && v <= l && v <= st.end - st.begin)
          r |= unary_prune_interval(api, &u->tasks[tab[j].s], clamp32(st.begin - l + v), clamp32(st.end - v), w);
      }
    }
  };
  /* Surface check, tasks from the tallest down: the gaps that can take them against their
   * surface. */
  for (size_t i = 0; i < nt; i++)
    max_cum[i] = std::max<int64_t>(i ? max_cum[i - 1] : 0, (int64_t)tab[i].l * tab[i].h);
  int64_t available = 0, needed = 0, smallest = limit + 1;
  size_t g = ng;
  for (size_t i = nt; i-- > 0 && r < 2;) {
    for (; g > 0 && gaps[g - 1].first >= tab[i].h; g--) {
      available += gaps[g - 1].first * gaps[g - 1].second;
      smallest = gaps[g - 1].first;
    }
    needed += (int64_t)tab[i].l * tab[i].h;
    if (available < needed) return 2;
    prune(i, limit - smallest + 1, -1, available - needed);
  }
  /* Slice check, tasks from the lowest up: at any time the tasks i.. running fit in the gap, so
   * their count is at most the number of the lowest of them that stack within it (nslices); a
   * task taller than the stack of the window i..j-1 (the lowest within the largest gap G) counts
   * as h / maxh slices, which no running set can exceed. */
  for (size_t i = 0; i < nt; i++) max_cum[i] = std::max<int64_t>(i ? max_cum[i - 1] : 0, tab[i].l);
  int64_t G = ng ? gaps[ng - 1].first : 0, wh = 0, wl = 0, divisor = 0, tall = 0;
  std::vector<size_t> nslices(ng, 0);
  size_t j = 0;
  auto leave_tall = [&]() { tall -= divisor ? (tab[j].h / divisor) * tab[j].l : 0; };
  for (size_t i = 0; i < nt && r < 2; i++) {
    for (; j < i; j++) leave_tall();
    for (; j < nt && wh + tab[j].h <= G; j++) leave_tall(), wh += tab[j].h, wl += tab[j].l;
    int64_t maxh = std::max<int64_t>(j > i ? tab[j - 1].h : 0, G + 1 - wh);
    if (maxh != divisor) {
      divisor = maxh, tall = 0;
      for (size_t k = j; k < nt; k++) tall += (tab[k].h / divisor) * tab[k].l;
    }
    int64_t need = wl + tall, have = 0, max_gap = 0, nofit = 0;
    if (j > i) wh -= tab[i].h, wl -= tab[i].l;
    for (size_t e = 0; e < ng; e++) {
      size_t &c = nslices[e];
      if (i == 0) {
        c = e ? nslices[e - 1] : 0, sumh[e] = e ? sumh[e - 1] : 0;
      } else if (c > 0) {
        c--, sumh[e] -= tab[i - 1].h;
      }
      for (; i + c < nt && sumh[e] + tab[i + c].h <= gaps[e].first; c++) sumh[e] += tab[i + c].h;
      have += (int64_t)c * gaps[e].second;
      max_gap = std::max(max_gap, gaps[e].first - sumh[e]);
      if (c == 0) nofit = gaps[e].first;
    }
    if (have < need) return 2;
    prune(i, limit - nofit, max_gap, have - need);
  }
  return r;
}

/* ---- disjoint1/2 ----
 *
 * State: disjoint1(NItems, Options, Items, NTargets, NSources, Handle, Stamp), Options with four
 * arguments (Flags, LBorder, RBorder, Margins), each item item(O, OAttr, D, DAttr, Type). Items
 * are segments [O, O + D); an item of length 0 or less occupies nothing and keeps no margin. With
 * wrap every item has three copies, shifted by 0, +C and -C for C = RBorder - LBorder.
 */

namespace {

constexpr int D1_WRAP = 0x2, D1_MARGIN = 0x4, D1_GLOBAL = 0x8;
/* every bit the poster may set: decomposition (0x1) and lean (0x20) change nothing here */
constexpr int D1_OPTIONS = 0x1 | D1_WRAP | D1_MARGIN | D1_GLOBAL | 0x20;
constexpr int ST_RELEVANT = 0x1, ST_TARGET = 0x2;

struct d1_margin {
  TAGGED type1, type2;
  int32_t amount; /* SCHED_SUP: unbounded */
  int32_t next;
};

struct d1_item {
  TAGGED type;
  int32_t status;
};

struct d1_shifted {
  int32_t item, amount;
};

struct disjoint1_data {
  daemon_frame frame;
  ORVALIS_API_STRUCT *qxenv;
  QX_globref refbase;
  int32_t stamp;
  int nitems, nshifted_items, ntargets, nsources, nmargs, nmargs_aligned, flags;
  bool change;
  int32_t lborder, rborder, maxmargin;
  int32_t *target;
  int32_t *margtab;
  dvar *origvar, *durvar;
  d1_item *item;
  d1_margin *margin;
  /* per call */
  d1_shifted *shifted_item;
};

void disjoint1_destructor(void *block)
{
  fd_entry_destroy(block, ((disjoint1_data *)block)->refbase);
}

TAGGED *d1_ref(const disjoint1_data *b, int item, int k) { return &b->refbase[4 * item + k].term; }

disjoint1_data *d1_block(ORVALIS_API_STRUCT *api) { return (disjoint1_data *)fd_state(api)->gdata; }

/* An untagged bound of a view. */
int64_t lo_of(const dvar *d) { return untagged(d->min); }
int64_t hi_of(const dvar *d) { return untagged(d->max); }

/* Reloads a task's window from its item's views after its origin was pruned. */
void d1_reload(disjoint1_data *b, task *t)
{
  const d1_shifted &s = b->shifted_item[t->id];
  const dvar *o = &b->origvar[s.item], *d = &b->durvar[s.item];
  t->est = clamp32(lo_of(o) + s.amount);
  t->lct = clamp32(hi_of(o) + t->dur + s.amount);
  t->lctmax = std::max(t->lct, std::min(t->lctmax, clamp32(hi_of(o) + hi_of(d) + s.amount)));
}

/* A pruning's change mask as a task operation's result. */
int d1_result(disjoint1_data *b, int mask)
{
  if (mask < 0) return 2;
  if (mask == 0) return 0;
  b->change = true;
  return 1;
}

int d1_propagate(ORVALIS_API_STRUCT *api, task *t)
{
  disjoint1_data *b = d1_block(api);
  const d1_shifted &s = b->shifted_item[t->id];
  dvar *o = &b->origvar[s.item], *d = &b->durvar[s.item];
  int64_t cap = (int64_t)t->lctmax - t->est;
  switch (t->enable) {
  case TASK_PRESENT: {
    int m = dvar_fix_interval_t(o, tagged_time((int64_t)t->est - s.amount),
                                tagged_time((int64_t)t->lct - t->dur - s.amount));
    if (m < 0) return 2;
    if (!(d->flags & DV_FIXED)) {
      int md = dvar_fix_interval_t(d, atom_inf, tagged_time(cap));
      if (md < 0) return 2;
      m |= md;
    }
    return d1_result(b, m);
  }
  case TASK_OPTIONAL: return d1_result(b, dvar_fix_interval_t(d, atom_inf, tagged_time(std::max<int64_t>(cap, 0))));
  case TASK_ABSENT: return d1_result(b, dvar_fix_interval_t(d, atom_inf, MakeSmall(0)));
  default: return 0;
  }
}

void d1_refresh(ORVALIS_API_STRUCT *api, task *t, worker *w)
{
  disjoint1_data *b = d1_block(api);
  dvar_set(api, &b->origvar[b->shifted_item[t->id].item], w);
}

TAGGED d1_set(ORVALIS_API_STRUCT *api, task *t, worker *w)
{
  disjoint1_data *b = d1_block(api);
  const d1_shifted &s = b->shifted_item[t->id];
  TAGGED set = dvar_set(api, &b->origvar[s.item], w);
  return s.amount ? fd_lsh(api, w, set, MakeSmall(s.amount)) : set;
}

int d1_prune_interval(ORVALIS_API_STRUCT *api, task *t, int32_t min, int32_t max, worker *w)
{
  disjoint1_data *b = d1_block(api);
  const d1_shifted &s = b->shifted_item[t->id];
  int m = dvar_prune_interval_t(api, &b->origvar[s.item], tagged_time((int64_t)min - s.amount),
                                tagged_time((int64_t)max - s.amount), w);
  if (m > 0) d1_reload(b, t);
  return d1_result(b, m);
}

int d1_prune_set(ORVALIS_API_STRUCT *api, task *t, TAGGED set, worker *w)
{
  disjoint1_data *b = d1_block(api);
  const d1_shifted &s = b->shifted_item[t->id];
  if (s.amount) set = fd_lsh(api, w, set, MakeSmall(-s.amount));
  int m = dvar_prune_set(api, &b->origvar[s.item], set, w);
  if (m > 0) d1_reload(b, t);
  return d1_result(b, m);
}

int d1_is_interval(ORVALIS_API_STRUCT *api, task *t)
{
  disjoint1_data *b = d1_block(api);
  return (b->origvar[b->shifted_item[t->id].item].flags & DV_INTERVAL) != 0;
}

/* ---- checking the state term ---- */

bool compound(TAGGED t, uint32_t arity)
{
  return IsStr(t) && !IsBox(t) && Arity(StrFunctor(t)) == arity;
}

/* What an error names: an atomic term itself, else the functor's name. */
TAGGED d1_culprit(TAGGED t)
{
  t = deref(t);
  if (IsLst(t)) return atom_dot;
  return IsStr(t) && !IsBox(t) ? FunctorName(StrFunctor(t)) : t;
}

/* A list's elements into out (null: count only): its length, or -1 when not a proper list. */
int proper_length(const worker *w, TAGGED l)
{
  uint32_t bound = fd_list_bound(w);
  int n = 0;
  for (l = deref(l); IsLst(l); l = deref(LstTail(l)))
    if ((uint32_t)++n > bound) return -1;
  return l == atom_nil ? n : -1;
}

/* Refuses a list of the state that is not proper (0): an instantiation error when it is still
 * open at its end, else a type error. */
int bad_list(ORVALIS_API_STRUCT *api, const worker *w, TAGGED l)
{
  if (fd_entry_open_list(w, l)) return fd_instantiation_error(api, 1), 0;
  return fd_type_error(api, "list", d1_culprit(l), 1);
}

/* A variable entry laid out as two arguments: a variable and its attribute, an integer and an
 * attribute holding it, or an integer given twice (a constant). */
bool entry_ok(TAGGED x, TAGGED attr)
{
  x = deref(x), attr = deref(attr);
  if (IsSmall(x) && attr == x) return true;
  if (!(IsVar(x) || IsSmall(x)) || !fd_well_formed_attribute(attr)) return false;
  return IsVar(x) || fd_member(x, deref(StrArg(fd_attr_dom(attr), 1)));
}

bool type_ok(TAGGED t) { return IsAtom(t) || IsSmall(t); }

/* A margin amount: a non-negative small integer, or the atom sup (unbounded). */
bool amount_of(TAGGED a, int32_t *out)
{
  a = deref(a);
  if (IsSmall(a) && GetSmall(a) >= 0) return *out = GetSmall(a), true;
  if (a == atom_sup) return *out = SCHED_SUP, true;
  return false;
}

/* 1 when the state is sound for a call (0 after raising an error). first: the Items and margins
 * are checked too. */
int d1_check(ORVALIS_API_STRUCT *api, worker *w, TAGGED s, bool first, int known_items)
{
  auto fail_type = [&](const char *type, TAGGED t) { return fd_type_error(api, type, d1_culprit(t), 1); };
  auto fail_dom = [&](const char *dom, TAGGED t) { return fd_domain_error(api, dom, d1_culprit(t), 1); };
  if (!compound(s, 7) || !IsSmall(deref(StrArg(s, 7))) || !fd_valid_handle(deref(StrArg(s, 6))))
    return fail_type("disjoint1_state", s);
  TAGGED n = deref(StrArg(s, 1)), nt = deref(StrArg(s, 4)), ns = deref(StrArg(s, 5));
  if (!IsSmall(n) || GetSmall(n) < 0) return fail_type("nonneg_integer", n);
  if (!IsSmall(nt) || GetSmall(nt) < 0) return fail_type("nonneg_integer", nt);
  if (!IsSmall(ns) || GetSmall(ns) < 0) return fail_type("nonneg_integer", ns);
  int items = first ? GetSmall(n) : known_items;
  if ((int64_t)GetSmall(nt) + GetSmall(ns) > items) return fail_dom("target_count", nt);
  if (!first) return 1;
  /* no call has run before a first call: every item is a target */
  if (!fd_entry_first_count(api, nt, GetSmall(n), "disjoint1_counts") ||
      !fd_entry_first_count(api, ns, 0, "disjoint1_counts"))
    return 0;
  TAGGED opt = deref(StrArg(s, 2));
  if (!compound(opt, 4) || !IsSmall(deref(StrArg(opt, 1)))) return fail_type("disjoint1_options", opt);
  int flags = GetSmall(deref(StrArg(opt, 1)));
  if (flags & ~D1_OPTIONS) return fail_dom("disjoint1_options", deref(StrArg(opt, 1)));
  if (flags & D1_WRAP) {
    TAGGED l = deref(StrArg(opt, 2)), r = deref(StrArg(opt, 3));
    if (!IsSmall(l)) return fail_type("integer", l);
    if (!IsSmall(r)) return fail_type("integer", r);
    if (GetSmall(l) >= GetSmall(r)) return fail_dom("wrap_borders", r);
  }
  if (flags & D1_MARGIN) {
    TAGGED ms = deref(StrArg(opt, 4));
    if (proper_length(w, ms) < 0) return bad_list(api, w, ms);
    for (TAGGED l = ms; IsLst(l); l = deref(LstTail(l))) {
      TAGGED m = deref(LstHead(l));
      int32_t a;
      if (!compound(m, 3) || !type_ok(deref(StrArg(m, 1))) || !type_ok(deref(StrArg(m, 2))))
        return fail_type("margin", m);
      if (!amount_of(StrArg(m, 3), &a)) return fail_type("margin_amount", deref(StrArg(m, 3)));
    }
  }
  TAGGED list = deref(StrArg(s, 3));
  int len = proper_length(w, list);
  if (len < 0) return bad_list(api, w, list);
  if (len != GetSmall(n)) return fail_dom("item_count", n);
  for (TAGGED l = list; IsLst(l); l = deref(LstTail(l))) {
    TAGGED it = deref(LstHead(l));
    if (!compound(it, 5) || !entry_ok(StrArg(it, 1), StrArg(it, 2)) ||
        !entry_ok(StrArg(it, 3), StrArg(it, 4)) || !type_ok(deref(StrArg(it, 5))))
      return fail_type("disjoint1_item", it);
  }
  return 1;
}

int margin_hash(TAGGED t1, TAGGED t2, int size) { return (int)(((t1 ^ t2) >> 2) & (uint32_t)(size - 1)); }

/* The first call's block, from the checked state in w->term[0]. */
disjoint1_data *d1_make_block(fd_entry *e)
{
  ORVALIS_API_STRUCT *api = e->api;
  worker *w = e->w;
  TAGGED s = deref(w->term[0]);
  int n = GetSmall(deref(StrArg(s, 1)));
  TAGGED opt = deref(StrArg(s, 2));
  int flags = GetSmall(deref(StrArg(opt, 1)));
  TAGGED ms = deref(StrArg(opt, 4));
  int nm = flags & D1_MARGIN ? fd_list_length(ms) : 0;
  int aligned = 1;
  while (aligned < nm) aligned *= 2;
  size_t bytes = sizeof(disjoint1_data) + (size_t)n * sizeof(int32_t) +
                 (size_t)aligned * sizeof(int32_t) + 2 * (size_t)n * sizeof(dvar) +
                 (size_t)n * sizeof(d1_item) + (size_t)nm * sizeof(d1_margin) + 64;
  QX_globref refs;
  auto *b = (disjoint1_data *)fd_entry_block(e, bytes, disjoint1_destructor, nullptr,
                                             4 * (n > 0 ? n : 1), &refs);
  b->refbase = refs;
  b->qxenv = api;
  carver c{(char *)b};
  c.take<disjoint1_data>(1);
  b->origvar = c.take<dvar>((size_t)n);
  b->durvar = c.take<dvar>((size_t)n);
  b->margin = c.take<d1_margin>((size_t)nm);
  b->item = c.take<d1_item>((size_t)n);
  b->target = c.take<int32_t>((size_t)n);
  b->margtab = c.take<int32_t>((size_t)aligned);
  s = deref(w->term[0]); /* making the block may have collected */
  opt = deref(StrArg(s, 2));
  b->stamp = e->stamp - 1;
  b->nitems = n;
  b->flags = flags;
  b->nshifted_items = flags & D1_WRAP ? 3 * n : n;
  if (flags & D1_WRAP) {
    b->lborder = GetSmall(deref(StrArg(opt, 2)));
    b->rborder = GetSmall(deref(StrArg(opt, 3)));
  }
  b->nmargs = nm;
  b->nmargs_aligned = aligned;
  int k = 0;
  for (TAGGED l = deref(StrArg(opt, 4)); k < nm; l = deref(LstTail(l)), k++) {
    TAGGED m = deref(LstHead(l));
    d1_margin &g = b->margin[k];
    g.type1 = deref(StrArg(m, 1));
    g.type2 = deref(StrArg(m, 2));
    amount_of(StrArg(m, 3), &g.amount);
    b->maxmargin = std::max(b->maxmargin, g.amount);
  }
  for (int h = 0; h < aligned; h++) b->margtab[h] = -1;
  for (k = nm - 1; k >= 0; k--) {
    int h = margin_hash(b->margin[k].type1, b->margin[k].type2, aligned);
    b->margin[k].next = b->margtab[h];
    b->margtab[h] = k;
  }
  int i = 0;
  for (TAGGED l = deref(StrArg(s, 3)); IsLst(l); l = deref(LstTail(l)), i++) {
    TAGGED it = deref(LstHead(l));
    b->target[i] = i;
    *d1_ref(b, i, 0) = deref(StrArg(it, 2));
    *d1_ref(b, i, 1) = deref(StrArg(it, 1));
    *d1_ref(b, i, 2) = deref(StrArg(it, 4));
    *d1_ref(b, i, 3) = deref(StrArg(it, 3));
    b->item[i] = {deref(StrArg(it, 5)), 0x30};
  }
  StrPtr(s)[3] = atom_nil; /* the output state is this call's own */
  return b;
}

void d1_load(disjoint1_data *b, int i)
{
  for (int k = 0; k < 2; k++) {
    dvar *d = k ? &b->durvar[i] : &b->origvar[i];
    TAGGED x = deref(*d1_ref(b, i, 2 * k + 1));
    if (IsSmall(x) && !IsStr(deref(*d1_ref(b, i, 2 * k))))
      dvar_init_temp(d, x, x);
    else
      dvar_init(d, d1_ref(b, i, 2 * k), d1_ref(b, i, 2 * k + 1));
  }
}

/* The margin rule for target item i against every copy: false on a wipe-out. */
bool d1_margins(disjoint1_data *b, int active)
{
  for (int q = 0; q < b->ntargets; q++) {
    int i = b->target[q];
    dvar *oi = &b->origvar[i];
    int64_t di = lo_of(&b->durvar[i]);
    if (di < 1) continue; /* an item of length 0 keeps no margin */
    TAGGED ti = b->item[i].type;
    for (int k = 0; k < active * (b->flags & D1_WRAP ? 3 : 1); k++) {
      const d1_shifted &s = b->shifted_item[k];
      int j = s.item;
      if (j == i && s.amount == 0) continue;
      int64_t dj = lo_of(&b->durvar[j]);
      if (dj < 1) continue;
      TAGGED tj = b->item[j].type;
      int64_t before = -1, after = -1; /* i before j, j before i; -1 no margin */
      for (int g = b->margtab[margin_hash(tj, ti, b->nmargs_aligned)]; g >= 0; g = b->margin[g].next) {
        const d1_margin &m = b->margin[g];
        if (m.type1 == ti && m.type2 == tj) before = std::max<int64_t>(before, m.amount);
        if (m.type1 == tj && m.type2 == ti) after = std::max<int64_t>(after, m.amount);
      }
      if (before < 0 && after < 0) continue;
      const dvar *oj = &b->origvar[j];
      int64_t lo = hi_of(oj) + 1 - di + s.amount - std::max<int64_t>(before, 0);
      int64_t hi = lo_of(oj) + dj - 1 + s.amount + std::max<int64_t>(after, 0);
      if (lo <= lo_of(oi) && lo_of(oi) <= hi) {
        b->change = true;
        if (hi + 1 > QX_SMALL_MAX || dvar_fix_interval_t(oi, MakeSmall((int32_t)hi + 1), atom_sup) < 0)
          return false;
      }
      if (lo <= hi_of(oi) && hi_of(oi) <= hi) {
        b->change = true;
        if (lo - 1 < QX_SMALL_MIN || dvar_fix_interval_t(oi, atom_inf, MakeSmall((int32_t)lo - 1)) < 0)
          return false;
      }
    }
  }
  return true;
}

/* The tasks of the copies whose item may have a positive length: their count. */
int d1_tasks(ORVALIS_API_STRUCT *api, disjoint1_data *b, task *ts, int ncopies)
{
  int count = 0;
  for (int k = 0; k < ncopies; k++) {
    const d1_shifted &s = b->shifted_item[k];
    const dvar *o = &b->origvar[s.item], *d = &b->durvar[s.item];
    if (hi_of(d) < 1) continue;
    task *t = &ts[count++];
    std::memset(t, 0, sizeof *t);
    int64_t dmin = lo_of(d);
    t->est = clamp32(lo_of(o) + s.amount);
    t->lctmax = clamp32(hi_of(o) + hi_of(d) + s.amount);
    t->res = 1;
    t->enable = TASK_PRESENT;
    if (dmin < 1) { /* optional: present with its least positive length */
      t->enable = TASK_OPTIONAL;
      dmin = dvar_successor_l(d, 0);
    }
    t->dur = (int32_t)dmin;
    t->lct = std::min(t->lctmax, clamp32(hi_of(o) + dmin + s.amount));
    t->diffid = t->id = k;
    t->propagate = d1_propagate;
    t->refresh = d1_refresh;
    t->set = d1_set;
    t->prune_interval = d1_prune_interval;
    t->prune_set = d1_prune_set;
    t->is_interval = d1_is_interval;
  }
  (void)api;
  return count;
}

/* Exports the views that changed: each one's set first taken off the heap, then every one
 * told (telling may collect, which moves the sets the other views loaded). */
void export_changed_views(ORVALIS_API_STRUCT *api, worker *w, const std::vector<dvar *> &views)
{
  std::vector<dvar *> changed;
  for (dvar *d : views)
    if (d->attr_ref && (d->flags & (DV_SET_TOLD | DV_MIN_RAISED | DV_MAX_LOWERED))) changed.push_back(d);
  for (dvar *d : changed) dvar_pruning_done(api, w, d);
  for (dvar *d : changed) dvar_export_do(api, w, d);
}

/* Steps 7 to 11 after a successful fixpoint: the outcome (1 or 0); the partition is updated. */
int d1_settle(ORVALIS_API_STRUCT *api, worker *w, disjoint1_data *b, int active, int committed)
{
  int per = b->flags & D1_WRAP ? 3 : 1;
  int64_t lo = POS, hi = NEG;
  for (int q = 0; q < b->ntargets; q++) {
    int i = b->target[q];
    if ((b->origvar[i].flags & DV_FIXED) && (b->durvar[i].flags & DV_FIXED))
      b->item[i].status &= ~ST_TARGET;
  }
  for (int k = 0; k < active * per; k++) {
    const d1_shifted &s = b->shifted_item[k];
    if (!(b->item[s.item].status & ST_TARGET)) continue;
    lo = std::min(lo, lo_of(&b->origvar[s.item]) - b->maxmargin + s.amount);
    hi = std::max(hi, hi_of(&b->origvar[s.item]) + hi_of(&b->durvar[s.item]) + b->maxmargin + s.amount);
  }
  for (int q = 0; q < active; q++) {
    int i = b->target[q];
    if (b->item[i].status & ST_TARGET) continue;
    bool relevant = false;
    for (int c = 0; c < per; c++) {
      int32_t a = c == 0 ? 0 : c == 1 ? b->rborder - b->lborder : b->lborder - b->rborder;
      if (!(hi_of(&b->origvar[i]) + hi_of(&b->durvar[i]) + a <= lo || lo_of(&b->origvar[i]) + a >= hi))
        relevant = true;
    }
    if (!relevant) b->item[i].status &= ~ST_RELEVANT;
  }
  if (b->ntargets < 1) return 1;
  bool open = false;
  std::vector<dvar *> views;
  for (int q = 0; q < b->ntargets; q++) {
    int i = b->target[q];
    views.push_back(&b->origvar[i]);
    views.push_back(&b->durvar[i]);
    open = open || (b->item[i].status & ST_TARGET);
  }
  export_changed_views(api, w, views);
  if (!open) return 1;
  /* targets still open first */
  int l = 0, r = b->ntargets - 1;
  while (l <= r) {
    if (b->item[b->target[l]].status & ST_TARGET)
      l++;
    else
      std::swap(b->target[l], b->target[r--]);
  }
  b->nsources += b->ntargets - l;
  b->ntargets = l;
  while (b->nsources > 0 && !(b->item[b->target[b->ntargets + b->nsources - 1]].status & ST_RELEVANT))
    b->nsources--;
  if (committed)
    for (int q = b->ntargets; q < b->ntargets + b->nsources; q++) b->item[b->target[q]].status &= ~0x20;
  return 0;
}

/* One call on the block: the outcome. */
int d1_run(ORVALIS_API_STRUCT *api, worker *w, disjoint1_data *b, int32_t stamp, int committed)
{
  TAGGED s = deref(w->term[0]);
  b->ntargets = GetSmall(deref(StrArg(s, 4)));
  b->nsources = GetSmall(deref(StrArg(s, 5)));
  int active = b->ntargets + b->nsources;
  bool resumed = b->stamp != stamp;
  if (resumed) {
    for (int q = 0; q < b->ntargets; q++) b->item[b->target[q]].status |= b->item[b->target[q]].status >> 4;
    for (int q = b->ntargets; q < active; q++) b->item[b->target[q]].status |= ST_RELEVANT;
  }
  for (int q = 0; q < active; q++)
    if (resumed || (b->item[b->target[q]].status & ST_TARGET)) d1_load(b, b->target[q]);
  b->stamp = stamp + 1;
  int per = b->flags & D1_WRAP ? 3 : 1, ncopies = active * per;
  b->shifted_item = (d1_shifted *)fd_malloc(api, sizeof(d1_shifted) * (size_t)(ncopies + 1));
  auto *ts = (task *)fd_malloc(api, sizeof(task) * (size_t)(ncopies + 1));
  for (int q = 0, k = 0; q < active; q++) {
    int i = b->target[q];
    b->shifted_item[k++] = {i, 0};
    if (per == 3) {
      b->shifted_item[k++] = {i, b->rborder - b->lborder};
      b->shifted_item[k++] = {i, b->lborder - b->rborder};
    }
  }
  size_mem scratch = {0, nullptr};
  int outcome = 0;
  do {
    b->change = false;
    int count = d1_tasks(api, b, ts, ncopies);
    int32_t lst, ect;
    /* every copy is its own diffid: the id space is the task count */
    int r = unary_filtering(api, w, ts, count, count, b->flags & D1_GLOBAL ? 2 : 0, nullptr, nullptr,
                            0, &lst, &ect, &scratch);
    if (r > 1 || ((b->flags & D1_MARGIN) && !d1_margins(b, active))) {
      outcome = -1;
      break;
    }
  } while (b->change);
  if (outcome == 0) outcome = d1_settle(api, w, b, active, committed);
  QX_free(ts);
  QX_free(b->shifted_item);
  b->shifted_item = nullptr;
  return outcome;
}

}  // namespace

void prolog_fd_disjoint1_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0,
                                        QX_term_ref state, QX_term_ref actions)
{
  fd_entry e;
  if (!fd_entry_begin(&e, api, state0, 7, true)) return;
  worker *w = e.w;
  bool first = IsVar(e.handle);
  disjoint1_data *b = nullptr;
  if (!first && IsVar(deref(LstHead(e.handle)))) b = (disjoint1_data *)fd_perm_data(e.handle);
  /* a dead block's count is gone with it: any partition passes */
  int known = first ? 0 : b ? b->nitems : QX_SMALL_MAX;
  if (!d1_check(api, w, deref(w->term[0]), first, known)) {
    fd_native_fail(api);
    return;
  }
  if (first && GetSmall(deref(StrArg(deref(w->term[0]), 1))) > 0)
    b = d1_make_block(&e);
  int outcome = 1;
  if (b) {
    fd_state(api)->gdata = b;
    outcome = d1_run(api, w, b, e.stamp, e.committed);
    TAGGED out = deref(w->term[0]);
    StrPtr(out)[4] = MakeSmall(b->ntargets);
    StrPtr(out)[5] = MakeSmall(b->nsources);
  }
  fd_entry_end(&e, state, actions, outcome);
}

/* ---- the compulsory-part profile ---- */

int comppart_emit(int32_t start, int32_t height, comppart *cp, int n)
{
  if (n > 0 && cp[n - 1].start == start) {
    cp[n - 1].height = height;
    if (n > 1 && cp[n - 2].height == height) n--;
    return n;
  }
  if (n > 0 && cp[n - 1].height == height) return n;
  cp[n] = {start, height};
  return n + 1;
}

int32_t cp_height(const comppart *cp, int32_t date)
{
  int k = 0;
  while (cp[k + 1].start <= date && cp[k].start != FD_SUP_L) k++;
  return cp[k].height;
}

namespace {

/* compulsory_parts over the tasks with a fixed start only (fixed) or all. */
bool profile_of(unary_data *u, int except, int32_t start, int32_t end, dvar *limitvar, bool fixed)
{
  int ne = 0;
  for (int i = 0; i < u->nbtasks; i++) {
    const task *t = &u->tasks[i];
    if (i == except || t->enable != TASK_PRESENT || t->res == 0) continue;
    if (fixed && !task_fixed(t)) continue;
    int32_t a = std::max(start, task_lst(t)), b = std::min(end, task_ect(t));
    if (a >= b) continue;
    u->events[ne++] = {2 * (int64_t)a + 1, (uint32_t)i};
    u->events[ne++] = {2 * (int64_t)b, (uint32_t)i};
  }
  /* the events of one date are summed together: their order does not matter */
  std::sort(u->events, u->events + ne,
            [](const event &x, const event &y) { return x.key < y.key; });
  int n = comppart_emit(FD_INF_L, 0, u->cp, 0), nd = 0;
  int64_t h = 0, top = 0;
  for (int k = 0; k < ne;) {
    int32_t date = (int32_t)(u->events[k].key >> 1);
    for (; k < ne && (int32_t)(u->events[k].key >> 1) == date; k++) {
      const task *t = &u->tasks[u->events[k].value];
      h += (u->events[k].key & 1) ? t->res : -t->res;
    }
    u->dates[nd++] = date;
    top = std::max(top, h);
    if (h == u->cp[n - 1].height && u->cp[n - 1].start != date) continue;
    n = comppart_emit(date, (int32_t)h, u->cp, n);
  }
  u->dates[nd] = FD_SUP_L;
  u->cp[n] = {FD_SUP_L, 0};
  /* the limit is raised once, to the top of the profile */
  return !limitvar || top == 0 || dvar_fix_interval_t(limitvar, tagged_time(top), atom_sup) >= 0;
}

}  // namespace

bool compulsory_parts(ORVALIS_API_STRUCT *api, unary_data *u, int except, int32_t start,
                      int32_t end, dvar *limitvar)
{
  (void)api;
  return profile_of(u, except, start, end, limitvar, false);
}

/* ---- slack filtering ---- */

slack_counts fd_slack_counts;

namespace {

void longest_chains(unary_data *u, int bit);
int move_task(ORVALIS_API_STRUCT *api, task *t, bool ends, int64_t bound);


/* The largest overlap of t with [inf, sup) over its start window. */
int64_t max_inters(int64_t est, int64_t lct, int64_t inf, int64_t sup, int64_t dur)
{
  return std::max<int64_t>(0, std::min({sup - inf, sup - est, dur, lct - inf}));
}

int64_t task_max_intersection(const task *t, int32_t inf, int32_t sup)
{
  return max_inters(t->est, t->lct, inf, sup, t->dur);
}

/* The length of t's compulsory part inside [inf, sup). */
int64_t own_part(const task *t, int32_t inf, int32_t sup)
{
  return std::max<int64_t>(0, (int64_t)std::min(task_ect(t), sup) - std::max(task_lst(t), inf));
}

/* The steps of the profile over [est, lct) into S (each {start, height}), closed by {lct, 0}: the
 * number of steps. */
int window_steps(const comppart *cp, int32_t est, int32_t lct, comppart *S)
{
  int ns = 0;
  S[ns++] = {est, cp_height(cp, est)};
  for (int k = 1; cp[k].start != FD_SUP_L; k++)
    if (cp[k].start > est && cp[k].start < lct) S[ns++] = cp[k];
  S[ns] = {lct, 0};
  return ns;
}

/* Least loss of the steps from the possible coverage: wherever the tasks that may run there stay
 * below the limit, the difference is wasted for sure. */
void coverage_losses(const unary_data *u, const comppart *S, int ns)
{
  std::vector<std::pair<int32_t, int64_t>> ev;
  for (int i = 0; i < u->nbtasks; i++) {
    const task *t = &u->tasks[i];
    if (t->enable == TASK_ABSENT || t->res == 0 || t->lctmax <= t->est) continue;
    ev.push_back({t->est, t->res});
    ev.push_back({t->lctmax, -(int64_t)t->res});
  }
  std::sort(ev.begin(), ev.end());
  int64_t cov = 0;
  size_t k = 0;
  for (int p = 0; p < ns; p++)
    for (int32_t x = S[p].start; x < S[p + 1].start;) {
      for (; k < ev.size() && ev[k].first <= x; k++) cov += ev[k].second;
      int32_t next = k < ev.size() ? std::min(ev[k].first, S[p + 1].start) : S[p + 1].start;
      if (cov < u->limit) u->minloss[p] += (u->limit - cov) * ((int64_t)next - x);
      x = next;
    }
}

/* The largest sum of heights, at most gap, that the tasks able to run in [inf, sup) beside the
 * profile can form (each task once); gap itself when the gap is too large to enumerate. */
int64_t best_fill(const unary_data *u, int32_t inf, int32_t sup, int64_t gap)
{
  if (gap > (1 << 16)) return gap;
  std::vector<bool> sum((size_t)gap + 1, false);
  sum[0] = true;
  int64_t best = 0;
  for (int i = 0; i < u->nbtasks && best < gap; i++) {
    const task *t = &u->tasks[i];
    if (t->enable == TASK_ABSENT || t->res < 1 || t->res > gap || task_max_intersection(t, inf, sup) < 1)
      continue;
    for (int64_t v = gap - t->res; v >= 0; v--)
      if (sum[(size_t)v] && !sum[(size_t)(v + t->res)]) {
        sum[(size_t)(v + t->res)] = true;
        best = std::max(best, v + t->res);
      }
  }
  return best;
}

/* Least and greatest loss of every step; false when they cannot add up to the slack. flag 4: the
 * heights that can fill a step's gap are counted exactly (subset sums). */
bool compulsory_profile_minloss(ORVALIS_API_STRUCT *api, unary_data *u, const comppart *S, int ns,
                                lh_method_fn lh, int flags)
{
  for (int p = 0; p < ns; p++) u->minloss[p] = 0, u->maxloss[p] = u->resslack;
  if (u->resslack < 1) return true;
  coverage_losses(u, S, ns);
  int64_t slack = u->slack, limit = u->limit;
  for (int p = 0; p < ns; p++) {
    int64_t gap = limit - S[p].height, len = (int64_t)S[p + 1].start - S[p].start;
    int closed = p == 0 || p == ns - 1;
    u->minloss[p] = std::max(u->minloss[p], get_minloss(api, len, u->minloss[p], u->maxloss[p],
                                                        (int)gap, slack, lh, closed));
    int64_t before = p ? get_minloss(api, (int64_t)S[p].start - S[0].start, 0, slack, (int)limit,
                                     slack, lh, 1)
                       : 0;
    int64_t after = p < ns - 1 ? get_minloss(api, (int64_t)S[ns].start - S[p + 1].start, 0, slack,
                                             (int)limit, slack, lh, 1)
                               : 0;
    u->maxloss[p] = std::max(std::min(u->maxloss[p], gap * len), slack - before - after);
    if ((flags & 4) && gap > 0) {
      int64_t unfilled = (gap - best_fill(u, S[p].start, S[p + 1].start, gap)) * len;
      if (unfilled > u->minloss[p]) u->minloss[p] = unfilled, fd_slack_counts.subset_raised++;
    }
    if (u->minloss[p] > u->maxloss[p]) return false;
  }
  int64_t rest = u->resslack, over = u->resslack;
  for (int p = 0; p < ns; p++) rest -= u->minloss[p], over -= u->maxloss[p];
  if (rest < 0 || over > 0) return false;
  /* a step wastes what the others leave: at most its least plus the unassigned rest, at least its
   * greatest minus what the others may take beyond theirs */
  for (int p = 0; p < ns; p++) {
    int64_t cut = u->maxloss[p] - (u->minloss[p] + rest);
    if (cut > 0) u->maxloss[p] -= cut, over += cut;
  }
  for (int p = 0; p < ns; p++) {
    int64_t raise = u->maxloss[p] + over - u->minloss[p];
    if (raise > 0) u->minloss[p] += raise, rest -= raise;
  }
  if (rest < 0) return false;
  u->resslack = rest;
  return true;
}

/* A task that may cover part of a step: its index and the surface it can cover there. */
struct contributor {
  int i;
  int64_t a;
};

/* Over the contributors (tallest first) other than skip that cannot stack at this gap (height
 * above gap / 2, and the first of height gap / 2): *sum their contributions, and *surf the most
 * they can cover side by side within rest columns (tallest first). Wholly inside a stretch, a task
 * longer than the hole above it can hold cannot stand: only the two at the ends may be such. */
void contrib_disj(ORVALIS_API_STRUCT *api, const unary_data *u, const std::vector<contributor> &cs,
                  int skip, int64_t rest, int64_t gap, int64_t slack, lh_method_fn lh,
                  int64_t *surf, int64_t *sum)
{
  int64_t total = 0, top[2] = {0, 0}, others = 0;
  bool half = false;
  *sum = 0;
  for (const contributor &c : cs) {
    const task *t = &u->tasks[c.i];
    if (c.i == skip || t->res > gap || 2 * t->res < gap || (2 * t->res == gap && half)) continue;
    half = half || 2 * t->res == gap;
    *sum += c.a;
    int64_t over = std::min(c.a / t->res, rest);
    rest -= over, total += over * t->res;
    if (over == t->dur && t->dur > lh(api, slack, (int)(gap - t->res), 0)) {
      if (c.a > top[1]) top[1] = c.a;
      if (top[1] > top[0]) std::swap(top[0], top[1]);
    } else {
      others += c.a;
    }
  }
  *surf = std::min(top[0] + top[1] + others, total);
}

/* The chain rule on step [inf, sup) of free height gap and greatest loss xl: beside what the
 * other tasks can cover, a start-ordered chain (u->pred) of tasks of one duration and height must
 * cover the rest, at most m = min(gap / res, members) side by side. Covered by the members up to
 * one, that one starts at least ceil(E / (m res)) - dur after inf (they all start by its start
 * and end by its end); covered by the members from one on, it starts at least ceil(E / (m res))
 * before sup. 0, 1 pruned, 2 failure. */
int chain_step(ORVALIS_API_STRUCT *api, unary_data *u, int32_t inf, int32_t sup, int64_t gap,
               int64_t xl)
{
  int n = u->nbtasks;
  std::vector<int64_t> a((size_t)n, 0);
  int64_t total = 0;
  for (int i = 0; i < n; i++) {
    const task *t = &u->tasks[i];
    if (t->enable == TASK_ABSENT || t->res < 1 || t->res > gap) continue;
    if (task_lst(t) <= inf && sup <= task_ect(t)) continue;
    a[(size_t)i] = (task_max_intersection(t, inf, sup) - own_part(t, inf, sup)) * t->res;
    total += a[(size_t)i];
  }
  int64_t forced = gap * ((int64_t)sup - inf) - total;
  if (xl < forced) return fd_slack_counts.chain_rule++, 2;
  std::vector<bool> inner((size_t)n, false);
  for (int i = 0; i < n; i++)
    if (u->pred[i] >= 0) inner[(size_t)u->pred[i]] = true;
  std::vector<int> path;
  for (int e = 0; e < n; e++) {
    if (inner[(size_t)e] || u->pred[e] < 0) continue;
    path.clear();
    for (int x = e; x >= 0; x = u->pred[x]) path.insert(path.begin(), x);
    const task *h = &u->tasks[path[0]];
    bool uniform = h->res >= 1 && h->res <= gap;
    for (int x : path)
      uniform = uniform && u->tasks[x].dur == h->dur && u->tasks[x].res == h->res &&
                u->tasks[x].enable == TASK_PRESENT;
    if (!uniform) continue;
    int len = (int)path.size();
    int64_t per = gap / h->res, pre = 0, suf = 0;
    for (int q = 0; q < len; q++) {
      pre += a[(size_t)path[q]];
      int64_t E = forced + pre - xl, m = std::min<int64_t>(per, q + 1);
      if (q == 0 || E <= 0) continue;
      int r = move_task(api, &u->tasks[path[q]], false, inf - h->dur + (E + m * h->res - 1) / (m * h->res));
      if (r) return fd_slack_counts.chain_rule++, r;
    }
    for (int q = len - 1; q >= 0; q--) {
      suf += a[(size_t)path[q]];
      int64_t E = forced + suf - xl, m = std::min<int64_t>(per, len - q);
      if (q == len - 1 || E <= 0) continue;
      int r = move_task(api, &u->tasks[path[q]], true, sup - (E + m * h->res - 1) / (m * h->res) + h->dur);
      if (r) return fd_slack_counts.chain_rule++, r;
    }
  }
  return 0;
}

/* Above contributor i, while it overlaps step [inf, sup) of free height gap, stands a band of
 * height g = gap - res that only the lower contributors and the step's greatest loss xl can fill:
 * its overlap is at most what they cover over it divided by g, and no longer than a hole of
 * height g; it may not cover a closed step whole when the closed hole is shorter. */
int fill_above(ORVALIS_API_STRUCT *api, worker *w, unary_data *u, const std::vector<contributor> &cs,
               int i, int32_t inf, int32_t sup, int64_t gap, int64_t least, int64_t xl, bool closed,
               lh_method_fn lh)
{
  task *t = &u->tasks[i];
  int64_t g = gap - t->res, len = (int64_t)sup - inf, wd = std::min<int64_t>(len, t->dur);
  int64_t other = 0;
  if (least <= g) {
    int64_t surf, sum;
    for (const contributor &c : cs)
      if (c.i != i && u->tasks[c.i].res <= g) other += c.a;
    contrib_disj(api, u, cs, i, wd, g, xl, lh, &surf, &sum);
    other -= sum - surf;
  }
  int r = 0;
  if (closed && t->dur >= len && len > lh(api, xl, (int)g, 1)) {
    r = unary_prune_interval(api, t, clamp32((int64_t)sup - t->dur), inf, w);
    if (r) return fd_slack_counts.above_cut++, r;
  }
  int64_t most = std::min(lh(api, xl, (int)g, 0), (other + xl) / g);
  if (most >= wd) return 0;
  r = must_overlap_less_than(api, t, (int32_t)(most + 1), inf, sup, w);
  if (r) fd_slack_counts.above_cut++;
  return r;
}

/* Filling step p: the tasks that may overlap it must cover its free surface up to its greatest
 * loss. Fails when they cannot, makes each one overlap the step as much as the others leave to
 * it and no more than the tasks low enough to stand on it can cover above it, and raises the
 * step's least loss to what they leave uncovered. */
int fill_step(ORVALIS_API_STRUCT *api, worker *w, unary_data *u, const comppart *S, int p,
              lh_method_fn lh)
{
  int32_t inf = S[p].start, sup = S[p + 1].start;
  int64_t gap = u->limit - S[p].height, len = (int64_t)sup - inf;
  int64_t ml = u->minloss[p], xl = u->maxloss[p];
  bool lclosed = true, rclosed = true;
  for (int i = 0; i < u->nbtasks; i++) {
    const task *t = &u->tasks[i];
    if (t->enable != TASK_PRESENT || t->dur <= 1) continue;
    if (t->est < inf && inf < t->lct) lclosed = false;
    if (t->est < sup && sup < t->lct) rclosed = false;
  }
  int64_t lm = lh(api, xl, (int)gap, lclosed || rclosed);
  if (gap > 0 && len > lm) return fd_slack_counts.steps_failed++, 2;
  /* the surface the tasks must cover (at least), and what each can */
  int64_t to_fill = gap * len - xl, covered = 0, least = SCHED_SUP;
  std::vector<contributor> cs;
  for (int i = 0; i < u->nbtasks; i++) {
    task *t = &u->tasks[i];
    if (t->enable == TASK_ABSENT || t->res == 0) continue;
    if (task_lst(t) <= inf && sup <= task_ect(t)) continue; /* part of the profile */
    /* equal heights merge, so a compulsory part may cover only some of the step: that part is
     * in the step's height already */
    int64_t own = own_part(t, inf, sup);
    int64_t a = task_max_intersection(t, inf, sup);
    if (t->res > gap) {
      /* too tall for the step: keep it out */
      if (a > 0 && own == 0 && t->enable == TASK_PRESENT) {
        int r = must_overlap_less_than(api, t, 1, inf, sup, w);
        if (r) return r;
      }
      continue;
    }
    /* beside it stays a hole of height gap - res as long as its overlap */
    a = (std::min(a, lh(api, xl, (int)(gap - t->res), 0)) - own) * t->res;
    if (a <= 0) continue;
    to_fill -= a, covered += a;
    if (t->enable == TASK_PRESENT) cs.push_back({i, a}), least = std::min<int64_t>(least, t->res);
  }
  if (to_fill >= 1) return fd_slack_counts.fills_failed++, 2;
  std::stable_sort(cs.begin(), cs.end(), [&](const contributor &x, const contributor &y) {
    return u->tasks[x.i].res > u->tasks[y.i].res;
  });
  /* tasks that cannot stack cover less than their sum */
  int64_t surf, sum;
  contrib_disj(api, u, cs, -1, len, gap, xl, lh, &surf, &sum);
  if (sum - surf + to_fill >= 1) return fd_slack_counts.disj_failed++, 2;
  int64_t loss = gap * len - covered + sum - surf;
  if (loss > ml) {
    /* the step wastes more than its least loss: the difference is no longer free */
    if (loss - ml > u->resslack) return fd_slack_counts.fills_failed++, 2;
    u->resslack -= loss - ml, u->minloss[p] = loss;
    fd_slack_counts.losses_raised++;
  }
  for (const contributor &c : cs) {
    task *t = &u->tasks[c.i];
    int64_t need = c.a + to_fill, own = own_part(t, inf, sup);
    if (need > 0) {
      int64_t lmin = (need + t->res - 1) / t->res + own;
      int r = must_overlap_at_least(api, t, (int32_t)lmin, inf, sup);
      if (r) return fd_slack_counts.overlaps++, r;
    }
    if (t->res == gap && len > lm - t->dur) {
      /* beside it the step keeps a hole of height gap that the others fill: no longer than the
       * longest such hole less its own length */
      int r = must_overlap_at_least(api, t, (int32_t)(len - (lm - t->dur)), inf, sup);
      if (r) return fd_slack_counts.full_height++, r;
    }
    if (t->res >= gap || own > 0) continue;
    int r = fill_above(api, w, u, cs, c.i, inf, sup, gap, least, xl, lclosed && rclosed, lh);
    if (r) return r;
  }
  return 0;
}

/* The stair test on the steps S of the fixed tasks' profile: when no open task can start
 * before step i, the free surface of step i and of step i + 1 up to X (the least end of the
 * open tasks that start in step i and end after it, at most the start of step i + 2) can only be
 * covered by the open tasks from their earliest starts on, and wasted within the slack. */
int stair_test(const unary_data *u, const comppart *S, int ns)
{
  int64_t limit = u->limit;
  for (int i = 0; i + 1 < ns; i++) {
    int64_t h0 = S[i].height, h1 = S[i + 1].height, a = S[i].start, b = S[i + 1].start;
    if (h0 >= limit || h0 <= h1 || h1 < 1) continue;
    bool before = false;
    int64_t emin = SCHED_SUP;
    for (int k = 0; k < u->nbtasks && !before; k++) {
      const task *t = &u->tasks[k];
      if (task_fixed(t)) continue;
      before = t->est < a;
      if (t->est < b && task_ect(t) > b) emin = std::min<int64_t>(emin, task_ect(t));
    }
    if (before || emin == SCHED_SUP) continue;
    int64_t x = std::min<int64_t>(emin, S[i + 2].start);
    int64_t need = (limit - h0) * (b - a) + (limit - h1) * (x - b), have = u->slack;
    for (int k = 0; k < u->nbtasks && have < need; k++) {
      const task *t = &u->tasks[k];
      if (!task_fixed(t) && t->est < x) have += std::min<int64_t>(x - t->est, t->dur) * t->res;
    }
    if (have < need) return fd_slack_counts.stairs_failed++, 2;
  }
  return 0;
}

/* The two tallest tasks whose compulsory part lies strictly between the columns inf - 1 and sup,
 * that can reach both and can be included between them: when they cannot stand side by side on
 * the profile and neither fits between the columns beside the other's compulsory part, their
 * heights (the extra flow), else 0. */
template <class Inc>
int64_t inner_pair(const unary_data *u, int32_t inf, int32_t sup, Inc includable, int pair[2])
{
  for (int k = 0; k < u->nbtasks; k++) {
    const task *t = &u->tasks[k];
    if (t->res < 1 || !(t->est < inf && inf <= task_lst(t) && task_lst(t) < task_ect(t) &&
                        task_ect(t) <= sup && sup < t->lct && includable(t)))
      continue;
    if (pair[0] < 0 || t->res > u->tasks[pair[0]].res) pair[1] = pair[0], pair[0] = k;
    else if (pair[1] < 0 || t->res > u->tasks[pair[1]].res) pair[1] = k;
  }
  if (pair[1] < 0) return 0;
  const task *a = &u->tasks[pair[0]], *b = &u->tasks[pair[1]];
  int32_t lst = std::min(task_lst(a), task_lst(b)), ect = std::max(task_ect(a), task_ect(b));
  int32_t dmin = std::min(a->dur, b->dur);
  int64_t h = std::min(cp_height(u->cp, lst - 1), cp_height(u->cp, ect));
  if (u->limit < h + a->res + b->res && sup < (int64_t)lst + dmin && inf > (int64_t)ect - dmin)
    return (int64_t)a->res + b->res;
  return 0;
}

/* The two unit columns [inf - 1, inf) and [sup, sup + 1) of the compulsory-part profile u->cp.
 * A flow task cannot run between them nor skip both: it puts its height into one. Their free
 * room must hold the flow tasks, the tall flow tasks (two of which exceed the smaller room) but
 * one in the larger room, and, when the room exceeds the flow by more than the slack, one more
 * task; a task whose height in a column would break this keeps out of that column. */
int two_instants(ORVALIS_API_STRUCT *api, worker *w, unary_data *u, int32_t inf, int32_t sup)
{
  int64_t i1 = (int64_t)inf - 1, i2 = sup, limit = u->limit;
  int64_t h1 = cp_height(u->cp, (int32_t)i1), h2 = cp_height(u->cp, (int32_t)i2);
  int64_t gapmin = limit - std::max(h1, h2), gapmax = limit - std::min(h1, h2), gapsum = gapmin + gapmax;
  auto covers = [](const task *t, int64_t c) { return task_lst(t) <= c && c < task_ect(t); };
  auto includable = [&](const task *t) {
    return t->dur <= sup - inf && t->est <= sup - t->dur && task_lst(t) >= inf;
  };
  auto crosses = [&](const task *t, int64_t c) {
    return t->est <= c && c < t->lct && !(task_lst(t) < c - t->dur + 1) && !covers(t, c);
  };
  auto flow = [&](const task *t) {
    return task_ect(t) >= inf && task_lst(t) <= sup && task_ect(t) <= sup && !includable(t) &&
           !covers(t, i1);
  };
  auto big = [&](const task *t) { return t->res >= (gapmin + 2) / 2; };
  /* covering both columns, t leaves gapmin - res and gapmax - res to the flow F: once F exceeds
   * what the larger column has beyond the smaller, the smaller must take ceil((F - (gapmax -
   * gapmin)) / 2) of it (for such F the same test as gapsum < F + 2 res) */
  auto middle = [&](int64_t F, int64_t res) {
    return F > gapmax - gapmin && res > gapmin - (1 - (gapmax - gapmin) + F) / 2;
  };
  int64_t flowsum = 0, flowmax = 0, ressum = 0, resmax = 0, minres = limit;
  for (int k = 0; k < u->nbtasks; k++) {
    const task *t = &u->tasks[k];
    if (t->res < 1 || t->dur < 1) continue;
    if (crosses(t, i1) || crosses(t, i2)) minres = std::min<int64_t>(minres, t->res);
    if (!flow(t)) continue;
    flowsum += t->res, flowmax = std::max<int64_t>(flowmax, t->res);
    if (big(t)) ressum += t->res;
    if (big(t) && t->res <= gapmin) resmax = std::max<int64_t>(resmax, t->res);
  }
  int pair[2] = {-1, -1};
  int64_t extra = inner_pair(u, inf, sup, includable, pair);
  bool paired_fail = gapsum >= flowsum && gapsum < flowsum + extra;
  if (paired_fail || gapsum < flowsum || gapmax < ressum - resmax ||
      (gapsum < flowsum + minres && gapsum > flowsum + u->slack))
    return fd_slack_counts.instants++, fd_slack_counts.inner_pairs += paired_fail, 2;
  /* what t must keep out of under the flow F: 0 nothing, 1 column i2, 2 column i1, 3 both,
   * 4 the two together (5: shown by the split of F between the columns) */
  auto cut = [&](const task *t, int64_t F) {
    bool c1 = covers(t, i1), c2 = covers(t, i2), over = gapsum < F + t->res;
    bool both = t->dur >= sup - inf + 2;
    if (c1 || c2) return c1 && c2 ? 0 : over ? (c1 ? 1 : 2) : 0;
    if (flow(t)) return both && over ? 4 : 0;
    if (over || (big(t) && t->res <= resmax && gapmax < ressum + t->res - resmax) ||
        (big(t) && resmax < t->res && t->res <= gapmin && gapmax < ressum))
      return 3;
    if (!both) return 0;
    if (middle(F, t->res)) return 5;
    return gapsum < F + 2 * t->res || t->res > gapmax - flowmax ? 4 : 0;
  };
  int r = 0;
  for (int k = 0; k < u->nbtasks && r == 0; k++) {
    task *t = &u->tasks[k];
    if (t->res < 1 || t->dur < 1) continue;
    bool paired = k == pair[0] || k == pair[1];
    int c = cut(t, flowsum + (paired ? 0 : extra));
    int32_t at2 = clamp32(i2 - t->dur + 1), at1 = clamp32((int64_t)inf - t->dur);
    if (c == 1 || c == 3) r = unary_prune_interval(api, t, at2, sup, w);
    if ((c == 2 || c == 3) && r < 2) r |= unary_prune_interval(api, t, at1, (int32_t)i1, w);
    if (c >= 4) r = unary_prune_interval(api, t, at2, (int32_t)i1, w);
    if (r && c == 5) fd_slack_counts.instants_middle++;
    if (r && extra && !paired && cut(t, flowsum) != c) fd_slack_counts.inner_pairs++;
  }
  if (r) fd_slack_counts.instants++;
  return r;
}

}  // namespace

void knapsack_targets(ORVALIS_API_STRUCT *api, const unary_data *u, const comppart *S, int p,
                      int32_t b, int32_t est, int32_t lct, lh_method_fn lh, int32_t out[3])
{
  int64_t slack = u->slack;
  auto L = [&](int64_t x) {
    return x <= 0 ? 0 : get_minloss(api, x, 0, slack, u->limit, slack, lh, 1);
  };
  int64_t l = slack - L((int64_t)b - est - 1) - L((int64_t)lct - b);
  int64_t r = slack - L((int64_t)b - est) - L((int64_t)lct - b - 1);
  int64_t s = slack - L((int64_t)b - est - 1) - L((int64_t)lct - b - 1);
  if (b == S[p].start && p > 0) {
    l = std::min(l, u->maxloss[p - 1]);
    r = std::min(r, u->maxloss[p]);
    s = std::min({s, u->minloss[p] + u->minloss[p - 1] + u->resslack,
                  u->maxloss[p] + u->maxloss[p - 1]});
  } else {
    l = std::min(l, u->maxloss[p]), r = std::min(r, u->maxloss[p]), s = std::min(s, u->maxloss[p]);
  }
  out[0] = clamp32(l), out[1] = clamp32(r), out[2] = clamp32(s);
}

int slack_filtering(ORVALIS_API_STRUCT *api, worker *w, unary_data *u, dvar *limitvar, int32_t est,
                    int32_t lct, lh_method_fn lh, int flags, bool chains)
{
  if (u->slack < 0) return 2;
  /* the waste adds up to the slack only when every task is there */
  for (int i = 0; i < u->nbtasks; i++)
    if (u->tasks[i].enable != TASK_PRESENT) return 0;
  u->resslack = u->slack;
  comppart *S = u->cp2;
  if (!profile_of(u, -1, est, lct, limitvar, true)) return 2;
  int r = stair_test(u, S, window_steps(u->cp, est, lct, S));
  if (r) return r;
  if (!compulsory_parts(api, u, -1, est, lct, limitvar)) return 2;
  if ((r = parallel_conflict(api, w, u, u->cp, u->limit))) return r;
  if (!compulsory_parts(api, u, -1, est, lct, limitvar)) return 2;
  int32_t durmax = 0;
  for (int i = 0; i < u->nbtasks; i++) durmax = std::max(durmax, u->tasks[i].dur);
  /* the profile's dates: a copy, the pairs below read u->cp only */
  std::vector<int32_t> dates;
  for (int k = 0; u->dates[k] != FD_SUP_L; k++) dates.push_back(u->dates[k]);
  for (size_t a = 0; a < dates.size(); a++)
    for (size_t b = a + 1; b < dates.size() && dates[b] < (int64_t)dates[a] + durmax; b++)
      if (est < dates[a] && dates[b] < lct && (r = two_instants(api, w, u, dates[a], dates[b])))
        return r;
  int ns = window_steps(u->cp, est, lct, S);
  if (!compulsory_profile_minloss(api, u, S, ns, lh, flags)) return fd_slack_counts.steps_failed++, 2;
  if (chains) longest_chains(u, 2);
  for (int p = 0; p < ns; p++) {
    int64_t len = (int64_t)S[p + 1].start - S[p].start;
    if (len >= (int64_t)lct - est || (u->limit - S[p].height) * len < u->minloss[p] + 1) continue;
    if ((r = fill_step(api, w, u, S, p, lh))) return r;
    if (chains && (r = chain_step(api, u, S[p].start, S[p + 1].start, u->limit - S[p].height,
                                  u->maxloss[p])))
      return r;
  }
  if (!(flags & 4) || u->slack >= 2 * (int64_t)u->limit) return 0;
  for (int p = ns - 1; p >= 0 && !r; p--)
    for (int32_t b = S[p + 1].start - 1; b >= S[p].start && b > est && r < 2; b--) {
      int32_t tg[3];
      knapsack_targets(api, u, S, p, b, est, lct, lh, tg);
      fd_slack_counts.knapsack_runs++;
      r |= knapsack_column_main(api, w, u, b, u->limit, tg[0], tg[1], tg[2]);
    }
  return r;
}

/* ---- the cumulative filter driver ---- */

discrete_counts fd_discrete_counts;

namespace {

int32_t var_min(const dvar *d, int32_t none) { return d ? untagged(d->min) : none; }
int32_t var_max(const dvar *d, int32_t none) { return d ? untagged(d->max) : none; }

/* Step 1: the busy window's bounds on every task; the window and slack of the set. */
int window_bounds(ORVALIS_API_STRUCT *api, unary_data *u, int32_t lower, int32_t upper,
                  int32_t *est_all, int32_t *lct_all)
{
  int r = 0;
  int64_t energy = 0;
  *est_all = SCHED_SUP, *lct_all = SCHED_INF;
  for (int i = 0; i < u->nbtasks && r < 2; i++) {
    task *t = &u->tasks[i];
    bool moved = false;
    if (lower > t->est) t->est = lower, moved = true;
    if (upper < t->lctmax) t->lctmax = upper, moved = true;
    if (moved) {
      t->lct = std::min(t->lct, t->lctmax);
      r |= tell_task(api, t);
    }
    *est_all = std::min(*est_all, t->est), *lct_all = std::max(*lct_all, t->lctmax);
    if (t->enable == TASK_PRESENT) energy += (int64_t)t->dur * t->res;
  }
  u->slack = ((int64_t)*lct_all - *est_all) * u->limit - energy;
  return u->slack < 0 ? r | 2 : r;
}

bool windows_overlap(const task *a, const task *b)
{
  return b->est < a->lctmax && b->lctmax > a->est;
}

/* The height t's compulsory part adds at date x. */
int64_t own_at(const task *t, int64_t x)
{
  return t->enable == TASK_PRESENT && task_lst(t) <= x && x < task_ect(t) ? t->res : 0;
}

/* Whether a and b may run at one date: their heights fit beside each other and beside the profile
 * of the other tasks' compulsory parts (u->cp, all tasks) somewhere in their common window. */
bool may_run_together(const unary_data *u, const task *a, const task *b)
{
  int64_t gap = (int64_t)u->limit - a->res - b->res;
  if (gap < 0 || !windows_overlap(a, b)) return false;
  int64_t lo = std::max(a->est, b->est), hi = std::min(a->lctmax, b->lctmax);
  const int64_t cuts[4] = {task_lst(a), task_ect(a), task_lst(b), task_ect(b)};
  const comppart *cp = u->cp;
  for (int k = 0; cp[k].start != FD_SUP_L && cp[k].start < hi; k++) {
    int64_t from = std::max<int64_t>(cp[k].start, lo), to = std::min<int64_t>(cp[k + 1].start, hi);
    if (from >= to) continue;
    /* the others' height is constant between the own parts' borders */
    auto fits = [&](int64_t x) { return cp[k].height - own_at(a, x) - own_at(b, x) <= gap; };
    if (fits(from)) return true;
    for (int64_t c : cuts)
      if (c > from && c < to && fits(c)) return true;
  }
  return false;
}

/* Step 3: pairs that can never run side by side (too tall together, apart in time, or no room
 * beside the others' compulsory parts); a clique of them grown greedily from the task of greatest
 * degree. Returns its size, members in clique. */
int disjunctive_clique(unary_data *u, int32_t *clique)
{
  int n = u->nbtasks;
  int32_t *deg = u->degree, *edge = u->edge;
  for (int i = 0; i < n; i++) deg[i] = 0;
  for (int i = 0; i < n * n; i++) edge[i] = 0;
  for (int i = 0; i < n; i++)
    for (int j = i + 1; j < n; j++) {
      const task *a = &u->tasks[i], *b = &u->tasks[j];
      /* a task that may last 0 units occupies nothing */
      if (a->dur < 1 || b->dur < 1) continue;
      if (may_run_together(u, a, b)) continue;
      edge[i * n + j] = edge[j * n + i] = 1;
      deg[i]++, deg[j]++;
    }
  int k = 0;
  for (;;) {
    int best = -1;
    for (int i = 0; i < n; i++)
      if (deg[i] > 0 && (best < 0 || deg[i] > deg[best] ||
                         (deg[i] == deg[best] && u->tasks[i].res > u->tasks[best].res)))
        best = i;
    if (best < 0) break;
    clique[k++] = best;
    deg[best] = 0;
    for (int i = 0; i < n; i++)
      if (!edge[best * n + i]) deg[i] = 0;
  }
  return k;
}

/* Step 4: a task of a disjunctive pair keeps clear of the other's compulsory part. */
int disj_2_clique(ORVALIS_API_STRUCT *api, worker *w, task *a, task *b)
{
  if (a->enable != TASK_PRESENT) return 0;
  if (b->enable == TASK_PRESENT && b->lct == b->lctmax)
    return unary_prune_interval(api, b, clamp32((int64_t)task_lst(a) - b->dur + 1),
                                clamp32((int64_t)task_ect(a) - 1), w);
  int r = 0;
  if ((int64_t)b->est + b->dur > task_lst(a) && b->est < task_ect(a)) {
    /* b cannot end before a starts: it comes after a */
    b->est = task_ect(a);
    b->lct = std::min(b->lct, b->lctmax);
    if ((r |= tell_task(api, b)) > 1) return r;
  }
  if (task_lst(b) < task_ect(a) && b->lctmax > task_lst(a)) {
    b->lctmax = task_lst(a);
    b->lct = std::min(b->lct, b->lctmax);
    r |= tell_task(api, b);
  }
  return r;
}

/* Step 5: the clique as a unary resource; its records copied back. */
int unary_step(ORVALIS_API_STRUCT *api, worker *w, unary_data *u, const int32_t *clique, int k,
               int nbtotal, int flags, dvar *diffvar, const diff_constraint *dc, int nbdiffs,
               dvar *lowervar, dvar *uppervar, size_mem *held)
{
  task *copy = (task *)fd_malloc(api, sizeof(task) * (size_t)k);
  bool all_present = true;
  for (int q = 0; q < k; q++) {
    copy[q] = u->tasks[clique[q]];
    copy[q].res = 1;
    all_present = all_present && copy[q].enable == TASK_PRESENT;
  }
  int32_t lst = SCHED_SUP, ect = SCHED_INF;
  int r = unary_filtering(api, w, copy, k, nbtotal, flags, diffvar, dc, nbdiffs, &lst, &ect, held);
  for (int q = 0; q < k; q++) {
    task *t = &u->tasks[clique[q]];
    t->est = copy[q].est, t->lct = copy[q].lct, t->lctmax = copy[q].lctmax;
    t->enable = copy[q].enable;
  }
  QX_free(copy);
  if (r > 1 || !all_present) return r;
  /* the busy window starts by the clique's latest start and ends after its earliest end */
  if (lowervar && lst < SCHED_SUP && dvar_fix_interval_t(lowervar, atom_inf, tagged_time(lst)) < 0)
    return r | 2;
  if (uppervar && ect > SCHED_INF && dvar_fix_interval_t(uppervar, tagged_time(ect), atom_sup) < 0)
    return r | 2;
  return r;
}

/* The first start from pos at which [start, start + dur) meets no step of cp higher than lim. */
int64_t first_fit(const comppart *cp, int64_t pos, int64_t dur, int64_t lim)
{
  for (int k = 0; cp[k].start != FD_SUP_L; k++)
    if (cp[k].height > lim && cp[k].start < pos + dur && cp[k + 1].start > pos) pos = cp[k + 1].start;
  return pos;
}

/* The last end up to end at which [end - dur, end) meets no step of cp higher than lim. */
int64_t last_fit(const comppart *cp, int64_t end, int64_t dur, int64_t lim)
{
  int ns = 0;
  while (cp[ns].start != FD_SUP_L) ns++;
  for (int k = ns - 1; k >= 0; k--)
    if (cp[k].height > lim && cp[k].start < end && cp[k + 1].start > end - dur) end = cp[k].start;
  return end;
}

/* cp with delta added over [a, b) (a < b, both finite), written in place through u->cp2. */
void cp_shift(unary_data *u, int32_t a, int32_t b, int32_t delta)
{
  const comppart *in = u->cp;
  comppart *out = u->cp2;
  const int32_t cuts[2] = {a, b};
  auto at = [&](int32_t x, int32_t h) { return a <= x && x < b ? h + delta : h; };
  int n = 0, c = 0;
  int32_t prev = 0;
  for (int k = 0;; k++) {
    int32_t s = in[k].start;
    for (; c < 2 && cuts[c] < s; c++) n = comppart_emit(cuts[c], at(cuts[c], prev), out, n);
    if (s == FD_SUP_L) break;
    n = comppart_emit(s, at(s, in[k].height), out, n);
    prev = in[k].height;
  }
  out[n] = {FD_SUP_L, 0};
  std::copy(out, out + n + 1, u->cp);
}

/* Step 6 for one task over the profile of the others: its start kept clear of the steps too high
 * to hold it. */
int time_table_task(ORVALIS_API_STRUCT *api, worker *w, unary_data *u, int i, dvar *limitvar,
                    bool *whole)
{
  task *t = &u->tasks[i];
  if (t->res > u->limit) {
    /* taller than the resource: only absent */
    if (t->enable == TASK_PRESENT) return 2;
    if (t->enable == TASK_ABSENT) return 0;
    t->enable = TASK_ABSENT, *whole = false;
    return t->propagate(api, t);
  }
  /* without a compulsory part of its own, the profile of the others is the whole profile: built
   * once while no task changes */
  bool own = t->enable == TASK_PRESENT && t->res > 0 && task_lst(t) < task_ect(t);
  if (own || !*whole) {
    if (!compulsory_parts(api, u, own ? i : -1, SCHED_INF, SCHED_SUP, limitvar)) return 2;
    *whole = !own;
  }
  const comppart *cp = u->cp;
  int64_t limt = (int64_t)u->limit - t->res;
  int ns = 0;
  while (cp[ns].start != FD_SUP_L) ns++;
  auto high = [&](int k) { return cp[k].height > limt; };
  int64_t pos = first_fit(cp, t->est, t->dur, limt), end = last_fit(cp, t->lctmax, t->dur, limt);
  int r = 0;
  if (pos > t->est || end < t->lctmax) {
    t->est = clamp32(pos), t->lctmax = clamp32(std::max<int64_t>(end, SCHED_INF));
    t->lct = std::min(t->lct, t->lctmax);
    if ((r = tell_task(api, t)) > 1) return r;
  }
  if (t->enable == TASK_PRESENT && t->lct == t->lctmax)
    for (int k = 0; k < ns && r < 2; k++)
      if (high(k) && cp[k].start < t->lct && cp[k + 1].start > t->est)
        r |= unary_prune_interval(api, t, clamp32((int64_t)cp[k].start + 1 - t->dur),
                                  clamp32((int64_t)cp[k + 1].start - 1), w);
  if (r) *whole = false;
  return r;
}

/* Narrows t's latest end (ends) or raises its earliest start to bound, then tells it. */
int move_task(ORVALIS_API_STRUCT *api, task *t, bool ends, int64_t bound)
{
  if (ends ? bound >= t->lctmax : bound <= t->est) return 0;
  fd_discrete_counts.moved++;
  if (ends)
    t->lctmax = clamp32(bound);
  else
    t->est = clamp32(bound);
  t->lct = std::min(t->lct, t->lctmax);
  return tell_task(api, t);
}

/* Steps 7 (ends) and 8 (starts) for task i against every present task o that must overlap its
 * latest (earliest) stretch [a, b). Too tall together, t ends by o's latest start (starts after
 * o's earliest end). Else, when o has no compulsory part and finds no room beside t on the others'
 * compulsory parts in the stretch, t may not cover every step too high for both there: the starts
 * that would are removed. */
int detectable_task(ORVALIS_API_STRUCT *api, worker *w, unary_data *u, int i, bool ends,
                    dvar *limitvar)
{
  task *t = &u->tasks[i];
  if (t->dur < 1 || t->res < 1 || task_fixed(t)) return 0;
  int32_t a = ends ? task_lst(t) : t->est, b = ends ? t->lct : task_ect(t);
  bool built = false;
  for (int j = 0; j < u->nbtasks; j++) {
    const task *o = &u->tasks[j];
    if (j == i || o->enable != TASK_PRESENT || o->dur < 1 || o->res < 1) continue;
    if (task_ect(o) <= a || task_lst(o) >= b) continue;
    int r = 0;
    if ((int64_t)t->res + o->res > u->limit) {
      r = move_task(api, t, ends, ends ? task_lst(o) : task_ect(o));
    } else if (t->enable == TASK_PRESENT && task_lst(o) >= task_ect(o)) {
      if (!built && !compulsory_parts(api, u, i, a, b, limitvar)) return 2;
      built = true;
      int64_t lim = (int64_t)u->limit - t->res - o->res;
      if (first_fit(u->cp, o->est, o->dur, lim) <= task_lst(o)) continue;
      int64_t lo = SCHED_SUP, hi = SCHED_INF;
      for (int k = 0; u->cp[k].start != FD_SUP_L; k++)
        if (u->cp[k].height > lim)
          lo = std::min<int64_t>(lo, u->cp[k].start), hi = std::max<int64_t>(hi, u->cp[k + 1].start);
      fd_discrete_counts.detectable++;
      r = ends ? unary_prune_interval(api, t, clamp32(hi - t->dur), task_lst(t), w)
               : unary_prune_interval(api, t, t->est, clamp32(lo), w);
    }
    if (r) return r;
  }
  return 0;
}

/* Marks the orders a precedence pair proves between tasks i and j of this call (D = start j -
 * start i in dlo..dhi): edge bit 1, i starts no later than j; bit 2, i ends no later than j. A
 * disjunctive pair (bit 0) that cannot have j wholly before i has i wholly before j; with fixed
 * durations the ends follow from the starts' difference. */
void mark_orders(unary_data *u, int i, int j, int64_t dlo, int64_t dhi, bool fixed)
{
  int n = u->nbtasks;
  const task *ti = &u->tasks[i], *tj = &u->tasks[j];
  int64_t di = ti->dur, dj = tj->dur;
  if (u->edge[i * n + j] & 1) {
    if (dlo > -dj) u->edge[i * n + j] |= 6;
    if (dhi < di) u->edge[j * n + i] |= 6;
    return;
  }
  if (dlo >= 0) u->edge[i * n + j] |= 2;
  if (dhi <= 0) u->edge[j * n + i] |= 2;
  if (fixed && dlo >= di - dj) u->edge[i * n + j] |= 4;
  if (fixed && dhi <= di - dj) u->edge[j * n + i] |= 4;
}

/* Longest chains of the orders of edge bit `bit`: pred[x] the task before x on the longest chain
 * to x (-1 none), by a topological order (tasks on a cycle get none). succ is scratch. */
void longest_chains(unary_data *u, int bit)
{
  int n = u->nbtasks;
  int32_t *indeg = u->degree, *order = u->succ, *len = u->lb;
  for (int x = 0; x < n; x++) indeg[x] = 0, len[x] = 0, u->pred[x] = -1;
  for (int x = 0; x < n; x++)
    for (int y = 0; y < n; y++)
      if (x != y && (u->edge[x * n + y] & bit)) indeg[y]++;
  int head = 0, tail = 0;
  for (int x = 0; x < n; x++)
    if (indeg[x] == 0) order[tail++] = x;
  while (head < tail) {
    int x = order[head++];
    for (int y = 0; y < n; y++) {
      if (x == y || !(u->edge[x * n + y] & bit)) continue;
      if (len[x] + 1 > len[y]) len[y] = len[x] + 1, u->pred[y] = x;
      if (--indeg[y] == 0) order[tail++] = y;
    }
  }
  for (int x = 0; x < n; x++)
    if (indeg[x] > 0) u->pred[x] = -1;
}

/* One chain ending at last, walked from its first task (forward) or from last (backward): each
 * movable task is placed at its first (last) fit on the profile that holds the tasks walked so
 * far where they were placed, and its earliest start (latest end) raised (lowered) to it. Sound
 * because a later task of a start-ordered chain only occupies dates where an earlier one, placed
 * at its earliest, runs for real (mirrored for end-ordered chains). */
int walk_chain(ORVALIS_API_STRUCT *api, unary_data *u, int last, bool forward, dvar *limitvar)
{
  int32_t *chain = u->tt_map;
  int m = 0;
  for (int x = last; x >= 0; x = u->pred[x]) chain[m++] = x;
  if (forward) std::reverse(chain, chain + m);
  if (!compulsory_parts(api, u, -1, SCHED_INF, SCHED_SUP, limitvar)) return 2;
  int r = 0;
  for (int q = 0; q < m && r < 2; q++) {
    task *t = &u->tasks[chain[q]];
    if (t->enable != TASK_PRESENT || (int64_t)t->est + t->dur == t->lctmax) continue;
    if (task_lst(t) < task_ect(t)) cp_shift(u, task_lst(t), task_ect(t), -t->res);
    int64_t lim = (int64_t)u->limit - t->res;
    int64_t pos = forward ? first_fit(u->cp, t->est, t->dur, lim) : last_fit(u->cp, t->lctmax, t->dur, lim);
    int rr = move_task(api, t, !forward, pos);
    if (rr) fd_discrete_counts.chains++;
    r |= rr;
    if (r > 1) break;
    int64_t from = forward ? pos : pos - t->dur;
    if (from > SCHED_INF && from + t->dur < SCHED_SUP)
      cp_shift(u, (int32_t)from, (int32_t)(from + t->dur), t->res);
  }
  return r;
}

/* Step 9: the orders the precedence pairs prove, their longest chains walked both ways. */
int precedence_chains(ORVALIS_API_STRUCT *api, unary_data *u, dvar *diffvar,
                      const diff_constraint *dc, int nbdiffs, bool fixed, dvar *limitvar)
{
  int n = u->nbtasks;
  for (int x = 0; x < n * n; x++) u->edge[x] &= 1;
  for (int k = 0; k < nbdiffs; k++) {
    if (dc[k].si < 0 || dc[k].si >= u->nbtotal || dc[k].sj < 0 || dc[k].sj >= u->nbtotal) continue;
    int i = u->id_map[dc[k].si], j = u->id_map[dc[k].sj];
    if (i < 0 || j < 0 || i == j) continue;
    const task *ti = &u->tasks[i], *tj = &u->tasks[j];
    if (ti->enable != TASK_PRESENT || tj->enable != TASK_PRESENT || ti->dur < 1 || tj->dur < 1)
      continue;
    mark_orders(u, i, j, lo_of(&diffvar[k]), hi_of(&diffvar[k]), fixed);
  }
  int r = 0;
  for (int pass = 0; pass < 2 && r < 2; pass++) {
    longest_chains(u, pass ? 4 : 2);
    /* the ends of chains: tasks no other task's chain continues from */
    for (int x = 0; x < n; x++) u->lb[x] = 0;
    for (int x = 0; x < n; x++)
      if (u->pred[x] >= 0) u->lb[u->pred[x]] = 1;
    for (int x = 0; x < n; x++) u->ub[x] = u->lb[x] == 0 && u->pred[x] >= 0;
    for (int x = 0; x < n && r < 2; x++)
      if (u->ub[x]) r |= walk_chain(api, u, x, pass == 0, limitvar);
  }
  return r;
}

}  // namespace

int fd_discrete_filtering(ORVALIS_API_STRUCT *api, task *tasks, int n, int nbtotal, int flags,
                          dvar *diffvar, dvar *limitvar, dvar *lowervar, dvar *uppervar,
                          const diff_constraint *dc, int nbdiffs, lh_method_fn lh, dp_hash_fn hasher,
                          size_mem *size_mem, worker *w)
{
  if (n <= 0) return 0;
  flags &= ~1;
  unary_data *u = unary_alloc(api, w, tasks, n, nbtotal, flags, &size_mem[0]);
  u->limit = var_max(limitvar, SCHED_SUP);
  int32_t est_all, lct_all;
  int r = window_bounds(api, u, var_min(lowervar, SCHED_INF), var_max(uppervar, SCHED_SUP),
                        &est_all, &lct_all);
  auto done = [&](int res) {
    unary_release(api, u, &size_mem[0]);
    return res;
  };
  if (r > 1) return done(r);
  if (n >= 2) {
    int32_t *clique = (int32_t *)fd_malloc(api, sizeof(int32_t) * (size_t)n);
    compulsory_parts(api, u, -1, SCHED_INF, SCHED_SUP, nullptr);
    int k = disjunctive_clique(u, clique);
    for (int i = 0; i < n && r < 2; i++)
      for (int j = 0; j < n && r < 2; j++)
        if (i != j && u->edge[i * n + j] && windows_overlap(&tasks[i], &tasks[j]))
          r |= disj_2_clique(api, w, &tasks[i], &tasks[j]);
    if (r < 2 && k >= 2)
      r |= unary_step(api, w, u, clique, k, nbtotal, flags, diffvar, dc, nbdiffs, lowervar,
                      uppervar, &size_mem[2]);
    QX_free(clique);
    if (r > 1) return done(r);
  }
  bool whole = false;
  for (int i = 0; i < n && r < 2; i++) {
    task *t = &tasks[i];
    if (t->enable != TASK_ABSENT && (int64_t)t->est + t->dur != t->lctmax && t->dur > 0)
      r |= time_table_task(api, w, u, i, limitvar, &whole);
  }
  /* fixed tasks: the profile of all raises the limit and fails an overload */
  if (r < 2 && !compulsory_parts(api, u, -1, SCHED_INF, SCHED_SUP, limitvar)) r |= 2;
  if (r) return done(r);
  for (int pass = 0; pass < 2 && r == 0; pass++)
    for (int i = 0; i < n && r == 0; i++) r = detectable_task(api, w, u, i, pass == 0, limitvar);
  if (r == 0 && nbdiffs > 0 && n >= 2)
    r = precedence_chains(api, u, diffvar, dc, nbdiffs, flags & 8, limitvar);
  if (r) return done(r);
  if (flags & 2) r = fd_task_intervals(api, w, u, var_min(limitvar, 0), u->limit);
  if (r == 0 && (flags & 10) == 10)
    r = slack_filtering(api, w, u, limitvar, est_all, lct_all, lh, hasher ? flags : flags & ~4,
                        nbdiffs > 0 && n >= 2);
  return done(r);
}

/* ---- cumulative/2 ---- */

namespace {

constexpr int64_t BIG = (int64_t)1 << 40; /* an infinite bound in sums */

struct cumulative_data {
  daemon_frame frame;
  ORVALIS_API_STRUCT *qxenv;
  QX_globref refbase; /* Limit, Lower, Upper, 4 per task (origin, duration, end, use), 1 per pair */
  int32_t stamp;
  int nbtasks, nbdiffs, flags;
  bool change;
  int32_t use_limit;
  dvar limitvar, lowervar, uppervar;
  dvar *origvar, *durvar, *endvar, *usevar, *diffvar;
  diff_constraint *dc;
  /* the tasks looked at: targets (some variable open), then sources (fixed, beside the targets'
   * window); the rest are fixed and apart for good. The split holds while the Stamp runs on. */
  int32_t *target;
  int ntargets, nsources;
  /* longest holes per height 1..lh_height (open and closed), built once; null when not built */
  int32_t *lh_table, *lch_table;
  int lh_height;
  /* the tasks that last gave Lower its least origin and Upper its largest end; -1 none */
  int earliest, latest;
};

constexpr int CU_GLOBAL = 0x2;
/* every bit the poster may set: 0x1 changes nothing here */
constexpr int CU_OPTIONS = 0x1 | CU_GLOBAL;
/* The tallest limit the longest-hole tables are built for (one evaluation per height). */
constexpr int64_t CU_LH_MAX_HEIGHT = 1 << 12;

void cumulative_destructor(void *block)
{
  auto *b = (cumulative_data *)block;
  ORVALIS_API_STRUCT *api = &fd_engine_tables; /* the instance may be gone */
  QX_free(b->lh_table);
  QX_free(b->lch_table);
  fd_entry_destroy(block, b->refbase);
}

cumulative_data *cu_block(ORVALIS_API_STRUCT *api) { return (cumulative_data *)fd_state(api)->gdata; }

int64_t blo(const dvar *d) { return IsSmall(d->min) ? GetSmall(d->min) : -BIG; }
int64_t bhi(const dvar *d) { return IsSmall(d->max) ? GetSmall(d->max) : BIG; }

/* The view of entry k (0 Limit, 1 Lower, 2 Upper, then the tasks' and pairs'). */
void cu_load(cumulative_data *b, dvar *d, int k)
{
  TAGGED *attr = &b->refbase[2 * k].term, *var = &b->refbase[2 * k + 1].term;
  TAGGED x = deref(*var);
  if (IsSmall(x) && !IsStr(deref(*attr)))
    dvar_init_temp(d, x, x);
  else
    dvar_init(d, attr, var);
}

/* origin + duration = end, bounds-consistent; a task that may last gets the limit's use. */
bool task_renormalize(cumulative_data *b, int i)
{
  dvar *o = &b->origvar[i], *d = &b->durvar[i], *e = &b->endvar[i], *u = &b->usevar[i];
  for (;;) {
    if (blo(d) > 0) {
      if (dvar_fix_interval_t(&b->limitvar, u->min, atom_sup) < 0) return false;
      if (dvar_fix_interval_t(u, atom_inf, tagged_time(b->use_limit)) < 0) return false;
    }
    int64_t ol = blo(o), oh = bhi(o), dl = blo(d), dh = bhi(d), el = blo(e), eh = bhi(e);
    if (ol >= el - dh && oh <= eh - dl && dl >= el - oh && dh <= eh - ol && el >= dl + ol &&
        eh <= dh + oh)
      return true;
    if (dvar_fix_interval_t(o, tagged_time(el - dh), tagged_time(eh - dl)) < 0 ||
        dvar_fix_interval_t(d, tagged_time(el - oh), tagged_time(eh - ol)) < 0 ||
        dvar_fix_interval_t(e, tagged_time(ol + dl), tagged_time(oh + dh)) < 0)
      return false;
  }
}

int cu_result(cumulative_data *b, int mask, int i)
{
  if (mask < 0) return 2;
  if (mask == 0) return 0;
  b->change = true;
  return task_renormalize(b, i) ? 1 : 2;
}

/* Reloads a task's window from its views. */
void cu_reload(cumulative_data *b, task *t)
{
  const dvar *o = &b->origvar[t->id], *e = &b->endvar[t->id];
  t->est = clamp32(blo(o));
  t->lctmax = std::max(clamp32(bhi(o) + t->dur), clamp32(bhi(e)));
  t->lct = std::min(t->lctmax, clamp32(bhi(o) + t->dur));
}

int cu_propagate(ORVALIS_API_STRUCT *api, task *t)
{
  cumulative_data *b = cu_block(api);
  int i = t->id;
  dvar *o = &b->origvar[i], *d = &b->durvar[i], *e = &b->endvar[i];
  int64_t cap = (int64_t)t->lctmax - t->est;
  switch (t->enable) {
  case TASK_PRESENT: {
    int m = dvar_fix_interval_t(o, tagged_time(t->est), atom_sup);
    if (m < 0) return 2;
    int me = dvar_fix_interval_t(e, atom_inf, tagged_time(t->lctmax));
    if (me < 0) return 2;
    m |= me;
    if (!(d->flags & DV_FIXED)) {
      int md = dvar_fix_interval_t(d, atom_inf, tagged_time(cap));
      if (md < 0) return 2;
      m |= md;
    }
    return cu_result(b, m, i);
  }
  case TASK_OPTIONAL:
    return cu_result(b, dvar_fix_interval_t(d, atom_inf, tagged_time(std::max<int64_t>(cap, 0))), i);
  case TASK_ABSENT: return cu_result(b, dvar_fix_interval_t(d, atom_inf, MakeSmall(0)), i);
  default: return 0;
  }
}

void cu_refresh(ORVALIS_API_STRUCT *api, task *t, worker *w)
{
  dvar_set(api, &cu_block(api)->origvar[t->id], w);
}

TAGGED cu_set(ORVALIS_API_STRUCT *api, task *t, worker *w)
{
  return dvar_set(api, &cu_block(api)->origvar[t->id], w);
}

int cu_prune_interval(ORVALIS_API_STRUCT *api, task *t, int32_t min, int32_t max, worker *w)
{
  cumulative_data *b = cu_block(api);
  int m = dvar_prune_interval_t(api, &b->origvar[t->id], tagged_time(min), tagged_time(max), w);
  if (m > 0) cu_reload(b, t);
  return cu_result(b, m, t->id);
}

int cu_prune_set(ORVALIS_API_STRUCT *api, task *t, TAGGED set, worker *w)
{
  cumulative_data *b = cu_block(api);
  int m = dvar_prune_set(api, &b->origvar[t->id], set, w);
  if (m > 0) cu_reload(b, t);
  return cu_result(b, m, t->id);
}

int cu_is_interval(ORVALIS_API_STRUCT *api, task *t)
{
  return (cu_block(api)->origvar[t->id].flags & DV_INTERVAL) != 0;
}

/* A variable entry or an integer. */
bool entry_or_int(TAGGED t)
{
  t = deref(t);
  if (IsSmall(t)) return true;
  QX_globref_ probe[2];
  return fd_entry_refs(t, probe);
}

/* 1 when the state is sound for a call (0 after raising an error). */
int cu_check(ORVALIS_API_STRUCT *api, worker *w, TAGGED s, bool first, int known)
{
  auto fail_type = [&](const char *type, TAGGED t) { return fd_type_error(api, type, d1_culprit(t), 1); };
  auto fail_dom = [&](const char *dom, TAGGED t) { return fd_domain_error(api, dom, d1_culprit(t), 1); };
  if (!compound(s, 11) || !IsSmall(deref(StrArg(s, 11))) || !fd_valid_handle(deref(StrArg(s, 10))))
    return fail_type("cumulative_state", s);
  TAGGED n = deref(StrArg(s, 1)), nt = deref(StrArg(s, 8)), ns = deref(StrArg(s, 9));
  for (TAGGED c : {n, nt, ns})
    if (!IsSmall(c) || GetSmall(c) < 0) return fail_type("nonneg_integer", c);
  int tasks = first ? GetSmall(n) : known;
  if ((int64_t)GetSmall(nt) + GetSmall(ns) > tasks) return fail_dom("target_count", nt);
  if (!first) return 1;
  /* no call has run before a first call: every task is a target */
  if (!fd_entry_first_count(api, nt, GetSmall(n), "cumulative_counts") ||
      !fd_entry_first_count(api, ns, 0, "cumulative_counts"))
    return 0;
  for (int k = 4; k <= 6; k++)
    if (!entry_or_int(StrArg(s, k))) return fail_type("variable_entry", deref(StrArg(s, k)));
  TAGGED flags = deref(StrArg(s, 7));
  if (!IsSmall(flags)) return fail_type("integer", flags);
  if (GetSmall(flags) & ~CU_OPTIONS) return fail_dom("cumulative_options", flags);
  TAGGED list = deref(StrArg(s, 2)), diffs = deref(StrArg(s, 3));
  int len = proper_length(w, list);
  if (len < 0) return bad_list(api, w, list);
  if (len != GetSmall(n)) return fail_dom("task_count", n);
  std::vector<int32_t> ids;
  for (TAGGED l = list; IsLst(l); l = deref(LstTail(l))) {
    TAGGED t = deref(LstHead(l));
    if (!compound(t, 5) || !IsSmall(deref(StrArg(t, 5)))) return fail_type("cumulative_task", t);
    for (int k = 1; k <= 4; k++)
      if (!entry_or_int(StrArg(t, k))) return fail_type("cumulative_task", t);
    ids.push_back(GetSmall(deref(StrArg(t, 5))));
  }
  std::sort(ids.begin(), ids.end());
  if (std::adjacent_find(ids.begin(), ids.end()) != ids.end()) return fail_dom("task_id", list);
  if (proper_length(w, diffs) < 0) return bad_list(api, w, diffs);
  for (TAGGED l = diffs; IsLst(l); l = deref(LstTail(l))) {
    TAGGED p = deref(LstHead(l));
    if (!compound(p, 3) || !IsSmall(deref(StrArg(p, 1))) || !IsSmall(deref(StrArg(p, 2))) ||
        !entry_or_int(StrArg(p, 3)))
      return fail_type("cumulative_precedence", p);
    for (int k = 1; k <= 2; k++)
      if (!std::binary_search(ids.begin(), ids.end(), GetSmall(deref(StrArg(p, k)))))
        return fail_dom("task_id", deref(StrArg(p, k)));
  }
  return 1;
}

/* Stores a checked entry (variable entry or integer) into the pair of entry k. */
void cu_store(cumulative_data *b, int k, TAGGED t)
{
  t = deref(t);
  QX_globref ref = b->refbase + 2 * k;
  if (IsSmall(t))
    ref[0].term = ref[1].term = t;
  else
    fd_entry_refs(t, ref);
}

int task_index(TAGGED list, int32_t id)
{
  int i = 0;
  for (TAGGED l = deref(list); IsLst(l); l = deref(LstTail(l)), i++)
    if (GetSmall(deref(StrArg(deref(LstHead(l)), 5))) == id) return i;
  return -1; /* checked before: not reached */
}

cumulative_data *cu_make_block(fd_entry *e)
{
  worker *w = e->w;
  TAGGED s = deref(w->term[0]);
  int n = GetSmall(deref(StrArg(s, 1))), nd = fd_list_length(deref(StrArg(s, 3)));
  size_t bytes = sizeof(cumulative_data) + (4 * (size_t)n + nd) * sizeof(dvar) +
                 (size_t)nd * sizeof(diff_constraint) + (size_t)n * sizeof(int32_t) + 64;
  QX_globref refs;
  auto *b = (cumulative_data *)fd_entry_block(e, bytes, cumulative_destructor, nullptr,
                                              2 * (3 + 4 * n + nd), &refs);
  b->refbase = refs;
  b->qxenv = e->api;
  carver c{(char *)b};
  c.take<cumulative_data>(1);
  b->origvar = c.take<dvar>((size_t)n);
  b->durvar = c.take<dvar>((size_t)n);
  b->endvar = c.take<dvar>((size_t)n);
  b->usevar = c.take<dvar>((size_t)n);
  b->diffvar = c.take<dvar>((size_t)nd);
  b->dc = c.take<diff_constraint>((size_t)nd);
  b->target = c.take<int32_t>((size_t)n);
  s = deref(w->term[0]); /* making the block may have collected */
  b->stamp = e->stamp - 1;
  b->earliest = b->latest = -1;
  b->nbtasks = n, b->nbdiffs = nd;
  b->flags = GetSmall(deref(StrArg(s, 7)));
  for (int k = 0; k < 3; k++) cu_store(b, k, StrArg(s, 4 + k));
  int i = 0;
  for (TAGGED l = deref(StrArg(s, 2)); IsLst(l); l = deref(LstTail(l)), i++) {
    TAGGED t = deref(LstHead(l));
    for (int k = 0; k < 4; k++) cu_store(b, 3 + 4 * i + k, StrArg(t, k + 1));
    b->target[i] = i;
  }
  int k = 0;
  for (TAGGED l = deref(StrArg(s, 3)); IsLst(l); l = deref(LstTail(l)), k++) {
    TAGGED p = deref(LstHead(l));
    b->dc[k].sj = task_index(StrArg(s, 2), GetSmall(deref(StrArg(p, 1))));
    b->dc[k].si = task_index(StrArg(s, 2), GetSmall(deref(StrArg(p, 2))));
    cu_store(b, 3 + 4 * n + k, StrArg(p, 3));
  }
  StrPtr(s)[2] = atom_nil; /* the output state is this call's own */
  StrPtr(s)[3] = atom_nil;
  return b;
}

/* origin(sj) = origin(si) + D on bounds, to a fixpoint: false on a wipe-out. */
bool cu_precedence(cumulative_data *b, int k)
{
  dvar *oi = &b->origvar[b->dc[k].si], *oj = &b->origvar[b->dc[k].sj], *dd = &b->diffvar[k];
  for (;;) {
    int64_t il = blo(oi), ih = bhi(oi), jl = blo(oj), jh = bhi(oj), dl = blo(dd), dh = bhi(dd);
    if (il >= jl - dh && ih <= jh - dl && dl >= jl - ih && dh <= jh - il && jl >= dl + il &&
        jh <= ih + dh)
      return true;
    int mi = dvar_fix_interval_t(oi, tagged_time(jl - dh), tagged_time(jh - dl));
    if (mi < 0 || (mi > 0 && !task_renormalize(b, b->dc[k].si))) return false;
    if (dvar_fix_interval_t(dd, tagged_time(jl - ih), tagged_time(jh - il)) < 0) return false;
    int mj = dvar_fix_interval_t(oj, tagged_time(dl + il), tagged_time(ih + dh));
    if (mj < 0 || (mj > 0 && !task_renormalize(b, b->dc[k].sj))) return false;
    b->change = true;
  }
}

/* The records of the tasks that may occupy the resource: their count; *fixed when every one has
 * a fixed duration and use. */
int cu_tasks(cumulative_data *b, int active, task *ts, bool *fixed)
{
  int count = 0;
  *fixed = true;
  for (int q = 0; q < active; q++) {
    int i = b->target[q];
    const dvar *o = &b->origvar[i], *d = &b->durvar[i], *e = &b->endvar[i], *u = &b->usevar[i];
    if (bhi(d) < 1 || bhi(u) < 1) continue;
    task *t = &ts[count++];
    std::memset(t, 0, sizeof *t);
    int64_t dmin = blo(d);
    t->est = clamp32(blo(o));
    t->lctmax = clamp32(bhi(e));
    t->res = clamp32(std::max<int64_t>(blo(u), 0));
    t->enable = TASK_PRESENT;
    if (dmin < 1) { /* may last 0: present only with its least positive duration */
      t->enable = TASK_OPTIONAL;
      dmin = dvar_successor_l(d, 0);
    }
    t->dur = clamp32(dmin);
    t->lct = std::min(t->lctmax, clamp32(bhi(o) + dmin));
    t->diffid = t->id = i;
    t->propagate = cu_propagate;
    t->refresh = cu_refresh;
    t->set = cu_set;
    t->prune_interval = cu_prune_interval;
    t->prune_set = cu_prune_set;
    t->is_interval = cu_is_interval;
    *fixed = *fixed && (d->flags & DV_FIXED) && (u->flags & DV_FIXED);
  }
  return count;
}

/* Lower at most each active origin, Upper at least each active end (a task leaves the active
 * range only after a call that told it so); Lower at least the least origin of all tasks, Upper
 * at most the largest end. The task that gave a bound last is kept: while its origin min is
 * still at most Lower's min (its end max at least Upper's max) the bound cannot move, and the
 * scan of every task is skipped. A later task wins a tie. False on a wipe-out. */
bool cu_window(cumulative_data *b, int active)
{
  for (int q = 0; q < active; q++) {
    int i = b->target[q];
    if (dvar_fix_interval_t(&b->lowervar, atom_inf, b->origvar[i].max) < 0) return false;
    if (dvar_fix_interval_t(&b->uppervar, b->endvar[i].min, atom_sup) < 0) return false;
  }
  fd_discrete_counts.window_bounds++;
  /* the task of least key in target order, a later one on a tie */
  auto least = [b](auto key) {
    fd_discrete_counts.window_scans++;
    int best = b->target[0];
    for (int q = 1; q < b->nbtasks; q++)
      if (key(b->target[q]) <= key(best)) best = b->target[q];
    return best;
  };
  if (b->earliest < 0 || blo(&b->origvar[b->earliest]) > blo(&b->lowervar)) {
    b->earliest = least([b](int i) { return blo(&b->origvar[i]); });
    if (dvar_fix_interval_t(&b->lowervar, b->origvar[b->earliest].min, atom_sup) < 0) return false;
  }
  if (b->latest < 0 || bhi(&b->endvar[b->latest]) < bhi(&b->uppervar)) {
    b->latest = least([b](int i) { return -bhi(&b->endvar[i]); });
    if (dvar_fix_interval_t(&b->uppervar, atom_inf, b->endvar[b->latest].max) < 0) return false;
  }
  return true;
}


bool cu_fixed(const cumulative_data *b, int i)
{
  for (const dvar *d : {&b->origvar[i], &b->durvar[i], &b->endvar[i], &b->usevar[i]})
    if (!(d->flags & DV_FIXED)) return false;
  return true;
}

/* The longest-hole tables of the first call with the global option, when every task that may
 * occupy the resource has a fixed duration and use (a task left out could fill a hole the tables
 * call too long) and the limit and the tasks' window are finite: sized by the limit's maximum,
 * for the slack of that window. Otherwise none: the callback then knows no bound. */
void cu_lh_tables(ORVALIS_API_STRUCT *api, worker *w, cumulative_data *b)
{
  int64_t H = bhi(&b->limitvar), lo = BIG, hi = -BIG, energy = 0;
  if (H < 1 || H > CU_LH_MAX_HEIGHT) return;
  std::vector<lhs> list;
  for (int i = 0; i < b->nbtasks; i++) {
    const dvar *d = &b->durvar[i], *u = &b->usevar[i];
    if (bhi(d) < 1 || bhi(u) < 1) continue;
    if (!(d->flags & DV_FIXED) || !(u->flags & DV_FIXED)) return;
    lo = std::min(lo, blo(&b->origvar[i])), hi = std::max(hi, bhi(&b->endvar[i]));
    energy += blo(d) * blo(u);
    list.push_back({clamp32(blo(d)), clamp32(blo(u)), 0});
  }
  if (list.empty() || lo <= -BIG || hi >= BIG || hi - lo > SCHED_SUP || (hi - lo) * H < energy)
    return;
  b->lh_table = (int32_t *)fd_malloc(api, sizeof(int32_t) * (size_t)H);
  b->lch_table = (int32_t *)fd_malloc(api, sizeof(int32_t) * (size_t)H);
  b->lh_height = (int)H;
  fd_lh_init(api, w, (hi - lo) * H - energy, 0, 1, (int32_t)(hi - lo), (int)H, (int)list.size(),
             list.data(), b->lh_table, b->lch_table, 1000, 2);
}

int64_t cumulative_lh_method(ORVALIS_API_STRUCT *api, int64_t, int epsilon, int closed)
{
  const cumulative_data *b = cu_block(api);
  if (epsilon < 1 || epsilon > b->lh_height || !b->lh_table) return SCHED_SUP;
  return (closed ? b->lch_table : b->lh_table)[epsilon - 1];
}

/* After the fixpoint: the active range reordered into open targets, then the fixed tasks that
 * still reach into the targets' window (sources); the others drop out. */
void cu_split(cumulative_data *b, int active)
{
  int64_t lo = BIG, hi = -BIG;
  int nt = 0;
  for (int q = 0; q < active; q++) {
    int i = b->target[q];
    if (cu_fixed(b, i)) continue;
    lo = std::min(lo, blo(&b->origvar[i])), hi = std::max(hi, bhi(&b->endvar[i]));
    std::swap(b->target[q], b->target[nt++]);
  }
  int ns = nt;
  for (int q = nt; q < active; q++) {
    int i = b->target[q];
    if (blo(&b->origvar[i]) < hi && bhi(&b->endvar[i]) > lo) std::swap(b->target[q], b->target[ns++]);
  }
  b->ntargets = nt, b->nsources = ns - nt;
}

/* One call: the outcome. Only the tasks of the active range are loaded and filtered; a call
 * that does not continue the last one (another Stamp) or meets another limit starts over with
 * every task. */
int cu_run(ORVALIS_API_STRUCT *api, worker *w, cumulative_data *b, int32_t stamp, bool first)
{
  int n = b->nbtasks;
  cu_load(b, &b->limitvar, 0);
  cu_load(b, &b->lowervar, 1);
  cu_load(b, &b->uppervar, 2);
  TAGGED s = deref(w->term[0]);
  b->ntargets = GetSmall(deref(StrArg(s, 8)));
  b->nsources = GetSmall(deref(StrArg(s, 9)));
  bool restart = b->stamp != stamp || b->use_limit != clamp32(bhi(&b->limitvar));
  if (restart) b->ntargets = n, b->nsources = 0;
  int active = b->ntargets + b->nsources;
  b->use_limit = clamp32(bhi(&b->limitvar));
  b->stamp = stamp + 1;
  for (int q = 0; q < active; q++) {
    int i = b->target[q];
    cu_load(b, &b->origvar[i], 3 + 4 * i);
    cu_load(b, &b->durvar[i], 4 + 4 * i);
    cu_load(b, &b->endvar[i], 5 + 4 * i);
    cu_load(b, &b->usevar[i], 6 + 4 * i);
    /* taller than the resource: it cannot last */
    if (blo(&b->usevar[i]) > b->use_limit &&
        dvar_fix_interval_t(&b->durvar[i], atom_inf, MakeSmall(0)) < 0)
      return -1;
    if (!task_renormalize(b, i)) return -1;
  }
  /* after a backtrack an open task's bound may have moved anywhere: find it again */
  if (restart && b->earliest >= 0 && !cu_fixed(b, b->earliest)) b->earliest = -1;
  if (restart && b->latest >= 0 && !cu_fixed(b, b->latest)) b->latest = -1;
  /* a pair of two tasks out of the range is settled: both fixed, its difference with them */
  std::vector<bool> loaded((size_t)n, false);
  for (int q = 0; q < active; q++) loaded[(size_t)b->target[q]] = true;
  std::vector<int> pairs;
  for (int k = 0; k < b->nbdiffs; k++)
    if (loaded[(size_t)b->dc[k].si] || loaded[(size_t)b->dc[k].sj]) {
      cu_load(b, &b->diffvar[k], 3 + 4 * n + k);
      pairs.push_back(k);
    }
  if (first && (b->flags & CU_GLOBAL)) cu_lh_tables(api, w, b);
  auto *ts = (task *)fd_malloc(api, sizeof(task) * (size_t)(n + 1));
  size_mem scratch[SCHED_SCRATCH] = {};
  int outcome = 0;
  do {
    b->change = false;
    bool ok = true;
    for (size_t k = 0; k < pairs.size() && ok; k++) ok = cu_precedence(b, pairs[k]);
    if (!ok) {
      outcome = -1;
      break;
    }
    if (b->change) continue;
    bool fixed;
    int count = cu_tasks(b, active, ts, &fixed);
    if (count == 0) {
      /* nothing occupies the resource: only the limit's floor */
      if (dvar_fix_interval_t(&b->limitvar, MakeSmall(0), atom_sup) < 0) outcome = -1;
      break;
    }
    /* only the global bit of the options reaches the filter, and 8 only when it is true */
    int flags = (b->flags & CU_GLOBAL) | (fixed ? 8 : 0);
    int r = fd_discrete_filtering(api, ts, count, n, flags, b->diffvar, &b->limitvar, &b->lowervar,
                                  &b->uppervar, b->dc, b->nbdiffs, cumulative_lh_method, nullptr,
                                  scratch, w);
    if (r > 1) {
      outcome = -1;
      break;
    }
    if (r == 1) {
      b->change = true;
      continue;
    }
    /* the busy window bounds the tasks in the filter: again when it narrowed */
    TAGGED lo = b->lowervar.min, hi = b->uppervar.max;
    if (!cu_window(b, active)) {
      outcome = -1;
      break;
    }
    b->change = b->lowervar.min != lo || b->uppervar.max != hi;
  } while (b->change);
  QX_free(ts);
  if (outcome < 0 || !cu_window(b, active)) return -1;
  std::vector<dvar *> views = {&b->limitvar, &b->lowervar, &b->uppervar};
  for (int q = 0; q < active; q++) {
    int i = b->target[q];
    for (dvar *d : {&b->origvar[i], &b->durvar[i], &b->endvar[i], &b->usevar[i]}) views.push_back(d);
  }
  for (int k : pairs) views.push_back(&b->diffvar[k]);
  export_changed_views(api, w, views);
  cu_split(b, active);
  return b->ntargets > 0 || !(b->limitvar.flags & DV_FIXED) ? 0 : 1;
}

}  // namespace

int64_t no_lh_bound(ORVALIS_API_STRUCT *, int64_t, int, int) { return SCHED_SUP; }

void prolog_fd_cumulative_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0,
                                         QX_term_ref state, QX_term_ref actions)
{
  fd_entry e;
  if (!fd_entry_begin(&e, api, state0, 11, true)) return;
  worker *w = e.w;
  bool first = IsVar(e.handle);
  cumulative_data *b = nullptr;
  if (!first && IsVar(deref(LstHead(e.handle)))) b = (cumulative_data *)fd_perm_data(e.handle);
  int known = first ? 0 : b ? b->nbtasks : QX_SMALL_MAX;
  if (!cu_check(api, w, deref(w->term[0]), first, known)) {
    fd_native_fail(api);
    return;
  }
  fd_init_profile(api);
  if (first && GetSmall(deref(StrArg(deref(w->term[0]), 1))) > 0) b = cu_make_block(&e);
  int outcome = 1;
  if (b) {
    fd_state(api)->gdata = b;
    outcome = cu_run(api, w, b, e.stamp, first);
    TAGGED out = deref(w->term[0]);
    StrPtr(out)[8] = MakeSmall(b->ntargets);
    StrPtr(out)[9] = MakeSmall(b->nsources);
  }
  fd_entry_end(&e, state, actions, outcome);
}
