/* Scheduling: the task record shared by the scheduling and placement constraints, its six
 * operations, precedence pairs, the per-call working state of the filters, and the unary
 * (capacity one) filter with its task-level pruning helpers.
 *
 * The filters never touch domain variables: each task carries operations through which they read
 * and narrow its start domain. Times are untagged 32-bit integers; SCHED_SUP and -SCHED_SUP stand
 * for sup and inf. Filter results are bit sets: 0 nothing pruned, 1 pruned, 2 failure (any value
 * above 1 is failure).
 */
#ifndef QX_FD_SCHED_H
#define QX_FD_SCHED_H

#include "fd_kernel.h"

constexpr int32_t SCHED_SUP = 1073741823;
constexpr int32_t SCHED_INF = -SCHED_SUP;

/* enable: 2 certainly present; 1 optional; 0 absent. */
constexpr int32_t TASK_ABSENT = 0, TASK_OPTIONAL = 1, TASK_PRESENT = 2;

struct task;
typedef int (*task_propagate_fn)(ORVALIS_API_STRUCT *env, task *t);
typedef void (*task_refresh_fn)(ORVALIS_API_STRUCT *env, task *t, worker *w);
typedef TAGGED (*task_set_fn)(ORVALIS_API_STRUCT *env, task *t, worker *w);
typedef int (*task_prune_interval_fn)(ORVALIS_API_STRUCT *env, task *t, int32_t min, int32_t max,
                                      worker *w);
typedef int (*task_prune_set_fn)(ORVALIS_API_STRUCT *env, task *t, TAGGED set, worker *w);
typedef int (*task_is_interval_fn)(ORVALIS_API_STRUCT *env, task *t);

struct task {
  int32_t est;    /* earliest start */
  int32_t lct;    /* start max + duration (the minimum) */
  int32_t lctmax; /* latest completion the end allows; lct <= lctmax */
  int32_t dur;    /* duration min */
  int32_t res;    /* height min */
  int32_t est_rank, lct_rank;
  int32_t enable;
  int32_t diffid; /* index in the caller's full task list */
  int32_t id;     /* the caller's own identifier */
  int32_t part;
  int32_t support;
  task_propagate_fn propagate; /* tell est/lct/lctmax to the variables */
  task_refresh_fn refresh;
  task_set_fn set; /* start domain as an FD set */
  task_prune_interval_fn prune_interval;
  task_prune_set_fn prune_set;
  task_is_interval_fn is_interval;
};

static inline int32_t task_ect(const task *t) { return t->est + t->dur; }
static inline int32_t task_lst(const task *t) { return t->lct - t->dur; }

/* Precedence pair: diffvar[k] holds start(sj) - start(si). */
struct diff_constraint {
  int32_t si, sj;
};

/* Sweep event: key 2 x date + 1 for a start, 2 x date for an end (ends first at a date); ties by
 * value, unsigned. Keys are 64-bit so that doubled infinities do not wrap. */
struct event {
  int64_t key;
  uint32_t value;
};

/* Compulsory-part profile point: height on [start, next start). */
struct comppart {
  int32_t start, height;
};

struct lhs {
  int32_t l, h, s;
};

struct bucket {
  int32_t stamp, nextlr, sofarl, sofarr;
};

/* A node of the theta-lambda tree. Sums and completions are 64-bit: sums of durations over
 * infinite windows must not wrap. */
struct theta_lambda_node {
  int64_t dur, est;        /* own task */
  int64_t ECT, DUR, EST;   /* theta part of the subtree */
  int32_t state;           /* 0 empty, 1 theta, 2 gray */
  int64_t lECT, lDUR;      /* lambda part */
  int32_t grayECT, grayDUR; /* ranks responsible, -1 none */
  int32_t gray;            /* own rank when gray, else -1 */
};

/* Task-interval index node: key, first child, next sibling (-1 none). Energies are 64-bit. */
struct ti_node {
  int64_t key;
  int32_t val, next;
};

/* A kept task interval [a, b) with the surface it may still waste (maxslack) and must waste
 * (minslack). */
struct task_interval {
  int32_t a, b;
  int64_t minslack, maxslack;
};

/* Per-call working state of the filters, carved from one scratch block. */
struct unary_data {
  int32_t nbtasks;
  int32_t nbtotal;
  int32_t flags;
  int64_t slack;
  int64_t resslack;
  int32_t limit;
  task *tasks;
  event *events;
  event **eventp;
  comppart *cp, *cp2;
  int32_t *dates; /* distinct dates of the last profile build, ending with FD_SUP_L */
  int64_t *minloss, *maxloss;
  int32_t *id_map;
  theta_lambda_node *tree;
  task **est_rank, **lct_rank, **aux_rank;
  int32_t *tt_map, *lb, *ub, *degree;
  int32_t *edge;
  int32_t *pred, *succ;
  int32_t nbobltasks, nbti_tasks, nbti;
  int32_t *est, *lct, *obltasks, *ti_tasks; /* flag 2 only */
  ti_node *ti_index;                        /* flag 2 only */
  task_interval *ti;                        /* flag 2 only */
  /* knapsack columns: candidates (task indexes, tallest first), suffix sums of their heights,
   * the cache of hashsize buckets valid for stamp */
  int32_t *cand, *sumres;
  int32_t ncand, nbrelevant, stamp;
  uint32_t hashsize;
  bucket *cache;
};

