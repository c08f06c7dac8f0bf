/* global_cardinality/3: variables X1..Xn take keys K1..Km, exactly Cj of them Kj, as a flow
 * network (source -> key -> variable -> sink, return arc sink -> source).
 *
 * The flow is kept in the block from call to call and repaired: removed arcs unassign their own
 * variables, a breadth-first search restores the count minima and Dinic's method with unit
 * augmentations brings the flow back to every variable. Arcs that no maximum flow uses are those
 * between strongly connected components of the residual graph (Tarjan, iterative); the counts are
 * bounded by the variables that must and can take their key, and by the sum of all counts. The
 * variables end arc-consistent with respect to the count bounds. With costs the loop is
 * costgcc.cpp's (both flows optimal, regrets); this file builds its block and exports its results.
 *
 * Also the variable/value graph that local_cardinality and nvalue share (fd_gcc.h).
 */
#include <algorithm>
#include <cassert>
#include <cstring>

#include "fd_gcc.h"
#include "fd_globals.h"
#include "fd_propagate.h"
#include "fd_sets.h"

/* ---- the shared graph ---- */

size_t fd_vg_words(int nvars, int nvals)
{
  size_t nnodes = (size_t)nvars + nvals + 2;
  size_t edges = (nvals + 1) + (size_t)nvals * (nvars + 1) + (size_t)nvars * (nvals + 1) + nvars + 1;
  return nvals + nvars + nnodes + edges + 8 * nnodes;
}

void fd_vg_carve(fd_vgraph *g, int nvars, int nvals, int *mem)
{
  int nnodes = nvars + nvals + 2, sink = nnodes - 1;
  g->nvars = nvars;
  g->nvals = nvals;
  g->nnodes = nnodes;
  g->nvartargets = nvars;
  g->nvaltargets = nvals;
  g->valtarget = mem;
  g->vartarget = g->valtarget + nvals;
  g->activeset = g->vartarget + nvars;
  int **arrays[] = {(int **)&g->val, &g->component, &g->visited,   &g->mate[0], &g->mate[1],
                    &g->out_degree,  &g->in_degree, &g->neighs};
  int *p = g->activeset + nnodes;
  for (int **a : arrays) {
    *a = p;
    p += nnodes;
  }
  g->edge = p;
  std::memset(g->component, 0, 8 * nnodes * sizeof(int));
  int at = 0;
  auto slice = [&](int x, int out, int in, int size) {
    g->neighs[x] = at;
    g->out_degree[x] = out;
    g->in_degree[x] = in;
    at += size;
  };
  slice(0, nvals, 1, nvals + 1);
  for (int j = 1; j <= nvals; j++) {
    slice(j, 0, 1, nvars + 1);
    g->edge[g->neighs[j]] = 0;
    g->edge[g->neighs[0] + j - 1] = j;
    g->valtarget[j - 1] = j;
  }
  g->edge[g->neighs[0] + nvals] = sink;
  slice(sink, 1, nvars, nvars + 1);
  g->edge[g->neighs[sink]] = 0;
  for (int i = 0; i < nvars; i++) {
    int x = nvals + 1 + i;
    slice(x, 1, 0, nvals + 1);
    g->edge[g->neighs[x]] = sink;
    g->edge[g->neighs[sink] + 1 + i] = x;
    g->vartarget[i] = x;
  }
  for (int f = 0; f < 2; f++)
    for (int x = 0; x < nnodes; x++) g->mate[f][x] = fd_vg_is_var(g, x) || x == sink ? -1 : 0;
}

void fd_vg_begin(ORVALIS_API_STRUCT *api, worker *w, fd_vgraph *g)
{
  int n = g->nnodes;
  size_t codes = 2 * (size_t)g->nvals * g->nvars + 2;
  int *scratch = (int *)fd_temp_alloc(api, w, (5 * (size_t)n + codes) * sizeof(int));
  g->stack = scratch;
  g->dad = scratch + n;
  g->iter = scratch + 2 * n;
  g->low = scratch + 3 * n;
  g->calls = scratch + 4 * n;
  g->codes = scratch + 5 * n;
  /* the active set in node order: counting sort through a mark per node */
  std::memset(g->iter, 0, n * sizeof(int));
  for (int k = 0; k < g->nvaltargets; k++) g->iter[g->valtarget[k]] = 1;
  for (int k = 0; k < g->nvartargets; k++) g->iter[g->vartarget[k]] = 1;
  int m = 0;
  g->activeset[m++] = 0;
  for (int x = 1; x < n - 1; x++)
    if (g->iter[x]) g->activeset[m++] = x;
  g->activeset[m++] = n - 1;
  g->nactive = m;
}

bool fd_vg_has_value(const fd_vgraph *g, int x, int j)
{
  const int *values = fd_vg_values(g, x);
  return std::binary_search(values, values + g->in_degree[x], j);
}

bool fd_vg_reset_flow(fd_vgraph *g, int value, int var, int f)
{
  if (g->mate[f][var] != value) return false;
  g->mate[f][var] = -1;
  g->mate[f][value]--;
  g->mate[f][0]--;
  return true;
}

namespace {

/* Merges the ascending run into the list part of n entries at list, as a symmetric difference
 * (through tmp); answers the new length. */
int merge_run(int *list, int n, const int *run, int nrun, int *tmp)
{
  int i = 0, k = 0, m = 0;
  while (i < n || k < nrun) {
    if (k == nrun || (i < n && list[i] < run[k]))
      tmp[m++] = list[i++];
    else if (i == n || run[k] < list[i])
      tmp[m++] = run[k++];
    else
      i++, k++;
  }
  std::memcpy(list, tmp, m * sizeof(int));
  return m;
}

/* Applies the leading run of codes that belong to one node of the given side. */
int apply_run(fd_vgraph *g, const int *codes, int n, bool var_side)
{
  int nv = g->nvals;
  auto node = [&](int c) { return var_side ? c / nv + nv + 1 : c % nv + 1; };
  auto other = [&](int c) { return var_side ? c % nv + 1 : c / nv + nv + 1; };
  int x = node(codes[0]), len = 0;
  int *run = g->low; /* other-side node numbers of the run */
  while (len < n && node(codes[len]) == x) {
    run[len] = other(codes[len]);
    len++;
  }
  if (var_side) {
    g->in_degree[x] = merge_run(fd_vg_values(g, x), g->in_degree[x], run, len, g->calls);
  } else {
    int *list = fd_vg_vars(g, x);
    g->out_degree[x] = merge_run(list, g->out_degree[x], run, len, g->calls);
    list[g->out_degree[x]] = 0;
  }
  return len;
}

}  // namespace

