/* nvalue/2: N is the number of distinct values the variables X1..Xn take.
 *
 * On the shared variable/value graph (fd_gcc.h; value nodes are the union of the domains at
 * posting) with a one-to-one matching kept in the graph's first flow array: mate[x] is the value
 * node of variable x, mate[j] the variable node of value j, -1 when unmatched. A maximum matching
 * bounds N from above; from below a greedy stabbing of the domains' hulls and a greedy
 * independent set of their intersection graph. When N is fixed to one of these bounds the
 * variables lose the values no solution with that many distinct values gives them.
 *
 * Forced values are those a fixed variable takes, and every variable that can take one is taken
 * as using no new value; the free variables are the others. After every removal of arcs the
 * matching and the forced values are recomputed: a removal may take a matched arc, and a bound
 * computed on the older graph would no longer be one.
 */
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "fd_gcc.h"
#include "fd_globals.h"
#include "fd_propagate.h"
#include "fd_qsort.h"
#include "fd_sets.h"

namespace {

enum { ARG_N = 1, ARG_VARS, ARG_NVARS, ARG_NVALS, ARG_HANDLE, ARG_STAMP, NVALUE_ARITY = ARG_STAMP };

struct nvalue_data : fd_vg_block {
  int scc_component, scc_index, scc_visited;
  int *iset;        /* the variables of the independent set's steps, in order */
  uint8_t *igraph;  /* nvars x nvars: 1 when two free variables share a value */
  /* per call */
  int used, matched, forced, nfree, nsteps;
  /* N's bounds as the last call left them, and whether this call found every list unchanged */
  TAGGED last_min, last_max;
  bool unchanged;
};

int *mate(nvalue_data *b) { return b->g.mate[0]; }
int var_index(const fd_vgraph *g, int x) { return x - g->nvals - 1; }
int first_value(const fd_vgraph *g, int x) { return fd_vg_values(g, x)[0]; }
int last_value(const fd_vgraph *g, int x) { return fd_vg_values(g, x)[g->in_degree[x] - 1]; }

void unmatch(nvalue_data *b, int x)
{
  int *m = mate(b);
  if (m[x] >= 0) m[m[x]] = -1;
  m[x] = -1;
}

void match(nvalue_data *b, int x, int j)
{
  mate(b)[x] = j;
  mate(b)[j] = x;
}

/* ---- creation ---- */

TAGGED culprit(TAGGED t)
{
  t = deref(t);
  if (IsLst(t)) return atom_dot;
  return IsStr(t) && !IsBox(t) ? FunctorName(StrFunctor(t)) : IsVar(t) ? atom_nil : t;
}

/* A variable entry (X, Attr) of a finite domain: its attribute, or 0 after raising an error. */
TAGGED entry_attribute(ORVALIS_API_STRUCT *api, TAGGED e)
{
  e = deref(e);
  if (!IsStr(e) || IsBox(e) || Arity(StrFunctor(e)) < 2) {
    fd_type_error(api, "variable_entry", culprit(e), 1);
    return 0;
  }
  TAGGED x = deref(StrArg(e, 1)), attr = deref(StrArg(e, 2));
  if (!(IsVar(x) || IsSmall(x)) || !fd_well_formed_attribute(attr)) {
    fd_type_error(api, "domain_variable", culprit(x), 1);
    return 0;
  }
  TAGGED dom = fd_attr_dom(attr);
  if (!IsSmall(deref(StrArg(dom, 2))) || !IsSmall(deref(StrArg(dom, 3)))) {
    fd_domain_error(api, "finite_domain", culprit(x), 1);
    return 0;
  }
  return attr;
}

/* The state of a first call checked, and the union of the domains as ascending values (*nvals
 * of them, temporary area). Null after raising an error. */
int32_t *check_and_union(ORVALIS_API_STRUCT *api, worker *w, TAGGED s, int *nvars, int *nvals)
{
  if (!entry_attribute(api, StrArg(s, ARG_N))) return nullptr;
  for (int arg : {ARG_NVARS, ARG_NVALS})
    if (!IsSmall(deref(StrArg(s, arg)))) return fd_vg_bad_state(api, "target_count", StrArg(s, arg)), nullptr;
  TAGGED all = atom_nil, l = deref(StrArg(s, ARG_VARS));
  uint32_t steps = fd_list_bound(w);
  *nvars = 0;
  for (; IsLst(l) && steps-- > 0; l = deref(LstTail(l)), ++*nvars) {
    TAGGED attr = entry_attribute(api, LstHead(l));
    if (!attr) return nullptr;
    all = fd_merge_into(api, w, deref(StrArg(fd_attr_dom(attr), 1)), all);
  }
  if (l != atom_nil) {
    fd_type_error(api, "list", culprit(l), 1);
    return nullptr;
  }
  *nvals = fd_size(all);
  auto *values = (int32_t *)fd_temp_alloc(api, w, (*nvals + 1) * sizeof(int32_t));
  FDITER it;
  fditer_init(&it, all);
  for (int k = 0; !fditer_empty(&it); k++) values[k] = GetSmall(fditer_next(&it));
  return values;
}

void store_pair(nvalue_data *b, int x, TAGGED entry)
{
  entry = deref(entry);
  b->refbase[2 * x].term = deref(StrArg(entry, 2));
  b->refbase[2 * x + 1].term = deref(StrArg(entry, 1));
}

nvalue_data *nvalue_init(fd_entry *e, int nvars, int nvals, const int32_t *values)
{
  worker *w = e->w;
  int nnodes = nvars + nvals + 2;
  size_t extra = nvars * sizeof(int) + (size_t)nvars * nvars;
  auto *b = (nvalue_data *)fd_vg_alloc(e, sizeof(nvalue_data), nvars, nvals, extra);
  fd_vgraph *g = &b->g;
  b->iset = (int *)fd_vg_extra(b);
  b->igraph = (uint8_t *)(b->iset + nvars);
  for (int j = 1; j <= nvals; j++) g->val[j] = values[j - 1];
  g->val[0] = 0x7fffffec;
  g->val[nnodes - 1] = 0x7ffffffc;
  for (int x = nvals + 1; x < nnodes - 1; x++) g->val[x] = 0x7ffffff4;
  std::fill(g->mate[0], g->mate[0] + nnodes, -1);
  TAGGED s = deref(w->term[0]);
  store_pair(b, 0, StrArg(s, ARG_N));
  int x = nvals + 1;
  for (TAGGED l = deref(StrArg(s, ARG_VARS)); IsLst(l); l = deref(LstTail(l))) store_pair(b, x++, LstHead(l));
  /* the first call reads the active counts from the state like every other */
  StrPtr(s)[ARG_VARS] = atom_nil;
  StrPtr(s)[ARG_NVARS] = MakeSmall(nvars);
  StrPtr(s)[ARG_NVALS] = MakeSmall(nvals);
  return b;
}

/* ---- the matching ---- */

/* Partitions the first k entries of vartarget: variables with at most k values first, until a
 * pass keeps them all. Every variable outside the answer has more values than its position. */
int matching_kernel(fd_vgraph *g)
{
  int k = g->nvartargets;
  for (;;) {
    int front = 0;
    for (int i = 0; i < k; i++)
      if (g->in_degree[g->vartarget[i]] <= k) std::swap(g->vartarget[i], g->vartarget[front++]);
    if (front == k) return k;
    k = front;
  }
}

/* Breadth first over variables from x for a free value; flips the path found. */
bool augment_path(nvalue_data *b, int x)
{
  fd_vgraph *g = &b->g;
  int *queue = g->stack, *parent = g->dad, head = 0, tail = 0;
  int *m = mate(b);
  queue[tail++] = x;
  g->visited[x] = 1;
  while (head < tail) {
    int y = queue[head++];
    const int *values = fd_vg_values(g, y);
    for (int i = 0; i < g->in_degree[y]; i++) {
      int j = values[i];
      if (m[j] == -1) { /* flip: y takes j, each parent takes the value its child left */
        for (int v = j; y != -1;) {
          int left = m[y];
          match(b, y, v);
          v = left;
          y = y == x ? -1 : parent[y];
        }
        return true;
      }
      int z = m[j];
      if (g->visited[z]) continue;
      g->visited[z] = 1;
      parent[z] = y;
      queue[tail++] = z;
    }
  }
  return false;
}

/* A maximum matching of the active variables, repaired from the last one: *matched pairs. */
void max_matching(nvalue_data *b)
{
  fd_vgraph *g = &b->g;
  int *m = mate(b), k = matching_kernel(g);
  for (int i = k; i < g->nvartargets; i++) unmatch(b, g->vartarget[i]);
  int matched = g->nvartargets - k, first_unmatched = -1, last = -1;
  for (int i = 0; i < k; i++) {
    int x = g->vartarget[i];
    if (m[x] >= 0) {
      matched++;
      continue;
    }
    const int *values = fd_vg_values(g, x);
    int p = 0;
    if (first_unmatched >= 0)
      while (p < g->in_degree[x] && values[p] <= last) p++;
    else
      first_unmatched = i;
    if (p == g->in_degree[x]) continue;
    last = values[p];
    if (m[last] == -1) match(b, x, last), matched++;
  }
  /* a search that fails leaves the matching as it was: what it visited reaches no free value,
   * and later searches may skip it; marks are cleared only after a search that succeeds */
  bool marked = true;
  for (int i = std::max(first_unmatched, 0); first_unmatched >= 0 && i < k; i++) {
    int x = g->vartarget[i];
    if (m[x] >= 0) continue;
    if (marked) {
      int *visited = g->visited;
      const int *active = g->activeset;
      for (int a = 1, end = g->nactive - 1; a < end; a++) visited[active[a]] = 0;
    }
    marked = augment_path(b, x);
    matched += marked;
  }
  for (int i = k; i < g->nvartargets; i++) {
    int x = g->vartarget[i];
    const int *values = fd_vg_values(g, x);
    int p = 0;
    while (p < g->in_degree[x] && m[values[p]] != -1) p++;
    if (p < g->in_degree[x]) {
      match(b, x, values[p]);
    } else {
      std::fputs("! non-kernel match failed\n", stdout);
      matched--;
    }
  }
  b->matched = matched;
}

/* ---- bounds ---- */

/* Used values, forced values and free variables (the first nfree of vartarget). */
void forced_values(nvalue_data *b)
{
  fd_vgraph *g = &b->g;
  b->used = 0;
  for (int k = g->nvaltargets; k < g->nvals; k++) b->used += g->out_degree[g->valtarget[k]] > 0;
  for (int a = 1; a < g->nactive - 1; a++) g->visited[g->activeset[a]] = 0;
  for (int k = 0; k < g->nvartargets; k++) {
    int x = g->vartarget[k];
    if (g->in_degree[x] == 1) g->visited[first_value(g, x)] = 1;
  }
  for (int k = 0; k < g->nvaltargets; k++) {
    int j = g->valtarget[k];
    if (!g->visited[j]) continue;
    for (int i = 0; i < g->out_degree[j]; i++) g->visited[fd_vg_vars(g, j)[i]] = 1;
  }
  auto partition = [&](int *targets, int n) {
    int front = 0;
    for (int i = 0; i < n; i++)
      if (!g->visited[targets[i]]) std::swap(targets[i], targets[front++]);
    return front;
  };
  b->nfree = partition(g->vartarget, g->nvartargets);
  b->forced = g->nvaltargets - partition(g->valtarget, g->nvaltargets);
}

/* Groups of the free variables (sorted by smallest value) whose hulls share a value. */
int ordered_intervals(const fd_vgraph *g, int nfree)
{
  int groups = 0, lo = 0, hi = -1;
  for (int i = 0; i < nfree; i++) {
    int x = g->vartarget[i], a = first_value(g, x), z = last_value(g, x);
    if (std::max(lo, a) > std::min(hi, z)) {
      groups++;
      lo = a, hi = z;
    } else {
      lo = std::max(lo, a), hi = std::min(hi, z);
    }
  }
  return groups;
}

bool lists_meet(const fd_vgraph *g, int x, int y)
{
  const int *a = fd_vg_values(g, x), *c = fd_vg_values(g, y);
  int i = 0, k = 0;
  while (i < g->in_degree[x] && k < g->in_degree[y]) {
    if (a[i] == c[k]) return true;
    a[i] < c[k] ? i++ : k++;
  }
  return false;
}

/* The intersection graph of the free variables; degrees in low[]. */
void neighbors_intersect(nvalue_data *b)
{
  fd_vgraph *g = &b->g;
  int n = g->nvars;
  for (int i = 0; i < b->nfree; i++) {
    int x = g->vartarget[i];
    g->low[x] = 0;
    b->igraph[var_index(g, x) * n + var_index(g, x)] = 0;
  }
  for (int i = 0; i < b->nfree; i++)
    for (int k = i + 1; k < b->nfree; k++) {
      int x = g->vartarget[i], y = g->vartarget[k];
      uint8_t meet = lists_meet(g, x, y);
      b->igraph[var_index(g, x) * n + var_index(g, y)] = meet;
      b->igraph[var_index(g, y) * n + var_index(g, x)] = meet;
      g->low[x] += meet;
      g->low[y] += meet;
    }
}

bool adjacent(const nvalue_data *b, int x, int y)
{
  const fd_vgraph *g = &b->g;
  return b->igraph[var_index(g, x) * g->nvars + var_index(g, y)] != 0;
}

/* Greedy independent set: the candidate of least degree, its neighbours dropped, into iset by
 * steps (component = step, visited 1 for the chosen one). The number of steps. */
int large_independent_set(nvalue_data *b)
{
  fd_vgraph *g = &b->g;
  int *cand = g->calls, ncand = b->nfree, steps = 0, out = 0;
  std::memcpy(cand, g->vartarget, ncand * sizeof(int));
  while (ncand > 0) {
    int best = 0;
    for (int i = 1; i < ncand; i++)
      if (g->low[cand[i]] < g->low[cand[best]]) best = i;
    int chosen = cand[best], kept = 0, start = out;
    steps++;
    for (int i = 0; i < ncand; i++) {
      int u = cand[i];
      if (u != chosen && !adjacent(b, u, chosen)) {
        cand[kept++] = u;
        continue;
      }
      b->iset[out++] = u;
      g->component[u] = steps;
      g->visited[u] = u == chosen;
    }
    for (int r = start; r < out; r++)
      for (int k = 0; k < kept; k++) g->low[cand[k]] -= adjacent(b, b->iset[r], cand[k]);
    ncand = kept;
  }
  b->nsteps = steps;
  return steps;
}

/* At least the size of any independent set of the free variables: its members' domains are
 * disjoint, so it has at most as many members as the union of the free domains holds the
 * smallest of them. */
int iset_bound(nvalue_data *b)
{
  fd_vgraph *g = &b->g;
  int *seen = g->calls, least = INT32_MAX, count = 0;
  for (int i = 0; i < b->nfree; i++) {
    int x = g->vartarget[i];
    for (int k = 0; k < g->in_degree[x]; k++) seen[fd_vg_values(g, x)[k]] = 0;
  }
  for (int i = 0; i < b->nfree; i++) {
    int x = g->vartarget[i];
    least = std::min(least, g->in_degree[x]);
    for (int k = 0; k < g->in_degree[x]; k++) {
      int j = fd_vg_values(g, x)[k];
      count += !seen[j];
      seen[j] = 1;
    }
  }
  return b->nfree == 0 || least == 0 ? b->nfree : count / least;
}

/* ---- pruning ---- */

}  // namespace

