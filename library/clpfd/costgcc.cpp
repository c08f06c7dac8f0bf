/* global_cardinality with costs: flow 0 of least total cost, flow 1 of greatest (arc costs
 * negated), each kept optimal by node potentials `dual` that stay in the block from call to call.
 *
 * A call corrects the potentials instead of recomputing them: matched arcs are made tight, the
 * residual arcs of negative reduced cost (out of kilter) are collected, and each is repaired by
 * Dijkstra over reduced costs from its head to its tail; the distances update the potentials and,
 * when the arc still closes a negative cycle, one unit goes around it. An arc on no cycle gets its
 * potential difference shifted instead. When every residual arc has a nonnegative reduced cost
 * the flow is optimal, and the regret of an arc (x, k) off the flow (the extra cost of the best
 * flow through it) is a shortest path from x's value to k: one Dijkstra per value, stopped at the
 * threshold (a larger regret prunes anyway) and once every value wanted is settled.
 *
 * Distances live in rows of `dist`, one per node, built on demand and current while their stamp
 * equals `generation`; a search keeps its tentative distances in its source's row. A call's
 * arrays come from its temporary storage.
 */
#include <algorithm>
#include <cstring>

#include "fd_gcc.h"
#include "fd_globals.h"
#include "fd_propagate.h"
#include "fd_sets.h"

int64_t costgcc_arc_cost(const gcc_graph *b, int u, int v, int f)
{
  const fd_vgraph *g = &b->g;
  int s = f == 0 ? 1 : -1;
  if (fd_vg_is_value(g, u) && fd_vg_is_var(g, v)) return s * (int64_t)gcc_matrix(b, v, u);
  if (fd_vg_is_var(g, u) && fd_vg_is_value(g, v)) return -s * (int64_t)gcc_matrix(b, u, v);
  return 0;
}

bool (*fd_costgcc_loop_hook)(ORVALIS_API_STRUCT *api, worker *w, gcc_graph *b, int64_t fixed);