void fd_vg_apply(fd_vgraph *g, int *codes, int n)
{
  assert(std::is_sorted(codes, codes + n));
  for (int k = 0; k < n;) k += apply_run(g, codes + k, n - k, true);
  /* stable counting sort by value into the second half */
  int nv = g->nvals, *by_value = codes + n, *start = g->stack;
  std::memset(start, 0, (nv + 1) * sizeof(int));
  for (int k = 0; k < n; k++) start[codes[k] % nv + 1]++;
  for (int j = 1; j <= nv; j++) start[j] += start[j - 1];
  for (int k = 0; k < n; k++) by_value[start[codes[k] % nv]++] = codes[k];
  for (int k = 0; k < n;) k += apply_run(g, by_value + k, n - k, false);
}

namespace {

/* Appends to codes the arcs of variable x that differ from its domain: values of the list the
 * domain lost, keys of the domain the list lacks. The scan walks the domain's intervals and the
 * keys together, so an infinite domain or one with many non-key values costs no more than its
 * intervals and the keys. */
int sync_variable(fd_vgraph *g, int x, int *codes, int nflows)
{
  const int *list = fd_vg_values(g, x);
  int n = g->in_degree[x], p = 0, k = 1, m = 0;
  auto removed = [&](int j) {
    for (int f = 0; f < nflows; f++) fd_vg_reset_flow(g, j, x, f);
    codes[m++] = fd_vg_code(g, x, j);
  };
  DVITER it;
  dviter_init(&it, &g->dv[x]);
  while (!dviter_empty(&it) && k <= g->nvals) {
    int32_t lo, hi;
    dviter_next_interval_l(&it, &lo, &hi);
    for (; k <= g->nvals && g->val[k] < lo; k++)
      if (p < n && list[p] == k) removed(k), p++;
    for (; k <= g->nvals && g->val[k] <= hi; k++)
      if (p < n && list[p] == k)
        p++;
      else
        codes[m++] = fd_vg_code(g, x, k);
  }
  for (; k <= g->nvals; k++)
    if (p < n && list[p] == k) removed(k), p++;
  return m;
}

}  // namespace

int fd_vg_refresh(ORVALIS_API_STRUCT *api, worker *w, fd_vgraph *g, bool incremental, int nflows)
{
  int *codes = g->codes, n = 0;
  for (int a = 1; a < g->nactive - 1; a++) {
    int x = g->activeset[a];
    if (!fd_vg_is_var(g, x)) continue;
    if (incremental && dvar_value_count(&g->dv[x]) >= g->in_degree[x]) continue;
    n += sync_variable(g, x, codes + n, nflows);
  }
  /* codes are ascending: variables were visited in node order, values in key order */
  if (n > 0) fd_vg_apply(g, codes, n);
  return n;
}

int fd_vg_new_domains(ORVALIS_API_STRUCT *api, worker *w, fd_vgraph *g)
{
  int outcome = 1;
  for (int k = 0; k < g->nvartargets; k++) {
    int x = g->vartarget[k], n = g->in_degree[x];
    if (n >= 2) outcome = 0;
    dvar *d = &g->dv[x];
    if (dvar_value_count(d) != n) {
      FDCONS cons;
      fdcons_init(&cons);
      const int *list = fd_vg_values(g, x);
      for (int i = 0; i < n; i++) fdcons_add(api, &cons, w, MakeSmall(g->val[list[i]]));
      if (dvar_fix_set(api, d, cons.head, w) < 0) return -1;
    }
    dvar_pruning_done(api, w, d);
  }
  return outcome;
}

void fd_vg_settle(fd_vgraph *g, int *targets, int i, int *n)
{
  int x = targets[i];
  g->visited[x] = FD_VG_SETTLED;
  g->component[x] = -1;
  std::swap(targets[i], targets[--*n]);
}

void fd_vg_contract_vars(fd_vgraph *g)
{
  int *active = g->iter;
  std::memset(active, 0, g->nnodes * sizeof(int));
  for (int k = 0; k < g->nvaltargets; k++) active[g->valtarget[k]] = 1;
  for (int k = 0; k < g->nvartargets;) {
    int x = g->vartarget[k];
    if (g->in_degree[x] <= 1 && (g->in_degree[x] == 0 || !active[fd_vg_values(g, x)[0]]))
      fd_vg_settle(g, g->vartarget, k, &g->nvartargets);
    else
      k++;
  }
}

/* ---- the keyed entry ---- */

namespace {

/* The name an error gives a term: the term when atomic, else its functor's name. */
TAGGED culprit(TAGGED t)
{
  t = deref(t);
  if (IsLst(t)) return atom_dot;
  return IsStr(t) && !IsBox(t) ? FunctorName(StrFunctor(t)) : IsVar(t) ? atom_nil : t;
}

bool is_struct(TAGGED t, uint32_t arity)
{
  return IsStr(t) && !IsBox(t) && Arity(StrFunctor(t)) == arity;
}

/* The length of a proper list, or -1 (improper, partial or cyclic). */
int proper_length(const worker *w, TAGGED l)
{
  uint32_t steps = fd_list_bound(w);
  int n = 0;
  for (l = deref(l); IsLst(l); l = deref(LstTail(l)), n++)
    if (steps-- == 0) return -1;
  return l == atom_nil ? n : -1;
}

}  // namespace

int fd_vg_bad_state(ORVALIS_API_STRUCT *api, const char *what, TAGGED t)
{
  fd_domain_error(api, what, culprit(t), 1);
  return 0;
}

namespace {

int bad_state(ORVALIS_API_STRUCT *api, const char *what, TAGGED t)
{
  return fd_vg_bad_state(api, what, t);
}

}  // namespace