uint64_t fd_nvalue_prunings[3];

namespace {

/* N at the matching bound: the matched pairs that alternating paths from the unmatched variables
 * (component 1) or values (component 2) reach share their marks; the rest are grouped by the
 * components of the values, a value leading to the other values of its variable. */
void matching_prune(nvalue_data *b)
{
  fd_vgraph *g = &b->g;
  int *m = mate(b), head = 0, tail = 0, pairs = 0, reached = 0;
  int *queue = g->dad;
  for (int k = 1; k < g->nactive - 1; k++) {
    int x = g->activeset[k];
    bool matched = m[x] >= 0;
    g->component[x] = matched ? 0 : fd_vg_is_var(g, x) ? 1 : 2;
    g->visited[x] = !matched;
    if (!matched) queue[tail++] = x;
    pairs += matched && fd_vg_is_var(g, x);
  }
  while (head < tail) {
    int q = queue[head++];
    bool from_value = fd_vg_is_value(g, q);
    const int *list = from_value ? fd_vg_vars(g, q) : fd_vg_values(g, q);
    int n = from_value ? g->out_degree[q] : g->in_degree[q];
    for (int i = 0; i < n; i++) {
      int z = list[i], partner = m[z];
      if (partner < 0 || g->visited[partner]) continue;
      g->component[z] = g->component[partner] = from_value ? 2 : 1;
      g->visited[partner] = 1;
      queue[tail++] = partner;
      reached++;
    }
  }
  if (reached == pairs) return;
  int number = 2;
  bool left = false;
  for (int k = 0; k < g->nvaltargets; k++) {
    int v = g->valtarget[k];
    g->visited[v] = FD_VG_SETTLED;
    if (g->component[v] != 0) continue;
    if (g->in_degree[m[v]] == 1) {
      g->component[v] = g->component[m[v]] = ++number;
    } else {
      g->visited[v] = 0;
      left = true;
    }
  }
  if (!left) return;
  b->scc_component = number;
  b->scc_visited = b->scc_index = 0;
  auto next = [g, m](int v, int i) {
    int x = m[v];
    if (i >= g->in_degree[x]) return -2;
    int u = fd_vg_values(g, x)[i];
    return u != v ? u : -1;
  };
  auto done = [g, m](int v, int c) {
    g->component[v] = g->component[m[v]] = c;
    g->visited[m[v]] = FD_VG_SETTLED;
  };
  for (int k = 0; k < g->nvartargets; k++) {
    int x = g->vartarget[k];
    if (m[x] >= 0 && g->visited[m[x]] == 0)
      fd_vg_tarjan(g, m[x], &b->scc_visited, &b->scc_index, &b->scc_component, next, done);
  }
}

bool is_forced(const nvalue_data *b, int k) { return k >= b->g.nvaltargets - b->forced; }

void mark_values(nvalue_data *b)
{
  fd_vgraph *g = &b->g;
  for (int k = 0; k < g->nvaltargets; k++) g->component[g->valtarget[k]] = is_forced(b, k) ? 1 : 2;
}

void mark_vars(fd_vgraph *g)
{
  for (int k = 0; k < g->nvartargets; k++) g->component[g->vartarget[k]] = 1;
}

/* Whether member u of a step may stand for it: no free variable next to it is the chosen one
 * of another step. */
bool can_swap_in_iset(const nvalue_data *b, int u, int step)
{
  const fd_vgraph *g = &b->g;
  if (g->visited[u] == 1) return true;
  for (int i = 0; i < b->nfree; i++) {
    int v = g->vartarget[i];
    if (adjacent(b, u, v) && g->visited[v] == 1 && g->component[v] != step) return false;
  }
  return true;
}

/* N at the independent-set bound: an unforced value survives only when, for some step, every
 * member that may stand for the step can take it. */
void independent_set_prune(nvalue_data *b)
{
  fd_vgraph *g = &b->g;
  int unforced = g->nvaltargets - b->forced, nset = b->nfree;
  int *keep = g->calls;
  std::fill(keep, keep + g->nnodes, 0);
  for (int start = 0; start < nset;) {
    int step = g->component[b->iset[start]], end = start;
    while (end < nset && g->component[b->iset[end]] == step) end++;
    for (int k = 0; k < unforced; k++) g->low[g->valtarget[k]] = 0;
    int count = 0;
    for (int r = start; r < end; r++) {
      int u = b->iset[r];
      if (!can_swap_in_iset(b, u, step)) continue;
      count++;
      for (int i = 0; i < g->in_degree[u]; i++) g->low[fd_vg_values(g, u)[i]]++;
    }
    for (int k = 0; k < unforced; k++)
      if (g->low[g->valtarget[k]] == count) keep[g->valtarget[k]] = 1;
    start = end;
  }
  mark_values(b);
  for (int k = 0; k < unforced; k++)
    if (keep[g->valtarget[k]]) g->component[g->valtarget[k]] = 1;
  mark_vars(g);
}

/* N at the stabbing bound: the unforced values outside every group's window go. */
void ordered_intervals_prune(nvalue_data *b)
{
  fd_vgraph *g = &b->g;
  int *in_window = g->calls;
  std::fill(in_window, in_window + g->nnodes, 0);
  for (int i = 0; i < b->nfree;) {
    int start = i, lo = first_value(g, g->vartarget[i]), hi = last_value(g, g->vartarget[i]);
    for (i++; i < b->nfree; i++) {
      int x = g->vartarget[i];
      if (std::max(lo, first_value(g, x)) > std::min(hi, last_value(g, x))) break;
      lo = std::max(lo, first_value(g, x));
      hi = std::min(hi, last_value(g, x));
    }
    int wlo = lo, whi = hi;
    if (i < b->nfree) {
      int opener = first_value(g, g->vartarget[i]);
      wlo = 0;
      for (int r = start; r < i; r++)
        if (last_value(g, g->vartarget[r]) < opener)
          wlo = std::max(wlo, first_value(g, g->vartarget[r]));
    }
    for (int v = std::max(wlo, 1); v <= whi; v++) in_window[v] = 1;
  }
  mark_values(b);
  for (int k = 0; k < g->nvaltargets; k++)
    if (in_window[g->valtarget[k]]) g->component[g->valtarget[k]] = 1;
  mark_vars(g);
}

/* The bounds of N and the prunings at a bound, until no arc goes: false on a wipe-out. */
bool nvalue_filter(ORVALIS_API_STRUCT *api, worker *w, nvalue_data *b)
{
  fd_vgraph *g = &b->g;
  dvar *n = &g->dv[0];
  for (;;) {
    for (int k = 0; k < g->nvartargets; k++)
      if (g->in_degree[g->vartarget[k]] == 0) return false;
    max_matching(b);
    forced_values(b);
    fd_qsort(api, g->vartarget, (size_t)b->nfree,
             [g](const int *x, const int *y) { return first_value(g, *x) - first_value(g, *y); });
    int ub = b->used + b->matched;
    int lb1 = b->forced + ordered_intervals(g, b->nfree);
    /* the independent set can neither raise N's minimum nor reach N when its largest possible
     * size leaves it below N's minimum: it is not built then (lb2 -1 matches no bound) */
    int lb2 = -1;
    if (!IsSmall(n->min) || b->used + b->forced + iset_bound(b) >= GetSmall(n->min)) {
      neighbors_intersect(b);
      lb2 = b->forced + large_independent_set(b);
    }
    if (dvar_fix_interval_t(n, MakeSmall(b->used + lb1), MakeSmall(ub)) < 0) return false;
    if (lb2 >= 0 && dvar_fix_interval_t(n, MakeSmall(b->used + lb2), MakeSmall(ub)) < 0)
      return false;
    if (b->matched <= lb1 || b->matched <= lb2 || !(n->flags & DV_FIXED)) return true;
    int target = GetSmall(n->min);
    auto pruned = [&](int mode) {
      if (fd_vg_compress(api, w, g, nullptr) == 0) return false;
      fd_nvalue_prunings[mode]++;
      return true;
    };
    if (target == ub) {
      matching_prune(b);
      if (pruned(0)) continue;
    }
    if (target == b->used + lb2) {
      independent_set_prune(b);
      if (pruned(1)) continue;
    }
    if (target != b->used + lb1) return true;
    ordered_intervals_prune(b);
    if (!pruned(2)) return true;
  }
}

/* ---- a call ---- */

const fd_vg_args nvalue_args = {NVALUE_ARITY, ARG_NVARS, ARG_NVALS, ARG_VARS, 0};

/* The views of N and the active variables, the lists synchronised, matches on vanished arcs
 * dropped: false when a variable has no value left. */
bool nvalue_refresh(ORVALIS_API_STRUCT *api, worker *w, nvalue_data *b, int32_t stamp)
{
  fd_vgraph *g = &b->g;
  bool incremental = b->stamp == stamp;
  if (!incremental) {
    TAGGED s = deref(w->term[0]);
    g->nvartargets = GetSmall(deref(StrArg(s, ARG_NVARS)));
    g->nvaltargets = GetSmall(deref(StrArg(s, ARG_NVALS)));
  }
  fd_vg_begin(api, w, g);
  dvar_init(&g->dv[0], &b->refbase[0].term, &b->refbase[1].term);
  for (int k = 0; k < g->nvartargets; k++) {
    int x = g->vartarget[k];
    dvar_init(&g->dv[x], &b->refbase[2 * x].term, &b->refbase[2 * x + 1].term);
  }
  int changes = fd_vg_refresh(api, w, g, incremental, 0);
  b->unchanged = incremental && changes == 0;
  b->stamp = stamp + 1;
  for (int k = 0; k < g->nvartargets; k++) {
    int x = g->vartarget[k];
    if (g->in_degree[x] == 0) return false;
    if (mate(b)[x] >= 0 && !fd_vg_has_value(g, x, mate(b)[x])) unmatch(b, x);
  }
  return true;
}

/* A value stays active while one of its variables is not fixed to it. */
void nvalue_contract_vals(fd_vgraph *g)
{
  for (int k = 0; k < g->nvaltargets;) {
    int j = g->valtarget[k];
    bool settled = true;
    for (int i = 0; settled && i < g->out_degree[j]; i++)
      settled = g->in_degree[fd_vg_vars(g, j)[i]] == 1;
    if (settled)
      fd_vg_settle(g, g->valtarget, k, &g->nvaltargets);
    else
      k++;
  }
}

int nvalue_run(ORVALIS_API_STRUCT *api, worker *w, fd_vg_block *block, int32_t stamp)
{
  auto *b = (nvalue_data *)block;
  fd_vgraph *g = &b->g;
  if (!nvalue_refresh(api, w, b, stamp)) return -1;
  /* the last call ended at its fixpoint: nothing changed since, nothing to do */
  if (b->unchanged && g->dv[0].min == b->last_min && g->dv[0].max == b->last_max) return 0;
  if (!nvalue_filter(api, w, b)) return -1;
  dvar_pruning_done(api, w, &g->dv[0]);
  b->last_min = g->dv[0].min, b->last_max = g->dv[0].max;
  int outcome = fd_vg_new_domains(api, w, g);
  if (outcome < 0) return -1;
  int zero = 0;
  fd_vg_export(api, w, g, &zero, 1);
  fd_vg_export(api, w, g, g->vartarget, g->nvartargets);
  nvalue_contract_vals(g);
  fd_vg_contract_vars(g);
  fd_vg_store_targets(w, &nvalue_args, g);
  return outcome;
}

fd_vg_block *nvalue_create(fd_entry *e)
{
  int nvars, nvals;
  int32_t *values = check_and_union(e->api, e->w, deref(e->w->term[0]), &nvars, &nvals);
  return values ? nvalue_init(e, nvars, nvals, values) : nullptr;
}

}  // namespace

void prolog_fd_nvalue_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0,
                                     QX_term_ref state, QX_term_ref actions)
{
  static const fd_vg_kind kind = {nvalue_args, nullptr, nvalue_create, nvalue_run};
  fd_vg_entry(api, state0, state, actions, &kind);
}