/* Scratch pairs of fd_discrete_filtering / unary_filtering: [0] unary_data, [1] clique and slack,
 * [2] the unary filter. */
constexpr int SCHED_SCRATCH = 3;

/* Lays out unary_data for n tasks in one block from held (released with fd_perm_free2); id_map
 * gets nbtotal entries. A diffid outside 0..nbtotal-1 is not mapped. */
unary_data *unary_alloc(ORVALIS_API_STRUCT *env, worker *w, task *tasks, int n, int nbtotal,
                        int flags, size_mem *held);

/* The unary filter. flags: 8 every duration fixed (enables the exact small-case rules), 2 enlarges
 * the scratch only. lst_out/ect_out: latest start and earliest completion of the whole set. */
int unary_filtering(ORVALIS_API_STRUCT *env, worker *w, task *tasks, int n, int nbtotal, int flags,
                    dvar *diffvar, const diff_constraint *dc, int nbdiffs, int32_t *lst_out,
                    int32_t *ect_out, size_mem *held);
int unary_filtering_general(ORVALIS_API_STRUCT *env, worker *w, task *tasks, int n, int nbtotal,
                            int flags, dvar *diffvar, const diff_constraint *dc, int nbdiffs,
                            int32_t *lst_out, int32_t *ect_out, size_mem *held);
void unary_lst_ect(task **ts, int n, int32_t *lst_out, int32_t *ect_out);
int32_t limited_lst(ORVALIS_API_STRUCT *env, worker *w, task *t, int32_t deadline);
int32_t limited_ect(ORVALIS_API_STRUCT *env, worker *w, task *t, int32_t release);
int unary_filtering_sub_3(ORVALIS_API_STRUCT *env, worker *w, task *t1, task *t2, task *t3);
int unary_filtering_sub_4(ORVALIS_API_STRUCT *env, worker *w, task *t1, task *t2, task *t3,
                          task *t4);

/* Task-level pruning helpers shared with the cumulative filters. */
int unary_prune_interval(ORVALIS_API_STRUCT *env, task *t, int32_t a, int32_t b, worker *w);
int unary_prune_value(ORVALIS_API_STRUCT *env, task *t, int32_t v, worker *w);
int unary_prune_set(ORVALIS_API_STRUCT *env, task *t, TAGGED set, worker *w);
int must_overlap_at_least(ORVALIS_API_STRUCT *env, task *t, int32_t lmin, int32_t inf,
                          int32_t sup);
int must_overlap_less_than(ORVALIS_API_STRUCT *env, task *t, int32_t lmax, int32_t inf,
                           int32_t sup, worker *w);
int64_t min_overlap(const task *t, int32_t lb, int32_t ub);

/* Energetic reasoning over task intervals on the obligatory tasks of u (flags 2; with 8 the
 * overall slack u->slack is used too): 0, 1 pruned, 2 failure. */
int fd_task_intervals(ORVALIS_API_STRUCT *env, worker *w, unary_data *u, int32_t limit_min,
                      int32_t limit_max);
/* The task-interval index over the non-fixed obligatory tasks (up: est/lct/lst/area order, else
 * lct/est/ect/area): its root, -1 when empty. ti_query visits, for the interval [a, b) and slack,
 * the tasks the passes consider; visit answers false to stop. */
int ti_build(ORVALIS_API_STRUCT *env, unary_data *u, bool up);
template <typename F>
void ti_query(const unary_data *u, int root, bool up, int32_t a, int32_t b, int64_t maxslack, F visit)
{
  /* per level: whether a key passes; the keys of a chain are sorted so that the first key that
   * fails ends the chain */
  auto pass = [&](int level, int64_t k) {
    switch (level) {
    case 0: return up ? k < a : k > b;
    case 1: return up ? k > a : k < b;
    case 2: return up ? k < b : k > a;
    default: return k > maxslack;
    }
  };
  const ti_node *nd = u->ti_index;
  for (int x0 = root; x0 >= 0 && pass(0, nd[x0].key); x0 = nd[x0].next)
    for (int x1 = nd[x0].val; x1 >= 0 && pass(1, nd[x1].key); x1 = nd[x1].next)
      for (int x2 = nd[x1].val; x2 >= 0 && pass(2, nd[x2].key); x2 = nd[x2].next)
        for (int x3 = nd[x2].val; x3 >= 0 && pass(3, nd[x3].key); x3 = nd[x3].next)
          for (int x4 = nd[x3].val; x4 >= 0; x4 = nd[x4].next)
            if (!visit((int)nd[x4].key)) return;
}