int fd_vg_check_keyed(ORVALIS_API_STRUCT *api, worker *w, TAGGED s, const fd_vg_args *a)
{
  TAGGED nv = deref(StrArg(s, a->nvars)), nk = deref(StrArg(s, a->nvals));
  TAGGED vars = deref(StrArg(s, a->vars)), keys = deref(StrArg(s, a->keys));
  if (!IsSmall(nv) || proper_length(w, vars) != GetSmall(nv))
    return bad_state(api, "variable_count", nv);
  if (!IsSmall(nk) || proper_length(w, keys) != GetSmall(nk))
    return bad_state(api, "key_count", nk);
  for (TAGGED l = vars; IsLst(l); l = deref(LstTail(l))) {
    TAGGED x = deref(LstHead(l));
    if (!IsVar(x) && !IsSmall(x)) return bad_state(api, "domain_variable", x);
  }
  int32_t last = 0;
  for (TAGGED l = keys; IsLst(l); l = deref(LstTail(l))) {
    TAGGED e = deref(LstHead(l));
    if (!is_struct(e, 2)) return bad_state(api, "key_entry", e);
    TAGGED key = deref(StrArg(e, 1)), c = deref(StrArg(e, 2));
    if (!IsSmall(key)) return bad_state(api, "key", key);
    if (l != keys && GetSmall(key) <= last) return bad_state(api, "ascending_keys", key);
    last = GetSmall(key);
    if (!IsStr(c) || IsBox(c) || Arity(StrFunctor(c)) < 2) return bad_state(api, "count", c);
    TAGGED cv = deref(StrArg(c, 1));
    if (!IsVar(cv) && !IsSmall(cv)) return bad_state(api, "domain_variable", cv);
  }
  return 1;
}

namespace {

/* The attribute of term (made when it has none) into the pair of node x; the state in term[0]
 * and the rest of its list in term[3] are roots while room is made. */
int load_pair(ORVALIS_API_STRUCT *api, worker *w, fd_vg_block *b, int x, TAGGED term)
{
  constexpr uint32_t ATTRIBUTE_ROOM = 414;
  w->term[4] = term;
  fd_room(api, w, ATTRIBUTE_ROOM);
  term = deref(w->term[4]);
  TAGGED attr = fd_check_argument(api, w, term, atom_inf, atom_sup, atom_sup);
  if (!attr) return bad_state(api, "domain_variable", term);
  b->refbase[2 * x].term = attr;
  b->refbase[2 * x + 1].term = term;
  return 1;
}

}  // namespace

/* Creation: the block sized for the complete graph, the pairs, the keys. Null after an error. */
void *fd_vg_extra(fd_vg_block *b)
{
  fd_vgraph *g = &b->g;
  return (char *)(g->dv + g->nnodes) + fd_vg_words(g->nvars, g->nvals) * sizeof(int);
}

fd_vg_block *fd_vg_alloc(fd_entry *e, size_t head, int nvars, int nvals, size_t extra)
{
  int nnodes = nvars + nvals + 2;
  size_t bytes = head + nnodes * sizeof(dvar) + fd_vg_words(nvars, nvals) * sizeof(int) + extra;
  QX_globref refs;
  auto *b = (fd_vg_block *)fd_entry_block(e, bytes, fd_vg_destroy, nullptr, 2 * nnodes, &refs);
  b->qxenv = e->api;
  b->refbase = refs;
  b->stamp = e->stamp - 1;
  fd_vgraph *g = &b->g;
  g->dv = (dvar *)((char *)b + head);
  fd_vg_carve(g, nvars, nvals, (int *)(g->dv + nnodes));
  return b;
}

fd_vg_block *fd_vg_create_keyed(fd_entry *e, const fd_vg_args *a, size_t head, size_t extra)
{
  ORVALIS_API_STRUCT *api = e->api;
  worker *w = e->w;
  TAGGED s = deref(w->term[0]);
  int nvars = GetSmall(deref(StrArg(s, a->nvars))), nvals = GetSmall(deref(StrArg(s, a->nvals)));
  int nnodes = nvars + nvals + 2;
  fd_vg_block *b = fd_vg_alloc(e, head, nvars, nvals, extra);
  fd_vgraph *g = &b->g;
  g->val[0] = 0x7ffffffd;
  g->val[nnodes - 1] = 0x7fffffff;
  for (int x = nvals + 1; x < nnodes - 1; x++) g->val[x] = 0x7ffffffe;
  fd_room(api, w, 15 * (nvars + nvals) + 128);
  w->term[3] = deref(StrArg(deref(w->term[0]), a->vars));
  for (int x = nvals + 1; IsLst(w->term[3]); x++) {
    TAGGED l = w->term[3];
    w->term[3] = deref(LstTail(l));
    if (!load_pair(api, w, b, x, deref(LstHead(l)))) return nullptr;
  }
  w->term[3] = deref(StrArg(deref(w->term[0]), a->keys));
  for (int j = 1; IsLst(w->term[3]); j++) {
    TAGGED e = deref(LstHead(w->term[3]));
    w->term[3] = deref(LstTail(w->term[3]));
    g->val[j] = GetSmall(deref(StrArg(e, 1)));
    if (!load_pair(api, w, b, j, deref(StrArg(deref(StrArg(e, 2)), 1)))) return nullptr;
  }
  w->term[3] = w->term[4] = atom_nil;
  TAGGED *args = StrPtr(deref(w->term[0]));
  args[a->vars] = args[a->keys] = atom_nil;
  return b;
}

namespace {

/* The active counts of a state for a block: 1, or 0 after raising an error. */
int check_targets(ORVALIS_API_STRUCT *api, const fd_vg_block *b, TAGGED s, const fd_vg_args *a)
{
  TAGGED nv = deref(StrArg(s, a->nvars)), nk = deref(StrArg(s, a->nvals));
  if (!IsSmall(nv) || GetSmall(nv) < 0 || GetSmall(nv) > b->g.nvars)
    return bad_state(api, "variable_count", nv);
  if (!IsSmall(nk) || GetSmall(nk) < 0 || GetSmall(nk) > b->g.nvals)
    return bad_state(api, "key_count", nk);
  return 1;
}

}  // namespace

void fd_vg_destroy(void *block) { fd_entry_destroy(block, ((fd_vg_block *)block)->refbase); }

