/* The finite-domain solver: per-instance state, temporary storage, FD sets, resource profiles.
 *
 * Domain bounds are tagged words: small integers or the atoms inf and sup. An FD set is a list
 * of [Min|Max] pairs, sorted, disjoint and non-adjacent, with inf only as the first Min and sup
 * only as the last Max. Sets built here live in the worker's number stack (the temporary area)
 * and may share tails with their arguments.
 */
#ifndef QX_FD_H
#define QX_FD_H

#include <cstddef>
#include <cstdint>

#include "fd_engine.h"

struct propagator;
struct profile;

/* A range of cells outside the heap that hold heap terms while a native runs: the manager hook
 * marks and relocates them with the queue entries, so that they survive a collection. */
struct fd_root_range {
  TAGGED *start;
  uint32_t n;
};
constexpr uint32_t FD_ROOT_RANGES = 64;

/* The solver's per-instance state, kept in the stash word of its API handle. */
struct fd_state {
  void *gdata; /* persistent block of the global constraint being run */
  uint32_t debugging;
  uint32_t overflowing;
  uint32_t resumptions;
  uint32_t entailments;
  uint32_t prunings;
  uint32_t failures;
  uint32_t constraints;
  struct profile *profile;      /* current resource profile scratch */
  struct profile *profile_pool; /* free list of profile segments */
  mod_def *fd_module;
  definition *call_action1;
  definition *overflow_action1;
  uint32_t fd_overflow; /* a computation left the small-integer range */
  TAGGED functor_dom4;
  TAGGED functor_lists7;
  TAGGED functor_in_set2;
  TAGGED functor_dom;
  TAGGED functor_min;
  TAGGED functor_max;
  TAGGED functor_minmax;
  TAGGED functor_val;
  TAGGED functor_none;
  TAGGED functor_call;
  TAGGED functor_eq;
  TAGGED functor_leqc;
  TAGGED functor_alldiff;
  TAGGED token_a;
  TAGGED token_d;
  TAGGED token_h;
  TAGGED token_l;
  TAGGED token_t;
  TAGGED linkage_keys[8];
  propagator *current_propagator;
  propagator *free_propagators;
  sw_on_key *dispatch;
  const void *native;  /* the native predicate running (its function): errors name its goal */
  uint32_t root_count; /* ranges in roots */
  fd_root_range roots[FD_ROOT_RANGES];
  /* Recent keys of the dispatch table with their values, 0 for none (fd_instance.cpp). */
  struct {
    TAGGED key;
    TAGGED value;
  } dispatch_cache[64];
};

/* The cache entry of a dispatch key: a hash of the whole word. */
static inline uint32_t fd_dispatch_slot(TAGGED key) { return (key * 0x9E3779B1u) >> 26; }

static inline struct fd_state *fd_state(ORVALIS_API_STRUCT *api)
{
  return (struct fd_state *)api->stash;
}

/* ---- foreign-interface access for the solver's native predicates ---- */
static inline worker *fd_worker(ORVALIS_API_STRUCT *api) { return (worker *)api->fli_data; }
/* The handle's fli_data is the worker, whose first word always points at its own fli_info: the
 * slots are read from the worker's fli_info directly, one load fewer than through that word. */
static inline TAGGED *fd_ref_slot(ORVALIS_API_STRUCT *api, QX_term_ref ref)
{
  return fd_worker(api)->fli_info.fli_stack_start + 2 * ref;
}
static inline TAGGED fd_ref_get(ORVALIS_API_STRUCT *api, QX_term_ref ref)
{
  return deref(*fd_ref_slot(api, ref));
}
static inline void fd_ref_put(ORVALIS_API_STRUCT *api, QX_term_ref ref, TAGGED t)
{
  *fd_ref_slot(api, ref) = t;
}
/* A native predicate fails by clearing the exception flag the caller set before the call. */
static inline void fd_native_fail(ORVALIS_API_STRUCT *api)
{
  fd_worker(api)->fli_info.excp_flag = 0;
}

/* A memory fault: more root ranges at once than FD_ROOT_RANGES. */
[[noreturn]] void fd_roots_exhausted(ORVALIS_API_STRUCT *api);
/* Keeps the n cells at start as roots of every collection while it lives (scoped: the ranges
 * go newest first). */
