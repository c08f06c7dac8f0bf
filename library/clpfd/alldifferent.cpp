/* Value elimination on fixed values: all_different/1 (a fixed variable's value leaves every other
 * domain), pairing/2 (X_i = j if and only if Y_j = i, values distinct per side) and circuit/1
 * (no sub-tour of fixed successor edges), and the single-circuit check of successor domains.
 *
 * Each call is one pass over the live targets: the first nvars - NDead entries of `target`.
 * A target found fixed has its value propagated and moves behind the live prefix; NDead in the
 * state grows. An older state has a longer live prefix holding the same indexes, so
 * backtracking needs no undo of the permutation. Circuit's paths of fixed edges are undone by
 * the next call from the merges recorded at the revived positions.
 *
 * States: all_different(Entries, NDead, H, S), pairing(Xs, Ys, NDead, H, S) and
 * circuit(Entries, NDead, H, S); the entry lists become [] once the block holds them.
 */
#include <vector>

#include "fd_globals.h"
#include "fd_propagate.h"
#include "fd_qsort.h"

namespace {

enum kind { ALL_DIFFERENT, PAIRING, CIRCUIT };

/* What a view read by dvar_init holds when its variable is fixed and the call has not touched
 * it: fixed, set current, one interval, no change bit. */
constexpr uint32_t FIXED_AS_READ = DV_FIXED | DV_SET_CURRENT | DV_INTERVAL;
constexpr uint32_t CHANGED = DV_SET_TOLD | DV_MIN_RAISED | DV_MAX_LOWERED;

struct alldiff_data {
  daemon_frame frame; /* alldiff_destructor */
  ORVALIS_API_STRUCT *qxenv;
  QX_globref refbase; /* attribute, then variable, per variable */
  long stamp;
  int nvars;
  int *target;
  TAGGED *val; /* circuit: the tagged value of each merged target */
  dvar *dv;
  int *head, *tail, *head_loc, *tail_loc; /* circuit only */
  int ntargets;
};

void alldiff_destructor(void *block)
{
  auto *b = (alldiff_data *)block;
  fd_entry_destroy(b, b->refbase);
}

/* The entry lists of a first call (arguments 1 .. lists), checked: their total length, or -1
 * after raising an error. */
int entries_valid(ORVALIS_API_STRUCT *api, worker *w, TAGGED s, int lists)
{
  int total = 0, first = -1;
  QX_globref_ scratch[2];
  for (int a = 1; a <= lists; a++) {
    TAGGED list = deref(StrArg(s, a));
    int n = fd_entry_length(w, list);
    if (n < 0) return fd_entry_error(api, "list", list, a), -1;
    if (first >= 0 && n != first)
      return fd_entry_error(api, "list_length", MakeSmall(n), a, true), -1;
    first = n;
    total += n;
    for (TAGGED l = list; IsLst(l); l = deref(LstTail(l)))
      if (!fd_entry_refs(LstHead(l), scratch))
        return fd_entry_error(api, "fd_variable", LstHead(l), a), -1;
  }
  return total;
}

alldiff_data *alldiff_block(fd_entry *e, int n, kind k)
{
  ORVALIS_API_STRUCT *api = e->api;
  size_t bytes = sizeof(alldiff_data) + n * (sizeof(dvar) + sizeof(int)) +
                 (k == CIRCUIT ? n * (sizeof(TAGGED) + 4 * sizeof(int)) : 0);
  QX_globref refs;
  auto *b = (alldiff_data *)fd_entry_block(e, bytes, alldiff_destructor, nullptr, 2 * n, &refs);
  b->qxenv = api;
  b->refbase = refs;
  b->nvars = b->ntargets = n;
  b->dv = (dvar *)(b + 1);
  b->target = (int *)(b->dv + n);
  if (k == CIRCUIT) {
    b->val = (TAGGED *)(b->target + n);
    b->head = (int *)(b->val + n);
    b->tail = b->head + n;
    b->head_loc = b->tail + n;
    b->tail_loc = b->head_loc + n;
  }
  TAGGED s = deref(e->w->term[0]);
  int i = 0;
  for (int a = 1; a <= (k == PAIRING ? 2 : 1); a++) {
    for (TAGGED l = deref(StrArg(s, a)); IsLst(l); l = deref(LstTail(l)), i++)
      fd_entry_refs(LstHead(l), &refs[2 * i]);
    StrPtr(s)[a] = atom_nil; /* the block holds them now */
  }
  for (i = 0; i < n; i++) {
    b->target[i] = i;
    if (k == CIRCUIT) b->head[i] = b->tail[i] = i;
  }
  return b;
}

inline void read_view(alldiff_data *b, int e)
{
  dvar_init(&b->dv[e], &b->refbase[2 * e].term, &b->refbase[2 * e + 1].term);
}

/* Values 1..m only: on the first call, before any value indexes an array. */
bool restrict_range(alldiff_data *b, int m)
{
  for (int e = 0; e < b->nvars; e++)
    if (dvar_fix_interval_t(&b->dv[e], MakeSmall(1), MakeSmall(m)) < 0) return false;
  return true;
}

/* The values at val[0..count-1], sorted, as an FD set; null when two are equal. */
TAGGED value_set(ORVALIS_API_STRUCT *api, worker *w, TAGGED *val, int count)
{
  if (count == 1) return fd_interval(api, w, val[0], val[0]);
  fd_qsort(api, val, (size_t)count, [](const TAGGED *a, const TAGGED *b) {
    return (SIGNED_TAGGED)*a < (SIGNED_TAGGED)*b ? -1 : (SIGNED_TAGGED)*a > (SIGNED_TAGGED)*b;
  });
  FDCONS cons;
  fdcons_init(&cons);
  for (int i = 0; i < count; i++) {
    if (i > 0 && val[i] == val[i - 1]) return 0;
    fdcons_add(api, &cons, w, val[i]);
  }
  return cons.head;
}

/* Removes set from the targets at positions from..to-1 that belong to the side. */
bool prune_targets(ORVALIS_API_STRUCT *api, worker *w, alldiff_data *b, int from, int to,
                   TAGGED set, int side_lo, int side_hi)
{
  for (int p = from; p < to; p++) {
    int e = b->target[p];
    if (e < side_lo || e >= side_hi) continue;
    if (dvar_prune_set(api, &b->dv[e], set, w) < 0) return false;
    dvar_pruning_done(api, w, &b->dv[e]);
  }
  return true;
}

/* Exports the changed views of the targets at positions 0..inf-1. Every changed view leaves the
 * heap before the first export, which may collect. */
void export_live(ORVALIS_API_STRUCT *api, worker *w, alldiff_data *b, int inf)
{
  for (int p = 0; p < inf; p++)
    if (b->dv[b->target[p]].flags & CHANGED) dvar_pruning_done(api, w, &b->dv[b->target[p]]);
  for (int p = 0; p < inf; p++) {
    dvar *d = &b->dv[b->target[p]];
    if (d->flags & CHANGED) dvar_export_do(api, w, d);
  }
}

/* all_different's pass over the live targets: the outcome and the new NDead. */
int all_different_run(ORVALIS_API_STRUCT *api, worker *w, alldiff_data *b, int live, int *ndead)
{
  auto *val = (TAGGED *)fd_temp_alloc(api, w, (live + 1) * sizeof(TAGGED));
  int inf = 0, sup = live - 1;
  while (inf <= sup) {
    int e = b->target[inf];
    if (!(b->dv[e].flags & DV_FIXED)) {
      inf++;
      continue;
    }
    b->target[inf] = b->target[sup];
    b->target[sup] = e;
    val[sup--] = b->dv[e].min;
  }
  *ndead = b->nvars - inf;
  if (inf == live) return inf == 0 ? 1 : 0;
  if (live - inf == 1) {
    for (int p = 0; p < inf; p++) {
      dvar *d = &b->dv[b->target[p]];
      if (dvar_prune_interval_t(api, d, val[inf], val[inf], w) < 0) return -1;
    }
  } else {
    TAGGED set = value_set(api, w, val + inf, live - inf);
    if (!set || !prune_targets(api, w, b, 0, inf, set, 0, b->nvars)) return -1;
  }
  export_live(api, w, b, inf);
  return inf == 0 ? 1 : 0;
}

/* The next live target from position *inf up to sup whose view is fixed as read (those before
 * it stay in front), or -1. Once a pass failed the rest count as unfixed. */
int next_fixed(const alldiff_data *b, int *inf, int sup)
{
  for (; *inf <= sup; ++*inf)
    if (b->dv[b->target[*inf]].flags == FIXED_AS_READ) return b->target[*inf];
  return -1;
}

/* pairing's pass: Xs are targets 0..n-1, Ys n..2n-1. */
int pairing_run(ORVALIS_API_STRUCT *api, worker *w, alldiff_data *b, int live, int *ndead)
{
  int n = b->nvars / 2;
  auto *val = (TAGGED *)fd_temp_alloc(api, w, (2 * n + 1) * sizeof(TAGGED));
  int nx = 0, ny = 0, inf = 0, sup = live - 1;
  bool ok = true;
  for (int e; ok && (e = next_fixed(b, &inf, sup)) >= 0;) {
    int32_t k = GetSmall(b->dv[e].min);
    if (k < 1 || k > n) { /* never an index out of range */
      ok = false;
      continue;
    }
    /* The counterpart may be dead and not read in this call: its view holds its value still. */
    int other = e < n ? n + k - 1 : k - 1;
    ok = dvar_fix_interval_t(&b->dv[other], MakeSmall(e % n + 1), MakeSmall(e % n + 1)) >= 0;
    if (e < n)
      val[nx++] = b->dv[e].min;
    else
      val[n + ny++] = b->dv[e].min;
    b->target[inf] = b->target[sup];
    b->target[sup--] = e;
  }
  if (!ok) return -1;
  *ndead = 2 * n - inf;
  for (int side = 0; side < 2; side++) {
    int count = side ? ny : nx;
    if (count == 0) continue;
    TAGGED set = value_set(api, w, val + side * n, count);
    if (!set || !prune_targets(api, w, b, 0, inf, set, side * n, side * n + n)) return -1;
  }
  export_live(api, w, b, inf);
  return inf == 0 ? 1 : 0;
}

/* circuit: undoes the merges of the targets that a restored state revives, last first. */
void revive(alldiff_data *b, int live)
{
  for (int p = b->ntargets; p < live; p++) {
    int e = b->target[p];
    b->head[b->head_loc[e]] = GetSmall(b->val[e]) - 1;
    b->tail[b->tail_loc[e]] = e;
  }
}

/* circuit's pass: each fixed edge e -> s joins the path ending at e to the path starting at s
 * and forbids the edge back from the new path's end to its start (at the last merge, demands
 * it). s must start a path (a node entered by two fixed edges fails), and only the last edge
 * may close a cycle. */
int circuit_run(ORVALIS_API_STRUCT *api, worker *w, alldiff_data *b, int live, int *ndead)
{
  int n = b->nvars, inf = 0, sup = live - 1;
  bool ok = true;
  for (int e; ok && (e = next_fixed(b, &inf, sup)) >= 0;) {
    int32_t k = GetSmall(b->dv[e].min);
    int s = k - 1, p = sup;
    /* Out of range, s entered already, or a cycle closed early (the last edge must close
     * one): e stays live, no merge is recorded. */
    if (k < 1 || k > n || b->head[b->tail[s]] != s || (s == b->head[e]) != (p == 0)) {
      ok = false;
      continue;
    }
    b->target[inf] = b->target[sup];
    b->target[sup--] = e;
    if (p == 0) continue; /* the last edge closes the tour */
    int h = b->head[e], t = b->tail[s];
    b->tail[h] = t;
    b->head[t] = h;
    b->head_loc[e] = t;
    b->tail_loc[e] = h;
    b->val[e] = b->dv[e].min;
    TAGGED back = MakeSmall(h + 1);
    ok = (p == 1 ? dvar_fix_interval_t(&b->dv[t], back, back)
                 : dvar_prune_interval_t(api, &b->dv[t], back, back, w)) >= 0;
  }
  b->ntargets = sup + 1 >= 1 ? sup + 1 : 1;
  if (!ok) return -1;
  *ndead = n - inf;
  export_live(api, w, b, inf);
  return inf == 0 ? 1 : 0;
}

void alldiff_entry(ORVALIS_API_STRUCT *api, QX_term_ref state0, QX_term_ref state,
                   QX_term_ref actions, kind k)
{
  int lists = k == PAIRING ? 2 : 1, arity = lists + 3;
  fd_entry e;
  if (!fd_entry_begin(&e, api, state0, arity, true)) return;
  worker *w = e.w;
  TAGGED s = deref(w->term[0]);
  bool first = IsVar(e.handle);
  int n = first ? entries_valid(api, w, s, lists) : ((alldiff_data *)fd_perm_data(e.handle))->nvars;
  if (n < 0) return;
  TAGGED ndead = deref(StrArg(s, lists + 1));
  /* a first call has no dead target yet */
  if (!IsSmall(ndead) || GetSmall(ndead) < 0 || GetSmall(ndead) > (first ? 0 : n))
    return fd_entry_error(api, IsSmall(ndead) ? "ndead" : "integer", ndead, lists + 1,
                          IsSmall(ndead));
  if (n == 0) return fd_entry_end(&e, state, actions, 1);
  alldiff_data *b = first ? alldiff_block(&e, n, k) : (alldiff_data *)fd_perm_data(e.handle);
  fd_state(api)->gdata = b;
  int live = n - GetSmall(ndead), dead = GetSmall(ndead), outcome;
  if (k == CIRCUIT && live > b->ntargets) revive(b, live);
  b->stamp = e.stamp + 1;
  for (int p = 0; p < live; p++) read_view(b, b->target[p]);
  if (first && k != ALL_DIFFERENT && !restrict_range(b, k == PAIRING ? n / 2 : n)) {
    outcome = -1;
  } else {
    outcome = k == ALL_DIFFERENT ? all_different_run(api, w, b, live, &dead)
              : k == PAIRING     ? pairing_run(api, w, b, live, &dead)
                                 : circuit_run(api, w, b, live, &dead);
  }
  if (outcome >= 0) StrPtr(deref(w->term[0]))[lists + 1] = MakeSmall(dead);
  fd_entry_end(&e, state, actions, outcome);
}

}  // namespace

