/* The cost variant of global_cardinality as it was first built, kept as the tests' independent
 * oracle: each flow made optimal from scratch by cancelling negative cycles (Bellman-Ford over
 * the active nodes), the regret of an arc (x, k) off the flow the cost of the cheapest cycle
 * through it: M[x][k] - M[x][j] plus the shortest path from j, x's value, back to k. Slow (one
 * Bellman-Ford per cycle and per value) but plain. It shares with the library the flow repair
 * (feasible and maximum flow) and what the regrets narrow (costgcc_narrow).
 */
#include "fd_gcc_cost_oracle.h"

#include <algorithm>

#include "fd_propagate.h"

namespace fd_gcc_cost_oracle {

namespace {

constexpr int64_t DIST_INF = INT64_MAX / 4;

int sign(int f) { return f == 0 ? 1 : -1; }

/* Scratch of the cost searches: distances, parents and the active mark per node. */
struct cost_scratch {
  int64_t *dist;
  int *parent;
  uint8_t *active;
};

/* Bellman-Ford over the residual graph of flow f among the active nodes (the source's arc to the
 * sink hidden, the sink left out: no cycle or path of interest passes it). With from < 0 every
 * node starts at 0 and a node of a negative cycle is answered (-1 when there is none); else the
 * distances from `from`. */
int bellman_ford(gcc_graph *b, cost_scratch *cs, int f, int from)
{
  fd_vgraph *g = &b->g;
  int n = g->nactive - 1, last = -1; /* the sink is the last active node */
  for (int a = 0; a < n; a++) {
    int x = g->activeset[a];
    cs->dist[x] = from < 0 || x == from ? 0 : DIST_INF;
    cs->parent[x] = -1;
  }
  g->in_degree[0] = 0;
  for (int round = 0; round < n; round++) {
    last = -1;
    for (int a = 0; a < n; a++) {
      int u = g->activeset[a];
      if (cs->dist[u] >= DIST_INF) continue;
      const int *list;
      for (int i = 0, d = residual_list(g, u, f, &list); i < d; i++) {
        int v = list[i];
        if (!cs->active[v] || res(g, u, v, f) <= 0) continue;
        int64_t nd = cs->dist[u] + costgcc_arc_cost(b, u, v, f);
        if (nd < cs->dist[v]) {
          cs->dist[v] = nd;
          cs->parent[v] = u;
          last = v;
        }
      }
    }
    if (last < 0) break;
  }
  g->in_degree[0] = 1;
  if (from >= 0 || last < 0) return -1;
  for (int k = 0; k < n; k++) last = cs->parent[last]; /* into the cycle */
  return last;
}

/* Makes flow f of least cost by pushing one unit around negative cycles until none is left. */
void cancel_cycles(gcc_graph *b, cost_scratch *cs, int f)
{
  fd_vgraph *g = &b->g;
  for (int c; (c = bellman_ford(b, cs, f, -1)) >= 0;) {
    /* unassignments before assignments: push the cycle's arcs backwards from a node that is
     * no variable, so that each variable's two arcs are pushed in that order */
    if (fd_vg_is_var(g, c)) c = cs->parent[c];
    int v = c;
    do {
      int u = cs->parent[v];
      incflow(g, u, v, f);
      v = u;
    } while (v != c);
  }
}

/* The regrets of flow f: per value target j with flow, the distances from j give the regret of
 * every other value of each variable assigned to j. */
void costgcc_mark(gcc_graph *b, cost_scratch *cs, int f, int32_t *regrets)
{
  fd_vgraph *g = &b->g;
  int64_t most = 0, least = GCC_REGRET_INF;
  for (int k = 0; k < g->nvaltargets; k++) {
    int j = g->valtarget[k];
    if (g->mate[f][j] == 0) continue;
    bellman_ford(b, cs, f, j);
    const int *vars = fd_vg_vars(g, j);
    for (int i = 0; i < g->out_degree[j]; i++) {
      int x = vars[i];
      if (g->mate[f][x] != j) continue;
      const int *values = fd_vg_values(g, x);
      for (int r = 0; r < g->in_degree[x]; r++) {
        int v = values[r];
        int64_t regret = 0;
        if (v != j)
          regret = cs->dist[v] >= DIST_INF
                       ? GCC_REGRET_INF
                       : std::min<int64_t>(GCC_REGRET_INF - 1, cs->dist[v] + costgcc_arc_cost(b, v, x, f) +
                                                               costgcc_arc_cost(b, x, j, f));
        regrets[(x - g->nvals - 1) * g->nvals + (v - 1)] = (int32_t)regret;
        if (v == j) continue;
        most = std::max(most, regret);
        least = std::min(least, regret);
      }
    }
  }
  b->max_regret[f] = most;
  b->min_regret[f] = least;
}

/* Flow f feasible and optimal, its total (base and the active assignments) and its threshold,
 * then its regrets: false when no solution's cost can lie in Cost. */
bool costgcc_filter(gcc_graph *b, cost_scratch *cs, int f, int64_t base, bool *changed)
{
  fd_vgraph *g = &b->g;
  maintain_capacities(g, f);
  if (!feasible_flow(g, f, changed)) return false;
  if (maximum_flow(g, f, changed) != g->nvars) return false;
  cancel_cycles(b, cs, f);
  int64_t total = base;
  for (int k = 0; k < g->nvartargets; k++) {
    int x = g->vartarget[k];
    total += sign(f) * (int64_t)gcc_matrix(b, x, g->mate[f][x]);
  }
  b->optcost[f] = total;
  const dvar *cost = &g->dv[0];
  TAGGED end = f == 0 ? cost->max : cost->min;
  b->threshold[f] = IsSmall(end) ? (f == 0 ? GetSmall(end) - total : -total - GetSmall(end))
                                 : GCC_REGRET_INF - 1;
  if (b->threshold[f] < 0) return false;
  costgcc_mark(b, cs, f, b->regret[f]);
  return true;
}

/* Scratch over the block's nodes, the active ones marked. */
struct scratch {
  std::vector<int64_t> dist;
  std::vector<int> parent;
  std::vector<uint8_t> active;
  cost_scratch cs;
  explicit scratch(const fd_vgraph *g) : dist(g->nnodes), parent(g->nnodes), active(g->nnodes, 0)
  {
    for (int a = 0; a < g->nactive - 1; a++) active[g->activeset[a]] = 1;
    cs = {dist.data(), parent.data(), active.data()};
  }
};

}  // namespace

bool loop(ORVALIS_API_STRUCT *api, worker *w, gcc_graph *b, int64_t fixed)
{
  fd_vgraph *g = &b->g;
  scratch s(g);
  for (int k = 0; k < g->nvaltargets; k++)
    if (count_max(g, g->valtarget[k]) < count_min(g, g->valtarget[k])) return false;
  bool changed;
  do {
    changed = false;
    if (!costgcc_filter(b, &s.cs, 0, fixed, &changed)) return false;
    if (!costgcc_filter(b, &s.cs, 1, -fixed, &changed)) return false;
    if (!costgcc_narrow(api, w, b, &changed)) return false;
  } while (changed);
  return true;
}

figures compute(gcc_graph *b)
{
  fd_vgraph *g = &b->g;
  scratch s(g);
  figures out;
  size_t cells = (size_t)g->nvars * g->nvals;
  for (int f = 0; f < 2; f++) {
    std::vector<int> mate(g->mate[f], g->mate[f] + g->nnodes);
    cancel_cycles(b, &s.cs, f);
    out.moved[f] = !std::equal(mate.begin(), mate.end(), g->mate[f]);
    out.regret[f].assign(cells, GCC_REGRET_INF);
    costgcc_mark(b, &s.cs, f, out.regret[f].data());
    out.total[f] = 0;
    for (int x = g->nvals + 1; x < g->nnodes - 1; x++)
      out.total[f] += sign(f) * (int64_t)gcc_matrix(b, x, g->mate[f][x]);
    std::copy(mate.begin(), mate.end(), g->mate[f]);
  }
  return out;
}

}  // namespace fd_gcc_cost_oracle