/* Knapsack columns at a border for given slack targets of the left column [border - 1, border),
 * the right one [border, border + 1) and both together: placements of the tasks relative to the
 * columns that no filling within the targets supports are removed. Each task's support word gets
 * the supported placements (bits 0-3: right only, left only, both, neither) and its class in the
 * second byte. 0, 1 pruned, 2 failure. */
int knapsack_column_main(ORVALIS_API_STRUCT *env, worker *w, unary_data *u, int32_t border,
                         int32_t limit, int32_t lslack, int32_t rslack, int32_t sslack);
/* Gives back a unary_data block and the knapsack cache it may hold. */
void unary_release(ORVALIS_API_STRUCT *env, unary_data *u, size_mem *held);
int prune_from_support(ORVALIS_API_STRUCT *env, task *t, int support, int32_t border, worker *w);
/* The knapsack cache's bucket count for n tasks: n x limit x sqrt(limit), computed without
 * overflow and capped (a memo only). Test hooks: the cap, the cache and the shrinking of the
 * relevant candidates switched off. */
uint32_t knapsack_cache_size(int n, int32_t limit);
struct knapsack_hooks {
  uint32_t cap = 1u << 16;
  bool cache = true, shrink = true;
};
extern knapsack_hooks fd_knapsack_hooks;

/* Parallel conflict on a compulsory-part profile cp (points up to the one starting at
 * FD_SUP_L): the tasks without compulsory part must fit into the free space above it, the tall
 * ones into the gaps as high as they are; fails when they cannot and keeps shorter tasks from
 * eating more of those gaps than the margin: first by surface, then by slices (how many of the
 * tasks can run side by side in each gap). Steps count within the tasks' window only. 0, 1
 * pruned, 2 failure. */
int parallel_conflict(ORVALIS_API_STRUCT *env, worker *w, unary_data *u, const comppart *cp,
                      int32_t limit);

/* Compulsory-part profile services. compulsory_parts builds u->cp from the compulsory parts of
 * the present tasks other than except that meet [start, end), clipped to it: first point
 * {FD_INF_L, 0}, last {FD_SUP_L, 0}, no two neighbours of equal height; u->dates gets the distinct
 * event dates. limitvar (may be null) is raised to every height written; false when it cannot be. */
bool compulsory_parts(ORVALIS_API_STRUCT *env, unary_data *u, int except, int32_t start,
                      int32_t end, dvar *limitvar);
/* Appends the point {start, height} to cp[0..n), merging equal starts and equal heights: the new
 * count. */
int comppart_emit(int32_t start, int32_t height, comppart *cp, int n);
/* The height of the step of cp holding date. */
int32_t cp_height(const comppart *cp, int32_t date);

/* Longest-hole tables (lh.cpp). fd_lh_init fills row `row` (slack sigma0 + row) of the open
 * table lh_table and the closed table lch_table for the heights 1..bbheight, each entry at most
 * bblength; lhs is sorted in place (decreasing height, then length). lh_eval gives both bounds
 * of one height with task s left out (-1 none); row is the row's open entries. With maxbacks >= 0
 * the entries are refined by clh1. */
typedef int64_t (*lh_method_fn)(ORVALIS_API_STRUCT *env, int64_t slack, int epsilon, int closed);
void fd_lh_init(ORVALIS_API_STRUCT *env, worker *w, int64_t sigma0, int row, int nrows,
                int32_t bblength, int bbheight, int ntask, lhs *list, int32_t *lh_table,
                int32_t *lch_table, int maxbacks, int maxfails);
void lh_eval(ORVALIS_API_STRUCT *env, worker *w, int eps, int64_t sigma, int s, int ntask,
             const lhs *list, const int32_t *row, int64_t lh[2]);
/* The refinement of one entry (row, height eps, closed or open) by a budgeted search: the entry
 * unchanged when the budget nback runs out (nback then negative). enable: 1 the bound of the
 * polynomial case at inner nodes, 2 the loss tests against the tables of rows up to row. Its
 * profiles take number-stack memory of w (returned to the profile pool at the end). */
int64_t clh1(ORVALIS_API_STRUCT *env, int eps, int64_t sigma, int *nback, int ntask,
             const lhs *list, const int32_t *lh_table, const int32_t *lch_table, int row,
             int bbheight, int closed, int enable, worker *w);
/* Test hook of the refinement's choice stack: upfront reserves the (umax - est) x m choices
 * that always suffice instead of growing; each search records that size, its deepest stack and
 * whether it outgrew its reservation. */
