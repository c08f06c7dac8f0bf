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

#include "fd_kernel.h"

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
  /* per call, from the temporary area: nnodes words each */
  int *stack, *dad, *iter, *low, *calls;
};

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

/* Synchronises the variable lists with the domains (dvars already loaded): incremental, only
 * variables whose value count fell below their in-degree and only removals are looked at; else
 * every active variable by symmetric difference. A removed arc first drops its flow in the first
 * nflows flows. Domain values that are no keys make no arcs (the exit prunes them). */
void fd_vg_refresh(ORVALIS_API_STRUCT *api, worker *w, fd_vgraph *g, bool incremental, int nflows);
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

#endif