bool fd_vg_start(ORVALIS_API_STRUCT *api, worker *w, fd_vg_block *b, int32_t stamp,
                 const fd_vg_args *a, int nflows)
{
  fd_vgraph *g = &b->g;
  bool incremental = b->stamp == stamp;
  if (!incremental) {
    TAGGED s = deref(w->term[0]);
    g->nvartargets = GetSmall(deref(StrArg(s, a->nvars)));
    g->nvaltargets = GetSmall(deref(StrArg(s, a->nvals)));
  }
  fd_vg_begin(api, w, g);
  for (int k = 1; k < g->nactive - 1; k++) {
    int x = g->activeset[k];
    dvar_init(&g->dv[x], &b->refbase[2 * x].term, &b->refbase[2 * x + 1].term);
  }
  int changes = fd_vg_refresh(api, w, g, incremental, nflows);
  b->stamp = stamp + 1;
  return incremental && changes == 0;
}

void fd_vg_export(ORVALIS_API_STRUCT *api, worker *w, fd_vgraph *g, const int *targets, int n)
{
  for (int k = 0; k < n; k++) {
    dvar *d = &g->dv[targets[k]];
    if (d->flags & (DV_SET_TOLD | DV_MIN_RAISED | DV_MAX_LOWERED)) dvar_export_do(api, w, d);
  }
}

void fd_vg_store_targets(worker *w, const fd_vg_args *a, const fd_vgraph *g)
{
  TAGGED *args = StrPtr(deref(w->term[0]));
  args[a->nvars] = MakeSmall(g->nvartargets);
  args[a->nvals] = MakeSmall(g->nvaltargets);
}

void fd_vg_entry(ORVALIS_API_STRUCT *api, QX_term_ref state0, QX_term_ref state,
                 QX_term_ref actions, const fd_vg_kind *kind)
{
  const fd_vg_args *a = &kind->args;
  TAGGED s = fd_ref_get(api, state0);
  if (is_struct(s, a->arity) && deref(StrArg(s, a->arity - 1)) == MakeSmall(0)) {
    worker *w = fd_global_run(api, state0); /* entailed before */
    if (!w) return;
    fd_ref_put(api, state, w->term[0]);
    dvar_export_done(api, w, actions, 1);
    return;
  }
  fd_entry e;
  if (!fd_entry_begin(&e, api, state0, a->arity, true)) return;
  worker *w = e.w;
  fd_vg_block *b = nullptr;
  if (IsVar(e.handle)) {
    if ((kind->check && !kind->check(api, w, deref(w->term[0]))) || !(b = kind->create(&e))) {
      fd_native_fail(api);
      return;
    }
  } else if (IsVar(deref(LstHead(e.handle)))) {
    b = (fd_vg_block *)fd_perm_data(e.handle);
    if (!check_targets(api, b, deref(w->term[0]), a)) {
      fd_native_fail(api);
      return;
    }
  }
  int outcome = b ? kind->run(api, w, b, e.stamp) : 1;
  if (outcome == 1) {
    fd_perm_free(api, w);
    StrPtr(deref(w->term[0]))[a->arity - 1] = MakeSmall(0);
  }
  fd_entry_end(&e, state, actions, outcome);
}

int fd_vg_compress(ORVALIS_API_STRUCT *api, worker *w, fd_vgraph *g, const int *keep)
{
  int *codes = g->codes;
  int n = 0;
  for (int k = 1; k < g->nactive - 1; k++) {
    int x = g->activeset[k];
    if (!fd_vg_is_var(g, x)) continue;
    const int *values = fd_vg_values(g, x);
    for (int i = 0; i < g->in_degree[x]; i++)
      if (g->component[values[i]] != g->component[x] && !(keep && keep[x] == values[i]))
        codes[n++] = fd_vg_code(g, x, values[i]);
  }
  if (n > 0) fd_vg_apply(g, codes, n);
  return n;
}

/* ---- global_cardinality ---- */

namespace {

enum { ARG_NVARS = 1, ARG_NVALS, ARG_VARS, ARG_KEYS, ARG_COSTFLAG, ARG_COST, ARG_FIXEDCOST,
       ARG_HANDLE, ARG_STAMP };
const fd_vg_args gcc_args = {ARG_STAMP, ARG_NVARS, ARG_NVALS, ARG_VARS, ARG_KEYS};

/* The keyed checks, the cost flag and, with costs, Cost and the matrix. */
int gcc_check(ORVALIS_API_STRUCT *api, worker *w, TAGGED s)
{
  if (!fd_vg_check_keyed(api, w, s, &gcc_args)) return 0;
  /* no variable has settled yet: a FixedCost would be added to every total */
  if (!fd_entry_first_count(api, StrArg(s, ARG_FIXEDCOST), 0, "fixed_cost")) return 0;
  TAGGED flag = deref(StrArg(s, ARG_COSTFLAG));
  if (!IsSmall(flag)) {
    fd_domain_error(api, "cost_flag", IsVar(flag) ? atom_nil : flag, 1);
    return 0;
  }
  if (flag == MakeSmall(0)) return 1;
  int nvars = GetSmall(deref(StrArg(s, ARG_NVARS))), nvals = GetSmall(deref(StrArg(s, ARG_NVALS)));
  TAGGED c = deref(StrArg(s, ARG_COST));
  if (!IsStr(c) || IsBox(c) || Arity(StrFunctor(c)) < 3) return fd_vg_bad_state(api, "cost", c);
  TAGGED cv = deref(StrArg(c, 1)), rows = deref(StrArg(c, 3));
  if (!IsVar(cv) && !IsSmall(cv)) return fd_vg_bad_state(api, "domain_variable", cv);
  if (proper_length(w, rows) != nvars) return fd_vg_bad_state(api, "cost_matrix", rows);
  for (; IsLst(rows); rows = deref(LstTail(rows))) {
    TAGGED row = deref(LstHead(rows));
    if (proper_length(w, row) != nvals) return fd_vg_bad_state(api, "cost_matrix", row);
    for (; IsLst(row); row = deref(LstTail(row)))
      if (!IsSmall(deref(LstHead(row)))) return fd_vg_bad_state(api, "cost_matrix", LstHead(row));
  }
  return 1;
}

}  // namespace

/* ---- the flow ---- */

