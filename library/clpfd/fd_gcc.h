/* The variable/value graph shared by global_cardinality, local_cardinality and nvalue.
 *
 * Nodes: 0 the source, 1..nvals the values (ascending), nvals+1..nvals+nvars the variables (in
 * list order), nnodes-1 the sink. Each node owns a fixed slice of `edge` sized for the complete
 * graph: its out-neighbours then its in-neighbours, each part ascending. A value lists the
 * variables whose domain holds it, then the source; a variable lists the sink, then its values.
 * The graph follows the domains through edge deltas: codes (variable position) x nvals + (value
 * position), kept ascending so that a run of codes belongs to one variable.
 *
 * Active prefixes: the first nvaltargets entries of `valtarget` and nvartargets of `vartarget` are
 * the nodes still in play; settled ones are swapped behind and carry component -1 and visited
 * SETTLED, so that searches over active nodes treat them as finished.
 */
#ifndef QX_FD_GCC_H
#define QX_FD_GCC_H

#include "fd_globals.h"

constexpr int FD_VG_SETTLED = 0xffffff;

struct fd_vgraph {
  int nvars, nvals, nnodes;
  int nvartargets, nvaltargets, nactive;
  dvar *dv;                /* per node: counts at value nodes, variables at variable nodes */
  int *valtarget, *vartarget;
  int *activeset;          /* rebuilt every call: source, active values, active variables, sink */
  int *edge;
  int32_t *val;            /* the value (key) of a value node */
  int *component, *visited, *mate[2], *out_degree, *in_degree, *neighs;
  /* per call, from the temporary area: nnodes words each, and room for the codes of every arc
   * twice (the edge deltas of one step) */
  int *stack, *dad, *iter, *low, *calls, *codes;
};

/* The head of a graph constraint's persistent block; the constraint's own fields follow. */
struct fd_vg_block {
  void (*destructor)(void *block);
  ORVALIS_API_STRUCT *qxenv;
  QX_globref refbase; /* 2 x nnodes: the pair of node x is 2x (attribute), 2x+1 (variable) */
  int32_t stamp;
  fd_vgraph g;
};

/* A keyed state (global_cardinality, local_cardinality): its arity and the positions of the
 * active counts, the variable list and the key entries (Key-Entry, Entry a variable entry of the
 * key's count); the last two arguments are the Handle and the Stamp. */
struct fd_vg_args {
  int arity, nvars, nvals, vars, keys;
};

/* What a graph constraint gives the shared entry: the positions of its active counts (and its
 * arity), the checks of a first call (null: none; 0 after raising an error), the making of its
 * block (null after raising an error) and one call on the block (1 entailed, 0 suspended, -1
 * failed). */
struct fd_vg_kind {
  fd_vg_args args;
  int (*check)(ORVALIS_API_STRUCT *api, worker *w, TAGGED state);
  fd_vg_block *(*create)(fd_entry *e);
  int (*run)(ORVALIS_API_STRUCT *api, worker *w, fd_vg_block *b, int32_t stamp);
};
/* The entry protocol: the state's shape, the first call's checks and block, the block's active
 * counts, the run; at entailment the block dies and the Handle becomes 0. */
void fd_vg_entry(ORVALIS_API_STRUCT *api, QX_term_ref state0, QX_term_ref state,
                 QX_term_ref actions, const fd_vg_kind *kind);
/* The checks and the block of a keyed state; head: the bytes of the constraint's block head,
 * extra: bytes the constraint wants after the graph (fd_vg_extra). */
int fd_vg_check_keyed(ORVALIS_API_STRUCT *api, worker *w, TAGGED s, const fd_vg_args *a);
fd_vg_block *fd_vg_create_keyed(fd_entry *e, const fd_vg_args *a, size_t head, size_t extra = 0);
/* A zeroed block of head bytes and the graph's arrays for nvars and nvals (plus extra bytes),
 * with its references, its stamp before the entry's (the first run rebuilds) and its views. */
fd_vg_block *fd_vg_alloc(fd_entry *e, size_t head, int nvars, int nvals, size_t extra);
void *fd_vg_extra(fd_vg_block *b);
/* Removes every arc of an active variable whose ends have different components, except the arc
 * of keep[x] when keep is given: the number removed. */
int fd_vg_compress(ORVALIS_API_STRUCT *api, worker *w, fd_vgraph *g, const int *keep);
/* The error of a bad state argument t (named by the term when atomic, else its functor): 0. */
int fd_vg_bad_state(ORVALIS_API_STRUCT *api, const char *what, TAGGED t);

/* Tarjan's strongly connected components from root, without recursion (calls, iter and low of
 * the graph's scratch; the component stack in stack, *top its height). next(x, i) is the i-th
 * candidate successor of x: a node, -1 to pass over it, -2 after the last. A node with visited 0
 * is new; finished nodes get visited FD_VG_SETTLED, which no low value reaches, and are handed
 * to done(x, component). */