class fd_roots {
public:
  fd_roots(ORVALIS_API_STRUCT *api, TAGGED *start, uint32_t n = 1) : fd_(fd_state(api))
  {
    if (fd_->root_count == FD_ROOT_RANGES) fd_roots_exhausted(api);
    fd_->roots[fd_->root_count++] = {start, n};
  }
  ~fd_roots() { fd_->root_count--; }
  fd_roots(const fd_roots &) = delete;
  fd_roots &operator=(const fd_roots &) = delete;

private:
  struct fd_state *fd_;
};

/* ---- temporary storage: the number stack, valid until the propagator call returns ---- */
static inline void *fd_temp_alloc(ORVALIS_API_STRUCT *api, worker *w, size_t bytes)
{
  bytes = QX_ALIGN_UP(bytes, sizeof(TAGGED));
  while (w->numstack_end == nullptr || (size_t)(w->numstack_end - w->numstack_top) < bytes)
    numstack_overflow(w);
  void *p = w->numstack_top;
  w->numstack_top += bytes;
  return p;
}

/* ---- FD sets ---- */

/* The end marker of an exhausted value iterator: the word just above the largest small integer. */
constexpr TAGGED FDITER_END = 0x7FFFFFFCu;

struct FDITER {
  TAGGED cur;  /* next value, or FDITER_END */
  TAGGED max;  /* end of the current interval */
  TAGGED tail; /* remaining intervals */
};

struct FDCONS {
  TAGGED head; /* the set built so far */
  TAGGED *cur; /* last list pair, null before the first addition */
  int size;    /* values added */
};

/* Queries (build nothing). */
TAGGED fd_min(TAGGED set);
TAGGED fd_max(TAGGED set);
int fd_size(TAGGED set);
int fd_singleton(TAGGED set);
int fd_member(TAGGED value, TAGGED set);
int fd_point_vs_interval(TAGGED point, TAGGED min, TAGGED max);
int fd_val_vs_interval(TAGGED value, TAGGED min, TAGGED max);
int fd_interval_cmp(TAGGED min1, TAGGED max1, TAGGED min2, TAGGED max2);
int fd_intersection_size(TAGGED a, TAGGED b);
TAGGED fd_intersection_min(TAGGED a, TAGGED b);
TAGGED fd_intersection_max(TAGGED a, TAGGED b);
TAGGED fd_intersection_min2(TAGGED a, TAGGED b, TAGGED *second);
int fd_compare(TAGGED a, TAGGED b);
int fd_compare_interval(TAGGED set, TAGGED min, TAGGED max);
int fd_compare_intervals(TAGGED min1, TAGGED max1, TAGGED min2, TAGGED max2);
TAGGED fd_successor(TAGGED set, TAGGED value);
TAGGED fd_predecessor(TAGGED set, TAGGED value);

/* Constructors and operations (build in the temporary area). */
TAGGED fd_interval(ORVALIS_API_STRUCT *api, worker *w, TAGGED min, TAGGED max);
TAGGED fd_pair(ORVALIS_API_STRUCT *api, worker *w, TAGGED a, TAGGED b);
TAGGED fd_compl_interval(ORVALIS_API_STRUCT *api, worker *w, TAGGED min, TAGGED max);
void fd_first_and_rest(ORVALIS_API_STRUCT *api, worker *w, TAGGED set, TAGGED *first, TAGGED *rest);
TAGGED fd_localize(ORVALIS_API_STRUCT *api, worker *w, TAGGED set);
TAGGED fd_subtract(ORVALIS_API_STRUCT *api, worker *w, TAGGED a, TAGGED b);
TAGGED fd_interval_subtract(ORVALIS_API_STRUCT *api, worker *w, TAGGED min, TAGGED max, TAGGED set);
TAGGED fd_subtract_interval(ORVALIS_API_STRUCT *api, worker *w, TAGGED set, TAGGED min, TAGGED max);
TAGGED fd_complement(ORVALIS_API_STRUCT *api, worker *w, TAGGED set);
TAGGED fd_delete(ORVALIS_API_STRUCT *api, worker *w, TAGGED set, TAGGED value);
TAGGED fd_intersection(ORVALIS_API_STRUCT *api, worker *w, TAGGED a, TAGGED b);
TAGGED fd_intersection_interval(ORVALIS_API_STRUCT *api, worker *w, TAGGED set, TAGGED min,
                                TAGGED max);