namespace {

/* Pushes one unit on (u, v), then along the dad links from u back to a node without one. */
void adjust_flow(fd_vgraph *g, int u, int v, int f)
{
  incflow(g, u, v, f);
  for (int x = u; g->dad[x] != -1; x = g->dad[x]) incflow(g, g->dad[x], x, f);
}

void clear_visited(fd_vgraph *g)
{
  for (int a = 0; a < g->nactive; a++) g->visited[g->activeset[a]] = 0;
}

/* Breadth first from j over residual arcs until the source: false when it is out of reach. */
bool path_to_source(fd_vgraph *g, int j, int f)
{
  clear_visited(g);
  int head = 0, tail = 0;
  g->stack[tail++] = j;
  g->visited[j] = 1;
  g->dad[j] = -1;
  while (head < tail) {
    int x = g->stack[head++];
    const int *list;
    for (int i = 0, n = residual_list(g, x, f, &list); i < n; i++) {
      int y = list[i];
      if (g->visited[y] || res(g, x, y, f) <= 0) continue;
      g->visited[y] = 1;
      g->dad[y] = x;
      if (y == 0) return true;
      g->stack[tail++] = y;
    }
  }
  return false;
}

/* Levels (source 1) in component over the residual graph: whether the sink has one. */
bool flow_levels(fd_vgraph *g, int f)
{
  int sink = g->nnodes - 1, head = 0, tail = 0;
  for (int a = 0; a < g->nactive; a++) g->component[g->activeset[a]] = 0;
  g->component[0] = 1;
  g->stack[tail++] = 0;
  while (head < tail) {
    int x = g->stack[head++];
    if (x == sink) continue;
    const int *list;
    for (int i = 0, n = residual_list(g, x, f, &list); i < n; i++) {
      int y = list[i];
      if (g->component[y] != 0 || res(g, x, y, f) <= 0) continue;
      g->component[y] = g->component[x] + 1;
      g->stack[tail++] = y;
    }
  }
  return g->component[sink] != 0;
}

/* One Dinic phase: unit augmentations along level-increasing arcs, dead ends marked in visited. */
void blocking_flow(fd_vgraph *g, int f, bool *changed)
{
  int sink = g->nnodes - 1;
  for (int a = 0; a < g->nactive; a++) {
    g->visited[g->activeset[a]] = 0;
    g->iter[g->activeset[a]] = 0;
  }
  g->dad[0] = -1;
  int x = 0;
  for (;;) {
    if (x == sink) {
      adjust_flow(g, sink, 0, f);
      *changed = true;
      x = 0;
      continue;
    }
    const int *list;
    int n = residual_list(g, x, f, &list), y = -1;
    for (; g->iter[x] < n; g->iter[x]++) {
      int z = list[g->iter[x]];
      if (g->component[z] == g->component[x] + 1 && !g->visited[z] && res(g, x, z, f) > 0) {
        y = z;
        break;
      }
    }
    if (y >= 0) {
      g->dad[y] = x;
      x = y;
      continue;
    }
    g->visited[x] = 1;
    if (x == 0) return;
    x = g->dad[x];
  }
}

void sccs(gcc_graph *b)
{
  fd_vgraph *g = &b->g;
  b->scc_component = b->scc_visited = b->scc_index = 0;
  clear_visited(g);
  g->in_degree[0] = 0;
  /* res() of flow 0 spelt out per kind of node: this is the hot loop */
  const int *mate = g->mate[0];
  int sink = g->nnodes - 1;
  auto next = [g, mate, sink](int x, int i) {
    if (fd_vg_is_var(g, x)) return i > 0 ? -2 : mate[x] >= 0 ? mate[x] : sink;
    if (x == 0) return i >= g->nvals ? -2 : count_max(g, i + 1) > mate[i + 1] ? i + 1 : -1;
    if (x == sink) return i >= g->nvars ? -2 : mate[fd_vg_list(g, x)[i + 1]] >= 0 ? fd_vg_list(g, x)[i + 1] : -1;
    if (i < g->out_degree[x]) {
      int y = fd_vg_vars(g, x)[i];
      return mate[y] != x ? y : -1;
    }
    return i > g->out_degree[x] ? -2 : mate[x] > count_min(g, x) ? 0 : -1;
  };
  auto done = [g](int x, int c) { g->component[x] = c; };
  auto visit = [&](int root) {
    fd_vg_tarjan(g, root, &b->scc_visited, &b->scc_index, &b->scc_component, next, done);
  };
  visit(0);
  for (int k = 0; k < g->nvaltargets; k++)
    if (!g->visited[g->valtarget[k]]) visit(g->valtarget[k]);
  for (int k = 0; k < g->nvartargets; k++)
    if (!g->visited[g->vartarget[k]]) visit(g->vartarget[k]);
  g->in_degree[0] = 1;
}

/* Whether some flow of j lies outside its count's bounds. */
bool flow_outside(const fd_vgraph *g, int j, int nflows)
{
  for (int f = 0; f < nflows; f++)
    if (g->mate[f][j] < count_min(g, j) || g->mate[f][j] > count_max(g, j)) return true;
  return false;
}

}  // namespace

/* A 64-bit value held within the small integers (beyond them: just outside, read as inf/sup). */
int64_t clamp_small(int64_t v) { return std::clamp<int64_t>(v, QX_SMALL_MIN - 1LL, QX_SMALL_MAX + 1LL); }

int count_min(const fd_vgraph *g, int j)
{
  TAGGED m = g->dv[j].min;
  return IsSmall(m) ? std::max(0, (int)GetSmall(m)) : 0;
}

int count_max(const fd_vgraph *g, int j)
{
  TAGGED m = g->dv[j].max;
  return IsSmall(m) ? std::min(g->nvars, (int)GetSmall(m)) : g->nvars;
}

/* Residual capacity of arc (u, v) in flow f. */
int res(const fd_vgraph *g, int u, int v, int f)
{
  const int *mate = g->mate[f];
  int sink = g->nnodes - 1;
  if (u == 0) return v == sink ? mate[0] : count_max(g, v) - mate[v];
  if (fd_vg_is_value(g, u)) return v == 0 ? mate[u] - count_min(g, u) : mate[v] != u;
  if (u != sink) return v == sink ? mate[u] == -1 : mate[u] == v;
  return v == 0 ? g->nvars - mate[0] : mate[v] != -1;
}

/* The nodes that residual arcs out of x may reach, to be tested with res(): a variable has at
 * most one (its value in flow f, or else the sink); other nodes their whole list. */
int residual_list(const fd_vgraph *g, int x, int f, const int **list)
{
  if (!fd_vg_is_var(g, x)) {
    *list = fd_vg_list(g, x);
    return fd_vg_degree(g, x);
  }
  if (g->mate[f][x] >= 0) {
    *list = &g->mate[f][x];
  } else {
    *list = fd_vg_list(g, x); /* the sink comes first */
  }
  return 1;
}