void prolog_fd_all_different_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0,
                                            QX_term_ref state, QX_term_ref actions)
{
  alldiff_entry(api, state0, state, actions, ALL_DIFFERENT);
}

void prolog_fd_pairing_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0,
                                      QX_term_ref state, QX_term_ref actions)
{
  alldiff_entry(api, state0, state, actions, PAIRING);
}

void prolog_fd_circuit_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0,
                                      QX_term_ref state, QX_term_ref actions)
{
  alldiff_entry(api, state0, state, actions, CIRCUIT);
}

int fd_circuit_paths_agree(const void *block, int ndead)
{
  auto *b = (const alldiff_data *)block;
  int n = b->nvars, live = n - ndead;
  if (b->ntargets != (live > 1 ? live : 1)) return -1;
  std::vector<int> succ(n, -1), entered(n, 0);
  for (int p = b->ntargets; p < n; p++) {
    int e = b->target[p];
    succ[e] = GetSmall(b->val[e]) - 1;
    entered[succ[e]]++;
  }
  for (int h = 0; h < n; h++) {
    if (entered[h]) continue;
    int t = h, steps = 0;
    while (succ[t] >= 0 && steps++ < n) t = succ[t];
    if (steps > n || b->tail[h] != t || b->head[t] != h) return 0;
  }
  return 1;
}