TAGGED fd_union(ORVALIS_API_STRUCT *api, worker *w, TAGGED a, TAGGED b);
TAGGED fd_union_interval(ORVALIS_API_STRUCT *api, worker *w, TAGGED set, TAGGED min, TAGGED max);
TAGGED fd_insert_into(ORVALIS_API_STRUCT *api, worker *w, TAGGED value, TAGGED set);
TAGGED fd_merge_into(ORVALIS_API_STRUCT *api, worker *w, TAGGED a, TAGGED b);
TAGGED fd_neg_offset(ORVALIS_API_STRUCT *api, worker *w, TAGGED set, TAGGED k);
TAGGED fd_lsh(ORVALIS_API_STRUCT *api, worker *w, TAGGED set, TAGGED k);

/* Destructive: relink and widen the cells of temporary sets; allocate nothing. */
TAGGED fd_union_dest(TAGGED a, TAGGED b);
TAGGED fd_union_sort(TAGGED list);

/* Copy a temporary set onto the heap, ensuring room for it plus `extra` plus 128 words first
 * (term[0..live-1] are kept across a collection); raises fd_overflow for an interval that starts
 * at sup or ends at inf. */
TAGGED fd_globalize(ORVALIS_API_STRUCT *api, worker *w, TAGGED set, uint32_t extra, int live);

/* Iteration and building in increasing order. */
void fditer_init(FDITER *it, TAGGED set);
TAGGED fditer_next(FDITER *it);
void fditer_next_interval(FDITER *it, TAGGED *min, TAGGED *max);
void fditer_skip(FDITER *it, TAGGED value);
static inline bool fditer_empty(const FDITER *it) { return it->cur == FDITER_END; }
void fdcons_init(FDCONS *cons);
void fdcons_add(ORVALIS_API_STRUCT *api, FDCONS *cons, worker *w, TAGGED value);
void fdcons_add_interval(ORVALIS_API_STRUCT *api, FDCONS *cons, worker *w, TAGGED min, TAGGED max);

/* Native predicates on FD sets (arguments are term references). */
int prolog_fd_size_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref set, QX_term_ref size);
int prolog_fd_range_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref min, QX_term_ref max,
                                   QX_term_ref set);
int prolog_fd_cons_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref min, QX_term_ref max,
                                  QX_term_ref tail, QX_term_ref set);
void prolog_fd_dom_contains_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref set, QX_term_ref x);
int prolog_fd_dom_intersect_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref set1,
                                           QX_term_ref set2);
void prolog_fd_dom_intersection_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref set1,
                                               QX_term_ref set2, QX_term_ref set);
void prolog_fd_dom_union_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref set1, QX_term_ref set2,
                                        QX_term_ref set);
void prolog_fd_dom_subtract_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref set1,
                                           QX_term_ref set2, QX_term_ref set);
void prolog_fd_dom_complement_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref set1,
                                             QX_term_ref set);
void prolog_fd_dom_insert_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref set1, QX_term_ref x,
                                         QX_term_ref set);
void prolog_fd_dom_delete_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref set1, QX_term_ref x,
                                         QX_term_ref set);
void prolog_fd_negate_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref set1, QX_term_ref k,
                                     QX_term_ref set);

/* ---- resource profiles ---- */

/* One segment: height erg over begin..end-1. A profile is a list sorted by begin, without
 * zero-height segments, adjacent segments of different heights; the empty profile is null. */
struct profile {
  long begin;
  long end;
  long erg;
  profile *next;
};

void fd_init_profile(ORVALIS_API_STRUCT *api);
static inline profile *fd_empty_profile() { return nullptr; }
profile *fd_profile_cons(ORVALIS_API_STRUCT *api, worker *w, long begin, long end, long erg,
                         profile *next);
void fd_profile_dispose(ORVALIS_API_STRUCT *api, profile *p);
profile *fd_profile_copy(ORVALIS_API_STRUCT *api, worker *w, profile *p);
profile *fd_profile_update(ORVALIS_API_STRUCT *api, worker *w, profile *p, long b, long e, long h);
long fd_profile_get(profile *p, long t);
long fd_profile_max(profile *p, long lo, long hi);
int fd_profile_at_most(profile *p, long limit);
int fd_profile_next(profile *p, long *begin, long *end, long *erg, profile **rest);
int fd_profile_zero_at(profile *p, long lo, long hi, long *point);
double crandom();

/* ---- sorting ---- */
void fd_qsort_asc_long(ORVALIS_API_STRUCT *api, long *array, int n);

#endif