/* Pushes one unit along residual arc (u, v). */
void incflow(fd_vgraph *g, int u, int v, int f)
{
  int *mate = g->mate[f], sink = g->nnodes - 1;
  if (u == 0)
    v == sink ? mate[0]-- : mate[v]++;
  else if (fd_vg_is_value(g, u))
    v == 0 ? mate[u]-- : mate[v] = u;
  else if (u == sink)
    v == 0 ? mate[0]++ : 0;
  else if (v != sink)
    mate[u] = -1;
}

/* Flows above a count's maximum give back variables until they fit. */
void maintain_capacities(fd_vgraph *g, int f)
{
  for (int k = 0; k < g->nvaltargets; k++) {
    int j = g->valtarget[k];
    const int *vars = fd_vg_vars(g, j);
    for (int i = 0; i < g->out_degree[j] && g->mate[f][j] > count_max(g, j); i++)
      fd_vg_reset_flow(g, j, vars[i], f);
  }
}

/* Raises every flow below its count's minimum: false when a minimum cannot be met. */
bool feasible_flow(fd_vgraph *g, int f, bool *changed)
{
  for (int k = 0; k < g->nvaltargets; k++) {
    int j = g->valtarget[k];
    while (count_min(g, j) > g->mate[f][j]) {
      if (!path_to_source(g, j, f)) return false;
      adjust_flow(g, 0, j, f);
      *changed = true;
    }
  }
  return true;
}

/* Dinic's method; the source's in-neighbour (the sink) is hidden meanwhile. The flow value. */
int maximum_flow(fd_vgraph *g, int f, bool *changed)
{
  if (g->mate[f][0] == g->nvars) return g->nvars; /* every variable assigned: no path is left */
  g->in_degree[0] = 0;
  while (flow_levels(g, f)) blocking_flow(g, f, changed);
  g->in_degree[0] = 1;
  return g->mate[f][0];
}

/* Counts between the variables that must and those that can take their key, then the sum passes
 * (the counts of the active keys add up to the active variables). false on a wipe-out. */
bool adjust_count_bounds(fd_vgraph *g, int nflows, bool *changed)
{
  bool flag = false;
  int64_t summin = 0, summax = 0;
  for (int k = 0; k < g->nvaltargets; k++) {
    int j = g->valtarget[k], fixed = 0, possible = g->out_degree[j];
    const int *vars = fd_vg_vars(g, j);
    for (int i = 0; i < possible; i++) fixed += g->in_degree[vars[i]] == 1;
    dvar *c = &g->dv[j];
    if (fds_val(c->min) < fixed || fds_val(c->max) > possible) {
      if (dvar_fix_interval_t(c, MakeSmall(fixed), MakeSmall(possible)) < 0) return false;
      if (GetSmall(c->min) > fixed || GetSmall(c->max) < possible) flag = true;
      if (!flag) flag = flow_outside(g, j, nflows);
    }
    summin += GetSmall(c->min);
    summax += GetSmall(c->max);
  }
  int64_t spread;
  do {
    spread = summax - summin;
    for (int k = 0; k < g->nvaltargets; k++) {
      int j = g->valtarget[k];
      dvar *c = &g->dv[j];
      int64_t othermin = summin - GetSmall(c->min), othermax = summax - GetSmall(c->max);
      int64_t lo = g->nvartargets - othermax, hi = g->nvartargets - othermin;
      if (GetSmall(c->min) < lo || GetSmall(c->max) > hi) {
        int r = dvar_fix_interval_t(c, MakeSmall((int32_t)std::max<int64_t>(lo, 0)),
                                    MakeSmall((int32_t)std::min<int64_t>(hi, g->nvars)));
        if (r < 0) return false;
        /* a hole of the count may take it past the sum's bounds: that the flow does not imply,
         * and another pass must see it */
        if (GetSmall(c->min) > lo || GetSmall(c->max) < hi) flag = true;
        if (!flag) flag = flow_outside(g, j, nflows);
      }
      summin = othermin + GetSmall(c->min);
      summax = othermax + GetSmall(c->max);
    }
  } while (g->nvaltargets > 0 && summax - summin != spread);
  *changed |= flag;
  return true;
}

/* A variable that is also the count of value j: the count within the keys the variable can
 * take, the variable's arcs within the count's values. false on a wipe-out. */
bool sync_aliases(ORVALIS_API_STRUCT *api, worker *w, gcc_graph *b, int nflows, bool *changed)
{
  fd_vgraph *g = &b->g;
  int *codes = g->codes;
  int n = 0, *active = g->iter;
  std::memset(active, 0, g->nnodes * sizeof(int));
  for (int k = 0; k < g->nvaltargets; k++) active[g->valtarget[k]] = 1;
  for (int a = 1; a < g->nactive - 1; a++) {
    int x = g->activeset[a], j = fd_vg_is_var(g, x) ? b->alias[x] : -1;
    if (j < 0 || !active[j]) continue;
    dvar *c = &g->dv[j];
    const int *values = fd_vg_values(g, x);
    if (g->in_degree[x] == 0) return false;
    int r = dvar_fix_interval_t(c, MakeSmall(g->val[values[0]]),
                                MakeSmall(g->val[values[g->in_degree[x] - 1]]));
    if (r < 0) return false;
    if (r > 0) *changed = true;
    /* a count of one interval cuts a prefix and a suffix of the ascending list */
    bool interval = c->flags & DV_INTERVAL;
    int32_t lo = fds_val(c->min), hi = fds_val(c->max);
    for (int i = 0; i < g->in_degree[x]; i++) {
      int32_t v = g->val[values[i]];
      if (interval && v >= lo && v <= hi) { /* on to the last value within the count */
        i = std::upper_bound(values + i, values + g->in_degree[x], hi,
                             [g](int32_t key, int node) { return key < g->val[node]; }) -
            values - 1;
        continue;
      }
      if (!interval && dvar_contains_value_t(c, MakeSmall(v))) continue;
      for (int f = 0; f < nflows; f++) fd_vg_reset_flow(g, values[i], x, f);
      codes[n++] = fd_vg_code(g, x, values[i]);
    }
  }
  if (n > 0) {
    fd_vg_apply(g, codes, n);
    *changed = true;
  }
  return true;
}

