/* all_distinct/1 and the value graph it shares with assignment/2.
 *
 * The graph joins variable vertices to value vertices. A maximum matching covering the variables
 * of the kernel is kept in the persistent block and repaired from call to call; the strongly
 * connected components of the graph oriented by the matching then tell which values belong to
 * some maximum matching: each matched variable keeps only the values of its own component, and
 * variables left outside the kernel lose the values its Hall sets use up.
 *
 * Invariants: mate is symmetric (mate[x] = y exactly when mate[y] = x); the kernel part of
 * valtarget is ascending by label whenever the component search runs; dead vertices sit behind
 * the live ones in the target arrays, in the order they died, so that the dead counts of an
 * older state name exactly the vertices dead in it. The component search is iterative: its depth
 * lives in dist_stack, not on the C++ stack.
 */
#include <algorithm>
#include <cstring>

#include "fd_propagate.h"
#include "fd_qsort.h"
#include "fd_globals.h"
#include "fd_sets.h"
#include "fd_value_graph.h"

int fd_value_graph_shortcuts = 1;
int fd_cost_filter_keep_duals = 1;
long fd_cost_filter_resumed = 0;

namespace {

/* State term: s(Vars, NDeadVars, NDeadVals, Flags, WakeKey, Handle, Stamp). */
constexpr int ARG_VARS = 1, ARG_DEAD_VARS = 2, ARG_DEAD_VALS = 3, ARG_FLAGS = 4, ARG_WAKE = 5;
constexpr uint32_t STATE_ARITY = 7;

inline int32_t small_of(TAGGED t) { return GetSmall(t); }
inline int32_t label_of(const all_dist_data *b, int v) { return GetSmall(b->vertex.label[v]); }

inline void match(all_dist_data *b, int x, int y)
{
  b->vertex.mate[x] = y;
  b->vertex.mate[y] = x;
}

inline void unmatch(all_dist_data *b, int x)
{
  int y = b->vertex.mate[x];
  if (y >= 0) b->vertex.mate[y] = -1;
  b->vertex.mate[x] = -1;
}

inline dvar *var_of(all_dist_data *b, int x) { return &b->dvar[x]; }

/* Moves the entries of a[0..count-1] that keep() rejects behind the kept ones, both groups in
 * their old order, through the scratch area: the kept count. */
template <typename Keep>
int stable_partition(int *a, int count, int *scratch, Keep keep)
{
  int kept = 0, moved = 0;
  for (int i = 0; i < count; i++) {
    if (keep(a[i]))
      a[kept++] = a[i];
    else
      scratch[moved++] = a[i];
  }
  std::memcpy(a + kept, scratch, (size_t)moved * sizeof(int));
  return kept;
}

/* The FD set of the labels of vertices[0..count-1], which ascend. */
TAGGED labels_set(ORVALIS_API_STRUCT *api, worker *w, all_dist_data *b, const int *vertices,
                  long count)
{
  FDCONS cons;
  fdcons_init(&cons);
  for (long i = 0; i < count; i++) fdcons_add(api, &cons, w, b->vertex.label[vertices[i]]);
  return cons.head;
}

/* The kernel part of valtarget in ascending label order (revived vertices come back at the end
 * of the live part, and the reachability pass splits it). */
void sort_kernel_values(ORVALIS_API_STRUCT *api, all_dist_data *b)
{
  for (long i = 1; i < b->nvalkernels; i++)
    if (label_of(b, b->valtarget[i - 1]) > label_of(b, b->valtarget[i])) {
      qsort_asc_label(api, b->valtarget, (int)b->nvalkernels);
      return;
    }
}

}  // namespace

/* ---- the block ---- */

void all_distinct_destructor(void *block)
{
  fd_entry_destroy(block, ((all_dist_data *)block)->refbase);
}

all_dist_data *all_dist_alloc(fd_entry *e, int nvars, long nvals, int nvarrecords, int flags)
{
  size_t nv = (size_t)nvars, nx = (size_t)nvals, nvert = nv + nx;
  size_t ints = 2 * nv + 2 * nx + (3 * nv + nx) + 4 * nvert + 2 * nv;
  if (flags & FD_VG_CIRCUIT) ints += 2 * nv;
  size_t longs = 0, wide = 0;
  if (flags & FD_VG_COSTS) {
    ints += 6 * nv;
    longs = 3 * nv * nv;
    wide = 4 * nv + 1; /* the duals, and room to align them */
  }
  size_t bytes = sizeof(all_dist_data) + (size_t)nvarrecords * sizeof(dvar) +
                 nvert * sizeof(TAGGED) + nv * (sizeof(TAGGED) + sizeof(long)) +
                 ints * sizeof(int) + longs * sizeof(long) + wide * sizeof(int64_t);
  QX_globref refs;
  auto *b = (all_dist_data *)fd_entry_block(e, bytes, all_distinct_destructor, nullptr,
                                            2 * nvarrecords, &refs);
  b->refbase = refs;
  b->qxenv = e->api;
  b->nrefs = 2 * nvarrecords;
  b->nvars = b->nvartargets = nvars;
  b->nvals = b->nvaltargets = nvals;
  b->flags = flags;
  /* pointer-sized arrays first, then longs, then ints: every array stays aligned */
  b->dvar = (dvar *)(b + 1);
  b->vertex.label = (TAGGED *)(b->dvar + nvarrecords);
  b->heap.fdset = b->vertex.label + nvert;
  long *lp = (long *)(b->heap.fdset + nv);
  b->heap.key = lp;
  lp += nv;
  if (flags & FD_VG_COSTS) {
    b->cost = lp;
    lp += nv * nv;
    for (int side = 0; side < 2; side++) {
      b->rc.rcost[side] = lp;
      lp += nv * nv;
    }
    auto *dual = (int64_t *)(((uintptr_t)lp + 7) & ~(uintptr_t)7);
    b->rc.lbdual = dual;
    b->rc.ubdual = dual + 2 * nv;
    lp = (long *)(dual + 4 * nv);
  }
  int *ip = (int *)lp;
  auto take = [&ip](size_t n) {
    int *p = ip;
    ip += n;
    return p;
  };
  b->dist_stack = take(3 * nv + nx);
  b->vartarget = take(2 * nv);
  b->valtarget = take(2 * nx);
  b->vertex.mate = take(nvert);
  b->vertex.component = take(nvert);
  b->vertex.visited = take(nvert);
  b->vertex.size = take(nvert);
  b->heap.item = take(nv);
  b->heap.vertex = take(nv);
  if (flags & FD_VG_CIRCUIT) {
    b->head = take(nv);
    b->tail = take(nv);
  }
  if (flags & FD_VG_COSTS) {
    b->rc.index_var = take(2 * nv);
    b->rc.var_index = take(2 * nv);
    b->rc.lbprimal = take(nv);
    b->rc.ubprimal = take(nv);
    for (size_t i = 0; i < nv; i++) b->rc.lbprimal[i] = b->rc.ubprimal[i] = -1;
    for (size_t i = 0; i < 4 * nv; i++) b->rc.lbdual[i] = 0;
  }
  return b;
}

/* ---- matching ---- */

int neighbor_of(all_dist_data *b, TAGGED value, long *position, int u)
{
  if (u >= b->nvars) return small_of(value) - 1;
  if (!IsSmall(value)) return -1;
  int32_t v = small_of(value);
  if (b->density == 2) {
    if (v < 1 || v > b->nvals) return -1;
    *position = v - 1;
    int y = b->nvars + v - 1;
    return b->vertex.visited[y] == FD_VG_DEAD ? -1 : y;
  }
  long lo = *position + 1, hi = b->nvalkernels; /* first label >= v in [lo, hi) */
  while (lo < hi) {
    long mid = lo + (hi - lo) / 2;
    if (label_of(b, b->valtarget[mid]) < v)
      lo = mid + 1;
    else
      hi = mid;
  }
  if (lo < b->nvalkernels && label_of(b, b->valtarget[lo]) == v) {
    *position = lo;
    return b->valtarget[lo];
  }
  *position = lo - 1;
  return -1;
}

namespace {

/* Matches the unmatched variables of vartarget[0..k-1] to free values greedily, each taking the
 * value next above the previous one's: the position of the first unmatched variable, or k. */
int greedy_match(all_dist_data *b, int k)
{
  int first = k;
  TAGGED seed = 0;
  for (int i = 0; i < k; i++) {
    int x = b->vartarget[i];
    if (b->vertex.mate[x] >= 0) continue;
    dvar *d = var_of(b, x);
    TAGGED t;
    if (first == k) {
      first = i;
      t = d->min;
    } else {
      t = dvar_successor_t(d, seed);
      if (!IsSmall(t)) continue;
    }
    seed = t;
    long position = -1;
    int y = neighbor_of(b, t, &position, x);
    if (y >= 0 && b->vertex.mate[y] < 0) match(b, x, y);
  }
  return first;
}

/* Breadth-first search for an augmenting path from the unmatched variable r: 1 found and
 * applied, 0 none. Variables are marked with token in visited; the parent of a value vertex is
 * kept in dist_stack at the vertex's number, the queue at the bottom. */
int augment_from(all_dist_data *b, int r, int token)
{
  int *queue = b->dist_stack, *parent = b->dist_stack, *mate = b->vertex.mate;
  int front = 0, back = 0;
  queue[back++] = r;
  while (front < back) {
    int u = queue[front++];
    DVITER it;
    dviter_init(&it, var_of(b, u));
    long position = -1;
    while (!dviter_empty(&it)) {
      int y = neighbor_of(b, dviter_next_value_t(&it), &position, u);
      if (y < 0) continue;
      if (mate[y] < 0) {
        int old = mate[u];
        match(b, u, y);
        while (old >= 0) {
          int p = parent[old], next = mate[p];
          match(b, p, old);
          old = next;
        }
        return 1;
      }
      int m = mate[y];
      if (b->vertex.visited[m] != token) {
        b->vertex.visited[m] = token;
        parent[y] = u;
        queue[back++] = m;
      }
    }
  }
  return 0;
}

}  // namespace