namespace {

/* No arc, no path; far from overflow when two are added. */
constexpr int64_t DIST_INF = INT64_MAX / 4;
/* The threshold of an open end of Cost. */
constexpr int64_t OPEN_THRESHOLD = 0x7ffffffe;

int sign(int f) { return f == 0 ? 1 : -1; }

int64_t reduced_cost(const gcc_graph *b, int u, int v, int f)
{
  return costgcc_arc_cost(b, u, v, f) + b->dual[f][v] - b->dual[f][u];
}

/* ---- the array heap of nodes keyed by distrow (children of p: 2p+1, 2p+2) ---- */

void heap_place(gcc_graph *b, int p, int x)
{
  b->heap[p] = x;
  b->vheap[x] = p;
}

/* Sifts the entry at p down: the smaller child moves up while strictly smaller. */
void qxheapify(gcc_graph *b, int p)
{
  const int64_t *key = b->distrow;
  int x = b->heap[p];
  for (;;) {
    int c = 2 * p + 1;
    if (c >= b->heapsize) break;
    if (c + 1 < b->heapsize && key[b->heap[c + 1]] < key[b->heap[c]]) c++;
    if (key[b->heap[c]] >= key[x]) break;
    heap_place(b, p, b->heap[c]);
    p = c;
  }
  heap_place(b, p, x);
}

/* Every active node but the sink and src, in active order, then heap order. */
void qxheap_init(gcc_graph *b, int src)
{
  const fd_vgraph *g = &b->g;
  int n = g->nactive - 1;
  for (int a = 0; a < n; a++) heap_place(b, a, g->activeset[a]);
  int last = b->heap[n - 1], at = b->vheap[src];
  heap_place(b, at, last);
  b->vheap[src] = -1;
  b->heapsize = n - 1;
  for (int p = b->heapsize / 2 - 1; p >= 0; p--) qxheapify(b, p);
}

/* The root, kept just behind the heap's end (settled nodes gather there) and marked -1. */
int qxheap_extract_min(gcc_graph *b)
{
  int x = b->heap[0];
  b->heapsize--;
  if (b->heapsize > 0) {
    heap_place(b, 0, b->heap[b->heapsize]);
    qxheapify(b, 0);
  }
  b->heap[b->heapsize] = x;
  b->vheap[x] = -1;
  return x;
}

void decrease_key(gcc_graph *b, int x, int64_t d)
{
  b->distrow[x] = d;
  int p = b->vheap[x];
  while (p > 0 && b->distrow[b->heap[(p - 1) / 2]] > d) {
    heap_place(b, p, b->heap[(p - 1) / 2]);
    p = (p - 1) / 2;
  }
  heap_place(b, p, x);
}

/* ---- dist rows ---- */

/* All rows stale. The stamps start at 0 in a new block; on wrapping they are cleared. */
void next_generation(gcc_graph *b)
{
  if (++b->generation == 0) {
    std::memset(b->row_generation, 0, b->g.nnodes * sizeof(uint32_t));
    b->generation = 1;
  }
}

int64_t *row_of(const gcc_graph *b, int u) { return b->dist + (size_t)u * b->g.nnodes; }

/* An arc's entry: its reduced cost raised to 0 (out-of-kilter arcs count as tight while others
 * are repaired), or no arc. */
int64_t entry(const gcc_graph *b, int u, int v, int f, bool residual)
{
  return residual ? std::max<int64_t>(0, reduced_cost(b, u, v, f)) : DIST_INF;
}

/* Row u's entries at the nodes a relaxation from u reads: the value targets from the source, a
 * value's variables and the source, a variable's value. */
void fill_row(gcc_graph *b, int u, int f, int64_t *row)
{
  const fd_vgraph *g = &b->g;
  const int *mate = g->mate[f];
  if (u == 0) {
    for (int k = 0; k < g->nvaltargets; k++) {
      int j = g->valtarget[k];
      row[j] = entry(b, 0, j, f, mate[j] < count_max(g, j));
    }
  } else if (fd_vg_is_value(g, u)) {
    const int *vars = fd_vg_vars(g, u);
    for (int i = 0; i < g->out_degree[u]; i++) row[vars[i]] = entry(b, u, vars[i], f, mate[vars[i]] != u);
    row[0] = entry(b, u, 0, f, mate[u] > count_min(g, u));
  } else if (mate[u] >= 0) {
    row[mate[u]] = entry(b, u, mate[u], f, true);
  }
  row[u] = 0;
}

int64_t *dist_row(gcc_graph *b, int u, int f)
{
  int64_t *row = row_of(b, u);
  if (b->row_generation[u] != b->generation) {
    fill_row(b, u, f, row);
    b->row_generation[u] = b->generation;
  }
  return row;
}

/* The row of a search's source, filled over every active node: its tentative distances. */
void costgcc_reset_dist_row(gcc_graph *b, int u, int f)
{
  const fd_vgraph *g = &b->g;
  int64_t *row = row_of(b, u);
  for (int a = 0; a < g->nactive - 1; a++) row[g->activeset[a]] = DIST_INF;
  fill_row(b, u, f, row);
  b->row_generation[u] = b->generation;
  b->distrow = row;
}

/* ---- Dijkstra over reduced costs ---- */

void relax(gcc_graph *b, int y, int f, bool parents)
{
  const fd_vgraph *g = &b->g;
  const int64_t *row = dist_row(b, y, f);
  int64_t dy = b->distrow[y];
  auto reach = [&](int z) {
    if (b->vheap[z] < 0 || row[z] >= DIST_INF || dy + row[z] >= b->distrow[z]) return;
    if (parents) g->dad[z] = y;
    decrease_key(b, z, dy + row[z]);
  };
  if (y == 0) {
    for (int k = 0; k < g->nvaltargets; k++) reach(g->valtarget[k]);
  } else if (fd_vg_is_value(g, y)) {
    const int *vars = fd_vg_vars(g, y);
    for (int i = 0; i < g->out_degree[y]; i++) reach(vars[i]);
    reach(0);
  } else if (g->mate[f][y] >= 0) {
    reach(g->mate[f][y]);
  }
}

/* Settles the nodes reachable from src in order of distance below limit; settle(y) answers
 * true to stop. Settled nodes end in heap[heapsize..heapmax-1], distances in distrow; with
 * parents the shortest-path tree in dad. */
template <typename Settle>
void dijkstra(gcc_graph *b, int src, int f, int64_t limit, bool parents, Settle settle)
{
  fd_vgraph *g = &b->g;
  costgcc_reset_dist_row(b, src, f);
  qxheap_init(b, src);
  if (parents) {
    for (int k = 0; k < b->heapsize; k++) {
      int y = b->heap[k];
      g->dad[y] = b->distrow[y] < DIST_INF ? src : -1;
    }
    g->dad[src] = -1;
  }
  b->heapmax = b->heapsize;
  while (b->heapsize > 0 && b->distrow[b->heap[0]] < limit) {
    int y = qxheap_extract_min(b);
    if (settle(y)) return;
    relax(b, y, f, parents);
  }
}

/* The search of a repair: from v until u is settled. Whether it was. */
bool opt_shortest_paths(gcc_graph *b, int v, int u, int f)
{
  bool found = false;
  dijkstra(b, v, f, DIST_INF, true, [&](int y) { return found = y == u; });
  return found;
}

/* The search of the regrets: from j until the targets on stack[0..top-1] are settled. */
void shortest_paths(gcc_graph *b, int j, int f, int64_t limit, int top)
{
  const int *stack = b->g.stack;
  dijkstra(b, j, f, limit, false, [&](int y) {
    if (y != stack[top - 1]) return false;
    while (top > 0 && b->vheap[stack[top - 1]] == -1) top--;
    return top == 0;
  });
}

/* ---- optimisation ---- */

/* One unit around the cycle (u, v) then the tree path from v to u. A variable's unassignment
 * (its arc to a value) goes before its assignment, which the order of the pushes ensures: the
 * path backwards from u meets a variable's outgoing arc first. */
void push_cycle(gcc_graph *b, int u, int v, int f)
{
  fd_vgraph *g = &b->g;
  bool arc_last = fd_vg_is_value(g, u);
  if (!arc_last) incflow(g, u, v, f);
  for (int y = u; y != v;) {
    int p = g->dad[y];
    g->dad[y] = -1;
    incflow(g, p, y, f);
    y = p;
  }
  if (arc_last) incflow(g, u, v, f);
}

/* Repairs arc (u, v) of negative reduced cost: a cycle through it found by Dijkstra from v moves
 * the potentials (v by the distance D to u, each node settled by D less its own distance), then
 * takes one unit when the arc is still negative. No cycle: v and the nodes it reaches (no
 * residual arc leaves them) rise together until the arc is tight; arcs into them only gain. */
void repair_arc(gcc_graph *b, int u, int v, int f)
{
  int64_t *dual = b->dual[f];
  while (res(&b->g, u, v, f) >= 1 && reduced_cost(b, u, v, f) < 0) {
    next_generation(b);
    bool cycle = opt_shortest_paths(b, v, u, f);
    int64_t rise = cycle ? b->distrow[u] : -reduced_cost(b, u, v, f);
    dual[v] += rise;
    for (int k = b->heapsize; k < b->heapmax; k++) {
      int y = b->heap[k];
      dual[y] += cycle ? rise - b->distrow[y] : rise;
    }
    if (!cycle) return;
    if (reduced_cost(b, u, v, f) < 0) push_cycle(b, u, v, f);
  }
}

/* The residual arcs of negative reduced cost, value targets in order, into arcs: their count. */
int collect_out_of_kilter(gcc_graph *b, int f)
{
  const fd_vgraph *g = &b->g;
  const int *mate = g->mate[f];
  int n = 0;
  auto add = [&](int u, int v) {
    b->arcs[2 * n] = u;
    b->arcs[2 * n + 1] = v;
    n++;
  };
  for (int k = 0; k < g->nvaltargets; k++) {
    int j = g->valtarget[k];
    const int *vars = fd_vg_vars(g, j);
    for (int i = 0; i < g->out_degree[j]; i++)
      if (mate[vars[i]] != j && reduced_cost(b, j, vars[i], f) < 0) add(j, vars[i]);
    int64_t rc = reduced_cost(b, 0, j, f);
    if (mate[j] < count_max(g, j) && rc < 0) add(0, j);
    if (mate[j] > count_min(g, j) && rc > 0) add(j, 0);
  }
  return n;
}

/* Makes flow f of least cost from the potentials left by earlier calls. A push on one arc can
 * give capacity back to the reverse of an arc repaired before it, so the collection runs again
 * until it finds nothing; each push lowers the cost and no potential move makes a tight arc
 * negative, so this ends. */
void costgcc_in_kilter(gcc_graph *b, int f)
{
  fd_vgraph *g = &b->g;
  int64_t *dual = b->dual[f];
  for (int k = 0; k < g->nvartargets; k++) {
    int x = g->vartarget[k], j = g->mate[f][x];
    dual[x] = dual[j] - sign(f) * (int64_t)gcc_matrix(b, x, j);
  }
  for (int n; (n = collect_out_of_kilter(b, f)) > 0;)
    for (int a = 0; a < n; a++) repair_arc(b, b->arcs[2 * a], b->arcs[2 * a + 1], f);
}

/* ---- regrets ---- */

/* The regrets of the variables assigned to j in flow f from the distances of a search from j
 * (a distance not settled below the limit leaves a regret above the threshold). */
void regrets_of_value(gcc_graph *b, int j, int f, int64_t *most, int64_t *least)
{
  fd_vgraph *g = &b->g;
  const int64_t *dual = b->dual[f];
  const int *vars = fd_vg_vars(g, j);
  for (int i = 0; i < g->out_degree[j]; i++) {
    int x = vars[i];
    if (g->mate[f][x] != j) continue;
    *gcc_regret(b, f, x, j) = 0;
    if (g->in_degree[x] < 2) continue;
    const int *values = fd_vg_values(g, x);
    for (int r = 0; r < g->in_degree[x]; r++) {
      int k = values[r];
      if (k == j) continue;
      int64_t regret = GCC_REGRET_INF;
      if (b->distrow[k] < DIST_INF)
        regret = std::min<int64_t>(GCC_REGRET_INF - 1, b->distrow[k] + costgcc_arc_cost(b, k, x, f) +
                                                           costgcc_arc_cost(b, x, j, f) + dual[j] - dual[k]);
      *gcc_regret(b, f, x, k) = (int32_t)regret;
      *most = std::max(*most, regret);
      if (regret < GCC_REGRET_INF) *least = std::min(*least, regret);
    }
  }
}

/* Per value target j with flow: the other values of j's variables are the targets of one search
 * from j (marked in dad by a variable that has them), stopped at threshold + 1. */
void costgcc_mark(gcc_graph *b, int f)
{
  fd_vgraph *g = &b->g;
  next_generation(b);
  int64_t most = 0, least = GCC_REGRET_INF;
  for (int t = 0; t < g->nvaltargets; t++) {
    int j = g->valtarget[t];
    if (g->mate[f][j] == 0) continue;
    for (int k = 0; k < g->nvaltargets; k++) g->dad[g->valtarget[k]] = -1;
    int top = 0;
    const int *vars = fd_vg_vars(g, j);
    for (int i = 0; i < g->out_degree[j]; i++) {
      int x = vars[i];
      if (g->mate[f][x] != j) continue;
      const int *values = fd_vg_values(g, x);
      for (int r = 0; r < g->in_degree[x]; r++)
        if (values[r] != j && g->dad[values[r]] == -1) g->stack[top++] = values[r], g->dad[values[r]] = x;
    }
    if (top > 0) shortest_paths(b, j, f, b->threshold[f] + 1, top);
    regrets_of_value(b, j, f, &most, &least);
  }
  b->max_regret[f] = most;
  b->min_regret[f] = least;
}

/* Flow f feasible, optimal (repaired only when this call moved it or found it stale), its total
 * (base and the active assignments), its threshold and regrets: false when no flow exists or
 * its optimum lies outside Cost. */
bool costgcc_filter(gcc_graph *b, int64_t base, bool optimal, int f, bool *changed)
{
  fd_vgraph *g = &b->g;
  bool moved = false;
  maintain_capacities(g, f);
  if (!feasible_flow(g, f, &moved)) return false;
  if (maximum_flow(g, f, &moved) != g->nvars) return false;
  *changed |= moved;
  if (!optimal || moved) costgcc_in_kilter(b, f);
  int64_t total = base;
  for (int k = 0; k < g->nvartargets; k++) {
    int x = g->vartarget[k];
    total += sign(f) * (int64_t)gcc_matrix(b, x, g->mate[f][x]);
  }
  b->optcost[f] = total;
  TAGGED end = f == 0 ? g->dv[0].max : g->dv[0].min;
  b->threshold[f] = IsSmall(end) ? (f == 0 ? GetSmall(end) - total : -total - GetSmall(end))
                                 : OPEN_THRESHOLD;
  if (b->threshold[f] < 0) return false;
  costgcc_mark(b, f);
  return true;
}

/* ---- pruning ---- */

/* Removes the arcs whose regret passes a threshold or whose range of totals misses Cost. false
 * when a variable loses every value. */
bool costgcc_prune(ORVALIS_API_STRUCT *api, worker *w, gcc_graph *b, bool *changed)
{
  fd_vgraph *g = &b->g;
  dvar *cost = &g->dv[0];
  bool holes = !(cost->flags & DV_INTERVAL);
  if (b->max_regret[0] <= b->threshold[0] && b->max_regret[1] <= b->threshold[1] && !holes)
    return true;
  int *codes = g->codes, n = 0;
  for (int a = 1; a < g->nactive - 1; a++) { /* node order: the codes stay ascending */
    int x = g->activeset[a], removed = 0;
    if (!fd_vg_is_var(g, x) || g->in_degree[x] < 2) continue;
    const int *values = fd_vg_values(g, x);
    for (int i = 0; i < g->in_degree[x]; i++) {
      int j = values[i];
      int64_t r0 = *gcc_regret(b, 0, x, j), r1 = *gcc_regret(b, 1, x, j);
      bool out = r0 > b->threshold[0] || r1 > b->threshold[1];
      if (!out && holes && r0 + r1 > 0) {
        int64_t lo = b->optcost[0] + r0, hi = -b->optcost[1] - r1;
        out = lo > hi || dvar_compare_interval_t(api, cost, fds_bound(clamp_small(lo)),
                                                 fds_bound(clamp_small(hi)), w) == 4;
      }
      if (!out) continue;
      for (int f = 0; f < 2; f++) fd_vg_reset_flow(g, j, x, f);
      codes[n++] = fd_vg_code(g, x, j);
      removed++;
    }
    if (removed == g->in_degree[x]) return false;
  }
  if (n > 0) {
    fd_vg_apply(g, codes, n);
    *changed = true;
  }
  return true;
}

/* Cost from the least total (the next one when Cost lacks it) to the greatest (likewise). */
bool costgcc_cost_bounds(gcc_graph *b, bool *changed)
{
  dvar *cost = &b->g.dv[0];
  int64_t lower = b->optcost[0], upper = -b->optcost[1];
  if (!dvar_contains_value_t(cost, fds_bound(clamp_small(lower)))) {
    if (b->min_regret[0] >= GCC_REGRET_INF) return false;
    lower += b->min_regret[0];
  }
  if (!dvar_contains_value_t(cost, fds_bound(clamp_small(upper)))) {
    if (b->min_regret[1] >= GCC_REGRET_INF) return false;
    upper -= b->min_regret[1];
  }
  int r = dvar_fix_interval_t(cost, fds_bound(clamp_small(lower)), fds_bound(clamp_small(upper)));
  if (r < 0) return false;
  if (r > 0) *changed = true;
  return true;
}

bool costgcc_iterate(ORVALIS_API_STRUCT *api, worker *w, gcc_graph *b, int64_t fixed, bool optimal)
{
  fd_vgraph *g = &b->g;
  for (int k = 0; k < g->nvaltargets; k++)
    if (count_max(g, g->valtarget[k]) < count_min(g, g->valtarget[k])) return false;
  bool changed;
  do {
    changed = false;
    if (!costgcc_filter(b, fixed, optimal, 0, &changed)) return false;
    if (!costgcc_filter(b, -fixed, optimal, 1, &changed)) return false;
    optimal = true; /* from here on only a moved flow needs repair */
    if (!costgcc_narrow(api, w, b, &changed)) return false;
  } while (changed);
  return true;
}

}  // namespace