template <typename Next, typename Done>
void fd_vg_tarjan(fd_vgraph *g, int root, int *visits, int *top, int *ncomp, Next next, Done done)
{
  int ncalls = 0;
  auto open = [&](int x) {
    g->visited[x] = g->low[x] = ++*visits;
    g->iter[x] = 0;
    g->stack[(*top)++] = x;
    g->calls[ncalls++] = x;
  };
  open(root);
  while (ncalls > 0) {
    int x = g->calls[ncalls - 1];
    int y = next(x, g->iter[x]);
    if (y != -2) {
      g->iter[x]++;
      if (y < 0) continue;
      if (g->visited[y] == 0)
        open(y);
      else if (g->visited[y] < g->low[x])
        g->low[x] = g->visited[y];
      continue;
    }
    ncalls--;
    if (g->low[x] == g->visited[x]) {
      ++*ncomp;
      int z;
      do {
        z = g->stack[--*top];
        g->visited[z] = FD_VG_SETTLED;
        done(z, *ncomp);
      } while (z != x);
    }
    if (ncalls > 0) {
      int p = g->calls[ncalls - 1];
      if (g->low[x] < g->low[p]) g->low[p] = g->low[x];
    }
  }
}
void fd_vg_destroy(void *block);
/* Start of a call: the active counts re-read from the state unless incremental, the views of
 * the active nodes loaded, the lists synchronised; the block's stamp moves on. Answers whether
 * the call is incremental and found every list as its domain (no arc went). */
bool fd_vg_start(ORVALIS_API_STRUCT *api, worker *w, fd_vg_block *b, int32_t stamp,
                 const fd_vg_args *a, int nflows);
/* The exports of the changed views of targets, and the active counts into the output state. */
void fd_vg_export(ORVALIS_API_STRUCT *api, worker *w, fd_vgraph *g, const int *targets, int n);
void fd_vg_store_targets(worker *w, const fd_vg_args *a, const fd_vgraph *g);

/* Words of the graph's arrays in the block (the dvars apart). */
size_t fd_vg_words(int nvars, int nvals);
/* Points the arrays into mem and builds the empty graph: every value and variable active, value
 * and variable lists empty, both flows empty. val[] is the caller's to fill. */
void fd_vg_carve(fd_vgraph *g, int nvars, int nvals, int *mem);
/* The per-call scratch arrays (temporary area) and the active set. */
void fd_vg_begin(ORVALIS_API_STRUCT *api, worker *w, fd_vgraph *g);

static inline int *fd_vg_list(const fd_vgraph *g, int x) { return g->edge + g->neighs[x]; }
static inline int fd_vg_degree(const fd_vgraph *g, int x) { return g->out_degree[x] + g->in_degree[x]; }
/* A variable's values (its in-list after the sink) and a value's variables (its out-list). */
static inline int *fd_vg_values(const fd_vgraph *g, int x) { return fd_vg_list(g, x) + 1; }
static inline int *fd_vg_vars(const fd_vgraph *g, int j) { return fd_vg_list(g, j); }
static inline bool fd_vg_is_value(const fd_vgraph *g, int x) { return x >= 1 && x <= g->nvals; }
static inline bool fd_vg_is_var(const fd_vgraph *g, int x) { return x > g->nvals && x < g->nnodes - 1; }
static inline int fd_vg_code(const fd_vgraph *g, int var, int value)
{
  return (var - g->nvals - 1) * g->nvals + (value - 1);
}

/* Whether value node j is in variable x's list. */
bool fd_vg_has_value(const fd_vgraph *g, int x, int j);

/* Synchronises the variable lists with the domains (dvars already loaded); answers the number of
 * arcs inserted or removed: incremental, only
 * variables whose value count fell below their in-degree and only removals are looked at; else
 * every active variable by symmetric difference. A removed arc first drops its flow in the first
 * nflows flows. Domain values that are no keys make no arcs (the exit prunes them). */
int fd_vg_refresh(ORVALIS_API_STRUCT *api, worker *w, fd_vgraph *g, bool incremental, int nflows);
/* Applies n ascending edge codes to the variable lists, then to the value lists (codes[] needs
 * room for 2n words: the second half takes the codes regrouped by value). */
void fd_vg_apply(fd_vgraph *g, int *codes, int n);
/* Removes arc (value, var) from flow f when var is assigned to value. */
bool fd_vg_reset_flow(fd_vgraph *g, int value, int var, int f);
/* Writes the in-lists back: every active variable whose domain is not its keys gets them. 1 when
 * every active variable has at most one value, 0 when some has more, -1 on a wipe-out. */
int fd_vg_new_domains(ORVALIS_API_STRUCT *api, worker *w, fd_vgraph *g);
/* Marks node x settled and swaps entry i of targets behind the prefix of length *n. */
void fd_vg_settle(fd_vgraph *g, int *targets, int i, int *n);
/* Settles the active variables with at most one value whose value is settled. */
void fd_vg_contract_vars(fd_vgraph *g);

/* ---- global_cardinality (gcc.cpp; the cost variant in costgcc.cpp) ----
 * Flow f is the array mate[f]: at the source the number of assigned variables, at a value its
 * number of variables, at a variable its value node or -1. With costs, flow 0 carries the least
 * total and flow 1 the greatest (its arc costs negated). */