int augment(all_dist_data *b, int k)
{
  int first = greedy_match(b, k);
  for (int i = first; i < k; i++) {
    int r = b->vartarget[i];
    if (b->vertex.mate[r] < 0 && !augment_from(b, r, i + 1)) return 0;
  }
  return 1;
}

/* ---- partitions ---- */

void all_dist_partition_vars(all_dist_data *b)
{
  const int *visited = b->vertex.visited;
  b->nvarkernels = stable_partition(b->vartarget, b->nvarkernels, b->vartarget + b->nvars,
                                    [visited](int x) { return visited[x] == 0; });
}

void contract_vars(all_dist_data *b)
{
  all_dist_data *g = b;
  b->nvartargets = stable_partition(b->vartarget, b->nvartargets, b->vartarget + b->nvars,
                                    [g](int x) {
                                      if (!(g->dvar[x].flags & DV_FIXED)) return true;
                                      g->vertex.visited[x] = FD_VG_DEAD;
                                      return false;
                                    });
}

void contract_vals(all_dist_data *b)
{
  all_dist_data *g = b;
  b->nvaltargets = stable_partition(b->valtarget, (int)b->nvaltargets, b->valtarget + b->nvals,
                                    [g](int y) {
                                      int x = g->vertex.mate[y];
                                      if (x < 0 || !(g->dvar[x].flags & DV_FIXED)) return true;
                                      g->vertex.visited[y] = FD_VG_DEAD;
                                      return false;
                                    });
}

void qsort_asc_label(ORVALIS_API_STRUCT *api, int *vertices, int n)
{
  auto *b = (all_dist_data *)fd_state(api)->gdata;
  fd_qsort(api, vertices, (size_t)n, [b](const int *x, const int *y) {
    int32_t lx = label_of(b, *x), ly = label_of(b, *y);
    return lx < ly ? -1 : lx > ly ? 1 : 0;
  });
}

/* ---- components ---- */

namespace {

/* Gives value y and its matched variable component number c; y is finished. */
inline void close_vertex(all_dist_data *b, int y, int c)
{
  b->vertex.component[y] = c;
  b->vertex.component[b->vertex.mate[y]] = c;
  b->vertex.visited[y] = FD_VG_DONE;
}

/* Whether a value vertex takes part in the component search. */
inline bool open_value(const all_dist_data *b, int z)
{
  return b->vertex.visited[z] != FD_VG_DEAD && b->vertex.component[z] != 1;
}

/* Every kernel variable without a component and its value join one new component. */
int one_component(all_dist_data *b, int next)
{
  next++;
  for (int i = 0; i < b->nvarkernels; i++) {
    int x = b->vartarget[i];
    if (b->vertex.component[x] == 0) close_vertex(b, b->vertex.mate[x], next);
  }
  return next;
}

/* The fewest open values in the domain of a variable matched to an open value. Counting the
 * values of fixed variables too could join components a full search separates; the variables
 * fixed by the restriction then leave the graph with their values still in other domains. */
long open_degree(ORVALIS_API_STRUCT *api, worker *w, all_dist_data *b, TAGGED open)
{
  long mindeg = FD_SUP_L;
  for (int i = 0; i < b->nvarkernels; i++) {
    int x = b->vartarget[i];
    if (b->vertex.visited[b->vertex.mate[x]] == FD_VG_DONE) continue;
    long degree = fd_intersection_size(dvar_set(api, var_of(b, x), w), open);
    if (degree < mindeg) mindeg = degree;
  }
  return mindeg;
}

/* Whether no open variable has a hole that is an open value: the graph is then convex. */
bool convex_over(ORVALIS_API_STRUCT *api, worker *w, all_dist_data *b, TAGGED open)
{
  for (int i = 0; i < b->nvarkernels; i++) {
    int x = b->vartarget[i];
    dvar *d = var_of(b, x);
    if (b->vertex.visited[b->vertex.mate[x]] == FD_VG_DONE || (d->flags & DV_INTERVAL)) continue;
    TAGGED holes = fd_interval_subtract(api, w, d->min, d->max, dvar_set(api, d, w));
    if (fd_compare(holes, open) != 4) return false;
  }
  return true;
}

/* A chain from the smallest open value through the smallest open value left in each matched
 * domain, closed back into the values known to reach the start: a proof of one component. */
bool one_chain(ORVALIS_API_STRUCT *api, worker *w, all_dist_data *b, TAGGED open)
{
  TAGGED start = fd_min(open), last = start;
  TAGGED reached = fd_interval(api, w, start, start);
  TAGGED rest = fd_delete(api, w, open, start);
  if (!IsLst(rest)) return false;
  long position = -1;
  int y = neighbor_of(b, start, &position, 0);
  while (IsLst(rest)) {
    TAGGED next = fd_intersection_min(rest, dvar_set(api, var_of(b, b->vertex.mate[y]), w));
    if (next == 0) return false;
    rest = fd_delete(api, w, rest, next);
    position = -1;
    y = neighbor_of(b, next, &position, 0);
    if (y < 0) return false;
    if (dvar_compare_set(api, var_of(b, b->vertex.mate[y]), reached, w) != 4)
      reached = fd_insert_into(api, w, next, reached);
    last = next;
  }
  (void)last;
  return dvar_compare_set(api, var_of(b, b->vertex.mate[y]), reached, w) != 4;
}

/* The components of a convex graph, by one sweep over the open values in ascending order. Four
 * stacks in dist_stack: pending values, and per open component its first pending index, its
 * rightmost value and the largest value its variables reach. */
int interval_sweep(all_dist_data *b, int next, long nopen)
{
  int *pending = b->dist_stack, *root = pending + nopen;
  int32_t *rightmost = root + nopen, *reach = rightmost + nopen;
  int npending = 0, ncomps = 0;
  auto close_top = [&]() {
    ncomps--;
    next++;
    while (npending > root[ncomps]) close_vertex(b, pending[--npending], next);
  };
  for (long i = 0; i < b->nvalkernels; i++) {
    int y = b->valtarget[i];
    if (b->vertex.visited[y] == FD_VG_DONE) continue;
    dvar *d = var_of(b, b->vertex.mate[y]);
    int32_t v = label_of(b, y), lo = small_of(d->min), hi = small_of(d->max);
    while (ncomps > 0 && v > reach[ncomps - 1]) close_top();
    int first = npending, far = hi;
    pending[npending++] = y;
    while (ncomps > 0 && lo <= rightmost[ncomps - 1]) {
      ncomps--;
      first = root[ncomps];
      if (reach[ncomps] > far) far = reach[ncomps];
    }
    root[ncomps] = first;
    rightmost[ncomps] = v;
    reach[ncomps] = far;
    ncomps++;
  }
  while (ncomps > 0) close_top();
  return next;
}

/* Tarjan's search from value y, iterative: each frame holds the value, the last value of its
 * matched domain scanned, and its own visit number; a value's low number is kept in visited. The
 * search stack sits at the bottom of dist_stack, the frames above base. */
void visit(ORVALIS_API_STRUCT *api, all_dist_data *b, int y, int base)
{
  (void)api;
  int *stack = b->dist_stack, *frames = b->dist_stack + base, *visited = b->vertex.visited;
  int depth = 0;
  auto enter = [&](int v) {
    visited[v] = ++b->scc_visited;
    stack[b->scc_index++] = v;
    frames[3 * depth] = v;
    frames[3 * depth + 1] = 0; /* no value scanned yet */
    frames[3 * depth + 2] = visited[v];
    depth++;
  };
  enter(y);
  while (depth > 0) {
    int *f = &frames[3 * (depth - 1)];
    int v = f[0];
    dvar *d = var_of(b, b->vertex.mate[v]);
    TAGGED t = f[1] == 0 ? d->min : dvar_successor_t(d, (TAGGED)f[1]);
    if (IsSmall(t)) {
      f[1] = (int)t;
      long position = -1;
      int z = neighbor_of(b, t, &position, b->vertex.mate[v]);
      if (z < 0 || z == v || !open_value(b, z)) continue;
      if (visited[z] == 0)
        enter(z);
      else if (visited[z] < visited[v])
        visited[v] = visited[z];
      continue;
    }
    /* v's values are exhausted */
    depth--;
    if (visited[v] == f[2]) {
      int c = ++b->scc_component;
      int u;
      do {
        u = stack[--b->scc_index];
        close_vertex(b, u, c);
      } while (u != v);
    }
    if (depth > 0) {
      int parent = frames[3 * (depth - 1)];
      if (visited[v] < visited[parent]) visited[parent] = visited[v];
    }
  }
}

/* The full search over the open kernel values: the last component number. */
int tarjan(ORVALIS_API_STRUCT *api, all_dist_data *b, int next)
{
  b->scc_component = next;
  b->scc_visited = b->scc_index = 0;
  for (int i = 0; i < b->nvarkernels; i++) {
    int y = b->vertex.mate[b->vartarget[i]];
    if (b->vertex.visited[y] == 0) visit(api, b, y, (int)b->nvalkernels);
  }
  return b->scc_component;
}

}  // namespace