namespace {

bool gcc_filter(ORVALIS_API_STRUCT *api, worker *w, gcc_graph *b)
{
  fd_vgraph *g = &b->g;
  for (int k = 0; k < g->nvaltargets; k++)
    if (count_max(g, g->valtarget[k]) < count_min(g, g->valtarget[k])) return false;
  /* Only new count bounds call for another pass: a pass repairs the flow before its component
   * search, and the arcs it removes carry no flow and join no components. */
  bool changed, augmented;
  do {
    changed = false;
    maintain_capacities(g, 0);
    if (!feasible_flow(g, 0, &augmented)) return false;
    if (maximum_flow(g, 0, &augmented) != g->nvars) return false;
    sccs(b);
    if (b->scc_component > 1) fd_vg_compress(api, w, g, g->mate[0]);
    if (!adjust_count_bounds(g, 1, &changed)) return false;
    if (b->aliased && !sync_aliases(api, w, b, 1, &changed)) return false;
  } while (changed);
  return true;
}

#ifndef NDEBUG
/* The flow invariants after a successful call: each variable assigned along one of its arcs,
 * each value's flow the number of its variables and within its count, every variable assigned. */
void gcc_check_flow(const fd_vgraph *g, int f)
{
  const int *mate = g->mate[f];
  int *flow = g->low;
  std::memset(flow, 0, g->nnodes * sizeof(int));
  int assigned = 0;
  for (int x = g->nvals + 1; x < g->nnodes - 1; x++) {
    if (mate[x] == -1) continue;
    assert(fd_vg_is_value(g, mate[x]));
    const int *values = fd_vg_values(g, x);
    assert(std::find(values, values + g->in_degree[x], mate[x]) != values + g->in_degree[x]);
    flow[mate[x]]++;
    assigned++;
  }
  assert(assigned == mate[0] && assigned == g->nvars);
  for (int j = 1; j <= g->nvals; j++) assert(flow[j] == mate[j]);
  for (int k = 0; k < g->nvaltargets; k++) {
    int j = g->valtarget[k];
    assert(mate[j] >= count_min(g, j) && mate[j] <= count_max(g, j));
  }
  (void)assigned;
}
#endif

/* A value is settled when its flow takes every variable it has and none of them has a choice. */
void contract_vals(fd_vgraph *g)
{
  for (int k = 0; k < g->nvaltargets;) {
    int j = g->valtarget[k];
    bool settled = g->mate[0][j] == g->out_degree[j];
    const int *vars = fd_vg_vars(g, j);
    for (int i = 0; settled && i < g->out_degree[j]; i++) settled = g->in_degree[vars[i]] <= 1;
    if (settled)
      fd_vg_settle(g, g->valtarget, k, &g->nvaltargets);
    else
      k++;
  }
}

/* The counts that are variables of the constraint too (magic series): within a call their two
 * views are kept in step, so that one call reaches what the kernel would otherwise reach by
 * running the constraint again after each of its own prunings. */
void find_aliases(gcc_graph *b)
{
  fd_vgraph *g = &b->g;
  for (int x = g->nvals + 1; x < g->nnodes - 1; x++) {
    b->alias[x] = -1;
    TAGGED v = deref(b->refbase[2 * x + 1].term);
    for (int j = 1; IsVar(v) && j <= g->nvals && b->alias[x] < 0; j++)
      if (deref(b->refbase[2 * j + 1].term) == v) b->alias[x] = j, b->aliased = true;
  }
}

fd_vg_block *gcc_create(fd_entry *e)
{
  ORVALIS_API_STRUCT *api = e->api;
  worker *w = e->w;
  TAGGED s = deref(w->term[0]);
  bool costs = deref(StrArg(s, ARG_COSTFLAG)) != MakeSmall(0);
  int nvars = GetSmall(deref(StrArg(s, ARG_NVARS))), nvals = GetSmall(deref(StrArg(s, ARG_NVALS)));
  size_t nodes = (size_t)nvars + nvals + 2;
  size_t extra = 2 * nodes * sizeof(TAGGED) + nodes * sizeof(int) +
                 (costs ? costgcc_bytes(nvars, nvals) : 0);
  auto *b = (gcc_graph *)fd_vg_create_keyed(e, &gcc_args, sizeof(gcc_graph), extra);
  if (!b) return nullptr;
  b->costs = costs;
  b->last_min = (TAGGED *)fd_vg_extra(b);
  b->last_max = b->last_min + nodes;
  b->alias = (int *)(b->last_max + nodes);
  find_aliases(b);
  if (costs) {
    costgcc_carve(b, b->alias + nodes);
    TAGGED c = deref(StrArg(deref(w->term[0]), ARG_COST));
    int32_t *m = b->cost;
    for (TAGGED rows = deref(StrArg(c, 3)); IsLst(rows); rows = deref(LstTail(rows)))
      for (TAGGED row = deref(LstHead(rows)); IsLst(row); row = deref(LstTail(row)))
        *m++ = GetSmall(deref(LstHead(row)));
    costgcc_posted(b);
    w->term[3] = atom_nil;
    if (!load_pair(api, w, b, 0, deref(StrArg(c, 1)))) return nullptr;
  }
  StrPtr(deref(w->term[0]))[ARG_COST] = atom_nil;
  return b;
}

/* FixedCost with the costs of the variables that left the active prefix since old. */
void settle_costs(worker *w, gcc_graph *b, int old)
{
  fd_vgraph *g = &b->g;
  TAGGED *args = StrPtr(deref(w->term[0]));
  int64_t fixed = GetSmall(deref(args[ARG_FIXEDCOST]));
  for (int k = g->nvartargets; k < old; k++) {
    int x = g->vartarget[k];
    if (g->in_degree[x] == 1) fixed += gcc_matrix(b, x, fd_vg_values(g, x)[0]);
  }
  args[ARG_FIXEDCOST] = MakeSmall((int32_t)clamp_small(fixed));
}

/* Whether every active count (and Cost) has the bounds the last call left. */
bool counts_as_left(gcc_graph *b)
{
  fd_vgraph *g = &b->g;
  for (int k = 0; k < g->nvaltargets; k++) {
    int j = g->valtarget[k];
    if (g->dv[j].min != b->last_min[j] || g->dv[j].max != b->last_max[j]) return false;
  }
  return !b->costs || (g->dv[0].min == b->last_min[0] && g->dv[0].max == b->last_max[0] &&
                       dvar_value_count(&g->dv[0]) == b->last_size);
}

void leave_counts(gcc_graph *b)
{
  fd_vgraph *g = &b->g;
  for (int k = 0; k < g->nvaltargets; k++) {
    int j = g->valtarget[k];
    b->last_min[j] = g->dv[j].min, b->last_max[j] = g->dv[j].max;
  }
  if (b->costs) {
    b->last_min[0] = g->dv[0].min, b->last_max[0] = g->dv[0].max;
    b->last_size = dvar_value_count(&g->dv[0]);
  }
}

/* One call on an existing block: 1 entailed, 0 suspended, -1 failed. A call that finds the
 * graph and the counts as the last one left them (the kernel runs the constraint again after
 * its own prunings) stops at once: the last call ended at its fixpoint. */
int gcc_run(ORVALIS_API_STRUCT *api, worker *w, fd_vg_block *block, int32_t stamp)
{
  auto *b = (gcc_graph *)block;
  fd_vgraph *g = &b->g;
  bool incremental = b->stamp == stamp;
  bool unchanged = fd_vg_start(api, w, b, stamp, &gcc_args, b->costs ? 2 : 1);
  int old = g->nvartargets;
  if (b->costs) dvar_init(&g->dv[0], &b->refbase[0].term, &b->refbase[1].term);
  if (unchanged && counts_as_left(b)) return 0;
  if (b->costs) {
    int64_t fixed = GetSmall(deref(StrArg(deref(w->term[0]), ARG_FIXEDCOST)));
    if (fd_costgcc_loop_hook ? !fd_costgcc_loop_hook(api, w, b, fixed)
                             : !costgcc_loop(api, w, b, fixed, incremental))
      return -1;
  } else if (!gcc_filter(api, w, b)) {
    return -1;
  }
#ifndef NDEBUG
  for (int f = 0; f < (b->costs ? 2 : 1); f++) gcc_check_flow(g, f);
#endif
  int outcome = fd_vg_new_domains(api, w, g);
  if (outcome < 0) return -1;
  for (int k = 0; k < g->nvaltargets; k++) dvar_pruning_done(api, w, &g->dv[g->valtarget[k]]);
  if (b->costs) dvar_pruning_done(api, w, &g->dv[0]);
  leave_counts(b);
  /* every view is localised before the first export, which may collect */
  fd_vg_export(api, w, g, g->vartarget, g->nvartargets);
  fd_vg_export(api, w, g, g->valtarget, g->nvaltargets);
  int zero = 0;
  if (b->costs) fd_vg_export(api, w, g, &zero, 1);
  contract_vals(g);
  fd_vg_contract_vars(g);
  if (b->costs) settle_costs(w, b, old);
  fd_vg_store_targets(w, &gcc_args, g);
  return outcome;
}

}  // namespace

