/* Internals shared by the FD-set code: bounds as plain integers, interval access, result building. */
#ifndef QX_FD_SETS_H
#define QX_FD_SETS_H

#include "fd.h"

/* Bounds as plain integers: inf and sup are the points just outside the small-integer range, so
 * the successor of the largest integer is sup and the predecessor of the smallest is inf. */
constexpr int32_t FDS_INF = QX_SMALL_MIN - 1;
constexpr int32_t FDS_SUP = QX_SMALL_MAX + 1;

static inline int32_t fds_val(TAGGED bound)
{
  if (IsSmall(bound)) return GetSmall(bound);
  return bound == atom_inf ? FDS_INF : FDS_SUP;
}
static inline TAGGED fds_bound(int32_t v)
{
  if (v < QX_SMALL_MIN) return atom_inf;
  return v > QX_SMALL_MAX ? atom_sup : MakeSmall(v);
}

static inline bool fds_is_bound(TAGGED t) { return IsSmall(t) || t == atom_inf || t == atom_sup; }

/* Bound words against a small integer's word: small integers order as their signed words, and in
 * a set a Min is a small integer or inf and a Max a small integer or sup. */
static inline bool fds_max_below(TAGGED max, TAGGED value)
{
  return IsSmall(max) && (SIGNED_TAGGED)max < (SIGNED_TAGGED)value;
}
static inline bool fds_min_above(TAGGED min, TAGGED value)
{
  return IsSmall(min) && (SIGNED_TAGGED)min > (SIGNED_TAGGED)value;
}

/* The first interval pair of a non-empty set, its ends as integers, and the rest. */
static inline TAGGED *fds_interval(TAGGED set) { return LstPtr(LstHead(set)); }
static inline int32_t fds_lo(TAGGED set) { return fds_val(fds_interval(set)[0]); }
static inline int32_t fds_hi(TAGGED set) { return fds_val(fds_interval(set)[1]); }
static inline TAGGED fds_next(TAGGED set) { return LstTail(set); }

static inline bool fds_on_heap(const worker *w, const TAGGED *cell)
{
  return cell >= w->heap_start && cell < w->global_top;
}

/* A one-interval set in four caller-provided cells, for operations that share nothing of it. */
static inline TAGGED fds_stack_interval(TAGGED cells[4], TAGGED min, TAGGED max)
{
  cells[0] = MakeLst(cells + 2);
  cells[1] = atom_nil;
  cells[2] = min;
  cells[3] = max;
  return MakeLst(cells);
}

/* Four temporary words: a list pair whose head is the interval pair [min|max]; tail unset. */
static inline TAGGED *fds_new_interval(ORVALIS_API_STRUCT *api, worker *w, TAGGED min, TAGGED max)
{
  TAGGED *cell = (TAGGED *)fd_temp_alloc(api, w, 4 * sizeof(TAGGED));
  cell[0] = MakeLst(cell + 2);
  cell[2] = min;
  cell[3] = max;
  return cell;
}

/* Appends intervals in increasing order; close() ends the list with a shared rest. */
class fds_builder {
public:
  fds_builder(ORVALIS_API_STRUCT *api, worker *w)
      : api_(api), w_(w), head_(atom_nil), tailp_(&head_)
  {}
  fds_builder(const fds_builder &) = delete;
  fds_builder &operator=(const fds_builder &) = delete;
  void add(TAGGED min, TAGGED max)
  {
    TAGGED *cell = fds_new_interval(api_, w_, min, max);
    *tailp_ = MakeLst(cell);
    tailp_ = &cell[1];
  }
  TAGGED close(TAGGED rest)
  {
    *tailp_ = rest;
    return head_;
  }

private:
  ORVALIS_API_STRUCT *api_;
  worker *w_;
  TAGGED head_;
  TAGGED *tailp_;
};

/* Adds min..max after what the builder holds, widening its last interval when they touch. */
void fds_cons_append(ORVALIS_API_STRUCT *api, FDCONS *cons, worker *w, TAGGED min, TAGGED max);

/* Checks that a Prolog term is a well-formed FD set: a proper list of [Min|Max] with Min <= Max,
 * each Min above the previous Max + 1, inf only as the first Min and sup only as the last Max.
 * Gives the number of values (-1 when infinite or beyond the small-integer range) and whether
 * the cells hold bound references that must be followed. */
bool fds_check(TAGGED term, int32_t *count, bool *has_refs);
/* A set argument ready for the set operations (rebuilt in temporary storage when its cells hold
 * bound references), or 0 when it is not a well-formed set. */
TAGGED fds_import_set(ORVALIS_API_STRUCT *api, worker *w, QX_term_ref ref);

#endif