bool costgcc_narrow(ORVALIS_API_STRUCT *api, worker *w, gcc_graph *b, bool *changed)
{
  return costgcc_prune(api, w, b, changed) && costgcc_cost_bounds(b, changed) &&
         adjust_count_bounds(&b->g, 2, changed) &&
         (!b->aliased || sync_aliases(api, w, b, 2, changed));
}

size_t costgcc_bytes(int nvars, int nvals)
{
  size_t nodes = (size_t)nvars + nvals + 2, cells = (size_t)nvars * nvals;
  return sizeof(int64_t) + 2 * nodes * sizeof(int64_t) + 3 * cells * sizeof(int32_t) +
         nodes * sizeof(uint32_t);
}

void costgcc_carve(gcc_graph *b, void *mem)
{
  size_t nodes = b->g.nnodes, cells = (size_t)b->g.nvars * b->g.nvals;
  auto *p = (int64_t *)QX_ALIGN_UP((uintptr_t)mem, sizeof(int64_t));
  b->dual[0] = p;
  b->dual[1] = p + nodes;
  b->cost = (int32_t *)(p + 2 * nodes);
  b->regret[0] = b->cost + cells;
  b->regret[1] = b->regret[0] + cells;
  b->row_generation = (uint32_t *)(b->regret[1] + cells);
}