int find_sccs(ORVALIS_API_STRUCT *api, all_dist_data *b, worker *w, int first)
{
  if (b->nvalkernels == 0) return 0;
  int next = first;
  FDCONS open;
  fdcons_init(&open);
  long nopen = 0;
  for (long i = 0; i < b->nvalkernels; i++) {
    int y = b->valtarget[i];
    if (dvar_value_count(var_of(b, b->vertex.mate[y])) == 1) {
      close_vertex(b, y, ++next);
      continue;
    }
    fdcons_add(api, &open, w, b->vertex.label[y]);
    nopen++;
  }
  if (nopen == 0) return next - first;
  if (fd_value_graph_shortcuts) {
    if (open_degree(api, w, b, open.head) == nopen) return one_component(b, next) - first;
    if (convex_over(api, w, b, open.head)) return interval_sweep(b, next, nopen) - first;
    if (nopen > 1 && one_chain(api, w, b, open.head)) return one_component(b, next) - first;
  }
  return tarjan(api, b, next) - first;
}

int compress_edges(ORVALIS_API_STRUCT *api, all_dist_data *b, worker *w, int *values, long count,
                   int buckets)
{
  int *counts = b->dist_stack, *sorted = b->dist_stack + buckets;
  std::memset(counts, 0, (size_t)buckets * sizeof(int));
  for (long i = 0; i < count; i++) counts[b->vertex.component[values[i]]]++;
  for (int c = 0, at = 0; c < buckets; c++) {
    int n = counts[c];
    counts[c] = at;
    at += n;
  }
  for (long i = 0; i < count; i++) sorted[counts[b->vertex.component[values[i]]]++] = values[i];
  for (long from = 0; from < count;) {
    long to = from + 1;
    int c = b->vertex.component[sorted[from]];
    while (to < count && b->vertex.component[sorted[to]] == c) to++;
    TAGGED set = labels_set(api, w, b, sorted + from, to - from);
    for (long i = from; i < to; i++) {
      int x = b->vertex.mate[sorted[i]];
      if (x < 0) continue;
      int mask = dvar_fix_set(api, var_of(b, x), set, w);
      if (mask < 0) return -1;
      if (mask > 0) {
        b->pruned = 1;
        dvar_pruning_done(api, w, var_of(b, x));
      }
    }
    from = to;
  }
  return 0;
}

/* ---- all_distinct ---- */

