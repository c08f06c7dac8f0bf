/* The value graph shared by all_distinct and assignment (alldistinct.cpp): a bipartite graph
 * between variable vertices and value vertices kept in one persistent block, a matching that
 * survives between calls, and the strongly connected components of the graph oriented by that
 * matching, which tell the values that belong to no maximum matching.
 */
#ifndef QX_FD_VALUE_GRAPH_H
#define QX_FD_VALUE_GRAPH_H

#include "fd_globals.h"

/* ---- the block, the matching, the components and the restriction ---- */

/* Flags of the block and of the state's Flags word. */
constexpr int FD_VG_CIRCUIT = 1; /* successor variables: head and tail arrays */
constexpr int FD_VG_COSTS = 2;   /* cost matrix and reduced-cost data */

/* visited of a vertex whose component is final, and of a vertex removed as fixed. */
constexpr int FD_VG_DONE = 0xffffff;
constexpr int FD_VG_DEAD = -1;

/* The reduced-cost data of the cost filter: index 0 the cheapest assignment (minimisation), 1
 * the dearest (maximisation, solved on negated costs). Rows are the live Xs in vartarget order,
 * columns the live Ys in valtarget order. */
struct all_dist_rc {
  long *rcost[2];                  /* nt x nt regrets, row-major */
  int64_t *lbdual, *ubdual;        /* duals of problem 0, 1 by vertex (X_i at i, Y_j at n+j) */
  int *index_var, *var_index;      /* row k -> X vertex, nt+k -> Y vertex; vertex -> row, nt+col */
  int *lbprimal, *ubprimal;        /* the Y vertex X_i takes in problem 0, in problem 1; -1 none */
  int costvar;                     /* the record of the cost variable */
  long costbase;                   /* the cost of the contracted pairs */
  int ntargets;
  long optcost[2], min_regret[2], max_regret[2], threshold[2];
};

/* An infinite cost or regret, and the threshold of an infinite bound. */
constexpr long FD_VG_INFINITE = 0x3fffffff, FD_VG_UNBOUNDED = 0x3ffffffe;

/* Vertices are ints: variables 0..nvars-1, values nvars..nvars+nvals-1. */
struct all_dist_data {
  void (*destructor)(void *block);
  int (*daemon)(ORVALIS_API_STRUCT *api, worker *w, void *block, TAGGED *attr_ref, TAGGED global);
  ORVALIS_API_STRUCT *qxenv;
  QX_globref refbase; /* attribute, then variable, per variable record */
  long stamp;
  int density;       /* 2: values are 1..nvals; 1: fixed vertices, binary search; 0: renumbered */
  int reset_density; /* the density a rebuilding call starts from */
  int pruned;
  int incremental;
  int flags;
  int enqueue_code;
  int nrefs;
  int nvars, nvartargets, nvarkernels;
  long nvals, nvaltargets, nvalkernels;
  int scc_component, scc_visited, scc_index;
  struct dvar *dvar;
  int *vartarget;  /* [2 x nvars]: live first (kernel first among them), then dead; scratch */
  int *valtarget;  /* [2 x nvals]: likewise; the kernel part ascending by label */
  int *dist_stack; /* [3 x nvars + nvals] */
  int *head, *tail; /* [nvars], circuit mode */
  struct {
    TAGGED *label; /* i+1 for variable i, the value for a value vertex */
    int *mate;     /* matched partner or -1 */
    int *component; /* 0 none, 1 reachable from a free value, 2.. a component */
    int *size;
    int *visited; /* search mark; FD_VG_DEAD once removed as fixed */
  } vertex;
  struct {
    int size;
    int *item, *vertex;
    TAGGED *fdset;
    long *key;
  } heap;
  long *cost; /* nvars x nvars, or null */
  all_dist_rc rc;
};

/* The block of an entry's first call: nvars variables (nvarrecords with a view), nvals value
 * vertices, the arrays the flags ask for. */
all_dist_data *all_dist_alloc(fd_entry *e, int nvars, long nvals, int nvarrecords, int flags);
void all_distinct_destructor(void *block);
/* The vertex of value in u's neighbourhood, or -1 when value has no live kernel vertex; position
 * is the caller's cursor over the kernel values (-1 before the first value of a domain). */
int neighbor_of(all_dist_data *b, TAGGED value, long *position, int u);
/* Completes the matching over the first k entries of vartarget: 1, or 0 when impossible. */
int augment(all_dist_data *b, int k);
void all_dist_partition_vars(all_dist_data *b);
void contract_vars(all_dist_data *b);
void contract_vals(all_dist_data *b);
void qsort_asc_label(ORVALIS_API_STRUCT *api, int *vertices, int n);
/* Numbers the components of the kernel from first + 1 on: how many there are. */
int find_sccs(ORVALIS_API_STRUCT *api, all_dist_data *b, worker *w, int first);
/* Restricts every matched variable of values[0..count-1] to its component: -1 when a domain
 * emptied, else 0; sets pruned on a change. */
int compress_edges(ORVALIS_API_STRUCT *api, all_dist_data *b, worker *w, int *values, long count,
                   int buckets);

/* The cost filter of assignment with costs: both assignment problems, the cost variable's
 * bounds and the pairs whose regret leaves its domain, to a fixpoint; in circuit mode the bounds
 * move to the least regret level whose pairs still connect every node. 1, or 0 on failure. The
 * duals and assignments of both problems stay in the block and seed the next call. */
int cost_filter(ORVALIS_API_STRUCT *api, all_dist_data *b, worker *w, long costbase, int flags);

/* Test hooks: 0 makes the cost filter solve both problems afresh on every call; the count of
 * solves that resumed from kept duals with at least one kept pair. */
extern int fd_cost_filter_keep_duals;
extern long fd_cost_filter_resumed;

/* Test hook: 0 sends every component search to the full search (no shortcuts). */
extern int fd_value_graph_shortcuts;

#endif