void costgcc_posted(gcc_graph *b)
{
  const fd_vgraph *g = &b->g;
  int64_t least = 0x7fffffff, most = -0x7fffffff; /* an empty matrix */
  for (size_t k = 0; k < (size_t)g->nvars * g->nvals; k++) {
    least = std::min<int64_t>(least, b->cost[k]);
    most = std::max<int64_t>(most, b->cost[k]);
  }
  b->costmin[0] = least;
  b->costmin[1] = -most;
  /* every value-to-variable arc starts with a reduced cost of 0 or more */
  for (int f = 0; f < 2; f++)
    for (int x = 0; x < g->nnodes; x++) b->dual[f][x] = x > g->nvals ? -b->costmin[f] : 0;
  b->generation = 0;
  std::memset(b->row_generation, 0, g->nnodes * sizeof(uint32_t));
}

bool costgcc_loop(ORVALIS_API_STRUCT *api, worker *w, gcc_graph *b, int64_t fixed, bool incremental)
{
  fd_vgraph *g = &b->g;
  size_t nodes = g->nnodes, arcs = 2 * ((size_t)g->nvars * g->nvals + 2 * g->nvals + 1);
  /* the call's temporary storage: released at the next call whatever the outcome, a memory
   * fault included; only the rows a search touches are ever written */
  b->dist = (int64_t *)fd_temp_alloc(api, w, nodes * nodes * sizeof(int64_t));
  b->heap = (int *)fd_temp_alloc(api, w, (2 * nodes + arcs) * sizeof(int));
  b->vheap = b->heap + nodes;
  b->arcs = b->vheap + nodes;
  std::fill(b->vheap, b->vheap + nodes, -1); /* nodes off the active set stay out of searches */
  bool ok = costgcc_iterate(api, w, b, fixed, incremental);
  b->dist = b->distrow = nullptr;
  b->heap = b->vheap = b->arcs = nullptr;
  return ok;
}