namespace {

/* The culprit an error names: a small integer or atom itself, else the name of its functor. */
TAGGED culprit(TAGGED t)
{
  t = deref(t);
  if (IsLst(t)) return atom_dot;
  if (IsStr(t) && !IsBox(t)) return FunctorName(StrFunctor(t));
  return IsVar(t) ? atom_nil : t;
}

/* An error for the state's argument: false after failing the native. */
bool state_error(ORVALIS_API_STRUCT *api, const char *type, TAGGED culprit_term)
{
  fd_type_error(api, type, culprit(culprit_term), 1);
  fd_native_fail(api);
  return false;
}

bool range_error(ORVALIS_API_STRUCT *api, const char *domain, TAGGED t)
{
  fd_domain_error(api, domain, t, 1);
  fd_native_fail(api);
  return false;
}

inline TAGGED state_arg(const worker *w, int k) { return deref(StrArg(deref(w->term[0]), k)); }
inline void set_state_arg(worker *w, int k, TAGGED value) { StrPtr(deref(w->term[0]))[k] = value; }

/* The variable list of a first call: a proper list of (variable, attribute) entries; *n its
 * length. */
bool check_entries(ORVALIS_API_STRUCT *api, worker *w, TAGGED list, int *n)
{
  uint32_t steps = fd_list_bound(w);
  QX_globref_ pair[2];
  *n = 0;
  for (; IsLst(list) && steps-- > 0; list = deref(LstTail(list)), ++*n)
    if (!fd_entry_refs(LstHead(list), pair)) return state_error(api, "variable_entry", LstHead(list));
  if (list == atom_nil) return true;
  if (IsVar(list)) {
    fd_instantiation_error(api, 1);
    fd_native_fail(api);
    return false;
  }
  return state_error(api, "list", list);
}

/* The checked Flags and wake key; the dead counts are checked once n is known. */
bool check_words(ORVALIS_API_STRUCT *api, worker *w)
{
  TAGGED flags = state_arg(w, ARG_FLAGS), wake = state_arg(w, ARG_WAKE);
  if (!IsSmall(flags)) return state_error(api, "integer", flags);
  if (small_of(flags) < 0 || small_of(flags) > FD_VG_CIRCUIT)
    return range_error(api, "all_distinct_flags", flags);
  if (!IsAtom(wake)) return state_error(api, "atom", wake);
  for (int k : {ARG_DEAD_VARS, ARG_DEAD_VALS})
    if (!IsSmall(state_arg(w, k))) return state_error(api, "integer", state_arg(w, k));
  return true;
}

/* The dead counts: within 0..vars_max and 0..vals_max (0 before the block exists). */
bool check_counts(ORVALIS_API_STRUCT *api, worker *w, int32_t vars_max, long vals_max)
{
  TAGGED dv = state_arg(w, ARG_DEAD_VARS), dl = state_arg(w, ARG_DEAD_VALS);
  if (small_of(dv) < 0 || small_of(dv) > vars_max) return range_error(api, "dead_count", dv);
  if (small_of(dl) < 0 || small_of(dl) > vals_max) return range_error(api, "dead_count", dl);
  return true;
}

/* The queue code and suspension key of a wake key; 0 for a key that attaches no daemon. */
int wake_code(ORVALIS_API_STRUCT *api, TAGGED atom, TAGGED *key)
{
  struct fd_state *fd = fd_state(api);
  TAGGED f = fd_functor_word(atom, 1);
  *key = f;
  if (f == fd->functor_val) return 3;
  if (f == fd->functor_minmax) return 5;
  if (f == fd->functor_dom) return 7;
  return 0;
}

int all_distinct_daemon(ORVALIS_API_STRUCT *api, worker *w, void *block, TAGGED *attr_ref,
                        TAGGED global)
{
  auto *b = (all_dist_data *)block;
  if (b->flags == 0) {
    TAGGED state = fd_mutable_value(StrArg(deref(global), FD_GLOBAL_STATE));
    TAGGED dead = deref(StrArg(state, ARG_DEAD_VARS));
    TAGGED dom = fd_attr_dom(*attr_ref);
    TAGGED size = dom ? deref(StrArg(dom, 4)) : 0;
    /* a variable with as many values as live variables cannot start a Hall set */
    if (IsSmall(size) && IsSmall(dead) && small_of(size) >= b->nvars - small_of(dead)) return 1;
  }
  fd_enqueue_global(api, w, global, b->enqueue_code);
  return 1;
}

inline void init_var(all_dist_data *b, int x)
{
  dvar_init(&b->dvar[x], &b->refbase[2 * x].term, &b->refbase[2 * x + 1].term);
}

/* The block of a first call over the n checked entries of the state in w->term[0]. */
all_dist_data *first_call(fd_entry *e, int n)
{
  ORVALIS_API_STRUCT *api = e->api;
  worker *w = e->w;
  TAGGED values = atom_nil;
  for (TAGGED l = state_arg(w, ARG_VARS); IsLst(l); l = deref(LstTail(l))) {
    TAGGED dom = fd_attr_dom(deref(StrArg(deref(LstHead(l)), 2)));
    values = fd_merge_into(api, w, deref(StrArg(dom, 1)), values);
  }
  values = fd_localize(api, w, values); /* the block's allocation may collect */
  int64_t square = (int64_t)n * n;
  bool finite = IsSmall(fd_min(values)) && IsSmall(fd_max(values));
  int64_t size = finite ? fd_size(values) : square;
  long nvals = (long)(size < square ? size : square);
  all_dist_data *b = all_dist_alloc(e, n, nvals, n, small_of(state_arg(w, ARG_FLAGS)));
  fd_state(api)->gdata = b;
  b->daemon = all_distinct_daemon;
  b->stamp = e->stamp - 1;
  b->reset_density = fd_compare_interval(values, MakeSmall(1), MakeSmall(n)) == 1 ? 2
                     : finite && size == n                                         ? 1
                                                                                   : 0;
  TAGGED key;
  b->enqueue_code = wake_code(api, state_arg(w, ARG_WAKE), &key);
  int i = 0;
  for (TAGGED l = state_arg(w, ARG_VARS); IsLst(l); l = deref(LstTail(l)), i++) {
    fd_entry_refs(LstHead(l), &b->refbase[2 * i]);
    b->vertex.label[i] = MakeSmall(i + 1);
    b->vertex.mate[i] = -1;
    b->vartarget[i] = i;
  }
  if (b->reset_density > 0) {
    FDITER it;
    fditer_init(&it, values);
    for (long j = 0; j < nvals; j++) {
      b->vertex.label[n + j] = fditer_next(&it);
      b->vertex.mate[n + j] = -1;
      b->valtarget[j] = n + (int)j;
    }
  }
  if (b->enqueue_code != 0)
    for (i = 0; i < n; i++) {
      init_var(b, i);
      dvar_attach_daemon(api, w, &b->dvar[i], b, deref(w->term[1]), key);
    }
  set_state_arg(w, ARG_VARS, atom_nil);
  return b;
}

/* Density 0: the kernel variables, those with finite domains of at most as many values as there
 * are kernel variables, and value vertices numbered afresh from the union of their domains. */
void renumber_values(ORVALIS_API_STRUCT *api, worker *w, all_dist_data *b)
{
  b->nvarkernels = b->nvartargets;
  for (int before = -1; before != b->nvarkernels;) {
    before = b->nvarkernels;
    for (int i = 0; i < b->nvarkernels; i++) {
      dvar *d = var_of(b, b->vartarget[i]);
      bool outside = !IsSmall(d->min) || !IsSmall(d->max) || dvar_value_count(d) > b->nvarkernels;
      b->vertex.visited[b->vartarget[i]] = outside ? 1 : 0;
    }
    all_dist_partition_vars(b);
  }
  TAGGED intervals = atom_nil;
  for (int i = 0; i < b->nvarkernels; i++) {
    DVITER it;
    dviter_init(&it, var_of(b, b->vartarget[i]));
    while (!dviter_empty(&it)) {
      TAGGED lo, hi;
      dviter_next_interval_t(&it, &lo, &hi);
      TAGGED *cell = fds_new_interval(api, w, lo, hi);
      cell[1] = intervals;
      intervals = MakeLst(cell);
    }
  }
  TAGGED values = fd_union_sort(intervals);
  int n = b->nvars;
  long count = 0;
  FDITER it;
  fditer_init(&it, values);
  while (!fditer_empty(&it) && count < b->nvals) {
    int y = n + (int)count;
    b->vertex.label[y] = fditer_next(&it);
    b->vertex.mate[y] = -1;
    b->valtarget[count++] = y;
  }
  b->nvaltargets = b->nvalkernels = count;
  if (b->nvartargets == count && count == b->nvarkernels) b->density = 1;
  /* warm start: a kernel variable keeps its old partner if that vertex still stands for a value
   * of its domain and no earlier variable took it */
  for (int i = 0; i < b->nvars; i++) {
    int x = b->vartarget[i], m = b->vertex.mate[x];
    bool keep = i < b->nvarkernels && m >= n && m < n + count && b->vertex.mate[m] < 0 &&
                dvar_contains_value_t(var_of(b, x), b->vertex.label[m]);
    if (keep)
      b->vertex.mate[m] = x;
    else
      b->vertex.mate[x] = -1;
  }
}

/* Density 1 or 2: every live vertex is in the kernel; matched pairs no longer in the domain are
 * broken. */
void keep_live_pairs(ORVALIS_API_STRUCT *api, all_dist_data *b)
{
  b->nvarkernels = b->nvartargets;
  b->nvalkernels = b->nvaltargets;
  for (int i = 0; i < b->nvartargets; i++) {
    int x = b->vartarget[i], y = b->vertex.mate[x];
    if (y >= 0 && !dvar_contains_value_t(var_of(b, x), b->vertex.label[y])) unmatch(b, x);
  }
  sort_kernel_values(api, b);
}

/* Drops from the kernel everything a free value reaches by an alternating path: 1 when no
 * kernel variable remains unreached. */
int drop_reachable(ORVALIS_API_STRUCT *api, worker *w, all_dist_data *b)
{
  int *cands = b->dist_stack, ncands = 0;
  FDCONS frontier;
  fdcons_init(&frontier);
  for (long i = 0; i < b->nvalkernels; i++) {
    int y = b->valtarget[i], x = b->vertex.mate[y];
    if (x < 0) {
      b->vertex.component[y] = 1;
      fdcons_add(api, &frontier, w, b->vertex.label[y]);
    } else if (!(var_of(b, x)->flags & DV_FIXED)) {
      cands[ncands++] = y;
    }
  }
  int unreached = b->nvarkernels;
  for (TAGGED reach = frontier.head; IsLst(reach);) {
    fdcons_init(&frontier);
    int kept = 0;
    for (int k = 0; k < ncands; k++) {
      int y = cands[k], x = b->vertex.mate[y];
      if (dvar_compare_set(api, var_of(b, x), reach, w) == 4) {
        cands[kept++] = y;
        continue;
      }
      b->vertex.component[y] = b->vertex.component[x] = 1;
      b->vertex.visited[x] = 1;
      unreached--;
      fdcons_add(api, &frontier, w, b->vertex.label[y]);
    }
    ncands = kept;
    /* the values found this pass arrive in valtarget order, so they ascend */
    reach = frontier.head;
  }
  if (unreached == 0) return 1;
  all_dist_partition_vars(b);
  const int *mate = b->vertex.mate, *visited = b->vertex.visited;
  b->nvalkernels = stable_partition(b->valtarget, (int)b->nvalkernels, b->valtarget + b->nvals,
                                    [mate, visited](int y) {
                                      return mate[y] >= 0 && visited[mate[y]] == 0;
                                    });
  return 0;
}

/* The values of the kernel's components are used up by the kernel variables: the live
 * variables outside the kernel lose them. -1 on a wipe-out. */
int prune_outside(ORVALIS_API_STRUCT *api, worker *w, all_dist_data *b)
{
  TAGGED hall = labels_set(api, w, b, b->valtarget, b->nvalkernels);
  for (int i = b->nvarkernels; i < b->nvartargets; i++) {
    dvar *d = var_of(b, b->vartarget[i]);
    int mask = dvar_prune_set(api, d, hall, w);
    if (mask < 0) return -1;
    if (mask > 0) {
      b->pruned = 1;
      dvar_pruning_done(api, w, d);
    }
  }
  return 0;
}

void clear_kernel_marks(all_dist_data *b, bool values)
{
  for (int i = 0; i < b->nvarkernels; i++)
    b->vertex.visited[b->vartarget[i]] = b->vertex.component[b->vartarget[i]] = 0;
  if (values)
    for (long i = 0; i < b->nvalkernels; i++)
      b->vertex.visited[b->valtarget[i]] = b->vertex.component[b->valtarget[i]] = 0;
}

/* Matching, components and restriction on the live variables: -1 failure, else 0. */
int filter(ORVALIS_API_STRUCT *api, worker *w, all_dist_data *b)
{
  if (b->density == 0)
    renumber_values(api, w, b);
  else
    keep_live_pairs(api, b);
  if (b->nvalkernels < b->nvarkernels) return -1;
  long slack = b->nvalkernels - b->nvarkernels;
  clear_kernel_marks(b, true);
  if (!augment(b, b->nvarkernels)) return -1;
  clear_kernel_marks(b, false);
  if (slack > 0 && drop_reachable(api, w, b)) return 0;
  if (b->nvarkernels == 0) return 0;
  int c = find_sccs(api, b, w, 1);
  if (c > 1 && compress_edges(api, b, w, b->valtarget, b->nvalkernels, c + 2) < 0) return -1;
  if (b->nvarkernels < b->nvartargets && prune_outside(api, w, b) < 0) return -1;
  return 0;
}

/* The single-circuit check over the successor variables of the block (live ones and the fixed
 * ones behind them): false when their domains hold no Hamiltonian circuit. */
bool circuit_possible(ORVALIS_API_STRUCT *api, worker *w, all_dist_data *b)
{
  auto *marks = (int *)fd_temp_alloc(api, w, (size_t)b->nvars * sizeof(int));
  return fd_single_circuit(b->dvar, b->vartarget, b->nvartargets, b->nvarkernels, b->nvars,
                           b->head, b->tail, marks, b->dist_stack) != 0;
}

/* One call on the block: the outcome, or -2 after raising an error. */
int all_distinct_run(ORVALIS_API_STRUCT *api, worker *w, all_dist_data *b, int32_t stamp)
{
  b->pruned = 0;
  b->incremental = b->stamp == stamp;
  if (!b->incremental) {
    b->density = b->reset_density;
    b->nvartargets = b->nvars - small_of(state_arg(w, ARG_DEAD_VARS));
    if (b->density > 0) b->nvaltargets = b->nvals - small_of(state_arg(w, ARG_DEAD_VALS));
    /* a state whose dead variables are not all fixed did not come from this block */
    for (int i = b->nvartargets; i < b->nvars; i++) {
      init_var(b, b->vartarget[i]);
      if (!(b->dvar[b->vartarget[i]].flags & DV_FIXED)) {
        range_error(api, "dead_count", state_arg(w, ARG_DEAD_VARS));
        return -2;
      }
    }
  }
  for (int i = 0; i < b->nvartargets; i++) init_var(b, b->vartarget[i]);
  b->stamp = stamp + 1;
  if (filter(api, w, b) < 0) return -1;
  if ((b->flags & FD_VG_CIRCUIT) && b->nvartargets > 4 && !circuit_possible(api, w, b)) return -1;
  if (b->pruned)
    for (int i = 0; i < b->nvartargets; i++) {
      dvar *d = var_of(b, b->vartarget[i]);
      if (d->flags & (DV_SET_TOLD | DV_MIN_RAISED | DV_MAX_LOWERED)) dvar_export_do(api, w, d);
    }
  contract_vars(b);
  set_state_arg(w, ARG_DEAD_VARS, MakeSmall(b->nvars - b->nvartargets));
  if (b->density > 0) {
    contract_vals(b);
    set_state_arg(w, ARG_DEAD_VALS, MakeSmall((int32_t)(b->nvals - b->nvaltargets)));
  }
  return b->nvartargets <= 1 ? 1 : 0;
}

}  // namespace