struct clh_hooks {
  bool upfront = false;
  int64_t nchoice = 0;
  size_t peak = 0;
  bool grew = false;
  /* called by fd_lh_init after each refinement: height, closed, budget exhausted */
  void (*on_refine)(int eps, int closed, bool exhausted) = nullptr;
};
extern clh_hooks fd_clh_hooks;
/* The least slack x in low..up whose longest hole at eps reaches len (sigma + 1 when none). */
int64_t get_minloss(ORVALIS_API_STRUCT *env, int64_t len, int64_t low, int64_t up, int eps,
                    int64_t sigma, lh_method_fn lh_method, int closed);
/* Test hook: k in 1..5 takes the closed-form bound k alone wherever a bound is taken. */
extern int fd_lh_bound_hook;

/* Slack filtering over the window [est, lct) when every duration and height is fixed: u->slack
 * is the surface the resource leaves unused there at height limitvar's maximum. The waste is
 * spread over the steps of the compulsory-part profile (minloss/maxloss per step), steps that
 * cannot be filled within their loss fail, tasks are made to overlap the steps they must fill, and
 * with flag 4 the knapsack columns run at every border. lh_method: the longest-hole callback.
 * 0, 1 pruned, 2 failure. */
int slack_filtering(ORVALIS_API_STRUCT *env, worker *w, unary_data *u, dvar *limitvar, int32_t est,
                    int32_t lct, lh_method_fn lh_method, int flags, bool chains = false);
/* The slack targets of the knapsack columns at border b inside step p of the steps S (ending with
 * a closing point): left column, right column, both together. */
void knapsack_targets(ORVALIS_API_STRUCT *env, const unary_data *u, const comppart *S, int p,
                      int32_t b, int32_t est, int32_t lct, lh_method_fn lh_method, int32_t out[3]);
/* The longest-hole callback that knows no bound (tables not built). */
int64_t no_lh_bound(ORVALIS_API_STRUCT *env, int64_t slack, int epsilon, int closed);
/* Knapsack-column result cache of the caller (msg 1 look up, 2 store); may be absent. */
typedef int (*dp_hash_fn)(ORVALIS_API_STRUCT *env, int msg, int32_t *support, int n, int32_t lslack,
                          int32_t rslack, int32_t sslack);
/* The cumulative filter: the tasks share one resource of height limitvar's maximum inside the
 * busy window lowervar's minimum .. uppervar's maximum (either may be null). Runs window bounds,
 * the disjunctive clique through the unary filter, time-tabling on the compulsory-part profile,
 * then (flag 2) task intervals and (flags 2 and 8) slack filtering; returns after the first rule
 * that prunes. size_mem: SCHED_SCRATCH pairs. 0, 1 pruned, 2 or 3 failure. */
int fd_discrete_filtering(ORVALIS_API_STRUCT *env, task *tasks, int nbtasks, int nbtotal, int flags,
                          dvar *diffvar, dvar *limitvar, dvar *lowervar, dvar *uppervar,
                          const diff_constraint *dc, int nbdiffs, lh_method_fn lh_method,
                          dp_hash_fn hasher, size_mem *size_mem, worker *w);
/* Counts of the driver's precedence rules that acted (test hook): tasks moved by a rule,
 * detectable precedences beside the profile, moves along precedence chains; and cumulative's
 * bounds of Lower and Upper: the bounds taken and the full scans they needed. */
struct discrete_counts {
  long moved, detectable, chains;
  long window_bounds, window_scans;
};
extern discrete_counts fd_discrete_counts;
/* Counts of the slack rules that acted (test hook). */
struct slack_counts {
  long steps_failed, fills_failed, overlaps, losses_raised, knapsack_runs, subset_raised;
  long disj_failed, above_cut, stairs_failed, instants, chain_rule;
  long inner_pairs, instants_middle, full_height;
};
extern slack_counts fd_slack_counts;

/* The theta-lambda tree over n tasks (nodes 1 .. 2n-1), exposed for tests. Ranks index the order
 * the tree was built for; tt_map maps rank -> node. */
struct theta_lambda_tree {
  theta_lambda_node *node;
  const int32_t *tt_map;
  int n;
};
void tt_init_inorder(int32_t *tt_map, int n);
void tlt_clear(theta_lambda_tree *t);
void tlt_place(theta_lambda_tree *t, int rank, int64_t est, int64_t dur, int state);
void tlt_remove(theta_lambda_tree *t, int rank);
void tlt_bottom_up(theta_lambda_tree *t);
/* Theta's earliest completion without rank's task; lambda's with it out of theta and the gray
 * rank responsible (-1 none). The tree is left as it was. */
int64_t tt_del_element_ect(theta_lambda_tree *t, int rank);
int64_t tlt_del_element_ect(theta_lambda_tree *t, int rank, int *gray);

#endif