void prolog_fd_gcc_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0, QX_term_ref state,
                                  QX_term_ref actions)
{
  static const fd_vg_kind kind = {gcc_args, gcc_check, gcc_create, gcc_run};
  fd_vg_entry(api, state0, state, actions, &kind);
}

/* global_cardinality_helper(I, X, Mutable): once X is bound, Cost lies within the least and
 * greatest totals of the solutions with X = key, read from the regrets the constraint's last call
 * left in its block. A dead constraint, a block older than the constraint's state, a variable the
 * block already sees fixed, or a key the block does not hold: entailed, nothing pruned. */
void prolog_fd_gcc_helper_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0,
                                         QX_term_ref state, QX_term_ref actions)
{
  worker *w = fd_global_run(api, state0);
  if (!w) return;
  TAGGED s = deref(w->term[0]);
  TAGGED pos = is_struct(s, 3) ? deref(StrArg(s, 1)) : 0, m = pos ? deref(StrArg(s, 3)) : 0;
  if (!pos || !IsSmall(pos) || !IsStr(m) || StrFunctor(m) != functor_mutable2) {
    fd_type_error(api, "gcc_helper_state", culprit(s), 1);
    fd_native_fail(api);
    return;
  }
  fd_ref_put(api, state, s);
  int outcome = 0;
  TAGGED x = deref(StrArg(s, 2)), gs = fd_mutable_value(m);
  if (!IsVar(x)) outcome = 1;
  TAGGED handle = is_struct(gs, ARG_STAMP) ? deref(StrArg(gs, ARG_HANDLE)) : MakeSmall(0);
  if (outcome == 1 && IsSmall(x) && IsLst(handle) && fd_valid_handle(handle) &&
      IsVar(deref(LstHead(handle)))) {
    auto *b = (gcc_graph *)fd_perm_data(handle);
    fd_vgraph *g = &b->g;
    if (GetSmall(pos) < 0 || GetSmall(pos) >= g->nvars) {
      fd_domain_error(api, "gcc_helper_position", pos, 1);
      fd_native_fail(api);
      return;
    }
    int node = GetSmall(pos) + g->nvals + 1;
    const int32_t *key = std::lower_bound(g->val + 1, g->val + 1 + g->nvals, GetSmall(x));
    int j = (int)(key - g->val);
    bool current = b->costs && IsSmall(deref(StrArg(gs, ARG_STAMP))) &&
                   b->stamp == GetSmall(deref(StrArg(gs, ARG_STAMP)));
    if (current && g->in_degree[node] > 1 && j <= g->nvals && *key == GetSmall(x) &&
        fd_vg_has_value(g, node, j)) {
      int64_t r0 = *gcc_regret(b, 0, node, j), r1 = *gcc_regret(b, 1, node, j);
      dvar *cost = &g->dv[0];
      dvar_init(cost, &b->refbase[0].term, &b->refbase[1].term);
      if (r0 >= GCC_REGRET_INF || r1 >= GCC_REGRET_INF ||
          dvar_fix_interval_t(cost, fds_bound(clamp_small(b->optcost[0] + r0)),
                              fds_bound(clamp_small(-b->optcost[1] - r1))) < 0) {
        outcome = -1;
      } else {
        dvar_pruning_done(api, w, cost);
        int zero = 0;
        fd_vg_export(api, w, g, &zero, 1);
      }
    }
  }
  dvar_export_done(api, w, actions, outcome);
}