void prolog_fd_all_distinct_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0,
                                           QX_term_ref state, QX_term_ref actions)
{
  fd_entry e;
  if (!fd_entry_begin(&e, api, state0, STATE_ARITY, true)) return;
  worker *w = e.w;
  if (!check_words(api, w)) return;
  int n = 0;
  bool first = IsVar(e.handle);
  if (first && (!check_entries(api, w, state_arg(w, ARG_VARS), &n) || !check_counts(api, w, 0, 0)))
    return;
  int outcome = 1;
  all_dist_data *b = nullptr;
  if (first && n > 0) {
    b = first_call(&e, n);
  } else if (!first && IsVar(deref(LstHead(e.handle)))) {
    b = (all_dist_data *)fd_perm_data(e.handle);
    fd_state(api)->gdata = b;
    if (!check_counts(api, w, b->nvars, b->nvals)) return;
  }
  if (b) outcome = all_distinct_run(api, w, b, e.stamp);
  if (outcome == -2) return; /* an error was raised */
  fd_entry_end(&e, state, actions, outcome);
}

/* ---- the cost filter of assignment ---- */

namespace {

/* The bound of a tagged value, for the cost variable (costs are small integers). */
inline int64_t bound_of(TAGGED t, int64_t infinite) { return IsSmall(t) ? GetSmall(t) : infinite; }

/* Costs of forbidden pairs in the Hungarian method: larger than any sum of real costs, so that a
 * complete assignment uses one only when no assignment of allowed pairs exists. */
constexpr int64_t FORBIDDEN = (int64_t)1 << 50;

/* One problem's per-call data: the live cost matrix (sign applied, FORBIDDEN where the value is
 * not in the row's domain), duals u (rows) and v (columns), the assignment. 1-based arrays as the
 * shortest-augmenting-path method of Kuhn and Munkres keeps them. */
struct lap {
  int nt;
  int64_t *c, *u, *v, *minv;
  int *p, *way, *rowcol;
  int32_t *dist; /* shortest paths between rows, capped at FD_VG_INFINITE */
  char *used;
};

lap lap_alloc(ORVALIS_API_STRUCT *api, worker *w, int nt)
{
  lap l;
  l.nt = nt;
  auto take64 = [&](size_t n) { return (int64_t *)fd_temp_alloc(api, w, n * sizeof(int64_t)); };
  auto take32 = [&](size_t n) { return (int *)fd_temp_alloc(api, w, n * sizeof(int)); };
  size_t m = (size_t)nt + 1;
  l.c = take64((size_t)nt * nt);
  l.u = take64(m), l.v = take64(m), l.minv = take64(m);
  l.p = take32(m), l.way = take32(m), l.rowcol = take32(m);
  l.dist = (int32_t *)take32((size_t)nt * nt);
  l.used = (char *)fd_temp_alloc(api, w, m);
  return l;
}

/* The live cost matrix of problem side (1: negated). */
void fill_costs(all_dist_data *b, lap *l, int side)
{
  int n = b->nvars, nt = l->nt;
  for (int r = 0; r < nt; r++) {
    int x = b->rc.index_var[r];
    dvar *d = var_of(b, x);
    for (int c = 0; c < nt; c++) {
      int j = b->rc.index_var[nt + c] - n; /* Y_j: value j + 1 */
      int64_t cost = b->cost[x * n + j];
      l->c[r * nt + c] = dvar_contains_value_t(d, MakeSmall(j + 1)) ? (side ? -cost : cost) : FORBIDDEN;
    }
  }
}

/* Kept duals above this size (sums of forbidden costs) are dropped rather than grown further. */
constexpr int64_t DUAL_LIMIT = (int64_t)1 << 58;

/* Seeds problem side from the duals and assignment the block keeps: a kept pair stays when both
 * ends are live, the value is still allowed and the pair still tight. The kept duals must hold
 * c - u - v >= 0 on every allowed pair of a kept row (values only leave domains while the state
 * runs forward); when they do not (after a backtrack), everything starts afresh. Whether a pair
 * was kept. */
bool lap_resume(all_dist_data *b, lap *l, int side)
{
  const all_dist_rc *rc = &b->rc;
  int nt = l->nt, n = b->nvars;
  const int64_t *dual = side ? rc->ubdual : rc->lbdual;
  const int *primal = side ? rc->ubprimal : rc->lbprimal;
  for (int j = 0; j <= nt; j++) l->u[j] = l->v[j] = 0, l->p[j] = 0, l->rowcol[j] = 0;
  if (!fd_cost_filter_keep_duals) return false;
  int kept = 0;
  for (int r = 0; r < nt; r++) {
    int x = rc->index_var[r], y = primal[x];
    l->u[r + 1] = dual[x], l->v[r + 1] = dual[rc->index_var[nt + r]];
    if (y < n || b->vertex.visited[y] == FD_VG_DEAD) continue;
    int c = rc->var_index[y] - nt;
    if (c < 0 || c >= nt || rc->index_var[nt + c] != y || l->p[c + 1]) continue;
    if (l->c[r * nt + c] < FORBIDDEN && l->c[r * nt + c] == dual[x] + dual[y])
      l->p[c + 1] = r + 1, l->rowcol[r + 1] = c + 1, kept++;
  }
  bool sound = kept > 0;
  for (int r = 1; r <= nt && sound; r++) {
    sound = l->u[r] > -DUAL_LIMIT && l->u[r] < DUAL_LIMIT && l->v[r] > -DUAL_LIMIT &&
            l->v[r] < DUAL_LIMIT;
    const int64_t *row = l->c + (r - 1) * nt;
    if (l->rowcol[r])
      for (int c = 1; c <= nt && sound; c++)
        sound = row[c - 1] >= FORBIDDEN || row[c - 1] >= l->u[r] + l->v[c];
  }
  if (!sound)
    for (int j = 0; j <= nt; j++) l->u[j] = l->v[j] = 0, l->p[j] = 0, l->rowcol[j] = 0;
  return sound;
}

/* Keeps problem side's duals and assignment in the block, by vertex. */
void lap_keep(all_dist_data *b, const lap *l, int side)
{
  all_dist_rc *rc = &b->rc;
  int nt = l->nt;
  int64_t *dual = side ? rc->ubdual : rc->lbdual;
  int *primal = side ? rc->ubprimal : rc->lbprimal;
  for (int r = 0; r < nt; r++) {
    int x = rc->index_var[r];
    dual[x] = l->u[r + 1], dual[rc->index_var[nt + r]] = l->v[r + 1];
    primal[x] = rc->index_var[nt + l->rowcol[r + 1] - 1];
  }
}

/* Completes the assignment by shortest augmenting paths (one phase per free row, the method of
 * Kuhn and Munkres with the duals kept feasible): false when every complete assignment takes a
 * forbidden pair. Afterwards c - u - v >= 0 on every pair, 0 on the assigned ones. */
bool hungarian(lap *l)
{
  int nt = l->nt;
  for (int i = 1; i <= nt; i++) {
    if (l->rowcol[i]) continue;
    l->p[0] = i;
    l->v[0] = 0;
    int j0 = 0;
    for (int j = 0; j <= nt; j++) l->minv[j] = INT64_MAX, l->used[j] = 0;
    do {
      l->used[j0] = 1;
      int i0 = l->p[j0], j1 = 0;
      int64_t delta = INT64_MAX;
      for (int j = 1; j <= nt; j++) {
        if (l->used[j]) continue;
        int64_t cur = l->c[(i0 - 1) * nt + j - 1] - l->u[i0] - l->v[j];
        if (cur < l->minv[j]) l->minv[j] = cur, l->way[j] = j0;
        if (l->minv[j] < delta) delta = l->minv[j], j1 = j;
      }
      for (int j = 0; j <= nt; j++)
        if (l->used[j])
          l->u[l->p[j]] += delta, l->v[j] -= delta;
        else
          l->minv[j] -= delta;
      j0 = j1;
    } while (l->p[j0] != 0);
    do {
      int j1 = l->way[j0];
      l->p[j0] = l->p[j1];
      l->rowcol[l->p[j0]] = j0;
      j0 = j1;
    } while (j0);
  }
  for (int j = 1; j <= nt; j++)
    if (l->c[(l->p[j] - 1) * nt + j - 1] >= FORBIDDEN) return false;
  return true;
}

/* The reduced cost of (row r, column c), or FD_VG_INFINITE for a forbidden pair. */
inline int64_t reduced(const lap *l, int r, int c)
{
  int64_t cost = l->c[r * l->nt + c];
  return cost >= FORBIDDEN ? FD_VG_INFINITE : cost - l->u[r + 1] - l->v[c + 1];
}

/* Shortest paths between rows: an arc r -> k stands for row k taking the column of row r and
 * weighs that pair's reduced cost (not negative). The graphs are small and dense: all pairs at
 * once by Floyd and Warshall's relaxation, in 32 bits (two capped lengths do not overflow). */
void row_paths(lap *l)
{
  int nt = l->nt;
  int32_t *d = l->dist;
  for (int r = 0; r < nt; r++) {
    int col = l->rowcol[r + 1] - 1;
    for (int k = 0; k < nt; k++)
      d[r * nt + k] = (int32_t)std::min<int64_t>(reduced(l, k, col), FD_VG_INFINITE);
    d[r * nt + r] = 0;
  }
  for (int m = 0; m < nt; m++) {
    const int32_t *via = d + m * nt;
    for (int r = 0; r < nt; r++) {
      int32_t first = d[r * nt + m];
      if (first >= FD_VG_INFINITE) continue;
      int32_t *row = d + r * nt;
      for (int k = 0; k < nt; k++) row[k] = std::min(row[k], first + via[k]);
    }
  }
}

/* Problem side over the live rows and columns: optimum, duals, assignment, regrets, thresholds
 * against the cost variable k. 0 when no assignment exists or the cost variable cannot take the
 * optimum's side. */
int cost_based_filter(all_dist_data *b, lap *l, int side, dvar *k)
{
  all_dist_rc *rc = &b->rc;
  int nt = l->nt;
  fill_costs(b, l, side);
  if (lap_resume(b, l, side)) fd_cost_filter_resumed++;
  if (!hungarian(l)) return 0;
  lap_keep(b, l, side);
  int64_t value = 0;
  for (int r = 0; r < nt; r++) value += l->c[r * nt + l->rowcol[r + 1] - 1];
  rc->optcost[side] = (long)(rc->costbase + (side ? -value : value));
  int *colrow = l->way; /* the row of each column, for the regrets */
  for (int r = 0; r < nt; r++) colrow[l->rowcol[r + 1] - 1] = r;
  int64_t slack = side ? (IsSmall(k->min) ? rc->optcost[1] - GetSmall(k->min) : FD_VG_UNBOUNDED)
                       : (IsSmall(k->max) ? GetSmall(k->max) - rc->optcost[0] : FD_VG_UNBOUNDED);
  if (slack < 0) return 0;
  rc->threshold[side] = (long)std::min<int64_t>(slack, FD_VG_UNBOUNDED);
  row_paths(l);
  int64_t most = 0, least = FD_VG_INFINITE;
  for (int r = 0; r < nt; r++)
    for (int c = 0; c < nt; c++) {
      int64_t red = reduced(l, r, c), path = l->dist[r * nt + colrow[c]];
      int64_t regret = std::min<int64_t>(red + path, FD_VG_INFINITE);
      rc->rcost[side][r * nt + c] = (long)regret;
      if (l->c[r * nt + c] >= FORBIDDEN) continue;
      most = std::max(most, regret);
      if (regret > 0) least = std::min(least, regret);
    }
  rc->max_regret[side] = (long)most;
  rc->min_regret[side] = (long)least;
  return 1;
}

/* Whether forcing (row r, column c) leaves no cost the cost variable allows. */
bool pair_out(const all_dist_rc *rc, int r, int c, dvar *k, bool holes, ORVALIS_API_STRUCT *api,
              worker *w)
{
  long r0 = rc->rcost[0][r * rc->ntargets + c], r1 = rc->rcost[1][r * rc->ntargets + c];
  if (r0 > rc->threshold[0] || r1 > rc->threshold[1]) return true;
  return holes && r0 + r1 >= 1 &&
         dvar_compare_interval_t(api, k, MakeSmall((int32_t)(rc->optcost[0] + r0)),
                                 MakeSmall((int32_t)(rc->optcost[1] - r1)), w) == 4;
}

/* Removes from each unfixed live variable of one side (Xs: rows, Ys: columns) the values whose
 * pair is out: -1 on a wipe-out, else whether something changed. */
int prune_pairs(ORVALIS_API_STRUCT *api, worker *w, all_dist_data *b, bool rows, dvar *k, bool holes)
{
  all_dist_rc *rc = &b->rc;
  int nt = rc->ntargets, n = b->nvars, changed = 0;
  for (int a = 0; a < nt; a++) {
    int vertex = rc->index_var[(rows ? 0 : nt) + a];
    dvar *d = var_of(b, vertex);
    if (d->flags & DV_FIXED) continue;
    FDCONS out;
    fdcons_init(&out);
    DVITER it;
    dviter_init(&it, d);
    while (!dviter_empty(&it)) {
      TAGGED value = dviter_next_value_t(&it);
      int other = (rows ? n : 0) + small_of(value) - 1; /* the partner's vertex */
      if (b->vertex.visited[other] == FD_VG_DEAD) continue;
      int index = rc->var_index[other] - (rows ? nt : 0);
      if (rows ? pair_out(rc, a, index, k, holes, api, w) : pair_out(rc, index, a, k, holes, api, w))
        fdcons_add(api, &out, w, value);
    }
    int mask = dvar_prune_set(api, d, out.head, w);
    if (mask < 0) return -1;
    if (mask > 0) {
      changed = 1;
      dvar_pruning_done(api, w, d);
    }
  }
  return changed;
}

/* Circuit mode: the row each column's node leads to once the fixed successors of the dead nodes
 * are followed (node j is X_j and Y_j), then the column leading to each row. False when those
 * successors leave 1..n or close a cycle that misses some node. */
bool column_rows(all_dist_data *b, int *rowof)
{
  const all_dist_rc *rc = &b->rc;
  int n = b->nvars, nt = rc->ntargets, covered = 0;
  for (int c = 0; c < nt; c++) {
    int node = rc->index_var[nt + c] - n;
    for (covered++; b->vertex.visited[node] == FD_VG_DEAD; covered++) {
      init_var(b, node);
      TAGGED next = b->dvar[node].min;
      if (!IsSmall(next) || small_of(next) < 1 || small_of(next) > n || covered >= n) return false;
      node = small_of(next) - 1;
    }
    rowof[c] = rc->var_index[node];
    rowof[nt + rowof[c]] = c;
  }
  return covered == n;
}

/* Circuit mode, problem side: the least regret level whose pairs (not above the threshold) join
 * the rows into one strongly connected graph, arc r -> rowof[c] per pair (rowof[nt + r] is the
 * column leading to row r); -1 when no level does. Every circuit's pairs have regrets up to its
 * cost's distance from the optimum, so that distance is at least the level. The level is the
 * larger of the bottlenecks that reach every row from row 0 and row 0 from every row, each the
 * largest of the least bottlenecks of paths found as Prim's method finds them. */
long circuit_level(ORVALIS_API_STRUCT *api, worker *w, all_dist_data *b, int side, const int *rowof)
{
  const all_dist_rc *rc = &b->rc;
  int nt = rc->ntargets;
  const long *regret = rc->rcost[side];
  auto *reach = (long *)fd_temp_alloc(api, w, (size_t)nt * sizeof(long));
  auto *done = (char *)fd_temp_alloc(api, w, (size_t)nt);
  long level = 0;
  for (int backward = 0; backward < 2; backward++) {
    for (int k = 0; k < nt; k++) reach[k] = FD_VG_INFINITE, done[k] = 0;
    reach[0] = 0;
    for (int step = 0; step < nt; step++) {
      int r = -1;
      for (int k = 0; k < nt; k++)
        if (!done[k] && (r < 0 || reach[k] < reach[r])) r = k;
      if (reach[r] > rc->threshold[side]) return -1; /* a row no admissible pair reaches */
      done[r] = 1;
      level = std::max(level, reach[r]);
      for (int k = 0; k < nt; k++) {
        /* forward: r takes column k; backward: row k takes the column that leads to r */
        int to = backward ? k : rowof[k];
        long pair = backward ? regret[k * nt + rowof[nt + r]] : regret[r * nt + k];
        if (!done[to]) reach[to] = std::min(reach[to], std::max(reach[r], pair));
      }
    }
  }
  return level;
}

/* The cost variable's bounds lb..ub, each moved past a value the domain leaves out by the
 * smallest positive regret of its problem: -1 on failure, else whether they changed. */
int bound_cost(all_dist_data *b, dvar *k, long lb, long ub)
{
  all_dist_rc *rc = &b->rc;
  if (!dvar_contains_value_t(k, MakeSmall((int32_t)lb))) {
    if (rc->min_regret[0] >= FD_VG_INFINITE) return -1;
    lb += rc->min_regret[0];
  }
  if (!dvar_contains_value_t(k, MakeSmall((int32_t)ub))) {
    if (rc->min_regret[1] >= FD_VG_INFINITE) return -1;
    ub -= rc->min_regret[1];
  }
  int low = dvar_fix_interval_t(k, MakeSmall((int32_t)lb), atom_sup);
  int high = low < 0 ? -1 : dvar_fix_interval_t(k, atom_inf, MakeSmall((int32_t)ub));
  return high < 0 ? -1 : (low | high) != 0;
}

/* Circuit mode: the optima moved to the least connecting regret levels (a level above 0 zeroes
 * that problem's min_regret: the moved bound is already the least circuit cost it proves).
 * False when the fixed successors or the pairs left admit no circuit. */
bool circuit_bounds(ORVALIS_API_STRUCT *api, worker *w, all_dist_data *b, long *bound)
{
  all_dist_rc *rc = &b->rc;
  auto *rowof = (int *)fd_temp_alloc(api, w, 2 * (size_t)rc->ntargets * sizeof(int));
  if (!column_rows(b, rowof)) return false;
  for (int side = 0; side < 2; side++) {
    long level = circuit_level(api, w, b, side, rowof);
    if (level < 0) return false;
    if (level > 0) {
      bound[side] += side ? -level : level;
      rc->min_regret[side] = 0;
    }
  }
  return true;
}

}  // namespace