/* An infinite regret (no solution has the arc). */
constexpr int32_t GCC_REGRET_INF = 0x7fffffff;

struct gcc_graph : fd_vg_block {
  int scc_component, scc_visited, scc_index;
  bool costs;
  int32_t *cost;      /* nvars x nvals, by variable then key position */
  int64_t costmin[2]; /* the least entry, the negated greatest */
  /* node potentials per flow, kept from call to call: every residual arc of an optimal flow has
   * a reduced cost cost(u, v) + dual[v] - dual[u] of 0 or more */
  int64_t *dual[2];
  int32_t *regret[2]; /* per flow, indexed like cost: the extra cost of the best flow using the arc */
  int64_t optcost[2]; /* FixedCost included; flow 1 negated */
  int64_t threshold[2], min_regret[2], max_regret[2];
  /* per call: dist rows (nnodes x nnodes), row x current while row_generation[x] equals
   * generation; distrow the row of the search under way, whose entries are its distances; the
   * array heap of nodes keyed by distrow, vheap each node's position (-1 once settled) */
  int64_t *dist, *distrow;
  int *heap, *vheap, heapsize, heapmax;
  uint32_t *row_generation, generation;
  int *arcs; /* out-of-kilter arcs, (u, v) pairs */
  /* the bounds of each count (and at node 0 Cost's, with its value count in last_size) that the
   * last call left: a call finding them and every list unchanged would prune nothing */
  TAGGED *last_min, *last_max;
  int last_size;
  /* per variable node the value node whose count is the same variable, or -1; aliased: some is */
  int *alias;
  bool aliased;
};

static inline int32_t gcc_matrix(const gcc_graph *b, int x, int j)
{
  return b->cost[(x - b->g.nvals - 1) * b->g.nvals + (j - 1)];
}
static inline int32_t *gcc_regret(gcc_graph *b, int f, int x, int j)
{
  return &b->regret[f][(x - b->g.nvals - 1) * b->g.nvals + (j - 1)];
}

/* The cost of residual arc (u, v) in flow f: s x M on value to variable (s = 1 in flow 0, -1 in
 * flow 1), its negation back, 0 at the source. */
int64_t costgcc_arc_cost(const gcc_graph *b, int u, int v, int f);
/* A 64-bit value held within the small integers (beyond them: just outside, read as inf/sup). */
int64_t clamp_small(int64_t v);
/* The bounds of value j's count, within 0..nvars. */
int count_min(const fd_vgraph *g, int j);
int count_max(const fd_vgraph *g, int j);
/* Residual capacity of arc (u, v) in flow f; pushes one unit along it. */
int res(const fd_vgraph *g, int u, int v, int f);
void incflow(fd_vgraph *g, int u, int v, int f);
/* The nodes residual arcs out of x may reach, to be tested with res(). */
int residual_list(const fd_vgraph *g, int x, int f, const int **list);
/* Flows above a count's maximum give back variables; flows below a minimum are raised (false
 * when one cannot be); Dinic's method completes the flow (its value). changed: a unit moved. */
void maintain_capacities(fd_vgraph *g, int f);
bool feasible_flow(fd_vgraph *g, int f, bool *changed);
int maximum_flow(fd_vgraph *g, int f, bool *changed);
/* Counts between the variables that must and can take their key, then the sum passes: false on
 * a wipe-out; changed when some flow of nflows left its count's new bounds. */
bool adjust_count_bounds(fd_vgraph *g, int nflows, bool *changed);
/* Counts that are variables of the constraint too, kept in step with them: false on a wipe-out. */
bool sync_aliases(ORVALIS_API_STRUCT *api, worker *w, gcc_graph *b, int nflows, bool *changed);

/* Bytes of the cost arrays of a block for nvars and nvals; carving them from mem (8-aligned),
 * the matrix still to fill. */
size_t costgcc_bytes(int nvars, int nvals);
void costgcc_carve(gcc_graph *b, void *mem);
/* After the matrix is read: costmin and the potentials of a new block. */
void costgcc_posted(gcc_graph *b);
/* The loop of the cost variant (both flows optimal, regrets, pruning, Cost and count bounds, to
 * a fixpoint); incremental: the flows are those the previous call on this branch left. false
 * on failure. */
bool costgcc_loop(ORVALIS_API_STRUCT *api, worker *w, gcc_graph *b, int64_t fixed, bool incremental);
/* What the regrets and optima of both flows narrow: the arcs whose regret passes a threshold or
 * whose range of totals misses Cost, Cost's bounds (the next total when Cost lacks an optimum),
 * the counts' bounds. false on a wipe-out; changed: something went. */
bool costgcc_narrow(ORVALIS_API_STRUCT *api, worker *w, gcc_graph *b, bool *changed);
/* Test hook: when set, runs instead of costgcc_loop (an independent implementation). */
extern bool (*fd_costgcc_loop_hook)(ORVALIS_API_STRUCT *api, worker *w, gcc_graph *b, int64_t fixed);

#endif