/* ---- the single-circuit check ---- */

namespace {

/* Joins the fixed edges of the dead variables into paths: head[t] is the first node of the path
 * ending at t, tail[h] the last node of the path starting at h. False when a fixed value is out
 * of range, enters a node entered already, or closes a cycle (live variables remain outside). */
bool contract_paths(const dvar *dv, const int *target, int live, int n, int *head, int *tail)
{
  for (int i = 0; i < n; i++) head[i] = tail[i] = i;
  for (int p = live; p < n; p++) {
    int v = target[p];
    TAGGED value = dv[v].min;
    int s = IsSmall(value) ? GetSmall(value) - 1 : -1;
    if (s < 0 || s >= n || head[tail[s]] != s || head[v] == s) return false;
    int h = head[v], t = tail[s];
    tail[h] = t;
    head[t] = h;
  }
  return true;
}

}  // namespace

/* A depth-first search with low values from the live variable of largest domain over the
 * contracted graph (an arc x -> tail[v-1] per value v of x): a component other than the root's
 * means no circuit. The root's subtrees: edges between them only go from a later subtree to an
 * earlier one, so a circuit through the root visits them from the last to the first and needs an
 * edge from each subtree into the one finished just before it. */
int fd_single_circuit(const dvar *dv, const int *target, int live, int kernel, int n, int *head,
                      int *tail, int *visited, int *stack)
{
  if (live == 0) return 1;
  int least = INT32_MAX, most = -1, root = -1;
  for (int p = live; p-- > 0;) { /* the paths end at live nodes: only they are visited */
    visited[target[p]] = 0;
    int c = dvar_value_count(&dv[target[p]]);
    least = c < least ? c : least;
    if (c > most) most = c, root = target[p];
  }
  if (least >= (live + 1) / 2) return 1; /* dense domains always leave room for a circuit */
  if (!contract_paths(dv, target, live, n, head, tail)) return 0;
  int count = 1, sp = 3, first = 0, last = 0, entered = 0;
  bool seen = true;
  visited[root] = 1;
  stack[0] = root, stack[1] = FD_INF_L, stack[2] = 1;
  for (;;) {
    int *f = stack + sp - 3, x = f[0];
    int32_t v = dvar_successor_l(&dv[x], f[1]);
    f[1] = v;
    if (v == FD_SUP_L) { /* x is done */
      if (sp == 3) break;
      int low = f[2];
      if (low == visited[x]) return 0; /* a component without the root */
      sp -= 3;
      f -= 3;
      f[2] = low < f[2] ? low : f[2];
      if (f[0] == root) {
        if (!seen && entered != GetSmall(dv[root].min)) return 0;
        seen = false;
        first = visited[x], last = count;
      }
      continue;
    }
    /* a node entered by a fixed edge already takes no other */
    if (v < 1 || v > n || head[tail[v - 1]] != v - 1) continue;
    int y = tail[v - 1];
    if (visited[y] == 0) {
      if (x == root) entered = v;
      visited[y] = ++count;
      stack[sp] = y, stack[sp + 1] = FD_INF_L, stack[sp + 2] = count;
      sp += 3;
    } else {
      f[2] = visited[y] < f[2] ? visited[y] : f[2];
      if (visited[x] >= 2 && first > 0 && visited[y] >= first && visited[y] <= last) seen = true;
    }
  }
  return count == kernel;
}