int cost_filter(ORVALIS_API_STRUCT *api, all_dist_data *b, worker *w, long costbase, int flags)
{
  all_dist_rc *rc = &b->rc;
  dvar *k = var_of(b, rc->costvar);
  init_var(b, rc->costvar);
  int nt = b->nvartargets;
  rc->costbase = costbase;
  rc->ntargets = nt;
  for (int a = 0; a < nt; a++) {
    int x = b->vartarget[a], y = b->valtarget[a];
    rc->index_var[a] = x, rc->var_index[x] = a;
    rc->index_var[nt + a] = y, rc->var_index[y] = nt + a;
    b->vertex.mate[x] = -1;
    b->vertex.mate[y] = y; /* contraction drops a Y exactly when it is fixed */
  }
  if (nt == 0) {
    rc->optcost[0] = rc->optcost[1] = costbase;
    return dvar_fix_interval_t(k, MakeSmall((int32_t)costbase), MakeSmall((int32_t)costbase)) >= 0;
  }
  lap l = lap_alloc(api, w, nt);
  bool circuit = (flags & FD_VG_CIRCUIT) != 0;
  for (;;) {
    if (!cost_based_filter(b, &l, 0, k) || !cost_based_filter(b, &l, 1, k)) return 0;
    bool holes = !(k->flags & DV_INTERVAL);
    int changed = 0;
    if (rc->max_regret[0] > rc->threshold[0] || rc->max_regret[1] > rc->threshold[1] || holes) {
      for (bool rows : {true, false}) {
        int r = prune_pairs(api, w, b, rows, k, holes);
        if (r < 0) return 0;
        changed |= r;
      }
    }
    long bound[2] = {rc->optcost[0], rc->optcost[1]};
    if (circuit && !circuit_bounds(api, w, b, bound)) return 0;
    int bounds = bound_cost(b, k, bound[0], bound[1]);
    if (bounds < 0) return 0;
    if (!changed && !bounds) return 1;
    b->pruned = 1;
    dvar_pruning_done(api, w, k);
  }
}

/* ---- assignment ---- */

namespace {

/* State term: s(Xs, Ys, NDead, Flags, Costs, CostBase, Handle, Stamp). X_i is variable vertex i
 * (record i), Y_j value vertex n+j (record n+j); labels are i+1 and j+1. */
constexpr int AS_XS = 1, AS_YS = 2, AS_DEAD = 3, AS_FLAGS = 4, AS_COSTS = 5, AS_COSTBASE = 6,
              AS_HANDLE = 7;
constexpr uint32_t AS_ARITY = 8;

/* The flag pattern dvar_init gives a variable fixed before the call: nothing pruned since. */
constexpr uint32_t FIXED_ON_ENTRY = DV_FIXED | DV_SET_CURRENT | DV_INTERVAL;

/* Flags, NDead and CostBase of an assignment state. */
bool check_assignment_words(ORVALIS_API_STRUCT *api, worker *w)
{
  TAGGED flags = state_arg(w, AS_FLAGS);
  if (!IsSmall(flags)) return state_error(api, "integer", flags);
  if (small_of(flags) < 0 || small_of(flags) > (FD_VG_CIRCUIT | FD_VG_COSTS))
    return range_error(api, "assignment_flags", flags);
  for (int k : {AS_DEAD, AS_COSTBASE})
    if (!IsSmall(state_arg(w, k))) return state_error(api, "integer", state_arg(w, k));
  return true;
}

/* The costs argument of a first call with costs: c(K, KAttr, Rows), Rows n lists of n small
 * integers, K a variable or integer with its attribute. */
bool check_costs(ORVALIS_API_STRUCT *api, worker *w, int n)
{
  TAGGED c = state_arg(w, AS_COSTS);
  if (!IsStr(c) || IsBox(c) || Arity(StrFunctor(c)) != 3) return state_error(api, "cost_term", c);
  TAGGED k = deref(StrArg(c, 1)), attr = deref(StrArg(c, 2));
  if ((!IsVar(k) && !IsSmall(k)) || !fd_well_formed_attribute(attr))
    return state_error(api, "domain_variable", k);
  TAGGED rows = deref(StrArg(c, 3));
  int i = 0;
  for (; IsLst(rows) && i <= n; rows = deref(LstTail(rows)), i++) {
    int j = 0;
    TAGGED row = deref(LstHead(rows));
    for (; IsLst(row) && j <= n; row = deref(LstTail(row)), j++)
      if (!IsSmall(deref(LstHead(row)))) return state_error(api, "integer", deref(LstHead(row)));
    if (row != atom_nil || j != n) return range_error(api, "cost_matrix", MakeSmall(j));
  }
  if (rows != atom_nil || i != n) return range_error(api, "cost_matrix", MakeSmall(i));
  return true;
}

bool check_dead(ORVALIS_API_STRUCT *api, worker *w, int32_t most)
{
  TAGGED dead = state_arg(w, AS_DEAD);
  return small_of(dead) >= 0 && small_of(dead) <= most ? true
                                                        : range_error(api, "dead_count", dead);
}

all_dist_data *assignment_first_call(fd_entry *e, int n)
{
  worker *w = e->w;
  int flags = small_of(state_arg(w, AS_FLAGS));
  bool costs = flags & FD_VG_COSTS;
  all_dist_data *b = all_dist_alloc(e, n, n, 2 * n + (costs ? 1 : 0), flags);
  if (costs) { /* the cost variable is record 2n; the matrix row by row */
    TAGGED c = state_arg(w, AS_COSTS);
    b->rc.costvar = 2 * n;
    b->refbase[4 * n] = {deref(StrArg(c, 2)), 0};
    b->refbase[4 * n + 1] = {deref(StrArg(c, 1)), 0};
    long *cell = b->cost;
    for (TAGGED rows = deref(StrArg(c, 3)); IsLst(rows); rows = deref(LstTail(rows)))
      for (TAGGED row = deref(LstHead(rows)); IsLst(row); row = deref(LstTail(row)))
        *cell++ = small_of(deref(LstHead(row)));
  }
  fd_state(e->api)->gdata = b;
  b->stamp = e->stamp - 1;
  b->density = b->reset_density = 2;
  for (int side = 0; side < 2; side++) {
    int i = side * n;
    for (TAGGED l = state_arg(w, side == 0 ? AS_XS : AS_YS); IsLst(l); l = deref(LstTail(l)), i++) {
      fd_entry_refs(LstHead(l), &b->refbase[2 * i]);
      b->vertex.label[i] = MakeSmall(i - side * n + 1);
      b->vertex.mate[i] = -1;
      (side == 0 ? b->vartarget : b->valtarget)[i - side * n] = i;
    }
  }
  for (int k : {AS_XS, AS_YS, AS_COSTS}) set_state_arg(w, k, atom_nil);
  return b;
}

/* Narrows the view to the set (or 1..n when set is 0): -1 on a wipe-out. */
int narrow_view(ORVALIS_API_STRUCT *api, worker *w, all_dist_data *b, dvar *d, TAGGED set)
{
  int mask = set ? dvar_fix_set(api, d, set, w) : dvar_fix_interval_t(d, MakeSmall(1), MakeSmall(b->nvars));
  if (mask < 0) return -1;
  if (mask > 0) {
    b->pruned = 1;
    dvar_pruning_done(api, w, d);
  }
  return 0;
}

/* Channelling X_i = j <=> Y_j = i in one direction: each live target (Xs for d = 0, Ys for
 * d = 1) keeps the indices of the live supporters of the other list whose domains hold its own
 * index. A variable fixed on entry is only checked as a target: nothing guarantees its partner
 * names it (both may have been fixed by the search, or be one variable), and a narrowing to a set
 * holding its value would change nothing. Supporters are walked in ascending index order, so each
 * target's support list ascends. -1 on failure. */
int channel(ORVALIS_API_STRUCT *api, worker *w, all_dist_data *b, int d)
{
  int n = b->nvars, live = b->nvartargets;
  const int *targets = d == 0 ? b->vartarget : b->valtarget;
  const int *supporters = d == 0 ? b->valtarget : b->vartarget;
  int base = d == 0 ? n : 0; /* supporter vertex = base + index */
  auto *start = (int *)fd_temp_alloc(api, w, (size_t)(n + 1) * sizeof(int));
  std::memset(start, 0, (size_t)(n + 1) * sizeof(int));
  long total = 0;
  for (int k = 0; k < live; k++) {
    DVITER it;
    dviter_init(&it, var_of(b, supporters[k]));
    while (!dviter_empty(&it)) {
      start[small_of(dviter_next_value_t(&it))]++; /* value v counts toward index v-1's end */
      total++;
    }
  }
  for (int t = 0; t < n; t++) start[t + 1] += start[t]; /* start[t]: first entry of index t */
  auto *entries = (int *)fd_temp_alloc(api, w, (size_t)(total > 0 ? total : 1) * sizeof(int));
  auto *fill = (int *)fd_temp_alloc(api, w, (size_t)n * sizeof(int));
  std::memcpy(fill, start, (size_t)n * sizeof(int));
  for (int k = 0; k < live; k++) {
    DVITER it;
    dviter_init(&it, var_of(b, supporters[k]));
    while (!dviter_empty(&it)) entries[fill[small_of(dviter_next_value_t(&it)) - 1]++] = supporters[k] - base;
  }
  for (int k = 0; k < live; k++) {
    dvar *t = var_of(b, targets[k]);
    int index = label_of(b, targets[k]) - 1;
    if (t->flags == FIXED_ON_ENTRY) {
      int partner = small_of(t->min) - 1;
      if (!std::binary_search(entries + start[index], entries + start[index + 1], partner)) return -1;
      continue;
    }
    FDCONS support;
    fdcons_init(&support);
    for (int e = start[index]; e < start[index + 1]; e++)
      fdcons_add(api, &support, w, MakeSmall(entries[e] + 1));
    if (!IsLst(support.head) || narrow_view(api, w, b, t, support.head) < 0) return -1;
  }
  return 0;
}

/* The live part of a target array in ascending label order (revived vertices come back at its
 * end). */
void sort_live(ORVALIS_API_STRUCT *api, all_dist_data *b, int *targets, int live)
{
  for (int i = 1; i < live; i++)
    if (label_of(b, targets[i - 1]) > label_of(b, targets[i])) {
      qsort_asc_label(api, targets, live);
      return;
    }
}

/* Matching and components over the live Xs, restricting each side to its components. */
int assignment_filter(ORVALIS_API_STRUCT *api, worker *w, all_dist_data *b)
{
  int live = b->nvartargets;
  for (int side = 0; side < 2; side++)
    for (int k = 0; k < live; k++) {
      int v = (side == 0 ? b->vartarget : b->valtarget)[k], m = b->vertex.mate[v];
      if (m >= 0 && !dvar_contains_value_t(var_of(b, v), b->vertex.label[m])) unmatch(b, v);
    }
  b->nvarkernels = live;
  b->nvalkernels = live;
  clear_kernel_marks(b, true);
  if (!augment(b, live)) return -1;
  clear_kernel_marks(b, false);
  int c = find_sccs(api, b, w, 1);
  if (c > 1 && (compress_edges(api, b, w, b->vartarget, live, c + 2) < 0 ||
                compress_edges(api, b, w, b->valtarget, live, c + 2) < 0))
    return -1;
  return 0;
}

/* One call on the block: the outcome. */
int assignment_run(ORVALIS_API_STRUCT *api, worker *w, all_dist_data *b, int32_t stamp, bool first)
{
  int n = b->nvars;
  b->pruned = 0;
  b->incremental = b->stamp == stamp;
  if (!b->incremental) b->nvartargets = b->nvaltargets = n - small_of(state_arg(w, AS_DEAD));
  int live = b->nvartargets;
  sort_live(api, b, b->vartarget, live);
  sort_live(api, b, b->valtarget, live);
  for (int k = 0; k < live; k++)
    for (int v : {b->vartarget[k], b->valtarget[k]}) {
      init_var(b, v);
      b->vertex.visited[v] = 0;
    }
  b->stamp = stamp + 1;
  if (first) /* values are mapped to vertices without a test: keep them to 1..n */
    for (int k = 0; k < live; k++)
      for (int v : {b->vartarget[k], b->valtarget[k]})
        if (narrow_view(api, w, b, var_of(b, v), 0) < 0) return -1;
  if (channel(api, w, b, 0) < 0 || channel(api, w, b, 1) < 0) return -1;
  bool costs = b->flags & FD_VG_COSTS;
  long costbase = small_of(state_arg(w, AS_COSTBASE));
  if (costs ? !cost_filter(api, b, w, costbase, b->flags) : assignment_filter(api, w, b) < 0)
    return -1;
  if ((b->flags & FD_VG_CIRCUIT) && !costs && live > 5 && !circuit_possible(api, w, b)) return -1;
  for (int k = 0; k < live; k++)
    for (int v : {b->vartarget[k], b->valtarget[k]}) {
      dvar *d = var_of(b, v);
      b->vertex.size[v] = dvar_value_count(d);
      if (costs && v < n && (d->flags & DV_FIXED)) costbase += b->cost[v * n + small_of(d->min) - 1];
    }
  /* exports may collect: the views they leave are not read again (pruned views hold their
   * sets in temporary storage) */
  for (int k = 0; k < live; k++)
    for (int v : {b->vartarget[k], b->valtarget[k]}) {
      dvar *d = var_of(b, v);
      if (d->flags & (DV_SET_TOLD | DV_MIN_RAISED | DV_MAX_LOWERED)) dvar_export_do(api, w, d);
    }
  if (costs) {
    dvar *k = var_of(b, b->rc.costvar);
    if (k->flags & (DV_SET_TOLD | DV_MIN_RAISED | DV_MAX_LOWERED)) dvar_export_do(api, w, k);
    set_state_arg(w, AS_COSTBASE, MakeSmall((int32_t)costbase));
  }
  contract_vars(b);
  contract_vals(b);
  set_state_arg(w, AS_DEAD, MakeSmall(n - b->nvartargets));
  return b->nvartargets < 2 ? 1 : 0;
}

}  // namespace

void prolog_fd_assignment_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0,
                                         QX_term_ref state, QX_term_ref actions)
{
  fd_entry e;
  if (!fd_entry_begin(&e, api, state0, AS_ARITY, true)) return;
  worker *w = e.w;
  if (!check_assignment_words(api, w)) return;
  int n = 0, ny = 0;
  bool first = IsVar(e.handle);
  if (first) {
    if (!check_entries(api, w, state_arg(w, AS_XS), &n) ||
        !check_entries(api, w, state_arg(w, AS_YS), &ny) || !check_dead(api, w, 0))
      return;
    if (n != ny) {
      range_error(api, "assignment_lists", MakeSmall(ny));
      return;
    }
    if ((small_of(state_arg(w, AS_FLAGS)) & FD_VG_COSTS) && !check_costs(api, w, n)) return;
  }
  int outcome = 1;
  all_dist_data *b = nullptr;
  if (first && n > 0) {
    b = assignment_first_call(&e, n);
  } else if (!first && IsVar(deref(LstHead(e.handle)))) {
    b = (all_dist_data *)fd_perm_data(e.handle);
    fd_state(api)->gdata = b;
    if (!check_dead(api, w, b->nvars)) return;
  }
  if (b) outcome = assignment_run(api, w, b, e.stamp, first);
  if (outcome == 1) { /* the Handle becomes 0 once the block is gone */
    fd_perm_free(api, w);
    set_state_arg(w, AS_HANDLE, MakeSmall(0));
  }
  fd_entry_end(&e, state, actions, outcome);
}

/* ---- assignment_helper ---- */

namespace {

/* State term: s(I, V, AssignmentState, Handle, Stamp); AssignmentState may also be the mutable
 * holding it. */
constexpr uint32_t HELPER_ARITY = 5;

/* The pair X_I = V bounds the cost by the last cost filtering's optima and the pair's regrets:
 * the outcome, -2 after raising an error. */
int helper_run(ORVALIS_API_STRUCT *api, worker *w, TAGGED index, TAGGED value, TAGGED a)
{
  if (IsVar(value)) return 0;
  TAGGED handle = deref(StrArg(a, AS_HANDLE));
  if (handle == MakeSmall(0)) return 1; /* the assignment is entailed */
  if (IsVar(handle)) return 0;          /* it has not run yet */
  if (!fd_valid_handle(handle) || !IsVar(deref(LstHead(handle)))) return 1;
  auto *b = (all_dist_data *)fd_perm_data(handle);
  int n = b->nvars, x = small_of(index), v = small_of(value);
  if (x < 0 || x >= n) return range_error(api, "assignment_index", index), -2;
  TAGGED stamp = deref(StrArg(a, AS_ARITY));
  if (!(b->flags & FD_VG_COSTS) || !IsSmall(stamp) || small_of(stamp) != b->stamp ||
      b->vertex.visited[x] == FD_VG_DEAD)
    return 1; /* not the state of the last cost filtering */
  if (v < 1 || v > n || b->vertex.visited[n + v - 1] == FD_VG_DEAD) return -1;
  const all_dist_rc *rc = &b->rc;
  int nt = rc->ntargets, row = rc->var_index[x], col = rc->var_index[n + v - 1] - nt;
  long r0 = rc->rcost[0][row * nt + col], r1 = rc->rcost[1][row * nt + col];
  if (r0 >= FD_VG_INFINITE || r1 >= FD_VG_INFINITE) return -1;
  dvar *k = var_of(b, rc->costvar);
  init_var(b, rc->costvar);
  int mask = dvar_fix_interval_t(k, MakeSmall((int32_t)(rc->optcost[0] + r0)),
                                 MakeSmall((int32_t)(rc->optcost[1] - r1)));
  if (mask < 0) return -1;
  if (mask > 0) {
    dvar_pruning_done(api, w, k);
    dvar_export_do(api, w, k);
  }
  return 1;
}

}  // namespace

void prolog_fd_assignment_helper_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0,
                                                QX_term_ref state, QX_term_ref actions)
{
  fd_entry e;
  if (!fd_entry_begin(&e, api, state0, HELPER_ARITY, false)) return;
  worker *w = e.w;
  TAGGED index = state_arg(w, 1), value = state_arg(w, 2), a = state_arg(w, 3);
  if (IsStr(a) && !IsBox(a) && StrFunctor(a) == functor_mutable2) a = fd_mutable_value(a);
  if (!IsSmall(index)) return (void)state_error(api, "integer", index);
  if (!IsVar(value) && !IsSmall(value)) return (void)state_error(api, "integer", value);
  if (!IsStr(a) || IsBox(a) || Arity(StrFunctor(a)) != AS_ARITY)
    return (void)state_error(api, "assignment_state", a);
  int outcome = helper_run(api, w, index, value, a);
  if (outcome == -2) return;
  fd_entry_end(&e, state, actions, outcome);
}
